"""The editor's route table on the host's app: order, matching, handler introspection, static files."""

from __future__ import annotations

import inspect
import os
import shutil
import typing
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType

import pytest
from fastapi import params
from fastapi.responses import JSONResponse, PlainTextResponse, Response
from fastapi.testclient import TestClient
from starlette.routing import Match, Mount

import quillon
from quillon.serve.app import app

TABLE = [
    ("GET", "/assets/netlists/{path:path}.json", "get_netlist"),
    ("POST", "/assets/netlists/{path:path}.json", "post_netlist"),
    ("GET", "/assets/settings/{component}.json", "settings"),
    ("GET", "/assets/ports/{component}.json", "ports"),
    ("GET", "/assets/ports-extended/{component}.json", "ports_extended"),
    ("GET", "/assets/routing-strategies.json", "routing_strategies"),
    ("GET", "/assets/svg/{component}.svg", "svg"),
]


def editor_routes() -> list[object]:
    return [r for r in app.routes if getattr(r, "path", "").startswith("/assets")]


def first_match(method: str, path: str) -> tuple[object, dict[str, str]]:
    """The route that serves a request: the first full match in registration order."""
    scope = {"type": "http", "method": method, "path": path, "root_path": "", "headers": [], "query_string": b""}
    for route in app.routes:
        match, child = route.matches(scope)
        if match is Match.FULL:
            return route, child.get("path_params", {})
    raise AssertionError(f"nothing serves {method} {path}")


def test_module_values(schematic: ModuleType) -> None:
    assert schematic.__doc__ == "Schematic editor routes."
    this_dir = os.path.dirname(os.path.abspath(schematic.__file__))
    assert schematic.this_dir == this_dir
    assert schematic.qln_dir == os.path.dirname(this_dir) == os.path.dirname(os.path.abspath(quillon.__file__))
    assert schematic.assets_dir == os.path.join(schematic.qln_dir, "assets")
    assert os.path.isfile(os.path.join(schematic.assets_dir, "_svg", "_empty.svg"))


def test_routes_are_registered_in_table_order_and_the_mount_last(schematic: ModuleType) -> None:
    routes = editor_routes()
    assert [(sorted(r.methods)[0], r.path, r.name) for r in routes[:-1]] == TABLE
    assert all(inspect.unwrap(r.endpoint) is getattr(schematic, name) for r, (_, _, name) in zip(routes, TABLE))
    mount = routes[-1]
    assert isinstance(mount, Mount) and (mount.path, mount.name) == ("/assets", "assets")
    assert os.path.samefile(mount.app.directory, schematic.assets_dir)


@pytest.mark.parametrize(
    ("method", "path", "handler", "params"),
    [
        ("GET", "/assets/netlists/a/b/c.json", "get_netlist", {"path": "a/b/c"}),
        ("POST", "/assets/netlists/a/b/c.json", "post_netlist", {"path": "a/b/c"}),
        ("GET", "/assets/netlists//abs/x.json", "get_netlist", {"path": "/abs/x"}),
        ("GET", "/assets/netlists/x.json.json", "get_netlist", {"path": "x.json"}),
        ("GET", "/assets/settings/x.json", "settings", {"component": "x"}),
        ("GET", "/assets/ports/mmi1x2.json", "ports", {"component": "mmi1x2"}),
        ("GET", "/assets/ports-extended/mmi1x2.json", "ports_extended", {"component": "mmi1x2"}),
        ("GET", "/assets/routing-strategies.json", "routing_strategies", {}),
        ("GET", "/assets/svg/_empty.svg", "svg", {"component": "_empty"}),
        ("GET", "/assets/settings/x/y.json", "assets", {}),
        ("GET", "/assets/svg/a/b.svg", "assets", {}),
        ("GET", "/assets/_svg/_empty.svg", "assets", {}),
        ("POST", "/assets/settings/x.json", "assets", {}),
    ],
)
def test_requests_reach_the_first_matching_route(
    schematic: ModuleType, method: str, path: str, handler: str, params: dict[str, str]
) -> None:
    route, path_params = first_match(method, path)
    assert route.name == handler
    if handler != "assets":
        assert path_params == params


