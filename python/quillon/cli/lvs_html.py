"""``quillon lvs --html FILE``: a report a reviewer can read in any browser.

One self-contained file: what was checked, the number of findings per
category, then per finding its texts and a picture of its neighbourhood with
its markers drawn (the whole cell for a finding with no place in the layout).
Pictures are embedded as PNG data, so the file can be mailed or archived alone.
"""

from __future__ import annotations

import base64
from collections.abc import Callable
from html import escape
from pathlib import Path

from quillon.cli.finding_pictures import FindingPictures
from quillon.cli.lvs_findings import Box, CheckRun, Finding, Findings

__all__ = ["VIEWER_URL", "write_findings_html"]

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


def write_findings_html(path: Path, findings: Findings, run: CheckRun, on_picture: Callable[[int, int], None] | None = None) -> None:
    """Write the HTML report of `findings` to `path`; `on_picture(done, total)` follows the rendering."""
    pictures = FindingPictures(run.layout, run.cell)
    sections: list[str] = []
    done = 0
    for category, count in findings.counts.items():
        sections.append(f'<h2 id="{_anchor(category)}">{escape(category)} ({count})</h2>')
        for finding in findings.of(category):
            done += 1
            if on_picture is not None:
                on_picture(done, len(findings.items))
            sections.append(_finding(finding, pictures.around(finding.markers)))
    path.write_text(_page(findings, run, sections), encoding="utf-8")


def _page(findings: Findings, run: CheckRun, sections: list[str]) -> str:
    total = len(findings.items)
    verdict = "no findings" if total == 0 else f"{total} finding{'s' if total != 1 else ''}"
    rows = "".join(
        f"<tr><th>{escape(label)}</th><td>{escape(value)}</td></tr>"
        for label, value in (
            ("Layout", str(run.layout)),
            ("Cell", run.cell),
            ("Reference netlist", str(run.reference)),
            ("Report database", str(run.report)),
            ("Checked by", run.generator),
            ("Exit status", str(run.exit_status)),
        )
    )
    counts = "".join(
        f'<tr><td><a href="#{_anchor(category)}">{escape(category)}</a></td><td>{count}</td></tr>'
        for category, count in findings.counts.items()
    )
    notes = "".join(f"<p><strong>Note:</strong> {escape(note)}</p>" for note in run.notes)
    viewer = (
        f'<p class="where">To inspect the findings interactively, open the report database in the '
        f'<a href="{VIEWER_URL}">KLayout</a> layout viewer: '
        f"<code>klayout {escape(str(run.layout))} -m {escape(str(run.report))}</code></p>"
    )
    return (
        f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        f"<title>{escape(findings.name)}</title><style>{STYLE}</style></head><body>\n"
        f'<h1>{escape(findings.name)}: <span class="{"findings" if total else "clean"}">{verdict}</span></h1>\n'
        f"<table>{rows}</table>\n{notes}\n<h2>Summary</h2>\n<table>{counts}</table>\n{viewer}\n"
        + "\n".join(sections)
        + "\n</body></html>\n"
    )


def _finding(finding: Finding, png: bytes) -> str:
    texts = "".join(f"<p>{escape(text)}</p>" for text in finding.texts) or "<p>(no text)</p>"
    where = (
        f"Marked in magenta: {', '.join(_box_text(box) for box in finding.markers)} in cell {escape(finding.cell)}"
        if finding.markers
        else f"No place in the layout to mark; the whole cell {escape(finding.cell)} is shown."
    )
    image = base64.b64encode(png).decode("ascii")
    return (
        f'<figure><img src="data:image/png;base64,{image}" alt="{escape(finding.texts[0] if finding.texts else finding.category)}">'
        f'<figcaption>{texts}<p class="where">{where}</p></figcaption></figure>'
    )


def _box_text(box: Box) -> str:
    left, bottom, right, top = box
    return f"({left:g}, {bottom:g}) to ({right:g}, {top:g}) µm"


def _anchor(category: str) -> str:
    return "category-" + "".join(char if char.isalnum() else "-" for char in category)
