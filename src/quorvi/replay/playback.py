"""A recorded console line played back: the replay session, and the
per-line console process that runs it on a pseudo-terminal.

`replay_session` runs as a simulated console's behaviour does
(quorvi.sim.behaviour: a generator of input requests writing bytes through
`emit`), so the console
server drives it on a TCP port as it drives a simulated console, and
`ReplayConsole` drives it on a terminal. It writes the chunks the line
received, with their recorded delays (none when fast), and waits for each
text the recording sent before answering it:

- in order (the default): the next text typed must be the next one recorded;
- relaxed: a text typed is answered with the answer recorded for the same
  text, the next unused one (the last one again once all are used), so
  commands may repeat or come in another order.

Typed text that matches nothing ends the line: the mismatch (what was
expected, what was received) goes to `report` and to the terminal.

    python -m quorvi.sim replay-console --cassette FILE --line ALIAS --state DIR
        [--fast] [--relaxed]

runs the next unplayed recorded session of line ALIAS (sessions are claimed
through files in DIR, where mismatches and finished sessions are noted too).
"""
from __future__ import annotations

import json
import os
import re
import time
from typing import Any

from ..sim.behaviour import KEY, sleep
from .cassette import MARKER_RE, load

LINE_ENDS = "\r\n"
# What a client types to have the line show its prompt again.
NUDGES = ("\r",)


class Expected:
    """A recorded text sent, as a matcher of typed text (a secret marker
    accepts any text up to the line end)."""

    def __init__(self, text: str) -> None:
        self.text = text
        parts = MARKER_RE.split(text)
        self.head = parts[0]
        self.numbers = [int(n) for n in parts[1::2]]
        self.pattern = re.compile("".join(
            re.escape(part) if i % 2 == 0 else "([^\r\n]*)" for i, part in enumerate(parts)),
            re.S)

    def complete(self, typed: str):
        """{marker number: typed text} when `typed` is this text, else None."""
        match = self.pattern.fullmatch(typed)
        if match is None:
            return None
        return dict(zip(self.numbers, match.groups()))

    def may_become(self, typed: str) -> bool:
        if len(typed) <= len(self.head):
            return self.head.startswith(typed)
        return bool(self.numbers) and typed.startswith(self.head)


def steps_of(events: list) -> tuple:
    """(opening chunks, [(Expected, answer chunks)], ends with eof) of one
    recorded session; a chunk is (delay, text)."""
    opening: list = []
    steps: list = []
    eof = False
    current = opening
    for event in events:
        if "send" in event:
            current = []
            steps.append((Expected(event["send"]), current))
        elif "recv" in event:
            current.append((float(event.get("after") or 0.0), event["recv"]))
        elif event.get("eof"):
            eof = True
            break
    return opening, steps, eof


def _shown(text: str) -> str:
    return repr(text)


