"""pyclass.hpp itself, through a small module built from it: every C++
exception a body throws becomes a Python exception, and registrations that
would break an operation are refused."""
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(HERE, "..", "..", "..", "src")


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the probe module")
    out = tmp_path_factory.mktemp("pyclass") / ("pyclass_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [compiler, "-std=c++17", "-O0", "-shared", "-fPIC", "-fvisibility=hidden",
               "-I", SRC, "-I", sysconfig.get_paths()["include"],
               os.path.join(HERE, "probe.cpp"), "-o", str(out)]
    env = dict(os.environ)
    if env.get("QUORVI_SANITIZED"):
        # Checked like the modules themselves; the compiler runs without the
        # sanitizer runtimes preloaded for the tests.
        command[1:1] = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-g"]
        env.pop("LD_PRELOAD", None)
    if shutil.which("ccache"):
        command.insert(0, "ccache")
    subprocess.run(command, check=True, env=env)
    spec = importlib.util.spec_from_file_location("pyclass_probe", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    yield module
    sys.modules.pop("pyclass_probe", None)


@pytest.mark.parametrize("operation, error, message", [
    ("throw_std", SystemError, "probe: std error"),
    ("throw_value", ValueError, "probe: bad value"),
    ("throw_bad_alloc", MemoryError, ""),
    ("throw_int", SystemError, "unknown C++ exception"),
    ("static_throw_int", SystemError, "unknown C++ exception"),
    ("return_nothing", SystemError, "return_nothing() returned no object"),
])
def test_every_cpp_exception_arrives_as_a_python_exception(probe, operation, error, message):
    with pytest.raises(error) as caught:
        getattr(probe.Probe(), operation)()
    assert type(caught.value) is error and str(caught.value) == message
    # The interpreter is left sound: the next call works.
    assert probe.Probe().echo("still fine") == "still fine"


def test_a_body_registered_twice_is_refused_and_the_first_operation_keeps_its_signature(probe):
    assert probe.twice_refused == ("pyclass: the C++ body of first() is registered again, as "
                                   "second(); each operation needs a body of its own")
    assert not hasattr(probe.Probe, "second")
    assert str(inspect.signature(probe.Probe.first)) == "(self, a)"
    with pytest.raises(TypeError, match="unexpected keyword argument 'b'"):
        probe.Probe().first(b=1)


def test_more_than_eight_parameters_are_refused(probe):
    assert probe.nine_refused == "pyclass: nine() has more than 8 parameters"
    assert not hasattr(probe.Probe, "nine")


@pytest.mark.parametrize("call, expected", [
    (lambda p: p.echo(1), 1),
    (lambda p: p.echo(value=2), 2),
    (lambda p: type(p).echo(p, 3), 3),
    (lambda p: p.echo(), "missing required argument: 'value'"),
    (lambda p: p.echo(1, 2), "takes 2 positional arguments but 3 were given"),
    (lambda p: p.echo(1, value=2), "multiple values for argument 'value'"),
    (lambda p: type(p).echo(), "needs an argument"),
])
def test_arguments_bind_as_a_python_function_would(probe, call, expected):
    if isinstance(expected, str):
        with pytest.raises(TypeError, match=expected):
            call(probe.Probe())
    else:
        assert call(probe.Probe()) == expected
