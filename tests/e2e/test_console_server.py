"""console: lines through the real telnet client to console-server ports that
behave as console servers do: quiet until Return, a banner, a line left in
configuration mode or at a pager, a busy port, a refused port."""
import shutil
import socket
import socketserver
import threading
import time

import pytest

from quorvi.core.errors import ConnectionError, TimeoutError
from quorvi.inventory import load

pytestmark = pytest.mark.skipif(not shutil.which("telnet"), reason="the telnet client is not "
                                "installed (scripts/install-deps.sh installs inetutils-telnet)")

IAC, WILL, SB, SE = 255, 251, 250, 240
ECHO, SGA = 1, 3


class Port(socketserver.BaseRequestHandler):
    """One console-server port in front of a small orbix-like device "R1"."""

    def handle(self):
        server, sock = self.server, self.request
        sock.sendall(bytes([IAC, WILL, ECHO, IAC, WILL, SGA]))  # character mode, we echo
        behaviour, mode = server.behaviour, "disable"
        if behaviour == "busy":
            sock.sendall(b"\r\n% Port is in use by another session\r\n")
            return
        if behaviour == "banner":
            sock.sendall(b"\r\nPress RETURN to get started.\r\n")
        if behaviour == "config":
            mode = "config"
        if behaviour == "pager":
            sock.sendall(b"\r\ninterface lo0\r\n description left by someone\r\n --More-- ")
        for line in self.lines(sock, pager=behaviour == "pager"):
            server.received.append(line)
            if behaviour == "silent":
                continue
            if line == "\x11q":  # the pager's quit key
                mode, answer = "enable", ""
            else:
                mode, answer = self.answer(mode, line.strip())
            sock.sendall((answer + self.prompt(mode)).encode())

    @staticmethod
    def prompt(mode):
        return "\r\nR1%s" % {"disable": ">", "enable": "#", "config": "(config)#"}[mode]

    @staticmethod
    def answer(mode, command):
        if command == "enable":
            return "enable", ""
        if command == "configure terminal":
            return "config", ""
        if command == "end" and mode == "config":
            return "enable", ""
        if command == "show version" and mode != "config":
            return mode, "\r\nOrbix Software, ox900 chassis"
        if not command or mode == "config" or command.startswith("terminal "):
            return mode, ""
        return mode, "\r\n% Invalid input detected"

    def lines(self, sock, pager=False):
        """Lines typed (telnet commands dropped, typing echoed); a "q" at the
        pager counts as a line of its own."""
        text, data = "", b""
        while True:
            chunk = sock.recv(1024)
            if not chunk:
                return
            data += chunk
            while data:
                if data[0] == IAC:
                    if len(data) < 3:
                        break
                    end = data.find(bytes([IAC, SE])) + 2 if data[1] == SB else 3
                    if end < 2:
                        break
                    data = data[end:]
                    continue
                char, data = chr(data[0]), data[1:]
                if pager and char == "q":
                    pager = False
                    yield "\x11q"
                    continue
                if char in "\r\n":
                    if char == "\r" or not text:
                        sock.sendall(b"\r\n")
                        yield text
                    text = ""
                    data = data.lstrip(b"\n\x00")
                elif char != "\x00":
                    sock.sendall(char.encode())
                    text += char


@pytest.fixture
def console_port():
    """Factory: a console-server port with the given behaviour; stopped at teardown."""
    servers = []

    def start(behaviour):
        server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Port)
        server.daemon_threads = True
        server.behaviour, server.received = behaviour, []
        threading.Thread(target=server.serve_forever, daemon=True).start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.shutdown()
        server.server_close()


def device_on(tmp_path, port, timeout=10):
    path = tmp_path / "lab.yaml"
    path.write_text("devices:\n  R1:\n    os: orbix\n    hostname: R1\n    timeout: %s\n"
                    "    lines:\n      a: {console: \"127.0.0.1:%d\"}\n" % (timeout, port))
    device = load(str(path)).device("R1")
    device.settings.PROMPT_NUDGE_INTERVAL = 0.3
    return device


@pytest.mark.parametrize("behaviour, first_received", [
    ("quiet", "enable"),   # nothing shows until Return is pressed
    ("banner", "enable"),  # "Press RETURN to get started"
    ("config", "end"),     # left in configuration mode by the previous user
    ("pager", "\x11q"),    # left at a --More-- pager
])
def test_console_line_reaches_enable(console_port, tmp_path, behaviour, first_received):
    server = console_port(behaviour)
    device = device_on(tmp_path, server.server_address[1])
    try:
        device.connect()
        assert device.default.state_machine.current_state == "enable"
        assert "ox900" in device.execute("show version")
        assert [r for r in server.received if r][:1] == [first_received]
    finally:
        device.destroy()


@pytest.mark.parametrize("behaviour, error, message", [
    ("refused", ConnectionError, r"device R1, line a: console server 127\.0\.0\.1 port \d+: "
                                 r"Connection refused; is the port number right"),
    ("busy", ConnectionError, r"device R1, line a: console server 127\.0\.0\.1 port \d+ closed "
                              r"the connection: the port may be in use"),
    ("silent", TimeoutError, r"R1/a.*no prompt"),
])
def test_console_port_failures_are_named_within_the_time_limit(console_port, tmp_path, behaviour,
                                                               error, message):
    if behaviour == "refused":
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
    else:
        port = console_port(behaviour).server_address[1]
    device = device_on(tmp_path, port, timeout=2)
    start = time.monotonic()
    try:
        with pytest.raises(error, match=message):
            device.connect()
    finally:
        device.destroy()
    assert time.monotonic() - start < 4
