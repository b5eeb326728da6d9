"""Layout libraries, their cells and the instances placed in them.

KLayout keeps geometry, cells and instances; a `KCLayout` adds what KLayout has
no place for: the ports of each cell and the settings it was built with (kept
in a `CellBase` per cell, shared by every wrapper of that cell) and a table of
layer names. `cg.kcl` is the default library, where kit cells are built.

Cells are wrappers over a library cell with ports, instances and shapes. Any
number of wrappers may exist for one cell; they share the cell's data
(`_base`) and compare equal. `KCell` and `DKCell` differ only in the units their
documentation speaks of: both accept integer (`kdb.Trans`, dbu) and micrometre
(`kdb.DCplxTrans`) placements.

Instances are placements of a cell inside another cell, optionally named (see
`cellgrid.naming`); those without a name are plain wiring (for example the
waveguides a router draws). `DInstance.elements()` gives each copy of an
instance array as an instance of its own, placed where it is, with its own
ports and box.

Libraries, cells and instances refer to each other, so they live in one module.
What they leave to others takes and gives plain KLayout objects and ports:
reading and writing files (`cellgrid.gds`), matching ports (`cellgrid.l2n`).
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, Generic, TypeVar

import klayout.db as kdb

from . import conf, gds
from .conf import PROPID
from .l2n import ConnectivityTables, Joints, match_ports, netlist_from_tables, normalise_port_types
from .naming import check_instance_name, element_name
from .port import Port, Ports, to_dbu

__all__ = [
    "CellBase",
    "CellMapping",
    "DInstance",
    "DKCell",
    "Instance",
    "Instances",
    "KCLayout",
    "KCell",
    "LayerIdent",
    "PortConnectivity",
    "ProtoTKCell",
    "kcl",
    "port_connectivity",
    "port_from_dict",
    "read_layout",
    "write_layout",
]

LayerIdent = kdb.LayerInfo | str | tuple[int, int] | int
"""A layer: a `kdb.LayerInfo`, a layer name, (layer, datatype) or a layer index."""

C = TypeVar("C", bound="ProtoTKCell[Any]")
T = TypeVar("T", int, float)

Placement = kdb.Trans | kdb.ICplxTrans | kdb.DTrans | kdb.DCplxTrans | None

_R180 = kdb.Trans(2, False, 0, 0)
_D180 = kdb.DCplxTrans(1, 180, False, 0, 0)


# --- libraries --------------------------------------------------------------------


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
        return CellMapping(self, KCell)

    @property
    def dkcells(self) -> CellMapping[DKCell]:
        """Cells by name or index, as `DKCell` wrappers (micrometre units)."""
        return CellMapping(self, DKCell)

    def kcell(self, name: str | None = None) -> KCell:
        """A new, empty cell of this library."""
        return KCell(name, kcl=self)

    def dkcell(self, name: str | None = None) -> DKCell:
        """A new, empty cell of this library, with micrometre units."""
        return DKCell(name, kcl=self)

    def top_cells(self) -> list[DKCell]:
        """Cells that no other cell places."""
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
        write_layout(self, path, options)

    def read(self, path: str | Path, options: kdb.LoadLayoutOptions | None = None) -> list[DKCell]:
        """Read GDS or OASIS into this library; returns the new top cells.

        Cells whose names already exist here are read under new names, so no
        existing cell changes.
        """
        return read_layout(self, path, options)

    def __repr__(self) -> str:
        return f"KCLayout({self.name!r}, cells={self.layout.cells()}, dbu={self.dbu})"


kcl = KCLayout("DEFAULT")
"""The default library; kit cells are built here."""


def _default_library() -> KCLayout:
    """The default library, `kcl`, where a parameter of that name hides it."""
    return kcl


# --- cells ------------------------------------------------------------------------


class ProtoTKCell(Generic[T]):
    """A cell of a layout library (`T` is the unit type: int for dbu, float for µm)."""

    __slots__ = ("_base",)

    def __init__(self, name: str | None = None, kcl: KCLayout | None = None, *, base: CellBase | None = None) -> None:
        """Wrap `base`, or create a new cell called `name` in `kcl` (default `cg.kcl`)."""
        if base is not None:
            if name is not None or kcl is not None:
                raise TypeError("give either base or name/kcl, not both")
            if not isinstance(base, CellBase):
                raise TypeError(f"base must be a CellBase, got {type(base).__name__}")
            self._base = base
            return
        lib = _default_library() if kcl is None else kcl
        if name is not None:
            if not isinstance(name, str) or not name:
                raise ValueError(f"a cell name must be a non-empty text, got {name!r}")
            if lib.layout.cell(name) is not None:
                raise ValueError(f"library {lib.name!r} already has a cell named {name!r}")
            ci = lib.layout.add_cell(name)
        else:
            ci = lib.layout.add_cell(lib.layout.unique_cell_name("Unnamed"))
        self._base = lib.base(ci)

    # --- identity -------------------------------------------------------
    @property
    def kcl(self) -> KCLayout:
        """The library that holds the cell."""
        return self._base.kcl

    @property
    def kdb_cell(self) -> kdb.Cell:
        """The KLayout cell."""
        return self._base.kdb_cell

    @property
    def cell_index(self) -> int:
        """Index of the cell in its layout."""
        return self._base.cell_index

    @property
    def name(self) -> str:
        """Cell name."""
        return self.kcl.layout.cell_name(self._base.cell_index)

    @name.setter
    def name(self, value: str) -> None:
        if not isinstance(value, str) or not value:
            raise ValueError(f"a cell name must be a non-empty text, got {value!r}")
        other = self.kcl.layout.cell(value)
        if other is not None and other.cell_index() != self.cell_index:
            raise ValueError(f"library {self.kcl.name!r} already has a cell named {value!r}")
        self.kcl.layout.rename_cell(self.cell_index, value)

    @property
    def settings(self) -> dict[str, Any]:
        """Settings the cell was built with (empty for hand-made cells)."""
        return self._base.settings

    @property
    def function_name(self) -> str | None:
        """Name of the cell function that built the cell, if any."""
        return self._base.function_name

    @property
    def ports_known(self) -> bool:
        """False when the cell was read from a file that had lost its cells' ports and settings."""
        return self._base.ports_known

    @property
    def locked(self) -> bool:
        """Locked cells (built and cached by cell functions) refuse changes."""
        return bool(self.kdb_cell.locked)

    def _check_unlocked(self) -> None:
        if self.kdb_cell.locked:
            raise RuntimeError(f"cell {self.name!r} is locked (a cached cell); build a new cell instead")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ProtoTKCell):
            return NotImplemented
        return self._base is other._base

    def __hash__(self) -> int:
        return hash(id(self._base))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.name!r}, ports={self.ports.names()}, insts={len(self.insts)})"

    # --- geometry ---------------------------------------------------------
    def shapes(self, layer: LayerIdent) -> kdb.Shapes:
        """Shape container of a layer (index, LayerInfo, name or (layer, datatype))."""
        return self.kdb_cell.shapes(self.kcl.layer(layer))

    def begin_shapes_rec(self, layer_index: int) -> kdb.RecursiveShapeIterator:
        """Iterator over the shapes of a layer in this cell and every cell below it."""
        return self.kdb_cell.begin_shapes_rec(layer_index)

    def dbbox(self) -> kdb.DBox:
        """Bounding box in micrometres."""
        return self.kdb_cell.dbbox()

    def bbox(self) -> kdb.Box:
        """Bounding box in database units."""
        return self.kdb_cell.bbox()

    # --- instances --------------------------------------------------------
    @property
    def insts(self) -> Instances:
        """Instances of the cell, also indexable by instance name."""
        return Instances(self)

    def create_inst(self, cell: ProtoTKCell[Any], trans: Placement = None, name: str | None = None) -> DInstance:
        """Place `cell` here; `trans` in dbu (`Trans`) or µm (`DCplxTrans`); `name` optional."""
        if not isinstance(cell, ProtoTKCell):
            raise TypeError(f"create_inst places a cell wrapper, got {type(cell).__name__}")
        if cell.kcl is not self.kcl:
            raise ValueError(f"cell {cell.name!r} belongs to library {cell.kcl.name!r}, not {self.kcl.name!r}")
        if cell == self:
            raise ValueError(f"cell {self.name!r} cannot place itself")
        if name is not None:
            check_instance_name(name)
        ci = cell.cell_index
        if trans is None:
            array = kdb.CellInstArray(ci, kdb.Trans())
        elif isinstance(trans, (kdb.Trans, kdb.ICplxTrans)):
            array = kdb.CellInstArray(ci, trans)
        elif isinstance(trans, (kdb.DTrans, kdb.DCplxTrans)):
            array = kdb.DCellInstArray(ci, trans)
        else:
            raise TypeError(f"trans must be a kdb.Trans, ICplxTrans, DTrans or DCplxTrans, got {type(trans).__name__}")
        inst = DInstance(self.kdb_cell.insert(array), self)
        if name is not None:
            inst.name = name
        return inst

    def __lshift__(self, cell: ProtoTKCell[Any]) -> DInstance:
        """`c << other` places `other` unnamed at the origin."""
        return self.create_inst(cell)

    # --- ports ------------------------------------------------------------
    @property
    def ports(self) -> Ports:
        """The cell's ports, indexable by name."""
        return Ports(self._base.ports)

    def add_port(self, port: Port, name: str | None = None) -> Port:
        """Add a copy of `port` (for example an instance's port), optionally renamed."""
        self._check_unlocked()
        new_name = port.name if name is None else name
        if not isinstance(new_name, str) or not new_name:
            raise ValueError(f"a port needs a non-empty name, got {new_name!r}")
        if any(p.name == new_name for p in self._base.ports):
            raise ValueError(f"cell {self.name!r} already has a port named {new_name!r}")
        if abs(port.dbu - self.kcl.dbu) > 1e-12:
            raise ValueError(f"port {new_name!r} uses dbu {port.dbu}, the library uses {self.kcl.dbu}")
        idx = self.kcl.layer(port.layer_info)
        p = Port(
            new_name,
            width=port.width_dbu,
            layer=idx,
            layer_info=self.kcl.get_info(idx),
            dbu=self.kcl.dbu,
            trans=port.trans if port.is_manhattan else None,
            dcplx_trans=None if port.is_manhattan else port.dcplx_trans,
            port_type=port.port_type,
        )
        self._base.ports.append(p)
        return p

    def create_port(
        self,
        name: str,
        trans: kdb.Trans | None = None,
        width: float | None = None,
        layer: LayerIdent | None = None,
        port_type: str = "optical",
        *,
        dcplx_trans: kdb.DCplxTrans | None = None,
    ) -> Port:
        """Add a port: placement `trans` (dbu) or `dcplx_trans` (µm), `width` in µm."""
        if width is None or layer is None:
            raise TypeError("create_port needs a width (µm) and a layer")
        if isinstance(trans, kdb.DCplxTrans) and dcplx_trans is None:
            trans, dcplx_trans = None, trans
        if trans is not None and not isinstance(trans, kdb.Trans):
            raise TypeError(f"trans must be a kdb.Trans in dbu, got {type(trans).__name__}")
        idx = self.kcl.layer(layer)
        port = Port(
            name,
            width=to_dbu(width, self.kcl.dbu, f"width of port {name!r}"),
            layer=idx,
            layer_info=self.kcl.get_info(idx),
            dbu=self.kcl.dbu,
            trans=trans,
            dcplx_trans=dcplx_trans,
            port_type=port_type,
        )
        return self.add_port(port)

    def remove_port(self, name: str) -> None:
        """Remove the port called `name`."""
        self._check_unlocked()
        for n, p in enumerate(self._base.ports):
            if p.name == name:
                del self._base.ports[n]
                return
        raise KeyError(name)

    # --- connectivity -----------------------------------------------------
    def l2n(self, port_types: tuple[str, ...] | list[str] | str = ("optical",)) -> PortConnectivity:
        """Port connectivity of this cell's instances as a netlist (see `cellgrid.l2n`)."""
        # The netlist is built only when the result is asked for it; the one
        # the cell kept from an earlier result goes now (a caller still
        # holding that result keeps it), so the cell holds none after this.
        self._base.last_netlist = None
        return port_connectivity(self, port_types)

    def write(self, path: str, **kwargs: Any) -> None:
        """Write this cell and everything below it to GDS or OASIS."""
        write_layout(self.kcl, path, cells=[self.cell_index], **kwargs)


