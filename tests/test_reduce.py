"""Bars, VWAP and as-of samples against a plain-Python reference over the same records, the
tables of pieces combined against the table of the whole, and the refusals."""

import datetime as dt
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import orx
from orx import reduce as rd
from orx._kinds import record_dtype as _dtype

from helpers import raises

META = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0,
                    orx.SymbolMap({1: "ESZ5", 2: "NQZ5", 9: "CLF6"}))
T0 = 1_764_580_000_000_000_000


def records(rows, rtype=1):
    """Records of `rtype` from (instrument_id, ts_event, price, size, action) rows."""
    a = np.zeros(len(rows), dtype=_dtype(rtype))
    a["length"], a["rtype"] = a.dtype.itemsize // 4, rtype
    for i, (iid, ts, px, size, action) in enumerate(rows):
        a[i]["instrument_id"], a[i]["ts_event"], a[i]["price"] = iid, ts, px
        a[i]["size"], a[i]["action"] = size, action
    if rtype == 1:
        a["bid_px"], a["ask_px"] = a["price"] - 1, a["price"] + 1
    return a


def reader(arr, meta=META):
    return orx.open(meta.encode() + arr.tobytes())


def reference_bars(arr, interval):
    """{(id, start): [open_ts, open, close_ts, close, high, low, volume, trades, notional]}
    from a walk over the records in order."""
    out = {}
    for r in arr.tolist():
        d = dict(zip(arr.dtype.names, r))
        if d["action"] != b"T":
            continue
        key = (d["instrument_id"], d["ts_event"] - d["ts_event"] % interval)
        ts, px, size = d["ts_event"], d["price"], d["size"]
        b = out.get(key)
        if b is None:
            out[key] = [ts, px, ts, px, px, px, size, 1, px * size]
            continue
        if ts < b[0]:
            b[0], b[1] = ts, px
        if ts >= b[2]:
            b[2], b[3] = ts, px
        b[4], b[5] = max(b[4], px), min(b[5], px)
        b[6] += size
        b[7] += 1
        b[8] += px * size
    return dict(sorted(out.items()))


trade_rows = st.lists(
    st.tuples(st.sampled_from([1, 2, 9]), st.integers(0, 400), st.integers(-10**12, 10**12),
              st.integers(0, 2**32 - 1), st.sampled_from([b"T", b"T", b"A", b"C"])),
    max_size=60)


@settings(max_examples=60, deadline=None)
@given(trade_rows, st.sampled_from([1, 7, 60, 1000]), st.integers(0, 60), st.integers(0, 60))
def test_bars_and_vwap_equal_the_reference_and_pieces_combine_to_the_whole(rows, interval, a, b):
    arr = records([(i, T0 + t, px, sz, act) for i, t, px, sz, act in rows])
    ref = reference_bars(arr, interval)
    bars = rd.ohlcv(reader(arr), interval)
    keys = list(zip(bars["instrument_id"].tolist(), bars["ts"].tolist()))
    assert keys == list(ref)
    for col, k in [("open", 1), ("close", 3), ("high", 4), ("low", 5), ("volume", 6),
                   ("trades", 7)]:
        assert bars[col].tolist() == [v[k] for v in ref.values()], col
    assert bars["symbol"].tolist() == [{1: "ESZ5", 2: "NQZ5", 9: "CLF6"}[i] for i, _ in ref]
    v = rd.vwap(reader(arr), interval)
    want = [float(Fraction(x[8], x[6] * 10**9)) if x[6] else None for x in ref.values()]
    assert [None if np.isnan(x) else x for x in v["vwap"].tolist()] == want

    whole = rd.bar_table(arr, interval)
    a, b = sorted((min(a, len(arr)), min(b, len(arr))))
    combined = rd.combine_bar_tables([rd.bar_table(p, interval) for p in (arr[:a], arr[a:b], arr[b:])])
    for name in rd.BAR_COLUMNS:
        assert combined[name].tolist() == whole[name].tolist(), name


def test_bar_frames_columns_and_dtypes():
    arr = records([(1, T0 + 5, 4_500_250_000_000, 3, b"T"), (1, T0 + 61_000_000_000, 4_500_000_000_000, 2, b"T")])
    got = rd.ohlcv(reader(arr), dt.timedelta(minutes=1), pretty_px=True, datetimes=True)
    want = pd.DataFrame({
        "ts": pd.DatetimeIndex(np.array([T0 - T0 % 60_000_000_000,
                                         T0 - T0 % 60_000_000_000 + 60_000_000_000],
                                        dtype="M8[ns]"), tz="UTC"),
        "instrument_id": np.array([1, 1], dtype=np.int64),
        "symbol": ["ESZ5", "ESZ5"],
        "open": [4500.25, 4500.0], "high": [4500.25, 4500.0], "low": [4500.25, 4500.0],
        "close": [4500.25, 4500.0],
        "volume": np.array([3, 2], dtype=np.uint64), "trades": np.array([1, 1], dtype=np.int64)})
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    assert rd.ohlcv(reader(arr), "1min")["ts"].dtype == np.int64
    # the same bars from every form the interval takes
    for interval in ("1min", "60s", 60_000_000_000, np.timedelta64(1, "m"), pd.Timedelta("1min")):
        pd.testing.assert_frame_equal(rd.ohlcv(reader(arr), interval), rd.ohlcv(arr, "1min")
                                      .assign(symbol=["ESZ5", "ESZ5"]), check_exact=True)


