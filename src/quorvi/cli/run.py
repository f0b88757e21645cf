"""`quorvi run`: one task on every device of an inventory. This module parses
and prints; the work is quorvi.fleet's."""
import argparse
import logging
import sys
import time
from typing import Any, Dict, List

from .common import output_file, output_folder, positive_seconds, whole_number

FILTER_KEYS = {"name": "name", "group": "group", "os": "os", "platform": "platform",
               "chassis": "chassis_type", "chassis_type": "chassis_type"}


def add_parser(sub: Any, common: Any = None) -> None:
    run = sub.add_parser(
        "run", help="run one task on every device of an inventory, at once",
        description="Bring up every device of an inventory (or those --filter selects), "
                    "do one task on each, write one JSON result per device and a summary. "
                    "Exit status 0 only when every device succeeded.")
    run.add_argument("--inventory", required=True, metavar="FILE",
                     help="the inventory file (YAML; a .json file holds the same "
                          "structure, read by the same rules)")
    run.add_argument("--filter", action="append", default=[], metavar="KEY=GLOB",
                     help="keep devices whose KEY (name, group, os, platform, chassis) "
                          "matches GLOB; repeat: the same key ORs, different keys AND")
    what = run.add_mutually_exclusive_group(required=True)
    what.add_argument("--execute", nargs="+", action="extend", metavar="CMD",
                      help="commands to run on each device once it is up, in order (repeat "
                           "--execute or give several; a failing command ends the device's "
                           "task, and the outputs before it are kept)")
    what.add_argument("--configure", metavar="FILE",
                      help="configuration lines (one per line) to send to each device")
    what.add_argument("--connect-only", action="store_true", help="bring each device up only")
    what.add_argument("--call", metavar="MODULE:FUNCTION",
                      help="call FUNCTION(device) on each device once it is up; it returns "
                           "JSON-serialisable data")
    what.add_argument("--action", choices=("reload", "switchover"),
                      help="reload or switch over each device once it is up; the result "
                           "carries the report (phases, roles before and after, evidence)")
    run.add_argument("--member", type=int, metavar="N",
                     help="with --action reload: reload stack member (quad chassis) N alone")
    run.add_argument("--save", action="store_true",
                     help="with --action: save a modified configuration when the device asks "
                          "(default: not saved)")
    run.add_argument("--engine", choices=("threads", "dask"), default="threads",
                     help="threads: a thread pool here (default); dask: a local Dask "
                          "cluster of worker processes started for this run")
    run.add_argument("--scheduler", metavar="ADDRESS",
                     help="an existing Dask scheduler (tcp://HOST:PORT); implies --engine dask")
    run.add_argument("--workers", type=whole_number(1), metavar="N",
                     help="threads (thread engine, default 32) or worker processes of the "
                          "local Dask cluster (default 2)")
    run.add_argument("--concurrency", type=whole_number(1), metavar="N",
                     help="at most N devices at once on one console or SSH server")
    run.add_argument("--timeout", type=positive_seconds, metavar="S",
                     help="time limit of each device in seconds, bring-up to teardown")
    run.add_argument("--results", type=output_file, metavar="FILE",
                     help="write the JSON Lines results here (default: stdout)")
    run.add_argument("--logs", type=output_folder, metavar="DIR",
                     help="write a session log per device and line into DIR")
    run.add_argument("--record", type=output_folder, metavar="DIR",
                     help="record each device's console lines into DIR/DEVICE.jsonl, a "
                          "cassette that `quorvi sim replay` serves (secrets masked)")
    run.add_argument("--dashboard", metavar="ADDRESS",
                     help="serve the local Dask cluster's dashboard there (e.g. 127.0.0.1:8787)")
    run.add_argument("-v", "--verbose", action="store_true",
                     help="show the framework's warnings too")
    run.set_defaults(func=command, parser=run)


def _filters(items: List[str]) -> Dict[str, List[str]]:
    filters: Dict[str, List[str]] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or key not in FILTER_KEYS or not value:
            raise ValueError("--filter takes KEY=GLOB with KEY one of name, group, os, "
                             "platform, chassis; got %r" % item)
        filters.setdefault(FILTER_KEYS[key], []).append(value)
    return filters


