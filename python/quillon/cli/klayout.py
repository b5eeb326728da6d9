"""``quillon klayout install``: the check in the KLayout viewer's Tools menu.

    quillon klayout install [--dir DIR]

writes the macro of :mod:`quillon.klayout` into DIR (default: the user's
KLayout folder for Python macros, ``$KLAYOUT_HOME/pymacros`` or
``~/.klayout/pymacros``). KLayout runs it when it starts; it adds "Check with
quillon LVS" to the Tools menu, which checks the cell of the current view
against its reference netlist with ``quillon lvs`` and opens the report in the
marker browser. Installing again replaces the macro. Exit status 0, or 2 with
one line when the folder cannot be written.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

__all__ = ["HELP", "add_arguments", "run"]

HELP = "Add the check to the KLayout viewer's Tools menu (a macro in your KLayout folder)."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Declare the arguments of ``quillon klayout``."""
    actions = parser.add_subparsers(dest="action", metavar="ACTION", required=True)
    install = actions.add_parser(
        "install", help="install the macro", description="Install the macro that adds the check to the Tools menu."
    )
    install.add_argument(
        "--dir", type=Path, metavar="DIR", help="macro folder (default: $KLAYOUT_HOME/pymacros or ~/.klayout/pymacros)"
    )


def run(args: argparse.Namespace) -> int:
    """Install the macro; 0, or 2 when it cannot be written."""
    from quillon.klayout import install, macro_directory

    directory = args.dir or macro_directory()
    try:
        path = install(directory)
    except OSError as exc:
        print(
            f"quillon klayout: error: cannot write the macro into {str(directory)!r}: {exc.strerror or exc}",
            file=sys.stderr,
        )
        return 2
    print(f"quillon klayout: installed {path}")
    print('Start KLayout (again), open a layout and choose Tools > "Check with quillon LVS".')
    return 0
