"""The index of a catalog directory as tables: its bytes, the earlier JSON form, hostile bytes,
and planning over years of days of many instruments."""

import dataclasses
import json
import os
import re
import struct
import warnings
import zlib

import pytest

import orx
import orx.catalog as oc
from orx.catalog import _format, _index
from orx.catalog._records import day_of, day_start
from orx.catalog._storage import FileStat, LocalStorage
from catalog_util import DAY0, NS_DAY, index_doc, params, records, spread

REL = "FUTURES/mbp-1"
HEAD = struct.Struct("<8sIIQQQQQQQ")
FILE_ROW = 88  # bytes of a row of the table of files
KIND = 1


def written(tmp_path, compression):
    cat = orx.Catalog(tmp_path, compression=compression)
    cat.write(records(spread(days=3, per_day=30)))
    return cat


def index_path(cat):
    return cat.root / "FUTURES" / "mbp-1" / "_index.json"


def rows(result):
    a = result.to_numpy()
    return list(zip(a["ts_event"].tolist(), a["instrument_id"].tolist(), a["price"].tolist()))


def everything():
    return params([], 0, 1 << 62)


def reseal(data):
    """`data` with the checksum its header keeps made right again."""
    return data[:12] + struct.pack("<I", zlib.crc32(data[HEAD.size:])) + data[16:]


def header(data):
    return dict(zip(("magic", "version", "crc", "files", "instruments", "blocks", "splits",
                     "strings", "heap", "appends"), HEAD.unpack_from(data)))


def put(data, at, fmt, value):
    return data[:at] + struct.pack(fmt, value) + data[at + struct.calcsize(fmt):]


def strings_at(data):
    """Where the string lengths start."""
    h = header(data)
    return (HEAD.size + h["files"] * FILE_ROW + h["instruments"] * 32 + h["blocks"] * 44
            + h["splits"] * 8)


@pytest.mark.parametrize("compression", ["zstd", None])
def test_the_index_holds_each_file_as_its_own_summary_says(tmp_path, compression):
    cat = written(tmp_path, compression)
    data = index_path(cat).read_bytes()
    h = header(data)
    assert (h["magic"], h["version"], h["files"], h["instruments"], h["splits"]) == (
        b"ORXINDEX", 3, 3, 9, 0)
    doc = index_doc(data)  # decoded with struct, from the layout alone
    st = LocalStorage(cat.root)
    for entry in doc["files"]:
        with st.open_file(f"{REL}/{entry['file']}") as f:
            summary = _format.FORMATS[entry["format"]].summarise(f, KIND)
            stat = f.stat
        assert entry == {**summary, "file": entry["file"], "stat": stat.key()}
    # the entries the catalog uses are those of the index, as the JSON form's reader checks them
    for day_file in cat.files(orx.Dataset.FUTURES, orx.Schema.MBP1):
        raw = next(e for e in doc["files"] if e["file"] == day_file.entry.file)
        assert day_file.entry == _index.check_entry(raw, raw["file"], day_file.entry.stat,
                                                    _format.FORMATS, KIND)


@pytest.mark.parametrize("where", ["local", "memory"])
def test_an_index_of_the_json_form_is_read_and_the_next_write_stores_tables(tmp_path, where):
    local = written(tmp_path / "a", "zstd")
    want = rows(local.query(everything()))
    doc = index_doc(index_path(local).read_bytes())
    if where == "local":
        cat = local
        index_path(cat).write_bytes(json.dumps(doc).encode())
    else:
        cat = orx.Catalog(f"memory://orx-index-{os.getpid()}-{id(tmp_path)}")
        cat.write(local.query(everything()))
        remote = index_doc(cat._storage.read_bytes(f"{REL}/_index.json"))
        cat._storage.fs.pipe_file(cat._storage.full(f"{REL}/_index.json"),
                                  json.dumps(remote).encode())
        doc = remote
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert rows(cat.query(everything())) == want
    cat.write(records([(DAY0 + 3 * NS_DAY + 5, 8)]))
    data = cat._storage.read_bytes(f"{REL}/_index.json")
    assert data.startswith(b"ORXINDEX")
    assert index_doc(data)["files"][:3] == doc["files"]  # the old entries, kept as they were
    assert len(cat.query(everything())) == len(want) + 1


def _spoil_heap(data):
    at = strings_at(data) + header(data)["strings"] * 4
    return reseal(data[:at] + b"\xff" + data[at + 1:])


