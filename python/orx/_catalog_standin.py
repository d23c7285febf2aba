"""STAND-IN: the catalog methods the service needs that ``orx.Catalog`` does not have yet
(``datasets``, ``schemas``, ``range``, ``resolve``, ``plan``, ``QueryResult.stream``), built
over its public ``files()``, ``symbols()`` and ``query()``. Delete this module when the catalog
package brings them, and open ``orx.Catalog(path)`` where ``open_catalog(path)`` is called.

Nothing outside ``orx.serve`` uses it, and ``orx.serve`` calls only those names on what
``open_catalog`` returns.
"""

from __future__ import annotations

import datetime as _dt
import os
import re
from dataclasses import dataclass
from typing import Any, Iterator

from ._kinds import KINDS, SCHEMA_KINDS, SCHEMAS
from ._lib import Dataset, Metadata, RetrieveParams, Schema, Stype, SymbolMap
from ._params import as_params, members
from .catalog import Catalog, DayFile, QueryResult

NS_PER_DAY = 86_400 * 1_000_000_000
# How ROOT.c.N is written; anything else is refused by the catalog with its own explanation.
_CALENDAR = re.compile(r"^.+\.c\.\d+$")
# Stream bytes handed out at a time.
PIECE = 1 << 20
# The schemas a catalog can hold: those whose records have a layout.
_STORABLE = [s for s in SCHEMAS if int(s) in SCHEMA_KINDS]


def open_catalog(path: os.PathLike | str) -> "StandinCatalog":
    """The catalog at `path`; FileNotFoundError when there is none."""
    if not os.path.isdir(path):
        raise FileNotFoundError(2, "no catalog directory", os.fspath(path))
    return StandinCatalog(path)


