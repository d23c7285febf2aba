import datetime
import os
import struct
import sys

import pandas as pd
import pytest

from orx import BboMsg, BufferStore, Mbp1Msg, Metadata, OhlcvMsg, Schema, TradeMsg

from helpers import assert_no_leak, must_raise, raises
from stream_util import (bbo_bytes, mbp1_bytes, metadata_body, ohlcv_bytes, stream,
                         trade_bytes)


def test_surface():
    assert BufferStore.__text_signature__ == "(data)"
    assert BufferStore.__doc__ == ""
    sigs = {"decode_to_array": "($self)", "replay": "($self)",
            "decode_to_df": "($self, pretty_ts, pretty_px)", "write_to_file": "($self, file_path)",
            "from_file": "(file_path)"}
    for name, sig in sigs.items():
        assert getattr(BufferStore, name).__text_signature__ == sig
        assert getattr(BufferStore, name).__doc__ is None
    store = BufferStore(stream())
    with pytest.raises(AttributeError):
        store.extra = 1
    assert str(store).startswith("<orx.BufferStore object at")


@pytest.mark.parametrize(
    "data,exc,message",
    [
        (b"", OSError, "failed to fill whole buffer"),
        (b"\x16", OSError, "failed to fill whole buffer"),
        (b"\x16\x00" + b"\x01" * 21, OSError, "failed to fill whole buffer"),
        (b"\x00\x00", OSError, "Insufficient data to deserialize metadata"),
        (struct.pack("<H", 22) + metadata_body(schema=0), OSError, "Invalid schema value"),
        (struct.pack("<H", 22) + metadata_body(dataset=4), OSError, "Invalid schema value"),
        (struct.pack("<H", 23) + metadata_body(symbols=[(1, "A")])[:23], OSError,
         "Failed to deserialize symbol mappings"),
        ("text", TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (bytearray(b"\x00\x00"), TypeError,
         "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ],
)
def test_construction_failures(data, exc, message):
    raises(exc, message, BufferStore, data)


def test_the_store_owns_a_copy():
    class B(bytes):
        pass

    data = B(stream(mbp1_bytes()))
    store = BufferStore(data=data)
    del data
    assert store.decode_to_array()[0].price == 1_500_000_000


def test_metadata_only_stream():
    store = BufferStore(stream())
    assert store.decode_to_array() == []
    assert store.replay() is None
    df = store.decode_to_df(False, False)
    assert isinstance(df, pd.DataFrame) and df.empty and list(df.columns) == []


def test_metadata_is_a_fresh_copy():
    store = BufferStore(stream(symbols=[(7, "ESZ6")]))
    a, b = store.metadata, store.metadata
    assert a is not b and type(a) is Metadata
    assert a.schema == Schema.MBP1 and a.mappings.map == {7: "ESZ6"}
    a.start = 99
    assert b.start == 0 and store.metadata.start == 0
    with pytest.raises(AttributeError):
        store.metadata = a


def test_shared_read_position():
    data = stream(mbp1_bytes(price=1), trade_bytes(price=2), ohlcv_bytes(c=3))
    store = BufferStore(data)
    first = store.replay()
    assert type(first) is Mbp1Msg and first.price == 1
    rest = store.decode_to_array()
    assert [type(r) for r in rest] == [TradeMsg, OhlcvMsg]
    assert rest[0].price == 2 and rest[1].close == 3
    assert store.decode_to_array() == []
    assert store.replay() is None
    assert store.decode_to_df(True, True).empty


@pytest.mark.parametrize("make,cls", [(mbp1_bytes, Mbp1Msg), (trade_bytes, TradeMsg),
                                      (bbo_bytes, BboMsg), (ohlcv_bytes, OhlcvMsg)])
def test_each_kind_decodes_to_its_class(make, cls):
    (record,) = BufferStore(stream(make())).decode_to_array()
    assert type(record) is cls
    assert record.hd.length * 4 == len(make())


def test_layouts_read_field_by_field():
    t, b, o = BufferStore(stream(trade_bytes(iid=9, ts=2**64 - 1, price=-1, action=84, side=78),
                                 bbo_bytes(price=11, side=66, flags=0xF0),
                                 ohlcv_bytes(o=-5, h=6, l=-7, c=8, volume=2**64 - 1))).decode_to_array()
    assert (t.instrument_id, t.ts_event, t.price, t.size, t.action, t.side) == (9, 2**64 - 1, -1, 10, 84, 78)
    assert (t.ts_recv, t.ts_in_delta, t.sequence) == (2, -5, 9)
    assert (b.price, b.size, b.side, b.flags, b.ts_recv, b.sequence) == (11, 5, 66, 0xF0, 7, 8)
    assert (b.rollover_flag, b.levels[0].bid_px, b.levels[0].ask_ct) == (3, 1, 6)
    assert (o.open, o.high, o.low, o.close, o.volume) == (-5, 6, -7, 8, 2**64 - 1)


def raw(length, rtype, size=None):
    body = bytes([length, rtype]) + b"\x00" * ((size if size is not None else length * 4) - 2)
    return body


@pytest.mark.parametrize(
    "bad,array_message,replay_message",
    [
        (b"\x05" + b"\x00" * 30, "IO error: invalid record with length 20 shorter than header",
         "invalid record with length 20 shorter than header"),
        (b"\x00" * 24, "IO error: invalid record with length 0 shorter than header",
         "invalid record with length 0 shorter than header"),
        (raw(24, 4), "Invalid Record Type : Tbbo", "Failed to convert record reference to RecordEnum"),
        (raw(6, 9), "Conversion error: Unknown RType value: '9'",
         "Failed to convert record reference to RecordEnum"),
        (raw(16, 1), "Invalid Record Type : Mbp1", "Failed to convert record reference to RecordEnum"),
        (raw(13, 3), "Invalid Record Type : Trade", "Failed to convert record reference to RecordEnum"),
        (raw(21, 5), "Invalid Record Type : Bbo", "Failed to convert record reference to RecordEnum"),
        (raw(15, 2), "Invalid Record Type : Ohlcv", "Failed to convert record reference to RecordEnum"),
    ],
)
def test_decoding_failures(bad, array_message, replay_message):
    data = stream(mbp1_bytes(price=1), bad, mbp1_bytes(price=2))
    store = BufferStore(data)
    e = raises(OSError, array_message, store.decode_to_array)
    assert type(e) is OSError
    # the records before the failure are gone with it; the position is past the bad record
    # (or, for a length below a header, past that length byte)
    if bad[0] >= 6:
        assert [r.price for r in store.decode_to_array()] == [2]
    store = BufferStore(data)
    assert store.replay().price == 1
    raises(OSError, replay_message, store.replay)
    raises(OSError, array_message, BufferStore(data).decode_to_df, False, False)


def test_truncated_tail_is_dropped():
    data = stream(mbp1_bytes(price=1), mbp1_bytes(price=2)[:-1])
    assert [r.price for r in BufferStore(data).decode_to_array()] == [1]
    store = BufferStore(data)
    assert store.replay().price == 1
    assert store.replay() is None and store.replay() is None


@pytest.mark.parametrize("records", [
    [ohlcv_bytes(volume=1), mbp1_bytes(price=2), mbp1_bytes(price=3), trade_bytes(price=4),
     bbo_bytes(price=5), mbp1_bytes(price=6)],  # the kind changes back and forth
    [trade_bytes(price=1)] + [mbp1_bytes(price=p) for p in range(2, 40)],  # short first: grows
    [mbp1_bytes(price=1)] + [ohlcv_bytes(volume=v) for v in range(2, 40)],  # long first: cut
    [bytes([40]) + mbp1_bytes(price=1)[1:] + b"\xee" * 64, mbp1_bytes(price=2)],
])
def test_each_record_in_order_whatever_the_lengths(records):
    got = BufferStore(stream(*records)).decode_to_array()
    kinds = {1: Mbp1Msg, 2: OhlcvMsg, 3: TradeMsg, 5: BboMsg}
    assert [type(r) for r in got] == [kinds[r[1]] for r in records]
    assert [getattr(r, "price", None) or r.volume for r in got] == list(range(1, len(records) + 1))
    # the list is sized from the first record: at most the records a stream of 24-byte ones holds
    assert got.__sizeof__() <= [].__sizeof__() + 8 * 4 * len(records)


def test_longer_records_keep_the_framing():
    long = bytes([30]) + mbp1_bytes()[1:] + b"\xee" * 24
    records = BufferStore(stream(long, mbp1_bytes(price=5))).decode_to_array()
    assert [r.hd.length for r in records] == [30, 24] and records[1].price == 5


def test_files_round_trip(tmp_path):
    data = stream(mbp1_bytes(price=1), trade_bytes(), symbols=[(7, "ESZ6"), (8, "NQZ6")])
    store = BufferStore(data)
    store.decode_to_array()  # the position does not matter
    path = tmp_path / "day.bin"
    assert store.write_to_file(str(path)) is None
    assert path.read_bytes() == data
    again = BufferStore.from_file(file_path=str(path))
    assert type(again) is BufferStore
    assert again.metadata.mappings.map == {7: "ESZ6", 8: "NQZ6"}
    assert [type(r) for r in again.decode_to_array()] == [Mbp1Msg, TradeMsg]
    path.write_bytes(b"\x01")
    raises(OSError, "failed to fill whole buffer", BufferStore.from_file, str(path))


def test_file_failures_are_plain_os_errors(tmp_path):
    store = BufferStore(stream())
    missing = str(tmp_path / "missing.bin")
    e = raises(OSError, "No such file or directory (os error 2)", BufferStore.from_file, missing)
    assert type(e) is OSError
    raises(OSError, "Is a directory (os error 21)", BufferStore.from_file, str(tmp_path))
    raises(OSError, "Is a directory (os error 21)", store.write_to_file, str(tmp_path))
    raises(OSError, "No such file or directory (os error 2)", store.write_to_file,
           str(tmp_path / "no" / "such.bin"))
    raises(OSError, "file name contained an unexpected NUL byte", store.write_to_file,
           str(tmp_path / "a\0b"))
    assert not os.path.exists(tmp_path / "a")
    raises(TypeError, "argument 'file_path': 'PosixPath' object cannot be converted to 'PyString'",
           BufferStore.from_file, tmp_path)


# --- DataFrames ----------------------------------------------------------------------------------

def utc_text(ns):
    seconds = ns // 1_000_000_000
    t = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
    return t.strftime("%Y-%m-%d %H:%M:%S")


def reference_frame(data, pretty_ts, pretty_px):
    """The frame as the rows describe it, built in Python from each record's __dict__()."""
    store = BufferStore(data)
    symbols = store.metadata.mappings.map
    rows = []
    for record in store.decode_to_array():
        row = record.__dict__()
        if "instrument_id" in row and row["instrument_id"] in symbols:
            row["symbol"] = symbols[row["instrument_id"]]
        for k in ("action", "side"):
            if k in row:
                if not 0 <= row[k] <= 255:
                    raise OverflowError("out of range integral type conversion attempted")
                row[k] = chr(row[k])
        if pretty_ts and "ts_event" in row:
            row["ts_event"] = utc_text(row["ts_event"])
        if pretty_px:
            for k in ("open", "high", "low", "close", "price", "ask_px", "bid_px"):
                if k in row:
                    row[k] = row[k] / 1e9
        rows.append(row)
    return pd.DataFrame(rows)


def assert_same_frame(got, want):
    assert list(got.columns) == list(want.columns)
    assert list(got.dtypes) == list(want.dtypes)
    pd.testing.assert_frame_equal(got, want, check_exact=True)


T0 = 1_704_187_800_123_456_789
STREAMS = {
    "mbp1": stream(*(mbp1_bytes(iid=7 + i % 2, ts=T0 + i * 400_000_000, price=4_500_000_000_000 + i,
                                action=b"AMCT"[i % 4], side=b"ABN"[i % 3]) for i in range(6)),
                   symbols=[(7, "ESZ6"), (8, "NQZ6")]),
    "trade": stream(*(trade_bytes(ts=T0 + i, price=-i) for i in range(3))),
    "bbo": stream(bbo_bytes(price=2**63 - 1), bbo_bytes(price=-(2**63), side=0)),
    "ohlcv": stream(ohlcv_bytes(volume=2**64 - 1), ohlcv_bytes(volume=0)),
    "no symbols": stream(mbp1_bytes(), mbp1_bytes(), symbols=[]),
    "some symbols": stream(mbp1_bytes(iid=7), mbp1_bytes(iid=99), symbols=[(7, "ESZ6")]),
    "mixed kinds": stream(mbp1_bytes(), trade_bytes(), bbo_bytes(), ohlcv_bytes()),
    "first row without symbol": stream(mbp1_bytes(iid=1), mbp1_bytes(iid=7)),
    "wide unsigned": stream(mbp1_bytes(ts=2**63, ts_recv=2**64 - 1), mbp1_bytes(ts=0)),
    "negative time": stream(mbp1_bytes(ts=0), trade_bytes()),
    "longer records": stream(bytes([30]) + mbp1_bytes()[1:] + b"\x00" * 24, mbp1_bytes(price=3)),
    "one record": stream(ohlcv_bytes()),
}
OPTIONS = [(False, False), (True, False), (False, True), (True, True)]


@pytest.mark.parametrize("name", list(STREAMS))
@pytest.mark.parametrize("pretty_ts,pretty_px", OPTIONS)
def test_frames_match_their_rows(name, pretty_ts, pretty_px):
    data = STREAMS[name]
    if name == "wide unsigned" and pretty_ts:
        with pytest.raises(OverflowError):
            BufferStore(data).decode_to_df(pretty_ts, pretty_px)
        return
    got = BufferStore(data).decode_to_df(pretty_ts=pretty_ts, pretty_px=pretty_px)
    assert_same_frame(got, reference_frame(data, pretty_ts, pretty_px))


COLUMNS = {
    "mbp1": ["length", "rtype", "instrument_id", "ts_event", "rollover_flag", "price", "size",
             "action", "side", "flags", "depth", "ts_recv", "ts_in_delta", "sequence",
             "discriminator", "bid_px", "ask_px", "bid_sz", "ask_sz", "bid_ct", "ask_ct", "symbol"],
    "trade": ["length", "rtype", "instrument_id", "ts_event", "rollover_flag", "price", "size",
              "action", "side", "flags", "depth", "ts_recv", "ts_in_delta", "sequence", "symbol"],
    "bbo": ["length", "rtype", "instrument_id", "ts_event", "rollover_flag", "price", "size",
            "side", "flags", "ts_recv", "sequence", "bid_px", "ask_px", "bid_sz", "ask_sz",
            "bid_ct", "ask_ct", "symbol"],
    "ohlcv": ["length", "rtype", "instrument_id", "ts_event", "rollover_flag", "open", "high",
              "low", "close", "volume", "symbol"],
}


@pytest.mark.parametrize("kind", list(COLUMNS))
def test_columns_per_kind(kind):
    assert list(BufferStore(STREAMS[kind]).decode_to_df(False, False).columns) == COLUMNS[kind]


def test_pretty_values():
    df = BufferStore(stream(ohlcv_bytes(ts=T0, o=1_500_000_000))).decode_to_df(True, True)
    assert df["open"][0] == 1.5 and df["close"][0] == 4e-09
    assert df["ts_event"][0] == "2024-01-02 09:30:00"
    assert df["volume"][0] == 5 and df["symbol"][0] == "ESZ6"
    df = BufferStore(STREAMS["mbp1"]).decode_to_df(True, True)
    assert list(df["action"]) == ["A", "M", "C", "T", "A", "M"]
    assert list(df["symbol"]) == ["ESZ6", "NQZ6"] * 3
    assert df["ts_recv"][0] == 2  # pretty_ts leaves ts_recv alone
    assert df["bid_sz"][0] == 3  # pretty_px leaves sizes alone
    plain = BufferStore(STREAMS["mbp1"]).decode_to_df(False, False)
    assert plain["ts_event"][0] == T0 and plain["price"][0] == 4_500_000_000_000


def test_missing_symbols():
    df = BufferStore(STREAMS["no symbols"]).decode_to_df(False, False)
    assert "symbol" not in df.columns
    df = BufferStore(STREAMS["some symbols"]).decode_to_df(False, False)
    assert df["symbol"][0] == "ESZ6" and pd.isna(df["symbol"][1])


def test_letters_and_their_range():
    df = BufferStore(stream(mbp1_bytes(action=0, side=127))).decode_to_df(False, False)
    assert df["action"][0] == "\x00" and df["side"][0] == "\x7f"
    for data in (stream(mbp1_bytes(action=-128)), stream(bbo_bytes(), bbo_bytes(side=-1))):
        raises(OverflowError, "out of range integral type conversion attempted",
               BufferStore(data).decode_to_df, False, False)


def test_pretty_ts_needs_a_signed_time():
    store = BufferStore(stream(mbp1_bytes(ts=2**63)))
    with pytest.raises(OverflowError):
        store.decode_to_df(True, False)
    assert store.decode_to_array() == []  # the records were consumed all the same
    assert BufferStore(stream(mbp1_bytes(ts=2**63))).decode_to_df(False, True)["ts_event"][0] == 2**63


def test_argument_types():
    store = BufferStore(stream(mbp1_bytes()))
    raises(TypeError, "argument 'pretty_ts': 'int' object cannot be converted to 'PyBool'",
           store.decode_to_df, 1, False)
    raises(TypeError, "argument 'pretty_px': 'NoneType' object cannot be converted to 'PyBool'",
           store.decode_to_df, True, None)
    raises(TypeError, "BufferStore.decode_to_df() missing 1 required positional argument: "
           "'pretty_px'", store.decode_to_df, True)
    import numpy as np
    assert len(store.decode_to_df(np.True_, np.False_)) == 1


def test_pandas_errors_pass_through_and_the_hold_covers_the_call(monkeypatch):
    store = BufferStore(stream(mbp1_bytes(), mbp1_bytes()))
    seen = []

    def spy(data):
        for attempt in (store.replay, lambda: store.metadata):
            try:
                attempt()
            except RuntimeError as e:
                seen.append(str(e))
        raise KeyError("from pandas")

    monkeypatch.setattr(pd, "DataFrame", spy)
    with pytest.raises(KeyError, match="from pandas"):
        store.decode_to_df(False, False)
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    monkeypatch.undo()
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError):
        BufferStore(stream(mbp1_bytes())).decode_to_df(False, False)
    with pytest.raises(ImportError):
        BufferStore(STREAMS["mixed kinds"]).decode_to_df(False, False)


def fail_frame(monkeypatch, how):
    if how == "pandas missing":
        monkeypatch.setitem(sys.modules, "pandas", None)
        return ImportError
    if how == "no DataFrame":
        monkeypatch.delattr(pd, "DataFrame")
        return AttributeError

    def big_frame(data):
        raise MemoryError
    monkeypatch.setattr(pd, "DataFrame", big_frame)
    return MemoryError


# "mbp1" builds the frame by columns, "mixed kinds" by rows.
@pytest.mark.parametrize("name", ["mbp1", "mixed kinds"])
@pytest.mark.parametrize("how", ["pandas missing", "no DataFrame", "DataFrame raises"])
def test_a_frame_that_cannot_be_made_keeps_the_records(monkeypatch, name, how):
    store = BufferStore(STREAMS[name])
    first = store.replay()  # the position where the failing call begins
    want = BufferStore(STREAMS[name])
    want.replay()
    want = [r.__dict__() for r in want.decode_to_array()]
    with pytest.raises(fail_frame(monkeypatch, how)):
        store.decode_to_df(False, False)
    monkeypatch.undo()
    assert [r.__dict__() for r in store.decode_to_array()] == want
    assert first is not None and store.replay() is None


def test_a_frame_the_records_fail_keeps_the_position_they_left():
    # Out-of-range letters fail the rows, not pandas: the records stay consumed.
    store = BufferStore(stream(mbp1_bytes(action=-128), mbp1_bytes()))
    with pytest.raises(OverflowError):
        store.decode_to_df(False, False)
    assert store.decode_to_array() == []
    store = BufferStore(stream(mbp1_bytes(), raw(24, 4), mbp1_bytes(price=5)))
    raises(OSError, "Invalid Record Type : Tbbo", store.decode_to_df, False, False)
    assert [r.price for r in store.decode_to_array()] == [5]


def test_no_leaks(tmp_path):
    data = STREAMS["mbp1"]
    mixed = STREAMS["mixed kinds"]
    bad = stream(mbp1_bytes(), raw(24, 4))
    path = str(tmp_path / "s.bin")

    def work():
        store = BufferStore(data)
        store.replay()
        store.decode_to_array()
        store.metadata
        BufferStore(data).decode_to_df(True, True)
        BufferStore(mixed).decode_to_df(True, True)
        store.write_to_file(path)
        BufferStore.from_file(path).decode_to_array()
        must_raise(OSError, BufferStore(bad).decode_to_array)
        must_raise(OSError, BufferStore(bad).decode_to_df, False, False)
        must_raise(OSError, BufferStore, b"\x00")

    assert_no_leak(work, iterations=4000)
