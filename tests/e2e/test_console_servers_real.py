"""Console servers nobody here wrote: ser2net (a pty per simulated console,
made by socat, served as telnet ports) and conserver (exec consoles, reached
with its `console` client through conserver: lines). Each is started on free
ports of 127.0.0.1 with a throwaway configuration and always stopped."""
import os
import shutil
import socket
import subprocess
import time

import pytest

from quorvi.core.errors import ConnectionError
from quorvi.inventory import load
from quorvi.sim.harness import kill_processes, processes_with
from quorvi.spawn import Spawn

from .conftest import FAST, free_port

CHASSIS = {"single": "single_rp", "dual": "dual_rp", "stack": "stack", "quad": "quad"}
CONSERVER_PID_FILE = "/run/conserver/conserver.pid"


def wait_listening(port, proc, what, log, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                pytest.fail("%s did not start: %s" % (what, log.read_text() if log.exists()
                                                       else "no output"))
            time.sleep(0.02)


def script(directory, sim, console):
    """A script that opens `console` of `sim` (no quoting left for a
    console server's configuration to get wrong)."""
    path = directory / ("%s.sh" % console)
    path.write_text("#!/bin/sh\nexec %s\n" % sim.command(console))
    path.chmod(0o755)
    return path


def descendants(pid):
    """The processes below `pid` (read from /proc while it runs)."""
    found = []
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            children = [int(c) for c in f.read().split()]
    except OSError:
        return found
    for child in children:
        found += [child] + descendants(child)
    return found


def stop(proc):
    """Stop `proc` and wait until the processes it started (the consoles
    behind socat) are gone too, so that nothing outlives the fixture."""
    below = descendants(proc.pid)
    _terminate(proc)
    deadline = time.monotonic() + 5
    for pid in below:
        while os.path.exists("/proc/%d" % pid) and _alive(pid):
            if time.monotonic() > deadline:
                try:
                    os.kill(pid, 9)
                except OSError:
                    pass
                break
            time.sleep(0.01)


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _terminate(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


@pytest.fixture
def ser2net(tmp_path):
    """ser2net(sim) serves each console of `sim` as a telnet port; returns
    {console: port}. socat gives each console a pty; a descriptor held open on
    it keeps it (and the console's session) alive between clients."""
    if not all(shutil.which(p) for p in ("ser2net", "socat", "telnet")):
        pytest.skip("ser2net, socat or telnet missing (scripts/install-deps.sh installs them)")
    procs, held = [], []

    def start(sim):
        ports, config = {}, []
        for console in sim.consoles:
            tty = tmp_path / ("%s.tty" % console)
            procs.append(subprocess.Popen(
                ["socat", "PTY,link=%s,rawer" % tty,
                 "EXEC:%s,pty,setsid,ctty,stderr" % script(tmp_path, sim, console)],
                stderr=subprocess.DEVNULL))
            deadline = time.monotonic() + 10
            while not tty.exists():
                assert time.monotonic() < deadline, "socat made no pty for %s" % console
                time.sleep(0.01)
            held.append(os.open(str(tty), os.O_RDWR | os.O_NOCTTY))
            ports[console] = free_port()
            config.append("connection: &%s\n  accepter: telnet(rfc2217=false),tcp,127.0.0.1,%d\n"
                          "  connector: serialdev,%s,9600n81,local\n"
                          "  options:\n    kickolduser: false\n" % (console, ports[console], tty))
        (tmp_path / "ser2net.yaml").write_text("".join(config))
        log = tmp_path / "ser2net.log"
        with open(log, "w") as out:
            proc = subprocess.Popen(["ser2net", "-n", "-u", "-c", str(tmp_path / "ser2net.yaml"),
                                     "-P", str(tmp_path / "ser2net.pid")],
                                    stdout=out, stderr=subprocess.STDOUT)
        procs.append(proc)
        for port in ports.values():
            wait_listening(port, proc, "ser2net", log)
        return ports

    yield start
    for proc in reversed(procs):
        stop(proc)
    for fd in held:
        os.close(fd)


@pytest.fixture
def conserver(tmp_path):
    """conserver(sim, password=None) serves each console of `sim` as an exec
    console; returns the master port. With a password, clients from
    127.0.0.1 are only allowed (not trusted): user "ops" must log in."""
    if not all(shutil.which(p) for p in ("conserver", "console")):
        pytest.skip("conserver or console missing (scripts/install-deps.sh installs "
                    "conserver-server and conserver-client)")
    procs = []

    def start(sim, password=None):
        port = free_port()
        consoles = "".join('console %s { exec "%s"; }\n' % (c, script(tmp_path, sim, c))
                           for c in sim.consoles)
        (tmp_path / "conserver.cf").write_text(
            "default * { type exec; master 127.0.0.1; rw *; }\n%s"
            "access * { %s 127.0.0.1; }\n" % (consoles, "allowed" if password else "trusted"))
        hashed = ""
        if password:
            hashed = "ops:%s\n" % subprocess.run(["openssl", "passwd", "-6", password],
                                                 check=True, capture_output=True,
                                                 text=True).stdout.strip()
        (tmp_path / "conserver.passwd").write_text(hashed)
        log = tmp_path / "conserver.log"
        with open(log, "w") as out:
            proc = subprocess.Popen(["conserver", "-C", str(tmp_path / "conserver.cf"),
                                     "-P", str(tmp_path / "conserver.passwd"), "-p", str(port),
                                     "-M", "127.0.0.1"], stdout=out, stderr=subprocess.STDOUT)
        procs.append(proc)
        wait_listening(port, proc, "conserver", log)
        return port

    yield start
    for proc in procs:
        stop(proc)
        # Its pid file is fixed at build time: take it away if it is ours.
        try:
            with open(CONSERVER_PID_FILE) as f:
                ours = f.read().strip() == str(proc.pid)
            if ours:
                os.unlink(CONSERVER_PID_FILE)
        except OSError:
            pass
    # Its group processes end after the master, on the signal it passes on.
    children = lambda: processes_with("-C", str(tmp_path / "conserver.cf"))  # noqa: E731
    deadline = time.monotonic() + 5
    while children() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert not kill_processes(children), "conserver processes left running"


def lab(tmp_path, sim, lines, extra=""):
    """An inventory of the simulated device `sim` reached through `lines`
    ({console: (transport, target)}); the framework Device it gives."""
    member = {c["name"]: c["member"] for c in sim.device["consoles"]}
    text = "%sdevices:\n  %s:\n    os: %s\n    chassis_type: %s\n    hostname: %s\n" \
           "    timeout: 10\n    lines:\n" % (extra, sim.hostname, sim.device["os"],
                                             sim.chassis_type, sim.hostname)
    for console, (transport, target) in lines.items():
        text += "      %s: {%s: \"%s\"%s}\n" % (
            console, transport, target,
            ", member: %d" % member[console] if sim.chassis_type in ("stack", "quad") else "")
    (tmp_path / "lab.yaml").write_text(text)
    return load(str(tmp_path / "lab.yaml"))


def bring_up(inventory, name):
    device = inventory.device(name, settings=dict(FAST))
    device.connect()
    return device


@pytest.mark.parametrize("warm", [False, True], ids=["fresh", "warm"])
@pytest.mark.parametrize("chassis", list(CHASSIS))
@pytest.mark.parametrize("server", ["ser2net", "conserver"])
def test_bring_up_through_a_real_console_server(request, sim, tmp_path, server, chassis, warm):
    simulated = sim(chassis)
    if server == "ser2net":
        ports = request.getfixturevalue("ser2net")(simulated)
        lines = {c: ("console", "127.0.0.1:%d" % p) for c, p in ports.items()}
    else:
        port = request.getfixturevalue("conserver")(simulated)
        lines = {c: ("conserver", "%s@127.0.0.1:%d" % (c, port)) for c in simulated.consoles}
    inventory = lab(tmp_path, simulated, lines)
    name = simulated.hostname
    if warm:  # a first client leaves every console's session at a prompt
        bring_up(inventory, name).destroy()
    device = bring_up(inventory, name)
    try:
        assert "Version" in device.execute("show version")
        device.configure(["interface lo0", "description via %s" % server])
    finally:
        device.destroy()
    assert "description via %s" % server in simulated.config_received()


def hold(port, console):
    """A user attached read-write to `console` with the console client."""
    holder = Spawn("console -e ^Ec -M 127.0.0.1 -p %d %s" % (port, console), name="holder")
    holder.expect([r"for help\]"], timeout=10)
    holder.send("\x05ca")
    holder.expect([r"\[ok\]"], timeout=10)
    return holder


@pytest.mark.parametrize("busy", [None, "fail", "take-over"])
def test_conserver_console_held_by_someone_else(sim, conserver, tmp_path, busy):
    simulated = sim("single")
    port = conserver(simulated)
    inventory = lab(tmp_path, simulated, {"a": ("conserver", "a@127.0.0.1:%d" % port)})
    if busy:
        inventory[simulated.hostname].lines["a"].busy = busy
    holder = hold(port, "a")
    device = inventory.device(simulated.hostname, settings=dict(FAST))
    try:
        if busy == "take-over":
            device.connect()
            assert "Version" in device.execute("show version")
            holder.expect([r"forced to `spy' mode by (\S+)\]"], timeout=5)
        else:
            with pytest.raises(ConnectionError, match=r"device %s, line a: console a on conserver "
                               r"127\.0\.0\.1:\d+ is busy: \S+@\S+ holds it read-write; it was "
                               r"not attached read-only" % simulated.hostname):
                device.connect()
            # Nothing was typed into the held console.
            assert simulated.commands_received("a") == []
    finally:
        device.destroy()
        holder.close()


@pytest.mark.parametrize("given, error", [
    ("env:QV_CONSERVER_PASSWORD", None),
    ("not-the-password", r"console server conserver 127\.0\.0\.1:\d+ refused its login as ops "
                         r"\(invalid password\).*not the device's"),
    (None, r"asks ops@\S+ for a password: name the console server.s login"),
])
def test_conserver_asks_for_its_own_login(sim, conserver, tmp_path, monkeypatch, caplog, given,
                                          error):
    secret = "Cs-pw-5521"
    monkeypatch.setenv("QV_CONSERVER_PASSWORD", secret)
    simulated = sim("single")
    port = conserver(simulated, password=secret)
    login = "console_servers:\n  127.0.0.1:\n    login: {username: ops%s}\n" % (
        ", password: \"%s\"" % given if given else "")
    inventory = lab(tmp_path, simulated, {"a": ("conserver", "a@127.0.0.1:%d" % port)}, login)
    device = inventory.device(simulated.hostname, settings=dict(FAST))
    caplog.set_level("DEBUG", logger="quorvi")
    try:
        if error is None:
            device.connect()
            assert "Version" in device.execute("show version")
        else:
            with pytest.raises(ConnectionError, match=error):
                device.connect()
    finally:
        device.destroy()
    assert secret not in caplog.text
    assert "not-the-password" not in str(inventory[simulated.hostname].to_dict())


def test_console_port_kept_busy_by_ser2net_says_so(sim, ser2net, tmp_path):
    simulated = sim("single")
    port = ser2net(simulated)["a"]
    inventory = lab(tmp_path, simulated, {"a": ("console", "127.0.0.1:%d" % port)})
    holder = Spawn("telnet 127.0.0.1 %d" % port, name="holder")
    try:
        holder.expect([r"Escape character"], timeout=10)
        device = inventory.device(simulated.hostname, settings=dict(FAST))
        try:
            with pytest.raises(ConnectionError, match=r"console server 127\.0\.0\.1 port \d+ "
                                                      r"closed the connection: the port may be "
                                                      r"in use"):
                device.connect()
        finally:
            device.destroy()
    finally:
        holder.close()
    assert not kill_processes(lambda: processes_with("telnet", "127.0.0.1", str(port)))
