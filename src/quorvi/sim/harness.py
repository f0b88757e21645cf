"""SimulatedDevice: a simulated device in a temporary directory, and ready-made
profiles for single, dual, stack and quad devices.

The harness writes the device description and hands out, per console, the
command that opens that console line; the spawns that run those commands own
the console processes. `kill_consoles()` ends any console process of this
device still running (found by the device file's unique path), so a test
fixture can guarantee that nothing is left behind.
"""
import os
import shlex
import sys
from typing import Any, Callable, Dict, List, Optional

from .. import chassis
from .boot import status
from .lifecycle import Harness, kill_processes, processes_with  # noqa: F401  (the old import path)
from .model import SharedState, initial_state, load_device, save_device

# The folder holding this quorvi package: console processes import it from there.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A console process runs without site packages and environment (-I -S), which
# halves its start-up; it finds the package through PACKAGE_ROOT alone, after
# the standard library.
CONSOLE_MAIN = ("import sys; sys.path.append(%r); "
                "from quorvi.sim.__main__ import main; sys.exit(main())")


def _member(number: int, role: str, priority: int) -> Dict[str, Any]:
    return {"number": number, "role": role, "mac": "0c75.bd11.22%02x" % (0x80 + number),
            "priority": priority, "hw_version": "V01", "state": "Ready"}


def single_profile(**options: Any) -> Dict[str, Any]:
    """One route processor, one console "a"."""
    return dict({"chassis": "single",
                 "consoles": [{"name": name, "member": member, "role": "single"}
                              for name, member in chassis.get("single").lines()]}, **options)


def dual_profile(active: str = "a", **options: Any) -> Dict[str, Any]:
    """Two route processors, consoles "a" and "b"; `active` names the active one."""
    names = [name for name, _ in chassis.get("dual").lines()]
    if active not in names:
        raise ValueError("active must be %s" % " or ".join(map(repr, names)))
    consoles = [{"name": n, "member": 1, "role": "active" if n == active else "standby"}
                for n in names]
    return dict({"chassis": "dual", "consoles": consoles}, **options)


def stack_profile(members: int = 3, active: int = 1, standby: int = 2,
                  **options: Any) -> Dict[str, Any]:
    """A stack of `members` switches, consoles "m1".."mN" in member order."""
    if not 3 <= members <= 9 or active == standby or not {active, standby} <= set(range(1, members + 1)):
        raise ValueError("a stack has 3 to 9 members and distinct active/standby members")
    roles = {n: "Member" for n in range(1, members + 1)}
    roles.update({active: "Active", standby: "Standby"})
    priority = {"Active": 15, "Standby": 14, "Member": 1}
    return dict({
        "chassis": "stack",
        "members": [_member(n, roles[n], priority[roles[n]]) for n in range(1, members + 1)],
        "consoles": [{"name": name, "member": n, "role": roles[n].lower()}
                     for name, n in chassis.get("stack").lines(members)],
    }, **options)


def quad_profile(active_member: int = 1, silent: Optional[List[str]] = None,
                 **options: Any) -> Dict[str, Any]:
    """Two chassis (members 1 and 2) with two RPs each: consoles "m1a", "m1b",
    "m2a", "m2b". `silent` lists the consoles that never answer (default: the
    second RP of each chassis)."""
    if active_member not in (1, 2):
        raise ValueError("active_member must be 1 or 2")
    silent = ["m1b", "m2b"] if silent is None else list(silent)
    roles = {active_member: "Active", 3 - active_member: "Standby"}
    consoles = [{"name": name, "member": member, "role": roles[member].lower(),
                 "silent": name in silent} for name, member in chassis.get("quad").lines(2)]
    return dict({
        "chassis": "quad",
        "members": [_member(n, roles[n], 15 if roles[n] == "Active" else 14) for n in (1, 2)],
        "consoles": consoles,
    }, **options)


PROFILES: Dict[str, Callable[..., Dict[str, Any]]] = {
    "single": single_profile, "dual": dual_profile, "stack": stack_profile, "quad": quad_profile}


