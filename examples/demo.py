"""orx demo: a trading day of MBP-1 updates for a handful of futures, written to a stream file,
read back, and shown as a DataFrame, with the time each step took. Then a back-test result and
a historical-data request.

    ./dev demo [records] [path]

It leaves in examples/out/ (or beside `path`) what the README's examples read:
2026-12-07.orx (the day), 2026-12-07.orx.zst (the same, compressed), catalog/ (a catalog
holding the day), backtests/run-17.orx, run-18.orx and run-19.orx (encoded back-tests) and
backtest_equity.png.
"""

import os
import random
import shutil
import sys
import time
from collections.abc import Callable
from typing import Any, TypeVar

import pandas as pd

import orx
from orx import (Action, BidAskPair, BufferStore, Dataset, Mbp1Msg, Metadata, PyMetadataEncoder,
                 PyRecordEncoder, RetrieveParams, Schema, Side, Stype, SymbolMap)

import backtest_demo

NS = 1_000_000_000
PX = 1_000_000_000  # prices are fixed-point with nine decimal places
OPEN = orx.RetrieveParams(["X"], "2026-12-07 14:30:00", "2026-12-07 21:00:00", Schema.MBP1,
                          Dataset.FUTURES, Stype.RAW)  # the regular session, in UTC

# instrument id: (ticker, first price, tick size, share of the updates)
INSTRUMENTS = {
    101: ("ESZ6", 6_850.00, 0.25, 0.35),
    102: ("NQZ6", 21_500.00, 0.25, 0.25),
    103: ("CLF7", 68.50, 0.01, 0.15),
    104: ("GCG7", 2_650.00, 0.10, 0.15),
    105: ("ZNH7", 110.50, 1 / 64, 0.10),
}


def generate(n: int, seed: int = 20261207) -> list[Mbp1Msg]:
    """n book updates spread over the session: a random walk per instrument, one-tick spreads."""
    rng = random.Random(seed)
    start, end = OPEN.start_ts, OPEN.end_ts
    times = sorted(rng.randrange(start, end) for _ in range(n))
    ids = rng.choices(list(INSTRUMENTS), weights=[v[3] for v in INSTRUMENTS.values()], k=n)
    ticks = {i: round(v[2] * PX) for i, v in INSTRUMENTS.items()}
    mid = {i: round(v[1] / v[2]) * ticks[i] for i, v in INSTRUMENTS.items()}
    actions = [Action.ADD, Action.ADD, Action.MODIFY, Action.CANCEL, Action.TRADE]
    sides = [Side.BID, Side.ASK]
    sequence = {i: 0 for i in INSTRUMENTS}
    records: list[Mbp1Msg] = []
    for ts, iid in zip(times, ids):
        tick = ticks[iid]
        mid[iid] += tick * rng.choice((-1, 0, 0, 1))
        bid, ask = mid[iid] - tick, mid[iid]
        side = rng.choice(sides)
        sequence[iid] += 1
        level = BidAskPair(bid, ask, rng.randint(1, 400), rng.randint(1, 400),
                           rng.randint(1, 40), rng.randint(1, 40))
        records.append(Mbp1Msg(iid, ts, 0, bid if side == Side.BID else ask, rng.randint(1, 25),
                               rng.choice(actions), side, 0, 0, ts + rng.randint(200, 40_000),
                               -rng.randint(100, 5_000), sequence[iid], 0, [level]))
    return records


T = TypeVar("T")


