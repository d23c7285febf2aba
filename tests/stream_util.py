"""Building record streams by hand for the encoder and buffer tests."""

import struct

# The record layouts, field by field, as the stream carries them.
HEADER = "<BBxxIQB7x"
MBP1 = struct.Struct(HEADER + "qIbbBBQiII4xqqIIII")
TRADE = struct.Struct(HEADER + "qIbbBBQiI")
BBO = struct.Struct(HEADER + "qIbB2xQI4xqqIIII")
OHLCV = struct.Struct(HEADER + "qqqqQ")
assert (MBP1.size, TRADE.size, BBO.size, OHLCV.size) == (96, 56, 88, 64)


def metadata_body(schema=1, dataset=1, start=0, end=0, symbols=()):
    body = struct.pack("<BBQQI", schema, dataset, start, end, len(symbols))
    for iid, ticker in symbols:
        raw = ticker.encode()
        body += struct.pack("<II", iid, len(raw)) + raw
    return body


def stream(*records, symbols=((7, "ESZ6"),), schema=1):
    body = metadata_body(schema=schema, symbols=symbols)
    return struct.pack("<H", len(body)) + body + b"".join(records)


def mbp1_bytes(iid=7, ts=1, price=1_500_000_000, action=65, side=66, length=24, rtype=1, **kw):
    v = dict(size=10, flags=0, depth=0, ts_recv=2, ts_in_delta=-5, sequence=9, discriminator=3,
             level=(1, 2, 3, 4, 5, 6))
    v.update(kw)
    return MBP1.pack(length, rtype, iid, ts, 0, price, v["size"], action, side, v["depth"],
                     v["flags"], v["ts_recv"], v["ts_in_delta"], v["sequence"],
                     v["discriminator"], *v["level"])


def trade_bytes(iid=7, ts=1, price=1_500_000_000, action=65, side=66):
    return TRADE.pack(14, 3, iid, ts, 0, price, 10, action, side, 0, 0, 2, -5, 9)


def bbo_bytes(iid=7, ts=1, price=4, side=65, flags=6):
    return BBO.pack(22, 5, iid, ts, 3, price, 5, side, flags, 7, 8, 1, 2, 3, 4, 5, 6)


def ohlcv_bytes(iid=7, ts=1, o=1_500_000_000, h=2, l=3, c=4, volume=5):
    return OHLCV.pack(16, 2, iid, ts, 0, o, h, l, c, volume)
