"""The framework finds connection classes through its one class registry."""
import subprocess
import sys

import pytest

from quorvi.core.classregistry import ClassRegistry
from quorvi.core.errors import ConnectionInfraError
from quorvi.device import Device
from quorvi.registry import load_plugins, registry


@pytest.mark.parametrize("os_name", ["generic", "orbix", "tessel"])
@pytest.mark.parametrize("chassis", ["single_rp", "dual_rp", "stack", "quad"])
def test_device_finds_its_class_through_the_registry(os_name, chassis):
    dev = Device("R1", os=os_name, platform="ox900", chassis_type=chassis)
    cls = dev.connection_class()
    assert isinstance(registry, ClassRegistry)
    assert cls is registry.plugins[os_name]["data"][chassis]["cls"]
    assert (cls.os, cls.chassis_type) == (os_name, chassis)
    assert cls.link_broker_class.__module__ == "quorvi.bases.routers.link_broker"


def test_platform_class_is_found_below_its_os_without_back_off():
    load_plugins()
    ts5k = registry.get_plugin("tessel", "ts5k")
    assert ts5k is not registry.get_plugin("tessel") and ts5k.platform == "ts5k"
    assert registry.get_plugin("tessel", "ts5k", "m1") is ts5k
    assert registry.get_plugin("tessel", "ts2k") is registry.get_plugin("tessel")


def test_unknown_os_is_reported_in_the_registry_words():
    dev = Device("R1", os="zephyr")
    with pytest.raises(ConnectionInfraError) as info:
        dev.connection_class()
    assert str(info.value) == "Plugin data not found for (zephyr), type: single_rp "


def test_printable_tree_lists_every_builtin_class():
    load_plugins()
    text = repr(registry)
    assert text.startswith("plugins (<class 'quorvi.core.classregistry.ClassRegistry'> at 0x")
    for name in ("OrbixDualRpConnection", "TesselQuadConnection", "GenericSingleRpConnection",
                 "TesselTs5kSingleRpConnection"):
        assert name in text


def test_importing_the_plugin_package_imports_no_plugin_module():
    code = ("import sys, quorvi.plugins; "
            "print([m for m in sys.modules if m.startswith('quorvi.plugins.')])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_quorvi_plugins_command_prints_the_tree():
    out = subprocess.run([sys.executable, "-m", "quorvi", "plugins"], capture_output=True,
                         text=True, check=True)
    lines = out.stdout.splitlines()
    assert lines[0].startswith("plugins (<class 'quorvi.core.classregistry.ClassRegistry'>")
    assert "  |__ orbix" in lines
    assert ("|__ cls = <class 'quorvi.plugins.orbix.connections.OrbixDualRpConnection'>"
            in out.stdout)


def test_external_plugin_registers_its_class_and_is_printed(tmp_path):
    (tmp_path / "zephyr_plugin.py").write_text(
        "from quorvi.connection import Connection\n"
        "from quorvi.registry import registry\n"
        "class ZephyrConnection(Connection):\n"
        "    os = 'zephyr'\n"
        "registry.register_plugin(ZephyrConnection, os='zephyr')\n")
    dist = tmp_path / "zephyr_plugin-1.0.dist-info"
    dist.mkdir()
    (dist / "METADATA").write_text("Metadata-Version: 2.1\nName: zephyr-plugin\nVersion: 1.0\n")
    (dist / "entry_points.txt").write_text("[quorvi.plugins]\nzephyr = zephyr_plugin\n")
    env = dict(__import__("os").environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, "-m", "quorvi", "plugins"], capture_output=True,
                         text=True, check=True, env=env)
    assert "  |__ zephyr" in out.stdout.splitlines()
    assert "|__ cls = <class 'zephyr_plugin.ZephyrConnection'>" in out.stdout
