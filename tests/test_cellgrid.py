"""Tests of the cell, instance and port library over real KLayout layouts."""

from __future__ import annotations

import itertools
from pathlib import Path

import cellgrid as cg
import demo_pdk as dp
import pytest
from l2n_reference import port_connectivity_in_python

kdb = cg.kdb
WG = kdb.LayerInfo(1, 0, "WG")
M2 = kdb.LayerInfo(45, 0, "M2")
_names = itertools.count()


@pytest.fixture
def lib() -> cg.KCLayout:
    """A fresh library with WG and M2 known by name."""
    k = cg.KCLayout("test")
    k.register_layers([WG, M2])
    return k


def waveguide(lib: cg.KCLayout, length: float = 10.0, width: float = 0.5, name: str | None = None) -> cg.DKCell:
    """A straight waveguide with o1 (west) and o2 (east), and an electrical port on M2."""
    c = lib.dkcell(name or f"wg{next(_names)}")
    c.shapes(WG).insert(kdb.DBox(0, -width / 2, length, width / 2))
    n = round(length / lib.dbu)
    c.create_port("o1", kdb.Trans(2, False, 0, 0), width, WG)
    c.create_port("o2", kdb.Trans(0, False, n, 0), width, WG)
    c.create_port("e1", kdb.Trans(1, False, 0, 0), 2.0, M2, "electrical")
    return c


def chain(lib: cg.KCLayout, names: list[str | None]) -> tuple[cg.DKCell, list[cg.DInstance]]:
    """A top cell with waveguides placed end to end, named as given."""
    wg = waveguide(lib)
    top = lib.dkcell(f"top{next(_names)}")
    insts: list[cg.DInstance] = []
    for name in names:
        inst = top.create_inst(wg, name=name)
        if insts:
            inst.connect("o1", insts[-1]["o2"])
        insts.append(inst)
    return top, insts


# --- layers -----------------------------------------------------------------


@pytest.mark.parametrize(
    "ident",
    ["WG", (1, 0), kdb.LayerInfo(1, 0), kdb.LayerInfo(1, 0, "WG"), kdb.LayerInfo("WG")],
)
def test_layer_identifiers_resolve_to_one_named_layer(lib: cg.KCLayout, ident: cg.LayerIdent) -> None:
    idx = lib.layer(WG)
    assert lib.layer(ident) == idx
    assert lib.find_layer(ident) == idx
    assert lib.get_info(idx).name == "WG"


def test_layer_names_unnamed_layers_and_find_layer_fails_clearly(lib: cg.KCLayout) -> None:
    idx = lib.layer((7, 1))
    assert lib.get_info(idx).name == ""
    lib.register_layers({"HEAT": kdb.LayerInfo(7, 1)})
    assert lib.get_info(idx).name == "HEAT"
    assert lib.find_layer("HEAT") == idx
    with pytest.raises(ValueError, match="NOPE"):
        lib.find_layer("NOPE")
    bare = lib.layer("LATE")  # a name the library does not know yet
    lib.register_layers([kdb.LayerInfo(9, 0, "LATE")])
    assert lib.get_info(bare) == kdb.LayerInfo(9, 0, "LATE") and lib.layer((9, 0)) == bare
    with pytest.raises(TypeError):
        lib.layer(3.5)  # type: ignore[arg-type]


# --- ports ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("other", "meets"),
    [
        (dict(trans=kdb.Trans(2, False, 1000, 0)), True),
        (dict(trans=kdb.Trans(0, False, 1000, 0)), False),  # same direction
        (dict(trans=kdb.Trans(2, False, 1001, 0)), False),  # one dbu apart
        (dict(trans=kdb.Trans(2, False, 1000, 0), width=0.6), False),
        (dict(trans=kdb.Trans(2, False, 1000, 0), layer=M2), False),
        (dict(trans=kdb.Trans(1, False, 1000, 0)), False),  # perpendicular
    ],
)
def test_ports_meet_only_face_to_face_with_equal_width_and_layer(
    lib: cg.KCLayout, other: dict[str, object], meets: bool
) -> None:
    c = lib.dkcell()
    a = c.create_port("a", kdb.Trans(0, False, 1000, 0), 0.5, WG)
    kwargs = {"width": 0.5, "layer": WG, **other}
    b = c.create_port("b", **kwargs)  # type: ignore[arg-type]
    assert a.meets(b) is meets
    assert b.meets(a) is meets


