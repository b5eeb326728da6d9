"""The four findings passes on real layouts, read back from saved report databases."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest
from klayout.rdbcore import ReportDatabase

import findings_support as fs
from quillon.core import lvs

kdb = fs.kdb

INSTANCE_PASSES = [lvs.find_unknown_instances, lvs.find_missing_instances]
ALL_TITLES = ["Unknown Connections", "Missing Connections", "Missing Instances", "Unknown Instances"]


@pytest.fixture(scope="module")
def row() -> Any:
    """Straights placed so that their ports meet, face apart, or face the same way.

    s1: o1 (0, 0) west,  o2 (10, 0) east      s2: o1 (10, 0) west, o2 (20, 0) east
    s3: o1 (30, 0) west, o2 (40, 0) east      s4: o1 (30, 5) west, o2 (40, 5) east
    s5 (turned 90°): o1 (50, 0) south, o2 (50, 10) north       m1: an mmi1x2
    All ports are 0.5 µm wide.
    """
    import demo_pdk

    demo_pdk.PDK.activate()
    cell = fs.new_cell("row")
    for name, x, y, angle in (("s1", 0, 0, 0), ("s2", 10, 0, 0), ("s3", 30, 0, 0), ("s4", 30, 5, 0), ("s5", 50, 0, 90)):
        fs.place(cell, "straight", name, x, y, angle)
    fs.place(cell, "mmi1x2", "m1", 0, 50)
    return cell


def run_all(rdb: ReportDatabase, cell: Any, diff: dict[str, Any], layout: dict[str, Any], ref: dict[str, Any]) -> None:
    """The four passes in the order the check runs them."""
    lvs.find_unknown_connections(rdb, cell, diff, layout)
    lvs.find_missing_connections(rdb, cell, diff, ref)
    lvs.find_missing_instances(rdb, cell, diff)
    lvs.find_unknown_instances(rdb, cell, diff)


# --- instances ---------------------------------------------------------------


def test_instance_findings_in_saved_report(row: Any, tmp_path: Path) -> None:
    ref = fs.netlist({"s1": "straight", "s2": "straight", "gone": "mmi2x2", "it's": "straight"})
    layout = fs.netlist({"s1": "straight", "s2": "straight", "m1": "mmi1x2", "s5": "straight"})
    rdb = ReportDatabase("LVS Diff - row")
    run_all(rdb, row, fs.diff(ref, layout), layout, ref)

    loaded = fs.reloaded(rdb, tmp_path)
    assert [c.name() for c in loaded.each_cell()] == [row.name]
    assert fs.findings(loaded) == {
        "Unknown Connections": [],
        "Missing Connections": [],
        "Missing Instances": [
            ["Cannot find Instance 'gone' in the layout"],
            ['Cannot find Instance "it\'s" in the layout'],
        ],
        "Unknown Instances": [
            [row.insts["m1"].dbbox(), "Instance 'm1' is not present in the reference netlist"],
            # s5 is turned: its box stands upright where the instance is
            [kdb.DBox(49.75, 0, 50.25, 10), "Instance 's5' is not present in the reference netlist"],
        ],
    }
    assert loaded.category_by_path("'Unknown Instances'").num_items() == 2
    assert fs.item_cells(loaded) == {row.name}


@pytest.mark.parametrize(
    "find, entry",
    [
        (lvs.find_unknown_instances, "dictionary_item_added"),
        (lvs.find_missing_instances, "dictionary_item_removed"),
    ],
)
@pytest.mark.parametrize(
    "paths",
    [
        pytest.param(None, id="entry absent"),
        pytest.param(["root['nets']['s1,o2:s2,o1']", "root['ports']['o1']", "root"], id="other paths"),
        pytest.param([], id="empty entry"),
    ],
)
def test_instance_pass_without_instance_paths_adds_category_and_cell_only(
    row: Any, find: Any, entry: str, paths: list[str] | None
) -> None:
    rdb = ReportDatabase("r")
    find(rdb, row, {} if paths is None else {entry: paths})
    assert rdb.num_items() == 0
    assert [c.name() for c in rdb.each_category()] == [
        "Unknown Instances" if find is lvs.find_unknown_instances else "Missing Instances"
    ]
    assert [c.name() for c in rdb.each_cell()] == [row.name]


def test_instance_passes_read_only_their_own_entry(row: Any) -> None:
    rdb = ReportDatabase("r")
    diff = {
        "dictionary_item_added": ["root['instances']['s1']"],
        "dictionary_item_removed": ["root['instances']['ghost']"],
        "values_changed": {"root['instances']['s2']['component']": {"new_value": "a", "old_value": "b"}},
    }
    lvs.find_missing_instances(rdb, row, diff)
    lvs.find_unknown_instances(rdb, row, diff)
    assert fs.findings(rdb) == {
        "Missing Instances": [["Cannot find Instance 'ghost' in the layout"]],
        "Unknown Instances": [[row.insts["s1"].dbbox(), "Instance 's1' is not present in the reference netlist"]],
    }


@pytest.mark.parametrize(
    "ref_names, layout_names",
    [
        pytest.param(["s1", "s2"], ["s1", "s2", "s3"], id="key by key"),
        pytest.param(["s1", "a", "b", "c"], ["s1", "s2", "s3", "s4"], id="reported whole"),
        pytest.param(["a", "b"], ["s1", "s2"], id="nothing shared"),
    ],
)
def test_instances_compared_whole_read_as_key_by_key(row: Any, ref_names: list[str], layout_names: list[str]) -> None:
    """However the difference reports the instances, each name on one side only is an item of its own."""
    ref = fs.netlist({name: "taper" if name == "s1" else "straight" for name in ref_names})
    layout = fs.netlist(dict.fromkeys(layout_names, "straight"))
    rdb = ReportDatabase("r")
    run_all(rdb, row, fs.diff(ref, layout), layout, ref)
    lvs.find_mismatched_instances(rdb, row, fs.diff(ref, layout))
    found = fs.findings(rdb)
    assert [values[0] for values in found["Missing Instances"]] == [
        f"Cannot find Instance {name!r} in the layout" for name in ref_names if name not in layout_names
    ]
    assert [values[1] for values in found["Unknown Instances"]] == [
        f"Instance {name!r} is not present in the reference netlist" for name in layout_names if name not in ref_names
    ]
    assert found["Mismatched Instances"] == (
        [
            [
                row.insts["s1"].dbbox(),
                "Instance 's1' is a 'straight' in the layout but a 'taper' in the reference netlist",
            ]
        ]
        if "s1" in ref_names
        else []
    )


@pytest.fixture(scope="module")
def odd_keys() -> Any:
    """Straights 20 µm apart named s1, "7" (a name that reads as a number), 12
    (a name property stored as a number), and "dup" twice."""
    import demo_pdk

    demo_pdk.PDK.activate()
    cell = fs.new_cell("odd_keys")
    for x, name in enumerate(["s1", "7", "n", "dup", "dup2"]):
        fs.place(cell, "straight", name, 20 * x, 0)
    for inst in cell.kdb_cell.each_inst():
        renamed = {"n": 12, "dup2": "dup"}.get(inst.property(fs.cg.conf.PROPID.NAME))
        if renamed is not None:
            inst.set_property(fs.cg.conf.PROPID.NAME, renamed)
    cell._base.name_index = None
    return cell


ODD_KEYS = ["7", "12", "dup", "s1"]


def test_instances_are_found_as_the_cell_library_finds_them(odd_keys: Any) -> None:
    """Names as the library reads them as text, a shared name as its first
    instance; the pass leaves no name index on the cell."""
    rdb = ReportDatabase("r")
    paths = [f"root['instances'][{key!r}]" for key in ODD_KEYS]
    lvs.find_unknown_instances(rdb, odd_keys, {"dictionary_item_added": paths})
    assert odd_keys._base.name_index is None
    boxes = [values[0] for values in fs.findings(rdb)["Unknown Instances"]]
    assert boxes == [odd_keys.insts[key].dbbox() for key in ODD_KEYS]


def test_unknown_instance_not_in_cell_fails_and_keeps_the_bare_item(row: Any) -> None:
    rdb = ReportDatabase("r")
    diff = {
        "dictionary_item_added": ["root['instances']['s1']", "root['instances']['ghost']", "root['instances']['s2']"]
    }
    with pytest.raises(KeyError):
        lvs.find_unknown_instances(rdb, row, diff)
    assert [len(values) for values in fs.findings(rdb)["Unknown Instances"]] == [2, 0]


@pytest.mark.parametrize(
    "path, text",
    [
        ("root['instances']['a\\\\b']", "Cannot find Instance 'a\\\\\\\\b' in the layout"),
        ("root['instances']['']", "Cannot find Instance '' in the layout"),
        ("root['instances'][\"it's\"]", 'Cannot find Instance "it\'s" in the layout'),
        ("root['instances']", None),
    ],
)
def test_missing_instance_name_is_cut_from_the_path_and_quoted(row: Any, path: str, text: str | None) -> None:
    rdb = ReportDatabase("r")
    lvs.find_missing_instances(rdb, row, {"dictionary_item_removed": [path]})
    assert fs.findings(rdb) == {"Missing Instances": [] if text is None else [[text]]}


# --- categories and report cell ------------------------------------------------


def test_passes_run_twice_reuse_category_and_cell(row: Any, tmp_path: Path) -> None:
    ref = fs.netlist({"s1": "straight", "gone": "straight"}, [("s1,o2", "gone,o1")])
    layout = fs.netlist({"s1": "straight", "s2": "straight"}, [("s1,o2", "s2,o1")])
    diff = fs.diff(ref, layout)
    rdb = ReportDatabase("r")
    run_all(rdb, row, diff, layout, ref)
    run_all(rdb, row, diff, layout, ref)

    loaded = fs.reloaded(rdb, tmp_path)
    assert [c.name() for c in loaded.each_category()] == ALL_TITLES
    assert [c.name() for c in loaded.each_cell()] == [row.name]
    assert {title: len(items) for title, items in fs.findings(loaded).items()} == dict.fromkeys(ALL_TITLES, 2)


def test_existing_category_and_cell_are_reused(row: Any) -> None:
    rdb = ReportDatabase("r")
    rdb.create_category("Missing Instances")
    rdb.create_cell(row.name)
    lvs.find_missing_instances(rdb, row, {"dictionary_item_removed": ["root['instances']['x']"]})
    assert [(c.name(), c.num_items()) for c in rdb.each_category()] == [("Missing Instances", 1)]
    assert rdb.num_items() == 1 and len(list(rdb.each_cell())) == 1


def test_category_titles_are_read_from_lvs_categories(row: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(lvs.lvs_categories, "missing_instances", "Lost: it's 'gone'.")
    rdb = ReportDatabase("r")
    for _ in range(2):
        lvs.find_missing_instances(rdb, row, {"dictionary_item_removed": ["root['instances']['x']"]})
    assert [(c.name(), c.num_items()) for c in rdb.each_category()] == [("Lost: it's 'gone'.", 2)]


# --- connections ---------------------------------------------------------------


@pytest.mark.parametrize(
    "find, entry, side, word",
    [
        (lvs.find_unknown_connections, "dictionary_item_added", "new_value", "Unknown"),
        (lvs.find_missing_connections, "dictionary_item_removed", "old_value", "Missing"),
    ],
)
def test_connection_pass_records_listed_nets_with_markers(
    row: Any, tmp_path: Path, find: Any, entry: str, side: str, word: str
) -> None:
    nets = fs.netlist({}, [("s1,o2", "s2,o1"), ("s2,o2", "s3,o1")])["nets"]
    diff = {
        entry: ["root['instances']['s1']", "root['nets']['s2,o2:s3,o1']", "root['ports']['o1']"],
        "values_changed": {"root['nets']": {"old_value" if side == "new_value" else "new_value": nets}},
    }
    rdb = ReportDatabase("r")
    find(rdb, row, diff, {"nets": nets})
    loaded = fs.reloaded(rdb, tmp_path)
    marker = fs.findings(loaded)[f"{word} Connections"][0][1]
    assert fs.findings(loaded) == {f"{word} Connections": [[f"{word} Connection from 's2,o2' to 's3,o1'", marker]]}
    assert fs.outline(marker) == fs.outline([(20, 0.25), (20, -0.25), (30, 0.25), (30, -0.25)])
    assert fs.item_cells(loaded) == {row.name}


# Endpoints of one port each: s1,o2 at (10, 0) facing east gives the edge (10, 0.25) -> (10, -0.25).
@pytest.mark.parametrize(
    "p1, p2, points",
    [
        pytest.param("s1,o2", "s2,o1", [(10, 0.25), (10, -0.25), (10, 0.25), (10, -0.25)], id="facing ports collapse"),
        pytest.param("s1,o2", "s3,o1", [(10, 0.25), (10, -0.25), (30, 0.25), (30, -0.25)], id="apart sides cross"),
        pytest.param("s1,o2", "s4,o2", [(10, 0.25), (10, -0.25), (40, 4.75), (40, 5.25)], id="same way parallelogram"),
        pytest.param("s1,o2", "s5,o2", [(10, 0.25), (10, -0.25), (50.25, 10), (49.75, 10)], id="turned port"),
        pytest.param("s3,o1", "s1,o2", [(30, -0.25), (30, 0.25), (10, -0.25), (10, 0.25)], id="p1 frame first"),
    ],
)
def test_marker_point_order(row: Any, tmp_path: Path, p1: str, p2: str, points: list[tuple[float, float]]) -> None:
    rdb = ReportDatabase("r")
    net = {"p1": p1, "p2": p2}
    lvs.find_unknown_connections(rdb, row, {"dictionary_item_added": ["root['nets']['k']"]}, {"nets": {"k": net}})
    [[_, marker]] = fs.findings(fs.reloaded(rdb, tmp_path))["Unknown Connections"]
    assert marker.num_points() == 4
    assert fs.outline(marker) == fs.outline(points)


def test_crossing_marker_differs_from_its_outline(row: Any) -> None:
    rdb = ReportDatabase("r")
    net = {"p1": "s1,o2", "p2": "s3,o1"}
    lvs.find_unknown_connections(rdb, row, {"dictionary_item_added": ["root['nets']['k']"]}, {"nets": {"k": net}})
    [[_, marker]] = fs.findings(rdb)["Unknown Connections"]
    assert fs.outline(marker) != fs.outline([(10, 0.25), (10, -0.25), (30, -0.25), (30, 0.25)])


@pytest.mark.parametrize(
    "p1, p2, description, text",
    [
        (
            "nocomma",
            "s1,o1",
            "'nocomma' to 's1,o1'",
            "The layout has 's1,o1' but 'nocomma' names no port of an instance",
        ),
        ("s1,o1", "a,b,c", "'s1,o1' to 'a,b,c'", "The layout has 's1,o1' but no instance 'a,b'"),
        (
            "ERROR_NO_CONNECTION",
            "ghost,o1",
            "'ERROR_NO_CONNECTION' to 'ghost,o1'",
            "ERROR: Could not find instances and ports for ERROR_NO_CONNECTION and ghost,o1",
        ),
        ("ghost,o1", "s1,o1", "'ghost,o1' to 's1,o1'", "The layout has 's1,o1' but no instance 'ghost'"),
        ("s1,o9", "s1,o1", "'s1,o9' to 's1,o1'", "The layout has 's1,o1' but instance 's1' has no port 'o9'"),
        ("s1,o1", "s2,o9", "'s1,o1' to 's2,o9'", "The layout has 's1,o1' but instance 's2' has no port 'o9'"),
        (7, "s1,o1", "7 to 's1,o1'", "The layout has 's1,o1' but 7 names no port of an instance"),
        ("it's,o1", "s1,o1", "\"it's,o1\" to 's1,o1'", "The layout has 's1,o1' but no instance \"it's\""),
        (
            "ghost,o1",
            "it's,o1",
            "'ghost,o1' to \"it's,o1\"",
            "ERROR: Could not find instances and ports for ghost,o1 and it's,o1",
        ),
    ],
)
def test_unresolved_ports_say_what_the_layout_lacks_and_the_pass_goes_on(
    row: Any, p1: Any, p2: str, description: str, text: str
) -> None:
    """The side the layout has is marked; with neither side, the error text."""
    nets = {"bad": {"p1": p1, "p2": p2}, "good": {"p1": "s1,o2", "p2": "s2,o1"}}
    diff = {"dictionary_item_removed": ["root['nets']['bad']", "root['nets']['good']"]}
    rdb = ReportDatabase("r")
    lvs.find_missing_connections(rdb, row, diff, {"nets": nets})
    bad, good = fs.findings(rdb)["Missing Connections"]
    assert [value for value in bad if isinstance(value, str)] == [f"Missing Connection from {description}", text]
    assert [str(value) for value in bad if not isinstance(value, str)] == (
        [] if text.startswith("ERROR") else [str(row.insts["s1"]["o1"].dcplx_trans * kdb.DEdge(0, 0.25, 0, -0.25))]
    )
    assert good[0] == "Missing Connection from 's1,o2' to 's2,o1'"
    assert isinstance(good[1], kdb.DPolygon)


def test_open_port_is_marked_across_its_opening(row: Any, tmp_path: Path) -> None:
    nets = {"k": {"p1": "ERROR_NO_CONNECTION", "p2": "s5,o2"}}
    rdb = ReportDatabase("r")
    lvs.find_unknown_connections(rdb, row, {"dictionary_item_added": ["root['nets']['k']"]}, {"nets": nets})
    [[description, edge, text]] = fs.findings(fs.reloaded(rdb, tmp_path))["Unknown Connections"]
    assert description == "Unknown Connection from 'ERROR_NO_CONNECTION' to 's5,o2'"
    assert edge == kdb.DEdge(49.75, 10, 50.25, 10)
    assert text == "Port 's5,o2' is open: nothing connects to it"


def test_missing_connection_ports_are_looked_up_in_the_layout(row: Any) -> None:
    ref = fs.netlist({"s1": "straight", "r1": "straight"}, [("s1,o2", "r1,o1")])
    layout = fs.netlist({"s1": "straight", "r1": "straight"})
    rdb = ReportDatabase("r")
    lvs.find_missing_connections(rdb, row, fs.diff(ref, layout), ref)
    [[description, marker, text]] = fs.findings(rdb)["Missing Connections"]
    assert (description, text) == (
        "Missing Connection from 'r1,o1' to 's1,o2'",
        "The layout has 's1,o2' but no instance 'r1'",
    )
    assert marker == row.insts["s1"]["o2"].dcplx_trans * kdb.DEdge(0, 0.25, 0, -0.25)


@pytest.mark.parametrize(
    "find, netlist_side",
    [(lvs.find_unknown_connections, "layout"), (lvs.find_missing_connections, "ref")],
)
def test_whole_nets_change_records_the_nets_the_other_side_lacks(row: Any, find: Any, netlist_side: str) -> None:
    shared = ("s1,o2", "s2,o1")
    ref = fs.netlist({}, [shared, ("s2,o2", "s3,o1"), ("s3,o2", "s4,o1")])
    layout = fs.netlist({}, [shared, ("s4,o2", "s5,o1"), ("s1,o1", "s5,o2"), ("s2,o1", "s4,o1")])
    diff = fs.diff(ref, layout)
    assert list(diff) == ["values_changed"]  # one shared net of six: the nets are reported whole
    side, other = (layout, ref) if netlist_side == "layout" else (ref, layout)
    rdb = ReportDatabase("r")
    find(rdb, row, diff, side)
    [items] = fs.findings(rdb).values()
    expected = [
        f"Connection from {net['p1']!r} to {net['p2']!r}"
        for key, net in side["nets"].items()
        if key not in other["nets"]
    ]
    assert len(expected) == len(side["nets"]) - 1
    assert [values[0].split(" ", 1)[1] for values in items] == expected
    assert all(isinstance(values[1], kdb.DPolygon) for values in items)


def test_phase_a_runs_before_the_whole_nets_phase(row: Any) -> None:
    nets = {"a": {"p1": "s1,o2", "p2": "s2,o1"}, "b": {"p1": "s2,o2", "p2": "s3,o1"}}
    diff = {
        "dictionary_item_added": ["root['nets']['b']"],
        "values_changed": {"root['nets']": {"new_value": {"a": {}, "b": {}}}},
    }
    rdb = ReportDatabase("r")
    lvs.find_unknown_connections(rdb, row, diff, {"nets": nets})
    texts = [values[0] for values in fs.findings(rdb)["Unknown Connections"]]
    assert texts == [
        "Unknown Connection from 's2,o2' to 's3,o1'",
        "Unknown Connection from 's1,o2' to 's2,o1'",
        "Unknown Connection from 's2,o2' to 's3,o1'",
    ]


@pytest.mark.parametrize("find", [lvs.find_unknown_connections, lvs.find_missing_connections])
@pytest.mark.parametrize(
    "diff",
    [
        pytest.param({}, id="empty diff"),
        pytest.param(
            {"values_changed": {"root['ports']['o1']": {"new_value": "a", "old_value": "b"}}}, id="ports only"
        ),
        pytest.param({"values_changed": {"root['nets']": {}}}, id="no side"),
    ],
)
def test_connection_pass_without_nets_adds_category_and_cell_only(row: Any, find: Any, diff: dict[str, Any]) -> None:
    rdb = ReportDatabase("r")
    find(rdb, row, diff, {"nets": {}})
    assert rdb.num_items() == 0
    assert len(list(rdb.each_category())) == 1
    assert [c.name() for c in rdb.each_cell()] == [row.name]


@pytest.mark.parametrize(
    "diff, nets, error",
    [
        pytest.param({"dictionary_item_added": ["root['nets']['nope']"]}, {}, KeyError, id="net not in netlist"),
        pytest.param({"dictionary_item_added": ["root['nets']['k']"]}, {"k": {"p1": "s1,o1"}}, KeyError, id="no p2"),
        pytest.param(
            {"values_changed": {"root['nets']": {"new_value": {"gone": {}}}}}, {}, KeyError, id="whole net missing"
        ),
    ],
)
def test_unguarded_steps_propagate(row: Any, diff: dict[str, Any], nets: dict[str, Any], error: type) -> None:
    rdb = ReportDatabase("r")
    with pytest.raises(error):
        lvs.find_unknown_connections(rdb, row, diff, {"nets": nets})


class Interrupting(str):
    """An endpoint whose splitting is interrupted, as by Ctrl-C."""

    def rsplit(self, *args: Any, **kwargs: Any) -> list[str]:
        raise KeyboardInterrupt


def test_port_lookup_guard_lets_interrupts_through(row: Any) -> None:
    rdb = ReportDatabase("r")
    net = {"p1": Interrupting("s1,o1"), "p2": "s2,o1"}
    with pytest.raises(KeyboardInterrupt):
        lvs.find_missing_connections(rdb, row, {"dictionary_item_removed": ["root['nets']['k']"]}, {"nets": {"k": net}})
    assert fs.findings(rdb)["Missing Connections"] == [["Missing Connection from 's1,o1' to 's2,o1'"]]


# --- external ports --------------------------------------------------------------


@pytest.mark.parametrize(
    "ref_ports, layout_ports",
    [
        pytest.param(
            {"a": "s1,o1", "b": "s2,o2", "c": "s3,o1"}, {"a": "s1,o1", "b": "s4,o2", "d": "s5,o1"}, id="key by key"
        ),
        pytest.param(
            {"b": "s2,o2", "c": "s3,o1", "x": "", "y": ""}, {"b": "s4,o2", "d": "s5,o1", "z": ""}, id="reported whole"
        ),
    ],
)
def test_port_differences_read_key_by_key(row: Any, ref_ports: dict[str, str], layout_ports: dict[str, str]) -> None:
    ref, layout = fs.netlist({}), fs.netlist({})
    ref["ports"], layout["ports"] = ref_ports, layout_ports
    rdb = ReportDatabase("r")
    lvs.find_mismatched_ports(rdb, row, fs.diff(ref, layout), ref, layout)
    texts = [values[-1] for values in fs.findings(rdb)["Mismatched Ports"]]
    assert [t for t in texts if "'b'" in t or "'c'" in t or "'d'" in t] == [
        "Port 'c' (at 's3,o1' in the reference netlist) is not a port of the layout",
        "Port 'd' (at 's5,o1' in the layout) is not present in the reference netlist",
        "Port 'b' is at 's4,o2' in the layout but at 's2,o2' in the reference netlist",
    ]


def test_ports_that_are_no_mapping_differ_in_one_item(row: Any) -> None:
    ref, layout = fs.netlist({}), fs.netlist({})
    ref["ports"], layout["ports"] = ["s1,o1"], {"a": "s1,o1"}
    rdb = ReportDatabase("r")
    lvs.find_mismatched_ports(rdb, row, fs.diff(ref, layout), ref, layout)
    assert fs.findings(rdb)["Mismatched Ports"] == [
        ["The reference netlist gives the ports as ['s1,o1'], the layout as {'a': 's1,o1'}"]
    ]
