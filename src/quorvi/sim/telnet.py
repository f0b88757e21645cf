"""The telnet side of a console server port: option negotiation, and the
byte stream both ways.

The server offers to echo and to suppress go-ahead (a client then sends each
key as typed and stops echoing itself), refuses every other option, and
answers only changes of state, so a negotiation never loops. The device
behind the port echoes what it receives whatever the client agreed to, as a
serial line does."""
from typing import Dict, List, Tuple

from ..telnet import DO, DONT, ECHO, IAC, SGA, WILL, WONT, TelnetStream

OFFERED: Tuple[int, ...] = (ECHO, SGA)  # what the server does itself
ACCEPTED: Tuple[int, ...] = (SGA,)      # what it lets the client do
ASKED = "asked"        # an option we requested, answer pending


class TelnetCodec(TelnetStream):
    """Decodes what a client sends into keys (every line end becomes "\\r")
    and the negotiation replies owed; encodes device output."""

    __slots__ = ("ours", "theirs", "after_cr")

    def __init__(self) -> None:
        super().__init__()
        self.ours: Dict[int, object] = {}    # option -> enabled on our side
        self.theirs: Dict[int, object] = {}  # option -> enabled on the client's side
        self.after_cr = False

    def greeting(self) -> bytes:
        self.ours.update((option, ASKED) for option in OFFERED)
        self.theirs.update((option, ASKED) for option in ACCEPTED)
        return bytes([IAC, WILL, ECHO, IAC, WILL, SGA, IAC, DO, SGA])

    def decode(self, data: bytes) -> Tuple[str, bytes]:
        keys: List[str] = []
        replies = self.parse(data, keys)
        return "".join(keys), replies

    def take(self, byte: int, keys: list) -> None:
        self.key(byte, keys)

    def key(self, byte: int, keys: list) -> None:
        # CR LF, CR NUL, CR and LF alone: one Return each.
        if self.after_cr and byte in (0, 10):
            self.after_cr = False
            return
        self.after_cr = byte == 13
        keys.append("\r" if byte == 10 else chr(byte))

    def negotiate(self, command: int, option: int) -> bytes:
        if command in (DO, DONT):
            table, allowed, yes, no = self.ours, OFFERED, WILL, WONT
        else:
            table, allowed, yes, no = self.theirs, ACCEPTED, DO, DONT
        wanted = command in (DO, WILL)
        state = table.get(option, False)
        if state == ASKED:  # the answer to our own request: no reply
            table[option] = wanted and option in allowed
            return b""
        if wanted == state:
            return b""
        if wanted and option not in allowed:
            return bytes([IAC, no, option])
        table[option] = wanted
        return bytes([IAC, yes if wanted else no, option])


def encode(data: bytes) -> bytes:
    """Device output on the wire: line feeds as CR LF (a terminal's output
    processing), IAC doubled."""
    if b"\n" in data:
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    if b"\xff" in data:
        data = data.replace(b"\xff", b"\xff\xff")
    return data
