"""The steps of a reload, switchover or member reload (see quorvi.reloads):
which lines reboot, the command and its questions, every line watched
through the boot, the bring-up again, the proof."""
import re
import select
import time
from typing import Any, Callable, Dict, List, Optional

from .. import chassis
from ..boot_dialogs import for_os, patterns
from ..core.errors import CommandError, ConnectionError, TimeoutError
from ..dialogs import Dialog, End, Reply, login_dialog
from ..statemachine import GENERIC
from .report import (BootLoaderError, BootTimeoutError, LineReport, NotRebootedError, Phase,
                     ReloadError, Report, restarted, version_of)

ACTIONS = ("reload", "switchover", "member_reload")
DEFAULT_TIMEOUT = 600.0
# How often a dropped line is opened again in one call before the call gives up.
RECONNECTS = 3
ERROR_LINE = r"(?m)^%[^\r\n]*"
# The texts of quorvi.boot_dialogs a booting line shows, which the watch acts
# on; the first of them ends the command on a line that reboots.
BOOT_TEXTS = ("loader_prompt", "boot_start", "config_dialog", "press_return")


class Answer(Reply):
    """A reply of the reload command's dialog that also tells `heard` when
    it has gone out (the report notes the save, the command's time)."""

    def __init__(self, pattern: str, send: str, heard: Callable[[], None]) -> None:
        super().__init__(pattern, send=send)
        self.heard = heard

    def run(self, spawn: Any, context: Optional[Dict[str, Any]], session: Dict[str, Any]) -> None:
        super().run(spawn, context, session)
        self.heard()


# -- the device's lines -----------------------------------------------------
def line_handles(con: Any) -> Dict[str, Any]:
    """Alias -> the handle driving that console line (one for a single RP)."""
    subs = getattr(con, "subconnections", None)
    if subs is None:
        return {con.console: con}
    return {sub.alias: sub for sub in subs}


def roles_of(con: Any) -> Dict[str, str]:
    """Alias -> the role the connection designated it ("member" when none)."""
    subs = getattr(con, "subconnections", None)
    if subs is None:
        return {con.console: "single"}
    designated = {alias: role for role, alias in con.roles.items() if alias}
    return {sub.alias: designated.get(sub.alias, "member") for sub in subs}


def member_of(handle: Any) -> int:
    return int(getattr(handle, "member_id", None) or 1)


def answers(role: str) -> bool:
    """Whether a line of this role answers commands (an ICS line does not)."""
    return not role.endswith("_ics")


class LineWatch:
    """What one console line shows from the command to its prompt after the boot."""

    def __init__(self, alias: str, handle: Any, report: LineReport, typed: bool) -> None:
        self.alias = alias
        self.handle = handle
        self.report = report
        self.typed = typed
        self.silent = not answers(report.role_before)
        self.session: Dict[str, Any] = {}  # the login's answers on this line
        self.finished = False  # the boot ended (Press RETURN or the dialog)
        self.prompt = False
        self.tries = 0  # times the line was opened again
        self.log: List[str] = []

    @property
    def spawn(self) -> Any:
        return self.handle.spawn

    @property
    def done(self) -> bool:
        if not self.report.should_reboot:
            return True
        return self.report.boot_seen if self.silent else self.prompt

    def waiting_for(self) -> str:
        """The phase this line has not reached yet."""
        if not self.report.boot_seen:
            return "boot seen"
        return "boot finished" if not self.finished else "prompt"


