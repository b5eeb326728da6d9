"""The kit's build cache: per component, its GDS, its cached ports file and its symbol.

For every component of the project's kit, built with its default settings,
:func:`build_kit_cache` writes below the project directory:

- ``build/gds/pdk/ports/<component>.json``: the cached ports file the editor's
  ports routes read (format in :mod:`quillon.cli.tree`). Each port sits on the
  side its direction faces (180 degrees west, 90 north, 0 east, 270 south;
  other angles go to the nearest side); the sides come in the order w, n, e, s,
  and along a side the ports come by rising position (y on the west and east
  sides, x on the north and south sides), the order of the "index" the
  extended ports route gives them;
- ``build/gds/pdk/<component>.gds``: the component's layout, ports included;
- ``build/svg/<component>.svg``: its symbol, where neither the kit nor the
  package ships one, drawn as the editor's symbol route would draw it (and,
  like that route, not for outlines of more than four polygons).

The build is incremental: ``build/gds/pdk/hashes.json`` keeps a content hash
of the kit package's files and, per component, one of its own source file
(which may lie outside the kit); a component is built again when either
changed. When nothing changed the kit is not imported at all. A component
that fails to build is reported in one line and left out; the others are
still built.

Every file of the cache is read, written and removed through the project's
confined files (:mod:`quillon.files`): nothing outside the project is reached,
whatever links its ``build`` directory holds, only regular files are read, and
files are replaced atomically. Component names read from ``hashes.json`` are
used only when each is one plain file name (:func:`quillon.files.plain_name`),
and stale entries are removed only inside the cache directory.
"""

from __future__ import annotations

import json
import os
import tempfile
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from quillon import files
from quillon.build.hashes import CACHE_FORMAT, kit_fingerprint, source_hash

__all__ = [
    "CACHE_FORMAT",
    "KitCacheReport",
    "build_kit_cache",
    "build_quietly",
    "cache_dir",
    "kit_fingerprint",
    "port_sides",
    "ports_file",
]

#: Symbols above this many outline polygons are left to the empty symbol, as the route does.
MAX_SYMBOL_POLYGONS = 4
SYMBOL_SIZE = 80

#: The cache directory and its files, relative to the project directory.
CACHE = "build/gds/pdk"
HASHES = f"{CACHE}/hashes.json"
SYMBOLS = "build/svg"

#: (completed, total, component) after each component.
Progress = Callable[[int, int, str], None]


@dataclass
class KitCacheReport:
    """What one build did: components built, left as they were, and failed (with why),
    and one line per stale cache file that was left in place (with why)."""

    kit: str
    built: list[str] = field(default_factory=list)
    unchanged: list[str] = field(default_factory=list)
    failed: dict[str, str] = field(default_factory=dict)
    kept: list[str] = field(default_factory=list)


def cache_dir(project_dir: Path) -> Path:
    """Where the kit's components are cached: ``<project>/build/gds/pdk``."""
    return Path(project_dir) / "build" / "gds" / "pdk"


def ports_file(project_dir: Path, component: str) -> Path:
    """The cached ports file of a component, the first one the ports routes look for."""
    return cache_dir(project_dir) / "ports" / f"{component}.json"


def side_of(orientation: float) -> str:
    """The side a port facing `orientation` degrees sits on: the nearest of e, n, w, s."""
    return "enws"[round((orientation % 360.0) / 90.0) % 4]


def port_sides(ports: Iterable[Any]) -> dict[str, str]:
    """Port name -> side letter, sides in the order w, n, e, s, by rising position along each."""
    placed = []
    for order, port in enumerate(ports):
        side = side_of(port.orientation)
        x, y = port.center
        placed.append(("wnes".index(side), y if side in "we" else x, order, port.name, side))
    return {name: side for *_, name, side in sorted(placed)}


