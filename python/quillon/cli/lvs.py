"""``quillon lvs``: check a layout cell against its reference netlist.

    quillon lvs LAYOUT REFERENCE [--cell NAME] [-o REPORT] [--project-dir DIR]

reads the GDS or OASIS file LAYOUT, checks the cell NAME (default: the file's
only top cell) against the reference netlist REFERENCE (YAML), writes the
report database (default ``<cell>.lyrdb`` beside the layout), prints a summary
per category and exits with 0 when the layout matches, 1 when there are
findings and 2 on bad input. The kit comes from the project settings of DIR
(default ``$QUILLON_PROJECT_DIR`` or the current directory).

Without LAYOUT and REFERENCE it runs the bundled demo (:mod:`quillon.demo`),
whose layout departs from its reference in every way the check reports, and
writes the report into the current directory.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

__all__ = ["HELP", "add_arguments", "run"]

HELP = "Check a layout cell against its reference netlist (without arguments: the bundled demo)."

#: Items printed per category; the report holds all of them.
SHOWN_ITEMS = 3

#: The top-level entries every reference netlist has.
REFERENCE_ENTRIES = ("instances", "connections", "routes", "nets", "ports")


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


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Declare the arguments of ``quillon lvs``."""
    parser.add_argument("layout", nargs="?", type=Path, help="GDS or OASIS file (omit both files for the demo)")
    parser.add_argument("reference", nargs="?", type=Path, help="reference netlist of the cell (YAML)")
    parser.add_argument("-c", "--cell", help="cell to check (default: the layout's only top cell)")
    parser.add_argument("-o", "--output", type=Path, metavar="REPORT", help="report file (default: <cell>.lyrdb beside the layout)")
    parser.add_argument(
        "--project-dir", type=Path, metavar="DIR", help="project whose settings name the kit (default $QUILLON_PROJECT_DIR or the current directory)"
    )


def run(args: argparse.Namespace) -> int:
    """Run the check; 0 when clean, 1 with findings, 2 on bad input."""
    try:
        job = _job(args)
        rdb, report = _check(job)
    except InputError as exc:
        print(f"quillon lvs: error: {exc}", file=sys.stderr)
        return 2
    _print_summary(rdb, report, job)
    return 1 if rdb.num_items() else 0


def _job(args: argparse.Namespace) -> Job:
    if (args.layout is None) != (args.reference is None):
        raise InputError("give both a layout and a reference netlist, or neither to run the demo")
    if args.layout is None:
        from quillon import demo

        project = args.project_dir or demo.DIRECTORY
        output = args.output or Path.cwd() / f"{args.cell or demo.CELL}.lyrdb"
        return Job(demo.LAYOUT, demo.REFERENCE, args.cell or demo.CELL, output, project.resolve(), True)
    project = args.project_dir or Path(os.environ.get("QUILLON_PROJECT_DIR") or os.getcwd())
    return Job(args.layout, args.reference, args.cell, args.output, project.resolve(), False)


def _check(job: Job) -> tuple[Any, Path]:
    """Read the inputs, run the check and save the report; bad input raises InputError."""
    cell = _read_cell(job.layout, job.cell)
    _check_reference(job.reference)
    report = job.report or job.layout.parent / f"{cell.name}.lyrdb"
    if not report.parent.is_dir():
        raise InputError(f"cannot write the report {str(report)!r}: no such directory")
    rdb = _run_check(cell, job)
    try:
        rdb.save(str(report))
    except (OSError, RuntimeError) as exc:
        raise InputError(f"cannot write the report {str(report)!r}: {_first_line(exc)}") from None
    return rdb, report


def _check_reference(path: Path) -> None:
    """The reference must be a readable YAML mapping with the netlist entries."""
    import yaml

    try:
        text = path.read_text()
    except FileNotFoundError:
        raise InputError(f"reference netlist {str(path)!r} does not exist") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"cannot read reference netlist {str(path)!r}: {_first_line(exc)}") from None
    try:
        data = yaml.safe_load(text)
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

    if not path.is_file():
        raise InputError(f"layout {str(path)!r} does not exist")
    kcl = cg.KCLayout(f"lvs:{path.name}")
    try:
        tops = kcl.read(path)
    except (OSError, ValueError, RuntimeError) as exc:
        raise InputError(f"cannot read layout {str(path)!r}: {_first_line(exc)}") from None
    if name is not None:
        if name not in kcl.dkcells:
            shown = ", ".join(sorted(cell.name for cell in tops)) or "none"
            raise InputError(f"layout {str(path)!r} has no cell {name!r} (top cells: {shown})")
        return kcl.dkcells[name]
    if len(tops) != 1:
        shown = ", ".join(sorted(cell.name for cell in tops)) or "none"
        raise InputError(f"layout {str(path)!r} has {len(tops)} top cells ({shown}): choose one with --cell")
    return tops[0]


def _run_check(cell: Any, job: Job) -> Any:
    """optical_lvs with the kit of the project's settings."""
    from quillon.core.shared import PdkNotFoundError, activate_pdk_by_name
    from quillon.settings import PROJECT_DIR_ENV, SettingsError, get_settings

    if not job.project.is_dir():
        raise InputError(f"project directory {str(job.project)!r} does not exist")
    try:
        kit = activate_pdk_by_name(get_settings(job.project).pdk.name)
    except (SettingsError, PdkNotFoundError) as exc:
        raise InputError(_first_line(exc)) from None
    except ImportError as exc:
        raise InputError(f"cannot load the process design kit: {_first_line(exc)}") from None
    _name_kit_layers(cell.kcl, kit)

    previous = os.environ.get(PROJECT_DIR_ENV)
    os.environ[PROJECT_DIR_ENV] = str(job.project)
    try:
        from quillon.core.lvs import optical_lvs

        return optical_lvs(cell, str(job.reference))
    except (ValueError, KeyError) as exc:  # a malformed netlist, layers the kit does not know
        raise InputError(f"cannot check cell {cell.name!r}: {_first_line(exc)}") from None
    finally:
        if previous is None:
            os.environ.pop(PROJECT_DIR_ENV, None)
        else:
            os.environ[PROJECT_DIR_ENV] = previous


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


def _print_summary(rdb: Any, report: Path, job: Job) -> None:
    """Per category: its number of items and the first few, then where the report is."""
    items: dict[int, list[Any]] = {}
    for item in rdb.each_item():
        items.setdefault(item.category_id(), []).append(item)
    total = rdb.num_items()
    print(f"{rdb.name()}: {'no findings' if total == 0 else f'{total} finding' + ('s' if total != 1 else '')}")
    for category in rdb.each_category():
        found = items.get(category.rdb_id(), [])
        print(f"  {category.name()}: {len(found)}")
        for item in found[:SHOWN_ITEMS]:
            print(f"    {_describe(item)}")
        if len(found) > SHOWN_ITEMS:
            print(f"    ... and {len(found) - SHOWN_ITEMS} more")
    print(f"Report: {report}")
    if total or job.demo:
        print(f"Open it in KLayout: klayout {_shell_word(job.layout)} -m {_shell_word(report)}")


def _describe(item: Any) -> str:
    """The item's text values, joined; its geometry is left to the viewer."""
    texts = [value.string() for value in item.each_value() if value.is_string()]
    return "; ".join(texts) or "(no text)"


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
