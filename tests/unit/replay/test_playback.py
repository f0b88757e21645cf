"""The replay session on its own: typed text in, recorded answers out."""
import json

import pytest

from quorvi.replay.cassette import CassetteError, load, marker
from quorvi.replay.playback import replay_session


def drive(events, typed, relaxed=False, fast=True, sleeps=None):
    """Run a replay session on `typed` keys; (output, mismatches, done count, ended).
    `sleeps` collects the delays the session asks for."""
    out, mismatches, done = [], [], []
    steps = replay_session(events, lambda b: out.append(b.decode()), "device R1 line a",
                           fast=fast, relaxed=relaxed, report=mismatches.append,
                           done=lambda: done.append(1))
    keys = iter(typed)
    request, ended = steps.send(None), False
    try:
        while True:
            if request[0] == "sleep":
                sleeps.append((request[1], "".join(out)))
                request = steps.send(None)
                continue
            assert request[0] == "key"
            request = steps.send(next(keys, None))
    except StopIteration:
        ended = True
    return "".join(out), mismatches, len(done), ended


@pytest.mark.parametrize("fast, expected", [
    (False, [(0.5, ""), (0.25, "banner\r\nR1>\r\nR1>enable\r\n")]),
    (True, []),
])
def test_recorded_delays_come_before_their_chunks_unless_fast(fast, expected):
    events = [{"recv": "banner\r\nR1>", "after": 0.5}, {"send": "\r"}, {"recv": "\r\nR1>"},
              {"send": "enable\r"}, {"recv": "enable\r\n", "after": 0.0001},
              {"recv": "R1#", "after": 0.25}]
    sleeps = []
    output, _, _, _ = drive(events, "\renable\r", fast=fast, sleeps=sleeps)
    assert sleeps == expected and output.endswith("R1#")


BRINGUP = [{"recv": "banner\r\nR1>", "after": 0.0}, {"send": "\r"}, {"recv": "\r\nR1>"},
           {"send": "enable\r"}, {"recv": "enable\r\nPassword: "}, {"send": "<secret-1>\r"},
           {"recv": "\r\nR1#"}, {"send": "show version\r"},
           {"recv": "show version\r\nVersion 7\r\nR1#"}]


@pytest.mark.parametrize("typed, relaxed, output_has, mismatch", [
    # in order, any text where the recording has a secret
    ("\renable\rpw-now\rshow version\r", False, "Version 7", None),
    # Returns the recording lacks (a client nudging sooner) show the prompt again
    ("\r\r\renable\rpw\r\rshow version\r", False, "R1>\r\nR1>\r\nR1>enable", None),
    # a changed command: expected and received shown
    ("\renable\rpw\rshow clock\r", False, "% replay mismatch",
     "step 4: expected 'show version\\r', received 'show clock\\r'"),
    # more than was recorded
    ("\renable\rpw\rshow version\rexit\r", False, "Version 7",
     "expected nothing more (the recording of this line ends here), received 'exit\\r'"),
    # relaxed: repeated and reordered commands take the recorded answers
    ("\renable\rpw\rshow version\rshow version\r\r", True, "Version 7\r\nR1#\r\nR1>", None),
    ("\renable\rpw\rshow clock\r", True, "% replay mismatch",
     "expected one of '\\r', 'enable\\r', 'show version\\r', received 'show clock\\r'"),
])
def test_replay_answers_recorded_text_and_names_mismatches(typed, relaxed, output_has, mismatch):
    output, mismatches, _, ended = drive(BRINGUP, typed, relaxed)
    assert output_has in output
    if mismatch is None:
        assert mismatches == []
    else:
        assert len(mismatches) == 1 and mismatch in mismatches[0]
        assert ended


def test_secret_typed_shows_where_recording_shows_marker():
    events = [{"send": "<secret-2>\r"}, {"recv": "<secret-2>\r\nPassword: "},
              {"send": "<secret-1>\r"}, {"recv": "\r\nwelcome <secret-2>\r\n"}]
    output, mismatches, done, _ = drive(events, "ops\rhidden\r")
    assert output == "ops\r\nPassword: \r\nwelcome ops\r\n" and not mismatches and done == 1


