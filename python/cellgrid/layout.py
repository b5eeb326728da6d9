"""Layout libraries: one `kdb.Layout` plus the ports and settings of its cells.

KLayout keeps geometry, cells and instances; a `KCLayout` adds what KLayout has
no place for: the ports of each cell and the settings it was built with (kept
in a `CellBase` per cell, shared by every wrapper of that cell) and a table of
layer names. `cg.kcl` is the default library, where kit cells are built.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Iterator, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, Generic, TypeVar

import klayout.db as kdb

from . import conf
from .port import Port

if TYPE_CHECKING:
    from .cell import DKCell, KCell, ProtoTKCell

__all__ = ["CellBase", "KCLayout", "CellMapping", "LayerIdent", "kcl"]

LayerIdent = kdb.LayerInfo | str | tuple[int, int] | int
"""A layer: a `kdb.LayerInfo`, a layer name, (layer, datatype) or a layer index."""

C = TypeVar("C", bound="ProtoTKCell[Any]")


class CellBase:
    """Data of one cell shared by all its wrappers: ports, settings, library."""

    __slots__ = (
        "kcl",
        "cell_index",
        "ports",
        "settings",
        "function_name",
        "ports_known",
        "name_index",
        "last_netlist",
    )

    def __init__(self, kcl: KCLayout, cell_index: int) -> None:
        self.kcl = kcl
        self.cell_index = cell_index
        self.ports: list[Port] = []
        self.settings: dict[str, Any] = {}
        self.function_name: str | None = None
        self.ports_known = True
        """False for a cell read from a file that had lost every cell's ports and settings."""
        self.name_index: dict[str, kdb.Instance] | None = None
        """Instances by name, rebuilt on demand by name lookups."""
        self.last_netlist: kdb.Netlist | None = None
        """The latest port-connectivity netlist, kept so that circuits taken from it stay valid."""

    def copy(self, kcl: KCLayout) -> CellBase:
        """The same data attached to another library (ports are immutable, shared)."""
        other = CellBase(kcl, self.cell_index)
        other.ports = list(self.ports)
        other.settings = dict(self.settings)
        other.function_name = self.function_name
        other.ports_known = self.ports_known
        return other

    def take_from(self, source: CellBase) -> None:
        """Take the ports, settings and function of `source` (a cell of any library of the same database unit)."""
        from .gds import port_from_dict

        if abs(source.kcl.dbu - self.kcl.dbu) > 1e-12:
            raise ValueError(
                f"cell data in dbu {source.kcl.dbu} cannot join library {self.kcl.name!r} ({self.kcl.dbu})"
            )
        self.ports = [port_from_dict(self.kcl, port.to_dict()) for port in source.ports]
        self.settings = dict(source.settings)
        self.function_name = source.function_name
        self.ports_known = True

    @property
    def kdb_cell(self) -> kdb.Cell:
        """The KLayout cell."""
        cell = self.kcl.layout.cell(self.cell_index)
        if cell is None:
            raise ValueError(f"cell index {self.cell_index} no longer exists in {self.kcl.name!r}")
        return cell

    def __repr__(self) -> str:
        return f"CellBase({self.kcl.name!r}, {self.cell_index})"


class CellMapping(Mapping[str, C], Generic[C]):
    """Cells of a library by name (iteration gives names); also indexable by cell index."""

    def __init__(self, kcl: KCLayout, cls: type[C]) -> None:
        self._kcl = kcl
        self._cls = cls

    def __getitem__(self, key: str | int) -> C:
        layout = self._kcl.layout
        if isinstance(key, int):
            if not layout.is_valid_cell_index(key):
                raise KeyError(key)
            ci = key
        else:
            cell = layout.cell(key) if isinstance(key, str) else None
            if cell is None:
                raise KeyError(key)
            ci = cell.cell_index()
        return self._cls(base=self._kcl.base(ci))

    def __contains__(self, key: object) -> bool:
        if isinstance(key, int):
            return self._kcl.layout.is_valid_cell_index(key)
        return isinstance(key, str) and self._kcl.layout.cell(key) is not None

    def __iter__(self) -> Iterator[str]:
        return (c.name for c in self._kcl.layout.each_cell())

    def __len__(self) -> int:
        return self._kcl.layout.cells()


