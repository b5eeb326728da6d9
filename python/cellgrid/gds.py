"""GDS and OASIS files with ports and instance names, at the level of the KLayout layout.

KLayout writes instance properties (the instance name is property
`PROPID.NAME`) and persisted meta info into both formats. Before writing, each
cell's ports and settings are stored in its meta info (`conf.META_PORTS`,
`conf.META_SETTINGS`) and the layer names (GDS has none) in `conf.META_LAYERS`;
reading restores them. The library (`KCLayout.write`, `KCLayout.read` in
`cellgrid.layout`) hands its cells' data over and takes it back; this module
knows where it is kept in the file.

Where they are kept is chosen for KLayout releases before 0.28.8, which
designers still open layouts with:

- never in the layout's own meta info, which such a release refuses in GDS
  ("Invalid record inside a context info cell");
- not in the meta info of a written top cell either, as far as it can be
  helped: such a release reads a cell that carries meta info as a library
  cell it cannot find, and drops it when it saves the layout again if no
  cell places it, as none places a top cell. A top cell's ports and
  settings, and the layer names, ride on the first cell it places instead,
  under keys that name it (`conf.META_PORTS + "@" + name`); only a top cell
  that places nothing keeps them itself.

Files that carry them the earlier ways (on the layout, on the top cells) are
read as well.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

import klayout.db as kdb

from . import conf
from .port import Port

__all__ = [
    "carried_meta",
    "check_suffix",
    "layer_names",
    "plain",
    "read_file",
    "store_meta",
    "take_layer_names",
    "write_file",
]

_SUFFIXES = (".gds", ".gds2", ".gds.gz", ".oas", ".oasis", ".oas.gz")


def check_suffix(path: Path) -> None:
    """Fail unless `path` names a GDS or OASIS file by its suffix."""
    name = path.name.lower()
    if not name.endswith(_SUFFIXES):
        raise ValueError(f"{path}: unknown layout format (use one of {', '.join(_SUFFIXES)})")


def plain(value: Any) -> Any:
    """`value` as texts, numbers, booleans, lists and dicts (others become their text)."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    name = getattr(value, "name", None)
    return name if isinstance(name, str) else str(value)


# --- writing --------------------------------------------------------------------


def store_meta(cell: kdb.Cell, ports: list[Port], settings: dict[str, Any], function_name: str | None) -> None:
    """A cell's ports, and the settings and function it was built with, into its meta info."""
    if ports:
        value = [p.to_dict() for p in ports]
        cell.add_meta_info(kdb.LayoutMetaInfo(conf.META_PORTS, value, None, True))
    elif cell.meta_info(conf.META_PORTS) is not None:
        cell.remove_meta_info(conf.META_PORTS)
    if settings or function_name:
        value = {"function": function_name, "settings": plain(settings)}
        cell.add_meta_info(kdb.LayoutMetaInfo(conf.META_SETTINGS, value, None, True))


def layer_names(layout: kdb.Layout, registered: Mapping[str, kdb.LayerInfo]) -> dict[str, list[int]]:
    """Layer name -> [layer, datatype] of every named layer of `layout` and every `registered` one."""
    names = {li.name: [li.layer, li.datatype] for li in (layout.get_info(i) for i in layout.layer_indexes()) if li.name}
    names.update({n: [li.layer, li.datatype] for n, li in registered.items()})
    return names


def write_file(
    layout: kdb.Layout,
    path: Path,
    options: kdb.SaveLayoutOptions | None,
    cells: Iterable[int] | None,
    names: dict[str, list[int]],
) -> None:
    """Write `layout` (or `cells` and what they place), its cells' meta info stored
    already, with the layer `names`, to the GDS or OASIS file `path`."""
    opts = kdb.SaveLayoutOptions() if options is None else options
    opts.set_format_from_filename(str(path))
    opts.write_context_info = True
    roots = [layout.cell(ci) for ci in cells] if cells is not None else list(layout.top_cells())
    if cells is not None:
        opts.clear_cells()
        for ci in cells:
            opts.add_cell(ci)
    layout.remove_meta_info(conf.META_LAYERS)
    # Only while the file is written: a cell placed elsewhere later must not carry them along.
    moved = _carried_by_first_children(layout, roots, names)
    try:
        layout.write(str(path), opts)
    finally:
        for cell, key, value in reversed(moved):
            cell.remove_meta_info(key)
            if value is not None:
                cell.add_meta_info(kdb.LayoutMetaInfo(key, value, None, True))


