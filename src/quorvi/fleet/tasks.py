"""What a fleet run does on each device, and `run_device`, which does it.

`run_device` runs where the device is driven (a thread of this process, or a
Dask worker): it builds the Device from its plain description there, brings
it up, does the task, tears it down and returns the result as a dict. Open
lines never leave that thread; a failure of any kind becomes the result."""
import dataclasses
import importlib
import json
import logging
import os
import socket
import threading
import time
from contextlib import ExitStack
from typing import Any, Callable, Dict, List, Optional, Sequence, Union

from .. import spawn as spawn_module
from ..secrets import Masker, secrets_of
from ..transports import server_login_secrets
from ..core.errors import QuorviError
from .limits import DeviceRun, fd_cost, process_fd_budget
from .logs import DeviceLogs
from .results import DeviceResult

# Keywords of quorvi.device.Device that a description may carry.
DEVICE_KEYS = ("name", "os", "platform", "model", "chassis_type", "hostname", "connections",
               "credentials", "learn_os", "learn_hostname", "settings")
ROLE_NAMES = {"active": "active", "standby": "standby", "active_ics": "active ICS",
              "standby_ics": "standby ICS"}


@dataclasses.dataclass(frozen=True)
class Task:
    """Bring-up (always), then `commands` executed, `config` sent, or
    `function` ("module:name" or an importable callable) called with the
    connected Device; its return value must be JSON-serialisable."""

    kind: str = "connect"  # connect | execute | configure | call
    commands: Sequence[str] = ()
    config: Sequence[str] = ()
    function: Union[str, Callable[[Any], Any], None] = None

    @classmethod
    def connect_only(cls) -> "Task":
        return cls("connect")

    @classmethod
    def execute(cls, *commands: str) -> "Task":
        return cls("execute", commands=tuple(commands))

    @classmethod
    def configure(cls, lines: Sequence[str]) -> "Task":
        return cls("configure", config=tuple(lines))

    @classmethod
    def call(cls, function: Union[str, Callable[[Any], Any]]) -> "Task":
        return cls("call", function=function)


def resolve_function(function: Union[str, Callable[[Any], Any], None]) -> Callable[[Any], Any]:
    if callable(function):
        return function
    module, sep, name = str(function).partition(":")
    if not sep or not module or not name:
        raise ValueError("a task function is given as MODULE:FUNCTION, got %r" % (function,))
    target: Any = importlib.import_module(module)
    for part in name.split("."):
        target = getattr(target, part)
    if not callable(target):
        raise ValueError("%s is not callable" % function)
    return target


@dataclasses.dataclass(frozen=True)
class RunOptions:
    """Per-run options that travel to wherever devices are driven."""

    run_id: str = ""
    timeout: Optional[float] = None  # seconds per device, bring-up to teardown
    logs: Optional[str] = None  # directory of the session logs
    record: Optional[str] = None  # directory of the cassettes, one per device
    limits: Sequence[Any] = ()  # per-server semaphores (context managers), set per device


def describe(device: Any) -> Dict[str, Any]:
    """A plain description (a dict of Device keywords plus "groups") of a
    Device object or of a dict describing one."""
    if isinstance(device, dict):
        description = dict(device)
        unknown = sorted(set(description) - set(DEVICE_KEYS) - {"groups"})
        if unknown:
            raise ValueError("device %s: unknown key(s) %s; known: %s" % (
                description.get("name", "?"), ", ".join(unknown),
                ", ".join(DEVICE_KEYS + ("groups",))))
    else:
        description = {key: getattr(device, key) for key in DEVICE_KEYS if hasattr(device, key)}
        description["groups"] = list(getattr(device, "groups", None) or [])
    if not description.get("name"):
        raise ValueError("a device description needs a name: %r" % (description,))
    return description


def servers_of(description: Dict[str, Any]) -> List[str]:
    """The console or SSH servers (their host) the device's lines go through;
    a line opened by a command has none. The port is left out: one console
    server serves many lines, one per port."""
    servers = set()
    for line in (description.get("connections") or {}).values():
        line = line or {}
        given = line.get("line")  # an inventory Line, as a Device built from a file has
        for key in ("console", "conserver", "ssh"):
            target = given.target if given is not None and given.transport == key \
                else line.get(key)
            address = str(target or "").rpartition("@")[2]
            host, sep, port = address.rpartition(":")
            if sep and port.isdigit():
                address = host
            if address:
                servers.add(address.strip("[]"))
    return sorted(servers)


