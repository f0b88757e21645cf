"""Device.reload, switchover and reload_member on simulated devices, over
pty consoles and the served lab: the device proves it rebooted, the
connection follows the new roles, and the failures users meet say so."""
import json
import re
import time

import pytest
import yaml

from quorvi import cli, settings
from quorvi.device import Device
from quorvi.fleet import Fleet, Task
from quorvi.reloads import (PHASES, BootLoaderError, BootTimeoutError, NotRebootedError,
                              ReloadError)
from quorvi.replay.replayed_device import ReplayedDevice

from tests.timing import allowed

from .conftest import FAST

BOOT = 0.4


class Rig:
    """A simulated device on one transport and the framework Device for it."""

    def __init__(self, simulated, device, name=None):
        self.simulated = simulated
        self.device = device
        self.name = name  # the device's name in a served lab

    def boots(self):
        return self.simulated.boots(self.name) if self.name else self.simulated.boots()

    def events(self):
        state = self.simulated.state(self.name) if self.name else self.simulated.state()
        return [e["event"] for e in state.get("events", [])]


@pytest.fixture
def rig(sim, served_lab):
    """Factory: rig(transport, kind, consoles=port options, **device options),
    connected; every Device is destroyed at teardown."""
    made = []

    def start(transport, kind, consoles=None, connect=True, served=None, **options):
        options.setdefault("boot_time", BOOT)
        if transport == "pty":
            simulated = sim(kind, **options)
            device, name = Device(**simulated.device_kwargs(settings=FAST)), None
        else:
            if consoles:
                options["consoles"] = consoles
            simulated = served_lab({"devices": {"R1": dict(options, kind=kind)}},
                                   **(served or {}))
            device, name = Device(**simulated.device_kwargs("R1", settings=FAST)), "R1"
        made.append(device)
        if connect:
            device.connect()
        return Rig(simulated, device, name)

    yield start
    for device in made:
        device.destroy()


def call(device, action, member=None, **kwargs):
    kwargs.setdefault("timeout", 20)
    if action == "reload":
        return device.reload(**kwargs)
    if action == "switchover":
        return device.switchover(**kwargs)
    return device.reload_member(member, **kwargs)


@pytest.mark.parametrize("transport, kind, options, action, member, rebooted, active", [
    ("pty", "single", {}, "reload", None, ["a"], "a"),
    ("served", "dual", {}, "reload", None, ["a", "b"], "a"),
    ("pty", "dual", {"active": "b"}, "switchover", None, ["b"], "a"),
    ("served", "dual", {"os": "tessel"}, "switchover", None, ["a"], "b"),
    ("pty", "stack", {"members": 4, "os": "tessel"}, "switchover", None, ["m1"], "m2"),
    ("served", "stack", {"members": 4}, "member_reload", 3, ["m3"], "m1"),
    ("pty", "stack", {"members": 4}, "member_reload", 1, ["m1"], "m2"),
    ("served", "quad", {}, "switchover", None, ["m1a", "m1b"], "m2a"),
    ("pty", "quad", {}, "member_reload", 2, ["m2a", "m2b"], "m1a"),
])
def test_the_device_proves_it_rebooted_and_the_connection_follows_the_roles(
        rig, transport, kind, options, action, member, rebooted, active):
    r = rig(transport, kind, **options)
    seen = []
    report = call(r.device, action, member, progress=seen.append)
    assert report.ok and report.error is None
    assert r.boots() == {name: 1 for name in rebooted}
    assert sorted(a for a, line in report.lines.items() if line.boot_seen) == rebooted
    assert all("System ready" in report.lines[a].boot_log for a in rebooted)
    # The phases arrive in order, as they happen.
    names = [p.name for p in seen]
    assert [n for n in PHASES if n in names] == sorted(set(names), key=PHASES.index)
    assert names[0] == "command sent" and names[-1] == "roles designated"
    assert [p.at for p in seen] == sorted(p.at for p in seen)
    con = r.device.default
    handle = con.active if hasattr(con, "active") else con
    assert (con.active.alias if hasattr(con, "active") else con.console) == active
    assert report.roles_after[active] in ("active", "single")
    for alias in rebooted:
        line = report.lines[alias]
        if line.role_before.endswith("_ics"):  # a silent line: its boot log is the evidence
            assert line.version_after is None
        else:
            assert line.rebooted and line.version_after["reason"] != "power-on"
    # Plain data, and the connection is usable at once.
    assert json.loads(report.to_json())["roles_after"] == report.roles_after
    assert "uptime is" in handle.execute("show version")


