"""Shared benchmark helpers: interleaved repetitions, medians, ratios against a baseline."""

import gc
import statistics
import time


def interleaved(cases, repeats=7, warmup=1, clock=time.perf_counter):
    """Runs each case once per round, rounds `repeats` times; returns {name: median seconds}.

    Running the cases in alternation inside one process keeps machine noise (other jobs,
    frequency changes, page-fault storms) from landing on one side only; the order turns by
    one case each round. A case is a function,
    or a pair (setup, fn) whose untimed setup() makes the argument of the timed fn(arg).
    `clock` is wall time by default; time.thread_time counts only the CPU time of the calling
    thread, which a loaded machine disturbs less (for work done on that thread alone).
    """
    def run(case):
        if isinstance(case, tuple):
            setup, fn = case
            arg = setup()
            t0 = clock()
            fn(arg)
            return clock() - t0
        t0 = clock()
        case()
        return clock() - t0

    for _ in range(warmup):
        for case in cases.values():
            run(case)
    times = {name: [] for name in cases}
    names = list(cases)
    for r in range(repeats):
        # Each round starts one case later, so that no case always runs right after the same
        # one (whose threads may still spin, whose freed memory the next one faults in again).
        for name in names[r % len(names):] + names[:r % len(names)]:
            gc.collect()
            times[name].append(run(cases[name]))
    return {name: statistics.median(ts) for name, ts in times.items()}


def report(title, medians, baseline, unit_count=None, unit="items"):
    print(title)
    base = medians[baseline]
    for name, t in medians.items():
        rate = f"  {unit_count / t:14,.0f} {unit}/s" if unit_count else ""
        print(f"  {name:34} {t * 1e3:9.1f} ms{rate}   x{t / base:5.2f} of {baseline}")
