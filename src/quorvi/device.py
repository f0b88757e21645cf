"""Device: a router or switch described as data, and its connections.

`connections` describes the console lines: console alias -> {"command": the
shell command that opens the line, optionally "member": member number}. A
stack or quad needs the member number of every line (a stack: one line per
member, numbered 1..N); the lines may be listed in any order. A connection
built by `connect` is reachable as the device attribute named by its alias
("default" unless given).

OS learning hands the device over to the class of the learned OS by
destroying it and connecting the learning connection again. The device's
other connections are closed by that hand-over and not reopened (their
options were chosen for the old class): each is named in a warning, and its
attribute then raises a ConnectionError that says so, until it is connected
again.
"""
import contextlib
import logging
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Mapping, Optional

from . import chassis
from .core.errors import ConnectionError
from .registry import load_plugins, registry
from .settings import Settings, merged

log = logging.getLogger("quorvi.device")


def _member_number(device: str, alias: str, value: Any) -> int:
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= 9:
        raise ValueError("device %s: line %r has member number %r; give a member number "
                         "from 1 to 9 (\"member\": N)" % (device, alias, value))
    return value


def member_ordered(device: str, chassis_type: str,
                   connections: Mapping[str, Mapping[str, Any]]) -> Dict[str, Dict[str, Any]]:
    """The console lines of a stack or quad in member order, their member
    numbers as ints; other chassis types keep the order given. The stack's
    bring-up takes the N-th line for member N, so a stack needs lines for
    members 1..N exactly once each. ValueError names the faulty line."""
    lines = {alias: dict(line) for alias, line in connections.items()}
    if not chassis.has_members(chassis_type):
        return lines
    for alias, line in lines.items():
        if line.get("member") is None:
            raise ValueError("device %s: %s line %r has no member number; give each line "
                             "its member (\"member\": N, or --line ALIAS@N=COMMAND)"
                             % (device, chassis_type, alias))
        line["member"] = _member_number(device, alias, line["member"])
    ordered = dict(sorted(lines.items(), key=lambda item: item[1]["member"]))
    if chassis.get(chassis_type).per_member == 1:
        seen: Dict[int, str] = {}
        for alias, line in ordered.items():
            if line["member"] in seen:
                raise ValueError("device %s: %s lines %r and %r both have member number %d; "
                                 "a %s member has one console line"
                                 % (device, chassis_type, seen[line["member"]], alias,
                                    line["member"], chassis_type))
            seen[line["member"]] = alias
        missing = sorted(set(range(1, len(ordered) + 1)) - set(seen))
        if missing:
            alias = next(a for a, line in ordered.items() if line["member"] > len(ordered))
            raise ValueError("device %s: %s line %r has member number %d but the %s "
                             "has no line for member %s; number the members 1..%d"
                             % (device, chassis_type, alias, ordered[alias]["member"],
                                chassis_type, ", ".join(map(str, missing)), len(ordered)))
    return ordered


class ClosedByHandOver:
    """Stands for a connection that an OS hand-over closed: any use says so."""

    def __init__(self, device: str, alias: str, reason: str) -> None:
        self._message = ("device %s: connection %r was closed by %s; connect it again with "
                         "connect(alias=%r, ...)" % (device, alias, reason, alias))

    def __getattr__(self, name: str) -> Any:
        raise ConnectionError(self.__dict__.get("_message", "closed by an OS hand-over"))

    def __repr__(self) -> str:
        return "<closed connection: %s>" % self._message


