"""Measuring helpers shared by the benchmark modules.

The machines are shared and noisy, so every figure is a ratio measured side
by side: the operation and its baseline run in alternating batches, and the
figure is the median over the batches. Absolute values are medians too.
Time is the thread's CPU time, so time spent waiting for a core while other
work runs is not counted.
"""
from __future__ import annotations

import statistics
import time
import timeit
from dataclasses import asdict, dataclass
from typing import Callable, Optional


@dataclass
class Row:
    """One line of the table."""

    group: str
    figure: str
    value: float
    unit: str
    baseline: str = ""
    baseline_value: Optional[float] = None
    ratio: Optional[float] = None
    target: str = ""
    passed: Optional[bool] = None  # None: shown for information, no target
    note: str = ""

    def as_dict(self) -> dict:
        return asdict(self)


def at_most(limit: float) -> tuple[str, Callable[[float], bool]]:
    return f"<= {limit:g}x", lambda ratio: ratio <= limit


def at_least(limit: float) -> tuple[str, Callable[[float], bool]]:
    return f">= {limit:g}x faster", lambda speedup: speedup >= limit


CLOCK = time.thread_time


def timer(statement: str, namespace: dict) -> timeit.Timer:
    return timeit.Timer(statement, timer=CLOCK, globals=namespace)


def _number_for(timer: timeit.Timer, batch_seconds: float) -> int:
    """Loop count that makes one batch last about `batch_seconds`."""
    number = 1
    while True:
        took = timer.timeit(number)
        if took >= batch_seconds / 10 or number >= 1 << 24:
            return max(1, int(number * batch_seconds / max(took, 1e-9)))
        number *= 4


def _empty_loop_ns(number: int) -> float:
    return timer("pass", {}).timeit(number) / number * 1e9


@dataclass
class Pair:
    """Median cost per call of an operation and of its baseline, and the
    median of their per-batch ratios (operation / baseline)."""

    op: float
    base: float
    ratio: float


def compare(op: str, base: str, namespace: dict, repeats: int = 15,
            batch_seconds: float = 0.02) -> Pair:
    """Times the statements `op` and `base` (run with `namespace` as globals)
    in alternating batches. The cost of the empty timing loop is taken off
    both, so a ratio compares the calls themselves."""
    op_timer = timer(op, namespace)
    base_timer = timer(base, namespace)
    number = min(_number_for(op_timer, batch_seconds), _number_for(base_timer, batch_seconds))
    op_ns, base_ns, ratios = [], [], []
    for i in range(repeats):
        empty = _empty_loop_ns(number)
        # Alternate which runs first, so a drift in load favours neither.
        first, second = (op_timer, base_timer) if i % 2 == 0 else (base_timer, op_timer)
        t_first = first.timeit(number) / number * 1e9 - empty
        t_second = second.timeit(number) / number * 1e9 - empty
        t_op, t_base = (t_first, t_second) if i % 2 == 0 else (t_second, t_first)
        op_ns.append(t_op)
        base_ns.append(t_base)
        ratios.append(t_op / t_base)
    return Pair(statistics.median(op_ns), statistics.median(base_ns), statistics.median(ratios))


def median_seconds(run: Callable[[], object], repeats: int = 7, min_batch: float = 0.05) -> float:
    """Median wall time (s) of one call of `run`, batched so that short calls
    are not lost in the clock's resolution."""
    start = CLOCK()
    run()
    once = CLOCK() - start
    number = max(1, int(min_batch / max(once, 1e-9)))
    times = []
    for _ in range(repeats):
        start = CLOCK()
        for _ in range(number):
            run()
        times.append((CLOCK() - start) / number)
    return statistics.median(times)


def compare_calls(op: Callable[[], object], base: Callable[[], object],
                  repeats: int = 7) -> Pair:
    """Like `compare`, for calls that take long enough to time one by one
    (in seconds, not ns)."""
    op_s, base_s, ratios = [], [], []
    for i in range(repeats):
        runs = (op, base) if i % 2 == 0 else (base, op)
        took = []
        for run in runs:
            start = CLOCK()
            run()
            took.append(CLOCK() - start)
        t_op, t_base = took if i % 2 == 0 else took[::-1]
        op_s.append(t_op)
        base_s.append(t_base)
        ratios.append(t_op / t_base)
    return Pair(statistics.median(op_s), statistics.median(base_s), statistics.median(ratios))
