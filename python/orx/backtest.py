"""Back-test and live results as pandas DataFrames, ready to compare and plot.

Every frame keeps the stored integers as they are (no scaling): ``int64`` columns, ``int32`` for
the fields that are 32-bit (trade and leg ids, statistics counts, instruction quantities), text
as Python strings. Only ``timestamp`` columns are converted, to ``datetime64[ns, UTC]``; the one
value that has no such time, the smallest 64-bit integer, becomes ``NaT``.

pandas is an optional dependency: ``pip install 'orx-marketdata[dataframe]'``.

    import orx
    from orx import backtest as bt

    result = orx.decode_backtest(open("run.bin", "rb").read())
    equity = bt.period_frame(result)        # timestamp, equity_value, percent_drawdown, ...
    trades = bt.trades_frame(result)
    table = bt.stats_table(stored_runs)     # one row of static statistics per back-test
"""

from __future__ import annotations

from collections.abc import Buffer, Iterable
from typing import TYPE_CHECKING, Any

from ._deps import install_hint
from ._ext import backtest_columns, decode_backtest, live_columns
from ._lib import BacktestData, LiveData

if TYPE_CHECKING:
    import pandas as pd

__all__ = [
    "account_frame",
    "daily_frame",
    "parameters_dict",
    "period_frame",
    "signals_frame",
    "stats_frame",
    "stats_table",
    "trades_frame",
]

# Column names and kinds: "ts" timestamps, "i4"/"i8" integers of that width, "str" text.
TIMESERIES_COLUMNS = [("timestamp", "ts"), ("equity_value", "i8"), ("percent_drawdown", "i8"),
                      ("cumulative_return", "i8"), ("period_return", "i8")]
TRADE_COLUMNS = [("trade_id", "i4"), ("leg_id", "i4"), ("timestamp", "ts"), ("ticker", "str"),
                 ("quantity", "i8"), ("avg_price", "i8"), ("trade_value", "i8"),
                 ("trade_cost", "i8"), ("action", "str"), ("fees", "i8")]
SIGNAL_COLUMNS = [("timestamp", "ts"), ("ticker", "str"), ("order_type", "str"), ("action", "str"),
                  ("trade_id", "i4"), ("leg_id", "i4"), ("weight", "i8"), ("quantity", "i4"),
                  ("limit_price", "str"), ("aux_price", "str")]
STATS_COUNTS = ["total_trades", "total_winning_trades", "total_losing_trades"]
STATS_VALUES = [
    "avg_profit", "avg_profit_percent", "avg_gain", "avg_gain_percent", "avg_loss",
    "avg_loss_percent", "profitability_ratio", "profit_factor", "profit_and_loss_ratio",
    "total_fees", "net_profit", "beginning_equity", "ending_equity", "total_return",
    "annualized_return", "daily_standard_deviation_percentage",
    "annual_standard_deviation_percentage", "max_drawdown_percentage_period",
    "max_drawdown_percentage_daily", "sharpe_ratio", "sortino_ratio",
]
STATS_COLUMNS = ([("backtest_id", "i8"), ("backtest_name", "str")]
                 + [(n, "i4") for n in STATS_COUNTS] + [(n, "i8") for n in STATS_VALUES])


def _pandas():
    try:
        import pandas
    except ImportError as e:
        raise ImportError(
            f"back-test DataFrames need pandas: {install_hint('dataframe')}") from e
    return pandas


NUMPY_TYPES = {"ts": "<i8", "i8": "<i8", "i4": "<i4"}


def _column(pd, values, kind: str):
    """A frame column from a list of values or a bytearray of native integers."""
    if kind == "str":
        return pd.Series(values, dtype=object)
    if isinstance(values, bytearray):
        import numpy as np

        values = np.frombuffer(values, dtype=NUMPY_TYPES[kind])
    if kind == "ts":
        return pd.to_datetime(pd.Series(values, dtype="int64"), unit="ns", utc=True)
    return pd.Series(values, dtype="int32" if kind == "i4" else "int64")


def _frame(columns: dict[str, Any], kinds: list[tuple[str, str]]) -> pd.DataFrame:
    pd = _pandas()
    return pd.DataFrame({name: _column(pd, columns[name], kind) for name, kind in kinds})


def _rows_frame(rows: list[dict[str, Any]], kinds: list[tuple[str, str]]) -> pd.DataFrame:
    return _frame({name: [r[name] for r in rows] for name, _ in kinds}, kinds)


def _list_frame(result: BacktestData | LiveData, part: str,
                kinds: list[tuple[str, str]]) -> pd.DataFrame:
    _pandas()  # the missing-pandas error before any work
    if isinstance(result, LiveData):
        return _frame(live_columns(result, part), kinds)
    return _frame(backtest_columns(result, part), kinds)


def period_frame(backtest: BacktestData) -> pd.DataFrame:
    """The period series, one row per point: timestamp, equity_value, percent_drawdown,
    cumulative_return, period_return."""
    return _list_frame(backtest, "period_timeseries_stats", TIMESERIES_COLUMNS)


def daily_frame(backtest: BacktestData) -> pd.DataFrame:
    """The daily series, with the columns of period_frame."""
    return _list_frame(backtest, "daily_timeseries_stats", TIMESERIES_COLUMNS)


def trades_frame(result: BacktestData | LiveData) -> pd.DataFrame:
    """One row per trade leg, in the fields' order."""
    return _list_frame(result, "trades", TRADE_COLUMNS)


def signals_frame(result: BacktestData | LiveData) -> pd.DataFrame:
    """One row per signal instruction, led by its signal's timestamp. A signal without
    instructions has no row."""
    return _list_frame(result, "signals", SIGNAL_COLUMNS)


def _stats_row(backtest: BacktestData) -> dict[str, Any]:
    meta = backtest.metadata
    row: dict[str, Any] = meta.static_stats.to_dict()
    row["backtest_id"] = meta.backtest_id
    row["backtest_name"] = meta.backtest_name
    return row


def stats_frame(backtest: BacktestData) -> pd.DataFrame:
    """One row: backtest_id, backtest_name and the 24 static statistics in their order."""
    return _rows_frame([_stats_row(backtest)], STATS_COLUMNS)


def stats_table(backtests: Iterable[BacktestData | Buffer]) -> pd.DataFrame:
    """The static statistics of many back-tests, one row each (see stats_frame), for comparing
    runs. Items are BacktestData values or their encoded bytes; bytes that do not decode raise
    ValueError naming the item's position."""
    rows = []
    for i, item in enumerate(backtests):
        if not isinstance(item, BacktestData):
            try:
                item = decode_backtest(item)
            except ValueError as e:
                raise ValueError(f"back-test {i}: {e}") from e
        rows.append(_stats_row(item))
    return _rows_frame(rows, STATS_COLUMNS)


def parameters_dict(result: BacktestData | LiveData) -> dict[str, Any]:
    """The strategy parameters as a dictionary (tickers as a list)."""
    params = result.metadata.parameters if isinstance(result, BacktestData) else result.parameters
    return params.to_dict()


def account_frame(live: LiveData) -> pd.DataFrame:
    """One row: the live run's live_id (None when absent), currency and the 20 account values,
    the two timestamps as times."""
    row = {"live_id": live.live_id, **live.account.to_dict()}
    kinds = [(name, "str" if name in ("live_id", "currency") else
             "ts" if name.endswith("_timestamp") else "i8") for name in row]
    return _rows_frame([row], kinds)
