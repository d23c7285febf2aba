"""Fuzz target for streams read through BufferStore, every decoding method included.

    ./dev fuzz buffer_store [seconds]     (runs it under atheris)

Anything but the documented exceptions (OSError for streams that do not decode, OverflowError
for DataFrame rows whose letters or times do not convert) is a bug, as is a crash.
"""

import os
import sys

from orx import BufferStore

EXPECTED = (OSError, OverflowError)


def test_one_input(data: bytes) -> None:
    try:
        store = BufferStore(data)
    except OSError:
        return
    str(store.metadata)
    flags = data[-1] if data else 0
    try:
        store.replay()
    except OSError:
        pass
    try:
        if flags & 1:
            store.decode_to_df(bool(flags & 2), bool(flags & 4))
        else:
            for record in store.decode_to_array():
                str(record)
                record.__dict__()
    except EXPECTED:
        pass
    try:  # whatever remains after a failure still reads, or fails cleanly
        while store.replay() is not None:
            pass
    except OSError:
        pass


CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "stream")


def seeds():
    out = []
    for name in sorted(os.listdir(CORPUS)):
        with open(os.path.join(CORPUS, name), "rb") as f:
            out.append(f.read())
    return out


SEEDS = seeds()


def edited_seed(data: bytes) -> bytes:
    """Reads the input as a seed choice and edits to it, so that a fuzzer without coverage of
    the compiled module still explores near valid streams: byte 0 picks a seed (or, past the
    seeds, takes the rest as the stream itself), then each 3 bytes set one byte of it
    (position from the first two, value from the third), and an odd length cuts it short."""
    if not data or data[0] >= len(SEEDS):
        return data[1:]
    stream = bytearray(SEEDS[data[0]])
    edits = data[1:]
    for i in range(0, len(edits) - 2, 3):
        if stream:
            stream[(edits[i] << 8 | edits[i + 1]) % len(stream)] = edits[i + 2]
    if len(edits) % 3 == 1 and stream:
        del stream[edits[-1] % len(stream):]
    return bytes(stream) + edits[-1:]  # the last byte also picks the decoding method


def main():
    import atheris

    atheris.Setup(sys.argv, lambda data: test_one_input(edited_seed(data)))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
