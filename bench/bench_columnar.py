"""The columnar road against its floors, in one process, interleaved, medians:

- decode_to_df and orx.open(bytes).to_pandas() at 1e5, 1e6 and 1e7 MBP-1 records against the
  fair floor: the fastest numpy/pyarrow/pandas build of the identical frame (described where it
  is defined below), for each pandas text storage, (pretty_ts, pretty_px) (F, F) and (T, T);
- orx.open(bytes).to_pandas() against decode_to_df on the same bytes, and its peak memory
  against the finished frame;
- its cost per row at 1e7 against 1e5 records;
- its peak memory beyond the store (tracemalloc and RSS) against the finished frame;
- encode_records + get_encoded_data against copying each record object's bytes into bytes;
- decode_to_array against a minimal C extension, compiled here, that makes objects of the same
  layout from the same bytes.

Usage: bench_columnar.py [repeats] [sizes, comma separated]
"""

import ctypes
import gc
import os
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
from pandas.api.internals import create_dataframe_from_blocks

_argv, sys.argv = sys.argv, sys.argv[:1]  # bench_stream reads its own arguments on import
from bench_stream import DTYPE, make_values, to_records  # noqa: E402
sys.argv = _argv
from common import interleaved, report

import orx
from orx.catalog import _execute
from orx import (BufferStore, Dataset, Mbp1Msg, Metadata, PyMetadataEncoder, PyRecordEncoder,
                 Schema, SymbolMap)

REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 5
SIZES = [int(float(x)) for x in (sys.argv[2] if len(sys.argv) > 2 else "1e5,1e6,1e7").split(",")]

NAMES = ["length", "rtype", "instrument_id", "ts_event", "rollover_flag", "price", "size", "action",
         "side", "flags", "depth", "ts_recv", "ts_in_delta", "sequence", "discriminator",
         "bid_px", "ask_px", "bid_sz", "ask_sz", "bid_ct", "ask_ct"]  # the frame's order
PRICES = ("price", "bid_px", "ask_px")
LETTERS = ("action", "side")


def make_stream(n):
    """n MBP-1 records, built from the bench_stream values in pieces to bound memory."""
    meta = Metadata(Schema.MBP1, Dataset.FUTURES, 0, 0,
                    SymbolMap({i: f"ES{i}" for i in range(1, 6)}))
    menc, renc = PyMetadataEncoder(), PyRecordEncoder()
    menc.encode_metadata(meta)
    head = menc.get_encoded_data()
    piece = min(n, 200_000)
    renc.encode_records(to_records(make_values(piece)))
    body = renc.get_encoded_data()
    reps, rest = divmod(n, piece)
    return head + body * reps + body[:rest * 96], len(head), meta.mappings.map


# --- the numpy/pandas floor ---------------------------------------------------------------------
#
# The fastest build of the identical frame a careful engineer writes with numpy, pyarrow and
# pandas alone, no sort and nothing of orx's own:
# - the records are viewed in place (np.frombuffer with the record's structured dtype);
# - one (k, n) int64 block (and with pretty_px one float64 block) is filled 16k rows at a time,
#   so that each piece of records stays in cache while every column takes its values from it;
# - action and side are made straight from their bytes: for pyarrow text, the letters are the
#   data buffer of a large_string array and one offsets buffer (0, 1, 2, ...) serves both; for
#   python text, a 256-entry table of one-character str objects indexed by the byte;
# - symbol is the map's tickers laid out as a table indexed by instrument_id, and taken by it
#   (pyarrow.compute.take, or numpy take for python text);
# - with pretty_ts, the text of each second in the stream's range of seconds is made once and
#   taken by the row's second less the first one (a table indexed by offset, no sort);
# - the blocks go to pandas.api.internals.create_dataframe_from_blocks as they are.
# With `threads`, the 16k-row pieces are shared out among that many threads (numpy's copies and
# divisions release the interpreter lock): the floor of the package's frames, which fill their
# columns on the executor's threads; decode_to_df stays on one thread and is measured against
# the floor on one.

FLOOR_CHUNK = 1 << 14
FLOOR_THREADS = _execute.threads()
_floor_pool = ThreadPoolExecutor(FLOOR_THREADS)
LETTER_TABLE = np.array([chr(i) for i in range(256)], dtype=object)


