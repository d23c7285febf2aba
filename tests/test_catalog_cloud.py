"""The catalog in object storage (moto's S3 server on 127.0.0.1, and fsspec's memory store for
the lease): what a query fetches, counted at the emulator; writes whole and all at once;
writers in other processes that lose nothing; reductions on the workers equal to the single
process's and to a pandas reference."""

import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import orx
import orx.catalog as oc
from catalog_util import DAY0, NS_DAY, TICKERS, day_name, index_doc, params, records, spread
from s3_server import BUCKET
from stream_util import mbp1_bytes, stream

pytest.importorskip("s3fs")
pd = pytest.importorskip("pandas")

DIR = "FUTURES/mbp-1"


def keys(server, url):
    """The objects under `url` (names below the catalog's mbp-1 directory)."""
    prefix = url.split("/", 3)[3] + "/" + DIR + "/"
    got = server.client().list_objects_v2(Bucket=BUCKET, Prefix=prefix).get("Contents", [])
    return sorted(o["Key"][len(prefix):] for o in got)


def index_of(server, url):
    key = url.split("/", 3)[3] + "/" + DIR + "/_index.json"
    return index_doc(server.client().get_object(Bucket=BUCKET, Key=key)["Body"].read())


def rows(result):
    a = result.to_numpy()
    return list(zip(a["ts_event"].tolist(), a["instrument_id"].tolist(), a["price"].tolist()))


@pytest.fixture
def remote(s3_server, s3_url):
    c = orx.Catalog(s3_url, s3_server.options)
    c.write(records(spread(days=3, per_day=12)))
    return c


# --- what a query fetches ----------------------------------------------------------------


def covered(ranges):
    """(start, end) spans of the union of (offset, length) ranges."""
    out = []
    for off, n in sorted(ranges):
        if out and off <= out[-1][1]:
            out[-1][1] = max(out[-1][1], off + n)
        else:
            out.append([off, off + n])
    return [tuple(x) for x in out]


@pytest.mark.parametrize("symbols", [["NQZ5"], ["ESZ5", "ESH6"], []])
def test_a_query_fetches_the_index_and_the_blocks_it_needs(remote, s3_server, s3_url, symbols,
                                                           monkeypatch):
    monkeypatch.setattr(oc._objects, "HOLE", 0)  # every gap stays a gap: ranges are exact
    doc = index_of(s3_server, s3_url)
    remote.plan(params([], DAY0, DAY0 + 3 * NS_DAY))  # the root has been seen
    s3_server.reset()
    got = rows(remote.query(params(symbols, DAY0, DAY0 + 3 * NS_DAY)))
    served = s3_server.requests()
    wanted = {i for i, t in TICKERS.items() if not symbols or t in symbols}
    assert sorted({i for _, i, _ in got}) == sorted(wanted)
    index = [r for r in served if r[1].endswith("/_index.json")]
    assert [(r[0], r[3], r[4]) for r in index] == [("GET", "bytes=0-", 206)]
    # every other request is a ranged GET of a day object, and together they are exactly the
    # metadata and the blocks of the instruments asked for, from the index's offsets
    days = [r for r in served if r not in index]
    assert all(r[0] == "GET" and r[3] is not None and r[4] == 206 for r in days)
    for entry in doc["files"]:
        need = [entry["head"]] + [b[4:] for b in entry["blocks"] if b[0] in wanted]
        fetched = [(int(a), int(b) + 1) for r in days if r[1].endswith(entry["file"])
                   for a, b in [r[3][6:].split("-")]]
        assert sorted(fetched) == covered(need)
    assert sum(r[5] for r in days) == sum(
        n for e in doc["files"] for _, n in [e["head"]] + [b[4:] for b in e["blocks"]
                                                          if b[0] in wanted])


def test_ranges_close_together_are_fetched_as_one(remote, s3_server, s3_url):
    doc = index_of(s3_server, s3_url)
    remote.plan(params([], DAY0, DAY0 + 3 * NS_DAY))
    s3_server.reset()
    rows(remote.query(params(["ESH6"], DAY0, DAY0 + 3 * NS_DAY)))  # its blocks come last
    days = sorted((r for r in s3_server.requests() if not r[1].endswith("_index.json")),
                  key=lambda r: r[1])
    # the few bytes between the metadata and the block are fetched too: one request a day
    assert len(days) == len(doc["files"])
    assert [r[3] for r in days] == [
        f"bytes={e['head'][0]}-{max(b[4] + b[5] for b in e['blocks']) - 1}" for e in doc["files"]]


