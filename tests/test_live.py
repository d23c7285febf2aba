"""Live result classes: LiveData's optional arguments and completeness, AccountSummary."""

import pytest

from orx import AccountSummary, LiveData, Parameters, SignalInstructions, Signals, Trades

from helpers import assert_no_leak, must_raise, raises

ACCOUNT_NAMES = ["currency"] + [
    f"{edge}_{name}" for edge in ("start", "end") for name in (
        "timestamp", "buying_power", "excess_liquidity", "full_available_funds",
        "full_init_margin_req", "full_maint_margin_req", "futures_pnl", "net_liquidation",
        "total_cash_balance", "unrealized_pnl")
]


def params(name="s"):
    return Parameters(name, 1, "ohlcv-1d", "bars", 2, 3, ["A"])


def account(**kw):
    args = dict.fromkeys(ACCOUNT_NAMES[1:], 0)
    args["currency"] = "USD"
    args.update(kw)
    return AccountSummary(**args)


def trade(trade_id=1):
    return Trades(trade_id, 0, 0, "T", 0, 0, 0, 0, "BUY", 0)


def signal(ts=1):
    return Signals(ts, [SignalInstructions("T", "MKT", "B", 1, 0, 1, 1, "", "")])


def complete(**kw):
    args = dict(parameters=params(), trades=[], signals=[], account=account())
    args.update(kw)
    return LiveData(**args)


P, A = params(), account()


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "'parameters' are required"),
    ((), dict(trades=[], signals=[], account=A), "'parameters' are required"),
    ((), dict(parameters=P, account=A), "'trades' are required"),
    ((), dict(parameters=P, trades=[], account=A), "'signals' are required"),
    ((), dict(parameters=P, trades=[], signals=[]), "'account' is required"),
    ((7, P, None, [], A), {}, "'trades' are required"),         # None means absent
    ((None, None, [], [], A), {}, "'parameters' are required"),
    ((), dict(live_id=3, parameters=P, trades=[], signals=[], account=None),
     "'account' is required"),
])
def test_completeness_in_order(args, kwargs, message):
    raises(TypeError, message, LiveData, *args, **kwargs)


def test_complete_with_empty_lists():
    live = LiveData(parameters=P, trades=[], signals=[], account=A)
    assert live.live_id is None
    assert live.trades == [] and live.signals == []
    d = live.to_dict()
    assert list(d) == ["live_id", "parameters", "account", "trades", "signals"]
    assert d["live_id"] is None
    assert d["parameters"] == P.to_dict() and d["account"] == A.to_dict()
    positional = LiveData(None, P, (), (), A)
    assert positional.to_dict() == d


@pytest.mark.parametrize("value", [0, 1, 65535])
def test_live_id_stored_exactly(value):
    live = complete(live_id=value)
    assert live.live_id == value and type(live.live_id) is int
    assert live.to_dict()["live_id"] == value


def test_live_id_absent_is_distinct_from_zero_and_can_be_reset():
    live = complete(live_id=0)
    assert live.live_id == 0 and live.live_id is not None
    live.live_id = None
    assert live.live_id is None
    live.live_id = 65535
    assert live.live_id == 65535


@pytest.mark.parametrize("kwargs,exc,message", [
    (dict(live_id=65536), OverflowError, "out of range integral type conversion attempted"),
    (dict(live_id=-1), OverflowError, "out of range integral type conversion attempted"),
    (dict(live_id="1"), TypeError,
     "argument 'live_id': 'str' object cannot be interpreted as an integer"),
    (dict(parameters=1), TypeError,
     "argument 'parameters': 'int' object cannot be converted to 'Parameters'"),
    (dict(trades="T"), TypeError, "argument 'trades': Can't extract `str` to `Vec`"),
    (dict(signals=[signal(), trade()]), TypeError,
     "argument 'signals': 'Trades' object cannot be converted to 'Signals'"),
    (dict(account=params()), TypeError,
     "argument 'account': 'Parameters' object cannot be converted to 'AccountSummary'"),
])
def test_conversion_errors_come_before_the_completeness_check(kwargs, exc, message):
    # Only the bad argument is given: its conversion error wins over "'parameters' are required".
    raises(exc, message, LiveData, **kwargs)


def test_binding_errors():
    raises(TypeError, "LiveData.__new__() takes from 0 to 5 positional arguments but 6 were "
                      "given", LiveData, None, P, [], [], A, 1)
    raises(TypeError, "LiveData.__new__() got an unexpected keyword argument 'trade'",
           LiveData, trade=[])
    raises(TypeError, "LiveData.__new__() got multiple values for argument 'parameters'",
           LiveData, None, P, parameters=P)
    assert LiveData.__text_signature__ == (
        "(live_id=None, parameters=None, trades=None, signals=None, account=None)")


@pytest.mark.parametrize("field,message", [
    ("parameters", "argument 'parameters': 'NoneType' object cannot be converted to 'Parameters'"),
    ("trades", "argument 'trades': 'NoneType' object cannot be converted to 'Sequence'"),
    ("signals", "argument 'signals': 'NoneType' object cannot be converted to 'Sequence'"),
    ("account",
     "argument 'account': 'NoneType' object cannot be converted to 'AccountSummary'"),
])
def test_required_fields_refuse_none(field, message):
    live = complete(trades=[trade()], signals=[signal()])
    before = live.to_dict()
    raises(TypeError, message, setattr, live, field, None)
    assert live.to_dict() == before
    raises(AttributeError, "can't delete attribute", delattr, live, field)


def test_copies_in_and_out():
    trades = [trade(1)]
    acc = account(start_buying_power=5)
    live = complete(trades=trades, account=acc)
    trades[0].trade_id = 2
    trades.append(trade(3))
    acc.start_buying_power = 6
    assert [t.trade_id for t in live.trades] == [1]
    assert live.account.start_buying_power == 5
    got = live.account
    got.currency = "EUR"
    assert live.account.currency == "USD"
    live.account = got
    assert live.account.currency == "EUR"
    live.signals = (signal(4), signal(5))
    assert [s.timestamp for s in live.signals] == [4, 5]
    assert live.to_dict()["signals"][1]["trade_instructions"][0]["ticker"] == "T"


def test_account_summary_fields_and_order():
    assert AccountSummary.__text_signature__ == "(" + ", ".join(ACCOUNT_NAMES) + ")"
    values = {name: -(i * 10**15) - 1 for i, name in enumerate(ACCOUNT_NAMES[1:])}
    acc = AccountSummary("USD", *values.values())
    d = acc.to_dict()
    assert list(d) == ACCOUNT_NAMES
    assert d == {"currency": "USD", **values}
    assert acc.start_unrealized_pnl == values["start_unrealized_pnl"] < 0
    acc.end_net_liquidation = -(2**63)
    assert acc.end_net_liquidation == -(2**63)
    raises(TypeError, "argument 'currency': 'NoneType' object cannot be converted to 'PyString'",
           setattr, acc, "currency", None)
    raises(TypeError, "AccountSummary.__new__() missing 1 required positional argument: "
                      "'end_unrealized_pnl'", AccountSummary, "USD", *range(19))


def test_no_leaks():
    p, a, t, s = params(), account(), trade(), signal()

    def work():
        live = LiveData(1, p, [t, t], [s], a)
        live.to_dict()
        live.live_id = None
        live.trades
        live.account
        for bad in (dict(), dict(parameters=p), dict(live_id=70000)):
            must_raise((TypeError, OverflowError), lambda: LiveData(**bad))
        must_raise(TypeError, setattr, live, "account", None)

    assert_no_leak(work, iterations=5000)
