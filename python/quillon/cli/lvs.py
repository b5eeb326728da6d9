"""``quillon lvs``: check a layout cell against its reference netlist.

    quillon lvs LAYOUT REFERENCE [--cell NAME] [-o REPORT] [--json FILE] [--html FILE]
                [--settings-tolerance TOL] [--kit NAME] [--project-dir DIR] [--verbose]

reads the GDS or OASIS file LAYOUT, checks the cell NAME (default: the file's
only top cell) against the reference netlist REFERENCE (YAML), writes the
report database (default ``<cell>.lyrdb`` beside the layout) and, when asked,
the findings as JSON (:meth:`quillon.checking.CheckResult.to_json`) and as an
HTML page with pictures (:mod:`quillon.cli.lvs_html`), prints a summary per
category and exits with 0 when the layout matches, 1 when there are findings,
2 on bad input and 3 on an internal error (one line; ``--verbose`` adds the
traceback). Numbers in instance settings agree within
``--settings-tolerance``. Cells of a layout saved without its context
information take their ports and settings from the kit's cells of their names
(:mod:`quillon.core.kit_cells`). The kit is the package ``--kit`` names, else the one
the project settings of DIR name (default ``$QUILLON_PROJECT_DIR`` or the
current directory), else the demo kit, which the summary then says. The check
itself is :func:`quillon.check`. On a terminal the stages of a long check show
on one line of stderr (:mod:`quillon.cli.progress`).

Without LAYOUT and REFERENCE it runs the bundled demo (:mod:`quillon.demo`),
whose layout departs from its reference in every way the check reports, and
writes the report into the current directory.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import traceback
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from quillon.checking import CHECK_STAGES, CheckError, CheckResult, first_line
from quillon.cli.progress import Progress
from quillon.core.instance_settings import DEFAULT_TOLERANCE

__all__ = ["HELP", "InputError", "Job", "add_arguments", "check_files", "run"]

HELP = "Check a layout cell against its reference netlist (without arguments: the bundled demo)."

#: Items printed per category; the report holds all of them.
SHOWN_ITEMS = 3

EXIT_CLEAN, EXIT_FINDINGS, EXIT_BAD_INPUT, EXIT_INTERNAL_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 3, 130

EXIT_STATUS_HELP = """exit status:
    0  the layout matches its reference netlist
    1  findings: the layout departs from its reference (see the summary and the report)
    2  bad input: one line on stderr says what is wrong
    3  internal error: one line on stderr; --verbose prints the traceback
  130  interrupted (Ctrl-C)
"""

#: What the command does, in order, as the progress display counts it.
STAGES = (*CHECK_STAGES, "writing the report")
#: The stage the HTML report adds.
DRAWING = "drawing the pictures"

#: Bad input: reported as one line on stderr, exit status 2.
InputError = CheckError


@dataclass(frozen=True)
class Job:
    """What one run checks and where it writes."""

    layout: Path
    reference: Path
    cell: str | None
    report: Path | None
    project: Path
    demo: bool
    json: Path | None = None
    html: Path | None = None
    settings_tolerance: float = DEFAULT_TOLERANCE
    kit: str | None = None


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Declare the arguments of ``quillon lvs``."""
    parser.add_argument("layout", nargs="?", type=Path, help="GDS or OASIS file (omit both files for the demo)")
    parser.add_argument("reference", nargs="?", type=Path, help="reference netlist of the cell (YAML)")
    parser.add_argument("-c", "--cell", help="cell to check (default: the layout's only top cell)")
    parser.add_argument("-o", "--output", type=Path, metavar="REPORT", help="report file (default: <cell>.lyrdb beside the layout)")
    parser.add_argument("--json", type=Path, metavar="FILE", help="also write the findings as JSON (for CI pipelines)")
    parser.add_argument("--html", type=Path, metavar="FILE", help="also write an HTML report with a picture of each finding")
    parser.add_argument(
        "--settings-tolerance",
        type=float,
        default=DEFAULT_TOLERANCE,
        metavar="TOL",
        help=f"numbers in instance settings agree within TOL (default {DEFAULT_TOLERANCE}; integer settings exactly)",
    )
    parser.add_argument("--kit", metavar="NAME", help="process design kit package to check with (default: the one the project's settings name)")
    parser.add_argument(
        "--project-dir", type=Path, metavar="DIR", help="project whose settings name the kit (default $QUILLON_PROJECT_DIR or the current directory)"
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="print the traceback of an internal error")
    parser.epilog = EXIT_STATUS_HELP
    parser.formatter_class = argparse.RawDescriptionHelpFormatter


