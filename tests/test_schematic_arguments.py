"""Argument errors of the editor's handlers and helpers, worded as compiled modules word them.

The expected texts were checked against the same signatures compiled by a
Python-to-C compiler; they are what a caller of the previous implementation saw.
Arguments are bound before any work, so these hold whatever the handler does.
"""

from __future__ import annotations

from types import ModuleType
from typing import Any

import pytest

CASES: list[tuple[str, tuple[Any, ...], dict[str, Any], str]] = [
    # get_netlist(path: str)
    ("get_netlist", (), {}, "get_netlist() takes exactly 1 positional argument (0 given)"),
    ("get_netlist", ("a", "b"), {}, "get_netlist() takes exactly 1 positional argument (2 given)"),
    ("get_netlist", (1,), {}, "Argument 'path' has incorrect type (expected str, got int)"),
    ("get_netlist", (None,), {}, "Argument 'path' has incorrect type (expected str, got NoneType)"),
    ("get_netlist", (), {"path": b"a"}, "Argument 'path' has incorrect type (expected str, got bytes)"),
    ("get_netlist", (), {"x": 1}, "get_netlist() got an unexpected keyword argument 'x'"),
    ("get_netlist", ("a",), {"path": "b"}, "get_netlist() got multiple values for keyword argument 'path'"),
    # post_netlist(body: str, *, path: str)
    ("post_netlist", (), {}, "post_netlist() takes exactly 1 positional argument (0 given)"),
    ("post_netlist", (), {"path": "x"}, "post_netlist() takes exactly 1 positional argument (0 given)"),
    ("post_netlist", ("{}",), {}, "post_netlist() needs keyword-only argument path"),
    ("post_netlist", (), {"body": "{}"}, "post_netlist() needs keyword-only argument path"),
    ("post_netlist", ("{}", "x"), {}, "post_netlist() takes exactly 1 positional argument (2 given)"),
    ("post_netlist", (b"{}",), {"path": "x"}, "Argument 'body' has incorrect type (expected str, got bytes)"),
    ("post_netlist", (None,), {"path": None}, "Argument 'body' has incorrect type (expected str, got NoneType)"),
    ("post_netlist", ("{}",), {"path": 1}, "Argument 'path' has incorrect type (expected str, got int)"),
    ("post_netlist", ("{}",), {"path": "x", "y": 1}, "post_netlist() got an unexpected keyword argument 'y'"),
    # the component routes (component: str)
    ("settings", (), {}, "settings() takes exactly 1 positional argument (0 given)"),
    ("settings", (b"x",), {}, "Argument 'component' has incorrect type (expected str, got bytes)"),
    ("ports", (1,), {}, "Argument 'component' has incorrect type (expected str, got int)"),
    ("ports", ("a", "b"), {}, "ports() takes exactly 1 positional argument (2 given)"),
    ("ports_extended", (None,), {}, "Argument 'component' has incorrect type (expected str, got NoneType)"),
    ("ports_extended", (), {"name": "x"}, "ports_extended() got an unexpected keyword argument 'name'"),
    ("routing_strategies", (1,), {}, "routing_strategies() takes no arguments (1 given)"),
    ("routing_strategies", (), {"x": 1}, "routing_strategies() takes no keyword arguments"),
    # svg(component: str, width: int = 80, height: int = 80)
    ("svg", (), {}, "svg() takes at least 1 positional argument (0 given)"),
    ("svg", (), {"width": 1}, "svg() takes at least 1 positional argument (0 given)"),
    ("svg", ("a", 1, 2, 3), {}, "svg() takes at most 3 positional arguments (4 given)"),
    ("svg", ("a",), {"width": "1"}, "Argument 'width' has incorrect type (expected int, got str)"),
    ("svg", ("a", 80, "80"), {}, "Argument 'height' has incorrect type (expected int, got str)"),
    ("svg", (1,), {}, "Argument 'component' has incorrect type (expected str, got int)"),
    # helpers
    (
        "_get_types_and_defaults_for_routing",
        (),
        {},
        "_get_types_and_defaults_for_routing() takes exactly 1 positional argument (0 given)",
    ),
    (
        "_get_allowed_instance_settings",
        (1, 2),
        {},
        "_get_allowed_instance_settings() takes exactly 1 positional argument (2 given)",
    ),
    ("_get_ports", (1,), {}, "Argument 'component' has incorrect type (expected str, got int)"),
    ("_ports_from_netlist", (), {}, "_ports_from_netlist() takes exactly 1 positional argument (0 given)"),
    ("_is_bundle", (), {"f": len}, "_is_bundle() got an unexpected keyword argument 'f'"),
    ("_pdk_svg_path", (None,), {}, "Argument 'component' has incorrect type (expected str, got NoneType)"),
    ("_pdk_svg_path", (), {}, "_pdk_svg_path() takes exactly 1 positional argument (0 given)"),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "message"), CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_argument_errors(
    schematic: ModuleType, name: str, args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError) as info:
        getattr(schematic, name)(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("call", "status"),
    [
        (lambda s: s.get_netlist(path="%2e%2e"), 200),  # keyword form: a name inside the project
        (lambda s: s.post_netlist(body="[]", path="x"), 422),
        (lambda s: s.post_netlist("null", path="x"), 422),
    ],
)
def test_arguments_by_position_or_keyword(schematic: ModuleType, call: Any, status: int) -> None:
    assert call(schematic).status_code == status
