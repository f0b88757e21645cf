"""Fleets: bring up and drive many devices at once, on a thread pool in this
process or on a Dask cluster (see `Fleet`).

Names load on first use, so that `quorvi` starts without this package's
dependencies."""
from typing import Any

_EXPORTS = {
    "Fleet": "fleet", "load_descriptions": "fleet",
    "Task": "tasks", "RunOptions": "tasks", "describe": "tasks", "run_device": "tasks",
    "DeviceResult": "results", "ResultsWriter": "results", "Summary": "results",
    "ThreadEngine": "engines", "DaskEngine": "engines", "EngineError": "engines",
}
__all__ = sorted(_EXPORTS)


def __getattr__(name: str) -> Any:
    if name not in _EXPORTS:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    import importlib

    value = getattr(importlib.import_module("." + _EXPORTS[name], __name__), name)
    globals()[name] = value
    return value
