"""Settings: framework-wide values, overridable per device and per connection.

Keys are attributes. A key may be deleted (``del settings.KEY``), after which
``hasattr(settings, "KEY")`` is false: some callers treat an absent key
differently from a key holding an empty value.
"""
import copy
from typing import TYPE_CHECKING, Any, Dict, Iterator, Mapping, Optional

# Hostname pattern used while a hostname is being learned, and stored as the
# learned hostname when none could be learned. It is a regex that stands in for
# the hostname inside a prompt pattern: lazy, so an optional "-stby" suffix and
# the prompt characters stay outside it.
DEFAULT_LEARNED_HOSTNAME = r"[^\s#>()]+?"

DEFAULTS: Dict[str, Any] = {
    # Exec commands run on every designated line once it is at the enable prompt.
    "HA_INIT_EXEC_COMMANDS": ["terminal length 0", "terminal width 0"],
    # Configuration block sent through the active line after the exec commands.
    "HA_INIT_CONFIG_COMMANDS": ["no logging console"],
    # Configuration that lets a standby console accept configuration.
    "HA_STANDBY_UNLOCK_COMMANDS": ["redundancy", "standby console enable"],
    # Commands tried, in order, to learn a device's OS.
    # A shell answers "show version" with an error of its own, then "uname -s".
    "LEARN_OS_COMMANDS": ["show version", "uname -s"],
    # OS name -> {"os": [patterns naming the OS], "platform": {name: [patterns]}}.
    # Patterns are Python regexes searched in the output of a learning command.
    "OS_MAPPING": {
        "orbix": {
            "os": [r"Orbix Software"],
            "platform": {
                "ox900": [r"\box900\b"],
                "ox20": [r"\box20\b"],
            },
        },
        "tessel": {
            "os": [r"Tessel Network OS"],
            "platform": {
                "ts5k": [r"\bts5k\b"],
                "ts2k": [r"\bts2k\b"],
            },
        },
        # `uname -s` alone on its line (a shell may put escape sequences before it).
        "linux": {"os": [r"^(?:\x1b\[[0-?]*[ -/]*[@-~])*Linux\s*$"]},
    },
    "DEFAULT_LEARNED_HOSTNAME": DEFAULT_LEARNED_HOSTNAME,
    # Seconds: one command's answer; a line's bring-up; the answer test of a
    # possibly silent line (each of its waits: a live console, even one
    # reached through a console server across a slow network, answers an
    # empty line well within this; see the README).
    "EXEC_TIMEOUT": 60,
    "CONNECTION_TIMEOUT": 60,
    "DETECT_RPR_TIMEOUT": 1.0,
    # Seconds a command gives a line that has never shown a prompt (found
    # silent at bring-up) to show one, instead of CONNECTION_TIMEOUT.
    "SILENT_LINE_TIMEOUT": 5.0,
    # While looking for a prompt, an empty line is sent after this many
    # seconds without one.
    "PROMPT_NUDGE_INTERVAL": 1.0,
    # A line that has shown nothing since it was opened gets its first empty
    # line at once when it is a console server's port (which shows nothing
    # until a key is pressed), and after this many seconds of quiet when it
    # is a `command:` line (a program that may still print its prompt
    # unasked). A line that is printing is only nudged once it has been quiet
    # for PROMPT_NUDGE_INTERVAL: no Return goes into a boot log or a long answer.
    "FIRST_NUDGE_SETTLE": 0.05,
    # Prompts that earlier empty lines may still bring are waited for, once
    # the line is quiet, a few times as long as the line took to answer one,
    # but at least this floor and at most this cap (seconds).
    "OWED_PROMPT_WAIT_MIN": 0.005,
    "OWED_PROMPT_WAIT_MAX": 2.0,
    # Before sending a command, pending output is read until the line has been
    # quiet this long (so a late prompt is not taken as the command's end).
    "SETTLE_TIME": 0.05,
    # Seconds execute/configure wait, after the prompt that ends an answer,
    # for the line to stay quiet: output arriving meanwhile belongs to the
    # answer (prompt-like text inside it). 0: no wait; output coming after the
    # answer is then reported as a cut answer (see docs/console-habits.md).
    "ANSWER_QUIET_TIME": 0,
    # Output lines that make execute/configure raise a CommandError.
    "ERROR_PATTERNS": [
        r"^%\s*(?:Invalid input|Incomplete command|Ambiguous command|Unknown command)",
        r"^%\s*(?:Access denied|Standby console disabled)",
    ],
    # Upper bound of text a spawn keeps unconsumed; older text is dropped.
    "SPAWN_MAX_BUFFER": 1024 * 1024,
}


class Settings:
    """Attribute bag of settings, starting from the framework defaults."""

    def __init__(self, values: Optional[Mapping[str, Any]] = None, defaults: bool = True) -> None:
        if defaults:
            self.update(copy.deepcopy(DEFAULTS))
        if values:
            self.update(values)

    def update(self, values: Mapping[str, Any]) -> "Settings":
        for key, value in dict(values).items():
            setattr(self, key, value)
        return self

    def copy(self) -> "Settings":
        """An independent copy: changing one does not change the other."""
        new = Settings(defaults=False)
        new.update(copy.deepcopy(vars(self)))
        return new

    def keys(self) -> Iterator[str]:
        return iter(sorted(vars(self)))

    if TYPE_CHECKING:
        # Any key may be set, per device or per connection.
        def __getattr__(self, key: str) -> Any: ...

        def __setattr__(self, key: str, value: Any) -> None: ...

    def __contains__(self, key: str) -> bool:
        return hasattr(self, key)

    def __repr__(self) -> str:
        return "Settings(%s)" % ", ".join(sorted(vars(self)))


def merged(base: Optional[Any], overrides: Optional[Any]) -> Settings:
    """A copy of `base` (a Settings, a mapping or None for the defaults) with
    `overrides` (a Settings or a mapping) applied on top."""
    if isinstance(base, Settings):
        result = base.copy()
    else:
        result = Settings(base)
    if isinstance(overrides, Settings):
        result.update(vars(overrides))
    elif overrides:
        result.update(overrides)
    return result
