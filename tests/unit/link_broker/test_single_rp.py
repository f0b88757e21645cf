"""BaseSingleRpLinkBroker: connect (plain and OS-learning), establish_connection,
init_handle, disconnect."""
from collections import deque

import pytest

from quorvi.bases.routers import link_broker

from .fakes import FakeConnection, FakeNewConnection, FakeState, PatchedFramework, event

Broker = link_broker.BaseSingleRpLinkBroker
REC = "broker-recovery"


@pytest.fixture
def fw(rec):
    with PatchedFramework(rec, link_broker, kwargs={"alias": "cli", "via": "a"}) as patched:
        yield patched


def make(rec, cls=Broker, **con_attrs):
    con = FakeConnection(rec)
    con.device.cli = FakeNewConnection(rec, "cli")
    con.device.default = FakeNewConnection(rec, "default")
    for name, value in con_attrs.items():
        object.__setattr__(con, name, value)
    broker = cls(con)
    rec.events.clear()
    return con, broker


def establish_events(con, dialog, learned_events=(), spawn=None):
    """What establish_connection records when go_to succeeds."""
    spawn = spawn or con.spawn
    return [
        event("sm.learn_hostname=", True),
        event("sm.learn_pattern=", "DEFAULT"),
        event("context.update", {"cred_list": ["c1"]}),
        event("Dialog", []),
        event("sm.go_to", "any", spawn, context=con.context, prompt_recovery=REC,
              timeout=45, dialog=dialog),
        event("con._get_learned_hostname", spawn),
        *learned_events,
        event("sm.learn_hostname=", False),
        event("context.pop", "cred_list", None),
    ]


def learning(rec, **con_attrs):
    return make(rec, os="generic", learn_os=True, **con_attrs)


def test_connect_reaches_enable_and_runs_initial_commands(rec, fw):
    con, broker = make(rec)
    marker = object()
    con.state_machine.go_to_script["any"] = deque([marker])
    assert broker.connect() is marker
    assert rec.events == [
        event("log.info", "connection to R1"),
        *establish_events(con, fw.dialogs[0]),
        event("log.info", "+++ initializing handle +++"),
        event("sm.go_to", "enable", con.spawn, context=con.context, prompt_recovery=REC,
              timeout=45),
        event("con.execute", "term len 0", prompt_recovery=REC),
        event("con.configure", ["no logging console"], prompt_recovery=REC),
    ]
    assert rec.of("sm.go_to")[0][2]["context"] is con.context
    assert con.context == {"login_creds": ["c1"]}


@pytest.mark.parametrize("os_name, learn_os", [
    ("generic", False), ("generic", None), ("orbix", True), ("Generic", True)])
def test_no_os_learning_unless_generic_and_asked(rec, fw, os_name, learn_os):
    _, broker = make(rec, os=os_name, learn_os=learn_os)
    broker.connect()
    assert "learn_os_platform" not in rec.names()
    assert ("info", "+++ initializing handle +++") in broker.connection.log.lines


@pytest.mark.parametrize("mit", [True, 1, "yes"])
def test_mit_stops_after_establish_connection(rec, fw, mit):
    con, broker = make(rec, mit=mit)
    assert broker.connect() == "go_to:any"
    assert rec.events == [event("log.info", "connection to R1"),
                          *establish_events(con, fw.dialogs[0])]


@pytest.mark.parametrize("goto_enable", [False, 0, "", None])
def test_init_handle_without_goto_enable_still_runs_commands(rec, fw, goto_enable):
    _, broker = make(rec, goto_enable=goto_enable)
    broker.init_handle()
    assert rec.names() == ["con.execute", "con.configure"]


def test_connect_runs_the_overrides_of_a_subclass(rec, fw):
    class Platform(Broker):
        def establish_connection(self):
            rec("override.establish_connection")
            return "mine"

        def init_handle(self):
            rec("override.init_handle")

        def execute_init_commands(self, *args, **kwargs):
            rec("override.execute_init_commands", *args, **kwargs)

    _, broker = make(rec, Platform)
    assert broker.connect() == "mine"
    assert rec.names() == ["log.info", "override.establish_connection", "log.info",
                           "override.init_handle"]
    rec.events.clear()
    Broker.init_handle(broker)
    assert rec.events[-1] == event("override.execute_init_commands")


def test_establish_connection_passes_the_overridden_dialog(rec, fw):
    class Platform(Broker):
        def get_connection_dialog(self):
            return "platform dialog"

    con, broker = make(rec, Platform)
    broker.establish_connection()
    assert rec.of("sm.go_to")[0][2]["dialog"] == "platform dialog"


