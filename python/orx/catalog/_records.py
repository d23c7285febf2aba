"""Records inside the catalog: a day's records are a numpy array of opaque items of the kind's
size (dtype V96 for MBP-1); the header fields the catalog needs are read through a view. Days
are UTC days of ts_event."""

from __future__ import annotations

import datetime as _dt
from typing import Any

from .._deps import require
from .._kinds import KINDS, kind_of_schema
from .._lib import RType, Schema

NS_PER_DAY = 86_400 * 1_000_000_000
_EPOCH = _dt.date(1970, 1, 1)


def numpy() -> Any:
    return require("numpy", "dataframe", "orx.Catalog")


def kind_of(schema: Schema) -> int:
    """The rtype of the records of `schema`; ValueError for a schema without a layout."""
    k = kind_of_schema(schema)
    if k is None:
        raise ValueError(f"schema {schema.value} has no record layout a catalog can store")
    return k.rtype


def size_of(kind: int) -> int:
    return KINDS[kind].size


def kind_text(kind: int) -> str:
    return RType.from_int(kind).value


def header_dtype(size: int) -> Any:
    return numpy().dtype({"names": ["length", "rtype", "instrument_id", "ts_event"],
                          "formats": ["u1", "u1", "<u4", "<u8"], "offsets": [0, 1, 4, 8],
                          "itemsize": size})


def records(buf: Any, kind: int, where: str) -> Any:
    """The record bytes `buf` as an array of items of `kind`'s size; every header is checked."""
    np = numpy()
    size = size_of(kind)
    mv = memoryview(buf).cast("B")
    if len(mv) % size:
        raise ValueError(f"{where}: {len(mv)} record bytes are not a whole number of "
                         f"{size}-byte records of kind {kind_text(kind)}")
    arr = np.frombuffer(mv, dtype=f"V{size}")
    # length and rtype are the first two bytes of every record: one comparison checks both
    first2 = arr.view(np.dtype({"names": ["h"], "formats": ["<u2"], "offsets": [0],
                                "itemsize": size}))["h"]
    bad = first2 != (size // 4 | kind << 8)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{where}: record {i} has length {int(first2[i]) & 255} and rtype "
                         f"{int(first2[i]) >> 8}; every record must be of kind "
                         f"{kind_text(kind)} ({size // 4} words)")
    return arr


def ts_ids(arr: Any) -> tuple[Any, Any]:
    """The ts_event and instrument_id columns of records, as views."""
    hd = arr.view(header_dtype(arr.dtype.itemsize))
    return hd["ts_event"], hd["instrument_id"]


def empty(kind: int) -> Any:
    return numpy().empty(0, dtype=f"V{size_of(kind)}")


def concat(arrs: list[Any], kind: int) -> Any:
    if not arrs:
        return empty(kind)
    return arrs[0] if len(arrs) == 1 else numpy().concatenate(arrs)


def instrument_order(ts: Any, ids: Any) -> Any:
    """The order that groups records by instrument id, each instrument's in ts_event order
    (stable); None when they are so already. Records in time order (the usual input) need only
    a stable sort by id."""
    np = numpy()
    if len(ts) < 2:
        return None
    rising = ts[1:] >= ts[:-1]
    if (ids[1:] >= ids[:-1]).all() and rising[ids[1:] == ids[:-1]].all():
        return None
    if rising.all():
        return np.argsort(ids, kind="stable")
    return np.lexsort((ts, ids))


def by_instrument(arr: Any) -> Any:
    """Records grouped by instrument id, each instrument's in ts_event order (stable)."""
    order = instrument_order(*ts_ids(arr))
    return arr if order is None else arr[order]


def by_time(arr: Any) -> Any:
    """Records in ts_event order, equal times by instrument id, then as they were (stable)."""
    ts, ids = ts_ids(arr)
    if len(ts) > 1 and ((ts[1:] < ts[:-1]) | ((ts[1:] == ts[:-1]) & (ids[1:] < ids[:-1]))).any():
        return arr[numpy().lexsort((ids, ts))]
    return arr


def day_of(ts: int) -> _dt.date:
    return _EPOCH + _dt.timedelta(days=ts // NS_PER_DAY)


def day_start(day: _dt.date | str) -> int:
    if isinstance(day, str):
        day = _dt.date.fromisoformat(day)
    return (day - _EPOCH).days * NS_PER_DAY
