"""Fleet runs: devices per second on the thread engine and on Dask, peak open
file descriptors, resident memory per connected device, and a peer library
on the same work.

The devices come from a device source: a context manager factory that takes
a device count and yields plain device descriptions, stopping the devices
afterwards. `served` (the default) is one `quorvi sim serve` process for the
whole lab (70 % single RP, 20 % dual RP, 10 % 3-member stacks), each line
a `console:` line to its port (telnet spoken by quorvi, no process per
line); `pty` starts one simulated single-RP device process per description.

Figures, all from one run:
- devices/s: every device brought up, asked `show version`, torn down,
  through quorvi.fleet on the thread engine (wall time of the whole run);
- CPU time per device of this process in that run, beside the CPU time of
  the lines' processes and of the console server (where the cores go);
- peak open descriptors of this process during that run (sampled every 5 ms);
- resident memory per connected device: this process's RSS with H devices up
  at once (a task function waits on a barrier), minus the RSS before, over H.
  Lines that are processes (the pty source's) are not in it: their RSS and
  PSS per line are reported apart (PSS shares their common pages out);
- Dask: a LocalCluster of 2 worker processes against 1, the same threads per
  worker, on the whole lab (devices per second, ratio; cluster start apart),
  and Dask (2 worker processes; in-process workers) against the thread
  engine on 100 devices, in alternating rounds, with each one's CPU;
- the peer: netmiko (`cisco_ios_telnet`, its defaults: connect, enable,
  `show version`, disconnect) in a thread pool of the size quorvi uses, on
  the same single-RP devices of the same lab (quorvi through `console:`
  lines to the ports netmiko is given), against quorvi on them; and with
  `fast_cli=True` on fresh consoles and on warm ones (a second pass).

`make bench` runs it with the other benchmarks (`rows`); on its own:
.venv/bin/python bench/bench_fleet.py [--devices N] [--source served|pty] [--workers W]
                                      [--quick] [--no-dask] [--no-peer]
"""
import argparse
import contextlib
import logging
import os
import resource
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, Iterator, List, Optional

from harness import Row

from quorvi.fleet import Fleet, Task
from quorvi.fleet.limits import open_fds

MIX = "single=70,dual=20,stack=10"
# 1,000 devices in 30 s.
TARGET_RATE = 1000 / 30
TARGET_MB_PER_DEVICE = 2.0
TARGET_DASK_AGAINST_THREADS = 0.9  # Dask within 10 % of the thread engine
TARGET_PEER_RATIO = 10.0
TARGET_PEER_WARM_RATIO = 5.0  # against netmiko with fast_cli=True, both on warm consoles
TARGET_AGAIN_RATIO = 0.8  # the second run on warm consoles against the first
SETTINGS = {"CONNECTION_TIMEOUT": 60}


@contextlib.contextmanager
def pty_source(count: int) -> Iterator[List[Dict[str, Any]]]:
    from quorvi.sim.harness import SimulatedDevice

    sims = []
    try:
        for i in range(count):
            sims.append(SimulatedDevice("single", hostname="R%d" % i).start())
        yield [sim.device_kwargs(settings=SETTINGS) for sim in sims]
    finally:
        for sim in sims:
            sim.stop()


@contextlib.contextmanager
def served_source(count: int, transport: str = "console") -> Iterator[List[Dict[str, Any]]]:
    from quorvi.sim.served_lab import ServedLab

    # A process of its own, as a user runs it: the server's loop does not
    # share this process's interpreter lock with the fleet it serves.
    with ServedLab(devices=count, mix=MIX, process=True) as lab:
        yield [lab.device_kwargs(name, transport=transport, settings=SETTINGS)
               for name in lab.inventory["devices"]]


SOURCES: Dict[str, Callable[[int], Any]] = {"served": served_source, "pty": pty_source}


