"""Files of any size: a stream file made with orx.Writer and read batch by batch into DataFrames
(throughput against decode_to_df of an in-memory store of the same records, peak RSS of the
reading process), zstd (reading against the raw file from the page cache, writing speed at the
default level, compression ratio of a generated trading day), DataFrame -> stream against the
path through one record object per row, Parquet conversion (peak RSS), and the k-way merge of
orx merge against numpy's best merge of sorted runs.

    bench_files.py [repeats] [--size-mb N] [--merge-only]    (a large run: --size-mb 5000)
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import interleaved, report

import orx
from orx import BufferStore, Dataset, Metadata, Schema, SymbolMap, _ext

# The demo's instruments: instrument id -> (ticker, first price, tick size, share of updates).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from demo import INSTRUMENTS  # noqa: E402
SESSION = (1_796_653_800_000_000_000, 1_796_677_200_000_000_000)  # 14:30 to 21:00 UTC
METADATA = Metadata(Schema.MBP1, Dataset.FUTURES, *SESSION,
                    SymbolMap({i: v[0] for i, v in INSTRUMENTS.items()}))


def day(n, seed=1):
    """n MBP-1 book updates of a session: a random walk per instrument, one-tick spreads, as a
    numpy structured array of the record layout."""
    rng = np.random.default_rng(seed)
    ids = np.array(list(INSTRUMENTS), np.uint32)
    share = np.array([v[3] for v in INSTRUMENTS.values()])
    which = rng.choice(len(ids), n, p=share / share.sum())
    ts = np.sort(rng.integers(*SESSION, n, dtype=np.uint64))
    tick = np.array([round(v[2] * 1e9) for v in INSTRUMENTS.values()], np.int64)
    first = np.array([round(v[1] / v[2]) for v in INSTRUMENTS.values()], np.int64) * tick
    steps = rng.choice(np.array([-1, 0, 0, 1], np.int64), n) * tick[which]
    mid = np.empty(n, np.int64)
    for k in range(len(ids)):  # a walk per instrument
        rows = which == k
        mid[rows] = first[k] + np.cumsum(steps[rows])
    side = rng.choice(np.frombuffer(b"BA", np.uint8), n)
    rec = np.zeros(n, orx.open(bytes(METADATA)).to_numpy().dtype)
    rec["length"], rec["rtype"] = 24, 1
    rec["instrument_id"], rec["ts_event"] = ids[which], ts
    rec["bid_px"], rec["ask_px"] = mid - tick[which], mid
    rec["price"] = np.where(side == ord("B"), mid - tick[which], mid)
    rec["size"] = rng.integers(1, 26, n)
    rec["action"] = rng.choice(np.frombuffer(b"AAMCT", "S1"), n)
    rec["side"] = side.view("S1")
    rec["ts_recv"] = ts + rng.integers(200, 40_000, n, dtype=np.uint64)
    rec["ts_in_delta"] = -rng.integers(100, 5_000, n)
    rec["sequence"] = np.arange(n) // len(ids)
    for f in ("bid_sz", "ask_sz"):
        rec[f] = rng.integers(1, 401, n)
    for f in ("bid_ct", "ask_ct"):
        rec[f] = rng.integers(1, 41, n)
    return rec


def make_file(path, megabytes, compression=None):
    """A stream file of about `megabytes` MB written piece by piece with orx.Writer."""
    per = 1_000_000
    total = max(1, megabytes * 1_000_000 // 96)
    with orx.Writer(path, METADATA, compression) as w:
        for start in range(0, total, per):
            w.write(day(min(per, total - start), seed=start))
    return total


def read_in_batches(path):
    rows = 0
    for batch in orx.open(path).batches():
        rows += len(batch.to_pandas())
    return rows


def child_read(path):
    """Reads `path` batch by batch in this process; prints seconds and peak RSS in bytes.

    pandas is imported before the clock starts, as it is in the process of the baseline: its
    import (half a second) is no part of reading."""
    import pandas  # noqa: F401

    t0 = time.perf_counter()
    read_in_batches(path)
    seconds = time.perf_counter() - t0
    print(seconds, peak_rss())


def peak_rss():
    """This process's peak resident set in bytes (VmHWM: unlike ru_maxrss, it starts afresh
    at exec, so the parent's memory does not count)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child_convert(src, dst):
    """Converts in this process with the command line's own code; prints seconds and peak
    RSS."""
    from orx._cli import main as cli

    t0 = time.perf_counter()
    assert cli(["convert", src, dst, "-q"]) == 0
    print(time.perf_counter() - t0, peak_rss())


def convert_in_child(src, dst):
    out = subprocess.run([sys.executable, __file__, "--child-convert", src, dst], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0]), int(out[1])


