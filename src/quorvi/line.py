"""Commands on one console line: the part a single-RP connection and each
subconnection of a multi-RP connection share.

A class using `LineHandle` provides `spawn`, `state_machine`, `context`,
`settings`, `connection_timeout`, `hostname` and `_learned_hostname`.
"""
import re
from typing import Any, Iterable, List, Optional, Union

from . import answers
from .conversation import Conversation
from .core.errors import CommandError, ConnectionError
from .dialogs import Replies
from .statemachine import GENERIC


class Context(dict):
    """What dialogs may need while moving a line: credentials, passwords, ..."""

    def copy(self) -> "Context":
        return Context(self)


def clean_output(text: str, command: str) -> str:
    """The device's answer without the echo of `command` and without carriage returns."""
    lines = text.replace("\r\n", "\n").replace("\r", "").split("\n")
    if lines and lines[0].strip() == command.strip():
        lines = lines[1:]
    return "\n".join(lines).strip("\n")


def find_error(output: str, patterns: Iterable[str]) -> Optional[str]:
    """The first output line that one of `patterns` reports as an error."""
    for pattern in patterns:
        match = re.search(pattern, output, re.MULTILINE)
        if match:
            end = output.find("\n", match.start())
            return output[match.start():end if end >= 0 else len(output)].strip()
    return None


