"""Built-in connection plug-ins, one sub-package per OS.

Only the lists live here; importing this package imports no plug-in module.
"""
from ..chassis import NAMES

# Chassis types that the class registry accepts (quorvi.chassis names them).
supported_chassis = list(NAMES)

# OS names that the class registry knows; others are accepted with a note.
supported_os = ["generic", "linux", "orbix", "tessel"]
