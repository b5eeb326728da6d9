"""Cells: wrappers over a library cell with ports, instances and shapes.

Any number of wrappers may exist for one cell; they share the cell's data
(`_base`) and compare equal. `KCell` and `DKCell` differ only in the units their
documentation speaks of: both accept integer (`kdb.Trans`, dbu) and micrometre
(`kdb.DCplxTrans`) placements.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generic, TypeVar

import klayout.db as kdb

from . import layout as _layout
from .instance import DInstance, Instances, check_instance_name
from .layout import CellBase, KCLayout, LayerIdent
from .port import Port, Ports, to_dbu

if TYPE_CHECKING:
    from .l2n import PortConnectivity

__all__ = ["ProtoTKCell", "KCell", "DKCell"]

T = TypeVar("T", int, float)

Placement = kdb.Trans | kdb.ICplxTrans | kdb.DTrans | kdb.DCplxTrans | None


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
        lib = _layout.kcl if kcl is None else kcl
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
        from .l2n import port_connectivity

        # The netlist is built only when the result is asked for it; the one
        # the cell kept from an earlier result goes now (a caller still
        # holding that result keeps it), so the cell holds none after this.
        self._base.last_netlist = None
        return port_connectivity(self, port_types)

    def write(self, path: str, **kwargs: Any) -> None:
        """Write this cell and everything below it to GDS or OASIS."""
        from .gds import write_layout

        write_layout(self.kcl, path, cells=[self.cell_index], **kwargs)


class KCell(ProtoTKCell[int]):
    """A cell whose placements and sizes are usually given in database units."""

    __slots__ = ()


class DKCell(ProtoTKCell[float]):
    """A cell whose placements and sizes are usually given in micrometres."""

    __slots__ = ()
