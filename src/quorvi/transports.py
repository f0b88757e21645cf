"""How a line is opened: a console server's telnet port and a console of a
conserver, both spoken by this process (quorvi.telnet, quorvi.conserver), a
host through the OpenSSH client, or any command.

Each transport gives the command line that opens the line and a dialog: the
statements the state machine applies while it looks for a prompt on that
line (a console server's "Press RETURN to get started", a pager left open,
ssh's password question), including those that end the attempt with an error
a user can act on (refused, unreachable, authentication failed, host key
changed). A console line also waits for telnet to report the TCP connection
first, so that a refused or unreachable port is told apart from a quiet one.

A console server may ask for a login of its own before it connects the
client to the console (conserver without a trusted host, a terminal server
with a port login): the line's `server_login` answers it, here, before the
state machine sees the line, so that a refusal is told apart from the
device's own login and named as the console server's.
"""
import re
import shlex
import socket
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Tuple, cast

from . import credentials as creds
from .core.errors import ConnectionError, TimeoutError
from .dialogs import Dialog, Statement, send_secret
from .spawn import Spawn
from .conserver import ConserverError, ConserverSpawn
from .telnet import TelnetSpawn, watch_connects

# HOST:PORT, the host possibly an [IPv6] address.
CONSOLE_RE = re.compile(r"^(?P<host>\[[0-9A-Fa-f:.]+\]|[^\s:@\[\]]+):(?P<port>\d+)$")
SSH_RE = re.compile(r"^(?:(?P<user>[^\s@:]+)@)?(?P<host>\[[0-9A-Fa-f:.]+\]|[^\s:@\[\]]+)"
                    r"(?::(?P<port>\d+))?$")
# CONSOLE@HOST[:PORT]: a console of a conserver (its master port, if not the default).
CONSERVER_RE = re.compile(r"^(?P<console>[^\s@]+)@(?P<host>\[[0-9A-Fa-f:.]+\]|[^\s:@\[\]]+)"
                          r"(?::(?P<port>\d+))?$")
# What a conserver line does with a console someone else holds read-write.
BUSY_POLICIES = ("fail", "take-over")


@dataclass
class Line:
    """A console line: how it is opened (`transport` and its `target`) and,
    on stack and quad devices, the member it belongs to."""
    alias: str
    transport: str  # console | ssh | command
    target: str  # HOST:PORT, [USER@]HOST[:PORT] or a command line
    member: Optional[int] = None
    ssh_options: Dict[str, str] = field(default_factory=dict)
    identity_file: Optional[str] = None
    busy: str = "fail"  # conserver: a console held by someone else (BUSY_POLICIES)
    # The console server's own login (username, password as written, sources
    # read at connect time): never the device's credentials.
    server_login: Dict[str, str] = field(default_factory=dict)


# Options that keep the OpenSSH client from ever waiting on a question of its
# own. A line's ssh_options come first: ssh keeps the first value it reads.
SSH_DEFAULT_OPTIONS = {
    "StrictHostKeyChecking": "accept-new",
    "NumberOfPasswordPrompts": "1",
    "ServerAliveInterval": "15",
    "LogLevel": "ERROR",  # no "Permanently added" noise; errors still show
}
# An ssh login shows the shell's prompt unasked once the handshake is done:
# an empty line sent earlier would only bring a second prompt to wait for.
SSH_FIRST_NUDGE = 5.0
TRANSPORTS = ("console", "ssh", "command", "conserver")
# Transports through a console server, whose line shows nothing until a key is pressed.
CONSOLE_SERVER_TRANSPORTS = ("console", "conserver")
# The verdict of a port login: a refusal comes about as fast as the password
# question came after the username; this many times that, within these bounds.
LOGIN_VERDICT_FACTOR = 4
LOGIN_VERDICT_FLOOR = 0.05
LOGIN_VERDICT_CAP = 2.0


def _host(text: str) -> str:
    return text[1:-1] if text.startswith("[") else text


def _where(spawn: Any, what: str) -> str:
    device, _, line = str(getattr(spawn, "name", spawn)).partition("/")
    return "device %s, line %s: %s" % (device, line or "?", what)


def fail(message: str) -> Any:
    """A dialog action that ends the connection attempt with `message`
    ({device} and {line} name the line, {0}... the pattern's groups)."""
    def action(spawn: Any, context: Any, session: Any, **_: Any) -> None:
        match = getattr(getattr(spawn, "last_match", None), "match", None)
        groups = [g or "" for g in match.groups()] if match is not None else []
        raise ConnectionError(_where(spawn, message.format(*groups)))
    return action


