"""``quillon lvs``: check a layout cell against its reference netlist.

    quillon lvs LAYOUT REFERENCE [--cell NAME] [-o REPORT] [--json FILE] [--html FILE]
                [--settings-tolerance TOL] [--project-dir DIR] [--verbose]

reads the GDS or OASIS file LAYOUT, checks the cell NAME (default: the file's
only top cell) against the reference netlist REFERENCE (YAML), writes the
report database (default ``<cell>.lyrdb`` beside the layout) and, when asked,
the findings as JSON (:mod:`quillon.cli.lvs_json`) and as an HTML page with
pictures (:mod:`quillon.cli.lvs_html`), prints a summary per category and
exits with 0 when the layout matches, 1 when there are findings, 2 on bad
input and 3 on an internal error (one line; ``--verbose`` adds the
traceback). Numbers in instance settings agree within ``--settings-tolerance``.
Cells of a layout saved without its context information take their ports and
settings from the kit's cells of their names (:mod:`quillon.core.kit_cells`). The kit comes from the project settings of DIR (default
``$QUILLON_PROJECT_DIR`` or the current directory). On a terminal the stages
of a long check show on one line of stderr (:mod:`quillon.cli.progress`).

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
from typing import Any

from quillon.cli.progress import Progress
from quillon.core.instance_settings import DEFAULT_TOLERANCE

__all__ = ["HELP", "Job", "Outcome", "add_arguments", "check_files", "run"]

HELP = "Check a layout cell against its reference netlist (without arguments: the bundled demo)."

#: Items printed per category; the report holds all of them.
SHOWN_ITEMS = 3

#: The top-level entries every reference netlist has.
REFERENCE_ENTRIES = ("instances", "connections", "routes", "nets", "ports")

EXIT_CLEAN, EXIT_FINDINGS, EXIT_BAD_INPUT, EXIT_INTERNAL_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 3, 130

EXIT_STATUS_HELP = """exit status:
    0  the layout matches its reference netlist
    1  findings: the layout departs from its reference (see the summary and the report)
    2  bad input: one line on stderr says what is wrong
    3  internal error: one line on stderr; --verbose prints the traceback
  130  interrupted (Ctrl-C)
"""

#: What the command does, in order, as the progress display counts it.
STAGES = (
    "reading the layout",
    "activating the kit",
    "loading the reference netlist",
    "extracting the layout netlist",
    "comparing the netlists",
    "recording the findings",
    "writing the report",
)
#: The stage the HTML report adds.
DRAWING = "drawing the pictures"
#: The stage names the check reports from inside its one native call.
CHECK_STAGES = {
    "reference": "loading the reference netlist",
    "extraction": "extracting the layout netlist",
    "difference": "comparing the netlists",
    "findings": "recording the findings",
}


class InputError(Exception):
    """Bad input: reported as one line on stderr, exit status 2."""


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


@dataclass(frozen=True)
class Outcome:
    """A finished check: its report database and where its files went."""

    rdb: Any
    report: Path
    cell: str
    exit_status: int
    notes: tuple[str, ...]


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
            outcome = _check(job, progress)
        try:
            _print_summary(outcome, job)
        except BrokenPipeError:  # the reader stopped early (`quillon lvs ... | head`): the verdict stands
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return outcome.exit_status
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
        print(f"quillon lvs: internal error: {type(exc).__name__}: {_first_line(exc)}{hint}", file=sys.stderr)
        return EXIT_INTERNAL_ERROR


def check_files(job: Job) -> Outcome:
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
        return Job(demo.LAYOUT, demo.REFERENCE, args.cell or demo.CELL, output, project.resolve(), True, args.json, args.html, tolerance)
    project = args.project_dir or Path(os.environ.get("QUILLON_PROJECT_DIR") or os.getcwd())
    return Job(args.layout, args.reference, args.cell, args.output, project.resolve(), False, args.json, args.html, tolerance)


def _check(job: Job, progress: Progress) -> Outcome:
    """Read the inputs, run the check and write the report files; bad input raises InputError."""
    progress.stage("reading the layout")
    cell = _read_cell(job.layout, job.cell)
    _check_reference(job.reference)
    report = job.report or job.layout.parent / f"{cell.name}.lyrdb"
    for what, path in (("the report", report), ("the JSON findings", job.json), ("the HTML report", job.html)):
        if path is not None:
            _check_writable(what, path)
    notes = [note for note in (_unnamed_instances_note(cell),) if note]
    rdb = _run_check(cell, job, progress, notes)
    _label_report(rdb, job, cell.name)
    progress.stage("writing the report")
    try:
        rdb.save(str(report))
    except (OSError, RuntimeError) as exc:
        raise InputError(f"cannot write the report {str(report)!r}: {_first_line(exc)}") from None
    outcome = Outcome(rdb, report, cell.name, EXIT_FINDINGS if rdb.num_items() else EXIT_CLEAN, tuple(notes))
    _write_findings_files(outcome, job, progress)
    return outcome


def _check_writable(what: str, path: Path) -> None:
    """A file can be written at `path` as far as can be told before the check runs."""
    if path.is_dir():
        raise InputError(f"cannot write {what} {str(path)!r}: it is a directory")
    if not path.parent.is_dir():
        raise InputError(f"cannot write {what} {str(path)!r}: no such directory")


def _label_report(rdb: Any, job: Job, cell_name: str) -> None:
    """The report's header: what it is, what wrote it, and the layout and cell it is about."""
    rdb.description = f"Layout-versus-schematic check of cell {cell_name} against {job.reference.name}"
    rdb.generator = _generator()
    rdb.original_file = str(job.layout.resolve())
    rdb.top_cell_name = cell_name


