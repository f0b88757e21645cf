"""execute(command, reply=...): a command's questions answered as they show, on
a single RP and through a multi-RP connection's `target`."""
import logging
import time

import pytest

from quorvi.core.errors import CommandError
from quorvi.dialogs import Dialog, End, Reply

from tests.timing import allowed

PROCESSOR = "Processor board ID QRV1A2B3C4D"
LOGIN = {"username": "ops", "password": "scp-s3cret-9"}
# (profile, execute keywords): the single RP, and the standby of a dual.
LINES = [("single", {}), ("dual", {"target": "standby"})]
FILENAME = r"Delete filename \[[^\]]*\]\? $"
CONFIRM = r"\[confirm\]$"


@pytest.fixture(params=LINES, ids=[p for p, _ in LINES])
def line(request, sim, device_for):
    """(execute on the connected device's line, the simulated device)."""
    profile, target = request.param
    simulated = sim(profile, login=LOGIN, boot_time=0.5)
    device = device_for(simulated)
    device.connect()
    return (lambda command, **kw: device.default.execute(command, **target, **kw)), simulated


def test_mapping_replies_answer_each_question_as_it_shows(line):
    execute, _ = line
    cases = [
        ("copy running-config startup-config", {r"Destination filename \[.*\]\? $": ""},
         "Building configuration...\n[OK]"),
        ("copy running-config startup-config", {r"Destination filename": "backup.cfg"},
         "bytes copied to flash:backup.cfg"),
        ("delete flash:old.cfg", {FILENAME: "new.cfg", CONFIRM: ""}, "Deleted flash:new.cfg"),
        ("clear counters", {CONFIRM: "n"}, "% Command aborted"),
    ]
    for command, reply, ending in cases:
        output = execute(command, reply=reply)
        assert output.endswith(ending), (command, output)
    assert execute("show version | include Processor") == PROCESSOR


@pytest.mark.parametrize("reply, question, hint", [
    ({FILENAME: ""}, "Delete flash:old.cfg? [confirm]", "add a reply for it"),
    ({r"\?": ""}, "Delete flash:old.cfg? [confirm]", "give that reply repeat=True"),
    ({}, "Delete filename [old.cfg]?", "add a reply for it"),
])
def test_an_unanswered_question_fails_fast_quoting_it_and_the_line_works_after(
        line, reply, question, hint):
    execute, simulated = line
    began = time.monotonic()
    with pytest.raises(CommandError) as info:
        execute("delete flash:old.cfg", reply=reply)
    assert time.monotonic() - began < allowed(1.5)  # not the 5 s time limit
    message = str(info.value)
    assert message.startswith("R1/")
    assert "'delete flash:old.cfg' asked %r" % question in message
    assert info.value.question == question
    assert "the line is back at its prompt" in message and hint in message
    assert execute("show version | include Processor") == PROCESSOR
    # Cancelled, not confirmed: the file stays.
    assert "Deleted" not in info.value.output


def test_a_dialog_with_repeat_credential_and_required_replies(line, caplog):
    execute, _ = line
    assert execute("delete flash:old.cfg", reply=Dialog([Reply(r"\?", repeat=True)])) \
        .endswith("Deleted flash:old.cfg")
    caplog.set_level(logging.DEBUG)
    output = execute("copy running-config scp:",
                     reply=Dialog([Reply(r"Password: $", credential="default")]))
    assert output.endswith("bytes copied")
    assert "send '********'" in caplog.text
    assert LOGIN["password"] not in caplog.text
    with pytest.raises(CommandError, match=r"'clear counters' ended without asking \"Really\\\?\""):
        execute("clear counters", reply=Dialog([Reply(CONFIRM), Reply(r"Really\?",
                                                                      optional=False)]))


def test_end_leaves_a_command_that_leaves_the_prompt_and_the_next_finds_it(line):
    execute, simulated = line
    began = time.monotonic()
    output = execute("reload", reply=Dialog([Reply(r"Save\? \[yes/no\]: $", send="no"),
                                             Reply(r"Proceed with reload\? \[confirm\]$"),
                                             End(r"System Bootstrap")]))
    assert output.endswith("System Bootstrap")
    assert time.monotonic() - began < allowed(1.0)  # before the 0.5 s boot is over
    assert "Last reload reason: Reload Command" in execute("show version")