@pytest.mark.parametrize("transport, kind, options, action, member, error, match", [
    ("pty", "single", {}, "switchover", None, ReloadError, "single RP: there is no standby"),
    ("pty", "stack", {"members": 4}, "member_reload", 7, ReloadError,
     "has no member 7: its members are 1, 2, 3, 4"),
    ("pty", "dual", {}, "member_reload", 2, ReloadError, "only a stack's or a quad's members"),
    # A device that asks its questions and then does not reboot.
    ("pty", "dual", {"fake_reload": True}, "reload", None, NotRebootedError,
     "line a: the reload was confirmed, but the line came back to its prompt"),
    ("served", "dual", {"fake_reload": True}, "switchover", None, NotRebootedError,
     "did not reboot"),
    ("served", "single", {"stop_in_loader": True}, "reload", None, BootLoaderError,
     r"device R1 line a stopped in the boot loader \('loader 1 >'\).*System Bootstrap"),
    ("pty", "stack", {"members": 4, "stop_in_loader": ["m3"]}, "member_reload", 3,
     BootLoaderError, "line m3 stopped in the boot loader"),
])
def test_failures_name_the_device_and_line_and_nothing_counts_as_success(
        rig, transport, kind, options, action, member, error, match):
    r = rig(transport, kind, **options)
    with pytest.raises(error, match=match) as raised:
        call(r.device, action, member)
    if raised.value.report is not None:
        assert not raised.value.report.ok and raised.value.report.error == str(raised.value)
    if error is not BootLoaderError:
        assert r.boots() == {}


@pytest.mark.parametrize("command, match", [
    ("restart now", r"line a: 'restart now' was refused: the device answered % Invalid input"),
    ("show clock", r"line a: 'show clock' was refused: the device answered its prompt instead "
                   r"of asking 'Proceed with reload\? \[confirm\]'"),
    ("delete flash:old.cfg", r"line a: 'delete flash:old.cfg' asked 'Delete filename "
                             r"\[old.cfg\]\?', which the reload does not answer"),
])
def test_a_command_that_does_not_ask_for_confirmation_fails_and_the_line_still_works(
        rig, monkeypatch, command, match):
    r = rig("pty", "single")
    kind = type(r.device.default)
    monkeypatch.setattr(kind, "boot_dialogs", dict(kind.boot_dialogs, reload=command))
    with pytest.raises(ReloadError, match=match) as raised:
        r.device.reload(timeout=20)
    assert raised.value.report.phases == [] and r.boots() == {}
    assert "uptime is" in r.device.execute("show version")


def test_a_boot_longer_than_the_time_limit_names_the_phase_it_stopped_in(rig):
    r = rig("pty", "dual", boot_time=3.0)
    with pytest.raises(BootTimeoutError, match=r"time limit of 1s: line a \(active\) stopped "
                                               r"before phase 'boot finished'.*line b "
                                               r"\(standby\) stopped before") as raised:
        r.device.reload(timeout=1)
    assert raised.value.report.phase("boot seen", "a") is not None


@pytest.mark.parametrize("transport, action, stuck", [
    ("pty", "reload", r"line b \(standby\) never reached its standby prompt"),
    ("served", "switchover", r"line a \(active, the standby after the switchover\) never "
                             r"reached its standby prompt"),
])
def test_a_standby_that_never_shows_its_prompt_is_named_when_the_time_is_up(
        rig, transport, action, stuck):
    r = rig(transport, "dual", standby_stuck=True)
    began = time.monotonic()
    with pytest.raises(BootTimeoutError, match=r"time limit of 2s: %s; .*Standby waiting for "
                                               r"the active" % stuck):
        call(r.device, action, timeout=2)
    assert time.monotonic() - began < allowed(3.0)


@pytest.mark.parametrize("transport", ["pty", "served"])
def test_configuration_dialog_declined_login_answered_and_save_policy_reported(rig, transport):
    r = rig(transport, "single", boot_dialog=True, login={"username": "ops", "password": "pw9"})
    r.device.configure("hostname R1")
    report = r.device.reload(timeout=20, save=True)
    assert report.ok and report.save and report.saved
    log = report.lines["a"].boot_log
    assert "initial configuration dialog? [yes/no]:" in log and "Username:" in log
    assert "pw9" not in report.to_json()
    assert r.events() == ["save", "boot"]
    # The bring-up's initial configuration changed it again: asked, not saved.
    again = r.device.reload(timeout=20)
    assert again.ok and not again.save and again.saved is False
    assert r.events() == ["save", "boot", "boot"] and r.boots() == {"a": 2}


