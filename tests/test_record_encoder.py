import struct

import pytest

from orx import BufferStore, Mbp1Msg, PyRecordEncoder, RecordHeader

from helpers import assert_no_leak, raises
from records_util import level, mbp1, trade
from stream_util import MBP1, mbp1_bytes, stream


def encoded(records):
    enc = PyRecordEncoder()
    enc.encode_records(records)
    return enc.get_encoded_data()


def test_surface():
    assert PyRecordEncoder.__text_signature__ == "()"
    assert PyRecordEncoder.__doc__ == "Python-facing wrapper for RecordEncoder"
    assert PyRecordEncoder.encode_records.__text_signature__ == "($self, records)"
    assert PyRecordEncoder.encode_records.__doc__ == "Encodes multiple records"
    assert PyRecordEncoder.get_encoded_data.__text_signature__ == "($self)"
    assert PyRecordEncoder.get_encoded_data.__doc__ == "Retrieve the encoded data as bytes"
    assert PyRecordEncoder().get_encoded_data() == b""
    with pytest.raises(AttributeError):
        PyRecordEncoder().extra = 1
    raises(TypeError, "PyRecordEncoder.__new__() takes 0 positional arguments but 1 was given",
           PyRecordEncoder, [])


def test_mbp1_layout_byte_by_byte():
    m = mbp1(instrument_id=7, ts_event=1, price=1_500_000_000)
    b = encoded([m])
    assert len(b) == 96
    assert b[0:2] == b"\x18\x01" and b[2:4] == b"\x00\x00"
    assert b[4:8] == b"\x07\x00\x00\x00"
    assert b[8:16] == b"\x01" + b"\x00" * 7
    assert b[16] == 0 and b[17:24] == b"\x00" * 7
    assert b[24:32] == bytes([0x00, 0x2F, 0x68, 0x59, 0, 0, 0, 0])
    assert b[32:36] == struct.pack("<I", 10)
    assert (b[36], b[37], b[38], b[39]) == (0x41, 0x42, 0, 0)
    assert b[40:48] == struct.pack("<Q", 2) and b[48:52] == struct.pack("<i", -5)
    assert b[52:56] == struct.pack("<I", 9) and b[56:60] == struct.pack("<I", 3)
    assert b[60:64] == b"\x00" * 4
    assert b[64:96] == struct.pack("<qqIIII", 1, 2, 3, 4, 5, 6)
    assert b == mbp1_bytes()


def test_every_field_lands_at_its_offset():
    m = mbp1(instrument_id=0x01020304, ts_event=2**64 - 1, price=-1, flags=0xF1, depth=0xD1,
             ts_recv=0x1122334455667788, ts_in_delta=-(2**31), sequence=2**32 - 1,
             discriminator=0xABCDEF01, levels=[level(-2, 2**63 - 1, 11, 12, 13, 14)])
    m.hd = m.hd  # the header round-trips unchanged
    h = m.hd
    h.rollover_flag = 0x7E
    m.hd = h
    m.action, m.side, m.size = -128, 127, 0xFFFFFFFF
    assert encoded([m]) == MBP1.pack(24, 1, 0x01020304, 2**64 - 1, 0x7E, -1, 0xFFFFFFFF, -128,
                                     127, 0xD1, 0xF1, 0x1122334455667788, -(2**31), 2**32 - 1,
                                     0xABCDEF01, -2, 2**63 - 1, 11, 12, 13, 14)


def test_three_records_in_order_and_only_the_last_call_kept():
    enc = PyRecordEncoder()
    enc.encode_records([mbp1(price=1), mbp1(price=2)])
    enc.encode_records((mbp1(price=3), mbp1(price=4), mbp1(price=5)))
    out = enc.get_encoded_data()
    assert len(out) == 288
    assert [struct.unpack_from("<q", out, 96 * i + 24)[0] for i in range(3)] == [3, 4, 5]
    # bytes are immutable: the encoded object itself is handed out, with no second copy
    assert enc.get_encoded_data() is out
    enc.encode_records([mbp1(price=6)])  # a fresh object: what was handed out stays as it was
    assert len(out) == 288 and struct.unpack_from("<q", out, 24)[0] == 3
    assert struct.unpack_from("<q", enc.get_encoded_data(), 24)[0] == 6
    enc.encode_records([])
    assert enc.get_encoded_data() == b""


