"""decode_to_df's columnar build against the row-by-row frame, for every pandas text storage."""

import warnings

import numpy as np
import pandas as pd
import pytest

import orx._frames
from orx import BufferStore

from helpers import assert_no_leak
from stream_util import bbo_bytes, mbp1_bytes, ohlcv_bytes, stream, trade_bytes
from test_buffer import OPTIONS, STREAMS, assert_same_frame, reference_frame

pytest.importorskip("pyarrow")

STORAGES = ["python", "pyarrow"]
CHUNK = 256  # records the batch builder reads at a time


@pytest.fixture(params=STORAGES)
def storage(request):
    with pd.option_context("mode.string_storage", request.param):
        yield request.param


def kind_stream(make, count, symbols=((7, "ESZ6"), (8, "NQZ6"), (9, "ESH7"))):
    """`count` records of one kind over three instruments and changing seconds."""
    return stream(*(make(iid=7 + i % 3, ts=1_704_187_800_000_000_000 + i * 7_000_000_011)
                    for i in range(count)), symbols=symbols)


def ragged(count):
    """MBP-1 records where every third one is two words longer than its layout."""
    out = []
    for i in range(count):
        r = mbp1_bytes(ts=i * 999_999_999, price=i, action=b"AMCT"[i % 4])
        out.append(bytes([26]) + r[1:] + b"\xee" * 8 if i % 3 == 1 else r)
    return stream(*out)


CASES = dict(STREAMS)
CASES.update({
    "empty": stream(),
    "negative letters": stream(mbp1_bytes(action=-3)),
    "pretty ts past int64": stream(mbp1_bytes(ts=2**63 + 5), mbp1_bytes(ts=2**64 - 1)),
    "seconds out of order": stream(*(mbp1_bytes(ts=t * 1_000_000_000 + 5)
                                     for t in (3, 1, 3, 2, 1, 3))),
    "wide sizes": stream(ohlcv_bytes(volume=2**63), ohlcv_bytes(volume=2**63 - 1)),
    "ragged": ragged(40),
})
for n in (CHUNK - 1, CHUNK, CHUNK + 1, 2 * CHUNK + 5):
    CASES[f"mbp1 x{n}"] = kind_stream(mbp1_bytes, n)
    CASES[f"ragged x{n}"] = ragged(n)
for name, make in (("trade", trade_bytes), ("bbo", bbo_bytes), ("ohlcv", ohlcv_bytes)):
    CASES[f"{name} x{CHUNK + 1}"] = kind_stream(make, CHUNK + 1)


def outcome(fn):
    try:
        return fn()
    except Exception as e:  # the same failure both ways
        return (type(e), str(e))


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("pretty_ts,pretty_px", OPTIONS)
def test_the_frame_is_the_rows_frame(name, pretty_ts, pretty_px, storage):
    data = CASES[name]
    got = outcome(lambda: BufferStore(data).decode_to_df(pretty_ts, pretty_px))
    if pretty_ts and name in ("wide unsigned", "pretty ts past int64"):
        assert got == (OverflowError, "int too big to convert")  # ts_event read as int64
        return
    want = outcome(lambda: reference_frame(data, pretty_ts, pretty_px))
    if isinstance(want, tuple):
        assert isinstance(got, tuple) and got[0] is want[0]
        return
    assert_same_frame(got, want)
    assert got.columns.dtype == want.columns.dtype
    for column in got.columns:  # the text storage too, not only the dtype's name
        assert type(got[column].array) is type(want[column].array), column


@pytest.mark.parametrize("name", ["mbp1", "ohlcv", "wide sizes", f"mbp1 x{CHUNK + 1}"])
def test_text_as_objects_when_pandas_infers_no_strings(name):
    data = CASES[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pd.option_context("future.infer_string", False):
            got = BufferStore(data).decode_to_df(True, True)
            want = reference_frame(data, True, True)
    assert_same_frame(got, want)
    assert got["symbol"].dtype == np.dtype(object)


@pytest.mark.parametrize("name", ["mbp1", "wide sizes", "bbo", f"ragged x{CHUNK}"])
@pytest.mark.parametrize("pretty_ts,pretty_px", OPTIONS)
def test_blocks_and_the_public_constructor_agree(name, pretty_ts, pretty_px, storage,
                                                 monkeypatch):
    data = CASES[name]
    by_blocks = BufferStore(data).decode_to_df(pretty_ts, pretty_px)
    monkeypatch.setattr(orx._frames, "_from_blocks", None)
    by_dict = BufferStore(data).decode_to_df(pretty_ts, pretty_px)
    assert_same_frame(by_blocks, by_dict)


def test_the_frame_owns_one_int_block_and_is_writable():
    df = BufferStore(CASES[f"mbp1 x{CHUNK + 1}"]).decode_to_df(False, True)
    ints = [b for b in df._mgr.blocks if b.dtype == np.int64]
    assert len(ints) == 1 and ints[0].values.shape == (16, CHUNK + 1)
    assert [b.values.shape[0] for b in df._mgr.blocks if b.dtype == np.float64] == [3]
    df.loc[0, "size"] = -1  # a frame like any other
    assert df["size"][0] == -1


def test_no_leaks_in_the_columnar_paths():
    data = CASES[f"ragged x{CHUNK + 1}"]
    wide = CASES["wide sizes"]

    def work():
        BufferStore(data).decode_to_df(True, True)
        BufferStore(wide).decode_to_df(False, False)
        with pd.option_context("mode.string_storage", "python"):
            BufferStore(data).decode_to_df(True, False)

    assert_no_leak(work, iterations=3000)
