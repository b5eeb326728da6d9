"""The editor in a real browser (headless Chromium) on a real ``quillon serve``."""

from __future__ import annotations

import importlib.util
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import yaml
from editor_browser import Editor, browser_available, open_browser, write_demo_project
from test_serve_real_server import Server

from quillon.checking import check_reference
from quillon.yaml_bounded import safe_load

pytestmark = pytest.mark.skipif(
    not browser_available(),
    reason="chromium and chromedriver are not installed (Debian: apt-get install chromium chromium-driver)",
)

#: The screenshot of the editor with the demo circuit open, kept after the run.
ARTIFACTS = Path(__file__).resolve().parents[1] / "build" / "test-artifacts"


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_demo_project(tmp_path_factory.mktemp("editor") / "project")


@pytest.fixture(scope="module")
def server(project: Path) -> Iterator[Server]:
    served = Server(project, project.parent / "server.log")
    yield served
    served.stop()


@pytest.fixture(scope="module")
def editor(server: Server) -> Iterator[Editor]:
    driver = open_browser()
    try:
        yield Editor(driver, server.url)
    finally:
        driver.quit()


def actions(editor: Editor) -> Any:
    from selenium.webdriver.common.action_chains import ActionChains

    return ActionChains(editor.driver)


def place(editor: Editor, component: str, dx: int, dy: int) -> None:
    """Drag a component from the palette to (dx, dy) from the canvas's centre."""
    item = editor.find(f'#palette li[data-component="{component}"]')
    canvas = editor.find("#canvas")
    actions(editor).click_and_hold(item).move_to_element_with_offset(
        canvas, dx // 2, dy // 2
    ).move_to_element_with_offset(canvas, dx, dy).release().perform()


def connect(editor: Editor, a: str, b: str) -> None:
    start = editor.find(f'#canvas [data-endpoint="{a}"]')
    end = editor.find(f'#canvas [data-endpoint="{b}"]')
    actions(editor).click_and_hold(start).move_to_element(end).release().perform()


def keys(editor: Editor, *chord: str) -> None:
    """Press a key chord with the focus on the drawing (where the shortcuts act)."""
    from selenium.webdriver.common.keys import Keys

    editor.js("document.querySelector('#canvas').focus()")
    chain = actions(editor)
    modifiers = [getattr(Keys, k) for k in chord[:-1]]
    for key in modifiers:
        chain = chain.key_down(key)
    chain = chain.send_keys(chord[-1])
    for key in reversed(modifiers):
        chain = chain.key_up(key)
    chain.perform()


def setting_input(editor: Editor, key: str) -> Any:
    return editor.find(f'#inspector .setting[data-setting="{key}"] input')


def type_into(field: Any, text: str) -> None:
    from selenium.webdriver.common.keys import Keys

    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(Keys.DELETE)
    field.send_keys(text)


def select(editor: Editor, name: str) -> None:
    editor.find(f'#canvas .inst[data-name="{name}"] .body').click()
    editor.wait(lambda d: editor.js("return document.querySelector('#inspector input[name=name]')?.value") == name)


def create_circuit(editor: Editor, name: str) -> None:
    editor.open()
    field = editor.find("input[name=new-circuit]")
    editor.wait(lambda d: "No circuits" in editor.status() or "Opened" in editor.status())
    field.send_keys(name + "\n")
    editor.wait_status(f"Saved demo/{name}.")


def test_the_demo_circuit_is_drawn_with_ports_on_their_sides(editor: Editor) -> None:
    editor.open("demo/splitter")
    drawn = editor.instances()
    assert set(drawn) == {"gc_in", "splitter", "heater", "gc_top", "arm_b", "gc_bot", "pad"}
    assert sorted(editor.links()) == ["link electrical"] + ["link optical"] * 5
    port = editor.find('#canvas [data-endpoint="pad,e4"]')
    assert port.get_attribute("class") == "port electrical"
    # the splitter's outputs sit on its east side, its input on the west
    xs = {
        p: float(editor.find(f'#canvas [data-endpoint="splitter,{p}"]').get_attribute("cx")) for p in ("o1", "o2", "o3")
    }
    assert xs["o1"] < 0 < xs["o2"] == xs["o3"]
    assert "pad: unconnected e1, e3" in editor.find("#checks ul").text
    assert editor.find('#canvas .external[data-port="bias"]').text == "bias"
    select(editor, "heater")
    assert setting_input(editor, "length").get_attribute("value") == "120"
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    editor.driver.save_screenshot(str(ARTIFACTS / "editor-demo.png"))


