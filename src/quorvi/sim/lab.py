"""A simulated lab: the devices one console server serves, and the inventory
file that tells a client where their consoles are.

A lab comes from a lab file (YAML or JSON), from `--devices N --mix ...`, or
both (the file's devices first). The lab file:

    defaults:                 # device options for every device of the lab
      enable_password: s3cret
    devices:
      R1: {kind: single}
      R2:
        kind: dual            # single | dual | stack | quad
        active: b             # and the other options of that kind's profile
        login: {username: admin, password: lab}
        response_delay: 0.05
        consoles:             # per console: its own options and its port's
          a: {connect: press_return, left_in: config, drop_on_boot: true}
          b: {enable_password: other}

Device options are those of the simulator's device model (hostname, os,
platform, version, enable_password, login, response_delay, misbehave,
habits (quorvi.sim.habits), ...).
Console options: `silent`, `enable_password`; port options: `connect`
(immediate | quiet | press_return), `left_in` (config | pager), `busy`,
`drop_on_boot` (the port drops its client whenever that console boots).

A lab file is checked as an inventory is (`labfile.py`): every problem at
once, each with its position, before anything is served.
"""
import inspect
import json
import os
from typing import Any, Dict, List, Optional, Set, Tuple

from .. import chassis
from ..core.errors import QuorviError
from ..filecheck import Problem
from .harness import PROFILES
from .model import DEVICE_DEFAULTS, normalize_device


CONSOLE_OPTIONS = {"silent", "enable_password"}
CONNECT_MODES = ("immediate", "quiet", "press_return")
LEFT_IN = ("config", "pager")
PORT_OPTIONS = {"connect", "left_in", "busy", "drop_on_boot"}


class LabError(QuorviError):
    """A lab that cannot be served; the message says what to change. From a
    lab file, `problems` lists every problem found, each with its position."""

    def __init__(self, message: str, problems: Optional[List[Problem]] = None) -> None:
        super().__init__(message)
        self.problems = list(problems or [])


class PortSpec:
    """One console of the lab and how its console-server port behaves."""

    __slots__ = ("device", "console", "member", "connect", "left_in", "busy", "drop_on_boot",
                 "port")

    def __init__(self, device: Dict[str, Any], console: Dict[str, Any],
                 options: Dict[str, Any]) -> None:
        self.device = device
        self.console = console["name"]
        self.member = console["member"]
        self.connect: str = options.get("connect", "immediate")
        self.left_in: Optional[str] = options.get("left_in")
        self.busy = bool(options.get("busy", False))
        self.drop_on_boot = bool(options.get("drop_on_boot", False))
        self.port = 0


