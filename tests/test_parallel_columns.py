"""Columns of many records are filled a range of rows on each of several threads: the frames
and Arrow tables of such runs hold, row for row, what the records hold (a numpy view of the
same bytes is the reference), whatever the thread count, at the parts' edges too."""

import numpy as np
import pytest

import orx
from orx import _ext
from orx._kinds import record_dtype
from orx import BufferStore

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

N = 300_001  # past the run length filled on several threads, an odd count
TICKERS = {1: "AAA", 2: "BB", 3: "CCCC"}  # id 4 has no ticker


def records(n, letter=None):
    rng = np.random.default_rng(5)
    a = np.zeros(n, dtype=record_dtype(1))
    a["length"], a["rtype"] = 24, 1
    a["instrument_id"] = rng.integers(1, 4, n)
    a["ts_event"] = np.sort(rng.integers(1_700_000_000 * 10**9, 1_800_000_000 * 10**9, n))
    a["ts_recv"] = a["ts_event"] + rng.integers(0, 10**6, n).astype(np.uint64)
    a["price"] = rng.integers(-(1 << 62), 1 << 62, n)
    a["size"] = rng.integers(0, 1 << 32, n, dtype=np.uint64)
    a["action"] = rng.choice(np.frombuffer(b"ACMTFR", "S1"), n)
    a["side"] = rng.choice(np.frombuffer(b"ABN", "S1"), n)
    a["flags"] = rng.integers(0, 256, n)
    a["ts_in_delta"] = rng.integers(-(1 << 31), 1 << 31, n)
    a["sequence"] = np.arange(n)
    a["bid_px"], a["ask_px"] = a["price"] - 1, a["price"] + 1
    a["bid_ct"] = rng.integers(0, 1 << 32, n, dtype=np.uint64)
    if letter is not None:  # a byte that is no ASCII letter, near a part's edge
        a["side"][N // 2 + 3] = bytes([letter])
    return a


def stream(a, tickers=TICKERS):
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0, orx.SymbolMap(tickers))
    return meta.encode() + a.tobytes()


def letters(column):
    return [chr(b) for b in column.view(np.uint8).tolist()]


def expected_symbols(a, tickers):
    return [tickers.get(i) for i in a["instrument_id"].tolist()]


@pytest.fixture(scope="module")
def plain():
    a = records(N)
    return a, stream(a)


@pytest.mark.parametrize("with_unmapped", [False, True])
def test_arrow_columns_hold_every_row(with_unmapped):
    a = records(N)
    if with_unmapped:
        a["instrument_id"][[0, 63, 64, N // 2, N - 1]] = 4
    table = pa.table(orx.open(stream(a)))
    assert table.num_rows == N
    for name in a.dtype.names:
        if name in ("length", "rtype", "action", "side") or name not in table.column_names:
            continue
        got = table.column(name).to_numpy()
        if name in ("ts_event", "ts_recv"):
            got = got.astype("int64").astype("uint64")
        np.testing.assert_array_equal(got, a[name], err_msg=name)
    for name in ("action", "side"):
        assert table.column(name).to_pylist() == letters(a[name])
    symbols = table.column("symbol")
    assert symbols.to_pylist() == expected_symbols(a, TICKERS)
    assert symbols.null_count == (5 if with_unmapped else 0)


def test_an_arrow_letter_past_ascii_is_its_code_point_in_every_row():
    a = records(N, letter=0xE9)
    side = pa.table(orx.open(stream(a))).column("side")
    want = letters(a["side"])
    assert side.to_pylist() == want
    assert want[N // 2 + 3] == "\u00e9"


@pytest.mark.parametrize("options", [{}, {"pretty_px": True}, {"datetimes": True},
                                     {"pretty_ts": True}])
def test_frames_hold_every_row_on_any_number_of_threads(plain, options):
    a, data = plain
    meta = orx.open(data).metadata
    body = data[len(meta.encode()):]
    frames = [_ext.batch_frame(body, N, meta, options.get("pretty_ts", False),
                               options.get("pretty_px", False), options.get("datetimes", False),
                               threads) for threads in (1, 2, 3)]
    for frame in frames[1:]:
        pd.testing.assert_frame_equal(frame, frames[0], check_exact=True)
    frame = frames[1]
    for name in ("instrument_id", "size", "flags", "ts_in_delta", "sequence", "bid_ct"):
        np.testing.assert_array_equal(frame[name].to_numpy(), a[name], err_msg=name)
    price = frame["price"].to_numpy()
    if options.get("pretty_px"):
        np.testing.assert_array_equal(price, a["price"] / 1e9)
    else:
        np.testing.assert_array_equal(price, a["price"])
    if not options.get("pretty_ts"):
        recv = frame["ts_recv"]
        got = recv.array.asi8 if options.get("datetimes") else recv.to_numpy()
        np.testing.assert_array_equal(got.astype("uint64"), a["ts_recv"])
    assert frame["symbol"].tolist() == expected_symbols(a, TICKERS)
    assert frame["side"].tolist() == letters(a["side"])


def test_a_frame_filled_on_threads_equals_decode_to_df(plain):
    _, data = plain
    pd.testing.assert_frame_equal(orx.open(data).to_pandas(),
                                  BufferStore(data).decode_to_df(False, False), check_exact=True)


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_the_first_time_past_datetimes_is_named_and_undefined_times_are_nat(threads):
    a = records(N)
    a["ts_recv"][[N // 2 + 10, N - 5]] = (1 << 63) + 1
    a["ts_recv"][[7, N - 1]] = (1 << 64) - 1
    data = stream(a)
    meta = orx.open(data).metadata
    body = data[len(meta.encode()):]
    with pytest.raises(ValueError, match=rf"^ts_recv {(1 << 63) + 1} at row {N // 2 + 10} is "
                                         r"past the range of datetime64\[ns\] \(2262-04-11\)$"):
        _ext.batch_frame(body, N, meta, False, False, True, threads)
    a["ts_recv"][[N // 2 + 10, N - 5]] = 5
    body = a.tobytes()
    recv = _ext.batch_frame(body, N, meta, False, False, True, threads)["ts_recv"]
    assert recv.isna().to_numpy().nonzero()[0].tolist() == [7, N - 1]
