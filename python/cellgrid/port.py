"""Ports: named, oriented connection points of a cell.

A port sits at a point of a cell and faces outwards along its orientation. It
is kept in database units: an integer placement (`kdb.Trans`, on the grid) for
ports facing a multiple of 90 degrees, and a micrometre placement
(`kdb.DCplxTrans`) only for the others (for example the end of a 45-degree
bend). Widths are kept
as integer database units and reported in micrometres.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any

import klayout.db as kdb

__all__ = ["Port", "Ports", "PortCrossSection", "to_dbu"]

_R180 = kdb.Trans(2, False, 0, 0)
_EPS = 1e-9


def to_dbu(value: float, dbu: float, what: str = "value") -> int:
    """Return `value` (micrometres) in database units; fail when it is off the grid."""
    n = round(value / dbu)
    if abs(n * dbu - value) > max(_EPS, dbu * 1e-6):
        raise ValueError(f"{what} {value!r} is not a multiple of the database unit {dbu}")
    return n


@dataclass(frozen=True)
class PortCrossSection:
    """The profile a port expects from what connects to it: width (µm) and layer."""

    width: float
    layer: kdb.LayerInfo


def _manhattan(t: kdb.DCplxTrans, dbu: float) -> kdb.Trans | None:
    """The integer placement of `t` when it faces a multiple of 90 degrees, else None.

    The position is rounded to the grid: instances sit on the grid, so a port
    reached through angled pieces may be a fraction of a database unit off.
    """
    if abs(t.mag - 1.0) > _EPS:
        return None
    quarter = t.angle / 90.0
    rot = round(quarter)
    if abs(quarter - rot) > 1e-9:
        return None
    return kdb.Trans(rot % 4, False, round(t.disp.x / dbu), round(t.disp.y / dbu))


class Port:
    """A named, oriented connection point with a width, a layer and a type.

    Build ports with `cell.create_port(...)`; instance ports (`inst["o1"]`) are
    copies transformed into the parent cell's frame.
    """

    __slots__ = ("name", "port_type", "layer_info", "layer", "dbu", "_trans", "_dcplx", "_width")

    def __init__(
        self,
        name: str | None,
        *,
        width: int,
        layer: int,
        layer_info: kdb.LayerInfo,
        dbu: float,
        trans: kdb.Trans | None = None,
        dcplx_trans: kdb.DCplxTrans | None = None,
        port_type: str = "optical",
    ) -> None:
        """Create a port; `width` is in database units, exactly one placement is given."""
        if (trans is None) == (dcplx_trans is None):
            raise ValueError("a port needs exactly one of trans (dbu) or dcplx_trans (µm)")
        if width <= 0:
            raise ValueError(f"port {name!r}: width must be positive, got {width * dbu} µm")
        if not isinstance(port_type, str) or not port_type:
            raise ValueError(f"port {name!r}: port_type must be a non-empty text")
        self.name = name
        self.port_type = port_type
        self.layer_info = layer_info
        self.layer = layer
        self.dbu = dbu
        self._width = int(width)
        if trans is None:
            assert dcplx_trans is not None
            trans = _manhattan(dcplx_trans, dbu)
            self._dcplx = None if trans is not None else kdb.DCplxTrans(dcplx_trans)
            if trans is None:
                s = dcplx_trans.s_trans()
                trans = kdb.Trans(s.rot, s.is_mirror(), round(s.disp.x / dbu), round(s.disp.y / dbu))
        else:
            self._dcplx = None
        if trans.is_mirror():
            # A port is a point and a direction: a mirrored placement faces
            # where the same rotation without the mirror faces (KLayout numbers
            # mirrored rotations 4 to 7), so it meets ports exactly as that does.
            trans = kdb.Trans(trans.rot % 4, False, trans.disp.x, trans.disp.y)
        self._trans = kdb.Trans(trans)

    # --- placement -------------------------------------------------------
    @property
    def trans(self) -> kdb.Trans:
        """Integer placement in database units (rounded for angled ports)."""
        return kdb.Trans(self._trans)

    @property
    def dcplx_trans(self) -> kdb.DCplxTrans:
        """Placement in micrometres."""
        if self._dcplx is not None:
            return kdb.DCplxTrans(self._dcplx)
        return kdb.DCplxTrans(self._trans.to_dtype(self.dbu))

    @property
    def is_manhattan(self) -> bool:
        """True when the port is on the grid and faces a multiple of 90 degrees."""
        return self._dcplx is None

    @property
    def x(self) -> float:
        """x of the port's reference point, µm."""
        return self.center[0]

    @property
    def y(self) -> float:
        """y of the port's reference point, µm."""
        return self.center[1]

    @property
    def center(self) -> tuple[float, float]:
        """Reference point (x, y) in micrometres."""
        if self._dcplx is not None:
            return (round(self._dcplx.disp.x, 9), round(self._dcplx.disp.y, 9))
        d = self._trans.disp
        return (round(d.x * self.dbu, 9), round(d.y * self.dbu, 9))

    @property
    def orientation(self) -> float:
        """Direction the port faces, degrees counter-clockwise from +x, in [0, 360)."""
        if self._dcplx is not None:
            return self._dcplx.angle % 360.0
        return float(self._trans.rot * 90)

    @property
    def width(self) -> float:
        """Width in micrometres."""
        return round(self._width * self.dbu, 9)

    @property
    def width_dbu(self) -> int:
        """Width in database units."""
        return self._width

    @property
    def cross_section(self) -> PortCrossSection:
        """Width and layer that a matching waveguide or wire must have."""
        return PortCrossSection(self.width, self.layer_info)

    # --- derived ports ----------------------------------------------------
    def copy(self, name: str | None = None, port_type: str | None = None) -> Port:
        """A copy, optionally renamed or retyped."""
        return Port(
            self.name if name is None else name,
            width=self._width,
            layer=self.layer,
            layer_info=self.layer_info,
            dbu=self.dbu,
            trans=self._trans if self._dcplx is None else None,
            dcplx_trans=self._dcplx,
            port_type=self.port_type if port_type is None else port_type,
        )

    def transformed(self, trans: kdb.Trans | kdb.DCplxTrans) -> Port:
        """This port moved by a placement (`kdb.Trans` in dbu or `kdb.DCplxTrans` in µm)."""
        width = self._width
        if isinstance(trans, kdb.Trans) and self._dcplx is None:
            return Port(
                self.name,
                width=width,
                layer=self.layer,
                layer_info=self.layer_info,
                dbu=self.dbu,
                trans=trans * self._trans,
                port_type=self.port_type,
            )
        if isinstance(trans, kdb.Trans):
            trans = kdb.DCplxTrans(trans.to_dtype(self.dbu))
        if abs(trans.mag - 1.0) > _EPS:
            width = round(width * trans.mag)
        return Port(
            self.name,
            width=width,
            layer=self.layer,
            layer_info=self.layer_info,
            dbu=self.dbu,
            dcplx_trans=trans * self.dcplx_trans,
            port_type=self.port_type,
        )

    def flipped(self) -> Port:
        """The port at the same place facing the opposite way (the one that meets this)."""
        if self._dcplx is None:
            return Port(
                self.name,
                width=self._width,
                layer=self.layer,
                layer_info=self.layer_info,
                dbu=self.dbu,
                trans=self._trans * _R180,
                port_type=self.port_type,
            )
        return Port(
            self.name,
            width=self._width,
            layer=self.layer,
            layer_info=self.layer_info,
            dbu=self.dbu,
            dcplx_trans=self._dcplx * kdb.DCplxTrans(1, 180, False, 0, 0),
            port_type=self.port_type,
        )

    # --- matching -------------------------------------------------------
    def position_key(self) -> tuple[int, int, int, int]:
        """(x, y, layer, width) in database units: ports that may meet share it."""
        if self._dcplx is None:
            d = self._trans.disp
            return (d.x, d.y, self.layer, self._width)
        d = self._dcplx.disp
        return (round(d.x / self.dbu), round(d.y / self.dbu), self.layer, self._width)

    def angle_key(self) -> int:
        """Orientation in millidegrees, in [0, 360000)."""
        if self._dcplx is None:
            return self._trans.rot * 90000
        return round(self._dcplx.angle * 1000) % 360000

    def meets(self, other: Port) -> bool:
        """True when `other` connects to this port: same place, layer and width, facing it."""
        return self.position_key() == other.position_key() and (self.angle_key() - other.angle_key()) % 360000 == 180000

    # --- persistence ----------------------------------------------------
    def to_dict(self) -> dict[str, Any]:
        """Plain data for the layout's meta info (only texts, numbers and lists)."""
        li = self.layer_info
        return {
            "name": self.name,
            "port_type": self.port_type,
            "width": self._width,
            "layer": [li.layer, li.datatype, li.name],
            "trans": str(self._trans) if self._dcplx is None else None,
            "dcplx_trans": str(self._dcplx) if self._dcplx is not None else None,
        }

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Port):
            return NotImplemented
        return (
            self.name == other.name
            and self.port_type == other.port_type
            and self.layer_info == other.layer_info
            and self._width == other._width
            and self._trans == other._trans
            and self._dcplx == other._dcplx
        )

    def __hash__(self) -> int:
        return hash((self.name, self.position_key(), self.angle_key()))

    def __repr__(self) -> str:
        x, y = self.center
        return (
            f"Port({self.name!r}, center=({x:g}, {y:g}), orientation={self.orientation:g},"
            f" width={self.width:g}, layer={self.layer_info}, port_type={self.port_type!r})"
        )


