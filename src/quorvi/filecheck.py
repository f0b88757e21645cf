"""Checking a YAML (or JSON) file by its nodes, so that every problem is
reported at once with file, line, column and key path.

The inventory and the simulator's lab file are checked this way. `compose`
parses the text into nodes (a syntax error, a tab in the indentation and
any tag other than YAML's plain ones are problems with their position);
`NodeChecker` walks the nodes: mappings with their merge keys (`<<: *name`)
resolved, scalars, texts and numbers, each wrong value reported where it
stands. Values under a secret key path are never shown in a problem.
"""
import difflib
import math
from dataclasses import dataclass
from typing import Any, List, Optional, Set, Tuple

import yaml

_TAG = "tag:yaml.org,2002:"
# The tags a plain file has (written out or implied); any other tag
# (`!!python/object`, `!custom`, `!!binary`) is refused.
PLAIN_TAGS = {_TAG + name for name in ("str", "int", "float", "bool", "null", "map", "seq",
                                       "merge", "timestamp")}
MERGE = _TAG + "merge"
NOTHING = object()  # a value that is missing or was reported wrong


@dataclass
class Problem:
    """One error of a file, at a position and key path."""
    file: str
    line: int
    column: int
    path: str
    message: str

    def __str__(self) -> str:
        return "%s:%d:%d: %s: %s" % (self.file, self.line, self.column, self.path or "(file)",
                                     self.message)


def compose(path: str, text: str) -> Tuple[Any, List[Problem]]:
    """The root node of `text` (None for an empty file) and the problems
    that keep it from being read."""
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    try:
        return yaml.compose(text, Loader=loader), []
    except yaml.MarkedYAMLError as exc:
        mark = exc.problem_mark or exc.context_mark
        line, column = (mark.line, mark.column) if mark else (0, 0)
        rows = text.splitlines()
        if line < len(rows) and "\t" in rows[line][:column + 1] and \
                not rows[line][:column].replace("\t", " ").strip():
            message = "a tab in the indentation: indent with spaces"
        else:
            message = "not valid YAML: %s" % (exc.problem or exc.context)
        return None, [Problem(path, line + 1, column + 1, "", message)]
    except yaml.YAMLError as exc:
        return None, [Problem(path, 1, 1, "", "not valid YAML: %s" % exc)]


def kind(node: Any, secret: bool = False) -> str:
    """What a node holds, in words; a secret's value is left out."""
    if isinstance(node, yaml.MappingNode):
        return "a mapping"
    if isinstance(node, yaml.SequenceNode):
        return "a list"
    tag = node.tag.rsplit(":", 1)[-1]
    if secret:
        return {"null": "nothing", "str": "a text", "int": "a number", "float": "a number",
                "bool": "a yes/no value"}.get(tag, "a %s" % tag)
    return {"null": "nothing", "str": "text %r" % node.value, "int": "the number %s" % node.value,
            "float": "the number %s" % node.value, "bool": "%s (a yes/no value)" % node.value
            }.get(tag, "%s %r" % (tag, node.value))