@pytest.mark.parametrize(
    "records,message",
    [
        ("abc", "argument 'records': Can't extract `str` to `Vec`"),
        (mbp1(), "argument 'records': 'Mbp1Msg' object cannot be converted to 'Sequence'"),
        ({1, 2}, "argument 'records': 'set' object cannot be converted to 'Sequence'"),
        (None, "argument 'records': 'NoneType' object cannot be converted to 'Sequence'"),
        ([mbp1(), trade()], "argument 'records': 'TradeMsg' object cannot be converted to 'Mbp1Msg'"),
        ((mbp1(), 1), "argument 'records': 'int' object cannot be converted to 'Mbp1Msg'"),
        (range(2), "argument 'records': 'int' object cannot be converted to 'Mbp1Msg'"),
    ],
)
def test_refusals_keep_the_previous_output(records, message):
    enc = PyRecordEncoder()
    enc.encode_records([mbp1()])
    before = enc.get_encoded_data()
    raises(TypeError, message, enc.encode_records, records)
    assert enc.get_encoded_data() == before


def with_header(m, length=24, rtype=1):
    h = m.hd
    h.length, h.rtype = length, rtype
    m.hd = h
    return m


# Every header the reader would refuse or misread is refused, with nothing written: a length
# other than the layout's 24 words frames the stream wrongly or cuts the record short, another
# rtype reads the bytes as another kind.
@pytest.mark.parametrize(
    "length,rtype,message",
    [(25, 1, "record with length 100 longer than its 96-byte layout"),
     (255, 1, "record with length 1020 longer than its 96-byte layout"),
     (5, 1, "record with length 20 shorter than header"),
     (0, 1, "record with length 0 shorter than header"),
     (6, 1, "record with length 24 shorter than its 96-byte layout"),
     (14, 1, "record with length 56 shorter than its 96-byte layout"),
     (23, 1, "record with length 92 shorter than its 96-byte layout"),
     (24, 0, "record with rtype 0 in a layout of rtype 1"),
     (24, 2, "record with rtype 2 in a layout of rtype 1"),
     (24, 3, "record with rtype 3 in a layout of rtype 1"),
     (24, 4, "record with rtype 4 in a layout of rtype 1"),
     (24, 5, "record with rtype 5 in a layout of rtype 1"),
     (24, 255, "record with rtype 255 in a layout of rtype 1"),
     (16, 2, "record with length 64 shorter than its 96-byte layout")],
)
def test_headers_the_reader_would_not_read_back_are_refused(length, rtype, message):
    enc = PyRecordEncoder()
    enc.encode_records([mbp1()])
    before = enc.get_encoded_data()
    raises(OSError, "Failed to encode record: Encoding error: " + message, enc.encode_records,
           [mbp1(), with_header(mbp1(), length, rtype)])
    assert enc.get_encoded_data() == before


def test_what_is_encoded_decodes_to_the_same_records():
    records = [with_header(mbp1(price=p, instrument_id=p)) for p in (1, 2, 3)]
    store = BufferStore(stream(encoded(records)))
    assert [(r.price, r.instrument_id) for r in store.decode_to_array()] == [(1, 1), (2, 2), (3, 3)]


def test_other_sequences_are_copied_as_they_are_read():
    first, second = mbp1(price=1), mbp1(price=2)

    class Seq:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 1:
                first.price = 99  # changes an item already taken
                return second
            if i > 1:
                raise IndexError
            return first

    out = encoded(Seq())
    assert struct.unpack_from("<q", out, 24)[0] == 1
    assert struct.unpack_from("<q", out, 96 + 24)[0] == 2


def test_reentrant_use_of_the_encoder_is_refused():
    enc = PyRecordEncoder()
    seen = []

    class Seq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            try:
                enc.get_encoded_data()
            except RuntimeError as e:
                seen.append(str(e))
            return mbp1()

    enc.encode_records(Seq())
    assert seen == ["Already mutably borrowed"]
    assert len(enc.get_encoded_data()) == 96


def test_no_leaks():
    enc = PyRecordEncoder()
    records = [mbp1() for _ in range(5)]

    def work():
        enc.encode_records(records)
        enc.encode_records(tuple(records))
        enc.get_encoded_data()
        try:
            enc.encode_records([1])
        except TypeError:
            pass

    assert_no_leak(work)
