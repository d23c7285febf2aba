"""A catalog in object storage: any fsspec location (``s3://bucket/prefix``, ``gs://``,
``memory://``), the same names relative to the root as on a local disk.

Objects are written whole (one PUT each) and never rewritten by the catalog: a new version of a
day is a new object (``2025-12-01@<16 hex>.orx.zst``) and the index is what says which object
holds each day. Reads fetch byte ranges, coalesced and several in flight at once.

Writers change the index one of two ways:

- where the store has conditional writes (S3: ``If-Match`` on the index's ETag, or
  ``If-None-Match: *`` when there is no index yet), optimistically: a writer whose condition
  fails (another wrote the index meanwhile) removes the objects it wrote and starts again from
  the new index;
- elsewhere under a lease: the object ``_lease.json`` names its holder and when it expires. A
  writer takes a lease that is missing or expired by writing its own and reading it back after
  LEASE_SETTLE seconds (the last writer of the lease holds it; the others see another holder and
  wait), checks the lease is still its own and far from expiry before writing the index, and
  removes it at the end. This relies on the store reading back what was written last.
"""

from __future__ import annotations

import errno
import hashlib
import json
import random
import secrets
import time
from bisect import bisect_right
from contextlib import contextmanager
from typing import Any, Iterator

from .._deps import require
from ._storage import FileStat

LEASE_NAME = "_lease.json"
# How long a lease lasts without being given back, and how long a writer waits after writing
# one before reading it back.
LEASE_SECONDS = 60.0
LEASE_SETTLE = 0.2
# A writer gives up on a lease held by another after this long (the lease may be renewed).
LEASE_WAIT = 5 * LEASE_SECONDS
# Ranges closer than this are fetched as one; a coalesced range is at most MAX_RANGE bytes.
HOLE = 8 << 10
MAX_RANGE = 32 << 20
# Objects of the catalog's own naming that no index lists are removed by writers once they are
# older than this (a writer still at work has written its objects moments ago).
GRACE_SECONDS = 3600.0
_CONDITIONAL = ("s3", "s3a")


class Conflict(Exception):
    """The index changed since the writer read it (its conditional write failed)."""


def _fsspec() -> Any:
    return require("fsspec", "s3", "a catalog at a URL")


def is_url(location: object) -> bool:
    """Whether `location` names an fsspec location other than the local file system."""
    if not isinstance(location, str) or "://" not in location:
        return False
    return location.split("://", 1)[0].lower() not in ("file", "local")


def _tag_number(tag: str | None) -> int:
    """A number that identifies an object version from its ETag (0 when the store has none)."""
    if not tag:
        return 0
    text = tag.strip('"').split("-")[0]
    try:
        return int(text[:15], 16)
    except ValueError:
        return int.from_bytes(hashlib.sha256(tag.encode()).digest()[:7], "big")


def _mtime_ns(info: dict[str, Any]) -> int:
    t = info.get("LastModified") or info.get("mtime") or info.get("created")
    if t is None:
        return 0
    if hasattr(t, "timestamp"):
        return int(t.timestamp() * 1_000_000_000)
    try:
        return int(float(t) * 1_000_000_000)
    except (TypeError, ValueError):
        return 0


def _stat(info: dict[str, Any]) -> FileStat:
    return FileStat(int(info.get("size") or 0), _mtime_ns(info), _tag_number(info.get("ETag")))


def coalesce(ranges: list[tuple[int, int]], hole: int | None = None,
             limit: int | None = None) -> list[tuple[int, int]]:
    """(offset, length) ranges merged where they overlap or lie closer than `hole` bytes
    (HOLE), into ranges of at most `limit` bytes (MAX_RANGE; a single range longer than that
    stays whole)."""
    hole = HOLE if hole is None else hole
    limit = MAX_RANGE if limit is None else limit
    out: list[list[int]] = []
    for off, length in sorted(ranges):
        end = off + length
        if out and off - out[-1][1] <= hole and end - out[-1][0] <= limit:
            out[-1][1] = max(out[-1][1], end)
        else:
            out.append([off, end])
    return [(a, b - a) for a, b in out]


