"""``quillon.check``, the check for scripts and notebooks: paths, loaded cells, kits, results."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import klayout.db as kdb
import pytest
from klayout.rdbcore import ReportDatabase

import cellgrid as cg
import demo_pdk
import findings_support as fs
import quillon
from quillon import demo
from quillon.demo import make_demo
from layout_builders import metal, new_cell, place
from quillon.checking import PARALLEL_FROM
from quillon.core import lvs
from quillon.findings import read_findings

#: The kinds of the demo's findings, in the report's order.
DEMO_KINDS = [
    "open_port",
    "unknown_connection",
    "missing_connection",
    "missing_connection",
    "missing_instance",
    "unknown_instance",
    "mismatched_instance",
    "unknown_port",
    "settings_mismatch",
]


class PathLike:
    """A path object of a user's own, not a pathlib.Path."""

    def __init__(self, path: Path) -> None:
        self._path = path

    def __fspath__(self) -> str:
        return str(self._path)


def loaded_cell(path: Path) -> cg.DKCell:
    kcl = cg.KCLayout(fs.unique_name("api"))
    [top] = kcl.read(path)
    return top


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param(lambda: str(demo.LAYOUT), id="str"),
        pytest.param(lambda: demo.LAYOUT, id="Path"),
        pytest.param(lambda: PathLike(demo.LAYOUT), id="PathLike"),
        pytest.param(lambda: loaded_cell(demo.LAYOUT), id="loaded cell"),
    ],
)
def test_check_of_the_demo_from_any_layout_form(layout: Any, tmp_path: Path) -> None:
    result = quillon.check(layout(), PathLike(demo.REFERENCE), kit="demo_pdk")
    assert (result.clean, result.exit_status, result.cell) == (False, 1, "demo_splitter")
    assert [finding.kind for finding in result.findings] == DEMO_KINDS
    assert isinstance(result.report_database, ReportDatabase) and result.rdb.num_items() == len(DEMO_KINDS)
    assert result.counts["Missing Connections"] == 2 and result.counts["Mismatched Settings"] == 1
    missing = next(finding for finding in result.findings if finding.kind == "missing_instance")
    assert (missing.category, missing.texts) == ("Missing Instances", ("Cannot find Instance 'gc_bot' in the layout",))
    assert all(len(box) == 4 for finding in result.findings for box in finding.markers)
    assert (result.kit.name, result.kit.fallback, result.notes) == ("demo_pdk", False, ())

    document = json.loads(result.to_json())
    assert document["report_file"] is None and document["kit"] == "demo_pdk" and document["kit_fallback"] is False
    assert document["layout"] == (None if isinstance(layout(), cg.DKCell) else str(demo.LAYOUT))
    assert [finding["kind"] for finding in document["findings"]] == DEMO_KINDS
    saved = result.save(tmp_path / "r.lyrdb")
    reread = ReportDatabase("")
    reread.load(str(saved))
    assert read_findings(reread).items == result.findings
    assert json.loads(result.to_json())["report_file"] == str(saved)
    assert "with kit demo_pdk" in reread.description


def test_clean_layout_and_chosen_cell(tmp_path: Path) -> None:
    layout, reference = make_demo.write_demo(tmp_path, fs.unique_name("clean_splitter"), faulty=False)
    result = quillon.check(layout, reference, cell=layout.stem, kit=demo_pdk, settings_tolerance=0)
    assert (result.clean, result.exit_status, result.findings) == (True, 0, ())
    assert set(result.counts.values()) == {0} and result.kit.name == "demo_pdk"


