"""What the check makes sure of a layout it has read, before checking it.

KLayout reads some broken files without complaint and refuses others with
its own internal assertions; either way the user should learn in one plain
line what is wrong with the file:

- :func:`reading_problem` turns KLayout's assertion texts met while reading
  (cells placing one another in a cycle, a cell without a name, an instance
  magnified by zero or less) into plain words;
- :func:`coordinate_problem` finds what a cell places beyond the layout's
  32-bit database coordinates, where KLayout's coordinates wrap round (an
  instance magnified by infinity or 1e300, say): the boxes KLayout computes
  for it are then wrong, and so would be the check.

A magnification of NaN in an OASIS file is read by KLayout as 1 (it compares
the value with 1 within a tolerance, which NaN never fails), so a layout
viewer shows such an instance unmagnified and the check sees it the same.
"""

from __future__ import annotations

import math
from typing import Any

from cellgrid.conf import MAX_COORDINATE, PROPID

__all__ = ["coordinate_problem", "reading_problem"]

#: A text of KLayout's internal assertions -> what it means of the file being read.
_ASSERTIONS = (
    ("topological_sort", "its cells place one another in a cycle"),
    ("cn.empty", "a cell has an empty name"),
    ("mag > 0.0", "an instance is magnified by zero or less"),
)


def reading_problem(text: str) -> str:
    """The error text of a failed read, in plain words where it is one of KLayout's assertions."""
    if text.startswith("Internal error:"):
        for mark, meaning in _ASSERTIONS:
            if mark in text:
                return meaning
    return text


def coordinate_problem(cell: Any) -> str | None:
    """Why `cell` (a KLayout cell) cannot be checked as read, or None when all it places is in range.

    A cell's box at the edge of the coordinate range is the mark of a
    placement that wrapped round; only then are the instances below it
    searched (in floating point) for the one to name.
    """
    edge = MAX_COORDINATE
    box = cell.bbox()
    if box.empty() or max(-box.left, -box.bottom, box.right, box.top) < edge:
        return None
    layout = cell.layout()
    for parent_index in [cell.cell_index(), *cell.called_cells()]:
        parent = layout.cell(parent_index)
        for instance in parent.each_inst():
            problem = _instance_problem(layout, parent, instance)
            if problem:
                return problem
    return f"cell {cell.name!r} reaches beyond the layout's coordinates (±{edge} database units)"


def _instance_problem(layout: Any, parent: Any, instance: Any) -> str | None:
    trans = instance.dcplx_trans
    child = layout.cell(instance.cell_index)
    corners = ()
    if not child.bbox().empty():
        placed = trans * child.dbbox()
        corners = (placed.left, placed.bottom, placed.right, placed.top)
    limit = MAX_COORDINATE * layout.dbu
    if math.isfinite(trans.mag) and all(math.isfinite(c) and abs(c) <= limit for c in corners):
        return None
    name = instance.property(PROPID.NAME) if instance.prop_id else None
    what = f"instance {name!r}" if name is not None else f"an instance of cell {child.name!r}"
    how = f"magnified by {trans.mag:g}" if trans.mag != 1 else f"placed at {trans.disp}"
    return f"{what} in cell {parent.name!r} is {how} and reaches beyond the layout's coordinates (±{limit:.3f} µm)"
