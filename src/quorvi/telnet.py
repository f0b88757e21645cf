"""A console server's telnet port, spoken by this process.

A `console:` line is a TCP connection to a console server's port. Speaking
telnet here rather than through a telnet program saves a process per line
(its start costs more CPU than a whole bring-up on a warm console) and lets
errors say exactly what the socket said.

The client answers the server's negotiation only: it lets the server echo,
suppress go-ahead and send binary, agrees to suppress go-ahead and to send
binary itself, refuses every other option, and answers only changes of
state, so a negotiation never loops. A Return goes out as a telnet program
sends it (see `TelnetCodec.encode`); CR NUL coming in is a bare CR."""
import codecs
import errno
import logging
import os
import select
import socket
import ssl
import time
from typing import Any, Dict, List, Optional, Tuple

import pexpect

from .spawn import Spawn, spawn_hooks

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240
BINARY, ECHO, SGA = 0, 1, 3

SERVER_MAY: Tuple[int, ...] = (BINARY, ECHO, SGA)  # options the server may enable on its side
CLIENT_DOES: Tuple[int, ...] = (BINARY, SGA)       # options this client enables on its side
SEND_TIMEOUT = 10.0  # seconds a send may wait for room on the connection
# How long a connected port may take to greet (its negotiation, a screen it
# shows by itself) before it counts as one that shows nothing unasked: a
# server greets as it accepts, so about as long again as the connection
# took, this many times that, within these bounds.
GREETING_FACTOR = 2
GREETING_WAIT_MIN = 0.002
GREETING_WAIT_MAX = 0.02


class TelnetStream:
    """The command layer of a telnet byte stream, either side: data bytes go
    to `take`, option requests to `negotiate` (whose replies are returned),
    subnegotiations and other commands are dropped."""

    __slots__ = ("state", "command")

    def __init__(self) -> None:
        self.state = "data"   # data | iac | option | sb | sb-iac
        self.command = 0

    def parse(self, data: bytes, out: Any) -> bytes:
        """Feed `data`: its data bytes to `take(byte, out)`; the replies owed."""
        replies = bytearray()
        for byte in data:
            state = self.state
            if state == "data":
                if byte == IAC:
                    self.state = "iac"
                else:
                    self.take(byte, out)
            elif state == "iac":
                if byte == IAC:
                    self.state = "data"
                    self.take(byte, out)
                elif byte in (DO, DONT, WILL, WONT):
                    self.command, self.state = byte, "option"
                elif byte == SB:
                    self.state = "sb"
                else:
                    self.state = "data"  # NOP, GA, AYT, BRK...: nothing to act on
            elif state == "option":
                self.state = "data"
                replies += self.negotiate(self.command, byte)
            elif state == "sb":
                if byte == IAC:
                    self.state = "sb-iac"
            elif state == "sb-iac":
                self.state = "data" if byte == SE else "sb"
        return bytes(replies)

    def take(self, byte: int, out: Any) -> None:
        raise NotImplementedError

    def negotiate(self, command: int, option: int) -> bytes:
        raise NotImplementedError


class TelnetCodec(TelnetStream):
    """Splits what the server sends into data and the negotiation replies
    owed; encodes what is typed."""

    __slots__ = ("ours", "theirs", "after_cr")

    def __init__(self) -> None:
        super().__init__()
        self.ours: Dict[int, bool] = {}    # option -> enabled on our side
        self.theirs: Dict[int, bool] = {}  # option -> enabled on the server's side
        self.after_cr = False

    def decode(self, data: bytes) -> Tuple[bytes, bytes]:
        """(the data in `data`, the replies owed to the server)."""
        if self.state == "data" and IAC not in data and not self.after_cr and b"\r\0" not in data:
            self.after_cr = data.endswith(b"\r")
            return data, b""
        out = bytearray()
        replies = self.parse(data, out)
        return bytes(out), replies

    def take(self, byte: int, out: Any) -> None:
        if not (byte == 0 and self.after_cr):  # CR NUL is a bare CR
            out.append(byte)
        self.after_cr = byte == 13

    def negotiate(self, command: int, option: int) -> bytes:
        if command in (DO, DONT):
            table, allowed, yes, no = self.ours, CLIENT_DOES, WILL, WONT
        else:
            table, allowed, yes, no = self.theirs, SERVER_MAY, DO, DONT
        wanted = command in (DO, WILL) and option in allowed
        if table.get(option, False) == wanted and (wanted or command in (DONT, WONT)):
            return b""
        table[option] = wanted
        return bytes([IAC, yes if wanted else no, option])

    def encode(self, text: str) -> bytes:
        """What is typed, on the wire, as a telnet program sends it: a Return
        goes as it is once this side sends binary, as CR NUL in character
        mode (the server echoes or suppresses go-ahead), else as CR LF. (UTF-8
        never holds the byte IAC, so nothing typed needs doubling.)"""
        data = text.encode("utf-8")
        if b"\r" in data and not self.ours.get(BINARY):
            end = b"\r\0" if self.theirs.get(ECHO) or self.theirs.get(SGA) else b"\r\n"
            data = data.replace(b"\r\n", b"\r").replace(b"\r", end)
        return data


