"""The settings of an instance in its reference netlist against those its layout cell was built with.

The check (``optical_lvs``) asks :class:`SettingsComparison` about every
instance that both netlists place with one component. The layout's side is
what the kit's cell function recorded on the cell it built (the cell library
keeps the function's name and settings, and writes them into the layout
file's meta info); the reference's side is the instance's ``settings``. Both
are filled with the function's defaults first, the very defaults the
editor's settings route serves, so ``{}`` and ``{length: 10}`` agree when 10
is the default. An instance whose reference names a built cell rather than a
kit component (``straight_length100``) is compared on the settings it states.

Values agree when they mean the same: numbers within the tolerance (integer
settings exactly), names exactly, cross-sections and layers by what the kit
resolves them to (the alias ``cross_section`` is the strip it stands for),
lists and mappings element by element. A setting the function does not take
(a typo such as ``lenght``) is a difference too.
"""

from __future__ import annotations

import inspect
import math
from collections.abc import Callable, Hashable
from dataclasses import dataclass
from typing import Any

from quillon.build.setting_types import type_text
from quillon.cli.tree import get_function_args

__all__ = ["DEFAULT_TOLERANCE", "SettingsComparison"]

#: Numbers of settings agree within this much (one database unit in micrometres).
DEFAULT_TOLERANCE = 0.001

#: Cells named in a note before "and N more".
NOTE_CELLS = 5

_UNSET = object()


@dataclass(frozen=True)
class _Function:
    """What the comparison needs of one cell function of the kit."""

    component: str  # its name in the kit
    defaults: dict[str, Any]
    kinds: dict[str, str]  # setting -> "cross_section", "layer", "int", "float" or "other"
    open_ended: bool  # takes **kwargs, so any setting name is one of its own


def _kind(text: str) -> str:
    if "CrossSection" in text:
        return "cross_section"
    if "Layer" in text:
        return "layer"
    if text == "int":
        return "int"
    return "float" if "float" in text else "other"


def _described(component: str, function: Callable[..., Any]) -> _Function:
    parameters = inspect.signature(function).parameters.values()
    kinds = {p.name: _kind(type_text(p)) for p in parameters if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)}
    open_ended = any(p.kind is p.VAR_KEYWORD for p in parameters)
    defaults = {name: value for name, value in get_function_args(function).items() if name in kinds}
    return _Function(component, defaults, kinds, open_ended)


