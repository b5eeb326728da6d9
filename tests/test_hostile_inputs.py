"""``quillon build`` and ``quillon lvs`` on hostile files: one line and exit 2, or a sound result.

Each case writes real files (GDS and OASIS written byte by byte where KLayout
would not write them, netlist files as YAML) and runs the command as the
command line does, in this process; what reaches the terminal is captured at
the file descriptors, so KLayout's own output counts too.
"""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

import klayout.db as kdb
import pytest

from quillon.cli.main import main

REFERENCE = "instances: {}\nconnections: {}\nroutes: {}\nnets: []\nports: {}\n"


@pytest.fixture
def project(tmp_path: Path) -> Path:
    """A project using the demo kit, with an empty reference netlist."""
    (tmp_path / "pyproject.toml").write_text('[tool.quillon]\nname = "chips"\npdk = "demo_pdk"\n')
    (tmp_path / "chips").mkdir()
    (tmp_path / "empty.pic.yml").write_text(REFERENCE)
    return tmp_path


def chain(path: Path, depth: int) -> None:
    """A top cell placing a cell placing a cell ... `depth` deep, a box at the bottom."""
    layout = kdb.Layout()
    cells = [layout.create_cell(f"level{i}") for i in range(depth + 1)]
    for parent, child in zip(cells, cells[1:]):
        parent.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(kdb.Point(10, 0))))
    cells[-1].shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 100, 100))
    layout.write(str(path))


#: (layout file name, how to write it); each is checked against the empty reference.
SOUND_LAYOUTS: list[tuple[str, Callable[[Path], None]]] = [
    ("chain1000.gds", lambda path: chain(path, 1000)),
    ("chain2000.gds", lambda path: chain(path, 2000)),
]


@pytest.mark.parametrize(("name", "write"), [pytest.param(*case, id=case[0]) for case in SOUND_LAYOUTS])
def test_a_sound_but_unusual_layout_is_checked(project: Path, name: str, write: Callable[[Path], None], capfd: pytest.CaptureFixture[str]) -> None:
    write(project / name)
    status = main(["lvs", str(project / name), str(project / "empty.pic.yml"), "--project-dir", str(project)])
    out, err = capfd.readouterr()
    assert (status, err) == (0, "")
    assert out.startswith("LVS Diff - level0: no findings")
