"""A catalog of 20 generated trading days of MBP-1 records for 50 instruments.

0. Against the peers (a hive-partitioned Parquet copy of the same records, day=/symbol=,
   written by pyarrow with zstd level 3, read by polars and duckdb): 1 symbol 1 day, 1 symbol
   20 days, all symbols 1 day, to pandas, Arrow and numpy; the size of the day files against
   the Parquet copy; writing a day against pyarrow writing it as Parquet; a query of 1M+ rows
   on 2 threads against 1. Its own data: PEER_SYMBOLS symbols x 20 days x [records a symbol a
   day] (third argument, 50,000 by default).

1. `query` of one instrument over the 20 days against the baseline every user can write:
   decode every day file to pandas and keep the instrument's rows.
   Once on a catalog of raw day files, once on zstd-compressed ones.
2. `to_dask(...).compute()` on a LocalCluster of 2 worker processes against the single-process
   query of the same request, with the peak RSS of each worker and the largest partition.
3. Reading 4 day files on 4 threads against reading them one after the other on one thread.

Arguments: [repeats] [records per day] [records a symbol a day for the peers].
"""

import datetime
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
PEER_PER_SYMBOL = int(sys.argv[3]) if len(sys.argv) > 3 else 50_000
DAYS, SYMBOLS = 20, 50
PEER_SYMBOLS = 10
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


def build(root, compression, day_format=None):
    rng = np.random.default_rng(7)
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0,
                        orx.SymbolMap({i: f"SYM{i:02d}" for i in range(1, SYMBOLS + 1)}))
    cat = orx.Catalog(os.path.join(root, f"{compression}-{day_format}"), compression=compression,
                      day_format=day_format)
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


# --- against the peers -----------------------------------------------------------------------


def market_day(start, rng, per_symbol):
    """A day of the session (13:30-20:00 UTC) for PEER_SYMBOLS instruments: per instrument a
    random walk of prices in ticks of 0.25, sizes and counts of a few lots, sequence numbers
    counting up, ts_recv a few microseconds after ts_event; the instruments interleaved in
    time."""
    n = per_symbol * PEER_SYMBOLS
    a = np.zeros(n, dtype=_dtype(1))
    a["length"], a["rtype"] = 24, 1
    ids = np.repeat(np.arange(1, PEER_SYMBOLS + 1, dtype=np.uint32), per_symbol)
    a["instrument_id"] = ids
    t0 = start + 13 * 3600 * 10**9 + 1800 * 10**9
    span = 6 * 3600 * 10**9 + 1800 * 10**9
    t = np.concatenate([np.sort(rng.integers(t0, t0 + span, per_symbol))
                        for _ in range(PEER_SYMBOLS)]).astype(np.uint64)
    a["ts_event"] = t
    a["ts_recv"] = t + rng.integers(2_000, 40_000, n).astype(np.uint64)
    a["ts_in_delta"] = rng.integers(1_000, 20_000, n)
    steps = rng.choice([-1, 0, 0, 0, 1], n).reshape(PEER_SYMBOLS, per_symbol)
    base = (4_000 + 100 * np.arange(PEER_SYMBOLS))[:, None] * 10**9
    px = (base + np.cumsum(steps, axis=1) * 250_000_000).ravel()
    a["price"] = px
    a["size"] = rng.integers(1, 20, n)
    a["action"] = rng.choice(np.array([b"A", b"C", b"M", b"T"]), n)
    a["side"] = rng.choice(np.array([b"A", b"B"]), n)
    a["flags"] = 128
    a["sequence"] = np.arange(n, dtype=np.uint32) + 1_000_000
    a["bid_px"], a["ask_px"] = px - 250_000_000 * rng.integers(0, 2, n), px + 250_000_000
    a["bid_sz"], a["ask_sz"] = rng.integers(1, 200, n), rng.integers(1, 200, n)
    a["bid_ct"], a["ask_ct"] = rng.integers(1, 30, n), rng.integers(1, 30, n)
    return a[np.argsort(t, kind="stable")]


def peer_params(symbols, first, last):
    p = orx.RetrieveParams([], "2025-01-01", "2025-01-02", orx.Schema.MBP1, orx.Dataset.FUTURES,
                           orx.Stype.RAW)
    p.symbols, p.start_ts, p.end_ts = symbols, first, last + NS_DAY
    return p


