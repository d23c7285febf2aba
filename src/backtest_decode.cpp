#include "backtest_decode.h"

#include <cstring>
#include <iterator>
#include <string>

#include "bytes.h"
#include "utils.h"

namespace orx {

namespace {

// "5012" -> "5,012": offsets and counts in messages are read by people.
std::string grouped(size_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3);
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// True when every byte is below 0x80, eight at a time.
bool all_ascii(const uint8_t* s, size_t n) {
  uint64_t bits = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) bits |= load_le<uint64_t>(s + i);
  for (; i < n; ++i) bits |= s[i];
  return (bits & 0x8080808080808080ull) == 0;
}

bool valid_text(const uint8_t* s, size_t n) {
  return all_ascii(s, n) || is_valid_utf8({reinterpret_cast<const char*>(s), n});
}

std::string make_text(const uint8_t* s, size_t n) {
  return std::string(reinterpret_cast<const char*>(s), n);
}

// Walks 40-byte time-series blocks in memory of any alignment, yielding each as its value.
struct PointIterator {
  using iterator_category = std::forward_iterator_tag;
  using value_type = TimeseriesStats;
  using difference_type = std::ptrdiff_t;
  using pointer = const TimeseriesStats*;
  using reference = TimeseriesStats;

  const uint8_t* p;

  TimeseriesStats operator*() const {
    TimeseriesStats point;
    std::memcpy(&point, p, sizeof point);
    return point;
  }
  PointIterator& operator++() {
    p += kTimeseriesStatsSize;
    return *this;
  }
  PointIterator operator++(int) {
    PointIterator was = *this;
    p += kTimeseriesStatsSize;
    return was;
  }
  bool operator==(const PointIterator& o) const { return p == o.p; }
};

// The position of the first byte that does not start a well-formed UTF-8 sequence, or npos.
size_t first_invalid_utf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t at = pos;
    if (next_code_point(text, pos) < 0) return at;
  }
  return std::string_view::npos;
}

// Reads the fields in the encoder's order through a cursor over the input. The readers
// return false after recording the failure; the path of the failing field is assembled from
// the list entries being read only then, so the loops just keep their indices up to date.
class Reader {
 public:
  explicit Reader(std::string_view bytes)
      : begin_(reinterpret_cast<const uint8_t*>(bytes.data())),
        p_(begin_),
        end_(begin_ + bytes.size()) {}

  Result<BacktestData> run() {
    BacktestData bt;
    if (!metadata(bt.metadata) || !series(bt.period_timeseries_stats, "period_timeseries_stats") ||
        !series(bt.daily_timeseries_stats, "daily_timeseries_stats") || !trades(bt.trades) ||
        !signals(bt.signals))
      return Error::decode(std::move(message_));
    if (p_ != end_) {
      return Error::decode(grouped(left()) + (left() == 1 ? " trailing byte" : " trailing bytes") +
                           " after the backtest at offset " + grouped(offset()));
    }
    return bt;
  }

 private:
  // One level of list nesting: the entry `index` of list `list`.
  struct Frame {
    const char* list;
    size_t index;
  };

  size_t left() const { return static_cast<size_t>(end_ - p_); }
  size_t offset() const { return static_cast<size_t>(p_ - begin_); }

  template <class T>
  bool scalar(T& out, const char* field) {
    if (left() < sizeof(T)) [[unlikely]]
      return fail_short(field, sizeof(T));
    out = load_le<T>(p_);
    p_ += sizeof(T);
    return true;
  }

  bool text(std::string& out, const char* field) {
    if (left() < 2) [[unlikely]]
      return fail(field, "2-byte length runs past the end", offset());
    const size_t n = load_le<uint16_t>(p_);
    const uint8_t* s = p_ + 2;
    if (left() - 2 < n) [[unlikely]]
      return fail_string(field, n);
    if (!all_ascii(s, n)) {
      const size_t bad = first_invalid_utf8({reinterpret_cast<const char*>(s), n});
      if (bad != std::string_view::npos) return fail_utf8(field, offset() + 2 + bad);
    }
    out.assign(reinterpret_cast<const char*>(s), n);
    p_ = s + n;
    return true;
  }

  // Reads a count and checks that `count` entries of at least `min_bytes` each fit in what
  // is left, so that nothing is reserved for entries the input cannot hold.
  bool count(size_t& out, size_t min_bytes, const char* field) {
    uint32_t n = 0;
    if (!scalar(n, field)) return false;
    if (n > left() / min_bytes) [[unlikely]] {
      return fail(field,
                  grouped(n) + (n == 1 ? " entry" : " entries") + " of at least " +
                      std::to_string(min_bytes) + " bytes run past the end",
                  offset(), " (" + grouped(left()) + " bytes remain)");
    }
    out = n;
    return true;
  }

