"""Fault injection: each framework call a link broker makes in a successful
connect or disconnect is made to fail in turn.

A scenario is run once to record every call (and every read of a watched
attribute) in order. Then, for each of those calls, the scenario is run again
with the n-th call raising: the very same exception object must reach the
caller, nothing after that call may have happened (the event log is the
recorded prefix), and the state left behind is what a failure there leaves:
nothing is rolled back or cleaned up. Where the brokers catch the ordinary
error family (OS learning's execute, the dual enable pass) or the framework's
TimeoutError (the quad answer test), that error is handled instead, while
KeyboardInterrupt and SystemExit still get through.
"""
import re
import sys
from unittest import mock

import pytest

from quorvi.bases.routers import link_broker
from quorvi.core.errors import ConnectionError, TimeoutError

from .fakes import (FakeConnection, FakeContext, FakeDialog, FakeNewConnection, FakeTime,
                    PatchedFramework, Recorded, Recorder, default_settings, switch_listing)

# Event names that stand for a framework call (or a read) that can be made to fail.
CALL = re.compile(r"(\.go_to|\.execute|^con\.configure|\.sendline|\.expect|\.close"
                  r"|_get_learned_hostname|^con\._set_\w+_alias|^learn_os_platform"
                  r"|^update_connection_kwargs|^device\.connect|^device\.destroy|\.learn_os_state"
                  r"|\.update_cur_state|\.get_state|^Dialog|^time\.sleep|\?)$")

# Attribute reads recorded as "<label>.<name>?" and made to fail like calls.
WATCHED_READS = {
    "con": {"subconnections", "_subconnections", "active", "standby", "settings", "device",
            "context", "spawn", "state_machine", "mit"},
    "sub": {"spawn", "state_machine", "context"},
    "sm": {"current_state", "states"},
}
FAKES_FILE = sys.modules[FakeConnection.__module__].__file__

LISTING = switch_listing("*1  Active   0c75.bd11.2280  15  V01  Ready",
                         "2  Standby  0c75.bd11.2281  14  V01  Ready",
                         "3  Member   0c75.bd11.2282  1  V01  Ready")
ALIASES = {"single": (), "dual": ("rp1", "rp2"), "stack": ("sw1", "sw2", "sw3"),
           "quad": ("a1", "a2", "b1", "b2")}
MEMBERS = {"quad": [1, 1, 2, 2]}
BROKERS = {"single": link_broker.BaseSingleRpLinkBroker, "dual": link_broker.BaseDualRpLinkBroker,
           "stack": link_broker.BaseStackRpLinkBroker, "quad": link_broker.BaseQuadRpLinkBroker}
# scenario -> (chassis kind, operation, OS learning)
SCENARIOS = {
    "single": ("single", "connect", False),
    "single-os": ("single", "connect", True),
    "dual": ("dual", "connect", False),
    "dual-os": ("dual", "connect", True),
    "stack": ("stack", "connect", False),
    "quad": ("quad", "connect", False),
    "quad-os": ("quad", "connect", True),
    **{f"{kind}-disconnect": (kind, "disconnect", False) for kind in ALIASES},
}


class FaultRecorder(Recorder):
    """Records events; the call numbered `fail_at` (counting from 0) raises `error`."""

    def __init__(self, fail_at=None, error=None):
        super().__init__()
        self.calls = []  # positions in `events` of the counted calls
        self.fail_at, self.error = fail_at, error
        self.on = False

    def __call__(self, name, *args, **kwargs):
        if not self.on:
            return
        super().__call__(name, *args, **kwargs)
        if CALL.search(name):
            self.calls.append(len(self.events) - 1)
            if len(self.calls) - 1 == self.fail_at:
                raise self.error


def watch_reads(obj, label, names, rec):
    """Record reads of `names` on `obj` made by the broker (reads by the fakes'
    own code are part of the call being made and are not counted)."""
    base = type(obj)

    def getattribute(self, name):
        if name in names and sys._getframe(1).f_code.co_filename != FAKES_FILE:
            rec(f"{label}.{name}?")
        return base.__getattribute__(self, name)

    obj.__class__ = type("Watched" + base.__name__, (base,), {"__getattribute__": getattribute})


