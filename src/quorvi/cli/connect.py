"""`quorvi demo` and `quorvi connect`: one bring-up, its log lines as they
happen, then a short summary of what the link broker learned and decided."""
import argparse
import contextlib
import getpass
import os
import shlex
import sys
import time
from typing import Any, Dict, List, Optional

from .. import chassis
from .common import (EXIT_FAILURE, EXIT_OK, SECRET_ENVIRONMENT, UsageError, classes_hint,
                     configure_logging, inventory_device, load_inventory, non_negative_seconds,
                     output_file, positive_seconds)
from ..credentials import has_terminal
from ..secrets import secrets_of

# -- the report -------------------------------------------------------------------
def _rows(rows: List[tuple]) -> str:
    width = max(len(k) for k, _ in rows)
    return "\n".join("  %-*s  %s" % (width, k, v) for k, v in rows)


def _handles(con: Any) -> List[tuple]:
    """Designated handles of a multi-RP connection, as summary rows."""
    rows: List[tuple] = []
    for role in ("active", "standby", "active_ics", "standby_ics"):
        sub = getattr(con, role, None)
        if sub is not None:
            rows.append(("%s handle" % role.replace("_ics", " ICS"),
                         "%s (state %s)" % (sub.alias, sub.state_machine.current_state)))
    modes = {sub.mode for sub in con.subconnections if getattr(sub, "mode", None)}
    if modes:
        rows.append(("HA mode", ", ".join(sorted(modes))))
    return rows


def summary(dev: Any, elapsed: float, extra: Optional[List[tuple]] = None) -> str:
    con = dev.default
    rows: List[tuple] = [("device", dev.name), ("os / platform", "%s / %s" % (dev.os, dev.platform or "-")),
            ("connection class", type(con).__name__),
            ("hostname learned", con.learned_hostname or "- (not learned)")]
    if hasattr(con, "subconnections"):
        rows += _handles(con)
    else:
        rows.append(("state reached", con.state_machine.current_state))
    rows += extra or []
    rows.append(("time taken", "%.3f s" % elapsed))
    return _rows(rows)


def _device_report(sim: Any) -> List[tuple]:
    """What the simulated device saw: the initial commands and the members."""
    rows: List[tuple] = []
    for console in sim.consoles:
        received = [c for c in sim.commands_received(console) if c]
        if received:
            rows.append(("%s received" % console, "; ".join(received)))
    members = sim.device.get("members") or []
    for m in members:
        consoles = [c["name"] for c in sim.device["consoles"] if c["member"] == m["number"]]
        rows.append(("member %d" % m["number"], "%s, console %s" % (m["role"], "/".join(consoles))))
    return rows


def _connect(dev: Any, report: Any = None, **options: Any) -> bool:
    """Connect, print the summary (plus `report()` rows), always destroy."""
    from ..core.errors import ConnectionError, TimeoutError

    start = time.monotonic()
    try:
        dev.connect(**options)
    except (ConnectionError, TimeoutError) as exc:
        print("connect failed: %s" % exc)
        dev.destroy()
        return False
    elapsed = time.monotonic() - start
    shown = False
    try:
        print("\n--- summary ---\n" + summary(dev, elapsed, report() if report else None))
        shown = True
    finally:
        if not shown:
            dev.destroy()
    return True


def run_demo(kind: str, delay: float = 0.0, learn_os: bool = True) -> bool:
    """Connect to one simulated device of the given kind; True on success."""
    from ..device import Device
    from ..sim.harness import SimulatedDevice

    print("\n=== %s: simulated %s ===" % (kind, chassis.get(kind).title))
    with SimulatedDevice(kind, response_delay=delay) as sim:
        overrides: Dict[str, Any] = {"learn_hostname": True}
        if learn_os:
            overrides.update(os="generic", platform=None, learn_os=True)
        dev = Device(**sim.device_kwargs(**overrides))
        ok = _connect(dev, lambda: _device_report(sim))
        dev.destroy()
    return ok


