"""Reloads of a simulated device: the commands, who reboots and who takes
which role, and what a booting console shows.

A reload is an event in the device's shared state (`model`): the consoles
it reboots, the reason, the roles after it and when it started. Every
console folds the events (`status`): its boot counter, its last boot and
reason, the current roles. The console that typed the command boots at
once; the others are woken at their prompts (`IDLE`) and catch up, so a
console that was not watched while the boot ran shows what is left of it
when next driven. Each boot log line is due at a fixed offset from the
boot's start: the output is the same from boot to boot, only its timing
varies.

Roles belong to units: the RPs of a dual, the members of a stack, the
chassis of a quad. A unit that reloads while active hands over to the
standby; in a stack a new standby is elected (the lowest-numbered member)
and the old active comes back as a member, in a dual or a quad as the
standby.

The commands and the questions and prompts of a reload are those of the
device's OS in `quorvi.boot_dialogs`.
"""
from __future__ import annotations

import time

from .. import chassis
from ..boot_dialogs import for_os
from . import outputs as out
from .behaviour import FLUSH, INTERRUPT, LINE, sleep

# Requests a console yields to its driver, besides those of `session`.
IDLE = ("idle",)        # -> True once input waits, False when woken (the device changed)
BOOTING = ("booting",)  # a boot starts (a console server may drop its client); -> None

REASONS = {
    "power_on": "power-on",
    "reload": "Reload Command",
    "switchover": "Switchover",
    "member_reload": "Member Reload Command",
}
INITIAL_UPTIME = "3 days, 4 hours, 12 minutes"

# "{boot_start}" is the OS's first boot line (quorvi.boot_dialogs).
ROM_LOG = [
    "{boot_start} 3.4.2, RELEASE SOFTWARE",
    "Copyright (c) 2019-2024 by the quorvi simulator",
    "",
    "{platform} processor with 4096 MB of memory",
    "Initializing flash file system ... done",
]
SYSTEM_LOG = [
    "Loading \"flash:{os}-{platform}-{version}.bin\" ...",
    "################################################## [OK]",
    "Verifying image integrity ... OK",
    "",
    "{os_title}, Version {version}",
    "Processor board ID QRV{serial}",
    "Last reload reason: {reason}",
    "Initializing interfaces ... done",
    "Loading startup configuration ... done",
    "System ready",
]
SWITCHOVER_NOTICE = ["", "*** Switchover: the peer went down; this RP is now active ***"]
CONFIG_DIALOG_HEAD = ["", "         --- System Configuration Dialog ---", ""]
CONFIG_DIALOG_YES = "% The configuration dialog is not simulated; the saved configuration stays"
YES_OR_NO = "% Please answer 'yes' or 'no'."
SAVED = ["Building configuration...", "[OK]"]
LOADER_UNKNOWN = "loader: unknown command \"{command}\"; \"{boot}\" boots the system image"
ERRORS = {
    "no_standby": "% No standby to switch over to: this device has one RP",
    "not_active": "% Switchover is only possible from the active",
    "no_member": "% No member {member} in this {chassis}",
}
MEMBER_RELOADING = "Reloading member {member}"
STANDBY_WAITING = "Standby waiting for the active to be ready ..."


def unit_of(device: dict, console: dict):
    """The unit a console belongs to: its RP (dual), member or chassis."""
    return console["name"] if device["chassis"] == "dual" else str(console["member"])


def initial_units(device: dict) -> dict:
    """Unit -> role ("active", "standby", "member") as the device starts."""
    if device["chassis"] == "dual":
        return {c["name"]: c["role"] for c in device["consoles"]}
    if chassis.has_members(device["chassis"]):
        return {str(m["number"]): m["role"].lower() for m in device["members"]}
    return {}


def handover(units: dict, leaving: str) -> dict:
    """The roles once `leaving` reloads: an active hands over to the standby;
    a stack elects a new standby among its members."""
    roles = dict(units)
    role = units.get(leaving)
    members = sorted((u for u, r in units.items() if r == "member" and u != leaving), key=int) \
        if len(units) > 2 else []
    if role == "active":
        for unit, other in units.items():
            if other == "standby":
                roles[unit] = "active"
        roles[leaving] = "standby"
        if members:
            roles[leaving] = "member"
            roles[members[0]] = "standby"
    elif role == "standby" and members:
        roles[leaving] = "member"
        roles[members[0]] = "standby"
    return roles


