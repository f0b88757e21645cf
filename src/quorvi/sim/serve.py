"""`quorvi sim serve`: run a simulated console server for a whole lab until
SIGINT or SIGTERM."""
import argparse
import asyncio
import os
import signal
import sys
from typing import Any, Dict, List, Optional

from .lab import CONNECT_MODES, LabError, build_lab, write_inventory


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--devices", type=int, default=0, metavar="N",
                        help="generate N devices named R1..RN (besides those of --lab)")
    parser.add_argument("--mix", default="single=70,dual=20,stack=10",
                        help="chassis kinds of the generated devices by weight, e.g. "
                             "single=70,dual=20,stack=10 (stackN: stacks of N; quad too); "
                             "default %(default)s")
    parser.add_argument("--lab", metavar="FILE",
                        help="lab file (YAML or JSON): devices with their behaviours")
    parser.add_argument("--inventory-out", metavar="FILE",
                        help="write the inventory of the served lab here once listening")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default %(default)s)")
    parser.add_argument("--port-base", type=int, metavar="N",
                        help="first port; the consoles take N, N+1, ... (default: free ports "
                             "the system picks)")
    parser.add_argument("--enable-password", help="every device asks this for 'enable'")
    parser.add_argument("--login", metavar="USER:PASSWORD",
                        help="every device asks for this login first")
    parser.add_argument("--delay", type=float, default=0.0, metavar="SECONDS",
                        help="every device waits this long before answering a line")
    parser.add_argument("--connect", choices=CONNECT_MODES, default="immediate",
                        help="what a port shows on connection: the device at once "
                             "(immediate), nothing until Return (quiet), or \"Press RETURN "
                             "to get started\" (press_return); default %(default)s")


def parser() -> argparse.ArgumentParser:
    result = argparse.ArgumentParser(
        prog="quorvi sim serve",
        description="Serve every console of a simulated lab on its own TCP port (telnet), "
                    "from one process.")
    add_arguments(result)
    return result


def device_defaults(args: argparse.Namespace) -> Dict[str, Any]:
    defaults: Dict[str, Any] = {}
    if args.enable_password:
        defaults["enable_password"] = args.enable_password
    if args.login:
        username, sep, password = args.login.partition(":")
        if not sep or not username:
            raise LabError("--login takes USER:PASSWORD")
        defaults["login"] = {"username": username, "password": password}
    if args.delay:
        defaults["response_delay"] = args.delay
    return defaults


async def serve(args: argparse.Namespace) -> None:
    lab = build_lab(args.lab, args.devices, args.mix, device_defaults(args),
                    {"connect": args.connect})
    from .server import LabServer

    server = LabServer(lab, args.host, args.port_base)
    await server.start()
    try:
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for number in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(number, stop.set)
        ports = [spec.port for spec in lab.ports]
        where = "%s ports %d-%d" % (args.host, min(ports), max(ports))
        if args.inventory_out:
            write_inventory(lab, args.host, args.inventory_out)
            where += "; inventory in %s" % os.path.abspath(args.inventory_out)
        print("serving %s (%s) on %s" % (plural(len(lab.devices), "device"),
                                         plural(len(ports), "console"), where), flush=True)
        if server.client_capacity() < len(ports):
            print("note: the file limit (%d, ulimit -Hn) leaves room for %d clients at once, "
                  "fewer than the %d consoles" % (server.descriptor_limit,
                                                   server.client_capacity(), len(ports)),
                  file=sys.stderr, flush=True)
        await stop.wait()
    finally:
        await server.aclose()


def plural(count: int, noun: str) -> str:
    return "%d %s%s" % (count, noun, "" if count == 1 else "s")


def main(argv: Optional[List[str]] = None) -> int:
    args = parser().parse_args(argv)
    return run(args)


def run(args: argparse.Namespace) -> int:
    try:
        asyncio.run(serve(args))
    except LabError as exc:
        print("error: quorvi sim serve: %s" % exc, file=sys.stderr)
        return 2
    return 0