def build_kit_cache(project_dir: Path, progress: Progress | None = None, force: bool = False) -> KitCacheReport:
    """Build what changed of the kit cache of the project in `project_dir`.

    The project's settings name the kit; unusable settings or a kit that cannot
    be activated raise their ValueError. `force` builds every component. When
    neither the kit's files nor the components' source files changed since the
    last build, and nothing failed then, the kit is not even imported.
    """
    from quillon.settings import get_settings

    project_dir = Path(os.path.abspath(project_dir))
    kit_name = get_settings(project_dir).pdk.name
    state = _read_state(project_dir, kit_name)
    old = {} if force else state
    kit_hash = kit_fingerprint(kit_name)
    unchanged = _unchanged(project_dir, old, kit_hash)
    if unchanged is not None:
        report = KitCacheReport(kit_name, unchanged=unchanged)
        if progress is not None:
            progress(len(unchanged), len(unchanged), "")
        return report

    from quillon.core.shared import activate_pdk_by_name, get_cell_path

    kit = activate_pdk_by_name(kit_name)
    report = KitCacheReport(kit_name)
    before: dict[str, Any] = old.get("components", {}) if old.get("kit_hash") == kit_hash else {}
    components: dict[str, Any] = {}
    names = list(kit.cells)
    try:
        with tempfile.TemporaryDirectory(prefix="quillon-kit-") as private:
            for done, name in enumerate(names, 1):
                source = get_cell_path(kit.cells[name])
                entry = {"source": source, "hash": source_hash(source)}
                if before.get(name) == entry and _cached(project_dir, name):
                    report.unchanged.append(name)
                    components[name] = entry
                else:
                    problem = _build_component(project_dir, Path(private), kit, kit_name, name)
                    if problem is None:
                        report.built.append(name)
                        components[name] = entry
                    else:
                        report.failed[name] = problem
                if progress is not None:
                    progress(done, len(names), name)
    finally:
        recorded = {
            "format": CACHE_FORMAT,
            "kit": kit_name,
            "kit_hash": kit_hash,
            "components": components,
            "failed": sorted(report.failed),
        }
        _write_json(project_dir, HASHES, recorded)
    # What the last build cached that the kit no longer has (with force too).
    report.kept = _remove_stale(project_dir, set(state.get("components") or {}) - set(names))
    return report


def _unchanged(project_dir: Path, state: dict[str, Any], kit_hash: str) -> list[str] | None:
    """The components when nothing changed since the build that left `state`, else None."""
    components = state.get("components")
    if state.get("kit_hash") != kit_hash or state.get("failed") or not isinstance(components, dict) or not components:
        return None
    for name, entry in components.items():
        if source_hash(entry.get("source")) != entry.get("hash") or not _cached(project_dir, name):
            return None
    return list(components)


def build_quietly(project_dir: Path) -> None:
    """The incremental build at the start of the editor service, kit cache and netlist
    schemas: silent unless something fails."""
    from quillon.logger import logger

    from quillon.build.schemas import write_project_schemas

    try:
        report = build_kit_cache(project_dir)
    except (ValueError, OSError, ImportError) as exc:
        logger.warning("the kit cache was not built: %s", _first_line(exc))
        return
    for name, problem in report.failed.items():
        logger.warning("component %s of kit %s was not built: %s", name, report.kit, problem)
    for line in report.kept:
        logger.warning("kit cache: %s", line)
    try:
        write_project_schemas(project_dir)
    except (ValueError, OSError, ImportError) as exc:
        logger.warning("the netlist schemas were not written: %s", _first_line(exc))


# --- one component ------------------------------------------------------------


