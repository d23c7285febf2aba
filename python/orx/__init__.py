"""orx: market-data records and streams, back-test results and historical-data requests.

    with orx.open("2026-12-07.orx") as reader:   # raw or zstd; Parquet and CSV from orx too
        frame = reader.to_pandas()

- orx.open reads a stream in bounded memory: records, batches, numpy, pandas, Arrow.
- orx.write and orx.Writer write streams; orx.convert turns them into zstd, Parquet or CSV
  and back; orx.Catalog keeps day files and answers RetrieveParams; orx.Client fetches them
  from a catalog served over HTTP (orx serve).
- Mbp1Msg, TradeMsg, BboMsg, OhlcvMsg, Metadata, BufferStore and the encoders; the back-test
  classes, decode_backtest, and orx.backtest for their DataFrames.
- The command line: orx info, head, convert, merge, serve, keys, get (orx --help).
"""

# The classes are imported and listed one by one (not star-imported) so that type checkers see
# them; tests/test_module.py checks the list against orx._lib.__all__. Importing the package
# registers how its values pickle and copy (orx._pickle).

from . import _lib
from ._lib import (
    Side,
    Vendors,
    Stype,
    Dataset,
    Action,
    Schema,
    RType,
    SymbolMap,
    Metadata,
    RecordHeader,
    OhlcvMsg,
    Mbp1Msg,
    TradeMsg,
    BboMsg,
    BidAskPair,
    RetrieveParams,
    BufferStore,
    RecordMsg,
    BacktestData,
    BacktestMetaData,
    StaticStats,
    Parameters,
    TimeseriesStats,
    Trades,
    Signals,
    SignalInstructions,
    LiveData,
    AccountSummary,
    PyRecordEncoder,
    PyMetadataEncoder,
    PyBacktestEncoder,
)
from ._ext import decode_backtest
from ._pickle import register as _register_pickling
from . import backtest  # noqa: E402  (pandas is imported only when a frame is made)
# `X as X`: re-exported for type checkers, yet kept out of __all__ (a star import must not
# hide the built-in open).
from ._reader import Batch as Batch, Reader as Reader, open as open  # noqa: A004
from ._writer import Writer as Writer, write as write
from ._convert import convert as convert
from .catalog import Catalog as Catalog
from .client import Client as Client, ClientError as ClientError, ServerError as ServerError

__version__ = "0.1.0"  # the project's version in pyproject.toml

# A star import gives these and never hides the built-in open.
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
    "decode_backtest",
]

_register_pickling()


def __getattr__(name: str):
    # orx.dask loads dask, an optional extra, and orx.reduce pandas: only when asked for
    if name in ("dask", "reduce"):
        import importlib

        return importlib.import_module("." + name, __name__)
    raise AttributeError(f"module 'orx' has no attribute {name!r}")
