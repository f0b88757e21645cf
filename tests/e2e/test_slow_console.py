"""Bring-up over slow and busy console lines of the served lab: a console
server across a slow link, a 9600-baud line, a console printing its boot log.
Every chassis kind comes up, warm as well as fresh, and the device receives
exactly what it receives over a fast line: no answer is taken out of step."""
import logging
import shutil
import time

import pytest

from quorvi.device import Device
from quorvi.sim.served import ServedLab
from timing import allowed

pytestmark = pytest.mark.skipif(not shutil.which("telnet"), reason="the telnet client is not "
                                "installed (scripts/install-deps.sh installs inetutils-telnet)")

KINDS = {"single": {}, "dual": {"active": "b"}, "stack": {"active": 2, "standby": 3},
         "quad": {"active_member": 2}}
SETTINGS = {"CONNECTION_TIMEOUT": 30, "EXEC_TIMEOUT": 30, "DETECT_RPR_TIMEOUT": 1.0}
LINES = {
    "fast": {},
    "slow-link": {"latency": 0.3},   # across a slow network: 0.6 s a round trip
    "9600-baud": {"rate": 960},
    "boot-log": {"boot_log": 3.0},   # the device boots as the client arrives
}


def bring_up(lab, name):
    """Connect, run a command, disconnect; what the user saw."""
    device = Device(**lab.device_kwargs(name, settings=SETTINGS))
    try:
        device.connect()
        return device.execute("show version"), dict(getattr(device.default, "roles", {}))
    finally:
        device.destroy()


@pytest.mark.parametrize("line", [
    pytest.param(line, marks=[pytest.mark.slow] if "latency" in options else [])
    for line, options in LINES.items() if line != "fast"])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_every_chassis_comes_up_over_a_slow_or_busy_line_in_step(kind, line):
    expected = {}
    for how in ("fast", line):
        lab_file = {"devices": {"R1": dict(KINDS[kind], kind=kind)}}
        with ServedLab(lab_file, link=LINES[how]) as lab:
            fresh = bring_up(lab, "R1")
            warm = bring_up(lab, "R1")  # the console is left at a prompt
            expected[how] = (fresh, warm, lab.state("R1")["commands"])
    (fresh, warm, commands), fast = expected[line], expected["fast"]
    assert "Orbix Software" in fresh[0] and fresh == warm == fast[0]
    # What each console received, command for command, as over a fast line.
    assert commands == fast[2]


@pytest.mark.parametrize("kind", ["single", "dual", "stack"])
def test_a_warm_console_gets_one_return_per_line_and_no_wait(kind, caplog):
    # The console server shows nothing to a new client: each line is nudged
    # at once, and the prompts seen then serve every later step.
    with ServedLab({"devices": {"R1": {"kind": kind}}}) as lab:
        bring_up(lab, "R1")
        caplog.set_level(logging.DEBUG, logger="quorvi")
        caplog.clear()
        began = time.monotonic()
        warm = bring_up(lab, "R1")
        elapsed = time.monotonic() - began
    nudges = [r for r in caplog.records if r.getMessage().endswith(": send ''")]
    # One Return per line, plus the empty lines the link broker sends itself
    # (after the first connection pass; a dual's wake-up pass and standby unlock).
    assert len(nudges) == {"single": 1, "dual": 2 + 2 + 2 + 1, "stack": 3 + 3}[kind]
    assert "Orbix Software" in warm[0]
    assert elapsed < allowed(1.0)  # a whole nudge interval per line before
