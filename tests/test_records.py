import gc

import pytest

from orx import (Action, BboMsg, BidAskPair, Mbp1Msg, OhlcvMsg, RecordHeader, RecordMsg, RType,
                 Side, TradeMsg)

from helpers import assert_no_leak, raises
from records_util import bbo, level, mbp1, ohlcv, trade

MAKERS = {Mbp1Msg: mbp1, TradeMsg: trade, BboMsg: bbo, OhlcvMsg: ohlcv}

SIGNATURES = [
    (Mbp1Msg, "(instrument_id, ts_event, rollover_flag, price, size, action, side, flags, depth, "
              "ts_recv, ts_in_delta, sequence, discriminator, levels)", "Mbp1Msg struct"),
    (TradeMsg, "(instrument_id, ts_event, rollover_flag, price, size, action, side, flags, depth, "
               "ts_recv, ts_in_delta, sequence)", ""),
    (BboMsg, "(instrument_id, ts_event, rollover_flag, price, size, side, flags, ts_recv, "
             "sequence, levels)", ""),
    (OhlcvMsg, "(instrument_id, ts_event, rollover_flag, open, high, low, close, volume)",
     "OhlcvMsg struct"),
    (BidAskPair, "(bid_px, ask_px, bid_sz, ask_sz, bid_ct, ask_ct)",
     "Order book level e.g. MBP1 would contain the top level."),
]


@pytest.mark.parametrize("cls,sig,doc", SIGNATURES, ids=[s[0].__name__ for s in SIGNATURES])
def test_signatures_and_docs(cls, sig, doc):
    assert cls.__text_signature__ == sig
    assert cls.__doc__ == doc


def test_docs_of_attributes_and_no_constructor_classes():
    assert RecordHeader.__doc__ == "Constant data across all records."
    assert RecordMsg.__doc__ is None
    assert Mbp1Msg.discriminator.__doc__ == (
        "Differentiates records that are otherwise the same but not duplicates.")
    assert Mbp1Msg.price.__doc__ is None
    assert [getattr(BidAskPair, f).__doc__ for f in
            ("bid_px", "ask_px", "bid_sz", "ask_sz", "bid_ct", "ask_ct")] == [
        "The bid price.", "The ask price.", "The bid size.", "The ask size.",
        "The bid order count.", "The ask order count."]
    assert RecordMsg.is_record.__text_signature__ == "(obj)"
    for cls in MAKERS:
        assert cls.__dict__["__dict__"].__text_signature__ == "($self)"


@pytest.mark.parametrize("cls,length,rtype", [(Mbp1Msg, 24, 1), (TradeMsg, 14, 3),
                                              (BboMsg, 22, 5), (OhlcvMsg, 16, 2)])
def test_constructor_writes_the_header(cls, length, rtype):
    r = MAKERS[cls]()
    assert (r.hd.length, r.hd.rtype) == (length, rtype)
    assert type(r.hd.rtype) is int
    assert r.rtype == RType.from_int(rtype) and type(r.rtype) is RType


def test_mbp1_values():
    m = mbp1()
    assert (m.instrument_id, m.ts_event, m.rollover_flag) == (7, 1, 0)
    assert (m.price, m.size, m.action, m.side, m.flags, m.depth) == (1_500_000_000, 10, 65, 66, 0, 0)
    assert (m.ts_recv, m.ts_in_delta, m.sequence, m.discriminator) == (2, -5, 9, 3)
    assert m.pretty_action == Action.ADD and type(m.pretty_action) is Action
    assert m.pretty_side == Side.BID and type(m.pretty_side) is Side
    assert m.pretty_price == 1.5
    assert (m.levels[0].bid_px, m.levels[0].ask_ct) == (1, 6)


@pytest.mark.parametrize("price,expected", [(1, 1e-09), (-1_500_000_000, -1.5), (-1, -1e-09),
                                            (2**63 - 1, (2**63 - 1) / 1e9), (0, 0.0)])
def test_pretty_prices_divide(price, expected):
    assert mbp1(price=price).pretty_price == expected
    assert trade(price=price).pretty_price == expected
    assert bbo(price=price).pretty_price == expected
    bar = ohlcv(open=price, high=price, low=price, close=price)
    assert bar.pretty_open == bar.pretty_high == bar.pretty_low == bar.pretty_close == expected
    assert BidAskPair(price, price, 0, 0, 0, 0).pretty_ask_px == expected


