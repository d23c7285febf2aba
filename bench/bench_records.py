"""Constructing 1,000,000 Mbp1Msg and reading a field of each, against building the same
number of tuples of the same integers."""

import gc
import sys

from common import interleaved, report

from orx import Action, BidAskPair, Mbp1Msg, Side

N = 1_000_000


def build_records(n=N):
    level = BidAskPair(1, 2, 3, 4, 5, 6)
    levels = [level]
    add, bid = Action.ADD, Side.BID
    out = [None] * n
    for i in range(n):
        out[i] = Mbp1Msg(i, i, 0, 1_500_000_000, 10, add, bid, 0, 0, i, -5, 9, 3, levels)
    total = 0
    for m in out:
        total += m.price
    return out


def build_tuples(n=N):
    level = (1, 2, 3, 4, 5, 6)
    levels = [level]
    add, bid = 65, 66
    out = [None] * n
    for i in range(n):
        out[i] = (i, i, 0, 1_500_000_000, 10, add, bid, 0, 0, i, -5, 9, 3, levels)
    total = 0
    for t in out:
        total += t[3]
    return out


def collections_during(fn):
    counts = []

    def cb(phase, info):
        if phase == "start":
            counts.append(info["generation"])

    gc.callbacks.append(cb)
    try:
        fn()
    finally:
        gc.callbacks.remove(cb)
    return {g: counts.count(g) for g in (0, 1, 2)}


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    medians = interleaved({"tuples of the same integers": build_tuples,
                           "Mbp1Msg(...) + .price": build_records}, repeats=repeats)
    report(f"construct {N:,} records and read a field of each", medians,
           "tuples of the same integers", N, "records")
    print("  garbage collections started (by generation):")
    print("    tuples :", collections_during(build_tuples))
    print("    records:", collections_during(build_records))
    records = build_records(1000)
    print("  records tracked by the collector:", sum(gc.is_tracked(r) for r in records), "of 1000")


if __name__ == "__main__":
    main()
