# Type stubs for orx._lib.
from collections.abc import Sequence
from typing import Any, ClassVar, final

__all__ = [
    "Side",
    "Vendors",
    "Stype",
    "Dataset",
    "Action",
    "Schema",
    "RType",
    "SymbolMap",
    "Metadata",
    "RecordHeader",
    "OhlcvMsg",
    "Mbp1Msg",
    "TradeMsg",
    "BboMsg",
    "BidAskPair",
    "RetrieveParams",
    "BufferStore",
    "RecordMsg",
    "BacktestData",
    "BacktestMetaData",
    "StaticStats",
    "Parameters",
    "TimeseriesStats",
    "Trades",
    "Signals",
    "SignalInstructions",
    "LiveData",
    "AccountSummary",
    "PyRecordEncoder",
    "PyMetadataEncoder",
    "PyBacktestEncoder",
]

# --- enumerations ------------------------------------------------------------------------------

@final
class Side:
    """Side of an order or trade: ASK ('A'), BID ('B') or NONE ('N')."""
    ASK: ClassVar[Side]
    BID: ClassVar[Side]
    NONE: ClassVar[Side]
    @property
    def name(self) -> str:
        """The member's name, e.g. "ASK"."""
    @property
    def value(self) -> str:
        """The member's text value, e.g. "A" for Side.ASK or "mbp-1" for Schema.MBP1."""
    @classmethod
    def from_str(cls, value: str) -> Side:
        """The member whose value (or name) is `value`; ValueError for unknown text."""
    @classmethod
    def from_int(cls, value: int) -> Side:
        """The member whose number is `value`; ValueError for an unknown number."""
    def __int__(self) -> int:
        """The member's number."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member."""
    def __ne__(self, other: object, /) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Vendors:
    """Market-data vendor of a historical-data request."""
    DATABENTO: ClassVar[Vendors]
    YFINANCE: ClassVar[Vendors]
    @property
    def name(self) -> str:
        """The member's name, e.g. "ASK"."""
    @property
    def value(self) -> str:
        """The member's text value, e.g. "A" for Side.ASK or "mbp-1" for Schema.MBP1."""
    @classmethod
    def from_str(cls, value: object) -> Vendors:
        """The member whose value (or name) is `value`; ValueError for unknown text."""
    def to_json(self) -> str:
        """The member as its JSON variant name."""
    def __int__(self) -> int:
        """The member's number."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member."""
    def __ne__(self, other: object, /) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Stype:
    """Symbology of the symbols in a request: raw tickers or continuous contracts."""
    RAW: ClassVar[Stype]
    CONTINUOUS: ClassVar[Stype]
    @property
    def name(self) -> str:
        """The member's name, e.g. "ASK"."""
    @property
    def value(self) -> str:
        """The member's text value, e.g. "A" for Side.ASK or "mbp-1" for Schema.MBP1."""
    @classmethod
    def from_str(cls, value: object) -> Stype:
        """The member whose value (or name) is `value`; ValueError for unknown text."""
    def to_json(self) -> str:
        """The member as its JSON variant name."""
    def __int__(self) -> int:
        """The member's number."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member."""
    def __ne__(self, other: object, /) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Dataset:
    """Data set of a stream or request: futures, equities or options."""
    FUTURES: ClassVar[Dataset]
    EQUITIES: ClassVar[Dataset]
    OPTION: ClassVar[Dataset]
    @property
    def name(self) -> str:
        """The member's name, e.g. "ASK"."""
    @property
    def value(self) -> str:
        """The member's text value, e.g. "A" for Side.ASK or "mbp-1" for Schema.MBP1."""
    @classmethod
    def from_str(cls, value: object) -> Dataset:
        """The member whose value (or name) is `value`; ValueError for unknown text."""
    def to_json(self) -> str:
        """The member as its JSON variant name."""
    def __int__(self) -> int:
        """The member's number."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member."""
    def __ne__(self, other: object, /) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Action:
    """What a book update does: modify, trade, fill, cancel, add or clear."""
    MODIFY: ClassVar[Action]
    TRADE: ClassVar[Action]
    FILL: ClassVar[Action]
    CANCEL: ClassVar[Action]
    ADD: ClassVar[Action]
    CLEAR: ClassVar[Action]
    @property
    def name(self) -> str:
        """The member's name, e.g. "ASK"."""
    @property
    def value(self) -> str:
        """The member's text value, e.g. "A" for Side.ASK or "mbp-1" for Schema.MBP1."""
    @classmethod
    def from_str(cls, value: str) -> Action:
        """The member whose value (or name) is `value`; ValueError for unknown text."""
    @classmethod
    def from_int(cls, value: int) -> Action:
        """The member whose number is `value`; ValueError for an unknown number."""
    def __int__(self) -> int:
        """The member's number."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member."""
    def __ne__(self, other: object, /) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Schema:
    """Kind of records a stream holds: MBP-1, OHLCV bars of four intervals, trades, trades with
    quotes, BBO of two intervals.
    """
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
    def name(self) -> str:
        """The member's name, e.g. "ASK"."""
    @property
    def value(self) -> str:
        """The member's text value, e.g. "A" for Side.ASK or "mbp-1" for Schema.MBP1."""
    @classmethod
    def from_str(cls, value: object) -> Schema:
        """The member whose value (or name) is `value`; ValueError for unknown text."""
    def to_json(self) -> str:
        """The member as its JSON variant name."""
    def __int__(self) -> int:
        """The member's number."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member."""
    def __ne__(self, other: object, /) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class RType:
    """Record kind carried in every record header (rtype byte)."""
    MBP1: ClassVar[RType]
    OHLCV: ClassVar[RType]
    TRADES: ClassVar[RType]
    TBBO: ClassVar[RType]
    BBO: ClassVar[RType]
    @property
    def name(self) -> str:
        """The member's name, e.g. "ASK"."""
    @property
    def value(self) -> str:
        """The member's text value, e.g. "A" for Side.ASK or "mbp-1" for Schema.MBP1."""
    @classmethod
    def from_str(cls, value: str) -> RType:
        """The member whose value (or name) is `value`; ValueError for unknown text."""
    @classmethod
    def from_int(cls, value: int) -> RType:
        """The member whose number is `value`; ValueError for an unknown number."""
    @classmethod
    def from_schema(cls, value: Schema) -> RType:
        """The record kind that streams of `value` hold."""
    def __int__(self) -> int:
        """The member's number."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member."""
    def __ne__(self, other: object, /) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

