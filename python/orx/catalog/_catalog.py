"""The catalog: day files by dataset, schema and UTC day, written all or nothing, planned and
queried from their index."""

from __future__ import annotations

import datetime as _dt
import os
import random
import re
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .._kinds import METADATA_KEY, SCHEMA_KINDS, record_dtype
from .._lib import Dataset, Metadata, RetrieveParams, Schema, Stype, SymbolMap
from .._params import as_params
from . import _continuous, _format, _index, _journal
from ._day_format import VERSION as _DAY_FILE_VERSION  # always zstd-compressed
from ._index import INDEX_NAME, Entry, Invalid
from . import _objects
from ._objects import Conflict, version_name
from ._plan import Part, Plan, plan_part
from ._records import (NS_PER_DAY, concat, day_of, day_start, empty, kind_of, kind_text,
                       numpy, records, size_of, ts_ids)
from ._result import QueryResult
from ._storage import FileStat, open_storage

if TYPE_CHECKING:
    import dask.dataframe as dd

_DAY_FILE = re.compile(r"^(\d{4}-\d{2}-\d{2})(\..+)$")
# A day's object in an object store: each version of a day is an object of a name of its own.
_DAY_OBJECT = re.compile(r"^(\d{4}-\d{2}-\d{2})(@[0-9a-f]{16})?(\..+)$")
# Tries of a writer whose conditional write of the index keeps finding another writer's.
_COMMIT_TRIES = 64
_DATASETS = sorted((m for m in vars(Dataset).values() if isinstance(m, Dataset)), key=int)
_SCHEMAS = sorted((m for m in vars(Schema).values()
                   if isinstance(m, Schema) and int(m) in SCHEMA_KINDS), key=int)
_VIEW_TRIES = 5
# A batch of an upgrade, written all or nothing: at most this many days, and days of about this
# many bytes of records (more only for one day larger than that).
UPGRADE_DAYS = 32
UPGRADE_BYTES = 1 << 30
# A day a write puts: its file's (object's) name, format, compression and what loads its
# metadata and records (when its file is written, so that one day is in memory at a time).
_DayPlan = tuple[str, Any, "str | None", Callable[[], tuple[Metadata, Any]]]


class UnknownSymbolError(KeyError):
    """A request names a ticker that no day file of its dataset and schema holds."""

    def __str__(self) -> str:  # the message as written, not quoted as a key
        return str(self.args[0])


def _schema_attr(schema: Schema) -> str:
    """The attribute that names `schema` on the Schema class (Schema.OHLCV1_S, ...)."""
    return next(a for a, m in vars(Schema).items() if a.isupper() and m == schema)


def _zstd_available() -> bool:
    try:
        from .._ext import zstd_levels  # noqa: F401
    except ImportError:  # a build without zstd
        return False
    return True


@dataclass(frozen=True)
class DayFile:
    """One day file and its (checked) index entry."""

    path: Any  # a Path, or the object's URL for a catalog at a URL
    entry: Entry

    @property
    def day(self) -> _dt.date:
        return _dt.date.fromisoformat(self.entry.day)

    @property
    def count(self) -> int:
        return self.entry.count

    @property
    def start(self) -> int | None:
        return self.entry.start

    @property
    def end(self) -> int | None:
        return self.entry.end

    @property
    def size(self) -> int:
        return self.entry.size

    @property
    def splits(self) -> tuple[int, ...]:
        return self.entry.splits

    def tickers(self) -> set[str]:
        return self.entry.tickers()


@dataclass
class _View:
    """The days of one directory as a reader (or the writer) sees them: day -> (entry, file
    to read it from), plus the index document they came from."""

    days: dict[str, tuple[Entry, str]]
    doc: _index.Document


def _day_files(listing: dict[str, FileStat], where: str,
               replaced: Sequence[str] = ()) -> dict[str, str]:
    """Day -> file name of the day files among `listing`, but for those `replaced` (by a
    committed journal: files of other names take their place)."""
    out: dict[str, str] = {}
    for name in sorted(listing):
        m = _DAY_FILE.match(name)
        if m is None or _format.of_suffix(m.group(2)) is None or _index.day_of_name(name) is None \
                or name in replaced:
            continue
        day = m.group(1)
        if day in out:
            raise ValueError(f"{where}: day {day} is stored twice ({out[day]} and {name}); "
                             f"remove one")
        out[day] = name
    return out


def _object_days(listing: dict[str, FileStat], named: set[str]) -> dict[str, str]:
    """Day -> object of the day objects among `listing`: the one `named` (by the index) where
    there is one, else the object of the plain day-file name, else the day's latest version
    (by modification time, then name)."""
    best: dict[str, tuple[int, int, str]] = {}
    for name, st in listing.items():
        m = _DAY_OBJECT.match(name)
        if m is None or _format.of_suffix(m.group(3)) is None or _index.day_of_name(name) is None:
            continue
        rank = (2 if name in named else 1 if m.group(2) is None else 0, st.mtime_ns, name)
        day = m.group(1)
        if day not in best or rank > best[day]:
            best[day] = rank
    return {day: rank[2] for day, rank in sorted(best.items())}


class _Buffer:
    """Where a day object is written before it is put whole."""

    def __init__(self) -> None:
        self.parts: list[bytes] = []
        self.written = 0

    def write(self, data: Any) -> None:
        b = bytes(memoryview(data).cast("B"))
        self.parts.append(b)
        self.written += len(b)

    def getvalue(self) -> bytes:
        return b"".join(self.parts)


