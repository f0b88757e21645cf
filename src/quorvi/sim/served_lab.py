"""ServedLab: a simulated console server for tests and scripts, on free ports
of 127.0.0.1, started in a thread of this process or as a process of its
own, and always stopped (no process, port or file left behind).

    with ServedLab({"devices": {"R1": {"kind": "dual"}}}) as lab:
        Device(**lab.device_kwargs("R1"))   # lines: console: 127.0.0.1:PORT
"""
import asyncio
import json
import os
import select
import signal
import subprocess
import sys
import threading
from typing import Any, Dict, List, Optional

from .boot import status
from .lab import build_lab
from .lifecycle import Harness
from .console_server import LabServer

START_TIMEOUT = 30.0


class ServedLab(Harness):
    """`lab` is a lab file's content (dict) or path; `devices`, `mix`,
    `defaults` and `connect` are the serve options of the same names.
    `process=True` runs `python -m quorvi.sim serve` instead of a thread."""

    def __init__(self, lab: Any = None, devices: int = 0, mix: str = "single=100",
                 defaults: Optional[Dict[str, Any]] = None, connect: str = "immediate",
                 process: bool = False, host: str = "127.0.0.1") -> None:
        self.lab_source = lab
        self.devices = devices
        self.mix = mix
        self.defaults = dict(defaults or {})
        self.connect = connect
        self.process = process
        self.host = host
        self.inventory: Dict[str, Any] = {}
        self.proc: Optional[subprocess.Popen] = None
        self.thread: Optional[threading.Thread] = None
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self.server: Optional[LabServer] = None
        self.stopping: Optional[asyncio.Event] = None

    PREFIX = "quorvi-lab-"

    def _start(self) -> None:
        self._start_process() if self.process else self._start_thread()

    def _start_thread(self) -> None:
        lab = build_lab(self.lab_source, self.devices, self.mix,
                        self.defaults, {"connect": self.connect})
        ready = threading.Event()
        failure: List[Exception] = []

        async def serve() -> None:
            self.stopping = asyncio.Event()
            self.server = LabServer(lab, self.host)
            try:
                await self.server.start()
            except Exception as exc:
                failure.append(exc)
                return
            finally:
                ready.set()
            try:
                await self.stopping.wait()
            finally:
                await self.server.aclose()

        def run() -> None:
            self.loop = asyncio.new_event_loop()
            try:
                self.loop.run_until_complete(serve())
                self.loop.run_until_complete(asyncio.sleep(0))  # let closed transports finish
            finally:
                self.loop.close()

        self.thread = threading.Thread(target=run, name="quorvi-sim-serve", daemon=True)
        self.thread.start()
        if not ready.wait(START_TIMEOUT):
            raise RuntimeError("the simulated console server did not start within %gs"
                               % START_TIMEOUT)
        if failure:
            raise failure[0]
        self.inventory = lab.inventory(self.host)

    def _start_process(self) -> None:
        import yaml

        assert self.directory is not None
        inventory = os.path.join(self.directory, "inventory.yaml")
        argv = [sys.executable, "-m", "quorvi.sim", "serve", "--host", self.host,
                "--inventory-out", inventory, "--devices", str(self.devices),
                "--mix", self.mix, "--connect", self.connect]
        if self.lab_source is not None:
            path = self.lab_source
            if isinstance(path, dict):
                path = os.path.join(self.directory, "lab.json")
                with open(path, "w") as f:
                    json.dump(dict(self.lab_source, defaults=dict(
                        self.defaults, **self.lab_source.get("defaults", {}))), f)
            argv += ["--lab", path]
        self.proc = proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                            text=True)
        assert proc.stdout is not None and proc.stderr is not None
        ready, _, _ = select.select([proc.stdout], [], [], START_TIMEOUT)
        line = proc.stdout.readline() if ready else ""  # the line saying where it serves
        if not line.startswith("serving"):
            proc.kill()
            proc.wait()
            raise RuntimeError("the simulated console server did not start: %s"
                               % (line + proc.stderr.read()).strip())
        with open(inventory) as f:
            self.inventory = yaml.safe_load(f)

    def _stop(self) -> None:
        if self.thread is not None:
            if self.loop is not None and self.stopping is not None:
                try:
                    self.loop.call_soon_threadsafe(self.stopping.set)
                except RuntimeError:
                    pass  # the loop has ended already
            self.thread.join(START_TIMEOUT)
            self.thread = None
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(10)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
            for stream in (self.proc.stdout, self.proc.stderr):
                if stream is not None:
                    stream.close()

    # -- what a client needs ----------------------------------------------
    def port(self, device: str, console: str) -> int:
        return int(self.inventory["devices"][device]["lines"][console]["console"]
                   .rpartition(":")[2])

    def device_kwargs(self, name: str, transport: str = "console",
                      **overrides: Any) -> Dict[str, Any]:
        """Keywords for quorvi.device.Device: `console:` lines to the served
        ports, or with transport="command" lines opened by the command
        `telnet HOST PORT` (the client's own lines then reach the device's
        connection as they are)."""
        if transport not in ("console", "command"):
            raise ValueError("transport is console or command, not %r" % (transport,))
        entry = self.inventory["devices"][name]
        credentials = dict(self.inventory.get("defaults", {}).get("credentials", {}))
        credentials.update(entry.get("credentials", {}))
        connections = {}
        for alias, line in entry["lines"].items():
            host, _, port = line["console"].rpartition(":")
            target = line["console"] if transport == "console" else "telnet %s %s" % (host, port)
            connections[alias] = {transport: target, "member": line.get("member", 1)}
        kwargs = dict(name=name, os=entry["os"], platform=entry["platform"],
                      chassis_type=entry["chassis_type"], hostname=entry["hostname"],
                      connections=connections, credentials=credentials)
        kwargs.update(overrides)
        return kwargs

    def state(self, device: str) -> Dict[str, Any]:
        """What the consoles of `device` received (a lab served in this process)."""
        if self.server is None:
            raise RuntimeError("only a lab served in this process shows its devices' state")
        return self.server.state(device)

    def boots(self, device: str) -> Dict[str, int]:
        """Console -> how often it booted since the lab started (a lab served
        in this process)."""
        return dict(status(self.lab_device(device), self.state(device)).boots)

    def roles(self, device: str) -> Dict[str, str]:
        """Console -> its current role (a lab served in this process)."""
        return status(self.lab_device(device), self.state(device)).roles(self.lab_device(device))

    def lab_device(self, name: str) -> Dict[str, Any]:
        assert self.server is not None  # checked by state()
        return self.server.lab.devices[name]

