"""RetrieveParams: construction from date texts, attributes, JSON both ways, debug text."""

import itertools

import pytest

from orx import Dataset, RetrieveParams, Schema, Stype

from helpers import assert_no_leak, raises

JAN2 = 1704153600000000000
JAN3 = 1704240000000000000
JAN2_0930 = 1704187800000000000
EXAMPLE_JSON = ('{"symbols":["AAA"],"start_ts":1704153600000000000,"end_ts":1704240000000000000,'
                '"schema":"Mbp1","dataset":"Futures","stype":"Raw"}')
BASE = '{"symbols":["A"],"start_ts":1,"end_ts":2,"schema":"Mbp1","dataset":"Futures","stype":"Raw"}'
PREFIX = "Failed to deserialize from JSON: "


def make(symbols=("AAA",), start="2024-01-02", end="2024-01-03", schema=Schema.MBP1,
         dataset=Dataset.FUTURES, stype=Stype.RAW):
    return RetrieveParams(list(symbols), start, end, schema, dataset, stype)


def fields(p):
    return (p.symbols, p.start_ts, p.end_ts, int(p.schema), int(p.dataset), int(p.stype))


# --- class shape ---------------------------------------------------------------------------------


def test_signatures_and_docs():
    assert RetrieveParams.__text_signature__ == "(symbols, start, end, schema, dataset, stype)"
    assert RetrieveParams.__doc__ == ""
    assert RetrieveParams.to_json.__text_signature__ == "($self)"
    assert RetrieveParams.to_json.__doc__ == "Convert `RetrieveParams` to JSON string"
    assert RetrieveParams.from_json.__text_signature__ == "(json_str)"
    assert RetrieveParams.from_json.__doc__ == "Create `RetrieveParams` from JSON string"
    assert RetrieveParams.__module__ == "orx"


def test_instance_dict_and_default_repr():
    p = make()
    p.note = "extra"
    assert p.__dict__ == {"note": "extra"}
    assert repr(p).startswith("<orx.RetrieveParams object at 0x")
    assert p != make() and hash(p) == hash(p)  # identity only


# --- construction --------------------------------------------------------------------------------


def test_worked_example():
    p = make()
    assert fields(p) == (["AAA"], JAN2, JAN3, 1, 1, 1)
    assert p.to_json() == EXAMPLE_JSON
    assert isinstance(p.schema, Schema) and p.schema == Schema.MBP1
    assert isinstance(p.dataset, Dataset) and isinstance(p.stype, Stype)


@pytest.mark.parametrize("start,end,want", [
    ("2024-01-02", "2024-01-02 09:30:00", (JAN2, JAN2_0930)),
    ("2024-01-03", "2024-01-02", (JAN3, JAN2)),  # end before start is kept
    (" 2024-1-02", "2024-12-31 23:59:60", (JAN2, 1735689600000000000)),
    ("1677-09-22", "2262-04-11 23:47:16", (-9223286400000000000, 9223372036000000000)),
])
def test_dates(start, end, want):
    p = make(start=start, end=end)
    assert (p.start_ts, p.end_ts) == want


def test_symbols_accept_any_sequence_of_str():
    assert make(symbols=[]).symbols == []
    assert RetrieveParams(("A", "B", "A"), "2024-01-02", "2024-01-03", Schema.TBBO,
                          Dataset.OPTION, Stype.CONTINUOUS).symbols == ["A", "B", "A"]
    p = RetrieveParams(symbols=["X"], start="2024-01-02", end="2024-01-03", schema=Schema.MBP1,
                       dataset=Dataset.EQUITIES, stype=Stype.RAW)
    assert p.symbols == ["X"] and p.dataset == Dataset.EQUITIES


