"""Utilities the link brokers call: OS learning and reconnection arguments.

Kept free of connection imports: the compiled link broker module imports this
module while it loads.
"""
import re
from typing import Any, Dict, Mapping, Tuple


def _matches(patterns: Any, output: str) -> bool:
    if isinstance(patterns, str):
        patterns = [patterns]
    return any(re.search(p, output, re.MULTILINE) for p in patterns or [])


def learn_os_platform(con: Any, output: Any, mapping: Mapping[str, Any]) -> Tuple[str, str]:
    """Recognise OS and platform in a command's output.

    `mapping` is OS name -> {"os": [regexes naming the OS],
    "platform": {platform name: [regexes]}}. Returns (os, platform), the
    platform "" when the OS is known but no platform pattern matches, and
    ("", "") when no OS is recognised."""
    if not isinstance(output, str) or not output:
        return "", ""
    for os_name, entry in (mapping or {}).items():
        if not _matches(entry.get("os"), output):
            continue
        for platform, patterns in (entry.get("platform") or {}).items():
            if _matches(patterns, output):
                return os_name, platform
        return os_name, ""
    return "", ""


def update_connection_kwargs(con: Any) -> Dict[str, Any]:
    """Keywords with which the device reconnects the same alias through the
    connection class of its learned OS: the alias and the options the
    connection was given, without learn_os (the OS is known now)."""
    kwargs = {k: v for k, v in getattr(con, "_options", {}).items() if k != "learn_os"}
    kwargs["alias"] = con.alias
    return kwargs
