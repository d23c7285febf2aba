"""Writing record streams: ``orx.write`` and ``orx.Writer``.

Records of every kind (MBP-1, trades, BBO, OHLCV bars) are written from record objects, numpy
structured arrays, Arrow data, pandas DataFrames, readers and batches, column by column: the
columns are packed into record bytes by ``orx._ext`` without a Python object per row. The
output is raw or zstd-compressed, and appears at its path only when complete.
"""

from __future__ import annotations

import os
import signal
import threading

from . import _ext
from ._deps import require as _require
from ._kinds import KINDS, METADATA_KEY, SCHEMA_KINDS
from ._lib import Metadata
from ._reader import Batch, Reader

# The environment variable that kills the writing process at a moment of a write, for tests:
# "created" (its temporary file exists, nothing is written yet).
KILL_AT = "ORX_WRITE_KILL_AT"

# Rows packed at a time: bounds the bytes held between packing and writing.
_SLICE_ROWS = 1 << 16

_COMPRESSIONS = (None, "zstd")
# Columns a frame or table may carry that are not record fields.
_IGNORED = ("symbol",)


def _layout(rtype: int):
    return _ext.record_layout(rtype)


def _columns(rtype: int) -> dict[str, str]:
    """Column name -> role, in layout order."""
    return {c[0]: c[4] for c in _layout(rtype)[1]}


def _kind_by_columns(names) -> int | None:
    """The kind whose fields are exactly ``names`` (less the header and ignored columns)."""
    given = set(names) - {"length", "rtype", *_IGNORED}
    for rtype in KINDS:
        if given == set(_columns(rtype)) - {"length", "rtype"}:
            return rtype
    return None


class _Columns:
    """Converts named columns (numpy arrays, pandas Series, Arrow arrays) into the buffers
    the packer takes, and packs them slice by slice."""

    def __init__(self, np, rtype: int, names, what: str, fixed: bool) -> None:
        self.np = np
        self.fixed = fixed  # float prices hold fixed-point values, not their floating view
        self.rtype = rtype
        self.what = what
        fields = _columns(rtype)
        extra = [n for n in names if n not in fields and n not in _IGNORED]
        if extra:
            raise ValueError(
                f"{what}: column {extra[0]!r} is not a field of {KINDS[rtype].name} records"
            )
        missing = [n for n in fields if n not in names and n not in ("length", "rtype")]
        if missing:
            raise ValueError(f"{what}: no column {missing[0]!r} for {KINDS[rtype].name} records")
        self.fields = fields
        self.base = 0  # the row number of the first value being converted

    def letters(self, name: str, codes, uniques):
        """Letter codes from factorized text: ``codes`` index ``uniques`` (-1 for missing)."""
        np = self.np
        table = np.zeros(len(uniques) + 1, np.int64)
        for i, u in enumerate(uniques):
            if isinstance(u, bytes):
                u = u.decode("latin-1")
            if not isinstance(u, str) or len(u) != 1:
                row = int(np.argmax(codes == i))
                raise ValueError(f"{self.what}: column {name!r} row {self.base + row}: {u!r} is "
                                 "not one character")
            table[i] = ord(u)
        if len(codes) and codes.min() < 0:
            row = int(np.argmax(codes < 0))
            raise ValueError(f"{self.what}: column {name!r} row {self.base + row}: missing value")
        return table[codes]

    def whole(self, name: str, values):
        """Fixed-point prices held as floats (pandas' form of integers with holes)."""
        np = self.np
        ok = np.isfinite(values) & (np.abs(values) < 2.0**63)
        ints = np.where(ok, values, 0).astype(np.int64)
        bad = ~ok | (ints != values)
        if bad.any():
            row = int(np.argmax(bad))
            raise ValueError(
                f"{self.what}: column {name!r} row {self.base + row}: {values[row]!r} is not a "
                "whole number of nanounits"
            )
        return ints

    def times(self, name: str, values):
        """Nanoseconds since the epoch from text (as the pretty frames show it)."""
        pd = _require("pandas", "dataframe", "writing text timestamps")
        np = self.np
        series = pd.Series(values, copy=False)
        parsed = pd.to_datetime(series, utc=True, errors="coerce", format="ISO8601")
        bad = parsed.isna().to_numpy()
        if bad.any():
            row = int(np.argmax(bad))
            raise ValueError(
                f"{self.what}: column {name!r} row {self.base + row}: {series.iloc[row]!r} is not "
                "a UTC timestamp"
            )
        naive = parsed.dt.tz_convert(None).to_numpy().astype("datetime64[ns]")
        return np.ascontiguousarray(naive.view(np.int64))

    def convert(self, name: str, values):
        """A contiguous numpy array for column ``name``."""
        np = self.np
        role = self.fields[name]
        dtype = getattr(values, "dtype", None)
        kind = getattr(dtype, "kind", None)
        if str(dtype).startswith("datetime64"):  # numpy or pandas, naive (UTC) or aware
            if getattr(dtype, "tz", None) is not None:
                values = values.dt.tz_convert(None)
            # Timestamps hold the unsigned field's bit pattern (so times from 2262 on survive).
            ns = np.asarray(values).astype("datetime64[ns]")
            return np.ascontiguousarray(ns.view(np.uint64))
        if kind == "f" and role == "price" and self.fixed:
            return self.whole(name, np.asarray(values, np.float64))
        if kind in ("i", "u", "f", "b"):
            return np.ascontiguousarray(values)
        if kind == "S":
            return np.ascontiguousarray(np.asarray(values).view(np.uint8))
        # Text (object, str or pyarrow-backed columns).
        if role == "letter":
            pd = _require("pandas", "dataframe", "writing text columns")
            codes, uniques = pd.factorize(pd.Series(values, copy=False), use_na_sentinel=True)
            return self.letters(name, codes, list(uniques))
        if role == "event_time" or role == "time":
            return self.times(name, values)
        arr = np.asarray(values)
        if arr.dtype.kind in ("i", "u", "f"):
            return np.ascontiguousarray(arr)
        raise TypeError(f"{self.what}: column {name!r} of dtype {arr.dtype} is not numeric")

    def pack(self, arrays: dict, count: int, first_row: int) -> bytes:
        try:
            return _ext.pack_columns(self.rtype, count, list(arrays.items()), first_row)
        except ValueError as exc:
            raise ValueError(f"{self.what}: {exc}") from None


