"""The index of one dataset/schema directory: one entry per day file, checked before use.

An entry describes one version of one day file: its name, its day-file ``format`` (see
``_format``, which gives ``head`` and ``blocks`` their meaning), its identity ``stat`` (size,
mtime_ns, inode), its record ``count``, first and last ts_event (none when empty), its
instruments ``(id, ticker or None, records, first ts, last ts)`` by id, where its metadata lies
(``head``: offset, length, or none), its blocks ``(id, records, first ts, last ts, offset,
length)`` (none: the file is read whole) and its split points (ts_event values). ``appends``
lists the most recent appends committed to the directory (see ``_journal``).

``_index.json`` holds them as little-endian tables (see "The index" in design.md): a header
(INDEX_MAGIC, version, a CRC-32 of the rest, the row count of each table), the files, the
instruments of every file one after another, their blocks, their split points, the strings
(file names and tickers, each once) and the appends as JSON. It is read with numpy views of the
bytes and every entry checked at once, table by table. An index of the earlier JSON form
(``{"format": 2, "files": [...], "appends": [...]}``) is still read, and the next write or
reindex stores it in the new form.

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
import struct
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from functools import cached_property
from typing import Any, TypeVar, overload

from .._kinds import INDEX_MAGIC
from ._records import NS_PER_DAY, day_start, instrument_order, numpy
from ._storage import FileStat, LocalStorage

INDEX_NAME = "_index.json"
INDEX_FORMAT = 2  # the JSON form, still read
INDEX_VERSION = 3  # the tables
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
    instruments: Sequence[Instrument]  # a tuple, or the rows of an index's table
    head: tuple[int, int] | None
    blocks: Sequence[Block] | None
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
        if isinstance(self.instruments, Instruments):
            return set(self.instruments.tickers())
        return {i[1] for i in self.instruments if i[1] is not None}

    def holding(self, symbols: Sequence[str]) -> tuple[str, ...]:
        """Those of `symbols` the file has instruments of, in their order."""
        if isinstance(self.instruments, Instruments):
            return self.instruments.table.holding(self.instruments.k, tuple(symbols))
        held = self.tickers()
        return tuple(s for s in symbols if s in held)


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
    if isinstance(raw, Row):
        return raw.table.entry(raw.k, name, stat, formats, kind)
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
    if isinstance(raw, Row):
        count: int = int(raw.table.files["count"][raw.k])
        return count
    if type(raw) is dict and type(raw.get("count")) is int and raw["count"] >= 0:
        return raw["count"]
    return None


def recorded_stat(raw: object) -> FileStat:
    """The identity an entry records for its file (-1s when it records none)."""
    if isinstance(raw, Row):
        f = raw.table.files[raw.k]
        return FileStat(int(f["size"]), int(f["mtime"]), int(f["inode"]))
    key = raw.get("stat") if type(raw) is dict else None
    if type(key) is list and len(key) == 3 and all(type(x) is int for x in key):
        return FileStat(*key)
    return FileStat(-1, -1, -1)


def tickers_of(entries: Iterable[Entry]) -> set[str]:
    """Every ticker of `entries`."""
    np = numpy()
    out: set[str] = set()
    files: dict[int, tuple[Table, list[int]]] = {}
    for e in entries:
        if isinstance(e.instruments, Instruments):
            files.setdefault(id(e.instruments.table), (e.instruments.table, []))[1].append(
                e.instruments.k)
        else:
            out |= e.tickers()
    for table, ks in files.values():
        mask = np.zeros(len(table.files), dtype=bool)
        mask[ks] = True
        codes = np.unique(table.instruments["ticker"][mask[table.i_file]])
        out.update(table.strings[c] for c in codes.tolist() if c != _NONE)
    return out


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
    order = instrument_order(ts, ids)
    ts_by, ids_by = (ts, ids) if order is None else (ts[order], ids[order])
    uniq, first, counts = np.unique(ids_by, return_index=True, return_counts=True)
    return {
        "count": int(len(ts)), "start": int(ts.min()), "end": int(ts.max()),
        "instruments": [[i, tickers.get(i), c, int(ts_by[a]), int(ts_by[a + c - 1])]
                        for i, a, c in zip(uniq.tolist(), first.tolist(), counts.tolist())],
        "splits": split_points(np.sort(ts)),
    }


# --- the tables ------------------------------------------------------------------------------

# magic, version, CRC-32 of what follows the header, then the rows of each table: files,
# instruments, blocks, split points, strings, and the bytes of the strings and of the appends
_HEAD = struct.Struct("<8sIIQQQQQQQ")
_NONE = 0xFFFFFFFF  # the ticker of an instrument without one
# flags of a file
_TIMES, _HEAD_AT, _BLOCKS = 1, 2, 4
_FILE = [("name", "<u4"), ("format", "<u4"), ("flags", "<u4"), ("instruments", "<u4"),
         ("blocks", "<u4"), ("splits", "<u4"), ("size", "<u8"), ("mtime", "<i8"),
         ("inode", "<u8"), ("count", "<u8"), ("start", "<u8"), ("end", "<u8"),
         ("head_offset", "<u8"), ("head_length", "<u8")]
_INSTRUMENT = [("id", "<u4"), ("ticker", "<u4"), ("records", "<u8"), ("first", "<u8"),
               ("last", "<u8")]
_BLOCK = [("id", "<u4"), ("records", "<u8"), ("first", "<u8"), ("last", "<u8"),
          ("offset", "<u8"), ("length", "<u8")]


class BadIndex(ValueError):
    """Index bytes that are not an index this module reads."""


def _dtypes() -> tuple[Any, Any, Any]:
    np = numpy()
    return np.dtype(_FILE), np.dtype(_INSTRUMENT), np.dtype(_BLOCK)


@dataclass(frozen=True)
class Row:
    """Entry `k` of a table of files, as loaded (checked when used)."""

    table: Table
    k: int


_T = TypeVar("_T")


class _Rows(Sequence[_T]):
    """Rows of one of an index's tables seen as tuples (made on first use)."""

    rows: Any

    @property
    def tuples(self) -> tuple[_T, ...]:
        raise NotImplementedError

    def __len__(self) -> int:
        return len(self.rows)

    @overload
    def __getitem__(self, k: int) -> _T: ...
    @overload
    def __getitem__(self, k: slice) -> tuple[_T, ...]: ...

    def __getitem__(self, k: int | slice) -> _T | tuple[_T, ...]:
        return self.tuples[k]

    def __iter__(self) -> Iterator[_T]:
        return iter(self.tuples)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Sequence) and self.tuples == tuple(other)

    def __hash__(self) -> int:
        return hash(self.tuples)