def test_ohlcv_pretty_price_is_close():
    bar = ohlcv(close=2_500_000_000)
    assert bar.pretty_price == bar.pretty_close == 2.5


# (class, attribute, mode): R read-only, RW read/write, W write-only, - absent
ACCESS = {
    "hd": ("RW", "RW", "RW", "RW"), "instrument_id": ("RW", "RW", "RW", "RW"),
    "ts_event": ("R", "R", "RW", "R"), "rollover_flag": ("R", "R", "R", "R"),
    "rtype": ("R", "R", "R", "R"), "pretty_price": ("R", "R", "R", "R"),
    "pretty_action": ("R", "R", "-", "-"), "pretty_side": ("R", "R", "R", "-"),
    "price": ("RW", "RW", "RW", "-"), "size": ("RW", "RW", "RW", "-"),
    "action": ("RW", "RW", "-", "-"), "side": ("RW", "RW", "RW", "-"),
    "depth": ("RW", "RW", "-", "-"), "flags": ("RW", "RW", "RW", "-"),
    "ts_recv": ("RW", "RW", "RW", "-"), "ts_in_delta": ("RW", "RW", "-", "-"),
    "sequence": ("RW", "RW", "RW", "-"), "discriminator": ("RW", "-", "-", "-"),
    "levels": ("RW", "-", "RW", "-"),
    "open": ("-", "-", "-", "RW"), "high": ("-", "-", "-", "RW"), "low": ("-", "-", "-", "RW"),
    "close": ("-", "-", "-", "RW"), "volume": ("-", "-", "-", "RW"),
    "pretty_open": ("-", "-", "-", "R"), "pretty_high": ("-", "-", "-", "R"),
    "pretty_low": ("-", "-", "-", "R"), "pretty_close": ("-", "-", "-", "R"),
    **{f: ("-", "-", "W", "-") for f in ("bid_px", "ask_px", "bid_sz", "ask_sz", "bid_ct",
                                         "ask_ct")},
}
CASES = [(cls, attr, modes[i]) for attr, modes in ACCESS.items()
         for i, cls in enumerate([Mbp1Msg, TradeMsg, BboMsg, OhlcvMsg])]


@pytest.mark.parametrize("cls,attr,mode", CASES,
                         ids=[f"{c.__name__}.{a}" for c, a, _ in CASES])
def test_access_modes(cls, attr, mode):
    r = MAKERS[cls]()
    if mode == "-":
        assert attr not in dir(cls)
        with pytest.raises(AttributeError):
            getattr(r, attr)
        return
    value = getattr(r, attr) if "R" in mode else 0
    if mode == "R":
        raises(AttributeError, f"attribute '{attr}' of 'orx.{cls.__name__}' objects is not writable",
               setattr, r, attr, value)
    if "W" in mode:
        setattr(r, attr, value)
    if mode == "W":
        raises(AttributeError, f"attribute '{attr}' of 'orx.{cls.__name__}' objects is not readable",
               getattr, r, attr)
    raises(AttributeError, "can't delete attribute", delattr, r, attr)


# (class, field, low, high)
WIDTHS = [
    (RecordHeader, "length", 0, 255), (RecordHeader, "rtype", 0, 255),
    (RecordHeader, "instrument_id", 0, 2**32 - 1), (RecordHeader, "ts_event", 0, 2**64 - 1),
    (RecordHeader, "rollover_flag", 0, 255),
    (BidAskPair, "bid_px", -(2**63), 2**63 - 1), (BidAskPair, "ask_px", -(2**63), 2**63 - 1),
    (BidAskPair, "bid_sz", 0, 2**32 - 1), (BidAskPair, "ask_sz", 0, 2**32 - 1),
    (BidAskPair, "bid_ct", 0, 2**32 - 1), (BidAskPair, "ask_ct", 0, 2**32 - 1),
    (Mbp1Msg, "instrument_id", 0, 2**32 - 1), (Mbp1Msg, "price", -(2**63), 2**63 - 1),
    (Mbp1Msg, "size", 0, 2**32 - 1), (Mbp1Msg, "action", -128, 127), (Mbp1Msg, "side", -128, 127),
    (Mbp1Msg, "depth", 0, 255), (Mbp1Msg, "flags", 0, 255), (Mbp1Msg, "ts_recv", 0, 2**64 - 1),
    (Mbp1Msg, "ts_in_delta", -(2**31), 2**31 - 1), (Mbp1Msg, "sequence", 0, 2**32 - 1),
    (Mbp1Msg, "discriminator", 0, 2**32 - 1),
    (TradeMsg, "action", -128, 127), (TradeMsg, "ts_in_delta", -(2**31), 2**31 - 1),
    (BboMsg, "ts_event", 0, 2**64 - 1), (BboMsg, "side", -128, 127), (BboMsg, "flags", 0, 255),
    (OhlcvMsg, "open", -(2**63), 2**63 - 1), (OhlcvMsg, "volume", 0, 2**64 - 1),
]