class SimulatedDevice(Harness):
    """A simulated device, described by a profile name ("single", "dual",
    "stack", "quad") with its options, or by a full description dict.

    `console_options` maps a console name to settings of that console alone
    (e.g. {"b": {"enable_password": "other"}} or {"a": {"silent": True}})."""

    def __init__(self, profile: Any = "single",
                 console_options: Optional[Dict[str, Dict[str, Any]]] = None,
                 **options: Any) -> None:
        if isinstance(profile, dict):
            self.description = dict(profile, **options)
        else:
            self.description = PROFILES[profile](**options)
        consoles = [dict(c) for c in self.description.get("consoles", [])]
        unknown = set(console_options or {}) - {c["name"] for c in consoles}
        if unknown:
            raise ValueError("no console(s) %s to set options on" % ", ".join(sorted(unknown)))
        for console in consoles:
            console.update((console_options or {}).get(console["name"], {}))
        self.description["consoles"] = consoles
        self.path: Optional[str] = None

    PREFIX = "quorvi-sim-"

    def _start(self) -> None:
        assert self.directory is not None
        self.path = os.path.join(self.directory, "device.json")
        save_device(self.path, self.description)
        self.device = load_device(self.path)

    # -- what a framework device needs ------------------------------------
    @property
    def hostname(self) -> str:
        return self.device["hostname"]

    @property
    def chassis_type(self) -> str:
        return chassis.chassis_type(self.device["chassis"])

    @property
    def consoles(self) -> List[str]:
        return [c["name"] for c in self.device["consoles"]]

    def command(self, console: str) -> str:
        """Shell command that opens console `console` of this device."""
        if console not in self.consoles:
            raise KeyError("no console %r" % console)
        assert self.path is not None  # set with the consoles, by start()
        return " ".join(shlex.quote(a) for a in (sys.executable, "-I", "-S", "-c",
                                                 CONSOLE_MAIN % PACKAGE_ROOT, "console",
                                                 "--device", self.path, "--console", console))

    @property
    def connections(self) -> Dict[str, Dict[str, Any]]:
        """Console alias -> {"command", "member"}, in console order."""
        return {c["name"]: {"command": self.command(c["name"]), "member": c["member"]}
                for c in self.device["consoles"]}

    @property
    def credentials(self) -> Dict[str, Dict[str, Any]]:
        creds: Dict[str, Dict[str, Any]] = {}
        if self.device.get("login"):
            creds["default"] = dict(self.device["login"])
        if self.device.get("enable_password"):
            creds["enable"] = {"password": self.device["enable_password"]}
        return creds

    def device_kwargs(self, **overrides: Any) -> Dict[str, Any]:
        """Keywords for quorvi.device.Device describing this device."""
        kwargs = {"name": self.device["hostname"], "os": self.device["os"],
                  "platform": self.device["platform"], "chassis_type": self.chassis_type,
                  "hostname": self.device["hostname"], "connections": self.connections,
                  "credentials": self.credentials}
        kwargs.update(overrides)
        return kwargs

    # -- what the device received -----------------------------------------
    def state(self) -> Dict[str, Any]:
        return SharedState(self.path).read() if self.path else initial_state()

    def commands_received(self, console: str) -> List[str]:
        return list(self.state()["commands"].get(console, []))

    def config_received(self, console: Optional[str] = None) -> List[str]:
        config = self.state()["config"]
        if console is not None:
            return list(config.get(console, []))
        return [line for c in self.consoles for line in config.get(c, [])]

    @property
    def standby_unlocked(self) -> bool:
        return bool(self.state()["standby_unlocked"])

    def boots(self) -> Dict[str, int]:
        """Console -> how often it booted (reloads, switchovers) since the start."""
        return dict(status(self.device, self.state()).boots)

    def roles(self) -> Dict[str, str]:
        """Console -> its current role (a switchover changes them)."""
        return status(self.device, self.state()).roles(self.device)

    # -- processes --------------------------------------------------------
    def console_pids(self) -> List[int]:
        """Pids of running console processes of this device."""
        if not self.path:
            return []
        return processes_with(CONSOLE_MAIN % PACKAGE_ROOT, "--device", self.path)