class KCLayout:
    """A layout library: a `kdb.Layout` with ports, settings and layer names per cell."""

    def __init__(self, name: str, dbu: float = conf.DEFAULT_DBU, layout: kdb.Layout | None = None) -> None:
        """Create an empty library (or adopt `layout`) called `name`."""
        self.name = name
        if layout is None:
            layout = kdb.Layout()
            layout.dbu = dbu
        self.layout = layout
        self._bases: dict[int, CellBase] = {}
        self._layer_names: dict[str, kdb.LayerInfo] = {}
        self.cell_cache: dict[Hashable, CellBase] = {}
        """Cells built by cell functions, by function and settings."""

    # --- basics ---------------------------------------------------------
    @property
    def dbu(self) -> float:
        """Database unit in micrometres."""
        return self.layout.dbu

    def base(self, cell_index: int) -> CellBase:
        """The shared data of a cell, created on first use."""
        b = self._bases.get(cell_index)
        if b is None:
            if not self.layout.is_valid_cell_index(cell_index):
                raise KeyError(f"no cell with index {cell_index} in library {self.name!r}")
            b = self._bases[cell_index] = CellBase(self, cell_index)
        return b

    @property
    def kcells(self) -> CellMapping[KCell]:
        """Cells by name or index, as `KCell` wrappers."""
        from .cell import KCell

        return CellMapping(self, KCell)

    @property
    def dkcells(self) -> CellMapping[DKCell]:
        """Cells by name or index, as `DKCell` wrappers (micrometre units)."""
        from .cell import DKCell

        return CellMapping(self, DKCell)

    def kcell(self, name: str | None = None) -> KCell:
        """A new, empty cell of this library."""
        from .cell import KCell

        return KCell(name, kcl=self)

    def dkcell(self, name: str | None = None) -> DKCell:
        """A new, empty cell of this library, with micrometre units."""
        from .cell import DKCell

        return DKCell(name, kcl=self)

    def top_cells(self) -> list[DKCell]:
        """Cells that no other cell places."""
        from .cell import DKCell

        return [DKCell(base=self.base(c.cell_index())) for c in self.layout.top_cells()]

    # --- layers ---------------------------------------------------------
    def register_layers(self, infos: Mapping[str, kdb.LayerInfo] | Iterable[kdb.LayerInfo]) -> None:
        """Make layer names known, so that `layer("WG")` finds or creates (1/0, "WG").

        Existing unnamed layers with the same numbers get the name.
        """
        items = infos.items() if isinstance(infos, Mapping) else ((i.name, i) for i in infos)
        for name, info in items:
            if not name:
                raise ValueError(f"layer {info} has no name")
            if info.layer < 0 or info.datatype < 0:
                raise ValueError(f"layer {name!r} needs a layer and datatype number, got {info}")
            full = kdb.LayerInfo(info.layer, info.datatype, name)
            self._layer_names[name] = full
            idx = self._find(full)
            if idx is None:
                # a layer made earlier from the bare name gets its numbers now
                idx = self._find(kdb.LayerInfo(name))
                if idx is not None and self.layout.get_info(idx).layer >= 0:
                    idx = None
            if idx is not None and self.layout.get_info(idx) != full:
                if self.layout.get_info(idx).name in ("", name):
                    self.layout.set_info(idx, full)

    @property
    def layer_names(self) -> dict[str, kdb.LayerInfo]:
        """Registered layer names."""
        return dict(self._layer_names)

    def _to_info(self, ident: LayerIdent) -> kdb.LayerInfo:
        if isinstance(ident, kdb.LayerInfo):
            if ident.layer < 0 and ident.name in self._layer_names:
                return self._layer_names[ident.name]
            return ident
        if isinstance(ident, str):
            return self._layer_names.get(ident, kdb.LayerInfo(ident))
        if (
            isinstance(ident, tuple)
            and len(ident) == 2
            and all(isinstance(v, int) and not isinstance(v, bool) for v in ident)
        ):
            return kdb.LayerInfo(ident[0], ident[1])
        raise TypeError(f"a layer is a kdb.LayerInfo, a layer name, (layer, datatype) or an index; got {ident!r}")

    def _find(self, info: kdb.LayerInfo) -> int | None:
        layout = self.layout
        if info.layer >= 0:
            for idx in layout.layer_indexes():
                li = layout.get_info(idx)
                if li.layer == info.layer and li.datatype == info.datatype:
                    return idx
            return None
        for idx in layout.layer_indexes():
            if layout.get_info(idx).name == info.name:
                return idx
        return None

    def find_layer(self, ident: LayerIdent) -> int:
        """Index of an existing layer; fails with a `ValueError` when there is none."""
        if isinstance(ident, int) and not isinstance(ident, bool):
            if ident in self.layout.layer_indexes():
                return ident
            raise ValueError(f"no layer with index {ident} in library {self.name!r}")
        idx = self._find(self._to_info(ident))
        if idx is None:
            known = ", ".join(str(self.layout.get_info(i)) for i in self.layout.layer_indexes())
            raise ValueError(f"layer {ident!r} not found in library {self.name!r} (layers: {known or 'none'})")
        return idx

    def layer(self, ident: LayerIdent) -> int:
        """Index of a layer, created when the library does not have it yet."""
        if isinstance(ident, int) and not isinstance(ident, bool):
            return self.find_layer(ident)
        info = self._to_info(ident)
        idx = self._find(info)
        if idx is None:
            return self.layout.layer(info)
        if info.name and not self.layout.get_info(idx).name:
            self.layout.set_info(idx, kdb.LayerInfo(info.layer, info.datatype, info.name))
        return idx

    def get_info(self, index: int) -> kdb.LayerInfo:
        """Layer info of a layer index."""
        return self.layout.get_info(index)

    # --- copies and files -------------------------------------------------
    def dup(self, name: str | None = None) -> KCLayout:
        """An independent deep copy: same cell indices, cells, shapes, properties and ports."""
        other = KCLayout(name or f"{self.name}_copy", layout=self.layout.dup())
        other._layer_names = dict(self._layer_names)
        other._bases = {ci: b.copy(other) for ci, b in self._bases.items() if other.layout.is_valid_cell_index(ci)}
        return other

    def write(self, path: str | Path, options: kdb.SaveLayoutOptions | None = None) -> None:
        """Write GDS or OASIS (by file suffix); ports and settings go into meta info."""
        from .gds import write_layout

        write_layout(self, path, options)

    def read(self, path: str | Path, options: kdb.LoadLayoutOptions | None = None) -> list[DKCell]:
        """Read GDS or OASIS into this library; returns the new top cells.

        Cells whose names already exist here are read under new names, so no
        existing cell changes.
        """
        from .gds import read_layout

        return read_layout(self, path, options)

    def __repr__(self) -> str:
        return f"KCLayout({self.name!r}, cells={self.layout.cells()}, dbu={self.dbu})"


kcl = KCLayout("DEFAULT")
"""The default library; kit cells are built here."""
