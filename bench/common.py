"""Shared benchmark helpers: interleaved repetitions, medians, ratios against a baseline."""

import gc
import statistics
import time


def interleaved(cases, repeats=7, warmup=1):
    """Runs each case once per round, rounds `repeats` times; returns {name: median seconds}.

    Running the cases in alternation inside one process keeps machine noise (other jobs,
    frequency changes, page-fault storms) from landing on one side only.
    """
    for _ in range(warmup):
        for fn in cases.values():
            fn()
    times = {name: [] for name in cases}
    for _ in range(repeats):
        for name, fn in cases.items():
            gc.collect()
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(ts) for name, ts in times.items()}


def report(title, medians, baseline, unit_count=None, unit="items"):
    print(title)
    base = medians[baseline]
    for name, t in medians.items():
        rate = f"  {unit_count / t:14,.0f} {unit}/s" if unit_count else ""
        print(f"  {name:34} {t * 1e3:9.1f} ms{rate}   x{t / base:5.2f} of {baseline}")
