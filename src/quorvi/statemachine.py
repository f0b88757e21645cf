"""State machine of a console line: where the line is, and how to move it.

States are data: a name and a prompt template in which "{hostname}" stands for
the device's hostname. Transitions are data too: the command that moves the line
from one state to another and whether that command asks for a password. The
path between two states is computed from that graph; the current state is
found by matching the prompts against what the line shows.
"""
import collections
import re
import time
from typing import Any, Dict, Iterable, List, Optional, Sequence

from .core.errors import ConnectionError, TimeoutError
from .dialogs import (ANSWERS_OUT, PASSWORD_PATTERN, USERNAME_PATTERN, Statement, enable_dialog,
                      login_dialog)
from .linerecord import LineRecord
from .settings import DEFAULT_LEARNED_HOSTNAME
from .spawn import ExpectResult, SpawnLike

# A prompt starts a line and ends what the line has shown so far.
PROMPT_START = r"(?:^|(?<=[\r\n]))"
PROMPT_END = r"\s*$"
# Standby consoles show "R1-stby#": the suffix is accepted, never part of the hostname.
STANDBY_SUFFIX = r"(?:-stby)?"

# Names of states the line can be put in without a prompt of their own:
# "generic" (not known yet) and "rpr" (a silent route processor).
GENERIC = "generic"
RPR = "rpr"


class StateDef:
    """A state as data: its name and prompt template."""

    def __init__(self, name: str, prompt: str) -> None:
        self.name = name
        self.prompt = prompt

    def __repr__(self) -> str:
        return "StateDef(%r, %r)" % (self.name, self.prompt)


class Transition:
    """The command that moves a line from `source` to `target`."""

    def __init__(self, source: str, target: str, command: str, password: bool = False) -> None:
        self.source = source
        self.target = target
        self.command = command
        self.password = password

    def __repr__(self) -> str:
        return "Transition(%r -> %r: %r)" % (self.source, self.target, self.command)


class State:
    """A state of one machine; `pattern` is its concrete prompt regex, built from
    the machine's current hostname (or learning pattern)."""

    def __init__(self, definition: StateDef, machine: "StateMachine") -> None:
        self.definition = definition
        self.machine = machine

    @property
    def name(self) -> str:
        return self.definition.name

    @property
    def pattern(self) -> str:
        return self.machine.prompt_pattern(self.definition)

    def __str__(self) -> str:
        return self.definition.name

    def __repr__(self) -> str:
        return "State(%r)" % self.definition.name


def find_path(transitions: Iterable[Transition], source: str, target: str) -> Optional[List[Transition]]:
    """Shortest list of transitions from `source` to `target` ([] when they are
    the same state, None when `target` cannot be reached)."""
    if source == target:
        return []
    edges: Dict[str, List[Transition]] = collections.defaultdict(list)
    for t in transitions:
        edges[t.source].append(t)
    previous: Dict[str, Transition] = {}
    queue = collections.deque([source])
    seen = {source}
    while queue:
        state = queue.popleft()
        for t in edges[state]:
            if t.target in seen:
                continue
            seen.add(t.target)
            previous[t.target] = t
            if t.target == target:
                path = [t]
                while path[0].source != source:
                    path.insert(0, previous[path[0].source])
                return path
            queue.append(t.target)
    return None


