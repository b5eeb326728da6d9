"""``quillon lvs`` through a real subprocess: exit status, output and report files."""

from __future__ import annotations

import json
import os
import pty
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
import yaml
import klayout.db as kdb
from klayout.rdbcore import ReportDatabase

import findings_support as fs
import quillon
from quillon import demo
from quillon.demo import make_demo

#: Where this test run imports quillon from, so that the subprocess does too.
PACKAGES = os.pathsep.join([str(Path(quillon.__file__).resolve().parents[1]), *sys.path])


def quillon_lvs(
    *args: str | Path, cwd: Path, project: Path | None = None, stderr: int | None = None
) -> subprocess.CompletedProcess[str]:
    """Run ``python -m quillon lvs ARGS`` in `cwd`, with the kit of `project` (default: `cwd`).

    stdout is captured; so is stderr unless `stderr` is a file descriptor to write it to.
    """
    env = dict(os.environ, QUILLON_PROJECT_DIR=str(project or cwd), PYTHONPATH=PACKAGES)
    return subprocess.run(
        [sys.executable, "-m", "quillon", "lvs", *map(str, args)],
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE if stderr is None else stderr,
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
    counts = {title: len(items) for title, items in fs.findings(load(report)).items()}
    assert counts == {
        "Unknown Connections": 2,
        "Missing Connections": 2,
        "Missing Instances": 1,
        "Unknown Instances": 1,
        "Mismatched Instances": 1,
        "Mismatched Ports": 1,
        "Mismatched Settings": 1,
    }
    lines = result.stdout.splitlines()
    assert lines[0] == "LVS Diff - demo_splitter: 9 findings"
    # each category with its count, in the report's order
    assert [line for line in lines if line.startswith("  ") and line[2] != " "] == [
        f"  {title}: {count}" for title, count in counts.items()
    ]
    assert "    Cannot find Instance 'gc_bot' in the layout" in lines
    assert f"Open it in KLayout: klayout {demo.LAYOUT} -m {report}" in lines
    assert result.stderr == ""


def test_reader_that_stops_early_does_not_change_the_verdict(tmp_path: Path) -> None:
    """``quillon lvs | head -1``: the summary's pipe closes, the exit status is still the check's."""
    env = dict(os.environ, PYTHONPATH=PACKAGES)
    command = [sys.executable, "-m", "quillon", "lvs"]
    with subprocess.Popen(
        command, cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    ) as process:
        assert process.stdout is not None and process.stderr is not None
        process.stdout.close()
        errors = process.stderr.read()
        assert (process.wait(timeout=300), errors) == (1, "")


def test_findings_exit_1_with_chosen_cell_report_and_tolerance(project: Path) -> None:
    """The demo's grating period, 0.03 µm off, is within a tolerance of 0.05."""
    report = project / "out" / "r.lyrdb"
    report.parent.mkdir()
    options = ["--cell", "demo_splitter", "-o", report, "--settings-tolerance", "0.05"]
    result = quillon_lvs(demo.LAYOUT, demo.REFERENCE, *options, cwd=project)
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
        "Mismatched Settings": 0,
    }


