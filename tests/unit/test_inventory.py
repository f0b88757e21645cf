"""Inventory files: every problem reported with its position, resolution of
defaults and groups, credential sources read only when needed."""
import json
import textwrap

import pytest

from quorvi import credentials
from quorvi.cli import main
from quorvi.core.errors import ConnectionError
from quorvi.inventory import InventoryError, check, load

LAB = """\
defaults:
  os: orbix
  credentials:
    default: {username: admin, password: "env:QV_TEST_PASSWORD"}
    enable: {password: s3cret}
  timeout: 30
groups:
  edge: {platform: ox900, credentials: {default: {username: edge}}}
  stackable: {chassis_type: stack, platform: ox20}
devices:
  R1:
    groups: [edge]
    hostname: R1
    lines:
      b: {console: "127.0.0.1:7002"}
      a: {console: "127.0.0.1:7001"}
  S1:
    groups: [edge, stackable]
    platform: ox21
    lines:
      m1: {command: "true", member: 1}
      m2: {ssh: "ops@[::1]:2222", member: 2, ssh_options: {StrictHostKeyChecking: no}}
"""


def write(tmp_path, text, name="lab.yaml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text))
    return str(path)


def test_defaults_then_groups_then_device_keys(tmp_path):
    inventory = load(write(tmp_path, LAB))
    assert list(inventory.devices) == ["R1", "S1"]
    r1, s1 = inventory["R1"], inventory["S1"]
    assert list(r1.lines) == ["b", "a"]  # file order, not sorted
    assert (r1.os, r1.platform, r1.chassis_type, r1.timeout) == ("orbix", "ox900", "single_rp", 30)
    # credentials merge per name and field; other keys: the last layer wins
    assert r1.credentials["default"] == {"username": "edge", "password": "env:QV_TEST_PASSWORD"}
    assert (s1.platform, s1.chassis_type) == ("ox21", "stack")
    assert s1.lines["m2"].ssh_options == {"StrictHostKeyChecking": "no"}
    assert s1.hostname is None and r1.hostname == "R1"


def test_show_masks_literal_secrets_only(tmp_path, capsys):
    path = write(tmp_path, LAB)
    assert main(["inventory", "show", path, "R1", "--format", "json"]) == 0
    shown = json.loads(capsys.readouterr().out)["R1"]
    assert shown["credentials"]["enable"]["password"] == credentials.MASK
    assert shown["credentials"]["default"]["password"] == "env:QV_TEST_PASSWORD"
    assert shown["lines"]["a"] == {"console": "127.0.0.1:7001"}
    assert main(["inventory", "show", path]) == 0
    assert "s3cret" not in capsys.readouterr().out


BROKEN = [
    # (file text, expected lines of `inventory check`)
    ("devices:\n  R7:\n    lines:\n      b: {comand: x}\n",
     ["4:11: devices.R7.lines.b: unknown key 'comand' (did you mean 'command'?)"]),
    ("devices:\n  R7:\n    lines:\n      b: {command: x, console: 'h:1'}\n",
     ["4:23: devices.R7.lines.b: two transports (command and console)"]),
    ("devices:\n  R7:\n    chassis_type: quad\n    lines:\n      a: {command: x}\n",
     ["5:10: devices.R7.lines.a: member missing"]),
    ("devices:\n  R7:\n    chassis_type: stack\n    lines:\n      a: {command: x, member: 1}\n"
     "      b: {command: y, member: 1}\n",
     ["6:31: devices.R7.lines.b.member: member 1 is already used by line 'a'; a switch stack "
      "has one line per member"]),
    ("devices:\n  Q:\n    chassis_type: quad\n    lines:\n      a: {command: x, member: 1}\n"
     "      b: {command: x, member: 1}\n  S:\n    chassis_type: stack\n    lines:\n"
     "      a: {command: x, member: 1}\n      b: {command: x, member: 3}\n",
     ["10:7: devices.S.lines: stack line 'b' has member number 3 but the stack has no line "
      "for member 2"]),  # a quad's chassis has two lines under one member
    ("devices:\n  R7:\n    groups: [egde]\n    lines: {a: {command: x}}\n"
     "groups:\n  edge: {}\n",
     ["3:14: devices.R7.groups: unknown group 'egde' (did you mean 'edge'?)"]),
    ("defaults:\n  timeout: soon\n  credentials:\n    default: {password: 1234}\n"
     "devices:\n  R7: {lines: {a: {ssh: 'a@b:c'}}}\n",
     ["2:12: defaults.timeout: expected a number of seconds > 0",
      "4:25: defaults.credentials.default.password: expected a text, got a number (quote it)",
      "6:25: devices.R7.lines.a.ssh: expected [USER@]HOST[:PORT]"]),
    ("devices:\n  R7:\n    credentials: {enable: {password: 'evn:X', user: y}}\n"
     "    lines: {a: {console: 'h:99999'}}\n",
     ["3:38: devices.R7.credentials.enable.password: unknown credential source before the "
      "colon (did you mean 'env:'?)",
      "3:47: devices.R7.credentials.enable: unknown key (did you mean 'username'?)",
      "4:26: devices.R7.lines.a.console: expected SERVER:PORT"]),
    ("devices:\n  R7: {os: orbix}\n  R7: {os: tessel}\n",
     ["2:7: devices.R7: no lines", "3:3: devices: duplicate key 'R7'"]),
    ("devices: [R1\n", ["2:1: (file): not valid YAML"]),
    ("devicess: {}\n", ["1:1: (file): unknown key 'devicess' (did you mean 'devices'?)",
                        "1:1: devices: missing"]),
    ('{"devices": {}}', ["1:13: devices: no devices"]),
    # A device with nothing under it is no device to leave out.
    ("devices:\n  R3:\n  R4: {lines: {a: {command: x}}}\n",
     ["2:3: devices.R3: nothing under the device"]),
    # What the link brokers refuse for the shape of a device.
    ("devices:\n  D:\n    chassis_type: dual_rp\n    lines: {a: {command: x}}\n"
     "  Q:\n    chassis_type: quad\n    lines: {a: {command: x, member: 1}, "
     "b: {command: x, member: 1},\n            c: {command: x, member: 1}}\n"
     "  R:\n    timeout: .nan\n    lines: {a: {command: x}}\n",
     ["4:12: devices.D.lines: a dual-RP router has 2 lines, found 1",
      "8:37: devices.Q.lines.c.member: member 1 is already used by lines 'a' and 'b'; a quad "
      "device has at most 2 lines per member",
      "10:14: devices.R.timeout: expected a number of seconds > 0, got the number .nan"]),
    ("devices:\n  S:\n    chassis_type: stack\n    lines:\n" + "".join(
        "      m%d: {command: x, member: %d}\n" % (n, n) for n in range(1, 11)),
     ["5:7: devices.S.lines: a switch stack has 1 to 9 lines, found 10"]),
    # Tags other than YAML's plain ones; a tab where the indentation is.
    ("devices:\n  R: !!python/object:os.system {lines: {a: {command: x}}}\n"
     "  S: {lines: {a: {command: !ask x}}}\n",
     ["2:6: devices.R: the YAML tag !!python/object:os.system is not supported",
      "3:28: devices.S.lines.a.command: the YAML tag !ask is not supported"]),
    ("devices:\n  R:\n\tlines: {a: {command: x}}\n",
     ["3:1: (file): a tab in the indentation: indent with spaces"]),
    ("devices:\n  R: {<<: [1], lines: {a: {command: x}}}\n",
     ["2:12: devices.R: a merge key (<<) takes a mapping or a list of mappings, got the "
      "number 1"]),
]


@pytest.mark.parametrize("text, expected", BROKEN)
def test_check_reports_every_problem_with_its_position(tmp_path, capsys, text, expected):
    path = write(tmp_path, text)
    assert main(["inventory", "check", path]) == 1
    out = capsys.readouterr().out.splitlines()
    assert len(out) == len(expected), out
    for line, want in zip(out, expected):
        assert line.startswith("%s:%s" % (path, want)), (line, want)
    with pytest.raises(InventoryError) as raised:
        load(path)
    assert [str(p) for p in raised.value.problems] == out


@pytest.mark.parametrize("credentials", [
    "{enable: {password: 80417755}}", "{enable: 80417755}", "{enable: {80417755: x}}",
    "{enable: {password: [80417755]}}", "{enable: {password: 'evn:80417755'}}",
])
def test_no_credential_value_is_shown_in_a_problem(tmp_path, capsys, credentials):
    path = write(tmp_path, "devices:\n  R: {credentials: %s, lines: {a: {command: x}}}\n"
                 % credentials)
    assert main(["inventory", "check", path]) == 1
    out = capsys.readouterr().out
    assert "devices.R.credentials" in out and "80417755" not in out


def test_merge_keys_share_settings_and_the_own_keys_win(tmp_path):
    inventory = load(write(tmp_path, """\
        devices:
          R1: &edge
            os: orbix
            credentials: {enable: {password: s3cret}}
            lines: {a: {console: "127.0.0.1:7001"}}
          R2:
            <<: *edge
            os: tessel
            lines: {a: {console: "127.0.0.1:7002"}}
          R3: {<<: [{platform: ox9}, *edge], platform: ox1}
        """))
    r2, r3 = inventory["R2"], inventory["R3"]
    assert (r2.os, r2.credentials, r2.lines["a"].target) == (
        "tessel", {"enable": {"password": "s3cret"}}, "127.0.0.1:7002")
    assert (r3.os, r3.platform, r3.lines["a"].target) == ("orbix", "ox1", "127.0.0.1:7001")


def test_check_accepts_a_good_file(tmp_path, capsys):
    assert check(write(tmp_path, LAB)) == []
    assert main(["inventory", "check", write(tmp_path, LAB)]) == 0


@pytest.fixture
def fresh_cache():
    credentials.clear_cache()
    yield
    credentials.clear_cache()


def test_credential_sources_are_read_when_a_dialog_needs_them(tmp_path, monkeypatch, fresh_cache):
    (tmp_path / "pw").write_text("from-file\nsecond line\n")
    text = LAB.replace("enable: {password: s3cret}", "enable: {password: 'file:pw'}") \
              .replace("hostname: R1", "hostname: R1\n    credentials: {extra: {password: prompt}}")
    monkeypatch.delenv("QV_TEST_PASSWORD", raising=False)
    device = load(write(tmp_path, text)).device("R1")  # nothing is read yet
    assert device.settings.CONNECTION_TIMEOUT == 30
    password = device.credentials["default"]["password"]
    with pytest.raises(ConnectionError, match=r"device R1, credential 'default': environment "
                                              r"variable QV_TEST_PASSWORD is not set"):
        str(password)
    monkeypatch.setenv("QV_TEST_PASSWORD", "from-env")
    assert "%s" % password == "from-env" and "from-env" not in repr(password)
    assert str(device.credentials["enable"]["password"]) == "from-file"  # relative to the file
    asked = []
    monkeypatch.setattr(credentials, "has_terminal", lambda: True)
    monkeypatch.setattr(credentials.getpass, "getpass",
                        lambda prompt: asked.append(prompt) or "typed")
    secret = device.credentials["extra"]["password"]
    assert [str(secret), str(secret)] == ["typed", "typed"] and len(asked) == 1


CONSOLE_SERVERS = """\
console_servers:
  cs1: {login: {username: ops, password: "file:cs1.pw"}}
devices:
  R8:
    lines:
      a: {conserver: "r8-a@cs1:3109"}
      b: {conserver: "r8-b@[::1]", busy: take-over, server_login: {username: me, password: pw}}
      c: {console: "cs1:7003"}
      d: {console: "ts9:7004"}
"""


def test_conserver_lines_and_console_server_logins(tmp_path):
    entry = load(write(tmp_path, CONSOLE_SERVERS))["R8"]
    lines = entry.lines
    assert (lines["a"].transport, lines["a"].target, lines["a"].busy) == \
        ("conserver", "r8-a@cs1:3109", "fail")
    # A console server's login: the line's own, else its server's (a file
    # path made absolute against the inventory), never the device's.
    assert lines["a"].server_login == lines["c"].server_login == \
        {"username": "ops", "password": "file:%s" % (tmp_path / "cs1.pw")}
    assert (lines["b"].busy, lines["b"].server_login) == ("take-over", {"username": "me",
                                                                        "password": "pw"})
    assert lines["d"].server_login == {} and entry.credentials == {}
    shown = entry.to_dict()["lines"]
    assert shown["b"]["server_login"]["password"] == credentials.MASK
    assert "busy" not in shown["c"] and shown["a"]["busy"] == "fail"


@pytest.mark.parametrize("line, expected", [
    ("{conserver: 'r8-a'}", "devices.R8.lines.a.conserver: expected CONSOLE@HOST[:PORT]"),
    ("{conserver: 'r8-a@h', busy: spy}", "devices.R8.lines.a.busy: expected one of fail, take-over"),
    ("{console: 'h:1', busy: fail}", "devices.R8.lines.a: busy applies to conserver lines only"),
    ("{ssh: 'h', server_login: {username: u}}",
     "devices.R8.lines.a: server_login applies to console and conserver lines only"),
])
def test_conserver_line_problems(tmp_path, line, expected):
    path = write(tmp_path, "devices:\n  R8:\n    lines:\n      a: %s\n" % line)
    with pytest.raises(InventoryError) as raised:
        load(path)
    assert [p.path + ": " + p.message for p in raised.value.problems][0].startswith(expected)