HOSTILE_HEADERS = {
    "a header cut short": (lambda d: d[:40], "40 bytes, shorter than the 72-byte header"),
    "tables cut short": (lambda d: d[:-1], "its header describes {n} bytes, it has {m}"),
    "a huge count": (lambda d: put(d, 24, "<Q", 1 << 60), "its header describes {huge} bytes, "
                                                          "it has {n}"),
    "another version": (lambda d: put(d, 8, "<I", 9), "an index of version 9, not 3"),
    "a byte changed": (lambda d: d[:-3] + bytes([d[-3] ^ 1]) + d[-2:],
                       "its checksum does not match its bytes"),
    "files holding other counts": (lambda d: reseal(put(d, HEAD.size + 12, "<I", 4)),
                                   "its files hold another number of instruments than its "
                                   "header says"),
    "string lengths off": (lambda d: reseal(put(d, strings_at(d), "<I", 99)),
                           "its strings hold another number of bytes than its header says"),
    "a name out of range": (lambda d: reseal(put(d, HEAD.size, "<I", 0xFFFF)),
                            "a file of it names a string it lacks"),
    "a string not UTF-8": (_spoil_heap, "a string of it is not UTF-8"),
    "appends not JSON": (lambda d: reseal(d[:-1] + b"x"),
                         "its appends are not JSON (JSONDecodeError)"),
}


@pytest.mark.parametrize("case", HOSTILE_HEADERS)
def test_hostile_index_bytes_are_named_and_the_files_answer(tmp_path, case):
    cat = written(tmp_path, "zstd")
    want = rows(cat.query(everything()))
    good = index_path(cat).read_bytes()
    spoil, message = HOSTILE_HEADERS[case]
    bad = spoil(good)
    huge = len(good) + ((1 << 60) - 9) * 32
    message = message.format(n=len(good), m=len(bad), huge=huge)
    index_path(cat).write_bytes(bad)
    assert _index.load(LocalStorage(cat.root), REL).problem == message
    with pytest.warns(RuntimeWarning, match=re.escape(f"{index_path(cat)}: {message}")):
        assert rows(orx.Catalog(tmp_path).query(everything())) == want
    cat.write(records([(DAY0 + 3 * NS_DAY, 8)]))  # a writer rebuilds what it cannot use
    assert [e["file"][:10] for e in index_doc(index_path(cat).read_bytes())["files"]] == [
        "2025-12-01", "2025-12-02", "2025-12-03", "2025-12-04"]


def _with(entry, **fields):
    return dataclasses.replace(entry, **fields)


def _inst(entry, k, **fields):
    out = [list(i) for i in entry.instruments]
    for name, v in fields.items():
        out[k][("id", "ticker", "records", "first", "last").index(name)] = v
    return tuple(tuple(i) for i in out)


def _block(entry, k, **fields):
    out = [list(b) for b in entry.blocks]
    for name, v in fields.items():
        out[k][("id", "records", "first", "last", "offset", "length").index(name)] = v
    return tuple(tuple(b) for b in out)


def _overlap(e):
    spoilt = _with(e, blocks=_block(e, 1, offset=e.blocks[0][4] + 1))
    spans = sorted([e.head] + [(b[4], b[5]) for b in spoilt.blocks])
    (a, n), (b, _) = next((x, y) for x, y in zip(spans, spans[1:]) if x[0] + x[1] > y[0])
    return spoilt, f"byte ranges [{a}, {a + n}) and [{b}, ...) overlap"


def _lo(e):
    return day_start(e.day)


# (spoil an entry) -> (the spoilt entry, what the tables' checks say; None: as the JSON one's)
HOSTILE_ENTRIES = {
    "a count one more": lambda e: (_with(e, count=e.count + 1), None),
    "a sum that wraps around": lambda e: (_with(e, count=(1 << 64) - 2, instruments=_inst(
        _with(e, instruments=_inst(_with(e, instruments=_inst(
            e, 0, records=(1 << 64) - 2)), 1, records=(1 << 64) - 2)), 2, records=2)), None),
    "ids out of order": lambda e: (_with(e, instruments=(e.instruments[1], e.instruments[0],
                                                         *e.instruments[2:])),
                                   f"instruments[1] id is {e.instruments[0][0]}, not above "
                                   f"the one before"),
    "a start before the day": lambda e: (_with(e, start=_lo(e) - 1, instruments=_inst(
        e, 0, first=_lo(e) - 1)), None),
    "a block of another instrument": lambda e: (_with(e, blocks=_block(e, 0, id=99)), None),
    "a block past the end": lambda e: (_with(e, blocks=_block(
        e, 2, length=e.size - e.blocks[2][4] + 1)), None),
    "blocks that overlap": _overlap,
    "blocks holding other counts": lambda e: (_with(e, blocks=_block(_with(e, blocks=_block(
        e, 0, records=e.blocks[0][1] + 1)), 1, records=e.blocks[1][1] - 1)), None),
    "a block of too many records": lambda e: (_with(
        e, count=e.count + 70_000 - e.instruments[0][2],
        instruments=_inst(e, 0, records=70_000), blocks=_block(e, 0, records=70_000)), None),
    "a split after the end": lambda e: (_with(e, splits=(e.end + 1,)), None),
    "blocks without a head": lambda e: (_with(e, head=None), None),
    "an empty file with times": lambda e: (_with(e, count=0, instruments=(), blocks=()), None),
}


