"""Manhattan routers: waveguides of straights and bends, and metal wires.

A route leaves its first port in the direction the port faces and enters its
second port head-on. Its corners are found in the first port's frame, where
the route starts at the origin heading east, from a few fixed shapes (straight,
L, Z, U and detours with three or four corners) that keep every straight part
long enough for the bends. Optical routes are drawn as unnamed instances of the
kit's `straight` and `bend_circular` cells, so a check sees them as plain
wiring; metal routes are paths on the wire's layer.
"""

from __future__ import annotations

from collections.abc import Sequence

import cellgrid as cg
import klayout.db as kdb
from maskwright.typings import Component, CrossSectionSpec, Port, Waypoints

from .cross_sections import get_cross_section
from .waveguides import bend_circular, straight

__all__ = ["route_single", "route_bundle", "route_bundle_electrical", "route_single_electrical", "route_points"]

_ELECTRICAL = ("electrical", "DC", "RF")


def _unit(a: kdb.Point, b: kdb.Point, dbu: float) -> tuple[int, int]:
    """Direction of the segment a -> b, which must be horizontal or vertical."""
    v = b - a
    if (v.x == 0) == (v.y == 0):
        raise ValueError(
            f"route segment from ({a.x * dbu:g}, {a.y * dbu:g}) to ({b.x * dbu:g}, {b.y * dbu:g})"
            " is not horizontal or vertical"
        )
    return ((v.x > 0) - (v.x < 0), (v.y > 0) - (v.y < 0))


def _facing(port: Port) -> tuple[int, int]:
    if not port.is_manhattan:
        raise ValueError(f"port {port.name!r} faces {port.orientation} degrees; routes need multiples of 90")
    # The rotation without the mirror: a mirrored placement faces where that rotation does.
    return {0: (1, 0), 1: (0, 1), 2: (-1, 0), 3: (0, -1)}[port.trans.angle]


def _corners_north(x: int, y: int, r: int) -> list[tuple[int, int]]:
    """Corners from the origin heading east to (x, y) arriving heading north."""
    if x >= r and y >= r:
        return [(x, 0)]
    xa = r if abs(x - r) >= 2 * r else x + 2 * r
    yb = y - r if y - r >= 2 * r else min(y - r, -2 * r)
    return [(xa, 0), (xa, yb), (x, yb)]


def _local_corners(x: int, y: int, e: tuple[int, int], r: int, xm: int | None) -> list[tuple[int, int]]:
    """Corners from the origin heading east to (x, y), arriving with heading `e`."""
    if e == (1, 0):
        if y == 0 and x >= 0:
            return []
        if x >= 2 * r and abs(y) >= 2 * r:
            a = x // 2 if xm is None else min(max(xm, r), x - r)
            return [(a, 0), (a, y)]
        ym = y // 2 if abs(y) >= 4 * r else (y + 2 * r if y >= 0 else y - 2 * r)
        xa = r
        xb = x - r if (x - r) - xa >= 2 * r else min(x - r, xa - 2 * r)
        return [(xa, 0), (xa, ym), (xb, ym), (xb, y)]
    if e == (-1, 0):
        if abs(y) >= 2 * r:
            a = max(r, x + r) if xm is None else max(xm, r, x + r)
            return [(a, 0), (a, y)]
        ym = max(y, 0) + 2 * r
        xa = r
        xb = max(x + r, xa + 2 * r) if x + r > xa - 2 * r else x + r
        return [(xa, 0), (xa, ym), (xb, ym), (xb, y)]
    if e == (0, 1):
        return _corners_north(x, y, r)
    return [(cx, -cy) for cx, cy in _corners_north(x, -y, r)]


