"""Connections for Tessel devices."""
