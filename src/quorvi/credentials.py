"""Where a credential's value comes from, so that no secret has to be written
in an inventory file.

A value is one of
- "env:NAME": the environment variable NAME,
- "file:PATH": the first line of the file PATH (relative to the inventory file),
- "prompt": asked once on the terminal, without echo, when first needed,
- anything else: the value itself ("literal:TEXT" forces a literal that
  would otherwise read as a source, e.g. a password "prompt").

A source is read only when a dialog needs the value (at connect time), never
while a file is checked: an unset variable or a missing file is an error of
the connect, naming the device and the credential. Values read are cached for
the life of the process, so one prompt serves every device that shares it.
"""
import getpass
import os
import sys
import threading
from typing import Any, Dict, Optional, Tuple

from .core.errors import ConnectionError
# Which values are secret and how they are hidden: quorvi.secrets (also
# importable from here, as before).
from .secrets import MASK, MaskedStream, Masker  # noqa: F401

SOURCES = ("env", "file", "prompt", "literal")

_cache: Dict[Tuple[str, str], str] = {}
_prompting = threading.Lock()  # one question on the terminal at a time


def parse(value: Any) -> Tuple[str, str]:
    """(source, argument) of a credential value: ("env", "NAME"),
    ("file", "PATH"), ("prompt", ""), ("literal", TEXT)."""
    text = str(value)
    if text == "prompt":
        return "prompt", ""
    scheme, sep, rest = text.partition(":")
    if sep and scheme in ("env", "file", "literal"):
        return scheme, rest
    return "literal", text


def masked(value: Any) -> str:
    """How a credential value is shown: sources as written, literals masked."""
    source, argument = parse(value)
    return MASK if source == "literal" else str(value)


class Secret:
    """A credential value read from its source when first turned into text.

    Dialogs answer with ``str(secret)``; ``repr`` never shows the value, so
    a secret in a log line or an error message stays hidden."""

    def __init__(self, value: Any, device: str = "", credential: str = "",
                 base_dir: Optional[str] = None) -> None:
        self.source, self.argument = parse(value)
        self.device = device
        self.credential = credential
        self.base_dir = base_dir

    def __repr__(self) -> str:
        shown = MASK if self.source == "literal" else "%s:%s" % (self.source, self.argument)
        return "Secret(%s)" % shown.rstrip(":")

    def __format__(self, spec: str) -> str:
        return format(str(self), spec)

    def __str__(self) -> str:
        return self.reveal()

    def _where(self) -> str:
        return "device %s, credential %r" % (self.device, self.credential)

    def known(self) -> Optional[str]:
        """The value if it can be had without asking and without failing
        (a literal, a set variable, a readable file, a prompt answered
        before); None otherwise."""
        if self.source == "prompt" and ("prompt", self.credential) not in _cache:
            return None
        try:
            return self.reveal()
        except ConnectionError:
            return None

    def reveal(self) -> str:
        if self.source == "literal":
            return self.argument
        if self.source == "env":
            value = os.environ.get(self.argument)
            if value is None:
                raise ConnectionError("%s: environment variable %s is not set; export it or "
                                      "change the inventory" % (self._where(), self.argument))
            return value
        if self.source == "file":
            path = os.path.expanduser(self.argument)
            if self.base_dir and not os.path.isabs(path):
                path = os.path.join(self.base_dir, path)
            key = ("file", os.path.abspath(path))
            if key not in _cache:
                try:
                    with open(path, encoding="utf-8") as handle:
                        _cache[key] = handle.readline().rstrip("\r\n")
                except OSError as exc:
                    raise ConnectionError("%s: cannot read %s: %s" % (
                        self._where(), path, exc.strerror or exc)) from None
            return _cache[key]
        # One answer per credential name serves every device that asks.
        key = ("prompt", self.credential)
        with _prompting:  # lines attaching together ask once, one after another
            if key in _cache:
                return _cache[key]
            try:
                if not has_terminal():
                    raise EOFError  # getpass would warn, then read the password echoed
                _cache[key] = getpass.getpass("%s password (asked for %s): " % (
                    self.credential, self.device))
            except (EOFError, OSError):
                raise ConnectionError("%s: asks for a password on the terminal but there is "
                                      "none; use env:NAME or file:PATH instead"
                                      % self._where()) from None
            return _cache[key]


def has_terminal() -> bool:
    """True when a password can be asked without echo, as getpass asks it:
    on the process's terminal, or on stdin when that is a terminal."""
    stdin = sys.stdin
    if stdin is not None and stdin.isatty():
        return True
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        return False
    return True


def clear_cache() -> None:
    """Forget every value read (a test, or a long-lived process that rotates secrets)."""
    _cache.clear()
