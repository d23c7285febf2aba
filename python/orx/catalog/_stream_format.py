"""Day-file format 1: a day is an ordinary stream (``orx.open`` reads it), raw (``.orx``) or
zstd-compressed (``.orx.zst``).

Written by the catalog, its records are grouped by instrument (ascending id), each instrument's
in ts_event order, in blocks of at most BLOCK_RECORDS records of one instrument; compressed, the
metadata and every block are zstd frames of their own, so that a read takes only the blocks of
the instruments and times it asks for. Any other stream is a day file of this format too: one
zstd frame holding everything, many frames, skippable frames anywhere, raw, records in any
order. Its summary finds the blocks where the file has them (frames, or runs of one
instrument's records in a raw file) and otherwise leaves the file to be read whole.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .. import _ext
from .._kinds import is_zstd
from .._lib import Metadata
from ._index import describe
from ._execute import RAW, ZSTD
from ._format import stored_ranges
from ._records import by_instrument, concat, numpy, records, size_of, ts_ids

if TYPE_CHECKING:
    from ._index import Entry
    from ._plan import Part
    from ._storage import ReadFile

# Records of one instrument in one block (a zstd frame when compressed).
BLOCK_RECORDS = 1 << 16
# The longest metadata a stream can carry: its 2-byte length and the body.
_MAX_HEAD = 2 + 0xFFFF


def _zstd_level() -> int:
    return _ext.zstd_levels()[2]


def _runs(ids: Any, limit: int) -> list[int]:
    """Record indexes that cut records grouped by instrument into runs of one instrument of at
    most `limit` records, from 0 to len(ids)."""
    np = numpy()
    cuts = [0]
    if not len(ids):
        return cuts
    bounds = [0, *(np.flatnonzero(ids[1:] != ids[:-1]) + 1).tolist(), len(ids)]
    for a, b in zip(bounds, bounds[1:]):
        cuts += list(range(a + limit, b, limit)) + [b]
    return cuts


def _grouped(ids: Any) -> bool:
    """Whether each instrument's records follow each other."""
    np = numpy()
    if len(ids) < 2:
        return True
    starts = ids[np.concatenate([[True], ids[1:] != ids[:-1]])]
    return len(np.unique(starts)) == len(starts)