def test_draw_edit_undo_save_and_reopen(editor: Editor, project: Path) -> None:
    create_circuit(editor, "fresh")
    place(editor, "mmi1x2", -200, 0)
    place(editor, "mmi1x2", 150, 60)
    editor.wait(lambda d: set(editor.instances()) == {"mmi1x2_1", "mmi1x2_2"})
    assert editor.dirty()

    # a taken name is refused on the spot
    name = editor.find("#inspector input[name=name]")
    type_into(name, "mmi1x2_1")
    assert "already taken" in editor.find("#inspector .field .error").text

    connect(editor, "mmi1x2_1,o2", "mmi1x2_2,o1")
    editor.wait(lambda d: editor.links() == ["link optical"])
    connect(editor, "mmi1x2_1,o2", "mmi1x2_2,o3")
    assert "one connection per optical port" in editor.wait_status("Not connected")
    assert editor.links() == ["link optical"]

    select(editor, "mmi1x2_1")
    length = setting_input(editor, "length_mmi")
    assert length.get_attribute("value") == "5.5"
    type_into(length, "abc")
    assert "expected a number" in editor.find('#inspector .setting[data-setting="length_mmi"] .error').text
    type_into(length, "7.5\t")
    editor.wait(
        lambda d: "changed" in editor.find('#inspector .setting[data-setting="length_mmi"]').get_attribute("class")
    )

    keys(editor, "CONTROL", "z")
    editor.wait(lambda d: setting_input(editor, "length_mmi").get_attribute("value") == "5.5")
    keys(editor, "CONTROL", "SHIFT", "z")
    editor.wait(lambda d: setting_input(editor, "length_mmi").get_attribute("value") == "7.5")
    keys(editor, "r")  # rotate the selected instance
    editor.wait(
        lambda d: (
            "rotate(-90)"
            in editor.js(
                "return document.querySelector('#canvas .inst[data-name=mmi1x2_1] g').getAttribute('transform')"
            )
        )
    )

    placed = editor.instances()["mmi1x2_2"]
    body = editor.find('#canvas .inst[data-name="mmi1x2_2"] .body')
    actions(editor).click_and_hold(body).move_by_offset(30, 20).move_by_offset(30, 20).release().perform()
    editor.wait(lambda d: editor.instances()["mmi1x2_2"] != placed)
    keys(editor, "CONTROL", "z")  # the whole drag is one step
    editor.wait(lambda d: editor.instances()["mmi1x2_2"] == placed)

    editor.find('#canvas [data-endpoint="mmi1x2_1,o1"]').click()  # a port of the circuit
    editor.find('#inspector input[name="external name"]').send_keys("in\t")
    editor.wait(lambda d: editor.find('#canvas .external[data-port="in"]'))

    keys(editor, "CONTROL", "s")
    editor.wait(lambda d: not editor.dirty(), "the save did not clear the unsaved marker")
    netlist_file = project / "demo" / "fresh.pic.yml"
    netlist = safe_load(netlist_file.read_text(), str(netlist_file))
    assert netlist["instances"] == {
        "mmi1x2_1": {"component": "mmi1x2", "settings": {"length_mmi": 7.5}},
        "mmi1x2_2": {"component": "mmi1x2"},
    }
    assert netlist["connections"] == {"mmi1x2_1,o2": "mmi1x2_2,o1"}
    assert list(netlist["placements"]) == ["mmi1x2_1"]  # mmi1x2_2 is joined to it in the layout
    assert netlist["placements"]["mmi1x2_1"]["rotation"] == 90
    assert (netlist["routes"], netlist["nets"], netlist["ports"]) == ({}, [], {"in": "mmi1x2_1,o1"})
    check_reference(netlist_file)  # what the check asks of a reference netlist
    schematic_file = project / "demo" / "fresh.scm.yml"
    assert set(safe_load(schematic_file.read_text(), str(schematic_file))["instances"]) == {"mmi1x2_1", "mmi1x2_2"}

    before = editor.drawing()
    editor.driver.refresh()
    editor.wait(lambda d: "Opened demo/fresh" in editor.status())
    assert editor.drawing() == before


