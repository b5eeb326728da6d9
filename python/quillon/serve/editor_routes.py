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
The placements, "Build and check" and the check of a layout run in a worker
process bounded in time and memory (:mod:`quillon.serve.worker`, the jobs in
:mod:`quillon.serve.check_job`), at most one check per circuit at a time;
whatever stops a worker is answered in one line. The layout is built and
checked in a private temporary directory, from the netlist's bytes as read;
the layout and the report are then written into the project the same confined
way.
"""

from __future__ import annotations

import inspect
import json
import mimetypes
import posixpath
from pathlib import Path
from typing import Annotated, Any

from fastapi import Body
from fastapi.responses import FileResponse, JSONResponse
from fastapi.staticfiles import StaticFiles

from quillon.serve import check_job, confined, worker
from quillon.serve.app import PDK, PROJECT_DIR, SETTINGS, app
from quillon.serve.check_job import NETLIST_SUFFIX

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
async def placements(body: str = Body(...)) -> JSONResponse:
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
        status, answer = await worker.run_bounded(check_job.placements, netlist, PDK, what="placing the instances")
    except worker.WorkerFailure as exc:
        return _error(503, f"Cannot place the instances: {exc}.")
    return JSONResponse(answer, status_code=status)


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
async def build_and_check(path: str) -> JSONResponse:
    """Build the saved circuit ``path`` and check the layout against its netlist."""
    relative = posixpath.normpath(path + NETLIST_SUFFIX)
    return await _in_worker(
        check_job.build_and_check,
        relative,
        str(Path(PROJECT_DIR).resolve()),
        key=relative,
        what=f"the check of {relative}",
    )


@app.post("/api/check-layout/{path:path}.json")
async def check_layout(path: str, body: Annotated[str, Body()]) -> JSONResponse:
    """Check the project's layout file named in the body against the saved circuit ``path``."""
    relative = posixpath.normpath(path + NETLIST_SUFFIX)
    try:
        asked = json.loads(body)
    except ValueError:
        asked = None
    if (
        not isinstance(asked, dict)
        or not isinstance(asked.get("layout"), str)
        or not isinstance(asked.get("cell", ""), str)
    ):
        return _error(
            422, 'Cannot check: the body must be {"layout": "PATH", "cell": "NAME"} (the cell may be left out).'
        )
    layout_path = posixpath.normpath(asked["layout"])
    if not layout_path.lower().endswith(LAYOUT_SUFFIXES):
        return _error(
            422, f"Cannot check {layout_path!r}: a layout is a GDS or OASIS file ({', '.join(LAYOUT_SUFFIXES)})."
        )
    return await _in_worker(
        check_job.check_layout_file,
        str(Path(PROJECT_DIR).resolve()),
        relative,
        layout_path,
        asked.get("cell") or None,
        key=f"{relative} against {layout_path}",
        what=f"the check of {layout_path}",
    )


async def _in_worker(job: Any, *args: Any, key: str, what: str) -> JSONResponse:
    """The (status, document) a check job answers, run in a bounded worker; one line when it is stopped."""
    try:
        status, answer = await worker.run_bounded(job, *args, key=key, what=what)
    except worker.WorkerBusy as exc:
        return _error(409, f"Cannot check: {exc}.")
    except worker.WorkerFailure as exc:
        return _error(503, f"Cannot check: {exc}.")
    return JSONResponse(answer, status_code=status)


#: The job of the layout check, under the name it had here.
check_layout_job = check_job.check_layout_job


app.mount("/editor", StaticFiles(directory=EDITOR_DIR), name="editor")