# --- records -----------------------------------------------------------------------------------

@final
class RecordHeader:
    """The header every record starts with: length in 4-byte words, rtype, instrument id, event time
    (ns since the UNIX epoch) and rollover flag.
    """
    length: int
    rtype: int
    instrument_id: int
    ts_event: int
    rollover_flag: int

@final
class BidAskPair:
    """One book level: bid and ask price (fixed-point, 1e-9 units), size and order count."""
    bid_px: int
    ask_px: int
    bid_sz: int
    ask_sz: int
    bid_ct: int
    ask_ct: int
    def __new__(cls, bid_px: int, ask_px: int, bid_sz: int, ask_sz: int, bid_ct: int,
                 ask_ct: int) -> BidAskPair: ...
    @property
    def pretty_bid_px(self) -> float:
        """The bid price as a float (divided by 1e9)."""
    @property
    def pretty_ask_px(self) -> float:
        """The ask price as a float (divided by 1e9)."""

@final
class Mbp1Msg:
    """Market-by-price record with the top book level: an update of the book with the level after
    it. Encodes to 96 bytes.
    """
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
    def __new__(cls, instrument_id: int, ts_event: int, rollover_flag: int, price: int,
                 size: int, action: Action, side: Side, flags: int, depth: int, ts_recv: int,
                 ts_in_delta: int, sequence: int, discriminator: int,
                 levels: Sequence[BidAskPair]) -> Mbp1Msg: ...
    @property
    def ts_event(self) -> int:
        """Event time of the record, nanoseconds since the UNIX epoch."""
    @property
    def rollover_flag(self) -> int:
        """The header's rollover flag."""
    @property
    def rtype(self) -> RType:
        """The record's kind."""
    @property
    def pretty_price(self) -> float:
        """The price as a float (divided by 1e9)."""
    @property
    def pretty_action(self) -> Action:
        """The action byte as an Action member."""
    @property
    def pretty_side(self) -> Side:
        """The side byte as a Side member."""
    def __dict__(self) -> dict[str, int]:  # type: ignore[override]
        """The record's fields as a new dict, header fields first, the first book level flattened
        into the row.
        """

