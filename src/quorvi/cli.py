"""The `quorvi` command: watch a bring-up on simulated devices, connect to a
real device, list the connection classes."""
import argparse
import logging
import shlex
import sys
from typing import List, Optional

CHASSIS = ("single", "dual", "stack", "quad")


def _configure_logging(verbose: bool) -> None:
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("%(asctime)s.%(msecs)03d %(name)s %(levelname)s: "
                                           "%(message)s", "%H:%M:%S"))
    root = logging.getLogger("quorvi")
    root.handlers[:] = [handler]
    root.setLevel(logging.DEBUG if verbose else logging.INFO)
    root.propagate = False


def _cmd_demo(args: argparse.Namespace) -> int:
    from .demo import run_demo

    _configure_logging(args.verbose)
    kinds = CHASSIS if args.chassis == "all" else (args.chassis,)
    failed = 0
    for kind in kinds:
        failed += 0 if run_demo(kind, delay=args.delay, learn_os=not args.no_learn_os) else 1
    return 1 if failed else 0


def _parse_lines(args: argparse.Namespace) -> dict:
    lines = {}
    for item in args.line or []:
        alias, sep, command = item.partition("=")
        if not sep or not alias or not command:
            raise SystemExit("quorvi connect: --line takes ALIAS=COMMAND, got %r" % item)
        lines[alias] = {"command": command}
    if args.command:
        lines.setdefault("a", {"command": " ".join(shlex.quote(a) for a in args.command)})
    if not lines:
        raise SystemExit("quorvi connect: give the command that opens the console line "
                         "(e.g. quorvi connect -- telnet HOST PORT) or --line ALIAS=COMMAND")
    return lines


def _cmd_connect(args: argparse.Namespace) -> int:
    from .demo import connect_and_report

    _configure_logging(args.verbose)
    if args.inventory:
        from .inventory import InventoryError, load

        path, name = args.inventory
        if args.command or args.line:
            raise SystemExit("quorvi connect: --inventory takes the device's lines from the "
                             "file; give no command and no --line with it")
        try:
            device = load(path)[name].build()
        except (InventoryError, KeyError) as exc:
            print(exc.args[0] if isinstance(exc, KeyError) else exc, file=sys.stderr)
            return 1
        return 0 if connect_and_report(device, execute=args.execute, timeout=args.timeout) else 1
    credentials = {}
    if args.enable_password is not None:
        credentials["enable"] = {"password": args.enable_password}
    if args.username is not None:
        credentials["default"] = {"username": args.username, "password": args.password or ""}
    device_kwargs = dict(name=args.hostname or "device", os=args.os, platform=args.platform,
                         chassis_type=args.chassis, hostname=args.hostname,
                         connections=_parse_lines(args), credentials=credentials,
                         learn_os=args.os == "generic", learn_hostname=args.hostname is None)
    return 0 if connect_and_report(device_kwargs, execute=args.execute,
                                   timeout=args.timeout) else 1


def _cmd_inventory(args: argparse.Namespace) -> int:
    from .inventory import InventoryError, check, load, show

    if args.action == "check":
        problems = check(args.file)
        for problem in problems:
            print(problem)
        if not problems:
            print("%s: no problems" % args.file)
        return 1 if problems else 0
    try:
        print(show(load(args.file), args.device, args.format))
    except (InventoryError, KeyError) as exc:
        print(exc.args[0] if isinstance(exc, KeyError) else exc, file=sys.stderr)
        return 1
    return 0


def _cmd_plugins(args: argparse.Namespace) -> int:
    from .registry import load_plugins, registry

    load_plugins()
    print(repr(registry))
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorvi", description="Drive routers and switches through their console lines.")
    sub = parser.add_subparsers(dest="subcommand", metavar="SUBCOMMAND")

    demo = sub.add_parser(
        "demo", help="connect to simulated devices and show the bring-up (the default)",
        description="Start a simulated device on pseudo-terminals, connect to it through "
                    "its link broker, show the broker's log lines as they happen and a "
                    "summary of what was learned.")
    demo.add_argument("--chassis", choices=CHASSIS + ("all",), default="all",
                      help="which simulated device to connect (default: all, one after "
                           "the other)")
    demo.add_argument("--delay", type=float, default=0.0,
                      help="the device's response delay in seconds (default 0)")
    demo.add_argument("--no-learn-os", action="store_true",
                      help="give the device's OS instead of learning it")
    demo.add_argument("-v", "--verbose", action="store_true", help="show debug lines too")
    demo.set_defaults(func=_cmd_demo)

    connect = sub.add_parser(
        "connect", help="connect to a real device through the command that opens its console",
        description="Connect to a real device. The console line is the command that opens "
                    "it, e.g. `quorvi connect --hostname R1 --os orbix -- telnet 10.0.0.5 "
                    "2001`; a device with several consoles takes one --line per console.")
    connect.add_argument("command", nargs=argparse.REMAINDER,
                         help="command that opens the console line (after --)")
    connect.add_argument("--inventory", nargs=2, metavar=("FILE", "DEVICE"),
                         help="connect the device DEVICE of the inventory file FILE")
    connect.add_argument("--line", action="append", metavar="ALIAS=COMMAND",
                         help="a console line of a multi-console device (repeat, in RP or "
                              "member order)")
    connect.add_argument("--hostname", help="expected hostname (learned when not given)")
    connect.add_argument("--os", default="generic",
                         help="device OS (default generic: the OS is learned)")
    connect.add_argument("--platform", help="device platform")
    connect.add_argument("--chassis", default="single_rp",
                         choices=("single_rp", "dual_rp", "stack", "quad"),
                         help="chassis type (default single_rp)")
    connect.add_argument("--enable-password", help="password asked by 'enable'")
    connect.add_argument("--username", help="login user name, when the console asks")
    connect.add_argument("--password", help="login password, when the console asks")
    connect.add_argument("--execute", action="append", metavar="COMMAND",
                         help="run a command once connected and print its output (repeat)")
    connect.add_argument("--timeout", type=float, default=None,
                         help="connection time limit in seconds")
    connect.add_argument("-v", "--verbose", action="store_true", help="show debug lines too")
    connect.set_defaults(func=_cmd_connect)

    inventory = sub.add_parser(
        "inventory", help="check an inventory file, or show its devices resolved",
        description="An inventory file describes a lab in YAML: defaults, groups and devices "
                    "with their credentials and lines (see the README).")
    inv_sub = inventory.add_subparsers(dest="action", metavar="ACTION", required=True)
    inv_check = inv_sub.add_parser("check", help="report every problem of the file (exit 1 "
                                                 "when there is one)")
    inv_check.add_argument("file", metavar="FILE")
    inv_show = inv_sub.add_parser("show", help="print the devices after defaults and groups "
                                               "are applied, secrets masked")
    inv_show.add_argument("file", metavar="FILE")
    inv_show.add_argument("device", metavar="DEVICE", nargs="?", help="only this device")
    inv_show.add_argument("--format", choices=("yaml", "json"), default="yaml",
                          help="output format (default yaml)")
    inventory.set_defaults(func=_cmd_inventory)

    plugins = sub.add_parser("plugins", help="print the tree of connection classes",
                             description="Discover the built-in and external plug-ins and "
                                         "print the class registry as a tree.")
    plugins.set_defaults(func=_cmd_plugins)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.subcommand is None:
        args = parser.parse_args(["demo"] + list(argv if argv is not None else sys.argv[1:]))
    if args.subcommand == "connect" and args.command and args.command[0] == "--":
        args.command = args.command[1:]
    return args.func(args)
