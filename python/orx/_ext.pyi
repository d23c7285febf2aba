# Type stubs for orx._ext.
from collections.abc import Buffer
from typing import Any, TypeVar

from ._lib import BacktestData, BufferStore, LiveData

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
