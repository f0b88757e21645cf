"""Class registry: lookup, validation, registration and the printable form,
each against a plain-Python baseline measured in the same run.

The registry asks at every call, through the public C API only, whether an
operation is overridden (a getattr on the class per operation, a scan of the
instance dict) and remembers nothing between calls; that fixed cost is why
a lookup may take up to 3 times the bare dict walk."""
from __future__ import annotations

import logging
import sys
from pathlib import Path

import quorvi
import quorvi.core.classregistry as cr
from statistics import median

from harness import CLOCK, Row, at_least, at_most, compare

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from oracle.plain_registry import Floor, PlainRegistry  # noqa: E402  (the tests' model)

GROUP = "registry"
OSES = ["orbix", "tessel", "generic", "linux"] + [f"nos{i:02d}" for i in range(1, 17)]


class OrbixConnection:
    pass


class OrbixDualConnection:
    pass


class TesselConnection:
    pass


def fill(registry, oses: int, platforms: int, models: int, chassis=("single_rp",)) -> None:
    """One class per chassis type at every model node (and, for a realistic
    tree, at every OS node)."""
    names = OSES if oses <= len(OSES) else [f"nos{i:04d}" for i in range(oses)]
    for os_name in names[:oses]:
        for chassis_type in chassis:
            registry.register_plugin(OrbixConnection, os_name, chassis_type=chassis_type)
        for p in range(1, platforms + 1):
            for m in range(1, models + 1):
                for chassis_type in chassis:
                    cls = OrbixDualConnection if chassis_type == "dual_rp" else TesselConnection
                    registry.register_plugin(cls, os_name, f"ox{p}00", f"m{m}", chassis_type)


def leaves_tree(oses: int, platforms: int, models: int) -> cr.ClassRegistry:
    """A registry of oses x platforms x models leaves, nothing at the OS nodes."""
    registry = cr.ClassRegistry()
    names = ["orbix"] + [f"nos{i:04d}" for i in range(1, oses)]
    for os_name in names:
        for p in range(1, platforms + 1):
            for m in range(1, models + 1):
                registry.register_plugin(TesselConnection, os_name, f"ox{p}00", f"m{m}")
    return registry


def ratio_row(figure, pair, baseline, target, unit="ns") -> Row:
    label, check = target
    return Row(GROUP, figure, pair.op, unit, baseline, pair.base, pair.ratio, label,
               check(pair.ratio))


def speedup_row(figure, pair, baseline, target, unit) -> Row:
    label, check = target
    speedup = 1 / pair.ratio
    return Row(GROUP, figure, pair.op, unit, baseline, pair.base, speedup, label,
               check(speedup))


def lookup_rows(repeats: int) -> list[Row]:
    registry = cr.ClassRegistry()
    fill(registry, 20, 10, 5, ("single_rp", "dual_rp"))
    ns = {"registry": registry, "floor": Floor(registry.plugins), "plain": PlainRegistry()}
    ns["plain"]._plugins = registry.plugins
    model = '"orbix", "ox500", "m3", "dual_rp"'
    model_kw = 'os="orbix", platform="ox500", model="m3", chassis_type="dual_rp"'
    os_node = '"orbix", None, None, "dual_rp"'
    assert registry.get_plugin("orbix", "ox500", "m3", "dual_rp") is OrbixDualConnection
    assert registry.get_plugin("orbix", None, None, "dual_rp") is OrbixConnection
    rows = [
        ratio_row("get_plugin to a model node (20x10x5, 2 chassis types)",
                  compare(f"registry.get_plugin({model})", f"floor.get_plugin({model})", ns, repeats),
                  "floor", at_most(3)),
        ratio_row("get_plugin to a model node, by keyword",
                  compare(f"registry.get_plugin({model_kw})", f"floor.get_plugin({model_kw})", ns,
                          repeats),
                  "floor by keyword", at_most(3)),
        ratio_row("get_plugin at an OS node",
                  compare(f"registry.get_plugin({os_node})", f"floor.get_os_plugin({os_node})", ns,
                          repeats),
                  "floor to the OS node", at_most(3)),
        ratio_row("validate_arguments",
                  compare(f"registry.validate_arguments({model})", f"floor.get_plugin({model})", ns,
                          repeats),
                  "floor", at_most(3)),
    ]
    plain = compare(f"plain.get_plugin({model})", f"floor.get_plugin({model})", ns, repeats)
    rows.append(Row(GROUP, "plain-Python get_plugin to a model node (for scale)", plain.op, "ns",
                    "floor", plain.base, plain.ratio, "", None))
    return rows


