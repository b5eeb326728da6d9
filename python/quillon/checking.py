"""``quillon.check``: check a layout cell against its reference netlist, from Python.

::

    import quillon

    result = quillon.check("chip.gds", "chip.pic.yml", kit="demo_pdk")
    if not result.clean:
        for finding in result.findings:
            print(finding.kind, finding.texts[0], finding.markers)
    result.save("chip.lyrdb")  # the report database, for the layout viewer
    print(result.to_json())

The layout is the path of a GDS or OASIS file (``str`` or any
``os.PathLike``; ``cell=`` picks a cell other than its only top cell) or a
cell already loaded with the cell library (``cellgrid``). The kit is the name
of a process design kit package (or the package itself); without one, the
project settings of ``project`` (default ``$QUILLON_PROJECT_DIR`` or the
current directory) name it, and when they name none the demo kit is used and a
note of the result says so.

Input the check cannot use raises :class:`CheckError` (a ``ValueError``) with
one line saying what is wrong; arguments of the wrong type raise
``TypeError``. ``quillon lvs`` and the editor's "Build and check" both run
this function.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import stat
import threading
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quillon.core.instance_settings import DEFAULT_TOLERANCE
from quillon.findings import Finding, Findings, read_findings

if TYPE_CHECKING:
    import cellgrid
    from klayout.rdbcore import ReportDatabase

__all__ = ["CHECK_STAGES", "PARALLEL_FROM", "CheckError", "CheckResult", "Finding", "available_cores", "check"]

#: What the check does, in order, as `on_stage` is told.
CHECK_STAGES = (
    "reading the layout",
    "activating the kit",
    "loading the reference netlist",
    "extracting the layout netlist",
    "comparing the netlists",
    "recording the findings",
)
#: The stage names the check reports from inside its one native call.
_NATIVE_STAGES = {
    "reference": "loading the reference netlist",
    "extraction": "extracting the layout netlist",
    "difference": "comparing the netlists",
    "findings": "recording the findings",
}
#: A layout placing this many instances or more has its electrical stage
#: checked in a second process, when the check may use two cores.
PARALLEL_FROM = 2000
#: The top-level entries every reference netlist has.
REFERENCE_ENTRIES = ("instances", "connections", "routes", "nets", "ports")


class CheckError(ValueError):
    """Input the check cannot use: the message is one line saying what is wrong."""


@dataclass(frozen=True)
class Kit:
    """The kit a check uses: its package name, and whether it is the demo kit
    taken because the project names none."""

    name: str
    fallback: bool = False


@dataclass
class CheckResult:
    """A finished check.

    `report_database` is the KLayout report database (``rdb`` for short) the
    layout viewer shows; `findings` are its items as plain values, in its
    order; `counts` the number of findings of every category (a category
    without findings counts 0); `notes` lines about the input that explain
    findings. `layout` is None for a cell that was passed loaded;
    `report_file` is where :meth:`save` last wrote the report database.
    """

    report_database: ReportDatabase
    cell: str
    layout: Path | None
    reference: Path
    kit: Kit
    notes: tuple[str, ...] = ()
    report_file: Path | None = None
    generator: str = field(default_factory=lambda: generator())

    @property
    def rdb(self) -> ReportDatabase:
        """The report database."""
        return self.report_database

    @property
    def clean(self) -> bool:
        """Whether the layout matches its reference netlist."""
        return not self.findings

    @property
    def exit_status(self) -> int:
        """0 when clean, 1 with findings: the exit status of ``quillon lvs``."""
        return 0 if self.clean else 1

    @property
    def title(self) -> str:
        """The report's name, "LVS Diff - " and the cell's name."""
        return self._read.name

    @property
    def findings(self) -> tuple[Finding, ...]:
        """Every item of the report, in its order."""
        return self._read.items

    @property
    def counts(self) -> dict[str, int]:
        """Per category of the report (a sub-category as "parent.child"), its number of findings."""
        return dict(self._read.counts)

    @cached_property
    def _read(self) -> Findings:
        return read_findings(self.report_database)

    def save(self, path: str | os.PathLike[str]) -> Path:
        """Write the report database to `path`; a file that cannot be written raises CheckError."""
        target = Path(os.fspath(path))
        if target.is_dir():
            raise CheckError(f"cannot write the report {str(target)!r}: it is a directory")
        try:
            self.report_database.save(str(target))
        except (OSError, RuntimeError) as exc:
            raise CheckError(f"cannot write the report {str(target)!r}: {first_line(exc)}") from None
        self.report_file = target
        return target

    def to_dict(self) -> dict[str, Any]:
        """The check as plain values (the document of :meth:`to_json`)."""
        return {
            "report": self.title,
            "generator": self.generator,
            "layout": None if self.layout is None else str(self.layout.resolve()),
            "cell": self.cell,
            "reference": str(self.reference.resolve()),
            "report_file": None if self.report_file is None else str(self.report_file.resolve()),
            "kit": self.kit.name,
            "kit_fallback": self.kit.fallback,
            "exit_status": self.exit_status,
            "notes": list(self.notes),
            "counts": self.counts,
            "findings": [_finding_entry(finding) for finding in self.findings],
        }

    def to_json(self, indent: int | None = 2) -> str:
        """The check as one JSON document (non-ASCII names kept as they are)."""
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)


def check(
    layout: str | os.PathLike[str] | cellgrid.ProtoTKCell[Any],
    reference: str | os.PathLike[str],
    *,
    cell: str | None = None,
    kit: str | types.ModuleType | None = None,
    project: str | os.PathLike[str] | None = None,
    settings_tolerance: float = DEFAULT_TOLERANCE,
    on_stage: Callable[[str], None] | None = None,
    threads: int | None = None,
) -> CheckResult:
    """Check a layout cell against its reference netlist.

    - `layout`: a GDS or OASIS file, or a cell loaded with the cell library;
    - `reference`: the cell's reference netlist file (YAML);
    - `cell`: the cell of the layout file to check (default: its only top cell);
    - `kit`: the process design kit, by package name or as the package
      (default: the one the settings of `project` name, else the demo kit);
    - `project`: the project directory whose ``pyproject.toml`` names the kit
      (default ``$QUILLON_PROJECT_DIR`` or the current directory);
    - `settings_tolerance`: how far numbers of instance settings may differ;
    - `on_stage`: called with each of :data:`CHECK_STAGES` as it begins;
    - `threads`: how many cores the check may use (default: every core this
      process may run on, or one when it runs other threads). With two or more, a layout of
      :data:`PARALLEL_FROM` instances or more has its electrical stage run in
      a process of its own, beside the rest of the check; the check uses no
      more than two.

    Bad input raises :class:`CheckError`; arguments of the wrong type TypeError.
    """
    stage = on_stage or (lambda _label: None)
    reference_path = _path("reference", reference)
    stage("reading the layout")
    checked: Any
    if _is_library_cell(layout):
        if cell is not None:
            raise TypeError("cell= picks a cell of a layout file; a loaded cell is checked as it is")
        checked, layout_path = layout, None
    else:
        layout_path = _path("layout", layout)
        if cell is not None and not isinstance(cell, str):
            raise TypeError(f"cell must be a cell name (str), got {type(cell).__name__}")
        checked = read_cell(layout_path, cell)
    # read once, by the check itself: a file it refuses is read again, to say why
    reference_file(reference_path)
    if not settings_tolerance >= 0 or settings_tolerance == float("inf"):
        raise CheckError(f"the settings tolerance must be a number of 0 or more, got {settings_tolerance}")
    cores = _cores(threads, checked)
    chosen = choose_kit(kit, project)
    notes = [note for note in (_fallback_note(chosen, project),) if note]
    stage("activating the kit")
    pdk = _activate(chosen.name)
    _name_kit_layers(checked.kcl, pdk)
    notes.extend(_restored_from_kit_note(checked.kcl, pdk))
    rdb = _run(checked, reference_path, chosen, settings_tolerance, notes, on_stage, cores)
    _label_report(rdb, checked.name, layout_path, reference_path, chosen)
    return CheckResult(rdb, checked.name, layout_path, reference_path, chosen, tuple(notes))


def choose_kit(kit: str | types.ModuleType | None, project: str | os.PathLike[str] | None) -> Kit:
    """The kit `kit` names, else the one the project's settings name (the demo kit when they name none)."""
    from quillon.settings import SettingsError, get_settings, project_dir

    if isinstance(kit, types.ModuleType):
        return Kit(kit.__name__)
    if isinstance(kit, str):
        if not kit:
            raise CheckError("the kit name is empty")
        return Kit(kit)
    if kit is not None:
        raise TypeError(f"kit must be a kit's package name (str) or the package, got {type(kit).__name__}")
    directory = _path("project", project) if project is not None else project_dir()
    if not directory.is_dir():
        raise CheckError(f"project directory {str(directory)!r} does not exist")
    try:
        settings = get_settings(directory)
    except SettingsError as exc:
        raise CheckError(first_line(exc)) from None
    return Kit(settings.pdk.name, fallback=not settings.pdk.named)


