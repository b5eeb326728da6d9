"""Keys, clicks, feedback and access of the editor, in headless Chromium on a real ``quillon serve``."""

from __future__ import annotations

import importlib.util
from collections.abc import Iterator
from pathlib import Path

import pytest
from editor_browser import Editor, browser_available, open_browser, write_demo_project
from test_editor_browser import actions, keys, select, setting_input, type_into
from test_serve_real_server import Server

pytestmark = pytest.mark.skipif(
    not browser_available(),
    reason="chromium and chromedriver are not installed (Debian: apt-get install chromium chromium-driver)",
)

BUILDER = importlib.util.find_spec("quillon.build.circuit_layout") is not None
needs_builder = pytest.mark.skipif(
    not BUILDER, reason="this installation cannot build layouts (quillon.build.circuit_layout)"
)

#: Circuits of the test project besides the demo splitter, as their netlist files say.
CIRCUITS = {
    # three straights in a ring: the last connection cannot close in the layout
    "ring": "instances: {a: {component: straight}, b: {component: straight}, c: {component: straight}}\n"
    "placements: {a: {x: 0, y: 0}, b: {x: 200, y: 0}, c: {x: 400, y: 0}}\n"
    "connections: {'a,o2': 'b,o1', 'b,o2': 'c,o1', 'c,o2': 'a,o1'}\nroutes: {}\nnets: []\nports: {}\n",
    # optical links routed with the electrical router, as an older editor could save them
    "misrouted": "instances: {a: {component: straight}, b: {component: straight}}\n"
    "placements: {a: {x: 0, y: 0}, b: {x: 300, y: 100}}\nconnections: {}\n"
    "routes: {r: {routing_strategy: route_bundle_electrical, settings: {}, links: {'a,o2': 'b,o1'}}}\n"
    "nets: []\nports: {}\n",
    "odd": "instances: {s: {component: straight, settings: {length: 20, bogus: 3}}, x: {component: nope}}\n"
    "placements: {s: {x: 0, y: 0}, x: {x: 300, y: 0}}\n"
    "connections: {}\nroutes: {}\nnets: []\nports: {in: 's,o1', out: 's,o2'}\n",
}


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = write_demo_project(tmp_path_factory.mktemp("interaction") / "project")
    for name, text in CIRCUITS.items():
        (root / "demo" / f"{name}.pic.yml").write_text(text)
    if BUILDER:  # the designer's layout of the splitter, made before the schematic lost a link
        from quillon.build.circuit_layout import build_circuit_gds

        (root / "layouts").mkdir()
        build_circuit_gds(root / "demo" / "splitter.pic.yml", root / "layouts" / "splitter.gds", root)
    return root


@pytest.fixture(scope="module")
def editor(project: Path) -> Iterator[Editor]:
    server = Server(project, project.parent / "server.log")
    driver = open_browser()
    try:
        yield Editor(driver, server.url)
    finally:
        driver.quit()
        server.stop()


@pytest.fixture
def fresh(editor: Editor) -> Editor:
    """The editor reloaded (nothing unsaved asks to stay), in the light theme."""
    editor.driver.execute_cdp_cmd(
        "Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": "light"}]}
    )
    editor.js("window.onbeforeunload = null")
    editor.driver.get("about:blank")
    return editor


def focus_of(editor: Editor) -> str:
    """What has the focus: its role in a panel, its id or its tag."""
    return str(
        editor.js(
            "const a = document.activeElement; return a.dataset.focus || a.id || a.getAttribute('name') || a.tagName"
        )
    )


def press(editor: Editor, *chord: str) -> None:
    """Press keys wherever the focus is (not moving it to the drawing first)."""
    from selenium.webdriver.common.keys import Keys

    chain = actions(editor)
    for key in chord:
        chain = chain.send_keys(getattr(Keys, key) if key.isupper() and len(key) > 1 else key)
    chain.perform()


def flagged(editor: Editor) -> list[str]:
    return list(
        editor.js("return [...document.querySelectorAll('#canvas .inst.flagged')].map(g => g.dataset.name).sort()")
    )


#: A point of a link where a click reaches it (nearest its middle), in client pixels.
LINK_POINT = """
const k = String(arguments[0]);
const p = document.querySelector(`#canvas path.link-hit[data-link="${k}"]`);
const m = p.getScreenCTM();
for (const f of [0.5, 0.4, 0.6, 0.3, 0.7, 0.2, 0.8, 0.1, 0.9]) {
  const at = p.getPointAtLength(p.getTotalLength() * f);
  const [x, y] = [at.x * m.a + at.y * m.c + m.e, at.x * m.b + at.y * m.d + m.f];
  const hit = document.elementFromPoint(x, y);
  if (hit && hit.closest('[data-link]') && hit.closest('[data-link]').getAttribute('data-link') === k) return [x, y];
}
return null;
"""


