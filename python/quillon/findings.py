"""The findings of a check, read from its report database as plain values.

Everything is read generically: whatever categories the database holds (in
the order it holds them, sub-categories after their parent) and, per item,
its kind (the user tag the check gives every item it makes), its text
values, the bounding boxes of its geometric values and the distance a gap
finding measured (a number value tagged "distance"). A check's result
(:class:`quillon.checking.CheckResult`) holds them, and the summary, the JSON
and the HTML report of ``quillon lvs`` are written from them.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

__all__ = ["Box", "Finding", "Findings", "kind_of", "read_findings"]

#: A marker's bounding box in micrometres: (left, bottom, right, top).
Box = tuple[float, float, float, float]

#: The kinds of item value that are shapes, by the name of their accessor.
GEOMETRIC_VALUES = ("box", "polygon", "edge", "edge_pair", "path", "text")

#: Decimals kept of a coordinate in micrometres: finer than any database unit,
#: coarse enough to hide the rounding of decimal units in binary floats.
DECIMALS = 6


#: The tag of the number value that holds a finding's distance in micrometres.
DISTANCE_TAG = "distance"


@dataclass(frozen=True)
class Finding:
    """One item of the report: its category path, report cell, texts and markers,
    its kind (None for an item without one) and the distance it measured, if any."""

    category: str
    cell: str
    texts: tuple[str, ...]
    markers: tuple[Box, ...]
    kind: str | None = None
    distance: float | None = None


@dataclass(frozen=True)
class Findings:
    """The report's name, its categories (with their item counts) and its items in order."""

    name: str
    counts: dict[str, int]
    items: tuple[Finding, ...]

    def of(self, category: str) -> list[Finding]:
        return [finding for finding in self.items if finding.category == category]


def read_findings(rdb: Any) -> Findings:
    """The findings held by the report database `rdb`."""
    import klayout.db  # noqa: F401  (binds the shape types that geometric item values return)

    categories = {category.rdb_id(): path for category, path in _each_category(rdb)}
    cells = {cell.rdb_id(): cell.qname() for cell in rdb.each_cell()}
    distance_tag = rdb.user_tag_id(DISTANCE_TAG)
    items = tuple(
        Finding(categories.get(item.category_id(), "?"), cells.get(item.cell_id(), "?"), *_values(item, distance_tag))
        for item in rdb.each_item()
    )
    counts = {path: 0 for path in categories.values()}
    for finding in items:
        counts[finding.category] = counts.get(finding.category, 0) + 1
    return Findings(rdb.name(), counts, items)


def _each_category(rdb: Any) -> Iterator[tuple[Any, str]]:
    """Every category with its path of names (a sub-category's as "parent.name")."""
    pending = [(category, category.name()) for category in rdb.each_category()]
    while pending:
        category, path = pending.pop(0)
        yield category, path
        pending[0:0] = [(sub, f"{path}.{sub.name()}") for sub in category.each_sub_category()]


def kind_of(item: Any) -> str | None:
    """The kind of a report item: its first user tag (KLayout writes those as "#name")."""
    tags = [tag.strip() for tag in item.tags_str.split(",")]
    return next((tag[1:] for tag in tags if tag.startswith("#")), None)


def _values(item: Any, distance_tag: int) -> tuple[tuple[str, ...], tuple[Box, ...], str | None, float | None]:
    texts: list[str] = []
    markers: list[Box] = []
    distance = None
    for value in item.each_value():
        shape = next((getattr(value, kind)() for kind in GEOMETRIC_VALUES if getattr(value, f"is_{kind}")()), None)
        if shape is not None:
            markers.append(_bounding_box(shape))
        elif value.is_float() and value.tag_id == distance_tag:
            distance = round(value.float(), DECIMALS) + 0.0
        elif value.is_string():
            texts.append(value.string())
        else:
            texts.append(value.to_s())
    return tuple(texts), tuple(markers), kind_of(item), distance


def _bounding_box(shape: Any) -> Box:
    box = shape.bbox()
    left, bottom, right, top = (round(value, DECIMALS) + 0.0 for value in (box.left, box.bottom, box.right, box.top))
    return left, bottom, right, top
