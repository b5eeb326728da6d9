"""Electrical components: pads, via stacks and a thermal phase shifter."""

from __future__ import annotations

import math

import cellgrid as cg
import klayout.db as kdb
import maskwright as mw
from maskwright.typings import Component, ComponentSpec, CrossSectionSpec, LayerSpec

from .cross_sections import get_cross_section
from .kit import PDK
from .layers import LAYER
from .waveguides import draw_straight

__all__ = ["pad", "pad_array", "via_stack", "straight_heater_metal", "get_layer"]


def get_layer(layer: LayerSpec) -> kdb.LayerInfo:
    """A layer of this kit by name, or a given layer info unchanged."""
    if isinstance(layer, kdb.LayerInfo):
        return layer
    try:
        return LAYER[layer]
    except (KeyError, TypeError):
        raise ValueError(f"unknown layer {layer!r} (known: {', '.join(LAYER)})") from None


def _size(size: tuple[float, float]) -> tuple[float, float]:
    try:
        sx, sy = (float(v) for v in size)
    except (TypeError, ValueError):
        raise ValueError(f"size must be two numbers (µm), got {size!r}") from None
    if sx <= 0 or sy <= 0:
        raise ValueError(f"size must be positive, got {size!r}")
    return sx, sy


def _edge_ports(c: cg.DKCell, sx: float, sy: float, layer: kdb.LayerInfo) -> None:
    """Ports e1 (west), e2 (north), e3 (east), e4 (south) on the edges of a centred box."""
    dbu = cg.kcl.dbu
    hx, hy = cg.to_dbu(sx / 2, dbu, "half width"), cg.to_dbu(sy / 2, dbu, "half height")
    for name, rot, x, y, width in (
        ("e1", 2, -hx, 0, sy),
        ("e2", 1, 0, hy, sx),
        ("e3", 0, hx, 0, sy),
        ("e4", 3, 0, -hy, sx),
    ):
        c.create_port(name, kdb.Trans(rot, False, x, y), width, layer, "electrical")


@mw.cell(limits={"size": {"exclusive_minimum": 0}, "opening_inset": {"minimum": 0}})
def pad(size: tuple[float, float] = (80.0, 80.0), layer: LayerSpec = "M2", opening_inset: float = 4.0) -> Component:
    """A bond pad of `size` µm on `layer`, with a passivation opening inset by `opening_inset`.

    Electrical ports e1 (west), e2 (north), e3 (east), e4 (south) on its edges.
    """
    sx, sy = _size(size)
    info = get_layer(layer)
    if not 0 <= opening_inset < min(sx, sy) / 2:
        raise ValueError(f"opening_inset must be in [0, {min(sx, sy) / 2}), got {opening_inset}")
    c = cg.DKCell()
    c.shapes(info).insert(kdb.DBox(-sx / 2, -sy / 2, sx / 2, sy / 2))
    ox, oy = sx / 2 - opening_inset, sy / 2 - opening_inset
    c.shapes(LAYER.PAD).insert(kdb.DBox(-ox, -oy, ox, oy))
    _edge_ports(c, sx, sy, info)
    return c


