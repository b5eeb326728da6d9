"""Reading and writing GDS and OASIS files with ports and instance names.

KLayout writes instance properties (the instance name is property
`PROPID.NAME`) and persisted meta info into both formats. Before writing, each
cell's ports and settings are stored in its meta info (`conf.META_PORTS`,
`conf.META_SETTINGS`) and the layer names (GDS has none) in the meta info of
each written top cell (`conf.META_LAYERS`); reading restores them.

Everything is kept as meta info of cells, never of the layout itself: KLayout
writes a layout's own meta info into GDS as a record that readers before 0.28.8
refuse ("Invalid record inside a context info cell"), while they pass over the
meta info of cells. Files that still carry the layer names as the layout's
meta info are read as well.
"""

from __future__ import annotations

from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import klayout.db as kdb

from . import conf
from .port import Port

if TYPE_CHECKING:
    from .cell import DKCell
    from .layout import CellBase, KCLayout

__all__ = ["write_layout", "read_layout", "plain"]

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
    # The layer names ride on the written top cells, and only while they are
    # written: a cell placed elsewhere later must not carry them along.
    layout.remove_meta_info(conf.META_LAYERS)
    names = kdb.LayoutMetaInfo(conf.META_LAYERS, _layer_names(kcl), None, True)
    for root in roots:
        root.add_meta_info(names)
    try:
        layout.write(str(path), opts)
    finally:
        for root in roots:
            root.remove_meta_info(conf.META_LAYERS)


def _port_from_dict(kcl: KCLayout, data: dict[str, Any]) -> Port:
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


def _load_meta(kcl: KCLayout, base: CellBase, path: Path) -> None:
    cell = base.kdb_cell
    ports = cell.meta_info_value(conf.META_PORTS)
    if ports:
        try:
            base.ports = [_port_from_dict(kcl, d) for d in ports]
        except (KeyError, TypeError, ValueError, RuntimeError) as exc:
            raise ValueError(f"{path}: cell {cell.name!r} has malformed port data: {exc}") from exc
    settings = cell.meta_info_value(conf.META_SETTINGS)
    if isinstance(settings, dict):
        base.function_name = settings.get("function")
        base.settings = dict(settings.get("settings") or {})


def _register_layer_names(kcl: KCLayout, path: Path, cells: list[kdb.Cell]) -> None:
    """Register the layer names the file carries: on its top cells, or (written before) on the layout."""
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
    layout.read(str(path), opts)
    new = [c.cell_index() for c in layout.each_cell() if c.cell_index() not in before]
    _register_layer_names(kcl, path, [layout.cell(ci) for ci in new])
    for ci in new:
        base = kcl.base(ci)
        _load_meta(kcl, base, path)
    new_set = set(new)
    return [DKCell(base=kcl.base(c.cell_index())) for c in layout.top_cells() if c.cell_index() in new_set]
