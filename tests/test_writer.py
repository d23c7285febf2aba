"""orx.write and orx.Writer: byte-exact round trips of every record kind from every input,
exact float prices and text timestamps, clear refusals, and no partial files."""

import io
import os
import random
import re
import struct
import threading

import numpy as np
import pandas as pd
import pytest

import orx
from orx import BufferStore, Dataset, Metadata, Schema, SymbolMap, _ext

from helpers import assert_no_leak, assert_stubs_match, raises, temporaries
from records_util import bbo, mbp1, ohlcv, trade
from stream_util import BBO, MBP1, OHLCV, TRADE

ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
LETTERS = b"ABCFMNRT"

# rtype -> (struct, schema, record factory)
KINDS = {
    1: (MBP1, Schema.MBP1, mbp1),
    3: (TRADE, Schema.TRADES, trade),
    5: (BBO, Schema.BBO1_S, bbo),
    2: (OHLCV, Schema.OHLCV1_M, ohlcv),
}


def random_records(rtype, n, seed=1, price_bits=52, wide_bits=64):
    """`n` records of `rtype` with random fields, built with struct (not by the writer);
    64-bit fields take up to `wide_bits` bits."""
    rng = random.Random(seed)
    fmt = KINDS[rtype][0]
    u = lambda bits: rng.getrandbits(min(bits, wide_bits))  # noqa: E731
    s = lambda bits: rng.getrandbits(bits) - (1 << (bits - 1))  # noqa: E731
    px = lambda: rng.randrange(-(1 << price_bits) + 1, 1 << price_bits)  # noqa: E731
    ch = lambda: rng.choice(LETTERS)  # noqa: E731
    out = []
    for _ in range(n):
        head = (fmt.size // 4, rtype, rng.choice([7, 8, 9]), u(63), u(8))
        if rtype == 1:
            body = (px(), u(32), ch(), ch(), u(8), u(8), u(64), s(32), u(32), u(32),
                    px(), px(), u(32), u(32), u(32), u(32))
        elif rtype == 3:
            body = (px(), u(32), ch(), ch(), u(8), u(8), u(64), s(32), u(32))
        elif rtype == 5:
            body = (px(), u(32), ch(), u(8), u(64), u(32), px(), px(), u(32), u(32), u(32), u(32))
        else:
            body = (px(), px(), px(), px(), u(64))
        out.append(fmt.pack(*head, *body))
    return b"".join(out)


def metadata(rtype=1, symbols=None):
    return Metadata(KINDS[rtype][1], Dataset.FUTURES, 1, 2,
                    SymbolMap(symbols if symbols is not None else {7: "ESZ6", 8: "NQZ6"}))


def stream_of(rtype, n=300, seed=1, **kw):
    return bytes(metadata(rtype)) + random_records(rtype, n, seed, **kw)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def leftovers(directory):
    return temporaries(directory)


# --- round trips ------------------------------------------------------------------------------

def frame(data):
    return BufferStore(data).decode_to_df(False, False)


def objects(data):
    return BufferStore(data).decode_to_array()


def numpy_array(data):
    return orx.open(data).to_numpy()


def arrow_table(data):
    pa = pytest.importorskip("pyarrow")
    return pa.table(orx.open(data))


def arrow_float_table(data):
    pa = pytest.importorskip("pyarrow")
    return pa.table(orx.open(data, price_type="float"))


def polars_frame(data):
    pl = pytest.importorskip("polars")
    return pl.DataFrame(orx.open(data))


def reader(data):
    return orx.open(data, batch_size=70)


INPUTS = [frame, objects, numpy_array, arrow_table, arrow_float_table, polars_frame, reader]


@pytest.mark.parametrize("rtype", sorted(KINDS))
@pytest.mark.parametrize("make", INPUTS, ids=lambda f: f.__name__)
def test_every_kind_from_every_input_gives_the_same_bytes(tmp_path, rtype, make):
    data = stream_of(rtype)
    path = tmp_path / "out.orx"
    assert orx.write(path, make(data), metadata(rtype)) == 300
    assert read(path) == data
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("rtype", sorted(KINDS))
def test_pretty_frames_convert_back(tmp_path, rtype):
    # Float prices give the fixed-point prices back exactly; text timestamps keep whole
    # seconds, which is all they show.
    data = stream_of(rtype, 200, price_bits=51)
    pretty = BufferStore(data).decode_to_df(True, True)
    orx.write(tmp_path / "p.orx", pretty, metadata(rtype))
    want = frame(data)
    want["ts_event"] = want["ts_event"] // 10**9 * 10**9
    pd.testing.assert_frame_equal(frame(read(tmp_path / "p.orx")), want, check_exact=True)


def test_frame_of_several_kinds(tmp_path):
    # Columns that some kinds lack become floats, exact below 2^53 only.
    parts = [random_records(k, 3, seed=k, wide_bits=53) for k in (1, 3, 1, 2, 5, 5)]
    data = bytes(metadata(1)) + b"".join(parts)
    df = frame(data)
    assert df["discriminator"].isna().any()  # the kinds' columns united, holes filled
    assert df["price"].dtype == np.float64  # fixed-point prices as floats, for the holes
    orx.write(tmp_path / "m.orx", df, metadata(1), price_type="fixed")
    assert read(tmp_path / "m.orx") == data
    df.loc[2, "price"] += 0.5
    raises(ValueError, f"DataFrame: column 'price' row 2: {df.loc[2, 'price']!r} is not a whole "
                       "number of nanounits",
           orx.write, tmp_path / "m2.orx", df, metadata(1), price_type="fixed")


def test_records_of_several_kinds_from_objects(tmp_path):
    records = [mbp1(), trade(), bbo(), ohlcv(), trade(price=-1)]
    orx.write(tmp_path / "o.orx", records, metadata())
    got = BufferStore(read(tmp_path / "o.orx")).decode_to_array()
    assert [type(r) for r in got] == [type(r) for r in records]
    assert [r.__dict__() for r in got] == [r.__dict__() for r in records]


def test_writer_takes_metadata_from_a_reader_and_writes_in_pieces(tmp_path):
    data = stream_of(3, 1000)
    with orx.Writer(tmp_path / "w.orx") as w:
        with orx.open(data, batch_size=300) as r:
            batches = list(r.batches())
        for b in batches:
            w.write(b)
        assert w.metadata is batches[0].metadata
        assert w.records == 1000
    assert read(tmp_path / "w.orx") == data


def test_empty_inputs_write_the_metadata_alone(tmp_path):
    for data in ([], frame(bytes(metadata(3)))):
        orx.write(tmp_path / "e.orx", data, metadata(3))
        assert read(tmp_path / "e.orx") == bytes(metadata(3))
    with orx.Writer(tmp_path / "e2.orx", metadata(5)):
        pass
    assert read(tmp_path / "e2.orx") == bytes(metadata(5))


def test_same_data_gives_the_same_bytes(tmp_path):
    # Symbol maps built in different orders serialize alike, so whole files do too.
    ids = list(range(50))
    a = Metadata(Schema.TRADES, Dataset.FUTURES, 1, 2, SymbolMap({i: f"S{i}" for i in ids}))
    b = Metadata(Schema.TRADES, Dataset.FUTURES, 1, 2,
                 SymbolMap({i: f"S{i}" for i in reversed(ids)}))
    records = frame(stream_of(3))
    for compression in (None, "zstd"):
        orx.write(tmp_path / "a", records, a, compression)
        orx.write(tmp_path / "b", records, b, compression)
        assert read(tmp_path / "a") == read(tmp_path / "b")


# --- zstd -------------------------------------------------------------------------------------

@pytest.mark.parametrize("level", [None, 1, 19, -5])
def test_zstd_streams_read_back(tmp_path, level):
    data = stream_of(1, 2000)
    orx.write(tmp_path / "z.orx.zst", orx.open(data), compression="zstd", level=level)
    z = read(tmp_path / "z.orx.zst")
    assert z[:4] == ZSTD_MAGIC and len(z) < len(data)
    assert _ext.zstd_decompress(z) == data
    pd.testing.assert_frame_equal(orx.open(z).to_pandas(), frame(data), check_exact=True)


def test_zstd_frames_one_per_writer_concatenate(tmp_path):
    a, b = stream_of(3, 100, seed=1), random_records(3, 50, seed=2)
    orx.write(tmp_path / "a", orx.open(a), compression="zstd")
    w = _ext.ZstdWriter(3)
    z = read(tmp_path / "a") + w.compress(b) + w.finish()
    assert _ext.zstd_decompress(z) == a + b
    assert len(orx.open(z).to_pandas()) == 150


@pytest.mark.parametrize("cut", [4, 10, 30, -9, -1])
def test_truncated_zstd_is_an_error(tmp_path, cut):
    data = stream_of(1, 500)
    orx.write(tmp_path / "z", orx.open(data), compression="zstd")
    z = read(tmp_path / "z")[:cut]
    with pytest.raises(OSError) as info:
        orx.open(z).to_pandas()
    assert "zstd stream truncated: its input ends inside a frame, after" in str(info.value)


def test_corrupt_zstd_is_an_error(tmp_path):
    # Every flipped byte fails the reading: the frame's structure, its checksum (checked at
    # the frame's end), or the damaged stream inside it.
    orx.write(tmp_path / "z", orx.open(stream_of(1, 500)), compression="zstd")
    z = bytearray(read(tmp_path / "z"))
    zstd_errors = 0
    for at in range(6, len(z), max(1, len(z) // 40)):
        bad = bytearray(z)
        bad[at] ^= 0x41
        with pytest.raises(OSError) as info:
            orx.open(bytes(bad)).to_pandas()
        zstd_errors += "zstd" in str(info.value)
    assert zstd_errors > 20


def test_raw_stream_never_starts_with_the_zstd_magic():
    # The magic read as a raw stream: a 0xB528-byte body whose schema byte is 0x2F = 47.
    assert struct.unpack("<H", ZSTD_MAGIC[:2])[0] == 0xB528 and ZSTD_MAGIC[2] == 47
    for schema in (Schema.MBP1, Schema.BBO1_M, Schema.TBBO):
        m = Metadata(schema, Dataset.OPTION, 2**64 - 1, 2**64 - 1, SymbolMap({}))
        assert bytes(m)[:4] != ZSTD_MAGIC
    fake = ZSTD_MAGIC + bytes(0xB528)
    with pytest.raises(Exception) as info:
        BufferStore(fake)
    assert "Invalid schema value" in str(info.value)


# --- exact prices and timestamps --------------------------------------------------------------

P52 = 2**52 - 1


@pytest.mark.parametrize("price", [0, 1, -1, 999_999_999, P52, -P52, P52 - 1, 2**51 + 1,
                                   1_500_000_000, -(2**51) - 3])
def test_float_prices_below_2_pow_52_convert_back_exactly(tmp_path, price):
    data = bytes(metadata(3)) + TRADE.pack(14, 3, 7, 1, 0, price, 1, 65, 66, 0, 0, 2, 0, 0)
    df = BufferStore(data).decode_to_df(False, True)
    orx.write(tmp_path / "f", df, metadata(3))
    assert read(tmp_path / "f") == data


@pytest.mark.parametrize("value, text", [
    (1.0000000001234, "1.0000000001234"),
    (float("nan"), "nan"),
    (1e10, "10000000000"),
    (0.1 + 1e-12, "0.10000000000100001"),
])
def test_floats_that_are_no_price_are_refused(tmp_path, value, text):
    df = BufferStore(stream_of(3, 5)).decode_to_df(False, True)
    df.loc[3, "price"] = value
    target = tmp_path / "f"
    target.write_bytes(b"old")
    raises(ValueError, f"DataFrame: column 'price' row 3: {text} is not a price with nine "
                       "decimal places (it does not convert back exactly)",
           orx.write, target, df, metadata(3))
    assert read(target) == b"old" and leftovers(tmp_path) == []


@pytest.mark.parametrize("column, value, message", [
    ("size", -1, "column 'size' row 4: -1 does not fit unsigned 32-bit"),
    ("size", 2**32, "column 'size' row 4: 4294967296 does not fit unsigned 32-bit"),
    ("ts_in_delta", 2**31, "column 'ts_in_delta' row 4: 2147483648 does not fit signed 32-bit"),
    ("rtype", 1, "no column 'discriminator' for Mbp1Msg records"),
    ("length", 24, "column 'length' row 4: 24 is not the length of Trades records (14)"),
    ("action", "AB", "column 'action' row 4: 'AB' is not one character"),
    ("side", None, "column 'side' row 4: missing value"),
    ("ts_event", "yesterday", "column 'ts_event' row 4: 'yesterday' is not a UTC timestamp"),
])
def test_values_that_do_not_fit_are_refused_by_column_and_row(tmp_path, column, value, message):
    df = BufferStore(stream_of(3, 6)).decode_to_df(True, False)
    if column == "rtype":  # one kind throughout, but not the one the columns say
        df[column] = value
    else:
        df.loc[4, column] = value
    raises(ValueError, "DataFrame: " + message, orx.write, tmp_path / "x", df, metadata(3))
    assert not (tmp_path / "x").exists() and leftovers(tmp_path) == []


def test_row_numbers_count_across_slices(tmp_path):
    df = frame(stream_of(2, 70000))
    df.loc[69999, "instrument_id"] = -3
    raises(ValueError,
           "DataFrame: column 'instrument_id' row 69999: -3 does not fit unsigned 32-bit",
           orx.write, tmp_path / "x", df, metadata(2))


def test_text_and_datetime_timestamps(tmp_path):
    df = frame(stream_of(2, 4))
    ns = df["ts_event"].to_numpy().copy()
    aware = df.assign(ts_event=pd.to_datetime(ns, utc=True))
    naive = df.assign(ts_event=pd.to_datetime(ns))
    text = df.assign(ts_event=pd.to_datetime(ns, utc=True).strftime("%Y-%m-%dT%H:%M:%S.%fZ"))
    for i, variant in enumerate((aware, naive)):
        orx.write(tmp_path / f"t{i}", variant, metadata(2))
        assert frame(read(tmp_path / f"t{i}"))["ts_event"].tolist() == ns.tolist()
    orx.write(tmp_path / "t", text, metadata(2))
    assert frame(read(tmp_path / "t"))["ts_event"].tolist() == (ns // 1000 * 1000).tolist()


# --- refusals ---------------------------------------------------------------------------------

@pytest.mark.parametrize("call, exc, message", [
    (lambda p: orx.write(p, [trade()]), ValueError,
     "the stream needs metadata: pass metadata= or write data that carries it"),
    (lambda p: orx.write(p, [trade()], metadata(), compression="gzip"), ValueError,
     "compression must be None or 'zstd', not 'gzip'"),
    (lambda p: orx.write(p, [trade()], metadata(), level=3), ValueError,
     "a level needs compression='zstd'"),
    (lambda p: orx.write(p, [trade()], metadata(), compression="zstd", level=99), ValueError,
     "zstd level 99 is outside -131072..22"),
    (lambda p: orx.write(p, [trade()], "meta"), TypeError,
     "metadata must be a Metadata, not str"),
    (lambda p: orx.write(p, {"a": 1}, metadata()), TypeError,
     "orx.write takes record objects, a numpy structured array, a pandas DataFrame, Arrow data, "
     "a reader or a batch, not dict"),
    (lambda p: orx.write(p, [trade(), "x"], metadata()), TypeError,
     "records[1] is a str, not Mbp1Msg, TradeMsg, BboMsg or OhlcvMsg"),
    (lambda p: orx.write(p, np.zeros(3), metadata()), TypeError,
     "numpy array: a one-dimensional structured array is needed"),
    (lambda p: orx.write(p, frame(stream_of(3, 2)).drop(columns="size"), metadata()),
     ValueError, "DataFrame: no column 'size' for TradeMsg records"),
    (lambda p: orx.write(p, frame(stream_of(3, 2)).assign(mid=1), metadata()),
     ValueError, "DataFrame: column 'mid' is not a field of TradeMsg records"),
])
def test_refusals(tmp_path, call, exc, message):
    raises(exc, message, call, tmp_path / "r")
    assert os.listdir(tmp_path) == []


def test_kind_from_the_schema_when_columns_do_not_tell(tmp_path):
    # A frame without rtype whose columns fit a kind, and a structured array without rtype.
    df = frame(stream_of(5, 3)).drop(columns=["rtype", "length"])
    orx.write(tmp_path / "k", df, metadata(5))
    assert read(tmp_path / "k") == stream_of(5, 3)


# --- nothing half-written ---------------------------------------------------------------------

def test_a_failure_midway_leaves_the_old_file(tmp_path):
    target = tmp_path / "keep.orx"
    target.write_bytes(b"previous content")
    good = frame(stream_of(3, 10))
    bad = good.copy()
    bad.loc[5, "size"] = -1
    with pytest.raises(ValueError):
        with orx.Writer(target, metadata(3)) as w:
            w.write(good)
            w.write(bad)
    assert read(target) == b"previous content" and leftovers(tmp_path) == []
    assert w.closed
    raises(ValueError, "I/O operation on a closed writer", w.write, good)


def test_an_interrupt_inside_the_with_block_leaves_nothing(tmp_path):
    with pytest.raises(KeyboardInterrupt):
        with orx.Writer(tmp_path / "i.orx", metadata(3), compression="zstd") as w:
            w.write(frame(stream_of(3, 10)))
            raise KeyboardInterrupt
    assert os.listdir(tmp_path) == []


def test_the_file_appears_only_at_close(tmp_path):
    w = orx.Writer(tmp_path / "late.orx", metadata(3))
    w.write([trade()])
    assert not (tmp_path / "late.orx").exists() and len(leftovers(tmp_path)) == 1
    w.close()
    assert read(tmp_path / "late.orx") == bytes(metadata(3)) + _ext.record_bytes([trade()])
    assert leftovers(tmp_path) == []


def test_an_abandoned_writer_removes_its_temporary_file(tmp_path):
    w = orx.Writer(tmp_path / "gone.orx", metadata(3))
    w.write([trade()])
    del w
    assert os.listdir(tmp_path) == []


def test_stubs_match_the_runtime():
    import orx._writer as runtime

    assert_stubs_match(runtime, {"Writer", "write", "ReplacingFile", "records_of", "RecordBytes",
                                 "KILL_AT"})


def test_replacing_keeps_permissions_and_links(tmp_path):
    target = tmp_path / "target.orx"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "link.orx"
    link.symlink_to(target.name)
    orx.write(link, [trade()], metadata(3))
    assert link.is_symlink() and read(target) == read(link) != b"old"
    assert target.stat().st_mode & 0o777 == 0o640
    raises(FileNotFoundError, f"[Errno 2] No such file or directory: '{tmp_path}/no/x.orx'",
           orx.write, f"{tmp_path}/no/x.orx", [trade()], metadata(3))


def test_no_leaks():
    arr = orx.open(stream_of(1, 50)).to_numpy()
    columns = [(n, np.ascontiguousarray(arr[n])) for n in arr.dtype.names]
    bad = columns[:3] + [("size", np.full(50, -1, np.int64))]
    records = [mbp1(), trade(), bbo(), ohlcv()]
    z = _ext.ZstdWriter(1)
    frame_bytes = z.compress(stream_of(3, 20)) + z.finish()

    def cycle():
        _ext.pack_columns(1, 50, columns, 0)
        try:
            _ext.pack_columns(1, 50, bad, 7)
        except ValueError:
            pass
        try:
            _ext.record_bytes(records + [1])
        except TypeError:
            pass
        _ext.record_bytes(records)
        w = _ext.ZstdWriter(1)
        w.compress(memoryview(frame_bytes))
        w.finish()
        _ext.zstd_decompress(frame_bytes)
        try:
            _ext.zstd_decompress(frame_bytes[:-3])
        except ValueError:
            pass

    assert_no_leak(cycle, iterations=3000)


@pytest.mark.parametrize("cut", [40, -9])
def test_truncated_zstd_gives_the_same_records_then_error_from_every_source(tmp_path, cut):
    # Paths and bytes are decompressed ahead of the reader on a thread of their own, file
    # objects are not: both hand out the same records before the failure.
    orx.write(tmp_path / "z", orx.open(stream_of(1, 20_000)), compression="zstd")
    (tmp_path / "cut").write_bytes(read(tmp_path / "z")[:cut])
    seen = {}
    for kind, source in [("path", tmp_path / "cut"), ("bytes", read(tmp_path / "cut")),
                         ("file", open(tmp_path / "cut", "rb"))]:
        got = []
        with pytest.raises(OSError) as info:
            for batch in orx.open(source).batches(1000):
                got.append(batch.to_numpy().tobytes())
        assert "zstd stream truncated" in str(info.value)
        seen[kind] = b"".join(got)
    assert seen["path"] == seen["bytes"] == seen["file"]


def test_zstd_reader_closed_early_does_not_wait_for_the_rest(tmp_path):
    orx.write(tmp_path / "z", orx.open(stream_of(1, 50_000)), compression="zstd")
    for _ in range(20):
        with orx.open(tmp_path / "z") as reader:
            next(iter(reader.batches(10)))


# --- one writer, several threads ----------------------------------------------------------------

class GatedStream(io.RawIOBase):
    """A stream's bytes that stop after the metadata until `go` is set, telling `inside` when
    a reader waits there."""

    def __init__(self, data, head):
        self.data, self.head, self.at = data, head, 0
        self.inside, self.go = threading.Event(), threading.Event()

    def readable(self):
        return True

    def readinto(self, b):
        if self.at >= self.head and not self.go.is_set():
            self.inside.set()
            assert self.go.wait(60)
        n = min(len(b), len(self.data) - self.at, max(1, self.head - self.at)
                if self.at < self.head else len(b))
        b[:n] = self.data[self.at:self.at + n]
        self.at += n
        return n


def writer_in_a_write(target, compression):
    """A writer whose first write() waits inside, in a thread, until the gate opens."""
    data = stream_of(3, 500)
    gate = GatedStream(data, len(bytes(metadata(3))))
    w = orx.Writer(target, compression=compression)
    errors = []

    def first():
        try:
            w.write(orx.open(gate, batch_size=100))
        except BaseException as exc:  # noqa: BLE001 - the test looks at what came
            errors.append(exc)

    t = threading.Thread(target=first)
    t.start()
    assert gate.inside.wait(60)
    return w, gate, t, errors


@pytest.mark.parametrize("compression", [None, "zstd"])
@pytest.mark.parametrize("second", ["write", "close"])
def test_a_call_while_another_writes_is_refused_and_close_then_raises(tmp_path, compression,
                                                                       second):
    target = tmp_path / "shared.orx"
    w, gate, t, errors = writer_in_a_write(target, compression)
    call = (lambda: w.write([trade()])) if second == "write" else w.close
    raises(RuntimeError, "the writer is already writing", call)
    gate.go.set()
    t.join(60)
    assert errors == []  # the first write itself went through
    raises(ValueError, f"{target} was not written: a call was refused while another one was "
           "writing", w.close)
    with pytest.raises(ValueError, match=f"^{re.escape(str(target))} was not written: "):
        w.write([trade()])
    assert os.listdir(tmp_path) == []
    w.abort()
    assert w.closed
    w.close()  # after abort() nothing is left to fail


@pytest.mark.parametrize("compression", [None, "zstd"])
def test_abort_works_while_another_thread_writes(tmp_path, compression):
    target = tmp_path / "shared.orx"
    target.write_bytes(b"old")
    w, gate, t, errors = writer_in_a_write(target, compression)
    w.abort()
    assert w.closed
    gate.go.set()
    t.join(60)
    assert errors == []
    assert os.listdir(tmp_path) == ["shared.orx"] and target.read_bytes() == b"old"
    w.close()
    raises(ValueError, "I/O operation on a closed writer", w.write, [trade()])


@pytest.mark.parametrize("compression", [None, "zstd"])
def test_four_threads_on_one_writer_commit_all_or_nothing(tmp_path, compression):
    target = tmp_path / "shared.orx"
    records = orx.open(stream_of(3, 2000)).to_numpy()
    w = orx.Writer(target, metadata(3), compression)
    seen = []
    start = threading.Barrier(4)

    def work():
        start.wait()
        for _ in range(50):
            try:
                w.write(records)
            except BaseException as exc:  # noqa: BLE001 - the test looks at what came
                seen.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    foreign = [e for e in seen if not (
        (type(e) is RuntimeError and str(e) == "the writer is already writing")
        or (type(e) is ValueError and str(e).startswith(f"{target} was not written")))]
    assert foreign == []
    if seen:
        with pytest.raises(ValueError, match=f"^{re.escape(str(target))} was not written: "):
            w.close()
        assert os.listdir(tmp_path) == []
    else:
        w.close()
        assert read(target) == bytes(metadata(3)) + records.tobytes() * 200


@pytest.mark.parametrize("compression", [None, "zstd"])
def test_close_after_a_failed_write_raises_and_writes_nothing(tmp_path, compression):
    target = tmp_path / "t.orx"
    w = orx.Writer(target, metadata(3), compression)
    w.write([trade()])
    bad = frame(stream_of(3, 10))
    bad.loc[5, "size"] = -1
    with pytest.raises(ValueError, match="size"):
        w.write(bad)
    with pytest.raises(ValueError) as e:
        w.close()
    assert str(e.value).startswith(f"{target} was not written: a write failed (ValueError: ")
    assert os.listdir(tmp_path) == [] and not w.closed
    w.abort()
    assert w.closed
