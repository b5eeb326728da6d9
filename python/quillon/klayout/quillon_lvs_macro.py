# The quillon check inside the KLayout viewer: a macro that KLayout runs when it
# starts (``quillon klayout install`` puts it into the user's macro folder).
#
# It adds "Check with quillon LVS" to the Tools menu: the cell shown in the
# current view is checked against its reference netlist by ``quillon lvs``
# (the netlist ``<cell>.pic.yml`` or ``<layout name>.pic.yml`` beside the
# layout, else one chosen in a dialog), and the report is loaded into the
# view's marker browser. The kit is the one of the nearest project above the
# layout (a directory with a pyproject.toml), as ``quillon lvs`` chooses it.
#
# This file runs inside KLayout's own Python, not quillon's: it only starts
# the quillon command that the installer wrote below, and reads its files.

import os
import shutil
import subprocess
import tempfile
import time

import pya

#: The command that runs quillon (a list of words); the installer writes it.
QUILLON_COMMAND = None

#: The menu entry: its name, its title and where it goes.
ENTRY = "quillon_lvs"
TITLE = "Check with quillon LVS"
AFTER = "tools_menu.lvs"

#: The endings of layout files, longest first, stripped to find a netlist of the same name.
LAYOUT_ENDINGS = (".gds.gz", ".oas.gz", ".gds2", ".gds", ".oas", ".gdsii")
NETLIST_ENDING = ".pic.yml"


class CheckFailed(Exception):
    """The check could not run: the message says why, in one line."""


def quillon_command():
    if QUILLON_COMMAND:
        return list(QUILLON_COMMAND)
    found = shutil.which("quillon")
    if found:
        return [found]
    raise CheckFailed("cannot find the quillon command: run `quillon klayout install` again")


def reference_beside(layout_path, cell_name):
    """The netlist beside the layout: named after the cell, else after the layout file."""
    directory, file_name = os.path.split(layout_path)
    stem = next(
        (file_name[: -len(ending)] for ending in LAYOUT_ENDINGS if file_name.lower().endswith(ending)), file_name
    )
    for name in (cell_name + NETLIST_ENDING, stem + NETLIST_ENDING):
        candidate = os.path.join(directory, name)
        if os.path.isfile(candidate):
            return candidate
    return None


def ask_reference(layout_path, cell_name):
    chosen = pya.FileDialog.ask_open_file_name(
        "Reference netlist of cell " + cell_name,
        os.path.dirname(layout_path),
        "Netlists (*.pic.yml *.yml *.yaml);;All files (*)",
    )
    if not chosen:
        raise CheckFailed("no reference netlist chosen")
    return chosen


def project_of(path):
    """The nearest directory above `path` that holds a pyproject.toml, or None."""
    directory = os.path.dirname(os.path.abspath(path))
    while True:
        if os.path.isfile(os.path.join(directory, "pyproject.toml")):
            return directory
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def report_path(layout_path, cell_name):
    """Where `quillon lvs` writes the report: beside the layout, or in a fresh directory where that cannot be written."""
    directory = os.path.dirname(os.path.abspath(layout_path))
    if not os.access(directory, os.W_OK):
        directory = tempfile.mkdtemp(prefix="quillon-lvs-")
    return os.path.join(directory, cell_name + ".lyrdb")


def run_quillon(arguments):
    """Run quillon with `arguments` while the viewer keeps drawing; its exit status, output and errors."""
    with tempfile.TemporaryFile("w+") as output, tempfile.TemporaryFile("w+") as errors:
        process = subprocess.Popen(
            quillon_command() + arguments, stdout=output, stderr=errors, stdin=subprocess.DEVNULL
        )
        application = pya.Application.instance()
        while process.poll() is None:
            application.process_events()
            time.sleep(0.05)
        output.seek(0)
        errors.seek(0)
        return process.returncode, output.read(), errors.read()


def check_current_view(reference=None):
    """Check the cell of the current view; load the report into the view. Returns the summary's first line."""
    view = pya.LayoutView.current()
    if view is None:
        raise CheckFailed("open a layout first")
    cellview = view.active_cellview()
    if not cellview.is_valid() or cellview.cell is None:
        raise CheckFailed("show a cell of a layout first")
    layout_path = cellview.filename()
    if not layout_path or not os.path.isfile(layout_path):
        raise CheckFailed("the layout has no file: save it first, the check reads the file")
    if cellview.is_dirty():
        raise CheckFailed("the layout has unsaved edits: save it first, the check reads the file")
    cell_name = cellview.cell.name
    reference = reference or reference_beside(layout_path, cell_name) or ask_reference(layout_path, cell_name)
    report = report_path(layout_path, cell_name)
    arguments = ["lvs", layout_path, reference, "--cell", cell_name, "-o", report]
    project = project_of(layout_path) or project_of(reference)
    if project is not None:
        arguments += ["--project-dir", project]
    status, output, errors = run_quillon(arguments)
    if status not in (0, 1):
        lines = [line for line in errors.splitlines() if line.strip()]
        raise CheckFailed(lines[-1] if lines else f"quillon lvs ended with exit status {status}")
    index = view.create_rdb("quillon LVS")
    view.rdb(index).load(report)
    view.show_rdb(index, cellview.index())
    lines = output.splitlines()
    return lines[0] if lines else "quillon lvs: done"


def on_check():
    main_window = pya.MainWindow.instance()
    try:
        main_window.message(check_current_view(), 20000)
    except CheckFailed as failure:
        pya.MessageBox.warning("quillon LVS", str(failure), pya.MessageBox.Ok)


def add_menu_entry():
    menu = pya.MainWindow.instance().menu()
    if menu.is_valid("tools_menu." + ENTRY):
        menu.delete_item("tools_menu." + ENTRY)  # the macro ran again: one entry only
    action = pya.Action()
    action.title = TITLE
    action.on_triggered += on_check
    menu.insert_item((AFTER + "+") if menu.is_valid(AFTER) else "tools_menu.end", ENTRY, action)
    return action


# kept alive with the macro: KLayout holds no reference of its own
if pya.MainWindow.instance() is not None:
    QUILLON_LVS_ACTION = add_menu_entry()
