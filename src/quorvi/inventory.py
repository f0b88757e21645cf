"""A lab in one YAML file: defaults, groups and devices, their credentials and lines.

`load(path)` checks the whole file and returns an `Inventory` of plain data
(`DeviceEntry`, `Line`), devices in file order; `Inventory.device(name)` builds
the framework's `quorvi.device.Device` from an entry. A broken file raises
`InventoryError` carrying every problem found, each with file, line, column
and key path (`lab.yaml:14:5: devices.R7.lines.b: unknown key 'comand' (did
you mean 'command'?)`).

A device's keys are resolved in order: `defaults`, then each of its groups
(later groups win), then its own keys. `credentials` merge per credential
name and field; every other key is replaced whole.

The same file may be written in JSON (it is read by the same rules). YAML
merge keys share settings within the file (`<<: *edge`, a mapping's own
keys winning); any other tag is a problem. What a device's link broker
would refuse for its shape (the line count of its chassis kind, members)
is a problem of the file, and no credential value is shown in a problem.

A line through a console server that asks for a login of its own takes it
from the line's `server_login` or, for every line on that server, from
`console_servers: {HOST: {login: {username, password}}}` (docs/console-servers.md).
"""
import difflib
import os
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Tuple

import yaml

from . import chassis
from . import credentials as creds
from .core.errors import QuorviError
from .device import Device, member_ordered
from .filecheck import NOTHING, NodeChecker, Problem, compose, kind
from .transports import (BUSY_POLICIES, CONSERVER_RE, CONSOLE_RE, CONSOLE_SERVER_TRANSPORTS,
                         SSH_RE, TRANSPORTS, Line)

CHASSIS_TYPES = chassis.NAMES
# Chassis whose lines each belong to a member (a stack member, a quad's chassis).
MEMBER_CHASSIS = chassis.MEMBER_KINDS
SHARED_KEYS = ("os", "platform", "model", "chassis_type", "hostname", "credentials", "timeout")
DEVICE_KEYS = ("groups",) + SHARED_KEYS + ("lines",)
LINE_KEYS = TRANSPORTS + ("member", "ssh_options", "identity_file", "busy", "server_login")
CREDENTIAL_FIELDS = ("username", "password")
TOP_KEYS = ("defaults", "groups", "devices", "console_servers")

class InventoryError(QuorviError):
    """An inventory file that cannot be used; `problems` lists every error found."""

    def __init__(self, problems: List[Problem]) -> None:
        self.problems = problems
        super().__init__("\n".join(str(p) for p in problems))