def _frozen(value: Any) -> Hashable:
    """A hashable stand-in for a setting value read from YAML (a type apart: 1, 1.0 and True differ).

    Two equal values may give different stand-ins (keys in another order, NaN):
    the comparison is then only made twice."""
    if isinstance(value, dict):
        return (dict, tuple((k, _frozen(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (list, tuple(_frozen(v) for v in value))
    try:
        hash(value)
    except TypeError:
        return (object, id(value))
    return (type(value), value)


def plain(value: Any) -> Any:
    """`value` as the layout file keeps it (see `cellgrid.gds.plain`), without loading the layout library first."""
    from cellgrid.gds import plain as layout_plain

    return layout_plain(value)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _shown(value: Any) -> str:
    return repr(_as_written(plain(value)))


def _as_written(value: Any) -> Any:
    """`value` with whole floats written as integers (100.0 as 100), so that a
    text does not depend on whether a cell was first built with 100 or 100.0."""
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return int(value)
    if isinstance(value, (list, tuple)):
        return type(value)(_as_written(item) for item in value)
    if isinstance(value, dict):
        return {key: _as_written(item) for key, item in value.items()}
    return value


class SettingsComparison:
    """Compares instance settings for one check: kit, layout library and tolerance."""

    def __init__(self, kit: Any, kcl: Any, tolerance: Any = DEFAULT_TOLERANCE) -> None:
        if not _is_number(tolerance) or not math.isfinite(tolerance) or tolerance < 0:
            raise ValueError(f"the settings tolerance must be a number of 0 or more, got {tolerance!r}")
        self._kit = kit
        self._kcl = kcl
        self._tolerance = float(tolerance)
        # the kit's components by the name of the function that builds them
        self._components = {getattr(f, "__name__", name): name for name, f in kit.cells.items()}
        self._functions: dict[str, _Function | None] = {}
        self._results: dict[Hashable, list[str] | None] = {}
        self._uncompared: dict[str, int] = {}  # cell name -> instances not compared

    # --- the kit ----------------------------------------------------------------

    def _function(self, function_name: str) -> _Function | None:
        if function_name not in self._functions:
            component = self._components.get(function_name)
            function = self._kit.cells.get(component) if component is not None else None
            self._functions[function_name] = _described(component, function) if function else None
        return self._functions[function_name]

    def _resolved(self, value: Any, kind: str) -> Any:
        """A cross-section or layer as the kit resolves it; other values as they are."""
        if kind == "cross_section" and isinstance(value, str):
            return self._kit.cross_sections.get(value, value)
        if kind == "layer":
            if isinstance(value, str) and value in getattr(self._kit, "layers", {}):
                value = self._kit.layers[value]
            if hasattr(value, "layer") and hasattr(value, "datatype"):
                return ("layer", value.layer, value.datatype)
            if isinstance(value, (list, tuple)) and len(value) == 2 and all(map(_is_number, value)):
                return ("layer", *value)
        return value

    def _same(self, first: Any, second: Any, kind: str) -> bool:
        first, second = self._resolved(first, kind), self._resolved(second, kind)
        if _is_number(first) and _is_number(second):
            if kind == "int" or (isinstance(first, int) and isinstance(second, int)):
                return first == second
            slack = self._tolerance + 1e-12 * max(abs(first), abs(second), 1.0)
            return abs(first - second) <= slack
        if isinstance(first, (list, tuple)) and isinstance(second, (list, tuple)):
            return len(first) == len(second) and all(self._same(a, b, kind) for a, b in zip(first, second))
        if isinstance(first, dict) and isinstance(second, dict):
            return first.keys() == second.keys() and all(self._same(first[k], second[k], kind) for k in first)
        if isinstance(first, bool) != isinstance(second, bool):
            return False
        return bool(first == second) or plain(first) == plain(second) and not _is_number(first)

    # --- the check's questions --------------------------------------------------------

    def differences(self, component: str, reference: Any, cell_index: int) -> list[str] | None:
        """How the settings of an instance of `component` differ: one phrase per setting.

        `reference` is the instance's settings in the reference netlist (None
        when it states none), `cell_index` the layout cell it places. None when
        that cell carries no settings (it was not built by a cell function).
        """
        key = (component, cell_index, None if not reference else _frozen(reference))
        if key not in self._results:
            self._results[key] = self._differences(component, reference or {}, cell_index)
        result = self._results[key]
        # a cell that lost its settings with its ports is named by the note on those
        if result is None and self._kcl.base(cell_index).ports_known:
            name = self._kcl.layout.cell_name(cell_index)
            self._uncompared[name] = self._uncompared.get(name, 0) + 1
        return result

    def _differences(self, component: str, reference: dict[Any, Any], cell_index: int) -> list[str] | None:
        base = self._kcl.base(cell_index)
        if not base.function_name:
            return None
        function = self._function(base.function_name)
        built = dict(base.settings)
        names_component = component in self._kit.cells
        if function is None:  # a function the active kit does not have: compare what both state
            function = _Function(base.function_name, {}, {k: "other" for k in built}, False)
        layout = function.defaults | built
        stated = function.defaults if names_component else layout
        phrases = []
        for name in [*function.kinds, *(k for k in reference if k not in function.kinds)]:
            kind = function.kinds.get(name, "other")
            ours, theirs = layout.get(name, _UNSET), reference.get(name, stated.get(name, _UNSET))
            if name not in function.kinds and not function.open_ended and ours is _UNSET:
                phrases.append(
                    f"{name} is not a setting of {function.component!r} ({_shown(theirs)} in the reference netlist)"
                )
            elif ours is _UNSET and theirs is not _UNSET:
                phrases.append(f"{name} is not set in the layout but {_shown(theirs)} in the reference netlist")
            elif theirs is _UNSET and ours is not _UNSET:
                phrases.append(f"{name} is {_shown(ours)} in the layout but not set in the reference netlist")
            elif not self._same(ours, theirs, kind):
                default = " (its default)" if name not in reference and names_component else ""
                phrases.append(
                    f"{name} is {_shown(ours)} in the layout but {_shown(theirs)} in the reference netlist{default}"
                )
        return phrases

    def note(self) -> str | None:
        """The note on the instances whose settings could not be compared, if any."""
        if not self._uncompared:
            return None
        count = sum(self._uncompared.values())
        names = sorted(self._uncompared)
        shown = ", ".join(names[:NOTE_CELLS]) + (
            f" and {len(names) - NOTE_CELLS} more" if len(names) > NOTE_CELLS else ""
        )
        cells = "its cell carries" if len(names) == 1 else "their cells carry"
        return (
            f"the settings of {count} instance{'s' if count != 1 else ''} could not be compared: {cells} no settings "
            f"({shown}), as cells not built by a cell function of the kit"
        )