def test_a_failed_save_is_shown_and_keeps_the_edits(editor: Editor, project: Path) -> None:
    create_circuit(editor, "kept")
    schematic_file = project / "demo" / "kept.scm.yml"
    schematic_file.unlink()
    schematic_file.mkdir()  # the service cannot write the drawing now
    try:
        place(editor, "grating_coupler", 0, 0)
        editor.wait(lambda d: list(editor.instances()) == ["grating_coupler_1"])
        editor.find("button[name=save]").click()
        assert "Your edits are kept" in editor.wait_status("Save failed")
        assert editor.dirty() and list(editor.instances()) == ["grating_coupler_1"]
    finally:
        schematic_file.rmdir()
    editor.find("button[name=save]").click()
    editor.wait(lambda d: not editor.dirty(), "the save did not clear the unsaved marker")
    assert "grating_coupler_1" in (project / "demo" / "kept.pic.yml").read_text()


BUILDER = (
    importlib.util.find_spec("quillon.build") is not None
    and importlib.util.find_spec("quillon.build.circuit_layout") is not None
)


@pytest.mark.skipif(not BUILDER, reason="this installation cannot build layouts (quillon.build.circuit_layout)")
def test_build_and_check_shows_the_findings_of_a_broken_circuit_only(editor: Editor, project: Path) -> None:
    editor.open("demo/splitter")
    editor.find("button[name=check]").click()
    assert "no findings" in editor.wait_status("findings")
    assert editor.find("#checks .status").text == "Check of the built layout: no findings"

    # three straights in a ring: the last connection cannot close in the layout
    ring = project / "demo" / "ring.pic.yml"
    shutil.copy(project / "demo" / "splitter.scm.yml", project / "demo" / "ring.scm.yml")
    ring.write_text(
        "instances: {a: {component: straight}, b: {component: straight}, c: {component: straight}}\n"
        "placements: {a: {x: 0, y: 0}, b: {x: 200, y: 0}, c: {x: 400, y: 0}}\n"
        "connections: {'a,o2': 'b,o1', 'b,o2': 'c,o1', 'c,o2': 'a,o1'}\n"
        "routes: {}\nnets: []\nports: {}\n"
    )
    editor.open("demo/ring")
    editor.find("button[name=check]").click()
    editor.wait(lambda d: "finding" in editor.status() and "No findings" not in editor.status())
    assert editor.find("#checks li.finding")
    assert editor.js("return document.querySelectorAll('#canvas .inst.flagged').length") > 0


# ---------------------------------------------------------------- what is drawn is what is built

#: JavaScript: per port of an instance, its side of the drawn body and its place along it.
DRAWN_SIDES = """
const [name] = arguments;
const g = document.querySelector(`#canvas .inst[data-name="${CSS.escape(name)}"]`);
const body = g.querySelector('.body').getBoundingClientRect();
const sides = {w: [], e: [], n: [], s: []};
for (const c of g.querySelectorAll('.port')) {
  const r = c.getBoundingClientRect();
  const [x, y] = [r.left + r.width / 2, r.top + r.height / 2];
  const side = x < body.left ? 'w' : x > body.right ? 'e' : y < body.top ? 'n' : 's';
  sides[side].push([side === 'w' || side === 'e' ? y : x, c.dataset.endpoint.split(',').pop()]);
}
return Object.fromEntries(Object.entries(sides).map(([k, v]) => [k, v.sort((a, b) => a[0] - b[0]).map((p) => p[1])]));
"""


