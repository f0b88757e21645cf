"""`quorvi sim serve` and `quorvi sim replay`, and the command lines of
`python -m quorvi.sim` (a simulated console or a replayed line on this
terminal, one process per line opened).

The console processes import this module only for what is not their usual
command line, so it imports its heavier modules where they are used."""
import argparse
import sys
from typing import Any, List, Optional, Tuple

from .common import non_negative_seconds, output_file, port_number, whole_number


# -- quorvi sim serve -------------------------------------------------------------
def add_serve_arguments(parser: argparse.ArgumentParser) -> None:
    from ..sim.lab import CONNECT_MODES

    parser.add_argument("--devices", type=whole_number(0), default=0, metavar="N",
                        help="generate N devices named R1..RN (besides those of --lab)")
    parser.add_argument("--mix", default="single=70,dual=20,stack=10",
                        help="chassis kinds of the generated devices by weight, e.g. "
                             "single=70,dual=20,stack=10 (stackN: stacks of N; quad too); "
                             "default %(default)s")
    parser.add_argument("--lab", metavar="FILE",
                        help="lab file (YAML or JSON): devices with their behaviours")
    parser.add_argument("--inventory-out", type=output_file, metavar="FILE",
                        help="write the inventory of the served lab here once listening")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default %(default)s)")
    parser.add_argument("--port-base", type=port_number, metavar="N",
                        help="first port (1 to 65535); the consoles take N, N+1, ... "
                             "(default: free ports the system picks)")
    parser.add_argument("--enable-password", help="every device asks this for 'enable'")
    parser.add_argument("--login", metavar="USER:PASSWORD",
                        help="every device asks for this login first")
    parser.add_argument("--delay", type=non_negative_seconds, default=0.0, metavar="SECONDS",
                        help="every device waits this long before answering a line")
    parser.add_argument("--connect", choices=CONNECT_MODES, default="immediate",
                        help="what a port shows on connection: the device at once "
                             "(immediate), nothing until Return (quiet), or \"Press RETURN "
                             "to get started\" (press_return); default %(default)s")


def device_defaults(args: argparse.Namespace) -> dict:
    """The options every served device takes from the command line."""
    from ..sim.lab import LabError

    defaults: dict = {}
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


def plural(count: int, noun: str) -> str:
    return "%d %s%s" % (count, noun, "" if count == 1 else "s")


async def _serve(args: argparse.Namespace) -> None:
    import asyncio
    import os
    import signal

    from ..sim.lab import build_lab, write_inventory
    from ..sim.console_server import LabServer

    lab = build_lab(args.lab, args.devices, args.mix, device_defaults(args),
                    {"connect": args.connect})
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


def serve(args: argparse.Namespace) -> int:
    """Serve the lab the options describe until SIGINT or SIGTERM."""
    import asyncio

    from ..sim.lab import LabError

    try:
        asyncio.run(_serve(args))
    except LabError as exc:
        for problem in [str(p) for p in exc.problems] or [str(exc)]:
            print("error: quorvi sim serve: %s" % problem, file=sys.stderr)
        return 2
    return 0


def serve_main(argv: Optional[List[str]] = None) -> int:
    """python -m quorvi.sim serve ..."""
    parser = argparse.ArgumentParser(
        prog="quorvi sim serve",
        description="Serve every console of a simulated lab on its own TCP port (telnet), "
                    "from one process.")
    add_serve_arguments(parser)
    return serve(parser.parse_args(argv))


# -- quorvi sim replay ------------------------------------------------------------
def add_replay_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("cassette", metavar="FILE", help="the cassette to replay")
    parser.add_argument("--fast", action="store_true",
                        help="answer at once instead of with the recorded delays")
    parser.add_argument("--relaxed", action="store_true",
                        help="match what is sent by command rather than by position "
                             "(commands may repeat or come in another order)")
    parser.add_argument("--tcp", action="store_true",
                        help="serve the lines on TCP ports (telnet) instead of printing "
                             "the commands that open them on pseudo-terminals")
    parser.add_argument("--host", default="127.0.0.1",
                        help="with --tcp: address to listen on (default %(default)s)")
    parser.add_argument("--port-base", type=port_number, metavar="N",
                        help="with --tcp: first port, 1 to 65535 (default: free ports)")
    parser.add_argument("--inventory-out", type=output_file, metavar="FILE",
                        help="with --tcp: write the replayed device's inventory here")


