"""Record streams merged by ts_event, for ``orx merge``: a k-way merge of inputs that are each
sorted (the merging, and the check that each input is in order, done by ``_ext.RecordMerger``
without the GIL), and an external sort for inputs that are not.

Ties: records with equal ts_event come out in input order, and within one input in the order
they came.

The sort holds at most ``SORT_RUN`` bytes of records to sort at a time: each run is sorted in
memory and spilled to an unnamed temporary file (``O_TMPFILE`` in the output's directory, so
nothing is left behind whatever happens to the process), then the runs are merged, each read
in pieces of ``SORT_RUN / runs`` bytes (at least ``MIN_PIECE``). At the peak, while a run is
sorted, about three times ``SORT_RUN`` is held (the pieces read, their sorted copy, the sort's
keys); while merging, about ``SORT_RUN`` plus one output piece.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable, Iterable, Iterator

from . import _ext

SORT_RUN = 64 << 20
MIN_PIECE = 64 << 10


class UnsortedInput(ValueError):
    """An input of a merge whose records are not in ts_event order."""


def merge(feeds: list[Iterator[bytes]], names: list[str],
          emit: Callable[[bytes, int], None]) -> None:
    """Merges the record bytes of `feeds` (one iterator of pieces per input, each sorted by
    ts_event; a piece may end inside a record that the next one completes) into
    ``emit(records bytes, count)`` calls. An input out of order raises UnsortedInput naming
    it (``names[i]``), the first record out of order, its index and ts_event."""
    merger = _ext.RecordMerger(len(feeds))
    while True:
        data, count, need = merger.pull()
        if count:
            emit(data, count)
        if need < 0:
            return
        piece = next(feeds[need], None)
        try:
            if piece is None:
                merger.finish(need)
            else:
                merger.push(need, piece)
        except ValueError as exc:
            kind = UnsortedInput if "not sorted" in str(exc) else ValueError
            raise kind(f"{names[need]}: {exc}") from None


def _runs(pieces: Iterable[bytes], name: str, directory: str, run: int) -> list:
    """The records of `pieces` as sorted runs of at most about `run` bytes, each in an unnamed
    temporary file in `directory`."""
    files = []
    held: list[bytes] = []
    size = 0

    def spill() -> None:
        nonlocal size
        data = b"".join(held)
        try:
            ordered, used = _ext.sort_records(data)
        except ValueError as exc:
            raise ValueError(f"{name}: {exc}") from None
        held[:] = [data[used:]] if used < len(data) else []
        size = len(data) - used
        if not used:
            return
        f = tempfile.TemporaryFile(dir=directory)
        files.append(f)
        f.write(ordered)
        f.flush()

    try:
        for piece in pieces:
            held.append(piece)
            size += len(piece)
            if size >= run:
                spill()
        if held:
            spill()
        if held:
            raise ValueError(f"{name}: the last record is cut short ({size} bytes are there)")
    except BaseException:
        for f in files:
            f.close()
        raise
    return files


def _read_pieces(f, piece: int, read: Callable[[int], None]) -> Iterator[bytes]:
    f.seek(0)
    while True:
        data = f.read(piece)
        if not data:
            return
        read(len(data))
        yield data


def sort_merge(inputs: list[Iterable[bytes]], names: list[str], directory: str,
               emit: Callable[[bytes, int], None], *, run: int = SORT_RUN,
               read: Callable[[int], None] = lambda n: None) -> None:
    """Merges `inputs` in any order into sorted records: sorted runs spilled to unnamed files
    in `directory`, then merged (see the module's text for the memory this takes). `read(n)`
    is told of the bytes of runs read back."""
    files: list = []
    try:
        for pieces, name in zip(inputs, names):
            files.extend(_runs(pieces, name, directory, run))
        if not files:
            return
        piece = max(MIN_PIECE, run // len(files))
        merge([_read_pieces(f, piece, read) for f in files], ["a sorted run"] * len(files), emit)
    finally:
        for f in files:
            f.close()


def spill_directory(output: str) -> str:
    """Where the runs of a sort for `output` go: beside it (its file system has room for
    the records anyway), or the system's temporary directory for outputs that are devices."""
    directory = os.path.dirname(os.path.abspath(output))
    regular = not os.path.exists(output) or os.path.isfile(output)
    return directory if regular and os.access(directory, os.W_OK) else tempfile.gettempdir()
