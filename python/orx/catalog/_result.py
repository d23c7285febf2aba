"""The answer to a request: the records a plan selects, read from the day files when first
needed, in every form a reader gives, and as stream bytes in bounded memory."""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

from .._lib import Metadata
from ._execute import run_days, threads
from ._plan import Plan, merge_ticker, read_parts
from ._records import numpy, ts_ids

if TYPE_CHECKING:
    import dask.dataframe as dd
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

    from .._reader import Batch, Reader

# Stream bytes are handed out in pieces of about this size.
_PIECE = 1 << 20


class QueryResult:
    """The records a request selected, ordered by ts_event (equal times by instrument id, then
    as written), read from the day files when first needed.

    It converts like a reader: ``to_pandas()``, ``to_numpy()``, Arrow (``pyarrow.table(result)``),
    iteration over record objects, ``to_bytes()`` and ``write(path)`` (one stream), ``reader()``,
    ``batches(size)`` and ``stream()``, which go one day at a time in bounded memory, and
    ``to_dask()``. ``len()`` and ``metadata`` come from the plan until the records are read. The
    first of ``to_pandas``, ``to_numpy``, Arrow, ``to_bytes`` and ``reader`` reads the day files
    (each whole from one file: the old day or the new one, never a mix) and keeps the records.
    """

    def __init__(self, plan: Plan):
        self.plan = plan
        self._cache: tuple[Metadata, Any] | None = None
        self._data = b""  # the bytes of the cached records

    @property
    def parts(self) -> tuple[Any, ...]:
        return self.plan.parts

    @property
    def paths(self) -> list[str]:
        """The day files the result reads, in day order."""
        return [p.location for p in self.plan.parts]

    def __repr__(self) -> str:
        return f"<orx.QueryResult of {len(self.plan.parts)} day file(s)>"

    def _days(self) -> Iterator[tuple[str, Metadata, Any]]:
        for part, meta, arr in read_parts(self.plan.parts):
            if meta is not None:
                yield part.location, meta, arr

    def _read(self) -> tuple[Metadata, Any]:
        """The metadata and records of the whole answer: every part's blocks read, then one
        executor call decodes them in parallel and merges each day into one buffer."""
        if self._cache is None:
            np = numpy()
            days, sources, metas = [], [], []
            for _, meta, (read_as, where, inputs, blocks) in read_parts(self.plan.parts,
                                                                        inputs=True):
                if meta is None:
                    continue
                days.append((read_as.start, read_as.end, inputs))
                sources.append((where, blocks))
                metas.append((where, meta, inputs))
            data, arr, counts = run_days(self.plan.kind, days, sources)
            maps: dict[int, str] = {}
            seen: dict[int, str] = {}
            at = 0
            for (where, meta, inputs), taken in zip(metas, counts):
                n = sum(taken)
                if all(i[2] for i in inputs):  # blocks of one instrument each
                    ids = sorted({i[4] for i, c in zip(inputs, taken) if c})
                else:
                    ids = np.unique(ts_ids(arr[at:at + n])[1]).tolist()
                at += n
                tickers = meta.mappings.map
                for i in ids:
                    t = tickers.get(i)
                    if t is not None:
                        merge_ticker(maps, seen, i, t, os.path.basename(where))
            self._data = data
            self._cache = self.plan._metadata(maps), arr
        return self._cache

    def _whole(self) -> tuple[Metadata, bytes, int]:
        meta, arr = self._read()
        return meta, self._data, len(arr)

    @property
    def metadata(self) -> Metadata:
        """The request's schema, dataset and range, and the tickers of the selected records."""
        return self._cache[0] if self._cache is not None else self.plan.metadata

    def __len__(self) -> int:
        return len(self._cache[1]) if self._cache is not None else self.plan.record_count

    def to_bytes(self) -> bytes:
        """One stream of every selected record, ordered by ts_event."""
        meta, data, _ = self._whole()
        return _stream_head(meta) + data

    def reader(self, **options: Any) -> Reader:
        """An ``orx.open`` reader over the selected records (options as for orx.open)."""
        from .._reader import open as open_stream

        return open_stream(self.to_bytes(), **options)

    def to_pandas(self, pretty_ts: bool = False, pretty_px: bool = False, *,
                  datetimes: bool = False) -> pd.DataFrame:
        """The frame ``orx.open(...).to_pandas`` gives for the selected records."""
        from .. import _ext
        from .._deps import require

        if pretty_ts and datetimes:
            raise ValueError("pretty_ts and datetimes cannot be combined")
        require("pandas", "dataframe", "to_pandas")
        meta, data, n = self._whole()
        frame: pd.DataFrame = _ext.batch_frame(data, n, meta, pretty_ts, pretty_px,
                                               bool(datetimes), threads())
        return frame

    def to_numpy(self) -> npt.NDArray[np.void]:
        """The selected records as a numpy structured array (fields as the record's)."""
        from .._kinds import record_dtype

        _, data, n = self._whole()
        array: npt.NDArray[np.void] = numpy().frombuffer(data, record_dtype(self.plan.kind), n)
        return array

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        from .. import _ext

        meta, data, n = self._whole()
        pending = [(data, n)] if n else []
        return _ext.arrow_stream(lambda: pending.pop() if pending else None, self.plan.kind,
                                 meta, False)

    def _day_readers(self) -> Iterator[Reader]:
        from .._reader import open as open_stream

        if self._cache is not None:
            yield open_stream(self.to_bytes())
            return
        for _, meta, arr in self._days():
            if len(arr):
                yield open_stream(_stream_head(meta) + arr.tobytes())

    def __iter__(self) -> Iterator[Any]:
        for reader in self._day_readers():
            yield from reader

    def batches(self, size: int | None = None) -> Iterator[Batch]:
        """Batches (as ``orx.open`` gives them) of the selected records, one day at a time."""
        for reader in self._day_readers():
            yield from reader.batches(size)

    def stream(self, compression: str | None = None, level: int | None = None) -> Iterator[bytes]:
        """The bytes ``write()`` writes, metadata first, in pieces of about 1 MiB, holding at
        most about one day's selected records at a time. The metadata comes from the plan; a
        day file that changed since planning so that its records no longer fit it (another
        count, another instrument) stops the stream with a ValueError."""
        return self._pieces(_compressor(compression, level))

    def _pieces(self, z: Any) -> Iterator[bytes]:
        def out(data: bytes | memoryview) -> bytes:
            return z.compress(data) if z is not None else bytes(data)

        if self._cache is not None:
            meta, arrs = self._cache[0], iter([self._cache[1]])
        else:
            meta, arrs = self.plan.metadata, self._checked_days()
        piece = out(_stream_head(meta))
        if piece:
            yield piece
        for arr in arrs:
            view = memoryview(numpy().ascontiguousarray(arr)).cast("B")
            for at in range(0, len(view), _PIECE):
                piece = out(view[at:at + _PIECE])
                if piece:
                    yield piece
        if z is not None:
            piece = z.finish()
            if piece:
                yield piece

    def _checked_days(self) -> Iterator[Any]:
        np = numpy()
        meta = self.plan.metadata
        known = meta.mappings.map
        total = 0
        for where, day_meta, arr in self._days():
            tickers = day_meta.mappings.map
            for i in np.unique(ts_ids(arr)[1]).tolist():
                t = tickers.get(i)
                if t is not None and known.get(i) != t:
                    raise ValueError(f"{where} changed while its records were streamed: "
                                     f"instrument {i} ({t!r}) is not in the stream's metadata; "
                                     f"query again")
            total += len(arr)
            if total > self.plan.record_count:
                break
            yield arr
        if total != self.plan.record_count:
            raise ValueError(f"the day files changed while their records were streamed: "
                             f"{total} records instead of the {self.plan.record_count} planned; "
                             f"query again")

    def write(self, path: os.PathLike[str] | str, compression: str | None = None,
              level: int | None = None) -> None:
        """Writes the selected records as one stream file, replacing `path` atomically."""
        from .._writer import ReplacingFile

        pieces = self.stream(compression, level)  # the arguments are checked here
        file = ReplacingFile(path)
        try:
            for piece in pieces:
                file.write(piece)
            file.commit()
        except BaseException:
            file.discard()
            raise

    def to_dask(self, pretty_px: bool = False, datetimes: bool = False,
                columns: Sequence[str] | None = None) -> dd.DataFrame:
        """The selected records as a dask DataFrame indexed by ts_event (as datetime64[ns, UTC]
        with `datetimes`; only `columns` when given; see orx.dask)."""
        from ..dask import from_plan

        return from_plan(self.plan, pretty_px=pretty_px, datetimes=datetimes, columns=columns)


def _stream_head(meta: Metadata) -> bytes:
    """The metadata block of a stream of the answer; a clear error when its symbol map is
    more than a stream's metadata can carry (numpy, Arrow and pandas results have no limit)."""
    try:
        return meta.encode()
    except (OSError, ValueError) as exc:
        raise ValueError(f"the answer's symbol map ({len(meta.mappings.map):,} instruments) is "
                         f"too large for a stream's metadata ({exc}); ask for numpy, Arrow or "
                         f"pandas, or for fewer symbols at a time") from None


def _compressor(compression: str | None, level: int | None) -> Any:
    if compression not in (None, "zstd"):
        raise ValueError(f"compression must be None or 'zstd', not {compression!r}")
    if compression is None:
        if level is not None:
            raise ValueError("a level needs compression='zstd'")
        return None
    from .. import _ext

    lo, hi, default = _ext.zstd_levels()
    if level is None:
        level = default
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"level must be an int, not {type(level).__name__}")
    return _ext.ZstdWriter(level)
