"""Dual-RP bring-up through the compiled link broker against the simulator."""
import logging

import pytest

from quorvi.core.errors import ConnectionError

from .conftest import INIT, INIT_EXEC, UNLOCK, messages, pid_gone

QUERY = "sh redundancy stat | inc my state"
STEPS = ["+++ designating handles +++", "+++ initializing active handle +++",
         "+++ unlocking standby +++", "+++ initializing standby handle +++",
         "+++ assigning ha mode +++"]


def other(alias):
    return "b" if alias == "a" else "a"


@pytest.mark.parametrize("active", ["a", "b"])
def test_designates_initialises_unlocks_and_reads_mode(sim, device_for, caplog, active):
    simulated = sim("dual", active=active, hostname="edge-7")
    device = device_for(simulated, hostname="placeholder", learn_hostname=True)
    caplog.set_level(logging.DEBUG, logger="quorvi")
    device.connect()
    con, standby = device.default, other(active)
    assert (con.active.alias, con.standby.alias) == (active, standby)
    assert con._handles_designated
    assert [s.state_machine.current_state for s in con.subconnections] == ["enable", "enable"]
    assert [s.mode for s in con.subconnections] == ["Stateful Switchover"] * 2
    # Learned once across the lines, stored on the connection and every line.
    assert con.learned_hostname == "edge-7"
    assert [s.learned_hostname for s in con.subconnections] == ["edge-7"] * 2
    # The first line reached enable, so it alone was asked for its role.
    assert QUERY in simulated.commands_received("a")
    assert QUERY not in simulated.commands_received("b")
    active_received = [c for c in simulated.commands_received(active) if c != QUERY]
    assert active_received == ["enable"] + INIT + ["configure terminal"] + UNLOCK + \
        ["end", "sh redundancy state"]
    assert simulated.config_received(active) == ["no logging console"] + UNLOCK
    assert [c for c in simulated.commands_received(standby) if c != QUERY] == \
        ["enable"] + INIT_EXEC
    assert simulated.config_received(standby) == [] and simulated.standby_unlocked
    info = messages(caplog, logging.INFO)
    assert [m for m in info if m in STEPS] == STEPS
    assert "redundancy mode is Stateful Switchover" in messages(caplog, logging.DEBUG)


@pytest.mark.parametrize("hostname", ["lab-active", "ACTIVE-R1"])
def test_hostname_containing_active_does_not_make_a_standby_console_active(sim, device_for,
                                                                          hostname):
    # Console "a" is asked first and is the standby: its prompt and the echo
    # of the query carry the hostname, its answer says STANDBY.
    simulated = sim("dual", active="b", hostname=hostname)
    device = device_for(simulated)
    device.connect()
    con = device.default
    assert (con.active.alias, con.standby.alias) == ("b", "a")
    assert QUERY in simulated.commands_received("a")
    assert simulated.config_received("b") == ["no logging console"] + UNLOCK
    assert simulated.config_received("a") == []


@pytest.mark.parametrize("standby", ["a", "b"])
def test_standby_that_never_reaches_enable_fails_its_initialisation(sim, device_for, standby):
    active = other(standby)
    simulated = sim("dual", active=active, enable_password="en",
                    console_options={standby: {"enable_password": "other"}})
    device = device_for(simulated)
    with pytest.raises(ConnectionError, match="enable password rejected"):
        device.connect()
    con = device.default
    # Designation asked the line that reached enable, whichever console it was.
    assert (con.active.alias, con.standby.alias) == (active, standby)
    assert con._handles_designated
    assert QUERY in simulated.commands_received(active)
    assert QUERY not in simulated.commands_received(standby)
    # The active was initialised and the standby unlocked; then the standby's
    # enable failed, so it got no initial command and no mode was read.
    assert simulated.config_received(active) == ["no logging console"] + UNLOCK
    assert not set(INIT_EXEC) & set(simulated.commands_received(standby))
    assert "sh redundancy state" not in simulated.commands_received(active)
    assert [s.mode for s in con.subconnections] == [None, None]
    assert con.standby.state_machine.current_state == "disable"
    assert simulated.console_pids() == []


def test_report_without_redundancy_state_line_fails(sim, device_for):
    simulated = sim("dual", report_redundancy_state=False)
    device = device_for(simulated)
    with pytest.raises(ConnectionError, match="unable to determine redundancy mode"):
        device.connect()
    con = device.default
    assert con._handles_designated and con.active.alias == "a"
    assert simulated.commands_received("a")[-1] == "sh redundancy state"
    assert [s.mode for s in con.subconnections] == [None, None]
    assert simulated.console_pids() == []


def test_broker_disconnect_ends_both_console_processes(sim, device_for):
    simulated = sim("dual")
    device = device_for(simulated)
    device.connect()
    pids = [s.spawn.pid for s in device.default.subconnections]
    assert sorted(simulated.console_pids()) == sorted(pids)
    device.default.link_broker.disconnect()
    assert all(pid_gone(pid) for pid in pids) and simulated.console_pids() == []
