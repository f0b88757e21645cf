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
