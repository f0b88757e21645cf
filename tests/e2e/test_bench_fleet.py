"""The fleet benchmark's quick mode runs end to end and its figures are sane:
every device succeeded (a failed device ends the benchmark), each figure is a
positive number, and nothing it started is left running."""
import importlib.util
import os
import re
import sys

import pytest

from .conftest import importable

BENCH_DIR = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "bench")


@pytest.fixture(scope="module")
def bench():
    sys.path.insert(0, BENCH_DIR)  # the benchmark imports its harness
    try:
        spec = importlib.util.spec_from_file_location(
            "bench_fleet", os.path.join(BENCH_DIR, "bench_fleet.py"))
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.path.remove(BENCH_DIR)


def still_running(pids):
    """Of `pids`, those still running; multiprocessing's resource tracker
    (started with the Dask workers) lives as long as this process, by design."""
    running = set()
    for pid in pids:
        try:
            with open("/proc/%s/cmdline" % pid) as f:
                if "resource_tracker" not in f.read():
                    running.add(pid)
        except OSError:
            pass  # gone
    return running


@pytest.mark.parametrize("source, options, figures", [
    ("served", {}, ["devices per second", "resident memory", "second run",
                    "2 worker processes", "against threads", "against netmiko"]),
    ("pty", {"dask": False, "peer": False}, ["devices per second", "resident memory"]),
])
def test_quick_mode_measures_every_figure_and_leaves_nothing_behind(bench, source, options,
                                                                     figures):
    # The Dask and peer figures need Debian packages that only Debian's own
    # interpreter can import (see import_failure); elsewhere they are left out.
    for option, module, wanted in (("dask", "distributed", ("2 worker", "against threads")),
                                   ("peer", "netmiko", ("against netmiko",))):
        if option not in options and not importable(module):
            options = dict(options, **{option: False})
            figures = [f for f in figures if not f.startswith(wanted)]
    before = set(bench.children())
    rows = bench.rows(quick=True, count=12, source=source, **options)
    for wanted in figures:
        assert any(wanted in row.figure for row in rows), wanted
    # The sanitizer build's allocator makes resident memory meaningless.
    sanitized = bool(os.environ.get("QUORVI_SANITIZED"))
    for row in rows:
        if not (sanitized and "resident memory" in row.figure):
            assert row.value > 0, row.figure
        if row.baseline_value is not None:
            assert row.baseline_value > 0 and row.ratio > 0, row.figure
    # The memory figure held every device up at once: one line process per
    # pty line; console: lines are connections of this process, no process.
    held = next(r for r in rows if "resident memory" in r.figure).note
    lines = re.search(r"with 12 devices \((\d+) lines\) up at once", held).group(1)
    line_rows = [r.note for r in rows if "each line's process" in r.figure]
    if source == "pty":
        assert line_rows[0].startswith("%s line processes at once" % lines)
    else:
        assert line_rows == []
    assert still_running(set(bench.children()) - before) == set()
