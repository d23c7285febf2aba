"""A directory of day files, one per dataset, schema and UTC day, that answers requests.

Layout::

    {root}/{DATASET}/{schema}/{YYYY-MM-DD}.orxday      one day file per day, made for reading
                                                       (older catalogs: .orx.zst or .orx streams)
    {root}/{DATASET}/{schema}/_index.json              one entry per day file
    {root}/{DATASET}/{schema}/.lock                    taken by writers

``Catalog.plan(...)`` turns a request into a ``Plan`` of plain values (the day files and the
blocks of them to read), ``Catalog.query(...)`` into a ``QueryResult`` over that plan. Writes are
all or nothing across the days they touch; a reader sees every day of a write or none.
"""

from __future__ import annotations

from . import _format
from ._catalog import Catalog, DayFile, UnknownSymbolError
from ._index import INDEX_NAME
from ._journal import JOURNAL_NAME
from ._plan import Part, Plan, merge_ticker, plan_stream_file
from ._result import QueryResult
from ._storage import LOCK_NAME
from ._day_format import DayFileFormat
from ._stream_format import StreamFormat

_format.register(StreamFormat())
_format.register(DayFileFormat())

__all__ = ["Catalog", "DayFile", "Part", "Plan", "QueryResult", "UnknownSymbolError",
           "merge_ticker", "plan_stream_file"]
