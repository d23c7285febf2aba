"""API keys of the service: a key file holding, for each key, its name, the datasets it may
read and a salted scrypt hash of the key (never the key itself).

A key reads ``orx_<id>_<secret>``: the id (8 hex digits) finds its entry without trying every
hash, the secret (32 random bytes, URL-safe base64) is what the hash protects. The file is
JSON::

    {"format": 1, "keys": [{"id": "1f2e3d4c", "name": "alice", "datasets": ["Futures"],
      "created": "2025-12-01T09:30:00Z", "kdf": "scrypt", "n": 16384, "r": 8, "p": 1,
      "salt": "<hex>", "hash": "<hex>"}, ...]}

``datasets`` is null for a key that may read every dataset. Changes take the file's lock
(``flock`` on the file itself, checked to still be the file at its path) and replace the file
atomically, mode 0600.
"""

from __future__ import annotations

import datetime as _dt
import fcntl
import hashlib
import hmac
import json
import os
import secrets
from dataclasses import dataclass

from ._lib import Dataset
from ._params import member

FORMAT = 1
# scrypt at 16 MiB of memory: some tens of milliseconds per check, done once per key and
# server process (verified keys are remembered).
_N, _R, _P = 1 << 14, 8, 1
_PREFIX = "orx"


class KeyFileError(ValueError):
    """A key file that cannot be read or a change to it that is refused."""


@dataclass(frozen=True)
class Key:
    id: str
    name: str
    datasets: tuple[Dataset, ...] | None  # None: every dataset
    created: str

    def may_read(self, dataset: Dataset) -> bool:
        return self.datasets is None or any(int(d) == int(dataset) for d in self.datasets)


def _hash(secret: str, salt: bytes, n: int = _N, r: int = _R, p: int = _P) -> bytes:
    return hashlib.scrypt(secret.encode(), salt=salt, n=n, r=r, p=p, maxmem=0x7FFFFFFF,
                          dklen=32)


def split_key(key: str) -> tuple[str, str] | None:
    """(id, secret) of a key of the form orx_<id>_<secret>; None for any other text."""
    parts = key.split("_", 2)
    if len(parts) != 3 or parts[0] != _PREFIX or len(parts[1]) != 8 or not parts[2]:
        return None
    try:
        int(parts[1], 16)
    except ValueError:
        return None
    return parts[1], parts[2]


def _entry_key(e: dict) -> Key:
    ds = e["datasets"]
    return Key(e["id"], e["name"], None if ds is None else tuple(
        member(Dataset, d, "dataset") for d in ds), e["created"])


def _check_entry(e: object, path: str, i: int) -> dict:
    where = f"{path}: key {i + 1}"
    if not isinstance(e, dict):
        raise KeyFileError(f"{where} is not an object")
    for name, kind in (("id", str), ("name", str), ("created", str), ("salt", str),
                       ("hash", str), ("n", int), ("r", int), ("p", int)):
        if not isinstance(e.get(name), kind) or isinstance(e.get(name), bool):
            what = "an integer" if kind is int else "a text"
            raise KeyFileError(f"{where}: {name!r} is missing or not {what}")
    if e.get("kdf") != "scrypt":
        raise KeyFileError(f"{where}: unknown key derivation {e.get('kdf')!r}")
    ds = e.get("datasets")
    if ds is not None and (not isinstance(ds, list) or not all(isinstance(d, str) for d in ds)):
        raise KeyFileError(f"{where}: 'datasets' must be null or a list of dataset names")
    try:
        bytes.fromhex(e["salt"]), bytes.fromhex(e["hash"])
        _entry_key(e)
    except ValueError as exc:
        raise KeyFileError(f"{where}: {exc}") from None
    return e


def _parse(data: bytes, path: str) -> list[dict]:
    if not data.strip():
        return []
    try:
        doc = json.loads(data)
    except ValueError as exc:
        raise KeyFileError(f"{path}: not a key file ({exc})") from None
    if not isinstance(doc, dict) or doc.get("format") != FORMAT or not isinstance(
            doc.get("keys"), list):
        raise KeyFileError(f"{path}: not a key file of format {FORMAT}")
    return [_check_entry(e, path, i) for i, e in enumerate(doc["keys"])]


