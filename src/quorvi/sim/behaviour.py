"""What one console line of a simulated device says and does, whatever carries it.

A `ConsoleBehaviour` runs as a generator of requests: it writes through `emit` and asks its
driver for input by yielding one of the requests below; the driver sends back
the answer (a line, a key, or None once the line is gone). The pty console
(`console.py`, one process per line) and the console server (`console_server.py`, one
process for a whole lab) are two such drivers.

This runs in every console process: it imports as little as it can, and
annotations are never evaluated."""
from __future__ import annotations

import re

from .. import chassis
from . import outputs as out
from .habits import Habits
from .model import find_console

# Requests a console's behaviour yields to its driver.
LINE = ("line",)          # -> the next input line without its line end, None at EOF
KEY = ("key",)            # -> one key, unechoed ("\r" for Return), None at EOF
FLUSH = ("flush",)        # drop input typed ahead; -> None
DRAIN = ("drain",)        # let written output reach the other end; -> None
# quorvi.sim.boot adds IDLE (wait for input or a wake-up) and BOOTING.


def secret(question: str) -> tuple:
    """Request: echo off, then `question`, then the answer line (None at EOF)."""
    return ("secret", question)


def sleep(seconds: float) -> tuple:
    return ("sleep", seconds)


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


class ConsoleBehaviour:
    """Prompts, modes and command answers of one console line.

    `shared` holds what the consoles of one device share (`model.SharedState`
    for console processes, `model.MemoryState` inside one server); `emit`
    takes the bytes the console writes."""

    def __init__(self, device: dict, name: str, shared, emit) -> None:
        self.device = device
        self.console = find_console(device, name)
        self.name = name
        self.shared = shared
        self.emit = emit
        self.mode = "disable"
        self.submode = "config"
        self.chassis = device["chassis"]
        self.role = self.console["role"]
        # The standby of two RPs in one chassis is locked until unlocked.
        self.is_standby = chassis.get(self.chassis).rps > 1 and self.role == "standby"
        self.bad = dict((device.get("misbehave") or {}).get(name) or {})
        self.habits = Habits(self)
        from .boot import Boot  # imports this module

        self.boot = Boot(self)

    def write(self, text: str) -> None:
        self.emit(text.encode())

    def write_lines(self, lines: list[str]) -> None:
        if lines:
            self.write(self.habits.line_ends("\n".join(lines) + "\n"))

    def fields(self) -> dict:
        device = self.device
        return {
            "hostname": self.habits.hostname(), "os": device["os"], "platform": device["platform"],
            "version": device["version"], "serial": device["serial"], "console": self.name,
            "os_title": out.OS_TITLES.get(device["os"], device["os"]),
            "members": max(len(device["members"]), 1), "mode": device["redundancy_mode"],
            "stack_mac": device["stack_mac"],
        }

    def prompt(self) -> str:
        suffix = out.STANDBY_SUFFIX if self.is_standby else ""
        return self.habits.prompt(out.PROMPTS[self.mode].format(
            hostname=self.habits.hostname(), suffix=suffix, mode=self.submode))

    # -- life cycle -------------------------------------------------------
    def run(self, left_in: str | None = None):
        """The console's life: banner, login, then commands until the line
        goes away. `left_in` ("config" or "pager") starts where a previous
        user left the line instead: silent until the next key or line."""
        booting = self.boot.attach()
        if self.console["silent"]:
            yield from self.boot.silent(booting)  # a silent RP reads and never answers
            return
        if self.bad.get("noise"):
            noise = bytes.fromhex(self.bad["noise"])
            self.emit(noise)
            while self.bad.get("noise_forever"):
                self.emit(noise)
                yield DRAIN
        if left_in == "pager":
            self.mode = "enable"
            if not (yield from self.page(self.previous_users_output(), 0, showing=True)):
                return
        elif left_in == "config":
            self.mode, self.submode = "config", "config-if"
            if (yield LINE) is None:
                return
        elif not (yield from self.boot.start(booting)):
            return
        line = None
        while True:
            self.write(self.prompt())
            yield from self.habits.after_prompt(line)
            line = yield from self.boot.next_line()
            if line is None:
                return
            self.habits.echo(line)
            delay = float(self.device["response_delay"] or 0) + \
                float((self.bad.get("slow") or {}).get(line.strip(), 0))
            if delay:
                yield sleep(delay)
            if not (yield from self.handle(line)):
                return

    def start_session(self):
        """Banner, then the login when the device asks for one; False on EOF."""
        self.write("\n" + out.BANNER.format(**self.fields()) + "\n\n")
        if not (yield from self.misbehave_after_banner()):
            return False
        self.mode = "disable"
        return (yield from self.login())

    def login(self):
        """The login when the device asks for one; False on EOF."""
        login = self.device.get("login")
        while login:
            # Login prompts drop what was typed before they showed: an empty
            # line sent to a console still starting is no user name.
            yield FLUSH
            self.write(out.LOGIN_USERNAME)
            username = yield LINE
            if username is None:
                return False
            password = yield secret(out.LOGIN_PASSWORD)
            if password is None:
                return False
            self.write("\n")
            if username == login.get("username") and password == login.get("password"):
                break
            self.write_lines([out.ERRORS["login"], ""])
        return True

    def misbehave_after_banner(self):
        """A long line, endless output or the end of the console; False ends it."""
        if self.bad.get("close_after") == "banner":
            return False
        length = int(self.bad.get("long_line") or 0)
        while length > 0:
            self.write("x" * min(length, 65536))
            length -= 65536
            yield DRAIN
        if self.bad.get("long_line"):
            self.write("\n")
        while self.bad.get("flood"):
            self.write(self.bad["flood"])
            yield DRAIN
        return True

    def page(self, lines: list[str], shown: int, showing: bool = False):
        """The rest of `lines` behind a "--More--" pager: space shows a page,
        Return a line, any other key quits; False when the line went away.
        `showing`: the pager is on screen already (a previous user's)."""
        while shown < len(lines):
            if not showing:
                self.write(out.PAGER)
            showing = False
            key = yield KEY
            if key is None:
                return False
            self.write("\r" + " " * len(out.PAGER) + "\r")
            if key == " ":
                step = out.PAGE_LINES
            elif key in "\r\n":
                step = 1
            else:
                break
            self.write_lines(lines[shown:shown + step])
            shown += step
        return True

    def previous_users_output(self) -> list[str]:
        lines = [line.format(**self.fields()) for line in out.RUNNING_CONFIG_HEAD]
        for port in range(out.PREVIOUS_USER_INTERFACES):
            lines += ["interface eth0/%d" % port, " no shutdown", "!"]
        return lines + out.RUNNING_CONFIG_TAIL

    # -- commands ---------------------------------------------------------
    def handle(self, line: str):
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
        handler, ambiguous = match_command(words, self.boot.exec_commands)
        habit_answer = self.habits.command(command)
        if habit_answer is not None:
            return (yield from self.habits.answer(text, self.apply_pipe(habit_answer, pipe)))
        if ambiguous:
            self.write_lines([out.ERRORS["ambiguous"].format(line=text)])
            return True
        if handler is None or (self.mode == "disable" and handler not in out.DISABLE_HANDLERS):
            self.write_lines([out.ERRORS["invalid"]])
            return True
        lines = (getattr(self, "cmd_" + handler, None) or self.boot.command(handler, words))()
        if hasattr(lines, "send"):
            lines = yield from lines
        if closing:
            self.write_lines(list(lines or [])[:len(lines or []) // 2])
            return False
        if lines is None:
            return True
        if lines is False:
            return False
        return (yield from self.habits.answer(text, self.apply_pipe(lines, pipe)))

    def apply_pipe(self, lines: list[str], pipe: str) -> list[str]:
        words = pipe.split(None, 1)
        if not words:
            return lines
        if len(words) < 2 or not any(k.startswith(words[0].lower()) for k in out.PIPE_INCLUDE):
            return [out.ERRORS["invalid"]]
        return [line for line in lines if re.search(words[1], line)]

    def cmd_accept(self) -> list[str]:
        return []

    def cmd_enable(self):
        if self.mode != "disable":
            return []
        # A console may have its own enable password (one RP configured apart).
        password = self.console.get("enable_password", self.device.get("enable_password"))
        if password:
            answer = yield secret(out.ENABLE_PASSWORD)
            if answer is None:
                return False
            self.write("\n")
            if answer != password:
                return [out.ERRORS["denied"]]
        self.mode = "enable"
        return []

    def cmd_disable(self) -> list[str]:
        self.mode = "disable"
        return []

    def cmd_logout(self):
        return None if (yield from self.start_session()) else False

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
        fields = dict(self.fields(), **self.boot.version_fields())
        return [line.format(**fields) for line in out.SHOW_VERSION]

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
        for member in self.boot.members():
            current = "*" if member["number"] == self.console["member"] else ""
            lines.append(out.SHOW_SWITCH_MEMBER.format(current=current, **member))
        return lines

    def cmd_show_running_config(self) -> list[str]:
        state = self.shared.read()
        lines = [line.format(**self.fields()) for line in out.RUNNING_CONFIG_HEAD]
        for console in self.device["consoles"]:
            lines.extend(state["config"].get(console["name"], []))
        return lines + out.RUNNING_CONFIG_TAIL


Session = ConsoleBehaviour  # the former name
