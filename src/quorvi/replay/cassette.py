"""The cassette: what a device's console lines said during a run, as JSON Lines.

The first record describes the device and how it was connected; then come
the events of every line, line after line (all of line "a", then all of
"b", ...), each in the order it happened:

    {"cassette": 1, "device": {"name": "R1", "os": "orbix", "platform": "ox900",
     "chassis_type": "dual_rp", "hostname": "R1", "lines": {"a": {"member": 1}, ...},
     "credentials": {"enable": {"password": "<secret-1>"}}, ...},
     "connect": {"default": {"init_config_commands": [...]}}}
    {"line": "a", "session": 1}                        the line was opened
    {"line": "a", "recv": "\\r\\nR1>", "after": 0.0412}  a chunk read, seconds after the previous event
    {"line": "a", "send": "enable\\r"}                  text sent
    {"line": "a", "recv": "Password: ", "after": 0.0011}
    {"line": "a", "send": "<secret-1>\\r"}              a secret, never its value
    {"line": "a", "eof": true}                         the device closed the line

A line's description may hold "first_nudge": the seconds its transport
waited for a first prompt before nudging (an ssh login); its replay waits as
long, so it sends what the recording sent.

Secrets are replaced by markers `<secret-N>` (N numbers the distinct
secrets of the recording): the device's secrets as quorvi.secrets decides
them (every credential value but user names, the secret connect options),
and whatever was sent in answer to a password prompt, wherever they appear,
sent or received. A replay accepts any text in place of a marker, and shows
what was typed there where the recording showed the marker.

This module is imported by every replayed console process: standard
library only (and the framework's error types), and little of it.
"""
from __future__ import annotations

import json
import os
import re

from ..core.errors import QuorviError

FORMAT = 1
MARKER = "<secret-%d>"
MARKER_RE = re.compile(r"<secret-(\d+)>")


class CassetteError(QuorviError):
    """A cassette that cannot be read; the message names the file and the record."""


def marker(number: int) -> str:
    return MARKER % number


class Cassette:
    """A loaded cassette: `header` (the first record) and, per line in
    recorded order, its sessions, each a list of event records."""

    def __init__(self, header: dict, lines: dict, path: str = "") -> None:
        self.header = header
        self.lines = lines  # alias -> [session events, ...]
        self.path = path

    @property
    def device(self) -> dict:
        return self.header["device"]

    @property
    def name(self) -> str:
        return self.device.get("name", "device")

    def sessions(self, alias: str) -> list:
        return self.lines.get(alias, [])

    def transcript(self) -> dict:
        """Alias -> (everything sent, everything received) on that line,
        sessions joined: what a script saw, chunking aside."""
        result = {}
        for alias, sessions in self.lines.items():
            sent = "".join(e.get("send", "") for s in sessions for e in s)
            received = "".join(e.get("recv", "") for s in sessions for e in s)
            result[alias] = (sent, received)
        return result


def load(path: str) -> Cassette:
    """Read a cassette file; CassetteError says which record is wrong."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as exc:
        raise CassetteError("cannot read cassette %s: %s" % (path, exc.strerror)) from None
    records = []
    for number, data in enumerate(raw.splitlines(), 1):
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise CassetteError("%s:%d: not UTF-8 text (byte 0x%02x at column %d); a cassette "
                                "is JSON Lines in UTF-8" % (path, number, data[exc.start],
                                                            exc.start + 1)) from None
        if not text.strip():
            continue
        try:
            record = json.loads(text)
        except ValueError as exc:
            raise CassetteError("%s:%d: not a JSON record (%s)" % (path, number, exc)) from None
        if not isinstance(record, dict):
            raise CassetteError("%s:%d: a record is a JSON object" % (path, number))
        records.append((number, record))
    if not records or records[0][1].get("cassette") != FORMAT or \
            not isinstance(records[0][1].get("device"), dict):
        raise CassetteError("%s: not a quorvi cassette (the first record must be "
                            "{\"cassette\": %d, \"device\": {...}})" % (path, FORMAT))
    header = records[0][1]
    declared = list((header["device"].get("lines") or {}))
    lines: dict = {alias: [] for alias in declared}
    for number, record in records[1:]:
        alias = record.get("line")
        if alias not in lines:
            raise CassetteError("%s:%d: event of line %r, which the device does not list "
                                "(its lines: %s)" % (path, number, alias, ", ".join(declared)))
        if "session" in record or not lines[alias]:
            lines[alias].append([])
        if "session" not in record:
            if not any(key in record for key in ("send", "recv", "eof")):
                raise CassetteError("%s:%d: an event has \"send\", \"recv\", \"eof\" or "
                                    "\"session\"" % (path, number))
            lines[alias][-1].append(record)
    return Cassette(header, lines, path)


def dump(path: str, header: dict, lines: dict) -> None:
    """Write a cassette atomically (a reader never sees half of it)."""
    partial = "%s.partial-%d" % (path, os.getpid())
    with open(partial, "w", encoding="utf-8") as f:
        f.write(json.dumps(header, ensure_ascii=False) + "\n")
        for alias, sessions in lines.items():
            for number, events in enumerate(sessions, 1):
                f.write(json.dumps({"line": alias, "session": number}) + "\n")
                for event in events:
                    f.write(json.dumps(dict({"line": alias}, **event), ensure_ascii=False)
                            + "\n")
    os.replace(partial, path)
