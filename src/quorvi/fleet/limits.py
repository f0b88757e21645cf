"""Limits of a fleet run inside one process: open file descriptors, each
device's time limit, and interruption (Ctrl-C).

These live where the devices are driven (the calling process on the thread
engine, each worker process on Dask), so both engines share them. A device
whose time is up, or a run that is interrupted, has its lines' processes
killed: whatever waits on those lines then sees them close at once, and the
device's own clean-up runs as after any failure."""
import os
import resource
import threading
from typing import Any, List, Optional, Set

# Descriptors kept free for everything that is not a device's line.
FD_RESERVE = 64
# Descriptors one line costs while it opens: the terminal's two ends.
FD_PER_LINE = 2


class WeightedSemaphore:
    """A semaphore whose holders take several units at once."""

    def __init__(self, capacity: int) -> None:
        self.capacity = max(1, capacity)
        self.free = self.capacity
        self._cond = threading.Condition()

    def acquire(self, units: int) -> int:
        units = min(max(units, 1), self.capacity)  # a holder larger than all still runs, alone
        with self._cond:
            self._cond.wait_for(lambda: self.free >= units)
            self.free -= units
        return units

    def release(self, units: int) -> None:
        with self._cond:
            self.free += units
            self._cond.notify_all()


def open_fds() -> int:
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 0


def fd_budget() -> int:
    """Descriptors this process may still open for devices' lines."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        soft = 1 << 16
    return max(FD_PER_LINE * 4, soft - open_fds() - FD_RESERVE)


_budget: Optional[WeightedSemaphore] = None
_budget_lock = threading.Lock()


def process_fd_budget() -> WeightedSemaphore:
    """The descriptor budget shared by every device driven in this process."""
    global _budget
    with _budget_lock:
        if _budget is None:
            _budget = WeightedSemaphore(fd_budget())
        return _budget


def fd_cost(lines: int, logs: bool) -> int:
    return max(1, lines) * (FD_PER_LINE + (1 if logs else 0))


class DeviceRun:
    """One device being driven in this process: its open lines, its deadline,
    and why it was stopped (None while it may go on)."""

    def __init__(self, name: str, timeout: Optional[float], run_id: str = "") -> None:
        self.name = name
        self.run_id = run_id
        self.timeout = timeout
        self.stopped: Optional[str] = None
        self.phase = "start"
        self.stopped_phase = ""
        self.log_error: Optional[str] = None  # a session log that could not be written
        self.spawns: List[Any] = []
        self._lock = threading.Lock()
        self._timer: Optional[threading.Timer] = None

    def __enter__(self) -> "DeviceRun":
        with _active_lock:
            _active.add(self)
            interrupted = self.run_id in _interrupted
        if interrupted:
            self.stop("interrupted")
        elif self.timeout:
            self._timer = threading.Timer(self.timeout, self.stop, ("timeout",))
            self._timer.daemon = True
            self._timer.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._timer is not None:
            self._timer.cancel()
        with _active_lock:
            _active.discard(self)

    def add_spawn(self, spawn: Any) -> None:
        with self._lock:
            self.spawns.append(spawn)
            stopped = self.stopped
        if stopped:
            _kill(spawn)

    def stop(self, reason: str) -> None:
        with self._lock:
            if self.stopped is None:
                self.stopped, self.stopped_phase = reason, self.phase
            spawns = list(self.spawns)
        for spawn in spawns:
            _kill(spawn)


def _kill(spawn: Any) -> None:
    spawn.kill()


_active: Set[DeviceRun] = set()
_active_lock = threading.Lock()
_interrupted: Set[str] = set()  # ids of interrupted fleet runs


def interrupt(run_id: str) -> int:
    """Stop every device of fleet run `run_id` driven in this process, and any
    of it that starts later; returns how many were running."""
    with _active_lock:
        _interrupted.add(run_id)
        runs = [run for run in _active if run.run_id == run_id]
    for run in runs:
        run.stop("interrupted")
    return len(runs)


def active_count(run_id: str) -> int:
    with _active_lock:
        return sum(1 for run in _active if run.run_id == run_id)