def read_in_child(path):
    out = subprocess.run([sys.executable, __file__, "--child-read", path], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0]), int(out[1])


def per_row_objects(df):
    """The path through one record object per row: what writing a frame cost before."""
    records = []
    for r in df.itertuples(index=False):
        level = orx.BidAskPair(r.bid_px, r.ask_px, r.bid_sz, r.ask_sz, r.bid_ct, r.ask_ct)
        records.append(orx.Mbp1Msg(r.instrument_id, r.ts_event, r.rollover_flag, r.price, r.size,
                                   orx.Action.from_str(r.action), orx.Side.from_str(r.side),
                                   r.flags, r.depth, r.ts_recv, r.ts_in_delta,
                                   r.sequence, r.discriminator, [level]))
    return bytes(METADATA) + _ext.record_bytes(records)


def numpy_merge(runs):
    """The merge of sorted runs (records as rows of bytes, with their ts_event) that numpy
    does best: pairwise, each pair placed by searchsorted on the other side's sorted times
    (a's records before b's on ties, as orx merge orders them), log2(k) rounds."""
    while len(runs) > 1:
        paired = []
        for i in range(0, len(runs) - 1, 2):
            (ra, ta), (rb, tb) = runs[i], runs[i + 1]
            at_a = np.arange(len(ta)) + np.searchsorted(tb, ta, side="left")
            at_b = np.arange(len(tb)) + np.searchsorted(ta, tb, side="right")
            rows = np.empty(len(ra) + len(rb), ra.dtype)
            ts = np.empty(len(rows), np.uint64)
            rows[at_a], rows[at_b] = ra, rb
            ts[at_a], ts[at_b] = ta, tb
            paired.append((rows, ts))
        if len(runs) % 2:
            paired.append(runs[-1])
        runs = paired
    return runs[0][0]


def orx_merge(inputs, batch):
    """orx merge's path: each input's batches of record bytes merged by _ext.RecordMerger
    into pieces of output (numpy's merge gives its rows as one array)."""
    from orx import _merge

    out = []
    feeds = [iter(pieces) for pieces in inputs]
    _merge.merge(feeds, [""] * len(inputs), lambda data, count: out.append(data))
    return out


