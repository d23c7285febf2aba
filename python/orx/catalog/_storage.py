"""The file operations of a catalog, in one place: listing a directory, reading byte ranges,
creating and atomically replacing files, locking a directory, removing files. The rest of the
package names files by their path relative to the catalog's root ("FUTURES/mbp-1/_index.json"),
so that another backend (an object store) can stand beside this local one.

Links: nothing here writes through a symbolic link. Directories below the root are opened
without following links, new files are created with ``O_CREAT | O_EXCL | O_NOFOLLOW`` and put
in place by rename (which replaces a name, never what a link names), and an entry that is a
link where a file is to be written is refused. Reading follows a link only when it resolves
inside the root.
"""

from __future__ import annotations

import errno
import fcntl
import os
import re
import stat as _stat
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Iterator

from .. import _ext

LOCK_NAME = ".lock"
# The catalog's own temporary files are named as every orx writer names them
# (``_ext.temporary_name``); cleanup removes these and nothing else. Names of the form older
# catalogs used (this prefix, a random token, the file's name, ".tmp") are recognised too, for
# a journal written before.
_LEGACY_TEMP = re.compile(r"^\.orx-catalog\.[0-9a-f]{16}\.[^/]+\.tmp$")
_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def open_storage(location: str | os.PathLike[str], storage_options: dict[str, Any] | None = None
                 ) -> Any:
    """The storage of a catalog at `location`: a local directory (a path or a ``file://`` URL)
    or any other fsspec URL (``s3://bucket/prefix``, ``gs://...``, ``memory://...``)."""
    from ._objects import ObjectStorage, is_url

    if is_url(location):
        return ObjectStorage(str(location), storage_options)
    if storage_options:
        raise ValueError("storage_options are for catalogs at a URL, not local directories")
    text = os.fspath(location)
    for prefix in ("file://", "local://"):
        if text.startswith(prefix):
            text = text[len(prefix):]
    return LocalStorage(text)


def is_own_temporary(name: str) -> bool:
    return _ext.temporary_target(name) is not None or _LEGACY_TEMP.match(name) is not None


def _link_refused(path: str) -> OSError:
    return OSError(errno.ELOOP, "is a symbolic link; the catalog does not write through links",
                   path)


@dataclass(frozen=True)
class FileStat:
    """What identifies one version of a file: a new file put in place has a new inode, and
    a changed file a new size or modification time."""

    size: int
    mtime_ns: int
    inode: int

    def key(self) -> list[int]:
        return [self.size, self.mtime_ns, self.inode]


def _file_stat(st: os.stat_result) -> FileStat:
    return FileStat(st.st_size, st.st_mtime_ns, st.st_ino)


