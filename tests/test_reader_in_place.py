"""orx.open(bytes).to_pandas() reads the records where the bytes lie; every other source takes
the reader's own copy. Both ways give the same frame, the same failures and leave the reader in
the same state."""

import pandas as pd
import pytest

import orx
from orx import BufferStore, _ext

from stream_util import mbp1_bytes, ohlcv_bytes, stream, trade_bytes
from test_buffer import assert_same_frame


def zstd(data):
    w = _ext.ZstdWriter(3)
    return w.compress(data) + w.finish()


GOOD = stream(*(mbp1_bytes(iid=7 + i % 2, ts=10**18 + i * 333_333_333, price=i) for i in range(300)),
              symbols=((7, "ESZ6"), (8, "NQZ6")))
HEAD = len(stream(symbols=((7, "ESZ6"), (8, "NQZ6"))))
RECORD = len(mbp1_bytes())

STREAMS = {
    "whole": GOOD,
    "mixed kinds": stream(mbp1_bytes(), trade_bytes(), ohlcv_bytes(ts=4)),
    "cut tail": GOOD[:-10],
    "short length byte": GOOD[:HEAD + 5 * RECORD] + b"\x02" + GOOD[HEAD + 5 * RECORD + 1:],
    "unknown kind": GOOD[:HEAD + 7 * RECORD + 1] + b"\xee" + GOOD[HEAD + 7 * RECORD + 2:],
    "no records": GOOD[:HEAD],
    "compressed": zstd(GOOD),
}

SOURCES = {
    "bytes": bytes,
    "bytearray": bytearray,
    "read-only view of a bytearray": lambda d: memoryview(bytearray(d)).toreadonly(),
    "bytes subclass": type("B", (bytes,), {}),
}


def outcome(fn):
    try:
        return fn()
    except Exception as e:
        return (type(e), str(e))


def session(source, first, allow_truncated):
    """What a reader gives: `first` records one by one, then the frame, then where it stands
    and what a second frame and next() give."""
    reader = orx.open(source, allow_truncated=allow_truncated)
    seen = [outcome(lambda: next(reader).ts_event) for _ in range(first)]
    frame = outcome(reader.to_pandas)
    after = (reader.offset, repr(reader), outcome(lambda: len(reader.to_pandas())),
             outcome(lambda: next(reader)))
    return seen, frame, after


def same(a, b):
    if isinstance(a, pd.DataFrame) or isinstance(b, pd.DataFrame):
        assert isinstance(a, pd.DataFrame) and isinstance(b, pd.DataFrame)
        assert_same_frame(a, b)
    else:
        assert a == b


@pytest.mark.parametrize("name", list(STREAMS))
@pytest.mark.parametrize("first", [0, 3])
@pytest.mark.parametrize("allow_truncated", [False, True])
@pytest.mark.parametrize("kind", [k for k in SOURCES if k != "bytearray"])
def test_every_source_reads_alike(name, first, allow_truncated, kind):
    data = STREAMS[name]
    got = session(SOURCES[kind](data), first, allow_truncated)
    want = session(bytearray(data), first, allow_truncated)
    assert got[0] == want[0]
    same(got[1], want[1])
    assert got[2] == want[2]


@pytest.mark.parametrize("first", [0, 1, 299])
def test_the_frame_of_the_rest_is_decode_to_dfs(first):
    reader = orx.open(GOOD)
    for _ in range(first):
        next(reader)
    got = reader.to_pandas(False, True)
    want = BufferStore(GOOD).decode_to_df(False, True).iloc[first:].reset_index(drop=True)
    assert_same_frame(got, want)
    assert reader.offset == len(GOOD)
    assert repr(reader).endswith("300 records read, open>")


def test_whole_stream_and_failures_have_decode_to_dfs_words():
    for name in ("short length byte", "unknown kind"):
        data = STREAMS[name]
        store_error = outcome(lambda: BufferStore(data).decode_to_df(False, False))
        assert isinstance(store_error, tuple)
        got = outcome(lambda: orx.open(data).to_pandas())
        assert got[0] is store_error[0] and got[1] == store_error[1]
