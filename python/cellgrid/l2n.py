"""Port connectivity of a cell: which ports of its instances meet.

`cellgrid.port_connectivity(cell, port_types)` (also `cell.l2n(port_types=...)`;
both in `cellgrid.layout`, which hands this module what it reads of the cell)
looks at the instances placed directly in `cell` and their ports of the given
types. Its result describes, as plain tables (`tables`) and, when asked for with
`netlist()`, as a `kdb.Netlist`:

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

Where ports do not simply meet in pairs, `joints` says so: the places where
three or more ports meet (so that one port meets two or more), the ports that
meet nothing (and expose no port of the cell), and the pairs of those that lie
within `NEAR_MISS_REACH` µm of each other, with where each of these ports is.

The tables give the netlist as plain columns (per instance, per instance port
and per net). A reader that needs every subcircuit, pin and net takes them from
there instead of walking the netlist object by object through the bindings,
which on large layouts costs several times what computing it does; the
netlist itself is built from the tables only on the first call of `netlist()`.

The instances are read and their ports matched natively (`cellgrid._l2n`), in
one pass over the instances: ports are grouped by a hash of (x, y, layer,
width, orientation modulo a half turn), never compared in pairs, so the work
stays linear in the number of ports (layouts have 10^5 instances). The ports
themselves, their keys (`Port.position_key`, `Port.angle_key`) and how a
placement moves them (`Port.transformed`) come from this library, once per
placed cell and orientation, or per instance for complex placements and
angled ports.
An instance array counts as its elements, each one instance placed where it
is; the elements of a named array are named by `cellgrid.element_name`.
Asking every plain instance whether it is an array would cost more than
matching their ports, so arrays without properties (unnamed wiring) are
looked for only when some port meets nothing, as the other elements'
neighbours then do; `every_array` says whether they were.
"""

from __future__ import annotations

import math
from array import array
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import klayout.db as kdb

from . import _l2n
from .conf import MAX_COORDINATE, PROPID
from .port import Port

__all__ = [
    "NEAR_MISS_REACH",
    "ConnectivityTables",
    "JointPort",
    "Joints",
    "match_ports",
    "netlist_from_tables",
    "normalise_port_types",
]

#: µm: two ports that meet nothing and lie at most this far apart are a near miss.
NEAR_MISS_REACH = 5.0


@dataclass(eq=False, slots=True)
class ConnectivityTables:
    """The port-connectivity netlist as plain columns: lists of objects, and
    arrays of numbers (`array.array` of doubles or 8-byte integers), which take
    a fraction of the memory of lists of Python numbers.

    Instance k is the k-th of `cell.insts.elements(every_array)`: the
    instances of `cell.kdb_cell.each_inst()` in order, an array by its
    elements (one without properties only when `every_array`), whose
    positions `elements` maps to their (i, j). Its subcircuit is the k-th of the top circuit's
    `each_subcircuit()`: the subcircuit's `trans` is `placement(k)` and its
    circuit is named `cell_names[cell_indexes[k]]`, with the pins
    `pin_names[cell_indexes[k]]` (pin id = position).

    Most instances of a large layout are unnamed and placed in one of the eight
    ordinary orientations: their placement is kept as its orientation code and
    displacement only, which is all it holds, instead of one KLayout object
    each. `placement(k)` makes it again, as
    `kdb.DCplxTrans(kdb.DTrans(code % 4, code >= 4, xs[k], ys[k]))`, equal to the
    instance's own `dcplx_trans`.

    Endpoints are the instance pins in the order they were connected: by
    instance, then by pin. Endpoint e is pin `endpoint_pins[e]` of instance
    `endpoint_instances[e]`, on net `endpoint_nets[e]` (nets counted in
    `each_net()` order, `net_count` in all). A net lists its subcircuit pins in
    endpoint order. `top_pins` holds (name, net) per pin of the top circuit, in
    pin order; a net lists its top pins in that order.

    The netlist is built from the tables: they do not follow later edits of it.
    """

    #: KLayout's code of an ordinary placement (0..3 quarter turns, 4..7 the
    #: same mirrored), -1 for a complex one
    orientations: array[int] = field(default_factory=lambda: array("b"))
    #: the placement of each named or complex instance, None for the others
    kept_placements: list[kdb.DCplxTrans | None] = field(default_factory=list)
    xs: array[float] = field(default_factory=lambda: array("d"))  #: placement(k).disp.x, in µm
    ys: array[float] = field(default_factory=lambda: array("d"))  #: placement(k).disp.y, in µm
    cell_indexes: array[int] = field(default_factory=lambda: array("q"))
    #: property PROPID.NAME, None when unnamed; an element of a named array has its own name
    name_properties: list[Any] = field(default_factory=list)
    #: the KLayout instance of each named instance, None for the unnamed ones
    named_instances: list[kdb.Instance | None] = field(default_factory=list)
    cell_names: dict[int, str] = field(default_factory=dict)
    pin_names: dict[int, list[str]] = field(default_factory=dict)
    endpoint_instances: array[int] = field(default_factory=lambda: array("q"))
    endpoint_pins: array[int] = field(default_factory=lambda: array("q"))
    endpoint_nets: array[int] = field(default_factory=lambda: array("q"))
    top_pins: list[tuple[str, int]] = field(default_factory=list)
    net_count: int = 0
    #: the (i, j) of each instance that is an element of an instance array, by its position
    elements: dict[int, tuple[int, int]] = field(default_factory=dict)
    #: whether arrays without properties were read as their elements too
    every_array: bool = False

    def placement(self, k: int) -> kdb.DCplxTrans:
        """The placement of instance k (its `dcplx_trans`)."""
        kept = self.kept_placements[k]
        if kept is not None:
            return kept
        code = self.orientations[k]
        return kdb.DCplxTrans(kdb.DTrans(code % 4, code >= 4, self.xs[k], self.ys[k]))

    @property
    def placements(self) -> list[kdb.DCplxTrans]:
        """The placement of every instance, made anew on each call."""
        return [self.placement(k) for k in range(len(self.kept_placements))]


