"""The cell library's port connectivity as it was computed in plain Python
before its native core: the reference that the native tables, and the netlist
built from them, are compared with (test_cellgrid.py)."""

from __future__ import annotations

from typing import Any

import cellgrid as cg
from cellgrid.conf import PROPID
from cellgrid.port import Port

kdb = cg.kdb

_HALF = 180000  # millidegrees

Key = tuple[int, int, int, int]


class _Union:
    """Union-find over endpoint numbers."""

    def __init__(self) -> None:
        self.parent: list[int] = []

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


_ORIENTATIONS = [kdb.Trans(rot, mirror, 0, 0) for mirror in (False, True) for rot in range(4)]


class _CellPorts:
    """A placed cell's circuit and its pins, with each port pre-placed by every
    rotation and mirroring, so an ordinary instance only adds its displacement."""

    __slots__ = ("circuit", "pins", "ports", "dbu", "by_orientation")

    def __init__(self, circuit: kdb.Circuit, pins: list[kdb.Pin], ports: list[Port], dbu: float) -> None:
        self.circuit = circuit
        self.dbu = dbu
        self.pins = pins
        self.ports = ports
        self.by_orientation: dict[tuple[int, bool], list[tuple[int, int, int, int, int]] | None] = {}
        for o in _ORIENTATIONS:
            if all(p.is_manhattan for p in ports):
                placed = [o * p.trans for p in ports]
                self.by_orientation[(o.rot, o.is_mirror())] = [
                    (t.disp.x, t.disp.y, p.layer, p.width_dbu, t.rot * 90000) for t, p in zip(placed, ports)
                ]
            else:
                self.by_orientation[(o.rot, o.is_mirror())] = None

    def placed(self, inst: cg.DInstance, dt: kdb.DCplxTrans) -> tuple[float, float, list[tuple[Key, int]]]:
        """The displacement of `inst` (at `dt`) in µm, and (x, y, layer, width)
        and orientation of each port as it places them."""
        if not inst.instance.is_complex():
            t = inst.trans
            local = self.by_orientation[(t.rot, t.is_mirror())]
            if local is not None:
                x, y = t.disp.x, t.disp.y
                # dcplx_trans.disp of a simple placement is exactly its dbu displacement times dbu
                placed = [((x + dx, y + dy, layer, width), angle) for dx, dy, layer, width, angle in local]
                return x * self.dbu, y * self.dbu, placed
        disp = dt.disp
        out = []
        for p in self.ports:
            q = p.transformed(dt)
            out.append((q.position_key(), q.angle_key()))
        return disp.x, disp.y, out


def port_connectivity_in_python(
    cell: cg.ProtoTKCell[Any], types: tuple[str, ...], every_array: bool
) -> tuple[kdb.Netlist, cg.ConnectivityTables]:
    """The netlist and tables of `cell.l2n(port_types=types)`, built eagerly in plain Python,
    arrays without properties read as their elements when `every_array`."""
    kcl = cell.kcl
    layout = kcl.layout

    netlist = kdb.Netlist()
    top = kdb.Circuit()
    top.name = cell.name
    top.cell_index = cell.cell_index
    netlist.add(top)

    circuits: dict[int, _CellPorts] = {}
    used_names: set[str] = set()
    union = _Union()
    endpoints: list[tuple[kdb.SubCircuit, kdb.Pin]] = []
    buckets: dict[Key, dict[int, list[int]]] = {}
    tables = cg.ConnectivityTables()
    ep_instances, ep_pins = tables.endpoint_instances, tables.endpoint_pins

    tables.every_array = every_array
    for n, element in enumerate(cell.insts.elements(every_array)):
        inst = element.instance
        ci = inst.cell_index
        entry = circuits.get(ci)
        if entry is None:
            circ = kdb.Circuit()
            circ.name = layout.cell_name(ci)
            circ.cell_index = ci
            netlist.add(circ)
            ports = [p for p in kcl.base(ci).ports if p.port_type in types]
            pin_names = [p.name or "" for p in ports]
            entry = circuits[ci] = _CellPorts(circ, [circ.create_pin(name) for name in pin_names], ports, layout.dbu)
            tables.cell_names[ci] = circ.name
            tables.pin_names[ci] = pin_names
        name = inst.property(PROPID.NAME)
        if element.element is not None:
            tables.elements[n] = element.element
            name = None if name is None else element.name
        sc_name = str(name) if name is not None else ""
        if not sc_name or sc_name in used_names:
            sc_name = f"{entry.circuit.name}_{n}"
            while sc_name in used_names:
                sc_name += "_"
        used_names.add(sc_name)
        sc = top.create_subcircuit(entry.circuit, sc_name)
        dt = element.dcplx_trans
        sc.trans = dt
        x, y, placed = entry.placed(element, dt)
        ordinary = not inst.is_complex()
        tables.orientations.append(dt.rot() if ordinary else -1)
        tables.kept_placements.append(None if ordinary and name is None else dt)
        tables.xs.append(x)
        tables.ys.append(y)
        tables.cell_indexes.append(ci)
        tables.name_properties.append(name)
        tables.named_instances.append(inst if name is not None else None)
        for position, (pin, (key, angle)) in enumerate(zip(entry.pins, placed)):
            ep = len(endpoints)
            union.parent.append(ep)
            endpoints.append((sc, pin))
            ep_instances.append(n)
            ep_pins.append(position)
            by_angle = buckets.get(key)
            if by_angle is None:
                buckets[key] = {angle: [ep]}
            else:
                by_angle.setdefault(angle, []).append(ep)

    # ports facing each other at one place, with one width and layer, meet
    for by_angle in buckets.values():
        if len(by_angle) < 2:
            continue
        for angle, eps in by_angle.items():
            opposite = by_angle.get((angle + _HALF) % 360000)
            if opposite is None or angle > (angle + _HALF) % 360000:
                continue
            first = eps[0]
            for ep in eps[1:] + opposite:
                union.union(first, ep)

    # nets by union root: the net and its position among the top circuit's nets
    nets: dict[int, tuple[kdb.Net, int]] = {}
    ep_nets = tables.endpoint_nets
    for ep, (sc, pin) in enumerate(endpoints):
        root = union.find(ep)
        known = nets.get(root)
        if known is None:
            known = nets[root] = (top.create_net(f"{sc.name},{pin.name()}"), len(nets))
        sc.connect_pin(pin, known[0])
        ep_nets.append(known[1])
    net_count = len(nets)

    # the cell's own ports expose the instance port at their place and direction
    for port in cell._base.ports:
        if port.port_type not in types:
            continue
        pin = top.create_pin(port.name or "")
        candidates = buckets.get(port.position_key(), {}).get(port.angle_key())
        if candidates:
            net, position = nets[union.find(candidates[0])]
        else:
            net, position = top.create_net(port.name or ""), net_count
            net_count += 1
        top.connect_pin(pin, net)
        tables.top_pins.append((port.name or "", position))
    tables.net_count = net_count

    return netlist, tables
