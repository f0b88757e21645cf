"""Recording a device's console lines into a cassette.

A `Recorder` belongs to one device: each spawn the device's connections open
gets a `LineRecorder` (a transcript observer, see quorvi.spawn) that notes
what was sent and received with its timing. Secrets are known before they
could be written: the credentials when a line is attached, the answer to a
password prompt when it is sent; the file is written, redacted, each time a
line closes and when the recording ends.
"""
import os
import re
import time
from typing import Any, Dict, List, Optional

from .cassette import FORMAT, CassetteError, dump, marker, redact, redact_session

# A line sent right after this ends the received text answers a password question.
PASSWORD_PROMPT = re.compile(r"[Pp]ass(word|code|phrase)[^\n]*:\s*$")
# Connect options whose values are secrets.
SECRET_OPTIONS = ("enable_password",)
PROMPT_TAIL = 256


class LineRecorder:
    """Transcript observer of one spawn: one session of one line."""

    def __init__(self, recorder: "Recorder", alias: str) -> None:
        self.recorder = recorder
        self.events: List[Dict[str, Any]] = []
        recorder.lines.setdefault(alias, []).append(self.events)
        self.last = time.monotonic()
        self.tail = ""  # the end of what came since the last send

    def sent(self, data: str) -> None:
        if not self.recorder.active:
            return
        if PASSWORD_PROMPT.search(self.tail):
            self.recorder.add_secret(data.rstrip("\r\n"))
        self.tail = ""
        self.events.append({"send": data})
        self.last = time.monotonic()

    def received(self, data: str) -> None:
        if not self.recorder.active:
            return
        now = time.monotonic()
        self.events.append({"recv": data, "after": round(now - self.last, 4)})
        self.last = now
        self.tail = (self.tail + data)[-PROMPT_TAIL:]

    def closed(self) -> None:
        if self.recorder.active:
            self.recorder.save()


class Recorder:
    """Records every line a device opens into the cassette at `path`."""

    def __init__(self, path: str, device: Any) -> None:
        self.path = path
        self.device = device
        self.active = True
        self.secrets: List[str] = []
        self.lines: Dict[str, List[List[Dict[str, Any]]]] = {alias: [] for alias in
                                                              device.connections}
        self.connect_options: Dict[str, Dict[str, Any]] = {}
        for values in device.credentials.values():
            for value in values.values():
                self.add_secret(value)
        self.description = self._describe(device)
        # A path that cannot be written fails now, not after the run it was to record.
        try:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
            self.save()
        except OSError as exc:
            raise CassetteError("device %s: cannot write the cassette %s: %s; record into a "
                                "writable folder" % (device.name, path, exc.strerror)) from None

    def add_secret(self, value: Any) -> None:
        text = "" if value is None else str(value)
        if text and text not in self.secrets:
            self.secrets.append(text)

    def _describe(self, device: Any) -> Dict[str, Any]:
        credentials = {name: {key: self._masked(value) for key, value in values.items()}
                       for name, values in device.credentials.items()}
        lines = {alias: ({"member": line["member"]} if "member" in line else {})
                 for alias, line in device.connections.items()}
        return {"name": device.name, "os": device.os, "platform": device.platform,
                "model": device.model, "chassis_type": device.chassis_type,
                "hostname": device.hostname, "learn_os": device.learn_os,
                "learn_hostname": device.learn_hostname, "lines": lines,
                "credentials": credentials}

    def _masked(self, value: Any) -> Any:
        text = "" if value is None else str(value)
        return marker(self.secrets.index(text) + 1) if text in self.secrets else value

    def attach(self, spawn: Any, alias: str, context: Optional[Dict[str, Any]] = None) -> None:
        """Record `spawn`, a new session of line `alias`."""
        for key in SECRET_OPTIONS:
            self.add_secret((context or {}).get(key))
        # A transport that waits longer before its first nudge (ssh) answers
        # late prompts without one: its replay must not nudge sooner.
        wait = getattr(spawn, "min_nudge_interval", 0.0)
        if wait:
            self.description["lines"].setdefault(alias, {})["first_nudge"] = wait
        spawn.observe(LineRecorder(self, alias))

    def note_connect(self, alias: str, options: Dict[str, Any]) -> None:
        """Keep the connect options a replay needs to send the same lines
        (secrets masked; options that are no plain data are left out)."""
        kept: Dict[str, Any] = {}
        for key, value in options.items():
            if key in SECRET_OPTIONS:
                self.add_secret(value)
                value = self._masked(value)
            if isinstance(value, (str, int, float, bool, list, tuple, type(None))):
                kept[key] = list(value) if isinstance(value, tuple) else value
        self.connect_options[alias] = kept

    def stop(self) -> None:
        """Write the cassette and record no more."""
        if self.active:
            self.save()
            self.active = False

    def save(self) -> None:
        secrets = self.secrets
        header = {"cassette": FORMAT, "device": self.description,
                  "connect": self.connect_options,
                  "recorded": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
        lines = {alias: [redact_session(session, secrets) for session in sessions]
                 for alias, sessions in self.lines.items()}
        # The connect options may name a secret only learned at a password prompt.
        header["connect"] = {alias: {key: _redacted(value, secrets) for key, value in opts.items()}
                             for alias, opts in self.connect_options.items()}
        dump(self.path, header, lines)


def _redacted(value: Any, secrets: List[str]) -> Any:
    if isinstance(value, str):
        return redact(value, secrets)
    if isinstance(value, list):
        return [_redacted(item, secrets) for item in value]
    return value