class Device:
    def __init__(self, name: str, os: str = "generic", platform: Optional[str] = None,
                 model: Optional[str] = None, chassis_type: str = chassis.DEFAULT,
                 hostname: Optional[str] = None,
                 connections: Optional[Mapping[str, Mapping[str, Any]]] = None,
                 credentials: Optional[Mapping[str, Mapping[str, Any]]] = None,
                 learn_os: bool = False, learn_hostname: bool = False,
                 settings: Any = None, registry_: Any = None,
                 record: Optional[str] = None) -> None:
        self.name = name
        self.os = os
        self.platform = platform
        self.model = model
        self.chassis_type = chassis_type
        self.hostname = hostname
        self.connections: Dict[str, Dict[str, Any]] = member_ordered(name, chassis_type,
                                                                     connections or {})
        self.credentials: Dict[str, Dict[str, Any]] = {k: dict(v) for k, v in (credentials or {}).items()}
        self.learn_os = learn_os
        self.learn_hostname = learn_hostname
        self.settings: Settings = settings if isinstance(settings, Settings) else merged(None, settings)
        self.registry = registry_ if registry_ is not None else registry
        self.handles: Dict[str, Any] = {}  # alias -> connection object
        self._connecting: List[str] = []  # aliases whose connect() is running
        # Records every line opened into a cassette (quorvi.replay); `record` starts it.
        self.recorder: Any = None
        if record is not None:
            self.recorder = self._recorder(record)

    def _recorder(self, path: str) -> Any:
        from .replay.recorder import Recorder

        return Recorder(path, self)

    @contextlib.contextmanager
    def record(self, path: str) -> Iterator[Any]:
        """Record every console line opened within the block into the
        cassette `path` (written as lines close and when the block ends).
        Enter it before connecting: lines already open are not recorded."""
        recorder = self.recorder = self._recorder(path)
        try:
            yield recorder
        finally:
            recorder.stop()
            if self.recorder is recorder:
                self.recorder = None

    def __repr__(self) -> str:
        return "<Device %s os=%s platform=%s %s>" % (self.name, self.os, self.platform,
                                                      self.chassis_type)

    if TYPE_CHECKING:
        # Each connection is an attribute named by its alias (`dev.default`).
        def __getattr__(self, alias: str) -> Any: ...

    def connection_class(self) -> type:
        """The connection class registered for this device's description."""
        load_plugins()
        return self.registry.get_plugin(os=self.os, platform=self.platform, model=self.model,
                                        chassis_type=self.chassis_type)

    def connect(self, **kwargs: Any) -> Any:
        """Build the connection for `alias` (default "default") through the class
        that fits the device, make it the device attribute of that name, and
        connect it. A connection made earlier for that alias is disconnected
        first. Returns what the connection's connect() returns."""
        alias = kwargs.pop("alias", "default")
        if self.recorder is not None:
            self.recorder.note_connect(alias, kwargs)
        existing = self.handles.get(alias)
        if existing is None and alias in vars(self) and \
                not isinstance(vars(self)[alias], ClosedByHandOver):
            raise ValueError("alias %r clashes with a Device attribute" % alias)
        if existing is not None:
            # Also a connection whose bring-up failed: its lines are still open.
            existing.disconnect()
        cls = self.connection_class()
        con = cls(self, alias=alias, **kwargs)
        self.handles[alias] = con
        setattr(self, alias, con)
        self._connecting.append(alias)
        try:
            return con.connect()
        finally:
            self._connecting.pop()

    def disconnect(self, alias: Optional[str] = None) -> None:
        """Disconnect one connection, or all of them; they stay reachable."""
        aliases = [alias] if alias is not None else list(self.handles)
        for name in aliases:
            if isinstance(vars(self).get(name), ClosedByHandOver):
                getattr(vars(self)[name], "disconnect")  # raises: says why it is closed
            if name not in self.handles:
                raise ConnectionError("device %s has no connection %r" % (self.name, name))
            self.handles[name].disconnect()

    def destroy(self) -> None:
        """Disconnect every connection and forget them. Called by an OS
        hand-over (while a connect runs), the connections other than the one
        being handed over are marked closed by it (see the module notes)."""
        handles, self.handles = self.handles, {}
        handing_over = self._connecting[-1] if self._connecting else None
        try:
            for con in handles.values():
                con.disconnect()
        finally:
            for name in handles:
                self.__dict__.pop(name, None)
            if handing_over is not None:
                self._mark_closed_by_hand_over(handing_over, [n for n in handles
                                                              if n != handing_over])

    def _mark_closed_by_hand_over(self, alias: str, closed: List[str]) -> None:
        reason = "the OS hand-over of connection %r (device %s learned OS %s)" % (
            alias, self.name, self.os)
        for name in closed:
            log.warning("device %s: connection %r closed by %s; connect it again to use it",
                        self.name, name, reason)
            setattr(self, name, ClosedByHandOver(self.name, name, reason))

    def _default(self) -> Any:
        if "default" not in self.handles:
            raise ConnectionError("device %s is not connected" % self.name)
        return self.handles["default"]

    def execute(self, command: str, **kwargs: Any) -> str:
        return self._default().execute(command, **kwargs)

    def configure(self, commands: Any, **kwargs: Any) -> str:
        return self._default().configure(commands, **kwargs)

    # -- its life: reloads (quorvi.reloads) ------------------------------
    def reload(self, timeout: float = 600.0, save: bool = False, alias: str = "default",
               progress: Any = None) -> Any:
        """Reload the whole device and bring the connection `alias` up again;
        returns a quorvi.reloads.Report once the device proved it rebooted.
        `save`: answer yes to "configuration has been modified. Save?".
        `progress(phase)` hears of each phase as it is reached."""
        from . import reloads

        return reloads.run(self, "reload", None, timeout, save, alias, progress)

    def switchover(self, timeout: float = 600.0, save: bool = False, alias: str = "default",
                   progress: Any = None) -> Any:
        """Switch the active RP (stack member, quad chassis) over to the
        standby, which it reboots; see reload()."""
        from . import reloads

        return reloads.run(self, "switchover", None, timeout, save, alias, progress)

    def reload_member(self, member: int, timeout: float = 600.0, save: bool = False,
                      alias: str = "default", progress: Any = None) -> Any:
        """Reload stack member (quad chassis) `member` alone; see reload()."""
        from . import reloads

        return reloads.run(self, "member_reload", member, timeout, save, alias, progress)

    @property
    def connected(self) -> bool:
        return any(con.connected for con in self.handles.values())
