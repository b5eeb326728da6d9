"""``quillon lvs`` through a real subprocess: exit status, output and report file."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from klayout.rdbcore import ReportDatabase

import findings_support as fs
import quillon
from quillon import demo
from quillon.demo import make_demo

#: Where this test run imports quillon from, so that the subprocess does too.
PACKAGES = os.pathsep.join([str(Path(quillon.__file__).resolve().parents[1]), *sys.path])


def quillon_lvs(*args: str | Path, cwd: Path, project: Path | None = None) -> subprocess.CompletedProcess[str]:
    """Run ``python -m quillon lvs ARGS`` in `cwd`, with the kit of `project` (default: `cwd`)."""
    env = dict(os.environ, QUILLON_PROJECT_DIR=str(project or cwd), PYTHONPATH=PACKAGES)
    return subprocess.run(
        [sys.executable, "-m", "quillon", "lvs", *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.fixture
def project(tmp_path: Path) -> Path:
    """A project directory using the demo kit."""
    (tmp_path / "pyproject.toml").write_text('[tool.quillon]\nname = "p"\npdk = "demo_pdk"\n')
    return tmp_path


@pytest.fixture
def clean_files(project: Path) -> tuple[Path, Path]:
    """A splitter layout that matches its reference netlist."""
    return make_demo.write_demo(project / "clean", fs.unique_name("clean_splitter"), faulty=False)


def write(path: Path, text: str) -> Path:
    path.write_text(text)
    return path


NETLIST = "instances: {}\nconnections: {}\nroutes: {}\nnets: []\nports: {}\n"


def load(path: Path) -> ReportDatabase:
    rdb = ReportDatabase("")
    rdb.load(str(path))
    return rdb


def test_demo_without_arguments_reports_every_category(tmp_path: Path) -> None:
    result = quillon_lvs(cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    report = tmp_path / "demo_splitter.lyrdb"
    assert {title: len(items) for title, items in fs.findings(load(report)).items()} == {
        "Unknown Connections": 2,
        "Missing Connections": 2,
        "Missing Instances": 1,
        "Unknown Instances": 1,
        "Mismatched Instances": 1,
        "Mismatched Ports": 1,
    }
    lines = result.stdout.splitlines()
    assert lines[0] == "LVS Diff - demo_splitter: 8 findings"
    for title, count in (("Unknown Connections", 2), ("Missing Connections", 2), ("Missing Instances", 1), ("Unknown Instances", 1)):
        assert f"  {title}: {count}" in lines
    assert "    Cannot find Instance 'gc_bot' in the layout" in lines
    assert f"Open it in KLayout: klayout {demo.LAYOUT} -m {report}" in lines
    assert result.stderr == ""


def test_clean_layout_exits_0_and_writes_report_beside_layout(project: Path, clean_files: tuple[Path, Path]) -> None:
    layout, reference = clean_files
    result = quillon_lvs(layout, reference, cwd=project)
    assert result.returncode == 0, result.stderr
    report = layout.with_suffix(".lyrdb")
    assert load(report).num_items() == 0
    assert result.stdout.splitlines()[0] == f"LVS Diff - {layout.stem}: no findings"


def test_findings_exit_1_with_chosen_cell_and_report(project: Path) -> None:
    report = project / "out" / "r.lyrdb"
    report.parent.mkdir()
    result = quillon_lvs(demo.LAYOUT, demo.REFERENCE, "--cell", "demo_splitter", "-o", report, cwd=project)
    assert result.returncode == 1, result.stderr
    assert load(report).num_items() == 8
    assert "    ... and" not in result.stdout  # no category has more than three items


def test_reference_sharing_nothing_is_a_finding_not_an_error(project: Path) -> None:
    """A reference that names nothing of the layout is a result (exit 1), not bad input.

    Nothing is shared, so the difference reports whole mappings; still every
    layout net is an unknown connection and every layout instance an unknown one.
    """
    layout = project / "splitter.gds"
    layout.write_bytes(demo.LAYOUT.read_bytes())
    reference = write(project / "other.pic.yml", NETLIST)
    result = quillon_lvs(layout, reference, cwd=project)
    assert result.returncode == 1, result.stderr
    counts = {title: len(items) for title, items in fs.findings(load(project / "demo_splitter.lyrdb")).items()}
    assert counts == {
        "Unknown Connections": 7,
        "Missing Connections": 0,
        "Missing Instances": 0,
        "Unknown Instances": 8,
        "Mismatched Instances": 0,
        "Mismatched Ports": 1,
    }


# Each case: arguments (LAYOUT/REF stand for the demo files, TMP for the project
# directory) and what the one error line must say.
BAD_INPUTS = [
    pytest.param(["TMP/none.gds", "REF"], "layout 'TMP/none.gds' does not exist", id="missing layout"),
    pytest.param(["LAYOUT", "TMP/none.yml"], "reference netlist 'TMP/none.yml' does not exist", id="missing reference"),
    pytest.param(["LAYOUT"], "give both a layout and a reference netlist", id="one file"),
    pytest.param(["TMP/bad.gds", "REF"], "cannot read layout 'TMP/bad.gds'", id="layout not a layout"),
    pytest.param(["TMP/a.txt", "REF"], "cannot read layout 'TMP/a.txt': ", id="layout of unknown type"),
    pytest.param(["LAYOUT", "TMP/bad.yml"], "reference netlist 'TMP/bad.yml' is not valid YAML at line 1: mapping values are not allowed here", id="not YAML"),
    pytest.param(["LAYOUT", "TMP/list.yml"], "reference netlist 'TMP/list.yml' is not a netlist", id="YAML list"),
    pytest.param(["LAYOUT", "TMP/empty.yml"], "reference netlist 'TMP/empty.yml' is not a netlist", id="empty YAML"),
    pytest.param(["LAYOUT", "TMP/partial.yml"], "reference netlist 'TMP/partial.yml' lacks the entries routes, nets", id="entries missing"),
    pytest.param(["LAYOUT", "REF", "--cell", "nope"], "has no cell 'nope' (top cells: demo_splitter)", id="unknown cell"),
    pytest.param(["LAYOUT", "REF", "-o", "TMP/no/dir/r.lyrdb"], "cannot write the report 'TMP/no/dir/r.lyrdb'", id="report dir missing"),
    pytest.param(["LAYOUT", "REF", "--project-dir", "TMP/wrong_kit"], "unknown process design kit 'no_such_kit'", id="wrong kit"),
    pytest.param(["LAYOUT", "REF", "--project-dir", "TMP/bad_settings"], "not valid TOML", id="broken settings"),
    pytest.param(["LAYOUT", "REF", "--project-dir", "TMP/nowhere"], "project directory 'TMP/nowhere' does not exist", id="missing project"),
]


@pytest.mark.parametrize("args, message", BAD_INPUTS)
def test_bad_input_gives_one_line_and_exit_2(project: Path, args: list[str], message: str) -> None:
    write(project / "bad.gds", "not a layout")
    write(project / "a.txt", "text")
    write(project / "bad.yml", "instances: a: b\nnets: []\n")
    write(project / "list.yml", "- a\n- b\n")
    write(project / "empty.yml", "")
    write(project / "partial.yml", "instances: {}\nconnections: {}\nports: {}\n")
    (project / "wrong_kit").mkdir()
    write(project / "wrong_kit" / "pyproject.toml", '[tool.quillon.pdk]\nname = "no_such_kit"\n')
    (project / "bad_settings").mkdir()
    write(project / "bad_settings" / "pyproject.toml", "[tool.quillon\n")

    def expand(text: str) -> str:
        return text.replace("LAYOUT", str(demo.LAYOUT)).replace("REF", str(demo.REFERENCE)).replace("TMP", str(project))

    result = quillon_lvs(*map(expand, args), cwd=project)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith("quillon lvs: error: ")
    assert expand(message) in line
    assert result.stdout == ""
    assert not list(project.glob("**/*.lyrdb"))


def test_help_names_the_demo(tmp_path: Path) -> None:
    result = quillon_lvs("--help", cwd=tmp_path)
    assert result.returncode == 0
    assert "demo" in result.stdout and "--cell" in result.stdout and "REPORT" in result.stdout
