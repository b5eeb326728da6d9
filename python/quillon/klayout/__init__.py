"""The check inside the KLayout viewer: the macro and its installation.

:data:`MACRO` is the macro's Python source (it runs inside KLayout, not
here). :func:`install` writes it as a KLayout macro file (``.lym``, run when
KLayout starts) into the user's Python macro folder, with the command that
runs this installation of quillon, so that the viewer's Python need not be
the one quillon is installed in. ``quillon klayout install`` runs it.
"""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path
from xml.sax.saxutils import escape

__all__ = ["MACRO", "MACRO_FILE", "install", "macro_directory", "macro_text"]

#: The macro's source, shipped in the package.
MACRO = Path(__file__).with_name("quillon_lvs_macro.py")
#: The name of the installed macro file.
MACRO_FILE = "quillon_lvs.lym"
#: The line of the source that the installer fills in.
COMMAND_LINE = "QUILLON_COMMAND = None\n"


def macro_directory() -> Path:
    """The user's KLayout folder for Python macros: ``$KLAYOUT_HOME/pymacros`` (default ``~/.klayout``)."""
    home = os.environ.get("KLAYOUT_HOME") or os.path.join(os.path.expanduser("~"), ".klayout")
    return Path(home) / "pymacros"


def macro_text(command: list[str]) -> str:
    """The macro file: KLayout's macro format around the source, `command` written into it."""
    source = MACRO.read_text(encoding="utf-8")
    if COMMAND_LINE not in source:
        raise RuntimeError(f"{MACRO} has no line {COMMAND_LINE.strip()!r} to fill in")
    source = source.replace(COMMAND_LINE, f"QUILLON_COMMAND = {json.dumps(command)}\n", 1)
    fields = {
        "description": "Check with quillon LVS: the cell of the current view against its reference netlist",
        "version": "",
        "category": "pymacros",
        "prolog": "",
        "epilog": "",
        "doc": "",
        "autorun": "true",
        "autorun-early": "false",
        "shortcut": "",
        "show-in-menu": "false",
        "group-name": "",
        "menu-path": "",
        "interpreter": "python",
        "dsl-interpreter-name": "",
    }
    lines = [f" <{name}>{escape(value)}</{name}>" for name, value in fields.items()]
    return (
        '<?xml version="1.0" encoding="utf-8"?>\n<klayout-macro>\n'
        + "\n".join(lines)
        + f"\n <text>{escape(source)}</text>\n</klayout-macro>\n"
    )


def install(directory: Path | None = None, command: list[str] | None = None) -> Path:
    """Write the macro into `directory` (default :func:`macro_directory`), made when missing; its path.

    `command` runs quillon (default: this interpreter with ``-m quillon``).
    """
    target = (directory or macro_directory()) / MACRO_FILE
    target.parent.mkdir(parents=True, exist_ok=True)
    text = macro_text(command or [sys.executable, "-m", "quillon"])
    temporary = target.with_name(f".{MACRO_FILE}.{os.getpid()}")
    temporary.write_text(text, encoding="utf-8")
    os.replace(temporary, target)
    return target
