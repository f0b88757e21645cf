"""Connections: what a device is driven through.

`BaseConnection` holds the options every connection has; `Connection` is the
single-RP connection (one console line). Multi-RP connections live in
`quorvi.multi_connection`. A connection does not bring its lines up itself: its
`connect()` opens the lines, then builds its link broker
(`self.link_broker_class(self)`) and lets it do the bring-up; when that fails,
the lines are closed again.
"""
import logging
from typing import Any, Callable, Dict, List, Optional, Tuple

from . import log as package_log
from .core.errors import ConnectionError, OsLearningError
from .line import Context, LineHandle
from .secrets import secrets_of
from .settings import Settings, merged
from .spawn import Spawn
from .statemachine import StateMachine
from .transports import TRANSPORTS, open_line, wait_for_server

# Options a connection accepts (from Device.connect); kept as given so that a
# reconnection through another connection class can pass them on.
OPTIONS = (
    "hostname", "learn_os", "learn_hostname", "goto_enable", "standby_goto_enable",
    "prompt_recovery", "connection_timeout", "init_exec_commands", "init_config_commands",
    "mit", "settings", "login_creds", "enable_password", "console",
)


def build_context(device: Any, options: Dict[str, Any], hostname: str) -> Context:
    """Credentials for the dialogs: the device's credentials, the login
    credentials to try (names of credentials) and the enable password."""
    credentials = dict(getattr(device, "credentials", None) or {})
    context = Context(hostname=hostname, credentials=credentials)
    login_creds = options.get("login_creds")
    if login_creds is None and "username" in credentials.get("default", {}):
        login_creds = ["default"]
    if login_creds is not None:
        context["login_creds"] = list(login_creds) if isinstance(login_creds, (list, tuple)) \
            else [login_creds]
    enable_password = options.get("enable_password")
    if enable_password is None:
        enable_password = credentials.get("enable", {}).get("password")
    if enable_password is not None:
        context["enable_password"] = enable_password
    return context


def _gist(text: str, limit: int = 200) -> str:
    """The start of a device's answer on one line, for an error message."""
    flat = " ".join(text.split())
    return flat if len(flat) <= limit else flat[:limit] + "..."