@dataclass
class DeviceEntry:
    """A device as the inventory resolves it. Credential values are kept as
    written (sources such as "env:NAME" are read at connect time)."""
    name: str
    os: str = "generic"
    platform: Optional[str] = None
    model: Optional[str] = None
    chassis_type: str = "single_rp"
    hostname: Optional[str] = None
    groups: List[str] = field(default_factory=list)
    credentials: Dict[str, Dict[str, str]] = field(default_factory=dict)
    lines: Dict[str, Line] = field(default_factory=dict)
    timeout: Optional[float] = None
    base_dir: str = ""  # where relative file: paths start

    def to_dict(self, mask: bool = True) -> Dict[str, Any]:
        """Plain data; with `mask` literal secrets are replaced by a mask."""
        data = asdict(self)
        data.pop("base_dir")
        data["lines"] = {alias: {k: v for k, v in line.items()
                                 if k != "alias" and v not in (None, {})}
                         for alias, line in data["lines"].items()}
        for line in data["lines"].values():
            if line["transport"] != "conserver":
                line.pop("busy", None)
            if mask and "password" in line.get("server_login", {}):
                line["server_login"]["password"] = creds.masked(line["server_login"]["password"])
            line[line.pop("transport")] = line.pop("target")
        if mask:
            data["credentials"] = {name: {k: (creds.masked(v) if k == "password" else v)
                                          for k, v in cred.items()}
                                   for name, cred in data["credentials"].items()}
        return data

    def describe(self) -> Dict[str, Any]:
        """The entry as a fleet's plain device description (Device keywords
        plus "groups"): lines as {"console"|"ssh"|"command": target, ...},
        credential values as written, their sources read where the device
        is driven (a relative file: path made absolute here)."""
        connections = {}
        for alias, line in self.lines.items():
            plain: Dict[str, Any] = {line.transport: line.target}
            if line.member is not None:
                plain["member"] = line.member
            if line.ssh_options:
                plain["ssh_options"] = dict(line.ssh_options)
            if line.identity_file:
                plain["identity_file"] = line.identity_file
            if line.transport == "conserver":
                plain["busy"] = line.busy
            if line.server_login:
                plain["server_login"] = dict(line.server_login)
            connections[alias] = plain
        credentials = {name: {k: self._absolute_source(v) for k, v in cred.items()}
                       for name, cred in self.credentials.items()}
        description: Dict[str, Any] = dict(name=self.name, os=self.os, platform=self.platform, model=self.model,
                           chassis_type=self.chassis_type, hostname=self.hostname,
                           connections=connections, credentials=credentials,
                           learn_os=self.os == "generic", learn_hostname=self.hostname is None,
                           groups=list(self.groups))
        if self.timeout is not None:
            description["settings"] = {"CONNECTION_TIMEOUT": self.timeout}
        return description

    def _absolute_source(self, value: Any) -> Any:
        source, argument = creds.parse(value)
        if source != "file" or not self.base_dir:
            return value
        path = os.path.expanduser(argument)
        return "file:" + (path if os.path.isabs(path) else os.path.join(self.base_dir, path))

    def build(self, settings: Any = None) -> Any:
        """The framework `Device` for this entry. Its credentials are read
        from their sources only when a dialog needs them."""

        secrets = {name: {k: creds.Secret(v, self.name, name, self.base_dir)
                          for k, v in cred.items()}
                   for name, cred in self.credentials.items()}
        connections = {alias: {"line": line, "member": line.member}
                       for alias, line in self.lines.items()}
        device = Device(self.name, os=self.os, platform=self.platform, model=self.model,
                        chassis_type=self.chassis_type, hostname=self.hostname,
                        connections=connections, credentials=secrets,
                        learn_os=self.os == "generic", learn_hostname=self.hostname is None,
                        settings=settings)
        if self.timeout is not None:
            device.settings.CONNECTION_TIMEOUT = self.timeout
        return device


@dataclass
class Inventory:
    """Devices by name, in file order."""
    path: str
    devices: Dict[str, DeviceEntry] = field(default_factory=dict)

    def __getitem__(self, name: str) -> DeviceEntry:
        try:
            return self.devices[name]
        except KeyError:
            close = difflib.get_close_matches(name, list(self.devices), n=1)
            raise KeyError("%s has no device %r%s" % (
                self.path, name, " (did you mean %r?)" % close[0] if close else "")) from None

    def __iter__(self) -> Iterator[DeviceEntry]:
        return iter(self.devices.values())

    def __len__(self) -> int:
        return len(self.devices)

    def __contains__(self, name: object) -> bool:
        return name in self.devices

    def device(self, name: str, settings: Any = None) -> Any:
        """The framework `Device` of the entry named `name`."""
        return self[name].build(settings)


# -- checking ----------------------------------------------------------------
MAP_TAG, NULL_TAG = "tag:yaml.org,2002:map", "tag:yaml.org,2002:null"
EMPTY_MAPPING = yaml.MappingNode(MAP_TAG, [])


