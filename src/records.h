// Market-data record layouts. Each struct's memory is exactly its little-endian encoded form:
// fields at natural alignment, padding spelled out (and zeroed), sizes and offsets frozen by
// the static_asserts below. Encoding a record is one copy of its first `length * 4` bytes.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "enums.h"

namespace orx {

static_assert(std::endian::native == std::endian::little,
              "record layouts are stored in native byte order, which must be little-endian");

// Common to all records. `length` counts 4-byte words.
struct RecordHeader {
  uint8_t length = 0;
  uint8_t rtype = 0;
  uint8_t pad0_[2]{};
  uint32_t instrument_id = 0;
  uint64_t ts_event = 0;
  uint8_t rollover_flag = 0;
  uint8_t pad1_[7]{};
};

// One order-book level.
struct BidAskPair {
  int64_t bid_px = 0;
  int64_t ask_px = 0;
  uint32_t bid_sz = 0;
  uint32_t ask_sz = 0;
  uint32_t bid_ct = 0;
  uint32_t ask_ct = 0;
};

// The smallest valid record: a bare header, 6 words.
inline constexpr uint8_t kMinRecordLength = sizeof(RecordHeader) / 4;

// Market by price, top level.
struct Mbp1Msg {
  static constexpr RType kRType = RType::Mbp1;
  static constexpr uint8_t kLength = 24;
  static constexpr const char* kVariant = "Mbp1";

  RecordHeader hd{kLength, static_cast<uint8_t>(kRType)};
  int64_t price = 0;
  uint32_t size = 0;
  int8_t action = 0;
  int8_t side = 0;
  uint8_t depth = 0;
  uint8_t flags = 0;
  uint64_t ts_recv = 0;
  int32_t ts_in_delta = 0;
  uint32_t sequence = 0;
  uint32_t discriminator = 0;
  uint8_t pad0_[4]{};
  std::array<BidAskPair, 1> levels{};
};

// A trade: the first 56 bytes of the MBP-1 layout.
struct TradeMsg {
  static constexpr RType kRType = RType::Trades;
  static constexpr uint8_t kLength = 14;
  static constexpr const char* kVariant = "Trade";

  RecordHeader hd{kLength, static_cast<uint8_t>(kRType)};
  int64_t price = 0;
  uint32_t size = 0;
  int8_t action = 0;
  int8_t side = 0;
  uint8_t depth = 0;
  uint8_t flags = 0;
  uint64_t ts_recv = 0;
  int32_t ts_in_delta = 0;
  uint32_t sequence = 0;
};

// Sampled best bid and offer. Note `flags` at 37, not 39 as in Mbp1Msg.
struct BboMsg {
  static constexpr RType kRType = RType::Bbo;
  static constexpr uint8_t kLength = 22;
  static constexpr const char* kVariant = "Bbo";

  RecordHeader hd{kLength, static_cast<uint8_t>(kRType)};
  int64_t price = 0;
  uint32_t size = 0;
  int8_t side = 0;
  uint8_t flags = 0;
  uint8_t pad0_[2]{};
  uint64_t ts_recv = 0;
  uint32_t sequence = 0;
  uint8_t pad1_[4]{};
  std::array<BidAskPair, 1> levels{};
};

// Open, high, low, close, volume bar.
struct OhlcvMsg {
  static constexpr RType kRType = RType::Ohlcv;
  static constexpr uint8_t kLength = 16;
  static constexpr const char* kVariant = "Ohlcv";

  RecordHeader hd{kLength, static_cast<uint8_t>(kRType)};
  int64_t open = 0;
  int64_t high = 0;
  int64_t low = 0;
  int64_t close = 0;
  uint64_t volume = 0;
};

// --- frozen layouts ---------------------------------------------------------------------------

template <class T>
inline constexpr bool is_plain_layout =
    std::is_standard_layout_v<T>&& std::is_trivially_copyable_v<T>;

static_assert(is_plain_layout<RecordHeader> && sizeof(RecordHeader) == 24);
static_assert(offsetof(RecordHeader, length) == 0 && offsetof(RecordHeader, rtype) == 1 &&
              offsetof(RecordHeader, instrument_id) == 4 && offsetof(RecordHeader, ts_event) == 8 &&
              offsetof(RecordHeader, rollover_flag) == 16);

static_assert(is_plain_layout<BidAskPair> && sizeof(BidAskPair) == 32);
static_assert(offsetof(BidAskPair, bid_px) == 0 && offsetof(BidAskPair, ask_px) == 8 &&
              offsetof(BidAskPair, bid_sz) == 16 && offsetof(BidAskPair, ask_sz) == 20 &&
              offsetof(BidAskPair, bid_ct) == 24 && offsetof(BidAskPair, ask_ct) == 28);

static_assert(is_plain_layout<Mbp1Msg> && sizeof(Mbp1Msg) == 96 && Mbp1Msg::kLength * 4 == 96);
static_assert(offsetof(Mbp1Msg, hd) == 0 && offsetof(Mbp1Msg, price) == 24 &&
              offsetof(Mbp1Msg, size) == 32 && offsetof(Mbp1Msg, action) == 36 &&
              offsetof(Mbp1Msg, side) == 37 && offsetof(Mbp1Msg, depth) == 38 &&
              offsetof(Mbp1Msg, flags) == 39 && offsetof(Mbp1Msg, ts_recv) == 40 &&
              offsetof(Mbp1Msg, ts_in_delta) == 48 && offsetof(Mbp1Msg, sequence) == 52 &&
              offsetof(Mbp1Msg, discriminator) == 56 && offsetof(Mbp1Msg, levels) == 64);

static_assert(is_plain_layout<TradeMsg> && sizeof(TradeMsg) == 56 && TradeMsg::kLength * 4 == 56);
static_assert(offsetof(TradeMsg, hd) == 0 && offsetof(TradeMsg, price) == 24 &&
              offsetof(TradeMsg, size) == 32 && offsetof(TradeMsg, action) == 36 &&
              offsetof(TradeMsg, side) == 37 && offsetof(TradeMsg, depth) == 38 &&
              offsetof(TradeMsg, flags) == 39 && offsetof(TradeMsg, ts_recv) == 40 &&
              offsetof(TradeMsg, ts_in_delta) == 48 && offsetof(TradeMsg, sequence) == 52);

static_assert(is_plain_layout<BboMsg> && sizeof(BboMsg) == 88 && BboMsg::kLength * 4 == 88);
static_assert(offsetof(BboMsg, hd) == 0 && offsetof(BboMsg, price) == 24 &&
              offsetof(BboMsg, size) == 32 && offsetof(BboMsg, side) == 36 &&
              offsetof(BboMsg, flags) == 37 && offsetof(BboMsg, ts_recv) == 40 &&
              offsetof(BboMsg, sequence) == 48 && offsetof(BboMsg, levels) == 56);

static_assert(is_plain_layout<OhlcvMsg> && sizeof(OhlcvMsg) == 64 && OhlcvMsg::kLength * 4 == 64);
static_assert(offsetof(OhlcvMsg, hd) == 0 && offsetof(OhlcvMsg, open) == 24 &&
              offsetof(OhlcvMsg, high) == 32 && offsetof(OhlcvMsg, low) == 40 &&
              offsetof(OhlcvMsg, close) == 48 && offsetof(OhlcvMsg, volume) == 56);

}  // namespace orx
