"""The client of the historical-data service (``orx serve``): ``orx.Client`` over httpx
(``pip install 'orx-marketdata[client]'``).

``client.timeseries.get_range(...)`` returns a reader like ``orx.open`` reading the response
as it arrives, or, with ``path=``, writes it to a file atomically and opens that. Requests that
fail on 429, 502, 503, 504 or a broken connection are sent again a bounded number of times
(honouring ``Retry-After``), but only before any byte of the answer reached the caller.
"""

from __future__ import annotations

import json
import os
import random
import sys
import time
import warnings
from typing import Any, TypedDict, Unpack

from ._deps import require
from ._lib import Dataset, RetrieveParams, Schema, Stype
from ._params import as_params, member
from ._reader import Reader

__all__ = ["Client", "ClientError", "ServerError", "ServiceError"]

_RETRY_STATUS = (429, 502, 503, 504)
_MAX_WAIT = 30.0  # seconds a Retry-After is honoured up to


class RequestKeywords(TypedDict, total=False):
    """The keyword form of a request (see orx._params.as_params)."""

    dataset: Dataset | str
    schema: Schema | str
    symbols: list[str] | str
    start: Any  # ISO 8601 text, date, datetime, pandas.Timestamp, numpy.datetime64, int ns
    end: Any
    stype_in: Stype | str


_Params = RetrieveParams | str | None


class Field(TypedDict):
    name: str
    type: str


class DatasetRange(TypedDict):
    start: str
    end: str
    start_ns: int
    end_ns: int


class Mapping(TypedDict):
    date: str
    instrument_id: int
    raw_symbol: str


class Resolution(TypedDict):
    mappings: dict[str, list[Mapping]]
    not_found: list[str]


class ServiceError(Exception):
    """An error answer of the service: `.status` (the HTTP status) and `.detail` (its text)."""

    def __init__(self, status: int, detail: str, url: str = "") -> None:
        super().__init__(f"{status}: {detail}" + (f" ({url})" if url else ""))
        self.status = status
        self.detail = detail


class ClientError(ServiceError):
    """The service refused the request (a 4xx status)."""


class ServerError(ServiceError):
    """The service failed to answer (a 5xx status)."""


def _detail(response) -> str:
    try:
        doc = json.loads(response.read())
    except ValueError:
        return response.text[:500] or response.reason_phrase
    if isinstance(doc, dict) and isinstance(doc.get("detail"), str):
        return doc["detail"]
    return str(doc)[:500]


def _error(response) -> ServiceError:
    kind = ServerError if response.status_code >= 500 else ClientError
    return kind(response.status_code, _detail(response), str(response.url))


def _retry_after(response, attempt: int) -> float:
    value = response.headers.get("retry-after") if response is not None else None
    if value is not None:
        try:
            return min(max(float(value), 0.0), _MAX_WAIT)
        except ValueError:
            from email.utils import parsedate_to_datetime

            try:
                when = parsedate_to_datetime(value).timestamp()
            except (TypeError, ValueError):
                pass
            else:
                return min(max(when - time.time(), 0.0), _MAX_WAIT)
    return min(0.25 * 2 ** attempt, 8.0) * (0.5 + random.random() / 2)


def _warn_not_found(response, stacklevel: int) -> None:
    count = response.headers.get("x-orx-symbols-not-found-count")
    if not count:
        return
    try:
        names = json.loads(response.headers.get("x-orx-symbols-not-found", "[]"))
    except ValueError:
        names = []
    shown = ", ".join(repr(n) for n in names)
    more = f" and {int(count) - len(names):,} more" if int(count) > len(names) else ""
    warnings.warn(f"{count} symbol(s) have no data in the range asked for: {shown}{more}",
                  stacklevel=stacklevel)


