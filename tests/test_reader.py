"""orx.open: streaming reads into records, batches, numpy views, pandas frames and Arrow."""

import gc
import io
import os
import pathlib
import struct

import numpy as np
import pandas as pd
import pytest

import orx
from orx import BufferStore, Mbp1Msg, OhlcvMsg, TradeMsg, _ext

from helpers import assert_no_leak, assert_stubs_match, raises
from stream_util import (bbo_bytes, mbp1_bytes, metadata_body, ohlcv_bytes, stream,
                         trade_bytes)


def longer(record, extra=6):
    """The record with `extra` more words of trailing bytes (a longer record of its kind)."""
    return bytes([record[0] + extra]) + record[1:] + b"\xee" * (4 * extra)


def raw(length, rtype):
    return bytes([length, rtype]) + b"\x00" * (length * 4 - 2)


SYMBOLS = ((7, "ESZ6"), (8, "NQZ6"), (9, "ESZ6"))

# Streams whose frames take every path of the frame builder: one kind, mixed kinds, unmapped
# and partly mapped ids, values past int64, negative letters, longer records, nothing at all.
STREAMS = {
    "mbp1": stream(*[mbp1_bytes(iid=7 + i % 3, ts=1_700_000_000_000_000_000 + i * 10**8,
                                price=i * 250_000_000 - 10**9) for i in range(40)],
                   symbols=SYMBOLS),
    "trades": stream(*[trade_bytes(ts=i, price=-i) for i in range(5)]),
    "bbo": stream(bbo_bytes(), bbo_bytes(side=66), symbols=()),
    "ohlcv": stream(ohlcv_bytes(volume=2**64 - 1), ohlcv_bytes(volume=3)),
    "mixed": stream(mbp1_bytes(), trade_bytes(), ohlcv_bytes(), bbo_bytes()),
    "partly mapped": stream(mbp1_bytes(iid=7), mbp1_bytes(iid=99)),
    "wide ts": stream(mbp1_bytes(ts=2**64 - 1), mbp1_bytes(ts=5)),
    "negative letter": stream(trade_bytes(action=-3)),
    "longer": stream(longer(mbp1_bytes(price=1)), mbp1_bytes(price=2)),
    "empty": stream(),
}
PRETTY = [(False, False), (True, False), (False, True), (True, True)]


def frame_or_error(fn):
    try:
        return fn(), None
    except Exception as e:  # noqa: BLE001 - compared below
        return None, (type(e), str(e))


@pytest.mark.parametrize("name", STREAMS)
@pytest.mark.parametrize("pretty_ts,pretty_px", PRETTY)
@pytest.mark.parametrize("chunk", [0, 1, 7])
def test_to_pandas_is_the_frame_of_decode_to_df(name, pretty_ts, pretty_px, chunk):
    data = STREAMS[name]
    want, want_error = frame_or_error(lambda: BufferStore(data).decode_to_df(pretty_ts, pretty_px))
    reader = orx.Reader(data, _chunk_size=chunk)
    got, error = frame_or_error(lambda: reader.to_pandas(pretty_ts, pretty_px))
    assert error == want_error
    if want is not None:
        assert list(got.columns) == list(want.columns)
        assert list(got.dtypes) == list(want.dtypes)
        pd.testing.assert_frame_equal(got, want, check_exact=True)


def test_to_pandas_reads_the_rest_and_batches_their_own():
    data = STREAMS["mbp1"]
    reader = orx.open(data, batch_size=16)
    first = next(reader)
    rest = reader.to_pandas()
    store = BufferStore(data)
    store.replay()
    pd.testing.assert_frame_equal(rest, store.decode_to_df(False, False), check_exact=True)
    assert reader.to_pandas().empty and list(reader) == []
    assert first.ts_event == 1_700_000_000_000_000_000
    frames = [b.to_pandas(True, True) for b in orx.open(data).batches(16)]
    assert [len(f) for f in frames] == [16, 16, 8]
    whole = BufferStore(data).decode_to_df(True, True)
    pd.testing.assert_frame_equal(pd.concat(frames, ignore_index=True), whole, check_exact=True)


