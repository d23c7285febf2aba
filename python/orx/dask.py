"""Dask DataFrames over stream files and catalogs (the optional extra ``orx[dask]``).

One partition per day file, or per piece of a large one; the frame is indexed by ``ts_event``
(integer nanoseconds, or ``datetime64[ns, UTC]`` with ``datetimes=True``) with known divisions,
and its columns are those of ``to_pandas(pretty_ts=False, pretty_px=...)`` with exactly those
dtypes. The symbol and time filters travel into every partition, which reads its file (or its
piece of it) on the worker: partitions carry the location (a path or a URL with its storage
options), the blocks to read and plain values only, never data, so any scheduler, threads or
processes or machines sharing the files or the object store, can run them.

``ohlcv``, ``vwap`` and ``asof`` compute ``orx.reduce``'s aggregates of a query result on the
workers: each partition's records become a small table where they are read, and only the
tables travel, to be combined into exactly the single-process answer.
"""

from __future__ import annotations

import glob as _glob
import os
from typing import Any, Sequence

from ._deps import install_hint
from ._kinds import KINDS
from .catalog import Part, Plan

__all__ = ["read", "from_catalog", "from_plan", "ohlcv", "vwap", "asof"]


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


def _records_of(piece: Plan) -> tuple[Any, Any]:
    """The metadata (None when the day has gone) and records of a plan of one part."""
    (part,) = piece.parts
    return part.read()


def _partition(piece: Plan, pretty_px: bool, empty, datetimes: bool = False,
               columns: list[str] | None = None) -> Any:
    """The rows of a plan of one piece, as the pandas path gives them, indexed by ts_event;
    `columns`: only those columns (dask's column projection passes them), built alone where
    they are plain fields of the records."""
    import pandas as pd
    from ._reader import open as open_stream

    if columns is not None:
        empty = empty[list(columns)]
    meta, arr = _records_of(piece)
    if meta is None or not len(arr):
        return empty.copy()
    if columns is not None and not (pretty_px and any(
            _ROLES[piece.kind].get(c) == "price" for c in columns)):
        return _fields(arr, piece.kind, meta.mappings.map, empty, datetimes)
    head = meta.encode()
    buf = bytearray(len(head) + arr.nbytes)  # the stream, made with one copy of the records
    buf[:len(head)] = head
    memoryview(buf)[len(head):] = memoryview(arr).cast("B")
    df = open_stream(buf).to_pandas(False, pretty_px, datetimes=datetimes)
    del buf
    df = df.set_index("ts_event")
    for name in empty.columns:
        if name not in df.columns:  # no row of this part has a ticker
            df[name] = pd.Series(None, index=df.index, dtype=empty[name].dtype)
    if list(df.columns) != list(empty.columns):
        df = df[list(empty.columns)]
    return df


class _Roles(dict):
    """rtype -> {column: role} of the record layouts, filled on first use."""

    def __missing__(self, kind: int) -> dict[str, str]:
        self[kind] = {c[0]: c[4] for c in KINDS[kind].columns}
        return self[kind]


_ROLES = _Roles()
_LETTERS = [chr(i) for i in range(256)]


def _fields(arr: Any, kind: int, tickers: dict[int, str], empty: Any, datetimes: bool) -> Any:
    """The columns of `empty` (none shown as float prices) straight from the records' fields,
    with the dtypes of `empty`, indexed by ts_event."""
    import numpy as np
    import pandas as pd

    from ._frames import text_column
    from ._kinds import record_dtype

    rec = arr.view(record_dtype(kind))
    roles = _ROLES[kind]

    out = {}
    for name in empty.columns:
        dtype = empty[name].dtype
        if name == "symbol":
            ids, codes = np.unique(rec["instrument_id"], return_inverse=True)
            out[name] = text_column(codes, [tickers.get(i) for i in ids.tolist()])
        elif roles[name] == "letter":
            out[name] = text_column(rec[name].view(np.uint8), _LETTERS)
        elif datetimes and roles[name] == "time":
            out[name] = _utc(rec[name], name)
        else:
            out[name] = rec[name].astype(dtype)
    index = pd.Index(_utc(rec["ts_event"]) if datetimes else rec["ts_event"].astype(np.int64),
                     name="ts_event")
    df = pd.DataFrame({k: (v.values if isinstance(v, pd.Series) else v)
                       for k, v in out.items()}, index=index, columns=list(empty.columns))
    return df


