"""Waveguide pieces: straights, bends, tapers and metal wires.

Every piece has its input o1 at the origin facing west (180 degrees); the
output o2 is where the piece ends.
"""

from __future__ import annotations

import math

import cellgrid as cg
import klayout.db as kdb
import maskwright as mw
from maskwright.typings import Component, CrossSectionSpec

from .cross_sections import get_cross_section

__all__ = ["straight", "wire", "bend_circular", "bend_euler", "taper"]


def _dbu() -> float:
    return cg.kcl.dbu


def draw_straight(c: cg.DKCell, length: float, xs: mw.CrossSection) -> None:
    """Draw a straight piece of `xs` from (0, 0) to (length, 0) with its two ports."""
    n = cg.to_dbu(length, _dbu(), "length")
    if n < 0:
        raise ValueError(f"length must not be negative, got {length}")
    if n > 0:
        c.shapes(xs.layer).insert(kdb.DBox(0, -xs.width / 2, length, xs.width / 2))
        for s in xs.sections:
            c.shapes(s.layer).insert(kdb.DBox(0, -s.width / 2, length, s.width / 2))
    p1, p2 = xs.port_names
    c.create_port(p1, kdb.Trans(2, False, 0, 0), xs.width, xs.layer, xs.port_type)
    c.create_port(p2, kdb.Trans(0, False, n, 0), xs.width, xs.layer, xs.port_type)


@mw.cell(limits={"length": {"minimum": 0}})
def straight(length: float = 10.0, cross_section: CrossSectionSpec = "strip") -> Component:
    """A straight waveguide of `length` µm; ports o1 (west) and o2 (east)."""
    c = cg.DKCell()
    draw_straight(c, length, get_cross_section(cross_section))
    return c


@mw.cell(limits={"length": {"minimum": 0}})
def wire(length: float = 10.0, cross_section: CrossSectionSpec = "metal_routing") -> Component:
    """A straight metal wire of `length` µm; electrical ports e1 (west) and e2 (east)."""
    c = cg.DKCell()
    draw_straight(c, length, get_cross_section(cross_section))
    return c


def _arc(radius: float, angle: float, width: float, npoints: int) -> kdb.DPolygon:
    """Band of `width` around a left-turning arc starting at the origin heading east."""
    outer, inner = [], []
    for k in range(npoints + 1):
        t = math.radians(angle) * k / npoints
        for rho, pts in ((radius + width / 2, outer), (radius - width / 2, inner)):
            pts.append(kdb.DPoint(rho * math.sin(t), radius - rho * math.cos(t)))
    return kdb.DPolygon(outer + inner[::-1])


def _end_port(c: cg.DKCell, name: str, x: float, y: float, angle: float, xs: mw.CrossSection) -> None:
    if abs(angle % 90) < 1e-9:
        dbu = _dbu()
        trans = kdb.Trans(round(angle / 90) % 4, False, round(x / dbu), round(y / dbu))
        c.create_port(name, trans, xs.width, xs.layer, xs.port_type)
    else:
        c.create_port(
            name,
            width=xs.width,
            layer=xs.layer,
            port_type=xs.port_type,
            dcplx_trans=kdb.DCplxTrans(1, angle, False, x, y),
        )


def _check_bend(radius: float, angle: float, xs: mw.CrossSection) -> None:
    if not 0 < abs(angle) <= 180:
        raise ValueError(f"angle must be in [-180, 180] and not 0, got {angle}")
    if radius <= xs.total_width / 2:
        raise ValueError(f"radius {radius} µm is too small for the {xs.total_width} µm wide {xs.name!r}")


@mw.cell(limits={"radius": {"exclusive_minimum": 0}})
def bend_circular(radius: float = 10.0, angle: float = 90, cross_section: CrossSectionSpec = "strip") -> Component:
    """A circular bend turning left by `angle` degrees (right when negative).

    o1 at the origin facing west; o2 at the arc's end facing the new direction.
    """
    xs = get_cross_section(cross_section)
    _check_bend(radius, angle, xs)
    sign = 1.0 if angle > 0 else -1.0
    a = abs(angle)
    npoints = max(8, math.ceil(a / 90 * 64))
    mirror = kdb.DCplxTrans(1, 0, sign < 0, 0, 0)
    c = cg.DKCell()
    for layer, width in ((xs.layer, xs.width), *((s.layer, s.width) for s in xs.sections)):
        c.shapes(layer).insert(_arc(radius, a, width, npoints).transformed(mirror))
    t = math.radians(a)
    c.create_port(xs.port_names[0], kdb.Trans(2, False, 0, 0), xs.width, xs.layer, xs.port_type)
    _end_port(c, xs.port_names[1], radius * math.sin(t), sign * radius * (1 - math.cos(t)), sign * a, xs)
    return c