def _fallback_note(kit: Kit, project: str | os.PathLike[str] | None) -> str | None:
    from quillon.settings import project_dir

    if not kit.fallback:
        return None
    directory = Path(os.path.abspath(os.fspath(project))) if project is not None else project_dir()
    settings = directory / "pyproject.toml"
    why = "its pyproject.toml names none under [tool.quillon]" if settings.is_file() else "it has no pyproject.toml"
    return (
        f"no kit is named for the project {str(directory)!r} ({why}), so the check used the demo kit {kit.name!r}: "
        'name the project\'s kit in pyproject.toml ([tool.quillon] pdk = "NAME") or give it with --kit'
    )


def read_cell(path: Path, name: str | None) -> Any:
    """The cell to check, read with its ports and instance names into a library of its own."""
    import cellgrid as cg

    from quillon import layout_problems

    if path.is_dir():
        raise CheckError(f"layout {str(path)!r} is a directory, not a layout file")
    if not path.exists():
        raise CheckError(f"layout {str(path)!r} does not exist")
    if not path.is_file():  # a named pipe would block the reading for ever
        raise CheckError(f"layout {str(path)!r} is not a regular file")
    kcl = cg.KCLayout(f"lvs:{path.name}")
    try:
        tops = kcl.read(path)
    except (OSError, ValueError, RuntimeError) as exc:
        raise CheckError(
            f"cannot read layout {str(path)!r}: {layout_problems.reading_problem(first_line(exc))}"
        ) from None
    if not tops:
        raise CheckError(f"layout {str(path)!r} has no cells")
    if name is not None:
        if name not in kcl.dkcells:
            shown = ", ".join(sorted(cell.name for cell in tops)) or "none"
            raise CheckError(f"layout {str(path)!r} has no cell {name!r} (top cells: {shown})")
        cell = kcl.dkcells[name]
    elif len(tops) != 1:
        shown = ", ".join(sorted(cell.name for cell in tops)) or "none"
        raise CheckError(f"layout {str(path)!r} has {len(tops)} top cells ({shown}): choose one with --cell")
    else:
        cell = tops[0]
    problem = layout_problems.coordinate_problem(cell.kdb_cell)
    if problem:
        raise CheckError(f"cannot check layout {str(path)!r}: {problem}")
    return cell


