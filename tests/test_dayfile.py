"""Day files of format 2 and the query executor: the byte layout read back by a decoder written
here from design.md's description, damaged and cut files, large symbol maps, the executor's
merge against a plain sort, and orx.open / orx convert of a day file."""

import json
import os
import struct
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import orx
import orx.catalog as oc
from orx import _ext
from catalog_util import DAY0, NS_DAY, TICKERS, index_doc, params, records, spread
from stream_util import mbp1_bytes, stream

MAGIC = b"\x93ORXDAY\n"
KINDS = {1: 96, 2: 64, 3: 56, 5: 88}  # rtype: record size


def day_dir(cat):
    return cat.directory(orx.Dataset.FUTURES, orx.Schema.MBP1)


def dcat(tmp_path):
    return orx.Catalog(tmp_path, day_format=2)


# --- an independent reader of the layout -----------------------------------------------------


def zigzag_inverse(z, width):
    bits = np.uint64(width * 8)
    z = z.astype(np.uint64)
    out = (z >> np.uint64(1)) ^ (np.uint64(0) - (z & np.uint64(1)))
    return out & np.uint64((1 << int(bits)) - 1) if width < 8 else out


def decode_block_here(rtype, block, count):
    """A stored block's records, following the layout in design.md."""
    frame, crc = block[:-4], struct.unpack("<I", block[-4:])[0]
    assert crc == _ext.crc32c(frame)
    planes = np.frombuffer(_ext.zstd_decompress(frame), np.uint8)
    size, columns = _ext.record_layout(rtype)
    assert len(planes) == count * size
    covered = {c[1] + b for c in columns for b in range(c[2])}
    fields = [(name, off, width, role) for name, off, width, _, role in columns]
    fields += [("pad", b, 1, "int") for b in range(size) if b not in covered]
    out = np.zeros((count, size), np.uint8)
    at = 0
    event = None
    for name, off, width, role in fields:
        p = planes[at:at + count * width].reshape(width, count).astype(np.uint64)
        at += count * width
        v = np.zeros(count, np.uint64)
        for b in range(width):
            v |= p[b] << np.uint64(8 * b)
        mask = np.uint64((1 << (8 * width)) - 1) if width < 8 else np.uint64(2**64 - 1)
        if role in ("event_time", "price") or name == "sequence":
            with np.errstate(over="ignore"):
                v = np.cumsum(zigzag_inverse(v, width), dtype=np.uint64) & mask
        elif role == "time":
            with np.errstate(over="ignore"):
                v = (zigzag_inverse(v, width) + event) & mask
        if role == "event_time":
            event = v
        out[:, off:off + width] = v.astype("<u8").view(np.uint8).reshape(count, 8)[:, :width]
    return out.tobytes()


def read_file_here(data):
    """(rtype, metadata fields, symbol map, [(block entry, records)]) of a whole day file."""
    magic, version, rtype, zero = struct.unpack_from("<8sHHI", data, 0)
    assert (magic, version, zero) == (MAGIC, 2, 0)
    head_len, dir_off, dir_len, crc, mark = struct.unpack("<QQQI4s", data[-32:])
    assert mark == b"ORXD" and crc == _ext.crc32c(data[-32:-8])
    assert dir_off + dir_len == len(data) - 32
    listing = data[dir_off:dir_off + dir_len]
    assert struct.unpack("<I", listing[-4:])[0] == _ext.crc32c(listing[:-4])
    (n,) = struct.unpack_from("<I", listing, 0)
    head = data[16:16 + head_len]
    assert struct.unpack("<I", head[-4:])[0] == _ext.crc32c(head[:-4])
    raw = _ext.zstd_decompress(head[:-4])
    (mlen,) = struct.unpack_from("<I", raw, 0)
    meta = orx.Metadata.decode(raw[4:4 + mlen])
    at = 4 + mlen
    (count,) = struct.unpack_from("<I", raw, at)
    at += 4
    symbols = {}
    for _ in range(count):
        i, length = struct.unpack_from("<IH", raw, at)
        symbols[i] = raw[at + 6:at + 6 + length].decode()
        at += 6 + length
    assert at == len(raw) and meta.mappings.map == {}
    blocks = []
    for k in range(n):
        b = struct.unpack_from("<IIQQQII", listing, 4 + 40 * k)
        assert b[6] == 0
        blocks.append((list(b[:6]), decode_block_here(rtype, data[b[4]:b[4] + b[5]], b[1])))
    return rtype, (meta.schema, meta.dataset, meta.start, meta.end), symbols, blocks


