"""``quillon init``: a new project in one command.

    quillon init [DIR] [--kit NAME]

Writes into DIR (default: the current directory; created when missing):

- ``pyproject.toml``, whose ``[tool.quillon]`` table names the source directory
  and the kit (what ``quillon serve``, ``build`` and ``lvs`` read);
- the source directory, named after DIR, with an example circuit: the demo
  kit's Mach-Zehnder modulator, or for another kit one instance of its first
  component that builds without settings;
- ``.gitignore`` with ``build/``, where the commands write (added to an
  existing ``.gitignore``), and the empty ``build/`` itself;
- ``README.md`` saying what to do next (an existing one is kept).

A directory that holds a project already (its ``pyproject.toml``) or the
example circuit is refused, and so is a kit that cannot be imported; nothing
is written then. New files are created exclusively, never replacing one that
appears meanwhile. Exit status 0, or 2 on bad input with one line on stderr.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from dataclasses import dataclass
from importlib import resources
from pathlib import Path

__all__ = ["HELP", "add_arguments", "run"]

HELP = "Create a new project: settings naming the kit, a source directory with an example circuit."

#: The example circuit of the demo kit, shipped with the package.
DEMO_EXAMPLE = "demo_mzi.pic.yml"
GITIGNORE_LINE = "build/"


class InitError(Exception):
    """The project cannot be created; the message says why in one line."""


@dataclass(frozen=True)
class Plan:
    """What ``quillon init`` writes, all paths absolute."""

    project: Path
    source: Path
    kit: str
    example: Path
    example_text: str

    def relative(self, path: Path) -> str:
        return path.relative_to(self.project).as_posix()


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Declare the arguments of ``quillon init``."""
    parser.add_argument(
        "directory",
        nargs="?",
        type=Path,
        default=Path("."),
        metavar="DIR",
        help="directory of the new project (default: the current directory)",
    )
    parser.add_argument(
        "--kit",
        default=None,
        metavar="NAME",
        help="importable package of the project's process design kit (default: the demo kit)",
    )


def run(args: argparse.Namespace) -> int:
    """Create the project; 0 when done, 2 when refused."""
    from quillon.settings import DEFAULT_PDK

    try:
        plan = _plan(Path(os.path.abspath(args.directory)), args.kit or DEFAULT_PDK)
        written = _write(plan)
    except InitError as exc:
        print(f"quillon init: error: {exc}", file=sys.stderr)
        return 2
    print(f"quillon: created the project {plan.project} (kit {plan.kit}): {', '.join(written)}")
    print(_next_steps(plan, f"from {plan.project}"))
    return 0


def _plan(project: Path, kit: str) -> Plan:
    if project.exists() and not project.is_dir():
        raise InitError(f"{str(project)!r} exists and is not a directory")
    if (project / "pyproject.toml").exists():
        raise InitError(f"{str(project)!r} holds a project already (pyproject.toml); nothing was written")
    source = project / _source_name(project)
    example_name, example_text = _example(kit, source.name)
    example = source / example_name
    if example.exists():
        raise InitError(f"{str(example)!r} exists already; nothing was written")
    return Plan(project, source, kit, example, example_text)


def _source_name(project: Path) -> str:
    """The project's base name when it can name a directory, else "circuits"."""
    from quillon.files import plain_name

    return project.name if plain_name(project.name) else "circuits"


def _example(kit: str, source_name: str) -> tuple[str, str]:
    """The example circuit's file name and text for `kit`."""
    from quillon.settings import DEFAULT_PDK

    if not all(part.isidentifier() for part in kit.split(".")):
        raise InitError(f"invalid kit name {kit!r}: expected an importable package name such as {DEFAULT_PDK}")
    try:
        found = importlib.util.find_spec(kit)
    except ImportError:  # a parent package that is missing
        found = None
    if found is None:
        raise InitError(f"kit {kit!r} is not installed: install its package first, or leave out --kit for the demo kit")
    if kit == DEFAULT_PDK:
        return DEMO_EXAMPLE, (resources.files("quillon.demo") / DEMO_EXAMPLE).read_text(encoding="utf-8")
    component, ports = _first_component(kit)
    return "example.pic.yml", _single_instance_circuit(kit, component, ports, source_name)


