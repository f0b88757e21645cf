"""Habits of real consoles a simulated device can be given, each one a device
option under "habits" (all off by default):

    habits:
      prompt_redraw: true            # CR ESC [K before every prompt
      line_padding: true             # line ends padded: CR NUL LF
      pager_ignores_length: true     # answers over a page stop at "--More--",
                                     # whatever "terminal length" said
      prompt_in_output: show running-config
                                     # that command's answer holds a line "R1#"
                                     # in its middle, and pauses there 150 ms
      console_logging: show clock    # after that command's prompt, a log
                                     # message and the prompt reprinted
      hostname_command: true         # "hostname NAME" in configuration mode
                                     # renames the device (every console)

With prompt_in_output or console_logging the device echoes what it reads
when it reads it, as a busy device does (a line typed while it still prints
is echoed after that output), instead of the terminal echoing at once.

"show long" (numbered lines, longer than a page) and "show clock" are
commands of every simulated device.

This runs in every console process: it imports as little as it can.
"""
from __future__ import annotations

from . import outputs as out

HABITS = ("prompt_redraw", "line_padding", "pager_ignores_length", "prompt_in_output",
          "console_logging", "hostname_command")
# How long a prompt-like line inside an answer stands alone on the line.
PROMPT_PAUSE = 0.15
# How long after a prompt a console log message comes.
LOG_DELAY = 0.02
REDRAW = "\r\x1b[K"
LOG_MESSAGE = "*Dec  9 08:00:00.123: %SYS-5-CONFIG_I: Configured from console by vty0"
LONG_LINES = 60
COMMANDS = {
    "show long": ["line %02d of a long answer" % n for n in range(1, LONG_LINES + 1)],
    "show clock": ["*08:00:00.123 UTC Mon Dec 9 2024"],
}


def check(habits: dict) -> None:
    """ValueError for a habit the simulator does not know."""
    if not isinstance(habits, dict):
        raise ValueError("habits must be a mapping of habit names to values")
    unknown = sorted(set(habits) - set(HABITS))
    if unknown:
        raise ValueError("unknown habit(s) %s; known: %s" % (", ".join(unknown), ", ".join(HABITS)))


def echoes_itself(device: dict) -> bool:
    """Whether the device echoes input itself, when it reads it."""
    habits = device.get("habits") or {}
    return bool(habits.get("prompt_in_output") or habits.get("console_logging"))


class Habits:
    """The habits of one console's session."""

    def __init__(self, session) -> None:
        self.session = session
        self.options = dict(session.device.get("habits") or {})
        self.device_echo = echoes_itself(session.device)

    def hostname(self) -> str:
        """The device's name: the last "hostname" configured on any console."""
        name = self.session.device["hostname"]
        if self.options.get("hostname_command"):
            config = self.session.shared.read()["config"]
            for console in self.session.device["consoles"]:
                for line in config.get(console["name"], []):
                    words = line.split()
                    if len(words) == 2 and words[0] == "hostname":
                        name = words[1]
        return name

    def prompt(self, text: str) -> str:
        return REDRAW + text if self.options.get("prompt_redraw") else text

    def line_ends(self, text: str) -> str:
        return text.replace("\n", "\r\x00\n") if self.options.get("line_padding") else text

    def echo(self, line: str) -> None:
        if self.device_echo:
            self.session.write(line + "\n")

    def command(self, text: str):
        """The answer of a habit command, None for other commands."""
        return COMMANDS.get(" ".join(text.split()).lower())

    def answer(self, command: str, lines: list):
        """Write a command's answer as the habits have it; False on EOF."""
        session = self.session
        if self.options.get("prompt_in_output") == command and len(lines) > 1:
            half = len(lines) // 2
            session.write_lines(lines[:half])
            session.write(session.habits.hostname() + "#")
            yield ("drain",)
            yield ("sleep", PROMPT_PAUSE)
            session.write("\n")
            lines = lines[half:]
        if self.options.get("pager_ignores_length") and len(lines) > out.PAGE_LINES:
            session.write_lines(lines[:out.PAGE_LINES])
            return (yield from session.page(lines, out.PAGE_LINES))
        session.write_lines(lines)
        return True

    def after_prompt(self, command: str | None):
        """A console log message and the prompt reprinted after it."""
        if command is None or self.options.get("console_logging") != command.strip():
            return
        yield ("drain",)
        yield ("sleep", LOG_DELAY)
        self.session.write(self.line_ends("\n" + LOG_MESSAGE + "\n") + self.session.prompt())
