import json
import os
import subprocess
import sys
import textwrap
import types

import pytest

import quorvi.core.classregistry as cr
import quorvi.plugins

RECORD = "import _discovery_seen\n_discovery_seen.names.append(__name__)\n"
PACKAGE = {
    "__init__.py": "", "common.py": RECORD,
    "orbix/__init__.py": RECORD, "orbix/ox900.py": RECORD, "orbix/mytests.py": RECORD,
    "orbix/tests_util.py": RECORD, "orbix/tests/__init__.py": RECORD,
    "orbix/tests/test_ox900.py": RECORD, "tessel/__init__.py": RECORD, "tessel/ts5k.py": RECORD,
}


def write_tree(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


@pytest.fixture
def seen(monkeypatch):
    record = types.ModuleType("_discovery_seen")
    record.names = []
    monkeypatch.setitem(sys.modules, "_discovery_seen", record)
    before = set(sys.modules)
    yield record.names
    for name in set(sys.modules) - before:
        if name.startswith("quorvi.plugins."):
            del sys.modules[name]


def fake_builtin_package(monkeypatch, root, with_path=True):
    package = types.ModuleType("quorvi.plugins")
    package.__file__ = str(root / "__init__.py")
    if with_path:
        package.__path__ = [str(root)]
    monkeypatch.setitem(sys.modules, "quorvi.plugins", package)
    # Real plug-in modules imported by earlier tests would shadow the fake ones.
    for name in [n for n in sys.modules if n.startswith("quorvi.plugins.")]:
        monkeypatch.delitem(sys.modules, name)
    return package


@pytest.mark.parametrize("broken", [False, True])
def test_builtin_discovery_imports_plugin_modules_but_not_tests(tmp_path, monkeypatch, seen, broken):
    files = dict(PACKAGE)
    if broken:
        files["orbix/ox20.py"] = "raise RuntimeError('broken plug-in')\n"
    write_tree(tmp_path / "pkg", files)
    fake_builtin_package(monkeypatch, tmp_path / "pkg")
    if broken:
        with pytest.raises(RuntimeError, match="broken plug-in"):
            cr.ClassRegistry.discover_builtin_plugins()
        assert seen == ["quorvi.plugins.common", "quorvi.plugins.orbix"]
        return
    assert cr.ClassRegistry.discover_builtin_plugins() is None
    # orbix.tests is imported by the walk itself, to look inside it
    assert seen == ["quorvi.plugins.common", "quorvi.plugins.orbix", "quorvi.plugins.orbix.ox900",
                    "quorvi.plugins.orbix.tests", "quorvi.plugins.orbix.tests_util",
                    "quorvi.plugins.tessel", "quorvi.plugins.tessel.ts5k"]


class Walk:
    def __init__(self, names):
        self.names, self.calls, self.imported = names, [], []

    def walk_packages(self, path, prefix):
        self.calls.append((path, prefix))
        return [(None, name, False) for name in self.names]

    def import_module(self, name):
        self.imported.append(name)


def test_name_filter(monkeypatch):
    names = ["quorvi.plugins.orbix", "quorvi.other.orbix", "quorvi.plugins", "quorvi.plugins.x.tests.y",
             "quorvi.plugins.mytests", "quorvi.plugins.tests", "quorvi.plugins.tests_util",
             "quorvi.plugins.tessel.testsx", "a.plugins.b"]
    walk = Walk(names)
    monkeypatch.setattr(cr, "pkgutil", walk)
    monkeypatch.setattr(cr, "importlib", walk)
    cr.ClassRegistry.discover_builtin_plugins()
    assert walk.calls == [(quorvi.plugins.__path__, "quorvi.plugins.")]
    assert walk.imported == ["quorvi.plugins.orbix", "quorvi.plugins.tests_util",
                             "quorvi.plugins.tessel.testsx", "a.plugins.b"]


def test_package_without_search_path_walks_its_init_directory(tmp_path, monkeypatch):
    fake_builtin_package(monkeypatch, tmp_path / "pkg", with_path=False)
    walk = Walk(["quorvi.plugins.orbix"])
    monkeypatch.setattr(cr, "pkgutil", walk)
    monkeypatch.setattr(cr, "importlib", walk)
    cr.ClassRegistry.discover_builtin_plugins()
    assert walk.calls == [([str(tmp_path / "pkg")], "quorvi.plugins.")]
    assert walk.imported == ["quorvi.plugins.orbix"]


def test_other_errors_reading_the_package_propagate(tmp_path, monkeypatch):
    package = fake_builtin_package(monkeypatch, tmp_path, with_path=False)

    def refuse(name):
        raise RuntimeError(name)

    package.__getattr__ = refuse
    with pytest.raises(RuntimeError, match="__path__"):
        cr.ClassRegistry.discover_builtin_plugins()


class EntryPoint:
    def __init__(self, name, loaded, fail=False):
        self.name, self.module_name, self.loaded, self.fail = name, "ext_" + name, loaded, fail

    def load(self):
        self.loaded.append(self.name)
        if self.fail:
            raise ImportError("cannot load " + self.name)


@pytest.mark.parametrize("names, failing", [([], None), (["orbix", "tessel"], None),
                                            (["orbix", "tessel", "generic"], "tessel")])
def test_external_plugins_log_before_each_load(monkeypatch, log, names, failing):
    loaded, groups = [], []

    def iter_entry_points(*, group):
        groups.append(group)
        return iter([EntryPoint(n, loaded, n == failing) for n in names])

    monkeypatch.setattr(cr, "iter_entry_points", iter_entry_points)
    if failing:
        with pytest.raises(ImportError, match="cannot load tessel"):
            cr.ClassRegistry.discover_external_plugins()
        names = names[:names.index(failing) + 1]
    else:
        cr.ClassRegistry.discover_external_plugins()
    assert groups == ["quorvi.plugins"]
    assert loaded == names
    assert log.lines("debug") == [f"Loading external plugin {n} from ext_{n}" for n in names]


def run_python(code, *args, path=()):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, path)))
    done = subprocess.run([sys.executable, *args, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("block_pkg_resources", [False, True])
def test_external_plugins_from_an_installed_distribution(tmp_path, block_pkg_resources):
    write_tree(tmp_path, {
        "ext_orbix_plugin.py": "class OrbixExtConnection:\n    pass\n",
        "orbix_ext-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: orbix-ext\nVersion: 1.0\n",
        "orbix_ext-1.0.dist-info/entry_points.txt":
            "[quorvi.plugins]\norbix_ext = ext_orbix_plugin:OrbixExtConnection\n"
            "[other.group]\nunrelated = no_such_module:Nothing\n",
    })
    result = run_python(f"""
        import json, sys
        if {block_pkg_resources}:
            sys.modules["pkg_resources"] = None
        import quorvi.core.classregistry as cr
        lines = []
        cr.log = type("Log", (), {{"debug": lambda self, line: lines.append(line)}})()
        cr.ClassRegistry.discover_external_plugins()
        print(json.dumps({{"lines": lines, "imported": "ext_orbix_plugin" in sys.modules,
                          "source": cr.iter_entry_points.__module__}}))
    """, path=[tmp_path])
    assert result["lines"] == ["Loading external plugin orbix_ext from ext_orbix_plugin"]
    assert result["imported"]
    assert result["source"] == ("quorvi.core.classregistry" if block_pkg_resources else "pkg_resources")


def test_pkg_resources_deprecation_warning_is_not_surfaced(tmp_path):
    write_tree(tmp_path, {"pkg_resources/__init__.py": textwrap.dedent("""
        import warnings
        warnings.warn("pkg_resources is deprecated", DeprecationWarning)
        def iter_entry_points(group, name=None):
            return iter(())
    """)})
    result = run_python("""
        import json, warnings
        before = list(warnings.filters)
        import quorvi.core.classregistry as cr
        print(json.dumps({"source": cr.iter_entry_points.__module__,
                          "filters_kept": warnings.filters == before}))
    """, "-W", "error", path=[tmp_path])
    assert result == {"source": "pkg_resources", "filters_kept": True}


def test_any_other_failing_import_fails_the_load():
    result = run_python("""
        import json, sys
        causes = {}
        for name in ["pkgutil", "inspect", "quorvi.plugins", "quorvi.core.errors"]:
            saved = sys.modules.pop(name, None)
            sys.modules[name] = None
            try:
                import quorvi.core.classregistry
            except ImportError as e:
                causes[name] = str(e.__cause__)
            sys.modules[name] = saved
            if saved is None:
                del sys.modules[name]
        print(json.dumps(causes))
    """)
    assert list(result) == ["pkgutil", "inspect", "quorvi.plugins", "quorvi.core.errors"]
    assert all(name in cause for name, cause in result.items())
