"""Spawn: one console line, a child process on a real pseudo-terminal.

The spawn keeps its own buffer of text received and not yet consumed, so that
callers can inspect and drop it (`buffer`), and so that a line that never stops
talking cannot grow memory without bound: the buffer is capped and its oldest
text is dropped first.
"""
import fcntl
import logging
import os
import re
import shlex
import signal
import struct
import termios
import time
from typing import (Any, Callable, List, Mapping, Optional, Pattern, Protocol, Sequence, Tuple,
                    Union, runtime_checkable)

import pexpect
from pexpect import fdpexpect

from .core.errors import ConnectionError, TimeoutError
from .secrets import Masker
from .terminal import TerminalText

PatternLike = Union[str, Pattern]

# A regex match may span this much text already searched before new data came.
SEARCH_OVERLAP = 4096
READ_SIZE = 4096
# How long a line's process may take to end after its hang-up before it is killed.
CLOSE_WAIT = 0.5
# Characters of the line's latest output quoted in errors (whether consumed or not).
TAIL = 200
# Characters of each chunk received shown in the debug log.
LOG_CHUNK = 200
# Called with every new spawn once its line is open (fleet session logs and
# time limits attach themselves here); a hook must not raise.
spawn_hooks: List[Callable[["Spawn"], None]] = []


def start_on_pty(argv: Sequence[str], dimensions: Sequence[int] = (24, 80),
                 env: Optional[Mapping[str, str]] = None) -> Tuple[int, int]:
    """Run `argv` (searched on PATH) on a new pseudo-terminal that becomes its
    controlling terminal, in a session of its own; returns (pid, master fd).

    posix_spawn starts the child without copying the caller's memory (a fork
    of a large Python process costs tens of milliseconds). Opening the terminal
    by name after setsid makes it the child's controlling terminal, so closing
    the master hangs the child up. SIGHUP, SIGINT and SIGPIPE start with their
    default action even where the caller ignores them."""
    master, slave = os.openpty()  # neither is inherited by the child
    started = False
    try:
        rows, cols = dimensions
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        pid = os.posix_spawnp(argv[0], list(argv), os.environ if env is None else env,
                              file_actions=[(os.POSIX_SPAWN_OPEN, 0, os.ttyname(slave), os.O_RDWR, 0),
                                            (os.POSIX_SPAWN_DUP2, 0, 1),
                                            (os.POSIX_SPAWN_DUP2, 0, 2)],
                              setsid=True,
                              setsigdef=(signal.SIGHUP, signal.SIGINT, signal.SIGPIPE))
        started = True
    finally:
        os.close(slave)
        if not started:
            os.close(master)
    return pid, master


class TranscriptObserver(Protocol):
    """Watches what crosses a line: every text sent and every chunk received
    (as read, in order), then the line's end. Recorders and session logs
    attach one to a spawn with `Spawn.observe`; an observer must not raise."""

    def sent(self, data: str) -> None: ...

    def received(self, data: str) -> None: ...

    def closed(self) -> None: ...


class ExpectResult:
    """What `Spawn.expect` found."""

    def __init__(self, match_output: str, match: "re.Match", index: int, pattern: Pattern,
                 sent_since: int = 0, sends: int = 0) -> None:
        self.match_output = match_output  # the text read, up to and including the match
        self.match = match
        self.index = index  # which of the patterns matched
        self.pattern = pattern
        # Sends made after the matched text had arrived: it cannot answer them.
        self.sent_since = sent_since
        self.sends = sends  # the line's send count when the match was found

    @property
    def match_text(self) -> str:
        return self.match.group(0)

    def __repr__(self) -> str:
        return "ExpectResult(index=%d, match=%r)" % (self.index, self.match_text)


@runtime_checkable
class SpawnLike(Protocol):
    """What the state machine needs of a console line; `Spawn` is the real
    one, tests bring fakes. The line's I/O and what it has seen; what the
    conversation on it means (prompts owed, the answer awaited, the hostname
    seen) is the state machine's own record (quorvi.linerecord)."""

    name: str
    log: logging.Logger
    buffer: str  # text received and not yet consumed
    sends: int  # how many times text was sent
    received: int  # how many characters were received
    last_match: Optional[ExpectResult]  # what the last expect found
    hostname_mismatch: bool  # written by the link brokers' hostname check
    # Set by the transport that opened the line: statements applied while a
    # prompt is sought, and how long to wait before the first empty line.
    connect_dialog: list
    min_nudge_interval: float
    # A line may also tell when it last sent (`last_send_time`, monotonic):
    # an answer then counts from that send, not from the start of a wait.

    @property
    def closed(self) -> bool: ...

    @property
    def eof(self) -> bool: ...

    def sendline(self, text: str = "") -> None: ...

    def expect(self, pattern: Any, timeout: Optional[float] = None, log_timeout: bool = True,
               trim_buffer: bool = True) -> ExpectResult: ...

    def read_pending(self, timeout: float = 0.0) -> str: ...

    def settle(self, quiet: float = 0.05, limit: float = 1.0) -> str: ...

    def last_words(self) -> str: ...