def _kind_of(rtypes, metadata: Metadata | None, names, what: str, np) -> int:
    """The record kind of columns: from their rtype values, the metadata's schema or the
    column names."""
    if rtypes is not None and len(rtypes):
        values = np.unique(np.asarray(rtypes))
        if len(values) == 1 and int(values[0]) in KINDS:
            return int(values[0])
        if len(values) == 1:
            raise ValueError(f"{what}: no record layout for rtype {int(values[0])}")
    kind = _kind_by_columns(names)
    if kind is None and metadata is not None:
        kind = SCHEMA_KINDS.get(int(metadata.schema))
    if kind is None:
        raise ValueError(f"{what}: cannot tell the record kind of columns {list(names)}")
    return kind


class Writer:
    """Writes a record stream to ``path``: the metadata, then the records of every
    ``write(data)``. The file appears, complete, when the writer is closed without error;
    until then the records go to a temporary file beside it, removed on failure.

    ``compression`` is None (a raw stream) or "zstd" (at ``level``, default 1).
    ``metadata`` may be left out when the first data written carries it (a reader or batch).
    Float price columns hold the floating view of prices (``price_type="float"``, as
    ``decode_to_df(pretty_px=True)`` gives them), or with ``price_type="fixed"`` the
    fixed-point integers as floats (what pandas makes of integer columns with holes, in frames
    of several record kinds).
    """

    __slots__ = ("_file", "_zstd", "_path", "_metadata", "_started", "_records", "_price_type",
                 "_state", "_busy", "_failed", "_dropped")

    def __init__(
        self,
        path,
        metadata: Metadata | None = None,
        compression: str | None = None,
        level: int | None = None,
        *,
        price_type: str = "float",
    ) -> None:
        self._file = None
        # One call at a time writes: `_state` guards the flags below, held only to change them.
        self._state = threading.Lock()
        self._busy = False  # a write or close is running
        self._failed: str | None = None  # why the stream cannot be completed any more
        self._dropped = False  # abort() came while a call was running: that call drops the file
        if price_type not in ("fixed", "float"):
            raise ValueError(f"price_type must be 'fixed' or 'float', not {price_type!r}")
        self._price_type = price_type
        if compression not in _COMPRESSIONS:
            raise ValueError(f"compression must be None or 'zstd', not {compression!r}")
        if level is not None and compression is None:
            raise ValueError("a level needs compression='zstd'")
        if metadata is not None and not isinstance(metadata, Metadata):
            raise TypeError(f"metadata must be a Metadata, not {type(metadata).__name__}")
        self._zstd = None
        if compression == "zstd":
            lo, hi, default = _ext.zstd_levels()
            level = default if level is None else level
            if isinstance(level, bool) or not isinstance(level, int):
                raise TypeError(f"level must be an int, not {type(level).__name__}")
            self._zstd = _ext.ZstdWriter(level)
        self._path = os.fspath(path)
        self._metadata = metadata
        self._started = False
        self._records = 0
        self._file = ReplacingFile(self._path)

    def __repr__(self) -> str:
        form = "zstd" if self._zstd is not None else "raw"
        schema = self._metadata.schema.value if self._metadata is not None else "no metadata yet"
        state = "closed" if self.closed else "failed" if self._failed else "open"
        return (f"<orx.Writer to {self._path!r} ({form}): {schema}, {self._records:,} records "
                f"written, {state}>")

    @property
    def metadata(self) -> Metadata | None:
        return self._metadata

    @property
    def records(self) -> int:
        """Records written so far."""
        return self._records

    @property
    def closed(self) -> bool:
        return self._dropped or (self._file is None and self._failed is None)

    def _emit(self, data) -> None:
        if not self._started:
            if self._metadata is None:
                raise ValueError(
                    "the stream needs metadata: pass metadata= or write data that carries it"
                )
            self._started = True
            self._emit(bytes(self._metadata))
            if not len(data):
                return
        if self._zstd is not None:
            data = self._zstd.compress(data)
        self._file.write(data)

    def _begin(self) -> None:
        """Takes the writer for one call, or refuses: closed, failed before, or in use."""
        with self._state:
            if self._busy:
                if self._file is not None:
                    self._fail("a call was refused while another one was writing")
                raise RuntimeError("the writer is already writing")
            if self._failed is not None:
                raise ValueError(f"{self._path} was not written: {self._failed}")
            if self._file is None or self._dropped:
                raise ValueError("I/O operation on a closed writer")
            self._busy = True

    def _end(self) -> None:
        with self._state:
            self._busy = False
            if self._failed is not None or self._dropped:
                self._drop()

    def _fail(self, why: str) -> None:
        """Marks the stream as one that cannot be completed; its file goes when no call runs."""
        if self._failed is None:
            self._failed = why
        if not self._busy:
            self._drop()

    def _drop(self) -> None:
        file, self._file = self._file, None
        if file is not None:
            file.discard()

    def write(self, data) -> None:
        """Appends the records of ``data``: record objects, a numpy structured array, a
        pandas DataFrame, Arrow data, a reader or a batch. A write that fails leaves nothing at
        the path: close() then raises. One thread at a time may write; a call made while
        another runs fails with RuntimeError (and fails the stream too)."""
        self._begin()
        try:
            for chunk, count in _record_chunks(self, data):
                self._emit(chunk)
                self._records += count
        except BaseException as exc:
            with self._state:
                self._fail(f"a write failed ({type(exc).__name__}: {exc})")
            raise
        finally:
            self._end()

    def _adopt(self, metadata: Metadata) -> None:
        if self._metadata is None:
            self._metadata = metadata

    def close(self) -> None:
        """Finishes the stream and puts it at its path. Raises, leaving the path as it was,
        when a write failed before."""
        if self.closed:
            return
        self._begin()
        try:
            self._emit(b"")
            if self._zstd is not None:
                self._file.write(self._zstd.finish())
            with self._state:  # nothing fails the stream between this check and the rename
                if self._failed is not None or self._dropped:
                    why = self._failed or "the writer was aborted"
                    raise ValueError(f"{self._path} was not written: {why}")
                self._file.commit()
                self._file = None
        except BaseException as exc:
            with self._state:
                self._fail(f"closing failed ({type(exc).__name__}: {exc})")
            raise
        finally:
            self._end()

    def abort(self) -> None:
        """Drops everything written; the path is left as it was. Works in every state: while
        another thread writes, that write drops the file when it returns."""
        with self._state:
            self._failed = None
            self._dropped = True
            if not self._busy:
                self._drop()

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is None:
            self.close()
        else:
            self.abort()

    def __del__(self) -> None:
        if getattr(self, "_file", None) is not None:
            self._file.discard()
            self._file = None


