"""Catalog.upgrade() and orx catalog upgrade: days of format 1 rewritten in format 2 (and back)
with every query answering the same, bit for bit; all or nothing per batch, also when killed at
any moment; the object store, with a writer landing meanwhile; the command line."""

import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

import orx
import orx.catalog as oc
from catalog_util import DAY0, NS_DAY, index_doc, params, records, spread
from helpers import TEMPORARY
from stream_util import stream, trade_bytes
from test_catalog_safety import FORMS, day_of_form, reference, rows

MBP1 = ("FUTURES", "mbp-1")
TRADES = ("FUTURES", "trades")
EVERYTHING = params([], 0, 1 << 62)


def day_dir(root, where=MBP1):
    return root.joinpath(*where)


def listing(root, where=MBP1):
    return sorted(n for n in os.listdir(day_dir(root, where)) if n != ".lock")


def frame(cat, schema=orx.Schema.MBP1, symbols=()):
    return cat.query(params(list(symbols), 0, 1 << 62, schema=schema)).to_pandas(True, True)


def formats(root, where=MBP1):
    doc = index_doc((day_dir(root, where) / oc.INDEX_NAME).read_bytes())
    return {e["file"]: e["format"] for e in doc["files"]}


def old_catalog(root):
    """Format-1 days of two schemas: MBP-1 raw and zstd (three days), trades zstd (two)."""
    orx.Catalog(root, compression=None, day_format=1).write(records(spread(days=2, per_day=40)))
    zstd = orx.Catalog(root, compression="zstd", day_format=1)
    zstd.write(records([(DAY0 + 2 * NS_DAY + k * 1000, 7 + k % 3) for k in range(50)]))
    trades = [trade_bytes(iid=7 + k % 2, ts=DAY0 + k * NS_DAY // 3) for k in range(6)]
    zstd.write(stream(*trades, symbols=((7, "ESZ5"), (8, "NQZ5")), schema=int(orx.Schema.TRADES)))
    return zstd


def stored_metadata(path):
    with orx.open(path) as r:
        return bytes(r.metadata.encode())


# --- upgrading --------------------------------------------------------------------------------


def test_an_upgrade_rewrites_every_day_in_format_2_and_every_query_answers_the_same(tmp_path):
    old_catalog(tmp_path)
    # one day already of format 2: left alone
    orx.Catalog(tmp_path).write(records([(DAY0 + 5 * NS_DAY, 8)]))
    schemas = (orx.Schema.MBP1, orx.Schema.TRADES)
    before = [frame(orx.Catalog(tmp_path), s) for s in schemas]
    some = frame(orx.Catalog(tmp_path), symbols=["NQZ5"])
    assert listing(tmp_path) == ["2025-12-01.orx", "2025-12-02.orx", "2025-12-03.orx.zst",
                                 "2025-12-06.orxday", "_index.json"]
    metas = {n[:10]: stored_metadata(day_dir(tmp_path) / n) for n in listing(tmp_path)[:-1]}
    kept = os.stat(day_dir(tmp_path) / "2025-12-06.orxday")
    seen = []
    cat = orx.Catalog(tmp_path)
    assert cat.upgrade(progress=lambda done, total: seen.append((done, total))) == 3 + 2
    assert listing(tmp_path) == ["2025-12-01.orxday", "2025-12-02.orxday", "2025-12-03.orxday",
                                 "2025-12-06.orxday", "_index.json"]
    assert listing(tmp_path, TRADES) == ["2025-12-01.orxday", "2025-12-02.orxday",
                                         "_index.json"]
    assert set(formats(tmp_path).values()) == set(formats(tmp_path, TRADES).values()) == {2}
    for s, b in zip(schemas, before):
        pd.testing.assert_frame_equal(frame(orx.Catalog(tmp_path), s), b, check_exact=True)
    pd.testing.assert_frame_equal(frame(orx.Catalog(tmp_path), symbols=["NQZ5"]), some,
                                  check_exact=True)
    # each day keeps its metadata (range and symbol map), byte for byte
    assert {n[:10]: stored_metadata(day_dir(tmp_path) / n)
            for n in listing(tmp_path)[:-1]} == metas
    after = os.stat(day_dir(tmp_path) / "2025-12-06.orxday")
    assert (after.st_ino, after.st_mtime_ns) == (kept.st_ino, kept.st_mtime_ns)
    # progress in bytes of the old files, per dataset/schema, ending at the whole
    assert seen and all(d == t for d, t in seen) and seen[0][1] > 0
    # a second run rewrites nothing
    index = (day_dir(tmp_path) / oc.INDEX_NAME).read_bytes()
    assert cat.upgrade() == 0
    assert (day_dir(tmp_path) / oc.INDEX_NAME).read_bytes() == index


def test_an_upgrade_to_format_1_and_back_answers_the_same(tmp_path):
    cat = orx.Catalog(tmp_path)
    cat.write(records(spread(days=3, per_day=30)))
    before = frame(cat)
    assert cat.upgrade(day_format=1) == 3
    assert listing(tmp_path) == ["2025-12-01.orx.zst", "2025-12-02.orx.zst",
                                 "2025-12-03.orx.zst", "_index.json"]
    pd.testing.assert_frame_equal(frame(cat), before, check_exact=True)
    assert orx.Catalog(tmp_path, compression=None).upgrade(day_format=1) == 0
    assert cat.upgrade() == 3
    pd.testing.assert_frame_equal(frame(cat), before, check_exact=True)


@pytest.mark.parametrize("form", FORMS)
def test_every_form_of_format_1_day_is_upgraded_to_the_same_answer(tmp_path, form):
    # records in no order, equal times of several instruments, frames anywhere, raw
    path = day_of_form(tmp_path, form)
    cat = orx.Catalog(tmp_path)
    queries = [params([], 0, 1 << 62), params(["ESZ5", "ESH6"], DAY0 + 10, DAY0 + 60)]
    before = [cat.query(q).to_pandas(True, True) for q in queries]
    assert rows(cat.query(queries[0])) == reference([path])
    assert cat.upgrade() == 1
    assert listing(tmp_path) == ["2025-12-01.orxday", "_index.json"]
    for q, b in zip(queries, before):
        pd.testing.assert_frame_equal(cat.query(q).to_pandas(True, True), b, check_exact=True)


def test_a_day_of_no_records_is_upgraded_with_its_metadata(tmp_path):
    path = tmp_path.joinpath(*MBP1, "2025-12-01.orx")
    path.parent.mkdir(parents=True)
    path.write_bytes(stream(symbols=((7, "ESZ5"),)))
    cat = orx.Catalog(tmp_path)
    assert cat.upgrade() == 1
    new = day_dir(tmp_path) / "2025-12-01.orxday"
    assert listing(tmp_path) == ["2025-12-01.orxday", "_index.json"]
    assert stored_metadata(new) == stored_metadata(stream(symbols=((7, "ESZ5"),)))
    assert len(cat.query(EVERYTHING)) == 0


def test_days_are_upgraded_in_batches(tmp_path, monkeypatch):
    orx.Catalog(tmp_path, day_format=1).write(records(spread(days=5)))
    monkeypatch.setattr(oc._catalog, "UPGRADE_DAYS", 2)
    names = []
    real = oc._journal.dump

    def dump(journal):  # each journal: one batch
        names.append(([final for _, final, _ in journal.items], list(journal.removes)))
        return real(journal)

    monkeypatch.setattr(oc._journal, "dump", dump)
    assert orx.Catalog(tmp_path).upgrade() == 5
    assert names == [(["2025-12-01.orxday", "2025-12-02.orxday"],
                      ["2025-12-01.orx.zst", "2025-12-02.orx.zst"]),
                     (["2025-12-03.orxday", "2025-12-04.orxday"],
                      ["2025-12-03.orx.zst", "2025-12-04.orx.zst"]),
                     (["2025-12-05.orxday"], ["2025-12-05.orx.zst"])]


def test_a_damaged_day_stops_the_upgrade_naming_it_and_leaves_its_batch_as_it_was(tmp_path):
    orx.Catalog(tmp_path, day_format=1).write(records(spread(days=3, per_day=40)))
    bad = day_dir(tmp_path) / "2025-12-02.orx.zst"
    data = bytearray(bad.read_bytes())
    bad.write_bytes(bytes(data[:len(data) - 20]))
    before = listing(tmp_path)
    with pytest.raises(ValueError, match=re.escape(str(bad))):
        orx.Catalog(tmp_path).upgrade()
    assert listing(tmp_path) == before


@pytest.mark.parametrize("call, message", [
    (lambda c: c.upgrade(day_format=3), "day_format must be one of [1, 2] or None, got 3"),
    (lambda c: c.upgrade(day_format=True), "day_format must be one of [1, 2] or None, got True"),
])
def test_bad_arguments_of_an_upgrade(tmp_path, call, message):
    orx.Catalog(tmp_path, day_format=1).write(records(spread(days=1)))
    with pytest.raises(ValueError) as info:
        call(orx.Catalog(tmp_path))
    assert str(info.value) == message
    assert listing(tmp_path) == ["2025-12-01.orx.zst", "_index.json"]


# --- killed at any moment ---------------------------------------------------------------------


def run_killed(root, moment, batch_days=32):
    script = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path[:3]!r}
        import orx
        orx.catalog._catalog.UPGRADE_DAYS = {batch_days}
        orx.Catalog({str(root)!r}).upgrade()
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), ORX_CATALOG_KILL_AT=moment)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, env=env,
                          timeout=120)
    assert done.returncode == -signal.SIGKILL, done.stderr.decode()


