"""Tests of the demo kit: its cells' geometry and ports, its routers and its symbol."""

from __future__ import annotations

import inspect
import itertools
import xml.etree.ElementTree as ET
from pathlib import Path

import cellgrid as cg
import demo_pdk as dp
import maskwright as mw
import pytest

kdb = cg.kdb
_ids = itertools.count()


@pytest.fixture(autouse=True)
def active_kit() -> mw.Pdk:
    return dp.PDK.activate()


def new_top() -> cg.DKCell:
    return cg.DKCell(f"demo_top{next(_ids)}")


def conductor(cell: cg.DKCell, layers: tuple[str, ...]) -> kdb.Region:
    """Merged shapes of `layers` in `cell` and below."""
    region = kdb.Region()
    for name in layers:
        region.insert(kdb.Region(cell.begin_shapes_rec(cg.kcl.layer(name))))
        region.merge()
    return region


def touches(region: kdb.Region, port: cg.Port) -> kdb.Region:
    """Polygons of `region` at the port's reference point."""
    return region.interacting(kdb.Region(kdb.Box(2).transformed(port.trans)))


# --- the kit ------------------------------------------------------------------


def test_kit_surface() -> None:
    pdk = dp.PDK
    assert pdk.name == "demo_pdk" and mw.get_active_pdk() is pdk
    assert pdk.cross_sections["cross_section"] is pdk.cross_sections["strip"]
    assert set(pdk.cross_sections) == {"strip", "rib", "metal_routing", "cross_section"}
    for layer_set in pdk.connectivity or []:
        assert isinstance(layer_set, tuple) and all(name in dp.LAYER for name in layer_set)
    bundles = [
        n for n, f in pdk.routing_strategies.items() if {"ports1", "ports2"} <= set(inspect.signature(f).parameters)
    ]
    assert bundles == ["route_bundle", "route_bundle_electrical"]
    with pytest.raises(ValueError, match="no component"):
        pdk.get_component("nope")


@pytest.mark.parametrize("name", list(dp.PDK.cells))
def test_default_cells_are_named_after_the_component_with_ports_on_their_geometry(name: str) -> None:
    c = dp.PDK.get_component(name)
    assert c.name == name and c.locked
    assert dp.PDK.cells[name]() == c
    assert len(c.ports) > 0
    metals = tuple(layer for layer_set in dp.CONNECTIVITY for layer in layer_set)
    for port in c.ports:
        if port.port_type == "optical":
            assert port.name.startswith("o") and port.layer_info == dp.LAYER.WG
            region = conductor(c, ("WG",))
        else:
            assert port.port_type == "electrical" and port.name.startswith("e")
            assert port.layer_info.name in metals
            region = conductor(c, (port.layer_info.name,))
        assert not touches(region, port).is_empty(), f"{name}.{port.name} lies off its layer"
    names = [p.name for p in c.ports]
    numbers = sorted(int(n[1:]) for n in names)
    assert numbers == list(range(1, len(names) + 1)) or {n[0] for n in names} == {"o", "e"}


@pytest.mark.parametrize("name", list(dp.PDK.cells))
def test_cell_functions_are_annotated_for_the_editor(name: str) -> None:
    sig = inspect.signature(dp.PDK.cells[name])
    for p in sig.parameters.values():
        assert p.annotation is not inspect.Parameter.empty, f"{name}.{p.name}"
        assert p.default is not inspect.Parameter.empty, f"{name}.{p.name}"
        if p.name == "cross_section":
            assert "CrossSection" in str(p.annotation) and p.default in dp.PDK.cross_sections


def test_component_parameters_name_kit_cells() -> None:
    params = inspect.signature(dp.PDK.cells["pad_array"]).parameters
    assert "Component" in str(params["pad"].annotation) and params["pad"].default in dp.PDK.cells
    small = dp.pad(size=(50.0, 50.0))
    row = dp.pad_array(pad=small, columns=2, spacing=60)
    assert row.name == "pad_array_padpad_size50x50_columns2_spacing60"
    assert [p.center for p in row.ports] == [(0.0, -25.0), (60.0, -25.0)]
    assert dp.pad_array(pad=dp.pad, orientation=90).ports["e4"].center == (450.0, 40.0)


def test_routers_are_annotated_for_the_editor() -> None:
    for name, func in dp.PDK.routing_strategies.items():
        params = inspect.signature(func).parameters
        assert "Component" in str(params["component"].annotation), name
        assert "CrossSection" in str(params["cross_section"].annotation), name
        assert params["cross_section"].default in dp.PDK.cross_sections