class RecordBytes:
    """Records given as their stream bytes (whole records, back to back, as a reader or a
    merge hands them out), for ``Writer.write``."""

    __slots__ = ("data", "count")

    def __init__(self, data: bytes, count: int) -> None:
        self.data, self.count = data, count


def _record_chunks(writer: Writer, data):
    """(bytes, record count) pieces of ``data``, adopting its metadata when it has some."""
    if isinstance(data, RecordBytes):
        yield data.data, data.count
        return
    if isinstance(data, Reader):
        writer._adopt(data.metadata)
        for batch in data.batches():
            yield bytes(batch), len(batch)
        return
    if isinstance(data, Batch):
        writer._adopt(data.metadata)
        yield bytes(data), len(data)
        return
    if isinstance(data, (list, tuple)):
        yield _ext.record_bytes(data), len(data)
        return
    meta = _carried_metadata(data)
    if meta is not None:
        writer._adopt(meta)
    np = _require("numpy", "dataframe", "writing columns")
    fixed = writer._price_type == "fixed"
    if isinstance(data, np.ndarray):
        yield from _array_chunks(np, data, writer._metadata, fixed)
        return
    pd = _pandas_if_frame(data)
    if pd is not None:
        yield from _frame_chunks(np, pd, data, writer._metadata, fixed)
        return
    if hasattr(data, "__arrow_c_stream__") or hasattr(data, "__arrow_c_array__"):
        yield from _arrow_chunks(np, data, writer._metadata, fixed)
        return
    raise TypeError(
        "orx.write takes record objects, a numpy structured array, a pandas DataFrame, Arrow "
        f"data, a reader or a batch, not {type(data).__name__}"
    )


