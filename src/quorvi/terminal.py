"""What a console line's output says once the terminal has had its way with it.

Devices and console servers draw on the terminal: they erase a line before
redrawing a prompt (CR ESC [K), colour it, set window titles, turn bracketed
paste on, take characters back with backspaces, and pad line ends with NUL.
None of that is text: it is never part of a prompt, a hostname or an answer.
Every line reads its output through a `TerminalText`, so that prompt patterns,
dialogs and answers only ever see the text; recorders and session logs keep
what crossed the line as it was.
"""
import re
from typing import Tuple

# CSI (colour, erase, cursor, bracketed paste), string sequences (OSC window
# titles, DCS, ...) ended by BEL or ST, and the short escapes (ESC 7, ESC ( B).
ESCAPE_RE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]"
                       r"|\x1b[\]PX^_][^\x07\x1b]*(?:\x07|\x1b\\)"
                       r"|\x1b[ -/]*[0-~]")
# An escape sequence cut by the end of a read: held back until the rest comes.
UNFINISHED_RE = re.compile(r"\x1b(?:\[[0-?]*[ -/]*|[\]PX^_][^\x07\x1b]*\x1b?|[ -/]*)\Z")
# Control characters that are not text (tab, line feed, carriage return and
# backspace are; a lone ESC left over is not).
CONTROL_RE = re.compile(r"[\x00-\x07\x0b\x0c\x0e-\x1f\x7f]")
# What makes a read worth a closer look; most reads hold none of it (each is
# looked for with `in`, many times faster than a regex over a whole read;
# a read holding only rarer control characters keeps them).
SPECIAL = ("\x1b", "\x00", "\b", "\x07", "\x7f")
# A string sequence that never ends is given up on after this many characters.
MAX_HELD = 512


def strip_controls(text: str) -> str:
    """`text` without escape sequences and control characters (backspaces are
    applied: each takes back the character before it on its line)."""
    text = CONTROL_RE.sub("", ESCAPE_RE.sub("", text))
    if "\b" in text:
        text, _ = apply_backspaces(text)
    return text


def apply_backspaces(text: str) -> Tuple[str, int]:
    """(`text` with each backspace taking back the character before it,
    backspaces that reach back before `text` on its first line). A backspace
    never crosses a line end."""
    kept: list = []
    before = 0
    for char in text:
        if char != "\b":
            kept.append(char)
        elif kept:
            if kept[-1] not in "\r\n":
                kept.pop()
        else:
            before += 1
    return "".join(kept), before


class TerminalText:
    """Turns the reads of one line into text, read by read; an escape sequence
    split between two reads is recognised whole."""

    __slots__ = ("held",)

    def __init__(self) -> None:
        self.held = ""

    def feed(self, data: str) -> Tuple[str, int]:
        """(the text of `data`, how many characters of the text before it a
        backspace takes back)."""
        if self.held:
            data, self.held = self.held + data, ""
        elif not any(char in data for char in SPECIAL):
            return data, 0
        unfinished = UNFINISHED_RE.search(data)
        if unfinished is not None and len(data) - unfinished.start() <= MAX_HELD:
            data, self.held = data[:unfinished.start()], data[unfinished.start():]
        text = CONTROL_RE.sub("", ESCAPE_RE.sub("", data))
        if "\b" not in text:
            return text, 0
        return apply_backspaces(text)
