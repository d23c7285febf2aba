import json
import re
import os
import signal
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orx
import orx.catalog as oc
from catalog_util import (DAY0, NS_DAY, TICKERS, WRITE_IDS, WRITE_WAYS, day_name, day_text,
                          index_doc, params, records, spread)
from stream_util import mbp1_bytes, stream
from helpers import TEMPORARY, temporaries

MBP1_DIR = ("FUTURES", "mbp-1")


@pytest.fixture(params=WRITE_WAYS, ids=WRITE_IDS)
def lcat(tmp_path, request):
    """A catalog in a local directory."""
    compression, fmt = request.param
    return orx.Catalog(tmp_path, compression=compression, day_format=fmt)


@pytest.fixture(params=[(w, where) for where in ("local", "s3") for w in WRITE_WAYS],
                ids=[f"{i}-{where}" for where in ("local", "s3") for i in WRITE_IDS])
def cat(tmp_path, request):
    """A catalog in a local directory or in the S3 emulator."""
    (compression, fmt), where = request.param
    if where == "local":
        return orx.Catalog(tmp_path, compression=compression, day_format=fmt)
    server = request.getfixturevalue("s3_server")
    return orx.Catalog(request.getfixturevalue("s3_url"), server.options,
                       compression=compression, day_format=fmt)


def fname(cat, day):
    return day_name(cat, day)


@pytest.fixture
def full(cat):
    cat.write(records(spread()))
    return cat


@pytest.fixture
def lfull(lcat):
    lcat.write(records(spread()))
    return lcat


def day_dir(cat):
    return cat.root.joinpath(*MBP1_DIR)


def rows(result):
    """(ts_event, instrument_id, price) of every record of a query result, in order."""
    a = result.to_numpy()
    return list(zip(a["ts_event"].tolist(), a["instrument_id"].tolist(), a["price"].tolist()))


def meta_of(stream_bytes):
    return orx.Metadata.decode(stream_bytes).encode()


def index_text(cat):
    return (day_dir(cat) / oc.INDEX_NAME).read_bytes()


DAY_FILE = re.compile(r"^\d{4}-\d{2}-\d{2}\.(orx(\.zst)?|orxday)$")


@pytest.fixture
def opened(monkeypatch):
    """Names of the day files the catalog opens to read records."""
    seen = []
    open_file = oc._storage.LocalStorage.open_file

    def counting(self, rel):
        name = rel.rpartition("/")[2]
        if DAY_FILE.match(name):
            seen.append(name)
        return open_file(self, rel)

    monkeypatch.setattr(oc._storage.LocalStorage, "open_file", counting)
    return seen


# --- layout and writing ----------------------------------------------------------------------


def test_days_are_split_at_utc_midnight_and_named_by_day(lcat):
    times = [(DAY0 - 1, 7), (DAY0, 8), (DAY0 + NS_DAY - 1, 7), (DAY0 + NS_DAY, 9)]
    written = lcat.write(records(times))
    names = sorted(p.name for p in written)
    assert names == [day_name(lcat, d) for d in ("2025-11-30", "2025-12-01", "2025-12-02")]
    assert sorted(os.listdir(day_dir(lcat))) == sorted(names + [oc.INDEX_NAME, oc.LOCK_NAME])
    with orx.open(day_dir(lcat) / day_name(lcat, "2025-12-01")) as r:
        meta = r.metadata
        got = [(rec.ts_event, rec.instrument_id) for rec in r]
    # a day file keeps each instrument's records together, by instrument id
    assert got == [(DAY0 + NS_DAY - 1, 7), (DAY0, 8)]
    assert (meta.schema, meta.dataset) == (orx.Schema.MBP1, orx.Dataset.FUTURES)
    assert (meta.start, meta.end) == (DAY0, DAY0 + NS_DAY)
    assert meta.mappings.map == {7: "ESZ5", 8: "NQZ5"}  # only the instruments of that day