def test_crc32c_is_the_castagnoli_checksum():
    # the check value of CRC-32C and the iSCSI test vector of 32 zero bytes
    assert _ext.crc32c(b"123456789") == 0xE3069283
    assert _ext.crc32c(bytes(32)) == 0x8A9136AA
    assert _ext.crc32c(b"") == 0


record_fields = st.tuples(st.integers(0, 3), st.integers(0, 10**6),  # instrument, ts offset
                          st.integers(-2**63, 2**63 - 1), st.integers(0, 2**64 - 1),
                          st.integers(0, 2**32 - 1), st.binary(min_size=96, max_size=96))


def make_record(iid, dt, price, ts_recv, seq, noise):
    """An MBP-1 record with every byte chosen but its header (length, rtype, id, ts_event)."""
    r = bytearray(noise)
    struct.pack_into("<BBHIQ", r, 0, 24, 1, struct.unpack_from("<H", noise, 2)[0], 7 + iid,
                     DAY0 + dt)
    struct.pack_into("<q", r, 24, price)
    struct.pack_into("<Q", r, 40, ts_recv)
    struct.pack_into("<I", r, 52, seq)
    return bytes(r)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                 HealthCheck.function_scoped_fixture])
@given(recs=st.lists(record_fields, min_size=1, max_size=60))
def test_the_file_holds_every_byte_of_every_record_as_design_md_lays_it_out(tmp_path_factory,
                                                                           recs):
    root = tmp_path_factory.mktemp("cat")
    raw = [make_record(*r) for r in recs]
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, DAY0, DAY0 + NS_DAY,
                        orx.SymbolMap({7 + k: f"S{k}" for k in range(4)}))
    cat = dcat(root)
    (path,) = cat.write(np.frombuffer(b"".join(raw), "V96"), meta)
    rtype, fields, symbols, blocks = read_file_here(path.read_bytes())
    assert rtype == 1
    assert fields == (orx.Schema.MBP1, orx.Dataset.FUTURES, DAY0, DAY0 + NS_DAY)
    held = {int.from_bytes(r[4:8], "little") for r in raw}
    assert symbols == {i: f"S{i - 7}" for i in sorted(held)}
    # by instrument, each instrument's records in ts_event order (stable)
    want = sorted(raw, key=lambda r: (r[4:8][::-1], r[8:16][::-1]))
    assert b"".join(b for _, b in blocks) == b"".join(want)
    entry = index_doc((day_dir(cat) / oc.INDEX_NAME).read_bytes())["files"][0]
    assert entry["blocks"] == [b for b, _ in blocks] and entry["format"] == 2
    # and the catalog answers with the records in time order, every byte kept
    got = cat.query(params([], 0, 1 << 62)).to_bytes()
    by_time = sorted(raw, key=lambda r: (r[8:16][::-1], r[4:8][::-1]))
    assert got[len(orx.Metadata.decode(got).encode()):] == b"".join(by_time)


# --- damage ----------------------------------------------------------------------------------


@pytest.fixture
def written(tmp_path):
    cat = dcat(tmp_path)
    cat.write(records(spread(days=1, per_day=30)))
    path = day_dir(cat) / "2025-12-01.orxday"
    entry = index_doc((day_dir(cat) / oc.INDEX_NAME).read_bytes())["files"][0]
    return cat, path, entry


def spoil(path, at, value=None):
    """Changes the byte at `at`, keeping the file's size and times."""
    st_ = os.stat(path)
    data = bytearray(path.read_bytes())
    data[at] = data[at] ^ 0x40 if value is None else value
    path.write_bytes(bytes(data))
    os.utime(path, ns=(st_.st_atime_ns, st_.st_mtime_ns))
    os.utime(path, ns=(st_.st_atime_ns, st_.st_mtime_ns))


