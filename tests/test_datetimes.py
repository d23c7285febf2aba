"""to_pandas(datetimes=True): time columns as datetime64[ns, UTC], to the nanosecond, from every
package-level frame (reader, batch, query result) and on both roads of the frame builder."""

import numpy as np
import pandas as pd
import pytest

import orx
from orx import BufferStore

from stream_util import bbo_bytes, mbp1_bytes, ohlcv_bytes, stream, trade_bytes
from test_buffer import STREAMS, assert_same_frame
from test_frames import CASES, STORAGES

UTC = "datetime64[ns, UTC]"
UNDEF = 2**64 - 1
TIMES = ("ts_event", "ts_recv")

DATETIME_CASES = dict(CASES)
DATETIME_CASES.update({
    "undefined ts_recv": stream(mbp1_bytes(ts=5, ts_recv=UNDEF), mbp1_bytes(ts=6, ts_recv=7)),
    "every ts_recv undefined": stream(trade_bytes(), trade_bytes()),  # ts_recv 0 both: not NaT
    "undefined, rows": stream(mbp1_bytes(ts=UNDEF), ohlcv_bytes(ts=3)),
    "nanoseconds": stream(*(mbp1_bytes(ts=1_704_187_800_123_456_789 + i, ts_recv=2**63 - 1 - i)
                            for i in range(3))),
})


@pytest.fixture(params=STORAGES)
def storage(request):
    with pd.option_context("mode.string_storage", request.param):
        yield request.param


def expected_frame(data, pretty_px):
    """decode_to_df's frame with each time column made from the Python ints one by one."""
    frame = BufferStore(data).decode_to_df(False, pretty_px)
    records = BufferStore(data).decode_to_array()
    for name in TIMES:
        if name not in frame.columns:
            continue
        stamps = []
        for r in records:
            value = getattr(r, name, None)
            if value is None:
                stamps.append(pd.NaT)
            elif value == UNDEF:
                stamps.append(pd.NaT)
            else:
                stamps.append(pd.Timestamp(value, unit="ns", tz="UTC"))
        frame[name] = pd.Series(stamps, index=frame.index, dtype=UTC)
    return frame


def outcome(fn):
    try:
        return fn()
    except Exception as e:
        return (type(e), str(e))


def through_reader(data, pretty_px):
    return orx.open(data).to_pandas(False, pretty_px, datetimes=True)


def through_batch(data, pretty_px):
    batches = list(orx.open(data).batches(10**9))
    if not batches:
        return orx.open(data).to_pandas(False, pretty_px, datetimes=True)
    (batch,) = batches
    return batch.to_pandas(pretty_px=pretty_px, datetimes=True)


def through_mutable(data, pretty_px):  # the reader's copy, not the bytes in place
    return orx.open(bytearray(data)).to_pandas(False, pretty_px, datetimes=True)


PAST = {  # the first value a datetime64[ns] cannot hold, and its row
    "wide unsigned": ("ts_event", 2**63, 0),
    "pretty ts past int64": ("ts_event", 2**63 + 5, 0),
}


@pytest.mark.parametrize("name", list(DATETIME_CASES))
@pytest.mark.parametrize("pretty_px", [False, True])
@pytest.mark.parametrize("make", [through_reader, through_batch, through_mutable])
def test_time_columns_are_utc_datetimes(name, pretty_px, make, storage):
    data = DATETIME_CASES[name]
    got = outcome(lambda: make(data, pretty_px))
    if name in PAST:
        column, value, row = PAST[name]
        assert got == (ValueError, f"{column} {value} at row {row} is past the range of "
                                   "datetime64[ns] (2262-04-11)")
        return
    want = outcome(lambda: expected_frame(data, pretty_px))
    if isinstance(want, tuple):  # the failure decode_to_df has, in the same words
        assert isinstance(got, tuple) and got[0] is want[0]
        return
    assert_same_frame(got, want)
    for column in TIMES:
        if column in got.columns:
            assert got[column].dtype == UTC