def test_a_query_result_equals_the_same_query_on_a_local_copy(remote, tmp_path):
    local = orx.Catalog(tmp_path)
    local.write(records(spread(days=3, per_day=12)))
    for p in (params(["ESZ5"], DAY0 + 5, DAY0 + 2 * NS_DAY), params([], DAY0, DAY0 + 3 * NS_DAY)):
        assert remote.query(p).to_bytes() == local.query(p).to_bytes()
        assert remote.plan(p).record_count == local.plan(p).record_count
    assert remote.symbols(orx.Dataset.FUTURES, orx.Schema.MBP1) == local.symbols(
        orx.Dataset.FUTURES, orx.Schema.MBP1)


# --- writing -------------------------------------------------------------------------------


def test_each_day_is_put_whole_and_the_index_last(s3_server, s3_url):
    c = orx.Catalog(s3_url, s3_server.options)
    s3_server.reset()
    written = c.write(records(spread(days=3)))
    puts = [r for r in s3_server.requests() if r[0] == "PUT"]
    assert [r[1].rpartition("/")[2] for r in puts] == [
        w.rpartition("/")[2] for w in written] + ["_index.json"]
    assert all(w.startswith(s3_url + "/" + DIR + "/2025-12-0") for w in written)
    assert keys(s3_server, s3_url) == sorted(w.rpartition("/")[2] for w in written) + [
        "_index.json"]
    # a replaced day is a new object; the old one goes once the index names the new one
    again = c.write(records([(DAY0 + 5, 7)]), mode="replace")
    assert again[0] != written[0]
    assert keys(s3_server, s3_url) == sorted([again[0].rpartition("/")[2]] + [
        w.rpartition("/")[2] for w in written[1:]] + ["_index.json"])
    assert rows(c.query(params([], DAY0, DAY0 + NS_DAY))) == [(DAY0 + 5, 7, 0)]


def test_a_reader_planned_before_a_replace_reads_the_new_day_whole(remote):
    result = remote.query(params([], DAY0, DAY0 + NS_DAY))
    remote.write(records([(DAY0 + 9, 8), (DAY0 + 3, 7)]), mode="replace")
    assert rows(result) == [(DAY0 + 3, 7, 1), (DAY0 + 9, 8, 0)]


