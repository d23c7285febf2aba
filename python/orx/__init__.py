"""orx: market-data records and streams, strategy results and historical-data requests.

Every class lives in the compiled module ``orx._lib`` and reports ``orx`` as its module.
"""

from . import _lib
from ._lib import *  # noqa: F401,F403

__all__ = list(_lib.__all__)

from .catalog import Catalog  # noqa: E402

__all__ += ["Catalog"]
