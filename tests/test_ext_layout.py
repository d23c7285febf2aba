"""The second module's record layouts against the records' own bytes."""

import struct

import pytest

from orx import PyRecordEncoder, _ext

from records_util import bbo, mbp1, ohlcv, trade

FORMATS = {(1, False): "B", (1, True): "b", (4, False): "I", (4, True): "i", (8, False): "Q",
           (8, True): "q"}
RECORDS = {1: mbp1, 3: trade, 5: bbo, 2: ohlcv}


def encoded(record):
    enc = PyRecordEncoder()
    enc.encode_records([record])
    return enc.get_encoded_data()


@pytest.mark.parametrize("rtype", sorted(RECORDS))
def test_columns_read_the_fields_they_name(rtype):
    size, columns = _ext.record_layout(rtype)
    record = RECORDS[rtype]()
    fields = record.__dict__()
    assert size == record.hd.length * 4
    assert [c[0] for c in columns] == list(fields)
    # Every column lies inside the layout, and no two columns overlap.
    spans = sorted((off, off + width) for _, off, width, _, _ in columns)
    assert all(a[1] <= b[0] for a, b in zip(spans, spans[1:]))
    assert spans[-1][1] <= size


def test_mbp1_columns_against_struct_bytes():
    record = mbp1(instrument_id=0x01020304, ts_event=2**63 + 5, price=-7, ts_in_delta=-9)
    data = encoded(record)
    values = record.__dict__()
    _, columns = _ext.record_layout(1)
    for name, offset, width, signed, role in columns:
        (got,) = struct.unpack_from("<" + FORMATS[width, signed], data, offset)
        want = values[name]
        assert got == (ord(want) if role == "letter" and isinstance(want, str) else int(want)), name


@pytest.mark.parametrize("rtype, message", [(4, "no record layout for rtype 4"),
                                            (0, "no record layout for rtype 0")])
def test_kinds_without_layout(rtype, message):
    with pytest.raises(ValueError) as info:
        _ext.record_layout(rtype)
    assert str(info.value) == message
