"""The state machine moving real console lines of the simulator."""
import time

import pytest

from quorvi.core.errors import ConnectionError, TimeoutError
from quorvi.settings import DEFAULT_LEARNED_HOSTNAME, Settings
from quorvi.spawn import Spawn
from quorvi.statemachine import StateMachine
from timing import allowed

from .conftest import FAST


def machine(hostname="R1"):
    return StateMachine(hostname, Settings(FAST))


def test_go_to_any_finds_the_disable_prompt_and_enable_gets_there(sim):
    line = sim.spawn(sim(), "a")
    sm = machine()
    assert sm.go_to("any", line, timeout=5) == "disable"
    assert sm.current_state == "disable"
    assert sm.go_to("enable", line, timeout=5) == "enable"
    assert sm.go_to("config", line, timeout=5) == "config"
    assert sm.go_to("disable", line, timeout=5) == "disable"


@pytest.mark.parametrize("password, answer, reached", [
    ("s3cret", "s3cret", "enable"),
    ("s3cret", "wrong", None),
    ("s3cret", None, None),
])
def test_enable_password_is_answered_from_the_context(sim, password, answer, reached):
    device = sim(enable_password=password)
    line = sim.spawn(device, "a")
    sm = machine()
    context = {} if answer is None else {"enable_password": answer}
    if reached:
        assert sm.go_to("enable", line, context=context, timeout=5) == reached
    else:
        with pytest.raises(ConnectionError):
            sm.go_to("enable", line, context=context, timeout=5)
        assert sm.current_state == "disable"
    assert device.commands_received("a")[0] == "enable"


LOGIN = {"username": "admin", "password": "pw1"}
GOOD = {"username": "admin", "password": "pw1"}
BAD = {"username": "admin", "password": "nope"}


@pytest.mark.parametrize("typed_ahead", [False, True], ids=["", "typed-ahead"])
@pytest.mark.parametrize("cred_list, ok", [
    (["good"], True),
    (["bad", "good"], True),  # rejected first, the next credential is tried
    (["bad"], False),
])
def test_login_dialog_tries_credentials_in_order(sim, cred_list, ok, typed_ahead):
    line = sim.spawn(sim(login=LOGIN), "a")
    if typed_ahead:
        # What a nudge does when the console starts later than the nudge
        # interval: the console drops it instead of taking it as the user name.
        line.sendline()
    sm = machine()
    context = {"credentials": {"good": GOOD, "bad": BAD}, "cred_list": cred_list}
    if ok:
        assert sm.go_to("any", line, context=context, timeout=5) == "disable"
    else:
        with pytest.raises(ConnectionError, match="rejected"):
            sm.go_to("any", line, context=context, timeout=5)


@pytest.mark.parametrize("profile, console, options", [
    ("single", "a", {}),
    ("dual", "b", {"active": "a"}),  # standby prompt "R7-stby>"
])
def test_hostname_learning_reports_hostname_without_standby_suffix(sim, profile, console, options):
    line = sim.spawn(sim(profile, hostname="R7", **options), console)
    sm = machine(hostname="wrong")
    sm.learn_hostname = True
    sm.learn_pattern = DEFAULT_LEARNED_HOSTNAME
    assert sm.go_to("any", line, timeout=5) == "disable"
    assert sm.seen_hostname(line) == "R7"


def test_wrong_hostname_times_out_within_limit(sim):
    line = sim.spawn(sim(), "a")
    sm = machine(hostname="R2")
    started = time.monotonic()
    with pytest.raises(TimeoutError):
        sm.go_to("any", line, timeout=1)
    assert time.monotonic() - started < allowed(2)


def test_silent_console_times_out_within_limit_after_nudging(sim):
    device = sim("quad")
    line = sim.spawn(device, "m1b")
    sm = machine()
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="no prompt"):
        sm.go_to("any", line, timeout=1)
    assert 1 <= time.monotonic() - started < 1 + allowed(1)
    assert line.is_alive()


def test_standby_console_refuses_config_mode(sim):
    line = sim.spawn(sim("dual", active="a"), "b")
    sm = machine()
    sm.go_to("enable", line, timeout=5)
    with pytest.raises(ConnectionError, match="did not move"):
        sm.go_to("config", line, timeout=5)
    assert sm.current_state == "enable"


def test_learn_os_state_matches_an_unknown_prompt(sim):
    line = sim.spawn(sim(hostname="core-sw"), "a")
    sm = machine(hostname="somebody-else")
    sm.learn_os_state()
    assert sm.go_to("any", line, timeout=5) == "learn_os"


def test_no_nudge_goes_out_while_the_device_takes_in_an_answer(tmp_path):
    # A device slow to ask for the password after the user name: an empty line
    # sent meanwhile would be read as the password.
    said = tmp_path / "said"
    script = ('printf "Username: "; read u; sleep 0.5; stty -echo; printf "Password: "; read p; '
              'stty echo; echo "$u/$p" > %s; printf "\\r\\nR1>"; read x' % said)
    line = Spawn("/bin/sh -c '%s'" % script, name="slow-login")
    try:
        sm = StateMachine("R1", Settings(dict(FAST, PROMPT_NUDGE_INTERVAL=0.05)))
        context = {"credentials": {"good": GOOD}, "cred_list": ["good"]}
        assert sm.go_to("any", line, context=context, timeout=5) == "disable"
        assert said.read_text() == "admin/pw1\n"
    finally:
        line.close()


def test_prompt_shown_before_a_line_was_sent_does_not_answer_it(sim):
    # The quad's answer test leaves the first prompt in the buffer and sends an
    # empty line; a slow device answers it after the next move has begun (and
    # after the 50 ms of quiet that sync waits for on a line it cannot trust).
    device = sim(response_delay=0.12)
    line = sim.spawn(device, "a")
    line.expect(r"R1>\s*$", timeout=5, trim_buffer=False)
    line.sendline()
    sm = machine()
    assert sm.go_to("any", line, timeout=5) == "disable"  # the prompt already shown
    assert sm.go_to("enable", line, timeout=5) == "enable"
    line.sendline("show version")
    assert "Version 7.2.1" in sm.expect_prompt(line, 5).match_output
    assert device.commands_received("a") == ["enable", "show version"]


def test_a_lost_return_at_a_press_return_greeting_is_followed_by_nudges(tmp_path):
    """A Return answering "Press RETURN" may be lost (telnet flushes what was
    typed while it sets its terminal up): the line is nudged again."""
    from quorvi.transports import Line, console_dialog

    script = tmp_path / "greeting.sh"
    script.write_text("stty -echo; printf 'Press RETURN to get started\\r\\n'; read lost; "
                      "read woken; printf 'R1>'; read rest\n")
    line = Spawn("sh %s" % script, name="R1/a")
    line.connect_dialog = list(console_dialog(Line("a", "console", "127.0.0.1:1")))
    try:
        assert machine().go_to("any", line, timeout=5) == "disable"
    finally:
        line.close()
