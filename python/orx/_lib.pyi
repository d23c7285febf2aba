# Type stubs for orx._lib.
from collections.abc import Sequence
from typing import Any, ClassVar, final

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

# --- back-test and live results ----------------------------------------------------------------
# Every numeric field is an int (i32, i64 or u16 as noted); reads return copies.


@final
class BacktestData:
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
    def to_dict(self) -> dict[str, Any]: ...

@final
class BacktestMetaData:
    backtest_id: int  # u16
    backtest_name: str
    parameters: Parameters
    static_stats: StaticStats
    def __new__(
        cls, backtest_id: int, backtest_name: str, parameters: Parameters, static_stats: StaticStats
    ) -> BacktestMetaData: ...
    def __dict__(self) -> dict[str, Any]: ...  # type: ignore[override]

@final
class Parameters:
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
    def to_dict(self) -> dict[str, Any]: ...

@final
class StaticStats:
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
    def to_dict(self) -> dict[str, int]: ...

@final
class TimeseriesStats:
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
    def to_dict(self) -> dict[str, int]: ...

@final
class Trades:
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
    def to_dict(self) -> dict[str, int | str]: ...

@final
class Signals:
    timestamp: int
    trade_instructions: list[SignalInstructions]
    def __new__(
        cls, timestamp: int, trade_instructions: Sequence[SignalInstructions]
    ) -> Signals: ...
    def to_dict(self) -> dict[str, Any]: ...

@final
class SignalInstructions:
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
    def to_dict(self) -> dict[str, int | str]: ...

@final
class LiveData:
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
    def to_dict(self) -> dict[str, Any]: ...

@final
class AccountSummary:
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
    def to_dict(self) -> dict[str, int | str]: ...

@final
class PyBacktestEncoder:
    """Python-facing wrapper for BacktestRecordEncoder"""
    def __new__(cls) -> PyBacktestEncoder: ...
    def encode_backtest(self, backtest: BacktestData) -> bytes:
        """Encodes multiple records"""

# --- retrieval requests ------------------------------------------------------------------------


@final
class RetrieveParams:
    # Reading symbols gives a new list; any sequence of str (not a str) may be assigned.
    @property
    def symbols(self) -> list[str]: ...
    @symbols.setter
    def symbols(self, value: Sequence[str]) -> None: ...
    # Nanoseconds since the UNIX epoch, UTC (signed 64-bit).
    start_ts: int
    end_ts: int
    schema: Schema
    dataset: Dataset
    stype: Stype
    def __init__(
        self,
        symbols: Sequence[str],
        start: str,
        end: str,
        schema: Schema,
        dataset: Dataset,
        stype: Stype,
    ) -> None: ...
    def to_json(self) -> str:
        """Convert `RetrieveParams` to JSON string"""
    @staticmethod
    def from_json(json_str: str) -> RetrieveParams:
        """Create `RetrieveParams` from JSON string"""

# --- stream metadata and its encoder -----------------------------------------------------------

@final
class SymbolMap:
    """Struct created by Orvex server to map instrument ids to tickers."""
    map: dict[int, str]
    def __init__(self, map: dict[int, str]) -> None: ...
    def get_ticker(self, id: int) -> str: ...  # KeyError(id) for an id the map lacks
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Metadata:
    schema: Schema
    dataset: Dataset
    start: int
    end: int
    mappings: SymbolMap
    def __init__(
        self, schema: Schema, dataset: Dataset, start: int, end: int, mappings: SymbolMap
    ) -> None: ...
    def encode(self) -> bytes: ...
    def __bytes__(self) -> bytes: ...
    @classmethod
    def decode(cls, data: bytes) -> Metadata: ...

@final
class PyMetadataEncoder:
    """Python-facing wrapper for RecordEncoder"""
    def __init__(self) -> None: ...
    def encode_metadata(self, metadata: Metadata) -> None: ...
    def get_encoded_data(self) -> bytes: ...

# --- record streams ----------------------------------------------------------------------------

@final
class PyRecordEncoder:
    """Python-facing wrapper for RecordEncoder"""
    def __init__(self) -> None: ...
    def encode_records(self, records: Sequence[Mbp1Msg]) -> None:
        """Encodes multiple records"""
    def get_encoded_data(self) -> bytes:
        """Retrieve the encoded data as bytes"""

@final
class BufferStore:
    def __init__(self, data: bytes) -> None: ...
    @property
    def metadata(self) -> Metadata: ...
    def decode_to_array(self) -> list[Mbp1Msg | TradeMsg | BboMsg | OhlcvMsg]: ...
    def replay(self) -> Mbp1Msg | TradeMsg | BboMsg | OhlcvMsg | None: ...
    def decode_to_df(self, pretty_ts: bool, pretty_px: bool) -> Any: ...  # a pandas.DataFrame
    def write_to_file(self, file_path: str) -> None: ...
    @staticmethod
    def from_file(file_path: str) -> BufferStore: ...