def built_sides(project: Path, circuit: str) -> dict[str, dict[str, list[str]]]:
    """Per named instance of the circuit's built layout, its ports by the side they face,
    in the order the drawing shows them (west and east from the top, north and south from the left)."""
    import cellgrid as cg
    from quillon.build.circuit_layout import build_circuit_gds, read_netlist
    from quillon.core.shared import activate_pdk_by_name

    netlist_file = project / "demo" / f"{circuit}.pic.yml"
    gds = project / "build" / f"{circuit}.gds"
    build_circuit_gds(netlist_file, gds, project)
    kit = activate_pdk_by_name("demo_pdk")
    instances = read_netlist(netlist_file)["instances"]
    (top,) = cg.KCLayout(f"sides-{circuit}").read(gds)
    found = {}
    for inst in (i for i in top.insts if i.name in instances):
        entry = instances[inst.name]
        sides: dict[str, list[tuple[float, str]]] = {"w": [], "e": [], "n": [], "s": []}
        for port in kit.get_component(entry["component"], **entry.get("settings", {})).ports:
            placed = port.transformed(inst.dcplx_trans)
            side = "enws"[round(placed.orientation / 90) % 4]
            sides[side].append((-placed.y if side in "we" else placed.x, port.name))
        found[inst.name] = {side: [name for _, name in sorted(ports)] for side, ports in sides.items()}
    return found


