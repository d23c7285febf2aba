"""A catalog of 20 generated trading days of MBP-1 records for 50 instruments.

1. `query` of one instrument over the 20 days against the baseline every user can write:
   decode every day file to pandas and keep the instrument's rows.
   Once on a catalog of raw day files, once on zstd-compressed ones.
2. `to_dask(...).compute()` on a LocalCluster of 2 worker processes against the single-process
   query of the same request, with the peak RSS of each worker and the largest partition.
3. Reading 4 day files on 4 threads against reading them one after the other on one thread.

Arguments: [repeats] [records per day].
"""

import os
import resource
import shutil
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd

from common import interleaved, report

import orx
from orx._reader import _dtype

REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 5
PER_DAY = int(sys.argv[2]) if len(sys.argv) > 2 else 50_000
DAYS, SYMBOLS = 20, 50
NS_DAY = 86_400 * 1_000_000_000
DAY0 = 20_423 * NS_DAY  # 2025-12-01


def trading_days():
    day, out = DAY0, []
    while len(out) < DAYS:
        if (day // NS_DAY + 3) % 7 < 5:  # Monday to Friday (1970-01-01 was a Thursday)
            out.append(day)
        day += NS_DAY
    return out


def make_day(start, rng):
    a = np.zeros(PER_DAY, dtype=_dtype(1))
    a["length"], a["rtype"] = 24, 1
    a["instrument_id"] = rng.integers(1, SYMBOLS + 1, PER_DAY)
    # the session: 13:30 to 20:00 UTC
    t = np.sort(rng.integers(start + 13 * 3600 * 10**9 + 1800 * 10**9,
                             start + 20 * 3600 * 10**9, PER_DAY)).astype(np.uint64)
    a["ts_event"], a["ts_recv"] = t, t + 500
    a["price"] = 4_500_000_000_000 + rng.integers(-10**9, 10**9, PER_DAY) * 250_000_000 // 10**9
    a["size"] = rng.integers(1, 50, PER_DAY)
    a["action"], a["side"] = b"A", b"B"
    a["bid_px"], a["ask_px"] = a["price"] - 250_000_000, a["price"]
    a["sequence"] = np.arange(PER_DAY)
    return a


def build(root, compression):
    rng = np.random.default_rng(7)
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0,
                        orx.SymbolMap({i: f"SYM{i:02d}" for i in range(1, SYMBOLS + 1)}))
    cat = orx.Catalog(os.path.join(root, str(compression)), compression=compression)
    days = trading_days()
    for d in days:
        cat.write(make_day(d, rng), meta)
    return cat, days


def params(symbols, days):
    p = orx.RetrieveParams([], "2025-01-01", "2025-01-02", orx.Schema.MBP1, orx.Dataset.FUTURES,
                           orx.Stype.RAW)
    p.symbols, p.start_ts, p.end_ts = symbols, days[0], days[-1] + NS_DAY
    return p


def rss_peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def bench_query(cat, days):
    p = params(["SYM17"], days)
    files = [str(f.path) for f in cat.files(orx.Dataset.FUTURES, orx.Schema.MBP1)]

    def query():
        return cat.query(p).to_pandas()

    def decode_all_and_filter():
        frames = []
        for f in files:
            df = orx.open(f).to_pandas()
            frames.append(df[df["symbol"] == "SYM17"])
        return pd.concat(frames, ignore_index=True)

    pd.testing.assert_frame_equal(query(), decode_all_and_filter(), check_exact=True)
    opened = cat.query(p).paths  # the day files the query reads
    total = DAYS * PER_DAY
    medians = interleaved({"decode all files, filter in pandas": decode_all_and_filter,
                           "catalog.query(1 of 50).to_pandas()": query}, repeats=REPEATS)
    size = sum(os.path.getsize(f) for f in files)
    report(f"{cat.compression or 'raw'} catalog ({size / 2**20:.0f} MB): query of one instrument "
           f"of {SYMBOLS}, {DAYS} days, {total:,} records ({len(opened)} of {len(files)} files "
           f"opened)", medians, "decode all files, filter in pandas")
    print(f"  query speed-up: x{medians['decode all files, filter in pandas'] / medians['catalog.query(1 of 50).to_pandas()']:.1f} "
          f"(target >= 5)")
    # an instrument that trades on 3 of the days: the other 17 files are not opened
    rare = params(["RARE"], days)
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0, orx.SymbolMap({999: "RARE"}))
    rec = make_day(days[5], np.random.default_rng(1))[:3]
    rec["instrument_id"] = 999
    cat.write(rec, meta)
    print(f"  a request for an instrument on 1 day reads {len(cat.query(rare).paths)} file(s)")


def bench_dask(cat, days):
    from dask.distributed import Client, LocalCluster

    p = params([f"SYM{i:02d}" for i in range(1, 11)], days)
    largest = max(f.size for f in cat.files(orx.Dataset.FUTURES, orx.Schema.MBP1))
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                      dashboard_address=None, worker_dashboard_address=None) as lc, \
            Client(lc) as client:
        client.run(lambda: __import__("orx.dask"))
        before = client.run(rss_peak_mb)  # a worker with orx, pandas and dask loaded
        single = cat.query(p).to_pandas().set_index("ts_event")
        pd.testing.assert_frame_equal(client.compute(cat.to_dask(p)).result(), single,
                                      check_exact=True)
        medians = interleaved({
            "single-process query": lambda: cat.query(p).to_pandas().set_index("ts_event"),
            "to_dask().compute(), 2 workers": lambda: client.compute(cat.to_dask(p)).result(),
            "to_dask().compute(), in process": lambda: cat.to_dask(p).compute(scheduler="sync"),
        }, repeats=REPEATS)
        after = client.run(rss_peak_mb)
    report(f"10 instruments of {SYMBOLS} over {DAYS} days ({len(single):,} rows): "
           f"LocalCluster of 2 processes", medians, "single-process query")
    for w in after:
        print(f"  worker peak RSS {after[w]:7.1f} MB, {after[w] - before[w]:6.1f} MB above the "
              f"idle worker; largest day file {largest / 2**20:.1f} MB")


def bench_threads(cat):
    files = [str(f.path) for f in cat.files(orx.Dataset.FUTURES, orx.Schema.MBP1)][:4]

    def read(path):
        return len(orx.open(path).to_pandas())

    pool = ThreadPoolExecutor(4)
    medians = interleaved({
        "4 files, one thread": lambda: [read(f) for f in files],
        "4 files, 4 threads": lambda: list(pool.map(read, files)),
    }, repeats=REPEATS)
    pool.shutdown()
    report("orx.open(path).to_pandas() of 4 day files", medians, "4 files, one thread")
    print(f"  speed-up on {os.cpu_count()} cores: "
          f"x{medians['4 files, one thread'] / medians['4 files, 4 threads']:.2f}")


def main():
    print(f"load average before: {os.getloadavg()}")
    root = tempfile.mkdtemp(prefix="orx-catalog-bench-")
    try:
        raw, days = build(root, None)
        bench_query(raw, days)
        cat, days = build(root, "zstd")
        bench_query(cat, days)
        bench_threads(cat)
        try:
            import distributed  # noqa: F401
        except ImportError:
            print("dask.distributed is not installed: pip install 'orx-marketdata[dask]' distributed")
        else:
            bench_dask(cat, days)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"load average after: {os.getloadavg()}; peak RSS {rss_peak_mb():.0f} MB")


if __name__ == "__main__":
    main()