def send_key(key: str) -> Any:
    """A dialog action that sends one key, no Return (a pager takes "q")."""
    def action(spawn: Any, context: Any, session: Any, **_: Any) -> None:
        spawn.send(key)
    return action


# -- console servers -----------------------------------------------------------
def console_address(line: Line) -> Tuple[str, int]:
    match = CONSOLE_RE.match(line.target)
    if not match:
        raise ConnectionError("line %s: console %r is not SERVER:PORT" % (line.alias, line.target))
    return _host(match.group("host")), int(match.group("port"))


def open_console(line: Line, name: str, log: Any, max_buffer: int) -> TelnetSpawn:
    """A `console:` line, connecting (wait_console_connected finishes it)."""
    host, port = console_address(line)
    try:
        return TelnetSpawn(host, port, name=name, log=log, max_buffer=max_buffer)
    except socket.gaierror as exc:
        raise ConnectionError(_where(name, "cannot resolve console server %r: %s"
                                     % (host, exc.strerror or exc))) from None


def console_dialog(line: Line) -> Dialog:
    server, _, port = line.target.rpartition(":")
    closed = ("console server %s port %s closed the connection: the port may be in use by "
              "another session (clear it on the console server) or disabled" % (server, port))
    return Dialog([
        # A console server's greeting before the device is reached.
        Statement(r"Press RETURN to get started\.?\s*$", action=""),
        # A pager left open by the previous user: quit it, the prompt follows.
        Statement(r"-+ ?\(?[Mm]ore\b[^\r\n]*$", action=send_key("q")),
        Statement(r"(?im)^[^\r\n]*\b(?:port|line)\b[^\r\n]*\b(?:busy|in use)\b[^\r\n]*",
                  action=fail(closed)),
        Statement(r"Connection closed by foreign host\.", action=fail(closed)),
    ])


def wait_console_connected(spawn: TelnetSpawn, line: Line, timeout: float) -> None:
    """Wait until the console server has accepted the connection; a refused
    or unreachable server raises a ConnectionError."""
    server, _, port = line.target.rpartition(":")
    why = spawn.wait_connected(timeout)
    if why is None:
        return
    if why == "timed out":
        raise ConnectionError(_where(spawn, "console server %s port %s did not answer within "
                                     "%gs: is the server reachable from here?"
                                     % (server, port, timeout)))
    hint = ("is the port number right and the port enabled on the server?"
            if "refused" in why.lower() else "is the server reachable from here?")
    raise ConnectionError(_where(spawn, "console server %s port %s: %s; %s"
                                 % (server, port, why, hint)))


# -- a console server's own login ------------------------------------------------
def server_login_of(device: str, line: Line) -> Dict[str, Any]:
    """The line's console-server login: the username as written, the password
    a `Secret` read from its source when first needed."""
    login: Dict[str, Any] = dict(line.server_login or {})
    if "password" in login and not isinstance(login["password"], creds.Secret):
        login["password"] = creds.Secret(login["password"], device,
                                         "server_login of line %s" % line.alias)
    return login


def _refused(spawn: Any, server: str, login: Mapping[str, Any], said: str) -> ConnectionError:
    return ConnectionError(_where(spawn, "console server %s refused its login as %s (%s): "
                                  "check the line's server_login (or the console_servers "
                                  "entry); it is the console server's own login, not the "
                                  "device's" % (server, login.get("username") or "?", said)))