@final
class TradeMsg:
    """A trade. Encodes to 56 bytes."""
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
    def __new__(cls, instrument_id: int, ts_event: int, rollover_flag: int, price: int,
                 size: int, action: Action, side: Side, flags: int, depth: int, ts_recv: int,
                 ts_in_delta: int, sequence: int) -> TradeMsg: ...
    @property
    def ts_event(self) -> int:
        """Event time of the record, nanoseconds since the UNIX epoch."""
    @property
    def rollover_flag(self) -> int:
        """The header's rollover flag."""
    @property
    def rtype(self) -> RType:
        """The record's kind."""
    @property
    def pretty_price(self) -> float:
        """The price as a float (divided by 1e9)."""
    @property
    def pretty_action(self) -> Action:
        """The action byte as an Action member."""
    @property
    def pretty_side(self) -> Side:
        """The side byte as a Side member."""
    def __dict__(self) -> dict[str, int]:  # type: ignore[override]
        """The record's fields as a new dict, header fields first, the first book level flattened
        into the row.
        """

@final
class BboMsg:
    """Best bid and offer sampled at an interval, with the top book level. Encodes to 88 bytes."""
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
    def __new__(cls, instrument_id: int, ts_event: int, rollover_flag: int, price: int,
                 size: int, side: Side, flags: int, ts_recv: int, sequence: int,
                 levels: Sequence[BidAskPair]) -> BboMsg: ...
    @property
    def rollover_flag(self) -> int:
        """The header's rollover flag."""
    @property
    def rtype(self) -> RType:
        """The record's kind."""
    @property
    def pretty_price(self) -> float:
        """The price as a float (divided by 1e9)."""
    @property
    def pretty_side(self) -> Side:
        """The side byte as a Side member."""
    def __dict__(self) -> dict[str, int]:  # type: ignore[override]
        """The record's fields as a new dict, header fields first, the first book level flattened
        into the row.
        """

@final
class OhlcvMsg:
    """Open, high, low, close and volume bar. Encodes to 64 bytes."""
    hd: RecordHeader
    instrument_id: int
    open: int
    high: int
    low: int
    close: int
    volume: int
    def __new__(cls, instrument_id: int, ts_event: int, rollover_flag: int, open: int,
                 high: int, low: int, close: int, volume: int) -> OhlcvMsg: ...
    @property
    def ts_event(self) -> int:
        """Event time of the record, nanoseconds since the UNIX epoch."""
    @property
    def rollover_flag(self) -> int:
        """The header's rollover flag."""
    @property
    def rtype(self) -> RType:
        """The record's kind."""
    @property
    def pretty_price(self) -> float:
        """The price as a float (divided by 1e9)."""
    @property
    def pretty_open(self) -> float:
        """The open price as a float (divided by 1e9)."""
    @property
    def pretty_high(self) -> float:
        """The high price as a float (divided by 1e9)."""
    @property
    def pretty_low(self) -> float:
        """The low price as a float (divided by 1e9)."""
    @property
    def pretty_close(self) -> float:
        """The close price as a float (divided by 1e9)."""
    def __dict__(self) -> dict[str, int]:  # type: ignore[override]
        """The record's fields as a new dict, header fields first, the first book level flattened
        into the row.
        """

@final
class RecordMsg:
    """Marker class carrying the record-type test is_record()."""
    @staticmethod
    def is_record(obj: object) -> bool:
        """True when the type of `obj` is exactly Mbp1Msg, TradeMsg, OhlcvMsg or BboMsg."""

