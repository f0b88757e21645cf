"""Model-based fuzzing of ClassRegistry: random sequences of operations with
arbitrary Python values for every argument, each answer (result, or the
exception's type and message), every log line and the whole tree compared
with the plain-Python model (tests/oracle/plain_registry.py, the benchmark's
baseline) after every step.

The default run is short and derandomized; QUORVI_FUZZ_EXAMPLES=2000 (say)
runs longer.
"""
import copy
import functools
import os
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import quorvi
import quorvi.core.classregistry as cr
import quorvi.plugins

from .conftest import LogRecorder, OrbixConnection, OrbixDualConnection, TesselConnection
from .conftest import plain_registry as model_module

ModelRegistry = model_module.PlainRegistry

EXAMPLES = int(os.environ.get("QUORVI_FUZZ_EXAMPLES", "40"))
FUZZ = settings(max_examples=EXAMPLES, stateful_step_count=30, deadline=None,
                derandomize=True, database=None, suppress_health_check=list(HealthCheck))
MISSING = object()


# ---- argument values that misbehave when asked

class Boom(Exception):
    pass


class Halt(BaseException):
    """Not an ordinary error: nothing may swallow it."""


class Odd:
    """An object with a fixed printable form, whatever else it does."""

    def __repr__(self):
        return f"<{type(self).__name__}>"


class Raising(Odd):
    error_type = Boom

    def __init__(self):
        # One instance per object, so a test can tell that the very same
        # exception came through.
        self.error = self.error_type(type(self).__name__)

    def fail(self, *args):
        raise self.error


class EqRaises(Raising):
    __eq__ = Raising.fail
    __hash__ = object.__hash__


class HashRaises(Raising):
    __hash__ = Raising.fail


class StrRaises(Raising):
    __str__ = Raising.fail


class BoolRaises(Raising):
    __bool__ = Raising.fail


class HaltEq(Raising):
    error_type = Halt
    __eq__ = Raising.fail
    __hash__ = object.__hash__


class HaltBool(Raising):
    error_type = Halt
    __bool__ = Raising.fail


class AlwaysEqual(Odd):
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


class EqualsEmptyMap(Odd):
    def __eq__(self, other):
        return other == {}

    __hash__ = object.__hash__


class ManyLines(Odd):
    def __str__(self):
        return "first\nsecond\n"


class Label(str):
    pass


class GivesLabel(Odd):
    def __str__(self):
        return Label("labelled")


class Picky(str):
    """Lower case by its own account never, digits always."""

    def islower(self):
        return False

    def isdigit(self):
        return True


class StrEqRaises(str):
    def __init__(self, text):
        self.error = Boom("StrEqRaises")

    def __eq__(self, other):
        raise self.error

    __hash__ = str.__hash__


class PosesAsStr(Odd):
    """Passes isinstance(x, str) through its __class__ and is lower case."""

    @property
    def __class__(self):
        return str

    def islower(self):
        return True

    def isdigit(self):
        return False


class SubDict(dict):
    pass


def function():
    pass


ODD_TEXT = ["", "Orbix", "ǅemo", "ǈ", "ß", "ﬁ", "١٢٣", "²³", "١a", "ab1-2c", "12-34", "1234",
            "é\u0301", "Σίσυφος", "\U0001f600x", "a\nb", "data", "DATA", " ",
            "\x00", "\ud800"]


def very_long(text):
    return text * 5000


# Strategies use named functions only: hypothesis describes rules by their
# strategies, and describing a lambda means reading its source.
odd_text = st.one_of(st.sampled_from(ODD_TEXT), st.text(max_size=6),
                     st.sampled_from(["a", "B"]).map(very_long))

misbehaving = st.one_of([st.builds(t) for t in (
    EqRaises, HashRaises, StrRaises, BoolRaises, HaltEq, HaltBool, AlwaysEqual, EqualsEmptyMap,
    ManyLines, GivesLabel, PosesAsStr)])

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2, 2), st.integers(), st.floats(),
    st.binary(max_size=4), st.complex_numbers(max_magnitude=2), odd_text,
    odd_text.map(Label), odd_text.map(Picky), odd_text.map(StrEqRaises),
    st.tuples(st.sampled_from(["orbix", 1, None])), misbehaving,
    st.sampled_from([OrbixConnection, int, function, quorvi, sys.maxsize, float("nan")]),
)
atoms = st.one_of(
    scalars,
    st.lists(st.integers(0, 2), max_size=2),
    st.dictionaries(st.sampled_from(["a", "data"]), st.integers(0, 2), max_size=2),
)


