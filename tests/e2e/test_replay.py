"""Record a run against the simulator, replay the cassette as a device, run
the same script: the script sees the same transcript and designation."""
import hashlib
import json
import os
import socket
import subprocess
import sys

import pytest
import yaml

from quorvi import inventory
from quorvi.device import Device
from quorvi.replay.cassette import dump, load
from quorvi.replay.replayed_device import ReplayedDevice

from .conftest import FAST, SSHD, ssh_lab

KINDS = {"single": {}, "dual": {"active": "b"}, "stack": {"active": 2, "standby": 3},
         "quad": {"active_member": 2}}
CONFIG = ["interface lo0", "description set by the replay test"]


def script(dev, connect_options):
    """A bring-up, a few commands and a configuration; what a test would check."""
    dev.connect(**connect_options)
    con = dev.default
    roles = getattr(con, "roles", None) or {"state": con.state_machine.current_state}
    outputs = [dev.execute(c) for c in ("show version", "show redundancy state", "show version")]
    dev.configure(CONFIG)
    outputs.append(dev.execute("show running-config"))
    return roles, outputs


def digest(path):
    transcript = load(str(path)).transcript()
    return hashlib.sha256(json.dumps(transcript, sort_keys=True).encode()).hexdigest()


def record(sim_device, path, overrides=None, **options):
    dev = Device(**sim_device.device_kwargs(settings=FAST, record=str(path), **(overrides or {})))
    try:
        return script(dev, options)
    finally:
        dev.destroy()


def replay(path, again, fast=True, relaxed=False):
    """Run the script against the replayed cassette, recording what it saw into `again`."""
    with ReplayedDevice(str(path), fast=fast, relaxed=relaxed) as replayed:
        dev = Device(**replayed.device_kwargs(settings=FAST, record=str(again)))
        try:
            result = script(dev, replayed.connect_options())
        finally:
            dev.destroy()
        replayed.check()
        assert replayed.finished()
        assert not replayed.kill_consoles(), "replay consoles left running"
    return result


LEARNING = {"os": "generic", "platform": None, "learn_os": True, "learn_hostname": True}


@pytest.mark.parametrize("kind, learning", [(kind, False) for kind in sorted(KINDS)]
                         + [("dual", True)])
def test_replay_shows_the_script_what_the_device_showed(sim, tmp_path, kind, learning):
    device = sim(kind, enable_password="en-s3cret", **KINDS[kind])
    cassette, again = tmp_path / "run.jsonl", tmp_path / "replayed.jsonl"
    recorded = record(device, cassette, LEARNING if learning else None,
                      init_config_commands=["no logging console"])
    replayed = replay(cassette, again)
    assert replayed == recorded
    assert digest(again) == digest(cassette)
    header = load(str(cassette)).header
    assert header["device"]["chassis_type"] == device.chassis_type
    assert header["connect"]["default"] == {"init_config_commands": ["no logging console"]}
    # OS learning hands the device over: each line is opened again, a second session.
    assert {len(s) for s in load(str(cassette)).lines.values()} == {2 if learning else 1}


def test_no_secret_reaches_the_cassette_and_the_replay_accepts_any(sim, tmp_path):
    secrets = ["lab-operator", "l0gin-Pa55", "3nable-Pa55", "sp4re-Pa55"]
    device = sim("dual", login={"username": secrets[0], "password": secrets[1]},
                 enable_password=secrets[2])
    cassette, again = tmp_path / "run.jsonl", tmp_path / "replayed.jsonl"
    kwargs = device.device_kwargs(settings=FAST, record=str(cassette))
    del kwargs["credentials"]["enable"]  # the enable password comes as a connect option
    kwargs["credentials"]["spare"] = {"password": secrets[3]}
    dev = Device(**kwargs)
    try:
        recorded = script(dev, {"enable_password": secrets[2]})
    finally:
        dev.destroy()
    data = cassette.read_bytes()
    # Every secret is replaced, the user name shown (quorvi.secrets).
    assert [s for s in secrets if s.encode() in data] == [secrets[0]]
    assert data.count(b"<secret-") >= 6
    # The replay takes the markers for credentials; what is typed shows as it was.
    assert replay(cassette, again) == recorded
    assert digest(again) == digest(cassette)


@pytest.mark.parametrize("relaxed", [False, True])
def test_a_changed_script_names_expected_and_received(sim, tmp_path, relaxed):
    cassette = tmp_path / "run.jsonl"
    record(sim("single"), cassette)
    with ReplayedDevice(str(cassette), fast=True, relaxed=relaxed) as replayed:
        dev = Device(**replayed.device_kwargs(settings=FAST))
        try:
            dev.connect(**replayed.connect_options())
            if relaxed:  # repeats and another order are fine when relaxed
                assert "Version" in dev.execute("show redundancy state") + dev.execute("show version")
                dev.execute("show redundancy state")
            with pytest.raises(Exception):
                dev.execute("show clock")
        finally:
            dev.destroy()
        mismatches = replayed.mismatches()
    assert len(mismatches) == 1
    expected = "one of" if relaxed else "expected 'show version\\r'"
    assert expected in mismatches[0] and "received 'show clock\\r'" in mismatches[0]


