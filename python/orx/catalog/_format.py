"""The day-file formats: what the rest of the catalog needs of a day file, behind one small
interface, and the table of the formats it knows (by the version number index entries carry).

A format is an object with:

- ``version`` (int): stored as ``"format"`` in every index entry of its files;
- ``max_block_records`` (int): the most records one block may hold; an index entry claiming
  more is refused before anything is read, which bounds what a read decompresses;
- ``owns(suffix)``: whether a day file named ``YYYY-MM-DD{suffix}`` is of this format;
- ``file_name(day, compression)``: the name of a new day file, and ``compression_of(name)``
  the compression an existing one is rewritten with;
- ``summarise(file, kind)``: the entry fields of a day file (everything but ``file`` and
  ``stat``), from its head or directory where the format has one, from its records otherwise;
- ``write_day(out, metadata, records, compression)``: writes a day (records in any order; the
  format groups them by instrument, each in ts_event order, stable) through ``out.write`` and
  returns its entry fields;
- ``check(entry, kind)``: what is wrong with an entry of its format (None when nothing), beyond
  the checks every entry passes;
- ``read(file, part)``: the metadata of the file and the records of a planned part (its
  selected blocks, or the whole file), those in ``[part.start, part.end)`` of ``part.ids``,
  ordered by ts_event, equal times by instrument id, then as written. A block that does not
  hold what the entry says (count, instrument, times, size) is an error naming the file and the
  block, as is a file whose record count is not the entry's;
- ``inputs(file, part)``: what ``read`` reads, left for the executor (``_execute``) to decode
  and merge, so that one call of the core does the work of many parts: the metadata, the
  executor's inputs (a block's bytes, its coding and what its entry says of it) and the index
  blocks they come from (for errors);
- ``ranges(part)``: the (offset, length) byte ranges ``read`` takes of the file for `part`, or
  None when it reads the file whole. An object store fetches exactly these (coalesced, in
  parallel) before ``read`` runs, so that ``read`` finds them in memory.

``file`` is a ``_storage.ReadFile`` (``read(offset, length)``, ``read_all()``, ``stat``,
``where``); records are numpy arrays of opaque items of the kind's size (see ``_records``).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from .._lib import Metadata
    from ._index import Entry
    from ._plan import Part
    from ._storage import ReadFile


class DayFormat(Protocol):
    version: int
    max_block_records: int

    def owns(self, suffix: str) -> bool: ...

    def file_name(self, day: str, compression: str | None) -> str: ...

    def compression_of(self, name: str) -> str | None: ...

    def summarise(self, file: ReadFile, kind: int) -> dict[str, Any]: ...

    def write_day(self, out: Any, metadata: Metadata, records: Any,
                  compression: str | None) -> dict[str, Any]: ...

    def check(self, entry: Entry, kind: int) -> str | None: ...

    def read(self, file: ReadFile, part: Part) -> tuple[Metadata, Any]: ...

    def inputs(self, file: ReadFile, part: Part) -> tuple[Metadata, list[tuple[Any, ...]],
                                                          list[Any]]: ...

    def ranges(self, part: Part) -> list[tuple[int, int]] | None: ...


FORMATS: dict[int, DayFormat] = {}
# The version new days are written in.
WRITE_VERSION = 2
# The format of plain streams, which is also how a stream file outside a catalog is read.
STREAM_VERSION = 1


def stored_ranges(part: Part) -> list[tuple[int, int]] | None:
    """The byte ranges a part of a day file with a head and blocks needs: the head, then its
    blocks; None for a part read whole."""
    if part.blocks is not None and part.head is not None:
        return [part.head] + [(b[4], b[5]) for b in part.blocks]
    return None


def register(fmt: DayFormat) -> None:
    FORMATS[fmt.version] = fmt


def writing() -> DayFormat:
    return FORMATS[WRITE_VERSION]


def of_suffix(suffix: str) -> DayFormat | None:
    """The format of a day file named ``YYYY-MM-DD{suffix}``, None for a file of no format."""
    for fmt in FORMATS.values():
        if fmt.owns(suffix):
            return fmt
    return None


def get(version: int, where: str) -> DayFormat:
    fmt = FORMATS.get(version)
    if fmt is None:
        raise ValueError(f"{where}: day-file format {version} is unknown to this version of orx")
    return fmt