class StreamFormat:
    version = 1
    max_block_records = BLOCK_RECORDS

    def owns(self, suffix: str) -> bool:
        return suffix in (".orx", ".orx.zst")

    def file_name(self, day: str, compression: str | None) -> str:
        return day + (".orx.zst" if compression == "zstd" else ".orx")

    def compression_of(self, name: str) -> str | None:
        return "zstd" if name.endswith(".zst") else None

    # -- writing ------------------------------------------------------------------------------

    def write_day(self, out: Any, metadata: Metadata, recs: Any,
                  compression: str | None) -> dict[str, Any]:
        arr = by_instrument(recs)
        ts, ids = ts_ids(arr)
        cuts = _runs(ids, BLOCK_RECORDS)
        head = metadata.encode()
        blocks = []
        if compression == "zstd":
            z = _ext.ZstdWriter(_zstd_level())
            frame = z.compress(head) + z.finish()
            out.write(frame)
            pos, head_span = len(frame), [0, len(frame)]
            for a, b in zip(cuts, cuts[1:]):
                frame = z.compress(arr[a:b]) + z.finish()
                out.write(frame)
                blocks.append([int(ids[a]), b - a, int(ts[a]), int(ts[b - 1]), pos, len(frame)])
                pos += len(frame)
        else:
            out.write(head)
            if len(arr):
                out.write(memoryview(numpy().ascontiguousarray(arr)).cast("B"))
            size = arr.dtype.itemsize
            head_span = [0, len(head)]
            blocks = [[int(ids[a]), b - a, int(ts[a]), int(ts[b - 1]), len(head) + a * size,
                       (b - a) * size] for a, b in zip(cuts, cuts[1:])]
        entry = describe(ts, ids, metadata.mappings.map)
        entry.update(format=self.version, head=head_span, blocks=blocks)
        return entry

    # -- summarising --------------------------------------------------------------------------

    def summarise(self, file: ReadFile, kind: int) -> dict[str, Any]:
        np = numpy()
        data = file.read_all()
        size = size_of(kind)
        tss, idss = [], []
        with _open(data, file.where) as reader:
            meta = reader.metadata
            head_len = reader.offset
            try:
                for batch in reader.batches():
                    t, i = ts_ids(records(bytes(batch), kind, "records"))
                    tss.append(t.copy())
                    idss.append(i.copy())
            except (ValueError, OSError) as exc:
                raise ValueError(f"{file.where}: {exc}") from None
        ts = np.concatenate(tss) if tss else np.empty(0, np.uint64)
        ids = np.concatenate(idss) if idss else np.empty(0, np.uint32)
        entry = describe(ts, ids, meta.mappings.map)
        spans = self._frame_spans(data, head_len, size, len(ts), file.where) \
            if is_zstd(data[:4]) else self._raw_spans(head_len, ids, size)
        head: list[int] | None = None
        blocks: list[list[int]] | None = None
        if spans is not None:
            head, cuts = spans
            blocks = []
            for a, b, off, length in cuts:
                block_ids = ids[a:b]
                if (block_ids != block_ids[0]).any():
                    blocks = None
                    break
                t = ts[a:b]
                blocks.append([int(block_ids[0]), b - a, int(t.min()), int(t.max()), off, length])
        entry.update(format=self.version, head=head if blocks is not None else None,
                     blocks=blocks)
        return entry

    @staticmethod
    def _raw_spans(head_len: int, ids: Any, size: int):
        if not _grouped(ids):
            return None
        cuts = _runs(ids, BLOCK_RECORDS)
        return [0, head_len], [(a, b, head_len + a * size, (b - a) * size)
                               for a, b in zip(cuts, cuts[1:])]

    @staticmethod
    def _frame_spans(data: bytes, head_len: int, size: int, count: int, where: str):
        """The metadata's frame and (first record, end record, offset, length) of every other
        data frame, when frames fall on those boundaries and hold at most BLOCK_RECORDS
        records; None otherwise."""
        try:
            frames = _ext.zstd_frames(data)
        except ValueError as exc:
            raise ValueError(f"{where}: {exc}") from None
        out: list[tuple[int, int, int, int]] = []
        head = None
        at = 0  # decompressed bytes before the frame
        for off, length, skippable, content in frames:
            if skippable or not content:
                continue
            if head is None:
                if content != head_len:
                    return None
                head = [off, length]
            else:
                rel = at - head_len
                if rel % size or content % size or content // size > BLOCK_RECORDS:
                    return None
                out.append((rel // size, (rel + content) // size, off, length))
            at += content
        if head is None or at != head_len + count * size:
            return None
        return head, out

    # -- checking and reading -----------------------------------------------------------------

    def check(self, entry: Entry, kind: int) -> str | None:
        # The metadata is at most _MAX_HEAD bytes, a little more as a zstd frame.
        if entry.head is not None and entry.head[1] > _MAX_HEAD + 1024:
            return f"head of {entry.head[1]} bytes is longer than any metadata"
        return None

    def ranges(self, part: Part) -> list[tuple[int, int]] | None:
        return stored_ranges(part)

    def inputs(self, file: ReadFile, part: Part) -> tuple[Metadata, list[tuple[Any, ...]],
                                                          list[Any]]:
        """The metadata, the executor's inputs and the index blocks they come from, of
        `part`: its blocks as they are stored, or the whole file's records of `part.ids`."""
        if part.blocks is not None and part.head is not None:
            meta, zst = self._read_head(file, part)
            coding = ZSTD if zst else RAW
            blocks = list(part.blocks)
            return meta, [(file.read(b[4], b[5]), coding, True, b[1], b[0], b[2], b[3])
                          for b in blocks], blocks
        meta, arr = self._read_whole(file, part)
        if part.ids is not None:
            _, ids = ts_ids(arr)
            np = numpy()
            arr = arr[np.isin(ids, np.asarray(part.ids, dtype=np.uint32))]
        data = memoryview(numpy().ascontiguousarray(arr)).cast("B").toreadonly()
        return meta, [(data, RAW, False, 0, 0, 0, 0)], []

    def read(self, file: ReadFile, part: Part) -> tuple[Metadata, Any]:
        from ._execute import run

        meta, inputs, blocks = self.inputs(file, part)
        return meta, run(part.kind, [(part.start, part.end, inputs)], [(file.where, blocks)])

    def _read_head(self, file: ReadFile, part: Part) -> tuple[Metadata, bool]:
        assert part.head is not None
        data = file.read(*part.head)
        zst = is_zstd(data[:4])
        if zst:
            try:
                frames = _ext.zstd_frames(data)
                if len(frames) != 1 or frames[0][2] or frames[0][3] > _MAX_HEAD:
                    raise ValueError("not one frame of metadata")
                data = _ext.zstd_decompress_exact(data, frames[0][3])
            except ValueError as exc:
                raise ValueError(f"{file.where}: the metadata at byte {part.head[0]} does not "
                                 f"read as its index entry says: {exc}") from None
        try:
            return Metadata.decode(data), zst
        except (ValueError, OSError) as exc:
            raise ValueError(f"{file.where}: the metadata at byte {part.head[0]} does not read "
                             f"as its index entry says: {exc}") from None

    def _read_whole(self, file: ReadFile, part: Part) -> tuple[Metadata, Any]:
        data = file.read_all()
        out, total = [], 0
        with _open(data, file.where) as reader:
            meta = reader.metadata
            try:
                for batch in reader.batches():
                    total += len(batch)
                    if part.count is not None and total > part.count:
                        raise ValueError(f"holds more than the {part.count} records its index "
                                         f"entry says")
                    out.append(records(bytes(batch), part.kind, "records"))
            except (ValueError, OSError) as exc:
                raise ValueError(f"{file.where}: {exc}") from None
        if part.count is not None and total != part.count:
            raise ValueError(f"{file.where}: holds {total} records, its index entry says "
                             f"{part.count}; the file was cut short or changed behind the "
                             f"catalog's back")
        return meta, concat(out, part.kind)


def _open(data: bytes, where: str):
    from .._reader import open as open_stream

    try:
        return open_stream(data)
    except (ValueError, OSError) as exc:
        raise ValueError(f"{where}: {exc}") from None