# --- geometry -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("func", "kwargs", "port", "center", "orientation"),
    [
        (dp.straight, dict(length=12.5), "o2", (12.5, 0.0), 0.0),
        (dp.wire, dict(length=30), "e2", (30.0, 0.0), 0.0),
        (dp.bend_circular, dict(radius=10), "o2", (10.0, 10.0), 90.0),
        (dp.bend_circular, dict(radius=20, angle=-90), "o2", (20.0, -20.0), 270.0),
        (dp.bend_circular, dict(radius=10, angle=180), "o2", (0.0, 20.0), 180.0),
        (dp.bend_circular, dict(radius=10, angle=45), "o2", (7.071068, 2.928932), 45.0),
        (dp.bend_euler, dict(radius=10), "o2", (10.0, 10.0), 90.0),
        (dp.taper, dict(length=5, width2=2.0), "o2", (5.0, 0.0), 0.0),
        (dp.mmi1x2, {}, "o3", (15.5, 0.625), 0.0),
        (dp.mmi2x2, {}, "o2", (-10.0, -0.625), 180.0),
        (dp.straight_heater_metal, dict(length=50), "e2", (45.0, 5.0), 90.0),
        (dp.pad, dict(size=(100, 60)), "e2", (0.0, 30.0), 90.0),
        (dp.via_stack, {}, "e3", (5.0, 0.0), 0.0),
    ],
)
def test_port_placement(func, kwargs, port, center, orientation) -> None:  # noqa: ANN001
    p = func(**kwargs).ports[port]
    assert p.center == pytest.approx(center, abs=1e-6)
    assert p.orientation == pytest.approx(orientation)


def test_straight_area_sections_and_names() -> None:
    s = dp.straight(length=20)
    assert s.name == "straight_length20"
    assert conductor(s, ("WG",)).area() * cg.kcl.dbu**2 == pytest.approx(20 * 0.5)
    rib = dp.straight(length=20, cross_section="rib")
    assert rib.name == "straight_length20_cross_sectionrib"
    assert conductor(rib, ("SLAB",)).area() * cg.kcl.dbu**2 == pytest.approx(20 * 6.0)
    assert dp.straight(length=20.0) == s


def test_heater_contacts_are_separate_conductors_and_pad_ports_share_one() -> None:
    heater = dp.straight_heater_metal()
    metal = conductor(heater, dp.CONNECTIVITY[0])
    e1, e2 = (touches(metal, heater.ports[n]) for n in ("e1", "e2"))
    assert e1.count() == e2.count() == 1 and (e1 & e2).is_empty()
    assert not conductor(heater, ("HEATER",)).is_empty()
    pad = dp.pad()
    polys = {touches(conductor(pad, ("M2",)), p)[0].hash() for p in pad.ports}
    assert len(polys) == 1
    assert not conductor(pad, ("PAD",)).is_empty()


@pytest.mark.parametrize(
    ("func", "kwargs", "match"),
    [
        (dp.straight, dict(length=-1), "length must be at least 0, got -1"),
        (dp.straight, dict(length=1.0001), "database unit"),
        (dp.straight, dict(cross_section="nope"), "cross-section"),
        (dp.bend_circular, dict(radius=0.2), "too small"),
        (dp.bend_circular, dict(angle=0), "angle"),
        (dp.straight_heater_metal, dict(length=15), "too short"),
        (dp.pad, dict(layer="M7"), "unknown layer"),
        (dp.pad, dict(size=(80, -1)), r"size must be more than 0, got \(80, -1\)"),
        (dp.mmi1x2, dict(width_mmi=1.0), "fit"),
        (dp.via_stack, dict(size=(2, 2)), "no via"),
        (dp.grating_coupler, dict(fill_factor=1.5), "fill_factor"),
        (dp.pad_array, dict(columns=0), "columns"),
        (dp.pad_array, dict(spacing=10), "spacing"),
        (dp.pad_array, dict(pad="nope"), "nope"),
        (dp.pad_array, dict(pad="straight_heater_metal", orientation=0), "no electrical port"),
    ],
)
def test_bad_settings_fail_clearly(func, kwargs, match) -> None:  # noqa: ANN001
    with pytest.raises(ValueError, match=match):
        func(**kwargs)


# --- routing ----------------------------------------------------------------------


