"""BaseQuadRpLinkBroker: answer test, connection with "rpr" marks, four-handle designation."""
import builtins

import pytest

from quorvi.bases.routers import link_broker
from quorvi.core.errors import ConnectionError, TimeoutError

from .fakes import FakeConnection, FakeTime, default_settings, switch_listing, tag_contexts

ALIASES = ("a1", "a2", "b1", "b2")
LISTING = switch_listing("*1  Active   0c75.bd11.2280  15  V01  Ready",
                         "2  Standby  0c75.bd11.2281  14  V01  Ready")


@pytest.fixture(autouse=True)
def no_sleep(rec, monkeypatch):
    monkeypatch.setattr(link_broker, "time", FakeTime(rec))


def quad(rec, silent=(), cls=link_broker.BaseQuadRpLinkBroker, aliases=ALIASES, member_ids=(1, 1, 2, 2)):
    """A quad whose answer test is replaced: the aliases in `silent` do not answer."""

    class Quad(cls):
        def is_interactive(self, conn):
            rec("self.is_interactive", conn.alias)
            return conn.alias not in silent

    con = FakeConnection(rec, aliases, list(member_ids)[:len(aliases)],
                         settings=default_settings(DETECT_RPR_TIMEOUT=0.25))
    tag_contexts(con)
    return con, Quad(con)


def set_states(con, *states):
    for sub, state in zip(con.subconnections, states):
        object.__setattr__(sub.state_machine, "current_state", state)


# ---- is_interactive

@pytest.mark.parametrize("first, second, answers", [
    ("prompt#", "prompt#", True),
    (TimeoutError("quiet"), None, False),
    ("banner", TimeoutError("no answer"), False),
    (type("LateAnswer", (TimeoutError,), {})(), None, False),
])
def test_answer_test_outcomes(rec, first, second, answers):
    con, broker = quad(rec, aliases=("a1",))
    spawn = con.subconnections[0].spawn
    spawn.expect_script.extend(s for s in (first, second) if s is not None)
    assert link_broker.BaseQuadRpLinkBroker.is_interactive(broker, con.subconnections[0]) is answers
    expected = [("time.sleep", (0.25,), {}),
                ("a1.spawn.expect", (".+",), dict(timeout=0.25, log_timeout=False))]
    if not isinstance(first, TimeoutError):
        expected += [("a1.spawn.sendline", (), {}),
                     ("a1.spawn.expect", (r"\S+",), dict(timeout=0.25, trim_buffer=False, log_timeout=False))]
    assert rec.events == expected


@pytest.mark.parametrize("error", [ConnectionError("eof"), KeyboardInterrupt(),
                                   builtins.TimeoutError("the host's, not the framework's")])
@pytest.mark.parametrize("before", [[], ["out"]])
def test_answer_test_lets_every_other_error_through(rec, error, before):
    con, broker = quad(rec, aliases=("a1",))
    con.subconnections[0].spawn.expect_script.extend(before + [error])
    with pytest.raises(type(error)) as err:
        link_broker.BaseQuadRpLinkBroker.is_interactive(broker, con.subconnections[0])
    assert err.value is error


def test_answer_test_looks_up_the_timeout_error_at_call_time(rec, monkeypatch):
    con, broker = quad(rec, aliases=("a1",))
    spawn = con.subconnections[0].spawn
    patched = type("PatchedTimeout", (Exception,), {})
    monkeypatch.setattr(link_broker, "TimeoutError", patched)
    spawn.expect_script.append(patched())
    assert link_broker.BaseQuadRpLinkBroker.is_interactive(broker, con.subconnections[0]) is False
    original = TimeoutError("no longer the framework's")
    spawn.expect_script.append(original)
    with pytest.raises(TimeoutError) as err:
        link_broker.BaseQuadRpLinkBroker.is_interactive(broker, con.subconnections[0])
    assert err.value is original


# ---- establish_connection