def test_os_learning_redirects_to_the_learned_os(rec, fw):
    con, broker = learning(rec)
    con.execute_script.append("Orbix software, ox900")
    fw.learner.script.append(("orbix", "ox900"))
    old_spawn = con.spawn
    assert broker.connect() is None
    assert rec.events == [
        event("log.info", "connection to R1"),
        event("log.info", "Learning device dev1 os"),
        event("sm.learn_os_state"),
        *establish_events(con, fw.dialogs[0], spawn=old_spawn),
        event("con.execute", "show version", allow_state_change=True),
        event("learn_os_platform", con, "Orbix software, ox900", con.settings.OS_MAPPING),
        event("log.info", "\nLearned device os: orbix\nLearned device platform: ox900"
                          "\nRedirect to corresponding plugins."),
        event("device.os=", "orbix"),
        event("device.platform=", "ox900"),
        event("update_connection_kwargs", con),
        event("device.destroy"),
        event("device.connect", alias="cli", via="a"),
        event("con.spawn=", con.device.cli.spawn),
    ]
    assert con.spawn is con.device.cli.spawn is not old_spawn
    assert rec.of("learn_os_platform")[0][1][2] is con.settings.OS_MAPPING


@pytest.mark.parametrize("outputs, answers, sent, failed, result", [
    # first command fails (a framework error is an Exception too), second gives the OS
    ([link_broker.ConnectionError("no"), "o2"], [("tessel", "ts5k")], ["c1", "c2"], ["c1"],
     ("tessel", "ts5k")),
    # an empty OS does not stop the search
    (["o1", "o2"], [("", "ox20"), ("orbix", "ox20")], ["c1", "c2"], [], ("orbix", "ox20")),
    # the first OS found stops the search
    (["o1", "o2"], [("orbix", "")], ["c1"], [], ("orbix", "")),
])
def test_os_learning_tries_commands_in_order(rec, fw, outputs, answers, sent, failed, result):
    con, broker = learning(rec)
    con.settings.LEARN_OS_COMMANDS = ["c1", "c2", "c3"]
    con.execute_script.extend(outputs)
    fw.learner.script.extend(answers)
    broker.connect()
    assert [e[1][0] for e in rec.of("con.execute")] == sent
    assert [m for _, m in con.log.lines if m.startswith("Failed")] == [
        f'Failed to execute command "{c}"' for c in failed]
    assert [e[1][1] for e in rec.of("learn_os_platform")] == [
        o for o in outputs if isinstance(o, str)][:len(answers)]
    assert (con.device.os, con.device.platform) == result


def test_empty_platform_logs_the_short_message_and_stores_it(rec, fw):
    con, broker = learning(rec)
    fw.learner.script.append(("orbix", ""))
    broker.connect()
    assert ("info", "\nLearned device os: orbix\nRedirect to corresponding plugins.") \
        in con.log.lines
    assert con.device.platform == ""


def test_kwargs_without_alias_take_the_spawn_of_the_default_connection(rec, fw):
    con, broker = learning(rec)
    fw.kwargs.kwargs = {"via": "b"}
    fw.learner.script.append(("orbix", "ox900"))
    broker.connect()
    assert rec.of("device.connect") == [event("device.connect", via="b")]
    assert con.spawn is con.device.default.spawn


def test_existing_learn_os_state_is_not_added_again(rec, fw):
    con, broker = learning(rec)
    con.state_machine.states.append(FakeState("learn_os"))
    fw.learner.script.append(("orbix", "ox900"))
    broker.connect()
    assert "sm.learn_os_state" not in rec.names()


@pytest.mark.parametrize("commands, outputs, answers", [
    ([], [], []),
    (["c1", "c2"], [RuntimeError("a"), RuntimeError("b")], []),
    (["c1", "c2"], ["o1", "o2"], [("", ""), ("", "ox900")]),
])
def test_no_learned_os_raises_after_establish_connection(rec, fw, commands, outputs, answers):
    con, broker = learning(rec)
    con.settings.LEARN_OS_COMMANDS = commands
    con.execute_script.extend(outputs)
    fw.learner.script.extend(answers)
    with pytest.raises(Exception) as raised:
        broker.connect()
    assert type(raised.value) is Exception
    assert str(raised.value) == "Failed to learn device os"
    assert raised.value.os_learning_failed is True  # the framework's marker
    assert "sm.go_to" in rec.names()
    assert (con.device.os, con.device.platform) == ("generic", None)
    assert not {"device.destroy", "device.connect", "update_connection_kwargs", "con.spawn="} \
        & set(rec.names())


def _raise_in_execute(con, fw, error):
    con.execute_script.append(error)


def _raise_in_learner(con, fw, error):
    con.execute_script.append("out")
    fw.learner.script.append(error)


