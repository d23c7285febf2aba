"""The index of one dataset/schema directory: one entry per day file, checked before use.

``_index.json`` is ``{"format": 2, "files": [entry, ...], "appends": [[digest, [day, ...]],
...]}``. An entry describes one version of one day file::

    {"file": "2025-12-01.orx.zst", "format": 1, "stat": [size, mtime_ns, inode],
     "count": records, "start": first ts_event, "end": last ts_event (null when empty),
     "instruments": [[id, ticker or null, records, first ts, last ts], ...],   by id
     "head": [offset, length] of the metadata, or null,
     "blocks": [[id, records, first ts, last ts, offset, length], ...] or null,
     "splits": [ts_event, ...]}

``format`` names the day-file format of the file (see ``_format``), which gives ``head`` and
``blocks`` their meaning; null blocks mean the file is read whole. ``appends`` lists the most
recent appends committed to the directory (see ``_journal``).

The index is a cache of the files, except for ``appends``: an entry is used only when the file
has the identity it records and the entry passes every check below (types, bounds, counts); any
other entry is replaced by a summary of the file. A summary whose record count differs from the
count an entry recorded for that file is an error naming the index and the entry, never a
shorter answer: the file was cut short or changed behind the catalog's back, and only
``Catalog.reindex()`` accepts it as it is.
"""

from __future__ import annotations

import datetime as _dt
import json
from dataclasses import dataclass
from typing import Any

from ._records import NS_PER_DAY, day_start, numpy
from ._storage import FileStat, LocalStorage

INDEX_NAME = "_index.json"
INDEX_FORMAT = 2
# Records between the split points a day's entry keeps, so that a large day can be cut into
# pieces of about this many records without reading it first.
SPLIT_EVERY = 1 << 18
# Committed appends remembered, to recognise a retry of one.
APPENDS_KEPT = 64

_U32 = (1 << 32) - 1
_U64 = (1 << 64) - 1

Instrument = tuple[int, "str | None", int, int, int]  # id, ticker, records, first ts, last ts
Block = tuple[int, int, int, int, int, int]  # id, records, first ts, last ts, offset, length


class Invalid(ValueError):
    """An index entry that does not describe its file."""


@dataclass(frozen=True)
class Entry:
    """One day file as its index entry describes it (checked)."""

    file: str
    day: str
    format: int
    stat: FileStat
    count: int
    start: int | None  # first and last ts_event, both inclusive
    end: int | None
    instruments: tuple[Instrument, ...]
    head: tuple[int, int] | None
    blocks: tuple[Block, ...] | None
    splits: tuple[int, ...]

    def to_json(self) -> dict[str, Any]:
        return {"file": self.file, "format": self.format, "stat": self.stat.key(),
                "count": self.count, "start": self.start, "end": self.end,
                "instruments": [list(i) for i in self.instruments],
                "head": list(self.head) if self.head is not None else None,
                "blocks": [list(b) for b in self.blocks] if self.blocks is not None else None,
                "splits": list(self.splits)}

    @property
    def size(self) -> int:
        return self.stat.size

    def tickers(self) -> set[str]:
        return {i[1] for i in self.instruments if i[1] is not None}


def _int(v: object, lo: int, hi: int, what: str) -> int:
    if type(v) is not int or not lo <= v <= hi:
        raise Invalid(f"{what} is {_show(v)}, not an integer from {lo} to {hi}")
    return v


def _list(v: object, what: str, n: int | None = None) -> list[Any]:
    if type(v) is not list or (n is not None and len(v) != n):
        raise Invalid(f"{what} is {_show(v)}, not a list" + (f" of {n}" if n else ""))
    return v


def _show(v: object) -> str:
    text = repr(v)
    return text if len(text) <= 40 else text[:37] + "..."


