"""The historical-data service over a catalog: ``python -m orx serve CATALOG``.

A starlette application served by uvicorn (``pip install 'orx-marketdata[serve]'``). It answers
the metadata calls from the catalog's index and streams ``timeseries.get_range`` answers, the
stream ``Catalog.query(params).write()`` would write, piece by piece in bounded memory:
``app(catalog, keys=..., max_streams=...)`` makes the ASGI application, ``run(...)`` serves it.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import concurrent.futures
import datetime as _dt
import json
import logging
import os
import socket
import sys
import time
from typing import Any, Callable, Iterator

from . import __version__
from ._deps import require
from ._kinds import KINDS, SCHEMA_KINDS, kind_of_schema
from ._lib import Dataset, RetrieveParams, Schema, Stype
from ._params import member

API_VERSION = "v0"
MAX_BODY = 1 << 20  # bytes of a request body
MAX_SYMBOLS = 2000  # symbols of one request
# A body over MAX_BODY is read (and dropped) up to this size before the 413 goes out, so that
# the client, still sending, sees the answer; a larger one closes the connection.
DRAIN_BODY = 16 << 20
GRACE = 5.0  # seconds streams in flight get to finish after SIGTERM or Ctrl-C
STALL = 120.0  # seconds a client may leave a stream unread before it is dropped
RETRY_AFTER = "1"
MAX_CONNECTIONS = 512  # connections at once; beyond, uvicorn answers 503
MAX_HEAD = 64 << 10  # bytes of a request line and its headers
_NOT_FOUND_HEADER = 4096  # characters of the list of symbols not found, at most
_FOREVER = (1 << 63) - 1

log = logging.getLogger("orx.serve")

__all__ = ["app", "run", "is_loopback"]


def _starlette():
    return require("starlette", "serve", "orx serve")


class Refusal(Exception):
    """A request answered with an error status and a detail text."""

    def __init__(self, status: int, detail: str, headers: dict[str, str] | None = None):
        super().__init__(detail)
        self.status, self.detail, self.headers = status, detail, headers or {}


# --- what requests say ----------------------------------------------------------------------


def _enum(request, enum, name: str, required: bool = True):
    value = request.query_params.get(name)
    if value is None:
        if required:
            raise Refusal(400, f"missing query parameter {name!r}")
        return None
    try:
        return member(enum, value, name)
    except ValueError as exc:
        raise Refusal(404, str(exc)) from None


async def _body(request) -> bytes:
    """The request body, refused over MAX_BODY bytes."""
    length = request.headers.get("content-length")
    if length is not None and (not length.isdigit() or len(length) > 18):
        raise Refusal(400, f"Content-Length {length!r} is not a byte count")
    too_big = Refusal(413, f"the request body is over {MAX_BODY:,} bytes (1 MiB)",
                      {"Connection": "close"})
    if length is not None and int(length) > DRAIN_BODY:
        raise too_big
    chunks, size = [], 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > DRAIN_BODY:
            raise too_big
        if size <= MAX_BODY:
            chunks.append(chunk)
    if size > MAX_BODY:
        raise too_big
    return b"".join(chunks)


async def _params(request) -> RetrieveParams:
    data = await _body(request)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise Refusal(400, f"the request body is not UTF-8 text (byte {exc.start})") from None
    try:
        params = RetrieveParams.from_json(text)
    except ValueError as exc:
        raise Refusal(400, str(exc)) from None
    if len(params.symbols) > MAX_SYMBOLS:
        raise Refusal(400, f"a request names at most {MAX_SYMBOLS:,} symbols; this one names "
                      f"{len(params.symbols):,}")
    if params.end_ts < params.start_ts:
        raise Refusal(400, f"end_ts {params.end_ts} is before start_ts {params.start_ts}")
    return params


def _iso(ns: int) -> str:
    t = _dt.datetime(1970, 1, 1) + _dt.timedelta(seconds=ns // 1_000_000_000)
    return f"{t:%Y-%m-%dT%H:%M:%S}.{ns % 1_000_000_000:09d}Z"


def _where(params: RetrieveParams) -> str:
    return f"{params.dataset.to_json()}/{params.schema.value}"


def _field_type(width: int, signed: bool, role: str) -> str:
    if role == "letter":
        return "char"
    return f"{'int' if signed else 'uint'}{width * 8}"


# --- the service ----------------------------------------------------------------------------


class _Service:
    """What the endpoints share: the catalog, the keys, the streams in flight."""

    def __init__(self, catalog, keys, max_streams: int):
        self.catalog = catalog
        self.keys = keys
        self.max_streams = max_streams
        self.streams: dict[str, int] = {}  # streams in flight by key name ("" without keys)
        self.active = 0
        self.draining = False
        # One thread per stream making its next piece (waiting on its reading thread, or
        # compressing): streams beyond this many take turns.
        self.pool = concurrent.futures.ThreadPoolExecutor(64, thread_name_prefix="orx-stream")

    async def key(self, request):
        """The key of the request (None when the service has no keys); 401 without one."""
        if self.keys is None:
            return None
        from starlette.concurrency import run_in_threadpool

        header = request.headers.get("authorization", "")
        scheme, _, value = header.partition(" ")
        text = None
        if scheme.lower() == "basic":
            try:
                text = base64.b64decode(value.strip(), validate=True).decode().partition(":")[0]
            except (binascii.Error, UnicodeDecodeError):
                text = None
        elif scheme.lower() == "bearer":
            text = value.strip()
        challenge = {"WWW-Authenticate": 'Basic realm="orx"'}
        if not text:
            raise Refusal(401, "an API key is needed: send it as the user name of HTTP Basic "
                          "authentication (empty password) or as a Bearer token", challenge)
        key = await run_in_threadpool(self.keys.check, text)
        if key is None:
            raise Refusal(401, "unknown API key", challenge)
        return key

    @staticmethod
    def permit(key, dataset: Dataset) -> None:
        if key is not None and not key.may_read(dataset):
            raise Refusal(403, f"key {key.name!r} may not read dataset {dataset.to_json()}")

    def held(self, dataset: Dataset, schema: Schema | None = None) -> tuple[int, int]:
        got = self.catalog.range(dataset, schema)
        if got is None:
            what = dataset.to_json() + (f"/{schema.value}" if schema is not None else "")
            raise Refusal(404, f"the catalog holds no {what} data")
        return got

    def selection(self, params: RetrieveParams) -> tuple[RetrieveParams, dict[str, str]]:
        """`params` less the symbols the catalog does not know (on any day), and the headers
        naming those; 404 when none is left (or the dataset or schema is not held)."""
        self.held(params.dataset, params.schema)
        if not params.symbols:
            return params, {}
        if params.stype == Stype.RAW:
            known = self.catalog.symbols(params.dataset, params.schema)
            missing = [s for s in dict.fromkeys(params.symbols) if s not in known]
        else:  # a continuous symbol is known when it names a contract on some day
            _, missing = self.catalog.resolve(_with_range(params, params.symbols, 0, _FOREVER))
        if not missing:
            return params, {}
        left = [s for s in params.symbols if s not in set(missing)]
        if not left:
            names = ", ".join(repr(s if len(s) <= 64 else s[:64] + "...") for s in missing[:10])
            more = f" and {len(missing) - 10:,} more" if len(missing) > 10 else ""
            raise Refusal(404, f"no {_where(params)} data in the catalog for any of these "
                          f"symbols: {names}{more}")
        listed: list[str] = []
        for s in missing:
            if len(json.dumps(listed + [s])) > _NOT_FOUND_HEADER:
                break
            listed.append(s)
        return _with_range(params, left, params.start_ts, params.end_ts), {
            "X-Orx-Symbols-Not-Found": json.dumps(listed),
            "X-Orx-Symbols-Not-Found-Count": str(len(missing))}

    def acquire(self, key) -> str:
        name = "" if key is None else key.name
        if self.streams.get(name, 0) >= self.max_streams:
            who = f"key {name!r}" if name else "this server"
            n = self.max_streams
            raise Refusal(429, f"{who} has {n} stream{'s' if n > 1 else ''} in flight, as many "
                          "as it may have; retry when one is done", {"Retry-After": RETRY_AFTER})
        self.streams[name] = self.streams.get(name, 0) + 1
        self.active += 1
        return name

    def release(self, name: str) -> None:
        self.streams[name] -= 1
        if not self.streams[name]:
            del self.streams[name]
        self.active -= 1


def _with_range(params: RetrieveParams, symbols: list[str], start: int,
                end: int) -> RetrieveParams:
    out = RetrieveParams(symbols, "1970-01-01", "1970-01-01", params.schema, params.dataset,
                         params.stype)
    out.start_ts, out.end_ts = start, end
    return out


def _limited(pieces: Iterator[bytes], records: int, size: int) -> Iterator[bytes]:
    """The pieces of a raw stream cut after its first `records` records of `size` bytes."""
    head = b""
    for piece in pieces:  # the metadata: 2 length bytes and the block they count
        head += piece
        if len(head) >= 2 and len(head) >= 2 + int.from_bytes(head[:2], "little"):
            break
    cut = 2 + int.from_bytes(head[:2], "little")
    left = records * size
    yield head[:cut]
    rest = memoryview(head)[cut:]
    while left > 0:
        if len(rest):
            out = bytes(rest[:left])
            left -= len(out)
            yield out
        rest = memoryview(next(pieces, b""))
        if not len(rest):
            break


def compressed(pieces: Iterator[bytes], level: int | None = None) -> Iterator[bytes]:
    """The pieces compressed into one zstd frame at the default level, as the catalog's
    ``write(path, "zstd")`` and orx.write compress a stream. The pieces
    are made on a thread of their own, at most AHEAD of them ahead of the compression, so that
    making and compressing them run side by side (compression releases the interpreter lock)."""
    from ._ext import ZstdWriter, zstd_levels

    z = ZstdWriter(zstd_levels()[2] if level is None else level)
    for piece in _ahead(pieces):
        out = z.compress(piece)
        if out:
            yield out
    yield z.finish()


AHEAD = 4  # pieces made ahead of their consumer


def _ahead(pieces: Iterator[bytes]) -> Iterator[bytes]:
    """The pieces, made on a thread of their own up to AHEAD pieces ahead; closing (or
    dropping) the iterator stops that thread after the piece it is making."""
    import queue
    import threading

    q: queue.Queue = queue.Queue(AHEAD)
    stop = threading.Event()
    done = object()

    def make():
        try:
            for piece in pieces:
                while not stop.is_set():
                    try:
                        q.put(piece, timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    break
            item = done
        except BaseException as exc:  # handed to the consumer
            item = exc
        finally:
            close = getattr(pieces, "close", None)
            if close is not None:
                close()
        while not stop.is_set():
            try:
                q.put(item, timeout=0.1)
                return
            except queue.Full:
                continue

    thread = threading.Thread(target=make, name="orx-stream-read", daemon=True)
    thread.start()
    try:
        while True:
            item = q.get()
            if item is done:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        thread.join()


class _Stream:
    """An ASGI response that sends the pieces of a stream as they are made on a thread of the
    service's pool, one piece ahead of the socket; it stops (and closes the pieces' iterator)
    when the client goes away."""

    def __init__(self, service: _Service, slot: str, first: bytes, pieces: Iterator[bytes],
                 headers: dict[str, str], label: str):
        self.service, self.slot, self.first, self.pieces = service, slot, first, pieces
        self.headers, self.label = headers, label

    async def __call__(self, scope, receive, send) -> None:
        loop = asyncio.get_running_loop()
        gone = asyncio.Event()

        async def watch():
            while (await receive())["type"] != "http.disconnect":
                pass
            gone.set()

        watcher = asyncio.ensure_future(watch())
        pending: asyncio.Future | None = None
        sent, outcome = 0, "client went away"
        try:
            await send({"type": "http.response.start", "status": 200,
                        "headers": [(k.lower().encode("latin-1"), v.encode("latin-1"))
                                    for k, v in self.headers.items()]})
            piece: bytes | None = self.first
            while piece is not None:
                pending = loop.run_in_executor(self.service.pool, next, self.pieces, None)
                try:
                    await asyncio.wait_for(send({"type": "http.response.body", "body": piece,
                                                 "more_body": True}), STALL)
                except TimeoutError:
                    outcome = f"client read nothing for {STALL:.0f} s"
                    raise
                sent += len(piece)
                await asyncio.wait([pending, watcher], return_when=asyncio.FIRST_COMPLETED)
                if watcher.done():  # the client went away (or its connection broke)
                    return
                piece = pending.result()
                pending = None
            await send({"type": "http.response.body", "body": b"", "more_body": False})
            outcome = ""
        except asyncio.CancelledError:
            if self.service.draining:
                outcome = "the server stopped before the stream was done"
            raise
        except Exception as exc:
            if not outcome.startswith("client read"):
                outcome = f"failed: {type(exc).__name__}: {exc}"
            raise
        finally:
            watcher.cancel()
            self._finish(pending)
            if outcome:
                log.warning("%s: stopped after %s bytes: %s", self.label, f"{sent:,}", outcome)

    def _finish(self, pending) -> None:
        """Closes the pieces once the piece being made (if any) is done, and frees the slot."""
        self.service.release(self.slot)
        pool, pieces = self.service.pool, self.pieces

        def close(_=None):
            try:
                pool.submit(getattr(pieces, "close", lambda: None))
            except RuntimeError:  # the pool is shut down: the process is ending
                pass

        if pending is not None and not pending.done():
            pending.add_done_callback(close)
        else:
            close()


def app(catalog, *, keys: os.PathLike | str | None = None, max_streams: int = 4):
    """The ASGI application serving `catalog` (a path or an open catalog). With `keys` (a key
    file made by ``orx keys add``) every request needs one of its keys; `max_streams` bounds
    the ``get_range`` streams in flight per key (per server without keys)."""
    _starlette()
    from starlette.applications import Starlette
    from starlette.concurrency import run_in_threadpool
    from starlette.exceptions import HTTPException
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    from ._keys import KeyFile
    from .catalog import Catalog

    if isinstance(catalog, (str, os.PathLike)):
        catalog = Catalog(catalog)
    catalog.datasets()  # a missing catalog is refused now, not at the first request
    if isinstance(max_streams, bool) or not isinstance(max_streams, int) or max_streams < 1:
        raise ValueError(f"max_streams must be a positive integer, not {max_streams!r}")
    service = _Service(catalog, KeyFile(keys) if keys is not None else None, max_streams)

    def answer(data: Any, headers: dict[str, str] | None = None):
        return JSONResponse(data, headers=headers)

    def failed(status: int, detail: str, headers: dict[str, str] | None = None):
        return JSONResponse({"detail": detail}, status_code=status, headers=headers)

    def endpoint(fn: Callable) -> Callable:
        async def handle(request):
            try:
                key = await service.key(request)
                return await fn(request, key)
            except Refusal as r:
                return failed(r.status, r.detail, r.headers)
            except Exception as exc:
                log.exception("%s %s failed", request.method, request.url.path)
                return failed(500, f"internal error: {type(exc).__name__}: {exc}")
        handle.__name__ = fn.__name__
        return handle

    def blocking(fn, *args):
        """Runs `fn` on a thread, with the catalog's own refusals turned into answers."""
        from .catalog import UnknownSymbolError

        async def go():
            try:
                return await run_in_threadpool(fn, *args)
            except UnknownSymbolError as exc:
                raise Refusal(404, str(exc)) from None
            except ValueError as exc:
                if str(catalog.root) in str(exc):  # the catalog's own files failed
                    raise
                raise Refusal(400, str(exc)) from None
        return go()

    async def version(request, key):
        return answer({"api_version": API_VERSION, "version": __version__})

    async def list_datasets(request, key):
        got = await blocking(catalog.datasets)
        return answer([d.to_json() for d in got if key is None or key.may_read(d)])

    async def list_schemas(request, key):
        dataset = _enum(request, Dataset, "dataset")
        service.permit(key, dataset)
        got = await blocking(catalog.schemas, dataset)
        if not got:
            raise Refusal(404, f"the catalog holds no {dataset.to_json()} data")
        return answer([s.to_json() for s in got])

    async def list_fields(request, key):
        schema = _enum(request, Schema, "schema")
        kind = kind_of_schema(schema)
        if kind is None:
            raise Refusal(404, f"schema {schema.to_json()} has no record layout")
        return answer([{"name": c[0], "type": _field_type(c[2], c[3], c[4])}
                       for c in kind.columns])

    async def get_dataset_range(request, key):
        dataset = _enum(request, Dataset, "dataset")
        schema = _enum(request, Schema, "schema", required=False)
        service.permit(key, dataset)
        start, end = await blocking(service.held, dataset, schema)
        return answer({"start": _iso(start), "end": _iso(end), "start_ns": start,
                       "end_ns": end})

    async def list_symbols(request, key):
        dataset = _enum(request, Dataset, "dataset")
        schema = _enum(request, Schema, "schema")
        service.permit(key, dataset)
        await blocking(service.held, dataset, schema)
        return answer(await blocking(catalog.symbols, dataset, schema))

    async def planned(request, key):
        params = await _params(request)
        service.permit(key, params.dataset)
        params, headers = await blocking(service.selection, params)
        return await blocking(catalog.plan, params), headers

    async def get_record_count(request, key):
        plan, headers = await planned(request, key)
        return answer({"record_count": plan.record_count}, headers)

    async def get_billable_size(request, key):
        plan, headers = await planned(request, key)
        return answer({"size_bytes": plan.stream_size}, headers)

    async def resolve(request, key):
        params = await _params(request)
        service.permit(key, params.dataset)
        await blocking(service.held, params.dataset, params.schema)
        found, missing = await blocking(catalog.resolve, params)
        return answer({"mappings": {s: [{"date": d, "instrument_id": i, "raw_symbol": t}
                                        for d, i, t in days]
                                    for s, days in found.items() if days},
                       "not_found": missing})

    async def get_range(request, key):
        query = request.query_params
        compression = query.get("compression", "zstd")
        if compression not in ("zstd", "none"):
            raise Refusal(400, f"compression must be 'zstd' or 'none', not {compression!r}")
        encoding = query.get("encoding", "stream")
        if encoding != "stream":
            raise Refusal(400, f"encoding must be 'stream' (the record stream, raw or zstd), "
                          f"not {encoding!r}")
        limit = query.get("limit")
        if limit is not None and (not limit.isdigit() or len(limit) > 18 or int(limit) < 1):
            raise Refusal(400, f"limit must be a positive integer, not {limit!r}")
        params = await _params(request)
        service.permit(key, params.dataset)
        slot = service.acquire(key)
        try:
            first, pieces, headers = await blocking(
                _prepare, catalog, service, params, compression == "zstd",
                None if limit is None else int(limit))
        except BaseException:
            service.release(slot)
            raise
        who = f" for key {key.name!r}" if key is not None else ""
        return _Stream(service, slot, first, pieces, headers, f"get_range {_where(params)}{who}")

    async def http_error(request, exc):
        return failed(exc.status_code, exc.detail, getattr(exc, "headers", None))

    routes = [
        Route("/v0/", endpoint(version), methods=["GET"]),
        Route("/v0/metadata.list_datasets", endpoint(list_datasets), methods=["GET"]),
        Route("/v0/metadata.list_schemas", endpoint(list_schemas), methods=["GET"]),
        Route("/v0/metadata.list_fields", endpoint(list_fields), methods=["GET"]),
        Route("/v0/metadata.get_dataset_range", endpoint(get_dataset_range), methods=["GET"]),
        Route("/v0/metadata.list_symbols", endpoint(list_symbols), methods=["GET"]),
        Route("/v0/metadata.get_record_count", endpoint(get_record_count), methods=["POST"]),
        Route("/v0/metadata.get_billable_size", endpoint(get_billable_size), methods=["POST"]),
        Route("/v0/timeseries.get_range", endpoint(get_range), methods=["POST"]),
        Route("/v0/symbology.resolve", endpoint(resolve), methods=["POST"]),
    ]
    inner = Starlette(routes=routes, exception_handlers={HTTPException: http_error})

    async def application(scope, receive, send):
        if scope["type"] == "http" and service.draining:
            response = failed(503, "the server is shutting down", {"Retry-After": RETRY_AFTER,
                                                                   "Connection": "close"})
            await response(scope, receive, send)
            return
        await inner(scope, receive, send)

    application.service = service  # type: ignore[attr-defined]
    return application