def check_reference(path: Path) -> None:
    """The reference must be a readable YAML mapping with the netlist entries."""
    import yaml

    from quillon.core.lvs import _safe_load  # type: ignore[attr-defined]  # private: not in the stub
    from quillon.yaml_bounded import YamlExpansionError

    text = reference_text(path)
    try:
        # read as the check reads it: natively, a fraction of the time of walking the parser's events
        data = _safe_load(text, str(path))
    except YamlExpansionError as exc:
        raise CheckError(f"reference netlist {str(path)!r} is refused: {first_line(exc)}") from None
    except yaml.YAMLError as exc:
        where = getattr(exc, "problem_mark", None)
        line = f" at line {where.line + 1}" if where is not None else ""
        problem = getattr(exc, "problem", None) or first_line(exc)
        raise CheckError(f"reference netlist {str(path)!r} is not valid YAML{line}: {problem}") from None
    if not isinstance(data, dict):
        raise CheckError(
            f"reference netlist {str(path)!r} is not a netlist: expected a mapping with {', '.join(REFERENCE_ENTRIES)}"
        )
    missing = [entry for entry in REFERENCE_ENTRIES if entry not in data]
    if missing:
        raise CheckError(
            f"reference netlist {str(path)!r} lacks the entr{'y' if len(missing) == 1 else 'ies'} {', '.join(missing)}"
        )


