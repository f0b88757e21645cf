"""Warm-console bring-up on the served lab: `Device.connect` (connect ->
ready, every line at its prompt) of a device whose consoles a previous
client left at a prompt, beside a bare script that has the same
conversation over the same telnet lines.

A console server shows a new client nothing until a key is pressed, so the
bare script opens the device's telnet lines, presses Return on each at
once, reads each prompt and sends the lines the link broker's documented
steps send, waiting for each answer's prompt (bench_bringup.conversation;
the quad with the same answer-test waits). Both run alternately against the
same served lab, after one connect that leaves the consoles warm; the
figures are medians.

Targets: single, dual and stack within 1.5 times the bare script; the quad
within 100 ms beyond the waits its answer test must make (a
DETECT_RPR_TIMEOUT sleep per console and an expect on each silent one).

`make bench` runs it with the other benchmarks (`rows`); on its own:
.venv/bin/python bench/bench_warm.py [--quick]
"""
import argparse
import statistics
import sys
import time
from typing import Any, Dict, List, Optional

import pexpect

from bench_bringup import ANSWER_TEST, conversation, converse, hang_up
from quorvi.device import Device
from quorvi import chassis
from quorvi.sim.served import ServedLab

KINDS = chassis.SHORT_NAMES
# The quad's answer-test waits are the same in both columns and only add to
# them: a short setting keeps the run short.
RPR_TIMEOUT = 0.3
CONNECT_TARGET = 1.5
QUAD_BEYOND_TARGET = 0.100  # seconds beyond the answer-test waits
QUAD_REPEATS = 3
SETTINGS = {"DETECT_RPR_TIMEOUT": RPR_TIMEOUT}


def warm_conversation(kind: str) -> List[Any]:
    """The documented conversation as a warm console has it: a line the
    bring-up takes to enable is there already (so no "enable" is sent); a line whose first step waits for a prompt gets a Return first
    (the console shows nothing until then); the quad's lines get their
    Return as they open."""
    fresh = conversation(kind)
    enabled = {console for console, line, _ in fresh if line == "enable"}
    steps, started = [], set()
    for console, line, prompt in fresh:
        if line == "enable":
            continue
        if console in enabled and isinstance(prompt, str) and prompt.endswith(">"):
            prompt = prompt[:-1] + "#"
        if console not in started and line is None:
            line = ""
        started.add(console)
        last = next((step for step in reversed(steps) if step[0] == console), None)
        if line is None and last is not None and last[1] is None:
            continue  # the quad: its two prompts before a command came in one wait
        steps.append((console, line, prompt))
    return steps


def answer_test_waits(kind: str) -> float:
    """Seconds the quad's answer test must wait: a sleep on every console and
    the expect that times out on each silent one."""
    tests = [answers for _, line, answers in conversation(kind) if line is ANSWER_TEST]
    return RPR_TIMEOUT * (len(tests) + sum(1 for answers in tests if not answers))


def bare_bringup(lab: ServedLab, kind: str, steps: List[Any]) -> float:
    """Open the telnet lines, have the conversation; seconds taken."""
    consoles = list(lab.inventory["devices"]["R1"]["lines"])
    started = time.perf_counter()
    children: Dict[str, Any] = {}
    try:
        for console in consoles:
            child = pexpect.spawn("telnet 127.0.0.1 %d" % lab.port("R1", console),
                                  encoding="utf-8")
            child.delaybeforesend = None
            child.expect_exact("Escape character is '^]'.", timeout=10)
            children[console] = child
        if kind == "quad":
            for child in children.values():
                child.send("\r")
        converse(children, steps, RPR_TIMEOUT)
        return time.perf_counter() - started
    finally:
        hang_up(children)


def framework_bringup(lab: ServedLab) -> float:
    dev = Device(**lab.device_kwargs("R1", settings=SETTINGS))
    try:
        started = time.perf_counter()
        dev.connect()
        return time.perf_counter() - started
    finally:
        dev.destroy()


def measure_kind(kind: str, repeats: int) -> Dict[str, Any]:
    if kind == "quad":
        repeats = min(repeats, QUAD_REPEATS)
    steps = warm_conversation(kind)
    with ServedLab({"devices": {"R1": {"kind": kind}}}) as lab:
        framework_bringup(lab)  # the consoles are warm from here on
        bare_bringup(lab, kind, steps)
        framework, bare = [], []
        for _ in range(repeats):
            bare.append(bare_bringup(lab, kind, steps))
            framework.append(framework_bringup(lab))
    return {"kind": kind, "connect": statistics.median(framework),
            "bare": statistics.median(bare), "waits": answer_test_waits(kind)}


def rows(quick: bool = False) -> list:
    from harness import Row  # bench/ is on the path when run.py imports this module

    repeats = 3 if quick else 9
    out = []
    for kind in KINDS:
        m = measure_kind(kind, repeats)
        if kind == "quad":
            beyond, bare_beyond = m["connect"] - m["waits"], m["bare"] - m["waits"]
            out.append(Row("warm consoles (served lab, console: lines)",
                           "warm quad: connect beyond its answer-test waits", beyond * 1e3, "ms",
                           "bare script beyond the same waits", bare_beyond * 1e3,
                           beyond / bare_beyond if bare_beyond > 0 else None,
                           "<= %d ms" % (QUAD_BEYOND_TARGET * 1e3),
                           beyond <= QUAD_BEYOND_TARGET,
                           note="answer-test waits %.0f ms (DETECT_RPR_TIMEOUT %.1f s), connect "
                                "%.0f ms in all" % (m["waits"] * 1e3, RPR_TIMEOUT,
                                                    m["connect"] * 1e3)))
            continue
        ratio = m["connect"] / m["bare"]
        out.append(Row("warm consoles (served lab, console: lines)",
                       "warm %s: connect" % kind, m["connect"] * 1e3, "ms",
                       "bare script", m["bare"] * 1e3, ratio,
                       "<= %.1fx bare script" % CONNECT_TARGET, ratio <= CONNECT_TARGET))
    return out


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="3 repetitions instead of 9")
    args = parser.parse_args(argv)
    result = rows(args.quick)
    for row in result:
        verdict = {True: "pass", False: "FAIL", None: ""}[row.passed]
        print("%-52s %8.1f %s  (%s %.1f, ratio %s)  %s %s" % (
            row.figure, row.value, row.unit, row.baseline, row.baseline_value,
            "-" if row.ratio is None else "%.2f" % row.ratio, row.target, verdict))
        if row.note:
            print("    " + row.note)
    return 0 if all(r.passed is not False for r in result) else 1


if __name__ == "__main__":
    sys.exit(main())
