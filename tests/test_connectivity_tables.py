"""The extraction takes the cell library's connectivity tables on trust only
as far as they hang together: tables that contradict themselves stop it with a
clear error instead of a wrong netlist or a crash."""

from __future__ import annotations

from array import array
from collections.abc import Callable
from typing import Any

import pytest

import cellgrid as cg
import quillon.core.lvs as lvs
from layout_builders import PDK, attach, new_cell, place

Spoil = Callable[[cg.ConnectivityTables], None]


@pytest.mark.parametrize(
    ("spoil", "table"),
    [
        (lambda t: t.xs.pop(), "xs"),
        (lambda t: t.endpoint_nets.pop(), "endpoint_nets"),
        (lambda t: t.endpoint_nets.__setitem__(0, t.net_count), "endpoint_nets"),
        (lambda t: t.endpoint_instances.__setitem__(0, -1), "endpoint_instances"),
        (lambda t: t.endpoint_pins.__setitem__(0, 99), "endpoint_pins"),
        (lambda t: t.top_pins.append(("ghost", t.net_count + 3)), "top_pins"),
        (lambda t: t.pin_names.clear(), "pin_names"),
        (lambda t: setattr(t, "kept_placements", tuple(t.kept_placements)), "kept_placements"),
        (lambda t: t.orientations.pop(), "orientations"),
        (lambda t: t.orientations.__setitem__(t.kept_placements.index(None), 8), "orientations"),
        (lambda t: setattr(t, "endpoint_pins", [*t.endpoint_pins[:-1], 99]), "endpoint_pins"),
        (lambda t: setattr(t, "xs", array("f", t.xs)), "xs"),
    ],
)
def test_inconsistent_tables_stop_the_extraction(monkeypatch: pytest.MonkeyPatch, spoil: Spoil, table: str) -> None:
    PDK.activate()
    top = new_cell()
    a = place(top, "mmi1x2", "a")
    attach(top, "straight", "o1", a["o2"], name="s")
    attach(top, "straight", "o1", a["o3"])  # unnamed: its placement is not kept
    honest = cg.ProtoTKCell.l2n
    handed: list[cg.ConnectivityTables] = []

    def spoilt(self: cg.ProtoTKCell[Any], port_types: Any = ("optical",)) -> cg.PortConnectivity:
        result = honest(self, port_types)
        assert result.tables is not None
        spoil(result.tables)
        handed.append(result.tables)
        return result

    monkeypatch.setattr(cg.ProtoTKCell, "l2n", spoilt)
    with pytest.raises(RuntimeError, match=rf"^the cell library's connectivity tables are inconsistent \({table}\)$"):
        lvs.extract_lvs_netlist(top)
    # the check lets go of every array it read, refused or not
    for name in ("xs", "ys", "cell_indexes", "endpoint_instances", "endpoint_pins", "endpoint_nets"):
        column = getattr(handed[0], name)
        if isinstance(column, array):
            column.append(column[0])
