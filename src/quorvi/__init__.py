"""quorvi: drive routers and switches through their console lines."""

__version__ = "0.1.0"

from .core.errors import QuorviError  # noqa: E402  (the root of the framework's errors)

TYPE_CHECKING = False  # true for type checkers; typing is not imported (see below)
if TYPE_CHECKING:
    import logging

    log: logging.Logger


def __getattr__(name: str):
    # The framework's package logger `log`, made on first use: the simulator's
    # console processes import this package, never log, and start faster
    # without importing logging.
    if name == "log":
        import logging

        global log
        log = logging.getLogger("quorvi")
        return log
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
