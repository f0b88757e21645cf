"""The simulated console server over raw sockets: what a port shows, how a
line keeps its state between clients, busy ports, and the serve command."""
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import time

import pytest

from quorvi.core.errors import ConnectionError
from quorvi.credentials import Secret
from quorvi.device import Device
from quorvi.sim import outputs

from .conftest import FAST

IAC = 255


class Client:
    """A bare TCP client that answers no negotiation and keeps what it read
    (telnet commands stripped)."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.text = ""
        self.raw = b""

    def send(self, text):
        self.sock.sendall(text.encode())

    def read_until(self, pattern, timeout=5.0):
        deadline = time.monotonic() + timeout
        while not re.search(pattern, self.text):
            self.sock.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                raise AssertionError("no %r within %ss; got %r" % (pattern, timeout, self.text))
            if not data:
                raise AssertionError("closed before %r; got %r" % (pattern, self.text))
            self.raw += data
            self.text = re.sub(rb"\xff[\xfb-\xfe].|\xff\xff", b"", self.raw).decode("latin-1")
        return self.text

    def quiet_for(self, seconds=0.3):
        """True when nothing (but negotiation) arrives for `seconds`."""
        self.sock.settimeout(seconds)
        try:
            while True:
                data = self.sock.recv(4096)
                if not data or re.sub(rb"\xff[\xfb-\xfe].", b"", data):
                    return False
        except socket.timeout:
            return True

    def closed(self, timeout=5.0):
        """True when the server closes the connection within `timeout`."""
        self.sock.settimeout(timeout)
        try:
            while True:
                data = self.sock.recv(4096)
                if not data:
                    return True
                self.raw += data
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


@pytest.fixture
def client():
    opened = []

    def connect(port):
        opened.append(Client(port))
        return opened[-1]

    yield connect
    for c in opened:
        c.close()


def test_line_keeps_its_state_between_clients_and_one_client_at_a_time(served_lab, client):
    lab = served_lab({"devices": {"R1": {"kind": "single", "enable_password": "pw"}}})
    port = lab.port("R1", "a")
    first = client(port)
    first.read_until(r"R1>$")
    assert first.raw.startswith(b"\xff\xfb\x01\xff\xfb\x03")  # WILL ECHO, WILL SGA
    first.send("enable\r\n")
    first.read_until("Password: $")
    first.send("pw\r\0conf t\r")
    first.read_until(r"R1\(config\)#$")
    assert "pw" not in first.text  # a secret is never echoed
    busy = client(port)
    assert busy.closed()
    first.close()
    time.sleep(0.1)
    second = client(port)
    assert second.quiet_for()  # a serial line shows nothing to a new client
    second.send("\r")
    second.read_until(r"\r\nR1\(config\)#$")
    assert lab.state("R1")["commands"]["a"] == ["enable", "conf t"]


@pytest.mark.parametrize("options, before, typed, after", [
    # Nothing until Return; the Return only wakes the line.
    ({"connect": "quiet"}, None, "\r", r"RETURN to get started\r\n\r\nR1>$"),
    ({"connect": "press_return"}, outputs.PRESS_RETURN, "\r", r"RETURN to get started\r\n\r\nR1>$"),
    ({"left_in": "config"}, None, "\r", r"^\r\nR1\(config-if\)#$"),
    # A pager: Return shows one more line, space a page, q quits to the prompt.
    ({"left_in": "pager"}, None, "\r", r"^\r +\rBuilding configuration\.\.\.\r\n --More-- $"),
    ({"left_in": "pager"}, None, " ", r"interface eth0/6\r\n no shutdown\r\n --More-- $"),
    ({"left_in": "pager"}, None, "q", r"^\r +\rR1#$"),
])
def test_port_behaviours_a_transport_meets(served_lab, client, options, before, typed, after):
    lab = served_lab({"devices": {"R1": {"consoles": {"a": options}}}})
    c = client(lab.port("R1", "a"))
    if before:
        c.read_until(re.escape(before))
        c.raw = b""
        c.text = ""
    assert c.quiet_for()
    c.send(typed)
    c.read_until(after)
    if options.get("left_in") == "pager":
        if typed != "q":
            c.send("q")
            c.read_until(r"--More-- \r +\rR1#$")
        c.send("show version\r")
        c.read_until(r"Version 7\.2\.1[\s\S]*R1#$")


def test_busy_port_refuses_every_client(served_lab, client):
    lab = served_lab({"devices": {"R1": {"consoles": {"a": {"busy": True}}}}})
    port = lab.port("R1", "a")
    c = client(port)
    assert c.closed()
    assert c.raw.decode().strip() == outputs.PORT_BUSY.format(port=port)


def test_slow_device_answers_after_its_delay_and_dual_roles_show(served_lab, client):
    lab = served_lab({"devices": {"D1": {"kind": "dual", "active": "b",
                                         "response_delay": 0.4}}})
    standby = client(lab.port("D1", "a"))
    standby.read_until(r"D1-stby>$")
    started = time.monotonic()
    standby.send("show redundancy state\r")
    standby.read_until(r"my state = 8 -STANDBY HOT[\s\S]*D1-stby>$")
    assert time.monotonic() - started >= 0.4


def test_console_that_ends_its_session_drops_the_client_and_starts_afresh(served_lab, client):
    lab = served_lab({"devices": {"R1": {"misbehave": {"a": {"close_after": "show version",
                                                             "close_midway": True}}}}})
    first = client(lab.port("R1", "a"))
    first.read_until("R1>$")
    first.send("show version\r")
    assert first.closed()
    assert "Version 7.2.1" in first.raw.decode("latin-1")
    assert "Processor board" not in first.raw.decode("latin-1")
    time.sleep(0.1)
    client(lab.port("R1", "a")).read_until(r"press RETURN to get started\r\n\r\nR1>$")


@pytest.mark.parametrize("misbehave", [{"flood": "x" * 100}, {"noise": "00ff0d", "noise_forever": True}])
def test_flooding_console_keeps_the_other_ports_answering(served_lab, client, misbehave):
    lab = served_lab({"devices": {"R1": {"misbehave": {"a": misbehave}}, "R2": {}}})
    flooded = client(lab.port("R1", "a"))  # never read: the server must not buffer without end
    time.sleep(0.3)
    other = client(lab.port("R2", "a"))
    other.read_until("R2>$", timeout=2)
    other.send("show version\r")
    other.read_until(r"Version 7\.2\.1[\s\S]*R2>$", timeout=2)
    flooded.sock.settimeout(2)
    assert len(flooded.sock.recv(65536)) > 0


def test_served_lab_in_a_process_of_its_own_asks_for_its_login(served_lab, client):
    lab = served_lab({"devices": {"R1": {"login": {"username": "ops", "password": "pw"}}}},
                     defaults={"enable_password": "e"}, process=True)
    assert lab.inventory["defaults"]["credentials"] == {
        "default": {"username": "ops", "password": "pw"}, "enable": {"password": "e"}}
    c = client(lab.port("R1", "a"))
    c.read_until("Username: $")
    c.send("ops\r")
    c.read_until("Password: $")
    c.send("pw\r")
    c.read_until(r"Password: \r\nR1>$")
    c.send("enable\r")
    c.read_until(r"R1>enable\r\nPassword: $")
    pid, directory = lab.proc.pid, lab.directory
    lab.stop()
    assert c.closed() and not os.path.exists("/proc/%d" % pid) and not os.path.exists(directory)


def serve(*args, **popen):
    return subprocess.Popen([sys.executable, "-m", "quorvi.sim", "serve"] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)


def test_serve_command_writes_inventory_and_stops_on_sigterm(tmp_path, client):
    import yaml

    inventory = tmp_path / "lab.yaml"
    proc = serve("--devices", "3", "--mix", "single=1,dual=1,quad=1", "--enable-password", "e",
                 "--inventory-out", str(inventory))
    try:
        line = proc.stdout.readline()
        assert re.match(r"serving 3 devices \(7 consoles\) on 127\.0\.0\.1 ports \d+-\d+; "
                        r"inventory in %s$" % re.escape(str(inventory)), line)
        lab = yaml.safe_load(inventory.read_text())
        assert lab["defaults"] == {"credentials": {"enable": {"password": "e"}}}
        assert [d["chassis_type"] for d in lab["devices"].values()] == \
            ["single_rp", "dual_rp", "quad"]
        quad = lab["devices"]["R3"]["lines"]
        assert [(alias, line.get("member")) for alias, line in quad.items()] == \
            [("m1a", 1), ("m1b", 1), ("m2a", 2), ("m2b", 2)]
        port = int(lab["devices"]["R1"]["lines"]["a"]["console"].rpartition(":")[2])
        c = client(port)
        c.read_until("R1>$")
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
        assert c.closed()
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()
    assert os.listdir(tmp_path) == ["lab.yaml"]


@pytest.mark.parametrize("args, message", [
    (["--devices", "100", "--mix", "dual=1"],
     r"the lab needs 200 ports \(264 open files with the spare ones\) but this process may "
     r"open at most 150 files"),
    (["--devices", "2", "--port-base", "{busy}"], r"cannot listen on 127\.0\.0\.1:\d+ for "
                                                   r"console a of R1: Address already in use"),
    (["--devices", "2", "--mix", "single=1,router=1"], r"--mix: 'router=1' is not KIND=WEIGHT"),
    ([], r"the lab is empty"),
    (["--lab", "{lab}"], r"lab\.yaml:2:20: devices\.R9: unknown key 'actve' \(did you mean "
                         r"'active'\?\)"),
    (["--lab", "{lab_console}"], r"lab2\.yaml:2:3: devices\.R9\.consoles\.c: a dual "
                                 r"device has no console 'c'"),
    # Every problem of a lab file on a line of its own.
    (["--lab", "{lab_two}"], r"lab3\.yaml:2:24: .*fast'\nerror: quorvi sim serve: .*lab3\.yaml:"
                             r"3:24: devices\.R2\.misbehave\.a: unknown key 'flod'"),
])
def test_serve_command_says_what_is_wrong(tmp_path, args, message):
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    (tmp_path / "lab.yaml").write_text("devices:\n  R9: {kind: dual, actve: b}\n")
    (tmp_path / "lab2.yaml").write_text("devices:\n  R9: {kind: dual, consoles: {c: {}}}\n")
    (tmp_path / "lab3.yaml").write_text("devices:\n  R1: {response_delay: fast}\n"
                                        "  R2: {misbehave: {a: {flod: 1}}}\n")
    args = [a.format(busy=holder.getsockname()[1], lab=tmp_path / "lab.yaml",
                     lab_console=tmp_path / "lab2.yaml", lab_two=tmp_path / "lab3.yaml")
            for a in args]
    try:
        proc = serve(*args, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE,
                                                                   (150, 150)))
        out, err = proc.communicate(timeout=30)
    finally:
        holder.close()
    assert proc.returncode == 2 and out == ""
    assert re.match(r"error: quorvi sim serve: .*%s" % message, err) and "Traceback" not in err


# -- a line left at a password question ---------------------------------------
def _connect(lab, enable):
    kwargs = lab.device_kwargs("R1", settings=FAST)
    kwargs["credentials"] = {"enable": {"password": enable}}
    device = Device(**kwargs)
    try:
        device.connect()
        return device.default.execute("show version")
    finally:
        device.destroy()


@pytest.mark.parametrize("kind", ["single", "dual"])
@pytest.mark.parametrize("enable, error", [
    ("wrong", r"^enable password rejected on R1/a$"),
    ("env:QV_UNSET_ENABLE", r"^device R1, credential 'enable': environment variable "
                            r"QV_UNSET_ENABLE is not set"),
])
def test_failed_enable_password_leaves_the_line_at_a_prompt(served_lab, client, monkeypatch,
                                                           kind, enable, error):
    monkeypatch.delenv("QV_UNSET_ENABLE", raising=False)
    lab = served_lab({"devices": {"R1": {"kind": kind, "enable_password": "right"}}})
    with pytest.raises(ConnectionError, match=error):
        _connect(lab, Secret(enable, "R1", "enable"))
    raw = client(lab.port("R1", "a"))
    assert raw.quiet_for()  # no question is pending
    raw.send("\r")
    raw.read_until(r"R1(-stby)?>$")
    raw.close()
    assert "Version 7.2.1" in _connect(lab, "right")


def test_bring_up_answers_out_a_password_question_it_did_not_ask(served_lab, client):
    lab = served_lab({"devices": {"R1": {"enable_password": "right"}}})
    raw = client(lab.port("R1", "a"))
    raw.read_until("R1>$")
    raw.send("enable\r")
    raw.read_until("Password: $")
    raw.close()  # the next user meets "Password:"
    assert "Version 7.2.1" in _connect(lab, "right")


def test_ctrl_c_at_a_question_cancels_the_command(served_lab, client):
    lab = served_lab({"devices": {"R1": {}}})
    c = client(lab.port("R1", "a"))
    c.read_until(r"R1>$")
    c.send("enable\rclear counters\r")
    c.read_until(r"\[confirm\]$")
    c.send("\x03")
    c.read_until(r"\^C\r\n% Command aborted\r\nR1#$")
