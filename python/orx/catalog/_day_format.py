"""Day-file format 2 (``.orxday``): a day made for reading. Its records are grouped by
instrument (ascending id), each instrument's in ts_event order, in blocks of at most
BLOCK_RECORDS records of one instrument, each block stored column by column and compressed
(the core's ``dayfile`` unit), with its checksum. The file describes itself: a header (magic,
version, record kind), the metadata with the whole symbol map (any number of instruments), the
blocks, then a directory of the blocks and a trailer that says where the directory lies, so a
file reads without its index entry; the entry caches the directory. The byte layout is in
design.md ("Day files of format 2").
"""

from __future__ import annotations

import io
import struct
from typing import TYPE_CHECKING, Any

from .. import _ext
from .._kinds import DAY_FILE_MAGIC
from .._lib import Metadata, SymbolMap
from . import _stream_format
from ._execute import COLUMNS
from ._format import stored_ranges
from ._index import describe
from ._records import by_instrument, kind_of, numpy, ts_ids

if TYPE_CHECKING:
    from ._index import Entry
    from ._plan import Part
    from ._storage import ReadFile

VERSION = 2
SUFFIX = ".orxday"
# Records of one instrument in one block: as many as in a block of format 1.
BLOCK_RECORDS = _stream_format.BLOCK_RECORDS

_HEADER = struct.Struct("<8sHHI")  # magic, version, rtype, reserved (0)
_TRAILER = struct.Struct("<QQQI4s")  # head length, directory offset and length, crc, mark
_TRAILER_MARK = b"ORXD"
_DIR_ENTRY = struct.Struct("<IIQQQII")  # id, records, first ts, last ts, offset, length, 0
_SYMBOL = struct.Struct("<IH")
# The head (metadata and symbol map) is at most this long compressed; bounds a read.
_MAX_HEAD = 1 << 30
# Past every ts_event.
_END = (1 << 64) - 1


def _level() -> int:
    return _ext.zstd_levels()[2]


def _checked(data: bytes) -> bytes:
    return data + struct.pack("<I", _ext.crc32c(data))


def _unchecked(data: bytes, what: str) -> bytes:
    if len(data) < 4 or struct.unpack_from("<I", data, len(data) - 4)[0] != \
            _ext.crc32c(memoryview(data)[:-4]):
        raise ValueError(f"{what}: its checksum does not match its bytes")
    return data[:-4]


def encode_head(metadata: Metadata) -> bytes:
    """The stored head of a day: the metadata without its symbol map, then the map."""
    bare = Metadata(metadata.schema, metadata.dataset, metadata.start, metadata.end,
                    SymbolMap({}))
    meta = bare.encode()
    parts = [struct.pack("<I", len(meta)), meta]
    symbols = sorted(metadata.mappings.map.items())
    parts.append(struct.pack("<I", len(symbols)))
    for i, t in symbols:
        raw = t.encode()
        parts.append(_SYMBOL.pack(i, len(raw)))
        parts.append(raw)
    z = _ext.ZstdWriter(_level())
    return _checked(z.compress(b"".join(parts)) + z.finish())


def decode_head(data: bytes, where: str) -> Metadata:
    what = f"{where}: the head of the day file"
    body = _unchecked(data, what)
    try:
        frames = _ext.zstd_frames(body)
        if len(frames) != 1 or frames[0][2]:
            raise ValueError("it is not one zstd frame")
        raw = _ext.zstd_decompress_exact(body, frames[0][3])
        (n,) = struct.unpack_from("<I", raw, 0)
        meta = Metadata.decode(raw[4:4 + n])
        at = 4 + n
        (count,) = struct.unpack_from("<I", raw, at)
        at += 4
        tickers = {}
        for _ in range(count):
            i, length = _SYMBOL.unpack_from(raw, at)
            at += _SYMBOL.size
            if at + length > len(raw):
                raise ValueError("a ticker runs past its end")
            tickers[i] = raw[at:at + length].decode()
            at += length
        if at != len(raw):
            raise ValueError(f"{len(raw) - at} bytes follow its symbol map")
    except (ValueError, OSError, struct.error, UnicodeDecodeError) as exc:
        raise ValueError(f"{what} does not read: {exc}") from None
    return Metadata(meta.schema, meta.dataset, meta.start, meta.end, SymbolMap(tickers))


