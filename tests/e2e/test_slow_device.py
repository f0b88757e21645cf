"""A device that answers more slowly than the framework nudges a silent-looking
line: every nudge brings a late prompt of its own, and no command may take
one of those for its answer."""
import logging

import pytest

from .conftest import FAST



def nudges_sent(caplog):
    return sum(1 for r in caplog.records if r.getMessage().endswith(": send ''"))


# Every answer of the slow device takes `delay`; a line quiet for `nudge` gets
# an empty line, so two or three of them pile up behind each slow answer.
@pytest.mark.parametrize("profile, options, delay, nudge", [
    ("single", {"prompt_recovery": True}, 0.3, 0.1),  # transitions nudge while they wait
    ("dual", {}, 0.2, 0.07),  # every wait for "any" prompt nudges
])
def test_slow_device_gets_the_same_conversation_as_a_fast_one(sim, device_for, caplog,
                                                              profile, options, delay, nudge):
    outputs = {}
    for response_delay in (0.0, delay):
        simulated = sim(profile, response_delay=response_delay)
        device = device_for(simulated, settings=dict(FAST, PROMPT_NUDGE_INTERVAL=nudge))
        caplog.clear()
        caplog.set_level(logging.DEBUG, logger="quorvi")
        device.connect(**options)
        outputs[response_delay] = (device.execute("show version"),
                          {c: simulated.commands_received(c) for c in simulated.consoles},
                          nudges_sent(caplog))
        device.destroy()
    fast_output, fast_commands, _ = outputs[0.0]
    slow_output, slow_commands, slow_nudges = outputs[delay]
    assert slow_nudges > 0, "the slow device was never nudged: nothing was proved"
    assert slow_output.startswith("Orbix Software, Version 7.2.1\n")
    assert slow_output == fast_output
    # No command repeated or lost: the slow device saw exactly what the fast one saw.
    assert slow_commands == fast_commands
    assert fast_commands[simulated.consoles[0]][-1] == "show version"
