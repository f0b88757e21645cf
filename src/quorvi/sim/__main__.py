"""python -m quorvi.sim console --device FILE --console NAME
python -m quorvi.sim serve [options]  (quorvi sim serve)
python -m quorvi.sim replay FILE [options]  (quorvi sim replay)
python -m quorvi.sim replay-console --cassette FILE --line ALIAS --state DIR  (quorvi.replay.playback)

The command lines are quorvi.cli.sim's; this module only starts the process."""
import signal
import sys

from .console import Console
from .model import load_device


def parse(argv):
    """(device file, console name) of `console --device FILE --console NAME`.

    Every line a test opens starts a console process: the usual form is read
    directly; the command line module is imported only for anything else
    (help, errors)."""
    if len(argv) == 5 and argv[0] == "console":
        options = dict(zip(argv[1::2], argv[2::2]))
        if sorted(options) == ["--console", "--device"]:
            return options["--device"], options["--console"]
    from ..cli.sim import parse_console

    return parse_console(argv)


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["serve"]:
        from ..cli.sim import serve_main

        return serve_main(argv[1:])
    if argv[:1] == ["replay-console"]:
        signal.signal(signal.SIGHUP, signal.SIG_DFL)
        from ..cli.sim import replay_console_main

        return replay_console_main(argv[1:])
    if argv[:1] == ["replay"]:
        from ..cli.sim import replay_main

        return replay_main(argv[1:])
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
