"""A plain Python peer of the layout extraction, for the benchmarks.

`extract_in_python(cell, layer_sets)` computes what `extract_lvs_netlist` does
the way a short script over the cell library's public API would: optical ports
matched by hashing (each placed cell's ports moved by `Port.transformed`,
`Port.position_key`, `Port.angle_key`),
unnamed instances dissolved by union-find, and the electrical nets from
KLayout's netlist extraction on a labelled copy of the layout, read back
through the bindings. It covers what the generated benchmark layouts hold
(optical nets of two ports, external ports exposing one instance port); the
benchmark checks that it gives the same netlist as the extraction.
"""

from __future__ import annotations

from typing import Any

import cellgrid as cg
import quillon.core.lvs as lvs

kdb = cg.kdb
NO_CONNECTION = "ERROR_NO_CONNECTION"


class _Union:
    def __init__(self) -> None:
        self.parent: list[int] = []

    def add(self) -> int:
        self.parent.append(len(self.parent))
        return len(self.parent) - 1

    def find(self, i: int) -> int:
        parent = self.parent
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    def union(self, a: int, b: int) -> None:
        ra, rb = self.find(a), self.find(b)
        if ra != rb:
            self.parent[rb] = ra


def _optical(cell: cg.DKCell) -> tuple[dict[str, Any], list[tuple[str, str]], dict[str, str]]:
    union = _Union()
    texts: list[str | None] = []
    by_place: dict[tuple[int, int, int, int], dict[int, list[int]]] = {}
    instances: dict[str, Any] = {}
    # per placed cell, read once: its name and its optical ports
    cells: dict[int, tuple[str, list[cg.Port]]] = {}
    for inst in cell.insts:
        name = inst.name
        known = cells.get(inst.cell_index)
        if known is None:
            placed = inst.cell
            known = cells[inst.cell_index] = (placed.name, [p for p in placed.ports if p.port_type == "optical"])
        cell_name, optical = known
        kdb_inst = inst.instance
        placement = inst.dcplx_trans if kdb_inst.is_complex() else inst.trans
        own: list[int] = []
        for local in optical:
            port = local.transformed(placement)
            e = union.add()
            own.append(e)
            texts.append(f"{name},{port.name}" if name else None)
            by_place.setdefault(port.position_key(), {}).setdefault(port.angle_key(), []).append(e)
        if name:
            instances[name] = {"component": cell_name}
        else:  # wiring: everything on its ports is one net
            for e in own[1:]:
                union.union(own[0], e)
    for by_angle in by_place.values():
        for angle, eps in by_angle.items():
            facing = by_angle.get((angle + 180000) % 360000)
            if facing and angle < 180000:
                for e in eps[1:] + facing:
                    union.union(eps[0], e)
    members: dict[int, list[str]] = {}
    for e, text in enumerate(texts):
        if text is not None:
            members.setdefault(union.find(e), []).append(text)
    ports: dict[str, str] = {}
    exposed: set[int] = set()
    for port in cell.ports:
        if port.port_type != "optical":
            continue
        eps = by_place.get(port.position_key(), {}).get(port.angle_key())
        if eps:
            root = union.find(eps[0])
            exposed.add(root)
            ports[port.name] = members[root][0]
    nets = []
    for root, named in members.items():
        if root in exposed:
            continue
        named.sort()
        nets.append((named[0], named[1] if len(named) == 2 else NO_CONNECTION))
    return instances, nets, ports


def metal_extraction(cell: cg.DKCell, layer_sets: list[tuple[str, ...]]) -> Any:
    """KLayout's netlist extraction of `cell` over the kit's layer sets, as the
    check sets it up: each set a chain of layers, each layer conducting within
    itself. Returns the extractor, its netlist extracted."""
    kcl = cell.kcl
    indexes = sorted({kcl.layer(name) for layer_set in layer_sets for name in layer_set})
    l2n = kdb.LayoutToNetlist(kdb.RecursiveShapeIterator(kcl.layout, cell.kdb_cell, indexes))
    made: dict[str, Any] = {}
    for layer_set in layer_sets:
        last = None
        for name in layer_set:
            if name not in made:
                made[name] = l2n.make_layer(kcl.find_layer(name))
                l2n.connect(made[name])
            if last is not None:
                l2n.connect(made[name], last)
            last = made[name]
    l2n.extract_netlist()
    return l2n


def _electrical(cell: cg.DKCell, layer_sets: list[tuple[str, ...]]) -> list[tuple[str, str]]:
    kcl = cell.kcl.dup()
    try:
        copy = kcl.dkcells[cell.name]
        named: dict[tuple[str, str], str] = {}
        labelled: set[int] = set()
        for inst in copy.insts:
            name = inst.name
            if not name:
                continue
            placed = inst.cell
            named.setdefault((placed.name, str(inst.dcplx_trans)), name)
            if inst.cell_index in labelled:
                continue
            labelled.add(inst.cell_index)
            groups: dict[str, str] = {}
            for layer_set in layer_sets:
                groups.update(lvs.find_connected_elec_ports(placed, layer_set))
            placed.kdb_cell.locked = False
            for port_name in sorted(set(groups.values())):
                port = placed.ports[port_name]
                placed.shapes(port.layer_info).insert(kdb.Text(port_name, port.trans))
        l2n = metal_extraction(copy, layer_sets)
        internal = l2n.internal_layout()
        top = l2n.netlist().circuit_by_cell_index(internal.cell(copy.name).cell_index())
        nets = []
        for net in top.each_net():
            pins = []
            for ref in net.each_subcircuit_pin():
                pin = ref.pin().name()
                if pin:
                    sc = ref.subcircuit()
                    pins.append(f"{named[(internal.cell_name(sc.circuit_ref().cell_index), str(sc.trans))]},{pin}")
            nets.extend((pins[0], other) for other in pins[1:])
        return nets
    finally:
        kcl.layout._destroy()


def extract_in_python(cell: cg.DKCell, layer_sets: list[tuple[str, ...]]) -> dict[str, Any]:
    """The extracted netlist of `cell` (see the module documentation)."""
    instances, optical, ports = _optical(cell)
    nets = {}
    for a, b in optical + _electrical(cell, layer_sets):
        p1, p2 = min(a, b), max(a, b)
        nets[f"{p1}:{p2}"] = {"p1": p1, "p2": p2}
    return {"instances": instances, "nets": dict(sorted(nets.items())), "ports": ports}