class Instruments(_Rows[Instrument]):
    """The instruments of file `k` of an index's tables, seen as Instrument tuples."""

    def __init__(self, table: Table, k: int):
        b = table.bounds["instruments"]
        self.table, self.k, self.rows = table, k, table.instruments[int(b[k]):int(b[k + 1])]

    @cached_property
    def tuples(self) -> tuple[Instrument, ...]:
        return self.table.instrument_tuples(self.rows)

    def tickers(self) -> set[str]:
        return self.table.tickers_of(self.k)

    def plan(self, tickers: tuple[str, ...] | None, start: int, end: int
             ) -> tuple[tuple[int, ...] | None, tuple[Instrument, ...], tuple[Block, ...]]:
        """(ids of the instruments of `tickers`, None for all; those of them with records in
        [start, end); the blocks of those in [start, end))."""
        return self.table.plan(self.k, tickers, start, end)


class Blocks(_Rows[Block]):
    """Rows of an index's table of blocks, seen as Block tuples."""

    def __init__(self, table: Table, lo: int, hi: int):
        self.rows = table.blocks[lo:hi]

    @cached_property
    def tuples(self) -> tuple[Block, ...]:
        return _block_tuples(self.rows)


def _block_tuples(r: Any) -> tuple[Block, ...]:
    return tuple(zip(r["id"].tolist(), r["records"].tolist(), r["first"].tolist(),
                     r["last"].tolist(), r["offset"].tolist(), r["length"].tolist()))


