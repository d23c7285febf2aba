"""The catalog's public API: what it holds, plans of plain values with exact counts, results
streamed in bounded memory, and query results equal to an independent reference for random
requests over every form of day file."""

import datetime as dt
import errno
import os
import pickle
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import orx
import orx.catalog as oc
from orx import _ext
from catalog_util import DAY0, NS_DAY, TICKERS, WRITE_IDS, WRITE_WAYS, params, records, spread
from stream_util import mbp1_bytes, stream, trade_bytes


def rows(result):
    a = result.to_numpy()
    return list(zip(a["ts_event"].tolist(), a["instrument_id"].tolist(), a["price"].tolist()))


@pytest.fixture(params=WRITE_WAYS, ids=WRITE_IDS)
def cat(tmp_path, request):
    compression, fmt = request.param
    c = orx.Catalog(tmp_path, compression=compression, day_format=fmt)
    c.write(records(spread(days=3)))
    return c


# --- a catalog that is not there -------------------------------------------------------------


@pytest.mark.parametrize("call", [
    lambda c: c.query(params(["ESZ5"], DAY0, DAY0 + NS_DAY)),
    lambda c: c.plan(params([], DAY0, DAY0 + NS_DAY)),
    lambda c: c.symbols(orx.Dataset.FUTURES, orx.Schema.MBP1),
    lambda c: c.datasets(),
    lambda c: c.schemas(orx.Dataset.FUTURES),
    lambda c: c.range(orx.Dataset.FUTURES),
    lambda c: c.resolve(params(["ESZ5"], DAY0, DAY0 + NS_DAY)),
    lambda c: c.reindex(),
], ids=["query", "plan", "symbols", "datasets", "schemas", "range", "resolve", "reindex"])
def test_reading_a_missing_catalog_names_it(tmp_path, call):
    root = tmp_path / "nonexistent" / "x"
    with pytest.raises(FileNotFoundError) as e:
        call(orx.Catalog(root))
    assert e.value.errno == errno.ENOENT and e.value.filename == str(root)
    assert str(e.value) == (f"[Errno 2] no catalog here: the directory does not exist "
                            f"(writing to a catalog creates it): '{root}'")
    assert not root.exists()
    (tmp_path / "file").write_text("x")
    with pytest.raises(NotADirectoryError):
        call(orx.Catalog(tmp_path / "file"))


def test_writing_creates_the_catalog(tmp_path):
    root = tmp_path / "new" / "catalog"
    orx.Catalog(root).write(records([(DAY0, 7)]))
    assert orx.Catalog(root).datasets() == [orx.Dataset.FUTURES]


# --- what it holds ---------------------------------------------------------------------------


def test_datasets_schemas_and_range(tmp_path):
    c = orx.Catalog(tmp_path)
    assert c.datasets() == [] and c.range(orx.Dataset.FUTURES) is None
    c.write(stream(trade_bytes(ts=DAY0 + 9), symbols=((7, "X"),), schema=6))
    c.write(records([(DAY0 + NS_DAY + 3, 7), (DAY0 + 5, 8)]))
    equities = stream(mbp1_bytes(ts=DAY0 - 4), symbols=((7, "X"),))
    c.write(equities[:2] + bytes([1, 2]) + equities[4:])  # the dataset byte: EQUITIES
    (tmp_path / "OPTION" / "mbp-1").mkdir(parents=True)  # a directory without day files
    assert c.datasets() == [orx.Dataset.FUTURES, orx.Dataset.EQUITIES]
    assert c.schemas(orx.Dataset.FUTURES) == [orx.Schema.MBP1, orx.Schema.TRADES]
    assert c.schemas(orx.Dataset.OPTION) == []
    assert c.range(orx.Dataset.FUTURES) == (DAY0 + 5, DAY0 + NS_DAY + 4)
    assert c.range(orx.Dataset.FUTURES, orx.Schema.TRADES) == (DAY0 + 9, DAY0 + 10)
    assert c.range(orx.Dataset.EQUITIES, orx.Schema.MBP1) == (DAY0 - 4, DAY0 - 3)
    assert c.range(orx.Dataset.OPTION) is None


