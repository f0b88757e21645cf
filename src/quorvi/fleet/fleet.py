"""Fleet: a set of devices driven at once.

    fleet = Fleet.from_inventory("lab.yaml").filter(group="core", os="orbix")
    for result in fleet.run(Task.execute("show version"), engine="threads"):
        print(result.name, result.ok)

Devices travel as plain descriptions (dicts of Device keywords plus their
groups); each is built into a Device where it is driven."""
import fnmatch
import json
import uuid
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Union

from .engines import make_engine
from .results import DeviceResult
from .engines import EngineError, ThreadEngine
from .tasks import RunOptions, Task, describe, run_device, servers_of

Patterns = Union[None, str, Sequence[str]]


def _patterns(value: Patterns) -> List[str]:
    if value is None:
        return []
    return [value] if isinstance(value, str) else list(value)


def load_descriptions(path: str) -> List[Dict[str, Any]]:
    """Device descriptions from a JSON file: a list of descriptions, or
    {"devices": [...]}; each a dict of Device keywords plus "groups"."""
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    if isinstance(data, dict):
        data = data.get("devices")
    if not isinstance(data, list):
        raise ValueError("%s: expected a list of device descriptions" % path)
    return data


class Fleet:
    """Devices (Device objects or plain descriptions) to drive together."""

    def __init__(self, devices: Iterable[Any]) -> None:
        self.devices: List[Dict[str, Any]] = [describe(d) for d in devices]
        names = [d["name"] for d in self.devices]
        duplicates = sorted({n for n in names if names.count(n) > 1})
        if duplicates:
            raise ValueError("device name(s) used twice: %s" % ", ".join(duplicates))

    @classmethod
    def from_inventory(cls, path: str) -> "Fleet":
        """The devices of an inventory file (YAML, or the same in JSON), in
        file order, checked as `quorvi inventory check` checks them. Plain
        device descriptions (`load_descriptions`) go to `Fleet(...)`."""
        from .. import inventory  # the inventory loader is only needed here

        try:
            loaded = inventory.load(path)
        except inventory.InventoryError as exc:
            raise ValueError(str(exc)) from None
        return cls(entry.describe() for entry in loaded)

    def __len__(self) -> int:
        return len(self.devices)

    def __iter__(self) -> Iterator[Dict[str, Any]]:
        return iter(self.devices)

    @property
    def names(self) -> List[str]:
        return [d["name"] for d in self.devices]

    def filter(self, name: Patterns = None, group: Patterns = None, os: Patterns = None,
               platform: Patterns = None, chassis_type: Patterns = None) -> "Fleet":
        """The devices matching every criterion given; a criterion given as a
        list matches any of its values; names and the others match as globs."""
        criteria = [("name", _patterns(name)), ("os", _patterns(os)),
                    ("platform", _patterns(platform)),
                    ("chassis_type", _patterns(chassis_type))]
        groups = _patterns(group)

        def matches(device: Dict[str, Any]) -> bool:
            for key, patterns in criteria:
                if patterns and not any(fnmatch.fnmatchcase(str(device.get(key) or ""), p)
                                        for p in patterns):
                    return False
            if groups and not any(fnmatch.fnmatchcase(str(g), p)
                                  for g in device.get("groups") or () for p in groups):
                return False
            return True

        return Fleet([d for d in self.devices if matches(d)])

    def run(self, task: Task, engine: Union[str, Any] = "threads",
            scheduler: Optional[str] = None, workers: Optional[int] = None,
            concurrency: Optional[int] = None, timeout: Optional[float] = None,
            logs: Optional[str] = None, record: Optional[str] = None, on_engine: Optional[Callable[[Any], None]] = None,
            **engine_options: Any) -> Iterator[DeviceResult]:
        """Drive every device; yields one result per device as each finishes.

        `engine` is "threads", "dask" (a LocalCluster started and stopped
        here) or an engine object; `scheduler` is the address of an existing
        Dask scheduler. `concurrency` caps the devices at once on one console
        server; `timeout` is each device's time limit in seconds. Stopping the
        iteration early (or Ctrl-C) stops the devices in flight, closes their
        lines, and drops the devices not started. `record` is a directory
        that gets one cassette per device (quorvi sim replay serves it)."""
        own = isinstance(engine, str) or engine is None
        remote = scheduler is not None or engine == "dask" or \
            (not own and not isinstance(engine, ThreadEngine))
        devices = ask_prompts(self.devices, remote)
        runner = make_engine(engine or "threads", scheduler=scheduler, workers=workers,
                             **engine_options) if own else engine
        if on_engine is not None:
            on_engine(runner)
        run_id = uuid.uuid4().hex
        futures: Dict[Any, str] = {}
        pending = set()
        try:
            for description in devices:
                server_limits = tuple(runner.limit(server, concurrency)
                                      for server in servers_of(description)) if concurrency else ()
                options = RunOptions(run_id=run_id, timeout=timeout, logs=logs, record=record,
                                     limits=server_limits)
                future = runner.submit(run_device, description, task, options,
                                       key="quorvi-%s-%s" % (description["name"], run_id[:8]))
                futures[future] = description["name"]
                pending.add(future)
            for future in runner.as_completed(list(futures)):
                pending.discard(future)
                yield _result_of(future, futures[future])
        finally:
            try:
                if pending:
                    runner.interrupt(run_id, list(pending))
            finally:
                if own:
                    runner.close()


def ask_prompts(devices: List[Dict[str, Any]], remote: bool) -> List[Dict[str, Any]]:
    """The descriptions with every `prompt` credential asked here, once per
    credential name, before any device starts (a worker has no terminal).
    Asked values stay in this process: an engine whose workers are other
    processes refuses them, as they would travel to its workers."""
    from .. import credentials as creds

    prompted = [(d, name, key) for d in devices
                for name, cred in (d.get("credentials") or {}).items()
                for key, value in dict(cred or {}).items()
                if isinstance(value, str) and creds.parse(value)[0] == "prompt"]
    if not prompted:
        return devices
    if remote:
        names = sorted({d["name"] for d, _, _ in prompted})
        raise EngineError("device(s) %s: credential(s) given as 'prompt' cannot be asked on "
                          "Dask workers; give them as env:NAME (set on every worker) or "
                          "file:PATH (readable on every worker), or use the thread engine"
                          % ", ".join(names[:5]) + (" ..." if len(names) > 5 else ""))
    copies = {id(d): dict(d, credentials={n: dict(c) for n, c in d["credentials"].items()})
              for d, _, _ in prompted}
    for device, name, key in prompted:
        value = creds.Secret("prompt", device["name"], name).reveal()
        copies[id(device)]["credentials"][name][key] = creds.Secret("literal:" + value)
    return [copies.get(id(d), d) for d in devices]


def _result_of(future: Any, name: str) -> DeviceResult:
    """A device's result; a failure of the engine itself (a worker lost) is
    that device's failure."""
    try:
        return DeviceResult.from_dict(future.result())
    except Exception as exc:
        return DeviceResult(name=name, ok=False, error_type=type(exc).__name__,
                            error="device %s: the engine lost this device's work: %s"
                                  % (name, exc or repr(exc)))