def read_credentials(name: str, credentials: Any) -> Dict[str, Dict[str, Any]]:
    """The device's credentials with each value read from its source
    (env:NAME, file:PATH, a literal; see quorvi.credentials), here where the
    device is driven; a "prompt" was asked before the run started."""
    from .. import credentials as creds

    read: Dict[str, Dict[str, Any]] = {}
    for cred_name, cred in (credentials or {}).items():
        read[cred_name] = {}
        for key, value in dict(cred or {}).items():
            secret = value if isinstance(value, creds.Secret) else \
                creds.Secret(value, name, cred_name) if isinstance(value, str) else None
            read[cred_name][key] = secret.reveal() if secret is not None else value
    return read


def line_roles(connection: Any) -> Dict[str, str]:
    """Line alias -> its role as the bring-up designated it."""
    if hasattr(connection, "subconnections") and hasattr(connection, "roles"):
        roles: Dict[str, List[str]] = {sub.alias: [] for sub in connection.subconnections}
        for role, alias in connection.roles.items():
            if alias is not None:
                roles.setdefault(alias, []).append(ROLE_NAMES.get(role, role))
        return {alias: ", ".join(names) or "member" for alias, names in roles.items()}
    return {getattr(connection, "console", None) or "default": "active"}


class _Current(threading.local):
    run: Optional[DeviceRun] = None
    logs: Optional[DeviceLogs] = None


_current = _Current()


def _on_spawn(spawn: Any) -> None:
    """Spawn hook: a line opened while this thread drives a fleet device joins
    that device's run (time limit, interruption) and session logs."""
    run = _current.run
    if run is None:
        return
    run.add_spawn(spawn)
    if _current.logs is not None:
        prefix = run.name + "/"
        line = spawn.name[len(prefix):] if spawn.name.startswith(prefix) else spawn.name
        try:
            _current.logs.attach(spawn, line)
        except OSError as exc:
            run.log_error = "cannot write the session log of %s: %s" % (spawn.name, exc)


if _on_spawn not in spawn_module.spawn_hooks:
    spawn_module.spawn_hooks.append(_on_spawn)
# A device's failure is its result: on a worker with no logging set up, the
# framework's warnings about it must not reach stderr as well.
if not logging.getLogger("quorvi").handlers:
    logging.getLogger("quorvi").addHandler(logging.NullHandler())


class DeviceStopped(QuorviError):
    """A device ran out of time or its run was interrupted."""


def _stopped_error(run: DeviceRun) -> DeviceStopped:
    if run.stopped == "timeout":
        return DeviceStopped("device %s: time limit of %g s exceeded during %s; raise the time "
                             "limit if the device is slow, or check its lines"
                             % (run.name, run.timeout or 0, run.stopped_phase))
    return DeviceStopped("device %s: interrupted during %s" % (run.name, run.stopped_phase))


def output_key(outputs: Dict[str, str], command: str) -> str:
    """Where the output of `command` goes: a command run more than once keeps
    every output, the later ones as "COMMAND #2", "COMMAND #3"..."""
    key, n = command, 1
    while key in outputs:
        n += 1
        key = "%s #%d" % (command, n)
    return key


def _do_task(device: Any, task: Task, result: DeviceResult) -> None:
    if task.kind == "execute":
        for command in task.commands:
            result.outputs[output_key(result.outputs, command)] = device.execute(command)
    elif task.kind == "configure":
        result.outputs["configure"] = device.configure(list(task.config))
    elif task.kind == "call":
        value = resolve_function(task.function)(device)
        try:
            json.dumps(value)
        except (TypeError, ValueError) as exc:
            raise TypeError("the task function returned a value that is not JSON-serialisable "
                            "(%s)" % exc) from None
        result.value = value
    elif task.kind != "connect":
        raise ValueError("unknown task kind %r" % task.kind)


