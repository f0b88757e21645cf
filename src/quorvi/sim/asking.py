"""Exec commands of a simulated device that ask before they act: copy the
running configuration, delete a file, clear the counters. Their questions
and answers are data in `outputs` (ASKING_COMMANDS, QUESTIONS, ASKING_ANSWERS).

A question's answer is a line; the line INTERRUPT (Ctrl-C, which the
console driver turns into that line) cancels the command.

This runs in every console process: it imports as little as it can."""
from __future__ import annotations

from . import outputs as out
from .behaviour import INTERRUPT, LINE, secret

CONFIRMED = ("", "y", "yes")


class Asking:
    """The asking commands of one console's `ConsoleBehaviour`."""

    def __init__(self, behaviour) -> None:
        self.behaviour = behaviour

    def command(self, handler: str, words: list):
        """The asking command `handler`, for `words` typed."""
        return lambda: getattr(self, "cmd_" + handler)(words)

    def ask(self, name: str, secretly: bool = False, **fields):
        """Ask QUESTIONS[name]; the answer line, None at EOF or after Ctrl-C."""
        question = out.QUESTIONS[name].format(**fields)
        if secretly:
            answer = yield secret(question)
        else:
            self.behaviour.write(question)
            answer = yield LINE
        if answer is None or INTERRUPT in answer:
            return None
        return answer.strip()

    def confirm(self, name: str, **fields):
        answer = yield from self.ask(name, **fields)
        return answer is not None and answer.lower() in CONFIRMED

    def size(self) -> int:
        return len("\n".join(self.behaviour.cmd_show_running_config()))

    def aborted(self) -> list:
        self.behaviour.write("\n")
        return [out.ASKING_ANSWERS["aborted"]]

    def cmd_copy_startup(self, words: list):
        name = yield from self.ask("destination")
        if name is None:
            return self.aborted()
        if name in ("", "startup-config"):
            self.behaviour.boot.record({"event": "save"})
            return list(out.ASKING_ANSWERS["saved"])
        return [line.format(size=self.size(), file=name) for line in out.ASKING_ANSWERS["copied"]]

    def cmd_copy_scp(self, words: list):
        password = yield from self.ask("scp_password", secretly=True)
        self.behaviour.write("\n")
        if password is None:
            return [out.ASKING_ANSWERS["aborted"]]
        if password != (self.behaviour.device.get("login") or {}).get("password"):
            return [out.ASKING_ANSWERS["scp_denied"]]
        return [line.format(size=self.size()) for line in out.ASKING_ANSWERS["sent"]]

    def cmd_delete(self, words: list):
        path = words[1]
        name = yield from self.ask("delete_name", file=path.rpartition(":")[2])
        if name is None:
            return self.aborted()
        if name:
            path = "%s:%s" % (path.partition(":")[0], name) if ":" in path else name
        if not (yield from self.confirm("delete_confirm", path=path)):
            return self.aborted()
        return [out.ASKING_ANSWERS["deleted"].format(path=path)]

    def cmd_clear_counters(self, words: list):
        if not (yield from self.confirm("clear_counters")):
            return self.aborted()
        return [out.ASKING_ANSWERS["cleared"]]
