"""python -m quorvi.sim console --device FILE --console NAME"""
import argparse
import signal
import sys
from typing import List, Optional

from .console import Console
from .model import load_device


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvi.sim",
                                     description="Simulated router/switch consoles.")
    sub = parser.add_subparsers(dest="action", required=True)
    console = sub.add_parser("console", help="run one console of a device on stdin/stdout")
    console.add_argument("--device", required=True, help="device description (JSON file)")
    console.add_argument("--console", required=True, help="name of the console to run")
    args = parser.parse_args(argv)

    signal.signal(signal.SIGHUP, signal.SIG_DFL)
    device = load_device(args.device)
    try:
        Console(device, args.device, args.console).run()
    except (OSError, KeyboardInterrupt):
        pass  # the line went away
    return 0


if __name__ == "__main__":
    sys.exit(main())
