"""Cross-sections: the profile of a waveguide or wire."""

from __future__ import annotations

from dataclasses import dataclass, field

import klayout.db as kdb

__all__ = ["CrossSection", "Section"]


@dataclass(frozen=True)
class Section:
    """An extra layer drawn alongside the core, centred on it (for example a rib slab)."""

    layer: kdb.LayerInfo
    width: float

    def __post_init__(self) -> None:
        if not isinstance(self.layer, kdb.LayerInfo):
            raise TypeError(f"section layer must be a kdb.LayerInfo, got {self.layer!r}")
        if not self.width > 0:
            raise ValueError(f"section width must be positive, got {self.width!r}")


@dataclass(frozen=True)
class CrossSection:
    """Profile of a waveguide or wire: core `width` (µm) on `layer`, plus `sections`.

    `radius` is the default bend radius (µm) for routes of this cross-section;
    `port_type` and `port_names` are what straight pieces of it call their ends.
    """

    name: str
    width: float
    layer: kdb.LayerInfo
    sections: tuple[Section, ...] = field(default=())
    radius: float = 10.0
    port_type: str = "optical"
    port_names: tuple[str, str] = ("o1", "o2")

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name:
            raise ValueError(f"a cross-section needs a name, got {self.name!r}")
        if not isinstance(self.layer, kdb.LayerInfo):
            raise TypeError(f"cross-section {self.name}: layer must be a kdb.LayerInfo, got {self.layer!r}")
        if not self.width > 0:
            raise ValueError(f"cross-section {self.name}: width must be positive, got {self.width!r}")
        if self.radius < 0:
            raise ValueError(f"cross-section {self.name}: radius must not be negative, got {self.radius!r}")
        if len(self.port_names) != 2 or self.port_names[0] == self.port_names[1]:
            raise ValueError(f"cross-section {self.name}: port_names must be two different names")
        object.__setattr__(self, "sections", tuple(self.sections))

    @property
    def total_width(self) -> float:
        """Width of the widest layer (core or section), µm."""
        return max([self.width, *(s.width for s in self.sections)])