@pytest.mark.parametrize(
    "bad,message",
    [
        (b"\x05" + b"\x00" * 30, "IO error: invalid record with length 20 shorter than header"),
        (raw(24, 4), "Invalid Record Type : Tbbo"),
        (raw(6, 9), "Conversion error: Unknown RType value: '9'"),
        (raw(16, 1), "Invalid Record Type : Mbp1"),
        (raw(13, 3), "Invalid Record Type : Trade"),
    ],
)
@pytest.mark.parametrize("chunk", [0, 1, 5])
def test_record_failures(bad, message, chunk):
    data = stream(mbp1_bytes(price=1), mbp1_bytes(price=2), bad, mbp1_bytes(price=3))
    offset = len(stream()) + 2 * 96
    raises(OSError, message, orx.Reader(data, _chunk_size=chunk).to_pandas)
    raises(OSError, message, BufferStore(data).decode_to_df, False, False)
    # Records and batches: the records before the failure first, then the failure with the
    # offset of the bad record, again on every later read.
    reader = orx.Reader(data, _chunk_size=chunk)
    with_offset = f"{message} (record at byte offset {offset})"
    assert [next(reader).price, next(reader).price] == [1, 2]
    raises(OSError, with_offset, next, reader)
    raises(OSError, with_offset, next, reader)
    assert reader.offset == offset
    batches = orx.Reader(data, _chunk_size=chunk).batches(5)
    assert len(next(batches)) == 2
    raises(OSError, with_offset, next, batches)


@pytest.mark.parametrize("cut", [1, 23, 95])
@pytest.mark.parametrize("chunk", [0, 1, 64])
def test_a_record_cut_at_the_end(cut, chunk):
    data = stream(mbp1_bytes(price=1), mbp1_bytes(price=2), mbp1_bytes(price=3)[:cut])
    offset = len(stream()) + 2 * 96
    message = (f"the stream ends inside a record: {cut} of its 96 bytes at byte offset "
               f"{offset}, after 2 whole records")
    reader = orx.Reader(data, _chunk_size=chunk)
    assert [next(reader).price, next(reader).price] == [1, 2]
    e = raises(OSError, message, next, reader)
    assert type(e) is OSError
    raises(OSError, message, orx.Reader(data, _chunk_size=chunk).to_pandas)
    raises(OSError, message, orx.Reader(data, _chunk_size=chunk).to_numpy)
    batches = orx.Reader(data, _chunk_size=chunk).batches()
    assert len(next(batches)) == 2
    raises(OSError, message, next, batches)
    # Asked to, the reader stops quietly where BufferStore does.
    quiet = orx.Reader(data, allow_truncated=True, _chunk_size=chunk)
    assert [r.price for r in quiet] == [1, 2] and list(quiet) == []
    pd.testing.assert_frame_equal(
        orx.open(data, allow_truncated=True).to_pandas(True, True),
        BufferStore(data).decode_to_df(True, True), check_exact=True)


@pytest.mark.parametrize(
    "data,message",
    [
        (b"", "failed to fill whole buffer"),
        (b"\x16\x00" + b"\x01" * 21, "failed to fill whole buffer"),
        (b"\x00\x00", "Insufficient data to deserialize metadata"),
        (struct.pack("<H", 22) + metadata_body(schema=0), "Invalid schema value"),
    ],
)
def test_open_failures_are_those_of_buffer_store(data, message):
    raises(OSError, message, BufferStore, data)
    raises(OSError, message, orx.open, data)
    raises(OSError, message, orx.open, io.BytesIO(data))


class Pieces(io.RawIOBase):
    """A binary file whose reads end at the given positions (short reads)."""

    def __init__(self, data, cuts):
        self.data, self.cuts, self.at = data, sorted(cuts), 0

    def readable(self):
        return True

    def read(self, n=-1):
        end = min([c for c in self.cuts if c > self.at] + [len(self.data)])
        end = min(end, self.at + n) if n >= 0 else end
        out, self.at = self.data[self.at:end], end
        return out


