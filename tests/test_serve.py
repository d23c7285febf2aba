"""The historical-data service as a real `orx serve` process on 127.0.0.1: every endpoint,
get_range bytes against the catalog's own write(), refusals of malformed requests with the
server still serving, the limit on streams in flight, clients that vanish mid-stream, and
SIGTERM."""

import contextlib
import datetime as dt
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings, strategies as st

import orx
from orx import Dataset, RetrieveParams, Schema, Stype

from catalog_util import DAY0, NS_DAY, params
from serve_util import (BIG, Server, big_day, catalog, equities, make_catalog, root,  # noqa: F401
                        server)
from stream_util import mbp1_bytes, stream

httpx = pytest.importorskip("httpx")
pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

DAYS = [(dt.date(2025, 12, 1) + dt.timedelta(days=d)).isoformat() for d in range(4)]
BIG_LAST = DAY0 + 3 * NS_DAY + (BIG - 1) * (NS_DAY // (BIG + 1))


@pytest.fixture(scope="module")
def http(server):
    with httpx.Client(base_url=server.url, timeout=60) as c:
        yield c


def written(catalog, p, compression, tmp_path):
    """What Catalog.query(p).write() writes: the reference every stream is held to."""
    path = tmp_path / f"ref-{compression}.orx"
    catalog.query(p).write(path, compression)
    return path.read_bytes()


def iso(ns):
    t = dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=ns // 1000)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{ns % 10**9:09d}Z"


def test_startup_line_names_the_catalog_and_the_url(server, root):
    port = int(server.url.rsplit(":", 1)[1])
    assert server.startup_line == f"orx serve: {root} at http://127.0.0.1:{port}\n"


# --- the endpoints -------------------------------------------------------------------------

MBP1_FIELDS = {"length": "uint8", "rtype": "uint8", "instrument_id": "uint32",
               "ts_event": "uint64", "rollover_flag": "uint8", "price": "int64",
               "size": "uint32", "action": "char", "side": "char", "flags": "uint8",
               "depth": "uint8", "ts_recv": "uint64", "ts_in_delta": "int32",
               "sequence": "uint32", "discriminator": "uint32", "bid_px": "int64",
               "ask_px": "int64", "bid_sz": "uint32", "ask_sz": "uint32", "bid_ct": "uint32",
               "ask_ct": "uint32"}
OHLCV_FIELDS = {"length": "uint8", "rtype": "uint8", "instrument_id": "uint32",
                "ts_event": "uint64", "rollover_flag": "uint8", "open": "int64",
                "high": "int64", "low": "int64", "close": "int64", "volume": "uint64"}

GETS = [
    ("", {"api_version": "v0", "version": orx.__version__}),
    ("metadata.list_datasets", ["Futures", "Equities"]),
    ("metadata.list_schemas?dataset=Futures", ["Mbp1", "Trades"]),
    ("metadata.list_schemas?dataset=futures", ["Mbp1", "Trades"]),
    ("metadata.list_schemas?dataset=EQUITIES", ["Mbp1"]),
    ("metadata.list_fields?schema=Mbp1", [{"name": k, "type": v}
                                          for k, v in MBP1_FIELDS.items()]),
    ("metadata.list_fields?schema=ohlcv-1m", [{"name": k, "type": v}
                                              for k, v in OHLCV_FIELDS.items()]),
    ("metadata.get_dataset_range?dataset=Futures",
     {"start": "2025-12-01T00:00:00.000000000Z", "end": iso(BIG_LAST + 1),
      "start_ns": DAY0, "end_ns": BIG_LAST + 1}),
    ("metadata.get_dataset_range?dataset=Futures&schema=trades",
     {"start": "2025-12-01T00:00:00.000000000Z", "end": "2025-12-02T00:00:00.000003001Z",
      "start_ns": DAY0, "end_ns": DAY0 + NS_DAY + 3001}),
    ("metadata.get_dataset_range?dataset=Equities",
     {"start": "2025-12-02T00:00:00.000000000Z", "end": "2025-12-02T00:00:00.000000003Z",
      "start_ns": DAY0 + NS_DAY, "end_ns": DAY0 + NS_DAY + 3}),
    ("metadata.list_symbols?dataset=Futures&schema=Mbp1",
     {"ESH6": DAYS[:3], "ESZ5": DAYS, "NQZ5": DAYS}),
    ("metadata.list_symbols?dataset=Futures&schema=Trades", {"ESZ5": DAYS[:2],
                                                             "NQZ5": DAYS[:2]}),
]


@pytest.mark.parametrize("path, want", GETS)
def test_metadata_endpoints(http, path, want):
    r = http.get("/v0/" + path)
    assert r.status_code == 200, r.text
    assert r.headers["content-type"] == "application/json"
    assert r.json() == want


def test_record_fields_follow_the_frame_columns(http, catalog):
    frame = catalog.query(params([], DAY0, DAY0 + NS_DAY)).to_pandas()
    names = [f["name"] for f in http.get("/v0/metadata.list_fields?schema=Mbp1").json()]
    assert names == [c for c in frame.columns if c != "symbol"]


REQUESTS = {
    "one symbol, three days": params(["ESZ5"], DAY0, DAY0 + 3 * NS_DAY),
    "two symbols, intra-day bounds": params(["NQZ5", "ESH6"], DAY0 + NS_DAY // 3,
                                            DAY0 + 2 * NS_DAY + NS_DAY // 2),
    "every instrument, every day": params([], 0, DAY0 + 10 * NS_DAY),
    "continuous front month": params(["ES.c.0"], DAY0, DAY0 + 4 * NS_DAY, Stype.CONTINUOUS),
    "an empty range": params(["ESZ5"], DAY0 + 5, DAY0 + 5),
    "trades": params(["NQZ5"], DAY0, DAY0 + 2 * NS_DAY, schema=Schema.TRADES),
}


@pytest.mark.parametrize("name", REQUESTS)
def test_counts_and_sizes_are_those_of_the_stream(http, catalog, name):
    p = REQUESTS[name]
    data = catalog.query(p).to_bytes()
    size = len(orx.open(data).to_numpy()) if len(data) else 0
    count = http.post("/v0/metadata.get_record_count", content=p.to_json())
    billable = http.post("/v0/metadata.get_billable_size", content=p.to_json())
    assert count.json() == {"record_count": size}
    assert billable.json() == {"size_bytes": len(data)}


@pytest.mark.parametrize("compression", [None, "zstd"])
@pytest.mark.parametrize("name", REQUESTS)
def test_get_range_is_the_catalogs_stream(http, catalog, tmp_path, name, compression):
    p = REQUESTS[name]
    query = {"compression": compression or "none"}
    if compression == "zstd" and name == "one symbol, three days":
        query = {}  # zstd is the default
    r = http.post("/v0/timeseries.get_range", params=query, content=p.to_json())
    assert r.status_code == 200, r.text
    assert r.headers["content-type"] == "application/octet-stream"
    assert r.content == written(catalog, p, compression, tmp_path)
    raw = catalog.query(p).to_bytes()
    assert r.headers["x-orx-stream-size"] == str(len(raw))
    assert r.headers["x-orx-record-count"] == str(len(orx.open(raw).to_numpy()))
    assert "x-orx-symbols-not-found" not in r.headers


@pytest.mark.parametrize("limit", [1, 7, BIG - 1])
def test_limit_keeps_the_first_records_under_the_whole_answers_metadata(http, catalog,
                                                                          limit):
    p = params([], 0, DAY0 + 10 * NS_DAY)
    whole = catalog.query(p).to_bytes()
    head = 2 + int.from_bytes(whole[:2], "little")
    r = http.post("/v0/timeseries.get_range", params={"compression": "none", "limit": limit},
                  content=p.to_json())
    assert r.content == whole[:head + 96 * limit]
    assert r.headers["x-orx-record-count"] == str(limit)
    z = http.post("/v0/timeseries.get_range", params={"limit": limit}, content=p.to_json())
    assert orx.open(z.content).to_numpy().tobytes() == whole[head:head + 96 * limit]


def test_a_limit_beyond_the_answer_changes_nothing(http, catalog, tmp_path):
    p = REQUESTS["one symbol, three days"]
    r = http.post("/v0/timeseries.get_range", params={"limit": 10**9}, content=p.to_json())
    assert r.content == written(catalog, p, "zstd", tmp_path)


def test_symbols_not_found_are_named_and_the_rest_answered(http, catalog, tmp_path):
    p = params(["XYZ", "ESZ5", "ES\u00e9", "ESH6"], DAY0, DAY0 + 4 * NS_DAY)
    known = params(["ESZ5", "ESH6"], DAY0, DAY0 + 4 * NS_DAY)
    for path in ("timeseries.get_range", "metadata.get_record_count"):
        r = http.post("/v0/" + path, params={"compression": "none"}, content=p.to_json())
        assert r.status_code == 200, r.text
        assert json.loads(r.headers["x-orx-symbols-not-found"]) == ["XYZ", "ES\u00e9"]
        assert r.headers["x-orx-symbols-not-found-count"] == "2"
    r = http.post("/v0/timeseries.get_range", params={"compression": "none"},
                  content=p.to_json())
    assert r.content == written(catalog, known, None, tmp_path)


def test_resolve_maps_symbols_day_by_day(http):
    def days(iid, ticker, which):
        return [{"date": DAYS[d], "instrument_id": iid, "raw_symbol": ticker} for d in which]

    raw = params(["ESH6", "NOPE", "ESZ5"], DAY0 + NS_DAY, DAY0 + 3 * NS_DAY + 1)
    assert http.post("/v0/symbology.resolve", content=raw.to_json()).json() == {
        "mappings": {"ESH6": days(9, "ESH6", [1, 2]), "ESZ5": days(7, "ESZ5", [1, 2, 3])},
        "not_found": ["NOPE"]}
    cont = params(["ES.c.0", "ES.c.1", "CL.c.0"], DAY0, DAY0 + 4 * NS_DAY, Stype.CONTINUOUS)
    assert http.post("/v0/symbology.resolve", content=cont.to_json()).json() == {
        "mappings": {"ES.c.0": days(7, "ESZ5", [0, 1, 2, 3]),
                     "ES.c.1": days(9, "ESH6", [0, 1, 2])},
        "not_found": ["CL.c.0"]}


# --- refusals ------------------------------------------------------------------------------

def json_error(text):
    try:
        RetrieveParams.from_json(text)
    except ValueError as exc:
        return str(exc)
    raise AssertionError(f"{text!r} parses")


GOOD = json.loads(params(["ESZ5"], DAY0, DAY0 + NS_DAY).to_json())


def body(**changes):
    return json.dumps(dict(GOOD, **changes))


NO_DATASET = json.dumps({k: v for k, v in GOOD.items() if k != "dataset"})
UNKNOWN = "no Futures/mbp-1 data in the catalog for any of these symbols: "
BAD_BODIES = [
    ("invalid JSON", "{", 400, json_error("{")),
    ("empty body", "", 400, json_error("")),
    ("not an object", "[1, 2]", 400, json_error("[1, 2]")),
    ("symbols as text", body(symbols="ESZ5"), 400, json_error(body(symbols="ESZ5"))),
    ("a time as text", body(start_ts="2025-12-01"), 400,
     json_error(body(start_ts="2025-12-01"))),
    ("a time as a fraction", body(end_ts=1.5), 400, json_error(body(end_ts=1.5))),
    ("unknown schema name", body(schema="MBP1"), 400, json_error(body(schema="MBP1"))),
    ("unknown dataset name", body(dataset="futures"), 400,
     json_error(body(dataset="futures"))),
    ("unknown stype name", body(stype="raw"), 400, json_error(body(stype="raw"))),
    ("a time past 64 bits", body(start_ts=2**63), 400, json_error(body(start_ts=2**63))),
    ("a time before -2**63", body(end_ts=-2**63 - 1), 400,
     json_error(body(end_ts=-2**63 - 1))),
    ("a missing field", NO_DATASET, 400, json_error(NO_DATASET)),
    ("end before start", body(start_ts=DAY0 + 1, end_ts=DAY0), 400,
     f"end_ts {DAY0} is before start_ts {DAY0 + 1}"),
    ("10,000 symbols", body(symbols=[f"S{i}" for i in range(10_000)]), 400,
     "a request names at most 2,000 symbols; this one names 10,000"),
    ("a path for a symbol", body(symbols=["../../etc/passwd"]), 404,
     UNKNOWN + "'../../etc/passwd'"),
    ("a symbol of 500,000 characters", body(symbols=["Z" * 500_000]), 404,
     UNKNOWN + repr("Z" * 64 + "...")),
    ("unknown symbols", body(symbols=[f"X{i}" for i in range(12)]), 404,
     UNKNOWN + ", ".join(f"'X{i}'" for i in range(10)) + " and 2 more"),
    ("a dataset the catalog lacks", body(dataset="Option"), 404,
     "the catalog holds no Option/mbp-1 data"),
    ("a schema the catalog lacks", body(schema="Ohlcv1D"), 404,
     "the catalog holds no Futures/ohlcv-1d data"),
    ("a continuous symbol of another form", body(stype="Continuous", symbols=["ESZ5"]), 400,
     "'ESZ5' is not a continuous symbol: Stype.CONTINUOUS takes 'ROOT.c.N' (for example "
     "'ES.c.0', the front month); use Stype.RAW for tickers"),
    ("a body over 1 MiB", "x" * (2 << 20), 413,
     "the request body is over 1,048,576 bytes (1 MiB)"),
    ("a body that is not UTF-8", b"{\"symbols\": [\"\xff\"]}", 400,
     "the request body is not UTF-8 text (byte 14)"),
]


@pytest.mark.parametrize("path", ["timeseries.get_range", "metadata.get_record_count",
                                  "metadata.get_billable_size", "symbology.resolve"])
@pytest.mark.parametrize("name, content, status, detail", BAD_BODIES,
                         ids=[b[0] for b in BAD_BODIES])
def test_malformed_bodies_are_refused_and_the_server_keeps_serving(http, path, name, content,
                                                                   status, detail):
    r = http.post("/v0/" + path, content=content)
    if path == "symbology.resolve" and detail.startswith(UNKNOWN):
        # what resolve answers: the symbols that name nothing
        assert (r.status_code, r.json()) == (200, {"mappings": {}, "not_found": json.loads(
            content)["symbols"]})
    else:
        assert (r.status_code, r.json()) == (status, {"detail": detail})
    assert http.get("/v0/").status_code == 200


BAD_QUERIES = [
    ("timeseries.get_range?compression=gzip", 400,
     "compression must be 'zstd' or 'none', not 'gzip'"),
    ("timeseries.get_range?limit=0", 400, "limit must be a positive integer, not '0'"),
    ("timeseries.get_range?limit=-3", 400, "limit must be a positive integer, not '-3'"),
    ("timeseries.get_range?limit=1e3", 400, "limit must be a positive integer, not '1e3'"),
    ("timeseries.get_range?encoding=blocks", 400,
     "encoding must be 'stream' (the record stream, raw or zstd), not 'blocks'"),
]
BAD_GETS = [
    ("metadata.list_schemas", 400, "missing query parameter 'dataset'"),
    ("metadata.list_schemas?dataset=Nope", 404,
     "unknown dataset 'Nope': expected one of 'Futures', 'Equities', 'Option'"),
    ("metadata.list_schemas?dataset=Option", 404, "the catalog holds no Option data"),
    ("metadata.list_fields?schema=", 404,
     "unknown schema '': expected one of 'Mbp1', 'Ohlcv1S', 'Ohlcv1M', 'Ohlcv1H', "
     "'Ohlcv1D', 'Trades', 'Tbbo', 'Bbo1S', 'Bbo1M'"),
    ("metadata.list_fields?schema=Tbbo", 404, "schema Tbbo has no record layout"),
    ("metadata.get_dataset_range?dataset=Option", 404, "the catalog holds no Option data"),
    ("metadata.list_symbols?dataset=Futures", 400, "missing query parameter 'schema'"),
    ("metadata.list_symbols?dataset=Equities&schema=trades", 404,
     "the catalog holds no Equities/trades data"),
    ("metadata.list_symbols?dataset=..%2F..&schema=trades", 404,
     "unknown dataset '../..': expected one of 'Futures', 'Equities', 'Option'"),
    ("metadata.nothing", 404, "Not Found"),
    ("../../etc/passwd", 404, "Not Found"),
    ("timeseries.get_range", 405, "Method Not Allowed"),
]


@pytest.mark.parametrize("path, status, detail", BAD_QUERIES)
def test_malformed_query_parameters(http, path, status, detail):
    r = http.post("/v0/" + path, content=body())
    assert (r.status_code, r.json()) == (status, {"detail": detail})


@pytest.mark.parametrize("path, status, detail", BAD_GETS)
def test_malformed_metadata_requests(http, path, status, detail):
    r = http.get("/v0/" + path)
    assert (r.status_code, r.json()) == (status, {"detail": detail})
    assert http.get("/v0/").status_code == 200


def test_a_wrong_method_names_the_allowed_one(http):
    r = http.post("/v0/metadata.list_datasets")
    assert (r.status_code, r.json()) == (405, {"detail": "Method Not Allowed"})
    assert sorted(r.headers["allow"].split(", ")) == ["GET", "HEAD"]


@pytest.mark.parametrize("head, answer", [
    (b"POST /v0/timeseries.get_range HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999\r\n"
     b"\r\n", b"HTTP/1.1 413 "),
    (b"POST /v0/timeseries.get_range HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n",
     b"HTTP/1.1 400 "),
    (b"GARBAGE\r\n\r\n", b"HTTP/1.1 400 "),
    (b"GET /v0/ HTTP/1.1\r\nHost: x\r\nX-Long: " + b"a" * 20_000_000 + b"\r\n\r\n",
     b"HTTP/1.1 431 "),
    (b"GET /v0/?" + b"a" * 100_000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", b"HTTP/1.1 4"),
    (b"GET /v0/ HTTP/1.1\r\nHost: x\r\n" + b"X-Many: bbbbbbbbbbbbbbbbbbbbbbbb\r\n" * 20_000 + b"\r\n",
     b"HTTP/1.1 431 "),
    (b"GET /v0/ HTTP/1.1\r\nHost: x\r\nX-Fine: " + b"a" * 30_000 + b"\r\n\r\n",
     b"HTTP/1.1 200 "),
])
def test_hostile_http_gets_an_error_and_the_server_keeps_serving(server, http, head, answer):
    host, port = server.url[len("http://"):].split(":")
    with socket.create_connection((host, int(port)), timeout=30) as s:
        try:
            s.sendall(head)
        except (BrokenPipeError, ConnectionResetError):  # refused before it was all sent
            pass
        got = s.recv(200)
    assert got.startswith(answer), got
    assert http.get("/v0/").status_code == 200


# --- a server of its own: one stream at a time, a corrupt day, vanishing clients ----------

@pytest.fixture(scope="module")
def limited_root(tmp_path_factory):
    root = tmp_path_factory.mktemp("limited")
    cat = make_catalog(root)
    day = cat.path_of(Dataset.EQUITIES, Schema.MBP1, "2025-12-02")
    cat.write(equities(40))
    data = day.read_bytes()
    day.write_bytes(data[:-50])  # cut inside its last record: the day is corrupt
    return root


@pytest.fixture(scope="module")
def limited(limited_root):
    s = Server(limited_root, "--max-streams", "1")
    yield s
    assert s.stop() == 0, "".join(s.stderr)


BIG_DAY = params(["ESZ5", "NQZ5"], DAY0 + 3 * NS_DAY, DAY0 + 4 * NS_DAY)
SMALL = params(["ESZ5"], DAY0, DAY0 + NS_DAY)


@contextlib.contextmanager
def held_stream(url, p, headers=None):
    """A get_range stream of `p` (raw) whose first piece was read: (that piece, an iterator
    over the rest). The client's receive buffer is small, so that while it does not read on
    the server's stream stays open instead of vanishing into socket buffers."""
    transport = httpx.HTTPTransport(socket_options=[(socket.SOL_SOCKET, socket.SO_RCVBUF,
                                                     1 << 16)])
    with httpx.Client(base_url=url, transport=transport, timeout=60) as holder:
        with holder.stream("POST", "/v0/timeseries.get_range", params={"compression": "none"},
                           headers=headers, content=p.to_json()) as r:
            assert r.status_code == 200, r.read()
            chunks = r.iter_raw()  # (kept: a dropped iterator would close the response)
            yield next(chunks), chunks


def test_a_stream_over_the_limit_gets_429_and_the_clients_retry_succeeds(limited,
                                                                          limited_root,
                                                                          monkeypatch):
    with held_stream(limited.url, BIG_DAY):
        r = httpx.post(limited.url + "/v0/timeseries.get_range", content=SMALL.to_json())
        assert (r.status_code, r.headers["retry-after"], r.json()) == (429, "1", {
            "detail": "this server has 1 stream in flight, as many as it may have; retry "
                      "when one is done"})
        # metadata calls are not streams: they go through
        assert httpx.get(limited.url + "/v0/metadata.list_schemas?dataset=Futures").json() == [
            "Mbp1", "Trades"]

        import orx.client

        told = threading.Event()
        waits = []
        real = orx.client._retry_after

        def noted(response, attempt):
            waits.append((response.status_code, real(response, attempt)))
            told.set()
            return waits[-1][1]

        monkeypatch.setattr(orx.client, "_retry_after", noted)
        got = {}

        def fetch():
            with orx.Client(limited.url) as c:
                got["frame"] = c.timeseries.get_range(SMALL).to_pandas()

        t = threading.Thread(target=fetch)
        t.start()
        assert told.wait(60), "the client saw no 429"
    t.join(60)  # the held stream is closed: the retry goes through
    assert waits[0] == (429, 1.0)
    want = orx.Catalog(limited_root).query(SMALL).to_pandas()
    import pandas.testing as pdt

    pdt.assert_frame_equal(got["frame"], want, check_exact=True)


KILLED_CLIENT = textwrap.dedent("""
    import sys, httpx
    url, body = sys.argv[1], sys.argv[2]
    with httpx.stream("POST", url + "/v0/timeseries.get_range", content=body,
                      params={"compression": "none"}, timeout=60) as r:
        chunks = r.iter_raw()
        next(chunks)
        print("reading", flush=True)
        sys.stdin.read()
""")


def test_a_client_killed_mid_stream_frees_its_stream(limited, limited_root):
    child = subprocess.Popen([sys.executable, "-c", KILLED_CLIENT, limited.url,
                              BIG_DAY.to_json()], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "reading\n"
        child.kill()
    finally:
        child.wait()
    line = limited.wait_for_log(r"get_range Futures/mbp-1: stopped after [\d,]+ bytes")
    assert line.rstrip().endswith(": client went away")
    sent = int(line.split("stopped after ")[1].split()[0].replace(",", ""))
    assert 0 < sent < 96 * BIG  # it stopped before the end
    # the one stream the server allows is free again
    r = httpx.post(limited.url + "/v0/timeseries.get_range", content=SMALL.to_json())
    assert r.status_code == 200
    assert r.content == written(orx.Catalog(limited_root), SMALL, "zstd", limited_root)


def test_a_failing_day_is_a_server_error_that_stops_nothing(limited):
    p = params(["AAPL"], DAY0, DAY0 + 4 * NS_DAY)
    p.dataset = Dataset.EQUITIES
    r = httpx.post(limited.url + "/v0/timeseries.get_range", content=p.to_json())
    assert r.status_code == 500
    assert r.json()["detail"].startswith("internal error: ")
    with orx.Client(limited.url) as c:
        with pytest.raises(orx.ServerError) as info:
            c.metadata.get_record_count(p)
    assert info.value.status == 500 and info.value.detail.startswith("internal error: ")
    assert httpx.post(limited.url + "/v0/timeseries.get_range",
                      content=SMALL.to_json()).status_code == 200
    limited.wait_for_log(r"failed")


# --- starting and stopping ------------------------------------------------------------------

@pytest.mark.parametrize("host", ["0.0.0.0", "::", "192.0.2.1"])
def test_refuses_a_non_loopback_address_without_keys(root, host):
    r = subprocess.run([sys.executable, "-m", "orx", "serve", str(root), "--host", host],
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr == (f"orx serve: refusing to serve on {host}, not a loopback address, "
                        "without --keys: anyone who reaches it could read the catalog\n")


@pytest.mark.parametrize("host, loopback", [("127.0.0.1", True), ("127.8.9.10", True),
                                            ("::1", True), ("localhost", True),
                                            ("0.0.0.0", False), ("192.0.2.1", False),
                                            ("::", False), ("no such host.invalid", False)])
def test_loopback_addresses(host, loopback):
    from orx.serve import is_loopback

    assert is_loopback(host) is loopback


@pytest.mark.parametrize("args, message", [
    (["--max-streams", "0"], "orx: error: --max-streams must be at least 1, not 0\n"),
    (["--grace", "-1"], "orx: error: --grace must be a number of seconds, not -1.0\n"),
    (["--grace", "nan"], "orx: error: --grace must be a number of seconds, not nan\n"),
])
def test_bad_settings_are_one_line(root, args, message):
    r = subprocess.run([sys.executable, "-m", "orx", "serve", str(root), *args],
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stderr) == (1, message)


def test_a_missing_catalog_is_one_line(tmp_path):
    r = subprocess.run([sys.executable, "-m", "orx", "serve", str(tmp_path / "none")],
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stderr) == (
        1, f"orx: error: [Errno 2] no catalog here: the directory does not exist (writing to a "
           f"catalog creates it): '{tmp_path / 'none'}'\n")


def test_a_port_in_use_is_one_line(root):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        r = subprocess.run([sys.executable, "-m", "orx", "serve", str(root), "--port",
                            str(port)], capture_output=True, text=True, timeout=120)
    assert r.returncode == 1
    assert r.stderr.startswith(f"orx: error: cannot listen on 127.0.0.1:{port}: ")
    assert len(r.stderr.splitlines()) == 1


def test_sigterm_answers_503_lets_the_stream_finish_and_exits_cleanly(root, catalog):
    s = Server(root)
    try:
        with held_stream(s.url, BIG_DAY) as (first, body_chunks):
            chunks = [first]
            s.proc.send_signal(signal.SIGTERM)
            with httpx.Client(base_url=s.url, timeout=30) as other:
                for _ in range(600):  # until the signal is seen (each answer is prompt)
                    r = other.get("/v0/")
                    if r.status_code == 503:
                        break
            assert (r.status_code, r.headers["retry-after"], r.json()) == (
                503, "1", {"detail": "the server is shutting down"})
            chunks += list(body_chunks)
        assert b"".join(chunks) == catalog.query(BIG_DAY).to_bytes()
        assert s.proc.wait(30) == 0
        assert "Traceback" not in "".join(s.stderr)
    finally:
        s.kill()


def test_sigterm_with_nothing_in_flight_exits_at_once(root):
    s = Server(root)
    try:
        assert httpx.get(s.url + "/v0/").status_code == 200
        assert s.stop() == 0
        assert s.stderr == []
    finally:
        s.kill()


# --- the pieces of an answer, in process ----------------------------------------------------


def split(data, cuts):
    cuts = sorted({c % (len(data) + 1) for c in cuts})
    return [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)])]


@settings(max_examples=60, deadline=None)
@given(cuts=st.lists(st.integers(0, 10**6), max_size=12), limit=st.integers(1, 20))
def test_a_limit_cuts_after_whole_records_however_the_pieces_fall(cuts, limit):
    from orx.serve import _limited

    data = stream(*[mbp1_bytes(ts=k, price=k) for k in range(12)])
    head = 2 + int.from_bytes(data[:2], "little")
    got = b"".join(bytes(p) for p in _limited(iter(split(data, cuts)), limit, 96))
    assert got == data[:head + 96 * min(limit, 12)]


@settings(max_examples=30, deadline=None)
@given(cuts=st.lists(st.integers(0, 10**7), max_size=10))
def test_compression_gives_orx_writes_bytes_however_the_pieces_fall(tmp_path_factory, cuts):
    from orx.serve import compressed

    data = big_day(20_000)
    path = tmp_path_factory.mktemp("z") / "ref.orx.zst"
    orx.write(path, orx.open(data), compression="zstd")
    assert b"".join(compressed(iter(split(data, cuts)))) == path.read_bytes()


def test_pieces_made_ahead_stop_when_the_consumer_closes():
    from orx.serve import _ahead

    closed = threading.Event()

    def source():
        try:
            for k in range(10**9):
                yield bytes([k % 256]) * 10
        finally:
            closed.set()

    it = _ahead(source())
    assert [next(it) for _ in range(3)] == [b"\x00" * 10, b"\x01" * 10, b"\x02" * 10]
    it.close()
    assert closed.is_set()  # the source was closed before close() returned
    assert not [t for t in threading.enumerate() if t.name == "orx-stream-read"]


def test_pieces_made_ahead_hand_on_the_sources_failure():
    from orx.serve import _ahead

    def source():
        yield b"a"
        raise ValueError("day file broke")

    it = _ahead(source())
    assert next(it) == b"a"
    with pytest.raises(ValueError, match="^day file broke$"):
        next(it)


def test_sigterm_cuts_off_a_stream_that_outlives_the_grace(root):
    s = Server(root, "--grace", "0.2")
    try:
        with held_stream(s.url, BIG_DAY) as (_, body_chunks):
            s.proc.send_signal(signal.SIGTERM)
            assert s.proc.wait(30) == 0  # the reader never read on
            line = s.wait_for_log("stopped after")
            with pytest.raises(httpx.RemoteProtocolError):
                for _ in body_chunks:
                    pass
        assert line.rstrip().endswith(": the server stopped before the stream was done")
    finally:
        s.kill()