def usual(*values):
    return st.sampled_from(list(values))


def itself(strategy):
    return strategy


def mostly(common, other, weight=4):
    """`common` about `weight` times as often as `other`."""
    return st.sampled_from([common] * weight + [other]).flatmap(itself)


# Mostly the few names that registrations and lookups share, so that they meet.
os_values = mostly(usual("orbix", "linux"),
                   st.one_of(usual("tessel", "generic", "xyz", "data", "Orbix"), atoms))
platform_values = mostly(usual(None, "ox900"),
                         st.one_of(usual("ts5k", "", "data", "Ox20", "1234"), atoms))
model_values = mostly(st.none(), st.one_of(usual("m1", "", "data", "M1", "007"), atoms), weight=2)
chassis_values = mostly(usual("single_rp", "dual_rp"),
                        st.one_of(usual("stack", "quad", "", "SINGLE_RP"), atoms))
classes = mostly(usual(OrbixConnection, OrbixDualConnection, TesselConnection),
                 st.one_of(usual(int, function, quorvi, function.__code__, None,
                                 type("Nowhere", (), {"__module__": "no.such.module"})),
                           atoms))
# Keys of generated maps must hash and compare quietly while they are built.
tree_keys = st.one_of(usual("data", "single_rp", "dual_rp", "beta", "Zeta", "", "a\nb", "ǅ"),
                      odd_text, odd_text.map(Label), st.integers(-2, 2), st.none(), st.booleans(),
                      st.floats(), st.binary(max_size=3), st.tuples(usual("orbix", 1)),
                      st.one_of([st.builds(t) for t in (StrRaises, BoolRaises, HaltBool, AlwaysEqual,
                                                         EqualsEmptyMap, ManyLines, GivesLabel,
                                                         PosesAsStr)]))


def maps_of(children):
    return st.one_of(st.dictionaries(tree_keys, children, max_size=4),
                     st.dictionaries(tree_keys, children, max_size=3).map(SubDict))


trees = st.recursive(st.one_of(scalars, usual(OrbixConnection, "P1", "")), maps_of, max_leaves=16)


def self_containing():
    node = {"loop": None}
    node["loop"] = node
    return node


# Values put into the live tree through `plugins`: each side gets its own
# copy of the same template.
POKES = [functools.partial(copy.deepcopy, template) for template in (
    {}, SubDict(), [], None, 5, "text", "", {"data": {}},
    {"data": {"single_rp": {"cls": OrbixConnection, "path": "p"}}},
    {"data": {"single_rp": {}}}, {"data": {"single_rp": "leaf"}}, {"data": "not a map"},
    {"data": SubDict(dual_rp={"cls": int, "path": ""})}, self_containing())]


# ---- the two registries, in four variants

def variant(base, kind):
    if kind == "own":
        return base

    if kind == "delegating":
        class Delegating(base):
            """Two validators, validate_arguments and print_tree go through Python."""

            def validate_model(self, os, platform, model):
                return super().validate_model(os, platform, model)

            def validate_os(self, os):
                return super().validate_os(os=os)

            def validate_arguments(self, os, platform, model, chassis_type):
                return super().validate_arguments(os, platform, model, chassis_type)

            def print_tree(self, data, output="plugin"):
                return super().print_tree(data, output)
        return Delegating

    class Labelled(base):
        """Renders every level under a str subclass label."""

        def print_tree(self, data, output="plugin"):
            label = Label(output) if type(output) is str else output
            return super().print_tree(data=data, output=label)
    return Labelled


VARIANTS = ["own", "delegating", "labelled", "patched"]


