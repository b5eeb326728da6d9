"""The check inside the desktop KLayout (Debian's 0.28): ``quillon klayout install``, then the menu entry.

KLayout is started as a designer starts it, with the user's KLayout folder
holding the installed macro (here a temporary one), a main window and hidden
views under a virtual display (``xvfb-run -a klayout -z -nc -r SCRIPT``). The
script opens a layout, triggers the Tools menu entry and prints what the view
then holds. Skipped where no desktop ``klayout`` or no ``xvfb-run`` is installed.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from typing import Any

import pytest

import quillon
from quillon import demo

DESKTOP = shutil.which("klayout")
XVFB = shutil.which("xvfb-run")
PACKAGES = os.pathsep.join([str(Path(quillon.__file__).resolve().parents[1]), *sys.path])

#: Run by the desktop KLayout: the layout `layout_path` opened, the menu entry triggered.
SCRIPT = """
import json
import pya

main_window = pya.MainWindow.instance()
found = {"entry": main_window.menu().is_valid("tools_menu.quillon_lvs")}
if found["entry"]:
    found["title"] = main_window.menu().action("tools_menu.quillon_lvs").title
    main_window.load_layout(layout_path, 1)
    main_window.menu().action("tools_menu.quillon_lvs").trigger()
    view = pya.LayoutView.current()
    found["reports"] = []
    for index in range(view.num_rdbs()):
        rdb = view.rdb(index)
        items = [rdb.category_by_id(item.category_id()).name() for item in rdb.each_item()]
        found["reports"].append({"file": rdb.filename(), "items": items, "description": rdb.description})
print("RESULT " + json.dumps(found))
"""


def quillon_command(*args: str | Path, env: dict[str, str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "quillon", *map(str, args)], env=env, capture_output=True, text=True, timeout=300
    )


def run_desktop(tmp_path: Path, layout: Path, env: dict[str, str]) -> dict[str, Any]:
    """Start KLayout with the user's folder of `env`, open `layout`, trigger the entry; what the view holds."""
    script = tmp_path / "drive.py"
    script.write_text(SCRIPT)
    assert DESKTOP is not None and XVFB is not None
    command = [XVFB, "-a", DESKTOP, "-z", "-nc", "-rd", f"layout_path={layout}", "-r", str(script)]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=600, cwd=tmp_path)
    line = next((line for line in done.stdout.splitlines() if line.startswith("RESULT ")), None)
    assert line is not None, f"klayout printed no result (status {done.returncode}): {done.stderr[-2000:]}"
    return json.loads(line[len("RESULT ") :])


@pytest.mark.skipif(DESKTOP is None or XVFB is None, reason="no desktop klayout or no xvfb-run installed")
@pytest.mark.parametrize(
    "netlist_name", ["demo_splitter", "chip"], ids=["named after the cell", "named after the file"]
)
def test_the_menu_entry_checks_the_shown_cell_and_loads_the_report(tmp_path: Path, netlist_name: str) -> None:
    home = tmp_path / "home"
    env = dict(os.environ, HOME=str(home), KLAYOUT_HOME=str(home / ".klayout"), PYTHONPATH=PACKAGES)
    env.pop("QUILLON_PROJECT_DIR", None)
    installed = quillon_command("klayout", "install", env=env)
    assert installed.returncode == 0, installed.stderr
    macro = home / ".klayout" / "pymacros" / "quillon_lvs.lym"
    assert installed.stdout.splitlines()[0] == f"quillon klayout: installed {macro}"

    # a project of the demo kit, its layout below it with the netlist beside
    project = tmp_path / "project"
    (project / "layouts").mkdir(parents=True)
    (project / "pyproject.toml").write_text('[tool.quillon]\npdk = "demo_pdk"\n')
    layout = project / "layouts" / "chip.gds"
    layout.write_bytes(demo.LAYOUT.read_bytes())
    (layout.parent / f"{netlist_name}.pic.yml").write_bytes(demo.REFERENCE.read_bytes())

    found = run_desktop(tmp_path, layout, env)
    assert (found["entry"], found["title"]) == (True, "Check with quillon LVS")
    [report] = found["reports"]
    expected = quillon.check(demo.LAYOUT, demo.REFERENCE, kit="demo_pdk")
    assert report["items"] == [finding.category for finding in expected.findings]
    assert report["file"] == str(layout.parent / "demo_splitter.lyrdb")
    assert "with kit demo_pdk" in report["description"]


def test_install_replaces_the_macro_and_says_when_it_cannot_write(tmp_path: Path) -> None:
    env = dict(os.environ, PYTHONPATH=PACKAGES)
    for _ in range(2):
        done = quillon_command("klayout", "install", "--dir", tmp_path / "macros", env=env)
        assert done.returncode == 0, done.stderr
    assert [path.name for path in (tmp_path / "macros").iterdir()] == ["quillon_lvs.lym"]
    macro = ElementTree.parse(tmp_path / "macros" / "quillon_lvs.lym").getroot()
    assert (macro.findtext("interpreter"), macro.findtext("autorun")) == ("python", "true")
    assert f"QUILLON_COMMAND = {json.dumps([sys.executable, '-m', 'quillon'])}\n" in (macro.findtext("text") or "")
    (tmp_path / "file").write_text("")
    refused = quillon_command("klayout", "install", "--dir", tmp_path / "file", env=env)
    assert refused.returncode == 2 and "Traceback" not in refused.stderr
    [line] = refused.stderr.splitlines()
    assert line.startswith(f"quillon klayout: error: cannot write the macro into {str(tmp_path / 'file')!r}: ")
