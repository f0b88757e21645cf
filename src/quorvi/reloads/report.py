"""What a reload reports and raises: the phases, the roles, each line's
evidence (its boot log and what `show version` said before and after), and
how `show version` tells a line that restarted from one that kept running."""
import dataclasses
import json
import re
from typing import Any, Dict, List, Optional

from ..core.errors import ConnectionError

# The phases of a reload, in order; "line lost" only when a console server drops a line.
PHASES = ("command sent", "line lost", "boot seen", "boot finished", "prompt",
          "roles designated")
UPTIME = re.compile(r"uptime is ([^\r\n]+)")
REASON = re.compile(r"[Ll]ast reload reason:?\s*([^\r\n]+)")
UNITS = {"year": 31536000, "week": 604800, "day": 86400, "hour": 3600, "minute": 60,
         "second": 1}
UNIT_RE = re.compile(r"(\d+)\s*(%s)s?" % "|".join(UNITS))


class ReloadError(ConnectionError):
    """A reload, switchover or member reload failed; `report` holds what
    was seen up to the failure (None when nothing was sent)."""

    report: Optional["Report"] = None


class BootLoaderError(ReloadError):
    """A line stopped in the boot loader."""


class BootTimeoutError(ReloadError):
    """The boot did not end within the time limit."""


class NotRebootedError(ReloadError):
    """The device did not prove that it rebooted as asked."""


@dataclasses.dataclass
class Phase:
    name: str
    at: float  # seconds since the call began
    line: Optional[str] = None


@dataclasses.dataclass
class LineReport:
    """One console line: its role, whether it should reboot, and the evidence."""

    role_before: str
    role_after: Optional[str] = None
    should_reboot: bool = False
    boot_seen: bool = False
    reconnected: int = 0
    version_before: Optional[Dict[str, Any]] = None
    version_after: Optional[Dict[str, Any]] = None
    rebooted: Optional[bool] = None  # what `show version` says; None: not asked
    boot_log: str = ""


@dataclasses.dataclass
class Report:
    device: str
    action: str
    member: Optional[int] = None
    save: bool = False  # the policy for "configuration has been modified"
    saved: Optional[bool] = None  # None: the device did not ask
    ok: bool = False
    error: Optional[str] = None
    duration: float = 0.0
    phases: List[Phase] = dataclasses.field(default_factory=list)
    roles_before: Dict[str, str] = dataclasses.field(default_factory=dict)
    roles_after: Dict[str, str] = dataclasses.field(default_factory=dict)
    lines: Dict[str, LineReport] = dataclasses.field(default_factory=dict)

    def phase(self, name: str, line: Optional[str] = None) -> Optional[float]:
        """When phase `name` was last reached (on `line`, or on any line)."""
        times = [p.at for p in self.phases if p.name == name and (line is None or p.line == line)]
        return max(times) if times else None

    def to_dict(self) -> Dict[str, Any]:
        return dataclasses.asdict(self)

    def to_json(self) -> str:
        return json.dumps(self.to_dict())

    def summary(self) -> str:
        """The report as a few lines of text (the boot logs left out)."""
        what = self.action.replace("_", " ") + (" %d" % self.member if self.member else "")
        out = ["%s %s: %s in %.2fs" % (self.device, what, "proven" if self.ok else "FAILED",
                                       self.duration)]
        if self.error:
            out.append("  error: %s" % self.error)
        out.append("  save: %s (%s)" % ("yes" if self.save else "no",
                                        "not asked" if self.saved is None else
                                        "saved" if self.saved else "not saved"))
        for name in PHASES:
            at = self.phase(name)
            if at is not None:
                out.append("  %-17s %7.2fs" % (name, at))
        for alias, line in self.lines.items():
            version = line.version_after or {}
            out.append("  line %-6s %-11s -> %-11s %s%s" % (
                alias, line.role_before, line.role_after or "?",
                "rebooted" if line.boot_seen else "kept running",
                " (uptime %s, reason %s)" % (version.get("uptime"), version.get("reason"))
                if version else ""))
        return "\n".join(out)


def version_of(output: str) -> Dict[str, Any]:
    """Uptime (text and seconds) and last reload reason of `show version`."""
    result: Dict[str, Any] = {}
    uptime = UPTIME.search(output)
    if uptime:
        text = uptime.group(1).strip()
        units = UNIT_RE.findall(text)
        result["uptime"] = text
        if units:
            result["seconds"] = sum(int(n) * UNITS[u] for n, u in units)
            result["granularity"] = min(UNITS[u] for _, u in units)
    reason = REASON.search(output)
    if reason:
        result["reason"] = reason.group(1).strip()
    return result


def restarted(before: Dict[str, Any], after: Dict[str, Any], elapsed: float) -> Optional[bool]:
    """Whether `show version` says the line restarted between two readings
    `elapsed` seconds apart: a new reason, or an uptime that fell behind the
    time that passed (beyond the uptime's precision). False when the uptime
    ran on for longer than the readings lie apart; None when it cannot tell."""
    if "reason" in before and "reason" in after and before["reason"] != after["reason"]:
        return True
    if "seconds" in before and "seconds" in after:
        slack = after["granularity"] + before["granularity"]
        if after["seconds"] < before["seconds"] + elapsed - slack:
            return True
        if after["seconds"] > elapsed + slack:
            return False
    return None
