import pytest

from orx import Action, Dataset, RType, Schema, Side, Stype, Vendors

from helpers import assert_no_leak, must_raise, raises

# (class, attribute, stored value, variant name, name, text form)
MEMBERS = [
    (Side, "ASK", 65, "Ask", "ASK", "A"),
    (Side, "BID", 66, "Bid", "BID", "B"),
    (Side, "NONE", 78, "None", "NONE", "N"),
    (Action, "MODIFY", 77, "Modify", "MODIFY", "M"),
    (Action, "TRADE", 84, "Trade", "TRADE", "T"),
    (Action, "FILL", 70, "Fill", "FILL", "F"),
    (Action, "CANCEL", 67, "Cancel", "CANCEL", "C"),
    (Action, "ADD", 65, "Add", "ADD", "A"),
    (Action, "CLEAR", 82, "Clear", "CLEAR", "R"),
    (Schema, "MBP1", 1, "Mbp1", "MBP1", "mbp-1"),
    (Schema, "OHLCV1_S", 2, "Ohlcv1S", "OHLCV1S", "ohlcv-1s"),
    (Schema, "OHLCV1_M", 3, "Ohlcv1M", "OHLCV1M", "ohlcv-1m"),
    (Schema, "OHLCV1_H", 4, "Ohlcv1H", "OHLCV1H", "ohlcv-1h"),
    (Schema, "OHLCV1_D", 5, "Ohlcv1D", "OHLCV1D", "ohlcv-1d"),
    (Schema, "TRADES", 6, "Trades", "TRADES", "trades"),
    (Schema, "TBBO", 7, "Tbbo", "TBBO", "tbbo"),
    (Schema, "BBO1_S", 8, "Bbo1S", "BBO1S", "bbo-1s"),
    (Schema, "BBO1_M", 9, "Bbo1M", "BBO1M", "bbo-1m"),
    (RType, "MBP1", 1, "Mbp1", "MBP1", "mbp-1"),
    (RType, "OHLCV", 2, "Ohlcv", "OHLCV", "ohlcv"),
    (RType, "TRADES", 3, "Trades", "TRADES", "trades"),
    (RType, "TBBO", 4, "Tbbo", "TBBO", "tbbo"),
    (RType, "BBO", 5, "Bbo", "BBO", "bbo"),
    (Stype, "RAW", 1, "Raw", "RAW", "raw"),
    (Stype, "CONTINUOUS", 2, "Continuous", "CONTINUOUS", "continuous"),
    (Dataset, "FUTURES", 1, "Futures", "FUTURES", "futures"),
    (Dataset, "EQUITIES", 2, "Equities", "EQUITIES", "equities"),
    (Dataset, "OPTION", 3, "Option", "OPTION", "option"),
    (Vendors, "DATABENTO", 1, "Databento", "DATABENTO", "databento"),
    (Vendors, "YFINANCE", 2, "Yfinance", "YFINANCE", "yfinance"),
]
ALL = [Side, Action, Schema, RType, Stype, Dataset, Vendors]
WITH_JSON = {Schema, Stype, Dataset, Vendors}
ids = [f"{m[0].__name__}.{m[1]}" for m in MEMBERS]


@pytest.mark.parametrize("cls,attr,value,variant,name,text", MEMBERS, ids=ids)
def test_member_forms(cls, attr, value, variant, name, text):
    m = getattr(cls, attr)
    assert type(m) is cls
    assert m.name == name
    assert m.value == text
    assert str(m) == text
    assert int(m) == value
    assert repr(m) == f"<{cls.__name__}.{name}: '{text}'>"
    assert m == value and not (m != value)
    if cls in WITH_JSON:
        assert m.to_json() == variant
    else:
        assert not hasattr(m, "to_json")


@pytest.mark.parametrize("cls,attr,value,variant,name,text", MEMBERS, ids=ids)
def test_from_str_and_from_int_round_trip(cls, attr, value, variant, name, text):
    m = getattr(cls, attr)
    got = cls.from_str(text)
    assert got == m and got is not m and type(got) is cls
    assert cls.from_str(value=text) == m
    if cls in (Side, Action, RType):
        assert cls.from_int(value) == m and cls.from_int(value) is not m


@pytest.mark.parametrize("cls", ALL)
def test_class_attributes_are_the_members_only(cls):
    members = {m[1] for m in MEMBERS if m[0] is cls}
    attrs = {k for k, v in vars(cls).items() if type(v) is cls}
    assert attrs == members
    assert getattr(cls, next(iter(members))) is getattr(cls, next(iter(members)))