def config_lines(state: dict) -> int:
    return sum(len(lines) for lines in state["config"].values())


class Status:
    """The device's reload history folded from its shared state."""

    __slots__ = ("boots", "started", "reasons", "units", "saved")

    def __init__(self, device: dict, state: dict) -> None:
        self.boots: dict = {}    # console -> boots since the device started
        self.started: dict = {}  # console -> time its last boot started
        self.reasons: dict = {}  # console -> reason of its last boot
        self.units = initial_units(device)
        self.saved = 0           # configuration lines saved (a boot saves them all)
        for event in state.get("events", []):
            if event["event"] == "boot":
                for console in event["boot"]:
                    self.boots[console] = self.boots.get(console, 0) + 1
                    self.started[console] = event["at"]
                    self.reasons[console] = event["reason"]
                self.units.update(event["units"])
            self.saved = event["config_lines"]

    def role(self, device: dict, console: dict) -> str:
        if device["chassis"] == "single":
            return "single"
        return self.units[unit_of(device, console)]

    def roles(self, device: dict) -> dict:
        """Console -> its current role."""
        return {c["name"]: self.role(device, c) for c in device["consoles"]}


def status(device: dict, state: dict) -> Status:
    """The reload history of `device` in its shared `state`; e.g.
    status(device, state).boots is the boot counter of each console."""
    return Status(device, state)


def command_words(command: str) -> tuple:
    """A command of quorvi.boot_dialogs as a command-table key ("{member}" -> "<arg>")."""
    return tuple("<arg>" if "{" in word else word for word in command.split())


