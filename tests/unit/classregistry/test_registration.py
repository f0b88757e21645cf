import pytest

from quorvi.core.errors import ConnectionInfraError

from .conftest import OrbixConnection as A, OrbixDualConnection as B, TesselConnection as K, leaf


def infra_message(call):
    with pytest.raises(ConnectionInfraError) as caught:
        call()
    return caught.value.args


def test_two_chassis_types_share_one_data_map(registry):
    registry.register_plugin(A, "orbix", chassis_type="dual_rp")
    registry.register_plugin(B, "orbix")
    assert registry.plugins == {"orbix": {"data": {"dual_rp": leaf(A), "single_rp": leaf(B)}}}


def test_os_node_holds_data_and_platform_children(registry):
    registry.register_plugin(A, "orbix")
    registry.register_plugin(B, "orbix", "ox900")
    registry.register_plugin(K, "orbix", "ox900", "m1", "quad")
    registry.register_plugin(A, "tessel", "")
    registry.register_plugin(B, "linux", chassis_type="Not-A-Chassis")
    assert registry.plugins == {
        "orbix": {"data": {"single_rp": leaf(A)},
                  "ox900": {"data": {"single_rp": leaf(B)}, "m1": {"data": {"quad": leaf(K)}}}},
        "tessel": {"": {"data": {"single_rp": leaf(A)}}},
        "linux": {"data": {"Not-A-Chassis": leaf(B)}},
    }


@pytest.mark.parametrize("first, second", [(A, B), (B, B)])
def test_replacement_warns_and_last_registration_wins(registry, log, first, second):
    registry.register_plugin(first, "orbix", "ox900")
    assert log.calls == []
    registry.register_plugin(second, "orbix", "ox900")
    assert log.lines("warning") == [
        f" {first.__name__} already registered for ['orbix', 'ox900'], "
        f"{second.__name__} is overriding this class"]
    assert registry.plugins["orbix"]["ox900"]["data"] == {"single_rp": leaf(second)}


def test_warning_uses_the_bare_class_names(registry, log):
    old = type("Old", (), {})
    registry.register_plugin(A, "orbix", "ox20", "m1")
    registry.plugins["orbix"]["ox20"]["m1"]["data"]["single_rp"]["cls"] = old
    registry.register_plugin(A, "orbix", "ox20", "m1")
    assert log.lines("warning") == [
        " Old already registered for ['orbix', 'ox20', 'm1'], OrbixConnection is overriding this class"]


def test_class_without_a_file_fails_after_the_walk(registry):
    with pytest.raises(TypeError):
        registry.register_plugin(int, "orbix", "ox900")
    assert registry.plugins == {"orbix": {"ox900": {}}}


@pytest.mark.parametrize("os, platform, model, chassis", [
    (None, None, None, "single_rp"), ("orbix", "Bad", None, "single_rp"),
    ("orbix", None, None, "bogus"), ("orbix", None, "m1", "single_rp"),
])
def test_failed_validation_changes_nothing(registry, os, platform, model, chassis):
    with pytest.raises(ConnectionInfraError):
        registry.register_plugin(A, os, platform, model, chassis)
    assert registry.plugins == {}


@pytest.mark.parametrize("platform, model, name", [
    ("data", None, "platform"), ("data", "m1", "platform"), ("ox900", "data", "model"),
])
@pytest.mark.parametrize("operation", ["register_plugin", "unregister_plugin", "get_plugin"])
def test_platform_or_model_named_data_is_rejected(registry, operation, platform, model, name):
    registry.register_plugin(A, "orbix", "ox900")
    before = repr(registry.plugins)
    args = (A,) if operation == "register_plugin" else ()
    message = infra_message(lambda: getattr(registry, operation)(*args, "orbix", platform, model))
    assert message == (f"{name} 'data' is reserved for the registry's data map",)
    assert repr(registry.plugins) == before


def test_unregister_one_chassis_type_then_the_rest(registry):
    registry.register_plugin(A, "orbix", chassis_type="dual_rp")
    registry.register_plugin(B, "orbix")
    registry.register_plugin(K, "orbix", "ox900")
    registry.unregister_plugin("orbix", chassis_type="dual_rp")
    assert registry.plugins["orbix"]["data"] == {"single_rp": leaf(B)}
    registry.unregister_plugin("orbix", chassis_type="single_rp")
    assert registry.plugins["orbix"]["data"] == {}
    registry.unregister_plugin("orbix")
    assert registry.plugins == {"orbix": {"ox900": {"data": {"single_rp": leaf(K)}}}}
    assert infra_message(lambda: registry.unregister_plugin("orbix")) == ("Plugin data not found",)


@pytest.mark.parametrize("path, chassis, message", [
    (("tessel",), None, "Plugin data not found"),
    (("orbix", "ox20"), "single_rp", "Plugin data not found"),
    (("orbix", "ox900", "m1"), None, "Plugin data not found"),
    (("orbix", "ox900"), None, "Plugin data not found"),
    (("orbix",), "quad", "Plugin data not found for quad"),
    (("orbix",), "Not Valid!", "Plugin data not found for Not Valid!"),
    (("orbix",), 42, "Plugin data not found for 42"),
])
def test_unregister_failures_change_nothing(registry, path, chassis, message):
    registry.register_plugin(A, "orbix")
    registry.register_plugin(B, "orbix", "ox900", "m2")
    registry.unregister_plugin("orbix", "ox900", "m2")
    before = repr(registry.plugins)
    assert infra_message(lambda: registry.unregister_plugin(*path, chassis_type=chassis)) == (message,)
    assert repr(registry.plugins) == before


def test_values_python_rejects_fail_as_in_python(registry):
    class Unhashable(str):
        __hash__ = None

    with pytest.raises(TypeError, match="unhashable"):
        registry.register_plugin(A, ["orbix"])
    with pytest.raises(TypeError, match="unhashable"):
        registry.register_plugin(A, "orbix", chassis_type=Unhashable("dual_rp"))
