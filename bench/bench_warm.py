"""Warm-console bring-up on the served lab: `Device.connect` (connect ->
ready, every line at its prompt) of a device whose consoles a previous
client left at a prompt, beside a bare script that has the same
conversation over the same telnet lines.

A console server shows a new client nothing until a key is pressed, so the
bare script opens the device's telnet ports (plain sockets, as quorvi's
`console:` lines are connections of its own), presses Return on each at
once, reads each prompt and sends the lines the link broker's documented
steps send, waiting for each answer's prompt (bench_bringup.conversation;
the quad with the same answer-test waits). Both run alternately against the
same served lab, after one connect that leaves the consoles warm; the
figures are medians.

Targets: single, dual and stack within 1.5 times the bare script; the quad
within 100 ms beyond the waits its answer test must make (a
DETECT_RPR_TIMEOUT sleep per console and an expect on each silent one).

Through real console servers (tests/realservers.py starts them, on free
ports with throwaway configurations): the same warm dual bring-up through
ser2net (`console:` lines) and through conserver (`conserver:` lines; the
bare script speaks the client protocol with nothing but what the server
requires), alternately with the served lab's; each at most 1.5 times the
served lab's. The console server's own answer (telnet connected,
conserver attached) is reported beside it.

`make bench` runs it with the other benchmarks (`rows`); on its own:
.venv/bin/python bench/bench_warm.py [--quick]
"""
import argparse
import socket
import ssl
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Optional

import pexpect
from pexpect import fdpexpect

from bench_bringup import ANSWER_TEST, conversation, converse, hang_up
from quorvi import chassis
from quorvi.device import Device
from quorvi.sim.harness import SimulatedDevice
from quorvi.sim.served import ServedLab
from quorvi.spawn import spawn_hooks

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from realservers import Conserver, Ser2net, missing  # noqa: E402  (the tests' servers)

KINDS = chassis.SHORT_NAMES
# The quad's answer-test waits are the same in both columns and only add to
# them: a short setting keeps the run short.
RPR_TIMEOUT = 0.3
CONNECT_TARGET = 1.5
QUAD_BEYOND_TARGET = 0.100  # seconds beyond the answer-test waits
QUAD_REPEATS = 3
SETTINGS = {"DETECT_RPR_TIMEOUT": RPR_TIMEOUT}
SERVER_TARGET = 1.5  # warm dual through a real console server against the served lab


def warm_conversation(kind: str) -> List[Any]:
    """The documented conversation as a warm console has it: a line the
    bring-up takes to enable is there already (so no "enable" is sent); a line whose first step waits for a prompt gets a Return first
    (the console shows nothing until then); the quad's lines get their
    Return as they open."""
    fresh = conversation(kind)
    enabled = {console for console, line, _ in fresh if line == "enable"}
    steps, started = [], set()
    for console, line, prompt in fresh:
        if line == "enable":
            continue
        if console in enabled and isinstance(prompt, str) and prompt.endswith(">"):
            prompt = prompt[:-1] + "#"
        if console not in started and line is None:
            line = ""
        started.add(console)
        last = next((step for step in reversed(steps) if step[0] == console), None)
        if line is None and last is not None and last[1] is None:
            continue  # the quad: its two prompts before a command came in one wait
        steps.append((console, line, prompt))
    return steps


def answer_test_waits(kind: str) -> float:
    """Seconds the quad's answer test must wait: a sleep on every console and
    the expect that times out on each silent one."""
    tests = [answers for _, line, answers in conversation(kind) if line is ANSWER_TEST]
    return RPR_TIMEOUT * (len(tests) + sum(1 for answers in tests if not answers))


class BareConserverLine:
    """The bare script's line to a conserver console: its client protocol
    with nothing but what the server requires (greeting, encryption, login,
    call; then ^Ec; to connect the console), every read acknowledged at
    once; `send` and `expect_exact` as a pexpect child has them."""

    def __init__(self, port: int, console: str) -> None:
        self.buffer = b""
        for _ in range(2):  # the master names the console's port, which attaches
            sock = socket.create_connection(("127.0.0.1", port))
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.sock = sock
            self._until(b"ok\r\n")
            sock.sendall(b"ssl\r\n")
            self._until(b"ok\r\n")
            self.sock = TLS.wrap_socket(sock)
            self.sock.sendall(b"login bench\r\n")
            self._until(b"ok\r\n")
            self.sock.sendall(b"call %s\r\n" % console.encode())
            answer = self._until(b"\r\n")
            if answer.strip().isdigit():
                self.sock.close()
                port = int(answer)
        self.sock.sendall(b"\x05c;")
        self._until(b"]\r\n")

    def _until(self, end: bytes) -> bytes:
        while end not in self.buffer:
            self.buffer += self.sock.recv(4096)
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        got, _, self.buffer = self.buffer.partition(end)
        return got + end

    def send(self, text: str) -> None:
        self.sock.sendall(text.encode())

    def expect_exact(self, text: str, timeout: float) -> None:
        self.sock.settimeout(timeout)
        self._until(text.encode())

    def close(self) -> None:
        self.sock.close()


TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
TLS.check_hostname, TLS.verify_mode = False, ssl.CERT_NONE
TLS.set_ciphers("HIGH:!eNULL:@SECLEVEL=0")


def telnet_lines(ports: Dict[str, int]) -> Dict[str, Any]:
    """The bare script's lines to telnet ports: plain sockets (the wire, no
    client process and no negotiation answered)."""
    return {c: (port, None) for c, port in ports.items()}


def open_bare(command: Any) -> Any:
    """A pexpect child for a line: a socket to a port on 127.0.0.1 (an int),
    a conserver console (master port, console name), or a client program
    (a command)."""
    if isinstance(command, tuple):
        return BareConserverLine(*command)
    if isinstance(command, int):
        sock = socket.create_connection(("127.0.0.1", command))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return fdpexpect.fdspawn(sock.detach(), encoding="utf-8", codec_errors="replace",
                                 use_poll=True)
    child = pexpect.spawn(command, encoding="utf-8")
    child.delaybeforesend = None
    return child


def lab_lines(lab: ServedLab) -> Dict[str, Any]:
    return telnet_lines({c: lab.port("R1", c) for c in lab.inventory["devices"]["R1"]["lines"]})


def bare_bringup(opens: Dict[str, Any], kind: str, steps: List[Any]) -> float:
    """Start every line (`opens`: console -> (command, what it shows once
    connected)), wait for each, have the conversation; seconds taken."""
    started = time.perf_counter()
    children: Dict[str, Any] = {}
    try:
        for console, (command, _) in opens.items():
            children[console] = open_bare(command)
        for console, (_, ready) in opens.items():
            if ready is not None:
                children[console].expect_exact(ready, timeout=10)
        if kind == "quad":
            for child in children.values():
                child.send("\r")
        converse(children, steps, RPR_TIMEOUT)
        return time.perf_counter() - started
    finally:
        hang_up(children)


def framework_bringup(lab: ServedLab) -> float:
    return timed_connect(lab.device_kwargs("R1", settings=SETTINGS))


def timed_connect(kwargs: Dict[str, Any], spawns: Optional[List[Any]] = None) -> float:
    dev = Device(**kwargs)
    hook = spawns.append if spawns is not None else None
    if hook:
        spawn_hooks.append(hook)
    try:
        started = time.perf_counter()
        dev.connect()
        return time.perf_counter() - started
    finally:
        if hook:
            spawn_hooks.remove(hook)
        dev.destroy()


def lines_through(server: Any, sim: Any) -> Any:
    """The lines of `sim` through `server` (started here): the framework's
    connections, and the bare script's commands."""
    if isinstance(server, Ser2net):
        ports = server.start(sim)
        return ({c: {"console": "127.0.0.1:%d" % port} for c, port in ports.items()},
                telnet_lines(ports))
    port = server.start(sim)
    return ({c: {"conserver": "%s@127.0.0.1:%d" % (c, port)} for c in sim.consoles},
            {c: ((port, c), None) for c in sim.consoles})


def through_servers(repeats: int) -> Dict[str, Any]:
    """Warm dual bring-up on the served lab, through ser2net and through
    conserver (each a simulated dual of its own), each beside the bare
    script on the same lines, in alternating rounds: {name: {"connect",
    "bare", "answer": medians, seconds; answer: the console server's
    connecting a line}}."""
    absent = [name for name, s in (("ser2net", Ser2net), ("conserver", Conserver))
              if missing(*s.PROGRAMS)]
    if absent:
        raise SystemExit("bench_warm: %s missing (scripts/install-deps.sh installs them)"
                         % ", ".join(absent))
    steps = warm_conversation("dual")
    with tempfile.TemporaryDirectory() as tmp, \
            ServedLab({"devices": {"R1": {"kind": "dual"}}}) as lab:
        servers = {"ser2net": Ser2net(Path(tmp, "s")), "conserver": Conserver(Path(tmp, "c"))}
        sims: List[Any] = []
        try:
            targets = {"served lab": (lab.device_kwargs("R1", settings=SETTINGS), lab_lines(lab))}
            for name, server in servers.items():
                server.directory.mkdir()
                sims.append(SimulatedDevice("dual").start())
                connections, opens = lines_through(server, sims[-1])
                targets[name] = (sims[-1].device_kwargs(connections=connections,
                                                        settings=SETTINGS), opens)
            figures: Dict[str, Dict[str, List[float]]] = {
                name: {"connect": [], "bare": [], "answer": []} for name in targets}
            for kwargs, opens in targets.values():  # the consoles are warm from here on
                timed_connect(kwargs)
                bare_bringup(opens, "dual", steps)
            for _ in range(repeats):
                for name, (kwargs, opens) in targets.items():
                    spawns: List[Any] = []
                    figures[name]["bare"].append(bare_bringup(opens, "dual", steps))
                    figures[name]["connect"].append(timed_connect(kwargs, spawns))
                    figures[name]["answer"] += [s.connect_time for s in spawns]
        finally:
            for server in servers.values():
                server.stop()
            for sim in sims:
                sim.stop()
    return {name: {k: statistics.median(v) for k, v in f.items()}
            for name, f in figures.items()}