class KCell(ProtoTKCell[int]):
    """A cell whose placements and sizes are usually given in database units."""

    __slots__ = ()


class DKCell(ProtoTKCell[float]):
    """A cell whose placements and sizes are usually given in micrometres."""

    __slots__ = ()


# --- instances --------------------------------------------------------------------


class DInstance:
    """A placed cell with micrometre accessors; wraps a `kdb.Instance`, or one
    copy (`element`, the indices (i, j)) of a KLayout instance array."""

    __slots__ = ("_inst", "element", "parent")

    def __init__(self, inst: kdb.Instance, parent: ProtoTKCell[Any], element: tuple[int, int] | None = None) -> None:
        self._inst = inst
        self.parent = parent
        self.element = element

    def elements(self) -> list[DInstance]:
        """Each copy of an instance array as an instance of its own; an
        instance that is no array (or an array of one) is its only element."""
        inst = self._inst
        if self.element is not None or not inst.is_regular_array() or inst.na * inst.nb == 1:
            return [self]
        return [DInstance(inst, self.parent, (i, j)) for j in range(inst.nb) for i in range(inst.na)]

    def _shift(self) -> kdb.Vector:
        """The displacement of this copy from the array's first, in database units."""
        assert self.element is not None
        i, j = self.element
        return self._inst.a * i + self._inst.b * j

    @property
    def instance(self) -> kdb.Instance:
        """The KLayout instance."""
        return self._inst

    # --- naming -----------------------------------------------------------
    @property
    def name(self) -> str | None:
        """Instance name (property `PROPID.NAME`), or None for an unnamed instance;
        a copy of a named array has its `element_name`."""
        value = self._inst.property(PROPID.NAME)
        if value is None or self.element is None:
            return None if value is None else str(value)
        inst = self._inst
        return element_name(str(value), *self.element, inst.na, inst.nb, inst.a, inst.b)

    @name.setter
    def name(self, value: str | None) -> None:
        if self.element is not None:
            raise ValueError("a copy of an instance array is named after the array")
        if value is None:
            self._inst.delete_property(PROPID.NAME)
        else:
            self._inst.set_property(PROPID.NAME, check_instance_name(value))

    # --- placement --------------------------------------------------------
    @property
    def cell(self) -> DKCell:
        """The placed cell."""
        return DKCell(base=self.parent.kcl.base(self._inst.cell_index))

    @property
    def cell_index(self) -> int:
        """Index of the placed cell."""
        return self._inst.cell_index

    @property
    def trans(self) -> kdb.Trans:
        """Integer placement (the simple part for complex placements)."""
        if self.element is None:
            return self._inst.trans
        return kdb.Trans(self._shift()) * self._inst.trans

    @trans.setter
    def trans(self, value: kdb.Trans) -> None:
        self._check_movable()
        self._inst.trans = value

    @property
    def dcplx_trans(self) -> kdb.DCplxTrans:
        """Placement in micrometres."""
        if self.element is None:
            return self._inst.dcplx_trans
        dbu = self.parent.kcl.dbu
        return kdb.DCplxTrans(self._shift().to_dtype(dbu)) * self._inst.dcplx_trans

    @dcplx_trans.setter
    def dcplx_trans(self, value: kdb.DCplxTrans) -> None:
        self._check_movable()
        self._inst.dcplx_trans = value

    def _check_movable(self) -> None:
        if self.element is not None:
            raise ValueError("a copy of an instance array moves with the array")

    def _placement(self) -> kdb.Trans | kdb.DCplxTrans:
        return self.dcplx_trans if self._inst.is_complex() else self.trans

    def dbbox(self) -> kdb.DBox:
        """Bounding box in the parent's frame, micrometres."""
        if self.element is None:
            return self._inst.dbbox()
        return self.parent.kcl.layout.cell(self._inst.cell_index).dbbox().transformed(self.dcplx_trans)

    def bbox(self) -> kdb.Box:
        """Bounding box in the parent's frame, database units."""
        if self.element is None:
            return self._inst.bbox()
        return self.parent.kcl.layout.cell(self._inst.cell_index).bbox().transformed(self._placement())

    # --- ports ------------------------------------------------------------
    @property
    def ports(self) -> Ports:
        """The placed cell's ports, in the parent's frame."""
        t = self._placement()
        return Ports(p.transformed(t) for p in self.parent.kcl.base(self._inst.cell_index).ports)

    def __getitem__(self, port_name: str) -> Port:
        t = self._placement()
        for p in self.parent.kcl.base(self._inst.cell_index).ports:
            if p.name == port_name:
                return p.transformed(t)
        raise KeyError(port_name)

    def connect(self, port_name: str, other: Port) -> DInstance:
        """Move this instance so that its port `port_name` meets `other`.

        Meeting ports share position, width and layer and face each other.
        """
        self._check_movable()
        local = self.cell.ports[port_name]
        if (
            local.width_dbu != other.width_dbu
            or local.layer_info.layer != other.layer_info.layer
            or (local.layer_info.datatype != other.layer_info.datatype)
        ):
            raise ValueError(
                f"port {port_name!r} ({local.width} µm on {local.layer_info}) cannot meet"
                f" {other.name!r} ({other.width} µm on {other.layer_info})"
            )
        if local.is_manhattan and other.is_manhattan:
            self._inst.trans = other.trans * _R180 * local.trans.inverted()
        else:
            self._inst.dcplx_trans = other.dcplx_trans * _D180 * local.dcplx_trans.inverted()
        return self

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DInstance):
            return NotImplemented
        return self.parent == other.parent and self._inst == other._inst and self.element == other.element

    def __hash__(self) -> int:
        return hash((self.parent, self._inst, self.element))

    # defined last: inside the class body the name would hide the builtin
    def property(self, key: int | str) -> Any:
        """Stored value of a property, or None."""
        return self._inst.property(key)

    def __repr__(self) -> str:
        cell = self.parent.kcl.layout.cell_name(self._inst.cell_index)
        return f"DInstance(name={self.name!r}, cell={cell!r}, trans={self.dcplx_trans})"