class ReadFile:
    """A file open for reading: its identity, byte ranges, the whole of it."""

    def __init__(self, fd: int, where: str):
        self._fd = fd
        self.where = where
        self.stat = _file_stat(os.fstat(fd))

    def read(self, offset: int, length: int) -> bytes:
        """Exactly `length` bytes from `offset`; ValueError when the file ends before."""
        out = bytearray()
        while len(out) < length:
            got = os.pread(self._fd, length - len(out), offset + len(out))
            if not got:
                raise ValueError(f"{self.where}: cut short: {length} bytes at byte {offset} "
                                 f"were expected, the file ends after {len(out)} of them")
            out += got
        return bytes(out)

    def read_all(self) -> bytes:
        return self.read(0, os.fstat(self._fd).st_size)

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> ReadFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class StagedFile:
    """A new file beside the one it will become, under the catalog's own temporary name,
    written piece by piece; `finish()` flushes it to disk and gives its identity."""

    def __init__(self, storage: LocalStorage, directory: str, final: str):
        self.directory = directory
        self.final = final
        self.name = _ext.temporary_name(final)
        self._storage = storage
        with storage._dir(directory) as dfd:
            self._fd = os.open(self.name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                               | os.O_CLOEXEC, 0o644, dir_fd=dfd)
        # Held while the file is written, as every orx writer does: a later writer of the
        # same name leaves a file alone whose lock is taken.
        fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.written = 0

    def write(self, data: bytes | memoryview) -> None:
        view = memoryview(data).cast("B")
        while len(view):
            n = os.write(self._fd, view)
            view = view[n:]
            self.written += n

    def finish(self) -> FileStat:
        os.fsync(self._fd)
        st = _file_stat(os.fstat(self._fd))
        os.close(self._fd)
        self._fd = -1
        return st

    def discard(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
        self._storage.remove(f"{self.directory}/{self.name}", missing_ok=True)


class LocalStorage:
    """A catalog's files on the local file system, under `root`."""

    remote = False

    def __init__(self, root: str | os.PathLike[str]):
        self.root = os.path.abspath(os.fspath(root))
        self._real_root: str | None = None

    def __repr__(self) -> str:
        return f"LocalStorage({self.root!r})"

    def path(self, rel: str) -> str:
        return os.path.join(self.root, *rel.split("/")) if rel else self.root

    def require_root(self) -> None:
        """FileNotFoundError (or NotADirectoryError) naming the root unless it is a directory."""
        try:
            st = os.stat(self.root)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, "no catalog here: the directory does not "
                                    "exist (writing to a catalog creates it)", self.root) from None
        if not _stat.S_ISDIR(st.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, "not a catalog: not a directory", self.root)

    # -- reading ------------------------------------------------------------------------------

    def _inside(self, real: str) -> bool:
        if self._real_root is None:
            self._real_root = os.path.realpath(self.root)
        return os.path.commonpath([real, self._real_root]) == self._real_root

    def _readable(self, rel: str) -> str:
        """The path to read `rel` at: where its links lead, when that is inside the root;
        PermissionError naming it otherwise."""
        real = os.path.realpath(self.path(rel))
        if not self._inside(real):
            raise PermissionError(errno.EACCES, "is a symbolic link to a file outside the "
                                  "catalog; the catalog reads links only within its root",
                                  self.path(rel))
        return real

    def scan(self, directory: str) -> dict[str, FileStat]:
        """The regular files of `directory` (none when it does not exist) and their identity.
        A link that resolves outside the root is listed with the link's own identity, so that
        reading it fails naming it rather than leaving it out unseen."""
        out: dict[str, FileStat] = {}
        try:
            base = self._readable(directory)
            entries = list(os.scandir(base))
        except (FileNotFoundError, NotADirectoryError):
            return out
        for e in entries:
            try:
                if e.is_symlink():
                    real = os.path.realpath(e.path)
                    if not self._inside(real):
                        out[e.name] = _file_stat(os.lstat(e.path))
                        continue
                    st = os.stat(real)
                else:
                    st = e.stat(follow_symlinks=False)
            except FileNotFoundError:  # removed meanwhile
                continue
            if _stat.S_ISREG(st.st_mode):
                out[e.name] = _file_stat(st)
        return out

    def subdirectories(self, directory: str) -> list[str]:
        try:
            base = self._readable(directory)
            return sorted(e.name for e in os.scandir(base) if e.is_dir())
        except (FileNotFoundError, NotADirectoryError):
            return []

    def stat(self, rel: str) -> FileStat | None:
        try:
            return _file_stat(os.stat(self._readable(rel)))
        except FileNotFoundError:
            return None

    def open_file(self, rel: str) -> ReadFile:
        """Opens `rel` for reading (FileNotFoundError when it is missing); every read of a
        catalog's file starts here."""
        real = self._readable(rel)
        fd = os.open(real, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
        try:
            if not _stat.S_ISREG(os.fstat(fd).st_mode):
                raise IsADirectoryError(errno.EISDIR, "not a regular file", self.path(rel))
            return ReadFile(fd, self.path(rel))
        except BaseException:
            os.close(fd)
            raise

    def read_bytes(self, rel: str) -> bytes | None:
        """The whole of a small file, None when it is missing."""
        try:
            with self.open_file(rel) as f:
                return f.read_all()
        except FileNotFoundError:
            return None

    # -- writing ------------------------------------------------------------------------------

    @contextmanager
    def _dir(self, directory: str, create: bool = False) -> Iterator[int]:
        """A descriptor of `directory`, reached from the root without following links."""
        fd = os.open(self.root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            reached = ""
            for part in (p for p in directory.split("/") if p):
                reached = f"{reached}/{part}" if reached else part
                try:
                    nxt = os.open(part, _DIR_FLAGS, dir_fd=fd)
                except FileNotFoundError:
                    if not create:
                        raise
                    try:
                        os.mkdir(part, 0o755, dir_fd=fd)
                    except FileExistsError:
                        pass
                    nxt = os.open(part, _DIR_FLAGS, dir_fd=fd)
                except OSError as exc:
                    if exc.errno in (errno.ELOOP, errno.ENOTDIR) \
                            and os.path.islink(self.path(reached)):
                        raise _link_refused(self.path(reached)) from None
                    raise
                os.close(fd)
                fd = nxt
            yield fd
        finally:
            os.close(fd)

    def makedirs(self, directory: str) -> None:
        """Creates the root and `directory` below it as needed (no link below the root)."""
        os.makedirs(self.root, exist_ok=True)
        with self._dir(directory, create=True):
            pass

    def stage(self, directory: str, final: str) -> StagedFile:
        """A new file that `commit_staged` will put in place of `directory/final`."""
        self.refuse_link(f"{directory}/{final}")
        return StagedFile(self, directory, final)

    def refuse_link(self, rel: str) -> None:
        """OSError when the entry `rel` is a symbolic link (the catalog would write it)."""
        if os.path.islink(self.path(rel)):
            raise _link_refused(self.path(rel))

    def rename(self, directory: str, name: str, final: str) -> None:
        """Puts `directory/name` in place of `directory/final` (the old file, if any, goes)."""
        with self._dir(directory) as dfd:
            os.rename(name, final, src_dir_fd=dfd, dst_dir_fd=dfd)

    def sync(self, directory: str) -> None:
        with self._dir(directory) as dfd:
            os.fsync(dfd)

    def replace(self, rel: str, data: bytes) -> None:
        """Makes `data` the content of `rel` at once: a new file flushed to disk, renamed over
        the old one, the directory flushed. A failure leaves the old file and no new one."""
        directory, _, final = rel.rpartition("/")
        staged = self.stage(directory, final)
        try:
            staged.write(data)
            staged.finish()
            self.rename(directory, staged.name, final)
        except BaseException:
            staged.discard()
            raise
        self.sync(directory)

    def remove(self, rel: str, missing_ok: bool = False) -> None:
        directory, _, name = rel.rpartition("/")
        try:
            with self._dir(directory) as dfd:
                os.unlink(name, dir_fd=dfd)
        except FileNotFoundError:
            if not missing_ok:
                raise

    def remove_own_temporaries(self, directory: str) -> list[str]:
        """Removes the catalog's own temporary files in `directory` (those of writers that
        died); files of any other name stay."""
        gone = []
        with self._dir(directory) as dfd:
            for name in os.listdir(dfd):
                if is_own_temporary(name):
                    try:
                        os.unlink(name, dir_fd=dfd)
                    except FileNotFoundError:
                        continue
                    gone.append(name)
        return gone

    @contextmanager
    def lock(self, directory: str) -> Iterator[None]:
        """The exclusive lock of `directory`, held by one writer at a time."""
        with self._dir(directory) as dfd:
            flags = os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK
            while True:
                try:
                    fd = os.open(LOCK_NAME, flags, dir_fd=dfd)
                    break
                except FileNotFoundError:
                    pass
                except OSError as exc:
                    if exc.errno == errno.ELOOP:
                        raise _link_refused(self.path(f"{directory}/{LOCK_NAME}")) from None
                    raise
                try:
                    fd = os.open(LOCK_NAME, flags | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=dfd)
                    break
                except FileExistsError:  # created meanwhile, or a link planted: look again
                    if os.path.islink(self.path(f"{directory}/{LOCK_NAME}")):
                        raise _link_refused(self.path(f"{directory}/{LOCK_NAME}")) from None
        try:
            if not _stat.S_ISREG(os.fstat(fd).st_mode):
                raise OSError(errno.EINVAL, "is not a regular file",
                              self.path(f"{directory}/{LOCK_NAME}"))
            import fcntl

            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)  # closing releases the lock

    def wait_for_writer(self, directory: str) -> None:
        """Returns once no writer holds the lock of `directory` (at once when there is no lock
        to take)."""
        import fcntl

        try:
            real = self._readable(f"{directory}/{LOCK_NAME}")
            fd = os.open(real, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
        except OSError:
            return
        try:
            if _stat.S_ISREG(os.fstat(fd).st_mode):
                fcntl.flock(fd, fcntl.LOCK_SH)
        finally:
            os.close(fd)
