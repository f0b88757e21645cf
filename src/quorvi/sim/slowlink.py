"""Slow and busy console lines for the simulated console server: a serial
line behind a slow link, and a console that prints its boot log first.

Port options (lab file `consoles:` entries, or for every port of a lab):
- `latency`: seconds each byte takes to cross the link, either way (a
  console server across a slow network);
- `rate`: bytes per second the line carries at most, either way (960 for a
  9600-baud console);
- `boot_log`: seconds the console prints a boot log for when a client first
  reaches it, before the device's own session starts; keys typed meanwhile
  are lost, as on a device that is still booting. A silent console (an RP
  that does not answer on its console) prints none.
"""
import asyncio
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

LINK_OPTIONS = ("latency", "rate", "boot_log")
# Boot log lines, printed evenly over the `boot_log` seconds.
BOOT_LINES = ["Initializing hardware ...", "Loading image flash:orbix.bin",
              "Decompressing image ...", "Starting system services",
              "Checking file systems", "Bringing up interfaces"]
BOOT_STEPS = 30
# The link hands over at most this many bytes a time, so the rate shows.
RATE_CHUNK = 16


def check_link_options(options: Dict[str, Any]) -> Optional[str]:
    """What is wrong with the link options in `options`, or None."""
    for key in LINK_OPTIONS:
        value = options.get(key)
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)) or value < 0 \
                or (key == "rate" and value == 0):
            return "%s must be a positive number of %s, not %r" % (
                key, "bytes per second" if key == "rate" else "seconds", value)
    return None


class Link:
    """One direction of a slow line: what is put in comes out, in order,
    `latency` seconds later and at most `rate` bytes a second."""

    def __init__(self, deliver: Callable[[bytes], None], latency: float = 0.0,
                 rate: Optional[float] = None) -> None:
        self.deliver = deliver
        self.latency = float(latency or 0.0)
        self.rate = float(rate) if rate else None
        self.queue: List[Tuple[float, Any]] = []
        self.wake: Optional[asyncio.Event] = None
        self.task: Optional[asyncio.Task] = None

    def put(self, data: Any) -> None:
        """Queue `data` (bytes, or a callable run when its turn comes)."""
        if self.wake is None:
            self.wake = asyncio.Event()
            self.task = asyncio.get_running_loop().create_task(self.run())
        self.queue.append((time.monotonic() + self.latency, data))
        self.wake.set()

    async def run(self) -> None:
        assert self.wake is not None
        while True:
            while not self.queue:
                self.wake.clear()
                await self.wake.wait()
            due, data = self.queue.pop(0)
            delay = due - time.monotonic()
            if delay > 0:
                await asyncio.sleep(delay)
            if callable(data):
                data()
                continue
            if self.rate is None:
                self.deliver(data)
                continue
            for start in range(0, len(data), RATE_CHUNK):
                chunk = data[start:start + RATE_CHUNK]
                self.deliver(chunk)
                await asyncio.sleep(len(chunk) / self.rate)

    def close(self) -> None:
        if self.task is not None:
            self.task.cancel()


class SlowTransport:
    """The client's transport seen through a slow link: writes are delayed
    and paced, closing waits for what was written before it."""

    def __init__(self, transport: Any, link: Link) -> None:
        self.transport = transport
        self.link = link

    def write(self, data: bytes) -> None:
        self.link.put(bytes(data))

    def close(self) -> None:
        if self.link.queue:
            self.link.put(self.transport.close)
        else:
            self.transport.close()

    def get_extra_info(self, name: str, default: Any = None) -> Any:
        return self.transport.get_extra_info(name, default)


class SlowLinkConnection:
    """Mixed into the console server's connection class: the port's link
    options slow its line down, and a first client meets the boot log."""

    port: Any
    keys: str
    closed: bool

    def connection_made(self, transport: Any) -> None:
        options = self.port.spec.link
        self.out_link = Link(transport.write, options.get("latency", 0.0), options.get("rate"))
        self.in_link = Link(super().data_received,  # type: ignore[misc]
                            options.get("latency", 0.0), options.get("rate"))
        super().connection_made(SlowTransport(transport, self.out_link))  # type: ignore[misc]

    def data_received(self, data: bytes) -> None:
        self.in_link.put(data)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        super().connection_lost(exc)  # type: ignore[misc]
        self.out_link.close()
        self.in_link.close()

    async def drive(self) -> None:
        options = self.port.spec.link
        if options.get("boot_log") and not options.get("booted") and not self.port.silent:
            options["booted"] = True
            await self.print_boot_log(float(options["boot_log"]))
            self.keys = ""  # typed while the device booted: lost
        await super().drive()  # type: ignore[misc]

    async def print_boot_log(self, seconds: float) -> None:
        for step in range(BOOT_STEPS):
            if self.closed:
                return
            line = BOOT_LINES[step % len(BOOT_LINES)]
            self.port.emit(("%s [%d%%]\r\n" % (line, 100 * (step + 1) // BOOT_STEPS)).encode())
            await asyncio.sleep(seconds / BOOT_STEPS)
