"""Progress of long work on stderr: a bar on a terminal, a line every few seconds otherwise,
shown once the work has run for a second."""

from __future__ import annotations

import sys
import time


class Progress:
    """Progress of one piece of work on stderr, shown once it has run for a second."""

    # Seconds before anything is shown, and between two updates on a terminal and elsewhere.
    delay = 1.0
    every_tty = 0.1
    every = 5.0

    def __init__(self, label: str, total: int | None, stream=None) -> None:
        self.label, self.total = label, total
        self.stream = stream or sys.stderr
        self.tty = self.stream.isatty()
        self.start = time.monotonic()
        self.last = 0.0
        self.shown = False

    def update(self, done: int) -> None:
        now = time.monotonic()
        if now - self.start < self.delay or now - self.last < (self.every_tty if self.tty
                                                                 else self.every):
            return
        self.last = now
        self.shown = True
        mb = done / 1e6
        if self.total:
            share = min(1.0, done / self.total)
            if self.tty:
                bar = "#" * int(share * 30)
                self.stream.write(f"\r{self.label} [{bar:30}] {share:4.0%} {mb:,.0f} MB")
            else:
                self.stream.write(f"{self.label}: {share:.0%} ({mb:,.0f} MB)\n")
        elif self.tty:
            self.stream.write(f"\r{self.label}: {mb:,.0f} MB")
        else:
            self.stream.write(f"{self.label}: {mb:,.0f} MB\n")
        self.stream.flush()

    def done(self) -> None:
        if self.shown and self.tty:
            self.stream.write("\n")
            self.stream.flush()
