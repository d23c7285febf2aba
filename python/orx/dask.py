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
from typing import Any, Sequence

from ._deps import install_hint
from ._kinds import KINDS
from .catalog import Part, Plan

__all__ = ["read", "from_catalog", "from_plan"]


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


def _partition(piece: Plan, pretty_px: bool, empty) -> Any:
    """The rows of a plan of one piece, as the pandas path gives them, indexed by ts_event."""
    import pandas as pd
    df = piece.result().to_pandas(False, pretty_px)
    if not len(df):
        return empty.copy()
    df = df.set_index("ts_event")
    for name in empty.columns:
        if name not in df.columns:  # no row of this part has a ticker
            df[name] = pd.Series(None, index=df.index, dtype=empty[name].dtype)
    return df[list(empty.columns)]


def _frame(plan: Plan, pieces: list[Part], divisions, pretty_px: bool):
    import dask

    dd = _dd()
    meta = _meta(plan.kind, pretty_px)
    # dask would turn the text columns into its own string type; the frame keeps the pandas
    # path's dtypes
    with dask.config.set({"dataframe.convert-string": False}):
        if not pieces:
            return dd.from_pandas(meta, npartitions=1)
        return dd.from_map(_partition, [plan.with_parts([p]) for p in pieces],
                           pretty_px=pretty_px, empty=meta, meta=meta, divisions=divisions,
                           label="orx-read", enforce_metadata=False)


def from_plan(plan: Plan, *, pretty_px: bool = False):
    """The records `plan` selects, as a dask DataFrame: one partition per part, or per piece of
    a part cut at its file's split points, indexed by ts_event, in the order of the pieces'
    first times. Divisions are known when the pieces do not overlap in time (a catalog's day
    files never do)."""
    _dd()
    pieces = sorted((p for part in plan.parts for p in part.pieces()), key=lambda p: p.start)
    divisions = None
    if pieces and all(a.end <= b.start for a, b in zip(pieces, pieces[1:])):
        last = pieces[-1]
        assert last.last is not None
        divisions = [p.start for p in pieces] + [min(last.last, last.end - 1)]
    return _frame(plan, pieces, divisions, pretty_px)


def from_catalog(catalog, params, *, pretty_px: bool = False):
    """The records `params` selects from `catalog`, as a dask DataFrame (see the module text)."""
    _dd()
    return from_plan(catalog.plan(params), pretty_px=pretty_px)


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
    from .catalog import plan_stream_file

    if isinstance(paths_or_glob, (str, os.PathLike)):
        text = os.fspath(paths_or_glob)
        paths = sorted(_glob.glob(text)) if _glob.has_magic(text) else [text]
    else:
        paths = [os.fspath(p) for p in paths_or_glob]
    if not paths:
        raise FileNotFoundError(f"no stream file matches {paths_or_glob!r}")
    lo = max(start if start is not None else 0, 0)
    hi = end if end is not None else 1 << 64
    tickers = tuple(symbols) if symbols is not None else None
    parts, meta, kind = [], None, None
    for path in paths:
        part, m, k = plan_stream_file(path, tickers, lo, hi)
        if kind is not None and k != kind:
            raise ValueError(f"{path} holds {m.schema.value} records, unlike the files before "
                             f"it; one frame takes one record kind")
        meta, kind = m, k
        if part is not None:
            parts.append(part)
    assert meta is not None and kind is not None
    return from_plan(Plan(meta.schema, meta.dataset, lo, min(hi, (1 << 64) - 1), kind,
                          tuple(parts)), pretty_px=pretty_px)
