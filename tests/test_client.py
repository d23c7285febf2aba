"""orx.Client against a real `orx serve` on 127.0.0.1: typed metadata answers, readers and
downloads equal to the catalog's own answers, the keyword form and every date form, errors,
retries, broken answers, and `orx get`."""

import datetime as dt
import os
import signal
import socket
import subprocess
import sys
import warnings

import numpy as np
import pytest

import orx
from orx import Dataset, Schema, Stype

from catalog_util import DAY0, NS_DAY, params
from serve_util import Server, catalog, root, server  # noqa: F401

pytest.importorskip("httpx")
pytest.importorskip("uvicorn")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")


@pytest.fixture(scope="module")
def client(server):
    with orx.Client(server.url) as c:
        yield c


def reference(catalog, p, compression, tmp_path):
    path = tmp_path / "reference.orx"
    catalog.query(p).write(path, compression)
    return path.read_bytes()


def test_metadata_answers_are_typed(client):
    m = client.metadata
    assert m.list_datasets() == [Dataset.FUTURES, Dataset.EQUITIES]
    assert m.list_schemas(Dataset.FUTURES) == [Schema.MBP1, Schema.TRADES]
    assert m.list_schemas("equities") == [Schema.MBP1]
    assert m.list_fields(Schema.OHLCV1_M)[-1] == {"name": "volume", "type": "uint64"}
    assert m.get_dataset_range("Equities") == {
        "start": "2025-12-02T00:00:00.000000000Z", "end": "2025-12-02T00:00:00.000000003Z",
        "start_ns": DAY0 + NS_DAY, "end_ns": DAY0 + NS_DAY + 3}
    assert m.get_dataset_range(Dataset.FUTURES, Schema.TRADES)["end_ns"] == DAY0 + NS_DAY + 3001
    assert m.list_symbols("Futures", "trades") == {"ESZ5": ["2025-12-01", "2025-12-02"],
                                                   "NQZ5": ["2025-12-01", "2025-12-02"]}


ONE = params(["ESZ5"], DAY0, DAY0 + 4 * NS_DAY)
KEYWORDS = dict(dataset="Futures", schema="mbp-1", symbols=["ESZ5"], start="2025-12-01",
                end="2025-12-05")


