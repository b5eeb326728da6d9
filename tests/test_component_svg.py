"""Component symbols: lookup order, generation (never kept by a GET), the cache and redirects, through HTTP."""

from __future__ import annotations

import os
import threading
from xml.etree import ElementTree
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest
from component_fixtures import box_cell, client, project, tiny_kit, write_package  # noqa: F401
from fastapi.testclient import TestClient

import demo_pdk
import quillon.serve.schematic as service

EMPTY = "/assets/svg/_empty.svg"
SVG_MEDIA_TYPE = "image/svg+xml"


def packaged_symbol(name: str) -> str:
    return (Path(service.assets_dir) / "_svg" / f"{name}.svg").read_text()


def cached_symbol(project: Path, name: str, width: int = 80, height: int = 80) -> Path:
    """Symbols of the default size are cached by name, others below a directory of their size."""
    size = "" if (width, height) == (80, 80) else f"{width}x{height}"
    return project / "build" / "svg" / size / f"{name}.svg"


def write_cached_symbol(project: Path, name: str, label: str, width: int = 80, height: int = 80) -> None:
    """Leave a symbol in the cache, as the kit cache or an earlier run would."""
    cached = cached_symbol(project, name, width, height)
    cached.parent.mkdir(parents=True, exist_ok=True)
    cached.write_text(symbol(label))


def get_symbol(client: TestClient, component: str, **query: int) -> str:
    response = client.get(f"/assets/svg/{component}.svg", params=query, follow_redirects=False)
    assert response.status_code == 200, response.text
    assert response.headers["content-type"] == SVG_MEDIA_TYPE
    return response.text


def assert_redirected(client: TestClient, component: str) -> None:
    response = client.get(f"/assets/svg/{component}.svg", follow_redirects=False)
    assert (response.status_code, response.headers["location"]) == (307, EMPTY)


def symbol(label: str) -> str:
    return f'<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><title>{label}</title></svg>\n'


def kit_symbol_dir(kit: ModuleType) -> Path:
    directory = Path(kit.__file__).parent / "svg"
    directory.mkdir(exist_ok=True)
    return directory


def test_kit_symbol_of_the_demo_kit_ignores_the_size(client: TestClient, project: Path) -> None:
    shipped = (Path(demo_pdk.__file__).parent / "svg" / "mmi1x2.svg").read_text()
    write_cached_symbol(project, "mmi1x2", "cached")
    assert get_symbol(client, "mmi1x2", width=300, height=20) == shipped


@pytest.mark.parametrize(
    ("places", "served"),
    [
        (("kit", "package", "cache"), "kit"),
        (("package", "cache"), "package"),
        (("kit", "cache"), "kit"),
    ],
)
def test_lookup_order(
    client: TestClient, project: Path, tiny_kit: ModuleType, places: tuple[str, ...], served: str
) -> None:
    # The package ships _empty.svg, so "_empty" is the name that every place can hold.
    if "kit" in places:
        (kit_symbol_dir(tiny_kit) / "_empty.svg").write_text(symbol("kit"))
    write_cached_symbol(project, "_empty", "cache")
    expected = packaged_symbol("_empty") if served == "package" else symbol(served)
    assert get_symbol(client, "_empty") == expected


def test_cached_symbol_is_served_before_generation(client: TestClient, project: Path) -> None:
    write_cached_symbol(project, "straight", "cached")
    assert get_symbol(client, "straight") == symbol("cached")


def test_unknown_component_is_redirected_to_the_empty_symbol(client: TestClient, project: Path) -> None:
    assert_redirected(client, "no_such_component")
    followed = client.get("/assets/svg/no_such_component.svg")
    assert (followed.status_code, followed.headers["content-type"]) == (200, SVG_MEDIA_TYPE)
    assert followed.text == packaged_symbol("_empty")
    assert not (project / "build").exists()


def test_component_that_fails_to_build_is_redirected(client: TestClient, tiny_kit: ModuleType) -> None:
    def broken() -> Any:
        raise RuntimeError("cannot draw this")

    tiny_kit.PDK.cells["broken"] = broken
    assert_redirected(client, "broken")


