"""Schematic symbols drawn from layouts: outlines, SVG structure, and a real browser rendering."""

from __future__ import annotations

import re
import shutil
import struct
import subprocess
import zlib
from pathlib import Path
from typing import Any
from xml.etree import ElementTree

import cellgrid as cg
import pytest

import demo_pdk
from quillon.generate_svg import _generate_multipolygon, generate_svg

kdb = cg.kdb
SVG = "{http://www.w3.org/2000/svg}"
WG = kdb.LayerInfo(1, 0, "WG")
SLAB = kdb.LayerInfo(3, 0, "SLAB")


def cell_with(shapes: list[tuple[kdb.LayerInfo, Any]], ports: tuple[tuple[str, int, int, int], ...] = ()) -> cg.DKCell:
    """A new cell with ``shapes`` (µm) and ``ports`` (name, x, y in dbu, quarter turns)."""
    c = cg.DKCell()
    for layer, shape in shapes:
        c.shapes(c.kcl.layer(layer)).insert(shape)
    for name, x, y, rot in ports:
        c.create_port(name, kdb.Trans(rot, False, x, y), 0.5, WG)
    return c


def nested_boxes() -> cg.DKCell:
    child = cell_with([(WG, kdb.DBox(0, 0, 1, 1))])
    parent = cell_with([(WG, kdb.DBox(5, 0, 6, 1))])
    parent.create_inst(child, kdb.DCplxTrans(1, 0, False, 10, 0))
    return parent


def ring_shapes() -> list[tuple[kdb.LayerInfo, kdb.DPolygon]]:
    outer = kdb.DPolygon(kdb.DBox(0, 0, 10, 10))
    outer.insert_hole(kdb.DBox(2, 2, 8, 8))
    return [(WG, outer)]


def ring() -> cg.DKCell:
    return cell_with(ring_shapes())


def boxes_cell(*boxes: kdb.DBox, layer: kdb.LayerInfo = WG) -> cg.DKCell:
    return cell_with([(layer, box) for box in boxes])


def box_beside_sub_cell() -> cg.DKCell:
    child = boxes_cell(kdb.DBox(0, 0, 2, 2), layer=SLAB)
    parent = boxes_cell(kdb.DBox(0, 0, 1, 1))
    parent.create_inst(child, kdb.DCplxTrans(1, 0, False, 100, 0))
    return parent


@pytest.mark.parametrize(
    ("make", "polygons", "holes", "areas"),
    [
        pytest.param(lambda: demo_pdk.PDK.get_component("mmi1x2"), 1, 0, None, id="demo-mmi"),
        # a rib waveguide: core and slab on two layers merge into one outline
        pytest.param(lambda: demo_pdk.straight(cross_section="rib"), 1, 0, None, id="layers-merged"),
        pytest.param(
            lambda: cell_with([(WG, kdb.DBox(0, 0, 2, 2)), (SLAB, kdb.DBox(1, 1, 3, 3))]), 1, 0, [7.0], id="overlap"
        ),
        # a core in its cladding on another layer
        pytest.param(
            lambda: cell_with([(WG, kdb.DBox(0, 0, 10, 1)), (SLAB, kdb.DBox(0, -1, 10, 2))]),
            1,
            0,
            [30.0],
            id="core-in-cladding",
        ),
        pytest.param(
            lambda: boxes_cell(*(kdb.DBox(10 * i, 0, 10 * i + 2, 2) for i in range(5))), 5, 0, [4.0] * 5, id="apart"
        ),
        pytest.param(lambda: boxes_cell(kdb.DBox(0, 0, 1, 1), kdb.DBox(5, 0, 6, 1)), 2, 0, [1.0, 1.0], id="disjoint"),
        pytest.param(lambda: boxes_cell(kdb.DBox(0, 0, 10, 1)), 1, 0, [10.0], id="one"),
        pytest.param(nested_boxes, 2, 0, [1.0, 1.0], id="sub-cells"),
        pytest.param(box_beside_sub_cell, 2, 0, [1.0, 4.0], id="sub-cell-other-layer"),
        pytest.param(ring, 1, 1, [64.0], id="hole"),  # the hole is kept
        pytest.param(lambda: cell_with([]), 0, 0, [], id="empty"),
    ],
)
def test_outline_polygons(make: Any, polygons: int, holes: int, areas: list[float] | None) -> None:
    demo_pdk.PDK.activate()
    outline = _generate_multipolygon(make())
    assert len(outline.geoms) == polygons
    assert sum(polygon.holes() for polygon in outline.geoms) == holes
    assert all(isinstance(polygon, kdb.DPolygon) for polygon in outline.geoms)
    if areas is not None:
        assert sorted(round(polygon.area(), 6) for polygon in outline.geoms) == areas


def test_outline_is_in_micrometres() -> None:
    outline = _generate_multipolygon(cell_with([(WG, kdb.DBox(-1.5, 0, 2.25, 0.5))]))
    assert [polygon.bbox() for polygon in outline.geoms] == [kdb.DBox(-1.5, 0, 2.25, 0.5)]


