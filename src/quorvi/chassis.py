"""The chassis kinds: the one place that says which kinds of device quorvi
drives, how each is named, and what its console lines look like.

Every other module asks this one. A chassis kind has
- `name`: the chassis type of the connection classes, the registry, the
  `Device` and the inventory ("single_rp", "dual_rp", "stack", "quad");
- `short`: the word of the simulator, the lab file and the command line
  ("single", "dual", "stack", "quad"), which is also its inventory group;
- `title`: how it is called in reports ("dual-RP router");
- `members`: whether every line carries a member number (stacks and quads);
- `rps`: the route processors of one chassis, each with its console line
  (two on a dual-RP router and on each chassis of a quad, whose standby RP
  is locked until unlocked; one on a single-RP router and a stack's switch);
- `min_lines`/`max_lines`: how many console lines its link broker accepts
  (None: no upper bound), and `per_member`: how many lines one member may
  have (stacks: one console per switch; quads: two RPs per chassis);
- `lines(members)`: what the simulator, the examples and the tests call its
  lines, with their member numbers: "a", "b" for the RPs of one chassis,
  "m1".."mN" for the switches of a stack, "m1a", "m1b", "m2a", "m2b" for the
  RPs of a quad's two chassis.

Adding a chassis kind means adding it here, writing its link broker and
connection class, and giving the simulator a profile for it.
"""
from __future__ import annotations

# typing is left out at run time: the simulator's console processes import
# this module and start faster without it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict, List, Optional, Tuple


class ChassisKind:
    __slots__ = ("name", "short", "title", "members", "rps", "min_lines", "max_lines")

    def __init__(self, name: str, short: str, title: str, members: bool, rps: int,
                 min_lines: int, max_lines: Optional[int]) -> None:
        self.name = name
        self.short = short
        self.title = title
        self.members = members
        self.rps = rps
        self.min_lines = min_lines
        self.max_lines = max_lines

    @property
    def per_member(self) -> Optional[int]:
        """How many lines one member may have; None for a kind without members."""
        return self.rps if self.members else None

    def lines(self, members: int = 1) -> List[Tuple[str, int]]:
        """(name, member number) of each line of a device of this kind with
        `members` members (a kind without members has one), in member and RP
        order."""
        rps = ["ab"[rp] for rp in range(self.rps)] if self.rps > 1 else [""]
        if not self.members:
            return [(rp or "a", 1) for rp in rps]
        return [("m%d%s" % (member, rp), member) for member in range(1, members + 1)
                for rp in rps]

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
    ChassisKind("single_rp", "single", "single-RP router", members=False, rps=1,
                min_lines=1, max_lines=1),
    ChassisKind("dual_rp", "dual", "dual-RP router", members=False, rps=2,
                min_lines=2, max_lines=2),
    ChassisKind("stack", "stack", "switch stack", members=True, rps=1, min_lines=1, max_lines=9),
    ChassisKind("quad", "quad", "quad device", members=True, rps=2, min_lines=1, max_lines=4),
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


def is_known(name: object) -> bool:
    return isinstance(name, str) and name in _BY_ANY_NAME


def chassis_type(name: str) -> str:
    """The chassis type for a chassis type or a short name ("dual" -> "dual_rp")."""
    return get(name).name


def short_name(name: str) -> str:
    """The short name for a chassis type or a short name ("dual_rp" -> "dual")."""
    return get(name).short


def has_members(name: object) -> bool:
    """Whether the lines of this kind carry member numbers; False for an
    unknown kind (the caller reports that on its own)."""
    kind = _BY_ANY_NAME.get(name) if isinstance(name, str) else None
    return bool(kind and kind.members)