@pytest.mark.parametrize(("boxes", "generated"), [(1, True), (4, True), (5, False), (9, False)])
def test_polygon_count_rule(
    client: TestClient, project: Path, tiny_kit: ModuleType, boxes: int, generated: bool
) -> None:
    tiny_kit.PDK.cells["boxes"] = box_cell(boxes)
    cached = cached_symbol(project, "boxes")
    if generated:
        text = get_symbol(client, "boxes")
        assert text.count("<path ") == boxes
    else:
        assert_redirected(client, "boxes")
    assert not cached.exists()  # a GET writes nothing


def test_generated_symbols_are_served_at_their_size_and_not_kept(client: TestClient, project: Path) -> None:
    (project / "build" / "svg").mkdir(parents=True)
    assert 'width="120" height="80"' in get_symbol(client, "straight", width=120)
    assert 'width="40" height="30"' in get_symbol(client, "straight", width=40, height=30)
    assert 'width="80" height="80" viewBox="0 0 80 80"' in get_symbol(client, "taper")
    assert os.listdir(project / "build" / "svg") == []
    write_cached_symbol(project, "straight", "sized", 120, 80)
    assert get_symbol(client, "straight", width=120) == symbol("sized")


KIT_THAT_FAILS_TO_IMPORT = """
import a_dependency_that_is_not_installed  # noqa: F401
"""


@pytest.mark.parametrize(
    "kit_source",
    [pytest.param(None, id="no-such-package"), pytest.param(KIT_THAT_FAILS_TO_IMPORT, id="broken-package")],
)
def test_kit_package_that_cannot_be_imported(
    client: TestClient, project: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, kit_source: str | None
) -> None:
    name = "unimportable_kit"
    if kit_source is not None:
        write_package(tmp_path / "kits", name, kit_source)
        monkeypatch.syspath_prepend(str(tmp_path / "kits"))
    monkeypatch.setattr(service, "PDK", name)
    assert service._pdk_svg_path("straight") is None
    write_cached_symbol(project, "straight", "cached")
    assert get_symbol(client, "straight") == symbol("cached")
    assert get_symbol(client, "_empty") == packaged_symbol("_empty")


def test_kit_symbol_path(project: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    kit_dir = Path(demo_pdk.__file__).resolve().parent
    assert service._pdk_svg_path("a b") == os.path.join(str(kit_dir), "svg", "a b.svg")
    # a namespace package has no file of its own
    (tmp_path / "kits" / "spread_kit").mkdir(parents=True)
    monkeypatch.syspath_prepend(str(tmp_path / "kits"))
    monkeypatch.setattr(service, "PDK", "spread_kit")
    assert service._pdk_svg_path("straight") is None


def test_concurrent_generation_serves_whole_symbols(project: Path, tiny_kit: ModuleType) -> None:
    tiny_kit.PDK.cells["boxes"] = box_cell(3, ports=(("o1", 0, 1, 2, "optical"), ("o2", 22, 1, 0, "optical")))
    start = threading.Barrier(8)
    bodies: list[bytes] = []

    def request() -> None:
        start.wait()
        bodies.append(service.svg("boxes", 200, 100).body)

    threads = [threading.Thread(target=request) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(bodies) == 8 and not (project / "build").exists()
    for body in bodies:
        assert ElementTree.fromstring(body).tag == "{http://www.w3.org/2000/svg}svg"


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: service.svg(1), "Argument 'component' has incorrect type (expected str, got int)"),
        (lambda: service.svg("x", "80"), "Argument 'width' has incorrect type (expected int, got str)"),
        (lambda: service.svg("x", height=8.0), "Argument 'height' has incorrect type (expected int, got float)"),
        (lambda: service._pdk_svg_path(None), "Argument 'component' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_argument_errors(call: Any, error: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == error


def test_query_that_is_not_an_integer_is_rejected_by_the_framework(client: TestClient, project: Path) -> None:
    assert client.get("/assets/svg/straight.svg", params={"width": "wide"}).status_code == 422
    assert not (project / "build").exists()
