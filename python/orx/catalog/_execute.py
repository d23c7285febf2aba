"""The query executor: the blocks a plan selected, read by the formats, turned into records by
one call of the core (``_ext.query_run``): every block decoded and checked on a small pool of
threads without the interpreter lock, each day's blocks cut to the day's bounds and merged by
ts_event (equal times by instrument id, then block order), the days one after the other.

An input is ``(data, coding, known, count, id, first, last)``: a block's bytes, how they are
coded (``RAW``/``ZSTD``/``COLUMNS``), and, when ``known``, what its index entry says of it
(checked: a block that does not hold that is an error naming its file and block)."""

from __future__ import annotations

from typing import Any

from .. import _ext
from ._records import numpy, size_of

# Block codings (the core's Coding).
RAW, ZSTD, COLUMNS = 0, 1, 2

# A day's end at or past this takes every time from its start on.
_END = (1 << 64) - 1

# The executor's threads: None for its default (the machine's cores, at most 4).
_threads: int | None = None


def threads() -> int:
    """The number of threads a query's blocks are decoded on."""
    return _threads if _threads is not None else _ext.query_threads()


def set_threads(n: int | None) -> None:
    """Decodes queries' blocks on `n` threads from now on (None: the default)."""
    global _threads
    if n is not None and (isinstance(n, bool) or not isinstance(n, int) or n < 1):
        raise ValueError(f"threads must be a positive int or None, not {n!r}")
    _threads = n


def run_days(kind: int, days: list[Any], sources: list[tuple[str, list[Any]]]
             ) -> tuple[bytes, Any, list[list[int]]]:
    """The records of `days` ([(start, end, [input, ...]), ...]): their bytes, the same as
    one array of opaque items, and the number of records taken of each input of each day;
    `sources` names each day's file and the index blocks its inputs come from (for
    errors)."""
    np = numpy()
    days = [(min(max(a, 0), _END), min(max(b, 0), _END), inputs) for a, b, inputs in days]
    try:
        data, counts = _ext.query_run(kind, days, _threads or 0)
    except ValueError as exc:
        if len(exc.args) != 3:
            raise
        detail, d, b = exc.args
        where, blocks = sources[d]
        block = blocks[b]
        raise ValueError(f"{where}: block at byte {block[4]} (instrument {block[0]}, "
                         f"{block[1]} records) does not hold what the index says: {detail}; "
                         f"Catalog.reindex() rebuilds the index from the files") from None
    return data, np.frombuffer(data, dtype=f"V{size_of(kind)}"), counts


def run(kind: int, days: list[Any], sources: list[tuple[str, list[Any]]]) -> Any:
    return run_days(kind, days, sources)[1]
