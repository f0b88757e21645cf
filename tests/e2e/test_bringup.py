"""Full bring-up through the compiled link brokers against simulated devices.

Each test runs once the broker of its chassis kind implements its operations;
until then it is skipped.
"""
import pytest

from quorvi.core.errors import ConnectionError, TimeoutError
from quorvi.registry import load_plugins, registry

from .conftest import FAST


def broker_ready(chassis_type, operation):
    load_plugins()
    broker = registry.get_plugin(os="orbix", chassis_type=chassis_type).link_broker_class
    return operation in vars(broker)


needs_single = pytest.mark.skipif(not broker_ready("single_rp", "connect"),
                                  reason="single-RP link broker not implemented yet")
needs_dual = pytest.mark.skipif(not broker_ready("dual_rp", "designate_handles"),
                                reason="dual-RP link broker not implemented yet")
needs_stack = pytest.mark.skipif(not broker_ready("stack", "designate_handles"),
                                 reason="stack link broker not implemented yet")
needs_quad = pytest.mark.skipif(not broker_ready("quad", "designate_handles"),
                                reason="quad link broker not implemented yet")

INIT = ["terminal length 0", "terminal width 0", "configure terminal", "no logging console", "end"]


@needs_single
def test_single_connect_reaches_enable_and_runs_initial_commands(sim, device_for):
    simulated = sim(enable_password="en")
    device = device_for(simulated)
    device.connect()
    assert device.default.state_machine.current_state == "enable"
    assert simulated.commands_received("a") == ["enable"] + INIT
    pid = device.default.spawn.pid
    device.default.disconnect()
    assert simulated.console_pids() == [] and pid not in simulated.console_pids()


@needs_single
@pytest.mark.parametrize("os_name, platform", [("orbix", "ox20"), ("tessel", "ts5k")])
def test_single_learns_os_and_reconnects_through_its_class(sim, device_for, os_name, platform):
    simulated = sim(os=os_name, platform=platform)
    device = device_for(simulated, os="generic", platform=None, learn_os=True, learn_hostname=True)
    device.connect()
    assert (device.os, device.platform) == (os_name, platform)
    assert device.default.os == os_name and type(device.default).os == os_name
    assert device.default.learned_hostname == "R1"
    assert simulated.commands_received("a")[0] == "show version"


@needs_single
def test_single_hostname_mismatch_flags_the_line_and_hints_in_timeout(sim, device_for):
    # The limit must cover the console's start, which takes over a second on
    # a loaded machine under the sanitizer build; the prompt has to be seen.
    device = device_for(sim(), hostname="R9", settings=dict(FAST, CONNECTION_TIMEOUT=3))
    with pytest.raises(TimeoutError, match="hostname"):
        device.connect()
    assert device.default.spawn.hostname_mismatch


@needs_dual
@pytest.mark.parametrize("active", ["a", "b"])
def test_dual_designates_active_and_standby_and_reads_mode(sim, device_for, active):
    simulated = sim("dual", active=active)
    device = device_for(simulated, learn_hostname=True)
    device.connect()
    con = device.default
    assert con.active.alias == active and con.standby.alias == ("b" if active == "a" else "a")
    assert [s.mode for s in con.subconnections] == ["Stateful Switchover"] * 2
    assert simulated.standby_unlocked
    assert con._handles_designated


@needs_dual
def test_dual_without_redundancy_state_line_fails(sim, device_for):
    device = device_for(sim("dual", report_redundancy_state=False))
    with pytest.raises(ConnectionError, match="unable to determine redundancy mode"):
        device.connect()


@needs_stack
def test_stack_designates_members_named_by_show_switch(sim, device_for):
    device = device_for(sim("stack", members=3, active=2, standby=3))
    device.connect()
    con = device.default
    assert (con.active.alias, con.standby.alias) == ("m2", "m3")
    assert con.active.mode == "Stateful Switchover"


@needs_quad
@pytest.mark.slow
def test_quad_designates_four_handles(sim, device_for):
    device = device_for(sim("quad", active_member=2))
    device.connect()
    assert device.default.roles == {"active": "m2a", "standby": "m1a",
                                    "active_ics": "m2b", "standby_ics": "m1b"}


@needs_quad
@pytest.mark.slow
def test_quad_with_every_console_silent_fails(sim, device_for):
    device = device_for(sim("quad", silent=["m1a", "m1b", "m2a", "m2b"]))
    with pytest.raises(ConnectionError, match="Failed to identify active rp and standby rp"):
        device.connect()
