"""Port connectivity of a cell, as a KLayout netlist.

`port_connectivity(cell, port_types)` (also `cell.l2n(port_types=...)`) looks at
the instances placed directly in `cell` and their ports of the given types
and builds a `kdb.Netlist`:

* one circuit per distinct placed cell, named after that cell, with one pin per
  port of the requested types, named after the port, in port order;
* the top circuit, named after `cell` (`netlist.top_circuit()`);
* one subcircuit per instance — named or not, every instance gets one — whose
  circuit is its cell's circuit and whose `trans` is the instance's
  `dcplx_trans` (micrometres). Subcircuit names are unique: the instance name
  when it has a free one, else "<cell name>_<n>";
* nets: every instance pin is on a net. Two instance ports meet, and so share a
  net, when they have the same position in database units, opposite
  orientations (180 degrees apart, to a millidegree), the same width in
  database units and the same layer. A port that meets nothing has a net of its
  own, so an open waveguide end is visible as a net with a single pin.
* top pins: one per port of `cell` of the requested types, named after it. A
  top-cell port attaches to the net of an instance port at the same position,
  with the same width and layer, facing the same direction (the instance port
  it exposes); when there is none it gets a net of its own.

Ports are matched by hashing: each instance port is put into a dict keyed by
(x, y, layer, width) and, inside that bucket, by orientation, so the work is
linear in the number of ports (layouts have 10^5 instances), never all pairs.
Instance arrays count as one instance, placed at their first element.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import klayout.db as kdb

from .conf import PROPID
from .port import Port

if TYPE_CHECKING:
    from .cell import ProtoTKCell

__all__ = ["PortConnectivity", "port_connectivity"]

_HALF = 180000  # millidegrees

Key = tuple[int, int, int, int]


class PortConnectivity:
    """Result of `cell.l2n()`: holds the port-connectivity netlist of a cell."""

    def __init__(self, cell: ProtoTKCell[Any], netlist: kdb.Netlist, port_types: tuple[str, ...]) -> None:
        self.cell = cell
        self.port_types = port_types
        self._netlist = netlist

    def netlist(self) -> kdb.Netlist:
        """The netlist; `top_circuit()` is the circuit of the cell."""
        return self._netlist

    def top_circuit(self) -> kdb.Circuit:
        """The circuit of the cell itself."""
        return self._netlist.circuit_by_name(self.cell.name)


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


def _normalise_types(port_types: Sequence[str] | str) -> tuple[str, ...]:
    if isinstance(port_types, str):
        return (port_types,)
    types = tuple(port_types)
    if not all(isinstance(t, str) for t in types):
        raise TypeError(f"port_types must be texts, got {port_types!r}")
    return types


_ORIENTATIONS = [kdb.Trans(rot, mirror, 0, 0) for mirror in (False, True) for rot in range(4)]


class _CellPorts:
    """A placed cell's circuit and its pins, with each port pre-placed by every
    rotation and mirroring, so an ordinary instance only adds its displacement."""

    __slots__ = ("circuit", "pins", "ports", "by_orientation")

    def __init__(self, circuit: kdb.Circuit, pins: list[kdb.Pin], ports: list[Port]) -> None:
        self.circuit = circuit
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

    def placed(self, inst: kdb.Instance) -> list[tuple[Key, int]]:
        """(x, y, layer, width) and orientation of each port as `inst` places it."""
        if not inst.is_complex():
            t = inst.trans
            local = self.by_orientation[(t.rot, t.is_mirror())]
            if local is not None:
                x, y = t.disp.x, t.disp.y
                return [((x + dx, y + dy, layer, width), angle) for dx, dy, layer, width, angle in local]
        dt = inst.dcplx_trans
        out = []
        for p in self.ports:
            q = p.transformed(dt)
            out.append((q.position_key(), q.angle_key()))
        return out


def port_connectivity(cell: ProtoTKCell[Any], port_types: Sequence[str] | str = ("optical",)) -> PortConnectivity:
    """Build the port-connectivity netlist of `cell` (see the module documentation)."""
    types = _normalise_types(port_types)
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

    for n, inst in enumerate(cell.kdb_cell.each_inst()):
        ci = inst.cell_index
        entry = circuits.get(ci)
        if entry is None:
            circ = kdb.Circuit()
            circ.name = layout.cell_name(ci)
            circ.cell_index = ci
            netlist.add(circ)
            ports = [p for p in kcl.base(ci).ports if p.port_type in types]
            entry = circuits[ci] = _CellPorts(circ, [circ.create_pin(p.name or "") for p in ports], ports)
        name = inst.property(PROPID.NAME)
        sc_name = str(name) if name is not None else ""
        if not sc_name or sc_name in used_names:
            sc_name = f"{entry.circuit.name}_{n}"
            while sc_name in used_names:
                sc_name += "_"
        used_names.add(sc_name)
        sc = top.create_subcircuit(entry.circuit, sc_name)
        sc.trans = inst.dcplx_trans
        if not entry.pins:
            continue
        for pin, (key, angle) in zip(entry.pins, entry.placed(inst)):
            ep = len(endpoints)
            union.parent.append(ep)
            endpoints.append((sc, pin))
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

    nets: dict[int, kdb.Net] = {}
    for ep, (sc, pin) in enumerate(endpoints):
        root = union.find(ep)
        net = nets.get(root)
        if net is None:
            net = nets[root] = top.create_net(f"{sc.name},{pin.name()}")
        sc.connect_pin(pin, net)

    # the cell's own ports expose the instance port at their place and direction
    for port in cell._base.ports:
        if port.port_type not in types:
            continue
        pin = top.create_pin(port.name or "")
        candidates = buckets.get(port.position_key(), {}).get(port.angle_key())
        if candidates:
            net = nets[union.find(candidates[0])]
        else:
            net = top.create_net(port.name or "")
        top.connect_pin(pin, net)

    return PortConnectivity(cell, netlist, types)
