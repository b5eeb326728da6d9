"""The `@cell` decorator: cell functions that build each component once.

A decorated function builds a cell in `cg.kcl` the first time it is called
with some settings; later calls with equal settings return the same cell. The
cell built with the default settings is named exactly like the function (the
component name); other settings are appended to the name, for example
`straight_length20`. Built cells are locked, so a cached component cannot be
changed by accident.

A kit can declare the limits of numeric settings, ``@cell(limits={"length":
{"minimum": 0}})`` (keys ``minimum``, ``maximum``, ``exclusive_minimum``,
``exclusive_maximum``; for a tuple setting they bound each number): a call
outside them is refused before anything is built, and the function's
``setting_limits`` tells them to whoever asks (the editor refuses such values
where they are typed).
"""

from __future__ import annotations

import functools
import hashlib
import inspect
import re
from collections.abc import Callable, Hashable, Mapping
from typing import Any, ParamSpec, TypeVar

import cellgrid as cg
import klayout.db as kdb

from .cross_section import CrossSection

__all__ = ["LIMIT_KEYS", "cell", "cell_name", "limit_problem", "settings_from_name"]

#: The limits a setting may declare, with the comparison each asks of a value.
LIMIT_KEYS: dict[str, tuple[str, Callable[[float, float], bool]]] = {
    "minimum": ("at least", lambda v, bound: v >= bound),
    "exclusive_minimum": ("more than", lambda v, bound: v > bound),
    "maximum": ("at most", lambda v, bound: v <= bound),
    "exclusive_maximum": ("less than", lambda v, bound: v < bound),
}

P = ParamSpec("P")
C = TypeVar("C", bound=cg.ProtoTKCell[Any])


def _freeze(value: Any) -> Hashable:
    """A hashable stand-in for a setting value (lists become tuples, dicts sorted items)."""
    if isinstance(value, (list, tuple)):
        return tuple(_freeze(v) for v in value)
    if isinstance(value, dict):
        return tuple(sorted((str(k), _freeze(v)) for k, v in value.items()))
    if isinstance(value, (set, frozenset)):
        return frozenset(_freeze(v) for v in value)
    try:
        hash(value)
    except TypeError:
        return (type(value).__name__, repr(value))
    return value


def _fmt(value: Any) -> str:
    """Short text of a setting value for cell names."""
    if isinstance(value, bool):
        return "T" if value else "F"
    if isinstance(value, int):
        return str(value).replace("-", "m")
    if isinstance(value, float):
        text = f"{value:.6f}".rstrip("0").rstrip(".")
        return text.replace("-", "m").replace(".", "p")
    if isinstance(value, str):
        return re.sub(r"[^A-Za-z0-9_]", "", value)
    if isinstance(value, (tuple, list)):
        return "x".join(_fmt(v) for v in value)
    if isinstance(value, CrossSection):
        return _fmt(value.name)
    if isinstance(value, kdb.LayerInfo):
        return _fmt(value.name) if value.name else f"{value.layer}_{value.datatype}"
    if isinstance(value, cg.ProtoTKCell):
        return _fmt(value.name)
    name = getattr(value, "__name__", None)
    return _fmt(name) if isinstance(name, str) else type(value).__name__


def cell_name(base: str, changed: dict[str, Any]) -> str:
    """Name of a cell built by the function `base` with the non-default settings `changed`."""
    if not changed:
        return base
    return base + "_" + "_".join(f"{k}{_fmt(v)}" for k, v in changed.items())


_NOT_PARSED = object()
_NUMBER = re.compile(r"m?[0-9]+(p[0-9]+)?")

#: Readings of one cell name tried at most: names are short, but a value text
#: may hold underscores, so each could end before any later setting's name.
MAX_READINGS = 64


def _value_from_text(text: str, default: Any) -> Any:
    """The setting value whose text (`_fmt`) is `text`, of the type of `default`; `_NOT_PARSED` if none."""
    if isinstance(default, bool):
        return {"T": True, "F": False}.get(text, _NOT_PARSED)
    if isinstance(default, (int, float)) or default is None:
        if _NUMBER.fullmatch(text):
            number = text.replace("m", "-").replace("p", ".")
            return float(number) if "." in number or isinstance(default, float) else int(number)
        return _NOT_PARSED if default is not None else text
    if isinstance(default, (tuple, list)):
        parts = text.split("x")
        if len(parts) != len(default):
            return _NOT_PARSED
        values = [_value_from_text(part, item) for part, item in zip(parts, default)]
        return _NOT_PARSED if any(v is _NOT_PARSED for v in values) else type(default)(values)
    return text


