"""Dask DataFrames over stream files and catalogs (the optional extra ``orx[dask]``).

One partition per day file, or per piece of a large one; the frame is indexed by ``ts_event``
(integer nanoseconds) with known divisions, and its columns are those of
``to_pandas(pretty_ts=False, pretty_px=...)`` with exactly those dtypes. The symbol and time
filters travel into every partition, which reads its file (or its piece of it) on the worker:
partitions carry file paths and plain values only, so any scheduler, threads or processes or
machines sharing the files, can run them.
"""

from __future__ import annotations

import glob as _glob
import os
from pathlib import Path
from typing import Any, Sequence

from . import catalog as _cat
from ._deps import install_hint
from ._kinds import KINDS
from ._lib import RetrieveParams

__all__ = ["read", "from_catalog"]


def _dd():
    try:
        import dask.dataframe as dd
    except ImportError:
        raise ImportError(f"orx.dask needs dask: {install_hint('dask')}") from None
    return dd


def _meta(kind: int, pretty_px: bool):
    """The empty frame every partition conforms to: the pandas path's columns and dtypes for a
    record of `kind` whose instrument has a ticker, indexed by ts_event."""
    size = KINDS[kind].size
    rec = bytearray(size)
    rec[0], rec[1] = size // 4, kind
    from ._lib import BufferStore, Dataset, Metadata, Schema, SymbolMap
    meta = Metadata(Schema.MBP1, Dataset.FUTURES, 0, 0, SymbolMap({0: "X"}))
    df = BufferStore(meta.encode() + bytes(rec)).decode_to_df(False, pretty_px)
    return df.iloc[:0].set_index("ts_event")


def _partition(part: _cat._Part, pretty_px: bool, empty) -> Any:
    """The rows of one part, as the pandas path gives them, indexed by ts_event."""
    import pandas as pd
    day_meta, arr = _cat._read_part(part)
    if day_meta is None or not len(arr):
        return empty.copy()
    df = _cat._open_reader(_cat._stream_bytes(day_meta, arr)).to_pandas(False, pretty_px)
    df = df.set_index("ts_event")
    for name in empty.columns:
        if name not in df.columns:  # no row of this part has a ticker
            df[name] = pd.Series(None, index=df.index, dtype=empty[name].dtype)
    df = df[list(empty.columns)]
    if not df.index.is_monotonic_increasing:
        df = df.sort_index(kind="stable")
    return df


def _frame(parts: list[_cat._Part], divisions, kind: int, pretty_px: bool):
    import dask

    dd = _dd()
    meta = _meta(kind, pretty_px)
    # dask would turn the text columns into its own string type; the frame keeps the pandas
    # path's dtypes
    with dask.config.set({"dataframe.convert-string": False}):
        if not parts:
            return dd.from_pandas(meta, npartitions=1)
        return dd.from_map(_partition, parts, pretty_px=pretty_px, empty=meta, meta=meta,
                           divisions=divisions, label="orx-read", enforce_metadata=False)


def _pieces(part: _cat._Part, splits, first_ts: int, last_ts: int):
    """`part` cut at the ts_event values `splits` of its file, whose times run from `first_ts`
    to `last_ts`; each piece is returned with the lowest ts_event it can hold."""
    bounds = [first_ts, *splits, last_ts + 1]
    out = []
    for lo, hi in zip(bounds, bounds[1:]):
        lo, hi = max(lo, part.start), min(hi, part.end)
        if lo < hi:
            out.append((lo, part.range(lo, hi)))
    return out


def _assemble(pieces: list[tuple[int, _cat._Part]], last: int | None, kind, pretty_px):
    """Partitions from pieces in ts_event order; divisions when they do not overlap."""
    known = last is not None and all(pieces[k][1].end <= pieces[k + 1][0]
                                     for k in range(len(pieces) - 1))
    divisions = ([lo for lo, _ in pieces] + [last]
                 if known and pieces and last is not None else None)
    return _frame([p for _, p in pieces], divisions, kind, pretty_px)


def from_catalog(catalog: _cat.Catalog, params: RetrieveParams | str, *, pretty_px: bool = False):
    """The records `params` selects from `catalog`, as a dask DataFrame (see the module text)."""
    _dd()
    params = _cat._as_params(params)
    kind = _cat._kind_of(params.schema)
    plan = catalog._plan(params)
    entries = {str(f.path): f for f in catalog.files(params.dataset, params.schema)
               if str(f.path) in {p.path for p in plan}}
    pieces, last = [], None
    for part in plan:
        f = entries[part.path]
        if f.start is None or f.end is None:  # an empty day holds nothing to read
            continue
        pieces += _pieces(part, f.splits, f.start, f.end)
        last = min(f.end, part.end - 1)
    return _assemble(pieces, last, kind, pretty_px)


def read(paths_or_glob: str | os.PathLike | Sequence[str | os.PathLike], *,
         symbols: Sequence[str] | None = None, start: int | None = None, end: int | None = None,
         pretty_px: bool = False):
    """Stream files (paths or a glob pattern) as a dask DataFrame with one partition per file,
    or per piece of a large file; `symbols` (tickers), `start` and `end` (ns, end exclusive)
    filter every partition.

    Each file is read once here to find its time range and split points; divisions are known
    when the files do not overlap in time (a catalog's day files never do), unknown otherwise.
    Every partition is sorted by ts_event (records with equal times by instrument id).
    """
    _dd()
    np = _cat._numpy()
    if isinstance(paths_or_glob, (str, os.PathLike)):
        text = os.fspath(paths_or_glob)
        paths = sorted(_glob.glob(text)) if _glob.has_magic(text) else [text]
    else:
        paths = [os.fspath(p) for p in paths_or_glob]
    if not paths:
        raise FileNotFoundError(f"no stream file matches {paths_or_glob!r}")
    lo_all = max(start if start is not None else 0, 0)
    hi_all = end if end is not None else 1 << 64
    tickers = tuple(symbols) if symbols is not None else None
    files, kind = [], None
    for path in paths:
        meta, arr = _cat._load(path, None)
        k = _cat._kind_of(meta.schema)
        if kind is not None and k != kind:
            raise ValueError(f"{path} holds {meta.schema.value} records, unlike the files "
                             f"before it; one frame takes one record kind")
        kind = k
        ts, _ = _cat._ts_ids(arr)
        if len(ts):
            files.append((int(ts.min()), path, ts))
    files.sort(key=lambda f: f[0])
    pieces, last = [], None
    for first_ts, path, ts in files:
        assert kind is not None  # set by every file that holds records
        part = _cat._Part(path, kind, lo_all, hi_all, tickers)
        got = _pieces(part, _cat._split_points(np.sort(ts)), first_ts, int(ts.max()))
        pieces += got
        if got:
            last = min(int(ts.max()), hi_all - 1)
    return _assemble(pieces, last, kind, pretty_px)
