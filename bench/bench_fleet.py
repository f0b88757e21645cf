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
  before, over N. The simulated consoles are other processes, not counted;
- the Dask engine on the same devices: a LocalCluster of 2 worker processes
  against 1 (devices per second, ratio), and its devices per second against
  the thread engine's (the overhead of the cluster, its start included).

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


def dask_rate(devices: List[Dict[str, Any]], processes: int, threads: int) -> Dict[str, float]:
    """Devices per second on a LocalCluster, the cluster's start and stop not
    included (they are reported apart)."""
    from quorvi.fleet import DaskEngine

    began = time.monotonic()
    engine = DaskEngine(workers=processes, threads_per_worker=threads)
    started = time.monotonic()
    try:
        results = list(Fleet(devices).run(Task.execute("show version"), engine=engine))
        ran = time.monotonic() - started
    finally:
        engine.close()
    if not all(r.ok for r in results):
        raise SystemExit("bench_fleet: a device failed on the Dask engine")
    return {"rate": len(devices) / ran, "start": started - began}


def rows(quick: bool = False, count: int = 0, source: str = "pty", workers: int = 32,
         dask: bool = True) -> List[Row]:
    count = count or (50 if quick else 200)
    with SOURCES[source](count) as devices:
        m = measure(devices, workers)
        if dask:
            one = dask_rate(devices, 1, workers // 2)
            two = dask_rate(devices, 2, workers // 2)
    group = "fleet (%s, %d single-RP devices, %d threads)" % (source, count, workers)
    dask_rows = [
        Row(group, "fleet: Dask LocalCluster, 2 worker processes", two["rate"], "dev/s",
            baseline="1 worker process", baseline_value=one["rate"],
            ratio=two["rate"] / one["rate"], target=">= 1.6x faster",
            passed=two["rate"] / one["rate"] >= 1.6,
            note="%d threads per worker process; cluster start %.1f s (not counted)"
                 % (workers // 2, two["start"])),
        Row(group, "fleet: Dask (2 workers) against threads", two["rate"], "dev/s",
            baseline="thread engine", baseline_value=m["rate"], ratio=two["rate"] / m["rate"]),
    ] if dask else []
    return dask_rows + [
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
    parser.add_argument("--no-dask", action="store_true", help="the thread engine only")
    args = parser.parse_args(argv)
    for row in rows(count=args.devices, source=args.source, workers=args.workers,
                    dask=not args.no_dask):
        ratio = "" if row.ratio is None else "  (%s %.3g, ratio %.2f)" % (
            row.baseline, row.baseline_value, row.ratio)
        print("%-62s %8.3g %s%s" % (row.figure, row.value, row.unit, ratio))
    return 0


if __name__ == "__main__":
    sys.exit(main())
