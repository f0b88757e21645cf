"""execute on a connected device: an answer belongs to its own command only."""
import signal

import pytest

from quorvi.core.errors import ConnectionError, TimeoutError

PROCESSOR = "Processor board ID QRV1A2B3C4D"


def interrupt_after(seconds):
    """Ctrl-C after `seconds`, as a user's would arrive; returns the undo."""
    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)

    def undo():
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return undo


# "show running-config" answers `late` seconds late; the first wait for it
# ends early, the next command is given `limit` seconds.
@pytest.mark.parametrize("ending, late, limit, caught_up", [
    ("timeout", 0.6, 5, True),
    ("interrupt", 0.6, 5, True),
    ("timeout", 2.0, 0.3, False),  # still out: the next command fails, the one after works
])
def test_an_answer_given_up_on_never_becomes_another_commands_answer(sim, device_for, ending,
                                                                     late, limit, caught_up):
    simulated = sim(misbehave={"a": {"slow": {"show running-config": late}}})
    device = device_for(simulated)
    device.connect()
    if ending == "timeout":
        with pytest.raises(TimeoutError, match=r"R1/a: .*'show running-config'"):
            device.execute("show running-config", timeout=0.1)
    else:
        undo = interrupt_after(0.1)
        try:
            with pytest.raises(KeyboardInterrupt):
                device.execute("show running-config")
        finally:
            undo()
    if not caught_up:
        with pytest.raises(ConnectionError, match=r"R1/a: the line is out of step: the answer to"
                                                  r" 'show running-config'"):
            device.execute("show version | include Processor", timeout=limit)
        limit = 5
    assert device.execute("show version | include Processor", timeout=limit) == PROCESSOR
    assert device.execute("show version").startswith("Orbix Software")


@pytest.mark.parametrize("command", ["show version\nshow running-config", "show version\r"])
def test_a_command_with_a_line_break_is_refused_before_anything_is_sent(sim, device_for, command):
    simulated = sim()
    device = device_for(simulated)
    device.connect()
    received = simulated.commands_received("a")
    with pytest.raises(ValueError, match=r"R1/a: .*line break"):
        device.execute(command)
    assert simulated.commands_received("a") == received
    assert device.execute("show version | include Processor") == PROCESSOR


def test_a_line_closing_during_execute_is_a_connection_error_with_its_last_words(sim, device_for):
    simulated = sim(misbehave={"a": {"close_after": "show version", "close_midway": True}})
    device = device_for(simulated)
    device.connect()
    with pytest.raises(ConnectionError) as info:
        device.execute("show version")
    message = str(info.value)
    assert message.startswith("R1/a: the line closed after")
    assert "'show version'" in message and "exited with status 0" in message
    assert "Orbix Software" in message  # the half answer it gave
    assert "(?:" not in message  # no prompt regexes