def _generator() -> str:
    import quillon

    return f"quillon {quillon.__version__}"


def _write_findings_files(outcome: Outcome, job: Job, progress: Progress) -> None:
    """The JSON and HTML files asked for, written from the report database."""
    if job.json is None and job.html is None:
        return
    from quillon.cli.lvs_findings import CheckRun, read_findings

    findings = read_findings(outcome.rdb)
    run = CheckRun(job.layout.resolve(), outcome.cell, job.reference.resolve(), outcome.report.resolve(), _generator(), outcome.exit_status, outcome.notes)
    try:
        if job.json is not None:
            from quillon.cli.lvs_json import write_findings_json

            write_findings_json(job.json, findings, run)
        if job.html is not None:
            from quillon.cli.lvs_html import write_findings_html

            write_findings_html(job.html, findings, run, lambda done, total: progress.stage(DRAWING, f" {done}/{total}"))
    except OSError as exc:
        raise InputError(f"cannot write {exc.filename!r}: {exc.strerror or _first_line(exc)}") from None


def _unnamed_instances_note(cell: Any) -> str | None:
    """Why every instance is missing when a layout's instances carry no names (lost on the way to GDS)."""
    from quillon.core.lvs import PROPID

    layout_cell = cell.kdb_cell
    if layout_cell.child_instances() == 0:
        return None
    # an instance without properties has the property id 0, which is far cheaper to read than a property
    if any(instance.prop_id and instance.property(PROPID.NAME) is not None for instance in layout_cell.each_inst()):
        return None
    return (
        f"the layout has no named instances, so none can be matched by name: the check reads an instance's name from "
        f"its property {int(PROPID.NAME)} (PROPID.NAME), which the kit writes when it places the instance; "
        "keep instance properties when the layout is written to GDS"
    )


def _check_reference(path: Path) -> None:
    """The reference must be a readable YAML mapping with the netlist entries."""
    import yaml

    from quillon.core.lvs import _safe_load
    from quillon.yaml_bounded import YamlExpansionError

    from quillon.files import read_regular

    if path.is_dir():
        raise InputError(f"reference netlist {str(path)!r} is a directory, not a file")
    try:
        # only a regular file: a named pipe would block the check for ever
        text = io.TextIOWrapper(io.BytesIO(read_regular(path))).read()  # as open() reads it
    except FileNotFoundError:
        raise InputError(f"reference netlist {str(path)!r} does not exist") from None
    except OSError as exc:  # no errno text: the one refusal of its own, not a regular file
        raise InputError(f"cannot read reference netlist {str(path)!r}: {exc.strerror or 'not a regular file'}") from None
    except UnicodeDecodeError as exc:
        raise InputError(f"cannot read reference netlist {str(path)!r}: {_first_line(exc)}") from None
    try:
        # read as the check reads it: natively, a fraction of the time of walking the parser's events
        data = _safe_load(text, str(path))
    except YamlExpansionError as exc:
        raise InputError(f"reference netlist {str(path)!r} is refused: {_first_line(exc)}") from None
    except yaml.YAMLError as exc:
        where = getattr(exc, "problem_mark", None)
        line = f" at line {where.line + 1}" if where is not None else ""
        problem = getattr(exc, "problem", None) or _first_line(exc)
        raise InputError(f"reference netlist {str(path)!r} is not valid YAML{line}: {problem}") from None
    if not isinstance(data, dict):
        raise InputError(f"reference netlist {str(path)!r} is not a netlist: expected a mapping with {', '.join(REFERENCE_ENTRIES)}")
    missing = [entry for entry in REFERENCE_ENTRIES if entry not in data]
    if missing:
        raise InputError(f"reference netlist {str(path)!r} lacks the entr{'y' if len(missing) == 1 else 'ies'} {', '.join(missing)}")


