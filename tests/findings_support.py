"""Shared helpers of the findings, check and command-line tests.

Layouts are built from the demo kit's components in the shared cell library;
each test cell gets a fresh name. Report databases are read back from the
``.lyrdb`` files KLayout writes, so tests see exactly what a viewer would.
"""

from __future__ import annotations

import itertools
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

import cellgrid as cg
from deepdiff import DeepDiff
from klayout.rdbcore import RdbItemValue, ReportDatabase

kdb = cg.kdb

_serial = itertools.count()


def unique_name(prefix: str) -> str:
    """A cell name no other test uses."""
    return f"{prefix}_{next(_serial)}"


def new_cell(prefix: str) -> cg.DKCell:
    """An empty cell of the shared library with a name no other test uses."""
    return cg.kcl.dkcell(unique_name(prefix))


def first_text(values: list[Any]) -> str:
    """The first text value of an item."""
    return next(value for value in values if isinstance(value, str))


def place(
    cell: cg.DKCell, component: str, name: str, x: float, y: float, angle: float = 0, **settings: Any
) -> cg.DInstance:
    """Place the active kit's `component` in `cell` as instance `name` (µm, degrees)."""
    import maskwright as mw

    built = mw.get_active_pdk().get_component(component, **settings)
    return cell.create_inst(built, kdb.DCplxTrans(1, angle, False, x, y), name=name)


def netlist(instances: dict[str, str], nets: Iterable[tuple[str, str]] = ()) -> dict[str, Any]:
    """A netlist mapping: instance name -> component, nets given as endpoint pairs."""
    canonical = sorted(tuple(sorted(pair)) for pair in nets)
    return {
        "instances": {name: {"component": component} for name, component in instances.items()},
        "nets": {f"{p1}:{p2}": {"p1": p1, "p2": p2} for p1, p2 in canonical},
        "ports": {},
    }


def diff(ref: dict[str, Any], layout: dict[str, Any]) -> dict[str, Any]:
    """The difference of two netlists, reference first, as the check computes it."""
    return DeepDiff(ref, layout, ignore_order=True).to_dict()


def reloaded(rdb: ReportDatabase, directory: Path) -> ReportDatabase:
    """Save `rdb` as a .lyrdb file and load it back into a new database."""
    path = directory / "report.lyrdb"
    rdb.save(str(path))
    loaded = ReportDatabase("")
    loaded.load(str(path))
    return loaded


def value_of(value: RdbItemValue) -> Any:
    """A report value as a plain object: str, DBox, DPolygon, DEdge, DText or float."""
    if value.is_string():
        return value.string()
    if value.is_box():
        return value.box()
    if value.is_polygon():
        return value.polygon()
    if value.is_edge():
        return value.edge()
    if value.is_text():
        return value.text()
    if value.is_float():
        return value.float()
    raise AssertionError(f"unexpected report value {value}")


def findings(rdb: ReportDatabase) -> dict[str, list[list[Any]]]:
    """Category name -> its items in creation order, each the list of its values."""
    result: dict[str, list[list[Any]]] = {c.name(): [] for c in rdb.each_category()}
    for item in rdb.each_item():
        name = rdb.category_by_id(item.category_id()).name()
        result[name].append([value_of(v) for v in item.each_value()])
    return result


def item_cells(rdb: ReportDatabase) -> set[str]:
    """Names of the report cells that items point at."""
    return {rdb.cell_by_id(item.cell_id()).name() for item in rdb.each_item()}


Point = tuple[float, float]


def outline(shape: kdb.DPolygon | Sequence[Point]) -> list[tuple[Point, Point]]:
    """The sides of a closed outline as sorted undirected segments.

    KLayout normalises a polygon's start point and, from its signed area, its
    orientation; a crossing or collapsed outline has no area, so each load may
    flip it. The sides themselves are what a viewer draws, and they tell the
    order of the points apart (a crossing outline from its rectangle).
    """
    if isinstance(shape, kdb.DPolygon):
        points = [(p.x, p.y) for p in shape.each_point_hull()]
    else:
        points = [(float(x), float(y)) for x, y in shape]
    sides = zip(points, points[1:] + points[:1])
    return sorted(tuple(sorted(side)) for side in sides)  # type: ignore[misc]
