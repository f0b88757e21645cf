"""Simulated devices reload, switch over and reload members, on pty consoles
and on the served lab's ports: what each console shows and what the shared
state counts."""
import re
import socket
import time

import pexpect
import pytest
from pexpect import fdpexpect

from quorvi.boot_dialogs import for_os, patterns
from tests.timing import allowed

BOOT = 0.3
TEXTS = for_os("orbix")


class Line:
    """One console line, pty or socket, read through pexpect."""

    def __init__(self, child, sock=None):
        self.child = child
        self.sock = sock

    def send(self, text):
        self.child.send(text + "\r")

    def expect(self, pattern, timeout=5.0):
        """What the line showed up to and including `pattern`."""
        self.child.expect(pattern, timeout=allowed(timeout))
        return self.child.before + self.child.after

    def answer(self, *steps):
        """(pattern, reply) in turn: wait for each pattern, send its reply."""
        for pattern, reply in steps:
            self.expect(pattern)
            self.send(reply)

    def close(self):
        self.child.close(force=True) if self.sock is None else self.sock.close()


class Simulated:
    """A device on one transport: its consoles, lines, boots and roles."""

    def __init__(self, transport, device, lines):
        self.transport = transport
        self.device = device
        self.lines = lines

    @property
    def description(self):
        return self.device.device if self.transport == "pty" else \
            self.device.server.lab.devices["R1"]

    def consoles(self):
        return self.description["consoles"]

    def boots(self):
        return self.device.boots() if self.transport == "pty" else self.device.boots("R1")

    def roles(self):
        return self.device.roles() if self.transport == "pty" else self.device.roles("R1")

    def open(self, console):
        if self.transport == "pty":
            line = Line(pexpect.spawn(self.device.command(console), encoding="latin-1"))
        else:
            sock = socket.create_connection(("127.0.0.1", self.device.port("R1", console)))
            line = Line(fdpexpect.fdspawn(sock, encoding="latin-1"), sock)
        self.lines.append(line)
        return line

    def open_all(self):
        """Console -> line, each at its first prompt (a silent one opened only)."""
        lines = {}
        roles = self.roles()
        for console in self.consoles():
            name = console["name"]
            lines[name] = self.open(name)
            if not console["silent"]:
                lines[name].expect(prompt(self.description, roles[name], ">") + "$")
        return lines

    def active(self):
        roles = self.roles()
        return next(c["name"] for c in self.consoles()
                    if roles[c["name"]] in ("active", "single") and not c["silent"])


def prompt(description, role, end):
    standby = description["chassis"] in ("dual", "quad") and role == "standby"
    return "R1%s%s" % ("-stby" if standby else "", end)


@pytest.fixture(params=["pty", "served"])
def simulated(request, sim, served_lab):
    """Factory: simulated(kind, consoles=port options, **device options) on
    each transport; every line it opened is closed at teardown."""
    lines = []

    def start(kind="single", consoles=None, **options):
        options.setdefault("boot_time", BOOT)
        if request.param == "pty":
            return Simulated("pty", sim(kind, **options), lines)
        if consoles:
            options["consoles"] = consoles
        return Simulated("served", served_lab({"devices": {"R1": dict(options, kind=kind)}}),
                         lines)

    start.transport = request.param
    yield start
    for line in lines:
        line.close()


def reload(line, *answers):
    """Type the reload command at enable and confirm it."""
    line.send("enable")
    line.expect("#$")
    line.send(TEXTS["reload"])
    line.answer(*answers, (patterns("orbix")["confirm_reload"], ""))


def boot_finishes(device, lines, consoles):
    """Each of `consoles` shows its boot log; a console that is not silent
    then Press RETURN, and its prompt once Return is typed. Returns the logs."""
    logs = {}
    roles = device.roles()
    for name in consoles:
        console = next(c for c in device.consoles() if c["name"] == name)
        logs[name] = lines[name].expect("System ready\r\n")
        if not console["silent"]:
            lines[name].expect(re.escape(TEXTS["press_return"]))
            lines[name].send("")
            lines[name].expect(prompt(device.description, roles[name], ">") + "$")
    return logs


@pytest.mark.parametrize("kind, options", [
    ("single", {}), ("dual", {"active": "b"}), ("stack", {"members": 4}), ("quad", {})])
def test_reload_boots_every_console_once_and_show_version_restarts(simulated, kind, options):
    device = simulated(kind, **options)
    lines = device.open_all()
    roles = device.roles()
    active = lines[device.active()]
    started = time.monotonic()
    reload(active)
    logs = boot_finishes(device, lines, [c["name"] for c in device.consoles()])
    assert time.monotonic() - started >= BOOT
    assert all(TEXTS["boot_start"] in log and "Last reload reason: Reload Command" in log
               for log in logs.values())
    assert device.boots() == {c["name"]: 1 for c in device.consoles()}
    assert device.roles() == roles
    active.send("show version")
    shown = active.expect("R1>$")
    assert re.search(r"uptime is \d seconds?\r\nLast reload reason: Reload Command", shown)