def make(cls):
    if cls is RecordHeader:
        return mbp1().hd
    if cls is BidAskPair:
        return level()
    return MAKERS[cls]()


@pytest.mark.parametrize("cls,field,lo,hi", WIDTHS,
                         ids=[f"{c.__name__}.{f}" for c, f, *_ in WIDTHS])
def test_integer_ranges(cls, field, lo, hi):
    r = make(cls)
    old = getattr(r, field)
    for v in (lo, hi):
        setattr(r, field, v)
        assert getattr(r, field) == v
    setattr(r, field, old)
    for bad in (lo - 1, hi + 1):
        with pytest.raises(OverflowError):
            setattr(r, field, bad)
        assert getattr(r, field) == old
    raises(TypeError, f"argument '{field}': 'str' object cannot be interpreted as an integer",
           setattr, r, field, "1")
    assert getattr(r, field) == old


def test_narrow_range_message():
    t = trade()
    raises(OverflowError, "out of range integral type conversion attempted", setattr, t, "action",
           200)
    t.action = 65
    assert t.action == 65


@pytest.mark.parametrize(
    "build,exc,message",
    [
        (lambda: trade(action=65), TypeError,
         "argument 'action': 'int' object cannot be converted to 'Action'"),
        (lambda: trade(side=Action.ADD), TypeError,
         "argument 'side': 'Action' object cannot be converted to 'Side'"),
        (lambda: mbp1(levels=[]), ValueError, "expected a sequence of length 1 (got 0)"),
        (lambda: mbp1(levels=[level(), level()]), ValueError,
         "expected a sequence of length 1 (got 2)"),
        (lambda: mbp1(levels=level()), TypeError,
         "argument 'levels': 'BidAskPair' object cannot be converted to 'Sequence'"),
        (lambda: bbo(levels=[(1, 2, 3, 4, 5, 6)]), TypeError,
         "argument 'levels': 'tuple' object cannot be converted to 'BidAskPair'"),
        (lambda: mbp1(instrument_id=-1), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda: mbp1(ts_event=-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: ohlcv(volume=2**64), OverflowError, "int too big to convert"),
        (lambda: Mbp1Msg(1, 2, 3), TypeError,
         "Mbp1Msg.__new__() missing 11 required positional arguments: 'price', 'size', 'action', "
         "'side', 'flags', 'depth', 'ts_recv', 'ts_in_delta', 'sequence', 'discriminator' and "
         "'levels'"),
        (lambda: OhlcvMsg(*range(9)), TypeError,
         "OhlcvMsg.__new__() takes 8 positional arguments but 9 were given"),
        (lambda: ohlcv(bogus=1), TypeError,
         "OhlcvMsg.__new__() got an unexpected keyword argument 'bogus'"),
        (lambda: BidAskPair(1, 2, 3, 4, 5, 6, bid_px=1), TypeError,
         "BidAskPair.__new__() got multiple values for argument 'bid_px'"),
        (lambda: BidAskPair(1.5, 2, 3, 4, 5, 6), TypeError,
         "argument 'bid_px': 'float' object cannot be interpreted as an integer"),
        (lambda: RecordHeader(), TypeError, "No constructor defined for RecordHeader"),
        (lambda: RecordMsg(), TypeError, "No constructor defined for RecordMsg"),
    ],
)
def test_constructor_failures(build, exc, message):
    raises(exc, message, build)


def test_levels_accept_any_sequence_of_one():
    m = mbp1(levels=(level(9, 8, 7, 6, 5, 4),))
    assert m.levels[0].bid_px == 9


def test_hd_and_levels_are_copies():
    m = mbp1()
    m.hd.instrument_id = 5
    assert m.instrument_id == 7
    h = m.hd
    h.instrument_id = 5
    assert m.instrument_id == 7
    m.hd = h
    assert m.instrument_id == 5 and m.hd.instrument_id == 5
    m.levels[0].bid_px = 5
    assert m.levels[0].bid_px == 1
    lv = level(5, 6, 1, 1, 1, 1)
    m.levels = [lv]
    lv.bid_px = 99
    assert m.levels[0].bid_px == 5
    raises(ValueError, "expected a sequence of length 1 (got 0)", setattr, m, "levels", [])
    assert m.levels[0].bid_px == 5
    assert m.levels is not m.levels and type(m.levels) is list


def test_hd_setter_copies_all_five_fields_unchecked():
    m = mbp1()
    h = trade().hd
    h.ts_event, h.rollover_flag = 99, 4
    m.hd = h
    assert (m.hd.length, m.hd.rtype, m.ts_event, m.rollover_flag) == (14, 3, 99, 4)
    assert m.rtype == RType.TRADES
    raises(TypeError, "argument 'hd': 'BidAskPair' object cannot be converted to 'RecordHeader'",
           setattr, m, "hd", level())


def test_bbo_write_only_levels():
    b = bbo()
    for i, f in enumerate(("bid_px", "ask_px", "bid_sz", "ask_sz", "bid_ct", "ask_ct")):
        setattr(b, f, 100 + i)
        assert getattr(b.levels[0], f) == 100 + i
    raises(OverflowError, "out of range integral type conversion attempted", setattr, b, "bid_sz",
           -1)
    assert b.levels[0].bid_sz == 102


@pytest.mark.parametrize(
    "attr,field,value,message",
    [
        ("rtype", "hd", 9, "Unknown RType value: 9"),
        ("rtype", "hd", 0, "Unknown RType value: 0"),
        ("pretty_action", "action", ord("Z"), "Unknown Action value: 'Z'"),
        ("pretty_action", "action", -1, "Unknown Action value: '\xff'"),
        ("pretty_side", "side", 0, "Unknown Side value: '\x00'"),
        ("pretty_side", "side", ord("A") + 1, "Side.BID"),
    ],
)
def test_bytes_that_are_no_members(attr, field, value, message):
    m = mbp1()
    if field == "hd":
        h = m.hd
        h.rtype = value
        m.hd = h
    else:
        setattr(m, field, value)
    if message.startswith("Side."):
        assert getattr(m, attr) == Side.BID
        return
    raises(ValueError, message, getattr, m, attr)


def test_dict_key_orders():
    assert list(mbp1().__dict__()) == [
        "length", "rtype", "instrument_id", "ts_event", "rollover_flag", "price", "size", "action",
        "side", "flags", "depth", "ts_recv", "ts_in_delta", "sequence", "discriminator", "bid_px",
        "ask_px", "bid_sz", "ask_sz", "bid_ct", "ask_ct"]
    assert list(trade().__dict__()) == list(mbp1().__dict__())[:14]
    assert list(bbo().__dict__()) == [
        "length", "rtype", "instrument_id", "ts_event", "rollover_flag", "price", "size", "side",
        "flags", "ts_recv", "sequence", "bid_px", "ask_px", "bid_sz", "ask_sz", "bid_ct", "ask_ct"]
    assert list(ohlcv().__dict__()) == [
        "length", "rtype", "instrument_id", "ts_event", "rollover_flag", "open", "high", "low",
        "close", "volume"]


def test_dict_values_are_raw():
    m = mbp1(flags=1, depth=2)
    m.action = -3
    d = m.__dict__()
    assert d == {"length": 24, "rtype": 1, "instrument_id": 7, "ts_event": 1, "rollover_flag": 0,
                 "price": 1_500_000_000, "size": 10, "action": -3, "side": 66, "flags": 1,
                 "depth": 2, "ts_recv": 2, "ts_in_delta": -5, "sequence": 9, "discriminator": 3,
                 "bid_px": 1, "ask_px": 2, "bid_sz": 3, "ask_sz": 4, "bid_ct": 5, "ask_ct": 6}
    assert ohlcv().__dict__() == {"length": 16, "rtype": 2, "instrument_id": 1, "ts_event": 2,
                                  "rollover_flag": 3, "open": 1_500_000_000, "high": 2, "low": 3,
                                  "close": 4, "volume": 5}
    assert d is not m.__dict__()


def test_str_forms():
    assert str(trade()) == (
        "TradeMsg { hd: RecordHeader { length: 14, rtype: 3, instrument_id: 7, ts_event: 1, "
        "rollover_flag: 0 }, price: 1500000000, size: 10, action: 65, side: 66, depth: 0, "
        "flags: 0, ts_recv: 2, ts_in_delta: -5, sequence: 9 }")
    assert str(mbp1(flags=1, depth=2)) == (
        "Mbp1Msg { hd: RecordHeader { length: 24, rtype: 1, instrument_id: 7, ts_event: 1, "
        "rollover_flag: 0 }, price: 1500000000, size: 10, action: 65, side: 66, depth: 2, "
        "flags: 1, ts_recv: 2, ts_in_delta: -5, sequence: 9, discriminator: 3, levels: "
        "[BidAskPair { bid_px: 1, ask_px: 2, bid_sz: 3, ask_sz: 4, bid_ct: 5, ask_ct: 6 }] }")
    assert str(bbo(price=-4)) == (
        "BboMsg { hd: RecordHeader { length: 22, rtype: 5, instrument_id: 1, ts_event: 2, "
        "rollover_flag: 3 }, price: -4, size: 5, side: 65, flags: 6, ts_recv: 7, sequence: 8, "
        "levels: [BidAskPair { bid_px: 1, ask_px: 2, bid_sz: 3, ask_sz: 4, bid_ct: 5, "
        "ask_ct: 6 }] }")
    assert str(ohlcv(volume=2**64 - 1)) == (
        "OhlcvMsg { hd: RecordHeader { length: 16, rtype: 2, instrument_id: 1, ts_event: 2, "
        "rollover_flag: 3 }, open: 1500000000, high: 2, low: 3, close: 4, "
        "volume: 18446744073709551615 }")
    assert repr(trade()).startswith("<orx.TradeMsg object at 0x")
    assert repr(level()).startswith("<orx.BidAskPair object at 0x")  # no str of its own


@pytest.mark.parametrize(
    "obj,expected",
    [(mbp1(), True), (trade(), True), (bbo(), True), (ohlcv(), True), (mbp1().hd, False),
     (level(), False), (Side.ASK, False), (None, False), (42, False), (RecordMsg, False),
     (Mbp1Msg, False)],
)
def test_is_record(obj, expected):
    assert RecordMsg.is_record(obj) is expected
    assert RecordMsg.is_record(obj=obj) is expected


def test_records_have_no_equality_or_hash_of_their_own():
    a, b = mbp1(), mbp1()
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b
    {a, b}


def test_extra_attributes_stay_out_of_the_record():
    for r in (mbp1(), trade(), bbo(), ohlcv(), level(), mbp1().hd):
        r.extra = 1
        assert r.extra == 1
    m = mbp1()
    m.extra = [1]
    assert "extra" not in m.__dict__()
    assert callable(m.__dict__)
    h = m.hd
    h.note = "x"
    assert h.__dict__ == {"note": "x"}  # RecordHeader and BidAskPair keep a plain __dict__
    m.hd = h
    assert not hasattr(m.hd, "note")


def test_records_are_untracked_until_they_hold_references():
    m = mbp1()
    assert not gc.is_tracked(m) and not gc.is_tracked(m.hd) and not gc.is_tracked(m.levels[0])
    m.price = 5
    m.levels = [level()]
    assert not gc.is_tracked(m)
    m.me = m
    assert gc.is_tracked(m)


def test_reentrant_conversion_meets_consistent_state():
    m = mbp1()

    class Sneaky:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            m.price = 42  # re-enters the record while its setter converts
            m.levels = [level(7, 7, 7, 7, 7, 7)]
            return level(9, 9, 9, 9, 9, 9)

    m.levels = Sneaky()
    assert m.price == 42 and m.levels[0].bid_px == 9

    class Broken:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        m.levels = Broken()
    assert m.levels[0].bid_px == 9


def test_no_leaks():
    lv = level()

    def work():
        m = mbp1()
        m.levels = [lv]
        m.hd = m.hd
        str(m)
        m.__dict__()
        m.pretty_action, m.pretty_side, m.rtype, m.pretty_price
        b = bbo()
        b.bid_px = 3
        str(ohlcv())
        try:
            m.levels = []
        except ValueError:
            pass
        try:
            trade(action=65)
        except TypeError:
            pass

    assert_no_leak(work)
