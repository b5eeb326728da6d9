"""A circuit's layout, built from its ``.pic.yml`` netlist file with the project's kit.

The netlist file is a YAML mapping::

    instances:                 # name -> component of the kit and its settings
      splitter: {component: mmi1x2}
      arm: {component: straight, settings: {length: 40}}
    placements:                # name -> x, y (µm), rotation (degrees), mirror
      splitter: {x: 0, y: 0}
    connections:               # "a,port": "b,port": b is moved so that its port meets a's
      splitter,o3: arm,o1
    routes:                    # bundles drawn by one of the kit's routing strategies
      arms:
        routing_strategy: route_bundle
        settings: {separation: 5}
        links: {arm,o2: combiner,o2}
    nets:                      # electrical nets, drawn with the kit's electrical router
      - {p1: pad1,e3, p2: heater,e1}
    ports:                     # external ports of the cell
      in: splitter,o1

:func:`build_circuit_gds` builds the cell the file describes and writes it with
everything it places to a GDS file, instance names and ports included, so that
``quillon lvs LAYOUT NETLIST`` checks the layout against the very same file.

Placement: instances with a placement are put there. From them, a connection
moves the unplaced one of its two instances so that its port meets the other's,
and a route link or a net puts it facing the other port, :data:`LINK_GAP` µm
ahead of it. What none of this reaches goes, group by group, into rows below
everything placed, each at most :data:`ROW_WIDTH` µm wide.

A bad netlist raises :class:`NetlistError` with one line that names the entry.
"""

from __future__ import annotations

import inspect
import itertools
import math
import os
import tempfile
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from quillon.build import setting_types

__all__ = [
    "LINK_GAP",
    "NetlistError",
    "build_circuit",
    "build_circuit_gds",
    "circuit_name",
    "circuit_placements",
    "parse_netlist",
    "read_netlist",
]

#: Distance (µm) at which an unplaced instance is put facing what it is routed to.
LINK_GAP = 100.0
#: Space (µm) between the groups of the row of otherwise unplaced instances.
ROW_GAP = 50.0
#: Width (µm) beyond which the row of otherwise unplaced instances goes on
#: below: in one row, 10^5 of them would reach beyond the layout's coordinates.
ROW_WIDTH = 10_000.0
#: The routing strategy of a route that names none.
DEFAULT_ROUTING_STRATEGY = "route_bundle"
#: Routing strategies tried, in this order, for electrical nets.
ELECTRICAL_ROUTERS = ("route_single_electrical", "route_bundle_electrical")

ENTRIES = ("instances", "placements", "connections", "routes", "nets", "ports")
#: Entries a netlist may carry for other tools; the build passes over them.
OTHER_ENTRIES = ("name", "info", "settings", "schematic")

# The kit builds every component into one shared library: circuits are built
# one at a time.
_LOCK = threading.Lock()
_serial = itertools.count(1)


class NetlistError(ValueError):
    """A netlist that cannot be built; the message is one line naming the entry."""


def build_circuit_gds(netlist_file: Path, out_gds: Path, project_dir: Path | None = None) -> str:
    """Build the circuit of `netlist_file` with the kit of `project_dir`, write it to `out_gds`.

    `project_dir` defaults to ``$QUILLON_PROJECT_DIR`` or the current directory;
    its settings name the kit. Returns the name of the written top cell: the
    file's name without ``.pic.yml``. A bad netlist raises :class:`NetlistError`;
    project settings and kits that cannot be used raise their own ValueError,
    and files that cannot be read or written an OSError.
    """
    netlist_file, out_gds = Path(netlist_file), Path(out_gds)
    netlist = read_netlist(netlist_file)
    kit = _project_kit(project_dir)
    name = circuit_name(netlist_file)
    with _LOCK:
        cell = build_circuit(netlist, kit, f"{name}$building{next(_serial)}")
        try:
            name = _take_name(cell, name)
            _write_replacing(cell, out_gds)
        finally:
            _retire(cell)
    return name


