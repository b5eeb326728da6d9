"""The files the tool writes, opened by the desktop KLayout designers have (Debian's 0.28).

Each file is read by that KLayout in batch mode (``klayout -b -r SCRIPT``),
which prints what it found as JSON; the same file read by the cell library
(on the pip KLayout the check runs on) still gives every cell its ports and
settings. Skipped where no desktop ``klayout`` is installed.
"""

from __future__ import annotations

import json
import shutil
import subprocess
from pathlib import Path
from typing import Any

import pytest

import cellgrid as cg
import findings_support as fs
import quillon
from quillon import demo
from quillon.build.circuit_layout import build_circuit_gds

DESKTOP = shutil.which("klayout")
pytestmark = pytest.mark.skipif(DESKTOP is None, reason="no desktop klayout installed")

#: Run by the desktop KLayout: reads each layout and report named on the
#: command line and prints, per file, what it holds (or the error).
SCRIPT = """
import json, sys
import pya

found = {"version": pya.Application.instance().version()}
for kind, path in (entry.split("=", 1) for entry in paths.split(";")):
    try:
        if kind == "layout":
            layout = pya.Layout()
            layout.read(path)
            names = {}
            for cell in layout.each_cell():
                for inst in cell.each_inst():
                    name = inst.property(0)
                    if name is not None:
                        names[name] = layout.cell(inst.cell_index).name
            found[path] = {"top": [c.name for c in layout.top_cells()], "cells": layout.cells(), "names": names}
        elif kind == "resave":
            source, target = path.split(">")
            layout = pya.Layout()
            layout.read(source)
            layout.write(target)
            found[path] = {"written": target}
        else:
            rdb = pya.ReportDatabase("")
            rdb.load(path)
            found[path] = {"items": rdb.num_items(), "categories": [c.name() for c in rdb.each_category()]}
    except Exception as exc:
        found[path] = {"error": str(exc)}
print("RESULT " + json.dumps(found))
"""


def desktop_reads(tmp_path: Path, files: dict[Path, str]) -> dict[str, Any]:
    """What the desktop KLayout finds in each of `files` (path -> "layout" or "report")."""
    script = tmp_path / "read_files.py"
    script.write_text(SCRIPT)
    paths = ";".join(f"{kind}={path}" for path, kind in files.items())
    command = [DESKTOP, "-b", "-rd", f"paths={paths}", "-r", str(script)]
    if shutil.which("xvfb-run"):
        command = ["xvfb-run", "-a", *command]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    line = next((line for line in done.stdout.splitlines() if line.startswith("RESULT ")), None)
    assert line is not None, f"klayout printed no result (status {done.returncode}): {done.stderr[-2000:]}"
    return json.loads(line[len("RESULT ") :])


def library_view(path: Path) -> dict[str, Any]:
    """The cell library's reading of `path`: instance names and the cells that lost ports or settings."""
    kcl = cg.KCLayout(fs.unique_name(f"desktop:{path.name}"))
    kcl.read(path)
    names: dict[str, str] = {}
    lost = []
    for name in kcl.dkcells:
        cell = kcl.dkcells[name]
        names.update({inst.name: inst.cell.name for inst in cell.insts if inst.name is not None})
        if cell.insts.names() == [] and (not list(cell.ports) or cell.function_name is None):
            lost.append(name)
    return {"names": names, "leaf cells without ports or settings": lost}


def test_desktop_klayout_reads_the_demo_a_built_circuit_and_the_report(tmp_path: Path) -> None:
    built = tmp_path / "demo_mzi.gds"
    build_circuit_gds(demo.MZI, built, demo.DIRECTORY)
    report = tmp_path / "demo_splitter.lyrdb"
    checked = quillon.check(demo.LAYOUT, demo.REFERENCE, project=demo.DIRECTORY)
    checked.save(report)
    findings = len(checked.findings)

    found = desktop_reads(tmp_path, {demo.LAYOUT: "layout", built: "layout", report: "report"})

    assert found["version"].startswith("KLayout 0.")
    for layout, top in ((demo.LAYOUT, demo.CELL), (built, "demo_mzi")):
        desktop = found[str(layout)]
        assert "error" not in desktop, desktop
        view = library_view(layout)
        assert desktop["top"] == [top] and desktop["names"] == view["names"] and view["names"]
        assert view["leaf cells without ports or settings"] == []
    assert found[str(report)]["items"] == findings > 0


def test_a_circuit_saved_again_by_the_desktop_klayout_checks_clean(tmp_path: Path) -> None:
    """KLayout 0.28 drops the cell library's meta info when it saves: the check takes
    the cells' ports and settings from the kit and finds the circuit as built."""
    built = tmp_path / "demo_mzi.gds"
    build_circuit_gds(demo.MZI, built, demo.DIRECTORY)
    saved = tmp_path / "saved" / "demo_mzi.gds"
    saved.parent.mkdir()
    found = desktop_reads(tmp_path, {Path(f"{built}>{saved}"): "resave"})
    assert "error" not in found[f"{built}>{saved}"], found
    outcome = quillon.check(saved, demo.MZI, project=demo.DIRECTORY)
    assert outcome.clean
    restored, own_ports = outcome.notes
    assert restored.startswith("the layout was written without KLayout's context information")
    assert "demo_mzi (the checked cell's own ports)" in own_ports
