import inspect
import sys
import types

import pytest

import quorvi.core.classregistry as cr
from quorvi.core.errors import ConnectionInfraError

from .conftest import OrbixConnection as A

VALIDATORS = ["validate_model", "validate_platform", "validate_os", "validate_chassis_type"]


class Recording(cr.ClassRegistry):
    def __init__(self):
        super().__init__()
        self.calls = []

    def _record(name):
        def validator(self, *args, **kwargs):
            self.calls.append((name, args, list(kwargs.items())))
            return getattr(super(Recording, self), name)(*args, **kwargs)
        return validator

    for _name in VALIDATORS:
        locals()[_name] = _record(_name)
    del _name, _record


@pytest.mark.parametrize("operation, chassis", [
    (lambda r: r.register_plugin(A, "orbix", "ox900", "m1", "dual_rp"), "dual_rp"),
    (lambda r: r.get_plugin("orbix", "ox900", "m1", "dual_rp"), "dual_rp"),
    (lambda r: r.unregister_plugin("orbix", "ox900", "m1", "dual_rp"), "single_rp"),
    (lambda r: r.validate_arguments("orbix", "ox900", "m1", "dual_rp"), "dual_rp"),
])
def test_validators_are_called_through_the_object_by_keyword(log, operation, chassis):
    registry = Recording()
    registry.register_plugin(A, "orbix", "ox900", "m1", "dual_rp")
    registry.calls.clear()
    operation(registry)
    assert registry.calls == [
        ("validate_model", (), [("os", "orbix"), ("platform", "ox900"), ("model", "m1")]),
        ("validate_platform", (), [("platform", "ox900"), ("os", "orbix")]),
        ("validate_os", (), [("os", "orbix")]),
        ("validate_chassis_type", (), [("chassis_type", chassis)]),
    ]


def test_linux_skips_the_chassis_validator(log):
    registry = Recording()
    registry.register_plugin(A, "linux", chassis_type="whatever")
    assert [c[0] for c in registry.calls] == VALIDATORS[:3]


@pytest.mark.parametrize("where", ["subclass", "class", "instance"])
@pytest.mark.parametrize("name", VALIDATORS + ["validate_arguments"])
def test_an_override_or_patch_of_any_validator_wins_everywhere(monkeypatch, log, where, name):
    def refuse(self, *args, **kwargs):
        raise LookupError(name)

    if where == "subclass":
        registry = type("Strict", (cr.ClassRegistry,), {name: refuse})()
    else:
        registry = cr.ClassRegistry()
        if where == "class":
            monkeypatch.setattr(cr.ClassRegistry, name, refuse)
        else:
            setattr(registry, name, refuse.__get__(registry))
    registry._plugins["orbix"] = {"data": {"dual_rp": {"cls": A, "path": "p"}}}
    for call in (lambda: registry.register_plugin(A, "orbix", chassis_type="dual_rp"),
                 lambda: registry.get_plugin("orbix", chassis_type="dual_rp"),
                 lambda: registry.unregister_plugin("orbix", chassis_type="dual_rp")):
        with pytest.raises(LookupError, match=name):
            call()
    assert registry._plugins["orbix"] == {"data": {"dual_rp": {"cls": A, "path": "p"}}}


def test_custom_attribute_access_is_honoured(log):
    class Audited(cr.ClassRegistry):
        def __getattribute__(self, name):
            if name == "validate_os":
                raise LookupError("audited")
            return super().__getattribute__(name)

    with pytest.raises(LookupError, match="audited"):
        Audited().get_plugin("orbix")