def _write_replacing(cell: Any, out_gds: Path) -> None:
    """Write the cell through a temporary file beside `out_gds`: a failed write keeps the old file."""
    if not out_gds.parent.is_dir():
        raise FileNotFoundError(f"cannot write {str(out_gds)!r}: no such directory")
    # The temporary name ends like the target's, which chooses the format.
    fd, tmp = tempfile.mkstemp(prefix=".", suffix=f"-{out_gds.name}", dir=out_gds.parent)
    os.close(fd)
    try:
        cell.write(tmp)
        os.replace(tmp, out_gds)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def read_netlist(path: Path) -> dict[str, Any]:
    """The netlist mapping of a ``.pic.yml`` file; its entries are checked when building.
    Only a regular file is read: a named pipe or a device raises OSError, never waited on."""
    from quillon.files import read_regular

    return parse_netlist(read_regular(path), str(path))


def parse_netlist(content: bytes, where: str) -> dict[str, Any]:
    """The netlist mapping of the bytes of a ``.pic.yml`` file read from `where`."""
    import yaml

    from quillon import yaml_bounded
    from quillon.core.lvs import _safe_load

    try:
        text = content.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise NetlistError(f"not UTF-8 text (byte {exc.start})") from None
    try:
        # the native reader, or the bounded loader for what it leaves (errors included)
        data = _safe_load(text, where)
    except yaml.YAMLError as exc:
        mark = getattr(exc, "problem_mark", None)
        line = f" at line {mark.line + 1}" if mark is not None else ""
        problem = getattr(exc, "problem", None) or _first_line(exc)
        raise NetlistError(f"not valid YAML{line}: {problem}") from None
    except yaml_bounded.YamlExpansionError as exc:  # names `where`, which the caller names too
        raise NetlistError(_first_line(exc).removeprefix(f"{where}: ")) from None
    if data is None:
        data = {}
    if not isinstance(data, dict):
        raise NetlistError(f"a netlist is a mapping of {', '.join(ENTRIES)}; got {type(data).__name__}")
    return data


def circuit_name(path: Path) -> str:
    """The cell name of a circuit: its netlist file's name without ``.pic.yml``."""
    name = path.name
    for suffix in (".pic.yml", ".pic.yaml", ".yml", ".yaml"):
        if name.endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    return name


def _project_kit(project_dir: Path | None) -> Any:
    from quillon.core.shared import activate_pdk_by_name
    from quillon.settings import get_settings

    return activate_pdk_by_name(get_settings(project_dir).pdk.name)


def _take_name(cell: Any, name: str) -> str:
    """Name the built cell `name`, or `name_<n>` when a kit cell holds that name."""
    layout = cell.kcl.layout
    if layout.cell(name) is not None:
        name = layout.unique_cell_name(name)
    cell.name = name
    return name


def _retire(cell: Any) -> None:
    """Empty the written cell and move its name aside: the shared library keeps no circuit."""
    for port in cell.ports.names():
        cell.remove_port(port)
    cell.kdb_cell.clear()
    cell.name = cell.kcl.layout.unique_cell_name("retired_circuit")


# --- building ---------------------------------------------------------------


@dataclass
class _Circuit:
    kit: Any
    cell: Any
    insts: dict[str, Any]
    placed: set[str]
    router_settings: dict[str, dict[str, Any]] = field(default_factory=dict)
    """Routing strategy -> JSON Schema fragment per setting, worked out once per build."""


def build_circuit(netlist: Mapping[str, Any], kit: Any, name: str) -> Any:
    """The cell `name` (new, in the kit's library) built from a netlist mapping."""
    circuit = _placed_circuit(netlist, kit, name)
    try:
        _draw_routes(circuit, _mapping(netlist, "routes"))
        _draw_nets(circuit, netlist.get("nets"))
        _within_coordinates(circuit)
        _expose_ports(circuit, _mapping(netlist, "ports"))
    except BaseException:
        _retire(circuit.cell)
        raise
    return circuit.cell


