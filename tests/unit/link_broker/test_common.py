"""BaseCommonRpLinkBroker: construction, the connection dialog and the initial commands."""
import subprocess
import sys
from pathlib import Path
from unittest import mock

import pytest

from quorvi.bases.routers import link_broker
from quorvi.dialogs import Dialog

from .fakes import FakeConnection, FakeSettings, default_settings, event

Broker = link_broker.BaseCommonRpLinkBroker


def make(rec, **con_attrs):
    con = FakeConnection(rec)
    for name, value in con_attrs.items():
        object.__setattr__(con, name, value)
    broker = Broker(con)
    rec.events.clear()
    return con, broker


def test_classes_are_ordinary_python_classes():
    classes = [getattr(link_broker, n) for n in (
        "BaseCommonRpLinkBroker", "BaseSingleRpLinkBroker", "BaseMultiRpLinkBroker")]
    assert all(type(c) is type for c in classes)
    assert Broker.__bases__ == (object,)
    assert link_broker.BaseSingleRpLinkBroker.__bases__ == (Broker,)
    assert link_broker.BaseMultiRpLinkBroker.__bases__ == (Broker,)
    assert hasattr(Broker(FakeConnection(None)), "__dict__")


def test_constructor_keeps_connection_and_a_copy_of_prompt_recovery(rec):
    con, broker = make(rec)
    assert broker.connection is con
    assert broker.prompt_recovery == "broker-recovery"
    object.__setattr__(con, "prompt_recovery", "changed")
    assert broker.prompt_recovery == "broker-recovery"
    assert not hasattr(broker, "init_exec_commands")


def test_connection_dialog_is_new_and_empty_on_every_call(rec):
    _, broker = make(rec)
    first, second = broker.get_connection_dialog(), broker.get_connection_dialog()
    assert isinstance(first, Dialog) and first is not second
    assert first.statements == [] and second.statements == []


def test_connection_dialog_uses_the_dialog_bound_on_the_module(rec):
    _, broker = make(rec)
    made = object()
    factory = mock.Mock(return_value=made)
    with mock.patch.object(link_broker, "Dialog", factory):
        assert broker.get_connection_dialog() is made
    factory.assert_called_once_with([])


OWN, SETTING = ["own"], ["from settings"]


@pytest.mark.parametrize("own, settings, expected", [
    (OWN, dict(HA_INIT_EXEC_COMMANDS=SETTING, HA_INIT_CONFIG_COMMANDS=SETTING), OWN),
    ([], dict(HA_INIT_EXEC_COMMANDS=SETTING, HA_INIT_CONFIG_COMMANDS=SETTING), []),
    (None, dict(HA_INIT_EXEC_COMMANDS=SETTING, HA_INIT_CONFIG_COMMANDS=SETTING), SETTING),
    # present but false: used as it is, not skipped
    (None, dict(HA_INIT_EXEC_COMMANDS=(), HA_INIT_CONFIG_COMMANDS=()), ()),
    (None, dict(HA_INIT_EXEC_COMMANDS=None, HA_INIT_CONFIG_COMMANDS=None), None),
    (None, dict(), []),
])
def test_set_init_commands_resolution(rec, own, settings, expected):
    _, broker = make(rec, init_exec_commands=own, init_config_commands=own,
                     settings=FakeSettings(**settings))
    broker.set_init_commands()
    for value in (broker.init_exec_commands, broker.init_config_commands):
        assert value == expected and type(value) is type(expected)
        if expected is OWN or expected is SETTING:
            assert value is expected  # the same object, not a copy


def test_absent_settings_give_two_distinct_new_lists(rec):
    _, broker = make(rec, settings=FakeSettings())
    broker.set_init_commands()
    assert broker.init_exec_commands == [] and broker.init_config_commands == []
    assert broker.init_exec_commands is not broker.init_config_commands


def test_settings_error_other_than_missing_key_propagates(rec):
    class Settings:
        @property
        def HA_INIT_EXEC_COMMANDS(self):
            raise KeyError("broken")

    _, broker = make(rec, settings=Settings())
    with pytest.raises(KeyError):
        broker.set_init_commands()


@pytest.mark.parametrize("standby", [False, 0, "", None])
def test_exec_then_one_configuration_block(rec, standby):
    con, broker = make(rec, init_exec_commands=["a", "b"], init_config_commands=["c1", "c2"])
    broker.execute_init_commands(standby)
    assert rec.events == [
        event("con.execute", "a", prompt_recovery="broker-recovery"),
        event("con.execute", "b", prompt_recovery="broker-recovery"),
        event("con.configure", ["c1", "c2"], prompt_recovery="broker-recovery"),
    ]
    assert rec.of("con.configure")[0][1][0] is con.init_config_commands