def _string_array(dtype, values):
    """A pandas string column of `dtype` from a pyarrow large_string array or str objects."""
    return dtype.construct_array_type()(values, dtype=dtype)


def _letters(dtype, codes, offsets):
    if dtype.storage == "pyarrow":
        data = pa.py_buffer(codes)
        return _string_array(dtype, pa.Array.from_buffers(pa.large_string(), len(codes),
                                                          [None, offsets, data]))
    return _string_array(dtype, LETTER_TABLE.take(codes))


def _by_table(dtype, table, index):
    """Row i is table[index[i]]: a lookup of a short table of texts."""
    if dtype.storage == "pyarrow":
        return _string_array(dtype, pc.take(pa.array(table, pa.large_string()), index))
    objects = np.empty(len(table), dtype=object)
    objects[:] = table
    return _string_array(dtype, objects.take(index))


def numpy_frame(data, offset, symbols, pretty_ts, pretty_px, threads=1):
    """The frame decode_to_df makes, built with numpy, pyarrow and pandas alone."""
    arr = np.frombuffer(data, dtype=DTYPE, offset=offset)
    n = len(arr)
    text_dtype = pd.StringDtype(na_value=np.nan)
    ints = [c for c in NAMES if c not in LETTERS and not (pretty_px and c in PRICES)
            and not (pretty_ts and c == "ts_event")]
    floats = [c for c in PRICES if pretty_px]
    int_block = np.empty((len(ints), n), dtype=np.int64)
    float_block = np.empty((len(floats), n), dtype=np.float64)
    letter_codes = np.empty((2, n), dtype=np.uint8)
    seconds = np.empty(n, dtype=np.int64) if pretty_ts else None
    def fill(start):
        part = arr[start:start + FLOOR_CHUNK]
        stop = start + len(part)
        for r, c in enumerate(ints):
            int_block[r, start:stop] = part[c]
        for r, c in enumerate(floats):
            np.divide(part[c], 1e9, out=float_block[r, start:stop])
        for r, c in enumerate(LETTERS):
            letter_codes[r, start:stop] = part[c].view(np.uint8)
        if pretty_ts:
            np.floor_divide(part["ts_event"].view(np.int64), 1_000_000_000,
                            out=seconds[start:stop])

    starts = range(0, n, FLOOR_CHUNK)
    if threads > 1:
        list(_floor_pool.map(fill, starts))
    else:
        for start in starts:
            fill(start)
    columns = NAMES + ["symbol"]
    parts = [(int_block, np.array([columns.index(c) for c in ints]))]
    if floats:
        parts.append((float_block, np.array([columns.index(c) for c in floats])))
    offsets = pa.py_buffer(np.arange(n + 1, dtype=np.int64)) if text_dtype.storage == "pyarrow" \
        else None
    for r, c in enumerate(LETTERS):
        parts.append((_letters(text_dtype, letter_codes[r], offsets),
                      np.array([columns.index(c)])))
    if pretty_ts:
        first = int(seconds.min())
        span = np.arange(first, int(seconds.max()) + 1).astype("M8[s]")
        texts = np.char.replace(np.datetime_as_string(span, unit="s"), "T", " ").tolist()
        np.subtract(seconds, first, out=seconds)
        parts.append((_by_table(text_dtype, texts, seconds),
                      np.array([columns.index("ts_event")])))
    ids = np.fromiter(symbols, dtype=np.int64)
    table = [""] * (int(ids.max()) + 1)
    for i, ticker in symbols.items():
        table[i] = ticker
    parts.append((_by_table(text_dtype, table, int_block[ints.index("instrument_id")]),
                  np.array([len(NAMES)])))
    return pd.DataFrame(create_dataframe_from_blocks(parts, pd.RangeIndex(n), pd.Index(columns)))


# --- the minimal C extension for decode_to_array ------------------------------------------------

