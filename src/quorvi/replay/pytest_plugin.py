"""pytest plug-in (entry point `pytest11`): a device connected to a replayed
cassette, so a test needs no device.

    @pytest.mark.cassette("cassettes/r1.jsonl")        # relative to the test file
    def test_version(replayed_device):
        assert "7.2.1" in replayed_device.execute("show version")

The marker takes `fast=True` (no recorded delays; the default), `relaxed=False`
(match by command rather than by position), `connect=True` (connect with
the recorded connect options; False leaves the device unconnected) and
`settings` (framework settings for the Device). At teardown the device is
destroyed, its replay consoles ended, and a line that was sent differently
from the recording fails the test with what was expected and received.

A fixture of another scope (a module's tests sharing one replay, say, with
relaxed=True) uses the same helper:

    @pytest.fixture(scope="module")
    def core1():
        with quorvi.replay.replayed_device.replayed("cassettes/core-1.jsonl", relaxed=True) as dev:
            yield dev
"""
import os
from typing import Any, Iterator

import pytest

MARKER = "cassette"


def pytest_configure(config: Any) -> None:
    config.addinivalue_line(
        "markers", "%s(path, fast=True, relaxed=False, connect=True, settings=None): the "
        "cassette the replayed_device fixture replays" % MARKER)


@pytest.fixture
def replayed_device(request: Any) -> Iterator[Any]:
    """A quorvi Device connected to the cassette named by the test's
    `@pytest.mark.cassette(path)` marker."""
    from .replayed_device import replayed

    mark = request.node.get_closest_marker(MARKER)
    if mark is None or not mark.args:
        pytest.fail("replayed_device needs the cassette: @pytest.mark.%s(\"path/to/file.jsonl\")"
                    % MARKER, pytrace=False)
    path = str(mark.args[0])
    if not os.path.isabs(path):
        test_file = getattr(request.node, "path", None) or request.node.fspath  # pytest < 7: fspath
        path = os.path.join(os.path.dirname(str(test_file)), path)
    with replayed(path, **mark.kwargs) as device:
        yield device
