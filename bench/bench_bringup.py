"""Bring-up against the simulator: how long `Device.connect` takes for each
chassis kind, beside a bare pexpect script that has the same conversation with
the same simulated device in the same run.

The bare script starts the same console commands with pexpect, sends the lines
the link broker's documented steps need, in the same order, and waits for the
prompts that answer them: nothing else. Both run alternately on a device that
answers at once; the figures are medians of several repetitions, set side by
side as ratios because the machine is shared and noisy.

Figures per chassis kind:
- connect: wall time of Device.connect (lines opened and brought up, handles
  designated, initial commands run) against the bare script;
- broker's own code: time inside the link broker's C++ operations, not
  waiting on the device and not inside framework calls (cProfile's tottime of
  a Python wrapper around each operation, with the quad's sleeps taken out),
  against the bare script;
- device round trips: lines the framework sent that the device answered,
  against the number the documented steps need;
- quad only: the connect's time beyond the waits its answer test must make
  (a DETECT_RPR_TIMEOUT sleep per console, and a DETECT_RPR_TIMEOUT expect on
  each silent console), against the bare script's time beyond the same waits.

`make bench` runs it with the other benchmarks (`rows`); on its own:
.venv/bin/python bench/bench_bringup.py [--quick] (prints the table and
writes bench/bringup.json).
"""
import argparse
import cProfile
import json
import logging
import os
import pstats
import re
import statistics
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import pexpect

from quorvi.chassis import SHORT_NAMES as KINDS
from quorvi.device import Device
from quorvi.settings import Settings
from quorvi.sim.harness import SimulatedDevice

# The quad's answer test waits this long per console: the framework's default,
# so that the quad is measured as a user's connect runs.
RPR_TIMEOUT = Settings().DETECT_RPR_TIMEOUT
# Each quad connect takes seconds of answer-test waits: fewer repetitions.
QUAD_REPEATS = 3
CONNECT_TARGET = 1.5  # a connect takes at most this many times the bare script
BROKER_TARGET = 0.02  # the broker's own code: under this share of the bare script

# Conversation steps, in the order the link broker's documented steps take them:
#   (console, line, prompt): send `line` (None: send nothing), then wait for
#   `prompt` (None: do not wait; a later step takes the answer in).
#   (console, ANSWER_TEST, answers): the quad's answer test on that console.
Step = Tuple[str, Any, Any]
ANSWER_TEST = object()

INIT_EXEC = ["terminal length 0", "terminal width 0"]
INIT_CONFIG = ["no logging console"]
UNLOCK = ["redundancy", "standby console enable"]


def _say(console: str, lines: List[str], prompt: str) -> List[Step]:
    return [(console, line, prompt) for line in lines]


def _config(console: str, lines: List[str], host: str = "R1", mode: str = "config") -> List[Step]:
    """A configuration block: into config mode, the lines, back to enable."""
    steps = [(console, "configure terminal", "%s(config)#" % host)]
    for line in lines:
        if line == "redundancy":
            mode = "config-red"
        steps.append((console, line, "%s(%s)#" % (host, mode)))
    return steps + [(console, "end", "%s#" % host)]


def _init_active(console: str) -> List[Step]:
    return _say(console, INIT_EXEC, "R1#") + _config(console, INIT_CONFIG)


def _unlock_standby(active: str, standby: str) -> List[Step]:
    return _config(active, UNLOCK) + [(standby, "", "R1-stby#")]


