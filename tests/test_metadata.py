"""SymbolMap, Metadata and PyMetadataEncoder: bytes, decoding failures, copies, text forms."""

import struct

import pytest

from orx import Dataset, Metadata, PyMetadataEncoder, Schema, SymbolMap

from helpers import assert_no_leak, must_raise, raises

SCHEMAS = [
    (Schema.MBP1, 1, "Mbp1"), (Schema.OHLCV1_S, 2, "Ohlcv1S"), (Schema.OHLCV1_M, 3, "Ohlcv1M"),
    (Schema.OHLCV1_H, 4, "Ohlcv1H"), (Schema.OHLCV1_D, 5, "Ohlcv1D"), (Schema.TRADES, 6, "Trades"),
    (Schema.TBBO, 7, "Tbbo"), (Schema.BBO1_S, 8, "Bbo1S"), (Schema.BBO1_M, 9, "Bbo1M"),
]
DATASETS = [(Dataset.FUTURES, 1, "Futures"), (Dataset.EQUITIES, 2, "Equities"),
            (Dataset.OPTION, 3, "Option")]


def head(schema=1, dataset=1, start=0, end=0):
    return struct.pack("<BBQQ", schema, dataset, start, end)


def entry(iid, ticker):
    raw = ticker.encode() if isinstance(ticker, str) else ticker
    return struct.pack("<II", iid, len(raw)) + raw


def framed(body):
    return struct.pack("<H", len(body)) + body


def parse_block(data):
    """The framed block's fields and entries, read by hand."""
    (m,) = struct.unpack_from("<H", data)
    schema, dataset, start, end, count = struct.unpack_from("<BBQQI", data, 2)
    pos, entries = 24, {}
    for _ in range(count):
        iid, n = struct.unpack_from("<II", data, pos)
        entries[iid] = data[pos + 8:pos + 8 + n].decode()
        pos += 8 + n
    assert pos == 2 + m == len(data)
    return schema, dataset, start, end, entries


def meta(mappings=None, schema=Schema.MBP1, dataset=Dataset.FUTURES, start=1, end=2):
    return Metadata(schema, dataset, start, end, SymbolMap(mappings or {}))


def encoder_output(m):
    enc = PyMetadataEncoder()
    enc.encode_metadata(m)
    return enc.get_encoded_data()


# --- bytes ------------------------------------------------------------------------------------

@pytest.mark.parametrize("schema,scode,_s", SCHEMAS)
@pytest.mark.parametrize("dataset,dcode,_d", DATASETS)
def test_empty_map_block(schema, scode, _s, dataset, dcode, _d):
    m = Metadata(schema, dataset, 2**64 - 1, 0x0102030405060708, SymbolMap({}))
    expected = b"\x16\x00" + head(scode, dcode, 2**64 - 1, 0x0102030405060708) + b"\0\0\0\0"
    assert len(expected) == 24
    assert m.encode() == bytes(m) == encoder_output(m) == expected


@pytest.mark.parametrize("iid,ticker", [
    (7, "ESZ4"), (0, ""), (2**32 - 1, "MAX"), (5, "café"), (6, "日本🙂"), (8, "a\x00b"),
])
def test_one_entry_block(iid, ticker):
    m = meta({iid: ticker}, start=10, end=20)
    expected = framed(head(1, 1, 10, 20) + struct.pack("<I", 1) + entry(iid, ticker))
    assert m.encode() == bytes(m) == encoder_output(m) == expected


def test_many_entries_in_any_order():
    symbols = {i * 7919: f"T{i}" for i in range(200)}
    data = meta(symbols, Schema.BBO1_M, Dataset.OPTION, 3, 4).encode()
    assert parse_block(data) == (9, 3, 3, 4, symbols)