# --- back-test and live results ----------------------------------------------------------------
# Every numeric field is an int (i32, i64 or u16 as noted); reads return copies.


@final
class BacktestData:
    """A whole back-test result: its metadata, period and daily time series, trades and signals."""
    metadata: BacktestMetaData
    period_timeseries_stats: list[TimeseriesStats]
    daily_timeseries_stats: list[TimeseriesStats]
    trades: list[Trades]
    signals: list[Signals]
    def __new__(
        cls,
        metadata: BacktestMetaData,
        period_timeseries_stats: Sequence[TimeseriesStats],
        daily_timeseries_stats: Sequence[TimeseriesStats],
        trades: Sequence[Trades],
        signals: Sequence[Signals],
    ) -> BacktestData: ...
    def to_dict(self) -> dict[str, Any]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class BacktestMetaData:
    """Identity, parameters and summary statistics of a back-test."""
    backtest_id: int  # u16
    backtest_name: str
    parameters: Parameters
    static_stats: StaticStats
    def __new__(
        cls, backtest_id: int, backtest_name: str, parameters: Parameters, static_stats: StaticStats
    ) -> BacktestMetaData: ...
    def __dict__(self) -> dict[str, Any]:  # type: ignore[override]
        """The metadata as a new dict, nested values as dicts."""

