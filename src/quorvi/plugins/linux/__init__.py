"""Connections for Linux hosts: a bash or sh shell prompt."""
