#include "check.h"
#include "enums.h"
#include "error.h"
#include "result.h"
#include "utils.h"
#include "vendors.h"

using namespace orx;

TEST(error_display_prefixes) {
  CHECK_EQ(Error(IoError::unexpected_eof()).display(), "IO error: failed to fill whole buffer");
  CHECK_EQ(Error::encode("x").display(), "Encoding error: x");
  CHECK_EQ(Error::decode("x").display(), "Decoding error: x");
  CHECK_EQ(Error::conversion("x").display(), "Conversion error: x");
  CHECK_EQ(Error::custom("x").display(), "Custom error: x");
  CHECK_EQ(Error(ParseReason::TooLong).display(), "Parse Error : trailing input");
  CHECK_EQ(Error::invalid_record_type("Tbbo").display(), "Invalid Record Type : Tbbo");
  CHECK_EQ(Error::date("x").display(), "Date error: x");
}

TEST(error_detail) {
  CHECK_EQ(Error(IoError::unexpected_eof()).detail(), "failed to fill whole buffer");
  CHECK_EQ(Error::conversion("a: b").detail(), "a: b");
  CHECK_EQ(Error::custom("Unknown Stype value: 'x'").detail(), "Unknown Stype value: 'x'");
  CHECK_EQ(Error(ParseReason::TooLong).detail(), "trailing input");
  CHECK_EQ(Error::custom("  \t padded \u3000\u00a0").detail(), "padded");
  CHECK_EQ(Error::custom("").detail(), "");
  CHECK_EQ(Error::invalid_record_type("Tbbo").detail(), "Tbbo");
}

TEST(error_kinds_and_debug) {
  CHECK(Error::custom("x").kind() == ErrorKind::CustomError);
  const Error io(IoError::invalid_data("bad"));
  CHECK(io.kind() == ErrorKind::Io);
  CHECK(io.io_kind() == IoKind::InvalidData);
  CHECK_EQ(io.io().description, "bad");
  CHECK_EQ(Error::custom("t").debug(), "CustomError(\"t\")");
}

TEST(parse_reason_texts) {
  CHECK_EQ(reason_text(ParseReason::OutOfRange), "input is out of range");
  CHECK_EQ(reason_text(ParseReason::Impossible), "no possible date and time matching input");
  CHECK_EQ(reason_text(ParseReason::NotEnough), "input is not enough for unique date and time");
  CHECK_EQ(reason_text(ParseReason::Invalid), "input contains invalid characters");
  CHECK_EQ(reason_text(ParseReason::TooShort), "premature end of input");
  CHECK_EQ(reason_text(ParseReason::TooLong), "trailing input");
  CHECK_EQ(reason_text(ParseReason::BadFormat), "bad or unsupported format string");
}

TEST(io_error_from_errno) {
  const IoError e = IoError::from_errno(2);
  CHECK(e.kind == IoKind::NotFound);
  CHECK_EQ(e.description, "No such file or directory (os error 2)");
  CHECK(IoError::from_errno(13).kind == IoKind::PermissionDenied);
  CHECK(IoError::from_errno(21).kind == IoKind::Other);
}

namespace {
Result<int> half(int v) {
  if (v % 2) return Error::custom("odd");
  return v / 2;
}
Result<int> quarter(int v) {
  ORX_TRY(int h, half(v));
  ORX_TRY(int q, half(h));
  return q;
}
}  // namespace

TEST(result_and_try) {
  CHECK_EQ(*quarter(8), 2);
  auto r = quarter(6);
  CHECK(!r);
  CHECK_EQ(r.error().display(), "Custom error: odd");
}

TEST(utf8_helpers) {
  CHECK(is_valid_utf8("plain"));
  CHECK(is_valid_utf8("h\xc3\xa9 \xf0\x9f\x98\x80"));
  CHECK(!is_valid_utf8("\xc3"));              // truncated
  CHECK(!is_valid_utf8("\xc0\xaf"));          // overlong
  CHECK(!is_valid_utf8("\xed\xa0\x80"));      // surrogate
  CHECK(!is_valid_utf8("\xf4\x90\x80\x80"));  // past U+10FFFF
  CHECK(!is_valid_utf8("\xff"));
  CHECK_EQ(trim_unicode_space("\xe2\x80\x83x y\xe3\x80\x80"), "x y");
  CHECK_EQ(trim_unicode_space("\xc3\xa9"), "\xc3\xa9");
  CHECK_EQ(trim_unicode_space(" \xc3"), "\xc3");
}

TEST(enum_tables) {
  CHECK(*parse_schema("ohlcv-1s") == Schema::Ohlcv1S);
  CHECK_EQ(parse_schema("MBP-1").error().display(),
           "Conversion error: Unknown Schema value: 'MBP-1'");
  CHECK_EQ(parse_rtype("bbo-1s").error().display(),
           "Conversion error: Invalid value for RType: bbo-1s");
  CHECK_EQ(parse_stype("x").error().display(), "Custom error: Unknown Stype value: 'x'");
  CHECK_EQ(parse_dataset("").error().display(), "Custom error: Unknown Dataset value: ''");
  CHECK_EQ(parse_vendors("y").error().display(), "Custom error: Unknown Vendors value: 'y'");
  CHECK_EQ(rtype_from_byte(9).error().display(), "Conversion error: Unknown RType value: '9'");
  CHECK(*rtype_from_byte(5) == RType::Bbo);
  CHECK(rtype_of(Schema::Ohlcv1D) == RType::Ohlcv);
  CHECK(rtype_of(Schema::Bbo1M) == RType::Bbo);
  CHECK(!from_byte<Side>(0).has_value());
  CHECK(*from_byte<Action>('R') == Action::Clear);
  CHECK_EQ(variant_name(Schema::Ohlcv1H), "Ohlcv1H");
  CHECK_EQ(upper_name(Schema::Ohlcv1H), "OHLCV1H");
  CHECK_EQ(to_text(Schema::Ohlcv1H), "ohlcv-1h");
  CHECK(*from_variant<Stype>("Continuous") == Stype::Continuous);
  CHECK(!from_variant<Stype>("continuous").has_value());
  for (const auto& m : EnumTable<Schema>::members) CHECK(m.value != 0);
}