@pytest.mark.parametrize("kind, os, options, rebooted, new, show, after", [
    ("dual", "orbix", {}, ["a"], "b", "show redundancy state", r"my state = 13 -ACTIVE"),
    # The standby member takes over; the lowest-numbered member is the new
    # standby; the old active comes back as a member.
    ("stack", "tessel", {"members": 4}, ["m1"], "m2", "show switch",
     r"\r\n1  Member [\s\S]*\r\n\*2  Active [\s\S]*\r\n3  Standby [\s\S]*\r\n4  Member "),
    # Both RPs of the active chassis reboot, the silent one included.
    ("quad", "generic", {}, ["m1a", "m1b"], "m2a", "show switch",
     r"\r\n1  Standby [\s\S]*\r\n\*2  Active "),
])
def test_switchover_reboots_the_active_and_the_standby_takes_over(
        simulated, kind, os, options, rebooted, new, show, after):
    old = rebooted[0]
    device = simulated(kind, os=os, **options)
    lines = device.open_all()
    lines[old].send("enable")
    lines[old].expect("R1#$")
    lines[old].send(for_os(os)["switchover"])
    lines[old].answer((patterns(os)["confirm_switchover"], ""))
    if kind != "stack":
        # The standby's prompt changes: its session starts anew as the active's.
        lines[new].expect(re.escape(TEXTS["press_return"]))
        lines[new].send("")
        lines[new].expect("R1>$")
    boot_finishes(device, lines, rebooted)
    assert device.boots() == {name: 1 for name in rebooted}
    assert device.roles()[new] == "active" and device.roles()[old] != "active"
    lines[new].send(show)
    assert re.search(after, lines[new].expect("R1>$"))
    if kind == "dual":
        lines[old].send(show)
        assert "my state = 8 -STANDBY HOT" in lines[old].expect("R1-stby>$")


@pytest.mark.parametrize("kind, member, rebooted, roles", [
    ("stack", 3, ["m3"], {"m1": "active", "m2": "standby", "m3": "member", "m4": "member"}),
    ("stack", 2, ["m2"], {"m1": "active", "m2": "member", "m3": "standby", "m4": "member"}),
    ("stack", 1, ["m1"], {"m1": "member", "m2": "active", "m3": "standby", "m4": "member"}),
    ("quad", 2, ["m2a", "m2b"], {"m1a": "active", "m1b": "active", "m2a": "standby",
                                 "m2b": "standby"}),
])
def test_member_reload_reboots_that_member_alone(simulated, kind, member, rebooted, roles):
    options = {"members": 4, "boot_time": 1.0} if kind == "stack" else {"boot_time": 1.0}
    device = simulated(kind, **options)
    lines = device.open_all()
    typed = device.active() if member != 1 else "m2" if kind == "stack" else "m2a"
    lines[typed].send("enable")
    lines[typed].expect("#$")
    lines[typed].send(TEXTS["member_reload"].format(member=member))
    lines[typed].answer((re.escape(TEXTS["confirm_member_reload"].format(member=member)), ""))
    if typed not in rebooted:
        lines[typed].expect("Reloading member %d\r\nR1#$" % member)
        lines[typed].send("show switch")
        assert re.search(r"\r\n%d  \w+ .* Initializing\r\n" % member, lines[typed].expect("#$"))
    boot_finishes(device, lines, rebooted)
    assert device.boots() == {name: 1 for name in rebooted}
    assert device.roles() == roles


@pytest.mark.parametrize("os", ["orbix", "tessel"])
def test_boot_stops_in_the_loader_until_told_to_boot(simulated, os):
    device = simulated("single", os=os, stop_in_loader=True)
    line = device.open_all()["a"]
    reload(line)
    loader = for_os(os)["loader_prompt"]
    shown = line.expect(re.escape(loader.format(n=1)) + " $")
    assert "Loading" not in shown  # the system image is not loaded yet
    assert re.search(patterns(os)["loader_prompt"], shown)
    line.send("bogus")
    line.expect("unknown command \"bogus\"[\\s\\S]*" + re.escape(loader.format(n=2)) + " $")
    line.send("boot")
    assert "Loading \"flash:" in line.expect("System ready\r\n")
    line.answer((re.escape(TEXTS["press_return"]), ""))
    line.expect("R1>$")
    assert device.boots() == {"a": 1}


