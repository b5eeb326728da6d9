"""Real layouts for tests, built with the demo kit (`demo_pdk`) and `cellgrid`.

Every helper works on a top cell made by `new_cell` in the default library
`cg.kcl`, where the kit builds its components:

    top = new_cell()
    a = place(top, "mmi1x2", "a")
    b = place(top, "mmi1x2", "b", x=300, y=100)
    waveguide(top, a["o2"], b["o1"])          # unnamed straights and bends
    s = attach(top, "straight", "o1", b["o2"], name="s")   # port to port
    expose(top, a["o1"], "in")                # an external port of the cell
    p, q = place(top, "pad", "p", y=-300), place(top, "pad", "q", x=300, y=-300)
    metal(top, p["e3"], q["e1"])              # a metal wire between two pads

`snapshot()` records a library's cells, shapes, instances and ports, so a test
can check that an operation left the layout as it found it.

`netlist_reading` (a fixture: import it into a test module) runs each test of
that module twice: with the connectivity tables `cell.l2n()` hands over, and
with a result that has none, so that the extraction walks the netlist.
"""

from __future__ import annotations

import itertools
from collections.abc import Iterator, Sequence
from typing import Any

import pytest

import cellgrid as cg
import demo_pdk

kdb = cg.kdb
PDK = demo_pdk.PDK.activate()
CONNECTIVITY = PDK.connectivity
"""The kit's layer sets: [("M1", "VIA1", "M2")]."""

_serial = itertools.count()


@pytest.fixture(autouse=True, params=["tables", "netlist walk"])
def netlist_reading(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> Iterator[str]:
    """How the extraction reads the port connectivity (see the module documentation)."""
    if request.param == "netlist walk":
        with_tables = cg.ProtoTKCell.l2n

        def without_tables(self: cg.ProtoTKCell[Any], port_types: Any = ("optical",)) -> cg.PortConnectivity:
            result = with_tables(self, port_types)
            result.tables = None
            return result

        monkeypatch.setattr(cg.ProtoTKCell, "l2n", without_tables)
    yield request.param


Component = str | cg.DKCell
"""A kit component name (built with its defaults) or a built cell."""


def new_cell(prefix: str = "test_top") -> cg.DKCell:
    """A new, empty cell in the default library, under a name not used before."""
    return cg.DKCell(cg.kcl.layout.unique_cell_name(f"{prefix}_{next(_serial)}"))


def component(spec: Component, **settings: Any) -> cg.DKCell:
    """A kit component by name (with `settings`), or a built cell as it is."""
    return PDK.get_component(spec, **settings)


def place(
    top: cg.DKCell,
    spec: Component,
    name: str | None = None,
    *,
    x: float = 0.0,
    y: float = 0.0,
    rotation: float = 0,
    mirror: bool = False,
) -> cg.DInstance:
    """Place a component at (x, y) µm, rotated by `rotation` degrees; unnamed when `name` is None."""
    trans = kdb.DCplxTrans(1, rotation, mirror, x, y)
    return top.create_inst(component(spec), trans, name=name)


def place_array(
    top: cg.DKCell,
    spec: Component,
    name: str | None,
    *,
    x: float = 0.0,
    y: float = 0.0,
    a: tuple[float, float] = (0, 0),
    b: tuple[float, float] = (0, 0),
    na: int = 1,
    nb: int = 1,
) -> list[cg.DInstance]:
    """Place a KLayout array of `na` by `nb` copies at (x, y) µm, copy (i, j)
    displaced by i * `a` + j * `b` µm; returns its elements (`DInstance.elements`)."""
    cell = component(spec)
    trans = kdb.DCplxTrans(1, 0, False, x, y)
    array = kdb.DCellInstArray(cell.cell_index, trans, kdb.DVector(*a), kdb.DVector(*b), na, nb)
    inst = cg.DInstance(top.kdb_cell.insert(array), top)
    inst.name = name
    return inst.elements()


def attach(top: cg.DKCell, spec: Component, port: str, to: cg.Port, name: str | None = None) -> cg.DInstance:
    """Place a component so that its port `port` meets the port `to`."""
    return place(top, spec, name).connect(port, to)


def waveguide(top: cg.DKCell, port1: cg.Port, port2: cg.Port, **settings: Any) -> list[cg.DInstance]:
    """A routed waveguide from `port1` to `port2`: unnamed straights and bends."""
    return demo_pdk.route_single(top, port1, port2, **settings)


def straight_run(top: cg.DKCell, start: cg.Port, lengths: Sequence[float]) -> list[cg.DInstance]:
    """Unnamed straights of the given lengths (µm), end to end from the port `start`."""
    pieces: list[cg.DInstance] = []
    current = start
    for length in lengths:
        piece = attach(top, component("straight", length=length), "o1", current)
        pieces.append(piece)
        current = piece["o2"]
    return pieces


def metal(top: cg.DKCell, port1: cg.Port, port2: cg.Port) -> kdb.Shape:
    """A metal wire (path on M2) from the electrical port `port1` to `port2`."""
    return demo_pdk.route_single_electrical(top, port1, port2)


def metal_path(top: cg.DKCell, layer: str, points: Sequence[tuple[float, float]], width: float = 10.0) -> kdb.Shape:
    """A path of `width` µm through `points` (µm) on the kit layer `layer`."""
    path = kdb.DPath([kdb.DPoint(x, y) for x, y in points], width)
    return top.shapes(PDK.layers[layer]).insert(path)


def via(top: cg.DKCell, x: float, y: float, size: float = 4.0) -> kdb.Shape:
    """A square VIA1 cut of `size` µm centred on (x, y) µm."""
    half = size / 2
    return top.shapes(PDK.layers["VIA1"]).insert(kdb.DBox(x - half, y - half, x + half, y + half))


def expose(top: cg.DKCell, port: cg.Port, name: str) -> cg.Port:
    """Make `port` (an instance's port) an external port of `top` called `name`."""
    return top.add_port(port, name)


def snapshot(kcl: cg.KCLayout | None = None) -> dict[str, Any]:
    """Cells of a library with their shapes, instances (with properties), ports and lock flags."""
    lib = cg.kcl if kcl is None else kcl
    layout = lib.layout
    cells: dict[str, Any] = {}
    for cell in layout.each_cell():
        shapes = sorted(
            f"{layout.get_info(li)} {shape}" for li in layout.layer_indexes() for shape in cell.shapes(li).each()
        )
        insts = sorted(f"{inst} {inst.property(0)!r}" for inst in cell.each_inst())
        ports = [
            (p.name, p.port_type, str(p.layer_info), str(p.dcplx_trans), p.width)
            for p in lib.base(cell.cell_index()).ports
        ]
        cells[cell.name] = {"shapes": shapes, "insts": insts, "ports": ports, "locked": cell.locked}
    return cells


def count_texts(kcl: cg.KCLayout | None = None) -> int:
    """Number of text shapes in all cells of a library."""
    layout = (cg.kcl if kcl is None else kcl).layout
    return sum(
        1 for cell in layout.each_cell() for li in layout.layer_indexes() for s in cell.shapes(li).each() if s.is_text()
    )
