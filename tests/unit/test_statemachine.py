"""State graph paths and prompt patterns (no line needed)."""
import logging
import re
import time
from types import SimpleNamespace

import pytest

from quorvi.core.errors import TimeoutError
from quorvi.settings import DEFAULT_LEARNED_HOSTNAME, Settings
from quorvi.spawn import SpawnLike
from quorvi.statemachine import StateMachine, Transition, find_path
from timing import allowed


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
    # An empty line typed ahead: its answer follows the first prompt directly.
    ("\r\n\r\nR1>R1>", "disable"), ("\r\nR1-stby#R1-stby#R1-stby#", "enable"),
    ("\r\nR1(config)#R1(config)#", "config"), ("\r\nR2>R1>", None),
    # ... or the answer to the next line: the last prompt is the line's.
    ("\r\nR1#R1>", "disable"), ("\r\nR1>R1#", "enable"), ("\r\nR1-stby>R1-stby#", "enable"),
    ("\r\nR1(config)#R1#", "enable"), ("\r\nR1>R1#R1(config)#", "config"),
]


@pytest.mark.parametrize("text, state", PROMPTS)
def test_prompt_patterns_recognise_only_this_hostname_at_the_end(text, state):
    sm = StateMachine("R1")
    found = [str(s) for s in sm.states if re.search(s.pattern, text)]
    assert found == ([state] if state else [])


