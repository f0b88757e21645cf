"""Connection and device objects before any line is opened."""
import re

import pytest

from quorvi.connection import Connection
from quorvi.core.errors import ConnectionError
from quorvi.device import Device
from quorvi.line import clean_output, find_error
from quorvi.multi_connection import MultiRpConnection
from quorvi.core.classregistry import ClassRegistry
from quorvi.settings import DEFAULT_LEARNED_HOSTNAME
from quorvi.utils import update_connection_kwargs

CONSOLES = {"a": {"command": "/bin/cat", "member": 1}, "b": {"command": "/bin/cat", "member": 2},
            "c": {"command": "/bin/cat", "member": 3}}


def device(**kwargs):
    kwargs.setdefault("connections", CONSOLES)
    return Device("dev1", **kwargs)


@pytest.mark.parametrize("credentials, options, expected", [
    ({}, {}, {}),
    ({"default": {"username": "u", "password": "p"}}, {}, {"login_creds": ["default"]}),
    ({"enable": {"password": "en"}}, {}, {"enable_password": "en"}),
    ({"enable": {"password": "en"}}, {"enable_password": "x", "login_creds": "ops"},
     {"enable_password": "x", "login_creds": ["ops"]}),
])
def test_context_carries_credentials_for_the_dialogs(credentials, options, expected):
    con = Connection(device(credentials=credentials), **options)
    assert con.context["credentials"] == credentials
    assert {k: con.context[k] for k in ("login_creds", "enable_password") if k in con.context} == expected
    assert isinstance(con.context, dict) and con.context.pop("missing", None) is None


def test_options_settings_and_defaults():
    dev = device(hostname="R1", learn_os=True, settings={"EXEC_TIMEOUT": 3})
    con = Connection(dev, alias="cli", goto_enable=False, init_config_commands=[],
                     settings={"CONNECTION_TIMEOUT": 4})
    assert (con.hostname, con.os, con.learn_os, con.goto_enable) == ("R1", "generic", True, False)
    assert (con.settings.EXEC_TIMEOUT, con.connection_timeout) == (3, 4)
    assert con.init_exec_commands is None and con.init_config_commands == []
    assert con.settings is not dev.settings
    assert con.log.name == "quorvi.dev1.cli" and con.console == "a"
    assert update_connection_kwargs(con) == {"alias": "cli", "goto_enable": False,
                                             "init_config_commands": [],
                                             "settings": {"CONNECTION_TIMEOUT": 4}}
    with pytest.raises(TypeError, match="colour"):
        Connection(dev, colour="red")


def test_learned_hostname_drives_the_prompt_patterns():
    con = Connection(device(hostname="R1"))
    enable = con.state_machine.get_state("enable")
    assert re.search(enable.pattern, "\r\nR1#")
    con.learned_hostname = "edge-2"
    assert re.search(enable.pattern, "\r\nedge-2#") and not re.search(enable.pattern, "\r\nR1#")
    con.learned_hostname = DEFAULT_LEARNED_HOSTNAME
    assert re.search(enable.pattern, "\r\nwhatever#")
    con.learned_hostname = None
    assert re.search(enable.pattern, "\r\nR1#")


def test_learned_hostname_lookup_reads_the_spawn():
    con = Connection(device())

    class Line:
        seen_hostname = None

    line = Line()
    assert con._get_learned_hostname(line) == DEFAULT_LEARNED_HOSTNAME
    line.seen_hostname = "R5"
    assert con._get_learned_hostname(line) == "R5"


def test_multi_rp_subconnections_follow_console_order_and_roles():
    con = MultiRpConnection(device(hostname="R1", learn_hostname=True))
    assert [s.alias for s in con.subconnections] == ["a", "b", "c"]
    assert list(con._subconnections) == ["a", "b", "c"]
    assert [s.member_id for s in con.subconnections] == [1, 2, 3]
    assert all(s.learn_hostname and s.context is not con.context for s in con.subconnections)
    assert con.active is None and con.spawn is None
    con._set_active_alias("c")
    con._set_standby_alias("a")
    con._set_standby_ics_alias("b")
    assert (con.active.alias, con.standby.alias, con.standby_ics.alias) == ("c", "a", "b")
    assert con.active_ics is None
    assert con.subconnection() is con.active and con.subconnection("b").alias == "b"
    with pytest.raises(ConnectionError, match="no subconnection 'x'"):
        con._set_active_alias("x")
    with pytest.raises(ConnectionError, match="active_ics"):
        con.subconnection("active_ics")


def test_multi_rp_commands_go_to_the_named_line(monkeypatch):
    con = MultiRpConnection(device())
    seen = []
    for sub in con.subconnections:
        monkeypatch.setattr(sub, "execute", lambda cmd, _a=sub.alias, **kw: seen.append((_a, cmd, kw)) or _a)
        monkeypatch.setattr(sub, "configure", lambda cmds, _a=sub.alias, **kw: seen.append((_a, cmds, kw)))
    con._set_active_alias("b")
    con._set_standby_alias("c")
    assert con.execute("show clock") == "b"
    assert con.execute("show clock", target="standby", prompt_recovery=True) == "c"
    assert con.execute("show clock", target="a", allow_state_change=True) == "a"
    con.configure(["x"], prompt_recovery=True)
    assert seen == [("b", "show clock", {}), ("c", "show clock", {"prompt_recovery": True}),
                    ("a", "show clock", {"allow_state_change": True}),
                    ("b", ["x"], {"prompt_recovery": True})]


class RecordingConnection(Connection):
    os = "orbix"
    made = []

    def connect(self):
        RecordingConnection.made.append(self)
        return "connected %s" % self.alias


def test_device_connect_builds_registered_class_under_alias_and_destroy_forgets():
    registry = ClassRegistry()
    registry.register_plugin(RecordingConnection, os="orbix")
    dev = device(os="orbix", platform="ox900", registry_=registry)
    assert dev.connect(alias="cli", goto_enable=False) == "connected cli"
    con = dev.cli
    assert isinstance(con, RecordingConnection) and con.goto_enable is False
    assert dev.handles == {"cli": con}
    with pytest.raises(ValueError, match="clashes"):
        dev.connect(alias="name")
    dev.destroy()
    assert not hasattr(dev, "cli") and dev.handles == {}
    with pytest.raises(ConnectionError, match="not connected"):
        dev.execute("show clock")


@pytest.mark.parametrize("raw, command, expected", [
    ("show clock\r\n12:00\r\n", "show clock", "12:00"),
    ("\r\n12:00\r\n", "show clock", "12:00"),  # no echo
    ("sh ver\r\nline1\r\n\r\nline3\r\n", "sh ver", "line1\n\nline3"),
])
def test_clean_output_drops_echo_and_carriage_returns(raw, command, expected):
    assert clean_output(raw, command) == expected


def test_find_error_reports_the_first_error_line():
    patterns = [r"^%\s*Invalid input"]
    assert find_error("ok\n% Invalid input detected at '^' marker.\nmore", patterns) == \
        "% Invalid input detected at '^' marker."
    assert find_error("no error here: % Invalid input", patterns) is None
