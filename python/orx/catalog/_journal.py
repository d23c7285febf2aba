"""How a write of several days becomes all or nothing.

A writer (holding the directory's lock) writes every new day under a temporary name of the
catalog's own, flushed to disk, then commits by putting the journal ``_journal.json`` in place
(atomically): it lists each temporary file, the day file it becomes and that day's new index
entry, for an append the digest that recognises a retry of it, and the old day files that the
new ones replace under other names (``removes``: an upgrade to another day-file format). Then
the writer renames the days into place, removes the files they replace, writes the index, and
removes the journal.

- Before the journal is in place nothing has changed: readers ignore temporary files, and the
  next writer removes them (roll back).
- Once it is in place the write has happened: a reader that finds a journal waits for the
  writer to finish (or, when the writer died, reads each listed day from whichever of its two
  files holds the listed version, never from a file the journal replaces), and the next writer
  completes the renames, the removals and the index (roll forward) before doing anything else.

A retried append is recognised by its digest: SHA-256 of the data's metadata and records as
written. The index remembers the digests of the last APPENDS_KEPT appends and the days each
wrote; an append whose digest is among them has already happened (its first try was committed
before the writer died) and writes nothing again.
"""

from __future__ import annotations

import hashlib
import json
import os
import signal
from dataclasses import dataclass
from typing import Any

from .._lib import Metadata
from ._index import day_of_name
from ._storage import LocalStorage, is_own_temporary

JOURNAL_NAME = "_journal.json"
JOURNAL_FORMAT = 1
# The format of a journal that also removes files ("removes"): a reader of JOURNAL_FORMAT alone
# would roll it forward and keep both files of a day, so it refuses this one instead.
JOURNAL_FORMAT_REMOVES = 2
# The environment variable naming a moment of a write at which the writing process is killed:
# "staged", "committed", "renamed" (after the first day is put in place) or "indexed". Tests
# use it to stop a writer where they choose.
KILL_AT = "ORX_CATALOG_KILL_AT"


# The environment variable naming a moment at which a writer stops until told to go on: it
# writes the moment's name on a line of its standard output and waits for a line on its
# standard input. Tests use it to make two writers meet where they choose.
PAUSE_AT = "ORX_CATALOG_PAUSE_AT"


def kill_point(moment: str) -> None:
    if os.environ.get(KILL_AT) == moment:
        os.kill(os.getpid(), signal.SIGKILL)


def pause_point(moment: str) -> None:
    if os.environ.get(PAUSE_AT) == moment:
        import sys

        print(moment, flush=True)
        sys.stdin.readline()


def digest(metadata: Metadata, records: Any) -> str:
    try:
        head = metadata.encode()
    except OSError:  # a symbol map larger than a stream's metadata carries: the day file's form
        from ._day_format import encode_head

        head = b"day-file head" + encode_head(metadata)
    h = hashlib.sha256(head)
    h.update(memoryview(records).cast("B") if len(records) else b"")
    return h.hexdigest()


@dataclass(frozen=True)
class Journal:
    items: list[tuple[str, str, dict[str, Any]]]  # temporary name, day file name, entry
    append: str | None  # the digest of the append, None for a replacement
    removes: tuple[str, ...] = ()  # day files the new ones replace under other names


def dump(journal: Journal) -> bytes:
    doc: dict[str, Any] = {"format": JOURNAL_FORMAT_REMOVES if journal.removes
                           else JOURNAL_FORMAT,
                           "items": [list(i) for i in journal.items], "append": journal.append}
    if journal.removes:
        doc["removes"] = list(journal.removes)
    return json.dumps(doc, separators=(",", ":")).encode()


def read(storage: LocalStorage, directory: str) -> Journal | None:
    """The committed journal of `directory`, None when there is none; ValueError naming it when
    it is not a journal this catalog wrote."""
    rel = f"{directory}/{JOURNAL_NAME}"
    try:
        data = storage.read_bytes(rel)
    except OSError as exc:
        raise ValueError(str(exc)) from None
    if data is None:
        return None
    bad = ValueError(f"{storage.path(rel)} is not a journal of an orx catalog; remove it to "
                     f"undo the write it stands for")
    try:
        doc = json.loads(data)
    except (ValueError, RecursionError, MemoryError):
        raise bad from None
    if type(doc) is not dict or doc.get("format") not in (JOURNAL_FORMAT, JOURNAL_FORMAT_REMOVES) \
            or type(doc.get("items")) is not list \
            or not (doc.get("append") is None or type(doc.get("append")) is str):
        raise bad
    removes = doc.get("removes", []) if doc["format"] == JOURNAL_FORMAT_REMOVES else []
    if type(removes) is not list or not all(
            type(n) is str and "/" not in n and day_of_name(n) is not None for n in removes):
        raise bad
    items = []
    for item in doc["items"]:
        if (type(item) is not list or len(item) != 3 or type(item[0]) is not str
                or not is_own_temporary(item[0]) or type(item[1]) is not str
                or "/" in item[1] or type(item[2]) is not dict):
            raise bad
        items.append((item[0], item[1], item[2]))
    finals = {final for _, final, _ in items}
    if any(n in finals for n in removes):
        raise bad
    return Journal(items, doc["append"], tuple(removes))