@pytest.mark.parametrize("start,end,reason", [
    ("2024-01-02T09:30:00", "2024-01-02", "input contains invalid characters"),
    ("2024-01-02 ", "x", "premature end of input"),  # the start is converted first
    ("2024-01-02", "2024-01-02 09:30:00Z", "trailing input"),
    ("2024-02-30", "2024-01-02", "input is out of range"),
    ("2024-01-02", "2024-13-01", "input is out of range"),
    ("2262-04-12", "2024-01-02", "input is out of range"),
    ("+" + "9" * 1000 + "-01-01 00:00:00", "2024-01-02", "input is out of range"),
    ("", "2024-01-02", "premature end of input"),
])
def test_date_failures(start, end, reason):
    raises(OSError, f"Failed to create RetrieveParams : Parse Error : {reason}", make, start=start,
           end=end)


S, D, T = Schema.MBP1, Dataset.FUTURES, Stype.RAW
NEW = "RetrieveParams.__new__()"


@pytest.mark.parametrize("args,kwargs,exc,message", [
    (("AB", "2024-01-02", "2024-01-03", S, D, T), {}, TypeError,
     "argument 'symbols': Can't extract `str` to `Vec`"),
    (({"A"}, "2024-01-02", "2024-01-03", S, D, T), {}, TypeError,
     "argument 'symbols': 'set' object cannot be converted to 'Sequence'"),
    ((["A", 1], "2024-01-02", "2024-01-03", S, D, T), {}, TypeError,
     "argument 'symbols': 'int' object cannot be converted to 'PyString'"),
    ((["A"], 20240102, "x", S, D, T), {}, TypeError,
     "argument 'start': 'int' object cannot be converted to 'PyString'"),
    ((["A"], "2024-01-02", None, S, D, T), {}, TypeError,
     "argument 'end': 'NoneType' object cannot be converted to 'PyString'"),
    ((["A"], "x", "x", "mbp-1", D, T), {}, TypeError,
     "argument 'schema': 'str' object cannot be converted to 'Schema'"),
    ((["A"], "x", "x", S, Stype.RAW, T), {}, TypeError,
     "argument 'dataset': 'Stype' object cannot be converted to 'Dataset'"),
    ((["A"], "x", "x", S, D, 1), {}, TypeError,
     "argument 'stype': 'int' object cannot be converted to 'Stype'"),
    ((["A"], "2024-01-02", "2024-01-03", S, D), {}, TypeError,
     f"{NEW} missing 1 required positional argument: 'stype'"),
    ((), {}, TypeError,
     f"{NEW} missing 6 required positional arguments: 'symbols', 'start', 'end', 'schema', "
     "'dataset' and 'stype'"),
    ((["A"], "2024-01-02", "2024-01-03", S, D, T, 7), {}, TypeError,
     f"{NEW} takes 6 positional arguments but 7 were given"),
    ((["A"], "2024-01-02", "2024-01-03", S, D, T), {"start_ts": 1}, TypeError,
     f"{NEW} got an unexpected keyword argument 'start_ts'"),
    ((["A"], "2024-01-02", "2024-01-03", S, D, T), {"symbols": []}, TypeError,
     f"{NEW} got multiple values for argument 'symbols'"),
])
def test_argument_errors(args, kwargs, exc, message):
    raises(exc, message, RetrieveParams, *args, **kwargs)


# --- attributes ----------------------------------------------------------------------------------


def test_attributes_read_copies_and_assign():
    p = make()
    got = p.symbols
    got.append("ZZZ")
    assert p.symbols == ["AAA"] and p.symbols is not p.symbols
    assert p.schema is not p.schema
    p.symbols = ("B", "C")
    p.start_ts = -(2**63)
    p.end_ts = 2**63 - 1
    p.schema = Schema.BBO1_M
    p.dataset = Dataset.OPTION
    p.stype = Stype.CONTINUOUS
    assert fields(p) == (["B", "C"], -(2**63), 2**63 - 1, 9, 3, 2)


