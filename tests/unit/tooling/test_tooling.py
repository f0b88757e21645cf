"""The project's own tooling: the version's one source, the lint grep for
CPython internals, and the test targets of interpreters a machine lacks."""
import importlib.metadata
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import quorvi

ROOT = Path(__file__).resolve().parents[3]


def test_installed_version_is_the_package_version():
    assert importlib.metadata.version("quorvi") == quorvi.__version__


def private_api_pattern():
    text = (ROOT / "scripts" / "lint.sh").read_text()
    return re.search(r"^PRIVATE='(.*)'$", text, re.M).group(1)


@pytest.mark.skipif(shutil.which("grep") is None, reason="needs grep")
@pytest.mark.parametrize("line, flagged", [
    ("PyObject *r = _PyType_Lookup(type, name);", True),
    ("auto v = reinterpret_cast<PyDictObject *>(d)->ma_version_tag;", True),
    ("if (type->tp_version_tag == tag) return;", True),
    ("if (flags & Py_TPFLAGS_VALID_VERSION_TAG) return;", True),
    ("PyObject *n = reinterpret_cast<PyHeapTypeObject *>(t)->ht_name;", True),
    ("Py_hash_t h = reinterpret_cast<PyASCIIObject *>(s)->hash;", True),
    ("Py_ssize_t n = o->ob_refcnt;", True),
    ("PyTypeObject *t = o->ob_type;", True),
    ("const char *n = type->tp_name;", True),
    # The public spellings of the same things pass.
    ("PyTypeObject *t = Py_TYPE(o);", False),
    ("Py_ssize_t n = Py_REFCNT(o);", False),
    ("if (PyType_GetFlags(t) & Py_TPFLAGS_HEAPTYPE) return;", False),
    ("PyObject *d = PyObject_GenericGetDict(o, nullptr);", False),
    ("py::object my_Python_name = py::str(\"x\");", False),
])
def test_lint_flags_cpython_internals_only(tmp_path, line, flagged):
    source = tmp_path / "x.cpp"
    source.write_text(line + "\n")
    found = subprocess.run(["grep", "-qE", "-e", private_api_pattern(), str(source)]).returncode == 0
    assert found is flagged


@pytest.mark.skipif(not (ROOT / "Makefile").exists() or shutil.which("make") is None,
                    reason="needs the source tree and make")
@pytest.mark.parametrize("version", ["39", "312", "313"])
def test_missing_interpreter_skips_its_suite_saying_so(version):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAKE")}
    done = subprocess.run(["make", "-s", "-C", str(ROOT), "test" + version,
                           "PY%s=/nonexistent/python" % version],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    expected = "test%s: SKIPPED: no CPython 3.%s interpreter" % (version, version[1:])
    assert done.stdout.startswith(expected)