def _utc(values: Any, name: str = "ts_event") -> Any:
    """Nanoseconds as datetime64[ns, UTC], as the frames make them."""
    from ._frames import utc_times

    return utc_times(values, name)


def _frame(plan: Plan, pieces: list[Part], divisions, pretty_px: bool, datetimes: bool = False,
           columns: Sequence[str] | None = None):
    import dask
    import pandas as pd

    dd = _dd()
    meta = _meta(plan.kind, pretty_px)
    if datetimes:
        meta = meta.copy()
        if "ts_recv" in meta.columns:
            meta["ts_recv"] = _utc(meta["ts_recv"], "ts_recv")
        meta.index = pd.DatetimeIndex(_utc(meta.index), name="ts_event")
        if divisions is not None:
            divisions = list(_utc(divisions))
    chosen = _columns(meta, columns)
    # dask would turn the text columns into its own string type; the frame keeps the pandas
    # path's dtypes
    with dask.config.set({"dataframe.convert-string": False}):
        if not pieces:
            return dd.from_pandas(meta if chosen is None else meta[chosen], npartitions=1)
        # `columns` is also how dask's optimiser asks for fewer columns
        return dd.from_map(_partition, [plan.with_parts([p]) for p in pieces],
                           pretty_px=pretty_px, empty=meta, datetimes=datetimes, meta=meta,
                           columns=chosen, divisions=divisions, label="orx-read",
                           enforce_metadata=False)


def _columns(meta: Any, columns: Sequence[str] | None) -> list[str] | None:
    if columns is None:
        return None
    if isinstance(columns, str):
        raise TypeError("columns must be a list of column names, not a str")
    chosen = list(dict.fromkeys(columns))
    unknown = [c for c in chosen if c not in meta.columns]
    if unknown:
        what = "the index, not a column" if unknown[0] == "ts_event" else "not a column"
        raise ValueError(f"{unknown[0]!r} is {what}; the columns are "
                         f"{', '.join(meta.columns)}")
    return chosen


def _pieces(plan: Plan) -> list[Part]:
    return sorted((p for part in plan.parts for p in part.pieces()), key=lambda p: p.start)


def from_plan(plan: Plan, *, pretty_px: bool = False, datetimes: bool = False,
              columns: Sequence[str] | None = None):
    """The records `plan` selects, as a dask DataFrame: one partition per part, or per piece of
    a part cut at its file's split points, indexed by ts_event, in the order of the pieces'
    first times. Divisions are known when the pieces do not overlap in time (a catalog's day
    files never do). `datetimes`: the index and ts_recv as datetime64[ns, UTC], and datetime
    divisions. `columns`: only these columns, built alone on the workers (dask asks for fewer
    by itself when a computation uses fewer)."""
    _dd()
    pieces = _pieces(plan)
    divisions = None
    if pieces and all(a.end <= b.start for a, b in zip(pieces, pieces[1:])):
        last = pieces[-1]
        assert last.last is not None
        divisions = [p.start for p in pieces] + [min(last.last, last.end - 1)]
    return _frame(plan, pieces, divisions, pretty_px, datetimes, columns)


def from_catalog(catalog, params, *, pretty_px: bool = False, datetimes: bool = False,
                 columns: Sequence[str] | None = None):
    """The records `params` selects from `catalog`, as a dask DataFrame (see the module text)."""
    _dd()
    return from_plan(catalog.plan(params), pretty_px=pretty_px, datetimes=datetimes,
                     columns=columns)


def read(paths_or_glob: str | os.PathLike | Sequence[str | os.PathLike], *,
         symbols: Sequence[str] | None = None, start: int | None = None, end: int | None = None,
         pretty_px: bool = False, datetimes: bool = False, columns: Sequence[str] | None = None):
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
                          tuple(parts)), pretty_px=pretty_px, datetimes=datetimes,
                     columns=columns)


# --- aggregates on the workers ---------------------------------------------------------------


def _plan_of(source: Any) -> Plan:
    plan = getattr(source, "plan", source)
    if not isinstance(plan, Plan):
        raise TypeError(f"expected a query result or a plan, not {type(source).__name__}")
    return plan


def _structured(piece: Plan) -> tuple[Any, dict[int, str]]:
    """The records of a plan of one piece as a structured array, and their tickers."""
    import numpy as np

    from ._kinds import record_dtype

    meta, arr = _records_of(piece)
    if meta is None or not len(arr):
        return np.empty(0, record_dtype(piece.kind)), {}
    return arr.view(record_dtype(piece.kind)), meta.mappings.map