def _task(args: argparse.Namespace) -> Any:
    from ..fleet.tasks import Task, resolve_function

    if args.execute:
        return Task.execute(*args.execute)
    if args.configure:
        with open(args.configure, encoding="utf-8") as f:
            return Task.configure([line.rstrip("\n") for line in f if line.strip()])
    if args.call:
        resolve_function(args.call)  # a typo shows here, not once per device
        return Task.call(args.call)
    if args.action == "reload":
        return Task.reload(args.member, args.save, args.timeout)
    if args.action == "switchover":
        return Task.switchover(args.save, args.timeout)
    return Task.connect_only()


def _error(text: str) -> int:
    """Each line of `text` (an inventory's problems, one a line) as an error; status 2."""
    sys.stderr.write("".join("error: %s\n" % line for line in text.splitlines()))
    return 2


def command(args: argparse.Namespace) -> int:
    from ..fleet import EngineError, Fleet, ResultsWriter, Summary
    from ..fleet.progress import make_progress

    logging.getLogger("quorvi").setLevel(logging.DEBUG if args.verbose else logging.ERROR)
    try:
        fleet = Fleet.from_inventory(args.inventory).filter(**_filters(args.filter))
    except ImportError as exc:
        return _error("cannot load %s: %s (reading an inventory needs PyYAML: "
                      "scripts/install-deps.sh installs it)" % (args.inventory, exc))
    except OSError as exc:
        return _error("cannot read the inventory %s: %s" % (args.inventory, exc.strerror or exc))
    except ValueError as exc:  # an inventory's problems name the file already
        text = str(exc)
        return _error(text if text.startswith(args.inventory + ":")
                      else "%s: %s" % (args.inventory, text))
    if (args.member is not None and args.action != "reload") or \
            (args.save and not args.action):
        return _error("--member goes with --action reload, --save with --action")
    try:
        task = _task(args)
    except OSError as exc:
        return _error("cannot read %s: %s" % (exc.filename, exc.strerror or exc))
    except (ImportError, AttributeError, ValueError) as exc:
        return _error("--call %s: %s; give an importable MODULE:FUNCTION" % (args.call, exc))
    if not len(fleet):
        if not args.filter:
            return _error("the inventory %s has no devices" % args.inventory)
        return _error("no device of %s matches %s" % (
            args.inventory, " ".join("--filter %s" % item for item in args.filter)))
    try:
        out = open(args.results, "w", encoding="utf-8") if args.results else sys.stdout
    except OSError as exc:
        return _error("cannot write the results: %s" % exc)
    writer, summary = ResultsWriter(out), Summary()
    engine: Dict[str, Any] = {}
    options: Dict[str, Any] = {}
    if args.dashboard:
        options["dashboard"] = args.dashboard
    start = time.monotonic()
    results = fleet.run(task, engine=args.engine, scheduler=args.scheduler, workers=args.workers,
                        concurrency=args.concurrency, timeout=args.timeout, logs=args.logs,
                        record=args.record,
                        on_engine=lambda e: engine.update(e=e), **options)
    progress = make_progress(len(fleet), running=lambda: engine["e"].running() if engine else 0)
    interrupted = False
    try:
        with progress:
            for result in results:
                writer.write(result)
                summary.add(result)
                progress.update(result)
    except KeyboardInterrupt:
        interrupted = True
        try:
            results.close()  # stops the devices in flight and closes their lines
        except KeyboardInterrupt:
            pass
    except EngineError as exc:
        return _error(str(exc))
    finally:
        if out is not sys.stdout:
            out.close()
    sys.stderr.write(summary.render(len(fleet), time.monotonic() - start) + "\n")
    if interrupted:
        sys.stderr.write("interrupted: the devices not finished were stopped and their lines "
                         "closed\n")
        return 130
    return 0 if summary.ok and len(summary.results) == len(fleet) else 1