@pytest.mark.parametrize("ids", [
    [2**32 - 1, 0, 5, 1, 2**31],                 # across the sign bit of a 32-bit id
    [i * 7919 % 65521 for i in range(300)],      # enough entries to rehash the map
    list(range(100, 0, -1)),
])
def test_entries_in_ascending_id_order_whatever_the_insertion_order(ids):
    forward = {i: f"T{i}" for i in ids}
    backward = {i: f"T{i}" for i in reversed(ids)}
    data = meta(forward).encode()
    assert meta(backward).encode() == data
    grown = SymbolMap({})
    for i in ids:
        grown.map = {**grown.map, i: f"T{i}"}
    assert meta(grown.map).encode() == data
    body = b"".join(entry(i, f"T{i}") for i in sorted(set(ids)))
    assert data == framed(head(1, 1, 1, 2) + struct.pack("<I", len(set(ids))) + body)


# --- decode -----------------------------------------------------------------------------------

INSUFFICIENT = "Insufficient data to deserialize metadata"
BAD_SCHEMA = "Invalid schema value"
BAD_MAP = "Failed to deserialize symbol mappings"
EOF = "failed to fill whole buffer"

DECODE_FAILURES = [
    ("empty", b"", EOF),
    ("prefix only", b"\x16\x00", EOF),
    ("body one byte short", b"\x16\x00" + head() + b"\0\0\0", EOF),
    ("empty body", b"\x00\x00", INSUFFICIENT),
    ("18-byte body", framed(head()), BAD_MAP),
    ("schema 0", framed(head(schema=0) + b"\0" * 4), BAD_SCHEMA),
    ("dataset 4", framed(head(dataset=4) + b"\0" * 4), BAD_SCHEMA),
    ("count past the entries", framed(head() + struct.pack("<I", 2) + entry(1, "A")), BAD_MAP),
    ("ticker cut short", framed(head() + struct.pack("<III", 1, 1, 9) + b"ABC"), BAD_MAP),
    ("huge count", framed(head() + struct.pack("<I", 2**32 - 1)), BAD_MAP),
    ("invalid UTF-8", framed(head() + struct.pack("<I", 1) + entry(1, b"\xff")), BAD_MAP),
]


@pytest.mark.parametrize("data,message", [r[1:] for r in DECODE_FAILURES],
                         ids=[r[0] for r in DECODE_FAILURES])
def test_decode_failures(data, message):
    raises(OSError, message, Metadata.decode, data)


def test_decode_reads_one_block_and_ignores_the_rest():
    body = head(6, 2, 5, 6) + struct.pack("<I", 3) + entry(1, "A") + entry(2, "") + entry(1, "Z")
    records = struct.pack("<BB", 6, 1) + b"\0" * 22
    m = Metadata.decode(framed(body + b"ignored") + records)
    assert type(m) is Metadata
    assert (m.schema, m.dataset, m.start, m.end) == (Schema.TRADES, Dataset.EQUITIES, 5, 6)
    assert m.mappings.map == {1: "Z", 2: ""}  # the later duplicate wins
    assert type(Metadata.decode(memoryview(framed(body)).tobytes())) is Metadata

    class Raw(bytes):
        pass

    assert Metadata.decode(Raw(framed(body))).end == 6
    assert meta().decode(framed(body)).start == 5  # callable on an instance too


@pytest.mark.parametrize("schema,_c,_s", SCHEMAS)
def test_round_trip(schema, _c, _s):
    m = meta({1: "ES", 2**32 - 1: "日本", 3: ""}, schema, Dataset.OPTION, 0, 2**64 - 1)
    back = Metadata.decode(m.encode())
    assert (back.schema, back.dataset, back.start, back.end) == (schema, Dataset.OPTION, 0,
                                                                 2**64 - 1)
    assert back.mappings == m.mappings
    assert Metadata.decode(encoder_output(m)).mappings == m.mappings


@pytest.mark.parametrize("arg,name", [("x", "str"), (bytearray(b"\0\0"), "bytearray"),
                                      (None, "NoneType"), (memoryview(b"ab"), "memoryview")])
def test_decode_argument(arg, name):
    raises(TypeError, f"argument 'data': '{name}' object cannot be converted to 'PyBytes'",
           Metadata.decode, arg)
    assert Metadata.decode(data=meta().encode()).end == 2


# --- the Metadata class -----------------------------------------------------------------------

