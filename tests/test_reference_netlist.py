"""Loading a reference netlist from its YAML file into the form the layout extraction
produces: instances, canonical two-point nets in key order, and the file's ports."""

from __future__ import annotations

import re

import textwrap
from pathlib import Path
from typing import Any

import pytest
import yaml

import cellgrid as cg
import demo_pdk
import quillon.core.lvs as lvs

kdb = cg.kdb


def bar_cell() -> cg.DKCell:
    """One M2 bar with electrical ports e1 and e2 at its ends: e2 is on e1's conductor."""
    c = cg.kcl.dkcell("refload_bar")
    c.shapes(c.kcl.layer(demo_pdk.LAYER.M2)).insert(kdb.DBox(0, -5, 100, 5))
    c.create_port(
        "e1", dcplx_trans=kdb.DCplxTrans(1, 180, False, 0, 0), width=10, layer=demo_pdk.LAYER.M2, port_type="electrical"
    )
    c.create_port(
        "e2", dcplx_trans=kdb.DCplxTrans(1, 0, False, 100, 0), width=10, layer=demo_pdk.LAYER.M2, port_type="electrical"
    )
    return c


@pytest.fixture(scope="module")
def layout() -> cg.DKCell:
    """Instances a and b (splitters), m (a bar) and h (a heater, whose cell places via stacks
    with electrical ports)."""
    top = cg.kcl.dkcell("refload_top")
    mmi = demo_pdk.mmi1x2()
    top.create_inst(mmi, kdb.DCplxTrans(1, 0, False, 0, 0), name="a")
    top.create_inst(mmi, kdb.DCplxTrans(1, 0, False, 100, 0), name="b")
    top.create_inst(bar_cell(), kdb.DCplxTrans(1, 0, False, 0, 200), name="m")
    top.create_inst(demo_pdk.straight_heater_metal(), kdb.DCplxTrans(1, 0, False, 0, 400), name="h")
    return top


def write(tmp_path: Path, text: str) -> str:
    path = tmp_path / "ref.pic.yml"
    path.write_text(textwrap.dedent(text))
    return str(path)


INSTANCES = """\
instances:
  a: {component: mmi1x2, settings: {length: 5}}
  b: {component: mmi1x2}
  m: {component: bar}
"""


def reference(connections: str = "{}", routes: str = "{}", nets: str = "[]", ports: str = "{}") -> str:
    return f"{INSTANCES}connections: {connections}\nroutes: {routes}\nnets: {nets}\nports: {ports}\n"


def net(p1: str, p2: str) -> dict[str, str]:
    return {"p1": p1, "p2": p2}


# (case, file text, expected "nets" of the result, as a list of items in order)
NET_CASES = [
    (
        "connection and reversed electrical net collapse",
        reference(connections="{'a,o1': 'b,o1'}", nets="[{p1: 'b,o1', p2: 'a,o1'}]"),
        [("a,o1:b,o1", net("a,o1", "b,o1"))],
    ),
    (
        "keys in ascending code-point order whatever the file order",
        reference(connections="{'mmi2,o1': 'z,o1', 'mmi10,o1': 'y,o1', 'B,o1': 'a,o2'}"),
        [
            ("B,o1:a,o2", net("B,o1", "a,o2")),
            ("mmi10,o1:y,o1", net("mmi10,o1", "y,o1")),
            ("mmi2,o1:z,o1", net("mmi2,o1", "z,o1")),
        ],
    ),
    ("nothing to connect", reference(), []),
    (
        "route links become nets; other route entries ignored",
        reference(routes="{r1: {links: {'b,o2': 'a,o3', 'a,o2': 'b,o3'}, settings: {radius: 5}}, r2: {links: {}}}"),
        [("a,o2:b,o3", net("a,o2", "b,o3")), ("a,o3:b,o2", net("a,o3", "b,o2"))],
    ),
    (
        "net entries without both endpoints skipped; extra entries ignored",
        reference(nets="[{p1: 'a,e1'}, {p2: 'a,e1'}, {p1: 'a,e1', p2: 'b,e1', name: n1}]"),
        [("a,e1:b,e1", net("a,e1", "b,e1"))],
    ),
    (
        "instance absent from the layout keeps its port names",
        reference(nets="[{p1: 'ghost,e2', p2: 'a,e1'}]"),
        [("a,e1:ghost,e2", net("a,e1", "ghost,e2"))],
    ),
    (
        "endpoint split at its last comma",
        reference(nets="[{p1: 'x,y,e2', p2: 'a,e1'}]"),
        [("a,e1:x,y,e2", net("a,e1", "x,y,e2"))],
    ),
    (
        "equal endpoints and a net listed twice",
        reference(connections="{'a,o1': 'a,o1'}", nets="[{p1: 'b,e1', p2: 'a,e1'}, {p1: 'a,e1', p2: 'b,e1'}]"),
        [("a,e1:b,e1", net("a,e1", "b,e1")), ("a,o1:a,o1", net("a,o1", "a,o1"))],
    ),
]


