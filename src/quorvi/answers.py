"""Reading a command's answer on a console line, as real devices print it.

- A pager that stops the answer ("--More--") is paged through with the line's
  next-page key (`StateMachine.PAGER_KEY`); the answer comes back whole,
  without the pager's prompt or the erasing of it.
- Output that arrives before the command's echo is not its answer (a log
  message and the prompt the device reprints after it, the rest of an earlier
  answer): it is kept out of the answer, and kept on the connection
  (`unsolicited_output`).
- A prompt ends the answer. Output already there after it means the prompt
  was text inside the answer: the answer goes on to the next prompt. With
  `quiet` seconds, output arriving until the line has been quiet that long
  counts too. Output that comes later is reported: a warning names the line
  and the command whose answer was cut, and the connection keeps it
  (`cut_answers`).
- A line that ends in a prompt differing from the expected ones only in its
  hostname, and then stays quiet, ends the wait with the hostname hint
  without waiting for the whole time limit.
- A configuration line that renames the device (`StateMachine.HOSTNAME_COMMAND`)
  is followed: the prompts take the new name.
"""
import re
import time
from typing import Any, List, Optional, Tuple

from .core.errors import TimeoutError
from .statemachine import PROMPT_END, PROMPT_START, STANDBY_SUFFIX

# Notes a line keeps (unsolicited output, cut answers), the newest last.
KEPT_NOTES = 50
# What a device writes to erase its pager prompt, at the head of the next page.
PAGER_ERASE_RE = re.compile(r"^(?:[ \t]*\r(?!\n))+")
# Commands up to this long are echoed on one line by any console.
SHORT_COMMAND = 40


def notes(handle: Any, kind: str) -> List[str]:
    """The line's list of notes of `kind` ("unsolicited_output", "cut_answers")."""
    return handle.__dict__.setdefault("_" + kind, [])


def _note(handle: Any, kind: str, text: str) -> None:
    kept = notes(handle, kind)
    kept.append(text)
    del kept[:-KEPT_NOTES]


def shown(text: str) -> str:
    """Output as lines, without carriage returns and surrounding blank lines."""
    return text.replace("\r\n", "\n").replace("\r", "").strip("\n")


def find_echo(text: str, command: str) -> Optional["re.Match"]:
    """Where the line shows the echo of `command` (a line ending in it; a
    prompt the device reprinted may stand before it)."""
    typed = command.strip()
    if not typed:
        return None
    return re.search(r"(?:^|(?<=[\r\n]))[^\r\n]*?%s[ \t]*(?=[\r\n]|$)" % re.escape(typed), text)


def _echo_first(text: str, command: str) -> bool:
    first = text.lstrip("\r\n").split("\n", 1)[0]
    return first.rstrip().endswith(command.strip())


def foreign_prompt(sm: Any) -> Optional[str]:
    """A prompt of one of the machine's states with any hostname; None while
    any hostname is taken anyway."""
    if sm.learn_hostname or getattr(sm, "_hostname_regex", None) is not None:
        return None
    key = (sm.learn_pattern, len(sm.states))
    cached = sm.__dict__.get("_foreign_prompt")
    if cached is not None and cached[0] == key:
        return cached[1]
    bodies = [d.prompt.replace("{hostname}", "(?:%s)%s" % (sm.learn_pattern, STANDBY_SUFFIX))
              for d in (s.definition for s in sm.states) if "{hostname}" in d.prompt]
    pattern = PROMPT_START + "(?:%s)" % "|".join(bodies) + PROMPT_END if bodies else None
    sm.__dict__["_foreign_prompt"] = (key, pattern)
    return pattern


def is_log_only(sm: Any, text: str) -> bool:
    """Whether `text` holds log messages (and the prompts reprinted after
    them) and nothing else."""
    pattern = getattr(sm, "LOG_MESSAGE", None)
    if not pattern:
        return False
    bodies = [re.compile(sm.prompt_body(s.definition)) for s in sm.states]
    lines = [line.strip() for line in shown(text).split("\n") if line.strip()]
    logged = [line for line in lines if not any(b.fullmatch(line) for b in bodies)]
    return bool(logged) and all(re.search(pattern, line) for line in logged)