def test_append_merges_by_ts_event_keeping_write_order_for_equal_times(cat):
    cat.write(records([(DAY0 + 30, 7), (DAY0 + 10, 7)]))
    cat.write(stream(mbp1_bytes(iid=8, ts=DAY0 + 20, price=100),
                     mbp1_bytes(iid=7, ts=DAY0 + 10, price=101), symbols=((7, "ESZ5"), (8, "NQZ5"))))
    got = rows(cat.query(params([], DAY0, DAY0 + NS_DAY)))
    assert got == [(DAY0 + 10, 7, 1), (DAY0 + 10, 7, 101), (DAY0 + 20, 8, 100), (DAY0 + 30, 7, 0)]


def test_replace_touches_only_the_days_in_the_data(full):
    full.write(records([(DAY0 + NS_DAY + 5, 8)]), mode="replace")
    got = rows(full.query(params([], DAY0, DAY0 + 3 * NS_DAY)))
    assert [r[0] for r in got if DAY0 + NS_DAY <= r[0] < DAY0 + 2 * NS_DAY] == [DAY0 + NS_DAY + 5]
    assert len(got) == 6 + 1 + 6


@pytest.mark.parametrize("make, message", [
    (lambda: stream(mbp1_bytes(ts=DAY0, iid=7), symbols=((7, "NQZ5"),)),
     "instrument id 7 is 'ESZ5' in the day file of 2025-12-01 and 'NQZ5' in the data written"),
    (lambda: stream(mbp1_bytes(ts=DAY0, length=22)), "record 0 has length 22 and rtype 1"),
    (lambda: stream(mbp1_bytes(ts=DAY0))[:-1], "are not a whole number of 96-byte records"),
    (lambda: stream(mbp1_bytes(ts=DAY0), schema=7), "schema tbbo has no record layout"),
])
def test_refused_writes_leave_the_catalog_unchanged(lfull, make, message):
    before = {n: (day_dir(lfull) / n).read_bytes() for n in os.listdir(day_dir(lfull))}
    with pytest.raises(ValueError, match=message):
        lfull.write(make())
    after = {n: (day_dir(lfull) / n).read_bytes() for n in os.listdir(day_dir(lfull))}
    assert after == before


def test_write_takes_record_objects_and_arrays_with_metadata(cat):
    from records_util import mbp1, ohlcv
    meta = orx.Metadata(orx.Schema.OHLCV1_M, orx.Dataset.FUTURES, 0, 0, orx.SymbolMap({1: "ESZ5"}))
    cat.write([ohlcv(ts_event=DAY0 + 5), ohlcv(ts_event=DAY0 + 1)], meta)
    got = cat.query(params(["ESZ5"], DAY0, DAY0 + 10, schema=orx.Schema.OHLCV1_M)).to_numpy()
    assert got["ts_event"].tolist() == [DAY0 + 1, DAY0 + 5]
    mbp_meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0, orx.SymbolMap({7: "X"}))
    cat.write(orx.open(records([(DAY0, 7)])).to_numpy(), mbp_meta)
    cat.write([mbp1(ts_event=DAY0 + 1)], mbp_meta)
    assert [r[0] for r in rows(cat.query(params(["X"], DAY0, DAY0 + 10)))] == [DAY0, DAY0 + 1]
    with pytest.raises(TypeError, match="metadata is required"):
        cat.write([mbp1()])


# --- atomic replacement ----------------------------------------------------------------------


def test_a_failed_write_leaves_the_old_day_and_no_temporary_file(lfull, monkeypatch):
    path = lfull.path_of(orx.Dataset.FUTURES, orx.Schema.MBP1, "2025-12-01")
    old, old_index = path.read_bytes(), index_text(lfull)
    finish = oc._storage.StagedFile.finish

    def crash(self):
        if self.final != path.name:
            return finish(self)
        # the day's new content is a hidden file of the catalog's own beside it
        assert TEMPORARY.match(self.name)["target"] == path.name
        assert os.path.exists(day_dir(lfull) / self.name)
        raise KeyboardInterrupt

    monkeypatch.setattr(oc._storage.StagedFile, "finish", crash)
    with pytest.raises(KeyboardInterrupt):
        lfull.write(records([(DAY0 + 1, 7)]))
    monkeypatch.undo()
    assert path.read_bytes() == old
    assert index_text(lfull) == old_index
    assert not temporaries(day_dir(lfull))