def connect_and_report(device_kwargs: Any, execute: Optional[List[str]] = None,
                       timeout: Optional[float] = None, errors: Any = None,
                       record: Optional[str] = None) -> bool:
    """Connect to a real device (a Device, or the keywords that make one),
    print a summary, run the given commands and
    print their output. A command the device rejects is reported on `errors`
    (default stderr) and the next one still runs; True when none was
    rejected. A failed connect raises; the device is always destroyed.
    `record` is a cassette file that gets every line the device opens."""
    from ..device import Device

    errors = sys.stderr if errors is None else errors
    dev = device_kwargs if isinstance(device_kwargs, Device) else Device(**device_kwargs)
    options = {} if timeout is None else {"connection_timeout": timeout}
    with contextlib.ExitStack() as stack:
        if record is not None:
            stack.enter_context(dev.record(record))
        try:
            rejected = _connect_and_execute(dev, execute or [], options, errors)
        finally:
            dev.destroy()
    if rejected:
        print("error: %d of %d commands rejected by device %s"
              % (rejected, len(execute or []), dev.name), file=errors)
    return not rejected


def _connect_and_execute(dev: Any, execute: List[str], options: Dict[str, Any],
                         errors: Any) -> int:
    """Connect, print the summary, run `execute`; the number of commands rejected."""
    from ..core.errors import CommandError

    rejected = 0
    start = time.monotonic()
    dev.connect(**options)
    print("\n--- summary ---\n" + summary(dev, time.monotonic() - start))
    for command in execute:
        try:
            output = dev.execute(command)
        except CommandError as exc:
            rejected += 1
            print("\n%s\n%s" % (command, getattr(exc, "output", "")))
            print("error: %s" % exc, file=errors)
            continue
        print("\n%s\n%s" % (command, output))
    return rejected


# -- demo -----------------------------------------------------------------------
def _cmd_demo(args: argparse.Namespace) -> int:
    configure_logging(args.verbose)
    kinds = chassis.SHORT_NAMES if args.chassis == "all" else (args.chassis,)
    failed = 0
    for kind in kinds:
        failed += 0 if run_demo(kind, delay=args.delay, learn_os=not args.no_learn_os) else 1
    return EXIT_FAILURE if failed else EXIT_OK


# -- connect --------------------------------------------------------------------
def _parse_line(item: str) -> tuple:
    """ALIAS=COMMAND or ALIAS@MEMBER=COMMAND -> (alias, {"command", "member"?})."""
    name, sep, command = item.partition("=")
    alias, at, member = name.partition("@")
    if not sep or not alias or not command.strip() or (at and not member):
        raise UsageError("--line takes ALIAS=COMMAND or ALIAS@MEMBER=COMMAND, got %r" % item)
    line: Dict[str, Any] = {"command": command}
    if at:
        if not member.isdigit() or not 1 <= int(member) <= 9:
            raise UsageError("--line %r: the member number must be 1 to 9, got %r" % (item, member))
        line["member"] = int(member)
    return alias, line


def _parse_lines(args: argparse.Namespace) -> Dict[str, Dict[str, Any]]:
    lines: Dict[str, Dict[str, Any]] = {}
    for item in args.line or []:
        alias, line = _parse_line(item)
        if alias in lines:
            raise UsageError("--line %r: line %r is given twice" % (item, alias))
        lines[alias] = line
    if args.command:
        lines.setdefault("a", {"command": " ".join(shlex.quote(a) for a in args.command)})
    if not lines:
        raise UsageError("give the command that opens the console line",
                         "quorvi connect -- telnet HOST PORT, or --line ALIAS=COMMAND per line")
    if chassis.has_members(args.chassis):
        for alias, line in lines.items():
            if "member" not in line:
                raise UsageError("--chassis %s needs the member number of every line; line %r "
                                 "has none" % (args.chassis, alias),
                                 "give each line as --line ALIAS@MEMBER=COMMAND, e.g. "
                                 "--line m1a@1=\"telnet ts1 2001\"")
    return lines


def _secret(value: Optional[str], option: str, prompt: str) -> Optional[str]:
    """The option's value, else its environment variable; "-" asks without echo."""
    if value is None:
        return os.environ.get(SECRET_ENVIRONMENT[option]) or None
    if value == "-":
        given = "--%s -" % option.replace("_", "-")
        if not has_terminal():  # getpass would warn, then read the password echoed
            raise UsageError("%s: there is no terminal to type the password on" % given,
                             "set %s instead" % SECRET_ENVIRONMENT[option])
        try:
            return getpass.getpass(prompt)
        except EOFError:
            raise UsageError("%s: no password could be read" % given,
                             "type it at the prompt, or set %s" % SECRET_ENVIRONMENT[option]) \
                from None
    return value