@final
class Parameters:
    """Parameters a strategy ran with: name, capital, schema, data type, time range and tickers."""
    strategy_name: str
    capital: int
    schema: str
    data_type: str
    start: int
    end: int
    tickers: list[str]
    def __new__(
        cls,
        strategy_name: str,
        capital: int,
        schema: str,
        data_type: str,
        start: int,
        end: int,
        tickers: Sequence[str],
    ) -> Parameters: ...
    def to_dict(self) -> dict[str, Any]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class StaticStats:
    """Summary statistics of a back-test, fixed-point integers."""
    total_trades: int  # i32
    total_winning_trades: int  # i32
    total_losing_trades: int  # i32
    avg_profit: int
    avg_profit_percent: int
    avg_gain: int
    avg_gain_percent: int
    avg_loss: int
    avg_loss_percent: int
    profitability_ratio: int
    profit_factor: int
    profit_and_loss_ratio: int
    total_fees: int
    net_profit: int
    beginning_equity: int
    ending_equity: int
    total_return: int
    annualized_return: int
    daily_standard_deviation_percentage: int
    annual_standard_deviation_percentage: int
    max_drawdown_percentage_period: int
    max_drawdown_percentage_daily: int
    sharpe_ratio: int
    sortino_ratio: int
    def __new__(
        cls,
        total_trades: int,
        total_winning_trades: int,
        total_losing_trades: int,
        avg_profit: int,
        avg_profit_percent: int,
        avg_gain: int,
        avg_gain_percent: int,
        avg_loss: int,
        avg_loss_percent: int,
        profitability_ratio: int,
        profit_factor: int,
        profit_and_loss_ratio: int,
        total_fees: int,
        net_profit: int,
        beginning_equity: int,
        ending_equity: int,
        total_return: int,
        annualized_return: int,
        daily_standard_deviation_percentage: int,
        annual_standard_deviation_percentage: int,
        max_drawdown_percentage_period: int,
        max_drawdown_percentage_daily: int,
        sharpe_ratio: int,
        sortino_ratio: int,
    ) -> StaticStats: ...
    def to_dict(self) -> dict[str, int]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class TimeseriesStats:
    """One point of a back-test's equity time series."""
    timestamp: int
    equity_value: int
    percent_drawdown: int
    cumulative_return: int
    period_return: int
    def __new__(
        cls,
        timestamp: int,
        equity_value: int,
        percent_drawdown: int,
        cumulative_return: int,
        period_return: int,
    ) -> TimeseriesStats: ...
    def to_dict(self) -> dict[str, int]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class Trades:
    """One trade made by a strategy."""
    trade_id: int  # i32
    leg_id: int  # i32
    timestamp: int
    ticker: str
    quantity: int
    avg_price: int
    trade_value: int
    trade_cost: int
    action: str
    fees: int
    def __new__(
        cls,
        trade_id: int,
        leg_id: int,
        timestamp: int,
        ticker: str,
        quantity: int,
        avg_price: int,
        trade_value: int,
        trade_cost: int,
        action: str,
        fees: int,
    ) -> Trades: ...
    def to_dict(self) -> dict[str, int | str]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class Signals:
    """A strategy's signal at one time, with the instructions it issued."""
    timestamp: int
    trade_instructions: list[SignalInstructions]
    def __new__(
        cls, timestamp: int, trade_instructions: Sequence[SignalInstructions]
    ) -> Signals: ...
    def to_dict(self) -> dict[str, Any]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class SignalInstructions:
    """One order instruction of a signal."""
    ticker: str
    order_type: str
    action: str
    trade_id: int  # i32
    leg_id: int  # i32
    weight: int
    quantity: int  # i32
    limit_price: str
    aux_price: str
    def __new__(
        cls,
        ticker: str,
        order_type: str,
        action: str,
        trade_id: int,
        leg_id: int,
        weight: int,
        quantity: int,
        limit_price: str,
        aux_price: str,
    ) -> SignalInstructions: ...
    def to_dict(self) -> dict[str, int | str]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class LiveData:
    """Result of a live-trading session: parameters, trades, signals and the account summary."""
    live_id: int | None  # u16
    # Assigning None to these raises TypeError: a LiveData is always complete.
    parameters: Parameters
    trades: list[Trades]
    signals: list[Signals]
    account: AccountSummary
    def __new__(
        cls,
        live_id: int | None = None,
        parameters: Parameters | None = None,
        trades: Sequence[Trades] | None = None,
        signals: Sequence[Signals] | None = None,
        account: AccountSummary | None = None,
    ) -> LiveData: ...
    def to_dict(self) -> dict[str, Any]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class AccountSummary:
    """Account values at the start and the end of a live session."""
    currency: str
    start_timestamp: int
    start_buying_power: int
    start_excess_liquidity: int
    start_full_available_funds: int
    start_full_init_margin_req: int
    start_full_maint_margin_req: int
    start_futures_pnl: int
    start_net_liquidation: int
    start_total_cash_balance: int
    start_unrealized_pnl: int
    end_timestamp: int
    end_buying_power: int
    end_excess_liquidity: int
    end_full_available_funds: int
    end_full_init_margin_req: int
    end_full_maint_margin_req: int
    end_futures_pnl: int
    end_net_liquidation: int
    end_total_cash_balance: int
    end_unrealized_pnl: int
    def __new__(
        cls,
        currency: str,
        start_timestamp: int,
        start_buying_power: int,
        start_excess_liquidity: int,
        start_full_available_funds: int,
        start_full_init_margin_req: int,
        start_full_maint_margin_req: int,
        start_futures_pnl: int,
        start_net_liquidation: int,
        start_total_cash_balance: int,
        start_unrealized_pnl: int,
        end_timestamp: int,
        end_buying_power: int,
        end_excess_liquidity: int,
        end_full_available_funds: int,
        end_full_init_margin_req: int,
        end_full_maint_margin_req: int,
        end_futures_pnl: int,
        end_net_liquidation: int,
        end_total_cash_balance: int,
        end_unrealized_pnl: int,
    ) -> AccountSummary: ...
    def to_dict(self) -> dict[str, int | str]:
        """The value as a new dict, nested values as dicts and lists."""

@final
class PyBacktestEncoder:
    """Encodes a BacktestData to its binary form."""
    def __new__(cls) -> PyBacktestEncoder: ...
    def encode_backtest(self, backtest: BacktestData) -> bytes:
        """The binary encoding of `backtest`; OSError when a part does not fit."""

# --- retrieval requests ------------------------------------------------------------------------