def _carried_by_first_children(
    layout: kdb.Layout, roots: list[kdb.Cell], names: dict[str, list[int]]
) -> list[tuple[kdb.Cell, str, Any]]:
    """Move each top cell's ports and settings, and the layer names, onto the first cell it
    places (see the module text); what to undo: (cell, key, the value it had or None)."""
    undo: list[tuple[kdb.Cell, str, Any]] = []

    def put(cell: kdb.Cell, key: str, value: Any) -> None:
        undo.append((cell, key, cell.meta_info_value(key) if cell.meta_info(key) is not None else None))
        cell.add_meta_info(kdb.LayoutMetaInfo(key, value, None, True))

    for root in roots:
        carrier = next((layout.cell(inst.cell_index) for inst in root.each_inst()), None)
        if carrier is None:
            put(root, conf.META_LAYERS, names)
            continue
        put(carrier, conf.META_LAYERS, names)
        for key in (conf.META_PORTS, conf.META_SETTINGS):
            if root.meta_info(key) is not None:
                value = root.meta_info_value(key)
                undo.append((root, key, value))
                root.remove_meta_info(key)
                put(carrier, f"{key}@{root.name}", value)
    return undo


# --- reading --------------------------------------------------------------------


def read_file(layout: kdb.Layout, path: Path, options: kdb.LoadLayoutOptions | None, library: str) -> list[int]:
    """Read the GDS or OASIS file `path` into `layout` (of the library named `library`);
    the indices of the cells read. Cells whose names exist already are read under new names."""
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such layout file")
    before = {c.cell_index() for c in layout.each_cell()}
    opts = kdb.LoadLayoutOptions() if options is None else options
    opts.cell_conflict_resolution = kdb.LoadLayoutOptions.CellConflictResolution.RenameCell
    if before:
        # KLayout adopts the file's database unit without scaling what the
        # layout already holds: refuse a file whose unit differs.
        probe = kdb.Layout()
        probe.read(str(path), opts)
        if abs(probe.dbu - layout.dbu) > 1e-12:
            raise ValueError(
                f"{path}: database unit {probe.dbu} differs from library {library!r} ({layout.dbu});"
                " read it into an empty library"
            )
    layout.remove_meta_info(conf.META_LAYERS)
    library_dbu = layout.dbu
    layout.read(str(path), opts)
    new = [c.cell_index() for c in layout.each_cell() if c.cell_index() not in before]
    if not (math.isfinite(layout.dbu) and layout.dbu > 0):
        # every placement in micrometres is scaled by the unit: none can be made
        unit = layout.dbu
        layout.delete_cells(new)
        layout.dbu = library_dbu
        raise ValueError(f"its database unit is {unit:g} µm; a unit must be a positive length")
    return new


def take_layer_names(layout: kdb.Layout, cells: list[kdb.Cell]) -> list[Any]:
    """The layer names a file read into `layout` carries, taken off its top `cells`
    or (written before) off the layout: each value as it was kept, None where there was none."""
    found = [layout.meta_info_value(conf.META_LAYERS)]
    layout.remove_meta_info(conf.META_LAYERS)
    for cell in cells:
        if cell.meta_info(conf.META_LAYERS) is not None:
            found.append(cell.meta_info_value(conf.META_LAYERS))
            cell.remove_meta_info(conf.META_LAYERS)
    return found


def carried_meta(layout: kdb.Layout, new: set[int]) -> dict[int, dict[str, Any]]:
    """Cell index -> its ports and settings that the first cell it places carries for it.

    The carrier names its owner; the owner is the cell placing it of that name
    (or of that name made unique, as reading into a library that has it does)."""
    found: dict[int, dict[str, Any]] = {}
    for ci in new:
        carrier = layout.cell(ci)
        for meta in list(carrier.each_meta_info()):
            key, _, owner = meta.name.partition("@")
            if not owner or key not in (conf.META_PORTS, conf.META_SETTINGS):
                continue
            for parent_index in carrier.each_parent_cell():
                name = layout.cell_name(parent_index)
                if parent_index in new and (name == owner or name.startswith(owner + "$")):
                    found.setdefault(parent_index, {})[key] = meta.value
            carrier.remove_meta_info(meta.name)
    return found
