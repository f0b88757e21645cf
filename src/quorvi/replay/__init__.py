"""Record a device's console lines into a cassette, and replay it as a device.

Recording: `Device(..., record=PATH)`, `with device.record(PATH): ...` or
`quorvi connect ... --record PATH` (format: quorvi.replay.cassette).
Replaying: `quorvi sim replay PATH`, `quorvi.replay.replayed_device.ReplayedDevice`,
and the pytest fixture `replayed_device` (quorvi.replay.pytest_plugin).
"""
from .cassette import Cassette, CassetteError, load

__all__ = ["Cassette", "CassetteError", "load"]
