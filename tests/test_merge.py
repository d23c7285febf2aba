"""Merging record streams by ts_event: the k-way merge against a reference made with Python's
own sort, inputs out of order stopped with the record that is, pieces cut inside records,
the sort in bounded memory (runs spilled, then merged), and ``orx merge`` on all of these."""

import os
import random
import struct
import subprocess
import sys

import pytest

import orx
from orx import _ext, _merge

from stream_util import bbo_bytes, mbp1_bytes, trade_bytes
from test_writer import metadata


def recs(times, make=trade_bytes, iid=7):
    """Records with these ts_event values; the instrument id tells them apart."""
    return [make(iid=iid + i, ts=t) for i, t in enumerate(times)]


def reference(inputs):
    """The merge as Python's stable sort makes it: by ts_event, then input, then position."""
    keyed = [(struct.unpack_from("<Q", r, 8)[0], i, j, r)
             for i, rs in enumerate(inputs) for j, r in enumerate(rs)]
    return b"".join(r for *_, r in sorted(keyed, key=lambda k: k[:3]))


def pieces_of(data, cuts):
    """`data` cut at the byte offsets `cuts` (anywhere, records included)."""
    bounds = [0, *sorted(cuts), len(data)]
    return [data[a:b] for a, b in zip(bounds, bounds[1:]) if b > a]


def merged(feeds, names=None):
    out = []
    _merge.merge([iter(f) for f in feeds], names or [f"in{i}" for i in range(len(feeds))],
                 lambda data, count: out.append((data, count)))
    return b"".join(d for d, _ in out), sum(c for _, c in out)


def sorted_times(rng, n, spread):
    return sorted(rng.randrange(spread) for _ in range(n))


MERGES = [
    # (input count, records each, ts spread (small: many ties), seed)
    (1, 50, 10, 1),
    (2, 200, 5, 2),
    (3, 300, 1000, 3),
    (5, 100, 3, 4),
    (9, 40, 1 << 63, 5),
]


@pytest.mark.parametrize("k, n, spread, seed", MERGES)
def test_the_merge_matches_a_stable_sort(k, n, spread, seed):
    rng = random.Random(seed)
    inputs = [recs(sorted_times(rng, rng.randrange(n + 1), spread), iid=100 * i)
              for i in range(k)]
    feeds = []
    for rs in inputs:
        data = b"".join(rs)
        feeds.append(pieces_of(data, rng.sample(range(1, len(data)), min(len(data) - 1, 7))
                               if len(data) > 1 else []))
    got, count = merged(feeds)
    assert got == reference(inputs) and count == sum(map(len, inputs))


def test_records_of_several_kinds_go_whole():
    a = [mbp1_bytes(ts=1), trade_bytes(ts=3), bbo_bytes(ts=3)]
    b = [bbo_bytes(ts=2, iid=9), mbp1_bytes(ts=3, iid=9), trade_bytes(ts=9, iid=9)]
    got, count = merged([[b"".join(a)], [b"".join(b)]])
    assert got == reference([a, b]) and count == 6


def test_ties_at_the_largest_value_keep_input_order():
    top = (1 << 64) - 1
    a, b = recs([top, top], iid=1), recs([0, top], iid=50)
    assert merged([[b"".join(a)], [b"".join(b)]])[0] == b"".join([b[0], a[0], a[1], b[1]])


UNSORTED = [
    # (times of the input, index of the first record out of order, its ts, the one before)
    ([5, 4], 1, 4, 5),
    ([1, 2, 2, 3, 0], 4, 0, 3),
    ([1 << 63, (1 << 63) - 1], 1, (1 << 63) - 1, 1 << 63),
]


@pytest.mark.parametrize("times, index, ts, before", UNSORTED)
@pytest.mark.parametrize("piece", [1, 7, 10 ** 6])
def test_an_input_out_of_order_names_the_record(times, index, ts, before, piece):
    data = b"".join(recs(times))
    good = b"".join(recs([0, 1 << 64 - 1]))
    with pytest.raises(_merge.UnsortedInput) as e:
        merged([[good], pieces_of(data, range(piece, len(data), piece))], ["a.orx", "b.orx"])
    assert str(e.value) == (f"b.orx: record {index} (ts_event {ts}) comes before the record "
                            f"ahead of it (ts_event {before}): the input is not sorted by "
                            "ts_event")


def test_damaged_record_bytes_are_refused():
    m = _ext.RecordMerger(1)
    with pytest.raises(ValueError, match="^record 1 is 8 bytes long, shorter than a record "
                       r"header \(24 bytes\)$"):
        m.push(0, trade_bytes() + b"\x02" + bytes(30))
    m = _ext.RecordMerger(1)
    m.push(0, trade_bytes()[:20])
    with pytest.raises(ValueError, match="^record 0 is cut short: 20 of its 56 bytes are there$"):
        m.finish(0)
    with pytest.raises(IndexError):
        _ext.RecordMerger(2).push(2, b"")