def build(kind, os_learning, rec):
    """A connection whose every line comes up: lines come up at "disable", the dual's
    first line answers active, the quad's second RP of each member is silent."""
    aliases = ALIASES[kind]
    con = FakeConnection(rec, aliases, MEMBERS.get(kind),
                         settings=default_settings(LEARN_OS_COMMANDS=["show version", "show inventory"]))
    object.__setattr__(con, "learn_hostname", True)
    con.execute_script = "Redundancy State              = Stateful Switchover"
    con.hostname_script = "R1"
    if os_learning:
        object.__setattr__(con, "os", "generic")
        object.__setattr__(con, "learn_os", True)
    con.device.cli = FakeNewConnection(rec, "cli", aliases)
    for sub in con.subconnections:
        sub.state_machine.go_to_script["any"] = "disable"
        sub.execute_script = LISTING
        sub.hostname_script = "R1"
        sub.spawn.expect_script = "my state = 13 -ACTIVE"
    if kind == "quad":
        for sub in con.subconnections[1::2]:
            sub.spawn.expect_script = TimeoutError("silent")
    watch_reads(con, "con", WATCHED_READS["con"], rec)
    watch_reads(con.state_machine, "sm", WATCHED_READS["sm"], rec)
    for sub in con.subconnections:
        watch_reads(sub, sub.alias, WATCHED_READS["sub"], rec)
        watch_reads(sub.state_machine, f"{sub.alias}.sm", WATCHED_READS["sm"], rec)
    return con, BROKERS[kind](con)


class Run:
    """One run of a scenario: its events, its connection and how it ended."""

    def __init__(self, scenario, fail_at=None, error=None):
        self.kind, operation, os_learning = SCENARIOS[scenario]
        self.rec = rec = FaultRecorder(fail_at, error)
        self.raised = None
        with PatchedFramework(rec, link_broker) as fw, \
                mock.patch.object(link_broker, "time", FakeTime(rec)):
            fw.learner.script = ("orbix", "ox900")
            self.con, broker = build(self.kind, os_learning, rec)
            rec.on = True
            try:
                self.result = getattr(broker, operation)()
            except BaseException as exc:  # noqa: B036 - the harness takes every outcome
                self.raised = exc
            rec.on = False
        self.events = [normal(e) for e in rec.events]
        self.calls = rec.calls

    def call(self, index):
        return self.events[self.calls[index]]


def normal(value):
    """An event (or an argument) in a form comparable across runs."""
    if isinstance(value, (FakeContext, Recorded)):
        return f"<{value._label}>"
    if isinstance(value, FakeDialog):
        return "<dialog>"
    if isinstance(value, (list, tuple)):
        return type(value)(normal(v) for v in value)
    if isinstance(value, dict):
        return {k: normal(v) for k, v in value.items()}
    return value


BASE = {name: Run(name) for name in SCENARIOS}
CASES = [pytest.param(name, i, id=f"{name}-{i}-{run.call(i)[0]}")
         for name, run in BASE.items() for i in range(len(run.calls))]
ERRORS = (ConnectionError, KeyboardInterrupt, SystemExit)


def test_every_scenario_succeeds_and_covers_every_kind_of_call():
    for name, run in BASE.items():
        assert run.raised is None, (name, run.raised)
    seen = {e[0].split(".")[-1] for run in BASE.values() for e in run.events if CALL.search(e[0])}
    assert {"go_to", "execute", "configure", "sendline", "expect", "close", "_get_learned_hostname",
            "_set_active_alias", "_set_standby_alias", "_set_active_ics_alias",
            "_set_standby_ics_alias", "learn_os_platform", "update_connection_kwargs", "connect",
            "destroy", "learn_os_state", "update_cur_state", "get_state", "Dialog", "sleep"} <= seen
    assert {"active?", "standby?", "spawn?", "subconnections?", "current_state?"} <= seen


# The attributes a go_to call reads, in the order Python reads them for
# `line.state_machine.go_to(state, line.spawn, context=line.context, ...)`.
GO_TO_READS = ["state_machine", "spawn", "context"]


@pytest.mark.parametrize("name", [n for n, (_, operation, _) in SCENARIOS.items()
                                  if operation == "connect"])
