"""The catalog loses nothing silently: every form of day file is read, writes across days are all
or nothing (also when killed), hostile indexes and links are handled, decompression is bounded
by the index and a day cut short is an error."""

import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orx
import orx.catalog as oc
from orx import _ext
from catalog_util import (DAY0, NS_DAY, TICKERS, WRITE_IDS, WRITE_WAYS, index_doc, params,
                          records, spread)
from stream_util import mbp1_bytes, stream

MBP1 = ("FUTURES", "mbp-1")
SKIPPABLE = (0x184D2A53).to_bytes(4, "little") + (5).to_bytes(4, "little") + b"notes"


def frame(data):
    z = _ext.ZstdWriter(3)
    return z.compress(data) + z.finish()


def reference(paths, symbols=None, start=0, end=1 << 64):
    """(ts_event, instrument_id, price) of the records of `paths` that a query selects, by
    decoding each file whole and sorting stably by ts_event, then instrument id."""
    out = []
    for path in paths:
        with orx.open(path) as r:
            tickers = r.metadata.mappings.map
            day = [(rec.ts_event, rec.instrument_id, rec.price) for rec in r
                   if start <= rec.ts_event < end
                   and (symbols is None or tickers.get(rec.instrument_id) in symbols)]
        out += sorted(day, key=lambda x: (x[0], x[1]))
    return out


def rows(result):
    a = result.to_numpy()
    return list(zip(a["ts_event"].tolist(), a["instrument_id"].tolist(), a["price"].tolist()))


def day_dir(cat):
    return cat.root.joinpath(*MBP1)


# --- every form of day file ------------------------------------------------------------------

# A day of records in no particular order, 5 of ESZ5 (7), 4 of NQZ5 (8), 3 of ESH6 (9).
DAY = records([(DAY0 + t, i) for t, i in [(50, 8), (10, 7), (10, 9), (40, 7), (30, 8), (20, 7),
                                          (20, 9), (60, 8), (10, 8), (5, 7), (90, 7), (70, 9)]])
META_LEN = len(orx.Metadata.decode(DAY).encode())
CUT = META_LEN + 96 * 5 + 17  # inside a record

FORMS = {
    "raw": (".orx", lambda d: d),
    "one frame": (".orx.zst", frame),
    "frames cut anywhere": (".orx.zst", lambda d: frame(d[:7]) + frame(d[7:CUT]) + frame(d[CUT:])),
    "skippable frames between and after": (
        ".orx.zst", lambda d: frame(d[:META_LEN]) + SKIPPABLE + frame(d[META_LEN:CUT]) + SKIPPABLE
        + frame(b"") + frame(d[CUT:]) + SKIPPABLE),
    "a frame per record": (".orx.zst", lambda d: frame(d[:META_LEN]) + b"".join(
        frame(d[k:k + 96]) for k in range(META_LEN, len(d), 96))),
}


def day_of_form(root, form):
    """The day file of DAY in `form` (FORMS), alone in a catalog at `root`."""
    suffix, make = FORMS[form]
    path = root.joinpath(*MBP1, "2025-12-01" + suffix)
    path.parent.mkdir(parents=True)
    path.write_bytes(make(DAY))
    return path


@pytest.mark.parametrize("form", FORMS)
def test_every_form_of_day_file_is_read_whole(tmp_path, form):
    path = day_of_form(tmp_path, form)
    cat = orx.Catalog(tmp_path)
    for symbols, start, end in [(None, 0, 1 << 62), (["ESZ5", "ESH6"], DAY0 + 10, DAY0 + 60),
                                (["NQZ5"], DAY0 + 31, DAY0 + NS_DAY)]:
        result = cat.query(params(symbols or [], start, end))
        assert rows(result) == reference([path], symbols, start, end)
        assert result.plan.record_count == len(result.to_numpy())
    assert cat.symbols(orx.Dataset.FUTURES, orx.Schema.MBP1) == {
        t: ["2025-12-01"] for t in sorted(TICKERS.values())}
    # the next write merges the day in whatever form it was
    cat.write(records([(DAY0 + 15, 8)]))
    assert len(cat.query(params([], 0, 1 << 62))) == 13


