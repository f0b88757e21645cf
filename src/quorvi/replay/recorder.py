"""Recording a device's console lines into a cassette.

A `Recorder` belongs to one device: each spawn the device's connections open
gets a `LineRecorder` (a transcript observer, see quorvi.spawn) that notes
what was sent and received with its timing. Secrets are known before they
could be written: the credentials when a line is attached, the answer to a
password prompt when it is sent; the file is written, redacted, each time a
line closes and when the recording ends. Which values are secret, and how
they are replaced by markers: quorvi.secrets.
"""
import os
import re
import time
from typing import Any, Dict, List, Optional

from ..credentials import masked
from ..secrets import SECRET_OPTIONS, Masker, secrets_of
from .cassette import FORMAT, CassetteError, dump, marker

# A line sent right after this ends the received text answers a password question.
PASSWORD_PROMPT = re.compile(r"[Pp]ass(word|code|phrase)[^\n]*:\s*$")
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
        self.masker = Masker(secrets_of(device.credentials), replacement=marker)
        self.lines: Dict[str, List[List[Dict[str, Any]]]] = {alias: [] for alias in
                                                              device.connections}
        self.connect_options: Dict[str, Dict[str, Any]] = {}
        self.description = self._describe(device)
        # A path that cannot be written fails now, not after the run it was to record.
        try:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
            self.save()
        except OSError as exc:
            raise CassetteError("device %s: cannot write the cassette %s: %s; record into a "
                                "writable folder" % (device.name, path, exc.strerror)) from None

    @property
    def secrets(self) -> List[str]:
        return self.masker.secrets

    def add_secret(self, value: Any) -> None:
        self.masker.add(value)

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
        known = getattr(value, "known", None)
        if callable(known):  # a credential from a source: its value once read, else the source
            value = known() if known() is not None else masked(value)
        return self.masker(value)

    def attach(self, spawn: Any, alias: str, context: Optional[Dict[str, Any]] = None) -> None:
        """Record `spawn`, a new session of line `alias`."""
        self.masker.add(*secrets_of(options=context))
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
        self.masker.add(*secrets_of(options=options))
        for key, value in options.items():
            if key in SECRET_OPTIONS:
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
        # Credentials read since the start (a prompt answered) are secrets now too.
        self.masker.add(*secrets_of(self.device.credentials))
        header = {"cassette": FORMAT, "device": self.description,
                  "connect": self.connect_options,
                  "recorded": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
        lines = {alias: [redact_session(session, self.masker) for session in sessions]
                 for alias, sessions in self.lines.items()}
        # The connect options may name a secret only learned at a password prompt.
        header["connect"] = {alias: {key: _redacted(value, self.masker)
                                     for key, value in opts.items()}
                             for alias, opts in self.connect_options.items()}
        dump(self.path, header, lines)


def redact_session(events: List[Dict[str, Any]], masker: Masker) -> List[Dict[str, Any]]:
    """Redacted copies of one session's events. A secret received across
    several reads is replaced whole: the end of a read that may begin a
    secret moves into the next read, never past a send (the last read
    before one gives out all it holds); a read left empty gives its delay to
    the next one."""
    stream = masker.stream()
    out: List[Dict[str, Any]] = []
    carried = 0.0
    for index, event in enumerate(events):
        if not isinstance(event.get("recv"), str):
            out.append({key: masker(value) for key, value in event.items()})
            continue
        piece = stream.feed(event["recv"])
        following = events[index + 1] if index + 1 < len(events) else {}
        if not isinstance(following.get("recv"), str):
            piece += stream.flush()
        after = round(float(event.get("after") or 0.0) + carried, 4)
        if not piece:
            carried = after
            continue
        carried = 0.0
        out.append(dict(event, recv=piece, after=after))
    return out


def _redacted(value: Any, masker: Masker) -> Any:
    if isinstance(value, list):
        return [_redacted(item, masker) for item in value]
    return masker(value)
