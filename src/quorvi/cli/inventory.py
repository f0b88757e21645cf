"""`quorvi inventory check|show`: an inventory file's problems, or its devices
resolved."""
import argparse
from typing import Any

from .common import EXIT_FAILURE, EXIT_OK, Parser, inventory_device, load_inventory


def _cmd_inventory(args: argparse.Namespace) -> int:
    from ..inventory import check, show

    if args.action == "check":
        problems = check(args.file)
        for problem in problems:
            print(problem)
        if not problems:
            print("%s: no problems" % args.file)
        return EXIT_FAILURE if problems else EXIT_OK
    inventory = load_inventory(args.file)
    if inventory is None:
        return EXIT_FAILURE
    if args.device is not None:
        inventory_device(inventory, args.device)
    print(show(inventory, args.device, args.format))
    return EXIT_OK


def add_parser(sub: Any, common: argparse.ArgumentParser) -> None:
    inventory = sub.add_parser(
        "inventory", help="check an inventory file, or show its devices resolved",
        description="An inventory file describes a lab in YAML: defaults, groups and devices "
                    "with their credentials and lines (see the README).")
    inv_sub = inventory.add_subparsers(dest="action", metavar="ACTION", required=True,
                                       parser_class=Parser)
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
