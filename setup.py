"""Builds the two C++ extension modules into the package `quorvi`."""
import glob
import os
import sysconfig

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
CXXFLAGS = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden", "-O2"]
EXTRA = os.environ.get("QUORVI_CXXFLAGS", "").split()
# The C++ runtime is linked in: loading the shared libstdc++ (its symbol
# binding and start-up) cost more than both modules' own import together.
LDFLAGS = ["-static-libstdc++", "-static-libgcc"] + os.environ.get("QUORVI_LDFLAGS", "").split()


def extension(name, folder):
    sources = sorted(glob.glob(os.path.join("src", folder, "*.cpp")))
    if not sources:
        return None
    depends = sorted(glob.glob(os.path.join("src", folder, "*.hpp"))) + ["src/pyclass.hpp"]
    return Extension(
        name,
        sources=sources,
        depends=depends,
        include_dirs=["src", sysconfig.get_paths()["include"]],
        language="c++",
        extra_compile_args=CXXFLAGS + EXTRA,
        extra_link_args=LDFLAGS,
    )


modules = [
    extension("quorvi.bases.routers.link_broker", "link_broker"),
    extension("quorvi.core.classregistry", "classregistry"),
]

setup(ext_modules=[m for m in modules if m is not None])