class LineHandle:
    """execute / configure / sendline on the line held in `self.spawn`."""

    spawn: Any
    state_machine: Any
    context: Context
    settings: Any
    connection_timeout: float
    hostname: Optional[str]

    # -- hostname ---------------------------------------------------------
    @property
    def learned_hostname(self) -> Optional[str]:
        return self._learned_hostname

    @learned_hostname.setter
    def learned_hostname(self, value: Optional[str]) -> None:
        """Storing a learned hostname makes the prompts use it: as plain text,
        or as a regex when it is the default learning pattern."""
        self._learned_hostname = value
        if value and value == self.settings.DEFAULT_LEARNED_HOSTNAME:
            self.state_machine.set_hostname_pattern(value)
        else:
            self.state_machine.set_hostname(value or self.hostname)

    def follow_hostname(self, hostname: str) -> None:
        """The device was renamed: its prompts show `hostname` from now on
        (a prompt still showing the old name is taken too)."""
        old = self.state_machine.hostname
        self.learned_hostname = hostname
        if old and old != hostname:
            self.state_machine.other_hostnames.append(old)

    # -- what the device printed outside the answers -----------------------
    @property
    def unsolicited_output(self) -> List[str]:
        """Output that came outside any answer (log messages, the rest of an
        answer that was cut), oldest first; kept out of the answers."""
        return answers.notes(self, "unsolicited_output")

    @property
    def cut_answers(self) -> List[str]:
        """One message per answer that was cut at prompt-like text (the
        device went on printing after it), oldest first."""
        return answers.notes(self, "cut_answers")

    def _get_learned_hostname(self, spawn: Any = None) -> str:
        """The hostname seen in a prompt while learning, or the default pattern."""
        spawn = spawn if spawn is not None else self.spawn
        return (self.state_machine.seen_hostname(spawn)
                or self.settings.DEFAULT_LEARNED_HOSTNAME)

    # -- commands ---------------------------------------------------------
    def sendline(self, text: str = "") -> None:
        self._require_line().sendline(text)

    def _require_line(self) -> Any:
        if self.spawn is None:
            raise ConnectionError("%s has no open line; connect first" % self)
        return self.spawn

    def _prepare(self, timeout: float) -> None:
        """Catch up with the line: the rest of an answer given up on earlier
        (within `timeout`), then a late prompt that tells where the line is;
        then drop what is pending, so that the command's answer starts clean."""
        spawn, sm = self._require_line(), self.state_machine
        sm.catch_up(spawn, timeout)
        mark = spawn.last_match
        sm.sync(spawn)
        answers.note_late(self, answers.late_output(spawn, mark))
        spawn.buffer = ""

    def _move_timeout(self) -> float:
        """Time limit to bring the line to a prompt before a command. A line
        that has never shown one (found silent at bring-up) gets
        SILENT_LINE_TIMEOUT, not a whole connection time limit."""
        if self.state_machine.prompt_seen:
            return self.connection_timeout
        return min(self.connection_timeout, self.settings.SILENT_LINE_TIMEOUT)

    def _send(self, text: str) -> None:
        """Send one line once the line owes no late prompt (see
        StateMachine.drain_owed_prompts), on an empty buffer, so that the
        answer read next is this line's."""
        spawn = self._require_line()
        self.state_machine.drain_owed_prompts(spawn)
        spawn.buffer = ""
        self.state_machine.send(spawn, text)

    def _quiet(self, quiet: Optional[float]) -> float:
        return float(getattr(self.settings, "ANSWER_QUIET_TIME", 0) or 0) if quiet is None \
            else quiet

    def _answer(self, command: str, timeout: float, quiet: float,
                reply: Optional[Replies] = None) -> str:
        """Send one line and read its answer (see quorvi.answers), replying
        to its questions (see quorvi.conversation); a line that renames the
        device is followed."""
        sm = self.state_machine
        new_name = answers.renaming(sm, command)
        conversation = Conversation(self, command, reply) if reply is not None else None
        self._send(command)
        if conversation is not None:
            conversation.sent(self.spawn)
        text = answers.read_answer(self, command, timeout, quiet, conversation)
        if new_name is not None:
            answers.renamed(self, new_name)
        output = clean_output(text, command)
        if conversation is not None:
            conversation.finish(self.spawn, output)
        return output

    def execute(self, command: str, allow_state_change: bool = False, prompt_recovery: bool = False,
                timeout: Optional[float] = None, error_pattern: Optional[Iterable[str]] = None,
                quiet: Optional[float] = None, reply: Optional[Replies] = None) -> str:
        """Run one exec command and return its output (echo and prompt removed).

        The command runs at the enable prompt (the line is taken there first) and
        must end there; with `allow_state_change` it runs wherever the line is and
        may end at any known prompt. An output line matching the settings'
        ERROR_PATTERNS (or `error_pattern`) raises CommandError; the output is on
        the exception as `output`. TimeoutError when no prompt comes back in time;
        the next command then first reads the rest of that answer (or fails with
        ConnectionError: the line is out of step). A command is one line:
        ValueError for one with a line break.

        A pager stopping the answer is paged through. With `quiet` (seconds;
        default: the settings' ANSWER_QUIET_TIME, 0: off) the answer also takes
        in output arriving after its prompt until the line has been quiet that
        long: for commands whose answer holds prompt-like text.

        `reply` answers the command's questions, each as soon as it shows: a
        mapping {regex: answer text}, or a `quorvi.dialogs.Dialog` of `Reply`
        (text or credential, optional, repeating) and `End` statements (see
        quorvi.conversation). The output then holds the questions and the
        answers' echoes. A question no reply answers raises CommandError
        quoting it, soon after the line stops at it, with the line back at its
        prompt; an End ends the command where it shows, without a prompt.
        """
        if "\n" in command or "\r" in command:
            raise ValueError("%s: execute runs one command, and %r holds a line break; run each"
                             " command on its own" % (self.spawn or self, command))
        spawn, sm = self._require_line(), self.state_machine
        timeout = self.settings.EXEC_TIMEOUT if timeout is None else timeout
        self._prepare(timeout)
        if not allow_state_change:
            if sm.current_state != "enable":
                sm.go_to("enable", spawn, context=self.context, prompt_recovery=prompt_recovery,
                         timeout=self._move_timeout())
        elif sm.current_state not in sm.state_names():
            sm.go_to("any", spawn, context=self.context, prompt_recovery=prompt_recovery,
                     timeout=self._move_timeout())
        output = self._answer(command, timeout, self._quiet(quiet), reply)
        ended = sm.current_state == GENERIC and reply is not None
        if not allow_state_change and sm.current_state != "enable" and not ended:
            raise ConnectionError("%s: %r left the enable prompt for state %r; use allow_state_change"
                                  % (spawn, command, sm.current_state))
        self._check(command, output, error_pattern)
        return output

    def configure(self, commands: Union[str, List[str]], prompt_recovery: bool = False,
                  timeout: Optional[float] = None,
                  error_pattern: Optional[Iterable[str]] = None,
                  quiet: Optional[float] = None) -> str:
        """Send configuration lines as one block: into config mode, each line,
        back to enable. Returns the output of all lines. An error line raises
        CommandError after the line has been taken back to enable. A string,
        or an item of the list, holding line breaks is several lines. A
        "hostname" line renames the device: the connection follows it."""
        if isinstance(commands, str):
            commands = [commands]
        lines = [line for item in commands for line in item.splitlines() if line.strip()]
        if not lines:
            return ""
        spawn, sm = self._require_line(), self.state_machine
        timeout = self.settings.EXEC_TIMEOUT if timeout is None else timeout
        self._prepare(timeout)
        sm.go_to("config", spawn, context=self.context, prompt_recovery=prompt_recovery,
                 timeout=self._move_timeout())
        outputs = []
        failure = None
        for line in lines:
            output = self._answer(line, timeout, self._quiet(quiet))
            if output:
                outputs.append(output)
            if sm.current_state != "config":
                failure = ConnectionError("%s: configuration line %r left config mode for %r"
                                          % (spawn, line, sm.current_state))
                break
            error = find_error(output, self._error_patterns(error_pattern))
            if error:
                failure = CommandError("%s: configuration line %r failed: %s" % (self, line, error))
                failure.output = output
                break
        sm.go_to("enable", spawn, context=self.context, prompt_recovery=prompt_recovery,
                 timeout=self.connection_timeout)
        if failure is not None:
            raise failure
        return "\n".join(outputs)

    def _error_patterns(self, error_pattern: Optional[Iterable[str]]) -> List[str]:
        if error_pattern is not None:
            return list(error_pattern)
        return list(getattr(self.settings, "ERROR_PATTERNS", []))

    def _check(self, command: str, output: str, error_pattern: Optional[Iterable[str]]) -> None:
        error = find_error(output, self._error_patterns(error_pattern))
        if error:
            exc = CommandError("%s: %r failed: %s" % (self, command, error))
            exc.output = output
            raise exc
