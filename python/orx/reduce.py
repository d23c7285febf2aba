"""Aggregates of tick data: OHLCV bars, VWAP and as-of samples.

Each function takes records - a catalog's query result, a reader or a batch of ``orx.open``,
or a structured array of records (the dtype ``to_numpy()`` gives) - and returns a small pandas
DataFrame, computed in one pass over the record bytes in C++.

- ``ohlcv(data, "1min")``: bars of the trades (records whose action is ``T``) per instrument
  and interval (intervals counted from the epoch, so daily bars start at UTC midnight): open,
  high, low, close (fixed-point integers, or floats with ``pretty_px=True``), volume (the sum of
  sizes) and the number of trades. Open is the earliest trade and close the latest; between
  trades of equal times, record order decides.
- ``vwap(data, "5min")``: the volume-weighted average price of the trades per instrument and
  interval (exact sums, one division), with volume and trades.
- ``asof(data, times)``: for each sample time and instrument, its last record at or before that
  time: the record's columns as ``to_pandas`` gives them, after a ``ts`` column with the sample
  time.

Rows are ordered by instrument id, then time (``asof``: by sample time, then instrument id).
Times are integer nanoseconds, or ``datetime64[ns, UTC]`` with ``datetimes=True``. The same
aggregates computed over pieces of the records and combined (what ``orx.dask`` does on a
cluster) are identical to these: the building blocks ``bar_table``, ``combine_bar_tables``,
``asof_table`` and ``combine_asof_tables`` are public for that.
"""

from __future__ import annotations

import datetime as _dt
from typing import TYPE_CHECKING, Any, Iterable, Sequence

import numpy as np

from . import _ext
from ._deps import require
from ._kinds import KINDS, kind_of_schema
from ._lib import Metadata
from ._params import to_ns

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["ohlcv", "vwap", "asof", "bar_table", "combine_bar_tables", "asof_table",
           "combine_asof_tables"]

# The columns of a bar table, as the core fills them.
BAR_COLUMNS = ("instrument_id", "start", "open", "high", "low", "close", "open_ts", "close_ts",
               "volume", "trades", "notional_hi", "notional_lo")
_BAR_DTYPES = ("<u4", "<u8", "<i8", "<i8", "<i8", "<i8", "<u8", "<u8", "<u8", "<u8", "<i8", "<u8")
_PRICES = ("open", "high", "low", "close")

BarTable = dict[str, np.ndarray]


def _pandas() -> Any:
    return require("pandas", "dataframe", "orx.reduce")


def _records(data: object) -> tuple[np.ndarray, Metadata | None]:
    """The records of `data` as a contiguous structured array, and their metadata if known."""
    meta = getattr(data, "metadata", None)
    if isinstance(data, np.ndarray):
        arr = data
    elif hasattr(data, "to_numpy"):
        arr = data.to_numpy()
    else:
        raise TypeError(f"expected records (a query result, a reader, a batch or a structured "
                        f"array of records), not {type(data).__name__}")
    if arr.dtype.names is None or "rtype" not in arr.dtype.names or arr.ndim != 1:
        raise TypeError("expected a one-dimensional structured array of records (the dtype "
                        "to_numpy() gives)")
    return np.ascontiguousarray(arr), meta if isinstance(meta, Metadata) else None


def _kind(arr: np.ndarray) -> int:
    if not len(arr):
        return 0
    rtypes = arr["rtype"]
    kind = int(rtypes[0])
    if kind not in KINDS or (rtypes != kind).any():
        raise ValueError("the records must be of one kind with a layout")
    return kind


def _interval_ns(interval: object) -> int:
    if isinstance(interval, bool):
        raise TypeError("the interval must be a duration, not bool")
    if isinstance(interval, int):
        ns = interval
    elif isinstance(interval, _dt.timedelta):
        ns = (interval.days * 86_400 + interval.seconds) * 10**9 + interval.microseconds * 1000
    elif isinstance(interval, (str, np.timedelta64)) or hasattr(interval, "value"):
        ns = int(_pandas().Timedelta(interval).value)
    else:
        raise TypeError(f"the interval must be a duration ('1min', a timedelta, nanoseconds), "
                        f"not {type(interval).__name__}")
    if ns <= 0:
        raise ValueError(f"the interval must be positive, not {interval!r}")
    return ns


def interval_ns(interval: object) -> int:
    """The nanoseconds of an interval as the functions here take it ('1min', a timedelta,
    nanoseconds); TypeError or ValueError saying what is wrong otherwise."""
    return _interval_ns(interval)


def sample_times(times: object) -> np.ndarray:
    """Ascending sample times as the functions here take them, as uint64 nanoseconds."""
    return _sample_times(times)


