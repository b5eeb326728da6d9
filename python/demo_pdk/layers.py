"""Layers of the demo process."""

from __future__ import annotations

import maskwright as mw

__all__ = ["LAYER"]

LAYER = mw.LayerMap(
    WG=(1, 0),  # silicon waveguide core
    SLAB=(3, 0),  # partially etched slab of rib waveguides
    HEATER=(47, 0),  # resistive heater metal
    M1=(41, 0),  # first metal
    VIA1=(44, 0),  # via between M1 and M2
    M2=(45, 0),  # second metal, routing and pads
    PAD=(49, 0),  # passivation opening over pads
    FLOORPLAN=(64, 0),  # outline of a component
    TEXT=(66, 0),  # labels
)
