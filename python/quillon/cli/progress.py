"""A one-line progress display for long commands, shown only on a terminal.

On a terminal the line reads ``quillon lvs: [3/7] extracting the layout
netlist  12 s`` and is rewritten in place as stages begin and seconds pass; it
is erased when the command ends, so the command's own output follows
undisturbed. When the stream is not a terminal (a pipe, a CI log) nothing is
written at all.

The stages of the check itself run inside one native call, which tells
``quillon.core.lvs._progress`` when each begins; :func:`quillon.check` passes
them on to its ``on_stage``, which the command points at :meth:`Progress.stage`.
"""

from __future__ import annotations

import shutil
import sys
import threading
import time
from collections.abc import Sequence
from typing import TextIO

__all__ = ["Progress"]

#: How often the elapsed seconds of a running stage are redrawn.
REFRESH_SECONDS = 1.0


class Progress:
    """Stages of one command, counted against the stages it announced."""

    def __init__(self, prefix: str, stages: Sequence[str], stream: TextIO | None = None) -> None:
        self._prefix = prefix
        self._stages = list(stages)
        self._stream = stream if stream is not None else sys.stderr
        self._shown = _is_terminal(self._stream)
        self._text = ""
        self._started = time.monotonic()
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._ticker: threading.Thread | None = None

    def stage(self, label: str, detail: str = "") -> None:
        """Show that `label` (one of the announced stages, or any text) begins."""
        if not self._shown:
            return
        count = f"[{self._stages.index(label) + 1}/{len(self._stages)}] " if label in self._stages else ""
        with self._lock:
            self._text = f"{self._prefix}: {count}{label}{detail}"
            self._started = time.monotonic()
            self._draw()
        if self._ticker is None:
            self._ticker = threading.Thread(target=self._tick, name="progress", daemon=True)
            self._ticker.start()

    def close(self) -> None:
        """Erase the line; the display shows nothing more."""
        if not self._shown:
            return
        self._stop.set()
        if self._ticker is not None:
            self._ticker.join()
        with self._lock:
            self._write("")
            self._shown = False

    def _tick(self) -> None:
        while not self._stop.wait(REFRESH_SECONDS):
            with self._lock:
                if self._shown:
                    self._draw()

    def _draw(self) -> None:
        seconds = int(time.monotonic() - self._started)
        elapsed = f"  {seconds} s" if seconds else ""
        width = shutil.get_terminal_size().columns - 1
        self._write((self._text[: width - len(elapsed)] + elapsed)[:width])

    def _write(self, line: str) -> None:
        """Replace the line on the terminal by `line`."""
        try:
            self._stream.write(f"\r\x1b[K{line}")
            self._stream.flush()
        except (OSError, ValueError):  # the terminal went away: the command goes on without the display
            self._shown = False


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # a replaced or closed stream
        return False