class _Sink:
    """What _record_chunks needs of a writer, for records_of."""

    def __init__(self, metadata, price_type) -> None:
        self._metadata, self._price_type = metadata, price_type

    def _adopt(self, metadata) -> None:
        if self._metadata is None:
            self._metadata = metadata


def records_of(data, metadata: Metadata | None, price_type: str = "float"):
    """(stream bytes, record count) pieces of any data the writer takes."""
    return _record_chunks(_Sink(metadata, price_type), data)


def _pandas_if_frame(data):
    if type(data).__module__.startswith("pandas") and hasattr(data, "columns"):
        import pandas as pd

        if isinstance(data, pd.DataFrame):
            return pd
    return None


def _carried_metadata(data) -> Metadata | None:
    """Metadata a table carries in its schema's key-value metadata (Parquet and Arrow)."""
    schema = getattr(data, "schema", None)
    kv = getattr(schema, "metadata", None)
    if kv and METADATA_KEY in kv:
        return Metadata.decode(bytes.fromhex(kv[METADATA_KEY].decode()))
    return None


def _runs(np, rtypes):
    """(start, stop, rtype) of the runs of equal rtype."""
    rtypes = np.asarray(rtypes)
    if not len(rtypes):
        return []
    cuts = np.flatnonzero(rtypes[1:] != rtypes[:-1]) + 1
    starts = [0, *cuts.tolist()]
    stops = [*cuts.tolist(), len(rtypes)]
    return [(a, b, int(rtypes[a])) for a, b in zip(starts, stops)]


def _pack_slices(cols: _Columns, arrays: dict, count: int, first_row: int = 0):
    for start in range(0, count, _SLICE_ROWS):
        stop = min(count, start + _SLICE_ROWS)
        part = {n: a[start:stop] for n, a in arrays.items()}
        yield cols.pack(part, stop - start, first_row + start), stop - start


def _array_chunks(np, arr, metadata, fixed):
    what = "numpy array"
    if arr.dtype.names is None or arr.ndim != 1:
        raise TypeError(f"{what}: a one-dimensional structured array is needed")
    names = arr.dtype.names
    rtypes = arr["rtype"] if "rtype" in names else None
    kind = _kind_of(rtypes, metadata, names, what, np)
    cols = _Columns(np, kind, names, what, fixed)
    arrays = {n: cols.convert(n, arr[n]) for n in names if n not in _IGNORED}
    yield from _pack_slices(cols, arrays, len(arr))


