"""``quillon build`` and ``quillon lvs`` on hostile files: one line and exit 2, or a sound result.

Each case writes real files (GDS records and OASIS bytes written by hand
where KLayout would not write them, netlist files as YAML) and runs the
command as the command line does, in this process; what reaches the terminal
is captured at the file descriptors, so KLayout's own output counts too.
"""

from __future__ import annotations

import struct
from collections.abc import Callable
from pathlib import Path

import klayout.db as kdb
import pytest

import cellgrid as cg
from layout_builders import PDK, metal, new_cell, place
from quillon.cli.main import main

REFERENCE = "instances: {}\nconnections: {}\nroutes: {}\nnets: []\nports: {}\n"


@pytest.fixture
def project(tmp_path: Path) -> Path:
    """A project using the demo kit, with an empty reference netlist."""
    (tmp_path / "pyproject.toml").write_text('[tool.quillon]\nname = "chips"\npdk = "demo_pdk"\n')
    (tmp_path / "chips").mkdir()
    (tmp_path / "empty.pic.yml").write_text(REFERENCE)
    return tmp_path


# --- layouts ------------------------------------------------------------------


def _gds_real(value: float) -> bytes:
    """An 8-byte GDS real (excess-64, base 16)."""
    if value == 0:
        return bytes(8)
    sign, value, exponent = (0x80 if value < 0 else 0), abs(value), 64
    while value >= 1:
        value, exponent = value / 16, exponent + 1
    while value < 1 / 16:
        value, exponent = value * 16, exponent - 1
    return bytes([sign | exponent]) + int(value * 2**56).to_bytes(7, "big")


def _record(kind: int, data_type: int, data: bytes = b"") -> bytes:
    return struct.pack(">HBB", 4 + len(data), kind, data_type) + data


def _text(text: str) -> bytes:
    data = text.encode()
    return data + b"\0" * (len(data) % 2)


def gds(path: Path, cells: dict[str, list[tuple[str, float | None]]], unit_m: float = 1e-9) -> None:
    """A GDS file of `cells` (name -> placed cells, each with a magnification or None); every
    cell holds a box. `unit_m` is the database unit in metres, written as it is given."""
    out = (
        _record(0x00, 0x02, struct.pack(">h", 600)) + _record(0x01, 0x02, bytes(24)) + _record(0x02, 0x06, _text("lib"))
    )
    out += _record(0x03, 0x05, _gds_real(unit_m * 1e6 * 1e-3) + _gds_real(unit_m))
    for name, placed in cells.items():
        out += _record(0x05, 0x02, bytes(24)) + _record(0x06, 0x06, _text(name))
        out += _record(0x08, 0) + _record(0x0D, 0x02, struct.pack(">h", 1)) + _record(0x0E, 0x02, struct.pack(">h", 0))
        out += _record(0x10, 0x03, struct.pack(">10i", 0, 0, 0, 100, 100, 100, 100, 0, 0, 0)) + _record(0x11, 0)
        for child, magnification in placed:
            out += _record(0x0A, 0) + _record(0x12, 0x06, _text(child))
            if magnification is not None:
                out += _record(0x1A, 0x01, b"\0\0") + _record(0x1B, 0x05, _gds_real(magnification))
            out += _record(0x10, 0x03, struct.pack(">2i", 0, 0)) + _record(0x11, 0)
        out += _record(0x07, 0)
    path.write_bytes(out + _record(0x04, 0))


def oasis_magnified(path: Path, magnification: float, ports: bool = False) -> None:
    """An OASIS file whose top cell places one cell magnified by `magnification` (any double:
    KLayout writes 2.5, replaced here by the value's bytes). The placed cell holds a box, or
    with `ports` only a port of the component library."""
    kcl = cg.KCLayout(f"magnified:{path.name}")
    child = kcl.dkcell("child")
    if ports:
        child.create_port("o1", kdb.Trans(0, False, 1000, 0), width=0.5, layer=(1, 0))
    else:
        child.kdb_cell.shapes(kcl.layout.layer(1, 0)).insert(kdb.Box(0, 0, 100, 100))
    top = kcl.dkcell("top")
    top.create_inst(child, name="a").dcplx_trans = kdb.DCplxTrans(2.5, 0, False, 0, 0)
    top.write(str(path.with_suffix(".gds")))
    layout = kdb.Layout()
    layout.read(str(path.with_suffix(".gds")))
    options = kdb.SaveLayoutOptions()
    options.format, options.oasis_compression_level, options.oasis_write_cblocks = "OASIS", 0, False
    layout.write(str(path), options)
    data = path.read_bytes()
    assert data.count(struct.pack("<d", 2.5)) == 1
    path.write_bytes(data.replace(struct.pack("<d", 2.5), struct.pack("<d", magnification)))


