"""Process design kits over `cellgrid`: cross-sections, cached cell functions, kits.

import maskwright as mw

PDK = mw.Pdk("my_kit", cells={...}, cross_sections={...}, layers=LAYER)
PDK.activate()
mw.get_active_pdk().get_component("straight", length=20)
"""

from __future__ import annotations

import klayout.db as kdb

from . import typings
from .cell import cell, cell_name, settings_from_name
from .cross_section import CrossSection, Section
from .layers import LayerMap
from .pdk import Pdk, get_active_pdk
from .typings import Component

__all__ = [
    "kdb",
    "typings",
    "cell",
    "cell_name",
    "settings_from_name",
    "CrossSection",
    "Section",
    "LayerMap",
    "Pdk",
    "get_active_pdk",
    "Component",
]