def joined_nets(top: cg.DKCell) -> dict[str, int]:
    """Endpoint 'instance,port' of named instances -> net number, unnamed instances passed through."""
    circ = top.l2n().netlist().top_circuit()
    named = set(top.insts.names())
    parent: list[int] = []
    pins: dict[str, list[tuple[str, int]]] = {}
    for i, net in enumerate(circ.each_net()):
        parent.append(i)
        for ref in net.each_subcircuit_pin():
            pins.setdefault(ref.subcircuit().name, []).append((ref.pin().name(), i))

    def find(i: int) -> int:
        while parent[i] != i:
            i = parent[i]
        return i

    for sc_name, refs in pins.items():
        if sc_name not in named:
            for _, i in refs[1:]:
                parent[find(i)] = find(refs[0][1])
    return {f"{sc},{pin}": find(i) for sc, refs in pins.items() if sc in named for pin, i in refs}


def two_ends(x: float, y: float, angle: float) -> tuple[cg.DKCell, cg.DInstance, cg.DInstance]:
    """Straight 'a' ending at the origin facing east; straight 'b' whose o1 is at (x, y) facing `angle`."""
    top = new_top()
    wg = dp.straight(length=10)
    a = top.create_inst(wg, kdb.DCplxTrans(1, 0, False, -10, 0), name="a")
    b = top.create_inst(wg, kdb.DCplxTrans(1, angle - 180, False, x, y), name="b")
    return top, a, b


@pytest.mark.parametrize(
    ("x", "y", "angle"),
    [
        (50, 0, 180),  # straight ahead
        (100, 40, 180),  # Z
        (100, -40, 180),
        (100, 5, 180),  # offset too small for a Z
        (-50, 0, 180),  # behind, facing away
        (60, 50, 270),  # L
        (60, -50, 90),
        (5, 50, 270),  # too close for an L
        (-40, -15, 270),
        (-20, 60, 0),  # U
        (-20, 5, 0),  # U with little offset
        (30, -5, 0),
    ],
)
def test_route_single_connects_the_two_ports(x: float, y: float, angle: float) -> None:
    top, a, b = two_ends(x, y, angle)
    pieces = dp.route_single(top, a["o2"], b["o1"])
    assert all(p.name is None for p in pieces)
    assert {p.cell.function_name for p in pieces} <= {"straight", "bend_circular"}
    nets = joined_nets(top)
    assert nets["a,o2"] == nets["b,o1"]
    assert len({nets["a,o1"], nets["a,o2"], nets["b,o2"]}) == 3
    # the waveguide is one piece of core from a to b
    assert conductor(top, ("WG",)).count() == 1


@pytest.mark.parametrize(("rotation", "mirror"), list(itertools.product((0, 90, 180, 270), (False, True))))
def test_routes_reach_ports_of_turned_and_mirrored_instances(rotation: int, mirror: bool) -> None:
    """Mirroring swaps a splitter's outputs and turns a pad's sides: routes end on the ports named."""
    top = new_top()
    turned = kdb.DCplxTrans(1, rotation, mirror, 300, 200)
    a, b = top.create_inst(dp.mmi1x2(), name="a"), top.create_inst(dp.mmi1x2(), turned, name="b")
    c = top.create_inst(dp.straight(length=10), kdb.DCplxTrans(1, 180, False, 700, -300), name="c")
    dp.route_single(top, a["o3"], b["o3"])
    dp.route_bundle(top, [b["o2"]], [c["o1"]])
    nets = joined_nets(top)
    assert nets["a,o3"] == nets["b,o3"] and nets["b,o2"] == nets["c,o1"] != nets["a,o3"]
    p, q = (
        top.create_inst(dp.pad(), kdb.DCplxTrans(0, -400)),
        top.create_inst(dp.pad(), turned * kdb.DCplxTrans(0, -600)),
    )
    dp.route_single_electrical(top, q["e2"], p["e3"])
    wire = touches(conductor(top, dp.CONNECTIVITY[0]), q["e2"])
    assert wire.count() == 1 and not wire.interacting(kdb.Region(p.bbox())).is_empty()


def test_route_single_through_waypoints_and_refusals() -> None:
    top, a, b = two_ends(100, 60, 180)
    dp.route_single(top, a["o2"], b["o1"], waypoints=[(30, 0), (30, 60)])
    assert joined_nets(top)["a,o2"] == joined_nets(top)["b,o1"]
    assert top.insts["b"]["o1"].center == (100.0, 60.0)
    top, a, b = two_ends(100, 60, 180)
    with pytest.raises(ValueError, match="not horizontal or vertical"):
        dp.route_single(top, a["o2"], b["o1"], waypoints=[(30, 10), (30, 60)])
    with pytest.raises(ValueError, match="straight ahead of port 'o2'"):
        dp.route_single(top, a["o2"], b["o1"], waypoints=[(0, 30), (80, 30), (80, 60)])
    with pytest.raises(ValueError, match="no room"):
        dp.route_single(top, a["o2"], b["o1"], waypoints=[(5, 0), (5, 60)])
    with pytest.raises(ValueError, match="cannot meet"):
        dp.route_single(top, a["o2"], b["o1"], cross_section="metal_routing", radius=10)


