"""A directory of stream files, one per dataset, schema and UTC day, that answers RetrieveParams.

Layout::

    {root}/{DATASET}/{schema}/{YYYY-MM-DD}.orx.zst     (or .orx where zstd is unavailable)
    {root}/{DATASET}/{schema}/_index.json              one summary per day file
    {root}/{DATASET}/{schema}/.lock                    taken by writers

A day file is an ordinary stream: its metadata names the schema, the dataset, the day as
``[midnight, next midnight)`` and the tickers of the instruments it holds. Its records are of
the schema's kind, grouped by instrument (ascending id), each instrument's in ts_event order
(stable, so records with equal times keep the order they were written in), in blocks of at most
BLOCK_RECORDS records; compressed, the metadata and every block are zstd frames of their own.
A read takes only the blocks that can hold the instruments and times it asks for, and merges
them by ts_event.

The index is a cache: every entry carries the size and modification time of the file it
describes, and a reader that finds a file without an entry, or an entry whose file changed or
vanished, summarises the file itself (or skips the vanished day). ``Catalog.reindex()`` rebuilds
it from the files alone.

Writes take the directory's lock, write each day to a temporary file in the same directory,
flush it to disk and rename it over the day (a reader holds either the old or the new file,
never a mix), then write the index the same way. An interrupted write leaves at worst a hidden
temporary file, which readers ignore and the next writer removes.
"""

from __future__ import annotations

import datetime as _dt
import json
import mmap
import os
import re
import tempfile
import dataclasses
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Iterator

from . import _lib
from ._deps import require
from ._kinds import KINDS, SCHEMAS, ZSTD_MAGIC
from ._lib import Dataset, Metadata, RetrieveParams, RType, Schema, Stype, SymbolMap

__all__ = ["Catalog", "DayFile", "QueryResult", "UnknownSymbolError"]

NS_PER_DAY = 86_400 * 1_000_000_000
INDEX_NAME = "_index.json"
LOCK_NAME = ".lock"
INDEX_FORMAT = 1
# Records between the split points a day's index entry keeps, so that a large day can be cut
# into pieces of about this many records without reading it first.
SPLIT_EVERY = 1 << 18
# Records of one instrument in one block of a day file (a zstd frame when compressed): a read
# takes the blocks of the instruments and times it needs.
BLOCK_RECORDS = 1 << 16

_DAY_FILE = re.compile(r"^(\d{4}-\d{2}-\d{2})\.orx(\.zst)?$")
# Record size in bytes by record kind (rtype byte).
_KIND_SIZE = {rtype: k.size for rtype, k in KINDS.items()}
_SCHEMAS = list(SCHEMAS)
_DATASETS = [Dataset.FUTURES, Dataset.EQUITIES, Dataset.OPTION]


def _numpy():
    return require("numpy", "dataframe", "orx.Catalog")


# --- record arrays ---------------------------------------------------------------------------
#
# Inside the catalog the records of a day are a numpy array of opaque items of the kind's size
# (dtype V96 for MBP-1); the header fields the catalog needs are read through a view.


def _kind_of(schema: Schema) -> int:
    rtype = int(RType.from_schema(schema))
    if rtype not in _KIND_SIZE:
        raise ValueError(f"schema {schema.value} has no record layout a catalog can store")
    return rtype


def _header_dtype(size: int):
    np = _numpy()
    return np.dtype({"names": ["length", "rtype", "instrument_id", "ts_event"],
                     "formats": ["u1", "u1", "<u4", "<u8"], "offsets": [0, 1, 4, 8],
                     "itemsize": size})


def _records(buf, kind: int, where: str):
    """The record bytes `buf` as an array of items of `kind`'s size; every header is checked."""
    np = _numpy()
    size = _KIND_SIZE[kind]
    mv = memoryview(buf).cast("B")
    if len(mv) % size:
        raise ValueError(f"{where}: {len(mv)} record bytes are not a whole number of "
                         f"{size}-byte records of kind {RType.from_int(kind).value}")
    arr = np.frombuffer(mv, dtype=f"V{size}")
    # length and rtype are the first two bytes of every record: one comparison checks both
    first2 = arr.view(np.dtype({"names": ["h"], "formats": ["<u2"], "offsets": [0],
                                "itemsize": size}))["h"]
    bad = first2 != (size // 4 | kind << 8)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{where}: record {i} has length {int(first2[i]) & 255} and rtype "
                         f"{int(first2[i]) >> 8}; every record must be of kind "
                         f"{RType.from_int(kind).value} ({size // 4} words)")
    return arr


def _ts_ids(arr):
    hd = arr.view(_header_dtype(arr.dtype.itemsize))
    return hd["ts_event"], hd["instrument_id"]


def _empty(kind: int):
    return _numpy().empty(0, dtype=f"V{_KIND_SIZE[kind]}")


# --- stream files ----------------------------------------------------------------------------
#
# Everything that reads or writes stream bytes goes through these few functions.


