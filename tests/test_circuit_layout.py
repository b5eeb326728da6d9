"""A circuit's layout from its netlist file: the layout passes the check against the same file."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
import yaml

import cellgrid as cg
import quillon
from quillon import demo
from quillon.build.circuit_layout import NetlistError, build_circuit_gds, circuit_placements, read_netlist
from quillon.cli import lvs
from quillon.core.shared import activate_pdk_by_name
from quillon.demo.random_circuit import random_netlist

#: Seeds of the random circuits (4 rows of 8 steps: about 80 instances each).
SEEDS = (1, 2, 3, 4, 5, 7)


@pytest.fixture
def project(tmp_path: Path) -> Path:
    """A project using the demo kit."""
    (tmp_path / "pyproject.toml").write_text('[tool.quillon]\nname = "chips"\npdk = "demo_pdk"\n')
    (tmp_path / "chips").mkdir()
    return tmp_path


def write_netlist(project: Path, name: str, netlist: dict[str, object] | str) -> Path:
    path = project / "chips" / f"{name}.pic.yml"
    path.write_text(netlist if isinstance(netlist, str) else yaml.safe_dump(netlist, sort_keys=False))
    return path


def check(layout: Path, netlist: Path, project: Path) -> int:
    """`quillon lvs LAYOUT NETLIST`: 0 when the layout matches."""
    report = layout.with_suffix(".lyrdb")
    return lvs.main([str(layout), str(netlist), "--project-dir", str(project), "-o", str(report)])


@pytest.mark.parametrize(
    "netlist",
    [
        *(pytest.param(path, id=path.name) for path in demo.CIRCUITS),
        *(pytest.param(seed, id=f"random-{seed}") for seed in SEEDS),
    ],
)
def test_layout_from_a_netlist_passes_the_check(project: Path, netlist: Path | int) -> None:
    if isinstance(netlist, int):
        netlist = write_netlist(project, f"random_{netlist}", random_netlist(netlist, chains=4, length=8))
    layout = project / "out.gds"
    name = build_circuit_gds(netlist, layout, project)
    assert name == netlist.name.removesuffix(".pic.yml")
    assert check(layout, netlist, project) == 0


def test_the_random_circuits_hold_mirrored_turns_shared_nets_and_odd_names() -> None:
    """What the round trip must get right is in the table: each turn mirrored,
    electrical nets of three and of four pins, names of every kind."""
    turns: set[int] = set()
    net_sizes: set[int] = set()
    names: set[str] = set()
    for seed in SEEDS:
        netlist = random_netlist(seed, chains=4, length=8)
        turns |= {p.get("rotation", 0) for p in netlist["placements"].values() if p.get("mirror")}
        groups: dict[str, set[str]] = {}  # endpoint (a pad for its ports) -> its net's pins
        for net in netlist["nets"]:
            ends = [e.rsplit(",", 1)[0] if e.rsplit(",", 1)[0].endswith("_pad") else e for e in net.values()]
            joined = groups.get(ends[0], {ends[0]}) | groups.get(ends[1], {ends[1]})
            groups.update(dict.fromkeys(joined, joined))
        net_sizes |= {len(pins) for pins in groups.values()}
        names |= set(netlist["instances"])
    assert turns == {0, 90, 180, 270}
    assert {2, 3, 4} <= net_sizes
    assert all(any(ch in name for name in names) for ch in "'\" \\é日")


def test_a_circuit_can_be_built_again_in_one_process(project: Path) -> None:
    first, second = project / "first.gds", project / "second.gds"
    assert build_circuit_gds(demo.MZI, first, project) == build_circuit_gds(demo.MZI, second, project) == "demo_mzi"
    assert check(second, demo.MZI, project) == 0
    assert "demo_mzi" not in cg.kcl.dkcells  # the shared library keeps no circuit


@pytest.mark.parametrize(
    "netlist",
    [
        *(pytest.param(path, id=path.name) for path in demo.CIRCUITS),
        *(pytest.param(seed, id=f"random-{seed}") for seed in SEEDS[:2]),
    ],
)
def test_placements_are_where_the_built_layout_puts_each_instance(project: Path, netlist: Path | int) -> None:
    if isinstance(netlist, int):
        netlist = write_netlist(project, f"random_{netlist}", random_netlist(netlist, chains=4, length=8))
    build_circuit_gds(netlist, project / "placed.gds", project)
    (top,) = cg.KCLayout("placed").read(project / "placed.gds")
    built = {}
    for inst in (i for i in top.insts if i.name):  # the routes' instances have no name
        trans, box = inst.dcplx_trans, inst.dbbox()
        built[inst.name] = [
            trans.disp.x,
            trans.disp.y,
            trans.angle % 360,
            trans.is_mirror(),
            box.left,
            box.bottom,
            box.right,
            box.top,
        ]
    placed = {
        name: [p["x"], p["y"], p["rotation"], p["mirror"], *p["box"]]
        for name, p in circuit_placements(read_netlist(netlist), activate_pdk_by_name("demo_pdk")).items()
    }
    assert placed.keys() == built.keys()
    assert {n: (placed[n], built[n]) for n in built if placed[n] != pytest.approx(built[n], abs=1e-3)} == {}
    assert not [name for name in cg.kcl.dkcells if name.startswith("placing")]  # nothing left behind


def test_unplaced_instances_are_put_side_by_side(project: Path) -> None:
    netlist = write_netlist(
        project,
        "loose",
        {
            "instances": {
                n: {"component": c}
                for n, c in [("a", "mmi1x2"), ("b", "pad"), ("c", "mmi2x2"), ("d", "grating_coupler")]
            }
        },
    )
    build_circuit_gds(netlist, project / "loose.gds", project)
    kcl = cg.KCLayout("loose")
    (top,) = kcl.read(project / "loose.gds")
    boxes = [inst.dbbox() for inst in top.insts]
    assert sorted(inst.name for inst in top.insts) == ["a", "b", "c", "d"]
    assert not any(p.overlaps(q) for i, p in enumerate(boxes) for q in boxes[i + 1 :])


def test_many_unplaced_instances_go_on_in_rows_below(project: Path) -> None:
    """300 pads would make a row 39 mm long: rows of at most ROW_WIDTH, one below the other."""
    from quillon.build.circuit_layout import ROW_WIDTH

    netlist = write_netlist(project, "pads", {"instances": {f"p{k}": {"component": "pad"} for k in range(300)}})
    build_circuit_gds(netlist, project / "pads.gds", project)
    (top,) = cg.KCLayout("pads").read(project / "pads.gds")
    boxes = [inst.dbbox() for inst in top.insts]
    assert len(boxes) == 300 and top.dbbox().width() <= ROW_WIDTH
    assert len({box.top for box in boxes}) == 4  # rows of 77 pads 80 µm wide, 50 µm apart
    assert not any(p.overlaps(q) for i, p in enumerate(boxes) for q in boxes[i + 1 :])


GOOD = """\
instances:
  a: {component: mmi1x2}
  b: {component: straight, settings: {length: 20}}
  p: {component: pad}
  q: {component: pad}
