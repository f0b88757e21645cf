"""`quorvi` in-process: exit statuses, one-line errors instead of tracebacks, member lines and
secrets, against simulated devices."""
import logging
import re

import pytest

from quorvi import cli, settings


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
        monkeypatch.setattr("getpass.getpass",
                            lambda prompt: prompts.append(prompt) or answers[prompt.split()[0]])
    status, out, err = run(*argv)
    assert status == 0, err
    assert "Orbix Software" in out and "send '********'" in out  # -v logs what is sent
    assert not any(s in out + err for s in secrets.values())
    assert len(prompts) == (2 if source == "prompt" else 0)