def is_day_file(head: bytes) -> bool:
    return head[:len(DAY_FILE_MAGIC)] == DAY_FILE_MAGIC


def directory(data: bytes, where: str) -> tuple[int, list[list[int]], tuple[int, int]]:
    """(rtype, blocks, head span) of a whole day file from its header, trailer and directory;
    blocks as index entries hold them: [id, records, first ts, last ts, offset, length]."""
    if len(data) < _HEADER.size + _TRAILER.size:
        raise ValueError(f"{where}: {len(data)} bytes are too short for a day file")
    magic, version, rtype, _ = _HEADER.unpack_from(data, 0)
    if magic != DAY_FILE_MAGIC:
        raise ValueError(f"{where}: not a day file (no day-file magic)")
    if version != VERSION:
        raise ValueError(f"{where}: day-file version {version} is unknown to this version of orx")
    tail = data[-_TRAILER.size:]
    head_len, dir_off, dir_len, crc, mark = _TRAILER.unpack(tail)
    if mark != _TRAILER_MARK or crc != _ext.crc32c(tail[:_TRAILER.size - 8]):
        raise ValueError(f"{where}: the trailer of the day file is damaged (the file may have "
                         f"been cut short)")
    end = len(data) - _TRAILER.size
    if _HEADER.size + head_len > dir_off or dir_off + dir_len != end or dir_len < 8:
        raise ValueError(f"{where}: the trailer of the day file points outside the file")
    body = _unchecked(data[dir_off:end], f"{where}: the directory of the day file")
    (n,) = struct.unpack_from("<I", body, 0)
    if 4 + n * _DIR_ENTRY.size != len(body):
        raise ValueError(f"{where}: the directory of the day file does not hold {n} blocks")
    blocks = []
    for k in range(n):
        i, count, first, last, off, length, _ = _DIR_ENTRY.unpack_from(body, 4 + k * _DIR_ENTRY.size)
        if off < _HEADER.size + head_len or off + length > dir_off or count > BLOCK_RECORDS:
            raise ValueError(f"{where}: block {k} of the directory lies outside the blocks")
        blocks.append([i, count, first, last, off, length])
    return rtype, blocks, (_HEADER.size, head_len)


def block_input(data: bytes, block: Any) -> tuple[Any, ...]:
    """The executor's input for a stored block with its entry (see _ext.query_run)."""
    return (data, COLUMNS, True, block[1], block[0], block[2], block[3])