Instance = DInstance
"""The same class; instances offer integer and micrometre accessors alike."""


class Instances:
    """The instances of one cell: iterable, sized, indexable by name or position."""

    __slots__ = ("_cell",)

    def __init__(self, cell: ProtoTKCell[Any]) -> None:
        self._cell = cell

    def __iter__(self) -> Iterator[DInstance]:
        cell = self._cell
        return (DInstance(i, cell) for i in cell.kdb_cell.each_inst())

    def __len__(self) -> int:
        return self._cell.kdb_cell.child_instances()

    def _index(self) -> dict[str, kdb.Instance]:
        index: dict[str, kdb.Instance] = {}
        for i in self._cell.kdb_cell.each_inst():
            name = i.property(PROPID.NAME)
            if name is not None:
                index.setdefault(str(name), i)
        return index

    def __getitem__(self, key: str | int) -> DInstance:
        if isinstance(key, int):
            if key < 0:
                key += len(self)
            for n, i in enumerate(self._cell.kdb_cell.each_inst()):
                if n == key:
                    return DInstance(i, self._cell)
            raise IndexError(key)
        # Served from an index kept with the cell's data; a stale or missing
        # entry rebuilds it, so edits made directly through KLayout are seen.
        base = self._cell._base
        cached = base.name_index
        hit = cached.get(key) if cached is not None else None
        if hit is None or not hit.is_valid() or hit.property(PROPID.NAME) != key:
            cached = base.name_index = self._index()
            hit = cached.get(key)
            if hit is None:
                raise KeyError(key)
        return DInstance(hit, self._cell)

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, str):
            return False
        try:
            self[name]
        except KeyError:
            return False
        return True

    def names(self) -> list[str]:
        """Names of the named instances, in placement order."""
        return [n for n in (i.name for i in self) if n is not None]

    def elements(self, every_array: bool = True) -> Iterator[DInstance]:
        """The instances in placement order, instance arrays by their elements;
        without `every_array`, an array without properties (unnamed wiring)
        counts as its first element (see `PortConnectivity.every_array`)."""
        for inst in self:
            if every_array or inst.instance.prop_id:
                yield from inst.elements()
            else:
                yield inst

    def __repr__(self) -> str:
        return f"Instances({self._cell.name!r}, {len(self)})"