def test_a_stream_the_reader_cannot_open_is_an_error_naming_the_file(tmp_path):
    path = tmp_path.joinpath(*MBP1, "2025-12-01.orx.zst")
    path.parent.mkdir(parents=True)
    path.write_bytes(frame(DAY)[:-5])
    with pytest.raises(ValueError, match=re.escape(str(path))):
        orx.Catalog(tmp_path).query(params([], 0, 1 << 62))


# --- temporary files -------------------------------------------------------------------------


@pytest.mark.parametrize("ours", [
    ".2025-12-01.orx.zst.orx-tmp.4242.77.0123456789abcdef",
    ".orx-catalog.0123456789abcdef.2025-12-01.orx.zst.tmp",  # as older catalogs named them
])
def test_only_the_catalogs_own_temporary_files_are_removed(tmp_path, ours):
    cat = orx.Catalog(tmp_path, compression="zstd", day_format=1)
    cat.write(records(spread()))
    d = day_dir(cat)
    theirs = [".tmp-notes", ".notes.tmp", ".2025-12-01.orx.zst.4242-1.tmp", "draft.tmp",
              ".2025-12-01.orx.zst.orx-tmp.4242.77.0123456789ABCDEF",
              ".2025-12-01.orx.zst.orx-tmp.4242.0123456789abcdef",
              ".orx-tmp.4242.77.0123456789abcdef", "a.orx-tmp.4242.77.0123456789abcdef"]
    for name in theirs + [ours]:
        (d / name).write_text("mine")
    cat.write(records([(DAY0 + 1, 7)]))
    assert sorted(n for n in os.listdir(d) if "tmp" in n) == sorted(theirs)
    (d / ours).write_text("again")
    cat.reindex()
    assert sorted(n for n in os.listdir(d) if "tmp" in n) == sorted(theirs)
    assert all((d / n).read_text() == "mine" for n in theirs)


# --- all or nothing --------------------------------------------------------------------------


def run_killed(root, data, moment):
    script = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path[:3]!r}
        import orx
        orx.Catalog({str(root)!r}).write(sys.stdin.buffer.read())
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), ORX_CATALOG_KILL_AT=moment)
    done = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True,
                          env=env, timeout=120)
    assert done.returncode == -signal.SIGKILL, done.stderr.decode()


@pytest.mark.parametrize("compression, fmt", WRITE_WAYS, ids=WRITE_IDS)
@pytest.mark.parametrize("moment, landed", [
    ("staged", False), ("committed", True), ("renamed", True), ("indexed", True)])
def test_a_write_killed_at_any_moment_lands_whole_or_not_at_all(tmp_path, compression, fmt,
                                                                 moment, landed):
    cat = orx.Catalog(tmp_path, compression=compression, day_format=fmt)
    cat.write(records(spread(days=3)))
    everything = params([], 0, 1 << 62)
    old = rows(cat.query(everything))
    # three days that exist and one that does not
    more = records([(DAY0 + 7, 8), (DAY0 + NS_DAY + 7, 9), (DAY0 + 2 * NS_DAY + 7, 7),
                    (DAY0 + 5 * NS_DAY, 7)])
    run_killed(tmp_path, more, moment)
    other = orx.Catalog(tmp_path / "new", compression=compression, day_format=fmt)
    other.write(records(spread(days=3)))
    other.write(more)
    new = rows(other.query(everything))
    # a reader, before any writer comes along, sees all of the write or none of it
    assert rows(orx.Catalog(tmp_path).query(everything)) == (new if landed else old)
    # the retry (what a caller does after a crash) completes it, once
    cat.write(more)
    assert rows(cat.query(everything)) == new
    names = os.listdir(day_dir(cat))
    assert oc.JOURNAL_NAME not in names and not [n for n in names if n.endswith(".tmp")]
    index = index_doc((day_dir(cat) / oc.INDEX_NAME).read_bytes())
    cat.reindex()
    assert index_doc((day_dir(cat) / oc.INDEX_NAME).read_bytes())["files"] == index["files"]