def test_port_units_and_angled_ports(lib: cg.KCLayout) -> None:
    c = lib.dkcell()
    p = c.create_port("o1", kdb.Trans(1, False, 1500, -250), 0.5, WG)
    assert p.center == (1.5, -0.25)
    assert p.orientation == 90.0
    assert p.width == 0.5 and p.width_dbu == 500
    assert p.cross_section.width == 0.5 and p.cross_section.layer.name == "WG"
    assert p.dcplx_trans == kdb.DCplxTrans(1, 90, False, 1.5, -0.25)
    q = c.create_port("o2", dcplx_trans=kdb.DCplxTrans(1, 45, False, 2.0, 3.0), width=0.5, layer=WG)
    assert not q.is_manhattan and q.orientation == pytest.approx(45.0)
    # a micrometre placement that is on the grid becomes an integer one
    r = c.create_port("o3", dcplx_trans=kdb.DCplxTrans(1, 180, False, 2.0, 3.0), width=0.5, layer=WG)
    assert r.is_manhattan and r.trans == kdb.Trans(2, False, 2000, 3000)
    turned = q.transformed(kdb.DCplxTrans(1, 45, False, 0, 0) * kdb.DCplxTrans(1, 0, False, -2.0, -3.0))
    assert turned.is_manhattan and turned.orientation == 90.0


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        (dict(name="o1", trans=kdb.Trans(), width=0.5, layer=WG), ValueError),  # duplicate
        (dict(name="x", trans=kdb.Trans(), width=0.0005, layer=WG), ValueError),  # off grid
        (dict(name="x", trans=kdb.Trans(), width=-1.0, layer=WG), ValueError),
        (dict(name="x", trans=kdb.Trans(), layer=WG), TypeError),  # no width
        (dict(name="x", trans=kdb.Trans(), width=0.5, layer=WG, port_type=""), ValueError),
        (dict(name="", trans=kdb.Trans(), width=0.5, layer=WG), ValueError),
    ],
)
def test_create_port_rejects_bad_ports(lib: cg.KCLayout, kwargs: dict[str, object], error: type) -> None:
    c = waveguide(lib)
    with pytest.raises(error):
        c.create_port(**kwargs)  # type: ignore[arg-type]
    assert c.ports.names() == ["o1", "o2", "e1"]


def test_locked_cells_refuse_changes(lib: cg.KCLayout) -> None:
    c = waveguide(lib)
    c.kdb_cell.locked = True
    with pytest.raises(RuntimeError, match="locked"):
        c.create_port("o9", kdb.Trans(), 0.5, WG)
    with pytest.raises(RuntimeError, match="locked"):
        c.remove_port("o1")
    assert len(c.ports) == 3


# --- cells and instances ----------------------------------------------------


def test_wrappers_of_one_cell_are_equal_and_share_data(lib: cg.KCLayout) -> None:
    c = waveguide(lib, name="w")
    others = [cg.KCell(base=c._base), cg.DKCell(base=c._base), lib.dkcells["w"], lib.kcells[c.cell_index]]
    assert all(o == c for o in others)
    assert len({c, *others}) == 1
    others[0].create_port("o3", kdb.Trans(), 0.5, WG)
    assert "o3" in c.ports
    assert c != waveguide(lib)
    assert "w" in lib.dkcells and "nope" not in lib.dkcells
    with pytest.raises(KeyError):
        lib.dkcells["nope"]
    with pytest.raises(ValueError, match="already has a cell"):
        lib.dkcell("w")


def test_instances_by_name_position_and_properties(lib: cg.KCLayout) -> None:
    top, (a, b, u) = chain(lib, ["a", "b", None])
    assert len(top.insts) == 3
    assert top.insts["b"] == b
    assert b.property(cg.conf.PROPID.NAME) == "b" and u.property(cg.conf.PROPID.NAME) is None
    assert u.name is None
    assert b.dcplx_trans == kdb.DCplxTrans(1, 0, False, 10, 0)
    assert b.trans == kdb.Trans(0, False, 10000, 0)
    assert b.dbbox() == kdb.DBox(10, -0.25, 20, 0.25)
    assert b["o2"].center == (20.0, 0.0)
    assert b.ports.names() == ["o1", "o2", "e1"]
    assert b.cell == a.cell
    for key in ("c", "o1"):
        with pytest.raises(KeyError):
            top.insts[key]
    with pytest.raises(KeyError):
        b["o9"]
    b.name = "renamed"  # the name index notices the change
    assert top.insts["renamed"] == b and "b" not in top.insts
    with pytest.raises(ValueError, match=","):
        a.name = "x,y"