# --- files ------------------------------------------------------------------------


def write_layout(
    kcl: KCLayout,
    path: str | Path,
    options: kdb.SaveLayoutOptions | None = None,
    cells: Iterable[int] | None = None,
) -> None:
    """Write the library (or `cells` and what they place) to GDS or OASIS."""
    path = Path(path)
    gds.check_suffix(path)
    for ci, base in list(kcl._bases.items()):
        cell = kcl.layout.cell(ci)
        if cell is not None:
            gds.store_meta(cell, base.ports, base.settings, base.function_name)
    gds.write_file(kcl.layout, path, options, cells, gds.layer_names(kcl.layout, kcl._layer_names))


def port_from_dict(kcl: KCLayout, data: dict[str, Any]) -> Port:
    """The port that `Port.to_dict` describes, on the layers of `kcl`."""
    layer, datatype, name = data["layer"]
    info = kdb.LayerInfo(int(layer), int(datatype), name) if name else kdb.LayerInfo(int(layer), int(datatype))
    idx = kcl.layer(info)
    trans = kdb.Trans.from_s(data["trans"]) if data.get("trans") else None
    dcplx = kdb.DCplxTrans.from_s(data["dcplx_trans"]) if data.get("dcplx_trans") else None
    return Port(
        data["name"],
        width=int(data["width"]),
        layer=idx,
        layer_info=kcl.get_info(idx),
        dbu=kcl.dbu,
        trans=trans,
        dcplx_trans=dcplx,
        port_type=data.get("port_type") or "optical",
    )


