"""Cells, instances and ports over KLayout layouts.

`cellgrid` wraps `klayout.db` (re-exported as `kdb`) with what photonic layout
needs on top of geometry: named instances, ports that meet, cells built once
per settings, and files that keep all of it.

    import cellgrid as cg

    c = cg.DKCell("top")
    a = c.create_inst(cg.kcl.dkcells["straight"], cg.kdb.DCplxTrans(1, 0, False, 0, 0), name="s1")
    a["o2"]          # the port o2 of s1, in the frame of c
"""

from __future__ import annotations

import klayout.db as kdb

from . import conf
from .l2n import ConnectivityTables, JointPort, Joints
from .layout import (
    CellBase,
    CellMapping,
    DInstance,
    DKCell,
    Instance,
    Instances,
    KCell,
    KCLayout,
    LayerIdent,
    PortConnectivity,
    ProtoTKCell,
    kcl,
    port_connectivity,
)
from .naming import element_name
from .port import Port, PortCrossSection, Ports, to_dbu

__all__ = [
    "kdb",
    "conf",
    "KCLayout",
    "kcl",
    "CellBase",
    "CellMapping",
    "LayerIdent",
    "ProtoTKCell",
    "KCell",
    "DKCell",
    "DInstance",
    "Instance",
    "Instances",
    "element_name",
    "Port",
    "Ports",
    "PortCrossSection",
    "ConnectivityTables",
    "JointPort",
    "Joints",
    "PortConnectivity",
    "port_connectivity",
    "to_dbu",
]
