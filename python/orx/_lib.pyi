# Type stubs for orx._lib.
from collections.abc import Sequence
from typing import ClassVar, final

__all__: list[str]

# --- enumerations ------------------------------------------------------------------------------

@final
class Side:
    ASK: ClassVar[Side]
    BID: ClassVar[Side]
    NONE: ClassVar[Side]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> str: ...
    @classmethod
    def from_str(cls, value: str) -> Side: ...
    @classmethod
    def from_int(cls, value: int) -> Side: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Vendors:
    DATABENTO: ClassVar[Vendors]
    YFINANCE: ClassVar[Vendors]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> str: ...
    @classmethod
    def from_str(cls, value: object) -> Vendors: ...
    def to_json(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Stype:
    RAW: ClassVar[Stype]
    CONTINUOUS: ClassVar[Stype]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> str: ...
    @classmethod
    def from_str(cls, value: object) -> Stype: ...
    def to_json(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Dataset:
    FUTURES: ClassVar[Dataset]
    EQUITIES: ClassVar[Dataset]
    OPTION: ClassVar[Dataset]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> str: ...
    @classmethod
    def from_str(cls, value: object) -> Dataset: ...
    def to_json(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Action:
    MODIFY: ClassVar[Action]
    TRADE: ClassVar[Action]
    FILL: ClassVar[Action]
    CANCEL: ClassVar[Action]
    ADD: ClassVar[Action]
    CLEAR: ClassVar[Action]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> str: ...
    @classmethod
    def from_str(cls, value: str) -> Action: ...
    @classmethod
    def from_int(cls, value: int) -> Action: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Schema:
    MBP1: ClassVar[Schema]
    OHLCV1_S: ClassVar[Schema]
    OHLCV1_M: ClassVar[Schema]
    OHLCV1_H: ClassVar[Schema]
    OHLCV1_D: ClassVar[Schema]
    TRADES: ClassVar[Schema]
    TBBO: ClassVar[Schema]
    BBO1_S: ClassVar[Schema]
    BBO1_M: ClassVar[Schema]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> str: ...
    @classmethod
    def from_str(cls, value: object) -> Schema: ...
    def to_json(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class RType:
    MBP1: ClassVar[RType]
    OHLCV: ClassVar[RType]
    TRADES: ClassVar[RType]
    TBBO: ClassVar[RType]
    BBO: ClassVar[RType]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> str: ...
    @classmethod
    def from_str(cls, value: str) -> RType: ...
    @classmethod
    def from_int(cls, value: int) -> RType: ...
    @classmethod
    def from_schema(cls, value: Schema) -> RType: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

# --- records -----------------------------------------------------------------------------------

@final
class RecordHeader:
    """Constant data across all records."""
    length: int
    rtype: int
    instrument_id: int
    ts_event: int
    rollover_flag: int

@final
class BidAskPair:
    """Order book level e.g. MBP1 would contain the top level."""
    bid_px: int
    ask_px: int
    bid_sz: int
    ask_sz: int
    bid_ct: int
    ask_ct: int
    def __init__(self, bid_px: int, ask_px: int, bid_sz: int, ask_sz: int, bid_ct: int,
                 ask_ct: int) -> None: ...
    @property
    def pretty_bid_px(self) -> float: ...
    @property
    def pretty_ask_px(self) -> float: ...

@final
class Mbp1Msg:
    """Mbp1Msg struct"""
    hd: RecordHeader
    instrument_id: int
    price: int
    size: int
    action: int
    side: int
    depth: int
    flags: int
    ts_recv: int
    ts_in_delta: int
    sequence: int
    discriminator: int
    levels: list[BidAskPair]
    def __init__(self, instrument_id: int, ts_event: int, rollover_flag: int, price: int,
                 size: int, action: Action, side: Side, flags: int, depth: int, ts_recv: int,
                 ts_in_delta: int, sequence: int, discriminator: int,
                 levels: Sequence[BidAskPair]) -> None: ...
    @property
    def ts_event(self) -> int: ...
    @property
    def rollover_flag(self) -> int: ...
    @property
    def rtype(self) -> RType: ...
    @property
    def pretty_price(self) -> float: ...
    @property
    def pretty_action(self) -> Action: ...
    @property
    def pretty_side(self) -> Side: ...
    def __dict__(self) -> dict[str, int]: ...  # type: ignore[override]

@final
class TradeMsg:
    hd: RecordHeader
    instrument_id: int
    price: int
    size: int
    action: int
    side: int
    depth: int
    flags: int
    ts_recv: int
    ts_in_delta: int
    sequence: int
    def __init__(self, instrument_id: int, ts_event: int, rollover_flag: int, price: int,
                 size: int, action: Action, side: Side, flags: int, depth: int, ts_recv: int,
                 ts_in_delta: int, sequence: int) -> None: ...
    @property
    def ts_event(self) -> int: ...
    @property
    def rollover_flag(self) -> int: ...
    @property
    def rtype(self) -> RType: ...
    @property
    def pretty_price(self) -> float: ...
    @property
    def pretty_action(self) -> Action: ...
    @property
    def pretty_side(self) -> Side: ...
    def __dict__(self) -> dict[str, int]: ...  # type: ignore[override]

@final
class BboMsg:
    hd: RecordHeader
    instrument_id: int
    ts_event: int
    price: int
    size: int
    side: int
    flags: int
    ts_recv: int
    sequence: int
    levels: list[BidAskPair]
    # Write-only: they set the same field of levels[0].
    bid_px: int
    ask_px: int
    bid_sz: int
    ask_sz: int
    bid_ct: int
    ask_ct: int
    def __init__(self, instrument_id: int, ts_event: int, rollover_flag: int, price: int,
                 size: int, side: Side, flags: int, ts_recv: int, sequence: int,
                 levels: Sequence[BidAskPair]) -> None: ...
    @property
    def rollover_flag(self) -> int: ...
    @property
    def rtype(self) -> RType: ...
    @property
    def pretty_price(self) -> float: ...
    @property
    def pretty_side(self) -> Side: ...
    def __dict__(self) -> dict[str, int]: ...  # type: ignore[override]

@final
class OhlcvMsg:
    """OhlcvMsg struct"""
    hd: RecordHeader
    instrument_id: int
    open: int
    high: int
    low: int
    close: int
    volume: int
    def __init__(self, instrument_id: int, ts_event: int, rollover_flag: int, open: int,
                 high: int, low: int, close: int, volume: int) -> None: ...
    @property
    def ts_event(self) -> int: ...
    @property
    def rollover_flag(self) -> int: ...
    @property
    def rtype(self) -> RType: ...
    @property
    def pretty_price(self) -> float: ...
    @property
    def pretty_open(self) -> float: ...
    @property
    def pretty_high(self) -> float: ...
    @property
    def pretty_low(self) -> float: ...
    @property
    def pretty_close(self) -> float: ...
    def __dict__(self) -> dict[str, int]: ...  # type: ignore[override]

@final
class RecordMsg:
    @staticmethod
    def is_record(obj: object) -> bool: ...
