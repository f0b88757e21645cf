"""Fleet selection, summaries and masking, without devices."""
import json

import pytest

from quorvi.fleet import DeviceResult, Fleet, Summary
from quorvi.secrets import Masker, secrets_of
from quorvi.fleet.tasks import servers_of

DEVICES = [
    {"name": "core-1", "os": "orbix", "platform": "ox900", "chassis_type": "dual_rp",
     "groups": ["core", "dc1"]},
    {"name": "core-2", "os": "orbix", "platform": "ox20", "chassis_type": "single_rp",
     "groups": ["core"]},
    {"name": "edge-1", "os": "tessel", "platform": "ts5k", "chassis_type": "stack",
     "groups": ["edge", "dc1"]},
]


@pytest.mark.parametrize("criteria, names", [
    ({}, ["core-1", "core-2", "edge-1"]),
    ({"name": "core-*"}, ["core-1", "core-2"]),
    ({"name": ["edge-*", "core-2"]}, ["core-2", "edge-1"]),
    ({"group": "dc1"}, ["core-1", "edge-1"]),
    ({"group": "dc1", "os": "orbix"}, ["core-1"]),
    ({"platform": "ox*", "chassis_type": "single_rp"}, ["core-2"]),
    ({"group": "nowhere"}, []),
])
def test_filter_keeps_devices_matching_every_criterion(criteria, names):
    assert Fleet(DEVICES).filter(**criteria).names == names


@pytest.mark.parametrize("devices, message", [
    (DEVICES + [dict(DEVICES[0])], "name.* used twice: core-1"),
    ([dict(DEVICES[0], credential={})], "device core-1: unknown key.* credential;"),
    ([{"os": "orbix"}], "needs a name"),
])
def test_bad_device_lists_are_refused_with_the_device_named(devices, message):
    with pytest.raises(ValueError, match=message):
        Fleet(devices)


def test_summary_groups_one_fault_on_many_devices():
    summary = Summary()
    summary.extend([
        DeviceResult("R1", ok=True, timings={"connect": 0.5}),
        DeviceResult("R2", error_type="TimeoutError", error="R2/a: timeout after 5.0s waiting"),
        DeviceResult("R3", error_type="TimeoutError", error="R3/a: timeout after 5.1s waiting"),
        DeviceResult("R4", error_type="ConnectionError", error="R4/b: the line closed"),
    ])
    assert not summary.ok
    assert summary.failure_groups() == [
        (("TimeoutError", "<device>/a: timeout after <n>s waiting"), ["R2", "R3"]),
        (("ConnectionError", "<device>/b: the line closed"), ["R4"])]
    assert "5 device(s): 1 succeeded, 3 failed, 1 not run" in summary.render(total=5)


def test_masker_hides_every_credential_value_but_user_names():
    credentials = {"default": {"username": "ops", "password": "pw"},
                   "enable": {"password": "pw-enable"}}
    mask = Masker(secrets_of(credentials))
    assert mask("login ops pw-enable pw") == "login ops ******** ********"


def test_servers_are_the_hosts_of_console_and_ssh_lines():
    description = {"name": "R1", "connections": {
        "a": {"console": "cs1:2001"}, "b": {"console": "cs1:2002"},
        "m": {"ssh": "admin@[::1]:22"}, "n": {"ssh": "jump"},
        "c": {"command": "telnet cs2 2003"}}}
    assert servers_of(description) == ["::1", "cs1", "jump"]


def test_a_repeated_command_keeps_every_output():
    from quorvi.fleet import Task
    from quorvi.fleet.tasks import _do_task

    class Clock:
        ticks = 0

        def execute(self, command):
            self.ticks += 1
            return "%s at %d" % (command, self.ticks)

    result = DeviceResult("core-1")
    _do_task(Clock(), Task.execute("show clock", "show clock #2", "show clock", "show clock"),
             result)
    assert result.outputs == {"show clock": "show clock at 1",
                              "show clock #2": "show clock #2 at 2",
                              "show clock #3": "show clock at 3",
                              "show clock #4": "show clock at 4"}


@pytest.mark.parametrize("reads", [
    ["conf: username ops secret s3", "cr3t-x\r\n", "R1#"],
    ["s", "3", "c", "r", "3", "t-x s3cr3t-x"],
    ["s3cr3t-x", " s", "3cr3t-", "x", " s"],  # ends on what may begin a secret
])
def test_a_secret_split_across_reads_is_masked_in_session_logs(tmp_path, reads):
    from quorvi.fleet.logs import SessionLog

    log = SessionLog(str(tmp_path / "R1.a.log"), Masker(["s3cr3t-x"]))
    for text in reads:
        log.reader.write(text)
    log.close()
    shown = "".join(json.loads(line.split(" ", 2)[2]) for line in open(log.path))
    assert "3cr" not in shown and "t-x" not in shown
    assert shown == "".join(reads).replace("s3cr3t-x", "********")


@pytest.mark.parametrize("text, problem", [
    ('[{"name": "R1", "connections": {"a": {"console": "h:1"}}}]', "got a list"),
    ('{"devices": {}}', "no devices"),
    ('{"devices": {"R1": {"lines": {"a": {"console": "h:1"}}}, "R2": {}}}', "no lines"),
])
def test_run_loads_a_json_inventory_as_check_does(tmp_path, text, problem):
    from quorvi.inventory import check

    path = str(tmp_path / "inv.json")
    with open(path, "w") as f:
        f.write(text)
    problems = [str(p) for p in check(path)]
    assert problem in problems[0]
    with pytest.raises(ValueError) as raised:
        Fleet.from_inventory(path)
    assert str(raised.value).splitlines() == problems
    with open(path, "w") as f:
        json.dump({"devices": {"R1": {"os": "orbix", "lines": {"a": {"console": "h:1"}}}}}, f)
    assert Fleet.from_inventory(path).names == ["R1"]


def test_a_console_server_login_fails_its_device_and_stays_masked():
    from quorvi.fleet import Task
    from quorvi.fleet.tasks import RunOptions, run_device

    line = {"console": "127.0.0.1:1", "server_login": {"username": "cs", "password": "cs-pw-1"}}
    result = run_device({"name": "R1", "os": "orbix", "connections": {"a": line}},
                        Task.connect_only(), RunOptions(timeout=10))
    assert not result["ok"] and result["error"].startswith("device R1"), result["error"]
    assert "cs-pw-1" not in json.dumps(result)