def chain(path: Path, depth: int) -> None:
    """A top cell placing a cell placing a cell ... `depth` deep, a box at the bottom."""
    layout = kdb.Layout()
    cells = [layout.create_cell(f"level{i}") for i in range(depth + 1)]
    for parent, child in zip(cells, cells[1:]):
        parent.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(kdb.Point(10, 0))))
    cells[-1].shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 100, 100))
    layout.write(str(path))


def run(capfd: pytest.CaptureFixture[str], *args: str | Path) -> tuple[int, str, str]:
    """`quillon ARGS` in this process: exit status, stdout, stderr."""
    status = main([str(arg) for arg in args])
    out, err = capfd.readouterr()
    return status, out, err


def unnamed_pad_on_metal(path: Path) -> None:
    """A named pad wired by metal to a pad placed without a name."""
    PDK.activate()
    top = new_cell()
    metal(top, place(top, "pad", "p")["e3"], place(top, "pad", None, x=200)["e1"])
    top.write(str(path))


#: (case, layout file name, how to write it, what the one error line says)
BAD_LAYOUTS: list[tuple[str, str, Callable[[Path], None], str]] = [
    (
        "unit of zero",
        "zero.gds",
        lambda p: gds(p, {"top": []}, unit_m=0.0),
        "its database unit is 0 µm; a unit must be a positive length",
    ),
    ("negative unit", "negative.gds", lambda p: gds(p, {"top": []}, unit_m=-1e-9), "its database unit is -0.001 µm"),
    (
        "magnified by zero",
        "mag0.gds",
        lambda p: gds(p, {"top": [("c", 0.0)], "c": []}),
        "an instance is magnified by zero or less",
    ),
    ("magnified below zero", "neg.oas", lambda p: oasis_magnified(p, -2.0), "an instance is magnified by zero or less"),
    (
        "cells in a cycle",
        "cycle.gds",
        lambda p: gds(p, {"top": [("a", None)], "a": [("b", None)], "b": [("a", None)]}),
        "its cells place one another in a cycle",
    ),
    ("empty cell name", "unnamed.gds", lambda p: gds(p, {"top": [("", None)], "": []}), "a cell has an empty name"),
    (
        "magnified by 1e300",
        "huge.oas",
        lambda p: oasis_magnified(p, 1e300),
        "instance 'a' in cell 'top' is magnified by 1e+300 and reaches beyond the layout's coordinates (±2147483.647 µm)",
    ),
    (
        "magnified by infinity",
        "inf.oas",
        lambda p: oasis_magnified(p, float("inf")),
        "is magnified by inf and reaches beyond",
    ),
    (
        "metal reaching a pad without a name",
        "unnamed_pad.gds",
        unnamed_pad_on_metal,
        "Could not find pin: metal joins a port of an instance without a name to other ports ('pad' at (200, 0))",
    ),
    (
        "ports magnified by 1e300",
        "ports.oas",
        lambda p: oasis_magnified(p, 1e300, ports=True),
        "cannot check cell 'top': an instance of cell 'child' placed by r0 *1e+300 0,0 puts its port 'o1' beyond the layout's coordinates",
    ),
]


@pytest.mark.parametrize(("name", "write", "message"), [pytest.param(*case[1:], id=case[0]) for case in BAD_LAYOUTS])
def test_a_bad_layout_is_one_line_and_exit_2(
    project: Path, name: str, write: Callable[[Path], None], message: str, capfd: pytest.CaptureFixture[str]
) -> None:
    write(project / name)
    status, out, err = run(capfd, "lvs", project / name, project / "empty.pic.yml", "--project-dir", project)
    assert (status, out) == (2, "")
    [line] = err.splitlines()  # nothing of KLayout's own
    assert line.startswith("quillon lvs: error: ")
    assert message in line
    assert not list(project.glob("*.lyrdb"))