@pytest.mark.parametrize("text, expected", [c[1:] for c in NET_CASES], ids=[c[0] for c in NET_CASES])
def test_nets(tmp_path: Path, layout: cg.DKCell, text: str, expected: list[tuple[str, dict[str, str]]]) -> None:
    result = lvs.load_ref_netlist(write(tmp_path, text), layout)
    assert list(result) == ["instances", "nets", "ports"]
    assert list(result["nets"].items()) == expected
    for value in result["nets"].values():
        assert list(value) == ["p1", "p2"]


def test_instances_keep_file_order_and_only_the_component(tmp_path: Path, layout: cg.DKCell) -> None:
    text = "instances: {z: {component: c1, settings: {w: 1}}, a: {component: c2}, ghost: {component: c3}}\n"
    result = lvs.load_ref_netlist(write(tmp_path, text + "connections: {}\nroutes: {}\nnets: []\nports: {}\n"), layout)
    assert list(result["instances"].items()) == [
        ("z", {"component": "c1"}),
        ("a", {"component": "c2"}),
        ("ghost", {"component": "c3"}),
    ]


@pytest.mark.parametrize(
    "ports, expected",
    [
        ("{o2: 'b,o3', o1: 'a,o1', extra: {x: [1, 2]}}", {"o2": "b,o3", "o1": "a,o1", "extra": {"x": [1, 2]}}),
        ("null", None),
        ("['a,o1', 'b,o2']", ["a,o1", "b,o2"]),
    ],
)
def test_ports_are_the_files_value(tmp_path: Path, layout: cg.DKCell, ports: str, expected: Any) -> None:
    result = lvs.load_ref_netlist(write(tmp_path, reference(ports=ports)), layout)
    assert result["ports"] == expected
    if isinstance(expected, dict):
        assert list(result["ports"]) == list(expected)


# YAML 1.1 scalars and structure whose loaded values must be what the pure safe loader gives.
TRICKY_PORTS = """\
ports:
  yes: on
  off: No
  octal: 0o17
  old_octal: 017
  underscores: 1_000
  sexagesimal: 1:30
  float: 6.8523015e+5
  sexagesimal_float: 1:30.5
  infinity: -.inf
  not_a_number: .NaN
  tilde: ~
  empty:
  date: 2002-12-14
  timestamp: 2001-12-14t21:59:43.10-05:00
  base: &base {x: 1, y: 2}
  merged: {<<: *base, y: 3}
  alias: *base
  dup: 1
  dup: 2
  quoted: "a,o1"
  binary: !!binary aGVsbG8=
  set: !!set {a, b}
  pairs: !!omap [{k1: 1}, {k2: 2}]
  multi: |
    line one
    line two
  non_ascii: "é中😀\\u2028"
"""


