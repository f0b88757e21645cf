"""A console of a conserver, spoken by this process.

A `conserver:` line asks the server's master where the console is served
("call CONSOLE" answers with a port, or "@HOST" for another master), then
attaches to it there. Each of the two connections greets with "ok", is
encrypted when the server offers it ("ssl", then TLS: anonymous unless the
server has a certificate, as with the server's own client), logs in ("login
USER"; "passwd? HOST" asks for the server's own password) and calls the
console, whose answer says whether this client is attached read-write
("[attached]") or only watches ("[spy]"). From then on the connection
carries the console; commands to the server go in-band behind its escape
^Ec: ";" connects the console, "a" attaches read-write, "f" forces that,
"." detaches. Each is answered with a bracketed line ("[connected]",
"[no, USER@HOST is attached]", "[bumped USER@HOST]", "[disconnect]").

Speaking it here rather than through the `console` client saves a program
per line, and every read is acknowledged at once (TCP_QUICKACK): the server
writes an answer in pieces, and a delayed acknowledgement would hold each
later piece back by some 40 ms.
"""
import getpass
import re
import socket
import ssl
import threading
import time
from typing import Any, Callable, List, Optional

from .core.errors import ConnectionError
from .spawn import spawn_hooks
from .telnet import SocketConnection, SocketSpawn

DEFAULT_PORT = 782  # the master's port when the line names none
ESCAPE = "\x05c"
REDIRECTS = 3  # "@HOST" answers followed before the server counts as misconfigured
SEND_TIMEOUT = 10.0  # seconds a send may wait for room on the connection
DETACH_WAIT = 2.0  # seconds a detach may take before the line is hung up anyway
# A server's answer to an escape command: a bracketed line.
ANSWER_RE = re.compile(rb"\[([^\]\r\n]*)\]\r\n")


class ConserverError(ConnectionError):
    """The server's refusal, as `reason` (unreachable, refused, password-needed,
    password-refused, not-found, permission, down, busy, read-only, closed,
    timed-out, protocol), with what it said and, where it tells, who."""

    def __init__(self, reason: str, said: str = "", who: str = "") -> None:
        super().__init__("%s: %s" % (reason, said))
        self.reason, self.said, self.who = reason, said, who


_context: Optional[ssl.SSLContext] = None


def tls_context() -> ssl.SSLContext:
    """What the server's own client accepts: any certificate or none (an
    anonymous key exchange is what a server without credentials offers)."""
    global _context
    if _context is None:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        context.set_ciphers("HIGH:!eNULL:@SECLEVEL=0")
        _context = context
    return _context


def _quickack(sock: socket.socket) -> None:
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
    except (AttributeError, OSError):
        pass  # not on this system: answers then come at the pace of delayed ACKs


def classify(answer: str) -> str:
    """The reason a `call` was refused, from the server's words."""
    if "not found" in answer:
        return "not-found"
    if "permission denied" in answer:
        return "permission"
    return "protocol"


