"""A simulated console server: one process, one asyncio loop, one TCP port
per console of a whole lab.

Each port is a serial line to one console: its session lives as long as the
server, not as long as a connection, so a client finds the line as the
previous one left it (a prompt, configuration mode, a pager), and output
written while nobody is connected is lost. One client at a time: another one
is told the port is busy and closed. A port that shows nothing until Return
(`connect: quiet`) or that greets with "Press RETURN to get started"
(`connect: press_return`) behaves as console servers configured that way do.
"""
import asyncio
import logging
import resource
import socket
from typing import Any, Callable, List, Optional

from . import outputs as out
from .habits import echoes_itself
from .lab import Lab, LabError, PortSpec
from .model import MemoryState
from .behaviour import ConsoleBehaviour
from .telnet import TelnetCodec, encode

log = logging.getLogger("quorvi.sim.console_server")

# Descriptors beyond the listening sockets: standard streams, the loop, logs
# and a few client connections.
SPARE_DESCRIPTORS = 64
UNECHOED = ("secret", "key")  # input a device reads without echoing it


class Port:
    """A console's port: its spec, its session and the client attached."""

    __slots__ = ("spec", "shared", "steps", "request", "client", "server", "driver", "silent",
                 "woken")

    def __init__(self, spec: PortSpec, shared: MemoryState) -> None:
        self.spec = spec
        self.shared = shared
        self.steps: Any = None      # the session's generator, once started
        self.request: Any = None    # what the session waits for
        self.client: Optional["Connection"] = None
        self.server: Any = None
        self.driver: Optional[asyncio.Task] = None  # the task advancing the session
        self.silent = any(c["silent"] for c in spec.device["consoles"]
                          if c["name"] == spec.console)
        self.woken = False  # another console changed the device (quorvi.sim.boot)
        shared.listen(spec.console, self.wake)

    def emit(self, data: bytes) -> None:
        client = self.client
        if client is not None:
            client.write(data)

    def wake(self) -> None:
        self.woken = True
        if self.client is not None:
            self.client.wake()