# Each case: arguments (LAYOUT/REF stand for the demo files, TMP for the project
# directory) and what the one error line must say.
BAD_INPUTS = [
    pytest.param(["TMP/none.gds", "REF"], "layout 'TMP/none.gds' does not exist", id="missing layout"),
    pytest.param(["LAYOUT", "TMP/none.yml"], "reference netlist 'TMP/none.yml' does not exist", id="missing reference"),
    pytest.param(["LAYOUT"], "give both a layout and a reference netlist", id="one file"),
    pytest.param(
        ["LAYOUT", "REF", "LAYOUT"],
        "give a layout and its reference netlist for each check: 3 files given",
        id="three files",
    ),
    pytest.param(
        ["LAYOUT", "REF", "LAYOUT", "REF", "-c", "x"], "--cell picks the cell of one layout", id="cell of several"
    ),
    pytest.param(
        ["LAYOUT", "REF", "LAYOUT", "REF", "--json", "TMP/bad.gds"],
        "--json 'TMP/bad.gds' must be a directory",
        id="several JSON a file",
    ),
    pytest.param(
        ["LAYOUT", "REF", "--junit", "TMP/no/j.xml"],
        "cannot write the JUnit report 'TMP/no/j.xml': no such directory",
        id="JUnit dir missing",
    ),
    pytest.param(["TMP/bad.gds", "REF"], "cannot read layout 'TMP/bad.gds'", id="layout not a layout"),
    pytest.param(["TMP/a.txt", "REF"], "cannot read layout 'TMP/a.txt': ", id="layout of unknown type"),
    pytest.param(
        ["LAYOUT", "TMP/bad.yml"],
        "reference netlist 'TMP/bad.yml' is not valid YAML at line 1: mapping values are not allowed",
        id="not YAML",
    ),
    pytest.param(["LAYOUT", "TMP/list.yml"], "reference netlist 'TMP/list.yml' is not a netlist", id="YAML list"),
    pytest.param(["LAYOUT", "TMP/empty.yml"], "reference netlist 'TMP/empty.yml' is not a netlist", id="empty YAML"),
    pytest.param(
        ["LAYOUT", "TMP/partial.yml"],
        "reference netlist 'TMP/partial.yml' lacks the entries routes, nets",
        id="entries missing",
    ),
    pytest.param(
        ["LAYOUT", "REF", "--cell", "nope"], "has no cell 'nope' (top cells: demo_splitter)", id="unknown cell"
    ),
    pytest.param(
        ["LAYOUT", "REF", "-o", "TMP/no/dir/r.lyrdb"],
        "cannot write the report 'TMP/no/dir/r.lyrdb'",
        id="report dir missing",
    ),
    pytest.param(
        ["LAYOUT", "REF", "--project-dir", "TMP/wrong_kit"], "unknown process design kit 'no_such_kit'", id="wrong kit"
    ),
    pytest.param(["LAYOUT", "REF", "--project-dir", "TMP/bad_settings"], "not valid TOML", id="broken settings"),
    pytest.param(
        ["LAYOUT", "REF", "--kit", "no_such_kit"], "unknown process design kit 'no_such_kit'", id="unknown kit given"
    ),
    pytest.param(
        ["LAYOUT", "REF", "--project-dir", "TMP/nowhere"],
        "project directory 'TMP/nowhere' does not exist",
        id="missing project",
    ),
    pytest.param(["TMP", "REF"], "layout 'TMP' is a directory", id="layout a directory"),
    pytest.param(["TMP/empty.gds", "REF"], "layout 'TMP/empty.gds' has no cells", id="empty layout"),
    pytest.param(["LAYOUT", "TMP"], "reference netlist 'TMP' is a directory", id="reference a directory"),
    pytest.param(["LAYOUT", "TMP/bomb.yml"], "reference netlist 'TMP/bomb.yml' is refused: ", id="alias bomb"),
    pytest.param(
        ["LAYOUT", "TMP/two.yml"],
        "reference netlist 'TMP/two.yml' is not valid YAML at line 6: but found another document",
        id="two documents",
    ),
    pytest.param(
        ["LAYOUT", "REF", "--json", "TMP/no/f.json"],
        "cannot write the JSON findings 'TMP/no/f.json': no such directory",
        id="JSON dir missing",
    ),
    pytest.param(
        ["LAYOUT", "REF", "--html", "TMP"],
        "cannot write the HTML report 'TMP': it is a directory",
        id="HTML a directory",
    ),
    pytest.param(
        ["LAYOUT", "REF", "--settings-tolerance=-1"],
        "--settings-tolerance must be a number of 0 or more, got -1.0",
        id="negative tolerance",
    ),
    pytest.param(
        ["LAYOUT", "REF", "--settings-tolerance", "nan"],
        "--settings-tolerance must be a number of 0 or more, got nan",
        id="tolerance not a number",
    ),
    pytest.param(["LAYOUT", "REF", "--threads", "0"], "--threads must be 1 or more, got 0", id="no cores"),
]


