#include "columns.h"

#include <type_traits>

namespace orx {
namespace {

template <class V>
constexpr Column col(const char* name, size_t offset, Role role = Role::Int) {
  return {name, role, static_cast<uint16_t>(offset), sizeof(V), std::is_signed_v<V>};
}

#define ORX_HEADER_COLUMNS                                                         \
  col<uint8_t>("length", offsetof(RecordHeader, length)),                          \
      col<uint8_t>("rtype", offsetof(RecordHeader, rtype)),                        \
      col<uint32_t>("instrument_id", offsetof(RecordHeader, instrument_id)),       \
      col<uint64_t>("ts_event", offsetof(RecordHeader, ts_event), Role::EventTime), \
      col<uint8_t>("rollover_flag", offsetof(RecordHeader, rollover_flag))
#define ORX_LEVEL_COLUMNS(T)                                                                   \
  col<int64_t>("bid_px", offsetof(T, levels) + offsetof(BidAskPair, bid_px), Role::Price),     \
      col<int64_t>("ask_px", offsetof(T, levels) + offsetof(BidAskPair, ask_px), Role::Price), \
      col<uint32_t>("bid_sz", offsetof(T, levels) + offsetof(BidAskPair, bid_sz)),             \
      col<uint32_t>("ask_sz", offsetof(T, levels) + offsetof(BidAskPair, ask_sz)),             \
      col<uint32_t>("bid_ct", offsetof(T, levels) + offsetof(BidAskPair, bid_ct)),             \
      col<uint32_t>("ask_ct", offsetof(T, levels) + offsetof(BidAskPair, ask_ct))
#define ORX_TRADE_COLUMNS(T)                                                                 \
  col<int64_t>("price", offsetof(T, price), Role::Price),                                    \
      col<uint32_t>("size", offsetof(T, size)),                                              \
      col<int8_t>("action", offsetof(T, action), Role::Letter),                              \
      col<int8_t>("side", offsetof(T, side), Role::Letter),                                  \
      col<uint8_t>("flags", offsetof(T, flags)), col<uint8_t>("depth", offsetof(T, depth)), \
      col<uint64_t>("ts_recv", offsetof(T, ts_recv), Role::Time),                            \
      col<int32_t>("ts_in_delta", offsetof(T, ts_in_delta)),                                 \
      col<uint32_t>("sequence", offsetof(T, sequence))

constexpr Column kMbp1Columns[] = {ORX_HEADER_COLUMNS, ORX_TRADE_COLUMNS(Mbp1Msg),
                                   col<uint32_t>("discriminator", offsetof(Mbp1Msg, discriminator)),
                                   ORX_LEVEL_COLUMNS(Mbp1Msg)};
constexpr Column kTradeColumns[] = {ORX_HEADER_COLUMNS, ORX_TRADE_COLUMNS(TradeMsg)};
constexpr Column kBboColumns[] = {ORX_HEADER_COLUMNS,
                                  col<int64_t>("price", offsetof(BboMsg, price), Role::Price),
                                  col<uint32_t>("size", offsetof(BboMsg, size)),
                                  col<int8_t>("side", offsetof(BboMsg, side), Role::Letter),
                                  col<uint8_t>("flags", offsetof(BboMsg, flags)),
                                  col<uint64_t>("ts_recv", offsetof(BboMsg, ts_recv), Role::Time),
                                  col<uint32_t>("sequence", offsetof(BboMsg, sequence)),
                                  ORX_LEVEL_COLUMNS(BboMsg)};
constexpr Column kOhlcvColumns[] = {ORX_HEADER_COLUMNS,
                                    col<int64_t>("open", offsetof(OhlcvMsg, open), Role::Price),
                                    col<int64_t>("high", offsetof(OhlcvMsg, high), Role::Price),
                                    col<int64_t>("low", offsetof(OhlcvMsg, low), Role::Price),
                                    col<int64_t>("close", offsetof(OhlcvMsg, close), Role::Price),
                                    col<uint64_t>("volume", offsetof(OhlcvMsg, volume))};
#undef ORX_HEADER_COLUMNS
#undef ORX_LEVEL_COLUMNS
#undef ORX_TRADE_COLUMNS

// Every column lies inside its layout.
template <size_t N>
constexpr bool inside(const Column (&cols)[N], size_t size) {
  for (const Column& c : cols)
    if (c.offset + c.width > size) return false;
  return true;
}
static_assert(inside(kMbp1Columns, sizeof(Mbp1Msg)) && inside(kTradeColumns, sizeof(TradeMsg)) &&
              inside(kBboColumns, sizeof(BboMsg)) && inside(kOhlcvColumns, sizeof(OhlcvMsg)));
static_assert(std::size(kMbp1Columns) == 21 && std::size(kTradeColumns) == 14 &&
              std::size(kBboColumns) == 17 && std::size(kOhlcvColumns) == 10);

}  // namespace

std::span<const Column> columns_of(RType kind) {
  switch (kind) {
    case RType::Mbp1:
      return kMbp1Columns;
    case RType::Trades:
      return kTradeColumns;
    case RType::Bbo:
      return kBboColumns;
    case RType::Ohlcv:
      return kOhlcvColumns;
    default:
      return {};
  }
}

size_t layout_size(RType kind) {
  switch (kind) {
    case RType::Mbp1:
      return sizeof(Mbp1Msg);
    case RType::Trades:
      return sizeof(TradeMsg);
    case RType::Bbo:
      return sizeof(BboMsg);
    case RType::Ohlcv:
      return sizeof(OhlcvMsg);
    default:
      return 0;
  }
}

void fill_columns(const RecordRun& run, std::span<const ColumnSink> sinks) {
  const uint8_t* p = run.data;
  for (size_t i = 0; i < run.count; ++i) {
    for (const ColumnSink& s : sinks) {
      const Column& c = *s.column;
      auto* out = static_cast<uint8_t*>(s.out);
      switch (s.form) {
        case Form::Native:
          std::memcpy(out + i * c.width, p + c.offset, c.width);
          break;
        case Form::Int64: {
          const uint64_t v = read_field(p, c);
          std::memcpy(out + i * 8, &v, 8);
          break;
        }
        case Form::Float64: {
          const uint64_t v = read_field(p, c);
          double d = c.is_signed ? static_cast<double>(static_cast<int64_t>(v))
                                 : static_cast<double>(v);
          if (c.role == Role::Price) d /= 1'000'000'000.0;
          std::memcpy(out + i * 8, &d, 8);
          break;
        }
      }
    }
    p += static_cast<size_t>(p[0]) * 4;
  }
}

}  // namespace orx
