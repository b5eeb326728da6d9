"""``quillon init``: a new project that ``quillon serve``, ``build`` and ``lvs`` work on at once."""

from __future__ import annotations

import re
import shlex
from collections.abc import Callable
from pathlib import Path

import httpx
import pytest
from component_fixtures import write_package
from editor_project import start_server, tree

from quillon.cli.main import main


def init(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    status = main(["init", *argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_the_new_project_serves_builds_and_checks_as_its_readme_says(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    project = tmp_path / "ring-chip"
    status, out, _ = init(capsys, str(project))
    assert status == 0
    assert out.startswith(f"quillon: created the project {project} (kit demo_pdk): ")
    assert tree(project) == {
        "pyproject.toml",
        "README.md",
        ".gitignore",
        "build",
        "ring-chip",
        "ring-chip/demo_mzi.pic.yml",
    }
    assert (project / ".gitignore").read_text() == "build/\n"
    commands = re.findall(r"`(quillon [^`]*)`", (project / "README.md").read_text())
    assert commands == [
        "quillon serve",
        "quillon build ring-chip/demo_mzi.pic.yml -o build/demo_mzi.gds",
        "quillon lvs build/demo_mzi.gds ring-chip/demo_mzi.pic.yml",
    ]
    assert commands == re.findall(r"`(quillon [^`]*)`", out)  # the next steps printed

    monkeypatch.chdir(project)  # the commands as the README gives them, from the project
    monkeypatch.delenv("QUILLON_PROJECT_DIR", raising=False)
    assert main(shlex.split(commands[1])[1:]) == 0
    assert main(shlex.split(commands[2])[1:]) == 0  # clean
    assert "no findings" in capsys.readouterr().out

    server = start_server(project, tmp_path / "server.log")
    try:
        assert server.banner.startswith(f"quillon: serving {project} (kit demo_pdk)")
        with httpx.Client(base_url=server.url, timeout=60) as client:
            assert client.get("/").status_code == 200
            netlist = client.get("/assets/netlists/ring-chip/demo_mzi.json")
            assert netlist.status_code == 200
            assert set(netlist.json()["netlist"]["instances"]) >= {"splitter", "combiner", "heater"}
    finally:
        server.stop()


def test_another_kit_gets_an_example_of_its_own_that_builds_and_checks(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    write_package(tmp_path / "kits", "house_kit", "from demo_pdk import PDK\n")
    monkeypatch.syspath_prepend(str(tmp_path / "kits"))
    project = tmp_path / "chip"
    assert init(capsys, str(project), "--kit", "house_kit")[0] == 0
    assert 'name = "house_kit"' in (project / "pyproject.toml").read_text()
    circuit, layout = project / "chip" / "example.pic.yml", project / "build" / "example.gds"
    assert main(["build", str(circuit), "-o", str(layout), "--project-dir", str(project)]) == 0
    assert main(["lvs", str(layout), str(circuit), "--project-dir", str(project)]) == 0


@pytest.mark.parametrize(
    ("before", "after"),
    [("*.log", "*.log\nbuild/\n"), ("*.log\n", "*.log\nbuild/\n"), ("/build\n*.gds\n", "/build\n*.gds\n")],
)
def test_an_existing_gitignore_gets_the_build_line_and_a_readme_is_kept(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], before: str, after: str
) -> None:
    (tmp_path / ".gitignore").write_text(before)
    (tmp_path / "README.md").write_text("# Our chip\n")
    status, out, _ = init(capsys, str(tmp_path))
    assert status == 0 and (".gitignore (build/ added)" in out) == (before != after)
    assert (tmp_path / ".gitignore").read_text() == after
    assert (tmp_path / "README.md").read_text() == "# Our chip\n"


Setup = Callable[[Path], None]
REFUSALS: dict[str, tuple[Setup, list[str], str]] = {
    "a project already": (
        lambda p: (p.mkdir(), (p / "pyproject.toml").write_text("[tool.other]\n")),
        [],
        "holds a project already",
    ),
    "the example already": (
        lambda p: ((p / "p").mkdir(parents=True), (p / "p" / "demo_mzi.pic.yml").write_text("instances: {}\n")),
        [],
        "demo_mzi.pic.yml' exists already",
    ),
    "a file": (lambda p: p.write_text("x"), [], "exists and is not a directory"),
    "a kit name that cannot be imported": (lambda p: None, ["--kit", "my-kit"], "invalid kit name 'my-kit'"),
    "a kit that is not installed": (
        lambda p: None,
        ["--kit", "no_such_kit.sub"],
        "kit 'no_such_kit.sub' is not installed",
    ),
}


@pytest.mark.parametrize(("setup", "options", "fragment"), REFUSALS.values(), ids=REFUSALS.keys())
def test_refusals_write_nothing(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], setup: Setup, options: list[str], fragment: str
) -> None:
    project = tmp_path / "p"
    setup(project)
    before = tree(tmp_path)
    status, out, err = init(capsys, str(project), *options)
    assert (status, out) == (2, "")
    assert err.startswith("quillon init: error: ") and fragment in err and err.count("\n") == 1
    assert tree(tmp_path) == before
