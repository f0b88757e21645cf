"""Multi-RP connections: one subconnection per route-processor console.

Dual-RP, stack and quad devices share this implementation; the connection
class's `link_broker_class` decides how the lines are told apart. The link
broker records the designated handles through `_set_active_alias` and friends;
`execute` and `configure` then reach a line by alias or by role.
"""
from typing import Any, Dict, List, Optional

from .core.errors import ConnectionError
from .connection import BaseConnection
from .line import LineHandle
from .spawn import Spawn
from .transports import CONSOLE_SERVER_TRANSPORTS, watch_servers

ROLES = ("active", "standby", "active_ics", "standby_ics")


class SubConnection(LineHandle):
    """One route processor's console line within a multi-RP connection."""

    def __init__(self, connection: "MultiRpConnection", alias: str,
                 member_id: Optional[int] = None) -> None:
        self.connection = connection
        self.alias = alias
        self.member_id = member_id
        self.settings = connection.settings
        self.hostname = connection.hostname
        self.log = connection.log.getChild(alias)
        self.context = connection.context.copy()
        self.connection_timeout = connection.connection_timeout
        self.prompt_recovery = connection.prompt_recovery
        self.learn_hostname = connection.learn_hostname
        self.state_machine = connection.state_machine_class(self.hostname, self.settings)
        self.state_machine.default_timeout = self.connection_timeout
        self._learned_hostname: Optional[str] = None
        self.spawn: Optional[Spawn] = None
        self.mode: Optional[str] = None  # redundancy mode, written by the link broker

    def __repr__(self) -> str:
        return "<SubConnection %s/%s>" % (self.connection.device.name, self.alias)

    def follow_hostname(self, hostname: str) -> None:
        """The device was renamed through this line: every line follows."""
        self.connection.follow_hostname(hostname)

    def open(self) -> Spawn:
        if self.spawn is None or self.spawn.closed:
            self.spawn = self.connection._open_spawn(self.alias)
        return self.spawn


