"""`quorvi` in-process: exit statuses, one-line errors instead of tracebacks, member lines and
secrets, against simulated devices."""
import json
import logging
import os
import re
import subprocess
import sys

import pytest

from quorvi import cli, settings
from quorvi.replay.cassette import load

from .conftest import write_inventory


@pytest.fixture
def run(capsys, monkeypatch):
    """run(*argv) -> (exit status, stdout, stderr); the CLI's logging set-up is undone after."""
    for name in cli.SECRET_ENVIRONMENT.values():
        monkeypatch.delenv(name, raising=False)
    logger = logging.getLogger("quorvi")
    saved = logger.handlers[:], logger.level, logger.propagate

    def call(*argv):
        status = cli.main(list(argv))
        out, err = capsys.readouterr()
        return status, out, err

    yield call
    logger.handlers[:], logger.level, logger.propagate = saved


def line(simulated, console, member=None):
    return "%s%s=%s" % (console, "" if member is None else "@%d" % member,
                        simulated.command(console))


@pytest.mark.parametrize("argv, expected", [
    (["connect", "--timeout", "nan", "--", "true"], "usage: quorvi connect.*argument --timeout"),
    (["connect", "--timeout", "inf", "--", "true"], "argument --timeout: 'inf'"),
    (["connect", "--timeout", "-5", "--", "true"], "argument --timeout: '-5'"),
    (["demo", "--delay", "-1"], "usage: quorvi demo.*argument --delay"),
    (["connect", "--bogus"], "usage: quorvi connect.*unrecognized arguments: --bogus"),
    (["connect", "--chassis", "quad", "--line", "m1a=true", "--line", "m2a@2=true"],
     "needs the member number of every line; line 'm1a' has none.*hint: .*ALIAS@MEMBER"),
    (["connect", "--chassis", "stack", "--line", "s1@1=true", "--line", "s2@1=true"],
     "stack lines 's1' and 's2' both have member number 1"),
    (["connect", "--line", "a@x=true"], "member number must be 1 to 9"),
    (["connect", "--os", "nosuchos", "--", "true"], "error: quorvi connect: .*nosuchos.*quorvi plugins"),
    (["connect", "--os", "orbix", "--platform", "TS5K", "--", "true"], "error: quorvi connect: .*TS5K"),
    (["connect", "--os", "linux", "--chassis", "dual_rp", "--line", "a=true", "--line", "b=true"],
     "error: quorvi connect: .*linux.*dual_rp"),
    (["connect", "--inventory", "lab.yaml", "R1", "--chassis", "quad"],
     "--inventory takes the device's lines and chassis from the file.*hint: .*--enable-password "
     "override the file"),
    (["run", "--inventory", "lab.yaml", "--connect-only", "--timeout", "nan"],
     "argument --timeout: 'nan': give a finite number of seconds above 0"),
    (["run", "--inventory", "lab.yaml", "--connect-only", "--workers", "-1"],
     "argument --workers: '-1': give a whole number of 1 or more"),
    (["run", "--inventory", "lab.yaml", "--connect-only", "--concurrency", "0"],
     "argument --concurrency: '0': give a whole number of 1 or more"),
    (["sim", "serve", "--devices", "-1"], "argument --devices: '-1': give a whole number of 0 or more"),
    (["sim", "serve", "--port-base", "0"], "argument --port-base: '0': give a whole number of 1 to 65535"),
    (["sim", "replay", "c.jsonl", "--tcp", "--port-base", "65536"], "argument --port-base: '65536'"),
    (["sim", "serve", "--delay", "-1"], "argument --delay: '-1': give a finite number of seconds of 0"),
])
def test_usage_errors_exit_2_with_the_subcommands_usage_and_no_traceback(run, argv, expected):
    status, _, err = run(*argv)
    assert status == 2
    assert "Traceback" not in err
    assert re.search(expected, err, re.S), err


@pytest.mark.parametrize("verbose", [False, True])
def test_failed_os_learning_says_what_was_tried_and_answered(run, sim, verbose):
    simulated = sim("single", os="zephyrix")
    status, _, err = run("connect", *(["-v"] if verbose else []), "--line", line(simulated, "a"))
    assert status == 1
    error = [text for text in err.splitlines() if text.startswith("error: ")]
    assert len(error) == 1 and "Failed to learn device os" in error[0]
    assert "'show version' on line a answered" in error[0] and "zephyrix, Version" in error[0]
    assert "hint: pass --os" in err
    assert ("Traceback" in err) == verbose


def test_a_rejected_command_is_reported_and_the_next_ones_still_run(run, sim):
    simulated = sim("single")
    status, out, err = run("connect", "--os", "orbix", "--hostname", "R1",
                           "--line", line(simulated, "a"),
                           "--execute", "show bogus", "--execute", "show version")
    assert status == 1
    assert "Orbix Software" in out
    assert "'show bogus' failed: % Invalid input" in err and "Traceback" not in err
    assert simulated.commands_received("a")[-2:] == ["show bogus", "show version"]