def conversation(kind: str) -> List[Step]:
    """What the documented steps of the kind's link broker need of the
    simulated device (default settings, no enable password, OS known)."""
    if kind == "single":
        # establish_connection: the prompt; init_handle: enable, initial commands
        return [("a", None, "R1>"), ("a", "enable", "R1#")] + _init_active("a")
    if kind == "dual":
        return (
            # establish_connection: two passes, an empty line in the first
            [("a", None, "R1>"), ("a", "", None), ("b", None, "R1-stby>"), ("b", "", None),
             ("a", None, "R1>"), ("b", None, "R1-stby>"),
             # designate_handles: wake-up pass, enable pass, the query on the first line
             ("a", "", "R1>"), ("b", "", "R1-stby>"),
             ("a", "enable", "R1#"), ("b", "enable", "R1-stby#"),
             ("a", "sh redundancy stat | inc my state", "R1#")]
            + _init_active("a") + _unlock_standby("a", "b")
            + _say("b", INIT_EXEC, "R1-stby#") + [("a", "sh redundancy state", "R1#")])
    if kind == "stack":
        members = ["m1", "m2", "m3"]
        return (
            [step for m in members for step in ((m, None, "R1>"), (m, "", None))]
            + [(m, None, "R1>") for m in members]
            # designate_handles: "show switch" on the first line (at enable, where
            # the framework runs commands), then the standby to enable
            + [("m1", "enable", "R1#"), ("m1", "show switch", "R1#"), ("m2", "enable", "R1#")]
            + _init_active("m1") + _say("m2", INIT_EXEC, "R1#") + [("m1", "sh redundancy state", "R1#")])
    if kind == "quad":
        return (
            [("m1a", ANSWER_TEST, True), ("m1a", None, "R1>"),
             ("m1b", ANSWER_TEST, False),
             ("m2a", ANSWER_TEST, True), ("m2a", None, "R1-stby>"),
             ("m2b", ANSWER_TEST, False),
             # designate_handles: each answer to the test's empty line is taken
             # in before the next command on that line
             ("m1a", None, "R1>"), ("m1a", "enable", "R1#"), ("m1a", "show switch", "R1#"),
             ("m2a", None, "R1-stby>"), ("m2a", "enable", "R1-stby#")]
            + _init_active("m1a") + _unlock_standby("m1a", "m2a")
            + _say("m2a", INIT_EXEC, "R1-stby#") + [("m1a", "sh redundancy state", "R1#")])
    raise ValueError("unknown chassis kind %r" % kind)


def lines_sent(steps: List[Step]) -> List[Tuple[str, str]]:
    """(console, line) of every line the conversation sends, in order."""
    sent = []
    for console, line, prompt in steps:
        if line is ANSWER_TEST:
            if prompt:  # an answering console gets the test's empty line
                sent.append((console, ""))
        elif line is not None:
            sent.append((console, line))
    return sent


def mandated_waits(kind: str) -> float:
    """Seconds the quad's answer test must wait: a sleep on every console and
    the expect that times out on each silent one."""
    if kind != "quad":
        return 0.0
    tests = [answers for _, line, answers in conversation(kind) if line is ANSWER_TEST]
    return RPR_TIMEOUT * (len(tests) + sum(1 for answers in tests if not answers))


def bare_bringup(sim: SimulatedDevice, steps: List[Step]) -> float:
    """The bare script: spawn the consoles, have the conversation; seconds taken."""
    started = time.perf_counter()
    children = {}
    try:
        for console in sim.consoles:
            child = pexpect.spawn(sim.command(console), encoding="utf-8")
            child.delaybeforesend = None  # a lean script: no sleep before a send
            children[console] = child
        converse(children, steps, RPR_TIMEOUT)
        return time.perf_counter() - started
    finally:
        hang_up(children)


def converse(children: Dict[str, Any], steps: List[Step], rpr_timeout: float) -> None:
    """Have the conversation `steps` on the pexpect children of each console."""
    for console, line, prompt in steps:
        child = children[console]
        if line is ANSWER_TEST:
            time.sleep(rpr_timeout)
            try:  # compiled here: pexpect would compile a text pattern with DOTALL
                child.expect(re.compile(r".+"), timeout=rpr_timeout)
                child.send("\r")
                child.expect(re.compile(r"\S+"), timeout=rpr_timeout)
            except pexpect.TIMEOUT:
                pass  # a silent console
            continue
        if line is not None:
            child.send(line + "\r")
        if prompt is not None:
            child.expect_exact(prompt, timeout=10)


