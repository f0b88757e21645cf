"""Simulated console behaviour without a pseudo-terminal (StringIO lines)."""
import io
import re

import pytest

from quorvi.sim import outputs
from quorvi.sim.__main__ import parse
from quorvi.sim.console import Console, match_command
from quorvi.sim.harness import SimulatedDevice
from quorvi.sim.model import SharedState


@pytest.mark.parametrize("typed, handler, ambiguous", [
    ("sh ver", "show_version", False),
    ("conf t", "configure", False),
    ("sh redundancy stat", "show_redundancy", False),
    ("terminal length 0", "accept", False),
    ("en", "enable", False),  # "enable" is the only exec word starting "en"
    ("e", None, True),  # enable or exit
    ("show", None, False),
    ("show versions", None, False),
])
def test_commands_accept_unambiguous_abbreviations(typed, handler, ambiguous):
    assert match_command(typed.split(), outputs.EXEC_COMMANDS) == (handler, ambiguous)


def run(profile, lines, console="a", **options):
    with SimulatedDevice(profile, **options) as device:
        stdout = io.StringIO()
        Console(device.device, device.path, console, io.StringIO("".join(l + "\n" for l in lines)),
                stdout).run()
        return stdout.getvalue(), device.state()


def test_session_prompts_modes_and_recorded_config():
    text, state = run("single", ["enable", "conf t", "interface eth0", "exit", "hostname x", "end",
                                 "disable", "bogus"])
    assert "press RETURN" in text.splitlines()[1]
    assert re.findall(r"R1(?:\([a-z-]+\))?[>#]", text) == \
        ["R1>", "R1#", "R1(config)#", "R1(config-if)#", "R1(config)#", "R1(config)#", "R1#",
         "R1>", "R1>"]
    assert "% Invalid input detected" in text
    assert state["config"]["a"] == ["interface eth0", "hostname x"]


@pytest.mark.parametrize("typed, expected", [
    ("sh redundancy stat | inc my state", ["my state = 8 -STANDBY HOT"]),
    ("show redundancy state | include Redundancy State", ["Redundancy State = Stateful Switchover"]),
    ("sh redundancy state | bogus x", ["% Invalid input detected at '^' marker."]),
])
def test_standby_answers_redundancy_queries(typed, expected):
    text, _ = run("dual", [typed], console="b", active="a")
    assert "R1-stby>" in text
    # Without a terminal nothing echoes the input: answers follow the prompt directly.
    lines = [re.sub(r"\s+", " ", l.replace("R1-stby>", "")).strip() for l in text.splitlines()]
    assert [l for l in lines if l and "RETURN" not in l] == expected


def test_standby_config_waits_for_unlock_through_active():
    with SimulatedDevice("dual", active="b") as device:
        def session(console, lines):
            out = io.StringIO()
            Console(device.device, device.path, console,
                    io.StringIO("".join(l + "\n" for l in lines)), out).run()
            return out.getvalue()
        assert outputs.ERRORS["standby_locked"] in session("a", ["enable", "conf t"])
        session("b", ["enable", "conf t", "redundancy"])
        assert not device.standby_unlocked  # one of the two unlock lines only
        session("b", ["enable", "conf t", "standby console enable", "end"])
        assert device.standby_unlocked
        assert "R1-stby(config)#" in session("a", ["enable", "conf t"])


def test_show_switch_marks_current_member():
    text, _ = run("stack", ["show switch"], console="m2", members=3, active=2, standby=3)
    rows = [l for l in text.splitlines() if re.match(r"^\*?\d\s", l)]
    assert rows[1].startswith("*2  Active") and not rows[0].startswith("*")
    assert "Standby" in rows[2] and "0c75.bd11.2283" in rows[2]


def test_profiles_reject_impossible_devices():
    with pytest.raises(ValueError):
        SimulatedDevice("stack", members=3, active=1, standby=1)
    with pytest.raises(ValueError):
        SimulatedDevice("dual", active="c")
    with pytest.raises(ValueError, match="no console"):
        SimulatedDevice("dual", console_options={"c": {"silent": True}})


def test_unknown_device_option_is_refused_and_leaves_no_files():
    device = SimulatedDevice("single", delay=1.2)  # the option is "response_delay"
    with pytest.raises(ValueError, match="unknown device option.*delay"):
        device.start()
    assert device.directory is None


def test_shared_log_folds_records_of_several_consoles(tmp_path):
    path = str(tmp_path / "device.json")
    a, b = SharedState(path), SharedState(path)
    a.record("commands", "a", "enable")
    b.record("config", "b", "redundancy", unlock_commands=["redundancy", "standby console enable"])
    a.record("config", "a", "standby console enable",
             unlock_commands=["redundancy", "standby console enable"])
    assert not a.read()["standby_unlocked"]  # the unlock lines went to two consoles
    b.record("config", "b", "standby console enable",
             unlock_commands=["redundancy", "standby console enable"])
    with open(path + ".state", "a") as log:
        log.write('["commands", "a", "half writ')  # a record still being written
    state = SharedState(path).read()
    assert state["standby_unlocked"]
    assert state["commands"] == {"a": ["enable"]}
    assert state["config"] == {"a": ["standby console enable"],
                               "b": ["redundancy", "standby console enable"]}
    assert SharedState(str(tmp_path / "none.json")).read() == \
        {"standby_unlocked": False, "commands": {}, "config": {}}


@pytest.mark.parametrize("argv, expected", [
    (["console", "--device", "d.json", "--console", "m1"], ("d.json", "m1")),
    (["console", "--console", "m1", "--device", "d.json"], ("d.json", "m1")),
    (["console", "--device=d.json", "--console=m1"], ("d.json", "m1")),  # argparse's forms
    (["console", "--device", "d.json"], SystemExit),
    (["console", "--device", "d.json", "--device", "e.json"], SystemExit),
    (["shell", "--device", "d.json", "--console", "m1"], SystemExit),
])
def test_console_arguments(argv, expected, capsys):
    if expected is SystemExit:
        with pytest.raises(SystemExit):
            parse(argv)
    else:
        assert parse(argv) == expected


@pytest.mark.parametrize("console, answer, reached", [
    ("a", "en", "R1#"),          # the device's password
    ("b", "en", "R1-stby>"),     # console b has a password of its own
    ("b", "other", "R1-stby#"),
])
def test_console_options_set_one_console_apart(console, answer, reached):
    text, _ = run("dual", ["enable", answer], console=console, active="a", enable_password="en",
                  console_options={"b": {"enable_password": "other"}})
    assert text.rstrip().endswith(reached)
    assert ("% Access denied" in text) == (reached == "R1-stby>")
