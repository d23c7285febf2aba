"""Shared test helpers."""

import gc
import os
import sys

import pytest

UNDER_SANITIZER = bool(os.environ.get("ORX_EXPECT_MODULE_DIR"))


def raises(exc_type, message, fn, *args, **kwargs):
    """Calls fn and checks the exception type exactly and its message exactly."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, (type(info.value), str(info.value))
    assert str(info.value) == message
    return info.value


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_no_leak(fn, iterations=20000, max_growth_bytes=1 << 20):
    """Runs fn many times and checks that neither Python objects nor process memory grow."""
    for _ in range(iterations // 10):
        fn()
    gc.collect()
    blocks0, rss0 = sys.getallocatedblocks(), _rss_bytes()
    for _ in range(iterations):
        fn()
    gc.collect()
    blocks1, rss1 = sys.getallocatedblocks(), _rss_bytes()
    assert blocks1 - blocks0 < iterations // 100, f"{blocks1 - blocks0} Python blocks leaked"
    if not UNDER_SANITIZER:  # the sanitizer's quarantine holds freed memory back
        assert rss1 - rss0 < max_growth_bytes, f"memory grew by {rss1 - rss0} bytes"