def _first_component(kit: str) -> tuple[str, list[str]]:
    """The first component of the kit, in its order, that builds without settings, and its ports."""
    from quillon.core.shared import activate_pdk_by_name
    from quillon.errors import first_line

    try:
        pdk = activate_pdk_by_name(kit)
    except Exception as exc:  # the kit's own import or activation: reported in one line
        raise InitError(f"kit {kit!r} cannot be loaded: {first_line(exc)}") from exc
    for name in pdk.cells:
        try:
            built = pdk.cells[name]()
        except Exception:  # a component that needs settings: try the next one
            continue
        return str(name), [str(port.name) for port in built.ports]
    raise InitError(f"kit {kit!r} has no component that builds without settings, for the example circuit")


def _single_instance_circuit(kit: str, component: str, ports: list[str], source_name: str) -> str:
    """One instance, its ports the circuit's own (an open port would be a finding)."""
    import yaml

    instance = f"{component}_1"
    circuit = {
        "instances": {instance: {"component": component}},
        "placements": {instance: {"x": 0, "y": 0}},
        "connections": {},
        "routes": {},
        "nets": [],
        "ports": {port: f"{instance},{port}" for port in ports},
    }
    header = (
        f"# An example circuit of the {kit} kit: one {component}, whose ports are the\n"
        "# circuit's own. Open it in the editor (quillon serve), or build its layout\n"
        "# and check it:\n"
        f"#   quillon build {source_name}/example.pic.yml -o build/example.gds\n"
        f"#   quillon lvs build/example.gds {source_name}/example.pic.yml\n"
    )
    return header + yaml.safe_dump(circuit, sort_keys=False)


def _pyproject(plan: Plan) -> str:
    return (
        "# Settings of this quillon project: the directory of its circuits and its kit.\n"
        "[tool.quillon]\n"
        f"name = {_toml_string(plan.source.name)}\n"
        "\n"
        "[tool.quillon.pdk]\n"
        f"name = {_toml_string(plan.kit)}\n"
    )


def _toml_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _next_steps(plan: Plan, where: str) -> str:
    circuit = plan.relative(plan.example)
    layout = f"build/{plan.example.name.removesuffix('.pic.yml')}.gds"
    return (
        f"Next, {where}: `quillon serve` to draw circuits in the browser editor,"
        f" `quillon build {circuit} -o {layout}` to build the example's layout,"
        f" and `quillon lvs {layout} {circuit}` to check it."
    )


def _readme(plan: Plan) -> str:
    return (
        f"# {plan.project.name or plan.source.name}\n"
        "\n"
        f"Photonic circuits drawn with quillon and the `{plan.kit}` kit; their netlists are in `{plan.source.name}/`.\n"
        "\n"
        f"{_next_steps(plan, 'from this directory')}\n"
    )


def _write(plan: Plan) -> list[str]:
    """Write the plan's files; the names written, relative to the project.

    A failure removes what this call created, and leaves what was there before.
    """
    created: list[Path] = []
    try:
        for directory in (plan.project, plan.source, plan.project / "build"):
            if not directory.is_dir():
                directory.mkdir(parents=True)
                created.append(directory)
        _create(plan.project / "pyproject.toml", _pyproject(plan), created)
        _create(plan.example, plan.example_text, created)
        readme = plan.project / "README.md"
        if not readme.exists():
            _create(readme, _readme(plan), created)
        gitignore = _add_gitignore_line(plan.project / ".gitignore", created)
    except FileExistsError as exc:
        _remove(created)
        raise InitError(f"{exc.filename!r} appeared meanwhile; nothing was written") from exc
    except OSError as exc:
        _remove(created)
        raise InitError(f"cannot write {exc.filename!r}: {exc.strerror or exc}") from exc
    names = [plan.relative(path) for path in created if path.is_file()]
    return names + ([] if gitignore is None else [f"{gitignore} (build/ added)"])


def _create(path: Path, text: str, created: list[Path]) -> None:
    with path.open("x", encoding="utf-8", newline="\n") as file:
        created.append(path)
        file.write(text)


def _add_gitignore_line(path: Path, created: list[Path]) -> str | None:
    """Create `path` with the build line, or add the line to it; the name when added."""
    if not path.exists():
        _create(path, GITIGNORE_LINE + "\n", created)
        return None
    text = path.read_text(encoding="utf-8", errors="replace")
    if any(line.strip() in (GITIGNORE_LINE, "/" + GITIGNORE_LINE, "build", "/build") for line in text.splitlines()):
        return None
    with path.open("a", encoding="utf-8", newline="\n") as file:
        file.write(("" if text.endswith("\n") or not text else "\n") + GITIGNORE_LINE + "\n")
    return path.name


def _remove(created: list[Path]) -> None:
    for path in reversed(created):
        try:
            if path.is_dir():
                path.rmdir()
            else:
                path.unlink()
        except OSError:
            pass