@pytest.fixture
def rolling(tmp_path):
    c = orx.Catalog(tmp_path)
    times = [(DAY0 + 1, 7), (DAY0 + 2, 9), (DAY0 + NS_DAY + 1, 7), (DAY0 + NS_DAY + 2, 9),
             (DAY0 + NS_DAY + 3, 10), (DAY0 + 2 * NS_DAY + 1, 9), (DAY0 + 2 * NS_DAY + 2, 10)]
    c.write(stream(*[mbp1_bytes(iid=i, ts=t) for t, i in times],
                   symbols=(*TICKERS.items(), (10, "ESM6"))))
    return c


@pytest.mark.parametrize("symbols, stype, start, end, expected, missing", [
    (["ESZ5", "CLF6"], orx.Stype.RAW, DAY0, DAY0 + 3 * NS_DAY,
     {"ESZ5": [("2025-12-01", 7, "ESZ5"), ("2025-12-02", 7, "ESZ5")], "CLF6": []}, ["CLF6"]),
    (["ESZ5"], orx.Stype.RAW, DAY0 + 2, DAY0 + NS_DAY + 1, {"ESZ5": []}, ["ESZ5"]),
    (["ES.c.0", "ES.c.1"], orx.Stype.CONTINUOUS, DAY0, DAY0 + 3 * NS_DAY,
     {"ES.c.0": [("2025-12-01", 7, "ESZ5"), ("2025-12-02", 7, "ESZ5"), ("2025-12-03", 9, "ESH6")],
      "ES.c.1": [("2025-12-01", 9, "ESH6"), ("2025-12-02", 9, "ESH6"),
                 ("2025-12-03", 10, "ESM6")]}, []),
    (["ES.c.2"], orx.Stype.CONTINUOUS, DAY0 + NS_DAY, DAY0 + 3 * NS_DAY,
     {"ES.c.2": [("2025-12-02", 10, "ESM6")]}, []),
    (["ES.c.0"], orx.Stype.CONTINUOUS, DAY0, DAY0, {"ES.c.0": []}, ["ES.c.0"]),
])
def test_resolve_maps_symbols_day_by_day(rolling, symbols, stype, start, end, expected, missing):
    assert rolling.resolve(params(symbols, start, end, stype=stype)) == (expected, missing)


# --- plans -----------------------------------------------------------------------------------


