"""The floor of a check, and commands timed from process start.

The floor of `optical_lvs` on a layout is the sum of the parts no
implementation of it avoids:

* reading the instances: one pass over the checked cell's instances through
  KLayout's bindings, reading of each its cell, placement and name property;
* KLayout's netlist extraction of what is needed: the kit's metal layers of
  the cells that carry metal (the layout's other cells and the checked cell's
  metal-free cells dropped from a copy first, untimed), as the check sets it up;
* reading the reference file with the check's own YAML reader.

    python bench/check_floor.py GDS REFERENCE [--cpu-time] [--threads N]   # the first check and the floor in a fresh process

prints, in a new process, the time of a first `optical_lvs` of the GDS's top
cell (on N cores: its wall time, the processor time of its electrical stage's
process and the peak resident sets of both processes too) and then of each
floor part, as `name value` lines.
"""

from __future__ import annotations

import os
import resource
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import cellgrid as cg

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_extraction  # noqa: E402
from python_peer import metal_extraction  # noqa: E402

#: A plain script that reads a GDS and runs KLayout's extraction over the kit's
#: metal on its top cell: the baseline of a command timed from process start.
PLAIN_SCRIPT = (
    "import sys\n"
    "import cellgrid as cg\n"
    "import demo_pdk\n"
    "sys.path.insert(0, sys.argv[2])\n"
    "from python_peer import metal_extraction\n"
    "kcl = cg.KCLayout('plain')\n"
    "(top,) = kcl.read(sys.argv[1])\n"
    "metal_extraction(top, [tuple(s) for s in demo_pdk.PDK.connectivity]).netlist()\n"
)


def read_instances(top: cg.DKCell) -> int:
    """Reads what any check reads of each instance; returns how many were read."""
    name = int(cg.conf.PROPID.NAME)
    count = 0
    for inst in top.kdb_cell.each_inst():
        _ = inst.cell_index, inst.dcplx_trans, inst.property(name) if inst.prop_id else None
        count += 1
    return count


def pruned_copy(top: cg.DKCell, layer_sets: list[tuple[str, ...]]) -> tuple[Any, cg.DKCell]:
    """A copy of the library holding only the cells with metal that `top` places, and `top`."""
    kcl = top.kcl.dup()
    layout = kcl.layout
    copy = kcl.dkcells[top.name]
    top_index = copy.cell_index
    kept = {top_index, *copy.kdb_cell.called_cells()}
    layers = [kcl.layer(name) for layer_set in layer_sets for name in layer_set]
    cells = list(layout.each_cell())
    for cell in cells:  # the copy is private
        cell.locked = False
    dropped = [
        cell
        for cell in cells
        if cell.cell_index() != top_index
        and (cell.cell_index() not in kept or all(cell.bbox(layer).empty() for layer in layers))
    ]
    indexes = [cell.cell_index() for cell in dropped]
    for cell in dropped:
        cell.clear()
    if indexes:
        layout.delete_cells(indexes)
    return kcl, copy


def floor_parts(top: cg.DKCell, reference: str, layer_sets: list[tuple[str, ...]]) -> dict[str, float]:
    """The time of each floor part, with the collector paused as the check runs."""
    import quillon.core.lvs as lvs

    kcl, copy = pruned_copy(top, layer_sets)
    try:
        parts = {
            "instances": bench_extraction.timed(lambda: read_instances(top), collector_paused=True)[0],
            "klayout": bench_extraction.timed(
                lambda: metal_extraction(copy, layer_sets).netlist(), collector_paused=True
            )[0],
            "reference": bench_extraction.timed(
                lambda: lvs._safe_load(Path(reference).read_text(), reference), collector_paused=True
            )[0],
        }
    finally:
        kcl.layout._destroy()
    return parts


def from_start(command: list[str], **kwargs: Any) -> tuple[float, float, int]:
    """(wall time, processor time, exit status) of a command, from its process start."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime, process.returncode


def plain_from_start(gds: Path) -> tuple[float, float, int]:
    """Reading the GDS and KLayout's extraction over the kit's metal, from process start."""
    return from_start([sys.executable, "-c", PLAIN_SCRIPT, str(gds), str(Path(__file__).resolve().parent)])


def fresh(gds: Path, reference: str, cpu_time: bool, threads: int = 1) -> dict[str, float]:
    """The first check of `gds` and then the floor parts, in a fresh process."""
    command = [sys.executable, __file__, str(gds), reference, "--threads", str(threads)]
    command += ["--cpu-time"] if cpu_time else []
    lines = subprocess.run(command, check=True, capture_output=True, text=True).stdout.splitlines()
    return {name: float(value) for name, value in (line.split() for line in lines)}


def main() -> None:
    import demo_pdk
    import quillon.core.lvs as lvs

    gds, reference = Path(sys.argv[1]), sys.argv[2]
    if "--cpu-time" in sys.argv:
        bench_extraction.use_cpu_time()
    threads = int(sys.argv[sys.argv.index("--threads") + 1]) if "--threads" in sys.argv else 1
    kcl = cg.KCLayout("fresh")
    (top,) = kcl.read(str(gds))
    layer_sets = [tuple(s) for s in demo_pdk.PDK.connectivity]
    start, wall = os.times(), time.perf_counter()
    check = bench_extraction.timed(lambda: lvs.optical_lvs(top, reference, threads=threads), collector_paused=True)[0]
    wall, end = time.perf_counter() - wall, os.times()
    print("check", check)
    print("check_wall", wall)
    print("check_children", end.children_user + end.children_system - start.children_user - start.children_system)
    print("peak", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
    print("peak_children", resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
    for name, value in floor_parts(top, reference, layer_sets).items():
        print(name, value)


if __name__ == "__main__":
    main()
