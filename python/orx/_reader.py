"""Streaming reads of record streams: ``orx.open`` and the batches it hands out."""

from __future__ import annotations

import builtins
import errno
import os
import stat

from . import _ext
from ._deps import require as _require
from ._kinds import DAY_FILE_MAGIC, LOOK_SIZE, SCHEMA_KINDS, kind_name, looks_like, record_dtype
from ._lib import Metadata

DEFAULT_BATCH_SIZE = 65_536
_ALL = (1 << 64) - 1

_PRICE_TYPES = ("fixed", "float")


def _kinds_of(mask: int) -> list[int]:
    return [k for k in range(32) if mask >> k & 1]


def _single_kind(mask: int, what: str) -> int:
    kinds = _kinds_of(mask)
    if len(kinds) != 1:
        names = ", ".join(kind_name(k) for k in kinds)
        raise ValueError(f"{what} needs records of one kind; these are of several: {names}")
    return kinds[0]


def _schema_kind(metadata: Metadata, what: str) -> int:
    kind = SCHEMA_KINDS.get(int(metadata.schema))
    if kind is None:
        raise ValueError(f"{what}: no record layout for schema {metadata.schema.value!r}")
    return kind


# The numpy dtype of records of a kind.
_dtype = record_dtype


def _check_price_type(price_type: str) -> bool:
    if price_type not in _PRICE_TYPES:
        raise ValueError(f"price_type must be 'fixed' or 'float', not {price_type!r}")
    return price_type == "float"


def _check_times(pretty_ts: bool, datetimes: bool) -> bool:
    if pretty_ts and datetimes:
        raise ValueError("pretty_ts and datetimes cannot be combined")
    return bool(datetimes)


def _check_size(size, name: str) -> int:
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError(f"{name} must be an int, not {type(size).__name__}")
    if size < 1:
        raise ValueError(f"{name} must be at least 1, not {size}")
    return size


class Batch:
    """Up to ``batch_size`` whole records of a stream, held as their encoded bytes."""

    __slots__ = ("_data", "_count", "_kinds", "_stride", "_metadata", "_price_type")

    def __init__(self) -> None:
        raise TypeError("batches come from Reader.batches()")

    @classmethod
    def _make(cls, item, metadata: Metadata, price_type: str) -> Batch:
        self = object.__new__(cls)
        self._data, self._count, self._kinds, self._stride = item
        self._metadata = metadata
        self._price_type = price_type
        return self

    def __len__(self) -> int:
        return self._count

    def __repr__(self) -> str:
        names = "/".join(kind_name(k) for k in _kinds_of(self._kinds))
        return f"<orx.Batch of {self._count} {names} records>"

    @property
    def metadata(self) -> Metadata:
        return self._metadata

    @property
    def price_type(self) -> str:
        return self._price_type

    def __bytes__(self) -> bytes:
        return self._data

    def to_pandas(self, pretty_ts: bool = False, pretty_px: bool = False, *,
                  datetimes: bool = False):
        datetimes = _check_times(pretty_ts, datetimes)
        _require("pandas", "dataframe", "to_pandas")
        return _ext.batch_frame(self._data, self._count, self._metadata, pretty_ts, pretty_px,
                                datetimes, 0)

    def to_numpy(self):
        kind = _single_kind(self._kinds, "to_numpy")
        np = _require("numpy", "dataframe", "to_numpy")
        dtype = _dtype(kind)
        if self._stride == dtype.itemsize:
            return np.frombuffer(self._data, dtype, self._count)
        if self._stride:  # longer records of one size: a strided view
            return np.ndarray((self._count,), dtype, self._data, 0, (self._stride,))
        return np.frombuffer(_ext.batch_compact(self._data, self._count), dtype, self._count)

    def _rtype(self) -> int:
        return _single_kind(self._kinds, "Arrow export")

    def __arrow_c_schema__(self):
        return _ext.arrow_schema(self._rtype(), self._price_type == "float")

    def __arrow_c_array__(self, requested_schema=None):
        return _ext.batch_arrow(
            self._data, self._count, self._rtype(), self._metadata, self._price_type == "float"
        )

    def __arrow_c_stream__(self, requested_schema=None):
        pending = [(self._data, self._count)]
        return _ext.arrow_stream(
            lambda: pending.pop() if pending else None,
            self._rtype(),
            self._metadata,
            self._price_type == "float",
        )


