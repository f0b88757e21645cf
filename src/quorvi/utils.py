"""Utilities the link brokers call: OS learning and reconnection arguments."""


def learn_os_platform(con, output, mapping):
    """Return (os, platform) recognised in `output`, or ("", "")."""
    raise NotImplementedError


def update_connection_kwargs(con):
    """Return the keyword arguments with which the device reconnects."""
    raise NotImplementedError
