// Metadata and SymbolMap bodies: exact bytes, every deserialization failure, text forms.
#include <string>
#include <vector>

#include "bytes_builder.h"
#include "check.h"
#include "metadata.h"
#include "printable.h"

using namespace orx;
using orx::test::Bytes;

namespace {

Metadata sample(SymbolMap symbols = {}) {
  Metadata m;
  m.schema = Schema::Trades;
  m.dataset = Dataset::Equities;
  m.start = 0x0102030405060708;
  m.end = 9;
  m.mappings = std::move(symbols);
  return m;
}

// The fixed 18 bytes of `sample()`.
Bytes sample_head() { return Bytes().u8(6).u8(2).raw({8, 7, 6, 5, 4, 3, 2, 1}).u64(9); }

// Deserializes from an exactly sized copy, so that a sanitizer sees any read past the body.
Result<Metadata> deserialize(const Bytes& b) {
  std::vector<uint8_t> exact(b.v);
  return Metadata::deserialize(
      std::string_view(reinterpret_cast<const char*>(exact.data()), exact.size()));
}

std::string failure(const Bytes& b) {
  auto r = deserialize(b);
  if (r) return "<ok>";
  const Error& e = r.error();
  if (e.kind() != ErrorKind::Io || e.io_kind() != IoKind::InvalidData) return "<wrong kind>";
  return std::string(e.payload());
}

}  // namespace

TEST(metadata_body_bytes) {
  const auto one = sample(SymbolMap{{{7, "AB"}}}).serialize();
  CHECK(one.ok());
  CHECK(*one == sample_head().u32(1).u32(7).u32(2).raw("AB").v);
  const auto empty = sample().serialize();
  CHECK_EQ(empty->size(), 22u);
  CHECK(*empty == sample_head().u32(0).v);
  CHECK_EQ(sample(SymbolMap{{{7, "AB"}}}).serialized_size(), 32u);
}

TEST(metadata_round_trip_whatever_the_entry_order) {
  SymbolMap symbols;
  for (uint32_t i = 0; i < 300; ++i) symbols.map[i * 7919] = "T" + std::to_string(i);
  symbols.map[0xFFFFFFFF] = "";
  symbols.map[5] = "caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80";  // multi-byte characters
  const Metadata m = sample(symbols);
  const auto body = m.serialize();
  const auto back = Metadata::deserialize(
      std::string_view(reinterpret_cast<const char*>(body->data()), body->size()));
  CHECK(back.ok());
  CHECK(*back == m);
}

TEST(metadata_deserialize_edge_values) {
  // 22 bytes: an empty map.
  auto m = deserialize(sample_head().u32(0));
  CHECK(m.ok());
  CHECK(m->schema == Schema::Trades && m->dataset == Dataset::Equities);
  CHECK_EQ(m->start, 0x0102030405060708u);
  CHECK_EQ(m->end, 9u);
  CHECK(m->mappings.map.empty());
  // Extremes of every code.
  m = deserialize(Bytes().u8(9).u8(3).u64(~0ull).u64(0).u32(0));
  CHECK(m->schema == Schema::Bbo1M && m->dataset == Dataset::Option && m->start == ~0ull);
  m = deserialize(Bytes().u8(1).u8(1).zeros(16).u32(0));
  CHECK(m->schema == Schema::Mbp1 && m->dataset == Dataset::Futures);
  // Trailing bytes are ignored.
  m = deserialize(sample_head().u32(1).entry(3, "X").raw("trailing"));
  CHECK(m->mappings.map == (std::unordered_map<uint32_t, std::string>{{3, "X"}}));
  // A repeated id keeps the later ticker; an empty ticker is valid; L counts bytes.
  m = deserialize(sample_head().u32(3).entry(1, "A").entry(2, "").entry(1, "\xc3\xa9"));
  CHECK(m->mappings.map == (std::unordered_map<uint32_t, std::string>{{1, "\xc3\xa9"}, {2, ""}}));
}