def route_points(
    port1: Port, port2: Port, radius: float, waypoints: Waypoints | None = None, xm: float | None = None
) -> list[kdb.Point]:
    """Points (dbu) of a Manhattan route from `port1` into `port2`, ends included.

    With `waypoints` (µm) the route passes through them in order; otherwise the
    corners are chosen for bends of `radius` µm. `xm` moves the middle leg of a
    Z-shaped route to that distance (µm) from `port1`.
    """
    dbu = port1.dbu
    start, end = port1.trans.disp, port2.trans.disp
    d1, d2 = _facing(port1), _facing(port2)
    if waypoints is not None:
        pts = [kdb.Point(start)]
        pts += [kdb.Point(cg.to_dbu(x, dbu, "waypoint x"), cg.to_dbu(y, dbu, "waypoint y")) for x, y in waypoints]
        pts.append(kdb.Point(end))
        for a, b in zip(pts, pts[1:]):
            _unit(a, b, dbu)
        if _unit(pts[0], pts[1], dbu) != d1:
            raise ValueError(f"the first waypoint must lie straight ahead of port {port1.name!r}")
        if _unit(pts[-2], pts[-1], dbu) != (-d2[0], -d2[1]):
            raise ValueError(f"the last waypoint must lie straight ahead of port {port2.name!r}")
        return pts
    r = cg.to_dbu(radius, dbu, "radius")
    frame = kdb.Trans(port1.trans.angle, False, start.x, start.y)
    inv = frame.inverted()
    local = inv * kdb.Point(end)
    arrival = inv * kdb.Vector(-d2[0], -d2[1])
    corners = _local_corners(
        local.x, local.y, (arrival.x, arrival.y), r, None if xm is None else cg.to_dbu(xm, dbu, "xm")
    )
    return [kdb.Point(start)] + [frame * kdb.Point(x, y) for x, y in corners] + [kdb.Point(end)]


def _place(
    component: Component, port1: Port, port2: Port, points: list[kdb.Point], xs_spec: CrossSectionSpec, r: int
) -> list[cg.DInstance]:
    """Draw straights and bends along `points` as unnamed instances."""
    xs = get_cross_section(xs_spec)
    dbu = port1.dbu
    first, second = xs.port_names
    insts: list[cg.DInstance] = []
    current = port1
    last = len(points) - 1
    for i in range(1, len(points)):
        seg = points[i] - points[i - 1]
        length = abs(seg.x) + abs(seg.y) - (r if i > 1 else 0) - (r if i < last else 0)
        if length < 0:
            raise ValueError(f"no room for bends of radius {r * dbu} µm between {port1.name!r} and {port2.name!r}")
        if length > 0:
            inst = component.create_inst(straight(length=round(length * dbu, 9), cross_section=xs_spec))
            inst.connect(first, current)
            current = inst[second]
            insts.append(inst)
        if i < last:
            nxt = points[i + 1] - points[i]
            left = seg.x * nxt.y - seg.y * nxt.x > 0
            inst = component.create_inst(bend_circular(radius=round(r * dbu, 9), angle=90, cross_section=xs_spec))
            inst.connect(first if left else second, current)
            current = inst[second if left else first]
            insts.append(inst)
    if not current.meets(port2):
        raise ValueError(f"route from {port1.name!r} does not end on {port2.name!r} (ended at {current.center})")
    return insts


def route_single(
    component: Component,
    port1: Port,
    port2: Port,
    cross_section: CrossSectionSpec = "strip",
    radius: float | None = None,
    waypoints: Waypoints | None = None,
) -> list[cg.DInstance]:
    """Route one waveguide from `port1` to `port2` in `component`; returns its pieces."""
    xs = get_cross_section(cross_section)
    r = xs.radius if radius is None else radius
    if r <= 0:
        raise ValueError(f"waveguide routes need a positive bend radius, got {r}")
    points = route_points(port1, port2, r, waypoints)
    return _place(component, port1, port2, points, cross_section, cg.to_dbu(r, port1.dbu, "radius"))


def _stagger(ports1: Sequence[Port], ports2: Sequence[Port], r: float, pitch: float) -> list[float | None]:
    """Middle-leg offsets (µm from each start) that keep the routes of a bundle apart.

    Z-shaped routes (ports facing each other) and U-shaped ones (ports facing
    the same way) that turn the same way get their middle legs `pitch` apart;
    the route nearest to the side it turns to turns first, so none cross.
    """
    out: list[float | None] = [None] * len(ports1)
    if not all(p.is_manhattan for p in (*ports1, *ports2)) or len({p.trans.angle for p in ports1}) != 1:
        return out
    frame = kdb.DCplxTrans(ports1[0].dcplx_trans).inverted()
    dbu = ports1[0].dbu
    starts = [frame * kdb.DPoint(*p.center) for p in ports1]
    ends = [frame * kdb.DPoint(*p.center) for p in ports2]
    groups: dict[tuple[str, bool], list[int]] = {}
    for i, (s, e) in enumerate(zip(starts, ends)):
        turn = (ports2[i].trans.angle - ports1[i].trans.angle) % 4
        if abs(e.y - s.y) < 2 * r or e.y == s.y:
            continue
        if turn == 2 and e.x - s.x >= 2 * r:
            groups.setdefault(("Z", e.y > s.y), []).append(i)
        elif turn == 0:
            groups.setdefault(("U", e.y > s.y), []).append(i)
    for (kind, up), group in groups.items():
        group.sort(key=lambda i: starts[i].y, reverse=up)
        if kind == "Z":
            first = (max(starts[i].x for i in group) + min(ends[i].x for i in group)) / 2
            first -= (len(group) - 1) / 2 * pitch
        else:
            first = max(max(starts[i].x, ends[i].x) + r for i in group)
        for k, i in enumerate(group):
            # Kept on the grid: halfway between ports an odd number of units apart is not.
            out[i] = round((first + k * pitch - starts[i].x) / dbu) * dbu
    return out