def hang_up(children: Dict[str, Any]) -> None:
    for child in children.values():
        if not isinstance(child, pexpect.spawn):
            child.close()  # a socket: no process to end
            continue
        child.delayafterclose = child.delayafterterminate = 0.01
        child.close(force=True)


def _device(sim: SimulatedDevice) -> Device:
    return Device(**sim.device_kwargs(settings={"DETECT_RPR_TIMEOUT": RPR_TIMEOUT}))


def framework_bringup(sim: SimulatedDevice) -> float:
    """Device.connect through the link broker; seconds taken (closing not counted)."""
    dev = _device(sim)
    try:
        started = time.perf_counter()
        dev.connect()
        return time.perf_counter() - started
    finally:
        dev.destroy()


class _SentLines(logging.Handler):
    """Collects the lines the spawns send, from their debug records."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.sent: List[Tuple[str, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        if record.msg == "%s: send %r":
            name, text = record.args
            self.sent.append((name.rsplit("/", 1)[-1], text))


def recorded_conversation(sim: SimulatedDevice) -> List[Tuple[str, str]]:
    """The (console, line) pairs one connect sends."""
    logger = logging.getLogger("quorvi")
    handler, level = _SentLines(), logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        framework_bringup(sim)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
    return handler.sent


def _broker_operation(operation: Callable[..., Any]) -> Callable[..., Any]:
    def broker_operation(*args: Any, **kwargs: Any) -> Any:
        return operation(*args, **kwargs)
    return broker_operation


def broker_own_time(sim: SimulatedDevice) -> Tuple[float, float]:
    """(seconds inside the link broker's own code, wall seconds) of one profiled
    connect.

    The broker's operations are compiled functions, which the profiler does
    not see: time spent in them is counted to the Python function that called
    them. So for the profiled connect each operation on the broker classes is
    wrapped in a Python function: its tottime is the operation's time in C++
    not spent in the Python functions it calls (the framework), plus the
    wrapper's own small cost, an upper bound. The broker sleeps through
    time.sleep, a builtin it calls directly, so a Python wrapper takes the
    sleeps out of that time as well."""
    import quorvi.bases.routers.link_broker as link_broker

    real_sleep = time.sleep

    def sleep(seconds: float) -> None:
        real_sleep(seconds)

    wrapped = [(cls, name, op) for cls in vars(link_broker).values()
               if isinstance(cls, type) and cls.__module__ == link_broker.__name__
               for name, op in vars(cls).items() if type(op).__name__ == "compiled_function"]
    dev = _device(sim)
    profile = cProfile.Profile()
    time.sleep = sleep
    for cls, name, op in wrapped:
        setattr(cls, name, _broker_operation(op))
    try:
        started = time.perf_counter()
        profile.enable()
        dev.connect()
        profile.disable()
        wall = time.perf_counter() - started
    finally:
        for cls, name, op in wrapped:
            setattr(cls, name, op)
        time.sleep = real_sleep
        dev.destroy()
    if not wrapped:
        raise RuntimeError("no broker operations found to measure")
    own = sum(entry[2] for (_, _, name), entry in pstats.Stats(profile).stats.items()
              if name == "broker_operation")
    return own, wall


def _row(figure: str, value: float, unit: str, baseline: float, target: str, ok: bool) -> Dict[str, Any]:
    return {"figure": figure, "value": round(value, 4), "unit": unit,
            "baseline": round(baseline, 4), "ratio": round(value / baseline, 3) if baseline else None,
            "target": target, "ok": bool(ok)}


def measure_kind(kind: str, repeats: int, notes: List[str]) -> List[Dict[str, Any]]:
    if kind == "quad":
        repeats = min(repeats, QUAD_REPEATS)
    steps = conversation(kind)
    documented = lines_sent(steps)
    with SimulatedDevice(kind) as sim:
        framework_bringup(sim)  # warm-up: plug-ins loaded, files cached
        bare_bringup(sim, steps)
        framework, bare = [], []
        for _ in range(repeats):
            bare.append(bare_bringup(sim, steps))
            framework.append(framework_bringup(sim))
        sent = recorded_conversation(sim)
        # A single profile catches the scheduler taking the CPU away inside
        # the broker now and then: the median of a few is kept.
        profiled = sorted(broker_own_time(sim) for _ in range(max(3, repeats // 2)))
        own, profiled_wall = profiled[len(profiled) // 2]
    connect, baseline = statistics.median(framework), statistics.median(bare)
    rows = [
        _row("%s: connect" % kind, connect * 1e3, "ms", baseline * 1e3,
             "<= %.1fx bare script" % CONNECT_TARGET, connect <= CONNECT_TARGET * baseline),
        _row("%s: broker's own code" % kind, own * 1e3, "ms", baseline * 1e3,
             "< %d%% of bare script" % round(BROKER_TARGET * 100), own < BROKER_TARGET * baseline),
        _row("%s: device round trips" % kind, len(sent), "lines", len(documented),
             "<= documented steps", len(sent) <= len(documented)),
    ]
    if kind == "quad":
        waits = mandated_waits(kind)
        rows.append(_row("quad: connect beyond answer-test waits", (connect - waits) * 1e3, "ms",
                         (baseline - waits) * 1e3, "<= %.1fx bare script" % CONNECT_TARGET,
                         connect - waits <= CONNECT_TARGET * (baseline - waits)))
        notes.append("quad: answer-test waits %.0f ms (DETECT_RPR_TIMEOUT %.1f s: %d sleeps, "
                     "%d silent-console expects) in both columns"
                     % (waits * 1e3, RPR_TIMEOUT, len(sim.consoles), waits / RPR_TIMEOUT - len(sim.consoles)))
    if sent != documented:
        notes.append("%s: the framework's lines differ from the documented conversation:\n"
                     "  framework:  %s\n  documented: %s" % (kind, sent, documented))
    notes.append("%s: broker's own code %.2f ms of a profiled connect of %.0f ms (median of %d)"
                 % (kind, own * 1e3, profiled_wall * 1e3, len(profiled)))
    return rows


def run(quick: bool = False, notes: Optional[List[str]] = None) -> List[Dict[str, Any]]:
    """Rows of the bring-up benchmark for every chassis kind."""
    repeats = 3 if quick else 9
    notes = [] if notes is None else notes
    rows: List[Dict[str, Any]] = []
    for kind in KINDS:
        rows += measure_kind(kind, repeats, notes)
    return rows


def rows(quick: bool) -> list:
    """The same figures as rows of bench/run.py's table."""
    from harness import Row  # bench/ is on the path when run.py imports this module

    notes: List[str] = []
    result = []
    for r in run(quick=quick, notes=notes):
        baseline = "documented steps" if r["unit"] == "lines" else "bare pexpect script"
        result.append(Row("bringup", r["figure"], r["value"], r["unit"], baseline, r["baseline"],
                          r["ratio"], r["target"], r["ok"]))
    # Each note goes with the first row of its chassis kind ("quad: ...").
    for note in notes:
        kind, _, text = note.partition(": ")
        row = next((r for r in result if r.figure.startswith(kind + ":")), None)
        if row is not None:
            row.note = (row.note + "\n" if row.note else "") + text
    return result


def table(rows: List[Dict[str, Any]]) -> str:
    lines = ["%-42s %10s %10s  %-6s %7s  %-24s %s"
             % ("figure", "value", "baseline", "unit", "ratio", "target", "ok")]
    for r in rows:
        ratio = "-" if r["ratio"] is None else "%.3f" % r["ratio"]
        lines.append("%-42s %10.2f %10.2f  %-6s %7s  %-24s %s"
                     % (r["figure"], r["value"], r["baseline"], r["unit"], ratio, r["target"],
                        "yes" if r["ok"] else "NO"))
    return "\n".join(lines)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args(argv)
    notes: List[str] = []
    rows = run(quick=args.quick, notes=notes)
    print(table(rows))
    for note in notes:
        print(note)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bringup.json")
    with open(path, "w") as f:
        json.dump(rows, f, indent=2)
    print("written to %s" % path)
    return 0 if all(r["ok"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