def read(path: os.PathLike | str) -> list[dict]:
    """The entries of the key file at `path` (FileNotFoundError when there is none)."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        return _parse(f.read(), path)


class KeyFile:
    """The keys of one key file, re-read when the file changes, and checks of keys against
    them."""

    def __init__(self, path: os.PathLike | str) -> None:
        self.path = os.fspath(path)
        self._stamp: tuple[int, int, int] | None = None
        self._entries: dict[str, dict] = {}
        self._known: dict[str, Key] = {}  # sha256 of keys already verified -> key
        self._loaded = False
        self.reload()

    def _stat(self) -> tuple[int, int, int]:
        st = os.stat(self.path)
        return st.st_ino, st.st_size, st.st_mtime_ns

    def reload(self) -> None:
        """Reads the file again when it changed. A file that vanished or cannot be read any
        more leaves no key valid until it can (the first reading's failure is raised)."""
        try:
            stamp = self._stat()
            if stamp == self._stamp:
                return
            entries = read(self.path)
        except (OSError, KeyFileError):
            if not self._loaded:
                raise
            self._entries, self._known, self._stamp = {}, {}, None
            return
        self._entries = {e["id"]: e for e in entries}
        self._known = {}
        self._stamp = stamp
        self._loaded = True

    def check(self, key: str) -> Key | None:
        """The key `key` names when it is one of the file's keys, else None. The file is read
        again when it changed since it was last read."""
        self.reload()
        digest = hashlib.sha256(key.encode("utf-8", "surrogatepass")).hexdigest()
        known = self._known.get(digest)
        if known is not None:
            return known
        parts = split_key(key)
        e = self._entries.get(parts[0]) if parts else None
        if e is None or parts is None:
            return None
        got = _hash(parts[1], bytes.fromhex(e["salt"]), e["n"], e["r"], e["p"])
        if not hmac.compare_digest(got, bytes.fromhex(e["hash"])):
            return None
        k = _entry_key(e)
        if len(self._known) < 10_000:
            self._known[digest] = k
        return k


# --- changing a key file --------------------------------------------------------------------


def _locked(path: str):
    """An open, locked descriptor of the key file at `path` (created empty, mode 0600, when
    absent), locked after it was checked to still be the file at `path`."""
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            if os.fstat(fd).st_ino == os.stat(path).st_ino:
                return fd
        except FileNotFoundError:
            pass
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)  # replaced while we waited: lock the new file


def _change(path: os.PathLike | str, edit) -> object:
    from ._writer import ReplacingFile

    path = os.fspath(path)
    fd = _locked(path)
    try:
        with os.fdopen(os.dup(fd), "rb") as f:
            entries = _parse(f.read(), path)
        result = edit(entries)
        doc = {"format": FORMAT, "keys": entries}
        out = ReplacingFile(path)
        try:
            out.write((json.dumps(doc, indent=1) + "\n").encode())
            os.chmod(out.temp, 0o600)
            out.commit()
        except BaseException:
            out.discard()
            raise
        return result
    finally:
        os.close(fd)


def add(path: os.PathLike | str, name: str, datasets: list[str] | None = None) -> tuple[str, Key]:
    """Adds a key named `name` that may read `datasets` (names or members; None: all) to the
    key file at `path` (created when absent); returns the key, which is nowhere stored, and
    its entry."""
    if not name or not name.isprintable() or name.strip() != name:
        raise KeyFileError(f"a key's name must be printable text without surrounding spaces, "
                           f"not {name!r}")
    ds = None if datasets is None else sorted(
        {int(m): m for m in (member(Dataset, d, "dataset") for d in datasets)}.values(),
        key=int)

    def edit(entries: list[dict]) -> tuple[str, Key]:
        if any(e["name"] == name for e in entries):
            raise KeyFileError(f"{os.fspath(path)}: a key named {name!r} exists; remove it "
                               "first")
        taken = {e["id"] for e in entries}
        kid = secrets.token_hex(4)
        while kid in taken:
            kid = secrets.token_hex(4)
        secret = secrets.token_urlsafe(32)
        salt = secrets.token_bytes(16)
        created = _dt.datetime.now(_dt.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")
        e = {"id": kid, "name": name, "datasets": None if ds is None else [
            d.to_json() for d in ds], "created": created, "kdf": "scrypt", "n": _N, "r": _R,
            "p": _P, "salt": salt.hex(), "hash": _hash(secret, salt).hex()}
        entries.append(e)
        return f"{_PREFIX}_{kid}_{secret}", _entry_key(e)

    return _change(path, edit)  # type: ignore[return-value]


def remove(path: os.PathLike | str, name: str) -> None:
    """Removes the key named `name` from the key file at `path`."""
    if not os.path.exists(path):
        raise FileNotFoundError(2, "no such key file", os.fspath(path))

    def edit(entries: list[dict]) -> None:
        kept = [e for e in entries if e["name"] != name]
        if len(kept) == len(entries):
            raise KeyFileError(f"{os.fspath(path)}: no key named {name!r}")
        entries[:] = kept

    _change(path, edit)


def keys(path: os.PathLike | str) -> list[Key]:
    """The keys of the key file at `path`, in the order they were added."""
    return [_entry_key(e) for e in read(path)]
