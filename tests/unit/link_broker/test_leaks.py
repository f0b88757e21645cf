"""Ten thousand connects of every chassis kind, on plain and OS-learning
roads and on the roads that fail, leave memory flat and every reference
count of the connection and its members as it was.

The recording fakes keep every event, so memory would grow with them; these
fakes answer the same calls and remember nothing."""
from types import SimpleNamespace

import pytest

from quorvi.bases.routers import link_broker
from quorvi.core.errors import ConnectionError, TimeoutError

from ..memory import Flat

HOSTNAME = "".join(["R", "1"])  # an object of its own, to watch its count
CREDS = ["c1"]
KWARGS = {"alias": "cli"}
SHOW_SWITCH = "\n".join([
    "Switch#  Role     Mac Address      Priority  Version  State",
    "-" * 62,
    "*1  Active   0c75.bd11.2280  15  V01  Ready",
    "2  Standby  0c75.bd11.2281  14  V01  Ready"])
LONE_ACTIVE = SHOW_SWITCH.rsplit("\n", 1)[0]


class Quiet:
    def info(self, *args):
        pass

    debug = warning = info


class NoSleep:
    def sleep(self, seconds):
        pass


class Dialog:
    def __init__(self, statements):
        self.statements = statements


def learn_os_platform(con, output, mapping):
    return ("orbix", "ox900") if output == "version orbix" else ("", "")


def update_connection_kwargs(con):
    return KWARGS


class State:
    def __init__(self, name):
        self.name, self.pattern = name, name + "#"

    def __str__(self):
        return self.name


class Machine:
    """Reaches whatever it is sent to; "any" is the line's own `home` state.
    A machine that cannot reach enable raises a new framework error."""

    def __init__(self, home="enable", reaches_enable=True):
        self.states = [State("disable"), State("enable")]
        self.home, self.reaches_enable = home, reaches_enable
        self.current_state = self._current_state = home
        self.learn_hostname, self.learn_pattern = False, None

    def go_to(self, to_state=None, spawn=None, **kwargs):
        if to_state == "enable" and not self.reaches_enable:
            raise ConnectionError("enable refused")
        self.current_state = self.home if to_state == "any" else to_state
        return to_state

    def get_state(self, name):
        return self.states[name == "enable"]

    def learn_os_state(self):
        pass

    def update_cur_state(self, name):
        self.current_state = name


class Line:
    """A console: a silent one times out on every expect."""

    def __init__(self, name, answer="", silent=False):
        self.name, self.silent = name, silent
        self.answer = SimpleNamespace(match_output=answer)
        self.buffer, self.hostname_mismatch = "", False

    def __str__(self):
        return self.name

    def sendline(self, *args):
        pass

    def expect(self, pattern, **kwargs):
        if self.silent:
            raise TimeoutError("silent")
        return self.answer

    def close(self):
        pass


class Sub:
    def __init__(self, alias, member_id=None, answer="", silent=False, home="enable",
                 reaches_enable=True, switch=SHOW_SWITCH):
        self.alias, self.member_id, self.switch = alias, member_id, switch
        self.spawn = Line(alias, answer, silent)
        self.state_machine = Machine(home, reaches_enable)
        self.context = {"login_creds": CREDS}
        self.connection_timeout, self.prompt_recovery = 60, False
        self.learn_hostname, self.learned_hostname, self.mode = True, None, None

    def _get_learned_hostname(self, spawn=None):
        return HOSTNAME

    def execute(self, command, **kwargs):
        return self.switch

    def sendline(self, *args):
        pass


class Device:
    name = "dev1"

    def __init__(self, aliases):
        self.os, self.platform = "generic", None
        self.cli = SimpleNamespace(spawn=Line("cli.new"), subconnections=[
            SimpleNamespace(alias=a, spawn=Line(a + ".new")) for a in aliases])

    def destroy(self):
        pass

    def connect(self, **kwargs):
        pass


def settings(**overrides):
    values = dict(HA_INIT_EXEC_COMMANDS=["term len 0"], HA_INIT_CONFIG_COMMANDS=["no logging console"],
                  HA_STANDBY_UNLOCK_COMMANDS=["redundancy", "unlock"],
                  LEARN_OS_COMMANDS=["show version", "show ver"], OS_MAPPING={},
                  DEFAULT_LEARNED_HOSTNAME="DEFAULT", EXEC_TIMEOUT=30, DETECT_RPR_TIMEOUT=0)
    values.update(overrides)
    return SimpleNamespace(**values)


class Con:
    def __init__(self, subs=(), os="orbix", **overrides):
        self.settings = settings(**overrides)
        self.hostname, self.os, self.learn_os, self.learn_hostname = "R1", os, True, True
        self.goto_enable = self.standby_goto_enable = True
        self.prompt_recovery, self.connection_timeout = False, 45
        self.init_exec_commands = self.init_config_commands = None
        self.context = {"login_creds": CREDS}
        self.device = Device([s.alias for s in subs])
        self.mit, self._handles_designated, self.learned_hostname = False, None, None
        self.spawn, self.state_machine, self.log = Line("cli"), Machine(), Quiet()
        self._subconnections = {s.alias: s for s in subs}
        self.subconnections = list(subs)
        self.active_alias = self.standby_alias = self.ics = None

    active = property(lambda self: self._subconnections[self.active_alias])
    standby = property(lambda self: self._subconnections[self.standby_alias])

    def _set_active_alias(self, alias):
        self.active_alias = alias

    def _set_standby_alias(self, alias):
        self.standby_alias = alias

    def _set_active_ics_alias(self, alias):
        self.ics = alias

    _set_standby_ics_alias = _set_active_ics_alias

    def execute(self, command, **kwargs):
        if command == "sh redundancy state":
            return "Redundancy State = sso"
        if command == "show version":
            raise ConnectionError("unknown command")  # caught by OS learning
        return "version orbix"

    def configure(self, *args, **kwargs):
        pass

    def _get_learned_hostname(self, spawn):
        return HOSTNAME

    def members(self):
        """The connection and everything it hands to a broker."""
        found = [self, self.settings, self.context, self.device, self.device.cli, self.spawn,
                 self.state_machine, self.log]
        found += [v for v in vars(self.settings).values() if isinstance(v, (list, dict))]
        for sub in self.subconnections + self.device.cli.subconnections:
            found += [sub, sub.spawn]
            if isinstance(sub, Sub):
                found += [sub.state_machine, sub.context, sub.spawn.answer]
        return found


