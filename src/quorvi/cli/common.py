"""What every `quorvi` command shares: exit statuses, the usage error, the
parser class, option types, logging with secrets masked, and reading an
inventory file for a command.

The replay console processes import this package for their command line:
it imports logging only where it sets logging up."""
import argparse
import math
import os
import sys
from typing import Any, Callable, Iterable, NoReturn, Optional

from ..core.errors import QuorviError
from ..secrets import mask as redact

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

# Where the secret options are also taken from; "-" as the option's value asks
# for it without echo.
SECRET_ENVIRONMENT = {"password": "QUORVI_PASSWORD", "enable_password": "QUORVI_ENABLE_PASSWORD"}


class UsageError(QuorviError):
    """A command line that cannot work; `hint` says what to give instead."""

    def __init__(self, message: str, hint: Optional[str] = None) -> None:
        super().__init__(message)
        self.hint = hint


class Parser(argparse.ArgumentParser):
    """Usage errors in the same `error: ...` form as every other error."""

    def error(self, message: str) -> "NoReturn":
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, "error: %s: %s\n" % (self.prog, message))


# -- secrets never reach the output (which, and how: quorvi.secrets) --------

def configure_logging(verbose: bool, secrets: Iterable[str] = ()) -> None:
    import logging

    masked = [s for s in secrets if s]

    def redact_secrets(record: logging.LogRecord) -> bool:
        if masked:
            record.msg, record.args = redact(record.getMessage(), masked), None
        return True

    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("%(asctime)s.%(msecs)03d %(name)s %(levelname)s: "
                                           "%(message)s", "%H:%M:%S"))
    handler.addFilter(redact_secrets)
    root = logging.getLogger("quorvi")
    root.handlers[:] = [handler]
    root.setLevel(logging.DEBUG if verbose else logging.INFO)
    root.propagate = False


# -- option types -------------------------------------------------------------
def _seconds(text: str, zero_allowed: bool) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text) from None
    if not math.isfinite(value) or value < 0 or (value == 0 and not zero_allowed):
        raise argparse.ArgumentTypeError("%r: give a finite number of seconds %s"
                                         % (text, "of 0 or more" if zero_allowed else "above 0"))
    return value


def positive_seconds(text: str) -> float:
    return _seconds(text, zero_allowed=False)


def non_negative_seconds(text: str) -> float:
    return _seconds(text, zero_allowed=True)


def whole_number(minimum: int, maximum: Optional[int] = None) -> Callable[[str], int]:
    """An option type: a whole number from `minimum` (to `maximum`)."""
    allowed = "%d to %d" % (minimum, maximum) if maximum is not None else "%d or more" % minimum

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a whole number; give %s"
                                             % (text, allowed)) from None
        if value < minimum or (maximum is not None and value > maximum):
            raise argparse.ArgumentTypeError("%r: give a whole number of %s" % (text, allowed))
        return value

    return parse


port_number = whole_number(1, 65535)


# Output paths are checked while parsing, so that a run never does its work
# and then finds it cannot write where it was told to.
def _folder_problem(path: str) -> Optional[str]:
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return "%r: the folder %s does not exist%s" % (
            path, folder, "" if not os.path.exists(folder) else " (it is a file)")
    if not os.access(folder, os.W_OK | os.X_OK):
        return "%r: the folder %s is not writable" % (path, folder)
    return None


def output_file(path: str) -> str:
    """An option type: a file to write (replaced if it exists), in a folder that exists."""
    if os.path.isdir(path):
        raise argparse.ArgumentTypeError("%r is a folder; give a file name" % path)
    problem = _folder_problem(path)
    if problem:
        raise argparse.ArgumentTypeError(problem)
    return path


def output_folder(path: str) -> str:
    """An option type: a folder to write files into, made if it is missing
    (its parent folder must exist)."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise argparse.ArgumentTypeError("%r is a file; give a folder" % path)
    if not os.path.isdir(path):
        problem = _folder_problem(path)
        if problem:
            raise argparse.ArgumentTypeError(problem)
    elif not os.access(path, os.W_OK | os.X_OK):
        raise argparse.ArgumentTypeError("%r: the folder is not writable" % path)
    return path


# -- what several commands look up ----------------------------------------------
def classes_hint() -> str:
    from ..registry import registry

    return ("OSes with connection classes: %s; `quorvi plugins` shows their platforms and "
            "chassis types" % ", ".join(sorted(registry.plugins)))


def load_inventory(path: str) -> Any:
    """The inventory at `path`, or None once its problems are printed, one a line."""
    from ..inventory import InventoryError, load

    try:
        return load(path)
    except InventoryError as exc:
        for problem in exc.problems:
            print("error: %s" % problem, file=sys.stderr)
        return None


def inventory_device(inventory: Any, name: str) -> Any:
    try:
        return inventory[name]
    except KeyError as exc:
        raise UsageError(exc.args[0], "`quorvi inventory show FILE` lists its devices") from None