@pytest.mark.parametrize(
    "fn,exc,message",
    [
        (lambda: Schema.from_str("MBP-1"), ValueError, "Unknown Schema value: 'MBP-1'"),
        (lambda: Schema.from_str(" mbp-1"), ValueError, "Unknown Schema value: ' mbp-1'"),
        (lambda: Schema.from_str("Mbp1"), ValueError, "Unknown Schema value: 'Mbp1'"),
        (lambda: Schema.from_str(5), TypeError, "'int' object cannot be converted to 'PyString'"),
        (lambda: Schema.from_str(Schema.MBP1), TypeError,
         "'Schema' object cannot be converted to 'PyString'"),
        (lambda: Stype.from_str(""), ValueError, "Unknown Stype value: ''"),
        (lambda: Dataset.from_str("Futures"), ValueError, "Unknown Dataset value: 'Futures'"),
        (lambda: Vendors.from_str("x y "), ValueError, "Unknown Vendors value: 'x y '"),
        (lambda: Vendors.from_str(None), TypeError,
         "'NoneType' object cannot be converted to 'PyString'"),
        (lambda: RType.from_str("bbo-1s"), ValueError,
         "Conversion error: Invalid value for RType: bbo-1s"),
        (lambda: RType.from_str(""), ValueError, "Conversion error: Invalid value for RType: "),
        (lambda: RType.from_str(1), TypeError,
         "argument 'value': 'int' object cannot be converted to 'PyString'"),
        (lambda: Side.from_str("AB"), ValueError, "expected a string of length 1"),
        (lambda: Side.from_str(""), ValueError, "expected a string of length 1"),
        (lambda: Side.from_str("a"), ValueError, "Unknown Side value: 'a'"),
        (lambda: Side.from_str("é"), ValueError, "Unknown Side value: 'é'"),
        (lambda: Side.from_str("\U0001F600"), ValueError, "Unknown Side value: '\U0001F600'"),
        (lambda: Action.from_str("B"), ValueError, "Unknown Action value: 'B'"),
        (lambda: Side.from_str(65), TypeError,
         "argument 'value': 'int' object cannot be converted to 'PyString'"),
        (lambda: Side.from_int(256), OverflowError, "out of range integral type conversion attempted"),
        (lambda: Side.from_int(-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: Side.from_int(67), ValueError, "Unknown Side value: 'C'"),
        (lambda: Side.from_int(10), ValueError, "Unknown Side value: '\n'"),
        (lambda: Side.from_int(0), ValueError, "Unknown Side value: '\x00'"),
        (lambda: Action.from_int(233), ValueError, "Unknown Action value: '\xe9'"),
        (lambda: Action.from_int("A"), TypeError,
         "argument 'value': 'str' object cannot be interpreted as an integer"),
        (lambda: RType.from_int(0), ValueError, "Unknown RType value: 0"),
        (lambda: RType.from_int(9), ValueError, "Unknown RType value: 9"),
        (lambda: RType.from_schema(8), TypeError, "'int' object cannot be converted to 'Schema'"),
        (lambda: RType.from_schema(RType.MBP1), TypeError,
         "'RType' object cannot be converted to 'Schema'"),
    ],
)
def test_lookup_failures(fn, exc, message):
    raises(exc, message, fn)


def test_action_from_str_clear():
    assert Action.from_str("R") == Action.CLEAR


@pytest.mark.parametrize(
    "schema,rtype",
    [
        (Schema.MBP1, RType.MBP1), (Schema.OHLCV1_S, RType.OHLCV), (Schema.OHLCV1_M, RType.OHLCV),
        (Schema.OHLCV1_H, RType.OHLCV), (Schema.OHLCV1_D, RType.OHLCV),
        (Schema.TRADES, RType.TRADES), (Schema.TBBO, RType.TBBO), (Schema.BBO1_S, RType.BBO),
        (Schema.BBO1_M, RType.BBO),
    ],
)
def test_rtype_from_schema(schema, rtype):
    got = RType.from_schema(schema)
    assert type(got) is RType and got == rtype
    assert RType.from_schema(value=schema) == rtype


def test_equality_rules():
    assert Side.ASK == 65 and 65 == Side.ASK
    assert Schema.TBBO == 7
    assert Dataset.FUTURES == True  # noqa: E712 (bool converts to 1)
    assert Side.ASK != Side.BID and Side.ASK == Side.from_str("A")
    # Different classes and non-integers are not implemented: identity decides.
    assert Schema.MBP1 != RType.MBP1
    assert Side.ASK != Action.ADD  # same stored value 65, different classes
    assert Side.ASK != "A"
    assert Side.ASK != 65.0
    assert Side.ASK != 65 + 256
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"Side.ASK {op} Side.BID")


@pytest.mark.parametrize("cls", ALL)
def test_members_are_immutable_and_unhashable(cls):
    m = next(v for v in vars(cls).values() if type(v) is cls)
    with pytest.raises(TypeError, match="unhashable"):
        hash(m)
    with pytest.raises(TypeError):
        {m}
    with pytest.raises(AttributeError):
        m.extra = 1
    with pytest.raises(AttributeError):
        m.name = "X"
    assert not hasattr(m, "__dict__")
    with pytest.raises(TypeError):
        setattr(cls, "EXTRA", 1)


@pytest.mark.parametrize("cls", ALL)
def test_text_signatures_and_docs(cls):
    assert cls.from_str.__text_signature__ == "($cls, value)"
    assert cls.__dict__["name"].__doc__ is None and cls.__dict__["value"].__doc__ is None
    if cls in (Side, Action, RType):
        assert cls.from_int.__text_signature__ == "($cls, value)"
    if cls in WITH_JSON:
        assert cls.to_json.__text_signature__ == "($self)"
    if cls is RType:
        assert cls.from_schema.__text_signature__ == "($cls, value)"


def test_binding_errors_through_enum_methods():
    raises(TypeError, "Side.from_str() missing 1 required positional argument: 'value'",
           Side.from_str)
    raises(TypeError, "Side.from_str() takes 1 positional arguments but 2 were given",
           Side.from_str, "A", "B")
    raises(TypeError, "Schema.from_str() got an unexpected keyword argument 'text'",
           Schema.from_str, text="mbp-1")
    raises(TypeError, "RType.from_int() got multiple values for argument 'value'",
           RType.from_int, 1, value=1)
    # Unexpected keywords are reported before missing parameters are counted.
    raises(TypeError, "RType.from_schema() got an unexpected keyword argument 'v'",
           RType.from_schema, v=1)


def test_repeated_lookups_do_not_leak():
    def work():
        Schema.from_str("ohlcv-1s").to_json()
        must_raise(ValueError, Schema.from_str, "nope")
        Side.from_int(65) == Side.ASK
        repr(RType.from_schema(Schema.TBBO))
        must_raise(TypeError, RType.from_str, 3)

    assert_no_leak(work)