def test_a_go_to_call_reads_the_method_then_its_arguments_left_to_right(name):
    events = [e[0] for e in BASE[name].events]
    checked = 0
    for i, event in enumerate(events):
        call = re.fullmatch(r"(?:(\w+)\.)?sm\.go_to", event)
        if not call:
            continue
        line = call.group(1) or "con"  # a single-RP connection's own state machine is "sm"
        # The reads of this line made right before the call (a Dialog made
        # for it may stand among them).
        reads, j = [], i - 1
        while j >= 0 and (events[j].endswith("?") or events[j] == "Dialog"):
            if events[j].startswith(line + ".") and events[j].count(".") == 1:
                reads.insert(0, events[j][len(line) + 1:-1])
            j -= 1
        reads = [r for r in reads if r in GO_TO_READS]
        assert reads == sorted(reads, key=GO_TO_READS.index), (name, i, events[j + 1:i + 1])
        checked += "spawn" in reads
    assert checked


# ---- where the brokers catch an ordinary error

def os_learning_execute(base, index):
    event = base.call(index)
    return event[0] == "con.execute" and event[2].get("allow_state_change") is True


def dual_enable_pass(base, index):
    """Which line (0 or 1) the call belongs to in the dual's enable pass: the
    events after a line's second "in state" log up to its go_to "enable"."""
    if base.kind != "dual":
        return None
    states = [i for i, e in enumerate(base.events) if e[0] == "log.debug" and "in state" in e[1][0]]
    if len(states) < 4:
        return None
    position = base.calls[index]
    for line, start in enumerate(states[1:3]):
        go_to = next(i for i in range(start, len(base.events))
                     if base.events[i][0].endswith(".sm.go_to") and base.events[i][1][0] == "enable")
        if start < position <= go_to:
            return line
    return None


def handled_as_ordinary(name, index):
    base = BASE[name]
    return os_learning_execute(base, index) or dual_enable_pass(base, index) is not None


# ---- what a failure leaves behind

def check_left_behind(base, run, position):
    """The documented state after a failure at event `position` of `base`:
    what ran before stays done; the failed call and nothing after it happened."""
    prefix = base.events[:position]
    con = run.con

    def done(predicate):
        return any(predicate(e) for e in prefix)

    # The entry "cred_list" is added while a line is driven and removed after
    # it; a failure in between keeps it.
    contexts = {"context": con.context, **{f"{s.alias}.context": s.context for s in con.subconnections}}
    for label, context in contexts.items():
        ops = [e[0] for e in prefix if e[0] in (f"{label}.update", f"{label}.pop")]
        assert ("cred_list" in context) == bool(ops and ops[-1].endswith(".update")), label

    # Hostname learning: switched on for every line, switched off and stored
    # only once every line is up.
    machines = [(f"{s.alias}.sm", s.state_machine) for s in con.subconnections] \
        or [("sm", con.state_machine)]
    for label, machine in machines:
        writes = [e[1][0] for e in prefix if e[0] == f"{label}.learn_hostname="]
        assert machine.learn_hostname is (writes[-1] if writes else False), label
    if not done(lambda e: e[0] == "con.learned_hostname="):
        assert con.learned_hostname is None
        assert all(s.learned_hostname is None for s in con.subconnections)

    # Designation: aliases already recorded stay recorded; the flag is only
    # set at the end.
    for role in ("active", "standby"):
        given = [e[1][0] for e in prefix if e[0] == f"con._set_{role}_alias"]
        assert getattr(con, f"{role}_alias") == (given[-1] if given else None)
    if not done(lambda e: e[0] == "con._handles_designated="):
        assert con._handles_designated is None

    # OS learning: the device keeps its OS until one is learned, and is only
    # destroyed and reconnected after that.
    if not done(lambda e: e[0] == "device.os="):
        assert (con.device.os, con.device.platform) == ("generic", None)
    if not done(lambda e: e[0] == "device.connect"):
        assert con.mit is False
        assert str(con.spawn) == "spawn"
        assert all(str(s.spawn) == f"{s.alias}.spawn" for s in con.subconnections)

    # The redundancy mode is written on every line at once, after it was read.
    if not done(lambda e: e[0].endswith(".mode=")):
        assert all(s.mode is None for s in con.subconnections)


# Every call with every error, but for an ordinary error where it is caught.
PROPAGATING = [pytest.param(*case.values, error, id=f"{case.id}-{error.__name__}")
               for case in CASES for error in ERRORS
               if error is not ConnectionError or not handled_as_ordinary(*case.values)]


