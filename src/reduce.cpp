#include "reduce.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "columns.h"

namespace orx {
namespace {

template <class T>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr size_t kInstrumentAt = offsetof(RecordHeader, instrument_id);
constexpr size_t kTsEventAt = offsetof(RecordHeader, ts_event);

const Column* find_column(RType kind, std::string_view name) {
  for (const Column& c : columns_of(kind))
    if (name == c.name) return &c;
  return nullptr;
}

Status check_table(const RecordTable& t) {
  const size_t size = layout_size(t.kind);
  if (size == 0) return Error::custom("no record layout for these records");
  if (t.count > 0 && t.stride < size)
    return Error::custom("records are " + std::to_string(t.stride) + " bytes apart, less than " +
                         std::to_string(size) + ", their layout size");
  return {};
}

// (instrument, interval) packed into a key of the bars' hash table.
struct BarKey {
  uint32_t instrument;
  uint64_t bucket;
  bool operator==(const BarKey&) const = default;
};

struct BarKeyHash {
  size_t operator()(const BarKey& k) const {
    uint64_t x =
        k.bucket * 0x9E3779B97F4A7C15ull ^ (uint64_t{k.instrument} + 0x632BE59BD9B4E019ull);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(x ^ (x >> 29));
  }
};

template <class T>
void permute(std::vector<T>& v, const std::vector<uint32_t>& order) {
  std::vector<T> out(v.size());
  for (size_t i = 0; i < order.size(); ++i) out[i] = v[order[i]];
  v.swap(out);
}

// Rows of a bar table keyed by (instrument, interval), filled from trades or from the rows
// of other tables. Open is kept from the earliest time and close from the latest; between
// equal times the first seen opens and the last seen closes.
class BarBuilder {
 public:
  void add(BarKey key, uint64_t open_ts, int64_t open, uint64_t close_ts, int64_t close,
           int64_t high, int64_t low, uint64_t volume, uint64_t trades, __int128 notional) {
    uint32_t row = last_row_;
    if (row == UINT32_MAX || !(key == last_)) {
      auto [it, added] = rows_.try_emplace(key, static_cast<uint32_t>(t_.size()));
      row = it->second;
      if (added) {
        t_.instrument_id.push_back(key.instrument);
        t_.start.push_back(key.bucket);
        t_.open.push_back(open);
        t_.high.push_back(high);
        t_.low.push_back(low);
        t_.close.push_back(close);
        t_.open_ts.push_back(open_ts);
        t_.close_ts.push_back(close_ts);
        t_.volume.push_back(volume);
        t_.trades.push_back(trades);
        notional_.push_back(notional);
        last_ = key;
        last_row_ = row;
        return;
      }
      last_ = key;
      last_row_ = row;
    }
    if (open_ts < t_.open_ts[row]) {
      t_.open[row] = open;
      t_.open_ts[row] = open_ts;
    }
    if (close_ts >= t_.close_ts[row]) {
      t_.close[row] = close;
      t_.close_ts[row] = close_ts;
    }
    t_.high[row] = std::max(t_.high[row], high);
    t_.low[row] = std::min(t_.low[row], low);
    t_.volume[row] += volume;
    t_.trades[row] += trades;
    notional_[row] += notional;
  }

  // The table, rows ordered by instrument id, then interval.
  BarTable finish() && {
    std::vector<uint32_t> order(t_.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return t_.instrument_id[a] != t_.instrument_id[b] ? t_.instrument_id[a] < t_.instrument_id[b]
                                                        : t_.start[a] < t_.start[b];
    });
    permute(t_.instrument_id, order);
    permute(t_.start, order);
    permute(t_.open, order);
    permute(t_.high, order);
    permute(t_.low, order);
    permute(t_.close, order);
    permute(t_.open_ts, order);
    permute(t_.close_ts, order);
    permute(t_.volume, order);
    permute(t_.trades, order);
    permute(notional_, order);
    t_.notional_hi.resize(notional_.size());
    t_.notional_lo.resize(notional_.size());
    for (size_t i = 0; i < notional_.size(); ++i) {
      const auto u = static_cast<unsigned __int128>(notional_[i]);
      t_.notional_hi[i] = static_cast<int64_t>(static_cast<uint64_t>(u >> 64));
      t_.notional_lo[i] = static_cast<uint64_t>(u);
    }
    return std::move(t_);
  }

 private:
  BarTable t_;
  std::vector<__int128> notional_;
  std::unordered_map<BarKey, uint32_t, BarKeyHash> rows_;
  // The row last added to: consecutive trades of one instrument in one interval (the usual
  // run) skip the hash table.
  BarKey last_{0, 0};
  uint32_t last_row_ = UINT32_MAX;
};

}  // namespace

