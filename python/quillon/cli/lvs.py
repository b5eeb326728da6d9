"""``quillon lvs``: check a layout cell against its reference netlist.

    quillon lvs LAYOUT REFERENCE [LAYOUT REFERENCE ...] [--cell NAME] [-o REPORT] [--json FILE]
                [--html FILE] [--junit FILE] [--settings-tolerance TOL] [--kit NAME]
                [--threads N] [--project-dir DIR] [--verbose]

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

Several pairs of LAYOUT and REFERENCE are checked one after the other, with a
summary of each and a line counting them all; the exit status is the worst of
theirs (bad input of one pair does not stop the others), and ``-o``,
``--json`` and ``--html`` then name directories that receive one file per
layout (``index.html`` beside the HTML pages); a value that ends with a slash
names such a directory for one layout too, so a CI job need not count them. ``--junit FILE`` writes every
check as a test case of one JUnit XML file (:mod:`quillon.cli.lvs_junit`).

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
import time
import traceback
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

from quillon.checking import CHECK_STAGES, CheckError, CheckResult, first_line
from quillon.cli.progress import Progress
from quillon.klayout_output import quiet_klayout
from quillon.core.instance_settings import DEFAULT_TOLERANCE

__all__ = ["HELP", "InputError", "Job", "Outcome", "add_arguments", "check_files", "run"]

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
with several layouts, the highest status of their checks (130 stops them all)
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
    threads: int | None = None


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Declare the arguments of ``quillon lvs``."""
    parser.add_argument(
        "files",
        nargs="*",
        type=Path,
        metavar="LAYOUT REFERENCE",
        help="a GDS or OASIS file and the reference netlist (YAML) of its cell; several pairs check several layouts "
        "(omit them for the demo)",
    )
    parser.add_argument("-c", "--cell", help="cell to check (default: the layout's only top cell)")
    parser.add_argument(
        "-o",
        "--output",
        metavar="REPORT",
        help="report file (default: <cell>.lyrdb beside the layout); a directory (DIR/) writes <layout>.lyrdb into it, as for several layouts",
    )
    parser.add_argument(
        "--json", metavar="FILE", help="also write the findings as JSON (a directory with several layouts or DIR/)"
    )
    parser.add_argument(
        "--html",
        metavar="FILE",
        help="also write an HTML report with a picture of each finding (a directory with several layouts or DIR/, with index.html)",
    )
    parser.add_argument(
        "--junit",
        type=Path,
        metavar="FILE",
        help="also write JUnit XML: a test case per checked cell, a failure per finding",
    )
    parser.add_argument(
        "--settings-tolerance",
        type=float,
        default=DEFAULT_TOLERANCE,
        metavar="TOL",
        help=f"numbers in instance settings agree within TOL (default {DEFAULT_TOLERANCE}; integer settings exactly)",
    )
    parser.add_argument(
        "--kit",
        metavar="NAME",
        help="process design kit package to check with (default: the one the project's settings name)",
    )
    parser.add_argument(
        "--threads",
        type=int,
        metavar="N",
        help="cores the check may use (default: all); with two or more, the electrical stage of a large layout runs beside the rest",
    )
    parser.add_argument(
        "--project-dir",
        type=Path,
        metavar="DIR",
        help="project whose settings name the kit (default $QUILLON_PROJECT_DIR or the current directory)",
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="print the traceback of an internal error")
    parser.epilog = EXIT_STATUS_HELP
    parser.formatter_class = argparse.RawDescriptionHelpFormatter


@dataclass(frozen=True)
class Outcome:
    """How one check of a run ended: its result, or the line that says why it has none."""

    job: Job
    status: int
    seconds: float
    result: CheckResult | None = None
    error: str | None = None


