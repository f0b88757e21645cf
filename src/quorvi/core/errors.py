"""Errors raised by the framework, each built from one message.

QuorviError is the root of every error type of the framework's own (here and
beside the code that raises them: InventoryError, CassetteError,
ReplayMismatch, LabError, EngineError, DeviceStopped, the command line's
UsageError), so a caller catches them all by type. ConnectionError and
TimeoutError are the framework's, not the builtins of the same names (nor
their subclasses): catch them as quorvi.core.errors.ConnectionError and
quorvi.core.errors.TimeoutError, or as QuorviError."""


class QuorviError(Exception):
    """An error of the framework's own; its message says what went wrong and
    what to do."""


class ConnectionError(QuorviError):  # noqa: A001 - the framework's own name
    """A device cannot be connected, designated or read."""


class TimeoutError(QuorviError):  # noqa: A001 - the framework's own name
    """A line did not show what was expected within its time limit."""


class ConnectionInfraError(QuorviError):
    """The connection infrastructure (for instance the class registry) was misused."""


class CommandError(ConnectionError):
    """A device answered a command with an error line."""

    output: str  # the device's whole answer, set where raised
    status: int  # a shell command's exit status, where it has one
    question: str  # the question nobody answered, where a command stopped at one


class OsLearningError(ConnectionError):
    """No learning command's answer named a known OS; the message says what
    was tried and what the device answered."""


class EnablePasswordError(ConnectionError):
    """The enable password was rejected, or the device asked for one that
    cannot be given; the message names the device and its line."""
