"""Errors raised by the connection framework, each built from one message."""


class ConnectionError(Exception):  # noqa: A001 - the framework's own name
    """A device cannot be connected, designated or read."""


class TimeoutError(Exception):  # noqa: A001 - the framework's own name
    """A line did not show what was expected within its time limit."""


class ConnectionInfraError(Exception):
    """The connection infrastructure (for instance the class registry) was misused."""


class CommandError(ConnectionError):
    """A device answered a command with an error line."""

    output: str  # the device's whole answer, set where raised
    status: int  # a shell command's exit status, where it has one


class OsLearningError(ConnectionError):
    """No learning command's answer named a known OS; the message says what
    was tried and what the device answered."""


class EnablePasswordError(ConnectionError):
    """The enable password was rejected, or the device asked for one that
    cannot be given; the message names the device and its line."""