def _prepare(catalog, service: _Service, params: RetrieveParams, zstd: bool,
             limit: int | None) -> tuple[bytes, Iterator[bytes], dict[str, str]]:
    """The first piece of the answer to `params`, the iterator of the others, and the
    headers: work done before the status line goes out, so that its failures are answers."""
    params, headers = service.selection(params)
    result = catalog.query(params)
    count, size = result.plan.record_count, result.plan.stream_size
    record = KINDS[SCHEMA_KINDS[int(params.schema)]].size
    pieces = iter(result.stream(None))
    if limit is not None and limit < count:
        size -= (count - limit) * record
        count = limit
        pieces = _limited(pieces, limit, record)
    # compressed here rather than by the catalog, on a thread beside the one reading the days
    pieces = compressed(pieces) if zstd else _ahead(pieces)
    first = next(pieces, b"")
    headers.update({"Content-Type": "application/octet-stream",
                    "X-Orx-Record-Count": str(count), "X-Orx-Stream-Size": str(size),
                    "X-Orx-Compression": "zstd" if zstd else "none"})
    return first, pieces, headers


# --- serving --------------------------------------------------------------------------------


def is_loopback(host: str) -> bool:
    """Whether `host` (a name or an address) stands for this machine's loopback interface."""
    import ipaddress

    try:
        infos = socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)
    except socket.gaierror:
        return False
    return bool(infos) and all(ipaddress.ip_address(str(i[4][0]).split("%")[0]).is_loopback
                               for i in infos)


