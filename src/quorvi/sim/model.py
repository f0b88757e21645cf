"""The simulated device as data, and the state its consoles share.

The description is a JSON file; the shared state lives in "<file>.state",
read and written under an exclusive fcntl lock on "<file>.lock".
"""
import contextlib
import fcntl
import json
import os
from typing import Any, Dict, Iterator, List, Optional

CHASSIS_KINDS = ("single", "dual", "stack", "quad")

DEVICE_DEFAULTS: Dict[str, Any] = {
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
    "misbehave": {},
}

# A console may also carry "enable_password", overriding the device's for that console.
CONSOLE_DEFAULTS: Dict[str, Any] = {"member": 1, "role": "single", "silent": False}


def load_device(path: str) -> Dict[str, Any]:
    with open(path) as f:
        description = json.load(f)
    unknown = sorted(set(description) - set(DEVICE_DEFAULTS))
    if unknown:
        # A misspelt option would otherwise be dropped without a word.
        raise ValueError("unknown device option(s) %s; known: %s"
                         % (", ".join(unknown), ", ".join(sorted(DEVICE_DEFAULTS))))
    device = dict(DEVICE_DEFAULTS)
    device.update(description)
    device["consoles"] = [dict(CONSOLE_DEFAULTS, **c) for c in device["consoles"]]
    if device["chassis"] not in CHASSIS_KINDS:
        raise ValueError("unknown chassis kind %r" % device["chassis"])
    return device


def save_device(path: str, description: Dict[str, Any]) -> None:
    with open(path, "w") as f:
        json.dump(description, f, indent=2)


def find_console(device: Dict[str, Any], name: str) -> Dict[str, Any]:
    for console in device["consoles"]:
        if console["name"] == name:
            return console
    raise KeyError("device %s has no console %r" % (device["hostname"], name))


def initial_state() -> Dict[str, Any]:
    return {"standby_unlocked": False, "commands": {}, "config": {}}


class SharedState:
    """Dynamic state shared by the consoles of one device."""

    def __init__(self, device_path: str) -> None:
        self.path = device_path + ".state"
        self.lock_path = device_path + ".lock"

    @contextlib.contextmanager
    def locked(self) -> Iterator[Dict[str, Any]]:
        """The state, for reading and changing; written back on leaving."""
        with open(self.lock_path, "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                state = self._read()
                yield state
                tmp = self.path + ".tmp"
                with open(tmp, "w") as f:
                    json.dump(state, f)
                os.replace(tmp, self.path)
            finally:
                fcntl.flock(lock, fcntl.LOCK_UN)

    def _read(self) -> Dict[str, Any]:
        try:
            with open(self.path) as f:
                return json.load(f)
        except FileNotFoundError:
            return initial_state()

    def read(self) -> Dict[str, Any]:
        with open(self.lock_path, "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
            try:
                return self._read()
            finally:
                fcntl.flock(lock, fcntl.LOCK_UN)

    def record(self, kind: str, console: str, line: str,
               unlock_commands: Optional[List[str]] = None) -> Dict[str, Any]:
        """Append a received line ("commands" or "config") for `console`; a
        config line through the active console may complete the unlock."""
        with self.locked() as state:
            state[kind].setdefault(console, []).append(line)
            if unlock_commands is not None and kind == "config":
                received = set(state["config"][console])
                if all(c in received for c in unlock_commands):
                    state["standby_unlocked"] = True
            return dict(state)
