"""The browser editor: its page, its modules and the routes only it needs.

Registered on the service's app when imported (``quillon serve`` imports this
module before the schematic routes, so all of these come before the "/assets"
static mount):

- ``GET /``: the editor page;
- ``GET /editor/...``: its stylesheet and JavaScript modules (static files of
  the package, no build step);
- ``GET /api/kit.json``: the kit's component and cross-section names, and a line
  saying what each component is (from its documentation), for the palette's search;
- ``GET /api/circuits.json``: the project's circuits, the ``.pic.yml`` files
  below its source directory, as paths relative to the project without the
  extension (the form the netlist routes take);
- ``POST /api/placements.json``: where the layout of the netlist in the body
  (JSON, as the netlist route answers it) puts each instance (position,
  orientation and bounding box), worked out as the build places them but
  without routing; it reads and writes no file. The editor draws a circuit
  that has no drawing yet from it;
- ``GET /api/layouts.json``: the project's GDS and OASIS files (the kit's own
  cache below ``build/gds`` left out), as paths relative to the project;
- ``POST /api/check/{path}.json``: build the layout of a saved circuit and check
  it against the circuit's netlist; answers the findings as JSON;
- ``POST /api/check-layout/{path}.json``: check a layout file of the project
  (body: ``{"layout": path, "cell": name}``, the cell optional) against the saved
  circuit's netlist, as ``quillon lvs`` does; answers the findings as JSON.

Files named by a request are read and written only through the service's
confined files (:mod:`quillon.serve.confined`): walked from a handle of the
project directory, so no link and no swap during a request leads outside it.
The layout is built and checked in a private temporary directory, from the
netlist's bytes as read; the layout and the report are then written into the
project the same confined way.
"""

from __future__ import annotations

import inspect
import json
import mimetypes
import posixpath
import re
import tempfile
import threading
from pathlib import Path
from typing import Annotated, Any

from fastapi import Body
from fastapi.responses import FileResponse, JSONResponse
from fastapi.staticfiles import StaticFiles

from quillon.serve import confined
from quillon.serve.app import PDK, PROJECT_DIR, SETTINGS, app

__all__ = [
    "EDITOR_DIR",
    "ConfinementError",
    "build_and_check",
    "check_layout",
    "check_layout_job",
    "circuits",
    "editor_page",
    "kit",
    "layouts",
    "placements",
    "read_circuit",
]

EDITOR_DIR = Path(__file__).resolve().parent / "editor"
NETLIST_SUFFIX = ".pic.yml"
#: Where "Build and check" writes the layouts and reports, below the project.
CHECK_DIR = Path("build") / "check"
#: At most this many circuits are listed (a source tree is not a disk scan).
MAX_CIRCUITS = 5000
#: At most this many instances are placed for a drawing (the work of one request stays bounded).
MAX_PLACED_INSTANCES = 20000
#: At most this many layout files are listed.
MAX_LAYOUTS = 2000
#: The file suffixes of the layouts a designer can check.
LAYOUT_SUFFIXES = (".gds", ".gds2", ".oas")
#: The kit's cache of component layouts: not a designer's layout.
KIT_CACHE_DIR = "build/gds"
#: A component's description is its documentation's first paragraph, up to this long.
MAX_DESCRIPTION = 160

# Module scripts must be served with a JavaScript type; some systems map .js otherwise.
mimetypes.add_type("text/javascript", ".js")

#: Building and checking activate the kit process-wide: one at a time.
_check_lock = threading.Lock()


class ConfinementError(ValueError):
    """A path that leaves the project directory or is not a regular file."""


def read_circuit(relative: str) -> bytes:
    """The bytes of the regular file ``relative`` names below the project directory."""
    try:
        content = confined.read_file(relative)
    except PermissionError:
        raise ConfinementError(f"{relative!r} is outside the project directory") from None
    except OSError:
        content = None
    if content is None:
        raise ConfinementError(f"{relative!r} is not a file of the project")
    return content


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status)


def _refused(message: str, private: Path, relative: str) -> JSONResponse:
    """422 with `message`, naming the project's netlist file instead of its private copy."""
    return _error(422, message.replace(str(private), relative))


@app.get("/")
def editor_page() -> FileResponse:
    """The editor page."""
    return FileResponse(EDITOR_DIR / "index.html", media_type="text/html")


@app.get("/api/kit.json")
def kit() -> dict[str, Any]:
    """The kit's name, its component (cell) names, what each is, and its cross-section names."""
    from quillon.core.shared import activate_pdk_by_name

    pdk = activate_pdk_by_name(PDK)
    sections = [name for name in (getattr(pdk, "cross_sections", None) or {}) if name != "cross_section"]
    descriptions = {name: _description(function) for name, function in pdk.cells.items()}
    return {"pdk": PDK, "components": list(pdk.cells), "descriptions": descriptions, "cross_sections": sections}


