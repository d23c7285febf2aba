// Record streams: framing, the encoder's refusals, and every outcome of the decoder.
#include <cstring>
#include <string>
#include <vector>

#include "bytes_builder.h"
#include "check.h"
#include "decode.h"
#include "encode.h"

using namespace orx;
using orx::test::Bytes;

namespace {

template <class T>
std::vector<uint8_t> layout(const T& r) {
  const uint8_t* p = record_bytes(r);
  return std::vector<uint8_t>(p, p + sizeof(T));
}

// The framed block of a metadata whose body is 22 bytes (empty map).
Bytes empty_block() { return Bytes().u16(22).u8(1).u8(1).u64(5).u64(6).u32(0); }

std::vector<uint8_t> ref_bytes(const RecordRef& ref) {
  return std::vector<uint8_t>(ref.data(), ref.data() + ref.record_size());
}

// Owns an exactly sized copy of the stream and a decoder over it.
struct Stream {
  std::vector<uint8_t> bytes;
  std::optional<RecordDecoder> decoder;
  std::optional<Error> open_error;

  explicit Stream(const Bytes& b, RecordDecoder::Refs refs = RecordDecoder::Refs::Source)
      : bytes(b.v) {
    auto d = RecordDecoder::open(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), refs);
    if (d)
      decoder.emplace(std::move(*d));
    else
      open_error = std::move(d).error();
  }
};

}  // namespace

// --- encoder --------------------------------------------------------------------------------

TEST(encode_metadata_framing) {
  std::vector<uint8_t> out;
  Metadata m;
  m.start = 5;
  m.end = 6;
  CHECK(encode_metadata(out, m).ok());
  CHECK_EQ(out.size(), 24u);
  CHECK(out == empty_block().v);
  // Appends after what the buffer holds.
  m.mappings.map[9] = "NQ";
  std::vector<uint8_t> more{0xAA};
  CHECK(RecordEncoder(more).encode_metadata(m).ok());
  CHECK(more == Bytes().u8(0xAA).u16(32).u8(1).u8(1).u64(5).u64(6).u32(1).entry(9, "NQ").v);
}

TEST(encode_metadata_length_limit) {
  // Body = 22 + 8 + ticker bytes: 65535 is the largest that fits the 16-bit prefix.
  Metadata m;
  m.mappings.map[1] = std::string(65505, 'x');
  std::vector<uint8_t> out;
  CHECK(encode_metadata(out, m).ok());
  CHECK_EQ(out.size(), 65537u);
  CHECK(out[0] == 0xFF && out[1] == 0xFF);
  auto back =
      RecordDecoder::open(std::string_view(reinterpret_cast<const char*>(out.data()), out.size()));
  CHECK(back.ok() && back->metadata() == m);

  m.mappings.map[1] += 'x';
  std::vector<uint8_t> kept{1, 2, 3};
  const Status s = encode_metadata(kept, m);
  CHECK(!s.ok());
  CHECK(s.error().kind() == ErrorKind::Encode);
  CHECK_EQ(s.error().display(),
           "Encoding error: metadata body of 65536 bytes exceeds the limit of 65535 bytes");
  CHECK(kept == (std::vector<uint8_t>{1, 2, 3}));
  // Many entries rather than one long ticker.
  Metadata many;
  for (uint32_t i = 0; i < 9000; ++i) many.mappings.map[i] = "";
  CHECK_EQ(encode_metadata(kept, many).error().display(),
           "Encoding error: metadata body of 72022 bytes exceeds the limit of 65535 bytes");
}

