"""Test projects for the schematic editor service.

``quillon.serve.app`` reads the project settings once, when it is imported, so
every test of the editor's routes in one pytest session shares one project.
:func:`use_session_project` (called when pytest starts, before any test
module is imported: this module is a plugin of ``tests/conftest.py``) creates it in a temporary directory and points
``QUILLON_PROJECT_DIR`` at it; the session removes it at the end.

The session project is named :data:`PROJECT_NAME` (its sources live in
``<project>/demo``) and uses the kit :data:`PDK_NAME`. Tests that write files
should keep to a circuit directory of their own (fixture :func:`circuit_dir`).

Fixtures (available to every test through ``pytest_plugins`` in conftest):

- ``project``: the session project directory (:class:`Path`);
- ``schematic``: the imported ``quillon.serve.schematic`` module (routes registered);
- ``client``: a FastAPI test client for the app on a loopback host;
- ``circuit_dir``: a fresh directory below the project's source directory;
- ``outside``: a fresh directory outside the project, for escape tests.
"""

from __future__ import annotations

import os
import re
import shutil
import tempfile
import warnings
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from fastapi.testclient import TestClient

__all__ = [
    "BASE_URL",
    "PDK_NAME",
    "PROJECT_NAME",
    "make_project",
    "test_client",
    "tree",
    "use_session_project",
]

PROJECT_NAME = "demo"
PDK_NAME = "demo_pdk"
#: The test client must name a loopback host: the app refuses any other.
BASE_URL = "http://127.0.0.1"

_session_root: Path | None = None


def make_project(root: Path, name: str | None = PROJECT_NAME, pdk: str | None = PDK_NAME) -> Path:
    """Create a project directory ``root`` with its ``pyproject.toml`` and source directory.

    ``name``/``pdk`` of None leave the key out (the settings' defaults apply).
    """
    root.mkdir(parents=True, exist_ok=True)
    lines = ["[tool.quillon]"]
    if name is not None:
        lines.append(f'name = "{name}"')
    if pdk is not None:
        lines.append(f'pdk = "{pdk}"')
    (root / "pyproject.toml").write_text("\n".join(lines) + "\n", encoding="utf-8")
    (root / (name or root.name)).mkdir(exist_ok=True)
    return root


def use_session_project() -> Path:
    """Create the session's project and point ``QUILLON_PROJECT_DIR`` at it (once)."""
    global _session_root
    if _session_root is None:
        # realpath: the temporary directory may sit behind a link (macOS /tmp).
        base = Path(os.path.realpath(tempfile.mkdtemp(prefix="quillon-tests-")))
        _session_root = make_project(base / "project")
        os.environ["QUILLON_PROJECT_DIR"] = str(_session_root)
    return _session_root


def pytest_configure(config: pytest.Config) -> None:
    use_session_project()


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    if _session_root is not None:
        shutil.rmtree(_session_root.parent, ignore_errors=True)


def test_client(raise_server_exceptions: bool = True) -> TestClient:
    """A test client of the app with the editor's routes, on a loopback host.

    With ``raise_server_exceptions=False`` a failing handler gives the 500
    response a real client sees instead of raising in the test.
    """
    import quillon.serve.schematic  # noqa: F401  (registers the routes)

    with warnings.catch_warnings():
        # The test client warns at import when it runs on plain httpx.
        from starlette.exceptions import StarletteDeprecationWarning

        warnings.simplefilter("ignore", StarletteDeprecationWarning)
        from fastapi.testclient import TestClient
    from quillon.serve.app import app

    return TestClient(app, base_url=BASE_URL, raise_server_exceptions=raise_server_exceptions)


test_client.__test__ = False  # type: ignore[attr-defined]  # not a test


def tree(root: Path) -> set[str]:
    """Every path below ``root`` (relative, links not followed): a snapshot to compare."""
    return {str(p.relative_to(root)) for p in root.rglob("*")}


@pytest.fixture(scope="session")
def project() -> Path:
    """The session project directory (also ``quillon.serve.app.PROJECT_DIR``)."""
    root = use_session_project()
    from quillon.serve.app import PROJECT_DIR

    assert PROJECT_DIR == str(root), "quillon.serve.app was imported before the session project was set"
    return root


@pytest.fixture(scope="session")
def schematic(project: Path) -> ModuleType:
    """``quillon.serve.schematic``, imported: its routes are on the app."""
    import quillon.serve.schematic

    return quillon.serve.schematic


@pytest.fixture(scope="session")
def client(schematic: ModuleType) -> TestClient:
    """A test client for the editor routes."""
    return test_client()


@pytest.fixture
def circuit_dir(project: Path, request: pytest.FixtureRequest) -> Path:
    """A fresh directory of the test's own below the project's source directory."""
    name = re.sub(r"\W+", "_", request.node.name)[:80]
    directory = project / PROJECT_NAME / name
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    return directory


@pytest.fixture
def outside(project: Path, tmp_path: Path) -> Iterator[Path]:
    """A fresh directory outside the project, with one file in it."""
    directory = tmp_path / "outside"
    directory.mkdir()
    (directory / "secret.pic.yml").write_text("secret: 1\n", encoding="utf-8")
    yield directory
