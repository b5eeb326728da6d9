"""extract_lvs_netlist on real layouts built with the demo kit: named
instances, optical connections where ports meet (directly or through routes of
unnamed instances), external ports and electrical connections through metal."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import pytest

import quillon.core.lvs as lvs
from layout_builders import (  # noqa: F401 - netlist_reading is a fixture
    CONNECTIVITY,
    PDK,
    attach,
    component,
    count_texts,
    expose,
    metal,
    metal_path,
    netlist_reading,
    new_cell,
    place,
    snapshot,
    straight_run,
    via,
    waveguide,
)

import cellgrid as cg

Layout = Callable[[], cg.DKCell]


@pytest.fixture(autouse=True)
def demo_kit() -> Iterator[None]:
    PDK.activate()
    yield


def extract(cell: cg.DKCell, layers: Any = None) -> dict[str, Any]:
    """Extract, checking that the caller's layout is left exactly as it was."""
    before = snapshot()
    texts = count_texts()
    netlist = lvs.extract_lvs_netlist(cell, layers)
    assert snapshot() == before
    assert count_texts() == texts
    return netlist


def optical_nets(netlist: dict[str, Any]) -> dict[str, dict[str, str]]:
    """The nets that involve at least one optical port (o1, o2, ...)."""
    return {k: v for k, v in netlist["nets"].items() if ",o" in k}


def net(a: str, b: str) -> dict[str, dict[str, str]]:
    """The entry of the net between two endpoints."""
    p1, p2 = sorted((a, b))
    return {f"{p1}:{p2}": {"p1": p1, "p2": p2}}


def open_ends(*endpoints: str) -> dict[str, dict[str, str]]:
    """The entries of the nets that unconnected ports yield."""
    return {k: v for e in endpoints for k, v in net("ERROR_NO_CONNECTION", e).items()}


# --- optical connections ----------------------------------------------------


def port_to_port() -> cg.DKCell:
    top = new_cell()
    a = place(top, "mmi1x2", "a")
    b = attach(top, "mmi1x2", "o1", a["o2"], name="b")
    attach(top, "straight", "o1", b["o3"], name="s")
    return top


def routed() -> cg.DKCell:
    top = new_cell()
    a = place(top, "mmi1x2", "a")
    b = place(top, "mmi1x2", "b", x=300, y=120)
    waveguide(top, a["o2"], b["o1"])
    waveguide(top, a["o3"], b["o2"], radius=10)
    return top


def dangling_with_early_name() -> cg.DKCell:
    top = new_cell()
    place(top, "straight", "A1")
    place(top, "straight", "b", y=50)
    return top


def three_on_one_net() -> cg.DKCell:
    top = new_cell()
    a = place(top, "straight", "a")
    # b and c both meet a's port o2 at the same place
    attach(top, "straight", "o1", a["o2"], name="c")
    attach(top, "straight", "o1", a["o2"], name="b")
    return top


OPTICAL_CASES = [
    pytest.param(
        port_to_port,
        {"a": "mmi1x2", "b": "mmi1x2", "s": "straight"},
        {**net("a,o2", "b,o1"), **net("b,o3", "s,o1"), **open_ends("a,o1", "a,o3", "b,o2", "s,o2")},
        id="instances joined port to port",
    ),
    pytest.param(
        routed,
        {"a": "mmi1x2", "b": "mmi1x2"},
        {**net("a,o2", "b,o1"), **net("a,o3", "b,o2"), **open_ends("a,o1", "b,o3")},
        id="routes of unnamed instances between named ones",
    ),
    pytest.param(
        dangling_with_early_name,
        {"A1": "straight", "b": "straight"},
        {
            # "A1,o1" sorts before "ERROR_NO_CONNECTION" and stays first
            "A1,o1:ERROR_NO_CONNECTION": {"p1": "A1,o1", "p2": "ERROR_NO_CONNECTION"},
            "A1,o2:ERROR_NO_CONNECTION": {"p1": "A1,o2", "p2": "ERROR_NO_CONNECTION"},
            **open_ends("b,o1", "b,o2"),
        },
        id="dangling ports",
    ),
    pytest.param(
        three_on_one_net,
        {"a": "straight", "c": "straight", "b": "straight"},
        # only the smallest of the three endpoints is kept
        open_ends("a,o1", "a,o2", "b,o2", "c,o2"),
        id="three ports on one net",
    ),
]


