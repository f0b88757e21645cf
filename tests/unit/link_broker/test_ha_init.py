"""HA initialisation of BaseMultiRpLinkBroker: init_active, unlock_standby,
init_standby, assign_ha_mode."""
import re
from collections import deque
from unittest import mock

import pytest

from quorvi.bases.routers import link_broker

from .fakes import FakeConnection, event

Broker = link_broker.BaseMultiRpLinkBroker
REC = "broker-recovery"
PATTERN = r"[Rr]edundancy\s+[Ss]tate\s+=\s+(.*)"


def make(rec, cls=Broker, active="rp2", standby="rp1", **con_attrs):
    con = FakeConnection(rec, aliases=("rp1", "rp2"))
    con._set_active_alias(active)
    con._set_standby_alias(standby)
    object.__setattr__(con, "init_exec_commands", ["term len 0", "term width 0"])
    object.__setattr__(con, "init_config_commands", ["no logging console"])
    for name, value in con_attrs.items():
        object.__setattr__(con, name, value)
    broker = cls(con)
    rec.events.clear()
    return con, broker


def test_init_active_brings_the_active_to_enable_then_runs_all_initial_commands(rec):
    con, broker = make(rec)
    rp2 = con._subconnections["rp2"]
    assert broker.init_active() is None
    assert rec.events == [
        event("log.info", "+++ initializing active handle +++"),
        event("rp2.sm.go_to", "enable", rp2.spawn, context=rp2.context, prompt_recovery=REC,
              timeout=60),
        event("con.execute", "term len 0", prompt_recovery=REC),
        event("con.execute", "term width 0", prompt_recovery=REC),
        event("con.configure", ["no logging console"], prompt_recovery=REC),
    ]
    assert rec.events[1][2]["context"] is rp2.context


def test_unlock_standby_configures_then_resynchronises_the_standby(rec):
    con, broker = make(rec)
    rp1 = con._subconnections["rp1"]
    assert broker.unlock_standby() is None
    assert rec.events == [
        event("log.info", "+++ unlocking standby +++"),
        event("con.configure", ["redundancy", "unlock"], prompt_recovery=REC),
        event("rp1.sm._current_state=", "generic"),
        event("rp1.spawn.buffer=", ""),
        event("rp1.spawn.sendline"),
        event("rp1.sm.go_to", spawn=rp1.spawn, prompt_recovery=REC, to_state="any"),
    ]
    assert list(rec.events[-1][2]) == ["spawn", "prompt_recovery", "to_state"]
    assert rec.events[1][1][0] is con.settings.HA_STANDBY_UNLOCK_COMMANDS


@pytest.mark.parametrize("commands", [[], (), None])
def test_unlock_standby_configures_whatever_the_commands_hold(rec, commands):
    con, broker = make(rec)
    con.settings.HA_STANDBY_UNLOCK_COMMANDS = commands
    broker.unlock_standby()
    assert rec.of("con.configure") == [event("con.configure", commands, prompt_recovery=REC)]
    assert rec.names()[-1] == "rp1.sm.go_to"


def test_unlock_standby_reads_the_standby_at_every_step(rec):
    con, broker = make(rec)
    rp1, rp2 = con.subconnections
    # a framework that re-designates while the unlock is in progress
    original = rp1.spawn.sendline

    def sendline(*args):
        original(*args)
        con._set_standby_alias("rp2")
    object.__setattr__(rp1.spawn, "sendline", sendline)
    broker.unlock_standby()
    assert rec.events[-1] == event("rp2.sm.go_to", spawn=rp2.spawn, prompt_recovery=REC,
                                   to_state="any")


@pytest.mark.parametrize("error", [link_broker.ConnectionError("locked"), KeyboardInterrupt()])
def test_failing_unlock_configuration_stops_before_the_standby_is_touched(rec, error):
    con, broker = make(rec, configure_error=error)
    with pytest.raises(BaseException) as raised:
        broker.unlock_standby()
    assert raised.value is error
    assert rec.names() == ["log.info", "con.configure"]
    assert con._subconnections["rp1"].spawn.buffer == "pending"


@pytest.mark.parametrize("goto_enable, go_to", [(True, True), ("yes", True), (False, False),
                                                (None, False), ([], False)])
def test_init_standby(rec, goto_enable, go_to):
    con, broker = make(rec, standby_goto_enable=goto_enable)
    rp1 = con._subconnections["rp1"]
    broker.init_standby()
    assert rec.events == [
        event("log.info", "+++ initializing standby handle +++"),
        *([event("rp1.sm.go_to", "enable", rp1.spawn, context=rp1.context,
                 prompt_recovery=REC, timeout=60)] if go_to else []),
        event("con.execute", "term len 0", prompt_recovery=REC, target="standby"),
        event("con.execute", "term width 0", prompt_recovery=REC, target="standby"),
    ]