@final
class RetrieveParams:
    """A historical-data request: symbols, time range, schema, dataset and symbology; travels as
    JSON.
    """
    # Reading symbols gives a new list; any sequence of str (not a str) may be assigned.
    @property
    def symbols(self) -> list[str]:
        """The requested symbols."""
    @symbols.setter
    def symbols(self, value: Sequence[str]) -> None: ...
    # Nanoseconds since the UNIX epoch, UTC (signed 64-bit).
    start_ts: int
    end_ts: int
    schema: Schema
    dataset: Dataset
    stype: Stype
    def __new__(
        cls,
        symbols: Sequence[str],
        start: str,
        end: str,
        schema: Schema,
        dataset: Dataset,
        stype: Stype,
    ) -> RetrieveParams: ...
    def to_json(self) -> str:
        """The request as a JSON object text."""
    @staticmethod
    def from_json(json_str: str) -> RetrieveParams:
        """The request read from a JSON object text; ValueError for a malformed one."""

# --- stream metadata and its encoder -----------------------------------------------------------

@final
class SymbolMap:
    """Map from instrument ids to tickers, carried in stream metadata."""
    map: dict[int, str]
    def __new__(cls, map: dict[int, str]) -> SymbolMap: ...
    def get_ticker(self, id: int) -> str:
        """The ticker of instrument `id`. KeyError(id) for an id the map lacks."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member."""
    def __ne__(self, other: object, /) -> bool:
        """Negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Metadata:
    """What heads a record stream: schema, dataset, time range and symbol map."""
    schema: Schema
    dataset: Dataset
    start: int
    end: int
    mappings: SymbolMap
    def __new__(
        cls, schema: Schema, dataset: Dataset, start: int, end: int, mappings: SymbolMap
    ) -> Metadata: ...
    def encode(self) -> bytes:
        """The framed metadata block: its 2-byte length, then the body."""
    def __bytes__(self) -> bytes:
        """Same as encode()."""
    @classmethod
    def decode(cls, data: bytes) -> Metadata:
        """The Metadata read from the framed block at the start of `data` (bytes after it are
        ignored); OSError when `data` is too short.
        """

@final
class PyMetadataEncoder:
    """Encodes stream metadata into the framed block that starts a stream."""
    def __new__(cls) -> PyMetadataEncoder: ...
    def encode_metadata(self, metadata: Metadata) -> None:
        """Replaces the encoder's output with the framed block of `metadata`."""
    def get_encoded_data(self) -> bytes:
        """A copy of the output of the last successful encode call."""

# --- record streams ----------------------------------------------------------------------------

@final
class PyRecordEncoder:
    """Encodes Mbp1Msg records into stream bytes, each record's 96-byte layout in order."""
    def __new__(cls) -> PyRecordEncoder: ...
    def encode_records(self, records: Sequence[Mbp1Msg]) -> None:
        """Replaces the encoder's output with `records` in order; on an error the previous output
        stays.
        """
    def get_encoded_data(self) -> bytes:
        """A copy of the output of the last successful encode call."""

@final
class BufferStore:
    """A record stream in memory (from bytes or a file): its metadata, and its records decoded one
    at a time, all at once or into a pandas DataFrame.
    """
    def __new__(cls, data: bytes) -> BufferStore: ...
    @property
    def metadata(self) -> Metadata:
        """A new copy of the stream's metadata."""
    def decode_to_array(self) -> list[Mbp1Msg | TradeMsg | BboMsg | OhlcvMsg]:
        """Every record from the read position to the end, as record objects."""
    def replay(self) -> Mbp1Msg | TradeMsg | BboMsg | OhlcvMsg | None:
        """The next record, or None at the end of the stream."""
    def decode_to_df(self, pretty_ts: bool, pretty_px: bool) -> Any:
        """The remaining records as a pandas DataFrame, one row per record; with pretty_ts ts_event
        as UTC text, with pretty_px prices as floats.
        """
    def write_to_file(self, file_path: str) -> None:
        """Writes the whole stream (whatever the read position) to `file_path`, replacing the file
        only once the new content is complete.
        """
    @staticmethod
    def from_file(file_path: str) -> BufferStore:
        """A store over the stream in the file at `file_path`."""
