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

Alongside the netlist the result carries `tables`: the same netlist as plain
lists (per instance, per instance port and per net), filled while it is built.
A reader that needs every subcircuit, pin and net takes them from there instead
of walking the netlist object by object through the bindings, which on large
layouts costs several times what building it does.

Ports are matched by hashing: each instance port is put into a dict keyed by
(x, y, layer, width) and, inside that bucket, by orientation, so the work is
linear in the number of ports (layouts have 10^5 instances), never all pairs.
Instance arrays count as one instance, placed at their first element.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import klayout.db as kdb

from .conf import PROPID
from .port import Port

if TYPE_CHECKING:
    from .cell import ProtoTKCell

__all__ = ["ConnectivityTables", "PortConnectivity", "port_connectivity"]

_HALF = 180000  # millidegrees

Key = tuple[int, int, int, int]


@dataclass(eq=False, slots=True)
class ConnectivityTables:
    """The port-connectivity netlist as plain lists, exactly as it was built.

    Instance k is the k-th instance of `cell.kdb_cell.each_inst()` (the order of
    `cell.insts`), and its subcircuit is the k-th of the top circuit's
    `each_subcircuit()`: the subcircuit's `trans` is `placements[k]` and its
    circuit is named `cell_names[cell_indexes[k]]`, with the pins
    `pin_names[cell_indexes[k]]` (pin id = position).

    Endpoints are the instance pins in the order they were connected: by
    instance, then by pin. Endpoint e is pin `endpoint_pins[e]` of instance
    `endpoint_instances[e]`, on net `endpoint_nets[e]` (nets counted in
    `each_net()` order, `net_count` in all). A net lists its subcircuit pins in
    endpoint order. `top_pins` holds (name, net) per pin of the top circuit, in
    pin order; a net lists its top pins in that order.

    The tables describe the netlist as `l2n` returned it: they do not follow
    later edits of the netlist.
    """

    placements: list[kdb.DCplxTrans] = field(default_factory=list)
    xs: list[float] = field(default_factory=list)  #: placements[k].disp.x, in µm
    ys: list[float] = field(default_factory=list)  #: placements[k].disp.y, in µm
    cell_indexes: list[int] = field(default_factory=list)
    name_properties: list[Any] = field(default_factory=list)  #: property PROPID.NAME, None when unnamed
    cell_names: dict[int, str] = field(default_factory=dict)
    pin_names: dict[int, list[str]] = field(default_factory=dict)
    endpoint_instances: list[int] = field(default_factory=list)
    endpoint_pins: list[int] = field(default_factory=list)
    endpoint_nets: list[int] = field(default_factory=list)
    top_pins: list[tuple[str, int]] = field(default_factory=list)
    net_count: int = 0


class PortConnectivity:
    """Result of `cell.l2n()`: holds the port-connectivity netlist of a cell."""

    def __init__(
        self,
        cell: ProtoTKCell[Any],
        netlist: kdb.Netlist,
        port_types: tuple[str, ...],
        tables: ConnectivityTables | None = None,
    ) -> None:
        self.cell = cell
        self.port_types = port_types
        self._netlist = netlist
        self.tables = tables

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
                    (t.disp.x, t.disp.y, p.layer, p.width_dbu, t.rot % 4 * 90000) for t, p in zip(placed, ports)
                ]
            else:
                self.by_orientation[(o.rot, o.is_mirror())] = None

    def placed(self, inst: kdb.Instance, dt: kdb.DCplxTrans) -> tuple[float, float, list[tuple[Key, int]]]:
        """The displacement of `inst` (at `dt`) in µm, and (x, y, layer, width)
        and orientation of each port as it places them."""
        if not inst.is_complex():
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
    tables = ConnectivityTables()
    ep_instances, ep_pins = tables.endpoint_instances, tables.endpoint_pins

    for n, inst in enumerate(cell.kdb_cell.each_inst()):
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
        sc_name = str(name) if name is not None else ""
        if not sc_name or sc_name in used_names:
            sc_name = f"{entry.circuit.name}_{n}"
            while sc_name in used_names:
                sc_name += "_"
        used_names.add(sc_name)
        sc = top.create_subcircuit(entry.circuit, sc_name)
        dt = inst.dcplx_trans
        sc.trans = dt
        x, y, placed = entry.placed(inst, dt)
        tables.placements.append(dt)
        tables.xs.append(x)
        tables.ys.append(y)
        tables.cell_indexes.append(ci)
        tables.name_properties.append(name)
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

    return PortConnectivity(cell, netlist, types, tables)