@pytest.mark.parametrize(
    "setup, fallback, note",
    [
        pytest.param("", True, "it has no pyproject.toml", id="no settings file"),
        pytest.param(
            '[project]\nname = "x"\n', True, "its pyproject.toml names none under [tool.quillon]", id="no kit named"
        ),
        pytest.param('[tool.quillon]\npdk = "demo_pdk"\n', False, None, id="kit named"),
    ],
)
def test_kit_from_the_project_and_the_fallback_note(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, setup: str, fallback: bool, note: str | None
) -> None:
    if setup:
        (tmp_path / "pyproject.toml").write_text(setup)
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("QUILLON_PROJECT_DIR", raising=False)
    for project in (None, tmp_path):  # the current directory, or the project named
        result = quillon.check(demo.LAYOUT, demo.REFERENCE, project=project)
        assert (result.kit.name, result.kit.fallback) == ("demo_pdk", fallback)
        notes = [text for text in result.notes if text.startswith("no kit is named")]
        assert len(notes) == fallback and (note is None or note in notes[0])
        assert json.loads(result.to_json())["notes"] == list(result.notes)
    # a kit given is used whatever the project says
    assert quillon.check(demo.LAYOUT, demo.REFERENCE, kit="demo_pdk", project=tmp_path).notes == ()


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        pytest.param(
            {"layout": kdb.Layout()},
            TypeError,
            "got a plain KLayout Layout, which lacks the ports",
            id="KLayout layout",
        ),
        pytest.param(
            {"layout": "CELL"},
            TypeError,
            "got a plain KLayout Cell, which lacks the ports and instance names",
            id="KLayout cell",
        ),
        pytest.param(
            {"layout": 3},
            TypeError,
            "layout must be a layout file's path (str or os.PathLike) or a cellgrid cell, got int",
            id="number",
        ),
        pytest.param({"layout": b"demo.gds"}, TypeError, "got bytes", id="bytes path"),
        pytest.param(
            {"reference": None},
            TypeError,
            "reference must be a path (str or os.PathLike), got NoneType",
            id="no reference",
        ),
        pytest.param(
            {"kit": 1}, TypeError, "kit must be a kit's package name (str) or the package, got int", id="kit number"
        ),
        pytest.param(
            {"layout": "LOADED", "cell": "x"},
            TypeError,
            "a loaded cell is checked as it is",
            id="cell of a loaded cell",
        ),
        pytest.param(
            {"kit": "no_such_kit"}, quillon.CheckError, "unknown process design kit 'no_such_kit'", id="unknown kit"
        ),
        pytest.param({"kit": ""}, quillon.CheckError, "the kit name is empty", id="empty kit"),
        pytest.param({"project": "MISSING"}, quillon.CheckError, "project directory", id="missing project"),
        pytest.param(
            {"cell": "nope"}, quillon.CheckError, "has no cell 'nope' (top cells: demo_splitter)", id="unknown cell"
        ),
        pytest.param({"reference": "MISSING"}, quillon.CheckError, "does not exist", id="missing reference"),
        pytest.param(
            {"settings_tolerance": -1.0},
            quillon.CheckError,
            "the settings tolerance must be a number of 0 or more",
            id="negative tolerance",
        ),
        pytest.param({"threads": 0}, quillon.CheckError, "threads must be 1 or more, got 0", id="no cores"),
        pytest.param(
            {"threads": "2"}, TypeError, "threads must be a number of cores (int), got str", id="cores as text"
        ),
    ],
)
def test_bad_arguments_say_what_is_wrong(
    tmp_path: Path, arguments: dict[str, Any], error: type[Exception], message: str
) -> None:
    given: dict[str, Any] = {"layout": demo.LAYOUT, "reference": demo.REFERENCE, "kit": "demo_pdk", **arguments}
    if given["layout"] == "CELL":
        layout = kdb.Layout()
        layout.read(str(demo.LAYOUT))
        given["layout"] = layout.top_cell()
    elif given["layout"] == "LOADED":
        given["layout"] = loaded_cell(demo.LAYOUT)
    for key in ("reference", "project"):
        if given.get(key) == "MISSING":
            given[key] = tmp_path / "missing"
    if "project" in arguments:
        del given["kit"]
    layout, reference = given.pop("layout"), given.pop("reference")
    with pytest.raises(error) as raised:
        quillon.check(layout, reference, **given)
    assert message in str(raised.value) and "\n" not in str(raised.value)


def test_stages_are_told_in_order() -> None:
    seen: list[str] = []
    quillon.check(demo.LAYOUT, demo.REFERENCE, kit="demo_pdk", on_stage=seen.append)
    from quillon.checking import CHECK_STAGES

    assert seen == list(CHECK_STAGES)


