"""orx.open on MBP-1 streams: Arrow export to a pyarrow.Table against decode_to_df of the same
records (target: at most half its time), the numpy view at 1e5 and 1e7 records (constant time,
no allocation per record), reading a stream batch by batch into DataFrames against one
decode_to_df, with peak memory for both, and a 1 GB stream file (ORX_BENCH_BIG_BYTES) read batch
by batch at the default size into DataFrames against decode_to_df of the same records in memory,
with the peak RSS of the batch reading."""

import os
import statistics
import sys
import tempfile
import time
import tracemalloc

import numpy as np

from common import interleaved, report

import orx
from orx import BufferStore

N = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 5

# A day of book updates for five instruments, made column by column with numpy.
LAYOUT = np.dtype({
    "names": ["length", "rtype", "instrument_id", "ts_event", "price", "size", "action", "side",
              "ts_recv", "ts_in_delta", "sequence", "bid_px", "ask_px", "bid_sz", "ask_sz"],
    "formats": ["u1", "u1", "<u4", "<u8", "<i8", "<u4", "i1", "i1", "<u8", "<i4", "<u4", "<i8",
                "<i8", "<u4", "<u4"],
    "offsets": [0, 1, 4, 8, 24, 32, 36, 37, 40, 48, 52, 64, 72, 80, 84],
    "itemsize": 96,
})


def make_stream(n):
    rng = np.random.default_rng(7)
    rec = np.zeros(n, LAYOUT)
    rec["length"], rec["rtype"] = 24, 1
    rec["instrument_id"] = 1 + np.arange(n) % 5
    rec["ts_event"] = 1_704_187_800_000_000_000 + np.arange(n, dtype=np.uint64) * 1_000_000
    rec["ts_recv"] = rec["ts_event"] + 500
    price = 4_500_000_000_000 + np.cumsum(rng.choice([-250_000_000, 0, 250_000_000], n))
    rec["price"], rec["bid_px"], rec["ask_px"] = price, price - 250_000_000, price + 250_000_000
    rec["size"] = rng.integers(1, 50, n)
    rec["action"] = rng.choice(np.frombuffer(b"AMCT", np.int8), n)
    rec["side"] = rng.choice(np.frombuffer(b"AB", np.int8), n)
    rec["ts_in_delta"], rec["sequence"] = -500, np.arange(n)
    meta = orx.PyMetadataEncoder()
    meta.encode_metadata(orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0,
                                      orx.SymbolMap({i: f"ES{i}" for i in range(1, 6)})))
    return meta.get_encoded_data() + rec.tobytes()


def peak(fn):
    tracemalloc.start()
    fn()
    _, top = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return top