class StateMachine:
    """Prompt-driven states of one line: "disable", "enable", "config"."""

    STATES = [
        StateDef("disable", r"{hostname}>"),
        StateDef("enable", r"{hostname}#"),
        StateDef("config", r"{hostname}\(config[^)\r\n]*\)#"),
    ]
    TRANSITIONS = [
        Transition("disable", "enable", "enable", password=True),
        Transition("enable", "disable", "disable"),
        Transition("enable", "config", "configure terminal"),
        Transition("config", "enable", "end"),
    ]
    # Any line ending in a usual prompt character: a device whose prompts are not known yet.
    LEARN_OS_STATE = StateDef("learn_os", r"[^\r\n]*?[>#$%]")
    MAX_TRANSITION_ATTEMPTS = 2
    # A pager stopping in the middle of an answer ("--More--", "-- More (45%) --"),
    # alone on the line's last line, and the key that shows its next page
    # (None: the line has no pager to page through).
    PAGER_PROMPT: Optional[str] = r"(?:^|(?<=[\r\n]))[ \t]*-+ ?\(?[Mm]ore\b[^\r\n]*$"
    PAGER_KEY = " "
    # A message the device logs on its console by itself (a timestamp, then
    # "%FACILITY-SEVERITY-MNEMONIC:"); None: the device prints none.
    LOG_MESSAGE: Optional[str] = r"^[*.]?[^\r\n%]{0,40}%[A-Z][A-Z0-9_]*-[0-7]-[A-Z0-9_]+:"
    # A configuration line that renames the device, in configuration mode.
    HOSTNAME_COMMAND: Optional[str] = r"^\s*hostname\s+(?P<hostname>[^\s#>()]+)\s*$"
    CONFIG_STATES = ("config",)

    def __init__(self, hostname: Optional[str] = None, settings: Any = None) -> None:
        self.hostname = hostname
        self._hostname_regex: Optional[str] = None
        # Names the device had before it was renamed, or is being renamed to:
        # its other lines may still show them (see quorvi.answers).
        self.other_hostnames: List[str] = []
        self.learn_hostname = False
        self.learn_pattern = getattr(settings, "DEFAULT_LEARNED_HOSTNAME", DEFAULT_LEARNED_HOSTNAME)
        self.default_timeout = getattr(settings, "CONNECTION_TIMEOUT", 60)
        self.nudge_interval = getattr(settings, "PROMPT_NUDGE_INTERVAL", 1.0)
        self.settle_time = getattr(settings, "SETTLE_TIME", 0.05)
        self.first_nudge_settle = getattr(settings, "FIRST_NUDGE_SETTLE", 0.05)
        self.owed_wait_floor = getattr(settings, "OWED_PROMPT_WAIT_MIN", 0.005)
        self.owed_wait_cap = getattr(settings, "OWED_PROMPT_WAIT_MAX", 2.0)
        self.transitions = list(self.TRANSITIONS)
        self.states = [State(definition, self) for definition in self.STATES]
        self._current_state = GENERIC
        self.last_output = ""  # what the line showed up to the last prompt found
        self.prompt_seen = False  # whether the line has ever shown a prompt of this machine
        # Why the line's last question went unanswered (a rejected or missing
        # password), for a caller that dropped the error of that move.
        self.unanswered: Optional[Exception] = None
        self._line: Optional[LineRecord] = None  # what the conversation on the line showed

    def line_record(self, spawn: SpawnLike) -> LineRecord:
        """This machine's record of `spawn` (a new one for a line opened anew)."""
        if self._line is None or self._line.spawn is not spawn:
            self._line = LineRecord(spawn)
        return self._line

    def seen_hostname(self, spawn: SpawnLike) -> Optional[str]:
        """The hostname the prompts of `spawn` showed while one was being learned."""
        line = self._line
        return line.seen_hostname if line is not None and line.spawn is spawn else None

    # -- hostname ---------------------------------------------------------
    def set_hostname(self, hostname: Optional[str]) -> None:
        """Prompts show this hostname (plain text)."""
        self.hostname = hostname
        self._hostname_regex = None
        self.other_hostnames = []

    def set_hostname_pattern(self, regex: str) -> None:
        """Prompts show a hostname matching this regex."""
        self._hostname_regex = regex

    @property
    def hostname_pattern(self) -> str:
        if self._hostname_regex is not None:
            return self._hostname_regex
        if self.hostname:
            if self.other_hostnames:
                return "(?:%s)" % "|".join(map(re.escape, [self.hostname] + self.other_hostnames))
            return re.escape(self.hostname)
        return self.learn_pattern

    def prompt_body(self, definition: StateDef) -> str:
        """The prompt of a state as a regex, wherever it stands."""
        body = definition.prompt
        if "{hostname}" in body:
            host = self.learn_pattern if self.learn_hostname else self.hostname_pattern
            body = body.replace("{hostname}", "(?P<hostname>%s)%s" % (host, STANDBY_SUFFIX))
        return body

    def prompt_pattern(self, definition: StateDef) -> str:
        """The prompt of a state as a regex: at a line start and at the end of
        what the line has shown. Prompts may stand there several times in a
        row ("R1>R1>", "R1>R1#"): an empty line sent before the device showed
        its prompt is echoed first, and its answer follows that prompt
        directly; the last one is the line's. (While a hostname is learned,
        only the same prompt repeats: any text would pass for another.)"""
        body = self.prompt_body(definition)
        if "{hostname}" in definition.prompt:
            before = [body]
            if not self.learn_hostname:
                before += [self.prompt_body(s.definition) for s in getattr(self, "states", ())
                           if "{hostname}" in s.definition.prompt and s.definition is not definition]
            body = "(?:%s)*%s" % ("|".join(b.replace("(?P<hostname>", "(?:") for b in before),
                                  body)
        return PROMPT_START + body + PROMPT_END

    # -- states -----------------------------------------------------------
    @property
    def current_state(self) -> str:
        return self._current_state

    def state_names(self) -> List[str]:
        return [str(s) for s in self.states]

    def get_state(self, name: str) -> State:
        for state in self.states:
            if str(state) == name:
                return state
        raise KeyError("no state %r in %s" % (name, type(self).__name__))

    def update_cur_state(self, name: str) -> None:
        """Record where the line is; nothing is sent."""
        if name not in self.state_names() and name not in (GENERIC, RPR):
            raise KeyError("no state %r in %s" % (name, type(self).__name__))
        self._current_state = name

    def learn_os_state(self) -> None:
        """Add "learn_os": a prompt of any device, for lines whose prompts are not known yet."""
        if self.LEARN_OS_STATE.name not in self.state_names():
            self.states.append(State(self.LEARN_OS_STATE, self))

    def path(self, source: str, target: str) -> Optional[List[Transition]]:
        return find_path(self.transitions, source, target)

    # -- moving the line --------------------------------------------------
    def send(self, spawn: SpawnLike, text: str) -> None:
        """Send one line whose answer ends with a prompt. Until that prompt
        has been read the line is out of step (its record's `awaiting`):
        should the wait for it fail, the next command first catches up with it."""
        # Marked first: an interrupt may come as soon as the line is out.
        self.line_record(spawn).awaiting = (text, spawn.sends + 1)
        spawn.sendline(text)

    def catch_up(self, spawn: SpawnLike, timeout: float) -> None:
        """Before a new command: read the rest of an answer that an earlier
        wait gave up on (timed out, interrupted), up to its prompt, within
        `timeout` seconds. ConnectionError when it does not come: the line is
        out of step, and no other command may take that answer for its own."""
        line = self.line_record(spawn)
        if line.awaiting is None:
            return
        command = line.awaiting[0]
        deadline = time.monotonic() + timeout
        while line.awaiting is not None:
            try:
                self.expect_prompt(spawn, max(deadline - time.monotonic(), 0), command=command,
                                   log_timeout=False)
            except TimeoutError:
                raise ConnectionError(
                    "%s: the line is out of step: the answer to %r, given up on earlier, did not"
                    " end with a prompt within %ss more (%s); the next command tries again, or"
                    " connect again" % (spawn, command, timeout, spawn.last_words())) from None

    def go_to(self, to_state: str, spawn: SpawnLike, context: Optional[Dict[str, Any]] = None,
              prompt_recovery: bool = False, timeout: Optional[float] = None,
              dialog: Optional[Iterable[Statement]] = None) -> Optional[str]:
        """Move the line to `to_state` ("any": whatever known state it is in) and
        return the state reached. Raises TimeoutError when no known prompt shows
        up in time, ConnectionError when the state cannot be reached."""
        timeout = self.default_timeout if timeout is None else timeout
        deadline = time.monotonic() + timeout
        context = context if context is not None else {}
        session: Dict[str, Any] = {}
        extra = list(dialog or [])
        if to_state == "any":
            self.drain_owed_prompts(spawn)
            if self._at_prompt(spawn):
                return self._current_state
            return self._reach_any(spawn, context, session, extra, deadline, timeout)
        if to_state not in self.state_names():
            raise ConnectionError("%s: cannot go to unknown state %r" % (spawn, to_state))
        self.sync(spawn)
        if self.path(self._current_state, to_state) is None:
            self._reach_any(spawn, context, session, extra, deadline, timeout)
        attempts: Dict[Any, int] = collections.Counter()
        first = True
        while self._current_state != to_state:
            path = self.path(self._current_state, to_state)
            if path is None:
                raise ConnectionError("%s: no way from state %r to %r"
                                      % (spawn, self._current_state, to_state))
            step = path[0]
            attempts[(step.source, step.target)] += 1
            if attempts[(step.source, step.target)] > self.MAX_TRANSITION_ATTEMPTS:
                said = [l.strip() for l in self.last_output.splitlines()[1:-1] if l.strip()]
                raise ConnectionError("%s: %r did not move the line from %r to %r%s"
                                      % (spawn.name if hasattr(spawn, "name") else spawn,
                                         step.command, step.source, step.target,
                                         " (device said: %s)" % " / ".join(said) if said else ""))
            if not first:
                self.sync(spawn)
                if self._current_state != step.source:
                    continue  # a late prompt showed the line elsewhere
            first = False
            self.drain_owed_prompts(spawn)  # _reach_any may have nudged
            self.send(spawn, step.command)
            statements = extra + (list(enable_dialog()) if step.password else [])
            self._wait_prompt(spawn, context, session, statements, deadline, timeout,
                              nudge=prompt_recovery, goal=to_state)
        return self._current_state

    @staticmethod
    def _answers_nudge(spawn: SpawnLike, result: ExpectResult, nudged_at: int) -> bool:
        """The prompt `result` found came after the last empty line (sent
        when the line had received `nudged_at` characters) with nothing but
        line ends (its echo) before it: its answer, not a prompt printed
        unasked (after a banner, say)."""
        text = result.match_output
        after = spawn.received - nudged_at - len(spawn.buffer)  # since the nudge, up to the match
        begins = len(text) - after
        return (not result.sent_since and 0 <= begins <= result.match.start()
                and not text[begins:result.match.start()].strip())

    def _prompts_before(self, spawn: SpawnLike, result: ExpectResult, since: int) -> int:
        """Prompts of this machine in what `result` took in before its match,
        among what came after the line had received `since` characters."""
        text = result.match_output
        after = spawn.received - since - len(spawn.buffer)
        begins = max(0, len(text) - after)
        before = text[begins:result.match.start()]
        if not before:
            return 0
        bodies = [self.prompt_body(state.definition) for state in self.states
                  if "{hostname}" in state.definition.prompt]
        if self.learn_hostname:
            # Any line ending in ">" would pass for a prompt: only the
            # hostname the prompt found shows counts.
            seen = result.match.groupdict().get("hostname")
            if not seen:
                return 0
            bodies = [state.definition.prompt.replace(
                "{hostname}", "%s%s" % (re.escape(seen), STANDBY_SUFFIX))
                for state in self.states if "{hostname}" in state.definition.prompt]
        ends = {m.end() for body in bodies
                for m in re.finditer(PROMPT_START + body + r"(?=[\r\n]|$)", before)}
        return len(ends)

    def _first_nudge_quiet(self, spawn: SpawnLike) -> Optional[float]:
        """How long a line that owes no answer must have been quiet before
        its first empty line (None: a whole nudge interval). A console
        server shows nothing until a key is pressed: a conserver's console
        at once, a telnet port once as long after the server accepted the
        line as that took (what a port shows by itself comes about as fast). A `command:` line's program may still print
        its prompt unasked: a short quiet once it has spoken (until then it
        may be starting, and gets a whole interval). FIRST_NUDGE_SETTLE
        bounds both."""
        line = self.line_record(spawn)
        if (spawn.min_nudge_interval or line.awaiting is not None or line.owed_prompts
                or (spawn.sends and not line.owes_nothing())):
            return None
        transport = getattr(spawn, "transport", None)
        if transport == "conserver":
            return 0.0  # attached once the server answered: nothing more comes unasked
        if transport == "console":
            due = getattr(spawn, "connected_at", 0.0) + getattr(spawn, "connect_time", 0.0)
            return max(0.0, min(due - time.monotonic(), self.first_nudge_settle))
        return self.first_nudge_settle

    def _reach_any(self, spawn, context, session, extra, deadline, timeout) -> Optional[str]:
        # The line's own transport dialog (console server, ssh) comes before the login.
        statements = extra + list(spawn.connect_dialog) + list(login_dialog())
        return self._wait_prompt(spawn, context, session, statements, deadline, timeout,
                                 nudge=True, goal="any")

    def _at_prompt(self, spawn: SpawnLike) -> bool:
        """The line showed a prompt of this machine and nothing was sent or
        received since: that prompt is where the line is, no Return needed
        (while a hostname is learned, only when that prompt showed one)."""
        line = self.line_record(spawn)
        return (self._current_state in self.state_names() and self._owes_nothing(spawn)
                and not line.owed_prompts and not spawn.buffer and not spawn.read_pending(0)
                and (not self.learn_hostname or line.seen_hostname is not None))

    def sync(self, spawn: SpawnLike) -> bool:
        """Catch up with the line before something is sent on it: take in the
        prompts it still owes for nudges, read what is pending until the line
        is quiet, and take a prompt at its end as the current state (True when
        there was one). Without this, a late prompt would be taken as the
        answer to the next command.

        A line that owes nothing is not waited on: nothing was sent on it since
        its last prompt (or since it was last caught up with), that prompt came
        after everything sent before and answered no nudge, and nothing has
        arrived since. A line on which owed prompts stayed out is waited on."""
        line = self.line_record(spawn)
        owed = line.owed_prompts
        if self.drain_owed_prompts(spawn) == owed and self._owes_nothing(spawn) \
                and not spawn.buffer and not spawn.read_pending(0):
            return False
        spawn.settle(self.settle_time)
        found = self.read_prompt(spawn)
        if found or not spawn.buffer:
            line.caught_up = spawn.sends
        return found

    def _owes_nothing(self, spawn: SpawnLike) -> bool:
        sends = spawn.sends
        if self.line_record(spawn).owes_nothing():
            return True
        # A prompt of this machine that someone else waited for (the link broker).
        last = spawn.last_match
        return (last is not None and last.sends == sends and not last.sent_since
                and last.pattern.pattern in [s.pattern for s in self.states])

    def drain_owed_prompts(self, spawn: SpawnLike) -> int:
        """Take in the prompts that nudges may still bring and drop them with
        what came before them; returns how many were taken in.

        The count is an upper bound (a prompt that answered a nudge cannot be
        told from one that answered the line sent before), so the drain also
        ends once the line has been quiet for the line's `owed_prompt_wait`.
        Prompts that arrive together stand one after another without a line
        break (the line echoed the empty lines long before), so they are
        counted wherever they stand; a prompt beyond the owed ones is kept."""
        line = self.line_record(spawn)
        owed = line.owed_prompts
        if not owed:
            return 0
        line.owed_prompts = 0
        wait = line.owed_prompt_wait or self.owed_wait_cap
        bodies = [(state, re.compile(self.prompt_body(state.definition))) for state in self.states]
        quiet_until = time.monotonic() + wait
        while True:
            found = sorted({m.end(): str(state) for state, body in bodies
                            for m in body.finditer(spawn.buffer)}.items())
            remaining = quiet_until - time.monotonic()
            if len(found) >= owed or remaining <= 0:
                break
            if spawn.read_pending(remaining):
                quiet_until = time.monotonic() + wait
        found = found[:owed]
        if found:
            end, state = found[-1]
            spawn.buffer = spawn.buffer[end:]
            self._current_state = state
        # Caught up only if no line went out since the owed prompts were
        # noted (its answer may be one of those taken in).
        if len(found) == owed and not spawn.buffer and spawn.sends == line.owed_at:
            line.caught_up = spawn.sends
        return len(found)

    def _owe_prompts(self, spawn: SpawnLike, nudges: int, answer_time: Optional[float],
                     late: int = 0) -> None:
        """Note in the line's record that the device may still answer `nudges`
        empty lines, and `late` lines sent after the prompt just found had
        shown. `answer_time` is how long the prompt just found took since the
        last line sent before the nudges (the first nudge when nothing was
        sent before): the device answers each owed line about as slowly, so
        a few times that is waited for each (OWED_PROMPT_WAIT_MIN and
        OWED_PROMPT_WAIT_MAX bound it). The prompt found for late lines had
        shown before they went out, so it measures nothing: they are waited
        for as long as the line took to answer before, if it ever did; so is
        an `answer_time` of None (the prompt found may have come unasked)."""
        line = self.line_record(spawn)
        line.owe(nudges + late, line.answer_time if late or answer_time is None else answer_time,
                 self.owed_wait_floor, self.owed_wait_cap)

    def read_prompt(self, spawn: SpawnLike) -> bool:
        """Take a prompt already at the end of the buffer as the current state."""
        states = list(self.states)
        try:
            result = spawn.expect([s.pattern for s in states], timeout=0, log_timeout=False)
        except TimeoutError:
            return False
        self._record(states[result.index], result.match, spawn, result)
        return True

    def expect_prompt(self, spawn: SpawnLike, timeout: float, command: Optional[str] = None,
                      log_timeout: bool = True, extra: Sequence[Any] = ()) -> ExpectResult:
        """Wait for the prompt of any state that ends the answer to `command`,
        record it as current and return the spawn's expect result.
        TimeoutError when no prompt comes in time, ConnectionError when the
        line closes first; both say what the line printed last. `extra`
        patterns are waited for too, after the prompts: a result whose index
        is beyond the states' is one of them, and is not recorded."""
        states = list(self.states)
        began = time.monotonic()
        try:
            result = spawn.expect([s.pattern for s in states] + list(extra), timeout=timeout,
                                  log_timeout=False)
        except TimeoutError:
            error = self.prompt_timeout(spawn, time.monotonic() - began, timeout, command)
            if log_timeout:
                spawn.log.warning("%s", error)
            raise error from None
        if result.index < len(states):
            self._record(states[result.index], result.match, spawn, result)
        return result

    def prompt_timeout(self, spawn: SpawnLike, waited: float, timeout: float,
                       command: Optional[str] = None) -> Exception:
        """The error of a wait for a prompt that did not come."""
        waiting = "the answer to %r" % command if command is not None else "a prompt"
        if spawn.closed or spawn.eof:
            return ConnectionError(
                "%s: the line closed after %.1fs while waiting for %s (%s); connect again"
                % (spawn, waited, waiting, spawn.last_words()))
        return TimeoutError("%s: no prompt of %s within %ss while waiting for %s%s (%s)%s"
                            % (spawn, "/".join(self.state_names()), timeout, waiting,
                               self.hostname_hint(spawn), spawn.last_words(),
                               "; the next command first reads the rest of it"
                               if self.line_record(spawn).awaiting else ""))

    def hostname_hint(self, spawn: SpawnLike) -> str:
        """A hint for a timeout when the line ends in a prompt that differs
        from the expected ones only in its hostname."""
        text = " (hint: the prompt's hostname differs from the expected hostname)"
        if spawn.hostname_mismatch:
            return text
        if self.learn_hostname:
            return ""
        tail = spawn.buffer[-4096:]
        for state in self.states:
            prompt = state.definition.prompt
            if "{hostname}" not in prompt:
                continue
            body = prompt.replace("{hostname}", "(?P<hostname>%s)%s" % (self.learn_pattern,
                                                                          STANDBY_SUFFIX))
            match = re.search(PROMPT_START + body + PROMPT_END, tail)
            if match:
                return (" (hint: the line shows the prompt %r, whose hostname %r is not the"
                        " expected %r; give the device's hostname, or learn_hostname=True)"
                        % (match.group(0).strip(), match.group("hostname"), self.hostname))
        return ""

    def _record(self, state: State, match: Any, spawn: SpawnLike, result: Any = None,
                owed: int = 0) -> None:
        """Take a prompt found as the current state; when it answered all that
        was sent on the line (`owed` prompts still to come), the line is
        caught up with until the next send."""
        self._current_state = str(state)
        self.prompt_seen = True
        line = self.line_record(spawn)
        if result is not None:
            # A prompt that came after the awaited line was sent ends its answer.
            if line.awaiting is not None and result.sends - result.sent_since >= line.awaiting[1]:
                line.awaiting = None
            if not owed and not result.sent_since:
                line.caught_up = result.sends
        if self.learn_hostname:
            seen = match.groupdict().get("hostname")
            if seen:
                line.seen_hostname = seen

    def answer_out(self, spawn: SpawnLike, question: str, deadline: float) -> None:
        """Leave a question the line could not answer (a password that was
        rejected or cannot be read): send empty answers until the line shows
        a prompt of a state or a login's first question, where the next
        bring-up can start. Waits as long as the move had left (at least a
        nudge interval); the error that made the question unanswerable is
        the caller's to raise, so a line that fails here is left as it is."""
        states = list(self.states)
        patterns = [s.pattern for s in states] + [USERNAME_PATTERN, question]
        end = max(deadline, time.monotonic() + self.nudge_interval)
        try:
            for _ in range(ANSWERS_OUT):
                spawn.sendline()
                result = spawn.expect(patterns, timeout=max(end - time.monotonic(), 0),
                                      log_timeout=False)
                if result.index < len(states):
                    self._record(states[result.index], result.match, spawn, result)
                    return
                if result.index == len(states):
                    return  # a login starts afresh
        except (ConnectionError, TimeoutError, OSError) as exc:
            spawn.log.debug("%s: the question %r was left unanswered: %s", spawn, question, exc)

    def _wait_prompt(self, spawn, context, session, statements, deadline, timeout, nudge, goal):
        states = list(self.states)
        patterns = [s.pattern for s in statements] + [s.pattern for s in states]
        # Each nudge may bring a prompt of its own after the one found here;
        # they are counted so that they can be taken in before the next command
        # (on a line that timed out nothing is counted: its state is unknown).
        # Once a question has been answered the line is not nudged: an empty
        # line would be read as the next answer.
        nudges = nudged_at = first_nudged_at = 0
        answered = False
        began = time.monotonic()
        line = self.line_record(spawn)
        # Lines sent before this wait whose answers may still come: none on
        # a line never sent anything; unknown (None) if it never caught up.
        if not spawn.sends:
            sent_before: Optional[int] = 0
        elif line.caught_up is not None:
            sent_before = spawn.sends - line.caught_up + line.owed_prompts
        else:
            sent_before = None
        # Waiting for "any" state on a line that owes nothing starts with
        # nothing sent: the silence before the first nudge is no measure of
        # how slowly the device answers. A line sent something since (a
        # Return of the caller's) answers that first: measured from it.
        from_first_nudge = (goal == "any" and line.awaiting is None
                            and (not spawn.sends or line.owes_nothing()))
        last_sent, timed_from_nudge = began, False
        if not from_first_nudge and spawn.sends:
            last_sent = min(began, getattr(spawn, "last_send_time", began) or began)
        quiet = self._first_nudge_quiet(spawn) if nudge and goal == "any" else None
        # The quiet before the first nudge counts from the start of the wait
        # at the earliest: a device about to show its login gets that long.
        received, spoke_at = spawn.received, began
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("%s: no prompt of %s within %ss (going to %r, state %r)%s (%s)"
                                   % (spawn, "/".join(self.state_names()), timeout, goal,
                                      self._current_state, self.hostname_hint(spawn),
                                      spawn.last_words()))
            # A transport may wait longer before the first nudge (an ssh login
            # shows its prompt unasked, after a handshake that takes a while).
            interval = max(self.nudge_interval, spawn.min_nudge_interval if not nudges else 0.0)
            if quiet is not None and not nudges:
                # Looked at a few times per window: the quiet is counted from
                # the line's last output, not from the end of a window.
                interval = quiet / 4
            wait = min(remaining, interval) if nudge else remaining
            try:
                result = spawn.expect(patterns, timeout=wait, log_timeout=False)
            except TimeoutError:
                if spawn.closed or spawn.eof:
                    raise ConnectionError("%s: the line closed while going to %r (%s)"
                                          % (spawn, goal, spawn.last_words())) from None
                # No Return into a device that is printing: it is nudged
                # once it has been quiet for a whole wait (before the first
                # nudge: for the quiet window since its last output); nor
                # into a program that has not spoken yet (it may be starting;
                # a console server that accepted the line is up).
                now, printing = time.monotonic(), spawn.received != received
                if printing:
                    received, spoke_at = spawn.received, now
                if quiet is not None and not nudges:
                    printing = now - spoke_at < quiet
                starting = (quiet is not None and not received
                            and not getattr(spawn, "connected_at", 0.0)
                            and now - began < self.nudge_interval)
                if nudge and not answered and not printing and not starting \
                        and time.monotonic() < deadline:
                    spawn.sendline()
                    nudges += 1
                    nudged_at = spawn.received
                    if nudges == 1:
                        first_nudged_at = nudged_at
                    if from_first_nudge:
                        last_sent, from_first_nudge = time.monotonic(), False
                        timed_from_nudge = True
                continue
            answer_time = time.monotonic() - last_sent
            if result.index < len(statements):
                statement = statements[result.index]
                if result.sent_since:
                    # Asked before the last line went out, which answered it:
                    # answering again would answer the next question.
                    session.setdefault("stale", []).append(statement.pattern)
                    continue
                try:
                    statement.run(spawn, context, session)
                except Exception as exc:
                    # A login or password question left open would meet the
                    # next user of the line: it is answered out first.
                    if statement.pattern in (PASSWORD_PATTERN, USERNAME_PATTERN):
                        self.unanswered = exc
                        self.answer_out(spawn, statement.pattern, deadline)
                    raise
                last_sent = time.monotonic()
                if not statement.loop_continue:
                    self._owe_prompts(spawn, nudges, answer_time)
                    return self._current_state
                # A bare Return ("Press RETURN to get started") is a nudge, no
                # answer: a later nudge cannot be taken for the next answer,
                # and one is needed when that Return was lost (telnet flushes
                # input typed while it sets its terminal up).
                answered = answered or statement.action != ""
                continue
            # Lines sent after this prompt had shown are still to be answered;
            # each nudge may still bring a prompt, unless one nudge alone was
            # due on the line and the prompt found is its answer.
            late = result.sent_since
            # The prompt found measures how fast the line answers only when it
            # may be an answer: one that came after a banner the first nudge
            # did not ask for may have come unasked, and says nothing of when
            # the nudges' prompts will come.
            measured: Optional[float] = answer_time
            if nudges == 1 and quiet is not None and self._answers_nudge(spawn, result, nudged_at):
                nudges -= 1
            elif nudges:
                if sent_before is not None:
                    # Prompts before the one found, after the first nudge,
                    # beyond those lines sent before the wait may still
                    # bring, each answered a nudge.
                    seen = self._prompts_before(spawn, result, first_nudged_at)
                    nudges = max(0, nudges - max(0, seen - sent_before))
                if timed_from_nudge and not self._answers_nudge(spawn, result, first_nudged_at):
                    measured = None
            self._owe_prompts(spawn, nudges, measured, late)
            self.last_output = result.match_output
            self._record(states[result.index - len(statements)], result.match, spawn, result,
                         owed=nudges + late)
            return self._current_state
