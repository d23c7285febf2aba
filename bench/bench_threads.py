"""Reading 4 files on 4 threads against reading them one after the other on one thread.

Each file is read into a pandas DataFrame (orx.open(path).to_pandas()), into an Arrow table
(pyarrow.table(orx.open(path))) and as batches of bytes, for raw and zstd-compressed files of
MBP-1 records. The reads, decompression, record framing, the batch builder's column fill and
the Arrow export run without the interpreter lock, so the threads overlap there; the pandas
and pyarrow calls themselves keep it. The machine's core count bounds the speed-up.

Arguments: [repeats] [records per file].
"""

import os
import shutil
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from common import interleaved, report

import orx
from orx._reader import _dtype

REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 7
RECORDS = int(sys.argv[2]) if len(sys.argv) > 2 else 200_000
FILES = 4


def make(seed):
    rng = np.random.default_rng(seed)
    a = np.zeros(RECORDS, dtype=_dtype(1))
    a["length"], a["rtype"] = 24, 1
    a["instrument_id"] = rng.integers(1, 51, RECORDS)
    t = np.sort(rng.integers(10**18, 10**18 + 6 * 3600 * 10**9, RECORDS)).astype(np.uint64)
    a["ts_event"], a["ts_recv"] = t, t + 500
    a["price"] = 4_500_000_000_000 + rng.integers(-1000, 1000, RECORDS) * 250_000_000
    a["size"] = rng.integers(1, 50, RECORDS)
    a["action"], a["side"] = b"A", b"B"
    a["bid_px"], a["ask_px"] = a["price"] - 250_000_000, a["price"]
    a["sequence"] = np.arange(RECORDS)
    return a


def main():
    root = tempfile.mkdtemp(prefix="orx-threads-bench-")
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0,
                        orx.SymbolMap({i: f"SYM{i:02d}" for i in range(1, 51)}))
    try:
        import pyarrow as pa
    except ImportError:
        pa = None
    reads = {
        "to_pandas()": lambda p: len(orx.open(p).to_pandas()),
        "batches()": lambda p: sum(len(b) for b in orx.open(p).batches()),
    }
    if pa is not None:
        reads["pyarrow.table()"] = lambda p: pa.table(orx.open(p)).num_rows
    pool = ThreadPoolExecutor(FILES)
    try:
        for compression in (None, "zstd"):
            paths = []
            for i in range(FILES):
                path = os.path.join(root, f"day{i}-{compression}.orx")
                orx.write(path, make(i), meta, compression, price_type="fixed")
                paths.append(path)
            size = sum(os.path.getsize(p) for p in paths) / 2**20
            for name, read in reads.items():
                medians = interleaved({
                    "one thread": lambda: [read(p) for p in paths],
                    f"{FILES} threads": lambda: list(pool.map(read, paths)),
                }, repeats=REPEATS)
                report(f"{compression or 'raw'} files ({FILES} x {RECORDS:,} records, "
                       f"{size:.0f} MB): {name}", medians, "one thread",
                       FILES * RECORDS, "records")
                print(f"  speed-up on {os.cpu_count()} cores: "
                      f"x{medians['one thread'] / medians[f'{FILES} threads']:.2f}")
    finally:
        pool.shutdown()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
