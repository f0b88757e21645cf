"""Stack member order, OS learning on a stack, and what an OS hand-over does to a device's
other connections, against the simulator."""
import logging

import pytest

from quorvi.core.errors import ConnectionError

from .conftest import messages


@pytest.mark.parametrize("listed, active, standby", [
    (["m3", "m2", "m1"], 1, 2),
    (["m2", "m3", "m1"], 3, 1),
])
def test_stack_lines_listed_out_of_member_order_designate_the_right_members(
        sim, device_for, listed, active, standby):
    simulated = sim("stack", members=3, active=active, standby=standby)
    connections = {alias: simulated.connections[alias] for alias in listed}
    device = device_for(simulated, connections=connections)
    device.connect()
    con = device.default
    assert (con.active.alias, con.standby.alias) == ("m%d" % active, "m%d" % standby)
    assert [s.member_id for s in con.subconnections] == [1, 2, 3]


def test_stack_learns_its_os_and_is_handed_over_to_that_os_class(sim, device_for):
    simulated = sim("stack", members=3, active=2, standby=3)
    device = device_for(simulated, os="generic", platform=None, learn_os=True)
    device.connect()
    con = device.default
    assert (device.os, device.platform) == ("orbix", "ox900")
    assert type(con).__name__ == "OrbixStackConnection"
    assert (con.active.alias, con.standby.alias) == ("m2", "m3") and con._handles_designated
    assert "Orbix Software" in device.execute("show version")


def test_os_hand_over_says_which_other_connections_it_closed(sim, device_for, caplog):
    simulated = sim("single")
    line = simulated.connections["a"]
    device = device_for(simulated, os="generic", platform=None,
                        connections={"a": line, "b": dict(line)})
    device.connect(alias="mgmt", console="a")
    mgmt_spawn = device.mgmt.spawn
    caplog.set_level(logging.WARNING, logger="quorvi")
    device.connect(alias="cli", console="b", learn_os=True)
    assert device.os == "orbix" and "Orbix Software" in device.cli.execute("show version")
    assert mgmt_spawn.closed
    warned = [m for m in messages(caplog, logging.WARNING) if "'mgmt'" in m]
    assert len(warned) == 1 and "OS hand-over of connection 'cli'" in warned[0]
    for use in (lambda: device.mgmt.execute("show version"), lambda: device.disconnect("mgmt")):
        with pytest.raises(ConnectionError, match="'mgmt' was closed by the OS hand-over"):
            use()
    # Connecting it again makes it usable, through the learned OS's class.
    device.connect(alias="mgmt", console="a")
    assert type(device.mgmt).__name__ == "OrbixSingleRpConnection"
    assert "Orbix Software" in device.mgmt.execute("show version")