def registry(base, kind, *args):
    """A registry of class `base` in one of the variants; "patched" shadows
    two operations with instance attributes that call the class's own."""
    made = variant(base, "own" if kind == "patched" else kind)(*args)
    if kind == "patched":
        for name in ("validate_chassis_type", "print_tree"):
            setattr(made, name, functools.partial(getattr(base, name), made))
    return made


# ---- comparing answers and trees

def outcome(call):
    try:
        return ("returned", call())
    except BaseException as error:  # noqa: B902 - interrupts are compared like any other error
        error.__traceback__ = None
        return ("raised", error)


def same(a, b, seen=None):
    """Structural sameness: the very same object, or equal plain values, or
    containers of the same type whose items are the same, in the same order."""
    if a is b:
        return True
    if type(a) is not type(b):
        return False
    if type(a) in (str, bytes, int, float, bool, complex):
        return a == b
    seen = set() if seen is None else seen
    if (id(a), id(b)) in seen:
        return True
    seen.add((id(a), id(b)))
    if isinstance(a, dict):
        return len(a) == len(b) and all(
            same(ka, kb, seen) and same(va, vb, seen)
            for (ka, va), (kb, vb) in zip(dict.items(a), dict.items(b)))
    if type(a) in (list, tuple):
        return len(a) == len(b) and all(same(x, y, seen) for x, y in zip(a, b))
    return False


def assert_same_outcome(real, expected, what):
    kind, value = real
    assert not (kind == "raised" and isinstance(value, SystemError)), (what, value)
    assert kind == expected[0], (what, real, expected)
    if kind == "returned":
        assert same(value, expected[1]), (what, value, expected[1])
        return
    assert type(value) is type(expected[1]), (what, value, expected[1])
    if isinstance(value, (Boom, Halt)):
        assert value is expected[1], (what, value, expected[1])
    elif not isinstance(value, RecursionError):  # its message names the place it hit the limit
        assert same(value.args, expected[1].args), (what, value.args, expected[1].args)


def arguments(params, values, style):
    if style == "positional":
        return [v for v in values], {}
    return [], {p: v for p, v in zip(params, values) if v is not MISSING}


class RegistryMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.saved_logs = cr.log, model_module.log
        self.real_log, self.model_log = LogRecorder(), LogRecorder()
        cr.log, model_module.log = self.real_log, self.model_log
        self.real = self.model = None

    def teardown(self):
        cr.log, model_module.log = self.saved_logs

    @initialize(kind=st.sampled_from(VARIANTS))
    def create(self, kind):
        self.real = registry(cr.ClassRegistry, kind)
        self.model = registry(ModelRegistry, kind, quorvi.plugins.supported_os,
                              quorvi.plugins.supported_chassis)
        # A few classes from the start, so that early lookups find something.
        for values in [(OrbixConnection, "orbix", None, None, "single_rp"),
                       (OrbixDualConnection, "orbix", "ox900", None, "dual_rp"),
                       (TesselConnection, "linux", None, None, "single_rp")]:
            self.call("register_plugin", ["cls", "os", "platform", "model", "chassis_type"],
                      list(values), "positional")

    def both(self, what, real_call, model_call):
        real = outcome(real_call)
        expected = outcome(model_call)
        assert_same_outcome(real, expected, what)
        assert self.real_log.calls == self.model_log.calls, what
        self.real_log.calls.clear()
        self.model_log.calls.clear()

    def call(self, name, params, values, style):
        args, kwargs = arguments(params, values, style)
        self.both(name, lambda: getattr(self.real, name)(*args, **kwargs),
                  lambda: getattr(self.model, name)(*args, **kwargs))

    @invariant()
    def trees_agree(self):
        if self.real is not None:
            assert self.real.plugins is self.real._plugins
            assert same(self.real.plugins, self.model.plugins)

    # ---- operations

    style = st.sampled_from(["positional", "keyword"])
    # In keyword style an argument is now and then left out, for its default.
    omitted = st.lists(st.sampled_from([False, False, False, True]), min_size=4, max_size=4)
    described = dict(os=os_values, platform=platform_values, model=model_values, style=style,
                     omit=omitted)

    def described_call(self, name, first, described, style, omit):
        values = first + [MISSING if gone and style == "keyword" else v
                          for v, gone in zip(described, omit)]
        params = ["cls"] * len(first) + ["os", "platform", "model", "chassis_type"]
        self.call(name, params, values, style)

    @rule(cls=classes, chassis_type=chassis_values, **described)
    def register(self, cls, os, platform, model, chassis_type, style, omit):
        self.described_call("register_plugin", [cls], [os, platform, model, chassis_type], style, omit)

    @rule(cls=classes, chassis_type=chassis_values, **described)
    def register_more(self, **kwargs):
        self.register(**kwargs)

    @rule(chassis_type=st.one_of(st.none(), chassis_values), **described)
    def unregister(self, os, platform, model, chassis_type, style, omit):
        self.described_call("unregister_plugin", [], [os, platform, model, chassis_type], style, omit)

    @rule(chassis_type=chassis_values, **described)
    def lookup(self, os, platform, model, chassis_type, style, omit):
        self.described_call("get_plugin", [], [os, platform, model, chassis_type], style, omit)

    @rule(chassis_type=chassis_values, **described)
    def lookup_more(self, **kwargs):
        self.lookup(**kwargs)

    @rule(name=st.sampled_from(["validate_model", "validate_platform", "validate_os",
                                "validate_chassis_type", "validate_arguments"]),
          os=os_values, platform=platform_values, model=model_values, chassis_type=chassis_values,
          style=style)
    def validate(self, name, os, platform, model, chassis_type, style):
        params = {"validate_model": ["os", "platform", "model"],
                  "validate_platform": ["os", "platform"],
                  "validate_os": ["os"],
                  "validate_chassis_type": ["chassis_type"],
                  "validate_arguments": ["os", "platform", "model", "chassis_type"]}[name]
        given = dict(os=os, platform=platform, model=model, chassis_type=chassis_type)
        self.call(name, params, [given[p] for p in params], style)

    @rule(data=trees, output=st.one_of(st.just(MISSING), odd_text, atoms), style=style)
    def render(self, data, output, style):
        style = "keyword" if output is MISSING else style
        self.call("print_tree", ["data", "output"], [data, output], style)

    @rule()
    def printable_form(self):
        self.both("repr", lambda: repr(self.real), lambda: self.model.repr_for(self.real))

    lists = mostly(
        st.one_of(usual(quorvi.plugins.supported_os, quorvi.plugins.supported_chassis),
                  st.lists(usual("orbix", "linux", "single_rp", "dual_rp"), max_size=3),
                  st.lists(usual("orbix", "single_rp")).map(tuple)),
        st.one_of(st.lists(atoms, max_size=3), odd_text, atoms), weight=2)

    @rule(value=lists, which=usual("plugins", "plugins", "supported_os", "chassis_type_list"))
    def assign(self, value, which):
        """Assigning to `plugins` is refused; the two lists may be replaced
        by anything (the registry only reads them, so both sides share it)."""
        def assign(registry):
            setattr(registry, which, value)
        self.both(which + " =", lambda: assign(self.real), lambda: assign(self.model))

    @rule(data=st.data(), key=st.one_of(tree_keys, misbehaving), factory=st.sampled_from(POKES))
    def poke(self, data, key, factory):
        """Change the live tree through `plugins`, as a caller may."""
        nodes = []

        def collect(real, model, depth):
            if depth > 4 or len(nodes) > 50:
                return
            nodes.append((real, model))
            for r, m in zip(dict.values(real), dict.values(model)):
                if isinstance(r, dict) and isinstance(m, dict) and r is not real:
                    collect(r, m, depth + 1)
        collect(self.real.plugins, self.model.plugins, 0)
        real, model = nodes[data.draw(st.integers(0, len(nodes) - 1))]

        def put(node):
            node[key] = factory()
        self.both("poke", lambda: put(real), lambda: put(model))

    @rule(name=st.sampled_from(["validate_model", "validate_platform", "validate_os",
                                "validate_chassis_type", "validate_arguments", "get_plugin",
                                "register_plugin", "unregister_plugin", "print_tree", "__repr__"]),
          owner=st.one_of(atoms, st.builds(types.SimpleNamespace, supported_os=atoms,
                                           chassis_type_list=atoms)),
          arg=os_values)
    def foreign_self(self, name, owner, arg):
        """Operations called on an object that is no registry: the first
        step that fails is the model's."""
        count = {"validate_os": 1, "validate_chassis_type": 1, "validate_platform": 2,
                 "print_tree": 1, "__repr__": 0, "validate_model": 3}.get(name, 4)
        args = [arg] * count
        self.both(name, lambda: getattr(cr.ClassRegistry, name)(owner, *args),
                  lambda: getattr(ModelRegistry, name)(owner, *args))


