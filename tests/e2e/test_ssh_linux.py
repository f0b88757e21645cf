"""A real OpenSSH server, started here on 127.0.0.1, reached through an ssh:
line of an inventory file by the linux plug-in."""
import os
import shutil
import socket
import subprocess
import time

import pytest

from quorvi.core.errors import CommandError, ConnectionError
from quorvi.inventory import load

from .conftest import SSHD, free_port
from .conftest import ssh_lab as lab

pytestmark = pytest.mark.skipif(not os.path.exists(SSHD) or not shutil.which("ssh-keygen")
                                or not shutil.which("ssh"),
                                reason="openssh-server/openssh-client not installed "
                                       "(scripts/install-deps.sh installs them)")


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