class _ResponseFile:
    """A binary file object over the body of a streamed response, for orx.open."""

    def __init__(self, response) -> None:
        self._response = response
        self._chunks = response.iter_raw()
        self._piece = memoryview(b"")
        self.received = 0

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        import httpx

        while not len(self._piece):
            if self._chunks is None:
                return b""
            try:
                chunk = next(self._chunks, None)
            except httpx.TransportError as exc:
                self.close()
                raise ConnectionError(f"{self._response.url}: the answer broke off after "
                                      f"{self.received:,} bytes ({exc})") from exc
            if chunk is None:
                self.close()
                return b""
            self._piece = memoryview(chunk)
        n = len(self._piece) if size is None or size < 0 else min(size, len(self._piece))
        out = bytes(self._piece[:n])
        self._piece = self._piece[n:]
        self.received += n
        return out

    def close(self) -> None:
        if self._chunks is not None:
            self._chunks = None
            self._response.close()

    def __del__(self) -> None:
        self.close()


class Client:
    """A client of the service at `url` (default: the ORX_URL variable) with the API key `key`
    (default: ORX_API_KEY; none for a server without keys).

    ``client.metadata`` lists datasets, schemas, fields, ranges and symbols and counts records;
    ``client.symbology.resolve`` maps symbols to instruments; ``client.timeseries.get_range``
    fetches records. `retries` bounds how often a request is sent again; `timeout` is the
    seconds to wait for a connection or for the next bytes of an answer.
    """

    def __init__(self, url: str | None = None, key: str | None = None, *,
                 timeout: float = 60.0, retries: int = 4) -> None:
        httpx = require("httpx", "client", "orx.Client")
        url = url if url is not None else os.environ.get("ORX_URL")
        if not url:
            raise ValueError("no server URL: pass url= or set ORX_URL")
        key = key if key is not None else os.environ.get("ORX_API_KEY") or None
        if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
            raise ValueError(f"retries must be a non-negative integer, not {retries!r}")
        base = url.rstrip("/")
        if base.endswith("/v0"):
            base = base[:-3]
        self.url = base
        self.retries = retries
        self._http = httpx.Client(base_url=base + "/v0/", auth=(key, "") if key else None,
                                  timeout=httpx.Timeout(timeout), follow_redirects=False)
        self.metadata = Metadata(self)
        self.symbology = Symbology(self)
        self.timeseries = Timeseries(self)

    def __repr__(self) -> str:
        return f"orx.Client({self.url!r})"

    def close(self) -> None:
        self._http.close()

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _send(self, method: str, path: str, *, params: dict[str, Any] | None = None,
              body: str | None = None, then=None):
        """The response to a request, sent again on the statuses and failures worth a retry;
        `then(response)` runs inside the retries (its connection failures retry too) and its
        value is returned."""
        import httpx

        attempt = 0
        while True:
            response = None
            try:
                request = self._http.build_request(
                    method, path, params=params, content=None if body is None else body.encode(),
                    headers={"Content-Type": "application/json"} if body is not None else None)
                response = self._http.send(request, stream=True)
                if response.status_code in _RETRY_STATUS and attempt < self.retries:
                    response.close()
                    time.sleep(_retry_after(response, attempt))
                    attempt += 1
                    continue
                if response.status_code >= 400:
                    response.read()
                    raise _error(response)
                if then is None:
                    response.read()
                    return response
                return then(response)
            except (httpx.TransportError, ConnectionError) as exc:
                if response is not None:
                    response.close()
                if attempt >= self.retries:
                    if isinstance(exc, ConnectionError):
                        raise
                    raise ConnectionError(f"{self.url}: {exc}") from exc
                time.sleep(_retry_after(None, attempt))
                attempt += 1
            except BaseException:
                if response is not None:
                    response.close()
                raise

    def _json(self, method: str, path: str, **kw: Any) -> Any:
        response = self._send(method, path, **kw)
        _warn_not_found(response, 4)
        return response.json()


def _name(enum: Any, value: object, what: str) -> str:
    return member(enum, value, what).to_json()