class DayFileFormat:
    version = VERSION
    max_block_records = BLOCK_RECORDS

    def owns(self, suffix: str) -> bool:
        return suffix == SUFFIX

    def file_name(self, day: str, compression: str | None) -> str:
        return day + SUFFIX

    def compression_of(self, name: str) -> str | None:
        return "zstd"

    # -- writing ------------------------------------------------------------------------------

    def write_day(self, out: Any, metadata: Metadata, recs: Any,
                  compression: str | None) -> dict[str, Any]:
        np = numpy()
        arr = np.ascontiguousarray(by_instrument(recs))
        ts, ids = ts_ids(arr)
        kind = kind_of(metadata.schema)
        cuts = _stream_format._runs(ids, _stream_format.BLOCK_RECORDS)
        stored = _ext.dayfile_encode(kind, memoryview(arr).cast("B"), cuts, _level(), 0) \
            if len(arr) else []
        head = encode_head(metadata)
        out.write(_HEADER.pack(DAY_FILE_MAGIC, VERSION, kind, 0))
        out.write(head)
        pos = _HEADER.size + len(head)
        blocks = []
        for (a, b), data in zip(zip(cuts, cuts[1:]), stored):
            out.write(data)
            blocks.append([int(ids[a]), b - a, int(ts[a]), int(ts[b - 1]), pos, len(data)])
            pos += len(data)
        body = struct.pack("<I", len(blocks)) + b"".join(
            _DIR_ENTRY.pack(*b, 0) for b in blocks)
        listing = _checked(body)
        out.write(listing)
        tail = struct.pack("<QQQ", len(head), pos, len(listing))
        out.write(tail + struct.pack("<I", _ext.crc32c(tail)) + _TRAILER_MARK)
        entry = describe(ts, ids, metadata.mappings.map)
        entry.update(format=self.version, head=[_HEADER.size, len(head)], blocks=blocks)
        return entry

    # -- summarising --------------------------------------------------------------------------

    def summarise(self, file: ReadFile, kind: int) -> dict[str, Any]:
        data = file.read_all()
        rtype, blocks, head = directory(data, file.where)
        if rtype != kind:
            raise ValueError(f"{file.where}: holds records of rtype {rtype}, not {kind}")
        meta = decode_head(data[head[0]:head[0] + head[1]], file.where)
        arr = self._run(file.where, kind, [(0, _END, [
            block_input(data[b[4]:b[4] + b[5]], b) for b in blocks])], blocks)
        ts, ids = ts_ids(arr)
        entry = describe(ts, ids, meta.mappings.map)
        entry.update(format=self.version, head=list(head), blocks=blocks)
        return entry

    # -- checking and reading -----------------------------------------------------------------

    def check(self, entry: Entry, kind: int) -> str | None:
        if entry.blocks is None or entry.head is None:
            return "a day file of format 2 has a head and blocks"
        if entry.head[1] > _MAX_HEAD:
            return f"head of {entry.head[1]} bytes is longer than any head"
        return None

    def ranges(self, part: Part) -> list[tuple[int, int]] | None:
        return stored_ranges(part)

    def inputs(self, file: ReadFile, part: Part) -> tuple[Metadata, list[tuple[Any, ...]],
                                                          list[Any]]:
        """The metadata, the executor's inputs and the blocks they come from, of `part`."""
        if part.blocks is not None and part.head is not None:
            meta = decode_head(file.read(*part.head), file.where)
            chosen: list[Any] = list(part.blocks)
            return meta, [block_input(file.read(b[4], b[5]), b) for b in chosen], chosen
        data = file.read_all()
        rtype, blocks, head = directory(data, file.where)
        if rtype != part.kind:
            raise ValueError(f"{file.where}: holds records of rtype {rtype}, not {part.kind}")
        total = sum(b[1] for b in blocks)
        if part.count is not None and total != part.count:
            raise ValueError(f"{file.where}: holds {total} records, its index entry says "
                             f"{part.count}; the file was cut short or changed behind the "
                             f"catalog's back")
        meta = decode_head(data[head[0]:head[0] + head[1]], file.where)
        if part.ids is not None:
            wanted = set(part.ids)
            blocks = [b for b in blocks if b[0] in wanted]
        return meta, [block_input(data[b[4]:b[4] + b[5]], b) for b in blocks], blocks

    def read(self, file: ReadFile, part: Part) -> tuple[Metadata, Any]:
        meta, inputs, blocks = self.inputs(file, part)
        return meta, self._run(file.where, part.kind, [(part.start, part.end, inputs)], blocks)

    @staticmethod
    def _run(where: str, kind: int, days: list[Any], blocks: list[Any]) -> Any:
        from ._execute import run

        return run(kind, days, [(where, blocks)])


def decode_file(data: bytes, where: str) -> tuple[Metadata, Any]:
    """The metadata and every record of a whole day file, as it holds them (by instrument,
    each instrument's in ts_event order), for ``orx.open``."""
    from ._execute import run

    rtype, blocks, head = directory(data, where)
    meta = decode_head(data[head[0]:head[0] + head[1]], where)
    kind = kind_of(meta.schema)
    if kind != rtype:
        raise ValueError(f"{where}: holds records of rtype {rtype}, its metadata's schema is "
                         f"{meta.schema.value}")
    # one block a day: the executor puts days one after the other, in the order given
    arr = run(kind, [(0, _END, [block_input(data[b[4]:b[4] + b[5]], b)]) for b in blocks],
              [(where, [b]) for b in blocks])
    return meta, arr


class _DayStream(io.BytesIO):
    form = "a day file"


def day_file_stream(path: str) -> io.BytesIO:
    """The stream of the day file at `path` (its records as it holds them) as a binary file
    object, for ``orx.open``."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        meta, arr = decode_file(data, path)
        head = meta.encode()
    except OSError as exc:  # a symbol map too large for a stream's metadata
        raise ValueError(f"{path}: the day file's symbol map ({len(meta.mappings.map)} "
                         f"instruments) is too large for a stream's metadata: {exc}; query it "
                         f"through its catalog to numpy, Arrow or pandas instead") from None
    return _DayStream(head + arr.tobytes())
