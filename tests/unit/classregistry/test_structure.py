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


class Key(str):
    pass


def test_operations_bind_like_python_functions(registry):
    R = cr.ClassRegistry
    method = registry.get_plugin
    assert R.get_plugin is R.get_plugin is vars(R)["get_plugin"]
    assert method.__self__ is registry and method.__func__ is vars(R)["get_plugin"]
    assert (R.get_plugin.__name__, R.get_plugin.__qualname__, R.get_plugin.__module__) == (
        "get_plugin", "ClassRegistry.get_plugin", "quorvi.core.classregistry")
    assert R.get_plugin.__doc__ and "ClassRegistry.get_plugin" in repr(R.get_plugin)
    assert str(inspect.signature(R.validate_os)) == "(self, os)"
    # Unbound, any object is a valid self, as for a Python function.
    assert R.validate_model(object(), None, None, "") is None
    assert R.validate_os(registry, os=Key("orbix")) is None
    assert R.validate_os(registry, **{Key("os"): "orbix"}) is None


@pytest.mark.parametrize("call, message", [
    (lambda r: r.validate_os(), "missing required argument: 'os'"),
    (lambda r: r.validate_os("orbix", "extra"), "takes 2 positional arguments but 3 were given"),
    (lambda r: r.validate_os(system="orbix"), "unexpected keyword argument 'system'"),
    (lambda r: r.validate_os("orbix", os="orbix"), "multiple values for argument 'os'"),
    (lambda r: cr.ClassRegistry.validate_os(), "needs an argument"),
])
def test_argument_binding_errors(registry, call, message):
    with pytest.raises(TypeError, match=message):
        call(registry)