def bench_peers(root):
    import duckdb
    import polars as pl
    import pyarrow as pa
    import pyarrow.parquet as pq

    from orx.catalog import _execute

    rng = np.random.default_rng(11)
    tickers = {i: f"SYM{i:02d}" for i in range(1, PEER_SYMBOLS + 1)}
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0, orx.SymbolMap(tickers))
    cat = orx.Catalog(os.path.join(root, "peers"))
    pq_root = os.path.join(root, "peers-parquet")
    days = trading_days()
    day_text = {d: str(np.datetime64(d, "ns").astype("datetime64[D]")) for d in days}
    writes = {}
    for d in days:
        recs = market_day(d, rng, PEER_PER_SYMBOL)
        cat.write(recs, meta)
        table = pa.table(orx.open(meta_for(meta, d).encode() + recs.tobytes()))
        table = table.append_column("day", pa.array([day_text[d]] * len(table)))
        pq.write_to_dataset(table, pq_root, partition_cols=["day", "symbol"],
                            compression="zstd", compression_level=3)
        writes.setdefault("day", (recs, table))
    glob = os.path.join(pq_root, "**", "*.parquet")
    scan = pl.scan_parquet(glob, hive_partitioning=True)
    total = len(days) * PEER_PER_SYMBOL * PEER_SYMBOLS
    orx_size = sum(f.size for f in cat.files(orx.Dataset.FUTURES, orx.Schema.MBP1))
    pq_size = sum(os.path.getsize(os.path.join(dp, f)) for dp, _, fs in os.walk(pq_root)
                  for f in fs)
    print(f"peers: {PEER_SYMBOLS} symbols x {len(days)} days x {PEER_PER_SYMBOL:,} records "
          f"({total:,} MBP-1 records)")
    print(f"  size: orx day files {orx_size / 2**20:.1f} MB, Parquet copy (zstd-3) "
          f"{pq_size / 2**20:.1f} MB: x{orx_size / pq_size:.2f} of Parquet (target <= 1.0)")

    requests = {"1 symbol 1 day": (["SYM03"], days[7], days[7]),
                "1 symbol 20 days": (["SYM03"], days[0], days[-1]),
                "all symbols 1 day": (list(tickers.values()), days[7], days[7])}
    for title, (symbols, first, last) in requests.items():
        p = peer_params(symbols, first, last)
        lo, hi = day_text[first], day_text[last]
        dlo, dhi = (datetime.date.fromisoformat(x) for x in (lo, hi))
        cond = (pl.col("symbol").is_in(symbols)) & (pl.col("day") >= dlo) & (pl.col("day") <= dhi)
        sym_list = ", ".join(f"'{s}'" for s in symbols)
        sql = (f"select * from read_parquet('{glob}', hive_partitioning=true) where symbol in "
               f"({sym_list}) and day between DATE '{lo}' and DATE '{hi}'")
        con = duckdb.connect()
        n = len(cat.query(p))
        assert n == scan.filter(cond).collect().height == con.sql(sql).fetch_arrow_table().num_rows
        medians = interleaved({
            "polars collect()": lambda: scan.filter(cond).collect(),
            "polars collect().to_pandas()": lambda: scan.filter(cond).collect().to_pandas(),
            "duckdb fetch_arrow_table()": lambda: con.sql(sql).fetch_arrow_table(),
            "orx to_pandas()": lambda: cat.query(p).to_pandas(),
            "orx pa.table(result)": lambda: pa.table(cat.query(p)),
            "orx to_numpy()": lambda: cat.query(p).to_numpy(),
        }, repeats=REPEATS)
        report(f"{title} ({n:,} rows)", medians, "polars collect()", n, "rows")
        pol, pol_pd = medians["polars collect()"], medians["polars collect().to_pandas()"]
        fastest_peer = min(pol, pol_pd, medians["duckdb fetch_arrow_table()"])
        print(f"  to pandas: x{medians['orx to_pandas()'] / pol_pd:.2f} of polars to_pandas "
              f"(target <= 1.0); Arrow: x{medians['orx pa.table(result)'] / pol:.2f} of polars "
              f"collect (target <= 1.0); numpy: x{medians['orx to_numpy()'] / fastest_peer:.2f} "
              f"of the fastest peer (target < 1.0)")

    recs, table = writes["day"]
    counter = iter(range(10**6))

    def orx_write():
        c = orx.Catalog(os.path.join(root, f"w{next(counter)}"))
        c.write(recs, meta)

    def parquet_write():
        pq.write_to_dataset(table, os.path.join(root, f"p{next(counter)}"),
                            partition_cols=["day", "symbol"], compression="zstd",
                            compression_level=3)

    medians = interleaved({"pyarrow write_to_dataset (zstd-3)": parquet_write,
                           "orx catalog.write": orx_write}, repeats=REPEATS)
    report(f"writing a day ({len(recs):,} records)", medians, "pyarrow write_to_dataset (zstd-3)",
           len(recs), "records")

    big = peer_params(list(tickers.values()), days[0], days[max(0, min(len(days) - 1,
                      (1_000_000 // (PEER_PER_SYMBOL * PEER_SYMBOLS))))])

    def on(threads):
        def run():
            _execute.set_threads(threads)
            try:
                return cat.query(big).to_numpy()
            finally:
                _execute.set_threads(None)
        return run

    n = len(cat.query(big))
    medians = interleaved({"1 thread": on(1), "2 threads": on(2)}, repeats=REPEATS)
    report(f"a query of {n:,} rows to numpy, executor threads", medians, "1 thread", n, "rows")
    print(f"  2 threads: x{medians['1 thread'] / medians['2 threads']:.2f} the speed of 1 "
          f"(target >= 1.6); load {os.getloadavg()}")


def meta_for(meta, day):
    return orx.Metadata(meta.schema, meta.dataset, day, day + NS_DAY, meta.mappings)


def main():
    print(f"load average before: {os.getloadavg()}")
    root = tempfile.mkdtemp(prefix="orx-catalog-bench-")
    try:
        bench_peers(root)
        print(f"peak RSS {rss_peak_mb():.0f} MB")
        raw, days = build(root, None, 1)
        bench_query(raw, days)
        cat, days = build(root, "zstd", 1)
        bench_query(cat, days)
        cat, days = build(root, "zstd", 2)
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
