"""Console servers nobody here wrote: ser2net (a pty per simulated console,
made by socat, served as telnet ports) and conserver (exec consoles, reached
through conserver: lines; its own `console` client holds a console busy). Each is started on free
ports of 127.0.0.1 with a throwaway configuration and always stopped."""
import pytest
from realservers import Conserver, Ser2net, free_port, missing

from quorvi.core.errors import ConnectionError
from quorvi.inventory import load
from quorvi.sim.harness import kill_processes, processes_with
from quorvi.spawn import Spawn

from .conftest import FAST

CHASSIS = {"single": "single_rp", "dual": "dual_rp", "stack": "stack", "quad": "quad"}


def served(servers, hint):
    """A fixture body: the start of `servers`, which are stopped afterwards."""
    if missing(*servers.PROGRAMS):
        pytest.skip("%s missing (scripts/install-deps.sh installs %s)"
                    % (", ".join(missing(*servers.PROGRAMS)), hint))
    try:
        yield servers.start
    finally:
        assert not servers.stop(), "console server processes left running"


@pytest.fixture
def ser2net(tmp_path):
    """ser2net(sim): {console: telnet port} (see realservers.Ser2net)."""
    yield from served(Ser2net(tmp_path), "them")


@pytest.fixture
def conserver(tmp_path):
    """conserver(sim, password=None): the master port (see realservers.Conserver)."""
    yield from served(Conserver(tmp_path), "conserver-server and conserver-client")


def lab(tmp_path, sim, lines, extra=""):
    """An inventory of the simulated device `sim` reached through `lines`
    ({console: (transport, target)}); the framework Device it gives."""
    member = {c["name"]: c["member"] for c in sim.device["consoles"]}
    text = "%sdevices:\n  %s:\n    os: %s\n    chassis_type: %s\n    hostname: %s\n" \
           "    timeout: 10\n    lines:\n" % (extra, sim.hostname, sim.device["os"],
                                             sim.chassis_type, sim.hostname)
    for console, (transport, target) in lines.items():
        text += "      %s: {%s: \"%s\"%s}\n" % (
            console, transport, target,
            ", member: %d" % member[console] if sim.chassis_type in ("stack", "quad") else "")
    (tmp_path / "lab.yaml").write_text(text)
    return load(str(tmp_path / "lab.yaml"))


def bring_up(inventory, name):
    device = inventory.device(name, settings=dict(FAST))
    device.connect()
    return device


@pytest.mark.parametrize("warm", [False, True], ids=["fresh", "warm"])
@pytest.mark.parametrize("chassis", list(CHASSIS))
@pytest.mark.parametrize("server", ["ser2net", "conserver"])
def test_bring_up_through_a_real_console_server(request, sim, tmp_path, server, chassis, warm):
    simulated = sim(chassis)
    if server == "ser2net":
        ports = request.getfixturevalue("ser2net")(simulated)
        lines = {c: ("console", "127.0.0.1:%d" % p) for c, p in ports.items()}
    else:
        port = request.getfixturevalue("conserver")(simulated)
        lines = {c: ("conserver", "%s@127.0.0.1:%d" % (c, port)) for c in simulated.consoles}
    inventory = lab(tmp_path, simulated, lines)
    name = simulated.hostname
    if warm:  # a first client leaves every console's session at a prompt
        bring_up(inventory, name).destroy()
    device = bring_up(inventory, name)
    try:
        assert "Version" in device.execute("show version")
        device.configure(["interface lo0", "description via %s" % server])
    finally:
        device.destroy()
    assert "description via %s" % server in simulated.config_received()


def hold(port, console):
    """A user attached read-write to `console` with the console client."""
    holder = Spawn("console -e ^Ec -M 127.0.0.1 -p %d %s" % (port, console), name="holder")
    holder.expect([r"for help\]"], timeout=10)
    holder.send("\x05ca")
    holder.expect([r"\[ok\]"], timeout=10)
    return holder