def test_values_read_as_the_pure_safe_loader_reads_them(tmp_path: Path, layout: cg.DKCell) -> None:
    text = reference().replace("ports: {}\n", TRICKY_PORTS)
    path = write(tmp_path, text)
    loaded = lvs.load_ref_netlist(path, layout)["ports"]
    expected = yaml.load(Path(path).read_text(), Loader=yaml.SafeLoader)["ports"]
    # repr: NaN never equals itself, and it tells True from 1 and a date from a string.
    assert repr(loaded) == repr(expected)
    assert [type(v) for v in loaded.values()] == [type(v) for v in expected.values()]
    assert list(loaded) == list(expected)


ENTRIES = "instances: {}\nconnections: {}\nroutes: {}\nnets: []\nports: {}\n"


@pytest.mark.parametrize(
    "text, where, expected",
    [
        ("", "the file", "expected a mapping with instances, connections, routes, nets and ports, got null"),
        ("- a\n- b\n", "the file", "expected a mapping with instances, .*, got a list"),
        ("connections: {}\n", "the entry instances is missing", r"\(expected a mapping of instance name"),
        ("instances: {}\nroutes: {}\nnets: []\n", "the entry connections is missing", "endpoint to endpoint"),
        (ENTRIES.replace("routes: {}\n", ""), "the entry routes is missing", "links"),
        (ENTRIES.replace("nets: []\n", ""), "the entry nets is missing", "a list of nets"),
        (ENTRIES.replace("ports: {}\n", ""), "the entry ports is missing", "port name to endpoint"),
        (
            ENTRIES.replace("instances: {}", "instances:"),
            "instances",
            "expected a mapping of instance name .*, got null",
        ),
        (ENTRIES.replace("instances: {}", "instances: [a, b]"), "instances", "got a list"),
        (ENTRIES.replace("instances: {}", "instances: {1: {component: x}}"), "instances", "texts, got the number 1"),
        (
            ENTRIES.replace("instances: {}", "instances: {a: {settings: {}}}"),
            "instances 'a'",
            "'component' name, got a mapping without it",
        ),
        (
            ENTRIES.replace("instances: {}", "instances: {a: {component: 5}}"),
            "instances 'a' component",
            "got the number 5",
        ),
        (
            ENTRIES.replace("instances: {}", "instances: {a: {component: x, settings: [1]}}"),
            "instances 'a' settings",
            "setting name to value, got a list",
        ),
        (ENTRIES.replace("routes: {}", "routes: {r: {settings: {}}}"), "routes 'r'", "with 'links'"),
        (
            ENTRIES.replace("routes: {}", "routes: {r: {links: {'a,o1': 'b'}}}"),
            "routes 'r' links 'a,o1'",
            "got the text 'b'",
        ),
        (
            ENTRIES.replace("connections: {}", "connections: {ab: 'c,o1'}"),
            "connections 'ab'",
            "endpoint 'instance,port', got the text 'ab'",
        ),
        (ENTRIES.replace("connections: {}", "connections: {',o1': 'c,o1'}"), "connections ',o1'", "endpoint"),
        (
            ENTRIES.replace("connections: {}", "connections: {'a,o1': 'c,o1,'}"),
            "connections 'a,o1'",
            "got the text 'c,o1,'",
        ),
        (ENTRIES.replace("nets: []", "nets:"), "nets", "a list of nets .*, got null"),
        (ENTRIES.replace("nets: []", "nets: 5"), "nets", "got the number 5"),
        (ENTRIES.replace("nets: []", "nets: [5]"), "nets entry 1", "a net"),
        (reference(nets="[{p1: 'a', p2: 'b,e1'}]"), "nets entry 1 p1", "endpoint 'instance,port', got the text 'a'"),
        (reference(nets="[{p1: 'a,e1', p2: 'b'}]"), "nets entry 1 p2", "got the text 'b'"),
    ],
)
def test_malformed_files_fail_with_one_line_naming_the_entry(
    tmp_path: Path, layout: cg.DKCell, text: str, where: str, expected: str
) -> None:
    path = write(tmp_path, text)
    with pytest.raises(
        ValueError, match=f"^reference netlist {re.escape(repr(path))}: {re.escape(where)}.*{expected}"
    ) as error:
        lvs.load_ref_netlist(path, layout)
    assert "\n" not in str(error.value)


