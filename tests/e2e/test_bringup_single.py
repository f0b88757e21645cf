"""Single-RP bring-up through the compiled link broker against the simulator."""
import logging
import time

import pytest

from quorvi.core.errors import ConnectionError, TimeoutError
from timing import allowed

from .conftest import FAST, INIT, messages, pid_gone


@pytest.mark.parametrize("password", [None, "s3cret"])
def test_connect_reaches_enable_and_runs_initial_commands(sim, device_for, caplog, password):
    simulated = sim(enable_password=password)
    device = device_for(simulated)
    caplog.set_level(logging.INFO, logger="quorvi")
    device.connect()
    con = device.default
    assert con.state_machine.current_state == "enable"
    # The password is read without echo, so the device records only the commands.
    assert simulated.commands_received("a") == ["enable"] + INIT
    assert simulated.config_received("a") == ["no logging console"]
    assert messages(caplog)[:2] == ["connection to R1", "+++ initializing handle +++"]
    assert con.spawn.is_alive() and simulated.console_pids() == [con.spawn.pid]


def test_wrong_enable_password_fails_and_leaves_no_process(sim, device_for):
    simulated = sim(enable_password="s3cret")
    device = device_for(simulated)
    with pytest.raises(ConnectionError, match="enable password rejected"):
        device.connect(enable_password="wrong")
    received = simulated.commands_received("a")
    assert received[0] == "enable" and not set(INIT) & set(received)
    assert pid_gone(device.default.spawn.pid) and simulated.console_pids() == []


@pytest.mark.parametrize("os_name, platform", [("orbix", "ox20"), ("tessel", "ts5k")])
def test_learns_os_and_reconnects_through_its_class(sim, device_for, caplog, os_name, platform):
    simulated = sim(os=os_name, platform=platform)
    device = device_for(simulated, os="generic", platform=None, learn_os=True, learn_hostname=True)
    caplog.set_level(logging.INFO, logger="quorvi")
    device.connect()
    con = device.default
    assert (device.os, device.platform) == (os_name, platform)
    assert con.os == os_name and type(con).os == os_name
    assert con.learned_hostname == "R1" and con.state_machine.current_state == "enable"
    assert "Learning device R1 os" in messages(caplog)
    assert ("\nLearned device os: %s\nLearned device platform: %s\nRedirect to corresponding "
            "plugins." % (os_name, platform)) in messages(caplog)
    # The generic connection's line was closed; the learned class's line runs.
    assert simulated.console_pids() == [con.spawn.pid]
    received = simulated.commands_received("a")
    assert received[0] == "show version" and received[-len(INIT):] == INIT


def test_learns_hostname_and_uses_it_for_the_prompts(sim, device_for, caplog):
    simulated = sim(hostname="edge-7")
    device = device_for(simulated, hostname="placeholder", learn_hostname=True)
    caplog.set_level(logging.INFO, logger="quorvi")
    device.connect()
    con = device.default
    assert con.learned_hostname == "edge-7"
    assert "Learned hostname(s): 'edge-7'." in messages(caplog, logging.INFO)
    assert messages(caplog, logging.WARNING) == []
    assert con.state_machine.current_state == "enable"
    assert simulated.commands_received("a") == ["enable"] + INIT


@pytest.mark.parametrize("device_hostname, expected, mismatch", [
    ("R1", "R9", True),
    ("R1", "R1", False),
    ("core-R1", "R1", False),  # the expected name is contained in the prompt's
])
def test_passive_hostname_check(sim, device_for, caplog, device_hostname, expected, mismatch):
    simulated = sim(hostname=device_hostname)
    device = device_for(simulated, hostname=expected)
    caplog.set_level(logging.INFO, logger="quorvi")
    device.connect(mit=True)  # stop once the line is at a known prompt
    con = device.default
    warning = "Invalid hostname detected: found %s, expected %s" % (device_hostname, expected)
    assert messages(caplog, logging.WARNING) == ([warning] if mismatch else [])
    assert con.spawn.hostname_mismatch is mismatch
    assert con.learned_hostname is None


def test_hostname_mismatch_ends_in_timeout_with_a_hint(sim, device_for, caplog):
    # The limit must cover the console's start, which takes over a second on
    # a loaded machine under the sanitizer build; the prompt has to be seen.
    device = device_for(sim(), hostname="R9", settings=dict(FAST, CONNECTION_TIMEOUT=3))
    with pytest.raises(TimeoutError, match="hostname differs"):
        device.connect()
    assert device.default.spawn.hostname_mismatch
    assert "Invalid hostname detected: found R1, expected R9" in messages(caplog, logging.WARNING)


@pytest.mark.parametrize("limit", [0.5, 1.5])
def test_silent_console_times_out_within_its_limit_and_leaves_no_process(sim, device_for, limit):
    simulated = sim(console_options={"a": {"silent": True}})
    device = device_for(simulated, settings=dict(FAST, CONNECTION_TIMEOUT=limit))
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="no prompt"):
        device.connect()
    elapsed = time.monotonic() - started
    assert limit <= elapsed < limit + allowed(1.0)
    assert pid_gone(device.default.spawn.pid) and simulated.console_pids() == []


def test_mit_stops_at_the_known_state(sim, device_for, caplog):
    simulated = sim(enable_password="s3cret")
    device = device_for(simulated)
    caplog.set_level(logging.INFO, logger="quorvi")
    device.connect(mit=True)
    assert device.default.state_machine.current_state == "disable"
    assert simulated.commands_received("a") == [] and simulated.config_received("a") == []
    assert "+++ initializing handle +++" not in messages(caplog)


def test_broker_disconnect_ends_the_console_process(sim, device_for):
    simulated = sim()
    device = device_for(simulated)
    device.connect()
    con = device.default
    pid = con.spawn.pid
    assert simulated.console_pids() == [pid]
    con.link_broker.disconnect()
    assert pid_gone(pid) and simulated.console_pids() == []
