"""Back-test result classes and their binary encoding."""

import struct

import pytest

from orx import (BacktestData, BacktestMetaData, Parameters, PyBacktestEncoder, SignalInstructions,
                 Signals, StaticStats, TimeseriesStats, Trades)

from helpers import assert_no_leak, must_raise, raises

STATS_NAMES = [
    "total_trades", "total_winning_trades", "total_losing_trades", "avg_profit",
    "avg_profit_percent", "avg_gain", "avg_gain_percent", "avg_loss", "avg_loss_percent",
    "profitability_ratio", "profit_factor", "profit_and_loss_ratio", "total_fees", "net_profit",
    "beginning_equity", "ending_equity", "total_return", "annualized_return",
    "daily_standard_deviation_percentage", "annual_standard_deviation_percentage",
    "max_drawdown_percentage_period", "max_drawdown_percentage_daily", "sharpe_ratio",
    "sortino_ratio",
]


def params(**kw):
    args = dict(strategy_name="", capital=0, schema="", data_type="", start=0, end=0, tickers=[])
    args.update(kw)
    return Parameters(**args)


def stats(**kw):
    args = dict.fromkeys(STATS_NAMES, 0)
    args.update(kw)
    return StaticStats(**args)


def meta(**kw):
    args = dict(backtest_id=0, backtest_name="", parameters=params(), static_stats=stats())
    args.update(kw)
    return BacktestMetaData(**args)


def trade(**kw):
    args = dict(trade_id=0, leg_id=0, timestamp=0, ticker="", quantity=0, avg_price=0,
                trade_value=0, trade_cost=0, action="", fees=0)
    args.update(kw)
    return Trades(**args)


def instruction(**kw):
    args = dict(ticker="", order_type="", action="", trade_id=0, leg_id=0, weight=0, quantity=0,
                limit_price="", aux_price="")
    args.update(kw)
    return SignalInstructions(**args)


def backtest(**kw):
    args = dict(metadata=meta(), period_timeseries_stats=[], daily_timeseries_stats=[], trades=[],
                signals=[])
    args.update(kw)
    return BacktestData(**args)


def encode(bt):
    return PyBacktestEncoder().encode_backtest(bt)


def short(s):
    b = s.encode()
    return struct.pack("<H", len(b)) + b


EMPTY = bytes(238)

# --- the byte format --------------------------------------------------------------------------

# Where each scalar of the all-empty back-test lives: (setter, offset, format, value).
LAYOUT = [
    (lambda v: backtest(metadata=meta(backtest_id=v)), 0, "<H", 0xBEEF),
    (lambda v: backtest(metadata=meta(parameters=params(capital=v))), 6, "<q", -0x0102030405060708),
    (lambda v: backtest(metadata=meta(parameters=params(start=v))), 18, "<q", 2**63 - 1),
    (lambda v: backtest(metadata=meta(parameters=params(end=v))), 26, "<q", -(2**63)),
] + [
    (lambda v, n=name: backtest(metadata=meta(static_stats=stats(**{n: v}))), 38 + off, fmt, val)
    for name, off, fmt, val in [
        ("total_trades", 0, "<i", -(2**31)), ("total_winning_trades", 4, "<i", 2**31 - 1),
        ("total_losing_trades", 8, "<i", 0x01020304), ("avg_profit", 16, "<q", -1),
        ("avg_profit_percent", 24, "<q", 24), ("avg_gain", 32, "<q", 32),
        ("avg_gain_percent", 40, "<q", 40), ("avg_loss", 48, "<q", 48),
        ("avg_loss_percent", 56, "<q", 56), ("profitability_ratio", 64, "<q", 64),
        ("profit_factor", 72, "<q", 72), ("profit_and_loss_ratio", 80, "<q", 80),
        ("total_fees", 88, "<q", 88), ("net_profit", 96, "<q", 96),
        ("beginning_equity", 104, "<q", 104), ("ending_equity", 112, "<q", 112),
        ("total_return", 120, "<q", 120), ("annualized_return", 128, "<q", 128),
        ("daily_standard_deviation_percentage", 136, "<q", 136),
        ("annual_standard_deviation_percentage", 144, "<q", 144),
        ("max_drawdown_percentage_period", 152, "<q", 152),
        ("max_drawdown_percentage_daily", 160, "<q", 160), ("sharpe_ratio", 168, "<q", 168),
        ("sortino_ratio", 176, "<q", 0x7FEEDDCCBBAA9988),
    ]
]


