"""A cassette served as a device: on pseudo-terminals (one replay console
process per line opened, as the simulated consoles) or on TCP ports of the
console server (one port per line, telnet).

    with ReplayedDevice("r1.jsonl", fast=True) as replay:
        dev = Device(**replay.device_kwargs())
        dev.connect(**replay.connect_options())
        ...
    replay.check()        # ReplayMismatch: what was expected, what was received

`quorvi sim replay FILE` (quorvi.cli.sim) serves a cassette until every
recorded session has been played and its client has gone, a mismatch ends
it, or SIGINT/SIGTERM.
"""
import asyncio
import contextlib
import json
import os
import shlex
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional

from .. import chassis
from .cassette import Cassette, CassetteError, load
from ..core.errors import QuorviError
from ..sim.behaviour import DRAIN
from ..sim.console_server import Connection, LabServer
from ..sim.harness import CONSOLE_MAIN, PACKAGE_ROOT
from ..sim.lab import Lab, PortSpec
from ..sim.lifecycle import Harness, processes_with
from .playback import replay_session


class ReplayMismatch(QuorviError, AssertionError):
    """The client sent what the recording did not: the message shows what
    was expected and what was received, per line."""


def _where(cassette: Cassette, alias: str, number: int) -> str:
    return "device %s line %s session %d" % (cassette.name, alias, number)


def device_kwargs(cassette: Cassette, connections: Dict[str, Dict[str, Any]],
                  **overrides: Any) -> Dict[str, Any]:
    """Keywords of a quorvi.device.Device for the recorded device, its lines
    opened by `connections` (alias -> {"command", "member"?}). The
    credentials are the recording's secret markers: a replay accepts any
    secret, so none is needed."""
    device = cassette.device
    kwargs = {key: device.get(key) for key in ("os", "platform", "model", "chassis_type",
                                                  "hostname", "learn_os", "learn_hostname")}
    kwargs = {key: value for key, value in kwargs.items() if value is not None}
    kwargs.update(name=cassette.name, connections=connections,
                  credentials=device.get("credentials") or {})
    kwargs.update(overrides)
    return kwargs


class ReplayedDevice(Harness):
    """A cassette on pseudo-terminals: every line the client opens runs a
    replay console process playing the line's next recorded session."""

    def __init__(self, path: str, fast: bool = False, relaxed: bool = False) -> None:
        self.path = os.path.abspath(path)
        self.fast = fast
        self.relaxed = relaxed
        self.cassette = load(self.path)  # CassetteError before anything starts

    PREFIX = "quorvi-replay-"

    @property
    def state(self) -> Optional[str]:
        """The folder the replay consoles share (claimed sessions, events)."""
        return self.directory

    @property
    def lines(self) -> List[str]:
        return list(self.cassette.lines)

    def command(self, alias: str, readable: bool = False) -> str:
        """The shell command that opens line `alias`; `readable`: in the
        `python -m` form (the default form starts faster: no site packages)."""
        if alias not in self.cassette.lines:
            raise KeyError("the cassette has no line %r (its lines: %s)"
                           % (alias, ", ".join(self.cassette.lines)))
        start = [sys.executable, "-m", "quorvi.sim"] if readable else \
            [sys.executable, "-I", "-S", "-c", CONSOLE_MAIN % PACKAGE_ROOT]
        argv = start + ["replay-console", "--cassette", self.path, "--line", alias,
                        "--state", str(self.state)]
        argv += ["--fast"] * self.fast + ["--relaxed"] * self.relaxed
        return " ".join(shlex.quote(a) for a in argv)

    @property
    def connections(self) -> Dict[str, Dict[str, Any]]:
        result = {}
        for alias, line in (self.cassette.device.get("lines") or {}).items():
            result[alias] = dict(line, command=self.command(alias))
        return result

    def device_kwargs(self, **overrides: Any) -> Dict[str, Any]:
        return device_kwargs(self.cassette, self.connections, **overrides)

    def connect_options(self, alias: str = "default") -> Dict[str, Any]:
        """The options the recorded run passed to connect() for `alias`."""
        return dict((self.cassette.header.get("connect") or {}).get(alias) or {})

    # -- what happened ----------------------------------------------------
    def events(self) -> List[Dict[str, str]]:
        try:
            with open(os.path.join(str(self.state), "events"), "rb") as f:
                data = f.read()
        except (FileNotFoundError, TypeError):
            return []
        return [json.loads(raw) for raw in data.split(b"\n")[:-1]]

    def mismatches(self) -> List[str]:
        return [e["message"] for e in self.events() if e["kind"] == "mismatch"]

    def finished(self) -> bool:
        """Every recorded session of every line was played to its end."""
        played = sum(1 for e in self.events() if e["kind"] == "done")
        return played >= sum(len(s) for s in self.cassette.lines.values())

    def check(self) -> None:
        mismatches = self.mismatches()
        if mismatches:
            raise ReplayMismatch("replay of %s: %s" % (self.cassette.path, "; ".join(mismatches)))

    # -- processes --------------------------------------------------------
    def console_pids(self) -> List[int]:
        """Replay consoles of this replay still running."""
        if not self.state:
            return []
        return processes_with("replay-console", self.state)


