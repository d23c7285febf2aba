"""What the package knows of the bytes it reads, said once: the record kinds (their classes,
sizes and columns, from the core's one description of each layout), the record kind of each
schema, and the first bytes that tell the file formats apart. Every module that needs one of
these imports it from here.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import _ext
from ._lib import BboMsg, Mbp1Msg, OhlcvMsg, RType, Schema, TradeMsg


@dataclass(frozen=True)
class Kind:
    """One record kind with a layout: its rtype byte, its class, its size in bytes and its
    columns as ``(name, offset, width, signed, role)`` in the record's key order."""

    rtype: int
    name: str
    cls: type
    size: int
    columns: tuple[tuple[str, int, int, bool, str], ...]

    @property
    def rtype_member(self) -> RType:
        return RType.from_int(self.rtype)


def _kind(cls: type, rtype: RType) -> Kind:
    size, columns = _ext.record_layout(int(rtype))
    return Kind(int(rtype), cls.__name__, cls, size, tuple(columns))


# Kinds by rtype byte, in rtype order.
KINDS: dict[int, Kind] = {
    k.rtype: k
    for k in (
        _kind(Mbp1Msg, RType.MBP1),
        _kind(OhlcvMsg, RType.OHLCV),
        _kind(TradeMsg, RType.TRADES),
        _kind(BboMsg, RType.BBO),
    )
}

# The schemas whose records have a layout, in code order, and the kind of each (by code).
SCHEMAS: tuple[Schema, ...] = (
    Schema.MBP1,
    Schema.OHLCV1_S,
    Schema.OHLCV1_M,
    Schema.OHLCV1_H,
    Schema.OHLCV1_D,
    Schema.TRADES,
    Schema.TBBO,
    Schema.BBO1_S,
    Schema.BBO1_M,
)
SCHEMA_KINDS: dict[int, int] = {
    int(s): int(RType.from_schema(s))
    for s in SCHEMAS
    if int(RType.from_schema(s)) in KINDS
}


def kind_name(rtype: int) -> str:
    """The class name of records of `rtype`, or ``rtype N`` for a kind without a layout."""
    k = KINDS.get(rtype)
    return k.name if k is not None else f"rtype {rtype}"


def kind_of_schema(schema: Schema) -> Kind | None:
    """The kind of the records of `schema`; None for a schema without a record layout."""
    rtype = SCHEMA_KINDS.get(int(schema))
    return KINDS[rtype] if rtype is not None else None


_INT_FORMATS = {1: "u1", 2: "<u2", 4: "<u4", 8: "<u8"}


_DTYPES: dict[int, np.dtype] = {}


def record_dtype(rtype: int) -> np.dtype:
    """The numpy structured dtype of records of `rtype`: every column at its offset, integers
    of their width and sign, action and side as ``S1``, the layout size as ``itemsize``."""
    known = _DTYPES.get(rtype)
    if known is not None:
        return known
    size, columns = _ext.record_layout(rtype)
    formats = []
    for _name, _offset, width, signed, role in columns:
        fmt = "S1" if role == "letter" else _INT_FORMATS[width]
        formats.append(fmt.replace("u", "i") if signed and role != "letter" else fmt)
    dtype = np.dtype({"names": [c[0] for c in columns], "formats": formats,
                      "offsets": [c[1] for c in columns], "itemsize": size})
    _DTYPES[rtype] = dtype
    return dtype


# --- first bytes of the file formats ---------------------------------------------------------

ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
# A skippable zstd frame starts with a magic number from 0x184D2A50 to 0x184D2A5F (little-endian).
SKIPPABLE_MAGIC_LOW = 0x184D2A50


def is_zstd(head: bytes) -> bool:
    """Whether `head` (the first four bytes or more) starts a zstd frame, skippable included."""
    if len(head) < 4:
        return False
    if head[:4] == ZSTD_MAGIC:
        return True
    return int.from_bytes(head[:4], "little") & ~0xF == SKIPPABLE_MAGIC_LOW


PARQUET_MAGIC = b"PAR1"
# A catalog's day file of format 2 (blocks stored column by column) starts with this.
DAY_FILE_MAGIC = b"\x93ORXDAY\n"
# A catalog directory's index (see orx.catalog._index) starts with these bytes.
INDEX_MAGIC = b"ORXINDEX"
# The key under which Parquet and Arrow data written by orx carry the stream's metadata (hex).
METADATA_KEY = b"orx.metadata"
# CSV written by orx keeps the stream's metadata in a file beside it: NAME.csv -> NAME.csv
# + CSV_SIDECAR (JSON: the metadata's bytes in hex and the size of the CSV written with it).
CSV_SIDECAR = ".orx-meta"
# Older CSV files carry the metadata (hex) on a first line of their own, after this mark.
CSV_METADATA_LINE = "#orx.metadata="


# --- what other files look like ---------------------------------------------------------------

# The leading bytes of files people take for a stream by mistake, and what to call them.
_SIGNATURES = (
    (PARQUET_MAGIC, "a Parquet file"),
    (b"\x89PNG\r\n\x1a\n", "a PNG image"),
    (b"\xff\xd8\xff", "a JPEG image"),
    (b"GIF87a", "a GIF image"),
    (b"GIF89a", "a GIF image"),
    (b"II*\x00", "a TIFF image"),
    (b"MM\x00*", "a TIFF image"),
    (b"%PDF-", "a PDF document"),
    (b"PK\x03\x04", "a ZIP archive"),
    (b"\x1f\x8b", "gzip-compressed data"),
    (b"BZh", "bzip2-compressed data"),
    (b"\xfd7zXZ\x00", "xz-compressed data"),
    (b"ARROW1", "an Arrow IPC file"),
)
# Enough leading bytes for looks_like.
LOOK_SIZE = 512


def looks_like(head: bytes) -> str | None:
    """What a file that is not a record stream looks like from its first bytes (`LOOK_SIZE`
    of them, or all it has): "a PNG image", "a Parquet file", "CSV text", "zstd-compressed
    data"...; None when they look like nothing in particular."""
    for magic, what in _SIGNATURES:
        if head.startswith(magic):
            return what
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "a WebP image"
    if is_zstd(head):
        return "zstd-compressed data"
    # Text: a first line of UTF-8 (a character may be cut at the end of `head`), printable
    # apart from tabs; what follows may hold any character a field can.
    line = head.split(b"\n", 1)[0].removesuffix(b"\r")
    for cut in range(4 if len(line) == len(head) else 1):
        try:
            first = line[: len(line) - cut].decode("utf-8")
            break
        except UnicodeDecodeError:
            continue
    else:
        return None
    if not first or not all(c.isprintable() or c == "\t" for c in first):
        return None
    return "CSV text" if "," in first or first.startswith(CSV_METADATA_LINE) else "text"
