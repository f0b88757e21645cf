"""Engines: where the devices of a fleet run are driven.

Both engines offer the same small surface, shaped like Dask's futures, so a
run has one code path: `limit(server)` (a semaphore shared by every device on
that console server), `submit`, `as_completed`, `cancel`, `interrupt` (stop
the devices in flight and wait until their lines are closed), `running`, and
`close`."""
import concurrent.futures
import logging
import threading
import time
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional

from ..core.errors import QuorviError
from . import limits

DEFAULT_THREADS = 32
DEFAULT_DASK_WORKERS = 2
DEFAULT_THREADS_PER_WORKER = 16
# How long an interrupted run waits for its devices to close their lines.
INTERRUPT_WAIT = 15.0


class EngineError(QuorviError):
    """An engine cannot be started or reached."""


class ThreadEngine:
    """A thread pool in this process; nothing to start."""

    name = "threads"

    def __init__(self, workers: Optional[int] = None) -> None:
        self.workers = workers or DEFAULT_THREADS
        self._pool = concurrent.futures.ThreadPoolExecutor(self.workers,
                                                           thread_name_prefix="quorvi-fleet")
        self._limits: Dict[str, threading.BoundedSemaphore] = {}
        self._running = 0
        self._lock = threading.Lock()

    def limit(self, server: str, concurrency: int) -> Any:
        if server not in self._limits:
            self._limits[server] = threading.BoundedSemaphore(concurrency)
        return self._limits[server]

    def _counted(self, fn: Callable[..., Any], *args: Any) -> Any:
        with self._lock:
            self._running += 1
        try:
            return fn(*args)
        finally:
            with self._lock:
                self._running -= 1

    def submit(self, fn: Callable[..., Any], *args: Any, key: str = "") -> Any:
        return self._pool.submit(self._counted, fn, *args)

    def as_completed(self, futures: Iterable[Any]) -> Iterator[Any]:
        return concurrent.futures.as_completed(list(futures))

    def cancel(self, futures: Iterable[Any]) -> None:
        for future in futures:
            future.cancel()

    def interrupt(self, run_id: str, futures: Iterable[Any]) -> None:
        limits.interrupt(run_id)
        concurrent.futures.wait(list(futures), timeout=INTERRUPT_WAIT)

    def running(self) -> int:
        return self._running

    def close(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)


def _interrupt_here(run_id: str) -> int:
    return limits.interrupt(run_id)


def _active_here(run_id: str) -> int:
    return limits.active_count(run_id)


class DaskEngine:
    """A Dask cluster: a LocalCluster of worker processes started (and
    stopped) here, or an existing scheduler at `scheduler`, never started or
    stopped by quorvi. processes=False makes the LocalCluster's workers
    threads of this process (one worker of workers x threads_per_worker
    threads): no worker processes, nannies or network between them, the
    least overhead where the cores are few."""

    name = "dask"

    def __init__(self, scheduler: Optional[str] = None, workers: Optional[int] = None,
                 threads_per_worker: Optional[int] = None, dashboard: Optional[str] = None,
                 timeout: float = 30.0, processes: bool = True) -> None:
        try:
            import distributed
        except ImportError:
            raise EngineError("the dask engine needs dask.distributed: install the Debian "
                              "package python3-distributed (scripts/install-deps.sh)") from None
        self._distributed = distributed
        self.cluster: Any = None
        # Whether the workers are processes of their own (a scheduler
        # elsewhere has its own workers).
        self.processes = processes or scheduler is not None
        self.scheduler = scheduler
        try:
            if scheduler is None:
                workers = workers or DEFAULT_DASK_WORKERS
                threads = threads_per_worker or DEFAULT_THREADS_PER_WORKER
                # In-process workers talk to the scheduler without a network.
                # The scheduler's and workers' HTTP servers (always started)
                # listen on 127.0.0.1 only.
                local: Dict[str, str] = {"host": "127.0.0.1"} if processes else {}
                self.cluster = distributed.LocalCluster(
                    n_workers=workers if processes else 1,
                    threads_per_worker=threads if processes else workers * threads,
                    processes=processes, dashboard_address=dashboard or "127.0.0.1:0",
                    worker_dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR,
                    **local)
                self.client = distributed.Client(self.cluster, timeout=timeout)
            else:
                self.client = distributed.Client(scheduler, timeout=timeout)
                try:
                    self.client.wait_for_workers(1, timeout=timeout)
                except (OSError, TimeoutError):
                    self.client.close()
                    raise EngineError("the Dask scheduler at %s has no worker after %g s: start "
                                      "dask-worker %s with the Python quorvi is installed in"
                                      % (scheduler, timeout, scheduler)) from None
        except (OSError, TimeoutError, ValueError) as exc:
            if self.cluster is not None:
                self.cluster.close()
            where = "the Dask scheduler at %s" % scheduler if scheduler else "a local Dask cluster"
            raise EngineError("cannot reach %s: %s; check that dask-scheduler runs there and "
                              "that dask-worker processes are connected to it" % (where, exc)) \
                from None
        self._limits: Dict[str, Any] = {}
        self._processing_at = 0.0
        self._processing = 0

    def limit(self, server: str, concurrency: int) -> Any:
        if server not in self._limits:
            self._limits[server] = self._distributed.Semaphore(
                max_leases=concurrency, name="quorvi-server-%s" % server)
        return self._limits[server]

    def submit(self, fn: Callable[..., Any], *args: Any, key: str = "") -> Any:
        return self.client.submit(fn, *args, pure=False, key=key or None)

    def as_completed(self, futures: Iterable[Any]) -> Iterator[Any]:
        return iter(self._distributed.as_completed(list(futures)))

    def cancel(self, futures: Iterable[Any]) -> None:
        self.client.cancel(list(futures))

    def interrupt(self, run_id: str, futures: Iterable[Any]) -> None:
        """Stop the run's devices on every worker and wait until none is left
        driving one, so that no line stays open."""
        self.client.cancel(list(futures))
        deadline = time.monotonic() + INTERRUPT_WAIT
        while time.monotonic() < deadline:
            try:
                self.client.run(_interrupt_here, run_id)
                if not sum(self.client.run(_active_here, run_id).values()):
                    return
            except (OSError, TimeoutError):
                return
            time.sleep(0.1)

    def running(self) -> int:
        """Devices the scheduler has handed to workers (refreshed once a second)."""
        now = time.monotonic()
        if now - self._processing_at > 1.0:
            self._processing_at = now
            try:
                self._processing = sum(len(keys) for keys in self.client.processing().values())
            except (OSError, TimeoutError):
                pass
        return self._processing

    def close(self) -> None:
        try:
            self.client.close()
        finally:
            if self.cluster is not None:
                self.cluster.close()


def make_engine(engine: str = "threads", scheduler: Optional[str] = None,
                workers: Optional[int] = None, **options: Any) -> Any:
    if scheduler is not None or engine == "dask":
        return DaskEngine(scheduler=scheduler, workers=workers, **options)
    if engine == "threads":
        return ThreadEngine(workers)
    raise EngineError("unknown engine %r: use threads or dask" % engine)


__all__: List[str] = ["ThreadEngine", "DaskEngine", "EngineError", "make_engine"]
