"""Connections for a device whose OS is not known yet (learn it, then redirect)."""
