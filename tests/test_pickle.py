"""Pickling and copying of the package's values: every protocol, process pools, exactness of the
record memory, extra attributes, BufferStore's fresh position and hostile pickles."""

import concurrent.futures
import copy
import copyreg
import multiprocessing
import pickle

import pytest

import orx
from orx import (AccountSummary, Action, BacktestData, BacktestMetaData, BidAskPair, BufferStore,
                 Dataset, LiveData, Metadata, Parameters, PyRecordEncoder, RetrieveParams, Schema,
                 Side, SignalInstructions, Signals, StaticStats, Stype, SymbolMap, TimeseriesStats,
                 Trades, _ext, _pickle)

from helpers import assert_no_leak, raises
from records_util import bbo, mbp1, ohlcv, trade
from stream_util import mbp1_bytes, stream

U64, U32 = 2**64 - 1, 2**32 - 1
I64_MIN, I64_MAX, I32_MIN = -(2**63), 2**63 - 1, -(2**31)
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
LAYOUTS = (orx.RecordHeader, BidAskPair, orx.Mbp1Msg, orx.TradeMsg, orx.BboMsg, orx.OhlcvMsg)
ENUMS = (Side, orx.Vendors, Stype, Dataset, Action, Schema, orx.RType)


def view(obj):
    """Everything a value holds, as plain data: what "equal after unpickling" means here."""
    cls = type(obj)
    if cls in ENUMS:
        return cls, int(obj)
    if cls in LAYOUTS:
        fields = obj.__dict__() if orx.RecordMsg.is_record(obj) else None
        data = (_ext.layout_bytes(obj), fields)
    elif cls is SymbolMap:
        data = obj.map
    elif cls is Metadata:
        data = (int(obj.schema), int(obj.dataset), obj.start, obj.end, obj.mappings.map)
    elif cls is RetrieveParams:
        data = obj.to_json()
    elif cls is BacktestMetaData:
        data = obj.__dict__()
    elif cls is BufferStore:
        return cls, _ext.store_bytes(obj), view(obj.metadata)
    else:
        data = obj.to_dict()
    return cls, data, _ext.extra_attributes(obj)


def parameters(name="momentum", tickers=("ESZ6", "NQZ6")):
    return Parameters(name, I64_MAX, "mbp-1", "bars", I64_MIN, 0, list(tickers))


def stats(v):
    return StaticStats(I32_MIN, 2**31 - 1, 0, *[v] * 21)


def account(currency="USD"):
    return AccountSummary(currency, *range(-10, 10))


def instruction(ticker="ESZ6"):
    return SignalInstructions(ticker, "LMT", "BUY", 1, 2, I64_MIN, -3, "1.5", "")


def backtest():
    return BacktestData(
        BacktestMetaData(65535, "spread ⟨β⟩", parameters(), stats(I64_MIN)),
        [TimeseriesStats(1, 2, 3, 4, 5)], [TimeseriesStats(I64_MIN, I64_MAX, 0, -1, 1)],
        [Trades(1, 2, 3, "ESZ6", 4, 5, 6, 7, "SELL", -8)],
        [Signals(9, [instruction(), instruction("NQZ6")]), Signals(10, [])])


def rewritten_header():
    m = ohlcv()
    h = m.hd
    h.length, h.rtype = 6, 200  # a header that no longer matches its kind
    m.hd = h
    return m