def leftovers(root):
    return [n for n in listing(root) if TEMPORARY.match(n) or n == oc.JOURNAL_NAME
            or n.endswith((".orx", ".orx.zst"))]


@pytest.mark.parametrize("moment, landed", [
    ("staged", False), ("committed", True), ("renamed", True), ("indexed", True)])
def test_an_upgrade_killed_at_any_moment_reads_the_same_and_is_finished_next(
        tmp_path, moment, landed):
    old_catalog(tmp_path)
    before = frame(orx.Catalog(tmp_path))
    run_killed(tmp_path, moment)
    assert leftovers(tmp_path)  # the dead upgrade left its journal, temporaries or old files
    if moment == "renamed":  # a day under both names, the journal saying which is the day
        names = listing(tmp_path)
        assert "2025-12-01.orxday" in names and "2025-12-01.orx" in names
    # a reader, before anyone writes, reads every day in one format or the other
    reader = orx.Catalog(tmp_path)
    pd.testing.assert_frame_equal(frame(reader), before, check_exact=True)
    files = reader.files(orx.Dataset.FUTURES, orx.Schema.MBP1)
    assert [f.entry.day for f in files] == ["2025-12-01", "2025-12-02", "2025-12-03"]
    assert {f.entry.format for f in files} == {2 if landed else 1}
    assert reader.datasets() == [orx.Dataset.FUTURES]
    assert reader.schemas(orx.Dataset.FUTURES) == [orx.Schema.MBP1, orx.Schema.TRADES]
    assert reader.path_of(orx.Dataset.FUTURES, orx.Schema.MBP1, "2025-12-01").name == (
        "2025-12-01.orxday" if landed else "2025-12-01.orx")
    # the next upgrade rolls the dead one forward (or back) and does the rest: the trades
    # (mbp-1 comes first)
    assert orx.Catalog(tmp_path).upgrade() == (2 if landed else 5)
    assert listing(tmp_path) == ["2025-12-01.orxday", "2025-12-02.orxday", "2025-12-03.orxday",
                                 "_index.json"]
    assert set(formats(tmp_path).values()) == {2}
    pd.testing.assert_frame_equal(frame(orx.Catalog(tmp_path)), before, check_exact=True)


