"""Lab descriptions, their inventory, and the telnet side of a port."""
import pytest

from quorvi.sim.lab import LabError, build_lab, mix_counts, parse_mix
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
