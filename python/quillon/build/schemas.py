"""JSON Schemas (draft 2020-12) of a kit's netlist files, written where the netlist headers point.

The first line of a netlist file saved by the editor names its schema for a
YAML language server::

    # yaml-language-server: $schema=../build/schemas/sub/ring.json

:func:`netlist_schema` describes the netlist files of one kit: "instances"
whose "component" is one of the kit's components and whose "settings" have the
names, types and defaults of that component's settings (the data of the
editor's settings route), "placements", "connections", "routes" (with "links",
a "routing_strategy" of the kit and that strategy's settings), "nets" and
"ports". :func:`write_project_schemas` writes it for every netlist file of a
project; :func:`write_circuit_schema` for one circuit, and
:func:`ensure_circuit_schema` for a circuit the editor saves that has none yet.

The schema path of a circuit ``<project>/<name>/<path>`` is
``<project>/build/schemas/<path>.json``, ``<name>`` being the project's source
directory; the header holds it relative to that directory, as the editor's save
route writes it.
"""

from __future__ import annotations

import json
import os
import threading
from pathlib import Path
from typing import Any

from quillon.build import setting_types
from quillon.build.circuit_layout import DEFAULT_ROUTING_STRATEGY, ELECTRICAL_ROUTERS, OTHER_ENTRIES

__all__ = [
    "NETLIST_SUFFIX",
    "SCHEMA_DIALECT",
    "circuit_schema_path",
    "ensure_circuit_schema",
    "netlist_files",
    "netlist_schema",
    "write_circuit_schema",
    "write_project_schemas",
]

SCHEMA_DIALECT = "https://json-schema.org/draft/2020-12/schema"
NETLIST_SUFFIX = ".pic.yml"

_ENDPOINT = {"type": "string", "pattern": "^[^,]+,[^,]+$", "description": "instance,port"}


def netlist_schema(kit: Any) -> dict[str, Any]:
    """The JSON Schema of the netlist files of `kit`."""
    from cellgrid.gds import plain

    defs: dict[str, Any] = {"endpoint": _ENDPOINT}
    cases = []
    for name, function in kit.cells.items():
        properties = {}
        for key, entry in setting_types.component_settings(function, kit).items():
            names = setting_types.allowed_names(entry["type"], key, kit, function)
            schema = setting_types.value_schema(entry["type"], names)
            properties[key] = {**schema, "default": plain(entry["default"])}
        defs[f"settings.{name}"] = {"type": "object", "properties": properties, "additionalProperties": False}
        cases.append(_when("component", name, "settings", f"settings.{name}"))
    defs["instance"] = {
        "type": "object",
        "required": ["component"],
        "properties": {
            "component": {"enum": list(kit.cells), "description": f"a component of kit {kit.name}"},
            "settings": {"type": "object"},
            "info": {"type": "object"},
        },
        "additionalProperties": False,
        "allOf": cases,
    }
    strategies = dict(kit.routing_strategies or {})
    route_cases = []
    for name, router in strategies.items():
        properties = setting_types.routing_settings_schema(router, kit)
        defs[f"routing.{name}"] = {"type": "object", "properties": properties, "additionalProperties": False}
        route_cases.append(_when("routing_strategy", name, "settings", f"routing.{name}"))
    net_cases = list(route_cases)
    for cases, default in ((route_cases, DEFAULT_ROUTING_STRATEGY), (net_cases, _electrical_router(strategies))):
        if default in strategies:
            cases.append({"if": {"not": {"required": ["routing_strategy"]}}, "then": {"properties": {"settings": _ref(f"routing.{default}")}}})
    links = {"type": "object", "propertyNames": _ref("endpoint"), "additionalProperties": _ref("endpoint")}
    strategy = {"enum": list(strategies)}
    defs["route"] = {
        "type": "object",
        "required": ["links"],
        "properties": {
            "links": links,
            "routing_strategy": {**strategy, "default": DEFAULT_ROUTING_STRATEGY},
            "settings": {"type": "object"},
        },
        "additionalProperties": False,
        "allOf": route_cases,
    }
    defs["net"] = {
        "type": "object",
        "required": ["p1", "p2"],
        "properties": {
            "p1": _ref("endpoint"),
            "p2": _ref("endpoint"),
            "name": {"type": "string"},
            "routing_strategy": strategy,
            "settings": {"type": "object"},
        },
        "additionalProperties": False,
        "allOf": net_cases,
    }
    number = {"type": "number"}
    defs["placement"] = {
        "type": "object",
        "properties": {
            "x": {**number, "default": 0},
            "y": {**number, "default": 0},
            "rotation": {**number, "default": 0, "description": "degrees, counter-clockwise"},
            "mirror": {"type": "boolean", "default": False},
        },
        "additionalProperties": False,
    }
    return {
        "$schema": SCHEMA_DIALECT,
        "title": f"Netlist of a circuit of kit {kit.name}",
        "type": "object",
        "properties": {
            "instances": {"type": "object", "propertyNames": {"pattern": "^[^,]+$"}, "additionalProperties": _ref("instance")},
            "placements": {"type": "object", "additionalProperties": _ref("placement")},
            "connections": links,
            "routes": {"type": "object", "additionalProperties": _ref("route")},
            "nets": {"type": "array", "items": _ref("net")},
            "ports": {"type": "object", "additionalProperties": _ref("endpoint")},
            **{entry: {} for entry in OTHER_ENTRIES},
        },
        "additionalProperties": False,
        "$defs": defs,
    }


