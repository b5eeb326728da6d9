"""Optical components: multimode interference couplers and a grating coupler.

Ports are numbered counter-clockwise, starting at the west side from the top.
"""

from __future__ import annotations

import cellgrid as cg
import klayout.db as kdb
import maskwright as mw
from maskwright.typings import Component, CrossSectionSpec

from .cross_sections import get_cross_section
from .layers import LAYER

__all__ = ["mmi1x2", "mmi2x2", "grating_coupler"]


def _taper(x0: float, x1: float, y: float, w0: float, w1: float) -> kdb.DPolygon:
    return kdb.DPolygon(
        [kdb.DPoint(x0, y - w0 / 2), kdb.DPoint(x1, y - w1 / 2), kdb.DPoint(x1, y + w1 / 2), kdb.DPoint(x0, y + w0 / 2)]
    )


#: The settings of an MMI that must be more than zero (the editor refuses others where they are typed).
MMI_LIMITS = {key: {"exclusive_minimum": 0} for key in ("width_taper", "length_taper", "length_mmi", "width_mmi")}


def _mmi(
    c: cg.DKCell,
    inputs: list[float],
    outputs: list[float],
    width_taper: float,
    length_taper: float,
    length_mmi: float,
    width_mmi: float,
    xs: mw.CrossSection,
) -> None:
    """Draw an MMI body with tapered access waveguides at the given y offsets; add ports."""
    for v, what in (
        (width_taper, "width_taper"),
        (length_taper, "length_taper"),
        (length_mmi, "length_mmi"),
        (width_mmi, "width_mmi"),
    ):
        if v <= 0:
            raise ValueError(f"{what} must be positive, got {v}")
    if width_taper < xs.width:
        raise ValueError(f"width_taper {width_taper} is narrower than the waveguide ({xs.width})")
    span = max(abs(y) for y in inputs + outputs) + width_taper / 2
    if span > width_mmi / 2:
        raise ValueError(f"access waveguides ({2 * span} µm) do not fit the {width_mmi} µm wide MMI")
    dbu = cg.kcl.dbu
    region = kdb.Region()
    polys = [kdb.DPolygon(kdb.DBox(0, -width_mmi / 2, length_mmi, width_mmi / 2))]
    polys += [_taper(-length_taper, 0, y, xs.width, width_taper) for y in inputs]
    polys += [_taper(length_mmi + length_taper, length_mmi, y, xs.width, width_taper) for y in outputs]
    for poly in polys:
        region.insert(poly.to_itype(dbu))
    region.merge()
    c.shapes(xs.layer).insert(region)
    for s in xs.sections:
        grow = (s.width - xs.width) / 2
        c.shapes(s.layer).insert(
            kdb.DBox(-length_taper, -width_mmi / 2 - grow, length_mmi + length_taper, width_mmi / 2 + grow)
        )
    x_in = -cg.to_dbu(length_taper, dbu, "length_taper")
    x_out = cg.to_dbu(length_mmi + length_taper, dbu, "length_mmi + length_taper")
    n = 1
    for y in sorted(inputs, reverse=True):
        c.create_port(f"o{n}", kdb.Trans(2, False, x_in, cg.to_dbu(y, dbu, "port offset")), xs.width, xs.layer)
        n += 1
    for y in sorted(outputs):
        c.create_port(f"o{n}", kdb.Trans(0, False, x_out, cg.to_dbu(y, dbu, "port offset")), xs.width, xs.layer)
        n += 1


@mw.cell(limits=MMI_LIMITS)
def mmi1x2(
    width_taper: float = 1.0,
    length_taper: float = 10.0,
    length_mmi: float = 5.5,
    width_mmi: float = 2.5,
    gap_mmi: float = 0.25,
    cross_section: CrossSectionSpec = "strip",
) -> Component:
    """1x2 MMI splitter (multimode interference): o1 input (west), o2 lower and o3 upper output (east)."""
    xs = get_cross_section(cross_section)
    y = (width_taper + gap_mmi) / 2
    c = cg.DKCell()
    _mmi(c, [0.0], [-y, y], width_taper, length_taper, length_mmi, width_mmi, xs)
    return c


@mw.cell(limits=MMI_LIMITS)
def mmi2x2(
    width_taper: float = 1.0,
    length_taper: float = 10.0,
    length_mmi: float = 42.5,
    width_mmi: float = 2.5,
    gap_mmi: float = 0.25,
    cross_section: CrossSectionSpec = "strip",
) -> Component:
    """2x2 MMI coupler, a splitter and combiner: o1 upper and o2 lower input (west), o3 lower and o4 upper output (east)."""
    xs = get_cross_section(cross_section)
    y = (width_taper + gap_mmi) / 2
    c = cg.DKCell()
    _mmi(c, [-y, y], [-y, y], width_taper, length_taper, length_mmi, width_mmi, xs)
    return c


@mw.cell(
    limits={
        "period": {"exclusive_minimum": 0},
        "fill_factor": {"exclusive_minimum": 0, "exclusive_maximum": 1},
        "n_periods": {"minimum": 1},
        "width": {"exclusive_minimum": 0},
        "taper_length": {"exclusive_minimum": 0},
    }
)
def grating_coupler(
    period: float = 0.66,
    fill_factor: float = 0.5,
    n_periods: int = 30,
    width: float = 10.0,
    taper_length: float = 16.0,
    cross_section: CrossSectionSpec = "strip",
) -> Component:
    """Focusing-free grating coupler: a taper to `width` µm, then `n_periods` teeth.

    o1 is the waveguide end (west); light leaves the chip above the teeth.
    """
    xs = get_cross_section(cross_section)
    if period <= 0 or not 0 < fill_factor < 1 or n_periods < 1 or width < xs.width or taper_length <= 0:
        raise ValueError(
            "need period > 0, 0 < fill_factor < 1, n_periods >= 1, width >= the waveguide width and"
            f" taper_length > 0; got {period}, {fill_factor}, {n_periods}, {width}, {taper_length}"
        )
    c = cg.DKCell()
    c.shapes(xs.layer).insert(_taper(0, taper_length, 0, xs.width, width))
    tooth = period * fill_factor
    for k in range(n_periods):
        x = taper_length + (1 - fill_factor) * period + k * period
        c.shapes(xs.layer).insert(kdb.DBox(x, -width / 2, x + tooth, width / 2))
    end = taper_length + n_periods * period
    c.shapes(LAYER.FLOORPLAN).insert(kdb.DBox(0, -width / 2 - 1, end + 1, width / 2 + 1))
    for s in xs.sections:
        c.shapes(s.layer).insert(kdb.DBox(0, -width / 2 - 1, end + 1, width / 2 + 1))
    c.create_port(xs.port_names[0], kdb.Trans(2, False, 0, 0), xs.width, xs.layer, xs.port_type)
    return c