class MultiRpConnection(BaseConnection):
    """A device with several route processors, one console line each.

    Subconnections follow the order in which the device lists its consoles;
    a Device lists a stack's and a quad's in member order, as the stack's
    bring-up needs."""

    chassis_type = "dual_rp"
    subconnection_class = SubConnection

    def __init__(self, device: Any, alias: str = "default", **options: Any) -> None:
        super().__init__(device, alias, **options)
        consoles = getattr(device, "connections", None) or {}
        if not consoles:
            raise ConnectionError("device %s lists no console for a %s connection"
                                  % (device.name, self.chassis_type))
        self._subconnections: Dict[str, SubConnection] = {}
        for name, description in consoles.items():
            self._subconnections[name] = self.subconnection_class(
                self, name, member_id=description.get("member"))
        self._aliases: Dict[str, Optional[str]] = dict.fromkeys(ROLES)
        self.learned_hostname: Optional[str] = None

    @property
    def subconnections(self) -> List[SubConnection]:
        return list(self._subconnections.values())

    # -- designated handles -----------------------------------------------
    def _set_alias(self, role: str, alias: str) -> None:
        if alias not in self._subconnections:
            raise ConnectionError("%s has no subconnection %r to make %s" % (self, alias, role))
        self._aliases[role] = alias

    def _set_active_alias(self, alias: str) -> None:
        self._set_alias("active", alias)

    def _set_standby_alias(self, alias: str) -> None:
        self._set_alias("standby", alias)

    def _set_active_ics_alias(self, alias: str) -> None:
        self._set_alias("active_ics", alias)

    def _set_standby_ics_alias(self, alias: str) -> None:
        self._set_alias("standby_ics", alias)

    def _handle(self, role: str) -> Optional[SubConnection]:
        alias = self._aliases[role]
        return self._subconnections[alias] if alias is not None else None

    @property
    def active(self) -> Optional[SubConnection]:
        return self._handle("active")

    @property
    def standby(self) -> Optional[SubConnection]:
        return self._handle("standby")

    @property
    def active_ics(self) -> Optional[SubConnection]:
        return self._handle("active_ics")

    @property
    def standby_ics(self) -> Optional[SubConnection]:
        return self._handle("standby_ics")

    @property
    def roles(self) -> Dict[str, Optional[str]]:
        """Role -> alias of the designated handles."""
        return dict(self._aliases)

    def subconnection(self, target: Optional[str] = None) -> SubConnection:
        """The subconnection named by `target`: an alias, a role, or None for the active one."""
        target = "active" if target is None else target
        if target in self._subconnections:
            return self._subconnections[target]
        if target in ROLES:
            handle = self._handle(target)
            if handle is None:
                why = ""
                if self.mit:
                    why = ("; the connection was made with mit=True, which brings the lines up "
                           "without designating handles: name a line with target= (one of %s) "
                           "or connect without mit" % ", ".join(map(repr, self._subconnections)))
                raise ConnectionError("%s: no %s handle has been designated%s"
                                      % (self, target, why))
            return handle
        raise ConnectionError("%s has no subconnection or role %r" % (self, target))

    def _primary(self) -> SubConnection:
        return self.active or self.subconnections[0]

    @property
    def spawn(self) -> Optional[Spawn]:
        """The active line (the first one before designation)."""
        return self._primary().spawn

    @spawn.setter
    def spawn(self, value: Spawn) -> None:
        self._primary().spawn = value

    @property
    def state_machine(self) -> Any:
        return self._primary().state_machine

    def _get_learned_hostname(self, spawn: Any = None) -> str:
        """The hostname seen on `spawn` (by the state machine of its line)."""
        owner = next((sub for sub in self.subconnections if spawn is not None
                      and sub.spawn is spawn), self._primary())
        return owner._get_learned_hostname(spawn=spawn)

    def follow_hostname(self, hostname: str) -> None:
        """The device was renamed: the prompts of every line (standby and
        member consoles alike) take the new name."""
        self.learned_hostname = hostname
        for sub in self.subconnections:
            LineHandle.follow_hostname(sub, hostname)

    @property
    def unsolicited_output(self) -> List[str]:
        """Output of any line that came outside an answer (see LineHandle)."""
        return [text for sub in self.subconnections for text in sub.unsolicited_output]

    @property
    def cut_answers(self) -> List[str]:
        """Answers cut at prompt-like text, on any line (see LineHandle)."""
        return [text for sub in self.subconnections for text in sub.cut_answers]

    # -- commands ---------------------------------------------------------
    def execute(self, command: str, target: Optional[str] = None, **kwargs: Any) -> str:
        """Run an exec command on the line named by `target` (default: active)."""
        return self._noted(command, target,
                           lambda: self.subconnection(target).execute(command, **kwargs))

    def configure(self, commands: Any, prompt_recovery: bool = False, target: Optional[str] = None,
                  **kwargs: Any) -> str:
        """Send a configuration block through the active line (or `target`)."""
        return self.subconnection(target).configure(commands, prompt_recovery=prompt_recovery,
                                                    **kwargs)

    # -- life cycle -------------------------------------------------------
    def connect(self) -> Any:
        """Bring the lines up (see BaseConnection.connect). A dual-RP
        designation tries each line towards enable and drops what failed
        there; when no line got there, the failure of a line that could not
        answer its password question is the error, not "no line at the
        enable prompt"."""
        try:
            return super().connect()
        except ConnectionError as exc:
            cause = self._unanswered_question()
            if cause is None or cause is exc:
                raise
            raise cause from exc

    def _unanswered_question(self) -> Optional[Exception]:
        if self._handles_designated or any(
                sub.state_machine.current_state == "enable" for sub in self.subconnections):
            return None
        return next((sub.state_machine.unanswered for sub in self.subconnections
                     if getattr(sub.state_machine, "unanswered", None) is not None), None)

    def _open_lines(self) -> None:
        # Every line is started before any is waited for: their console
        # servers connect (attach, log in) them at the same time.
        finishing = []
        for sub in self.subconnections:
            if sub.spawn is None or sub.spawn.closed:
                sub.spawn, finish = self._start_spawn(sub.alias)
                finishing.append(finish)
        if len(finishing) > 1:
            watch_servers(self._spawns(), self.connection_timeout)
        for finish in finishing:
            finish()
        if self.chassis_type == "quad":
            # A console server shows a live console's prompt only once a key
            # is pressed, while the quad's answer test takes a line with
            # nothing pending for a silent RP: press Return on each console
            # line, so that a live RP has spoken by then and a silent one not.
            for sub in self.subconnections:
                if sub.spawn is not None and sub.spawn.transport in CONSOLE_SERVER_TRANSPORTS:
                    sub.spawn.sendline("")

    def _spawns(self):
        return [sub.spawn for sub in self.subconnections]
