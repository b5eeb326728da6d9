"""The kit's bundle routing strategies, through HTTP."""

from types import ModuleType
from collections.abc import Iterable
from typing import Any

import pytest
from component_fixtures import client, project, tiny_kit  # noqa: F401
from fastapi.testclient import TestClient

import quillon.serve.schematic as service


def strategies(client: TestClient) -> Any:
    response = client.get("/assets/routing-strategies.json")
    assert response.status_code == 200
    return response.json()


def test_demo_kit_strategies(client: TestClient, project: Any) -> None:
    answer = strategies(client)
    assert list(answer) == ["strategies", "refs"]
    # route_single routes one pair of ports, not a bundle
    assert list(answer["strategies"]) == ["route_bundle", "route_bundle_electrical"]
    assert answer["strategies"]["route_bundle"] == {
        "cross_section": {"default": "strip", "type": "@cross_section"},
        "port_type": {"default": "optical", "type": "@port_type"},
        "radius": {"default": None, "type": "float?"},
        "separation": {"default": 3.0, "type": "float"},
        "waypoints": {"default": None, "type": "Waypoints?"},
    }
    assert answer["strategies"]["route_bundle_electrical"]["port_type"] == {
        "default": "electrical",
        "type": "@port_type",
    }
    assert answer["refs"] == {
        "@cross_section": ["strip", "rib", "metal_routing"],
        "@port_type": ["electrical", "optical"],
    }


def route_wide(
    component,  # noqa: ANN001
    ports1,  # noqa: ANN001
    ports2,  # noqa: ANN001
    port1=None,  # noqa: ANN001
    port2=None,  # noqa: ANN001
    separation10: float = 1.0,
    separation2: float = 2.0,
    port_type: str = "",
    flag: bool = None,  # type: ignore[assignment]
    label: str = None,  # type: ignore[assignment]
    free=None,  # noqa: ANN001
    spacing: "tuple[float, float]" = (1.0, 2.0),
    width: "float | list[float]" = 1.0,
    points: Iterable = None,  # type: ignore[assignment]
    bend: "ComponentSpec" = "sbend",
    xs: "CrossSectionSpec" = "strip",
    only: "Literal['a']" = "a",
    waypoints=None,  # noqa: ANN001
    radius: float | None = None,
    ratio: "None | float" = 2.0,
    steps: int = None,  # type: ignore[assignment]
    *,
    required: int,
) -> None:
    """A bundle router with one parameter of each kind the editor describes."""


WIDE = {
    "bend": {"default": "sbend", "type": "@component"},
    "flag": {"default": False, "type": "bool"},
    "free": {"default": None, "type": "str?"},
    "label": {"default": "", "type": "str"},
    "only": {"default": "a", "type": "Literal['a']"},
    "points": {"default": None, "type": "list?"},
    "port_type": {"default": "optical", "type": "@port_type"},
    "radius": {"default": None, "type": "float?"},
    "ratio": {"default": 2.0, "type": "float"},
    "required": {"default": None, "type": "int?"},
    "separation2": {"default": 2.0, "type": "float"},
    "separation10": {"default": 1.0, "type": "float"},
    "spacing": {"default": [1.0, 2.0], "type": "tuple[float,float]"},
    "steps": {"default": None, "type": "int?"},
    "waypoints": {"default": None, "type": "Waypoints?"},
    "width": {"default": 1.0, "type": "float"},
    "xs": {"default": "strip", "type": "@cross_section"},
}


def route_rf(component, ports1, ports2, port_type: str = "RF") -> None:  # noqa: ANN001
    """A second bundle router with another port type."""


def route_one(component, port1, port2, xs: "CrossSectionSpec" = "rib") -> None:  # noqa: ANN001
    """Routes a single pair: not offered as a bundle strategy."""


def route_half(component, ports1, port2) -> None:  # noqa: ANN001
    """Has ports1 but no ports2."""


def sbend(length: float = 10.0) -> None:
    """A cell of the kit."""


@pytest.fixture
def routing_kit(tiny_kit: ModuleType) -> ModuleType:
    tiny_kit.PDK.cells["sbend"] = sbend
    tiny_kit.PDK.routing_strategies.update(
        route_one=route_one, route_wide=route_wide, route_half=route_half, route_rf=route_rf
    )
    return tiny_kit


def test_parameters_in_natural_order_with_marks_and_refs(client: TestClient, routing_kit: ModuleType) -> None:
    answer = strategies(client)
    assert list(answer["strategies"]) == ["route_wide", "route_rf"]
    wide = answer["strategies"]["route_wide"]
    assert list(wide) == list(WIDE)
    assert wide == WIDE
    assert answer["strategies"]["route_rf"] == {"port_type": {"default": "RF", "type": "@port_type"}}
    # markers in the order the parameters produced them
    assert list(answer["refs"]) == ["@component", "@port_type", "@cross_section"]
    assert answer["refs"] == {
        # the later strategy's list replaces the earlier one's
        "@port_type": ["RF", "electrical", "optical"],
        "@component": ["sbend"],
        "@cross_section": ["strip", "rib"],
    }


def test_refs_of_one_strategy(routing_kit: ModuleType) -> None:
    routing_kit.PDK.activate()
    described = service._get_types_and_defaults_for_routing(route_wide)
    assert list(described)[-1] == "@refs"
    assert described["@refs"] == {
        "@component": ["sbend"],
        "@port_type": ["electrical", "optical"],
        "@cross_section": ["strip", "rib"],
    }


def test_port_type_default_joins_the_list_once(routing_kit: ModuleType) -> None:
    def route(component, ports1, ports2, port_type="electrical"):  # noqa: ANN001, ANN202
        pass

    routing_kit.PDK.activate()
    assert service._get_types_and_defaults_for_routing(route)["@refs"] == {"@port_type": ["electrical", "optical"]}


@pytest.mark.parametrize("routers", [{}, None])
def test_kit_without_strategies(client: TestClient, tiny_kit: ModuleType, routers: Any) -> None:
    tiny_kit.PDK.routing_strategies = routers
    assert strategies(client) == {"strategies": {}, "refs": {}}


@pytest.mark.parametrize(
    ("func", "bundle"),
    [(route_wide, True), (route_rf, True), (route_one, False), (route_half, False), (lambda ports1, ports2: 0, True)],
)
def test_is_bundle(func: Any, bundle: bool) -> None:
    assert service._is_bundle(func) is bundle