def replay_session(events: list, emit, where: str, fast: bool = False,
                   relaxed: bool = False, report=None, done=None):
    """The session generator of one recorded session (see the module notes).
    `where` names the device, line and session in messages; `report(message)`
    hears of a mismatch, `done()` that every recorded step was played."""
    opening, steps, eof = steps_of(events)
    captured: dict = {}
    used = [False] * len(steps)
    position = 0
    shown = [""]  # the end of what the line has shown: its last prompt

    def show(data: str) -> None:
        shown[0] = (shown[0] + data)[-200:]
        emit(data.encode("utf-8"))

    def play(chunks):
        for delay, text in chunks:
            if delay > 0.0005 and not fast:
                yield sleep(delay)
            if captured:
                # What was typed for a secret shows where the recording shows its marker.
                text = MARKER_RE.sub(lambda m: captured.get(int(m.group(1)), m.group(0)), text)
            show(text)

    def candidates():
        if not relaxed:
            return [position] if position < len(steps) else []
        # The step in recorded order first, then unused ones, then used ones again.
        order = list(range(position, len(steps))) + list(range(position))
        unused = [i for i in order if not used[i]]
        ranked = unused + [i for i in reversed(range(len(steps))) if used[i]]
        # A secret's step takes any text: only in its recorded place (right
        # after its question), and after the steps that name their text.
        ranked = [i for i in ranked if i == position or not steps[i][0].numbers]
        return sorted(ranked, key=lambda i: bool(steps[i][0].numbers))

    def mismatch(typed: str, choices: list) -> None:
        if not steps or position >= len(steps) and not relaxed:
            expected = "nothing more (the recording of this line ends here)"
        elif relaxed:
            texts = sorted({steps[i][0].text for i in choices} or {s[0].text for s in steps})
            expected = "one of " + ", ".join(_shown(t) for t in texts[:12])
            if len(texts) > 12:
                expected += ", ... (%d recorded texts)" % len(texts)
        else:
            expected = _shown(steps[position][0].text)
        message = "%s, step %d: expected %s, received %s" % (where, position + 1, expected,
                                                             _shown(typed))
        if report is not None:
            report(message)
        emit(("\r\n%% replay mismatch: %s\r\n" % message).encode("utf-8"))

    def ends_line(typed: str, choices: list) -> bool:
        """Whether typed text that can no longer match is complete enough to show."""
        if any(end in typed for end in LINE_ENDS):
            return True
        texts = [steps[i][0].text for i in choices]
        return bool(texts) and not any(e in t for t in texts for e in LINE_ENDS) and \
            len(typed) >= max(len(t) for t in texts)

    announced: list = []

    def announce_when_complete():
        # Told before the last answer goes out: once the client has read it,
        # it may hang the line up at any moment.
        if not announced and (all(used) if relaxed else position >= len(steps)):
            announced.append(True)
            if done is not None:
                done()

    announce_when_complete()
    yield from play(opening)
    while True:
        if eof and announced:
            return  # the device closed the line here
        choices = offered = candidates()
        typed = ""
        chosen = None
        while chosen is None:
            key = yield KEY
            if key is None:
                return  # the client hung up
            typed += key
            if typed in NUDGES and choices and shown[0] and \
                    not any(steps[i][0].may_become(typed) for i in choices):
                # A Return the recording does not have here: how many empty
                # lines a client sends depends on timing (how soon the line
                # showed its prompt), so it is answered as the device answers
                # one, with a new line and the line's prompt, and the
                # recording goes on where it was. A silent line stays silent.
                show("\r\n" + re.split(r"[\r\n]", shown[0])[-1])
                typed = ""
                continue
            for index in choices:
                values = steps[index][0].complete(typed)
                if values is not None:
                    chosen = index
                    captured.update(values)
                    break
            else:
                alive = [i for i in choices if steps[i][0].may_become(typed)]
                if not alive and ends_line(typed, offered):
                    mismatch(typed, offered)
                    return
                choices = alive or choices
        used[chosen] = True
        position = chosen + 1
        announce_when_complete()
        yield from play(steps[chosen][1])


class ReplayConsole:
    """Runs one recorded session on this process's terminal (fd 0 and 1), raw:
    the recording holds the device's echo and line ends as they were."""

    def __init__(self, cassette_path: str, alias: str, state: str,
                 fast: bool = False, relaxed: bool = False) -> None:
        self.alias = alias
        self.state = state
        self.fast = fast
        self.relaxed = relaxed
        self.cassette = load(cassette_path)
        self.pending = ""
        self.decoder: Any = None

    def note(self, kind: str, message: str = "") -> None:
        """One record in DIR/events: a mismatch or a finished session."""
        record = json.dumps({"kind": kind, "line": self.alias, "message": message}) + "\n"
        fd = os.open(os.path.join(self.state, "events"), os.O_WRONLY | os.O_APPEND | os.O_CREAT,
                     0o644)
        try:
            os.write(fd, record.encode())
        finally:
            os.close(fd)

    def claim(self) -> int:
        """The number of the next session of this line no console has played."""
        number = 1
        while True:
            try:
                os.close(os.open(os.path.join(self.state, "%s.%d" % (self.alias, number)),
                                 os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644))
                return number
            except FileExistsError:
                number += 1

    def key(self):
        while not self.pending:
            try:
                data = os.read(0, 4096)
            except OSError:
                data = b""
            if not data:
                return None
            self.pending = self.decoder.decode(data)
        key, self.pending = self.pending[0], self.pending[1:]
        return key

    def write(self, data: bytes) -> None:
        while data:
            written = os.write(1, data)
            data = data[written:]

    def run(self) -> None:
        import codecs

        self.decoder = codecs.getincrementaldecoder("utf-8")("replace")
        sessions = self.cassette.sessions(self.alias)
        number = self.claim()
        where = "device %s line %s session %d" % (self.cassette.name, self.alias, number)
        if os.isatty(0):
            import tty

            tty.setraw(0)
        if number > len(sessions):
            message = ("device %s line %s: opened %d times but the recording has %d "
                       "session(s) of it" % (self.cassette.name, self.alias, number,
                                             len(sessions)))
            self.note("mismatch", message)
            self.write(("%% replay mismatch: %s\r\n" % message).encode())
            return
        steps = replay_session(sessions[number - 1], self.write, where, self.fast, self.relaxed,
                               report=lambda m: self.note("mismatch", m),
                               done=lambda: self.note("done"))
        answer = None
        try:
            while True:
                request = steps.send(answer)
                answer = None
                if request[0] == "key":
                    answer = self.key()
                elif request[0] == "sleep":
                    time.sleep(request[1])
        except StopIteration:
            pass
        finally:
            steps.close()