def _placed_circuit(netlist: Mapping[str, Any], kit: Any, name: str) -> _Circuit:
    """A new cell `name` holding the netlist's instances, placed; nothing routed yet."""
    import cellgrid as cg

    unknown = sorted(map(str, set(netlist) - set(ENTRIES) - set(OTHER_ENTRIES)))
    if unknown:
        raise NetlistError(
            f"unknown entr{'y' if len(unknown) == 1 else 'ies'} {', '.join(map(repr, unknown))} (known: {', '.join(ENTRIES)})"
        )
    components = _components(_mapping(netlist, "instances"), kit)
    cell = cg.kcl.dkcell(name)
    circuit = _Circuit(kit, cell, {}, set())
    try:
        for inst_name, component in components.items():
            circuit.insts[inst_name] = cell.create_inst(component, name=inst_name)
        _place(circuit, netlist)
    except BaseException:
        _retire(cell)
        raise
    return circuit


def circuit_placements(netlist: Mapping[str, Any], kit: Any) -> dict[str, dict[str, Any]]:
    """Where the build puts each instance of a netlist mapping, without drawing its routes.

    Instance name -> ``x``, ``y`` (µm, its origin), ``rotation`` (degrees,
    counter-clockwise), ``mirror`` (about the x axis, before the rotation) and
    ``box``, its bounding box ``[left, bottom, right, top]`` in µm. Raises
    :class:`NetlistError` for a netlist the build refuses.
    """
    with _LOCK:
        circuit = _placed_circuit(netlist, kit, f"placing{next(_serial)}")
        try:
            placed = {}
            layout = circuit.cell.kcl.layout
            boxes: dict[int, Any] = {}  # cell index -> its box: instances of one cell are many
            for name, inst in circuit.insts.items():
                trans, index = inst.dcplx_trans, inst.cell_index
                if index not in boxes:
                    boxes[index] = layout.cell(index).dbbox()
                box = boxes[index].transformed(trans)
                placed[name] = {
                    "x": trans.disp.x,
                    "y": trans.disp.y,
                    "rotation": trans.angle % 360,
                    "mirror": trans.is_mirror(),
                    "box": [box.left, box.bottom, box.right, box.top],
                }
        finally:
            _retire(circuit.cell)
    return placed


def _mapping(netlist: Mapping[str, Any], entry: str) -> dict[Any, Any]:
    value = netlist.get(entry)
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise NetlistError(f"{entry}: expected a mapping, got {type(value).__name__}")
    return value


def _components(instances: dict[Any, Any], kit: Any) -> dict[str, Any]:
    """Instance name -> built component."""
    built = {}
    described: dict[str, dict[str, Any]] = {}  # component -> its settings, worked out once
    for name, entry in instances.items():
        where = f"instance {name!r}"
        if not isinstance(name, str) or not name or "," in name:
            raise NetlistError(f"{where}: an instance name is a non-empty text without ','")
        if not isinstance(entry, dict):
            raise NetlistError(f"{where}: expected a mapping with 'component' and 'settings'")
        _no_unknown_keys(entry, {"component", "settings", "info"}, where)
        component = entry.get("component")
        if not isinstance(component, str) or component not in kit.cells:
            raise NetlistError(
                f"{where}: unknown component {setting_types.shown(component)} (kit {kit.name} has {', '.join(kit.cells)})"
            )
        settings = entry.get("settings") or {}
        if not isinstance(settings, dict):
            raise NetlistError(f"{where}: settings must be a mapping, got {type(settings).__name__}")
        function = kit.cells[component]
        if component not in described:
            described[component] = setting_types.component_settings(function, kit)
        settings = _checked_settings(settings, described[component], function, kit, f"{where} ({component})")
        try:
            built[name] = kit.get_component(component, **settings)
        except Exception as exc:  # a kit's cell function may fail in any way
            raise NetlistError(f"{where}: cannot build {setting_types.shown(component)}: {_first_line(exc)}") from None
    return built


