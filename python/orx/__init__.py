"""orx: market-data records and streams, strategy results and historical-data requests.

Every class lives in the compiled module ``orx._lib`` and reports ``orx`` as its module.
``orx.open`` reads a stream in bounded memory into records, batches, numpy, pandas and Arrow;
``orx.write`` and ``orx.Writer`` write streams of every record kind, raw or zstd-compressed;
``orx.Catalog`` keeps stream files by dataset, schema and day and answers ``RetrieveParams``.
"""

from . import _lib
from ._lib import *  # noqa: F401,F403
from ._reader import Batch, Reader, open  # noqa: A004
from ._writer import Writer, write
from .catalog import Catalog

# `open` stays out of __all__ so that a star import does not hide the built-in.
__all__ = [*_lib.__all__, "Reader", "Batch", "Writer", "write", "Catalog"]
