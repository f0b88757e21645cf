"""Lab descriptions, their inventory, and the telnet side of a port."""
import pytest

from quorvi.sim.lab import LabError, build_lab, mix_counts, parse_mix, write_inventory
from quorvi.sim.telnet import DO, DONT, ECHO, IAC, SGA, WILL, WONT, TelnetCodec, encode

NAWS, TTYPE = 31, 24


@pytest.mark.parametrize("total, mix, counts", [
    (1000, "single=70,dual=20,stack=10", [("single", 700), ("dual", 200), ("stack", 100)]),
    (7, "single=1,dual=1,stack=1", [("single", 3), ("dual", 2), ("stack", 2)]),
    (3, "single=0,quad=2,stack4=1", [("single", 0), ("quad", 2), ("stack4", 1)]),
])
def test_mix_splits_devices_by_weight(total, mix, counts):
    assert mix_counts(total, parse_mix(mix)) == counts


@pytest.mark.parametrize("lab, message", [
    ({"devices": {"R1": {"kind": "triple"}}}, r"lab: devices\.R1: unknown kind 'triple'"),
    ({"devices": {"R1": {"kind": "single", "active": "b"}}},
     r"unknown option\(s\) active for a single device"),
    ({"devices": {"R1": {"kind": "stack", "members": 2}}}, r"a stack has 3 to 9 members"),
    ({"devices": {"R1": {"consoles": {"a": {"connect": "never"}}}}},
     r"devices\.R1\.consoles\.a: connect must be one of immediate, quiet, press_return"),
    ({"devices": {"R1": {"consoles": {"a": {"left": "config"}}}}},
     r"devices\.R1\.consoles\.a: unknown option\(s\) left"),
])
def test_lab_errors_name_the_device_and_the_option(lab, message):
    with pytest.raises(LabError, match=message):
        build_lab(lab)


@pytest.mark.parametrize("text, expected", [
    # Every problem at once, each where it stands.
    ("defaults:\n  response_delay: fast\ndevices:\n"
     "  R1: {misbehave: {a: {nosie: 00ff}}}\n  R2: {kind: dual, respnse_delay: 1}\n"
     "  R1: {kind: stack}\n",
     ["2:19: defaults.response_delay: expected seconds >= 0, got text 'fast'",
      "4:24: devices.R1.misbehave.a: unknown key 'nosie' (did you mean 'noise'?)",
      "5:20: devices.R2: unknown key 'respnse_delay' (did you mean 'response_delay'?)",
      "6:3: devices: duplicate key 'R1'"]),
    ("devices:\n  R1: {misbehave: {b: {close_after: banner}}}\n"
     "  S1: {kind: stack, members: 2}\n  D1: {kind: dual, consoles: {a: {connect: quite}}}\n",
     ["2:3: devices.R1.misbehave.b: a single device has no console 'b' (its consoles: a)",
      "3:3: devices.S1: a stack has 3 to 9 members",
      "4:44: devices.D1.consoles.a.connect: unknown value 'quite' (did you mean 'quiet'?)"]),
    ("devices:\n  R1: {response_delay: .nan, misbehave: {a: {slow: {show version: soon}}}}\n"
     "  R2: !!python/object:os.system {}\n",
     ["2:24: devices.R1.response_delay: expected seconds >= 0, got the number .nan",
      "2:67: devices.R1.misbehave.a.slow.show version: expected seconds >= 0",
      "3:7: devices.R2: the YAML tag !!python/object:os.system is not supported"]),
])
def test_lab_file_problems_are_reported_at_once_with_their_position(tmp_path, text, expected):
    path = tmp_path / "lab.yaml"
    path.write_text(text)
    with pytest.raises(LabError) as raised:
        build_lab(str(path), devices=1)
    found = [str(p) for p in raised.value.problems]
    assert len(found) == len(expected), found
    for line, want in zip(found, expected):
        assert line.startswith("%s:%s" % (path, want)), (line, want)
    assert str(raised.value).splitlines() == found


def test_lab_file_shares_settings_through_merge_keys(tmp_path):
    path = tmp_path / "lab.yaml"
    path.write_text("defaults: {enable_password: e}\n"
                    "devices:\n  D1: &dual {kind: dual, response_delay: 0.1}\n"
                    "  D2: {<<: *dual, response_delay: 0.2}\n")
    lab = build_lab(str(path), devices=1)
    assert [(d["chassis"], d["response_delay"], d["enable_password"])
            for d in lab.devices.values()] == [("dual", 0.1, "e"), ("dual", 0.2, "e"),
                                                ("single", 0.0, "e")]


