"""Reading and writing GDS and OASIS files with ports and instance names.

KLayout writes instance properties (the instance name is property
`PROPID.NAME`) and persisted meta info into both formats. Before writing, each
cell's ports and settings are stored in its meta info (`conf.META_PORTS`,
`conf.META_SETTINGS`) and the layer names (GDS has none) in `conf.META_LAYERS`;
reading restores them.

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
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import klayout.db as kdb

from . import conf
from .port import Port

if TYPE_CHECKING:
    from .cell import DKCell
    from .layout import CellBase, KCLayout

__all__ = ["write_layout", "read_layout", "plain", "port_from_dict"]

_SUFFIXES = (".gds", ".gds2", ".gds.gz", ".oas", ".oasis", ".oas.gz")


def _check_suffix(path: Path) -> None:
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


def _store_meta(kcl: KCLayout) -> None:
    """Each cell's ports and settings into its meta info."""
    layout = kcl.layout
    for ci, base in list(kcl._bases.items()):
        cell = layout.cell(ci)
        if cell is None:
            continue
        if base.ports:
            value = [p.to_dict() for p in base.ports]
            cell.add_meta_info(kdb.LayoutMetaInfo(conf.META_PORTS, value, None, True))
        elif cell.meta_info(conf.META_PORTS) is not None:
            cell.remove_meta_info(conf.META_PORTS)
        if base.settings or base.function_name:
            value = {"function": base.function_name, "settings": plain(base.settings)}
            cell.add_meta_info(kdb.LayoutMetaInfo(conf.META_SETTINGS, value, None, True))


def _layer_names(kcl: KCLayout) -> dict[str, list[int]]:
    """Layer name -> [layer, datatype] of every named layer of the library."""
    layout = kcl.layout
    names = {li.name: [li.layer, li.datatype] for li in (layout.get_info(i) for i in layout.layer_indexes()) if li.name}
    names.update({n: [li.layer, li.datatype] for n, li in kcl._layer_names.items()})
    return names


def write_layout(
    kcl: KCLayout,
    path: str | Path,
    options: kdb.SaveLayoutOptions | None = None,
    cells: Iterable[int] | None = None,
) -> None:
    """Write the library (or `cells` and what they place) to GDS or OASIS."""
    path = Path(path)
    _check_suffix(path)
    _store_meta(kcl)
    layout = kcl.layout
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
    moved = _carried_by_first_children(layout, roots, _layer_names(kcl))
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


def _carried_meta(layout: kdb.Layout, new: set[int]) -> dict[int, dict[str, Any]]:
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
    layout = kcl.layout
    found = [layout.meta_info_value(conf.META_LAYERS)]
    layout.remove_meta_info(conf.META_LAYERS)
    for cell in cells:
        if cell.meta_info(conf.META_LAYERS) is not None:
            found.append(cell.meta_info_value(conf.META_LAYERS))
            cell.remove_meta_info(conf.META_LAYERS)
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
    from .cell import DKCell

    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such layout file")
    layout = kcl.layout
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
                f"{path}: database unit {probe.dbu} differs from library {kcl.name!r} ({layout.dbu});"
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
    # A file written without context information (re-saved so by another
    # tool) has lost every cell's ports and settings: its cells say so.
    with_context = _register_layer_names(kcl, path, [layout.cell(ci) for ci in new])
    carried = _carried_meta(layout, set(new))
    bases = [kcl.base(ci) for ci in new]
    described = [_load_meta(kcl, base, path, carried.get(base.cell_index, {})) for base in bases]
    for base in bases:
        base.ports_known = with_context or any(described)
    new_set = set(new)
    return [DKCell(base=kcl.base(c.cell_index())) for c in layout.top_cells() if c.cell_index() in new_set]