def _zstd_available() -> bool:
    try:
        from ._ext import zstd_levels  # noqa: F401
    except ImportError:  # a build without zstd
        return False
    return True


def _split_stream(data, where: str) -> tuple[Metadata, memoryview]:
    mv = memoryview(data).cast("B")
    if len(mv) < 2:
        raise ValueError(f"{where}: not a stream (shorter than its metadata length)")
    m = int.from_bytes(mv[:2], "little")
    if len(mv) < 2 + m:
        raise ValueError(f"{where}: stream cut short inside its metadata")
    meta = Metadata.decode(bytes(mv[: 2 + m]))
    return meta, mv[2 + m:]


def _load(path, kind: int | None) -> tuple[Metadata, Any]:
    """The metadata of a stream file and all its records, of `kind` (by default the kind of
    the file's schema). Raw files are mapped, not copied: a filter touches the headers only."""
    np = _numpy()
    where = os.fspath(path)
    if where.endswith(".zst"):
        from ._reader import open as open_stream
        with _open_day(where) as f, open_stream(f) as reader:
            meta = reader.metadata
            kind = kind or _kind_of(meta.schema)
            parts = [_records(bytes(b), kind, where) for b in reader.batches()]
        return meta, np.concatenate(parts) if parts else _empty(kind)
    with _open_day(where) as f:
        data = _map(f)
    meta, body = _split_stream(data, where)
    return meta, _records(body, kind or _kind_of(meta.schema), where)


def _open_day(path):
    """Opens a stream file to read its records: every such read starts here."""
    return open(path, "rb")


def _map(f):
    size = os.fstat(f.fileno()).st_size
    if size < (1 << 16):
        return f.read()
    return memoryview(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ))


def _zstd_frames(data) -> list[tuple[int, int]] | None:
    """(offset, length) of every zstd frame of `data`, from the frame and block headers; None
    when `data` is not a sequence of whole frames."""
    mv, out, pos = memoryview(data), [], 0
    while pos < len(mv):
        start = pos
        if len(mv) - pos < 6 or bytes(mv[pos:pos + 4]) != ZSTD_MAGIC:
            return None
        fhd = mv[pos + 4]
        single = fhd >> 5 & 1
        fcs = (0, 2, 4, 8)[fhd >> 6] or single
        pos += 5 + (0 if single else 1) + (0, 1, 2, 4)[fhd & 3] + fcs
        while True:
            if len(mv) - pos < 3:
                return None
            hdr = int.from_bytes(mv[pos:pos + 3], "little")
            kind, size = hdr >> 1 & 3, hdr >> 3
            if kind == 3:
                return None
            pos += 3 + (1 if kind == 1 else size)
            if hdr & 1:
                break
        pos += 4 if fhd >> 2 & 1 else 0
        if pos > len(mv):
            return None
        out.append((start, pos - start))
    return out


def _stream_bytes(meta: Metadata, arr) -> bytes:
    return meta.encode() + arr.tobytes()


def _write_stream(path: Path, meta: Metadata, arr, compression: str | None) -> None:
    from ._writer import write

    with _open_reader(_stream_bytes(meta, arr)) as reader:  # written atomically
        write(path, reader, compression="zstd" if compression == "zstd" else None)


def _blocks(ids) -> list[int]:
    """Record indexes that cut records grouped by instrument into blocks of one instrument and
    at most BLOCK_RECORDS records, from 0 to len(ids)."""
    np = _numpy()
    runs = [0, *(np.flatnonzero(ids[1:] != ids[:-1]) + 1).tolist(), len(ids)]
    cuts = [0]
    for a, b in zip(runs, runs[1:]):
        cuts += list(range(a + BLOCK_RECORDS, b, BLOCK_RECORDS)) + [b]
    return cuts if len(ids) else [0]


def _write_day(path: Path, meta: Metadata, arr, compression: str | None) -> None:
    """A day file: the metadata, then each instrument's records (sorted by ts_event) together;
    compressed, the metadata and every block of one instrument's records are zstd frames of
    their own, so that a block can be read without decompressing the others."""
    np = _numpy()
    _, ids = _ts_ids(arr)
    cuts = _blocks(ids)

    def fill(f):
        if compression == "zstd":
            from ._ext import ZstdWriter
            z = ZstdWriter(_ext_default_level())
            f.write(z.compress(meta.encode()) + z.finish())
            for a, b in zip(cuts, cuts[1:]):
                if b > a:
                    f.write(z.compress(arr[a:b].tobytes()) + z.finish())
        else:
            f.write(meta.encode())
            f.write(memoryview(np.ascontiguousarray(arr)).cast("B") if len(arr) else b"")
    _atomic_write(path, fill)


def _ext_default_level() -> int:
    from ._ext import zstd_levels
    return zstd_levels()[2]


def _open_reader(data: bytes):
    """A reader over a whole stream held in memory."""
    from ._reader import open as open_stream
    return open_stream(data)


