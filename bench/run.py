"""Runs the benchmarks and prints their table.

Every module bench/bench_*.py is one group of benchmarks: it defines
`rows(quick)` returning a list of `harness.Row`. This runner imports each
in name order (or those named on the command line), prints one table (as
Markdown, so it can be pasted as it is) and writes it to bench/results.json.

    .venv/bin/python bench/run.py                 # every group
    .venv/bin/python bench/run.py registry        # bench_registry.py only
    .venv/bin/python bench/run.py --quick         # fewer repetitions
"""
from __future__ import annotations

import argparse
import importlib
import json
import os
import platform
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import Row  # noqa: E402


def discover(names: list[str]) -> list[Path]:
    found = sorted(HERE.glob("bench_*.py"))
    if not names:
        return found
    wanted = [HERE / f"bench_{n}.py" for n in names]
    missing = [p.name for p in wanted if p not in found]
    if missing:
        raise SystemExit(f"no such benchmark: {', '.join(missing)} (have: "
                         f"{', '.join(p.stem[6:] for p in found)})")
    return wanted


def load(path: Path):
    return importlib.import_module(path.stem)  # bench/ is on sys.path


def number(value: float | None, unit: str = "") -> str:
    if value is None:
        return ""
    text = f"{value:.3g}" if abs(value) < 100 else f"{value:,.0f}"
    return f"{text} {unit}".strip()


def table(rows: list[Row]) -> str:
    head = ["figure", "value", "baseline", "ratio", "target", "result"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        baseline = r.baseline
        if r.baseline_value is not None:
            baseline = f"{baseline}: {number(r.baseline_value, r.unit)}"
        result = {True: "pass", False: "FAIL", None: "info"}[r.passed]
        ratio = "" if r.ratio is None else f"{r.ratio:.2f}"
        cells = [r.figure, number(r.value, r.unit), baseline, ratio, r.target, result]
        lines.append("| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("groups", nargs="*", help="benchmark modules to run (default: all)")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, rougher figures")
    parser.add_argument("--json", default=str(HERE / "results.json"), help="where to write the results")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a figure misses its target")
    args = parser.parse_args(argv)

    started = time.time()
    rows: list[Row] = []
    for path in discover(args.groups):
        print(f"running {path.name} ...", file=sys.stderr, flush=True)
        group_rows = load(path).rows(args.quick)
        rows.extend(group_rows)
    print(table(rows))
    for r in rows:
        if r.note:
            print(f"\n{r.figure}: {r.note}")
    failed = [r for r in rows if r.passed is False]
    print(f"\n{len(rows)} figures, {sum(r.passed is True for r in rows)} pass, "
          f"{len(failed)} fail; {time.time() - started:.0f} s; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    results = {
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "cores": os.cpu_count(),
        "load_average": os.getloadavg()[0],
        "date": time.strftime("%Y-%m-%d %H:%M:%S"),
        "quick": args.quick,
        "rows": [r.as_dict() for r in rows],
    }
    Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    return 1 if args.strict and failed else 0


if __name__ == "__main__":
    sys.exit(main())
