"""1,000,000 MBP-1 records through the stream road: encode_records, BufferStore(...),
decode_to_array, replay in a loop and decode_to_df, each against a baseline measured in the
same run: a pure-Python codec on the struct module, and numpy.frombuffer with a structured
dtype followed by pandas.DataFrame."""

import random
import struct
import sys

import numpy as np
import pandas as pd

from common import interleaved, report

import orx
from orx import (Action, BidAskPair, BufferStore, Dataset, Mbp1Msg, Metadata, PyMetadataEncoder,
                 PyRecordEncoder, Schema, Side, SymbolMap)

N = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 5

# The MBP-1 layout: header, body, one level (96 bytes).
MBP1 = struct.Struct("<BBxxIQB7x q I b b B B Q i I I 4x q q I I I I")
assert MBP1.size == 96
DTYPE = np.dtype({
    "names": ["length", "rtype", "instrument_id", "ts_event", "rollover_flag", "price", "size",
              "action", "side", "depth", "flags", "ts_recv", "ts_in_delta", "sequence",
              "discriminator", "bid_px", "ask_px", "bid_sz", "ask_sz", "bid_ct", "ask_ct"],
    "formats": ["u1", "u1", "<u4", "<u8", "u1", "<i8", "<u4", "i1", "i1", "u1", "u1", "<u8",
                "<i4", "<u4", "<u4", "<i8", "<i8", "<u4", "<u4", "<u4", "<u4"],
    "offsets": [0, 1, 4, 8, 16, 24, 32, 36, 37, 38, 39, 40, 48, 52, 56, 64, 72, 80, 84, 88, 92],
    "itemsize": 96,
})


def make_values(n):
    rng = random.Random(7)
    t0 = 1_704_187_800_000_000_000
    price = 4_500_000_000_000
    rows = []
    for i in range(n):
        price += rng.choice((-250_000_000, 0, 250_000_000))
        rows.append((24, 1, 1 + i % 5, t0 + i * 1_000_000, 0, price, rng.randint(1, 50),
                     rng.choice(b"AMCT"), rng.choice(b"AB"), 0, 0, t0 + i * 1_000_000 + 500,
                     -500, i, 0, price - 250_000_000, price + 250_000_000, 10, 12, 1, 2))
    return rows


def to_records(rows):
    out = []
    for r in rows:
        lv = BidAskPair(r[15], r[16], r[17], r[18], r[19], r[20])
        out.append(Mbp1Msg(r[2], r[3], r[4], r[5], r[6], Action.from_int(r[7]),
                           Side.from_int(r[8]), r[10], r[9], r[11], r[12], r[13], r[14], [lv]))
    return out


def struct_encode(rows):
    pack = MBP1.pack
    return b"".join([pack(*r) for r in rows])


def struct_decode(data, offset):
    return [t for t in MBP1.iter_unpack(memoryview(data)[offset:])]


def struct_replay(data, offset):
    unpack_from = MBP1.unpack_from
    n = 0
    for pos in range(offset, len(data), 96):
        unpack_from(data, pos)
        n += 1
    return n


def numpy_df(data, offset):
    arr = np.frombuffer(data, dtype=DTYPE, offset=offset)
    return pd.DataFrame(arr)


def main():
    rows = make_values(N)
    records = to_records(rows)
    meta = Metadata(Schema.MBP1, Dataset.FUTURES, rows[0][3], rows[-1][3],
                    SymbolMap({i: f"ES{i}" for i in range(1, 6)}))
    menc, renc = PyMetadataEncoder(), PyRecordEncoder()
    menc.encode_metadata(meta)
    renc.encode_records(records)
    stream = menc.get_encoded_data() + renc.get_encoded_data()
    offset = len(menc.get_encoded_data())
    assert stream[offset:] == struct_encode(rows), "orx and the struct codec disagree"
    print(f"{N:,} MBP-1 records, {len(stream):,} bytes, orx {orx.__file__}")

    def enc():
        renc.encode_records(records)

    report("encode_records", interleaved(
        {"struct codec": lambda: struct_encode(rows), "PyRecordEncoder.encode_records": enc},
        REPEATS), "struct codec", N, "records")

    report("open a stream", interleaved(
        {"bytearray copy": lambda: bytearray(stream), "BufferStore(data)": lambda: BufferStore(stream)},
        REPEATS), "bytearray copy", N, "records")

    report("decode all records", interleaved(
        {"struct codec (tuples)": lambda: struct_decode(stream, offset),
         "BufferStore.decode_to_array": lambda: BufferStore(stream).decode_to_array()},
        REPEATS), "struct codec (tuples)", N, "records")

    def replay_all():
        store = BufferStore(stream)
        n = 0
        while store.replay() is not None:
            n += 1
        return n

    report("one record at a time", interleaved(
        {"struct unpack_from loop": lambda: struct_replay(stream, offset),
         "BufferStore.replay loop": replay_all}, REPEATS), "struct unpack_from loop", N, "records")

    report("DataFrame", interleaved(
        {"numpy.frombuffer + DataFrame": lambda: numpy_df(stream, offset),
         "decode_to_df(False, False)": lambda: BufferStore(stream).decode_to_df(False, False),
         "decode_to_df(True, True)": lambda: BufferStore(stream).decode_to_df(True, True)},
        REPEATS), "numpy.frombuffer + DataFrame", N, "records")


if __name__ == "__main__":
    main()