def _learned(device: Any, result: DeviceResult) -> None:
    connection = device.handles.get("default")
    result.os = device.os
    result.platform = device.platform
    learned = getattr(connection, "learned_hostname", None) if connection is not None else None
    result.hostname = learned or device.hostname
    if connection is not None:
        result.lines = line_roles(connection)


def _phase(run: DeviceRun, result: DeviceResult, name: str) -> float:
    run.phase = name
    return time.monotonic()


def cassette_name(device: str) -> str:
    """The cassette file of a device in a run's --record directory."""
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in device) + ".jsonl"


def run_device(description: Dict[str, Any], task: Task, options: RunOptions) -> Dict[str, Any]:
    """Bring one device up, do `task`, tear it down; the result as a dict.
    Never raises for the device's own failures."""
    from ..device import Device

    name = str(description.get("name"))
    result = DeviceResult(name=name, worker="%s:%d" % (socket.gethostname(), os.getpid()))
    try:
        credentials = read_credentials(name, description.get("credentials"))
        server_secrets = server_login_secrets(name, description.get("connections") or {})
    except Exception as exc:  # an unset variable, an unreadable file: this device's failure
        result.ok, result.error_type, result.error = False, type(exc).__name__, str(exc)
        return result.to_dict()
    description = dict(description, credentials=credentials)
    mask = Masker(secrets_of(credentials, extra=server_secrets))
    lines = len(description.get("connections") or {}) or 1
    budget = process_fd_budget()
    with ExitStack() as stack:
        for limit in options.limits:
            stack.enter_context(limit)
        units = budget.acquire(fd_cost(lines, bool(options.logs)))
        stack.callback(budget.release, units)
        run = stack.enter_context(DeviceRun(name, options.timeout, options.run_id))
        logs = DeviceLogs(options.logs, name, mask) if options.logs else None
        if logs is not None:
            stack.callback(logs.close)
        _current.run, _current.logs = run, logs
        stack.callback(_leave)
        device = None
        try:
            keywords = {k: v for k, v in description.items() if k in DEVICE_KEYS}
            if options.record:
                os.makedirs(options.record, exist_ok=True)
                keywords["record"] = os.path.join(options.record, cassette_name(name))
            device = Device(**keywords)
            begin = _phase(run, result, "connect")
            try:
                device.connect()
            finally:
                result.timings["connect"] = round(time.monotonic() - begin, 4)
            _learned(device, result)
            if task.kind != "connect":
                begin = _phase(run, result, task.kind)
                try:
                    _do_task(device, task, result)
                finally:
                    result.timings[task.kind] = round(time.monotonic() - begin, 4)
            result.ok = True
        except Exception as exc:  # any failure of this device becomes its result
            error = _stopped_error(run) if run.stopped else exc
            result.ok = False
            result.error_type = type(error).__name__
            message = str(error) or repr(error)
            if name not in message:
                message = "device %s: %s" % (name, message)
            result.error = message
        finally:
            if device is not None:
                connection = device.handles.get("default")
                result.cut_answers = list(getattr(connection, "cut_answers", None) or [])
                begin = _phase(run, result, "disconnect")
                try:
                    device.destroy()
                except Exception as exc:
                    if result.ok:
                        result.ok = False
                        result.error_type = type(exc).__name__
                        result.error = "device %s: disconnect failed: %s" % (name, exc)
                result.timings["disconnect"] = round(time.monotonic() - begin, 4)
        # Stopped during the teardown, the work is done and the lines are closed all the same.
        if result.ok and run.stopped and run.stopped_phase != "disconnect":
            error = _stopped_error(run)
            result.ok, result.error_type, result.error = False, type(error).__name__, str(error)
        if result.ok and run.log_error:
            result.ok, result.error_type, result.error = False, "OSError", run.log_error
    result.error = mask(result.error)
    result.outputs = {k: mask(v) for k, v in result.outputs.items()}
    result.value = _mask_value(result.value, mask)
    result.cut_answers = [mask(text) for text in result.cut_answers]
    return result.to_dict()


def _mask_value(value: Any, mask: Masker) -> Any:
    if isinstance(value, str):
        return mask(value)
    if isinstance(value, dict):
        return {k: _mask_value(v, mask) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_mask_value(v, mask) for v in value]
    return value


def _leave() -> None:
    _current.run = None
    _current.logs = None
