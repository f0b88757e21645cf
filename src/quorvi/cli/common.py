"""What every `quorvi` command shares: exit statuses, the usage error, the
parser class, option types, logging with secrets masked, and reading an
inventory file for a command.

The replay console processes import this package for their command line:
it imports logging only where it sets logging up."""
import argparse
import math
import sys
from typing import Any, Iterable, NoReturn, Optional

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
