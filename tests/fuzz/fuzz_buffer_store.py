"""Fuzz target for streams read through BufferStore, every decoding method included, and for
metadata blocks read by Metadata.decode.

    ./dev fuzz buffer_store [seconds]

runs it under atheris against a build of the module instrumented for coverage (libFuzzer's
-fsanitize=fuzzer-no-link) and AddressSanitizer, starting from the stream seed corpus.

Anything but the documented exceptions (OSError for streams that do not decode, OverflowError
for DataFrame rows whose letters or times do not convert) is a bug, as is a crash.
"""

import sys

from orx import BufferStore, Metadata

EXPECTED = (OSError, OverflowError)


def test_one_input(data: bytes) -> None:
    try:
        metadata = Metadata.decode(data)
        str(metadata)
        metadata.encode()
    except OSError:
        pass
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


def main():
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
