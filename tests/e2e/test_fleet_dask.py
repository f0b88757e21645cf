"""The same lab gives the same results on threads, on a LocalCluster started
by quorvi, and on a scheduler and workers started apart (all on 127.0.0.1)."""
import json
import os
import socket
import subprocess
import sys
import time

import pytest

from quorvi.fleet import Fleet, Task
from quorvi.sim.harness import SimulatedDevice

from .conftest import FAST, import_failure, write_inventory

try:
    import dask
    import distributed
except Exception as exc:  # not only ImportError: see import_failure
    pytest.skip(import_failure("dask.distributed", exc), allow_module_level=True)

# What differs between engines by nature: where and how fast a device ran.
VARYING = ("timings", "worker")


def comparable(results):
    return {r["name"]: {k: v for k, v in r.items() if k not in VARYING} for r in results}


@pytest.fixture(scope="module")
def lab():
    sims = [SimulatedDevice(profile, hostname=name).start()
            for name, profile in [("S1", "single"), ("D1", "dual"), ("K1", "stack")]]
    sims.append(SimulatedDevice("single", hostname="BAD",
                                misbehave={"a": {"close_after": "banner"}}).start())
    devices = [sim.device_kwargs(settings=FAST) for sim in sims]
    yield devices
    leaked = [pid for sim in sims for pid in sim.kill_consoles()]
    for sim in sims:
        sim.stop()
    assert not leaked, "console processes left running: %s" % leaked


@pytest.fixture(scope="module")
def on_threads(lab):
    results = [r.to_dict() for r in Fleet(lab).run(Task.execute("show version"), timeout=30)]
    assert sorted(r["name"] for r in results if r["ok"]) == ["D1", "K1", "S1"]
    return comparable(results)


@pytest.fixture
def dask_tmp(tmp_path, monkeypatch):
    """Dask's scratch space in the test's own directory, for this process and its children."""
    monkeypatch.setenv("DASK_TEMPORARY_DIRECTORY", str(tmp_path))
    with dask.config.set({"temporary-directory": str(tmp_path)}):
        yield tmp_path


@pytest.mark.parametrize("processes", [True, False], ids=["worker-processes", "in-process"])
def test_local_cluster_gives_the_thread_engine_results(lab, on_threads, dask_tmp, processes):
    results = [r.to_dict() for r in Fleet(lab).run(Task.execute("show version"), engine="dask",
                                                    workers=2, threads_per_worker=2, timeout=30,
                                                    processes=processes)]
    assert comparable(results) == on_threads
    pids = {int(r["worker"].rpartition(":")[2]) for r in results}
    assert (os.getpid() in pids) is not processes and (processes or pids == {os.getpid()})


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _stop(processes):
    for process in processes:
        process.terminate()
    for process in processes:
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def test_quorvi_run_on_a_scheduler_and_workers_started_apart(lab, on_threads, dask_tmp):
    port = _free_port()
    address = "tcp://127.0.0.1:%d" % port
    inventory, results = write_inventory(dask_tmp / "lab.json", lab), dask_tmp / "out.jsonl"
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "cwd": str(dask_tmp)}
    processes = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler",
                                   "--host", "127.0.0.1", "--port", str(port),
                                   "--no-dashboard"], **quiet)]
    try:
        for _ in range(2):
            processes.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", address, "--host",
                 "127.0.0.1", "--nthreads", "2", "--no-nanny", "--no-dashboard",
                 "--local-directory", str(dask_tmp)], **quiet))
        with distributed.Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
        run = subprocess.run([sys.executable, "-m", "quorvi", "run", "--inventory",
                              str(inventory), "--scheduler", address, "--results", str(results),
                              "--timeout", "30", "--execute", "show version"],
                             capture_output=True, text=True, timeout=120)
    finally:
        _stop(processes)
    assert run.returncode == 1, run.stderr  # BAD fails, so not every device succeeded
    assert "1 x ConnectionError" in run.stderr
    lines = [json.loads(line) for line in results.read_text().splitlines()]
    assert comparable(lines) == on_threads
    worker_pids = {p.pid for p in processes[1:]}  # without a nanny, the worker is the process
    assert {int(r["worker"].rpartition(":")[2]) for r in lines} <= worker_pids
    deadline = time.monotonic() + 10
    while any(p.poll() is None for p in processes) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert all(p.poll() is not None for p in processes)
