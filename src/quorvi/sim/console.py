"""One console of a simulated device as a process of its own, on stdin/stdout.

A console process is started for every line a test or a script opens: it
imports as little as it can (no typing, no logging). The terminal (the
pseudo-terminal's line discipline) echoes and edits the lines; this driver
only turns echo off for secrets and drops typed-ahead input."""
from __future__ import annotations

import os
import select
import sys
import time

from .model import SharedState
from .behaviour import ConsoleBehaviour, match_command  # noqa: F401  (match_command: the old import path)

try:
    import termios
except ImportError:  # pragma: no cover - not a POSIX system
    termios = None  # type: ignore[assignment]


class Console:
    """Runs a `ConsoleBehaviour` on a pair of text streams."""

    def __init__(self, device: dict, device_path: str, name: str,
                 stdin=sys.stdin, stdout=sys.stdout) -> None:
        self.stdin = stdin
        self.stdout = stdout
        self.shared = SharedState(device_path)
        self.behaviour = ConsoleBehaviour(device, name, self.shared, self.write_raw)
        self.wake: int | None = None  # the read end of this console's wake-up pipe

    def write_raw(self, data: bytes) -> None:
        """Bytes as they are, whatever their encoding."""
        raw = getattr(self.stdout, "buffer", None)
        if raw is None:
            try:
                text = data.decode()
            except UnicodeDecodeError:
                text = data.decode("latin-1")
            self.stdout.write(text)
            self.stdout.flush()
            return
        self.stdout.flush()
        raw.write(data)
        raw.flush()

    def readline(self) -> str | None:
        line = self.stdin.readline()
        if not line:
            return None
        return line.rstrip("\r\n")

    def is_tty(self) -> bool:
        return termios is not None and self.stdin.isatty()

    def read_secret(self, question: str) -> str | None:
        """Echo is off before the question shows; typed-ahead input is dropped."""
        fd, saved = None, None
        if self.is_tty():
            fd = self.stdin.fileno()
            saved = termios.tcgetattr(fd)
            quiet = list(saved)
            quiet[3] &= ~termios.ECHO
            termios.tcsetattr(fd, termios.TCSAFLUSH, quiet)
        try:
            self.write_raw(question.encode())
            return self.readline()
        finally:
            if fd is not None and saved is not None:
                termios.tcsetattr(fd, termios.TCSANOW, saved)

    def read_key(self) -> str | None:
        """One key as typed: the terminal leaves line mode for it."""
        if not self.is_tty():
            # Not a terminal: whole lines come in; the first key of one.
            line = self.readline()
            return None if line is None else (line[:1] or "\r")
        fd = self.stdin.fileno()
        saved = termios.tcgetattr(fd)
        raw = list(saved)
        raw[3] &= ~(termios.ICANON | termios.ECHO)
        raw[6] = list(raw[6])
        raw[6][termios.VMIN], raw[6][termios.VTIME] = 1, 0
        termios.tcsetattr(fd, termios.TCSANOW, raw)
        try:
            key = os.read(fd, 1)
        finally:
            termios.tcsetattr(fd, termios.TCSANOW, saved)
        return key.decode("latin-1") if key else None

    def idle(self) -> bool:
        """Wait for input (True) or a wake-up from another console (False).
        Scripted input (not a terminal) is always there."""
        if not self.is_tty() or self.wake == -1:
            return True
        if self.wake is None:
            try:
                self.wake = self.shared.wake_fd(self.behaviour.name)
            except OSError:
                self.wake = -1  # no pipe beside the device file: input only
                return True
            return False  # a wake-up before the pipe was there is lost: look now
        ready, _, _ = select.select([self.stdin.fileno(), self.wake], [], [])
        if self.wake in ready:
            while True:
                try:
                    if not os.read(self.wake, 512):
                        break
                except BlockingIOError:
                    break
            return False
        return True

    def run(self, left_in: str | None = None) -> None:
        if self.behaviour.habits.device_echo and self.is_tty():
            # The device echoes each line itself, when it reads it.
            attributes = termios.tcgetattr(self.stdin.fileno())
            attributes[3] &= ~termios.ECHO
            termios.tcsetattr(self.stdin.fileno(), termios.TCSANOW, attributes)
        steps = self.behaviour.run(left_in)
        answer: str | bool | None = None
        try:
            while True:
                request = steps.send(answer)
                kind = request[0]
                answer = None
                if kind == "line":
                    answer = self.readline()
                elif kind == "key":
                    answer = self.read_key()
                elif kind == "secret":
                    answer = self.read_secret(request[1])
                elif kind == "flush":
                    if self.is_tty():
                        termios.tcflush(self.stdin.fileno(), termios.TCIFLUSH)
                elif kind == "sleep":
                    time.sleep(request[1])
                elif kind == "idle":
                    answer = self.idle()
        except StopIteration:
            pass
        finally:
            steps.close()
            if self.wake is not None and self.wake >= 0:
                os.close(self.wake)