def _read_cell(path: Path, name: str | None) -> Any:
    """The cell to check, read with its ports and instance names into a library of its own."""
    import cellgrid as cg

    if path.is_dir():
        raise InputError(f"layout {str(path)!r} is a directory, not a layout file")
    if not path.is_file():
        raise InputError(f"layout {str(path)!r} does not exist")
    kcl = cg.KCLayout(f"lvs:{path.name}")
    try:
        tops = kcl.read(path)
    except (OSError, ValueError, RuntimeError) as exc:
        raise InputError(f"cannot read layout {str(path)!r}: {_first_line(exc)}") from None
    if not tops:
        raise InputError(f"layout {str(path)!r} has no cells")
    if name is not None:
        if name not in kcl.dkcells:
            shown = ", ".join(sorted(cell.name for cell in tops)) or "none"
            raise InputError(f"layout {str(path)!r} has no cell {name!r} (top cells: {shown})")
        return kcl.dkcells[name]
    if len(tops) != 1:
        shown = ", ".join(sorted(cell.name for cell in tops)) or "none"
        raise InputError(f"layout {str(path)!r} has {len(tops)} top cells ({shown}): choose one with --cell")
    return tops[0]


def _run_check(cell: Any, job: Job, progress: Progress, notes: list[str]) -> Any:
    """optical_lvs with the kit of the project's settings; the check's notes are added to `notes`."""
    import yaml

    from quillon.core.shared import PdkNotFoundError, activate_pdk_by_name
    from quillon.settings import PROJECT_DIR_ENV, SettingsError, get_settings

    if not job.project.is_dir():
        raise InputError(f"project directory {str(job.project)!r} does not exist")
    progress.stage("activating the kit")
    try:
        kit = activate_pdk_by_name(get_settings(job.project).pdk.name)
    except (SettingsError, PdkNotFoundError) as exc:
        raise InputError(_first_line(exc)) from None
    except ImportError as exc:
        raise InputError(f"cannot load the process design kit: {_first_line(exc)}") from None
    _name_kit_layers(cell.kcl, kit)
    notes.extend(_restored_from_kit_note(cell.kcl, kit))

    previous = os.environ.get(PROJECT_DIR_ENV)
    os.environ[PROJECT_DIR_ENV] = str(job.project)
    try:
        from quillon.core import lvs

        with progress.native_stages(lvs, CHECK_STAGES):
            return lvs.optical_lvs(cell, str(job.reference), settings_tolerance=job.settings_tolerance, notes=notes)
    except (ValueError, yaml.YAMLError) as exc:  # a malformed netlist, layers the kit does not know
        raise InputError(f"cannot check cell {cell.name!r}: {_first_line(exc)}") from None
    finally:
        if previous is None:
            os.environ.pop(PROJECT_DIR_ENV, None)
        else:
            os.environ[PROJECT_DIR_ENV] = previous


def _restored_from_kit_note(kcl: Any, kit: Any) -> list[str]:
    """Cells that lost their ports and settings take them from the kit's cells of their names."""
    from quillon.core.kit_cells import restore_kit_cells

    restored = restore_kit_cells(kcl, kit)
    if not restored:
        return []
    shown = ", ".join(restored[:10]) + (f" and {len(restored) - 10} more" if len(restored) > 10 else "")
    count = f"{len(restored)} cell{'s' if len(restored) != 1 else ''}"
    return [
        f"the layout was written without KLayout's context information, which keeps each cell's ports and settings: "
        f"{count} took them from the cells of the same name the kit builds ({shown})"
    ]


def _name_kit_layers(kcl: Any, kit: Any) -> None:
    """Teach the library the kit's layer names.

    A file written by another tool may carry its layers by number only; the
    check names the kit's connectivity layers, so the names must lead to the
    numbered layers that hold the metal.
    """
    layers = getattr(kit, "layers", None) or {}
    try:
        kcl.register_layers(layers)
    except (TypeError, ValueError) as exc:
        raise InputError(f"the layers of kit {getattr(kit, 'name', '?')!r} do not fit the layout: {_first_line(exc)}") from None


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _print_summary(outcome: Outcome, job: Job) -> None:
    """Per category: its number of items and the first few, then where the files are."""
    from quillon.cli.lvs_findings import read_findings

    findings = read_findings(outcome.rdb)
    total = len(findings.items)
    print(f"{findings.name}: {'no findings' if total == 0 else f'{total} finding' + ('s' if total != 1 else '')}")
    for note in outcome.notes:
        print(f"Note: {note}")
    for category, count in findings.counts.items():
        print(f"  {category}: {count}")
        for finding in findings.of(category)[:SHOWN_ITEMS]:
            print(f"    {'; '.join(finding.texts) or '(no text)'}")
        if count > SHOWN_ITEMS:
            print(f"    ... and {count - SHOWN_ITEMS} more")
    print(f"Report: {outcome.report}")
    for label, path in (("JSON", job.json), ("HTML", job.html)):
        if path is not None:
            print(f"{label}: {path}")
    if total or job.demo:
        print(f"Open it in KLayout: klayout {_shell_word(job.layout)} -m {_shell_word(outcome.report)}")


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