TestRegistryMachine = RegistryMachine.TestCase
TestRegistryMachine.settings = FUZZ


@FUZZ
@given(data=trees, output=st.one_of(odd_text, atoms), kind=st.sampled_from(VARIANTS))
def test_print_tree_agrees_with_the_model(data, output, kind):
    real = registry(cr.ClassRegistry, kind)
    model = registry(ModelRegistry, kind, [], [])
    assert_same_outcome(outcome(lambda: real.print_tree(data, output)),
                        outcome(lambda: model.print_tree(data, output)), "print_tree")


@pytest.mark.parametrize("kind", VARIANTS)
def test_deep_and_self_containing_trees_end_in_recursion_error(kind):
    real = registry(cr.ClassRegistry, kind)
    with pytest.raises(RecursionError):
        real.print_tree(self_containing())
    deep = {}
    node = deep
    for _ in range(sys.getrecursionlimit() * 2):
        node["k"] = node = {}
    node["k"] = 1
    with pytest.raises(RecursionError):
        real.print_tree(deep)


# ---- faults the fuzzing found, kept as plain cases

class EmptyStrRaises(StrRaises):
    def __bool__(self):
        return False


class ReprRaisesList(list):
    def __init__(self, *args):
        super().__init__(*args)
        self.error = Boom("ReprRaisesList")

    def __repr__(self):
        raise self.error


@pytest.mark.parametrize("kind", VARIANTS)
@pytest.mark.parametrize("tree", [
    {5: {}}, {("orbix",): None}, {5: BoolRaises()}, {"a": {"b": {7: ""}}}])
def test_a_key_that_is_no_str_fails_even_over_an_empty_value(kind, tree):
    """The label "__ " + key is made before the value is looked at."""
    with pytest.raises(TypeError, match="can only concatenate str"):
        registry(cr.ClassRegistry, kind).print_tree(tree)


@pytest.mark.parametrize("kind", VARIANTS)
def test_printable_form_of_the_node_a_failed_registration_leaves(log, kind):
    made = registry(cr.ClassRegistry, kind)
    with pytest.raises(TypeError, match="built-in class"):
        made.register_plugin(int, 5)  # the walk made the node before getfile refused int
    assert made.plugins == {5: {}}
    with pytest.raises(TypeError, match="can only concatenate str"):
        repr(made)


@pytest.mark.parametrize("kind", VARIANTS)
def test_value_line_adds_the_joint_before_asking_for_the_string_form(kind):
    with pytest.raises(TypeError, match="'NoneType' and 'str'"):
        registry(cr.ClassRegistry, kind).print_tree(StrRaises(), None)


@pytest.mark.parametrize("validator, attribute", [
    ("validate_os", "supported_os"), ("validate_chassis_type", "chassis_type_list")])
def test_list_message_shows_the_list_before_the_value(log, validator, attribute):
    made = cr.ClassRegistry()
    setattr(made, attribute, ReprRaisesList(["orbix"]))
    with pytest.raises(Boom) as raised:
        getattr(made, validator)(EmptyStrRaises())
    assert raised.value is getattr(made, attribute).error


@pytest.mark.parametrize("call", [
    lambda: cr.ClassRegistry.__repr__(None),
    lambda: cr.ClassRegistry.print_tree(5, {7: 1}),
    lambda: cr.ClassRegistry.print_tree(5, {"k": 1}),
])
def test_on_a_foreign_object_the_method_is_looked_up_before_its_arguments(call):
    with pytest.raises(AttributeError, match="no attribute 'print_tree'"):
        call()