@pytest.mark.parametrize("name, index, error_type", PROPAGATING)
def test_a_failing_call_reaches_the_caller_and_stops_the_broker(name, index, error_type):
    base = BASE[name]
    error = error_type(f"injected at call {index}")
    run = Run(name, index, error)
    assert run.raised is error
    position = base.calls[index]
    assert run.events == base.events[:position + 1]
    check_left_behind(base, run, position)


# ---- ordinary errors where they are caught; the quad answer test's timeout

OS_CASES = [c for c in CASES if os_learning_execute(BASE[c.values[0]], c.values[1])]
ENABLE_PASS_CASES = [c for c in CASES if dual_enable_pass(BASE[c.values[0]], c.values[1]) is not None]


@pytest.mark.parametrize("name, index", OS_CASES)
def test_a_failing_os_learning_command_is_logged_and_the_next_target_tried(name, index):
    base = BASE[name]
    failed = base.call(index)
    run = Run(name, index, ConnectionError("no answer"))
    assert run.raised is None
    position = base.calls[index]
    assert run.events[:position + 1] == base.events[:position + 1]
    assert run.events[position + 1] == ("log.info", (f'Failed to execute command "{failed[1][0]}"',), {})
    tried = [e for e in run.events[position + 1:] if e[0] == "con.execute"][0]
    targets = [s.alias for s in run.con.subconnections]
    if targets and failed[2]["target"] != targets[-1]:
        next_try = (failed[1], dict(failed[2], target=targets[targets.index(failed[2]["target"]) + 1]))
    else:
        next_try = (("show inventory",), dict(failed[2]))
    assert (tried[1], tried[2]) == next_try
    assert (run.con.device.os, run.con.device.platform) == ("orbix", "ox900")
    assert [e[0] for e in run.events].count("device.connect") == 1


@pytest.mark.parametrize("name, index", ENABLE_PASS_CASES)
def test_a_line_failing_the_dual_enable_pass_stays_put_and_the_other_is_asked(name, index):
    base = BASE[name]
    line = dual_enable_pass(base, index)
    run = Run(name, index, ConnectionError("no enable"))
    assert run.raised is None
    position = base.calls[index]
    assert run.events[:position + 1] == base.events[:position + 1]
    asked = [e[0] for e in run.events if e[1][:1] == ("sh redundancy stat | inc my state",)]
    rp1, rp2 = ALIASES["dual"]
    queried, other = (rp2, rp1) if line == 0 else (rp1, rp2)
    assert asked == [f"{queried}.spawn.sendline"]
    assert (run.con.active_alias, run.con.standby_alias) == (queried, other)
    assert run.con._handles_designated is True


QUAD_EXPECTS = [c for c in CASES if c.values[0] == "quad"
                and BASE["quad"].call(c.values[1])[0].endswith(".spawn.expect")]


@pytest.mark.parametrize("name, index", QUAD_EXPECTS)
def test_a_quad_line_timing_out_in_the_answer_test_becomes_an_ics_handle(name, index):
    base = BASE[name]
    failed = base.call(index)
    alias = failed[0].split(".")[0]
    run = Run(name, index, TimeoutError("quiet"))
    names = [e[0] for e in run.events]
    assert f"{alias}.sm.update_cur_state" in names and f"{alias}.context.update" not in names
    if failed[1] == (".+",):
        assert names.count(f"{alias}.spawn.sendline") == 0
    # Members 1 and 2 are Active and Standby; their second RPs were silent already.
    silent = {alias, *ALIASES["quad"][1::2]}
    answering = {m: [a for a, n in zip(ALIASES["quad"], MEMBERS["quad"]) if n == m and a not in silent]
                 for m in (1, 2)}
    ics = {"active": [a for a in ALIASES["quad"][:2] if a in silent],
           "standby": [a for a in ALIASES["quad"][2:] if a in silent]}
    for role, aliases in ics.items():
        assert [e[1][0] for e in run.events if e[0] == f"con._set_{role}_ics_alias"] == aliases
    if answering[1] and answering[2]:
        assert run.raised is None
        assert (run.con.active_alias, run.con.standby_alias) == (answering[1][-1], answering[2][-1])
        assert run.con._handles_designated is True
    else:
        assert isinstance(run.raised, ConnectionError)
        assert str(run.raised) == "Failed to identify active rp and standby rp"
        assert run.con._handles_designated is False