  bool metadata(BacktestMetaData& m) {
    if (!scalar(m.backtest_id, "metadata.backtest_id") ||
        !text(m.backtest_name, "metadata.backtest_name"))
      return false;
    Parameters& pm = m.parameters;
    size_t n;
    if (!text(pm.strategy_name, "metadata.parameters.strategy_name") ||
        !scalar(pm.capital, "metadata.parameters.capital") ||
        !text(pm.schema, "metadata.parameters.schema") ||
        !text(pm.data_type, "metadata.parameters.data_type") ||
        !scalar(pm.start, "metadata.parameters.start") ||
        !scalar(pm.end, "metadata.parameters.end") || !count(n, 2, "metadata.parameters.tickers"))
      return false;
    pm.tickers.resize(n);
    Frame& f = enter("metadata.parameters.tickers");
    for (f.index = 0; f.index < n; ++f.index)
      if (!text(pm.tickers[f.index], "")) return false;
    leave();
    if (left() < kStaticStatsSize) [[unlikely]] {
      return fail("metadata.static_stats",
                  std::to_string(kStaticStatsSize) + "-byte block runs past the end", offset());
    }
    std::memcpy(&m.static_stats, p_, kStaticStatsSize);
    p_ += kStaticStatsSize;
    return true;
  }

  // The points are the series' memory: each is copied whole, straight into the new vector.
  bool series(std::vector<TimeseriesStats>& out, const char* name) {
    size_t n;
    if (!count(n, kTimeseriesStatsSize, name)) return false;
    out.assign(PointIterator{p_}, PointIterator{p_ + n * kTimeseriesStatsSize});
    p_ += n * kTimeseriesStatsSize;
    return true;
  }

  // Entries are read on a fast path that checks the bounds once per run of fixed fields and
  // builds the entry whole. When it finds anything wrong it reads the entry again field by
  // field, which stops at the exact field that fails.

  bool trades(std::vector<Trades>& out) {
    size_t n;
    if (!count(n, kTradeFixedBytes, "trades")) return false;
    out.reserve(n);
    Frame& f = enter("trades");
    for (f.index = 0; f.index < n; ++f.index) {
      if (!fast_trade(out)) [[unlikely]] {
        Trades t;
        if (!slow_trade(t)) return false;
        out.push_back(std::move(t));
      }
    }
    leave();
    return true;
  }

  bool fast_trade(std::vector<Trades>& out) {
    // trade_id, leg_id, timestamp, ticker (2 + a), four i64, action (2 + b), fees.
    const uint8_t* p = p_;
    const size_t room = left();
    if (room < kTradeFixedBytes) return false;
    const size_t a = load_le<uint16_t>(p + 16);
    if (room < kTradeFixedBytes + a) return false;
    const uint8_t* mid = p + 18 + a;
    const size_t b = load_le<uint16_t>(mid + 32);
    if (room < kTradeFixedBytes + a + b || !valid_text(p + 18, a) || !valid_text(mid + 34, b))
      return false;
    out.push_back(Trades{load_le<int32_t>(p), load_le<int32_t>(p + 4), load_le<int64_t>(p + 8),
                         make_text(p + 18, a), load_le<int64_t>(mid), load_le<int64_t>(mid + 8),
                         load_le<int64_t>(mid + 16), load_le<int64_t>(mid + 24),
                         make_text(mid + 34, b), load_le<int64_t>(mid + 34 + b)});
    p_ += kTradeFixedBytes + a + b;
    return true;
  }

  [[gnu::cold, gnu::noinline]] bool slow_trade(Trades& t) {
    return scalar(t.trade_id, "trade_id") && scalar(t.leg_id, "leg_id") &&
           scalar(t.timestamp, "timestamp") && text(t.ticker, "ticker") &&
           scalar(t.quantity, "quantity") && scalar(t.avg_price, "avg_price") &&
           scalar(t.trade_value, "trade_value") && scalar(t.trade_cost, "trade_cost") &&
           text(t.action, "action") && scalar(t.fees, "fees");
  }