def test_connect_rotated_instance_meets_target(lib: cg.KCLayout) -> None:
    wg = waveguide(lib)
    top = lib.dkcell()
    a = top.create_inst(wg, kdb.DCplxTrans(1, 90, False, 3, 4), name="a")
    b = top.create_inst(wg, name="b").connect("o2", a["o2"])
    assert b["o2"].meets(a["o2"])
    assert b["o1"].center == (3.0, 24.0) and b["o1"].orientation == 90.0
    with pytest.raises(ValueError, match="cannot meet"):
        top.create_inst(waveguide(lib, width=0.6)).connect("o1", a["o1"])


def test_dup_is_independent_with_same_indices(lib: cg.KCLayout) -> None:
    top, _ = chain(lib, ["a", "b"])
    copy = lib.dup()
    c2 = copy.dkcells[top.name]
    assert c2.cell_index == top.cell_index
    assert c2.insts.names() == top.insts.names() and c2.insts["a"].cell.ports.names() == ["o1", "o2", "e1"]
    c2.insts["a"].name = "z"
    c2.shapes(WG).insert(kdb.DBox(0, 0, 100, 100))
    c2.insts["b"].cell.create_port("extra", kdb.Trans(), 0.5, WG)
    assert top.insts.names() == ["a", "b"]
    assert top.dbbox() == kdb.DBox(0, -0.25, 20, 0.25)
    assert "extra" not in top.insts["b"].cell.ports
    assert copy.find_layer("WG") == lib.find_layer("WG")


# --- port connectivity --------------------------------------------------------


def _nets(l2n: cg.PortConnectivity, by_placement: bool = False) -> set[frozenset[str]]:
    """Nets as sets of 'subcircuit,pin' and top pin names.

    With `by_placement` a subcircuit is written as its circuit and placement,
    which does not depend on the order in which instances are stored.
    """

    def label(sc: cg.kdb.SubCircuit) -> str:
        return f"{sc.circuit_ref().name}@{sc.trans}" if by_placement else sc.name

    out = set()
    for net in l2n.netlist().top_circuit().each_net():
        members = {f"{label(r.subcircuit())},{r.pin().name()}" for r in net.each_subcircuit_pin()}
        members |= {r.pin().name() for r in net.each_pin()}
        out.add(frozenset(members))
    return out


def test_l2n_every_instance_is_a_subcircuit_and_meeting_ports_share_nets(lib: cg.KCLayout) -> None:
    top, insts = chain(lib, ["a", None, "b"])
    top.add_port(insts[0]["o1"], "in")
    top.create_port("out", kdb.Trans(0, False, 99000, 0), 0.5, WG)  # exposes nothing
    top.create_port("pad", kdb.Trans(1, False, 0, 0), 2.0, M2, "electrical")
    l2n = top.l2n(port_types=("optical",))
    nl = l2n.netlist()
    circ = nl.top_circuit()
    assert circ.name == top.name and l2n.top_circuit().name == top.name
    subs = list(circ.each_subcircuit())
    assert len(subs) == 3
    wg_circuit = subs[0].circuit_ref()
    assert wg_circuit.name == insts[0].cell.name
    assert [p.name() for p in wg_circuit.each_pin()] == ["o1", "o2"]  # optical ports only
    assert sorted(s.trans.disp.x for s in subs) == [0, 10, 20]
    assert {s.name for s in subs} >= {"a", "b"}
    unnamed = next(s.name for s in subs if s.name not in ("a", "b"))
    assert [p.name() for p in circ.each_pin()] == ["in", "out"]
    assert _nets(l2n) == {
        frozenset({"a,o1", "in"}),
        frozenset({"a,o2", f"{unnamed},o1"}),
        frozenset({f"{unnamed},o2", "b,o1"}),
        frozenset({"b,o2"}),
        frozenset({"out"}),
    }
    assert {p.name() for p in top.l2n(port_types=("electrical",)).top_circuit().each_pin()} == {"pad"}