TEST(check_record_headers) {
  // length and rtype written into each layout; null: accepted.
  const struct {
    RType layout;
    uint8_t length;
    uint8_t rtype;
    const char* error;
  } rows[] = {
      {RType::Mbp1, 24, 1, nullptr},
      {RType::Trades, 14, 3, nullptr},
      {RType::Bbo, 22, 5, nullptr},
      {RType::Ohlcv, 16, 2, nullptr},
      {RType::Mbp1, 5, 1, "Encoding error: record with length 20 shorter than header"},
      {RType::Mbp1, 0, 1, "Encoding error: record with length 0 shorter than header"},
      {RType::Mbp1, 25, 1, "Encoding error: record with length 100 longer than its 96-byte layout"},
      {RType::Mbp1, 255, 1,
       "Encoding error: record with length 1020 longer than its 96-byte layout"},
      {RType::Trades, 15, 3,
       "Encoding error: record with length 60 longer than its 56-byte layout"},
      {RType::Mbp1, 6, 1, "Encoding error: record with length 24 shorter than its 96-byte layout"},
      {RType::Mbp1, 23, 1, "Encoding error: record with length 92 shorter than its 96-byte layout"},
      {RType::Ohlcv, 15, 2,
       "Encoding error: record with length 60 shorter than its 64-byte layout"},
      {RType::Mbp1, 24, 2, "Encoding error: record with rtype 2 in a layout of rtype 1"},
      {RType::Mbp1, 24, 4, "Encoding error: record with rtype 4 in a layout of rtype 1"},
      {RType::Trades, 14, 0, "Encoding error: record with rtype 0 in a layout of rtype 3"},
      {RType::Bbo, 22, 255, "Encoding error: record with rtype 255 in a layout of rtype 5"},
      {RType::Ohlcv, 16, 1, "Encoding error: record with rtype 1 in a layout of rtype 2"},
      // The length is checked first.
      {RType::Mbp1, 6, 2, "Encoding error: record with length 24 shorter than its 96-byte layout"},
  };
  for (const auto& row : rows) {
    Status s;
    auto altered = [&](auto record) {
      record.hd.length = row.length;
      record.hd.rtype = row.rtype;
      return check_record(record);
    };
    switch (row.layout) {
      case RType::Mbp1:
        s = altered(Mbp1Msg{});
        break;
      case RType::Trades:
        s = altered(TradeMsg{});
        break;
      case RType::Bbo:
        s = altered(BboMsg{});
        break;
      default:
        s = altered(OhlcvMsg{});
    }
    if (!row.error) {
      CHECK(s.ok());
    } else {
      CHECK(!s.ok() && s.error().kind() == ErrorKind::Encode);
      if (!s.ok()) CHECK_EQ(s.error().display(), std::string(row.error));
    }
  }
}

TEST(encode_records_bytes) {
  std::vector<Mbp1Msg> records(3);
  for (size_t i = 0; i < records.size(); ++i) records[i].price = static_cast<int64_t>(i) + 1;
  std::vector<uint8_t> out;
  RecordEncoder enc(out);
  CHECK(enc.encode_records(std::span<const Mbp1Msg>(records)).ok());
  CHECK_EQ(out.size(), 288u);
  Bytes expected;
  for (const auto& r : records) expected.raw(layout(r));
  CHECK(out == expected.v);
  CHECK(out[24] == 1 && out[96 + 24] == 2 && out[192 + 24] == 3);
  // An empty sequence appends nothing.
  CHECK(enc.encode_records(std::span<const Mbp1Msg>()).ok());
  CHECK_EQ(out.size(), 288u);
  // A shortened header, which the decoder would refuse, is refused.
  Mbp1Msg short_one;
  short_one.hd.length = 6;
  out.clear();
  CHECK(!enc.encode_record(short_one).ok());
  CHECK(out.empty());
}

TEST(encode_records_refuses_before_writing) {
  std::vector<TradeMsg> records(3);
  records[1].hd.length = 15;
  std::vector<uint8_t> out{7};
  RecordEncoder enc(out);
  CHECK_EQ(enc.encode_records(std::span<const TradeMsg>(records)).error().display(),
           "Encoding error: record with length 60 longer than its 56-byte layout");
  records[1].hd.length = 2;
  CHECK_EQ(enc.encode_records(std::span<const TradeMsg>(records)).error().display(),
           "Encoding error: record with length 8 shorter than header");
  records[1].hd.length = 14;
  records[2].hd.rtype = 1;
  CHECK_EQ(enc.encode_records(std::span<const TradeMsg>(records)).error().display(),
           "Encoding error: record with rtype 1 in a layout of rtype 3");
  CHECK(out == std::vector<uint8_t>{7});
}