def test_text_that_is_not_yaml(tmp_path: Path, layout: cg.DKCell) -> None:
    with pytest.raises(yaml.YAMLError, match="expected"):
        lvs.load_ref_netlist(write(tmp_path, "instances: {a: [1\n"), layout)


def test_missing_file(tmp_path: Path, layout: cg.DKCell) -> None:
    with pytest.raises(FileNotFoundError):
        lvs.load_ref_netlist(str(tmp_path / "absent.pic.yml"), layout)


def test_file_left_unchanged(tmp_path: Path, layout: cg.DKCell) -> None:
    path = write(tmp_path, reference(connections="{'b,o1': 'a,o1'}", ports="{o1: 'a,o2'}"))
    before = Path(path).read_bytes()
    lvs.load_ref_netlist(path, layout)
    assert Path(path).read_bytes() == before


@pytest.mark.parametrize(
    "nets, expected",
    [
        ("[{p1: 'm,e2', p2: 'x,p'}]", ["m,e1:x,p"]),
        ("[{p1: 'a,o1', p2: 'm,e2'}]", ["a,o1:m,e1"]),
        ("[{p1: 'm,e1', p2: 'x,p'}, {p1: 'x,p', p2: 'm,e2'}]", ["m,e1:x,p"]),
        ("[{p1: 'm,e3', p2: 'ghost,e2'}]", ["ghost,e2:m,e3"]),
    ],
)
def test_electrical_ports_renamed_to_their_group(
    tmp_path: Path, layout: cg.DKCell, nets: str, expected: list[str]
) -> None:
    path = write(tmp_path, reference(connections="{'m,e2': 'b,o1'}", nets=nets))
    result = lvs.load_ref_netlist(path, layout, [("M2",)])
    assert list(result["nets"]) == sorted(expected + ["b,o1:m,e2"])


@pytest.mark.parametrize(
    "electrical_layers, on_a_layout_cell",
    [([["M2"]], True), ([("NO_SUCH_LAYER",)], True), (5, True), (None, False)],
    ids=["unhashable set", "unknown layer", "not iterable", "no layout cell"],
)
def test_failing_port_analysis_stays_with_its_instance(
    tmp_path: Path, layout: cg.DKCell, electrical_layers: Any, on_a_layout_cell: bool
) -> None:
    """Whatever goes wrong while grouping one instance's ports, the load goes on and that
    instance keeps the file's port names; given a cell object that is no layout cell at all,
    every instance lookup fails alike."""
    path = write(tmp_path, reference(nets="[{p1: 'm,e2', p2: 'x,p'}, {p1: 'h,e2', p2: 'a,e1'}]"))
    result = lvs.load_ref_netlist(path, layout if on_a_layout_cell else object(), electrical_layers)
    assert list(result["nets"]) == ["a,e1:h,e2", "m,e2:x,p"]


def test_non_ascii_file(tmp_path: Path, layout: cg.DKCell) -> None:
    text = reference(connections="{'é,o1': '中,o2'}", ports="{o1: '😀,o1'}")
    result = lvs.load_ref_netlist(write(tmp_path, text), layout)
    assert list(result["nets"]) == ["é,o1:中,o2"]
    assert result["ports"] == {"o1": "😀,o1"}


def bridge_cell() -> cg.DKCell:
    """A cell whose own ports e1 and e2 sit at the ends of one M2 bar, over a via stack placed
    inside it: the via stack's electrical ports are what the layer sets are derived from."""
    c = cg.kcl.dkcell("refload_bridge")
    c.shapes(c.kcl.layer(demo_pdk.LAYER.M2)).insert(kdb.DBox(0, -5, 100, 5))
    c.create_inst(demo_pdk.via_stack(), kdb.DCplxTrans(1, 0, False, 50, 0))
    for name, angle, x in (("e2", 180, 0), ("e1", 0, 100)):
        c.create_port(
            name,
            dcplx_trans=kdb.DCplxTrans(1, angle, False, x, 0),
            width=10,
            layer=demo_pdk.LAYER.M2,
            port_type="electrical",
        )
    return c