class NodeChecker:
    """Walks composed nodes, collecting every problem with its position."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.problems: List[Problem] = []
        self.faults = 0  # problems found, also those not repeated at a refused node
        self._constructor = yaml.constructor.SafeConstructor()
        self._refused: Set[int] = set()  # nodes of a refused tag: reported once

    def error(self, node: Any, keypath: str, message: str) -> None:
        self.faults += 1
        if id(node) in self._refused:
            return
        mark = node.start_mark
        self.problems.append(Problem(self.path, mark.line + 1, mark.column + 1, keypath, message))

    def refuse_tags(self, root: Any) -> None:
        """Report every node with a tag other than the plain ones."""
        seen: Set[int] = set()
        stack = [(root, "")]
        while stack:
            node, keypath = stack.pop()
            if id(node) in seen:
                continue
            seen.add(id(node))
            if node.tag not in PLAIN_TAGS:
                self.error(node, keypath, "the YAML tag %s is not supported: write plain values"
                           % _short_tag(node.tag))
                self._refused.add(id(node))
                continue
            if isinstance(node, yaml.MappingNode):
                for key, value in reversed(node.value):
                    name = key.value if isinstance(key, yaml.ScalarNode) else "?"
                    stack += [(value, "%s.%s" % (keypath, name) if keypath else name),
                              (key, keypath)]
            elif isinstance(node, yaml.SequenceNode):
                for index in reversed(range(len(node.value))):
                    stack.append((node.value[index], "%s[%d]" % (keypath, index)))

    def scalar(self, node: Any) -> Any:
        if not isinstance(node, yaml.ScalarNode) or id(node) in self._refused:
            return NOTHING
        try:
            return self._constructor.construct_object(node, deep=True)
        except yaml.YAMLError as exc:  # an explicit tag its text does not fit ("!!int x")
            self.error(node, "", "not a valid value: %s" % getattr(exc, "problem", exc))
            self._refused.add(id(node))
            return NOTHING

    def pairs(self, node: Any, keypath: str, secret: bool = False,
              _inside: Tuple[int, ...] = ()) -> List[Tuple[Any, Any, bool]]:
        """(key node, value node, merged) of a mapping node, merge keys
        resolved: the mapping's own keys first win, then those of the merged
        mappings in the order given."""
        own: List[Tuple[Any, Any, bool]] = []
        merged: List[Tuple[Any, Any, bool]] = []
        for key_node, value_node in node.value:
            if key_node.tag != MERGE:
                own.append((key_node, value_node, False))
                continue
            sources = value_node.value if isinstance(value_node, yaml.SequenceNode) \
                else [value_node]
            for source in sources:
                if id(source) in _inside + (id(node),):
                    self.error(key_node, keypath, "this merge includes the mapping itself")
                elif not isinstance(source, yaml.MappingNode):
                    self.error(source, keypath, "a merge key (<<) takes a mapping or a list of "
                                                "mappings, got %s" % kind(source, secret))
                else:
                    merged.extend((k, v, True) for k, v, _m in
                                  self.pairs(source, keypath, secret, _inside + (id(node),)))
        return own + merged

    def mapping(self, node: Any, keypath: str, allowed: Optional[Tuple[str, ...]],
                what: str = "a mapping", secret: bool = False) -> List[Tuple[str, Any, Any]]:
        """(key, key node, value node) of a mapping node, in order; unknown and
        duplicate keys are reported and left out (a key merged in with <<
        gives way to the mapping's own one)."""
        if isinstance(node, yaml.ScalarNode) and node.tag == _TAG + "null" or \
                id(node) in self._refused:
            return []
        if not isinstance(node, yaml.MappingNode):
            self.error(node, keypath, "expected %s, got %s" % (what, kind(node, secret)))
            return []
        items, seen = [], set()
        for key_node, value_node, merged in self.pairs(node, keypath, secret):
            key = self.scalar(key_node)
            if key is NOTHING or isinstance(key, (bool, float)) or key is None:
                self.error(key_node, keypath, "a key must be a name, got %s"
                           % kind(key_node, secret))
                continue
            key = str(key)
            if allowed is not None and key not in allowed:
                close = difflib.get_close_matches(key, allowed, n=1, cutoff=0.6)
                # Under a secret, a key may be a value written in the wrong place.
                self.error(key_node, keypath, "unknown key%s%s" % (
                    "" if secret else " %r" % key,
                    " (did you mean %r?)" % close[0] if close else
                    " (known keys: %s)" % ", ".join(allowed)))
                continue
            if key in seen:
                if not merged:
                    self.error(key_node, keypath, "duplicate key %r" % key)
                continue
            seen.add(key)
            items.append((key, key_node, value_node))
        return items

    def text(self, node: Any, keypath: str, nullable: bool = False, secret: bool = False) -> Any:
        value = self.scalar(node)
        if value is None and nullable:
            return None
        if not isinstance(value, str) or not value.strip():
            self.error(node, keypath, "expected a %stext, got %s%s" % (
                "non-empty " if isinstance(value, str) else "", kind(node, secret),
                " (quote it)" if isinstance(value, (int, float)) and not isinstance(value, bool)
                else ""))
            return NOTHING
        return value

    def choice(self, node: Any, keypath: str, allowed: Tuple[str, ...],
               what: str = "value") -> Any:
        """A text that is one of `allowed`, with a did-you-mean when it is not."""
        value = self.text(node, keypath)
        if value is not NOTHING and value not in allowed:
            close = difflib.get_close_matches(value, allowed, n=1, cutoff=0.5)
            self.error(node, keypath, "unknown %s %r (%s)" % (
                what, value, "did you mean %r?" % close[0] if close else
                "one of %s" % ", ".join(allowed)))
            return NOTHING
        return value

    def number(self, node: Any, keypath: str, what: str, least: float = 0,
               above: bool = True, integer: bool = False) -> Any:
        """A finite number above `least` (at least `least` with above=False)."""
        value = self.scalar(node)
        if isinstance(value, bool) or not isinstance(value, int if integer else (int, float)) \
                or not math.isfinite(value) or (value <= least if above else value < least):
            self.error(node, keypath, "expected %s %s %s, got %s" % (
                what, ">" if above else ">=", _plain(least), kind(node)))
            return NOTHING
        return value

    def flag(self, node: Any, keypath: str) -> Any:
        value = self.scalar(node)
        if not isinstance(value, bool):
            self.error(node, keypath, "expected yes or no, got %s" % kind(node))
            return NOTHING
        return value


def _plain(number: float) -> str:
    return "%g" % number


def _short_tag(tag: str) -> str:
    return "!!" + tag[len(_TAG):] if tag.startswith(_TAG) else tag
