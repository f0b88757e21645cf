"""A command that asks questions: its replies, and the questions nobody answers.

`execute(command, reply=...)` reads the command's answer through a
`Conversation` (see quorvi.answers.read_answer): while it waits for the
prompt, each question matching a statement of the reply dialog is answered
as soon as it shows (a `Reply` once, unless it repeats; a plain `Statement`
each time), and an `End` ends the command there.

A question that no statement answers must not hold the line until the time
limit: when the line has stopped at something that is no prompt but looks
like a question (its last line ends in "?", ":", "]" or ")", without a line
break after it) and stays quiet for a few of the line's answer times, the
command fails with a CommandError quoting the question (its `question`
attribute holds it). The question is cancelled with Ctrl-C first, so that
the line is back at its prompt.
"""
import re
import time
from typing import Any, List, Optional

from .core.errors import CommandError, ConnectionError, TimeoutError
from .dialogs import Dialog, Replies, Statement, replies
from .statemachine import GENERIC

# The last line of what a line shows when it waits for an answer.
QUESTION = re.compile(r"[^\r\n]*[?:\])][ \t]*$")
# An unanswered question is taken for one once the line has been quiet for
# ANSWER_TIMES times the time the line took to start answering the last
# line sent, and at least MIN_QUESTION_QUIET seconds.
ANSWER_TIMES = 4
MIN_QUESTION_QUIET = 0.25
INTERRUPT = "\x03"


def received(spawn: Any) -> int:
    """How much the line has received and not consumed, counted from its start."""
    return spawn.dropped + len(spawn.buffer)


class Conversation:
    """The replies of one command on one line, and what was asked so far."""

    def __init__(self, handle: Any, command: str, reply: Replies) -> None:
        self.handle = handle
        self.command = command
        self.statements: Dialog = replies(reply)
        self.answered: List[int] = [0] * len(self.statements)
        self.session: dict = {}  # for statements with callable actions
        self.ended = False  # an End statement ended the command
        self.sent_at = time.monotonic()
        self.sent_mark = 0
        self.answer_time: Optional[float] = None

    # -- what the line is waited for ---------------------------------------
    def open_statements(self) -> List[Statement]:
        """The statements that may still answer: a Reply answered once is done."""
        return [s for s, n in zip(self.statements, self.answered)
                if not n or getattr(s, "repeat", True)]

    def quiet_time(self) -> float:
        return max(MIN_QUESTION_QUIET, ANSWER_TIMES * (self.answer_time or 0.0))

    def sent(self, spawn: Any) -> None:
        """A line went out (the command, a reply): its answer time is measured anew."""
        self.sent_at, self.answer_time = time.monotonic(), None
        self.sent_mark = received(spawn)

    def await_output(self, spawn: Any, timeout: float) -> None:
        """Measure the line's answer time: how long after the last line sent
        its first output came (waited for up to `timeout`)."""
        if self.answer_time is not None:
            return
        if received(spawn) <= self.sent_mark:
            spawn.read_pending(timeout)
        if received(spawn) > self.sent_mark:
            self.answer_time = time.monotonic() - self.sent_at

    def answer(self, statement: Statement, spawn: Any) -> bool:
        """Answer a question that showed; False when the statement ends the command."""
        self.answered[self.statements.index(statement)] += 1
        statement.run(spawn, self.handle.context, self.session)
        if not statement.loop_continue:  # an End
            self.ended = True
            return False
        self.sent(spawn)
        return True

    # -- a question nobody answers -------------------------------------------
    def question(self, spawn: Any) -> Optional[str]:
        """The question the line stopped at, if its last line looks like one."""
        last = spawn.buffer.rsplit("\n", 1)[-1].replace("\r", "")
        if not last.strip() or not QUESTION.fullmatch(last):
            return None
        if last.rstrip().endswith(self.command.strip()):
            return None  # the command's own echo, its line end still to come
        return last.strip()

    def unanswered(self, spawn: Any, question: str) -> CommandError:
        """Cancel the question with Ctrl-C, wait for the prompt, and return
        the error that says what was asked and how to answer it."""
        sm = self.handle.state_machine
        output = spawn.buffer
        again = [s for s, n in zip(self.statements, self.answered)
                 if n and not getattr(s, "repeat", True) and re.search(s.pattern, question)]
        spawn.send(INTERRUPT)
        spawn.buffer = ""
        try:
            sm.expect_prompt(spawn, max(self.quiet_time(), sm.nudge_interval), self.command,
                             log_timeout=False)
            after = "cancelled with Ctrl-C; the line is back at its prompt"
        except (TimeoutError, ConnectionError):
            after = ("cancelled with Ctrl-C, but no prompt came back (%s); the next command"
                     " first reads the rest of it" % spawn.last_words())
        if again:
            hint = ("it was answered once already by %r and asked again: give that reply"
                    " repeat=True" % again[0])
        else:
            hint = ('add a reply for it, e.g. execute(%r, reply={r"%s": ANSWER})'
                    % (self.command, re.escape(question).replace("\\ ", " ")))
        error = CommandError("%s: %r asked %r and no reply answers it (%s); %s"
                             % (spawn, self.command, question, after, hint))
        error.output = output
        error.question = question
        spawn.log.warning("%s", error)
        return error

    # -- after the command -----------------------------------------------------
    def finish(self, spawn: Any, output: str) -> None:
        """After the answer: an End leaves the line's state unknown (the next
        command finds its prompt again); a required reply never asked fails."""
        if self.ended:
            self.handle.state_machine.line_record(spawn).awaiting = None
            self.handle.state_machine.update_cur_state(GENERIC)
            self.handle.__dict__["_last_answer"] = None
            return
        missing = [s for s, n in zip(self.statements, self.answered)
                   if not n and getattr(s, "optional", True) is False]
        if missing:
            error = CommandError("%s: %r ended without asking %s, which its replies require"
                                 " (optional=False)" % (spawn, self.command,
                                                        ", ".join('"%s"' % s.pattern for s in missing)))
            error.output = output
            raise error
