"""orx.backtest: results as DataFrames."""

import struct
import sys

import pandas as pd
import pytest

from orx import AccountSummary, LiveData, PyBacktestEncoder, Signals, TimeseriesStats, _ext
from orx import backtest as frames

from helpers import raises
from test_backtest import STATS_NAMES, backtest, instruction, meta, params, stats, trade

UTC = "datetime64[ns, UTC]"
T0 = 1_704_067_200 * 10**9  # 2024-01-01T00:00:00Z


def result():
    return backtest(
        metadata=meta(backtest_id=9, backtest_name="run", parameters=params(
            strategy_name="sma", capital=10**15, tickers=["AAPL", "MSFT"], start=T0, end=T0 + 1),
            static_stats=stats(total_trades=2, net_profit=-5, sortino_ratio=7)),
        period_timeseries_stats=[TimeseriesStats(T0 + i, 100 + i, -i, 3 * i, i) for i in range(3)],
        daily_timeseries_stats=[TimeseriesStats(T0, 1, 2, 3, 4)],
        trades=[trade(trade_id=1, leg_id=2, timestamp=T0, ticker="AAPL", quantity=-3,
                      action="SELL", fees=2**40), trade(timestamp=-(2**63))],
        signals=[Signals(T0 + 5, [instruction(ticker="A", quantity=-(2**31), limit_price="1.5"),
                                  instruction(ticker="B", weight=2**62)]),
                 Signals(T0 + 6, []),
                 Signals(T0 + 7, [instruction(ticker="C")])])


def live():
    account = AccountSummary("USD", *range(T0, T0 + 10), *range(T0 + 10, T0 + 20))
    p = params(strategy_name="live", tickers=["ES"])
    return LiveData(None, p, [trade(ticker="ES", timestamp=T0)],
                    [Signals(T0, [instruction(ticker="ES")])], account)


# Each frame: its columns and dtypes, in order.
TS = [("timestamp", UTC), ("equity_value", "int64"), ("percent_drawdown", "int64"),
      ("cumulative_return", "int64"), ("period_return", "int64")]
TRADES = [("trade_id", "int32"), ("leg_id", "int32"), ("timestamp", UTC), ("ticker", "object"),
          ("quantity", "int64"), ("avg_price", "int64"), ("trade_value", "int64"),
          ("trade_cost", "int64"), ("action", "object"), ("fees", "int64")]
SIGNALS = [("timestamp", UTC), ("ticker", "object"), ("order_type", "object"),
           ("action", "object"), ("trade_id", "int32"), ("leg_id", "int32"), ("weight", "int64"),
           ("quantity", "int32"), ("limit_price", "object"), ("aux_price", "object")]
STATS = ([("backtest_id", "int64"), ("backtest_name", "object")]
         + [(n, "int32" if n.startswith("total_") and n.endswith("trades") else "int64")
            for n in STATS_NAMES])

SHAPES = [
    (frames.period_frame, TS, 3),
    (frames.daily_frame, TS, 1),
    (frames.trades_frame, TRADES, 2),
    (frames.signals_frame, SIGNALS, 3),
    (frames.stats_frame, STATS, 1),
]


def shape(frame):
    return [(c, str(t)) for c, t in frame.dtypes.items()]


@pytest.mark.parametrize("make, columns, rows", SHAPES, ids=lambda x: getattr(x, "__name__", ""))
def test_columns_dtypes_and_rows(make, columns, rows):
    frame = make(result())
    assert shape(frame) == columns
    assert len(frame) == rows
    assert list(frame.index) == list(range(rows))


@pytest.mark.parametrize("make, columns, rows", SHAPES[:4], ids=lambda x: getattr(x, "__name__", ""))
def test_empty_lists_give_empty_frames_with_the_same_columns(make, columns, rows):
    frame = make(backtest())
    assert shape(frame) == columns
    assert len(frame) == 0


def test_values_are_the_stored_integers_and_times_are_utc():
    t = frames.trades_frame(result())
    assert t.loc[0, "timestamp"] == pd.Timestamp("2024-01-01", tz="UTC")
    assert t.loc[0, "fees"] == 2**40 and t.loc[0, "quantity"] == -3
    assert t.loc[0, "ticker"] == "AAPL" and t.loc[0, "action"] == "SELL"
    assert pd.isna(t.loc[1, "timestamp"])  # the smallest i64 has no time
    p = frames.period_frame(result())
    assert list(p["timestamp"].astype("int64")) == [T0, T0 + 1, T0 + 2]
    assert list(p["percent_drawdown"]) == [0, -1, -2]
    assert list(p["cumulative_return"]) == [0, 3, 6]


