"""The settings of a cell function with their defaults and types, and checks of values.

:func:`component_settings` describes each parameter of a kit's cell function
exactly as the editor's settings route does (``/assets/settings/<component>.json``):
setting name -> ``{"default": value, "type": description}``, where the
description is a type text ("float", "int", "tuple[float, float]", ...), a list
of allowed names, or a marker naming such a list: "@component" (the kit's cell
names), "@cross_section" (the kit's cross-section names without the alias
"cross_section") or "@<setting>" (the setting's own list).

:func:`value_schema` turns one description into a JSON Schema fragment, and
:func:`value_problem` checks a value against it, for the netlist schemas and
for building a circuit from its netlist.
"""

from __future__ import annotations

import inspect
import re
import reprlib
from collections.abc import Callable
from typing import Any

from quillon.cli.tree import get_function_args

__all__ = [
    "component_settings",
    "declared_limits",
    "function_types",
    "shown",
    "type_text",
    "value_problem",
    "value_schema",
    "with_limits",
]

_NO_VALUE = inspect.Parameter.empty

_SHORT = reprlib.Repr()
_SHORT.maxstring = _SHORT.maxother = _SHORT.maxlong = 60
_SHORT.maxlevel, _SHORT.maxlist, _SHORT.maxtuple, _SHORT.maxdict = 3, 6, 6, 4


def shown(value: Any) -> str:
    """`value` as its repr, shortened (with "...") where it is long or nested deep, so that a
    message about a value read from a file stays one short line."""
    return _SHORT.repr(value)


def _cross_section_names(kit: Any) -> list[str]:
    return [name for name in kit.cross_sections if name != "cross_section"]


def type_text(param: inspect.Parameter) -> str:
    """The type name of a parameter: its annotation's name or text, else its default's type, "| None" removed."""
    annotation = param.annotation
    if annotation is _NO_VALUE:
        text = "str" if param.default is _NO_VALUE else type(param.default).__name__
    else:
        text = getattr(annotation, "__name__", None) or str(annotation)
    return text.replace("| None", "").strip()


def function_types(function: Callable[..., Any], kit: Any) -> dict[str, Any]:
    """Parameter name -> type description of `function` (before defaults are looked at)."""
    types: dict[str, Any] = {}
    for name, param in inspect.signature(function).parameters.items():
        text = type_text(param)
        if "CrossSection" in text:
            types[name] = _cross_section_names(kit)
        elif "Component" in text:
            types[name] = list(kit.cells)
        else:
            types[name] = text
    types.pop("kwargs", None)
    return types


def component_settings(function: Callable[..., Any], kit: Any) -> dict[str, dict[str, Any]]:
    """Setting name -> {"default", "type"} of a cell function, as the settings route answers."""
    defaults = get_function_args(function)
    result: dict[str, dict[str, Any]] = {}
    for name, description in function_types(function, kit).items():
        entry: dict[str, Any] = {"default": None, "type": description}
        if name in defaults:
            default = entry["default"] = defaults[name]
            if isinstance(default, str) and default in kit.cells:
                entry["type"] = "@component"
            if isinstance(default, str) and default in kit.cross_sections:
                entry["type"] = "@cross_section"
        if isinstance(entry["type"], list) and len(entry["type"]) > 1:
            entry["type"] = "@component" if entry["type"][0] in kit.cells else f"@{name}"
        result[name] = entry
    return result


def allowed_names(description: Any, setting: str, kit: Any, function: Callable[..., Any]) -> list[str] | None:
    """The names a setting may take when its description is a list or a marker, else None."""
    if isinstance(description, list):
        return list(description)
    if description == "@component":
        return list(kit.cells)
    if description == "@cross_section":
        return _cross_section_names(kit)
    if isinstance(description, str) and description == f"@{setting}":
        own = function_types(function, kit).get(setting)
        return list(own) if isinstance(own, list) else None
    return None


_SCALARS: dict[str, dict[str, Any]] = {
    "int": {"type": "integer"},
    "float": {"type": "number"},
    "bool": {"type": "boolean"},
    "str": {"type": "string"},
    "NoneType": {"type": "null"},
}
_SEQUENCE = re.compile(r"(tuple|list|Sequence|Iterable)\b(\[(?P<items>.*)\])?\Z")


def value_schema(description: Any, names: list[str] | None) -> dict[str, Any]:
    """A JSON Schema fragment for values of a setting (no constraint for unknown types)."""
    if names is not None:
        return {"enum": names}
    if not isinstance(description, str):
        return {}
    parts = [part.strip() for part in description.split("|")]
    schemas = [_text_schema(part) for part in parts]
    if any(not schema for schema in schemas):
        return {}
    return schemas[0] if len(schemas) == 1 else {"anyOf": schemas}


def _text_schema(text: str) -> dict[str, Any]:
    if text in _SCALARS:
        return dict(_SCALARS[text])
    match = _SEQUENCE.match(text)
    if match is None:
        return {}
    schema: dict[str, Any] = {"type": "array"}
    items = match["items"]
    if items is None:
        return schema
    parts = [part.strip() for part in items.split(",")]
    if match[1] == "tuple" and parts and parts[-1] != "...":
        item_schemas = [_SCALARS.get(part, {}) for part in parts]
        schema.update(prefixItems=item_schemas, minItems=len(parts), maxItems=len(parts))
    elif parts and parts[0] in _SCALARS:
        schema["items"] = dict(_SCALARS[parts[0]])
    return schema