def test_full_nanosecond_precision():
    t = 1_704_187_800_123_456_789
    df = orx.open(stream(mbp1_bytes(ts=t, ts_recv=t + 1))).to_pandas(datetimes=True)
    assert df["ts_event"][0].value == t and df["ts_recv"][0].value == t + 1
    assert str(df["ts_event"][0]) == "2024-01-02 09:30:00.123456789+00:00"


def test_one_datetime_block_over_both_columns():
    df = orx.open(STREAMS["mbp1"]).to_pandas(datetimes=True)
    blocks = [b for b in df._mgr.blocks if str(b.dtype) == UTC]
    assert len(blocks) == 1 and blocks[0].shape == (2, len(df))
    # the other integer columns stay one int64 block
    assert [str(b.dtype) for b in df._mgr.blocks].count("int64") == 1


@pytest.mark.parametrize("name", list(STREAMS))
def test_defaults_stay_the_frame_of_decode_to_df(name):
    data = STREAMS[name]
    want = outcome(lambda: BufferStore(data).decode_to_df(False, False))
    for got in (outcome(lambda: orx.open(data).to_pandas()),
                outcome(lambda: orx.open(data).to_pandas(datetimes=False))):
        if isinstance(want, tuple):
            assert got == want
        else:
            assert_same_frame(got, want)


COMBINED = "pretty_ts and datetimes cannot be combined"


def test_pretty_ts_and_datetimes_refused_reading_nothing():
    data = STREAMS["mbp1"]
    with orx.open(data) as reader:
        with pytest.raises(ValueError) as e:
            reader.to_pandas(pretty_ts=True, datetimes=True)
        assert str(e.value) == COMBINED
        assert reader.offset == len(stream(symbols=((7, "ESZ6"), (8, "NQZ6"))))  # nothing read
        assert_same_frame(reader.to_pandas(), BufferStore(data).decode_to_df(False, False))
    (batch,) = orx.open(data).batches()
    with pytest.raises(ValueError) as e:
        batch.to_pandas(True, datetimes=True)
    assert str(e.value) == COMBINED


def test_rows_road_checks_the_range_too():
    # mixed kinds go row by row: the same words as the columnar road
    data = stream(trade_bytes(ts=4), mbp1_bytes(ts=2**63 + 1))
    with pytest.raises(ValueError) as e:
        orx.open(data).to_pandas(datetimes=True)
    assert str(e.value) == ("ts_event 9223372036854775809 at row 1 is past the range of "
                            "datetime64[ns] (2262-04-11)")


def test_empty_stream_keeps_the_dtypes():
    df = orx.open(stream()).to_pandas(datetimes=True)
    assert len(df) == 0
    assert_same_frame(df, BufferStore(stream()).decode_to_df(False, False))  # no columns at all


def test_utc_times_is_the_frames_conversion():
    from orx._frames import utc_times

    values = np.array([0, 1_704_187_800_123_456_789, 2**63 - 1, UNDEF], dtype=np.uint64)
    got = utc_times(values)
    assert str(got.dtype) == UTC
    assert list(got.asi8[:3]) == [0, 1_704_187_800_123_456_789, 2**63 - 1]
    assert pd.isna(got[3])
    assert list(values) == [0, 1_704_187_800_123_456_789, 2**63 - 1, UNDEF]  # left alone
    with pytest.raises(ValueError) as e:
        utc_times([1, 2**63], "ts_recv")
    assert str(e.value) == ("ts_recv 9223372036854775808 at row 1 is past the range of "
                            "datetime64[ns] (2262-04-11)")
    assert list(utc_times([3, 4]).asi8) == [3, 4]


def test_query_results_pass_datetimes_through(tmp_path):
    from catalog_util import DAY0, NS_DAY, params, records, spread

    cat = orx.Catalog(tmp_path)
    cat.write(records(spread(days=2)))
    result = cat.query(params([], 0, DAY0 + 2 * NS_DAY))
    got = result.to_pandas(datetimes=True)
    want = expected_frame(result.to_bytes(), False)
    assert_same_frame(got, want)
    with pytest.raises(ValueError) as e:
        result.to_pandas(pretty_ts=True, datetimes=True)
    assert str(e.value) == COMBINED
