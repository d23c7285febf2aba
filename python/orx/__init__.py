"""orx: market-data records and streams, strategy results and historical-data requests.

Every class lives in the compiled module ``orx._lib`` and reports ``orx`` as its module. Importing
the package also registers how its values pickle and copy (see ``orx._pickle``).
"""

from . import _lib
from ._lib import *  # noqa: F401,F403
from ._pickle import register as _register_pickling

__all__ = list(_lib.__all__)

_register_pickling()
