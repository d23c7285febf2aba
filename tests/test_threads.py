"""Reading on several threads: the byte work runs without the interpreter lock, so threads that
read different files at once must get exactly what one thread gets, and threads that share
one reader must get a clear error or whole, distinct batches, never a crash."""

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import orx
from orx import BufferStore
from orx._reader import _dtype

# Enough records per file that every released section (reads, batches, frames, Arrow) is
# taken, with a partial last batch.
RECORDS = 20_000
THREADS = 4
SYMBOLS = orx.SymbolMap({i: f"SYM{i}" for i in range(1, 6)})


def records(seed):
    rng = np.random.default_rng(seed)
    a = np.zeros(RECORDS, dtype=_dtype(1))
    a["length"], a["rtype"] = 24, 1
    a["instrument_id"] = rng.integers(1, 7, RECORDS)  # id 6 has no symbol: rows fall back
    a["ts_event"] = np.sort(rng.integers(10**18, 10**18 + 10**13, RECORDS)).astype(np.uint64)
    a["ts_recv"] = a["ts_event"] + 7
    a["price"] = rng.integers(-10**12, 10**12, RECORDS)
    a["size"] = rng.integers(0, 2**32, RECORDS, dtype=np.uint64).astype(np.uint32)
    a["action"], a["side"] = b"A", b"B"
    a["sequence"] = np.arange(RECORDS) + seed * RECORDS
    return a


@pytest.fixture(scope="module", params=[None, "zstd"])
def files(request, tmp_path_factory):
    root = tmp_path_factory.mktemp(f"threads-{request.param}")
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0, SYMBOLS)
    paths = []
    for seed in range(THREADS):
        path = root / f"day{seed}.orx"
        orx.write(path, records(seed), meta, request.param, price_type="fixed")
        paths.append(str(path))
    return paths


def batches_bytes(source):
    return [bytes(b) for b in orx.open(source, batch_size=3000).batches()]


def arrow_table(source):
    pa = pytest.importorskip("pyarrow")
    return pa.table(orx.open(source, batch_size=3000, price_type="float"))


def store_frame(path):
    with open(path, "rb") as f:
        if f.read(4) == b"\x28\xb5\x2f\xfd":
            pytest.skip("BufferStore reads raw streams")
    return BufferStore.from_file(path).decode_to_df(True, True)


def in_memory_frame(path):
    with open(path, "rb") as f:
        return orx.open(f.read()).to_pandas(True, False)


READS = {
    "to_pandas": lambda p: orx.open(p).to_pandas(),
    "to_pandas pretty": lambda p: orx.open(p).to_pandas(True, True),
    "batches": batches_bytes,
    "batch frames": lambda p: [b.to_pandas() for b in orx.open(p, batch_size=5000).batches()],
    "to_numpy": lambda p: orx.open(p).to_numpy(),
    "records": lambda p: [r.__dict__() for r in orx.open(p)],
    "arrow": arrow_table,
    "bytes source": in_memory_frame,
    "BufferStore.decode_to_df": store_frame,
}


def same(a, b):
    if isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b, check_exact=True)
    elif isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.tobytes() == b.tobytes()
    elif isinstance(a, list) and a and isinstance(a[0], pd.DataFrame):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same(x, y)
    elif hasattr(a, "equals"):
        assert a.equals(b)
    else:
        assert a == b


@pytest.mark.parametrize("read", READS.values(), ids=list(READS))
def test_files_read_on_threads_equal_one_thread(files, read):
    one_thread = [read(p) for p in files]
    start = threading.Barrier(THREADS)

    def on_thread(path):
        start.wait()
        return read(path)

    for _ in range(2):
        with ThreadPoolExecutor(THREADS) as pool:
            threaded = list(pool.map(on_thread, files))
        for a, b in zip(one_thread, threaded):
            same(a, b)


@pytest.mark.parametrize("use", ["batches", "offset", "close"])
def test_one_reader_on_two_threads_gives_distinct_batches_or_a_clear_error(files, use):
    reader = orx.open(files[0], batch_size=1500)
    got, errors = [], []
    start = threading.Barrier(2)

    def take():
        start.wait()
        while True:
            try:
                batch = reader._next_batch(1500)
            except RuntimeError as e:
                errors.append(str(e))
                continue
            except ValueError as e:  # closed by the other thread
                errors.append(str(e))
                return
            if batch is None:
                return
            got.append(batch.to_numpy()["sequence"].copy())

    def meddle():
        start.wait()
        for _ in range(2000):
            try:
                if use == "offset":
                    assert reader.offset >= 0
                elif use == "close":
                    reader.close()
                    if reader.closed:
                        return
            except RuntimeError as e:
                errors.append(str(e))

    other = take if use == "batches" else meddle
    threads = [threading.Thread(target=take), threading.Thread(target=other)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(errors) <= {"the reader is already reading", "I/O operation on a closed reader"}
    sequences = np.sort(np.concatenate(got)) if got else np.array([], np.uint32)
    if use == "close":  # whatever was read before the close, each record once, in order
        assert np.array_equal(sequences, np.arange(len(sequences)))
    else:
        assert np.array_equal(sequences, np.arange(RECORDS))
