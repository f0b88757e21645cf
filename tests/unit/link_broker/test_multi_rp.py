"""BaseMultiRpLinkBroker: connect (plain and OS-learning), establish_connection,
designate_handles, disconnect."""
from collections import deque
from unittest import mock

import pytest

from quorvi.bases.routers import link_broker

from .fakes import FakeConnection, FakeNewConnection, FakeState, PatchedFramework, event

Broker = link_broker.BaseMultiRpLinkBroker
REC = "broker-recovery"
STEPS = ["designate_handles", "init_active", "unlock_standby", "init_standby", "assign_ha_mode"]


@pytest.fixture
def fw(rec):
    with PatchedFramework(rec, link_broker, kwargs={"alias": "cli", "via": "a"}) as patched:
        yield patched


def make(rec, cls=Broker, aliases=("rp1", "rp2"), new_aliases=("n1", "n2"), **con_attrs):
    con = FakeConnection(rec, aliases=aliases)
    con.device.cli = FakeNewConnection(rec, "cli", new_aliases)
    con.device.default = FakeNewConnection(rec, "default", new_aliases)
    for name, value in con_attrs.items():
        object.__setattr__(con, name, value)
    broker = cls(con)
    rec.events.clear()
    return con, broker


def with_steps(rec, failing=None, error=None):
    """A subclass whose establish_connection and HA steps only record themselves."""
    def step(name):
        def run(self):
            rec(f"step.{name}")
            if name == failing:
                raise error
        return run
    return type("Steps", (Broker,), {n: step(n) for n in ["establish_connection", *STEPS]})


def line_events(con, sub, dialog, first_pass):
    return [
        event(f"{sub.alias}.context.update", {"cred_list": ["c1"]}),
        event("Dialog", []),
        event(f"{sub.alias}.sm.go_to", "any", sub.spawn, context=sub.context,
              prompt_recovery=REC, timeout=60, dialog=dialog),
        *([event(f"{sub.alias}.spawn.sendline")] if first_pass else []),
        event(f"{sub.alias}.context.pop", "cred_list", None),
    ]


def test_establish_connection_walks_every_line_twice_and_learns_the_hostname(rec, fw):
    con, broker = make(rec)
    rp1, rp2 = con.subconnections
    rp2.hostname_script.append("R7")
    assert broker.establish_connection() is None
    d = fw.dialogs
    assert len(d) == 4 and len({id(x) for x in d}) == 4
    assert rec.events == [
        event("rp1.sm.learn_hostname=", True),
        event("rp1.sm.learn_pattern=", "DEFAULT"),
        event("rp2.sm.learn_hostname=", True),
        event("rp2.sm.learn_pattern=", "DEFAULT"),
        *line_events(con, rp1, d[0], True),
        *line_events(con, rp2, d[1], True),
        *line_events(con, rp1, d[2], False),
        *line_events(con, rp2, d[3], False),
        event("rp1._get_learned_hostname", spawn=rp1.spawn),
        event("rp2._get_learned_hostname", spawn=rp2.spawn),
        event("con.learned_hostname=", "R7"),
        event("rp1.learned_hostname=", "R7"),
        event("rp1.sm.learn_hostname=", False),
        event("rp2.learned_hostname=", "R7"),
        event("rp2.sm.learn_hostname=", False),
    ]
    assert con.log.lines == []
    assert all("cred_list" not in s.context for s in con.subconnections)


@pytest.mark.parametrize("answers, asked, stored", [
    (["R5"], ["rp1"], "R5"),
    (["DEFAULT", "DEFAULT", "R9"], ["rp1", "rp2", "rp3"], "R9"),
    (["DEFAULT", "R7", "R9"], ["rp1", "rp2"], "R7"),
    (["DEFAULT", "DEFAULT", "DEFAULT"], ["rp1", "rp2", "rp3"], "DEFAULT"),
])
def test_first_non_default_hostname_is_stored_everywhere(rec, fw, answers, asked, stored):
    con, broker = make(rec, aliases=("rp1", "rp2", "rp3"))
    for sub, answer in zip(con.subconnections, answers):
        sub.hostname_script.append(answer)
    broker.establish_connection()
    assert [e[0] for e in rec.events if e[0].endswith("_get_learned_hostname")] == [
        f"{a}._get_learned_hostname" for a in asked]
    assert con.learned_hostname == stored
    assert all(s.learned_hostname == stored for s in con.subconnections)
    assert all(s.state_machine.learn_hostname is False for s in con.subconnections)
    warning = ("warning", "Failed to learn the hostname.  Using the default hostname pattern "
                          "DEFAULT. This may lead to unstable behavior.")
    assert con.log.lines == ([warning] if stored == "DEFAULT" else [])