def run(args: argparse.Namespace) -> int:
    """Run the checks; the exit status is the worst of theirs (see :data:`EXIT_STATUS_HELP`)."""
    verbose = bool(getattr(args, "verbose", False))
    try:
        jobs = _jobs(args)
        junit = getattr(args, "junit", None)
        if junit is not None:
            _check_writable("the JUnit report", junit)
        outcomes: list[Outcome] = []
        for number, job in enumerate(jobs, start=1):
            prefix = "quillon lvs" if len(jobs) == 1 else f"quillon lvs [{number}/{len(jobs)}] {job.layout.name}"
            if number > 1:
                _say("")
            outcomes.append(_run_one(job, prefix, verbose))
        if len(jobs) > 1:
            _say(_totals(outcomes))
        pages = args.html if args.html is not None and (len(jobs) > 1 or _names_directory(args.html)) else None
        if pages is not None:
            from quillon.cli.lvs_html import write_index

            _write_file(lambda: write_index(Path(pages) / "index.html", outcomes))
        if junit is not None:
            from quillon.cli.lvs_junit import write_junit

            _write_file(lambda: write_junit(junit, outcomes))
        return max(outcome.status for outcome in outcomes)
    except InputError as exc:
        print(f"quillon lvs: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("quillon lvs: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:  # anything else is a fault of the tool, never "findings"
        _internal_error(exc, verbose)
        return EXIT_INTERNAL_ERROR


def _run_one(job: Job, prefix: str, verbose: bool) -> Outcome:
    """Check one pair and print its summary, or the one line that says why it could not be checked."""
    started = time.monotonic()
    try:
        stages = STAGES + ((DRAWING,) if job.html else ())
        # KLayout's own error lines would come before the command's one line
        with quiet_klayout(not verbose), contextlib.closing(Progress(prefix, stages)) as progress:
            result = _check(job, progress)
        _say_summary(result, job)
        return Outcome(job, result.exit_status, time.monotonic() - started, result)
    except InputError as exc:
        print(f"quillon lvs: error: {exc}", file=sys.stderr)
        return Outcome(job, EXIT_BAD_INPUT, time.monotonic() - started, error=str(exc))
    except Exception as exc:  # anything else is a fault of the tool, never "findings"
        return Outcome(job, EXIT_INTERNAL_ERROR, time.monotonic() - started, error=_internal_error(exc, verbose))


def _internal_error(exc: Exception, verbose: bool) -> str:
    """Say on stderr, in one line (and the traceback when `verbose`), that the tool failed; return the line."""
    if verbose:
        traceback.print_exc()
    hint = "" if verbose else " (run again with --verbose for the traceback)"
    line = f"internal error: {type(exc).__name__}: {first_line(exc)}"
    print(f"quillon lvs: {line}{hint}", file=sys.stderr)
    return line


def _totals(outcomes: Sequence[Outcome]) -> str:
    """One line counting the checks by how they ended."""
    kinds = (
        (EXIT_CLEAN, "clean"),
        (EXIT_FINDINGS, "with findings"),
        (EXIT_BAD_INPUT, "bad input"),
        (EXIT_INTERNAL_ERROR, "internal error"),
    )
    counts = [
        f"{count} {label}" for status, label in kinds if (count := sum(1 for o in outcomes if o.status == status))
    ]
    return f"{len(outcomes)} checks: {', '.join(counts)}"


def _say_summary(result: CheckResult, job: Job) -> None:
    try:
        _print_summary(result, job)
    except BrokenPipeError:  # the reader stopped early (`quillon lvs ... | head`): the verdict stands
        _drop_stdout()


def _say(line: str) -> None:
    try:
        print(line)
    except BrokenPipeError:
        _drop_stdout()


def _drop_stdout() -> None:
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def _write_file(write: Callable[[], None]) -> None:
    try:
        write()
    except OSError as exc:
        raise InputError(f"cannot write {exc.filename!r}: {exc.strerror or first_line(exc)}") from None


def check_files(job: Job) -> CheckResult:
    """Run the check of ``job`` without a progress display, for callers other than the command."""
    with quiet_klayout(), contextlib.closing(Progress("quillon lvs", STAGES, stream=io.StringIO())) as progress:
        return _check(job, progress)


def _jobs(args: argparse.Namespace) -> list[Job]:
    """The checks the arguments ask for: the demo, or one per pair of files."""
    files = list(args.files)
    if len(files) % 2:
        if len(files) == 1:
            raise InputError("give both a layout and a reference netlist, or neither to run the demo")
        raise InputError(f"give a layout and its reference netlist for each check: {len(files)} files given")
    tolerance = args.settings_tolerance
    if not tolerance >= 0 or tolerance == float("inf"):
        raise InputError(f"--settings-tolerance must be a number of 0 or more, got {tolerance}")
    if args.threads is not None and args.threads < 1:
        raise InputError(f"--threads must be 1 or more, got {args.threads}")
    demo_run = not files
    if demo_run:
        from quillon import demo

        pairs = [(demo.LAYOUT, demo.REFERENCE)]
        project = (args.project_dir or demo.DIRECTORY).resolve()
        cell = args.cell or demo.CELL
    else:
        pairs = list(zip(files[::2], files[1::2]))
        project = (args.project_dir or Path(os.environ.get("QUILLON_PROJECT_DIR") or os.getcwd())).resolve()
        cell = args.cell
    several = len(pairs) > 1
    if several and cell is not None:
        raise InputError("--cell picks the cell of one layout: with several, each layout's only top cell is checked")
    # an output names a directory for several layouts, or when it ends with a slash
    outputs = {"-o": args.output, "--json": args.json, "--html": args.html}
    directories = {
        option: Path(given)
        for option, given in outputs.items()
        if given is not None and (several or _names_directory(given))
    }
    for option, directory in directories.items():
        _make_directory(option, directory)

    def target(option: str, name: str, suffix: str) -> Path | None:
        given = outputs[option]
        if given is None:
            return None
        return directories[option] / f"{name}{suffix}" if option in directories else Path(given)

    names = [cell] if cell is not None else _file_names([layout for layout, _ in pairs])
    return [
        Job(
            layout,
            reference,
            cell,
            target("-o", name, ".lyrdb") or (Path.cwd() / f"{name}.lyrdb" if demo_run else None),
            project,
            demo_run,
            json=target("--json", name, ".json"),
            html=target("--html", name, ".html"),
            settings_tolerance=tolerance,
            kit=args.kit,
            threads=args.threads,
        )
        for (layout, reference), name in zip(pairs, names)
    ]


def _names_directory(given: str) -> bool:
    return given.endswith(("/", os.sep))


def _make_directory(option: str, directory: Path) -> None:
    """The directory `option` names for several layouts, made when it does not exist yet."""
    if directory.exists() and not directory.is_dir():
        raise InputError(f"{option} {str(directory)!r} must be a directory when several layouts are checked")
    try:
        directory.mkdir(exist_ok=True)
    except OSError as exc:
        raise InputError(
            f"cannot make the directory {str(directory)!r} for {option}: {exc.strerror or first_line(exc)}"
        ) from None


def _file_names(layouts: Sequence[Path]) -> list[str]:
    """A file name per layout, its stem, numbered where two layouts share one."""
    names: list[str] = []
    for layout in layouts:
        name, number = layout.stem, 1
        while name in names:
            number += 1
            name = f"{layout.stem}-{number}"
        names.append(name)
    return names


def _in_directory(directory: Path | None, name: str, suffix: str) -> Path | None:
    return None if directory is None else directory / f"{name}{suffix}"


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
        threads=job.threads,
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
