"""BaseDualRpLinkBroker.designate_handles on recording fakes."""
import re

import pytest

from quorvi.bases.routers import link_broker
from quorvi.core.errors import ConnectionError, TimeoutError

from .fakes import FakeConnection, tag_contexts

QUERY = "sh redundancy stat | inc my state"


def dual(rec, aliases=("rp1", "rp2")):
    con = FakeConnection(rec, aliases)
    tag_contexts(con)
    return con, link_broker.BaseDualRpLinkBroker(con)


def raiser(error):
    def fail(*args, **kwargs):
        raise error
    return fail


def setters(rec):
    return [e for e in rec.events if e[0].startswith("con._set_") or e[0] == "con._handles_designated="]


def test_successful_designation_makes_every_call_in_order(rec):
    con, broker = dual(rec)
    s1, s2 = con.subconnections
    s1.spawn.expect_script.append("my state = 13 -ACTIVE")
    assert broker.designate_handles() is None
    wake = lambda s: dict(context=s.context, prompt_recovery=f"{s.alias}-recovery", timeout=60)
    assert rec.events == [
        ("log.info", ("+++ designating handles +++",), {}),
        ("rp1.sendline", (), {}),
        ("rp1.sm.go_to", ("any", s1.spawn), wake(s1)),
        ("log.debug", ("rp1 in state: generic",), {}),
        ("rp2.sendline", (), {}),
        ("rp2.sm.go_to", ("any", s2.spawn), wake(s2)),
        ("log.debug", ("rp2 in state: generic",), {}),
        ("rp1.sm.go_to", ("enable", s1.spawn), dict(context=s1.context)),
        ("log.debug", ("rp1 in state: enable",), {}),
        ("rp2.sm.go_to", ("enable", s2.spawn), dict(context=s2.context)),
        ("log.debug", ("rp2 in state: enable",), {}),
        ("rp1.spawn.sendline", (QUERY,), {}),
        ("rp1.sm.get_state", ("enable",), {}),
        ("rp1.spawn.expect", ("<enable prompt>",), dict(timeout=30)),
        ("con._set_active_alias", ("rp1",), {}),
        ("con._set_standby_alias", ("rp2",), {}),
        ("con._handles_designated=", (True,), {}),
    ]


@pytest.mark.parametrize("first_enable, answer, queried, calls", [
    (None, "my state = 13 -ACTIVE", "rp1", [("active", "rp1"), ("standby", "rp2")]),
    (None, "Active", "rp1", [("active", "rp1"), ("standby", "rp2")]),
    (None, "my state = STANDBY HOT", "rp1", [("standby", "rp1"), ("active", "rp2")]),
    (None, "standby, peer active", "rp1", [("active", "rp1"), ("standby", "rp2")]),
    (None, "inactive", "rp1", [("active", "rp1"), ("standby", "rp2")]),
    (ConnectionError("no enable"), "ACTIVE", "rp2", [("active", "rp2"), ("standby", "rp1")]),
    (ValueError("odd prompt"), "Standby", "rp2", [("standby", "rp2"), ("active", "rp1")]),
    ("disable", "active", "rp2", [("active", "rp2"), ("standby", "rp1")]),
])
def test_answer_of_first_line_at_enable_decides_both_roles(rec, first_enable, answer, queried, calls):
    con, broker = dual(rec)
    s1, _ = con.subconnections
    s1.state_machine.current_state = "disable"
    if first_enable is not None:
        s1.state_machine.go_to_script["enable"] = first_enable
    con._subconnections[queried].spawn.expect_script.append(answer)
    broker.designate_handles()
    assert [e[1][0] for e in rec.of(f"{queried}.spawn.sendline")] == [QUERY]
    assert [e for e in rec.names() if e.endswith("spawn.sendline")] == [f"{queried}.spawn.sendline"]
    assert setters(rec) == [(f"con._set_{role}_alias", (alias,), {}) for role, alias in calls] + [
        ("con._handles_designated=", (True,), {})]


def prompt_of(hostname):
    """An enable prompt pattern as the framework builds it: "R1#", "R1-stby#"."""
    host = re.escape(hostname) + "(?:-stby)?#"
    return r"(?:^|(?<=[\r\n]))(?:%s)*%s\s*$" % (host, host)


