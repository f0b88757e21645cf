"""Real programs nobody here wrote against the simulators: the telnet client
through the console server for every chassis kind, socat in front of a pty
console, and a peer library (netmiko) as a second client."""
import os
import shutil
import socket
import subprocess
import time

import pytest

from quorvi.device import Device

from .conftest import FAST, INIT, pid_gone

TELNET = shutil.which("telnet")
needs_telnet = pytest.mark.skipif(TELNET is None, reason="Debian package telnet (inetutils-telnet) "
                                  "is not installed: run scripts/install-deps.sh")

def telnet_device(lab, name):
    """A device of the served lab whose lines are console: lines (the telnet
    client, its own lines swallowed by the console transport)."""
    return Device(**lab.device_kwargs(name, settings=FAST))


@needs_telnet
@pytest.mark.parametrize("spec, roles", [
    ({"kind": "single"}, None),
    ({"kind": "dual", "active": "b"}, ("b", "a")),
    ({"kind": "stack", "active": 2, "standby": 3}, ("m2", "m3")),
    ({"kind": "quad", "active_member": 2}, ("m2a", "m1a")),
])
def test_telnet_client_brings_up_every_chassis_kind(served_lab, spec, roles):
    lab = served_lab({"devices": {"R7": spec}}, defaults={"enable_password": "s3cret"})
    device = telnet_device(lab, "R7")
    try:
        device.connect()
        con = device.default
        if roles:
            assert (con.active.alias, con.standby.alias) == roles
        assert "Version 7.2.1" in con.execute("show version")
        received = lab.state("R7")["commands"]
        active = roles[0] if roles else "a"
        assert received[active][:len(INIT) + 1] == ["enable"] + INIT
        assert received[active][-1] == "show version"
        pids = [s.spawn.pid for s in getattr(con, "subconnections", [con])]
    finally:
        device.destroy()
    assert all(pid_gone(pid) for pid in pids)


def listening(port):
    """Whether something listens on TCP `port` of 127.0.0.1 (without connecting)."""
    with open("/proc/net/tcp") as f:
        return any(fields[1] == "0100007F:%04X" % port and fields[3] == "0A"
                   for fields in (line.split() for line in f))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@needs_telnet
@pytest.mark.skipif(shutil.which("socat") is None,
                    reason="Debian package socat is not installed: run scripts/install-deps.sh")
def test_socat_exposes_a_pty_console_reached_with_telnet(sim):
    simulated = sim("dual", active="a")
    # socat parses its own address syntax: the console command goes in a script.
    # Its pty is raw: telnet, finding no telnet server, stays in line mode (it
    # echoes locally and ends each line with CR LF), and a cooked pty would split
    # that into two lines, each answered with a prompt.
    script = os.path.join(simulated.directory, "console-a.sh")
    with open(script, "w") as f:
        f.write("#!/bin/sh\nexec %s\n" % simulated.command("a"))
    os.chmod(script, 0o700)
    port = free_port()
    socat = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port,
                              "EXEC:%s,pty,setsid,ctty,stderr,raw,echo=0" % script],
                             stderr=subprocess.PIPE)
    device = None
    try:
        for _ in range(200):
            if listening(port) or socat.poll() is not None:
                break
            time.sleep(0.05)
        assert listening(port), "socat did not listen: %s" % socat.stderr.read1().decode()
        device = Device(name="R1", os="orbix", hostname="R1", chassis_type="single_rp",
                        connections={"a": {"command": "telnet 127.0.0.1 %d" % port}},
                        settings=FAST)
        device.connect()
        assert "Version 7.2.1" in device.default.execute("show version")
        assert simulated.commands_received("a")[-1] == "show version"
    finally:
        if device is not None:
            device.destroy()
        if socat.poll() is None:
            socat.terminate()
        socat.wait(10)
        socat.stderr.close()


@pytest.mark.slow
def test_netmiko_reaches_enable_and_reads_show_version(served_lab):
    netmiko = pytest.importorskip(
        "netmiko", reason="Debian package python3-netmiko is not installed: run "
                          "scripts/install-deps.sh")
    lab = served_lab({"devices": {"edge-3": {"kind": "dual", "active": "b"}}},
                     defaults={"enable_password": "s3cret",
                               "login": {"username": "ops", "password": "pw"}})
    con = netmiko.ConnectHandler(device_type="cisco_ios_telnet", host="127.0.0.1",
                                 port=lab.port("edge-3", "b"), username="ops", password="pw",
                                 secret="s3cret", timeout=20)
    try:
        con.enable()
        assert con.find_prompt() == "edge-3#"
        output = con.send_command("show version")
    finally:
        con.disconnect()
    assert output.splitlines()[0] == "Orbix Software, Version 7.2.1"
    assert "edge-3 uptime is" in output and "edge-3#" not in output
    # netmiko ends its session with "exit", which may land before the state is read
    assert "show version" in lab.state("edge-3")["commands"]["b"]
