"""`quorvi demo` and `quorvi connect`: one bring-up, its log lines as they
happen, then a short summary of what the link broker learned and decided."""
import sys
import time
from typing import Any, Dict, List, Optional

from .core.errors import CommandError, ConnectionError, TimeoutError
from .device import Device

TITLES = {"single": "single-RP router", "dual": "dual-RP router", "stack": "switch stack",
          "quad": "quad device"}


def _rows(rows: List[tuple]) -> str:
    width = max(len(k) for k, _ in rows)
    return "\n".join("  %-*s  %s" % (width, k, v) for k, v in rows)


def _handles(con: Any) -> List[tuple]:
    """Designated handles of a multi-RP connection, as summary rows."""
    rows: List[tuple] = []
    for role in ("active", "standby", "active_ics", "standby_ics"):
        sub = getattr(con, role, None)
        if sub is not None:
            rows.append(("%s handle" % role.replace("_ics", " ICS"),
                         "%s (state %s)" % (sub.alias, sub.state_machine.current_state)))
    modes = {sub.mode for sub in con.subconnections if getattr(sub, "mode", None)}
    if modes:
        rows.append(("HA mode", ", ".join(sorted(modes))))
    return rows


def summary(dev: Device, elapsed: float, extra: Optional[List[tuple]] = None) -> str:
    con = dev.default
    rows: List[tuple] = [("device", dev.name), ("os / platform", "%s / %s" % (dev.os, dev.platform or "-")),
            ("connection class", type(con).__name__),
            ("hostname learned", con.learned_hostname or "- (not learned)")]
    if hasattr(con, "subconnections"):
        rows += _handles(con)
    else:
        rows.append(("state reached", con.state_machine.current_state))
    rows += extra or []
    rows.append(("time taken", "%.3f s" % elapsed))
    return _rows(rows)


def _device_report(sim: Any) -> List[tuple]:
    """What the simulated device saw: the initial commands and the members."""
    rows: List[tuple] = []
    for console in sim.consoles:
        received = [c for c in sim.commands_received(console) if c]
        if received:
            rows.append(("%s received" % console, "; ".join(received)))
    members = sim.device.get("members") or []
    for m in members:
        consoles = [c["name"] for c in sim.device["consoles"] if c["member"] == m["number"]]
        rows.append(("member %d" % m["number"], "%s, console %s" % (m["role"], "/".join(consoles))))
    return rows


def _connect(dev: Device, report: Any = None, **options: Any) -> bool:
    """Connect, print the summary (plus `report()` rows), always destroy."""
    start = time.monotonic()
    try:
        dev.connect(**options)
    except (ConnectionError, TimeoutError) as exc:
        print("connect failed: %s" % exc)
        dev.destroy()
        return False
    elapsed = time.monotonic() - start
    shown = False
    try:
        print("\n--- summary ---\n" + summary(dev, elapsed, report() if report else None))
        shown = True
    finally:
        if not shown:
            dev.destroy()
    return True


def run_demo(kind: str, delay: float = 0.0, learn_os: bool = True) -> bool:
    """Connect to one simulated device of the given kind; True on success."""
    from .sim.harness import SimulatedDevice

    print("\n=== %s: simulated %s ===" % (kind, TITLES[kind]))
    with SimulatedDevice(kind, response_delay=delay) as sim:
        overrides: Dict[str, Any] = {"learn_hostname": True}
        if learn_os:
            overrides.update(os="generic", platform=None, learn_os=True)
        dev = Device(**sim.device_kwargs(**overrides))
        ok = _connect(dev, lambda: _device_report(sim))
        dev.destroy()
    return ok


def connect_and_report(device_kwargs: Any, execute: Optional[List[str]] = None,
                       timeout: Optional[float] = None, errors: Any = None) -> bool:
    """Connect to a real device (a Device, or the keywords that make one),
    print a summary, run the given commands and
    print their output. A command the device rejects is reported on `errors`
    (default stderr) and the next one still runs; True when none was
    rejected. A failed connect raises; the device is always destroyed."""
    errors = sys.stderr if errors is None else errors
    dev = device_kwargs if isinstance(device_kwargs, Device) else Device(**device_kwargs)
    options = {} if timeout is None else {"connection_timeout": timeout}
    rejected = 0
    try:
        start = time.monotonic()
        dev.connect(**options)
        print("\n--- summary ---\n" + summary(dev, time.monotonic() - start))
        for command in execute or []:
            try:
                output = dev.execute(command)
            except CommandError as exc:
                rejected += 1
                print("\n%s\n%s" % (command, getattr(exc, "output", "")))
                print("error: %s" % exc, file=errors)
                continue
            print("\n%s\n%s" % (command, output))
    finally:
        dev.destroy()
    if rejected:
        print("error: %d of %d commands rejected by device %s"
              % (rejected, len(execute or []), dev.name), file=errors)
    return not rejected