def test_ctrl_c_exits_130_without_traceback(run, sim, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr("quorvi.device.Device.connect", interrupted)
    status, _, err = run("connect", "--os", "orbix", "--", "true")
    assert (status, err) == (130, "error: interrupted\n")


@pytest.mark.slow
def test_quad_connects_with_member_numbered_lines_given_in_any_order(run, sim, monkeypatch):
    monkeypatch.setitem(settings.DEFAULTS, "DETECT_RPR_TIMEOUT", 0.3)
    simulated = sim("quad", active_member=2)
    lines = [line(simulated, c, int(c[1])) for c in ("m2b", "m1a", "m2a", "m1b")]
    status, out, err = run("connect", "--chassis", "quad", "--os", "orbix", "--hostname", "R1",
                           *[arg for item in lines for arg in ("--line", item)])
    assert status == 0, err
    assert re.search(r"active handle\s+m2a", out)
    assert re.search(r"standby ICS handle\s+m1b", out)


@pytest.mark.parametrize("source", ["environment", "prompt"])
def test_passwords_from_environment_or_prompt_are_used_and_never_shown(run, sim, monkeypatch,
                                                                       source):
    secrets = {"enable_password": "en-S3cret", "password": "login-S3cret"}
    simulated = sim("single", enable_password=secrets["enable_password"],
                    login={"username": "ops", "password": secrets["password"]})
    argv = ["connect", "-v", "--os", "orbix", "--hostname", "R1", "--username", "ops",
            "--line", line(simulated, "a"), "--execute", "show version"]
    prompts = []
    if source == "environment":
        for option, value in secrets.items():
            monkeypatch.setenv(cli.SECRET_ENVIRONMENT[option], value)
    else:
        argv += ["--password", "-", "--enable-password", "-"]
        answers = {"Enable": secrets["enable_password"], "Password": secrets["password"]}
        monkeypatch.setattr("quorvi.cli.connect.has_terminal", lambda: True)
        monkeypatch.setattr("getpass.getpass",
                            lambda prompt: prompts.append(prompt) or answers[prompt.split()[0]])
    status, out, err = run(*argv)
    assert status == 0, err
    assert "Orbix Software" in out and "send '********'" in out  # -v logs what is sent
    assert not any(s in out + err for s in secrets.values())
    assert len(prompts) == (2 if source == "prompt" else 0)


@pytest.mark.parametrize("argv, option, problem", [
    (["run", "--inventory", "lab.yaml", "--connect-only", "--results", "{dir}"], "--results",
     "'{dir}' is a folder; give a file name"),
    (["run", "--inventory", "lab.yaml", "--connect-only", "--results", "{missing}/r.jsonl"],
     "--results", "'{missing}/r.jsonl': the folder {missing} does not exist"),
    (["run", "--inventory", "lab.yaml", "--connect-only", "--logs", "{file}"], "--logs",
     "'{file}' is a file; give a folder"),
    (["run", "--inventory", "lab.yaml", "--connect-only", "--record", "{missing}/rec"], "--record",
     "'{missing}/rec': the folder {missing} does not exist"),
    (["connect", "--record", "{dir}", "--", "true"], "--record", "'{dir}' is a folder"),
    (["connect", "--inventory", "lab.yaml", "R1", "--record", "{missing}/r1.jsonl"], "--record",
     "'{missing}/r1.jsonl': the folder {missing} does not exist"),
    (["sim", "serve", "--devices", "1", "--inventory-out", "{missing}/lab.yaml"],
     "--inventory-out", "'{missing}/lab.yaml': the folder {missing} does not exist"),
    (["sim", "replay", "c.jsonl", "--tcp", "--inventory-out", "{dir}"], "--inventory-out",
     "'{dir}' is a folder"),
])
def test_unusable_output_paths_are_refused_before_anything_starts(run, tmp_path, argv, option,
                                                                  problem):
    paths = {"dir": str(tmp_path), "file": str(tmp_path / "file"),
             "missing": str(tmp_path / "nodir")}
    (tmp_path / "file").write_text("kept")
    status, out, err = run(*[arg.format(**paths) for arg in argv])
    assert status == 2 and out == ""
    assert "argument %s: %s" % (option, problem.format(**paths)) in err
    assert sorted(os.listdir(tmp_path)) == ["file"] and (tmp_path / "file").read_text() == "kept"


@pytest.mark.parametrize("inventory", [False, True])
def test_connect_record_writes_the_cassette_with_or_without_an_inventory(run, sim, tmp_path,
                                                                         inventory):
    simulated = sim("single")
    cassette = tmp_path / "r1.jsonl"
    if inventory:
        path = write_inventory(tmp_path / "lab.json", [simulated.device_kwargs(name="R1")])
        where = ["--inventory", str(path), "R1"]
    else:
        where = ["--os", "orbix", "--hostname", "R1", "--line", line(simulated, "a")]
    status, out, err = run("connect", *where, "--record", str(cassette), "--execute", "show version")
    assert status == 0, err
    sent = [event["send"] for session in load(str(cassette)).lines["a"] for event in session
            if "send" in event]
    assert "show version\r" in sent


@pytest.mark.parametrize("kind", ["single", "dual"])
@pytest.mark.parametrize("given, status, expected", [
    ("right", 0, r"os / platform\s+orbix / -"),
    ("wrong", 1, r"error: enable password rejected on R1/a$"),
])
def test_connect_options_override_the_inventory_for_the_run(run, sim, tmp_path, monkeypatch, kind,
                                                            given, status, expected):
    monkeypatch.delenv("QV_UNSET_ENABLE", raising=False)
    simulated = sim(kind, enable_password="right")
    described = simulated.device_kwargs(name="R1", os="generic", platform=None,
                                        credentials={"enable": {"password": "env:QV_UNSET_ENABLE"}})
    path = write_inventory(tmp_path / "lab.json", [described])
    got, out, err = run("connect", "--inventory", str(path), "R1", "--os", "orbix",
                        "--enable-password", given)
    assert got == status, err
    assert re.search(expected, out + err, re.M)
    assert "QV_UNSET_ENABLE" not in err and "Traceback" not in err


@pytest.mark.parametrize("commands, status", [
    (["show version", "show clock"], 0),
    (["show version", "show bogus", "show clock"], 1),
])
def test_run_executes_every_repeated_execute_in_order(run, sim, tmp_path, commands, status):
    simulated = sim("single")
    path = write_inventory(tmp_path / "lab.json", [simulated.device_kwargs(name="R1")])
    results = tmp_path / "out.jsonl"
    argv = [arg for command in commands for arg in ("--execute", command)]
    got, _, err = run("run", "--inventory", str(path), "--results", str(results), *argv)
    assert got == status, err
    [result] = [json.loads(text) for text in results.read_text().splitlines()]
    received = [c for c in simulated.commands_received("a") if c.startswith("show")]
    if status == 0:
        assert received == commands and list(result["outputs"]) == commands
        assert "Orbix Software" in result["outputs"]["show version"]
    else:  # the failing command ends the task; what ran before it is kept
        assert received == commands[:2] and list(result["outputs"]) == ["show version"]
        assert "show bogus" in result["error"]


@pytest.mark.parametrize("content, filters, message", [
    ('{"devices": {"R1": {"lines": {"a": {"command": "true"}}}}}', ["name=R9", "group=core"],
     "error: no device of {path} matches --filter name=R9 --filter group=core"),
    ('{"devices": {}}', [], "error: {path}:1:13: devices: no devices"),
])
def test_run_says_what_was_empty(run, tmp_path, content, filters, message):
    path = tmp_path / "lab.json"
    path.write_text(content)
    status, out, err = run("run", "--inventory", str(path), "--connect-only",
                           *[arg for item in filters for arg in ("--filter", item)])
    assert (status, out) == (2, "")
    assert err.startswith(message.format(path=path)), err


@pytest.mark.parametrize("tcp", [False, True])
@pytest.mark.parametrize("content, problem", [
    (b'{"cassette": 1, "device": {}}\n{"line": "a", "recv": "\xff"}\n',
     ":2: not UTF-8 text (byte 0xff"),
    (b"not json\n", ":1: "),
])
def test_broken_cassette_is_a_usage_error_naming_the_file(run, tmp_path, tcp, content, problem):
    cassette = tmp_path / "c.jsonl"
    cassette.write_bytes(content)
    status, out, err = run("sim", "replay", str(cassette), *(["--tcp"] if tcp else []))
    assert (status, out) == (2, "")
    assert err.startswith("error: quorvi sim replay: %s%s" % (cassette, problem)), err


PROMPTED = "devices:\n  R1:\n    credentials: {enable: {password: prompt}}\n" \
           "    lines: {a: {command: %s}}\n"


@pytest.mark.parametrize("argv, message", [
    (["connect", "--os", "orbix", "--password", "-", "--username", "ops", "--line", "{line}"],
     "error: quorvi connect: --password -: there is no terminal to type the password on\n"
     "hint: set QUORVI_PASSWORD instead\n"),
    (["connect", "--inventory", "{inventory}", "R1"],
     "error: device R1, credential 'enable': asks for a password on the terminal but there "
     "is none; use env:NAME or file:PATH instead\n"),
    (["run", "--inventory", "{inventory}", "--connect-only"],
     "error: device R1, credential 'enable': asks for a password on the terminal"),
])
def test_a_password_to_type_without_a_terminal_is_refused_before_asking(sim, tmp_path, argv,
                                                                        message):
    simulated = sim("single", enable_password="right")
    inventory = tmp_path / "lab.yaml"
    inventory.write_text(PROMPTED % json.dumps(simulated.command("a")))
    argv = [a.format(line=line(simulated, "a"), inventory=inventory) for a in argv]
    # A session of its own has no terminal; stdin is not one either.
    done = subprocess.run([sys.executable, "-m", "quorvi"] + argv, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, start_new_session=True,
                          timeout=60)
    assert done.returncode in (1, 2)
    assert done.stderr.endswith(message) if message.endswith("\n") else message in done.stderr
    assert "Warning" not in done.stderr and "echo" not in done.stderr, done.stderr