def _segment_sums_equal(values: Any, bounds: Any, expected: Any) -> Any:
    """Whether each segment values[bounds[k]:bounds[k + 1]] (unsigned 64-bit) sums to
    expected[k] exactly, without a sum that wraps around saying yes."""
    np = numpy()
    zero = np.zeros(1, dtype=np.uint64)
    lo = np.concatenate((zero, np.cumsum(values & np.uint64(0xFFFFFFFF), dtype=np.uint64)))
    hi = np.concatenate((zero, np.cumsum(values >> np.uint64(32), dtype=np.uint64)))
    a, b = bounds[:-1], bounds[1:]
    lo_sum, hi_sum = lo[b] - lo[a], hi[b] - hi[a]  # exact: a segment holds < 2**32 rows
    high = hi_sum + (lo_sum >> np.uint64(32))
    return ((high == expected >> np.uint64(32))
            & ((lo_sum & np.uint64(0xFFFFFFFF)) == (expected & np.uint64(0xFFFFFFFF)))
            & (hi_sum < np.uint64(1 << 32)))


class Table:
    """An index in its binary form: numpy views of its tables, the strings decoded."""

    def __init__(self, data: bytes):
        np = numpy()
        if len(data) < _HEAD.size:
            raise BadIndex(f"{len(data)} bytes, shorter than the {_HEAD.size}-byte header")
        magic, version, crc, nf, ni, nb, ns, nstr, heap, nappends = _HEAD.unpack_from(data)
        if magic != INDEX_MAGIC:
            raise BadIndex("not an index")
        if version != INDEX_VERSION:
            raise BadIndex(f"an index of version {version}, not {INDEX_VERSION}")
        file_t, inst_t, block_t = _dtypes()
        sizes = [nf * file_t.itemsize, ni * inst_t.itemsize, nb * block_t.itemsize, ns * 8,
                 nstr * 4, heap, nappends]
        if _HEAD.size + sum(sizes) != len(data):
            raise BadIndex(f"its header describes {_HEAD.size + sum(sizes)} bytes, it has "
                           f"{len(data)}")
        if zlib.crc32(memoryview(data)[_HEAD.size:]) != crc:
            raise BadIndex("its checksum does not match its bytes")
        at = _HEAD.size
        views = []
        for n, dtype in ((nf, file_t), (ni, inst_t), (nb, block_t), (ns, "<u8"),
                         (nstr, "<u4")):
            views.append(np.frombuffer(data, dtype=dtype, count=n, offset=at))
            at += n * np.dtype(dtype).itemsize
        self.files, self.instruments, self.blocks, self.splits, lengths = views
        for col, total, what in (("instruments", ni, "instruments"), ("blocks", nb, "blocks"),
                                 ("splits", ns, "split points")):
            if int(self.files[col].sum(dtype=np.uint64)) != total:
                raise BadIndex(f"its files hold another number of {what} than its header says")
        ends = np.cumsum(lengths, dtype=np.uint64)
        if (int(ends[-1]) if nstr else 0) != heap:
            raise BadIndex("its strings hold another number of bytes than its header says")
        text = data[at:at + heap]
        try:
            self.strings = [text[a:b].decode() for a, b in
                            zip([0, *ends[:-1].tolist()], ends.tolist())]
        except UnicodeDecodeError:
            raise BadIndex("a string of it is not UTF-8") from None
        at += heap
        names = self.files["name"]
        if nf and int(names.max()) >= nstr:
            raise BadIndex("a file of it names a string it lacks")
        self.names = [self.strings[k] for k in names.tolist()]
        try:
            self.appends = json.loads(data[at:]) if nappends else []
        except (ValueError, RecursionError) as exc:
            raise BadIndex(f"its appends are not JSON ({type(exc).__name__})") from None
        self.codes = {t: k for k, t in enumerate(self.strings)}
        self.bounds = {col: np.concatenate(([0], np.cumsum(self.files[col], dtype=np.int64)))
                       for col in ("instruments", "blocks", "splits")}
        self._problems: dict[tuple[tuple[int, int], ...], list[str | None]] = {}
        self._tickers: list[set[str]] | None = None
        self._plans: dict[tuple[Any, int, int], Any] = {}
        self._holding: dict[tuple[str, ...], dict[int, set[str]]] = {}
        every = np.arange(nf)
        self.i_file = np.repeat(every, self.files["instruments"])
        self.b_file = np.repeat(every, self.files["blocks"])
        self.block_inst = np.full(nb, -1, dtype=np.int64)  # set by the checks

    def entry(self, k: int, name: str, stat: FileStat, formats: dict[int, Any],
              kind: int) -> Entry:
        """Entry `k` (see check_entry)."""
        f = self.files[k]
        if self.names[k] != name:
            raise Invalid(f"the entry names {_show(self.names[k])}")
        fmt = formats.get(int(f["format"]))
        if fmt is None:
            raise Invalid(f"format {int(f['format'])} is not a day-file format")
        key = [int(f["size"]), int(f["mtime"]), int(f["inode"])]
        if key != stat.key():
            raise Invalid(f"the file changed since the entry was written (stat {key}, the "
                          f"file's {stat.key()})")
        problem = self.problems(formats)[k]
        if problem is not None:
            raise Invalid(problem)
        flags = int(f["flags"])
        times = flags & _TIMES
        b = self.bounds
        entry = Entry(name, name[:10], int(f["format"]), stat, int(f["count"]),
                      int(f["start"]) if times else None, int(f["end"]) if times else None,
                      Instruments(self, k),
                      (int(f["head_offset"]), int(f["head_length"])) if flags & _HEAD_AT
                      else None,
                      Blocks(self, int(b["blocks"][k]), int(b["blocks"][k + 1]))
                      if flags & _BLOCKS else None,
                      tuple(self.splits[int(b["splits"][k]):int(b["splits"][k + 1])].tolist()))
        problem = fmt.check(entry, kind)
        if problem:
            raise Invalid(problem)
        return entry

    def instrument_tuples(self, r: Any) -> tuple[Instrument, ...]:
        strings = self.strings
        return tuple(zip(r["id"].tolist(), [strings[t] if t != _NONE else None
                                            for t in r["ticker"].tolist()],
                         r["records"].tolist(), r["first"].tolist(), r["last"].tolist()))

    def tickers_of(self, k: int) -> set[str]:
        """The tickers of file `k` (the set is shared: not to be changed)."""
        if self._tickers is None:
            np = numpy()
            u64 = np.uint64
            pairs = np.sort((self.i_file.astype(u64) << u64(32))
                            | self.instruments["ticker"].astype(u64))
            if len(pairs):
                pairs = pairs[np.concatenate(([True], pairs[1:] != pairs[:-1]))]
            cut = np.searchsorted(pairs >> u64(32), np.arange(len(self.files) + 1)).tolist()
            codes = (pairs & u64(0xFFFFFFFF)).tolist()
            strings = self.strings
            self._tickers = [{strings[c] for c in codes[a:b] if c != _NONE}
                             for a, b in zip(cut, cut[1:])]
        return self._tickers[k]

    def holding(self, k: int, symbols: tuple[str, ...]) -> tuple[str, ...]:
        """Those of `symbols` that file `k` has instruments of (found for every file at once,
        the first time they are asked for)."""
        got = self._holding.get(symbols)
        if got is None:
            np = numpy()
            if len(self._holding) >= 16:
                self._holding.clear()
            codes = {self.codes[t]: t for t in symbols if t in self.codes}
            rows = np.flatnonzero(np.isin(self.instruments["ticker"],
                                          np.asarray(list(codes), dtype=np.uint32)))
            got = self._holding[symbols] = {}
            for f, c in zip(self.i_file[rows].tolist(),
                            self.instruments["ticker"][rows].tolist()):
                got.setdefault(f, set()).add(codes[c])
        held = got.get(k, ())
        return tuple(s for s in symbols if s in held)

    def plan(self, k: int, tickers: tuple[str, ...] | None, start: int, end: int
             ) -> tuple[tuple[int, ...] | None, tuple[Instrument, ...], tuple[Block, ...]]:
        """See Instruments.plan: chosen by masks over every file at once, the first time a
        request asks, and kept for the other files."""
        key = (tickers, start, end)
        got = self._plans.get(key)
        if got is None:
            if len(self._plans) >= 16:
                self._plans.clear()
            got = self._plans[key] = self._plan(tickers, start, end)
        (i_cut, ids), (c_cut, chosen), (b_cut, blocks) = got
        return (None if ids is None else tuple(ids[i_cut[k]:i_cut[k + 1]]),
                tuple(chosen[c_cut[k]:c_cut[k + 1]]), tuple(blocks[b_cut[k]:b_cut[k + 1]]))

    def _plan(self, tickers: tuple[str, ...] | None, start: int, end: int) -> Any:
        np = numpy()
        I, B = self.instruments, self.blocks
        start, end = max(start, 0), max(end, 0)
        files = np.arange(len(self.files) + 1)

        def grouped(rows: Any, file_of: Any) -> Any:
            return np.searchsorted(file_of[rows], files).tolist()

        if tickers is None:
            of = np.ones(len(I), dtype=bool)
        else:
            codes = [self.codes[t] for t in tickers if t in self.codes]
            of = np.isin(I["ticker"], np.asarray(codes, dtype=np.uint32))
        inside = of & (I["last"] >= start) & (I["first"] < end)
        of_rows, in_rows = np.flatnonzero(of), np.flatnonzero(inside)
        known = self.block_inst >= 0
        b_rows = np.flatnonzero(known & inside[np.where(known, self.block_inst, 0)]
                                & (B["last"] >= start) & (B["first"] < end))
        return ((grouped(of_rows, self.i_file),
                 None if tickers is None else I["id"][of_rows].tolist()),
                (grouped(in_rows, self.i_file), self.instrument_tuples(I[in_rows])),
                (grouped(b_rows, self.b_file), _block_tuples(B[b_rows])))

    def problems(self, formats: dict[int, Any]) -> list[str | None]:
        """What is wrong with each entry (None: nothing), beyond its format's own checks."""
        limits = tuple(sorted((v, f.max_block_records) for v, f in formats.items()))
        got = self._problems.get(limits)
        if got is None:
            got = self._problems[limits] = self._check(dict(limits))
        return got

    def _check(self, limits: dict[int, int]) -> list[str | None]:
        np = numpy()
        u64 = np.uint64
        F, I, B, S = self.files, self.instruments, self.blocks, self.splits
        nf = len(F)
        out: list[str | None] = [None] * nf
        bounds = self.bounds

        def flag(bad: Any, file_of: Any, say: Callable[[int], str]) -> None:
            rows = np.flatnonzero(bad)
            if not rows.size:
                return
            files, first = np.unique(file_of[rows], return_index=True)
            for f, r in zip(files.tolist(), rows[first].tolist()):
                if out[f] is None:
                    out[f] = say(r)

        every = np.arange(nf)
        flags, count, size = F["flags"], F["count"], F["size"]
        times, has_head, has_blocks = ((flags & t) != 0 for t in (_TIMES, _HEAD_AT, _BLOCKS))
        start = np.where(times, F["start"], u64(0))
        end = np.where(times, F["end"], u64(0))
        flag(flags & ~np.uint32(7), every, lambda k: f"flags {int(flags[k])} are not all known")
        flag((count == 0) & times, every,
             lambda k: "an empty file has no first or last time")
        flag((count != 0) & ~times, every, lambda k: "start is None, not an integer")
        # the day of each file, from its name
        lo = np.zeros(nf, dtype=u64)
        hi = np.zeros(nf, dtype=u64)
        dayless = np.zeros(nf, dtype=bool)
        for k, name in enumerate(self.names):
            d = day_of_name(name)
            if d is None or d.year < 1970 or d.year > 2500:
                dayless[k] = True
                continue
            lo[k] = day_start(d)
            hi[k] = lo[k] + u64(NS_PER_DAY - 1)
        flag(dayless & times, every, lambda k: f"{_show(self.names[k])} is not a day of times")
        flag(times & ((F["start"] < lo) | (F["start"] > hi)), every,
             lambda k: f"start is {int(F['start'][k])}, not an integer from {int(lo[k])} to "
                       f"{int(hi[k])}")
        flag(times & ((F["end"] < F["start"]) | (F["end"] > hi)), every,
             lambda k: f"end is {int(F['end'][k])}, not an integer from {int(F['start'][k])} "
                       f"to {int(hi[k])}")
        h_off, h_len = F["head_offset"], F["head_length"]
        flag(has_head & ((h_off > size) | (h_len < 1) | (h_len > size - np.minimum(h_off, size))),
             every, lambda k: f"head {[int(h_off[k]), int(h_len[k])]} runs past the end of the "
                              f"file ({int(size[k])} bytes)")
        flag(has_blocks & ~has_head, every, lambda k: "blocks without a head")
        flag(~has_blocks & (F["blocks"] != 0), every, lambda k: "blocks listed but not used")

        # instruments
        i_file = self.i_file
        at = lambda r: r - int(bounds["instruments"][i_file[r]])  # noqa: E731
        ids, recs, first, last = I["id"], I["records"], I["first"], I["last"]
        same = np.zeros(len(I), dtype=bool)
        same[1:] = i_file[1:] == i_file[:-1]
        flag(same & (ids <= np.concatenate(([0], ids[:-1])).astype(np.uint32)), i_file,
             lambda r: f"instruments[{at(r)}] id is {int(ids[r])}, not above the one before")
        flag((I["ticker"] != _NONE) & (I["ticker"] >= len(self.strings)), i_file,
             lambda r: f"instruments[{at(r)}] ticker is string {int(I['ticker'][r])}, which "
                       f"the index lacks")
        flag((recs < 1) | (recs > count[i_file]), i_file,
             lambda r: f"instruments[{at(r)}] records is {int(recs[r])}, not an integer from 1 "
                       f"to {int(count[i_file[r]])}")
        flag((first < start[i_file]) | (first > end[i_file]), i_file,
             lambda r: f"instruments[{at(r)}] first time is {int(first[r])}, not an integer "
                       f"from {int(start[i_file[r]])} to {int(end[i_file[r]])}")
        flag((last < first) | (last > end[i_file]), i_file,
             lambda r: f"instruments[{at(r)}] last time is {int(last[r])}, not an integer from "
                       f"{int(first[r])} to {int(end[i_file[r]])}")
        flag(~_segment_sums_equal(recs, bounds["instruments"], count), every,
             lambda k: f"the instruments hold {self._sum(recs, 'instruments', k)} records, the "
                       f"entry says {int(count[k])}")
        held = np.flatnonzero(F["instruments"] > 0)
        if held.size:
            starts = bounds["instruments"][held]
            span = np.zeros(nf, dtype=bool)
            span[held] = ((np.minimum.reduceat(first, starts) != start[held])
                          | (np.maximum.reduceat(last, starts) != end[held]))
            flag(span, every, lambda k: "the instruments' times do not span the file's")

        # blocks
        b_file = self.b_file
        at_b = lambda r: r - int(bounds["blocks"][b_file[r]])  # noqa: E731
        key_i = (i_file.astype(u64) << u64(32)) | ids.astype(u64)
        # (file, id) of the instruments: in order already where the ids are
        ordered = bool((key_i[1:] > key_i[:-1]).all())
        order = np.arange(len(I)) if ordered else np.argsort(key_i, kind="stable")
        in_order = key_i if ordered else key_i[order]
        key_b = (b_file.astype(u64) << u64(32)) | B["id"].astype(u64)
        pos = np.minimum(np.searchsorted(in_order, key_b), max(len(I) - 1, 0))
        found = in_order[pos] == key_b if len(I) else np.zeros(len(B), dtype=bool)
        inst = order[pos] if len(I) else np.zeros(len(B), dtype=np.int64)
        self.block_inst = np.where(found, inst, -1)
        flag(~found, b_file, lambda r: f"blocks[{at_b(r)}] is of instrument {int(B['id'][r])}, "
                                       f"which the entry lacks")
        limit = np.array([limits.get(int(v), 0) for v in F["format"].tolist()], dtype=u64)
        brec, bfirst, blast, off, length = (B[c] for c in ("records", "first", "last", "offset",
                                                           "length"))
        flag(found & ((brec < 1) | (brec > limit[b_file])), b_file,
             lambda r: f"blocks[{at_b(r)}] records is {int(brec[r])}, not an integer from 1 to "
                       f"{int(limit[b_file[r]])}")
        if len(I):
            flag(found & ((bfirst < first[inst]) | (bfirst > last[inst])), b_file,
                 lambda r: f"blocks[{at_b(r)}] first time is {int(bfirst[r])}, not an integer "
                           f"from {int(first[inst[r]])} to {int(last[inst[r]])}")
            flag(found & ((blast < bfirst) | (blast > last[inst])), b_file,
                 lambda r: f"blocks[{at_b(r)}] last time is {int(blast[r])}, not an integer "
                           f"from {int(bfirst[r])} to {int(last[inst[r]])}")
        bsize = size[b_file]
        flag(off > bsize, b_file, lambda r: f"blocks[{at_b(r)}] offset is {int(off[r])}, not an "
                                            f"integer from 0 to {int(bsize[r])}")
        flag((length < 1) | (length > bsize - np.minimum(off, bsize)), b_file,
             lambda r: f"blocks[{at_b(r)}] length is {int(length[r])}, not an integer from 1 "
                       f"to {int(bsize[r] - min(off[r], bsize[r]))}")
        # byte ranges: the head and the blocks of a file never overlap
        with_head = np.flatnonzero(has_head & has_blocks)
        # in (file, offset) order already where each head comes first and the blocks follow
        # one another; sorted otherwise
        starts = np.searchsorted(b_file, with_head)
        s_file = np.insert(b_file, starts, with_head)
        s_off = np.insert(off, starts, h_off[with_head])
        s_len = np.insert(length, starts, h_len[with_head])
        if not ((s_file[1:] > s_file[:-1])
                | ((s_file[1:] == s_file[:-1]) & (s_off[1:] >= s_off[:-1]))).all():
            o = np.lexsort((s_off, s_file))
            s_file, s_off, s_len = s_file[o], s_off[o], s_len[o]
        clash = np.zeros(len(s_file), dtype=bool)
        clash[:-1] = (s_file[:-1] == s_file[1:]) & (s_off[:-1] + s_len[:-1] > s_off[1:])
        flag(clash, s_file, lambda r: f"byte ranges [{int(s_off[r])}, "
                                      f"{int(s_off[r] + s_len[r])}) and [{int(s_off[r + 1])}, "
                                      f"...) overlap")
        # the blocks of each instrument hold its records
        owner = np.where(found, inst, len(I))
        by = (np.arange(len(B)) if bool((owner[1:] >= owner[:-1]).all())
              else np.argsort(owner, kind="stable"))
        sorted_inst = owner[by]
        cut = np.searchsorted(sorted_inst, np.arange(len(I) + 1))
        summed = _segment_sums_equal(np.where(found, brec, u64(0))[by], cut, recs)
        flag(~summed & has_blocks[i_file], i_file,
             lambda r: f"the blocks of instrument {int(ids[r])} hold "
                       f"{int(brec[by[cut[r]:cut[r + 1]]].astype(object).sum())} records, the "
                       f"entry says {int(recs[r])}")

        # split points: increasing, after the first time, up to the last
        s_of = np.repeat(every, F["splits"])
        prev = np.concatenate((np.zeros(1, dtype=u64), S[:-1]))
        first_split = np.ones(len(S), dtype=bool)
        first_split[1:] = s_of[1:] != s_of[:-1]
        prev = np.where(first_split, start[s_of], prev)
        at_s = lambda r: r - int(bounds["splits"][s_of[r]])  # noqa: E731
        flag((S <= prev) | (S > end[s_of]), s_of,
             lambda r: f"splits[{at_s(r)}] is {int(S[r])}, not an integer from {int(prev[r]) + 1}"
                       f" to {int(end[s_of[r]])}")
        return out

    def _sum(self, values: Any, col: str, k: int) -> int:
        b = self.bounds[col]
        return sum(values[int(b[k]):int(b[k + 1])].tolist())


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
    return load_bytes(data)