def test_all_empty_backtest_is_238_zero_bytes():
    assert encode(backtest()) == EMPTY


@pytest.mark.parametrize("make,offset,fmt,value", LAYOUT,
                         ids=[f"{x[1]}{x[2]}" for x in LAYOUT])
def test_each_scalar_at_its_offset(make, offset, fmt, value):
    got = encode(make(value))
    size = struct.calcsize(fmt)
    expected = EMPTY[:offset] + struct.pack(fmt, value) + EMPTY[offset + size:]
    assert got == expected


def test_every_string_and_list_of_the_empty_layout():
    # Lengths and counts at 2, 4, 14, 16 (strings), 34 (tickers), 222..237 (lists).
    bt = backtest(
        metadata=meta(backtest_name="n", static_stats=stats(total_trades=1),
                      parameters=params(strategy_name="ss", schema="sch", data_type="dddd",
                                        capital=5, start=6, end=7, tickers=["T1", "é"])),
        period_timeseries_stats=[TimeseriesStats(1, 2, 3, 4, 5)],
        daily_timeseries_stats=[TimeseriesStats(6, 7, 8, 9, 10), TimeseriesStats(-1, -2, -3, -4, -5)],
        trades=[trade(trade_id=1, leg_id=2, timestamp=3, ticker="ABC", quantity=4, avg_price=5,
                      trade_value=6, trade_cost=7, action="SELL", fees=8)],
        signals=[Signals(11, []),
                 Signals(12, [instruction(ticker="T", order_type="MKT", action="B", trade_id=1,
                                          leg_id=2, weight=3, quantity=-4, limit_price="1.5",
                                          aux_price="")])],
    )
    expected = (
        struct.pack("<H", 0) + short("n")
        + short("ss") + struct.pack("<q", 5) + short("sch") + short("dddd")
        + struct.pack("<qqI", 6, 7, 2) + short("T1") + struct.pack("<H", 2) + b"\xc3\xa9"
        + struct.pack("<iii4x21q", 1, 0, 0, *[0] * 21)
        + struct.pack("<I5q", 1, 1, 2, 3, 4, 5)
        + struct.pack("<I10q", 2, 6, 7, 8, 9, 10, -1, -2, -3, -4, -5)
        + struct.pack("<Iiiq", 1, 1, 2, 3) + short("ABC") + struct.pack("<qqqq", 4, 5, 6, 7)
        + short("SELL") + struct.pack("<q", 8)
        + struct.pack("<IqI", 2, 11, 0)
        + struct.pack("<qI", 12, 1) + short("T") + short("MKT") + short("B")
        + struct.pack("<iiqi", 1, 2, 3, -4) + short("1.5") + short("")
    )
    assert encode(bt) == expected


@pytest.mark.parametrize("name,length_field,extra", [
    ("abc", 3, 3),
    ("éé", 4, 4),          # two characters, four UTF-8 bytes
    ("\U0001F600", 4, 4),  # one character outside the BMP
    ("", 0, 0),
])
def test_name_length_counts_utf8_bytes(name, length_field, extra):
    b = encode(backtest(metadata=meta(backtest_name=name)))
    assert len(b) == 238 + extra
    assert struct.unpack_from("<H", b, 2)[0] == length_field
    assert b[4:4 + extra] == name.encode()


def test_twos_complement_least_significant_byte_first():
    b = encode(backtest(metadata=meta(backtest_id=65535, parameters=params(capital=-1),
                                      static_stats=stats(total_losing_trades=-2))))
    assert b[0:2] == b"\xff\xff"
    assert b[6:14] == b"\xff" * 8
    assert b[46:50] == b"\xfe\xff\xff\xff"


