// The back-test result classes and PyBacktestEncoder. Each value class is its field table:
// the constructor takes the fields in table order, every field is a read/write attribute, and
// to_dict() (BacktestMetaData: __dict__()) lists them in the class's dictionary order.
#include "backtest.h"

#include "bind/bind.h"
#include "classes.h"

namespace orx::py {

// The encoder's buffer: emptied at the start of each call, its capacity kept.
struct PyBacktestEncoder {
  std::vector<uint8_t> buffer;
};

namespace {

constexpr const char* kToDict = "to_dict($self)\n--\n\n";

PyObject* encode_backtest(PyObject* self, const Borrowed<BacktestData>& backtest) {
  ExclusiveHold hold(cell_of<PyBacktestEncoder>(self));
  if (!hold) return nullptr;
  std::vector<uint8_t>& buffer = value_of<PyBacktestEncoder>(self).buffer;
  buffer.clear();
  const Status status = BacktestRecordEncoder(buffer).encode_backtest(*backtest);
  if (!status) {
    raise(PyExc_OSError, "Failed to encode record: " + status.error().display());
    return nullptr;
  }
  return bytes_of(buffer);
}

}  // namespace

template <>
struct PyClass<BacktestData> {
  static constexpr const char* name = "BacktestData";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(BacktestData, metadata),
      ORX_RW(BacktestData, period_timeseries_stats),
      ORX_RW(BacktestData, daily_timeseries_stats),
      ORX_RW(BacktestData, trades),
      ORX_RW(BacktestData, signals),
  };
  static constexpr auto init = fields;
  static constexpr const char* dict_method = kToDict;
};

template <>
struct PyClass<BacktestMetaData> {
  static constexpr const char* name = "BacktestMetaData";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(BacktestMetaData, backtest_id),
      ORX_RW(BacktestMetaData, backtest_name),
      ORX_RW(BacktestMetaData, parameters),
      ORX_RW(BacktestMetaData, static_stats),
  };
  static constexpr auto init = fields;
  // This class's dictionary method is named __dict__; it has no to_dict.
  static constexpr const char* dict_method = "__dict__($self)\n--\n\n";
};

template <>
struct PyClass<Parameters> {
  static constexpr const char* name = "Parameters";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(Parameters, strategy_name), ORX_RW(Parameters, capital), ORX_RW(Parameters, schema),
      ORX_RW(Parameters, data_type),     ORX_RW(Parameters, start),   ORX_RW(Parameters, end),
      ORX_RW(Parameters, tickers),
  };
  static constexpr auto init = fields;
  static constexpr const char* dict_method = kToDict;
};

template <>
struct PyClass<StaticStats> {
  using S = StaticStats;
  static constexpr const char* name = "StaticStats";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(S, total_trades),
      ORX_RW(S, total_winning_trades),
      ORX_RW(S, total_losing_trades),
      ORX_RW(S, avg_profit),
      ORX_RW(S, avg_profit_percent),
      ORX_RW(S, avg_gain),
      ORX_RW(S, avg_gain_percent),
      ORX_RW(S, avg_loss),
      ORX_RW(S, avg_loss_percent),
      ORX_RW(S, profitability_ratio),
      ORX_RW(S, profit_factor),
      ORX_RW(S, profit_and_loss_ratio),
      ORX_RW(S, total_fees),
      ORX_RW(S, net_profit),
      ORX_RW(S, beginning_equity),
      ORX_RW(S, ending_equity),
      ORX_RW(S, total_return),
      ORX_RW(S, annualized_return),
      ORX_RW(S, daily_standard_deviation_percentage),
      ORX_RW(S, annual_standard_deviation_percentage),
      ORX_RW(S, max_drawdown_percentage_period),  // 20
      ORX_RW(S, max_drawdown_percentage_daily),   // 21
      ORX_RW(S, sharpe_ratio),
      ORX_RW(S, sortino_ratio),
  };
  static constexpr auto init = fields;
  // The dictionary lists the daily drawdown before the period one.
  static constexpr auto dict_order = order_swapping<24>(20, 21);
  static constexpr const char* dict_method = kToDict;
};

template <>
struct PyClass<TimeseriesStats> {
  using S = TimeseriesStats;
  static constexpr const char* name = "TimeseriesStats";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(S, timestamp),         ORX_RW(S, equity_value),  ORX_RW(S, percent_drawdown),
      ORX_RW(S, cumulative_return), ORX_RW(S, period_return),
  };
  static constexpr auto init = fields;
  // period_return before cumulative_return in the dictionary.
  static constexpr auto dict_order = order_swapping<5>(3, 4);
  static constexpr const char* dict_method = kToDict;
};

template <>
struct PyClass<Trades> {
  using S = Trades;
  static constexpr const char* name = "Trades";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(S, trade_id), ORX_RW(S, leg_id),    ORX_RW(S, timestamp),   ORX_RW(S, ticker),
      ORX_RW(S, quantity), ORX_RW(S, avg_price), ORX_RW(S, trade_value), ORX_RW(S, trade_cost),
      ORX_RW(S, action),   ORX_RW(S, fees),
  };
  static constexpr auto init = fields;
  static constexpr const char* dict_method = kToDict;
};

template <>
struct PyClass<Signals> {
  static constexpr const char* name = "Signals";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(Signals, timestamp),
      ORX_RW(Signals, trade_instructions),
  };
  static constexpr auto init = fields;
  static constexpr const char* dict_method = kToDict;
};

template <>
struct PyClass<SignalInstructions> {
  using S = SignalInstructions;
  static constexpr const char* name = "SignalInstructions";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(S, ticker),   ORX_RW(S, order_type),  ORX_RW(S, action),
      ORX_RW(S, trade_id), ORX_RW(S, leg_id),      ORX_RW(S, weight),
      ORX_RW(S, quantity), ORX_RW(S, limit_price), ORX_RW(S, aux_price),
  };
  static constexpr auto init = fields;
  static constexpr const char* dict_method = kToDict;
};

template <>
struct PyClass<PyBacktestEncoder> {
  static constexpr const char* name = "PyBacktestEncoder";
  static constexpr const char* doc = "Python-facing wrapper for BacktestRecordEncoder";
  static constexpr auto init = std::tuple{};
  static inline const MethodRow methods[] = {
      method<&encode_backtest>("encode_backtest($self, backtest)\n--\n\nEncodes multiple records"),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::BacktestData)
ORX_DEFINE_CLASS(orx::BacktestMetaData)
ORX_DEFINE_CLASS(orx::Parameters)
ORX_DEFINE_CLASS(orx::StaticStats)
ORX_DEFINE_CLASS(orx::TimeseriesStats)
ORX_DEFINE_CLASS(orx::Trades)
ORX_DEFINE_CLASS(orx::Signals)
ORX_DEFINE_CLASS(orx::SignalInstructions)
ORX_DEFINE_CLASS(orx::py::PyBacktestEncoder)