def test_module_attributes_are_looked_up_at_call_time(monkeypatch, log):
    class OwnError(Exception):
        pass

    monkeypatch.setattr(cr, "getfile", lambda cls: "where/" + cls.__name__)
    monkeypatch.setattr(cr, "ConnectionInfraError", OwnError)
    monkeypatch.setattr(cr, "supported_chassis", ["solo"])
    monkeypatch.setattr(cr, "supported_os", ["orbix"])
    registry = cr.ClassRegistry()
    assert (registry.chassis_type_list, registry.supported_os) == (["solo"], ["orbix"])
    registry.register_plugin(A, "orbix", chassis_type="solo")
    assert registry.plugins == {"orbix": {"data": {"solo": {"cls": A, "path": "where/OrbixConnection"}}}}
    with pytest.raises(OwnError) as caught:
        registry.get_plugin("orbix")
    assert caught.value.args == ("chassis Type should be one of these ['solo'], but got single_rp",)
    monkeypatch.setattr(cr, "ConnectionInfraError", lambda message: message)
    with pytest.raises(TypeError, match="BaseException"):
        registry.get_plugin("orbix")


def test_framework_errors_pass_through_as_the_same_object(monkeypatch, log):
    error = ConnectionInfraError("from getfile")

    def failing_getfile(cls):
        raise error

    monkeypatch.setattr(cr, "getfile", failing_getfile)
    with pytest.raises(ConnectionInfraError) as caught:
        cr.ClassRegistry().register_plugin(A, "orbix")
    assert caught.value is error


def test_class_attributes_and_properties_of_a_subclass_win(log):
    class Narrow(cr.ClassRegistry):
        chassis_type_list = ["stack"]  # the instance attribute set by __init__ still wins

        @property
        def supported_os(self):
            return ["tessel"]

        @supported_os.setter
        def supported_os(self, value):
            pass

    registry = Narrow()
    registry.register_plugin(A, "orbix")
    assert log.lines("debug") == ["orbix is not part of the built-in list of supported OSes."]
    assert registry.get_plugin("orbix") is A


class Meta(type):
    pass


class WithMeta(metaclass=Meta):
    pass


def module_class(module_name, **module_attrs):
    module = types.ModuleType(module_name)
    module.__dict__.update(module_attrs)
    return module, type("Made", (), {"__module__": module_name})


@pytest.mark.parametrize("case", ["plain", "metaclass", "file via module __getattr__",
                                  "module without a file", "not a module"])
def test_registered_path_is_what_inspect_getfile_answers(monkeypatch, registry, case):
    if case == "plain":
        cls = A
    elif case == "metaclass":
        cls = WithMeta
    else:
        attrs = {"module without a file": {},
                 "file via module __getattr__": {"__getattr__": lambda name: f"/lazy/{name}"}}
        module, cls = module_class("quorvi_fake_plugin", **attrs.get(case, {}))
        if case == "not a module":
            module = types.SimpleNamespace(__file__="/not/a/module.py")
        monkeypatch.setitem(sys.modules, "quorvi_fake_plugin", module)
    try:
        expected = inspect.getfile(cls)
    except TypeError as error:
        with pytest.raises(TypeError, match="built-in class"):
            registry.register_plugin(cls, "orbix")
        assert str(error).endswith("is a built-in class")
        return
    registry.register_plugin(cls, "orbix")
    assert registry.plugins["orbix"]["data"]["single_rp"] == {"cls": cls, "path": expected}


@pytest.mark.parametrize("os", ["orbix", "o'rbix", "o\"r'b", "tab\there", "back\\slash", "\u00fcnix", 5])
def test_override_warning_shows_the_path_as_str_of_a_list(registry, log, os):
    cls = type("Renamed", (), {})
    cls.__name__ = "Shown"
    registry.register_plugin(A, os, "ox900")
    registry.register_plugin(cls, os, "ox900")
    expected = " {} already registered for {}, {} is overriding this class".format(
        "OrbixConnection", [os, "ox900"], "Shown")
    assert log.lines("warning") == [expected]


def test_rendering_inside_a_rendering_has_its_own_buffer(log):
    registry = cr.ClassRegistry()

    class Nested:
        def __str__(self):
            return registry.print_tree({"x": {"y": 1}}, "inner")

    tree = {"k": {"n": Nested(), "z": "after"}}
    from .test_render import Delegating
    assert registry.print_tree(tree) == Delegating().print_tree(tree)
    assert registry.print_tree(tree).endswith("    |__ z = after")
