"""Fleet runs on simulated devices: isolation, time limits, session logs, Ctrl-C."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from quorvi.fleet import Fleet, Task
from quorvi.sim.harness import SimulatedDevice

from .conftest import FAST, write_inventory

QUORVI = [sys.executable, "-m", "quorvi"]


@pytest.fixture
def lab():
    """Factory: lab(name, profile, **options) -> a device description of a
    started simulated device; every console process is gone at teardown."""
    sims = []

    def add(name, profile="single", settings=None, **options):
        sim = SimulatedDevice(profile, hostname=name, **options).start()
        sims.append(sim)
        return dict(sim.device_kwargs(settings=dict(FAST, **(settings or {}))), groups=["lab"])

    add.sims = sims
    yield add
    leaked = []
    for sim in sims:
        leaked += sim.kill_consoles()
        sim.stop()
    assert not leaked, "console processes left running: %s" % leaked


def test_failing_and_hanging_devices_neither_stop_nor_slow_the_others(lab):
    good = [lab("G%d" % i, profile) for i, profile in enumerate(["single", "dual", "stack"])]
    closed = lab("CLOSED", misbehave={"a": {"close_after": "banner"}})
    # Silent for longer than the device's time limit: only the limit ends it.
    hung = lab("HUNG", console_options={"a": {"silent": True}},
               settings={"CONNECTION_TIMEOUT": 60})
    began = time.monotonic()
    results = list(Fleet([hung, closed] + good).run(Task.execute("show version"), timeout=3,
                                                      workers=5))
    wall = time.monotonic() - began
    by_name = {r.name: r for r in results}
    assert [r.name for r in results][-1] == "HUNG"
    for device in good:
        result = by_name[device["name"]]
        assert result.ok, result.error
        assert "Orbix Software" in result.outputs["show version"]
        assert result.elapsed < 3
    assert by_name["G1"].lines == {"a": "active", "b": "standby"}
    assert by_name["G2"].lines == {"m1": "active", "m2": "standby", "m3": "member"}
    assert not by_name["CLOSED"].ok and "CLOSED/a" in by_name["CLOSED"].error
    assert (by_name["HUNG"].ok, by_name["HUNG"].error_type) == (False, "DeviceStopped")
    assert "time limit of 3 s exceeded during connect" in by_name["HUNG"].error
    assert wall < 10  # the hung device was stopped at its limit, not at its 60 s bring-up limit


def test_session_logs_one_file_per_device_and_line_secrets_masked(lab, tmp_path):
    login = {"username": "ops", "password": "s3cr3t-pw"}
    devices = [lab("R%d" % i, "dual", login=login, enable_password="en-pw-%d" % i)
               for i in range(2)]
    results = list(Fleet(devices).run(Task.connect_only(), logs=str(tmp_path)))
    assert all(r.ok for r in results), [r.error for r in results]
    assert sorted(os.listdir(tmp_path)) == ["R0.a.log", "R0.b.log", "R1.a.log", "R1.b.log"]
    for path in tmp_path.iterdir():
        text = path.read_text()
        device, line, _ = path.name.split(".")
        other = "R1" if device == "R0" else "R0"
        records = [record.split(" ", 2) for record in text.splitlines()]
        assert {direction for _, direction, _ in records} == {"sent", "recv"}
        assert "console %s of %s " % (line, device) in text and " of %s " % other not in text
        assert "s3cr3t-pw" not in text and "en-pw" not in text
        assert '"********\\r"' in text  # the login password was sent, masked


def test_session_logs_of_console_server_lines(served_lab, tmp_path):
    # console: lines are connections of this process, not programs on a pty:
    # their logs hold the same conversation.
    served = served_lab({"devices": {"R1": {"kind": "dual"}}})
    device = served.device_kwargs("R1", settings=FAST)
    results = list(Fleet([device]).run(Task.execute("show version"), logs=str(tmp_path)))
    assert results[0].ok, results[0].error
    for line in ("a", "b"):
        records = [r.split(" ", 2) for r in (tmp_path / ("R1.%s.log" % line)).read_text()
                   .splitlines()]
        assert {direction for _, direction, _ in records} == {"sent", "recv"}
    assert '"show version\\r"' in (tmp_path / "R1.a.log").read_text()


def test_ctrl_c_closes_every_line_writes_valid_results_and_exits_130(lab, tmp_path):
    devices = [lab("FAST%d" % i) for i in range(2)]
    devices += [lab("SLOW%d" % i, response_delay=0.5) for i in range(3)]
    inventory, results = write_inventory(tmp_path / "lab.json", devices), tmp_path / "out.jsonl"
    # A shell without job control starts background jobs with SIGINT ignored,
    # and Python keeps an ignored SIGINT ignored: the run gets the default.
    run = subprocess.Popen(QUORVI + ["run", "--inventory", str(inventory), "--results",
                                     str(results), "--workers", "5", "--execute"] +
                           ["show version"] * 4, stderr=subprocess.PIPE, text=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and run.poll() is None and \
                (not results.exists() or results.read_text().count("\n") < 2):
            time.sleep(0.05)
        time.sleep(0.5)  # the slow devices are mid-way now
        run.send_signal(signal.SIGINT)
        _, stderr = run.communicate(timeout=30)
    finally:
        run.kill()
    assert run.returncode == 130, stderr
    assert "Traceback" not in stderr and "interrupted" in stderr
    lines = [json.loads(line) for line in results.read_text().splitlines()]
    # Each device counted once: those written, and those stopped or never started.
    assert "5 device(s): %d succeeded, 0 failed, %d not run" % (len(lines), 5 - len(lines)) \
        in stderr
    assert {line["name"] for line in lines} >= {"FAST0", "FAST1"}
    assert all(line["ok"] for line in lines)  # only devices that finished are written
    assert [pid for sim in lab.sims for pid in sim.console_pids()] == []


def test_descriptor_budget_lets_many_devices_finish_under_a_low_limit(lab, tmp_path):
    # Every device holds its line a while, so that without a budget all would be open at once.
    base = lab("R", response_delay=0.2)
    devices = [dict(base, name="R%03d" % i) for i in range(150)]
    inventory = write_inventory(tmp_path / "lab.json", devices)

    def low_limit():
        import resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128))

    run = subprocess.run(QUORVI + ["run", "--inventory", str(inventory), "--workers", "150",
                                   "--connect-only"], capture_output=True, text=True,
                         preexec_fn=low_limit, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert len(run.stdout.splitlines()) == 150
    assert "Too many open files" not in run.stdout + run.stderr


def hold_the_line(device):
    """A task function: when the device was held, on this process's clock."""
    began = time.monotonic()
    device.execute("show version")
    time.sleep(0.3)
    return [began, time.monotonic()]


