#include "backtest.h"

#include <cstring>

namespace orx {

// --- LiveData ------------------------------------------------------------------------------------

Result<LiveData> LiveData::build(std::optional<uint16_t> live_id,
                                 std::optional<Parameters> parameters,
                                 std::optional<std::vector<Trades>> trades,
                                 std::optional<std::vector<Signals>> signals,
                                 std::optional<AccountSummary> account) {
  if (!parameters) return Error::custom("'parameters' are required");
  if (!trades) return Error::custom("'trades' are required");
  if (!signals) return Error::custom("'signals' are required");
  if (!account) return Error::custom("'account' is required");
  return LiveData{live_id, std::move(*parameters), std::move(*trades), std::move(*signals),
                  std::move(*account)};
}

// --- BacktestRecordEncoder ----------------------------------------------------------------------
//
// Each entry is sized first, its strings checked against the format's limits, and only then is
// room for it made in the buffer; the fields are then stored through a plain pointer. A refused
// value therefore never leaves a length field that disagrees with its bytes, and the whole call
// is undone by cutting the buffer back to where it started.

namespace {

// Little-endian host (asserted in the header): a value's bytes are its encoding.
template <class T>
uint8_t* put(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
  return p + sizeof v;
}

constexpr size_t kPaddingOffset = 12;
constexpr size_t kPaddingBytes = 4;

}  // namespace

uint8_t* BacktestRecordEncoder::grow(size_t n) {
  const size_t old = out_.size();
  out_.resize(old + n);
  return out_.data() + old;
}

uint8_t* BacktestRecordEncoder::put_str(uint8_t* p, std::string_view s) {
  p = put(p, static_cast<uint16_t>(s.size()));
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

[[gnu::cold]] bool BacktestRecordEncoder::refuse(std::string field, size_t size, bool list) {
  bad_path_ = std::move(field);
  bad_size_ = size;
  bad_is_list_ = list;
  return false;
}

bool BacktestRecordEncoder::string_too_long(std::string_view s, const char* field) {
  if (s.size() <= kMaxStringBytes) [[likely]]
    return false;
  refuse(field, s.size(), false);
  return true;
}

bool BacktestRecordEncoder::put_count(size_t n, const char* field) {
  if (n > kMaxListEntries) [[unlikely]]
    return refuse(field, n, true);
  put(grow(4), static_cast<uint32_t>(n));
  return true;
}

// Prefixes the path of the refused field with the list entry it sits in.
[[gnu::cold]] void BacktestRecordEncoder::in_entry(const char* list, size_t index) {
  const bool nested = !bad_path_.empty();
  bad_path_.insert(0, std::string(list) + "[" + std::to_string(index) + "]" + (nested ? "." : ""));
}

Status BacktestRecordEncoder::encode_backtest(const BacktestData& backtest) {
  const size_t start = out_.size();
  // The format's order: metadata (with parameters and statistics), the period series, the
  // daily series, trades, signals.
  const bool ok = encode_metadata(backtest.metadata) &&
                  encode_series(backtest.period_timeseries_stats, "period_timeseries_stats") &&
                  encode_series(backtest.daily_timeseries_stats, "daily_timeseries_stats") &&
                  encode_trades(backtest.trades) && encode_signals(backtest.signals);
  if (ok) [[likely]]
    return {};
  out_.resize(start);
  if (bad_is_list_) {
    return Error::encode(bad_path_ + " has " + std::to_string(bad_size_) +
                         " entries; a list holds at most " + std::to_string(kMaxListEntries));
  }
  return Error::encode(bad_path_ + " is " + std::to_string(bad_size_) +
                       " bytes long; a string holds at most " + std::to_string(kMaxStringBytes) +
                       " bytes");
}

bool BacktestRecordEncoder::encode_metadata(const BacktestMetaData& metadata) {
  if (string_too_long(metadata.backtest_name, "metadata.backtest_name")) return false;
  uint8_t* p = grow(2 + 2 + metadata.backtest_name.size());
  p = put(p, metadata.backtest_id);
  put_str(p, metadata.backtest_name);
  if (!encode_parameters(metadata.parameters)) return false;
  // The statistics block, whole, with its padding zeroed so that output is reproducible.
  p = grow(kStaticStatsSize);
  std::memcpy(p, &metadata.static_stats, kStaticStatsSize);
  std::memset(p + kPaddingOffset, 0, kPaddingBytes);
  return true;
}

bool BacktestRecordEncoder::encode_parameters(const Parameters& pm) {
  if (string_too_long(pm.strategy_name, "metadata.parameters.strategy_name") ||
      string_too_long(pm.schema, "metadata.parameters.schema") ||
      string_too_long(pm.data_type, "metadata.parameters.data_type"))
    return false;
  uint8_t* p = grow(2 + pm.strategy_name.size() + 8 + 2 + pm.schema.size() + 2 +
                    pm.data_type.size() + 8 + 8);
  p = put_str(p, pm.strategy_name);
  p = put(p, pm.capital);
  p = put_str(p, pm.schema);
  p = put_str(p, pm.data_type);
  p = put(p, pm.start);
  put(p, pm.end);
  if (!put_count(pm.tickers.size(), "metadata.parameters.tickers")) return false;
  for (size_t i = 0; i < pm.tickers.size(); ++i) {
    const std::string& t = pm.tickers[i];
    if (string_too_long(t, "")) [[unlikely]] {
      in_entry("metadata.parameters.tickers", i);
      return false;
    }
    put_str(grow(2 + t.size()), t);
  }
  return true;
}

// A series is contiguous 40-byte blocks in memory, so it is written with one copy.
bool BacktestRecordEncoder::encode_series(const std::vector<TimeseriesStats>& series,
                                          const char* name) {
  if (!put_count(series.size(), name)) return false;
  if (!series.empty())
    std::memcpy(grow(series.size() * kTimeseriesStatsSize), series.data(),
                series.size() * kTimeseriesStatsSize);
  return true;
}

bool BacktestRecordEncoder::encode_trades(const std::vector<Trades>& trades) {
  if (!put_count(trades.size(), "trades")) return false;
  for (size_t i = 0; i < trades.size(); ++i) {
    if (!encode_trade(trades[i])) [[unlikely]] {
      in_entry("trades", i);
      return false;
    }
  }
  return true;
}

bool BacktestRecordEncoder::encode_trade(const Trades& t) {
  if (string_too_long(t.ticker, "ticker") || string_too_long(t.action, "action")) return false;
  uint8_t* p = grow(kTradeFixedBytes + t.ticker.size() + t.action.size());
  p = put(p, t.trade_id);
  p = put(p, t.leg_id);
  p = put(p, t.timestamp);
  p = put_str(p, t.ticker);
  p = put(p, t.quantity);
  p = put(p, t.avg_price);
  p = put(p, t.trade_value);
  p = put(p, t.trade_cost);
  p = put_str(p, t.action);
  put(p, t.fees);
  return true;
}

bool BacktestRecordEncoder::encode_signals(const std::vector<Signals>& signals) {
  if (!put_count(signals.size(), "signals")) return false;
  for (size_t i = 0; i < signals.size(); ++i) {
    const Signals& s = signals[i];
    const size_t n = s.trade_instructions.size();
    if (n > kMaxListEntries) [[unlikely]] {
      refuse("trade_instructions", n, true);
      in_entry("signals", i);
      return false;
    }
    uint8_t* p = grow(kSignalFixedBytes);
    p = put(p, s.timestamp);
    put(p, static_cast<uint32_t>(n));
    for (size_t j = 0; j < n; ++j) {
      if (!encode_instruction(s.trade_instructions[j])) [[unlikely]] {
        in_entry("trade_instructions", j);
        in_entry("signals", i);
        return false;
      }
    }
  }
  return true;
}

bool BacktestRecordEncoder::encode_instruction(const SignalInstructions& in) {
  if (string_too_long(in.ticker, "ticker") || string_too_long(in.order_type, "order_type") ||
      string_too_long(in.action, "action") || string_too_long(in.limit_price, "limit_price") ||
      string_too_long(in.aux_price, "aux_price"))
    return false;
  uint8_t* p = grow(kInstructionFixedBytes + in.ticker.size() + in.order_type.size() +
                    in.action.size() + in.limit_price.size() + in.aux_price.size());
  p = put_str(p, in.ticker);
  p = put_str(p, in.order_type);
  p = put_str(p, in.action);
  p = put(p, in.trade_id);
  p = put(p, in.leg_id);
  p = put(p, in.weight);
  p = put(p, in.quantity);
  p = put_str(p, in.limit_price);
  put_str(p, in.aux_price);
  return true;
}

}  // namespace orx