def test_an_append_repeated_is_recognised_as_its_retry(tmp_path):
    cat = orx.Catalog(tmp_path)
    data = records(spread(days=2))
    first = cat.write(data)
    assert cat.write(data) == first
    assert len(cat.query(params([], 0, 1 << 62))) == 12
    # the same records with other metadata, or a replacement, are writes of their own
    cat.write(records(spread(days=2), ts_recv=3))
    assert len(cat.query(params([], 0, 1 << 62))) == 24
    cat.write(data, mode="replace")
    cat.write(data, mode="replace")
    assert len(cat.query(params([], 0, 1 << 62))) == 12


# --- hostile indexes -------------------------------------------------------------------------


def spoil_first(key, value):
    def spoil(doc):
        doc["files"][0][key] = value
    return spoil


def spoil_block(k, field, value):
    def spoil(doc):
        doc["files"][0]["blocks"][k][field] = value
    return spoil


def duplicate_block(doc):
    blocks = doc["files"][0]["blocks"]
    blocks[1][4:] = blocks[0][4:]


HOSTILE = {
    "a block past the end": spoil_block(0, 4, 10 ** 9),
    "a block's offset duplicated": duplicate_block,
    "a start of 10**30": spoil_first("start", 10 ** 30),
    "a block of 10**12 bytes": spoil_block(0, 5, 10 ** 12),
    "a block of 10**12 records": spoil_block(0, 1, 10 ** 12),
    "a block of another instrument": spoil_block(0, 0, 999),
    "a negative offset": spoil_block(1, 4, -1),
    "a count as text": spoil_first("instruments", [[7, "ESZ5", "2", 0, 0]]),
    "an entry that is a list": lambda doc: doc["files"].__setitem__(0, [1, 2]),
    "a stat of floats": spoil_first("stat", [1.5, 2.5, 3.5]),
    "a format unknown": spoil_first("format", 99),
    "a head past the end": spoil_first("head", [0, 10 ** 9]),
    "true for a count": spoil_first("count", True),
    "files that are 7": lambda doc: doc.__setitem__("files", 7),
    "no files": lambda doc: doc.pop("files"),
    "appends of rubbish": lambda doc: doc.__setitem__("appends", [[1, 2], "x", None]),
}


def hostile_catalog(tmp_path, way, spoil=None, text=None):
    compression, fmt = way
    cat = orx.Catalog(tmp_path, compression=compression, day_format=fmt)
    cat.write(records(spread(days=3, per_day=1000, ids=(7, 8, 9))))
    index = day_dir(cat) / oc.INDEX_NAME
    doc = index_doc(index.read_bytes())
    if spoil is not None:
        spoil(doc)
        text = json.dumps(doc).encode()
    index.write_bytes(text)
    return cat


@pytest.mark.parametrize("way", WRITE_WAYS, ids=WRITE_IDS)
@pytest.mark.parametrize("case", [*HOSTILE, "deep nesting", "not JSON", "an empty file"])
def test_a_hostile_index_gives_the_files_answer_and_the_next_write_mends_it(tmp_path, way,
                                                                           case):
    text = {"deep nesting": b"[" * 100_000 + b"]" * 100_000, "not JSON": b"\xff{",
            "an empty file": b""}.get(case)
    cat = hostile_catalog(tmp_path, way, HOSTILE.get(case), text)
    files = sorted(str(p) for p in day_dir(cat).glob("2*"))
    want = reference(files, ["ESZ5", "ESH6"], DAY0 + 5, DAY0 + 2 * NS_DAY + 7)
    index = day_dir(cat) / oc.INDEX_NAME
    appends_only = case == "appends of rubbish"
    with pytest.warns(RuntimeWarning, match=re.escape(str(index))) if not appends_only \
            else _no_warning():
        got = rows(cat.query(params(["ESZ5", "ESH6"], DAY0 + 5, DAY0 + 2 * NS_DAY + 7)))
        assert cat.symbols(orx.Dataset.FUTURES, orx.Schema.MBP1) == {
            t: ["2025-12-01", "2025-12-02", "2025-12-03"] for t in sorted(TICKERS.values())}
    assert got == want and len(got) == 1334
    cat.write(records([(DAY0 + 3 * NS_DAY, 8)]))  # a writer rebuilds what it cannot use
    mended = index_doc(index.read_bytes())
    cat.reindex()
    assert index_doc(index.read_bytes())["files"] == mended["files"]


