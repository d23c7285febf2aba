"""Replays the stream fuzz corpus, and deterministic mutations of it, through BufferStore."""

import os
import random

import pytest

from fuzz.fuzz_buffer_store import test_one_input as one_input

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz", "corpus", "stream")
SEEDS = sorted(os.listdir(CORPUS))


def mutations(seed_bytes, count, rng):
    for _ in range(count):
        b = bytearray(seed_bytes)
        for _ in range(rng.randint(1, 4)):
            op = rng.randrange(4)
            if op == 0 and b:
                b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
            elif op == 1 and b:
                b[rng.randrange(len(b))] = rng.randrange(256)
            elif op == 2:
                b.insert(rng.randrange(len(b) + 1), rng.randrange(256))
            elif b:
                del b[rng.randrange(len(b)):]
        yield bytes(b)


@pytest.mark.parametrize("name", SEEDS)
def test_corpus_and_mutations(name):
    with open(os.path.join(CORPUS, name), "rb") as f:
        seed = f.read()
    rng = random.Random(name)
    one_input(seed)
    for cut in range(0, len(seed), max(len(seed) // 64, 1)):
        one_input(seed[:cut])
    for data in mutations(seed, 150, rng):
        one_input(data)