// --- metadata block -------------------------------------------------------------------------

TEST(open_failures) {
  const Bytes rows[] = {
      Bytes(),
      Bytes().u8(0),
      Bytes().u8(22),
      Bytes().u16(22),
      Bytes().u16(22).u8(1).u8(1).zeros(19),  // one byte short of the body
      Bytes().u16(0xFFFF).zeros(100),
  };
  for (const Bytes& b : rows) {
    Stream s(b);
    CHECK(!s.decoder);
    if (s.open_error) {
      CHECK(s.open_error->kind() == ErrorKind::Io);
      CHECK(s.open_error->io_kind() == IoKind::UnexpectedEof);
      CHECK_EQ(s.open_error->display(), "IO error: failed to fill whole buffer");
    }
  }
}

TEST(open_with_a_block_that_does_not_deserialize) {
  const struct {
    Bytes stream;
    const char* error;
  } rows[] = {
      {Bytes().u16(0), "Insufficient data to deserialize metadata"},
      {Bytes().u16(22).u8(0).u8(1).zeros(20), "Invalid schema value"},
      {Bytes().u16(22).u8(1).u8(9).zeros(20), "Invalid schema value"},
      {Bytes().u16(18).u8(1).u8(1).zeros(16).record(6, 1), "Failed to deserialize symbol mappings"},
  };
  for (const auto& row : rows) {
    Stream s(row.stream);
    CHECK(s.decoder.has_value());
    if (!s.decoder) continue;
    CHECK(!s.decoder->metadata());
    CHECK(s.decoder->metadata_error() &&
          s.decoder->metadata_error()->io_kind() == IoKind::InvalidData);
    CHECK_EQ(std::string(s.decoder->metadata_error()->payload()), std::string(row.error));
  }
  // The records that follow are still read: the map did not swallow the 24-byte record.
  Stream s(rows[3].stream);
  CHECK_EQ(s.decoder->position(), 20u);
  auto ref = s.decoder->decode_record_ref();
  CHECK(ref.ok() && ref->has_value() && (*ref)->record_size() == 24);
  // Only the prefix: no metadata and no records.
  Stream bare(Bytes().u16(0));
  CHECK(bare.decoder->decode_records()->empty());
}

TEST(read_metadata_from_a_reader) {
  const Bytes stream = empty_block().record(6, 1).raw("junk");
  ByteReader reader(stream.view());
  auto block = read_metadata(reader);
  CHECK(block.ok() && block->metadata && !block->error);
  CHECK_EQ(block->metadata->start, 5u);
  CHECK_EQ(reader.position(), 24u);
  // Short: UnexpectedEof, the reader at the end.
  const Bytes cut = Bytes().u16(30).zeros(10);
  ByteReader short_reader(cut.view());
  CHECK_EQ(read_metadata(short_reader).error().display(), "IO error: failed to fill whole buffer");
  CHECK(short_reader.at_end());
  // Present but invalid: not a read failure.
  const Bytes bad = Bytes().u16(2).u8(1).u8(1);
  ByteReader bad_reader(bad.view());
  block = read_metadata(bad_reader);
  CHECK(block.ok() && !block->metadata && block->error);
  CHECK_EQ(block->error->display(), "IO error: Insufficient data to deserialize metadata");
}

// --- records ----------------------------------------------------------------------------------

