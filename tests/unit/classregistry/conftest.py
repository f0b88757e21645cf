import importlib.util
import inspect
import sys
from pathlib import Path

import pytest

import quorvi.core.classregistry as cr


def load_plain_registry():
    """bench/plain_registry.py, the plain-Python registry that the benchmark
    measures against, is also the model the fuzz tests compare with."""
    path = Path(__file__).resolve().parents[3] / "bench" / "plain_registry.py"
    if "plain_registry" not in sys.modules:
        spec = importlib.util.spec_from_file_location("plain_registry", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        sys.modules["plain_registry"] = module
    return sys.modules["plain_registry"]


plain_registry = load_plain_registry()


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
