"""The `quorvi` command: watch a bring-up on simulated devices, connect to a
real device, list the connection classes.

Each subcommand is a small function `_cmd_NAME(args) -> int` that turns its
parsed options into a call of the module that does the work; option values are
checked while parsing (`_parse_*`, argparse types), and a command line that
cannot work raises UsageError. `main` is the one place that turns errors into
an `error: ...` line and an exit status:

    0  success
    1  failure: the device or the connection failed, or a command was rejected
    2  usage error: a wrong command line (printed with the subcommand's usage)
    130  interrupted (Ctrl-C)

`-v` adds the traceback of a failure (and debug log lines).
"""
import argparse
import getpass
import logging
import math
import os
import shlex
import sys
import traceback
from typing import Any, Dict, Iterable, List, NoReturn, Optional

from .secrets import mask as _redact, secrets_of as _secrets

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

CHASSIS = ("single", "dual", "stack", "quad")
MEMBER_CHASSIS = ("stack", "quad")

# Where the secret options are also taken from; "-" as the option's value asks
# for it without echo.
SECRET_ENVIRONMENT = {"password": "QUORVI_PASSWORD", "enable_password": "QUORVI_ENABLE_PASSWORD"}


class UsageError(Exception):
    """A command line that cannot work; `hint` says what to give instead."""

    def __init__(self, message: str, hint: Optional[str] = None) -> None:
        super().__init__(message)
        self.hint = hint


class _Parser(argparse.ArgumentParser):
    """Usage errors in the same `error: ...` form as every other error."""

    def error(self, message: str) -> "NoReturn":
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, "error: %s: %s\n" % (self.prog, message))


# -- secrets never reach the output (which, and how: quorvi.secrets) --------
class _RedactSecrets(logging.Filter):
    def __init__(self, secrets: Iterable[str]) -> None:
        super().__init__()
        self.secrets = [s for s in secrets if s]

    def filter(self, record: logging.LogRecord) -> bool:
        if self.secrets:
            record.msg, record.args = _redact(record.getMessage(), self.secrets), None
        return True


def _configure_logging(verbose: bool, secrets: Iterable[str] = ()) -> None:
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("%(asctime)s.%(msecs)03d %(name)s %(levelname)s: "
                                           "%(message)s", "%H:%M:%S"))
    handler.addFilter(_RedactSecrets(secrets))
    root = logging.getLogger("quorvi")
    root.handlers[:] = [handler]
    root.setLevel(logging.DEBUG if verbose else logging.INFO)
    root.propagate = False


# -- option types -------------------------------------------------------------
def _seconds(text: str, zero_allowed: bool) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text) from None
    if not math.isfinite(value) or value < 0 or (value == 0 and not zero_allowed):
        raise argparse.ArgumentTypeError("%r: give a finite number of seconds %s"
                                         % (text, "of 0 or more" if zero_allowed else "above 0"))
    return value


def positive_seconds(text: str) -> float:
    return _seconds(text, zero_allowed=False)


def non_negative_seconds(text: str) -> float:
    return _seconds(text, zero_allowed=True)