def dual(**kw):
    return [Sub("rp1", answer="my state = ACTIVE", **kw), Sub("rp2", answer="my state = STANDBY", **kw)]


def quad(silent=(False, True, False, True)):
    return [Sub(a, m, silent=s) for a, m, s in zip(("a1", "a2", "b1", "b2"), (1, 1, 2, 2), silent)]


def roads():
    """Each road: the broker class, its connection and the error that ends
    its connect (None when the connect succeeds)."""
    # The first line stays at disable, so the second is asked and is the
    # active; the standby is then left where it is.
    refusing = Con([Sub("rp1", home="disable", reaches_enable=False),
                    Sub("rp2", answer="my state = ACTIVE")])
    refusing.standby_goto_enable = False
    return {
        "single": (link_broker.BaseSingleRpLinkBroker, Con(), None),
        "single, learning the OS": (link_broker.BaseSingleRpLinkBroker, Con(os="generic"), None),
        "single, OS not learned": (link_broker.BaseSingleRpLinkBroker,
                                   Con(os="generic", LEARN_OS_COMMANDS=["show version"]), Exception),
        "dual": (link_broker.BaseDualRpLinkBroker, Con(dual()), None),
        "dual, first line refuses enable": (link_broker.BaseDualRpLinkBroker, refusing, None),
        "dual, no line at enable": (link_broker.BaseDualRpLinkBroker,
                                    Con(dual(home="disable", reaches_enable=False)), ConnectionError),
        "dual, learning the OS": (link_broker.BaseDualRpLinkBroker, Con(dual(), os="generic"), None),
        "stack": (link_broker.BaseStackRpLinkBroker, Con([Sub("s1"), Sub("s2"), Sub("s3")]), None),
        "stack without a standby": (link_broker.BaseStackRpLinkBroker,
                                    Con([Sub("s1", switch=LONE_ACTIVE), Sub("s2")]), ConnectionError),
        "quad": (link_broker.BaseQuadRpLinkBroker, Con(quad()), None),
        "quad, every line silent": (link_broker.BaseQuadRpLinkBroker, Con(quad((True,) * 4)),
                                    ConnectionError),
    }


@pytest.fixture
def framework(monkeypatch):
    for name, value in [("time", NoSleep()), ("Dialog", Dialog),
                        ("learn_os_platform", learn_os_platform),
                        ("update_connection_kwargs", update_connection_kwargs)]:
        monkeypatch.setattr(link_broker, name, value)


def connect(broker_class, con, fails):
    """One connect with a new broker, and a disconnect after it. Every other
    time the hostname is learned again; OS learning turns `mit` on."""
    con.mit = False
    con.relearn = not getattr(con, "relearn", False)
    if con.relearn:
        con.learned_hostname = None
        for sub in con.subconnections:
            sub.learned_hostname = None
    broker = broker_class(con)
    try:
        broker.connect()
    except Exception as error:  # noqa: B902 - compared with the road's own failure
        assert fails is not None and type(error) is fails, error
    else:
        assert fails is None
        broker.disconnect()


def roles(con):
    return con.active_alias, con.standby_alias


ARRIVALS = {
    "single": lambda con: con.learned_hostname is HOSTNAME,
    "single, learning the OS": lambda con: con.spawn is con.device.cli.spawn,
    "dual": lambda con: roles(con) == ("rp1", "rp2") and con.active.mode == "sso",
    "dual, first line refuses enable": lambda con: roles(con) == ("rp2", "rp1"),
    "dual, learning the OS": lambda con: con.mit and [s.spawn for s in con.subconnections]
    == [s.spawn for s in con.device.cli.subconnections],
    "stack": lambda con: roles(con) == ("s1", "s2") and con.active.mode == "sso",
    "quad": lambda con: roles(con) + (con.ics,) == ("a1", "b1", "b2"),
}


@pytest.mark.parametrize("road", sorted(ARRIVALS))
def test_each_road_arrives_where_its_name_says(framework, road):
    broker_class, con, fails = roads()[road]
    connect(broker_class, con, fails)
    assert ARRIVALS[road](con)


def test_ten_thousand_connects_leave_memory_and_reference_counts_flat(framework):
    every = list(roads().values())

    def one_round():
        for road in every:
            connect(*road)

    watched = [HOSTNAME, CREDS, KWARGS, SHOW_SWITCH]
    for _, con, _ in every:
        watched += con.members()
    # 1000 rounds of 11 connects
    Flat(one_round, watched, warmup=100, rounds=600, traced=300).check()