def _load_meta(kcl: KCLayout, base: CellBase, path: Path, carried: dict[str, Any]) -> bool:
    """Restore the cell's ports and settings from its meta info, or from what another
    cell carries for it (`carried`); whether it had any."""
    cell = base.kdb_cell
    ports = carried.get(conf.META_PORTS, cell.meta_info_value(conf.META_PORTS))
    if ports:
        try:
            base.ports = [port_from_dict(kcl, d) for d in ports]
        except (KeyError, TypeError, ValueError, RuntimeError) as exc:
            raise ValueError(f"{path}: cell {cell.name!r} has malformed port data: {exc}") from exc
    settings = carried.get(conf.META_SETTINGS, cell.meta_info_value(conf.META_SETTINGS))
    if isinstance(settings, dict):
        base.function_name = settings.get("function")
        base.settings = dict(settings.get("settings") or {})
    return ports is not None or settings is not None


def _register_layer_names(kcl: KCLayout, path: Path, cells: list[kdb.Cell]) -> bool:
    """Register the layer names the file carries: on its top cells, or (written before) on the layout.

    Whether it carries them: every file this library writes does, with its context information."""
    found = gds.take_layer_names(kcl.layout, cells)
    for names in found:
        if not isinstance(names, dict):
            continue
        try:
            kcl.register_layers({n: kdb.LayerInfo(int(v[0]), int(v[1]), n) for n, v in names.items()})
        except (TypeError, ValueError, IndexError) as exc:
            raise ValueError(f"{path}: malformed layer names: {exc}") from exc
    return any(isinstance(names, dict) for names in found)