def reference_file(path: Path) -> None:
    """Refuses, in one line and without reading it, a reference path that names no regular
    file; what the file holds is the check's to read."""
    try:
        mode = path.stat().st_mode
    except FileNotFoundError:
        raise CheckError(f"reference netlist {str(path)!r} does not exist") from None
    except OSError as exc:
        raise CheckError(f"cannot read reference netlist {str(path)!r}: {exc.strerror}") from None
    if stat.S_ISDIR(mode):
        raise CheckError(f"reference netlist {str(path)!r} is a directory, not a file")
    if not stat.S_ISREG(mode):  # a named pipe would block the check for ever
        raise CheckError(f"cannot read reference netlist {str(path)!r}: not a regular file")


def reference_text(path: Path) -> str:
    """The text of the reference netlist file `path`, which must be a regular file of UTF-8."""
    from quillon.files import read_regular

    reference_file(path)
    try:
        # only a regular file, again: the path may have changed since
        text = io.TextIOWrapper(io.BytesIO(read_regular(path))).read()  # as open() reads it
    except OSError as exc:  # no errno text: the one refusal of its own, not a regular file
        raise CheckError(
            f"cannot read reference netlist {str(path)!r}: {exc.strerror or 'not a regular file'}"
        ) from None
    except UnicodeDecodeError as exc:
        raise CheckError(f"cannot read reference netlist {str(path)!r}: {first_line(exc)}") from None
    return text


def generator() -> str:
    """What wrote a report: "quillon" and its version."""
    from quillon.version import __version__

    return f"quillon {__version__}"


def first_line(exc: BaseException) -> str:
    """The first line of an error's text (its type's name when it has none)."""
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _path(what: str, value: object) -> Path:
    """`value` (a str or os.PathLike naming a file) as a Path."""
    if isinstance(value, (str, os.PathLike)):
        text = os.fspath(value)
        if isinstance(text, str):
            return Path(text)
    if what == "layout" and type(value).__module__.startswith("klayout"):
        raise TypeError(
            f"layout must be a layout file or a cell of the cell library (cellgrid), got a plain KLayout "
            f"{type(value).__name__}, which lacks the ports and instance names the check reads: check the layout's "
            "file, or read it with cellgrid.KCLayout(NAME).read(PATH) and check a cell of that"
        )
    kinds = (
        "a layout file's path (str or os.PathLike) or a cellgrid cell"
        if what == "layout"
        else "a path (str or os.PathLike)"
    )
    raise TypeError(f"{what} must be {kinds}, got {type(value).__name__}")


def _is_library_cell(value: object) -> bool:
    import cellgrid as cg

    return isinstance(value, cg.ProtoTKCell)


def _activate(name: str) -> Any:
    from quillon.core.shared import PdkNotFoundError, activate_pdk_by_name

    try:
        return activate_pdk_by_name(name)
    except PdkNotFoundError as exc:
        raise CheckError(first_line(exc)) from None
    except ImportError as exc:
        raise CheckError(f"cannot load the process design kit: {first_line(exc)}") from None


