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
per component, of the kit package's files and of the component's own source
file, and a component is built again only when its hash changed. A component
that fails to build is reported in one line and left out; the others are
still built.
"""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

__all__ = [
    "CACHE_FORMAT",
    "KitCacheReport",
    "build_kit_cache",
    "build_quietly",
    "cache_dir",
    "port_sides",
    "ports_file",
]

#: Bumped when what the cache holds changes, so that every component is built again.
CACHE_FORMAT = "1"
#: Symbols above this many outline polygons are left to the empty symbol, as the route does.
MAX_SYMBOL_POLYGONS = 4
SYMBOL_SIZE = 80

#: (completed, total, component) after each component.
Progress = Callable[[int, int, str], None]


@dataclass
class KitCacheReport:
    """What one build did: components built, left as they were, and failed (with why)."""

    kit: str
    built: list[str] = field(default_factory=list)
    unchanged: list[str] = field(default_factory=list)
    failed: dict[str, str] = field(default_factory=dict)


def cache_dir(project_dir: Path) -> Path:
    """Where the kit's components are cached: ``<project>/build/gds/pdk``."""
    return Path(project_dir) / "build" / "gds" / "pdk"


def ports_file(project_dir: Path, component: str) -> Path:
    """The cached ports file of a component, the first one the ports routes look for."""
    return cache_dir(project_dir) / "ports" / f"{component}.json"


def _symbol_file(project_dir: Path, component: str) -> Path:
    return Path(project_dir) / "build" / "svg" / f"{component}.svg"


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
    be activated raise their ValueError. `force` builds every component.
    """
    from quillon.core.shared import activate_pdk_by_name
    from quillon.settings import get_settings

    project_dir = Path(os.path.abspath(project_dir))
    kit_name = get_settings(project_dir).pdk.name
    kit = activate_pdk_by_name(kit_name)
    report = KitCacheReport(kit_name)
    hashes_path = cache_dir(project_dir) / "hashes.json"
    old = {} if force else _read_hashes(hashes_path)
    kit_hash = _kit_hash(kit_name)
    new: dict[str, str] = {}
    names = list(kit.cells)
    try:
        for done, name in enumerate(names, 1):
            digest = _component_hash(kit_hash, kit.cells[name])
            if old.get(name) == digest and _cached(project_dir, name):
                report.unchanged.append(name)
                new[name] = digest
            else:
                problem = _build_component(project_dir, kit, kit_name, name)
                if problem is None:
                    report.built.append(name)
                    new[name] = digest
                else:
                    report.failed[name] = problem
            if progress is not None:
                progress(done, len(names), name)
    finally:
        _write_json(hashes_path, new)
    _remove_stale(project_dir, set(old) - set(names))
    return report


def build_quietly(project_dir: Path) -> None:
    """The incremental build at the start of the editor service: silent unless something fails."""
    from quillon.logger import logger

    try:
        report = build_kit_cache(project_dir)
    except (ValueError, OSError, ImportError) as exc:
        logger.warning("the kit cache was not built: %s", _first_line(exc))
        return
    for name, problem in report.failed.items():
        logger.warning("component %s of kit %s was not built: %s", name, report.kit, problem)


# --- one component ------------------------------------------------------------


def _build_component(project_dir: Path, kit: Any, kit_name: str, name: str) -> str | None:
    """Build one component into the cache; the one-line reason when it fails."""
    try:
        component = kit.get_component(name)
        sides = port_sides(component.ports)
        gds = cache_dir(project_dir) / f"{name}.gds"
        gds.parent.mkdir(parents=True, exist_ok=True)
        _replace(gds, lambda tmp: component.write(str(tmp)), suffix=".gds")
        path = ports_file(project_dir, name)
        path.unlink(missing_ok=True)  # the file holds this component only
        from quillon.cli.tree import write_cached_ports

        write_cached_ports(path, name, sides)
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
    target = _symbol_file(project_dir, name)
    if any(path.exists() for path in shipped):
        return
    if len(_generate_multipolygon(component).geoms) > MAX_SYMBOL_POLYGONS:
        target.unlink(missing_ok=True)
        return
    text = generate_svg(component, SYMBOL_SIZE, SYMBOL_SIZE)
    target.parent.mkdir(parents=True, exist_ok=True)
    _replace(target, lambda tmp: tmp.write_text(text, encoding="utf-8"), suffix=".svg")


def _cached(project_dir: Path, name: str) -> bool:
    return ports_file(project_dir, name).is_file() and (cache_dir(project_dir) / f"{name}.gds").is_file()


def _remove_stale(project_dir: Path, names: set[str]) -> None:
    """Drop the cache files of components the kit no longer has."""
    for name in names:
        ports_file(project_dir, name).unlink(missing_ok=True)
        (cache_dir(project_dir) / f"{name}.gds").unlink(missing_ok=True)


# --- hashes -------------------------------------------------------------------


def _kit_hash(kit_name: str) -> str:
    """Hash of every file of the kit's package (its sources, symbols and data)."""
    import importlib

    digest = hashlib.sha256(f"quillon kit cache {CACHE_FORMAT}\0{kit_name}\0".encode())
    module = importlib.import_module(kit_name)
    files = getattr(module, "__file__", None)
    if files:
        module_file = Path(files).resolve()
        root = module_file.parent
        paths = sorted(_package_files(root)) if module_file.name == "__init__.py" else [module_file]
        for path in paths:
            digest.update(str(path.relative_to(root)).encode() + b"\0")
            digest.update(path.read_bytes() + b"\0")
    return digest.hexdigest()


def _package_files(root: Path) -> Iterable[Path]:
    for path in root.rglob("*"):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".pyc", ".pyo"):
            yield path


def _component_hash(kit_hash: str, function: Any) -> str:
    """The kit's hash with the component's own source file (which may lie outside the kit)."""
    from quillon.core.shared import get_cell_path

    digest = hashlib.sha256(kit_hash.encode())
    source = get_cell_path(function)
    if source is not None:
        digest.update(source.encode() + b"\0" + Path(source).read_bytes())
    return digest.hexdigest()


def _read_hashes(path: Path) -> dict[str, str]:
    try:
        data = json.loads(path.read_bytes())
    except (OSError, ValueError):
        return {}
    if not isinstance(data, dict):
        return {}
    return {k: v for k, v in data.items() if isinstance(k, str) and isinstance(v, str)}


# --- files --------------------------------------------------------------------


def _replace(target: Path, write: Callable[[Path], None], suffix: str) -> None:
    """Write through a temporary file beside `target`, then replace it in one step."""
    fd, tmp = tempfile.mkstemp(prefix=f".{target.stem}.", suffix=suffix, dir=target.parent)
    os.close(fd)
    try:
        write(Path(tmp))
        os.replace(tmp, target)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def _write_json(path: Path, data: dict[str, Any]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    text = json.dumps(data, indent=2, sort_keys=True) + "\n"
    _replace(path, lambda tmp: tmp.write_text(text, encoding="utf-8"), suffix=".json")


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