@dataclass(frozen=True, slots=True)
class JointPort:
    """An instance port where it is placed: the instance's position k (as in the
    tables), the port's position among its cell's pins and its name, and its
    place: x, y and width in database units, the layer's name and the
    orientation in millidegrees."""

    instance: int
    pin: int
    name: str
    x: int
    y: int
    layer: str
    width: int
    angle: int


@dataclass(eq=False, slots=True)
class Joints:
    """The instance ports that do not simply meet in pairs, by endpoint number
    (as in the tables): `crowded` lists per place where three or more ports
    meet its endpoints; `lone` the endpoints that meet nothing and expose no
    port of the cell; `near` the pairs of lone endpoints at most `reach` µm
    apart; `ports` where each of these endpoints is."""

    crowded: list[list[int]] = field(default_factory=list)
    lone: list[int] = field(default_factory=list)
    near: list[tuple[int, int]] = field(default_factory=list)
    ports: dict[int, JointPort] = field(default_factory=dict)
    dbu: float = 0.001
    reach: float = NEAR_MISS_REACH


def normalise_port_types(port_types: Sequence[str] | str) -> tuple[str, ...]:
    """`port_types` as a tuple of texts (one text is one type)."""
    if isinstance(port_types, str):
        return (port_types,)
    types = tuple(port_types)
    if not all(isinstance(t, str) for t in types):
        raise TypeError(f"port_types must be texts, got {port_types!r}")
    return types


# The eight orientations of an ordinary placement, by KLayout's code: 0..3
# rotations by quarter turns, 4..7 the same after mirroring.
_ORIENTATIONS = [kdb.Trans(rot, mirror, 0, 0) for mirror in (False, True) for rot in range(4)]

PlacedPort = tuple[int, int, int, int, int]
"""(x, y, layer, width) in database units and the orientation in millidegrees."""


def _placed(port: Port) -> PlacedPort:
    return (*port.position_key(), port.angle_key())


def _within_coordinates(ports: list[Port], placement: kdb.DCplxTrans, cell_name: str) -> None:
    """Refuse a placement that puts ports of a cell beyond the layout's coordinates.

    A magnification of infinity or 1e300, say, read from a file: the ports'
    positions would not fit KLayout's 32-bit coordinates.
    """
    limit = MAX_COORDINATE * ports[0].dbu
    for port in ports:
        where = placement * port.dcplx_trans.disp
        if not (math.isfinite(placement.mag) and all(math.isfinite(c) and abs(c) <= limit for c in (where.x, where.y))):
            raise ValueError(
                f"an instance of cell {cell_name!r} placed by {placement} puts its port {port.name!r} beyond"
                f" the layout's coordinates (±{limit:.3f} µm)"
            )


