"""Recording fakes of the connection framework objects the link brokers drive.

Every fake writes into one shared `Recorder`, so a test can assert the exact
order of calls and attribute writes across objects. Scripted behaviour (what
`go_to`, `execute`, `expect` return or raise) is set per test.
"""
from collections import deque


class Recorder:
    """Ordered log of events: (name, args, kwargs) tuples."""

    def __init__(self):
        self.events = []

    def __call__(self, name, *args, **kwargs):
        self.events.append((name, args, kwargs))

    def names(self):
        return [e[0] for e in self.events]

    def of(self, name):
        return [e for e in self.events if e[0] == name]


class Recorded:
    """Records every attribute write made after construction as ("<label>.<attr>=", value)."""

    _label = "obj"

    def _ready(self, recorder, label):
        object.__setattr__(self, "_rec", recorder)
        object.__setattr__(self, "_label", label)

    def __setattr__(self, name, value):
        rec = self.__dict__.get("_rec")
        if rec is not None:
            rec(f"{self._label}.{name}=", value)
        object.__setattr__(self, name, value)


def _outcome(script, default):
    """Next scripted outcome: an exception instance is raised, a callable is called."""
    if not script:
        return default
    item = script.popleft() if isinstance(script, deque) else script
    if isinstance(item, BaseException):
        raise item
    return item


class FakeLog:
    def __init__(self, rec):
        self._rec = rec
        self.lines = []

    def _log(self, level, *args):
        self.lines.append((level,) + args)
        self._rec(f"log.{level}", *args)

    def info(self, *args):
        self._log("info", *args)

    def debug(self, *args):
        self._log("debug", *args)

    def warning(self, *args):
        self._log("warning", *args)


