"""quorvi: drive routers and switches through their console lines."""
import logging

__version__ = "0.1.0"

# The framework's package logger.
log = logging.getLogger("quorvi")