@pytest.mark.parametrize("busy", [None, "fail", "take-over"])
def test_conserver_console_held_by_someone_else(sim, conserver, tmp_path, busy):
    simulated = sim("single")
    port = conserver(simulated)
    inventory = lab(tmp_path, simulated, {"a": ("conserver", "a@127.0.0.1:%d" % port)})
    if busy:
        inventory[simulated.hostname].lines["a"].busy = busy
    holder = hold(port, "a")
    device = inventory.device(simulated.hostname, settings=dict(FAST))
    try:
        if busy == "take-over":
            device.connect()
            assert "Version" in device.execute("show version")
            holder.expect([r"forced to `spy' mode by (\S+)\]"], timeout=5)
        else:
            with pytest.raises(ConnectionError, match=r"device %s, line a: console a on conserver "
                               r"127\.0\.0\.1:\d+ is busy: \S+@\S+ holds it read-write; it was "
                               r"not attached read-only" % simulated.hostname):
                device.connect()
            # Nothing was typed into the held console.
            assert simulated.commands_received("a") == []
    finally:
        device.destroy()
        holder.close()


@pytest.mark.parametrize("target, error", [
    ("nosuch@127.0.0.1:{port}", r"console nosuch on conserver 127\.0\.0\.1:\d+: the server has no "
                                r"such console \(console `nosuch' not found\); check the console name"),
    ("a@127.0.0.1:{free}", r"console a on conserver 127\.0\.0\.1:\d+: cannot connect \(127\.0\.0\.1 "
                           r"port \d+: Connection refused\); is conserver running there"),
])
def test_conserver_line_that_cannot_attach_says_why(sim, conserver, tmp_path, target, error):
    simulated = sim("single")
    port = conserver(simulated)
    target = target.format(port=port, free=free_port())
    inventory = lab(tmp_path, simulated, {"a": ("conserver", target)})
    device = inventory.device(simulated.hostname, settings=dict(FAST))
    try:
        with pytest.raises(ConnectionError, match=r"device %s, line a: %s" % (simulated.hostname,
                                                                              error)):
            device.connect()
    finally:
        device.destroy()


@pytest.mark.parametrize("given, error", [
    ("env:QV_CONSERVER_PASSWORD", None),
    ("not-the-password", r"console server conserver 127\.0\.0\.1:\d+ refused its login as ops "
                         r"\(invalid password\).*not the device's"),
    (None, r"asks ops@\S+ for a password: name the console server.s login"),
    ("env:QV_UNSET_PASSWORD", r"environment variable QV_UNSET_PASSWORD is not set"),
])
def test_conserver_asks_for_its_own_login(sim, conserver, tmp_path, monkeypatch, caplog, given,
                                          error):
    secret = "Cs-pw-5521"
    monkeypatch.setenv("QV_CONSERVER_PASSWORD", secret)
    simulated = sim("single")
    port = conserver(simulated, password=secret)
    login = "console_servers:\n  127.0.0.1:\n    login: {username: ops%s}\n" % (
        ", password: \"%s\"" % given if given else "")
    inventory = lab(tmp_path, simulated, {"a": ("conserver", "a@127.0.0.1:%d" % port)}, login)
    device = inventory.device(simulated.hostname, settings=dict(FAST))
    caplog.set_level("DEBUG", logger="quorvi")
    try:
        if error is None:
            device.connect()
            assert "Version" in device.execute("show version")
        else:
            with pytest.raises(ConnectionError, match=error):
                device.connect()
    finally:
        device.destroy()
    assert secret not in caplog.text
    assert "not-the-password" not in str(inventory[simulated.hostname].to_dict())


def test_console_port_kept_busy_by_ser2net_says_so(sim, ser2net, tmp_path):
    simulated = sim("single")
    port = ser2net(simulated)["a"]
    inventory = lab(tmp_path, simulated, {"a": ("console", "127.0.0.1:%d" % port)})
    holder = Spawn("telnet 127.0.0.1 %d" % port, name="holder")
    try:
        holder.expect([r"Escape character"], timeout=10)
        device = inventory.device(simulated.hostname, settings=dict(FAST))
        try:
            with pytest.raises(ConnectionError, match=r"console server 127\.0\.0\.1 port \d+ "
                                                      r"closed the connection: the port may be "
                                                      r"in use"):
                device.connect()
        finally:
            device.destroy()
    finally:
        holder.close()
    assert not kill_processes(lambda: processes_with("telnet", "127.0.0.1", str(port)))
