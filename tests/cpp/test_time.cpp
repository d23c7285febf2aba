#include <climits>
#include <string>

#include "check.h"
#include "utils.h"

using namespace orx;

namespace {

// The value, or the reason text of the failure prefixed with "error: ".
std::string parse(std::string_view text) {
  auto r = date_to_unix_nanos(text);
  if (!r) return "error: " + std::string(r.error().payload());
  return std::to_string(*r);
}

constexpr const char* kOutOfRange = "error: input is out of range";
constexpr const char* kInvalid = "error: input contains invalid characters";
constexpr const char* kTooShort = "error: premature end of input";
constexpr const char* kTooLong = "error: trailing input";

}  // namespace

TEST(date_worked_values) {
  CHECK_EQ(parse("2024-01-02"), "1704153600000000000");
  CHECK_EQ(parse("2024-01-02 09:30:00"), "1704187800000000000");
  CHECK_EQ(parse("1970-01-01"), "0");
  CHECK_EQ(parse("1970-01-01 00:00:00"), "0");
  CHECK_EQ(parse("1969-12-31 23:59:59"), "-1000000000");
}

TEST(date_pattern_chosen_by_length) {
  CHECK_EQ(parse(" 2024-1-02"), "1704153600000000000");  // 10 bytes: a date
  CHECK_EQ(parse("2024-1-5"), kTooShort);                // 8 bytes: date and time
  CHECK_EQ(parse("2024-01-02 "), kTooShort);
  CHECK_EQ(parse("2024-01-0209:30:00"), "1704187800000000000");
  CHECK_EQ(parse("2024-01-02 \t\n 09:30:00"), "1704187800000000000");
  CHECK_EQ(parse("2024-01-02\xe2\x80\x83\xe3\x80\x80"
                 "09:30:00"),
           "1704187800000000000");
  CHECK_EQ(parse("2024-01-02 9: 30:\xc2\xa0"
                 "0"),
           "1704187800000000000");
  CHECK_EQ(parse("2024- 1- 2"), "1704153600000000000");
  CHECK_EQ(parse("\xc2\xa0"
                 "2024-1-2"),
           "1704153600000000000");  // 10 bytes with the 2-byte space
  CHECK_EQ(parse("\xe3\x80\x80"
                 "2024-1-2"),
           kTooShort);  // 11 bytes: a time is required
}

TEST(date_failure_reasons) {
  CHECK_EQ(parse("2024-01-02T09:30:00"), kInvalid);
  CHECK_EQ(parse("2024-01-02 09:30:00Z"), kTooLong);
  CHECK_EQ(parse("2024-02-30"), kOutOfRange);
  CHECK_EQ(parse("2024-13-01"), kOutOfRange);
  CHECK_EQ(parse(""), kTooShort);
  CHECK_EQ(parse("   "), kTooShort);
  CHECK_EQ(parse("2024"), kTooShort);
  CHECK_EQ(parse("2024-01-02 09:30"), kTooShort);
  CHECK_EQ(parse("2024-01-02 09:30:"), kTooShort);
  CHECK_EQ(parse("x"), kInvalid);
  CHECK_EQ(parse("2024/01/02"), kInvalid);
  CHECK_EQ(parse("2024-01-02 09-30-00"), kInvalid);
  CHECK_EQ(parse("20245-01-01"), kInvalid);                    // at most four digits without a sign
  CHECK_EQ(parse("2024-001-01 00:00:00"), kInvalid);           // at most two digits
  CHECK_EQ(parse("2024-01-\xef\xbc\x92 00:00:00"), kInvalid);  // a full-width digit
  CHECK_EQ(parse("\xff"
                 "2024-01-02"),
           kInvalid);
  CHECK_EQ(parse("2024-01-0x"), kTooLong);  // day "0" read, then "x" remains
  CHECK_EQ(parse("2024-01-02 09:30:00 "), kTooLong);
  // The whole pattern is matched before any field is checked.
  CHECK_EQ(parse("2024-13-01 25:00:00x"), kTooLong);
}

TEST(date_field_ranges) {
  CHECK_EQ(parse("2024-00-10"), kOutOfRange);
  CHECK_EQ(parse("2024-01-00"), kOutOfRange);
  CHECK_EQ(parse("2024-01-32"), kOutOfRange);
  CHECK_EQ(parse("2024-04-31"), kOutOfRange);
  CHECK_EQ(parse("2024-02-29"), "1709164800000000000");
  CHECK_EQ(parse("2023-02-29"), kOutOfRange);
  CHECK_EQ(parse("2000-02-29"), "951782400000000000");
  CHECK_EQ(parse("2100-02-29 00:00:00"), kOutOfRange);
  CHECK_EQ(parse("2024-01-02 24:00:00"), kOutOfRange);
  CHECK_EQ(parse("2024-01-02 23:60:00"), kOutOfRange);
  CHECK_EQ(parse("2024-01-02 23:59:61"), kOutOfRange);
  CHECK_EQ(parse("2024-01-02 23:59:59"), "1704239999000000000");
}

