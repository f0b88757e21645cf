"""The console-server telnet client: what it answers, what it passes on, what
it puts on the wire, and how a connection starts and ends."""
import socket
import threading
import time
import types

import pexpect
import pytest

from quorvi import telnet
from quorvi.telnet import (BINARY, DO, DONT, ECHO, IAC, SB, SE, SGA, WILL, WONT, TelnetCodec,
                           TelnetConnection, TelnetSpawn, watch_connects)

NAWS, TTYPE = 31, 24


@pytest.mark.parametrize("received, replies", [
    # What the server may do is accepted; what the client is asked to do, if
    # it does it; everything else refused.
    ([WILL, ECHO], [DO, ECHO]),
    ([WILL, SGA], [DO, SGA]),
    ([DO, SGA], [WILL, SGA]),
    ([DO, BINARY], [WILL, BINARY]),
    ([DO, TTYPE], [WONT, TTYPE]),
    ([WILL, NAWS], [DONT, NAWS]),
    ([DO, ECHO], [WONT, ECHO]),   # the client never echoes
    ([DONT, ECHO], []),           # already off: no answer
    ([WONT, SGA], []),
])
def test_negotiation_answers_each_request_once(received, replies):
    codec = TelnetCodec()
    data, answer = codec.decode(bytes([IAC] + received))
    assert (data, answer) == (b"", bytes([IAC] + replies) if replies else b"")
    if replies and replies[0] in (DO, WILL):
        # Asked again for the state it is in: no reply, so it never loops.
        assert codec.decode(bytes([IAC] + received)) == (b"", b"")
        # Switched off by the server: acknowledged once.
        off = DONT if received[0] == DO else WONT
        assert codec.decode(bytes([IAC, off, received[1]]))[1] == \
            bytes([IAC, WONT if off == DONT else DONT, received[1]])


@pytest.mark.parametrize("chunks, data", [
    ([b"R1#"], b"R1#"),
    ([b"a\xff\xffb"], b"a\xffb"),                                # a doubled IAC is one 0xFF
    ([b"a", bytes([IAC, SB, NAWS, 0, 80, IAC, SE]), b"b"], b"ab"),  # subnegotiation dropped
    ([b"a\xff", bytes([WILL, ECHO]) + b"b"], b"ab"),              # a command split across reads
    ([b"x\r\0y"], b"x\ry"),                                      # CR NUL is a bare CR
    ([b"x\r", b"\0y"], b"x\ry"),                                 # ... split across reads
    ([b"\0x\r\ny"], b"\0x\r\ny"),                                # NUL alone and CR LF kept
])
def test_decode_passes_the_data_and_only_the_data(chunks, data):
    codec = TelnetCodec()
    assert b"".join(codec.decode(chunk)[0] for chunk in chunks) == data


@pytest.mark.parametrize("negotiated, wire", [
    ([], b"show clock\r\n"),              # line mode: CR LF, as telnet sends
    ([WILL, ECHO], b"show clock\r\0"),    # character mode: CR NUL
    ([DO, BINARY], b"show clock\r"),       # binary: as it is
])
def test_encode_sends_a_return_as_a_telnet_program_does(negotiated, wire):
    codec = TelnetCodec()
    if negotiated:
        codec.decode(bytes([IAC] + negotiated))
    assert codec.encode("show clock\r") == wire


@pytest.fixture
def server():
    """A port that greets with a negotiation and a screen, and then does
    whatever the test tells it through the accepted socket."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    accepted = []

    def accept():
        conn, _ = listener.accept()
        conn.sendall(bytes([IAC, WILL, ECHO, IAC, WILL, SGA]) + b"\r\n--More-- ")
        accepted.append(conn)

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    yield listener.getsockname()[1], accepted, thread
    for conn in accepted:
        conn.close()
    listener.close()


def test_a_connection_takes_in_the_greeting_and_ends_when_the_server_closes(server):
    port, accepted, thread = server
    line = TelnetConnection("127.0.0.1", port)
    assert line.finish_connect(5) is None
    thread.join(5)
    # The screen shown with the negotiation is there before anything is typed.
    assert line.greeting(5) == "\r\n--More-- "
    replies = accepted[0].recv(100)
    assert replies == bytes([IAC, DO, ECHO, IAC, DO, SGA])
    line.send("q")
    assert accepted[0].recv(100) == b"q"
    with pytest.raises(pexpect.TIMEOUT):
        line.read_nonblocking(100, 0.01)
    accepted[0].close()
    with pytest.raises(pexpect.EOF):
        line.read_nonblocking(100, 5)
    line.close()
    assert line.closed


def test_hang_up_from_another_thread_ends_a_read_at_once(server):
    port, _, thread = server
    line = TelnetConnection("127.0.0.1", port)
    assert line.finish_connect(5) is None
    line.read_nonblocking(100, 1)
    threading.Timer(0.1, line.hang_up).start()
    began = time.monotonic()
    with pytest.raises(pexpect.EOF):
        line.read_nonblocking(100, 10)
    assert time.monotonic() - began < 5
    line.close()


def test_a_refused_port_says_so():
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
        line = TelnetConnection("127.0.0.1", port)
        assert line.finish_connect(5) == "Connection refused"
    assert line.closed


def test_a_line_waited_for_after_another_keeps_its_own_connect_time(monkeypatch):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)  # the backlog accepts both lines; the server never speaks
    port = listener.getsockname()[1]
    lines = [TelnetSpawn("127.0.0.1", port, name="R1/%s" % c) for c in "ab"]
    try:
        watch_connects(lines, 5.0)
        # A second goes by on the first line before the second is waited for.
        later = types.SimpleNamespace(monotonic=lambda: time.monotonic() + 1.0)
        monkeypatch.setattr(telnet, "time", later)
        assert lines[1].wait_connected(5.0) is None
        assert lines[1]._child.connect_time < 0.5
    finally:
        for line in lines:
            line.close()
        listener.close()