def _checked_settings(
    settings: dict[Any, Any], described: dict[str, dict[str, Any]], function: Callable[..., Any], kit: Any, where: str
) -> dict[str, Any]:
    """The settings with known names and fitting types; lists become tuples where tuples are due."""
    checked = {}
    for key, value in settings.items():
        if key not in described:
            raise NetlistError(f"{where}: unknown setting {key!r} (settings: {', '.join(described) or 'none'})")
        description = described[key]["type"]
        names = setting_types.allowed_names(description, key, kit, function)
        schema = setting_types.value_schema(description, names)
        problem = setting_types.value_problem(
            value, setting_types.with_limits(schema, setting_types.declared_limits(function).get(key))
        )
        if problem:
            raise NetlistError(f"{where}: setting {key!r} {problem}")
        default = described[key]["default"]
        checked[key] = tuple(value) if isinstance(value, list) and isinstance(default, tuple) else value
    return checked


def _no_unknown_keys(entry: dict[Any, Any], known: set[str], where: str) -> None:
    unknown = sorted(map(str, set(entry) - known))
    if unknown:
        raise NetlistError(
            f"{where}: unknown key{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))} (known: {', '.join(sorted(known))})"
        )


# --- placement --------------------------------------------------------------


def _endpoint(circuit: _Circuit, text: Any, where: str) -> tuple[str, str]:
    """(instance, port) of an endpoint text "instance,port" naming an existing port."""
    if not isinstance(text, str) or "," not in text:
        raise NetlistError(f"{where}: {setting_types.shown(text)} is not an endpoint 'instance,port'")
    inst_name, port = text.rsplit(",", 1)
    inst = circuit.insts.get(inst_name)
    if inst is None:
        raise NetlistError(f"{where}: unknown instance {setting_types.shown(inst_name)}")
    if port not in inst.cell.ports:
        raise NetlistError(
            f"{where}: instance {setting_types.shown(inst_name)} ({inst.cell.function_name or inst.cell.name}) has no port {setting_types.shown(port)} (ports: {', '.join(inst.cell.ports.names())})"
        )
    return inst_name, port


def _coordinate_limit(circuit: _Circuit) -> float:
    """The largest coordinate (µm) the layout can hold."""
    from cellgrid.conf import MAX_COORDINATE

    return float(MAX_COORDINATE * circuit.cell.kcl.layout.dbu)


def _coordinate(value: Any, key: str, where: str, limit: float) -> float:
    """A placement number: finite, and within ±`limit`."""
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise NetlistError(f"{where}: {key} must be a number, got {setting_types.shown(value)}")
    try:
        number = float(value)
    except OverflowError:  # an integer beyond any float
        number = math.inf if value > 0 else -math.inf
    if math.isnan(number) or (math.isinf(number) and isinstance(value, float)):
        raise NetlistError(f"{where}: {key} must be a finite number, got {setting_types.shown(value)}")
    if abs(number) > limit:
        raise NetlistError(f"{where}: {key} = {number:g} µm lies beyond the layout's coordinates (±{limit:.3f} µm)")
    return number


def _place(circuit: _Circuit, netlist: Mapping[str, Any]) -> None:
    import cellgrid as cg

    limit = _coordinate_limit(circuit)
    for name, placement in _mapping(netlist, "placements").items():
        where = f"placement {name!r}"
        if name not in circuit.insts:
            raise NetlistError(f"{where}: unknown instance {name!r}")
        if not isinstance(placement, dict):
            raise NetlistError(f"{where}: expected a mapping of x, y, rotation, mirror")
        _no_unknown_keys(placement, {"x", "y", "rotation", "mirror"}, where)
        values = {key: _coordinate(placement.get(key, 0), key, where, limit) for key in ("x", "y")}
        values["rotation"] = _coordinate(placement.get("rotation", 0), "rotation", where, math.inf)
        mirror = placement.get("mirror", False)
        if not isinstance(mirror, bool):
            raise NetlistError(f"{where}: mirror must be true or false, got {setting_types.shown(mirror)}")
        trans = cg.kdb.DCplxTrans(1, float(values["rotation"]), mirror, float(values["x"]), float(values["y"]))
        circuit.insts[name].dcplx_trans = trans
        circuit.placed.add(name)

    # instance -> (its port, other instance, other's port), of connections and of route links
    joins = _neighbours(
        circuit,
        [(first, second, f"connection {first!r}") for first, second in _mapping(netlist, "connections").items()],
    )
    links = _neighbours(circuit, list(_route_links(netlist)))
    _spread(circuit, joins, links, list(circuit.placed))
    row = _Row(circuit)
    for name in circuit.insts:
        if name not in circuit.placed:
            row.put(name, joins, links)


