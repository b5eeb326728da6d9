"""The compiled modules as Python sees them: signatures, help, and typed stubs.

Every compiled operation is a Python function carrying its declared signature
(so help() and inspect.signature work), and the stubs generated at build time
beside each module pass mypy and let it catch a user's type errors.
"""

from __future__ import annotations

import importlib
import inspect
import os
import pydoc
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import pytest

COMPILED = ["quillon.core.lvs", "quillon.serve.schematic", "quillon._files", "cellgrid._l2n"]


@pytest.fixture(params=COMPILED)
def compiled(request: pytest.FixtureRequest) -> ModuleType:
    if request.param == "quillon.serve.schematic":
        request.getfixturevalue("schematic")  # loaded for the tests' own project
    return importlib.import_module(request.param)


def operations(module: ModuleType) -> dict[str, object]:
    return {
        name: value
        for name, value in vars(module).items()
        if callable(value) and getattr(value, "__module__", None) == module.__name__ and not isinstance(value, type)
    }


def stub_path(module: ModuleType) -> Path:
    return Path(module.__file__ or "").with_name(module.__name__.rsplit(".", 1)[-1] + ".pyi")


def test_every_compiled_operation_has_its_signature_in_help_and_in_the_stub(compiled: ModuleType) -> None:
    found = operations(compiled)
    assert found
    stub = stub_path(compiled).read_text(encoding="utf-8")
    for name, operation in found.items():
        assert inspect.isfunction(operation), name
        signature = inspect.signature(operation)
        assert f"{name}{signature}" in pydoc.render_doc(operation, renderer=pydoc.plaintext)
        if not name.startswith("_"):
            assert f"def {name}(" in stub
    public = getattr(compiled, "__all__", [n for n in found if not n.startswith("_")])
    listed = pydoc.render_doc(compiled, renderer=pydoc.plaintext)
    assert all(f"\n    {name}(" in listed for name in public if name in found)


# A user's script: each line marked "# error: CODE" must be reported by mypy
# with that code, each "# reveals: TYPE" must reveal that type, nothing else.
USER_SCRIPT = """
import cellgrid as cg
import quillon
import klayout.rdbcore as rdb
from cellgrid import _l2n
from quillon import _files, files
from quillon.core import lvs
from quillon.serve import schematic


def check(cell: cg.DKCell) -> rdb.ReportDatabase:
    report = lvs.optical_lvs(cell, "circuit.pic.yml")
    reveal_type(report)  # reveals: klayout.rdbcore.ReportDatabase
    reveal_type(lvs.extract_lvs_netlist(cell))  # reveals: dict[str, Any]
    lvs.optical_lvs(cell, 3)  # error: arg-type
    lvs.optical_lvs(cell)  # error: call-arg
    lvs.optical_lvs(cell, "circuit.pic.yml", tolerance=0.1)  # error: call-arg
    found: int = lvs.optical_lvs(cell, "circuit.pic.yml")  # error: assignment
    lvs.get_netlist_diff({}, {}).count  # error: attr-defined
    lvs.find_unknown_instances(report, cell, lvs.get_netlist_diff({}, {}), cell)  # error: call-arg
    return report


reveal_type(schematic.svg("mmi1x2", 40))  # reveals: starlette.responses.Response
schematic.svg("mmi1x2", "40")  # error: arg-type
reveal_type(_files.read_file("project", "a.pic.yml"))  # reveals: bytes | None
_files.write_file("project", "a.pic.yml", "text")  # error: arg-type
reveal_type(files.list_files("project").files)  # reveals: list[str]
_l2n.match_ports()  # error: call-arg

result = quillon.check("chip.gds", "chip.pic.yml", kit="demo_pdk")
reveal_type(result.clean)  # reveals: bool
reveal_type(result.findings)  # reveals: tuple[quillon.findings.Finding, ...]
reveal_type(result.report_database)  # reveals: klayout.rdbcore.ReportDatabase
quillon.check("chip.gds")  # error: call-arg
quillon.check("chip.gds", "chip.pic.yml", kit=3)  # error: arg-type
quillon.check(3.5, "chip.pic.yml")  # error: arg-type
"""


def expectations(script: str) -> tuple[set[tuple[int, str]], dict[int, str]]:
    errors, reveals = set(), {}
    for number, line in enumerate(script.splitlines(), start=1):
        if "# error: " in line:
            errors.add((number, line.rsplit("# error: ", 1)[1]))
        if "# reveals: " in line:
            reveals[number] = line.rsplit("# reveals: ", 1)[1]
    return errors, reveals


def mypy(tmp_path: Path, *arguments: str) -> subprocess.CompletedProcess[str]:
    """mypy run in `tmp_path`, finding the packages where this interpreter does."""
    search = [os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry]
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--cache-dir",
            str(tmp_path / "cache"),
            "--follow-imports=silent",
            "--show-error-codes",
            "--no-error-summary",
            "--no-pretty",
            *arguments,
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(search)},
    )


def test_stubs_pass_mypy_and_catch_a_user_scripts_type_errors(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    # Named as modules: mypy checks the installed stubs as it finds them for a user.
    checked = mypy(tmp_path, *(argument for name in COMPILED for argument in ("-m", name)))
    assert (checked.returncode, checked.stdout) == (0, ""), checked.stdout + checked.stderr
    script = tmp_path / "user_script.py"
    script.write_text(USER_SCRIPT, encoding="utf-8")
    errors, reveals = set(), {}
    done = mypy(tmp_path, script.name)
    for line in done.stdout.splitlines():
        place, _, message = line.partition(": ")
        assert place.startswith(f"{script.name}:"), line
        number = int(place.rsplit(":", 1)[1])
        if message.startswith("note: Revealed type is "):
            revealed = message.removeprefix("note: Revealed type is ").strip('"')
            reveals[number] = revealed.replace("builtins.", "")  # as older versions of mypy write them
        elif message.startswith("error: "):
            errors.add((number, message.rsplit("[", 1)[1].rstrip("]")))
    assert (errors, reveals) == expectations(USER_SCRIPT), done.stdout