@pytest.mark.parametrize("operation, handle", [("init_active", "rp2"), ("init_standby", "rp1")])
def test_enable_failure_stops_before_the_initial_commands(rec, operation, handle):
    con, broker = make(rec)
    error = link_broker.TimeoutError("no prompt")
    con._subconnections[handle].state_machine.go_to_script["enable"] = deque([error])
    with pytest.raises(link_broker.TimeoutError) as raised:
        getattr(broker, operation)()
    assert raised.value is error
    assert "con.execute" not in rec.names()


def test_initialisation_runs_the_overridden_execute_init_commands(rec):
    class Platform(Broker):
        def execute_init_commands(self, *args, **kwargs):
            rec("override.execute_init_commands", *args, **kwargs)

    _, broker = make(rec, Platform)
    broker.init_active()
    broker.init_standby()
    assert rec.of("override.execute_init_commands") == [
        event("override.execute_init_commands"),
        event("override.execute_init_commands", standby=True),
    ]


def test_init_standby_checks_the_command_lists(rec):
    _, broker = make(rec, init_exec_commands=("term len 0",))
    with pytest.raises(AssertionError, match="^Init commands must be a list$"):
        broker.init_standby()
    assert "con.execute" not in rec.names()


@pytest.mark.parametrize("output, mode", [
    ("Redundancy State = sso\n", "sso"),
    # lower-case first letter, several blanks, blanks in and around the text, CR LF
    ("  redundancy   State   =   Hot  Standby  \r\nnext line\n", "Hot  Standby"),
    ("Redundancy\nState\n=\nsso\n", "sso"),                 # white space spans line ends
    ("Redundancy State =   \n  from next line  \n", "from next line"),
    ("Redundancy State = \r\nrpr\r\n", "rpr"),
    ("Redundancy State = sso\nredundancy state = rpr\n", "sso"),  # the first match wins
    ("Peer State = x\nredundancy state = rpr-plus\n", "rpr-plus"),
    ("Redundancy State = ", ""),                           # nothing left after the blank
])
def test_assign_ha_mode_reads_the_mode_onto_every_line(rec, output, mode):
    con, broker = make(rec)
    con.execute_script.append(output)
    assert broker.assign_ha_mode() is None
    assert rec.events == [
        event("log.info", "+++ assigning ha mode +++"),
        event("con.execute", "sh redundancy state", target="active", prompt_recovery=REC),
        event("rp1.mode=", mode),
        event("rp2.mode=", mode),
        event("log.debug", f"redundancy mode is {mode}"),
    ]


@pytest.mark.parametrize("output", [
    "REDUNDANCY STATE = sso\n",
    "Redundancy State= sso\n",
    "Redundancy State =sso\n",
    "RedundancyState = sso\n",
    "Redundancy Mode = sso\n",
    "",
])
def test_assign_ha_mode_without_a_match_is_a_connection_error(rec, output):
    con, broker = make(rec)
    con.execute_script.append(output)
    with pytest.raises(link_broker.ConnectionError, match="^unable to determine redundancy mode$"):
        broker.assign_ha_mode()
    assert all(s.mode is None for s in con.subconnections)
    assert [lvl for lvl, *_ in con.log.lines] == ["info"]


def test_assign_ha_mode_uses_the_names_bound_on_the_module(rec):
    con, broker = make(rec)
    con.execute_script.extend(["Redundancy State = sso", "nothing"])
    searches = []

    def search(pattern, text):
        searches.append((pattern, text))
        return re.search(pattern, text)

    class Patched(Exception):
        pass

    with mock.patch.object(link_broker, "re", mock.Mock(search=search)), \
            mock.patch.object(link_broker, "ConnectionError", Patched):
        broker.assign_ha_mode()
        with pytest.raises(Patched):
            broker.assign_ha_mode()
    assert searches == [(PATTERN, "Redundancy State = sso"), (PATTERN, "nothing")]


@pytest.mark.parametrize("error", [link_broker.ConnectionError("no answer"), KeyboardInterrupt()])
def test_assign_ha_mode_passes_an_execute_error_on(rec, error):
    con, broker = make(rec)
    con.execute_script.append(error)
    with pytest.raises(BaseException) as raised:
        broker.assign_ha_mode()
    assert raised.value is error
    assert all(s.mode is None for s in con.subconnections)
