import pytest

from quorvi.core.errors import ConnectionInfraError

from .conftest import OrbixConnection as A, OrbixDualConnection as B, TesselConnection as K


@pytest.fixture
def filled(registry):
    registry.register_plugin(A, "orbix")
    registry.register_plugin(B, "orbix", "ox900", chassis_type="dual_rp")
    registry.register_plugin(K, "orbix", "ox900", "m1")
    return registry


@pytest.mark.parametrize("args, found", [
    (("orbix", None, None, "single_rp"), A),
    (("orbix", "ox20", None, "single_rp"), A),
    (("orbix", "ox20", "m1", "single_rp"), A),
    (("orbix", "ox900", None, "dual_rp"), B),
    (("orbix", "ox900", None, "single_rp"), "(orbix/ox900), type: single_rp "),
    (("orbix", "ox900", "m2", "dual_rp"), B),
    (("orbix", "ox900", "m1", "single_rp"), K),
    (("orbix", "ox900", "m1", "dual_rp"), "(orbix/ox900/m1), type: dual_rp "),
    (("tessel", None, None, "single_rp"), "(tessel), type: single_rp "),
    (("linux", None, None, "no_such_type"), "(linux), type: no_such_type "),
])
def test_deepest_node_reached_answers_without_back_off(filled, args, found):
    if isinstance(found, str):
        with pytest.raises(ConnectionInfraError) as caught:
            filled.get_plugin(*args)
        assert caught.value.args == ("Plugin data not found for " + found,)
    else:
        assert filled.get_plugin(*args) is found


def test_keywords_and_default_chassis_type(filled):
    assert filled.get_plugin(model="m1", platform="ox900", os="orbix") is K
    assert filled.get_plugin("orbix", "ox900", "m7", chassis_type="dual_rp") is B


def test_os_outside_the_builtin_list_is_found_with_a_debug_line(registry, log):
    registry.register_plugin(K, "zorp", chassis_type="quad")
    log.calls.clear()
    assert registry.get_plugin("zorp", chassis_type="quad") is K
    assert log.lines("debug") == ["zorp is not part of the built-in list of supported OSes."]


def test_emptied_data_map_fails_like_no_data(filled):
    filled.unregister_plugin("orbix", "ox900", None, "dual_rp")
    with pytest.raises(ConnectionInfraError) as caught:
        filled.get_plugin("orbix", "ox900", None, "dual_rp")
    assert caught.value.args == ("Plugin data not found for (orbix/ox900), type: dual_rp ",)


def test_validation_failure_propagates(filled):
    with pytest.raises(ConnectionInfraError) as caught:
        filled.get_plugin("orbix", None, "m1")
    assert caught.value.args == ("OS and platform are required for Model: m1",)


@pytest.mark.parametrize("lookup, path", [
    (dict(os=3, chassis_type="dual_rp"), "(3)"),
    (dict(os=4), "(4)"),
    (dict(os=3, platform="ox900", chassis_type="dual_rp"), "(3/ox900)"),
])
def test_a_miss_on_a_path_of_non_strings_ends_in_the_registry_error(registry, lookup, path):
    registry.register_plugin(A, os=3)  # validation accepts an OS of any type
    assert registry.get_plugin(os=3) is A
    with pytest.raises(ConnectionInfraError) as caught:
        registry.get_plugin(**lookup)
    chassis_type = lookup.get("chassis_type", "single_rp")
    assert caught.value.args == (f"Plugin data not found for {path}, type: {chassis_type} ",)