@pytest.mark.parametrize("learn, learned, runs", [
    ([False, True], [None, None], True),   # only the last wants it: learning covers all
    ([True, False], [None, None], False),  # only the first wants it: nothing learned
    ([True, True], [None, "R1"], False),   # the last already has a hostname
    ([True, True], ["R1", ""], True),
])
def test_hostname_learning_is_decided_by_the_last_line(rec, fw, learn, learned, runs):
    con, broker = make(rec)
    for sub, wants, have in zip(con.subconnections, learn, learned):
        object.__setattr__(sub, "learn_hostname", wants)
        object.__setattr__(sub, "learned_hostname", have)
    broker.establish_connection()
    asked = [e for e in rec.events if e[0].endswith("_get_learned_hostname")]
    assert bool(asked) is runs
    assert ("con.learned_hostname=" in rec.names()) is runs
    for sub, wants, have in zip(con.subconnections, learn, learned):
        # the flag set in preparation stays on when no learning runs
        assert sub.state_machine.learn_hostname is (bool(wants and not have) and not runs)
        assert sub.learned_hostname == ("DEFAULT" if runs else have)


def test_no_subconnections_is_a_connection_error_before_anything_is_done(rec, fw):
    con, broker = make(rec, aliases=())
    with pytest.raises(link_broker.ConnectionError, match="^No subconnections to establish$"):
        broker.establish_connection()
    assert rec.events == []

    class Patched(Exception):
        pass
    with mock.patch.object(link_broker, "ConnectionError", Patched):
        with pytest.raises(Patched):
            broker.establish_connection()


@pytest.mark.parametrize("where", ["go_to", "sendline"])
@pytest.mark.parametrize("error", [link_broker.TimeoutError("slow"), KeyboardInterrupt()])
def test_failure_on_a_line_ends_establish_connection_at_once(rec, fw, where, error):
    con, broker = make(rec)
    rp1, rp2 = con.subconnections
    if where == "go_to":
        rp2.state_machine.go_to_script["any"] = deque([error])
    else:
        rp2.spawn.sendline_error = error
    with pytest.raises(BaseException) as raised:
        broker.establish_connection()
    assert raised.value is error
    assert "cred_list" not in rp1.context and rp2.context["cred_list"] == ["c1"]
    assert [e[0] for e in rec.events if e[0].endswith("go_to")] == ["rp1.sm.go_to",
                                                                    "rp2.sm.go_to"]
    assert ("rp2.spawn.sendline" in rec.names()) is (where == "sendline")
    assert con.learned_hostname is None
    assert rp1.state_machine.learn_hostname is True and rp2.state_machine.learn_hostname is True


def test_establish_connection_uses_the_overridden_dialog(rec, fw):
    class Platform(Broker):
        def get_connection_dialog(self):
            return "platform dialog"

    _, broker = make(rec, Platform)
    broker.establish_connection()
    dialogs = [e[2]["dialog"] for e in rec.events if e[0].endswith("go_to")]
    assert dialogs == ["platform dialog"] * 4


def test_connect_logs_every_line_then_runs_the_steps_in_order(rec, fw):
    con, broker = make(rec, with_steps(rec))
    assert broker.connect() is None
    assert rec.events == [
        event("log.info", "+++ connection to rp1.spawn +++"),
        event("log.info", "+++ connection to rp2.spawn +++"),
        event("step.establish_connection"),
        *[event(f"step.{s}") for s in STEPS],
    ]


@pytest.mark.parametrize("mit", [True, 1, "yes"])
def test_mit_stops_connect_after_establish_connection(rec, fw, mit):
    _, broker = make(rec, with_steps(rec), mit=mit)
    broker.connect()
    assert rec.names()[-1] == "step.establish_connection"


@pytest.mark.parametrize("failing", STEPS)
@pytest.mark.parametrize("error", [link_broker.ConnectionError("x"), KeyboardInterrupt()])
def test_a_failing_step_stops_connect(rec, fw, failing, error):
    _, broker = make(rec, with_steps(rec, failing, error))
    with pytest.raises(BaseException) as raised:
        broker.connect()
    assert raised.value is error
    ran = [n[len("step."):] for n in rec.names() if n.startswith("step.")]
    assert ran == ["establish_connection", *STEPS[:STEPS.index(failing) + 1]]


@pytest.mark.parametrize("cls, name", [
    (Broker, "BaseMultiRpLinkBroker"),
    (type("OrbixMultiRp", (Broker,), {}), "OrbixMultiRp"),
])
def test_designate_handles_must_be_overloaded(rec, fw, cls, name):
    con, broker = make(rec, cls)
    with pytest.raises(NotImplementedError) as raised:
        broker.connect()
    assert str(raised.value) == f"Subclass {name} must overload designate_handles."
    assert len([e for e in rec.events if e[0].endswith("go_to")]) == 4
    assert not [m for _, m in con.log.lines if m.startswith("+++ initializing")]


def learning(rec, **kwargs):
    return make(rec, os="generic", learn_os=True, **kwargs)


