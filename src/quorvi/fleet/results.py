"""Results of a fleet run: one `DeviceResult` per device, written as one JSON
object per line, and the summary printed at the end.

A result line is written and flushed whole as soon as its device is done, so
the file is valid JSON Lines whenever the run stops."""
import dataclasses
import json
import re
import signal
import threading
from typing import IO, Any, Dict, Iterable, List, Optional, Tuple


@dataclasses.dataclass
class DeviceResult:
    name: str
    ok: bool = False
    error_type: Optional[str] = None
    error: Optional[str] = None
    # What the bring-up learned (or was told, when nothing was learned).
    os: Optional[str] = None
    platform: Optional[str] = None
    hostname: Optional[str] = None
    # Line alias -> role: active, standby, active ICS, standby ICS or member.
    lines: Dict[str, str] = dataclasses.field(default_factory=dict)
    # Phase -> seconds: connect, then execute, configure or call, then disconnect.
    timings: Dict[str, float] = dataclasses.field(default_factory=dict)
    # Command -> its output (execute; a repeated command's later outputs under
    # "COMMAND #2"...), or "configure" -> the device's answer.
    outputs: Dict[str, str] = dataclasses.field(default_factory=dict)
    value: Any = None  # what a user function returned
    # Answers cut at prompt-like text (the connection's cut_answers).
    cut_answers: List[str] = dataclasses.field(default_factory=list)
    worker: Optional[str] = None  # where the device was driven: host:pid

    @property
    def elapsed(self) -> float:
        return sum(self.timings.values())

    def to_dict(self) -> Dict[str, Any]:
        return dataclasses.asdict(self)

    def to_json(self) -> str:
        return json.dumps(self.to_dict(), sort_keys=False)

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "DeviceResult":
        fields = {f.name for f in dataclasses.fields(cls)}
        return cls(**{k: v for k, v in data.items() if k in fields})


class ResultsWriter:
    """Writes each result as one line, flushed at once."""

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream

    def write(self, result: DeviceResult) -> None:
        line = result.to_json() + "\n"
        # Ctrl-C must not cut a line in two: SIGINT waits until it is written.
        main = threading.current_thread() is threading.main_thread()
        if main:
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            self.stream.write(line)
            self.stream.flush()
        finally:
            if main:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def _error_group(result: DeviceResult) -> Tuple[str, str]:
    """(type, message) with what differs between devices (their name, the
    seconds waited) left out, so that one fault on many devices is one group."""
    message = (result.error or "").replace(result.name, "<device>")
    message = re.sub(r"\b\d+(\.\d+)?s\b", "<n>s", message)
    return result.error_type or "Error", message


class Summary:
    """Counts, slowest devices and failures grouped by error, built as results arrive."""

    def __init__(self, slowest: int = 5) -> None:
        self.results: List[DeviceResult] = []
        self.slowest_count = slowest

    def add(self, result: DeviceResult) -> None:
        self.results.append(result)

    def extend(self, results: Iterable[DeviceResult]) -> None:
        for result in results:
            self.add(result)

    @property
    def failed(self) -> List[DeviceResult]:
        return [r for r in self.results if not r.ok]

    @property
    def ok(self) -> bool:
        return bool(self.results) and not self.failed

    def failure_groups(self) -> List[Tuple[Tuple[str, str], List[str]]]:
        groups: Dict[Tuple[str, str], List[str]] = {}
        for result in self.failed:
            groups.setdefault(_error_group(result), []).append(result.name)
        return sorted(groups.items(), key=lambda item: -len(item[1]))

    def slowest(self) -> List[DeviceResult]:
        return sorted(self.results, key=lambda r: -r.elapsed)[:self.slowest_count]

    def render(self, total: Optional[int] = None, wall: Optional[float] = None) -> str:
        done = len(self.results)
        # Every device counts once: those with a result, then those without.
        lines = ["%d device(s): %d succeeded, %d failed" % (max(done, total or 0),
                                                            done - len(self.failed),
                                                            len(self.failed))]
        if total is not None and total > done:
            lines[0] += ", %d not run" % (total - done)
        if wall:
            lines[0] += " in %.1f s (%.1f devices/s)" % (wall, done / wall if wall else 0)
        if self.results:
            lines.append("slowest:")
            for r in self.slowest():
                phases = ", ".join("%s %.2f" % item for item in r.timings.items())
                lines.append("  %-24s %7.2f s  (%s)" % (r.name, r.elapsed, phases))
        groups = self.failure_groups()
        if groups:
            lines.append("failures:")
            for (error_type, message), names in groups:
                shown = ", ".join(names[:5]) + (", ..." if len(names) > 5 else "")
                lines.append("  %d x %s: %s" % (len(names), error_type, message))
                lines.append("      %s" % shown)
        return "\n".join(lines)