@pytest.mark.parametrize("where", ["first byte", "middle", "checksum"])
def test_a_damaged_block_is_an_error_naming_the_file_and_block(written, where):
    cat, path, entry = written
    i_id, n, _, _, off, length = entry["blocks"][1]
    at = {"first byte": off, "middle": off + length // 2, "checksum": off + length - 1}[where]
    before = os.stat(path).st_ino
    spoil(path, at)
    assert os.stat(path).st_ino == before
    with pytest.raises(ValueError) as e:
        cat.query(params([], 0, 1 << 62)).to_numpy()
    assert str(e.value) == (f"{path}: block at byte {off} (instrument {i_id}, {n} records) "
                            f"does not hold what the index says: its checksum does not match "
                            f"its bytes; Catalog.reindex() rebuilds the index from the files")
    # the other instruments' blocks read as before
    others = [t for t in TICKERS.values() if t != TICKERS[i_id]]
    assert len(cat.query(params(others, 0, 1 << 62)).to_numpy()) == 20


def test_a_block_of_other_records_than_its_entry_says_is_refused(written):
    cat, path, entry = written
    # the blocks of instruments 7 and 8 swapped in the index: right bytes, wrong block
    index = day_dir(cat) / oc.INDEX_NAME
    doc = index_doc(index.read_bytes())
    a, b = doc["files"][0]["blocks"][:2]
    a[4:], b[4:] = b[4:], a[4:]
    index.write_bytes(json.dumps(doc).encode())
    with pytest.raises(ValueError) as e:
        cat.query(params(["ESZ5"], 0, 1 << 62)).to_numpy()
    assert str(e.value).startswith(f"{path}: block at byte {a[4]} (instrument 7, 10 records) "
                                   f"does not hold what the index says: record 0 is of "
                                   f"instrument 8")


@pytest.mark.parametrize("cut", [1, 31, 32, 100])
def test_a_day_file_cut_short_is_refused_by_reindex_naming_it(written, cut):
    cat, path, entry = written
    os.truncate(path, os.path.getsize(path) - cut)
    with pytest.raises(ValueError) as e:
        cat.reindex()
    assert str(e.value).startswith(f"{path}: ")
    assert "trailer" in str(e.value) or "too short" in str(e.value)


@pytest.mark.parametrize("what, at, message", [
    ("magic", 0, "not a day file (no day-file magic)"),
    ("version", 8, "day-file version 66 is unknown to this version of orx"),
    ("directory", -40, "the directory of the day file: its checksum does not match its bytes"),
    ("head", 20, "the head of the day file: its checksum does not match its bytes"),
])
def test_a_damaged_header_directory_or_head_is_named(written, what, at, message):
    cat, path, entry = written
    spoil(path, at if at >= 0 else os.path.getsize(path) + at, 66 if what == "version" else None)
    with pytest.raises(ValueError) as e:
        cat.reindex()
    assert str(e.value) == f"{path}: {message}"


# --- symbol maps larger than a stream's metadata ---------------------------------------------


def test_a_day_holds_any_number_of_instruments(tmp_path):
    n = 12_000
    ids = np.arange(1, n + 1, dtype=np.uint32)
    rec = bytearray(mbp1_bytes(iid=0, ts=DAY0))
    arr = np.frombuffer(bytes(rec) * n, "V96").copy()
    view = arr.view(np.uint8).reshape(n, 96)
    view[:, 4:8] = ids.view(np.uint8).reshape(n, 4)
    tickers = {int(i): f"INSTRUMENT-{i:010d}" for i in ids}
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, DAY0, DAY0 + NS_DAY,
                        orx.SymbolMap(tickers))
    with pytest.raises((OSError, ValueError)):
        meta.encode()  # more than a stream's metadata carries
    cat = dcat(tmp_path)
    cat.write(arr, meta)
    result = cat.query(params([], 0, 1 << 62))
    assert len(result.to_numpy()) == n
    frame = result.to_pandas()
    assert frame["symbol"].tolist() == [tickers[int(i)] for i in ids]
    with pytest.raises(ValueError) as e:
        result.to_bytes()
    assert str(e.value).startswith(f"the answer's symbol map ({n:,} instruments) is too large "
                                   f"for a stream's metadata")
    # a part of it goes out as a stream
    few = cat.query(params([tickers[5], tickers[9]], 0, 1 << 62))
    assert orx.open(few.to_bytes()).metadata.mappings.map == {5: tickers[5], 9: tickers[9]}


