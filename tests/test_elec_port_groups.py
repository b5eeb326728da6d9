"""find_connected_elec_ports: ports grouped by the conductor they touch, each
mapped to the first port name of its group, memoised per (cell, layer set)."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import pytest

import cellgrid as cg
import quillon.core.lvs as lvs
from layout_builders import CONNECTIVITY, PDK, component, metal, new_cell, place

kdb = cg.kdb
M1, VIA1, M2 = (PDK.layers[name] for name in ("M1", "VIA1", "M2"))


@pytest.fixture(autouse=True)
def demo_kit() -> Iterator[None]:
    PDK.activate()
    yield


def box(cell: cg.DKCell, layer: kdb.LayerInfo, x0: float, y0: float, x1: float, y1: float) -> None:
    cell.shapes(layer).insert(kdb.DBox(x0, y0, x1, y1))


def port(cell: cg.DKCell, name: str, x: float, y: float, layer: kdb.LayerInfo = M2) -> None:
    """An electrical port at (x, y) µm, facing east."""
    cell.create_port(name, kdb.Trans(0, False, round(x * 1000), round(y * 1000)), 1.0, layer, "electrical")


def two_islands() -> cg.DKCell:
    """Two M2 islands: ports c and a on the first, b on the second; others off them."""
    c = new_cell("islands")
    box(c, M2, 0, 0, 10, 10)
    box(c, M2, 20, 0, 30, 10)
    port(c, "c", 10, 5)
    port(c, "b", 20, 5)
    port(c, "a", 0, 5)
    port(c, "far", 15, 5)  # between the islands, 5 µm from both
    port(c, "m1", 5, 5, M1)  # on the island's area, but on M1
    return c


def stacked(with_via: bool) -> cg.DKCell:
    """An M1 and an M2 plate, apart, that only a via bridges; ports t (M2) and s (M1).

    All layers of a set merge into one region, so the via joins them as any
    overlap of the set's shapes would."""
    c = new_cell("stacked")
    box(c, M1, 0, 0, 10, 10)
    box(c, M2, 12, 0, 20, 10)
    if with_via:
        box(c, VIA1, 9, 4, 13, 6)
    port(c, "t", 20, 5, M2)
    port(c, "s", 0, 5, M1)
    return c


def nested() -> cg.DKCell:
    """Ports of a cell on a conductor drawn in a cell it places."""
    inner = new_cell("inner")
    box(inner, M2, 0, 0, 30, 10)
    c = new_cell("outer")
    c.create_inst(inner, kdb.DCplxTrans(1, 0, False, 100, 0))
    port(c, "y", 130, 5)
    port(c, "x", 100, 5)
    return c


CASES = [
    pytest.param(lambda: component("wire", length=50), ("M2",), {"e1": "e1", "e2": "e1"}, id="ends of one wire"),
    pytest.param(lambda: component("mmi1x2"), ("M2",), {}, id="optical ports only"),
    pytest.param(two_islands, ("M2",), {"a": "a", "c": "a", "b": "b"}, id="islands"),
    pytest.param(two_islands, ("M1",), {}, id="port layer outside the set"),
    pytest.param(lambda: stacked(True), ("M1", "VIA1", "M2"), {"s": "s", "t": "s"}, id="via joins the metals"),
    pytest.param(lambda: stacked(False), ("M1", "VIA1", "M2"), {"t": "t", "s": "s"}, id="no via"),
    pytest.param(lambda: stacked(True), ("M2",), {"t": "t"}, id="one metal only"),
    pytest.param(nested, ("M2",), {"x": "x", "y": "x"}, id="shapes of placed cells"),
    pytest.param(lambda: component("pad"), ("M2",), {f"e{i}": "e1" for i in range(1, 5)}, id="pad"),
]


@pytest.mark.parametrize(("build", "layers", "expected"), CASES)
def test_groups(build: Any, layers: tuple[str, ...], expected: dict[str, str]) -> None:
    cell = build()
    groups = lvs.find_connected_elec_ports(cell, layers)
    # groups in the order their first port is met, names sorted within a group
    assert list(groups.items()) == list(expected.items())


def test_repeated_calls_return_the_first_result() -> None:
    cell = two_islands()
    first = lvs.find_connected_elec_ports(cell, ("M2",))
    assert first == {"c": "a", "a": "a", "b": "b"}
    box(cell, M2, 0, 0, 30, 10)  # now one island: the memo does not see it
    assert lvs.find_connected_elec_ports(cell, ("M2",)) is first
    # equal pairs hit the memo: another wrapper of the cell, an equal tuple, keywords
    assert lvs.find_connected_elec_ports(cg.KCell(base=cell._base), tuple(["M2"])) is first
    assert lvs.find_connected_elec_ports(c=cell, layers=("M2",)) is first
    # a new layer set is computed afresh and sees the change
    assert lvs.find_connected_elec_ports(cell, ("M2", "M1")) == dict.fromkeys(["a", "b", "c", "far", "m1"], "a")


def test_the_memo_belongs_to_the_module() -> None:
    cell = two_islands()
    result = lvs.find_connected_elec_ports(cell, ("M2",))
    assert lvs._elec_port_groups_memo[(cell, ("M2",))] is result


def test_extraction_does_not_grow_the_memo() -> None:
    # The electrical stage groups ports on a private copy of the layout; a
    # process-wide entry per copy would keep every copy alive.
    top = new_cell()
    p = place(top, "pad", "p")
    q = place(top, "pad", "q", x=200)
    metal(top, p["e3"], q["e1"])
    lvs.extract_lvs_netlist(top, CONNECTIVITY)
    size = len(lvs._elec_port_groups_memo)
    for _ in range(3):
        lvs.extract_lvs_netlist(top, CONNECTIVITY)
    assert len(lvs._elec_port_groups_memo) == size


@pytest.mark.parametrize(
    ("layers", "error"),
    [
        (["NO_SUCH_LAYER"], TypeError),  # unhashable: fails before the layer is looked up
        (("NO_SUCH_LAYER",), ValueError),
    ],
    ids=["list", "unknown layer"],
)
def test_bad_layer_sets(layers: Any, error: type[Exception]) -> None:
    with pytest.raises(error):
        lvs.find_connected_elec_ports(two_islands(), layers)


def test_layer_infos_select_no_port_when_the_cell_has_none() -> None:
    c = new_cell()
    box(c, M2, 0, 0, 10, 10)
    assert lvs.find_connected_elec_ports(c, (M2,)) == {}
