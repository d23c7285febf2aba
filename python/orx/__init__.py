"""orx: market-data records and streams, strategy results and historical-data requests.

Every class lives in the compiled module ``orx._lib`` and reports ``orx`` as its module. Importing
the package also registers how its values pickle and copy (see ``orx._pickle``).
``decode_backtest`` (from the second compiled module, ``orx._ext``) reads an encoded back-test
back; ``orx.backtest`` turns results into pandas DataFrames. ``orx.open`` reads a record stream
in bounded memory into records, batches, numpy, pandas and Arrow; ``orx.write`` and
``orx.Writer`` write streams of every record kind, raw or zstd-compressed; ``orx.convert``
turns stream files into zstd, Parquet or CSV files and back; ``orx.Catalog`` keeps stream
files by dataset, schema and day and answers ``RetrieveParams``; ``orx.Client`` fetches them
from a catalog served over HTTP by ``python -m orx serve``.

The classes are imported and listed one by one (not star-imported) so that type checkers see
them; tests/test_module.py checks the list against ``orx._lib.__all__``.
"""

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