Result<BarTable> trade_bars(const RecordTable& records, uint64_t interval) {
  ORX_CHECK(check_table(records));
  if (records.kind != RType::Mbp1 && records.kind != RType::Trades)
    return Error::custom("bars are made from MBP-1 or trade records");
  if (interval == 0) return Error::custom("the interval must be at least 1 nanosecond");
  const Column* price = find_column(records.kind, "price");
  const Column* size = find_column(records.kind, "size");
  const Column* action = find_column(records.kind, "action");
  BarBuilder bars;
  const uint8_t* p = records.data;
  for (size_t i = 0; i < records.count; ++i, p += records.stride) {
    if (p[action->offset] != 'T') continue;
    const uint64_t ts = load<uint64_t>(p + kTsEventAt);
    const int64_t px = load<int64_t>(p + price->offset);
    const uint32_t sz = load<uint32_t>(p + size->offset);
    bars.add({load<uint32_t>(p + kInstrumentAt), ts - ts % interval}, ts, px, ts, px, px, px, sz, 1,
             static_cast<__int128>(px) * sz);
  }
  return std::move(bars).finish();
}

Result<BarTable> combine_bars(const BarTable& rows) {
  const size_t n = rows.size();
  for (const size_t m :
       {rows.start.size(), rows.open.size(), rows.high.size(), rows.low.size(), rows.close.size(),
        rows.open_ts.size(), rows.close_ts.size(), rows.volume.size(), rows.trades.size(),
        rows.notional_hi.size(), rows.notional_lo.size()})
    if (m != n) return Error::custom("the columns of a bar table differ in length");
  BarBuilder bars;
  for (size_t i = 0; i < n; ++i) {
    const auto notional = static_cast<__int128>(
        static_cast<unsigned __int128>(static_cast<uint64_t>(rows.notional_hi[i])) << 64 |
        rows.notional_lo[i]);
    bars.add({rows.instrument_id[i], rows.start[i]}, rows.open_ts[i], rows.open[i],
             rows.close_ts[i], rows.close[i], rows.high[i], rows.low[i], rows.volume[i],
             rows.trades[i], notional);
  }
  return std::move(bars).finish();
}

Result<std::vector<LastAt>> last_at(const RecordTable& records, std::span<const uint64_t> times) {
  ORX_CHECK(check_table(records));
  if (times.size() >= UINT32_MAX) return Error::custom("too many sample times");
  for (size_t j = 1; j < times.size(); ++j)
    if (times[j] < times[j - 1]) return Error::custom("the sample times must be ascending");

  // The instruments, densely numbered in id order.
  std::vector<uint32_t> ids;
  {
    std::unordered_map<uint32_t, uint32_t> seen;
    const uint8_t* p = records.data;
    for (size_t i = 0; i < records.count; ++i, p += records.stride)
      if (seen.try_emplace(load<uint32_t>(p + kInstrumentAt), 0).second)
        ids.push_back(load<uint32_t>(p + kInstrumentAt));
    std::sort(ids.begin(), ids.end());
  }
  std::unordered_map<uint32_t, uint32_t> dense;
  for (uint32_t k = 0; k < ids.size(); ++k) dense.emplace(ids[k], k);

  // Each record is visible from the first sample at or after it: keep, per (sample,
  // instrument), the last record that first becomes visible there.
  struct Cell {
    uint64_t ts;
    uint64_t record;
  };
  std::unordered_map<uint64_t, Cell> cells;
  const uint8_t* p = records.data;
  for (size_t i = 0; i < records.count; ++i, p += records.stride) {
    const uint64_t ts = load<uint64_t>(p + kTsEventAt);
    const size_t j =
        static_cast<size_t>(std::lower_bound(times.begin(), times.end(), ts) - times.begin());
    if (j == times.size()) continue;
    const uint64_t key = uint64_t{j} * ids.size() + dense[load<uint32_t>(p + kInstrumentAt)];
    auto [it, added] = cells.try_emplace(key, Cell{ts, i});
    if (!added && ts >= it->second.ts) it->second = Cell{ts, i};
  }
  std::vector<std::pair<uint64_t, uint64_t>> sorted;  // (key, record)
  sorted.reserve(cells.size());
  for (const auto& [key, cell] : cells) sorted.emplace_back(key, cell.record);
  std::sort(sorted.begin(), sorted.end());

  // Sweep the samples: a later sample sees what the earlier ones saw, and its own cells.
  std::vector<uint64_t> current(ids.size(), UINT64_MAX);
  std::vector<LastAt> out;
  size_t c = 0;
  for (size_t j = 0; j < times.size(); ++j) {
    for (; c < sorted.size() && sorted[c].first / ids.size() == j; ++c)
      current[sorted[c].first % ids.size()] = sorted[c].second;
    for (size_t k = 0; k < ids.size(); ++k)
      if (current[k] != UINT64_MAX) out.push_back({static_cast<uint32_t>(j), ids[k], current[k]});
  }
  return out;
}

}  // namespace orx
