"""optical_lvs from start to end on the demo splitter: faulty and clean layouts."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest
import yaml

import findings_support as fs
from quillon import demo
from quillon.core import lvs
from quillon.demo import make_demo

TITLES = [
    "Unknown Connections",
    "Missing Connections",
    "Missing Instances",
    "Unknown Instances",
    "Mismatched Instances",
    "Mismatched Ports",
    "Mismatched Settings",
]


@pytest.fixture
def demo_project(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A project whose settings name the demo kit; the check reads them."""
    (tmp_path / "pyproject.toml").write_text('[tool.quillon]\nname = "demo"\npdk = "demo_pdk"\n')
    monkeypatch.setenv("QUILLON_PROJECT_DIR", str(tmp_path))
    return tmp_path


def read_cell(path: Path) -> Any:
    """The only top cell of a layout file, read into a library of its own."""
    import cellgrid as cg

    kcl = cg.KCLayout(f"e2e:{path}")
    [cell] = kcl.read(path)
    return cell


def test_demo_layout_gives_every_category(demo_project: Path, tmp_path: Path) -> None:
    cell = read_cell(demo.LAYOUT)
    rdb = lvs.optical_lvs(cell, str(demo.REFERENCE))
    assert rdb.name() == "LVS Diff - demo_splitter"

    loaded = fs.reloaded(rdb, tmp_path)
    found = fs.findings(loaded)
    assert list(found) == TITLES
    texts = {title: sorted(fs.first_text(values) for values in items) for title, items in found.items()}
    assert texts == {
        "Unknown Connections": [
            "Unknown Connection from 'ERROR_NO_CONNECTION' to 'gc_top,o1'",
            "Unknown Connection from 'bend_bot2,o2' to 'gc_out,o1'",
        ],
        "Missing Connections": [
            "Missing Connection from 'bend_bot2,o2' to 'gc_bot,o1'",
            "Missing Connection from 'bend_top2,o1' to 'gc_top,o1'",
        ],
        "Missing Instances": ["Cannot find Instance 'gc_bot' in the layout"],
        "Unknown Instances": ["Instance 'gc_out' is not present in the reference netlist"],
        "Mismatched Instances": [
            "Instance 'bend_top' is a 'bend_circular' in the layout but a 'bend_euler' in the reference netlist"
        ],
        "Mismatched Ports": [
            "Port 'monitor' (at 'bend_top2,o1' in the layout) is not present in the reference netlist"
        ],
        "Mismatched Settings": [
            "Instance 'gc_in': period is 0.63 in the layout but 0.66 in the reference netlist (its default)"
        ],
    }
    [[gc_in_box, _]] = found["Mismatched Settings"]
    assert gc_in_box == cell.insts["gc_in"].dbbox()
    [[box, _]] = found["Unknown Instances"]
    assert box == cell.insts["gc_out"].dbbox()
    gap = next(values for values in found["Missing Connections"] if "gc_top" in values[0])
    # gc_top sits 2 µm right of bend_top2's output: the marker spans the gap.
    assert fs.outline(gap[1]) == fs.outline([(35.5, 20.375), (35.5, 20.875), (37.5, 20.375), (37.5, 20.875)])
    assert fs.item_cells(loaded) == {"demo_splitter"}


def test_clean_layout_gives_no_items(demo_project: Path, tmp_path: Path) -> None:
    layout, reference = make_demo.write_demo(tmp_path, fs.unique_name("clean_splitter"), faulty=False)
    cell = read_cell(layout)
    rdb = lvs.optical_lvs(cell, str(reference))
    assert rdb.name() == f"LVS Diff - {cell.name}"
    assert rdb.num_items() == 0
    assert [c.name() for c in rdb.each_category()] == TITLES


def test_clean_layout_in_memory_gives_no_items(demo_project: Path, tmp_path: Path) -> None:
    cell = make_demo.build_splitter(fs.unique_name("memory_splitter"), faulty=False)
    reference = tmp_path / "ref.pic.yml"
    reference.write_text(yaml.safe_dump(make_demo.reference_netlist()))
    assert lvs.optical_lvs(cell, str(reference)).num_items() == 0


def test_committed_demo_matches_its_generator(tmp_path: Path) -> None:
    """The bundled files are what make_demo writes today."""
    layout, reference = make_demo.write_demo(tmp_path, fs.unique_name("regenerated"))
    assert yaml.safe_load(reference.read_text()) == yaml.safe_load(demo.REFERENCE.read_text())

    def placements(cell: Any) -> list[tuple[str, str, str]]:
        return sorted((i.name, i.cell.name, str(i.dcplx_trans)) for i in cell.insts)

    assert placements(read_cell(layout)) == placements(read_cell(demo.LAYOUT))