class Run:
    """One reload, switchover or member reload (see the module notes)."""

    def __init__(self, device: Any, action: str, member: Optional[int], timeout: float,
                 save: bool, alias: str, progress: Optional[Callable[[Phase], None]]) -> None:
        if action not in ACTIONS:
            raise ValueError("action is one of %s, not %r" % (", ".join(ACTIONS), action))
        self.device = device
        self.action = action
        self.member = member
        self.timeout = float(timeout)
        self.save = bool(save)
        self.progress = progress
        handles = getattr(device, "handles", {})
        if alias not in handles or not handles[alias].connected:
            raise ReloadError("device %s: connection %r is not connected; connect() first"
                              % (device.name, alias))
        self.con = handles[alias]
        self.began = time.monotonic()
        self.report = Report(device=device.name, action=action, member=member, save=self.save)
        self.texts = dict(getattr(type(self.con), "boot_dialogs", None) or for_os(device.os))
        self.patterns = patterns(self.texts)

    # -- reporting ----------------------------------------------------------
    def phase(self, name: str, line: Optional[str] = None) -> None:
        entry = Phase(name, round(time.monotonic() - self.began, 4), line)
        self.report.phases.append(entry)
        self.con.log.info("%s %s: %s%s after %.2fs", self.device.name,
                          self.action.replace("_", " "), name,
                          " on line %s" % line if line else "", entry.at)
        if self.progress is not None:
            self.progress(entry)

    def fail(self, error: ReloadError) -> ReloadError:
        self.report.error = str(error)
        self.report.duration = round(time.monotonic() - self.began, 4)
        error.report = self.report
        return error

    def where(self, alias: str) -> str:
        return "device %s line %s" % (self.device.name, alias)

    # -- the steps ----------------------------------------------------------
    def run(self) -> Report:
        lines = line_handles(self.con)
        roles = roles_of(self.con)
        self.report.roles_before = roles
        typed = self.typed_line(roles)
        rebooting = self.rebooting(lines, roles, typed)
        for alias in lines:
            self.report.lines[alias] = LineReport(role_before=roles[alias],
                                                  should_reboot=alias in rebooting)
        self.read_versions(lines, "version_before")
        read_at = time.monotonic()
        watches = {alias: LineWatch(alias, handle, self.report.lines[alias], alias == typed)
                   for alias, handle in lines.items()}
        self.send_command(watches[typed])
        try:
            self.watch(watches)
        finally:
            for watch in watches.values():
                watch.report.boot_log = "".join(watch.log)
        self.show_prompts(watches)
        self.bring_up()
        self.read_versions(lines, "version_after")
        self.prove(roles, time.monotonic() - read_at)
        self.report.ok = True
        self.report.duration = round(time.monotonic() - self.began, 4)
        return self.report

    def typed_line(self, roles: Dict[str, str]) -> str:
        kind = self.con.chassis_type
        name = self.device.name
        if self.action == "switchover" and kind == "single_rp":
            raise ReloadError("device %s has a single RP: there is no standby to switch over to;"
                              " use reload()" % name)
        if self.action == "member_reload":
            if not chassis.is_known(kind) or not chassis.has_members(kind):
                raise ReloadError("device %s is a %s: only a stack's or a quad's members can be "
                                  "reloaded one by one; use reload()" % (name, kind))
            members = sorted({member_of(h) for h in line_handles(self.con).values()})
            if self.member not in members:
                raise ReloadError("device %s has no member %r: its members are %s"
                                  % (name, self.member, ", ".join(map(str, members))))
        for alias, role in roles.items():
            if role in ("active", "single"):
                return alias
        raise ReloadError("device %s: no line is designated active; connect without mit=True"
                          % name)

    def rebooting(self, lines: Dict[str, Any], roles: Dict[str, str], typed: str) -> List[str]:
        if self.action == "reload":
            return list(lines)
        if self.action == "member_reload":
            return [a for a, h in lines.items() if member_of(h) == self.member]
        if self.con.chassis_type == "dual_rp":
            return [typed]
        unit = member_of(lines[typed])  # a stack member, a quad chassis
        return [a for a, h in lines.items() if member_of(h) == unit]

    def read_versions(self, lines: Dict[str, Any], field: str) -> None:
        for alias, handle in lines.items():
            line = self.report.lines[alias]
            if answers(line.role_after or line.role_before):
                output = handle.execute("show version", allow_state_change=True)
                setattr(line, field, version_of(output))

    def send_command(self, watch: LineWatch) -> None:
        """Type the command on the active line through the dialog API: the
        save question answered by the `save` policy, the confirmation with
        Return, and the command ended by the first text of a boot. A line
        that does not reboot (another member reloads) comes back to its
        prompt; the boot's text is left on the line for the watch."""
        handle = watch.handle
        command = self.texts[self.action].format(member=self.member)
        question = {"reload": "confirm_reload", "switchover": "confirm_switchover",
                    "member_reload": "confirm_member_reload"}[self.action]
        for other in line_handles(self.con).values():
            # Older output is no part of the boot: each line is caught up with.
            if other is not handle and other.spawn is not None:
                if other.state_machine.prompt_seen:
                    other._prepare(self.con.settings.EXEC_TIMEOUT)
                else:
                    other.spawn.read_pending(0)
                    other.spawn.buffer = ""
        confirmed: List[bool] = []

        def saved() -> None:
            self.report.saved = self.save

        def sent() -> None:
            confirmed.append(True)
            self.phase("command sent", watch.alias)

        dialog = Dialog([Answer(self.patterns["save_config"], "yes" if self.save else "no",
                                saved),
                         Answer(self.patterns[question], "", sent)] +
                        [End(self.patterns[name]) for name in BOOT_TEXTS])
        try:
            output = handle.execute(command, reply=dialog, error_pattern=(),
                                    timeout=self.con.settings.EXEC_TIMEOUT)
        except CommandError as exc:  # a question no reply answers
            raise self.fail(ReloadError(
                "%s: %r asked %r, which the %s does not answer (cancelled with Ctrl-C); answer "
                "it on the device first, or give the OS plug-in's boot_dialogs that question"
                % (self.where(watch.alias), command, getattr(exc, "question", None),
                   self.action.replace("_", " ")))) from exc
        except ConnectionError:
            if confirmed and (watch.spawn.closed or watch.spawn.eof):
                return  # dropped as the boot began: the watch opens it again
            raise
        if not confirmed:
            said = re.search(ERROR_LINE, output)
            raise self.fail(ReloadError(
                "%s: %r was refused: the device answered %s instead of asking %r"
                % (self.where(watch.alias), command,
                   said.group(0).strip() if said else "its prompt",
                   self.texts[question].format(member=self.member))))
        if handle.state_machine.current_state == GENERIC:
            # Ended at the boot's first text: the watch acts on it.
            watch.spawn.buffer = watch.spawn.last_match.match.group(0) + watch.spawn.buffer
        elif watch.report.should_reboot:
            raise self.fail(NotRebootedError(
                "%s: the %s was confirmed, but the line came back to its prompt (%s) "
                "without a boot: the device did not reboot"
                % (self.where(watch.alias), self.action.replace("_", " "),
                   watch.spawn.last_match.match.group(0).strip())))

    def watch(self, watches: Dict[str, LineWatch]) -> None:
        """Read every line until each that reboots shows its prompt."""
        deadline = self.began + self.timeout
        login = list(login_dialog())
        for watch in watches.values():
            self.take(watch, login)  # what came before the watch began
        while not all(w.done for w in watches.values()):
            for watch in watches.values():
                if watch.spawn.closed or watch.spawn.eof:
                    self.reconnect(watch)
                    self.take(watch, login)  # what came while it was being opened
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise self.fail(self.too_long(watches))
            spawns = {w.spawn.fileno(): w for w in watches.values()}
            ready, _, _ = select.select(list(spawns), [], [], remaining)
            for fd in ready:
                watch = spawns[fd]
                while watch.spawn.read_pending(0):
                    pass
                self.take(watch, login)
        for watch in watches.values():
            # What is left of a silent line's boot log (its peer has finished).
            while watch.spawn.read_pending(0):
                pass
            watch.log.append(watch.spawn.buffer)
            if watch.silent:
                watch.spawn.buffer = ""  # a quad tells a silent line by its silence

    def take(self, watch: LineWatch, login: List[Any]) -> None:
        """Act on what the line has shown: each text in the order it came."""
        spawn, line = watch.spawn, watch.report
        sm = watch.handle.state_machine
        wanted = [self.patterns[name] for name in BOOT_TEXTS]
        # A reopened line's console server may greet first: its dialog's plain
        # answers (its failures, a closed connection, are the drop handled here).
        statements = [st for st in spawn.connect_dialog if isinstance(st.action, str)] + login
        wanted += [s.pattern for s in statements] + [s.pattern for s in sm.states]
        while True:
            try:
                result = spawn.expect(wanted, timeout=0, log_timeout=False)
            except TimeoutError:
                return
            index = result.index
            prompt = index >= 4 + len(statements)
            if prompt:
                # Left for the bring-up, which takes the line from its prompt.
                cut = result.match.start()
                watch.log.append(result.match_output[:cut])
                spawn.buffer = result.match_output[cut:] + spawn.buffer
            else:
                watch.log.append(result.match_output)
            if index == 0:
                watch.log.append(spawn.buffer)
                raise self.fail(BootLoaderError(
                    "%s stopped in the boot loader (%r) while %s; boot it from there (%r) or "
                    "fix its boot image, then connect again; %s"
                    % (self.where(watch.alias), result.match.group(0).strip(),
                       "booting" if line.boot_seen else "reloading",
                       self.texts["loader_boot"], spawn.last_words())))
            if index == 1:
                if not line.boot_seen:
                    line.boot_seen = True
                    self.phase("boot seen", watch.alias)
            elif index in (2, 3):
                spawn.sendline("no" if index == 2 else "")
                if not watch.finished:
                    watch.finished = True
                    if line.should_reboot:
                        self.phase("boot finished", watch.alias)
            elif not prompt:
                statements[index - 4].run(spawn, watch.handle.context, watch.session)
            elif line.should_reboot and line.boot_seen:
                if not watch.prompt:
                    watch.prompt = True
                    self.phase("prompt", watch.alias)
                return
            elif watch.typed and line.should_reboot and not line.reconnected:
                raise self.fail(NotRebootedError(
                    "%s: the %s was confirmed, but the line came back to its prompt (%s) "
                    "without a boot: the device did not reboot"
                    % (self.where(watch.alias), self.action.replace("_", " "),
                       result.match.group(0).strip())))
            else:
                return

    def reconnect(self, watch: LineWatch) -> None:
        """Open a line that the console server dropped again, at most
        RECONNECTS times in one call (a line dropped as soon as it is opened,
        or that cannot be opened, ends the call)."""
        self.phase("line lost", watch.alias)
        watch.log.append(watch.spawn.buffer)
        watch.spawn.buffer = ""
        watch.spawn.close()
        if watch.tries >= RECONNECTS:
            raise self.fail(ReloadError(
                "%s: the line was dropped %d times during the %s; check the console server "
                "(%s)" % (self.where(watch.alias), watch.tries + 1,
                          self.action.replace("_", " "), watch.spawn.last_words())))
        watch.tries += 1
        opener = getattr(watch.handle, "connection", watch.handle)
        try:
            watch.handle.spawn = opener._open_spawn(watch.alias)
        except ConnectionError as exc:
            raise self.fail(ReloadError(
                "%s: the console server dropped the line during the %s and it could not be "
                "opened again: %s" % (self.where(watch.alias), self.action.replace("_", " "),
                                      exc))) from exc
        watch.report.reconnected += 1

    def too_long(self, watches: Dict[str, LineWatch]) -> BootTimeoutError:
        stuck = []
        for watch in watches.values():
            if watch.done:
                continue
            phase = watch.waiting_for()
            role = watch.report.role_before
            if self.comes_back_standby(role) and role != "standby":
                role += ", the standby after the %s" % self.action.replace("_", " ")
            what = "never reached its standby prompt" if self.comes_back_standby(
                watch.report.role_before) and phase == "prompt" \
                else "stopped before phase %r" % phase
            stuck.append("line %s (%s) %s; %s" % (watch.alias, role, what,
                                                   watch.spawn.last_words()))
        return BootTimeoutError("device %s: the %s did not end within its time limit of %gs: "
                                "%s; give a longer timeout, or look at the console"
                                % (self.device.name, self.action.replace("_", " "),
                                   self.timeout, "; ".join(stuck)))

    def comes_back_standby(self, role: str) -> bool:
        """Whether a line of `role` comes back from its boot as the standby:
        a standby, or the active RP or chassis a switchover hands over."""
        if role == "standby":
            return True
        kind = self.con.chassis_type
        return self.action == "switchover" and role == "active" and chassis.is_known(kind) \
            and chassis.get(kind).rps > 1

    def show_prompts(self, watches: Dict[str, LineWatch]) -> None:
        """Have each answering line show its prompt, so that the bring-up
        finds it there instead of waiting to nudge: a line without one is
        sent an empty line, all at once, then each answer is awaited."""
        waiting = []
        for watch in watches.values():
            if watch.silent or watch.spawn.eof:
                continue
            prompts = [s.pattern for s in watch.handle.state_machine.states]
            try:
                watch.spawn.expect(prompts, timeout=0, trim_buffer=False, log_timeout=False)
            except TimeoutError:
                watch.spawn.sendline("")
                waiting.append((watch.spawn, prompts))
        for spawn, prompts in waiting:
            try:
                spawn.expect(prompts, timeout=self.con.settings.EXEC_TIMEOUT, trim_buffer=False,
                             log_timeout=False)
            except TimeoutError:
                pass  # the bring-up tells what the line shows

    def bring_up(self) -> None:
        """The connection's bring-up anew, through its link broker."""
        try:
            self.con.connect()
        except Exception as exc:
            self.report.error = "bring-up after the boot failed: %s" % exc
            exc.report = self.report  # type: ignore[attr-defined]
            raise
        self.report.roles_after = roles_of(self.con)
        for alias, role in self.report.roles_after.items():
            self.report.lines[alias].role_after = role
        self.phase("roles designated")

    def prove(self, roles: Dict[str, str], elapsed: float) -> None:
        faults = []
        for alias, line in self.report.lines.items():
            if line.version_before is not None and line.version_after is not None:
                line.rebooted = restarted(line.version_before, line.version_after, elapsed)
            if line.should_reboot and not line.boot_seen:
                faults.append("line %s showed no boot" % alias)
            elif line.should_reboot and line.rebooted is False:
                faults.append("line %s showed a boot log but its show version says it kept "
                              "running (%s)" % (alias, line.version_after))
            elif not line.should_reboot and (line.boot_seen or line.rebooted):
                faults.append("line %s rebooted, which the %s should not do"
                              % (alias, self.action.replace("_", " ")))
        if self.action == "switchover":
            before = [a for a, r in roles.items() if r == "active"]
            after = [a for a, r in self.report.roles_after.items() if r == "active"]
            if before == after:
                faults.append("line %s is active as before" % ", ".join(after))
        if faults:
            raise self.fail(NotRebootedError("device %s: the %s is not proven: %s"
                                             % (self.device.name,
                                                self.action.replace("_", " "),
                                                "; ".join(faults))))


def run(device: Any, action: str, member: Optional[int] = None,
        timeout: float = DEFAULT_TIMEOUT, save: bool = False, alias: str = "default",
        progress: Optional[Callable[[Phase], None]] = None) -> Report:
    """Reload, switch over or reload a member of `device` (see the module
    notes); `progress(phase)` hears of each phase as it is reached."""
    return Run(device, action, member, timeout, save, alias, progress).run()