TEST(metadata_deserialize_failures) {
  const char* insufficient = "Insufficient data to deserialize metadata";
  const char* schema = "Invalid schema value";
  const char* mappings = "Failed to deserialize symbol mappings";
  const struct {
    const char* name;
    Bytes body;
    const char* message;
  } rows[] = {
      {"empty", Bytes(), insufficient},
      {"17 bytes", Bytes().u8(1).u8(1).zeros(15), insufficient},
      {"17 bytes, bad codes too", Bytes().u8(0).u8(0).zeros(15), insufficient},
      {"schema 0", Bytes().u8(0).u8(1).zeros(16).u32(0), schema},
      {"schema 10", Bytes().u8(10).u8(1).zeros(16).u32(0), schema},
      {"schema 255", Bytes().u8(255).u8(1).zeros(16).u32(0), schema},
      {"dataset 0", Bytes().u8(1).u8(0).zeros(16).u32(0), schema},
      {"dataset 4", Bytes().u8(1).u8(4).zeros(16).u32(0), schema},
      {"bad codes before a missing map", Bytes().u8(1).u8(4).zeros(16), schema},
      {"18 bytes: no count", Bytes().u8(1).u8(1).zeros(16), mappings},
      {"count cut short", sample_head().raw({0, 0, 0}), mappings},
      {"count 1, no entry", sample_head().u32(1), mappings},
      {"id without length", sample_head().u32(1).u32(7), mappings},
      {"length cut short", sample_head().u32(1).u32(7).raw({1, 0}), mappings},
      {"ticker cut short", sample_head().u32(1).u32(7).u32(5).raw("ABCD"), mappings},
      {"second entry cut short", sample_head().u32(2).entry(1, "A").u32(2), mappings},
      {"count past the entries", sample_head().u32(3).entry(1, "A").entry(2, "B"), mappings},
      {"huge count", sample_head().u32(0xFFFFFFFF).entry(1, "A"), mappings},
      {"huge ticker length", sample_head().u32(1).u32(7).u32(0xFFFFFFFF).raw("AB"), mappings},
      {"invalid byte", sample_head().u32(1).entry(1, "A\xff"), mappings},
      {"lone continuation", sample_head().u32(1).entry(1, "\x80"), mappings},
      {"overlong NUL", sample_head().u32(1).entry(1, "\xc0\x80"), mappings},
      {"surrogate", sample_head().u32(1).entry(1, "\xed\xa0\x80"), mappings},
      {"past U+10FFFF", sample_head().u32(1).entry(1, "\xf4\x90\x80\x80"), mappings},
      {"sequence cut by the length", sample_head().u32(1).u32(1).u32(1).raw("\xc3\xa9"), mappings},
      {"bad second ticker", sample_head().u32(2).entry(1, "ok").entry(2, "\xfe"), mappings},
  };
  for (const auto& row : rows) {
    const std::string got = failure(row.body);
    if (got != row.message) orx::test::fail(__FILE__, __LINE__, row.name + (": " + got));
  }
  // The display form carries the I/O prefix.
  CHECK_EQ(deserialize(Bytes()).error().display(),
           "IO error: Insufficient data to deserialize metadata");
}

TEST(symbol_map_position) {
  const Bytes b = Bytes().raw("xx").u32(2).entry(1, "A").entry(2, "BC").raw("yy");
  size_t pos = 2;
  auto m = SymbolMap::deserialize(b.view(), pos);
  CHECK(m.ok());
  CHECK_EQ(pos, b.v.size() - 2);
  CHECK_EQ(m->map.size(), 2u);
  // On failure the position stays where it was.
  const Bytes bad = Bytes().raw("xx").u32(2).entry(1, "A");
  pos = 2;
  CHECK(!SymbolMap::deserialize(bad.view(), pos).ok());
  CHECK_EQ(pos, 2u);
  pos = 99;  // past the end: a failure, not a read
  CHECK(!SymbolMap::deserialize(bad.view(), pos).ok());
  CHECK_EQ(pos, 99u);
  // The serialized form is the count and the entries.
  const SymbolMap z{{{4, "Z"}}};
  CHECK(*z.serialize() == Bytes().u32(1).entry(4, "Z").v);
  CHECK(*SymbolMap{}.serialize() == Bytes().u32(0).v);
}

