"""Pictures of a layout around a finding, drawn by KLayout's own layout view.

The view renders off screen (no display needed): the layout file is loaded
once, and each picture zooms to the neighbourhood of a finding's markers and
draws them on top of the layout.
"""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

import klayout.db as kdb
import klayout.lay as lay

from quillon.findings import Box

__all__ = ["FindingPictures"]

#: Picture size in pixels.
WIDTH, HEIGHT = 560, 360
#: Least margin around the markers, in micrometres, so that even a marker on
#: a port's opening shows the devices it belongs to.
MIN_MARGIN_UM = 6.0
#: Margin around the markers as a share of their extent.
MARGIN_SHARE = 0.6
#: The layers are drawn paler by this share towards white, so that the marker
#: (one saturated colour, thick, with a halo) stands out whatever the layer
#: colours are.
LAYER_PALENESS = 0.4
MARKER_COLOR = 0xE0008A
MARKER_LINE_WIDTH = 4
#: View settings for a picture a reader can take in at a glance.
VIEW_CONFIG = {
    "background-color": "#ffffff",
    "grid-visible": "true",
    "grid-show-ruler": "true",
    "text-visible": "true",
    "markers-visible": "true",
}


class FindingPictures:
    """PNG pictures of cell `cell` of the layout file `layout`."""

    def __init__(self, layout: Path, cell: str) -> None:
        self._view = lay.LayoutView()
        for name, value in VIEW_CONFIG.items():
            self._view.set_config(name, value)
        index = self._view.load_layout(str(layout), True)
        cellview = self._view.cellview(index)
        cellview.set_cell_name(cell)
        self._view.max_hier()
        self._pale_layers()
        self._cell_box = cellview.cell.dbbox()

    def around(self, markers: Sequence[Box]) -> bytes:
        """The neighbourhood of `markers` (at least one) with the markers drawn."""
        area = kdb.DBox()
        for left, bottom, right, top in markers:
            area += kdb.DBox(left, bottom, right, top)
        margin = max(MIN_MARGIN_UM, MARGIN_SHARE * max(area.width(), area.height()))
        return self._render(area.enlarged(margin, margin), markers)

    def whole_cell(self) -> bytes:
        """The whole cell, for findings with no place in the layout."""
        return self._render(self._cell_box.enlarged(MIN_MARGIN_UM, MIN_MARGIN_UM), ())

    def _render(self, area: kdb.DBox, markers: Sequence[Box]) -> bytes:
        self._view.zoom_box(area)
        drawn = [self._marker(box) for box in markers]
        try:
            return bytes(self._view.get_pixels_with_options(WIDTH, HEIGHT).to_png_data())
        finally:
            for marker in drawn:
                marker._destroy()

    def _pale_layers(self) -> None:
        layers = self._view.begin_layers()
        while not layers.at_end():
            node = layers.current()
            node.fill_color = _paler(node.eff_fill_color(True))
            node.frame_color = _paler(node.eff_frame_color(True))
            layers.next()

    def _marker(self, box: Box) -> lay.Marker:
        marker = lay.Marker(self._view)
        marker.set(kdb.DBox(*box))
        marker.color = MARKER_COLOR
        marker.frame_color = MARKER_COLOR
        marker.line_width = MARKER_LINE_WIDTH
        marker.halo = 1
        marker.dither_pattern = -1
        return marker


def _paler(color: int) -> int:
    """`color` (0xRRGGBB) moved LAYER_PALENESS of the way towards white."""
    channels = [(color >> shift) & 0xFF for shift in (16, 8, 0)]
    r, g, b = (round(value + (0xFF - value) * LAYER_PALENESS) for value in channels)
    return (r << 16) | (g << 8) | b