@pytest.mark.parametrize("moment", ["committed", "renamed"])
def test_a_write_after_a_killed_upgrade_completes_it_first(tmp_path, moment):
    orx.Catalog(tmp_path, day_format=1).write(records(spread(days=3)))
    run_killed(tmp_path, moment)
    cat = orx.Catalog(tmp_path)
    cat.write(records([(DAY0 + 1, 9)]))  # an append to a day the dead upgrade rewrote
    assert listing(tmp_path) == ["2025-12-01.orxday", "2025-12-02.orxday", "2025-12-03.orxday",
                                 "_index.json"]
    assert len(cat.query(EVERYTHING)) == 19


def test_a_killed_upgrade_of_many_batches_run_again_does_the_rest(tmp_path):
    orx.Catalog(tmp_path, day_format=1).write(records(spread(days=5)))
    before = frame(orx.Catalog(tmp_path))
    run_killed(tmp_path, "indexed", batch_days=2)  # after the first batch's index
    assert listing(tmp_path) == ["2025-12-01.orxday", "2025-12-02.orxday", "2025-12-03.orx.zst",
                                 "2025-12-04.orx.zst", "2025-12-05.orx.zst", "_index.json",
                                 oc.JOURNAL_NAME]
    assert orx.Catalog(tmp_path).upgrade() == 3
    assert not leftovers(tmp_path)
    pd.testing.assert_frame_equal(frame(orx.Catalog(tmp_path)), before, check_exact=True)


