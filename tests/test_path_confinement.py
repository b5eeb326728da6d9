"""The file routes stay inside the project: escapes are refused (404) and create nothing.

Also the app's guards in front of them: a foreign Host and a cross-origin save
are refused before any file is touched.
"""

from __future__ import annotations

import json
import os
import shutil
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType

import pytest
from editor_project import PROJECT_NAME, tree
from fastapi.testclient import TestClient

BODY = b'{"netlist": {"a": 1}, "schematic": {"b": 2}}'
OUTSIDE_TEXT = "secret: 1\n"

# Each case gives the URL path after /assets/netlists/ (without ".json"), from
# the project, the test's circuit directory (below <project>/demo) and a
# directory outside the project. Links are made by `links`.
Case = Callable[[Path, Path, Path], str]


def under(circuit_dir: Path, project: Path) -> str:
    return str(circuit_dir.relative_to(project))


ESCAPES: dict[str, Case] = {
    "encoded dot-dot": lambda p, c, o: "%2e%2e/escaped",
    "encoded dot-dot upper case": lambda p, c, o: "%2E%2E/%2E%2E/escaped",
    "dot-dot below the circuit": lambda p, c, o: under(c, p) + "/%2e%2e/%2e%2e/%2e%2e/escaped",
    "encoded slashes": lambda p, c, o: PROJECT_NAME + "%2f..%2f..%2fescaped",
    "dot-dot with encoded slash": lambda p, c, o: "..%2fescaped",
    "absolute elsewhere": lambda p, c, o: str(o / "secret"),
    "absolute encoded": lambda p, c, o: str(o / "secret").replace("/", "%2f"),
    "absolute root": lambda p, c, o: "/escaped",
    "sibling prefix, absolute": lambda p, c, o: f"{p}-evil/x",
    "sibling prefix, relative": lambda p, c, o: f"%2e%2e/{p.name}-evil/x",
    "the project itself": lambda p, c, o: str(p),
    "directory link out": lambda p, c, o: under(c, p) + "/out/secret",
    "directory link out, new file": lambda p, c, o: under(c, p) + "/out/sub/new",
    "file link out": lambda p, c, o: under(c, p) + "/leak",
    "schematic link out": lambda p, c, o: under(c, p) + "/half",
    "link to the sibling": lambda p, c, o: under(c, p) + "/sibling/x",
    "link to the parent": lambda p, c, o: under(c, p) + "/up/escaped",
    "NUL character": lambda p, c, o: under(c, p) + "/a%00b",
}

INSIDE: dict[str, Case] = {
    "relative": lambda p, c, o: under(c, p) + "/ok",
    "dot segments that stay inside": lambda p, c, o: under(c, p) + "/%2e%2e/" + c.name + "/./ok",
    "absolute inside": lambda p, c, o: str(c / "ok"),
    "prefix-like name inside": lambda p, c, o: under(c, p) + "/demo-evil/ok",
    "link inside": lambda p, c, o: under(c, p) + "/inner/ok",
}


@pytest.fixture
def links(project: Path, circuit_dir: Path, outside: Path) -> Path:
    """Links out of (and within) the project below the circuit directory; a sibling project directory."""
    sibling = project.parent / f"{project.name}-evil"
    sibling.mkdir(exist_ok=True)
    (circuit_dir / "out").symlink_to(outside)
    (circuit_dir / "leak.pic.yml").symlink_to(outside / "secret.pic.yml")
    (circuit_dir / "half.scm.yml").symlink_to(outside / "half.scm.yml")
    (circuit_dir / "sibling").symlink_to(sibling)
    (circuit_dir / "up").symlink_to(project.parent)
    (circuit_dir / "real").mkdir()
    (circuit_dir / "inner").symlink_to(circuit_dir / "real")
    return sibling


def snapshot(*roots: Path) -> list[set[str]]:
    return [tree(root) for root in roots]


