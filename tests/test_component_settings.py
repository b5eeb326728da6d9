"""Settings of components: defaults and type descriptions, through HTTP.

The cell functions below are written without postponed annotations, so that
their annotations are the objects a user's code would produce (a union
``int | None``, a generic ``tuple[float, float]``) next to annotations
written as text.
"""

from types import ModuleType
from typing import Any

import pytest
from component_fixtures import client, project, tiny_kit  # noqa: F401
from fastapi.testclient import TestClient

import demo_pdk
import maskwright as mw
import quillon.serve.schematic as service


def settings(client: TestClient, component: str) -> Any:
    response = client.get(f"/assets/settings/{component}.json")
    assert response.status_code == 200
    return response.json()


def test_demo_component_settings(client: TestClient, project: Any) -> None:
    # the limits the kit declares come along
    assert settings(client, "straight_heater_metal") == {
        "length": {"default": 100.0, "type": "float", "exclusive_minimum": 0},
        "cross_section": {"default": "strip", "type": "@cross_section"},
        "heater_width": {"default": 2.5, "type": "float", "exclusive_minimum": 0},
        "via_stack_size": {"default": [10.0, 10.0], "type": "tuple[float, float]", "exclusive_minimum": 0},
    }
    assert settings(client, "pad_array") == {
        "pad": {"default": "pad", "type": "@component"},
        "columns": {"default": 4, "type": "int", "minimum": 1},
        "spacing": {"default": 150.0, "type": "float", "exclusive_minimum": 0},
        "orientation": {"default": 270, "type": "float"},
    }
    assert settings(client, "pad") == {
        "size": {"default": [80.0, 80.0], "type": "tuple[float, float]", "exclusive_minimum": 0},
        "layer": {"default": "M2", "type": "LayerSpec"},
        "opening_inset": {"default": 4.0, "type": "float", "minimum": 0},
    }


def test_unknown_component_answers_empty_settings(client: TestClient, project: Any) -> None:
    assert settings(client, "no_such_component") == {}


def knobs(
    plain,  # noqa: ANN001
    ratio=1.5,  # noqa: ANN001
    nothing=None,  # noqa: ANN001
    count: int | None = 3,
    written: "None | int" = 4,
    size: tuple[float, float] = (1.0, 2.0),
    size_text: "tuple[float, float]" = (1.0, 2.0),
    xs: "mw.typings.CrossSectionSpec" = "rib",
    xs_free: "CrossSectionSpec | None" = None,
    child: "ComponentSpec" = None,  # type: ignore[assignment]
    named_cell: str = "other",
    enabled: bool = True,
    *args,  # noqa: ANN002
    **kwargs: Any,
) -> None:
    """A cell function with one parameter of each kind the editor describes."""


def other(width: float = 1.0) -> None:
    """A second cell of the kit."""


def lonely(child: "Component" = None) -> None:  # type: ignore[assignment]
    """The kit's only cell, with a component parameter."""


KNOBS_SETTINGS = {
    "plain": {"default": None, "type": "str"},
    "ratio": {"default": 1.5, "type": "float"},
    "nothing": {"default": None, "type": "NoneType"},
    "count": {"default": 3, "type": "int"},
    # only "| None" is removed
    "written": {"default": 4, "type": "None | int"},
    # a generic alias reports the name of its class
    "size": {"default": [1.0, 2.0], "type": "tuple"},
    "size_text": {"default": [1.0, 2.0], "type": "tuple[float, float]"},
    "xs": {"default": "rib", "type": "@cross_section"},
    # the list of the kit's cross-sections without "cross_section"
    "xs_free": {"default": None, "type": "@xs_free"},
    "child": {"default": None, "type": "@component"},
    "named_cell": {"default": "other", "type": "@component"},
    "enabled": {"default": True, "type": "bool"},
    "args": {"default": None, "type": "str"},
}


def test_settings_markers(client: TestClient, tiny_kit: ModuleType) -> None:
    tiny_kit.PDK.cells.update(knobs=knobs, other=other)
    answer = settings(client, "knobs")
    assert list(answer) == list(KNOBS_SETTINGS)
    assert answer == KNOBS_SETTINGS


def test_answers_follow_the_kit_and_callers_cannot_change_them(client: TestClient, tiny_kit: ModuleType) -> None:
    tiny_kit.PDK.cells["lonely"] = lonely
    service.settings("lonely")["child"]["type"].append("changed")
    assert settings(client, "lonely") == {"child": {"default": None, "type": ["lonely"]}}
    tiny_kit.PDK.cells.update(knobs=knobs, other=other)  # the kit's names changed
    assert settings(client, "lonely") == {"child": {"default": None, "type": "@component"}}

    for entry in service.settings("knobs").values():
        entry["type"] = "changed"
    assert settings(client, "knobs") == KNOBS_SETTINGS
    tiny_kit.PDK.cells["knobs"] = other  # another function under the same name
    assert settings(client, "knobs") == settings(client, "other") == {"width": {"default": 1.0, "type": "float"}}


def test_type_descriptions_before_markers(tiny_kit: ModuleType) -> None:
    tiny_kit.PDK.cells.update(knobs=knobs, other=other)
    tiny_kit.PDK.activate()
    types = service._get_allowed_instance_settings(knobs)
    assert types["xs"] == types["xs_free"] == ["strip", "rib"]
    assert types["child"] == ["knobs", "other"]
    assert "kwargs" not in types and types["args"] == "str"


def test_one_name_list_is_kept(client: TestClient, tiny_kit: ModuleType) -> None:
    tiny_kit.PDK.cells["lonely"] = lonely
    assert settings(client, "lonely") == {"child": {"default": None, "type": ["lonely"]}}


def test_name_of_both_a_cell_and_a_cross_section_is_a_cross_section(client: TestClient, tiny_kit: ModuleType) -> None:
    tiny_kit.PDK.cells.update(knobs=knobs, other=other)
    tiny_kit.PDK.cross_sections["other"] = demo_pdk.strip
    assert settings(client, "knobs")["named_cell"] == {"default": "other", "type": "@cross_section"}


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: service.settings(None), "Argument 'component' has incorrect type (expected str, got NoneType)"),
        (lambda: service.settings(), "settings() takes exactly 1 positional argument (0 given)"),
        (
            lambda: service._get_allowed_instance_settings(),
            "_get_allowed_instance_settings() takes exactly 1 positional argument (0 given)",
        ),
    ],
)
def test_argument_errors(call: Any, error: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == error
