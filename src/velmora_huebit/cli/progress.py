"""The progress bar on standard error, and lines printed above it."""

from __future__ import annotations

import sys

from velmora_huebit.photos.sources import printable


class Progress:
    """A bar on standard error while photos are analysed, when it is a terminal."""

    def __init__(self, total: int | None, colour: str = "auto"):
        self.total = total  # None until known: the photos are listed as the run goes
        self.colour = colour  # --color
        self.progress = None
        self.task = None

    def __enter__(self):
        if sys.stderr.isatty():
            from velmora_huebit.cli.terminal import console
            from rich.progress import (BarColumn, MofNCompleteColumn, Progress, SpinnerColumn,
                                       TextColumn, TimeElapsedColumn, TimeRemainingColumn)

            self.progress = Progress(
                SpinnerColumn(), TextColumn("analysing"), BarColumn(), MofNCompleteColumn(),
                TimeElapsedColumn(), TimeRemainingColumn(),
                console=console(self.colour, stderr=True), transient=True,
                redirect_stdout=False, redirect_stderr=True,
            )
            self.progress.start()
            self.task = self.progress.add_task("analysing", total=self.total)
        return self

    @property
    def on_screen(self) -> bool:
        """Whether results for standard output go above the bar: both
        streams are the terminal, and the bar is showing."""
        return self.progress is not None and sys.stdout.isatty()

    @property
    def console(self):
        return self.progress.console

    def say(self, text: str) -> None:
        """One line on standard error, above the bar while it shows, with
        any control characters (of a name, of a message) escaped."""
        text = printable(text)
        if self.progress is not None:
            # soft wrap: a long line stays one line for the terminal to wrap
            self.progress.console.print(text, soft_wrap=True, markup=False, highlight=False)
        else:
            print(text, file=sys.stderr, flush=True)

    def set_total(self, total: int) -> None:
        """The number of photos, once the listing is complete (may be called
        from another thread)."""
        self.total = total
        if self.progress is not None:
            self.progress.update(self.task, total=total)

    def advance(self) -> None:
        if self.progress is not None:
            self.progress.advance(self.task)

    def __exit__(self, *exc_info):
        if self.progress is not None:
            self.progress.stop()
        return False
