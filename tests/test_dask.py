import os
import re
import sys

import pytest

import orx
import orx.catalog as oc
from catalog_util import DAY0, NS_DAY, params, records, spread
from stream_util import mbp1_bytes, stream

dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")
import orx.dask  # noqa: E402


@pytest.fixture
def split_small(monkeypatch):
    monkeypatch.setattr(oc._index, "SPLIT_EVERY", 4)


@pytest.fixture(params=[("zstd", "local", None), ("zstd", "local", 1), (None, "local", 1),
                        ("zstd", "s3", None)],
                ids=["dayfile", "zstd", "raw", "dayfile-s3"])
def cat(tmp_path, split_small, request):
    compression, where, fmt = request.param
    if where == "local":
        c = orx.Catalog(tmp_path, compression=compression, day_format=fmt)
    else:
        c = orx.Catalog(request.getfixturevalue("s3_url"),
                        request.getfixturevalue("s3_server").options, compression=compression)
    c.write(records(spread(days=3, per_day=10)))
    return c


def expected(cat, p, pretty_px=False):
    return cat.query(p).to_pandas(False, pretty_px).set_index("ts_event")


@pytest.mark.parametrize("pretty_px", [False, True])
def test_meta_has_the_dtypes_of_the_pandas_path(cat, pretty_px):
    p = params(["ESZ5"], DAY0, DAY0 + 3 * NS_DAY)
    ddf = cat.to_dask(p, pretty_px=pretty_px)
    want = expected(cat, p, pretty_px)
    assert list(ddf.columns) == list(want.columns)
    assert ddf.dtypes.to_dict() == want.dtypes.to_dict()
    assert ddf.index.dtype == want.index.dtype and ddf.index.name == "ts_event"