def _listen(host: str, port: int) -> socket.socket:
    info = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
    sock = socket.socket(info[0], socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(info[4])
        sock.listen(1024)
    except BaseException:
        sock.close()
        raise
    return sock


def url_of(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


def run(catalog, *, host: str = "127.0.0.1", port: int = 8080,
        keys: os.PathLike | str | None = None, max_streams: int = 4, grace: float = GRACE,
        ready: Callable[[str], None] | None = None) -> None:
    """Serves `catalog` until SIGTERM or Ctrl-C: new requests are then answered 503 while the
    streams in flight get `grace` seconds to finish. `ready(url)` is called once the socket
    listens (by default the URL is printed). A second signal stops at once."""
    uvicorn = require("uvicorn", "serve", "orx serve")
    application = app(catalog, keys=keys, max_streams=max_streams)
    service: _Service = application.service  # type: ignore[attr-defined]
    try:
        sock = _listen(host, port)
    except OSError as exc:
        raise OSError(f"cannot listen on {host}:{port}: {exc.strerror or exc}") from None
    if not logging.getLogger().handlers and not log.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("orx serve: %(message)s"))
        log.addHandler(handler)
        log.setLevel(logging.INFO)
        log.propagate = False

    deadline = [0.0]

    async def startup(self, sockets=None):
        await uvicorn.Server.startup(self, sockets)
        if self.started:
            (ready or (lambda url: print(f"serving {url}", flush=True)))(url_of(sock))

    def handle_exit(self, sig, frame):
        if service.draining:  # a second signal: stop now
            self.should_exit = self.force_exit = True
            return
        service.draining = True
        deadline[0] = time.monotonic() + grace

    async def on_tick(self, counter):
        if service.draining and (not service.active or time.monotonic() >= deadline[0]):
            self.should_exit = True
        return await uvicorn.Server.on_tick(self, counter)

    # uvicorn's server, draining before it stops, and without raising the signal again after
    server_class = type("Server", (uvicorn.Server,), {
        "startup": startup, "handle_exit": handle_exit, "on_tick": on_tick})

    config = uvicorn.Config(application, http=_protocol(),
                            lifespan="off", access_log=False, log_config=None,
                            log_level="warning", timeout_graceful_shutdown=1,
                            timeout_keep_alive=5, server_header=False,
                            limit_concurrency=MAX_CONNECTIONS, backlog=1024)
    server = server_class(config)
    try:
        server.run(sockets=[sock])
    finally:
        sock.close()
        service.pool.shutdown(wait=False, cancel_futures=True)


def _protocol():
    """uvicorn's httptools protocol with the request line and headers bounded to MAX_HEAD bytes
    (beyond, 431 and the connection closes); h11 (which bounds them itself) without httptools."""
    if not _has("httptools"):
        return "h11"
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

    body = json.dumps({"detail": f"the request line and headers are over {MAX_HEAD:,} bytes"})
    refusal = (b"HTTP/1.1 431 Request Header Fields Too Large\r\ncontent-type: "
               b"application/json\r\nconnection: close\r\ncontent-length: "
               + str(len(body)).encode() + b"\r\n\r\n" + body.encode())

    def on_message_begin(self) -> None:
        self._heading, self._head = True, 0
        HttpToolsProtocol.on_message_begin(self)

    def on_headers_complete(self) -> None:
        self._heading = False
        HttpToolsProtocol.on_headers_complete(self)

    def data_received(self, data: bytes) -> None:
        HttpToolsProtocol.data_received(self, data)
        if self._heading:
            self._head += len(data)
            if self._head > MAX_HEAD and not self.transport.is_closing():
                self.transport.write(refusal)
                self.transport.close()

    return type("BoundedHttpToolsProtocol", (HttpToolsProtocol,), {
        "_heading": False, "_head": 0, "on_message_begin": on_message_begin,
        "on_headers_complete": on_headers_complete, "data_received": data_received})


def _has(module: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(module) is not None

