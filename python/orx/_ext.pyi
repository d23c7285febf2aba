# Type stubs for orx._ext.
from collections.abc import Buffer, Callable, Sequence
from typing import Any, Literal, TypeVar, final

from ._lib import (
    BacktestData, BboMsg, BufferStore, LiveData, Mbp1Msg, Metadata, OhlcvMsg, TradeMsg
)

_T = TypeVar("_T")

def record_layout(rtype: int) -> tuple[int, list[tuple[str, int, int, bool, str]]]:
    """The layout size and the columns (name, offset, width, signed, role) of records of `rtype`."""

def decode_backtest(data: Buffer) -> BacktestData:
    """Decodes the bytes PyBacktestEncoder.encode_backtest wrote (any bytes-like object) into a
    BacktestData.

    Raises ValueError when the bytes are not exactly one encoded back-test: a length or count
    running past the end, a string that is not UTF-8, or bytes after the last signal. The message
    names the field and the byte offset, for example
    'trades[12].ticker: string of 300 bytes runs past the end at offset 5,012'.
    """

def backtest_columns(backtest: BacktestData, part: str) -> dict[str, bytearray | list[str]]:
    """The entries of one list of a BacktestData ('period_timeseries_stats',
    'daily_timeseries_stats', 'trades' or 'signals', whose instructions come one per row after
    their signal's timestamp) as {field: column}: a bytearray of native integers or a list of str.
    """

def live_columns(live: LiveData, part: str) -> dict[str, bytearray | list[str]]:
    """The entries of 'trades' or 'signals' of a LiveData as columns, as backtest_columns."""

def layout_bytes(obj: object) -> bytes:
    """The whole memory of a record, RecordHeader or BidAskPair object, padding included."""

def from_layout_bytes(cls: type[_T], data: bytes) -> _T:
    """A new object of the record, RecordHeader or BidAskPair class `cls` whose memory is `data`,
    which must be exactly its size."""

def extra_attributes(obj: object) -> dict[str, Any] | None:
    """A copy of the attributes set on `obj` beyond its class's own, or None when there are
    none."""

def store_bytes(store: BufferStore) -> bytes:
    """The stream a BufferStore was opened on, whatever its read position."""

# The streaming reader behind orx.open (a reader is an opaque capsule) and its batches, which
# travel as (bytes of whole records, count) and are checked again whenever they come back.

def reader_open(
    source: object, kind: Literal["path", "buffer", "file"], chunk_size: int, allow_truncated: bool
) -> object:
    """A reader over a stream from a path, a bytes-like object or a binary file object; the
    metadata block is read at once."""

def reader_metadata(reader: object) -> Metadata:
    """The reader's Metadata."""

def reader_next(reader: object) -> Mbp1Msg | TradeMsg | BboMsg | OhlcvMsg | None:
    """The next record object, or None."""

def reader_batch(
    reader: object, size: int, all_or_error: bool
) -> tuple[bytes, int, int, int] | None:
    """The next batch as (bytes, count, kinds, stride), or None at the end."""

def reader_frame(
    reader: object, metadata: Metadata, pretty_ts: bool, pretty_px: bool, datetimes: bool
) -> Any:
    """The DataFrame of every remaining record."""

def reader_offset(reader: object) -> int:
    """Stream offset of the next record."""

def reader_records(reader: object) -> int:
    """Whole records read so far."""

def reader_close(reader: object) -> None:
    """Drops the reader's source."""

def batch_frame(
    data: bytes,
    count: int,
    metadata: Metadata,
    pretty_ts: bool,
    pretty_px: bool,
    datetimes: bool,
    threads: int,
) -> Any:
    """The DataFrame of a batch's records, its columns filled on up to `threads` threads (0:
    the default)."""

def batch_compact(data: bytes, count: int) -> bytes:
    """The layout bytes of a batch's records, back to back."""

def arrow_schema(rtype: int, float_prices: bool) -> object:
    """The Arrow schema capsule of batches of records of `rtype`."""

def batch_arrow(
    data: bytes, count: int, rtype: int, metadata: Metadata, float_prices: bool
) -> tuple[object, object]:
    """The Arrow (schema, array) capsules of a batch of records of `rtype`."""

def arrow_stream(
    next: Callable[[], tuple[bytes, int] | None], rtype: int, metadata: Metadata, float_prices: bool
) -> object:
    """An Arrow stream capsule whose batches come from next() -> (bytes, count) or None."""

def pack_columns(
    rtype: int, count: int, columns: list[tuple[str, Buffer]], first_row: int
) -> bytes:
    """Stream bytes of `count` records of `rtype` from `columns`, (name, buffer) pairs; rows in
    errors count from `first_row`."""

def record_bytes(
    records: list[Mbp1Msg | TradeMsg | BboMsg | OhlcvMsg]
    | tuple[Mbp1Msg | TradeMsg | BboMsg | OhlcvMsg, ...]
) -> bytes:
    """Stream bytes of a list of record objects of any kind."""

