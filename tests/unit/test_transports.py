"""ssh: lines against a fake `ssh` on PATH: the options that keep the client
from asking, the password answered from the credentials, errors by cause;
the linux plug-in on a prompt with colour and bracketed-paste sequences."""
import os
import sys
import textwrap

import pytest

from quorvi.core.errors import ConnectionError
from quorvi.inventory import Line, load
from quorvi.transports import ssh_argv

FAKE_SSH = r'''
import os, sys
host = sys.argv[-1]
with open(os.environ["FAKE_SSH_ARGV"], "w") as f:
    f.write("\n".join(sys.argv[1:]))
out = sys.stdout
def say(text):
    out.write(text.replace("\n", "\r\n")); out.flush()
if host == "refused":
    say("ssh: connect to host refused port 22: Connection refused\n"); sys.exit(255)
if host == "unreachable":
    say("ssh: connect to host unreachable port 22: No route to host\n"); sys.exit(255)
if host == "changed":
    say("@@@\n@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @\n@@@\n"
        "Host key verification failed.\n"); sys.exit(255)
say("%s@%s's password: " % (sys.argv[sys.argv.index("-l") + 1], host))
if sys.stdin.readline().strip() != "pw-ok-7731":
    say("Permission denied, please try again.\n"); sys.exit(255)
prompt = "\x1b[?2004h\x1b[01;32mops@box\x1b[00m:\x1b[01;34m~\x1b[00m$ "
status = 0
say("Linux box 6.1.0\n" + prompt)
for line in sys.stdin:
    line = line.strip()
    answer = {"uname -n": "box\n", "echo $?": "%d\n" % status,
              "cat /etc/motd": "\x1b[1mhello\x1b[0m\nworld\n"}.get(line, "")
    status = 1 if line == "false" else 0
    if line.startswith("PS1="):
        prompt = line.split("'")[1]
    say("\x1b[?2004l\r" + answer + prompt)
'''


@pytest.fixture
def fake_ssh(tmp_path, monkeypatch):
    """A fake ssh first on PATH; returns a function reading the argv it got."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    script = bin_dir / "ssh"
    script.write_text("#!%s\n%s" % (sys.executable, FAKE_SSH))
    script.chmod(0o755)
    monkeypatch.setenv("PATH", "%s:%s" % (bin_dir, os.environ["PATH"]))
    monkeypatch.setenv("FAKE_SSH_ARGV", str(tmp_path / "argv"))
    monkeypatch.setenv("QV_SSH_PASSWORD", "pw-ok-7731")
    return lambda: (tmp_path / "argv").read_text().splitlines()


def device(tmp_path, host, password="env:QV_SSH_PASSWORD"):
    path = tmp_path / "lab.yaml"
    path.write_text(textwrap.dedent("""\
        devices:
          H1:
            os: linux
            timeout: 5
            credentials: {default: {username: ops, password: "%s"}}
            lines: {m: {ssh: "%s"}}
        """ % (password, host)))
    dev = load(str(path)).device("H1")
    dev.settings.EXEC_TIMEOUT = 5
    return dev


@pytest.mark.parametrize("line, username, password, expected, absent", [
    (Line("m", "ssh", "h"), None, False, ["-o BatchMode=yes"], ["-l", "-p"]),
    (Line("m", "ssh", "root@h:2222"), "ops", True, ["-p 2222", "-l root", "-o BatchMode=no"], []),
    (Line("m", "ssh", "[::1]", identity_file="/k"), "ops", True,
     ["-l ops", "-i /k", "-o BatchMode=yes"], []),
    # the line's own options come first: ssh keeps the first value it reads
    (Line("m", "ssh", "h", ssh_options={"StrictHostKeyChecking": "yes"}), None, False,
     ["-o StrictHostKeyChecking=yes"], ["StrictHostKeyChecking=accept-new"]),
])
def test_ssh_command_line_never_waits_on_a_question(line, username, password, expected, absent):
    argv = ssh_argv(line, username, password, timeout=30)
    joined = " ".join(argv)
    assert all(option in joined for option in expected + ["-o ConnectTimeout=30"]), joined
    assert argv[-1] == line.target.rpartition("@")[2].split(":2")[0].strip("[]")
    assert not any(word in argv for word in absent)


def test_password_answered_from_credentials_and_clean_output(tmp_path, fake_ssh, caplog):
    dev = device(tmp_path, "box")
    try:
        with caplog.at_level("DEBUG", logger="quorvi"):
            dev.connect()
        assert "pw-ok-7731" not in caplog.text
        assert "send '********'" in caplog.text
        assert "-l ops" in " ".join(fake_ssh()) and "BatchMode=no" in fake_ssh()
        assert dev.default.learned_hostname == "box"
        assert dev.execute("cat /etc/motd") == "hello\nworld"
        with pytest.raises(ConnectionError, match="'false' exited with status 1"):
            dev.execute("false")
    finally:
        dev.destroy()


@pytest.mark.parametrize("host, password, message", [
    ("box", "pw-bad-7731", r"device H1, line m: ssh password rejected"),
    ("refused", None, r"line m: ssh to refused port 22: connection refused; is sshd running"),
    ("unreachable", None, r"line m: ssh to unreachable port 22: No route to host; is the host"),
    ("changed", None, r"line m: the host key of changed has changed.*ssh-keygen -R changed"),
])
def test_ssh_failures_say_why(tmp_path, fake_ssh, host, password, message):
    dev = device(tmp_path, host, password or "env:QV_SSH_PASSWORD")
    try:
        with pytest.raises(ConnectionError, match=message) as raised:
            dev.connect()
        assert "7731" not in str(raised.value)
    finally:
        dev.destroy()