def _connect_hint(cassette: Any, lines: dict) -> str:
    """The `quorvi connect` command line that connects the replayed device."""
    import shlex

    from .. import chassis

    device = cassette.device
    chassis_type = device.get("chassis_type") or chassis.DEFAULT
    words = ["quorvi", "connect", "--os", str(device.get("os") or "generic"),
             "--chassis", str(chassis_type)]
    if device.get("hostname"):
        words += ["--hostname", device["hostname"]]
    for alias, command in lines.items():
        member = (device.get("lines") or {}).get(alias, {}).get("member")
        at = "@%d" % member if member and chassis.has_members(chassis_type) else ""
        words += ["--line", "%s%s=%s" % (alias, at, command)]
    return " ".join(shlex.quote(w) for w in words)


def _outcome(name: str, mismatches: List[str]) -> int:
    if mismatches:
        for message in mismatches:
            print("error: quorvi sim replay: %s" % message, file=sys.stderr)
        return 1
    print("replay of %s complete" % name, flush=True)
    return 0


def _replay_pty(args: argparse.Namespace, stop: List[bool]) -> int:
    import time

    from ..replay.replayed_device import ReplayedDevice

    with ReplayedDevice(args.cassette, args.fast, args.relaxed) as replay:
        cassette = replay.cassette
        lines = {alias: replay.command(alias, readable=True) for alias in replay.lines}
        print("replaying device %s (%s, %d lines); its lines open with:"
              % (cassette.name, cassette.device.get("chassis_type"), len(lines)))
        for alias, command in lines.items():
            print("  %s: %s" % (alias, command))
        print("for example:\n  %s" % _connect_hint(cassette, lines), flush=True)
        while not stop:
            if replay.mismatches() or (replay.finished() and not replay.console_pids()):
                break
            time.sleep(0.1)
        return _outcome(cassette.name, replay.mismatches()) if not stop else 0


async def _replay_tcp(args: argparse.Namespace) -> int:
    import asyncio
    import os
    import signal

    from ..replay.cassette import load
    from ..replay.replayed_device import ReplayServer, TcpReplay

    changed = asyncio.Event()
    replay = TcpReplay(load(args.cassette), args.fast, args.relaxed, changed.set)
    server = ReplayServer(replay, args.host, args.port_base)
    await server.start()
    interrupted = asyncio.Event()
    loop = asyncio.get_running_loop()

    def interrupt() -> None:
        interrupted.set()
        changed.set()

    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, interrupt)
    try:
        if args.inventory_out:
            from ..sim.lab import write_inventory_file

            write_inventory_file(server.inventory(), args.inventory_out)
        print("replaying device %s (%s) on %s ports %s" % (
            replay.cassette.name, replay.cassette.device.get("chassis_type"), args.host,
            ", ".join("%s=%d" % (s.console, s.port) for s in server.lab.ports)), flush=True)
        while not interrupted.is_set():
            if replay.mismatches:
                break
            if replay.played >= replay.total and not server.connections:
                break
            changed.clear()
            try:
                await asyncio.wait_for(changed.wait(), 0.2)
            except asyncio.TimeoutError:
                pass
    finally:
        await server.aclose()
    return 0 if interrupted.is_set() else _outcome(replay.cassette.name, replay.mismatches)