class ObjectFile:
    """One object open for reading: the byte ranges fetched for it, and more on demand."""

    def __init__(self, storage: ObjectStorage, rel: str, stat: FileStat | None,
                 pieces: list[tuple[int, bytes]] | None = None):
        self._storage = storage
        self.rel = rel
        self.where = storage.path(rel)
        self._stat = stat
        self._pieces = sorted(pieces or [], key=lambda p: p[0])
        self._starts = [p[0] for p in self._pieces]

    @property
    def stat(self) -> FileStat:
        if self._stat is None:
            st = self._storage.stat(self.rel)
            if st is None:
                raise FileNotFoundError(errno.ENOENT, "no such object", self.where)
            self._stat = st
        return self._stat

    def read(self, offset: int, length: int) -> bytes:
        """Exactly `length` bytes from `offset`; ValueError when the object ends before."""
        k = bisect_right(self._starts, offset) - 1
        if k >= 0:
            start, data = self._pieces[k]
            if offset + length <= start + len(data):
                return data[offset - start:offset - start + length]
        got = self._storage.fetch([(self.rel, [(offset, length)])])[self.rel][0][1]
        if len(got) != length:
            raise ValueError(f"{self.where}: cut short: {length} bytes at byte {offset} were "
                             f"expected, the object ends after {len(got)} of them")
        return got

    def read_all(self) -> bytes:
        data = self._storage.read_bytes(self.rel)
        if data is None:
            raise FileNotFoundError(errno.ENOENT, "no such object", self.where)
        return data

    def close(self) -> None:
        self._pieces = []
        self._starts = []

    def __enter__(self) -> ObjectFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class ObjectStorage:
    """A catalog's objects under one fsspec URL."""

    remote = True

    def __init__(self, url: str, storage_options: dict[str, Any] | None = None):
        fsspec = _fsspec()
        options = dict(storage_options or {})
        protocol = url.split("://", 1)[0].lower()
        if protocol in _CONDITIONAL:
            require("s3fs", "s3", "a catalog in S3")
            # the catalog checks what it lists itself; a cached listing would hide new days
            options.setdefault("use_listings_cache", False)
        self.fs, path = fsspec.core.url_to_fs(url, **options)
        self.protocol = protocol
        self.base = path.rstrip("/")
        self.root = url.rstrip("/")
        self.options = dict(storage_options or {})
        self.conditional = protocol in _CONDITIONAL
        self.requests = 0  # reads made by this storage object, for benchmarks and tests
        self.bytes_read = 0
        self._seen_root = False

    def __repr__(self) -> str:
        return f"ObjectStorage({self.root!r})"

    def count_read(self, requests: int, nbytes: int) -> None:
        self.requests += requests
        self.bytes_read += nbytes

    def full(self, rel: str) -> str:
        return f"{self.base}/{rel}" if rel else self.base

    def path(self, rel: str) -> str:
        return f"{self.root}/{rel}" if rel else self.root

    # -- reading ------------------------------------------------------------------------------

    def require_root(self) -> None:
        """FileNotFoundError naming the URL unless something is stored under it."""
        if self._seen_root:
            return
        try:
            found = self.fs.ls(self.base, detail=False)
        except FileNotFoundError:
            found = []
        if not found:
            raise FileNotFoundError(errno.ENOENT, "no catalog here: nothing is stored under "
                                    "this location (writing to a catalog creates it)", self.root)
        self._seen_root = True

    def _list(self, directory: str) -> list[dict[str, Any]]:
        try:
            self.fs.invalidate_cache(self.full(directory))
            return list(self.fs.ls(self.full(directory), detail=True))
        except (FileNotFoundError, NotADirectoryError):
            return []

    def scan(self, directory: str) -> dict[str, FileStat]:
        """The objects directly under `directory` and their identity."""
        out = {}
        for info in self._list(directory):
            if info.get("type") == "file":
                out[info["name"].rstrip("/").rpartition("/")[2]] = _stat(info)
        return out

    def ages(self, directory: str) -> dict[str, float]:
        """Seconds since each object under `directory` was written (0 when the store does not
        say)."""
        now = time.time()
        return {info["name"].rpartition("/")[2]: (now - _mtime_ns(info) / 1e9
                                                  if _mtime_ns(info) else 0.0)
                for info in self._list(directory) if info.get("type") == "file"}

    def subdirectories(self, directory: str) -> list[str]:
        return sorted(info["name"].rstrip("/").rpartition("/")[2] for info in self._list(directory)
                      if info.get("type") == "directory")

    def stat(self, rel: str) -> FileStat | None:
        try:
            self.fs.invalidate_cache(self.full(rel))
            info = self.fs.info(self.full(rel))
        except FileNotFoundError:
            return None
        return _stat(info) if info.get("type", "file") == "file" else None

    def tag(self, rel: str) -> str | None:
        """The ETag of `rel` (None when it is missing)."""
        if self.conditional:  # one HEAD request
            bucket, _, key = self.full(rel).partition("/")
            try:
                head = self.fs.call_s3("head_object", Bucket=bucket, Key=key)
            except FileNotFoundError:
                return None
            return str(head["ETag"])
        try:
            self.fs.invalidate_cache(self.full(rel))
            info = self.fs.info(self.full(rel))
        except FileNotFoundError:
            return None
        tag = info.get("ETag")
        return str(tag) if tag is not None else ""

    def read_bytes(self, rel: str) -> bytes | None:
        """The whole of a small object, None when it is missing."""
        try:
            # from byte 0 on: one request (without a range, s3fs asks for the size first)
            data: bytes = self.fs.cat_file(self.full(rel), start=0)
        except FileNotFoundError:
            return None
        except OSError as exc:  # an empty object has no byte 0
            if "InvalidRange" not in repr(exc.__cause__) and "416" not in str(exc):
                raise
            data = self.fs.cat_file(self.full(rel))
        self.count_read(1, len(data))
        return data

    def open_file(self, rel: str, ranges: list[tuple[int, int]] | None = None,
                  stat: FileStat | None = None) -> ObjectFile:
        """`rel` for reading, with `ranges` fetched (FileNotFoundError when it is missing)."""
        if not ranges:
            return ObjectFile(self, rel, stat)
        return ObjectFile(self, rel, stat, self.fetch([(rel, ranges)])[rel])

    def fetch(self, wanted: list[tuple[str, list[tuple[int, int]]]]
              ) -> dict[str, list[tuple[int, bytes]]]:
        """The byte ranges of several objects, coalesced, all requests in flight at once: per
        object, (offset, bytes) of each coalesced range. FileNotFoundError naming an object
        that is missing."""
        paths, starts, ends, owners = [], [], [], []
        for rel, ranges in wanted:
            for off, length in coalesce(ranges):
                paths.append(self.full(rel))
                starts.append(off)
                ends.append(off + length)
                owners.append(rel)
        got = self.fs.cat_ranges(paths, starts, ends, on_error="return") if paths else []
        out: dict[str, list[tuple[int, bytes]]] = {rel: [] for rel, _ in wanted}
        for rel, off, data in zip(owners, starts, got):
            if isinstance(data, BaseException):
                if isinstance(data, FileNotFoundError):
                    raise FileNotFoundError(errno.ENOENT, "no such object", self.path(rel))
                raise OSError(f"{self.path(rel)}: reading bytes from {off}: {data}") from data
            out[rel].append((off, bytes(data)))
        self.count_read(len(paths), sum(len(d) for d in got if isinstance(d, bytes)))
        return out

    # -- writing ------------------------------------------------------------------------------

    def makedirs(self, directory: str) -> None:
        """Object stores have no directories to make."""

    def put(self, rel: str, data: bytes, match: str | None = None,
            create: bool = False) -> FileStat:
        """Writes `data` as the object `rel`, whole. `match`: only if the object's ETag is still
        this; `create`: only if there is no such object (where the store has conditional
        writes). Conflict when the condition fails."""
        kwargs: dict[str, Any] = {}
        if self.conditional:
            if create:
                kwargs["IfNoneMatch"] = "*"
            elif match is not None:
                kwargs["IfMatch"] = match
        try:
            out = self.fs.pipe_file(self.full(rel), data, **kwargs)
        except (FileExistsError, OSError) as exc:
            if kwargs and _precondition_failed(exc):
                raise Conflict(self.path(rel)) from None
            raise
        tag = out.get("ETag") if isinstance(out, dict) else None
        return FileStat(len(data), 0, _tag_number(tag))

    def remove(self, rel: str, missing_ok: bool = False) -> None:
        try:
            self.fs.rm_file(self.full(rel))
        except FileNotFoundError:
            if not missing_ok:
                raise

    def remove_many(self, rels: list[str]) -> None:
        """Removes objects, best effort (what fails to go stays garbage for the next writer)."""
        if not rels:
            return
        try:
            self.fs.rm([self.full(r) for r in rels])
        except (OSError, FileNotFoundError):
            for r in rels:
                try:
                    self.remove(r, missing_ok=True)
                except OSError:
                    pass

    @contextmanager
    def writer(self, directory: str) -> Iterator[Lease | None]:
        """What makes a writer of `directory` safe against others: nothing to hold where the
        store has conditional writes (the index's write is conditional), the lease elsewhere."""
        if self.conditional:
            yield None
            return
        lease = Lease(self, f"{directory}/{LEASE_NAME}")
        lease.take()
        try:
            yield lease
        finally:
            lease.give_back()