def _electrical_router(strategies: dict[str, Any]) -> str | None:
    return next((name for name in ELECTRICAL_ROUTERS if name in strategies), None)


def _ref(name: str) -> dict[str, str]:
    return {"$ref": f"#/$defs/{name}"}


def _when(key: str, value: str, target: str, definition: str) -> dict[str, Any]:
    """If `key` is `value`, then `target` follows the definition."""
    return {
        "if": {"properties": {key: {"const": value}}, "required": [key]},
        "then": {"properties": {target: _ref(definition)}},
    }


def circuit_schema_path(circuit: str | Path, project_dir: Path, source_name: str) -> Path:
    """Where the header of the circuit `circuit` (its path without ``.pic.yml``) points.

    ``<project>/build/schemas/<circuit relative to <project>/<source_name>>.json``,
    normalised; as the editor's save route computes it (a circuit path ending
    in a separator, the file ``<dir>/.pic.yml``, has the schema ``<dir>/.json``).
    """
    project = os.path.abspath(project_dir)
    pics = os.path.join(project, source_name)
    relative = os.path.relpath(os.path.join(project, str(circuit)) + ".json", pics)
    return Path(os.path.normpath(os.path.join(project, "build", "schemas", relative)))


def netlist_files(project_dir: Path) -> list[Path]:
    """The project's netlist files, outside its build directory and hidden directories."""
    project = Path(project_dir)
    found = []
    for root, dirs, files in os.walk(project):
        here = Path(root)
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and not (here == project and d == "build"))
        found.extend(here / f for f in sorted(files) if f.endswith(NETLIST_SUFFIX))
    return found


def write_project_schemas(project_dir: Path) -> list[Path]:
    """Write the kit's schema where each netlist file of the project points; returns the schema files."""
    from quillon.core.shared import activate_pdk_by_name
    from quillon.settings import get_settings

    from quillon.build.kit_cache import kit_fingerprint

    settings = get_settings(project_dir)
    targets = [
        path
        for path in (
            circuit_schema_path(str(netlist)[: -len(NETLIST_SUFFIX)], project_dir, settings.name)
            for netlist in netlist_files(project_dir)
        )
        if _inside(path, project_dir)
    ]
    if not targets:
        return []
    # The schemas depend on the kit only: unchanged kit, existing files, nothing to do.
    stamp = Path(project_dir) / "build" / "schemas" / ".kit"
    fingerprint = kit_fingerprint(settings.pdk.name)
    if _read(stamp) == fingerprint and all(path.is_file() for path in targets):
        return targets
    text = _schema_text(activate_pdk_by_name(settings.pdk.name))
    written = [_write(path, text, project_dir) for path in targets]
    _write(stamp, fingerprint, project_dir)
    return written


def _read(path: Path) -> str | None:
    try:
        return path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        return None


def write_circuit_schema(circuit: str | Path, project_dir: str | Path | None = None) -> Path:
    """Write the schema of one circuit (its path without ``.pic.yml``) where its header points.

    For the editor's save route, when a circuit has no schema yet.
    """
    from quillon.core.shared import activate_pdk_by_name
    from quillon.settings import get_settings, project_dir as default_project_dir

    project = Path(project_dir) if project_dir is not None else default_project_dir()
    settings = get_settings(project)
    text = _schema_text(activate_pdk_by_name(settings.pdk.name))
    return _write(circuit_schema_path(circuit, project, settings.name), text, project)


def ensure_circuit_schema(circuit: str | Path, project_dir: str | Path | None = None) -> Path:
    """The schema of one circuit, written by :func:`write_circuit_schema` when it has none yet.

    Called by the editor's save route after every save.
    """
    from quillon.settings import get_settings, project_dir as default_project_dir

    project = Path(project_dir) if project_dir is not None else default_project_dir()
    path = circuit_schema_path(circuit, project, get_settings(project).name)
    return path if path.is_file() else write_circuit_schema(circuit, project)


def _schema_text(kit: Any) -> str:
    return json.dumps(netlist_schema(kit), indent=2) + "\n"


def _inside(path: Path, project_dir: str | Path) -> bool:
    project = os.path.realpath(project_dir)
    return os.path.commonpath([project, os.path.realpath(path)]) == project


def _write(path: Path, text: str, project_dir: str | Path) -> Path:
    """Write `text` to `path` (below the project only) unless it holds that already."""
    if not _inside(path, project_dir):
        raise ValueError(f"schema path {str(path)!r} lies outside the project {str(project_dir)!r}")
    if _read(path) == text:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    # a short name: the schema of a circuit named near the file-name limit must still save
    tmp = path.with_name(f".q{os.getpid()}.{threading.get_ident() % 10**6}.tmp")
    tmp.write_text(text, encoding="utf-8")
    os.replace(tmp, path)
    return path