def test_partitions_follow_days_and_split_points(cat):
    p = params([], DAY0 + NS_DAY // 10, DAY0 + 2 * NS_DAY + 5)
    ddf = cat.to_dask(p)
    tenth = NS_DAY // 10
    # 10 records a day cut every 4: pieces start at records 0, 4 and 8 of each day
    assert ddf.divisions == (DAY0 + tenth, DAY0 + 4 * tenth, DAY0 + 8 * tenth,
                             DAY0 + NS_DAY, DAY0 + NS_DAY + 4 * tenth, DAY0 + NS_DAY + 8 * tenth,
                             DAY0 + 2 * NS_DAY, DAY0 + 2 * NS_DAY + 4)
    parts = [ddf.get_partition(i).compute() for i in range(ddf.npartitions)]
    assert [len(x) for x in parts] == [3, 4, 2, 4, 4, 2, 1]
    pd.testing.assert_frame_equal(pd.concat(parts), expected(cat, p), check_exact=True)


def test_filters_travel_into_partitions(cat):
    p = params(["NQZ5", "ESH6"], DAY0 + 1, DAY0 + 2 * NS_DAY)
    got = cat.to_dask(p).compute(scheduler="sync")
    pd.testing.assert_frame_equal(got, expected(cat, p), check_exact=True)
    assert set(got["symbol"]) == {"NQZ5", "ESH6"}


def test_an_empty_request_is_an_empty_frame_of_the_same_columns(cat):
    ddf = cat.to_dask(params(["ESZ5"], DAY0 + 5 * NS_DAY, DAY0 + 6 * NS_DAY))
    got = ddf.compute()
    assert len(got) == 0 and list(got.columns) == list(expected(cat, params([], DAY0, DAY0 + 1)).columns)


def test_read_over_plain_files(tmp_path, split_small):
    a = tmp_path / "a.orx"
    b = tmp_path / "b.orx"
    a.write_bytes(records(spread(days=1, per_day=10)))
    b.write_bytes(records([(DAY0 + NS_DAY + k, 8) for k in range(3)]))
    ddf = orx.dask.read(str(tmp_path / "*.orx"), symbols=["NQZ5"], start=DAY0 + 1)
    assert ddf.known_divisions and ddf.npartitions == 4
    want = pd.concat([orx.open(a).to_pandas(), orx.open(b).to_pandas()], ignore_index=True)
    want = want[(want["symbol"] == "NQZ5") & (want["ts_event"] >= DAY0 + 1)]
    pd.testing.assert_frame_equal(ddf.compute(), want.set_index("ts_event"), check_exact=True)


def test_read_of_unordered_files_has_unknown_divisions(tmp_path):
    (tmp_path / "x.orx").write_bytes(records([(DAY0 + 5, 7), (DAY0 + 1, 8)]))
    (tmp_path / "y.orx").write_bytes(records([(DAY0 + 3, 7)]))
    ddf = orx.dask.read([tmp_path / "x.orx", tmp_path / "y.orx"], start=DAY0 + 2)
    assert not ddf.known_divisions
    assert ddf.compute().index.tolist() == [DAY0 + 5, DAY0 + 3]
    with pytest.raises(FileNotFoundError, match="no stream file matches"):
        orx.dask.read(str(tmp_path / "*.zzz"))


def test_read_refuses_files_of_different_kinds(tmp_path):
    from stream_util import trade_bytes
    (tmp_path / "a.orx").write_bytes(stream(mbp1_bytes(ts=1)))
    (tmp_path / "b.orx").write_bytes(stream(trade_bytes(ts=2), schema=6))
    with pytest.raises(ValueError, match="b.orx holds trades records, unlike the files before it"):
        orx.dask.read(str(tmp_path / "*.orx"))


def test_missing_dask_names_the_extra(cat, monkeypatch):
    monkeypatch.setitem(sys.modules, "dask.dataframe", None)
    with pytest.raises(ImportError, match=r"orx.dask needs dask: pip install 'orx-marketdata\[dask\]'"):
        cat.to_dask(params([], 0, 1))


def test_local_cluster_of_processes_gives_the_single_process_answer(cat):
    if cat.compression is None or isinstance(cat.root, str):
        pytest.skip("one cluster run is enough here; the partitions are the same on each")
    distributed = pytest.importorskip("distributed")
    p = params(["ESZ5", "ESH6"], DAY0 + NS_DAY // 3, DAY0 + 3 * NS_DAY - 1)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None, worker_dashboard_address=None) as lc, \
            distributed.Client(lc, timeout="60s") as client:
        future = client.compute(cat.to_dask(p))
        got = future.result(timeout=120)
        pids = set(client.run(os.getpid).values())
    pd.testing.assert_frame_equal(got, expected(cat, p), check_exact=True)
    assert len(pids) == 2 and os.getpid() not in pids


# --- only some columns -----------------------------------------------------------------------

COLUMN_SETS = [["symbol", "price"], ["action", "side", "ts_recv", "size"], ["bid_px"],
               ["ts_in_delta", "symbol", "sequence"]]


@pytest.mark.parametrize("day_format", [1, 2])
@pytest.mark.parametrize("datetimes", [False, True])
@pytest.mark.parametrize("pretty_px", [False, True])
def test_columns_are_those_of_the_whole_frame(tmp_path, split_small, pretty_px, datetimes,
                                              day_format):
    cat = orx.Catalog(tmp_path, compression="zstd", day_format=day_format)
    assert cat.day_format == day_format
    cat.write(records(spread(days=3, per_day=10)))
    cat.write(records([(DAY0 + 7, 99), (DAY0 + 8, 7)], ts_in_delta=-7, action=84))  # 99: no ticker
    p = params([], DAY0, DAY0 + 3 * NS_DAY)
    whole = cat.to_dask(p, pretty_px=pretty_px, datetimes=datetimes).compute(scheduler="sync")
    assert whole["symbol"].isna().sum() == 1
    for columns in COLUMN_SETS:
        ddf = cat.to_dask(p, pretty_px=pretty_px, datetimes=datetimes, columns=columns)
        assert list(ddf.columns) == columns
        pd.testing.assert_frame_equal(ddf.compute(scheduler="sync"), whole[columns],
                                      check_exact=True)


def test_dask_asks_the_partitions_for_the_columns_a_computation_uses(cat, monkeypatch):
    asked = []
    real = orx.dask._partition

    def partition(piece, pretty_px, empty, datetimes=False, columns=None):
        asked.append(columns)
        return real(piece, pretty_px, empty, datetimes, columns)

    monkeypatch.setattr(orx.dask, "_partition", partition)
    p = params([], DAY0, DAY0 + 3 * NS_DAY)
    got = cat.to_dask(p).groupby("symbol")["price"].agg(["mean", "count"]).compute(
        scheduler="sync")
    want = expected(cat, p).groupby("symbol")["price"].agg(["mean", "count"])
    pd.testing.assert_frame_equal(got.sort_index(), want.sort_index(), check_exact=True)
    assert asked and all(sorted(c) == ["price", "symbol"] for c in asked)


@pytest.mark.parametrize("columns, error, message", [
    (["price", "nope"], ValueError, "'nope' is not a column; the columns are length, rtype"),
    (["ts_event"], ValueError, "'ts_event' is the index, not a column; the columns are"),
    ("price", TypeError, "columns must be a list of column names, not a str"),
])
def test_columns_that_are_not_columns_are_refused(cat, columns, error, message):
    with pytest.raises(error, match=re.escape(message)):
        cat.to_dask(params([], DAY0, DAY0 + NS_DAY), columns=columns)


def test_read_of_plain_files_takes_columns(tmp_path, split_small):
    path = tmp_path / "a.orx"
    path.write_bytes(records(spread(days=2, per_day=10)))
    got = orx.dask.read(str(path), symbols=["NQZ5"], columns=["price", "symbol"]).compute(
        scheduler="sync")
    whole = orx.dask.read(str(path), symbols=["NQZ5"]).compute(scheduler="sync")
    pd.testing.assert_frame_equal(got, whole[["price", "symbol"]], check_exact=True)
