"""Connection class lookup: the deepest node the description reaches, no back-off."""
import pytest

from quorvi.core.errors import ConnectionInfraError
from quorvi.registry import PluginRegistry, load_plugins, registry


class A: pass
class B: pass
class K: pass


@pytest.fixture
def reg():
    r = PluginRegistry()
    r.register_plugin(A, os="alpha")
    r.register_plugin(B, os="alpha", platform="beta", chassis_type="dual_rp")
    r.register_plugin(K, os="alpha", platform="beta", model="m1")
    return r


@pytest.mark.parametrize("os, platform, model, chassis, expected", [
    ("alpha", None, None, "single_rp", A),
    ("alpha", "gamma", None, "single_rp", A),
    ("alpha", "gamma", "m1", "single_rp", A),
    ("alpha", "beta", None, "dual_rp", B),
    ("alpha", "beta", "m2", "dual_rp", B),
    ("alpha", "beta", "m1", "single_rp", K),
])
def test_get_plugin_takes_the_deepest_node_reached(reg, os, platform, model, chassis, expected):
    assert reg.get_plugin(os=os, platform=platform, model=model, chassis_type=chassis) is expected


@pytest.mark.parametrize("os, platform, model, chassis, message", [
    ("alpha", "beta", None, "single_rp", "Plugin data not found for (alpha/beta), type: single_rp "),
    ("alpha", "beta", "m1", "dual_rp", "Plugin data not found for (alpha/beta/m1), type: dual_rp "),
    ("delta", None, None, "single_rp", "Plugin data not found for (delta), type: single_rp "),
])
def test_get_plugin_never_backs_off_to_a_shallower_node(reg, os, platform, model, chassis, message):
    with pytest.raises(ConnectionInfraError) as info:
        reg.get_plugin(os=os, platform=platform, model=model, chassis_type=chassis)
    assert str(info.value) == message


def test_later_registration_replaces_and_os_is_required(reg):
    reg.register_plugin(B, os="alpha")
    assert reg.get_plugin(os="alpha") is B
    assert reg.plugins["alpha"]["beta"]["data"]["dual_rp"]["cls"] is B
    with pytest.raises(ConnectionInfraError):
        reg.register_plugin(A, os=None)
    with pytest.raises(ConnectionInfraError):
        reg.get_plugin(os="")


@pytest.mark.parametrize("os_name", ["generic", "orbix", "tessel"])
@pytest.mark.parametrize("chassis", ["single_rp", "dual_rp", "stack", "quad"])
def test_builtin_plugins_register_every_chassis_type(os_name, chassis):
    load_plugins()
    cls = registry.get_plugin(os=os_name, platform="ox900", chassis_type=chassis)
    assert (cls.os, cls.chassis_type) == (os_name, chassis)
    assert cls.link_broker_class is not None and cls.state_machine_class is not None


def test_importing_the_plugin_package_imports_no_plugin_module():
    import subprocess, sys
    code = ("import sys, quorvi.plugins; "
            "print([m for m in sys.modules if m.startswith('quorvi.plugins.')])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
