"""Port sides and extended port records of components, through HTTP."""

from __future__ import annotations

import json
import logging
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest
import yaml
from component_fixtures import SOURCE_DIR, box_cell, client, project, tiny_kit  # noqa: F401
from fastapi.testclient import TestClient

import demo_pdk
import quillon.serve.schematic as service
from quillon.serve.app import app


def netlist_cell(path: Path, builder: Any = None) -> Any:
    """A kit cell function defined by the netlist file ``path``; calling it
    runs ``builder`` (or fails: such cells are not built by every test)."""

    def cell() -> Any:
        if builder is None:
            raise ValueError(f"{path.name} is not built in this test")
        return builder()

    cell.__source_path__ = path  # type: ignore[attr-defined]
    return cell


def add_netlist_component(
    kit: ModuleType, project: Path, name: str, ports: Any, builder: Any = None, text: str | None = None
) -> Path:
    """Write ``<source dir>/circuits/<name>.pic.yml`` and add its cell to the kit."""
    path = project / SOURCE_DIR / "circuits" / f"{name}.pic.yml"
    path.parent.mkdir(parents=True, exist_ok=True)
    if text is None:
        netlist = {"instances": {}} if ports is None else {"instances": {}, "ports": ports}
        text = yaml.safe_dump(netlist, sort_keys=False)
    path.write_text(text)
    kit.PDK.cells[name] = netlist_cell(path, builder)
    return path


def sides(client: TestClient, component: str) -> list[tuple[str, str]]:
    response = client.get(f"/assets/ports/{component}.json")
    assert response.status_code == 200
    return list(response.json().items())


@pytest.mark.parametrize(
    ("names", "expected"),
    [
        # in/out names first on their sides; a single other name goes west
        (["x", "out1", "in1"], [("in1", "w"), ("x", "w"), ("out1", "e")]),
        (["index", "outer", "z"], [("index", "w"), ("z", "w"), ("outer", "e")]),
        # two other names: west and east, behind the in/out names
        (["q", "out", "p", "input"], [("input", "w"), ("p", "w"), ("out", "e"), ("q", "e")]),
        (["c", "a", "b"], [("a", "w"), ("b", "n"), ("c", "e")]),
        (
            [f"o{i}" for i in range(8, 0, -1)],
            [("o1", "w"), ("o2", "w"), ("o3", "n"), ("o4", "n"), ("o5", "e"), ("o6", "e"), ("o7", "s"), ("o8", "s")],
        ),
        # east takes what the integer division leaves over
        (list("edcba"), [("a", "w"), ("b", "n"), ("c", "e"), ("d", "e"), ("e", "s")]),
        (list("abcdef"), [("a", "w"), ("b", "n"), ("c", "e"), ("d", "e"), ("e", "e"), ("f", "s")]),
        # code-point order: o10 before o2, upper case before lower case
        (["o2", "a", "o10", "B"], [("B", "w"), ("a", "n"), ("o10", "e"), ("o2", "s")]),
        (["in2", "in10", "inB"], [("in10", "w"), ("in2", "w"), ("inB", "w")]),
        ([], []),
        (None, []),  # a netlist without ports
    ],
)
def test_sides_from_netlist_file(
    client: TestClient, project: Path, tiny_kit: ModuleType, names: list[str] | None, expected: list[tuple[str, str]]
) -> None:
    ports = None if names is None else {name: f"i{k},o1" for k, name in enumerate(names)}
    add_netlist_component(tiny_kit, project, "circuit", ports)
    assert sides(client, "circuit") == expected


@pytest.mark.parametrize(
    "text",
    [
        pytest.param("", id="parses-to-nothing"),
        pytest.param("instances: {}\nports:\n", id="empty-ports-entry"),
        pytest.param("ports:\n  1: a,o1\n", id="port-name-not-text"),
        pytest.param("ports: [\n", id="not-yaml"),
    ],
)
@pytest.mark.parametrize("route", ["ports", "ports-extended"])
def test_broken_netlist_file_is_refused_in_one_line(project: Path, tiny_kit: ModuleType, text: str, route: str) -> None:
    add_netlist_component(tiny_kit, project, "circuit", None, text=text)
    answer = TestClient(app, base_url="http://127.0.0.1").get(f"/assets/{route}/circuit.json")
    assert answer.status_code == 422
    assert answer.text.startswith("Cannot read the ports of component 'circuit' from ") and "\n" not in answer.text


