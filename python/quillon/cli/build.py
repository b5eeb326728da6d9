"""``quillon build``: the kit's build cache and netlist schemas, or a circuit's layout.

    quillon build [--project-dir DIR] [--force]
    quillon build CIRCUIT.pic.yml [-o OUT.gds] [--project-dir DIR]

Without a circuit it builds, below DIR (default ``$QUILLON_PROJECT_DIR`` or the
current directory), what changed of the kit cache (:mod:`quillon.build.kit_cache`:
each component's GDS, cached ports file and symbol) and the JSON Schema of every
netlist file of the project (:mod:`quillon.build.schemas`). One line per
component that fails; exit status 1 when any failed, 2 on bad input.

With a circuit it builds the cell that the netlist file describes with the
project's kit and writes it to OUT (default: ``<circuit>.gds`` beside the
netlist file), ready for ``quillon lvs OUT CIRCUIT.pic.yml``. A bad netlist
gives one line naming the entry and exit status 2.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

__all__ = ["HELP", "add_arguments", "run"]

HELP = "Build the kit cache and netlist schemas of a project, or a circuit's layout from its netlist file."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Declare the arguments of ``quillon build``."""
    parser.add_argument("circuit", nargs="?", type=Path, help="netlist file (.pic.yml) whose layout to build")
    parser.add_argument(
        "-o", "--output", type=Path, metavar="OUT", help="GDS file to write (default: <circuit>.gds beside the netlist)"
    )
    parser.add_argument(
        "--project-dir",
        type=Path,
        metavar="DIR",
        help="project whose settings name the kit (default $QUILLON_PROJECT_DIR or the current directory)",
    )
    parser.add_argument("--force", action="store_true", help="build every component of the kit, changed or not")


def _fail(message: str) -> int:
    print(f"quillon build: error: {message}", file=sys.stderr)
    return 2


def run(args: argparse.Namespace) -> int:
    """Build; 0 when all went well, 1 when components failed, 2 on bad input."""
    project = Path(os.path.abspath(args.project_dir or os.environ.get("QUILLON_PROJECT_DIR") or os.getcwd()))
    if not project.is_dir():
        return _fail(f"project directory {str(project)!r} does not exist")
    from quillon.klayout_output import quiet_klayout

    if args.circuit is None:
        if args.output is not None:
            return _fail("-o names the layout of a circuit: give the circuit's netlist file too")
        with quiet_klayout():
            return _build_project(project, args.force)
    with quiet_klayout():  # KLayout's own error lines would come before the command's one line
        return _build_circuit(args.circuit, args.output, project)


def _build_circuit(circuit: Path, output: Path | None, project: Path) -> int:
    from quillon.build.circuit_layout import NetlistError, build_circuit_gds, circuit_name

    if not circuit.exists():
        return _fail(f"netlist file {str(circuit)!r} does not exist")
    if not circuit.is_file():
        return _fail(f"netlist file {str(circuit)!r} is not a regular file")
    out = output or circuit.with_name(f"{circuit_name(circuit)}.gds")
    try:
        name = build_circuit_gds(circuit, out, project)
    except NetlistError as exc:
        return _fail(f"{circuit}: {exc}")
    except (ValueError, OSError, ImportError, RuntimeError) as exc:  # settings, kit, files, KLayout
        return _fail(_first_line(exc))
    except KeyboardInterrupt:
        print("quillon build: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # a fault of the tool or the kit: one line, never a traceback
        print(f"quillon build: internal error: {type(exc).__name__}: {_first_line(exc)}", file=sys.stderr)
        return 3
    print(f"wrote {out} (cell {name})")
    return 0


def _build_project(project: Path, force: bool) -> int:
    from quillon.build import schemas
    from quillon.build.kit_cache import build_kit_cache

    try:
        report = build_kit_cache(project, _progress if sys.stderr.isatty() else None, force=force)
        written = schemas.write_project_schemas(project, lambda line: print(f"quillon build: {line}", file=sys.stderr))
    except (ValueError, OSError, ImportError) as exc:
        return _fail(_first_line(exc))
    finally:
        if sys.stderr.isatty():
            print("\r\033[K", end="", file=sys.stderr, flush=True)
    for name, problem in report.failed.items():
        print(f"quillon build: component {name}: {problem}", file=sys.stderr)
    for line in report.kept:
        print(f"quillon build: {line}", file=sys.stderr)
    print(
        f"kit {report.kit}: {len(report.built)} built, {len(report.unchanged)} unchanged,"
        f" {len(report.failed)} failed ({project / 'build' / 'gds' / 'pdk'})"
    )
    print(f"schemas: {len(written)} netlist file{'s' if len(written) != 1 else ''} ({project / 'build' / 'schemas'})")
    return 1 if report.failed else 0


def _progress(done: int, total: int, name: str) -> None:
    print(f"\r\033[K[{done}/{total}] {name}", end="", file=sys.stderr, flush=True)


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