class _Checker(NodeChecker):
    """Walks the composed YAML nodes of an inventory."""

    def __init__(self, path: str) -> None:
        super().__init__(path)
        self.servers: Dict[str, Dict[str, str]] = {}  # console_servers: HOST -> login

    # -- the shared device keys (defaults, groups, devices) ---------------
    def settings(self, items: List[Tuple[str, Any, Any]],
                 keypath: str) -> Dict[str, Tuple[Any, Any]]:
        """key -> (value, node) for the keys a device, a group and the defaults share."""
        out: Dict[str, Tuple[Any, Any]] = {}
        for key, _key_node, node in items:
            sub = "%s.%s" % (keypath, key)
            value: Any = NOTHING
            if key in ("os",):
                value = self.text(node, sub)
            elif key in ("platform", "model", "hostname"):
                value = self.text(node, sub, nullable=True)
            elif key == "chassis_type":
                value = self.choice(node, sub, CHASSIS_TYPES, "chassis type")
            elif key == "timeout":
                value = self.number(node, sub, "a number of seconds")
            elif key == "credentials":
                value = self.credentials(node, sub)
            elif key == "groups":
                value = self.group_names(node, sub)
            if value is not NOTHING:
                out[key] = (value, node)
        return out

    def credentials(self, node: Any, keypath: str) -> Dict[str, Dict[str, str]]:
        out: Dict[str, Dict[str, str]] = {}
        # No value under credentials is shown in a problem: it may be a secret.
        for name, _key_node, cred_node in self.mapping(node, keypath, None, secret=True):
            out[name] = self.credential(cred_node, "%s.%s" % (keypath, name))
        return out

    def credential(self, node: Any, keypath: str) -> Dict[str, str]:
        fields: Dict[str, str] = {}
        for key, _kn, value_node in self.mapping(node, keypath, CREDENTIAL_FIELDS, secret=True):
            value = self.text(value_node, "%s.%s" % (keypath, key), secret=True)
            if value is NOTHING:
                continue
            problem = source_problem(value)
            if problem:
                self.error(value_node, "%s.%s" % (keypath, key), problem)
                continue
            fields[key] = value
        return fields

    def server_login(self, node: Any, keypath: str) -> Dict[str, str]:
        """A console server's own login; a relative file: path starts at the
        inventory file, wherever the line is later opened."""
        login = self.credential(node, keypath)
        source, argument = creds.parse(login.get("password", ""))
        if source == "file" and not os.path.isabs(os.path.expanduser(argument)):
            login["password"] = "file:" + os.path.join(os.path.dirname(os.path.abspath(
                self.path)), argument)
        return login

    def console_servers(self, node: Any) -> Dict[str, Dict[str, str]]:
        """HOST -> the login of every line on that console server."""
        out = {}
        for host, _kn, server_node in self.mapping(node, "console_servers", None):
            sub = "console_servers.%s" % host
            for key, _k, login_node in self.mapping(server_node, sub, ("login",)):
                out[host.strip("[]")] = self.server_login(login_node, "%s.%s" % (sub, key))
        return out

    def group_names(self, node: Any, keypath: str) -> List[Tuple[str, Any]]:
        if not isinstance(node, yaml.SequenceNode):
            self.error(node, keypath, "expected a list of group names, got %s" % kind(node))
            return []
        names = []
        for index, item in enumerate(node.value):
            name = self.text(item, "%s[%d]" % (keypath, index))
            if name is not NOTHING:
                names.append((name, item))
        return names

    # -- devices ----------------------------------------------------------------
    def device(self, name: str, key_node: Any, node: Any, defaults: Dict[str, Tuple[Any, Any]],
               groups: Dict[str, Dict[str, Tuple[Any, Any]]], base_dir: str
               ) -> Optional[DeviceEntry]:
        """The device resolved over the defaults and its groups, or None
        when it has no usable lines."""
        sub = "devices.%s" % name
        if isinstance(node, yaml.ScalarNode) and node.tag == NULL_TAG:
            self.error(key_node, sub, "nothing under the device: give at least its lines, "
                                      "e.g. lines: {a: {console: \"SERVER:PORT\"}}")
            return None
        items = self.mapping(node, sub, DEVICE_KEYS)
        own = self.settings([i for i in items if i[0] != "lines"], sub)
        resolved: Dict[str, Any] = {}
        _merge(resolved, defaults)
        group_list = []
        for group, group_node in own.pop("groups", ([], None))[0]:
            if group not in groups:
                close = difflib.get_close_matches(group, list(groups), n=1)
                self.error(group_node, sub + ".groups", "unknown group %r%s" % (
                    group, " (did you mean %r?)" % close[0] if close else
                    " (groups: %s)" % ", ".join(groups) if groups else " (the file has no groups)"))
                continue
            group_list.append(group)
            _merge(resolved, groups[group])
        _merge(resolved, own)
        entry = DeviceEntry(name=name, groups=group_list, base_dir=base_dir,
                            **{k: v for k, v in resolved.items() if k in SHARED_KEYS})
        lines_node = next((n for k, _kn, n in items if k == "lines"), None)
        if lines_node is None:
            if isinstance(node, yaml.MappingNode):
                self.error(node, sub, "no lines: give at least one line, "
                                      "e.g. lines: {a: {console: \"SERVER:PORT\"}}")
            return None
        self.lines(entry, lines_node, sub + ".lines")
        return entry

    def lines(self, entry: DeviceEntry, node: Any, keypath: str) -> None:
        """Check the lines of `entry` and add them to it; on a stack or quad,
        their members too."""
        before = self.faults
        items = self.mapping(node, keypath, None)
        if not items and not any(p.path == keypath for p in self.problems):
            self.error(node, keypath, "no lines: give at least one line")
        kind = chassis.get(entry.chassis_type)
        members: Dict[int, List[str]] = {}
        for alias, _akn, line_node in items:
            line_path = "%s.%s" % (keypath, alias)
            found = self.line(alias, line_node, line_path)
            if found is None:
                continue
            line, member_node = found
            if kind.members:
                if line.member is None and member_node is None and not any(
                        p.path == line_path + ".member" for p in self.problems):
                    self.error(line_node, line_path, "member missing: every line of a %s device "
                               "needs member: N (an integer >= 1)" % entry.chassis_type)
                elif line.member is not None and kind.per_member is not None and \
                        len(members.get(line.member, [])) >= kind.per_member:
                    taken = members[line.member]
                    self.error(member_node, line_path + ".member",
                               "member %d is already used by line%s %s; a %s has %s per member"
                               % (line.member, "s" if len(taken) > 1 else "",
                                  " and ".join(map(repr, taken)), kind.title,
                                  "one line" if kind.per_member == 1
                                  else "at most %d lines" % kind.per_member))
                elif line.member is not None:
                    members.setdefault(line.member, []).append(alias)
            entry.lines[alias] = line
        if before != self.faults:
            return
        # What the link broker refuses: too few or too many lines for the kind.
        # A single-RP device may list more lines: each is a connection of its own.
        count = len(entry.lines)
        if count < kind.min_lines or (kind.name != chassis.DEFAULT and kind.max_lines is not None
                                      and count > kind.max_lines):
            self.error(node, keypath, "a %s has %s line%s, found %d" % (
                kind.title, kind.lines_wanted(), "" if kind.lines_wanted() == "1" else "s",
                count))
        elif kind.members:
            # The rest of what the device itself refuses (member range, gaps).
            try:
                member_ordered(entry.name, entry.chassis_type,
                               {a: {"member": l.member} for a, l in entry.lines.items()})
            except ValueError as exc:
                self.error(node, keypath, str(exc).split(": ", 1)[-1])

    def line(self, alias: str, node: Any, keypath: str) -> Optional[Tuple[Line, Any]]:
        items = self.mapping(node, keypath, LINE_KEYS)
        if not isinstance(node, (yaml.MappingNode, yaml.ScalarNode)) or (
                isinstance(node, yaml.ScalarNode) and node.tag != NULL_TAG):
            return None  # reported as a wrong type
        given = [(key, value_node, key_node) for key, key_node, value_node in items
                 if key in TRANSPORTS]
        if not given:
            if any(p.path == keypath for p in self.problems):
                return None  # a misspelt transport, reported with its did-you-mean
            self.error(node, keypath, "no transport: give one of console: HOST:PORT, "
                                      "conserver: CONSOLE@HOST[:PORT], "
                                      "ssh: [USER@]HOST[:PORT] or command: COMMAND")
            return None
        if len(given) > 1:
            self.error(given[1][2], keypath, "two transports (%s): give exactly one of %s"
                       % (" and ".join(k for k, _, _ in given), ", ".join(TRANSPORTS)))
            return None
        transport, target_node, _ = given[0]
        target = self.text(target_node, "%s.%s" % (keypath, transport))
        if target is NOTHING:
            return None
        if transport == "console":
            match = CONSOLE_RE.match(target)
            if not match or not 0 < int(match.group("port")) < 65536:
                self.error(target_node, "%s.console" % keypath,
                           "expected SERVER:PORT (a port 1-65535), got %r" % target)
                return None
        elif transport == "conserver":
            match = CONSERVER_RE.match(target)
            if not match or (match.group("port") and not 0 < int(match.group("port")) < 65536):
                self.error(target_node, "%s.conserver" % keypath,
                           "expected CONSOLE@HOST[:PORT], got %r" % target)
                return None
        elif transport == "ssh":
            match = SSH_RE.match(target)
            if not match or (match.group("port") and not 0 < int(match.group("port")) < 65536):
                self.error(target_node, "%s.ssh" % keypath,
                           "expected [USER@]HOST[:PORT], got %r" % target)
                return None
        entry = Line(alias, transport, target)
        member_node = None
        for key, _kn, value_node in items:
            sub = "%s.%s" % (keypath, key)
            if key == "member":
                value = self.scalar(value_node)
                if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                    self.error(value_node, sub,
                               "expected an integer >= 1, got %s" % kind(value_node))
                else:
                    entry.member, member_node = value, value_node
            elif key == "identity_file":
                value = self.text(value_node, sub)
                if value is not NOTHING:
                    entry.identity_file = value
            elif key == "busy":
                value = self.text(value_node, sub)
                if value is not NOTHING and value not in BUSY_POLICIES:
                    self.error(value_node, sub, "expected one of %s, got %r"
                               % (", ".join(BUSY_POLICIES), value))
                elif value is not NOTHING:
                    entry.busy = value
            elif key == "server_login":
                entry.server_login = self.server_login(value_node, sub)
            elif key == "ssh_options":
                for option, _okn, option_node in self.mapping(value_node, sub, None):
                    value = self.scalar(option_node)
                    if value is NOTHING or value is None:
                        self.error(option_node, "%s.%s" % (sub, option),
                                   "expected a value, got %s" % kind(option_node))
                    else:
                        entry.ssh_options[option] = ("yes" if value is True else "no"
                                                     if value is False else str(value))
        if transport != "ssh" and (entry.ssh_options or entry.identity_file):
            self.error(node, keypath, "ssh_options and identity_file apply to ssh lines only")
        keys = [key for key, _kn, _vn in items]
        if transport != "conserver" and "busy" in keys:
            self.error(node, keypath, "busy applies to conserver lines only")
        if transport not in CONSOLE_SERVER_TRANSPORTS and "server_login" in keys:
            self.error(node, keypath, "server_login applies to console and conserver lines only")
        if transport in CONSOLE_SERVER_TRANSPORTS and not entry.server_login:
            host = (CONSERVER_RE if transport == "conserver" else CONSOLE_RE).match(target)
            if host is not None:
                entry.server_login = dict(self.servers.get(host.group("host").strip("[]"), {}))
        return entry, member_node