TEST(symbol_map_lookup) {
  const SymbolMap s{{{7, "X"}, {0xFFFFFFFF, "MAX"}}};
  CHECK_EQ(*s.get_ticker(7), "X");
  CHECK_EQ(*s.get_ticker(0xFFFFFFFF), "MAX");
  const auto missing = s.get_ticker(8);
  CHECK(missing.error().kind() == ErrorKind::CustomError);
  CHECK_EQ(missing.error().display(), "Custom error: instrument id 8 is not in the symbol map");
  CHECK(s.find(8) == nullptr);
  CHECK_EQ(*s.find(7), "X");
}

TEST(symbol_map_text) {
  CHECK_EQ(to_string(SymbolMap{}), "{}");
  CHECK_EQ(to_string(SymbolMap{{{7, "X"}}}), "{7: \"X\"}");
  CHECK_EQ(to_string(SymbolMap{{{7, "a\"b\n"}}}), "{7: \"a\"b\n\"}");  // no escaping
  const std::string two = to_string(SymbolMap{{{1, "A"}, {2, "B"}}});
  CHECK(two == "{1: \"A\", 2: \"B\"}" || two == "{2: \"B\", 1: \"A\"}");
}

TEST(metadata_text) {
  CHECK_EQ(to_string(sample()),
           "Metadata { schema: Trades, dataset: Equities, start: 72623859790382856, end: 9, "
           "mappings: SymbolMap { map: {} } }");
  Metadata m = sample(SymbolMap{{{7, "X"}}});
  m.schema = Schema::Ohlcv1S;
  m.dataset = Dataset::Option;
  m.start = ~0ull;
  CHECK_EQ(to_string(m),
           "Metadata { schema: Ohlcv1S, dataset: Option, start: 18446744073709551615, end: 9, "
           "mappings: SymbolMap { map: {7: \"X\"} } }");
  const std::string two = to_string(sample(SymbolMap{{{1, "A"}, {2, "B"}}}));
  CHECK(two.ends_with("{1: \"A\", 2: \"B\"} } }") || two.ends_with("{2: \"B\", 1: \"A\"} } }"));
}

TEST(ticker_escapes) {
  const struct {
    const char* in;
    const char* out;
  } rows[] = {
      {"", "\"\""},
      {"ES", "\"ES\""},
      {"a\tb", "\"a\\tb\""},
      {"\r\n", "\"\\r\\n\""},
      {"\\", "\"\\\\\""},
      {"\"q\"", "\"\\\"q\\\"\""},
      {"'", "\"'\""},
      {"\x01", "\"\\u{1}\""},
      {"\x1b[0m", "\"\\u{1b}[0m\""},
      {"\x7f", "\"\\u{7f}\""},
      {"\xc2\x85", "\"\\u{85}\""},                   // NEL, a control
      {"\xc2\xa0", "\"\\u{a0}\""},                   // no-break space, a separator
      {"\xc2\xad", "\"\\u{ad}\""},                   // soft hyphen, a format character
      {"\xe2\x80\x8b", "\"\\u{200b}\""},             // zero-width space
      {"\xef\xbb\xbf", "\"\\u{feff}\""},             // byte-order mark
      {"\xee\x80\x80", "\"\\u{e000}\""},             // private use
      {"\xf4\x8f\xbf\xbf", "\"\\u{10ffff}\""},       // unassigned
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},            // printable, unchanged
      {"\xe6\x97\xa5", "\"\xe6\x97\xa5\""},          // CJK
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // emoji
      {"e\xcc\x81", "\"e\xcc\x81\""},                // combining mark
  };
  for (const auto& row : rows) CHECK_EQ(quote_escaped(row.in), std::string(row.out));
  CHECK_EQ(quote_escaped(std::string_view("\0", 1)), "\"\\0\"");
  CHECK(is_printable(' ') && !is_printable(0x2028) && !is_printable(0x3000));
  CHECK(!is_printable(-1) && !is_printable(0x110000));
}
