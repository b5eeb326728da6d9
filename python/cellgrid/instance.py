"""Instances: placements of a cell inside another cell, optionally named.

An instance's name is stored as the GDS property `PROPID.NAME`, so it survives
GDS and OASIS files. Instances without a name are plain wiring (for example
the waveguides a router draws).

A KLayout instance may be a regular array: `na` by `nb` copies of its cell,
the copy (i, j) displaced by i times the vector `a` and j times `b` from the
first. `DInstance.elements()` gives each copy as an instance of its own,
placed where it is, with its own ports and box. The copies of a named array
are named after it by `element_name`, by where they are: `gc[0]`, `gc[1]`,
... when the array has one row or one column, counted from its west end (its
south end for a column), and `gc[i][j]` otherwise, `i` counted from west to
east along the vector nearer the x axis, `j` from south to north along the
other. The names do not depend on which vector is `a` or which copy is the
first: a GDS file stores an array its own way, and KLayout may read it back
with the vectors swapped or reversed.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import klayout.db as kdb

from .conf import PROPID
from .port import Port, Ports

if TYPE_CHECKING:
    from .cell import DKCell, ProtoTKCell

__all__ = ["DInstance", "Instance", "Instances", "check_instance_name", "element_name"]

_R180 = kdb.Trans(2, False, 0, 0)
_D180 = kdb.DCplxTrans(1, 180, False, 0, 0)


def check_instance_name(name: object) -> str:
    """Return `name` if it can name an instance, else fail with a clear error."""
    if not isinstance(name, str):
        raise TypeError(f"an instance name must be a text, got {type(name).__name__}")
    if "," in name:
        raise ValueError(f"instance name {name!r} must not contain ',' (it separates instance and port)")
    return name


def element_name(
    name: str, i: int, j: int, na: int, nb: int, a: kdb.Vector | None = None, b: kdb.Vector | None = None
) -> str:
    """The name of the copy (i, j) of an array named `name` of `na` by `nb` copies, the
    copy (i, j) displaced by i times `a` and j times `b` from the first (see the module
    documentation). Without the vectors, `i` and `j` are taken as counted already."""
    i, j = _counted(i, na, a), _counted(j, nb, b)
    if na == 1 or nb == 1:
        return f"{name}[{i if nb == 1 else j}]"
    if a is not None and b is not None and _nearer_the_x_axis(b, a):
        i, j = j, i
    return f"{name}[{i}][{j}]"


def _eastward(v: kdb.Vector) -> kdb.Vector:
    """`v` or its reverse, whichever points east (north when it points neither east nor west)."""
    return v if v.x > 0 or (v.x == 0 and v.y > 0) else -v


def _counted(k: int, n: int, v: kdb.Vector | None) -> int:
    """The index `k` of `n` copies `v` apart, counted from the west (or south) end."""
    return k if v is None or _eastward(v) == v else n - 1 - k


def _nearer_the_x_axis(u: kdb.Vector, v: kdb.Vector) -> bool:
    """Whether the line of `u` lies nearer the x axis than that of `v` (at equal angles, below it)."""
    eu, ev = _eastward(u), _eastward(v)
    au, av = math.atan2(eu.y, eu.x), math.atan2(ev.y, ev.x)
    return (abs(au), au) < (abs(av), av)


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
        from .cell import DKCell

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
        if local.width_dbu != other.width_dbu or local.layer_info.layer != other.layer_info.layer or (
            local.layer_info.datatype != other.layer_info.datatype
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
