"""One console of a simulated device, on stdin/stdout.

A console is a process of its own, started for every line a test or a script
opens: it imports as little as it can (no typing, no logging), so annotations
here are never evaluated."""
from __future__ import annotations

import re
import sys
import time

from . import outputs as out
from .model import SharedState, find_console

try:
    import termios
except ImportError:  # pragma: no cover - not a POSIX system
    termios = None  # type: ignore[assignment]


def match_command(words: list[str], table: dict[tuple[str, ...], str]) -> tuple[str | None, bool]:
    """(handler, ambiguous) for typed `words`: each word a prefix of the
    canonical word at its position; "<arg>" takes any word."""
    candidates = []
    for canonical, handler in table.items():
        if len(canonical) != len(words):
            continue
        if all(c == "<arg>" or c.startswith(w.lower()) for c, w in zip(canonical, words)):
            candidates.append((canonical, handler))
    if len(candidates) > 1:
        exact = [h for c, h in candidates if all(a == "<arg>" or a == w.lower()
                                                 for a, w in zip(c, words))]
        if len(exact) == 1:
            return exact[0], False
        return None, True
    if candidates:
        return candidates[0][1], False
    return None, False


class Console:
    """Prompts, modes and command answers of one console line."""

    def __init__(self, device: dict, device_path: str, name: str,
                 stdin=sys.stdin, stdout=sys.stdout) -> None:
        self.device = device
        self.console = find_console(device, name)
        self.name = name
        self.shared = SharedState(device_path)
        self.stdin = stdin
        self.stdout = stdout
        self.mode = "disable"
        self.submode = "config"
        self.chassis = device["chassis"]
        self.role = self.console["role"]
        self.is_standby = self.chassis in ("dual", "quad") and self.role == "standby"
        self.bad: dict = dict((device.get("misbehave") or {}).get(name) or {})

    # -- terminal ---------------------------------------------------------
    def write(self, text: str) -> None:
        self.stdout.write(text)
        self.stdout.flush()

    def write_lines(self, lines: list[str]) -> None:
        if lines:
            self.write("\n".join(lines) + "\n")

    def write_raw(self, data: bytes) -> None:
        """Bytes as they are, whatever their encoding."""
        self.stdout.flush()
        raw = getattr(self.stdout, "buffer", None)
        if raw is None:
            self.write(data.decode("latin-1"))
            return
        raw.write(data)
        raw.flush()

    def readline(self) -> str | None:
        line = self.stdin.readline()
        if not line:
            return None
        return line.rstrip("\r\n")

    def discard_typed_ahead(self) -> None:
        """Drop input typed before a question showed, as login prompts do:
        an empty line sent to a console still starting is no user name."""
        if termios is not None and self.stdin.isatty():
            termios.tcflush(self.stdin.fileno(), termios.TCIFLUSH)

    def read_secret(self, question: str) -> str | None:
        """Ask without echoing the answer (echo is off before the question
        shows); what was typed before the question is dropped."""
        fd, saved = None, None
        if termios is not None and self.stdin.isatty():
            fd = self.stdin.fileno()
            saved = termios.tcgetattr(fd)
            quiet = list(saved)
            quiet[3] &= ~termios.ECHO
            termios.tcsetattr(fd, termios.TCSAFLUSH, quiet)
        try:
            self.write(question)
            answer = self.readline()
        finally:
            if fd is not None and saved is not None:
                termios.tcsetattr(fd, termios.TCSANOW, saved)
        self.write("\n")
        return answer

    def fields(self) -> dict:
        device = self.device
        return {
            "hostname": device["hostname"], "os": device["os"], "platform": device["platform"],
            "version": device["version"], "serial": device["serial"], "console": self.name,
            "os_title": out.OS_TITLES.get(device["os"], device["os"]),
            "members": max(len(device["members"]), 1), "mode": device["redundancy_mode"],
            "stack_mac": device["stack_mac"],
        }

    def prompt(self) -> str:
        suffix = out.STANDBY_SUFFIX if self.is_standby else ""
        return out.PROMPTS[self.mode].format(hostname=self.device["hostname"], suffix=suffix,
                                             mode=self.submode)

    # -- life cycle -------------------------------------------------------
    def run(self) -> None:
        if self.console["silent"]:
            while self.stdin.readline():
                pass  # a silent RP reads and never answers
            return
        if self.bad.get("noise"):
            noise = bytes.fromhex(self.bad["noise"])
            self.write_raw(noise)
            while self.bad.get("noise_forever"):
                self.write_raw(noise)
        if not self.start_session():
            return
        while True:
            self.write(self.prompt())
            line = self.readline()
            if line is None:
                return
            delay = float(self.device["response_delay"] or 0)
            if delay:
                time.sleep(delay)
            if not self.handle(line):
                return

    def start_session(self) -> bool:
        """Banner, then the login when the device asks for one; False on EOF."""
        self.write("\n" + out.BANNER.format(**self.fields()) + "\n\n")
        if not self.misbehave_after_banner():
            return False
        self.mode = "disable"
        login = self.device.get("login")
        while login:
            self.discard_typed_ahead()
            self.write(out.LOGIN_USERNAME)
            username = self.readline()
            if username is None:
                return False
            password = self.read_secret(out.LOGIN_PASSWORD)
            if password is None:
                return False
            if username == login.get("username") and password == login.get("password"):
                break
            self.write_lines([out.ERRORS["login"], ""])
        return True

    def misbehave_after_banner(self) -> bool:
        """A long line, endless output or the end of the console; False ends it."""
        if self.bad.get("close_after") == "banner":
            return False
        length = int(self.bad.get("long_line") or 0)
        while length > 0:
            self.write("x" * min(length, 65536))
            length -= 65536
        if self.bad.get("long_line"):
            self.write("\n")
        while self.bad.get("flood"):
            self.write(self.bad["flood"])
        return True

    # -- commands ---------------------------------------------------------
    def handle(self, line: str) -> bool:
        """Answer one input line; False ends the console."""
        text = line.strip()
        if not text:
            return True
        if self.mode == "config":
            self.shared.record("commands", self.name, text)
            self.handle_config(text)
            return True
        self.shared.record("commands", self.name, text)
        closing = text == self.bad.get("close_after")
        if closing and not self.bad.get("close_midway"):
            return False
        command, _, pipe = text.partition("|")
        words = command.split()
        handler, ambiguous = match_command(words, out.EXEC_COMMANDS)
        if ambiguous:
            self.write_lines([out.ERRORS["ambiguous"].format(line=text)])
            return True
        if handler is None or (self.mode == "disable" and handler not in out.DISABLE_HANDLERS):
            self.write_lines([out.ERRORS["invalid"]])
            return True
        lines = getattr(self, "cmd_" + handler)()
        if closing:
            self.write_lines(list(lines or [])[:len(lines or []) // 2])
            return False
        if lines is None:
            return True
        if lines is False:
            return False
        self.write_lines(self.apply_pipe(lines, pipe))
        return True

    def apply_pipe(self, lines: list[str], pipe: str) -> list[str]:
        words = pipe.split(None, 1)
        if not words:
            return lines
        if len(words) < 2 or not any(k.startswith(words[0].lower()) for k in out.PIPE_INCLUDE):
            return [out.ERRORS["invalid"]]
        return [line for line in lines if re.search(words[1], line)]

    def cmd_accept(self) -> list[str]:
        return []

    def cmd_enable(self) -> list[str] | bool | None:
        if self.mode != "disable":
            return []
        # A console may have its own enable password (one RP configured apart).
        password = self.console.get("enable_password", self.device.get("enable_password"))
        if password:
            answer = self.read_secret(out.ENABLE_PASSWORD)
            if answer is None:
                return False
            if answer != password:
                return [out.ERRORS["denied"]]
        self.mode = "enable"
        return []

    def cmd_disable(self) -> list[str]:
        self.mode = "disable"
        return []

    def cmd_logout(self) -> bool | None:
        return None if self.start_session() else False

    def cmd_configure(self) -> list[str]:
        if self.is_standby and not self.shared.read()["standby_unlocked"]:
            return [out.ERRORS["standby_locked"]]
        self.mode = "config"
        self.submode = "config"
        return []

    def handle_config(self, text: str) -> None:
        if text == out.CONFIG_END:
            self.mode = "enable"
            return
        if text == out.CONFIG_EXIT:
            if self.submode == "config":
                self.mode = "enable"
            self.submode = "config"
            return
        unlock = self.device["unlock_commands"] if self.role == "active" else None
        self.shared.record("config", self.name, text, unlock_commands=unlock)
        first = text.split()[0].lower()
        if first in out.CONFIG_SUBMODES:
            self.submode = out.CONFIG_SUBMODES[first]

    def cmd_show_version(self) -> list[str]:
        return [line.format(**self.fields()) for line in out.SHOW_VERSION]

    def cmd_show_redundancy(self) -> list[str]:
        role = self.role if self.chassis != "single" else "single"
        fields = dict(self.fields(), my_state=out.MY_STATE.get(role, out.MY_STATE["member"]),
                      peer_state=out.PEER_STATE.get(role, out.PEER_STATE["member"]),
                      duplex="Simplex" if self.chassis == "single" else "Duplex",
                      unit="Primary" if role in ("active", "single") else "Secondary")
        lines = [line.format(**fields) for line in out.REDUNDANCY_REPORT]
        if self.device["report_redundancy_state"]:
            lines.append(out.REDUNDANCY_STATE_LINE.format(**fields))
        return lines

    def cmd_show_switch(self) -> list[str]:
        if not self.device["members"]:
            return [out.ERRORS["invalid"]]
        lines = [line.format(**self.fields()) for line in out.SHOW_SWITCH_HEADING]
        for member in self.device["members"]:
            current = "*" if member["number"] == self.console["member"] else ""
            lines.append(out.SHOW_SWITCH_MEMBER.format(current=current, **member))
        return lines

    def cmd_show_running_config(self) -> list[str]:
        state = self.shared.read()
        lines = [line.format(**self.fields()) for line in out.RUNNING_CONFIG_HEAD]
        for console in self.device["consoles"]:
            lines.extend(state["config"].get(console["name"], []))
        return lines + out.RUNNING_CONFIG_TAIL