# --- the journal --------------------------------------------------------------------------------


def test_only_a_journal_that_removes_files_is_of_the_newer_journal_format():
    plain = oc._journal.Journal([(".a.orx-tmp.1.2.0123456789abcdef", "2025-12-01.orx", {})], None)
    assert json.loads(oc._journal.dump(plain))["format"] == 1
    removing = oc._journal.Journal(plain.items, None, ("2025-12-01.orx.zst",))
    doc = json.loads(oc._journal.dump(removing))
    assert (doc["format"], doc["removes"]) == (2, ["2025-12-01.orx.zst"])


@pytest.mark.parametrize("removes", [["_index.json"], [".lock"], ["../2025-12-01.orx"],
                                     ["2025-12-01.orx"], [7], "2025-12-01.orx.zst"])
def test_a_journal_whose_removes_are_no_old_day_files_is_refused(tmp_path, removes):
    d = day_dir(tmp_path)
    d.mkdir(parents=True)
    (d / oc.JOURNAL_NAME).write_text(json.dumps({
        "format": 2, "items": [[".2025-12-01.orx.orx-tmp.1.2.0123456789abcdef",
                                "2025-12-01.orx", {}]], "append": None, "removes": removes}))
    storage = oc._storage.LocalStorage(tmp_path)
    with pytest.raises(ValueError) as info:
        oc._journal.read(storage, "FUTURES/mbp-1")
    assert str(info.value) == (f"{d / oc.JOURNAL_NAME} is not a journal of an orx catalog; "
                               f"remove it to undo the write it stands for")


# --- the object store ---------------------------------------------------------------------------


def object_names(server, url):
    from s3_server import BUCKET

    prefix = url.split("/", 3)[3] + "/FUTURES/mbp-1/"
    got = server.client().list_objects_v2(Bucket=BUCKET, Prefix=prefix).get("Contents", [])
    return sorted(o["Key"][len(prefix):] for o in got)


def test_an_upgrade_in_an_object_store_switches_the_index_and_removes_the_old_objects(
        s3_server, s3_url):
    old = orx.Catalog(s3_url, s3_server.options, day_format=1)
    old.write(records(spread(days=3, per_day=20)))
    before = frame(old)
    olds = object_names(s3_server, s3_url)
    cat = orx.Catalog(s3_url, s3_server.options)
    assert cat.upgrade() == 3
    names = object_names(s3_server, s3_url)
    assert len(names) == 4 and names[-1] == "_index.json" and not set(names) & set(olds[:-1])
    assert all(n.startswith(f"2025-12-0{k + 1}@") and n.endswith(".orxday")
               for k, n in enumerate(names[:-1]))
    pd.testing.assert_frame_equal(frame(orx.Catalog(s3_url, s3_server.options)), before,
                                  check_exact=True)
    assert [f.entry.format for f in cat.files(orx.Dataset.FUTURES, orx.Schema.MBP1)] == [2] * 3
    assert cat.upgrade() == 0
    assert object_names(s3_server, s3_url) == names


def test_an_append_that_lands_during_an_upgrade_in_an_object_store_is_kept(
        s3_server, s3_url, tmp_path):
    old = orx.Catalog(s3_url, s3_server.options, day_format=1)
    old.write(records(spread(days=2)))
    script = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path[:3]!r}
        import orx
        print(orx.Catalog({s3_url!r}, {s3_server.options!r}).upgrade(), flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path),
                                      ORX_CATALOG_PAUSE_AT="staged"))
    assert child.stdout.readline() == b"staged\n"  # its new objects are put, not its index
    old.write(records([(DAY0 + 5, 9), (DAY0 + NS_DAY + 5, 8)]))  # lands first
    out, err = child.communicate(b"\n", timeout=120)
    assert child.returncode == 0, err.decode()
    assert out.splitlines()[-1] == b"2"  # planned again from the new index, the days re-read
    cat = orx.Catalog(s3_url, s3_server.options)
    assert len(cat.query(EVERYTHING)) == 14
    assert (DAY0 + 5, 9) in {(int(t), int(i)) for t, i in zip(
        cat.query(EVERYTHING).to_numpy()["ts_event"],
        cat.query(EVERYTHING).to_numpy()["instrument_id"])}
    assert [f.entry.format for f in cat.files(orx.Dataset.FUTURES, orx.Schema.MBP1)] == [2, 2]


