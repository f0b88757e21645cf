"""What a state machine knows of the line it moves, beyond the line's own I/O.

The spawn reads and writes; the state machine keeps, per spawn, what the
conversation on it has shown: the prompts the device may still print for
empty lines sent earlier (and how long to wait for them), the line whose
answer is still due, where the line was last found to owe nothing, how fast
it answers, and the hostname its prompts showed while one was being learned.
A new spawn (a line opened again) starts a new record.
"""
from typing import Any, Optional, Tuple

# A prompt owed to an earlier empty line is waited for this many times as
# long as the line took to answer one.
OWED_PROMPT_WAIT_FACTOR = 3


class LineRecord:
    """The state machine's own record of one spawn."""

    def __init__(self, spawn: Any) -> None:
        self.spawn = spawn
        # Prompts the device may still print for empty lines sent while a
        # prompt was awaited (an upper bound), and how long the line may stay
        # quiet before the rest of them count as not coming.
        self.owed_prompts = 0
        self.owed_prompt_wait = 0.0
        self.owed_at = 0  # the spawn's `sends` when they were last noted
        # (line sent, the spawn's `sends` right after it) whose prompt has not
        # come back yet: its answer is still due, and no other command may
        # take it for its own.
        self.awaiting: Optional[Tuple[str, int]] = None
        # The spawn's `sends` when the line was last found to owe nothing (a
        # prompt after everything sent, nothing owed, nothing since). What
        # the transport sent to a console server is owed nothing by the device.
        self.caught_up: Optional[int] = getattr(spawn, "connect_sends", 0) or None
        # Seconds the line took to answer a line sent on it, last measured.
        self.answer_time: Optional[float] = None
        # Hostname read from the last prompt matched while a hostname was learned.
        self.seen_hostname: Optional[str] = None

    def owes_nothing(self) -> bool:
        """Nothing was sent since the line was last found to owe nothing."""
        return self.caught_up is not None and self.caught_up == self.spawn.sends

    def owe(self, prompts: int, answer_time: Optional[float], floor: float, cap: float) -> None:
        """Note `prompts` more owed prompts, each answered about `answer_time`
        after its line went out: waited for a few times that, within
        [`floor`, `cap`] (`cap` when the line has not shown how fast it answers)."""
        if answer_time is not None:
            self.answer_time = answer_time
        if prompts <= 0:
            return
        self.owed_prompts += prompts
        self.owed_at = self.spawn.sends
        if answer_time is None:
            self.owed_prompt_wait = cap
        else:
            self.owed_prompt_wait = min(max(OWED_PROMPT_WAIT_FACTOR * answer_time, floor), cap)
