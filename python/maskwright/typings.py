"""Type names for kit code: cell functions, routers and connectivity."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TypeAlias

import cellgrid as cg
import klayout.db as kdb

from .cross_section import CrossSection

__all__ = [
    "Component",
    "ComponentSpec",
    "ConnectivitySpec",
    "CrossSectionSpec",
    "LayerSpec",
    "Port",
    "Waypoints",
]

Component: TypeAlias = cg.DKCell
"""A built component: a cell with micrometre units."""

Port: TypeAlias = cg.Port

LayerSpec: TypeAlias = kdb.LayerInfo | str
"""A layer: a named `kdb.LayerInfo` or a layer name of the kit."""

ConnectivitySpec: TypeAlias = tuple[kdb.LayerInfo | str, ...]
"""A layer set: consecutive layers touch, e.g. ("M1", "VIA1", "M2")."""

CrossSectionSpec: TypeAlias = CrossSection | str
"""A cross-section or the name of one of the kit's cross-sections."""

ComponentSpec: TypeAlias = cg.DKCell | str | Callable[..., cg.DKCell]
"""A built component, a component name of the kit or a cell function."""

Waypoints: TypeAlias = Sequence[tuple[float, float]]
"""Points (µm) a route passes through, in order."""
