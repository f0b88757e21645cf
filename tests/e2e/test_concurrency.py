"""Many devices at once: fifty simulated devices brought up from a pool of
threads, each with its own Device and connection, and class registries built
side by side in threads."""
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from quorvi.core.classregistry import ClassRegistry
from quorvi.device import Device
from quorvi.registry import load_plugins
from timing import allowed

from .conftest import FAST, pid_gone

# Fifty devices, mostly single and dual. Timeouts are generous: with some
# eighty consoles starting at once on two cores, a console may take seconds
# to print its banner, and the quad's answer test must not take a slow line
# for a silent one.
KINDS = ["single"] * 24 + ["dual"] * 20 + ["stack"] * 4 + ["quad"] * 2
SETTINGS = dict(FAST, CONNECTION_TIMEOUT=40, EXEC_TIMEOUT=40, DETECT_RPR_TIMEOUT=1.5)


def options(number, kind):
    """Simulator options of device `number`: its own hostname and roles."""
    opts = {"hostname": "N%02d" % number}
    if kind == "dual":
        opts["active"] = "ab"[number % 2]
    elif kind == "stack":
        opts.update(members=3, active=1 + number % 3, standby=1 + (number + 1) % 3)
    elif kind == "quad":
        opts["active_member"] = 1 + number % 2
    return opts


def expected_roles(kind, opts):
    if kind == "dual":
        active = opts["active"]
        return {"active": active, "standby": "b" if active == "a" else "a",
                "active_ics": None, "standby_ics": None}
    if kind == "stack":
        return {"active": "m%d" % opts["active"], "standby": "m%d" % opts["standby"],
                "active_ics": None, "standby_ics": None}
    if kind == "quad":
        active, standby = opts["active_member"], 3 - opts["active_member"]
        return {"active": "m%da" % active, "standby": "m%da" % standby,
                "active_ics": "m%db" % active, "standby_ics": "m%db" % standby}
    return None


def test_fifty_devices_connect_at_once_each_with_its_own_answers(sim):
    load_plugins()
    plans = [(n, kind, options(n, kind)) for n, kind in enumerate(KINDS)]
    simulated = [sim(kind, **opts) for _, kind, opts in plans]
    devices = [Device(**s.device_kwargs(settings=SETTINGS, learn_hostname=True)) for s in simulated]
    start = threading.Barrier(len(devices))

    def bring_up(number):
        start.wait()
        began = time.monotonic()
        # A marker command of this device's own, sent by its broker.
        devices[number].connect(init_exec_commands=["terminal width %d" % (100 + number)])
        return time.monotonic() - began

    began = time.monotonic()
    try:
        with ThreadPoolExecutor(max_workers=len(devices)) as pool:
            durations = list(pool.map(bring_up, range(len(devices))))
        elapsed = time.monotonic() - began

        for (number, kind, opts), device, sim_device in zip(plans, devices, simulated):
            con = device.default
            hostname = opts["hostname"]
            assert con.connected and con.link_broker.connection is con
            assert con.link_broker.init_exec_commands == ["terminal width %d" % (100 + number)]
            lines = con.subconnections if kind != "single" else [con]
            assert [line.learned_hostname for line in lines] == [hostname] * len(lines)
            if kind != "single":
                assert con.learned_hostname == hostname
                assert con.roles == expected_roles(kind, opts), (number, kind)
                assert {s.mode for s in con.subconnections} == {"Stateful Switchover"}
            # Each console saw its own marker and no other device's.
            markers = {c for console in sim_device.consoles
                       for c in sim_device.commands_received(console) if c.startswith("terminal width")}
            assert markers == {"terminal width %d" % (100 + number)}, (number, markers)
        assert elapsed < allowed(45), \
            "fifty connects took %.1fs (slowest %.1fs)" % (elapsed, max(durations))
    finally:
        pids = [pid for s in simulated for pid in s.console_pids()]
        with ThreadPoolExecutor(max_workers=8) as pool:
            list(pool.map(Device.destroy, devices))
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and not all(pid_gone(p) for p in pids):
        time.sleep(0.05)
    assert len(pids) == sum(len(s.consoles) for s in simulated)
    assert [p for p in pids if not pid_gone(p)] == []
    assert [p for s in simulated for p in s.console_pids()] == []


def path(k):
    """Platform and chassis type of the k-th registration: twenty paths in turn."""
    return "ox%d" % (k % 10), ("single_rp", "dual_rp")[(k // 10) % 2]


def own_classes(number, count):
    """Connection classes defined here (the registry records their file)."""
    return [type("Thread%dClass%d" % (number, k), (), {}) for k in range(count)]


def test_registries_built_in_threads_see_only_their_own_classes():
    threads, rounds = 8, 150
    results, errors = {}, []
    start = threading.Barrier(threads)

    def fill(number):
        try:
            registry = ClassRegistry()
            classes = own_classes(number, rounds)
            start.wait()
            for k, cls in enumerate(classes):
                # Every thread uses the same paths: only its own tree may hold them.
                platform, chassis = path(k)
                registry.register_plugin(cls, os="orbix", platform=platform, chassis_type=chassis)
                if k % 7 == 3:
                    registry.unregister_plugin(os="orbix", platform=platform, chassis_type=chassis)
                    registry.register_plugin(cls, "orbix", platform, None, chassis)
            found = {path(k): registry.get_plugin(os="orbix", platform=path(k)[0],
                                                  chassis_type=path(k)[1]) for k in range(20)}
            results[number] = (classes, found, repr(registry), registry)
        except BaseException as exc:  # noqa: B036 - reported below, with its thread
            errors.append((number, exc))

    workers = [threading.Thread(target=fill, args=(n,)) for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(60)
    assert errors == []
    assert sorted(results) == list(range(threads))
    for number, (classes, found, text, registry) in results.items():
        # The last class registered on each path is this thread's own.
        for where, cls in found.items():
            assert cls is classes[max(k for k in range(rounds) if path(k) == where)]
        assert "Thread%dClass" % number in text
        assert all("Thread%dClass" % other not in text for other in range(threads) if other != number)
        assert list(registry.plugins) == ["orbix"]
        assert registry.chassis_type_list is results[0][3].chassis_type_list  # shared by design
