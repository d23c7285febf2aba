"""Catalog.upgrade(): 20 generated trading days of MBP-1 records for 50 instruments in day files
of format 1 (zstd) rewritten in format 2, against the baseline a user writes with the public
API: a new catalog of format 2 written from each old day file (``Catalog.write(path)``), one
day at a time. Each repetition starts from a fresh copy of the old catalog (copied and
reindexed untimed).
Then each side once more in a process of its own, for its peak RSS, with the peak extra disk
of the upgrade (its temporary files beside the old ones, sampled as it runs) against the
catalog's size.

Arguments: [repeats] [records per day].
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

from common import interleaved, report

import orx
from orx._reader import _dtype

REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 5
PER_DAY = int(sys.argv[2]) if len(sys.argv) > 2 else 50_000
DAYS, SYMBOLS = 20, 50
NS_DAY = 86_400 * 1_000_000_000
DAY0 = 20_423 * NS_DAY  # 2025-12-01
MBP1 = ("FUTURES", "mbp-1")


def make_day(start, rng):
    a = np.zeros(PER_DAY, dtype=_dtype(1))
    a["length"], a["rtype"] = 24, 1
    a["instrument_id"] = rng.integers(1, SYMBOLS + 1, PER_DAY)
    t = np.sort(rng.integers(start + 13 * 3600 * 10**9, start + 20 * 3600 * 10**9,
                             PER_DAY)).astype(np.uint64)
    a["ts_event"], a["ts_recv"] = t, t + 500
    a["price"] = 4_500_000_000_000 + rng.integers(-4000, 4000, PER_DAY) * 250_000_000
    a["size"] = rng.integers(1, 50, PER_DAY)
    a["action"], a["side"] = b"A", b"B"
    a["sequence"] = np.arange(PER_DAY)
    return a


def build(root):
    rng = np.random.default_rng(7)
    meta = orx.Metadata(orx.Schema.MBP1, orx.Dataset.FUTURES, 0, 0,
                        orx.SymbolMap({i: f"SYM{i:02d}" for i in range(1, SYMBOLS + 1)}))
    cat = orx.Catalog(root, compression="zstd", day_format=1)
    for d in range(DAYS):
        cat.write(make_day(DAY0 + d * NS_DAY, rng), meta)
    return cat


def size_of(directory):
    return sum(e.stat().st_size for e in os.scandir(directory) if e.is_file())


def by_hand(old, new):
    """The baseline: every day file of `old` written into a new catalog of format 2."""
    cat = orx.Catalog(new)
    d = os.path.join(old, *MBP1)
    for name in sorted(os.listdir(d)):
        if name.endswith(".orx.zst"):
            cat.write(os.path.join(d, name), mode="replace")


def in_a_process(code):
    """Peak RSS (MB) of a fresh process that runs `code`."""
    script = ("import resource, sys\nsys.path[:0] = %r\nimport orx\n" % sys.path[:3]
              + textwrap.dedent(code)
              + "\nprint(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n")
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                         text=True).stdout
    return int(out.split()[-1]) / 1024


def main():
    print(f"load average before: {os.getloadavg()}")
    root = tempfile.mkdtemp(prefix="orx-upgrade-bench-")
    try:
        pristine = os.path.join(root, "old")
        build(pristine)
        size = size_of(os.path.join(pristine, *MBP1))
        work = os.path.join(root, "work")

        def fresh():
            shutil.rmtree(work, ignore_errors=True)
            shutil.copytree(pristine, work)
            orx.Catalog(work).reindex()  # the copies' identities (inodes) in the index
            shutil.rmtree(work + "-new", ignore_errors=True)
            return work

        cases = {
            "by hand: Catalog.write per day file": (fresh, lambda w: by_hand(w, w + "-new")),
            "Catalog.upgrade()": (fresh, lambda w: orx.Catalog(w).upgrade()),
        }
        medians = interleaved(cases, repeats=REPEATS)
        report(f"{DAYS} days of {PER_DAY:,} MBP-1 records ({size / 1e6:.0f} MB of format 1) "
               f"rewritten in format 2", medians, "by hand: Catalog.write per day file",
               DAYS * PER_DAY, "records")
        fresh()
        hand = in_a_process(f"""
            import sys
            sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
            from bench_upgrade import by_hand
            by_hand({work!r}, {work + "-new"!r})
        """)
        fresh()
        up = in_a_process(f"orx.Catalog({work!r}).upgrade()")
        print(f"  peak RSS of a process doing it: by hand {hand:.0f} MB, upgrade {up:.0f} MB "
              f"(x{up / hand:.2f})")
        fresh()
        # the extra disk an upgrade takes: a batch of new files beside the old ones
        d = os.path.join(work, *MBP1)
        proc = subprocess.Popen([sys.executable, "-c", "import sys\nsys.path[:0] = %r\n"
                                 "import orx\norx.catalog._catalog.UPGRADE_DAYS = 4\n"
                                 "orx.Catalog(%r).upgrade()" % (sys.path[:3], work)])
        peak = 0
        while proc.poll() is None:
            try:
                peak = max(peak, size_of(d))
            except FileNotFoundError:
                pass
        print(f"  batches of 4 days: the directory peaked at x{peak / size:.2f} the old "
              f"catalog's size (sampled)")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