def test_l2n_joins_all_ports_meeting_at_one_point_and_ignores_mismatches(lib: cg.KCLayout) -> None:
    wg, narrow = waveguide(lib), waveguide(lib, width=0.4)
    top = lib.dkcell()
    a = top.create_inst(wg, name="a")
    b = top.create_inst(wg, name="b").connect("o1", a["o2"])
    top.create_inst(wg, name="c").connect("o1", a["o2"])  # overlaps b
    n = top.create_inst(narrow, kdb.DCplxTrans(1, 0, False, 20, 0), name="n")  # faces b's o2, narrower
    assert b["o2"].position_key()[:2] == n["o1"].position_key()[:2]
    nets = _nets(top.l2n())
    assert frozenset({"a,o2", "b,o1", "c,o1"}) in nets
    assert frozenset({"n,o1"}) in nets  # widths differ
    assert frozenset({"b,o2"}) in nets and frozenset({"c,o2"}) in nets  # same direction


def _walked(circ: kdb.Circuit) -> dict[str, object]:
    """What the tables must say, read from the netlist object by object."""
    subs = list(circ.each_subcircuit())
    position = {sc.id(): k for k, sc in enumerate(subs)}
    nets = list(circ.each_net())
    return {
        "placements": [str(sc.trans) for sc in subs],
        "circuits": [(sc.circuit_ref().name, [p.name() for p in sc.circuit_ref().each_pin()]) for sc in subs],
        "net_pins": [[(position[r.subcircuit().id()], r.pin_id()) for r in net.each_subcircuit_pin()] for net in nets],
        "net_top_pins": [[r.pin().name() for r in net.each_pin()] for net in nets],
        "top_pins": [p.name() for p in circ.each_pin()],
        "names": [sc.name for sc in subs] + [net.name for net in nets],
    }


def _tabled(l2n: cg.PortConnectivity) -> dict[str, object]:
    t = l2n.tables
    assert t is not None
    net_pins: list[list[tuple[int, int]]] = [[] for _ in range(t.net_count)]
    for inst, pin, net in zip(t.endpoint_instances, t.endpoint_pins, t.endpoint_nets, strict=True):
        net_pins[net].append((inst, pin))
    net_top_pins: list[list[str]] = [[] for _ in range(t.net_count)]
    for name, net in t.top_pins:
        net_top_pins[net].append(name)
    return {
        "placements": [str(p) for p in t.placements],
        "circuits": [(t.cell_names[ci], t.pin_names[ci]) for ci in t.cell_indexes],
        "net_pins": net_pins,
        "net_top_pins": net_top_pins,
        "top_pins": [name for name, _ in t.top_pins],
    }


def _odd_placements(lib: cg.KCLayout) -> cg.DKCell:
    """Rotated, mirrored, magnified and off-grid instances, a repeated name, a
    cell without optical ports and a port exposed twice."""
    wg = waveguide(lib)
    bare = lib.dkcell(f"bare{next(_names)}")
    bare.shapes(WG).insert(kdb.DBox(0, 0, 1, 1))
    top = lib.dkcell(f"odd{next(_names)}")
    a = top.create_inst(wg, kdb.DCplxTrans(1, 45, False, 3.3, -2.1), name="a")
    top.create_inst(wg, kdb.DCplxTrans(2, 30, True, 0.0004, 7), name="a")
    top.create_inst(bare, name="bare")
    top.create_inst(wg, kdb.Trans(3, True, 1000, 2000))
    b = top.create_inst(wg, name="b")
    top.create_inst(wg, name="c").connect("o1", b["o2"])
    top.add_port(a["o1"], "in")
    top.add_port(a["o1"], "in_again")
    return top


def _built(lib: cg.KCLayout, build: str, chain_names: list[str | None]) -> cg.DKCell:
    """A top cell to extract: a chain of the given names with its first port exposed, or one
    of the layouts below."""
    if build == "chain":
        top, insts = chain(lib, chain_names)
        top.add_port(insts[0]["o1"], "in")
        return top
    return {"odd": _odd_placements, "chip": lambda _: demo_chip(), "mirrored": _mirrored_and_arrays}[build](lib)


@pytest.mark.parametrize("port_types", [("optical",), ("electrical",)])
@pytest.mark.parametrize("build", ["chain", "odd", "chip"])
def test_l2n_tables_describe_the_netlist_as_built(lib: cg.KCLayout, build: str, port_types: tuple[str, ...]) -> None:
    top = _built(lib, build, ["a", None, "b", None, None, "c"])
    l2n = top.l2n(port_types=port_types)
    assert _tabled(l2n) == {k: v for k, v in _walked(l2n.top_circuit()).items() if k != "names"}
    t = l2n.tables
    assert t is not None
    instances = list(top.kdb_cell.each_inst())
    assert list(t.cell_indexes) == [i.cell_index for i in instances]
    assert t.name_properties == [i.property(cg.conf.PROPID.NAME) for i in instances]
    assert t.named_instances == [i if i.property(cg.conf.PROPID.NAME) is not None else None for i in instances]
    assert [(x, y) for x, y in zip(t.xs, t.ys, strict=True)] == [
        (i.dcplx_trans.disp.x, i.dcplx_trans.disp.y) for i in instances
    ]
    assert t.net_count == len(list(l2n.top_circuit().each_net()))


