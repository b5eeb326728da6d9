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

:func:`start_server` runs ``quillon serve`` for a project as users run it, on a
real socket (:class:`Server`).
"""

from __future__ import annotations

import contextlib
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from fastapi.testclient import TestClient

__all__ = [
    "BASE_URL",
    "STARTUP_LIMIT",
    "Server",
    "PDK_NAME",
    "PROJECT_NAME",
    "make_project",
    "start_server",
    "swapping_for_a_link",
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


STARTUP_LIMIT = 120  # seconds: only guards against a server that never starts


def free_port() -> int:
    """A loopback port free right now (another process may still take it first)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Server:
    """A `quillon serve` process for a project; `url` ends in "/".

    ``options`` are added to the command line; ``preexec`` runs in the child
    before it starts (resource limits, signal dispositions).
    """

    def __init__(self, project: Path, log: Path, *options: str, preexec: Callable[[], None] | None = None) -> None:
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
        env.pop("QUILLON_PROJECT_DIR", None)
        self.log = log.open("w")
        command = [sys.executable, "-m", "quillon", "serve", "--project-dir", str(project), "--port", str(free_port())]
        self.process = subprocess.Popen(
            [*command, *options],
            cwd=project.parent,
            env=env,
            stdout=subprocess.PIPE,
            stderr=self.log,
            text=True,
            preexec_fn=preexec,
        )
        lines: queue.Queue[str] = queue.Queue()
        threading.Thread(target=self._read_output, args=(lines,), daemon=True).start()
        try:
            self.banner = lines.get(timeout=STARTUP_LIMIT)
        except queue.Empty:
            self.banner = ""
        if not self.banner:
            self.stop()
            raise RuntimeError(f"the server did not start: {log.read_text()}")
        self.url = self.banner.split(" at ")[-1].strip()
        self.port = int(self.url.rstrip("/").rsplit(":", 1)[1])

    def _read_output(self, lines: queue.Queue[str]) -> None:
        """Hands on the banner line, then keeps draining the output (the access
        log), so that a server answering many requests never stalls on a full pipe."""
        stdout = self.process.stdout
        assert stdout is not None
        lines.put(stdout.readline())
        with contextlib.suppress(ValueError, OSError):  # closed by stop()
            for _ in stdout:
                pass

    def stop(self, kill: bool = False) -> None:
        """Terminate the server (SIGTERM), or kill it outright (SIGKILL) with ``kill``."""
        if kill:
            self.process.kill()
        else:
            self.process.terminate()
        try:
            self.process.wait(timeout=STARTUP_LIMIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()
        self.log.close()


def start_server(project: Path, log: Path, *options: str, preexec: Callable[[], None] | None = None) -> Server:
    """A started :class:`Server`; tries another port when the free one was taken meanwhile."""
    for attempt in range(3):
        try:
            return Server(project, log, *options, preexec=preexec)
        except RuntimeError as exc:
            if "cannot listen" not in str(exc) or attempt == 2:
                raise
    raise AssertionError("unreachable")


@contextlib.contextmanager
def swapping_for_a_link(directory: Path, outside: Path) -> Iterator[None]:
    """While the block runs, a thread keeps swapping `directory` for a link to
    `outside` and back, as an attacker racing the service would."""
    aside = directory.with_name(directory.name + "-aside")
    stop = threading.Event()

    def flip() -> None:
        while not stop.is_set():
            try:
                directory.rename(aside)
                directory.symlink_to(outside)
                directory.unlink()
                aside.rename(directory)
            except OSError:  # the service created the directory meanwhile: start over
                if directory.is_symlink():
                    directory.unlink()
                if aside.exists() and not directory.exists():
                    aside.rename(directory)

    flipper = threading.Thread(target=flip)
    flipper.start()
    try:
        yield
    finally:
        stop.set()
        flipper.join()


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
