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

The netlist files are found by a bounded listing of the project, and the
schemas are read and written through the project's confined files
(:mod:`quillon.files`): a schema path that leads outside the project, through
".." or a link of ``build``, is refused, also when a directory is swapped for a
link while it is written.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

from quillon import files
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
            schema = setting_types.with_limits(schema, setting_types.declared_limits(function).get(key))
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
            cases.append(
                {
                    "if": {"not": {"required": ["routing_strategy"]}},
                    "then": {"properties": {"settings": _ref(f"routing.{default}")}},
                }
            )
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
            "instances": {
                "type": "object",
                "propertyNames": {"pattern": "^[^,]+$"},
                "additionalProperties": _ref("instance"),
            },
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


def netlist_files(project_dir: Path, note: Callable[[str], None] | None = None) -> list[Path]:
    """The project's netlist files, outside its build directory and hidden directories.

    The listing is bounded (:mod:`quillon.files`); what it skips is told in one
    line to `note` (default: the package logger's warning).
    """
    listing = files.list_files(project_dir, suffix=NETLIST_SUFFIX, skip_hidden=True, skip_top=("build",))
    if listing.skipped:
        if note is None:
            from quillon.logger import logger

            note = logger.warning
        note(f"netlist files: {listing.skipped}")
    return [Path(project_dir) / name for name in sorted(listing.files)]


def write_project_schemas(project_dir: Path, note: Callable[[str], None] | None = None) -> list[Path]:
    """Write the kit's schema where each netlist file of the project points; returns the schema files.

    `note` gets the line on what the listing of the netlist files skipped (see :func:`netlist_files`).
    """
    from quillon.core.shared import activate_pdk_by_name
    from quillon.settings import get_settings

    from quillon.build.hashes import kit_fingerprint

    settings = get_settings(project_dir)
    targets = [
        path
        for path in (
            circuit_schema_path(str(netlist)[: -len(NETLIST_SUFFIX)], project_dir, settings.name)
            for netlist in netlist_files(project_dir, note)
        )
        if _relative(path, project_dir) is not None
    ]
    if not targets:
        return []
    # The schemas depend on the kit only: unchanged kit, existing files, nothing to do.
    stamp = Path(project_dir) / "build" / "schemas" / ".kit"
    fingerprint = kit_fingerprint(settings.pdk.name)
    if _read(stamp, project_dir) == fingerprint and all(_is_file(path, project_dir) for path in targets):
        return targets
    text = _schema_text(activate_pdk_by_name(settings.pdk.name))
    written = [_write(path, text, project_dir) for path in targets]
    _write(stamp, fingerprint, project_dir)
    return written


def _relative(path: Path, project_dir: str | Path) -> str | None:
    """`path` (normalised, absolute) relative to the project directory; None when it lies outside."""
    relative = os.path.relpath(path, os.path.abspath(project_dir))
    return None if relative == ".." or relative.startswith(".." + os.sep) else relative


def _read(path: Path, project_dir: str | Path) -> str | None:
    """The text of a schema file of the project; None when it is absent, unreadable or no regular file."""
    relative = _relative(path, project_dir)
    try:
        content = files.read_file(project_dir, relative) if relative is not None else None
        return content.decode("utf-8") if content is not None else None
    except (OSError, UnicodeDecodeError):
        return None


def _is_file(path: Path, project_dir: str | Path) -> bool:
    relative = _relative(path, project_dir)
    try:
        return relative is not None and files.is_file(project_dir, relative)
    except OSError:
        return False


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
    return path if _is_file(path, project) else write_circuit_schema(circuit, project)


def _schema_text(kit: Any) -> str:
    return json.dumps(netlist_schema(kit), indent=2) + "\n"


def _write(path: Path, text: str, project_dir: str | Path) -> Path:
    """Write `text` to `path` (below the project only) unless it holds that already."""
    relative = _relative(path, project_dir)
    if relative is None:
        raise ValueError(f"schema path {str(path)!r} lies outside the project {str(project_dir)!r}")
    if _read(path, project_dir) == text:
        return path
    files.write_file(project_dir, relative, text.encode("utf-8"))
    return path