@pytest.mark.parametrize("name,value,exc,message", [
    ("start_ts", "2024-01-02", TypeError,
     "argument 'start_ts': 'str' object cannot be interpreted as an integer"),
    ("end_ts", 1.5, TypeError, "argument 'end_ts': 'float' object cannot be interpreted as an integer"),
    ("start_ts", 2**63, OverflowError, "int too big to convert"),
    ("symbols", "A", TypeError, "argument 'symbols': Can't extract `str` to `Vec`"),
    ("symbols", ["A", b"B"], TypeError,
     "argument 'symbols': 'bytes' object cannot be converted to 'PyString'"),
    ("schema", Stype.RAW, TypeError, "argument 'schema': 'Stype' object cannot be converted to 'Schema'"),
    ("dataset", None, TypeError,
     "argument 'dataset': 'NoneType' object cannot be converted to 'Dataset'"),
    ("stype", "Raw", TypeError, "argument 'stype': 'str' object cannot be converted to 'Stype'"),
])
def test_failed_assignment_keeps_the_old_value(name, value, exc, message):
    p = make()
    before = fields(p)
    raises(exc, message, setattr, p, name, value)
    assert fields(p) == before


@pytest.mark.parametrize("name", ["symbols", "start_ts", "end_ts", "schema", "dataset", "stype"])
def test_delete_attribute(name):
    p = make()
    raises(AttributeError, "can't delete attribute", delattr, p, name)
    assert fields(p) == fields(make())


# --- JSON writing --------------------------------------------------------------------------------

ESCAPES = [
    ('a"b', '"a\\"b"'),
    ("a\\b", '"a\\\\b"'),
    ("\b\f\n\r\t", '"\\b\\f\\n\\r\\t"'),
    ("\x00\x01\x0b\x1b\x1f", '"\\u0000\\u0001\\u000b\\u001b\\u001f"'),
    ("/", '"/"'),
    ("\x7f", '"\x7f"'),
    ("é€😀\u2028\x85", '"é€😀\u2028\x85"'),
    ("", '""'),
]


@pytest.mark.parametrize("symbol,written", ESCAPES)
def test_json_escaping_both_ways(symbol, written):
    p = make(symbols=[symbol, "x"])
    assert p.to_json() == EXAMPLE_JSON.replace('["AAA"]', f'[{written},"x"]')
    assert RetrieveParams.from_json(p.to_json()).symbols == [symbol, "x"]


def test_json_numbers_and_empty_list():
    p = make(symbols=[])
    p.start_ts, p.end_ts = -(2**63), 0
    assert p.to_json() == ('{"symbols":[],"start_ts":-9223372036854775808,"end_ts":0,'
                           '"schema":"Mbp1","dataset":"Futures","stype":"Raw"}')


@pytest.mark.parametrize("schema,dataset,stype", list(itertools.product(
    [getattr(Schema, n) for n in ("MBP1", "OHLCV1_S", "OHLCV1_M", "OHLCV1_H", "OHLCV1_D",
                                  "TRADES", "TBBO", "BBO1_S", "BBO1_M")],
    [Dataset.FUTURES, Dataset.EQUITIES, Dataset.OPTION],
    [Stype.RAW, Stype.CONTINUOUS])))
def test_round_trip_every_combination(schema, dataset, stype):
    p = make(symbols=["A", 'q"\n'], schema=schema, dataset=dataset, stype=stype)
    text = p.to_json()
    assert (f'"schema":"{schema.to_json()}","dataset":"{dataset.to_json()}",'
            f'"stype":"{stype.to_json()}"}}') in text
    q = RetrieveParams.from_json(text)
    assert fields(q) == fields(p)
    assert q.to_json() == text


# --- JSON reading --------------------------------------------------------------------------------


@pytest.mark.parametrize("text,want", [
    (BASE, (["A"], 1, 2, 1, 1, 1)),
    ('{"stype":"Continuous","dataset":"Option","schema":"Bbo1M","end_ts":-2,"start_ts":-1,'
     '"symbols":[]}', ([], -1, -2, 9, 3, 2)),
    ('{"limit":5,"symbols":["A"],"x":{"y":[1,2.5e3,null,true,"s"]},"start_ts":1,"end_ts":2,'
     '"schema":"Mbp1","dataset":"Futures","stype":"Raw","Schema":"nope"}', (["A"], 1, 2, 1, 1, 1)),
    ('[["A"],1,2,"Mbp1","Futures","Raw"]', (["A"], 1, 2, 1, 1, 1)),
    ('[[],-9223372036854775808,9223372036854775807,{"Tbbo":null},{"Equities":null},'
     '{"Continuous":null}]', ([], -(2**63), 2**63 - 1, 7, 2, 2)),
    (' \t\r\n[["\\u00e9\\/\\ud83d\\ude00",""],-0,0,"Ohlcv1S","Futures","Raw"]\n ',
     (["é/😀", ""], 0, 0, 2, 1, 1)),
])
def test_from_json_accepts(text, want):
    assert fields(RetrieveParams.from_json(text)) == want
    assert fields(RetrieveParams.from_json(json_str=text)) == want