def port_login(spawn: Spawn, line: Line, login: Mapping[str, Any], timeout: float) -> None:
    """Answer the login a terminal server asks for, unasked, before it connects
    a telnet client to its port. A refusal comes back about as fast as the
    password question came after the username; the verdict is awaited that
    long (a few times, within bounds) before the line is handed on."""
    server = line.target
    user_re, password_re = r"(?i)(?:user ?name|login)\s*:\s*$", r"(?i)pass(?:word|code)\s*:\s*$"
    refused_re = (r"(?i)(?:login incorrect|authentication failed|access denied|"
                  r"invalid (?:password|login|user)[^\r\n]*|permission denied)")
    asked = time.monotonic()
    answered = 0.0
    sent_user = sent_password = False
    while True:
        try:
            result = spawn.expect([user_re, password_re], timeout=timeout, log_timeout=False)
        except TimeoutError:
            raise ConnectionError(_where(spawn, "console server %s asked for no login within "
                                         "%gs, yet the line has a server_login (%s)"
                                         % (server, timeout, spawn.last_words()))) from None
        if result.index == 0:
            if sent_user:
                raise _refused(spawn, server, login, "it asked for the username again")
            spawn.sendline(str(login.get("username") or ""))
            sent_user, asked = True, time.monotonic()
            continue
        if sent_password:
            raise _refused(spawn, server, login, "it asked for the password again")
        if "password" not in login:
            raise ConnectionError(_where(spawn, "console server %s asks for a password, but the "
                                         "line's server_login has none" % server))
        answered = time.monotonic() - asked
        send_secret(spawn, str(login["password"]))
        sent_password = True
        break
    verdict = min(max(LOGIN_VERDICT_FACTOR * answered, LOGIN_VERDICT_FLOOR), LOGIN_VERDICT_CAP)
    try:
        result = spawn.expect([refused_re, user_re, password_re], timeout=verdict,
                              log_timeout=False, trim_buffer=False)
    except TimeoutError:
        return  # no refusal: what came is the console's
    raise _refused(spawn, server, login, result.match.group(0).strip()
                   if result.index == 0 else "it asked for the login again")


# -- conserver ---------------------------------------------------------------------
def conserver_target(line: Line) -> Tuple[str, Optional[int], str]:
    """(host, master port or None, console) of a `conserver:` line."""
    match = CONSERVER_RE.match(line.target)
    if not match:
        raise ConnectionError("line %s: conserver console %r is not CONSOLE@HOST[:PORT]"
                              % (line.alias, line.target))
    port = match.group("port")
    return _host(match.group("host")), int(port) if port else None, match.group("console")


def open_conserver(line: Line, name: str, log: Any, max_buffer: int) -> ConserverSpawn:
    host, port, console = conserver_target(line)
    try:
        return ConserverSpawn(host, port, console, name=name, log=log, max_buffer=max_buffer)
    except socket.gaierror as exc:
        raise ConnectionError(_where(name, "cannot resolve conserver %r: %s"
                                     % (host, exc.strerror or exc))) from None


CONSERVER_REFUSALS = {
    "unreachable": "cannot connect (%s); is conserver running there, and the port right?",
    "unresolvable": "cannot resolve the server (%s)",
    "refused": "the server refused the connection (%s)",
    "not-found": "the server has no such console (%s); check the console name",
    "permission": "the server refuses this user access to the console (%s); check the "
                  "console's rw list in conserver.cf",
    "down": "the server reports the console down (%s); bring it up on the conserver",
    "read-only": "the server gives this user read-only access (%s); it was not attached "
                 "read-only to be typed into; check the console's rw list in conserver.cf",
    "closed": "the server closed the connection (%s)",
    "protocol": "the server answered what this client does not know (%s)",
}


def attach_conserver(spawn: ConserverSpawn, line: Line, login: Mapping[str, Any],
                     timeout: float) -> None:
    """Wait for the attach open_line began (the conserver's own password, if it
    asks; read-write, forced with busy: take-over) and leave the line at the
    console. A console held read-write by someone else is never used read-only:
    the line detaches and a ConnectionError says who holds it."""
    console = conserver_target(line)[2]
    server = line.target.partition("@")[2]
    where = "console %s on conserver %s" % (console, server)
    try:
        bumped = spawn.wait_attached()
    except ConserverError as exc:
        if exc.reason == "password-needed":
            raise ConnectionError(_where(spawn, "%s asks %s for a password: name the console "
                                         "server's login (server_login on the line, or "
                                         "console_servers in the inventory)"
                                         % (where, exc.who))) from None
        if exc.reason == "password-refused":
            raise _refused(spawn, "conserver " + server, login, exc.said) from None
        if exc.reason == "busy":
            raise ConnectionError(_where(spawn, "%s is busy: %s holds it read-write; it was not "
                                         "attached read-only to be typed into. Ask them to "
                                         "detach, or set busy: take-over on the line to force "
                                         "the attachment" % (where, exc.who))) from None
        if exc.reason == "timed-out":
            raise ConnectionError(_where(spawn, "%s: the server did not attach the console "
                                         "within %gs (%s)" % (where, timeout, exc.said or
                                                              "it said nothing"))) from None
        raise ConnectionError(_where(spawn, "%s: %s" % (where, CONSERVER_REFUSALS.get(
            exc.reason, CONSERVER_REFUSALS["protocol"]) % exc.said))) from None
    if bumped:
        spawn.log.warning("%s: took %s over from %s (busy: take-over)", spawn.name, where, bumped)


