"""Built-in connection plug-ins, one sub-package per OS.

Only the lists live here; importing this package imports no plug-in module.
"""

# Chassis types that the class registry accepts.
supported_chassis = ["single_rp", "dual_rp", "stack", "quad"]

# OS names that the class registry knows; others are accepted with a note.
supported_os = ["generic", "linux", "orbix", "tessel"]
