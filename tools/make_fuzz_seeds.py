"""Writes the seed corpora of the fuzz targets: metadata and stream seeds built field by field,
back-test seeds written by orx's own encoder (so the installed module is needed) and then damaged.

    python tools/make_fuzz_seeds.py
"""

import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "tests", "fuzz", "corpus")


def header(length, rtype, iid=7, ts=1_700_000_000_000_000_000, rollover=0):
    return struct.pack("<BBHIQB7x", length, rtype, 0, iid, ts, rollover)


def level(bid=1_500_000_000, ask=1_510_000_000):
    return struct.pack("<qqIIII", bid, ask, 10, 11, 2, 3)


def mbp1(length=24, rtype=1):
    body = struct.pack("<qIbbBBQiII4x", 1_505_000_000, 5, ord("A"), ord("B"), 0, 128,
                       1_700_000_000_000_000_100, -20, 42, 9)
    return header(length, rtype) + body + level()


def trade(length=14):
    return header(length, 3) + struct.pack("<qIbbBBQiI", -1, 1, ord("T"), ord("N"), 0, 0, 5, 0, 1)


def bbo(length=22):
    return header(length, 5) + struct.pack("<qIbB2xQI4x", 7, 2, ord("A"), 0xAB, 9, 3) + level()


def ohlcv(length=16):
    return header(length, 2) + struct.pack("<qqqqQ", 1, 4, 0, 2, 1000)


def entry(iid, ticker):
    raw = ticker.encode() if isinstance(ticker, str) else ticker
    return struct.pack("<II", iid, len(raw)) + raw


def body(schema=1, dataset=1, start=0, end=2**64 - 1, entries=(), count=None):
    out = struct.pack("<BBQQI", schema, dataset, start, end,
                      len(entries) if count is None else count)
    return out + b"".join(entry(i, t) for i, t in entries)


def framed(b):
    return struct.pack("<H", len(b)) + b


METADATA = {
    "empty_map": body(),
    "one_entry": body(6, 2, 1, 2, [(7, "ESZ4")]),
    "several": body(9, 3, 5, 6, [(1, "A"), (2, ""), (2**32 - 1, "日本🙂"), (4, "café")]),
    "duplicate_ids": body(2, 1, 0, 0, [(1, "first"), (1, "second")]),
    "trailing": body(entries=[(3, "X")]) + b"tail",
    "bad_schema": body(schema=0),
    "bad_dataset": body(dataset=4),
    "bad_utf8": body(entries=[(1, b"\xff\xfe")]),
    "truncated_ticker": body(entries=[(1, "ABCDEF")])[:-2],
    "huge_count": body(count=2**32 - 1, entries=[(1, "A")]),
    "head_only": body()[:18],
}

META = framed(body(1, 1, 0, 10, [(7, "ESZ4"), (8, "NQ")]))
STREAM = {
    "only_metadata": META,
    "prefix_only": b"\x00\x00",
    "one_of_each": META + mbp1() + trade() + bbo() + ohlcv(),
    "many_mbp1": META + mbp1() * 8,
    "truncated_tail": (META + trade() + ohlcv())[:-1],
    "hostile_length_at_end": META + trade() + b"\xff\x01\x00",
    "short_length": META + trade() + b"\x05" + trade(),
    "zero_length": META + b"\x00" + ohlcv(),
    "tbbo": META + mbp1(rtype=4) + trade(),
    "unknown_rtype": META + header(6, 9) + bbo(),
    "short_for_kind": META + mbp1(length=16)[:64] + bbo(length=21)[:84] + trade(),
    "longer_than_layout": META + trade(length=20) + b"\x5a" * 24 + ohlcv(),
    "bad_metadata_then_records": framed(body(schema=0)) + ohlcv() + trade(),
    "short_block": b"\x30\x00" + body()[:10],
}


def backtest_seeds():
    import orx

    def encode(**kw):
        stats = orx.StaticStats(*range(-3, 21))
        stats.sortino_ratio = -(2**63)
        params = orx.Parameters(kw.get("strategy", "sma"), 2**63 - 1, "ohlcv-1d", "BAR", -1, 2,
                                kw.get("tickers", ["AAPL", "", "日本"]))
        meta = orx.BacktestMetaData(kw.get("bid", 65535), kw.get("name", "bt é🙂"), params, stats)
        bt = orx.BacktestData(meta, kw.get("period", []), kw.get("daily", []),
                              kw.get("trades", []), kw.get("signals", []))
        return orx.PyBacktestEncoder().encode_backtest(bt)

    point = orx.TimeseriesStats(1, -2, 3, -(2**63), 2**63 - 1)
    trade = orx.Trades(-1, 2**31 - 1, 10**18, "ESZ6", -5, 6, 7, 8, "BUY", 9)
    instr = orx.SignalInstructions("NQ", "LMT", "SELL", 1, 2, -3, -(2**31), "1.25", "")
    rich = encode(period=[point] * 2, daily=[point], trades=[trade, orx.Trades(0, 0, 0, "", 0, 0,
                  0, 0, "", 0)], signals=[orx.Signals(5, []), orx.Signals(6, [instr] * 2)])
    empty = orx.PyBacktestEncoder().encode_backtest(orx.BacktestData(
        orx.BacktestMetaData(0, "", orx.Parameters("", 0, "", "", 0, 0, []),
                             orx.StaticStats(*[0] * 24)), [], [], [], []))
    huge = b"\xff\xff\xff\xff"
    return {
        "empty": empty,
        "rich": rich,
        "many_trades": encode(trades=[trade] * 12, tickers=[]),
        "many_signals": encode(signals=[orx.Signals(i, [instr] * (i % 3)) for i in range(8)]),
        "truncated": rich[:-3],
        "trailing": empty + b"\x00\x01",
        "huge_tickers": empty[:34] + huge + empty[38:],
        "huge_series": empty[:222] + huge + empty[226:],
        "huge_trades": empty[:230] + huge + empty[234:],
        "huge_signals": empty[:234] + huge,
        "huge_name": b"\x01\x00\xff\xff" + empty[4:],
        "bad_utf8": encode(name="ab").replace(b"ab", b"a\xc3", 1),
        "surrogate": encode(name="abc").replace(b"abc", b"\xed\xa0\x80", 1),
    }


def write(kind, seeds):
    d = os.path.join(CORPUS, kind)
    os.makedirs(d, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    assert len(mbp1()) == 96 and len(trade()) == 56 and len(bbo()) == 88 and len(ohlcv()) == 64
    write("metadata", METADATA)
    write("stream", STREAM)
    write("backtest", backtest_seeds())
