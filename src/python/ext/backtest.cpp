// Encoded backtests read back into `_lib`'s BacktestData, and the lists of back-test and live
// results as columns for the DataFrames of `orx.backtest`.
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "backtest.h"
#include "backtest_decode.h"
#include "classes.h"
#include "ext.h"

namespace orx::py::ext {
namespace {

// The decoded value moves into the new instance: no copy of its lists.
PyObject* decode_backtest(const BufferView& data) {
  Result<BacktestData> backtest = orx::decode_backtest(data.bytes());
  if (!backtest) {
    raise(PyExc_ValueError, backtest.error().payload());
    return nullptr;
  }
  return new_instance<BacktestData>(type_object<BacktestData>(), std::move(*backtest));
}

// --- columns ---------------------------------------------------------------------------------
// A column is a bytearray of the entries' native little-endian integers (numpy reads it
// without a copy) or a list of str.

template <class F>
struct Col {
  Col(const char* n, F g) : name(n), get(g) {}
  const char* name;
  F get;  // entry -> int32_t, int64_t or const std::string&
};

template <class Entry, class F>
PyObject* column(const std::vector<Entry>& entries, const F& get) {
  using V = std::remove_cvref_t<decltype(get(std::declval<const Entry&>()))>;
  const auto n = static_cast<Py_ssize_t>(entries.size());
  if constexpr (std::is_same_v<V, std::string>) {
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      const std::string& s = get(entries[static_cast<size_t>(i)]);
      PyObject* item = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
  } else {
    static_assert(std::is_integral_v<V>);
    Ref bytes = Ref::steal(PyByteArray_FromStringAndSize(nullptr, n * sizeof(V)));
    if (!bytes) return nullptr;
    char* out = PyByteArray_AS_STRING(bytes.get());
    for (const Entry& e : entries) {
      const V v = get(e);
      std::memcpy(out, &v, sizeof v);
      out += sizeof v;
    }
    return bytes.release();
  }
}

// {name: column} for the entries, in the order of `cols`.
template <class Entry, class... F>
PyObject* columns(const std::vector<Entry>& entries, const Col<F>&... cols) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  auto add = [&](const char* name, PyObject* col) {
    Ref owned = Ref::steal(col);
    return owned && PyDict_SetItemString(dict.get(), name, owned.get()) == 0;
  };
  if (!(add(cols.name, column(entries, cols.get)) && ...)) return nullptr;
  return dict.release();
}

// clang-format off
#define ORX_COL(Entry, member) \
  Col(#member, [](const Entry& e) -> const auto& { return e.member; })
// clang-format on

PyObject* series_columns(const std::vector<TimeseriesStats>& points) {
  using E = TimeseriesStats;
  return columns(points, ORX_COL(E, timestamp), ORX_COL(E, equity_value),
                 ORX_COL(E, percent_drawdown), ORX_COL(E, cumulative_return),
                 ORX_COL(E, period_return));
}

PyObject* trade_columns(const std::vector<Trades>& trades) {
  using E = Trades;
  return columns(trades, ORX_COL(E, trade_id), ORX_COL(E, leg_id), ORX_COL(E, timestamp),
                 ORX_COL(E, ticker), ORX_COL(E, quantity), ORX_COL(E, avg_price),
                 ORX_COL(E, trade_value), ORX_COL(E, trade_cost), ORX_COL(E, action),
                 ORX_COL(E, fees));
}

// One row per instruction, led by its signal's timestamp.
struct InstructionRow {
  const Signals* signal;
  const SignalInstructions* in;
};

// clang-format off
#define ORX_IN(member) \
  Col(#member, [](const InstructionRow& r) -> const auto& { return r.in->member; })
// clang-format on

PyObject* signal_columns(const std::vector<Signals>& signals) {
  std::vector<InstructionRow> rows;
  size_t n = 0;
  for (const Signals& s : signals) n += s.trade_instructions.size();
  rows.reserve(n);
  for (const Signals& s : signals)
    for (const SignalInstructions& in : s.trade_instructions) rows.push_back({&s, &in});
  using E = InstructionRow;
  return columns(rows, Col("timestamp", [](const E& r) { return r.signal->timestamp; }),
                 ORX_IN(ticker), ORX_IN(order_type), ORX_IN(action), ORX_IN(trade_id),
                 ORX_IN(leg_id), ORX_IN(weight), ORX_IN(quantity), ORX_IN(limit_price),
                 ORX_IN(aux_price));
}

#undef ORX_COL
#undef ORX_IN

[[gnu::cold]] PyObject* no_such_part(std::string_view part, const char* kinds) {
  raise(PyExc_ValueError, "no list '" + std::string(part) + "'; the lists are " + kinds);
  return nullptr;
}

PyObject* backtest_columns(const Borrowed<BacktestData>& backtest, std::string part) {
  const BacktestData& bt = *backtest;
  if (part == "period_timeseries_stats") return series_columns(bt.period_timeseries_stats);
  if (part == "daily_timeseries_stats") return series_columns(bt.daily_timeseries_stats);
  if (part == "trades") return trade_columns(bt.trades);
  if (part == "signals") return signal_columns(bt.signals);
  return no_such_part(part, "period_timeseries_stats, daily_timeseries_stats, trades, signals");
}

PyObject* live_columns(const Borrowed<LiveData>& live, std::string part) {
  if (part == "trades") return trade_columns(live->trades);
  if (part == "signals") return signal_columns(live->signals);
  return no_such_part(part, "trades, signals");
}

const MethodRow kFunctions[] = {
    function<&decode_backtest>(
        "decode_backtest(data)\n--\n\n"
        "Decodes the bytes PyBacktestEncoder.encode_backtest wrote (any bytes-like object) into "
        "a BacktestData.\n\n"
        "Raises ValueError when the bytes are not exactly one encoded back-test: a length or "
        "count running past the end, a string that is not UTF-8, or bytes after the last signal. "
        "The message names the field and the byte offset, for example\n"
        "'trades[12].ticker: string of 300 bytes runs past the end at offset 5,012'."),
    function<&backtest_columns>(
        "backtest_columns(backtest, part)\n--\n\n"
        "The entries of one list of a BacktestData ('period_timeseries_stats', "
        "'daily_timeseries_stats', 'trades' or 'signals', whose instructions come one per row "
        "after their signal's timestamp) as {field: column}: a bytearray of native integers or "
        "a list of str."),
    function<&live_columns>(
        "live_columns(live, part)\n--\n\n"
        "The entries of 'trades' or 'signals' of a LiveData as columns, as backtest_columns."),
};

}  // namespace

std::span<const MethodRow> backtest_functions() { return kFunctions; }

}  // namespace orx::py::ext