# --- bars ------------------------------------------------------------------------------------


def _bar_table(columns: Sequence[Any]) -> BarTable:
    return {name: np.frombuffer(c, dtype=dt)
            for name, c, dt in zip(BAR_COLUMNS, columns, _BAR_DTYPES)}


def bar_table(data: object, interval: object = "1min") -> BarTable:
    """The bar table of the trades among the records `data`: a column per name of
    ``BAR_COLUMNS``, a row per instrument and interval."""
    arr, _ = _records(data)
    kind = _kind(arr)
    if not len(arr):
        return _bar_table([b""] * len(BAR_COLUMNS))
    if kind not in (1, 3):
        raise ValueError(f"bars are made from MBP-1 or trade records, not {KINDS[kind].name}")
    return _bar_table(_ext.trade_bars(arr, kind, arr.dtype.itemsize, _interval_ns(interval)))


def combine_bar_tables(tables: Iterable[BarTable]) -> BarTable:
    """The bar table of the records whose consecutive pieces (in record order) gave `tables`."""
    tables = list(tables)
    cols = [np.concatenate([t[name] for t in tables]) if tables else np.empty(0, dt)
            for name, dt in zip(BAR_COLUMNS, _BAR_DTYPES)]
    return _bar_table(_ext.combine_bars([np.ascontiguousarray(c) for c in cols]))


def _time_column(values: np.ndarray, datetimes: bool) -> Any:
    if (values >= np.uint64(1 << 63)).any():
        raise OverflowError("a time past 2262-04-11 does not fit a signed 64-bit nanosecond count")
    ns = values.astype(np.int64)
    if not datetimes:
        return ns
    pd = _pandas()
    return pd.DatetimeIndex(ns.view("M8[ns]"), tz="UTC")


def _symbols(ids: np.ndarray, meta: Metadata | None) -> list[str | None]:
    tickers = meta.mappings.map if meta is not None else {}
    return [tickers.get(i) for i in ids.tolist()]


def _bars_head(table: BarTable, meta: Metadata | None, datetimes: bool) -> dict[str, Any]:
    return {"ts": _time_column(table["start"], datetimes),
            "instrument_id": table["instrument_id"].astype(np.int64),
            "symbol": _symbols(table["instrument_id"], meta)}


def ohlcv_frame(table: BarTable, metadata: Metadata | None = None, *, pretty_px: bool = False,
                datetimes: bool = False) -> pd.DataFrame:
    """The OHLCV frame of a bar table (see ``ohlcv``)."""
    pd = _pandas()
    cols = _bars_head(table, metadata, datetimes)
    for name in _PRICES:
        cols[name] = table[name] / 1e9 if pretty_px else table[name].copy()
    cols["volume"] = table["volume"].copy()
    cols["trades"] = table["trades"].astype(np.int64)
    return pd.DataFrame(cols)


def vwap_frame(table: BarTable, metadata: Metadata | None = None, *,
               datetimes: bool = False) -> pd.DataFrame:
    """The VWAP frame of a bar table (see ``vwap``)."""
    pd = _pandas()
    cols = _bars_head(table, metadata, datetimes)
    # the exact 128-bit sum of price x size over the exact volume in nanounits, rounded once
    notional = table["notional_hi"].astype(object) * (1 << 64) + table["notional_lo"].astype(object)
    volume = table["volume"]
    cols["vwap"] = np.array([n / (v * 1_000_000_000) if v else float("nan")
                             for n, v in zip(notional.tolist(), volume.tolist())],
                            dtype=np.float64)
    cols["volume"] = volume.copy()
    cols["trades"] = table["trades"].astype(np.int64)
    return pd.DataFrame(cols)


def ohlcv(data: object, interval: object = "1min", *, pretty_px: bool = False,
          datetimes: bool = False) -> pd.DataFrame:
    """OHLCV bars of the trades among `data` per instrument and interval: ``ts`` (the interval's
    start), ``instrument_id``, ``symbol``, ``open``, ``high``, ``low``, ``close``, ``volume``,
    ``trades``."""
    return ohlcv_frame(bar_table(data, interval), getattr(data, "metadata", None),
                       pretty_px=pretty_px, datetimes=datetimes)


def vwap(data: object, interval: object = "1min", *, datetimes: bool = False) -> pd.DataFrame:
    """The volume-weighted average price of the trades among `data` per instrument and
    interval: ``ts``, ``instrument_id``, ``symbol``, ``vwap`` (a float price), ``volume``,
    ``trades``."""
    return vwap_frame(bar_table(data, interval), getattr(data, "metadata", None),
                      datetimes=datetimes)


# --- as-of samples ---------------------------------------------------------------------------


