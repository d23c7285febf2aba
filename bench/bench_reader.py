"""orx.open on MBP-1 streams: Arrow export to a pyarrow.Table against decode_to_df of the same
records (target: at most half its time), the numpy view at 1e5 and 1e7 records (constant time,
no allocation per record), and reading a stream batch by batch into DataFrames against one
decode_to_df, with peak memory for both."""

import os
import sys
import tempfile
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


if __name__ == "__main__":
    main()