class BaseConnection:
    """Options and services shared by every connection class."""

    os: Optional[str] = None
    platform: Optional[str] = None
    chassis_type = "single_rp"
    state_machine_class = StateMachine
    link_broker_class: Any = None
    # The link broker that learns the OS when link_broker_class has no
    # OS-learning step (a stack's); None: link_broker_class learns it.
    os_learning_link_broker_class: Any = None

    def __init__(self, device: Any, alias: str = "default", **options: Any) -> None:
        unknown = sorted(set(options) - set(OPTIONS))
        if unknown:
            raise TypeError("unknown connection option(s): %s" % ", ".join(unknown))
        self.device = device
        self.alias = alias
        self._options = dict(options)
        self.settings: Settings = merged(getattr(device, "settings", None), options.get("settings"))
        self.hostname = options.get("hostname") or getattr(device, "hostname", None) or device.name
        self.os = getattr(device, "os", None) or self.os
        self.platform = getattr(device, "platform", None)
        self.learn_os = bool(options.get("learn_os", getattr(device, "learn_os", False)))
        self.learn_hostname = bool(options.get("learn_hostname",
                                               getattr(device, "learn_hostname", False)))
        self.goto_enable = options.get("goto_enable", True)
        self.standby_goto_enable = options.get("standby_goto_enable", True)
        self.prompt_recovery = options.get("prompt_recovery", False)
        self.connection_timeout = options.get("connection_timeout", self.settings.CONNECTION_TIMEOUT)
        self.init_exec_commands = options.get("init_exec_commands")
        self.init_config_commands = options.get("init_config_commands")
        self.mit = options.get("mit", False)
        self._handles_designated = False
        self.context = build_context(device, options, self.hostname)
        self.log = logging.getLogger("%s.%s.%s" % (package_log.name, device.name, alias))
        self.link_broker: Any = None
        self.connected = False
        # (command, line, answer or error) of each OS-learning command, kept
        # while the OS is being learned.
        self._os_answers: Optional[List[Tuple[str, Any, str]]] = None

    def __repr__(self) -> str:
        return "<%s %s/%s>" % (type(self).__name__, self.device.name, self.alias)

    def _open_spawn(self, console: str) -> Spawn:
        spawn, finish = self._start_spawn(console)
        finish()
        return spawn

    def _start_spawn(self, console: str) -> Tuple[Spawn, Callable[[], None]]:
        """Start the line `console`; returns it and what finishes opening it
        (waiting for its console server, attaching the recorder)."""
        consoles = getattr(self.device, "connections", None) or {}
        description = consoles.get(console) or {}
        if not any(key in description for key in ("line",) + TRANSPORTS):
            raise ConnectionError("device %s has no console %r with a command, console or ssh "
                                  "target" % (self.device.name, console))
        spawn = open_line(self.device, console, description, self.log,
                          getattr(self.settings, "SPAWN_MAX_BUFFER", 1 << 20),
                          self.connection_timeout, wait=False)
        spawn.hide(*secrets_of(getattr(self.device, "credentials", None), self.context))

        def finish() -> None:
            wait_for_server(spawn)
            recorder = getattr(self.device, "recorder", None)
            if recorder is not None:
                recorder.attach(spawn, console, self.context)

        return spawn, finish

    def _make_link_broker(self) -> Any:
        cls = self.link_broker_class
        if self._os_answers is not None and self.os_learning_link_broker_class is not None:
            cls = self.os_learning_link_broker_class
        if cls is None:
            raise ConnectionError("%s has no link broker class" % type(self).__name__)
        self.link_broker = cls(self)
        return self.link_broker

    def _noted(self, command: str, line: Any, run: Callable[[], str]) -> str:
        """Run a command; while the OS is being learned, keep its answer (or
        error) so that a failed learning can say what the device said."""
        answers = self._os_answers
        if answers is None:
            return run()
        try:
            output = run()
        except Exception as exc:
            answers.append((command, line, "error: %s" % exc))
            raise
        answers.append((command, line, output))
        return output

    def _os_learning_error(self) -> OsLearningError:
        known = ", ".join(sorted(getattr(self.settings, "OS_MAPPING", None) or {})) or "none"
        if self._os_answers:
            tried = "; ".join("%r on line %s answered %r" % (command, line, _gist(answer))
                              for command, line, answer in self._os_answers)
        else:
            tried = "no learning command was run (LEARN_OS_COMMANDS is empty)"
        return OsLearningError(
            "device %s: Failed to learn device os: %s; no answer names a known OS (%s). "
            "Give the device's OS instead of learning it" % (self.device.name, tried, known))

    def _open_lines(self) -> None:
        """Open the console lines that are not open yet."""

    def connect(self) -> Any:
        """Open the console lines, then let a new link broker bring them up;
        returns what the broker's connect returns. A failed bring-up closes
        the lines, so no console process outlives it; its error reaches the
        caller unchanged."""
        up = False
        self._os_answers = [] if self.os == "generic" and self.learn_os else None
        try:
            self._open_lines()
            result = self._make_link_broker().connect()
            up = True
        except Exception as exc:
            # The broker's bare "Failed to learn device os" (a plain Exception
            # it marks with `os_learning_failed`) becomes an error that says
            # what was tried and what came back.
            if self._os_answers is not None and getattr(exc, "os_learning_failed", False):
                raise self._os_learning_error() from exc
            raise
        finally:
            self._os_answers = None
            if not up:
                self._close_spawns()
        self.connected = True
        return result

    def _spawns(self):
        return []

    def _close_spawns(self) -> None:
        for spawn in self._spawns():
            if spawn is not None:
                spawn.close()

    def disconnect(self) -> None:
        """Let the link broker close the lines; close whatever it left open."""
        try:
            if self.link_broker is not None:
                self.link_broker.disconnect()
        finally:
            self._close_spawns()
            self.connected = False


class Connection(BaseConnection, LineHandle):
    """A device with one route processor, reached through one console line."""

    def __init__(self, device: Any, alias: str = "default", **options: Any) -> None:
        super().__init__(device, alias, **options)
        consoles = list(getattr(device, "connections", None) or {})
        self.console = options.get("console") or (alias if alias in consoles else
                                                  (consoles[0] if consoles else None))
        self.spawn: Optional[Spawn] = None
        self.state_machine = self.state_machine_class(self.hostname, self.settings)
        self.state_machine.default_timeout = self.connection_timeout
        self._learned_hostname: Optional[str] = None

    def execute(self, command: str, *args: Any, **kwargs: Any) -> str:
        return self._noted(command, self.console,
                           lambda: LineHandle.execute(self, command, *args, **kwargs))

    def _open_lines(self) -> None:
        if self.spawn is None or self.spawn.closed:
            if self.console is None:
                raise ConnectionError("device %s has no console" % self.device.name)
            self.spawn = self._open_spawn(self.console)

    def _spawns(self):
        return [self.spawn]
