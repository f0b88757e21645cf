"""A stack's or quad's console lines: member order and member numbers, checked when the Device is made."""
import pytest

from quorvi.device import Device


def lines(*members):
    """Lines named after their position in the list, with the given member numbers (None: none)."""
    made = {}
    for index, member in enumerate(members):
        made["c%d" % index] = {"command": "/bin/cat"} if member is None else \
            {"command": "/bin/cat", "member": member}
    return made


@pytest.mark.parametrize("chassis, members, order", [
    ("stack", [3, 2, 1], ["c2", "c1", "c0"]),
    ("stack", ["2", 1, "3"], ["c1", "c0", "c2"]),  # numbers as text, from a file or a flag
    ("quad", [2, 2, 1, 1], ["c2", "c3", "c0", "c1"]),
    ("dual_rp", [None, None], ["c0", "c1"]),  # other chassis types keep the order given
])
def test_stack_and_quad_lines_are_kept_in_member_order(chassis, members, order):
    dev = Device("S1", chassis_type=chassis, connections=lines(*members))
    assert list(dev.connections) == order
    if chassis in ("stack", "quad"):
        assert [line["member"] for line in dev.connections.values()] == sorted(int(m) for m in members)


@pytest.mark.parametrize("chassis, members, message", [
    ("stack", [1, None, 3], r"stack line 'c1' has no member number"),
    ("quad", [1, 1, None, 2], r"quad line 'c2' has no member number"),
    ("stack", [1, 2, 2], r"stack lines 'c1' and 'c2' both have member number 2"),
    ("stack", [1, 2, 4], r"line 'c2' has member number 4 but the stack has no line for member 3"),
    ("stack", [1, 2, 0], r"line 'c2' has member number 0"),
    ("quad", [1, True], r"line 'c1' has member number True"),
])
def test_a_line_without_a_usable_member_number_is_refused_by_name(chassis, members, message):
    with pytest.raises(ValueError, match=message):
        Device("S1", chassis_type=chassis, connections=lines(*members))
