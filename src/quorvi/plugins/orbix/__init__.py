"""Connections for Orbix devices."""