class Metadata:
    """The metadata calls: answered from the server's index, before any download."""

    def __init__(self, client: Client) -> None:
        self._client = client

    def list_datasets(self) -> list[Dataset]:
        return [member(Dataset, d, "dataset")
                for d in self._client._json("GET", "metadata.list_datasets")]

    def list_schemas(self, dataset: Dataset | str) -> list[Schema]:
        got = self._client._json("GET", "metadata.list_schemas",
                                 params={"dataset": _name(Dataset, dataset, "dataset")})
        return [member(Schema, s, "schema") for s in got]

    def list_fields(self, schema: Schema | str) -> list[Field]:
        return self._client._json("GET", "metadata.list_fields",
                                  params={"schema": _name(Schema, schema, "schema")})

    def get_dataset_range(self, dataset: Dataset | str,
                          schema: Schema | str | None = None) -> DatasetRange:
        params = {"dataset": _name(Dataset, dataset, "dataset")}
        if schema is not None:
            params["schema"] = _name(Schema, schema, "schema")
        return self._client._json("GET", "metadata.get_dataset_range",
                                  params=params)

    def list_symbols(self, dataset: Dataset | str, schema: Schema | str) -> dict[str, list[str]]:
        return self._client._json("GET", "metadata.list_symbols", params={
            "dataset": _name(Dataset, dataset, "dataset"),
            "schema": _name(Schema, schema, "schema")})

    def get_record_count(self, params: _Params = None, /,
                         **keywords: Unpack[RequestKeywords]) -> int:
        body = as_params(params, **keywords).to_json()
        return int(self._client._json("POST", "metadata.get_record_count",
                                      body=body)["record_count"])

    def get_billable_size(self, params: _Params = None, /,
                          **keywords: Unpack[RequestKeywords]) -> int:
        body = as_params(params, **keywords).to_json()
        return int(self._client._json("POST", "metadata.get_billable_size",
                                      body=body)["size_bytes"])


class Symbology:
    def __init__(self, client: Client) -> None:
        self._client = client

    def resolve(self, params: _Params = None, /,
                **keywords: Unpack[RequestKeywords]) -> Resolution:
        """For each symbol of the request, the instruments it maps to day by day
        (``{"mappings": {symbol: [{"date", "instrument_id", "raw_symbol"}, ...]}``), and the
        symbols that map to none (``"not_found"``)."""
        body = as_params(params, **keywords).to_json()
        return self._client._json("POST", "symbology.resolve", body=body)


class Timeseries:
    def __init__(self, client: Client) -> None:
        self._client = client

    def get_range(self, params: _Params = None, /, *, compression: str | None = "zstd",
                  limit: int | None = None, path: os.PathLike[str] | str | None = None,
                  progress: bool | None = None,
                  **keywords: Unpack[RequestKeywords]) -> Reader:
        """The records the request selects (a RetrieveParams, its JSON text, or the keywords
        dataset, schema, symbols, start, end, stype_in), ordered by ts_event: a reader like
        ``orx.open`` over the answer as it arrives; with `path`, the answer written to that
        file (replaced atomically, with progress on a terminal) and opened. `compression` is
        how the answer travels (and is stored at `path`): "zstd" or None; `limit` keeps the
        first records only."""
        from ._reader import open as open_stream

        body = as_params(params, **keywords).to_json()
        if compression not in ("zstd", "none", None):
            raise ValueError(f"compression must be 'zstd' or None, not {compression!r}")
        query: dict[str, Any] = {"compression": "zstd" if compression == "zstd" else "none"}
        if limit is not None:
            if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
                raise ValueError(f"limit must be a positive integer, not {limit!r}")
            query["limit"] = limit
        client = self._client
        if path is None:
            def read(response):
                _warn_not_found(response, 5)
                return Reader(_ResponseFile(response))
            return client._send("POST", "timeseries.get_range", params=query, body=body,
                                then=read)

        target = os.fspath(path)
        show = sys.stderr.isatty() if progress is None else progress

        def download(response):
            from ._progress import Progress
            from ._writer import ReplacingFile

            _warn_not_found(response, 5)
            total = None
            if query["compression"] == "none":
                total = int(response.headers.get("x-orx-stream-size", 0)) or None
            bar = Progress(f"get -> {target}", total) if show else None
            out = ReplacingFile(target)
            done = 0
            try:
                body_file = _ResponseFile(response)
                while chunk := body_file.read(1 << 20):
                    out.write(chunk)
                    done += len(chunk)
                    if bar is not None:
                        bar.update(done)
                out.commit()
            except BaseException:
                out.discard()
                raise
            finally:
                if bar is not None:
                    bar.done()
            return done

        client._send("POST", "timeseries.get_range", params=query, body=body, then=download)
        return open_stream(target)