class Catalog:
    """Day files by dataset, schema and UTC day, in a local directory or at any fsspec URL;
    see the package text."""

    def __init__(self, path: os.PathLike[str] | str,
                 storage_options: dict[str, Any] | None = None, *,
                 compression: str | None = "auto", day_format: int | None = None):
        if day_format is not None and (isinstance(day_format, bool)
                                       or day_format not in _format.FORMATS):
            raise ValueError(f"day_format must be one of {sorted(_format.FORMATS)} or None, "
                             f"got {day_format!r}")
        if compression not in ("auto", "zstd", None):
            raise ValueError(f"compression must be 'auto', 'zstd' or None, got {compression!r}")
        if compression == "zstd" and not _zstd_available():
            raise ValueError("zstd compression needs the zstd support of orx")
        if storage_options is not None and not isinstance(storage_options, dict):
            raise TypeError(f"storage_options must be a dict, not "
                            f"{type(storage_options).__name__}")
        self._storage = open_storage(path, storage_options)
        self._remote = self._storage.remote
        # a local catalog's root is a Path, one at a URL the URL
        self.root: Any = self._storage.root if self._remote else Path(self._storage.root
                                                                       if str(path).startswith(
                                                                           ("file:", "local:"))
                                                                       else path)
        self.storage_options = storage_options
        self.compression = ("zstd" if _zstd_available() else None) if compression == "auto" \
            else compression
        if self.compression is None and day_format == _DAY_FILE_VERSION:
            raise ValueError(f"day_format {_DAY_FILE_VERSION} is always zstd-compressed: "
                             f"compression=None writes uncompressed days of day_format "
                             f"{_format.STREAM_VERSION} (the default without compression)")
        # The format new days are written in (a day that exists keeps its own): without
        # compression, plain streams, since format 2 is always compressed.
        self.day_format = day_format if day_format is not None else (
            _format.WRITE_VERSION if self.compression is not None else _format.STREAM_VERSION)
        # Entries already checked, by directory: valid while the index's bytes are these and
        # the file has the identity the entry records.
        self._checked: dict[str, tuple[bytes, dict[str, Entry]]] = {}

    def __repr__(self) -> str:
        return f"Catalog({str(self.root)!r})"

    @staticmethod
    def _rel(dataset: Dataset, schema: Schema) -> str:
        return f"{dataset.name}/{schema.value}"

    def _where(self, rel: str) -> Any:
        """The Path (local) or URL of `rel`."""
        return self._storage.path(rel) if self._remote else Path(self._storage.path(rel))

    def directory(self, dataset: Dataset, schema: Schema) -> Any:
        """The directory holding the day files of `dataset` and `schema` (its URL for a
        catalog at a URL)."""
        if self._remote:
            return self._storage.path(self._rel(dataset, schema))
        return self.root / dataset.name / schema.value

    def path_of(self, dataset: Dataset, schema: Schema, day: _dt.date | str) -> Any:
        """Where the day file of `day` lives (whether or not it exists yet)."""
        rel = self._rel(dataset, schema)
        text = day if isinstance(day, str) else day.isoformat()
        if self._remote:
            found = self._view(rel, kind_of(schema), (text, text)).days.get(text)
            return self._storage.path(found[1] if found else f"{rel}/" + _format.FORMATS[
            self.day_format].file_name(text, self.compression))
        existing = self._local_days(rel)
        name = existing.get(text) or _format.FORMATS[self.day_format].file_name(text,
                                                                           self.compression)
        return self.directory(dataset, schema) / name

    # -- what the catalog holds --------------------------------------------------------------

    def _holds(self, dataset: Dataset, schema: Schema) -> bool:
        rel = self._rel(dataset, schema)
        if self._remote:
            listing = self._storage.scan(rel)
            return INDEX_NAME in listing or bool(_object_days(listing, set()))
        return bool(self._local_days(rel))

    def _local_days(self, rel: str) -> dict[str, str]:
        """Day -> file name of the day files of the local directory `rel`, as a reader takes
        them: with the days of a committed journal still under their temporary names, without
        the files it replaces."""
        st = self._storage
        for attempt in range(2):
            listing = st.scan(rel)
            try:  # the journal, read after the listing, was there while a day had two files
                journal = _journal.read(st, rel)
            except ValueError:
                journal = None
            try:
                days = _day_files(listing, st.path(rel), journal.removes if journal else ())
            except ValueError:
                if attempt:  # not a moment of a write: two files of one day
                    raise
                continue
            for temp, final, _ in journal.items if journal is not None else ():
                if temp in listing:
                    days.setdefault(final[:10], final)
            return days
        raise AssertionError("unreachable")

    def datasets(self) -> list[Dataset]:
        """The datasets with at least one day file, in code order."""
        self._storage.require_root()
        present = set(self._storage.subdirectories(""))
        return [d for d in _DATASETS if d.name in present
                and any(self._holds(d, s) for s in _SCHEMAS)]

    def schemas(self, dataset: Dataset) -> list[Schema]:
        """The schemas of `dataset` with at least one day file, in code order."""
        self._storage.require_root()
        return [s for s in _SCHEMAS if self._holds(dataset, s)]

    def range(self, dataset: Dataset, schema: Schema | None = None) -> tuple[int, int] | None:
        """[first ts_event, last ts_event + 1) over the day files of `dataset` (of one schema),
        from the index; None when they hold no record."""
        self._storage.require_root()
        lo = hi = None
        for s in ([schema] if schema is not None else _SCHEMAS):
            kind = kind_of(s)
            for entry, _ in self._view(self._rel(dataset, s), kind).days.values():
                if entry.start is None or entry.end is None:
                    continue
                lo = entry.start if lo is None else min(lo, entry.start)
                hi = entry.end + 1 if hi is None else max(hi, entry.end + 1)
        return None if lo is None or hi is None else (lo, hi)

    def files(self, dataset: Dataset, schema: Schema) -> list[DayFile]:
        """The day files of `dataset` and `schema`, in day order, as their checked index
        entries describe them."""
        self._storage.require_root()
        view = self._view(self._rel(dataset, schema), kind_of(schema))
        return [DayFile(self._where(loc), e) for _, (e, loc) in sorted(view.days.items())]

    def symbols(self, dataset: Dataset, schema: Schema) -> dict[str, list[str]]:
        """Every ticker the catalog holds for `dataset` and `schema`, with the days it has
        records on (ISO dates, ascending)."""
        out: dict[str, list[str]] = {}
        for f in self.files(dataset, schema):
            for t in sorted(f.tickers()):
                out.setdefault(t, []).append(f.entry.day)
        return dict(sorted(out.items()))

    # -- the state of a directory --------------------------------------------------------------

    def _view(self, rel: str, kind: int, days: tuple[str, str] | None = None) -> _View:
        """What a reader sees of `rel`: the index, checked against the files, with a committed
        write that is still being put in place taken as done."""
        if self._remote:
            return self._remote_view(rel, kind, days)
        st = self._storage
        waited = False
        for _ in range(_VIEW_TRIES):
            before = st.stat(f"{rel}/{INDEX_NAME}")
            try:
                journal = _journal.read(st, rel)
            except ValueError as exc:
                warnings.warn(f"orx.catalog: {exc}; it is left out", RuntimeWarning, 2)
                journal = None
            if journal is not None and not waited:
                st.wait_for_writer(rel)  # a writer is putting its days in place
                waited = True
                continue
            doc = _index.load(st, rel)
            listing = st.scan(rel)
            if (st.stat(f"{rel}/{INDEX_NAME}") == before
                    and (st.stat(f"{rel}/{_journal.JOURNAL_NAME}") is None) == (journal is None)):
                break
        return self._entries(rel, kind, doc, listing, journal, days)

    def _entries(self, rel: str, kind: int, doc: _index.Document, listing: dict[str, FileStat],
                 journal: _journal.Journal | None, days: tuple[str, str] | None = None,
                 warn: bool = True) -> _View:
        """Day -> (checked entry, file) of `rel`; `warn`: say when entries were unusable (a
        writer mends them instead)."""
        where = self._storage.path(rel)
        index_path = self._storage.path(f"{rel}/{INDEX_NAME}")
        files = _day_files(listing, where, journal.removes if journal is not None else ())
        out: dict[str, tuple[Entry, str]] = {}
        problems = [doc.problem] if doc.problem else []
        checked: dict[str, Entry] = {}
        if doc.data is not None:
            cached = self._checked.get(rel)
            if cached is not None and cached[0] == doc.data:
                checked = cached[1]
            else:
                self._checked[rel] = (doc.data, checked)
        pending: dict[str, tuple[str, object]] = {}
        if journal is not None:
            for temp, final, listed in journal.items:
                pending[final] = (temp, listed)
        for day, name in files.items():
            if days is not None and not days[0] <= day <= days[1]:
                continue
            stat = listing[name]
            if name in pending:  # a committed day still under its temporary name, or renamed
                temp, noted = pending.pop(name)
                for candidate in (name, temp):
                    s = listing.get(candidate)
                    if s is None:
                        continue
                    try:
                        out[day] = (_index.check_entry(noted, name, s, _format.FORMATS, kind),
                                    f"{rel}/{candidate}")
                        break
                    except Invalid:
                        continue
                if day in out:
                    continue
            raw = doc.entries.get(name)
            entry: Entry | None = checked.get(name)
            if entry is not None and entry.stat != stat:
                entry = None
            if entry is None and raw is not None:
                try:
                    entry = _index.check_entry(raw, name, stat, _format.FORMATS, kind)
                    checked[name] = entry
                except Invalid as why:
                    if not str(why).startswith("the file changed"):
                        problems.append(f"entry of {name}: {why}")
            if entry is None:
                entry = self._summarise_recorded(rel, name, stat, kind, raw, index_path, "file")
            out[day] = (entry, f"{rel}/{name}")
        for final, (temp, new) in pending.items():  # a new day not yet renamed into place
            day = final[:10]
            s = listing.get(temp)
            if s is None or (days is not None and not days[0] <= day <= days[1]):
                continue
            try:
                out[day] = (_index.check_entry(new, final, s, _format.FORMATS, kind),
                            f"{rel}/{temp}")
            except Invalid:
                continue
        if problems and warn:
            warnings.warn(f"orx.catalog: {index_path}: {problems[0]}; the files were summarised "
                          f"instead (Catalog.reindex() rebuilds the index)", RuntimeWarning, 3)
        return _View(out, doc)

    def _remote_view(self, rel: str, kind: int, days: tuple[str, str] | None = None,
                     doc: _index.Document | None = None, warn: bool = True) -> _View:
        """What a reader sees of `rel` in an object store: the index says which object holds
        each day. Without an index (or with one that cannot be read) the objects are listed:
        a day's object of the plain day-file name, else its latest version."""
        st = self._storage
        index_path = st.path(f"{rel}/{INDEX_NAME}")
        if doc is None:
            doc = _index.load(st, rel)
        out: dict[str, tuple[Entry, str]] = {}
        problems = [doc.problem] if doc.problem else []
        wanted = (lambda day: days is None or days[0] <= day <= days[1])
        if doc.data is not None and not doc.problem:
            cached = self._checked.get(rel)
            if cached is not None and cached[0] == doc.data:
                checked = cached[1]
            else:
                checked = {}
                self._checked[rel] = (doc.data, checked)
            for name, raw in doc.entries.items():
                m = _DAY_OBJECT.match(name)
                if m is None or _format.of_suffix(m.group(3)) is None \
                        or _index.day_of_name(name) is None:
                    problems.append(f"entry of {name}: not the name of a day object")
                    continue
                day = m.group(1)
                if not wanted(day):
                    continue
                if day in out:
                    raise ValueError(f"{index_path}: day {day} is listed twice "
                                     f"({out[day][1].rpartition('/')[2]} and {name}); "
                                     f"Catalog.reindex() rebuilds the index")
                entry = checked.get(name)
                if entry is None:
                    try:
                        entry = _index.check_entry(raw, name, _listed_stat(raw), _format.FORMATS,
                                                   kind)
                        checked[name] = entry
                    except Invalid as why:
                        problems.append(f"entry of {name}: {why}")
                        stat = st.stat(f"{rel}/{name}")
                        if stat is None:
                            continue
                        entry = self._summarise_recorded(rel, name, stat, kind, raw,
                                                         index_path, "object")
                out[day] = (entry, f"{rel}/{name}")
        else:
            listing = st.scan(rel)
            for day, name in _object_days(listing, set()).items():
                if wanted(day):
                    out[day] = (self._summarise(rel, name, listing[name], kind), f"{rel}/{name}")
        if problems and warn:
            warnings.warn(f"orx.catalog: {index_path}: {problems[0]}; the objects were summarised "
                          f"instead (Catalog.reindex() rebuilds the index)", RuntimeWarning, 3)
        return _View(out, doc)

    def _summarise_recorded(self, rel: str, name: str, stat: FileStat, kind: int, raw: object,
                            index_path: str, what: str) -> Entry:
        """A summary of the day `name` in place of its index entry `raw`, which must agree with
        the record count the entry recorded: a day that lost records is an error, never a
        shorter answer. `what` is "file" or "object"."""
        entry = self._summarise(rel, name, stat, kind)
        wrote = _index.recorded_count(raw)
        if wrote is not None and wrote != entry.count:
            raise ValueError(
                f"{index_path}: the entry of {name} records {wrote} records, the {what} holds "
                f"{entry.count}: it was cut short or changed behind the catalog's back; "
                f"Catalog.reindex() accepts the {what}s as they are")
        return entry

    def _summarise(self, rel: str, name: str, stat: FileStat, kind: int) -> Entry:
        """The entry of a day file, from the file alone."""
        m = _DAY_OBJECT.match(name)
        fmt = _format.of_suffix(m.group(3)) if m is not None else None
        assert fmt is not None
        where = self._storage.path(f"{rel}/{name}")
        with self._storage.open_file(f"{rel}/{name}") as f:
            fields = fmt.summarise(f, kind)
            stat = f.stat
        return self._entry_of(rel, name, fields, stat, kind, where)

    @staticmethod
    def _entry_of(rel: str, name: str, fields: dict[str, Any], stat: FileStat, kind: int,
                  where: str) -> Entry:
        raw = dict(fields, file=name, stat=stat.key())
        try:
            return _index.check_entry(raw, name, stat, _format.FORMATS, kind)
        except Invalid as why:
            lo = day_start(name[:10])
            if fields.get("count") and not (lo <= fields["start"] and fields["end"] < lo
                                            + NS_PER_DAY):
                raise ValueError(f"{where}: holds records of other days than {name[:10]} "
                                 f"(ts_event {fields['start']} to {fields['end']})") from None
            raise ValueError(f"{where}: its summary does not hold together: {why}") from None

    # -- planning and answering requests -------------------------------------------------------

    def plan(self, params: RetrieveParams | str | None = None, /, **keywords: Any) -> Plan:
        """What answering `params` (a RetrieveParams, its JSON text, or the keywords dataset=,
        schema=, symbols=, start=, end=, stype_in=) takes; see orx.catalog.Plan.

        Only day files that can hold matching records are planned: those whose day and time
        range overlap [start_ts, end_ts) and, unless `symbols` is empty (every instrument),
        that hold one of the tickers asked for. Planning reads the index only.
        """
        params = as_params(params, **keywords)
        self._storage.require_root()
        kind = kind_of(params.schema)
        start, end = max(params.start_ts, 0), params.end_ts
        symbols = list(dict.fromkeys(params.symbols))
        rel = self._rel(params.dataset, params.schema)
        where = rel
        if end <= start:  # an empty range: no day to check, no day to read
            days: dict[str, tuple[Entry, str]] = {}
        else:
            days = self._view(rel, kind, (day_of(start).isoformat(),
                                          day_of(end - 1).isoformat())).days
        continuous = params.stype == Stype.CONTINUOUS
        if continuous:
            roots = {s: _continuous.parse(s)[0] for s in symbols}
        elif symbols:
            known = _index.tickers_of(e for e, _ in days.values())
            missing = [s for s in symbols if s not in known]
            if missing:  # look again at every day, not only at those of the range
                known = _index.tickers_of(e for e, _ in self._view(rel, kind).days.values())
                missing = [s for s in symbols if s not in known]
            if missing:
                many = len(missing) > 1
                raise UnknownSymbolError(
                    f"unknown ticker{'s' if many else ''} {', '.join(map(repr, missing))}: no "
                    f"day file of {where} in {self.root} holds {'them' if many else 'it'}; "
                    f"Catalog.symbols(Dataset.{params.dataset.name}, "
                    f"Schema.{_schema_attr(params.schema)}) lists the tickers it has")
        parts = []
        for day in sorted(days):
            entry, loc = days[day]
            tickers = self._tickers(symbols, continuous, entry)
            if tickers == ():
                continue
            part = plan_part(entry, self._storage.path(loc), kind, start, end, tickers,
                             root=self._storage.root, dataset=params.dataset.name,
                             schema=params.schema.value,
                             storage_options=self.storage_options if self._remote else None)
            if part is not None:
                parts.append(part)
        if continuous and not parts and symbols:  # say why, looking at every day
            self._explain_continuous(roots, [e for e, _ in self._view(rel, kind).days.values()],
                                     where)
        return Plan(params.schema, params.dataset, max(params.start_ts, 0),
                    max(params.end_ts, 0), kind, tuple(parts))

    @staticmethod
    def _tickers(symbols: list[str], continuous: bool, entry: Entry) -> tuple[str, ...] | None:
        if not symbols:
            return None
        if continuous:
            year = int(entry.day[:4])
            return tuple(dict.fromkeys(
                t for s in symbols
                if (t := _continuous.resolve(s, entry.tickers(), year)) is not None))
        return entry.holding(symbols)

    def _explain_continuous(self, roots: dict[str, str], entries: list[Entry],
                            where: str) -> None:
        for s, root in roots.items():
            if not any(_continuous.expiry(t, root, int(e.day[:4])) for e in entries
                       for t in e.tickers()):
                raise ValueError(
                    f"cannot resolve {s!r}: no ticker of {where} in {self.root} is a futures "
                    f"contract of root {root!r} (root, month code F..Z, year digits, such as "
                    f"{root}Z6); Catalog.symbols(...) lists the tickers the catalog holds")

    def query(self, params: RetrieveParams | str | None = None, /,
              **keywords: Any) -> QueryResult:
        """The records `params` asks for (see `plan` for the forms it takes); see QueryResult."""
        return QueryResult(self.plan(params, **keywords))

    def resolve(self, params: RetrieveParams | str | None = None, /, **keywords: Any
                ) -> tuple[dict[str, list[tuple[str, int, str]]], list[str]]:
        """For each requested symbol (raw or continuous), the (ISO day, instrument id, raw
        ticker) it names, day by day within the request's range, from the index; and the
        symbols that name nothing on any day of the range."""
        params = as_params(params, **keywords)
        self._storage.require_root()
        kind = kind_of(params.schema)
        start, end = max(params.start_ts, 0), params.end_ts
        continuous = params.stype == Stype.CONTINUOUS
        symbols = list(dict.fromkeys(params.symbols))
        days: dict[str, tuple[Entry, str]] = {}
        if end > start:
            days = self._view(self._rel(params.dataset, params.schema), kind,
                              (day_of(start).isoformat(), day_of(end - 1).isoformat())).days
        out: dict[str, list[tuple[str, int, str]]] = {}
        for s in symbols:
            rows: list[tuple[str, int, str]] = []
            for day in sorted(days):
                entry = days[day][0]
                t = (_continuous.resolve(s, entry.tickers(), int(day[:4])) if continuous
                     else s)
                rows += [(day, i[0], i[1]) for i in entry.instruments
                         if t is not None and i[1] == t and i[4] >= start and i[3] < end]
            out[s] = rows
        return out, [s for s in symbols if not out[s]]

    def to_dask(self, params: RetrieveParams | str, *, pretty_px: bool = False,
                datetimes: bool = False, columns: Sequence[str] | None = None) -> dd.DataFrame:
        """The records `params` selects, as a dask DataFrame indexed by ts_event (as
        datetime64[ns, UTC] with `datetimes`) with one partition per day file (or piece of a
        large day); see orx.dask."""
        return self.query(params).to_dask(pretty_px=pretty_px, datetimes=datetimes,
                                          columns=columns)

    # -- writing -------------------------------------------------------------------------------

    def write(self, data: Any, metadata: Metadata | None = None, *,
              mode: str = "append") -> list[Any]:
        """Stores records split by the UTC day of their ts_event; returns the day files written.

        `data`: a stream (bytes or a path), a query result, a reader, record objects, a numpy
        array of records, a DataFrame or Arrow data (with `metadata` where they carry none; it
        also gives the schema and dataset). `mode="append"` merges the records into the days
        that exist; `mode="replace"` replaces every day the data touches (days it does not touch
        are left alone). All the days change at once, or none does. An append that repeats one
        already committed (a retry after a crash) writes nothing again. Returns the paths (at
        a URL: the URLs of the objects) of the days written.
        """
        if mode not in ("append", "replace"):
            raise ValueError(f"mode must be 'append' or 'replace', got {mode!r}")
        meta, arr = self._input(data, metadata)
        np = numpy()
        kind = kind_of(meta.schema)
        rel = self._rel(meta.dataset, meta.schema)
        digest = _journal.digest(meta, arr) if mode == "append" else None
        ts, _ = ts_ids(arr)
        day_numbers = ts // NS_PER_DAY
        order = np.argsort(day_numbers, kind="stable")
        arr, day_numbers = arr[order], day_numbers[order]
        cuts = np.flatnonzero(np.diff(day_numbers)) + 1
        groups = [(day_of(int(day_numbers[g[0]]) * NS_PER_DAY).isoformat(), arr[g])
                  for g in (np.split(np.arange(len(arr)), cuts) if len(arr) else [])]
        if self._remote:
            return self._write_objects(rel, kind, meta, groups, mode, digest)
        st = self._storage
        st.makedirs(rel)
        d = self.directory(meta.dataset, meta.schema)
        with st.lock(rel):
            for name in (INDEX_NAME, _journal.JOURNAL_NAME):
                st.refuse_link(f"{rel}/{name}")
            view = self._recover(rel, kind)
            for recorded, names in view.doc.appends:
                if digest is not None and recorded == digest:
                    return [d / n for n in names]
            plans = self._day_plans(rel, kind, meta, groups, mode, view)
            for name, *_ in plans:
                st.refuse_link(f"{rel}/{name}")
            # every day is checked before the first is written
            self._commit_files(rel, kind, view, [
                (name, fmt, compression, partial(_given, day_meta, merged))
                for name, fmt, compression, day_meta, merged in plans], digest)
        return [d / name for name, *_ in plans]

    def _commit_files(self, rel: str, kind: int, view: _View, plans: list[_DayPlan],
                      digest: str | None, removes: Sequence[str] = ()) -> None:
        """With the lock of `rel` held: writes the days `plans` make under temporary names,
        commits them by putting the journal in place (with `digest`, of an append, and
        `removes`, the old files of other names the new ones replace), then puts them in
        place."""
        st = self._storage
        staged, items = [], []
        try:
            for name, fmt, compression, load in plans:
                f = st.stage(rel, name)
                staged.append(f)
                fields = fmt.write_day(f, *load(), compression)
                entry = self._entry_of(rel, name, fields, f.finish(), kind,
                                       st.path(f"{rel}/{name}"))
                items.append((f.name, name, entry.to_json()))
            _journal.kill_point("staged")
            journal = _journal.Journal(items, digest, tuple(removes))
            st.replace(f"{rel}/{_journal.JOURNAL_NAME}", _journal.dump(journal))
        except BaseException:
            for f in staged:
                f.discard()
            raise
        _journal.kill_point("committed")
        self._apply(rel, kind, journal, view.doc)

    def _day_plans(self, rel: str, kind: int, meta: Metadata, groups: list[tuple[str, Any]],
                   mode: str, view: _View) -> list[tuple[str, Any, str | None, Metadata, Any]]:
        """(file name, format, compression, metadata, records) of each day a write makes: a
        day that exists keeps its format and compression (and, on a local disk, its name);
        an append merges the day's records with the new ones."""
        plans = []
        for day, new in groups:
            fmt, compression = _format.FORMATS[self.day_format], self.compression
            old_meta, old = None, empty(kind)
            if day in view.days:
                entry, loc = view.days[day]
                name = loc.rpartition("/")[2]
                fmt = _format.get(entry.format, self._storage.path(loc))
                compression = fmt.compression_of(name)
                if mode == "append" and entry.count:
                    old_meta, old = self._read_day(entry, loc, kind)
            name = fmt.file_name(day, compression)
            if self._remote:
                name = version_name(day, name[len(day):])
            elif day in view.days:
                name = view.days[day][1].rpartition("/")[2]
            merged = concat([old, new], kind) if len(old) else new
            plans.append((name, fmt, compression, self._day_metadata(meta, old_meta, merged, day),
                          merged))
        return plans

    def _write_objects(self, rel: str, kind: int, meta: Metadata, groups: list[tuple[str, Any]],
                       mode: str, digest: str | None) -> list[Any]:
        """A write to an object store: each new day is a new object, put whole; the index,
        switched by one conditional write (or under the lease), makes them the catalog's days,
        all at once. A writer that finds the index changed under it starts again."""
        def plan(view: _View) -> list[_DayPlan]:
            return [(name, fmt, compression, partial(_given, day_meta, merged))
                    for name, fmt, compression, day_meta, merged
                    in self._day_plans(rel, kind, meta, groups, mode, view)]

        written = self._commit_objects(rel, kind, plan, digest)
        assert written is not None
        return written

    def _commit_objects(self, rel: str, kind: int,
                        plan: Callable[[_View], list[_DayPlan] | None],
                        digest: str | None = None) -> list[Any] | None:
        """Puts the days `plan` makes of the current view of `rel` (None: nothing to do) as new
        objects, then switches the index to them with one conditional write (or under the
        lease), then removes the objects of the days they replace. A writer that finds the index
        changed under it plans again from the new one. `digest`: of an append, whose retry
        writes nothing. Returns the URLs of the objects written."""
        st = self._storage
        index_rel = f"{rel}/{INDEX_NAME}"
        for attempt in range(_COMMIT_TRIES):
            with st.writer(rel) as lease:
                tag = st.tag(index_rel)
                view = self._remote_view(rel, kind, doc=_index.load(st, rel), warn=False)
                for recorded, names in view.doc.appends:
                    if digest is not None and recorded == digest:
                        return [st.path(f"{rel}/{n}") for n in names]
                plans = plan(view)
                if plans is None:
                    return None
                written: list[str] = []
                try:
                    entries = {day: e for day, (e, _) in view.days.items()}
                    for name, fmt, compression, load in plans:
                        out = _Buffer()
                        fields = fmt.write_day(out, *load(), compression)
                        written.append(f"{rel}/{name}")
                        stat = st.put(f"{rel}/{name}", out.getvalue())
                        entries[name[:10]] = self._entry_of(rel, name, fields, stat, kind,
                                                            st.path(f"{rel}/{name}"))
                    _journal.kill_point("staged")
                    _journal.pause_point("staged")
                    appends = list(view.doc.appends)
                    if digest is not None:
                        appends.append((digest, [name for name, *_ in plans]))
                    if lease is not None:
                        lease.check()
                    st.put(index_rel, _index.dump(list(entries.values()), appends), match=tag,
                           create=tag is None)
                except Conflict:
                    st.remove_many(written)
                    time.sleep(random.uniform(0.01, 0.05) * min(attempt + 1, 10))
                    continue
                except BaseException:
                    st.remove_many(written)
                    raise
                _journal.kill_point("indexed")
                self._checked.pop(rel, None)
                replaced = [view.days[name[:10]][1] for name, *_ in plans
                            if name[:10] in view.days]
                st.remove_many(replaced)
                self._collect_garbage(rel, {e.file for e in entries.values()})
                return [st.path(f"{rel}/{name}") for name, *_ in plans]
        raise RuntimeError(f"{st.path(index_rel)}: other writers changed the index "
                           f"{_COMMIT_TRIES} times while this write was made; write again")

    def _collect_garbage(self, rel: str, referenced: set[str]) -> None:
        """Removes day objects no index lists that were written long enough ago (by writers
        that died or lost a race); a writer at work wrote its objects moments ago."""
        ages = self._storage.ages(rel)
        self._storage.remove_many([
            f"{rel}/{name}" for name, age in ages.items()
            if name not in referenced and (m := _DAY_OBJECT.match(name)) is not None
            and m.group(2) is not None and age > _objects.GRACE_SECONDS])

    def _read_day(self, entry: Entry, loc: str, kind: int) -> tuple[Metadata, Any]:
        """The metadata and every record of a day, ordered as a query orders them."""
        part = plan_part(entry, self._storage.path(loc), kind, 0, 1 << 64, None)
        if part is None:  # a day of no records: its metadata, from the whole file
            part = Part(self._storage.path(loc), entry.day, entry.format, kind, 0, 1 << 64, None,
                        (), None, None, entry.count,
                        (entry.stat.size, entry.stat.mtime_ns, entry.stat.inode), entry.start,
                        entry.end, entry.splits)
        fmt = _format.get(entry.format, part.location)
        if self._remote:
            with self._storage.open_file(loc, fmt.ranges(part)) as f:
                return fmt.read(f, part)
        with self._storage.open_file(loc) as f:
            if f.stat != entry.stat:
                raise RuntimeError(f"{part.location} changed while the catalog's lock was held")
            return fmt.read(f, part)

    def _apply(self, rel: str, kind: int, journal: _journal.Journal,
               doc: _index.Document) -> None:
        """Puts the days of a committed journal in place, then the index, then removes it."""
        st = self._storage
        listing = st.scan(rel)
        for temp, final, _ in journal.items:
            if temp in listing:
                st.rename(rel, temp, final)
                _journal.kill_point("renamed")
        self._remove_replaced(rel, journal)
        st.sync(rel)
        entries = dict(doc.entries)
        for _, final, raw in journal.items:
            entries[final] = raw
        appends = list(doc.appends)
        if journal.append is not None:
            appends.append((journal.append, [final for _, final, _ in journal.items]))
        fresh = _index.Document(entries, appends)
        view = self._entries(rel, kind, fresh, st.scan(rel), None, warn=False)
        st.replace(f"{rel}/{INDEX_NAME}", _index.dump([e for e, _ in view.days.values()],
                                                       appends))
        _journal.kill_point("indexed")
        st.remove(f"{rel}/{_journal.JOURNAL_NAME}", missing_ok=True)
        st.sync(rel)

    def _remove_replaced(self, rel: str, journal: _journal.Journal) -> None:
        """Removes the files of a committed journal that its days, now in place, replace."""
        for name in journal.removes:
            self._storage.remove(f"{rel}/{name}", missing_ok=True)

    def _recover(self, rel: str, kind: int, rebuild: bool = False) -> _View:
        """With the lock held: completes a committed write a dead writer left (roll forward),
        removes the temporary files of uncommitted ones (roll back), and gives the directory's
        state."""
        st = self._storage
        journal = _journal.read(st, rel)
        if journal is not None:
            if rebuild:
                listing = st.scan(rel)
                for temp, final, _ in journal.items:
                    if temp in listing:
                        st.rename(rel, temp, final)
                self._remove_replaced(rel, journal)
                st.remove(f"{rel}/{_journal.JOURNAL_NAME}")
            else:
                self._apply(rel, kind, journal, _index.load(st, rel))
        st.remove_own_temporaries(rel)
        doc = _index.load(st, rel)
        if rebuild:
            return _View({}, doc)
        return self._entries(rel, kind, doc, st.scan(rel), None, warn=False)

    def _input(self, data: Any, metadata: Metadata | None) -> tuple[Metadata, Any]:
        """The metadata and the records (checked to be of the schema's kind) of `data`."""
        np = numpy()
        from .._reader import Reader, open as open_stream

        if metadata is not None and not isinstance(metadata, Metadata):
            raise TypeError(f"metadata must be a Metadata, not {type(metadata).__name__}")
        if isinstance(data, QueryResult):
            return self._from_reader(data.reader(), metadata, "query result")
        if isinstance(data, (str, os.PathLike)):
            with open_stream(data) as reader:
                return self._from_reader(reader, metadata, os.fspath(data))
        if isinstance(data, (bytes, bytearray, memoryview)):
            with open_stream(data) as reader:
                return self._from_reader(reader, metadata, "stream", data)
        if isinstance(data, Reader):
            return self._from_reader(data, metadata, "reader")
        # opaque records, or a structured array of the records' own layout: its bytes are the
        # records
        if isinstance(data, np.ndarray) and (data.dtype.names is None or (
                metadata is not None and data.dtype == record_dtype(kind_of(metadata.schema)))):
            if metadata is None:
                raise TypeError("metadata is required to write records that do not carry any")
            kind = kind_of(metadata.schema)
            if data.dtype.itemsize != size_of(kind):
                raise ValueError(f"array items of {data.dtype.itemsize} bytes are not records of "
                                 f"kind {kind_text(kind)} ({size_of(kind)} bytes)")
            return metadata, records(np.ascontiguousarray(data).tobytes(), kind, "array")
        # record objects, batches, other structured arrays, DataFrames, Arrow data: packed by
        # the writer
        from .._writer import records_of

        meta = metadata or getattr(data, "metadata", None) or _carried_metadata(data)
        if not isinstance(meta, Metadata):
            raise TypeError("metadata is required to write records that do not carry any")
        kind = kind_of(meta.schema)
        pieces = [records(chunk, kind, "data") for chunk, _ in records_of(data, meta)]
        return meta, concat(pieces, kind)

    @staticmethod
    def _from_reader(reader: Any, metadata: Metadata | None, where: str,
                     raw: Any = None) -> tuple[Metadata, Any]:
        from .._kinds import is_zstd

        meta = metadata or reader.metadata
        kind = kind_of(meta.schema)
        if raw is not None and not is_zstd(bytes(memoryview(raw).cast("B")[:4])):
            # a raw stream held in memory: its records are the bytes after the metadata
            return meta, records(bytes(memoryview(raw).cast("B")[reader.offset:]), kind, where)
        return meta, concat([records(bytes(b), kind, where) for b in reader.batches()], kind)

    @staticmethod
    def _day_metadata(meta: Metadata, old: Metadata | None, arr: Any, day: str) -> Metadata:
        """The metadata of a day: the data's schema and dataset, the day's bounds, and the
        tickers of the instruments that have records that day."""
        np = numpy()
        _, ids = ts_ids(arr)
        new_map = meta.mappings.map
        old_map = old.mappings.map if old is not None else {}
        tickers = {}
        for i in np.unique(ids).tolist():
            a, b = old_map.get(i), new_map.get(i)
            if a is not None and b is not None and a != b:
                raise ValueError(f"instrument id {i} is {a!r} in the day file of {day} and "
                                 f"{b!r} in the data written; one id names one instrument a day")
            t = b if b is not None else a
            if t is not None:
                tickers[i] = t
        start = day_start(day)
        return Metadata(meta.schema, meta.dataset, start, start + NS_PER_DAY, SymbolMap(tickers))

    # -- upgrading ---------------------------------------------------------------------------

    def upgrade(self, dataset: Dataset | None = None, schema: Schema | None = None, *,
                day_format: int | None = None,
                progress: Callable[[int, int], None] | None = None) -> int:
        """Rewrites every day file of `dataset` and `schema` (None: every one) that is not of
        the day-file format `day_format` (default: the catalog's `day_format`) into it, with
        its metadata and records as they are: a query answers the same, bit for bit. Days
        already in that format are left alone, so a second run rewrites nothing.

        Days are rewritten in batches of up to UPGRADE_DAYS days or about UPGRADE_BYTES bytes
        of records, each all or nothing like a write (a journal on a local disk, one switch of
        the index in an object store), so an upgrade needs little more room than a batch, and
        one that was stopped, run again, does the rest. Writers may write meanwhile: none of
        their days is lost. `progress(done, total)` is called after each batch with the bytes
        of the day files rewritten so far and of all there are to rewrite (of one
        dataset/schema at a time). Returns the number of days rewritten.
        """
        target = self.day_format if day_format is None else day_format
        if isinstance(target, bool) or target not in _format.FORMATS:
            raise ValueError(f"day_format must be one of {sorted(_format.FORMATS)} or None, "
                             f"got {target!r}")
        compression = self.compression
        if target == _DAY_FILE_VERSION:
            if not _zstd_available():
                raise ValueError(f"day_format {_DAY_FILE_VERSION} needs the zstd support of "
                                 f"orx")
            compression = "zstd"
        self._storage.require_root()
        fmt = _format.FORMATS[target]
        count = 0
        for ds in ([dataset] if dataset is not None else _DATASETS):
            for sc in ([schema] if schema is not None else _SCHEMAS):
                if not self._holds(ds, sc):
                    continue
                count += self._upgrade(self._rel(ds, sc), kind_of(sc), fmt, compression,
                                       progress)
        return count

    def _upgrade(self, rel: str, kind: int, fmt: Any, compression: str | None,
                 progress: Callable[[int, int], None] | None) -> int:
        """Upgrades `rel`, a batch at a time, each planned from the directory as it is then
        (a day another writer changed meanwhile is read as that writer left it)."""
        sizes: dict[str, int] = {}  # the days to rewrite as first seen, by their file's size
        done: list[str] = []

        def batch(view: _View) -> list[str]:
            todo = sorted(d for d, (e, _) in view.days.items() if e.format != fmt.version)
            for d in todo:
                sizes.setdefault(d, view.days[d][0].size)
            chosen: list[str] = []
            records_bytes = 0
            for d in todo[:UPGRADE_DAYS]:
                records_bytes += view.days[d][0].count * size_of(kind)
                if chosen and records_bytes > UPGRADE_BYTES:
                    break
                chosen.append(d)
            return chosen

        def report() -> None:
            if progress is not None:
                progress(sum(sizes[d] for d in done), sum(sizes.values()))

        first = True
        while True:
            if self._remote:
                days = self._upgrade_objects(rel, kind, fmt, compression, batch)
            else:
                days = self._upgrade_files(rel, kind, fmt, compression, batch)
            if first or days:
                done += days
                report()
            first = False
            if not days:
                return len(done)

    def _upgrade_files(self, rel: str, kind: int, fmt: Any, compression: str | None,
                       batch: Callable[[_View], list[str]]) -> list[str]:
        """One batch of an upgrade of a local directory, through the journal: the new files,
        of other names than the old, are staged, the journal lists them and the old files to
        remove, and is put in place to commit. Returns the days rewritten."""
        st = self._storage
        with st.lock(rel):
            for name in (INDEX_NAME, _journal.JOURNAL_NAME):
                st.refuse_link(f"{rel}/{name}")
            view = self._recover(rel, kind)
            days = batch(view)
            if not days:
                return []
            plans: list[_DayPlan] = []
            removes = []
            for day in days:
                entry, loc = view.days[day]
                name = fmt.file_name(day, compression)
                plans.append((name, fmt, compression, partial(self._read_day, entry, loc, kind)))
                if loc.rpartition("/")[2] != name:
                    removes.append(loc.rpartition("/")[2])
            self._commit_files(rel, kind, view, plans, None, removes)
        return days

    def _upgrade_objects(self, rel: str, kind: int, fmt: Any, compression: str | None,
                         batch: Callable[[_View], list[str]]) -> list[str]:
        """One batch of an upgrade of an object store: new objects and one switch of the
        index, as a write makes them (planned again when another writer switched it first).
        Returns the days rewritten."""
        days: list[str] = []

        def plan(view: _View) -> list[_DayPlan] | None:
            days[:] = batch(view)
            if not days:
                return None
            return [(version_name(day, fmt.file_name(day, compression)[len(day):]), fmt,
                     compression, partial(self._read_day, *view.days[day], kind))
                    for day in days]

        return days if self._commit_objects(rel, kind, plan) is not None else []

    # -- the index -------------------------------------------------------------------------

    def reindex(self, dataset: Dataset | None = None, schema: Schema | None = None) -> None:
        """Rebuilds the index of one dataset/schema (or of every one) from the day files,
        taking them as they are."""
        self._storage.require_root()
        st = self._storage
        for ds in ([dataset] if dataset is not None else _DATASETS):
            for sc in ([schema] if schema is not None else _SCHEMAS):
                rel = self._rel(ds, sc)
                if not self._holds(ds, sc) and st.stat(f"{rel}/{INDEX_NAME}") is None:
                    continue
                kind = kind_of(sc)
                if self._remote:
                    self._reindex_objects(rel, kind)
                    continue
                with st.lock(rel):
                    for name in (INDEX_NAME, _journal.JOURNAL_NAME):
                        st.refuse_link(f"{rel}/{name}")
                    doc = self._recover(rel, kind, rebuild=True).doc
                    listing = st.scan(rel)
                    entries = [self._summarise(rel, name, listing[name], kind) for name in
                               _day_files(listing, st.path(rel)).values()]
                    st.replace(f"{rel}/{INDEX_NAME}", _index.dump(entries, doc.appends))

    def _reindex_objects(self, rel: str, kind: int) -> None:
        """The index of `rel` rebuilt from its objects: of each day, the object the index names
        where it is there, else the plain day-file name, else the day's latest version."""
        st = self._storage
        for attempt in range(_COMMIT_TRIES):
            with st.writer(rel) as lease:
                tag = st.tag(f"{rel}/{INDEX_NAME}")
                doc = _index.load(st, rel)
                listing = st.scan(rel)
                chosen = _object_days(listing, set(doc.entries))
                entries = [self._summarise(rel, name, listing[name], kind)
                           for name in chosen.values()]
                try:
                    if lease is not None:
                        lease.check()
                    st.put(f"{rel}/{INDEX_NAME}", _index.dump(entries, doc.appends), match=tag,
                           create=tag is None)
                except Conflict:
                    time.sleep(random.uniform(0.01, 0.05) * min(attempt + 1, 10))
                    continue
                self._checked.pop(rel, None)
                return
        raise RuntimeError(f"{st.path(rel)}: other writers changed the index {_COMMIT_TRIES} "
                           f"times while it was rebuilt; reindex again")


