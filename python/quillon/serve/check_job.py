"""The work of the editor's checks and placements, as a worker process runs it.

Each job takes plain data and answers a status and the JSON document of its
route, so that a refusal comes back as an answer, not as an error; importing
this module starts nothing (the service's worker processes import it,
:mod:`quillon.serve.worker`). Files are read and written through the
project's confined files:

- :func:`build_and_check`: build the saved circuit's layout and check it
  against its netlist in a private temporary directory, then write the layout
  and the report into the project's ``build/check/``;
- :func:`check_layout_file`: check a layout file of the project against a
  saved circuit (:func:`check_layout_job` on their bytes), and write the report;
- :func:`placements`: where the build puts each instance of a netlist.
"""

from __future__ import annotations

import errno
import posixpath
import re
import tempfile
from pathlib import Path
from typing import Any

__all__ = [
    "CHECK_DIR",
    "NETLIST_SUFFIX",
    "build_and_check",
    "check_layout_file",
    "check_layout_job",
    "findings",
    "placements",
]

NETLIST_SUFFIX = ".pic.yml"
#: Where "Build and check" writes the layouts and reports, below the project.
CHECK_DIR = Path("build") / "check"

Answer = tuple[int, dict[str, Any]]
#: A worker checks on one core: its memory bound is one process's.
ONE_PROCESS = 1


def build_and_check(relative: str, root: str) -> Answer:
    """Build and check the circuit whose netlist file is `relative` below the project `root`."""
    from quillon import files

    text, refusal = _project_file(root, relative)
    if refusal:
        return refusal
    try:
        from quillon.build.circuit_layout import NetlistError, build_circuit_gds
    except ImportError as exc:
        return _error(501, f"Cannot check: building layouts is not available here ({exc}).")
    from quillon.checking import CheckError, check

    stem = relative[: -len(NETLIST_SUFFIX)].replace("/", "__")
    layout, report = CHECK_DIR / f"{stem}.gds", CHECK_DIR / f"{stem}.lyrdb"
    with tempfile.TemporaryDirectory(prefix="quillon-check-") as private:
        work = Path(private)
        netlist = work / posixpath.basename(relative)  # its name names the cell
        try:
            netlist.write_bytes(text)
            top = build_circuit_gds(netlist, work / layout.name, Path(root))
            rdb = check(work / layout.name, netlist, cell=top, project=root, threads=ONE_PROCESS).report_database
            rdb.original_file = str(Path(root) / layout)  # where the layout is written next
            rdb.save(str(work / report.name))
            files.write_file(root, layout.as_posix(), (work / layout.name).read_bytes())
            files.write_file(root, report.as_posix(), (work / report.name).read_bytes())
        except NetlistError as exc:
            return _refused(f"Cannot build the layout: {_first_line(exc)}", netlist, relative)
        except CheckError as exc:
            return _refused(f"Cannot check the layout: {exc}", netlist, relative)
        except ValueError as exc:  # project settings or a kit that cannot be used
            return _refused(f"Cannot build the layout: {_first_line(exc)}", netlist, relative)
        except OSError as exc:
            return _error(500, f"Cannot build the layout into {CHECK_DIR.as_posix()}: {exc.strerror or exc}")
        found = findings(rdb)
    return 200, {"cell": top, "layout": layout.as_posix(), "report": report.as_posix(), "findings": found}


def check_layout_file(root: str, relative: str, layout_path: str, cell: str | None) -> Answer:
    """Check the project's layout file `layout_path` against the saved circuit `relative`."""
    from quillon import files

    netlist, refusal = _project_file(root, relative)
    if refusal:
        return refusal
    layout, refusal = _project_file(root, layout_path)
    if refusal:
        return refusal
    stem = relative[: -len(NETLIST_SUFFIX)].replace("/", "__")
    report = CHECK_DIR / f"{stem}__{posixpath.basename(layout_path).rsplit('.', 1)[0]}.lyrdb"
    outcome = check_layout_job(root, relative, netlist, layout_path, layout, cell)
    if "error" in outcome:
        return _error(422, outcome["error"])
    try:
        files.write_file(root, report.as_posix(), outcome.pop("report_bytes"))
    except OSError as exc:
        return _error(500, f"Cannot write the report into {CHECK_DIR.as_posix()}: {exc.strerror or exc}")
    return 200, {**outcome, "layout": layout_path, "report": report.as_posix()}