def killed_writer(root, data, moment, mode="append"):
    """Runs `Catalog(root).write(data)` in a child process killed at `moment` of the write."""
    script = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path[:3]!r}
        import orx
        orx.Catalog({str(root)!r}).write(sys.stdin.buffer.read(), mode={mode!r})
        print("not killed")
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), ORX_CATALOG_KILL_AT=moment)
    done = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True,
                          env=env, cwd=os.path.dirname(__file__), timeout=120)
    assert done.returncode == -signal.SIGKILL, done.stderr.decode()


def test_a_killed_writer_leaves_old_days_that_readers_and_the_next_writer_handle(lfull):
    path = lfull.path_of(orx.Dataset.FUTURES, orx.Schema.MBP1, "2025-12-01")
    old = path.read_bytes()
    before = rows(lfull.query(params([], DAY0, DAY0 + 3 * NS_DAY)))
    killed_writer(lfull.root, records([(DAY0 + 1, 7)]), "staged")
    temps = temporaries(day_dir(lfull))
    assert len(temps) == 1 and TEMPORARY.match(temps[0])["target"] == path.name
    assert path.read_bytes() == old
    assert rows(lfull.query(params([], DAY0, DAY0 + 3 * NS_DAY))) == before
    lfull.write(records([(DAY0 + 2 * NS_DAY + 1, 9)]))  # the next writer clears the leftover
    assert not temporaries(day_dir(lfull))


# --- the index -------------------------------------------------------------------------------