class ConserverConnection(SocketConnection):
    """One console of a conserver, attached by `attach` and then read and
    written as text as any line of this process is. A host name that does
    not resolve raises socket.gaierror at once."""

    def __init__(self, host: str, port: Optional[int], console: str) -> None:
        super().__init__()
        self.host, self.port, self.console = host, port or DEFAULT_PORT, console
        socket.getaddrinfo(host, self.port, type=socket.SOCK_STREAM)
        self.sock: Optional[socket.socket] = None
        self._opening: Optional[socket.socket] = None  # the connection being set up
        self._hung_up = False
        self.encrypted = False
        self.pending = b""  # console output that came with the server's answers

    # -- attaching ---------------------------------------------------------------
    def attach(self, user: Optional[str], password: Optional[Callable[[], str]],
               take_over: bool, timeout: float) -> Optional[str]:
        """Attach read-write within `timeout` seconds: None, or who was bumped
        (take_over). Raises ConserverError; a console someone else holds is
        left as it is (reason "busy", `who` holds it)."""
        user = user or getpass.getuser()
        if re.search(r"[\s\x00-\x1f]", user):
            raise ConserverError("refused", "the user name %r holds a blank or a control "
                                 "character, which the protocol cannot carry" % user)
        try:
            return self._attach(user, password, take_over, time.monotonic() + timeout)
        except OSError as exc:  # the server went away mid-conversation
            raise ConserverError("closed", exc.strerror or str(exc)) from None

    def _attach(self, user: str, password: Optional[Callable[[], str]], take_over: bool,
                deadline: float) -> Optional[str]:
        host, port = self.host, self.port
        for _ in range(REDIRECTS + 1):
            sock = self._open(host, port, deadline)
            try:
                answer = self._login_and_call(sock, user, password, deadline)
                sock.sendall(b"exit\r\n")
            finally:
                sock.close()
            if answer.isdigit():
                break
            if not answer.startswith("@"):
                raise ConserverError(classify(answer), answer)
            host = answer[1:]
        else:
            raise ConserverError("protocol", "more than %d redirections to other masters"
                                 % REDIRECTS)
        self.pending = b""  # nothing the master said belongs to the console
        self.sock = sock = self._open(host, int(answer), deadline)
        called = self._login_and_call(sock, user, password, deadline)
        if called not in ("[attached]", "[spy]"):
            raise ConserverError(classify(called), called)
        connected = self.command(";", deadline)
        if "down" in connected:
            raise ConserverError("down", "[%s]" % connected)
        if called == "[attached]":
            return None
        answer = self.command("f" if take_over else "a", deadline)
        if answer == "ok":
            return None
        match = re.match(r"bumped (.+)$", answer)
        if match and take_over:
            return match.group(1)
        match = re.match(r"no, (.+) is attached$", answer)
        if match:
            raise ConserverError("busy", "[%s]" % answer, match.group(1))
        if "read-only" in answer:
            raise ConserverError("read-only", "[%s]" % answer)
        raise ConserverError("protocol", "[%s]" % answer)

    def _open(self, host: str, port: int, deadline: float) -> socket.socket:
        if self._hung_up:
            raise ConserverError("closed", "the line was hung up")
        try:
            sock = socket.create_connection((host, port), timeout=self._left(deadline))
        except socket.gaierror as exc:
            raise ConserverError("unresolvable", "%s: %s" % (host, exc.strerror or exc)) from None
        except socket.timeout:
            raise ConserverError("unreachable", "%s port %d: timed out" % (host, port)) from None
        except OSError as exc:
            raise ConserverError("unreachable", "%s port %d: %s"
                                 % (host, port, exc.strerror or exc)) from None
        self._opening = sock
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            greeting = self._line(sock, deadline)
            if greeting != "ok":
                raise ConserverError("refused", greeting)
            sock.sendall(b"ssl\r\n")
            if self._line(sock, deadline) == "ok":
                sock.settimeout(self._left(deadline))
                sock = self._opening = tls_context().wrap_socket(sock)
                self.encrypted = True
            else:
                self.encrypted = False
            sock.settimeout(SEND_TIMEOUT)
            return sock
        except ssl.SSLError as exc:
            sock.close()
            raise ConserverError("refused", "encryption failed: %s" % exc) from None
        except (ConserverError, OSError):
            sock.close()
            raise

    def _login_and_call(self, sock: socket.socket, user: str,
                        password: Optional[Callable[[], str]], deadline: float) -> str:
        sock.sendall(b"login %s\r\n" % user.encode())
        answer = self._line(sock, deadline)
        if answer.startswith("passwd?"):
            who = "%s@%s" % (user, answer[len("passwd?"):].strip() or self.host)
            if password is None:
                raise ConserverError("password-needed", answer, who)
            if not self.encrypted:
                raise ConserverError("refused", "the server offers no encryption: its "
                                     "password is not sent in clear", who)
            sock.sendall(password().encode() + b"\r\n")
            answer = self._line(sock, deadline)
            if answer != "ok":
                raise ConserverError("password-refused", answer, who)
        elif answer != "ok":
            raise ConserverError("refused", answer)
        sock.sendall(b"call %s\r\n" % self.console.encode())
        return self._line(sock, deadline)

    def _line(self, sock: socket.socket, deadline: float) -> str:
        """The server's next answer line (without its CR LF)."""
        data = b""
        while b"\r\n" not in data:
            sock.settimeout(self._left(deadline))
            try:
                chunk = sock.recv(4096)
            except socket.timeout:
                raise ConserverError("timed-out", data.decode("utf-8", "replace")) from None
            except (ConnectionResetError, ssl.SSLError):
                chunk = b""
            if not chunk:
                raise ConserverError("closed", data.decode("utf-8", "replace").strip())
            _quickack(sock)
            data += chunk
        line, _, rest = data.partition(b"\r\n")
        self.pending += rest
        return line.decode("utf-8", "replace").strip()

    def command(self, key: str, deadline: float) -> str:
        """Send the escape command `key`; the server's answer, without its
        brackets. Console output around it is kept for the line (`pending`)."""
        assert self.sock is not None
        self.sock.sendall((ESCAPE + key).encode())
        data, self.pending = self.pending, b""
        while True:
            match = ANSWER_RE.search(data)
            if match:
                self.pending = data[:match.start()] + data[match.end():]
                return match.group(1).decode("utf-8", "replace")
            self.sock.settimeout(self._left(deadline))
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                self.pending = data
                raise ConserverError("timed-out", "no answer to ^Ec%s" % key) from None
            except (ConnectionResetError, ssl.SSLError):
                chunk = b""
            if not chunk:
                raise ConserverError("closed", data.decode("utf-8", "replace").strip())
            _quickack(self.sock)
            data += chunk

    @staticmethod
    def _left(deadline: float) -> float:
        left = deadline - time.monotonic()
        if left <= 0:
            raise ConserverError("timed-out")
        return left

    def detach(self, wait: float) -> None:
        """Detach (^Ec.) so that the console is free for the next user at
        once; wait up to `wait` for the server to say so."""
        try:
            self.command(".", time.monotonic() + wait)
        except (ConserverError, OSError):
            pass  # gone already: closing the connection ends it all the same

    # -- the console's stream ----------------------------------------------------
    def take_pending(self) -> str:
        data, self.pending = self.pending, b""
        return self._decoder.decode(data)

    def read_nonblocking(self, size: int, timeout: float = 0.0) -> str:
        text = self.take_pending() if self.pending else ""
        return text or super().read_nonblocking(size, timeout)

    def _received(self, data: bytes) -> bytes:
        assert self.sock is not None
        _quickack(self.sock)
        return data

    def _buffered(self) -> bool:
        # Decrypted text may wait in the TLS layer with nothing on the socket.
        return isinstance(self.sock, ssl.SSLSocket) and self.sock.pending() > 0

    def _sockets(self) -> List[socket.socket]:
        return [sock for sock in (self.sock, self._opening) if sock is not None]

    def hang_up(self) -> None:
        self._hung_up = True  # and no connection is set up after this
        super().hang_up()