def _mirrored_and_arrays(lib: cg.KCLayout) -> cg.DKCell:
    """Mirrored instances of every orientation meeting their neighbours, an
    instance array, and a cell whose port faces 45 degrees, placed plainly."""
    wg = waveguide(lib)
    angled = lib.dkcell(f"angled{next(_names)}")
    angled.create_port("o1", dcplx_trans=kdb.DCplxTrans(1, 45, False, 1, 1), width=0.5, layer=WG)
    angled.create_port("o2", kdb.Trans(2, False, 0, 0), 0.5, WG)
    top = lib.dkcell(f"mirrored{next(_names)}")
    last = top.create_inst(wg, name="m0")
    for code in range(1, 8):
        inst = top.create_inst(wg, kdb.Trans(code % 4, code >= 4, 0, 0), name=f"m{code}")
        last = inst.connect("o1", last["o2"])
    top.kdb_cell.insert(
        kdb.CellInstArray(wg.cell_index, kdb.Trans(0, False, -10000, 0), kdb.Vector(0, 5000), kdb.Vector(1000, 0), 3, 2)
    )
    a = top.create_inst(angled, kdb.Trans(1, True, 4000, 4000), name="ang")
    top.create_inst(angled, name="ang2").connect("o1", a["o1"])
    top.add_port(a["o2"], "side")
    return top


@pytest.mark.parametrize("port_types", [("optical",), ("optical", "electrical")])
@pytest.mark.parametrize("build", ["chain", "odd", "chip", "mirrored"])
def test_l2n_equals_the_plain_python_reference(lib: cg.KCLayout, build: str, port_types: tuple[str, ...]) -> None:
    """The native core gives the tables, and the netlist built from them, that
    the plain Python computation gave, names of subcircuits and nets included."""
    top = _built(lib, build, ["a", None, "a", None, None, "c"])
    l2n = top.l2n(port_types=port_types)
    netlist, reference = port_connectivity_in_python(top, port_types, l2n.every_array)
    assert l2n.tables is not None
    for name in cg.ConnectivityTables.__slots__:
        mine, theirs = getattr(l2n.tables, name), getattr(reference, name)
        if name == "kept_placements":
            mine, theirs = list(map(str, mine)), list(map(str, theirs))
        assert mine == theirs, name
    assert _walked(l2n.top_circuit()) == _walked(netlist.top_circuit())


@pytest.mark.parametrize(
    "first, second, meet",
    [
        (0, 180000, True),
        (-90000, 90000, True),
        (450000, 270000, True),
        (-180000, 0, True),
        (90000, 90000, False),
        (0, 179999, False),
    ],
)
def test_native_matcher_takes_orientations_modulo_a_full_turn(
    lib: cg.KCLayout, first: int, second: int, meet: bool
) -> None:
    """Ports facing each other meet however their orientations are written (millidegrees)."""
    a, b, top = lib.dkcell(), lib.dkcell(), lib.dkcell()
    top.create_inst(a)
    top.create_inst(b)
    angles = {a.cell_index: first, b.cell_index: second}

    def cell_ports(ci: int) -> tuple[int, list[list[tuple[int, int, int, int, int]]]]:
        return 1, [[(5, 7, 0, 500, angles[ci])]] * 8

    result = cg._l2n.match_ports(top.kdb_cell, cg.conf.PROPID.NAME, lib.dbu, cell_ports, None, [], None, 5.0)
    endpoint_nets = result[9]
    assert (endpoint_nets[0] == endpoint_nets[1]) == meet


def test_l2n_builds_its_netlist_only_when_asked(lib: cg.KCLayout) -> None:
    top, _ = chain(lib, ["a", None, "b"])
    first = top.l2n()
    assert top._base.last_netlist is None
    circ = top.l2n().netlist().top_circuit()  # kept by the cell until its next l2n
    assert circ.name == top.name and first.netlist() is not None
    top.l2n()
    assert top._base.last_netlist is None


# --- files --------------------------------------------------------------------