@pytest.mark.parametrize("method", ["GET", "POST"])
@pytest.mark.parametrize("case", ESCAPES.values(), ids=ESCAPES.keys())
def test_escapes_are_refused_and_create_nothing(
    client: TestClient, project: Path, circuit_dir: Path, outside: Path, links: Path, case: Case, method: str
) -> None:
    url = f"/assets/netlists/{case(project, circuit_dir, outside)}.json"
    before = snapshot(project, outside, links, project.parent)
    response = client.request(method, url, content=BODY if method == "POST" else None)
    assert response.status_code == 404
    assert response.headers["content-type"].startswith("text/plain")
    assert "\n" not in response.text.strip()
    assert response.text.startswith("Not found: the path ")
    assert "outside the project directory" in response.text or "control character" in response.text
    assert snapshot(project, outside, links, project.parent) == before
    assert (outside / "secret.pic.yml").read_text() == OUTSIDE_TEXT


@pytest.mark.parametrize("case", INSIDE.values(), ids=INSIDE.keys())
def test_paths_inside_the_project_are_served(
    client: TestClient, project: Path, circuit_dir: Path, outside: Path, links: Path, case: Case
) -> None:
    path = case(project, circuit_dir, outside)
    url = f"/assets/netlists/{path}.json"
    response = client.post(url, content=BODY)
    assert response.status_code == 200, response.text
    assert client.get(url).json() == {"netlist": {"a": 1}, "schematic": {"b": 2}}
    written = [p for p in circuit_dir.rglob("ok.pic.yml")]
    assert len(written) == 1 and not written[0].is_symlink()


def test_direct_calls_are_confined_too(schematic: ModuleType, project: Path, outside: Path) -> None:
    path = str(outside / "secret")
    for response in (schematic.get_netlist(path), schematic.post_netlist(BODY.decode(), path=path)):
        assert response.status_code == 404
    assert tree(outside) == {"secret.pic.yml"}


def test_refusal_quotes_the_path_on_one_line(client: TestClient) -> None:
    response = client.get("/assets/netlists/%2e%2e/a%09b.json")
    assert response.status_code == 404
    assert response.text == "Not found: the path '../a\\tb' holds a control character or a line separator."


# --------------------------------------------------------------------------- the app's guards


@pytest.mark.parametrize(
    ("headers", "status"),
    [
        ({"host": "evil.example"}, 400),
        ({"host": "127.0.0.1.nip.io"}, 400),
        ({"origin": "http://evil.example"}, 403),
        ({"origin": "http://localhost"}, 403),
        ({"origin": "null"}, 403),
        ({"origin": "http://127.0.0.1"}, 200),  # the same origin saves
    ],
)
def test_only_same_origin_saves_on_the_own_host_touch_files(
    client: TestClient, project: Path, circuit_dir: Path, headers: dict[str, str], status: int
) -> None:
    url = f"/assets/netlists/{circuit_dir.relative_to(project)}/c.json"
    before = tree(project)
    assert client.post(url, content=BODY, headers=headers).status_code == status
    assert os.path.isfile(circuit_dir / "c.pic.yml") == (status == 200)
    if status != 200:
        assert tree(project) == before


# --------------------------------------------------------------------------- caches and special files

SECRET = "<svg>secret outside the project</svg>"
SECRET_PORTS = {"mmi1x2": {"o1": "n", "o2": "n", "o3": "n"}}
Setup = Callable[[Path, Path], None]


def link(at: Path, to: Path) -> None:
    at.parent.mkdir(parents=True, exist_ok=True)
    at.symlink_to(to)


def fifo(at: Path) -> None:
    at.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(at)