def available_cores() -> int:
    """The number of cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # not every system tells
        return os.cpu_count() or 1


def _cores(threads: int | None, cell: Any) -> int:
    """How many cores the check of `cell` uses: one for a small layout, where a
    second process would cost more than it saves.

    The second core is a fork of this process; by default only a process
    running no other thread forks (a notebook's kernel runs several, and a
    lock one of them holds would stay held in the child)."""
    if threads is None:
        threads = available_cores() if threading.active_count() == 1 else 1
    elif isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be a number of cores (int), got {type(threads).__name__}")
    elif threads < 1:
        raise CheckError(f"threads must be 1 or more, got {threads}")
    if threads < 2 or cell.kdb_cell.child_instances() < PARALLEL_FROM:
        return 1
    return 2


def _run(
    cell: Any,
    reference: Path,
    kit: Kit,
    tolerance: float,
    notes: list[str],
    on_stage: Callable[[str], None] | None,
    cores: int,
) -> Any:
    """optical_lvs with the chosen kit; the check's notes are added to `notes`."""
    import yaml

    from quillon.core import lvs

    try:
        with _native_stages(lvs, on_stage):
            return lvs.optical_lvs(
                cell, str(reference), settings_tolerance=tolerance, notes=notes, kit=kit.name, threads=cores
            )
    except (ValueError, OSError, yaml.YAMLError) as exc:  # a malformed netlist, layers the kit does not know
        check_reference(reference)  # the reference's own fault, said in its words
        if isinstance(exc, OSError):
            raise
        raise CheckError(f"cannot check cell {cell.name!r}: {first_line(exc)}{_explained(cell, exc)}") from None


#: What the electrical stage says when metal reaches a port of an instance that has no name.
UNNAMED_PIN = "Could not find pin"


def _explained(cell: Any, exc: BaseException) -> str:
    """What a native error means for the layout, when the error alone does not say."""
    if str(exc) != UNNAMED_PIN:
        return ""
    has_electrical: dict[int, bool] = {}  # by cell: a large layout places few cells many times
    unnamed = []
    for inst in cell.insts:
        if inst.name:
            continue
        if inst.cell_index not in has_electrical:
            has_electrical[inst.cell_index] = any(port.port_type != "optical" for port in inst.cell.ports)
        if has_electrical[inst.cell_index]:
            unnamed.append(f"{inst.cell.name!r} at ({inst.dcplx_trans.disp.x:g}, {inst.dcplx_trans.disp.y:g})")
    shown = ", ".join(unnamed[:3]) + (f" and {len(unnamed) - 3} more" if len(unnamed) > 3 else "")
    return (
        ": metal joins a port of an instance without a name to other ports"
        + (f" ({shown})" if unnamed else "")
        + ", which the check cannot name; give such instances names"
    )


@contextlib.contextmanager
def _native_stages(module: Any, on_stage: Callable[[str], None] | None) -> Iterator[None]:
    """While inside, the stages the native check reports go to `on_stage`."""
    if on_stage is None:
        yield
        return
    tell = on_stage

    def native_stage(name: str) -> None:
        tell(_NATIVE_STAGES.get(name, name))

    module._progress = native_stage
    try:
        yield
    finally:
        module._progress = None


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
        raise CheckError(
            f"the layers of kit {getattr(kit, 'name', '?')!r} do not fit the layout: {first_line(exc)}"
        ) from None


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


def _label_report(rdb: Any, cell_name: str, layout: Path | None, reference: Path, kit: Kit) -> None:
    """The report's header: what it is, what wrote it with which kit, and the layout and cell it is about."""
    rdb.description = f"Layout-versus-schematic check of cell {cell_name} against {reference.name} with kit {kit.name}"
    rdb.generator = generator()
    rdb.original_file = "" if layout is None else str(layout.resolve())
    rdb.top_cell_name = cell_name


def _finding_entry(finding: Finding) -> dict[str, Any]:
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
