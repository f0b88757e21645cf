"""Spawn over a real pseudo-terminal."""
import time

import pytest

from quorvi.core.errors import ConnectionError, TimeoutError
from quorvi.spawn import Spawn
from timing import allowed

from .conftest import pid_gone


def test_expect_returns_text_up_to_match_and_consumes_it(sim):
    line = sim.spawn(sim(), "a")
    result = line.expect(r"R1>\s*$", timeout=5)
    assert "press RETURN" in result.match_output
    assert result.match_output.endswith("R1>")
    assert line.buffer == ""
    line.sendline("show version")
    result = line.expect([r"no such text", r"R1>\s*$"], timeout=5)
    assert result.index == 1
    assert result.match_output.startswith("show version\r\n")
    assert "Orbix Software, Version 7.2.1" in result.match_output


def test_expect_without_trim_leaves_buffer_and_buffer_can_be_dropped(sim):
    line = sim.spawn(sim(), "a")
    first = line.expect(r"R1>", timeout=5, trim_buffer=False)
    assert line.buffer.endswith("R1>")
    again = line.expect(r"R1>", timeout=0)
    assert again.match_output == first.match_output
    line.buffer = ""
    with pytest.raises(TimeoutError):
        line.expect(r"R1>", timeout=0.2, log_timeout=False)


def test_timeout_names_line_pattern_and_time_and_hints_hostname(sim):
    line = sim.spawn(sim(), "a")
    line.hostname_mismatch = True
    started = time.monotonic()
    with pytest.raises(TimeoutError) as info:
        line.expect(r"R9#", timeout=0.5)
    elapsed = time.monotonic() - started
    assert 0.5 <= elapsed < 0.5 + allowed(1)
    message = str(info.value)
    assert "R1/a" in message and "'R9#'" in message and "0.5s" in message
    assert "hostname" in message


def test_closed_line_raises_at_once_and_refuses_input():
    line = Spawn("/bin/echo bye", name="echo")
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="closed"):
        line.expect(r"never", timeout=5, log_timeout=False)
    assert time.monotonic() - started < allowed(2)
    assert "bye" in line.buffer
    line.close()
    with pytest.raises(ConnectionError):
        line.sendline("anything")


@pytest.mark.parametrize("console", ["a", "b"])
def test_close_ends_the_console_process(sim, console):
    device = sim("dual")
    line = sim.spawn(device, console)
    line.expect(r"[>#]\s*$", timeout=5)
    pid = line.pid
    assert not pid_gone(pid)
    line.close()
    assert pid_gone(pid)
    assert device.console_pids() == []
    line.close()  # closing twice is harmless


def test_silent_console_is_ended_by_close(sim):
    device = sim("quad")
    line = sim.spawn(device, "m1b")
    with pytest.raises(TimeoutError):
        line.expect(r".+", timeout=0.3, log_timeout=False)
    pid = line.pid
    line.close()
    assert pid_gone(pid)


def test_endless_output_keeps_buffer_bounded():
    line = Spawn("/usr/bin/yes flood", name="flood", max_buffer=10000)
    try:
        with pytest.raises(TimeoutError):
            line.expect(r"never", timeout=0.5, log_timeout=False)
        assert line.dropped > 0
        assert len(line.buffer) <= 10000
        assert "flood" in line.buffer[-20:]  # the newest text is kept
    finally:
        line.close()


def test_match_spanning_two_reads_is_found():
    # The pattern only completes after the second chunk arrives.
    line = Spawn("/bin/sh -c 'printf part-one; sleep 0.2; printf part-two'", name="sh")
    try:
        result = line.expect(r"one(part)-two", timeout=3)
        assert result.match.group(1) == "part"
    finally:
        line.close()


def test_a_hidden_secret_echoed_in_two_reads_stays_out_of_the_debug_log(caplog):
    line = Spawn("/bin/sh -c 'sleep 0.2; printf \"key s3c\"; sleep 0.2; printf \"r3t-x ok\"'",
                 name="sh")
    line.hide("s3cr3t-x")
    try:
        with caplog.at_level("DEBUG", logger="quorvi"):
            line.expect("ok", timeout=3)
        assert "s3c" not in caplog.text and "r3t" not in caplog.text
        assert "'******** ok'" in caplog.text
    finally:
        line.close()


def test_str_names_the_line_not_its_command():
    line = Spawn("/bin/cat", name="R1/a")
    try:
        assert str(line) == "R1/a"
    finally:
        line.close()


def test_line_is_the_controlling_terminal_of_a_session_of_its_own():
    probe = ("import fcntl, os, struct, termios; "
             "size = struct.unpack('HHHH', fcntl.ioctl(0, termios.TIOCGWINSZ, bytes(8)))[:2]; "
             "print('sid', os.getsid(0) == os.getpid(), 'fg', os.tcgetpgrp(0) == os.getpgrp(), "
             "'tty', open('/dev/tty').isatty(), 'size', *size)")
    line = Spawn('/usr/bin/python3 -c "%s"' % probe, name="probe", dimensions=(30, 200))
    try:
        assert "sid True fg True tty True size 30 200" in line.expect(r"size \d+ \d+", timeout=5).match_output
    finally:
        line.close()


def test_close_kills_a_process_that_ignores_the_hang_up():
    line = Spawn("/usr/bin/python3 -c \"import signal, time; signal.signal(signal.SIGHUP, "
                 "signal.SIG_IGN); print('ready', flush=True); time.sleep(60)\"", name="stubborn")
    line.expect("ready", timeout=5)
    pid, started = line.pid, time.monotonic()
    line.close()
    assert pid_gone(pid) and not line.is_alive()
    assert time.monotonic() - started < allowed(2)


def test_unknown_command_cannot_start_a_line():
    with pytest.raises(ConnectionError, match="cannot start line x"):
        Spawn("/nonexistent/console --port 1", name="x")


def test_matches_tell_how_many_sends_came_after_the_matched_text():
    line = Spawn("/bin/cat", name="cat")
    try:
        line.sendline("one")
        assert line.expect(r"one\r\n", timeout=5).sent_since == 0
        line.expect(r"one\r\n", timeout=5)  # cat's copy after the echo
        line.sendline("two")
        line.expect(r"two\r\ntwo\r\n", timeout=5, trim_buffer=False)
        line.sendline("three")
        line.sendline("four")
        assert line.expect(r"two", timeout=0).sent_since == 2  # shown before both sends
        # Read after both sends: nothing tells that it came before the second.
        assert line.expect(r"three", timeout=5).sent_since == 0
        assert line.sends == 4
    finally:
        line.close()