def _precondition_failed(exc: BaseException) -> bool:
    cause = exc.__cause__ or exc.__context__
    response = getattr(cause, "response", None)
    if isinstance(response, dict):
        code = str(response.get("Error", {}).get("Code", ""))
        status = response.get("ResponseMetadata", {}).get("HTTPStatusCode")
        return code in ("PreconditionFailed", "ConditionalRequestConflict") or status in (409, 412)
    return isinstance(exc, FileExistsError) or "PreconditionFailed" in str(exc)


class Lease:
    """The lease object of a directory on a store without conditional writes."""

    def __init__(self, storage: ObjectStorage, rel: str):
        self.storage = storage
        self.rel = rel
        self.owner = secrets.token_hex(16)
        self.expires = 0.0

    def _read(self) -> dict[str, Any] | None:
        data = self.storage.read_bytes(self.rel)
        if data is None:
            return None
        try:
            doc = json.loads(data)
        except ValueError:
            return None  # not a lease: taken over
        return doc if type(doc) is dict else None

    def take(self) -> None:
        wait = LEASE_WAIT
        deadline = time.monotonic() + wait
        while True:
            held = self._read()
            free = (held is None or type(held.get("expires")) not in (int, float)
                    or held["expires"] < time.time())
            if free:
                self.expires = time.time() + LEASE_SECONDS
                self.storage.put(self.rel, json.dumps({"owner": self.owner,
                                                       "expires": self.expires}).encode())
                time.sleep(LEASE_SETTLE)
                again = self._read()
                if again is not None and again.get("owner") == self.owner:
                    return
            if time.monotonic() > deadline:
                raise TimeoutError(f"{self.storage.path(self.rel)}: another writer has held the "
                                   f"lease for over {LEASE_WAIT:.0f} s; remove the lease object "
                                   f"if no writer is at work")
            time.sleep(LEASE_SETTLE * (1 + random.random()))

    def check(self) -> None:
        """Raises unless the lease is still this writer's with time to spare."""
        held = self._read()
        if (held is None or held.get("owner") != self.owner
                or self.expires - time.time() < LEASE_SECONDS / 4):
            raise Conflict(self.storage.path(self.rel))

    def give_back(self) -> None:
        held = self._read()
        if held is not None and held.get("owner") == self.owner:
            self.storage.remove(self.rel, missing_ok=True)


def version_name(day: str, suffix: str) -> str:
    """The name of a new object holding `day` in the format of `suffix`."""
    return f"{day}@{secrets.token_hex(8)}{suffix}"


def storage_of(root: str, storage_options: Any) -> ObjectStorage:
    """An ObjectStorage of `root`, shared by the reads of one process."""
    key = (root, json.dumps(storage_options, sort_keys=True, default=repr))
    st = _OPEN.get(key)
    if st is None or st.fs is None:
        st = _OPEN[key] = ObjectStorage(root, dict(storage_options or {}))
    return st


_OPEN: dict[tuple[str, str], ObjectStorage] = {}