# The hostname (in the echo's prompt and the closing prompt) must not decide:
# only the device's answer is searched; text without echo or prompt is whole
# (bare words are in the table above).
@pytest.mark.parametrize("hostname, answer, role", [
    ("lab-active", f"{QUERY}\r\n  my state = 8 -STANDBY HOT \r\nlab-active-stby#", "standby"),
    ("ACTIVE-R1", f"{QUERY}\r\nmy state = 8 -STANDBY HOT\r\nACTIVE-R1-stby# ", "standby"),
    ("lab-active", f"lab-active-stby#{QUERY}\r\nmy state = 8 -STANDBY HOT\r\nlab-active-stby#",
     "standby"),
    ("lab-active", f"\r\n{QUERY}\r\nmy state = 8 -STANDBY HOT\r\n\r\nlab-active-stby#\r\n",
     "standby"),
    ("lab-active", "my state = 8 -STANDBY HOT\r\nlab-active-stby#", "standby"),
    ("lab-active", f"{QUERY}\r\nmy state = 8 -STANDBY HOT", "standby"),
    ("standby-lab", f"{QUERY}\r\nmy state = 13 -ACTIVE\r\nstandby-lab#", "active"),
    ("lab-active", f"{QUERY}\r\nlab-active-stby#", None),
])
def test_only_the_device_answer_decides_not_echo_or_prompt(rec, hostname, answer, role):
    con, broker = dual(rec)
    s1 = con.subconnections[0]
    for state in s1.state_machine.states:
        if str(state) == "enable":
            state.pattern = prompt_of(hostname)
    s1.spawn.expect_script.append(answer)
    if role is None:
        with pytest.raises(ConnectionError, match="^unable to designate handles$"):
            broker.designate_handles()
        assert setters(rec) == []
        return
    broker.designate_handles()
    other = "standby" if role == "active" else "active"
    assert setters(rec)[:2] == [(f"con._set_{role}_alias", ("rp1",), {}),
                                (f"con._set_{other}_alias", ("rp2",), {})]


def test_only_the_first_two_subconnections_take_part(rec):
    con, broker = dual(rec, ("rp1", "rp2", "rp3"))
    con.subconnections[0].spawn.expect_script.append("active")
    broker.designate_handles()
    assert not [e for e in rec.names() if e.startswith("rp3")]


@pytest.mark.parametrize("aliases", [(), ("rp1",)])
def test_fewer_than_two_subconnections_fail_before_anything_is_sent(rec, aliases):
    con, broker = dual(rec, aliases)
    with pytest.raises(ConnectionError) as err:
        broker.designate_handles()
    assert str(err.value) == f"Dual-RP designation needs two subconnections, found {len(aliases)}"
    assert rec.names() == ["log.info"]


def test_no_line_at_enable_fails_naming_both_lines_before_the_query(rec):
    con, broker = dual(rec)
    s1, s2 = con.subconnections
    s1.state_machine.go_to_script["enable"] = ConnectionError("stuck")
    s2.state_machine.go_to_script["enable"] = "config"
    with pytest.raises(ConnectionError) as err:
        broker.designate_handles()
    assert str(err.value) == ("Dual-RP designation found no line at the enable prompt: "
                              "rp1 in state generic, rp2 in state config")
    assert not [n for n in rec.names() if "spawn." in n or "get_state" in n]
    assert setters(rec) == []


def test_answer_without_either_role_designates_nothing(rec):
    con, broker = dual(rec)
    con.subconnections[0].spawn.expect_script.append("my state = INIT")
    with pytest.raises(ConnectionError, match="^unable to designate handles$"):
        broker.designate_handles()
    assert setters(rec) == []


@pytest.mark.parametrize("where", ["wake-up rp1", "wake-up rp2", "expect", "standby setter"])
def test_framework_errors_reach_the_caller_unchanged(rec, where):
    con, broker = dual(rec)
    s1, s2 = con.subconnections
    error = TimeoutError(where)
    if where == "wake-up rp1":
        s1.state_machine.go_to_script["any"] = error
    elif where == "wake-up rp2":
        s2.state_machine.go_to_script["any"] = error
    elif where == "expect":
        s1.spawn.expect_script.append(error)
    else:
        s1.spawn.expect_script.append("active")
        object.__setattr__(con, "_set_standby_alias", raiser(error))
    with pytest.raises(TimeoutError) as err:
        broker.designate_handles()
    assert err.value is error
    expected = [("con._set_active_alias", ("rp1",), {})] if where == "standby setter" else []
    assert setters(rec) == expected


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit])
def test_enable_pass_never_swallows_interrupts(rec, error_type):
    con, broker = dual(rec)
    error = error_type()
    con.subconnections[1].state_machine.go_to_script["enable"] = error
    with pytest.raises(error_type) as err:
        broker.designate_handles()
    assert err.value is error
    assert setters(rec) == []