# --- the command line ---------------------------------------------------------------------------


def cli(*args):
    return subprocess.run([sys.executable, "-m", "orx", *map(str, args)], capture_output=True,
                          text=True, timeout=120)


def test_the_command_line_upgrades_each_dataset_and_schema_and_says_so(tmp_path):
    old_catalog(tmp_path)
    r = cli("catalog", "upgrade", tmp_path)
    assert (r.returncode, r.stdout.splitlines(), r.stderr) == (0, [
        "FUTURES/mbp-1: 3 days upgraded to format 2",
        "FUTURES/trades: 2 days upgraded to format 2"], "")
    r = cli("catalog", "upgrade", tmp_path, "--format", "2")
    assert (r.returncode, r.stdout.splitlines()) == (0, [
        "FUTURES/mbp-1: 0 days upgraded to format 2",
        "FUTURES/trades: 0 days upgraded to format 2"])
    r = cli("catalog", "upgrade", tmp_path, "--format", "1")
    assert r.stdout.splitlines()[0] == "FUTURES/mbp-1: 3 days upgraded to format 1"
    assert listing(tmp_path)[0] == "2025-12-01.orx.zst"


@pytest.mark.parametrize("args, status, message", [
    (["--format", "3"], 1, "orx: error: day_format must be one of [1, 2] or None, got 3"),
    (["--format", "x"], 2, "orx catalog upgrade: error: argument --format: invalid int value: "
                           "'x' (see orx catalog upgrade --help)"),
])
def test_the_command_line_refuses_bad_arguments(tmp_path, args, status, message):
    old_catalog(tmp_path)
    r = cli("catalog", "upgrade", tmp_path, *args)
    assert (r.returncode, r.stderr.splitlines(), r.stdout) == (status, [message], "")


def test_the_command_line_names_a_damaged_day_file_in_one_line(tmp_path):
    old_catalog(tmp_path)
    bad = day_dir(tmp_path) / "2025-12-03.orx.zst"
    bad.write_bytes(bad.read_bytes()[:-20])
    r = cli("catalog", "upgrade", tmp_path)
    assert r.returncode == 1 and len(r.stderr.splitlines()) == 1, r.stderr
    assert r.stderr.startswith(f"orx: error: {bad}: ")
    assert not [n for n in listing(tmp_path) if TEMPORARY.match(n)]
    r = cli("catalog", "upgrade", tmp_path / "nothing")
    assert (r.returncode, len(r.stderr.splitlines())) == (1, 1)
    assert str(tmp_path / "nothing") in r.stderr
    (tmp_path / "empty").mkdir()
    r = cli("catalog", "upgrade", tmp_path / "empty")
    assert (r.returncode, r.stderr) == (1, f"orx: error: {tmp_path / 'empty'} holds no day "
                                           f"files of a catalog\n")


def test_the_command_line_shows_progress_of_each_dataset_and_schema(tmp_path, monkeypatch,
                                                                    capsys):
    from orx._cli import main
    from orx._progress import Progress

    old_catalog(tmp_path)
    monkeypatch.setattr(Progress, "delay", 0.0)
    monkeypatch.setattr(Progress, "every", 0.0)
    assert main(["catalog", "upgrade", str(tmp_path)]) == 0
    out = capsys.readouterr()
    progress = [line for line in out.err.splitlines() if line.startswith("upgrade ")]
    assert progress == ["upgrade FUTURES/mbp-1: 100% (0 MB)", "upgrade FUTURES/trades: 100% (0 MB)"]
    assert out.out.splitlines() == ["FUTURES/mbp-1: 3 days upgraded to format 2",
                                    "FUTURES/trades: 2 days upgraded to format 2"]