SPLIT = stream(mbp1_bytes(price=1), trade_bytes(price=2), longer(ohlcv_bytes(c=3), 3),
               bbo_bytes(price=4), symbols=((7, "ESZ6"),))


def records_bytes(records):
    return [(type(r).__name__, r.hd.length, r.hd.ts_event) for r in records]


def test_every_split_position():
    want = records_bytes(BufferStore(SPLIT).decode_to_array())
    whole = b"".join(bytes(b) for b in orx.open(SPLIT).batches(2))
    assert len(whole) == len(SPLIT) - len(stream())
    for cut in range(len(SPLIT) + 1):
        assert records_bytes(orx.open(Pieces(SPLIT, [cut]))) == want, cut
        got = b"".join(bytes(b) for b in orx.open(Pieces(SPLIT, [cut, cut + 1])).batches(3))
        assert got == whole, cut
    for chunk in range(1, 40):
        assert records_bytes(orx.Reader(SPLIT, _chunk_size=chunk)) == want, chunk


def test_sources(tmp_path):
    path = tmp_path / "day.bin"
    path.write_bytes(SPLIT)
    want = records_bytes(BufferStore(SPLIT).decode_to_array())
    with open(path, "rb") as f:
        sources = [str(path), path, os.fsencode(path).decode(), SPLIT, bytearray(SPLIT),
                   memoryview(SPLIT), io.BytesIO(SPLIT), f, io.BufferedReader(io.FileIO(path))]

        class Bytes(os.PathLike):
            def __fspath__(self):
                return os.fsencode(path)

        sources.append(Bytes())
        for source in sources:
            with orx.open(source) as reader:
                assert reader.metadata.mappings.map == {7: "ESZ6"}
                assert records_bytes(reader) == want, source
        assert not f.closed  # a file object stays the caller's


def test_source_failures(tmp_path):
    # A path is named in every failure.
    raises(FileNotFoundError, f"[Errno 2] No such file or directory: '{tmp_path / 'missing'}'",
           orx.open, str(tmp_path / "missing"))
    raises(IsADirectoryError, f"[Errno 21] Is a directory: '{tmp_path}'", orx.open, tmp_path)
    raises(TypeError, "orx.open() takes a path, a bytes-like object or a binary file object, "
           "not int", orx.open, 3)
    raises(TypeError, "the file object must be opened in binary mode: read() returned 'str'",
           orx.open, io.StringIO("abc"))

    class Failing(io.BytesIO):
        limit = len(stream())

        def read(self, n=-1):
            if self.tell() >= self.limit:
                raise ValueError("disk on fire")
            return super().read(min(n, self.limit - self.tell()))

    reader = orx.open(Failing(SPLIT))
    raises(ValueError, "disk on fire", next, reader)
    raises(OSError, "reading the file object failed", next, reader)
    Failing.limit += 100  # a whole record, then the failure inside the next
    reader = orx.open(Failing(SPLIT))
    raises(ValueError, "disk on fire", next, reader.batches())
    reader = orx.open(Failing(SPLIT))
    assert next(reader).price == 1
    raises(ValueError, "disk on fire", next, reader)

    class TooMuch(io.RawIOBase):
        def read(self, n=-1):
            return b"\x00" * (n + 1)

    raises(ValueError, "read(4) of the file object returned 5 bytes", orx.open, TooMuch())
    for bad, exc, message in [
        (dict(batch_size=0), ValueError, "batch_size must be at least 1, not 0"),
        (dict(batch_size=2.0), TypeError, "batch_size must be an int, not float"),
        (dict(price_type="decimal"), ValueError,
         "price_type must be 'fixed' or 'float', not 'decimal'"),
    ]:
        raises(exc, message, orx.open, SPLIT, **bad)