def _parse_credentials(args: argparse.Namespace, device: str) -> Dict[str, Dict[str, Any]]:
    credentials: Dict[str, Dict[str, Any]] = {}
    enable_password = _secret(args.enable_password, "enable_password",
                              "Enable password for %s: " % device)
    if enable_password is not None:
        credentials["enable"] = {"password": enable_password}
    if args.username is not None:
        password = _secret(args.password, "password",
                           "Password of %s on %s: " % (args.username, device))
        credentials["default"] = {"username": args.username, "password": password or ""}
    return credentials


def _check_device(device: Any) -> None:
    """A device description the framework refuses is a usage error: the lines
    (member numbers) and whether a connection class fits OS, platform and
    chassis type."""
    from ..core.errors import ConnectionInfraError
    from ..device import Device

    try:
        if not isinstance(device, Device):
            device = Device(**device)
        device.connection_class()
    except ValueError as exc:
        raise UsageError(str(exc)) from exc
    except ConnectionInfraError as exc:
        raise UsageError(str(exc), classes_hint()) from exc


def _cmd_connect(args: argparse.Namespace) -> int:
    if args.inventory:
        return _connect_inventory(args)
    args.os = args.os or "generic"
    args.chassis = args.chassis or chassis.DEFAULT
    name = args.hostname or "device"
    credentials = _parse_credentials(args, name)
    device_kwargs = dict(name=name, os=args.os, platform=args.platform,
                         chassis_type=args.chassis, hostname=args.hostname,
                         connections=_parse_lines(args), credentials=credentials,
                         learn_os=args.os == "generic", learn_hostname=args.hostname is None)
    args.secrets = secrets_of(credentials)
    _check_device(device_kwargs)
    configure_logging(args.verbose, args.secrets)
    ok = connect_and_report(device_kwargs, execute=args.execute, timeout=args.timeout,
                            record=args.record)
    return EXIT_OK if ok else EXIT_FAILURE


def _overridden(entry: Any, args: argparse.Namespace) -> Any:
    """The inventory entry with what the command line gives for this run:
    OS, platform, hostname and credentials (options only; the QUORVI_*
    variables are defaults of a connect without a file)."""
    import dataclasses

    changes: Dict[str, Any] = {}
    if args.os is not None:
        changes["os"] = args.os
        if args.os != entry.os:
            changes["platform"] = None  # the file's platform belongs to its OS
    if args.platform is not None:
        changes["platform"] = args.platform
    if args.hostname is not None:
        changes["hostname"] = args.hostname
    credentials = {name: dict(values) for name, values in entry.credentials.items()}
    given = []
    if args.enable_password is not None:
        value = _secret(args.enable_password, "enable_password",
                        "Enable password for %s: " % entry.name)
        credentials.setdefault("enable", {})["password"] = "literal:%s" % value
        given.append(value)
    if args.username is not None:
        credentials.setdefault("default", {})["username"] = args.username
    if args.password is not None:
        value = _secret(args.password, "password", "Password on %s: " % entry.name)
        credentials.setdefault("default", {})["password"] = "literal:%s" % value
        given.append(value)
    args.secrets = [value for value in given if value]
    return dataclasses.replace(entry, credentials=credentials, **changes)


def _connect_inventory(args: argparse.Namespace) -> int:
    """connect --inventory FILE DEVICE: the device's lines and credentials come
    from the file; its secrets are read when a dialog needs them (and masked
    in the log by the line that sends them). Options that describe the device
    override the file for this run; those that give its lines are refused."""
    path, name = args.inventory
    if args.command or args.line or args.chassis is not None:
        raise UsageError("--inventory takes the device's lines and chassis from the file",
                         "give no command, --line or --chassis with it; --os, --platform, "
                         "--hostname, --username, --password and --enable-password "
                         "override the file for this run")
    inventory = load_inventory(path)
    if inventory is None:
        return EXIT_FAILURE
    device = _overridden(inventory_device(inventory, name), args).build()
    _check_device(device)
    configure_logging(args.verbose, args.secrets)
    ok = connect_and_report(device, execute=args.execute, timeout=args.timeout,
                            record=args.record)
    return EXIT_OK if ok else EXIT_FAILURE