def test_inventory_that_cannot_be_written_names_the_path_given(tmp_path):
    lab = build_lab({"devices": {"R1": {}}})
    with pytest.raises(LabError, match=r"^cannot write the inventory %s: No such file" %
                                       str(tmp_path / "nodir" / "lab.yaml")):
        write_inventory(lab, "127.0.0.1", str(tmp_path / "nodir" / "lab.yaml"))
    assert not (tmp_path / "nodir").exists()


def test_inventory_lines_members_and_credentials():
    lab = build_lab({"devices": {
        "S1": {"kind": "stack", "active": 2, "standby": 3, "enable_password": "x"},
        "D1": {"kind": "dual", "login": {"username": "ops", "password": "pw"},
               "consoles": {"b": {"silent": True, "busy": True}}},
    }}, devices=2, mix="quad=1")
    for number, spec in enumerate(lab.ports):
        spec.port = 7000 + number
    inventory = lab.inventory("127.0.0.1")
    devices = inventory["devices"]
    assert list(devices) == ["S1", "D1", "R1", "R2"] and "defaults" not in inventory
    assert devices["S1"]["lines"]["m3"] == {"console": "127.0.0.1:7002", "member": 3}
    assert inventory["groups"] == {"dual": {}, "quad": {}, "stack": {}}
    assert devices["D1"] == {"groups": ["dual"], "os": "orbix", "platform": "ox900",
                             "chassis_type": "dual_rp",
                             "hostname": "D1",
                             "lines": {"a": {"console": "127.0.0.1:7003"},
                                       "b": {"console": "127.0.0.1:7004"}},
                             "credentials": {"default": {"username": "ops", "password": "pw"}}}
    assert devices["S1"]["credentials"] == {"enable": {"password": "x"}}
    assert devices["R2"]["lines"]["m2b"] == {"console": "127.0.0.1:7012", "member": 2}
    assert [(p.console, p.busy) for p in lab.ports[3:5]] == [("a", False), ("b", True)]
    assert lab.devices["D1"]["consoles"][1]["silent"]


@pytest.mark.parametrize("received, keys, replies", [
    # Agreement to our offers needs no answer; a refusal needs none either.
    (bytes([IAC, DO, ECHO, IAC, DO, SGA, IAC, WILL, SGA]), "", b""),
    (bytes([IAC, DONT, ECHO, IAC, WONT, SGA]), "", b""),
    # Options nobody offered are refused, each time they are asked for.
    (bytes([IAC, WILL, NAWS, IAC, WILL, NAWS, IAC, DO, TTYPE]), "",
     bytes([IAC, DONT, NAWS, IAC, DONT, NAWS, IAC, WONT, TTYPE])),
    # Sub-negotiation is skipped; IAC IAC is a data byte 255.
    (bytes([IAC, 250, TTYPE, 0, 65, IAC, 240]) + b"a" + bytes([IAC, IAC]), "a\xff", b""),
    # Every form of Return is one "\r".
    (b"x\r\ny\r\0z\rw\n", "x\ry\rz\rw\r", b""),
])
def test_telnet_negotiation_and_keys(received, keys, replies):
    codec = TelnetCodec()
    assert codec.greeting() == bytes([IAC, WILL, ECHO, IAC, WILL, SGA, IAC, DO, SGA])
    # One byte at a time: a command or a Return split between reads is still one.
    decoded = [codec.decode(received[i:i + 1]) for i in range(len(received))]
    assert ("".join(k for k, _ in decoded), b"".join(r for _, r in decoded)) == (keys, replies)


def test_telnet_state_changes_after_agreement_are_acknowledged():
    codec = TelnetCodec()
    codec.greeting()
    codec.decode(bytes([IAC, DO, ECHO]))
    # Echo was on: turning it off is a change the server confirms.
    assert codec.decode(bytes([IAC, DONT, ECHO])) == ("", bytes([IAC, WONT, ECHO]))
    assert encode(b"a\nb\r\n\xff") == b"a\r\nb\r\n\xff\xff"
