// Strategy results: the back-test and live-session value types, and the writer of the
// encoded backtest. Every amount, ratio, statistic and timestamp is a signed 64-bit integer
// passed through unchanged; the library neither scales nor checks them against each other.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace orx {

// Strategy parameters (shared by back-test and live results).
struct Parameters {
  std::string strategy_name;
  int64_t capital = 0;
  std::string schema;  // free text, not checked against the Schema enumeration
  std::string data_type;
  int64_t start = 0;
  int64_t end = 0;
  std::vector<std::string> tickers;

  bool operator==(const Parameters&) const = default;
};

// Whole-run statistics. The memory of this struct on a little-endian host is its encoded
// 184-byte block: three 32-bit counts, 4 bytes of padding, 21 64-bit values.
struct StaticStats {
  int32_t total_trades = 0;
  int32_t total_winning_trades = 0;
  int32_t total_losing_trades = 0;
  int64_t avg_profit = 0;
  int64_t avg_profit_percent = 0;
  int64_t avg_gain = 0;
  int64_t avg_gain_percent = 0;
  int64_t avg_loss = 0;
  int64_t avg_loss_percent = 0;
  int64_t profitability_ratio = 0;
  int64_t profit_factor = 0;
  int64_t profit_and_loss_ratio = 0;
  int64_t total_fees = 0;
  int64_t net_profit = 0;
  int64_t beginning_equity = 0;
  int64_t ending_equity = 0;
  int64_t total_return = 0;
  int64_t annualized_return = 0;
  int64_t daily_standard_deviation_percentage = 0;
  int64_t annual_standard_deviation_percentage = 0;
  int64_t max_drawdown_percentage_period = 0;
  int64_t max_drawdown_percentage_daily = 0;
  int64_t sharpe_ratio = 0;
  int64_t sortino_ratio = 0;

  bool operator==(const StaticStats&) const = default;
};

// One point of an equity series; its memory is its encoded 40-byte block.
struct TimeseriesStats {
  int64_t timestamp = 0;
  int64_t equity_value = 0;
  int64_t percent_drawdown = 0;
  int64_t cumulative_return = 0;
  int64_t period_return = 0;

  bool operator==(const TimeseriesStats&) const = default;
};

// One executed trade leg.
struct Trades {
  int32_t trade_id = 0;
  int32_t leg_id = 0;
  int64_t timestamp = 0;
  std::string ticker;
  int64_t quantity = 0;
  int64_t avg_price = 0;
  int64_t trade_value = 0;
  int64_t trade_cost = 0;
  std::string action;
  int64_t fees = 0;

  bool operator==(const Trades&) const = default;
};

// One order a signal asks for. Prices are texts; `quantity` is 32-bit here.
struct SignalInstructions {
  std::string ticker;
  std::string order_type;
  std::string action;
  int32_t trade_id = 0;
  int32_t leg_id = 0;
  int64_t weight = 0;
  int32_t quantity = 0;
  std::string limit_price;
  std::string aux_price;

  bool operator==(const SignalInstructions&) const = default;
};

struct Signals {
  int64_t timestamp = 0;
  std::vector<SignalInstructions> trade_instructions;

  bool operator==(const Signals&) const = default;
};

struct BacktestMetaData {
  uint16_t backtest_id = 0;
  std::string backtest_name;
  Parameters parameters;
  StaticStats static_stats;

  bool operator==(const BacktestMetaData&) const = default;
};

// A whole back-test result.
struct BacktestData {
  BacktestMetaData metadata;
  std::vector<TimeseriesStats> period_timeseries_stats;
  std::vector<TimeseriesStats> daily_timeseries_stats;
  std::vector<Trades> trades;
  std::vector<Signals> signals;

  bool operator==(const BacktestData&) const = default;
};

// Account values at the start and at the end of a live run.
struct AccountSummary {
  std::string currency;
  int64_t start_timestamp = 0;
  int64_t start_buying_power = 0;
  int64_t start_excess_liquidity = 0;
  int64_t start_full_available_funds = 0;
  int64_t start_full_init_margin_req = 0;
  int64_t start_full_maint_margin_req = 0;
  int64_t start_futures_pnl = 0;
  int64_t start_net_liquidation = 0;
  int64_t start_total_cash_balance = 0;
  int64_t start_unrealized_pnl = 0;
  int64_t end_timestamp = 0;
  int64_t end_buying_power = 0;
  int64_t end_excess_liquidity = 0;
  int64_t end_full_available_funds = 0;
  int64_t end_full_init_margin_req = 0;
  int64_t end_full_maint_margin_req = 0;
  int64_t end_futures_pnl = 0;
  int64_t end_net_liquidation = 0;
  int64_t end_total_cash_balance = 0;
  int64_t end_unrealized_pnl = 0;
};

