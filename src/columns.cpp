#include "columns.h"

#include <algorithm>
#include <type_traits>
#include <vector>

namespace orx {
namespace {

template <class V>
constexpr Column col(const char* name, size_t offset, Role role = Role::Int) {
  return {name, role, static_cast<uint16_t>(offset), sizeof(V), std::is_signed_v<V>};
}

#define ORX_HEADER_COLUMNS                                                          \
  col<uint8_t>("length", offsetof(RecordHeader, length)),                           \
      col<uint8_t>("rtype", offsetof(RecordHeader, rtype)),                         \
      col<uint32_t>("instrument_id", offsetof(RecordHeader, instrument_id)),        \
      col<uint64_t>("ts_event", offsetof(RecordHeader, ts_event), Role::EventTime), \
      col<uint8_t>("rollover_flag", offsetof(RecordHeader, rollover_flag))
#define ORX_LEVEL_COLUMNS(T)                                                                   \
  col<int64_t>("bid_px", offsetof(T, levels) + offsetof(BidAskPair, bid_px), Role::Price),     \
      col<int64_t>("ask_px", offsetof(T, levels) + offsetof(BidAskPair, ask_px), Role::Price), \
      col<uint32_t>("bid_sz", offsetof(T, levels) + offsetof(BidAskPair, bid_sz)),             \
      col<uint32_t>("ask_sz", offsetof(T, levels) + offsetof(BidAskPair, ask_sz)),             \
      col<uint32_t>("bid_ct", offsetof(T, levels) + offsetof(BidAskPair, bid_ct)),             \
      col<uint32_t>("ask_ct", offsetof(T, levels) + offsetof(BidAskPair, ask_ct))
#define ORX_TRADE_COLUMNS(T)                                                                \
  col<int64_t>("price", offsetof(T, price), Role::Price),                                   \
      col<uint32_t>("size", offsetof(T, size)),                                             \
      col<int8_t>("action", offsetof(T, action), Role::Letter),                             \
      col<int8_t>("side", offsetof(T, side), Role::Letter),                                 \
      col<uint8_t>("flags", offsetof(T, flags)), col<uint8_t>("depth", offsetof(T, depth)), \
      col<uint64_t>("ts_recv", offsetof(T, ts_recv), Role::Time),                           \
      col<int32_t>("ts_in_delta", offsetof(T, ts_in_delta)),                                \
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

namespace {

// The value of a field of type T in form F.
template <class T, Form F>
struct Convert {
  using Out = std::conditional_t<F == Form::Native, T,
                                 std::conditional_t<F == Form::Int64, uint64_t, double>>;
  static Out apply(T v, double scale) {
    if constexpr (F == Form::Native) {
      return v;
    } else if constexpr (F == Form::Int64) {
      // Through int64_t for signed fields: sign-extended; zero-extended otherwise.
      using Wide = std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>;
      return static_cast<uint64_t>(static_cast<Wide>(v));
    } else {
      return static_cast<double>(v) / scale;
    }
  }
};

// One column over one chunk: the record at `i` is at base + i * stride, or at starts[i] when
// the chunk's records differ in length.
template <class T, Form F>
void fill_column(const uint8_t* base, size_t stride, const uint8_t* const* starts, size_t n,
                 size_t offset, double scale, void* out) {
  using C = Convert<T, F>;
  auto* o = static_cast<typename C::Out*>(out);
  if (starts == nullptr) {
    const uint8_t* p = base + offset;
    for (size_t i = 0; i < n; ++i, p += stride) {
      T v;
      std::memcpy(&v, p, sizeof v);
      o[i] = C::apply(v, scale);
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      T v;
      std::memcpy(&v, starts[i] + offset, sizeof v);
      o[i] = C::apply(v, scale);
    }
  }
}

using ColumnFiller = void (*)(const uint8_t*, size_t, const uint8_t* const*, size_t, size_t, double,
                              void*);

template <Form F>
ColumnFiller filler_in(const Column& c) {
  switch (c.width) {
    case 1:
      return c.is_signed ? &fill_column<int8_t, F> : &fill_column<uint8_t, F>;
    case 2:
      return c.is_signed ? &fill_column<int16_t, F> : &fill_column<uint16_t, F>;
    case 4:
      return c.is_signed ? &fill_column<int32_t, F> : &fill_column<uint32_t, F>;
    default:
      return c.is_signed ? &fill_column<int64_t, F> : &fill_column<uint64_t, F>;
  }
}

ColumnFiller filler_of(const ColumnSink& s) {
  switch (s.form) {
    case Form::Native:
      return filler_in<Form::Native>(*s.column);
    case Form::Int64:
      return filler_in<Form::Int64>(*s.column);
    default:
      return filler_in<Form::Float64>(*s.column);
  }
}

// What each sink needs for every chunk, worked out once per fill.
struct Plan {
  ColumnFiller fill;
  size_t offset;
  size_t width;
  double scale;  // prices in float form are divided by 1e9; x / 1.0 is x exactly
  uint8_t* out;
};

constexpr size_t kSmallPlan = 32;  // more columns than any record kind has

template <class F>
void with_plans(std::span<const ColumnSink> sinks, F&& use) {
  Plan small[kSmallPlan];
  std::vector<Plan> large;
  Plan* plans = small;
  if (sinks.size() > kSmallPlan) {
    large.resize(sinks.size());
    plans = large.data();
  }
  for (size_t k = 0; k < sinks.size(); ++k) {
    const ColumnSink& s = sinks[k];
    const bool price = s.form == Form::Float64 && s.column->role == Role::Price;
    plans[k] = {filler_of(s), s.column->offset, form_width(*s.column, s.form),
                price ? 1'000'000'000.0 : 1.0, static_cast<uint8_t*>(s.out)};
  }
  use(std::span<const Plan>(plans, sinks.size()));
}

void fill_planned(const RecordChunk& chunk, std::span<const Plan> plans) {
  if (chunk.stride != 0) {
    for (const Plan& plan : plans)
      plan.fill(chunk.data, chunk.stride, nullptr, chunk.count, plan.offset, plan.scale,
                plan.out + chunk.first * plan.width);
    return;
  }
  // Records of several lengths: their starts, kChunkRecords at a time.
  const uint8_t* starts[kChunkRecords];
  const uint8_t* p = chunk.data;
  for (size_t done = 0; done < chunk.count;) {
    const size_t n = std::min(kChunkRecords, chunk.count - done);
    for (size_t i = 0; i < n; ++i, p += static_cast<size_t>(p[0]) * 4) starts[i] = p;
    for (const Plan& plan : plans)
      plan.fill(nullptr, 0, starts, n, plan.offset, plan.scale,
                plan.out + (chunk.first + done) * plan.width);
    done += n;
  }
}

}  // namespace

void fill_chunk(const RecordChunk& chunk, std::span<const ColumnSink> sinks) {
  with_plans(sinks, [&](std::span<const Plan> plans) { fill_planned(chunk, plans); });
}

void fill_columns(const RecordRun& run, std::span<const ColumnSink> sinks) {
  with_plans(sinks, [&](std::span<const Plan> plans) {
    for_each_chunk(run, [&](const RecordChunk& chunk) { fill_planned(chunk, plans); });
  });
}

}  // namespace orx
