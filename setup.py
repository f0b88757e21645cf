"""Builds the two C++ extension modules into the package `quorvi`."""
import glob
import os
import sysconfig

import pybind11
from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
CXXFLAGS = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden", "-O2"]
EXTRA = os.environ.get("QUORVI_CXXFLAGS", "").split()
LDFLAGS = os.environ.get("QUORVI_LDFLAGS", "").split()
# The C++ runtime is linked in: loading the shared libstdc++ (its symbol
# binding and start-up) cost more than both modules' own import together.
# A sanitizer build keeps the shared one, whose allocation functions the
# preloaded sanitizer runtime replaces.
if not any(flag.startswith("-fsanitize") for flag in EXTRA + LDFLAGS):
    LDFLAGS = ["-static-libstdc++", "-static-libgcc"] + LDFLAGS
# A build with other flags (the sanitizer build) keeps its objects apart, so
# that neither build mistakes the other's modules for up to date.
BUILD_BASE = os.environ.get("QUORVI_BUILD_BASE")


def extension(name, folder):
    sources = sorted(glob.glob(os.path.join("src", folder, "*.cpp")))
    if not sources:
        return None
    depends = sorted(glob.glob(os.path.join("src", folder, "*.hpp"))) + ["src/pyclass.hpp"]
    return Extension(
        name,
        sources=sources,
        depends=depends,
        include_dirs=["src", pybind11.get_include(), sysconfig.get_paths()["include"]],
        language="c++",
        extra_compile_args=CXXFLAGS + EXTRA,
        extra_link_args=LDFLAGS,
    )


modules = [
    extension("quorvi.bases.routers.link_broker", "link_broker"),
    extension("quorvi.core.classregistry", "classregistry"),
]

options = {"build_ext": {"parallel": 2}}  # the two modules side by side
if BUILD_BASE:
    options["build"] = {"build_base": BUILD_BASE}

setup(
    ext_modules=[m for m in modules if m is not None],
    options=options,
)