SAMPLES = {
    "mbp1_extremes": lambda: mbp1(instrument_id=U32, ts_event=U64, price=I64_MIN,
                                  action=Action.CLEAR, side=Side.NONE, ts_recv=U64,
                                  ts_in_delta=I32_MIN, sequence=U32, discriminator=U32,
                                  levels=[BidAskPair(I64_MIN, I64_MAX, U32, 0, U32, 1)]),
    "trade": lambda: trade(price=I64_MAX, ts_event=0),
    "bbo": lambda: bbo(ts_event=U64, rollover_flag=255),
    "ohlcv": lambda: ohlcv(open=I64_MIN, high=I64_MAX, volume=U64),
    "ohlcv_rewritten_header": rewritten_header,
    "header": lambda: mbp1(ts_event=U64).hd,
    "level": lambda: BidAskPair(I64_MIN, I64_MAX, U32, 0, 1, 2),
    "symbol_map_empty": lambda: SymbolMap({}),
    "symbol_map_unicode": lambda: SymbolMap({0: "", U32: "ÉS\u00a0Z6 📈", 7: 'a"\n\x00'}),
    "metadata": lambda: Metadata(Schema.BBO1_M, Dataset.OPTION, U64, 0,
                                 SymbolMap({i: f"T{i}" for i in range(500)})),
    "metadata_empty": lambda: Metadata(Schema.MBP1, Dataset.FUTURES, 0, 0, SymbolMap({})),
    "retrieve": lambda: RetrieveParams(["ESZ6", 'q"\\\n', "日本"], "2024-01-02", "2024-01-03",
                                       Schema.OHLCV1_D, Dataset.EQUITIES, Stype.CONTINUOUS),
    "retrieve_extremes": lambda: RetrieveParams.from_json(
        f'[[],{I64_MIN},{I64_MAX},"Tbbo","Option","Raw"]'),
    "backtest": backtest,
    "metadata_of_backtest": lambda: backtest().metadata,
    "stats": lambda: stats(I64_MAX),
    "timeseries": lambda: TimeseriesStats(1, 2, 3, 4, 5),
    "trades": lambda: Trades(I32_MIN, 2**31 - 1, U64 >> 1, "", 0, 0, 0, 0, "", 0),
    "signals_empty": lambda: Signals(0, []),
    "instruction": instruction,
    "parameters_empty": lambda: parameters("", ()),
    "live": lambda: LiveData(None, parameters(), [Trades(1, 2, 3, "A", 4, 5, 6, 7, "B", 8)],
                             [Signals(1, [instruction()])], account("€")),
    "live_id_max": lambda: LiveData(65535, parameters(), [], [], account()),
    "account": account,
}
SAMPLES.update({f"{cls.__name__}.{name}": (lambda m=m: m)
                for cls in ENUMS for name, m in vars(cls).items() if type(m) is cls})


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("make", SAMPLES.values(), ids=SAMPLES.keys())
def test_round_trip_at_every_protocol(make, protocol):
    obj = make()
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert view(back) == view(obj)
    assert back is not obj or type(obj) in ENUMS


@pytest.mark.parametrize("cls", ENUMS, ids=lambda c: c.__name__)
def test_members_unpickle_as_the_class_attribute(cls):
    for m in vars(cls).values():
        if type(m) is cls:
            assert pickle.loads(pickle.dumps(m)) is m


def test_a_fresh_member_unpickles_as_the_class_attribute():
    fresh = Schema.from_str("mbp-1")
    assert fresh is not Schema.MBP1
    assert pickle.loads(pickle.dumps(fresh)) is Schema.MBP1
    assert copy.deepcopy(fresh) is Schema.MBP1


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
@pytest.mark.parametrize("make", SAMPLES.values(), ids=SAMPLES.keys())
def test_copies_are_equal_and_independent(make, copier):
    obj = make()
    obj_view = view(obj)
    twin = copier(obj)
    assert view(twin) == obj_view
    if type(obj) not in ENUMS:
        assert twin is not obj
        twin.only_on_the_copy = 1
        assert view(obj) == obj_view


def test_record_memory_is_kept_exactly():
    # Padding bytes in a stream survive decoding; a pickled record re-encodes byte for byte.
    raw = bytearray(mbp1_bytes())
    raw[2:4] = b"\xaa\xbb"  # header padding
    raw[60:64] = b"\x01\x02\x03\x04"  # padding before the level
    [record] = BufferStore(stream(bytes(raw))).decode_to_array()
    back = pickle.loads(pickle.dumps(record))
    enc = PyRecordEncoder()
    enc.encode_records([back])
    assert enc.get_encoded_data() == bytes(raw)


def test_layout_bytes_are_the_encoded_record():
    record = mbp1(price=-7, ts_event=U64)
    enc = PyRecordEncoder()
    enc.encode_records([record])
    assert _ext.layout_bytes(record) == enc.get_encoded_data()
    assert _ext.layout_bytes(record.hd) == enc.get_encoded_data()[:24]
    assert _ext.layout_bytes(record.levels[0]) == enc.get_encoded_data()[64:]