TEST(date_leap_second) {
  CHECK_EQ(parse("2024-12-31 23:59:60"), parse("2025-01-01 00:00:00"));
  CHECK_EQ(parse("2024-01-02 09:29:60"), parse("2024-01-02 09:30:00"));
}

TEST(date_signed_years) {
  CHECK_EQ(parse("+2024-01-02 00:00:00"), "1704153600000000000");
  CHECK_EQ(parse("+002024-01-02 00:00:00"), "1704153600000000000");
  CHECK_EQ(parse("-0001-01-01 00:00:00"), kOutOfRange);
  CHECK_EQ(parse("-2024-01-02 00:00:00"), kOutOfRange);
  CHECK_EQ(parse("-024-01-02"), kOutOfRange);
  CHECK_EQ(parse("+-2024-01-02"), kInvalid);
  CHECK_EQ(parse("+"), kTooShort);
  CHECK_EQ(parse("+ 2024-01-02"), kInvalid);  // no white space after the sign
  CHECK_EQ(parse("+10000-01-01 00:00:00"), kOutOfRange);
  CHECK_EQ(parse("9999-12-31 23:59:59"), kOutOfRange);
  CHECK_EQ(parse("0000-01-01"), kOutOfRange);
  // A year of a thousand digits is out of range, and is not read into any integer.
  CHECK_EQ(parse("+" + std::string(1000, '9') + "-01-01 00:00:00"), kOutOfRange);
  CHECK_EQ(parse("-" + std::string(1000, '9') + "-01-01 00:00:00"), kOutOfRange);
  CHECK_EQ(parse("+" + std::string(1000, '0') + "2024-01-02 00:00:00"), "1704153600000000000");
  CHECK_EQ(parse("+" + std::string(1000, '9') + "-01-01 00:00"), kTooShort);
}

TEST(date_limits_of_the_nanosecond_range) {
  CHECK_EQ(parse("1677-09-21 00:12:44"), "-9223372036000000000");
  CHECK_EQ(parse("1677-09-21 00:12:43"), kOutOfRange);
  CHECK_EQ(parse("2262-04-11 23:47:16"), "9223372036000000000");
  CHECK_EQ(parse("2262-04-11 23:47:17"), kOutOfRange);
  CHECK_EQ(parse("1677-09-22"), "-9223286400000000000");
  CHECK_EQ(parse("1677-09-21"), kOutOfRange);
  CHECK_EQ(parse("2262-04-11"), "9223286400000000000");
  CHECK_EQ(parse("2262-04-12"), kOutOfRange);
}

TEST(date_error_is_a_parse_error) {
  auto r = date_to_unix_nanos("2024-01-02T09:30:00");
  CHECK(r.error().kind() == ErrorKind::ParseError);
  CHECK_EQ(r.error().display(), "Parse Error : input contains invalid characters");
}

TEST(nanos_to_string_worked_values) {
  CHECK_EQ(unix_nanos_to_string(0), "1970-01-01 00:00:00");
  CHECK_EQ(unix_nanos_to_string(-1), "1969-12-31 23:59:59");
  CHECK_EQ(unix_nanos_to_string(-1000000000), "1969-12-31 23:59:59");
  CHECK_EQ(unix_nanos_to_string(-1000000001), "1969-12-31 23:59:58");
  CHECK_EQ(unix_nanos_to_string(999999999), "1970-01-01 00:00:00");
  CHECK_EQ(unix_nanos_to_string(1704187800999999999), "2024-01-02 09:30:00");
  CHECK_EQ(unix_nanos_to_string(1709164800000000000), "2024-02-29 00:00:00");
  CHECK_EQ(unix_nanos_to_string(951868799000000000), "2000-02-29 23:59:59");
  CHECK_EQ(unix_nanos_to_string(INT64_MIN), "1677-09-21 00:12:43");
  CHECK_EQ(unix_nanos_to_string(INT64_MAX), "2262-04-11 23:47:16");
}

TEST(nanos_round_trip) {
  // Whole seconds spread over the whole range, both signs, through both functions.
  for (int64_t s = -9223372036; s <= 9223372036; s += 7777777 + (s & 0xFFFF)) {
    const int64_t nanos = s * 1000000000;
    const std::string text = unix_nanos_to_string(nanos);
    CHECK_EQ(parse(text), std::to_string(nanos));
  }
}