def test_signals_are_flattened_with_their_timestamp():
    s = frames.signals_frame(result())
    assert list(s["ticker"]) == ["A", "B", "C"]
    assert list(s["timestamp"].astype("int64")) == [T0 + 5, T0 + 5, T0 + 7]
    assert s.loc[0, "quantity"] == -(2**31) and s.loc[1, "weight"] == 2**62
    assert s.loc[0, "limit_price"] == "1.5"


def test_stats_frame_and_parameters():
    s = frames.stats_frame(result())
    assert s.loc[0, "backtest_id"] == 9 and s.loc[0, "backtest_name"] == "run"
    assert s.loc[0, "net_profit"] == -5 and s.loc[0, "sortino_ratio"] == 7
    assert frames.parameters_dict(result()) == {
        "strategy_name": "sma", "capital": 10**15, "schema": "", "data_type": "", "start": T0,
        "end": T0 + 1, "tickers": ["AAPL", "MSFT"]}


def test_stats_table_from_encoded_and_decoded_results():
    runs = []
    for i in range(4):
        bt = result()
        m = bt.metadata  # attributes hand out copies: change them, then store them back
        m.backtest_id = i
        m.static_stats = stats(net_profit=10 * i)
        bt.metadata = m
        runs.append(PyBacktestEncoder().encode_backtest(bt))
    runs[1] = bytearray(runs[1])
    runs[2] = result()  # a value, not bytes
    table = frames.stats_table(runs)
    assert shape(table) == STATS
    assert list(table["backtest_id"]) == [0, 1, 9, 3]
    assert list(table["net_profit"]) == [0, 10, -5, 30]
    assert shape(frames.stats_table([])) == STATS


def test_stats_table_names_the_item_that_does_not_decode():
    good = PyBacktestEncoder().encode_backtest(result())
    e = raises(ValueError, "back-test 1: 1 trailing byte after the backtest at offset "
               f"{len(good)}", frames.stats_table, [good, good + b"\x00"])
    assert isinstance(e.__cause__, ValueError)


def test_live_results():
    lv = live()
    assert shape(frames.trades_frame(lv)) == TRADES
    assert shape(frames.signals_frame(lv)) == SIGNALS
    assert frames.parameters_dict(lv)["tickers"] == ["ES"]
    a = frames.account_frame(lv)
    assert list(a.columns) == ["live_id"] + list(lv.account.to_dict())
    assert a.loc[0, "live_id"] is None and a.loc[0, "currency"] == "USD"
    assert str(a.dtypes["start_timestamp"]) == UTC
    assert str(a.dtypes["end_net_liquidation"]) == "int64"
    assert a.loc[0, "end_timestamp"] == pd.Timestamp(T0 + 10, tz="UTC")
    assert a.loc[0, "start_unrealized_pnl"] == T0 + 9


@pytest.mark.parametrize("fn, arg, part, exc, message", [
    (_ext.backtest_columns, "result", "metadata", ValueError, "no list 'metadata'; the lists are "
     "period_timeseries_stats, daily_timeseries_stats, trades, signals"),
    (_ext.live_columns, "live", "period_timeseries_stats", ValueError,
     "no list 'period_timeseries_stats'; the lists are trades, signals"),
    (_ext.live_columns, "result", "trades", TypeError,
     "argument 'live': 'BacktestData' object cannot be converted to 'LiveData'"),
    (_ext.backtest_columns, "live", "trades", TypeError,
     "argument 'backtest': 'LiveData' object cannot be converted to 'BacktestData'"),
])
def test_columns_refuse_unknown_lists_and_other_types(fn, arg, part, exc, message):
    raises(exc, message, fn, result() if arg == "result" else live(), part)


def test_columns_are_native_integers_and_str():
    cols = _ext.backtest_columns(result(), "trades")
    assert cols["fees"] == bytearray(struct.pack("<2q", 2**40, 0))
    assert cols["trade_id"] == bytearray(struct.pack("<2i", 1, 0))
    assert cols["ticker"] == ["AAPL", ""]
    assert list(_ext.backtest_columns(backtest(), "signals")["timestamp"]) == []


def test_without_pandas_the_error_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    raises(ImportError, "back-test DataFrames need pandas: pip install 'orx-marketdata[dataframe]'",
           frames.trades_frame, result())
