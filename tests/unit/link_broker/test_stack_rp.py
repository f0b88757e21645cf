"""BaseStackRpLinkBroker: construction, connect and designate_handles on recording fakes."""
import pytest

from quorvi.bases.routers import link_broker
from quorvi.core.errors import ConnectionError, TimeoutError

from .fakes import FakeConnection, switch_listing, tag_contexts

ALIASES = ("sw1", "sw2", "sw3")
ACTIVE_1 = "*1  Active   0c75.bd11.2280  15  V01  Ready"
MEMBER_3 = "3  Member   0c75.bd11.2282  1  V01  Ready"


def stack(rec, aliases=ALIASES, states=("enable", "enable", "enable"), cls=None):
    con = FakeConnection(rec, aliases)
    tag_contexts(con)
    for sub, state in zip(con.subconnections, states):
        object.__setattr__(sub.state_machine, "current_state", state)
    return con, (cls or link_broker.BaseStackRpLinkBroker)(con)


def designation(rec):
    return [e for e in rec.events
            if e[0].startswith("con.") or e[0].endswith(("go_to", ".execute"))]


@pytest.mark.parametrize("line, matches", [
    ("*2   Standby  0c75.bd11.2281   14   V01   Ready", True),
    ("   2 Standby 0c75.bd11.2281 14 V01 Ready   ", True),
    ("2\tStandby\t0c75.bd11.2281\t14\tV01\tReady", True),
    ("2  Standby  0c75.bd11.2281  14  V01  Ready   Version Mismatch", True),
    ("* 2 Standby 0c75.bd11.2281 14 V01 Ready", False),
    ("2 standby 0c75.bd11.2281 14 V01 Ready", False),
    ("2 STANDBY 0c75.bd11.2281 14 V01 Ready", False),
    ("2 Backup 0c75.bd11.2281 14 V01 Ready", False),
    ("12 Standby 0c75.bd11.2281 14 V01 Ready", False),
    ("2 Standby 0c:75:bd:11:22:81 14 V01 Ready", False),
    ("2 Standby 0c75.bd11.2281 14 V0.1 Ready", False),
    ("2 Standby 0c75.bd11.2281 high V01 Ready", False),
    ("2 Standby 0c75.bd11.2281 14 V01", False),
])
def test_member_lines_are_read_with_the_member_line_pattern(rec, line, matches):
    con, broker = stack(rec)
    con.subconnections[0].execute_script.append(switch_listing(ACTIVE_1, line, MEMBER_3))
    if matches:
        broker.designate_handles()
        assert (con.active_alias, con.standby_alias) == ("sw1", "sw2")
    else:
        with pytest.raises(ConnectionError) as err:
            broker.designate_handles()
        assert str(err.value) == ('No Standby member found in the stack; "show switch" listed: '
                                  "member 1 Active, member 3 Member")


@pytest.mark.parametrize("rows, active, standby", [
    # Output order decides: the last Active and the last Standby win.
    (["1 Active a.b 1 V1 Ready", "2 Standby a.b 1 V1 Ready", "3 Active a.b 1 V1 Ready"], "sw3", "sw2"),
    (["1 Standby a.b 1 V1 Ready", "2 Active a.b 1 V1 Ready", "3 Standby a.b 1 V1 Ready"], "sw2", "sw3"),
    # A later line for member 1 replaces its record but keeps its place.
    (["1 Active a.b 1 V1 Ready", "2 Standby a.b 1 V1 Ready", "3 Active a.b 1 V1 Ready",
      "1 Standby a.b 1 V1 Ready"], "sw3", "sw2"),
    # A Member beyond the subconnections is passed over.
    (["2 Active a.b 1 V1 Ready", "1 Standby a.b 1 V1 Ready", "4 Member a.b 1 V1 Ready"], "sw2", "sw1"),
])
def test_selection_follows_the_output_order(rec, rows, active, standby):
    con, broker = stack(rec)
    con.subconnections[0].execute_script.append("\r\n".join(rows))
    broker.designate_handles()
    assert (con.active_alias, con.standby_alias) == (active, standby)


@pytest.mark.parametrize("states, probed", [
    (("generic", "disable", "enable"), "sw2"),
    (("config", "rpr", "enable"), "sw3"),
    (("enable", "disable", "enable"), "sw1"),
])
def test_probe_runs_once_on_the_first_line_at_an_exec_prompt(rec, states, probed):
    con, broker = stack(rec, states=states)
    con._subconnections[probed].execute_script.append(
        switch_listing(ACTIVE_1, "2 Standby 0c75.bd11.2281 14 V01 Ready", MEMBER_3))
    broker.designate_handles()
    s1, s2, _ = con.subconnections
    assert designation(rec) == [
        (f"{probed}.execute", ("show switch",), {}),
        ("sw1.sm.go_to", ("enable", s1.spawn),
         dict(context=s1.context, prompt_recovery="sw1-recovery", timeout=60)),
        ("sw2.sm.go_to", ("enable", s2.spawn),
         dict(context=s2.context, prompt_recovery="sw2-recovery", timeout=60)),
        ("con._set_active_alias", ("sw1",), {}),
        ("con._set_standby_alias", ("sw2",), {}),
        ("con._handles_designated=", (True,), {}),
    ]