class _no_warning:
    def __enter__(self):
        import warnings
        self.w = warnings.catch_warnings()
        self.w.__enter__()
        warnings.simplefilter("error")

    def __exit__(self, *exc):
        self.w.__exit__(*exc)


# --- links -----------------------------------------------------------------------------------


@pytest.fixture
def linked(tmp_path):
    cat = orx.Catalog(tmp_path / "cat", compression="zstd", day_format=1)
    cat.write(records(spread(days=2)))
    outside = tmp_path / "outside"
    outside.mkdir()
    victim = outside / "victim"
    victim.write_bytes(b"precious")
    return cat, victim


def refused(call, path):
    with pytest.raises(OSError) as e:
        call()
    assert e.value.filename == str(path)
    return e.value


@pytest.mark.parametrize("entry", [oc.INDEX_NAME, oc.LOCK_NAME, "2025-12-01.orx.zst",
                                   oc.JOURNAL_NAME])
def test_writes_never_go_through_a_link(linked, entry):
    cat, victim = linked
    link = day_dir(cat) / entry
    link.unlink(missing_ok=True)
    link.symlink_to(victim)
    before = {p.name: p.read_bytes() for p in day_dir(cat).iterdir() if not p.is_symlink()}
    e = refused(lambda: cat.write(records([(DAY0 + 1, 7)])), link)
    assert "symbolic link" in str(e)
    if entry != oc.LOCK_NAME:
        refused(cat.reindex, link)
    assert victim.read_bytes() == b"precious"
    assert {p.name: p.read_bytes() for p in day_dir(cat).iterdir() if not p.is_symlink()} == before


def test_a_dangling_lock_link_creates_nothing(linked, tmp_path):
    cat, _ = linked
    lock = day_dir(cat) / oc.LOCK_NAME
    lock.unlink()
    lock.symlink_to(tmp_path / "outside" / "created")
    refused(lambda: cat.write(records([(DAY0 + 1, 7)])), lock)
    assert not (tmp_path / "outside" / "created").exists()


def test_links_are_read_only_inside_the_root(linked, tmp_path):
    cat, victim = linked
    d = day_dir(cat)
    # a day linked to another file inside the root reads; to a file outside, it fails
    inside = cat.root / "keep.orx.zst"
    os.rename(d / "2025-12-02.orx.zst", inside)
    (d / "2025-12-02.orx.zst").symlink_to(inside)
    assert len(cat.query(params([], 0, 1 << 62))) == 12
    outside = tmp_path / "outside" / "day.orx.zst"
    os.rename(inside, outside)
    (d / "2025-12-02.orx.zst").unlink()
    (d / "2025-12-02.orx.zst").symlink_to(outside)
    with pytest.raises(PermissionError) as e:
        cat.query(params([], 0, 1 << 62))
    assert e.value.filename == str(d / "2025-12-02.orx.zst")
    # a dataset directory linked outside the root
    (tmp_path / "cat" / "EQUITIES").symlink_to(tmp_path / "outside")
    refused(lambda: cat.write(records([(DAY0, 7)]).replace(b"\x01\x01", b"\x01\x02", 1)),
            tmp_path / "cat" / "EQUITIES")
    assert sorted(os.listdir(tmp_path / "outside")) == ["day.orx.zst", "victim"]


# --- bounded decompression and counts --------------------------------------------------------


