"""orx: market-data records and streams, strategy results and historical-data requests.

Every class lives in the compiled module ``orx._lib`` and reports ``orx`` as its module.
``decode_backtest`` (from the second compiled module, ``orx._ext``) reads an encoded back-test
back; ``orx.backtest`` turns results into pandas DataFrames.
"""

from . import _lib
from ._lib import *  # noqa: F401,F403
from ._ext import decode_backtest
from . import backtest  # noqa: E402  (pandas is imported only when a frame is made)

__all__ = list(_lib.__all__) + ["decode_backtest"]