def load_bytes(data: bytes) -> Document:
    """The index held in `data` (see load)."""
    if data[:len(INDEX_MAGIC)] == INDEX_MAGIC:
        return _load_table(data)
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
    return Document(entries, _appends(doc.get("appends")), problem, data)


def _appends(raw: object) -> list[tuple[str, list[str]]]:
    appends = []
    if type(raw) is list:
        for a in raw:
            if (type(a) is list and len(a) == 2 and type(a[0]) is str and type(a[1]) is list
                    and all(type(d) is str for d in a[1])):
                appends.append((a[0], list(a[1])))
    return appends[-APPENDS_KEPT:]


def _load_table(data: bytes) -> Document:
    try:
        table = Table(data)
    except BadIndex as why:
        return Document({}, [], str(why))
    entries: dict[str, object] = {}
    problem = None
    for k, name in enumerate(table.names):
        if name in entries:
            problem = f"the file {_show(name)} is named twice"
        else:
            entries[name] = Row(table, k)
    return Document(entries, _appends(table.appends), problem, data)


def dump(entries: list[Entry], appends: list[tuple[str, list[str]]]) -> bytes:
    """The index of `entries` (in any order) and `appends`, in its binary form."""
    np = numpy()
    file_t, inst_t, block_t = _dtypes()
    entries = sorted(entries, key=lambda e: e.file)
    strings: dict[str, int] = {}

    def code(s: str) -> int:
        k = strings.get(s)
        if k is None:
            k = strings[s] = len(strings)
        return k

    files = np.zeros(len(entries), dtype=file_t)
    insts, blocks, splits = [], [], []
    for k, e in enumerate(entries):
        row = files[k]
        row["name"], row["format"] = code(e.file), e.format
        row["size"], row["mtime"], row["inode"] = e.stat.key()
        row["count"] = e.count
        flags = 0
        if e.start is not None and e.end is not None:
            flags |= _TIMES
            row["start"], row["end"] = e.start, e.end
        if e.head is not None:
            flags |= _HEAD_AT
            row["head_offset"], row["head_length"] = e.head
        if isinstance(e.instruments, Instruments):
            rows = e.instruments.rows.copy()
            src = e.instruments.table.strings
            rows["ticker"] = [code(src[t]) if t != _NONE else _NONE
                              for t in rows["ticker"].tolist()]
        else:
            rows = np.array([(i, code(t) if t is not None else _NONE, n, a, b)
                             for i, t, n, a, b in e.instruments], dtype=inst_t)
        insts.append(rows)
        if e.blocks is not None:
            flags |= _BLOCKS
            blocks.append(e.blocks.rows if isinstance(e.blocks, Blocks)
                          else np.array(list(e.blocks), dtype=block_t))
        splits.append(np.asarray(e.splits, dtype="<u8"))
        row["flags"], row["instruments"] = flags, len(rows)
        row["blocks"], row["splits"] = len(blocks[-1]) if e.blocks is not None else 0, \
            len(e.splits)
    names = [s.encode() for s in strings]
    body = b"".join([
        files.tobytes(),
        np.concatenate(insts).tobytes() if insts else b"",
        np.concatenate(blocks).tobytes() if blocks else b"",
        np.concatenate(splits).astype("<u8").tobytes() if splits else b"",
        np.array([len(n) for n in names], dtype="<u4").tobytes(),
        b"".join(names),
    ])
    tail = json.dumps([[d, days] for d, days in appends[-APPENDS_KEPT:]],
                      separators=(",", ":"), ensure_ascii=False).encode()
    body += tail
    n_blocks = sum(len(b) for b in blocks)
    head = _HEAD.pack(INDEX_MAGIC, INDEX_VERSION, zlib.crc32(body), len(entries),
                      sum(len(r) for r in insts), n_blocks, sum(len(s) for s in splits),
                      len(names), sum(len(n) for n in names), len(tail))
    return head + body


def dump_json(entries: list[Entry], appends: list[tuple[str, list[str]]]) -> bytes:
    """The index in its earlier JSON form (which is still read)."""
    doc = {"format": INDEX_FORMAT, "files": [e.to_json() for e in sorted(entries,
                                                                          key=lambda e: e.file)],
           "appends": [[d, days] for d, days in appends[-APPENDS_KEPT:]]}
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()


def day_of_name(name: str) -> _dt.date | None:
    try:
        return _dt.date.fromisoformat(name[:10])
    except ValueError:
        return None