def test_trade_records_and_empty_input():
    arr = records([(2, T0, 10**9, 4, b"T"), (2, T0 + 1, 3 * 10**9, 4, b"T")], rtype=3)
    got = rd.vwap(reader(arr, orx.Metadata(orx.Schema.TRADES, orx.Dataset.FUTURES, 0, 0,
                                           orx.SymbolMap({2: "NQZ5"}))), "1s")
    assert got[["symbol", "vwap", "volume", "trades"]].values.tolist() == [["NQZ5", 2.0, 8, 2]]
    empty = rd.ohlcv(reader(records([])), "1min")
    assert len(empty) == 0 and list(empty.columns) == [
        "ts", "instrument_id", "symbol", "open", "high", "low", "close", "volume", "trades"]


def reference_asof(arr, times):
    out = []
    rows = [dict(zip(arr.dtype.names, r), index=i) for i, r in enumerate(arr.tolist())]
    for j, t in enumerate(times):
        best = {}
        for r in rows:
            if r["ts_event"] <= t:
                b = best.get(r["instrument_id"])
                if b is None or r["ts_event"] >= b["ts_event"]:
                    best[r["instrument_id"]] = r
        out += [(j, iid, best[iid]["index"]) for iid in sorted(best)]
    return out


@settings(max_examples=40, deadline=None)
@given(trade_rows, st.lists(st.integers(0, 420), max_size=8), st.integers(0, 60))
def test_asof_equals_the_reference_and_pieces_combine_to_the_whole(rows, times, cut):
    arr = records([(i, T0 + t, px, sz, act) for i, t, px, sz, act in rows])
    times = sorted(T0 + t for t in times)
    want = reference_asof(arr, times)
    got = rd.asof(reader(arr), times)
    assert got["instrument_id"].tolist() == [i for _, i, _ in want]
    assert got["ts"].tolist() == [times[j] for j, _, _ in want]
    pd.testing.assert_frame_equal(
        got.drop(columns="ts"),
        reader(arr[[k for _, _, k in want]]).to_pandas() if want else got.drop(columns="ts"),
        check_exact=True)
    cut = min(cut, len(arr))
    combined = rd.combine_asof_tables([rd.asof_table(arr[:cut], times),
                                       rd.asof_table(arr[cut:], times)])
    whole = rd.asof_table(arr, times)
    for name in ("sample", "instrument_id", "ts_event"):
        assert combined[name].tolist() == whole[name].tolist()
    assert combined["record"].tobytes() == whole["record"].tobytes()


def test_asof_time_forms():
    arr = records([(1, T0 + 10, 5, 1, b"A"), (2, T0 + 20, 6, 1, b"A")])
    ns = [T0 + 15, T0 + 25]
    a = rd.asof(reader(arr), ns)
    for times in (np.array(ns, dtype="M8[ns]"), pd.DatetimeIndex(np.array(ns, dtype="M8[ns]")),
                  pd.DatetimeIndex(np.array(ns, dtype="M8[ns]"), tz="UTC").tz_convert("US/Eastern"),
                  [pd.Timestamp(t, tz="UTC") for t in ns]):
        pd.testing.assert_frame_equal(rd.asof(reader(arr), times), a, check_exact=True)
    assert a[["ts", "instrument_id"]].values.tolist() == [[T0 + 15, 1], [T0 + 25, 1], [T0 + 25, 2]]


@pytest.mark.parametrize("call, error, message", [
    (lambda a: rd.ohlcv(a, 0), ValueError, "the interval must be positive, not 0"),
    (lambda a: rd.ohlcv(a, "-1min"), ValueError, "the interval must be positive, not '-1min'"),
    (lambda a: rd.ohlcv(a, True), TypeError, "the interval must be a duration, not bool"),
    (lambda a: rd.ohlcv(a, 1.5), TypeError,
     "the interval must be a duration ('1min', a timedelta, nanoseconds), not float"),
    (lambda a: rd.ohlcv([1, 2]), TypeError,
     "expected records (a query result, a reader, a batch or a structured array of records), "
     "not list"),
    (lambda a: rd.ohlcv(np.zeros(3)), TypeError,
     "expected a one-dimensional structured array of records (the dtype to_numpy() gives)"),
    (lambda a: rd.asof(a, [T0 + 2, T0 + 1]), ValueError, "sample times must be ascending"),
    (lambda a: rd.asof(a, "2025-12-01"), TypeError, "times must be a sequence of times"),
    (lambda a: rd.asof(a.to_numpy(), [T0]), ValueError,
     "as-of samples need the records' metadata (pass a query result, a reader or a batch)"),
])
def test_refusals(call, error, message):
    arr = records([(1, T0, 5, 1, b"T")])
    raises(error, message, call, reader(arr))


def test_bars_refuse_records_without_trades():
    a = np.zeros(1, dtype=_dtype(2))
    a["length"], a["rtype"] = 16, 2
    raises(ValueError, "bars are made from MBP-1 or trade records, not OhlcvMsg", rd.ohlcv, a)