def test_os_learning_goes_over_the_lines_and_takes_the_new_spawns(rec, fw):
    con, broker = learning(rec, cls=with_steps(rec))
    con.settings.LEARN_OS_COMMANDS = ["show version", "show inventory"]
    con.subconnections[0].state_machine.states.append(FakeState("learn_os"))
    error = link_broker.ConnectionError("rp1 is standby")
    con.execute_script.extend([error, "Tessel OS ts5k"])
    fw.learner.script.append(("tessel", "ts5k"))
    new = con.device.cli.subconnections
    assert broker.connect() is None
    assert rec.events == [
        event("log.info", "+++ connection to rp1.spawn +++"),
        event("log.info", "+++ connection to rp2.spawn +++"),
        event("log.info", "Learning device dev1 os"),
        event("rp2.sm.learn_os_state"),
        event("step.establish_connection"),
        event("con.execute", "show version", allow_state_change=True, target="rp1"),
        event("log.info", 'Failed to execute command "show version"'),
        event("con.execute", "show version", allow_state_change=True, target="rp2"),
        event("learn_os_platform", con, "Tessel OS ts5k", con.settings.OS_MAPPING),
        event("log.info", "\nLearned device os: tessel\nLearned device platform: ts5k"
                          "\nRedirect to corresponding plugins."),
        event("device.os=", "tessel"),
        event("device.platform=", "ts5k"),
        event("update_connection_kwargs", con),
        event("device.destroy"),
        event("device.connect", alias="cli", via="a"),
        event("rp1.spawn=", new[0].spawn),
        event("rp2.spawn=", new[1].spawn),
        event("con._handles_designated=", True),
        event("con.mit=", True),
    ]


@pytest.mark.parametrize("answers, targets", [
    ([("orbix", "ox900")], ["rp1"]),                   # found on the first line
    ([("", ""), ("", ""), ("orbix", "")], ["rp1", "rp2", "rp1"]),  # next command, all lines
])
def test_os_learning_stops_at_the_first_os(rec, fw, answers, targets):
    con, broker = learning(rec)
    con.settings.LEARN_OS_COMMANDS = ["c1", "c2", "c3"]
    fw.learner.script.extend(answers)
    broker.connect()
    assert [e[2]["target"] for e in rec.of("con.execute")] == targets
    assert con.device.os == "orbix"
    assert not any(m.startswith("+++ designating") for _, m in con.log.lines)


@pytest.mark.parametrize("commands, outputs", [
    ([], []),
    (["c1"], [RuntimeError("a"), link_broker.TimeoutError("b")]),
    (["c1", "c2"], ["o1", "o2", "o3", "o4"]),  # every answer without an OS
])
def test_no_learned_os_raises_after_establish_connection(rec, fw, commands, outputs):
    con, broker = learning(rec)
    con.settings.LEARN_OS_COMMANDS = commands
    con.execute_script.extend(outputs)
    with pytest.raises(Exception) as raised:
        broker.connect()
    assert type(raised.value) is Exception
    assert str(raised.value) == "Failed to learn device os"
    assert raised.value.os_learning_failed is True  # the framework's marker
    assert len(rec.of("con.execute")) == len(outputs)
    assert len([e for e in rec.events if e[0].endswith("go_to")]) == 4
    assert con.device.os == "generic"
    assert not {"device.destroy", "device.os=", "con.mit="} & set(rec.names())


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(2)])
def test_learning_command_lets_non_exception_errors_through(rec, fw, error):
    con, broker = learning(rec)
    con.execute_script.append(error)
    with pytest.raises(BaseException) as raised:
        broker.connect()
    assert raised.value is error
    assert rec.names()[-1] == "con.execute"


def test_learn_os_platform_error_is_not_caught(rec, fw):
    con, broker = learning(rec)
    fw.learner.script.append(error := ValueError("bad mapping"))
    with pytest.raises(ValueError) as raised:
        broker.connect()
    assert raised.value is error
    assert len(rec.of("con.execute")) == 1


@pytest.mark.parametrize("kwargs, platform, new_aliases, expected", [
    ({"alias": "cli"}, "ox20", ("n1",), "cli"),            # fewer new lines: only rp1
    ({}, "", ("n1", "n2", "n3"), "default"),              # more new lines: extra ignored
])
def test_spawn_hand_over(rec, fw, kwargs, platform, new_aliases, expected):
    con, broker = learning(rec, new_aliases=new_aliases)
    fw.kwargs.kwargs = kwargs
    fw.learner.script.append(("orbix", platform))
    old = [s.spawn for s in con.subconnections]
    broker.connect()
    new = getattr(con.device, expected).subconnections
    handed = [s.spawn for s in con.subconnections]
    n = min(len(new), 2)
    assert handed[:n] == [s.spawn for s in new[:n]] and handed[n:] == old[n:]
    assert rec.of("device.connect") == [event("device.connect", **kwargs)]
    assert con.device.platform == platform
    short = "\nLearned device os: orbix\nRedirect to corresponding plugins."
    assert (("info", short) in con.log.lines) is (platform == "")


def test_disconnect_closes_every_spawn_and_stops_at_an_error(rec, fw):
    con, broker = make(rec, aliases=("rp1", "rp2", "rp3"))
    assert broker.disconnect() is None
    assert rec.events == [event(f"rp{i}.spawn.close") for i in (1, 2, 3)]
    con.subconnections[1].spawn.close_error = error = OSError("gone")
    rec.events.clear()
    with pytest.raises(OSError) as raised:
        broker.disconnect()
    assert raised.value is error
    assert rec.names() == ["rp1.spawn.close", "rp2.spawn.close"]
