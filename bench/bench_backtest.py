"""Encoding and decoding a large back-test: orx's PyBacktestEncoder and orx.decode_backtest
against pure-Python struct encoders and decoders of the same format.

The back-test has 100,000 trade legs, 100,000 time-series points (80,000 period and 20,000
daily) and 10,000 signals of 3 instructions each. The baseline writes the same layout with
precompiled struct.Struct objects from plain tuples (its most favourable input) and is checked
to produce identical bytes. The decoding baseline reads the bytes back into the same plain
tuples with precompiled struct.Struct objects and is checked to return exactly the data it was
made from; the decoder is also compared with the encoder on the same bytes (target: at least
0.5x the encoder's speed, and 20x the baseline's). Everything runs in this process, interleaved,
and medians are compared.
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


def python_decode(data):
    pos = 0

    def short():
        nonlocal pos
        (n,) = U16.unpack_from(data, pos)
        s = data[pos + 2:pos + 2 + n].decode()
        if len(s.encode()) != n:  # a cut multi-byte character would pass silently otherwise
            raise ValueError("string runs past the end")
        pos += 2 + n
        return s

    def count():
        nonlocal pos
        (n,) = U32.unpack_from(data, pos)
        pos += 4
        return n

    (bid,) = U16.unpack_from(data, 0)
    pos = 2
    name = short()
    strategy = short()
    (capital,) = I64.unpack_from(data, pos)
    pos += 8
    schema, data_type = short(), short()
    start, end, n = struct.unpack_from("<qqI", data, pos)
    pos += 20
    tickers = [short() for _ in range(n)]
    stats = STATS_BLOCK.unpack_from(data, pos)
    pos += STATS_BLOCK.size
    series = []
    for _ in range(2):
        n = count()
        series.append(list(POINT.iter_unpack(data[pos:pos + n * POINT.size])))
        pos += n * POINT.size
    trades = []
    for _ in range(count()):
        tid, leg, ts = TRADE_HEAD.unpack_from(data, pos)
        pos += TRADE_HEAD.size
        ticker = short()
        qty, px, value, cost = TRADE_MID.unpack_from(data, pos)
        pos += TRADE_MID.size
        action = short()
        (fees,) = FEES.unpack_from(data, pos)
        pos += FEES.size
        trades.append((tid, leg, ts, ticker, qty, px, value, cost, action, fees))
    signals = []
    for _ in range(count()):
        ts, k = SIGNAL_HEAD.unpack_from(data, pos)
        pos += SIGNAL_HEAD.size
        instructions = []
        for _ in range(k):
            ticker, order_type, action = short(), short(), short()
            tid, leg, weight, qty = INSTR_MID.unpack_from(data, pos)
            pos += INSTR_MID.size
            instructions.append((ticker, order_type, action, tid, leg, weight, qty, short(),
                                 short()))
        signals.append((ts, instructions))
    if pos != len(data):
        raise ValueError("trailing bytes")
    meta = (bid, name, (strategy, capital, schema, data_type, start, end, tickers), stats)
    return meta, series[0], series[1], trades, signals


def as_lists(plain):
    """The plain data with every tuple made a list, for comparing decoded with original."""
    if isinstance(plain, (list, tuple)):
        return [as_lists(x) for x in plain]
    return plain


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

    if as_lists(python_decode(ours)) != as_lists(plain):
        sys.exit("the decoding baseline does not read back the data; the comparison would be "
                 "meaningless")
    if orx.decode_backtest(ours).to_dict() != backtest.to_dict():
        sys.exit("orx.decode_backtest does not read back the back-test")

    encode, decode = "PyBacktestEncoder.encode_backtest", "orx.decode_backtest"
    py_encode, py_decode = "pure-Python struct encoder", "pure-Python struct decoder"
    medians = interleaved({
        py_encode: lambda: python_encode(plain),
        encode: lambda: encoder.encode_backtest(backtest),
        decode: lambda: orx.decode_backtest(ours),
        py_decode: lambda: python_decode(ours),
    }, repeats=repeats)
    report(f"encode and decode one back-test of {size:,} bytes ({N_TRADES:,} trades, "
           f"{N_PERIOD + N_DAILY:,} time-series points, {N_SIGNALS:,} signals x "
           f"{N_INSTRUCTIONS} instructions; identical bytes and values)", medians, encode, size,
           "bytes")
    t_enc, t_dec = medians[encode], medians[decode]
    print(f"  encoder: {size / t_enc / 1e9:.2f} GB/s, {medians[py_encode] / t_enc:.1f}x the "
          "pure-Python encoder's speed")
    print(f"  decoder: {size / t_dec / 1e9:.2f} GB/s, {t_enc / t_dec:.2f}x the encoder's speed "
          f"(target >= 0.5x), {medians[py_decode] / t_dec:.0f}x the pure-Python decoder's speed "
          "(target >= 20x)")
    frames_of(backtest, repeats)


def frames_of(backtest, repeats):
    """The trades as a DataFrame: orx.backtest.trades_frame against pandas building it from
    the entries' dictionaries."""
    try:
        import pandas as pd
    except ImportError:
        print("frames: pandas is not installed, skipped")
        return
    from orx import backtest as frames

    def from_dicts():
        df = pd.DataFrame([t.to_dict() for t in backtest.trades])
        df["timestamp"] = pd.to_datetime(df["timestamp"], unit="ns", utc=True)
        return df

    ours = frames.trades_frame(backtest)
    if not ours.equals(from_dicts().astype(ours.dtypes)):
        sys.exit("the frames differ; the comparison would be meaningless")
    baseline = "DataFrame of Trades.to_dict() rows"
    medians = interleaved({baseline: from_dicts,
                           "orx.backtest.trades_frame": lambda: frames.trades_frame(backtest)},
                          repeats=repeats)
    report(f"the {N_TRADES:,} trades as a DataFrame (same frame)", medians, baseline, N_TRADES,
           "rows")


if __name__ == "__main__":
    main()