# Each case: what to set up (in the project, outside it), the request, and the
# status it gets. Whatever the status, nothing outside is read or written.
LINK_CASES: dict[str, tuple[Setup, str, str, int]] = {
    "cached symbol links out": (
        lambda p, o: link(p / "build/svg/evil.svg", o / "secret.svg"),
        "GET",
        "/assets/svg/evil.svg",
        307,
    ),
    "symbol cache directory links out": (lambda p, o: link(p / "build/svg", o), "GET", "/assets/svg/straight.svg", 200),
    "build directory links out": (lambda p, o: link(p / "build", o), "GET", "/assets/svg/straight.svg?width=90", 200),
    "ports cache links out": (
        lambda p, o: link(p / "build/gds/pdk/ports/mmi1x2.json", o / "ports.json"),
        "GET",
        "/assets/ports/mmi1x2.json",
        200,
    ),
    "ports cache directory links out": (
        lambda p, o: link(p / "build/gds/pdk", o),
        "GET",
        "/assets/ports/mmi1x2.json",
        200,
    ),
    "netlist is a named pipe": (
        lambda p, o: fifo(p / PROJECT_NAME / "pipe.pic.yml"),
        "GET",
        f"/assets/netlists/{PROJECT_NAME}/pipe.json",
        409,
    ),
    "schematic is a named pipe, save": (
        lambda p, o: fifo(p / PROJECT_NAME / "pipe.scm.yml"),
        "POST",
        f"/assets/netlists/{PROJECT_NAME}/pipe.json",
        200,
    ),
    "netlist links to a device": (
        lambda p, o: link(p / PROJECT_NAME / "zero.pic.yml", Path("/dev/zero")),
        "GET",
        f"/assets/netlists/{PROJECT_NAME}/zero.json",
        404,
    ),
}


@pytest.fixture
def clean_build(project: Path) -> Iterator[None]:
    """The session project without caches and test files, before and after the test."""

    def clean() -> None:
        for path in (
            project / "build",
            project / PROJECT_NAME / "pipe.pic.yml",
            project / PROJECT_NAME / "pipe.scm.yml",
            project / PROJECT_NAME / "zero.pic.yml",
        ):
            if path.is_symlink() or path.is_file() or path.is_fifo():
                path.unlink()
            elif path.exists():
                shutil.rmtree(path)

    clean()
    yield
    clean()


@pytest.mark.parametrize("case", LINK_CASES.values(), ids=LINK_CASES.keys())
def test_caches_and_special_files_never_reach_outside(
    client: TestClient, project: Path, outside: Path, clean_build: None, case: tuple[Setup, str, str, int]
) -> None:
    setup, method, url, status = case
    (outside / "secret.svg").write_text(SECRET)
    (outside / "ports.json").write_text(json.dumps(SECRET_PORTS))
    (outside / "ports").mkdir()
    (outside / "ports" / "mmi1x2.json").write_text(json.dumps(SECRET_PORTS))
    setup(project, outside)
    before = tree(outside)
    response = client.request(method, url, content=BODY if method == "POST" else None, follow_redirects=False)
    assert response.status_code == status, response.text
    assert "secret" not in response.text
    if "/ports/" in url:
        assert response.json() == {}
    if status >= 400:
        assert response.text.count("\n") == 0 and response.text
    assert tree(outside) == before


def test_python_routes_get_the_same_confinement(project: Path, circuit_dir: Path, outside: Path, links: Path) -> None:
    from quillon.serve import confined

    inside = str(circuit_dir.relative_to(project))
    confined.write_file(f"{inside}/inner/note.txt", b"kept")
    assert (circuit_dir / "real" / "note.txt").read_bytes() == b"kept"
    assert confined.read_file(f"{inside}/inner/note.txt") == b"kept"
    assert confined.read_file(f"{inside}/missing.txt") is None
    for escape in (f"{inside}/out/secret.pic.yml", f"{inside}/leak.pic.yml", "../x", f"{inside}/up/x"):
        with pytest.raises(PermissionError, match="leads outside the project directory"):
            confined.read_file(escape)
        with pytest.raises(PermissionError):
            confined.write_file(escape, b"x")
    os.mkfifo(circuit_dir / "pipe")
    with pytest.raises(OSError, match="is not a regular file"):
        confined.read_file(f"{inside}/pipe")
    assert (outside / "secret.pic.yml").read_text() == OUTSIDE_TEXT
    assert tree(outside) == {"secret.pic.yml"}
