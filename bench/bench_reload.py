"""Reloads: how long `Device.reload()` takes beyond the device's own boot.

A simulated device of each chassis kind (boot time BOOT) is connected once
and reloaded RELOADS times in a row (5 with --quick). For each reload the
report gives when the last rebooting console showed its prompt again; the
figure is the median time from there to the call returning (answering
nothing more, the bring-up through the link broker, `show version` on each
line for the evidence). Beside it the boot itself: command sent to prompt.
A quad's bring-up waits DETECT_RPR_TIMEOUT on every console to tell the
silent ones (a sleep and a wait per console, two per silent one): that
mandated wait is shown and also taken out.

`make bench` runs it with the other benchmarks; on its own:
.venv/bin/python bench/bench_reload.py [--quick]
"""
import statistics
import sys
from typing import Dict, List

from quorvi.device import Device
from quorvi.sim.harness import SimulatedDevice

GROUP = "reload"
RELOADS = 20
BOOT = 0.5
TARGET = 0.3  # seconds from the prompt to the call returning
RPR_TIMEOUT = 0.1
SETTINGS = {"CONNECTION_TIMEOUT": 10, "EXEC_TIMEOUT": 10, "DETECT_RPR_TIMEOUT": RPR_TIMEOUT,
            "PROMPT_NUDGE_INTERVAL": 0.3}
KINDS = (("single", {}), ("dual", {}), ("stack", {"members": 4}), ("quad", {}))


def mandated_waits(kind: str, sim: SimulatedDevice) -> float:
    if kind != "quad":
        return 0.0
    silent = sum(1 for c in sim.device["consoles"] if c.get("silent"))
    return RPR_TIMEOUT * (len(sim.consoles) + silent)


def measure(kind: str, options: Dict, count: int) -> Dict[str, float]:
    after: List[float] = []
    boots: List[float] = []
    with SimulatedDevice(kind, boot_time=BOOT, **options) as sim:
        device = Device(**sim.device_kwargs(settings=SETTINGS))
        try:
            device.connect()
            for _ in range(count):
                report = device.reload(timeout=30)
                prompt = report.phase("prompt")
                after.append(report.duration - prompt)
                boots.append(prompt - report.phase("command sent"))
        finally:
            device.destroy()
        waits = mandated_waits(kind, sim)
    return {"after": statistics.median(after), "worst": max(after),
            "boot": statistics.median(boots), "waits": waits}


def rows(quick: bool) -> list:
    from harness import Row  # bench/ is on the path when run.py imports this module

    count = 5 if quick else RELOADS
    result = []
    for kind, options in KINDS:
        m = measure(kind, options, count)
        own = m["after"] - m["waits"]
        note = "worst %.0f ms" % (m["worst"] * 1e3)
        if m["waits"]:
            note += "; of it %.0f ms of mandated answer-test waits" % (m["waits"] * 1e3)
        result.append(Row(GROUP, "%s: prompt back to reload() returning (%d reloads)"
                          % (kind, count), m["after"] * 1e3, "ms",
                          "the simulated boot (command to prompt)", m["boot"] * 1e3,
                          m["after"] / m["boot"], "<= %g s beyond the boot" % TARGET,
                          own <= TARGET, note))
    return result


def main(argv: List[str]) -> int:
    quick = "--quick" in argv
    failed = 0
    for kind, options in KINDS:
        m = measure(kind, options, 5 if quick else RELOADS)
        own = m["after"] - m["waits"]
        failed += own > TARGET
        print("%-6s boot %4.0f ms   prompt -> return %4.0f ms (worst %4.0f ms, mandated waits "
              "%3.0f ms)" % (kind, m["boot"] * 1e3, m["after"] * 1e3, m["worst"] * 1e3,
                             m["waits"] * 1e3))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
