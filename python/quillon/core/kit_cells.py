"""Cells of a layout that lost their ports and settings, given them again by the kit.

A GDS file re-saved without KLayout's context information keeps every cell's
name, shapes and instance names but loses what the cell library kept in the
cells' meta information: their ports and the settings they were built with
(the cell library marks such cells, ``ports_known`` false). Where such a
cell's name is one the active kit gives a cell it builds (``straight``, or
``straight_length20`` read back into its settings) and the kit's cell has the
same outline, the layout's cell takes that cell's ports and settings.
"""

from __future__ import annotations

from typing import Any

import maskwright as mw

__all__ = ["restore_kit_cells"]


def restore_kit_cells(kcl: Any, kit: Any) -> list[str]:
    """Give each cell of the layout library `kcl` that lost its port information the
    ports and settings of the cell of that name the active `kit` builds; the names
    of the cells given them, in the layout's order."""
    functions = sorted(((getattr(f, "__name__", ""), f) for f in kit.cells.values()), key=lambda item: -len(item[0]))
    restored = []
    for cell in kcl.layout.each_cell():
        base = kcl.base(cell.cell_index())
        if base.ports_known:
            continue
        built = _kit_cell(functions, cell.name)
        if built is not None and built.kcl.dbu == kcl.dbu and built.bbox() == cell.bbox():
            base.take_from(built._base)
            restored.append(cell.name)
    return restored


def _kit_cell(functions: list[tuple[str, Any]], name: str) -> Any:
    """The cell the kit builds under `name`, or None: the function whose cells
    begin with its name, called with the settings the rest of the name reads as."""
    for function_name, function in functions:
        if name != function_name and not name.startswith(function_name + "_"):
            continue
        for settings in mw.settings_from_name(function, name):
            try:
                built = function(**settings)
            except Exception:  # a reading the function refuses is not its cell
                continue
            if built.name == name:
                return built
    return None
