"""The `quorvi` command: watch a bring-up on simulated devices, connect to a
real device, check an inventory, run a task on a fleet, serve simulated or
recorded devices, list the connection classes.

A module per command group (`connect`: demo and connect, `inventory`,
`reload`: reload and switchover, `run`, `sim`, `plugins`) adds its parser
and a small function `_cmd_NAME(args) -> int` that turns the parsed
options into a call of the module that does the work; option values are checked while parsing (argparse types), and a
command line that cannot work raises UsageError. `main` is the one place
that turns errors into an `error: ...` line and an exit status:

    0  success
    1  failure: the device or the connection failed, or a command was rejected
    2  usage error: a wrong command line (printed with the subcommand's usage)
    130  interrupted (Ctrl-C)

`-v` adds the traceback of a failure (and debug log lines).

Every line a replay opens runs a process that imports quorvi.cli.sim (and so
this package) for its command line: the command groups are imported when
the parser is built.
"""
import argparse
import os
import sys
from typing import Iterable, List, Optional

from .common import (EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE,  # noqa: F401
                     SECRET_ENVIRONMENT, Parser, UsageError, classes_hint, redact)


def build_parser() -> argparse.ArgumentParser:
    from . import connect, inventory, plugins, reload, run, sim

    parser = Parser(
        prog="quorvi", description="Drive routers and switches through their console lines.",
        epilog="exit status: 0 success, 1 failure, 2 usage error, 130 interrupted")
    sub = parser.add_subparsers(dest="subcommand", metavar="SUBCOMMAND")
    common = Parser(add_help=False)
    common.add_argument("-v", "--verbose", action="store_true",
                        help="show debug lines, and the traceback of a failure")
    connect.add_demo_parser(sub, common)
    connect.add_connect_parser(sub, common)
    inventory.add_parser(sub, common)
    plugins.add_parser(sub, common)
    reload.add_parser(sub, common)
    run.add_parser(sub, common)
    sim.add_parser(sub, common)
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
    from ..core.errors import ConnectionInfraError, OsLearningError, TimeoutError

    if isinstance(exc, OsLearningError):
        return "pass --os (and --platform) to give the device's OS instead of learning it"
    if isinstance(exc, ConnectionInfraError):
        return classes_hint()
    if isinstance(exc, TimeoutError):
        return "check the console command, --hostname and the credentials, or raise --timeout"
    return None


def _known_secrets(args: argparse.Namespace) -> List[str]:
    """Every secret this command line may have used: options, environment, prompts."""
    given = [getattr(args, option, None) for option in SECRET_ENVIRONMENT]
    given += [os.environ.get(name) for name in SECRET_ENVIRONMENT.values()]
    return [s for s in given + getattr(args, "secrets", []) if s and s != "-"]


def _report(message: str, hint: Optional[str], secrets: Iterable[str]) -> None:
    print(redact("error: %s" % message, secrets), file=sys.stderr)
    if hint:
        print("hint: %s" % hint, file=sys.stderr)


def main(argv: Optional[List[str]] = None) -> int:
    """Run one `quorvi` command line; returns the exit status."""
    import traceback

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
            print(redact(traceback.format_exc(), secrets), file=sys.stderr, end="")
        message = str(exc) or type(exc).__name__
        if type(exc).__module__ not in ("quorvi.core.errors", "builtins"):
            message = "%s: %s" % (type(exc).__name__, message)
        _report(message, _hint(exc), secrets)
        return EXIT_FAILURE
