"""Linux connection: a shell on a host (over ssh, a console or any command).

Bring-up reaches whatever prompt the shell shows (`user@host:~$`, `#`, with
colour and bracketed-paste escape sequences), learns the hostname from the
host (`uname -n`), then sets a prompt of its own (and turns off what would
disturb the output: bracketed paste, pagers, colour), so that the end of a
command's output is found by an exact prompt from then on. A command's
output comes back without echo, prompt and escape sequences; a non-zero exit
status raises CommandError (with `output` and `status`) unless check=False.
"""
import re
from typing import Any, Iterable, List, Optional, Union

from quorvi.bases.routers.link_broker import BaseSingleRpLinkBroker
from quorvi.connection import Connection
from quorvi.core.errors import CommandError, ConnectionError
from quorvi.line import clean_output
from quorvi.registry import registry
from quorvi.statemachine import StateDef, StateMachine
from quorvi.terminal import ESCAPE_RE, strip_controls  # noqa: F401  (ESCAPE_RE: the old import path)

# The prompt set once the shell is reached: no "$", "\" or "#" that a shell
# would expand or that output commonly ends with.
OWN_PROMPT = "quorvi-sh> "
SHELL_SETUP = ("PS1='%s'; PS2='> '; unset PROMPT_COMMAND; export PAGER=cat SYSTEMD_PAGER= "
               "GIT_PAGER=cat TERM=dumb; bind 'set enable-bracketed-paste off' 2>/dev/null; :"
               % OWN_PROMPT)
# Any shell prompt: a line ending in $, #, % or > (escape sequences may follow).
ANY_SHELL_PROMPT = r"[^\r\n]*?[$#%>] ?(?:\x1b\[[0-?]*[ -/]*[@-~])*"


def strip_escapes(text: str) -> str:
    """Kept for callers of the old name: every line's output is read through
    quorvi.terminal, which drops escape sequences before anything sees them."""
    return strip_controls(text)


class LinuxStateMachine(StateMachine):
    """One state, "shell": any shell prompt until the connection's own prompt
    has shown, then that prompt only."""

    STATES = [StateDef("shell", ANY_SHELL_PROMPT)]
    TRANSITIONS: List[Any] = []
    LEARN_OS_STATE = StateDef("learn_os", ANY_SHELL_PROMPT)
    PAGER_PROMPT = None  # pagers are off (PAGER=cat)
    LOG_MESSAGE = None
    HOSTNAME_COMMAND = None

    def __init__(self, hostname: Optional[str] = None, settings: Any = None) -> None:
        super().__init__(hostname, settings)
        self.own_prompt = False

    def prompt_body(self, definition: StateDef) -> str:
        if self.own_prompt and definition.name == "shell":
            return re.escape(OWN_PROMPT)
        return super().prompt_body(definition)

    def _record(self, state: Any, match: Any, spawn: Any, result: Any = None,
                owed: int = 0) -> None:
        super()._record(state, match, spawn, result, owed)
        if match.group(0).strip() == OWN_PROMPT.strip():
            self.own_prompt = True


class LinuxConnection(Connection):
    os = "linux"
    chassis_type = "single_rp"
    state_machine_class = LinuxStateMachine
    # Reaches the prompt, learns the hostname, runs the shell set-up as the
    # initial exec commands (no enable, no configuration).
    link_broker_class = BaseSingleRpLinkBroker

    def __init__(self, device: Any, alias: str = "default", **options: Any) -> None:
        super().__init__(device, alias, **options)
        self.goto_enable = False  # a shell has no enable state
        self.settings.HA_INIT_EXEC_COMMANDS = [SHELL_SETUP]
        self.settings.HA_INIT_CONFIG_COMMANDS = []
        self.last_exit_status: Optional[int] = None

    def _get_learned_hostname(self, spawn: Any = None) -> str:
        """The host's own name (the prompt may show anything, or nothing of it)."""
        try:
            name = self.execute("uname -n", check=False).strip()
        except ConnectionError:
            name = ""
        return name.splitlines()[-1].strip() if name else self.settings.DEFAULT_LEARNED_HOSTNAME

    def _run(self, command: str, timeout: float) -> str:
        spawn, sm = self._require_line(), self.state_machine
        self._send(command)
        result = sm.expect_prompt(spawn, timeout)
        return clean_output(result.match_output[:result.match.start()], command)

    # Narrower than the connection's execute(command, *args, **kwargs): a
    # shell line takes its own options (check), and no target.
    def execute(self, command: str,  # type: ignore[override]
                allow_state_change: bool = False, prompt_recovery: bool = False,
                timeout: Optional[float] = None, error_pattern: Optional[Iterable[str]] = None,
                check: bool = True) -> str:
        """Run one shell command; returns its output (echo, prompt and escape
        sequences removed). Its exit status is kept in `last_exit_status`;
        with `check` a non-zero one raises CommandError."""
        spawn, sm = self._require_line(), self.state_machine
        timeout = self.settings.EXEC_TIMEOUT if timeout is None else timeout
        self._prepare(prompt_recovery)
        if sm.current_state not in sm.state_names():
            sm.go_to("any", spawn, context=self.context, prompt_recovery=prompt_recovery,
                     timeout=self.connection_timeout)
        output = self._run(command, timeout)
        status_text = self._run("echo $?", timeout).strip()
        self.last_exit_status = int(status_text) if status_text.isdigit() else None
        if check and self.last_exit_status:
            exc = CommandError("%s: %r exited with status %d%s" % (
                self, command, self.last_exit_status,
                ": %s" % output.splitlines()[-1] if output.strip() else ""))
            exc.output = output
            exc.status = self.last_exit_status
            raise exc
        return output

    def configure(self, commands: Union[str, List[str]], prompt_recovery: bool = False,
                  timeout: Optional[float] = None,
                  error_pattern: Optional[Iterable[str]] = None,
                  quiet: Optional[float] = None) -> str:
        raise ConnectionError("%s: a Linux host has no configuration mode; run each command "
                              "with execute()" % self)


registry.register_plugin(LinuxConnection, os="linux", chassis_type="single_rp")