def _frame_chunks(np, pd, df, metadata, fixed, first_row=0):
    what = "DataFrame"
    names = [str(c) for c in df.columns]
    if len(set(names)) != len(names):
        raise ValueError(f"{what}: column names repeat")
    rtypes = df["rtype"].to_numpy() if "rtype" in names else None
    if rtypes is not None and len(rtypes) and (rtypes[1:] != rtypes[:-1]).any():
        # A frame of several kinds (their columns united): one run of a kind at a time.
        for start, stop, rtype in _runs(np, rtypes):
            present = [n for n in names if n in _columns(rtype) or n in _IGNORED]
            yield from _frame_chunks(np, pd, df.iloc[start:stop][present], metadata, fixed, start)
        return
    if not len(df):
        return
    kind = _kind_of(rtypes, metadata, names, what, np)
    cols = _Columns(np, kind, names, what, fixed)
    for start in range(0, len(df), _SLICE_ROWS):
        part = df.iloc[start:start + _SLICE_ROWS]
        cols.base = first_row + start
        arrays = {n: cols.convert(n, part[n]) for n in names if n not in _IGNORED}
        yield cols.pack(arrays, len(part), first_row + start), len(part)


def _arrow_chunks(np, data, metadata, fixed):
    pa = _require("pyarrow", "arrow", "writing Arrow data")
    what = "Arrow data"
    if hasattr(data, "__arrow_c_stream__"):
        reader = pa.RecordBatchReader.from_stream(data)
    else:
        reader = pa.RecordBatchReader.from_batches(
            pa.record_batch(data).schema, [pa.record_batch(data)]
        )
    meta = _carried_metadata(reader)
    kind = None
    cols = None
    first_row = 0
    for batch in reader:
        names = batch.schema.names
        if cols is None:
            rtypes = batch.column("rtype").to_numpy() if "rtype" in names else None
            kind = _kind_of(rtypes, meta or metadata, names, what, np)
            cols = _Columns(np, kind, names, what, fixed)
        arrays = {}
        cols.base = first_row
        for name in names:
            if name in _IGNORED:
                continue
            column = batch.column(name)
            if pa.types.is_timestamp(column.type):
                column = column.cast(pa.timestamp("ns", tz=column.type.tz)).cast(pa.int64())
                arrays[name] = np.ascontiguousarray(column.to_numpy()).view(np.uint64)
            elif pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
                encoded = column.dictionary_encode()
                codes = encoded.indices.to_numpy(zero_copy_only=False)
                codes = np.where(np.isnan(codes), -1, codes).astype(np.int64) \
                    if codes.dtype.kind == "f" else codes.astype(np.int64)
                arrays[name] = cols.letters(name, codes, encoded.dictionary.to_pylist()) \
                    if cols.fields[name] == "letter" else cols.times(name, column.to_pylist())
            else:
                arrays[name] = cols.convert(name, column.to_numpy(zero_copy_only=False))
        yield from _pack_slices(cols, arrays, batch.num_rows, first_row)
        first_row += batch.num_rows


class ReplacingFile:
    """A new file beside ``path`` that replaces it on commit (flushed to disk first, taking
    the old file's permission bits; a symbolic link is followed and stays) and is removed on
    discard: the core's atomic replacement, with errors naming ``path``."""

    __slots__ = ("_path", "_file")

    def __init__(self, path) -> None:
        self._path = os.fsdecode(path)
        self._file = self._named(_ext.ReplacingFile, self._path)
        if os.environ.get(KILL_AT) == "created":
            os.kill(os.getpid(), signal.SIGKILL)

    def _named(self, call, *args):
        try:
            return call(*args)
        except OSError as exc:
            if exc.errno is None or exc.filename is not None:
                raise
            raise OSError(exc.errno, os.strerror(exc.errno), self._path) from None

    @property
    def temp(self) -> str:
        """The file being written, for writers that open it themselves."""
        return self._file.written_path()

    def write(self, data) -> None:
        self._named(self._file.write, data)

    def commit(self) -> None:
        self._named(self._file.commit)

    def discard(self) -> None:
        self._file.abandon()


def write(
    path,
    data,
    metadata: Metadata | None = None,
    compression: str | None = None,
    level: int | None = None,
    *,
    price_type: str = "float",
) -> int:
    """Writes ``data`` as a record stream at ``path`` (see :class:`Writer`); returns the number
    of records written."""
    with Writer(path, metadata, compression, level, price_type=price_type) as writer:
        writer.write(data)
    return writer.records
