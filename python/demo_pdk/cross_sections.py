"""Cross-sections of the demo process."""

from __future__ import annotations

import maskwright as mw
from maskwright.typings import CrossSectionSpec

from .layers import LAYER

__all__ = ["strip", "rib", "metal_routing", "CROSS_SECTIONS", "get_cross_section"]

strip = mw.CrossSection("strip", width=0.5, layer=LAYER.WG, radius=10.0)
"""Fully etched single-mode waveguide."""

rib = mw.CrossSection("rib", width=0.5, layer=LAYER.WG, sections=(mw.Section(LAYER.SLAB, 6.0),), radius=20.0)
"""Waveguide with a slab on both sides; lower loss, larger bends."""

metal_routing = mw.CrossSection(
    "metal_routing", width=10.0, layer=LAYER.M2, radius=0.0, port_type="electrical", port_names=("e1", "e2")
)
"""Wires on the second metal."""

CROSS_SECTIONS: dict[str, mw.CrossSection] = {
    "strip": strip,
    "rib": rib,
    "metal_routing": metal_routing,
    "cross_section": strip,
}
"""The kit's cross-sections; "cross_section" is the default one."""


def get_cross_section(spec: CrossSectionSpec) -> mw.CrossSection:
    """A cross-section of this kit by name, or a given cross-section unchanged."""
    if isinstance(spec, mw.CrossSection):
        return spec
    try:
        return CROSS_SECTIONS[spec]
    except (KeyError, TypeError):
        raise ValueError(f"unknown cross-section {spec!r} (known: {', '.join(CROSS_SECTIONS)})") from None
