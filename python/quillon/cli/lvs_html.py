"""``quillon lvs --html FILE``: a report a reviewer can read in any browser.

One self-contained file per check: what was checked, the number of findings per
category, then per finding its texts and a picture of its neighbourhood with
its markers drawn (the whole cell, embedded once, for a finding with no place
in the layout). Pictures are embedded as PNG data, so the file can be mailed or
archived alone. When several layouts are checked, ``index.html`` beside their
pages lists every check with its verdict and a link to its page.
"""

from __future__ import annotations

import base64
from collections.abc import Callable, Sequence
from html import escape
from pathlib import Path
from typing import TYPE_CHECKING

from quillon.checking import CheckResult
from quillon.cli.finding_pictures import HEIGHT, WIDTH, FindingPictures
from quillon.findings import Box, Finding

if TYPE_CHECKING:
    from quillon.cli.lvs_outcome import CheckOutcome

__all__ = ["VIEWER_URL", "write_findings_html", "write_index"]

#: Pictures drawn at most per page (about 12 kB and 20 ms each); further
#: findings are listed with their texts and marker coordinates only.
MAX_PICTURES = 1000
#: The element that shows the whole cell, for a finding with no place in the layout.
WHOLE_CELL_CLASS = "whole-cell"
WHOLE_CELL = f'<div class="{WHOLE_CELL_CLASS}" role="img" aria-label="the whole cell"></div>'

#: Where a reviewer gets the layout viewer that opens the report database.
VIEWER_URL = "https://www.klayout.de/build.html"

STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 62em; color: #1b1b1b; }
table { border-collapse: collapse; }
td, th { text-align: left; padding: 0.15em 1em 0.15em 0; vertical-align: top; }
.clean { color: #11702a; } .findings { color: #a4161a; }
figure { display: flex; flex-wrap: wrap; gap: 1em; margin: 1.5em 0; padding: 0.8em; border: 1px solid #ccc; border-radius: 4px; }
figure img { display: block; max-width: 100%; border: 1px solid #ddd; }
figcaption { flex: 1 1 18em; }
figcaption p { margin: 0.3em 0; } .where { color: #555; font-size: 0.9em; }
"""


def write_findings_html(path: Path, result: CheckResult, on_picture: Callable[[int, int], None] | None = None) -> None:
    """Write the HTML report of the check `result` of a layout file to `path`;
    `on_picture(done, total)` follows the drawing."""
    if result.layout is None:
        raise ValueError("an HTML report draws the layout's file: this check has none")
    pictures = FindingPictures(result.layout, result.cell)
    to_draw = min(MAX_PICTURES, sum(1 for finding in result.findings if finding.markers))
    sections: list[str] = []
    drawn = 0
    for category, count in result.counts.items():
        sections.append(f'<h2 id="{_anchor(category)}">{escape(category)} ({count})</h2>')
        for finding in (finding for finding in result.findings if finding.category == category):
            if not finding.markers:
                sections.append(_finding(finding, WHOLE_CELL))
            elif drawn < to_draw:
                drawn += 1
                if on_picture is not None:
                    on_picture(drawn, to_draw)
                sections.append(_finding(finding, _image(pictures.around(finding.markers), finding)))
            else:
                sections.append(_finding(finding, ""))
    whole_cell = pictures.whole_cell() if any(not finding.markers for finding in result.findings) else None
    path.write_text(_page(result, sections, whole_cell), encoding="utf-8")


def _page(result: CheckResult, sections: list[str], whole_cell: bytes | None) -> str:
    total = len(result.findings)
    layout, report = str(result.layout), str(result.report_file)
    verdict = "no findings" if total == 0 else f"{total} finding{'s' if total != 1 else ''}"
    rows = "".join(
        f"<tr><th>{escape(label)}</th><td>{escape(value)}</td></tr>"
        for label, value in (
            ("Layout", layout),
            ("Cell", result.cell),
            ("Reference netlist", str(result.reference)),
            ("Kit", result.kit.name + (" (the demo kit: the project names none)" if result.kit.fallback else "")),
            ("Report database", report),
            ("Checked by", result.generator),
            ("Exit status", str(result.exit_status)),
        )
    )
    counts = "".join(
        f'<tr><td><a href="#{_anchor(category)}">{escape(category)}</a></td><td>{count}</td></tr>'
        for category, count in result.counts.items()
    )
    undrawn = sum(1 for finding in result.findings if finding.markers) - MAX_PICTURES
    notes = "".join(f"<p><strong>Note:</strong> {escape(note)}</p>" for note in result.notes) + (
        f"<p><strong>Note:</strong> pictures are drawn for the first {MAX_PICTURES} findings with a place in the layout; "
        f"the other {undrawn} are listed with their texts and marker coordinates.</p>"
        if undrawn > 0
        else ""
    )
    # Findings with no place in the layout all show one picture of the whole cell, embedded once.
    whole_cell_style = (
        f".{WHOLE_CELL_CLASS} {{ width: {WIDTH}px; height: {HEIGHT}px; max-width: 100%; border: 1px solid #ddd; "
        f'background: url("data:image/png;base64,{base64.b64encode(whole_cell).decode("ascii")}") no-repeat; background-size: contain; }}'
        if whole_cell is not None
        else ""
    )
    viewer = (
        f'<p class="where">To inspect the findings interactively, open the report database in the '
        f'<a href="{VIEWER_URL}">KLayout</a> layout viewer: '
        f"<code>klayout {escape(layout)} -m {escape(report)}</code></p>"
    )
    return (
        f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        f"<title>{escape(result.title)}</title><style>{STYLE}{whole_cell_style}</style></head><body>\n"
        f'<h1>{escape(result.title)}: <span class="{"findings" if total else "clean"}">{verdict}</span></h1>\n'
        f"<table>{rows}</table>\n{notes}\n<h2>Summary</h2>\n<table>{counts}</table>\n{viewer}\n"
        + "\n".join(sections)
        + "\n</body></html>\n"
    )


def _image(png: bytes, finding: Finding) -> str:
    alt = escape(finding.texts[0] if finding.texts else finding.category)
    return f'<img src="data:image/png;base64,{base64.b64encode(png).decode("ascii")}" alt="{alt}">'


def _finding(finding: Finding, picture: str) -> str:
    texts = "".join(f"<p>{escape(text)}</p>" for text in finding.texts) or "<p>(no text)</p>"
    if not finding.markers:
        where = f"No place in the layout to mark; the whole cell {escape(finding.cell)} is shown."
    else:
        boxes = ", ".join(_box_text(box) for box in finding.markers)
        where = f"{'Marked in magenta' if picture else 'Marker'}: {boxes} in cell {escape(finding.cell)}"
    return f'<figure>{picture}<figcaption>{texts}<p class="where">{where}</p></figcaption></figure>'


def _box_text(box: Box) -> str:
    left, bottom, right, top = box
    return f"({left:g}, {bottom:g}) to ({right:g}, {top:g}) µm"


def _anchor(category: str) -> str:
    return "category-" + "".join(char if char.isalnum() else "-" for char in category)


def write_index(path: Path, outcomes: Sequence[CheckOutcome]) -> None:
    """Write the page listing the checks of one run, each linked to its page beside `path`."""
    rows = "".join(_index_row(path.parent, outcome) for outcome in outcomes)
    failed = sum(1 for outcome in outcomes if outcome.status)
    verdict = "all clean" if not failed else f"{failed} of {len(outcomes)} not clean"
    page = (
        f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>Layout checks</title>'
        f"<style>{STYLE}</style></head><body>\n"
        f'<h1>Layout checks: <span class="{"findings" if failed else "clean"}">{verdict}</span></h1>\n'
        f"<table><tr><th>Layout</th><th>Cell</th><th>Kit</th><th>Result</th></tr>{rows}</table>\n</body></html>\n"
    )
    path.write_text(page, encoding="utf-8")


def _index_row(directory: Path, outcome: CheckOutcome) -> str:
    result, page = outcome.result, outcome.job.html
    if result is None:
        return (
            f"<tr><td>{escape(str(outcome.job.layout))}</td><td></td><td></td>"
            f'<td class="findings">{escape(outcome.error or "")}</td></tr>'
        )
    total = len(result.findings)
    verdict = "no findings" if not total else f"{total} finding{'s' if total != 1 else ''}"
    if page is not None and page.parent == directory:
        verdict = f'<a href="{escape(page.name)}">{verdict}</a>'
    return (
        f"<tr><td>{escape(str(outcome.job.layout))}</td><td>{escape(result.cell)}</td><td>{escape(result.kit.name)}</td>"
        f'<td class="{"findings" if total else "clean"}">{verdict}</td></tr>'
    )
