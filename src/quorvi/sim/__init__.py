"""Device simulator: one device model with several consoles.

A device is described as data (a JSON file); `python -m quorvi.sim console
--device FILE --console NAME` runs one of its consoles on stdin/stdout, which a
spawn connects to a pseudo-terminal. The consoles of one device share dynamic
state through a small state file beside the device file. Everything the
consoles print and accept is in `quorvi.sim.outputs`.
"""