@pytest.mark.parametrize("kw,size", [
    (dict(trades=[trade(ticker="ABC", action="SELL")]), 67),
    (dict(trades=[trade(), trade(ticker="x")]), 60 + 61),
    (dict(signals=[Signals(-1, [])]), 12),
    (dict(signals=[Signals(0, [instruction()])]), 12 + 30),
    (dict(signals=[Signals(0, [instruction(ticker="a", order_type="bb", action="c",
                                           limit_price="dd", aux_price="e")])]), 12 + 30 + 7),
    (dict(period_timeseries_stats=[TimeseriesStats(0, 0, 0, 0, 0)] * 3), 120),
    (dict(metadata=meta(parameters=params(tickers=["AB", ""]))), 4 + 2),
])
def test_entry_sizes(kw, size):
    assert len(encode(backtest(**kw))) == 238 + size


@pytest.mark.parametrize("period,daily", [([1], [2, 3]), ([], [4]), ([5], []), ([], [])])
def test_period_series_before_daily_series(period, daily):
    point = lambda t: TimeseriesStats(t, 0, 0, 0, 0)  # noqa: E731
    b = encode(backtest(period_timeseries_stats=[point(t) for t in period],
                        daily_timeseries_stats=[point(t) for t in daily]))
    expected = struct.pack("<I", len(period)) + b"".join(struct.pack("<q32x", t) for t in period)
    expected += struct.pack("<I", len(daily)) + b"".join(struct.pack("<q32x", t) for t in daily)
    assert b[222:] == expected + struct.pack("<II", 0, 0)


def test_lists_are_written_in_list_order():
    trades = [trade(trade_id=i) for i in (3, 1, 2)]
    b = encode(backtest(trades=trades))
    assert [struct.unpack_from("<i", b, 234 + 60 * k)[0] for k in range(3)] == [3, 1, 2]
    sigs = [Signals(t, []) for t in (9, -9, 0)]
    b = encode(backtest(signals=sigs))
    assert [struct.unpack_from("<q", b, 238 + 12 * k)[0] for k in range(3)] == [9, -9, 0]


def test_each_call_returns_one_backtest():
    enc = PyBacktestEncoder()
    big = backtest(trades=[trade(ticker="X" * 100)] * 50)
    first = enc.encode_backtest(big)
    assert enc.encode_backtest(big) == first  # same value, same bytes, padding included
    assert enc.encode_backtest(backtest()) == EMPTY  # nothing of the earlier calls remains
    assert enc.encode_backtest(backtest=big) == first


@pytest.mark.parametrize("make,path", [
    (lambda s: backtest(metadata=meta(backtest_name=s)), "metadata.backtest_name"),
    (lambda s: backtest(metadata=meta(parameters=params(strategy_name=s))),
     "metadata.parameters.strategy_name"),
    (lambda s: backtest(metadata=meta(parameters=params(schema=s))), "metadata.parameters.schema"),
    (lambda s: backtest(metadata=meta(parameters=params(tickers=["a", "b", s]))),
     "metadata.parameters.tickers[2]"),
    (lambda s: backtest(trades=[trade(), trade(ticker=s)]), "trades[1].ticker"),
    (lambda s: backtest(trades=[trade(action=s)]), "trades[0].action"),
    (lambda s: backtest(signals=[Signals(0, []), Signals(0, [instruction(), instruction(
        limit_price=s)])]), "signals[1].trade_instructions[1].limit_price"),
    (lambda s: backtest(signals=[Signals(0, [instruction(order_type=s)])]),
     "signals[0].trade_instructions[0].order_type"),
])
def test_string_too_long_for_its_length_field(make, path):
    enc = PyBacktestEncoder()
    good = enc.encode_backtest(make("é" * 32767 + "x"))  # 65,535 bytes: the largest that fits
    assert len(good) > 65535
    bad = make("é" * 32768)  # 32,768 characters, 65,536 bytes
    raises(OSError, f"Failed to encode record: Encoding error: {path} is 65536 bytes long; "
                    "a string holds at most 65535 bytes", enc.encode_backtest, bad)
    assert enc.encode_backtest(backtest()) == EMPTY  # the encoder still works afterwards