@pytest.mark.parametrize("greeting", ["immediate", "press_return"])
def test_a_console_line_dropped_at_boot_is_opened_again(rig, greeting):
    # press_return: the console server greets a new client and waits for Return.
    r = rig("served", "dual", boot_time=1.0, consoles={"a": {"drop_on_boot": True}},
            served={"connect": greeting})
    report = r.device.reload(timeout=20)
    assert report.ok and report.lines["a"].reconnected == 1 and report.lines["b"].reconnected == 0
    assert report.phase("line lost", "a") is not None and report.phase("line lost", "b") is None
    assert "Last reload reason: Reload Command" in report.lines["a"].boot_log
    assert r.device.default.active.alias == "a"


@pytest.mark.parametrize("kind, action, fast", [
    ("single", "reload", True),
    # Another line's boot is timed from that line's own last answer: played at
    # the recorded pace, it comes after the command that caused it.
    ("dual", "switchover", False),
])
def test_a_recorded_reload_replays(rig, tmp_path, kind, action, fast):
    cassette = str(tmp_path / "reload.jsonl")
    r = rig("pty", kind, connect=False, boot_dialog=True)
    with r.device.record(cassette):
        r.device.connect()
        recorded = call(r.device, action)
        r.device.disconnect()
    with ReplayedDevice(cassette, fast=fast) as replay:
        device = Device(**replay.device_kwargs(settings=FAST))
        try:
            device.connect(**replay.connect_options())
            report = call(device, action)
            assert report.ok and report.roles_after == recorded.roles_after
            assert report.lines["a"].boot_log == recorded.lines["a"].boot_log
            assert "initial configuration dialog" in report.lines["a"].boot_log
        finally:
            device.destroy()
        replay.check()


@pytest.fixture
def inventory(served_lab, tmp_path, monkeypatch):
    """A served lab of a dual D1 and a single S1 and its inventory file."""
    for key, value in FAST.items():
        monkeypatch.setitem(settings.DEFAULTS, key, value)
    lab = served_lab({"devices": {"D1": {"kind": "dual", "boot_time": BOOT},
                                  "S1": {"kind": "single", "boot_time": BOOT}}})
    path = tmp_path / "inventory.yaml"
    path.write_text(yaml.safe_dump(lab.inventory))
    return lab, str(path)


@pytest.mark.parametrize("argv, status, shown", [
    (["switchover", "D1"], 0, r"(?s)command sent \(line a\).*roles designated\n"
                             r"D1 switchover: proven in .*line b +standby +-> active"),
    (["switchover", "S1"], 1, r"error: ReloadError: device S1 has a single RP"),
    (["reload", "D1", "--member", "2"], 1, r"device D1 is a dual_rp: only a stack's"),
])
def test_the_command_line_prints_the_phases_and_the_report_or_one_error(
        inventory, capsys, argv, status, shown):
    lab, path = inventory
    assert cli.main(argv[:2] + ["--inventory", path, "--timeout", "20"] + argv[2:]) == status
    out, err = capsys.readouterr()
    assert re.search(shown, out + err) and "Traceback" not in err


def test_a_fleet_reload_writes_each_report_into_its_result(inventory):
    lab, path = inventory
    results = {r.name: r for r in Fleet.from_inventory(path).run(Task.switchover(timeout=20))}
    assert results["D1"].ok and results["D1"].value["roles_after"] == {"a": "standby",
                                                                        "b": "active"}
    assert results["D1"].lines["b"] == "active"
    assert not results["S1"].ok and "single RP" in results["S1"].error
    assert lab.boots("D1") == {"a": 1} and lab.boots("S1") == {}
    json.dumps([r.to_dict() for r in results.values()])


def test_a_fleet_device_out_of_time_during_its_boot_stops_without_reopening_lines(sim):
    # The fleet kills the lines of a device past its time limit: they are not
    # opened again as if a console server had dropped them.
    simulated = sim("dual", boot_time=3.0)
    began = time.monotonic()
    [result] = Fleet([simulated.device_kwargs(settings=FAST)]).run(Task.reload(), timeout=2)
    assert time.monotonic() - began < allowed(3.5)
    assert not result.ok and result.error_type == "DeviceStopped"
    assert "time limit of 2 s exceeded during reload" in result.error
    assert result.value["phases"][0]["name"] == "command sent"
