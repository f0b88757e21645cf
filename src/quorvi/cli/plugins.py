"""`quorvi plugins`: the tree of connection classes."""
import argparse
from typing import Any

from .common import EXIT_OK


def _cmd_plugins(args: argparse.Namespace) -> int:
    from ..registry import load_plugins, registry

    load_plugins()
    print(repr(registry))
    return EXIT_OK


def add_parser(sub: Any, common: argparse.ArgumentParser) -> None:
    plugins = sub.add_parser("plugins", parents=[common],
                             help="print the tree of connection classes",
                             description="Discover the built-in and external plug-ins and "
                                         "print the class registry as a tree.")
    plugins.set_defaults(func=_cmd_plugins, parser=plugins)