def test_extra_attributes_travel_and_deep_copy_deeply():
    record, meta = mbp1(), backtest().metadata  # both have a __dict__ *method*
    for obj in (record, meta, SymbolMap({1: "A"}), RetrieveParams.from_json(
            '[[],1,2,"Mbp1","Futures","Raw"]')):
        obj.note = ["kept"]
        back = pickle.loads(pickle.dumps(obj))
        assert back.note == ["kept"]
        assert copy.copy(obj).note is obj.note
        assert copy.deepcopy(obj).note is not obj.note
        assert copy.deepcopy(obj).note == obj.note
    assert "note" not in record.__dict__()


@pytest.mark.parametrize("copier", [lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy])
def test_an_attribute_may_refer_back_to_its_object(copier):
    record, stats_ = mbp1(), TimeseriesStats(1, 2, 3, 4, 5)
    record.me, record.other = record, stats_
    stats_.owner = record
    twin = copier(record)
    assert twin.me is twin and twin.other.owner is twin
    assert twin.other.to_dict() == stats_.to_dict()


def test_buffer_store_pickles_its_stream_from_the_start():
    data = stream(mbp1_bytes(ts=1), mbp1_bytes(ts=2), mbp1_bytes(ts=3))
    store = BufferStore(data)
    assert store.replay().ts_event == 1
    assert store.replay().ts_event == 2
    for twin in (pickle.loads(pickle.dumps(store)), copy.copy(store), copy.deepcopy(store)):
        assert _ext.store_bytes(twin) == data
        assert [r.ts_event for r in twin.decode_to_array()] == [1, 2, 3]
        assert view(twin.metadata) == view(store.metadata)
    assert store.replay().ts_event == 3  # the original keeps its position
    assert store.replay() is None


def _echo(objs):
    return objs, [view(o) for o in objs]


def test_round_trip_through_a_process_pool():
    objs = [make() for make in SAMPLES.values()]
    objs.append(BufferStore(stream(mbp1_bytes())))
    objs[0].note = {"nested": [1, 2]}
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=ctx) as pool:
        back, child_views = pool.submit(_echo, objs).result(timeout=120)
    assert [view(o) for o in back] == child_views == [view(o) for o in objs]


def test_lib_classes_gain_no_members():
    for name in orx._lib.__all__:
        cls = getattr(orx._lib, name)
        assert not {"__reduce__", "__reduce_ex__", "__getstate__", "__setstate__"} & set(vars(cls))
    # tblib (imported by dask) registers a reducer for every exception class there is
    registered = {cls for cls in copyreg.dispatch_table
                  if cls.__module__ == "orx" and not issubclass(cls, BaseException)}
    encoders = {orx.PyRecordEncoder, orx.PyMetadataEncoder, orx.PyBacktestEncoder, orx.RecordMsg}
    assert registered == {getattr(orx._lib, n) for n in orx._lib.__all__} - encoders


def test_encoders_still_refuse():
    raises(TypeError, "cannot pickle 'orx.PyRecordEncoder' object", pickle.dumps, PyRecordEncoder())


class _Forged:
    """Pickles as a call of one of the package's rebuilding functions with chosen arguments."""

    def __init__(self, fn, args, state=None):
        self.reduced = (fn, args) if state is None else (fn, args, state)

    def __reduce__(self):
        return self.reduced


