"""Console servers nobody here wrote, serving simulated devices on 127.0.0.1:
ser2net (a pty per simulated console, made by socat, served as telnet
ports) and conserver (exec consoles, reached with its `console` client).
Each is started on free ports with a throwaway configuration in a directory
of the caller's and always stopped. The tests (tests/e2e) and the
benchmarks (bench/bench_warm.py) use them.

    servers = Ser2net(directory)      # or Conserver(directory)
    try:
        ports = servers.start(sim)    # Conserver: its master port
    finally:
        leftovers = servers.stop()    # processes that had to be killed
"""
import os
import shutil
import socket
import subprocess
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

from quorvi.sim.harness import kill_processes, processes_with

CONSERVER_PID_FILE = "/run/conserver/conserver.pid"


class ServerError(RuntimeError):
    """A console server did not start."""


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def missing(*programs: str) -> List[str]:
    return [p for p in programs if not shutil.which(p)]


def not_ours() -> Dict[str, str]:
    """The environment for a program that is not ours: without the sanitizer
    runtimes that the sanitizer run preloads (ser2net does not start with
    them)."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")}


def wait_listening(port: int, proc: subprocess.Popen, what: str, log: Path,
                   timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                raise ServerError("%s did not start: %s" % (
                    what, log.read_text() if log.exists() else "no output")) from None
            time.sleep(0.02)


def script(directory: Path, sim: Any, console: str) -> Path:
    """A script that opens `console` of `sim` (no quoting left for a
    console server's configuration to get wrong)."""
    path = directory / ("%s.sh" % console)
    path.write_text("#!/bin/sh\nexec %s\n" % sim.command(console))
    path.chmod(0o755)
    return path


def wait_gone(find: Callable[[], List[int]], timeout: float = 5.0) -> List[int]:
    """Wait until no process `find()` names is left; kill (and return) those
    still there after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while find() and time.monotonic() < deadline:
        time.sleep(0.02)
    return kill_processes(find)


def consoles_of(sims: List[Any]) -> Callable[[], List[int]]:
    """What finds the console processes of `sims` a console server ran: they
    end on the hang-up of their ptys, a moment after the server."""
    return lambda: [p for sim in sims for p in processes_with("--device", sim.path)]


def stop_process(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


class Ser2net:
    """start(sim) serves each console of `sim` as a telnet port; returns
    {console: port}. socat gives each console a pty; a descriptor held open
    on it keeps it (and the console's session) alive between clients."""

    PROGRAMS = ("ser2net", "socat", "telnet")

    def __init__(self, directory: Path) -> None:
        self.directory = Path(directory)
        self.procs: List[subprocess.Popen] = []
        self.held: List[int] = []
        self.sims: List[Any] = []

    def start(self, sim: Any) -> Dict[str, int]:
        ports, config = {}, []
        self.sims.append(sim)
        for console in sim.consoles:
            tty = self.directory / ("%s.tty" % console)
            self.procs.append(subprocess.Popen(
                ["socat", "PTY,link=%s,rawer" % tty,
                 "EXEC:%s,pty,setsid,ctty,stderr" % script(self.directory, sim, console)],
                stderr=subprocess.DEVNULL))
            deadline = time.monotonic() + 10
            while not tty.exists():
                if time.monotonic() > deadline:
                    raise ServerError("socat made no pty for %s" % console)
                time.sleep(0.01)
            self.held.append(os.open(str(tty), os.O_RDWR | os.O_NOCTTY))
            ports[console] = free_port()
            # nodelay: a prompt sent right after an echo would otherwise
            # wait for the client's delayed acknowledgement (~40 ms);
            # chardelay off: each chunk would wait two characters' time
            # (2 ms at 9600 baud) for more (docs/console-servers.md).
            config.append("connection: &%s\n  accepter: telnet(rfc2217=false),tcp(nodelay),"
                          "127.0.0.1,%d\n  connector: serialdev,%s,9600n81,local\n"
                          "  options:\n    kickolduser: false\n    chardelay: false\n" % (console, ports[console], tty))
        (self.directory / "ser2net.yaml").write_text("".join(config))
        log = self.directory / "ser2net.log"
        with open(log, "w") as out:
            proc = subprocess.Popen(["ser2net", "-n", "-u", "-c",
                                     str(self.directory / "ser2net.yaml"),
                                     "-P", str(self.directory / "ser2net.pid")],
                                    stdout=out, stderr=subprocess.STDOUT, env=not_ours())
        self.procs.append(proc)
        for port in ports.values():
            wait_listening(port, proc, "ser2net", log)
        return ports

    def stop(self) -> List[Any]:
        for proc in reversed(self.procs):
            stop_process(proc)
        for fd in self.held:
            os.close(fd)
        sims, self.procs, self.held, self.sims = self.sims, [], [], []
        return wait_gone(consoles_of(sims))


class Conserver:
    """start(sim, password=None) serves each console of `sim` as an exec
    console; returns the master port. With a password, clients from
    127.0.0.1 are only allowed (not trusted): user "ops" must log in."""

    PROGRAMS = ("conserver", "console")

    def __init__(self, directory: Path) -> None:
        self.directory = Path(directory)
        self.procs: List[subprocess.Popen] = []
        self.sims: List[Any] = []

    def start(self, sim: Any, password: Optional[str] = None) -> int:
        self.sims.append(sim)
        port = free_port()
        consoles = "".join('console %s { exec "%s"; }\n' % (c, script(self.directory, sim, c))
                           for c in sim.consoles)
        (self.directory / "conserver.cf").write_text(
            "default * { type exec; master 127.0.0.1; rw *; }\n%s"
            "access * { %s 127.0.0.1; }\n" % (consoles, "allowed" if password else "trusted"))
        hashed = ""
        if password:
            hashed = "ops:%s\n" % subprocess.run(["openssl", "passwd", "-6", password],
                                                 check=True, capture_output=True,
                                                 text=True).stdout.strip()
        (self.directory / "conserver.passwd").write_text(hashed)
        log = self.directory / "conserver.log"
        with open(log, "w") as out:
            proc = subprocess.Popen(["conserver", "-C", str(self.directory / "conserver.cf"),
                                     "-P", str(self.directory / "conserver.passwd"),
                                     "-p", str(port), "-M", "127.0.0.1"],
                                    stdout=out, stderr=subprocess.STDOUT, env=not_ours())
        self.procs.append(proc)
        wait_listening(port, proc, "conserver", log)
        return port

    def stop(self) -> List[Any]:
        for proc in self.procs:
            stop_process(proc)
            # Its pid file is fixed at build time: take it away if it is ours.
            try:
                with open(CONSERVER_PID_FILE) as f:
                    ours = f.read().strip() == str(proc.pid)
                if ours:
                    os.unlink(CONSERVER_PID_FILE)
            except OSError:
                pass
        sims, self.procs, self.sims = self.sims, [], []
        # Its group processes end after the master, on the signal it passes on.
        return (wait_gone(lambda: processes_with("-C", str(self.directory / "conserver.cf")))
                + wait_gone(consoles_of(sims)))
