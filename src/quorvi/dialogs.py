"""Dialogs: the questions a line may ask on its way to a state, and their answers.

A `Statement` pairs a pattern (a Python regex searched at the end of what the
line has shown) with an action. The state machine applies the statements of a
dialog while it waits for a prompt: when a statement's pattern shows up, its
action runs and, when `loop_continue` is true, the wait for the prompt goes on.

An action is either
- a string: sent as one line, after filling "{key}" placeholders from the
  context (e.g. "{enable_password}"), or
- a callable ``action(spawn, context, session, **args)``: `session` is a dict
  that lives for one state-machine move, for answers that depend on what was
  asked before (which credential was tried last, how often a question came).
"""
from typing import Any, Callable, Dict, Iterable, List, Optional, Union

from .core.errors import ConnectionError, EnablePasswordError

Action = Union[None, str, Callable[..., Any]]


class Statement:
    """One question of a dialog and what to do about it."""

    def __init__(self, pattern: str, action: Action = None, args: Optional[Dict[str, Any]] = None,
                 loop_continue: bool = True) -> None:
        self.pattern = pattern
        self.action = action
        self.args = dict(args or {})
        self.loop_continue = loop_continue

    def run(self, spawn: Any, context: Optional[Dict[str, Any]], session: Dict[str, Any]) -> None:
        if self.action is None:
            return
        if isinstance(self.action, str):
            try:
                text = self.action.format(**(context or {}))
            except KeyError as missing:
                raise ConnectionError("dialog answer for %r needs %s in the context"
                                      % (self.pattern, missing)) from None
            spawn.sendline(text)
            return
        self.action(spawn, context or {}, session, **self.args)

    def __repr__(self) -> str:
        return "Statement(%r)" % self.pattern


class Dialog(list):
    """An ordered list of statements; the first whose pattern matches wins."""

    def __init__(self, statements: Optional[Iterable[Statement]] = None) -> None:
        super().__init__(statements or [])

    # A Dialog, not a list, and from any iterable of statements.
    def __add__(self, other: Iterable[Statement]) -> "Dialog":  # type: ignore[override]
        return Dialog(list(self) + list(other))

    @property
    def statements(self) -> List[Statement]:
        return list(self)


def _credential_names(context: Dict[str, Any]) -> List[Any]:
    """The credentials to try at a login prompt: the context's "cred_list" when
    a bring-up has put it there, else its "login_creds", else ["default"]."""
    names = context.get("cred_list")
    if names is None:
        names = context.get("login_creds")
    if names is None:
        names = ["default"]
    if isinstance(names, (str, dict)):
        names = [names]
    return list(names)


def _credential(context: Dict[str, Any], name: Any) -> Dict[str, Any]:
    if isinstance(name, dict):
        return name
    credentials = context.get("credentials") or {}
    if name not in credentials:
        raise ConnectionError("login asked for credential %r, which the device does not define"
                              % (name,))
    return credentials[name]


def send_secret(spawn: Any, secret: Any) -> None:
    """Send a password; the line keeps it out of its log when it can."""
    text = str(secret)
    hide = getattr(spawn, "hide", None)
    if hide is not None:
        hide(text)
    spawn.sendline(text)


def send_username(spawn: Any, context: Dict[str, Any], session: Dict[str, Any]) -> None:
    """Answer a login's username question with the next credential to try."""
    names = _credential_names(context)
    index = session.get("login_index", -1) + 1
    if index >= len(names):
        raise ConnectionError("login failed on %s: every credential of %r was rejected"
                              % (spawn, names))
    session["login_index"] = index
    cred = _credential(context, names[index])
    if "username" not in cred:
        raise ConnectionError("credential %r has no username" % (names[index],))
    spawn.sendline(str(cred["username"]))


def send_login_password(spawn: Any, context: Dict[str, Any], session: Dict[str, Any]) -> None:
    """Answer a login's password question with the credential that gave the username.

    When the username question was answered by some other line (an empty line
    sent to test whether the line answers), the password is asked for a user
    name nobody chose: an empty answer lets the login fail and ask again,
    and no password goes out for the wrong user."""
    names = _credential_names(context)
    answered_out = session.get("answered_out", 0)
    if "login_index" not in session and (USERNAME_PATTERN in session.get("stale", ()) or
                                         not _password_only(context, names) and
                                         _bare_question(spawn) and answered_out < ANSWERS_OUT):
        # A question nobody here asked: a line left at a password question
        # (an enable password that failed before), not a login's (an ssh
        # login asks "user@host's password:"). Empty answers bring it back
        # to a prompt; asked on and on, it is taken for a login's.
        session["answered_out"] = answered_out + 1
        spawn.sendline("")
        return
    index = max(session.get("login_index", 0), 0)
    if index >= len(names):
        raise ConnectionError("login password asked on %s but no credential is left" % spawn)
    cred = _credential(context, names[index])
    if "password" not in cred:
        raise ConnectionError("credential %r has no password" % (names[index],))
    send_secret(spawn, cred["password"])


def _password_only(context: Dict[str, Any], names: List[Any]) -> bool:
    """Whether the login's first credential is a password without a user
    name (a line that asks for a password only)."""
    if not names:
        return False
    cred = names[0] if isinstance(names[0], dict) else \
        (context.get("credentials") or {}).get(names[0])
    return isinstance(cred, dict) and "password" in cred and "username" not in cred


def _bare_question(spawn: Any) -> bool:
    """Whether the question just matched stands alone on its line
    ("Password:"), as far as the line can tell."""
    match = getattr(getattr(spawn, "last_match", None), "match", None)
    if match is None or not isinstance(match.string, str):
        return False
    start = match.start()
    return not match.string[match.string.rfind("\n", 0, start) + 1:start].strip()


def send_enable_password(spawn: Any, context: Dict[str, Any], session: Dict[str, Any]) -> None:
    """Answer the enable password question; asked twice in one move means rejected."""
    session["enable_asked"] = session.get("enable_asked", 0) + 1
    if session["enable_asked"] > 1:
        raise EnablePasswordError("enable password rejected on %s" % spawn)
    password = context.get("enable_password")
    if password is None:
        raise EnablePasswordError("%s asks for an enable password but none is configured"
                                  % spawn)
    send_secret(spawn, password)


USERNAME_PATTERN = r"(?:[Uu]sername|[Ll]ogin):\s*$"
PASSWORD_PATTERN = r"[Pp]assword:\s*$"
# How many empty answers a password question nobody asked gets (a device
# asks a failed password again a few times before it gives up).
ANSWERS_OUT = 3


def login_dialog() -> Dialog:
    """Username and password questions of a console login."""
    return Dialog([
        Statement(USERNAME_PATTERN, send_username),
        Statement(PASSWORD_PATTERN, send_login_password),
    ])


def enable_dialog() -> Dialog:
    """The password question of "enable"."""
    return Dialog([Statement(PASSWORD_PATTERN, send_enable_password)])