def _sample_times(times: object) -> np.ndarray:
    if isinstance(times, np.ndarray) and times.dtype.kind == "M":
        ns = times.astype("M8[ns]").view(np.int64)
    elif hasattr(times, "asi8"):  # a pandas DatetimeIndex (its nanoseconds are UTC)
        ns = np.asarray(times.asi8)
    elif isinstance(times, (str, bytes)) or not isinstance(times, Iterable):
        raise TypeError("times must be a sequence of times")
    else:
        ns = np.array([to_ns(t, "sample time") for t in times], dtype=np.int64)
    if (ns < 0).any():
        raise ValueError("sample times must not be before 1970")
    if (ns[1:] < ns[:-1]).any():
        raise ValueError("sample times must be ascending")
    return np.ascontiguousarray(ns.astype(np.uint64))


def asof_table(data: object, times: object) -> dict[str, np.ndarray]:
    """For each sample time and instrument, its last record at or before the time: columns
    ``sample`` (the time's position), ``instrument_id``, ``ts_event`` and ``record`` (the
    record's bytes, every one of them, as a ``V{size}`` item)."""
    arr, _ = _records(data)
    kind = _kind(arr)
    ns = _sample_times(times)
    raw = arr.view(np.dtype((np.void, arr.dtype.itemsize)))  # copies keep the padding bytes
    if not len(arr):
        return {"sample": np.empty(0, np.uint32), "instrument_id": np.empty(0, np.uint32),
                "ts_event": np.empty(0, np.uint64), "record": raw[:0]}
    sample, ids, index = _ext.last_at(arr, kind, arr.dtype.itemsize, ns)
    rows = np.frombuffer(index, dtype=np.uint64).astype(np.intp)
    return {"sample": np.frombuffer(sample, dtype=np.uint32),
            "instrument_id": np.frombuffer(ids, dtype=np.uint32),
            "ts_event": arr["ts_event"][rows], "record": raw[rows]}


def combine_asof_tables(tables: Iterable[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """The as-of table of the records whose consecutive pieces (in record order, sampled at the
    same times) gave `tables`: per sample and instrument, the latest record (between equal
    times, the later piece's)."""
    tables = list(tables)
    if not tables:
        raise ValueError("no as-of table to combine")
    cat = {k: np.concatenate([t[k] for t in tables]) for k in tables[0]}
    position = np.arange(len(cat["sample"]))
    order = np.lexsort((position, cat["ts_event"], cat["instrument_id"], cat["sample"]))
    key = cat["sample"][order].astype(np.uint64) << np.uint64(32) | cat["instrument_id"][order]
    last = np.append(key[1:] != key[:-1], True) if len(key) else np.empty(0, bool)
    keep = order[last]
    return {k: v[keep] for k, v in cat.items()}


def asof_frame(table: dict[str, np.ndarray], times: object, metadata: Metadata | None, *,
               pretty_ts: bool = False, pretty_px: bool = False,
               datetimes: bool = False) -> pd.DataFrame:
    """The as-of frame of an as-of table (see ``asof``)."""
    from ._reader import open as open_stream

    pd = _pandas()
    ns = _sample_times(times)
    records = table["record"]
    if metadata is None:
        raise ValueError("as-of samples need the records' metadata (pass a query result, a "
                         "reader or a batch)")
    stream = metadata.encode() + np.ascontiguousarray(records).tobytes()
    if len(records):
        df = open_stream(stream).to_pandas(pretty_ts, pretty_px)
    else:  # the columns and dtypes of one record of the schema's kind, without the record
        kind = kind_of_schema(metadata.schema)
        if kind is None:
            raise ValueError(f"no record layout for schema {metadata.schema.value!r}")
        empty = bytearray(kind.size)
        empty[0], empty[1] = kind.size // 4, kind.rtype
        df = open_stream(metadata.encode() + bytes(empty)).to_pandas(pretty_ts, pretty_px)
        df = df.iloc[:0]
    df.insert(0, "ts", _time_column(ns[table["sample"].astype(np.intp)], datetimes))
    return df


def asof(data: object, times: object, *, pretty_ts: bool = False, pretty_px: bool = False,
         datetimes: bool = False) -> pd.DataFrame:
    """For each of the ascending sample `times` and each instrument with a record at or before
    it, that instrument's last such record (the last quote, for MBP-1 or BBO records): a ``ts``
    column with the sample time, then the record's columns as ``to_pandas(pretty_ts,
    pretty_px)`` gives them."""
    return asof_frame(asof_table(data, times), times, getattr(data, "metadata", None),
                      pretty_ts=pretty_ts, pretty_px=pretty_px, datetimes=datetimes)