def _day_text(ts: int) -> str:
    return (_dt.date(1970, 1, 1) + _dt.timedelta(days=ts // NS_PER_DAY)).isoformat()


@dataclass(frozen=True)
class Plan:
    record_count: int
    stream_size: int


class StandinCatalog:
    def __init__(self, path: os.PathLike | str) -> None:
        self._catalog = Catalog(path)
        self.root = self._catalog.root

    def _files(self, dataset: Dataset, schema: Schema) -> list[DayFile]:
        return self._catalog.files(dataset, schema)

    def datasets(self) -> list[Dataset]:
        return [d for d in members(Dataset) if self.schemas(d)]

    def schemas(self, dataset: Dataset) -> list[Schema]:
        return [s for s in _STORABLE if any(f.count for f in self._files(dataset, s))]

    def range(self, dataset: Dataset, schema: Schema | None = None) -> tuple[int, int] | None:
        first = last = None
        for s in [schema] if schema is not None else _STORABLE:
            for f in self._files(dataset, s):
                if f.count and f.start is not None and f.end is not None:
                    first = f.start if first is None else min(first, f.start)
                    last = f.end if last is None else max(last, f.end)
        return None if first is None or last is None else (first, last + 1)

    def symbols(self, dataset: Dataset, schema: Schema) -> dict[str, list[str]]:
        return self._catalog.symbols(dataset, schema)

    def resolve(self, params: RetrieveParams
                ) -> tuple[dict[str, list[tuple[str, int, str]]], list[str]]:
        symbols = list(dict.fromkeys(params.symbols))
        start, end = max(params.start_ts, 0), params.end_ts
        out: dict[str, list[tuple[str, int, str]]] = {}
        if params.stype == Stype.CONTINUOUS:
            by_path = {str(f.path): f for f in self._files(params.dataset, params.schema)}
            for s in symbols:
                one = RetrieveParams([s], "1970-01-01", "1970-01-01", params.schema,
                                     params.dataset, params.stype)
                one.start_ts, one.end_ts = params.start_ts, params.end_ts
                try:
                    parts = self._catalog.query(one).parts
                except ValueError:
                    if not _CALENDAR.match(s):
                        raise
                    continue
                for p in parts:
                    f = by_path[p.path]
                    for iid, (ticker, *_rest) in sorted(f.instruments.items()):
                        if p.tickers is not None and ticker in p.tickers:
                            out.setdefault(s, []).append((f.day.isoformat(), iid, ticker))
        elif end > start:
            wanted = set(symbols)
            first, last = _day_text(start), _day_text(end - 1)
            for f in self._files(params.dataset, params.schema):
                if not first <= f.day.isoformat() <= last:
                    continue
                for iid, (ticker, _n, lo, hi) in sorted(f.instruments.items()):
                    if ticker in wanted and hi >= start and lo < end:
                        out.setdefault(ticker, []).append((f.day.isoformat(), iid, ticker))
        found = {s: out[s] for s in symbols if s in out}
        return found, [s for s in symbols if s not in out]

    def _selection(self, params: RetrieveParams):
        """The query, its metadata and record count; the index answers for every instrument
        whose records lie wholly inside or outside a part's bounds, the others are counted by
        reading that part."""
        result = self._catalog.query(params)
        by_path = {str(f.path): f for f in self._files(params.dataset, params.schema)}
        tickers: dict[int, str] = {}
        where: dict[int, str] = {}
        count = 0
        for p in result.parts:
            f = by_path.get(p.path)
            ids: dict[int, str | None] = {}
            exact = f is not None
            n = 0
            for iid, (ticker, c, lo, hi) in (f.instruments.items() if f else ()):
                if p.tickers is not None and ticker not in p.tickers:
                    continue
                if hi < p.start or lo >= p.end:
                    continue
                if lo < p.start or hi >= p.end:
                    exact = False
                    break
                ids[iid], n = ticker, n + c
            if not exact:
                ids, n = {}, 0
                for batch in QueryResult([p], params).batches():
                    got = batch.to_numpy()["instrument_id"]
                    n += len(got)
                    for iid in set(got.tolist()):
                        ids[iid] = f.instruments.get(iid, (None,))[0] if f else None
            count += n
            for iid, ticker in ids.items():
                if ticker is None:
                    continue
                if iid in tickers and tickers[iid] != ticker:
                    raise ValueError(f"instrument id {iid} is {tickers[iid]!r} in {where[iid]} "
                                     f"and {ticker!r} in {os.path.basename(p.path)}; query the "
                                     "two separately")
                tickers[iid], where[iid] = ticker, os.path.basename(p.path)
        meta = Metadata(params.schema, params.dataset, max(params.start_ts, 0),
                        max(params.end_ts, 0), SymbolMap(tickers))
        return result, meta, count

    def plan(self, params: Any = None, /, **keywords: Any) -> Plan:
        params = as_params(params, **keywords)
        _, meta, count = self._selection(params)
        size = KINDS[SCHEMA_KINDS[int(params.schema)]].size
        return Plan(count, len(meta.encode()) + count * size)

    def query(self, params: Any = None, /, **keywords: Any) -> "StandinResult":
        params = as_params(params, **keywords)
        return StandinResult(self, params)


class StandinResult:
    def __init__(self, catalog: StandinCatalog, params: RetrieveParams) -> None:
        self._catalog = catalog
        self.params = params

    def stream(self, compression: str | None = None, level: int | None = None
               ) -> Iterator[bytes]:
        """The bytes ``write()`` writes, metadata first, one day's records at a time."""
        result, meta, _ = self._catalog._selection(self.params)
        if compression not in (None, "zstd"):
            raise ValueError(f"compression must be None or 'zstd', not {compression!r}")
        pieces = _pieces(meta, result)
        if compression == "zstd":
            from .serve import compressed

            return compressed(pieces, level)
        return pieces

    def write(self, path: os.PathLike | str, compression: str | None = None) -> None:
        self._catalog._catalog.query(self.params).write(path, compression)

    def to_bytes(self) -> bytes:
        return self._catalog._catalog.query(self.params).to_bytes()


def _pieces(meta: Metadata, result: QueryResult) -> Iterator[bytes]:
    yield meta.encode()
    for part in result.parts:  # one day at a time
        data = memoryview(QueryResult([part], result.params).to_bytes())
        head = 2 + int.from_bytes(data[:2], "little")
        for at in range(head, len(data), PIECE):
            yield data[at:at + PIECE]  # type: ignore[misc]