#: (case, layout file name, how to write it, the summary's first line): layouts that are
#: odd but sound, checked against the empty reference.
SOUND_LAYOUTS: list[tuple[str, str, Callable[[Path], None], str]] = [
    ("chain 1000 deep", "chain1000.gds", lambda p: chain(p, 1000), "LVS Diff - level0: no findings"),
    ("chain 2000 deep", "chain2000.gds", lambda p: chain(p, 2000), "LVS Diff - level0: no findings"),
    # KLayout reads a magnification of NaN as 1, and a viewer shows it so: the
    # instance is there, unknown to the empty reference
    ("magnified by NaN", "nan.oas", lambda p: oasis_magnified(p, float("nan")), "LVS Diff - top: 1 finding"),
]


@pytest.mark.parametrize(("name", "write", "summary"), [pytest.param(*case[1:], id=case[0]) for case in SOUND_LAYOUTS])
def test_a_sound_but_unusual_layout_is_checked(
    project: Path, name: str, write: Callable[[Path], None], summary: str, capfd: pytest.CaptureFixture[str]
) -> None:
    write(project / name)
    status, out, err = run(capfd, "lvs", project / name, project / "empty.pic.yml", "--project-dir", project)
    assert (status, err, out.splitlines()[0]) == (0 if "no findings" in summary else 1, "", summary)


# --- netlists -----------------------------------------------------------------

CIRCUIT = """\
instances:
  s: {component: straight}
  a: {component: mmi1x2}
  p: {component: pad}
  q: {component: pad}
placements:
  s: {x: 0, y: 0}
  q: {x: 300, y: 0}
"""

#: (case, text added to CIRCUIT, what the one error line says)
BAD_NETLISTS = [
    ("x NaN", "  a: {x: .nan}\n", "placement 'a': x must be a finite number, got nan"),
    ("y infinite", "  a: {y: -.inf}\n", "placement 'a': y must be a finite number, got -inf"),
    ("rotation NaN", "  a: {rotation: .nan}\n", "placement 'a': rotation must be a finite number, got nan"),
    (
        "x 1e300",
        "  a: {x: 1.0e+300}\n",
        "placement 'a': x = 1e+300 µm lies beyond the layout's coordinates (±2147483.647 µm)",
    ),
    ("x 3e6", "  a: {x: 3000000}\n", "placement 'a': x = 3e+06 µm lies beyond the layout's coordinates"),
    ("x beyond any float", f"  a: {{x: {10**400}}}\n", "placement 'a': x = inf µm lies beyond"),
    (
        "x at the edge",
        "  a: {x: 2147483.6}\n",
        "instance 'a' reaches 2147499.100 µm, beyond the layout's coordinates (±2147483.647 µm)",
    ),
    ("net to itself", 'nets:\n  - {p1: "p,e3", p2: "p,e3"}\n', "nets[0]: 'p,e3' is joined to itself"),
    ("route link to itself", 'routes:\n  r: {links: {"a,o2": "a,o2"}}\n', "route 'r': 'a,o2' is joined to itself"),
    ("connection to itself", 'connections:\n  "a,o2": "a,o2"\n', "connection 'a,o2': 'a,o2' is joined to itself"),
    ("nested 100,000 deep", "  a: " + "[" * 100_000 + "\n", "YAML collections nest more than 500 levels deep; refused"),
    (
        "an endpoint of a megabyte",
        f'nets:\n  - {{p1: "p,e3", p2: "{"q" * 10**6},e1"}}\n',
        "nets[0]: unknown instance 'qqq",
    ),
]


@pytest.mark.parametrize(("added", "message"), [pytest.param(*case[1:], id=case[0]) for case in BAD_NETLISTS])
def test_a_bad_netlist_is_one_line_naming_the_entry(
    project: Path, added: str, message: str, capfd: pytest.CaptureFixture[str]
) -> None:
    netlist = project / "chips" / "bad.pic.yml"
    netlist.write_text(CIRCUIT + added)
    status, out, err = run(capfd, "build", netlist, "--project-dir", project)
    assert (status, out) == (2, "")
    [line] = err.splitlines()
    assert line.startswith(f"quillon build: error: {netlist}: {message}")
    assert len(line) < 1000  # a value of the file is shown shortened
    assert not list(project.glob("**/*.gds"))


def test_the_circuit_of_the_table_builds(project: Path, capfd: pytest.CaptureFixture[str]) -> None:
    netlist = project / "chips" / "good.pic.yml"
    netlist.write_text(CIRCUIT + "  a: {x: -2000000, y: 2000000, rotation: 90}\n")
    status, out, err = run(capfd, "build", netlist, "--project-dir", project)
    assert (status, err) == (0, "")
    assert out.startswith("wrote ")
