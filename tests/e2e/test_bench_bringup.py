"""The bring-up benchmark compares like with like: a connect sends exactly the
lines the link broker's documented steps need, and the bench's bare pexpect
script has that same conversation with the simulated device."""
import importlib.util
import os

import pytest

BENCH = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "bench", "bench_bringup.py")


@pytest.fixture(scope="module")
def bench():
    spec = importlib.util.spec_from_file_location("bench_bringup", BENCH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("kind, round_trips", [
    ("single", 6),   # enable, two exec commands, a config block of three lines
    ("dual", 20),
    ("stack", 14),
    ("quad", 18),    # the silent consoles get nothing
])
def test_connect_sends_the_documented_lines_and_the_bare_script_has_that_conversation(
        bench, sim, kind, round_trips, monkeypatch):
    # The benchmark's short answer-test wait would count a console that starts
    # slowly (a loaded machine, the sanitizer build) as silent.
    monkeypatch.setattr(bench, "RPR_TIMEOUT", 1.0)
    device = sim(kind)
    steps = bench.conversation(kind)
    documented = bench.lines_sent(steps)
    assert len(documented) == round_trips
    assert bench.recorded_conversation(device) == documented
    # Each prompt the script waits for comes (a wrong one would time out).
    assert bench.bare_bringup(device, steps) >= bench.mandated_waits(kind)


def test_broker_own_time_sees_the_operations_and_puts_them_back(bench, sim):
    import quorvi.bases.routers.link_broker as link_broker

    before = {name: op for name, op in vars(link_broker.BaseSingleRpLinkBroker).items()}
    own, wall = bench.broker_own_time(sim("single"))
    # The operations ran inside the profiled connect: their time is counted,
    # and it is a small part of the connect.
    assert 0 < own < wall
    assert dict(vars(link_broker.BaseSingleRpLinkBroker)) == before