def click_link(editor: Editor, index: int, shift: bool = False) -> None:
    """Click a drawn link where it can be clicked."""
    from selenium.webdriver.common.actions.action_builder import ActionBuilder
    from selenium.webdriver.common.keys import Keys

    point = editor.js(LINK_POINT, index)
    assert point, f"link {index} cannot be clicked anywhere"
    x, y = point
    builder = ActionBuilder(editor.driver)
    keyboard, mouse = builder.key_action, builder.pointer_action
    if shift:  # one source per tick: the key is held while the pointer clicks
        keyboard.key_down(Keys.SHIFT)
        mouse.pause(0)
    for step in (lambda: mouse.move_to_location(int(x), int(y)), mouse.pointer_down, mouse.pointer_up):
        step()
        keyboard.pause(0)
    if shift:
        keyboard.key_up(Keys.SHIFT)
    builder.perform()


def warnings_shown(editor: Editor) -> str:
    return str(
        editor.js("return [...document.querySelectorAll('#checks li.info')].map(li => li.textContent).join('\\n')")
    )


def visible_components(editor: Editor) -> list[str]:
    return list(
        editor.js(
            "return [...document.querySelectorAll('#palette li.component')]"
            ".filter(li => getComputedStyle(li).display !== 'none').map(li => li.dataset.component)"
        )
    )


def test_keys_after_a_setting_change_never_edit_the_circuit(fresh: Editor) -> None:
    editor = fresh
    editor.open("demo/splitter")
    select(editor, "heater")
    length = setting_input(editor, "length")
    type_into(length, "150\t")
    editor.wait(lambda d: setting_input(editor, "length").get_attribute("value") == "150")
    assert focus_of(editor) == "reset:length"  # the focus moved on to the next field, in the inspector
    drawn = editor.drawing()
    press(editor, "r", "m", "f", "BACKSPACE", "DELETE")
    editor.js("document.activeElement.blur()")  # on the page itself, the keys do nothing either
    press(editor, "r", "BACKSPACE", "DELETE")
    assert editor.drawing() == drawn and "heater" in editor.instances()
    keys(editor, "r")  # with the drawing focused they act
    editor.wait(
        lambda d: (
            editor.instances()["heater"] == drawn["instances"]["heater"]
            and "rotate(-90)"
            in editor.js("return document.querySelector('#canvas .inst[data-name=heater] g').getAttribute('transform')")
        )
    )


def test_double_click_renames_in_place(fresh: Editor) -> None:
    editor = fresh
    editor.open("demo/splitter")
    drawn = editor.instances()
    view = editor.js("return document.querySelector('#canvas .world').getAttribute('transform')")
    actions(editor).double_click(editor.find('#canvas .inst[data-name="arm_b"] .body')).perform()
    box = editor.find(".namebox input")
    editor.wait(lambda d: box.is_displayed() and focus_of(editor) == "rename", "no name field over the instance")
    assert box.get_attribute("value") == "arm_b"
    type_into(box, "splitter")
    assert "already taken" in editor.find(".namebox .error").text
    type_into(box, "fmr_arm\n")  # R, M and F are letters of the name, not shortcuts
    editor.wait(lambda d: "fmr_arm" in editor.instances())
    renamed = editor.instances()
    assert renamed.pop("fmr_arm") == drawn.pop("arm_b") and renamed == drawn
    assert editor.js("return document.querySelector('#canvas .world').getAttribute('transform')") == view
    assert focus_of(editor) == "canvas" and not box.is_displayed()
    actions(editor).double_click(editor.find('#canvas .inst[data-name="fmr_arm"] .body')).perform()
    editor.wait(lambda d: focus_of(editor) == "rename")
    press(editor, "x", "ESCAPE")  # Escape keeps the name
    assert "fmr_arm" in editor.instances() and focus_of(editor) == "canvas"