def flat_lookup_row(repeats: int) -> Row:
    small, large = leaves_tree(1, 10, 10), leaves_tree(1000, 10, 10)
    ns = {"small": small, "large": large}
    pair = compare('large.get_plugin("orbix", "ox500", "m5")',
                   'small.get_plugin("orbix", "ox500", "m5")', ns, repeats)
    return ratio_row("get_plugin in 100,000 leaves", pair, "in 100 leaves", at_most(1.3))


def register_row(repeats: int) -> Row:
    registry, plain = cr.ClassRegistry(), PlainRegistry()
    for r in (registry, plain):
        r.register_plugin(OrbixDualConnection, "orbix", "ox500", "m3", "dual_rp")
    ns = {"registry": registry, "plain": plain, "cls": OrbixDualConnection}
    args = 'cls, "orbix", "ox500", "m3", "dual_rp"'
    pair = compare(f"registry.register_plugin({args})", f"plain.register_plugin({args})", ns, repeats)
    return speedup_row("register_plugin replacing a class (warning to a disabled logger)", pair,
                       "plain Python", at_least(2.5), "ns")


def render_rows(repeats: int) -> list[Row]:
    """The printable form at three sizes and the plain-Python rendering at
    10,000 leaves, all timed in every round, so that the ratios compare
    figures taken side by side."""
    sizes = {"1,000": 10, "10,000": 100, "100,000": 1000}
    registries = {label: leaves_tree(oses, 10, 10) for label, oses in sizes.items()}
    plain = PlainRegistry()
    plain._plugins = registries["10,000"].plugins
    assert repr(plain).split("\n")[1:] == repr(registries["10,000"]).split("\n")[1:]
    runs = {label: (lambda r=registry: repr(r)) for label, registry in registries.items()}
    runs["plain"] = lambda: repr(plain)
    times = {label: [] for label in runs}
    for _ in range(repeats):
        for label, run in runs.items():
            # Small renderings in batches, so that the clock's cost is lost.
            batch = 10 if label == "1,000" else 1
            start = CLOCK()
            for _ in range(batch):
                run()
            times[label].append((CLOCK() - start) / batch)
    per_leaf = {label: [t / (sizes[label] * 100) * 1e9 for t in times[label]] for label in sizes}
    speedups = [p / o for p, o in zip(times["plain"], times["10,000"])]
    # Linear growth: the cost per leaf stays the same from 10,000 to 100,000
    # leaves. (A tree of 1,000 leaves still fits in the processor's caches,
    # so its leaves cost less; that figure is shown beside it.)
    growth = [big / small for big, small in zip(per_leaf["100,000"], per_leaf["10,000"])]
    speedup, grows = median(speedups), median(growth)
    rows = [Row(GROUP, "printable form of 10,000 leaves", median(times["10,000"]) * 1e3, "ms",
                "plain Python", median(times["plain"]) * 1e3, speedup, ">= 5x faster", speedup >= 5)]
    rows += [Row(GROUP, f"printable form of {label} leaves, per leaf", median(per_leaf[label]), "ns")
             for label in sizes]
    rows.append(Row(GROUP, "printable form: cost per leaf at 100,000 leaves", median(per_leaf["100,000"]),
                    "ns", "at 10,000 leaves", median(per_leaf["10,000"]), grows, "<= 1.5x (linear)",
                    grows <= 1.5))
    return rows


def rows(quick: bool) -> list[Row]:
    repeats = 5 if quick else 15
    logger = logging.getLogger(quorvi.log.name)
    was_disabled = logger.disabled
    logger.disabled = True  # warnings and debug lines go nowhere, as in production
    try:
        return (lookup_rows(repeats) + [flat_lookup_row(repeats), register_row(repeats)]
                + render_rows(3 if quick else 7))
    finally:
        logger.disabled = was_disabled