def demo_chip() -> cg.DKCell:
    """A small circuit of demo kit cells: named instances, meeting ports, routes."""
    dp.PDK.activate()
    c = cg.DKCell(f"chip{next(_names)}")
    gc = c.create_inst(dp.grating_coupler(), kdb.DCplxTrans(1, 180, False, 0, 0), name="gc_in")
    mmi = c.create_inst(dp.mmi1x2(), name="split").connect("o1", gc["o1"])
    ht = c.create_inst(dp.straight_heater_metal(), kdb.DCplxTrans(1, 0, False, 80, 40), name="heater")
    c.create_inst(dp.straight(length=30), name="arm").connect("o1", mmi["o2"])
    pad = c.create_inst(dp.pad(), kdb.DCplxTrans(1, 0, False, 100, 200), name="pad_a")
    dp.route_single(c, mmi["o3"], ht["o1"])
    dp.route_bundle_electrical(c, [ht["e1"]], [pad["e4"]])
    c.add_port(ht["o2"], "o2")
    return c


def written_the_old_way(path: Path) -> None:
    """Rewrite `path` as files were once written: the layer names in the layout's own meta
    info, a top cell's ports and settings in its own."""
    layout = kdb.Layout()
    layout.read(str(path))
    for cell in layout.each_cell():
        for meta in list(cell.each_meta_info()):
            key, _, owner = meta.name.partition("@")
            if key == cg.conf.META_LAYERS:
                layout.add_meta_info(kdb.LayoutMetaInfo(key, meta.value, None, True))
            elif owner:
                layout.cell(owner).add_meta_info(kdb.LayoutMetaInfo(key, meta.value, None, True))
            else:
                continue
            cell.remove_meta_info(meta.name)
    options = kdb.SaveLayoutOptions()
    options.write_context_info = True
    layout.write(str(path), options)


@pytest.mark.parametrize("layer_names_on_the_layout", [False, True], ids=["as written", "written the old way"])
@pytest.mark.parametrize("suffix", [".gds", ".oas"])
def test_layout_files_keep_instance_names_ports_and_settings(
    tmp_path: Path, suffix: str, layer_names_on_the_layout: bool
) -> None:
    chip = demo_chip()
    path = tmp_path / f"chip{suffix}"
    chip.kcl.write(path)
    assert chip.kcl.layout.meta_info(cg.conf.META_LAYERS) is None
    assert all(cell.meta_info(cg.conf.META_LAYERS) is None for cell in chip.kcl.layout.each_cell())
    if layer_names_on_the_layout:
        written_the_old_way(path)
    back = cg.KCLayout("back")
    tops = back.read(path)
    assert chip.name in [t.name for t in tops]
    c = back.dkcells[chip.name]
    assert sorted(c.insts.names()) == sorted(chip.insts.names()) == ["arm", "gc_in", "heater", "pad_a", "split"]
    assert len(c.insts) == len(chip.insts)
    for inst in chip.insts:
        if inst.name is None:
            continue
        other = c.insts[inst.name]
        assert other.dcplx_trans == inst.dcplx_trans
        assert other.cell.name == inst.cell.name
        assert list(other.ports) == list(inst.ports)
    assert list(c.ports) == list(chip.ports)
    heater = back.dkcells["straight_heater_metal"]
    assert heater.ports["e1"].layer_info == kdb.LayerInfo(45, 0, "M2")
    assert heater.function_name == "straight_heater_metal" and heater.settings["length"] == 100.0
    assert back.find_layer("M2") == back.layer(kdb.LayerInfo(45, 0))
    assert back.layer_names["FLOORPLAN"] == kdb.LayerInfo(64, 0, "FLOORPLAN")  # a layer no port names
    assert _nets(c.l2n(), True) == _nets(chip.l2n(), True)


