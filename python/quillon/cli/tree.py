"""Helpers for browsing a kit's components: parameter defaults and cached port sides.

Cached ports files
------------------
A cached ports file records, for one or more components, on which side of the
schematic symbol each port sits. It is a JSON object mapping component names to
objects that map port names to side letters, in drawing order::

    {"mmi1x2": {"o1": "w", "o2": "e", "o3": "e"}, "ring": {"in": "w", "out": "e", "add": "n"}}

One file may hold several components because files are also kept per source
file (a Python module often defines more than one cell). Readers validate only
the entry of the component they ask for. Write files with
:func:`write_cached_ports`, which merges entries and replaces the file atomically
(:func:`merged_cached_ports` gives the merged content, for writers that replace
files their own way).
"""

from __future__ import annotations

import functools
import inspect
import json
import os
import tempfile
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

__all__ = [
    "SIDES",
    "CachedPortsError",
    "_ports_from_cached_path",
    "get_function_args",
    "merged_cached_ports",
    "write_cached_ports",
]

#: Side letters: west (left), north (top), east (right), south (bottom).
SIDES = frozenset("wnes")


class CachedPortsError(ValueError):
    """A cached ports file is malformed."""


def get_function_args(function: Callable[..., Any]) -> dict[str, Any]:
    """Return parameter name -> default value for the parameters that have a default.

    Parameters without a default (and ``*args``/``**kwargs``) are not keys, so
    ``name in result`` tells whether a parameter has a default; a default of
    ``None`` is kept as ``None``. Keywords bound by ``functools.partial`` count
    as defaults, including keywords that only reach ``**kwargs``; positionally
    bound arguments disappear. Decorated functions are looked through.
    """
    signature = inspect.signature(function)
    args = {
        name: param.default
        for name, param in signature.parameters.items()
        if param.default is not inspect.Parameter.empty
    }
    for name, value in _partial_keywords(function).items():
        args.setdefault(name, value)
    return args


def _partial_keywords(function: Any) -> dict[str, Any]:
    """Keywords bound by (nested) partials, the outermost binding winning."""
    keywords: dict[str, Any] = {}
    while isinstance(function, functools.partial):
        for name, value in function.keywords.items():
            keywords.setdefault(name, value)
        function = function.func
    return keywords


def _ports_from_cached_path(path: str | os.PathLike[str], component: str) -> dict[str, str]:
    """Return port name -> side letter of ``component`` from the cached ports file ``path``.

    Returns ``{}`` when the file does not exist or has no entry for the
    component. Raises :class:`CachedPortsError` when the file is not a JSON
    object or the component's entry is not a mapping of port names to side
    letters, and OSError when the file cannot be read.
    """
    data = _load(Path(path))
    if component not in data:
        return {}
    return _validated_ports(data[component], f"{path}: component {component!r}")


def write_cached_ports(path: str | os.PathLike[str], component: str, ports: Mapping[str, str]) -> None:
    """Store the port sides of ``component`` in the cached ports file ``path``.

    Other components' entries are kept (an invalid entry of ``component`` itself
    is replaced); missing parent directories are created.
    The file is replaced atomically, so concurrent readers see the old or the
    new content. A malformed existing file raises :class:`CachedPortsError`
    and is left untouched.
    """
    target = Path(path)
    try:
        existing: bytes | None = target.read_bytes()
    except FileNotFoundError:
        existing = None
    content = merged_cached_ports(existing, component, ports, str(target))
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(content)
        os.replace(tmp, target)
    except BaseException:
        os.unlink(tmp)
        raise


def merged_cached_ports(
    existing: bytes | None, component: str, ports: Mapping[str, str], where: str = "cached ports file"
) -> bytes:
    """The content of a cached ports file holding `existing`'s entries (None: no file)
    with those of ``component`` replaced by ``ports``. Raises :class:`CachedPortsError`
    for a malformed `existing` (named `where`) or invalid ports."""
    if not isinstance(component, str) or not component:
        raise CachedPortsError(f"component name must be a non-empty string, got {component!r}")
    entry = _validated_ports(ports, f"ports of {component!r}")
    data = {} if existing is None else _parse(existing, where)
    data[component] = entry
    return (json.dumps(data, indent=2) + "\n").encode("utf-8")


def _load(path: Path) -> dict[str, Any]:
    try:
        content = path.read_bytes()
    except FileNotFoundError:
        return {}
    return _parse(content, str(path))


def _parse(content: bytes, path: str) -> dict[str, Any]:
    try:
        data = json.loads(content)
    except (ValueError, RecursionError) as exc:  # JSONDecodeError, UnicodeDecodeError, nesting
        raise CachedPortsError(f"{path}: not valid JSON: {exc}") from exc
    if not isinstance(data, dict):
        raise CachedPortsError(f"{path}: expected a JSON object of components, got {type(data).__name__}")
    return data


def _validated_ports(ports: Any, where: str) -> dict[str, str]:
    if not isinstance(ports, Mapping):
        raise CachedPortsError(f"{where}: expected a mapping of port names to sides, got {type(ports).__name__}")
    result: dict[str, str] = {}
    for name, side in ports.items():
        if not isinstance(name, str) or not name:
            raise CachedPortsError(f"{where}: port names must be non-empty strings, got {name!r}")
        if not isinstance(side, str) or side not in SIDES:
            raise CachedPortsError(f"{where}: port {name!r} has side {side!r}, expected one of w, n, e, s")
        result[name] = side
    return result