def _euler_path(radius: float, angle: float, p: float, npoints: int) -> list[tuple[float, float, float]]:
    """Points (x, y, heading) of a partial Euler bend, before scaling to its end point.

    The curvature ramps up linearly over the first p/2 of the turn, stays at
    1/radius in the middle and ramps down symmetrically.
    """
    theta = math.radians(angle)
    th_e = theta * p / 2  # turn done in each clothoid part
    th_c = theta - 2 * th_e  # turn done in the circular middle
    length_e = 2 * radius * th_e  # clothoid length reaching curvature 1/radius
    length_c = radius * th_c
    total = 2 * length_e + length_c

    def curvature(s: float) -> float:
        if s < length_e:
            return s / (length_e * radius) if length_e else 1 / radius
        if s < length_e + length_c:
            return 1 / radius
        rest = total - s
        return rest / (length_e * radius) if length_e else 1 / radius

    out = [(0.0, 0.0, 0.0)]
    x = y = heading = 0.0
    steps = npoints * 8
    ds = total / steps
    for k in range(steps):
        s = (k + 0.5) * ds
        heading_mid = heading + curvature(s) * ds / 2
        x += math.cos(heading_mid) * ds
        y += math.sin(heading_mid) * ds
        heading += curvature(s) * ds
        if (k + 1) % 8 == 0:
            out.append((x, y, heading))
    return out


@mw.cell(limits={"radius": {"exclusive_minimum": 0}})
def bend_euler(
    radius: float = 10.0, angle: float = 90, p: float = 0.5, cross_section: CrossSectionSpec = "strip"
) -> Component:
    """An Euler bend (curvature ramps up and down) turning left by `angle` degrees.

    `p` is the fraction of the turn done along the ramps. A 90-degree bend is
    scaled so that o2 lands at (radius, radius), like a circular bend of that
    radius, so routers can use either.
    """
    xs = get_cross_section(cross_section)
    _check_bend(radius, angle, xs)
    if not 0 <= p <= 1:
        raise ValueError(f"p must be within [0, 1], got {p}")
    sign = 1.0 if angle > 0 else -1.0
    a = abs(angle)
    pts = _euler_path(radius, a, p, max(16, math.ceil(a / 90 * 96)))
    x_end, y_end, _ = pts[-1]
    scale = radius / x_end if abs(a - 90) < 1e-9 else 1.0
    pts = [(x * scale, y * scale, h) for x, y, h in pts]
    c = cg.DKCell()
    for layer, width in ((xs.layer, xs.width), *((s.layer, s.width) for s in xs.sections)):
        left = [kdb.DPoint(x - math.sin(h) * width / 2, sign * (y + math.cos(h) * width / 2)) for x, y, h in pts]
        right = [kdb.DPoint(x + math.sin(h) * width / 2, sign * (y - math.cos(h) * width / 2)) for x, y, h in pts]
        c.shapes(layer).insert(kdb.DPolygon(left + right[::-1]))
    x_end, y_end, _ = pts[-1]
    c.create_port(xs.port_names[0], kdb.Trans(2, False, 0, 0), xs.width, xs.layer, xs.port_type)
    if abs(a - 90) < 1e-9:
        y_end = x_end  # exact by construction
    _end_port(c, xs.port_names[1], x_end, sign * y_end, sign * a, xs)
    return c


@mw.cell(
    limits={
        "length": {"exclusive_minimum": 0},
        "width1": {"exclusive_minimum": 0},
        "width2": {"exclusive_minimum": 0},
    }
)
def taper(
    length: float = 10.0, width1: float = 0.5, width2: float = 1.0, cross_section: CrossSectionSpec = "strip"
) -> Component:
    """A linear taper from `width1` (o1, west) to `width2` (o2, east) over `length` µm."""
    xs = get_cross_section(cross_section)
    if length <= 0 or width1 <= 0 or width2 <= 0:
        raise ValueError(f"length and widths must be positive, got {length}, {width1}, {width2}")
    n = cg.to_dbu(length, _dbu(), "length")
    c = cg.DKCell()
    c.shapes(xs.layer).insert(
        kdb.DPolygon(
            [
                kdb.DPoint(0, -width1 / 2),
                kdb.DPoint(length, -width2 / 2),
                kdb.DPoint(length, width2 / 2),
                kdb.DPoint(0, width1 / 2),
            ]
        )
    )
    for s in xs.sections:
        w = s.width + max(width1, width2) - xs.width
        c.shapes(s.layer).insert(kdb.DBox(0, -w / 2, length, w / 2))
    c.create_port(xs.port_names[0], kdb.Trans(2, False, 0, 0), width1, xs.layer, xs.port_type)
    c.create_port(xs.port_names[1], kdb.Trans(0, False, n, 0), width2, xs.layer, xs.port_type)
    return c
