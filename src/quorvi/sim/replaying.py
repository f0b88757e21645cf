"""A cassette served as a device, at its former import path: it lives in
quorvi.replay.replayed_device."""
from ..replay.replayed_device import (ReplayConnection, ReplayedDevice, ReplayMismatch,
                                      ReplayServer, TcpReplay, device_kwargs, replayed)

__all__ = ["ReplayConnection", "ReplayedDevice", "ReplayMismatch", "ReplayServer", "TcpReplay",
           "device_kwargs", "replayed"]