def test_connection_pass_marks_silent_lines_and_drives_the_others(rec):
    dialogs = []

    class Dialogs(link_broker.BaseQuadRpLinkBroker):
        def get_connection_dialog(self):
            dialogs.append(object())
            return dialogs[-1]

    con, broker = quad(rec, silent=("a2", "b2"), cls=Dialogs)
    con.subconnections[2].hostname_script.append("R7")
    assert broker.establish_connection() is None
    connect = lambda i, s: [
        ("log.debug", (f"connect to {s.alias}",), {}),
        (f"{s.alias}.context.update", ({"cred_list": ["c1"]},), {}),
        (f"{s.alias}.sm.go_to", ("any", s.spawn), dict(context=s.context, prompt_recovery="broker-recovery",
                                                       timeout=60, dialog=dialogs[i])),
        (f"{s.alias}.context.pop", ("cred_list", None), {})]
    a1, a2, b1, b2 = con.subconnections
    prep = [e for s in con.subconnections for e in
            [(f"{s.alias}.sm.learn_hostname=", (True,), {}), (f"{s.alias}.sm.learn_pattern=", ("DEFAULT",), {})]]
    hostnames = [e for s in (a1, a2, b1) for e in
                 [(f"{s.alias}._get_learned_hostname", (), dict(spawn=s.spawn))]]
    stored = [("con.learned_hostname=", ("R7",), {})] + [
        e for s in con.subconnections for e in
        [(f"{s.alias}.learned_hostname=", ("R7",), {}), (f"{s.alias}.sm.learn_hostname=", (False,), {})]]
    assert rec.events == prep + [
        ("self.is_interactive", ("a1",), {}), *connect(0, a1),
        ("self.is_interactive", ("a2",), {}), ("a2.sm.update_cur_state", ("rpr",), {}),
        ("self.is_interactive", ("b1",), {}), *connect(1, b1),
        ("self.is_interactive", ("b2",), {}), ("b2.sm.update_cur_state", ("rpr",), {}),
    ] + hostnames + stored
    assert len(dialogs) == 2 and "cred_list" not in a1.context


@pytest.mark.parametrize("learn, learned, runs", [
    ((False, False, True), (None, None, None), True),
    ((True, True, False), (None, None, None), False),
    ((True, True, True), (None, None, "R9"), False),
    ((True, True, True), ("R9", "", None), True),
])
def test_hostname_learning_is_decided_by_the_last_subconnection(rec, learn, learned, runs):
    con, broker = quad(rec, aliases=ALIASES[:3])
    for sub, flag, name in zip(con.subconnections, learn, learned):
        object.__setattr__(sub, "learn_hostname", flag)
        object.__setattr__(sub, "learned_hostname", name)
    broker.establish_connection()
    assert bool(rec.of("a1._get_learned_hostname")) is runs
    assert bool(rec.of("con.learned_hostname=")) is runs
    told = [sub.state_machine.learn_hostname for sub in con.subconnections]
    assert told == ([False] * 3 if runs else [f and not n for f, n in zip(learn, learned)])


@pytest.mark.parametrize("answers, learned", [
    (["DEFAULT", "R2", "R3", "R4"], "R2"),
    (["DEFAULT"] * 4, "DEFAULT"),
])
def test_first_non_default_hostname_is_stored_everywhere(rec, answers, learned):
    con, broker = quad(rec, silent=("a1",))
    for sub, answer in zip(con.subconnections, answers):
        sub.hostname_script.append(answer)
    broker.establish_connection()
    assert len(rec.of("b2._get_learned_hostname")) == (learned == "DEFAULT")
    assert rec.of("a1._get_learned_hostname")  # silent lines are asked too
    assert [con.learned_hostname] + [s.learned_hostname for s in con.subconnections] == [learned] * 5
    warnings = [e[1] for e in rec.of("log.warning")]
    assert warnings == ([("Failed to learn the hostname.  Using the default hostname pattern DEFAULT. "
                          "This may lead to unstable behavior.",)] if learned == "DEFAULT" else [])


def test_missing_login_credentials_give_an_empty_credential_list(rec):
    con, broker = quad(rec, aliases=("a1",))
    dict.pop(con.subconnections[0].context, "login_creds")
    broker.establish_connection()
    assert rec.of("a1.context.update") == [("a1.context.update", ({"cred_list": None},), {})]


@pytest.mark.parametrize("error", [TimeoutError("stuck"), KeyboardInterrupt()])
def test_failed_drive_stops_the_pass_and_keeps_the_credentials(rec, error):
    con, broker = quad(rec)
    a1, a2, _, _ = con.subconnections
    a2.state_machine.go_to_script["any"] = error
    with pytest.raises(type(error)) as err:
        broker.establish_connection()
    assert err.value is error
    assert "cred_list" in a2.context
    assert rec.of("self.is_interactive")[-1][1] == ("a2",)
    assert not rec.of("con.learned_hostname=")