  bool signals(std::vector<Signals>& out) {
    size_t n;
    if (!count(n, kSignalFixedBytes, "signals")) return false;
    out.resize(n);
    Frame& f = enter("signals");
    for (f.index = 0; f.index < n; ++f.index) {
      Signals& s = out[f.index];
      size_t k;
      if (!scalar(s.timestamp, "timestamp") ||
          !count(k, kInstructionFixedBytes, "trade_instructions"))
        return false;
      s.trade_instructions.reserve(k);
      Frame& g = enter("trade_instructions");
      for (g.index = 0; g.index < k; ++g.index) {
        if (!fast_instruction(s.trade_instructions)) [[unlikely]] {
          SignalInstructions in;
          if (!slow_instruction(in)) return false;
          s.trade_instructions.push_back(std::move(in));
        }
      }
      leave();
    }
    leave();
    return true;
  }

  bool fast_instruction(std::vector<SignalInstructions>& out) {
    // ticker (2 + a), order_type (2 + b), action (2 + c), i32, i32, i64, i32, limit_price
    // (2 + d), aux_price (2 + e).
    const uint8_t* p = p_;
    const size_t room = left();
    if (room < kInstructionFixedBytes) return false;
    const size_t a = load_le<uint16_t>(p);
    if (room < kInstructionFixedBytes + a) return false;
    const size_t b = load_le<uint16_t>(p + 2 + a);
    if (room < kInstructionFixedBytes + a + b) return false;
    const size_t c = load_le<uint16_t>(p + 4 + a + b);
    if (room < kInstructionFixedBytes + a + b + c) return false;
    const uint8_t* mid = p + 6 + a + b + c;
    const size_t d = load_le<uint16_t>(mid + 20);
    if (room < kInstructionFixedBytes + a + b + c + d) return false;
    const size_t e = load_le<uint16_t>(mid + 22 + d);
    if (room < kInstructionFixedBytes + a + b + c + d + e || !valid_text(p + 2, a) ||
        !valid_text(p + 4 + a, b) || !valid_text(p + 6 + a + b, c) || !valid_text(mid + 22, d) ||
        !valid_text(mid + 24 + d, e))
      return false;
    out.push_back(SignalInstructions{
        make_text(p + 2, a), make_text(p + 4 + a, b), make_text(p + 6 + a + b, c),
        load_le<int32_t>(mid), load_le<int32_t>(mid + 4), load_le<int64_t>(mid + 8),
        load_le<int32_t>(mid + 16), make_text(mid + 22, d), make_text(mid + 24 + d, e)});
    p_ += kInstructionFixedBytes + a + b + c + d + e;
    return true;
  }

  [[gnu::cold, gnu::noinline]] bool slow_instruction(SignalInstructions& in) {
    return text(in.ticker, "ticker") && text(in.order_type, "order_type") &&
           text(in.action, "action") && scalar(in.trade_id, "trade_id") &&
           scalar(in.leg_id, "leg_id") && scalar(in.weight, "weight") &&
           scalar(in.quantity, "quantity") && text(in.limit_price, "limit_price") &&
           text(in.aux_price, "aux_price");
  }

  Frame& enter(const char* list) {
    frames_[depth_] = {list, 0};
    return frames_[depth_++];
  }
  void leave() { --depth_; }

  [[gnu::cold, gnu::noinline]] bool fail_short(const char* field, size_t width) {
    return fail(field, std::to_string(width) + "-byte integer runs past the end", offset());
  }

  [[gnu::cold, gnu::noinline]] bool fail_string(const char* field, size_t n) {
    return fail(field, "string of " + grouped(n) + " bytes runs past the end", offset() + 2);
  }

  [[gnu::cold, gnu::noinline]] bool fail_utf8(const char* field, size_t at) {
    return fail(field, "invalid UTF-8", at);
  }

  // Records "{path}: {what} at offset {at}{tail}" and returns false.
  [[gnu::cold, gnu::noinline]] bool fail(const char* field, const std::string& what, size_t at,
                                         const std::string& tail = {}) {
    std::string path;
    for (int i = 0; i < depth_; ++i) {
      if (i > 0) path += '.';
      path += frames_[i].list;
      path += '[' + std::to_string(frames_[i].index) + ']';
    }
    if (*field) {
      if (depth_ > 0) path += '.';
      path += field;
    }
    message_ = path + ": " + what + " at offset " + grouped(at) + tail;
    return false;
  }

  const uint8_t* begin_;
  const uint8_t* p_;
  const uint8_t* end_;
  Frame frames_[2] = {};
  int depth_ = 0;
  std::string message_;
};

}  // namespace

Result<BacktestData> decode_backtest(std::string_view bytes) { return Reader(bytes).run(); }

}  // namespace orx
