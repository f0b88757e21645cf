"""How `show version` tells a line that restarted from one that kept running."""
import pytest

from quorvi.reloads import restarted, version_of


def shown(uptime, reason="Reload Command"):
    return "Orbix Software\r\nR1 uptime is %s\r\nLast reload reason: %s\r\n" % (uptime, reason)


@pytest.mark.parametrize("before, after, elapsed, expected", [
    # Uptime restarted: far below what it would be had the line kept running.
    (shown("3 days, 4 hours, 12 minutes", "power-on"), shown("2 seconds"), 3, True),
    (shown("9 seconds"), shown("2 seconds"), 3, True),
    # Same reason, uptime ran on: kept running.
    (shown("9 seconds"), shown("12 seconds"), 3, False),
    (shown("5 minutes"), shown("8 minutes"), 180, False),
    # A new reason is a restart whatever the uptime says.
    (shown("1 second"), shown("1 second", "Switchover"), 2, True),
    # A fresh uptime that a reboot within the readings could also show: undecided.
    (shown("1 second"), shown("1 second"), 2, None),
    (shown("0 minutes"), shown("2 minutes"), 180, None),
    ("no uptime here", "nor here", 2, None),
])
def test_restart_is_told_by_uptime_and_reason_within_their_precision(before, after, elapsed,
                                                                    expected):
    assert restarted(version_of(before), version_of(after), elapsed) is expected


def test_uptime_is_read_in_seconds_with_its_precision():
    assert version_of(shown("1 week, 2 days, 3 hours, 1 minute", "power-on")) == {
        "uptime": "1 week, 2 days, 3 hours, 1 minute", "seconds": 788460, "granularity": 60,
        "reason": "power-on"}