def test_closing(tmp_path):
    path = tmp_path / "day.bin"
    path.write_bytes(SPLIT)
    fds = len(os.listdir("/proc/self/fd"))
    with orx.open(path) as reader:
        assert len(os.listdir("/proc/self/fd")) == fds + 1 and not reader.closed
        batches = reader.batches(1)
        next(batches)
    assert reader.closed and len(os.listdir("/proc/self/fd")) == fds
    reader.close()
    reader.close()
    for call in [lambda: next(reader), lambda: next(batches), reader.to_pandas, reader.to_numpy,
                 reader.__arrow_c_stream__, lambda: next(reader.batches())]:
        raises(ValueError, "I/O operation on a closed reader", call)
    assert reader.metadata.mappings.map == {7: "ESZ6"}
    # A bytes-like source is released at close: the bytearray can grow again.
    data = bytearray(SPLIT)
    reader = orx.open(data)
    with pytest.raises(BufferError):
        data.append(0)
    reader.close()
    data.append(0)


# --- numpy ---------------------------------------------------------------------------------------

KINDS = [(mbp1_bytes, Mbp1Msg, 1), (trade_bytes, TradeMsg, 3), (bbo_bytes, orx.BboMsg, 5),
         (ohlcv_bytes, OhlcvMsg, 2)]


@pytest.mark.parametrize("make,cls,rtype", KINDS)
def test_numpy_dtype_mirrors_the_layout(make, cls, rtype):
    size, columns = _ext.record_layout(rtype)
    array = orx.open(stream(make(), make())).to_numpy()
    dtype = array.dtype
    assert dtype.itemsize == size and dtype.names == tuple(c[0] for c in columns)
    for name, offset, width, signed, role in columns:
        field, at = dtype.fields[name]
        assert at == offset and field.itemsize == width
        assert field.kind == ("S" if role == "letter" else "i" if signed else "u")
    frame = BufferStore(stream(make(), make())).decode_to_df(False, False)
    for name in dtype.names:
        values = array[name]
        if dtype.fields[name][0].kind == "S":
            values = [v.decode() for v in values]
        assert list(values) == list(frame[name]), name


def test_numpy_view_is_read_only_and_owns_its_memory():
    data = STREAMS["mbp1"]
    reader = orx.open(data, batch_size=8)
    batch = next(reader.batches())
    array = batch.to_numpy()
    assert not array.flags.writeable and not array.flags.owndata
    with pytest.raises(ValueError):
        array["price"][0] = 5
    with pytest.raises(ValueError):
        array.setflags(write=True)
    assert np.shares_memory(array, batch.to_numpy())  # a view, not a copy
    whole = reader.to_numpy()
    del reader, batch
    gc.collect()
    assert list(array["price"]) == [i * 250_000_000 - 10**9 for i in range(8)]
    assert list(whole["price"]) == [i * 250_000_000 - 10**9 for i in range(8, 40)]
    assert bytes(BufferStore(data).decode_to_array()[8].__dict__()["price"].to_bytes(8, "little",
                 signed=True)) == whole[0:1]["price"].tobytes()


def test_numpy_longer_records():
    same = orx.open(stream(longer(mbp1_bytes(price=1)), longer(mbp1_bytes(price=2)))).to_numpy()
    assert same.strides == (120,) and same.dtype.itemsize == 96 and not same.flags.writeable
    mixed = orx.open(stream(longer(mbp1_bytes(price=1)), mbp1_bytes(price=2))).to_numpy()
    assert mixed.strides == (96,) and not mixed.flags.writeable
    for array in (same, mixed):
        assert list(array["price"]) == [1, 2] and list(array["ask_ct"]) == [6, 6]
    assert list(mixed["length"]) == [30, 24]


def test_numpy_refuses_mixed_kinds_and_handles_empty():
    raises(ValueError, "to_numpy needs records of one kind; these are of several: "
           "Mbp1Msg, OhlcvMsg, TradeMsg, BboMsg", orx.open(STREAMS["mixed"]).to_numpy)
    empty = orx.open(stream(schema=6)).to_numpy()
    assert empty.shape == (0,) and "size" in empty.dtype.names and empty.dtype.itemsize == 56


# --- Arrow ---------------------------------------------------------------------------------------

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")


