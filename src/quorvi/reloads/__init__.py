"""Reload, switchover and member reload of a connected device, proven by the
device's own boot.

`run(device, action, ...)` (behind `Device.reload`, `Device.switchover` and
`Device.reload_member`) does, on the connection `alias`:

1. reads the roles and `show version` of every line that answers;
2. types the OS's command (quorvi.boot_dialogs) on the active line, answers
   "configuration has been modified" by the `save` policy and confirms;
3. watches every console line at once, driven by what they print: the boot
   log is kept, "Press RETURN" answered, the initial configuration dialog
   declined, a login answered from the credentials; a boot loader prompt
   ends the call (BootLoaderError); a line the console server drops is
   opened again;
4. once every line that reboots shows its prompt, brings the connection up
   again through its link broker (designation, standby unlock, initial
   commands as at connect), so `con.active`/`con.standby` follow the new roles;
5. reads `show version` again and proves the reboot: every line that should
   have rebooted showed a boot and says so (uptime restarted or a new
   reason), the others did not; after a switchover another unit is active.

The result is a `Report` (plain data, `to_dict()`/`to_json()`); an error of
this package carries the report so far as `exc.report`.
"""
from .report import (PHASES, BootLoaderError, BootTimeoutError, LineReport, NotRebootedError,
                     Phase, ReloadError, Report, restarted, version_of)
from .steps import ACTIONS, DEFAULT_TIMEOUT, run

__all__ = ["ACTIONS", "DEFAULT_TIMEOUT", "PHASES", "BootLoaderError", "BootTimeoutError",
           "LineReport", "NotRebootedError", "Phase", "ReloadError", "Report", "restarted", "run",
           "version_of"]