@pytest.mark.parametrize("n, run", [(0, 1000), (1, 1000), (500, 56 * 37), (500, 1 << 20)])
def test_the_sort_matches_a_stable_sort_whatever_the_runs(tmp_path, n, run):
    rng = random.Random(n)
    a = recs([rng.randrange(40) for _ in range(n)], iid=0)
    b = recs([rng.randrange(40) for _ in range(n // 2)], iid=10_000)
    out = []
    reads = []
    _merge.sort_merge([pieces_of(b"".join(a), [100, 3000]), [b"".join(b)]], ["a", "b"],
                      str(tmp_path), lambda d, c: out.append(d), run=run, read=reads.append)
    assert b"".join(out) == reference([a, b])
    assert sum(reads) == 56 * (n + n // 2)  # every record read back from a run
    assert os.listdir(tmp_path) == []  # the runs have no names


def test_sort_records_leaves_a_cut_record_for_later():
    rs = recs([3, 1, 2])
    assert _ext.sort_records(b"".join(rs) + rs[0][:10]) == (rs[1] + rs[2] + rs[0], 3 * 56)
    with pytest.raises(ValueError, match="^record 1 is 4 bytes long, shorter than a record "):
        _ext.sort_records(rs[0] + b"\x01" + bytes(60))


def test_a_sort_input_cut_inside_a_record_is_refused(tmp_path):
    with pytest.raises(ValueError, match=r"^a: the last record is cut short \(30 bytes are there\)$"):
        _merge.sort_merge([[trade_bytes() + trade_bytes()[:30]]], ["a"], str(tmp_path),
                          lambda d, c: None)
    assert os.listdir(tmp_path) == []


# --- orx merge --------------------------------------------------------------------------------

def orx_cli(*args):
    return subprocess.run([sys.executable, "-m", "orx", *map(str, args)], capture_output=True,
                          text=True, timeout=120)


def write_stream(path, times, iid=7, compression=None):
    data = bytes(metadata(3)) + b"".join(recs(times, iid=iid))
    if compression:
        orx.write(path, orx.open(data), compression=compression)
    else:
        path.write_bytes(data)
    return recs(times, iid=iid)


def test_orx_merge_stops_on_an_unsorted_input_longer_than_a_batch(tmp_path):
    times = list(range(70_000))
    times[69_999] = 5  # out of order in the second batch
    write_stream(tmp_path / "a.orx", range(10))
    write_stream(tmp_path / "b.orx.zst", times, compression="zstd")
    r = orx_cli("merge", tmp_path / "a.orx", tmp_path / "b.orx.zst", tmp_path / "m.orx")
    assert r.returncode == 1
    assert r.stderr == (f"orx: error: {tmp_path / 'b.orx.zst'}: record 69999 (ts_event 5) comes "
                        "before the record ahead of it (ts_event 69998): the input is not sorted "
                        "by ts_event (--sort sorts the inputs)\n")
    assert sorted(os.listdir(tmp_path)) == ["a.orx", "b.orx.zst"]


def test_orx_merge_refuses_a_short_unsorted_input_instead_of_sorting_it(tmp_path):
    write_stream(tmp_path / "a.orx", [3, 1, 2])
    r = orx_cli("merge", tmp_path / "a.orx", tmp_path / "m.orx")
    assert r.returncode == 1 and "record 1 (ts_event 1)" in r.stderr
    assert not (tmp_path / "m.orx").exists()


def test_orx_merge_sort_sorts_unsorted_inputs(tmp_path):
    rng = random.Random(7)
    ta = [rng.randrange(1000) for _ in range(3000)]
    tb = [rng.randrange(1000) for _ in range(2000)]
    a = write_stream(tmp_path / "a.orx", ta, iid=0)
    b = write_stream(tmp_path / "b.orx.zst", tb, iid=5000, compression="zstd")
    r = orx_cli("merge", "--sort", tmp_path / "a.orx", tmp_path / "b.orx.zst", tmp_path / "m.orx")
    assert r.returncode == 0, r.stderr
    assert r.stderr == f"5,000 records merged into {tmp_path / 'm.orx'}\n"
    got = (tmp_path / "m.orx").read_bytes()
    assert got == bytes(orx.open(got).metadata) + reference([a, b])
    assert sorted(os.listdir(tmp_path)) == ["a.orx", "b.orx.zst", "m.orx"]
