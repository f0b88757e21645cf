"""Which values of a device are secret, and how they are hidden.

One policy and one masker for every output quorvi writes: the command line's
output and errors, the fleet's session logs and results, a line's debug log
and cassettes. `secrets_of` decides which values are secret; a `Masker`
hides them, in whole texts and, through `Masker.stream()`, in text that
arrives in pieces (a secret the device echoes across two reads included).
"""
import re
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Union

MASK = "********"
# Credential fields that name a user: shown, never hidden.
USER_FIELDS = frozenset({"username", "user"})
# Connect options whose values are secret.
SECRET_OPTIONS = ("enable_password",)


def _text(value: Any) -> Optional[str]:
    """The text of a secret value, None for none. A credential read from a
    source (quorvi.credentials.Secret) counts once it can be read without
    asking: a prompt not yet answered, an unset variable or an unreadable
    file is hidden once a dialog has read and sent it (Spawn.hide)."""
    known = getattr(value, "known", None)
    if callable(known):
        value = known()
    if value is None or isinstance(value, bool) or not isinstance(value, (str, int)):
        return None
    return str(value) or None


def secrets_of(credentials: Optional[Mapping[str, Mapping[str, Any]]] = None,
               options: Optional[Mapping[str, Any]] = None,
               extra: Iterable[Any] = ()) -> List[str]:
    """The secret values of a device, longest first.

    Secret is every value of every credential except the fields that name a
    user (`username`, `user`): login passwords, the enable password and any
    other field (a passphrase, a token); the values of the secret connect
    options (`enable_password`); and `extra`, values learned on the way
    (what was sent in answer to a password question).

    User names are shown. They open nothing without their password, and a
    user name is often a common word ("admin", "ops"): hidden wherever it
    appears it would garble the prompts, the configuration and the
    interface states ("administratively down") that users read in their
    logs, results and recordings."""
    values = set()
    for entry in (credentials or {}).values():
        for key, value in dict(entry or {}).items():
            if key not in USER_FIELDS:
                values.add(_text(value))
    for key in SECRET_OPTIONS:
        values.add(_text((options or {}).get(key)))
    values.update(_text(value) for value in extra)
    values.discard(None)
    return sorted(values, key=lambda s: (-len(s), s))  # type: ignore[arg-type]


Replacement = Union[str, Callable[[int], str]]


class Masker:
    """Replaces every occurrence of each secret with `replacement`: a text
    (MASK), or a function of the secret's number (1 for the first added),
    as a cassette writes `<secret-N>`. A secret is replaced wherever it
    appears, also inside a longer word, as given and as repr() shows it (a
    debug line or a traceback quotes it so); the longest first, so that a
    secret holding another is replaced whole."""

    def __init__(self, secrets: Iterable[Any] = (), replacement: Replacement = MASK) -> None:
        self.secrets: List[str] = []  # in the order added: secret N is secrets[N - 1]
        self.replacement = replacement
        self._forms: Dict[str, int] = {}  # each form of a secret -> its number
        self._pattern: Optional["re.Pattern[str]"] = None
        self.add(*secrets)

    def add(self, *secrets: Any) -> None:
        """Hide these too (None and empty values are ignored)."""
        for secret in secrets:
            text = _text(secret)
            if text is None or text in self.secrets:
                continue
            self.secrets.append(text)
            for form in (text, repr(text)[1:-1]):
                self._forms.setdefault(form, len(self.secrets))
        if self._forms:
            self._pattern = re.compile("|".join(
                re.escape(form) for form in sorted(self._forms, key=len, reverse=True)))

    def replacement_of(self, number: int) -> str:
        replacement = self.replacement
        return replacement if isinstance(replacement, str) else replacement(number)

    def __call__(self, text: Any) -> Any:
        """`text` with every secret replaced; anything but a text unchanged."""
        if self._pattern is None or not isinstance(text, str):
            return text
        return self._pattern.sub(lambda m: self.replacement_of(self._forms[m.group()]), text)

    def stream(self) -> "MaskedStream":
        """A stream of text pieces masked by this masker (secrets added later included)."""
        return MaskedStream(self)

    def unfinished(self, text: str) -> int:
        """Where the end of `text` that may still grow into a secret begins
        (len(text) when none may): the first position, not inside a secret
        found before it, from which the rest begins a longer secret."""
        if self._pattern is None:
            return len(text)
        longest = max(len(form) for form in self._forms)
        found = [m.span() for m in self._pattern.finditer(text) if m.end() > len(text) - longest]
        for start in range(max(0, len(text) - longest + 1), len(text)):
            if any(begin < start < end for begin, end in found):
                continue
            rest = text[start:]
            if any(len(form) > len(rest) and form.startswith(rest) for form in self._forms):
                return start
        return len(text)


def mask(text: Any, secrets: Iterable[Any]) -> Any:
    """`text` with every one of `secrets` replaced by MASK."""
    return Masker(secrets)(text)


class MaskedStream:
    """Masks text that arrives in pieces: the end of a piece that may begin a
    secret is held back and given out, masked, with the next piece (or by
    `flush`), so that a secret split between two pieces is hidden whole."""

    def __init__(self, masker: Union[Masker, Iterable[Any]] = ()) -> None:
        self.mask = masker if isinstance(masker, Masker) else Masker(masker)
        self.held = ""

    def feed(self, text: str) -> str:
        """What of the text so far can be shown now, masked."""
        text = self.held + text
        cut = self.mask.unfinished(text)
        self.held = text[cut:]
        return self.mask(text[:cut])

    def flush(self) -> str:
        """The text held back, masked, at the end of the stream."""
        held, self.held = self.held, ""
        return self.mask(held)
