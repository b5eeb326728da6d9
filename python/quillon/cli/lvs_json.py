"""``quillon lvs --json FILE``: the findings as one JSON document for CI pipelines.

The shape is described in the README ("Findings as JSON"); keep the two in step.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

from quillon.cli.lvs_findings import CheckRun, Finding, Findings

__all__ = ["findings_document", "write_findings_json"]


def findings_document(findings: Findings, run: CheckRun) -> dict[str, Any]:
    """The JSON document of one check."""
    return {
        "report": findings.name,
        "generator": run.generator,
        "layout": str(run.layout),
        "cell": run.cell,
        "reference": str(run.reference),
        "report_file": str(run.report),
        "exit_status": run.exit_status,
        "notes": list(run.notes),
        "counts": dict(findings.counts),
        "findings": [_finding(finding) for finding in findings.items],
    }


def _finding(finding: Finding) -> dict[str, Any]:
    entry: dict[str, Any] = {
        "category": finding.category,
        "kind": finding.kind,
        "cell": finding.cell,
        "texts": list(finding.texts),
        "markers": [list(box) for box in finding.markers],
    }
    if finding.distance is not None:
        entry["distance"] = finding.distance
    return entry


def write_findings_json(path: Path, findings: Findings, run: CheckRun) -> None:
    """Write the document to `path` (UTF-8, non-ASCII names kept as they are)."""
    text = json.dumps(findings_document(findings, run), indent=2, ensure_ascii=False)
    path.write_text(text + "\n", encoding="utf-8")