class ConserverSpawn(SocketSpawn):
    """A `conserver:` line, attached in the background from `begin_attach`
    on (the lines of a device attach together; `wait_attached` waits for
    it). Closing it detaches first, so that the server frees the
    console for the next user at once."""

    attached = False
    _attaching: Optional[threading.Thread] = None
    _outcome: Any = None

    def __init__(self, host: str, port: Optional[int], console: str, name: str = "",
                 log: Any = None, max_buffer: int = 1024 * 1024) -> None:
        self._setup("conserver %s@%s:%s" % (console, host, port or DEFAULT_PORT), name, log,
                    max_buffer)
        self._child = ConserverConnection(host, port, console)
        for hook in spawn_hooks:
            hook(self)

    def begin_attach(self, user: Optional[str], password: Optional[Callable[[], str]],
                     take_over: bool, timeout: float) -> None:
        def run() -> None:
            try:
                self._outcome = self._child.attach(user, password, take_over, timeout)
            except Exception as exc:  # raised again, the same object, by wait_attached()
                self._outcome = exc

        self._attaching = threading.Thread(target=run, name="attach %s" % self.name,
                                           daemon=True)
        self._attaching.start()

    def wait_attached(self) -> Optional[str]:
        """Wait for the attach begin_attach began: see ConserverConnection.attach.
        The line is closed when it failed."""
        attached = False
        try:
            assert self._attaching is not None, "begin_attach first"
            self._attaching.join()
            self._attaching = None
            if isinstance(self._outcome, Exception):
                raise self._outcome
            bumped = self._outcome
            attached = True
        finally:
            if not attached:
                self._child.close()
                self._eof = True
        self.attached = True
        self.log.debug("%s: attached to console %s (%s)", self.name, self._child.console,
                       "encrypted" if self._child.encrypted else "in clear")
        text = self._child.take_pending()
        if text:
            self._take(text)
        return bumped

    def close(self) -> None:
        if self._attaching is not None:  # closed before the attach was waited for
            self._child.hang_up()
            self._attaching.join()
            self._attaching = None
            self._child.close()
        if self.attached and not self._child.closed and not self._eof:
            self.attached = False
            self._child.detach(DETACH_WAIT)
        super().close()

