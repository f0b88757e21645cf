"""Connections and devices against simulated devices, with a test-only link broker."""
import re
import time

import pytest

from quorvi.core.errors import CommandError, ConnectionError, TimeoutError
from quorvi.device import Device
from quorvi.registry import load_plugins, registry
from timing import allowed

from .conftest import pid_gone

MEMBER_LINE = re.compile(r"^(?P<current>\*)?(?P<sw_num>[0-9])\s+(?P<role>Member|Active|Standby)"
                         r"\s+(?P<mac>[\w\.]+)\s+\d+\s+\w+\s+(?P<state>[\S\s]+)$")


class LineUpBroker:
    """Test-only: brings every line to a known prompt, learning the hostname."""

    calls = []

    def __init__(self, connection):
        self.connection = connection
        LineUpBroker.calls.append(("init", connection))

    def _lines(self):
        con = self.connection
        return con.subconnections if hasattr(con, "subconnections") else [con]

    def connect(self):
        for line in self._lines():
            line.state_machine.learn_hostname = True
            line.state_machine.go_to("any", line.spawn, context=line.context,
                                     timeout=line.connection_timeout)
            line.state_machine.learn_hostname = False
            line.learned_hostname = line._get_learned_hostname(line.spawn)
        LineUpBroker.calls.append(("connect", self.connection))
        return "up"

    def disconnect(self):
        LineUpBroker.calls.append(("disconnect", self.connection))
        for line in self._lines():
            line.spawn.close()


@pytest.fixture
def test_broker(monkeypatch):
    """Every registered connection class uses LineUpBroker for this test."""
    load_plugins()
    LineUpBroker.calls = []
    for node in registry.plugins.values():
        for leaf in node.get("data", {}).values():
            monkeypatch.setattr(leaf["cls"], "link_broker_class", LineUpBroker)
    return LineUpBroker


def test_connect_builds_broker_after_the_line_and_returns_its_result(sim, device_for, test_broker):
    device = device_for(sim(enable_password="en"))
    assert device.connect(alias="cli", goto_enable=False) == "up"
    con = device.cli
    assert [c[0] for c in test_broker.calls] == ["init", "connect"]
    assert test_broker.calls[0][1] is con and con.link_broker.connection is con
    assert con.connected and con.spawn.is_alive()
    assert con.learned_hostname == "R1"
    pid = con.spawn.pid
    device.destroy()
    assert test_broker.calls[-1] == ("disconnect", con)
    assert pid_gone(pid) and not hasattr(device, "cli")


def test_execute_strips_echo_and_prompt_and_goes_to_enable(sim, device_for, test_broker):
    simulated = sim(enable_password="en")
    device = device_for(simulated)
    device.connect()
    output = device.execute("show version")
    assert output.splitlines()[0] == "Orbix Software, Version 7.2.1"
    assert "show version" not in output and "R1#" not in output and "\r" not in output
    assert device.default.state_machine.current_state == "enable"
    assert simulated.commands_received("a") == ["enable", "show version"]


def test_execute_error_line_raises_command_error_with_output(sim, device_for, test_broker):
    device = device_for(sim())
    device.connect()
    with pytest.raises(CommandError) as info:
        device.execute("show bogus")
    assert info.value.output.startswith("% Invalid input")
    assert device.execute("show bogus", error_pattern=[]).startswith("% Invalid input")


def test_execute_with_state_change_runs_where_the_line_is(sim, device_for, test_broker):
    simulated = sim()
    device = device_for(simulated)
    device.connect()
    assert "Orbix Software" in device.execute("show version", allow_state_change=True)
    assert device.default.state_machine.current_state == "disable"
    device.execute("enable", allow_state_change=True)
    assert device.default.state_machine.current_state == "enable"
    with pytest.raises(ConnectionError, match="left the enable prompt"):
        device.execute("configure terminal")


def test_configure_sends_one_block_the_device_records(sim, device_for, test_broker):
    simulated = sim()
    device = device_for(simulated)
    device.connect()
    lines = ["interface eth0", "description uplink", "exit", "ntp server 192.0.2.1"]
    device.configure(lines)
    assert simulated.config_received("a") == ["interface eth0", "description uplink",
                                              "ntp server 192.0.2.1"]
    assert simulated.commands_received("a")[-len(lines) - 2:] == \
        ["configure terminal"] + lines + ["end"]
    assert device.default.state_machine.current_state == "enable"
    device.configure("")  # nothing to send: the line is not touched
    assert simulated.commands_received("a")[-1] == "end"