def test_concurrency_caps_devices_per_console_server(lab):
    devices = []
    for i in range(4):
        device = lab("R%d" % i)
        server = "cs%d" % (i % 2)
        device["connections"] = {alias: dict(line, console="%s:%d" % (server, 2000 + i))
                                 for alias, line in device["connections"].items()}
        devices.append(device)
    results = {r.name: r for r in Fleet(devices).run(Task.call(hold_the_line), workers=4,
                                                        concurrency=1)}
    assert all(r.ok for r in results.values()), [r.error for r in results.values()]

    def overlap(a, b):
        return results[a].value[0] < results[b].value[1] and results[b].value[0] < results[a].value[1]

    assert not overlap("R0", "R2") and not overlap("R1", "R3")  # one server each
    assert overlap("R0", "R1") or overlap("R0", "R3") or overlap("R2", "R1") or overlap("R2", "R3")


@pytest.mark.parametrize("profile, line", [("single", "a"), ("dual", "a"), ("stack", "m1")])
def test_configure_sends_the_lines_through_the_active_line(lab, profile, line):
    device = lab("R1", profile)
    config = ["interface lo7", "description set by a fleet"]
    [result] = Fleet([device]).run(Task.configure(config))
    assert result.ok, result.error
    assert set(result.timings) == {"connect", "configure", "disconnect"}
    sim = lab.sims[-1]
    assert sim.config_received(line)[-2:] == config


def test_record_dir_gets_a_cassette_per_device_that_replays_the_run(lab, tmp_path):
    from quorvi.replay.replayed_device import replayed

    devices = [lab("R%d" % i, "dual", enable_password="en-pw-%d" % i) for i in range(2)]
    results = {r.name: r for r in Fleet(devices).run(Task.execute("show version"),
                                                     record=str(tmp_path))}
    assert all(r.ok for r in results.values()), [r.error for r in results.values()]
    assert sorted(os.listdir(tmp_path)) == ["R0.jsonl", "R1.jsonl"]
    for name, result in results.items():
        cassette = (tmp_path / ("%s.jsonl" % name)).read_text()
        assert "en-pw" not in cassette
        with replayed(str(tmp_path / ("%s.jsonl" % name))) as device:
            assert device.execute("show version") == result.outputs["show version"]
