"""The conserver client protocol against scripted servers on 127.0.0.1 (the
real server is tried in tests/e2e/test_console_servers_real.py)."""
import socket
import threading
import time

import pytest

from quorvi.conserver import ConserverConnection, ConserverError, ConserverSpawn


class ScriptedServer:
    """A master that greets and answers each line it reads from `answers`
    ({command word: answer}); what it read is in `heard`. Never encrypted:
    it answers "ssl" as a server without encryption does."""

    def __init__(self, answers):
        self.answers = answers
        self.heard = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with conn:
                try:
                    self.converse(conn)
                except OSError:
                    pass  # the client hung up

    def converse(self, conn):
        conn.sendall(b"ok\r\n")
        data = b""
        while True:
            chunk = conn.recv(1024)
            if not chunk:
                return
            data += chunk
            while b"\r\n" in data:
                line, _, data = data.partition(b"\r\n")
                self.heard.append(line.decode())
                answer = self.answers.get(line.decode().split(" ")[0], "unknown command")
                if answer == "<close>":
                    return
                if answer is not None:  # None: never answered
                    conn.sendall(answer.encode() + b"\r\n")

    def close(self):
        self.listener.close()


@pytest.fixture
def server(request):
    made = []

    def start(answers):
        made.append(ScriptedServer(answers))
        return made[-1]
    yield start
    for s in made:
        s.close()


@pytest.mark.parametrize("answers, user, reason", [
    ({"login": "ok", "call": "console `zz' not found"}, "ops", "not-found"),
    ({"login": "ok", "call": "zz: permission denied"}, "ops", "permission"),
    ({"login": "ok", "call": "@127.0.0.1"}, "ops", "protocol"),  # redirected round in circles
    ({"login": "access from your host refused"}, "ops", "refused"),
    ({"login": "<close>"}, "ops", "closed"),
    ({"login": "ok", "call": "4242"}, "ops\r\ncall other", "refused"),  # nothing injected
])
def test_a_refused_call_says_why(server, answers, user, reason):
    master = server(answers)
    line = ConserverConnection("127.0.0.1", master.port, "zz")
    with pytest.raises(ConserverError) as caught:
        line.attach(user, None, False, timeout=5)
    assert caught.value.reason == reason
    assert line.closed and not any("other" in heard for heard in master.heard)


def test_a_password_is_never_sent_in_clear(server):
    master = server({"login": "passwd? cs1", "call": "4242"})
    line = ConserverConnection("127.0.0.1", master.port, "zz")
    with pytest.raises(ConserverError) as caught:
        line.attach("ops", lambda: "Cs-secret-77", False, timeout=5)
    assert caught.value.reason == "refused" and caught.value.who == "ops@cs1"
    assert "not sent in clear" in caught.value.said
    assert not any("Cs-secret-77" in heard for heard in master.heard)


def test_console_output_around_an_answer_stays_with_the_line():
    ours, theirs = socket.socketpair()
    line = ConserverConnection("127.0.0.1", 1, "a")
    line.sock = ours
    try:
        theirs.sendall(b"%SYS-5-RESTART: boot\r\n[conn")
        threading.Timer(0.01, theirs.sendall, [b"ected]\r\nR1>"]).start()
        assert line.command(";", deadline=time.monotonic() + 5) == "connected"
        assert theirs.recv(10) == b"\x05c;"
        assert line.read_nonblocking(100, 1.0) == "%SYS-5-RESTART: boot\r\nR1>"
    finally:
        line.close()
        theirs.close()


def test_a_line_closed_while_it_attaches_stops_attaching(server):
    master = server({"login": "ok", "call": None})
    line = ConserverSpawn("127.0.0.1", master.port, "a", name="R1/a")
    line.begin_attach("ops", None, False, timeout=30)
    while "call a" not in master.heard:
        time.sleep(0.001)
    attaching = line._attaching
    began = time.monotonic()
    line.close()
    assert time.monotonic() - began < 5 and line.closed and not attaching.is_alive()