def _build_component(project_dir: Path, private: Path, kit: Any, kit_name: str, name: str) -> str | None:
    """Build one component into the cache; the one-line reason when it fails.

    The layout is written in the private directory `private` first, then
    copied into the cache through the confined files.
    """
    if not files.plain_name(name):
        return f"the name {name!r} cannot name a file of the cache"
    try:
        component = kit.get_component(name)
        sides = port_sides(component.ports)
        layout = private / f"{name}.gds"
        component.write(str(layout))
        files.write_file(project_dir, f"{CACHE}/{name}.gds", layout.read_bytes())
        layout.unlink()
        from quillon.cli.tree import CachedPortsError, merged_cached_ports

        path = f"{CACHE}/ports/{name}.json"
        try:
            content = merged_cached_ports(_read(project_dir, path), name, sides)
        except CachedPortsError:  # a damaged file: it holds this component only
            content = merged_cached_ports(None, name, sides)
        files.write_file(project_dir, path, content)
        _write_symbol(project_dir, kit_name, name, component)
    except Exception as exc:  # a kit's cell function may fail in any way
        return _first_line(exc)
    return None


def _write_symbol(project_dir: Path, kit_name: str, name: str, component: Any) -> None:
    """The symbol the editor would generate, unless the kit or the package ships one."""
    import importlib

    from quillon.generate_svg import _generate_multipolygon, generate_svg

    module = importlib.import_module(kit_name)
    shipped = []
    if module is not None and getattr(module, "__file__", None):
        shipped.append(Path(module.__file__).resolve().parent / "svg" / f"{name}.svg")
    shipped.append(Path(__file__).resolve().parents[1] / "assets" / "_svg" / f"{name}.svg")
    if any(path.exists() for path in shipped):
        return
    if len(_generate_multipolygon(component).geoms) > MAX_SYMBOL_POLYGONS:
        files.remove_file(project_dir, f"{name}.svg", below=SYMBOLS)
        return
    text = generate_svg(component, SYMBOL_SIZE, SYMBOL_SIZE)
    files.write_file(project_dir, f"{SYMBOLS}/{name}.svg", text.encode("utf-8"))


def _cached(project_dir: Path, name: str) -> bool:
    return files.is_file(project_dir, f"{CACHE}/ports/{name}.json") and files.is_file(
        project_dir, f"{CACHE}/{name}.gds"
    )


def _remove_stale(project_dir: Path, names: set[str]) -> list[str]:
    """Drop the cache files of components the kit no longer has, inside the cache
    directory only; one line per file left in place."""
    kept = []
    for name in sorted(names):
        for path in (f"ports/{name}.json", f"{name}.gds"):
            try:
                files.remove_file(project_dir, path, below=CACHE)
            except PermissionError:
                kept.append(f"{CACHE}/{path} was left in place: it leads outside the cache directory")
            except OSError as exc:
                kept.append(f"{CACHE}/{path} was left in place: {exc.strerror or _first_line(exc)}")
    return kept


# --- what the last build recorded ---------------------------------------------


def _read(project_dir: Path, path: str) -> bytes | None:
    """The bytes of a cache file; None when it is absent or no regular file (it is replaced).
    A path that leads outside the project raises PermissionError."""
    try:
        return files.read_file(project_dir, path)
    except PermissionError:
        raise
    except OSError:
        return None


def _read_state(project_dir: Path, kit_name: str) -> dict[str, Any]:
    """What the last build recorded, when it was of this format and kit; only the
    entries of components whose names are plain file names are kept."""
    content = _read(project_dir, HASHES)
    try:
        data = json.loads(content) if content is not None else None
    except (ValueError, RecursionError):
        return {}
    if not isinstance(data, dict) or data.get("format") != CACHE_FORMAT or data.get("kit") != kit_name:
        return {}
    components = data.get("components")
    if not isinstance(components, dict):
        return {**data, "components": {}}
    kept = {name: entry for name, entry in components.items() if files.plain_name(name) and isinstance(entry, dict)}
    return {**data, "components": kept}


# --- files --------------------------------------------------------------------


def _write_json(project_dir: Path, path: str, data: dict[str, Any]) -> None:
    text = json.dumps(data, indent=2, sort_keys=True) + "\n"
    files.write_file(project_dir, path, text.encode("utf-8"))


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
