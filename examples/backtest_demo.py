"""orx demo: a small back-test result, its dictionary form and its encoding."""

import orx

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
                            data_type="BAR", start=START, end=START + 3 * DAY,
                            tickers=["AAPL", "MSFT"])
    stats = orx.StaticStats(**dict.fromkeys(STATS, 0))
    stats.total_trades, stats.total_winning_trades, stats.total_losing_trades = 2, 1, 1
    stats.net_profit = 1_250 * 10**9
    stats.sharpe_ratio = 1_420_000_000  # 1.42
    meta = orx.BacktestMetaData(1, "demo back-test", params, stats)
    equity = [orx.TimeseriesStats(START + d * DAY, (100_000 + 400 * d) * 10**9, 0, 4_000_000 * d,
                                  4_000_000) for d in range(3)]
    trades = [
        orx.Trades(1, 1, START + DAY, "AAPL", 10, 190 * 10**9, 1_900 * 10**9, 1_900 * 10**9,
                   "BUY", 1 * 10**9),
        orx.Trades(1, 2, START + 2 * DAY, "AAPL", -10, 195 * 10**9, -1_950 * 10**9,
                   -1_950 * 10**9, "SELL", 1 * 10**9),
    ]
    signals = [orx.Signals(START + DAY, [
        orx.SignalInstructions("AAPL", "MKT", "BUY", 1, 1, 1_000_000_000, 10, "", ""),
    ])]
    return orx.BacktestData(meta, equity, equity[-1:], trades, signals)


def main() -> None:
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


if __name__ == "__main__":
    main()