@pytest.fixture(scope="module")
def bridge_layout() -> cg.DKCell:
    top = cg.kcl.dkcell("refload_bridge_top")
    top.create_inst(bridge_cell(), kdb.DCplxTrans(1, 0, False, 0, 0), name="g")
    return top


@pytest.mark.parametrize("electrical_layers", [None, []], ids=["absent", "empty"])
def test_derived_layer_sets_rename_ports_of_one_conductor(
    tmp_path: Path, bridge_layout: cg.DKCell, electrical_layers: Any
) -> None:
    """Without explicit layer sets, the sets derived from the inner instances' ports (layer
    infos) select the ports on those layers, so e2 is renamed to its group's e1."""
    top = bridge_layout
    text = "instances: {g: {component: bridge}}\nconnections: {}\nroutes: {}\n"
    text += "nets: [{p1: 'g,e2', p2: 'x,p'}, {p1: 'g,e1', p2: 'y,p'}]\nports: {}\n"
    result = lvs.load_ref_netlist(write(tmp_path, text), top, electrical_layers)
    assert list(result["nets"]) == ["g,e1:x,p", "g,e1:y,p"]


def test_layer_info_sets_group_like_layer_names(bridge_layout: cg.DKCell) -> None:
    cell = bridge_layout.insts["g"].cell
    by_name = lvs.find_connected_elec_ports(cell, ("M2",))
    by_info = lvs.find_connected_elec_ports(cell, (demo_pdk.LAYER.M2,))
    assert by_name == by_info == {"e1": "e1", "e2": "e1"}


def test_derived_layer_sets_include_the_placed_cells_own_ports(tmp_path: Path, layout: cg.DKCell) -> None:
    """A leaf cell (the bar m places nothing) is renamed by its own electrical ports' layers,
    as the layout extraction labels it: a net drawn to e2 meets the layout's e1."""
    path = write(tmp_path, reference(nets="[{p1: 'm,e2', p2: 'x,p'}]"))
    assert list(lvs.load_ref_netlist(path, layout)["nets"]) == ["m,e1:x,p"]


@pytest.fixture(scope="module")
def named_alike_layout(layout: cg.DKCell) -> cg.DKCell:
    """Two instances named "m" (a bar first, then a splitter), a bar named by the number 7
    and, at position 3, a bar without a name."""
    top = cg.kcl.dkcell("refload_named_alike")
    bar, mmi = layout.insts["m"].cell, demo_pdk.mmi1x2()
    top.create_inst(bar, kdb.DCplxTrans(1, 0, False, 0, 0), name="m")
    top.create_inst(mmi, kdb.DCplxTrans(1, 0, False, 0, 100), name="m")
    top.create_inst(bar, kdb.DCplxTrans(1, 0, False, 0, 200)).instance.set_property(cg.conf.PROPID.NAME, 7)
    top.create_inst(bar, kdb.DCplxTrans(1, 0, False, 0, 300))
    return top


@pytest.mark.parametrize(
    "name, expected",
    [
        ("m", "m,e1:x,p"),  # the first instance of a name: the bar, whose e2 is on e1's conductor
        ("'7'", "7,e1:x,p"),  # a name property that is no text reads as its text
        ("ghost", "ghost,e2:x,p"),  # absent from the layout: keeps the file's port name
    ],
)
def test_reference_instances_found_as_the_cell_library_finds_them(
    tmp_path: Path, named_alike_layout: cg.DKCell, name: str, expected: str
) -> None:
    plain = name.strip("'")
    text = f"instances: {{{name}: {{component: bar}}, other: {{component: bar}}}}\nconnections: {{}}\nroutes: {{}}\n"
    text += f"nets: [{{p1: '{plain},e2', p2: 'x,p'}}]\nports: {{}}\n"
    result = lvs.load_ref_netlist(write(tmp_path, text), named_alike_layout, [("M2",)])
    assert list(result["nets"]) == [expected]