# --- orx.open and convert --------------------------------------------------------------------


def test_orx_open_and_convert_read_a_day_file_as_the_records_it_holds(written, tmp_path):
    cat, path, entry = written
    plain = orx.Catalog(tmp_path / "plain", day_format=1, compression=None)
    plain.write(records(spread(days=1, per_day=30)))
    (plain_path,) = day_dir(plain).glob("2*")
    want = plain_path.read_bytes()  # format 1, raw: the metadata and the records as held
    out = tmp_path / "out.orx"
    subprocess.run([sys.executable, "-m", "orx", "convert", str(path), str(out)], check=True)
    assert out.read_bytes() == want
    pd.testing.assert_frame_equal(orx.open(path).to_pandas(), orx.open(want).to_pandas(),
                                  check_exact=True)
    info = subprocess.run([sys.executable, "-m", "orx", "info", str(path)], check=True,
                          capture_output=True, text=True).stdout
    assert "30" in info


# --- the executor ----------------------------------------------------------------------------


block_strategy = st.lists(
    st.tuples(st.integers(0, 3), st.lists(st.integers(0, 30), min_size=0, max_size=12)),
    min_size=0, max_size=6)


def raw_block(iid, times, k):
    return b"".join(mbp1_bytes(iid=iid, ts=DAY0 + t, price=k * 100 + j)
                    for j, t in enumerate(times))


@settings(max_examples=120, deadline=None)
@given(days=st.lists(st.tuples(block_strategy, st.integers(0, 31), st.integers(0, 31)),
                     min_size=1, max_size=3),
       coding=st.sampled_from([0, 1, 2]), threads=st.sampled_from([1, 2, 3]))
def test_the_executor_merges_like_a_stable_sort(days, coding, threads):
    z = _ext.ZstdWriter(1)
    inputs, want = [], []
    for k, (blocks, lo, hi) in enumerate(days):
        day_inputs, day = [], []
        for b, (iid, times) in enumerate(blocks):
            times = sorted(times) if coding == 2 else times  # stored blocks come sorted
            data = raw_block(iid, times, b)
            if coding == 1:
                data = z.compress(data) + z.finish()
            elif coding == 2:
                data = _ext.dayfile_encode(1, data, [0, len(times)], 1, 1)[0]
            known = coding != 0 or b % 2 == 0
            first, last = (min(times), max(times)) if times else (0, 0)
            day_inputs.append((data, coding, known or coding != 0, len(times), iid,
                               DAY0 + first, DAY0 + last))
            day += [(t, iid, b, j) for j, t in enumerate(times) if lo <= t < hi]
        inputs.append((DAY0 + lo, DAY0 + hi, day_inputs))
        want += [(t, i, b * 100 + j) for t, i, b, j in sorted(day, key=lambda x: (x[0], x[1]))]
    data, counts = _ext.query_run(1, inputs, threads)
    arr = np.frombuffer(data, orx._kinds.record_dtype(1))
    got = list(zip((arr["ts_event"] - DAY0).tolist(), arr["instrument_id"].tolist(),
                   arr["price"].tolist()))
    assert got == want
    assert [sum(c) for c in counts] == [sum(lo <= t < hi for _, ts in blocks for t in ts)
                                        for blocks, lo, hi in days]


@pytest.mark.parametrize("spoil_how, detail", [
    (lambda b: b[:-1], "its checksum does not match its bytes"),
    (lambda b: b"", "a block of 0 bytes is too short to hold its checksum"),
])
def test_the_executor_names_the_failing_day_and_block(spoil_how, detail):
    good = _ext.dayfile_encode(1, raw_block(7, [1, 2], 0), [0, 2], 1, 1)[0]
    days = [(0, 1 << 63, [(good, 2, True, 2, 7, DAY0 + 1, DAY0 + 2)]),
            (0, 1 << 63, [(good, 2, True, 2, 7, DAY0 + 1, DAY0 + 2),
                          (spoil_how(good), 2, True, 2, 7, DAY0 + 1, DAY0 + 2)])]
    with pytest.raises(ValueError) as e:
        _ext.query_run(1, days, 2)
    assert e.value.args == (detail, 1, 1)


