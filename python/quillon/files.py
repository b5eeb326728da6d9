"""Files of a project, reached only inside it.

Every file that the editor service, the kit cache and the schemas read, write
or remove below a project directory goes through these operations (the
service's own handlers use the same code natively). A path, relative to the
root or absolute below it, is walked one component at a time from a handle of
the root, never following a link by itself: a link is read and its target
walked the same way, and one that leads outside is refused, so that swapping a
directory for a link meanwhile cannot redirect the walk. Only regular files
are read (a named pipe or a device is refused, never waited on), at most
256 MiB of them. Writes replace the file atomically (a temporary file beside
it, then a rename), serialised with the service's saves of that file.

Listings walk the tree with a stack of their own, never entering or listing a
link, and are bounded: directories more than :data:`MAX_DEPTH` levels down
are not entered and the walk stops after :data:`MAX_ENTRIES` entries; the
:class:`Listing` says so in one line.

Errors: :class:`PermissionError` for a path that leads outside, OSError for an
entry that is not a regular file and for every failing file operation.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from quillon import _files

__all__ = [
    "MAX_DEPTH",
    "MAX_ENTRIES",
    "MAX_FILE_BYTES",
    "Listing",
    "is_file",
    "list_files",
    "plain_name",
    "read_file",
    "read_regular",
    "remove_file",
    "write_file",
]

#: Directories nested deeper than this below the top of a listing are not entered.
MAX_DEPTH = 32
#: A listing stops after reading this many directory entries.
MAX_ENTRIES = 200_000
#: Larger files are not read (OSError with errno EFBIG); the native module's bound.
MAX_FILE_BYTES = 256 << 20


def read_file(root: str | os.PathLike[str], path: str) -> bytes | None:
    """The bytes of the regular file `path` below `root`, or None when it does not exist."""
    return _files.read_file(os.fspath(root), path)


def write_file(root: str | os.PathLike[str], path: str, content: bytes) -> None:
    """Replace the file `path` below `root` with `content`, creating missing directories inside."""
    _files.write_file(os.fspath(root), path, content)


def remove_file(root: str | os.PathLike[str], path: str, below: str | None = None) -> bool:
    """Remove the entry `path` of the directory `below` of `root` (the root itself by
    default); whether there was one. Nothing outside `below` is reached: a link on the
    way that leaves it is refused, and a link as the last component is removed itself."""
    return bool(_files.remove_file(os.fspath(root), path, below))


def is_file(root: str | os.PathLike[str], path: str) -> bool:
    """Whether `path` below `root` is a regular file (links inside followed)."""
    return bool(_files.is_file(os.fspath(root), path))


def read_regular(path: str | os.PathLike[str]) -> bytes:
    """The bytes of the regular file `path`, named by a user or a kit (not confined):
    a named pipe or a device is refused, never waited on."""
    return _files.read_regular(os.fspath(path))


@dataclass(frozen=True)
class Listing:
    """The files a listing found (paths relative to its top, "/"-separated, in
    directory order), and what it left out, in one line (None when nothing)."""

    files: list[str]
    skipped: str | None


def list_files(
    root: str | os.PathLike[str],
    path: str = "",
    suffix: str = "",
    *,
    skip_hidden: bool = False,
    skip_top: tuple[str, ...] = (),
    include_links: bool = False,
    max_depth: int = MAX_DEPTH,
    max_entries: int = MAX_ENTRIES,
) -> Listing:
    """The regular files whose names end in `suffix` below the directory `path` of `root`.

    `skip_hidden` leaves out directories whose names start with "."; `skip_top`
    names directories of the top that are left out; `include_links` lists links
    too (never entered). A top that does not exist lists nothing.
    """
    files, too_deep, stopped = _files.list_files(
        os.fspath(root), path, suffix, skip_hidden, tuple(skip_top), include_links, max_depth, max_entries
    )
    where = os.path.join(os.fspath(root), path) if path else os.fspath(root)
    skipped = None
    if stopped:
        skipped = f"{where}: listed only the first {max_entries} entries; the rest of the tree is skipped"
    elif too_deep is not None:
        skipped = f"{where}: directories more than {max_depth} levels deep are skipped (first: {too_deep})"
    return Listing(files, skipped)


def plain_name(name: object) -> bool:
    """Whether `name` (read from a file) can name a file of a directory: a non-empty
    text that is one plain path component, without separators, control characters,
    or a leading dot (so neither "." nor ".." nor a hidden or temporary file)."""
    return (
        isinstance(name, str)
        and 0 < len(name) <= 200
        and not name.startswith(".")
        and "/" not in name
        and "\\" not in name
        and name.isprintable()
    )