def main():
    import pyarrow as pa

    data = make_stream(N)
    cases = {
        "decode_to_df(False, False)": lambda: BufferStore(data).decode_to_df(False, False),
        "pyarrow.table(orx.open(...))": lambda: pa.table(orx.open(data)),
        "pyarrow.table, float prices": lambda: pa.table(orx.open(data, price_type="float")),
        "batches of 65536 to_pandas": lambda: [b.to_pandas() for b in orx.open(data).batches()],
        "the same, frames dropped": lambda: [None for b in orx.open(data).batches()
                                             if b.to_pandas() is None],
    }
    report(f"{N:,} MBP-1 records, {REPEATS} rounds", interleaved(cases, REPEATS),
           "decode_to_df(False, False)", N, "records")
    print(f"  peak traced memory, x of the stream ({len(data) / 1e6:.0f} MB):")
    for name in ("decode_to_df(False, False)", "batches of 65536 to_pandas",
                 "the same, frames dropped"):
        print(f"    {name:32} x{peak(cases[name]) / len(data):5.2f}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "day.bin")
        with open(path, "wb") as f:
            f.write(data)
        top = peak(lambda: [None for b in orx.open(path).batches() if b.to_pandas() is None])
        print(f"  peak traced memory reading the file in batches of 65536, frames dropped: "
              f"{top / 1e6:.1f} MB (x{top / len(data):.3f} of the file)")

    # The numpy view: a batch of 1e5 and of 1e7 records, viewed again and again.
    small, big = (next(orx.open(make_stream(n)).batches(n)) for n in (100_000, 10_000_000))
    views = {"to_numpy, 1e5 records": small.to_numpy, "to_numpy, 1e7 records": big.to_numpy}
    medians = interleaved({k: (lambda f=f: [f() for _ in range(1000)]) for k, f in views.items()},
                          REPEATS)
    report("1000 numpy views of one batch", medians, "to_numpy, 1e5 records")
    for name, fn in views.items():
        print(f"  peak traced memory of one {name}: {peak(fn):,} bytes")


# --- a big file, batch by batch --------------------------------------------------------------

BIG_BYTES = int(float(os.environ.get("ORX_BENCH_BIG_BYTES", 1e9)))

# The peak RSS is the process's VmHWM: ru_maxrss would carry over the RSS of the parent it was
# forked from (which holds the file's bytes), VmHWM starts again with the program.
CHILD = r"""
import sys, time
import orx, pandas
def hwm():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))
path, timed = sys.argv[1], sys.argv[2] == "1"
base = hwm()
t0 = time.perf_counter(); c0 = time.process_time()
rows = 0
for batch in orx.open(path).batches():
    rows += len(batch.to_pandas())
wall, cpu = time.perf_counter() - t0, time.process_time() - c0
print(rows, wall, cpu, hwm(), base)
"""

# The baseline in a fresh process too: decode_to_df of the file's bytes, read into memory first.
STORE_CHILD = r"""
import sys, time
import orx, pandas
with open(sys.argv[1], "rb") as f:
    store = orx.BufferStore(f.read())
t0 = time.perf_counter(); c0 = time.process_time()
rows = len(store.decode_to_df(False, False))
print(rows, time.perf_counter() - t0, time.process_time() - c0)
"""


def write_big_file(path, size):
    """An MBP-1 stream file of about `size` bytes, written a piece at a time."""
    piece = make_stream(1_000_000)
    head = len(make_stream(0))
    body = memoryview(piece)[head:]
    records = 0
    with open(path, "wb") as f:
        f.write(piece[:head])
        while records * 96 < size:
            take = min(1_000_000, (size - records * 96 + 95) // 96)
            f.write(body[:take * 96])
            records += take
    return records


def big_file_batches():
    """orx.open(path).batches() at its default size, to_pandas() each, over a ~1 GB file,
    against decode_to_df of the same records from a store in memory: rows/s, and the peak RSS
    of the batch reading (in a child process of its own)."""
    import subprocess

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.bin")
        n = write_big_file(path, BIG_BYTES)
        print(f"\n{n:,} MBP-1 records in a file of {os.path.getsize(path) / 1e9:.2f} GB, "
              f"load {os.getloadavg()[0]:.1f}")
        batch_times, store_times = [], []
        for _ in range(max(1, REPEATS // 2)):  # interleaved, each in a process of its own
            out = subprocess.run([sys.executable, "-c", CHILD, path, "1"], check=True,
                                 capture_output=True, text=True).stdout.split()
            rows, wall, cpu, top = int(out[0]), float(out[1]), float(out[2]), int(out[3])
            assert rows == n
            batch_times.append((wall, cpu, top, int(out[4])))
            out = subprocess.run([sys.executable, "-c", STORE_CHILD, path], check=True,
                                 capture_output=True, text=True).stdout.split()
            assert int(out[0]) == n
            store_times.append((float(out[1]), float(out[2])))
        for i, what in ((0, "wall"), (1, "cpu, all threads")):
            b = statistics.median(t[i] for t in batch_times)
            d = statistics.median(t[i] for t in store_times)
            print(f"  {what}: batches {n / b:,.0f} rows/s ({b / n * 1e9:.0f} ns/row), "
                  f"decode_to_df in memory {n / d:,.0f} rows/s ({d / n * 1e9:.0f} ns/row): "
                  f"x{d / b:.2f} of its rows/s")
        print(f"  peak RSS of the process reading in batches: "
              f"{statistics.median(t[2] for t in batch_times) / 1e6:.0f} MB (after importing "
              f"orx and pandas: {statistics.median(t[3] for t in batch_times) / 1e6:.0f} MB); "
              f"load {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
    big_file_batches()
