"""The editor in a real browser (headless Chromium) on a real ``quillon serve``."""

from __future__ import annotations

import importlib.util
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from editor_browser import Editor, browser_available, open_browser, write_demo_project
from test_serve_real_server import Server

from quillon.cli import lvs
from quillon.yaml_bounded import safe_load

pytestmark = pytest.mark.skipif(not browser_available(), reason="chromium and chromedriver are not installed (Debian: apt-get install chromium chromium-driver)")

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
    actions(editor).click_and_hold(item).move_to_element_with_offset(canvas, dx // 2, dy // 2) \
        .move_to_element_with_offset(canvas, dx, dy).release().perform()


def connect(editor: Editor, a: str, b: str) -> None:
    start = editor.find(f'#canvas [data-endpoint="{a}"]')
    end = editor.find(f'#canvas [data-endpoint="{b}"]')
    actions(editor).click_and_hold(start).move_to_element(end).release().perform()


def keys(editor: Editor, *chord: str) -> None:
    """Press a key chord with the focus on the page, not in a field."""
    from selenium.webdriver.common.keys import Keys

    editor.js("document.activeElement && document.activeElement.blur()")
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
    xs = {p: float(editor.find(f'#canvas [data-endpoint="splitter,{p}"]').get_attribute("cx")) for p in ("o1", "o2", "o3")}
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
    editor.wait(lambda d: "changed" in editor.find('#inspector .setting[data-setting="length_mmi"]').get_attribute("class"))

    keys(editor, "CONTROL", "z")
    editor.wait(lambda d: setting_input(editor, "length_mmi").get_attribute("value") == "5.5")
    keys(editor, "CONTROL", "SHIFT", "z")
    editor.wait(lambda d: setting_input(editor, "length_mmi").get_attribute("value") == "7.5")
    keys(editor, "r")  # rotate the selected instance
    editor.wait(lambda d: "rotate(-90)" in editor.js(
        "return document.querySelector('#canvas .inst[data-name=mmi1x2_1] g').getAttribute('transform')"))

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
    assert netlist["instances"] == {"mmi1x2_1": {"component": "mmi1x2", "settings": {"length_mmi": 7.5}},
                                    "mmi1x2_2": {"component": "mmi1x2"}}
    assert netlist["connections"] == {"mmi1x2_1,o2": "mmi1x2_2,o1"}
    assert list(netlist["placements"]) == ["mmi1x2_1"]  # mmi1x2_2 is joined to it in the layout
    assert netlist["placements"]["mmi1x2_1"]["rotation"] == 90
    assert (netlist["routes"], netlist["nets"], netlist["ports"]) == ({}, [], {"in": "mmi1x2_1,o1"})
    lvs._check_reference(netlist_file)  # what `quillon lvs` asks of a reference netlist
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


BUILDER = importlib.util.find_spec("quillon.build") is not None and importlib.util.find_spec("quillon.build.circuit_layout") is not None


@pytest.mark.skipif(not BUILDER, reason="this installation cannot build layouts (quillon.build.circuit_layout)")
def test_build_and_check_shows_the_findings_of_a_broken_circuit_only(editor: Editor, project: Path) -> None:
    editor.open("demo/splitter")
    editor.find("button[name=check]").click()
    assert "No findings" in editor.wait_status("findings")
    assert editor.find("#checks .status").text == "Build and check: no findings"

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