def settings_from_name(function: Callable[..., Any], name: str) -> list[dict[str, Any]]:
    """The settings that would make the cell function `function` name its cell `name`.

    The inverse of `cell_name`, by reading: `straight_length20` gives
    `[{"length": 20.0}]`. A name may read in more than one way (a text value
    may hold underscores) or in none; the settings are only a candidate until
    the function, called with them, builds a cell of that very name.
    """
    base = getattr(function, "__name__", "")
    if name == base:
        return [{}]
    if not base or not name.startswith(base + "_"):
        return []
    parameters = [
        p
        for p in inspect.signature(function).parameters.values()
        if p.kind not in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD)
    ]
    text = name[len(base) + 1 :]
    readings: list[dict[str, Any]] = []

    def read(at: int, first: int, found: dict[str, Any]) -> None:
        if len(readings) >= MAX_READINGS:
            return
        if at == len(text):
            readings.append(dict(found))
            return
        for index in range(first, len(parameters)):
            parameter = parameters[index]
            if not text.startswith(parameter.name, at):
                continue
            start = at + len(parameter.name)
            later = [p.name for p in parameters[index + 1 :]]
            ends = [
                end
                for end in range(start, len(text))
                if text[end] == "_" and any(text.startswith(n, end + 1) for n in later)
            ]
            for end in [*ends, len(text)]:
                default = None if parameter.default is inspect.Parameter.empty else parameter.default
                value = _value_from_text(text[start:end], default)
                if value is not _NOT_PARSED:
                    read(min(end + 1, len(text)), index + 1, {**found, parameter.name: value})

    read(0, 0, {})
    return readings


def _normalise(value: Any) -> Any:
    """A cross-section equal to the active kit's one of that name is replaced by the name."""
    if isinstance(value, CrossSection):
        from .pdk import _active

        if _active is not None and _active.cross_sections.get(value.name) == value:
            return value.name
    return value


def limit_problem(name: str, value: Any, limits: Mapping[str, float]) -> str:
    """Why the setting `name` = `value` is outside `limits`, or "" (values that are not numbers pass)."""
    numbers = value if isinstance(value, (tuple, list)) else (value,)
    for number in numbers:
        if isinstance(number, bool) or not isinstance(number, (int, float)):
            continue
        for key, bound in limits.items():
            words, holds = LIMIT_KEYS[key]
            if not holds(number, bound):
                return f"{name} must be {words} {bound}, got {value!r}"
    return ""


def _checked_limits(
    fname: str, sig: inspect.Signature, limits: Mapping[str, Mapping[str, float]]
) -> dict[str, dict[str, float]]:
    """`limits` as plain dicts, after checking that they name parameters and known limits."""
    checked: dict[str, dict[str, float]] = {}
    for name, bounds in limits.items():
        if name not in sig.parameters:
            raise TypeError(f"cell function {fname} has no setting {name!r} to limit")
        unknown = set(bounds) - set(LIMIT_KEYS)
        if unknown or not all(isinstance(b, (int, float)) and not isinstance(b, bool) for b in bounds.values()):
            raise TypeError(f"limits of {fname}.{name} must be numbers named {', '.join(LIMIT_KEYS)}")
        checked[name] = dict(bounds)
    return checked


def cell(
    func: Callable[P, C] | None = None,
    *,
    kcl: cg.KCLayout | None = None,
    limits: Mapping[str, Mapping[str, float]] | None = None,
) -> Any:
    """Decorate a cell function so each distinct setting builds one cached, locked cell."""
    if func is None:
        return functools.partial(cell, kcl=kcl, limits=limits)
    sig = inspect.signature(func)
    fname = func.__name__
    setting_limits = _checked_limits(fname, sig, limits or {})

    @functools.wraps(func)
    def wrapper(*args: P.args, **kwargs: P.kwargs) -> cg.DKCell:
        lib = cg.kcl if kcl is None else kcl
        bound = sig.bind(*args, **kwargs)
        bound.apply_defaults()
        for name, bounds in setting_limits.items():
            problem = limit_problem(name, bound.arguments[name], bounds)
            if problem:
                raise ValueError(problem)
        settings = {k: _normalise(v) for k, v in bound.arguments.items()}
        key = (func.__module__, func.__qualname__, _freeze(settings))
        hit = lib.cell_cache.get(key)
        if hit is not None and lib.layout.is_valid_cell_index(hit.cell_index):
            return cg.DKCell(base=hit)
        built = func(*bound.args, **bound.kwargs)
        if not isinstance(built, cg.ProtoTKCell):
            raise TypeError(f"cell function {fname} returned {type(built).__name__}, not a cell")
        if built.kcl is not lib:
            raise ValueError(f"cell function {fname} built its cell in {built.kcl.name!r}, not {lib.name!r}")
        changed = {
            k: v
            for k, v in settings.items()
            if sig.parameters[k].kind not in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD)
            and _freeze(v) != _freeze(_normalise(sig.parameters[k].default))
        }
        name = cell_name(fname, changed)
        if lib.layout.cell(name) is not None and lib.layout.cell(name).cell_index() != built.cell_index:
            digest = hashlib.sha1(repr(key).encode()).hexdigest()[:8]
            name = lib.layout.unique_cell_name(f"{name}_{digest}")
        built.name = name
        base = built._base
        base.settings = dict(settings)
        base.function_name = fname
        built.kdb_cell.locked = True
        lib.cell_cache[key] = base
        return cg.DKCell(base=base)

    wrapper.setting_limits = setting_limits  # type: ignore[attr-defined]
    return wrapper
