"""Flat-memory checks for the extension modules: live allocator blocks, the
biggest growing allocation site under tracemalloc, the process's resident
set, and reference counts of the objects handed in."""
import gc
import os
import re
import sys
import tracemalloc

import pytest

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    """Resident set size of this process, in bytes."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def quiesce():
    """Frees what only the interpreter's caches hold: cyclic garbage, and the
    attribute names the type attribute cache keeps alive (one per slot, the
    name of the last lookup, so a caller that makes a new name object per
    lookup slowly fills the cache with them)."""
    sys._clear_type_cache()
    gc.collect()


def traced_growth(run, warmup, rounds):
    """The biggest growth of one allocation site (file and line) over
    `rounds` runs of `run`, traced from `warmup` runs before, so that objects
    made before tracing began and replaced since do not count."""
    # The regex module's compile cache grows up to its fixed bound as
    # patterns are compiled anywhere in the process (the runner's threads too).
    ignore = [tracemalloc.Filter(False, tracemalloc.__file__),
              tracemalloc.Filter(False, re.__file__)]
    tracemalloc.start()
    try:
        for _ in range(warmup):
            run()
        quiesce()
        before = tracemalloc.take_snapshot().filter_traces(ignore)
        for _ in range(rounds):
            run()
        quiesce()
        after = tracemalloc.take_snapshot().filter_traces(ignore)
    finally:
        tracemalloc.stop()
    top = max(after.compare_to(before, "lineno"), key=lambda s: s.size_diff, default=None)
    return (top.size_diff, str(top)) if top else (0, "")


class Flat:
    """One workload, `run()` once per round. After `warmup` rounds (caches
    and free lists fill up) it notes the reference counts of `watched`, the
    allocator's live blocks and the RSS; runs `rounds` more; then `traced`
    rounds under tracemalloc (the first tenth unmeasured). Every count must
    be as it was, the live blocks may not grow by one per 32 rounds (128
    are always allowed), the
    RSS by `rss_bound`, nor any one line's traced allocations by
    `traced_bound`."""

    def __init__(self, run, watched, warmup, rounds, traced):
        self.run, self.watched = run, watched
        self.warmup, self.rounds, self.traced = warmup, rounds, traced

    def check(self, traced_bound=4 * 1024, rss_bound=2 * 1024 * 1024):
        if os.environ.get("QUORVI_SANITIZED"):
            # The sanitizer allocator keeps freed memory in quarantine and
            # PYTHONMALLOC=malloc changes the block counts: growth readings
            # mean nothing there, and LeakSanitizer checks leaks instead.
            pytest.skip("memory growth is not measurable under the sanitizer allocator")
        for _ in range(self.warmup):
            self.run()
        quiesce()
        counts = refcounts(self.watched)
        blocks, start = sys.getallocatedblocks(), rss()
        for _ in range(self.rounds):
            self.run()
        quiesce()
        blocks, grown = sys.getallocatedblocks() - blocks, rss() - start
        now = refcounts(self.watched)
        assert now == counts, [(o, a, b) for o, a, b in zip(self.watched, counts, now) if a != b]
        # A few dozen blocks come and go in the test runner's own threads (the
        # parallel runner's I/O thread): the floor stays well under the one
        # block per round that the smallest workload here would leak.
        assert blocks < max(128, self.rounds // 32), blocks
        assert grown < rss_bound, grown
        top, where = traced_growth(self.run, self.traced // 10, self.traced - self.traced // 10)
        assert top < traced_bound, where
        return blocks, grown, top
