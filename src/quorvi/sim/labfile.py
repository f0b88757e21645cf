"""The lab file checked as an inventory is: every problem at once, each with
file, line, column and key path (`lab.yaml:7:23: devices.R2.response_delay:
expected seconds >= 0, got text 'fast'`).

The file's nodes are checked here (option names with did-you-mean, the type
of every value); each device is then added to the lab, and what `Lab.add`
refuses (a profile's rules, a console the device does not have) is a
problem at the device's name.
"""
from typing import Any, Callable, Dict, List, Optional, Tuple

import yaml

from ..filecheck import MERGE, NOTHING, NodeChecker, Problem, compose
from .harness import PROFILES
from .model import DEVICE_DEFAULTS, MISBEHAVIOURS

TOP_KEYS = ("defaults", "devices")


class _LabChecker(NodeChecker):

    def value(self, rule: Any, node: Any, keypath: str) -> Any:
        """The value of `node` if it keeps `rule` (a rule's name, or a tuple
        of the texts allowed), else NOTHING (reported)."""
        if isinstance(rule, tuple):
            return self.choice(node, keypath, rule)
        if rule == "text":
            return self.text(node, keypath)
        if rule == "secret":
            return self.text(node, keypath, nullable=True, secret=True)
        if rule == "flag":
            return self.flag(node, keypath)
        if rule == "seconds":
            return self.number(node, keypath, "seconds", above=False)
        if rule == "count":
            return self.number(node, keypath, "a whole number", integer=True)
        if rule == "hex":
            value = self.text(node, keypath)
            try:
                bytes.fromhex(value) if value is not NOTHING else None
            except ValueError:
                self.error(node, keypath, "expected bytes in hex (e.g. 00ff0d), got %r" % value)
                return NOTHING
            return value
        if rule == "texts":
            if not isinstance(node, yaml.SequenceNode):
                self.error(node, keypath, "expected a list of texts, got a %s"
                           % ("mapping" if isinstance(node, yaml.MappingNode) else "value"))
                return NOTHING
            items = [self.text(item, "%s[%d]" % (keypath, i)) for i, item in enumerate(node.value)]
            return NOTHING if NOTHING in items else items
        if rule == "login":
            fields = self.fields(node, keypath, {"username": "text", "password": "secret"})
            return None if fields is None else fields
        if rule == "slow":
            return self.fields(node, keypath, None, "seconds")
        if rule == "misbehave":
            return {console: self.fields(sub, "%s.%s" % (keypath, console), MISBEHAVIOURS)
                    for console, _kn, sub in self.mapping(node, keypath, None)}
        # An option without a rule of its own takes any plain value.
        try:
            return self._constructor.construct_object(node, deep=True)
        except yaml.YAMLError:  # a refused tag within, reported already
            return NOTHING

    def fields(self, node: Any, keypath: str, rules: Optional[Dict[str, Any]],
               rule: str = "") -> Any:
        """A mapping whose keys are `rules`' (any key with `rule` when None)."""
        if isinstance(node, yaml.ScalarNode) and node.tag.endswith(":null"):
            return None
        out: Dict[str, Any] = {}
        for key, _kn, sub in self.mapping(node, keypath, tuple(rules) if rules else None):
            out[key] = self.value(rules[key] if rules else rule, sub, "%s.%s" % (keypath, key))
        return out


def _rule(option: str) -> Any:
    """The rule of a device option, from its default where it has no rule of its own."""
    default = DEVICE_DEFAULTS.get(option)
    return RULES.get(option) or ("flag" if isinstance(default, bool) else
                                 "seconds" if isinstance(default, (int, float)) else
                                 "text" if isinstance(default, str) else "any")


RULES: Dict[str, Any] = {"enable_password": "secret", "login": "login",
                         "unlock_commands": "texts", "misbehave": "misbehave",
                         "kind": tuple(PROFILES)}


def check_lab_file(path: str,
                   add: Callable[[str, Dict[str, Any], str], Optional[Tuple[str, str]]],
                   base: Dict[str, Any], device_options: Callable[[str], Tuple[str, ...]],
                   console_rules: Dict[str, Any]) -> Tuple[List[Problem], Dict[str, Any]]:
    """Every problem of the lab file at `path`, and the device options of
    its defaults over `base`. Each device whose options
    are sound goes to `add(name, spec, where)` over the `base` options and
    the file's defaults; what it refuses (a key path and a message) is a
    problem at the device's name.
    `device_options(kind)` are the option names of a kind ("": any kind's);
    `console_rules` the rule of each console option ("any": any value)."""
    checker = _LabChecker(path)
    try:
        with open(path, encoding="utf-8") as handle:
            text = handle.read()
    except (OSError, UnicodeDecodeError) as exc:
        reason = getattr(exc, "strerror", None) or str(exc)
        return [Problem(path, 1, 1, "", "cannot read the lab file: %s" % reason)], base
    root, problems = compose(path, text)
    if problems:
        return problems, base
    if root is None:
        return [Problem(path, 1, 1, "", "the file is empty; it needs a devices: mapping")], base
    checker.refuse_tags(root)
    top = {key: node for key, _kn, node in
           checker.mapping(root, "", TOP_KEYS, "a mapping with defaults and devices")}
    every_option = device_options("")
    defaults = dict(base)
    for key, _kn, node in checker.mapping(top.get("defaults", _EMPTY), "defaults", every_option):
        value = checker.value(_rule(key), node, "defaults.%s" % key)
        if value is not NOTHING:
            defaults[key] = value
    for name, key_node, node in checker.mapping(top.get("devices", _EMPTY), "devices", None):
        where = "devices.%s" % name
        before = checker.faults
        kind = _device_kind(node, defaults)
        spec: Dict[str, Any] = {}
        for key, _kn, sub in checker.mapping(node, where, device_options(kind)):
            if key == "consoles":
                spec[key] = {console: checker.fields(options, "%s.consoles.%s" % (where, console),
                                                     console_rules)
                             for console, _ckn, options in checker.mapping(sub, where + ".consoles",
                                                                           None)}
            else:
                spec[key] = checker.value(_rule(key), sub, "%s.%s" % (where, key))
        if before == checker.faults:
            refused = add(str(name), dict(defaults, **spec), where)
            if refused:
                checker.error(key_node, *refused)
    checker.problems.sort(key=lambda p: (p.line, p.column))
    return checker.problems, defaults


_EMPTY = yaml.MappingNode("tag:yaml.org,2002:map", [])


def _device_kind(node: Any, defaults: Dict[str, Any]) -> str:
    """The kind a device names (or its defaults), "" when not a known one."""
    kind = _named_kind(node, ()) or defaults.get("kind", "single")
    return kind if isinstance(kind, str) and kind in PROFILES else ""


def _named_kind(node: Any, inside: Tuple[int, ...]) -> Any:
    """The value of "kind" in a mapping node: its own key first, then those
    its merge keys bring (a broken merge is reported where it is walked)."""
    if not isinstance(node, yaml.MappingNode) or id(node) in inside:
        return None
    merged = []
    for key_node, value_node in node.value:
        if key_node.tag == MERGE:
            merged += value_node.value if isinstance(value_node, yaml.SequenceNode) \
                else [value_node]
        elif isinstance(key_node, yaml.ScalarNode) and key_node.value == "kind" and \
                isinstance(value_node, yaml.ScalarNode):
            return value_node.value
    for source in merged:
        kind = _named_kind(source, inside + (id(node),))
        if kind is not None:
            return kind
    return None