def match_ports(
    layout: kdb.Layout,
    cell: kdb.Cell,
    port_types: tuple[str, ...],
    ports_of: Callable[[int], list[Port]],
    own_ports: list[Port],
    array_elements: Callable[[kdb.Instance], list[tuple[kdb.DCplxTrans, Any, tuple[int, int]]]],
) -> tuple[ConnectivityTables, Joints]:
    """The tables and joints of the instances placed directly in `cell` (see the
    module documentation): `ports_of(ci)` gives the ports of a placed cell,
    `own_ports` are the cell's own, and `array_elements(instance)` gives per
    element of an instance array its placement, its name (None when unnamed)
    and its (i, j)."""
    tables = ConnectivityTables()
    ports_by_cell: dict[int, list[Port]] = {}

    def cell_ports(ci: int) -> tuple[int, list[list[PlacedPort]] | None]:
        """A placed cell's ports, placed by each orientation; None when one is off the grid or angled."""
        ports = [p for p in ports_of(ci) if p.port_type in port_types]
        ports_by_cell[ci] = ports
        tables.cell_names[ci] = layout.cell_name(ci)
        tables.pin_names[ci] = [p.name or "" for p in ports]
        if not all(p.is_manhattan for p in ports):
            return len(ports), None
        return len(ports), [[_placed(p.transformed(o)) for p in ports] for o in _ORIENTATIONS]

    def irregular_ports(ci: int, placement: kdb.DCplxTrans) -> list[PlacedPort]:
        ports = ports_by_cell[ci]
        if ports:
            _within_coordinates(ports, placement, layout.cell_name(ci))
        return [_placed(p.transformed(placement)) for p in ports]

    own = [p for p in own_ports if p.port_type in port_types]
    (
        tables.orientations,
        tables.kept_placements,
        tables.xs,
        tables.ys,
        tables.cell_indexes,
        tables.name_properties,
        tables.named_instances,
        tables.endpoint_instances,
        tables.endpoint_pins,
        tables.endpoint_nets,
        top_nets,
        tables.net_count,
        tables.elements,
        (crowded, lone, near, places),
        tables.every_array,
    ) = _l2n.match_ports(
        cell,
        PROPID.NAME,
        layout.dbu,
        cell_ports,
        irregular_ports,
        [_placed(p) for p in own],
        array_elements,
        NEAR_MISS_REACH,
    )
    tables.top_pins = [(p.name or "", net) for p, net in zip(own, top_nets, strict=True)]
    joints = Joints(crowded, lone, near, {}, layout.dbu)
    for endpoint, (x, y, layer, width, angle) in places.items():
        k, pin = tables.endpoint_instances[endpoint], tables.endpoint_pins[endpoint]
        name = tables.pin_names[tables.cell_indexes[k]][pin]
        joints.ports[endpoint] = JointPort(k, pin, name, x, y, str(layout.get_info(layer)), width, angle)
    return tables, joints


def netlist_from_tables(name: str, cell_index: int, t: ConnectivityTables) -> kdb.Netlist:
    """The KLayout netlist that the tables describe."""
    netlist = kdb.Netlist()
    top = kdb.Circuit()
    top.name = name
    top.cell_index = cell_index
    netlist.add(top)

    circuits: dict[int, tuple[kdb.Circuit, list[kdb.Pin]]] = {}
    for ci, cell_name in t.cell_names.items():
        circ = kdb.Circuit()
        circ.name = cell_name
        circ.cell_index = ci
        netlist.add(circ)
        circuits[ci] = (circ, [circ.create_pin(pin) for pin in t.pin_names[ci]])

    # subcircuit names are unique: the instance name when it is free, else "<cell name>_<n>"
    used_names: set[str] = set()
    subcircuits: list[kdb.SubCircuit] = []
    for n, (ci, prop, placement) in enumerate(zip(t.cell_indexes, t.name_properties, t.placements, strict=True)):
        circ = circuits[ci][0]
        sc_name = str(prop) if prop is not None else ""
        if not sc_name or sc_name in used_names:
            sc_name = f"{circ.name}_{n}"
            while sc_name in used_names:
                sc_name += "_"
        used_names.add(sc_name)
        sc = top.create_subcircuit(circ, sc_name)
        sc.trans = placement
        subcircuits.append(sc)

    nets: list[kdb.Net] = []
    for inst, position, net in zip(t.endpoint_instances, t.endpoint_pins, t.endpoint_nets, strict=True):
        sc = subcircuits[inst]
        ci = t.cell_indexes[inst]
        if net == len(nets):
            nets.append(top.create_net(f"{sc.name},{t.pin_names[ci][position]}"))
        sc.connect_pin(circuits[ci][1][position], nets[net])
    for pin_name, net in t.top_pins:
        pin = top.create_pin(pin_name)
        if net == len(nets):
            nets.append(top.create_net(pin_name))
        top.connect_pin(pin, nets[net])
    return netlist