def test_outline_of_a_plain_klayout_cell() -> None:
    layout = kdb.Layout()
    top = layout.create_cell("top")
    top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 1000))
    assert len(_generate_multipolygon(top).geoms) == 1
    with pytest.raises(TypeError, match="expected a layout cell, got str"):
        _generate_multipolygon("mmi1x2")


def numbers(text: str) -> list[float]:
    return [float(v) for v in re.findall(r"-?\d+(?:\.\d+)?", text)]


@pytest.mark.parametrize(("width", "height"), [(80, 80), (200, 60), (40, 150)])
def test_symbol_structure(width: int, height: int) -> None:
    demo_pdk.PDK.activate()
    component = demo_pdk.PDK.get_component("mmi2x2")
    root = ElementTree.fromstring(generate_svg(component, width, height))
    assert root.tag == f"{SVG}svg"
    assert (root.get("width"), root.get("height"), root.get("viewBox")) == (
        str(width),
        str(height),
        f"0 0 {width} {height}",
    )
    assert root.findtext(f"{SVG}title") == "mmi2x2"
    paths = root.findall(f"{SVG}g[@class='outline']/{SVG}path")
    assert len(paths) == 1
    xs_ys = numbers(paths[0].get("d", ""))
    assert all(0 <= x <= width for x in xs_ys[0::2]) and all(0 <= y <= height for y in xs_ys[1::2])
    ports = root.find(f"{SVG}g[@class='ports']")
    assert ports is not None
    assert [t.text for t in ports.findall(f"{SVG}text")] == ["o1", "o2", "o3", "o4"]
    circles = ports.findall(f"{SVG}circle")
    assert len(circles) == 4
    for circle in circles:
        assert 0 <= float(circle.get("cx", "-1")) <= width and 0 <= float(circle.get("cy", "-1")) <= height
    # o1 (west) is drawn left of o4 (east); y grows downwards in SVG
    o1, o2, o3, o4 = ((float(c.get("cx", "0")), float(c.get("cy", "0"))) for c in circles)
    assert o1[0] < o4[0] and o2[1] > o1[1]


def test_thin_outline_is_stretched_to_stay_readable() -> None:
    demo_pdk.PDK.activate()
    root = ElementTree.fromstring(generate_svg(demo_pdk.PDK.get_component("straight"), 100, 100))
    points = numbers(root.findall(f"{SVG}g[@class='outline']/{SVG}path")[0].get("d", ""))
    xs, ys = points[0::2], points[1::2]
    # a 10 x 0.5 µm waveguide fills the 76 px of room inside the padding, drawn at 4:1
    assert max(xs) - min(xs) == pytest.approx(76, abs=0.02)
    assert max(ys) - min(ys) == pytest.approx(19, abs=0.02)


def test_port_names_are_escaped_and_empty_cells_get_a_placeholder() -> None:
    c = cell_with([(WG, kdb.DBox(0, 0, 2, 2))], ports=(("a<&b", 0, 1000, 2),))
    root = ElementTree.fromstring(generate_svg(c, 80, 80))
    assert [t.text for t in root.iter(f"{SVG}text")] == ["a<&b"]
    empty = ElementTree.fromstring(generate_svg(cell_with([]), 60, 40))
    assert len(empty.findall(f"{SVG}rect")) == 1 and empty.findall(f".//{SVG}path") == []


@pytest.mark.parametrize(("width", "height"), [(0, 80), (80, -1), (80.0, 80), (True, 80)])
def test_sizes_must_be_positive_integers(width: Any, height: Any) -> None:
    with pytest.raises(ValueError, match="must be a positive integer"):
        generate_svg(demo_pdk.PDK.get_component("straight"), width, height)


def outline_points(root: ElementTree.Element) -> list[list[float]]:
    """The (x, y) numbers of each outline path of a symbol."""
    return [numbers(path.get("d", "")) for path in root.findall(f"{SVG}g[@class='outline']/{SVG}path")]


@pytest.mark.parametrize(("width", "height"), [(80, 80), (200, 50), (40, 120)])
def test_symbol_keeps_the_aspect_of_the_outline_and_uses_the_room(width: int, height: int) -> None:
    # a 20 x 10 µm box and a ring inside it: one merged outline of 2:1 extent
    c = cell_with([(WG, kdb.DBox(0, 0, 20, 10)), *ring_shapes()])
    root = ElementTree.fromstring(generate_svg(c, width, height))
    assert (root.get("width"), root.get("height"), root.get("viewBox")) == (
        str(width),
        str(height),
        f"0 0 {width} {height}",
    )
    assert root.findtext(f"{SVG}title") == c.name
    [points] = outline_points(root)
    xs, ys = points[0::2], points[1::2]
    assert min(xs) >= 0 and max(xs) <= width and min(ys) >= 0 and max(ys) <= height
    drawn_w, drawn_h = max(xs) - min(xs), max(ys) - min(ys)
    assert drawn_w == pytest.approx(2 * drawn_h, rel=0.02)
    assert max(drawn_w / width, drawn_h / height) > 0.7  # uses the room it has