def rss_kib(pid: str = "self") -> int:
    try:
        with open("/proc/%s/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass  # the process has just ended
    return 0


def pss_kib(pid: str) -> int:
    try:
        with open("/proc/%s/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def command_of(pid: str) -> str:
    try:
        with open("/proc/%s/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return ""


def children() -> List[str]:
    """Pids of this process's children (the lines' client processes)."""
    found = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/children" % task) as f:
                found.extend(f.read().split())
        except OSError:
            pass
    return found


def cpu_seconds(servers: List[str]) -> Dict[str, float]:
    """CPU time used so far by this process, by its ended children (the
    lines' processes) and by the processes `servers`."""
    me = resource.getrusage(resource.RUSAGE_SELF)
    ended = resource.getrusage(resource.RUSAGE_CHILDREN)
    server = 0.0
    for pid in servers:
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rpartition(")")[2].split()
            server += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            pass
    return {"quorvi": me.ru_utime + me.ru_stime, "lines": ended.ru_utime + ended.ru_stime,
            "server": server}


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
    _held["barrier"].wait(timeout=120)
    return 0


def spread(devices: List[Dict[str, Any]], count: int) -> List[Dict[str, Any]]:
    """`count` devices taken evenly across the lab, so the chassis mix stays."""
    if count >= len(devices):
        return list(devices)
    return [devices[i * len(devices) // count] for i in range(count)]


def lines_of(devices: List[Dict[str, Any]]) -> int:
    return sum(len(d.get("connections") or {}) or 1 for d in devices)


def run_all(devices: List[Dict[str, Any]], what: str, **options: Any) -> float:
    """Wall time of one fleet run; every device must succeed."""
    began = time.monotonic()
    results = list(Fleet(devices).run(Task.execute("show version"), **options))
    wall = time.monotonic() - began
    failed = [r for r in results if not r.ok]
    if failed:
        raise SystemExit("bench_fleet (%s): %d device(s) failed, e.g. %s"
                         % (what, len(failed), failed[0].error))
    if any("Version" not in r.outputs.get("show version", "") for r in results):
        raise SystemExit("bench_fleet (%s): a device did not answer show version" % what)
    return wall


def measure(devices: List[Dict[str, Any]], workers: int, hold: int) -> Dict[str, float]:
    """The thread engine on fresh consoles, then, on the same lab, devices
    held up at once (memory) and a second run (consoles left at a prompt)."""
    servers = children()  # the simulated console server, when it is a process of its own
    cpu_before = cpu_seconds(servers)
    with FdSampler() as fds:
        wall = run_all(devices, "threads", workers=workers)
    cpu = {k: v - cpu_before[k] for k, v in cpu_seconds(servers).items()}
    held = spread(devices, hold)
    before = rss_kib()
    sample: Dict[str, Any] = {}
    others = set(children())

    def at_barrier() -> None:
        pids = [p for p in children() if p not in others]  # the held devices' lines
        sample.update(rss=rss_kib(), clients=len(pids),
                      commands=", ".join(sorted({command_of(p) for p in pids})),
                      client_rss=sum(rss_kib(p) for p in pids),
                      client_pss=sum(pss_kib(p) for p in pids))

    _held["barrier"] = threading.Barrier(len(held), action=at_barrier)
    results = list(Fleet(held).run(Task.call(hold_until_all_up), workers=len(held)))
    if not all(r.ok for r in results) or not sample:
        raise SystemExit("bench_fleet: holding %d devices up at once failed: %s" % (
            len(held), next((r.error for r in results if not r.ok), "")))
    again = spread(devices, min(len(devices), 100))
    lines = max(1, int(sample["clients"]))
    return {"wall": wall, "rate": len(devices) / wall, "peak_fds": fds.peak,
            "held": len(held), "held_lines": lines_of(held), "clients": sample["clients"],
            "commands": sample["commands"],
            "rss_per_device": (sample["rss"] - before) / len(held),
            "client_rss": sample["client_rss"] / lines, "client_pss": sample["client_pss"] / lines,
            "cpu": cpu, "again": len(again), "again_rate": len(again) / run_all(again, "again",
                                                                    workers=workers)}


def dask_cluster(processes: int, threads: int, in_process: bool = False) -> Any:
    """A LocalCluster whose workers have imported the framework already (their
    start is reported apart)."""
    from quorvi.fleet import DaskEngine

    engine = DaskEngine(workers=processes, threads_per_worker=threads, processes=not in_process)
    engine.client.run(__import__, "quorvi.device")
    return engine


def engine_cpu(engine: Any) -> Dict[str, float]:
    """CPU seconds so far: this process (with a LocalCluster's scheduler and
    nannies, and its workers when they are threads here), the worker
    processes, and the lines' processes of either."""
    me = resource.getrusage(resource.RUSAGE_SELF)
    ended = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = {"here": me.ru_utime + me.ru_stime, "workers": 0.0,
           "lines": ended.ru_utime + ended.ru_stime}
    if engine is not None and engine.processes:
        for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
            used = sum(u.ru_utime + u.ru_stime for u in engine.client.run(
                resource.getrusage, who).values())
            cpu["workers" if who == resource.RUSAGE_SELF else "lines"] += used
    return cpu


def dask_figures(source: Callable[[int], Any], count: int, threads: int,
                 small: int, rounds: int) -> Dict[str, Any]:
    """Devices per second on 1 and on 2 worker processes (each on a fresh lab),
    then Dask against the thread engine: in each of `rounds` rounds, on
    slices of `small` devices of one lab (same mix), the thread engine, a
    LocalCluster of 2 worker processes and one of in-process workers (the
    same threads in all), in an order that turns each round; the medians of
    the per-round ratios, and each engine's CPU (summed over the rounds)."""
    figures: Dict[str, Any] = {}
    engines: Dict[str, Any] = {"threads": None}
    try:
        for processes in (1, 2):
            began = time.monotonic()
            engine = dask_cluster(processes, threads)
            figures["start%d" % processes] = time.monotonic() - began
            if processes == 2:
                engines["dask"] = engine
            try:
                with source(count) as devices:
                    wall = run_all(devices, "dask, %d workers" % processes, engine=engine)
                figures["rate%d" % processes] = count / wall
            finally:
                if processes == 1:
                    engine.close()
        engines["dask in-process"] = dask_cluster(2, threads, in_process=True)
        rates: Dict[str, List[float]] = {name: [] for name in engines}
        cpu = {name: dict.fromkeys(("here", "workers", "lines"), 0.0) for name in engines}
        with source(len(engines) * small * rounds) as devices:
            slices = [devices[i::len(engines) * rounds] for i in range(len(engines) * rounds)]
            names = list(engines)
            for r in range(rounds):
                for name in names[r % len(names):] + names[:r % len(names)]:
                    engine, chosen = engines[name], slices.pop()
                    before = engine_cpu(engine)
                    options = {"engine": engine} if engine else {"workers": 2 * threads}
                    rates[name].append(len(chosen) / run_all(chosen, name, **options))
                    for k, v in engine_cpu(engine).items():
                        cpu[name][k] += v - before[k]
        for name in engines:
            if name != "threads":
                figures[name] = {
                    "rate": statistics.median(rates[name]),
                    "ratio": statistics.median(d / t for d, t in zip(rates[name],
                                                                   rates["threads"])),
                    "cpu": cpu[name]}
        figures["threads"] = {"rate": statistics.median(rates["threads"]), "cpu": cpu["threads"]}
    finally:
        for engine in engines.values():
            if engine is not None:
                engine.close()
    figures["rounds"], figures["small"] = rounds, small
    return figures


def port_of(description: Dict[str, Any]) -> int:
    line = next(iter(description["connections"].values()))
    return int(line["console"].rpartition(":")[2] if "console" in line
               else line["command"].split()[-1])


def peer_device(port: int, secret: str, tuned: bool) -> None:
    from netmiko import ConnectHandler

    options = {"fast_cli": True} if tuned else {}
    connection = ConnectHandler(device_type="cisco_ios_telnet", host="127.0.0.1", port=port,
                                secret=secret, **options)
    try:
        connection.enable()
        output = connection.send_command("show version")
    finally:
        connection.disconnect()
    if "Version" not in output:
        raise SystemExit("bench_fleet: netmiko got no show version output on port %d" % port)


def peer_rate(devices: List[Dict[str, Any]], workers: int, tuned: bool = False) -> float:
    logging.getLogger("netmiko").setLevel(logging.CRITICAL)
    secrets = [(d.get("credentials") or {}).get("enable_password") or "" for d in devices]
    began = time.monotonic()
    with ThreadPoolExecutor(workers) as pool:
        list(pool.map(peer_device, [port_of(d) for d in devices], secrets,
                      [tuned] * len(devices)))
    return len(devices) / (time.monotonic() - began)


def singles(devices: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
    return [d for d in devices if d.get("chassis_type") == "single_rp"][:50]


def peer_figures(count: int, workers: int, tuned: bool) -> Dict[str, float]:
    """The first 50 single-RP devices of the served lab, as `console:` lines
    (netmiko is given the same host and port). Each client meets them fresh
    (a lab started anew for each: a console keeps its session between
    clients), then warm: a second pass over the same lab, after its own
    first pass has left the consoles as it leaves them."""
    figures: Dict[str, float] = {}
    with served_source(count, "console") as devices:
        chosen = singles(devices)
        figures["count"] = len(chosen)
        figures["quorvi"] = len(chosen) / run_all(chosen, "threads", workers=workers)
        servers = children()
        before = cpu_seconds(servers)
        figures["quorvi_again"] = len(chosen) / run_all(chosen, "again", workers=workers)
        figures.update(("again_cpu_" + k, v - before[k]) for k, v in cpu_seconds(servers).items())
    with served_source(count, "console") as devices:
        figures["peer"] = peer_rate(singles(devices), workers)
    if tuned:
        with served_source(count, "console") as devices:
            figures["peer_fast"] = peer_rate(singles(devices), workers, tuned=True)
            figures["peer_fast_again"] = peer_rate(singles(devices), workers, tuned=True)
    return figures


def rows(quick: bool = False, count: int = 0, source: str = "served", workers: int = 32,
         dask: bool = True, peer: bool = True, hold: int = 0) -> List[Row]:
    count = count or (50 if quick else 1000)
    hold = hold or min(count, 250)
    peer = peer and source == "served"  # the peer opens telnet ports
    small = min(100, count)
    with SOURCES[source](count) as devices:
        total_lines = lines_of(devices)
        m = measure(devices, workers, hold)
    d = dask_figures(SOURCES[source], count, workers // 2, small, 1 if quick else 3) \
        if dask else {}
    p = peer_figures(count, workers, tuned=not quick) if peer else {}
    kinds = "mixed" if source == "served" else "single-RP"
    group = "fleet (%s, %d %s devices, %d lines, %d threads)" % (
        source, count, kinds, total_lines, workers)
    out = [
        Row(group, "fleet: bring-up + show version, devices per second", m["rate"], "dev/s",
            target=">= %.1f dev/s (1,000 in 30 s)" % TARGET_RATE, passed=m["rate"] >= TARGET_RATE,
            note="%d devices in %.1f s on the thread engine" % (count, m["wall"])),
        Row(group, "fleet: CPU per device, the quorvi process", m["cpu"]["quorvi"] / count * 1000,
            "ms", note="in the run above, %.1f s of %.1f s wall: %.0f %% of one core (the rest of "
                       "the CPU: the lines' processes %.1f s, the console server %.1f s)"
                       % (m["cpu"]["quorvi"], m["wall"], 100 * m["cpu"]["quorvi"] / m["wall"],
                          m["cpu"]["lines"], m["cpu"]["server"])),
        Row(group, "fleet: peak open descriptors (quorvi process)", m["peak_fds"], "fds"),
        Row(group, "fleet: resident memory per connected device (quorvi process)",
            m["rss_per_device"] / 1024, "MB", target="<= %g MB" % TARGET_MB_PER_DEVICE,
            passed=m["rss_per_device"] / 1024 <= TARGET_MB_PER_DEVICE,
            note="RSS growth of this process with %d devices (%d lines) up at once, over %d; "
                 "one thread per held device included, line processes (if any) not"
                 % (m["held"], m["held_lines"], m["held"])),
        Row(group, "fleet: each line's process (%s), RSS" % m["commands"],
            m["client_rss"] / 1024, "MB",
            note="%d line processes at once; PSS %.2f MB each (their shared pages divided "
                 "out)" % (m["clients"], m["client_pss"] / 1024)) if m["clients"] else None,
        Row(group, "fleet: second run, %d devices, consoles left at a prompt" % m["again"],
            m["again_rate"], "dev/s", baseline="first run", baseline_value=m["rate"],
            ratio=m["again_rate"] / m["rate"],
            target=">= %gx first run" % TARGET_AGAIN_RATIO,
            passed=m["again_rate"] / m["rate"] >= TARGET_AGAIN_RATIO,
            note="a console server's line shows nothing to a new client: each line gets "
                 "its Return at once"),
    ]
    out = [row for row in out if row is not None]  # no line processes: no row for them
    if d:
        out.append(Row(group, "fleet: Dask LocalCluster, 2 worker processes", d["rate2"], "dev/s",
                       baseline="1 worker process", baseline_value=d["rate1"],
                       ratio=d["rate2"] / d["rate1"],
                       note="%d threads per worker process, %d devices; cluster start %.1f s "
                            "(1 worker) and %.1f s (2), not counted"
                            % (workers // 2, count, d["start1"], d["start2"])))
        t = d["threads"]["cpu"]
        for name, label in (("dask", "2 worker processes"), ("dask in-process", "in-process")):
            e = d[name]
            out.append(Row(
                group, "fleet: Dask (%s) against threads, %d devices" % (label, d["small"]),
                e["rate"], "dev/s", baseline="thread engine", baseline_value=d["threads"]["rate"],
                ratio=e["ratio"], target=">= %gx" % TARGET_DASK_AGAINST_THREADS,
                passed=e["ratio"] >= TARGET_DASK_AGAINST_THREADS,
                note="%d threads in all; median of %d rounds; CPU over the rounds: this process "
                     "%.2f s, worker processes %.2f s, lines %.2f s (thread engine: %.2f s, "
                     "lines %.2f s)" % (workers, d["rounds"], e["cpu"]["here"],
                                        e["cpu"]["workers"], e["cpu"]["lines"], t["here"],
                                        t["lines"])))
    if p:
        ratio = p["quorvi"] / p["peer"]
        out.append(Row(group, "fleet: quorvi against netmiko, %d single-RP devices" % p["count"],
                       p["quorvi"], "dev/s", baseline="netmiko (defaults)",
                       baseline_value=p["peer"], ratio=ratio,
                       target=">= %gx faster" % TARGET_PEER_RATIO,
                       passed=ratio >= TARGET_PEER_RATIO,
                       note="%d threads each; connect, enable, show version, disconnect; each "
                            "on the devices fresh" % workers))
        out.append(Row(group, "fleet: quorvi's second run against netmiko", p["quorvi_again"],
                       "dev/s", baseline="netmiko (defaults)", baseline_value=p["peer"],
                       ratio=p["quorvi_again"] / p["peer"]))
        if "peer_fast" in p:
            out.append(Row(group, "fleet: quorvi against netmiko with fast_cli=True",
                           p["quorvi"], "dev/s", baseline="netmiko (fast_cli)",
                           baseline_value=p["peer_fast"], ratio=p["quorvi"] / p["peer_fast"]))
            warm = p["quorvi_again"] / p["peer_fast_again"]
            out.append(Row(
                group, "fleet: quorvi against netmiko with fast_cli=True, warm consoles",
                p["quorvi_again"], "dev/s", baseline="netmiko (fast_cli), warm",
                baseline_value=p["peer_fast_again"], ratio=warm,
                target=">= %gx faster" % TARGET_PEER_WARM_RATIO,
                passed=warm >= TARGET_PEER_WARM_RATIO,
                note="each side's second pass over its own lab; CPU of quorvi's: this process "
                     "%.2f s, line processes %.2f s, the console server %.2f s"
                     % (p["again_cpu_quorvi"], p["again_cpu_lines"], p["again_cpu_server"])))
    return out


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--devices", type=int, default=0, help="default 1000 (--quick: 50)")
    parser.add_argument("--source", choices=sorted(SOURCES), default="served")
    parser.add_argument("--workers", type=int, default=32)
    parser.add_argument("--hold", type=int, default=0,
                        help="devices held up at once for the memory figure (default: "
                             "all, at most 250)")
    parser.add_argument("--quick", action="store_true", help="50 devices")
    parser.add_argument("--no-dask", action="store_true", help="not the Dask engine")
    parser.add_argument("--no-peer", action="store_true", help="not netmiko")
    args = parser.parse_args(argv)
    for row in rows(quick=args.quick, count=args.devices, source=args.source,
                    workers=args.workers, dask=not args.no_dask, peer=not args.no_peer,
                    hold=args.hold):
        ratio = "" if row.ratio is None else "  (%s %.3g, ratio %.2f)" % (
            row.baseline, row.baseline_value, row.ratio)
        verdict = {True: "  pass", False: "  FAIL", None: ""}[row.passed]
        print("%-62s %8.3g %s%s%s" % (row.figure, row.value, row.unit, ratio, verdict))
        if row.note:
            print("    " + row.note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
