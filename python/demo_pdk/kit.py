"""The kit object, made before its components: a component that places others by
name (`pad_array`) looks them up in it, and the package, which imports the
components, gives it them."""

from __future__ import annotations

import maskwright as mw

from .cross_sections import CROSS_SECTIONS
from .layers import LAYER

__all__ = ["CONNECTIVITY", "PDK"]

CONNECTIVITY: list[mw.typings.ConnectivitySpec] = [("M1", "VIA1", "M2")]
"""Conducting layer stack: M1 touches VIA1, VIA1 touches M2."""

PDK = mw.Pdk(name="demo_pdk", cells={}, cross_sections=CROSS_SECTIONS, connectivity=CONNECTIVITY, layers=LAYER)
"""The demo kit; `demo_pdk` adds its cells and routing strategies."""