class Clock:
    def __init__(self) -> None:
        self.steps: list[tuple[str, float]] = []

    def __call__(self, label: str, fn: Callable[..., T], *args: Any) -> T:
        t0 = time.perf_counter()
        result = fn(*args)
        self.steps.append((label, time.perf_counter() - t0))
        return result


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 250_000
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")
    path = sys.argv[2] if len(sys.argv) > 2 else os.path.join(out, "2026-12-07.orx")
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    clock = Clock()

    records = clock(f"build {n:,} Mbp1Msg records", generate, n)
    symbols = SymbolMap({iid: v[0] for iid, v in INSTRUMENTS.items()})
    metadata = Metadata(Schema.MBP1, Dataset.FUTURES, OPEN.start_ts, OPEN.end_ts, symbols)

    meta_enc, rec_enc = PyMetadataEncoder(), PyRecordEncoder()
    clock("encode metadata", meta_enc.encode_metadata, metadata)
    clock("encode records", rec_enc.encode_records, records)
    data = meta_enc.get_encoded_data() + rec_enc.get_encoded_data()
    clock("write the stream file", BufferStore(data).write_to_file, path)

    store = clock("BufferStore.from_file", BufferStore.from_file, path)
    first = clock("replay the first record", store.replay)
    rest = clock("decode_to_array (the rest)", store.decode_to_array)
    df = clock("decode_to_df(True, True)", BufferStore.from_file(path).decode_to_df, True, True)
    raw = clock("decode_to_df(False, False)", BufferStore.from_file(path).decode_to_df, False,
                False)

    print(f"orx {len(orx.__all__)} classes; stream file {path}: {os.path.getsize(path):,} bytes")
    print(store.metadata)
    print(f"first record: {first}")
    assert len(rest) == n - 1 and len(df) == len(raw) == n
    with pd.option_context("display.width", 200, "display.max_columns", 12):
        print(df[["ts_event", "symbol", "action", "side", "price", "size", "bid_px", "ask_px",
                  "bid_sz", "ask_sz", "sequence"]].head(8))
        last = df.groupby("symbol", sort=True)["price"].last()
        print("last price per instrument:", ", ".join(f"{k} {v:g}" for k, v in last.items()))
    print("timings:")
    for label, seconds in clock.steps:
        rate = f"{n / seconds:14,.0f} records/s" if "decode" in label or "encode r" in label else ""
        print(f"  {label:32} {seconds * 1e3:9.1f} ms  {rate}")

    print()
    files_demo(path, n)
    print()
    backtest_demo.main([os.path.join(os.path.dirname(path), "backtest_equity.png")])
    store_backtests(os.path.join(os.path.dirname(path), "backtests"))
    print()
    request = RetrieveParams([v[0] for v in INSTRUMENTS.values()], "2026-12-07", "2026-12-08",
                             Schema.OHLCV1_M, Dataset.FUTURES, Stype.RAW)
    print("historical-data request:", request.to_json())


def store_backtests(directory: str) -> None:
    """Three encoded back-tests of the same strategy, as a research session keeps them."""
    os.makedirs(directory, exist_ok=True)
    for run in (17, 18, 19):
        result = backtest_demo.build()
        meta = result.metadata
        meta.backtest_id, meta.backtest_name = run, f"sma-cross run {run}"
        stats = meta.static_stats
        stats.sharpe_ratio += (run - 17) * 150_000_000
        meta.static_stats = stats
        result.metadata = meta
        with open(os.path.join(directory, f"run-{run}.orx"), "wb") as f:
            f.write(orx.PyBacktestEncoder().encode_backtest(result))
    print(f"back-tests 17, 18 and 19 stored in {directory}")


def files_demo(path: str, n: int) -> None:
    """The stream file compressed, read back batch by batch, and kept in a catalog that answers
    a request for one instrument."""
    clock = Clock()
    packed = path + ".zst"
    clock("orx.write (zstd, from the file)", orx.write, packed, orx.open(path),
          None, "zstd")
    raw_size, packed_size = os.path.getsize(path), os.path.getsize(packed)
    with orx.open(packed) as reader:
        frames = clock("orx.open(zst): batches to pandas",
                       lambda: [b.to_pandas() for b in reader.batches(65_536)])
    assert sum(len(f) for f in frames) == n
    try:
        import pyarrow as pa
    except ImportError:
        print("pyarrow is not installed: skipping the Arrow table")
    else:
        table = clock("pyarrow.table(orx.open(zst))", lambda: pa.table(orx.open(packed)))
        print(f"Arrow: {table.num_rows:,} rows; ts_event {table.schema.field('ts_event').type}, "
              f"symbol {table.schema.field('symbol').type}")
    root = os.path.join(os.path.dirname(path), "catalog")
    shutil.rmtree(root, ignore_errors=True)
    catalog = orx.Catalog(root)
    clock("Catalog.write (split by day)", catalog.write, packed)
    request = RetrieveParams(["ESZ6"], "2026-12-07", "2026-12-08", Schema.MBP1, Dataset.FUTURES,
                             Stype.RAW)
    es = clock("Catalog.query(ESZ6).to_pandas", lambda: catalog.query(request).to_pandas())
    print(f"zstd: {raw_size:,} -> {packed_size:,} bytes ({raw_size / packed_size:.2f}x); "
          f"catalog answers {request.to_json()} with {len(es):,} ESZ6 records")
    for label, seconds in clock.steps:
        print(f"  {label:36} {seconds * 1e3:9.1f} ms")


if __name__ == "__main__":
    main()
