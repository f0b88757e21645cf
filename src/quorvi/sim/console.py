"""One console of a simulated device as a process of its own, on stdin/stdout.

A console process is started for every line a test or a script opens: it
imports as little as it can (no typing, no logging). The terminal (the
pseudo-terminal's line discipline) echoes and edits the lines; this driver
only turns echo off for secrets and drops typed-ahead input."""
from __future__ import annotations

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
        self.behaviour = ConsoleBehaviour(device, name, SharedState(device_path), self.write_raw)

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

    def run(self, left_in: str | None = None) -> None:
        steps = self.behaviour.run(left_in)
        answer = None
        try:
            while True:
                request = steps.send(answer)
                kind = request[0]
                answer = None
                if kind == "line":
                    answer = self.readline()
                elif kind == "key":
                    # A terminal in line mode hands over whole lines: the first key of one.
                    line = self.readline()
                    answer = None if line is None else (line[:1] or "\r")
                elif kind == "secret":
                    answer = self.read_secret(request[1])
                elif kind == "flush":
                    if self.is_tty():
                        termios.tcflush(self.stdin.fileno(), termios.TCIFLUSH)
                elif kind == "sleep":
                    time.sleep(request[1])
        except StopIteration:
            pass
        finally:
            steps.close()
