"""Everything the simulated consoles print and accept, as data."""

OS_TITLES = {
    "orbix": "Orbix Software",
    "tessel": "Tessel Network OS",
    "generic": "Generic Network Software",
}

BANNER = "{os_title} - console {console} of {hostname} - press RETURN to get started"

# Prompt forms; "{suffix}" is STANDBY_SUFFIX on a standby console of a dual or quad.
PROMPTS = {
    "disable": "{hostname}{suffix}>",
    "enable": "{hostname}{suffix}#",
    "config": "{hostname}{suffix}({mode})#",
}
STANDBY_SUFFIX = "-stby"

LOGIN_USERNAME = "Username: "
LOGIN_PASSWORD = "Password: "
ENABLE_PASSWORD = "Password: "

ERRORS = {
    "invalid": "% Invalid input detected at '^' marker.",
    "ambiguous": "% Ambiguous command: \"{line}\"",
    "login": "% Login invalid",
    "denied": "% Access denied",
    "standby_locked": "% Standby console disabled: unlock configuration from the active console",
}

# Exec commands: canonical words ("<arg>" takes any one word) -> handler name.
# A typed word may be any prefix of its canonical word that is not ambiguous.
EXEC_COMMANDS = {
    ("enable",): "enable",
    ("disable",): "disable",
    ("exit",): "logout",
    ("logout",): "logout",
    ("configure", "terminal"): "configure",
    ("terminal", "length", "<arg>"): "accept",
    ("terminal", "width", "<arg>"): "accept",
    ("show", "version"): "show_version",
    ("show", "redundancy", "state"): "show_redundancy",
    ("show", "switch"): "show_switch",
    ("show", "running-config"): "show_running_config",
}
# Each console adds its OS's reload commands (quorvi.boot_dialogs, see quorvi.sim.boot).
# Handlers allowed at the disable prompt; the others need "enable".
DISABLE_HANDLERS = {"enable", "logout", "accept", "show_version", "show_redundancy", "show_switch"}

# "| include TEXT" keeps the lines of a command's output that contain TEXT.
PIPE_INCLUDE = ("include",)

# Config mode: lines starting with these words open a sub-mode (its prompt mode text).
CONFIG_SUBMODES = {
    "interface": "config-if",
    "line": "config-line",
    "router": "config-router",
    "redundancy": "config-red",
}
CONFIG_END = "end"
CONFIG_EXIT = "exit"

SHOW_VERSION = [
    "{os_title}, Version {version}",
    "Copyright (c) 2019-2024 by the quorvi simulator",
    "",
    "{hostname} uptime is {uptime}",
    "Last reload reason: {reload_reason}",
    "System image file is \"flash:{os}-{platform}-{version}.bin\"",
    "",
    "Hardware: {platform} chassis with {members} member(s), 4096 MB memory",
    "Processor board ID QRV{serial}",
]

# The console's own redundancy state, by role.
MY_STATE = {
    "active": "13 -ACTIVE",
    "standby": "8 -STANDBY HOT",
    "member": "4 -MEMBER",
    "single": "13 -ACTIVE",
}
PEER_STATE = {
    "active": "8 -STANDBY HOT",
    "standby": "13 -ACTIVE",
    "member": "13 -ACTIVE",
    "single": "1 -DISABLED",
}
REDUNDANCY_REPORT = [
    "       my state = {my_state}",
    "     peer state = {peer_state}",
    "           Mode = {duplex}",
    "           Unit = {unit}",
    "",
    "Redundancy Mode (Operational) = {mode}",
    "Redundancy Mode (Configured)  = {mode}",
]
REDUNDANCY_STATE_LINE = "Redundancy State              = {mode}"

SHOW_SWITCH_HEADING = [
    "Stack MAC address: {stack_mac}",
    "",
    "Member  Role     MAC address     Priority HW ver   State",
    "-------------------------------------------------------------",
]
# "{current}" is "*" on the line of the member this console belongs to.
SHOW_SWITCH_MEMBER = "{current}{number}  {role:<8} {mac:<15} {priority:<8} {hw_version:<8} {state}"

RUNNING_CONFIG_HEAD = ["Building configuration...", "", "hostname {hostname}"]
RUNNING_CONFIG_TAIL = ["end"]

# The pager a previous user may have left a line at ("left_in: pager").
PAGER = " --More-- "
PAGE_LINES = 23
PREVIOUS_USER_INTERFACES = 24

# What the console server itself says (not the device behind it).
PRESS_RETURN = "Press RETURN to get started"
PORT_BUSY = "% Port {port} is in use by another session; try again later"

# Exec commands that ask before they act (quorvi.sim.asking): canonical words
# -> handler. A question ending in "[NAME]?" takes a line (empty: NAME); one
# ending in "[confirm]" goes on at Return or "y"; Ctrl-C at any question
# cancels the command ("{path}" is the command's argument, "{file}" its name
# without the file system).
ASKING_COMMANDS = {
    ("copy", "running-config", "startup-config"): "copy_startup",
    ("copy", "running-config", "scp:"): "copy_scp",
    ("delete", "<arg>"): "delete",
    ("clear", "counters"): "clear_counters",
}
QUESTIONS = {
    "destination": "Destination filename [startup-config]? ",
    "scp_password": "Password: ",
    "delete_name": "Delete filename [{file}]? ",
    "delete_confirm": "Delete {path}? [confirm]",
    "clear_counters": "Clear \"show interface\" counters on all interfaces [confirm]",
}
ASKING_ANSWERS: dict = {
    "saved": ["Building configuration...", "[OK]"],
    "copied": ["{size} bytes copied to flash:{file}"],
    "sent": ["Writing running-config to scp://backup ... !!", "{size} bytes copied"],
    "scp_denied": "% Authentication failed: scp://backup rejected the password",
    "deleted": "Deleted {path}",
    "cleared": "Counters cleared on all interfaces",
    "aborted": "% Command aborted",
}