Neighbours = dict[str, list[tuple[str, str, str]]]


def _neighbours(circuit: _Circuit, pairs: list[tuple[Any, Any, str]]) -> Neighbours:
    """Instance -> (its port, other instance, other's port) for each pair of endpoints."""
    out: Neighbours = {name: [] for name in circuit.insts}
    for first, second, where in pairs:
        a, pa = _endpoint(circuit, first, where)
        b, pb = _endpoint(circuit, second, where)
        if (a, pa) == (b, pb):
            raise NetlistError(f"{where}: {first!r} is joined to itself")
        out[a].append((pa, b, pb))
        out[b].append((pb, a, pa))
    return out


def _spread(circuit: _Circuit, joins: Neighbours, links: Neighbours, start: list[str]) -> list[str]:
    """Place every unplaced instance reached from `start`; returns those placed.

    Connections come first: an instance is put facing what a route or a net
    links it to only when no connection from anything placed reaches it.
    """
    placed: list[str] = []
    todo, pending = list(start), deque(start)  # connections, links still to follow
    while todo or pending:
        if todo:
            name = todo.pop()
            for port, other, other_port in joins[name]:
                if other not in circuit.placed:
                    _connect(circuit, other, other_port, circuit.insts[name][port], name)
                    placed.append(other)
                    todo.append(other)
                    pending.append(other)
            continue
        name = pending.popleft()
        for port, other, other_port in links[name]:
            if other not in circuit.placed and _face(circuit, other, other_port, circuit.insts[name][port]):
                placed.append(other)
                todo.append(other)
                pending.append(other)
    return placed


def _connect(circuit: _Circuit, name: str, port: str, other: Any, other_name: str) -> None:
    try:
        circuit.insts[name].connect(port, other)
    except ValueError as exc:
        raise NetlistError(f"connection of {name},{port} to {other_name},{other.name}: {_first_line(exc)}") from None
    circuit.placed.add(name)


def _route_links(netlist: Mapping[str, Any]) -> Iterator[tuple[Any, Any, str]]:
    """(endpoint, endpoint, entry) of every route link and net, for placing."""
    for route_name, route in _mapping(netlist, "routes").items():
        links = route.get("links") if isinstance(route, dict) else None
        for first, second in links.items() if isinstance(links, dict) else ():
            yield first, second, f"route {route_name!r}"
    nets = netlist.get("nets")
    for n, net in enumerate(nets if isinstance(nets, list) else []):
        if isinstance(net, dict) and "p1" in net and "p2" in net:
            yield net["p1"], net["p2"], f"nets[{n}]"


def _face(circuit: _Circuit, name: str, port: str, target: Any) -> bool:
    """Put `name` so that its port faces `target`, LINK_GAP µm ahead of it; False for angled ports."""
    import cellgrid as cg

    inst = circuit.insts[name]
    local = inst.cell.ports[port]
    if not target.is_manhattan or not local.is_manhattan:
        return False
    step = cg.kdb.DCplxTrans(1, 0, False, *_ahead(target, LINK_GAP))
    facing = cg.kdb.DCplxTrans(1, 180, False, 0, 0)
    inst.dcplx_trans = step * target.dcplx_trans * facing * local.dcplx_trans.inverted()
    circuit.placed.add(name)
    return True


