"""A real OpenSSH server, started here on 127.0.0.1, reached through an ssh:
line of an inventory file by the linux plug-in."""
import os
import shutil
import socket
import subprocess
import textwrap
import time

import pytest

from quorvi.core.errors import CommandError, ConnectionError
from quorvi.inventory import load

SSHD = "/usr/sbin/sshd"
pytestmark = pytest.mark.skipif(not os.path.exists(SSHD) or not shutil.which("ssh-keygen")
                                or not shutil.which("ssh"),
                                reason="openssh-server/openssh-client not installed "
                                       "(scripts/install-deps.sh installs them)")


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture
def sshd(tmp_path):
    """sshd on a free port with a throwaway host key; yields (port, user key, dir)."""
    for name in ("host_key", "user_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(tmp_path / name)],
                       check=True)
    shutil.copy(tmp_path / "user_key.pub", tmp_path / "authorized_keys")
    (tmp_path / "sshd_config").write_text(textwrap.dedent("""\
        HostKey {d}/host_key
        AuthorizedKeysFile {d}/authorized_keys
        PidFile {d}/sshd.pid
        ListenAddress 127.0.0.1
        StrictModes no
        UsePAM no
        PermitRootLogin yes
        PasswordAuthentication no
        KbdInteractiveAuthentication no
        """).format(d=tmp_path))
    # Run as root, sshd wants its privilege separation directory.
    made_run_dir = os.geteuid() == 0 and not os.path.isdir("/run/sshd")
    if made_run_dir:
        os.makedirs("/run/sshd", mode=0o755)
    port = free_port()
    proc = subprocess.Popen([SSHD, "-D", "-f", str(tmp_path / "sshd_config"), "-p", str(port),
                             "-E", str(tmp_path / "sshd.log")])
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    pytest.fail("sshd did not start: %s" % (tmp_path / "sshd.log").read_text())
                time.sleep(0.05)
        yield port, tmp_path / "user_key", tmp_path
    finally:
        proc.terminate()
        proc.wait(10)
        if made_run_dir:
            shutil.rmtree("/run/sshd", ignore_errors=True)


def lab(directory, port, key, os_name=None, hostname=None):
    path = directory / "lab.yaml"
    extra = "".join("    %s: %s\n" % item for item in (("os", os_name), ("hostname", hostname))
                    if item[1])
    path.write_text("devices:\n  H1:\n%s    lines:\n      m:\n"
                    "        ssh: \"root@127.0.0.1:%d\"\n"
                    "        identity_file: %s\n"
                    "        ssh_options: {UserKnownHostsFile: %s/known_hosts}\n"
                    % (extra, port, key, directory))
    return path


# One test, one sshd: run as root, every sshd needs /run/sshd, which the
# fixture makes and removes; sshd fixtures on two workers at once would race on it.
def test_linux_host_over_ssh(sshd, tmp_path):
    port, key, directory = sshd
    for os_name in (None, "linux"):  # learned, then given
        check_commands(load(str(lab(directory, port, key, os_name))).device("H1"))
    check_errors(port, key, directory, tmp_path)


def check_commands(device):
    device.settings.CONNECTION_TIMEOUT = 20
    try:
        device.connect()
        con = device.default
        assert device.os == "linux" and type(con).__name__ == "LinuxConnection"
        assert con.learned_hostname == socket.gethostname()
        uname = device.execute("uname -a")
        assert uname.startswith("Linux %s " % socket.gethostname()) and "\x1b" not in uname
        assert "\n" not in uname  # no echo, no prompt
        with pytest.raises(CommandError) as failed:
            device.execute("ls /nonexistent-quorvi")
        assert failed.value.status == 2 and "No such file" in failed.value.output
        assert device.execute("sh -c 'exit 3'", check=False) == ""
        assert con.last_exit_status == 3
        assert device.execute("printf 'a\\nb\\n'") == "a\nb"
    finally:
        device.destroy()


def check_errors(port, key, directory, tmp_path):
    inventory = load(str(lab(directory, port, key, "linux")))
    # A key the server does not know: authentication fails at once (BatchMode).
    wrong_key = tmp_path / "other_key"
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(wrong_key)],
                   check=True)
    inventory["H1"].lines["m"].identity_file = str(wrong_key)
    device = inventory.device("H1")
    start = time.monotonic()
    with pytest.raises(ConnectionError, match=r"device H1, line m: ssh authentication as root "
                                              r"on 127\.0\.0\.1 failed"):
        device.connect()
    assert time.monotonic() - start < 10
    device.destroy()
    # The recorded host key no longer matches the server's.
    known = directory / "known_hosts"
    assert "ssh-ed25519" in known.read_text()  # accepted unasked on first contact
    other_host_key = tmp_path / "other_host"
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(other_host_key)],
                   check=True)
    known.write_text("[127.0.0.1]:%d %s" % (port, (tmp_path / "other_host.pub").read_text()))
    inventory["H1"].lines["m"].identity_file = str(key)
    device = inventory.device("H1")
    with pytest.raises(ConnectionError, match=r"line m: the host key of 127\.0\.0\.1 has changed"):
        device.connect()
    device.destroy()
    # Nothing listens on the port any more.
    inventory["H1"].lines["m"].target = "root@127.0.0.1:%d" % free_port()
    device = inventory.device("H1")
    with pytest.raises(ConnectionError, match=r"line m: ssh to 127\.0\.0\.1 port \d+: "
                                              r"connection refused"):
        device.connect()
    device.destroy()
