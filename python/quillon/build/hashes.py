"""What tells the kit cache's build what changed: a hash of every file of the kit's
package and one of each component's source file.

Apart from the build itself, so that the netlist schemas, which the build writes
too, can tell from the kit's hash whether their files are current. Files are
read through the confined files (:mod:`quillon.files`): only regular files.
"""

from __future__ import annotations

import hashlib
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from quillon import files

__all__ = ["CACHE_FORMAT", "kit_fingerprint", "source_hash"]

#: Bumped when what the cache holds changes, so that every component is built again.
CACHE_FORMAT = "1"


def kit_fingerprint(kit_name: str) -> str:
    """Hash of every file of the kit's package (sources, symbols, data), found without importing it."""
    import importlib.util

    digest = hashlib.sha256(f"quillon kit cache {CACHE_FORMAT}\0{kit_name}\0".encode())
    try:
        spec = importlib.util.find_spec(kit_name)
    except (ImportError, ValueError):
        spec = None
    if spec is None or spec.origin is None:
        return digest.hexdigest()  # not found: activating it will say so
    origin = Path(spec.origin).resolve()
    root = origin.parent
    paths = sorted(_package_files(root)) if spec.submodule_search_locations else [origin]
    for path in paths:
        try:
            content = files.read_regular(path)
        except OSError:  # gone meanwhile, or a link to no regular file: not part of the kit
            continue
        digest.update(str(path.relative_to(root)).encode() + b"\0" + content + b"\0")
    return digest.hexdigest()


def _package_files(root: Path) -> Iterable[Path]:
    from quillon.logger import logger

    listing = files.list_files(root, include_links=True)
    if listing.skipped:
        logger.warning("the kit's files: %s", listing.skipped)
    for name in listing.files:
        path = root / name
        if "__pycache__" not in path.parts and path.suffix not in (".pyc", ".pyo"):
            yield path


def source_hash(path: Any) -> str | None:
    """Hash of a component's source file; None when it has none (or it is gone, or is no regular file)."""
    if not isinstance(path, str):
        return None
    try:
        return hashlib.sha256(files.read_regular(path)).hexdigest()
    except (OSError, ValueError):  # ValueError: a NUL character in a name read from the cache
        return None