@pytest.fixture(scope="module")
def cli_cassette(tmp_path_factory):
    """A dual RP's session recorded by quorvi connect --record, and that command's output."""
    from quorvi.sim.harness import SimulatedDevice

    cassette = tmp_path_factory.mktemp("cli") / "cli.jsonl"
    with SimulatedDevice("dual", enable_password="en-s3cret") as device:
        lines = ["--line=%s=%s" % (alias, device.command(alias)) for alias in device.consoles]
        done = subprocess.run(QUORVI + ["connect", "--hostname", "R1", "--os", "orbix",
                                        "--chassis", "dual_rp", "--record", str(cassette),
                                        "--execute", "show version"] + lines,
                              env=dict(os.environ, QUORVI_ENABLE_PASSWORD="en-s3cret"),
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert not device.kill_consoles()
    assert b"en-s3cret" not in cassette.read_bytes()
    return cassette, done.stdout


QUORVI = [sys.executable, "-m", "quorvi"]


def summary(output):
    return output.split("--- summary ---")[1].split("time taken")[0]


@pytest.mark.parametrize("mode, command", [("pty", "show version"), ("tcp", "show version"),
                                           ("pty", "show clock")])
def test_cli_replays_what_connect_recorded(cli_cassette, tmp_path, mode, command):
    cassette, recorded = cli_cassette
    inventory = tmp_path / "inventory.yaml"
    options = ["--tcp", "--inventory-out", str(inventory)] if mode == "tcp" else []
    server = subprocess.Popen(QUORVI + ["sim", "replay", str(cassette), "--fast"] + options,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert server.stdout.readline().startswith("replaying device R1")
        if mode == "tcp":
            # The inventory written carries what the replay needs: its lines
            # and placeholders for the recorded secrets.
            connect = ["--inventory", str(inventory), "R1"]
            assert yaml.safe_load(inventory.read_text())["devices"]["R1"]["credentials"] == \
                {"enable": {"password": "<secret-1>"}}
        else:
            lines = dict(server.stdout.readline().strip().split(": ", 1) for _ in range(2))
            connect = ["--hostname", "R1", "--os", "orbix", "--chassis", "dual_rp",
                       "--enable-password", "any"] + ["--line=%s=%s" % i for i in lines.items()]
        again = subprocess.run(QUORVI + ["connect", "--execute", command] + connect,
                               capture_output=True, text=True, timeout=60)
        out, err = server.communicate(timeout=30)
    finally:
        if server.poll() is None:
            server.kill()
            server.communicate()
    assert summary(again.stdout) == summary(recorded)
    if command == "show version":
        assert (again.returncode, server.returncode, out.splitlines()[-1]) == \
            (0, 0, "replay of R1 complete"), again.stderr + err
    else:
        mismatch = "expected 'show version\\r', received 'show clock\\r'"
        assert again.returncode == 1 and mismatch in again.stderr
        assert server.returncode == 1 and mismatch in err


PLUGIN_TEST = """\
import pytest

@pytest.mark.cassette("run.jsonl")
def test_version(replayed_device):
    assert "{text}" in replayed_device.execute("{command}")
"""


@pytest.mark.parametrize("command, text, outcome", [
    ("show version", "7.2.1", "1 passed"),
    ("show clock", "", "expected 'show version\\r', received 'show clock\\r'"),
])
def test_pytest_fixture_replays_a_cassette(sim, tmp_path, command, text, outcome):
    record(sim("single"), tmp_path / "run.jsonl")
    (tmp_path / "test_plugin.py").write_text(PLUGIN_TEST.format(command=command, text=text))
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "-p", "no:xdist", str(tmp_path / "test_plugin.py")],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=120)
    assert outcome in done.stdout, done.stdout + done.stderr
    assert (done.returncode == 0) == (outcome == "1 passed")


def shell_script(dev):
    """A bring-up of a real host and a few commands, one failing."""
    dev.connect()
    outputs = [dev.execute(c) for c in ("uname -n", "echo hello")]
    outputs.append(dev.execute("sh -c 'exit 3'", check=False))
    outputs += [dev.default.last_exit_status, dev.execute("printf 'a\\nb\\n'")]
    return dev.default.learned_hostname, outputs


@pytest.mark.skipif(not os.path.exists(SSHD), reason="openssh-server not installed")
def test_replay_of_a_real_ssh_host(sshd, tmp_path):
    port, key, directory = sshd
    cassette = tmp_path / "ssh.jsonl"
    dev = inventory.load(str(ssh_lab(directory, port, key))).device("H1")
    dev.settings.CONNECTION_TIMEOUT = 20
    try:
        with dev.record(str(cassette)):
            recorded = shell_script(dev)
    finally:
        dev.destroy()
    assert recorded == (socket.gethostname(), [socket.gethostname(), "hello", "", 3, "a\nb"])
    # Played at once, and with the recorded delays after a login slower than
    # a nudge interval (which the ssh line waited out without nudging).
    slow = load(str(cassette))
    slow.lines["m"][0][0]["after"] = 2.5
    dump(str(tmp_path / "slow.jsonl"), slow.header, slow.lines)
    for name, fast in (("ssh.jsonl", True), ("slow.jsonl", False)):
        again = tmp_path / ("again-" + name)
        with ReplayedDevice(str(tmp_path / name), fast=fast) as replayed:
            dev = Device(**replayed.device_kwargs(record=str(again)))
            try:
                assert shell_script(dev) == recorded
            finally:
                dev.destroy()
            replayed.check()
            assert replayed.finished()
        assert digest(again) == digest(cassette)
