"""State graph paths and prompt patterns (no line needed)."""
import re

import pytest

from quorvi.settings import DEFAULT_LEARNED_HOSTNAME, Settings
from quorvi.statemachine import StateMachine, Transition, find_path


def commands(path):
    return None if path is None else [t.command for t in path]


@pytest.mark.parametrize("source, target, expected", [
    ("disable", "enable", ["enable"]),
    ("disable", "config", ["enable", "configure terminal"]),
    ("config", "disable", ["end", "disable"]),
    ("config", "enable", ["end"]),
    ("enable", "enable", []),
    ("generic", "enable", None),
    ("rpr", "enable", None),
    ("learn_os", "enable", None),
])
def test_path_between_states(source, target, expected):
    assert commands(StateMachine("R1").path(source, target)) == expected


def test_path_is_the_shortest_in_any_graph():
    graph = [Transition("a", "b", "ab"), Transition("b", "c", "bc"), Transition("c", "d", "cd"),
             Transition("a", "c", "ac"), Transition("d", "a", "da")]
    assert commands(find_path(graph, "a", "d")) == ["ac", "cd"]
    assert commands(find_path(graph, "d", "c")) == ["da", "ac"]
    assert find_path(graph, "b", "x") is None


# (prompt text at the end of the buffer, state it shows) for hostname R1.
PROMPTS = [
    ("\r\nR1>", "disable"), ("\r\nR1#", "enable"), ("\r\nR1(config)#", "config"),
    ("\r\nR1(config-if)#", "config"), ("\r\nR1-stby#", "enable"), ("\r\nR1-stby>", "disable"),
    ("R1# ", "enable"), ("banner\r\n\r\nR1>", "disable"),
    ("\r\nR11#", None), ("\r\nXR1#", None), ("\r\nR1#\r\nmore output", None),
    ("\r\nR1-stbyx#", None), ("\r\nR1# show version", None),
]


@pytest.mark.parametrize("text, state", PROMPTS)
def test_prompt_patterns_recognise_only_this_hostname_at_the_end(text, state):
    sm = StateMachine("R1")
    found = [str(s) for s in sm.states if re.search(s.pattern, text)]
    assert found == ([state] if state else [])


@pytest.mark.parametrize("text, hostname", [
    ("\r\nedge-7#", "edge-7"), ("\r\nR1-stby>", "R1"), ("\r\nsw.lab(config)#", "sw.lab"),
])
def test_learning_prompts_match_any_hostname_and_capture_it(text, hostname):
    sm = StateMachine("R1")
    sm.learn_hostname = True
    sm.learn_pattern = DEFAULT_LEARNED_HOSTNAME
    matches = [m for m in (re.search(s.pattern, text) for s in sm.states) if m]
    assert len(matches) == 1 and matches[0].group("hostname") == hostname
    sm.learn_hostname = False  # back to the machine's own hostname R1
    assert any(re.search(s.pattern, text) for s in sm.states) == (hostname == "R1")


def test_hostname_text_is_escaped_but_a_pattern_is_used_as_regex():
    sm = StateMachine("r.1")
    assert re.search(sm.get_state("enable").pattern, "\r\nr.1#")
    assert not re.search(sm.get_state("enable").pattern, "\r\nrx1#")
    sm.set_hostname_pattern(DEFAULT_LEARNED_HOSTNAME)
    assert re.search(sm.get_state("enable").pattern, "\r\nanything#")
    sm.set_hostname("R2")
    assert re.search(sm.get_state("enable").pattern, "\r\nR2#")


def test_learn_os_state_is_added_once_and_is_the_last_resort():
    sm = StateMachine("R1")
    sm.learn_os_state()
    sm.learn_os_state()
    assert sm.state_names() == ["disable", "enable", "config", "learn_os"]
    pattern = sm.get_state("learn_os").pattern
    assert re.search(pattern, "\r\nuser@host:~$ ") and re.search(pattern, "\r\nR1#")
    assert not re.search(pattern, "\r\nUsername: ")


def test_current_state_follows_writes_and_updates_without_io():
    sm = StateMachine("R1", Settings({"CONNECTION_TIMEOUT": 9}))
    assert sm.current_state == "generic" and sm.default_timeout == 9
    sm.update_cur_state("rpr")
    assert sm.current_state == "rpr"
    sm._current_state = "enable"
    assert sm.current_state == "enable"
    with pytest.raises(KeyError):
        sm.update_cur_state("nowhere")
    with pytest.raises(KeyError):
        sm.get_state("rpr")
    assert str(sm.get_state("config")) == "config"