# -- parsers --------------------------------------------------------------------
CONNECT_EPILOG = """\
console lines:
  single_rp, dual_rp:  --line ALIAS=COMMAND (one per RP, in RP order), or the
                       command after -- for a single line
  stack, quad:         --line ALIAS@MEMBER=COMMAND, the member number under which
                       "show switch" lists that line's switch or chassis, e.g.
                       --line m1a@1="telnet ts1 2001" --line m1b@1="telnet ts1 2002"

secrets:
  --password and --enable-password are also read from QUORVI_PASSWORD and
  QUORVI_ENABLE_PASSWORD; give "-" to type them at a prompt without echo.
  They never appear in the output.

with --inventory FILE DEVICE:
  the lines and the chassis come from the file: a command, --line and
  --chassis are refused. --os, --platform, --hostname, --username, --password
  and --enable-password override the file for this run (a changed --os drops
  the file's platform); QUORVI_PASSWORD and QUORVI_ENABLE_PASSWORD are not
  read (the file's env:NAME sources are).

exit status: 0 success, 1 failure (connect failed or a command was rejected),
2 usage error, 130 interrupted."""


def add_demo_parser(sub: Any, common: argparse.ArgumentParser) -> None:
    demo = sub.add_parser(
        "demo", parents=[common],
        help="connect to simulated devices and show the bring-up (the default)",
        description="Start a simulated device on pseudo-terminals, connect to it through "
                    "its link broker, show the broker's log lines as they happen and a "
                    "summary of what was learned.")
    demo.add_argument("--chassis", choices=chassis.SHORT_NAMES + ("all",), default="all",
                      help="which simulated device to connect (default: all, one after "
                           "the other)")
    demo.add_argument("--delay", type=non_negative_seconds, default=0.0,
                      help="the device's response delay in seconds (default 0)")
    demo.add_argument("--no-learn-os", action="store_true",
                      help="give the device's OS instead of learning it")
    demo.set_defaults(func=_cmd_demo, parser=demo)


def add_connect_parser(sub: Any, common: argparse.ArgumentParser) -> None:
    connect = sub.add_parser(
        "connect", parents=[common],
        help="connect to a real device through the command that opens its console",
        description="Connect to a real device. The console line is the command that opens "
                    "it, e.g. `quorvi connect --hostname R1 --os orbix -- telnet 10.0.0.5 "
                    "2001`; a device with several consoles takes one --line per console.",
        epilog=CONNECT_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    connect.add_argument("command", nargs=argparse.REMAINDER,
                         help="command that opens the console line (after --)")
    connect.add_argument("--inventory", nargs=2, metavar=("FILE", "DEVICE"),
                         help="connect the device DEVICE of the inventory file FILE (its "
                              "lines and credentials come from the file; see below for "
                              "the options that override it)")
    connect.add_argument("--line", action="append", metavar="ALIAS[@MEMBER]=COMMAND",
                         help="a console line of a multi-console device (repeat); a stack "
                              "or quad line names its member: ALIAS@MEMBER=COMMAND")
    connect.add_argument("--hostname", help="expected hostname (learned when not given)")
    connect.add_argument("--os",
                         help="device OS (default generic: the OS is learned)")
    connect.add_argument("--platform", help="device platform")
    connect.add_argument("--chassis", choices=chassis.NAMES,
                         help="chassis type (default %s)" % chassis.DEFAULT)
    connect.add_argument("--enable-password", metavar="PASSWORD",
                         help="password asked by 'enable' (- to type it; default "
                              "$QUORVI_ENABLE_PASSWORD)")
    connect.add_argument("--username", help="login user name, when the console asks")
    connect.add_argument("--password",
                         help="login password, when the console asks (- to type it; default "
                              "$QUORVI_PASSWORD)")
    connect.add_argument("--execute", action="append", metavar="COMMAND",
                         help="run a command once connected and print its output (repeat; "
                              "a rejected command does not stop the others)")
    connect.add_argument("--timeout", type=positive_seconds, default=None,
                         help="connection time limit in seconds")
    connect.add_argument("--record", type=output_file, metavar="FILE",
                         help="record what every console line sent and received into this "
                              "cassette (secrets replaced by markers); replay it with "
                              "`quorvi sim replay FILE`")
    connect.set_defaults(func=_cmd_connect, parser=connect)