@mw.cell(
    limits={
        "size": {"exclusive_minimum": 0},
        "via_size": {"exclusive_minimum": 0},
        "via_spacing": {"exclusive_minimum": 0},
        "via_enclosure": {"minimum": 0},
    }
)
def via_stack(
    size: tuple[float, float] = (10.0, 10.0),
    layer_bottom: LayerSpec = "M1",
    layer_via: LayerSpec = "VIA1",
    layer_top: LayerSpec = "M2",
    via_size: float = 1.0,
    via_spacing: float = 1.0,
    via_enclosure: float = 1.0,
) -> Component:
    """Metal `layer_bottom` joined to `layer_top` through an array of vias.

    Ports e1..e4 on the edges of the top metal, as for a pad.
    """
    sx, sy = _size(size)
    if via_size <= 0 or via_spacing <= 0 or via_enclosure < 0:
        raise ValueError("via_size and via_spacing must be positive, via_enclosure not negative")
    inner_x, inner_y = sx - 2 * via_enclosure, sy - 2 * via_enclosure
    nx = math.floor((inner_x + via_spacing) / (via_size + via_spacing) + 1e-9)
    ny = math.floor((inner_y + via_spacing) / (via_size + via_spacing) + 1e-9)
    if nx < 1 or ny < 1:
        raise ValueError(f"no via of {via_size} µm fits a {sx} x {sy} µm stack with {via_enclosure} µm enclosure")
    c = cg.DKCell()
    box = kdb.DBox(-sx / 2, -sy / 2, sx / 2, sy / 2)
    c.shapes(get_layer(layer_bottom)).insert(box)
    top = get_layer(layer_top)
    c.shapes(top).insert(box)
    vias = c.shapes(get_layer(layer_via))
    pitch = via_size + via_spacing
    x0 = -(nx * pitch - via_spacing) / 2
    y0 = -(ny * pitch - via_spacing) / 2
    for i in range(nx):
        for j in range(ny):
            x, y = x0 + i * pitch, y0 + j * pitch
            vias.insert(kdb.DBox(x, y, x + via_size, y + via_size))
    _edge_ports(c, sx, sy, top)
    return c


@mw.cell(
    limits={
        "length": {"exclusive_minimum": 0},
        "heater_width": {"exclusive_minimum": 0},
        "via_stack_size": {"exclusive_minimum": 0},
    }
)
def straight_heater_metal(
    length: float = 100.0,
    cross_section: CrossSectionSpec = "strip",
    heater_width: float = 2.5,
    via_stack_size: tuple[float, float] = (10.0, 10.0),
) -> Component:
    """A thermal phase shifter: a waveguide under a heater strip with a via stack at each end.

    Optical ports o1 (west) and o2 (east); electrical ports e1 and e2 on the
    top metal of the left and right via stacks, facing north.
    """
    xs = get_cross_section(cross_section)
    sx, sy = _size(via_stack_size)
    if heater_width <= 0:
        raise ValueError(f"heater_width must be positive, got {heater_width}")
    if length < 2 * sx:
        raise ValueError(f"length {length} µm is too short for two {sx} µm via stacks")
    c = cg.DKCell()
    draw_straight(c, length, xs)
    c.shapes(LAYER.HEATER).insert(kdb.DBox(0, -heater_width / 2, length, heater_width / 2))
    stack = via_stack(size=(sx, sy))
    for name, x in (("e1", sx / 2), ("e2", length - sx / 2)):
        c.shapes(LAYER.HEATER).insert(kdb.DBox(x - sx / 2, -sy / 2, x + sx / 2, sy / 2))
        inst = c.create_inst(stack, kdb.DCplxTrans(1, 0, False, x, 0))
        c.add_port(inst["e2"], name)
    return c


@mw.cell(limits={"columns": {"minimum": 1}, "spacing": {"exclusive_minimum": 0}})
def pad_array(
    pad: ComponentSpec = "pad", columns: int = 4, spacing: float = 150.0, orientation: float = 270
) -> Component:
    """A row of `columns` copies of `pad`, `spacing` µm apart (centre to centre).

    The electrical ports of each copy that face `orientation` degrees become
    the array's ports e1, e2, ... from west to east.
    """
    if not isinstance(columns, int) or columns < 1:
        raise ValueError(f"columns must be a positive integer, got {columns!r}")
    item = PDK.get_component(pad)
    width = item.dbbox().width()
    if spacing < width:
        raise ValueError(f"spacing {spacing} µm is less than the pad width {width} µm")
    c = cg.DKCell()
    n = 1
    for k in range(columns):
        inst = c.create_inst(item, kdb.DCplxTrans(1, 0, False, k * spacing, 0))
        for port in inst.ports.filter(orientation=orientation):
            if port.port_type in ("electrical", "DC", "RF"):
                c.add_port(port, f"e{n}")
                n += 1
    if n == 1:
        raise ValueError(f"{item.name!r} has no electrical port facing {orientation} degrees")
    return c
