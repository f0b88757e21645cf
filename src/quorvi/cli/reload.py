"""`quorvi reload` and `quorvi switchover`: one device of an inventory is
brought up, reloaded (or switched over, or one member reloaded), and brought
up again; the phases are printed as they happen, the report at the end. The
work is quorvi.reloads'."""
import argparse
from typing import Any

from .common import EXIT_OK, inventory_device, load_inventory, positive_seconds

EPILOG = """\
The call succeeds only when the device proves it rebooted: every line that
should reboot shows a boot and its `show version` says so, the others do not,
and after a switchover another RP is active.

exit status: 0 proven, 1 failure (the device did not reboot, stopped in the
boot loader, took longer than --timeout, or could not be brought up),
2 usage error, 130 interrupted."""


def _print_phase(phase: Any) -> None:
    print("%8.2fs  %s%s" % (phase.at, phase.name, " (line %s)" % phase.line if phase.line
                            else ""), flush=True)


def _cmd(args: argparse.Namespace) -> int:
    from ..reloads import DEFAULT_TIMEOUT, ReloadError, run

    inventory = load_inventory(args.inventory)
    if inventory is None:
        return 1
    device = inventory_device(inventory, args.device).build()
    action = args.subcommand
    if action == "reload" and args.member is not None:
        action = "member_reload"
    try:
        print("connecting %s ..." % device.name, flush=True)
        device.connect()
        try:
            report = run(device, action, args.member, args.timeout or DEFAULT_TIMEOUT,
                         args.save, progress=_print_phase)
        except ReloadError as exc:
            if exc.report is not None:
                print(exc.report.to_json() if args.json else exc.report.summary())
            raise
    finally:
        device.destroy()
    print(report.to_json() if args.json else report.summary())
    return EXIT_OK


def add_parser(sub: Any, common: argparse.ArgumentParser) -> None:
    for name, text in (("reload", "reload a device (or one stack member or quad chassis)"),
                       ("switchover", "switch a device's active RP over to the standby")):
        parser = sub.add_parser(
            name, parents=[common], help=text, epilog=EPILOG,
            formatter_class=argparse.RawDescriptionHelpFormatter,
            description="Connect DEVICE of the inventory file, %s, bring it up again and "
                        "print the phases as they happen and what proves it rebooted." % (
                            text.replace("a device's", "its").replace("a device", "it")))
        parser.add_argument("device", metavar="DEVICE", help="the device's name in the inventory")
        parser.add_argument("--inventory", required=True, metavar="FILE",
                            help="the inventory file")
        if name == "reload":
            parser.add_argument("--member", type=int, metavar="N",
                                help="reload stack member (quad chassis) N alone")
        else:
            parser.set_defaults(member=None)
        parser.add_argument("--timeout", type=positive_seconds, metavar="S",
                            help="time limit of the reload in seconds, command to roles "
                                 "designated (default 600)")
        parser.add_argument("--save", action="store_true",
                            help="save a modified configuration when the device asks "
                                 "(default: not saved)")
        parser.add_argument("--json", action="store_true",
                            help="print the report as JSON instead of text")
        parser.set_defaults(func=_cmd, parser=parser)