def check_entry(raw: object, name: str, stat: FileStat, formats: dict[int, Any],
                kind: int) -> Entry:
    """The entry `raw` of the file `name`, whose identity is `stat`, once it passes every
    check; Invalid saying what is wrong otherwise. A stale entry (the file changed) is Invalid
    too."""
    if type(raw) is not dict:
        raise Invalid(f"the entry is {_show(raw)}, not an object")
    if raw.get("file") != name:
        raise Invalid(f"the entry names {_show(raw.get('file'))}")
    fmt = formats.get(raw.get("format"))  # type: ignore[arg-type]
    if fmt is None or type(raw.get("format")) is not int:
        raise Invalid(f"format {_show(raw.get('format'))} is not a day-file format")
    key = _list(raw.get("stat"), "stat", 3)
    if [type(x) for x in key] != [int, int, int]:
        raise Invalid(f"stat is {_show(key)}, not three integers")
    if key != stat.key():
        raise Invalid(f"the file changed since the entry was written (stat {_show(key)}, the "
                      f"file's {stat.key()})")
    day = name[:10]
    lo = day_start(day)
    hi = lo + NS_PER_DAY - 1
    count = _int(raw.get("count"), 0, _U64, "count")
    start, end = raw.get("start"), raw.get("end")
    if count == 0:
        if start is not None or end is not None:
            raise Invalid("an empty file has no first or last time")
    else:
        start = _int(start, lo, hi, "start")
        end = _int(end, start, hi, "end")
    instruments: list[Instrument] = []
    total = 0
    for k, item in enumerate(_list(raw.get("instruments"), "instruments")):
        what = f"instruments[{k}]"
        i_id, ticker, n, first, last = _list(item, what, 5)
        i_id = _int(i_id, 0 if not instruments else instruments[-1][0] + 1, _U32, f"{what} id")
        if ticker is not None and type(ticker) is not str:
            raise Invalid(f"{what} ticker is {_show(ticker)}")
        n = _int(n, 1, count, f"{what} records")
        first = _int(first, start or 0, end or 0, f"{what} first time")
        last = _int(last, first, end or 0, f"{what} last time")
        instruments.append((i_id, ticker, n, first, last))
        total += n
    if total != count:
        raise Invalid(f"the instruments hold {total} records, the entry says {count}")
    if instruments and (min(i[3] for i in instruments) != start
                        or max(i[4] for i in instruments) != end):
        raise Invalid("the instruments' times do not span the file's")
    head = raw.get("head")
    if head is not None:
        h = _list(head, "head", 2)
        head = (_int(h[0], 0, stat.size, "head offset"), _int(h[1], 1, stat.size, "head length"))
        if head[0] + head[1] > stat.size:
            raise Invalid(f"head {list(head)} runs past the end of the file ({stat.size} bytes)")
    blocks = raw.get("blocks")
    if blocks is not None:
        if head is None:
            raise Invalid("blocks without a head")
        by_id = {i[0]: i for i in instruments}
        held = dict.fromkeys(by_id, 0)
        out: list[Block] = []
        for k, item in enumerate(_list(blocks, "blocks")):
            what = f"blocks[{k}]"
            b_id, n, first, last, off, length = _list(item, what, 6)
            inst = by_id.get(b_id) if type(b_id) is int else None
            if inst is None:
                raise Invalid(f"{what} is of instrument {_show(b_id)}, which the entry lacks")
            n = _int(n, 1, fmt.max_block_records, f"{what} records")
            first = _int(first, inst[3], inst[4], f"{what} first time")
            last = _int(last, first, inst[4], f"{what} last time")
            off = _int(off, 0, stat.size, f"{what} offset")
            length = _int(length, 1, stat.size - off, f"{what} length")
            out.append((b_id, n, first, last, off, length))
            held[b_id] += n
        spans = sorted([head] + [(b[4], b[5]) for b in out])
        for (a, n), (b, _) in zip(spans, spans[1:]):
            if a + n > b:
                raise Invalid(f"byte ranges [{a}, {a + n}) and [{b}, ...) overlap")
        for i_id, n in held.items():
            if n != by_id[i_id][2]:
                raise Invalid(f"the blocks of instrument {i_id} hold {n} records, the entry "
                              f"says {by_id[i_id][2]}")
        blocks = tuple(out)
    splits = _list(raw.get("splits"), "splits")
    prev = start or 0
    for k, s in enumerate(splits):
        prev = _int(s, prev + 1, end or 0, f"splits[{k}]")
    entry = Entry(name, day, raw["format"], stat, count, start, end, tuple(instruments),
                  head, blocks, tuple(splits))
    problem = fmt.check(entry, kind)
    if problem:
        raise Invalid(problem)
    return entry