@pytest.mark.parametrize("states, output, message", [
    (("enable",) * 3, switch_listing(ACTIVE_1, MEMBER_3),
     'No Standby member found in the stack; "show switch" listed: member 1 Active, member 3 Member'),
    (("enable",) * 3, "2 Standby a.b 1 V1 Ready\n2 Member a.b 1 V1 Ready\n1 Standby a.b 1 V1 Ready",
     'No Active member found in the stack; "show switch" listed: member 2 Member, member 1 Standby'),
    (("enable",) * 3, switch_listing(),
     'No Active and no Standby member found in the stack; "show switch" listed: no member line'),
    (("generic", "config", "rpr"), None,
     'No Active and no Standby member found in the stack; "show switch" listed: '
     'no line in "enable" or "disable" state ran it'),
])
def test_missing_role_fails_before_any_line_is_driven_or_alias_recorded(rec, states, output, message):
    con, broker = stack(rec, states=states)
    con.subconnections[0].execute_script.append(output)
    with pytest.raises(ConnectionError) as err:
        broker.designate_handles()
    assert str(err.value) == message
    assert [e[0] for e in designation(rec)] == (["sw1.execute"] if output is not None else [])


@pytest.mark.parametrize("number", ["0", "4"])
def test_member_number_without_a_subconnection_never_wraps_round(rec, number):
    con, broker = stack(rec)
    con.subconnections[0].execute_script.append(
        f"1 Active a.b 1 V1 Ready\n{number} Standby a.b 1 V1 Ready")
    with pytest.raises(ConnectionError) as err:
        broker.designate_handles()
    assert str(err.value) == f"Stack member {number} has no subconnection: there are 3"
    assert [e[0] for e in designation(rec)] == ["sw1.execute"]


def test_empty_stack_cannot_be_designated(rec):
    _, broker = stack(rec, aliases=())
    with pytest.raises(ConnectionError, match="no subconnections"):
        broker.designate_handles()
    assert rec.events == []


@pytest.mark.parametrize("where", ["execute", "active go_to", "standby go_to"])
@pytest.mark.parametrize("error", [TimeoutError("late"), KeyboardInterrupt()])
def test_errors_pass_out_unchanged_and_nothing_is_recorded(rec, where, error):
    con, broker = stack(rec)
    s1, s2, _ = con.subconnections
    s1.execute_script.append(error if where == "execute" else
                             switch_listing(ACTIVE_1, "2 Standby a.b 1 V1 Ready"))
    if where != "execute":
        (s1 if where == "active go_to" else s2).state_machine.go_to_script["enable"] = error
    with pytest.raises(type(error)) as err:
        broker.designate_handles()
    assert err.value is error
    assert not [e for e in designation(rec) if e[0].startswith("con.")]


def recording_stack(rec, fail=None):
    """A stack whose inherited steps only record that they ran (through the object)."""

    def step(name):
        def run(self):
            rec(f"self.{name}")
            if name == fail:
                raise fail_error
        return run

    fail_error = TimeoutError(fail)
    steps = ("establish_connection", "designate_handles", "init_active", "unlock_standby",
             "init_standby", "assign_ha_mode")
    return type("RecordingStack", (link_broker.BaseStackRpLinkBroker,),
                {name: step(name) for name in steps}), fail_error


def test_connect_runs_the_stack_sequence_without_unlocking_the_standby(rec):
    cls, _ = recording_stack(rec)
    _, broker = stack(rec, cls=cls)
    assert broker.connect() is None
    assert rec.names() == ["log.info"] * 3 + [
        "self.establish_connection", "log.info", "self.designate_handles",
        "self.init_active", "self.init_standby", "self.assign_ha_mode"]
    assert [e[1] for e in rec.of("log.info")] == [
        ("+++ connection to sw1.spawn +++",), ("+++ connection to sw2.spawn +++",),
        ("+++ connection to sw3.spawn +++",), ("+++ designating handles +++",)]


@pytest.mark.parametrize("mit, stops", [(True, True), (1, True), ("yes", True),
                                        (False, False), (0, False), (None, False)])
def test_connect_reads_mit_after_establishing(rec, mit, stops):
    cls, _ = recording_stack(rec)
    con, broker = stack(rec, cls=cls)
    cls.establish_connection = lambda self: setattr(self.connection, "mit", mit)
    broker.connect()
    assert ("self.assign_ha_mode" not in rec.names()) is stops
    assert (("+++ designating handles +++",) in [e[1] for e in rec.of("log.info")]) is not stops


@pytest.mark.parametrize("fail", ["establish_connection", "designate_handles", "init_active",
                                  "init_standby", "assign_ha_mode"])
def test_connect_stops_at_the_first_failing_step(rec, fail):
    cls, error = recording_stack(rec, fail)
    _, broker = stack(rec, cls=cls)
    with pytest.raises(TimeoutError) as err:
        broker.connect()
    assert err.value is error
    assert [n for n in rec.names() if n.startswith("self.")][-1] == f"self.{fail}"


def test_connect_of_an_empty_stack_fails_before_establishing(rec):
    cls, _ = recording_stack(rec)
    _, broker = stack(rec, aliases=(), cls=cls)
    with pytest.raises(ConnectionError, match="no subconnections"):
        broker.connect()
    assert rec.events == []


def test_constructor_is_cooperative(rec):
    class Mixin(link_broker.BaseCommonRpLinkBroker):
        def __init__(self, connection):
            rec("mixin.__init__", connection)
            super().__init__(connection)

    class Stack(link_broker.BaseStackRpLinkBroker, Mixin):
        pass

    con = FakeConnection(rec, ALIASES)
    broker = Stack(con)
    assert rec.of("mixin.__init__") == [("mixin.__init__", (con,), {})]
    assert (broker.connection, broker.prompt_recovery) == (con, "broker-recovery")