def trade_bars(
    data: Buffer, rtype: int, stride: int, interval: int
) -> tuple[bytearray, ...]:
    """Bars of the trades among the records `data` in intervals of `interval` ns, as columns."""

def combine_bars(columns: Sequence[Buffer]) -> tuple[bytearray, ...]:
    """The bar tables of consecutive pieces of records (columns concatenated) as one table."""

def last_at(
    data: Buffer, rtype: int, stride: int, times: Buffer
) -> tuple[bytearray, bytearray, bytearray]:
    """For each sample time and instrument, the index of its last record at or before it."""

def zstd_decompress(data: bytes) -> bytes:
    """The content of zstd frames held in memory."""

def zstd_levels() -> tuple[int, int, int]:
    """The lowest, highest and default zstd compression levels."""

@final
class ZstdWriter:
    """Compresses bytes into zstd frames, piece by piece."""

    def __new__(cls, level: int) -> ZstdWriter: ...
    def compress(self, data: Buffer) -> bytes:
        """Compressed bytes of `data` (some may stay buffered)."""
    def finish(self) -> bytes:
        """The rest of the frame; the next compress() starts a new one."""

@final
class ReplacingFile:
    """A new content for the file at `path`, written piece by piece: commit() makes it the
    file's content at once (flushed to disk first), abandon() drops it."""

    def __new__(cls, path: str) -> ReplacingFile: ...
    def write(self, data: Buffer) -> None:
        """Appends the bytes of `data`."""
    def commit(self) -> None:
        """Flushes the new content to disk and puts it in place."""
    def abandon(self) -> None:
        """Drops the new content; the file stays as it was."""
    def written_path(self) -> str:
        """The file being written (the new file beside the target, or the target itself when it
        is written in place)."""

def temporary_name(target_name: str) -> str:
    """A new temporary name (no directory) for a file that will be named `target_name`:
    hidden, naming this process, unlike any other."""

def temporary_target(name: str) -> str | None:
    """The name a temporary file named `name` will become, or None when `name` is no
    temporary name of orx's."""

@final
class RecordMerger:
    """A merge by ts_event of `inputs` record streams, each sorted: push() gives an input's
    record bytes, finish() ends an input, pull() hands out what can be merged."""

    def __new__(cls, inputs: int) -> RecordMerger: ...
    def push(self, input: int, data: Buffer) -> None:
        """Appends record bytes of `input` (a last record cut short waits for the rest).
        ValueError when a record comes before the one ahead of it."""
    def finish(self, input: int) -> None:
        """No more bytes come for `input`."""
    def pull(self) -> tuple[bytes, int, int]:
        """(bytes, records, input): records merged while every unfinished input had one
        pending, and the input that needs bytes next (-1: all done)."""
    def count(self, input: int) -> int:
        """Records of `input` taken so far."""

def sort_records(data: Buffer) -> tuple[bytes, int]:
    """(sorted, used): the whole records at the front of `data` sorted by ts_event (equal ones
    keep their order), and the bytes they took (a last record cut short is left out)."""

def zstd_frames(data: bytes) -> list[tuple[int, int, bool, int]]:
    """Every frame of the zstd data `data` (bytes) as (offset, length, skippable, content
    bytes), the content measured by decompressing each frame in bounded memory."""

def zstd_decompress_exact(data: bytes, size: int) -> bytes:
    """The content of `data`, exactly one zstd frame, which must hold exactly `size` bytes; a
    frame holding more is refused as soon as it overflows."""

# Day files of the catalog (format 2) and the query executor.

def dayfile_encode(
    rtype: int, records: Buffer, cuts: list[int], level: int, threads: int
) -> list[bytes]:
    """The stored blocks of the runs records[cuts[i]:cuts[i+1]] of records of `rtype` (a
    bytes-like object of whole records), made on up to `threads` threads (0: the default)."""

def dayfile_decode(rtype: int, block: bytes, count: int) -> bytes:
    """The `count` records a stored block (bytes) holds."""

def crc32c(data: Buffer) -> int:
    """The CRC-32C of a bytes-like object."""

def query_run(
    rtype: int,
    days: Sequence[tuple[int, int, Sequence[tuple[Buffer, int, bool, int, int, int, int]]]],
    threads: int,
) -> tuple[bytes, list[list[int]]]:
    """The records of the blocks of `days`, [(start, end, [(data, coding, known, count, id,
    first, last), ...]), ...], each day's cut to start <= ts_event < end and merged by ts_event
    (equal times by instrument id, then block order), the days one after the other: (bytes,
    [[records taken of each block] of each day]). A block that fails raises ValueError(detail,
    day, block)."""

def query_threads() -> int:
    """The executor's default number of threads."""
