import inspect

import pytest

# The plain-Python registry that the benchmark measures against is also the
# model the fuzz tests compare with.
from oracle import plain_registry  # noqa: F401  (tests/oracle, on the test path)
import quorvi.core.classregistry as cr


class OrbixConnection:
    pass


class OrbixDualConnection:
    pass


class TesselConnection:
    pass


def leaf(cls):
    return {"cls": cls, "path": inspect.getfile(cls)}


class LogRecorder:
    """Stands in for the framework logger: keeps every call as it was made."""

    def __init__(self):
        self.calls = []

    def debug(self, *args, **kwargs):
        self.calls.append(("debug", args, kwargs))

    def warning(self, *args, **kwargs):
        self.calls.append(("warning", args, kwargs))

    def lines(self, level):
        assert all(len(a) == 1 and not k for _, a, k in self.calls), self.calls
        return [a[0] for lvl, a, _ in self.calls if lvl == level]


@pytest.fixture
def log(monkeypatch):
    recorder = LogRecorder()
    monkeypatch.setattr(cr, "log", recorder)
    return recorder


@pytest.fixture
def registry(log):
    return cr.ClassRegistry()