def _description(function: Any) -> str:
    """The first paragraph of a cell function's documentation, on one line ("" without one)."""
    try:
        text = inspect.getdoc(function) or ""
    except Exception:  # a kit's odd object: no description rather than no palette
        return ""
    first = " ".join(text.strip().split("\n\n")[0].split())
    return first if len(first) <= MAX_DESCRIPTION else first[: MAX_DESCRIPTION - 1] + "…"


@app.get("/api/circuits.json")
def circuits() -> dict[str, Any]:
    """The project's circuits below its source directory, sorted: only what lies
    inside the project (a source directory linked outside lists nothing)."""
    from quillon.logger import logger

    try:
        listing = confined.list_files(SETTINGS.name, NETLIST_SUFFIX)
    except OSError as exc:
        logger.warning("the circuits of %s are not listed: %s", SETTINGS.name, exc)
        return {"source_dir": SETTINGS.name, "circuits": []}
    if listing.skipped:
        logger.warning("listing the circuits: %s", listing.skipped)
    names = sorted(f"{SETTINGS.name}/{path[: -len(NETLIST_SUFFIX)]}" for path in listing.files)
    return {"source_dir": SETTINGS.name, "circuits": names[:MAX_CIRCUITS]}


@app.post("/api/placements.json")
def placements(body: str = Body(...)) -> JSONResponse:
    """Where the layout of the netlist in the body (JSON) puts each of its instances."""
    import orjson

    try:
        netlist = orjson.loads(body)
    except orjson.JSONDecodeError as exc:
        return _error(422, f"Cannot place the instances: the netlist is not JSON ({exc}).")
    if not isinstance(netlist, dict):
        return _error(422, "Cannot place the instances: the netlist is not a mapping.")
    instances = netlist.get("instances")
    count = len(instances) if isinstance(instances, dict) else 0
    if count > MAX_PLACED_INSTANCES:
        return _error(413, f"Cannot place the instances: {count} is more than {MAX_PLACED_INSTANCES}.")
    try:
        from quillon.build.circuit_layout import circuit_placements
    except ImportError as exc:
        return _error(501, f"Cannot place the instances: building layouts is not available here ({exc}).")
    from quillon.core.shared import activate_pdk_by_name

    try:
        with _check_lock:
            placed = circuit_placements(netlist, activate_pdk_by_name(PDK))
    except ValueError as exc:  # NetlistError, or a kit that cannot be used
        return _error(422, f"Cannot place the instances as the layout does: {_first_line(exc)}")
    return JSONResponse({"instances": placed})


@app.get("/api/layouts.json")
def layouts() -> dict[str, Any]:
    """The project's GDS and OASIS files, sorted; hidden directories and the kit's cache left out."""
    from quillon.logger import logger

    try:
        listing = confined.list_files("", "", skip_hidden=True)
    except OSError as exc:
        logger.warning("the layouts of the project are not listed: %s", exc)
        return {"layouts": []}
    if listing.skipped:
        logger.warning("listing the layouts: %s", listing.skipped)
    found = [p for p in listing.files if p.lower().endswith(LAYOUT_SUFFIXES) and not p.startswith(KIT_CACHE_DIR + "/")]
    return {"layouts": sorted(found)[:MAX_LAYOUTS]}


@app.post("/api/check/{path:path}.json")
def build_and_check(path: str) -> JSONResponse:
    """Build the saved circuit ``path`` and check the layout against its netlist."""
    relative = posixpath.normpath(path + NETLIST_SUFFIX)
    try:
        text = read_circuit(relative)
    except ConfinementError as exc:
        return _error(404, f"Cannot check: {exc}.")
    try:
        from quillon.build.circuit_layout import NetlistError, build_circuit_gds
    except ImportError as exc:
        return _error(501, f"Cannot check: building layouts is not available here ({exc}).")
    from quillon.checking import CheckError, check

    root = Path(PROJECT_DIR).resolve()
    stem = relative[: -len(NETLIST_SUFFIX)].replace("/", "__")
    layout, report = CHECK_DIR / f"{stem}.gds", CHECK_DIR / f"{stem}.lyrdb"
    with _check_lock, tempfile.TemporaryDirectory(prefix="quillon-check-") as private:
        work = Path(private)
        netlist = work / posixpath.basename(relative)  # its name names the cell
        try:
            netlist.write_bytes(text)
            top = build_circuit_gds(netlist, work / layout.name, root)
            rdb = check(work / layout.name, netlist, cell=top, project=root).report_database
            rdb.original_file = str(root / layout)  # where the layout is written next
            rdb.save(str(work / report.name))
            confined.write_file(layout.as_posix(), (work / layout.name).read_bytes())
            confined.write_file(report.as_posix(), (work / report.name).read_bytes())
        except NetlistError as exc:
            return _refused(f"Cannot build the layout: {_first_line(exc)}", netlist, relative)
        except CheckError as exc:
            return _refused(f"Cannot check the layout: {exc}", netlist, relative)
        except ValueError as exc:  # project settings or a kit that cannot be used
            return _refused(f"Cannot build the layout: {_first_line(exc)}", netlist, relative)
        except OSError as exc:
            return _error(500, f"Cannot build the layout into {CHECK_DIR.as_posix()}: {exc.strerror or exc}")
        findings = _findings(rdb)
    return JSONResponse({
        "cell": top,
        "layout": layout.as_posix(),
        "report": report.as_posix(),
        "findings": findings,
    })


