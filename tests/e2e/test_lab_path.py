"""A user's whole path on a served lab: `quorvi sim serve` writes the
inventory, `quorvi inventory check` accepts it, `quorvi connect --inventory`
reaches each chassis kind and `quorvi run` drives the fleet, with the enable
password read from the environment and never shown anywhere."""
import json
import os
import shutil
import subprocess
import sys

import pytest
import yaml

from quorvi import credentials
from quorvi.fleet import EngineError, Fleet, Task

QUORVI = [sys.executable, "-m", "quorvi"]
PASSWORD = "Vq9-enable-Kx"
LAB = {"devices": {
    "S1": {"kind": "single"},
    "S2": {"kind": "single"},
    "D1": {"kind": "dual", "active": "b"},
    "D2": {"kind": "dual"},
    "K1": {"kind": "stack", "active": 2, "standby": 3},
    "Q1": {"kind": "quad", "active_member": 2},
}}
ROLES = {
    "S1": {"a": "active"},
    "S2": {"a": "active"},
    "D1": {"a": "standby", "b": "active"},
    "D2": {"a": "active", "b": "standby"},
    "K1": {"m1": "member", "m2": "active", "m3": "standby"},
    "Q1": {"m1a": "standby", "m1b": "standby ICS", "m2a": "active", "m2b": "active ICS"},
}

pytestmark = pytest.mark.skipif(shutil.which("telnet") is None,
                                reason="Debian package telnet (inetutils-telnet) is not "
                                       "installed: run scripts/install-deps.sh")


@pytest.fixture
def lab_file(served_lab, tmp_path):
    """A lab served by `quorvi sim serve` (its own process) and its inventory
    as a user keeps it: the enable password replaced by env:QV_TEST_ENABLE."""
    lab = served_lab(LAB, process=True, defaults={"enable_password": PASSWORD})
    with open(os.path.join(lab.directory, "inventory.yaml")) as f:
        text = f.read()
    assert PASSWORD in text  # the served inventory names it; the user's file does not
    path = tmp_path / "lab.yaml"
    path.write_text(text.replace(PASSWORD, "env:QV_TEST_ENABLE"))
    return lab, path


def quorvi(*args, env_password=True):
    env = dict(os.environ)
    env.pop("QV_TEST_ENABLE", None)
    if env_password:
        env["QV_TEST_ENABLE"] = PASSWORD
    return subprocess.run(QUORVI + list(args), capture_output=True, text=True, timeout=120,
                          env=env)


@pytest.mark.slow
def test_serve_check_connect_and_run_a_lab_without_showing_its_secret(lab_file, tmp_path):
    lab, path = lab_file
    seen = []  # every text a user can see

    done = quorvi("inventory", "check", str(path))
    seen += [done.stdout, done.stderr]
    assert done.returncode == 0, done.stderr

    for name in ("S1", "D1", "K1", "Q1"):
        done = quorvi("connect", "--inventory", str(path), name, "--execute", "show version",
                      "-v")
        seen += [done.stdout, done.stderr]
        assert done.returncode == 0, "%s: %s" % (name, done.stderr[-2000:])
        assert "Version 7.2.1" in done.stdout

    results, logs = tmp_path / "out.jsonl", tmp_path / "logs"
    done = quorvi("run", "--inventory", str(path), "--execute", "show version",
                  "--results", str(results), "--logs", str(logs), "-v")
    seen += [done.stdout, done.stderr, results.read_text()]
    assert done.returncode == 0, done.stderr[-2000:]
    by_name = {r["name"]: r for r in map(json.loads, results.read_text().splitlines())}
    assert sorted(by_name) == sorted(LAB["devices"])
    for name, result in by_name.items():
        assert result["ok"], result["error"]
        assert (result["os"], result["platform"], result["hostname"]) == ("orbix", "ox900", name)
        assert result["lines"] == ROLES[name]
        assert "%s uptime is" % name in result["outputs"]["show version"]

    # Told nothing but the lines, the run learns OS, platform and hostname of every kind.
    inventory = yaml.safe_load(path.read_text())
    for entry in inventory["devices"].values():
        for key in ("os", "platform", "hostname"):
            entry.pop(key, None)
    learning = tmp_path / "learn.yaml"
    learning.write_text(yaml.safe_dump(inventory))
    done = quorvi("run", "--inventory", str(learning), "--connect-only", "--results", str(results))
    seen += [done.stdout, done.stderr, results.read_text()]
    assert done.returncode == 0, done.stderr[-2000:]
    learned = {r["name"]: (r["os"], r["platform"], r["hostname"], r["lines"])
               for r in map(json.loads, results.read_text().splitlines())}
    assert learned == {name: ("orbix", "ox900", name, ROLES[name]) for name in ROLES}

    for log in sorted(logs.iterdir()):
        seen.append(log.read_text())
    assert any("Password: " in text for text in seen)  # the secret was asked for
    assert any("********" in text for text in seen)  # and sent, masked
    assert not [text for text in seen if PASSWORD in text]

    # A group picks devices; the secret missing on the worker fails each device, naming it.
    done = quorvi("run", "--inventory", str(path), "--filter", "group=dual", "--connect-only",
                  "--results", str(results), env_password=False)
    failed = [json.loads(line) for line in results.read_text().splitlines()]
    assert done.returncode == 1
    assert sorted(r["name"] for r in failed) == ["D1", "D2"]
    for result in failed:
        assert not result["ok"]
        assert "device %s" % result["name"] in result["error"]
        assert "QV_TEST_ENABLE is not set" in result["error"]


@pytest.mark.parametrize("engine", ["threads", "dask"])
def test_prompted_secret_is_asked_once_here_or_refused_for_workers(lab_file, monkeypatch,
                                                                   engine):
    lab, path = lab_file
    path.write_text(path.read_text().replace("env:QV_TEST_ENABLE", "prompt"))
    asked = []
    monkeypatch.setattr(credentials.getpass, "getpass",
                        lambda prompt: asked.append(prompt) or PASSWORD)
    monkeypatch.setattr(credentials, "_cache", {})
    monkeypatch.setattr(credentials, "has_terminal", lambda: True)
    fleet = Fleet.from_inventory(str(path)).filter(name=["S*", "D2"])
    if engine == "dask":
        with pytest.raises(EngineError, match="'prompt' cannot be asked on Dask workers"):
            next(fleet.run(Task.connect_only(), engine="dask"))
        assert not asked
        return
    results = list(fleet.run(Task.execute("show version"), engine="threads"))
    assert len(asked) == 1
    assert [r.ok for r in results] == [True] * 3
    assert all(PASSWORD not in json.dumps(r.to_dict()) for r in results)