def read_layout(kcl: KCLayout, path: str | Path, options: kdb.LoadLayoutOptions | None = None) -> list[DKCell]:
    """Read GDS or OASIS into `kcl`; returns the top cells that were read."""
    path = Path(path)
    layout = kcl.layout
    new = gds.read_file(layout, path, options, kcl.name)
    # A file written without context information (re-saved so by another
    # tool) has lost every cell's ports and settings: its cells say so.
    with_context = _register_layer_names(kcl, path, [layout.cell(ci) for ci in new])
    carried = gds.carried_meta(layout, set(new))
    bases = [kcl.base(ci) for ci in new]
    described = [_load_meta(kcl, base, path, carried.get(base.cell_index, {})) for base in bases]
    for base in bases:
        base.ports_known = with_context or any(described)
    new_set = set(new)
    return [DKCell(base=kcl.base(c.cell_index())) for c in layout.top_cells() if c.cell_index() in new_set]


# --- port connectivity ------------------------------------------------------------


class PortConnectivity:
    """Result of `cell.l2n()`: the port connectivity of a cell, as tables and,
    on request, as a KLayout netlist, and the ports that do not meet in pairs."""

    def __init__(
        self, cell: ProtoTKCell[Any], port_types: tuple[str, ...], tables: ConnectivityTables, joints: Joints
    ) -> None:
        self.cell = cell
        self.port_types = port_types
        self.joints = joints
        #: whether arrays without properties were read as their elements (`ConnectivityTables.every_array`)
        self.every_array = tables.every_array
        self.tables: ConnectivityTables | None = tables
        # the netlist is built from these even when a reader drops `tables`
        self._source = tables
        self._top_name = cell.name
        self._netlist: kdb.Netlist | None = None

    def netlist(self) -> kdb.Netlist:
        """The netlist, built on the first call; `top_circuit()` is the circuit of the cell.

        KLayout frees a netlist with its last Python reference, and with it
        every circuit taken from it. The cell keeps the latest netlist built
        for it (until its next `l2n`), so that
        `cell.l2n().netlist().top_circuit()` can be used in one expression.
        """
        if self._netlist is None:
            self._netlist = netlist_from_tables(self._top_name, self.cell.cell_index, self._source)
            self.cell._base.last_netlist = self._netlist
        return self._netlist

    def top_circuit(self) -> kdb.Circuit:
        """The circuit of the cell itself."""
        return self.netlist().circuit_by_name(self.cell.name)


def port_connectivity(cell: ProtoTKCell[Any], port_types: Sequence[str] | str = ("optical",)) -> PortConnectivity:
    """The port connectivity of `cell` (see `cellgrid.l2n`)."""
    types = normalise_port_types(port_types)
    kcl = cell.kcl

    def array_elements(instance: kdb.Instance) -> list[tuple[kdb.DCplxTrans, Any, tuple[int, int]]]:
        """Per element of an instance array: its placement, name (None when unnamed) and (i, j)."""
        named = instance.property(PROPID.NAME) is not None
        return [(e.dcplx_trans, e.name if named else None, e.element) for e in DInstance(instance, cell).elements()]

    def ports_of(cell_index: int) -> list[Port]:
        return kcl.base(cell_index).ports

    tables, joints = match_ports(kcl.layout, cell.kdb_cell, types, ports_of, cell._base.ports, array_elements)
    return PortConnectivity(cell, types, tables, joints)