def _given(metadata: Metadata, recs: Any) -> tuple[Metadata, Any]:
    return metadata, recs


def _listed_stat(raw: object) -> FileStat:
    """The identity an index entry records for its object (in an object store the index is
    what lists the objects, and a catalog's objects are never rewritten)."""
    return _index.recorded_stat(raw)


def _carried_metadata(data: Any) -> Metadata | None:
    """Metadata that Arrow or Parquet data written by orx carries in its schema."""
    kv = getattr(getattr(data, "schema", None), "metadata", None)
    if kv and METADATA_KEY in kv:
        return Metadata.decode(bytes.fromhex(kv[METADATA_KEY].decode()))
    return None


def replan(part: Part) -> Part | None:
    """`part` planned again from the current state of its day (the file changed since it was
    planned); None when the day is gone or holds nothing of the part any more."""
    assert part.root is not None and part.dataset is not None and part.schema is not None
    cat = Catalog(part.root, part.storage_options)
    rel = f"{part.dataset}/{part.schema}"
    days = cat._view(rel, part.kind, (part.day, part.day)).days
    if part.day not in days:
        return None
    entry, loc = days[part.day]
    return plan_part(entry, cat._storage.path(loc), part.kind, part.start, part.end,
                     part.tickers, root=part.root, dataset=part.dataset, schema=part.schema,
                     storage_options=part.storage_options)