def test_no_subconnections_is_an_error_before_anything_is_done(rec):
    con, broker = quad(rec, aliases=())
    with pytest.raises(ConnectionError, match="no subconnections"):
        broker.establish_connection()
    assert rec.events == []


# ---- designate_handles

def test_four_handles_from_the_listing_and_the_rpr_marks(rec):
    con, broker = quad(rec)
    set_states(con, "enable", "rpr", "disable", "rpr")
    a1, _, b1, _ = con.subconnections
    a1.execute_script.append(LISTING)
    assert broker.designate_handles() is None
    enable = lambda s: (f"{s.alias}.sm.go_to", ("enable", s.spawn),
                        dict(context=s.context, prompt_recovery=f"{s.alias}-recovery", timeout=60))
    assert rec.events == [
        ("a1.execute", ("show switch",), {}),
        ("con._set_active_alias", ("a1",), {}),
        ("con._set_active_ics_alias", ("a2",), {}),
        ("con._set_standby_alias", ("b1",), {}),
        ("con._set_standby_ics_alias", ("b2",), {}),
        enable(a1), enable(b1),
        ("con._handles_designated=", (True,), {}),
    ]


@pytest.mark.parametrize("states, member_ids, probed, setters, driven", [
    # The probe skips lines not at an exec prompt; "rpr" never qualifies.
    (("rpr", "config", "disable", "enable"), (1, 1, 2, 2), "b1",
     ["active_ics a1", "active a2", "standby b1", "standby b2"], ["a2", "b2"]),
    # A member without a line in the listing is a standby candidate.
    (("enable", "rpr", "enable", "rpr"), (1, 1, 7, 7), "a1",
     ["active a1", "active_ics a2", "standby b1", "standby_ics b2"], ["a1", "b1"]),
    # The last candidate of a class is the one driven to enable.
    (("enable", "enable", "enable", "rpr"), ("1", "1", "2", None), "a1",
     ["active a1", "active a2", "standby b1", "standby_ics b2"], ["a2", "b1"]),
])
def test_classification(rec, states, member_ids, probed, setters, driven):
    con, broker = quad(rec, member_ids=member_ids)
    set_states(con, *states)
    con._subconnections[probed].execute_script.append(LISTING)
    broker.designate_handles()
    assert [e[0] for e in rec.events if e[0].endswith(".execute")] == [f"{probed}.execute"]
    calls = [e for e in rec.events if e[0].startswith("con._set_")]
    assert [f"{e[0][len('con._set_'):-len('_alias')]} {e[1][0]}" for e in calls] == setters
    assert [e[0] for e in rec.events if e[0].endswith("go_to")] == [f"{a}.sm.go_to" for a in driven]
    assert rec.events[-1] == ("con._handles_designated=", (True,), {})


@pytest.mark.parametrize("states, listing", [
    (("generic", "rpr", "config", "rpr"), LISTING),
    (("enable", "rpr", "enable", "rpr"), "1 active a.b 1 V1 Ready\n2 Standby a.b 1 V1 Ready"),
    (("enable", "rpr", "enable", "rpr"), "* 1 Active a.b 1 V1 Ready\n2 Standby a.b 1 V1 Ready"),
    (("enable", "enable", "rpr", "rpr"), "1 Active a.b 1 V1 Ready\n2 Active a.b 1 V1 Ready"),
])
def test_missing_active_or_standby_fails_after_the_setters(rec, states, listing):
    con, broker = quad(rec)
    set_states(con, *states)
    con.subconnections[0].execute_script.append(listing)
    with pytest.raises(ConnectionError, match="^Failed to identify active rp and standby rp$"):
        broker.designate_handles()
    assert len([e for e in rec.events if e[0].startswith("con._set_")]) == 4
    assert not [e for e in rec.events if e[0].endswith("go_to")]
    assert rec.events[-1] == ("con._handles_designated=", (False,), {})


@pytest.mark.parametrize("where", ["execute", "go_to"])
def test_designation_errors_pass_out_unchanged(rec, where):
    con, broker = quad(rec)
    set_states(con, "enable", "rpr", "enable", "rpr")
    error = TimeoutError(where)
    a1 = con.subconnections[0]
    a1.execute_script.append(error if where == "execute" else LISTING)
    a1.state_machine.go_to_script["enable"] = error
    with pytest.raises(TimeoutError) as err:
        broker.designate_handles()
    assert err.value is error
    assert not rec.of("con._handles_designated=")