#: The limits a kit declares for a setting (``@cell(limits=...)``), as JSON Schema names them,
#: with the words of a refusal.
_LIMITS = {
    "minimum": ("minimum", "at least", lambda v, bound: v >= bound),
    "exclusive_minimum": ("exclusiveMinimum", "more than", lambda v, bound: v > bound),
    "maximum": ("maximum", "at most", lambda v, bound: v <= bound),
    "exclusive_maximum": ("exclusiveMaximum", "less than", lambda v, bound: v < bound),
}


def declared_limits(function: Callable[..., Any]) -> dict[str, dict[str, float]]:
    """The limits a kit declares for the settings of a cell function (none when it declares none)."""
    limits = getattr(function, "setting_limits", None)
    return limits if isinstance(limits, dict) else {}


def with_limits(schema: dict[str, Any], limits: dict[str, float] | None) -> dict[str, Any]:
    """`schema` with the kit's limits of a setting on its numbers (each number of a list)."""
    if not limits:
        return schema
    bounds = {_LIMITS[key][0]: bound for key, bound in limits.items() if key in _LIMITS}
    kind = schema.get("type")
    if kind in ("number", "integer"):
        return {**schema, **bounds}
    if "anyOf" in schema:
        return {**schema, "anyOf": [with_limits(part, limits) for part in schema["anyOf"]]}
    if kind == "array":
        limited = dict(schema)
        if "prefixItems" in schema:
            limited["prefixItems"] = [with_limits(item, limits) for item in schema["prefixItems"]]
        if "items" in schema:
            limited["items"] = with_limits(schema["items"], limits)
        return limited
    return schema


def value_problem(value: Any, schema: dict[str, Any]) -> str | None:
    """Why `value` does not fit the fragment made by :func:`value_schema`, or None."""
    if "enum" in schema:
        return None if value in schema["enum"] else f"must be one of {', '.join(map(str, schema['enum']))}"
    if "anyOf" in schema:
        problems = [value_problem(value, part) for part in schema["anyOf"]]
        return None if None in problems else " or ".join(p for p in problems if p)
    kind = schema.get("type")
    if kind is None:
        return None
    if not _is_kind(value, kind):
        return f"must be {_KIND_TEXT[kind]}, got {shown(value)}"
    for name, words, holds in _LIMITS.values():
        if kind in ("number", "integer") and name in schema and not holds(value, schema[name]):
            return f"must be {words} {schema[name]}, got {shown(value)}"
    if kind == "array":
        if "minItems" in schema and not schema["minItems"] <= len(value) <= schema["maxItems"]:
            return f"must be a list of {schema['minItems']} values, got {shown(value)}"
        for item, item_schema in zip(value, schema.get("prefixItems", [schema.get("items", {})] * len(value))):
            problem = value_problem(item, item_schema)
            if problem:
                return f"must hold values that {problem.split(',')[0].replace('must be', 'are')}, got {shown(value)}"
    return None


_KIND_TEXT = {
    "integer": "an integer",
    "number": "a number",
    "boolean": "true or false",
    "string": "a text",
    "null": "null",
    "array": "a list",
}


def _is_kind(value: Any, kind: str) -> bool:
    if kind == "integer":
        return isinstance(value, int) and not isinstance(value, bool)
    if kind == "number":
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    if kind == "boolean":
        return isinstance(value, bool)
    if kind == "string":
        return isinstance(value, str)
    if kind == "null":
        return value is None
    return isinstance(value, (list, tuple))


#: Parameters a router takes from the links of a route, never from its settings.
ROUTER_PORT_PARAMETERS = ("component", "port1", "port2", "ports1", "ports2")


def routing_settings_schema(router: Callable[..., Any], kit: Any) -> dict[str, dict[str, Any]]:
    """Setting name -> JSON Schema fragment of a routing function's settings.

    The types are those the routing-strategies route describes: "waypoints" is
    a list of (x, y) points, "port_type" one of "optical", "electrical" and its
    default, cross-section parameters one of the kit's cross-sections; a
    parameter whose default is None also takes null.
    """
    from cellgrid.gds import plain

    defaults = get_function_args(router)
    out: dict[str, dict[str, Any]] = {}
    for name, description in function_types(router, kit).items():
        if name in ROUTER_PORT_PARAMETERS:
            continue
        default = defaults.get(name)
        if name == "waypoints":
            point = {"type": "array", "prefixItems": [{"type": "number"}] * 2, "minItems": 2, "maxItems": 2}
            schema: dict[str, Any] = {"type": "array", "items": point}
        elif name == "port_type":
            schema = {"enum": sorted({"optical", "electrical", default or "optical"})}
        else:
            names = list(description) if isinstance(description, list) else None
            if names is None and isinstance(default, str) and default in kit.cross_sections:
                names = [n for n in kit.cross_sections if n != "cross_section"]
            schema = value_schema(description, names)
        if name in defaults and default is None and schema:
            schema = {"anyOf": [schema, {"type": "null"}]}
        if name in defaults:
            schema = {**schema, "default": plain(default)}
        out[name] = schema
    return out
