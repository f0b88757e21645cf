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
    for line in spawns:
        line.close()
    leaked = []
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
    for device in made:
        device.destroy()