def recorded_count(raw: object) -> int | None:
    """The record count an entry states, when it states one at all."""
    if type(raw) is dict and type(raw.get("count")) is int and raw["count"] >= 0:
        return raw["count"]
    return None


# --- what a file holds -----------------------------------------------------------------------


def split_points(ts: Any) -> list[int]:
    """ts_event values that cut sorted times into pieces of about SPLIT_EVERY records; a piece
    is the records of [one cut, the next)."""
    np = numpy()
    out: list[int] = []
    i = SPLIT_EVERY
    while i < len(ts):
        j = int(np.searchsorted(ts, ts[i - 1], side="right"))
        if j >= len(ts):
            break
        out.append(int(ts[j]))
        i = j + SPLIT_EVERY
    return out


def describe(ts: Any, ids: Any, tickers: dict[int, str]) -> dict[str, Any]:
    """The fields of an entry that follow from the records' times and instruments alone:
    count, start, end, instruments, splits."""
    np = numpy()
    if not len(ts):
        return {"count": 0, "start": None, "end": None, "instruments": [], "splits": []}
    order = np.lexsort((ts, ids))
    ts_by, ids_by = ts[order], ids[order]
    uniq, first, counts = np.unique(ids_by, return_index=True, return_counts=True)
    return {
        "count": int(len(ts)), "start": int(ts.min()), "end": int(ts.max()),
        "instruments": [[i, tickers.get(i), c, int(ts_by[a]), int(ts_by[a + c - 1])]
                        for i, a, c in zip(uniq.tolist(), first.tolist(), counts.tolist())],
        "splits": split_points(np.sort(ts)),
    }


# --- the document ----------------------------------------------------------------------------


@dataclass
class Document:
    """The raw entries of an index by file name, its recent appends, and what was wrong with
    it when it could not be read whole."""

    entries: dict[str, object]
    appends: list[tuple[str, list[str]]]
    problem: str | None = None
    data: bytes | None = None  # the index's bytes, as read


def load(storage: LocalStorage, directory: str) -> Document:
    """The index of `directory`; an index that is missing, of another format or not an index
    at all gives no entries (and says why in `problem`)."""
    rel = f"{directory}/{INDEX_NAME}"
    try:
        data = storage.read_bytes(rel)
    except (IsADirectoryError, PermissionError) as exc:
        return Document({}, [], str(exc))
    if data is None:
        return Document({}, [])
    try:
        doc = json.loads(data)
    except (ValueError, RecursionError, MemoryError) as exc:
        return Document({}, [], f"not JSON ({type(exc).__name__})")
    if type(doc) is not dict or doc.get("format") != INDEX_FORMAT:
        return Document({}, [], f"not an index of format {INDEX_FORMAT}")
    files = doc.get("files")
    entries: dict[str, object] = {}
    problem = None
    if type(files) is list:
        for e in files:
            name = e.get("file") if type(e) is dict else None
            if type(name) is str and name not in entries:
                entries[name] = e
            else:
                problem = "an entry without a file name, or a file named twice"
    else:
        problem = f"files is {_show(files)}, not a list"
    appends = []
    raw = doc.get("appends")
    if type(raw) is list:
        for a in raw:
            if (type(a) is list and len(a) == 2 and type(a[0]) is str and type(a[1]) is list
                    and all(type(d) is str for d in a[1])):
                appends.append((a[0], list(a[1])))
    return Document(entries, appends[-APPENDS_KEPT:], problem, data)


def dump(entries: list[Entry], appends: list[tuple[str, list[str]]]) -> bytes:
    doc = {"format": INDEX_FORMAT, "files": [e.to_json() for e in sorted(entries,
                                                                          key=lambda e: e.file)],
           "appends": [[d, days] for d, days in appends[-APPENDS_KEPT:]]}
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()


def day_of_name(name: str) -> _dt.date | None:
    try:
        return _dt.date.fromisoformat(name[:10])
    except ValueError:
        return None
