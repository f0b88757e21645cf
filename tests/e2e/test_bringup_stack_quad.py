"""Stack and quad bring-ups through the compiled link brokers against the simulator."""
import logging

import pytest

from quorvi.core.errors import ConnectionError

from .conftest import INIT, INIT_EXEC, UNLOCK, messages, pid_gone

MODE = "Stateful Switchover"


def console_pids(con):
    return [s.spawn.pid for s in con.subconnections]


@pytest.mark.parametrize("members, active, standby", [
    (3, 2, 3),  # Active is not the first console, Standby not the second
    (3, 3, 1),  # Standby listed before Active
    (4, 4, 2),
])
def test_stack_designates_members_named_by_show_switch(sim, device_for, caplog,
                                                       members, active, standby):
    simulated = sim("stack", members=members, active=active, standby=standby)
    device = device_for(simulated)
    caplog.set_level(logging.INFO, logger="quorvi")
    device.connect()
    con = device.default
    act, sby = "m%d" % active, "m%d" % standby
    assert (con.active.alias, con.standby.alias) == (act, sby) and con._handles_designated
    assert (con.active.state_machine.current_state, con.standby.state_machine.current_state) == \
        ("enable", "enable")
    assert [s.mode for s in con.subconnections] == [MODE] * members
    # One probe, on the first line at a known prompt.
    probed = [c for c in simulated.consoles if "show switch" in simulated.commands_received(c)]
    assert probed == ["m1"]
    assert simulated.commands_received(act)[-len(INIT) - 1:] == INIT + ["sh redundancy state"]
    assert simulated.commands_received(sby)[-len(INIT_EXEC):] == INIT_EXEC
    for console in set(simulated.consoles) - {act, sby}:
        assert not set(INIT) & set(simulated.commands_received(console))
    # A stack has no standby to unlock.
    assert simulated.config_received() == ["no logging console"]
    assert not simulated.standby_unlocked
    assert "+++ designating handles +++" in messages(caplog)

    pids = console_pids(con)
    con.link_broker.disconnect()
    assert all(pid_gone(pid) for pid in pids) and simulated.console_pids() == []


def test_stack_with_mit_stops_before_designation(sim, device_for, caplog):
    simulated = sim("stack", members=3, active=2, standby=3)
    device = device_for(simulated)
    caplog.set_level(logging.INFO, logger="quorvi")
    device.connect(mit=True)
    con = device.default
    assert not con._handles_designated and con.active is None
    assert all(simulated.commands_received(c) == [] for c in simulated.consoles)
    assert "+++ designating handles +++" not in messages(caplog)
    with pytest.raises(ConnectionError, match="no active handle .* made with mit=True"):
        device.execute("show version")
    assert [m for m in messages(caplog) if m.startswith("+++ connection to")] == \
        ["+++ connection to %s +++" % s.spawn for s in con.subconnections]


@pytest.mark.parametrize("active_member, silent, roles", [
    (2, ["m1b", "m2b"], {"active": "m2a", "standby": "m1a",
                         "active_ics": "m2b", "standby_ics": "m1b"}),
    (1, ["m1a", "m2b"], {"active": "m1b", "standby": "m2a",
                         "active_ics": "m1a", "standby_ics": "m2b"}),
])
@pytest.mark.slow
def test_quad_designates_four_handles(sim, device_for, active_member, silent, roles):
    simulated = sim("quad", active_member=active_member, silent=silent, hostname="edge-7")
    device = device_for(simulated, hostname="placeholder", learn_hostname=True)
    device.connect()
    con = device.default
    assert con.roles == roles and con._handles_designated
    states = {s.alias: s.state_machine.current_state for s in con.subconnections}
    assert states == {alias: "rpr" if alias in silent else "enable" for alias in states}
    assert [s.mode for s in con.subconnections] == [MODE] * 4
    assert [s.learned_hostname for s in con.subconnections] == ["edge-7"] * 4
    assert simulated.config_received(roles["active"]) == ["no logging console"] + UNLOCK
    assert simulated.commands_received(roles["standby"])[-len(INIT_EXEC):] == INIT_EXEC
    assert simulated.standby_unlocked

    pids = console_pids(con)
    assert sorted(simulated.console_pids()) == sorted(pids)
    con.link_broker.disconnect()
    assert all(pid_gone(pid) for pid in pids) and simulated.console_pids() == []


@pytest.mark.slow
def test_quad_with_every_console_silent_fails(sim, device_for):
    simulated = sim("quad", silent=["m1a", "m1b", "m2a", "m2b"])
    device = device_for(simulated)
    with pytest.raises(ConnectionError, match="Failed to identify active rp and standby rp"):
        device.connect()
    con = device.default
    assert [s.state_machine.current_state for s in con.subconnections] == ["rpr"] * 4
    assert not con._handles_designated
    assert (con.active, con.standby, con.roles["standby_ics"]) == (None, None, "m2b")
    assert simulated.console_pids() == []