@pytest.mark.parametrize("case", HOSTILE_ENTRIES)
def test_an_entry_that_does_not_hold_together_is_refused_as_the_json_form_refuses_it(
        tmp_path, case):
    cat = written(tmp_path, "zstd")
    want = rows(cat.query(everything()))
    files = cat.files(orx.Dataset.FUTURES, orx.Schema.MBP1)
    plain = [_with(f.entry, instruments=tuple(f.entry.instruments),
                   blocks=tuple(f.entry.blocks)) for f in files]
    bad, message = HOSTILE_ENTRIES[case](plain[0])
    with pytest.raises(_index.Invalid) as by_json:
        _index.check_entry(bad.to_json(), bad.file, bad.stat, _format.FORMATS, KIND)
    data = _index.dump([bad, *plain[1:]], [])
    row = _index.load_bytes(data).entries[bad.file]
    with pytest.raises(_index.Invalid) as by_tables:
        _index.check_entry(row, bad.file, bad.stat, _format.FORMATS, KIND)
    assert str(by_tables.value) == (message or str(by_json.value))
    # the catalog says so, naming the index and the entry, and reads that file instead
    index_path(cat).write_bytes(data)
    with pytest.warns(RuntimeWarning, match=re.escape(
            f"{index_path(cat)}: entry of {bad.file}: {by_tables.value}")) if case not in (
            "a count one more", "a sum that wraps around", "a block of too many records",
            "an empty file with times") else pytest.raises(ValueError, match="records"):
        assert rows(orx.Catalog(tmp_path).query(everything())) == want


def synthetic(days, instruments, every_without=50):
    """Entries of `days` days from 2020 of `instruments` instruments, one block each;
    instrument 420 missing on every `every_without`-th day."""
    out = []
    for d in range(days):
        lo = DAY0 - 5 * 365 * NS_DAY + d * NS_DAY
        ids = [i for i in range(instruments) if i != 420 or d % every_without]
        inst = tuple((i, f"S{i:04d}", 200, lo + i, lo + i + 10**12) for i in ids)
        blocks = tuple((i, 200, lo + i, lo + i + 10**12, 100 + 4000 * i, 4000) for i in ids)
        day = day_of(lo).isoformat()
        out.append(_index.Entry(f"{day}@{d:016x}.orx.zst", day, 1,
                                FileStat(100 + 4000 * instruments, 0, d), 200 * len(ids), lo,
                                lo + max(ids) + 10**12, inst, (0, 100), blocks, ()))
    return out


def test_planning_years_of_many_instruments_takes_the_blocks_asked_for():
    days = 300
    cat = orx.Catalog(f"memory://orx-plan-{os.getpid()}")
    cat._storage.fs.pipe_file(cat._storage.full(f"{REL}/_index.json"),
                              _index.dump(synthetic(days, 500), []))
    lo = DAY0 - 5 * 365 * NS_DAY
    start, end = lo + 100 * NS_DAY + 300, lo + 200 * NS_DAY + 10
    plan = orx.Catalog(cat.root).plan(params(["S0007", "S0420"], start, end))
    assert [p.day for p in plan.parts] == [day_of(lo + d * NS_DAY).isoformat()
                                           for d in range(100, 201)]
    for d, part in zip(range(100, 201), plan.parts):
        day = lo + d * NS_DAY
        held = [7] + ([420] if d % 50 else [])
        inside = [i for i in held if day + i < end]  # the last day holds records from lo + i
        assert part.ids == tuple(held)
        assert part.instruments == tuple((i, f"S{i:04d}", 200, day + i, day + i + 10**12)
                                         for i in inside)
        assert part.blocks == tuple((i, 200, day + i, day + i + 10**12, 100 + 4000 * i, 4000)
                                    for i in inside)
        assert part.head == (0, 100) and part.stat == (100 + 4000 * 500, 0, d)
    everyone = orx.Catalog(cat.root).plan(params([], lo + 7 * NS_DAY, lo + 8 * NS_DAY))
    assert len(everyone.parts) == 1 and len(everyone.parts[0].blocks) == 500
    with pytest.raises(oc.UnknownSymbolError, match="'S9999'"):
        orx.Catalog(cat.root).plan(params(["S0001", "S9999"], start, end))