class FakeContext(dict):
    def __init__(self, rec, label, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._rec = rec
        self._label = label

    def update(self, *args, **kwargs):
        self._rec(f"{self._label}.update", *args, **kwargs)
        super().update(*args, **kwargs)

    def pop(self, *args):
        self._rec(f"{self._label}.pop", *args)
        return super().pop(*args)


class FakeExpectResult:
    def __init__(self, match_output):
        self.match_output = match_output


class FakeSpawn(Recorded):
    def __init__(self, rec, name="spawn"):
        self.name = name
        self.buffer = "pending"
        self.hostname_mismatch = False
        self.expect_script = deque()  # FakeExpectResult, str (wrapped) or exception
        self.sendline_error = None
        self.close_error = None
        self._ready(rec, name)

    def __str__(self):
        return self.name

    def sendline(self, *args):
        self._rec(f"{self.name}.sendline", *args)
        if self.sendline_error is not None:
            raise self.sendline_error

    def expect(self, pattern, **kwargs):
        self._rec(f"{self.name}.expect", pattern, **kwargs)
        result = _outcome(self.expect_script, FakeExpectResult(""))
        return FakeExpectResult(result) if isinstance(result, str) else result

    def close(self):
        self._rec(f"{self.name}.close")
        if self.close_error is not None:
            raise self.close_error


class FakeState:
    def __init__(self, name, pattern=None):
        self.name = name
        self.pattern = pattern if pattern is not None else f"<{name} prompt>"

    def __str__(self):
        return self.name


class FakeStateMachine(Recorded):
    def __init__(self, rec, name="sm", states=("disable", "enable", "config")):
        self.sm_name = name
        self.states = [FakeState(s) for s in states]
        self.learn_hostname = False
        self.learn_pattern = None
        self.current_state = "generic"
        self._current_state = "generic"
        # to_state -> deque of outcomes; an outcome str becomes current_state.
        self.go_to_script = {}
        self._ready(rec, name)

    def learn_os_state(self):
        self._rec(f"{self.sm_name}.learn_os_state")
        self.states.append(FakeState("learn_os"))

    def update_cur_state(self, name):
        self._rec(f"{self.sm_name}.update_cur_state", name)
        object.__setattr__(self, "current_state", name)

    def get_state(self, name):
        self._rec(f"{self.sm_name}.get_state", name)
        for s in self.states:
            if str(s) == name:
                return s
        raise KeyError(name)

    def go_to(self, *args, **kwargs):
        self._rec(f"{self.sm_name}.go_to", *args, **kwargs)
        to_state = args[0] if args else kwargs.get("to_state")
        outcome = _outcome(self.go_to_script.get(to_state), None)
        if isinstance(outcome, str):
            object.__setattr__(self, "current_state", outcome)
        elif to_state != "any" and outcome is None:
            object.__setattr__(self, "current_state", to_state)
        return outcome if outcome is not None else f"go_to:{to_state}"


class FakeSettings:
    def __init__(self, **values):
        self.__dict__.update(values)


class FakeDevice(Recorded):
    def __init__(self, rec, name="dev1"):
        self.name = name
        self.os = "generic"
        self.platform = None
        self.connect_error = None
        self._ready(rec, "device")

    def destroy(self):
        self._rec("device.destroy")

    def connect(self, *args, **kwargs):
        self._rec("device.connect", *args, **kwargs)
        if self.connect_error is not None:
            raise self.connect_error


class FakeSubconnection(Recorded):
    def __init__(self, rec, alias, member_id=None):
        self.alias = alias
        self.spawn = FakeSpawn(rec, f"{alias}.spawn")
        self.state_machine = FakeStateMachine(rec, f"{alias}.sm")
        self.context = FakeContext(rec, f"{alias}.context", login_creds=["c1"])
        self.connection_timeout = 60
        self.prompt_recovery = f"{alias}-recovery"
        self.learn_hostname = True
        self.learned_hostname = None
        self.mode = None
        self.member_id = member_id
        self.hostname_script = deque()  # answers of _get_learned_hostname
        self.execute_script = deque()
        self._ready(rec, alias)

    def _get_learned_hostname(self, *args, **kwargs):
        self._rec(f"{self.alias}._get_learned_hostname", *args, **kwargs)
        return _outcome(self.hostname_script, "DEFAULT")

    def execute(self, *args, **kwargs):
        self._rec(f"{self.alias}.execute", *args, **kwargs)
        return _outcome(self.execute_script, "")

    def sendline(self, *args):
        self._rec(f"{self.alias}.sendline", *args)


def default_settings(**overrides):
    values = dict(
        HA_INIT_EXEC_COMMANDS=["term len 0"],
        HA_INIT_CONFIG_COMMANDS=["no logging console"],
        HA_STANDBY_UNLOCK_COMMANDS=["redundancy", "unlock"],
        LEARN_OS_COMMANDS=["show version"],
        OS_MAPPING={"mapping": True},
        DEFAULT_LEARNED_HOSTNAME="DEFAULT",
        EXEC_TIMEOUT=30,
        DETECT_RPR_TIMEOUT=3,
    )
    values.update(overrides)
    return FakeSettings(**values)


class FakeConnection(Recorded):
    """A single-RP connection when built without aliases, else a multi-RP one."""

    def __init__(self, rec, aliases=(), member_ids=None, settings=None):
        self.settings = settings or default_settings()
        self.hostname = "R1"
        self.os = "orbix"
        self.learn_os = False
        self.learn_hostname = False
        self.goto_enable = True
        self.standby_goto_enable = True
        self.prompt_recovery = "broker-recovery"
        self.connection_timeout = 45
        self.init_exec_commands = None
        self.init_config_commands = None
        self.context = FakeContext(rec, "context", login_creds=["c1"])
        self.device = FakeDevice(rec)
        self.mit = False
        self._handles_designated = None
        self.learned_hostname = None
        self.spawn = FakeSpawn(rec, "spawn")
        self.state_machine = FakeStateMachine(rec, "sm")
        self.log = FakeLog(rec)
        ids = member_ids or [None] * len(aliases)
        self._subconnections = {a: FakeSubconnection(rec, a, m) for a, m in zip(aliases, ids)}
        self.subconnections = list(self._subconnections.values())
        self.active_alias = None
        self.standby_alias = None
        self.execute_script = deque()
        self.configure_error = None
        self.hostname_script = deque()
        self._ready(rec, "con")

    @property
    def active(self):
        return self._subconnections[self.active_alias]

    @property
    def standby(self):
        return self._subconnections[self.standby_alias]

    def _set_active_alias(self, alias):
        self._rec("con._set_active_alias", alias)
        object.__setattr__(self, "active_alias", alias)

    def _set_standby_alias(self, alias):
        self._rec("con._set_standby_alias", alias)
        object.__setattr__(self, "standby_alias", alias)

    def _set_active_ics_alias(self, alias):
        self._rec("con._set_active_ics_alias", alias)

    def _set_standby_ics_alias(self, alias):
        self._rec("con._set_standby_ics_alias", alias)

    def execute(self, *args, **kwargs):
        self._rec("con.execute", *args, **kwargs)
        return _outcome(self.execute_script, "")

    def configure(self, *args, **kwargs):
        self._rec("con.configure", *args, **kwargs)
        if self.configure_error is not None:
            raise self.configure_error

    def _get_learned_hostname(self, *args, **kwargs):
        self._rec("con._get_learned_hostname", *args, **kwargs)
        return _outcome(self.hostname_script, "DEFAULT")


# ---- dual, stack and quad link brokers


class FakeTime:
    """Stands in for the `time` module: `sleep` is recorded and never waits."""

    def __init__(self, rec):
        self._rec = rec

    def sleep(self, seconds):
        self._rec("time.sleep", seconds)


def tag_contexts(con):
    """Give every subconnection's context a distinct entry, so equal-looking
    contexts of different subconnections compare unequal."""
    for sub in con.subconnections:
        dict.__setitem__(sub.context, "owner", sub.alias)


def switch_listing(*rows):
    """A "show switch" answer: heading, separator, then the member rows."""
    return "\n".join(["Switch#  Role     Mac Address      Priority  Version  State",
                      "-" * 62, *rows])


# Appended for the single-RP, multi-RP and HA tests: the module-level
# framework functions and the connection a device builds when it reconnects.

from types import SimpleNamespace  # noqa: E402


def event(name, *args, **kwargs):
    """One expected Recorder event, written like the call it stands for."""
    return (name, args, kwargs)


class FakeOsLearner:
    """Stands in for `learn_os_platform`: records each call and answers from a
    script of (os, platform) pairs; an exception instance in it is raised."""

    def __init__(self, rec, *answers):
        self._rec = rec
        self.script = deque(answers)

    def __call__(self, con, output, mapping):
        self._rec("learn_os_platform", con, output, mapping)
        return _outcome(self.script, ("", ""))


class FakeKwargsMaker:
    """Stands in for `update_connection_kwargs`: records the call, returns `kwargs`."""

    def __init__(self, rec, kwargs):
        self._rec = rec
        self.kwargs = kwargs

    def __call__(self, con):
        self._rec("update_connection_kwargs", con)
        return self.kwargs


class FakeNewConnection:
    """The connection `device.connect` builds, found as the device's attribute
    named by the alias: its own spawn and the spawns of its subconnections."""

    def __init__(self, rec, label, aliases=()):
        self.spawn = FakeSpawn(rec, f"{label}.spawn")
        self.subconnections = [
            SimpleNamespace(alias=a, spawn=FakeSpawn(rec, f"{label}.{a}.spawn")) for a in aliases
        ]


class FakeDialog:
    """A dialog that equals only itself, so a test can tell two apart."""

    def __init__(self, statements):
        self.statements = statements


class PatchedFramework:
    """Replaces the framework names the brokers look up on their module
    (`Dialog`, `learn_os_platform`, `update_connection_kwargs`) with recording
    fakes for the duration of a `with` block. Every dialog made is a distinct
    object, kept in `dialogs` in order."""

    def __init__(self, rec, module, kwargs=None):
        from unittest import mock

        self.dialogs = []
        self.learner = FakeOsLearner(rec)
        self.kwargs = FakeKwargsMaker(rec, {"alias": "cli"} if kwargs is None else kwargs)

        def dialog(statements):
            rec("Dialog", statements)
            made = FakeDialog(statements)
            self.dialogs.append(made)
            return made

        self._patches = [
            mock.patch.object(module, "Dialog", dialog),
            mock.patch.object(module, "learn_os_platform", self.learner),
            mock.patch.object(module, "update_connection_kwargs", self.kwargs),
        ]

    def __enter__(self):
        for p in self._patches:
            p.start()
        return self

    def __exit__(self, *exc):
        for p in reversed(self._patches):
            p.stop()