def _bars_of(piece: Plan, interval: Any) -> tuple[Any, dict[int, str]]:
    from .reduce import bar_table

    arr, tickers = _structured(piece)
    table = bar_table(arr, interval)
    return table, {i: tickers[i] for i in set(table["instrument_id"].tolist()) if i in tickers}


def _asof_of(piece: Plan, times: Any) -> tuple[Any, dict[int, str]]:
    from .reduce import asof_table

    arr, tickers = _structured(piece)
    table = asof_table(arr, times)
    return table, {i: tickers[i] for i in set(table["instrument_id"].tolist()) if i in tickers}


def _metadata(plan: Plan, pieces: list[tuple[Any, dict[int, str]]], names: list[str]) -> Any:
    from ._lib import Metadata, SymbolMap
    from .catalog import merge_ticker

    maps: dict[int, str] = {}
    seen: dict[int, str] = {}
    for (_, tickers), name in zip(pieces, names):
        for i in sorted(tickers):
            merge_ticker(maps, seen, i, tickers[i], name)
    return Metadata(plan.schema, plan.dataset, plan.start, plan.end, SymbolMap(maps))


def _finish_bars(pieces: list[tuple[Any, dict[int, str]]], plan: Plan, names: list[str],
                 what: str, pretty_px: bool, datetimes: bool) -> Any:
    from . import reduce

    table = reduce.combine_bar_tables([t for t, _ in pieces])
    meta = _metadata(plan, pieces, names)
    if what == "vwap":
        return reduce.vwap_frame(table, meta, datetimes=datetimes)
    return reduce.ohlcv_frame(table, meta, pretty_px=pretty_px, datetimes=datetimes)


def _finish_asof(pieces: list[tuple[Any, dict[int, str]]], plan: Plan, names: list[str],
                 times: Any, pretty_ts: bool, pretty_px: bool, datetimes: bool) -> Any:
    from . import reduce

    if not pieces:
        import numpy as np

        from ._kinds import record_dtype

        table = reduce.asof_table(np.empty(0, record_dtype(plan.kind)), times)
    else:
        table = reduce.combine_asof_tables([t for t, _ in pieces])
    return reduce.asof_frame(table, times, _metadata(plan, pieces, names), pretty_ts=pretty_ts,
                             pretty_px=pretty_px, datetimes=datetimes)


def _reduction(source: Any, each: Any, finish: Any, arg: Any, *finish_args: Any):
    import dask

    _dd()
    plan = _plan_of(source)
    pieces = _pieces(plan)
    tables = [dask.delayed(each, pure=True)(plan.with_parts([p]), arg,
                                            dask_key_name=f"orx-{each.__name__[1:]}-{k}-"
                                            f"{dask.base.tokenize(plan, arg)}")
              for k, p in enumerate(pieces)]
    names = [os.path.basename(p.location) for p in pieces]
    return dask.delayed(finish, pure=True)(tables, plan, names, *finish_args)


def ohlcv(source: Any, interval: Any = "1min", *, pretty_px: bool = False,
          datetimes: bool = False):
    """``orx.reduce.ohlcv`` of a query result (or plan), computed on the workers: a dask
    Delayed whose ``compute()`` gives the very frame ``orx.reduce.ohlcv(result, interval)``
    gives. Each partition's bar table is made where its records are read; only the tables
    travel."""
    from .reduce import interval_ns

    return _reduction(source, _bars_of, _finish_bars, interval_ns(interval), "ohlcv", pretty_px,
                      datetimes)


def vwap(source: Any, interval: Any = "1min", *, datetimes: bool = False):
    """``orx.reduce.vwap`` of a query result (or plan), computed on the workers (see
    ``ohlcv``)."""
    from .reduce import interval_ns

    return _reduction(source, _bars_of, _finish_bars, interval_ns(interval), "vwap", False,
                      datetimes)


def asof(source: Any, times: Any, *, pretty_ts: bool = False, pretty_px: bool = False,
         datetimes: bool = False):
    """``orx.reduce.asof`` of a query result (or plan) at the ascending sample `times`: for
    each time and instrument, its last record at or before it (the last quote), computed on
    the workers (see ``ohlcv``)."""
    from .reduce import sample_times

    ns = sample_times(times).astype("int64").view("M8[ns]")  # checked, and cheap to send
    return _reduction(source, _asof_of, _finish_asof, ns, ns, pretty_ts, pretty_px, datetimes)