def test_symbol_is_drawn_upwards() -> None:
    # a narrow box above a wide one: in SVG (y pointing down) it must come out on top
    c = boxes_cell(kdb.DBox(0, 0, 10, 1), kdb.DBox(4, 5, 6, 10))
    wide, narrow = outline_points(ElementTree.fromstring(generate_svg(c, 100, 100)))
    if max(wide[0::2]) - min(wide[0::2]) < max(narrow[0::2]) - min(narrow[0::2]):
        wide, narrow = narrow, wide
    assert max(narrow[1::2]) < min(wide[1::2])


def test_port_marks_and_labels_sit_inside_the_symbol() -> None:
    kcl = cg.KCLayout("quillon_svg_test")
    cell = kcl.dkcell("coupler")
    cell.shapes(kcl.layer((1, 0))).insert(kdb.DBox(0, -1, 20, 1))
    cell.create_port("in<1>", dcplx_trans=kdb.DCplxTrans(1, 180, False, 0, 0), width=0.5, layer=(1, 0))
    cell.create_port("out&", dcplx_trans=kdb.DCplxTrans(1, 0, False, 20, 0), width=0.5, layer=(1, 0))
    cell.create_port("top", dcplx_trans=kdb.DCplxTrans(1, 90, False, 10, 1), width=0.5, layer=(1, 0))
    assert len(_generate_multipolygon(cell).geoms) == 1

    root = ElementTree.fromstring(generate_svg(cell, 100, 60))
    texts = root.findall(f".//{SVG}text")
    circles = root.findall(f".//{SVG}circle")
    assert [t.text for t in texts] == ["in<1>", "out&", "top"]
    assert len(circles) == 3
    west, east, north = ((float(c.get("cx", "")), float(c.get("cy", ""))) for c in circles)
    assert west[0] < north[0] < east[0] and north[1] < west[1] == east[1]
    # labels sit inside the symbol, away from the side their port faces
    assert [t.get("text-anchor") for t in texts] == ["start", "end", "middle"]
    assert float(texts[0].get("x", "")) > west[0] and float(texts[1].get("x", "")) < east[0]
    assert float(texts[2].get("y", "")) > north[1]


def test_symbol_of_every_demo_kit_component_names_its_ports() -> None:
    kit = demo_pdk.PDK.activate()
    for name in kit.cells:
        component = kit.get_component(name)
        root = ElementTree.fromstring(generate_svg(component, 80, 80))
        assert [t.text for t in root.findall(f".//{SVG}text")] == [p.name for p in component.ports], name


def test_empty_symbol_asset_is_valid_svg() -> None:
    import quillon

    root = ElementTree.parse(Path(quillon.__file__).parent / "assets" / "_svg" / "_empty.svg").getroot()
    assert root.tag == f"{SVG}svg" and root.find(f"{SVG}rect").get("rx")


def find_browser() -> str | None:
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    return None


def read_png(data: bytes) -> tuple[int, int, list[bytes]]:
    """(width, height, rows of RGB(A) bytes) of an 8-bit, non-interlaced PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        body = data[pos + 8 : pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    assert header is not None
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0
    step = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * step
    rows: list[bytes] = []
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1 : start + 1 + stride])
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            up, corner = previous[i], previous[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF
        rows.append(bytes(line))
        previous = line
    return width, height, rows


@pytest.mark.skipif(
    find_browser() is None, reason="headless Chromium is not installed (Debian: apt-get install chromium)"
)
def test_browser_renders_a_generated_symbol(tmp_path: Path) -> None:
    demo_pdk.PDK.activate()
    page = tmp_path / "mmi1x2.svg"
    page.write_text(generate_svg(demo_pdk.PDK.get_component("mmi1x2"), 120, 120))
    shot = tmp_path / "mmi1x2.png"
    browser = find_browser()
    assert browser is not None
    # A roomy window: headless windows narrower than a few hundred pixels may
    # be captured before anything is painted.
    subprocess.run(
        [
            browser,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--hide-scrollbars",
            f"--user-data-dir={tmp_path / 'profile'}",
            "--window-size=300,300",
            f"--screenshot={shot}",
            page.as_uri(),
        ],
        check=True,
        capture_output=True,
        timeout=120,
    )
    width, height, rows = read_png(shot.read_bytes())
    assert (width, height) == (300, 300)
    step = len(rows[0]) // width
    painted = {
        (x, y): rows[y][x * step : x * step + 3]
        for y in range(height)
        for x in range(width)
        if rows[y][x * step : x * step + 3] != b"\xff\xff\xff"
    }
    # the outline and ports, not a blank page, and all of it within the symbol's size
    assert len(painted) > 0.05 * 120 * 120
    assert max(x for x, _ in painted) < 120 and max(y for _, y in painted) < 120
    # the port marks are drawn in their own colour (#c2410c, allowing for anti-aliasing)
    assert any(abs(p[0] - 0xC2) < 24 and abs(p[1] - 0x41) < 24 and abs(p[2] - 0x0C) < 24 for p in painted.values())