@pytest.mark.parametrize("compression", ["zstd", None])
@pytest.mark.parametrize("p", [ONE, params([], DAY0 + NS_DAY // 2, DAY0 + 3 * NS_DAY + 5),
                               params(["ES.c.1"], DAY0, DAY0 + 4 * NS_DAY, Stype.CONTINUOUS)],
                         ids=["one symbol", "everything, intra-day", "continuous"])
def test_readers_give_what_the_catalog_gives(client, catalog, p, compression):
    want = catalog.query(p)
    got = client.timeseries.get_range(p, compression=compression)
    assert isinstance(got, orx.Reader)
    assert got.metadata.encode() == want.metadata.encode()
    frame = got.to_pandas()
    pd.testing.assert_frame_equal(frame, want.to_pandas(), check_exact=True)
    assert list(frame.dtypes) == list(want.to_pandas().dtypes)
    arr = client.timeseries.get_range(p, compression=compression).to_numpy()
    assert arr.tobytes() == want.to_numpy().tobytes()
    table = pa.table(client.timeseries.get_range(p, compression=compression))
    assert table.equals(pa.table(want))
    sizes = [len(b) for b in client.timeseries.get_range(p, compression=compression).batches(7)]
    assert sum(sizes) == len(want) and all(n == 7 for n in sizes[:-1])


@pytest.mark.parametrize("compression", ["zstd", None])
def test_downloads_are_the_catalogs_file(client, catalog, tmp_path, compression):
    out = tmp_path / "out.orx"
    out.write_bytes(b"old")
    reader = client.timeseries.get_range(ONE, compression=compression, path=out)
    assert out.read_bytes() == reference(catalog, ONE, compression, tmp_path)
    assert len(reader.to_numpy()) == len(catalog.query(ONE))
    assert sorted(os.listdir(tmp_path)) == ["out.orx", "reference.orx"]


def test_a_refused_download_leaves_the_file_alone(client, tmp_path):
    out = tmp_path / "out.orx"
    out.write_bytes(b"old")
    with pytest.raises(orx.ClientError) as info:
        client.timeseries.get_range(params(["NOPE"], DAY0, DAY0 + NS_DAY), path=out)
    assert info.value.status == 404
    assert out.read_bytes() == b"old" and os.listdir(tmp_path) == ["out.orx"]


NS = DAY0 + NS_DAY // 4 + 123_456_789  # 2025-12-01 06:00:00.123456789 UTC
EASTERN = dt.timezone(dt.timedelta(hours=-5))
STARTS = [
    "2025-12-01T06:00:00.123456789Z",
    "2025-12-01 06:00:00.123456789",
    "2025-12-01T01:00:00.123456789-05:00",
    "2025-12-01T11:30:00.123456789+0530",
    "2025-12-01t06:00:00,123456789z",
    NS,
    np.datetime64(NS, "ns"),
    pd.Timestamp(NS),
    pd.Timestamp(NS, tz="UTC").tz_convert("US/Eastern"),
]
DAY_STARTS = ["2025-12-01", dt.date(2025, 12, 1), dt.datetime(2025, 12, 1),
              dt.datetime(2025, 11, 30, 19, tzinfo=EASTERN), pd.Timestamp("2025-12-01"),
              DAY0]


@pytest.mark.parametrize("start", STARTS, ids=[repr(s) for s in STARTS])
def test_every_time_form_gives_the_same_answer(client, catalog, tmp_path, start):
    p = params(["ESZ5", "NQZ5"], NS, DAY0 + 2 * NS_DAY)
    got = client.timeseries.get_range(dataset="Futures", schema="mbp-1",
                                      symbols=["ESZ5", "NQZ5"], start=start,
                                      end=dt.date(2025, 12, 3), compression=None,
                                      path=tmp_path / "got.orx")
    assert (tmp_path / "got.orx").read_bytes() == reference(catalog, p, None, tmp_path)
    got.close()


@pytest.mark.parametrize("start", DAY_STARTS, ids=[repr(s) for s in DAY_STARTS])
def test_every_date_form_gives_the_same_answer(client, catalog, start):
    want = catalog.query(params(["ESZ5"], DAY0, DAY0 + 4 * NS_DAY + 1)).to_numpy()
    got = client.timeseries.get_range(dataset=Dataset.FUTURES, schema=Schema.MBP1,
                                      symbols="ESZ5", start=start, end=DAY0 + 4 * NS_DAY + 1)
    assert got.to_numpy().tobytes() == want.tobytes()
    assert client.metadata.get_record_count(dataset="futures", schema="MBP1", symbols=["ESZ5"],
                                            start=start, end=DAY0 + 4 * NS_DAY + 1) == len(want)


def test_the_request_forms_agree(client):
    forms = [client.metadata.get_billable_size(ONE),
             client.metadata.get_billable_size(ONE.to_json()),
             client.metadata.get_billable_size(dataset="Futures", schema="Mbp1", symbols=["ESZ5"],
                                               start="2025-12-01", end="2025-12-05",
                                               stype_in="raw")]
    assert forms[0] > 0 and forms == [forms[0]] * 3
    assert client.symbology.resolve(symbols=["ES.c.0", "XX.c.0"], dataset="Futures",
                                    schema="mbp-1", start="2025-12-04", end="2025-12-05",
                                    stype_in="continuous") == {
        "mappings": {"ES.c.0": [{"date": "2025-12-04", "instrument_id": 7,
                                 "raw_symbol": "ESZ5"}]},
        "not_found": ["XX.c.0"]}


def test_limit(client, catalog):
    got = client.timeseries.get_range(params([], 0, DAY0 + 9 * NS_DAY), limit=5).to_numpy()
    assert got.tobytes() == catalog.query(params([], 0, DAY0 + 9 * NS_DAY)).to_numpy()[:5].tobytes()


def test_symbols_not_found_warn_and_the_rest_is_answered(client, catalog):
    p = params(["ESZ5", "NOPE", "ALSO"], DAY0, DAY0 + NS_DAY)
    with pytest.warns(UserWarning) as seen:
        got = client.timeseries.get_range(p).to_numpy()
    assert [str(w.message) for w in seen] == [
        "2 symbol(s) have no data in the range asked for: 'NOPE', 'ALSO'"]
    assert seen[0].filename == __file__
    assert got.tobytes() == catalog.query(params(["ESZ5"], DAY0, DAY0 + NS_DAY)).to_numpy().tobytes()


@pytest.mark.parametrize("call, status, detail", [
    (lambda c: c.timeseries.get_range(params(["NOPE"], DAY0, DAY0 + 1)), 404,
     "no Futures/mbp-1 data in the catalog for any of these symbols: 'NOPE'"),
    (lambda c: c.metadata.list_schemas("Option"), 404, "the catalog holds no Option data"),
    (lambda c: c.metadata.get_record_count(params(["ESZ5"], DAY0 + 1, DAY0)), 400,
     f"end_ts {DAY0} is before start_ts {DAY0 + 1}"),
    (lambda c: c.timeseries.get_range(params([f"S{i}" for i in range(2001)], 0, 1)), 400,
     "a request names at most 2,000 symbols; this one names 2,001"),
])
def test_refusals_raise_client_errors(client, call, status, detail):
    with pytest.raises(orx.ClientError) as info:
        call(client)
    assert (info.value.status, info.value.detail) == (status, detail)
    assert str(info.value).startswith(f"{status}: {detail} (http://127.0.0.1:")


@pytest.mark.parametrize("call, exc, message", [
    (lambda: orx.Client(""), ValueError, "no server URL: pass url= or set ORX_URL"),
    (lambda: orx.Client("http://127.0.0.1:1", retries=-1), ValueError,
     "retries must be a non-negative integer, not -1"),
    (lambda: orx.Client("http://127.0.0.1:1").timeseries.get_range(ONE, compression="gzip"),
     ValueError, "compression must be 'zstd' or None, not 'gzip'"),
    (lambda: orx.Client("http://127.0.0.1:1").timeseries.get_range(ONE, limit=0), ValueError,
     "limit must be a positive integer, not 0"),
    (lambda: orx.Client("http://127.0.0.1:1").metadata.get_record_count(ONE, start=1),
     TypeError, "give a RetrieveParams (or its JSON text) or keywords, not both"),
    (lambda: orx.Client("http://127.0.0.1:1").metadata.list_schemas("Nope"), ValueError,
     "unknown dataset 'Nope': expected one of 'Futures', 'Equities', 'Option'"),
])
def test_bad_arguments_fail_before_any_request(monkeypatch, call, exc, message):
    monkeypatch.delenv("ORX_URL", raising=False)
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_a_server_that_is_not_there_is_retried_then_a_connection_error():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # closed again: nothing listens there
    with orx.Client(f"http://127.0.0.1:{port}", retries=2) as c:
        with pytest.raises(ConnectionError) as info:
            c.metadata.list_datasets()
    assert str(info.value).startswith(f"http://127.0.0.1:{port}: ")


def test_an_answer_that_breaks_off_is_an_error_not_a_short_stream(root):
    s = Server(root)
    try:
        with orx.Client(s.url, retries=0) as c:
            reader = c.timeseries.get_range(params(["ESZ5", "NQZ5"], DAY0 + 3 * NS_DAY,
                                                   DAY0 + 4 * NS_DAY), compression=None)
            first = next(reader.batches(100))
            assert len(first) == 100
            s.proc.send_signal(signal.SIGKILL)
            s.proc.wait()
            with pytest.raises(ConnectionError) as info:
                for _ in reader.batches(65_536):
                    pass
        assert "the answer broke off after" in str(info.value)
    finally:
        s.kill()


def orx_cli(*args, **kw):
    return subprocess.run([sys.executable, "-m", "orx", *map(str, args)], capture_output=True,
                          text=True, timeout=120, **kw)


def test_get_downloads_and_refuses_to_replace_without_force(server, catalog, tmp_path):
    out = tmp_path / "esz5.orx.zst"
    args = ["get", "--url", server.url, "--dataset", "Futures", "--schema", "mbp-1",
            "--symbols", "ESZ5,NQZ5", "--start", "2025-12-01", "--end", "2025-12-03",
            "-o", out]
    r = orx_cli(*args)
    assert r.returncode == 0, r.stderr
    want = reference(catalog, params(["ESZ5", "NQZ5"], DAY0, DAY0 + 2 * NS_DAY), "zstd",
                     tmp_path)
    assert out.read_bytes() == want
    assert r.stderr == f"{len(want):,} bytes written to {out} (zstd)\n"
    out.write_bytes(b"mine")
    r = orx_cli(*args)
    assert (r.returncode, r.stderr) == (1, f"orx: error: {out} already exists; pass --force to "
                                           "replace it\n")
    assert out.read_bytes() == b"mine"
    r = orx_cli(*args, "--force", "-q", env=dict(os.environ, ORX_URL="http://127.0.0.1:1"))
    assert (r.returncode, r.stderr) == (0, "")
    assert out.read_bytes() == want


@pytest.mark.parametrize("extra, message", [
    (["--symbols", "NOPE"], "404: no Futures/mbp-1 data in the catalog for any of these "
                            "symbols: 'NOPE' ({url}/v0/timeseries.get_range?compression=none)"),
    (["--start", "yesterday"], "start: 'yesterday' is not an ISO 8601 date or time (such as "
                               "'2025-12-01', '2025-12-01T14:30:00.5Z' or "
                               "'2025-12-01 09:30-05:00')"),
    (["--schema", "mbp-9"], "unknown schema 'mbp-9': expected one of 'Mbp1', 'Ohlcv1S', "
                            "'Ohlcv1M', 'Ohlcv1H', 'Ohlcv1D', 'Trades', 'Tbbo', 'Bbo1S', "
                            "'Bbo1M'"),
])
def test_get_failures_are_one_line_and_leave_no_file(server, tmp_path, extra, message):
    base = {"--url": server.url, "--dataset": "Futures", "--schema": "mbp-1",
            "--symbols": "ESZ5", "--start": "2025-12-01", "--end": "2025-12-02"}
    for k, v in zip(extra[::2], extra[1::2]):
        base[k] = v
    r = orx_cli("get", *[x for kv in base.items() for x in kv], "-o", tmp_path / "x.orx")
    assert (r.returncode, r.stderr) == (1, f"orx: error: {message.format(url=server.url)}\n")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("blocked, code, message", [
    ("httpx", "import orx; orx.Client('http://127.0.0.1:1')",
     "ImportError: orx.Client needs httpx: pip install 'orx-marketdata[client]'"),
    ("uvicorn", "from orx._cli import main; sys.exit(main(['serve', '.']))",
     "orx: error: this needs uvicorn: pip install 'orx-marketdata[serve]'"),
    ("starlette", "import orx.serve; orx.serve.app('.')",
     "ImportError: orx serve needs starlette: pip install 'orx-marketdata[serve]'"),
])
def test_a_missing_extra_is_named(blocked, code, message):
    r = subprocess.run([sys.executable, "-c", f"import sys; sys.modules[{blocked!r}] = None; "
                        + code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 1
    assert r.stderr.rstrip().splitlines()[-1] == message