@pytest.mark.parametrize("suffix", [".gds", ".oas"])
def test_a_file_without_context_information_marks_its_cells(tmp_path: Path, suffix: str) -> None:
    """Re-saved without context information, a file keeps names and shapes but no
    cell's ports or settings: its cells say so; a file with it, even portless cells, not."""
    chip = demo_chip()
    lone = chip.kcl.dkcell(f"lone{next(_names)}")  # no ports, no settings
    chip.create_inst(lone, name="lone")
    full = tmp_path / f"full{suffix}"
    chip.write(str(full))
    layout = kdb.Layout()
    layout.read(str(full))
    options = kdb.SaveLayoutOptions()
    options.write_context_info = False
    bare = tmp_path / f"bare{suffix}"
    layout.write(str(bare), options)

    with_context, without = cg.KCLayout("with"), cg.KCLayout("without")
    with_context.read(full)
    without.read(bare)
    assert all(with_context.dkcells[name].ports_known for name in with_context.dkcells)
    assert not any(without.dkcells[name].ports_known for name in without.dkcells)
    mmi = without.dkcells["mmi1x2"]
    assert (list(mmi.ports), mmi.function_name) == ([], None)
    assert sorted(without.dkcells[chip.name].insts.names()) == sorted(chip.insts.names())
    assert not without.dup().dkcells[chip.name].ports_known
    mmi._base.take_from(with_context.dkcells["mmi1x2"]._base)
    assert mmi.ports_known and list(mmi.ports) == list(with_context.dkcells["mmi1x2"].ports)
    assert mmi.ports["o1"].layer == without.find_layer(kdb.LayerInfo(1, 0))


def test_reading_never_changes_existing_cells(tmp_path: Path, lib: cg.KCLayout) -> None:
    wg = waveguide(lib, name="same")
    path = tmp_path / "a.gds"
    lib.write(path)
    tops = lib.read(path)
    assert [t.name for t in tops] == ["same$1"]
    assert lib.dkcells["same"] == wg and tops[0].ports.names() == ["o1", "o2", "e1"]
    coarse = cg.KCLayout("coarse", dbu=0.005)
    coarse.dkcell("x")
    with pytest.raises(ValueError, match="database unit"):
        coarse.read(path)
    assert coarse.dbu == 0.005
    with pytest.raises(ValueError, match="unknown layout format"):
        lib.write(tmp_path / "a.txt")
    with pytest.raises(FileNotFoundError):
        lib.read(tmp_path / "missing.gds")


def test_angled_ports_meet_after_rotation() -> None:
    """Two 45-degree bends make a quarter turn; their angled ports meet."""
    dp.PDK.activate()
    bend = dp.bend_circular(radius=10, angle=45)
    top = cg.DKCell(f"angled{next(_names)}")
    first = top.create_inst(bend, name="b1")
    second = top.create_inst(bend, name="b2").connect("o1", first["o2"])
    assert not first["o2"].is_manhattan and second["o1"].meets(first["o2"])
    assert second["o2"].is_manhattan and second["o2"].orientation == 90.0
    assert second["o2"].center == pytest.approx((10.0, 10.0), abs=0.002)
    nets = _nets(top.l2n())
    assert frozenset({"b1,o2", "b2,o1"}) in nets
    spun = top.create_inst(bend, kdb.DCplxTrans(2.0, 30, False, 5, 5), name="big")
    assert spun["o1"].width == 1.0 and spun["o1"].orientation == pytest.approx(210.0)


def test_writing_one_cell_writes_its_hierarchy_only(tmp_path: Path, lib: cg.KCLayout) -> None:
    top, _ = chain(lib, ["a"])
    lone = waveguide(lib, name="lone")
    path = tmp_path / "top.oas"
    top.write(str(path))
    back = cg.KCLayout("back")
    back.read(path)
    assert set(back.dkcells) == {top.name, top.insts["a"].cell.name}
    assert lone.name not in back.dkcells


def test_port_views_filter_and_look_up(lib: cg.KCLayout) -> None:
    c = waveguide(lib)
    ports = c.ports
    assert [p.name for p in ports.filter(port_type="optical")] == ["o1", "o2"]
    assert [p.name for p in ports.filter(orientation=90)] == ["e1"]
    assert [p.name for p in ports.filter(port_type="optical", orientation=-180)] == ["o1"]
    assert ports[1].name == "o2" and ports.get("zz") is None and ports["o2"] in ports
    c.remove_port("o2")
    assert "o2" not in c.ports and len(c.ports) == 2
    with pytest.raises(KeyError):
        c.remove_port("o2")


@pytest.mark.parametrize("rotation", [0, 90, 180, 270])
def test_mirrored_ports_face_as_the_rotation_without_mirror(rotation: int) -> None:
    """KLayout numbers mirrored rotations 4 to 7; a port of a mirrored placement
    still faces within [0, 360) and meets what the same rotation would meet."""
    dp.PDK.activate()
    top = cg.kcl.dkcell(f"mirrored{next(_names)}")
    mmi = dp.PDK.get_component("mmi1x2")
    turned = top.create_inst(mmi, kdb.DCplxTrans(1, rotation, False, 0, 0))
    mirrored = top.create_inst(mmi, kdb.DCplxTrans(1, rotation, True, 0, 0))
    assert [p.orientation for p in mirrored.ports] == [p.orientation for p in turned.ports]
    assert all(p.trans.rot < 4 and 0 <= p.angle_key() < 360000 for p in mirrored.ports)
    assert mirrored["o1"].meets(turned["o1"].flipped())