def _check_pairs(ports1: Sequence[Port], ports2: Sequence[Port], types: Sequence[str], port_type: str) -> None:
    if len(ports1) != len(ports2):
        raise ValueError(f"a bundle needs as many start ports as end ports ({len(ports1)} != {len(ports2)})")
    for p in (*ports1, *ports2):
        if p.port_type not in types:
            raise ValueError(f"port {p.name!r} is {p.port_type!r}, this bundle routes {port_type!r} ports")


def route_bundle(
    component: Component,
    ports1: list[Port],
    ports2: list[Port],
    cross_section: CrossSectionSpec = "strip",
    radius: float | None = None,
    separation: float = 3.0,
    port_type: str = "optical",
    waypoints: Waypoints | None = None,
) -> list[list[cg.DInstance]]:
    """Route waveguides from `ports1[i]` to `ports2[i]`; returns the pieces of each route.

    Z-shaped routes of a bundle get their middle legs `separation` µm apart
    (edge to edge). `waypoints` apply to a bundle of one route.
    """
    _check_pairs(ports1, ports2, (port_type,), port_type)
    if waypoints is not None and len(ports1) != 1:
        raise ValueError("waypoints route one pair at a time; give a single port pair")
    xs = get_cross_section(cross_section)
    r = xs.radius if radius is None else radius
    if r <= 0:
        raise ValueError(f"waveguide routes need a positive bend radius, got {r}")
    offsets = _stagger(ports1, ports2, r, xs.width + separation)
    r_dbu = cg.to_dbu(r, component.kcl.dbu, "radius")
    routes = []
    for p1, p2, xm in zip(ports1, ports2, offsets):
        points = route_points(p1, p2, r, waypoints, xm)
        routes.append(_place(component, p1, p2, points, cross_section, r_dbu))
    return routes


def route_bundle_electrical(
    component: Component,
    ports1: list[Port],
    ports2: list[Port],
    cross_section: CrossSectionSpec = "metal_routing",
    separation: float = 10.0,
    port_type: str = "electrical",
    waypoints: Waypoints | None = None,
) -> list[kdb.Shape]:
    """Draw metal wires from `ports1[i]` to `ports2[i]` on the wire's layer; returns the shapes.

    Each wire starts half its width inside the first port's shape and ends
    half its width inside the second one's, so they overlap.
    """
    _check_pairs(ports1, ports2, _ELECTRICAL, port_type)
    if waypoints is not None and len(ports1) != 1:
        raise ValueError("waypoints route one pair at a time; give a single port pair")
    xs = get_cross_section(cross_section)
    width = cg.to_dbu(xs.width, component.kcl.dbu, "wire width")
    offsets = _stagger(ports1, ports2, 0.0, xs.width + separation)
    shapes = component.shapes(xs.layer)
    out = []
    for p1, p2, xm in zip(ports1, ports2, offsets):
        points = _simplify(route_points(p1, p2, 0.0, waypoints, xm))
        out.append(shapes.insert(kdb.Path(points, width, width // 2, width // 2)))
    return out


def route_single_electrical(
    component: Component,
    port1: Port,
    port2: Port,
    cross_section: CrossSectionSpec = "metal_routing",
    waypoints: Waypoints | None = None,
) -> kdb.Shape:
    """Draw one metal wire from `port1` to `port2`; returns its shape."""
    return route_bundle_electrical(
        component, [port1], [port2], cross_section=cross_section, port_type=port1.port_type, waypoints=waypoints
    )[0]


def _simplify(points: list[kdb.Point]) -> list[kdb.Point]:
    """Drop repeated points and points in the middle of a straight run."""
    out: list[kdb.Point] = []
    for p in points:
        if out and out[-1] == p:
            continue
        if len(out) >= 2:
            a, b = out[-2], out[-1]
            if (b.x - a.x) * (p.y - b.y) == (b.y - a.y) * (p.x - b.x):
                out[-1] = p
                continue
        out.append(p)
    return out
