"""Encoding a large back-test: orx's PyBacktestEncoder against a pure-Python struct encoder.

The back-test has 100,000 trade legs, 100,000 time-series points (80,000 period and 20,000
daily) and 10,000 signals of 3 instructions each. The baseline writes the same layout with
precompiled struct.Struct objects from plain tuples (its most favourable input) and is checked
to produce identical bytes. Both run in this process, interleaved, and medians are compared.
"""

import struct
import sys

from common import interleaved, report

import orx

N_TRADES = 100_000
N_PERIOD, N_DAILY = 80_000, 20_000
N_SIGNALS, N_INSTRUCTIONS = 10_000, 3

STATS = [
    "total_trades", "total_winning_trades", "total_losing_trades", "avg_profit",
    "avg_profit_percent", "avg_gain", "avg_gain_percent", "avg_loss", "avg_loss_percent",
    "profitability_ratio", "profit_factor", "profit_and_loss_ratio", "total_fees", "net_profit",
    "beginning_equity", "ending_equity", "total_return", "annualized_return",
    "daily_standard_deviation_percentage", "annual_standard_deviation_percentage",
    "max_drawdown_percentage_period", "max_drawdown_percentage_daily", "sharpe_ratio",
    "sortino_ratio",
]
TICKERS = ["AAPL", "MSFT", "NVDA", "ESZ4", "CLF5"]


# --- the data, as plain tuples (the baseline's input) ---------------------------------------------

def make_plain():
    t0 = 1_704_067_200 * 10**9
    meta = (17, "bench back-test",
            ("momentum", 10**15, "ohlcv-1m", "BAR", t0, t0 + 10**15, TICKERS),
            tuple((i * 7919 - 50_000) * (1 if i < 3 else 10**9) for i in range(24)))
    period = [(t0 + i * 60 * 10**9, 10**15 + i, -i, i * 3, i % 7 - 3) for i in range(N_PERIOD)]
    daily = [(t0 + i * 86_400 * 10**9, 10**15 - i, -i, i * 5, i % 5 - 2) for i in range(N_DAILY)]
    trades = [(i // 2, i % 2, t0 + i * 10**9, TICKERS[i % 5], (i % 100) - 50, 190 * 10**9 + i,
               i * 1_000, i * 1_001, "BUY" if i % 2 else "SELL", 1_000_000 + i)
              for i in range(N_TRADES)]
    signals = [(t0 + i * 10**9,
                [(TICKERS[(i + k) % 5], "LMT" if k else "MKT", "BUY", i, k, 10**9 // (k + 1),
                  k * 10 - 5, "190.25" if k else "", "") for k in range(N_INSTRUCTIONS)])
               for i in range(N_SIGNALS)]
    return meta, period, daily, trades, signals


def to_orx(plain):
    meta, period, daily, trades, signals = plain
    bid, name, p, stats = meta
    m = orx.BacktestMetaData(bid, name, orx.Parameters(*p), orx.StaticStats(*stats))
    return orx.BacktestData(
        m, [orx.TimeseriesStats(*x) for x in period], [orx.TimeseriesStats(*x) for x in daily],
        [orx.Trades(*t) for t in trades],
        [orx.Signals(ts, [orx.SignalInstructions(*x) for x in ins]) for ts, ins in signals])


# --- the baseline ---------------------------------------------------------------------------------

U16, U32, I64 = struct.Struct("<H"), struct.Struct("<I"), struct.Struct("<q")
STATS_BLOCK = struct.Struct("<iii4x21q")
POINT = struct.Struct("<5q")
TRADE_HEAD, TRADE_MID, FEES = struct.Struct("<iiq"), struct.Struct("<qqqq"), struct.Struct("<q")
SIGNAL_HEAD = struct.Struct("<qI")
INSTR_MID = struct.Struct("<iiqi")


def short(s, out):
    b = s.encode()
    out.append(U16.pack(len(b)))
    out.append(b)


def python_encode(plain):
    meta, period, daily, trades, signals = plain
    bid, name, (strategy, capital, schema, data_type, start, end, tickers), stats = meta
    out = [U16.pack(bid)]
    short(name, out)
    short(strategy, out)
    out.append(I64.pack(capital))
    short(schema, out)
    short(data_type, out)
    out.append(struct.pack("<qqI", start, end, len(tickers)))
    for t in tickers:
        short(t, out)
    out.append(STATS_BLOCK.pack(*stats))
    for series in (period, daily):
        out.append(U32.pack(len(series)))
        out.extend(POINT.pack(*p) for p in series)
    out.append(U32.pack(len(trades)))
    for tid, leg, ts, ticker, qty, px, value, cost, action, fees in trades:
        out.append(TRADE_HEAD.pack(tid, leg, ts))
        short(ticker, out)
        out.append(TRADE_MID.pack(qty, px, value, cost))
        short(action, out)
        out.append(FEES.pack(fees))
    out.append(U32.pack(len(signals)))
    for ts, instructions in signals:
        out.append(SIGNAL_HEAD.pack(ts, len(instructions)))
        for ticker, order_type, action, tid, leg, weight, qty, limit, aux in instructions:
            short(ticker, out)
            short(order_type, out)
            short(action, out)
            out.append(INSTR_MID.pack(tid, leg, weight, qty))
            short(limit, out)
            short(aux, out)
    return b"".join(out)


# --- the run --------------------------------------------------------------------------------------

def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    plain = make_plain()
    backtest = to_orx(plain)
    encoder = orx.PyBacktestEncoder()
    ours = encoder.encode_backtest(backtest)
    if ours != python_encode(plain):
        sys.exit("the baseline's bytes differ from orx's; the comparison would be meaningless")
    size = len(ours)

    baseline = "pure-Python struct encoder"
    medians = interleaved({baseline: lambda: python_encode(plain),
                           "PyBacktestEncoder.encode_backtest": lambda: encoder.encode_backtest(
                               backtest)}, repeats=repeats)
    report(f"encode one back-test of {size:,} bytes ({N_TRADES:,} trades, "
           f"{N_PERIOD + N_DAILY:,} time-series points, {N_SIGNALS:,} signals x "
           f"{N_INSTRUCTIONS} instructions; identical bytes)", medians, baseline, size, "bytes")
    t_orx = medians["PyBacktestEncoder.encode_backtest"]
    print(f"  orx: {size / t_orx / 1e6:,.0f} MB/s, {medians[baseline] / t_orx:.1f}x the baseline's "
          "speed")


if __name__ == "__main__":
    main()
