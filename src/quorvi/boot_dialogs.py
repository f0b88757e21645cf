"""What a device says and takes around a reload, per OS, as data.

One table serves both sides: the simulator prints these texts and accepts
these commands; the framework sends the commands and answers the texts.
The OS plug-ins hand their OS's entry to their connection classes as the
class attribute `boot_dialogs`.

Keys of an entry (all strings):
- commands: "reload" (the whole device), "switchover" (the active RP or
  member hands over to the standby and reloads), "member_reload" (one stack
  member or quad chassis; "{member}" is its number), "loader_boot" (at the
  boot loader prompt: boot the system image);
- questions, in the order a reload asks them: "save_config" (only when the
  running configuration was changed since the last boot or save; answered
  yes or no), "confirm_reload" / "confirm_switchover" / "confirm_member_reload"
  (Return proceeds, "n" aborts);
- during the boot: "boot_start" (the first line a booting console shows),
  "loader_prompt" (a boot that stops in the boot loader; "{n}" counts the
  loader's commands from 1), "config_dialog" (the initial configuration
  dialog; answered no), "press_return" (the boot is over: Return starts the
  console's session, then a login if the device asks for one).

`patterns(os)` turns an entry's questions and prompts into regular
expressions (placeholders match numbers) for a line's expect loop.

This module runs in every simulated console process too: it imports nothing
at load time.
"""

DEFAULT_OS = "generic"

_COMMON = {
    "reload": "reload",
    "switchover": "redundancy force-switchover",
    "member_reload": "reload slot {member}",
    "loader_boot": "boot",
    "save_config": "System configuration has been modified. Save? [yes/no]:",
    "confirm_reload": "Proceed with reload? [confirm]",
    "confirm_switchover": "Proceed with switchover to standby RP? [confirm]",
    "confirm_member_reload": "Proceed with reload of member {member}? [confirm]",
    "boot_start": "System Bootstrap, Version",
    "loader_prompt": "loader {n} >",
    "config_dialog": "Would you like to enter the initial configuration dialog? [yes/no]:",
    "press_return": "Press RETURN to get started!",
}

BOOT_DIALOGS = {
    "generic": dict(_COMMON),
    "orbix": dict(_COMMON),
    "tessel": dict(_COMMON, switchover="system switchover", member_reload="reload member {member}",
                   confirm_switchover="Proceed with switchover to the standby? [confirm]",
                   loader_prompt="tsboot {n}>"),
}

# The entries that are questions or prompts a line shows (the rest are commands).
SHOWN = ("save_config", "confirm_reload", "confirm_switchover", "confirm_member_reload",
         "boot_start", "loader_prompt", "config_dialog", "press_return")


def for_os(os: str) -> dict:
    """The entry of `os` (a copy); an OS without one gets the generic entry."""
    return dict(BOOT_DIALOGS.get(os) or BOOT_DIALOGS[DEFAULT_OS])


def patterns(os) -> dict:
    """Name -> regular expression for each text a line shows during a reload
    of an `os` device (or of a device whose entry `os` is); "{member}" and
    "{n}" match any number."""
    import re

    entry = os if isinstance(os, dict) else for_os(os)
    result = {}
    for name in SHOWN:
        text = re.escape(entry[name])
        for placeholder in ("member", "n"):
            text = text.replace(re.escape("{%s}" % placeholder), r"\d+")
        result[name] = text
    return result
