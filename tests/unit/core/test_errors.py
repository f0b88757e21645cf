"""QuorviError is the root of the framework's own errors: a caller catches
every one of them by type (also ConnectionError and TimeoutError, whose names
are the builtins')."""
import importlib
import inspect
import pkgutil

import pytest

import quorvi
from quorvi import QuorviError


def bad_inventory(tmp_path):
    from quorvi.inventory import load

    path = tmp_path / "inventory.yaml"
    path.write_text("devices:\n  R1: {os: orbix, lines: {}}\n  R1: {}\n")
    load(str(path))


def missing_cassette(tmp_path):
    from quorvi.replay.cassette import load

    load(str(tmp_path / "none.jsonl"))


def bad_mix(tmp_path):
    from quorvi.sim.lab import parse_mix

    parse_mix("single=x")


def unknown_engine(tmp_path):
    from quorvi.fleet.engines import make_engine

    make_engine("carrier-pigeon")


def bad_line_option(tmp_path):
    from quorvi.cli.connect import _parse_line

    _parse_line("a-line-without-a-command")


def empty_line_command(tmp_path):
    from quorvi.spawn import Spawn

    Spawn("", name="a")


def silent_line(tmp_path):
    from quorvi.spawn import Spawn

    spawn = Spawn("cat", name="a")
    try:
        spawn.expect("a prompt that never comes", timeout=0.05)
    finally:
        spawn.close()


def unknown_chassis_type(tmp_path):
    from quorvi.registry import load_plugins, registry

    load_plugins()
    registry.get_plugin("orbix", None, None, "tower")


@pytest.mark.parametrize("provoke, error", [
    (bad_inventory, "InventoryError"),
    (missing_cassette, "CassetteError"),
    (bad_mix, "LabError"),
    (unknown_engine, "EngineError"),
    (bad_line_option, "UsageError"),
    (empty_line_command, "ConnectionError"),
    (silent_line, "TimeoutError"),
    (unknown_chassis_type, "ConnectionInfraError"),
])
def test_quorvi_error_catches_each_error_the_framework_raises(provoke, error, tmp_path):
    with pytest.raises(QuorviError) as raised:
        provoke(tmp_path)
    assert type(raised.value).__name__ == error
    assert type(raised.value).__module__.startswith("quorvi.")


def _modules():
    for info in pkgutil.walk_packages(quorvi.__path__, "quorvi."):
        if not info.name.endswith("__main__"):
            yield importlib.import_module(info.name)


def test_every_error_type_of_the_package_lives_under_quorvi_error():
    outside = []
    for module in _modules():
        for name, value in vars(module).items():
            if inspect.isclass(value) and issubclass(value, BaseException) and \
                    value.__module__ == module.__name__:
                if not issubclass(value, QuorviError):
                    outside.append("%s.%s" % (module.__name__, name))
    assert outside == []
    assert quorvi.QuorviError is QuorviError