def test_dual_standby_refuses_config_until_unlocked_through_active(sim, device_for, test_broker):
    simulated = sim("dual", active="b")
    device = device_for(simulated)
    device.connect()
    con = device.default
    assert [s.alias for s in con.subconnections] == ["a", "b"]
    con._set_active_alias("b")
    con._set_standby_alias("a")
    with pytest.raises(ConnectionError, match="did not move"):
        con.configure(["ntp server 192.0.2.1"], target="standby")
    assert "% Standby console disabled" in con.execute("configure terminal", target="a",
                                                       allow_state_change=True, error_pattern=[])
    con.configure(con.settings.HA_STANDBY_UNLOCK_COMMANDS)  # through the active line
    assert simulated.standby_unlocked
    con.configure(["ntp server 192.0.2.1"], target="standby")
    assert simulated.config_received("a") == ["ntp server 192.0.2.1"]


@pytest.mark.parametrize("active", ["a", "b"])
def test_dual_consoles_answer_redundancy_queries(sim, device_for, test_broker, active):
    device = device_for(sim("dual", active=active))
    device.connect()
    con = device.default
    answers = {a: con.execute("sh redundancy stat | inc my state", target=a) for a in "ab"}
    standby = "b" if active == "a" else "a"
    assert answers[active] == "       my state = 13 -ACTIVE"
    assert "active" not in answers[standby].lower() and "STANDBY HOT" in answers[standby]
    report = con.execute("show redundancy state", target=standby)
    assert re.search(r"[Rr]edundancy\s+[Ss]tate\s+=\s+(.*)", report).group(1).strip() == \
        "Stateful Switchover"


def test_redundancy_state_line_can_be_left_out(sim, device_for, test_broker):
    device = device_for(sim("dual", report_redundancy_state=False))
    device.connect()
    report = device.default.execute("sh redundancy state", target="a")
    assert "Redundancy Mode" in report
    assert not re.search(r"[Rr]edundancy\s+[Ss]tate\s+=\s+(.*)", report)


def test_stack_members_listed_in_member_line_format(sim, device_for, test_broker):
    simulated = sim("stack", members=4, active=3, standby=1)
    device = device_for(simulated)
    device.connect()
    con = device.default
    assert [(s.alias, s.member_id) for s in con.subconnections] == \
        [("m1", 1), ("m2", 2), ("m3", 3), ("m4", 4)]
    output = con.execute("show switch", target="m2")
    members = [MEMBER_LINE.search(line.strip()) for line in output.splitlines()]
    members = [m.groupdict() for m in members if m]
    assert [(m["sw_num"], m["role"], m["current"]) for m in members] == \
        [("1", "Standby", None), ("2", "Member", "*"), ("3", "Active", None), ("4", "Member", None)]
    assert all(m["state"] == "Ready" for m in members)
    assert "-----" in output


def test_quad_answering_consoles_work_and_silent_ones_stay_silent(sim, device_for):
    simulated = sim("quad", active_member=2)
    device = device_for(simulated)
    assert simulated.consoles == ["m1a", "m1b", "m2a", "m2b"]
    con = device.connection_class()(device)
    assert [s.member_id for s in con.subconnections] == [1, 1, 2, 2]
    for sub in con.subconnections:
        sub.open()
    try:
        for alias in ("m1a", "m2a"):
            sub = con.subconnection(alias)
            sub.state_machine.go_to("any", sub.spawn, timeout=5)
            roles = {m.group("sw_num"): m.group("role") for m in
                     map(MEMBER_LINE.search, map(str.strip, sub.execute("show switch").splitlines()))
                     if m}
            assert roles == {"1": "Standby", "2": "Active"}
        prompt = con.subconnection("m1a").state_machine.get_state("enable").pattern
        assert re.search(prompt, "\r\nR1-stby#")  # member 1 is the standby chassis
        for alias in ("m1b", "m2b"):
            spawn = con.subconnection(alias).spawn
            with pytest.raises(TimeoutError):
                spawn.expect(r".+", timeout=0.3, log_timeout=False)
    finally:
        con.disconnect()
    assert simulated.console_pids() == []


def test_connect_without_console_command_fails_clearly(test_broker):
    device = Device("R1", os="orbix", connections={"a": {}})
    with pytest.raises(ConnectionError, match="no console 'a'"):
        device.connect()


def test_response_delay_slows_every_answer(sim, device_for, test_broker):
    simulated = sim(response_delay=0.3)
    # The nudge interval stays above the delay so that no extra empty line is sent.
    device = device_for(simulated, settings={"CONNECTION_TIMEOUT": 5, "EXEC_TIMEOUT": 5,
                                             "PROMPT_NUDGE_INTERVAL": 1.0})
    device.connect()
    started = time.monotonic()
    assert device.execute("show version", allow_state_change=True).startswith("Orbix Software")
    assert 0.3 <= time.monotonic() - started < allowed(2)