# -- ssh -------------------------------------------------------------------------
def ssh_argv(line: Line, username: Optional[str] = None, password: bool = False,
             timeout: Optional[float] = None) -> List[str]:
    """The ssh command line: BatchMode unless a password may be asked for, so
    that key authentication never stops at a question."""
    match = SSH_RE.match(line.target)
    if not match:
        raise ConnectionError("line %s: ssh target %r is not [USER@]HOST[:PORT]"
                              % (line.alias, line.target))
    options: Dict[str, str] = {}
    for source in (line.ssh_options, SSH_DEFAULT_OPTIONS):
        for key, value in source.items():
            options.setdefault(key, value)
    options.setdefault("BatchMode", "no" if password and not line.identity_file else "yes")
    if timeout:
        options.setdefault("ConnectTimeout", str(max(1, int(timeout))))
    argv = ["ssh"]
    if match.group("port"):
        argv += ["-p", match.group("port")]
    user = match.group("user") or username
    if user:
        argv += ["-l", user]
    if line.identity_file:
        argv += ["-i", line.identity_file, "-o", "IdentitiesOnly=yes"]
    for key, value in options.items():
        argv += ["-o", "%s=%s" % (key, value)]
    return argv + [_host(match.group("host"))]


def ssh_dialog(line: Line) -> Dialog:
    match = SSH_RE.match(line.target)
    host = _host(match.group("host")) if match else line.target
    return Dialog([
        Statement(r"ssh: connect to host (\S+) port (\d+): Connection refused",
                  action=fail("ssh to {0} port {1}: connection refused; is sshd running and "
                              "the port right?")),
        Statement(r"ssh: connect to host (\S+) port (\d+): ([^\r\n]+)",
                  action=fail("ssh to {0} port {1}: {2}; is the host reachable from here?")),
        Statement(r"ssh: Could not resolve hostname ([^\r\n:]+): ([^\r\n]+)",
                  action=fail("cannot resolve ssh host {0}: {1}")),
        Statement(r"REMOTE HOST IDENTIFICATION HAS CHANGED",
                  action=fail("the host key of %s has changed since it was recorded in "
                              "known_hosts; if the host was reinstalled, remove the old key "
                              "(ssh-keygen -R %s) and connect again" % (host, host))),
        Statement(r"Host key verification failed",
                  action=fail("host key verification of %s failed: its key is not in "
                              "known_hosts and StrictHostKeyChecking forbids adding it" % host)),
        Statement(r"([^\s@]+)@([^\s:]+): Permission denied \(([^)\r\n]*)\)",
                  action=fail("ssh authentication as {0} on {1} failed (the server accepts: "
                              "{2}); check the line's key or the device's credentials")),
        Statement(r"Permission denied, please try again",
                  action=fail("ssh password rejected; check the device's credentials")),
        Statement(r"(?:Connection closed by|kex_exchange_identification:)[^\r\n]*",
                  action=fail("the ssh server closed the connection before the login; "
                              "is it an ssh server, and does it accept this client?")),
    ])


# -- opening a line ----------------------------------------------------------------
def _has_password(credentials: Mapping[str, Any]) -> bool:
    return "password" in (credentials.get("default") or {})


def line_of(alias: str, description: Mapping[str, Any]) -> Optional[Line]:
    """The `Line` a connection description gives: an inventory `Line` under
    "line", or plain data with one of "console", "conserver", "ssh" or
    "command" (plus "member", "ssh_options", "identity_file", "busy",
    "server_login"), as a fleet description or a Python script writes it. None if it gives none. A "command" beside a
    "console" opens the line itself (a wrapper that reaches the console
    server); the "console" then only names the server, for the fleet's
    per-server cap."""
    line = description.get("line")
    if line is not None:
        return line
    given = [t for t in TRANSPORTS if description.get(t)]
    if "command" in given:
        given = ["command"]
    if len(given) > 1:
        raise ConnectionError("line %s: give one of %s, not %s" % (
            alias, ", ".join(TRANSPORTS), " and ".join(given)))
    if not given:
        return None
    return Line(alias, given[0], str(description[given[0]]), member=description.get("member"),
                ssh_options=dict(description.get("ssh_options") or {}),
                identity_file=description.get("identity_file"),
                busy=str(description.get("busy") or "fail"),
                server_login=dict(description.get("server_login") or {}))