@pytest.mark.parametrize("make,cls,rtype", KINDS)
@pytest.mark.parametrize("price_type", ["fixed", "float"])
def test_arrow_schema_and_values(make, cls, rtype, price_type):
    data = stream(make(iid=7), make(iid=8), make(iid=99), symbols=((7, "ESZ6"), (8, "NQZ6")))
    table = pa.table(orx.open(data, batch_size=2, price_type=price_type))
    assert table.num_rows == 3 and [len(c.chunks) for c in table.columns][0] == 2
    _, columns = _ext.record_layout(rtype)
    assert table.column_names == [c[0] for c in columns] + ["symbol"]
    array = orx.open(data).to_numpy()
    frame = BufferStore(data).decode_to_df(False, price_type == "float")
    for name, _offset, width, signed, role in columns:
        field = table.schema.field(name)
        if role in ("event_time", "time"):
            assert field.type == pa.timestamp("ns", tz="UTC")
            assert table[name].cast(pa.int64()).to_pylist() == array[name].astype("int64").tolist()
        elif role == "letter":
            assert field.type == pa.string()
            assert table[name].to_pylist() == [v.decode() for v in array[name]]
        elif role == "price" and price_type == "float":
            assert field.type == pa.float64()
            assert table[name].to_pylist() == list(frame[name])
        else:
            assert field.type == pa.from_numpy_dtype(np.dtype(f"{'i' if signed else 'u'}{width}"))
            assert table[name].to_pylist() == array[name].tolist()
    assert table.schema.field("symbol").type == pa.dictionary(pa.int32(), pa.string())
    assert table["symbol"].to_pylist() == ["ESZ6", "NQZ6", None]
    assert pl.DataFrame(orx.open(data, price_type=price_type)).equals(pl.from_arrow(table))
    batch = next(orx.open(data, price_type=price_type).batches())
    assert pa.record_batch(batch).equals(table.combine_chunks().to_batches()[0])
    assert pa.array(batch).type == pa.struct(list(table.schema))
    assert pa.schema(batch) == table.schema
    assert pa.table(batch).equals(table.combine_chunks())


def test_arrow_stream_edges():
    empty = pa.table(orx.open(stream(schema=6)))
    assert empty.num_rows == 0 and "size" in empty.column_names
    with pytest.raises(ValueError, match="Mbp1Msg, TradeMsg"):
        pa.table(orx.open(stream(mbp1_bytes(), trade_bytes())))
    with pytest.raises(Exception, match="Arrow export needs records of one kind"):
        pa.table(orx.open(stream(mbp1_bytes(), trade_bytes()), batch_size=1))
    letters = pa.table(orx.open(stream(trade_bytes(action=-3, side=0))))
    assert letters["action"].to_pylist() == [chr(253)] and letters["side"].to_pylist() == ["\0"]
    ts = pa.table(orx.open(stream(mbp1_bytes(ts=2**63 - 1))))["ts_event"]
    assert ts.cast(pa.int64()).to_pylist() == [2**63 - 1]


# Runs of records of one type and length, broken by a change of kind, of length or both.
RUNS = [mbp1_bytes(ts=1), mbp1_bytes(ts=2), longer(mbp1_bytes(ts=3)), longer(mbp1_bytes(ts=4)),
        trade_bytes(ts=5), mbp1_bytes(ts=6), longer(mbp1_bytes(ts=7), 1), mbp1_bytes(ts=8)]


@pytest.mark.parametrize("size", [1, 2, 3, 5, 8, 9])
@pytest.mark.parametrize("chunk", [0, 1, 100])
def test_batches_cut_runs_of_records_exactly(size, chunk):
    """Each batch holds exactly its records, with the kinds and the common size of those."""
    sizes = [len(r) for r in RUNS]
    got = [(bytes(b), len(b), b._kinds, b._stride)
           for b in orx.Reader(stream(*RUNS), batch_size=size, _chunk_size=chunk).batches()]
    want = []
    for start in range(0, len(RUNS), size):
        part = RUNS[start:start + size]
        kinds = sum({1 << r[1] for r in part})
        stride = sizes[start] if len(set(sizes[start:start + size])) == 1 else 0
        want.append((b"".join(part), len(part), kinds, stride))
    assert got == want


_MBP1 = bytes(mbp1_bytes())