class SocketConnection:
    """A line that is a connection of this process, read and written as
    text through what a spawn reads and writes a pseudo-terminal with
    (`child_fd`, `read_nonblocking`, `send`, `hang_up`, `closed`, `close`).
    A subclass says what the bytes received hold (`_received`)."""

    sock: Optional[socket.socket] = None

    def __init__(self) -> None:
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")

    @property
    def closed(self) -> bool:
        return self.sock is None

    @property
    def child_fd(self) -> int:
        return self.sock.fileno() if self.sock is not None else -1

    def _received(self, data: bytes) -> bytes:
        """The data in what arrived (the rest answered or dropped)."""
        return data

    def _buffered(self) -> bool:
        """Something received waits above the socket (a TLS layer's text)."""
        return False

    def read_nonblocking(self, size: int, timeout: float = 0.0) -> str:
        """What arrives within `timeout`, as text; pexpect.TIMEOUT when
        nothing does, pexpect.EOF once the server has closed the connection."""
        deadline = time.monotonic() + timeout
        poller = select.poll()
        poller.register(self.child_fd, select.POLLIN)
        while True:
            if not self._buffered() and not poller.poll(
                    max(deadline - time.monotonic(), 0) * 1000):
                raise pexpect.TIMEOUT("nothing arrived")
            assert self.sock is not None
            try:
                data = self.sock.recv(size)
            except (BlockingIOError, socket.timeout, ssl.SSLWantReadError):
                continue
            except (ConnectionResetError, ssl.SSLError):
                data = b""
            if not data:
                raise pexpect.EOF("the console server closed the connection")
            text = self._decoder.decode(self._received(data))
            if text:
                return text
            if time.monotonic() >= deadline:
                raise pexpect.TIMEOUT("nothing arrived")

    def send(self, text: str) -> None:
        assert self.sock is not None
        self.sock.sendall(text.encode("utf-8"))

    def _sockets(self) -> List[socket.socket]:
        return [self.sock] if self.sock is not None else []

    def hang_up(self) -> None:
        """End the connection now, from any thread: a read waiting on it
        sees the end at once."""
        for sock in self._sockets():
            try:
                # The socket's own shutdown: a TLS layer over it is not to
                # be touched from another thread.
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self) -> None:
        if self.sock is not None:
            sock, self.sock = self.sock, None
            sock.close()