NORTH, EAST = kdb.Vector(0, 20_000), kdb.Vector(30_000, 0)


@pytest.mark.parametrize(
    "na, nb, trans, names, a",
    [
        (2, 1, kdb.Trans(0, False, 0, 0), ["w[0]", "w[1]"], NORTH),
        (1, 3, kdb.Trans(0, False, 0, 0), ["w[0]", "w[1]", "w[2]"], NORTH),
        # west to east along the vector nearer the x axis, then south to north
        (2, 2, kdb.Trans(0, False, 0, 0), ["w[0][0]", "w[0][1]", "w[1][0]", "w[1][1]"], NORTH),
        (2, 1, kdb.ICplxTrans(1, 30, False, 0, 0), ["w[0]", "w[1]"], NORTH),
        # counted from the south end, whichever copy is the first
        (3, 1, kdb.Trans(0, False, 0, 0), ["w[2]", "w[1]", "w[0]"], -NORTH),
        (1, 1, kdb.Trans(0, False, 0, 0), ["w"], NORTH),
    ],
)
def test_array_elements_are_instances_of_their_own(
    lib: cg.KCLayout, na: int, nb: int, trans: kdb.Trans, names: list[str], a: kdb.Vector
) -> None:
    """Copy (i, j) sits i times `a` and j times `b` from the first, with its own name, box and ports."""
    wg, top = waveguide(lib), lib.dkcell(f"top{next(_names)}")
    array = top.create_inst(wg, name="w")
    b = EAST
    array.instance.cell_inst = kdb.CellInstArray(wg.cell_index, trans, a, b, na, nb)
    elements = array.elements()
    assert [e.name for e in elements] == names == [e.name for e in top.insts.elements()]
    for e in elements:
        i, j = e.element or (0, 0)
        shift = (a * i + b * j).to_dtype(lib.dbu)
        placed = kdb.DCplxTrans(shift) * kdb.DCplxTrans(array.dcplx_trans)
        assert str(e.dcplx_trans) == str(placed)
        assert e.dbbox() == wg.dbbox().transformed(placed)
        end = placed * kdb.DPoint(10, 0)
        assert e["o2"].center == pytest.approx((end.x, end.y))
    assert {e.name for e in elements} == {name for name in top.l2n().tables.name_properties}


@pytest.mark.parametrize(
    "trans, a, b, na, nb",
    [
        (kdb.Trans(1, False, 1000, 2000), kdb.Vector(100_000, 0), kdb.Vector(), 2, 1),
        (kdb.Trans(0, False, 1000, 2000), kdb.Vector(-100_000, 0), kdb.Vector(), 2, 1),
        (kdb.Trans(0, False, 1000, 2000), kdb.Vector(100_000, 0), kdb.Vector(0, 50_000), 3, 2),
        (kdb.Trans(2, True, 1000, 2000), kdb.Vector(0, 100_000), kdb.Vector(), 3, 1),
        (kdb.Trans(3, True, 1000, 2000), kdb.Vector(100_000, 0), kdb.Vector(0, 50_000), 3, 2),
    ],
    ids=["turned row", "row drawn westwards", "grid", "mirrored column", "mirrored, turned grid"],
)
def test_array_elements_keep_their_names_through_a_gds_file(
    lib: cg.KCLayout, tmp_path: Path, trans: kdb.Trans, a: kdb.Vector, b: kdb.Vector, na: int, nb: int
) -> None:
    """KLayout reads these arrays back from GDS with their vectors swapped or reversed
    and another copy first: each copy keeps its name where it is."""
    wg, top = waveguide(lib), lib.dkcell(f"top{next(_names)}")
    array = top.create_inst(wg, name="w")
    array.instance.cell_inst = kdb.CellInstArray(wg.cell_index, trans, a, b, na, nb)
    placed = {e.name: str(e.dcplx_trans) for e in array.elements()}
    top.write(str(tmp_path / "arrays.gds"))
    read = cg.KCLayout(f"arrays:{tmp_path}").read(tmp_path / "arrays.gds")
    [back] = [cell for cell in read if cell.name == top.name]
    assert {e.name: str(e.dcplx_trans) for e in back.insts.elements()} == placed