@pytest.fixture
def static_files(schematic: ModuleType) -> Iterator[Path]:
    """Files below the assets directory at URL paths that match no route template."""
    assets = Path(schematic.assets_dir)
    if not os.access(assets, os.W_OK):
        pytest.skip("the installed assets directory is read-only")
    made = [assets / "settings", assets / "svg" / "a"]
    if any(p.exists() for p in made):
        pytest.skip("the assets directory already holds these test paths")
    (assets / "settings" / "x").mkdir(parents=True)
    (assets / "settings" / "x" / "y.json").write_text('{"static": true}')
    (assets / "svg" / "a").mkdir(parents=True)
    (assets / "svg" / "a" / "b.svg").write_text("<svg/>")
    try:
        yield assets
    finally:
        shutil.rmtree(assets / "settings")
        shutil.rmtree(assets / "svg")


def test_static_files_below_templates_are_served_by_the_mount(client: TestClient, static_files: Path) -> None:
    response = client.get("/assets/settings/x/y.json")
    assert (response.status_code, response.json()) == (200, {"static": True})
    response = client.get("/assets/svg/a/b.svg")
    assert (response.status_code, response.text) == (200, "<svg/>")
    assert response.headers["content-type"] == "image/svg+xml"


def test_placeholder_symbol_is_served(client: TestClient, schematic: ModuleType) -> None:
    response = client.get("/assets/_svg/_empty.svg")
    assert response.status_code == 200
    assert response.headers["content-type"] == "image/svg+xml"
    assert response.content == Path(schematic.assets_dir, "_svg", "_empty.svg").read_bytes()
    assert response.text.lstrip().startswith("<svg")
    assert client.get("/assets/settings/none/such.json").status_code == 404


# --------------------------------------------------------------------------- handler introspection


def test_netlist_handlers_carry_their_signatures(schematic: ModuleType) -> None:
    get_sig = inspect.signature(schematic.get_netlist)
    assert list(get_sig.parameters) == ["path"]
    assert get_sig.parameters["path"].annotation is str
    assert get_sig.parameters["path"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert get_sig.return_annotation is JSONResponse

    post_sig = inspect.signature(schematic.post_netlist)
    body, path = post_sig.parameters.values()
    assert (body.name, body.kind) == ("body", inspect.Parameter.POSITIONAL_OR_KEYWORD)
    assert typing.get_origin(body.annotation) is typing.Annotated
    base, marker = typing.get_args(body.annotation)
    assert base is str and isinstance(marker, params.Body)
    assert (path.name, path.kind, path.annotation) == ("path", inspect.Parameter.KEYWORD_ONLY, str)
    assert post_sig.return_annotation is PlainTextResponse


@pytest.mark.parametrize(
    ("name", "doc"),
    [
        ("get_netlist", "Get the netlist and schematic from file."),
        ("post_netlist", "Post a netlist to save to a file."),
    ],
)
def test_handlers_have_names_and_docstrings(schematic: ModuleType, name: str, doc: str) -> None:
    handler = getattr(schematic, name)
    assert (handler.__name__, handler.__doc__) == (name, doc)


def test_every_handler_has_real_annotations(schematic: ModuleType) -> None:
    for _, _, name in TABLE:
        signature = inspect.signature(getattr(schematic, name))
        annotations = [p.annotation for p in signature.parameters.values()] + [signature.return_annotation]
        assert not any(isinstance(a, str) for a in annotations), name
    assert inspect.signature(schematic.svg).return_annotation is Response


def test_api_description_reads_well(schematic: ModuleType) -> None:
    paths = app.openapi()["paths"]
    netlists = paths["/assets/netlists/{path}.json"]
    assert netlists["get"]["summary"] == "Get Netlist"
    assert netlists["get"]["description"] == "Get the netlist and schematic from file."
    assert netlists["post"]["description"] == "Post a netlist to save to a file."
    assert netlists["post"]["requestBody"]["required"] is True
    assert [p["name"] for p in netlists["post"]["parameters"]] == ["path"]
    svg_params = {p["name"]: p for p in paths["/assets/svg/{component}.svg"]["get"]["parameters"]}
    assert svg_params["width"]["schema"] == {"type": "integer", "default": 80, "title": "Width"}
