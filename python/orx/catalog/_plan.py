"""Plans: what answering a request takes, as plain values (they pickle, so that Dask workers
and other processes can read their parts).

A ``Plan`` holds the request's schema, dataset and time range and one ``Part`` per day file that
can hold matching records: where the file is, its day, its format, the blocks to read (or none:
the whole file), the time bounds and the instruments. Its ``record_count``, ``metadata`` and
``stream_size`` are exact and come from the index; only where a request's time bounds cut
through a block (or through the time range of an instrument of a file read whole) are those
records read, and only those blocks, to count them.

Reading a part opens its file and checks it is the version planned; when it is not (the day was
replaced since), the part is planned again from the catalog's current state of that day, and a
day that has gone is skipped.
"""

from __future__ import annotations

import dataclasses
import errno
import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any

from .._lib import Dataset, Metadata, Schema, SymbolMap
from . import _format
from ._index import Block, Instrument, Instruments
from ._records import empty, numpy, size_of, ts_ids
from ._objects import ObjectFile, is_url, storage_of
from ._storage import LocalStorage, ReadFile

if TYPE_CHECKING:
    from ._result import QueryResult

_REREADS = 4


@dataclass(frozen=True)
class Part:
    """One day file to read and what to take from it; plain values only."""

    location: str  # the file's path
    day: str  # its ISO day ("" for a stream file outside a catalog)
    format: int  # its day-file format version
    kind: int  # the rtype of its records
    start: int  # records with start <= ts_event < end
    end: int
    ids: tuple[int, ...] | None  # the instruments asked for; None: every instrument
    instruments: tuple[Instrument, ...]  # those of the file that can match, from its entry
    blocks: tuple[Block, ...] | None  # the blocks to read; None: the whole file
    head: tuple[int, int] | None  # where the file's metadata lies
    count: int | None  # the records the whole file holds
    stat: tuple[int, int, int] | None  # the file's identity (size, mtime_ns, inode) as planned
    first: int | None  # the file's first and last ts_event
    last: int | None
    splits: tuple[int, ...]  # ts_event values that cut the file into pieces
    # What planning the day again takes, for a file of a catalog.
    root: str | None = None
    dataset: str | None = None  # Dataset name ("FUTURES")
    schema: str | None = None  # Schema value ("mbp-1")
    tickers: tuple[str, ...] | None = None  # raw tickers asked for that day; None: all
    # How to reach `root` when it is a URL (fsspec's storage options; None for a local root).
    storage_options: dict[str, Any] | None = field(default=None, hash=False)

    def within(self, start: int, end: int) -> Part:
        """The part narrowed to [start, end) (within its own bounds)."""
        start, end = max(start, self.start), min(end, self.end)
        blocks = self.blocks
        if blocks is not None:
            blocks = tuple(b for b in blocks if b[3] >= start and b[2] < end)
        return dataclasses.replace(self, start=start, end=end, blocks=blocks,
                                   instruments=tuple(i for i in self.instruments
                                                     if i[4] >= start and i[3] < end))

    def pieces(self) -> list[Part]:
        """The part cut at its file's split points, in time order (pieces that can hold no
        record of the part are left out)."""
        if self.first is None or self.last is None:
            return []
        bounds = [self.first, *self.splits, self.last + 1]
        out = []
        for lo, hi in zip(bounds, bounds[1:]):
            lo, hi = max(lo, self.start), min(hi, self.end)
            if lo < hi:
                out.append(self.within(lo, hi))
        return out

    def read(self) -> tuple[Metadata | None, Any]:
        """The file's metadata and the part's records, ordered by ts_event (equal times by
        instrument id, then as written); None for the metadata when the day has gone."""
        return read_part(self)


def plan_part(entry: Any, location: str, kind: int, start: int, end: int,
              tickers: tuple[str, ...] | None, **where: Any) -> Part | None:
    """The part of the day file `entry` describes that holds records of `tickers` (None:
    every instrument) in [start, end); None when it can hold none."""
    blocks: tuple[Block, ...] | None = None
    if isinstance(entry.instruments, Instruments):  # rows of an index: selected by masks
        ids, chosen, blocks = entry.instruments.plan(tickers, start, end)
        if entry.blocks is None:
            blocks = None
    elif tickers is None:
        ids = None
        chosen = tuple(entry.instruments)
    else:
        chosen = tuple(i for i in entry.instruments if i[1] in tickers)
        ids = tuple(i[0] for i in chosen)
    chosen = tuple(i for i in chosen if i[4] >= start and i[3] < end)
    if not chosen:
        return None
    if entry.blocks is not None and not isinstance(entry.instruments, Instruments):
        wanted = {i[0] for i in chosen}
        blocks = tuple(b for b in entry.blocks if b[0] in wanted and b[3] >= start and b[2] < end)
    return Part(location, entry.day, entry.format, kind, start, end, ids, chosen, blocks,
                entry.head if blocks is not None else None, entry.count,
                tuple(entry.stat.key()), entry.start, entry.end, entry.splits,
                tickers=tickers, **where)


