"""Simulated devices for end-to-end tests; their console processes never outlive a test."""
import os

import pytest

from quorvi.device import Device
from quorvi.settings import Settings
from quorvi.sim.harness import SimulatedDevice
from quorvi.spawn import Spawn

# Small limits keep the suite short; the simulator answers without delay.
FAST = {"CONNECTION_TIMEOUT": 5, "EXEC_TIMEOUT": 5, "DETECT_RPR_TIMEOUT": 0.3,
        "PROMPT_NUDGE_INTERVAL": 0.3}


# What a bring-up sends after reaching enable: the initial exec commands and
# the initial configuration block (the framework's default settings).
INIT_EXEC = ["terminal length 0", "terminal width 0"]
INIT = INIT_EXEC + ["configure terminal", "no logging console", "end"]
UNLOCK = ["redundancy", "standby console enable"]


def messages(caplog, level=None):
    """Texts of the captured log records, optionally of one level only."""
    return [r.getMessage() for r in caplog.records if level is None or r.levelno == level]


def pid_gone(pid):
    """True when `pid` is no running process (a zombie counts as gone only once reaped)."""
    return not os.path.exists("/proc/%d" % pid)


@pytest.fixture
def fast_settings():
    return Settings(FAST)


@pytest.fixture
def sim():
    """Factory: sim(profile, **options) starts a SimulatedDevice. At teardown
    every spawn opened through `sim.spawn` is closed, and any console process
    still running is killed and reported as a leak."""
    devices, spawns = [], []

    def start(profile="single", **options):
        device = SimulatedDevice(profile, **options).start()
        devices.append(device)
        return device

    def spawn(device, console):
        line = Spawn(device.command(console), name="%s/%s" % (device.hostname, console))
        spawns.append(line)
        return line

    start.spawn = spawn
    yield start
    leaked = []
    try:
        for line in spawns:
            line.close()
    finally:
        for device in devices:
            leaked += device.kill_consoles()
            device.stop()
    assert not leaked, "console processes left running: %s" % leaked


@pytest.fixture
def device_for(sim):
    """Factory: a framework Device for a SimulatedDevice; destroyed at teardown."""
    made = []

    def make(simulated, **overrides):
        overrides.setdefault("settings", FAST)
        device = Device(**simulated.device_kwargs(**overrides))
        made.append(device)
        return device

    yield make
    errors = []
    for device in made:
        try:
            device.destroy()
        except Exception as exc:  # the others are destroyed all the same
            errors.append(exc)
    assert not errors, "destroy failed: %s" % errors


@pytest.fixture
def served_lab():
    """Factory: served_lab(lab, **options) starts a ServedLab (a simulated
    console server on free ports of 127.0.0.1); every one is stopped at teardown."""
    from quorvi.sim.served import ServedLab

    labs = []

    def start(lab=None, **options):
        served = ServedLab(lab, **options)
        labs.append(served)
        return served.start()

    yield start
    for served in labs:
        served.stop()
    assert not [s for s in labs if s.thread or (s.proc and s.proc.poll() is None)], \
        "console servers left running"