def compile_patterns(pattern: Union[PatternLike, Sequence[PatternLike]]) -> List[Pattern]:
    patterns = [pattern] if isinstance(pattern, (str, re.Pattern)) else list(pattern)
    return [p if isinstance(p, re.Pattern) else re.compile(p) for p in patterns]


class Spawn:
    """A console line opened by running `command` on a pseudo-terminal."""

    def __init__(self, command: str, name: str = "", log: Optional[logging.Logger] = None,
                 max_buffer: int = 1024 * 1024, dimensions: Sequence[int] = (24, 512),
                 env: Optional[dict] = None) -> None:
        self._setup(command, name, log, max_buffer)
        try:
            argv = shlex.split(command)
        except ValueError as exc:
            raise ConnectionError("line %s: cannot parse its command: %s" % (self.name, exc)) from None
        if not argv:
            raise ConnectionError("empty command for line %s" % self.name)
        try:
            self._pid, master = start_on_pty(argv, dimensions, env)
        except OSError as exc:
            self.log.debug("%s: cannot start %s: %s", self.name, command, exc)
            raise ConnectionError("cannot start line %s: %s: %s; check the line's command"
                                  % (self.name, argv[0], exc.strerror or exc)) from None
        # pexpect reads and writes the line; unlike pexpect.spawn, nothing
        # sleeps before a send.
        self._child = fdpexpect.fdspawn(master, encoding="utf-8", codec_errors="replace",
                                        use_poll=True)
        self.log.debug("%s: started %s, pid %s", self.name, command, self.pid)
        for hook in spawn_hooks:
            hook(self)

    def _setup(self, command: str, name: str, log: Optional[logging.Logger],
               max_buffer: int) -> None:
        """Everything a line keeps but its process."""
        self.command = command
        self.name = name or command
        self.log = log or logging.getLogger("quorvi.spawn")
        self.max_buffer = max(int(max_buffer), 2 * SEARCH_OVERLAP)
        self.hostname_mismatch = False
        self.default_timeout = 10.0
        self.dropped = 0  # characters dropped from the head of the buffer so far
        self._buffer = ""
        # What the buffer holds of the line's output: its text, without the
        # terminal's control sequences (see quorvi.terminal).
        self._screen = TerminalText()
        self._tail = ""  # the last TAIL characters received
        # (patterns, end): the buffer was searched for these patterns up to
        # `end` (counted from the first character ever received) without a match.
        self._searched: Optional[tuple] = None
        self._eof = False
        self.sends = 0  # how many times text was sent
        self.last_send_time = 0.0  # time.monotonic() of the last send
        self._received = 0  # characters received so far
        self._send_marks: List[int] = []  # characters received before each recent send
        self.last_match: Optional[ExpectResult] = None  # what the last expect found
        self._hidden = Masker()  # the device's secrets, masked in this line's log
        self._log_stream = self._hidden.stream()  # what the debug log shows of what was received
        # Set by the transport that opened the line (quorvi.transports): the
        # statements applied while a prompt is sought (console-server banner,
        # ssh errors), and how long to wait before the first empty line is sent.
        self.connect_dialog: list = []
        self.min_nudge_interval = 0.0
        # When a console server accepted the line, and how many seconds that took.
        self.connected_at = self.connect_time = 0.0
        # Lines sent by the transport to the console server itself (its
        # attach, its own login): none of them reached the device.
        self.connect_sends = 0
        # Set while a console server's line is still to be connected
        # (quorvi.transports.wait_for_server finishes it).
        self.server_pending: Optional[Callable[[], None]] = None
        self.observers: List[TranscriptObserver] = []
        self.transport = "command"  # how the line was opened (quorvi.transports sets it)
        self._exit_status: Optional[int] = None
        self._pid = 0

    def __str__(self) -> str:
        # Messages name the line; its full command is logged at debug level only.
        return self.name

    def __del__(self) -> None:
        # A line dropped without close() still hangs up its process.
        child = getattr(self, "_child", None)
        if child is not None and not child.closed:
            try:
                child.close()
            except OSError:
                pass

    def observe(self, observer: TranscriptObserver) -> None:
        """Attach an observer of the line's transcript (see TranscriptObserver)."""
        self.observers.append(observer)

    @property
    def pid(self) -> int:
        return self._pid

    @property
    def closed(self) -> bool:
        return self._child.closed

    def fileno(self) -> int:
        """The line's file descriptor, to wait on several lines at once (select)."""
        return self._child.child_fd

    @property
    def eof(self) -> bool:
        """True once the child closed its side of the line."""
        return self._eof

    def last_words(self) -> str:
        """What errors about this line quote: how its program ended, if it did,
        and the last characters it printed."""
        words = []
        if self._eof or self._child.closed:
            words.append(self._how_it_ended())
        # Its lines joined, shown as printed (quoted only when not printable).
        tail = " / ".join(line.strip() for line in self._tail.splitlines() if line.strip())
        if not tail:
            words.append("it printed nothing")
        else:
            words.append("last output: %s" % (tail if tail.isprintable() else repr(tail)))
        return "; ".join(words)

    def _how_it_ended(self) -> str:
        status = self._exited(0.2)  # a program that closed its terminal is ending
        if status is None:
            return "its program closed the line"
        if os.WIFSIGNALED(status):
            return "its program was ended by signal %d" % os.WTERMSIG(status)
        return "its program exited with status %d" % os.waitstatus_to_exitcode(status)

    def kill(self) -> None:
        """End the line's program now (from any thread): whoever reads the
        line sees it close."""
        if self._pid <= 0:
            return  # never started: no process (0 would be the whole group)
        try:
            os.kill(self._pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def is_alive(self) -> bool:
        return not self._child.closed and self._exited(0) is None

    def _exited(self, wait: float) -> Optional[int]:
        """The process's exit status once it has ended (reaping it), waiting up
        to `wait` seconds for that; None while it runs."""
        deadline = time.monotonic() + wait
        pause = 0.0005
        while self._exit_status is None:
            try:
                pid, status = os.waitpid(self._pid, os.WNOHANG)
            except ChildProcessError:
                status, pid = 0, self._pid  # reaped elsewhere
            if pid:
                self._exit_status = status
                break
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            time.sleep(min(pause, remaining))
            pause = min(pause * 2, 0.02)
        return self._exit_status

    @property
    def received(self) -> int:
        """Characters received so far (consumed or not)."""
        return self._received

    @property
    def buffer(self) -> str:
        """Text received and not yet consumed by an `expect`."""
        return self._buffer

    @buffer.setter
    def buffer(self, value: str) -> None:
        self._buffer = value or ""
        self._searched = None

    def send(self, text: str) -> None:
        if self._child.closed or self._eof:
            raise ConnectionError("%s: the line is closed, cannot send %r" % (self, text))
        try:
            self._child.send(text)
        except OSError as exc:
            raise ConnectionError("%s: cannot send %r: %s" % (self, self._hidden(text), exc)) from None
        self.sends += 1
        self.last_send_time = time.monotonic()
        for observer in self.observers:
            observer.sent(text)
        start = self._received - len(self._buffer)
        self._send_marks = [m for m in self._send_marks if m > start] + [self._received]

    def sent_since(self, index: int) -> int:
        """How many sends came after the text at `index` in the buffer arrived."""
        position = self._received - len(self._buffer) + index
        return sum(1 for mark in self._send_marks if mark > position)

    def hide(self, *secrets: str) -> None:
        """Keep `secrets` (the device's, a password about to be sent) out of
        this line's log."""
        self._hidden.add(*secrets)

    def sendline(self, text: str = "") -> None:
        self.log.debug("%s: send %r", self.name, self._hidden(text))
        self.send(text + "\r")

    def _append(self, data: str) -> None:
        data, erased = self._screen.feed(data)
        if erased:
            self._take_back(erased)
        self._received += len(data)
        self._tail = (self._tail + data)[-TAIL:]
        self._buffer += data
        excess = len(self._buffer) - self.max_buffer
        if excess > 0:
            self._buffer = self._buffer[excess:]
            self.dropped += excess

    def _take_back(self, count: int) -> None:
        """Backspaces erase the end of the buffer's last line, never text
        that was there when something was last sent."""
        last_send = self._send_marks[-1] if self._send_marks else 0
        line = len(self._buffer) - max(self._buffer.rfind("\n"), self._buffer.rfind("\r")) - 1
        count = min(count, line, self._received - last_send, len(self._buffer))
        if count > 0:
            self._buffer = self._buffer[:-count]
            self._tail = self._tail[:-count]
            self._received -= count
            self._searched = None

    def read_pending(self, timeout: float = 0.0) -> str:
        """Read what arrives within `timeout` (at most one chunk) into the buffer."""
        if self._eof or self._child.closed:
            return ""
        try:
            data = self._child.read_nonblocking(READ_SIZE, timeout=max(timeout, 0))
        except pexpect.TIMEOUT:
            return ""
        except pexpect.EOF:
            self._eof = True
            return ""
        self._take(data)
        return data

    def _take(self, data: str) -> None:
        """Text read from the line: logged, observed, added to the buffer."""
        # Bounded: a console that floods the line must not flood the log too.
        # An echoed secret may come in two reads: the end of a read that may
        # begin one is shown with the next read.
        shown = self._log_stream.feed(data)
        self.log.debug("%s: received %d characters: %r", self.name, len(data), shown[:LOG_CHUNK])
        for observer in self.observers:
            observer.received(data)
        self._append(data)

    def settle(self, quiet: float = 0.05, limit: float = 1.0) -> str:
        """Read pending output until the line has been quiet for `quiet` seconds
        (at most `limit` seconds in all); returns the buffer."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if not self.read_pending(min(quiet, max(deadline - time.monotonic(), 0))):
                break
        return self._buffer

    def _search(self, patterns: List[Pattern], start: int):
        for index, pattern in enumerate(patterns):
            match = pattern.search(self._buffer, start)
            if match:
                return index, match
        return None

    def expect(self, pattern: Union[PatternLike, Sequence[PatternLike]],
               timeout: Optional[float] = None,
               log_timeout: bool = True, trim_buffer: bool = True) -> ExpectResult:
        """Wait until one of `pattern` (a regex or a list of them, earlier ones
        preferred) matches the text received, and return what was read.

        With `trim_buffer` the text up to the end of the match is consumed;
        without it the buffer is left as it is. Raises TimeoutError when the
        time runs out (`timeout` seconds, None: `default_timeout`) or the line
        closes first."""
        patterns = compile_patterns(pattern)
        timeout = self.default_timeout if timeout is None else timeout
        began = time.monotonic()
        deadline = began + timeout
        # Waiting again for the same patterns (a prompt, polled in short waits)
        # goes on where the last wait stopped, so that a long buffer is not
        # searched from its head on every call.
        start = 0
        if self._searched is not None and self._searched[0] == patterns:
            start = max(0, self._searched[1] - self.dropped - SEARCH_OVERLAP)
        self._searched = None
        while True:
            found = self._search(patterns, start)
            if found:
                index, match = found
                output = self._buffer[:match.end()]
                sent_since = self.sent_since(match.start())
                if trim_buffer:
                    self._buffer = self._buffer[match.end():]
                self.last_match = ExpectResult(output, match, index, patterns[index], sent_since,
                                               self.sends)
                return self.last_match
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self._eof or self._child.closed:
                break
            old_end, dropped = len(self._buffer), self.dropped
            if self.read_pending(remaining):
                # Search again only where a new match can be: the new text and
                # an overlap before it (the old end moves when the head is dropped).
                old_end = min(old_end - (self.dropped - dropped), len(self._buffer))
                start = max(0, old_end - SEARCH_OVERLAP)
        self._searched = (patterns, self.dropped + len(self._buffer))
        last_words = ""
        if self._eof or self._child.closed:
            reason, waited = "the line closed", time.monotonic() - began
            last = [line.strip() for line in self._buffer[-400:].splitlines() if line.strip()]
            if last:
                # A line that ends usually says why (a console server, a replay).
                words = last[-1][-200:]
                last_words = "; its last output: %s" % (words if words.isprintable()
                                                         else repr(words))
        else:
            reason, waited = "timeout", timeout
        message = "%s: %s after %.1fs waiting for %s" % (
            self, reason, waited, " or ".join(repr(p.pattern) for p in patterns))
        message += last_words
        if self.hostname_mismatch:
            message += " (hint: the prompt's hostname differs from the expected hostname)"
        if log_timeout:
            self.log.warning("%s; last output: %r", message, self._buffer[-200:])
        raise TimeoutError(message)

    def close(self) -> None:
        """Hang the line up and reap its process (killed if it does not end
        within CLOSE_WAIT seconds)."""
        if self._child.closed and self._exit_status is not None:
            return
        if not self._child.closed:
            self._child.close()  # the child gets SIGHUP from its terminal
        if self._exited(CLOSE_WAIT) is None:
            try:
                os.kill(self._pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self._exited(5.0)
        self._eof = True
        self.log.debug("%s: closed", self.name)
        observers, self.observers = self.observers, []
        for observer in observers:
            observer.closed()