def test_a_block_holding_more_than_its_entry_says_is_refused(tmp_path):
    cat = orx.Catalog(tmp_path, compression="zstd", day_format=1)
    cat.write(records([(DAY0 + k, 7) for k in range(3)] + [(DAY0 + 5, 8)]))
    path = day_dir(cat) / "2025-12-01.orx.zst"
    index = day_dir(cat) / oc.INDEX_NAME
    doc = index_doc(index.read_bytes())
    entry = doc["files"][0]
    _, n, _, _, off, length = entry["blocks"][0]
    # the block of instrument 7 becomes a frame of 64 MiB of records claiming to hold 3
    z = _ext.ZstdWriter(1)
    rec = bytes(mbp1_bytes(iid=7, ts=DAY0))
    bomb = b"".join(z.compress(rec * 10_000) for _ in range(70)) + z.finish()
    data = path.read_bytes()
    path.write_bytes(data[:off] + bomb + data[off + length:])
    shift = len(bomb) - length
    entry["blocks"][0][5] = len(bomb)
    entry["blocks"][1][4] += shift
    st = os.stat(path)
    entry["stat"] = [st.st_size, st.st_mtime_ns, st.st_ino]
    index.write_bytes(json.dumps(doc).encode())
    with pytest.raises(ValueError) as e:
        cat.query(params(["ESZ5"], 0, 1 << 62)).to_numpy()
    assert str(e.value).startswith(f"{path}: block at byte {off} (instrument 7, 3 records) "
                                   f"does not hold what the index says: zstd frame at byte 0: "
                                   f"holds more than {3 * 96} bytes")
    # the other instrument's block is read as before
    assert [r[1] for r in rows(cat.query(params(["NQZ5"], 0, 1 << 62)))] == [8]


@pytest.mark.parametrize("compression, cut", [
    (None, 7 * 96),  # a raw day cut on a record boundary
    ("zstd", "last block"),  # a zstd day missing its last block
])
def test_a_day_cut_short_is_an_error_not_a_shorter_answer(tmp_path, compression, cut):
    cat = orx.Catalog(tmp_path, compression=compression, day_format=1)
    cat.write(records(spread(days=1, per_day=30)))
    name = "2025-12-01" + (".orx.zst" if compression else ".orx")
    path = day_dir(cat) / name
    entry = index_doc((day_dir(cat) / oc.INDEX_NAME).read_bytes())["files"][0]
    keep = entry["blocks"][-1][4] if cut == "last block" else os.path.getsize(path) - cut
    held = 30 - (entry["blocks"][-1][1] if cut == "last block" else 7)
    os.truncate(path, keep)
    message = (f"{day_dir(cat) / oc.INDEX_NAME}: the entry of {name} records 30 records, the "
               f"file holds {held}: it was cut short or changed behind the catalog's back; "
               f"Catalog.reindex() accepts the files as they are")
    with pytest.raises(ValueError) as e:
        cat.query(params([], 0, 1 << 62))
    assert str(e.value) == message
    cat.reindex()
    assert len(cat.query(params([], 0, 1 << 62)).to_numpy()) == held


@pytest.mark.parametrize("where, error", [
    ("inside a frame", "zstd stream truncated"),
    ("at the last block", "the entry of 2025-12-01.orx.zst records 30 records, the file holds"),
])
def test_a_day_cut_after_planning_is_an_error_when_read(tmp_path, where, error):
    cat = orx.Catalog(tmp_path, compression="zstd", day_format=1)
    cat.write(records(spread(days=1, per_day=30)))
    result = cat.query(params([], 0, 1 << 62))
    path = day_dir(cat) / "2025-12-01.orx.zst"
    last = index_doc((day_dir(cat) / oc.INDEX_NAME).read_bytes())["files"][0]["blocks"][-1]
    os.truncate(path, last[4] + (last[5] // 2 if where == "inside a frame" else 0))
    with pytest.raises(ValueError) as e:
        result.to_numpy()
    assert path.name in str(e.value) and error in str(e.value)
