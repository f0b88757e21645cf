"""A million registry calls, answered and refused, leave memory flat and
every reference count of what was passed in as it was."""
import pytest

import quorvi
import quorvi.core.classregistry as cr
from quorvi.core.errors import ConnectionInfraError

from ..memory import Flat
from .conftest import OrbixConnection as A, OrbixDualConnection as B


class Boom(Exception):
    pass


class EqRaises:
    def __init__(self):
        self.error = Boom("eq")

    def __eq__(self, other):
        raise self.error

    __hash__ = object.__hash__


class Delegating(cr.ClassRegistry):
    """Validation and rendering go through Python overrides."""

    def validate_os(self, os):
        return super().validate_os(os)

    def print_tree(self, data, output="plugin"):
        return super().print_tree(data, output)


class NoStr(type):
    def __str__(cls):
        raise Boom("class without a string form")


class Unprintable(cr.ClassRegistry, metaclass=NoStr):
    pass


def fresh(text):
    """A str object of its own, not a shared constant."""
    return "".join(list(text))


@pytest.fixture
def quiet(monkeypatch):
    monkeypatch.setattr(cr, "log", quorvi.log)
    monkeypatch.setattr(quorvi.log, "disabled", True)


CALLS_PER_ROUND = 24


@pytest.mark.slow
def test_a_million_calls_leave_memory_and_reference_counts_flat(quiet):
    os, platform, model = fresh("orbix"), fresh("ox900"), fresh("m1")
    dual, single, quad, odd = fresh("dual_rp"), fresh("single_rp"), fresh("quad"), fresh("Nope")
    other, upper, unknown, spare = fresh("ox20"), fresh("M1"), fresh("xyz"), fresh("tmp")
    boom = EqRaises()
    own, delegating, unprintable = cr.ClassRegistry(), Delegating(), Unprintable()
    tree = {fresh("a"): {fresh("data"): {single: {fresh("cls"): A, fresh("path"): fresh("p")}}}}
    for registry in (own, delegating):
        registry.register_plugin(A, os)
        registry.register_plugin(B, os, platform, model, dual)

    def refused(call, *args, error=ConnectionInfraError):
        try:
            call(*args)
        except error as raised:
            raised.__traceback__ = None  # the same Boom is raised again and again
        else:
            raise AssertionError(call)

    def one_round():
        own.get_plugin(os, platform, model, dual)
        own.get_plugin(os, other, model)
        own.get_plugin(os=os, platform=platform, model=model, chassis_type=dual)
        refused(own.get_plugin, os, platform, model, quad)
        refused(own.get_plugin, unknown)
        own.validate_arguments(os, platform, model, dual)
        refused(own.validate_os, None)
        refused(own.validate_model, os, platform, upper)
        refused(own.validate_platform, None, platform)
        refused(own.validate_chassis_type, odd)
        refused(own.validate_os, boom, error=Boom)
        own.register_plugin(B, os, platform, model, dual)
        refused(own.unregister_plugin, os, platform, model, quad)
        own.register_plugin(A, os, spare)
        own.unregister_plugin(os, spare)
        refused(own.unregister_plugin, os, spare)
        own.print_tree(tree)
        repr(own)
        refused(repr, unprintable, error=Boom)
        delegating.get_plugin(os, platform, model, dual)
        refused(delegating.get_plugin, os, platform, model, quad)
        delegating.register_plugin(B, os, platform, model, dual)
        refused(delegating.validate_os, boom, error=Boom)
        repr(delegating)

    watched = [os, platform, model, dual, single, quad, odd, other, upper, unknown, spare, boom,
               boom.error, own, delegating, unprintable, tree, A, B, quorvi.log,
               quorvi.plugins.supported_os, quorvi.plugins.supported_chassis]
    rounds = 1_000_000 // CALLS_PER_ROUND  # warm-up and traced rounds included
    Flat(one_round, watched, warmup=2000, rounds=rounds - 5000, traced=3000).check()


@pytest.fixture
def no_logger(quiet):
    """The module without its logger; afterwards its names are back in the
    order they were bound in."""
    names = list(vars(cr))
    logger = vars(cr).pop("log")
    yield
    vars(cr)["log"] = logger
    for name in names[names.index("log") + 1:]:
        vars(cr)[name] = vars(cr).pop(name)
    assert list(vars(cr)) == names


def test_a_failing_override_warning_leaves_nothing_behind(no_logger):
    """Each replacement logs a warning; with the logger gone from the module
    the warning fails, every time, after its text has been made."""
    registry = cr.ClassRegistry()
    os = fresh("orbix")
    registry.register_plugin(A, os)

    def replace():
        for _ in range(100):
            with pytest.raises(AttributeError):
                registry.register_plugin(B, os)

    Flat(replace, [registry, os, A, B], warmup=20, rounds=400, traced=200).check()