def plan_stream_file(path: str | os.PathLike[str], tickers: tuple[str, ...] | None,
                     start: int, end: int) -> tuple[Part | None, Metadata, int]:
    """The part of a stream file outside a catalog (any stream `orx.open` reads) that holds
    records of `tickers` (None: all) in [start, end), with the file's metadata and record kind;
    the file is read once here to summarise it."""
    from ._index import Entry
    from ._records import kind_of
    from ._storage import FileStat

    from ._day_format import VERSION, decode_file, is_day_file

    where = os.fspath(path)
    fd = os.open(where, os.O_RDONLY | os.O_CLOEXEC)
    with ReadFile(fd, where) as f:
        version = VERSION if is_day_file(f.read(0, min(f.stat.size, 8))) \
            else _format.STREAM_VERSION
        if version == VERSION:  # a catalog's day file of format 2, read on its own
            meta = decode_file(f.read_all(), where)[0]
        else:
            meta = _peek_metadata(where)
        kind = kind_of(meta.schema)
        s = _format.get(version, where).summarise(f, kind)
        st = f.stat
    entry = Entry(os.path.basename(where), "", s["format"], FileStat(st.size, st.mtime_ns,
                                                                      st.inode),
                  s["count"], s["start"], s["end"], tuple(tuple(i) for i in s["instruments"]),
                  tuple(s["head"]) if s["head"] else None,
                  tuple(tuple(b) for b in s["blocks"]) if s["blocks"] is not None else None,
                  tuple(s["splits"]))
    return plan_part(entry, where, kind, start, end, tickers), meta, kind


def _peek_metadata(where: str) -> Metadata:
    from .._reader import open as open_stream

    try:
        with open_stream(where) as reader:
            return reader.metadata
    except ValueError as exc:
        raise ValueError(f"{where}: {exc}") from None


def _remote(part: Part) -> bool:
    return part.root is not None and is_url(part.root)


def _open(part: Part) -> Any:
    if part.root is None:
        fd = os.open(part.location, os.O_RDONLY | os.O_CLOEXEC)
        return ReadFile(fd, part.location)
    if _remote(part):
        remote = storage_of(part.root, part.storage_options)
        return remote.open_file(part.location[len(part.root) + 1:],
                                _format.get(part.format, part.location).ranges(part))
    storage = LocalStorage(part.root)
    return storage.open_file(os.path.relpath(part.location, part.root).replace(os.sep, "/"))


def _take(fmt: Any, f: Any, part: Part, inputs: bool) -> tuple[Metadata, Any]:
    if not inputs:
        return fmt.read(f, part)
    meta, taken, blocks = fmt.inputs(f, part)
    return meta, (part, f.where, taken, blocks)


def read_part(part: Part, opened: Any = None, inputs: bool = False
              ) -> tuple[Metadata | None, Any]:
    """The metadata and records of `part` (see Part.read); `opened`: the part's file, opened
    (and its ranges fetched) already. With `inputs`, instead of the records: (the part as
    read, its file, the executor's inputs, the index blocks they come from), the records
    themselves left to one executor call over many parts (None for the metadata and no
    inputs when the day has gone)."""
    for _ in range(_REREADS):
        f = opened
        opened = None
        if f is None:
            try:
                f = _open(part)
            except FileNotFoundError:
                if part.root is None:
                    raise
                f = None
        if f is not None:
            try:
                with f:
                    # a catalog's objects are never rewritten: a new version is a new object
                    fmt = _format.get(part.format, part.location)
                    if part.stat is None or _remote(part) or f.stat.key() == list(part.stat):
                        return _take(fmt, f, part, inputs)
                    if part.root is None:  # a stream file that changed: read it whole, as it is
                        whole = dataclasses.replace(part, blocks=None, head=None, count=None)
                        return _take(fmt, f, whole, inputs)
            except FileNotFoundError:  # an object removed since it was planned
                if not _remote(part):
                    raise
        from ._catalog import replan

        fresh = replan(part)
        if fresh is None:  # the day was removed, or holds nothing of the part any more
            return None, ((part, part.location, [], []) if inputs else empty(part.kind))
        if fresh.location == part.location and _remote(part):
            raise FileNotFoundError(errno.ENOENT, "the index lists this object but it is not "
                                    "there; Catalog.reindex() rebuilds the index from the "
                                    "objects", part.location)
        part = fresh
    raise RuntimeError(f"{part.location} changed {_REREADS} times while it was being read; "
                       f"read it again")


# Parts of an object store read together: their ranges are fetched in one go, all in flight at
# once, up to about this many bytes (or this many parts).
_WINDOW_BYTES = 64 << 20
_WINDOW_PARTS = 32