@app.post("/api/check-layout/{path:path}.json")
def check_layout(path: str, body: Annotated[str, Body()]) -> JSONResponse:
    """Check the project's layout file named in the body against the saved circuit ``path``."""
    relative = posixpath.normpath(path + NETLIST_SUFFIX)
    try:
        asked = json.loads(body)
    except ValueError:
        asked = None
    if not isinstance(asked, dict) or not isinstance(asked.get("layout"), str) or not isinstance(asked.get("cell", ""), str):
        return _error(422, 'Cannot check: the body must be {"layout": "PATH", "cell": "NAME"} (the cell may be left out).')
    layout_path = posixpath.normpath(asked["layout"])
    if not layout_path.lower().endswith(LAYOUT_SUFFIXES):
        return _error(422, f"Cannot check {layout_path!r}: a layout is a GDS or OASIS file ({', '.join(LAYOUT_SUFFIXES)}).")
    try:
        netlist = read_circuit(relative)
        layout = read_circuit(layout_path)
    except ConfinementError as exc:
        return _error(404, f"Cannot check: {exc}.")

    stem = relative[: -len(NETLIST_SUFFIX)].replace("/", "__")
    report = CHECK_DIR / f"{stem}__{posixpath.basename(layout_path).rsplit('.', 1)[0]}.lyrdb"
    root = Path(PROJECT_DIR).resolve()
    with _check_lock:
        outcome = check_layout_job(str(root), relative, netlist, layout_path, layout, asked.get("cell") or None)
    if "error" in outcome:
        return _error(422, outcome["error"])
    try:
        confined.write_file(report.as_posix(), outcome.pop("report_bytes"))
    except OSError as exc:
        return _error(500, f"Cannot write the report into {CHECK_DIR.as_posix()}: {exc.strerror or exc}")
    return JSONResponse({**outcome, "layout": layout_path, "report": report.as_posix()})


def check_layout_job(root: str, netlist_path: str, netlist: bytes, layout_path: str, layout: bytes, cell: str | None) -> dict[str, Any]:
    """Check the layout (bytes of the project's file ``layout_path``) against the netlist
    (bytes of ``netlist_path``) in a private directory, as ``quillon lvs`` does.

    Plain data in and out, so that it can run in a worker process: answers
    ``{"cell", "findings", "report_bytes"}`` (the report names the project's layout
    file), or ``{"error": one line}`` for input the check refuses.
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
            result = check(drawn, reference, cell=cell, project=root)
        except CheckError as exc:
            text = str(exc).replace(str(reference), netlist_path).replace(str(drawn), layout_path)
            return {"error": f"Cannot check {layout_path}: {text}"}
        except Exception as exc:  # a fault of the check: one line for the page, not a bare 500
            return {"error": f"Cannot check {layout_path}: internal error: {type(exc).__name__}: {_first_line(exc)}"}
        rdb = result.report_database
        rdb.original_file = str(Path(root) / layout_path)
        rdb.save(str(report))
        return {"cell": result.cell, "findings": _findings(rdb), "report_bytes": report.read_bytes()}


_QUOTED = re.compile(r"'([^']+)'")
#: What the check writes where a connection has no port at one end.
NO_CONNECTION = "ERROR_NO_CONNECTION"
_OPEN_END = re.compile(r"Connection from 'ERROR_NO_CONNECTION' to '([^']+)'")


def _designer_text(text: str) -> str:
    """A finding's text without the check's placeholder for a missing port."""
    text = _OPEN_END.sub(r"Connection at '\1', which connects to nothing at its other end", text)
    return text.replace(f"'{NO_CONNECTION}'", "no port")


def _findings(rdb: Any) -> list[dict[str, Any]]:
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
        found.append({
            "category": names.get(item.category_id(), "?"),
            "kind": kind_of(item),
            "texts": [_designer_text(text) for text in texts],
            "instances": sorted(instances),
            "connections": [endpoints[:2]] if len(endpoints) >= 2 else [],
        })
    return found


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


app.mount("/editor", StaticFiles(directory=EDITOR_DIR), name="editor")