def _ahead(port: Any, distance: float) -> tuple[float, float]:
    rot = port.trans.rot % 4
    return {0: (distance, 0.0), 1: (0.0, distance), 2: (-distance, 0.0), 3: (0.0, -distance)}[rot]


class _Row:
    """Rows of otherwise unplaced groups, left to right below everything placed,
    the next row begun below the lowest group of the last once it is full.

    Boxes are worked out from the placed cells' own boxes, all read up front:
    asked of an instance after another one moved, KLayout would bring the
    whole cell up to date first, once per group (quadratic in the groups).
    """

    def __init__(self, circuit: _Circuit) -> None:
        self.circuit = circuit
        self.x: float | None = None
        self.left = 0.0
        self.top = 0.0
        self.bottom = 0.0  # of the lowest group of the row
        layout = circuit.cell.kcl.layout
        self.dbu = layout.dbu
        self.cell_boxes = {
            index: layout.cell(index).bbox() for index in {inst.cell_index for inst in circuit.insts.values()}
        }

    def box(self, names: Iterable[str]) -> Any:
        """The box of the named instances as they are placed now, in micrometres."""
        import cellgrid as cg

        box = cg.kdb.Box()
        for name in names:
            inst = self.circuit.insts[name].instance
            box += self.cell_boxes[inst.cell_index].transformed(inst.cplx_trans)
        return box.to_dtype(self.dbu)

    def put(self, root: str, joins: Neighbours, links: Neighbours) -> None:
        """Place `root` and what it reaches, as one group at the end of the row."""
        import cellgrid as cg

        circuit = self.circuit
        if self.x is None:
            placed = self.box(circuit.placed)
            self.left = self.x = placed.left if not placed.empty() else 0.0
            self.top = self.bottom = placed.bottom - ROW_GAP if not placed.empty() else 0.0
        circuit.placed.add(root)
        circuit.insts[root].dcplx_trans = cg.kdb.DCplxTrans()
        group = [root, *_spread(circuit, joins, links, [root])]
        box = self.box(group)
        if self.x > self.left and self.x + box.width() > self.left + ROW_WIDTH:
            self.x, self.top = self.left, self.bottom - ROW_GAP
        shift = cg.kdb.DCplxTrans(1, 0, False, self.x - box.left, self.top - box.top)
        for name in group:
            circuit.insts[name].dcplx_trans = shift * circuit.insts[name].dcplx_trans
        self.x += box.width() + ROW_GAP
        self.bottom = min(self.bottom, self.top - box.height())


def _within_coordinates(circuit: _Circuit) -> None:
    """Everything placed stays within the layout's coordinates.

    Beyond them KLayout's 32-bit coordinates wrap round, and a cell would be
    written somewhere else than where it was put, so each instance's box is
    placed in floating point here.
    """
    import cellgrid as cg

    limit = _coordinate_limit(circuit)
    layout = circuit.cell.kcl.layout
    for instance in circuit.cell.kdb_cell.each_inst():
        box = instance.dcplx_trans * layout.cell(instance.cell_index).dbbox()
        corners = (box.left, box.bottom, box.right, box.top)
        if all(math.isfinite(c) and abs(c) <= limit for c in corners):
            continue
        name = instance.property(cg.conf.PROPID.NAME)
        what = (
            f"instance {name!r}"
            if name is not None
            else f"a {layout.cell_name(instance.cell_index)} of the routes and nets"
        )
        far = max(corners, key=lambda c: abs(c) if math.isfinite(c) else math.inf)
        raise NetlistError(f"{what} reaches {far:.3f} µm, beyond the layout's coordinates (±{limit:.3f} µm)")


# --- routes, nets, ports ----------------------------------------------------


