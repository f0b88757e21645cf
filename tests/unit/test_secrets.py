"""One secret policy: the same values hidden in the command line's output,
a session log, a line's debug log and a cassette."""
import json
import logging
import shlex

import pytest

from quorvi import cli
from quorvi.cli.common import configure_logging
from quorvi.device import Device
from quorvi.fleet.logs import DeviceLogs
from quorvi.replay.cassette import load, marker
from quorvi.secrets import Masker, secrets_of

USER, PASSWORD, ENABLE = "op-user", "L0gin-pw", "En-pw-7"
CREDENTIALS = {"default": {"username": USER, "password": PASSWORD},
               "enable": {"password": ENABLE}}
# What the device echoes: every credential, the enable password split
# between two reads.
FIRST = "user %s pw %s enable En-p" % (USER, PASSWORD)
SECOND = "w-7 again %s\r\nR1# " % PASSWORD


@pytest.fixture
def cli_logging():
    """The command line's logging set up, and put back afterwards."""
    root = logging.getLogger("quorvi")
    saved = root.handlers[:], root.level, root.propagate
    yield
    root.handlers[:], root.level, root.propagate = saved[0], saved[1], saved[2]


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


def test_every_output_hides_the_same_values(tmp_path, capsys, cli_logging):
    flag, first, second = tmp_path / "go", tmp_path / "first", tmp_path / "second"
    first.write_text(FIRST)
    second.write_text(SECOND)
    device_program = "cat %s; while [ ! -e %s ]; do sleep 0.01; done; cat %s" % tuple(
        shlex.quote(str(path)) for path in (first, flag, second))
    cassette = tmp_path / "R1.jsonl"
    dev = Device("R1", os="generic", credentials=CREDENTIALS, record=str(cassette),
                 connections={"a": {"command": "sh -c %s" % shlex.quote(device_program)}})
    con = dev.connection_class()(dev)
    debug_log = Records()
    con.log.addHandler(debug_log)
    configure_logging(True, secrets_of(CREDENTIALS))
    spawn = con._open_spawn("a")  # hides the device's secrets, attaches the recorder
    logs = DeviceLogs(str(tmp_path / "logs"), "R1", Masker(secrets_of(CREDENTIALS)))
    logs.attach(spawn, "a")
    try:
        spawn.expect("En-p", timeout=10)  # the first read, the secret's start
        flag.touch()
        spawn.expect("R1# ", timeout=10)
        cli._report("R1/a: %s" % spawn.last_words(), None, secrets_of(CREDENTIALS))
    finally:
        spawn.close()
        logs.close()
        dev.recorder.stop()
        con.log.removeHandler(debug_log)
    out, err = capsys.readouterr()
    session_log = "".join(json.loads(line.split(" ", 2)[2])
                          for line in open(tmp_path / "logs" / "R1.a.log"))
    outputs = {"command line": out + err, "debug log": "\n".join(debug_log.messages),
               "session log": session_log, "cassette": cassette.read_text()}
    for name, text in outputs.items():
        assert "again" in text, name  # the second read is there
        shown = [value for value in (USER, PASSWORD, ENABLE, "En-p", "w-7") if value in text]
        assert shown == [USER], name
    assert "pw ******** enable ******** again" in session_log
    received = load(str(cassette)).transcript()["a"][1]
    assert "pw %s enable %s again" % (marker(1), marker(2)) in received


@pytest.mark.parametrize("replacement, text, secrets, expected", [
    (marker, "user ops pw s3cret", ["ops", "s3cret"], "user <secret-1> pw <secret-2>"),
    (marker, "abcdef", ["abc", "abcdef"], "<secret-2>"),  # the longer one whole
    ("*", "pw %r a\\b" % "a\\b", ["a\\b"], "pw '*' *"),  # also as repr() shows it
    ("*", "nothing here", ["", None, "x y"], "nothing here"),
])
def test_masker_replaces_each_secret_whole(replacement, text, secrets, expected):
    assert Masker(secrets, replacement)(text) == expected


@pytest.mark.parametrize("reads, shown", [
    (["pw ab", "cd, ab", "!"], ["pw ", "********, ", "********!"]),  # "ab" may begin "abcd"
    (["xy", "z q"], ["", "******** q"]),
    (["a", "b"], ["", ""]),  # held until the end of the stream
])
def test_a_stream_holds_back_what_may_begin_a_secret(reads, shown):
    stream = Masker(["ab", "abcd", "xyz"]).stream()
    assert [stream.feed(text) for text in reads] == shown
    assert "".join(shown) + stream.flush() == Masker(["ab", "abcd", "xyz"])("".join(reads))


def test_user_names_are_shown_every_other_credential_value_hidden():
    credentials = {"default": {"username": "ops", "password": "pw"},
                   "enable": {"password": "pw-enable"}, "key": {"user": "k", "passphrase": 7}}
    assert secrets_of(credentials, {"enable_password": "opt"}, ["sent"]) == [
        "pw-enable", "sent", "opt", "pw", "7"]