def bench_merge(repeats):
    """The k-way merge of sorted inputs against the numpy merge above, the inputs in memory."""
    for k, per in ((2, 1_000_000), (8, 250_000)):
        recs = [day(per, seed=i + 10) for i in range(k)]
        rows = [np.frombuffer(r.tobytes(), np.dtype((np.void, r.dtype.itemsize))) for r in recs]
        runs = [(rw, r["ts_event"].copy()) for rw, r in zip(rows, recs)]
        # Batches of 65,536 records, as a reader hands them out.
        batch = 65_536 * recs[0].dtype.itemsize
        inputs = [[d[i:i + batch] for i in range(0, len(d), batch)] for d in
                  (r.tobytes() for r in recs)]
        assert b"".join(orx_merge(inputs, batch)) == numpy_merge(runs).tobytes()
        medians = interleaved({
            "numpy searchsorted merge": lambda: numpy_merge(runs),
            "orx RecordMerger": lambda: orx_merge(inputs, batch),
        }, repeats)
        n = k * per
        report(f"merging {k} sorted inputs of {per:,} MBP-1 records (load "
               f"{os.getloadavg()[0]:.2f}; peak RSS {peak_rss() / 1e6:,.0f} MB)", medians,
               "numpy searchsorted merge", n, "records")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("repeats", nargs="?", type=int, default=5)
    ap.add_argument("--size-mb", type=int, default=400)
    ap.add_argument("--child-read")
    ap.add_argument("--child-convert", nargs=2)
    ap.add_argument("--merge-only", action="store_true")
    args = ap.parse_args()
    if args.child_read:
        return child_read(args.child_read)
    if args.child_convert:
        return child_convert(*args.child_convert)
    if args.merge_only:
        return bench_merge(args.repeats)

    with tempfile.TemporaryDirectory(dir=os.environ.get("ORX_BENCH_DIR")) as tmp:
        raw, zst = os.path.join(tmp, "day.orx"), os.path.join(tmp, "day.orx.zst")
        t0 = time.perf_counter()
        n = make_file(raw, args.size_mb)
        made = time.perf_counter() - t0
        size = os.path.getsize(raw)
        print(f"{n:,} MBP-1 records, {size / 1e6:,.0f} MB written with orx.Writer in "
              f"{made:.1f} s ({size / made / 1e6:,.0f} MB/s)")

        # Reading the file batch by batch against decode_to_df of an in-memory store.
        sample = bytes(METADATA) + day(1_000_000).tobytes()
        store_rate = []
        file_rate = []
        rss = []
        rounds = max(1, min(args.repeats, 3 if args.size_mb > 1000 else args.repeats))
        for _ in range(rounds):
            t = time.perf_counter()
            BufferStore(sample).decode_to_df(False, False)
            store_rate.append(1_000_000 / (time.perf_counter() - t))
            seconds, peak = read_in_child(raw)
            file_rate.append(n / seconds)
            rss.append(peak)
        med = lambda v: sorted(v)[len(v) // 2]  # noqa: E731
        print(f"reading the file in batches of 65536 into DataFrames: "
              f"{med(file_rate):,.0f} records/s, x{med(file_rate) / med(store_rate):.2f} of "
              f"decode_to_df in memory ({med(store_rate):,.0f} records/s; target >= 0.9); "
              f"peak RSS of the reading process {max(rss) / 1e6:,.0f} MB (target < 300)")

        # zstd: writing at the default level, the ratio, reading against the raw file.
        default = _ext.zstd_levels()[2]
        z, z3 = _ext.ZstdWriter(default), _ext.ZstdWriter(3)
        chunk = day(1_000_000).tobytes()
        medians = interleaved({
            "copy 96 MB (bytes())": lambda: bytes(bytearray(chunk)),
            f"zstd level {default} (default), 96 MB": lambda: z.compress(chunk) + z.finish(),
            "zstd level 3, 96 MB": lambda: z3.compress(chunk) + z3.finish(),
        }, args.repeats)
        report(f"zstd compression of a generated day (load average {os.getloadavg()[0]:.1f})",
               medians, "copy 96 MB (bytes())", len(chunk) / 1e6, "MB")
        for level, w in ((default, z), (3, z3)):
            ratio = len(chunk) / len(w.compress(chunk) + w.finish())
            print(f"  level {level}: compression ratio {ratio:.2f}")
        t0 = time.perf_counter()
        orx.write(zst, orx.open(raw), compression="zstd")
        print(f"  orx.write(zstd) of the whole file: {size / (time.perf_counter() - t0) / 1e6:,.0f}"
              f" MB/s; compression ratio {size / os.path.getsize(zst):.2f} "
              f"({os.path.getsize(zst) / 1e6:,.0f} MB)")
        zr, rr, zrss = [], [], []
        for _ in range(rounds):
            seconds, _ = read_in_child(raw)
            rr.append(n / seconds)
            seconds, peak = read_in_child(zst)
            zr.append(n / seconds)
            zrss.append(peak)
        print(f"  reading the zstd file in batches into DataFrames: {med(zr):,.0f} records/s, "
              f"x{med(zr) / med(rr):.2f} of the raw file from the page cache (target >= 0.8); "
              f"peak RSS {max(zrss) / 1e6:,.0f} MB")
        zc, rc = [], []
        for _ in range(rounds):
            t = time.perf_counter()
            for b in orx.open(raw).batches():
                pass
            rc.append(time.perf_counter() - t)
            t = time.perf_counter()
            for b in orx.open(zst).batches():
                pass
            zc.append(time.perf_counter() - t)
        print(f"  decompress + decode into batches alone: x{med(rc) / med(zc):.2f} of the raw "
              "file's throughput")

        # Parquet both ways, in a process of its own each.
        pq, back = os.path.join(tmp, "day.parquet"), os.path.join(tmp, "back.orx")
        to_s, to_rss = convert_in_child(zst, pq)
        from_s, from_rss = convert_in_child(pq, back)
        with open(raw, "rb") as a, open(back, "rb") as b:
            same = a.read(1 << 20) == b.read(1 << 20) and os.path.getsize(raw) == \
                os.path.getsize(back)
        print(f"Parquet: zstd stream -> Parquet {n / to_s:,.0f} records/s, peak RSS "
              f"{to_rss / 1e6:,.0f} MB; Parquet -> stream {n / from_s:,.0f} records/s, peak RSS "
              f"{from_rss / 1e6:,.0f} MB ({size / 1e6:,.0f} MB of records; Parquet file "
              f"{os.path.getsize(pq) / 1e6:,.0f} MB; round trip "
              f"{'identical' if same else 'DIFFERS'})")

    # DataFrame -> stream against one record object per row.
    rows = 200_000
    df = BufferStore(bytes(METADATA) + day(rows).tobytes()).decode_to_df(False, False)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "f.orx")
        want = per_row_objects(df)
        orx.write(out, df, METADATA)
        with open(out, "rb") as f:
            assert f.read() == want
        medians = interleaved({
            "one record object per row": lambda: per_row_objects(df),
            "orx.write(path, DataFrame)": lambda: orx.write(out, df, METADATA),
        }, args.repeats)
        report(f"DataFrame of {rows:,} MBP-1 rows -> stream (target: 10x faster)", medians,
               "one record object per row", rows, "rows")

    bench_merge(args.repeats)


if __name__ == "__main__":
    main()