def run(args: argparse.Namespace) -> int:
    """Run the check; the exit status is one of those of :data:`EXIT_STATUS_HELP`."""
    try:
        job = _job(args)
        stages = STAGES + ((DRAWING,) if job.html else ())
        with contextlib.closing(Progress("quillon lvs", stages)) as progress:
            result = _check(job, progress)
        try:
            _print_summary(result, job)
        except BrokenPipeError:  # the reader stopped early (`quillon lvs ... | head`): the verdict stands
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return result.exit_status
    except InputError as exc:
        print(f"quillon lvs: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("quillon lvs: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:  # anything else is a fault of the tool, never "findings"
        if getattr(args, "verbose", False):
            traceback.print_exc()
        hint = "" if getattr(args, "verbose", False) else " (run again with --verbose for the traceback)"
        print(f"quillon lvs: internal error: {type(exc).__name__}: {first_line(exc)}{hint}", file=sys.stderr)
        return EXIT_INTERNAL_ERROR


def check_files(job: Job) -> CheckResult:
    """Run the check of ``job`` without a progress display, for callers other than the command."""
    with contextlib.closing(Progress("quillon lvs", STAGES, stream=io.StringIO())) as progress:
        return _check(job, progress)


def _job(args: argparse.Namespace) -> Job:
    if (args.layout is None) != (args.reference is None):
        raise InputError("give both a layout and a reference netlist, or neither to run the demo")
    tolerance = args.settings_tolerance
    if not tolerance >= 0 or tolerance == float("inf"):
        raise InputError(f"--settings-tolerance must be a number of 0 or more, got {tolerance}")
    if args.layout is None:
        from quillon import demo

        project = args.project_dir or demo.DIRECTORY
        output = args.output or Path.cwd() / f"{args.cell or demo.CELL}.lyrdb"
        return Job(demo.LAYOUT, demo.REFERENCE, args.cell or demo.CELL, output, project.resolve(), True, args.json, args.html, tolerance, args.kit)
    project = args.project_dir or Path(os.environ.get("QUILLON_PROJECT_DIR") or os.getcwd())
    return Job(args.layout, args.reference, args.cell, args.output, project.resolve(), False, args.json, args.html, tolerance, args.kit)


def _check(job: Job, progress: Progress) -> CheckResult:
    """Run the check and write the report files; bad input raises InputError."""
    from quillon.checking import check

    for what, path in (("the report", job.report), ("the JSON findings", job.json), ("the HTML report", job.html)):
        if path is not None:
            _check_writable(what, path)
    result = check(
        job.layout,
        job.reference,
        cell=job.cell,
        kit=job.kit,
        project=job.project,
        settings_tolerance=job.settings_tolerance,
        on_stage=progress.stage,
    )
    progress.stage("writing the report")
    result.save(job.report or job.layout.parent / f"{result.cell}.lyrdb")
    _write_findings_files(result, job, progress)
    return result


def _check_writable(what: str, path: Path) -> None:
    """A file can be written at `path` as far as can be told before the check runs."""
    if path.is_dir():
        raise InputError(f"cannot write {what} {str(path)!r}: it is a directory")
    if not path.parent.is_dir():
        raise InputError(f"cannot write {what} {str(path)!r}: no such directory")


def _write_findings_files(result: CheckResult, job: Job, progress: Progress) -> None:
    """The JSON and HTML files asked for, written from the result."""
    try:
        if job.json is not None:
            job.json.write_text(result.to_json() + "\n", encoding="utf-8")
        if job.html is not None:
            from quillon.cli.lvs_html import write_findings_html

            write_findings_html(job.html, result, lambda done, total: progress.stage(DRAWING, f" {done}/{total}"))
    except OSError as exc:
        raise InputError(f"cannot write {exc.filename!r}: {exc.strerror or first_line(exc)}") from None


def _print_summary(result: CheckResult, job: Job) -> None:
    """Per category: its number of items and the first few, then where the files are."""
    total = len(result.findings)
    print(f"{result.title}: {'no findings' if total == 0 else f'{total} finding' + ('s' if total != 1 else '')}")
    print(f"Kit: {result.kit.name}{' (the demo kit: the project names none)' if result.kit.fallback else ''}")
    for note in result.notes:
        print(f"Note: {note}")
    for category, count in result.counts.items():
        print(f"  {category}: {count}")
        for finding in [finding for finding in result.findings if finding.category == category][:SHOWN_ITEMS]:
            print(f"    {'; '.join(finding.texts) or '(no text)'}")
        if count > SHOWN_ITEMS:
            print(f"    ... and {count - SHOWN_ITEMS} more")
    print(f"Report: {result.report_file}")
    for label, path in (("JSON", job.json), ("HTML", job.html)):
        if path is not None:
            print(f"{label}: {path}")
    if total or job.demo:
        print(f"Open it in KLayout: klayout {_shell_word(job.layout)} -m {_shell_word(result.report_file)}")


def _shell_word(path: Path) -> str:
    import shlex

    return shlex.quote(str(path))


def main(argv: Sequence[str] | None = None) -> int:
    """``python -m quillon.cli.lvs``: the subcommand on its own."""
    parser = argparse.ArgumentParser(prog="quillon lvs", description=HELP)
    add_arguments(parser)
    return run(parser.parse_args(argv))


if __name__ == "__main__":
    raise SystemExit(main())