def test_boot_asks_the_configuration_dialog_then_the_login(simulated):
    device = simulated("single", boot_dialog=True, login={"username": "ops", "password": "pw"})
    line = device.open("a")
    line.answer(("Username: $", "ops"), ("Password: $", "pw"))
    reload(line)
    line.expect("System ready")
    line.answer((patterns("orbix")["config_dialog"] + " $", "maybe"))
    line.answer((r"Please answer 'yes' or 'no'\.\r\n" + patterns("orbix")["config_dialog"] + " $",
                 "no"), (re.escape(TEXTS["press_return"]), ""),
                ("Username: $", "ops"), ("Password: $", "pw"))
    line.expect("R1>$")


def test_reload_asks_to_save_a_modified_configuration_and_may_be_cancelled(simulated):
    device = simulated("single")
    line = device.open_all()["a"]
    save = patterns("orbix")["save_config"]
    confirm = patterns("orbix")["confirm_reload"]
    line.send("enable")
    line.expect("R1#$")
    line.send(TEXTS["reload"])
    shown = line.expect(confirm)
    assert not re.search(save, shown)  # nothing changed since the start
    line.send("n")  # cancelled: no reboot
    line.expect("R1#$")
    line.send("configure terminal")
    line.answer((r"\(config\)#$", "hostname R2"), ("#$", "end"), ("R1#$", TEXTS["reload"]),
                (save + " $", "yes"), (r"\[OK\]\r\n" + confirm, ""))
    boot_finishes(device, {"a": line}, ["a"])
    assert device.boots() == {"a": 1}
    line.send("enable")
    line.answer(("R1#$", "configure terminal"), (r"\(config\)#$", "hostname R3"),
                ("#$", "end"), ("R1#$", "write memory"), (r"\[OK\]\r\nR1#$", TEXTS["reload"]))
    assert not re.search(save, line.expect(confirm))  # saved: no question this time


def test_console_line_dropped_at_boot_start_shows_the_rest_when_reopened(simulated):
    # The served lab's port drops its client as the console boots; a pty
    # console's process is ended by its client and started afresh.
    device = simulated("dual", boot_time=2.0, consoles={"a": {"drop_on_boot": True}})
    lines = device.open_all()
    reload(lines["a"])
    if simulated.transport == "pty":
        lines["a"].expect(TEXTS["boot_start"])
        lines["a"].close()
    else:
        lines["a"].child.expect(pexpect.EOF, timeout=allowed(5))
    lines["a"] = device.open("a")
    assert "Last reload reason: Reload Command" in boot_finishes(device, lines, ["a", "b"])["a"]
    assert device.boots() == {"a": 1, "b": 1}


def test_boot_log_is_the_same_from_boot_to_boot(sim):
    device = sim("dual", boot_time=BOOT)
    line = Line(pexpect.spawn(device.command("b"), encoding="latin-1"))
    try:
        line.expect("R1-stby>")
        logs = []
        for _ in range(2):
            reload(line)
            logs.append(line.expect("System ready\r\n"))
            line.answer((re.escape(TEXTS["press_return"]), ""))
            line.expect("R1-stby>$")
        assert logs[0] == logs[1]
        assert device.boots() == {"b": 2}  # a standby's reload reboots it alone
    finally:
        line.close()


@pytest.mark.parametrize("kind, console, typed, error", [
    ("single", "a", TEXTS["switchover"], "% No standby to switch over to"),
    ("dual", "b", TEXTS["switchover"], "% Switchover is only possible from the active"),
    ("stack", "m1", "reload slot 7", "% No member 7 in this stack"),
    ("dual", "a", "reload slot 2", "% Invalid input"),
])
def test_reload_commands_refused_where_they_make_no_sense(sim, kind, console, typed, error):
    device = sim(kind)
    line = Line(pexpect.spawn(device.command(console), encoding="latin-1"))
    try:
        line.expect(">$")
        line.send("reload")
        assert "% Invalid input" in line.expect(">$")  # not at the disable prompt
        line.send("enable")
        line.expect("#$")
        line.send(typed)
        assert error in line.expect("#$")
        assert device.boots() == {}
    finally:
        line.close()


@pytest.mark.parametrize("command, question", [
    ("reload", "confirm_reload"), ("redundancy force-switchover", "confirm_switchover")])
def test_fake_reload_asks_then_reboots_nothing(sim, command, question):
    device = sim("dual", boot_time=BOOT, fake_reload=True)
    line = Line(pexpect.spawn(device.command("a"), encoding="latin-1"))
    try:
        line.answer(("R1>$", "enable"), ("R1#$", command), (patterns("orbix")[question], ""))
        line.expect("R1#$")
        assert device.boots() == {} and device.roles() == {"a": "active", "b": "standby"}
    finally:
        line.close()
