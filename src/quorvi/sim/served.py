"""ServedLab at its former import path: it lives in quorvi.sim.served_lab."""
from .served_lab import ServedLab

__all__ = ["ServedLab"]