C_SOURCE = r"""
#include <Python.h>
#include <string.h>
// Objects laid out as orx lays out its records: GC header, dict slots, a borrow cell, the
// record inline. Made from the same bytes, appended to one list.
static PyObject* make_all(PyObject* self, PyObject* args) {
  PyObject *data, *tp_obj; Py_ssize_t offset, cell, body;
  if (!PyArg_ParseTuple(args, "OOnnn", &data, &tp_obj, &offset, &cell, &body)) return NULL;
  PyTypeObject* tp = (PyTypeObject*)tp_obj;
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return NULL;
  const unsigned char* p = (const unsigned char*)view.buf + offset;
  const unsigned char* end = (const unsigned char*)view.buf + view.len;
  PyObject* list = PyList_New((end - p) / body);
  Py_ssize_t i = 0;
  for (; list && p + body <= end; p += body, ++i) {
    PyObject* o = PyObject_GC_New(PyObject, tp);
    if (!o) { Py_CLEAR(list); break; }
    memset((char*)o + sizeof(PyObject), 0, cell);
    memcpy((char*)o + sizeof(PyObject) + cell, p, body);
    PyList_SET_ITEM(list, i, o);
  }
  PyBuffer_Release(&view);
  return list;
}
// The bytes of each record object (of type tp, the record `at` bytes into the object, `length`
// byte first) copied into one new bytes object.
static PyObject* join_all(PyObject* self, PyObject* args) {
  PyObject *list, *tp_obj; Py_ssize_t at;
  if (!PyArg_ParseTuple(args, "O!On", &PyList_Type, &list, &tp_obj, &at)) return NULL;
  Py_ssize_t n = PyList_GET_SIZE(list), total = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* o = PyList_GET_ITEM(list, i);
    if (Py_TYPE(o) != (PyTypeObject*)tp_obj) { PyErr_SetString(PyExc_TypeError, "type"); return NULL; }
    total += ((const unsigned char*)o)[at] * 4;
  }
  PyObject* out = PyBytes_FromStringAndSize(NULL, total);
  if (!out) return NULL;
  char* w = PyBytes_AS_STRING(out);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char* r = (const char*)PyList_GET_ITEM(list, i) + at;
    Py_ssize_t size = ((const unsigned char*)r)[0] * 4;
    memcpy(w, r, size);
    w += size;
  }
  return out;
}
static PyMethodDef methods[] = {{"make_all", make_all, METH_VARARGS, NULL},
                                {"join_all", join_all, METH_VARARGS, NULL}, {NULL}};
static struct PyModuleDef mod = {PyModuleDef_HEAD_INIT, "floor_ext", NULL, -1, methods};
PyMODINIT_FUNC PyInit_floor_ext(void) { return PyModule_Create(&mod); }
"""


def build_floor_ext():
    d = tempfile.mkdtemp()
    src, out = os.path.join(d, "floor_ext.c"), os.path.join(d, "floor_ext" + sysconfig.get_config_var("EXT_SUFFIX"))
    with open(src, "w") as f:
        f.write(C_SOURCE)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], src,
                    "-o", out], check=True)
    sys.path.insert(0, d)
    import floor_ext
    return floor_ext


def record_body_offset():
    """Where the record sits in an Mbp1Msg object: its basic size less the 96-byte layout."""
    return Mbp1Msg.__basicsize__ - 96


# --- memory -------------------------------------------------------------------------------------

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def frame_bytes(df):
    return int(df.memory_usage(deep=False, index=False).sum()) + sum(
        sys.getsizeof(s) for c in df.columns if df[c].dtype == object for s in set(df[c]))


def peak(fn):
    """(tracemalloc peak, RSS growth) of fn(), after freeing what it returns."""
    gc.collect()
    libc = ctypes.CDLL(None)
    libc.malloc_trim(0)
    r0 = rss()
    tracemalloc.start()
    out = fn()
    _, top = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    grown = rss() - r0
    return out, top, grown


