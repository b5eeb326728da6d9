"""Library-wide constants: GDS property ids, meta-info keys and defaults."""

from __future__ import annotations

from enum import IntEnum

__all__ = ["PROPID", "DEFAULT_DBU", "MAX_COORDINATE", "META_PORTS", "META_SETTINGS", "META_LAYERS", "PORT_TYPES"]


class PROPID(IntEnum):
    """Mapping for GDS properties."""

    NAME = 0
    """Property under which an instance stores its name."""
    PURPOSE = 1
    """Property that may tag a cell or instance with its purpose (free text)."""


DEFAULT_DBU = 0.001
"""Database unit of new layout libraries, in micrometres."""

MAX_COORDINATE = 2**31 - 1
"""The largest coordinate of a layout, in database units: KLayout's are 32-bit
integers, which wrap round beyond it."""

META_PORTS = "cellgrid:ports"
"""Cell meta-info key holding the cell's ports when a layout is written."""
META_SETTINGS = "cellgrid:settings"
"""Cell meta-info key holding the settings a cell was built with."""
META_LAYERS = "cellgrid:layers"
"""Meta-info key of each written top cell holding the names of the layers (GDS has no layer names)."""

PORT_TYPES = ("optical", "electrical", "DC", "RF")
"""Port types in common use; other texts are accepted as well."""