class Connection(asyncio.Protocol):
    """One telnet client on a port, driving the port's session while attached."""

    # The device echoes the keys it reads as lines (a replayed line does not:
    # its recording holds the echo).
    ECHOES = True

    def __init__(self, port: Port, connections: set) -> None:
        self.port = port
        self.connections = connections
        self.codec = TelnetCodec()
        self.transport: Any = None
        self.keys = ""            # received, not yet taken by the session
        self.partial = 0          # length of the line being typed (for echoed erases)
        self.echo = False
        self.closed = False
        self.waiter: Optional[asyncio.Future] = None
        self.writable: Optional[asyncio.Future] = None
        self.task: Optional[asyncio.Task] = None

    # -- asyncio.Protocol -------------------------------------------------
    def connection_made(self, transport: Any) -> None:
        self.transport = transport
        port = self.port
        if port.spec.busy or port.client is not None:
            transport.write(("\r\n" + out.PORT_BUSY.format(port=port.spec.port)
                             + "\r\n").encode())
            transport.close()
            self.closed = True
            return
        port.client = self
        self.connections.add(self)
        sock = transport.get_extra_info("socket")
        if sock is not None:
            # An echo and the prompt after it are two small writes: without
            # this the prompt waits for the client's delayed acknowledgement.
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        transport.write(self.codec.greeting())
        self.task = asyncio.get_running_loop().create_task(self.drive())

    def data_received(self, data: bytes) -> None:
        keys, replies = self.codec.decode(data)
        if replies:
            self.transport.write(replies)
        if not keys:
            return
        if self.echo:
            self.echo_keys(keys)
        self.keys += keys
        self.wake()

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.closed = True
        self.connections.discard(self)
        if self.port.client is self:
            self.port.client = None
        self.wake()
        if self.writable is not None and not self.writable.done():
            self.writable.set_result(None)

    def pause_writing(self) -> None:
        self.writable = asyncio.get_running_loop().create_future()

    def resume_writing(self) -> None:
        if self.writable is not None and not self.writable.done():
            self.writable.set_result(None)
        self.writable = None

    # -- the terminal -----------------------------------------------------
    def write(self, data: bytes) -> None:
        if not self.closed:
            self.transport.write(encode(data))

    def echo_keys(self, keys: str) -> None:
        echoed = []
        for key in keys:
            if key == "\r":
                echoed.append("\r\n")
                self.partial = 0
            elif key in "\x7f\x08":
                if self.partial:
                    self.partial -= 1
                    echoed.append("\b \b")
            elif key >= " ":
                self.partial += 1
                echoed.append(key)
        self.transport.write("".join(echoed).encode("latin-1"))

    def wake(self) -> None:
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    async def wait_for(self, ready: Callable[[], bool]) -> bool:
        """Wait until `ready()`; False when the client went away first."""
        while not ready():
            if self.closed:
                return False
            self.waiter = asyncio.get_running_loop().create_future()
            await self.waiter
        return True

    def take_line(self) -> str:
        line, _, self.keys = self.keys.partition("\r")
        self.partial = 0
        edited: List[str] = []
        for key in line:
            if key in "\x7f\x08":
                if edited:
                    edited.pop()
            elif key >= " " or key == "\t":
                edited.append(key)
        return "".join(edited)

    # -- the session ------------------------------------------------------
    async def drive(self) -> None:
        port = self.port
        try:
            if not await self.greet():
                return
            previous = port.driver
            if previous is not None and not previous.done():
                # The last client's step (a slow answer, say) completes first.
                await asyncio.wait([previous])
            port.driver = self.task
            if port.steps is None:
                self.start_session()
            steps: Any = port.steps
            while not self.closed:
                request = port.request
                kind = request[0]
                answer: Any = None
                self.echo = self.ECHOES and not port.silent and kind not in UNECHOED \
                    and not echoes_itself(port.spec.device)
                if kind in ("line", "secret"):
                    if kind == "secret":
                        port.emit(request[1].encode())
                    if not await self.wait_for(lambda: "\r" in self.keys):
                        return  # the session waits for the next client
                    answer = self.take_line()
                elif kind == "key":
                    if not await self.wait_for(lambda: bool(self.keys)):
                        return
                    answer, self.keys = self.keys[0], self.keys[1:]
                elif kind == "flush":
                    self.keys = ""
                elif kind == "sleep":
                    await asyncio.sleep(request[1])
                elif kind == "idle":
                    if not await self.wait_for(lambda: "\r" in self.keys or port.woken):
                        return
                    answer, port.woken = not port.woken, False
                elif kind == "drain":
                    if self.writable is not None:
                        await self.writable
                    await asyncio.sleep(0)
                    if self.closed:
                        return
                try:
                    port.request = steps.send(answer)
                    if kind == "booting" and port.spec.drop_on_boot:
                        # The console server drops the line as the device reboots.
                        self.transport.close()
                        return
                except StopIteration:
                    # The console ended its session: the line drops, and the next
                    # client meets a fresh one.
                    port.steps = port.request = None
                    self.transport.close()
                    return
        except Exception:  # a fault of the simulator: log it, keep serving the others
            log.exception("console %s of %s failed", port.spec.console,
                          port.spec.device["hostname"])
            port.steps = port.request = None
            self.transport.close()

    async def greet(self) -> bool:
        """The console server's own greeting; False when the client left."""
        port = self.port
        mode = port.spec.connect
        if mode == "press_return":
            self.transport.write(("\r\n" + out.PRESS_RETURN + "\r\n").encode())
        if mode == "press_return" or (mode == "quiet" and port.steps is None):
            if not await self.wait_for(lambda: "\r" in self.keys):
                return False
            if port.steps is None:
                # The Return wakes the line; it is no input of the session.
                self.keys = self.keys.partition("\r")[2]
        return True

    def start_session(self) -> None:
        port = self.port
        behaviour = ConsoleBehaviour(port.spec.device, port.spec.console, port.shared, port.emit)
        port.steps = behaviour.run(port.spec.left_in)
        port.spec.left_in = None  # a later session starts afresh
        port.request = port.steps.send(None)