def main():
    floor_ext = build_floor_ext()
    per_row = {}
    for n in SIZES:
        data, offset, symbols = make_stream(n)
        print(f"\n{n:,} MBP-1 records, {len(data):,} bytes")
        for storage in ("python", "pyarrow"):
            with pd.option_context("mode.string_storage", storage):
                for opts in ((False, False), (True, True)):
                    want = numpy_frame(data, offset, symbols, *opts)
                    for got in (BufferStore(data).decode_to_df(*opts),
                                orx.open(data).to_pandas(*opts)):
                        pd.testing.assert_frame_equal(got, want, check_exact=True)
                        assert list(got.dtypes) == list(want.dtypes)
                        del got
                    del want
                    # Each store is made untimed: BufferStore copies its bytes, which is no part
                    # of decoding. Wall time, and the CPU time of every thread of the process.
                    cases = {
                        "fair floor": lambda: numpy_frame(data, offset, symbols, *opts),
                        f"fair floor, {FLOOR_THREADS} threads":
                            lambda: numpy_frame(data, offset, symbols, *opts, FLOOR_THREADS),
                        "decode_to_df": (lambda: BufferStore(data),
                                         lambda store: store.decode_to_df(*opts)),
                        "orx.open(bytes).to_pandas": lambda: orx.open(data).to_pandas(*opts),
                    }
                    for clock, what in ((time.perf_counter, "wall"), (time.process_time, "cpu")):
                        med = interleaved(cases, REPEATS, clock=clock)
                        report(f"decode_to_df{opts}, {storage} text, {what} time, load "
                               f"{os.getloadavg()[0]:.1f}", med, "fair floor", n, "rows")
                        print(f"  orx.open(bytes).to_pandas x"
                              f"{med['orx.open(bytes).to_pandas'] / med['decode_to_df']:.2f} "
                              f"of decode_to_df, x"
                              f"{med['orx.open(bytes).to_pandas'] / med[f'fair floor, {FLOOR_THREADS} threads']:.2f}"
                              f" of the fair floor on {FLOOR_THREADS} threads")
                        per_row.setdefault((storage, opts, what), {})[n] = (
                            med["decode_to_df"] / n * 1e9)
        # tracemalloc sees numpy's and Python's allocations but not Arrow's memory pool: with
        # pyarrow text storage the RSS figure is the one that covers everything.
        for storage in ("python", "pyarrow"):
            with pd.option_context("mode.string_storage", storage):
                store = BufferStore(data)
                df, top, grown = peak(lambda: store.decode_to_df(False, False))
                size = frame_bytes(df)
                print(f"  peak of decode_to_df beyond the store, {storage} text: tracemalloc "
                      f"x{top / size:.2f}, RSS x{grown / size:.2f} of the finished frame "
                      f"({size / 1e6:,.0f} MB)")
                del df, store
                df, top, grown = peak(lambda: orx.open(data).to_pandas())
                print(f"  peak of orx.open(bytes).to_pandas, {storage} text: tracemalloc "
                      f"x{top / size:.2f}, RSS x{grown / size:.2f} of the finished frame")
                del df
        if n <= 1_000_000:
            body = record_body_offset()
            records = BufferStore(data).decode_to_array()
            assert floor_ext.join_all(records, Mbp1Msg, body) == data[offset:]
            made = floor_ext.make_all(data, Mbp1Msg, offset, body - 16, 96)
            assert [str(made[i]) for i in (0, -1)] == [str(records[i]) for i in (0, -1)]
            del made
            renc = PyRecordEncoder()
            report("encode_records + get_encoded_data", interleaved({
                "copy each record into bytes (C)":
                    lambda: floor_ext.join_all(records, Mbp1Msg, body),
                "encode + get_encoded_data": lambda: (renc.encode_records(records),
                                                      renc.get_encoded_data()),
            }, REPEATS), "copy each record into bytes (C)", n, "records")
            del records
            # The stores are made beforehand: the copy BufferStore makes of its data is not part
            # of decoding (the extension reads the caller's bytes in place).
            stores = [BufferStore(data) for _ in range(REPEATS + 1)]
            report("decode_to_array (store made beforehand)", interleaved({
                "minimal C extension":
                    lambda: floor_ext.make_all(data, Mbp1Msg, offset, body - 16, 96),
                "decode_to_array": lambda: stores.pop().decode_to_array(),
            }, REPEATS), "minimal C extension", n, "records")
            del stores
        del data
    for (storage, opts, what), by_size in per_row.items():
        if len(by_size) > 1:
            lo, hi = min(by_size), max(by_size)
            print(f"flat cost, decode_to_df{opts}, {storage} text, {what}: {by_size[hi]:.0f} "
                  f"ns/row at {hi:,} vs {by_size[lo]:.0f} at {lo:,}: "
                  f"x{by_size[hi] / by_size[lo]:.2f}")


if __name__ == "__main__":
    main()