@pytest.mark.parametrize("args, message", BAD_INPUTS)
def test_bad_input_gives_one_line_and_exit_2(project: Path, args: list[str], message: str) -> None:
    write(project / "bad.gds", "not a layout")
    write(project / "a.txt", "text")
    write(project / "bad.yml", "instances: a: b\nnets: []\n")
    write(project / "list.yml", "- a\n- b\n")
    write(project / "empty.yml", "")
    write(project / "partial.yml", "instances: {}\nconnections: {}\nports: {}\n")
    kdb.Layout().write(str(project / "empty.gds"))
    bomb = ["a0: &a0 [x, x, x, x, x, x, x, x, x, x]"] + [
        f"a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 10)}]" for i in range(1, 9)
    ]
    write(project / "bomb.yml", "\n".join(bomb) + "\n")
    write(project / "two.yml", NETLIST + "---\n" + NETLIST)
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


def test_help_names_the_demo_and_the_exit_codes(tmp_path: Path) -> None:
    result = quillon_lvs("--help", cwd=tmp_path)
    assert result.returncode == 0
    assert "demo" in result.stdout and "--cell" in result.stdout and "REPORT" in result.stdout
    lines = [line.split()[:2] for line in result.stdout.splitlines()]
    assert [["0", "the"], ["1", "findings:"], ["2", "bad"], ["3", "internal"]] == [
        pair for pair in lines if pair[:1] in (["0"], ["1"], ["2"], ["3"])
    ]


@pytest.mark.parametrize("verbose", [False, True], ids=["plain", "verbose"])
def test_internal_error_is_one_line_and_exit_3(project: Path, verbose: bool) -> None:
    """A fault inside the tool (here a kit that fails when activated) is never read as findings."""
    kit = project / "failing_kit"
    kit.mkdir()
    write(
        kit / "__init__.py",
        "class _Kit:\n    def activate(self):\n        raise ZeroDivisionError('kit activation failed')\n\nPDK = _Kit()\n",
    )
    write(project / "pyproject.toml", '[tool.quillon]\nname = "p"\npdk = "failing_kit"\n')
    result = quillon_lvs(
        demo.LAYOUT, demo.REFERENCE, "-o", project / "r.lyrdb", *(["--verbose"] if verbose else []), cwd=project
    )
    assert result.returncode == 3
    assert result.stdout == ""
    *traceback, line = result.stderr.splitlines()
    assert line.startswith("quillon lvs: internal error: ZeroDivisionError: kit activation failed")
    assert ("--verbose" in line) != verbose
    assert (traceback[:1] == ["Traceback (most recent call last):"]) == verbose
    assert not (project / "r.lyrdb").exists()


def report_view(rdb: ReportDatabase) -> list[dict[str, object]]:
    """Each item of a report as the JSON findings list it: category, texts, marker boxes."""
    view = []
    for item in rdb.each_item():
        values = [fs.value_of(value) for value in item.each_value()]
        boxes = [value.bbox() for value in values if not isinstance(value, str)]
        view.append(
            {
                "category": rdb.category_by_id(item.category_id()).name(),
                "texts": [value for value in values if isinstance(value, str)],
                "markers": [pytest.approx([box.left, box.bottom, box.right, box.top]) for box in boxes],
            }
        )
    return view


@pytest.mark.parametrize("faulty", [True, False], ids=["findings", "clean"])
def test_json_and_html_hold_every_finding_of_the_report(project: Path, faulty: bool) -> None:
    layout, reference = make_demo.write_demo(project / "files", fs.unique_name("files_splitter"), faulty=faulty)
    result = quillon_lvs(layout, reference, "--json", project / "f.json", "--html", project / "f.html", cwd=project)
    assert result.returncode == int(faulty), result.stderr
    report = load(layout.with_suffix(".lyrdb"))
    assert (report.generator, report.original_file, report.top_cell_name) == (
        f"quillon {quillon.__version__}",
        str(layout.resolve()),
        layout.stem,
    )
    assert layout.stem in report.description and reference.name in report.description

    document = json.loads((project / "f.json").read_text())
    assert document["exit_status"] == result.returncode
    assert (document["cell"], document["layout"], document["report_file"]) == (
        layout.stem,
        str(layout.resolve()),
        str(layout.with_suffix(".lyrdb").resolve()),
    )
    assert [
        {key: finding[key] for key in ("category", "texts", "markers")} for finding in document["findings"]
    ] == report_view(report)
    assert document["counts"] == {title: len(items) for title, items in fs.findings(report).items()}
    assert bool(document["findings"]) == faulty
    kinds = ["open_port", "unknown_connection", "missing_connection", "missing_connection", "missing_instance"]
    kinds += ["unknown_instance", "mismatched_instance", "unknown_port", "settings_mismatch"]
    assert [finding["kind"] for finding in document["findings"]] == (kinds if faulty else [])

    page = (project / "f.html").read_text()
    placed = sum(1 for finding in document["findings"] if finding["markers"])
    assert page.count('<img src="data:image/png;base64,') == placed
    assert page.count('<div class="whole-cell"') == report.num_items() - placed  # one shared picture of the cell
    assert page.count(";base64,") == placed + (placed < report.num_items())
    assert ("no findings" in page) != faulty