class Lab:
    """Devices (normalized simulator descriptions) and their ports, in order."""

    def __init__(self) -> None:
        self.devices: Dict[str, Dict[str, Any]] = {}
        self.ports: List[PortSpec] = []

    def add(self, name: str, spec: Dict[str, Any], where: str,
            port_defaults: Optional[Dict[str, Any]] = None) -> None:
        spec = dict(spec)
        kind = spec.pop("kind", "single")
        if kind not in PROFILES:
            raise LabError("%s: unknown kind %r (one of %s)" % (where, kind, ", ".join(PROFILES)))
        consoles = spec.pop("consoles", None) or {}
        known = kind_options(kind) | set(DEVICE_DEFAULTS) - {"chassis", "consoles", "members"}
        unknown = sorted(set(spec) - known)
        if unknown:
            raise LabError("%s: unknown option(s) %s for a %s device; known: %s"
                           % (where, ", ".join(unknown), kind, ", ".join(sorted(known))))
        spec.setdefault("hostname", name)
        try:
            profile: Any = PROFILES[kind]
            description = profile(**spec)
            names = [c["name"] for c in description["consoles"]]
            for console_name in sorted(set(spec.get("misbehave") or {}) - set(names)):
                raise LabError("%s.misbehave.%s: a %s device has no console %r (its consoles: "
                               "%s)" % (where, console_name, kind, console_name, ", ".join(names)))
            port_options = {}
            for console_name, options in consoles.items():
                here = "%s.consoles.%s" % (where, console_name)
                if console_name not in names:
                    raise LabError("%s: a %s device has no console %r (its consoles: %s)"
                                   % (here, kind, console_name, ", ".join(names)))
                bad = sorted(set(options) - CONSOLE_OPTIONS - PORT_OPTIONS)
                if bad:
                    raise LabError("%s: unknown option(s) %s; known: %s" % (
                        here, ", ".join(bad), ", ".join(sorted(CONSOLE_OPTIONS | PORT_OPTIONS))))
                check_port_options(options, here)
                port_options[console_name] = options
            for console in description["consoles"]:
                options = port_options.get(console["name"], {})
                console.update({k: v for k, v in options.items() if k in CONSOLE_OPTIONS})
            device = normalize_device(description)
        except ValueError as exc:
            raise LabError("%s: %s" % (where, exc)) from None
        self.devices[name] = device
        for console in device["consoles"]:
            options = dict(port_defaults or {}, **port_options.get(console["name"], {}))
            self.ports.append(PortSpec(device, console, options))

    def inventory(self, host: str) -> Dict[str, Any]:
        """The lab as an inventory (the format `quorvi.inventory` loads)."""
        by_device: Dict[int, List[PortSpec]] = {}
        for spec in self.ports:
            by_device.setdefault(id(spec.device), []).append(spec)
        devices, credentials = {}, []
        for name, device in self.devices.items():
            lines = {}
            for spec in by_device.get(id(device), []):
                line: Dict[str, Any] = {"console": "%s:%d" % (host, spec.port)}
                if chassis.has_members(device["chassis"]):
                    line["member"] = spec.member
                lines[spec.console] = line
            # One group per chassis kind, so that a fleet run can pick them
            # (quorvi run --filter group=dual).
            entry = {"groups": [device["chassis"]], "os": device["os"],
                     "platform": device["platform"],
                     "chassis_type": chassis.chassis_type(device["chassis"]),
                     "hostname": device["hostname"], "lines": lines}
            devices[name] = entry
            credentials.append((entry, device_credentials(device)))
        inventory: Dict[str, Any] = {}
        shared = [c for _, c in credentials]
        if shared and shared[0] and all(c == shared[0] for c in shared):
            inventory["defaults"] = {"credentials": shared[0]}
        else:
            for entry, creds in credentials:
                if creds:
                    entry["credentials"] = creds
        inventory["groups"] = {kind: {} for kind in
                               sorted({device["chassis"] for device in self.devices.values()})}
        inventory["devices"] = devices
        return inventory


def kind_options(kind: str) -> Set[str]:
    """The options of a kind's simulator profile ("active" for a dual)."""
    parameters = inspect.signature(PROFILES[kind]).parameters.values()
    return {p.name for p in parameters if p.kind is not p.VAR_KEYWORD}


def check_port_options(options: Dict[str, Any], where: str) -> None:
    if options.get("connect", "immediate") not in CONNECT_MODES:
        raise LabError("%s: connect must be one of %s, not %r"
                       % (where, ", ".join(CONNECT_MODES), options["connect"]))
    if options.get("left_in") not in (None,) + LEFT_IN:
        raise LabError("%s: left_in must be one of %s, not %r"
                       % (where, ", ".join(LEFT_IN), options["left_in"]))


def device_credentials(device: Dict[str, Any]) -> Dict[str, Any]:
    creds: Dict[str, Any] = {}
    if device.get("login"):
        creds["default"] = {"username": device["login"]["username"],
                            "password": device["login"]["password"]}
    if device.get("enable_password"):
        creds["enable"] = {"password": device["enable_password"]}
    return creds


def mix_kind(kind: str) -> Dict[str, Any]:
    """The profile options of a kind of a mix: "stack4" is a stack of 4
    members; {} for no kind of the simulator."""
    base = kind.rstrip("0123456789")
    count = kind[len(base):]
    if base not in PROFILES or count and "members" not in kind_options(base):
        return {}
    return dict(kind=base, members=int(count)) if count else dict(kind=base)


def parse_mix(text: str) -> List[Tuple[str, float]]:
    """"single=70,dual=20,stack=10" -> [(kind, weight)]; "stack4" is a stack of 4."""
    mix = []
    for item in text.split(","):
        kind, sep, weight = item.strip().partition("=")
        try:
            value = float(weight)
        except ValueError:
            value = -1.0
        if not sep or not mix_kind(kind) or value < 0:
            kinds = ", ".join(k + (" or %sN for N members" % k if "members" in kind_options(k)
                                   else "") for k in PROFILES)
            raise LabError("--mix: %r is not KIND=WEIGHT (kinds: %s), e.g. "
                           "single=70,dual=20,stack=10" % (item, kinds))
        mix.append((kind, value))
    if not sum(w for _, w in mix):
        raise LabError("--mix: the weights add up to 0")
    return mix