def check_layout_job(
    root: str, netlist_path: str, netlist: bytes, layout_path: str, layout: bytes, cell: str | None
) -> dict[str, Any]:
    """Check the layout (bytes of the project's file ``layout_path``) against the netlist
    (bytes of ``netlist_path``) in a private directory, as ``quillon lvs`` does.

    Answers ``{"cell", "findings", "report_bytes"}`` (the report names the
    project's layout file), or ``{"error": one line}`` for input the check refuses.
    """
    from quillon.checking import CheckError, check

    with tempfile.TemporaryDirectory(prefix="quillon-check-") as private:
        work = Path(private)
        reference = work / posixpath.basename(netlist_path)
        drawn = work / ("layout" + Path(layout_path).suffix.lower())
        report = work / "report.lyrdb"
        reference.write_bytes(netlist)
        drawn.write_bytes(layout)
        try:
            result = check(drawn, reference, cell=cell, project=root, threads=ONE_PROCESS)
        except CheckError as exc:
            text = str(exc).replace(str(reference), netlist_path).replace(str(drawn), layout_path)
            return {"error": f"Cannot check {layout_path}: {text}"}
        except Exception as exc:  # a fault of the check: one line for the page, not a bare 500
            return {"error": f"Cannot check {layout_path}: internal error: {type(exc).__name__}: {_first_line(exc)}"}
        rdb = result.report_database
        rdb.original_file = str(Path(root) / layout_path)
        rdb.save(str(report))
        return {"cell": result.cell, "findings": findings(rdb), "report_bytes": report.read_bytes()}


def placements(netlist: dict[str, Any], pdk: str) -> Answer:
    """Where the layout of `netlist` (a mapping) puts each instance, with the kit `pdk`."""
    try:
        from quillon.build.circuit_layout import circuit_placements
    except ImportError as exc:
        return _error(501, f"Cannot place the instances: building layouts is not available here ({exc}).")
    from quillon.core.shared import activate_pdk_by_name

    try:
        placed = circuit_placements(netlist, activate_pdk_by_name(pdk))
    except ValueError as exc:  # NetlistError, or a kit that cannot be used
        return _error(422, f"Cannot place the instances as the layout does: {_first_line(exc)}")
    return 200, {"instances": placed}


def _project_file(root: str, relative: str) -> tuple[bytes, Answer | None]:
    """The bytes of the regular file `relative` of the project, or the refusal to answer."""
    from quillon import files

    try:
        content = files.read_file(root, relative)
    except PermissionError:
        return b"", _error(404, f"Cannot check: {relative!r} is outside the project directory.")
    except OSError as exc:
        why = (
            f"it is larger than the {files.MAX_FILE_BYTES >> 20} MiB the service reads"
            if exc.errno == errno.EFBIG
            else None
        )
        return b"", _error(
            422, f"Cannot check: {relative!r} cannot be read: {why or exc.strerror or 'it is not a regular file'}."
        )
    if content is None:
        return b"", _error(404, f"Cannot check: {relative!r} is not a file of the project.")
    return content, None


def _error(status: int, message: str) -> Answer:
    return status, {"error": message}


def _refused(message: str, private: Path, relative: str) -> Answer:
    """422 with `message`, naming the project's netlist file instead of its private copy."""
    return _error(422, message.replace(str(private), relative))


_QUOTED = re.compile(r"'([^']+)'")
#: What the check writes where a connection has no port at one end.
NO_CONNECTION = "ERROR_NO_CONNECTION"
_OPEN_END = re.compile(r"Connection from 'ERROR_NO_CONNECTION' to '([^']+)'")


def _designer_text(text: str) -> str:
    """A finding's text without the check's placeholder for a missing port."""
    text = _OPEN_END.sub(r"Connection at '\1', which connects to nothing at its other end", text)
    return text.replace(f"'{NO_CONNECTION}'", "no port")


def findings(rdb: Any) -> list[dict[str, Any]]:
    """Per report item: its category, its kind, its texts, and the instances and connections it names."""
    from quillon.findings import kind_of

    names = {category.rdb_id(): category.name() for category in rdb.each_category()}
    found = []
    for item in rdb.each_item():
        texts = [value.string() for value in item.each_value() if value.is_string()]
        quoted = [name for text in texts[:1] for name in _QUOTED.findall(text) if name != NO_CONNECTION]
        endpoints = [name for name in quoted if "," in name]
        instances = {name for name in quoted if "," not in name}
        instances |= {endpoint.rsplit(",", 1)[0] for endpoint in endpoints}
        found.append(
            {
                "category": names.get(item.category_id(), "?"),
                "kind": kind_of(item),
                "texts": [_designer_text(text) for text in texts],
                "instances": sorted(instances),
                "connections": [endpoints[:2]] if len(endpoints) >= 2 else [],
            }
        )
    return found


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