def open_line(device: Any, alias: str, description: Mapping[str, Any], log: Any,
              max_buffer: int, timeout: float, wait: bool = True) -> Spawn:
    """Open the line `alias` of `device` and give its spawn the
    transport's dialog (`connect_dialog`). `description` is what `line_of`
    reads. A console server's line is returned connected, or with
    wait=False at once, to be finished with wait_for_server."""
    name = "%s/%s" % (device.name, alias)
    line = line_of(alias, description)
    if line is None or line.transport == "command":
        command = line.target if line is not None else description["command"]
        program = Spawn(command, name=name, log=log, max_buffer=max_buffer)
        # A replayed line keeps the first-nudge wait of the line it recorded.
        program.min_nudge_interval = float(description.get("first_nudge") or 0.0)
        return program
    credentials = getattr(device, "credentials", None) or {}
    login = server_login_of(device.name, line)

    spawn: Spawn
    if line.transport == "console":
        spawn, dialog = open_console(line, name, log, max_buffer), console_dialog(line)
    elif line.transport == "conserver":
        if line.busy not in BUSY_POLICIES:
            raise ConnectionError("line %s: busy must be one of %s, not %r"
                                  % (alias, ", ".join(BUSY_POLICIES), line.busy))
        spawn, dialog = open_conserver(line, name, log, max_buffer), Dialog([])
        password = login.get("password")
        spawn.begin_attach(
            login.get("username"), (lambda: str(password)) if password is not None else None,
            line.busy == "take-over", timeout)
    else:
        username = (credentials.get("default") or {}).get("username")
        argv = ssh_argv(line, str(username) if username is not None else None,
                        _has_password(credentials), timeout)
        spawn = Spawn(" ".join(shlex.quote(a) for a in argv), name=name, log=log,
                      max_buffer=max_buffer)
        dialog = ssh_dialog(line)
    spawn.connect_dialog = dialog
    spawn.transport = line.transport
    if line.transport == "ssh":
        spawn.min_nudge_interval = SSH_FIRST_NUDGE
    if line.transport in CONSOLE_SERVER_TRANSPORTS:
        server_line, began = line, time.monotonic()
        spawn.server_pending = lambda: _reach_server(spawn, server_line, login, timeout, log,
                                                     began)
        if wait:
            wait_for_server(spawn)
    return spawn


def wait_for_server(spawn: Spawn) -> None:
    """Finish opening a console server's line that open_line started with
    wait=False: wait until the server has connected it (attached, logged
    in). The line is closed when that fails. Several lines started first
    and then waited for one after another wait for their servers together."""
    pending, spawn.server_pending = spawn.server_pending, None
    if pending is not None:
        pending()


def watch_servers(spawns: List[Spawn], timeout: float) -> None:
    """Before lines started together are waited for one after another:
    note when each console server port accepts its line, all at once."""
    watch_connects([s for s in spawns
                    if isinstance(s, TelnetSpawn) and s.server_pending is not None], timeout)


def _reach_server(spawn: Spawn, line: Line, login: Mapping[str, Any], timeout: float, log: Any,
                  began: float) -> None:
    connected = False
    try:
        if isinstance(spawn, ConserverSpawn):
            attach_conserver(spawn, line, login, timeout)
        else:
            wait_console_connected(cast(TelnetSpawn, spawn), line, timeout)
            if login:
                port_login(spawn, line, login, timeout)
        connected = True
    finally:
        if not connected:
            spawn.close()
    # What a port shows by itself (a screen left behind) comes about as
    # fast as the connection did: the first Return waits that long.
    spawn.connected_at = time.monotonic()
    spawn.connect_time = spawn.connected_at - began
    # What went out so far (an attach, a port login) went to the server.
    spawn.connect_sends = spawn.sends
    log.debug("%s: console server answered in %.3fs", spawn.name, spawn.connect_time)


def server_login_secrets(device: str, connections: Mapping[str, Any]) -> List[str]:
    """The console-server passwords of a device's lines, read from their
    sources: secrets to mask wherever the device's own are."""
    found = []
    for alias, description in (connections or {}).items():
        line = line_of(alias, description or {})
        if line is not None and "password" in line.server_login:
            found.append(str(server_login_of(device, line)["password"]))
    return found