@pytest.mark.parametrize(("build", "instances", "nets"), OPTICAL_CASES)
def test_optical_connections(build: Layout, instances: dict[str, str], nets: dict[str, Any]) -> None:
    netlist = extract(build())
    assert list(netlist) == ["instances", "nets", "ports"]
    assert netlist["instances"] == {name: {"component": c} for name, c in instances.items()}
    assert netlist["nets"] == nets
    assert list(netlist["nets"]) == sorted(nets)
    assert netlist["ports"] == {}


def test_instances_follow_the_placement_order() -> None:
    top = new_cell()
    place(top, "straight", "z", x=100)
    place(top, "straight", "y", x=0, y=10)
    place(top, "straight", "x", x=50)
    # KLayout orders placements by y, then x
    assert list(extract(top)["instances"]) == ["x", "z", "y"]


def test_two_named_instances_at_one_placement_pair_by_cell_name() -> None:
    top = new_cell()
    place(top, "straight", "zz", x=10)
    place(top, "mmi1x2", "yy", x=10)
    place(top, "bend_circular", "xx", x=10)
    netlist = extract(top)
    assert netlist["instances"] == {
        "xx": {"component": "bend_circular"},
        "yy": {"component": "mmi1x2"},
        "zz": {"component": "straight"},
    }
    assert list(netlist["instances"]) == ["xx", "yy", "zz"]
    assert "xx,o1:yy,o1" not in netlist["nets"]


def test_an_empty_name_counts_as_a_name() -> None:
    top = new_cell()
    a = place(top, "straight", "a")
    attach(top, "straight", "o1", a["o2"], name="")
    netlist = extract(top)
    assert netlist["instances"] == {"a": {"component": "straight"}, "": {"component": "straight"}}
    assert netlist["nets"] == {**net(",o1", "a,o2"), **open_ends(",o2", "a,o1")}


def test_a_route_of_many_pieces_dissolves_into_one_net() -> None:
    top = new_cell()
    a = place(top, "straight", "a")
    pieces = straight_run(top, a["o2"], [5, 7, 11, 13, 17])
    b = attach(top, "straight", "o1", pieces[-1]["o2"], name="b")
    straight_run(top, b["o2"], [3, 3])  # a route to nowhere leaves b's port o2 open
    assert extract(top)["nets"] == {**net("a,o2", "b,o1"), **open_ends("a,o1", "b,o2")}


def test_a_route_ending_nowhere_leaves_the_port_open(netlist_reading: str) -> None:
    """With the tables the KLayout netlist of the port connectivity is never built."""
    top = new_cell()
    a = place(top, "straight", "a")
    straight_run(top, a["o2"], [5, 5])
    assert extract(top)["nets"] == open_ends("a,o1", "a,o2")
    assert (top._base.last_netlist is None) == (netlist_reading == "tables")


# --- external ports -----------------------------------------------------------


def test_an_external_port_maps_to_the_instance_port() -> None:
    top = new_cell()
    a = place(top, "mmi1x2", "a")
    expose(top, a["o1"], "in")
    b = place(top, "mmi1x2", "b", x=300, y=-60)
    pieces = straight_run(top, b["o1"], [20])
    expose(top, pieces[-1]["o2"], "in2")
    netlist = extract(top)
    assert netlist["ports"] == {"in": "a,o1", "in2": "b,o1"}
    assert "ERROR_NO_CONNECTION:a,o1" not in netlist["nets"]
    assert "ERROR_NO_CONNECTION:b,o1" not in netlist["nets"]


@pytest.mark.parametrize("named", [True, False], ids=["named instance", "unnamed instance"])
def test_two_external_ports_on_one_net(named: bool) -> None:
    top = new_cell()
    s = place(top, "straight", "s" if named else None)
    expose(top, s["o1"], "p")
    expose(top, s["o1"], "q")
    netlist = extract(top)
    # the first pin the net lists maps to the second text on the net
    assert netlist["ports"] == {"p": "q"}
    assert netlist["nets"] == (open_ends("s,o2") if named else {})