placements:
  q: {x: 300, y: 0}
connections:
  a,o2: b,o1
routes:
  r:
    links:
      a,o3: b,o2
nets:
  - {p1: "p,e3", p2: "q,e1"}
ports: {in: "a,o1"}
"""

#: (what is wrong, replaced text, replacement, what the message names)
BAD = [
    ("unknown component", "component: mmi1x2", "component: mmi3x3", "instance 'a': unknown component 'mmi3x3'"),
    ("unknown setting", "length: 20", "lenght: 20", "instance 'b' (straight): unknown setting 'lenght'"),
    ("bad setting type", "length: 20", "length: long", "instance 'b' (straight): setting 'length' must be a number"),
    (
        "setting below the kit's limit",
        "length: 20",
        "length: -5",
        "instance 'b' (straight): setting 'length' must be at least 0, got -5",
    ),
    ("unknown port", "a,o2: b,o1", "a,o9: b,o1", "instance 'a' (mmi1x2) has no port 'o9'"),
    ("unknown instance", "a,o2: b,o1", "a,o2: c,o1", "unknown instance 'c'"),
    (
        "unknown routing strategy",
        "    links:",
        "    routing_strategy: route_zigzag\n    links:",
        "route 'r': unknown routing strategy 'route_zigzag'",
    ),
    (
        "bad routing setting",
        "    links:",
        "    settings: {separation: wide}\n    links:",
        "route 'r': setting 'separation' of 'route_bundle' must be a number",
    ),
    ("net of optical ports", '"p,e3"', '"a,o1"', "nets[0]: route_single_electrical: port 'o1' is 'optical'"),
    ("placement of nobody", "q: {x: 300", "z: {x: 300", "placement 'z': unknown instance 'z'"),
    ("unknown entry", "ports:", "port:", "unknown entry 'port'"),
    ("not a mapping", GOOD, "- instances\n", "a netlist is a mapping"),
    ("not YAML", 'ports: {in: "a,o1"}', "ports: {", "not valid YAML"),
]


@pytest.mark.parametrize(("replace", "by", "message"), [pytest.param(*case[1:], id=case[0]) for case in BAD])
def test_a_bad_netlist_is_refused_in_one_line_naming_the_entry(
    project: Path, replace: str, by: str, message: str
) -> None:
    assert replace in GOOD
    netlist = write_netlist(project, "bad", GOOD.replace(replace, by, 1))
    with pytest.raises(NetlistError) as caught:
        build_circuit_gds(netlist, project / "bad.gds", project)
    assert message in str(caught.value)
    assert "\n" not in str(caught.value)
    assert not (project / "bad.gds").exists()
    assert not [name for name in cg.kcl.dkcells if name.startswith("bad")]  # nothing left half-built


def test_the_good_netlist_of_the_table_builds_and_checks(project: Path) -> None:
    netlist = write_netlist(project, "good", GOOD)
    build_circuit_gds(netlist, project / "good.gds", project)
    assert check(project / "good.gds", netlist, project) == 0


def test_quillon_build_then_check_from_the_command_line(project: Path) -> None:
    """The README's two commands, with a bad netlist in between: one line, exit 2."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(quillon.__file__).resolve().parents[1]), *sys.path]))
    env.pop("QUILLON_PROJECT_DIR", None)

    def quillon_run(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "quillon", *args], cwd=project, env=env, capture_output=True, text=True, timeout=300
        )

    bad = write_netlist(project, "bad", GOOD.replace("mmi1x2", "mmi3x3", 1))
    refused = quillon_run("build", str(bad))
    assert (refused.returncode, refused.stdout) == (2, "")
    assert refused.stderr.startswith(f"quillon build: error: {bad}: instance 'a': unknown component 'mmi3x3'")
    assert refused.stderr.count("\n") == 1

    built = quillon_run("build", str(demo.MZI), "-o", "mzi.gds")
    assert (built.returncode, built.stdout) == (0, "wrote mzi.gds (cell demo_mzi)\n")
    checked = quillon_run("lvs", "mzi.gds", str(demo.MZI))
    assert checked.returncode == 0, checked.stdout