class Boot:
    """The reload side of one console's `Session`."""

    def __init__(self, session) -> None:
        self.session = session
        self.device = session.device
        self.texts = for_os(self.device["os"])
        self.exec_commands = dict(out.EXEC_COMMANDS)
        self.exec_commands.update({
            command_words(self.texts["reload"]): "reload",
            command_words(self.texts["switchover"]): "switchover",
            command_words(self.texts["member_reload"]): "reload_member",
            ("write", "memory"): "write_memory"})
        # Only a console of a device with several consoles is changed by another.
        self.watch = len(self.device["consoles"]) > 1
        self.seen = 0  # boots of this console it has shown

    def status(self) -> Status:
        return Status(self.device, self.session.shared.read())

    def apply_roles(self, current: Status) -> None:
        session = self.session
        session.role = current.role(self.device, session.console)
        session.is_standby = chassis.get(session.chassis).rps > 1 and session.role == "standby"

    def attach(self) -> Status | None:
        """Take the roles the device has now; the status when a boot of this
        console is still running (the console shows the rest of it)."""
        current = self.status()
        self.apply_roles(current)
        name = self.session.name
        self.seen = current.boots.get(name, 0)
        if self.seen and time.time() < current.started[name] + self.boot_time():
            self.seen -= 1
            return current
        return None

    def boot_time(self) -> float:
        return float(self.device["boot_time"])

    # -- driving a console --------------------------------------------------
    def start(self, booting: Status | None):
        """A console's start: the rest of a running boot, or its banner."""
        if booting is not None:
            return (yield from self.boot(booting))
        return (yield from self.session.start_session())

    def next_line(self):
        """The next line typed at the prompt (None at the end); a console the
        device's other consoles change (a reload, a switchover) first catches up."""
        session = self.session
        while self.watch:
            if (yield IDLE):
                break
            shown = yield from self.catch_up()
            if shown is False:
                return None
            if shown:
                session.write(session.prompt())
        return (yield LINE)

    def silent(self, booting: Status | None):
        """A silent console: reads and never answers, but shows its boots."""
        if booting is not None and not (yield from self.boot(booting)):
            return
        while True:
            if self.watch and not (yield IDLE):
                if (yield from self.catch_up()) is False:
                    return
                continue
            if (yield LINE) is None:
                return

    def catch_up(self):
        """Boot when the device rebooted this console, or take a new role.
        True when something was shown, None when not, False at the end."""
        session = self.session
        current = self.status()
        if current.boots.get(session.name, 0) > self.seen:
            return (yield from self.boot(current))
        was_standby = session.is_standby
        self.apply_roles(current)
        if was_standby and not session.is_standby and not session.console["silent"]:
            session.write_lines(SWITCHOVER_NOTICE)
            return (yield from self.press_return())
        return None

    def boot(self, current: Status):
        """This console's last boot, from its start; False at the end."""
        session = self.session
        name = session.name
        self.seen = current.boots[name]
        yield BOOTING
        fields = dict(session.fields(), reason=current.reasons[name],
                      boot_start=self.texts["boot_start"])
        rom = [line.format(**fields) for line in ROM_LOG]
        system = [line.format(**fields) for line in SYSTEM_LOG]
        step = self.boot_time() / (len(rom) + len(system))
        start = current.started[name]
        session.write("\n")
        for index, line in enumerate(rom):
            yield from self.until(start + index * step)
            session.write(line + "\n")
        if self.stops_in_loader():
            if not (yield from self.loader()):
                return False
            start = time.time() - len(rom) * step  # the rest of the boot from now on
        for index, line in enumerate(system, len(rom)):
            yield from self.until(start + index * step)
            session.write(line + "\n")
        yield from self.until(start + self.boot_time())
        self.apply_roles(self.status())
        if session.console["silent"]:
            return True
        yield FLUSH  # keys typed during the boot are lost
        if self.device["boot_dialog"] and not (yield from self.config_dialog()):
            return False
        return (yield from self.press_return())

    def until(self, due: float):
        delay = due - time.time()
        if delay > 0:
            yield sleep(delay)

    def stops_in_loader(self) -> bool:
        stop = self.device["stop_in_loader"]
        return self.session.name in stop if isinstance(stop, list) else bool(stop)

    def loader(self):
        """The boot loader prompt until its boot command; False at the end."""
        session = self.session
        number = 1
        while True:
            session.write("\n" + self.texts["loader_prompt"].format(n=number) + " ")
            line = yield LINE
            if line is None:
                return False
            command = line.strip()
            if not command:
                continue
            number += 1
            if command == self.texts["loader_boot"]:
                return True
            session.write(LOADER_UNKNOWN.format(command=command, boot=self.texts["loader_boot"]))

    def config_dialog(self):
        session = self.session
        session.write_lines(CONFIG_DIALOG_HEAD)
        answer = yield from self.yes_or_no(self.texts["config_dialog"])
        if answer is True:
            session.write_lines([CONFIG_DIALOG_YES])
        return answer is not None

    def yes_or_no(self, question: str):
        """True for yes, False for no, None at the end, INTERRUPT for Ctrl-C."""
        session = self.session
        while True:
            session.write(question + " ")
            line = yield LINE
            if line is None:
                return None
            if INTERRUPT in line:
                return INTERRUPT
            answer = line.strip().lower()
            if answer in ("yes", "y", "no", "n"):
                return answer.startswith("y")
            session.write_lines([YES_OR_NO])

    def press_return(self):
        """"Press RETURN", then the console's session anew (a login when the
        device asks for one); False at the end."""
        session = self.session
        session.write("\n" + self.texts["press_return"] + "\n")
        if (yield LINE) is None:
            return False
        if self.device["standby_stuck"] and session.is_standby:
            return (yield from self.stuck())
        session.mode, session.submode = "disable", "config"
        return (yield from session.login())

    def stuck(self):
        """A standby that never comes up: each Return is answered with the
        same waiting line, never a prompt; False at the end."""
        while True:
            self.session.write_lines([STANDBY_WAITING])
            if (yield LINE) is None:
                return False

    # -- commands -------------------------------------------------------------
    def command(self, handler: str, words: list):
        """The exec command `handler` of this module, for `words` typed."""
        return lambda: getattr(self, "cmd_" + handler)(words)

    def cmd_write_memory(self, words: list) -> list:
        self.record({"event": "save"})
        return list(SAVED)

    def cmd_reload(self, words: list):
        session = self.session
        current = self.status()
        consoles = [c["name"] for c in self.device["consoles"]]
        if session.is_standby:
            # The standby reloads alone (its chassis, in a quad).
            return (yield from self.reload_unit(current, unit_of(self.device, session.console),
                                                "confirm_reload", "reload"))
        if not (yield from self.confirm(self.texts["confirm_reload"])):
            return None
        return (yield from self.reboot(consoles, REASONS["reload"], current.units))

    def cmd_switchover(self, words: list):
        session = self.session
        if session.chassis == "single":
            return [ERRORS["no_standby"]]
        if session.role != "active":
            return [ERRORS["not_active"]]
        current = self.status()
        return (yield from self.reload_unit(current, unit_of(self.device, session.console),
                                            "confirm_switchover", "switchover"))

    def cmd_reload_member(self, words: list):
        session = self.session
        position = self.texts["member_reload"].split().index("{member}")
        member = words[position]
        if not chassis.has_members(session.chassis):
            return [out.ERRORS["invalid"]]
        current = self.status()
        if member not in current.units:
            return [ERRORS["no_member"].format(member=member, chassis=session.chassis)]
        return (yield from self.reload_unit(current, member, "confirm_member_reload",
                                            "member_reload"))

    def reload_unit(self, current: Status, unit: str, question: str, reason: str):
        """Reload one unit (an RP, a member, a chassis), handing its role over."""
        if not (yield from self.confirm(self.texts[question].format(member=unit))):
            return None
        consoles = [c["name"] for c in self.device["consoles"] if unit_of(self.device, c) == unit]
        lines = yield from self.reboot(consoles, REASONS[reason], handover(current.units, unit))
        return [MEMBER_RELOADING.format(member=unit)] if lines is None else lines

    def confirm(self, question: str):
        """Save a modified configuration if asked to, then confirm; True to go on."""
        session = self.session
        current = self.status()
        if config_lines(session.shared.read()) > current.saved:
            save = yield from self.yes_or_no(self.texts["save_config"])
            if save is None or save == INTERRUPT:
                return False
            if save is True:
                session.write_lines(SAVED)
                self.record({"event": "save"})
        session.write(question)
        answer = yield LINE
        return answer is not None and answer.strip().lower() in ("", "y", "yes")

    def record(self, event: dict) -> None:
        session = self.session
        event["config_lines"] = config_lines(session.shared.read())
        session.shared.record("event", session.name, event)

    def reboot(self, consoles: list, reason: str, units: dict):
        """Reboot `consoles` with the roles `units` after it; this console
        boots at once ([] after, False at the end), the others are woken."""
        session = self.session
        if self.device["fake_reload"]:
            return []
        self.record({"event": "boot", "at": time.time(), "reason": reason, "boot": consoles,
                     "units": units})
        session.shared.notify([c["name"] for c in self.device["consoles"]
                               if c["name"] != session.name])
        if session.name not in consoles:
            return None
        return [] if (yield from self.boot(self.status())) else False

    # -- what the commands show ------------------------------------------------
    def version_fields(self) -> dict:
        current = self.status()
        name = self.session.name
        if not current.boots.get(name):
            return {"uptime": INITIAL_UPTIME, "reload_reason": REASONS["power_on"]}
        return {"uptime": uptime(time.time() - current.started[name]),
                "reload_reason": current.reasons[name]}

    def members(self) -> list:
        """The device's members with their current roles, and "Initializing"
        while one of their consoles boots."""
        current = self.status()
        now = time.time()
        booting = {str(c["member"]) for c in self.device["consoles"]
                   if now < current.started.get(c["name"], 0) + self.boot_time()}
        return [dict(m, role=current.units[str(m["number"])].capitalize(),
                     state="Initializing" if str(m["number"]) in booting else m["state"])
                for m in self.device["members"]]


def uptime(seconds: float) -> str:
    """"1 hour, 2 minutes, 5 seconds"."""
    left = int(seconds)
    parts: list = []
    for name, size in (("day", 86400), ("hour", 3600), ("minute", 60), ("second", 1)):
        count, left = divmod(left, size)
        if count or (name == "second" and not parts):
            parts.append("%d %s%s" % (count, name, "" if count == 1 else "s"))
    return ", ".join(parts)
