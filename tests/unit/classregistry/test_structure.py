import inspect

import pytest

import quorvi
import quorvi.core.classregistry as cr
import quorvi.plugins
from quorvi.core.errors import ConnectionInfraError

OPERATIONS = ["__init__", "plugins", "validate_model", "validate_platform", "validate_os",
              "validate_chassis_type", "validate_arguments", "get_plugin", "unregister_plugin",
              "register_plugin", "discover_builtin_plugins", "discover_external_plugins",
              "print_tree", "__repr__"]


def test_module_binds_its_names_in_load_order():
    bound = [k for k in vars(cr) if not k.startswith("__")]
    assert bound == ["os", "pkgutil", "importlib", "log", "supported_chassis", "supported_os",
                     "getfile", "ConnectionInfraError", "iter_entry_points", "ENTRYPOINT_GROUP",
                     "ClassRegistry"]
    assert cr.log is quorvi.log and cr.getfile is inspect.getfile
    assert cr.supported_os is quorvi.plugins.supported_os
    assert cr.supported_chassis is quorvi.plugins.supported_chassis
    assert cr.ConnectionInfraError is ConnectionInfraError
    assert cr.ENTRYPOINT_GROUP == "quorvi.plugins"


def test_registry_is_an_ordinary_class_with_operations_in_order():
    R = cr.ClassRegistry
    assert type(R) is type and R.__bases__ == (object,)
    assert [k for k in vars(R) if k in OPERATIONS] == OPERATIONS
    assert isinstance(vars(R)["discover_builtin_plugins"], staticmethod)
    assert isinstance(vars(R)["plugins"], property)
    r = R()
    assert r.__dict__ == {"_plugins": {}, "chassis_type_list": quorvi.plugins.supported_chassis,
                          "supported_os": quorvi.plugins.supported_os}
    assert r.chassis_type_list is quorvi.plugins.supported_chassis
    assert r.supported_os is quorvi.plugins.supported_os


@pytest.mark.parametrize("name, params", [
    ("register_plugin", "(cls, os=None, platform=None, model=None, chassis_type='single_rp')"),
    ("unregister_plugin", "(os=None, platform=None, model=None, chassis_type=None)"),
    ("get_plugin", "(os=None, platform=None, model=None, chassis_type='single_rp')"),
    ("validate_arguments", "(os, platform, model, chassis_type)"),
    ("validate_platform", "(os, platform)"),
    ("print_tree", "(data, output='plugin')"),
])
def test_signatures(registry, name, params):
    assert str(inspect.signature(getattr(registry, name))) == params


def test_discovery_operations_accept_no_arguments():
    for call in (lambda R: R.discover_builtin_plugins(1), lambda R: R().discover_external_plugins(group="x")):
        with pytest.raises(TypeError):
            call(cr.ClassRegistry)


def test_plugins_is_the_live_tree_and_refuses_assignment(registry):
    assert registry.plugins is registry.plugins is registry._plugins
    registry.plugins["orbix"] = {}
    assert registry._plugins == {"orbix": {}}
    with pytest.raises(Exception) as caught:
        registry.plugins = {}
    assert type(caught.value) is Exception
    assert caught.value.args == (" Protected Member, cannot modify Plugins",)
    assert registry._plugins == {"orbix": {}}