def raise_descriptor_limit(needed: int) -> int:
    """Raise the soft limit on open files to the hard one; LabError when even
    that is too low for `needed` descriptors. Returns the limit in force."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and needed > hard:
        raise LabError("the lab needs %d ports (%d open files with the spare ones) but this "
                       "process may open at most %d files (hard limit, ulimit -Hn): serve "
                       "fewer devices, or raise the hard limit" % (
                           needed - SPARE_DESCRIPTORS, needed, hard))
    if soft != hard:
        # Clients need descriptors too: take all the process may have.
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


class LabServer:
    """Serves every console of `lab` on `host`, from `port_base` on (one port
    after the other) or on free ports the system picks."""

    def __init__(self, lab: Lab, host: str = "127.0.0.1",
                 port_base: Optional[int] = None) -> None:
        self.lab = lab
        self.host = host
        self.port_base = port_base
        self.ports: List[Port] = []
        self.connections: set = set()
        self.descriptor_limit = 0

    async def start(self) -> None:
        self.descriptor_limit = raise_descriptor_limit(len(self.lab.ports) + SPARE_DESCRIPTORS)
        if self.port_base is not None and self.port_base + len(self.lab.ports) - 1 > 65535:
            raise LabError("--port-base %d leaves no room for %d ports (the last port is 65535)"
                           % (self.port_base, len(self.lab.ports)))
        loop = asyncio.get_running_loop()
        shared = {id(device): MemoryState() for device in self.lab.devices.values()}
        started = False
        try:
            for index, spec in enumerate(self.lab.ports):
                sock = self.bind(spec, index)
                port = Port(spec, shared[id(spec.device)])
                self.ports.append(port)
                port.server = await loop.create_server(self.protocol(port), sock=sock)
            started = True
        finally:
            if not started:
                self.close()

    def protocol(self, port: Port) -> Callable[[], Connection]:
        return lambda: Connection(port, self.connections)

    def bind(self, spec: PortSpec, index: int) -> socket.socket:
        number = 0 if self.port_base is None else self.port_base + index
        sock = socket.socket(socket.AF_INET6 if ":" in self.host else socket.AF_INET)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((self.host, number))
            sock.listen(8)
        except OSError as exc:
            sock.close()
            where = "%s:%d" % (self.host, number) if number else self.host
            hint = ("give another --port-base, or none to let the system choose free ports"
                    if number else "check --host")
            raise LabError("cannot listen on %s for console %s of %s: %s; %s" % (
                where, spec.console, spec.device["hostname"], exc.strerror, hint)) from None
        spec.port = sock.getsockname()[1]
        return sock

    def client_capacity(self) -> int:
        """How many clients may be connected at once within the file limit."""
        if self.descriptor_limit == resource.RLIM_INFINITY:
            return len(self.ports)
        return max(min(len(self.ports), self.descriptor_limit - len(self.ports)
                       - SPARE_DESCRIPTORS), 0)

    def close(self) -> List[asyncio.Task]:
        """Stop listening and drop every client; returns the client tasks
        cancelled (`aclose` waits for them)."""
        tasks = []
        for connection in list(self.connections):
            if connection.task is not None:
                connection.task.cancel()
                tasks.append(connection.task)
            connection.transport.close()
        self.connections.clear()
        for port in self.ports:
            # A client gone while its step ran (a boot's pause) leaves its task behind.
            if port.driver is not None and not port.driver.done() and port.driver not in tasks:
                port.driver.cancel()
                tasks.append(port.driver)
            if port.server is not None:
                port.server.close()
            if port.steps is not None:
                port.steps.close()
        return tasks

    async def aclose(self) -> None:
        await asyncio.gather(*self.close(), return_exceptions=True)

    def state(self, device: str) -> dict:
        """What the consoles of `device` received (commands, config, unlock)."""
        for port in self.ports:
            if port.spec.device["hostname"] == device:
                return port.shared.read()
        raise KeyError(device)
