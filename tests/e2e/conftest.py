"""Simulated devices for end-to-end tests; their console processes never outlive a test."""
import fcntl
import json
import sys
import os
import shutil
import socket
import subprocess
import textwrap
import time

import pytest
from realservers import not_ours

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
    from quorvi.sim.served_lab import ServedLab

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


SSHD = "/usr/sbin/sshd"


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture
def sshd(tmp_path):
    """sshd on a free port with a throwaway host key; yields (port, user key, dir)."""
    for name in ("host_key", "user_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(tmp_path / name)],
                       check=True)
    shutil.copy(tmp_path / "user_key.pub", tmp_path / "authorized_keys")
    (tmp_path / "sshd_config").write_text(textwrap.dedent("""\
        HostKey {d}/host_key
        AuthorizedKeysFile {d}/authorized_keys
        PidFile {d}/sshd.pid
        ListenAddress 127.0.0.1
        StrictModes no
        UsePAM no
        PermitRootLogin yes
        PasswordAuthentication no
        KbdInteractiveAuthentication no
        """).format(d=tmp_path))
    # Run as root, sshd wants its privilege separation directory, which is
    # made here and removed afterwards: one sshd at a time on this machine
    # (a lock on the sshd program), so no test removes it under another's sshd.
    with open(SSHD, "rb") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        made_run_dir = os.geteuid() == 0 and not os.path.isdir("/run/sshd")
        if made_run_dir:
            os.makedirs("/run/sshd", mode=0o755)
        try:
            yield from _serve_sshd(tmp_path)
        finally:
            if made_run_dir:
                shutil.rmtree("/run/sshd", ignore_errors=True)


def _serve_sshd(directory):
    port = free_port()
    # sshd is not ours: the sanitizer runtimes preloaded for the sanitizer
    # run would trip its sandbox (the pre-authentication child is killed).
    env = not_ours()
    proc = subprocess.Popen([SSHD, "-D", "-f", str(directory / "sshd_config"), "-p", str(port),
                             "-E", str(directory / "sshd.log")], env=env)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    pytest.fail("sshd did not start: %s" % (directory / "sshd.log").read_text())
                time.sleep(0.05)
        yield port, directory / "user_key", directory
    finally:
        proc.terminate()
        proc.wait(10)


def ssh_lab(directory, port, key, os_name=None, hostname=None):
    """An inventory of one host H1 reached over ssh: to the sshd fixture's server."""
    path = directory / "lab.yaml"
    extra = "".join("    %s: %s\n" % item for item in (("os", os_name), ("hostname", hostname))
                    if item[1])
    path.write_text("devices:\n  H1:\n%s    lines:\n      m:\n"
                    "        ssh: \"root@127.0.0.1:%d\"\n"
                    "        identity_file: %s\n"
                    "        ssh_options: {UserKnownHostsFile: %s/known_hosts}\n"
                    % (extra, port, key, directory))
    return path


def import_failure(name, exc):
    """Why a test that needs the Debian package of `name` is skipped. Debian's
    Python packages are built for Debian's own interpreter: under pyenv's 3.9
    some are missing, and under 3.12 and 3.13 some fail while importing
    (Debian 12's Dask, for one, predates 3.12)."""
    return "%s cannot be imported under Python %d.%d (%s: %s); on Debian's python3, " \
           "scripts/install-deps.sh installs it" % (name, sys.version_info[0],
                                                    sys.version_info[1], type(exc).__name__, exc)


def importable(name):
    try:
        __import__(name)
    except Exception:  # an import that fails inside the package counts too
        return False
    return True


def write_inventory(path, devices):
    """A JSON inventory at `path` of simulated devices' descriptions."""
    keys = ("os", "platform", "chassis_type", "hostname", "credentials")
    entries = {d["name"]: dict({k: d[k] for k in keys if d.get(k)},
                               lines={alias: {k: v for k, v in line.items()
                                              if k in ("command", "member")}
                                      for alias, line in d["connections"].items()})
               for d in devices}
    path.write_text(json.dumps({"devices": entries}))
    return path
