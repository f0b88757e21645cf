"""python -m quorvi.sim console --device FILE --console NAME
python -m quorvi.sim serve [options]  (see quorvi.sim.serve)
python -m quorvi.sim replay FILE [options]  (see quorvi.sim.replaying)
python -m quorvi.sim replay-console --cassette FILE --line ALIAS --state DIR  (quorvi.sim.replay)"""
import signal
import sys

from .console import Console
from .model import load_device


def parse(argv):
    """(device file, console name) of `console --device FILE --console NAME`.

    Every line a test opens starts a console process: the usual form is read
    directly; argparse is imported only for anything else (help, errors)."""
    if len(argv) == 5 and argv[0] == "console":
        options = dict(zip(argv[1::2], argv[2::2]))
        if sorted(options) == ["--console", "--device"]:
            return options["--device"], options["--console"]
    import argparse

    parser = argparse.ArgumentParser(prog="python -m quorvi.sim",
                                     description="Simulated router/switch consoles.")
    sub = parser.add_subparsers(dest="action", required=True)
    console = sub.add_parser("console", help="run one console of a device on stdin/stdout")
    console.add_argument("--device", required=True, help="device description (JSON file)")
    console.add_argument("--console", required=True, help="name of the console to run")
    sub.add_parser("serve", help="serve a whole simulated lab over telnet (see serve --help)")
    args = parser.parse_args(argv)
    return args.device, args.console


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["serve"]:
        from .serve import main as serve

        return serve(argv[1:])
    if argv[:1] == ["replay-console"]:
        signal.signal(signal.SIGHUP, signal.SIG_DFL)
        from .replay import main as replay_console

        return replay_console(argv[1:])
    if argv[:1] == ["replay"]:
        from .replaying import main as replay

        return replay(argv[1:])
    device_path, name = parse(argv)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)
    device = load_device(device_path)
    try:
        Console(device, device_path, name).run()
    except (OSError, KeyboardInterrupt):
        pass  # the line went away
    return 0


if __name__ == "__main__":
    sys.exit(main())