// A live-trading result. Only `live_id` may be absent; `build` refuses the rest missing.
struct LiveData {
  std::optional<uint16_t> live_id;
  Parameters parameters;
  std::vector<Trades> trades;
  std::vector<Signals> signals;
  AccountSummary account;

  // Checks the inputs in the order parameters, trades, signals, account and fails on the
  // first absent one with "'parameters' are required" (and so on), a CustomError.
  static Result<LiveData> build(std::optional<uint16_t> live_id,
                                std::optional<Parameters> parameters,
                                std::optional<std::vector<Trades>> trades,
                                std::optional<std::vector<Signals>> signals,
                                std::optional<AccountSummary> account);
};

// --- the encoded backtest ----------------------------------------------------------------------

inline constexpr size_t kStaticStatsSize = 184;
inline constexpr size_t kTimeseriesStatsSize = 40;
// The bytes of an entry with every string empty and, for a signal, no instructions.
inline constexpr size_t kTradeFixedBytes = 4 + 4 + 8 + 2 + 8 + 8 + 8 + 8 + 2 + 8;    // 60
inline constexpr size_t kInstructionFixedBytes = 2 + 2 + 2 + 4 + 4 + 8 + 4 + 2 + 2;  // 30
inline constexpr size_t kSignalFixedBytes = 8 + 4;                                   // 12
// The largest byte length of a short string and entry count of a counted list.
inline constexpr size_t kMaxStringBytes = UINT16_MAX;
inline constexpr size_t kMaxListEntries = UINT32_MAX;

// The fixed blocks are copied whole from memory, so their layout is frozen here.
static_assert(std::endian::native == std::endian::little,
              "the statistics and time-series blocks are copied in native byte order");
static_assert(sizeof(StaticStats) == kStaticStatsSize);
static_assert(offsetof(StaticStats, total_losing_trades) == 8);
static_assert(offsetof(StaticStats, avg_profit) == 16);
static_assert(offsetof(StaticStats, sortino_ratio) == 176);
static_assert(sizeof(TimeseriesStats) == kTimeseriesStatsSize);
static_assert(offsetof(TimeseriesStats, period_return) == 32);

// Writes a BacktestData as one little-endian byte sequence appended to a buffer the caller
// owns. It never clears the buffer and keeps nothing between calls.
class BacktestRecordEncoder {
 public:
  explicit BacktestRecordEncoder(std::vector<uint8_t>& buffer) : out_(buffer) {}

  // Appends the encoded backtest. A string longer than kMaxStringBytes or a list longer than
  // kMaxListEntries has no encoding: the call then fails with an Encode error naming the
  // field ("trades[3].ticker") and leaves the buffer as it found it.
  Status encode_backtest(const BacktestData& backtest);

 private:
  bool encode_metadata(const BacktestMetaData& metadata);
  bool encode_parameters(const Parameters& parameters);
  bool encode_series(const std::vector<TimeseriesStats>& series, const char* name);
  bool encode_trades(const std::vector<Trades>& trades);
  bool encode_trade(const Trades& trade);
  bool encode_signals(const std::vector<Signals>& signals);
  bool encode_instruction(const SignalInstructions& instruction);

  uint8_t* grow(size_t n);
  bool put_count(size_t n, const char* field);
  uint8_t* put_str(uint8_t* p, std::string_view s);
  // True (and the failure recorded) when `s` is too long for a short string.
  bool string_too_long(std::string_view s, const char* field);
  bool refuse(std::string field, size_t size, bool list);
  void in_entry(const char* list, size_t index);

  std::vector<uint8_t>& out_;
  // Set when a value cannot be represented: the field's path, built while unwinding.
  std::string bad_path_;
  size_t bad_size_ = 0;
  bool bad_is_list_ = false;
};

}  // namespace orx
