"""Files of the project for routes written in Python, confined as the editor's own.

A path (relative to the project directory, or absolute below it) is walked one
component at a time from a handle of the directory, never following a link by
itself: a link is read and its target walked the same way, and one that leads
outside is refused, so that swapping a directory for a link while a request
runs cannot redirect it. Only regular files are read. Writes replace the file
atomically (a temporary file beside it, then a rename), serialised with the
service's own saves of that file.

Errors: :class:`PermissionError` for a path that leads outside, :class:`OSError`
for an entry that is not a regular file and for every failing file operation.
"""

from __future__ import annotations

from quillon.serve import app as _app
from quillon.serve import schematic as _schematic

__all__ = ["read_file", "write_file"]


def read_file(path: str, root: str | None = None) -> bytes | None:
    """The bytes of the regular file ``path`` below ``root`` (the project directory
    by default), or None when it does not exist."""
    return _schematic._read_confined(root or _app.PROJECT_DIR, path)


def write_file(path: str, content: bytes, root: str | None = None) -> None:
    """Replace the file ``path`` below ``root`` (the project directory by default)
    with ``content``, creating missing directories inside it."""
    _schematic._write_confined(root or _app.PROJECT_DIR, path, content)