SIGNATURES = [
    (SymbolMap, "(map)", "Struct created by Orvex server to map instrument ids to tickers."),
    (Metadata, "(schema, dataset, start, end, mappings)", ""),
    (PyMetadataEncoder, "()", "Python-facing wrapper for RecordEncoder"),
    (SymbolMap.get_ticker, "($self, id)", None),
    (Metadata.encode, "($self)", None),
    (Metadata.__bytes__, "($self)", None),
    (Metadata.decode, "($cls, data)", None),
    (PyMetadataEncoder.encode_metadata, "($self, metadata)", None),
    (PyMetadataEncoder.get_encoded_data, "($self)", "Retrieve the encoded data as bytes"),
]


@pytest.mark.parametrize("obj,signature,doc", SIGNATURES,
                         ids=[getattr(s[0], "__qualname__", "") for s in SIGNATURES])
def test_signatures_and_docs(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


BAD_METADATA_ARGS = [
    ({"schema": 1}, TypeError, "argument 'schema': 'int' object cannot be converted to 'Schema'"),
    ({"schema": Dataset.FUTURES}, TypeError,
     "argument 'schema': 'Dataset' object cannot be converted to 'Schema'"),
    ({"dataset": Schema.MBP1}, TypeError,
     "argument 'dataset': 'Schema' object cannot be converted to 'Dataset'"),
    ({"start": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"end": 2**64}, OverflowError, "int too big to convert"),
    ({"start": "1"}, TypeError,
     "argument 'start': 'str' object cannot be interpreted as an integer"),
    ({"mappings": {1: "A"}}, TypeError,
     "argument 'mappings': 'dict' object cannot be converted to 'SymbolMap'"),
]
GOOD_ARGS = dict(schema=Schema.MBP1, dataset=Dataset.FUTURES, start=1, end=2,
                 mappings=SymbolMap({7: "X"}))


@pytest.mark.parametrize("change,exc,message", BAD_METADATA_ARGS)
def test_metadata_argument_errors(change, exc, message):
    raises(exc, message, Metadata, **{**GOOD_ARGS, **change})
    m = Metadata(**GOOD_ARGS)
    ((field, value),) = change.items()
    before = getattr(m, field)
    raises(exc, message, setattr, m, field, value)
    after = getattr(m, field)
    assert after == before if field != "mappings" else after.map == before.map


def test_metadata_binding_errors():
    raises(TypeError, "Metadata.__new__() missing 1 required positional argument: 'mappings'",
           Metadata, Schema.MBP1, Dataset.FUTURES, 1, 2)
    raises(TypeError, "Metadata.__new__() takes 5 positional arguments but 6 were given",
           Metadata, *GOOD_ARGS.values(), 6)
    raises(TypeError, "PyMetadataEncoder.__new__() takes 0 positional arguments but 1 was given",
           PyMetadataEncoder, 1)
    raises(TypeError, "SymbolMap.get_ticker() missing 1 required positional argument: 'id'",
           SymbolMap({}).get_ticker)


def test_metadata_attributes_are_copies():
    symbols = SymbolMap({7: "X"})
    m = Metadata(Schema.TRADES, Dataset.OPTION, 3, 4, symbols)
    symbols.map = {1: "changed"}  # the constructor copied it
    assert m.mappings.map == {7: "X"}
    got = m.mappings
    assert got is not m.mappings and got == m.mappings
    got.map = {8: "Y"}  # changes only the copy
    assert m.mappings.map == {7: "X"}
    m.mappings = got  # assigning replaces
    assert m.mappings.map == {8: "Y"}
    got.map = {9: "Z"}
    assert m.mappings.map == {8: "Y"}
    assert m.schema == Schema.TRADES and m.schema is not m.schema
    m.schema, m.dataset, m.start, m.end = Schema.BBO1_S, Dataset.FUTURES, 0, 2**64 - 1
    assert (m.schema, m.dataset, m.start, m.end) == (Schema.BBO1_S, Dataset.FUTURES, 0, 2**64 - 1)
    m.extra = "kept"  # instances have a __dict__
    assert m.extra == "kept"


@pytest.mark.parametrize("field", ["schema", "dataset", "start", "end", "mappings"])
def test_metadata_attributes_cannot_be_deleted(field):
    m = meta({1: "A"})
    before = str(m)
    raises(AttributeError, "can't delete attribute", delattr, m, field)
    assert str(m) == before


def test_metadata_has_no_equality_of_its_own():
    a, b = meta(), meta()
    assert a != b and a == a
    with pytest.raises(TypeError):
        a < b  # noqa: B015


@pytest.mark.parametrize("schema,_c,sname", SCHEMAS)
@pytest.mark.parametrize("dataset,_d,dname", DATASETS)
def test_metadata_str(schema, _c, sname, dataset, _d, dname):
    m = Metadata(schema, dataset, 0, 2**64 - 1, SymbolMap({7: "X"}))
    assert str(m) == (f"Metadata {{ schema: {sname}, dataset: {dname}, start: 0, "
                      f"end: 18446744073709551615, mappings: SymbolMap {{ map: {{7: \"X\"}} }} }}")


@pytest.mark.parametrize("ticker,shown", [
    ("a\tb\r\n", r'"a\tb\r\n"'), ("\0\\\"'", r'"\0\\\"' + "'\""),
    ("\x7f\u200b", r'"\u{7f}\u{200b}"'),
    ("café日本🙂", '"café日本🙂"'),
])
def test_metadata_str_escapes_tickers(ticker, shown):
    m = meta({5: ticker})
    assert str(m).endswith(f"{{5: {shown}}} }} }}")
    two = str(meta({1: ticker, 2: "B"}))  # entries in map order
    assert two.endswith((f'{{1: {shown}, 2: "B"}} }} }}', f'{{2: "B", 1: {shown}}} }} }}'))


# --- the SymbolMap class ----------------------------------------------------------------------

BAD_MAPS = [
    ([(1, "A")], TypeError, "argument 'map': 'list' object cannot be converted to 'PyDict'"),
    (None, TypeError, "argument 'map': 'NoneType' object cannot be converted to 'PyDict'"),
    ({-1: "A"}, OverflowError, "out of range integral type conversion attempted"),
    ({2**32: "A"}, OverflowError, "out of range integral type conversion attempted"),
    ({"1": "A"}, TypeError, "argument 'map': 'str' object cannot be interpreted as an integer"),
    ({1: 2}, TypeError, "argument 'map': 'int' object cannot be converted to 'PyString'"),
    ({1: b"A"}, TypeError, "argument 'map': 'bytes' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("value,exc,message", BAD_MAPS)
def test_symbol_map_argument_errors(value, exc, message):
    raises(exc, message, SymbolMap, value)
    s = SymbolMap({1: "keep"})
    raises(exc, message, setattr, s, "map", value)
    assert s.map == {1: "keep"}


def test_symbol_map_unencodable_text():
    with pytest.raises(UnicodeEncodeError):
        SymbolMap({1: "\ud800"})


def test_symbol_map_map_is_copied():
    source = {1: "A"}
    s = SymbolMap(source)
    source[2] = "B"
    got = s.map
    got[3] = "C"
    assert s.map == {1: "A"}
    s.map = {0: "", 2**32 - 1: "MAX"}
    assert s.map == {0: "", 2**32 - 1: "MAX"}
    raises(AttributeError, "can't delete attribute", delattr, s, "map")
    assert s.map == {0: "", 2**32 - 1: "MAX"}
    s.note = 1
    assert s.note == 1


def test_get_ticker():
    s = SymbolMap({7: "X", 2**32 - 1: "MAX", 0: ""})
    assert (s.get_ticker(7), s.get_ticker(id=2**32 - 1), s.get_ticker(0)) == ("X", "MAX", "")
    with pytest.raises(KeyError) as info:
        s.get_ticker(8)
    assert type(info.value) is KeyError and info.value.args == (8,)
    raises(OverflowError, "out of range integral type conversion attempted", s.get_ticker, -1)
    raises(OverflowError, "out of range integral type conversion attempted", s.get_ticker, 2**32)
    raises(TypeError, "argument 'id': 'str' object cannot be interpreted as an integer",
           s.get_ticker, "7")


@pytest.mark.parametrize("a,b,eq", [
    (SymbolMap({1: "A"}), SymbolMap({1: "A"}), True),
    (SymbolMap({}), SymbolMap({}), True),
    (SymbolMap({1: "A", 2: "B"}), SymbolMap({2: "B", 1: "A"}), True),
    (SymbolMap({1: "A"}), SymbolMap({1: "B"}), False),
    (SymbolMap({1: "A"}), SymbolMap({2: "A"}), False),
    (SymbolMap({1: "A"}), SymbolMap({1: "A", 2: "B"}), False),
    (SymbolMap({}), {}, False),
    (SymbolMap({1: "A"}), {1: "A"}, False),
    (SymbolMap({}), None, False),
])
def test_symbol_map_equality(a, b, eq):
    assert (a == b) is eq and (b == a) is eq
    assert (a != b) is (not eq) and (b != a) is (not eq)


def test_symbol_map_has_no_ordering():
    with pytest.raises(TypeError):
        SymbolMap({}) < SymbolMap({})  # noqa: B015


@pytest.mark.parametrize("mapping,text", [
    ({}, "{}"), ({7: "X"}, '{7: "X"}'), ({0: ""}, '{0: ""}'), ({1: 'a"b\n'}, '{1: "a"b\n"}'),
    ({2**32 - 1: "日本"}, '{4294967295: "日本"}'),
])
def test_symbol_map_str(mapping, text):
    assert str(SymbolMap(mapping)) == text
    assert str(SymbolMap({1: "A", 2: "B"})) in ('{1: "A", 2: "B"}', '{2: "B", 1: "A"}')


# --- the encoder ------------------------------------------------------------------------------

def test_encoder_keeps_only_its_last_output():
    enc = PyMetadataEncoder()
    assert enc.get_encoded_data() == b""
    enc.encode_metadata(meta({1: "A"}))
    enc.encode_metadata(metadata=meta())
    last = enc.get_encoded_data()
    assert last == meta().encode() and len(last) == 24
    assert enc.get_encoded_data() == last  # reading leaves the buffer


def test_encoder_failures_keep_the_previous_output():
    enc = PyMetadataEncoder()
    enc.encode_metadata(meta())
    previous = enc.get_encoded_data()
    raises(TypeError, "argument 'metadata': 'NoneType' object cannot be converted to 'Metadata'",
           enc.encode_metadata, None)
    raises(TypeError, "argument 'metadata': 'SymbolMap' object cannot be converted to 'Metadata'",
           enc.encode_metadata, SymbolMap({}))
    too_long = meta({1: "x" * 65506})
    message = ("Failed to encode record: Encoding error: metadata body of 65536 bytes exceeds "
               "the limit of 65535 bytes")
    raises(OSError, message, enc.encode_metadata, too_long)
    assert enc.get_encoded_data() == previous
    raises(OSError, message, too_long.encode)
    raises(OSError, message, bytes, too_long)
    with pytest.raises(AttributeError):
        enc.extra = 1


def test_largest_metadata_body():
    m = meta({1: "x" * 65505})
    data = m.encode()
    assert len(data) == 65537 and data[:2] == b"\xff\xff"
    assert encoder_output(m) == data
    assert Metadata.decode(data).mappings == m.mappings


# --- resources --------------------------------------------------------------------------------

def _churn():
    s = SymbolMap({1: "A", 2: "日本"})
    m = Metadata(Schema.MBP1, Dataset.FUTURES, 1, 2, s)
    m.mappings = s
    data = bytes(m)
    Metadata.decode(data).mappings.map
    str(m), str(s), s == m.mappings, s != s
    enc = PyMetadataEncoder()
    enc.encode_metadata(m)
    enc.get_encoded_data()
    for bad in (b"\x00\x00", b"\x01"):
        must_raise(OSError, Metadata.decode, bad)
    must_raise(KeyError, s.get_ticker, 99)
    must_raise(TypeError, SymbolMap, {1: 2})


def test_no_leaks():
    assert_no_leak(_churn, iterations=5000)