HOSTILE = [
    (_pickle.layout, (orx.Mbp1Msg, b"\0" * 95), ValueError, "a Mbp1Msg is 96 bytes, got 95"),
    (_pickle.layout, (orx.RecordHeader, b"\0" * 25), ValueError,
     "a RecordHeader is 24 bytes, got 25"),
    (_pickle.layout, (Metadata, b""), TypeError, "expected the class RecordHeader, BidAskPair, "
     "Mbp1Msg, TradeMsg, BboMsg or OhlcvMsg, got <class 'orx.Metadata'>"),
    (_pickle.layout, (print, b""), TypeError, "expected the class RecordHeader, BidAskPair, "
     "Mbp1Msg, TradeMsg, BboMsg or OhlcvMsg, got <built-in function print>"),
    (_pickle.layout, (BidAskPair, "x" * 32), TypeError,
     "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    (_pickle.member, (Schema, 0), ValueError, "Schema has no member with value 0"),
    (_pickle.member, (Side, "A"), ValueError, "Side has no member with value 'A'"),
    (_pickle.member, (int, 1), TypeError, "<class 'int'> is not an orx enumeration"),
    (_pickle.result, (print, ()), TypeError,
     "<built-in function print> is not an orx back-test or live class"),
    (_pickle.result, (TimeseriesStats, (1, 2)), TypeError,
     "TimeseriesStats takes a tuple of 5 arguments"),
    (_pickle.result, (TimeseriesStats, [1, 2, 3, 4, 5]), TypeError,
     "TimeseriesStats takes a tuple of 5 arguments"),
    (_pickle.result, (TimeseriesStats, (1, 2, 3, 4, 2**63)), OverflowError,
     "int too big to convert"),
    (_pickle.metadata, (1, 1, -1, 0, {}), OverflowError, "can't convert negative int to unsigned"),
    (_pickle.metadata, (1, 4, 0, 0, {}), ValueError, "Dataset has no member with value 4"),
    (_pickle.symbol_map, ({"a": "b"},), TypeError,
     "argument 'map': 'str' object cannot be interpreted as an integer"),
    (_pickle.retrieve_params, ("{",), ValueError,
     "Failed to deserialize from JSON: EOF while parsing an object at line 1 column 2"),
    (_pickle.buffer_store, (b"\x05",), OSError, "failed to fill whole buffer"),
]


@pytest.mark.parametrize("fn, args, exc, message", HOSTILE)
def test_hostile_pickles_raise_clear_errors(fn, args, exc, message):
    data = pickle.dumps(_Forged(fn, args))
    with pytest.raises(BaseException) as info:
        pickle.loads(data)
    assert type(info.value) is exc, info.value
    assert str(info.value) == message


def test_hostile_state_raises_a_clear_error():
    forged = _Forged(_pickle.layout, (BidAskPair, bytes(32)), (None, {"bid_px": "x"}))
    raises(TypeError, "argument 'bid_px': 'str' object cannot be interpreted as an integer",
           pickle.loads, pickle.dumps(forged))


SIZES = {orx.RecordHeader: 24, BidAskPair: 32, orx.Mbp1Msg: 96, orx.TradeMsg: 56,
         orx.BboMsg: 88, orx.OhlcvMsg: 64}


@pytest.mark.parametrize("cls, size", SIZES.items(), ids=lambda c: getattr(c, "__name__", ""))
def test_any_memory_of_the_right_size_makes_a_usable_object(cls, size):
    obj = _pickle.layout(cls, b"\xff" * size)
    assert _ext.layout_bytes(obj) == b"\xff" * size
    raises(ValueError, f"a {cls.__name__} is {size} bytes, got {size + 1}", _pickle.layout, cls,
           bytes(size + 1))
    if orx.RecordMsg.is_record(obj):
        assert obj.__dict__()["rtype"] == 255
        raises(ValueError, "Unknown RType value: 255", getattr, obj, "rtype")


def test_layout_helpers_refuse_other_objects():
    raises(TypeError, "expected a RecordHeader, BidAskPair, Mbp1Msg, TradeMsg, BboMsg or OhlcvMsg "
           "object, got 'orx.Metadata'", _ext.layout_bytes,
           Metadata(Schema.MBP1, Dataset.FUTURES, 0, 0, SymbolMap({})))
    raises(TypeError, "argument 'store': 'bytes' object cannot be converted to 'BufferStore'",
           _ext.store_bytes, b"")
    assert _ext.extra_attributes(1) is None
    assert _ext.extra_attributes(mbp1()) is None


def test_pickled_record_is_compact():
    # The class, the 96-byte layout and the name of the rebuilding function, nothing per field.
    assert len(pickle.dumps(mbp1(), pickle.HIGHEST_PROTOCOL)) < 96 + 64


def test_no_leaks():
    record, store = mbp1(), BufferStore(stream(mbp1_bytes()))
    record.note = [1]

    def work():
        pickle.loads(pickle.dumps(record))
        pickle.loads(pickle.dumps(store))
        try:
            _pickle.layout(orx.Mbp1Msg, b"")
        except ValueError:
            pass

    assert_no_leak(work, iterations=5000)
