// Whole streams through the decoder: every record ref is checked against the bytes it came
// from and converted; both ref modes and decode_records must agree with each other.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <variant>
#include <vector>

#include "decode.h"

#include "require.h"

using namespace orx;

namespace {

// The layout bytes a RecordEnum holds.
std::vector<uint8_t> bytes_of(const RecordEnum& r) {
  return std::visit(
      [](const auto& rec) {
        const uint8_t* p = record_bytes(rec);
        return std::vector<uint8_t>(p, p + sizeof rec);
      },
      r);
}

bool matches(const RecordEnum& r, RType kind) {
  switch (kind) {
    case RType::Mbp1:
      return std::holds_alternative<Mbp1Msg>(r);
    case RType::Ohlcv:
      return std::holds_alternative<OhlcvMsg>(r);
    case RType::Trades:
      return std::holds_alternative<TradeMsg>(r);
    case RType::Bbo:
      return std::holds_alternative<BboMsg>(r);
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  auto source = RecordDecoder::open(in, RecordDecoder::Refs::Source);
  auto buffered = RecordDecoder::open(in, RecordDecoder::Refs::Buffer);
  REQUIRE(source.ok() == buffered.ok());
  if (!source) {
    REQUIRE(source.error().kind() == ErrorKind::Io);
    REQUIRE(source.error().io_kind() == IoKind::UnexpectedEof);
    return 0;
  }
  REQUIRE(source->metadata().has_value() != source->metadata_error().has_value());
  REQUIRE(source->metadata() == buffered->metadata());

  // Record by record, in both modes at once.
  bool clean = true;
  std::vector<std::vector<uint8_t>> converted;
  for (;;) {
    const size_t before = source->position();
    auto a = source->decode_record_ref();
    auto b = buffered->decode_record_ref();
    REQUIRE(a.ok() == b.ok() && source->position() == buffered->position());
    if (!a) {
      clean = false;
      REQUIRE(a.error().io_kind() == IoKind::InvalidData);
      REQUIRE(data[before] < 6 && source->position() == before + 1);
      continue;
    }
    REQUIRE(a->has_value() == b->has_value());
    if (!a->has_value()) {
      REQUIRE(source->position() == size);
      break;
    }
    const RecordRef& ref = **a;
    const size_t n = ref.record_size();
    REQUIRE(n >= 24 && n == static_cast<size_t>(data[before]) * 4);
    REQUIRE(source->position() == before + n && (**b).record_size() == n);
    REQUIRE(std::memcmp(ref.data(), data + before, n) == 0);
    REQUIRE(std::memcmp((**b).data(), data + before, n) == 0);

    const auto kind = convertible_kind(ref);
    const auto record = to_record_enum(ref);
    REQUIRE(kind.ok() == record.ok());
    if (record) {
      REQUIRE(matches(*record, *kind));
      const auto bytes = bytes_of(*record);
      REQUIRE(bytes.size() <= n && std::memcmp(bytes.data(), data + before, bytes.size()) == 0);
      converted.push_back(bytes);
    } else {
      clean = false;
      REQUIRE(kind.error().display() == record.error().display());
    }
    (void)ref.get<Mbp1Msg>(), (void)ref.get<OhlcvMsg>(), (void)ref.get<TradeMsg>();
    (void)ref.get<BboMsg>();
  }

  // decode_records until it succeeds with nothing left; every call makes progress.
  auto all = RecordDecoder::open(in);
  REQUIRE(all.ok());
  bool first = true;
  for (;;) {
    const size_t before = all->position();
    auto records = all->decode_records();
    if (records && records->empty()) break;
    if (records) {
      REQUIRE(all->position() == size);
      if (first && clean) {
        REQUIRE(records->size() == converted.size());
        for (size_t i = 0; i < converted.size(); ++i)
          REQUIRE(bytes_of((*records)[i]) == converted[i]);
      }
    } else {
      REQUIRE(!clean && all->position() > before);
    }
    first = false;
  }
  REQUIRE(all->position() == size);
  return 0;
}