def test_encode_backtest_binding():
    enc = PyBacktestEncoder()
    assert PyBacktestEncoder.encode_backtest.__text_signature__ == "($self, backtest)"
    assert PyBacktestEncoder.encode_backtest.__doc__ == "Encodes multiple records"
    assert PyBacktestEncoder.__doc__ == "Python-facing wrapper for BacktestRecordEncoder"
    assert PyBacktestEncoder.__text_signature__ == "()"
    raises(TypeError, "argument 'backtest': 'BacktestMetaData' object cannot be converted to "
                      "'BacktestData'", enc.encode_backtest, meta())
    raises(TypeError, "argument 'backtest': 'NoneType' object cannot be converted to "
                      "'BacktestData'", enc.encode_backtest, backtest=None)
    raises(TypeError, "PyBacktestEncoder.encode_backtest() missing 1 required positional "
                      "argument: 'backtest'", enc.encode_backtest)
    raises(TypeError, "PyBacktestEncoder.encode_backtest() takes 1 positional arguments but 2 "
                      "were given", enc.encode_backtest, backtest(), 1)
    raises(TypeError, "PyBacktestEncoder.__new__() takes 0 positional arguments but 1 was given",
           PyBacktestEncoder, 1)
    raises(AttributeError, "'orx.PyBacktestEncoder' object has no attribute 'x' and no __dict__ "
                           "for setting new attributes", setattr, enc, "x", 1)


def test_encoding_leaves_the_backtest_usable():
    bt = backtest(trades=[trade(ticker="A")])
    encode(bt)
    bt.trades = []  # not held after the call
    assert encode(bt) == EMPTY


# --- the classes ------------------------------------------------------------------------------

SIGNATURES = [
    (BacktestData, "(metadata, period_timeseries_stats, daily_timeseries_stats, trades, signals)"),
    (BacktestMetaData, "(backtest_id, backtest_name, parameters, static_stats)"),
    (Parameters, "(strategy_name, capital, schema, data_type, start, end, tickers)"),
    (StaticStats, "(" + ", ".join(STATS_NAMES) + ")"),
    (TimeseriesStats, "(timestamp, equity_value, percent_drawdown, cumulative_return, "
                      "period_return)"),
    (Trades, "(trade_id, leg_id, timestamp, ticker, quantity, avg_price, trade_value, "
             "trade_cost, action, fees)"),
    (Signals, "(timestamp, trade_instructions)"),
    (SignalInstructions, "(ticker, order_type, action, trade_id, leg_id, weight, quantity, "
                         "limit_price, aux_price)"),
]


@pytest.mark.parametrize("cls,sig", SIGNATURES, ids=[c.__name__ for c, _ in SIGNATURES])
def test_constructor_signatures_and_attributes(cls, sig):
    assert cls.__text_signature__ == sig
    assert cls.__doc__ == ""
    method = cls.__dict__["__dict__" if cls is BacktestMetaData else "to_dict"]
    assert method.__text_signature__ == "($self)" and method.__doc__ is None
    names = sig[1:-1].split(", ")
    attrs = [n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"
             and n != "__dict__"]
    assert attrs == names  # the parameters are exactly the field attributes
    raises(TypeError, f"{cls.__name__}.__new__() missing 1 required positional argument: "
                      f"'{names[-1]}'", cls, *range(len(names) - 1))


STATS_DICT_ORDER = STATS_NAMES[:20] + ["max_drawdown_percentage_daily",
                                       "max_drawdown_percentage_period", "sharpe_ratio",
                                       "sortino_ratio"]


def test_dictionary_key_orders():
    s = StaticStats(*range(100, 124))
    d = s.to_dict()
    assert list(d) == STATS_DICT_ORDER
    assert d == {name: 100 + i for i, name in enumerate(STATS_NAMES)}  # each key its own value
    assert list(TimeseriesStats(1, 2, 3, 4, 5).to_dict().items()) == [
        ("timestamp", 1), ("equity_value", 2), ("percent_drawdown", 3), ("period_return", 5),
        ("cumulative_return", 4)]
    assert list(params().to_dict()) == ["strategy_name", "capital", "schema", "data_type",
                                        "start", "end", "tickers"]
    assert list(trade().to_dict()) == ["trade_id", "leg_id", "timestamp", "ticker", "quantity",
                                       "avg_price", "trade_value", "trade_cost", "action", "fees"]
    assert list(instruction().to_dict()) == ["ticker", "order_type", "action", "trade_id",
                                             "leg_id", "weight", "quantity", "limit_price",
                                             "aux_price"]
    assert list(Signals(1, []).to_dict()) == ["timestamp", "trade_instructions"]
    assert list(meta().__dict__()) == ["backtest_id", "backtest_name", "parameters",
                                       "static_stats"]
    assert list(backtest().to_dict()) == ["metadata", "period_timeseries_stats",
                                          "daily_timeseries_stats", "trades", "signals"]


