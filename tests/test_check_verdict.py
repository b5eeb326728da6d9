"""The check's verdict on real layouts built with the demo kit.

A Mach-Zehnder interferometer (splitter, a heater arm and a plain arm,
combiner, two grating couplers, the heater wired by metal to two pads) and
its variants: every clean layout gives no item, whatever shape its netlist
takes; every fault gives the items that name it, also when the difference
reports a whole mapping as one changed value.
"""

from __future__ import annotations

import copy
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
import yaml

import cellgrid as cg
import findings_support as fs
import maskwright as mw
from demo_pdk.layers import LAYER
from layout_builders import netlist_reading  # noqa: F401
from layout_builders import (
    PDK,
    attach,
    component,
    expose,
    metal,
    metal_path,
    new_cell,
    place,
    place_array,
    straight_run,
    via,
    waveguide,
)
from quillon.findings import kind_of, read_findings
from quillon.core import lvs

NAMES = ["splitter", "gc_in", "heater", "arm", "combiner", "gc_out", "pad1", "pad2"]
Case = tuple[cg.DKCell, dict[str, Any]]


@pytest.fixture(autouse=True)
def demo_project(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """A project whose settings name the demo kit; the check reads them."""
    (tmp_path / "pyproject.toml").write_text('[tool.quillon]\nname = "demo"\npdk = "demo_pdk"\n')
    monkeypatch.setenv("QUILLON_PROJECT_DIR", str(tmp_path))
    PDK.activate()


def mzi(
    names: dict[str, str] | None = None,
    gc_out_shift: float = 0,
    pads_joined: bool = False,
    heater_settings: dict[str, Any] | None = None,
    arm_settings: dict[str, Any] | None = None,
    gc_out_rotation: float = 0,
    arm_route_short: float = 0,
) -> cg.DKCell:
    """The interferometer, instance names mapped through `names`; `gc_out_shift` µm
    moves the output grating off the combiner, `pads_joined` wires the pads together;
    `heater_settings` and `arm_settings` build the heater and the plain arm;
    `gc_out_rotation` turns the output grating about its port, and the route from
    the arm to the combiner stops `arm_route_short` µm short."""
    n = {name: name for name in NAMES} | (names or {})
    top = new_cell("mzi")
    splitter = place(top, "mmi1x2", n["splitter"])
    attach(top, "grating_coupler", "o1", splitter["o1"], name=n["gc_in"])
    heater = place(top, component("straight_heater_metal", **(heater_settings or {})), n["heater"], x=60, y=40)
    arm_inst = place(top, component("straight", **({"length": 100} | (arm_settings or {}))), n["arm"], x=60, y=-40)
    combiner = place(top, "mmi1x2", n["combiner"], x=230, rotation=180)
    place(top, "grating_coupler", n["gc_out"], x=240 + gc_out_shift, rotation=gc_out_rotation)
    waveguide(top, splitter["o3"], heater["o1"])
    waveguide(top, heater["o2"], combiner["o2"])
    waveguide(top, splitter["o2"], arm_inst["o1"])
    waveguide(top, arm_inst["o2"], combiner["o3"].transformed(fs.kdb.DCplxTrans(-arm_route_short, 0)))
    pad1, pad2 = place(top, "pad", n["pad1"], x=40, y=200), place(top, "pad", n["pad2"], x=200, y=200)
    metal(top, heater["e1"], pad1["e4"])
    metal(top, heater["e2"], pad2["e4"])
    if pads_joined:
        metal(top, pad1["e3"], pad2["e1"])
    return top


def mzi_reference(names: dict[str, str] | None = None) -> dict[str, Any]:
    n = {name: name for name in NAMES} | (names or {})
    components = ["mmi1x2", "grating_coupler", "straight_heater_metal", "straight_length100", "mmi1x2"]
    components += ["grating_coupler", "pad", "pad"]
    return {
        "instances": {n[name]: {"component": c} for name, c in zip(NAMES, components)},
        "connections": {f"{n['gc_in']},o1": f"{n['splitter']},o1", f"{n['combiner']},o1": f"{n['gc_out']},o1"},
        "routes": {
            "arms": {
                "links": {
                    f"{n['splitter']},o3": f"{n['heater']},o1",
                    f"{n['heater']},o2": f"{n['combiner']},o2",
                    f"{n['splitter']},o2": f"{n['arm']},o1",
                    f"{n['arm']},o2": f"{n['combiner']},o3",
                }
            }
        },
        "nets": [
            {"p1": f"{n['heater']},e1", "p2": f"{n['pad1']},e4"},
            {"p1": f"{n['heater']},e2", "p2": f"{n['pad2']},e3"},
        ],
        "ports": {},
    }


def check(cell: cg.DKCell, reference: dict[str, Any], directory: Path, **options: Any) -> dict[str, list[str]]:
    """Category -> the text values of each of its items, joined by " | "; empty categories left out.
    Every item has one of the check's kinds.

    `options` are passed on to the check (`settings_tolerance`, `notes`)."""
    path = directory / "reference.pic.yml"
    path.write_text(yaml.safe_dump(reference, sort_keys=False, allow_unicode=True), encoding="utf-8")
    rdb = fs.reloaded(lvs.optical_lvs(cell, str(path), **options), directory)
    assert all(kind_of(item) in lvs.finding_kinds for item in rdb.each_item())
    found = fs.findings(rdb)
    return {
        title: sorted(" | ".join(v for v in values if isinstance(v, str)) for values in items)
        for title, items in found.items()
        if items
    }


def read_back(cell: cg.DKCell, directory: Path, renamed: dict[str, str]) -> cg.DKCell:
    """`cell` written to GDS with instance names changed behind the cell library's
    back (as another tool would write them) and read into a library of its own."""
    for inst in cell.kdb_cell.each_inst():
        name = inst.property(cg.conf.PROPID.NAME)
        if name in renamed:
            inst.set_property(cg.conf.PROPID.NAME, renamed[name])
    path = directory / "layout.gds"
    cell.write(str(path))
    [read] = cg.KCLayout(f"verdict:{path}:{len(renamed)}").read(path)
    return read


# --- clean layouts ----------------------------------------------------------------

ODD = {
    "splitter": "sp'1",
    "heater": 'h"1',
    "arm": "a\\b",
    "combiner": "c o'm\"b",
    "gc_in": "gç_in",
    "gc_out": "g,out",
    "pad2": "p,2",
}


def odd_names(directory: Path) -> Case:
    stand_ins = {name: f"n{i}" for i, name in enumerate(ODD)}
    cell = read_back(mzi(stand_ins), directory, {stand_ins[name]: odd for name, odd in ODD.items()})
    return cell, mzi_reference(ODD)


def four_pin_net_as_a_chain(directory: Path) -> Case:
    reference = mzi_reference()
    reference["nets"] = [
        {"p1": "heater,e1", "p2": "pad1,e4"},
        {"p1": "pad1,e3", "p2": "pad2,e1"},
        {"p1": "pad2,e3", "p2": "heater,e2"},
    ]
    return mzi(pads_joined=True), reference


def mirrored(rotation: int) -> Callable[[Path], Case]:
    def build(directory: Path) -> Case:
        top = new_cell("mirrored")
        m = place(top, "mmi1x2", "m", rotation=rotation, mirror=True)
        attach(top, "grating_coupler", "o1", m["o1"], name="g1")
        attach(top, "grating_coupler", "o1", m["o3"], name="g3")
        waveguide(top, m["o2"], place(top, "grating_coupler", "g2", x=200, y=200)["o1"])
        gratings = {f"g{i}": {"component": "grating_coupler"} for i in (1, 2, 3)}
        return top, {
            "instances": {"m": {"component": "mmi1x2"}} | gratings,
            "connections": {"g1,o1": "m,o1", "m,o3": "g3,o1"},
            "routes": {"r": {"links": {"m,o2": "g2,o1"}}},
            "nets": [],
            "ports": {},
        }

    return build


def route_between_two_ports(directory: Path) -> Case:
    top = new_cell("through")
    start = place(top, "straight")
    pieces = straight_run(top, start["o2"], [5, 5])
    expose(top, start["o1"], "p")
    expose(top, pieces[-1]["o2"], "q")
    return top, {"instances": {}, "connections": {}, "routes": {}, "nets": [], "ports": {"p": "q"}}


def exposed_pad_port(directory: Path | None = None, at: str = "pad1,e2", pads_joined: bool = False) -> Case:
    """The first pad's side e2 exposed as the cell's port "bias", which the reference puts `at`."""
    top = mzi(pads_joined=pads_joined)
    expose(top, top.insts["pad1"]["e2"], "bias")
    reference = mzi_reference()
    reference["ports"] = {"bias": at}
    return top, reference


def pad_port_on_bare_metal() -> Case:
    """The port "bias" on a metal patch of its own, which touches no instance."""
    top = mzi()
    top.shapes(PDK.layers["M2"]).insert(fs.kdb.DBox(-100, 300, -80, 320))
    top.create_port(
        "bias",
        width=10,
        layer=PDK.layers["M2"],
        port_type="electrical",
        dcplx_trans=fs.kdb.DCplxTrans(1, 0, False, -90, 310),
    )
    reference = mzi_reference()
    reference["ports"] = {"bias": "pad1,e2"}
    return top, reference


def component_named_without_its_settings(directory: Path) -> Case:
    reference = mzi_reference()
    reference["instances"]["arm"] = {"component": "straight", "settings": {"length": 100}}
    return mzi(), reference


EMPTY = {"instances": {}, "connections": {}, "routes": {}, "nets": [], "ports": {}}

CLEAN = [
    pytest.param(lambda d: (mzi(), mzi_reference()), id="interferometer"),
    pytest.param(odd_names, id="names with quotes, backslash, space, non-ASCII, comma"),
    pytest.param(four_pin_net_as_a_chain, id="four-pin net listed as a chain"),
    pytest.param(
        lambda d: (mzi(), mzi_reference() | {"nets": [*mzi_reference()["nets"], {"p1": "pad1,e1", "p2": "pad1,e3"}]}),
        id="net listed through two sides of one pad",
    ),
    *(pytest.param(mirrored(r), id=f"mirrored, turned {r}") for r in (0, 90, 180, 270)),
    pytest.param(lambda d: (component("straight_heater_metal"), EMPTY), id="leaf cell"),
    pytest.param(route_between_two_ports, id="route joining two external ports"),
    pytest.param(exposed_pad_port, id="electrical port of a wired pad exposed"),
    pytest.param(lambda d: exposed_pad_port(at="pad1,e4"), id="electrical port named by another side of its pad"),
    pytest.param(
        lambda d: exposed_pad_port(at="heater,e1"), id="electrical port named by the heater its pad is wired to"
    ),
    pytest.param(component_named_without_its_settings, id="component named without its settings"),
]


@pytest.mark.parametrize("build", CLEAN)
def test_clean_layouts_give_no_items(tmp_path: Path, build: Callable[[Path], Case]) -> None:
    cell, reference = build(tmp_path)
    assert check(cell, reference, tmp_path) == {}


# --- faults -------------------------------------------------------------------------


def with_changes(**changes: Any) -> dict[str, Any]:
    reference = copy.deepcopy(mzi_reference())
    for key, value in changes.items():
        reference[key] = value(reference[key]) if callable(value) else value
    return reference


def missing(names: list[str]) -> list[str]:
    return sorted(f"Cannot find Instance {name!r} in the layout" for name in names)


def port_in_empty_space() -> cg.DKCell:
    top = mzi()
    top.create_port("mon", fs.kdb.Trans(0, False, 500_000, 0), 0.5, PDK.layers["WG"])
    return top


def open_beside_another_wire() -> Case:
    """Pads a, b and c on one reference net; the layout wires a to b, and c to a fourth pad d."""
    top = new_cell("open_beside")
    pads = {name: place(top, "pad", name, x=200 * k) for k, name in enumerate("abcd")}
    metal(top, pads["a"]["e3"], pads["b"]["e1"])
    metal(top, pads["c"]["e3"], pads["d"]["e1"])
    nets = [{"p1": "a,e3", "p2": "b,e1"}, {"p1": "b,e3", "p2": "c,e1"}]
    return top, EMPTY | {"instances": {name: {"component": "pad"} for name in "abcd"}, "nets": nets}


UNPLACED = [f"later{i}" for i in range(20)]
UNNAMED = {name: None for name in NAMES}

FAULTS = [
    pytest.param(
        lambda d: (mzi(), with_changes(instances=lambda i: i | {n: {"component": "pad"} for n in UNPLACED})),
        {"Missing Instances": missing(UNPLACED)},
        id="20 instances not placed yet: compared whole",
    ),
    pytest.param(
        lambda d: (mzi(UNNAMED), mzi_reference()),
        {"Missing Connections": 8, "Missing Instances": missing(NAMES)},
        id="instance names lost",
    ),
    pytest.param(
        lambda d: (mzi(), with_changes(instances=lambda i: i | {"combiner": {"component": "mmi2x2"}})),
        {
            "Mismatched Instances": [
                "Instance 'combiner' is a 'mmi1x2' in the layout but a 'mmi2x2' in the reference netlist"
            ]
        },
        id="other component",
    ),
    pytest.param(
        lambda d: (mzi(), with_changes(ports={"in": "gc_in,o1"})),
        {"Mismatched Ports": ["Port 'in' (at 'gc_in,o1' in the reference netlist) is not a port of the layout"]},
        id="port only in the reference",
    ),
    pytest.param(
        lambda d: (port_in_empty_space(), with_changes(ports={"mon": "gc_out,o1"})),
        {
            "Mismatched Ports": [
                "Port 'mon' attaches to nothing in the layout but to 'gc_out,o1' in the reference netlist"
            ]
        },
        id="port attached to nothing",
    ),
    pytest.param(
        lambda d: exposed_pad_port(at="pad2,e2"),
        {"Mismatched Ports": ["Port 'bias' is at 'pad1,e2' in the layout but at 'pad2,e2' in the reference netlist"]},
        id="electrical port on another pad",
    ),
    pytest.param(
        lambda d: pad_port_on_bare_metal(),
        {
            "Mismatched Ports": [
                "Port 'bias' attaches to nothing in the layout but to 'pad1,e2' in the reference netlist"
            ]
        },
        id="electrical port on metal that reaches no instance",
    ),
    pytest.param(
        lambda d: (exposed_pad_port()[0], mzi_reference()),
        {"Mismatched Ports": ["Port 'bias' (at 'pad1,e2' in the layout) is not present in the reference netlist"]},
        id="electrical port only in the layout",
    ),
    pytest.param(
        lambda d: (mzi(gc_out_shift=20), mzi_reference()),
        {
            "Unknown Connections": [
                "Unknown Connection from 'ERROR_NO_CONNECTION' to 'combiner,o1' | Port 'combiner,o1' is open: nothing connects to it",
                "Unknown Connection from 'ERROR_NO_CONNECTION' to 'gc_out,o1' | Port 'gc_out,o1' is open: nothing connects to it",
            ],
            "Missing Connections": ["Missing Connection from 'combiner,o1' to 'gc_out,o1'"],
        },
        id="open ports",
    ),
    pytest.param(
        lambda d: (mzi(pads_joined=True), mzi_reference()),
        {
            "Unknown Connections": [
                "Short: the layout connects ['heater,e1', 'pad1,e4'] and ['heater,e2', 'pad2,e3'], "
                "which are separate nets in the reference netlist"
            ]
        },
        id="short",
    ),
    pytest.param(
        lambda d: (mzi(), with_changes(nets=lambda nets: nets + [{"p1": "pad1,e3", "p2": "pad2,e1"}])),
        {
            "Missing Connections": [
                "Open: the reference net ['heater,e1', 'heater,e2', 'pad1,e4', 'pad2,e3'] is split in the layout "
                "into ['heater,e1', 'pad1,e4'] and ['heater,e2', 'pad2,e3']"
            ]
        },
        id="open",
    ),
    pytest.param(
        lambda d: open_beside_another_wire(),
        {
            "Missing Connections": [
                "Open: the reference net ['a,e3', 'b,e3', 'c,e1'] is split in the layout into ['a,e3', 'b,e3'] and ['c,e1']"
            ],
            "Unknown Connections": ["Unknown Connection from 'c,e1' to 'd,e1'"],
        },
        id="open, and a wire from its split part elsewhere",
    ),
    pytest.param(
        lambda d: (read_back(mzi(), d, {"pad2": "pad1"}), mzi_reference()),
        {
            "Missing Connections": [
                "Missing Connection from 'heater,e2' to 'pad2,e3' | The layout has 'heater,e2' but no instance 'pad2'"
            ],
            "Missing Instances": missing(["pad2"]),
            "Mismatched Instances": ["Instance name 'pad1' is given to 2 instances of the layout"],
        },
        id="one name, two instances",
    ),
]


@pytest.mark.parametrize("threads", [1, 2], ids=["one core", "electrical stage in its own process"])
@pytest.mark.parametrize("build, expected", FAULTS)
def test_each_fault_gives_the_items_that_name_it(
    tmp_path: Path, build: Callable[[Path], Case], expected: dict[str, list[str] | int], threads: int
) -> None:
    """Expected: per category its items' texts, or only their number."""
    cell, reference = build(tmp_path)
    found = check(cell, reference, tmp_path, threads=threads)
    assert {
        title: len(texts) if isinstance(expected.get(title), int) else texts for title, texts in found.items()
    } == expected


# --- ports that do not simply meet in pairs -----------------------------------------

NARROW = mw.CrossSection("narrow", width=0.45, layer=LAYER.WG, radius=10.0)
ON_SLAB = mw.CrossSection("on_slab", width=0.5, layer=LAYER.SLAB, radius=10.0)


def with_stub(name: str | None) -> Case:
    """A straight whose o1 sits on the joint of the plain arm and its route to the combiner."""
    top = mzi()
    attach(top, "straight", "o1", top.insts["arm"]["o2"], name=name)
    reference = mzi_reference()
    if name:
        reference["instances"][name] = {"component": "straight"}
    return top, reference


def with_arm_of(cross_section: mw.CrossSection) -> Case:
    """The plain arm drawn in another cross-section, its routes left as they were."""
    top = mzi()
    top.insts["arm"].instance.cell_index = component("straight", length=100, cross_section=cross_section).cell_index
    reference = mzi_reference()
    reference["instances"]["arm"] = {"component": f"straight_length100_cross_section{cross_section.name}"}
    return top, reference


def with_second_grating() -> Case:
    top = mzi()
    place(top, "grating_coupler", "gc_extra", x=240)
    reference = mzi_reference()
    reference["instances"]["gc_extra"] = {"component": "grating_coupler"}
    return top, reference


def with_loose_straight() -> Case:
    top = mzi()
    place(top, "straight", x=500, y=500)
    return top, mzi_reference()


def missing_between(a: str, b: str, why: str) -> str:
    return f"Missing Connection from '{a}' to '{b}' | {why}"


JOINTS = [
    pytest.param(lambda d: (mzi(), mzi_reference()), {}, id="clean"),
    pytest.param(
        lambda d: with_stub(None),
        {
            "Unknown Connections": [
                "Port 'arm,o2' meets 2 ports: 'combiner,o3', unnamed wiring that ends open at (170, -40)"
            ]
        },
        id="unnamed stub on a joint",
    ),
    pytest.param(
        lambda d: with_stub("stub"),
        {
            "Unknown Connections": [
                "Port 'arm,o2' meets 2 ports: 'combiner,o3', 'stub,o1'",
                "Unknown Connection from 'ERROR_NO_CONNECTION' to 'stub,o2' | Port 'stub,o2' is open: nothing connects to it",
            ]
        },
        id="named stub on a joint",
    ),
    pytest.param(
        lambda d: with_second_grating(),
        {"Unknown Connections": ["Port 'combiner,o1' meets 2 ports: 'gc_extra,o1', 'gc_out,o1'"]},
        id="two gratings on one port",
    ),
    pytest.param(
        lambda d: (mzi(gc_out_shift=2), mzi_reference()),
        {
            "Missing Connections": [
                missing_between("combiner,o1", "gc_out,o1", "Ports 'combiner,o1' and 'gc_out,o1' are 2 µm apart")
            ]
        },
        id="gap between two ports",
    ),
    pytest.param(
        lambda d: (mzi(arm_route_short=0.1), mzi_reference()),
        {
            "Missing Connections": [
                missing_between(
                    "arm,o2",
                    "combiner,o3",
                    "Port 'combiner,o3' and the end of the wiring from 'arm,o2' are 0.1 µm apart",
                )
            ]
        },
        id="route that stops 0.1 µm short",
    ),
    pytest.param(
        lambda d: (mzi(arm_route_short=20), mzi_reference()),
        {
            "Unknown Connections": [
                "Unknown Connection from 'ERROR_NO_CONNECTION' to 'arm,o2' | Port 'arm,o2' is open: the wiring from it ends at (194.5, -0.625) without meeting a port",
                "Unknown Connection from 'ERROR_NO_CONNECTION' to 'combiner,o3' | Port 'combiner,o3' is open: nothing connects to it",
            ],
            "Missing Connections": ["Missing Connection from 'arm,o2' to 'combiner,o3'"],
        },
        id="route that stops 20 µm short",
    ),
    pytest.param(
        lambda d: with_arm_of(NARROW),
        {
            "Missing Connections": [
                missing_between(
                    "arm,o1",
                    "splitter,o2",
                    "Port 'arm,o1' and the end of the wiring from 'splitter,o2' meet but their widths differ: 0.45 and 0.5 µm",
                ),
                missing_between(
                    "arm,o2",
                    "combiner,o3",
                    "Port 'arm,o2' and the end of the wiring from 'combiner,o3' meet but their widths differ: 0.45 and 0.5 µm",
                ),
            ]
        },
        id="0.45 µm arm between 0.5 µm routes",
    ),
    pytest.param(
        lambda d: with_arm_of(ON_SLAB),
        {
            "Missing Connections": [
                missing_between(
                    "arm,o1",
                    "splitter,o2",
                    "Port 'arm,o1' and the end of the wiring from 'splitter,o2' meet but their layers differ: SLAB (3/0) and WG (1/0)",
                ),
                missing_between(
                    "arm,o2",
                    "combiner,o3",
                    "Port 'arm,o2' and the end of the wiring from 'combiner,o3' meet but their layers differ: SLAB (3/0) and WG (1/0)",
                ),
            ]
        },
        id="arm on another layer",
    ),
    pytest.param(
        lambda d: (mzi(gc_out_rotation=90), mzi_reference()),
        {
            "Missing Connections": [
                missing_between(
                    "combiner,o1",
                    "gc_out,o1",
                    "Ports 'combiner,o1' and 'gc_out,o1' meet but they do not face each other: they face 0 and 270 degrees",
                )
            ]
        },
        id="grating turned on its port",
    ),
    pytest.param(
        lambda d: with_loose_straight(),
        {"Unknown Connections": ["Unnamed wiring that meets no named port ends open at (500, 500) and (510, 500)"]},
        id="loose unnamed straight",
    ),
    pytest.param(
        lambda d: with_arrays(pitch=82),
        {
            "Missing Connections": [
                missing_between(
                    "gc[1],o1", "heater,o2", "Port 'gc[1],o1' and the end of the wiring from 'heater,o2' are 2 µm apart"
                )
            ]
        },
        id="second element of an array 2 µm off its route",
    ),
]


@pytest.mark.parametrize("build, expected", JOINTS)
def test_ports_that_do_not_meet_in_pairs_are_named(
    tmp_path: Path, build: Callable[[Path], Case], expected: dict[str, list[str]]
) -> None:
    """Branches, open ends of wiring and near misses: what differs, where."""
    cell, reference = build(tmp_path)
    assert check(cell, reference, tmp_path) == expected


def test_near_misses_are_marked_across_the_gap_with_their_distance(tmp_path: Path) -> None:
    cell, reference = mzi(gc_out_shift=2), mzi_reference()
    path = tmp_path / "reference.pic.yml"
    path.write_text(yaml.safe_dump(reference))
    rdb = fs.reloaded(lvs.optical_lvs(cell, str(path)), tmp_path)
    [[_, _, gap, distance]] = fs.findings(rdb)["Missing Connections"]
    assert fs.outline(gap) == fs.outline([(240, 0.25), (240, -0.25), (242, 0.25), (242, -0.25)])
    assert distance == pytest.approx(2)
    [finding] = read_findings(rdb).items
    assert (finding.kind, finding.distance) == ("gap", 2)


# --- instance arrays: every element is an instance of its own ------------------------


def with_arrays(pitch: float = 80, grid: bool = False) -> Case:
    """A splitter feeding a heater arm and a plain arm into the two elements of a
    1x2 array of gratings "gc"; the heater wired to the two elements of a 2x1
    array of pads "pad". `pitch` µm moves the second grating after the routing;
    `grid` adds a 2x2 array of gratings "g" that nothing connects to."""
    top = new_cell("arrays")
    splitter = place(top, "mmi1x2", "splitter")
    attach(top, "grating_coupler", "o1", splitter["o1"], name="gc_in")
    heater = place(top, "straight_heater_metal", "heater", x=60, y=40)
    gc = place_array(top, "grating_coupler", "gc", x=260, y=-40, a=(0, 80), na=2)
    waveguide(top, splitter["o3"], heater["o1"])
    waveguide(top, heater["o2"], gc[1]["o1"])
    waveguide(top, splitter["o2"], gc[0]["o1"])
    gc[0].instance.da = fs.kdb.DVector(0, pitch)
    pads = place_array(top, "pad", "pad", x=40, y=200, b=(160, 0), nb=2)
    metal(top, heater["e1"], pads[0]["e4"])
    metal(top, heater["e2"], pads[1]["e4"])
    if grid:
        place_array(top, "grating_coupler", "g", x=400, a=(50, 0), b=(0, 50), na=2, nb=2)
    components = {"splitter": "mmi1x2", "gc_in": "grating_coupler", "heater": "straight_heater_metal"}
    components |= {"gc[0]": "grating_coupler", "gc[1]": "grating_coupler", "pad[0]": "pad", "pad[1]": "pad"}
    reference = {
        "instances": {name: {"component": c} for name, c in components.items()},
        "connections": {"gc_in,o1": "splitter,o1"},
        "routes": {"arms": {"links": {"splitter,o3": "heater,o1", "heater,o2": "gc[1],o1", "splitter,o2": "gc[0],o1"}}},
        "nets": [{"p1": "heater,e1", "p2": "pad[0],e4"}, {"p1": "heater,e2", "p2": "pad[1],e4"}],
        "ports": {},
    }
    return top, reference


def unnamed_array_as_wiring() -> Case:
    """Straights a -> b and c -> d, each pair joined by one element of an unnamed
    1x2 array of straights; the outer ends are ports of the cell."""
    top = new_cell("wiring_array")
    ends = {
        name: place(top, "straight", name, x=x, y=y)
        for name, x, y in (("a", 0, 0), ("b", 20, 0), ("c", 0, 20), ("d", 20, 20))
    }
    place_array(top, "straight", None, x=10, b=(0, 20), nb=2)
    ports = {"pa": ("a", "o1"), "pb": ("b", "o2"), "pc": ("c", "o1"), "pd": ("d", "o2")}
    for port, (inst, pin) in ports.items():
        expose(top, ends[inst][pin], port)
    reference = EMPTY | {
        "instances": {name: {"component": "straight"} for name in ends},
        "connections": {"a,o2": "b,o1", "c,o2": "d,o1"},
        "ports": {port: f"{inst},{pin}" for port, (inst, pin) in ports.items()},
    }
    return top, reference


def array_named_as_one(directory: Path) -> Case:
    top, reference = with_arrays()
    instances = {name: value for name, value in reference["instances"].items() if not name.startswith("gc[")}
    reference["instances"] = instances | {"gc": {"component": "grating_coupler"}}
    return top, reference


ARRAYS = [
    pytest.param(lambda d: with_arrays(), {}, id="clean: 1x2 gratings and 2x1 pads"),
    pytest.param(lambda d: (read_back(with_arrays()[0], d, {}), with_arrays()[1]), {}, id="clean: read back from GDS"),
    pytest.param(lambda d: unnamed_array_as_wiring(), {}, id="clean: an unnamed array as wiring"),
    pytest.param(
        lambda d: (lambda case: (case[0], case[1] | {"connections": {"a,o2": "b,o1"}}))(unnamed_array_as_wiring()),
        {"Unknown Connections": ["Unknown Connection from 'c,o2' to 'd,o1'"]},
        id="the second element of an unnamed array joins what the reference does not",
    ),
    pytest.param(
        array_named_as_one,
        {
            "Missing Instances": missing(["gc"]),
            "Unknown Instances": [
                "Instance 'gc[0]' is not present in the reference netlist",
                "Instance 'gc[1]' is not present in the reference netlist",
            ],
        },
        id="the reference names the array, not its elements",
    ),
    pytest.param(
        lambda d: (with_arrays(grid=True)[0], with_arrays()[1]),
        {
            "Unknown Instances": [
                f"Instance 'g[{i}][{j}]' is not present in the reference netlist" for i in (0, 1) for j in (0, 1)
            ],
            "Unknown Connections": sorted(
                f"Unknown Connection from 'ERROR_NO_CONNECTION' to 'g[{i}][{j}],o1' | Port 'g[{i}][{j}],o1' is open: nothing connects to it"
                for i in (0, 1)
                for j in (0, 1)
            ),
        },
        id="a 2x2 array: elements named by row and column",
    ),
]


@pytest.mark.parametrize("build, expected", ARRAYS)
def test_instance_arrays_are_checked_element_by_element(
    tmp_path: Path, build: Callable[[Path], Case], expected: dict[str, list[str]]
) -> None:
    cell, reference = build(tmp_path)
    assert check(cell, reference, tmp_path) == expected


# --- markers where the fault is ----------------------------------------------------


def via_chain(missing: int | None = None) -> Case:
    """Pads p and q joined on M2 and M1 in turn: six 90 µm segments, each joined
    to the one before by a via, but for the via of segment `missing`."""
    top = new_cell("chain")
    place(top, "pad", "p", x=0, y=-300)
    place(top, "pad", "q", x=600, y=-300)
    metal_path(top, "M2", [(40, -300), (100, -300)])
    for k in range(6):
        start = 90 + 80 * k
        metal_path(top, "M1" if k % 2 == 0 else "M2", [(start, -300), (start + 90, -300)])
        if k != missing:
            via(top, start + 5, -300)
    reference = EMPTY | {"instances": {"p": {"component": "pad"}, "q": {"component": "pad"}}}
    return top, reference | {"nets": [{"p1": "p,e3", "p2": "q,e1"}]}


def bridged_far_from_the_pads() -> Case:
    """Wires rise 1 mm from the two pads and a 4 µm bridge joins them near the top."""
    top = mzi()
    metal_path(top, "M2", [(40, 240), (40, 1240)])
    metal_path(top, "M2", [(200, 240), (200, 1240)])
    metal_path(top, "M2", [(40, 1200), (200, 1200)], width=4)
    return top, mzi_reference()


SHORT = "Short: the layout connects ['heater,e1', 'pad1,e4'] and ['heater,e2', 'pad2,e3'], which are separate nets in the reference netlist"
MARKERS = [
    pytest.param(lambda d: via_chain(), "", [], id="clean via chain"),
    pytest.param(
        lambda d: via_chain(missing=2),
        "Missing Connection from 'p,e3' to 'q,e1'",
        [(250, -305, 260, -295)],
        id="missing via: its site",
    ),
    pytest.param(
        lambda d: bridged_far_from_the_pads(),
        SHORT,
        [(40, 1198, 200, 1202)],
        id="bridge 1 mm from the pads: the bridge",
    ),
    pytest.param(
        lambda d: (mzi(pads_joined=True), mzi_reference()),
        SHORT,
        [(0, 160, 80, 160), (240, 160, 240, 240), (75, 195, 80, 205)],
        id="short: the pad sides the reference names, and where the bridge lands",
    ),
    pytest.param(
        lambda d: (read_back(mzi(), d, {"pad2": "pad1"}), mzi_reference()),
        "Missing Connection from 'heater,e2' to 'pad2,e3'",
        [(150, 45, 160, 45)],
        id="connection to an instance the layout lacks: the port it has",
    ),
    pytest.param(
        lambda d: (mzi(), mzi_reference() | {"ports": {"in": "gc_in,o1"}}),
        "Port 'in' (at 'gc_in,o1' in the reference netlist) is not a port of the layout",
        [(-10, -0.25, -10, 0.25)],
        id="external port the layout lacks: the instance port it names",
    ),
]


@pytest.mark.parametrize("build, text, boxes", MARKERS)
def test_findings_are_marked_where_the_fault_is(
    tmp_path: Path, build: Callable[[Path], Case], text: str, boxes: list[tuple[float, float, float, float]]
) -> None:
    """The item whose first text is `text` has (among its markers) the `boxes`, [left, bottom, right, top] µm."""
    cell, reference = build(tmp_path)
    path = tmp_path / "reference.pic.yml"
    path.write_text(yaml.safe_dump(reference))
    layout = cell.kcl.layout
    before = (
        layout.layers(),
        layout.cells(),
        sorted(str(shape) for shape in cell.kdb_cell.each_shape(layout.layer(PDK.layers["M2"]))),
    )
    found = [
        values
        for items in fs.findings(fs.reloaded(lvs.optical_lvs(cell, str(path)), tmp_path)).values()
        for values in items
    ]
    # the metal is read where it is, never changed
    assert (
        layout.layers(),
        layout.cells(),
        sorted(str(shape) for shape in cell.kdb_cell.each_shape(layout.layer(PDK.layers["M2"]))),
    ) == before
    if not text:
        assert found == []
        return
    [values] = [values for values in found if fs.first_text(values) == text]
    markers = {
        tuple(round(v, 3) for v in (b.left, b.bottom, b.right, b.top))
        for b in (value.bbox() for value in values if not isinstance(value, str))
    }
    assert set(boxes) <= markers


def test_items_carry_markers_on_the_layout(tmp_path: Path) -> None:
    """An open port is marked across its opening, a short on every port it joins,
    a name given twice on both instances."""
    cell = read_back(mzi(gc_out_shift=20, pads_joined=True), tmp_path, {"arm": "gc_in"})
    path = tmp_path / "reference.pic.yml"
    path.write_text(yaml.safe_dump(mzi_reference()))
    found = fs.findings(fs.reloaded(lvs.optical_lvs(cell, str(path)), tmp_path))
    open_port = next(v for v in found["Unknown Connections"] if "'gc_out,o1'" in v[0])
    assert open_port[1] == fs.kdb.DEdge(260, -0.25, 260, 0.25)  # gc_out,o1 at (260, 0) facing west
    short = next(v for v in found["Unknown Connections"] if v[0].startswith("Short"))
    assert len([v for v in short if isinstance(v, fs.kdb.DEdge)]) == 4
    [shared] = found["Mismatched Instances"]
    boxes = {str(inst.dbbox()) for inst in cell.kdb_cell.each_inst() if inst.property(cg.conf.PROPID.NAME) == "gc_in"}
    assert len(boxes) == 2 and {str(value) for value in shared[:2]} == boxes


def test_the_check_keeps_no_name_index_on_the_cell(tmp_path: Path) -> None:
    """Every pass finds instances by name in a table of the check's own."""
    cell = read_back(mzi(gc_out_shift=2, pads_joined=True), tmp_path, {"arm": "gc_in", "splitter": "sp2"})
    found = check(cell, mzi_reference(), tmp_path)
    assert {"Unknown Connections", "Unknown Instances", "Mismatched Instances"} <= found.keys()
    assert cell._base.name_index is None


# --- settings: the reference's against those each layout cell was built with ------------------


def stating(reference: dict[str, Any] | None = None, **settings: dict[str, Any]) -> dict[str, Any]:
    """The reference (default: the interferometer's) with `settings` stated per instance;
    the plain arm is then named by its component, `straight`, not by its cell."""
    reference = copy.deepcopy(reference or mzi_reference())
    reference["instances"]["arm"]["component"] = "straight"
    reference["instances"]["arm"]["settings"] = {"length": 100}
    for name, stated in settings.items():
        reference["instances"][name]["settings"] = stated
    return reference


def hand_made_cell(directory: Path) -> Case:
    """A named instance of a cell that no cell function built: nothing to compare it with."""
    top, logo = mzi(), new_cell("logo")
    logo.shapes(PDK.layers["M1"]).insert(fs.kdb.DBox(0, 0, 20, 20))
    place(top, logo, "logo", x=0, y=300)
    reference = mzi_reference()
    reference["instances"]["logo"] = {"component": logo.name, "settings": {"size": 20}}
    return top, reference


NOT_COMPARED = "the settings of 1 instance could not be compared: its cell carries no settings ({}), as cells not built by a cell function of the kit"
HEATER_LONGER = "Instance 'heater': length is 107 in the layout but 100 in the reference netlist (its default)"
SPELLED_OUT = {
    "heater": {"length": 100, "cross_section": "cross_section", "via_stack_size": [10, 10]},
    "pad1": {"size": [80, 80], "layer": [45, 0]},
    "gc_in": {"n_periods": 30, "period": 0.66},
}

SETTINGS = [
    pytest.param(
        lambda d: (mzi(), stating(**SPELLED_OUT)),
        None,
        [],
        id="clean: defaults spelled out, the alias cross_section, a layer by number",
    ),
    pytest.param(lambda d: (mzi(), stating(heater={"length": 100.0009})), None, [], id="clean: within the tolerance"),
    pytest.param(lambda d: (mzi(), stating(heater={"length": 100.05})), 0.1, [], id="clean: within a wider tolerance"),
    pytest.param(
        lambda d: (read_back(mzi(heater_settings={"length": 107}), d, {}), stating(heater={"length": 107})),
        None,
        [],
        id="clean: read back from the layout file",
    ),
    pytest.param(
        lambda d: (mzi(heater_settings={"length": 107}), mzi_reference()),
        None,
        [HEATER_LONGER],
        id="heater 7 um too long",
    ),
    pytest.param(
        lambda d: (read_back(mzi(heater_settings={"length": 107}), d, {}), mzi_reference()),
        None,
        [HEATER_LONGER],
        id="heater too long, read back from the layout file",
    ),
    pytest.param(
        lambda d: (mzi(arm_settings={"cross_section": "rib"}), stating()),
        None,
        ["Instance 'arm': cross_section is 'rib' in the layout but 'strip' in the reference netlist (its default)"],
        id="rib where the reference has strip",
    ),
    pytest.param(
        lambda d: (mzi(), stating(arm={"lenght": 100})),
        None,
        [
            "Instance 'arm': length is 100 in the layout but 10 in the reference netlist (its default); "
            "lenght is not a setting of 'straight' (100 in the reference netlist)"
        ],
        id="a setting the component does not have",
    ),
    pytest.param(
        lambda d: (mzi(), stating(gc_in={"n_periods": 31})),
        5,
        ["Instance 'gc_in': n_periods is 30 in the layout but 31 in the reference netlist"],
        id="integers exactly, whatever the tolerance",
    ),
    pytest.param(
        lambda d: (mzi(), stating(heater={"length": 100.002})),
        None,
        ["Instance 'heater': length is 100 in the layout but 100.002 in the reference netlist"],
        id="just outside the tolerance",
    ),
    pytest.param(
        lambda d: (mzi(), stating(pad1={"layer": "M1", "size": [80, 81]})),
        None,
        [
            "Instance 'pad1': size is [80, 80] in the layout but [80, 81] in the reference netlist; "
            "layer is 'M2' in the layout but 'M1' in the reference netlist"
        ],
        id="another layer and size",
    ),
    pytest.param(
        lambda d: (mzi(heater_settings={"cross_section": "rib"}), stating(heater={"cross_section": "cross_section"})),
        None,
        ["Instance 'heater': cross_section is 'rib' in the layout but 'cross_section' in the reference netlist"],
        id="the alias is not the cross-section drawn",
    ),
]


@pytest.mark.parametrize("build, tolerance, expected", SETTINGS)
def test_settings_are_compared_with_the_kit_defaults(
    tmp_path: Path, build: Callable[[Path], Case], tolerance: float | None, expected: list[str]
) -> None:
    cell, reference = build(tmp_path)
    notes: list[str] = []
    options = {} if tolerance is None else {"settings_tolerance": tolerance}
    found = check(cell, reference, tmp_path, notes=notes, **options)
    assert (found, notes) == ({"Mismatched Settings": expected} if expected else {}, [])


def test_instances_without_settings_are_counted_in_a_note(tmp_path: Path) -> None:
    cell, reference = hand_made_cell(tmp_path)
    notes: list[str] = []
    assert check(cell, reference, tmp_path, notes=notes) == {}
    assert notes == [NOT_COMPARED.format(reference["instances"]["logo"]["component"])]


@pytest.mark.parametrize("tolerance", [-0.001, float("nan"), "0.1", True])
def test_a_tolerance_that_is_not_a_number_of_0_or_more_is_refused(tmp_path: Path, tolerance: Any) -> None:
    with pytest.raises(ValueError, match="the settings tolerance must be a number of 0 or more"):
        check(mzi(), mzi_reference(), tmp_path, settings_tolerance=tolerance)


# --- layouts that lost their cells' ports and settings (written without context information) ---------


def stripped(cell: cg.DKCell, directory: Path) -> Path:
    """`cell` written to GDS, then re-saved by KLayout without its context information."""
    full = directory / "full.gds"
    cell.write(str(full))
    layout = fs.kdb.Layout()
    layout.read(str(full))
    options = fs.kdb.SaveLayoutOptions()
    options.write_context_info = False
    path = directory / "stripped.gds"
    layout.write(str(path), options)
    return path


def absorbers() -> tuple[cg.DKCell, dict[str, Any]]:
    """A splitter whose outputs end in two hand-drawn absorbers (no kit cell), fed by a grating."""
    absorber = new_cell("absorber")
    absorber.shapes(PDK.layers["WG"]).insert(fs.kdb.DBox(0, -0.25, 20, 0.25))
    absorber.create_port("o1", fs.kdb.Trans(2, False, 0, 0), 0.5, PDK.layers["WG"])
    top = new_cell("absorbed")
    splitter = place(top, "mmi1x2", "splitter")
    attach(top, "grating_coupler", "o1", splitter["o1"], name="gc")
    attach(top, absorber, "o1", splitter["o2"], name="abs1")
    attach(top, absorber, "o1", splitter["o3"], name="abs2")
    components = {"splitter": "mmi1x2", "gc": "grating_coupler", "abs1": absorber.name, "abs2": absorber.name}
    return top, {
        "instances": {name: {"component": c} for name, c in components.items()},
        "connections": {"gc,o1": "splitter,o1", "splitter,o2": "abs1,o1", "splitter,o3": "abs2,o1"},
        "routes": {},
        "nets": [],
        "ports": {},
    }


def shifted(case: tuple[cg.DKCell, dict[str, Any]]) -> tuple[cg.DKCell, dict[str, Any]]:
    """The case with its grating moved 2 µm off the splitter."""
    top, reference = case
    gc = top.insts["gc"]
    gc.dcplx_trans = fs.kdb.DCplxTrans(1, 0, False, -2, 0) * gc.dcplx_trans
    return top, reference


def restored_note(count: int) -> str:
    return f"the layout was written without KLayout's context information, which keeps each cell's ports and settings: {count} cells took them"


def portless_note(*cells: str) -> str:
    return f"the layout carries no ports or settings for the cell{'s' if len(cells) > 1 else ''} {', '.join(cells)}: it was written without"


#: The checked cell, which the kit does not build, loses its own ports with its file's context information.
TOP_PORTS = "{top} (the checked cell's own ports)"


UNCHECKED_ABSORBERS = "2 connections of the reference netlist reach instances whose cells carry no port information, so they are not checked: 'abs1' ({0}), 'abs2' ({0})"

STRIPPED = [
    pytest.param(lambda: (mzi(), mzi_reference()), False, {}, [], id="clean, with context information"),
    pytest.param(
        lambda: (mzi(), mzi_reference()),
        True,
        {},
        [restored_note(10), portless_note(TOP_PORTS)],
        id="clean: every cell built by the kit, ports and settings taken from it",
    ),
    pytest.param(
        lambda: (mzi(heater_settings={"length": 107}), mzi_reference()),
        True,
        {"Mismatched Settings": [HEATER_LONGER]},
        [restored_note(11), portless_note(TOP_PORTS)],
        id="settings read back from the kit's cell of that name",
    ),
    pytest.param(
        absorbers,
        True,
        {"Missing Connections": [UNCHECKED_ABSORBERS]},
        [restored_note(2), portless_note("{0}", TOP_PORTS)],
        id="hand-drawn cells: their connections one item, a note",
    ),
    pytest.param(
        lambda: shifted(absorbers()),
        True,
        {
            "Missing Connections": [
                UNCHECKED_ABSORBERS,
                "Missing Connection from 'gc,o1' to 'splitter,o1' | Ports 'gc,o1' and 'splitter,o1' are 2 µm apart",
            ],
        },
        [restored_note(2), portless_note("{0}", TOP_PORTS)],
        id="hand-drawn cells, and a real fault still found",
    ),
    pytest.param(
        lambda: (
            exposed := mzi(),
            expose(exposed, exposed.insts["gc_in"]["o1"], "in"),
            mzi_reference() | {"ports": {"in": "gc_in,o1"}},
        )[::2],
        True,
        {
            "Mismatched Ports": [
                "The cell '{top}' carries no port information, so the 1 port of the reference netlist cannot be checked"
            ]
        },
        [restored_note(10), portless_note(TOP_PORTS)],
        id="the checked cell's own ports lost",
    ),
]


@pytest.mark.parametrize("build, strip, expected, notes", STRIPPED)
def test_layouts_without_context_information_take_kit_cells_and_say_what_is_unchecked(
    tmp_path: Path, build: Callable[[], Case], strip: bool, expected: dict[str, list[str]], notes: list[str]
) -> None:
    """Checked as `quillon lvs` checks a file; `{0}` in a text stands for the hand-drawn cell, `{top}` for the checked one."""
    import quillon

    cell, reference = build()
    drawn = reference["instances"].get("abs1", {}).get("component", "")
    path = tmp_path / "reference.pic.yml"
    path.write_text(yaml.safe_dump(reference, sort_keys=False))
    if strip:
        layout = stripped(cell, tmp_path)
    else:
        layout = tmp_path / "layout.gds"
        cell.write(str(layout))
    outcome = quillon.check(layout, path, cell=cell.name, kit="demo_pdk")
    found = {
        title: sorted(" | ".join(v for v in values if isinstance(v, str)) for values in items)
        for title, items in fs.findings(outcome.rdb).items()
        if items
    }
    filled = {title: sorted(text.format(drawn, top=cell.name) for text in texts) for title, texts in expected.items()}
    assert found == filled
    assert len(outcome.notes) == len(notes)
    for note, start in zip(outcome.notes, notes):
        assert note.startswith(start.format(drawn, top=cell.name)), note
