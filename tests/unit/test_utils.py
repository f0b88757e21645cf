"""OS learning from command output, and the keywords of a reconnection."""
import pytest

from quorvi.settings import Settings
from quorvi.utils import learn_os_platform, update_connection_kwargs

MAPPING = Settings().OS_MAPPING

ORBIX = ("Orbix Software, Version 7.2.1\nSystem image file is \"flash:orbix-ox900-7.2.1.bin\"\n"
         "Hardware: ox900 chassis with 1 member(s)")
TESSEL = "Tessel Network OS, Version 3.1\nHardware: ts5k chassis"


@pytest.mark.parametrize("output, expected", [
    (ORBIX, ("orbix", "ox900")),
    (ORBIX.replace("ox900", "ox20"), ("orbix", "ox20")),
    (TESSEL, ("tessel", "ts5k")),
    ("Orbix Software, Version 7.2.1\nHardware: ox9000 chassis", ("orbix", "")),  # no whole-word platform
    ("Hardware: ox900 chassis", ("", "")),  # a platform alone names no OS
    ("% Invalid input detected at '^' marker.", ("", "")),
    ("", ("", "")),
    (None, ("", "")),
])
def test_learn_os_platform_recognises_os_then_platform(output, expected):
    assert learn_os_platform(None, output, MAPPING) == expected


def test_learn_os_platform_accepts_single_pattern_strings_and_empty_mapping():
    mapping = {"linux": {"os": r"^Linux \S+", "platform": {"x86": r"x86_64"}}}
    assert learn_os_platform(None, "Linux host 6.1 x86_64", mapping) == ("linux", "x86")
    assert learn_os_platform(None, ORBIX, {}) == ("", "")


class Con:
    def __init__(self, alias, options):
        self.alias = alias
        self._options = options


@pytest.mark.parametrize("alias, options, expected", [
    ("default", {}, {"alias": "default"}),
    ("cli", {"learn_os": True, "goto_enable": False, "init_exec_commands": []},
     {"alias": "cli", "goto_enable": False, "init_exec_commands": []}),
    ("vty", {"learn_hostname": True, "mit": True, "alias": "stale"},
     {"alias": "vty", "learn_hostname": True, "mit": True}),
])
def test_update_connection_kwargs_keeps_options_but_learn_os(alias, options, expected):
    given = dict(options)
    assert update_connection_kwargs(Con(alias, options)) == expected
    assert options == given  # the connection's own record is not changed
