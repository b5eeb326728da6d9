"""Fixtures for the editor's component routes (ports, settings, routing, symbols).

The service module reads its host values (``PDK``, ``PROJECT_DIR``,
``SETTINGS``) on every request, so each test points them at a project
directory of its own, and optionally at a small kit package written for the
test. Import the fixtures you use into the test module::

    from component_fixtures import client, project, tiny_kit  # noqa: F401
"""

from __future__ import annotations

import importlib
import sys
import textwrap
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType
from typing import Any

import cellgrid as cg
import pytest
from fastapi.testclient import TestClient

import quillon.serve.schematic as service
from quillon.serve.app import app
from quillon.settings import get_settings

kdb = cg.kdb

#: Name of the project's source directory below the project directory.
SOURCE_DIR = "demo"
TINY_KIT = "tiny_kit"


@pytest.fixture(scope="session")
def client() -> TestClient:
    """An HTTP client of the service app (loopback host, as the app requires)."""
    return TestClient(app, base_url="http://127.0.0.1")


@pytest.fixture
def project(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """An empty project using the demo kit; the service serves it for this test."""
    root = tmp_path / "project"
    (root / SOURCE_DIR).mkdir(parents=True)
    (root / "pyproject.toml").write_text(
        f'[tool.quillon]\nname = "{SOURCE_DIR}"\n\n[tool.quillon.pdk]\nname = "demo_pdk"\n'
    )
    monkeypatch.setattr(service, "PROJECT_DIR", str(root))
    monkeypatch.setattr(service, "SETTINGS", get_settings(root))
    monkeypatch.setattr(service, "PDK", "demo_pdk")
    return root


TINY_KIT_SOURCE = '''
"""A kit made by a test: demo cross-sections and layers, cells added by the test."""
import demo_pdk
import maskwright as mw

PDK = mw.Pdk(
    "{name}",
    cells={{}},
    cross_sections={{"strip": demo_pdk.strip, "rib": demo_pdk.rib, "cross_section": demo_pdk.strip}},
    layers=demo_pdk.LAYER,
)
'''


def write_package(parent: Path, name: str, source: str) -> Path:
    """Write the package ``name`` (its ``__init__.py``) below ``parent``."""
    package = parent / name
    package.mkdir(parents=True)
    (package / "__init__.py").write_text(textwrap.dedent(source))
    return package


@pytest.fixture
def tiny_kit(project: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[ModuleType]:
    """A kit package of its own, with no cells; the test adds them to ``PDK.cells``."""
    kits = tmp_path / "kits"
    write_package(kits, TINY_KIT, TINY_KIT_SOURCE.format(name=TINY_KIT))
    monkeypatch.syspath_prepend(str(kits))
    importlib.invalidate_caches()
    monkeypatch.setattr(service, "PDK", TINY_KIT)
    module = importlib.import_module(TINY_KIT)
    yield module
    sys.modules.pop(TINY_KIT, None)


def box_cell(boxes: int = 1, ports: tuple[tuple[str, float, float, int, str], ...] = ()) -> Callable[..., Any]:
    """A cell function drawing ``boxes`` separate 2 x 2 µm boxes on WG, 10 µm
    apart, with ``ports`` given as (name, x, y, rotation in quarter turns, type)."""

    def cell() -> cg.DKCell:
        c = cg.DKCell()
        layer = c.kcl.layer(kdb.LayerInfo(1, 0, "WG"))
        for i in range(boxes):
            c.shapes(layer).insert(kdb.DBox(10 * i, 0, 10 * i + 2, 2))
        dbu = c.kcl.dbu
        for name, x, y, rot, port_type in ports:
            trans = kdb.Trans(rot, False, round(x / dbu), round(y / dbu))
            c.create_port(name, trans, 0.5, kdb.LayerInfo(1, 0, "WG"), port_type)
        return c

    return cell
