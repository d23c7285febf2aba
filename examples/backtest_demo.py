"""orx demo: a back-test result, its dictionary form, its encoding stored in a file and read
back, its DataFrames, and a picture of its equity curve with the drawdown.

    python examples/backtest_demo.py [picture.png]

The picture needs matplotlib (pip install 'orx-marketdata[plot]'); without it the demo says it skipped it.
"""

import os
import random
import sys
import tempfile
from collections.abc import Sequence
from typing import Any

import orx
from orx import backtest as frames

STATS = [
    "total_trades", "total_winning_trades", "total_losing_trades", "avg_profit",
    "avg_profit_percent", "avg_gain", "avg_gain_percent", "avg_loss", "avg_loss_percent",
    "profitability_ratio", "profit_factor", "profit_and_loss_ratio", "total_fees", "net_profit",
    "beginning_equity", "ending_equity", "total_return", "annualized_return",
    "daily_standard_deviation_percentage", "annual_standard_deviation_percentage",
    "max_drawdown_percentage_period", "max_drawdown_percentage_daily", "sharpe_ratio",
    "sortino_ratio",
]

DAY = 86_400 * 10**9
START = 1_704_067_200 * 10**9  # 2024-01-01T00:00:00Z


def build() -> orx.BacktestData:
    # Amounts are integers in the producer's own fixed-point scale (here 1e9 = 1.0).
    params = orx.Parameters(strategy_name="sma-cross", capital=100_000 * 10**9, schema="ohlcv-1d",
                            data_type="BAR", start=START, end=START + 250 * DAY,
                            tickers=["AAPL", "MSFT"])
    stats = orx.StaticStats(**dict.fromkeys(STATS, 0))
    stats.total_trades, stats.total_winning_trades, stats.total_losing_trades = 2, 1, 1
    equity = equity_walk(250)
    stats.beginning_equity, stats.ending_equity = params.capital, equity[-1].equity_value
    stats.net_profit = stats.ending_equity - stats.beginning_equity
    stats.max_drawdown_percentage_daily = min(p.percent_drawdown for p in equity)
    stats.sharpe_ratio = 1_420_000_000  # 1.42
    meta = orx.BacktestMetaData(1, "demo back-test", params, stats)
    trades = [
        orx.Trades(1, 1, START + DAY, "AAPL", 10, 190 * 10**9, 1_900 * 10**9, 1_900 * 10**9,
                   "BUY", 1 * 10**9),
        orx.Trades(1, 2, START + 2 * DAY, "AAPL", -10, 195 * 10**9, -1_950 * 10**9,
                   -1_950 * 10**9, "SELL", 1 * 10**9),
    ]
    signals = [orx.Signals(START + DAY, [
        orx.SignalInstructions("AAPL", "MKT", "BUY", 1, 1, 1_000_000_000, 10, "", ""),
    ])]
    return orx.BacktestData(meta, equity, equity, trades, signals)


def equity_walk(days: int, capital: int = 100_000 * 10**9) -> list[orx.TimeseriesStats]:
    """A year of daily equity points: a seeded random walk with a slight upward drift."""
    rng = random.Random(7)
    points: list[orx.TimeseriesStats] = []
    value, peak = capital, capital
    for d in range(days):
        previous = value
        value = int(value * (1 + rng.gauss(0.0006, 0.011)))
        peak = max(peak, value)
        # Ratios in the same 1e9 fixed-point scale as the amounts.
        points.append(orx.TimeseriesStats(
            START + d * DAY, value, (value - peak) * 10**9 // peak,
            (value - capital) * 10**9 // capital, (value - previous) * 10**9 // previous))
    return points


def draw(equity: Any, path: str) -> bool:
    """Equity curve above its drawdown from the running peak; returns False without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    value = equity["equity_value"] / 1e9
    drawdown = (value / value.cummax() - 1) * 100
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9, 5.5),
                                      gridspec_kw={"height_ratios": [3, 1.3]})
    top.plot(equity["timestamp"], value, color="tab:blue", linewidth=1.4)
    top.set_ylabel("equity")
    top.set_title("demo back-test: equity and drawdown")
    top.grid(alpha=0.3)
    bottom.fill_between(equity["timestamp"], drawdown, 0, color="tab:red", alpha=0.35)
    bottom.plot(equity["timestamp"], drawdown, color="tab:red", linewidth=0.8)
    bottom.set_ylabel("drawdown %")
    bottom.grid(alpha=0.3)
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main(argv: Sequence[str] = ()) -> None:
    picture = argv[0] if argv else "backtest_equity.png"
    backtest = build()
    d = backtest.to_dict()
    meta = d["metadata"]
    print(f"back-test {meta['backtest_id']} '{meta['backtest_name']}' "
          f"({meta['parameters']['strategy_name']} on {', '.join(meta['parameters']['tickers'])})")
    stats = meta["static_stats"]
    print(f"  trades {stats['total_trades']} (won {stats['total_winning_trades']}, lost "
          f"{stats['total_losing_trades']}), net profit {stats['net_profit'] / 1e9:,.2f}, "
          f"sharpe {stats['sharpe_ratio'] / 1e9:.2f}")
    print(f"  series: {len(d['period_timeseries_stats'])} period points, "
          f"{len(d['daily_timeseries_stats'])} daily; {len(d['trades'])} trade legs, "
          f"{len(d['signals'])} signal(s)")
    print(f"  first trade: {d['trades'][0]}")
    encoded = orx.PyBacktestEncoder().encode_backtest(backtest)
    print(f"  encoded: {len(encoded)} bytes")

    # Stored, then loaded again as a later session would.
    with tempfile.TemporaryDirectory() as tmp:
        stored = os.path.join(tmp, "backtest.bin")
        with open(stored, "wb") as f:
            f.write(encoded)
        with open(stored, "rb") as f:
            loaded = orx.decode_backtest(f.read())
    same = loaded.to_dict() == backtest.to_dict()
    print(f"  decoded from the stored bytes: {'identical' if same else 'DIFFERENT'} to the original")

    try:
        equity = frames.period_frame(loaded)
    except ImportError as e:
        print(f"  no frames or picture: {e}")
        return
    print(equity.tail(3).to_string())
    print(frames.trades_frame(loaded).to_string())
    print(frames.signals_frame(loaded).to_string())
    if draw(equity, picture):
        print(f"  equity curve with drawdown: {os.path.abspath(picture)}")
    else:
        print("  skipped the equity picture: matplotlib is not installed "
              "(pip install 'orx-marketdata[plot]')")


if __name__ == "__main__":
    main(sys.argv[1:])
