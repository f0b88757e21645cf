"""What every simulated or replayed device a test starts shares: a temporary
folder of its own, the processes it leaves behind found and killed, and a
stop that always runs (also when the start fails half-way).

SimulatedDevice (quorvi.sim.harness), ReplayedDevice
(quorvi.replay.replayed_device) and ServedLab (quorvi.sim.served_lab) are
such harnesses."""
import os
import shutil
import signal
import tempfile
import time
from typing import Any, Callable, List, Optional, TypeVar

H = TypeVar("H", bound="Harness")


def _argv(pid: str) -> List[str]:
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as f:
            return f.read().decode(errors="replace").split("\0")
    except OSError:
        return []


def processes_with(*args: str) -> List[int]:
    """Pids of running processes having each of `args` as one of their own
    arguments (a client naming a console's command inside one of its
    arguments is not a console)."""
    pids = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            argv = _argv(pid)
            if all(arg in argv for arg in args):
                pids.append(int(pid))
    return pids


def kill_processes(find: Callable[[], List[int]], wait: float = 2.0) -> List[int]:
    """Kill the processes `find()` names and wait up to `wait` seconds for
    them to be gone; returns their pids."""
    pids = find()
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + wait
    while pids and time.monotonic() < deadline and find():
        time.sleep(0.02)
    return pids


class Harness:
    """Started with `start()` or `with`, always stopped: `stop()` ends what
    `_stop()` stops, kills the leftover processes `console_pids()` finds and
    removes the temporary folder `directory`. A start that fails stops what
    it had started and raises."""

    PREFIX = "quorvi-"  # of the temporary folder's name
    directory: Optional[str] = None

    def __enter__(self: H) -> H:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def start(self: H) -> H:
        started = False
        try:
            self.directory = tempfile.mkdtemp(prefix=self.PREFIX)
            self._start()
            started = True
        finally:
            if not started:
                self.stop()
        return self

    def stop(self) -> None:
        try:
            self._stop()
        finally:
            if self.directory is not None:
                self.kill_consoles()
                shutil.rmtree(self.directory, ignore_errors=True)
                self.directory = None

    def _start(self) -> None:
        """Start what the harness serves, its folder `directory` made."""

    def _stop(self) -> None:
        """Stop what `_start` started (also a half-started one)."""

    def console_pids(self) -> List[int]:
        """Pids of the processes of this harness still running."""
        return []

    def kill_consoles(self, wait: float = 2.0) -> List[int]:
        """Kill the processes of this harness still running; returns their pids."""
        return kill_processes(self.console_pids, wait)