def measure_kind(kind: str, repeats: int) -> Dict[str, Any]:
    if kind == "quad":
        repeats = min(repeats, QUAD_REPEATS)
    steps = warm_conversation(kind)
    with ServedLab({"devices": {"R1": {"kind": kind}}}) as lab:
        opens = lab_lines(lab)
        framework_bringup(lab)  # the consoles are warm from here on
        bare_bringup(opens, kind, steps)
        framework, bare = [], []
        for _ in range(repeats):
            bare.append(bare_bringup(opens, kind, steps))
            framework.append(framework_bringup(lab))
    return {"kind": kind, "connect": statistics.median(framework),
            "bare": statistics.median(bare), "waits": answer_test_waits(kind)}


def rows(quick: bool = False) -> list:
    from harness import Row  # bench/ is on the path when run.py imports this module

    repeats = 3 if quick else 9
    out = []
    for kind in KINDS:
        m = measure_kind(kind, repeats)
        if kind == "quad":
            beyond, bare_beyond = m["connect"] - m["waits"], m["bare"] - m["waits"]
            out.append(Row("warm consoles (served lab, console: lines)",
                           "warm quad: connect beyond its answer-test waits", beyond * 1e3, "ms",
                           "bare script beyond the same waits", bare_beyond * 1e3,
                           beyond / bare_beyond if bare_beyond > 0 else None,
                           "<= %d ms" % (QUAD_BEYOND_TARGET * 1e3),
                           beyond <= QUAD_BEYOND_TARGET,
                           note="answer-test waits %.0f ms (DETECT_RPR_TIMEOUT %.1f s), connect "
                                "%.0f ms in all" % (m["waits"] * 1e3, RPR_TIMEOUT,
                                                    m["connect"] * 1e3)))
            continue
        ratio = m["connect"] / m["bare"]
        out.append(Row("warm consoles (served lab, console: lines)",
                       "warm %s: connect" % kind, m["connect"] * 1e3, "ms",
                       "bare script", m["bare"] * 1e3, ratio,
                       "<= %.1fx bare script" % CONNECT_TARGET, ratio <= CONNECT_TARGET))
    served = through_servers(repeats)
    lab = served.pop("served lab")
    group = "warm dual through real console servers"
    out.append(Row(group, "warm dual, served lab: connect", lab["connect"] * 1e3, "ms",
                   "bare script", lab["bare"] * 1e3, lab["connect"] / lab["bare"]))
    for name, m in served.items():
        ratio = m["connect"] / lab["connect"]
        out.append(Row(group, "warm dual through %s: connect" % name, m["connect"] * 1e3, "ms",
                       "served lab", lab["connect"] * 1e3, ratio,
                       "<= %.1fx served lab" % SERVER_TARGET, ratio <= SERVER_TARGET,
                       note="bare script through %s: %.0f ms (connect / bare %.2f); %s a line "
                            "in %.0f ms (median)" % (
                                name, m["bare"] * 1e3, m["connect"] / m["bare"],
                                "telnet connected" if name == "ser2net" else
                                "attached", m["answer"] * 1e3)))
    return out


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="3 repetitions instead of 9")
    args = parser.parse_args(argv)
    result = rows(args.quick)
    for row in result:
        verdict = {True: "pass", False: "FAIL", None: ""}[row.passed]
        print("%-52s %8.1f %s  (%s %.1f, ratio %s)  %s %s" % (
            row.figure, row.value, row.unit, row.baseline, row.baseline_value,
            "-" if row.ratio is None else "%.2f" % row.ratio, row.target or "", verdict))
        if row.note:
            print("    " + row.note)
    return 0 if all(r.passed is not False for r in result) else 1


if __name__ == "__main__":
    sys.exit(main())
