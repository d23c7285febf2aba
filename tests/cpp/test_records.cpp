#include <vector>

#include "check.h"
#include "record_ref.h"

using namespace orx;

namespace {

template <class T>
std::vector<uint8_t> bytes_of(const T& v) {
  const uint8_t* p = record_bytes(v);
  return std::vector<uint8_t>(p, p + sizeof(T));
}

// A record of `length` words, exactly sized so that the sanitizer catches a read past it.
std::vector<uint8_t> raw(uint8_t length, uint8_t rtype) {
  std::vector<uint8_t> v(static_cast<size_t>(length) * 4, 0);
  if (!v.empty()) v[0] = length;
  if (v.size() > 1) v[1] = rtype;
  return v;
}

}  // namespace

TEST(mbp1_bytes) {
  Mbp1Msg m;
  m.hd.instrument_id = 7;
  m.hd.ts_event = 1;
  m.price = 1'500'000'000;
  m.action = 'A';
  m.side = 'B';
  m.levels[0].bid_px = 0x0102030405060708;
  const auto b = bytes_of(m);
  CHECK_EQ(b.size(), 96u);
  CHECK_EQ(b[0], 0x18);
  CHECK_EQ(b[1], 0x01);
  CHECK_EQ(b[2] | b[3], 0);
  CHECK_EQ(b[4], 7);
  CHECK_EQ(b[8], 1);
  const uint8_t price[8] = {0x00, 0x2F, 0x68, 0x59, 0, 0, 0, 0};
  for (int i = 0; i < 8; ++i) CHECK_EQ(b[24 + i], price[i]);
  CHECK_EQ(b[36], 0x41);
  CHECK_EQ(b[37], 0x42);
  CHECK_EQ(b[64], 0x08);
  CHECK_EQ(b[71], 0x01);
  for (int i : {17, 18, 19, 20, 21, 22, 23, 60, 61, 62, 63}) CHECK_EQ(b[i], 0);
}

TEST(header_words_of_each_kind) {
  CHECK_EQ(bytes_of(TradeMsg{})[0], 14);
  CHECK_EQ(bytes_of(TradeMsg{})[1], 3);
  CHECK_EQ(bytes_of(BboMsg{})[0], 22);
  CHECK_EQ(bytes_of(BboMsg{})[1], 5);
  CHECK_EQ(bytes_of(OhlcvMsg{})[0], 16);
  CHECK_EQ(bytes_of(OhlcvMsg{})[1], 2);
  BboMsg bbo;
  bbo.flags = 0xAB;
  bbo.levels[0].ask_ct = 9;
  CHECK_EQ(bytes_of(bbo)[37], 0xAB);
  CHECK_EQ(bytes_of(bbo)[56 + 28], 9);
  OhlcvMsg bar;
  bar.volume = 0x55;
  CHECK_EQ(bytes_of(bar)[56], 0x55);
  TradeMsg t;
  t.price = -1;
  for (int i = 24; i < 32; ++i) CHECK_EQ(bytes_of(t)[i], 0xFF);
}

TEST(conversion_of_each_kind) {
  Mbp1Msg m;
  m.price = 42;
  auto b = bytes_of(m);
  auto r = to_record_enum(RecordRef(b.data(), b.size()));
  CHECK(r.ok());
  CHECK(std::get<Mbp1Msg>(*r).price == 42);
  OhlcvMsg o;
  o.close = 3;
  b = bytes_of(o);
  CHECK(std::get<OhlcvMsg>(*to_record_enum(RecordRef(b.data(), b.size()))).close == 3);
  b = bytes_of(TradeMsg{});
  CHECK(std::holds_alternative<TradeMsg>(*to_record_enum(RecordRef(b.data(), b.size()))));
  b = bytes_of(BboMsg{});
  CHECK(std::holds_alternative<BboMsg>(*to_record_enum(RecordRef(b.data(), b.size()))));
}

TEST(conversion_errors) {
  auto tbbo = raw(24, 4);
  CHECK_EQ(to_record_enum(RecordRef(tbbo.data(), tbbo.size())).error().display(),
           "Invalid Record Type : Tbbo");
  auto unknown = raw(6, 9);
  auto e = to_record_enum(RecordRef(unknown.data(), unknown.size())).error();
  CHECK(e.kind() == ErrorKind::Conversion);
  CHECK_EQ(e.display(), "Conversion error: Unknown RType value: '9'");
  // Too short for the kind: rejected without reading past the 64 bytes.
  const struct {
    uint8_t rtype, length;
    const char* text;
  } short_rows[] = {
      {1, 16, "Mbp1"}, {2, 15, "Ohlcv"}, {3, 13, "Trade"}, {5, 21, "Bbo"}, {1, 6, "Mbp1"}};
  for (const auto& row : short_rows) {
    auto v = raw(row.length, row.rtype);
    auto err = to_record_enum(RecordRef(v.data(), v.size())).error();
    CHECK(err.kind() == ErrorKind::InvalidRecordType);
    CHECK_EQ(err.display(), std::string("Invalid Record Type : ") + row.text);
  }
}

TEST(longer_record_converts_and_ignores_the_tail) {
  Mbp1Msg m;
  m.size = 77;
  auto b = bytes_of(m);
  b[0] = 30;
  b.resize(120, 0xEE);
  auto r = to_record_enum(RecordRef(b.data(), b.size()));
  CHECK(r.ok());
  CHECK_EQ(std::get<Mbp1Msg>(*r).size, 77u);
  CHECK_EQ(std::get<Mbp1Msg>(*r).hd.length, 30);
}

TEST(record_ref_accessors) {
  auto v = raw(16, 2);
  RecordRef ref(v.data(), v.size());
  CHECK_EQ(ref.record_size(), 64u);
  CHECK(*ref.rtype() == RType::Ohlcv);
  CHECK(ref.get<OhlcvMsg>().has_value());
  CHECK(!ref.get<Mbp1Msg>().has_value());
  auto bad = raw(6, 0);
  CHECK_EQ(RecordRef(bad.data(), bad.size()).rtype().error().display(),
           "Conversion error: Unknown RType value: '0'");
}