def source_problem(value: str) -> Optional[str]:
    """Why a credential value cannot be used, or None."""
    source, argument = creds.parse(value)
    if source in ("env", "file") and not argument:
        return "%s: needs a %s after the colon" % (source, "variable name" if source == "env"
                                                   else "path")
    if source == "literal" and not value.startswith("literal:"):
        scheme, sep, _ = value.partition(":")
        if sep and scheme.isalpha():
            close = difflib.get_close_matches(scheme.lower(), creds.SOURCES, n=1, cutoff=0.6)
            if close:
                # The value is not shown: it may be a password that starts so.
                return ("unknown credential source before the colon (did you mean '%s:'?); "
                        "write literal: before a value that starts so" % close[0])
    return None


def _merge(target: Dict[str, Any], layer: Dict[str, Tuple[Any, Any]]) -> None:
    for key, (value, _node) in layer.items():
        if key == "credentials":
            merged = {name: dict(fields) for name, fields in target.get("credentials", {}).items()}
            for name, fields in value.items():
                merged.setdefault(name, {}).update(fields)
            target["credentials"] = merged
        else:
            target[key] = value


def _problems(path: str, text: str) -> Tuple[List[Problem], Dict[str, DeviceEntry]]:
    checker = _Checker(path)
    root, problems = compose(path, text)
    if problems:
        return problems, {}
    if root is None:
        return [Problem(path, 1, 1, "", "the file is empty; it needs a devices: mapping")], {}
    checker.refuse_tags(root)
    top = {key: node for key, _kn, node in checker.mapping(root, "", TOP_KEYS, "a mapping "
                                                             "with defaults, groups, devices")}
    if isinstance(root, yaml.MappingNode) and "devices" not in top:
        checker.error(root, "devices", "missing: the file needs a devices: mapping")
    defaults: Dict[str, Tuple[Any, Any]] = {}
    if "defaults" in top:
        defaults = checker.settings(checker.mapping(top["defaults"], "defaults", SHARED_KEYS),
                                    "defaults")
    groups: Dict[str, Dict[str, Tuple[Any, Any]]] = {}
    if "groups" in top:
        for name, _kn, node in checker.mapping(top["groups"], "groups", None):
            sub = "groups.%s" % name
            groups[name] = checker.settings(checker.mapping(node, sub, SHARED_KEYS), sub)
    if "console_servers" in top:
        checker.servers = checker.console_servers(top["console_servers"])
    entries: Dict[str, DeviceEntry] = {}
    base_dir = os.path.dirname(os.path.abspath(path))
    devices = checker.mapping(top.get("devices", EMPTY_MAPPING), "devices", None)
    given = top.get("devices")
    if given is not None and (given.tag == NULL_TAG or given.tag == MAP_TAG and not given.value):
        checker.error(given, "devices", "no devices: describe at least one")
    for name, key_node, node in devices:
        entry = checker.device(name, key_node, node, defaults, groups, base_dir)
        if entry is not None:
            entries[name] = entry
    checker.problems.sort(key=lambda p: (p.line, p.column))
    return checker.problems, entries


def _read(path: str) -> str:
    try:
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except (OSError, UnicodeDecodeError) as exc:
        reason = getattr(exc, "strerror", None) or str(exc)
        problem = Problem(path, 1, 1, "", "cannot read the file: %s" % reason)
        raise InventoryError([problem]) from None


def check(path: str) -> List[Problem]:
    """Every problem of the inventory file at `path` (an empty list: usable)."""
    try:
        text = _read(path)
    except InventoryError as exc:
        return exc.problems
    return _problems(path, text)[0]


def load(path: str) -> Inventory:
    """The inventory at `path`; InventoryError (with every problem) when it is broken."""
    problems, entries = _problems(path, _read(path))
    if problems:
        raise InventoryError(problems)
    return Inventory(path, entries)


def show(inventory: Inventory, name: Optional[str] = None, fmt: str = "yaml") -> str:
    """The resolved devices (or one), secrets masked, as YAML or JSON text."""
    entries = [inventory[name]] if name is not None else list(inventory)
    data = {entry.name: entry.to_dict(mask=True) for entry in entries}
    if fmt == "json":
        import json
        return json.dumps(data, indent=2)
    return yaml.safe_dump(data, sort_keys=False, default_flow_style=False).rstrip("\n")
