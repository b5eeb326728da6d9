"""Files of the project for routes written in Python, confined as the editor's own.

The operations of :mod:`quillon.files` with the service's project directory
as the default root: a path (relative to the project directory, or absolute
below it) never reaches outside it, through ".." or any link, also when a
directory is swapped for a link while a request runs; only regular files are
read; writes are atomic and serialised with the service's own saves.
"""

from __future__ import annotations

from quillon import files
from quillon.serve import app as _app

__all__ = ["list_files", "read_file", "write_file"]


def read_file(path: str, root: str | None = None) -> bytes | None:
    """The bytes of the regular file ``path`` below ``root`` (the project directory
    by default), or None when it does not exist."""
    return files.read_file(root or _app.PROJECT_DIR, path)


def write_file(path: str, content: bytes, root: str | None = None) -> None:
    """Replace the file ``path`` below ``root`` (the project directory by default)
    with ``content``, creating missing directories inside it."""
    files.write_file(root or _app.PROJECT_DIR, path, content)


def list_files(path: str, suffix: str, root: str | None = None, *, skip_hidden: bool = False) -> files.Listing:
    """The regular files named ``*suffix`` below the directory ``path`` of the project
    (bounded as :func:`quillon.files.list_files` says; ``skip_hidden`` leaves out
    directories whose names start with ".")."""
    return files.list_files(root or _app.PROJECT_DIR, path, suffix, skip_hidden=skip_hidden)
