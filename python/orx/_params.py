"""Requests from keywords: the one place that turns what people type (dates in many forms,
schema and dataset names) into a ``RetrieveParams``. ``Catalog.query`` and the client's
calls take the same keywords through it."""

from __future__ import annotations

import datetime as _dt
import re
from typing import Any

from ._lib import Dataset, RetrieveParams, Schema, Stype

_INT64 = (-(1 << 63), (1 << 63) - 1)
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.UTC)
# ISO 8601 as people write it: a date, optionally a time (T or a space) with optional seconds
# and up to nine fractional digits, optionally Z or an offset (+HH:MM, +HHMM, +HH).
_ISO = re.compile(
    r"(?P<y>\d{4})-(?P<mo>\d{2})-(?P<d>\d{2})"
    r"(?:[T ](?P<h>\d{2}):(?P<mi>\d{2})(?::(?P<s>\d{2})(?:[.,](?P<f>\d{1,9}))?)?)?"
    r"(?P<tz>Z|[+-]\d{2}(?::?\d{2})?)?",
    re.ASCII | re.IGNORECASE,
)


def _names(enum: Any, members: list[Any]) -> dict[str, Any]:
    """Every way a member may be named, folded to lower case: its text value ("mbp-1"), its
    attribute name ("MBP1", "OHLCV1_S") and its JSON name ("Mbp1", "Ohlcv1S")."""
    out: dict[str, Any] = {}
    for attr in vars(enum):
        m = getattr(enum, attr)
        if isinstance(m, enum) and attr.isupper():
            for n in (m.value, attr, m.to_json(), m.name):
                out[n.lower()] = m
            members.append(m)
    return out


_SCHEMAS: list[Schema] = []
_DATASETS: list[Dataset] = []
_STYPES: list[Stype] = []
_MEMBERS: dict[Any, list[Any]] = {Schema: _SCHEMAS, Dataset: _DATASETS, Stype: _STYPES}
_BY_NAME = {
    Schema: _names(Schema, _SCHEMAS),
    Dataset: _names(Dataset, _DATASETS),
    Stype: _names(Stype, _STYPES),
}


def members(enum: Any) -> list[Any]:
    """The members of `enum` (Schema, Dataset or Stype), in code order."""
    return sorted(_MEMBERS[enum], key=int)


def member(enum: Any, value: object, what: str) -> Any:
    """`value` as a member of `enum`: a member, or any of its names (case-insensitive)."""
    if isinstance(value, enum):
        return value
    if isinstance(value, str):
        m = _BY_NAME[enum].get(value.strip().lower())
        if m is not None:
            return m
        known: list[Any] = _MEMBERS[enum]
        raise ValueError(f"unknown {what} {value!r}: expected one of "
                         f"{', '.join(repr(k.to_json()) for k in known)}")
    raise TypeError(f"{what} must be a {enum.__name__} or its name, not {type(value).__name__}")


def _iso_ns(text: str, what: str) -> int:
    m = _ISO.fullmatch(text.strip())
    if m is None:
        raise ValueError(f"{what}: {text!r} is not an ISO 8601 date or time (such as "
                         f"'2025-12-01', '2025-12-01T14:30:00.5Z' or "
                         f"'2025-12-01 09:30-05:00')")
    try:
        day = _dt.date(int(m["y"]), int(m["mo"]), int(m["d"]))
        clock = _dt.time(int(m["h"] or 0), int(m["mi"] or 0), int(m["s"] or 0))
    except ValueError as exc:
        raise ValueError(f"{what}: {text!r} is not a valid date or time ({exc})") from None
    offset = 0
    tz = m["tz"]
    if tz and tz.upper() != "Z":
        digits = tz[1:].replace(":", "")
        hours, minutes = int(digits[:2]), int(digits[2:] or 0)
        if hours > 23 or minutes > 59:
            raise ValueError(f"{what}: {text!r} has an offset out of range")
        offset = (hours * 60 + minutes) * 60 * (1 if tz[0] == "+" else -1)
    seconds = ((day - _EPOCH.date()).days * 86_400 + clock.hour * 3600 + clock.minute * 60
               + clock.second - offset)
    return seconds * 1_000_000_000 + int((m["f"] or "").ljust(9, "0"))