def test_external_ports_keep_the_order_of_the_nets() -> None:
    top = new_cell()
    a = place(top, "straight", "a")
    b = place(top, "straight", "b", y=50)
    expose(top, b["o2"], "z")
    expose(top, a["o1"], "y")
    assert list(extract(top)["ports"].items()) == [("y", "a,o1"), ("z", "b,o2")]


def test_route_between_two_external_ports_folds_their_pins() -> None:
    # Joining the route's nets brings both external pins onto one net, where
    # KLayout folds them into the single pin "p,q": read as p attached to q,
    # as two external pins on one net are.
    top = new_cell()
    start = place(top, "straight")
    pieces = straight_run(top, start["o2"], [5, 5])
    expose(top, start["o1"], "p")
    expose(top, pieces[-1]["o2"], "q")
    assert extract(top) == {"instances": {}, "nets": {}, "ports": {"p": "q"}}


def test_leaf_cell_ports_attached_to_nothing_are_left_out() -> None:
    leaf = component("straight_heater_metal")
    assert extract(leaf) == {"instances": {}, "nets": {}, "ports": {}}


def test_folded_external_pins_map_to_the_instance_port() -> None:
    top = new_cell()
    a = place(top, "straight", "a")
    first = attach(top, "straight", "o1", a["o2"])
    expose(top, a["o2"], "p")
    pieces = straight_run(top, first["o2"], [5])
    expose(top, pieces[-1]["o2"], "q")
    assert extract(top)["ports"] == {"p,q": "a,o2"}


# --- electrical connections ---------------------------------------------------


def wired_pair(spec: str, names: tuple[str, str], ports: tuple[str, str], gap: float) -> Layout:
    """Two instances of one kit cell, `gap` µm apart, one port of each joined by metal."""

    def build() -> cg.DKCell:
        top = new_cell()
        a = place(top, spec, names[0])
        b = place(top, spec, names[1], x=gap)
        metal(top, a[ports[0]], b[ports[1]])
        return top

    return build


heaters_wired = wired_pair("straight_heater_metal", ("h1", "h2"), ("e2", "e1"), 300)


def via_between_metals(with_via: bool) -> Callable[[], cg.DKCell]:
    def build() -> cg.DKCell:
        top = new_cell()
        place(top, component("pad", layer="M1"), "a")
        place(top, "pad", "b", x=400)
        metal_path(top, "M1", [(40, 0), (205, 0)])
        if with_via:
            via(top, 200, 0)
        metal_path(top, "M2", [(195, 0), (360, 0)])
        return top

    return build


def wire_in_a_wrapper_cell() -> cg.DKCell:
    """Two pads joined by a wire two unnamed cells down, beside cells without metal."""
    top = new_cell()
    place(top, "pad", "a")
    place(top, "pad", "b", x=400)
    wire, wrapper = new_cell("wire"), new_cell("wrapper")
    metal_path(wire, "M2", [(40, 0), (360, 0)])
    place(wrapper, wire)
    place(top, wrapper)
    straight_run(top, place(top, "straight", y=200)["o2"], [10, 20])
    return top


# (layout, nets with the kit's layer sets, nets with layer sets derived from the ports)
ELECTRICAL_CASES = [
    pytest.param(heaters_wired, net("h1,e2", "h2,e1"), net("h1,e2", "h2,e1"), id="one cell twice, joined by metal"),
    # a pad's four ports lie on one polygon: each pad carries one label, e1
    pytest.param(
        wired_pair("pad", ("p", "q"), ("e3", "e1"), 200),
        net("p,e1", "q,e1"),
        net("p,e1", "q,e1"),
        id="ports on one polygon",
    ),
    # derived layer sets hold one layer each: nothing joins M1 to M2
    pytest.param(via_between_metals(True), net("a,e1", "b,e1"), {}, id="a via joins M1 and M2"),
    pytest.param(via_between_metals(False), {}, {}, id="no via, no connection"),
    pytest.param(wire_in_a_wrapper_cell, net("a,e1", "b,e1"), net("a,e1", "b,e1"), id="wire in an unnamed cell"),
]