@pytest.mark.parametrize("route", ["ports", "ports-extended"])
def test_component_unknown_to_the_kit_is_not_found(client: TestClient, route: str) -> None:
    answer = client.get(f"/assets/{route}/no_such_component.json")
    assert (answer.status_code, answer.text) == (404, "The kit demo_pdk has no component 'no_such_component'.")


def write_cache(path: Path, content: Any) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(content if isinstance(content, str) else json.dumps(content))


def kit_cache(project: Path, component: str) -> Path:
    return project / "build" / "gds" / "pdk" / "ports" / f"{component}.json"


def source_cache(project: Path, component: str) -> Path:
    """The cache kept beside the build of a source file below the project's source dir."""
    return project / "build" / "gds" / "circuits" / "ports" / f"{component}.pic.yml"


NETLIST_SIDES = [("in1", "w"), ("out1", "e")]
CACHED = {"out1": "n", "in1": "s"}


@pytest.mark.parametrize(
    ("files", "expected"),
    [
        pytest.param({}, NETLIST_SIDES, id="no-cache"),
        pytest.param({kit_cache: {"circuit": CACHED}}, list(CACHED.items()), id="kit-cache"),
        pytest.param({source_cache: {"circuit": CACHED}}, list(CACHED.items()), id="source-cache"),
        pytest.param(
            {kit_cache: {"circuit": CACHED}, source_cache: {"circuit": {"in1": "e"}}},
            list(CACHED.items()),
            id="kit-cache-first",
        ),
        # once the kit-wide file exists it is the one read, broken or not
        pytest.param({kit_cache: "{not json", source_cache: {"circuit": CACHED}}, NETLIST_SIDES, id="broken-kit-cache"),
        pytest.param({source_cache: "[1, 2]"}, NETLIST_SIDES, id="broken-source-cache"),
        pytest.param({kit_cache: {"circuit": {"in1": "up"}}}, NETLIST_SIDES, id="bad-side-letter"),
        pytest.param({kit_cache: {"other": CACHED}}, NETLIST_SIDES, id="no-entry-for-component"),
        pytest.param({kit_cache: {"circuit": {}}}, NETLIST_SIDES, id="empty-entry"),
    ],
)
def test_cached_ports_files(
    client: TestClient, project: Path, tiny_kit: ModuleType, files: dict[Any, Any], expected: list[tuple[str, str]]
) -> None:
    add_netlist_component(tiny_kit, project, "circuit", {"out1": "a,o2", "in1": "a,o1"})
    for where, content in files.items():
        write_cache(where(project, "circuit"), content)
    assert sides(client, "circuit") == expected


def test_cache_of_a_kit_component_defined_outside_the_project(client: TestClient, project: Path) -> None:
    # mmi1x2 is defined by the kit's Python source: no netlist, and no
    # per-source cache since the source is not below the project.
    assert sides(client, "mmi1x2") == []
    write_cache(kit_cache(project, "mmi1x2"), {"mmi1x2": {"o1": "w", "o2": "e", "o3": "e"}})
    assert sides(client, "mmi1x2") == [("o1", "w"), ("o2", "e"), ("o3", "e")]


def built_ports() -> dict[str, tuple[float, float]]:
    demo_pdk.PDK.activate()
    return {port.name: tuple(port.center) for port in demo_pdk.mmi1x2().ports}


def test_extended_ports_of_a_kit_component_without_sides(client: TestClient, project: Path) -> None:
    # No side known: every built port is recorded as west, optical, at 0.
    records = client.get("/assets/ports-extended/mmi1x2.json").json()
    assert records == {name: {"orientation": "w", "port_type": "optical", "index": 0.0} for name in built_ports()}