def to_ns(value: object, what: str = "time") -> int:
    """Nanoseconds since the epoch (UTC) of `value`: an ISO 8601 text (a date, a time with
    T or a space, Z or an offset, fractional seconds), a ``datetime.date``, a
    ``datetime.datetime`` (naive means UTC), a ``pandas.Timestamp``, a ``numpy.datetime64`` or
    an integer count of nanoseconds."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be a date, a time or nanoseconds, not bool")
    if isinstance(value, int):
        ns = value
    elif isinstance(value, str):
        ns = _iso_ns(value, what)
    elif hasattr(value, "value") and hasattr(value, "tz_convert"):  # pandas.Timestamp
        if value.tzinfo is None:  # type: ignore[attr-defined]
            ns = int(value.value)  # type: ignore[attr-defined]
        else:
            ns = int(value.tz_convert("UTC").value)  # type: ignore[attr-defined]
    elif isinstance(value, _dt.datetime):
        t = value if value.tzinfo is not None else value.replace(tzinfo=_dt.UTC)
        delta = t - _EPOCH
        ns = ((delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds) * 1000
    elif isinstance(value, _dt.date):
        ns = (value - _EPOCH.date()).days * 86_400 * 1_000_000_000
    elif type(value).__name__ == "datetime64":
        import numpy as np

        ns = int(np.datetime64(value, "ns").astype("int64"))  # type: ignore[call-overload]
    else:
        raise TypeError(f"{what} must be an ISO 8601 text, a date, a datetime, a "
                        f"pandas.Timestamp or integer nanoseconds, not {type(value).__name__}")
    if not _INT64[0] <= ns <= _INT64[1]:
        raise ValueError(f"{what} {value!r} is out of range: nanoseconds since 1970 must fit "
                         f"a signed 64-bit integer (1677-09-21 to 2262-04-11)")
    return ns


def as_params(params: object = None, /, **keywords: Any) -> RetrieveParams:
    """A ``RetrieveParams`` from one (or its JSON text), or from the keywords ``dataset``,
    ``schema``, ``symbols``, ``start``, ``end`` and ``stype_in`` (default "raw")."""
    if params is not None:
        if keywords:
            raise TypeError("give a RetrieveParams (or its JSON text) or keywords, not both")
        if isinstance(params, RetrieveParams):
            return params
        if isinstance(params, str):
            return RetrieveParams.from_json(params)
        raise TypeError(f"expected RetrieveParams or its JSON text, got {type(params).__name__}")
    allowed = ("dataset", "schema", "symbols", "start", "end", "stype_in")
    unknown = [k for k in keywords if k not in allowed]
    if unknown:
        raise TypeError(f"unexpected keyword {unknown[0]!r}; a request takes "
                        f"{', '.join(allowed)}")
    missing = [k for k in ("dataset", "schema", "start", "end") if k not in keywords]
    if missing:
        raise TypeError(f"a request needs {', '.join(missing)}")
    symbols = keywords.get("symbols") or []
    if isinstance(symbols, str):
        symbols = [s for s in (t.strip() for t in symbols.split(",")) if s]
    symbols = list(symbols)
    for s in symbols:
        if not isinstance(s, str):
            raise TypeError(f"symbols must be texts, not {type(s).__name__}")
    out = RetrieveParams(
        symbols, "1970-01-01", "1970-01-01",
        member(Schema, keywords["schema"], "schema"),
        member(Dataset, keywords["dataset"], "dataset"),
        member(Stype, keywords.get("stype_in", "raw"), "stype_in"),
    )
    out.start_ts = to_ns(keywords["start"], "start")
    out.end_ts = to_ns(keywords["end"], "end")
    return out
