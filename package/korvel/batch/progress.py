"""What a batch shows while it runs: a tqdm bar on a terminal, or plain lines."""

from __future__ import annotations

import math
import sys
import time
from typing import Any

from ..options import PROG
from .errors import need_extra


def _clock(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "?"
    s = int(round(seconds))
    h, rest = divmod(s, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"


class Progress:
    """A tqdm bar on a terminal; otherwise a plain line every ``every`` seconds."""

    def __init__(self, total: int, mode: str, every: float, stream: Any = None) -> None:
        self.total = total
        self.done = 0
        self.failed = 0
        self.every = every
        self.stream = stream or sys.stderr
        self.start = time.monotonic()
        self._last_line = self.start
        if mode == "auto":
            isatty = getattr(self.stream, "isatty", None)
            mode = "bar" if isatty is not None and isatty() else "lines"
        self.mode = mode
        self.bar = None
        if mode == "bar":
            tqdm = need_extra("tqdm").tqdm
            self.bar = tqdm(total=total, unit="track", file=self.stream, dynamic_ncols=True,
                            desc=PROG + " batch", smoothing=0.05)

    def message(self, text: str) -> None:
        """A line of news while the run goes on: above a bar, never glued to it."""
        if self.bar is not None:
            self.bar.write(text, file=self.stream)
        else:
            print(text, file=self.stream, flush=True)

    def restart_clock(self) -> None:
        self.start = self._last_line = time.monotonic()
        if self.bar is not None:
            self.bar.reset(total=self.total)

    def update(self, failed: bool) -> None:
        self.done += 1
        self.failed += int(failed)
        if self.bar is not None:
            self.bar.update(1)
            if failed:
                self.bar.set_postfix(failed=self.failed, refresh=False)
        elif self.mode == "lines":
            now = time.monotonic()
            if now - self._last_line >= self.every:
                self._last_line = now
                self.line()

    def line(self) -> None:
        elapsed = time.monotonic() - self.start
        rate = self.done / elapsed if elapsed > 0 else 0.0
        eta = (self.total - self.done) / rate if rate > 0 else math.inf
        pct = 100.0 * self.done / self.total if self.total else 100.0
        print(f"{PROG} batch: {self.done}/{self.total} tracks ({pct:.1f}%), {self.failed} failed, "
              f"{rate:.2f} tracks/s, ETA {_clock(eta)}", file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.mode == "lines" and self.done:
            self.line()  # where the run ended, however recently the last line came
