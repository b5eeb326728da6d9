"""Process design kits: cells, cross-sections, layers, connectivity and routers."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import cellgrid as cg
import klayout.db as kdb

from .cross_section import CrossSection
from .typings import ComponentSpec, ConnectivitySpec, CrossSectionSpec, LayerSpec

__all__ = ["Pdk", "get_active_pdk"]

_active: Pdk | None = None


def get_active_pdk() -> Pdk:
    """The kit activated last; fails when no kit has been activated."""
    if _active is None:
        raise RuntimeError("no process design kit is active: call activate() on a kit first")
    return _active


class Pdk:
    """A process design kit.

    `cells` maps component names to cell functions (called without arguments
    they build the component with its defaults); `cross_sections` maps names to
    cross-sections (the name "cross_section" may point at the default one);
    `connectivity` lists layer sets whose consecutive layers touch, for the
    electrical check; `routing_strategies` maps names to routing functions;
    `layers` names the kit's layers.
    """

    def __init__(
        self,
        name: str,
        cells: Mapping[str, Callable[..., cg.DKCell]],
        cross_sections: Mapping[str, CrossSection],
        connectivity: Sequence[ConnectivitySpec] | None = None,
        routing_strategies: Mapping[str, Callable[..., Any]] | None = None,
        layers: Mapping[str, kdb.LayerInfo] | Iterable[kdb.LayerInfo] = (),
    ) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError(f"a kit needs a name, got {name!r}")
        self.name = name
        self.cells: dict[str, Callable[..., cg.DKCell]] = dict(cells)
        for cname, func in self.cells.items():
            if not callable(func):
                raise TypeError(f"kit {name}: cell {cname!r} is not callable")
        self.cross_sections: dict[str, CrossSection] = dict(cross_sections)
        for xname, xs in self.cross_sections.items():
            if not isinstance(xs, CrossSection):
                raise TypeError(f"kit {name}: cross-section {xname!r} is not a CrossSection")
        self.layers: dict[str, kdb.LayerInfo] = (
            {k: v for k, v in layers.items()} if isinstance(layers, Mapping) else {i.name: i for i in layers}
        )
        self.connectivity: list[ConnectivitySpec] | None = None
        if connectivity is not None:
            self.connectivity = [self._check_layer_set(tuple(s)) for s in connectivity]
        self.routing_strategies: dict[str, Callable[..., Any]] = dict(routing_strategies or {})

    def _check_layer_set(self, layer_set: tuple[kdb.LayerInfo | str, ...]) -> ConnectivitySpec:
        if not layer_set:
            raise ValueError(f"kit {self.name}: an empty layer set in connectivity")
        for ident in layer_set:
            lname = ident.name if isinstance(ident, kdb.LayerInfo) else ident
            if self.layers and lname not in self.layers:
                raise ValueError(f"kit {self.name}: connectivity names unknown layer {ident!r}")
        return layer_set

    def activate(self) -> Pdk:
        """Make this the active kit and teach the default library its layer names."""
        global _active
        cg.kcl.register_layers(self.layers)
        _active = self
        return self

    def get_layer(self, layer: LayerSpec) -> kdb.LayerInfo:
        """The named layer info of a layer name (or a layer info, returned as it is)."""
        if isinstance(layer, kdb.LayerInfo):
            return layer
        try:
            return self.layers[layer]
        except KeyError:
            raise ValueError(f"kit {self.name} has no layer {layer!r} (layers: {', '.join(self.layers)})") from None

    def get_cross_section(self, spec: CrossSectionSpec) -> CrossSection:
        """A cross-section of the kit by name (or a cross-section, returned as it is)."""
        if isinstance(spec, CrossSection):
            return spec
        try:
            return self.cross_sections[spec]
        except (KeyError, TypeError):
            known = ", ".join(self.cross_sections)
            raise ValueError(f"kit {self.name} has no cross-section {spec!r} (known: {known})") from None

    def get_component(self, spec: ComponentSpec, **settings: Any) -> cg.DKCell:
        """Build a component: by component name, by cell function, or a built one as it is."""
        if isinstance(spec, cg.ProtoTKCell):
            if settings:
                raise ValueError("settings cannot be applied to a built component")
            return cg.DKCell(base=spec._base)
        if isinstance(spec, str):
            func = self.cells.get(spec)
            if func is None:
                raise ValueError(f"kit {self.name} has no component {spec!r} (known: {', '.join(self.cells)})")
        elif callable(spec):
            func = spec
        else:
            raise TypeError(f"a component is a name, a cell function or a cell, got {type(spec).__name__}")
        component = func(**settings)
        if not isinstance(component, cg.ProtoTKCell):
            raise TypeError(f"cell function for {spec!r} returned {type(component).__name__}, not a cell")
        return cg.DKCell(base=component._base)

    def __repr__(self) -> str:
        return f"Pdk({self.name!r}, cells={len(self.cells)}, cross_sections={list(self.cross_sections)})"
