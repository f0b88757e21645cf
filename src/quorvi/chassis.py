"""The chassis kinds: the one place that says which kinds of device quorvi
drives, how each is named, and what its console lines look like.

Every other module asks this one. A chassis kind has
- `name`: the chassis type of the connection classes, the registry, the
  `Device` and the inventory ("single_rp", "dual_rp", "stack", "quad");
- `short`: the word of the simulator, the lab file and the command line
  ("single", "dual", "stack", "quad"), which is also its inventory group;
- `title`: how it is called in reports ("dual-RP router");
- `members`: whether every line carries a member number (stacks and quads);
- `min_lines`/`max_lines`: how many console lines its link broker accepts
  (None: no upper bound), and `per_member`: how many lines one member may
  have (stacks: one console per switch; quads: two RPs per chassis).

Adding a chassis kind means adding it here, writing its link broker and
connection class, and giving the simulator a profile for it.
"""
from typing import Dict, Optional, Tuple


class ChassisKind:
    __slots__ = ("name", "short", "title", "members", "min_lines", "max_lines", "per_member")

    def __init__(self, name: str, short: str, title: str, members: bool,
                 min_lines: int, max_lines: Optional[int], per_member: Optional[int] = None) -> None:
        self.name = name
        self.short = short
        self.title = title
        self.members = members
        self.min_lines = min_lines
        self.max_lines = max_lines
        self.per_member = per_member

    def __repr__(self) -> str:
        return "ChassisKind(%r)" % self.name

    def lines_wanted(self) -> str:
        """How many lines this kind takes, in words ("2", "at least 3")."""
        if self.max_lines == self.min_lines:
            return str(self.min_lines)
        if self.max_lines is None:
            return "at least %d" % self.min_lines
        return "%d to %d" % (self.min_lines, self.max_lines)


KINDS: Tuple[ChassisKind, ...] = (
    ChassisKind("single_rp", "single", "single-RP router", members=False, min_lines=1, max_lines=1),
    ChassisKind("dual_rp", "dual", "dual-RP router", members=False, min_lines=2, max_lines=2),
    ChassisKind("stack", "stack", "switch stack", members=True, min_lines=1, max_lines=9,
                per_member=1),
    ChassisKind("quad", "quad", "quad device", members=True, min_lines=1, max_lines=4,
                per_member=2),
)

# chassis types ("single_rp", ...), in the order above
NAMES: Tuple[str, ...] = tuple(k.name for k in KINDS)
# short names ("single", ...), in the same order
SHORT_NAMES: Tuple[str, ...] = tuple(k.short for k in KINDS)
# chassis types whose lines carry member numbers
MEMBER_KINDS: Tuple[str, ...] = tuple(k.name for k in KINDS if k.members)
DEFAULT = "single_rp"

_BY_ANY_NAME: Dict[str, ChassisKind] = {}
for _kind in KINDS:
    _BY_ANY_NAME[_kind.name] = _kind
    _BY_ANY_NAME[_kind.short] = _kind


def get(name: str) -> ChassisKind:
    """The chassis kind called `name` (a chassis type or a short name);
    ValueError listing the kinds for any other name."""
    kind = _BY_ANY_NAME.get(name) if isinstance(name, str) else None
    if kind is None:
        raise ValueError("unknown chassis kind %r (one of %s)" % (name, ", ".join(NAMES)))
    return kind


def is_known(name: str) -> bool:
    return isinstance(name, str) and name in _BY_ANY_NAME


def chassis_type(name: str) -> str:
    """The chassis type for a chassis type or a short name ("dual" -> "dual_rp")."""
    return get(name).name


def short_name(name: str) -> str:
    """The short name for a chassis type or a short name ("dual_rp" -> "dual")."""
    return get(name).short


def has_members(name: str) -> bool:
    """Whether the lines of this kind carry member numbers; False for an
    unknown kind (the caller reports that on its own)."""
    kind = _BY_ANY_NAME.get(name) if isinstance(name, str) else None
    return bool(kind and kind.members)