TEST(round_trip_of_mixed_kinds) {
  Mbp1Msg mbp;
  mbp.hd.instrument_id = 7;
  mbp.price = 1'500'000'000;
  OhlcvMsg bar;
  bar.volume = 99;
  TradeMsg trade;
  trade.size = 3;
  BboMsg bbo;
  bbo.flags = 0xAB;
  Metadata m;
  m.schema = Schema::Bbo1S;
  m.mappings.map[7] = "ESZ4";
  std::vector<uint8_t> out;
  RecordEncoder enc(out);
  CHECK(enc.encode_metadata(m).ok());
  CHECK(enc.encode_record(mbp).ok() && enc.encode_record(bar).ok());
  CHECK(enc.encode_record(trade).ok() && enc.encode_record(bbo).ok());
  CHECK_EQ(out.size(), 36 + 96 + 64 + 56 + 88u);  // framed body: 2 + 22 + 8 + 4

  for (auto refs : {RecordDecoder::Refs::Source, RecordDecoder::Refs::Buffer}) {
    Stream s(Bytes().raw(out), refs);
    CHECK(s.decoder->metadata() == m);
    const std::vector<uint8_t> expected[] = {layout(mbp), layout(bar), layout(trade), layout(bbo)};
    for (const auto& e : expected) {
      auto ref = s.decoder->decode_record_ref();
      CHECK(ref.ok() && ref->has_value());
      if (!ref.ok() || !ref->has_value()) return;
      CHECK(ref_bytes(**ref) == e);
      const bool in_source =
          (*ref)->data() >= s.bytes.data() && (*ref)->data() < s.bytes.data() + s.bytes.size();
      CHECK_EQ(in_source, refs == RecordDecoder::Refs::Source);
    }
    CHECK(!s.decoder->decode_record_ref()->has_value());
    CHECK(!s.decoder->decode_record_ref()->has_value());  // still the end
    CHECK_EQ(s.decoder->position(), out.size());
  }

  Stream s(Bytes().raw(out));
  auto all = s.decoder->decode_records();
  CHECK(all.ok() && all->size() == 4);
  CHECK_EQ(std::get<Mbp1Msg>((*all)[0]).price, 1'500'000'000);
  CHECK_EQ(std::get<OhlcvMsg>((*all)[1]).volume, 99u);
  CHECK_EQ(std::get<TradeMsg>((*all)[2]).size, 3u);
  CHECK_EQ(std::get<BboMsg>((*all)[3]).flags, 0xAB);
  CHECK(s.decoder->decode_records()->empty());
  CHECK(s.decoder->decode_records()->empty());
}

TEST(record_buffer_is_reused_and_refs_cover_their_length) {
  // A long record, then a short one: the buffer keeps its size, the ref says 24 bytes.
  Stream s(empty_block().record(30, 1, 0x11).record(6, 2, 0x22), RecordDecoder::Refs::Buffer);
  auto first = s.decoder->decode_record_ref();
  const uint8_t* where = (*first)->data();
  CHECK_EQ((*first)->record_size(), 120u);
  auto second = s.decoder->decode_record_ref();
  CHECK((*second)->data() == where);
  CHECK_EQ((*second)->record_size(), 24u);
  CHECK(ref_bytes(**second) == Bytes().record(6, 2, 0x22).v);
}

TEST(truncated_last_record_is_dropped) {
  const Bytes whole = empty_block().record(14, 3, 1).record(16, 2, 2);
  for (size_t cut = 1; cut < 64; ++cut) {
    Bytes b = whole;
    b.v.resize(b.v.size() - cut);
    for (auto refs : {RecordDecoder::Refs::Source, RecordDecoder::Refs::Buffer}) {
      Stream s(b, refs);
      auto first = s.decoder->decode_record_ref();
      CHECK(first.ok() && first->has_value() && (**first).rtype_byte() == 3);
      auto end = s.decoder->decode_record_ref();
      CHECK(end.ok() && !end->has_value());
      CHECK_EQ(s.decoder->position(), b.v.size());
    }
    Stream s(b);
    auto all = s.decoder->decode_records();
    CHECK(all.ok() && all->size() == 1);
  }
  // A hostile length at the very end: nothing past the data is read.
  Stream s(empty_block().u8(255).u8(1));
  CHECK(!s.decoder->decode_record_ref()->has_value());
  CHECK_EQ(s.decoder->position(), 26u);
}

TEST(length_below_header) {
  const struct {
    uint8_t length;
    const char* text;
  } rows[] = {
      {0, "invalid record with length 0 shorter than header"},
      {1, "invalid record with length 4 shorter than header"},
      {5, "invalid record with length 20 shorter than header"},
  };
  for (const auto& row : rows) {
    Stream s(empty_block().record(6, 1).u8(row.length).record(6, 2));
    CHECK(s.decoder->decode_record_ref()->has_value());
    auto bad = s.decoder->decode_record_ref();
    CHECK(!bad.ok());
    if (bad.ok()) continue;
    CHECK(bad.error().kind() == ErrorKind::Io && bad.error().io_kind() == IoKind::InvalidData);
    CHECK_EQ(std::string(bad.error().payload()), std::string(row.text));
    CHECK_EQ(s.decoder->position(), 24u + 24 + 1);  // just past the length byte
    // The next call continues after the offending byte.
    auto next = s.decoder->decode_record_ref();
    CHECK(next.ok() && next->has_value() && (**next).rtype_byte() == 2);
  }
}

TEST(decode_records_failures) {
  const struct {
    const char* name;
    Bytes tail;  // after one good record
    const char* error;
    size_t consumed;  // bytes of `tail` consumed by the failing call
  } rows[] = {
      {"length 5", Bytes().u8(5).record(6, 1),
       "IO error: invalid record with length 20 shorter than header", 1},
      {"length 0", Bytes().u8(0), "IO error: invalid record with length 0 shorter than header", 1},
      {"trade with quote", Bytes().record(24, 4).record(6, 1), "Invalid Record Type : Tbbo", 96},
      {"unknown rtype", Bytes().record(6, 9), "Conversion error: Unknown RType value: '9'", 24},
      {"rtype 0", Bytes().record(24, 0), "Conversion error: Unknown RType value: '0'", 96},
      {"mbp-1 too short", Bytes().record(16, 1).record(6, 1), "Invalid Record Type : Mbp1", 64},
      {"ohlcv too short", Bytes().record(15, 2), "Invalid Record Type : Ohlcv", 60},
      {"trade too short", Bytes().record(13, 3), "Invalid Record Type : Trade", 52},
      {"bbo too short", Bytes().record(21, 5), "Invalid Record Type : Bbo", 84},
  };
  for (const auto& row : rows) {
    Stream s(empty_block().record(14, 3).raw(row.tail.v));
    auto r = s.decoder->decode_records();
    CHECK(!r.ok());
    if (r.ok()) continue;
    if (r.error().display() != row.error)
      orx::test::fail(__FILE__, __LINE__, row.name + (": " + r.error().display()));
    CHECK_EQ(s.decoder->position(), 24u + 56 + row.consumed);
  }
  // The failing call's records are gone; the next call goes on after the failure.
  Stream s(empty_block().record(14, 3).record(24, 4).record(16, 2));
  CHECK(!s.decoder->decode_records().ok());
  auto rest = s.decoder->decode_records();
  CHECK(rest.ok() && rest->size() == 1 && std::holds_alternative<OhlcvMsg>((*rest)[0]));
}

TEST(longer_record_than_its_layout) {
  Stream s(empty_block().record(30, 3, 0x5A).record(6, 9));
  auto ref = s.decoder->decode_record_ref();
  CHECK_EQ((*ref)->record_size(), 120u);
  auto trade = to_record_enum(**ref);
  CHECK(trade.ok() && std::get<TradeMsg>(*trade).hd.length == 30);
  // The next record follows the whole 120 bytes.
  CHECK_EQ((*s.decoder->decode_record_ref())->rtype_byte(), 9);
}