def test_the_package_root_stays_light_and_the_service_checks_without_the_command_line(tmp_path: Path) -> None:
    """Importing quillon loads no extension module; the editor's check never loads `quillon lvs`."""
    project = tmp_path / "proj"
    (project / "src").mkdir(parents=True)
    (project / "pyproject.toml").write_text('[tool.quillon]\nname = "src"\npdk = "demo_pdk"\n')
    (project / "src" / "pair.pic.yml").write_text(
        "instances: {a: {component: straight}, b: {component: straight}}\n"
        "connections: {'a,o2': 'b,o1'}\nroutes: {}\nnets: []\nports: {o1: 'a,o1', o2: 'b,o2'}\n"
    )
    script = textwrap.dedent(
        """
        import asyncio, json, sys
        import quillon
        light = "quillon.core.lvs" not in sys.modules and "quillon.checking" not in sys.modules
        from quillon.serve import editor_routes
        answer = json.loads(asyncio.run(editor_routes.build_and_check("src/pair")).body)
        print(json.dumps({"light": light, "cli": sorted(m for m in sys.modules if m.startswith("quillon.cli.lvs")),
                          "findings": answer["findings"], "check": callable(quillon.check)}))
        """
    )
    packages = os.pathsep.join([str(Path(quillon.__file__).resolve().parents[1]), *sys.path])
    env = dict(os.environ, QUILLON_PROJECT_DIR=str(project), PYTHONPATH=packages)
    done = subprocess.run(
        [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=300, cwd=project
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == {"light": True, "cli": [], "findings": [], "check": True}


#: Forks of this process: the check of a large layout on two cores makes one.
FORKS: list[int] = []
os.register_at_fork(before=lambda: FORKS.append(os.getpid()))


def pad_rows(pairs: int, broken: int, directory: Path) -> tuple[cg.DKCell, Path]:
    """`pairs` pairs of pads, each joined by metal but for pair `broken`, and
    the reference netlist that joins every pair."""
    top = new_cell("pad_rows")
    instances, nets = {}, []
    for k in range(pairs):
        a, b = place(top, "pad", f"a{k}", x=0, y=200 * k), place(top, "pad", f"b{k}", x=200, y=200 * k)
        if k != broken:
            metal(top, a["e3"], b["e1"])
        instances |= {f"a{k}": {"component": "pad"}, f"b{k}": {"component": "pad"}}
        nets.append({"p1": f"a{k},e3", "p2": f"b{k},e1"})
    reference = directory / "pad_rows.pic.yml"
    empty: dict[str, Any] = {"connections": {}, "routes": {}, "ports": {}}
    reference.write_text(json.dumps(empty | {"instances": instances, "nets": nets}))  # JSON is YAML
    return top, reference


def test_a_large_layout_is_checked_on_two_cores_as_on_one(tmp_path: Path) -> None:
    top, reference = pad_rows(PARALLEL_FROM // 2, broken=7, directory=tmp_path)
    FORKS.clear()
    two = quillon.check(top, reference, kit="demo_pdk", threads=2)
    assert len(FORKS) == 1  # the electrical stage ran in a process of its own
    one = quillon.check(top, reference, kit="demo_pdk", threads=1)
    assert len(FORKS) == 1
    assert two.findings == one.findings and [f.kind for f in one.findings] == ["missing_connection"]
    with pytest.raises(ChildProcessError):  # nothing left behind
        os.waitpid(-1, os.WNOHANG)


def test_an_error_of_the_electrical_process_is_raised_as_itself(tmp_path: Path) -> None:
    """A labelled pin that no named instance stands for stops the check, on two cores as on one."""
    top = new_cell()
    p, q = place(top, "pad", "p"), place(top, "pad", None, x=200)
    metal(top, p["e3"], q["e1"])
    reference = tmp_path / "r.pic.yml"
    reference.write_text("instances: {p: {component: pad}}\nconnections: {}\nroutes: {}\nnets: []\nports: {}\n")
    for threads in (2, 1):
        with pytest.raises(ValueError, match="^Could not find pin$"):
            lvs.optical_lvs(top, str(reference), threads=threads)
    with pytest.raises(ChildProcessError):
        os.waitpid(-1, os.WNOHANG)