class Reader:
    """A record stream read forward in bounded memory; made by :func:`orx.open`."""

    __slots__ = ("_handle", "_metadata", "_batch_size", "_price_type", "_closed", "_source",
                 "_form")

    def __init__(
        self,
        source,
        *,
        batch_size: int = DEFAULT_BATCH_SIZE,
        allow_truncated: bool = False,
        price_type: str = "fixed",
        _chunk_size: int = 0,
    ) -> None:
        self._closed = True
        self._source = None
        self._batch_size = _check_size(batch_size, "batch_size")
        _check_price_type(price_type)
        self._price_type = price_type
        if isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            kind, source = "path", path if isinstance(path, str) else os.fsdecode(path)
            self._source = source
        elif hasattr(source, "read"):
            kind = "file"
        else:
            try:
                memoryview(source).release()
            except TypeError:
                raise TypeError(
                    "orx.open() takes a path, a bytes-like object or a binary file object, "
                    f"not {type(source).__name__}"
                ) from None
            kind = "buffer"
        self._form = kind
        try:
            self._handle = _ext.reader_open(source, kind, _chunk_size, bool(allow_truncated))
        except (OSError, ValueError) as exc:
            if kind != "path":  # bytes and file objects fail as BufferStore does
                raise
            # Not a stream: what is it? Parquet and CSV files of orx are read through their
            # metadata; anything else is refused with what it looks like.
            converted = _not_a_stream(source, exc, batch_size)
            self._handle = _ext.reader_open(converted, "file", _chunk_size, False)
            self._form = converted.form
        self._metadata = _ext.reader_metadata(self._handle)
        self._closed = False

    def __repr__(self) -> str:
        if not hasattr(self, "_metadata"):
            return "<orx.Reader (not opened)>"
        where = {"path": repr(self._source), "buffer": "bytes", "file": "a file object"}.get(
            self._form, f"{self._source!r} (read as {self._form})")
        state = "closed" if self._closed else "open"
        try:
            records = f"{_ext.reader_records(self._handle):,} records read"
        except RuntimeError:  # another thread is reading it
            records = "reading"
        return (f"<orx.Reader of {where}: {self._metadata.schema.value}, "
                f"{self._metadata.dataset.name}, {records}, {state}>")

    def _named(self, exc: BaseException) -> BaseException:
        """`exc` with the path it is about in front of its message, for a reader of a path."""
        if self._source is None or not isinstance(exc, OSError) or exc.filename is not None:
            return exc
        return type(exc)(f"{self._source}: {exc}")

    @property
    def metadata(self) -> Metadata:
        return self._metadata

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def batch_size(self) -> int:
        return self._batch_size

    @property
    def price_type(self) -> str:
        return self._price_type

    @property
    def offset(self) -> int:
        """Byte offset in the stream of the next record (of the failing one after an error)."""
        return _ext.reader_offset(self._handle)

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on a closed reader")

    def close(self) -> None:
        if not self._closed:
            _ext.reader_close(self._handle)
            self._closed = True

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __iter__(self) -> Reader:
        return self

    def __next__(self):
        self._check_open()
        try:
            record = _ext.reader_next(self._handle)
        except OSError as exc:
            raise self._named(exc) from None
        if record is None:
            raise StopIteration
        return record

    def _next_batch(self, size: int, whole: bool = False):
        self._check_open()
        try:
            item = _ext.reader_batch(self._handle, size, whole)
        except OSError as exc:
            raise self._named(exc) from None
        return None if item is None else Batch._make(item, self._metadata, self._price_type)

    def batches(self, size: int | None = None):
        size = self._batch_size if size is None else _check_size(size, "size")
        self._check_open()
        while (batch := self._next_batch(size)) is not None:
            yield batch

    def to_pandas(self, pretty_ts: bool = False, pretty_px: bool = False, *,
                  datetimes: bool = False):
        self._check_open()
        datetimes = _check_times(pretty_ts, datetimes)
        _require("pandas", "dataframe", "to_pandas")
        try:
            return _ext.reader_frame(self._handle, self._metadata, pretty_ts, pretty_px,
                                     datetimes)
        except OSError as exc:
            raise self._named(exc) from None

    def to_numpy(self):
        self._check_open()
        batch = self._next_batch(_ALL, True)
        if batch is None:
            np = _require("numpy", "dataframe", "to_numpy")
            return np.empty(0, _dtype(_schema_kind(self._metadata, "to_numpy")))
        return batch.to_numpy()

    def __arrow_c_stream__(self, requested_schema=None):
        first = self._next_batch(self._batch_size)
        if first is None:
            rtype = _schema_kind(self._metadata, "Arrow export")
        else:
            rtype = first._rtype()
        pending = [first]

        def next_batch():
            batch = pending.pop() if pending else self._next_batch(self._batch_size)
            if batch is None:
                return None
            if batch._kinds != 1 << rtype:
                _single_kind(batch._kinds | 1 << rtype, "Arrow export")
            return batch._data, batch._count

        return _ext.arrow_stream(next_batch, rtype, self._metadata, self._price_type == "float")


def _not_a_stream(path: str, failure: Exception, batch_size: int):
    """The converting source of the orx Parquet or CSV file at `path`; otherwise raises the
    error that names `path` and says what it is instead of a stream."""
    mode = os.stat(path).st_mode  # a missing file fails here, naming it
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    regular = stat.S_ISREG(mode)
    head = b""
    if regular:  # (a pipe is read once: its bytes are gone)
        with builtins.open(path, "rb") as f:
            head = f.read(LOOK_SIZE)
    if regular and head.startswith(DAY_FILE_MAGIC):
        from .catalog._day_format import day_file_stream

        return day_file_stream(path)
    what = looks_like(head) if regular else None
    if what in ("a Parquet file", "CSV text", "text"):
        from ._convert import converted_stream, sniff

        if sniff(path) in ("parquet", "csv"):
            return converted_stream(path, batch_size)
    if not head and regular:
        text = "empty: no metadata"
    elif what == "zstd-compressed data":
        text = f"zstd-compressed data, but no record stream inside: {failure}"
    elif what is not None:
        text = f"not a record stream: it looks like {what}"
    elif regular:
        text = f"not a record stream: {failure}"
    else:
        text = str(failure)
    raise type(failure)(f"{path}: {text}") from None



def open(
    source,
    *,
    batch_size: int = DEFAULT_BATCH_SIZE,
    allow_truncated: bool = False,
    price_type: str = "fixed",
) -> Reader:
    """Opens a record stream for reading; see :class:`Reader`."""
    return Reader(
        source, batch_size=batch_size, allow_truncated=allow_truncated, price_type=price_type
    )