# -- demo -----------------------------------------------------------------------
def _cmd_demo(args: argparse.Namespace) -> int:
    from .demo import run_demo

    _configure_logging(args.verbose)
    kinds = CHASSIS if args.chassis == "all" else (args.chassis,)
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
    if args.chassis in MEMBER_CHASSIS:
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
        try:
            return getpass.getpass(prompt)
        except EOFError:
            raise UsageError("--%s -: no password could be read" % option.replace("_", "-"),
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


def _check_device(kwargs: Dict[str, Any]) -> None:
    """A device description the framework refuses is a usage error: the lines
    (member numbers) and whether a connection class fits OS, platform and
    chassis type."""
    from .core.errors import ConnectionInfraError
    from .device import Device

    try:
        Device(**kwargs).connection_class()
    except ValueError as exc:
        raise UsageError(str(exc)) from exc
    except ConnectionInfraError as exc:
        raise UsageError(str(exc), _classes_hint()) from exc


def _classes_hint() -> str:
    from .registry import registry

    return ("OSes with connection classes: %s; `quorvi plugins` shows their platforms and "
            "chassis types" % ", ".join(sorted(registry.plugins)))


def _cmd_connect(args: argparse.Namespace) -> int:
    from .demo import connect_and_report

    if args.inventory:
        return _connect_inventory(args)
    name = args.hostname or "device"
    credentials = _parse_credentials(args, name)
    device_kwargs = dict(name=name, os=args.os, platform=args.platform,
                         chassis_type=args.chassis, hostname=args.hostname,
                         connections=_parse_lines(args), credentials=credentials,
                         learn_os=args.os == "generic", learn_hostname=args.hostname is None)
    args.secrets = _secrets(credentials)
    _check_device(device_kwargs)
    _configure_logging(args.verbose, args.secrets)
    if args.record:
        device_kwargs["record"] = args.record
    ok = connect_and_report(device_kwargs, execute=args.execute, timeout=args.timeout)
    return EXIT_OK if ok else EXIT_FAILURE


# -- inventory ------------------------------------------------------------------
def _load_inventory(path: str) -> Any:
    """The inventory at `path`, or None once its problems are printed, one a line."""
    from .inventory import InventoryError, load

    try:
        return load(path)
    except InventoryError as exc:
        for problem in exc.problems:
            print("error: %s" % problem, file=sys.stderr)
        return None


def _inventory_device(inventory: Any, name: str) -> Any:
    try:
        return inventory[name]
    except KeyError as exc:
        raise UsageError(exc.args[0], "`quorvi inventory show FILE` lists its devices") from None


def _connect_inventory(args: argparse.Namespace) -> int:
    """connect --inventory FILE DEVICE: the device's lines and credentials come
    from the file; its secrets are read when a dialog needs them (and masked
    in the log by the line that sends them)."""
    from .demo import connect_and_report

    path, name = args.inventory
    if args.command or args.line:
        raise UsageError("--inventory takes the device's lines from the file",
                         "give no command and no --line with it")
    inventory = _load_inventory(path)
    if inventory is None:
        return EXIT_FAILURE
    device = _inventory_device(inventory, name).build()
    _configure_logging(args.verbose)
    ok = connect_and_report(device, execute=args.execute, timeout=args.timeout)
    return EXIT_OK if ok else EXIT_FAILURE


def _cmd_inventory(args: argparse.Namespace) -> int:
    from .inventory import check, show

    if args.action == "check":
        problems = check(args.file)
        for problem in problems:
            print(problem)
        if not problems:
            print("%s: no problems" % args.file)
        return EXIT_FAILURE if problems else EXIT_OK
    inventory = _load_inventory(args.file)
    if inventory is None:
        return EXIT_FAILURE
    if args.device is not None:
        _inventory_device(inventory, args.device)
    print(show(inventory, args.device, args.format))
    return EXIT_OK


# -- plugins --------------------------------------------------------------------
def _cmd_plugins(args: argparse.Namespace) -> int:
    from .registry import load_plugins, registry

    load_plugins()
    print(repr(registry))
    return EXIT_OK


# -- parser ---------------------------------------------------------------------
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

exit status: 0 success, 1 failure (connect failed or a command was rejected),
2 usage error, 130 interrupted."""


def _cmd_sim_replay(args: argparse.Namespace) -> int:
    from .sim.replaying import run

    return run(args)


def _cmd_sim_serve(args: argparse.Namespace) -> int:
    from .sim.serve import run

    return run(args)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quorvi", description="Drive routers and switches through their console lines.",
        epilog="exit status: 0 success, 1 failure, 2 usage error, 130 interrupted")
    sub = parser.add_subparsers(dest="subcommand", metavar="SUBCOMMAND")
    common = _Parser(add_help=False)
    common.add_argument("-v", "--verbose", action="store_true",
                        help="show debug lines, and the traceback of a failure")

    demo = sub.add_parser(
        "demo", parents=[common],
        help="connect to simulated devices and show the bring-up (the default)",
        description="Start a simulated device on pseudo-terminals, connect to it through "
                    "its link broker, show the broker's log lines as they happen and a "
                    "summary of what was learned.")
    demo.add_argument("--chassis", choices=CHASSIS + ("all",), default="all",
                      help="which simulated device to connect (default: all, one after "
                           "the other)")
    demo.add_argument("--delay", type=non_negative_seconds, default=0.0,
                      help="the device's response delay in seconds (default 0)")
    demo.add_argument("--no-learn-os", action="store_true",
                      help="give the device's OS instead of learning it")
    demo.set_defaults(func=_cmd_demo, parser=demo)

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
                              "lines and credentials come from the file)")
    connect.add_argument("--line", action="append", metavar="ALIAS[@MEMBER]=COMMAND",
                         help="a console line of a multi-console device (repeat); a stack "
                              "or quad line names its member: ALIAS@MEMBER=COMMAND")
    connect.add_argument("--hostname", help="expected hostname (learned when not given)")
    connect.add_argument("--os", default="generic",
                         help="device OS (default generic: the OS is learned)")
    connect.add_argument("--platform", help="device platform")
    connect.add_argument("--chassis", default="single_rp",
                         choices=("single_rp", "dual_rp", "stack", "quad"),
                         help="chassis type (default single_rp)")
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
    connect.add_argument("--record", metavar="FILE",
                         help="record what every console line sent and received into this "
                              "cassette (secrets replaced by markers); replay it with "
                              "`quorvi sim replay FILE`")
    connect.set_defaults(func=_cmd_connect, parser=connect)

    inventory = sub.add_parser(
        "inventory", help="check an inventory file, or show its devices resolved",
        description="An inventory file describes a lab in YAML: defaults, groups and devices "
                    "with their credentials and lines (see the README).")
    inv_sub = inventory.add_subparsers(dest="action", metavar="ACTION", required=True,
                                       parser_class=_Parser)
    inv_check = inv_sub.add_parser("check", parents=[common],
                                   help="report every problem of the file, one a line "
                                        "(exit 1 when there is one)")
    inv_check.add_argument("file", metavar="FILE")
    inv_show = inv_sub.add_parser("show", parents=[common],
                                  help="print the devices after defaults and groups are "
                                       "applied, secrets masked")
    inv_show.add_argument("file", metavar="FILE")
    inv_show.add_argument("device", metavar="DEVICE", nargs="?", help="only this device")
    inv_show.add_argument("--format", choices=("yaml", "json"), default="yaml",
                          help="output format (default yaml)")
    inv_check.set_defaults(func=_cmd_inventory, parser=inv_check)
    inv_show.set_defaults(func=_cmd_inventory, parser=inv_show)
    inventory.set_defaults(func=_cmd_inventory, parser=inventory)

    plugins = sub.add_parser("plugins", parents=[common],
                             help="print the tree of connection classes",
                             description="Discover the built-in and external plug-ins and "
                                         "print the class registry as a tree.")
    plugins.set_defaults(func=_cmd_plugins, parser=plugins)

    from .fleet.cli import add_parser as add_run_parser

    add_run_parser(sub)

    from .sim.serve import add_arguments as add_serve_arguments

    sim = sub.add_parser("sim", help="simulated devices and console servers",
                         description="Simulated devices for labs without hardware.")
    sim_sub = sim.add_subparsers(dest="sim_command", metavar="SIMCOMMAND", required=True)
    serve = sim_sub.add_parser(
        "serve", help="serve every console of a simulated lab over telnet, one port each",
        description="Serve every console of a simulated lab on its own TCP port (telnet), "
                    "from one process, until SIGINT or SIGTERM; write the lab's inventory.")
    add_serve_arguments(serve)
    serve.set_defaults(func=_cmd_sim_serve, parser=serve)

    from .sim.replaying import add_arguments as add_replay_arguments

    replay = sim_sub.add_parser(
        "replay", help="serve a recorded cassette as a device",
        description="Serve a cassette (quorvi connect --record) as a device: on "
                    "pseudo-terminals (prints the command that opens each line) or, with "
                    "--tcp, on TCP ports. Each line answers what is sent with the recorded "
                    "answer; a line sent that differs from the recording ends the replay "
                    "with an error showing the expected and the received line. Ends when "
                    "every recorded session was played and its client left (status 0), on "
                    "a mismatch (status 1), or on SIGINT/SIGTERM.")
    add_replay_arguments(replay)
    replay.set_defaults(func=_cmd_sim_replay, parser=replay)
    return parser


def parse_args(parser: argparse.ArgumentParser, argv: List[str]) -> argparse.Namespace:
    """Options without a subcommand are the demo's. An unknown option is
    reported with the usage of the subcommand it was given to."""
    if not argv or (argv[0].startswith("-") and argv[0] not in ("-h", "--help")):
        argv = ["demo"] + argv
    args, unknown = parser.parse_known_args(argv)
    if args.subcommand is None:
        parser.error("give a subcommand")
    if unknown:
        args.parser.error("unrecognized arguments: %s" % " ".join(unknown))
    if args.subcommand == "connect" and args.command and args.command[0] == "--":
        args.command = args.command[1:]
    return args


def _hint(exc: BaseException) -> Optional[str]:
    from .core.errors import ConnectionInfraError, OsLearningError, TimeoutError

    if isinstance(exc, OsLearningError):
        return "pass --os (and --platform) to give the device's OS instead of learning it"
    if isinstance(exc, ConnectionInfraError):
        return _classes_hint()
    if isinstance(exc, TimeoutError):
        return "check the console command, --hostname and the credentials, or raise --timeout"
    return None


def _known_secrets(args: argparse.Namespace) -> List[str]:
    """Every secret this command line may have used: options, environment, prompts."""
    given = [getattr(args, option, None) for option in SECRET_ENVIRONMENT]
    given += [os.environ.get(name) for name in SECRET_ENVIRONMENT.values()]
    return [s for s in given + getattr(args, "secrets", []) if s and s != "-"]


def _report(message: str, hint: Optional[str], secrets: Iterable[str]) -> None:
    print(_redact("error: %s" % message, secrets), file=sys.stderr)
    if hint:
        print("hint: %s" % hint, file=sys.stderr)


def main(argv: Optional[List[str]] = None) -> int:
    """Run one `quorvi` command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parse_args(parser, list(sys.argv[1:] if argv is None else argv))
    except SystemExit as exc:  # argparse has printed the usage and the error (or --help)
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    verbose = getattr(args, "verbose", False)
    try:
        return args.func(args)
    except KeyboardInterrupt:
        if verbose:
            traceback.print_exc()
        print("error: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except UsageError as exc:
        args.parser.print_usage(sys.stderr)
        _report("%s %s: %s" % (parser.prog, args.subcommand, exc), exc.hint, _known_secrets(args))
        return EXIT_USAGE
    except Exception as exc:  # every failure ends in one line; -v shows where it came from
        secrets = _known_secrets(args)
        if verbose:
            print(_redact(traceback.format_exc(), secrets), file=sys.stderr, end="")
        message = str(exc) or type(exc).__name__
        if type(exc).__module__ not in ("quorvi.core.errors", "builtins"):
            message = "%s: %s" % (type(exc).__name__, message)
        _report(message, _hint(exc), secrets)
        return EXIT_FAILURE
