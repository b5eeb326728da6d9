"""The kit's build cache: what the editor's ports routes answer after it, and rebuilding only what changed."""

from __future__ import annotations

import os
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import httpx
import pytest
from editor_project import make_project
from test_serve_real_server import Server

import demo_pdk
from quillon import demo
from quillon.build.kit_cache import side_of

#: The side each direction faces.
SIDES = {0: "e", 90: "n", 180: "w", 270: "s"}


@pytest.fixture(scope="module")
def served(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[Server, Path]]:
    """``quillon serve`` on a fresh project: it builds the kit cache as it starts."""
    root = tmp_path_factory.mktemp("fresh")
    project = make_project(root / "fresh")
    (project / "demo" / "mzi.pic.yml").write_text(demo.MZI.read_text())
    server = Server(project, root / "server.log")
    yield server, project
    server.stop()


@pytest.mark.parametrize("component", list(demo_pdk.PDK.cells))
def test_a_fresh_served_project_has_the_ports_of_every_component(served: tuple[Server, Path], component: str) -> None:
    server, project = served
    ports = httpx.get(f"{server.url}assets/ports/{component}.json").json()
    extended = httpx.get(f"{server.url}assets/ports-extended/{component}.json").json()
    built = demo_pdk.PDK.get_component(component).ports
    assert ports == {port.name: SIDES[round(port.orientation)] for port in built}
    assert list(ports.values()) == sorted(ports.values(), key="wnes".index)
    for side in "wnes":
        along = [extended[name]["index"] for name, s in ports.items() if s == side]
        assert along == sorted(along)
    assert (project / "build" / "gds" / "pdk" / f"{component}.gds").is_file()


def test_a_served_project_has_the_schemas_of_its_netlists(served: tuple[Server, Path]) -> None:
    _, project = served
    assert (project / "build" / "schemas" / "mzi.json").is_file()


@pytest.mark.parametrize(
    ("orientation", "side"),
    [(0, "e"), (44, "e"), (46, "n"), (90, "n"), (180, "w"), (269, "s"), (300, "s"), (330, "e"), (-90, "s"), (450, "n")],
)
def test_a_port_goes_to_the_side_nearest_its_direction(orientation: float, side: str) -> None:
    assert side_of(orientation) == side


TINY_KIT = """
import cellgrid as cg
import klayout.db as kdb
import maskwright as mw
from demo_pdk import CROSS_SECTIONS, LAYER


@mw.cell
def block(width: float = 2.0) -> cg.DKCell:
    c = cg.DKCell()
    c.shapes(LAYER.WG).insert(kdb.DBox(0, -width / 2, 10, width / 2))
    c.create_port("c", width=0.5, layer=LAYER.WG, dcplx_trans=kdb.DCplxTrans(1, 300, False, 10, 0))
    c.create_port("b2", kdb.Trans(1, False, 8000, 1000), 0.5, LAYER.WG)
    c.create_port("b1", kdb.Trans(1, False, 2000, 1000), 0.5, LAYER.WG)
    c.create_port("a", kdb.Trans(2, False, 0, 0), 0.5, LAYER.WG)
    return c


@mw.cell
def broken() -> cg.DKCell:
    raise ValueError("no room for the broken part")


PDK = mw.Pdk("tinykit", cells={"block": block, "broken": broken}, cross_sections=CROSS_SECTIONS, layers=LAYER)
"""


def test_quillon_build_rebuilds_what_changed_and_reports_what_fails(tmp_path: Path) -> None:
    kit = tmp_path / "kits" / "tinykit" / "__init__.py"
    kit.parent.mkdir(parents=True)
    kit.write_text(TINY_KIT)
    project = make_project(tmp_path / "chips", pdk="tinykit")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(kit.parents[1]), *sys.path]))
    env.pop("QUILLON_PROJECT_DIR", None)

    def build() -> tuple[int, str, str]:
        done = subprocess.run(
            [sys.executable, "-m", "quillon", "build"],
            cwd=project,
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        return done.returncode, done.stdout.splitlines()[0], done.stderr

    failed = (1, "quillon build: component broken: no room for the broken part\n")
    assert build() == (
        failed[0],
        f"kit tinykit: 1 built, 0 unchanged, 1 failed ({project / 'build' / 'gds' / 'pdk'})",
        failed[1],
    )
    ports = project / "build" / "gds" / "pdk" / "ports" / "block.json"
    assert ports.read_text().replace(" ", "").replace("\n", "") == '{"block":{"a":"w","b1":"n","b2":"n","c":"s"}}'
    assert (project / "build" / "svg" / "block.svg").is_file()

    assert build()[:2] == (1, f"kit tinykit: 0 built, 1 unchanged, 1 failed ({project / 'build' / 'gds' / 'pdk'})")
    kit.write_text(TINY_KIT.replace('raise ValueError("no room for the broken part")', "return cg.DKCell()"))
    assert build()[:2] == (0, f"kit tinykit: 2 built, 0 unchanged, 0 failed ({project / 'build' / 'gds' / 'pdk'})")