SCHEMAS = "`Mbp1`, `Ohlcv1S`, `Ohlcv1M`, `Ohlcv1H`, `Ohlcv1D`, `Trades`, `Tbbo`, `Bbo1S`, `Bbo1M`"
LEN = "expected struct RetrieveParams with 6 elements"
NO_STYPE = BASE.replace(',"stype":"Raw"', "")

READ_ERRORS = [
    # whole value
    ("", "EOF while parsing a value at line 1 column 1"),
    ("5", "invalid type: integer `5`, expected struct RetrieveParams at line 1 column 1"),
    (' "x"', 'invalid type: string "x", expected struct RetrieveParams at line 1 column 2'),
    ("null", "invalid type: null, expected struct RetrieveParams at line 1 column 1"),
    ("true", "invalid type: boolean `true`, expected struct RetrieveParams at line 1 column 1"),
    ("-1.5", "invalid type: floating point `-1.5`, expected struct RetrieveParams at line 1 column 1"),
    (BASE + " x", "trailing characters at line 1 column 93"),
    (BASE + BASE, "trailing characters at line 1 column 92"),
    ("\u00a0" + BASE, "expected value at line 1 column 1"),
    # object form
    ("{}", "missing field `symbols` at line 1 column 1"),
    ('  {"symbols":[]}', "missing field `start_ts` at line 1 column 3"),
    (NO_STYPE, "missing field `stype` at line 1 column 1"),
    (BASE.replace('"symbols"', '"Symbols"'), "missing field `symbols` at line 1 column 1"),
    ('{"symbols":[],"symbols":[]}', "duplicate field `symbols` at line 1 column 15"),
    ('{"start_ts":1, "start_ts":2}', "duplicate field `start_ts` at line 1 column 16"),
    ('{"symbols":"A"}', 'invalid type: string "A", expected a sequence at line 1 column 12'),
    ('{"symbols":{}}', "invalid type: map, expected a sequence at line 1 column 12"),
    ('{"symbols":[1]}', "invalid type: integer `1`, expected a string at line 1 column 13"),
    ('{"symbols":["a",null]}', "invalid type: null, expected a string at line 1 column 17"),
    ('{"symbols":["a" "b"]}', "expected `,` or `]` at line 1 column 17"),
    ('{"symbols":["a",]}', "trailing comma at line 1 column 17"),
    ('{"start_ts":1.5}', "invalid type: floating point `1.5`, expected i64 at line 1 column 13"),
    ('{"start_ts":1e3}', "invalid type: floating point `1e3`, expected i64 at line 1 column 13"),
    ('{"end_ts":"1"}', 'invalid type: string "1", expected i64 at line 1 column 11'),
    ('{"end_ts":false}', "invalid type: boolean `false`, expected i64 at line 1 column 11"),
    ('{"end_ts":[1]}', "invalid type: sequence, expected i64 at line 1 column 11"),
    ('{"start_ts":9223372036854775808}',
     "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 13"),
    ('{"start_ts":-9223372036854775809}',
     "invalid value: integer `-9223372036854775809`, expected i64 at line 1 column 13"),
    ('{"start_ts":18446744073709551616}',
     "invalid value: integer `18446744073709551616`, expected i64 at line 1 column 13"),
    ('{"start_ts":01}', "invalid number at line 1 column 14"),
    ('{"start_ts":-}', "invalid number at line 1 column 14"),
    ('{"schema":"mbp-1"}',
     f"unknown variant `mbp-1`, expected one of {SCHEMAS} at line 1 column 11"),
    ('{"schema":"MBP1"}', f"unknown variant `MBP1`, expected one of {SCHEMAS} at line 1 column 11"),
    ('{"dataset":"futures"}',
     "unknown variant `futures`, expected one of `Futures`, `Equities`, `Option` at line 1 column 12"),
    ('{"stype":"raw"}', "unknown variant `raw`, expected `Raw` or `Continuous` at line 1 column 10"),
    ('{"stype":""}', "unknown variant ``, expected `Raw` or `Continuous` at line 1 column 10"),
    ('{"stype":5}', "invalid type: integer `5`, expected enum Stype at line 1 column 10"),
    ('{"schema":["Mbp1"]}', "invalid type: sequence, expected enum Schema at line 1 column 11"),
    ('{"dataset":null}', "invalid type: null, expected enum Dataset at line 1 column 12"),
    ('{"stype":{"raw":null}}',
     "unknown variant `raw`, expected `Raw` or `Continuous` at line 1 column 11"),
    ('{"stype":{"Raw":1}}', "invalid type: integer `1`, expected null at line 1 column 17"),
    ('{"stype":{"Raw":{}}}', "invalid type: map, expected null at line 1 column 17"),
    ('{"stype":{}}', "invalid length 0, expected map with a single key at line 1 column 10"),
    ('{"stype":{"Raw":null,"Continuous":null}}',
     "invalid length 2, expected map with a single key at line 1 column 10"),
    ('{"stype":{"Raw":null', "EOF while parsing an object at line 1 column 21"),
    ('{"stype":{"Raw" null}}', "expected `:` at line 1 column 17"),
    # unknown keys: skipped, but their values must be valid
    ('{"limit":[1,}', "expected value at line 1 column 13"),
    ('{"limit":tru', "EOF while parsing a value at line 1 column 13"),
    ('{"limit":"a\\qb"}', "invalid escape at line 1 column 13"),
    ('{"limit"', "EOF while parsing an object at line 1 column 9"),
    # array form
    ("[]", f"invalid length 0, {LEN} at line 1 column 1"),
    ('[["A"],1,2,"Mbp1","Futures"]', f"invalid length 5, {LEN} at line 1 column 1"),
    ('[["A"],1,2,"Mbp1","Futures","Raw",7]', f"invalid length 7, {LEN} at line 1 column 1"),
    ('[["A"],1,2,"Mbp1","Futures","Raw",7,[]]', f"invalid length 8, {LEN} at line 1 column 1"),
    ('[["A"],1,2,"Mbp1","Futures","Raw",]', "trailing comma at line 1 column 35"),
    ('[["A"],1,2,"Mbp1","Futures","Raw"', "EOF while parsing a list at line 1 column 34"),
    ('[["A"],1,2,"Mbp1","Futures",', "EOF while parsing a value at line 1 column 29"),
    ('[["A"],"1",2,"Mbp1","Futures","Raw"]', 'invalid type: string "1", expected i64 at line 1 column 8'),
    ('[["A"],1,2,"Futures","Futures","Raw"]',
     f"unknown variant `Futures`, expected one of {SCHEMAS} at line 1 column 12"),
    # strings
    ('["\\ud800"]', "lone leading surrogate in hex escape at line 1 column 9"),
    ('[["\\udc00x"]]', "lone trailing surrogate in hex escape at line 1 column 4"),
    ('[["\\ud83dx"]]', "lone leading surrogate in hex escape at line 1 column 10"),
    ('[["a\nb"]]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 5"),
    ('[["a', "EOF while parsing a string at line 1 column 5"),
    # positions: lines count line feeds, columns count characters
    ('{\n  "symbols": ["é"],\n  "start_ts": 1.5\n}',
     "invalid type: floating point `1.5`, expected i64 at line 3 column 15"),
    ('{"symbols":["é😀"],"start_ts":x}', "expected value at line 1 column 30"),
    ('{"symbols":["a"],\r\n"stype":"RAW"}',
     "unknown variant `RAW`, expected `Raw` or `Continuous` at line 2 column 9"),
    ("[" * 100000, "invalid type: sequence, expected a string at line 1 column 3"),
    ('{"limit":' + "[" * 100000, "recursion limit exceeded at line 1 column 137"),
    ('{"limit":' + '{"a":' * 100000, "recursion limit exceeded at line 1 column 645"),
]


@pytest.mark.parametrize("text,message", READ_ERRORS)
def test_from_json_errors(text, message):
    raises(ValueError, PREFIX + message, RetrieveParams.from_json, text)


def test_from_json_found_text_escapes_strings():
    raises(ValueError, PREFIX + 'invalid type: string "a\\"\\n\\u{1}é", expected i64 at line 1 column 13',
           RetrieveParams.from_json, '{"start_ts":"a\\"\\n\\u0001é"}')


def test_from_json_argument():
    raises(TypeError, "argument 'json_str': 'bytes' object cannot be converted to 'PyString'",
           RetrieveParams.from_json, BASE.encode())
    raises(TypeError, "RetrieveParams.from_json() missing 1 required positional argument: 'json_str'",
           RetrieveParams.from_json)
    with pytest.raises(UnicodeEncodeError):
        RetrieveParams.from_json('["\ud800"]')


def test_very_long_input():
    symbols = [f"S{i}" for i in range(100000)]
    p = make(symbols=symbols)
    assert RetrieveParams.from_json(p.to_json()).symbols == symbols
    big = "x" * (1 << 22)
    assert RetrieveParams.from_json(make(symbols=[big]).to_json()).symbols == [big]


# --- debug text ----------------------------------------------------------------------------------


def test_debug_text_example():
    p = make(symbols=[])
    assert str(p) == ("RetrieveParams { symbols: [], start_ts: 1704153600000000000, end_ts: "
                      "1704240000000000000, schema: Mbp1, dataset: Futures, stype: Raw }")
    p.symbols = ["A", "B"]
    p.start_ts = -5
    p.schema, p.dataset, p.stype = Schema.OHLCV1_D, Dataset.EQUITIES, Stype.CONTINUOUS
    assert str(p) == ('RetrieveParams { symbols: ["A", "B"], start_ts: -5, end_ts: '
                      "1704240000000000000, schema: Ohlcv1D, dataset: Equities, stype: Continuous }")


@pytest.mark.parametrize("symbol,shown", [
    ('a"b', '"a\\"b"'),
    ("a\\b", '"a\\\\b"'),
    ("\x00\t\n\r", '"\\0\\t\\n\\r"'),
    ("\x01\x08\x0b\x0c\x1b\x1f", '"\\u{1}\\u{8}\\u{b}\\u{c}\\u{1b}\\u{1f}"'),
    ("\x7f\x80\x85\x9f", '"\\u{7f}\\u{80}\\u{85}\\u{9f}"'),
    ("'/ é€😀\xa0", "\"'/ é€😀\xa0\""),
])
def test_debug_text_escaping(symbol, shown):
    assert str(make(symbols=[symbol])).startswith(f"RetrieveParams {{ symbols: [{shown}], ")


# --- resources -----------------------------------------------------------------------------------


def test_no_leaks():
    text = make(symbols=["A", "B"]).to_json()

    def work():
        p = make(symbols=["A", "B"])
        p.symbols = ["C"] * 3
        p.start_ts = 5
        p.schema = Schema.TBBO
        p.symbols, p.schema, p.stype, p.start_ts  # noqa: B018
        str(p)
        RetrieveParams.from_json(p.to_json())
        RetrieveParams.from_json(text)
        for bad in ('{"start_ts":"x"}', '{"symbols":["a","b",', "[" * 200, '{"stype":"raw"}'):
            try:
                RetrieveParams.from_json(bad)
            except ValueError:
                pass
        try:
            make(start="2024-13-01")
        except OSError:
            pass
        try:
            p.symbols = ["A", 1]
        except TypeError:
            pass
        p.extra = p  # a cycle through the instance dict

    assert_no_leak(work, iterations=5000)
