"""The simulated device as data, and the state its consoles share.

The description is a JSON file. The shared state is a log beside it,
"<file>.state": one JSON record a line for every line a console received,
each appended with a single write, so recording costs a console no lock and
no rewrite; readers fold the log into the state.
"""
from __future__ import annotations

import json
import os

from .. import chassis

DEVICE_DEFAULTS: dict = {
    "hostname": "R1",
    "os": "orbix",
    "platform": "ox900",
    "version": "7.2.1",
    "serial": "1A2B3C4D",
    "chassis": "single",
    "enable_password": None,
    "login": None,  # {"username": ..., "password": ...} asks for a login first
    "response_delay": 0.0,
    "redundancy_mode": "Stateful Switchover",
    "report_redundancy_state": True,
    "unlock_commands": ["redundancy", "standby console enable"],
    "stack_mac": "0c75.bd11.2200",
    "consoles": [],  # [{"name", "member", "role", "silent"}]
    "members": [],  # [{"number", "role", "mac", "priority", "hw_version", "state"}]
    # Console name -> how that console misbehaves, for tests of bad device output:
    #   "noise": hex bytes written before the banner (binary, NUL, invalid UTF-8);
    #   "noise_forever": keep writing the noise, never a prompt;
    #   "long_line": characters of one line written after the banner;
    #   "flood": text written after the banner over and over, never a prompt;
    #   "close_after": "banner", or a command line on whose receipt the console
    #   exits; with "close_midway" it first writes half of the command's answer.
    #   "slow": {command line: seconds}: answer that command so much later.
    "misbehave": {},
    # Habits of real consoles (quorvi.sim.habits): prompt_redraw, line_padding,
    # pager_ignores_length, prompt_in_output, console_logging, hostname_command.
    "habits": {},
    # Reloads (see quorvi.sim.boot): the boot log spreads over boot_time
    # seconds; boot_dialog asks the initial configuration dialog after each
    # boot; stop_in_loader (true, or a list of console names) stops each boot
    # at the boot loader prompt until "boot" is typed; fake_reload: the reload
    # commands ask their questions, then nothing reboots; standby_stuck: a
    # console that boots into the standby role never shows a prompt.
    "boot_time": 2.0,
    "boot_dialog": False,
    "stop_in_loader": False,
    "fake_reload": False,
    "standby_stuck": False,
}

# The misbehaviours above, each with the kind of value it takes (how a lab
# file is checked): "text", "flag" (yes/no), "count" (a whole number > 0),
# "hex" (bytes in hex), "slow" ({command line: seconds}).
MISBEHAVIOURS: dict = {"noise": "hex", "noise_forever": "flag", "long_line": "count",
                       "flood": "text", "close_after": "text", "close_midway": "flag",
                       "slow": "slow"}

# A console may also carry "enable_password", overriding the device's for that console.
CONSOLE_DEFAULTS: dict = {"member": 1, "role": "single", "silent": False}


def load_device(path: str) -> dict:
    with open(path) as f:
        return normalize_device(json.load(f))


def normalize_device(description: dict) -> dict:
    """The full device (defaults filled in) of a description; ValueError if
    the description has options the simulator does not know."""
    unknown = sorted(set(description) - set(DEVICE_DEFAULTS))
    if unknown:
        # A misspelt option would otherwise be dropped without a word.
        raise ValueError("unknown device option(s) %s; known: %s"
                         % (", ".join(unknown), ", ".join(sorted(DEVICE_DEFAULTS))))
    device = dict(DEVICE_DEFAULTS)
    device.update(description)
    device["consoles"] = [dict(CONSOLE_DEFAULTS, **c) for c in device["consoles"]]
    if device["chassis"] not in chassis.SHORT_NAMES:
        raise ValueError("unknown chassis kind %r (one of %s)"
                         % (device["chassis"], ", ".join(chassis.SHORT_NAMES)))
    from .habits import check
    check(device["habits"] or {})
    return device


def save_device(path: str, description: dict) -> None:
    with open(path, "w") as f:
        json.dump(description, f, indent=2)


def find_console(device: dict, name: str) -> dict:
    for console in device["consoles"]:
        if console["name"] == name:
            return console
    raise KeyError("device %s has no console %r" % (device["hostname"], name))


def initial_state() -> dict:
    return {"standby_unlocked": False, "commands": {}, "config": {}}


class SharedState:
    """Dynamic state shared by the consoles of one device.

    Besides the lines received, the log holds events (reloads, saves; see
    quorvi.sim.boot), folded into the list state["events"] in order. A
    console waiting at its prompt is woken through a named pipe of its own
    beside the device file ("<file>.wake.<console>") when another console
    changes the device under it."""

    def __init__(self, device_path: str) -> None:
        self.path = device_path + ".state"
        self._fd: int | None = None

    def record(self, kind: str, console: str, line,
               unlock_commands: list[str] | None = None) -> None:
        """Append a received line ("commands" or "config") for `console`; a
        config line through the active console carries the unlock commands,
        and completes the unlock once that console has received them all."""
        entry: list = [kind, console, line] if unlock_commands is None else \
            [kind, console, line, unlock_commands]
        if self._fd is None:
            self._fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        os.write(self._fd, (json.dumps(entry) + "\n").encode())

    def read(self) -> dict:
        state = initial_state()
        try:
            with open(self.path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return state
        # A line without its line break is still being written: left out.
        for raw in data.split(b"\n")[:-1]:
            kind, console, line, *unlock = json.loads(raw)
            if kind == "event":
                state.setdefault("events", []).append(line)
                continue
            received = state[kind].setdefault(console, [])
            received.append(line)
            if unlock and kind == "config" and all(c in received for c in unlock[0]):
                state["standby_unlocked"] = True
        return state

    def wake_fd(self, console: str) -> int:
        """The read end of `console`'s wake-up pipe (made if need be)."""
        path = "%s.wake.%s" % (self.path, console)
        try:
            os.mkfifo(path, 0o600)
        except FileExistsError:
            pass
        # Opened for writing too: the pipe never reads as ended.
        return os.open(path, os.O_RDWR | os.O_NONBLOCK)

    def notify(self, consoles: list[str]) -> None:
        """Wake the processes of `consoles` waiting at their prompts; a
        console without a running process has no reader and is skipped."""
        for console in consoles:
            try:
                fd = os.open("%s.wake.%s" % (self.path, console), os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                continue
            try:
                os.write(fd, b"!")
            except OSError:
                pass  # the pipe is full of wake-ups already
            finally:
                os.close(fd)


class MemoryState:
    """The same shared state, in memory: the consoles of a device served by
    one process."""

    __slots__ = ("state", "listeners")

    def __init__(self) -> None:
        self.state = initial_state()
        self.listeners: dict = {}  # console -> what wakes it

    def record(self, kind: str, console: str, line,
               unlock_commands: list[str] | None = None) -> None:
        if kind == "event":
            self.state.setdefault("events", []).append(line)
            return
        received = self.state[kind].setdefault(console, [])
        received.append(line)
        if unlock_commands and kind == "config" and all(c in received for c in unlock_commands):
            self.state["standby_unlocked"] = True

    def read(self) -> dict:
        return self.state

    def listen(self, console: str, wake) -> None:
        self.listeners[console] = wake

    def notify(self, consoles: list[str]) -> None:
        for console in consoles:
            wake = self.listeners.get(console)
            if wake is not None:
                wake()
