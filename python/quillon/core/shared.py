"""Services shared by the core modules: kit activation and cell source lookup."""

from __future__ import annotations

import functools
import importlib
import inspect
import os
from collections.abc import Callable
from typing import Any

__all__ = ["PdkNotFoundError", "activate_pdk_by_name", "get_cell_path"]

#: Attribute a kit sets on a cell function that is defined by a file other than
#: its Python source, e.g. a cell built from a ``.pic.yml`` netlist. Its value is
#: that file's path (str or os.PathLike; a relative path is taken against the
#: current directory, so kits should store absolute paths); it takes precedence
#: over the Python source file.
SOURCE_PATH_ATTR = "__source_path__"


class PdkNotFoundError(ValueError):
    """No process design kit of the given name can be activated."""


def activate_pdk_by_name(name: str) -> Any:
    """Import the kit package ``name``, activate its ``PDK`` and return it.

    The kit stays active afterwards. A name that is not an importable package,
    or a package without a ``PDK`` object, raises :class:`PdkNotFoundError`
    (a ValueError). Import errors raised *inside* an existing kit package (a
    missing dependency of the kit, say) propagate unchanged.
    """
    if not isinstance(name, str):
        raise TypeError(f"kit name must be a string, got {type(name).__name__}")
    if not name:
        raise PdkNotFoundError("kit name is empty")
    try:
        module = importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name is None or not _is_prefix_of(exc.name, name):
            raise
        raise PdkNotFoundError(f"unknown process design kit {name!r}: no package of that name") from exc
    pdk = getattr(module, "PDK", None)
    if pdk is None:
        raise PdkNotFoundError(f"package {name!r} is not a process design kit: it has no 'PDK' attribute")
    if not callable(getattr(pdk, "activate", None)):
        raise PdkNotFoundError(f"{name}.PDK has no activate() method")
    pdk.activate()
    return pdk


def _is_prefix_of(missing: str, name: str) -> bool:
    """Whether the missing module is ``name`` itself or one of its parent packages."""
    return name == missing or name.startswith(missing + ".")


def get_cell_path(cell_function: Callable[..., Any] | None, error_on_not_found: bool = False) -> str | None:
    """Return the absolute path of the file that defines ``cell_function``.

    Partials and decorated functions (``functools.wraps``) are looked through.
    A function (or any function it wraps) carrying ``__source_path__`` is
    defined by that file, e.g. a ``.pic.yml`` netlist; otherwise the Python
    source file of the innermost function is used.

    When no existing file is found (also for ``None`` or a built-in), return
    ``None``, or raise FileNotFoundError if ``error_on_not_found`` is true.
    """
    path = _find_cell_path(cell_function)
    if path is not None and os.path.isfile(path):
        return os.path.abspath(path)
    if error_on_not_found:
        if cell_function is None:
            raise FileNotFoundError("no cell function given, so it has no source file")
        where = f" (expected {path})" if path is not None else ""
        raise FileNotFoundError(f"cannot find the source file of cell {_describe(cell_function)}{where}")
    return None


def _find_cell_path(cell_function: Callable[..., Any] | None) -> str | None:
    for func in _unwrapped_chain(cell_function):
        marked = getattr(func, SOURCE_PATH_ATTR, None)
        if marked is not None:
            return os.fspath(marked)
    innermost = None
    for func in _unwrapped_chain(cell_function):
        innermost = func
    if innermost is None:
        return None
    target = innermost if inspect.isroutine(innermost) or inspect.isclass(innermost) else type(innermost)
    try:
        return inspect.getsourcefile(target)
    except TypeError:  # built-ins and C extensions have no source file
        return None


def _unwrapped_chain(func: Any) -> list[Any]:
    """``func`` followed by what it wraps: partial targets and ``__wrapped__`` chains."""
    chain: list[Any] = []
    seen: set[int] = set()
    while func is not None and id(func) not in seen:
        seen.add(id(func))
        chain.append(func)
        if isinstance(func, functools.partial):
            func = func.func
        else:
            func = getattr(func, "__wrapped__", None)
    return chain


def _describe(func: Any) -> str:
    inner = _unwrapped_chain(func)[-1]
    return repr(getattr(inner, "__qualname__", None) or getattr(inner, "__name__", None) or inner)