def test_a_plan_is_plain_values_and_pickles(cat):
    p = cat.plan(dataset="futures", schema="mbp-1", symbols="NQZ5,ESH6", start="2025-12-01",
                 end="2025-12-02T12:00Z")
    assert p == cat.plan(params(["NQZ5", "ESH6"], DAY0, DAY0 + NS_DAY * 3 // 2))
    assert [part.day for part in p.parts] == ["2025-12-01", "2025-12-02"]
    part = p.parts[0]
    assert (part.format, part.start, part.end, part.ids) == (cat.day_format, DAY0, DAY0 + 3 * NS_DAY // 2,
                                                             (8, 9))
    assert [b[:2] for b in part.blocks] == [(8, 2), (9, 2)]
    again = pickle.loads(pickle.dumps(p))
    assert again == p and rows(again.result()) == rows(cat.query(p.parts and params(
        ["NQZ5", "ESH6"], DAY0, DAY0 + NS_DAY * 3 // 2)))
    with pytest.raises(TypeError, match="give a RetrieveParams .* or keywords, not both"):
        cat.plan(params([], 0, 1), dataset="futures")


@pytest.mark.parametrize("start, end", [
    (0, 1 << 62), (DAY0 + 3, DAY0 + 7), (DAY0 + 2, DAY0 + 2 * NS_DAY + 4),
    (DAY0 + 9, DAY0 + 10), (DAY0 + NS_DAY, DAY0 + NS_DAY)])
def test_plan_counts_exactly_reading_only_the_blocks_the_bounds_cut(tmp_path, monkeypatch,
                                                                    start, end):
    monkeypatch.setattr(oc._stream_format, "BLOCK_RECORDS", 3)
    c = orx.Catalog(tmp_path)
    times = [(DAY0 + t, 7) for t in range(8)] + [(DAY0 + 2 * t, 8) for t in range(4)] + [
        (DAY0 + NS_DAY + t, 9) for t in range(5)] + [(DAY0 + 2 * NS_DAY + t, 7) for t in range(6)]
    c.write(records(times))
    got = []
    read = oc._storage.ReadFile.read
    monkeypatch.setattr(oc._storage.ReadFile, "read",
                        lambda self, off, n: got.append(n) or read(self, off, n))
    p = c.plan(params([], start, end))
    planned_reads = len(got)
    want = [(t, i) for t, i in times if start <= t < end]
    assert p.record_count == len(want)
    cut = [b for part in p.parts for b in part.blocks
           if not (b[2] >= part.start and b[3] < part.end)]
    assert len(got) - planned_reads == sum(1 + len([b for b in part.blocks if b in cut]) for part
                                           in p.parts if any(b in cut for b in part.blocks))
    meta = p.metadata
    assert meta.mappings.map == {i: TICKERS[i] for i in sorted({i for _, i in want})}
    data = p.result().to_bytes()
    assert p.stream_size == len(data) and meta.encode() == data[:len(meta.encode())]


# --- results ---------------------------------------------------------------------------------


@pytest.mark.parametrize("compression, level", [(None, None), ("zstd", None), ("zstd", 7)])
def test_stream_gives_the_bytes_write_writes_in_bounded_pieces(tmp_path, monkeypatch,
                                                               compression, level):
    monkeypatch.setattr(oc._result, "_PIECE", 1000)
    c = orx.Catalog(tmp_path / "c")
    c.write(records(spread(days=3, per_day=40)))
    result = c.query(params(["ESZ5", "NQZ5"], DAY0 + 5, DAY0 + 3 * NS_DAY))
    pieces = list(result.stream(compression, level))
    data = b"".join(pieces)
    plain = data if compression is None else _ext.zstd_decompress(data)
    assert plain == result.to_bytes()
    assert len(plain) == result.plan.stream_size
    if compression is None:
        assert max(map(len, pieces)) <= 1000 and len(pieces) > 3
    result.write(tmp_path / "out.orx", compression, level)
    assert (tmp_path / "out.orx").read_bytes() == data


@pytest.mark.parametrize("args, error, message", [
    (("lz4",), ValueError, "compression must be None or 'zstd', not 'lz4'"),
    ((None, 3), ValueError, "a level needs compression='zstd'"),
    (("zstd", "3"), TypeError, "level must be an int, not str"),
])
def test_stream_refuses_bad_arguments_before_writing(cat, tmp_path, args, error, message):
    result = cat.query(params([], 0, 1 << 62))
    with pytest.raises(error) as e:
        result.stream(*args)
    assert str(e.value) == message
    with pytest.raises(error):
        result.write(tmp_path / "x.orx", *args)
    assert not (tmp_path / "x.orx").exists()


def test_a_day_that_changes_under_a_stream_stops_it(cat):
    result = cat.query(params([], 0, 1 << 62))
    assert len(result) == 18  # from the plan
    cat.write(stream(mbp1_bytes(iid=11, ts=DAY0 + 1), symbols=((11, "CLF6"),)))
    with pytest.raises(ValueError) as e:
        list(result.stream())
    assert str(e.value).endswith("changed while its records were streamed: instrument 11 "
                                 "('CLF6') is not in the stream's metadata; query again")


def test_result_len_and_metadata_come_from_the_plan_until_read(cat, monkeypatch):
    opened = []
    open_file = oc._storage.LocalStorage.open_file
    monkeypatch.setattr(oc._storage.LocalStorage, "open_file",
                        lambda self, rel: opened.append(rel) or open_file(self, rel))
    result = cat.query(params(["ESZ5"], DAY0, DAY0 + 3 * NS_DAY))
    assert len(result) == 6 and result.metadata.mappings.map == {7: "ESZ5"}
    assert [r for r in opened if r.endswith(".zst")] == []  # the index said it all
    assert [b.to_numpy()["instrument_id"].tolist() for b in result.batches()] == [[7, 7]] * 3
    assert [r.instrument_id for r in result] == [7] * 6


# --- against a reference ---------------------------------------------------------------------

MONTHS = "FGHJKMNQUVXZ"
CONTRACTS = {1: "ESZ5", 2: "ESH6", 3: "ESM6", 4: "NQH6"}


def front(tickers, root, rank, year):
    """The contract of `root` of `rank` by expiry among `tickers`, from the ticker text."""
    dated = []
    for t in tickers:
        if t.startswith(root) and len(t) == len(root) + 2:
            y = year + (int(t[-1]) - year) % 10
            dated.append(((y, MONTHS.index(t[-2])), t))
    dated.sort()
    return dated[rank][1] if rank < len(dated) else None


def reference(cat, symbols, stype, start, end):
    out = []
    d = cat.directory(orx.Dataset.FUTURES, orx.Schema.MBP1)
    for path in sorted(d.glob("2*")):
        with orx.open(path) as r:
            tickers = r.metadata.mappings.map
            recs = [(x.ts_event, x.instrument_id, x.price) for x in r]
        if not symbols:
            wanted = None
        elif stype == orx.Stype.CONTINUOUS:
            held = {tickers[i] for _, i, _ in recs}
            year = int(path.name[:4])
            wanted = {front(held, s.split(".")[0], int(s.split(".")[2]), year) for s in symbols}
        else:
            wanted = set(symbols)
        day = [x for x in recs if start <= x[0] < end and (wanted is None
                                                          or tickers[x[1]] in wanted)]
        out += sorted(day, key=lambda x: (x[0], x[1]))
    return out


def reform(path, how):
    """Rewrites a day file in another form that orx.open reads the same."""
    if path.name.endswith(".orxday"):  # a day file of format 2 has one form
        return
    data = path.read_bytes()
    plain = _ext.zstd_decompress(data) if path.name.endswith(".zst") else data
    if how == "one frame":
        z = _ext.ZstdWriter(1)
        data = z.compress(plain) + z.finish()
    elif how == "cut frames":
        z = _ext.ZstdWriter(1)
        cut = len(plain) // 3
        data = (z.compress(plain[:cut]) + z.finish() + (0x184D2A50).to_bytes(4, "little")
                + bytes(4) + z.compress(plain[cut:]) + z.finish())
    else:
        return
    path.write_bytes(data)


day_times = st.lists(st.tuples(st.integers(0, 3), st.sampled_from([0, 1, 2, 5, 9, 10]),
                               st.sampled_from(sorted(CONTRACTS))), min_size=1, max_size=40)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(writes=st.lists(day_times, min_size=1, max_size=3),
       way=st.sampled_from(WRITE_WAYS),
       forms=st.lists(st.sampled_from(["as written", "one frame", "cut frames"]), min_size=4,
                      max_size=4),
       symbols=st.one_of(st.just([]), st.lists(st.sampled_from(list(CONTRACTS.values())
                                                               + ["ES.c.0", "ES.c.1", "NQ.c.0"]),
                                               min_size=1, max_size=3, unique=True)),
       first=st.integers(0, 3), days=st.integers(0, 3), lo=st.sampled_from([0, 1, 2, 6]),
       hi=st.sampled_from([0, 3, 9, 11]))
def test_query_results_equal_the_reference(writes, way, forms, symbols, first, days, lo, hi):
    continuous = any(".c." in s for s in symbols)
    symbols = [s for s in symbols if (".c." in s) == continuous]
    stype = orx.Stype.CONTINUOUS if continuous else orx.Stype.RAW
    with tempfile.TemporaryDirectory() as root:
        compression, fmt = way
        cat = orx.Catalog(root, compression=compression, day_format=fmt)
        for w in writes:
            cat.write(stream(*[mbp1_bytes(iid=i, ts=DAY0 + d * NS_DAY + t, price=k)
                               for k, (d, t, i) in enumerate(w)],
                             symbols=tuple(CONTRACTS.items())))
        for path, how in zip(sorted(cat.directory(orx.Dataset.FUTURES,
                                                  orx.Schema.MBP1).glob("2*")), forms):
            reform(path, how)
        if any(f != "as written" for f in forms):
            cat.reindex()
        start = DAY0 + first * NS_DAY + lo
        end = DAY0 + (first + days) * NS_DAY + hi
        held = {CONTRACTS[i] for w in writes for _, _, i in w}
        if not continuous and any(s not in held for s in symbols):
            with pytest.raises(oc.UnknownSymbolError):
                cat.query(params(symbols, start, end, stype=stype))
            return
        want = reference(cat, symbols, stype, start, end)
        roots = {s.split(".")[0] for s in symbols}
        if continuous and not want and any(not any(t.startswith(r) for t in held)
                                           for r in roots):
            with pytest.raises(ValueError, match="cannot resolve"):
                cat.query(params(symbols, start, end, stype=stype))
            return
        result = cat.query(params(symbols, start, end, stype=stype))
        assert len(result) == len(want)
        assert rows(result) == want
        assert result.plan.stream_size == len(result.to_bytes())
        assert b"".join(result.stream()) == result.to_bytes()
        assert result.metadata.mappings.map == {i: CONTRACTS[i] for i in sorted({x[1] for x
                                                                                   in want})}


def test_results_and_plans_type_check_strictly(tmp_path):
    from helpers import UNDER_SANITIZER
    if UNDER_SANITIZER:
        pytest.skip("type checks do not involve the build")
    from test_typing import run_mypy

    (tmp_path / "typed.py").write_text(
        "import numpy as np\n"
        "import numpy.typing as npt\n"
        "import orx\n"
        "from orx.catalog import Plan, QueryResult\n"
        "cat = orx.Catalog('market')\n"
        "plan: Plan = cat.plan(dataset='futures', schema='mbp-1', start='2025-12-01',\n"
        "                      end='2025-12-02')\n"
        "result: QueryResult = cat.query(dataset='futures', schema='mbp-1',\n"
        "                                start='2025-12-01', end='2025-12-02')\n"
        "records: npt.NDArray[np.void] = result.to_numpy()\n"
        "count: int = len(result) + plan.record_count + plan.stream_size\n"
        "pieces: list[bytes] = list(result.stream('zstd', 3))\n"
        "frame = result.to_pandas(pretty_ts=True)\n"
        "ddf = result.to_dask()\n"
        "found: tuple[dict[str, list[tuple[str, int, str]]], list[str]] = cat.resolve(\n"
        "    dataset='futures', schema='mbp-1', symbols=['ES.c.0'], start='2025-12-01',\n"
        "    end='2025-12-02', stype_in='continuous')\n"
        "span: tuple[int, int] | None = cat.range(orx.Dataset.FUTURES)\n")
    done = run_mypy("mypy", "--strict", "--follow-imports=silent", "--cache-dir",
                    os.path.join("build", "mypy-cache"), str(tmp_path / "typed.py"))
    assert done.returncode == 0, done.stdout + done.stderr
