"""Replaying a cassette: a bring-up and 200 commands recorded against the
simulator (single RP, answering at once), replayed with --fast on
pseudo-terminals (the replay consoles `quorvi sim replay` hands out) by the
same script: connect, 200 executes, destroy. Beside it, for scale, the same
script against the simulator itself.

`make bench` runs it with the other benchmarks; on its own:
.venv/bin/python bench/bench_replay.py [--quick]
"""
import os
import statistics
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List

from quorvi.device import Device
from quorvi.sim.harness import SimulatedDevice
from quorvi.replay.replayed_device import ReplayedDevice

GROUP = "replay"
COMMANDS = 200
TARGET = 1.0  # seconds for the whole replayed run
SETTINGS = {"CONNECTION_TIMEOUT": 10, "EXEC_TIMEOUT": 10}
CYCLE = ("show version", "show redundancy state", "show running-config", "show switch")


def script(kwargs: Dict[str, Any], connect: Dict[str, Any]) -> None:
    dev = Device(**kwargs)
    try:
        dev.connect(**connect)
        for number in range(COMMANDS):
            command = CYCLE[number % len(CYCLE)]
            try:
                dev.execute(command)
            except Exception:
                if command != "show switch":  # a single RP rejects it: recorded too
                    raise
    finally:
        dev.destroy()


def timed(run: Callable[[], None]) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def measure(quick: bool) -> Dict[str, float]:
    repetitions = 1 if quick else 3
    folder = tempfile.mkdtemp(prefix="quorvi-bench-replay-")
    cassette = os.path.join(folder, "r1.jsonl")
    try:
        with SimulatedDevice("single") as sim:
            kwargs = sim.device_kwargs(settings=SETTINGS)
            recording = timed(lambda: script(dict(kwargs, record=cassette), {}))
            live: List[float] = []
            replayed: List[float] = []
            for _ in range(repetitions):
                live.append(timed(lambda: script(kwargs, {})))
                with ReplayedDevice(cassette, fast=True) as replay:
                    replay_kwargs = replay.device_kwargs(settings=SETTINGS)
                    replayed.append(timed(lambda: script(replay_kwargs, replay.connect_options())))
                    replay.check()
        return {"replayed": statistics.median(replayed), "live": statistics.median(live),
                "recording": recording, "size": os.path.getsize(cassette)}
    finally:
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)


def rows(quick: bool) -> list:
    from harness import Row  # bench/ is on the path when run.py imports this module

    m = measure(quick)
    return [
        Row(GROUP, "replay of a %d-command cassette with --fast (connect, commands, destroy)"
            % COMMANDS, m["replayed"] * 1000, "ms", "the same script against the simulator",
            m["live"] * 1000, m["replayed"] / m["live"], "< %g s" % TARGET,
            m["replayed"] < TARGET),
        Row(GROUP, "recording that run (cassette of %d kB)" % round(m["size"] / 1024),
            m["recording"] * 1000, "ms"),
    ]


if __name__ == "__main__":
    result = measure("--quick" in sys.argv[1:])
    print("replayed %.3f s, live simulator %.3f s, recording %.3f s, cassette %d bytes"
          % (result["replayed"], result["live"], result["recording"], result["size"]))
    sys.exit(0 if result["replayed"] < TARGET else 1)