def _route(
    circuit: _Circuit, strategy: Any, where: str, links: list[tuple[Any, Any]], settings: dict[str, Any]
) -> None:
    kit = circuit.kit
    if not isinstance(strategy, str) or strategy not in kit.routing_strategies:
        raise NetlistError(
            f"{where}: unknown routing strategy {setting_types.shown(strategy)} (kit {kit.name} has {', '.join(kit.routing_strategies) or 'none'})"
        )
    router = kit.routing_strategies[strategy]
    if not isinstance(settings, dict):
        raise NetlistError(f"{where}: settings must be a mapping, got {type(settings).__name__}")
    known = circuit.router_settings.get(strategy)
    if known is None:
        known = circuit.router_settings[strategy] = setting_types.routing_settings_schema(router, kit)
    for key, value in settings.items():
        if key not in known:
            raise NetlistError(
                f"{where}: routing strategy {setting_types.shown(strategy)} has no setting {key!r} (settings: {', '.join(sorted(known))})"
            )
        problem = setting_types.value_problem(value, known[key])
        if problem:
            raise NetlistError(f"{where}: setting {key!r} of {setting_types.shown(strategy)} {problem}")
    ports = [
        (circuit.insts[a][pa], circuit.insts[b][pb])
        for a, pa, b, pb in (
            (*_endpoint(circuit, first, where), *_endpoint(circuit, second, where)) for first, second in links
        )
    ]
    parameters = inspect.signature(router).parameters
    try:
        if "ports1" in parameters and "ports2" in parameters:
            router(circuit.cell, [p for p, _ in ports], [q for _, q in ports], **settings)
        else:
            for p, q in ports:
                router(circuit.cell, p, q, **settings)
    except Exception as exc:  # as may a kit's router
        # A key error's text is the bare key: say what it is.
        problem = f"{type(exc).__name__} {exc}" if isinstance(exc, KeyError) else _first_line(exc)
        raise NetlistError(f"{where}: {strategy}: {problem}") from None


def _draw_routes(circuit: _Circuit, routes: dict[Any, Any]) -> None:
    for name, route in routes.items():
        where = f"route {name!r}"
        if not isinstance(route, dict):
            raise NetlistError(f"{where}: expected a mapping with links, routing_strategy and settings")
        _no_unknown_keys(route, {"links", "routing_strategy", "settings"}, where)
        links = route.get("links")
        if not isinstance(links, dict):
            raise NetlistError(f"{where}: links must be a mapping of endpoints, got {type(links).__name__}")
        strategy = route.get("routing_strategy", DEFAULT_ROUTING_STRATEGY)
        _route(circuit, strategy, where, list(links.items()), route.get("settings") or {})


def _draw_nets(circuit: _Circuit, nets: Any) -> None:
    if nets is None:
        return
    if not isinstance(nets, list):
        raise NetlistError(f"nets: expected a list of nets, got {type(nets).__name__}")
    default = next((name for name in ELECTRICAL_ROUTERS if name in circuit.kit.routing_strategies), None)
    for n, net in enumerate(nets):
        where = f"nets[{n}]"
        if not isinstance(net, dict) or "p1" not in net or "p2" not in net:
            raise NetlistError(f"{where}: a net is a mapping with p1 and p2")
        _no_unknown_keys(net, {"p1", "p2", "name", "routing_strategy", "settings"}, where)
        strategy = net.get("routing_strategy", default)
        if strategy is None:
            raise NetlistError(
                f"{where}: kit {circuit.kit.name} has no electrical router ({' or '.join(ELECTRICAL_ROUTERS)})"
            )
        _route(circuit, strategy, where, [(net["p1"], net["p2"])], net.get("settings") or {})


def _expose_ports(circuit: _Circuit, ports: dict[Any, Any]) -> None:
    for name, endpoint in ports.items():
        where = f"port {name!r}"
        if not isinstance(name, str) or not name:
            raise NetlistError(f"{where}: a port name is a non-empty text")
        inst, port = _endpoint(circuit, endpoint, where)
        circuit.cell.add_port(circuit.insts[inst][port], name)


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
