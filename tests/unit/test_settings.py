"""Settings: attribute keys that may be absent, defaults, per-connection overrides."""
import re

import pytest

from quorvi.settings import DEFAULT_LEARNED_HOSTNAME, Settings, merged

REQUIRED = ["HA_INIT_EXEC_COMMANDS", "HA_INIT_CONFIG_COMMANDS", "HA_STANDBY_UNLOCK_COMMANDS",
            "LEARN_OS_COMMANDS", "OS_MAPPING", "DEFAULT_LEARNED_HOSTNAME", "EXEC_TIMEOUT",
            "DETECT_RPR_TIMEOUT", "CONNECTION_TIMEOUT"]


@pytest.mark.parametrize("key", REQUIRED)
def test_deleted_key_is_absent_but_other_instances_keep_it(key):
    settings = Settings()
    assert hasattr(settings, key)
    delattr(settings, key)
    assert not hasattr(settings, key) and key not in settings
    assert hasattr(Settings(), key)


def test_empty_value_is_present_and_copies_are_independent():
    settings = Settings({"HA_INIT_CONFIG_COMMANDS": []})
    assert hasattr(settings, "HA_INIT_CONFIG_COMMANDS") and settings.HA_INIT_CONFIG_COMMANDS == []
    copy = settings.copy()
    copy.HA_INIT_EXEC_COMMANDS.append("extra")
    del copy.EXEC_TIMEOUT
    assert "extra" not in settings.HA_INIT_EXEC_COMMANDS and hasattr(settings, "EXEC_TIMEOUT")


def test_merged_applies_overrides_on_a_copy_of_the_base():
    base = Settings({"EXEC_TIMEOUT": 5})
    del base.HA_INIT_CONFIG_COMMANDS
    result = merged(base, {"CONNECTION_TIMEOUT": 7})
    assert (result.EXEC_TIMEOUT, result.CONNECTION_TIMEOUT) == (5, 7)
    assert not hasattr(result, "HA_INIT_CONFIG_COMMANDS")  # an absent key stays absent
    assert base.CONNECTION_TIMEOUT != 7
    assert merged(None, Settings({"EXEC_TIMEOUT": 3})).EXEC_TIMEOUT == 3


@pytest.mark.parametrize("prompt, hostname", [
    ("R1#", "R1"), ("core-sw1>", "core-sw1"), ("R1-stby#", "R1"), ("edge.lab(config)#", "edge.lab"),
])
def test_default_learned_hostname_stops_before_standby_suffix_and_prompt(prompt, hostname):
    match = re.match(r"(%s)(?:-stby)?(?:\([^)]*\))?[>#]$" % DEFAULT_LEARNED_HOSTNAME, prompt)
    assert match and match.group(1) == hostname