@contextlib.contextmanager
def replayed(path: str, fast: bool = True, relaxed: bool = False, connect: bool = True,
             settings: Any = None) -> Iterator[Any]:
    """A quorvi Device on the replayed cassette `path`, connected with the
    recorded connect options (unless `connect=False`); destroyed at the end
    of the block, which raises ReplayMismatch if anything was sent that the
    recording did not have. Usable in a fixture of any scope."""
    from ..device import Device

    with ReplayedDevice(path, fast=fast, relaxed=relaxed) as replay:
        device = Device(**replay.device_kwargs(settings=settings))
        try:
            if connect:
                try:
                    device.connect(**replay.connect_options())
                except Exception:
                    replay.check()  # a mismatch says more than the failed connect
                    raise
            yield device
        finally:
            device.destroy()
        replay.check()


# -- on the console server's ports -------------------------------------------
class TcpReplay:
    """The sessions of a cassette handed to the console server's ports: each
    client of a port meets the line's next recorded session."""

    def __init__(self, cassette: Cassette, fast: bool = False, relaxed: bool = False,
                 on_change: Optional[Callable[[], None]] = None) -> None:
        self.cassette = cassette
        self.fast = fast
        self.relaxed = relaxed
        self.opened: Dict[str, int] = {}
        self.mismatches: List[str] = []
        self.played = 0
        self.on_change = on_change or (lambda: None)

    @property
    def total(self) -> int:
        return sum(len(s) for s in self.cassette.lines.values())

    def mismatch(self, message: str) -> None:
        self.mismatches.append(message)
        self.on_change()

    def done(self) -> None:
        self.played += 1
        self.on_change()

    def session(self, alias: str, emit: Callable[[bytes], None]):
        number = self.opened[alias] = self.opened.get(alias, 0) + 1
        sessions = self.cassette.sessions(alias)
        if number > len(sessions):
            return self.exhausted(alias, number, len(sessions), emit)
        return replay_session(sessions[number - 1], emit, _where(self.cassette, alias, number),
                              self.fast, self.relaxed, report=self.mismatch, done=self.done)

    def exhausted(self, alias: str, number: int, recorded: int, emit: Callable[[bytes], None]):
        message = ("device %s line %s: opened %d times but the recording has %d session(s) "
                   "of it" % (self.cassette.name, alias, number, recorded))
        self.mismatch(message)
        emit(("%% replay mismatch: %s\r\n" % message).encode())
        yield DRAIN


class ReplayConnection(Connection):
    """A client of a replayed port: no echo of its own (the recording holds
    the device's), and a fresh recorded session for every client."""

    ECHOES = False

    def __init__(self, port: Any, connections: set, replay: TcpReplay) -> None:
        super().__init__(port, connections)
        self.replay = replay

    async def drive(self) -> None:
        port = self.port
        previous = port.driver
        if previous is not None and not previous.done():
            await asyncio.wait([previous])
        if port.steps is not None:
            port.steps.close()
            port.steps = port.request = None
        await super().drive()

    def start_session(self) -> None:
        port = self.port
        port.steps = self.replay.session(port.spec.console, port.emit)
        port.request = port.steps.send(None)


class ReplayServer(LabServer):
    """The console server, its ports playing a cassette's lines."""

    def __init__(self, replay: TcpReplay, host: str = "127.0.0.1",
                 port_base: Optional[int] = None) -> None:
        cassette = replay.cassette
        lab = Lab()
        lines = cassette.device.get("lines") or {}
        device: Dict[str, Any] = {
            "hostname": cassette.name, "os": cassette.device.get("os"),
            "platform": cassette.device.get("platform"),
            "consoles": [{"name": alias, "member": line.get("member", 1), "silent": False}
                         for alias, line in lines.items()]}
        lab.devices[cassette.name] = device
        lab.ports = [PortSpec(device, console, {}) for console in device["consoles"]]
        super().__init__(lab, host, port_base)
        self.replay = replay

    def protocol(self, port: Any) -> Callable[[], Connection]:
        return lambda: ReplayConnection(port, self.connections, self.replay)

    def inventory(self) -> Dict[str, Any]:
        """The replayed device as an inventory (the format of `quorvi sim serve`)."""
        device = self.replay.cassette.device
        member_lines = chassis.has_members(device.get("chassis_type"))
        lines = {}
        for spec in self.lab.ports:
            line: Dict[str, Any] = {"console": "%s:%d" % (self.host, spec.port)}
            if member_lines:
                line["member"] = spec.member
            lines[spec.console] = line
        entry = {"os": device.get("os"), "platform": device.get("platform"),
                 "chassis_type": device.get("chassis_type"), "hostname": device.get("hostname"),
                 "lines": lines}
        # The recording's secret markers: a replay takes any text for them,
        # and the dialogs need a credential to answer with.
        if device.get("credentials"):
            entry["credentials"] = device["credentials"]
        return {"devices": {self.replay.cassette.name: entry}}