class TelnetConnection(SocketConnection):
    """One connection to a console server's port: connected without
    blocking (see `finish_connect`), its negotiation answered."""

    def __init__(self, host: str, port: int) -> None:
        super().__init__()
        self.host, self.port = host, port
        self.codec = TelnetCodec()
        self._addresses: List[Any] = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        self.sock: Optional[socket.socket] = None
        self.started_at = time.monotonic()
        self.connect_time = 0.0  # seconds until the server accepted the connection
        self.up_at: Optional[float] = None  # when it was seen accepted (watch_connects)
        self._start_next()

    def _start_next(self) -> None:
        family, kind, proto, _, address = self._addresses.pop(0)
        self.up_at = None
        self.sock = socket.socket(family, kind, proto)
        self.sock.setblocking(False)
        self._error = self.sock.connect_ex(address)

    def finish_connect(self, timeout: float) -> Optional[str]:
        """Wait up to `timeout` for the connection; None once it is up, else
        why it is not ("Connection refused", "timed out"). An address that
        refuses gives way to the host's next address, as telnet does."""
        deadline = time.monotonic() + timeout
        while True:
            assert self.sock is not None
            if self._error in (0, errno.EINPROGRESS, errno.EAGAIN):
                poller = select.poll()
                poller.register(self.sock, select.POLLOUT)
                remaining = max(deadline - time.monotonic(), 0)
                if not poller.poll(remaining * 1000):
                    return "timed out"
                self._error = self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if not self._error:
                    self.connect_time = (self.up_at or time.monotonic()) - self.started_at
                    self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    self.sock.settimeout(SEND_TIMEOUT)
                    return None
            reason = os.strerror(self._error)
            self.sock.close()
            if not self._addresses:
                self.sock = None
                return reason
            self._start_next()

    def greeting(self, wait: float) -> str:
        """The text that comes with what the server sends first, within
        `wait` of the connection coming up ("" when that is a negotiation
        alone, or nothing came): a telnet server negotiates at once, and
        what it shows unasked (a screen, a greeting) comes with it."""
        poller = select.poll()
        poller.register(self.child_fd, select.POLLIN)
        # Counted from when the connection came up (a line waited for after
        # another has had that long already), but never less than the
        # shortest wait from now: this process may have been slow to look.
        left = self.started_at + self.connect_time + wait - time.monotonic()
        if not poller.poll(max(left, GREETING_WAIT_MIN) * 1000):
            return ""
        try:
            return self.read_nonblocking(4096, 0.0)
        except (pexpect.TIMEOUT, pexpect.EOF):
            return ""  # an end is found again by the next read

    def _received(self, data: bytes) -> bytes:
        data, replies = self.codec.decode(data)
        if replies:
            assert self.sock is not None
            self.sock.sendall(replies)
        return data

    def send(self, text: str) -> None:
        assert self.sock is not None
        self.sock.sendall(self.codec.encode(text))


def watch_connects(spawns: List["TelnetSpawn"], timeout: float) -> None:
    """Watch the lines still connecting all at once, noting when each comes
    up (or fails), so that one waited for after another has its own connect
    time, not the time spent on the others first."""
    poller, pending = select.poll(), {}
    for connection in (spawn._child for spawn in spawns):
        if connection.sock is not None and connection.up_at is None:
            pending[connection.sock.fileno()] = connection
            poller.register(connection.sock, select.POLLOUT)
    deadline = time.monotonic() + timeout
    while pending:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        for fd, _ in poller.poll(left * 1000):
            poller.unregister(fd)
            pending.pop(fd).up_at = time.monotonic()


class SocketSpawn(Spawn):
    """A line that is a connection of this process, with no program of its
    own: `_child` is the connection (`child_fd`, `read_nonblocking`, `send`,
    `hang_up`, `closed`, `close`), set by the subclass."""

    _child: Any

    @property
    def pid(self) -> int:
        return 0  # no process: the line is a connection of this process

    def _exited(self, wait: float) -> Optional[int]:
        return 0 if self._child.closed or self._eof else None

    def _how_it_ended(self) -> str:
        return "the console server closed the connection"

    def kill(self) -> None:
        """Hang the line up now, from any thread."""
        self._child.hang_up()

    def close(self) -> None:
        if self._child.closed:
            return
        self._child.close()
        self._eof = True
        self.log.debug("%s: closed", self.name)
        observers, self.observers = self.observers, []
        for observer in observers:
            observer.closed()


class TelnetSpawn(SocketSpawn):
    """A `console:` line: a console server's telnet port, with no process of
    its own. Started without waiting; `wait_connected` finishes it. A name
    that does not resolve raises socket.gaierror."""

    def __init__(self, host: str, port: int, name: str = "",
                 log: Optional[logging.Logger] = None, max_buffer: int = 1024 * 1024) -> None:
        self._setup("telnet %s %s" % (host, port), name, log, max_buffer)
        self.host, self.port = host, port
        self._child = TelnetConnection(host, port)
        self.log.debug("%s: connecting to %s port %s", self.name, host, port)
        for hook in spawn_hooks:
            hook(self)

    def wait_connected(self, timeout: float) -> Optional[str]:
        """Wait until the server has accepted the connection: None, or why
        it did not ("Connection refused", "timed out"); the line is then closed."""
        why = self._child.finish_connect(timeout)
        if why is not None:
            self._eof = True
            return why
        self.log.debug("%s: connected to %s port %s", self.name, self.host, self.port)
        wait = GREETING_FACTOR * self._child.connect_time
        text = self._child.greeting(min(max(wait, GREETING_WAIT_MIN), GREETING_WAIT_MAX))
        if text:
            self._take(text)
        return None