def test_reindex_gives_the_index_the_writes_built(lcat):
    lcat.write(records(spread(days=2)))
    lcat.write(records([(DAY0 + 5, 9), (DAY0 + 3 * NS_DAY, 8)]))
    lcat.write(records([(DAY0 + NS_DAY + 1, 7)]), mode="replace")
    incremental = index_text(lcat)
    (day_dir(lcat) / oc.INDEX_NAME).unlink()
    lcat.reindex()
    # the entries are the files' own; only the log of appends went with the index
    assert index_doc(index_text(lcat))["files"] == index_doc(incremental)["files"]
    doc = index_doc(incremental)
    assert [len(days) for _, days in doc["appends"]] == [2, 2]
    assert [e["file"][:10] for e in doc["files"]] == [
        "2025-12-01", "2025-12-02", "2025-12-04"]
    first = doc["files"][0]
    assert (first["count"], first["start"], first["end"]) == (7, DAY0, DAY0 + 5 * NS_DAY // 6)
    sixth = NS_DAY // 6
    assert first["instruments"] == [[7, "ESZ5", 2, DAY0, DAY0 + 3 * sixth],
                                                     [8, "NQZ5", 2, DAY0 + sixth, DAY0 + 4 * sixth],
                                                     [9, "ESH6", 3, DAY0 + 5, DAY0 + 5 * sixth]]
    size = os.path.getsize(day_dir(lcat) / first["file"])
    assert first["stat"][0] == size
    # the metadata and the instruments' byte ranges (or frames) tile the file (format 2: from
    # its 16-byte header to its directory, whose offset is in the 32-byte trailer)
    lo, hi = 0, size
    if lcat.day_format == 2:
        tail = (day_dir(lcat) / first["file"]).read_bytes()[-32:]
        lo, hi = 16, struct.unpack_from("<Q", tail, 8)[0]
    assert [b[:4] for b in first["blocks"]] == [e[0:1] + e[2:5] for e in first["instruments"]]
    ranges = sorted([first["head"]] + [b[4:] for b in first["blocks"]])
    assert ranges[0][0] == lo and all(a[0] + a[1] == b[0] for a, b in zip(ranges, ranges[1:]))
    assert ranges[-1][0] + ranges[-1][1] == hi


def test_split_points_cut_where_ts_event_grows(monkeypatch):
    monkeypatch.setattr(oc._index, "SPLIT_EVERY", 3)
    ts = np.array([1, 2, 3, 3, 3, 4, 5, 6, 7, 7], dtype=np.uint64)
    # record 3 repeats the time of record 2, so the first cut moves to record 5 (time 4)
    assert oc._index.split_points(ts) == [4, 7]
    assert oc._index.split_points(np.array([5] * 7, dtype=np.uint64)) == []


def test_a_stale_index_is_checked_against_the_files(lfull, opened):
    # a day rewritten behind the index's back (as many records, other times), a day removed,
    # a day the index never saw
    index = index_text(lfull)
    lfull.write(records([(DAY0 + 7 + k, 8) for k in range(6)]), mode="replace")
    (day_dir(lfull) / oc.INDEX_NAME).write_bytes(index)
    os.unlink(lfull.path_of(orx.Dataset.FUTURES, orx.Schema.MBP1, "2025-12-02"))
    lfull.write(records([(DAY0 + 5 * NS_DAY, 7)]))
    (day_dir(lfull) / oc.INDEX_NAME).write_bytes(index)
    opened.clear()
    got = rows(lfull.query(params(["NQZ5"], DAY0, DAY0 + 6 * NS_DAY)))
    assert [(t, i) for t, i, _ in got] == [(DAY0 + 7 + k, 8) for k in range(6)] + [
        (t, i) for t, i in spread()[12:] if i == 8]
    assert sorted(opened) == sorted(fname(lfull, d) for d in
                                    ["2025-12-01", "2025-12-06", "2025-12-01", "2025-12-03"])


def test_a_day_whose_count_differs_from_its_entry_is_an_error_until_reindexed(lfull):
    index = index_text(lfull)
    lfull.write(records([(DAY0 + 7, 8)]), mode="replace")  # 1 record where the entry says 6
    (day_dir(lfull) / oc.INDEX_NAME).write_bytes(index)
    name = fname(lfull, "2025-12-01")
    message = (f"{day_dir(lfull) / oc.INDEX_NAME}: the entry of {name} records 6 records, the "
               f"file holds 1: it was cut short or changed behind the catalog's back; "
               f"Catalog.reindex() accepts the files as they are")
    for call in (lambda: lfull.query(params([], DAY0, DAY0 + NS_DAY)),
                 lambda: lfull.symbols(orx.Dataset.FUTURES, orx.Schema.MBP1),
                 lambda: lfull.write(records([(DAY0 + 9, 9)]))):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == message
    assert index_text(lfull) == index  # the refused write changed nothing
    lfull.reindex()
    assert rows(lfull.query(params([], DAY0, DAY0 + NS_DAY))) == [(DAY0 + 7, 8, 0)]


# --- queries ---------------------------------------------------------------------------------


@pytest.mark.parametrize("start, end, expected", [
    (DAY0, DAY0 + NS_DAY, [0, 1, 2, 3, 4, 5]),  # one whole day
    (DAY0 + 1, DAY0 + NS_DAY, [1, 2, 3, 4, 5]),  # start is inclusive
    (DAY0, DAY0 + NS_DAY // 6, [0]),  # end is exclusive
    (DAY0, DAY0 + NS_DAY // 6 + 1, [0, 1]),
    (DAY0 + 5 * NS_DAY // 6, DAY0 + NS_DAY + 1, [5, 6]),  # across midnight
    (DAY0 + NS_DAY, DAY0 + NS_DAY + 1, [6]),  # midnight belongs to the day it starts
    (DAY0 + NS_DAY - 1, DAY0 + NS_DAY, []),
    (DAY0 - 10 * NS_DAY, DAY0 + 1, [0]),  # days without files
    (-5, DAY0 + 1, [0]),  # a start before the epoch
    (DAY0 + 3 * NS_DAY, DAY0 + 4 * NS_DAY, []),
    (DAY0 + NS_DAY, DAY0, []),  # end before start
])
def test_time_range_edges(full, start, end, expected):
    got = rows(full.query(params([], start, end)))
    assert [p for _, _, p in got] == expected


def test_only_files_that_can_match_are_opened(lcat, opened):
    lcat.write(records(spread(days=4, ids=(7, 8))))
    lcat.write(records([(DAY0 + 2 * NS_DAY + 1, 9)]))  # ESH6 on the third day only
    opened.clear()
    result = lcat.query(params(["ESH6"], DAY0, DAY0 + 4 * NS_DAY))
    assert opened == []  # planning reads the index only
    assert [os.path.basename(p) for p in result.paths] == [fname(lcat, "2025-12-03")]
    assert [r[:2] for r in rows(result)] == [(DAY0 + 2 * NS_DAY + 1, 9)]
    assert opened == [fname(lcat, "2025-12-03")]
    opened.clear()
    # the time range prunes first and last days; a file whose records all lie before the
    # start is not opened either
    result = lcat.query(params(["ESZ5"], DAY0 + NS_DAY + NS_DAY * 5 // 6, DAY0 + 2 * NS_DAY + 2))
    assert [os.path.basename(p) for p in result.paths] == [fname(lcat, "2025-12-03")]


def test_query_takes_params_or_their_json(full):
    p = params(["NQZ5", "ESZ5"], DAY0, DAY0 + NS_DAY)
    a, b = full.query(p), full.query(p.to_json())
    assert rows(a) == rows(b) == [r for r in rows(full.query(params([], DAY0, DAY0 + NS_DAY)))
                                  if r[1] in (7, 8)]
    with pytest.raises(TypeError, match="expected RetrieveParams or its JSON text, got dict"):
        full.query({})
    with pytest.raises(ValueError, match="Failed to deserialize from JSON"):
        full.query("{")


def test_unknown_tickers_are_named_with_where_to_look(full):
    with pytest.raises(oc.UnknownSymbolError) as e:
        full.query(params(["ESZ5", "CLF6", "GCG6"], DAY0, DAY0 + NS_DAY))
    assert str(e.value) == (
        f"unknown tickers 'CLF6', 'GCG6': no day file of FUTURES/mbp-1 in {full.root} holds "
        f"them; Catalog.symbols(Dataset.FUTURES, Schema.MBP1) lists the tickers it has")
    assert isinstance(e.value, KeyError)
    # known, but without records in the range: an empty answer, not an error
    assert rows(full.query(params(["ESZ5"], DAY0 + 9 * NS_DAY, DAY0 + 10 * NS_DAY))) == []
    assert full.symbols(orx.Dataset.FUTURES, orx.Schema.MBP1) == {
        t: ["2025-12-01", "2025-12-02", "2025-12-03"] for t in sorted(TICKERS.values())}


def test_a_schema_without_files_knows_no_tickers(full):
    with pytest.raises(oc.UnknownSymbolError, match="no day file of FUTURES/trades"):
        full.query(params(["ESZ5"], DAY0, DAY0 + NS_DAY, schema=orx.Schema.TRADES))
    assert len(full.query(params([], DAY0, DAY0 + NS_DAY, schema=orx.Schema.TRADES))) == 0


# --- continuous contracts --------------------------------------------------------------------


@pytest.fixture
def rolling(cat):
    # ESZ5 trades on days 0 and 1, ESH6 on all three, ESM6 from day 1; NQ only on day 2
    times = [(DAY0 + 1, 7), (DAY0 + 2, 9), (DAY0 + NS_DAY + 1, 7), (DAY0 + NS_DAY + 2, 9),
             (DAY0 + NS_DAY + 3, 10), (DAY0 + 2 * NS_DAY + 1, 9), (DAY0 + 2 * NS_DAY + 2, 10),
             (DAY0 + 2 * NS_DAY + 3, 8)]
    recs = [mbp1_bytes(iid=i, ts=t) for t, i in times]
    cat.write(stream(*recs, symbols=(*TICKERS.items(), (10, "ESM6"))))
    return cat


@pytest.mark.parametrize("symbol, expected", [
    ("ES.c.0", [7, 7, 9]),  # the front month rolls when ESZ5 stops trading
    ("ES.c.1", [9, 9, 10]),
    ("ES.c.2", [10]),  # only day 1 lists three contracts
    ("NQ.c.0", [8]),
    ("ES.c.5", []),
])
def test_continuous_symbols_follow_the_calendar_front(rolling, symbol, expected):
    p = params([symbol], DAY0, DAY0 + 3 * NS_DAY, stype=orx.Stype.CONTINUOUS)
    assert [i for _, i, _ in rows(rolling.query(p))] == expected


@pytest.mark.parametrize("symbol, message", [
    ("ESZ5", "'ESZ5' is not a continuous symbol: Stype.CONTINUOUS takes 'ROOT.c.N'"),
    ("ES.v.0", "'ES.v.0': only calendar ranking ('ES.c.0') can be resolved from a catalog"),
    ("CL.c.0", "cannot resolve 'CL.c.0': no ticker of FUTURES/mbp-1 in .* is a futures "
               "contract of root 'CL'"),
])
def test_continuous_symbols_the_catalog_cannot_resolve(rolling, symbol, message):
    with pytest.raises(ValueError, match=re.escape(message).replace(r"\.\*", ".*")):
        rolling.query(params([symbol], DAY0, DAY0 + 3 * NS_DAY, stype=orx.Stype.CONTINUOUS))


@pytest.mark.parametrize("ticker, year, expected", [
    ("ESZ5", 2025, (2025, 12)), ("ESH6", 2025, (2026, 3)), ("ESF0", 2029, (2030, 1)),
    ("ESZ25", 2025, (2025, 12)), ("ESZ5", 2026, (2035, 12)), ("ESZ", 2025, None),
    ("ESA5", 2025, None), ("NQZ5", 2025, None), ("ESZ5X", 2025, None),
])
def test_expiry_of_futures_tickers(ticker, year, expected):
    assert oc._continuous.expiry(ticker, "ES", year) == expected


# --- results ---------------------------------------------------------------------------------


def test_result_converts_like_a_reader_of_the_selected_records(full):
    pd = pytest.importorskip("pandas")
    result = full.query(params(["NQZ5", "ESH6"], DAY0 + 1, DAY0 + 2 * NS_DAY))
    whole = orx.open(records(spread())).to_pandas(True, True)
    ts = orx.open(records(spread())).to_pandas()["ts_event"]
    expected = whole[ts.between(DAY0 + 1, DAY0 + 2 * NS_DAY - 1)
                     & whole["symbol"].isin(["NQZ5", "ESH6"])].reset_index(drop=True)
    pd.testing.assert_frame_equal(result.to_pandas(True, True), expected, check_exact=True)
    merged = result.to_bytes()
    meta = orx.Metadata.decode(merged)
    assert meta.mappings.map == {8: "NQZ5", 9: "ESH6"}
    assert (meta.start, meta.end) == (DAY0 + 1, DAY0 + 2 * NS_DAY)
    assert [r.ts_event for r in result] == sorted(r.ts_event for r in orx.open(merged))
    assert sum(len(b) for b in result.batches(2)) == len(result) == len(expected)


def test_result_exports_arrow_and_writes_one_stream(full, tmp_path):
    pa = pytest.importorskip("pyarrow")
    result = full.query(params(["ESZ5"], DAY0, DAY0 + 3 * NS_DAY))
    table = pa.table(result)
    assert table.column("instrument_id").to_pylist() == [7] * 6
    result.write(tmp_path / "es.orx")
    assert (tmp_path / "es.orx").read_bytes() == result.to_bytes()
    assert orx.Catalog(tmp_path / "copy").write(tmp_path / "es.orx")
    assert rows(orx.Catalog(tmp_path / "copy").query(params([], 0, 1 << 62))) == rows(result)
    frame = orx.Catalog(tmp_path / "frame")
    frame.write(result.to_pandas(True, True), result.metadata)
    again, first = frame.query(params([], 0, 1 << 62)).to_bytes(), result.to_bytes()
    assert again[len(meta_of(again)):] == first[len(meta_of(first)):]


def test_a_day_replaced_while_a_result_reads_it_is_read_old_and_whole(lfull, monkeypatch):
    before = rows(lfull.query(params([], DAY0, DAY0 + NS_DAY)))
    open_file = oc._storage.LocalStorage.open_file

    def replaced_after_opening(self, rel):
        f = open_file(self, rel)
        if DAY_FILE.match(rel.rpartition("/")[2]):
            monkeypatch.setattr(oc._storage.LocalStorage, "open_file", open_file)
            lfull.write(records([(DAY0 + 9, 8)]), mode="replace")  # the day changes meanwhile
        return f

    monkeypatch.setattr(oc._storage.LocalStorage, "open_file", replaced_after_opening)
    assert rows(lfull.query(params([], DAY0, DAY0 + NS_DAY))) == before
    assert rows(lfull.query(params([], DAY0, DAY0 + NS_DAY))) == [(DAY0 + 9, 8, 0)]


def test_one_instrument_is_read_from_its_own_bytes(lfull):
    path = lfull.path_of(orx.Dataset.FUTURES, orx.Schema.MBP1, "2025-12-01")
    entry = index_doc(index_text(lfull))["files"][0]
    _, _, _, _, off, length = entry["blocks"][0]  # ESZ5
    st = os.stat(path)
    with open(path, "r+b") as f:  # spoil ESZ5's bytes, keeping size and time
        f.seek(off)
        f.write(b"\xff" * length)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    got = rows(lfull.query(params(["NQZ5", "ESH6"], DAY0, DAY0 + NS_DAY)))
    assert [i for _, i, _ in got] == [8, 9, 8, 9]  # by time
    with pytest.raises((ValueError, OSError)):
        lfull.query(params(["ESZ5"], DAY0, DAY0 + NS_DAY)).to_numpy()


@pytest.mark.parametrize("start, end, blocks", [
    (DAY0, DAY0 + NS_DAY, 3), (DAY0 + 4, DAY0 + 5, 1), (DAY0 + 3, DAY0 + 4, 1),
    (DAY0 + 2, DAY0 + 7, 2), (DAY0 + 5, DAY0 + 6, 0)])
def test_blocks_of_a_day_outside_the_range_are_not_read(lcat, monkeypatch, start, end, blocks):
    monkeypatch.setattr(oc._stream_format, "BLOCK_RECORDS", 2)
    lcat.write(records([(DAY0 + t, 7) for t in (0, 1, 2, 4, 6, 8)] + [(DAY0 + 2, 8)]))
    entry = index_doc(index_text(lcat))["files"][0]
    assert [b[:4] for b in entry["blocks"]] == [
        [7, 2, DAY0, DAY0 + 1], [7, 2, DAY0 + 2, DAY0 + 4], [7, 2, DAY0 + 6, DAY0 + 8],
        [8, 1, DAY0 + 2, DAY0 + 2]]
    read = []
    pread = oc._storage.ReadFile.read

    def reading(self, off, n):
        if DAY_FILE.match(os.path.basename(self.where)):
            read.append(off)
        return pread(self, off, n)

    monkeypatch.setattr(oc._storage.ReadFile, "read", reading)
    got = rows(lcat.query(params(["ESZ5"], start, end)))
    assert [t for t, _, _ in got] == [DAY0 + t for t in (0, 1, 2, 4, 6, 8) if start <= DAY0 + t < end]
    assert len(read) == 1 + blocks  # the metadata, then the blocks that can match


def test_a_day_replaced_after_planning_is_read_whole_from_the_new_file(full):
    result = full.query(params(["NQZ5"], DAY0, DAY0 + NS_DAY))
    full.write(records([(DAY0 + 9, 8), (DAY0 + 8, 7)]), mode="replace")
    assert rows(result) == [(DAY0 + 9, 8, 0)]


def test_a_vanished_day_is_skipped_by_a_result(lfull):
    result = lfull.query(params(["ESZ5"], DAY0, DAY0 + 3 * NS_DAY))
    os.unlink(result.paths[1])
    assert {day_text(t) for t, _, _ in rows(result)} == {"2025-12-01", "2025-12-03"}


@pytest.mark.parametrize("call, error, message", [
    (lambda c: orx.Catalog(c.root, compression="lz4"), ValueError,
     "compression must be 'auto', 'zstd' or None, got 'lz4'"),
    (lambda c: orx.Catalog(c.root, day_format=2, compression=None), ValueError,
     "day_format 2 is always zstd-compressed: compression=None writes uncompressed days of "
     "day_format 1 (the default without compression)"),
    (lambda c: c.write(records([(DAY0, 7)]), mode="merge"), ValueError,
     "mode must be 'append' or 'replace', got 'merge'"),
    (lambda c: c.write(np.zeros(2, dtype="V64"), orx.Metadata(
        orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0, orx.SymbolMap({}))), ValueError,
     "array items of 64 bytes are not records of kind mbp-1 (96 bytes)"),
])
def test_bad_arguments(lcat, call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call(lcat)
    assert not day_dir(lcat).exists() or not [n for n in os.listdir(day_dir(lcat))
                                              if DAY_FILE.match(n)]


@pytest.mark.parametrize("compression, day_format, names", [
    (None, None, ["2025-12-01.orx", "2025-12-02.orx"]),  # uncompressed: plain raw streams
    ("zstd", None, ["2025-12-01.orxday", "2025-12-02.orxday"]),
    ("auto", None, ["2025-12-01.orxday", "2025-12-02.orxday"]),
    (None, 1, ["2025-12-01.orx", "2025-12-02.orx"]),
])
def test_a_catalog_without_compression_writes_uncompressed_days(tmp_path, compression,
                                                                 day_format, names):
    cat = orx.Catalog(tmp_path, compression=compression, day_format=day_format)
    data = records(spread(days=2))
    cat.write(data)
    assert sorted(n for n in os.listdir(day_dir(cat)) if DAY_FILE.match(n)) == names
    if names[0].endswith(".orx"):  # the metadata, then the records as they are
        head = (day_dir(cat) / names[0]).read_bytes()[:4]
        assert head == data[:4] and not head.startswith(b"\x28\xb5\x2f\xfd")
    assert len(cat.query(params([], 0, 1 << 62))) == 12


@pytest.mark.parametrize("schema, make", [
    (orx.Schema.TRADES, "trade_bytes"), (orx.Schema.BBO1_S, "bbo_bytes"),
    (orx.Schema.OHLCV1_H, "ohlcv_bytes"), (orx.Schema.MBP1, "mbp1_bytes")])
def test_every_record_kind_is_stored_and_queried(lcat, schema, make):
    import stream_util
    pd = pytest.importorskip("pandas")
    recs = [getattr(stream_util, make)(iid=7 + k % 2, ts=DAY0 + k * NS_DAY // 2) for k in range(5)]
    data = stream(*recs, symbols=((7, "ESZ5"), (8, "NQZ5")), schema=int(schema))
    lcat.write(data)
    assert sorted(p.name[:10] for p in lcat.directory(orx.Dataset.FUTURES, schema).glob("2*")) == [
        "2025-12-01", "2025-12-02", "2025-12-03"]
    got = lcat.query(params(["NQZ5"], DAY0, DAY0 + 3 * NS_DAY, schema=schema)).to_pandas(True, True)
    whole = orx.open(data).to_pandas(True, True)
    pd.testing.assert_frame_equal(got, whole[whole["symbol"] == "NQZ5"].reset_index(drop=True),
                                  check_exact=True)