@pytest.mark.parametrize(
    ("search", "shown"),
    [
        ("splitter", ["mmi1x2", "mmi2x2"]),
        ("MMI", ["mmi1x2", "mmi2x2"]),
        ("phase shifter", ["straight_heater_metal"]),
        ("grating", ["grating_coupler"]),
        ("no such thing", []),
    ],
)
def test_palette_search_filters_by_name_and_by_what_a_component_is(
    fresh: Editor, search: str, shown: list[str]
) -> None:
    editor = fresh
    editor.open("demo/splitter")
    field = editor.find("#palette input[name=search]")
    type_into(field, search)
    editor.wait(lambda d: visible_components(editor) == shown, f"shown: {visible_components(editor)}")
    assert editor.find("#palette .none").is_displayed() == (not shown)


@needs_builder
def test_findings_turn_stale_after_an_edit_and_fresh_again_by_undo(fresh: Editor) -> None:
    editor = fresh
    editor.open("demo/ring")
    editor.find("button[name=check]").click()
    editor.wait(lambda d: "finding" in editor.find("#checks .status").text)
    marked = (flagged(editor), editor.links())
    assert marked[0] and "link optical flagged" in marked[1]  # the instances and the links the findings name
    title = editor.find("#checks .status").text
    assert title.startswith("Check of the built layout: ") and "stale" not in title
    body = editor.find('#canvas .inst[data-name="b"] .body')  # its top: the ring's last link runs across its middle
    actions(editor).move_to_element_with_offset(body, 0, -int(body.rect["height"]) // 3).click().perform()
    editor.wait(lambda d: editor.js("return document.querySelector('#inspector input[name=name]')?.value") == "b")
    press(editor, "ARROW_UP")
    editor.wait(lambda d: "stale" in editor.find("#checks .status").text)
    assert flagged(editor) == [] and editor.links() == ["link optical"] * 3 and editor.find("#checks li.stale")
    keys(editor, "CONTROL", "z")
    editor.wait(lambda d: editor.find("#checks .status").text == title)
    assert (flagged(editor), editor.links()) == marked


@needs_builder
def test_check_a_layout_finds_a_deleted_link(fresh: Editor, project: Path) -> None:
    from selenium.webdriver.support.ui import Select

    editor = fresh
    editor.open("demo/splitter")
    copy = project / "layouts" / "copy.oas"  # a layout written while the page is open is offered too
    copy.write_bytes((project / "layouts" / "splitter.gds").read_bytes())
    options = lambda: [o.get_attribute("value") for o in Select(editor.find("#checks select[name=layout]")).options]  # noqa: E731
    assert "layouts/copy.oas" not in options()
    editor.js("document.querySelector('#checks select[name=layout]').focus()")
    editor.wait(lambda d: "layouts/copy.oas" in options())
    Select(editor.find("#checks select[name=layout]")).select_by_value("layouts/splitter.gds")
    editor.find("button[name=check-layout]").click()
    editor.wait(lambda d: editor.find("#checks .status").text == "Check of layouts/splitter.gds: no findings")

    click_link(editor, 3)  # splitter,o2 -> arm_b,o1
    assert "splitter,o2 → arm_b,o1" in editor.find("#inspector").text
    press(editor, "DELETE")
    editor.wait(lambda d: len(editor.links()) == 5)
    editor.find("button[name=check-layout]").click()  # saves, then checks the designer's layout
    editor.wait(lambda d: editor.find("#checks .status").text == "Check of layouts/splitter.gds: 1 finding")
    finding = editor.find("#checks li.finding").text
    assert finding == "Unknown Connections: Unknown Connection from 'arm_b,o1' to 'splitter,o2'"
    assert flagged(editor) == ["arm_b", "splitter"] and not editor.dirty()
    keys(editor, "CONTROL", "z")
    editor.find("button[name=save]").click()
    editor.wait(lambda d: not editor.dirty())


@needs_builder
def test_unknown_settings_and_components_are_shown_fixed_and_failures_listed_in_full(fresh: Editor) -> None:
    from selenium.webdriver.support.ui import Select

    editor = fresh
    editor.open("demo/odd")
    warnings = editor.find("#checks ul").text
    assert "x: unknown component nope" in warnings
    editor.wait(lambda d: "s: unknown setting bogus" in editor.find("#checks ul").text)
    header, stage = (
        editor.js(f"return document.querySelector('{s}').getBoundingClientRect().toJSON()")
        for s in ("header", "#stage")
    )

    editor.find("button[name=check]").click()
    editor.wait(lambda d: editor.find("#checks .status").text == "Check of the built layout: failed")
    error = editor.find("#checks li.error").text
    assert error.startswith("Error: Cannot build the layout: ") and "unknown setting 'bogus'" in error
    assert "see the checks panel" in editor.status()
    editor.js("document.querySelector('header .status').textContent = 'x'.repeat(5000)")  # the header never reflows
    for selector, before in (("header", header), ("#stage", stage)):
        assert editor.js(f"return document.querySelector('{selector}').getBoundingClientRect().toJSON()") == before

    select(editor, "s")
    row = editor.find('#inspector .setting.unknown[data-setting="bogus"]')
    assert "bogus: 3" in row.text
    row.find_element("css selector", "button.remove").click()
    editor.wait(lambda d: not editor.js("return document.querySelector('#inspector .setting.unknown')"))
    assert "unknown setting" not in warnings_shown(editor) and "stale" in editor.find("#checks .status").text

    select(editor, "x")
    assert 'The kit has no component "nope".' in editor.find("#inspector").text
    Select(editor.find("#inspector select[name=component]")).select_by_value("straight")
    editor.find("#inspector .field.unknown button").click()
    editor.wait(lambda d: editor.find("#inspector h3").text == "straight")
    assert "unknown component" not in warnings_shown(editor)
    editor.wait(lambda d: editor.js("return document.querySelectorAll('#canvas .inst[data-name=x] .port').length") == 2)


def test_bundles_offer_the_strategies_that_fit_and_can_be_undone(fresh: Editor) -> None:
    from selenium.webdriver.support.ui import Select

    editor = fresh
    editor.open("demo/splitter")
    click_link(editor, 5)  # the heater's net
    options = lambda: [o.text for o in Select(editor.find("#inspector select[name=strategy]")).options]  # noqa: E731
    assert options() == ["route_bundle_electrical"]
    click_link(editor, 3)
    click_link(editor, 4, shift=True)
    editor.wait(lambda d: "2 links" in editor.find("#inspector h3").text)
    assert options() == ["route_bundle"]
    click_link(editor, 5, shift=True)
    editor.wait(lambda d: "cannot share a bundle" in editor.find("#inspector").text)
    click_link(editor, 5, shift=True)
    editor.find("#inspector button.primary").click()
    editor.wait(lambda d: editor.links().count("link optical bundled selected") == 2)
    assert "bundle bundle_1: route_bundle" in editor.find("#inspector").text
    editor.find('#inspector [data-focus="unbundle"]').click()
    editor.wait(lambda d: not any("bundled" in c for c in editor.links()))

    keys(editor, "CONTROL", "z")
    keys(editor, "CONTROL", "z")
    editor.wait(lambda d: not editor.dirty())

    # optical links bundled with the electrical router stay optical, and the designer is told to choose again
    editor.open("demo/misrouted")
    assert editor.links() == ["link optical bundled"]
    click_link(editor, 0)
    assert "route_bundle_electrical does not route optical links" in editor.wait(
        lambda d: editor.find("#inspector").text if "does not route" in editor.find("#inspector").text else ""
    )
    Select(editor.find("#inspector select[name=strategy]")).select_by_value("route_bundle")
    editor.wait(lambda d: "does not route" not in editor.find("#inspector").text)
    assert "bundle r: route_bundle\n" in editor.find("#inspector").text + "\n"


def test_values_the_kit_refuses_are_refused_where_they_are_typed(fresh: Editor) -> None:
    editor = fresh
    editor.open("demo/splitter")
    select(editor, "heater")
    row = '#inspector .setting[data-setting="length"]'
    assert "> 0" in editor.find(f"{row} .hint").text  # the kit's own limit
    for text, error in (
        ("0x10", "expected a number"),
        ("1e400", "expected a number"),
        ("-5", "must be more than 0"),
        ("0", "must be more than 0"),
        ("12.5", ""),
    ):
        type_into(setting_input(editor, "length"), text)
        shown = editor.find(f"{row} .error").text
        assert (error in shown) if error else shown == "", (text, shown)
    type_into(setting_input(editor, "length"), "-5\t")  # refused: the circuit keeps its value
    assert (
        editor.js(
            "return document.querySelector('#inspector .setting[data-setting=length] input').getAttribute('aria-invalid')"
        )
        == "true"
    )
    select(editor, "splitter")
    select(editor, "heater")
    assert setting_input(editor, "length").get_attribute("value") == "120"


def tab_order(editor: Editor, steps: int) -> list[str]:
    """What gets the focus on each of `steps` presses of Tab, from the start of the page."""
    editor.js("document.activeElement && document.activeElement.blur(); window.getSelection().removeAllRanges()")
    seen = []
    for _ in range(steps):
        press(editor, "TAB")
        seen.append(
            focus_of(editor)
            if focus_of(editor) != "LI"
            else "palette:" + editor.js("return document.activeElement.dataset.component")
        )
    return seen


def test_keyboard_only_reaches_every_panel_and_places_a_component(fresh: Editor, project: Path) -> None:
    editor = fresh
    editor.open("demo/splitter")
    order = tab_order(editor, 40)
    for wanted in (
        "circuit",
        "new-circuit",
        "create",
        "fit",
        "save",
        "check",
        "search",
        "palette:straight",
        "palette:mmi1x2",
        "canvas",
    ):
        assert wanted in order, (wanted, order)
    assert order.index("circuit") < order.index("search") < order.index("palette:straight") < order.index("canvas")
    more = tab_order(editor, 60)
    assert {"layout", "cell", "check-layout"} <= set(more), more

    editor.find("#palette li[data-component=mmi2x2]").send_keys("\n")  # Enter places it, in the middle
    editor.wait(lambda d: "mmi2x2_1" in editor.instances())
    assert focus_of(editor) == "canvas"
    press(editor, "r")
    editor.wait(
        lambda d: (
            "rotate(-90)"
            in editor.js(
                "return document.querySelector('#canvas .inst[data-name=mmi2x2_1] g').getAttribute('transform')"
            )
        )
    )
    placed = editor.instances()["mmi2x2_1"]
    press(editor, "ARROW_RIGHT")  # arrows move the selection by a grid step
    editor.wait(lambda d: editor.instances()["mmi2x2_1"] != placed)
    press(editor, "DELETE")
    editor.wait(lambda d: "mmi2x2_1" not in editor.instances())

    # N and L select instances (in reading order) and links; Tab goes on to their fields
    chosen = "return document.querySelector('#inspector input[name=name]')?.value"
    for key, name in (("n", "pad"), ("n", "heater"), ("N", "pad"), ("N", "gc_bot")):
        press(editor, key)
        editor.wait(lambda d, name=name: editor.js(chosen) == name)
    press(editor, "TAB")
    assert focus_of(editor) == "field:name"
    editor.js("document.querySelector('#canvas').focus()")
    press(editor, "l")
    editor.wait(lambda d: "gc_in,o1 → splitter,o1" in editor.find("#inspector").text)


#: The contrast of every text shown in the page's panels to the background behind it (WCAG's formula).
CONTRASTS = """
const rgb = (text) => text.match(/[\\d.]+/g).map(Number);
const lin = (c) => { c /= 255; return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4; };
const lum = ([r, g, b]) => 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b);
const background = (el) => {
  for (let e = el; e; e = e.parentElement) {
    const c = rgb(getComputedStyle(e).backgroundColor);
    if (c.length < 4 || c[3] > 0) return c.slice(0, 3);
  }
  return [255, 255, 255];
};
const found = [];
for (const el of document.querySelectorAll('header *, aside *, .namebox *')) {
  const own = [...el.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim());
  if (!own || !el.getClientRects().length || el.closest(':disabled') || getComputedStyle(el).visibility === 'hidden') continue;
  const [a, b] = [lum(rgb(getComputedStyle(el).color)), lum(background(el))];
  found.push([el.tagName + '.' + el.className + ' ' + el.textContent.trim().slice(0, 30), (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05)]);
}
return found;
"""


@pytest.mark.parametrize("scheme", ["light", "dark"])
def test_every_field_is_labelled_and_every_text_contrasts(fresh: Editor, scheme: str) -> None:
    editor = fresh
    editor.driver.execute_cdp_cmd(
        "Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": scheme}]}
    )
    editor.open("demo/odd")
    select(editor, "s")
    editor.js("document.querySelector('header .status').dataset.kind = 'error'")
    page = editor.js("return getComputedStyle(document.body).backgroundColor")
    assert page == ("rgb(255, 255, 255)" if scheme == "light" else "rgb(22, 25, 31)")
    unlabelled = editor.js(
        "return [...document.querySelectorAll('input, select, button')].filter(e => e.getClientRects().length)"
        ".filter(e => !(e.labels && e.labels.length) && !e.getAttribute('aria-label') && !e.textContent.trim()).map(e => e.outerHTML)"
    )
    assert unlabelled == []
    contrasts = editor.js(CONTRASTS)
    assert len(contrasts) > 20
    low = [(what, round(ratio, 2)) for what, ratio in contrasts if ratio < 4.5]
    assert low == []