@pytest.mark.parametrize("text, hostname", [
    ("\r\nedge-7#", "edge-7"), ("\r\nR1-stby>", "R1"), ("\r\nsw.lab(config)#", "sw.lab"),
    ("\r\nedge-7>edge-7>", "edge-7"),
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


class FakeLine:
    """What the state machine reads of a line (see SpawnLike), at rest."""

    name = "R1/a"
    log = logging.getLogger("quorvi.test")
    buffer, sends, received, last_match = "", 0, 0, None
    hostname_mismatch, closed, eof = False, False, False
    connect_dialog: list = []
    min_nudge_interval = 0.0

    def sendline(self, text=""):
        self.sends += 1

    def settle(self, quiet=0.05, limit=1.0):
        self.read_pending()
        return self.buffer

    def last_words(self):
        return "last output: %r" % self.buffer


class LateLine(FakeLine):
    """A line whose output arrives in scripted chunks: one chunk per read, or
    nothing (after waiting the read's time limit) once the script is used up."""

    def __init__(self, chunks, owed, wait=0.05):
        self.buffer = ""
        self.chunks = list(chunks)
        self.owed, self.wait = owed, wait
        self.reads = 0

    def read_pending(self, timeout=0.0):
        self.reads += 1
        if not self.chunks:
            time.sleep(timeout)
            return ""
        data = self.chunks.pop(0)
        self.buffer += data
        return data

    def expect(self, patterns, timeout=None, log_timeout=True, trim_buffer=True):
        raise AssertionError("the drain reads chunks; it does not wait for one pattern")


def owing(line, sm=None):
    """A state machine whose record of `line` notes the prompts it owes."""
    sm = sm or StateMachine("R1")
    record = sm.line_record(line)
    record.owed_prompts, record.owed_prompt_wait = line.owed, line.wait
    return sm


@pytest.mark.parametrize("chunks, owed, taken, left, state", [
    # Prompts that arrived together stand without a line break between them.
    (["\r\n\r\nR1#R1#"], 2, 2, "", "enable"),
    # One chunk at a time; the prompt beyond the owed ones stays for the next reader.
    (["\r\nR1>", "R1>R1>\r\nextra", "never read"], 2, 2, "R1>\r\nextra", "disable"),
    (["R1(config)#", "R1(config-if)#"], 2, 2, "", "config"),
    # Fewer prompts than owed (one answered a nudge itself): quiet ends the drain.
    (["\r\nR1#"], 3, 1, "", "enable"),
    ([], 2, 0, "", "generic"),
])
def test_drain_takes_in_owed_prompts_wherever_they_stand(chunks, owed, taken, left, state):
    line = LateLine(chunks, owed)
    sm = owing(line)
    started = time.monotonic()
    assert sm.drain_owed_prompts(line) == taken
    assert (line.buffer, sm.current_state, sm.line_record(line).owed_prompts) == (left, state, 0)
    assert time.monotonic() - started < allowed(0.5)


def test_drain_costs_nothing_when_no_prompt_is_owed():
    line = LateLine(["\r\nR1#"], owed=0)
    assert owing(line).drain_owed_prompts(line) == 0
    assert line.reads == 0 and line.buffer == ""


def test_drain_waits_for_a_late_prompt_while_the_line_keeps_talking():
    # Each chunk restarts the quiet period: output still arriving is not the end.
    line = LateLine(["\r\nsome", " late", " output\r\nR1#"], owed=1, wait=0.2)
    assert owing(line).drain_owed_prompts(line) == 1
    assert line.buffer == "" and line.reads == 3


class QuietLine(FakeLine):
    """A line after some exchange: what its last expect found, how often it
    was sent to since, and output still pending; records each settle."""

    def __init__(self, last_pattern, sent_since=0, sent_after=0, pending="", owed=0):
        self.sends = 3
        self.owed, self.wait = owed, 0.01
        self.last_match = None if last_pattern is None else SimpleNamespace(
            pattern=re.compile(last_pattern), sends=self.sends - sent_after, sent_since=sent_since)
        self.buffer, self.pending, self.settles = "", pending, 0

    def read_pending(self, timeout=0.0):
        data, self.pending = self.pending, ""
        self.buffer += data
        return data

    def settle(self, quiet=0.05, limit=1.0):
        self.settles += 1
        self.read_pending()
        return self.buffer

    def expect(self, patterns, timeout=None, log_timeout=True, trim_buffer=True):
        for index, pattern in enumerate(patterns):
            match = re.search(pattern, self.buffer)
            if match:
                self.buffer = self.buffer[match.end():]
                return SimpleNamespace(index=index, match=match, sends=self.sends, sent_since=0)
        raise TimeoutError("nothing")


ENABLE = StateMachine("R1").get_state("enable").pattern


@pytest.mark.parametrize("line, settles, state", [
    (QuietLine(ENABLE), 0, "generic"),  # the prompt answered everything: no wait
    (QuietLine(ENABLE, sent_after=1), 1, "generic"),  # a line went out since
    (QuietLine(ENABLE, sent_since=1), 1, "generic"),  # the prompt came before a send
    (QuietLine(r"\S+"), 1, "generic"),  # the last match was no prompt
    (QuietLine(None), 1, "generic"),
    (QuietLine(ENABLE, pending="\r\nR1>"), 1, "disable"),  # output came after the prompt
    (QuietLine(ENABLE, owed=1, pending="\r\nR1>"), 0, "disable"),  # the nudge's prompt came
    (QuietLine(ENABLE, owed=2, pending="\r\nR1>"), 1, "disable"),  # one stayed out
])
def test_sync_waits_for_quiet_only_when_the_line_may_owe_output(line, settles, state):
    sm = owing(line)
    sm.sync(line)
    assert (line.settles, sm.current_state) == (settles, state)
    sm.sync(line)  # caught up with now: nothing to wait for until the next send
    assert line.settles == settles
    line.sends += 1
    sm.sync(line)
    assert line.settles == settles + 1


@pytest.mark.parametrize("line", [LateLine([], 0), QuietLine(None)], ids=["late", "quiet"])
def test_the_fakes_offer_what_the_state_machine_needs_of_a_line(line):
    assert isinstance(line, SpawnLike)


class SilentLine(FakeLine):
    """A console that shows nothing until it gets a line, then answers each
    line with a prompt `delay` seconds after it was sent."""

    def __init__(self, delay):
        self.buffer, self.delay, self.sent_at, self.answered = "", delay, [], 0
        self.last_send_time, self.received = 0.0, 0

    def sendline(self, text=""):
        self.sends += 1
        self.sent_at.append(time.monotonic())
        self.last_send_time = self.sent_at[-1]

    def read_pending(self, timeout=0.0):
        return ""

    def expect(self, patterns, timeout=None, log_timeout=True, trim_buffer=True):
        due = (self.sent_at[self.answered] + self.delay if self.answered < self.sends
               else float("inf"))
        if due > time.monotonic() + timeout:
            time.sleep(timeout)
            raise TimeoutError("nothing")
        time.sleep(max(0.0, due - time.monotonic()))
        self.answered += 1
        self.received += len("\r\nR1#")
        for index, pattern in enumerate(patterns):
            match = re.search(pattern, "\r\nR1#")
            if match:
                return SimpleNamespace(index=index, match=match, sends=self.sends,
                                       match_output="\r\nR1#",
                                       sent_since=sum(t > due for t in self.sent_at))
        raise AssertionError("no pattern matches a prompt")


@pytest.mark.parametrize("delay, owed, returned_first", [
    # The prompt right after the only nudge's echo is its answer: none owed.
    (0.0, 0, False),
    (0.1, 0, False),
    (0.45, 2, False),   # a second nudge went out before the first was answered
    # The caller pressed Return before the wait: the prompt found answers that
    # Return, the nudge's is still owed, and the answer time counts from it.
    (0.45, 1, True),
])
def test_a_silent_console_owes_a_wait_as_long_as_its_answers_not_its_silence(
        delay, owed, returned_first):
    # Reached by nudging, the line may still owe the nudges' prompts: the wait
    # for them scales with how fast the first nudge was answered, not with the
    # console's silence before it.
    nudge = 0.3
    sm = StateMachine("R1", Settings({"PROMPT_NUDGE_INTERVAL": nudge}))
    line = SilentLine(delay)
    if returned_first:
        sm.line_record(line).caught_up = 0  # the line owed nothing before that Return
        line.sendline()
    assert sm.go_to("any", line, timeout=5) == "enable"
    record = sm.line_record(line)
    assert record.owed_prompts == owed
    floor = sm.owed_wait_floor
    if owed:
        assert max(3 * delay, floor) <= record.owed_prompt_wait < 3 * delay + floor + allowed(0.1)


class GreetingLine(FakeLine):
    """A console server's line that shows `shown` at once when it gets its
    first Return (a fresh console: its greeting and prompt, then the answer)."""

    connected_at = 1.0  # accepted by its console server

    def __init__(self, shown):
        self.buffer, self.shown, self.received = "", shown, 0

    def expect(self, patterns, timeout=None, log_timeout=True, trim_buffer=True):
        if self.sends and self.shown:
            self.buffer, self.received = self.buffer + self.shown, self.received + len(self.shown)
            self.shown = ""
        for index, pattern in enumerate(patterns):
            match = re.search(pattern, self.buffer)
            if match:
                output, self.buffer = self.buffer[:match.end()], self.buffer[match.end():]
                return SimpleNamespace(index=index, match=match, match_output=output,
                                       sends=self.sends, sent_since=0)
        time.sleep(timeout)
        raise TimeoutError("nothing")


@pytest.mark.parametrize("shown, owed", [
    ("\r\nR1>", 0),                                    # the answer alone
    ("\r\nWelcome to R1\r\n\r\nR1>", 1),               # an unasked prompt: the answer is owed
    ("\r\nWelcome to R1\r\n\r\nR1>\r\nR1>", 0),         # the unasked prompt, then the answer
    ("\r\nR1 console> ready\r\nR1>", 1),               # prompt-like text is not a prompt
])
@pytest.mark.parametrize("learn", [False, True])
def test_prompts_shown_with_a_greeting_count_against_the_nudges_owed(shown, owed, learn):
    sm = StateMachine("R1", Settings({"PROMPT_NUDGE_INTERVAL": 0.3}))
    sm.learn_hostname = learn  # a hostname being learned: the one the prompt shows
    line = GreetingLine(shown)
    assert sm.go_to("any", line, timeout=5) == "disable"
    assert line.sends == 1
    record = sm.line_record(line)
    assert record.owed_prompts == owed
    if owed:
        # A prompt that may have come unasked measures nothing: the owed one
        # is waited for as long as an unmeasured line's.
        assert record.owed_prompt_wait == sm.owed_wait_cap