def mix_counts(total: int, mix: List[Tuple[str, float]]) -> List[Tuple[str, int]]:
    """Split `total` devices by weight; the remainders go to the largest fractions."""
    weight = sum(w for _, w in mix)
    exact = [(kind, total * w / weight) for kind, w in mix]
    counts = [int(x) for _, x in exact]
    order = sorted(range(len(mix)), key=lambda i: int(exact[i][1]) - exact[i][1])
    for i in order[:total - sum(counts)]:
        counts[i] += 1
    return [(kind, n) for (kind, _), n in zip(mix, counts)]


def device_options(kind: str) -> Tuple[str, ...]:
    """The options a device of `kind` takes in a lab ("": those of any kind)."""
    own = kind_options(kind) if kind else set().union(*(kind_options(k) for k in PROFILES))
    options = set(DEVICE_DEFAULTS) - {"chassis", "consoles", "members"} | (own or set())
    return ("kind",) + tuple(sorted(options)) + ("consoles",)


def add_file_devices(lab: Lab, path: str, base: Dict[str, Any],
                     port_defaults: Optional[Dict[str, Any]]) -> Dict[str, Any]:
    """Add the devices of the lab file at `path` and return the device
    options over `base` that its defaults make; LabError with every problem
    of the file, each with its position."""
    from .labfile import check_lab_file

    def add(name: str, spec: Dict[str, Any], where: str) -> Optional[Tuple[str, str]]:
        try:
            lab.add(name, spec, where, port_defaults)
        except LabError as exc:
            keypath, _, message = str(exc).partition(": ")
            return (keypath, message) if keypath.startswith(where) else (where, str(exc))
        return None

    console_rules: Dict[str, Any] = {option: "any" for option in CONSOLE_OPTIONS | PORT_OPTIONS}
    console_rules.update(silent="flag", busy="flag", enable_password="secret",
                         connect=CONNECT_MODES, left_in=LEFT_IN)
    problems, defaults = check_lab_file(path, add, base, device_options, console_rules)
    if problems:
        raise LabError("\n".join(str(p) for p in problems), problems)
    return defaults


def build_lab(lab_file: Any = None, devices: int = 0, mix: str = "single=100",
              defaults: Optional[Dict[str, Any]] = None,
              port_defaults: Optional[Dict[str, Any]] = None) -> Lab:
    """The lab of a lab file (a path, or its content as a dict) plus `devices`
    generated devices named R1, R2, ... (names the file uses are skipped).
    `defaults` are device options for every device (the file's defaults win
    over them, a device's own options last)."""
    check_port_options(port_defaults or {}, "serve options")
    lab = Lab()
    base = dict(defaults or {})
    if isinstance(lab_file, dict):
        base.update(lab_file.get("defaults") or {})
        for name, spec in (lab_file.get("devices") or {}).items():
            if not isinstance(spec, dict):
                raise LabError("lab: devices.%s must be a mapping" % name)
            lab.add(str(name), dict(base, **spec), "lab: devices.%s" % name, port_defaults)
    elif lab_file:
        base = add_file_devices(lab, lab_file, base, port_defaults)
    number = 0
    for kind, count in mix_counts(devices, parse_mix(mix)) if devices else []:
        spec = dict(base, **mix_kind(kind))
        for _ in range(count):
            number += 1
            while "R%d" % number in lab.devices:
                number += 1
            name = "R%d" % number
            lab.add(name, dict(spec, serial="%08X" % (0x1A2B0000 + number)),
                    "generated device %s" % name, port_defaults)
    if not lab.ports:
        raise LabError("the lab is empty: give --devices N and/or --lab FILE")
    return lab


def write_inventory(lab: Lab, host: str, path: str) -> None:
    """Write the lab's inventory to `path` (see `write_inventory_file`)."""
    write_inventory_file(lab.inventory(host), path)


def write_inventory_file(inventory: Dict[str, Any], path: str) -> None:
    """Write an inventory atomically: a reader never sees half a file.
    LabError names `path` when it cannot be written."""
    import yaml

    dumper = getattr(yaml, "CSafeDumper", yaml.SafeDumper)
    text = yaml.dump(inventory, Dumper=dumper, sort_keys=False, default_flow_style=False)
    temporary = "%s.%d.tmp" % (path, os.getpid())
    try:
        with open(temporary, "w") as f:
            f.write(text)
        os.replace(temporary, path)
    except OSError as exc:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise LabError("cannot write the inventory %s: %s" % (path, exc.strerror or exc)) from None
