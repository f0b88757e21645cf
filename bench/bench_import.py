"""Import of the two extension modules, each time in a fresh interpreter.

What the modules must import (pkg_resources, the framework modules, the
standard library) is imported first, outside the timing, so the figure is
the modules' own cost: loading the shared objects and creating the classes.
pkg_resources, which dominates a cold import, is timed on its own. Times
are the importing thread's CPU time, as in the other benchmarks.
"""
from __future__ import annotations

import json
import statistics
import subprocess
import sys

from harness import Row

GROUP = "import"
MODULES = ["quorvi.core.classregistry", "quorvi.bases.routers.link_broker"]

# Prints, in import order, every module that importing MODULES brings in.
FIND_DEPENDENCIES = f"""
import json, sys
before = set(sys.modules)
for name in {MODULES!r}:
    __import__(name)
print(json.dumps([m for m in sys.modules if m not in before and m not in {MODULES!r}]))
"""

# Imports the dependencies, then times each module; reports anything else
# that the modules still imported.
TIME_MODULES = """
import ctypes, json, sys, time, warnings
if sys.argv[3] == "preload":
    ctypes.CDLL("libstdc++.so.6")
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    for name in json.loads(sys.argv[1]):
        try:
            __import__(name)
        except Exception:
            pass
before = set(sys.modules)
took = []
for name in json.loads(sys.argv[2]):
    start = time.thread_time()
    __import__(name)
    took.append(time.thread_time() - start)
extra = [m for m in sys.modules if m not in before and m not in json.loads(sys.argv[2])]
print(json.dumps({"took": took, "extra": extra}))
"""

TIME_ONE = """
import sys, time, warnings
warnings.simplefilter("ignore")
start = time.thread_time()
__import__(sys.argv[1])
print(time.thread_time() - start)
"""


def python(code: str, *args: str) -> str:
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          check=True)
    return done.stdout.strip().splitlines()[-1]


def rows(quick: bool) -> list[Row]:
    repeats = 5 if quick else 15
    dependencies = json.loads(python(FIND_DEPENDENCIES))
    own = {name: [] for name in MODULES}
    preloaded = []
    extra: set[str] = set()
    for _ in range(repeats):
        result = json.loads(python(TIME_MODULES, json.dumps(dependencies), json.dumps(MODULES), "-"))
        for name, took in zip(MODULES, result["took"]):
            own[name].append(took * 1e3)
        extra.update(result["extra"])
        result = json.loads(python(TIME_MODULES, json.dumps(dependencies), json.dumps(MODULES),
                                   "preload"))
        preloaded.append(sum(result["took"]) * 1e3)
    pkg_resources = statistics.median(float(python(TIME_ONE, "pkg_resources")) * 1e3
                                      for _ in range(repeats))
    cold = statistics.median(float(python(TIME_ONE, MODULES[0])) * 1e3 for _ in range(repeats))
    each = {name: statistics.median(times) for name, times in own.items()}
    total = statistics.median(sum(pair) for pair in zip(*own.values()))
    note = f"also imported: {', '.join(sorted(extra))}" if extra else ""
    result = [Row(GROUP, f"import {name}, its own cost", each[name], "ms") for name in MODULES]
    result.append(Row(GROUP, "import of both extension modules, their own cost", total, "ms",
                      target="<= 5 ms", passed=total <= 5, note=note))
    result.append(Row(GROUP, "both, with the shared libstdc++ already loaded (not needed: linked in)",
                      statistics.median(preloaded), "ms"))
    result.append(Row(GROUP, "import pkg_resources alone (fresh interpreter)", pkg_resources, "ms"))
    result.append(Row(GROUP, "import quorvi.core.classregistry, everything included", cold, "ms"))
    return result
