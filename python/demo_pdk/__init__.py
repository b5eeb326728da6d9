"""The demo process design kit ("demo_pdk").

A small silicon-photonics process: strip and rib waveguides on WG (with SLAB),
a resistive HEATER, two metals M1 and M2 joined by VIA1, and PAD openings.
`PDK` is the kit; `PDK.activate()` makes it the active one.
"""

from __future__ import annotations

from .cross_sections import CROSS_SECTIONS, get_cross_section, metal_routing, rib, strip
from .electrical import get_layer, pad, pad_array, straight_heater_metal, via_stack
from .kit import CONNECTIVITY, PDK
from .layers import LAYER
from .optical import grating_coupler, mmi1x2, mmi2x2
from .routing import route_bundle, route_bundle_electrical, route_single, route_single_electrical
from .waveguides import bend_circular, bend_euler, straight, taper, wire

__all__ = [
    "PDK",
    "LAYER",
    "CROSS_SECTIONS",
    "CONNECTIVITY",
    "get_cross_section",
    "get_layer",
    "strip",
    "rib",
    "metal_routing",
    "straight",
    "wire",
    "bend_circular",
    "bend_euler",
    "taper",
    "mmi1x2",
    "mmi2x2",
    "grating_coupler",
    "pad",
    "pad_array",
    "via_stack",
    "straight_heater_metal",
    "route_single",
    "route_bundle",
    "route_bundle_electrical",
    "route_single_electrical",
]

PDK.cells.update(
    {
        "straight": straight,
        "bend_circular": bend_circular,
        "bend_euler": bend_euler,
        "taper": taper,
        "mmi1x2": mmi1x2,
        "mmi2x2": mmi2x2,
        "grating_coupler": grating_coupler,
        "straight_heater_metal": straight_heater_metal,
        "pad": pad,
        "pad_array": pad_array,
        "via_stack": via_stack,
        "wire": wire,
    }
)
PDK.routing_strategies.update(
    {
        "route_bundle": route_bundle,
        "route_bundle_electrical": route_bundle_electrical,
        "route_single": route_single,
        "route_single_electrical": route_single_electrical,
    }
)