def test_nested_dictionaries():
    m = meta(backtest_id=7, backtest_name="bt", parameters=params(tickers=["A", "B"]))
    bt = backtest(metadata=m, trades=[trade(ticker="T")],
                  signals=[Signals(3, [instruction(ticker="I")])],
                  daily_timeseries_stats=[TimeseriesStats(1, 2, 3, 4, 5)])
    d = bt.to_dict()
    assert d["metadata"] == m.__dict__()
    assert list(d["metadata"]["static_stats"]) == STATS_DICT_ORDER
    assert d["metadata"]["parameters"]["tickers"] == ["A", "B"]
    assert d["trades"] == [trade(ticker="T").to_dict()]
    assert d["signals"] == [{"timestamp": 3, "trade_instructions": [instruction(ticker="I")
                                                                   .to_dict()]}]
    assert d["daily_timeseries_stats"][0]["period_return"] == 5
    assert d["period_timeseries_stats"] == []
    assert bt.to_dict() is not d and bt.to_dict() == d


def test_metadata_dict_is_a_method():
    m = meta(backtest_id=3)
    assert m.__dict__()["backtest_id"] == 3
    raises(AttributeError, "'orx.BacktestMetaData' object has no attribute 'to_dict'",
           getattr, m, "to_dict")
    m.extra = 1  # extras still live in the instance dictionary
    assert m.extra == 1 and "extra" not in m.__dict__()
    t = trade()
    t.note = "x"
    assert t.__dict__ == {"note": "x"} and "note" not in t.to_dict()


# (class builder, field, smallest, largest, message beyond the range)
I32 = "out of range integral type conversion attempted"
I64 = "int too big to convert"
RANGES = [
    (stats, "total_trades", -(2**31), 2**31 - 1, I32),
    (stats, "total_winning_trades", -(2**31), 2**31 - 1, I32),
    (stats, "total_losing_trades", -(2**31), 2**31 - 1, I32),
    (stats, "sharpe_ratio", -(2**63), 2**63 - 1, I64),
    (trade, "trade_id", -(2**31), 2**31 - 1, I32),
    (trade, "leg_id", -(2**31), 2**31 - 1, I32),
    (trade, "quantity", -(2**63), 2**63 - 1, I64),
    (instruction, "quantity", -(2**31), 2**31 - 1, I32),
    (instruction, "trade_id", -(2**31), 2**31 - 1, I32),
    (instruction, "weight", -(2**63), 2**63 - 1, I64),
    (meta, "backtest_id", 0, 65535, I32),
    (params, "capital", -(2**63), 2**63 - 1, I64),
    (lambda: TimeseriesStats(0, 0, 0, 0, 0), "period_return", -(2**63), 2**63 - 1, I64),
]


@pytest.mark.parametrize("make,field,lo,hi,msg", RANGES,
                         ids=[f"{r[1]}-{r[2]}" for r in RANGES])
def test_integer_range_per_width(make, field, lo, hi, msg):
    obj = make()
    for v in (lo, hi):
        setattr(obj, field, v)
        assert getattr(obj, field) == v
    for bad in (lo - 1, hi + 1):
        with pytest.raises(OverflowError) as info:
            setattr(obj, field, bad)
        if bad > 0 or msg == I32:
            assert str(info.value) == msg
        assert getattr(obj, field) == hi  # unchanged
    raises(TypeError, f"argument '{field}': 'float' object cannot be interpreted as an integer",
           setattr, obj, field, 1.0)
    if make is not meta:
        return
    raises(OverflowError, I32, BacktestMetaData, -1, "", params(), stats())