@pytest.mark.parametrize("events, typed, done, ended", [
    ([], "\r\r", 1, True),                                   # a silent line stays silent
    ([{"send": "x\r"}, {"recv": "bye"}, {"eof": True}], "x\r", 1, True),
    ([{"send": " "}, {"recv": "page"}], "q", 0, True),       # a single key, differently
])
def test_line_ends(events, typed, done, ended):
    output, mismatches, finished, stopped = drive(events, typed)
    assert (finished, stopped) == (done, ended)
    if events == []:
        assert "% replay mismatch" in output  # silent, until something is sent too much
    if typed == "q":
        assert "expected ' ', received 'q'" in mismatches[0]


@pytest.mark.parametrize("records, message", [
    ([], "not a quorvi cassette"),
    ([{"cassette": 1, "device": {"lines": {"a": {}}}}, {"line": "b", "send": "x"}],
     "event of line 'b', which the device does not list (its lines: a)"),
    ([{"cassette": 1, "device": {"lines": {"a": {}}}}, {"line": "a", "what": 1}],
     "an event has"),
    (["{not json"], ":1: not a JSON record"),
    ([{"cassette": 1, "device": {}}, b'{"line": "a", "recv": "\xff"}'],
     "c.jsonl:2: not UTF-8 text (byte 0xff at column 24)"),
])
def test_bad_cassettes_are_named(tmp_path, records, message):
    path = tmp_path / "c.jsonl"
    path.write_bytes(b"\n".join(r if isinstance(r, bytes) else
                                (r if isinstance(r, str) else json.dumps(r)).encode()
                                for r in records))
    with pytest.raises(CassetteError, match=None) as info:
        load(str(path))
    assert message in str(info.value)


class FakeDevice:
    name, os, platform, model, chassis_type, hostname = "R1", "orbix", None, None, "single_rp", "R1"
    learn_os = learn_hostname = False
    connections = {"a": {"command": "x"}}
    credentials = {"default": {"username": "ops", "password": "pw-one"}}


@pytest.mark.parametrize("prompt, sent, secret", [
    ("\r\nPassword: ", "hunter22\r", True),
    ("Enter passphrase for key: ", "long phrase\r", True),
    ("\r\nR1>", "hunter22\r", False),
])
def test_recorder_takes_answers_to_password_prompts_as_secrets(tmp_path, prompt, sent, secret):
    from quorvi.replay.recorder import LineRecorder, Recorder

    recorder = Recorder(str(tmp_path / "c.jsonl"), FakeDevice())
    line = LineRecorder(recorder, "a")
    line.received("ops logged in " + prompt)
    line.sent(sent)
    line.received(sent.replace("\r", "\r\n"))
    recorder.save()
    data = (tmp_path / "c.jsonl").read_text()
    assert "pw-one" not in data and "ops logged" in data  # a user name is shown
    assert (sent.rstrip("\r") in data) is not secret


def test_a_secret_received_in_pieces_is_moved_whole_and_replaced():
    from quorvi.replay.recorder import redact_session
    from quorvi.secrets import Masker

    events = [{"send": "show run\r"}, {"recv": "password pw-", "after": 0.1},
              {"recv": "en", "after": 0.2}, {"recv": "able\r\nR1#", "after": 0.3},
              {"send": "pw-enable\r"}, {"recv": "pw-", "after": 0.1}, {"eof": True}]
    assert redact_session(events, Masker(["pw-enable"], marker)) == [
        {"send": "show run\r"}, {"recv": "password ", "after": 0.1},
        {"recv": "<secret-1>\r\nR1#", "after": 0.5}, {"send": "<secret-1>\r"},
        {"recv": "pw-", "after": 0.1}, {"eof": True}]  # held back, never past the next event