class Ports:
    """Read-only view of a sequence of ports, indexable by port name or position."""

    __slots__ = ("_ports",)

    def __init__(self, ports: Iterable[Port]) -> None:
        self._ports = list(ports)

    def __iter__(self) -> Iterator[Port]:
        return iter(self._ports)

    def __len__(self) -> int:
        return len(self._ports)

    def __getitem__(self, key: str | int) -> Port:
        if isinstance(key, int):
            return self._ports[key]
        for p in self._ports:
            if p.name == key:
                return p
        raise KeyError(key)

    def __contains__(self, item: object) -> bool:
        if isinstance(item, Port):
            return item in self._ports
        return any(p.name == item for p in self._ports)

    def get(self, name: str, default: Port | None = None) -> Port | None:
        """The port called `name`, or `default`."""
        try:
            return self[name]
        except KeyError:
            return default

    def names(self) -> list[str]:
        """Port names in order."""
        return [p.name for p in self._ports if p.name is not None]

    def filter(self, port_type: str | None = None, orientation: float | None = None) -> list[Port]:
        """The ports of a type and/or facing a direction (degrees)."""
        out = self._ports
        if port_type is not None:
            out = [p for p in out if p.port_type == port_type]
        if orientation is not None:
            want = round(orientation * 1000) % 360000
            out = [p for p in out if p.angle_key() == want]
        return list(out)

    def __repr__(self) -> str:
        return f"Ports({self.names()})"