@pytest.mark.parametrize("args", [(b"\x00", 1), (b"", 1), (_MBP1, 2), (_MBP1[:-1], 1), ("x", 0),
                                  (_MBP1 * 2 + b"\x00", 2), (_MBP1 * 2 + raw(6, 1), 3),
                                  (_MBP1 * 2 + raw(_MBP1[0], 4), 3), (_MBP1 * 3, 2),
                                  (_MBP1 * 2 + _MBP1[:-4], 3)])
def test_forged_batches_are_refused(args):
    meta = orx.open(stream()).metadata
    for call in (lambda: _ext.batch_frame(*args, meta, False, False, False, 1),
                 lambda: _ext.batch_arrow(*args, 1, meta, False),
                 lambda: _ext.batch_compact(*args)):
        with pytest.raises((ValueError, TypeError)):
            call()


def test_no_leaks():
    data = STREAMS["mbp1"]

    def cycle():
        with orx.open(data, batch_size=16) as reader:
            for batch in reader.batches():
                batch.to_numpy()
                pa.record_batch(batch)
        pa.table(orx.open(data, batch_size=16))
        list(orx.open(io.BytesIO(data)))
        try:
            list(orx.open(data[:-1]))
        except OSError:
            pass

    assert_no_leak(cycle, iterations=600)


def test_stubs_match_the_runtime():
    import orx._reader as runtime

    assert_stubs_match(runtime, {"DEFAULT_BATCH_SIZE", "Batch", "Reader", "open"})


def test_a_file_object_reading_back_into_its_reader():
    class Reentrant(io.BytesIO):
        reader, seen = None, []

        def read(self, n=-1):
            if self.reader is not None:
                for call in (lambda: next(self.reader), self.reader.close):
                    try:
                        call()
                    except RuntimeError as e:
                        self.seen.append(str(e))
            return super().read(n)

    source = Reentrant(SPLIT)
    reader = orx.Reader(source, _chunk_size=8)
    source.reader = reader
    assert records_bytes(reader) == records_bytes(BufferStore(SPLIT).decode_to_array())
    assert source.seen and set(source.seen) == {"the reader is already reading"}
    # the close refused inside the read left the reader open; it closes now
    assert not reader.closed
    reader.close()


# --- which sources are read without the GIL ------------------------------------------------------

def reads_ahead(source):
    """Whether the reader of `source` (zstd data) decompresses on a thread of its own, ahead
    of the reads: what it does for sources that cannot change, which it reads without the GIL.
    A source that may change under it is read with the GIL held, in the caller's thread."""
    tasks = lambda: len(os.listdir("/proc/self/task"))  # noqa: E731
    before = tasks()
    reader = orx.open(source)
    during = tasks()
    assert len(reader.to_numpy()) == 200_000  # and the records are all there either way
    reader.close()
    return during - before == 1


def zstd_stream():
    """zstd data of 200,000 trades (11 MB): more than the thread reading ahead holds, so that
    it is still there, waiting, when counted."""
    import test_writer

    records = test_writer.random_records(3, 20_000)
    z = _ext.ZstdWriter(1)
    return z.compress(bytes(test_writer.metadata(3)) + records * 10) + z.finish()


READ_WITH_THE_GIL_RELEASED = [
    ("bytes", lambda d: d, True),
    ("view of bytes", lambda d: memoryview(d)[0:], True),
    ("view of a view of bytes", lambda d: memoryview(memoryview(d).toreadonly()), True),
    ("read-only view of a bytearray", lambda d: memoryview(bytearray(d)).toreadonly(), False),
    ("view of a view of a bytearray",
     lambda d: memoryview(memoryview(bytearray(d)).toreadonly()), False),
    ("bytearray", lambda d: bytearray(d), False),
    ("bytes subclass", lambda d: type("B", (bytes,), {})(d), False),
]


@pytest.mark.parametrize("make, released", [(m, r) for _, m, r in READ_WITH_THE_GIL_RELEASED],
                         ids=[n for n, _, _ in READ_WITH_THE_GIL_RELEASED])
def test_only_sources_that_cannot_change_are_read_without_the_gil(make, released):
    assert reads_ahead(make(zstd_stream())) is released
