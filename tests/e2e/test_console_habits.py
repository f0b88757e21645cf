"""Habits of real consoles, on every chassis kind: escape sequences and NUL
padding around prompts and answers, a pager in the middle of an answer,
prompt-like text inside an answer, console log messages between commands,
and a device renamed through its configuration."""
import logging
import shutil
import time

import pytest

from quorvi.core.errors import TimeoutError
from quorvi.device import Device
from quorvi.sim.habits import COMMANDS, LOG_MESSAGE

from .conftest import FAST, messages

KINDS = {"single": {}, "dual": {"active": "b"}, "stack": {"active": 2, "standby": 3},
         "quad": {"active_member": 2}}
LONG = "\n".join(COMMANDS["show long"])
CLOCK = COMMANDS["show clock"][0]


def connected(sim, device_for, kind, habits, **connect):
    simulated = sim(kind, hostname="R9", habits=habits, **KINDS[kind])
    device = device_for(simulated)
    device.connect(**connect)
    return simulated, device


def lines_of(con):
    return getattr(con, "subconnections", [con])


@pytest.mark.parametrize("kind", KINDS)
def test_escape_sequences_and_padding_are_no_part_of_prompts_hostnames_or_answers(
        sim, device_for, kind):
    _, device = connected(sim, device_for, kind, {"prompt_redraw": True, "line_padding": True},
                          learn_hostname=True)
    con = device.default
    assert con.learned_hostname == "R9"
    assert con.execute("show clock") == CLOCK
    version = con.execute("show version")
    assert "R9 uptime is" in version and not set(version) & {"\x1b", "\x00", "\r"}


@pytest.mark.parametrize("kind", KINDS)
def test_a_pager_in_the_middle_of_an_answer_is_paged_through(sim, device_for, kind):
    simulated, device = connected(sim, device_for, kind, {"pager_ignores_length": True,
                                                          "prompt_redraw": True})
    assert device.execute("show long") == LONG
    # The next answer is its own: no page key and no pager text left behind.
    assert device.execute("show clock") == CLOCK
    active = device.default.active.alias if kind != "single" else "a"
    assert simulated.commands_received(active)[-2:] == ["show long", "show clock"]


@pytest.mark.parametrize("kind", KINDS)
def test_an_answer_cut_at_prompt_like_text_is_reported_and_the_next_stays_in_step(
        sim, device_for, kind, caplog):
    _, device = connected(sim, device_for, kind, {"prompt_in_output": "show long"})
    con = device.default
    caplog.set_level(logging.WARNING, logger="quorvi")
    cut = con.execute("show long")
    assert LONG.startswith(cut) and cut != LONG
    # The rest arrives before the next command's echo: kept out of its answer.
    assert con.execute("show clock") == CLOCK
    assert len(con.cut_answers) == 1 and "'show long' was cut" in con.cut_answers[0]
    assert [m for m in messages(caplog, logging.WARNING) if "'show long' was cut" in m]
    assert "line 60 of a long answer" in con.unsolicited_output[-1]
    # Waiting for quiet after the prompt takes the whole answer, prompt-like line included.
    whole = con.execute("show long", quiet=0.5)
    assert whole.replace("R9#", "").replace("\n\n", "\n") == LONG and "R9#" in whole
    assert len(con.cut_answers) == 1


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("pause", [False, True], ids=["at-once", "after-a-pause"])
def test_a_console_log_message_between_commands_is_kept_out_of_the_next_answer(
        sim, device_for, kind, pause, caplog):
    _, device = connected(sim, device_for, kind, {"console_logging": "show clock"})
    con = device.default
    caplog.set_level(logging.WARNING, logger="quorvi")
    assert con.execute("show clock") == CLOCK
    if pause:  # a script doing something else: the message came before the next command
        line = con.spawn
        deadline = time.monotonic() + 2
        while LOG_MESSAGE not in line.buffer and time.monotonic() < deadline:
            line.read_pending(0.1)
    assert con.execute("show version").startswith("Orbix Software, Version")
    assert [text for text in con.unsolicited_output if LOG_MESSAGE in text]
    assert con.cut_answers == [] and not messages(caplog, logging.WARNING)


@pytest.mark.parametrize("kind", KINDS)
def test_a_device_renamed_through_configure_is_followed_on_every_line(sim, device_for, kind):
    simulated, device = connected(sim, device_for, kind, {"hostname_command": True})
    con = device.default
    began = time.monotonic()
    con.configure(["hostname R10"])
    assert time.monotonic() - began < FAST["EXEC_TIMEOUT"] / 2
    assert con.learned_hostname == "R10"
    assert "R10 uptime is" in con.execute("show version")
    for line in lines_of(con):
        if not line.state_machine.prompt_seen:
            continue  # a silent RP shows no prompt at all
        assert line.learned_hostname == "R10"
        if kind != "single":
            assert "R10 uptime is" in con.execute("show version", target=line.alias)
    # Renamed through execute in configuration mode, and back.
    assert con.execute("configure terminal", allow_state_change=True) == ""
    con.execute("hostname R9", allow_state_change=True)
    con.execute("end", allow_state_change=True)
    assert con.learned_hostname == "R9"
    assert "R9 uptime is" in con.execute("show version")


def test_a_prompt_change_quorvi_cannot_know_ends_early_with_the_hostname_hint(sim, device_for):
    _, device = connected(sim, device_for, "single", {"hostname_command": True})
    con = device.default
    con.state_machine.HOSTNAME_COMMAND = None  # a renaming command this plug-in does not know
    con.execute("configure terminal", allow_state_change=True)
    began = time.monotonic()
    with pytest.raises(TimeoutError) as caught:
        con.execute("hostname R10", allow_state_change=True)
    assert time.monotonic() - began < FAST["EXEC_TIMEOUT"] / 2
    assert "hostname 'R10' is not the expected 'R9'" in str(caught.value)


@pytest.mark.skipif(shutil.which("telnet") is None, reason="Debian package telnet "
                    "(inetutils-telnet) is not installed: run scripts/install-deps.sh")
@pytest.mark.parametrize("kind", ["single", "dual"])
def test_the_served_lab_has_the_habits_too(served_lab, kind):
    habits = {"prompt_redraw": True, "line_padding": True, "pager_ignores_length": True,
              "prompt_in_output": "show running-config", "hostname_command": True}
    lab = served_lab({"devices": {"R9": dict(KINDS[kind], kind=kind, habits=habits)}})
    device = Device(**lab.device_kwargs("R9", settings=FAST))
    try:
        device.connect()
        assert device.execute("show long") == LONG
        device.configure(["hostname R10"])
        assert device.default.learned_hostname == "R10"
        config = device.execute("show running-config", quiet=0.5)
        assert "hostname R10" in config and config.rstrip().endswith("end")
        assert device.execute("show clock") == CLOCK
    finally:
        device.destroy()