@pytest.mark.parametrize("named", ["settings", "option", "none"])
def test_the_kit_used_is_named_and_a_fallback_to_the_demo_kit_said(tmp_path: Path, named: str) -> None:
    if named == "settings":
        write(tmp_path / "pyproject.toml", '[tool.quillon]\npdk = "demo_pdk"\n')
    option = ["--kit", "demo_pdk"] if named == "option" else []
    outputs = ["-o", tmp_path / "r.lyrdb", "--json", tmp_path / "f.json", "--html", tmp_path / "f.html"]
    result = quillon_lvs(demo.LAYOUT, demo.REFERENCE, *outputs, *option, cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    fallback = named == "none"
    lines = result.stdout.splitlines()
    assert lines[1] == "Kit: demo_pdk" + (" (the demo kit: the project names none)" if fallback else "")
    notes = [line for line in lines if line.startswith("Note: no kit is named")]
    assert notes == (
        [
            f"Note: no kit is named for the project {str(tmp_path)!r} (it has no pyproject.toml), "
            + notes[0].split("), ", 1)[1]
        ]
        if fallback
        else []
    )
    document = json.loads((tmp_path / "f.json").read_text())
    assert (document["kit"], document["kit_fallback"], len(document["notes"])) == ("demo_pdk", fallback, int(fallback))
    page = (tmp_path / "f.html").read_text()
    assert "<tr><th>Kit</th><td>demo_pdk" in page and ("no kit is named" in page) == fallback
    assert "with kit demo_pdk" in load(tmp_path / "r.lyrdb").description


def test_layout_without_instance_names_says_what_names_them(project: Path, clean_files: tuple[Path, Path]) -> None:
    """A layout whose instance names were lost on the way to GDS gets one line saying so."""
    layout, reference = clean_files
    stripped = kdb.Layout()
    stripped.read(str(layout))
    for cell in stripped.each_cell():
        for instance in cell.each_inst():
            instance.prop_id = 0
    unnamed = project / "unnamed.gds"
    stripped.write(str(unnamed))
    result = quillon_lvs(unnamed, reference, "-o", project / "r.lyrdb", "--json", project / "f.json", cwd=project)
    notes = [line for line in result.stdout.splitlines() if line.startswith("Note: ")]
    assert notes == [
        "Note: the layout has no named instances, so none can be matched by name: " + notes[0].split("by name: ", 1)[1]
    ]
    assert "property 0 (PROPID.NAME)" in notes[0]
    assert json.loads((project / "f.json").read_text())["notes"] == [notes[0].removeprefix("Note: ")]


def test_clean_layout_exits_0_shows_the_stages_and_writes_report_beside_layout(
    project: Path, clean_files: tuple[Path, Path]
) -> None:
    """A named layout matching its reference, checked with the stages shown on a terminal and erased."""
    layout, reference = clean_files
    controller, terminal = pty.openpty()
    try:
        result = quillon_lvs(layout, reference, cwd=project, stderr=terminal)
        os.close(terminal)
        shown = b""
        while chunk := _read_or_nothing(controller):
            shown += chunk
    finally:
        os.close(controller)
    assert result.returncode == 0, result.stderr
    assert load(layout.with_suffix(".lyrdb")).num_items() == 0
    text = shown.decode()
    for stage in (
        "[1/7] reading the layout",
        "[4/7] extracting the layout netlist",
        "[6/7] recording the findings",
        "[7/7] writing the report",
    ):
        assert stage in text
    assert text.endswith("\r\x1b[K")  # the line is gone before the summary
    assert result.stdout.splitlines()[0] == f"LVS Diff - {layout.stem}: no findings"
    assert "Note:" not in result.stdout  # its instances are named


def _read_or_nothing(descriptor: int) -> bytes:
    try:
        return os.read(descriptor, 4096)
    except OSError:  # the terminal's other side is closed and drained
        return b""


def test_readme_lists_every_kind_of_finding() -> None:
    """The README's table of kinds is the module's `finding_kinds`, in its order."""
    from quillon.core import lvs

    readme = (Path(__file__).parents[1] / "README.md").read_text()
    rows = re.findall(r"^\| `(\w+)` \| [^|]+ \| ([^|]+) \|$", readme, re.MULTILINE)
    assert [(kind, meaning.strip()) for kind, meaning in rows if kind != "kind"] == list(lvs.finding_kinds.items())


JUNIT_SCHEMA = Path(__file__).with_name("junit.xsd")


def junit_cases(path: Path) -> list[dict[str, Any]]:
    """The test cases of a JUnit file, validated against the common JUnit schema first."""
    import xml.etree.ElementTree as ElementTree

    xmlschema = pytest.importorskip("xmlschema")
    xmlschema.XMLSchema(JUNIT_SCHEMA).validate(str(path))
    root = ElementTree.parse(path).getroot()
    [suite] = root.findall("testsuite")
    cases = []
    for case in suite.findall("testcase"):
        failures = [(failure.get("type"), failure.get("message"), failure.text) for failure in case.findall("failure")]
        errors = [(error.get("type"), error.get("message")) for error in case.findall("error")]
        cases.append(
            {"name": case.get("name"), "classname": case.get("classname"), "failures": failures, "errors": errors}
        )
    assert (suite.get("tests"), root.get("tests")) == (str(len(cases)),) * 2
    assert suite.get("failures") == str(sum(1 for case in cases if case["failures"]))
    assert suite.get("errors") == str(sum(1 for case in cases if case["errors"]))
    return cases


def test_several_layouts_in_one_call_with_one_summary_status_and_junit_file(
    project: Path, clean_files: tuple[Path, Path]
) -> None:
    """A clean layout, the demo with its findings and a pair with bad input: all three checked, the worst status."""
    layout, reference = clean_files
    faulty = project / "demo" / "demo_splitter.gds"
    faulty.parent.mkdir()
    faulty.write_bytes(demo.LAYOUT.read_bytes())
    missing = project / "missing.pic.yml"
    out = project / "out"
    out.mkdir()
    arguments = [layout, reference, faulty, demo.REFERENCE, faulty, missing]
    outputs = ["-o", out / "reports", "--json", out / "json", "--html", out / "html", "--junit", project / "lvs.xml"]
    result = quillon_lvs(*arguments, *outputs, cwd=project)
    assert result.returncode == 2
    assert result.stderr.splitlines() == [f"quillon lvs: error: reference netlist {str(missing)!r} does not exist"]
    lines = result.stdout.splitlines()
    assert lines[-1] == "3 checks: 1 clean, 1 with findings, 1 bad input"
    assert [line for line in lines if line.startswith("LVS Diff - ")] == [
        f"LVS Diff - {layout.stem}: no findings",
        "LVS Diff - demo_splitter: 9 findings",
    ]

    # one file of each kind per layout checked, an index beside the pages
    assert sorted(path.name for path in (out / "reports").iterdir()) == sorted(
        [f"{layout.stem}.lyrdb", "demo_splitter.lyrdb"]
    )
    document = json.loads((out / "json" / "demo_splitter.json").read_text())
    assert (document["exit_status"], len(document["findings"])) == (1, 9)
    assert sorted(path.name for path in (out / "html").iterdir()) == sorted(
        [f"{layout.stem}.html", "demo_splitter.html", "index.html"]
    )
    index = (out / "html" / "index.html").read_text()
    assert '<a href="demo_splitter.html">9 findings</a>' in index and "does not exist" in index

    cases = junit_cases(project / "lvs.xml")
    assert [case["name"] for case in cases] == [layout.stem, "demo_splitter", "demo_splitter"]
    assert cases[1]["classname"] == ".".join([*project.relative_to("/").parts, "demo", "demo_splitter"])
    assert cases[0]["failures"] == [] and cases[0]["errors"] == []
    failures = cases[1]["failures"]
    assert [kind for kind, _, _ in failures] == [finding["kind"] for finding in document["findings"]]
    assert [message for _, message, _ in failures] == [finding["texts"][0] for finding in document["findings"]]
    for (_, _, body), finding in zip(failures, document["findings"]):
        assert body.splitlines()[: 1 + len(finding["texts"])] == [
            f"{finding['category']} ({finding['kind']})",
            *finding["texts"],
        ]
    assert cases[2]["errors"] == [("bad input", f"reference netlist {str(missing)!r} does not exist")]


@pytest.mark.parametrize(
    "pairs, status, failures",
    [
        pytest.param(["CLEAN", "CLEAN"], 0, [0, 0], id="all clean"),
        pytest.param(["CLEAN", "DEMO"], 1, [0, 9], id="findings in one"),
        pytest.param(["DEMO"], 1, [9], id="one pair"),
        pytest.param([], 1, [9], id="the demo"),
    ],
)
def test_exit_status_is_the_worst_of_the_checks(
    project: Path, clean_files: tuple[Path, Path], pairs: list[str], status: int, failures: list[int]
) -> None:
    """Outputs ending with a slash are directories, also for one layout (a CI job need not count them)."""
    files = {"CLEAN": clean_files, "DEMO": (demo.LAYOUT, demo.REFERENCE)}
    arguments = [path for pair in pairs for path in files[pair]]
    outputs = ["-o", f"{project}/reports/", "--html", f"{project}/pages/", "--junit", project / "lvs.xml"]
    result = quillon_lvs(*arguments, *outputs, cwd=project)
    assert result.returncode == status, result.stderr
    assert [len(case["failures"]) for case in junit_cases(project / "lvs.xml")] == failures
    assert len(list((project / "reports").glob("*.lyrdb"))) == len(failures)
    assert len(list((project / "pages").glob("*.html"))) == len(failures) + 1  # and the index


def test_the_readme_ci_job_checks_every_layout_and_keeps_the_reports(tmp_path: Path) -> None:
    """The script of the README's CI job, run by bash in a new project with a clean and a faulty layout."""
    readme = (Path(__file__).parents[1] / "README.md").read_text()
    workflow = yaml.safe_load(readme.split("### In CI", 1)[1].split("```yaml\n", 1)[1].split("```", 1)[0])
    [step] = [
        step
        for step in workflow["jobs"]["lvs"]["steps"]
        if step.get("name") == "Check every layout against its netlist"
    ]
    tool = tmp_path / "bin" / "quillon"  # the command the installed package puts on PATH
    tool.parent.mkdir()
    tool.write_text(f'#!/bin/sh\nexec {sys.executable} -m quillon "$@"\n')
    tool.chmod(0o755)
    env = dict(os.environ, PYTHONPATH=PACKAGES, PATH=f"{tool.parent}{os.pathsep}{os.environ['PATH']}")
    env.pop("QUILLON_PROJECT_DIR", None)
    project = tmp_path / "chip"

    def run(*command: str | Path, cwd: Path = project, check: bool = True) -> subprocess.CompletedProcess[str]:
        return subprocess.run(command, cwd=cwd, env=env, check=check, capture_output=True, text=True, timeout=600)

    run(tool, "init", project, cwd=tmp_path)
    (project / "layouts").mkdir()
    run(tool, "build", "chip/demo_mzi.pic.yml", "-o", "layouts/demo_mzi.gds")
    (project / "layouts" / "demo_splitter.gds").write_bytes(demo.LAYOUT.read_bytes())
    (project / "chip" / "demo_splitter.pic.yml").write_bytes(demo.REFERENCE.read_bytes())

    done = run("bash", "-eo", "pipefail", "-c", step["run"], check=False)
    assert done.returncode == 1, done.stderr
    assert done.stdout.splitlines()[-1] == "2 checks: 1 clean, 1 with findings"
    reports = project / "lvs-report"
    assert sorted(path.name for path in (reports / "html").iterdir()) == [
        "demo_mzi.html",
        "demo_splitter.html",
        "index.html",
    ]
    assert sorted(path.name for path in reports.glob("*.lyrdb")) == ["demo_mzi.lyrdb", "demo_splitter.lyrdb"]
    assert [(case["name"], len(case["failures"])) for case in junit_cases(reports / "junit.xml")] == [
        ("demo_mzi", 0),
        ("demo_splitter", 9),
    ]
