import functools
import subprocess
import sys
import textwrap

import pytest

import quorvi.core.classregistry as cr

from .conftest import OrbixConnection as A, OrbixDualConnection as B, TesselConnection as K

TREE = {"orbix": {"cx20": {"data": {"single_rp": {"cls": K, "path": "P3"}}},
                  "data": {"dual_rp": {"cls": A, "path": "P1"},
                           "single_rp": {"cls": B, "path": "P2"}}}}
LINES = [
    "  |__ orbix",
    "    |__ cx20",
    "    |  |__ data",
    "    |    |__ single_rp",
    f"    |      |__ cls = {K}",
    "    |      |__ path = P3",
    "    |__ data",
    "      |__ dual_rp",
    f"      |  |__ cls = {A}",
    "      |  |__ path = P1",
    "      |__ single_rp",
    f"        |__ cls = {B}",
    "        |__ path = P2",
]


class Delegating(cr.ClassRegistry):
    """Overrides print_tree without changing it: every level goes through Python."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def print_tree(self, data, output="plugin"):
        self.calls.append(output)
        return super().print_tree(data, output)


@pytest.fixture(params=["own", "delegating"])
def renderer(request, log):
    return cr.ClassRegistry() if request.param == "own" else Delegating()


def test_example_tree_byte_for_byte(renderer):
    assert renderer.print_tree(TREE) == "\n".join(["plugin"] + LINES)
    assert renderer.print_tree(data=TREE, output="top") == "\n".join(["top"] + LINES)
    if isinstance(renderer, Delegating):  # each node and leaf rendered by its own call
        assert renderer.calls[:3] == ["plugin", "__ orbix", "__ cx20"] and len(renderer.calls) == 2 * 14


def test_repr_is_the_tree_under_a_header(renderer):
    renderer._plugins.update(TREE)
    header = f"plugins ({type(renderer)} at {hex(id(renderer))}) "
    assert repr(renderer) == "\n".join([header] + LINES)


def test_repr_of_registered_classes(registry):
    registry.register_plugin(A, "tessel", "ts5k")
    path = registry.plugins["tessel"]["ts5k"]["data"]["single_rp"]["path"]
    assert repr(registry).split("\n")[1:] == [
        "  |__ tessel", "    |__ ts5k", "      |__ data", "        |__ single_rp",
        f"          |__ cls = {A}", f"          |__ path = {path}"]


class EqualsEmptyMap:
    def __eq__(self, other):
        return other == {}


@pytest.mark.parametrize("data, output, text", [
    ({}, "plugin", ""), (None, "x", ""), ("", "x", ""), (0, "x", ""), (False, "x", ""),
    ([], "x", ""), (EqualsEmptyMap(), "x", ""),
    (5, "lbl", "lbl = 5"), ("v", "plugin", "plugin = v"), (A, "c", f"c = {A}"),
    ({"orbix": {"data": {}}}, "plugin", "plugin\n  |__ orbix\n    |"),
    ({"k": {"cls": A, "path": ""}}, "p", f"p\n  |__ k\n    |__ cls = {A}\n    |"),
    ({"a": "x\ny", "b": "1\n2"}, "p", "p\n  |__ a = x\n  |y\n  |__ b = 1\n  2"),
    ({"single_rp": 1, "dual_rp": 2, "data": 3, "beta": 4, "Zeta": 5}, "p",
     "p\n  |__ Zeta = 5\n  |__ beta = 4\n  |__ data = 3\n  |__ dual_rp = 2\n  |__ single_rp = 1"),
    ({"a\nb": {"c": 1}, "d": {}}, "p", "p\n  |__ a\n  |b\n  |  |__ c = 1\n  |"),
])
def test_rendering_rules(renderer, data, output, text):
    assert renderer.print_tree(data, output) == text


def test_empty_registry_has_empty_representation(renderer):
    assert repr(renderer) == ""


@pytest.mark.parametrize("data, error", [
    ({"a": 1, 2: 3}, TypeError),  # keys that cannot be sorted together
    ({5: 1}, TypeError),          # "__ " + a non-string key
])
def test_python_errors_pass_through(renderer, data, error):
    with pytest.raises(error):
        renderer.print_tree(data)


def test_map_containing_itself_raises_recursion_error(registry):
    loop = {}
    loop["again"] = loop
    with pytest.raises(RecursionError):
        registry.print_tree(loop)


def nested(depth):
    tree = node = {}
    for _ in range(depth - 1):
        node["k"] = node = {}
    node["k"] = 1
    return tree


@pytest.mark.parametrize("shim", ["none", "partial"])
def test_nesting_limit_is_the_same_on_every_version(registry, shim):
    if shim == "partial":
        registry.print_tree = functools.partial(cr.ClassRegistry.print_tree, registry)
    limit = min(sys.getrecursionlimit(), 1000)
    assert registry.print_tree(nested(limit)).count("\n") == limit
    with pytest.raises(RecursionError, match="while rendering a tree"):
        registry.print_tree(nested(limit + 1))
    assert registry.print_tree(nested(3)).count("\n") == 3  # the count is back to zero


# A crash would end the test run, so each case runs in an interpreter of
# its own, which must report the RecursionError and exit normally.
SHIMS = {
    "partial": "registry.print_tree = functools.partial(cr.ClassRegistry.print_tree, registry)",
    "lambda": "registry.print_tree = lambda data, output='plugin': "
              "cr.ClassRegistry.print_tree(registry, data, output)",
    "subclass": "registry = type('Sub', (cr.ClassRegistry,), {'print_tree': lambda self, data, output='plugin': "
                "super(type(self), self).print_tree(data, output)})()",
}


@pytest.mark.parametrize("limit", [None, 100_000])
@pytest.mark.parametrize("shim", sorted(SHIMS))
def test_self_containing_tree_through_a_shim_ends_in_recursion_error(shim, limit):
    script = textwrap.dedent("""
        import functools, sys
        import quorvi.core.classregistry as cr
        if {limit!r}:
            sys.setrecursionlimit({limit!r})
        registry = cr.ClassRegistry()
        {shim}
        registry._plugins["loop"] = registry._plugins
        try:
            repr(registry)
        except RecursionError as error:
            print("RecursionError:", error)
        """).format(limit=limit, shim=SHIMS[shim])
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.startswith("RecursionError: maximum recursion depth exceeded")


def test_override_is_called_for_every_node_and_by_repr(log):
    seen = []

    class Upper(cr.ClassRegistry):
        def print_tree(self, data, output="plugin"):
            seen.append(output)
            return super().print_tree(data=data, output=output.upper())

    registry = Upper()
    registry._plugins.update({"orbix": {"data": {"dual_rp": 1}}})
    assert repr(registry).split("\n")[1:] == ["  |__ ORBIX", "    |__ DATA", "      |__ DUAL_RP = 1"]
    assert seen[1:] == ["__ orbix", "__ data", "__ dual_rp"]


def test_instance_patch_of_print_tree_wins(registry):
    registry.print_tree = lambda data, output: f"{output}!{len(data)}"
    registry._plugins["orbix"] = {}
    assert repr(registry) == f"plugins ({cr.ClassRegistry} at {hex(id(registry))}) !1"


def test_direct_rendering_matches_level_by_level_rendering(log):
    class Key(str):
        pass

    tree = {"ascii": {"x": 1}, "\u00e9\nz": {"data": {"\u00fc": "\U0001f600\nline"}},
            Key("sub"): {"k": "", "l": {}}, "\u4e2d": ["list", 1], "big": {str(i): i for i in range(300)}}
    own, delegating = cr.ClassRegistry(), Delegating()
    for output in ("top", "top\nlevel", "\u00e9"):
        text = own.print_tree(tree, output)
        assert text == delegating.print_tree(tree, output)
        assert text.count("\n") == 312 + output.count("\n")
