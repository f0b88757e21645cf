"""Progress of a fleet run, on stderr: a live display with done, failed and
running counts and the time left when stderr is a terminal; one plain line
per device otherwise (CI logs)."""
import sys
from typing import IO, Any, Callable, Optional

from .results import DeviceResult


def _line(result: DeviceResult) -> str:
    if result.ok:
        return "ok    %s (%.2f s)" % (result.name, result.elapsed)
    return "FAIL  %s: %s: %s" % (result.name, result.error_type, result.error)


class PlainProgress:
    def __init__(self, total: int, stream: IO[str]) -> None:
        self.total = total
        self.stream = stream
        self.done = 0
        self.width = len(str(total))

    def __enter__(self) -> "PlainProgress":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass

    def update(self, result: DeviceResult) -> None:
        self.done += 1
        self.stream.write("[%*d/%d] %s\n" % (self.width, self.done, self.total, _line(result)))
        self.stream.flush()

    def print(self, text: str) -> None:
        self.stream.write(text + "\n")
        self.stream.flush()


class LiveProgress:
    """A rich progress bar; failures are printed above it as they happen."""

    def __init__(self, total: int, stream: IO[str], running: Callable[[], int]) -> None:
        from rich.console import Console
        from rich.progress import (BarColumn, MofNCompleteColumn, Progress, ProgressColumn,
                                   TextColumn, TimeElapsedColumn, TimeRemainingColumn)
        from rich.text import Text

        class Counts(ProgressColumn):
            # Rendered on every refresh, so "running" moves while no device finishes.
            def render(self, task: Any) -> Text:
                text = Text()
                text.append("%d ok " % task.fields["ok"], style="green")
                text.append("%d failed " % task.fields["failed"], style="red")
                text.append("%d running" % (running() if not task.finished else 0))
                return text

        self.console = Console(file=stream)
        self.failed = 0
        self.ok = 0
        self.progress = Progress(
            TextColumn("[bold]devices"), BarColumn(), MofNCompleteColumn(), Counts(),
            TimeElapsedColumn(), TextColumn("left"), TimeRemainingColumn(),
            console=self.console, refresh_per_second=4)
        self.task = self.progress.add_task("devices", total=total, ok=0, failed=0)

    def __enter__(self) -> "LiveProgress":
        self.progress.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.progress.stop()

    def update(self, result: DeviceResult) -> None:
        if result.ok:
            self.ok += 1
        else:
            self.failed += 1
            self.progress.console.print(_line(result), markup=False, highlight=False)
        self.progress.update(self.task, advance=1, ok=self.ok, failed=self.failed)

    def print(self, text: str) -> None:
        self.console.print(text, markup=False, highlight=False)


def make_progress(total: int, stream: Optional[IO[str]] = None,
                  running: Callable[[], int] = lambda: 0, live: Optional[bool] = None) -> Any:
    stream = stream or sys.stderr
    if live is None:
        live = hasattr(stream, "isatty") and stream.isatty()
    if live:
        try:
            return LiveProgress(total, stream, running)
        except ImportError:  # rich missing: plain lines still say everything
            pass
    return PlainProgress(total, stream)
