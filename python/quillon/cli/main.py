"""The ``quillon`` command line.

Subcommands live in their own modules, listed in :data:`SUBCOMMANDS`. A
subcommand module provides ``HELP`` (one line), ``add_arguments(parser)`` and
``run(args) -> int`` (the exit status), and should import heavy dependencies
inside ``run`` so that ``quillon --help`` stays fast. A listed module that is
not installed is left out of the command line.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
from collections.abc import Sequence

from quillon.version import __version__

__all__ = ["SUBCOMMANDS", "build_parser", "main"]

#: Subcommand name -> module implementing it.
SUBCOMMANDS: dict[str, str] = {
    "build": "quillon.cli.build",
    "init": "quillon.cli.init",
    "klayout": "quillon.cli.klayout",
    "lvs": "quillon.cli.lvs",
    "serve": "quillon.cli.serve",
}


def build_parser() -> argparse.ArgumentParser:
    """The argument parser with every available subcommand."""
    parser = argparse.ArgumentParser(prog="quillon", description="Photonic integrated-circuit design tool.")
    parser.add_argument("--version", action="version", version=f"quillon {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, module_name in SUBCOMMANDS.items():
        if importlib.util.find_spec(module_name) is None:
            continue
        module = importlib.import_module(module_name)
        sub = commands.add_parser(name, help=module.HELP, description=module.HELP)
        module.add_arguments(sub)
        sub.set_defaults(run=module.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    return int(args.run(args))