def note_late(handle: Any, text: str) -> None:
    """Output that came after an answer had ended: kept on the line, logged;
    when it is more than log messages, the answer before it was cut."""
    text = shown(text)
    if not text.strip():
        return
    spawn, sm = handle.spawn, handle.state_machine
    _note(handle, "unsolicited_output", text)
    last = handle.__dict__.get("_last_answer")
    if last is None or is_log_only(sm, text):
        spawn.log.info("%s: output outside any answer, kept out of the answers: %r", spawn, text)
        return
    handle.__dict__["_last_answer"] = None
    command, prompt = last
    said = [line.strip() for line in text.split("\n") if line.strip()]
    message = ("%s: the answer to %r was cut: it ended at %r, but the device went on printing "
               "after it (%d more line(s), starting %r; kept in unsolicited_output). Pass "
               "quiet=SECONDS to execute, or set ANSWER_QUIET_TIME, to wait for quiet after "
               "the prompt" % (spawn, command, prompt.strip(), len(said), said[0][:80]))
    spawn.log.warning("%s", message)
    _note(handle, "cut_answers", message)


def _to_prompt(handle: Any, command: str, began: float, deadline: float,
               timeout: float, conversation: Any = None) -> Tuple[str, str]:
    """(the text before the next prompt, that prompt), pages turned; with a
    `conversation` (quorvi.conversation), its questions answered (an End:
    (the text up to and including it, ""))."""
    spawn, sm = handle.spawn, handle.state_machine
    pager = getattr(sm, "PAGER_PROMPT", None)
    foreign = foreign_prompt(sm)
    extra = [p for p in (pager, foreign) if p]
    parts: List[str] = []
    while True:
        statements = conversation.open_statements() if conversation is not None else []
        result = _expect(handle, command, began, deadline, timeout, extra, statements,
                         conversation)
        before = result.match_output[:result.match.start()]
        if parts:
            before = PAGER_ERASE_RE.sub("", before)
        which = result.index - len(sm.states)
        if which < 0:
            parts.append(before)
            return "".join(parts), result.match.group(0)
        if which >= len(extra):
            parts.append(result.match_output)
            if not conversation.answer(statements[which - len(extra)], spawn):
                return "".join(parts), ""
            continue
        if extra[which] == pager:
            parts.append(before)
            spawn.send(sm.PAGER_KEY)
            continue
        # A prompt with another hostname: unless more follows soon, the
        # answer is complete and its prompt is not one of this line's.
        spawn.buffer = result.match_output + spawn.buffer
        quiet = min(max(deadline - time.monotonic(), 0),
                    max(sm.nudge_interval, 2 * (time.monotonic() - began)))
        if not spawn.read_pending(quiet):
            waited = time.monotonic() - began
            error = sm.prompt_timeout(spawn, waited, round(waited, 1), command)
            spawn.log.warning("%s", error)
            raise error


def _expect(handle: Any, command: str, began: float, deadline: float, timeout: float,
            extra: List[str], statements: List[Any], conversation: Any) -> Any:
    """Wait for a prompt or an `extra` pattern; with a conversation, for its
    statements' questions too, and for a question none of them answers (the
    line stops at it and stays quiet: CommandError, see quorvi.conversation)."""
    spawn, sm = handle.spawn, handle.state_machine
    if conversation is None:
        return sm.expect_prompt(spawn, max(deadline - time.monotonic(), 0), command=command,
                                extra=extra)
    patterns = extra + [s.pattern for s in statements]
    while True:
        conversation.await_output(spawn, max(deadline - time.monotonic(), 0))
        received = spawn.dropped + len(spawn.buffer)
        wait = min(max(deadline - time.monotonic(), 0), conversation.quiet_time())
        try:
            return sm.expect_prompt(spawn, wait, command=command, extra=patterns,
                                    log_timeout=False)
        except TimeoutError:
            if spawn.closed or spawn.eof or time.monotonic() >= deadline:
                error = sm.prompt_timeout(spawn, time.monotonic() - began, timeout, command)
                spawn.log.warning("%s", error)
                raise error from None
        question = conversation.question(spawn)
        if question is not None and spawn.dropped + len(spawn.buffer) == received:
            raise conversation.unanswered(spawn, question)


