"""``quillon lvs --junit FILE``: the checks of one run as JUnit XML, which CI systems show natively.

One ``<testsuite>`` named "quillon lvs" in a ``<testsuites>`` root; per checked
cell one ``<testcase>`` (its name the cell, its class name the layout file's
path with dots for slashes); per finding one ``<failure>`` whose message is
the finding's first text, whose type is its kind and whose body holds its
category, all its texts and its markers. A pair that could not be checked is a
test case with one ``<error>`` (type "bad input" or "internal error") holding
the line the command printed. The suite's ``failures`` and ``errors`` count
test cases, as most CI systems read them.
"""

from __future__ import annotations

import re
import socket
import xml.etree.ElementTree as ElementTree
from collections.abc import Sequence
from datetime import UTC, datetime
from pathlib import Path
from typing import TYPE_CHECKING

from quillon.findings import Finding

if TYPE_CHECKING:
    from quillon.cli.lvs_outcome import CheckOutcome

__all__ = ["SUITE", "write_junit"]

#: The name of the test suite (and of the whole report).
SUITE = "quillon lvs"
#: Characters XML 1.0 cannot hold, even escaped.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def write_junit(path: Path, outcomes: Sequence[CheckOutcome]) -> None:
    """Write the JUnit XML of `outcomes` (the checks of one run, in order) to `path`."""
    failed = sum(1 for outcome in outcomes if outcome.result is not None and not outcome.result.clean)
    errors = sum(1 for outcome in outcomes if outcome.result is None)
    seconds = sum(outcome.seconds for outcome in outcomes)
    counts = {"tests": str(len(outcomes)), "failures": str(failed), "errors": str(errors), "time": _seconds(seconds)}
    root = ElementTree.Element("testsuites", {"name": SUITE, **counts})
    suite = ElementTree.SubElement(
        root,
        "testsuite",
        {
            "name": SUITE,
            **counts,
            "skipped": "0",
            "timestamp": datetime.now(UTC).strftime("%Y-%m-%dT%H:%M:%S"),
            "hostname": socket.gethostname() or "localhost",
        },
    )
    for outcome in outcomes:
        _test_case(suite, outcome)
    ElementTree.indent(root)
    path.write_bytes(ElementTree.tostring(root, encoding="utf-8", xml_declaration=True) + b"\n")


def _test_case(suite: ElementTree.Element, outcome: CheckOutcome) -> None:
    result = outcome.result
    name = result.cell if result is not None else outcome.job.cell or outcome.job.layout.stem
    case = ElementTree.SubElement(
        suite,
        "testcase",
        {"name": _text(name), "classname": _class_name(outcome.job.layout), "time": _seconds(outcome.seconds)},
    )
    if result is None:
        kind = "internal error" if (outcome.error or "").startswith("internal error") else "bad input"
        error = ElementTree.SubElement(case, "error", {"message": _text(outcome.error or kind), "type": kind})
        error.text = _text(outcome.error or kind)
        return
    for finding in result.findings:
        message = finding.texts[0] if finding.texts else finding.category
        failure = ElementTree.SubElement(
            case, "failure", {"message": _text(message), "type": finding.kind or finding.category}
        )
        failure.text = _text(_failure_body(finding))
    lines = [
        f"layout: {outcome.job.layout}",
        f"reference: {outcome.job.reference}",
        f"kit: {result.kit.name}{' (the demo kit: the project names none)' if result.kit.fallback else ''}",
        f"report: {result.report_file}",
        *(f"Note: {note}" for note in result.notes),
    ]
    ElementTree.SubElement(case, "system-out").text = _text("\n".join(lines))


def _failure_body(finding: Finding) -> str:
    markers = "; ".join(
        f"({left:g}, {bottom:g}) to ({right:g}, {top:g}) µm" for left, bottom, right, top in finding.markers
    )
    where = f"marked at {markers} in cell {finding.cell}" if markers else f"no place in cell {finding.cell} to mark"
    return "\n".join((f"{finding.category} ({finding.kind})", *finding.texts, where))


def _class_name(layout: Path) -> str:
    """The layout's path without its suffix, as a dotted name (CI systems group test cases by its parts)."""
    parts = [part.replace(".", "_") for part in layout.with_suffix("").parts if part not in ("/", "..", ".")]
    return _text(".".join(parts) or layout.name)


def _seconds(seconds: float) -> str:
    return f"{seconds:.3f}"


def _text(text: str) -> str:
    """`text` without the characters XML cannot hold."""
    return _NOT_XML.sub("\ufffd", text)