@pytest.mark.parametrize("standby", [True, 1, "yes", ["x"]])
def test_standby_sends_exec_commands_to_standby_and_never_configures(rec, standby):
    _, broker = make(rec, init_exec_commands=["a", "b"], init_config_commands=["c1"])
    broker.execute_init_commands(standby=standby)
    assert rec.events == [
        event("con.execute", "a", prompt_recovery="broker-recovery", target="standby"),
        event("con.execute", "b", prompt_recovery="broker-recovery", target="standby"),
    ]


def test_default_is_not_standby_and_empty_config_list_sends_no_block(rec):
    _, broker = make(rec, init_exec_commands=["a"], init_config_commands=[])
    broker.execute_init_commands()
    assert rec.events == [event("con.execute", "a", prompt_recovery="broker-recovery")]


def test_nothing_sent_when_neither_connection_nor_settings_have_commands(rec):
    _, broker = make(rec, settings=FakeSettings())
    broker.execute_init_commands()
    assert rec.events == []


def test_empty_connection_list_wins_over_settings(rec):
    _, broker = make(rec, init_exec_commands=[], settings=default_settings())
    broker.execute_init_commands()
    assert rec.names() == ["con.configure"]


def test_list_subclass_is_accepted(rec):
    class Commands(list):
        pass

    _, broker = make(rec, init_exec_commands=Commands(["a"]), init_config_commands=[])
    broker.execute_init_commands()
    assert rec.names() == ["con.execute"]


@pytest.mark.parametrize("exec_cmds, config_cmds", [
    (("a",), ["c"]),
    (["a"], ("c",)),
    ("a", ["c"]),
])
def test_non_list_commands_fail_before_anything_is_sent(rec, exec_cmds, config_cmds):
    _, broker = make(rec, init_exec_commands=exec_cmds, init_config_commands=config_cmds)
    with pytest.raises(AssertionError, match="^Init commands must be a list$"):
        broker.execute_init_commands()
    assert rec.events == []


def test_assertion_is_skipped_under_optimize():
    script = (
        "from quorvi.bases.routers import link_broker\n"
        "from unit.link_broker.fakes import FakeConnection, Recorder\n"
        "rec = Recorder()\n"
        "con = FakeConnection(rec)\n"
        "object.__setattr__(con, 'init_exec_commands', ('a', 'b'))\n"
        "object.__setattr__(con, 'init_config_commands', ('c',))\n"
        "link_broker.BaseCommonRpLinkBroker(con).execute_init_commands()\n"
        "print(rec.events)\n"
    )
    tests_dir = Path(__file__).resolve().parents[2]
    out = subprocess.run([sys.executable, "-O", "-c", script], cwd=tests_dir,
                         capture_output=True, text=True, check=True).stdout
    assert out.strip() == repr([
        event("con.execute", "a", prompt_recovery="broker-recovery"),
        event("con.execute", "b", prompt_recovery="broker-recovery"),
        event("con.configure", ("c",), prompt_recovery="broker-recovery"),
    ])


@pytest.mark.parametrize("error", [RuntimeError("exec failed"), KeyboardInterrupt()])
def test_failing_exec_command_stops_the_rest(rec, error):
    con, broker = make(rec, init_exec_commands=["a", "b", "c"], init_config_commands=["x"])
    con.execute_script.extend(["ok", error])
    with pytest.raises(type(error)) as raised:
        broker.execute_init_commands()
    assert raised.value is error
    assert [e[1][0] for e in rec.events] == ["a", "b"]


def test_failing_configure_reaches_the_caller(rec):
    con, broker = make(rec, init_exec_commands=[], init_config_commands=["x"])
    con.configure_error = error = RuntimeError("config failed")
    with pytest.raises(RuntimeError) as raised:
        broker.execute_init_commands()
    assert raised.value is error


def test_commands_are_resolved_again_on_every_call(rec):
    con, broker = make(rec, init_exec_commands=[], init_config_commands=["one"])
    broker.execute_init_commands()
    object.__setattr__(con, "init_config_commands", ["two"])
    broker.execute_init_commands()
    assert [e[1][0] for e in rec.of("con.configure")] == [["one"], ["two"]]


def test_execute_init_commands_calls_the_overridden_set_init_commands(rec):
    class Custom(Broker):
        def set_init_commands(self):
            self.init_exec_commands = ["custom"]
            self.init_config_commands = []

    con = FakeConnection(rec)
    Custom(con).execute_init_commands()
    assert rec.events == [event("con.execute", "custom", prompt_recovery="broker-recovery")]