@pytest.mark.parametrize("call,message", [
    (lambda: params(tickers="AAPL"), "argument 'tickers': Can't extract `str` to `Vec`"),
    (lambda: params(tickers=["A", 1]), "argument 'tickers': 'int' object cannot be converted to "
                                       "'PyString'"),
    (lambda: trade(ticker=1), "argument 'ticker': 'int' object cannot be converted to 'PyString'"),
    (lambda: backtest(trades=[trade(), Signals(0, [])]), "argument 'trades': 'Signals' object "
                                                         "cannot be converted to 'Trades'"),
    (lambda: backtest(trades={trade()}), "argument 'trades': 'set' object cannot be converted "
                                         "to 'Sequence'"),
    (lambda: backtest(metadata=params()), "argument 'metadata': 'Parameters' object cannot be "
                                          "converted to 'BacktestMetaData'"),
    (lambda: meta(static_stats=None), "argument 'static_stats': 'NoneType' object cannot be "
                                      "converted to 'StaticStats'"),
    (lambda: Signals(0, [trade()]), "argument 'trade_instructions': 'Trades' object cannot be "
                                    "converted to 'SignalInstructions'"),
    (lambda: TimeseriesStats(0, 0, 0, 0, "1"), "argument 'period_return': 'str' object cannot "
                                               "be interpreted as an integer"),
])
def test_conversion_errors(call, message):
    raises(TypeError, message, call)


def test_sequences_other_than_lists_are_accepted():
    bt = backtest(trades=(trade(trade_id=1), trade(trade_id=2)),
                  metadata=meta(parameters=params(tickers=("A", "B"))))
    assert [t.trade_id for t in bt.trades] == [1, 2]
    assert bt.metadata.parameters.tickers == ["A", "B"]


def test_failed_assignment_keeps_the_old_value():
    bt = backtest(trades=[trade(trade_id=1)])
    with pytest.raises(TypeError):
        bt.trades = [trade(trade_id=2), "x"]
    assert [t.trade_id for t in bt.trades] == [1]
    raises(AttributeError, "can't delete attribute", delattr, bt, "trades")
    raises(AttributeError, "can't delete attribute", delattr, bt.metadata, "backtest_id")


def test_reads_are_copies():
    bt = backtest(metadata=meta(backtest_id=1), trades=[trade(trade_id=1)])
    m = bt.metadata
    m.backtest_id = 2
    assert bt.metadata.backtest_id == 1  # until assigned back
    bt.metadata = m
    assert bt.metadata.backtest_id == 2
    trades = bt.trades
    trades[0].trade_id = 9
    trades.append(trade())
    assert [t.trade_id for t in bt.trades] == [1]
    bt.trades = trades
    assert [t.trade_id for t in bt.trades] == [9, 0]
    tickers = bt.metadata.parameters.tickers
    tickers.append("X")
    assert bt.metadata.parameters.tickers == []
    assert bt.metadata is not bt.metadata


def test_assignment_and_construction_copy():
    p = params(capital=1)
    m = meta(parameters=p)
    p.capital = 2
    assert m.parameters.capital == 1
    ins = instruction(ticker="A")
    s = Signals(0, [ins])
    ins.ticker = "B"
    assert s.trade_instructions[0].ticker == "A"
    m.parameters = p
    p.capital = 3
    assert m.parameters.capital == 2
    bt = backtest(metadata=m)
    m.backtest_name = "changed"
    assert bt.metadata.backtest_name == ""


def test_no_leaks():
    t = trade(ticker="ABC", action="BUY")
    s = Signals(1, [instruction(ticker="T", limit_price="1")])
    enc = PyBacktestEncoder()
    too_long = "x" * 65536

    def work():
        bt = backtest(metadata=meta(parameters=params(tickers=["A", "B"])), trades=[t, t],
                      signals=[s], period_timeseries_stats=[TimeseriesStats(1, 2, 3, 4, 5)])
        bt.to_dict()
        bt.metadata.__dict__()
        enc.encode_backtest(bt)
        bt.trades[0].ticker = "Z"
        bt.extra = bt  # a cycle through the instance dictionary
        must_raise(TypeError, setattr, bt, "trades", [t, s])
        must_raise(OSError, enc.encode_backtest, backtest(trades=[trade(ticker=too_long)]))

    assert_no_leak(work, iterations=5000)
