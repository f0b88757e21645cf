"""The chassis kinds: the one vocabulary the rest of quorvi asks."""
import pytest

from quorvi import chassis, plugins


@pytest.mark.parametrize("name, members, lines", [
    ("single", 1, [("a", 1)]),
    ("dual_rp", 1, [("a", 1), ("b", 1)]),
    ("stack", 4, [("m1", 1), ("m2", 2), ("m3", 3), ("m4", 4)]),
    ("quad", 2, [("m1a", 1), ("m1b", 1), ("m2a", 2), ("m2b", 2)]),
])
def test_line_names_and_members_of_each_kind(name, members, lines):
    assert chassis.get(name).lines(members) == lines


def test_both_spellings_name_one_kind_and_others_are_refused():
    assert [chassis.chassis_type(s) for s in chassis.SHORT_NAMES] == list(chassis.NAMES)
    assert [chassis.short_name(n) for n in chassis.NAMES] == list(chassis.SHORT_NAMES)
    assert plugins.supported_chassis == list(chassis.NAMES)
    assert [n for n in chassis.NAMES if chassis.has_members(n)] == list(chassis.MEMBER_KINDS)
    with pytest.raises(ValueError, match="unknown chassis kind 'duo' .one of single_rp, dual_rp"):
        chassis.get("duo")
    assert not chassis.has_members(None) and not chassis.is_known(None)


def test_the_simulator_profiles_follow_the_kinds():
    from quorvi.sim.harness import PROFILES

    assert tuple(PROFILES) == chassis.SHORT_NAMES
    for short, profile in PROFILES.items():
        consoles = profile()["consoles"]
        kind = chassis.get(short)
        members = len({c["member"] for c in consoles})
        assert [(c["name"], c["member"]) for c in consoles] == kind.lines(members)
        assert kind.min_lines <= len(consoles) <= (kind.max_lines or len(consoles))