def writer_script(url, options, data_path, mode="append"):
    return textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path[:3]!r}
        import orx
        orx.Catalog({url!r}, {options!r}).write(open({str(data_path)!r}, "rb").read(),
                                                mode={mode!r})
        print("written", flush=True)
    """)


def child(script, **env):
    return subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **env),
                            cwd=os.path.dirname(__file__))


def test_a_writer_that_loses_the_race_writes_again_and_loses_nothing(s3_server, s3_url,
                                                                     tmp_path):
    c = orx.Catalog(s3_url, s3_server.options)
    c.write(records([(DAY0 + 1, 7)]))
    data = tmp_path / "a.orx"
    data.write_bytes(records([(DAY0 + NS_DAY + 1, 8), (DAY0 + 2, 9)]))
    a = child(writer_script(s3_url, s3_server.options, data), ORX_CATALOG_PAUSE_AT="staged")
    assert a.stdout.readline() == b"staged\n"  # A has put its days, not yet the index
    c.write(records([(DAY0 + 2 * NS_DAY + 1, 7), (DAY0 + 3, 8)]))  # B commits meanwhile
    out, err = a.communicate(b"\n", timeout=120)
    assert a.returncode == 0, err.decode()
    # A's index write failed, so it read B's index, merged again and wrote again (pausing
    # again at the same moment, which the newline already released)
    assert rows(c.query(params([], DAY0, DAY0 + 3 * NS_DAY))) == [
        (DAY0 + 1, 7, 0), (DAY0 + 2, 9, 1), (DAY0 + 3, 8, 1), (DAY0 + NS_DAY + 1, 8, 0),
        (DAY0 + 2 * NS_DAY + 1, 7, 0)]
    # the objects of A's lost try are gone: every object is one the index names
    names = keys(s3_server, s3_url)
    assert names == sorted([e["file"] for e in index_of(s3_server, s3_url)["files"]]
                           + ["_index.json"])


def test_two_processes_writing_different_days_lose_none(s3_server, s3_url, tmp_path):
    procs = []
    for w in range(2):
        for d in range(3):
            path = tmp_path / f"{w}-{d}.orx"
            path.write_bytes(records([(DAY0 + (2 * d + w) * NS_DAY + k, 7 + k % 3)
                                      for k in range(5)]))
    scripts = [textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path[:3]!r}
        import orx
        c = orx.Catalog({s3_url!r}, {s3_server.options!r})
        for d in range(3):
            c.write(open({str(tmp_path)!r} + f"/{w}-{{d}}.orx", "rb").read())
    """) for w in range(2)]
    procs = [child(s) for s in scripts]
    for p in procs:
        _, err = p.communicate(timeout=180)
        assert p.returncode == 0, err.decode()
    c = orx.Catalog(s3_url, s3_server.options)
    got = c.query(params([], DAY0, DAY0 + 6 * NS_DAY)).to_numpy()
    assert len(got) == 30
    assert sorted({int(t) // NS_DAY - DAY0 // NS_DAY for t in got["ts_event"]}) == list(range(6))


@pytest.mark.parametrize("moment, visible", [("staged", False), ("indexed", True)])
def test_a_killed_writer_leaves_the_old_state_or_the_new(s3_server, s3_url, tmp_path,
                                                         monkeypatch, moment, visible):
    c = orx.Catalog(s3_url, s3_server.options)
    c.write(records(spread(days=2)))
    before = rows(c.query(params([], DAY0, DAY0 + 3 * NS_DAY)))
    data = tmp_path / "x.orx"
    data.write_bytes(records([(DAY0 + 7, 9), (DAY0 + 2 * NS_DAY + 1, 8)]))
    p = child(writer_script(s3_url, s3_server.options, data), ORX_CATALOG_KILL_AT=moment)
    p.communicate(timeout=120)
    assert p.returncode == -9
    after = rows(c.query(params([], DAY0, DAY0 + 3 * NS_DAY)))
    if visible:
        assert len(after) == len(before) + 2
    else:
        assert after == before
    # what the dead writer left (its new objects, or the day it replaced) is garbage that
    # the next writer removes once it is old enough
    assert len(keys(s3_server, s3_url)) > len(index_of(s3_server, s3_url)["files"]) + 1
    monkeypatch.setattr(oc._objects, "GRACE_SECONDS", -1.0)
    c.write(records([(DAY0 + 3 * NS_DAY, 7)]))
    assert keys(s3_server, s3_url) == sorted([e["file"] for e in index_of(
        s3_server, s3_url)["files"]] + ["_index.json"])
    # a retried append of a committed write does nothing again
    again = child(writer_script(s3_url, s3_server.options, data))
    again.communicate(timeout=120)
    assert len(rows(c.query(params([], DAY0, DAY0 + 3 * NS_DAY)))) == len(before) + 2


def test_objects_without_an_index_are_summarised_and_reindexed(s3_server, s3_url, tmp_path):
    local = orx.Catalog(tmp_path)
    local.write(records(spread(days=2)))
    prefix = s3_url.split("/", 3)[3]
    for path in sorted((tmp_path / "FUTURES" / "mbp-1").glob("2*")):  # uploaded by another tool
        s3_server.client().put_object(Bucket=BUCKET, Key=f"{prefix}/{DIR}/{path.name}",
                                      Body=path.read_bytes())
    c = orx.Catalog(s3_url, s3_server.options)
    p = params(["NQZ5"], DAY0, DAY0 + 2 * NS_DAY)
    assert rows(c.query(p)) == rows(local.query(p))
    c.reindex()
    entries = index_of(s3_server, s3_url)["files"]
    assert [e["file"] for e in entries] == [day_name(local, d) for d in ("2025-12-01",
                                                                          "2025-12-02")]
    s3_server.reset()
    assert rows(c.query(p)) == rows(local.query(p))
    assert all(r[3] is not None for r in s3_server.requests())  # byte ranges now


@pytest.mark.parametrize("url, message", [
    ("s3://{bucket}/nothing/here", "no catalog here: nothing is stored under this location"),
])
def test_reading_a_missing_catalog_at_a_url_names_it(s3_server, url, message):
    where = url.format(bucket=BUCKET)
    with pytest.raises(FileNotFoundError) as e:
        orx.Catalog(where, s3_server.options).query(params(["ESZ5"], DAY0, DAY0 + NS_DAY))
    assert e.value.filename == where and message in str(e.value)


@pytest.mark.parametrize("call, error, message", [
    (lambda: orx.Catalog("/tmp/x", {"anon": True}), ValueError,
     "storage_options are for catalogs at a URL, not local directories"),
    (lambda: orx.Catalog("memory://x", ["anon"]), TypeError,
     "storage_options must be a dict, not list"),
])
def test_bad_storage_options(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value) == message


# --- the lease, where the store has no conditional writes --------------------------------


def test_writers_of_a_store_without_conditional_writes_take_turns(monkeypatch):
    monkeypatch.setattr(oc._objects, "LEASE_SETTLE", 0.01)
    url = f"memory://orx-lease-{os.getpid()}-{time.monotonic_ns()}"
    c = orx.Catalog(url)
    errors = []

    def write(w):
        try:
            for d in range(3):
                orx.Catalog(url).write(records([(DAY0 + (2 * d + w) * NS_DAY + k, 7)
                                                for k in range(4)]))
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=write, args=(w,)) for w in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(c.query(params([], DAY0, DAY0 + 6 * NS_DAY))) == 24
    assert not c._storage.fs.exists(f"{c._storage.full(DIR)}/{oc._objects.LEASE_NAME}")


@pytest.mark.parametrize("expires, outcome", [(-10.0, "taken"), (1000.0, "refused")])
def test_a_lease_is_taken_over_once_expired_and_waited_for_until_then(monkeypatch, expires,
                                                                       outcome):
    monkeypatch.setattr(oc._objects, "LEASE_SETTLE", 0.01)
    monkeypatch.setattr(oc._objects, "LEASE_WAIT", 0.1)
    url = f"memory://orx-lease-{os.getpid()}-{time.monotonic_ns()}"
    c = orx.Catalog(url)
    lease = json.dumps({"owner": "another", "expires": time.time() + expires}).encode()
    c._storage.fs.pipe_file(f"{c._storage.full(DIR)}/{oc._objects.LEASE_NAME}", lease)
    if outcome == "taken":
        c.write(records([(DAY0, 7)]))
        assert len(c.query(params([], DAY0, DAY0 + NS_DAY))) == 1
        return
    with pytest.raises(TimeoutError) as e:
        c.write(records([(DAY0, 7)]))
    assert str(e.value) == (f"{url}/{DIR}/_lease.json: another writer has held the lease for "
                            f"over 0 s; remove the lease object if no writer is at work")
    assert c._storage.scan(DIR) .keys() == {oc._objects.LEASE_NAME}  # nothing was written


# --- planning from the index alone ---------------------------------------------------------


def synthetic_index(days, instruments):
    """An index of `days` days of `instruments` instruments (one block each), objects absent."""
    files = []
    for d in range(days):
        lo = DAY0 + d * NS_DAY
        name = f"{orx.catalog._records.day_of(lo).isoformat()}@{d:016x}.orx.zst"
        inst = [[i, f"S{i:04d}", 100, lo + i, lo + i + 1000] for i in range(instruments)]
        blocks = [[i, 100, lo + i, lo + i + 1000, 100 + 50 * i, 50] for i in range(instruments)]
        files.append({"file": name, "format": 1, "stat": [100 + 50 * instruments, 0, d],
                      "count": 100 * instruments, "start": lo, "end": lo + instruments + 999,
                      "instruments": inst, "head": [0, 100], "blocks": blocks, "splits": []})
    return json.dumps({"format": 2, "files": files, "appends": []}).encode()


def test_planning_reads_the_index_alone(s3_server, s3_url):
    key = s3_url.split("/", 3)[3] + "/" + DIR + "/_index.json"
    s3_server.client().put_object(Bucket=BUCKET, Key=key, Body=synthetic_index(60, 500))
    c = orx.Catalog(s3_url, s3_server.options)
    s3_server.reset()
    plan = c.plan(params(["S0007", "S0420"], DAY0, DAY0 + 60 * NS_DAY))
    served = s3_server.requests()
    assert {r[1].rpartition("/")[2] for r in served if r[0] == "GET" and r[1] != f"/{BUCKET}"
            } == {"_index.json"}
    assert len(plan.parts) == 60 and plan.record_count == 60 * 200
    assert [b[0] for b in plan.parts[-1].blocks] == [7, 420]
    assert plan.metadata.mappings.map == {7: "S0007", 420: "S0420"}


# --- Dask on the workers -------------------------------------------------------------------


def trades(days=3, per_day=40, seed=3):
    """MBP-1 records over `days` days, every third a trade, prices and sizes at random."""
    rng = np.random.default_rng(seed)
    recs = []
    for d in range(days):
        ts = np.sort(rng.integers(0, 3 * 3600 * 10**9, per_day))
        for k, t in enumerate(ts.tolist()):
            recs.append(mbp1_bytes(iid=int(rng.choice([7, 8, 9])), ts=DAY0 + d * NS_DAY + t,
                                   price=int(rng.integers(1, 50)) * 250_000_000,
                                   size=int(rng.integers(1, 9)), action=84 if k % 3 else 65))
    return stream(*recs, symbols=tuple(TICKERS.items()))


def bars_reference(frame, interval):
    """OHLCV and VWAP by instrument and interval from a query result's frame, in pandas."""
    t = frame[frame["action"] == "T"].copy()
    t["ts"] = t["ts_event"] // interval * interval
    g = t.groupby(["instrument_id", "ts"], sort=True)
    out = pd.DataFrame({"open": g["price"].first(), "high": g["price"].max(),
                        "low": g["price"].min(), "close": g["price"].last(),
                        "volume": g["size"].sum().astype(np.uint64),
                        "trades": g["price"].size().astype(np.int64)}).reset_index()
    notional = t.assign(n=[int(p) * int(s) for p, s in zip(t["price"], t["size"])])
    sums = notional.groupby(["instrument_id", "ts"], sort=True)["n"].sum()
    out["vwap"] = [n / (v * 10**9) for n, v in zip(sums.tolist(), out["volume"].tolist())]
    return out


@pytest.fixture
def market(s3_server, s3_url, monkeypatch):
    monkeypatch.setattr(oc._index, "SPLIT_EVERY", 16)  # several partitions a day
    c = orx.Catalog(s3_url, s3_server.options)
    c.write(trades())
    return c


@pytest.mark.parametrize("symbols, interval", [([], 600 * 10**9), (["ESZ5", "ESH6"], "1h"),
                                               (["NQZ5"], "1min")])
def test_bars_on_the_workers_equal_the_single_process_and_pandas(market, symbols, interval):
    import orx.dask
    from orx import reduce

    result = market.query(params(symbols, DAY0 + 10**9, DAY0 + 3 * NS_DAY))
    assert len(result.to_dask().divisions) > 4
    single = reduce.ohlcv(result, interval)
    dist = orx.dask.ohlcv(result, interval).compute(scheduler="sync")
    pd.testing.assert_frame_equal(dist, single, check_exact=True)
    ref = bars_reference(result.to_pandas(), reduce.interval_ns(interval))
    for name in ("ts", "instrument_id", "open", "high", "low", "close", "volume", "trades"):
        assert dist[name].tolist() == ref[name].tolist(), name
    assert dist["symbol"].tolist() == [TICKERS[i] for i in ref["instrument_id"]]
    vw = orx.dask.vwap(result, interval, datetimes=True).compute(scheduler="sync")
    pd.testing.assert_frame_equal(vw, reduce.vwap(result, interval, datetimes=True),
                                  check_exact=True)
    assert vw["vwap"].tolist() == ref["vwap"].tolist()


@pytest.mark.parametrize("times", [
    ["2025-12-01T01:00Z", "2025-12-02T00:00Z", "2025-12-03T02:30Z"],
    [DAY0 - 1, DAY0 + 3 * NS_DAY], []])
def test_last_quotes_on_the_workers_equal_the_single_process_and_pandas(market, times):
    import orx.dask
    from orx import reduce

    result = market.query(params([], DAY0, DAY0 + 3 * NS_DAY))
    dist = orx.dask.asof(result, times).compute(scheduler="sync")
    pd.testing.assert_frame_equal(dist, reduce.asof(result, times), check_exact=True)
    frame = result.to_pandas()
    want = []
    for t in reduce.sample_times(times).tolist():
        seen = frame[frame["ts_event"] <= t]
        for i, row in seen.groupby("instrument_id").tail(1).sort_values("instrument_id").iterrows():
            want.append((t, row["instrument_id"], row["price"], row["sequence"]))
    got = list(zip(dist["ts"].tolist(), dist["instrument_id"].tolist(), dist["price"].tolist(),
                   dist["sequence"].tolist()))
    assert got == want


def test_the_graph_carries_locations_and_blocks_never_data(market):
    import pickle

    import orx.dask

    result = market.query(params([], DAY0, DAY0 + 3 * NS_DAY))
    for graph in (dict(result.to_dask().__dask_graph__()),
                  dict(orx.dask.ohlcv(result, "1min").__dask_graph__())):
        blob = pickle.dumps(graph)
        data = result.to_bytes()
        assert len(blob) < len(data) and data[-96:] not in blob
    part = result.plan.parts[0]
    assert part.location.startswith("s3://") and part.storage_options == market.storage_options


def test_datetimes_give_a_datetime_index_and_divisions(market):
    p = params([], DAY0, DAY0 + 3 * NS_DAY)
    ddf = market.to_dask(p, datetimes=True)
    plain = market.query(p).to_pandas().set_index("ts_event")
    assert ddf.known_divisions and all(d.tz is not None for d in ddf.divisions)
    got = ddf.compute(scheduler="sync")
    assert str(got.index.dtype) == "datetime64[ns, UTC]" and got.index.name == "ts_event"
    assert str(got["ts_recv"].dtype) == "datetime64[ns, UTC]"
    assert got.index.asi8.tolist() == plain.index.tolist()
    assert got["ts_recv"].astype("int64").tolist() == plain["ts_recv"].tolist()
    pd.testing.assert_frame_equal(got.drop(columns="ts_recv").reset_index(drop=True),
                                  plain.drop(columns="ts_recv").reset_index(drop=True),
                                  check_exact=True)
    hour = ddf.loc["2025-12-02 00:00":"2025-12-02 01:00"].compute(scheduler="sync")
    assert ((hour.index >= pd.Timestamp("2025-12-02", tz="UTC"))
            & (hour.index <= pd.Timestamp("2025-12-02 01:00", tz="UTC"))).all()
    assert len(hour) == ((plain.index >= DAY0 + NS_DAY)
                         & (plain.index <= DAY0 + NS_DAY + 3600 * 10**9)).sum()


def test_workers_read_straight_from_the_store(market, s3_server):
    distributed = pytest.importorskip("distributed")
    import orx.dask
    from orx import reduce

    result = market.query(params([], DAY0, DAY0 + 3 * NS_DAY))
    single = reduce.ohlcv(result, "10min")
    frame = result.to_pandas().set_index("ts_event")
    s3_server.reset()
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None, worker_dashboard_address=None) as lc, \
            distributed.Client(lc, timeout="60s") as client:
        bars = client.compute(orx.dask.ohlcv(result, "10min")).result(timeout=120)
        got = client.compute(result.to_dask()).result(timeout=120)
    pd.testing.assert_frame_equal(bars, single, check_exact=True)
    pd.testing.assert_frame_equal(got, frame, check_exact=True)
    ranged = [r for r in s3_server.requests() if r[0] == "GET" and r[3] is not None
              and not r[1].endswith("_index.json")]
    assert len(ranged) >= 2 * len(result.plan.parts)  # each run read the days on the workers


def test_the_service_serves_a_catalog_at_a_url(remote, s3_server, s3_url):
    for module in ("starlette", "uvicorn", "httpx"):
        pytest.importorskip(module)
    env = {"AWS_ENDPOINT_URL": s3_server.endpoint, "AWS_ACCESS_KEY_ID": "testing",
           "AWS_SECRET_ACCESS_KEY": "testing"}
    p = subprocess.Popen([sys.executable, "-m", "orx", "serve", s3_url, "--port", "0"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **env))
    try:
        line = p.stdout.readline().decode().strip()
        assert line.startswith(f"orx serve: {s3_url} at http://127.0.0.1:"), p.stderr.read()
        with orx.Client(line.rsplit(" at ", 1)[1]) as client:
            got = client.timeseries.get_range(dataset="futures", schema="mbp-1", symbols="NQZ5",
                                              start="2025-12-01", end="2025-12-04")
            want = remote.query(params(["NQZ5"], DAY0, DAY0 + 3 * NS_DAY))
            assert got.to_numpy().tobytes() == want.to_numpy().tobytes()
    finally:
        p.terminate()
        p.wait(timeout=30)