def _more_after_prompt(spawn: Any, quiet: float, deadline: float) -> bool:
    """Whether output follows the prompt just read: already there, or (with
    `quiet`) arriving before the line has been quiet that long."""
    if not spawn.buffer.strip():
        if quiet > 0:
            spawn.settle(quiet, max(deadline - time.monotonic(), 0))
        else:
            spawn.read_pending(0)
    return bool(spawn.buffer.strip())


def read_answer(handle: Any, command: str, timeout: float, quiet: float = 0.0,
                conversation: Any = None) -> str:
    """The answer to `command`, just sent on the handle's line, as the line
    showed it (echo included), up to the prompt that ends it; with a
    `conversation`, its questions and the replies' echoes included."""
    spawn, sm = handle.spawn, handle.state_machine
    began = time.monotonic()
    deadline = began + timeout
    awaiting = sm.line_record(spawn).awaiting
    text, prompt, echo = "", "", None
    ended = False
    while True:
        text, prompt = _to_prompt(handle, command, began, deadline, timeout, conversation)
        ended = conversation is not None and conversation.ended
        echo = find_echo(text, command) if command.strip() else None
        if echo is not None or not command.strip() or getattr(spawn, "echoes", None) is False \
                or ended:
            break
        # A prompt before the command's echo ends output that is not this
        # command's; unless the line stays quiet (it did not echo, or not
        # recognisably), the answer follows.
        sm.line_record(spawn).awaiting = awaiting
        window = min(max(deadline - time.monotonic(), 0),
                     max(sm.settle_time, 2 * (time.monotonic() - began)))
        if spawn.buffer.strip() or spawn.read_pending(window):
            note_late(handle, text + prompt)
            continue
        sm.line_record(spawn).awaiting = None
        if len(command) <= SHORT_COMMAND and getattr(spawn, "echoes", None) is None:
            spawn.echoes = False
        break
    if echo is not None:
        if not _echo_first(text, command):
            note_late(handle, text[:echo.start()])
            text = command + text[echo.end():]
        spawn.echoes = True
    pieces = [text]
    while not ended and _more_after_prompt(spawn, quiet, deadline):
        more, next_prompt = _to_prompt(handle, command, began, deadline, timeout, conversation)
        if is_log_only(sm, more):
            note_late(handle, more + next_prompt)
        else:
            pieces += [prompt, more]
        prompt = next_prompt
    handle.__dict__["_last_answer"] = (command, prompt)
    return "".join(pieces)


def late_output(spawn: Any, mark: Any) -> str:
    """What a catch-up with the line read after `mark` (the line's last expect
    result before it) and did not hand to anyone: the text before the prompt
    it found, and what is left in the buffer."""
    text = ""
    last = spawn.last_match
    if last is not None and last is not mark:
        text = last.match_output[:last.match.start()]
    return text + spawn.buffer


# -- a renamed device ----------------------------------------------------------
def renaming(sm: Any, line: str) -> Optional[str]:
    """The new hostname when `line`, sent in the machine's current state,
    renames the device; the prompts then take either name until one shows."""
    pattern = getattr(sm, "HOSTNAME_COMMAND", None)
    if not pattern or sm.current_state not in getattr(sm, "CONFIG_STATES", ()):
        return None
    match = re.match(pattern, line)
    if match is None:
        return None
    new = match.group("hostname")
    if sm.hostname and new != sm.hostname and new not in sm.other_hostnames:
        sm.other_hostnames.append(new)
    return new


def renamed(handle: Any, new: str) -> None:
    """After a renaming line: when the prompt showed the new name, the
    connection follows it; otherwise the prompts take the old name alone."""
    sm = handle.state_machine
    last = handle.spawn.last_match
    seen = last.match.groupdict().get("hostname") if last is not None else None
    if seen == new and seen != sm.hostname:
        follow = getattr(handle, "follow_hostname", None)
        if follow is not None:
            follow(new)
    elif new in sm.other_hostnames and seen != new:
        sm.other_hostnames.remove(new)