def test_the_eight_orientations_are_drawn_as_the_layout_builds_them(editor: Editor, project: Path) -> None:
    """R and M on unturned symbols give the 4 rotations, mirrored and not; saved and built,
    every port faces the side it is drawn on, in the drawn order."""
    names = [f"{c}_{k}" for c in ("mmi", "heater") for k in range(8)]
    netlist = {
        "instances": {n: {"component": "mmi2x2" if n.startswith("mmi") else "straight_heater_metal"} for n in names},
        "placements": {},
        "connections": {},
        "routes": {},
        "nets": [],
        "ports": {},
    }
    drawing = {"version": 2, "instances": {n: {"x": (k % 4) * 260, "y": -(k // 4) * 220} for k, n in enumerate(names)}}
    (project / "demo" / "turns.pic.yml").write_text(yaml.safe_dump(netlist, sort_keys=False))
    (project / "demo" / "turns.scm.yml").write_text(yaml.safe_dump(drawing, sort_keys=False))
    editor.open("demo/turns")
    for name in names:
        k = int(name.rsplit("_", 1)[1])
        select(editor, name)
        for key in "r" * (k % 4) + "m" * (k >= 4):
            keys(editor, key)
    keys(editor, "CONTROL", "s")
    editor.wait(lambda d: not editor.dirty(), "the save did not clear the unsaved marker")
    saved = safe_load((project / "demo" / "turns.pic.yml").read_text(), "turns")["placements"]
    assert {(p.get("rotation", 0), p.get("mirror", False)) for n, p in saved.items() if n.startswith("mmi")} == {
        (r, m) for r in (0, 90, 180, 270) for m in (False, True)
    }
    built = built_sides(project, "turns")
    assert {name: editor.js(DRAWN_SIDES, name) for name in names} == built
    assert built["mmi_4"]["w"] == ["o4", "o3"]  # M flips left to right: the outputs face west, the lower one on top


def test_an_old_drawing_keeps_its_mirrored_symbols_facing_as_drawn(editor: Editor, project: Path) -> None:
    """A drawing saved before mirroring followed the layout flipped mirrored symbols left
    to right; it is read as drawn, and saving it builds what it shows."""
    netlist = {
        "instances": {"gc": {"component": "grating_coupler"}, "mmi": {"component": "mmi2x2"}},
        "placements": {
            "gc": {"x": 0, "y": 0, "mirror": True},
            "mmi": {"x": 300, "y": 0, "rotation": 90, "mirror": True},
        },
        "connections": {},
        "routes": {},
        "nets": [],
        "ports": {},
    }
    (project / "demo" / "legacy.pic.yml").write_text(yaml.safe_dump(netlist, sort_keys=False))
    (project / "demo" / "legacy.scm.yml").write_text(
        yaml.safe_dump({"instances": netlist["placements"]}, sort_keys=False)
    )
    editor.open("demo/legacy")
    drawn = {name: editor.js(DRAWN_SIDES, name) for name in ("gc", "mmi")}
    assert drawn["gc"]["e"] == ["o1"]  # as it was drawn: the grating's port (west, unturned) flipped east
    editor.find("button[name=save]").click()
    editor.wait_status("Saved demo/legacy.")
    schematic = safe_load((project / "demo" / "legacy.scm.yml").read_text(), "legacy")
    assert schematic == {
        "version": 2,
        "instances": {
            "gc": {"x": 0, "y": 0, "rotation": 180, "mirror": True},
            "mmi": {"x": 300, "y": 0, "rotation": 270, "mirror": True},
        },
    }
    assert built_sides(project, "legacy") == drawn


#: JavaScript: the boxes [left, top, right, bottom] of every drawn body, symbols' or the overview's.
BODIES = """
const svg = document.querySelector('#canvas');
const boxes = [...svg.querySelectorAll('.inst .body')].map((b) => { const r = b.getBoundingClientRect(); return [r.left, r.top, r.right, r.bottom]; });
for (const path of svg.querySelectorAll('.overview-body')) {
  for (const part of (path.getAttribute('d') || '').split('M').filter(Boolean)) boxes.push(part.match(/-?[0-9.e+-]+/g).map(Number).slice(0, 3).concat([part.match(/-?[0-9.e+-]+/g).map(Number)[3]]));
}
return boxes;
"""


@pytest.mark.parametrize("circuit", ["demo_mzi", "random"])
def test_a_netlist_without_a_drawing_is_drawn_from_its_layout(editor: Editor, project: Path, circuit: str) -> None:
    """Each instance where its layout puts it (order kept, orientation as built), scaled so
    that no two symbols overlap; opening writes nothing, saving keeps the layout."""
    from quillon import demo
    from quillon.build.circuit_layout import circuit_placements, read_netlist
    from quillon.core.shared import activate_pdk_by_name
    from quillon.demo.random_circuit import random_netlist

    source = project / "demo" / f"{circuit}.pic.yml"
    if circuit == "random":
        source.write_text(yaml.safe_dump(random_netlist(3, chains=4, length=8), sort_keys=False))
    else:
        shutil.copy(demo.MZI, source)
    editor.open(f"demo/{circuit}")
    assert not source.with_name(f"{circuit}.scm.yml").exists()
    boxes = editor.js(BODIES)
    netlist = read_netlist(source)
    assert len(boxes) == len(netlist["instances"])
    overlapping = [
        (a, b)
        for i, a in enumerate(boxes)
        for b in boxes[i + 1 :]
        if a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]
    ]
    assert overlapping == []

    editor.find("button[name=save]").click()
    editor.wait_status(f"Saved demo/{circuit}.")
    drawn = safe_load(source.with_name(f"{circuit}.scm.yml").read_text(), circuit)["instances"]
    layout = circuit_placements(netlist, activate_pdk_by_name("demo_pdk"))
    assert {n: (d.get("rotation", 0), d.get("mirror", False)) for n, d in drawn.items()} == {
        n: (round(p["rotation"]) % 360, p["mirror"]) for n, p in layout.items()
    }
    centre = {n: ((p["box"][0] + p["box"][2]) / 2, (p["box"][1] + p["box"][3]) / 2) for n, p in layout.items()}
    for axis in (0, 1):
        turned = [
            (a, b)
            for a in drawn
            for b in drawn
            if centre[a][axis] + 1 < centre[b][axis] and drawn[a]["xy"[axis]] > drawn[b]["xy"[axis]]
        ]
        assert turned == [], f"{'xy'[axis]} order differs from the layout's"
    # the drawing is spread out, the layout is not: saved, every instance is where it was built before
    kept = circuit_placements(read_netlist(source), activate_pdk_by_name("demo_pdk"))
    where = {n: (round(p["x"], 3), round(p["y"], 3), p["rotation"], p["mirror"]) for n, p in layout.items()}
    assert {n: (round(p["x"], 3), round(p["y"], 3), p["rotation"], p["mirror"]) for n, p in kept.items()} == where


#: JavaScript: the client point of a link's path at `at` of its length, moved `off` pixels across it.
LINK_POINT = """
const [selector, at, off] = arguments;
const path = [...document.querySelectorAll(selector)].find((p) => p.getTotalLength() > 0);
const length = path.getTotalLength();
const m = path.getScreenCTM();
const [p, q] = [at * length, at * length + 1].map((l) => path.getPointAtLength(l).matrixTransform(m));
const n = Math.hypot(q.x - p.x, q.y - p.y);
return [p.x - (q.y - p.y) / n * off, p.y + (q.x - p.x) / n * off];
"""


def test_a_link_is_taken_within_a_few_pixels_at_any_zoom_and_above_a_body(editor: Editor, project: Path) -> None:
    from selenium.webdriver.common.action_chains import ActionChains

    netlist = {
        "instances": {
            "gc_a": {"component": "grating_coupler"},
            "mid": {"component": "straight"},
            "gc_b": {"component": "grating_coupler"},
        },
        "placements": {"gc_a": {"x": -300, "y": 0}, "mid": {"x": 0, "y": 0}},
        "connections": {"gc_a,o1": "gc_b,o1"},
        "routes": {},
        "nets": [],
        "ports": {},
    }
    drawing = {
        "version": 2,
        "instances": {
            "gc_a": {"x": -300, "y": 0},
            "mid": {"x": 0, "y": 0},
            "gc_b": {"x": 300, "y": 0, "rotation": 180},
        },
    }
    (project / "demo" / "crossing.pic.yml").write_text(yaml.safe_dump(netlist, sort_keys=False))
    (project / "demo" / "crossing.scm.yml").write_text(yaml.safe_dump(drawing, sort_keys=False))
    editor.open("demo/crossing")

    def click(x: float, y: float) -> str:
        """Click the client point (x, y) with the mouse; the inspector's title afterwards."""
        canvas = editor.find("#canvas")
        box = canvas.rect
        ActionChains(editor.driver).move_to_element_with_offset(
            canvas, round(x - box["x"] - box["width"] / 2), round(y - box["y"] - box["height"] / 2)
        ).click().perform()
        return str(editor.js("return document.querySelector('#inspector h3')?.textContent || ''"))

    # over the straight's body, the link is on top
    x, y = editor.js(LINK_POINT, "#canvas .link", 0.5, 0)
    assert editor.js(
        "return document.elementFromPoint(arguments[0], arguments[1]).closest('[data-link]') !== null", x, y
    )
    assert click(x, y) == "1 link"
    levels = {"near": set(), "far": {"far"}, "dots": {"far", "dots"}}
    for level, expected in levels.items():
        for _ in range(60):  # zoom out at the canvas's centre until the level shows
            classes = set(
                str(editor.js("return document.querySelector('#canvas').getAttribute('class') || ''")).split()
            )
            if classes & {"far", "dots"} == expected:
                break
            editor.js("""const svg = document.querySelector('#canvas'); const b = svg.getBoundingClientRect();
              svg.dispatchEvent(new WheelEvent('wheel', {bubbles: true, cancelable: true,
                clientX: b.left + b.width / 2, clientY: b.top + b.height / 2, deltaY: 100}));""")
        assert classes & {"far", "dots"} == expected
        path = "#canvas .overview-optical, #canvas .overview-link" if level == "dots" else "#canvas .link"
        for off in (-4, 4):
            x, y = editor.js(LINK_POINT, path, 0.25, off)
            assert click(x, y) == "1 link", f"{level}: {off} px beside the link"
        x, y = editor.js(LINK_POINT, path, 0.25, 12)
        assert click(x, y) != "1 link", f"{level}: 12 px beside the link"
