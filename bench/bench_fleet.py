"""Fleet runs: devices per second on the thread engine, peak open file
descriptors, and resident memory per connected device.

The devices come from a device source: a context manager factory that takes
a device count and yields plain device descriptions, stopping the devices
afterwards. `pty` (the default) starts one per-process simulated single-RP
device per description; another source plugs in through SOURCES.

Figures:
- devices/s: N devices brought up, each asked `show version`, torn down,
  through quorvi.fleet on the thread engine (wall time of the whole run);
- peak open descriptors of this process during that run (sampled every 5 ms);
- resident memory per connected device: this process's RSS with all N
  devices up at once (a task function waits on a barrier), minus the RSS
  before, over N. The simulated consoles are other processes, not counted.

`make bench` runs it with the other benchmarks (`rows`); on its own:
.venv/bin/python bench/bench_fleet.py [--devices N] [--source pty] [--workers W]
"""
import argparse
import contextlib
import sys
import threading
import time
from typing import Any, Callable, Dict, Iterator, List

from harness import Row

from quorvi.fleet import Fleet, Task
from quorvi.fleet.limits import open_fds


@contextlib.contextmanager
def pty_source(count: int) -> Iterator[List[Dict[str, Any]]]:
    from quorvi.sim.harness import SimulatedDevice

    sims = []
    try:
        for i in range(count):
            sims.append(SimulatedDevice("single", hostname="R%d" % i).start())
        yield [sim.device_kwargs(settings={"CONNECTION_TIMEOUT": 60}) for sim in sims]
    finally:
        for sim in sims:
            sim.stop()


SOURCES: Dict[str, Callable[[int], Any]] = {"pty": pty_source}


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class FdSampler:
    def __init__(self, every: float = 0.005) -> None:
        self.every = every
        self.peak = open_fds()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.wait(self.every):
            self.peak = max(self.peak, open_fds())

    def __enter__(self) -> "FdSampler":
        self._thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self._stop.set()
        self._thread.join()


_held: Dict[str, Any] = {}


def hold_until_all_up(device: Any) -> int:
    """Task function: wait until every device of the run is up (the barrier
    measures then), so that all are connected at once."""
    _held["barrier"].wait(timeout=300)
    return 0


def measure(devices: List[Dict[str, Any]], workers: int) -> Dict[str, float]:
    fleet = Fleet(devices)
    with FdSampler() as fds:
        began = time.monotonic()
        results = list(fleet.run(Task.execute("show version"), workers=workers))
        wall = time.monotonic() - began
    failed = [r for r in results if not r.ok]
    if failed:
        raise SystemExit("bench_fleet: %d device(s) failed, e.g. %s" % (len(failed), failed[0].error))
    before = rss_kib()
    sample: Dict[str, int] = {}
    _held["barrier"] = threading.Barrier(len(devices), action=lambda: sample.update(rss=rss_kib()))
    held = list(fleet.run(Task.call(hold_until_all_up), workers=len(devices)))
    if not all(r.ok for r in held):
        raise SystemExit("bench_fleet: holding the devices up failed")
    return {"devices": len(devices), "wall": wall, "rate": len(devices) / wall,
            "peak_fds": fds.peak, "rss_per_device": (sample["rss"] - before) / len(devices)}


def rows(quick: bool = False, count: int = 0, source: str = "pty", workers: int = 32) -> List[Row]:
    count = count or (50 if quick else 200)
    with SOURCES[source](count) as devices:
        m = measure(devices, workers)
    group = "fleet (%s, %d single-RP devices, %d threads)" % (source, count, workers)
    return [
        Row(group, "fleet: bring-up + show version, devices per second", m["rate"], "dev/s",
            note="%d devices in %.1f s on the thread engine" % (count, m["wall"])),
        Row(group, "fleet: peak open descriptors", m["peak_fds"], "fds"),
        Row(group, "fleet: resident memory per connected device",
            m["rss_per_device"] / 1024, "MB"),
    ]


def main(argv: Any = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--devices", type=int, default=200)
    parser.add_argument("--source", choices=sorted(SOURCES), default="pty")
    parser.add_argument("--workers", type=int, default=32)
    args = parser.parse_args(argv)
    for row in rows(count=args.devices, source=args.source, workers=args.workers):
        print("%-55s %10.3g %s" % (row.figure, row.value, row.unit))
    return 0


if __name__ == "__main__":
    sys.exit(main())