@pytest.mark.parametrize(("build", "with_kit", "derived"), ELECTRICAL_CASES)
def test_electrical_connections(build: Layout, with_kit: dict[str, Any], derived: dict[str, Any]) -> None:
    top = build()
    for layers, nets in [(CONNECTIVITY, with_kit), (None, derived), ([], derived)]:
        netlist = extract(top, layers)
        assert {k: v for k, v in netlist["nets"].items() if ",e" in k} == nets


def test_three_pads_on_one_metal_net_share_the_first_pin() -> None:
    top = new_cell()
    pads = [place(top, "pad", name, x=200 * i) for i, name in enumerate("abc")]
    metal(top, pads[0]["e3"], pads[1]["e1"])
    metal(top, pads[1]["e3"], pads[2]["e1"])
    nets = extract(top, CONNECTIVITY)["nets"]
    assert len(nets) == 2
    pairs = [{n["p1"], n["p2"]} for n in nets.values()]
    assert set.union(*pairs) == {"a,e1", "b,e1", "c,e1"}
    assert len(set.intersection(*pairs)) == 1


def test_a_cell_without_electrical_ports_adds_no_electrical_nets() -> None:
    assert extract(routed(), None)["nets"] == extract(routed(), [])["nets"] == extract(routed(), CONNECTIVITY)["nets"]


@pytest.mark.parametrize(
    ("names", "fails"),
    [
        pytest.param(("p", ""), True, id="an empty name is unnamed for the electrical stage"),
        pytest.param(("p", None), True, id="an unnamed instance of a labelled cell is not found"),
        pytest.param((None, None), False, id="unnamed pads alone are wiring"),
    ],
)
def test_pads_joined_by_metal_without_a_name(names: tuple[str | None, str | None], fails: bool) -> None:
    top = new_cell()
    p = place(top, "pad", names[0])
    q = place(top, "pad", names[1], x=200)
    metal(top, p["e3"], q["e1"])
    if not fails:
        assert extract(top, CONNECTIVITY) == {"instances": {}, "nets": {}, "ports": {}}
        return
    before = snapshot()
    with pytest.raises(ValueError, match="^Could not find pin$"):
        lvs.extract_lvs_netlist(top, CONNECTIVITY)
    assert snapshot() == before


# --- arguments and failures -----------------------------------------------------


def test_arguments_by_keyword_and_rewrapping() -> None:
    top = heaters_wired()
    by_position = lvs.extract_lvs_netlist(top, CONNECTIVITY)
    other_wrapper = cg.KCell(base=top._base)
    assert lvs.extract_lvs_netlist(cell=other_wrapper, electrical_layers=CONNECTIVITY) == by_position


@pytest.mark.parametrize(
    ("layers", "error"),
    [
        ([()], IndexError),
        ([["M1", "VIA1", "M2"]], TypeError),  # layer sets are memo keys: hashable
    ],
    ids=["empty layer set", "unhashable layer set"],
)
def test_bad_layer_sets_fail(layers: Any, error: type[Exception]) -> None:
    top = heaters_wired()
    before = snapshot()
    with pytest.raises(error):
        lvs.extract_lvs_netlist(top, layers)
    assert snapshot() == before


def test_layers_the_layout_lacks_conduct_nothing() -> None:
    """A layout without the metal of a layer set (a purely optical one, say) has no
    electrical nets on it; the layer is made in the private copy only."""
    top = heaters_wired()
    with_metal = lvs.extract_lvs_netlist(top, CONNECTIVITY)["nets"]
    before = snapshot()
    without_metal = lvs.extract_lvs_netlist(top, [("NO_SUCH_METAL",)])["nets"]
    assert snapshot() == before
    assert set(with_metal) - set(without_metal) == {"h1,e2:h2,e1"}
    assert set(without_metal) <= set(with_metal)


def test_a_cell_without_base_fails() -> None:
    with pytest.raises(AttributeError):
        lvs.extract_lvs_netlist(object())


@pytest.mark.parametrize("enabled", [True, False])
def test_garbage_collector_state_is_restored(enabled: bool) -> None:
    """The extraction pauses the cyclic collector while it runs and restores it,
    whether it returns or fails."""
    import gc

    top = heaters_wired()
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        lvs.extract_lvs_netlist(top, CONNECTIVITY)
        assert gc.isenabled() is enabled
        with pytest.raises(IndexError):
            lvs.extract_lvs_netlist(top, [()])
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