def _raise_in_kwargs(con, fw, error):
    fw.learner.script.append(("orbix", "ox900"))

    def failing(c):
        raise error
    link_broker.update_connection_kwargs = failing  # the fixture restores the name


def _raise_in_device_connect(con, fw, error):
    fw.learner.script.append(("orbix", "ox900"))
    con.device.connect_error = error


@pytest.mark.parametrize("arrange, done, not_done, error", [
    # only the Exception family is caught around a learning command
    (_raise_in_execute, [], ["learn_os_platform"], KeyboardInterrupt()),
    (_raise_in_execute, [], ["learn_os_platform"], SystemExit(3)),
    (_raise_in_learner, ["learn_os_platform"], ["device.os="], link_broker.TimeoutError("t")),
    (_raise_in_learner, ["learn_os_platform"], ["device.os="], KeyboardInterrupt()),
    (_raise_in_kwargs, ["device.os=", "device.platform="], ["device.destroy"],
     RuntimeError("k")),
    (_raise_in_device_connect, ["device.destroy", "device.connect"], ["con.spawn="],
     link_broker.ConnectionError("c")),
])
def test_uncaught_errors_of_os_learning_reach_the_caller(rec, fw, arrange, done,
                                                         not_done, error):
    con, broker = learning(rec)
    arrange(con, fw, error)
    with pytest.raises(BaseException) as raised:
        broker.connect()
    assert raised.value is error
    names = rec.names()
    assert all(n in names for n in done)
    assert not any(n in names for n in not_done)
    assert not [m for _, m in con.log.lines if m.startswith("Failed")]


@pytest.mark.parametrize("learn, before, answer, logs, stored, mismatch", [
    (True, None, "R9", [("info", "Learned hostname(s): 'R9'.")], "R9", False),
    (True, "", "DEFAULT", [
        ("info", "Learned hostname(s): 'DEFAULT'."),
        ("warning", "Using the default hostname pattern DEFAULT. "
                    "This may lead to unstable behavior.")], "DEFAULT", False),
    # a hostname learned before: only the passive check runs
    (True, "R1", "R9", [("warning", "Invalid hostname detected: found R9, expected R1")],
     "R1", True),
    (False, None, "R9", [("warning", "Invalid hostname detected: found R9, expected R1")],
     None, True),
    (False, None, "R1-re0", [], None, False),
    (False, None, "DEFAULT", [], None, False),
])
def test_hostname_learning_and_passive_check(rec, fw, learn, before, answer, logs, stored,
                                             mismatch):
    con, broker = make(rec, learn_hostname=learn, learned_hostname=before)
    con.hostname_script.append(answer)
    broker.establish_connection()
    assert con.log.lines == logs
    assert con.learned_hostname == stored
    assert con.spawn.hostname_mismatch is mismatch
    assert con.state_machine.learn_hostname is False


def test_missing_login_creds_give_an_empty_cred_list_that_is_removed_afterwards(rec, fw):
    con, broker = make(rec)
    con.context.clear()
    dict.__setitem__(con.context, "cred_list", "stale")
    broker.establish_connection()
    assert rec.of("context.update") == [event("context.update", {"cred_list": None})]
    assert "cred_list" not in con.context


@pytest.mark.parametrize("where", ["go_to", "hostname"])
@pytest.mark.parametrize("error", [link_broker.TimeoutError("slow"), KeyboardInterrupt()])
def test_failure_inside_establish_connection_skips_the_cleanup(rec, fw, where, error):
    con, broker = make(rec, learn_hostname=True)
    if where == "go_to":
        con.state_machine.go_to_script["any"] = deque([error])
    else:
        con.hostname_script.append(error)
    with pytest.raises(BaseException) as raised:
        broker.connect()
    assert raised.value is error
    assert con.state_machine.learn_hostname is True
    assert con.context["cred_list"] == ["c1"]
    assert con.learned_hostname is None
    assert ("con._get_learned_hostname" in rec.names()) is (where == "hostname")
    assert "+++ initializing handle +++" not in [m for _, m in con.log.lines]


def test_enable_failure_stops_before_the_initial_commands(rec, fw):
    con, broker = make(rec)
    error = link_broker.ConnectionError("no enable")
    con.state_machine.go_to_script["enable"] = deque([error])
    with pytest.raises(link_broker.ConnectionError) as raised:
        broker.connect()
    assert raised.value is error
    assert not {"con.execute", "con.configure"} & set(rec.names())


def test_disconnect_closes_the_spawn_and_passes_its_error_on(rec, fw):
    con, broker = make(rec)
    assert broker.disconnect() is None
    assert rec.events == [event("spawn.close")]
    con.spawn.close_error = error = OSError("gone")
    with pytest.raises(OSError) as raised:
        broker.disconnect()
    assert raised.value is error
