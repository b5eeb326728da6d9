"""KLayout's own lines on standard error, kept off the terminal of a command.

KLayout writes each failed internal assertion ("ERROR: src/db/...") straight to
the process's standard error, before it raises the error that the commands
turn into their one line of their own. Its logger shows errors only while its
verbosity is above :data:`SILENT`; :func:`quiet_klayout` holds it there for
the duration of a command.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

__all__ = ["SILENT", "quiet_klayout"]

#: A verbosity at which KLayout writes neither errors nor warnings (it shows
#: errors down to -10).
SILENT = -100


@contextlib.contextmanager
def quiet_klayout(quiet: bool = True) -> Iterator[None]:
    """KLayout silent within the block (unless `quiet` is false), as it was afterwards."""
    if not quiet:
        yield
        return
    from klayout.tl import Logger

    before = Logger.verbosity
    Logger.set_verbosity(SILENT)
    try:
        yield
    finally:
        Logger.set_verbosity(before)
