"""Session logs: one file per device and line with everything sent and
received, timestamped, secrets masked (which and how: quorvi.secrets).

A record is one line: UTC time, direction ("sent" or "recv") and the text as a
JSON string, so that control characters stay visible and a record never spans
lines. A secret the device echoes back split across two reads is masked too:
the end of a read that may begin a secret goes into the next record."""
import datetime
import json
import os
import re
from typing import IO, Any, List

from ..secrets import Masker, secrets_of  # noqa: F401  (secrets_of: the old import path)


def safe_file_name(name: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]", "_", name) or "_"


class SessionLog:
    """The log file of one device's line: an observer of its spawn
    (quorvi.spawn.TranscriptObserver), whatever opened the line."""

    def __init__(self, path: str, mask: Masker) -> None:
        self.path = path
        self.mask = mask
        self.file: IO[str] = open(path, "a", encoding="utf-8")
        self.reader = _Direction(self, "recv")
        self.sender = _Direction(self, "sent")

    def record(self, direction: str, text: str) -> None:
        """Write one record of text already masked."""
        if self.file.closed or not text:
            return
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
        self.file.write("%s %s %s\n" % (stamp, direction, json.dumps(text)))
        self.file.flush()

    # -- the spawn's observer ---------------------------------------------
    def sent(self, data: str) -> None:
        self.sender.write(data)

    def received(self, data: str) -> None:
        self.reader.write(data)

    def closed(self) -> None:
        pass  # the file is closed with the device's logs (close)

    def close(self) -> None:
        if self.file.closed:
            return
        for direction in (self.reader, self.sender):
            self.record(direction.direction, direction.stream.flush())
        self.file.close()


class _Direction:
    """A file-like object for one direction of a line."""

    def __init__(self, log: SessionLog, direction: str) -> None:
        self.log = log
        self.direction = direction
        self.stream = log.mask.stream()

    def write(self, text: Any) -> None:
        if isinstance(text, bytes):
            text = text.decode("utf-8", "replace")
        self.log.record(self.direction, self.stream.feed(text))

    def flush(self) -> None:
        pass


class DeviceLogs:
    """The session logs of one device: DIR/DEVICE.LINE.log per line."""

    def __init__(self, directory: str, device: str, mask: Masker) -> None:
        self.directory = directory
        self.device = device
        self.mask = mask
        self.logs: List[SessionLog] = []

    def attach(self, spawn: Any, line: str) -> None:
        os.makedirs(self.directory, exist_ok=True)
        path = os.path.join(self.directory, "%s.%s.log" % (safe_file_name(self.device),
                                                           safe_file_name(line)))
        log = SessionLog(path, self.mask)
        self.logs.append(log)
        spawn.observe(log)

    def close(self) -> None:
        for log in self.logs:
            log.close()