def test_route_bundle_keeps_routes_apart() -> None:
    top = new_top()
    wg = dp.straight(length=10)
    starts = [top.create_inst(wg, kdb.DCplxTrans(1, 0, False, -10, 5 * k), name=f"s{k}") for k in range(3)]
    ups = [top.create_inst(wg, kdb.DCplxTrans(1, 0, False, 150, 60 + 5 * k), name=f"u{k}") for k in range(3)]
    downs = [top.create_inst(wg, kdb.DCplxTrans(1, 180, False, -20, -80 - 6 * k), name=f"d{k}") for k in range(3)]
    routes = dp.route_bundle(top, [s["o2"] for s in starts], [u["o1"] for u in ups], separation=3.0)
    routes += dp.route_bundle(top, [u["o2"] for u in ups], [d["o1"] for d in downs], radius=15)
    nets = joined_nets(top)
    for k in range(3):
        assert nets[f"s{k},o2"] == nets[f"u{k},o1"] and nets[f"u{k},o2"] == nets[f"d{k},o1"]
    assert len(set(nets.values())) == len(nets) - 6
    cores = []
    for pieces in routes:
        region = kdb.Region()
        for p in pieces:
            region.insert(kdb.Region(p.cell.begin_shapes_rec(cg.kcl.layer("WG"))).transformed(p.trans))
        cores.append(region.merged())
    for i, j in itertools.combinations(range(len(cores)), 2):
        assert cores[i].sized(1000).interacting(cores[j]).is_empty(), f"routes {i} and {j} come closer than 1 µm"


@pytest.mark.parametrize(
    ("kwargs", "match"),
    [
        (dict(ports2=[]), "as many"),
        (dict(port_type="electrical"), "routes 'electrical'"),
        (dict(waypoints=[(1, 0)]), "one pair"),
    ],
)
def test_route_bundle_refusals(kwargs: dict[str, object], match: str) -> None:
    top = new_top()
    a = top.create_inst(dp.mmi2x2(), name="a")
    b = top.create_inst(dp.mmi2x2(), kdb.DCplxTrans(1, 0, False, 200, 50), name="b")
    args: dict[str, object] = {"ports1": [a["o3"], a["o4"]], "ports2": [b["o2"], b["o1"]], **kwargs}
    with pytest.raises(ValueError, match=match):
        dp.route_bundle(top, **args)  # type: ignore[arg-type]
    assert len(top.insts) == 2


def test_route_bundle_electrical_joins_pads_and_heater() -> None:
    top = new_top()
    heater = top.create_inst(dp.straight_heater_metal(), name="ht")
    pads = [top.create_inst(dp.pad(), kdb.DCplxTrans(1, 0, False, x, 200), name=f"pad{x}") for x in (-50, 150)]
    dp.route_bundle_electrical(top, [heater["e1"], heater["e2"]], [p["e4"] for p in pads])
    metal = conductor(top, dp.CONNECTIVITY[0])
    for port, pad in ((heater["e1"], pads[0]), (heater["e2"], pads[1])):
        wire = touches(metal, port)
        assert wire.count() == 1 and not wire.interacting(kdb.Region(pad.bbox())).is_empty()
    assert (touches(metal, heater["e1"]) & touches(metal, heater["e2"])).is_empty()
    with pytest.raises(ValueError, match="routes 'electrical'"):
        dp.route_bundle_electrical(top, [heater["o1"]], [pads[0]["e1"]])
    extra = top.create_inst(dp.pad(), kdb.DCplxTrans(1, 0, False, 400, 0), name="extra")
    dp.route_single_electrical(top, pads[1]["e3"], extra["e2"])
    metal = conductor(top, dp.CONNECTIVITY[0])
    assert (touches(metal, extra["e1"]) ^ touches(metal, heater["e2"])).is_empty()
    assert not (touches(metal, extra["e1"]) ^ touches(metal, heater["e1"])).is_empty()


# --- symbol -------------------------------------------------------------------------


def test_kit_symbol_is_valid_svg() -> None:
    path = Path(dp.__file__).parent / "svg" / "mmi1x2.svg"
    root = ET.parse(path).getroot()
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    texts = {t.text for t in root.iter("{http://www.w3.org/2000/svg}text")}
    assert texts == set(dp.mmi1x2().ports.names())
