"""Schematic symbols drawn from a component's layout.

A symbol is the outline of the component, i.e. the union of its shapes over
all layers (sub-cells included), scaled to fit the requested size with the
aspect ratio kept (up to 4:1: thinner outlines are stretched across their
short side to stay readable), plus a dot and the name of every port. Components may be
cell wrappers of the component library (anything with a ``kdb_cell``, ports
taken from ``ports``) or plain KLayout cells (no ports).
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any
from xml.sax.saxutils import escape, quoteattr

import klayout.db as kdb

__all__ = ["MultiPolygon", "_generate_multipolygon", "generate_svg"]

OUTLINE_FILL = "#dde1e6"
OUTLINE_STROKE = "#4b5563"
PORT_COLOUR = "#c2410c"

#: Outlines longer than this many times their width (a waveguide, a coupler)
#: are drawn at this aspect ratio, stretched across their short side, so that
#: their shape and the ports along that side stay readable.
MAX_ASPECT = 4.0


@dataclass(frozen=True)
class MultiPolygon:
    """The merged outline of a component: polygons in micrometres."""

    geoms: list[kdb.DPolygon] = field(default_factory=list)

    def bbox(self) -> kdb.DBox:
        """The bounding box of all polygons (empty when there are none)."""
        box = kdb.DBox()
        for polygon in self.geoms:
            box += polygon.bbox()
        return box


def _kdb_cell(component: Any) -> kdb.Cell:
    cell = getattr(component, "kdb_cell", component)
    if not isinstance(cell, kdb.Cell):
        raise TypeError(f"expected a layout cell, got {type(component).__name__}")
    return cell


def _generate_multipolygon(component: Any) -> MultiPolygon:
    """Merge the shapes of ``component`` on all layers into its outline polygons."""
    cell = _kdb_cell(component)
    layout = cell.layout()
    region = kdb.Region()
    for layer in layout.layer_indexes():
        region += kdb.Region(cell.begin_shapes_rec(layer))
    region.merge()
    return MultiPolygon([polygon.to_dtype(layout.dbu) for polygon in region.each()])


@dataclass(frozen=True)
class _PortMark:
    name: str
    x: float
    y: float
    orientation: float


def _port_marks(component: Any) -> list[_PortMark]:
    marks = []
    for port in getattr(component, "ports", ()) or ():
        x, y = port.center
        marks.append(_PortMark(str(port.name), float(x), float(y), float(getattr(port, "orientation", 0.0))))
    return marks


def generate_svg(component: Any, width: int, height: int) -> str:
    """Return the SVG text of the symbol of ``component``, ``width`` x ``height`` pixels."""
    for label, value in (("width", width), ("height", height)):
        if not isinstance(value, int) or isinstance(value, bool) or value <= 0:
            raise ValueError(f"{label} must be a positive integer, got {value!r}")
    outline = _generate_multipolygon(component)
    ports = _port_marks(component)
    box = outline.bbox()
    for port in ports:
        box += kdb.DPoint(port.x, port.y)

    size = min(width, height)
    pad = size * 0.12
    title = getattr(component, "name", None)
    lines = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" viewBox="0 0 {width} {height}">'
    ]
    if title:
        lines.append(f"<title>{escape(str(title))}</title>")
    if box.empty():
        lines.append(_placeholder(width, height, pad))
        lines.append("</svg>")
        return "\n".join(lines) + "\n"

    scale_x, scale_y = _fit_scales(box, width - 2 * pad, height - 2 * pad)
    # Centre the drawing; SVG's y axis points down.
    dx = (width - box.width() * scale_x) / 2 - box.left * scale_x
    dy = (height - box.height() * scale_y) / 2 + box.top * scale_y

    def to_svg(x: float, y: float) -> tuple[float, float]:
        return dx + x * scale_x, dy - y * scale_y

    if outline.geoms:
        lines.append(
            f'<g class="outline" fill="{OUTLINE_FILL}" stroke="{OUTLINE_STROKE}" '
            f'stroke-width="1" fill-rule="evenodd" stroke-linejoin="round">'
        )
        lines.extend(f'<path d="{_path_data(polygon, to_svg)}"/>' for polygon in outline.geoms)
        lines.append("</g>")
    if ports:
        radius = max(1.0, size / 40)
        font = max(5.0, size / 10)
        lines.append(f'<g class="ports" fill="{PORT_COLOUR}" font-family="sans-serif" font-size="{_num(font)}">')
        for port in ports:
            x, y = to_svg(port.x, port.y)
            lines.append(f'<circle cx="{_num(x)}" cy="{_num(y)}" r="{_num(radius)}"/>')
            lines.append(_label(port, x, y, radius * 2))
        lines.append("</g>")
    lines.append("</svg>")
    return "\n".join(lines) + "\n"


def _fit_scales(box: kdb.DBox, room_x: float, room_y: float) -> tuple[float, float]:
    """Pixels per micrometre along x and y so that ``box`` fits the room.

    Both axes share one scale (the aspect ratio is kept) unless the box is
    more than :data:`MAX_ASPECT` times longer than wide: its short side is
    then drawn as if it were that fraction of the long side. An axis without
    extent takes the shared scale (a point gets scale 1).
    """
    width, height = box.width(), box.height()
    if width <= 0 and height <= 0:
        return 1.0, 1.0
    if width <= 0 or height <= 0:
        shared = room_x / width if width > 0 else room_y / height
        return shared, shared
    drawn_w, drawn_h = max(width, height / MAX_ASPECT), max(height, width / MAX_ASPECT)
    shared = min(room_x / drawn_w, room_y / drawn_h)
    return shared * drawn_w / width, shared * drawn_h / height


def _path_data(polygon: kdb.DPolygon, to_svg: Any) -> str:
    contours: list[Iterable[kdb.DPoint]] = [polygon.each_point_hull()]
    contours += [polygon.each_point_hole(i) for i in range(polygon.holes())]
    parts = []
    for contour in contours:
        points = [to_svg(p.x, p.y) for p in contour]
        parts.append("M" + " L".join(f"{_num(x)},{_num(y)}" for x, y in points) + " Z")
    return " ".join(parts)


def _label(port: _PortMark, x: float, y: float, offset: float) -> str:
    """The port's name, placed on the inner side of the port (away from where it faces)."""
    angle = math.radians(port.orientation)
    cos, sin = math.cos(angle), math.sin(angle)
    lx, ly = x - cos * offset, y + sin * offset  # screen y is flipped
    if abs(cos) > 0.5:
        anchor, baseline = ("end" if cos > 0 else "start"), "middle"
    else:
        anchor, baseline = "middle", ("hanging" if sin > 0 else "auto")
    return (
        f'<text x="{_num(lx)}" y="{_num(ly)}" text-anchor="{anchor}" dominant-baseline="{baseline}">'
        f"{escape(port.name)}</text>"
    )


def _placeholder(width: int, height: int, pad: float) -> str:
    return (
        f'<rect x="{_num(pad)}" y="{_num(pad)}" width="{_num(width - 2 * pad)}" height="{_num(height - 2 * pad)}" '
        f'rx="{_num(pad / 2)}" fill={quoteattr(OUTLINE_FILL)} stroke={quoteattr(OUTLINE_STROKE)}/>'
    )


def _num(value: float) -> str:
    text = f"{value:.2f}".rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text