def replay(args: argparse.Namespace) -> int:
    """Serve a cassette until it is played, a mismatch, or SIGINT/SIGTERM."""
    import asyncio
    import signal

    from ..replay.cassette import CassetteError
    from ..sim.lab import LabError

    stop: List[bool] = []
    if not args.tcp and (args.port_base is not None or args.inventory_out
                         or args.host != "127.0.0.1"):
        print("error: quorvi sim replay: --host, --port-base and --inventory-out serve TCP "
              "ports: add --tcp", file=sys.stderr)
        return 2
    try:
        if args.tcp:
            return asyncio.run(_replay_tcp(args))
        previous = signal.signal(signal.SIGTERM, lambda *a: stop.append(True))
        try:
            return _replay_pty(args, stop)
        except KeyboardInterrupt:
            return 0
        finally:
            signal.signal(signal.SIGTERM, previous)
    except (CassetteError, LabError) as exc:
        print("error: quorvi sim replay: %s" % exc, file=sys.stderr)
        return 2


def replay_main(argv: Optional[List[str]] = None) -> int:
    """python -m quorvi.sim replay ..."""
    parser = argparse.ArgumentParser(prog="quorvi sim replay",
                                     description="Serve a recorded cassette as a device.")
    add_replay_arguments(parser)
    return replay(parser.parse_args(argv))


# -- the `quorvi sim` group ---------------------------------------------------------
def add_parser(sub: Any, common: argparse.ArgumentParser) -> None:
    sim = sub.add_parser("sim", help="simulated devices and console servers",
                         description="Simulated devices for labs without hardware.")
    sim_sub = sim.add_subparsers(dest="sim_command", metavar="SIMCOMMAND", required=True)
    serve_parser = sim_sub.add_parser(
        "serve", help="serve every console of a simulated lab over telnet, one port each",
        description="Serve every console of a simulated lab on its own TCP port (telnet), "
                    "from one process, until SIGINT or SIGTERM; write the lab's inventory.")
    add_serve_arguments(serve_parser)
    serve_parser.set_defaults(func=serve, parser=serve_parser)
    replay_parser = sim_sub.add_parser(
        "replay", help="serve a recorded cassette as a device",
        description="Serve a cassette (quorvi connect --record) as a device: on "
                    "pseudo-terminals (prints the command that opens each line) or, with "
                    "--tcp, on TCP ports. Each line answers what is sent with the recorded "
                    "answer; a line sent that differs from the recording ends the replay "
                    "with an error showing the expected and the received line. Ends when "
                    "every recorded session was played and its client left (status 0), on "
                    "a mismatch (status 1), or on SIGINT/SIGTERM.")
    add_replay_arguments(replay_parser)
    replay_parser.set_defaults(func=replay, parser=replay_parser)


# -- python -m quorvi.sim: one console line per process ------------------------------
def parse_console(argv: List[str]) -> Tuple[str, str]:
    """(device file, console name) of `console --device FILE --console NAME`."""
    parser = argparse.ArgumentParser(prog="python -m quorvi.sim",
                                     description="Simulated router/switch consoles.")
    sub = parser.add_subparsers(dest="action", required=True)
    console = sub.add_parser("console", help="run one console of a device on stdin/stdout")
    console.add_argument("--device", required=True, help="device description (JSON file)")
    console.add_argument("--console", required=True, help="name of the console to run")
    sub.add_parser("serve", help="serve a whole simulated lab over telnet (see serve --help)")
    args = parser.parse_args(argv)
    return args.device, args.console


def replay_console_main(argv: List[str]) -> int:
    """python -m quorvi.sim replay-console ...: one recorded session of a line
    played on this terminal."""
    from ..replay.cassette import CassetteError
    from ..replay.playback import ReplayConsole

    parser = argparse.ArgumentParser(prog="python -m quorvi.sim replay-console",
                                     description="Play one recorded console line on this "
                                                 "terminal.")
    parser.add_argument("--cassette", required=True)
    parser.add_argument("--line", required=True)
    parser.add_argument("--state", required=True, help="folder shared by the device's consoles")
    parser.add_argument("--fast", action="store_true")
    parser.add_argument("--relaxed", action="store_true")
    args = parser.parse_args(argv)
    try:
        console = ReplayConsole(args.cassette, args.line, args.state, args.fast, args.relaxed)
        console.run()
    except CassetteError as exc:
        print("error: %s" % exc, file=sys.stderr)
        return 2
    except (OSError, KeyboardInterrupt):
        pass  # the line went away
    return 0
