"""``quillon lvs`` on chains of cells nested ever deeper: the cost of depth.

    PYTHONPATH=python python bench/bench_depth.py [--depths 500 1000 2000 4000] [--repeat 3]

Each chain is a GDS file whose top cell places one cell, which places the
next, and so on down to the given depth, every level a named instance. Two
kinds: "bare" chains hold one box on a layer the kit does not conduct on, at
the bottom (the electrical stage drops every cell of them), "metal" chains a
box of metal on every level (it keeps them all). Prints per kind and depth:

* the command, from process start to exit, as a user runs it (best of
  `--repeat`), and beyond a chain of depth 1 (start-up, kit, imports);
* KLayout reading the same file and bringing the layout up to date (one
  `bbox` of the top cell): KLayout sorts the cells of a layout in a time
  quadratic in its depth, and the check needs a few such updates;
* the growth of the time beyond start-up over the growth of the depth, from
  the previous row (1 when depth costs linearly, 2 when quadratically; on a
  loaded machine only rows of a second or more beyond start-up tell), and
  the time beyond start-up in KLayout updates of that layout.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import klayout.db as kdb

ROOT = Path(__file__).resolve().parents[1]
REFERENCE = "instances: {}\nconnections: {}\nroutes: {}\nnets: []\nports: {}\n"
METAL = (41, 0)  # the demo kit's M1


def write_chain(path: Path, depth: int, kind: str) -> None:
    layout = kdb.Layout()
    layout.dbu = 0.001
    box_layer = layout.layer(*(METAL if kind == "metal" else (1, 0)))
    cells = [layout.create_cell(f"level{i}") for i in range(depth + 1)]
    for i, cell in enumerate(cells):
        if kind == "metal" or i == depth:
            cell.shapes(box_layer).insert(kdb.Box(0, 0, 100, 100))
        if i < depth:
            placed = cell.insert(kdb.CellInstArray(cells[i + 1].cell_index(), kdb.Trans(kdb.Point(10, 0))))
            placed.set_property(0, f"i{i}")
    layout.write(str(path))


def command(layout: Path, reference: Path, project: Path, repeat: int) -> float:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), *sys.path]))
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        done = subprocess.run(
            [sys.executable, "-m", "quillon", "lvs", str(layout), str(reference), "-o", str(project / "r.lyrdb")],
            cwd=project,
            env=env,
            capture_output=True,
            text=True,
        )
        best = min(best, time.perf_counter() - start)
        if done.returncode not in (0, 1):
            raise SystemExit(f"quillon lvs failed on {layout.name}: {done.stderr.strip()}")
    return best


def klayout_floor(layout: Path, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        read = kdb.Layout()
        read.read(str(layout))
        read.top_cell().bbox()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[1000, 2000, 4000, 8000])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-depth-") as scratch:
        project = Path(scratch)
        (project / "pyproject.toml").write_text('[tool.quillon]\nname = "p"\npdk = "demo_pdk"\n')
        reference = project / "chain.pic.yml"
        reference.write_text(REFERENCE)
        print(
            f"{'kind':>5} {'depth':>6} {'command s':>10} {'beyond start-up s':>18} {'KLayout read+update s':>22} {'growth ratio':>13} {'updates':>8}"
        )
        for kind in ("bare", "metal"):
            write_chain(project / "chain1.gds", 1, kind)
            start_up = command(project / "chain1.gds", reference, project, args.repeat)
            previous: tuple[int, float] | None = None
            for depth in args.depths:
                layout = project / f"chain{depth}.gds"
                write_chain(layout, depth, kind)
                seconds = command(layout, reference, project, args.repeat)
                beyond = max(seconds - start_up, 1e-3)
                floor = klayout_floor(layout, args.repeat)
                ratio = ""
                if previous is not None:
                    ratio = f"{(beyond / previous[1]) / (depth / previous[0]):.2f}"
                updates = beyond / floor
                print(
                    f"{kind:>5} {depth:>6} {seconds:>10.2f} {beyond:>18.2f} {floor:>22.3f} {ratio:>13} {updates:>8.1f}"
                )
                previous = (depth, beyond)


if __name__ == "__main__":
    main()