def test_the_executor_refuses_a_block_claiming_other_times():
    good = _ext.dayfile_encode(1, raw_block(7, [1, 2], 0), [0, 2], 1, 1)[0]
    with pytest.raises(ValueError) as e:
        _ext.query_run(1, [(0, 1 << 63, [(good, 2, True, 2, 7, DAY0 + 1, DAY0 + 3)])], 1)
    assert e.value.args == (f"its records range over other times ({DAY0 + 1} to {DAY0 + 2})",
                            0, 0)


def test_one_thread_and_several_give_the_same_answer(tmp_path):
    cat = dcat(tmp_path)
    cat.write(records(spread(days=3, per_day=300, ids=(7, 8, 9))))
    try:
        oc._execute.set_threads(1)
        one = cat.query(params([], 0, 1 << 62)).to_bytes()
        oc._execute.set_threads(3)
        three = cat.query(params([], 0, 1 << 62)).to_bytes()
    finally:
        oc._execute.set_threads(None)
    assert one == three
    with pytest.raises(ValueError, match="threads must be a positive int or None, not 0"):
        oc._execute.set_threads(0)


def test_format_1_days_stay_and_new_days_are_format_2(tmp_path):
    old = orx.Catalog(tmp_path, day_format=1)
    old.write(records(spread(days=2)))
    cat = orx.Catalog(tmp_path)
    cat.write(records([(DAY0 + 3, 8), (DAY0 + 2 * NS_DAY + 1, 9)]))
    cat.reindex()
    names = sorted(p.name for p in day_dir(cat).glob("2*"))
    assert names == ["2025-12-01.orx.zst", "2025-12-02.orx.zst", "2025-12-03.orxday"]
    got = cat.query(params([], 0, 1 << 62)).to_numpy()
    assert len(got) == 14 and (np.diff(got["ts_event"].astype(np.int64)) >= 0).all()


def test_queries_read_without_pyarrow_installed(written):
    cat = written[0]
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "import orx, orx.catalog\n"
            f"c = orx.Catalog({str(cat.root)!r})\n"
            "r = c.query(dataset='futures', schema='mbp-1', start='2025-11-01', end='2026-01-01')\n"
            "print(len(r.to_numpy()), len(r.to_pandas()))")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    assert out.stdout.split() == ["30", "30"]


# --- writing: the order of a day's records, the records of a structured array ----------------


@settings(max_examples=80, deadline=None)
@given(ids=st.lists(st.integers(1, 4), max_size=40), times=st.lists(st.integers(0, 5), max_size=40),
       how=st.sampled_from(["as made", "in time order", "grouped"]))
def test_records_are_grouped_by_instrument_like_a_stable_sort(ids, times, how):
    n = min(len(ids), len(times))
    ts, iid = np.array(times[:n], dtype=np.uint64), np.array(ids[:n], dtype=np.uint32)
    if how == "in time order":
        ts = np.sort(ts)
    elif how == "grouped":
        order = sorted(range(n), key=lambda k: (iid[k], ts[k]))
        ts, iid = ts[order], iid[order]
    want = sorted(range(n), key=lambda k: (iid[k], ts[k]))  # Python's sort is stable
    order = oc._records.instrument_order(ts, iid)
    assert (list(range(n)) if order is None else order.tolist()) == want


def test_a_structured_array_of_the_records_layout_is_written_as_its_bytes(tmp_path):
    data = records(spread(days=2, per_day=5))
    meta = orx.open(data).metadata
    arr = orx.open(data).to_numpy()
    a, b = dcat(tmp_path / "a"), dcat(tmp_path / "b")
    a.write(arr, meta)
    b.write(data)
    whole = params([], 0, 1 << 62)
    assert a.query(whole).to_bytes() == b.query(whole).to_bytes()
    bad = arr.copy()
    bad["rtype"][3] = 2
    with pytest.raises(ValueError, match="every record must be of kind"):
        a.write(bad, meta)
    assert a.query(whole).to_bytes() == b.query(whole).to_bytes()  # nothing was written