def test_extended_ports_take_type_and_position_from_the_component(client: TestClient, project: Path) -> None:
    write_cache(
        kit_cache(project, "straight_heater_metal"),
        {"straight_heater_metal": {"o1": "w", "e1": "n", "o2": "e", "e2": "s"}},
    )
    demo_pdk.PDK.activate()
    centers = {port.name: port.center for port in demo_pdk.straight_heater_metal().ports}
    records = client.get("/assets/ports-extended/straight_heater_metal.json").json()
    assert list(records) == ["o1", "e1", "o2", "e2"]
    assert records == {
        # y along the west and east sides, x along north and south
        "o1": {"orientation": "w", "port_type": "optical", "index": centers["o1"][1]},
        "e1": {"orientation": "n", "port_type": "electrical", "index": centers["e1"][0]},
        "o2": {"orientation": "e", "port_type": "optical", "index": centers["o2"][1]},
        "e2": {"orientation": "s", "port_type": "electrical", "index": centers["e2"][0]},
    }
    assert centers["e2"][0] != centers["e2"][1] and centers["o2"][0] != centers["o2"][1]


def test_extended_ports_merge_netlist_sides_and_built_ports(
    client: TestClient, project: Path, tiny_kit: ModuleType
) -> None:
    builder = box_cell(ports=(("in1", 0, 1, 2, "optical"), ("x9", 4, 0, 3, "optical"), ("top", 3, 2, 1, "DC")))
    add_netlist_component(tiny_kit, project, "circuit", {"top": "a,e1", "in1": "a,o1", "out1": "b,o2"}, builder)
    records = client.get("/assets/ports-extended/circuit.json").json()
    assert records == {
        "in1": {"orientation": "w", "port_type": "optical", "index": 1.0},
        "top": {"orientation": "w", "port_type": "DC", "index": 2.0},
        # only in the netlist: its position in the ports mapping
        "out1": {"orientation": "e", "port_type": "optical", "index": 2.0},
        # only on the built component: its own type and position are not used
        "x9": {"orientation": "w", "port_type": "optical", "index": 0.0},
    }


def test_component_that_cannot_be_built_logs_and_keeps_the_records(
    client: TestClient, project: Path, tiny_kit: ModuleType, caplog: pytest.LogCaptureFixture
) -> None:
    add_netlist_component(tiny_kit, project, "circuit", {"o2": "a,o2", "o1": "a,o1", "o3": "a,o3"})
    with caplog.at_level(logging.ERROR, logger="quillon"):
        records = client.get("/assets/ports-extended/circuit.json").json()
    assert records == {
        "o1": {"orientation": "w", "port_type": "optical", "index": 0.0},
        "o2": {"orientation": "n", "port_type": "optical", "index": 1.0},
        "o3": {"orientation": "e", "port_type": "optical", "index": 2.0},
    }
    errors = [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.levelno >= logging.ERROR]
    assert errors == [("quillon", logging.ERROR, "circuit.pic.yml is not built in this test")]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: service._ports_from_netlist(None),
            "Argument 'netlist' has incorrect type (expected dict, got NoneType)",
        ),
        (lambda: service._ports_from_netlist([]), "Argument 'netlist' has incorrect type (expected dict, got list)"),
        (lambda: service.ports(b"mmi1x2"), "Argument 'component' has incorrect type (expected str, got bytes)"),
        (lambda: service.ports_extended(None), "Argument 'component' has incorrect type (expected str, got NoneType)"),
        (lambda: service._get_ports(1), "Argument 'component' has incorrect type (expected str, got int)"),
    ],
)
def test_arguments_of_the_wrong_type(call: Any, message: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_ports_from_netlist_reads_only_the_port_names() -> None:
    netlist = {"ports": {"o1": None, "in": 3}, "instances": "ignored"}
    assert service._ports_from_netlist(netlist) == {"in": "w", "o1": "w"}
    assert netlist == {"ports": {"o1": None, "in": 3}, "instances": "ignored"}