# --- atomic replacement ----------------------------------------------------------------------


def _write_bytes(data: bytes):
    return lambda f: f.write(data)


def _is_temporary(name: str) -> bool:
    return name.startswith(".") and ".tmp" in name


def _atomic_write(path: Path, fill) -> None:
    """Writes `path` through `fill(file)` so that readers see the old file or the new one,
    never a mix.

    `file.write` fills a hidden temporary file in the same directory, which is flushed to disk
    before it takes the name. A failure on the way removes the temporary file and leaves `path`
    untouched.
    """
    from ._writer import ReplacingFile

    file = ReplacingFile(path)
    try:
        fill(file)
        file.commit()
    except BaseException:
        file.discard()
        raise


class _Lock:
    """Exclusive lock of one dataset/schema directory, held by one writer at a time."""

    def __init__(self, d: Path):
        self.path = d / LOCK_NAME

    def __enter__(self):
        import fcntl
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        os.close(self.fd)  # closing releases the lock


# --- days and the index ----------------------------------------------------------------------


def _day_of(ts: int) -> _dt.date:
    return _dt.date(1970, 1, 1) + _dt.timedelta(days=ts // NS_PER_DAY)


def _day_start(day: _dt.date) -> int:
    return (day - _dt.date(1970, 1, 1)).days * NS_PER_DAY


def _stat_key(st: os.stat_result) -> list[int]:
    return [st.st_size, st.st_mtime_ns]


def _split_points(ts) -> list[int]:
    """ts_event values that cut sorted times into pieces of about SPLIT_EVERY records; a piece
    is the records of [one cut, the next)."""
    np = _numpy()
    out: list[int] = []
    i = SPLIT_EVERY
    while i < len(ts):
        j = int(np.searchsorted(ts, ts[i - 1], side="right"))
        if j >= len(ts):
            break
        out.append(int(ts[j]))
        i = j + SPLIT_EVERY
    return out


def _scan(path: Path, kind: int):
    """The metadata and the records of a day file, where its metadata lies, and its blocks as
    [instrument id, first ts, last ts, offset, length] of their bytes (raw) or frame (zstd);
    None for the blocks when the file's records are not grouped by instrument in time order."""
    np = _numpy()
    with _open_day(path) as f:
        data = _map(f)
    if path.name.endswith(".zst"):
        from ._ext import zstd_decompress
        frames = _zstd_frames(data)
        if not frames:  # not frames we can split: read as any stream
            meta, arr = _load(path, kind)
            return meta, arr, None, None
        meta = Metadata.decode(zstd_decompress(bytes(data[:frames[0][1]])))
        head = list(frames[0])
        arrs = [_records(zstd_decompress(bytes(data[o:o + n])), kind, str(path))
                for o, n in frames[1:]]
        spans = list(frames[1:])
    else:
        meta, body = _split_stream(data, str(path))
        arr = _records(body, kind, str(path))
        head = [0, len(data) - len(body)]
        _, ids = _ts_ids(arr)
        cuts, size = _blocks(ids), _KIND_SIZE[kind]
        arrs = [arr[a:b] for a, b in zip(cuts, cuts[1:])]
        spans = [(head[1] + a * size, (b - a) * size) for a, b in zip(cuts, cuts[1:])]
    blocks: list | None = []
    for a, (off, length) in zip(arrs, spans):
        ts, ids = _ts_ids(a)
        if not len(a) or (ids != ids[0]).any() or (ts[1:] < ts[:-1]).any():
            blocks = None
            break
        assert blocks is not None
        blocks.append([int(ids[0]), int(ts[0]), int(ts[-1]), off, length])
    if blocks is not None:  # one instrument's blocks follow each other
        seen = [b[0] for b in blocks]
        if any(x != y for x, y in zip(sorted(seen), seen)):
            blocks = None
    arr = np.concatenate(arrs) if arrs else _empty(kind)
    return meta, arr, head, blocks


def _summary(path: Path, kind: int) -> dict:
    """The index entry of one day file, computed from the file alone."""
    np = _numpy()
    st = os.stat(path)
    meta, arr, head, blocks = _scan(path, kind)
    ts, ids = _ts_ids(arr)
    order = np.lexsort((ts, ids))
    ts_by, ids_by = ts[order], ids[order]
    uniq, first, counts = np.unique(ids_by, return_index=True, return_counts=True)
    tickers = meta.mappings.map
    return {
        "file": path.name,
        "stat": _stat_key(st),
        "count": int(len(arr)),
        "start": int(ts.min()) if len(ts) else None,
        "end": int(ts.max()) if len(ts) else None,
        "instruments": [[i, tickers.get(i), c, int(ts_by[a]), int(ts_by[a + c - 1])]
                        for i, a, c in zip(uniq.tolist(), first.tolist(), counts.tolist())],
        "head": head if blocks is not None else None,
        "blocks": blocks,
        "splits": _split_points(np.sort(ts)),
    }


def _listing(d: Path) -> dict[str, Path]:
    """Day files of a dataset/schema directory by day text; hidden temporary files are skipped."""
    days: dict[str, Path] = {}
    try:
        names = os.listdir(d)
    except FileNotFoundError:
        return days
    for name in sorted(names):
        m = _DAY_FILE.match(name)
        if m is None:
            continue
        if m.group(1) in days:
            raise ValueError(f"{d}: day {m.group(1)} is stored twice ({days[m.group(1)].name} "
                             f"and {name}); remove one")
        days[m.group(1)] = d / name
    return days


def _read_index(d: Path) -> dict[str, dict]:
    try:
        with open(d / INDEX_NAME, "rb") as f:
            doc = json.load(f)
    except (FileNotFoundError, ValueError):
        return {}
    if not isinstance(doc, dict) or doc.get("format") != INDEX_FORMAT:
        return {}
    return {e["file"]: e for e in doc.get("files", []) if isinstance(e, dict) and "file" in e}


def _write_index(d: Path, entries: Iterable[dict]) -> None:
    doc = {"format": INDEX_FORMAT, "files": sorted(entries, key=lambda e: e["file"])}
    text = json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()
    _atomic_write(d / INDEX_NAME, _write_bytes(text))


@dataclass(frozen=True)
class DayFile:
    """One day file as the index describes it."""

    path: Path
    day: _dt.date
    count: int
    start: int | None  # first and last ts_event, both inclusive
    end: int | None
    instruments: dict[int, tuple]  # id -> (ticker or None, count, first ts, last ts)
    size: int
    stat: tuple[int, int]
    head: tuple[int, int] | None  # where the metadata lies (frame, in a compressed file)
    # (id, first ts, last ts, offset, length) of every block; None: read the file whole
    blocks: tuple[tuple[int, int, int, int, int], ...] | None
    splits: tuple[int, ...]

    @classmethod
    def of(cls, path: Path, e: dict) -> "DayFile":
        return cls(path, _dt.date.fromisoformat(path.name[:10]), e["count"], e["start"],
                   e["end"], {i: tuple(rest) for i, *rest in e["instruments"]}, e["stat"][0],
                   tuple(e["stat"]), tuple(e["head"]) if e.get("head") else None,
                   tuple(map(tuple, e["blocks"])) if e.get("blocks") is not None else None,
                   tuple(e["splits"]))

    def tickers(self) -> set[str]:
        return {v[0] for v in self.instruments.values() if v[0] is not None}

    def overlaps(self, start: int, end: int, tickers=None) -> bool:
        """Whether the file can hold records in [start, end), of `tickers` when given."""
        if tickers is None:
            return (self.count > 0 and self.start is not None and self.end is not None
                    and self.end >= start and self.start < end)
        return any(v[0] in tickers and v[3] >= start and v[2] < end
                   for v in self.instruments.values())

    def part(self, kind: int, start: int, end: int, tickers) -> "_Part":
        """What reading the records of `tickers` (None: all) in [start, end) takes."""
        return _Part(str(self.path), kind, start, end, tickers, self.stat, self.head,
                     self.blocks if self.head is not None else None)


# --- continuous contracts --------------------------------------------------------------------

_CONTINUOUS = re.compile(r"^(?P<root>.+)\.(?P<rule>[A-Za-z])\.(?P<rank>\d+)$")
_MONTHS = "FGHJKMNQUVXZ"


def _parse_continuous(symbol: str) -> tuple[str, int]:
    m = _CONTINUOUS.match(symbol)
    if m is None:
        raise ValueError(f"{symbol!r} is not a continuous symbol: Stype.CONTINUOUS takes "
                         f"'ROOT.c.N' (for example 'ES.c.0', the front month); use Stype.RAW "
                         f"for tickers")
    if m["rule"] != "c":
        raise ValueError(f"{symbol!r}: only calendar ranking ('{m['root']}.c.{m['rank']}') "
                         f"can be resolved from a catalog; rule {m['rule']!r} would need volume "
                         f"or open interest the day files do not carry")
    return m["root"], int(m["rank"])


def _expiry(ticker: str, root: str, year: int) -> tuple[int, int] | None:
    """(year, month) of a futures ticker ROOT + month code + 1 or 2 year digits, on a day of
    `year`: the digits name the first year not before `year` that ends in them."""
    if not ticker.startswith(root):
        return None
    rest = ticker[len(root):]
    if len(rest) not in (2, 3) or rest[0] not in _MONTHS or not rest[1:].isdigit():
        return None
    mod = 10 ** len(rest[1:])
    return year + (int(rest[1:]) - year) % mod, _MONTHS.index(rest[0]) + 1


def _resolve_continuous(symbol: str, f: DayFile) -> str | None:
    """The raw ticker that `symbol` ('ES.c.0') names on the day of `f`: the contracts of the
    root that have records that day, ordered by expiry month; rank 0 is the nearest."""
    root, rank = _parse_continuous(symbol)
    contracts = sorted((e, t) for t in f.tickers()
                       if (e := _expiry(t, root, f.day.year)) is not None)
    return contracts[rank][1] if rank < len(contracts) else None


class UnknownSymbolError(KeyError):
    """A request names a ticker that no day file of its dataset and schema holds."""

    def __str__(self) -> str:  # the message as written, not quoted as a key
        return str(self.args[0])


# --- the catalog -----------------------------------------------------------------------------


def _as_params(params) -> RetrieveParams:
    if isinstance(params, RetrieveParams):
        return params
    if isinstance(params, str):
        return RetrieveParams.from_json(params)
    raise TypeError(f"expected RetrieveParams or its JSON text, got {type(params).__name__}")


@dataclass(frozen=True)
class _Part:
    """One stream file to read and the filter to apply to it; plain values only, so it
    pickles. With `blocks` (and the file unchanged since `stat`), only the metadata at `head`
    and the blocks that can hold records of the instruments and times asked for are read."""

    path: str
    kind: int
    start: int
    end: int
    tickers: tuple[str, ...] | None  # None: every instrument
    stat: tuple[int, int] | None = None
    head: tuple[int, int] | None = None
    blocks: tuple[tuple[int, int, int, int, int], ...] | None = None

    def range(self, start: int, end: int) -> "_Part":
        return dataclasses.replace(self, start=start, end=end)


class Catalog:
    """A directory of stream files by dataset, schema and UTC day; see the module text."""

    def __init__(self, path: os.PathLike | str, *, compression: str | None = "auto"):
        if compression not in ("auto", "zstd", None):
            raise ValueError(f"compression must be 'auto', 'zstd' or None, got {compression!r}")
        if compression == "zstd" and not _zstd_available():
            raise ValueError("zstd compression needs the zstd support of orx")
        self.root = Path(path)
        self.compression = ("zstd" if _zstd_available() else None) if compression == "auto" \
            else compression

    def __repr__(self) -> str:
        return f"Catalog({str(self.root)!r})"

    def directory(self, dataset: Dataset, schema: Schema) -> Path:
        """The directory holding the day files of `dataset` and `schema`."""
        return self.root / dataset.name / schema.value

    def path_of(self, dataset: Dataset, schema: Schema, day: _dt.date | str) -> Path:
        """Where the day file of `day` lives (whether or not it exists yet)."""
        d = self.directory(dataset, schema)
        text = day if isinstance(day, str) else day.isoformat()
        existing = _listing(d).get(text)
        if existing is not None:
            return existing
        return d / (text + (".orx.zst" if self.compression == "zstd" else ".orx"))

    # -- writing ---------------------------------------------------------------------------

    def write(self, data, metadata: Metadata | None = None, *, mode: str = "append") -> list[Path]:
        """Stores records split by the UTC day of their ts_event; returns the day files written.

        `data`: a stream (bytes or a path), a query result, record objects, or a numpy array of
        records (with `metadata`, which also gives the schema and dataset). `mode="append"`
        merges the records into the days that exist; `mode="replace"` replaces every day the data
        touches (days it does not touch are left alone). Each day is replaced atomically; the
        index follows the days.
        """
        if mode not in ("append", "replace"):
            raise ValueError(f"mode must be 'append' or 'replace', got {mode!r}")
        meta, arr = self._input(data, metadata)
        np = _numpy()
        kind = _kind_of(meta.schema)
        d = self.directory(meta.dataset, meta.schema)
        d.mkdir(parents=True, exist_ok=True)
        ts, ids = _ts_ids(arr)
        days = ts // NS_PER_DAY
        order = np.argsort(days, kind="stable")
        arr, days = arr[order], days[order]
        cuts = np.flatnonzero(np.diff(days)) + 1
        groups = np.split(np.arange(len(arr)), cuts) if len(arr) else []
        written = []
        with _Lock(d):
            for name in os.listdir(d):  # leftovers of writers that died before renaming
                if _is_temporary(name):
                    os.unlink(d / name)
            existing = _listing(d)
            plans = []
            for g in groups:
                day = _day_of(int(days[g[0]]) * NS_PER_DAY)
                path = existing.get(day.isoformat()) or self.path_of(meta.dataset, meta.schema, day)
                new = arr[g]
                old_meta, old = (None, _empty(kind))
                if mode == "append" and path.exists():
                    old_meta, old = _load(path, kind)
                merged = np.concatenate([old, new])
                plans.append((path, day, self._day_metadata(meta, old_meta, merged, day), merged))
            # every day is checked before the first is written
            index = _read_index(d)
            for path, day, day_meta, merged in plans:
                t, i = _ts_ids(merged)
                merged = merged[np.lexsort((t, i))]  # stable: equal times keep their order
                _write_day(path, day_meta, merged, "zstd" if path.name.endswith(".zst") else None)
                index[path.name] = _summary(path, kind)
                written.append(path)
            # entries of files that vanished are dropped while the lock is held
            live = _listing(d)
            _write_index(d, [e for n, e in index.items() if n[:10] in live
                             and live[n[:10]].name == n])
        return written

    def _input(self, data, metadata):
        np = _numpy()
        if isinstance(data, QueryResult):
            meta, body = _split_stream(data.to_bytes(), "query result")
            return metadata or meta, _records(body, _kind_of(meta.schema), "query result")
        if isinstance(data, (str, os.PathLike)):
            loaded = _load(data, None if metadata is None else _kind_of(metadata.schema))
            return metadata or loaded[0], loaded[1]
        if isinstance(data, (bytes, bytearray, memoryview)):
            meta, body = _split_stream(data, "stream")
            meta = metadata or meta
            return meta, _records(body, _kind_of(meta.schema), "stream")
        if hasattr(data, "batches") and hasattr(data, "metadata"):  # a reader
            meta = metadata or data.metadata
            kind = _kind_of(meta.schema)
            arrs = [_records(bytes(b), kind, "reader") for b in data.batches()]
            return meta, np.concatenate(arrs) if arrs else _empty(kind)
        if isinstance(data, np.ndarray) and data.dtype.names is None:  # opaque records
            if metadata is None:
                raise TypeError("metadata is required to write records that do not carry any")
            kind = _kind_of(metadata.schema)
            if data.dtype.itemsize != _KIND_SIZE[kind]:
                raise ValueError(f"array items of {data.dtype.itemsize} bytes are not records of "
                                 f"kind {RType.from_int(kind).value} ({_KIND_SIZE[kind]} bytes)")
            return metadata, _records(np.ascontiguousarray(data).tobytes(), kind, "array")
        # record objects, structured arrays, DataFrames, Arrow data: through the stream writer
        from ._writer import write

        with tempfile.TemporaryDirectory(prefix="orx-catalog-") as tmp:
            path = os.path.join(tmp, "input.orx")
            try:
                write(path, data, metadata)
            except ValueError as e:
                if metadata is None and "needs metadata" in str(e):
                    raise TypeError("metadata is required to write records that do not carry "
                                    "any") from None
                raise
            meta, arr = _load(path, None)
            return meta, arr.copy()

    @staticmethod
    def _day_metadata(meta: Metadata, old: Metadata | None, arr, day: _dt.date) -> Metadata:
        """The metadata of a day: the data's schema and dataset, the day's bounds, and the
        tickers of the instruments that have records that day."""
        np = _numpy()
        _, ids = _ts_ids(arr)
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
        start = _day_start(day)
        return Metadata(meta.schema, meta.dataset, start, start + NS_PER_DAY, SymbolMap(tickers))

    # -- the index -------------------------------------------------------------------------

    def reindex(self, dataset: Dataset | None = None, schema: Schema | None = None) -> None:
        """Rebuilds the index of one dataset/schema (or of every one) from the day files."""
        for d, ds, sc in self._directories(dataset, schema):
            kind = _kind_of(sc)
            with _Lock(d):
                for name in os.listdir(d):
                    if _is_temporary(name):
                        os.unlink(d / name)
                _write_index(d, [_summary(p, kind) for p in _listing(d).values()])

    def _directories(self, dataset, schema):
        for ds in ([dataset] if dataset is not None else _DATASETS):
            for sc in ([schema] if schema is not None else _SCHEMAS):
                d = self.directory(ds, sc)
                if d.is_dir():
                    yield d, ds, sc

    def files(self, dataset: Dataset, schema: Schema, days: tuple | None = None) -> list[DayFile]:
        """The day files of `dataset` and `schema` as the index describes them, checked against
        the files: a file that changed since its entry was written is summarised afresh.
        `days` = (first, last) limits the check to those days (both inclusive)."""
        d = self.directory(dataset, schema)
        kind = _kind_of(schema)
        index = _read_index(d)
        out = []
        for text, path in _listing(d).items():
            if days is not None and not (days[0] <= text <= days[1]):
                e = index.get(path.name)
                if e is not None:
                    out.append(DayFile.of(path, e))
                continue
            e = index.get(path.name)
            try:
                st = os.stat(path)
            except FileNotFoundError:  # removed since the directory was listed
                continue
            if e is None or e.get("stat") != _stat_key(st):
                try:
                    e = _summary(path, kind)
                except FileNotFoundError:
                    continue
            out.append(DayFile.of(path, e))
        return out

    def symbols(self, dataset: Dataset, schema: Schema) -> dict[str, list[str]]:
        """Every ticker the catalog holds for `dataset` and `schema`, with the days it has
        records on (ISO dates, ascending)."""
        out: dict[str, list[str]] = {}
        for f in self.files(dataset, schema):
            for t in sorted(f.tickers()):
                out.setdefault(t, []).append(f.day.isoformat())
        return dict(sorted(out.items()))

    # -- answering requests ----------------------------------------------------------------

    def query(self, params) -> "QueryResult":
        """The records `params` (a RetrieveParams or its JSON text) asks for; see QueryResult.

        Only day files that can hold matching records are opened: those whose day and time
        range overlap [start_ts, end_ts) and, unless `symbols` is empty (every instrument),
        that hold one of the tickers asked for.
        """
        params = _as_params(params)
        return QueryResult(self._plan(params), params)

    def _plan(self, params: RetrieveParams) -> list[_Part]:
        kind = _kind_of(params.schema)
        start, end = max(params.start_ts, 0), params.end_ts
        symbols = list(dict.fromkeys(params.symbols))
        if end <= start:  # an empty range: no day to check, no day to read
            first, last = "9", "0"
        else:
            first, last = _day_of(start).isoformat(), _day_of(end - 1).isoformat()
        files = self.files(params.dataset, params.schema, (first, last))
        where = f"{params.dataset.name}/{params.schema.value}"
        if params.stype == Stype.CONTINUOUS:
            roots = {s: _parse_continuous(s)[0] for s in symbols}
        else:
            known = set().union(*(f.tickers() for f in files))
            missing = [s for s in symbols if s not in known]
            if missing:  # look again at every day, not only at what the index says
                known = set().union(*(f.tickers() for f in self.files(params.dataset,
                                                                        params.schema)))
                missing = [s for s in symbols if s not in known]
            if missing:
                many = len(missing) > 1
                raise UnknownSymbolError(
                    f"unknown ticker{'s' if many else ''} {', '.join(map(repr, missing))}: no "
                    f"day file of {where} in {self.root} holds {'them' if many else 'it'}; "
                    f"Catalog.symbols(Dataset.{params.dataset.name}, "
                    f"Schema.{_schema_attr(params.schema)}) lists the tickers it has")
        parts = []
        for f in files:
            if not (first <= f.day.isoformat() <= last):
                continue
            if not symbols:
                tickers = None
            elif params.stype == Stype.CONTINUOUS:
                tickers = tuple(t for s in symbols if (t := _resolve_continuous(s, f)) is not None)
            else:
                tickers = tuple(s for s in symbols if s in f.tickers())
            if tickers == () or not f.overlaps(start, end, tickers):
                continue
            parts.append(f.part(kind, start, end, tickers))
        if params.stype == Stype.CONTINUOUS and not parts and symbols:
            self._explain_continuous(params, roots, files, where)
        return parts

    def to_dask(self, params, *, pretty_px: bool = False):
        """The records `params` selects, as a dask DataFrame indexed by ts_event with one
        partition per day file (or piece of a large day); see orx.dask."""
        from .dask import from_catalog
        return from_catalog(self, params, pretty_px=pretty_px)

    def _explain_continuous(self, params, roots, files, where) -> None:
        for s, root in roots.items():
            if not any(_expiry(t, root, f.day.year) for f in files for t in f.tickers()):
                raise ValueError(
                    f"cannot resolve {s!r}: no ticker of {where} in {self.root} is a futures "
                    f"contract of root {root!r} (root, month code F..Z, year digits, such as "
                    f"{root}Z6); Catalog.symbols(...) lists the tickers the catalog holds")


def _schema_attr(schema: Schema) -> str:
    return {8: "BBO1_S", 9: "BBO1_M", 2: "OHLCV1_S", 3: "OHLCV1_M", 4: "OHLCV1_H",
            5: "OHLCV1_D"}.get(int(schema), schema.name)


# --- reading what a query selected -----------------------------------------------------------


def _read_part(part: _Part) -> tuple[Metadata | None, Any]:
    """The records of one part that pass its filter, ordered by ts_event (records with equal
    times by instrument id, then as written), and the file's metadata; None for the metadata
    when the file vanished since the plan was made (that day was removed)."""
    np = _numpy()
    try:
        got = _read_blocks(part)
        if got is not None:
            meta, arr = got
        else:
            meta, arr = _load(part.path, part.kind)
    except FileNotFoundError:
        return None, _empty(part.kind)
    ts, ids = _ts_ids(arr)
    mask = (ts >= part.start) & (ts < part.end)
    if part.tickers is not None:
        wanted = [i for i, t in meta.mappings.map.items() if t in part.tickers]
        if len(wanted) <= 8:
            of = np.zeros(len(ids), dtype=bool)
            for i in wanted:
                of |= ids == i
        else:
            of = np.isin(ids, np.asarray(wanted, dtype=np.uint32))
        mask &= of
    arr = arr[mask]
    ts, ids = _ts_ids(arr)
    if len(ts) > 1 and (ts[1:] < ts[:-1]).any():
        arr = arr[np.lexsort((ids, ts))]
    return meta, arr


def _read_blocks(part: _Part):
    """The metadata and the records of the blocks that can hold the part's instruments and
    times, read alone; None when the part has no blocks or the file changed since they were
    noted."""
    if part.blocks is None or part.stat is None or part.head is None:
        return None
    np = _numpy()
    with _open_day(part.path) as f:
        if tuple(_stat_key(os.fstat(f.fileno()))) != tuple(part.stat):
            return None
        zst = part.path.endswith(".zst")
        if zst:
            from ._ext import zstd_decompress
        off, length = part.head
        head = os.pread(f.fileno(), length, off)
        meta = Metadata.decode(zstd_decompress(head) if zst else head)
        ids = meta.mappings.map
        wanted = None if part.tickers is None else {i for i, t in ids.items() if t in part.tickers}
        arrs = []
        for i, first, last, off, length in part.blocks:
            if (wanted is not None and i not in wanted) or last < part.start or first >= part.end:
                continue
            data = os.pread(f.fileno(), length, off)
            arrs.append(_records(zstd_decompress(data) if zst else data, part.kind, part.path))
    return meta, np.concatenate(arrs) if arrs else _empty(part.kind)


def _merge_maps(parts: list[tuple[str, Metadata, Any]]) -> dict[int, str]:
    """The symbol map of the selected records of several day files; one id must keep one
    ticker across them."""
    np = _numpy()
    out: dict[int, str] = {}
    seen: dict[int, str] = {}
    for path, meta, arr in parts:
        _, ids = _ts_ids(arr)
        m = meta.mappings.map
        for i in np.unique(ids).tolist():
            t = m.get(i)
            if t is None:
                continue
            if i in out and out[i] != t:
                raise ValueError(f"instrument id {i} is {out[i]!r} in {seen[i]} and {t!r} in "
                                 f"{Path(path).name}; query the two separately")
            out[i], seen[i] = t, Path(path).name
    return out


class QueryResult:
    """The records a request selected, read from the day files when first needed.

    It converts like a reader: `to_pandas()`, `to_numpy()`, Arrow (`pyarrow.table(result)`),
    iteration over record objects, `to_bytes()` (one stream ordered by ts_event), `write(path)`
    and `batches(size)`, which streams one day at a time. The first conversion reads the day
    files (each whole from one file: the old day or the new one, never a mix) and keeps the
    selected records; `batches()` reads afresh without keeping them.
    """

    def __init__(self, parts: list[_Part], params: RetrieveParams):
        self.parts = parts
        self.params = params
        self._cache: tuple[Metadata, Any] | None = None

    @property
    def paths(self) -> list[str]:
        """The day files the result reads, in day order."""
        return [p.path for p in self.parts]

    def __repr__(self) -> str:
        return f"<orx.QueryResult of {len(self.parts)} day file(s)>"

    def _read_parts(self) -> Iterator[tuple[str, Metadata, Any]]:
        for p in self.parts:
            meta, arr = _read_part(p)
            if meta is not None:
                yield p.path, meta, arr

    def _metadata(self, maps: dict[int, str]) -> Metadata:
        return Metadata(self.params.schema, self.params.dataset, max(self.params.start_ts, 0),
                        max(self.params.end_ts, 0), SymbolMap(maps))

    def _read(self) -> tuple[Metadata, Any]:
        if self._cache is None:
            np = _numpy()
            read = list(self._read_parts())
            arr = (np.concatenate([r[2] for r in read]) if read
                   else _empty(_kind_of(self.params.schema)))
            self._cache = self._metadata(_merge_maps(read)), arr
        return self._cache

    @property
    def metadata(self) -> Metadata:
        """The request's schema, dataset and range, and the tickers of the selected records."""
        return self._read()[0]

    def __len__(self) -> int:
        return len(self._read()[1])

    def to_bytes(self) -> bytes:
        """One stream of every selected record, ordered by ts_event."""
        return _stream_bytes(*self._read())

    def reader(self, **options):
        """An `orx.open` reader over the selected records (options as for orx.open)."""
        from ._reader import open as open_stream
        return open_stream(self.to_bytes(), **options)

    def to_pandas(self, pretty_ts: bool = False, pretty_px: bool = False):
        return self.reader().to_pandas(pretty_ts, pretty_px)

    def to_numpy(self) -> Any:
        return self.reader().to_numpy()

    def __arrow_c_stream__(self, requested_schema=None):
        return self.reader().__arrow_c_stream__(requested_schema)

    def __iter__(self) -> Iterator[Any]:
        return iter(self.reader())

    def batches(self, size: int | None = None) -> Iterator[Any]:
        """Batches (as `orx.open` gives them) of the selected records, one day at a time."""
        for _, meta, arr in self._read_parts():
            if len(arr):
                yield from _open_reader(_stream_bytes(meta, arr)).batches(size)

    def write(self, path: os.PathLike | str, compression: str | None = None) -> None:
        """Writes the selected records as one stream file, replacing `path` atomically."""
        _write_stream(Path(path), *self._read(), compression)