def read_parts(parts: Iterable[Part], inputs: bool = False
               ) -> Iterator[tuple[Part, Metadata | None, Any]]:
    """(part, metadata, records) of each part, in order (see Part.read; records as read_part
    gives them with `inputs`). Parts in an object store are fetched a window at a time: the
    byte ranges of several days in flight at once."""
    window: list[tuple[Part, list[tuple[int, int]] | None]] = []
    size = 0

    def flush() -> Iterator[tuple[Part, Metadata | None, Any]]:
        first = window[0][0]
        assert first.root is not None
        storage = storage_of(first.root, first.storage_options)
        rels = {p.location: p.location[len(first.root) + 1:] for p, _ in window}
        try:
            got = storage.fetch([(rels[p.location], r) for p, r in window if r])
        except FileNotFoundError:  # one has gone: each is read (and planned again) alone
            got = None
        for p, r in window:
            rel = rels[p.location]
            opened = ObjectFile(storage, rel, None, got[rel]) if got is not None and r else None
            meta, arr = read_part(p, opened, inputs)
            yield p, meta, arr
        window.clear()

    for part in parts:
        if not _remote(part):
            if window:
                yield from flush()
                size = 0
            meta, arr = read_part(part, inputs=inputs)
            yield part, meta, arr
            continue
        if window and (window[0][0].root != part.root
                       or window[0][0].storage_options != part.storage_options):
            yield from flush()
            size = 0
        ranges = _format.get(part.format, part.location).ranges(part)
        window.append((part, ranges))
        size += sum(n for _, n in ranges) if ranges else (part.stat[0] if part.stat else 0)
        if size >= _WINDOW_BYTES or len(window) >= _WINDOW_PARTS:
            yield from flush()
            size = 0
    if window:
        yield from flush()


def _selected(part: Part) -> tuple[int, set[int]]:
    """The number of records of `part` and their instruments, from its entry where its blocks
    (or instruments, for a file read whole) lie inside its time bounds; the rest is read."""
    np = numpy()

    def inside(first: int, last: int) -> bool:
        return first >= part.start and last < part.end

    if part.blocks is not None:
        full = [b for b in part.blocks if inside(b[2], b[3])]
        partial = tuple(b for b in part.blocks if not inside(b[2], b[3]))
        count, ids = sum(b[1] for b in full), {b[0] for b in full}
        if not partial:
            return count, ids
        _, arr = dataclasses.replace(part, blocks=partial).read()
    else:
        if all(inside(i[3], i[4]) for i in part.instruments):
            return sum(i[2] for i in part.instruments), {i[0] for i in part.instruments}
        count, ids = 0, set()
        _, arr = part.read()
    return count + len(arr), ids | set(np.unique(ts_ids(arr)[1]).tolist())


@dataclass(frozen=True)
class Plan:
    """What answering one request takes: the request's schema, dataset and range, and the day
    files to read (`parts`, in day order)."""

    schema: Schema
    dataset: Dataset
    start: int  # the request's range [start, end), as the result's metadata states it
    end: int
    kind: int
    parts: tuple[Part, ...]

    def __repr__(self) -> str:
        return (f"<orx.catalog.Plan of {len(self.parts)} day file(s), {self.dataset.name}/"
                f"{self.schema.value}>")

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        for name in ("_selection", "metadata", "record_count", "stream_size"):
            state.pop(name, None)
        state["schema"], state["dataset"] = self.schema.value, self.dataset.name
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        state = dict(state)
        state["schema"] = Schema.from_str(state["schema"])
        state["dataset"] = getattr(Dataset, state["dataset"])
        self.__dict__.update(state)

    @cached_property
    def _selection(self) -> list[tuple[int, set[int]]]:
        return [_selected(p) for p in self.parts]

    @cached_property
    def record_count(self) -> int:
        """The number of records the plan selects (exact; see the module text)."""
        return sum(n for n, _ in self._selection)

    @cached_property
    def metadata(self) -> Metadata:
        """The metadata of the stream of the selected records: the request's schema, dataset
        and range, and the tickers of the instruments that have selected records."""
        maps: dict[int, str] = {}
        seen: dict[int, str] = {}
        for part, (_, ids) in zip(self.parts, self._selection):
            tickers = {i[0]: i[1] for i in part.instruments}
            for i in sorted(ids):
                t = tickers.get(i)
                if t is None:
                    continue
                merge_ticker(maps, seen, i, t, os.path.basename(part.location))
        return self._metadata(maps)

    def _metadata(self, maps: dict[int, str]) -> Metadata:
        return Metadata(self.schema, self.dataset, self.start, self.end, SymbolMap(maps))

    @cached_property
    def stream_size(self) -> int:
        """The exact length of the uncompressed stream of the selected records."""
        return len(self.metadata.encode()) + self.record_count * size_of(self.kind)

    def with_parts(self, parts: list[Part] | tuple[Part, ...]) -> Plan:
        """The same request over other parts (pieces of these, say)."""
        return Plan(self.schema, self.dataset, self.start, self.end, self.kind, tuple(parts))

    def result(self) -> QueryResult:
        from ._result import QueryResult

        return QueryResult(self)


def merge_ticker(maps: dict[int, str], seen: dict[int, str], i: int, t: str, name: str) -> None:
    """Adds instrument `i`'s ticker `t` (from the file `name`) to `maps`: one id keeps one
    ticker across the days of one answer."""
    if i in maps and maps[i] != t:
        raise ValueError(f"instrument id {i} is {maps[i]!r} in {seen[i]} and {t!r} in {name}; "
                         f"query the two separately")
    maps[i], seen[i] = t, name
