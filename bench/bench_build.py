"""``quillon build``: the kit cache cold and warm, and circuits built from their netlist files.

    PYTHONPATH=python python bench/bench_build.py [--repeat 3] [--instances 1000 10000 100000]

Prints:

* the kit cache of the demo kit on a fresh project (cold: every component
  built) and again unchanged (warm), as ``quillon build`` runs in a new process
  (wall time, interpreter start and imports included) and as the time of
  `build_kit_cache` itself inside that process;
* per circuit size, a random circuit of the demo kit (`quillon.demo.random_circuit`)
  built from its netlist file: reading the file, building the cell, writing
  the GDS, in all and per instance, and then checking the layout against the
  file (which must find nothing);
* per size, the same circuit with no placements (every instance joined to
  nothing placed goes into the row of unplaced groups) and with only its
  instances (each a group of its own): the build, in all and per instance;
* last, each figure per instance as a multiple of that of the smallest size
  (linear: 1; processor time, beside the load average).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import yaml

from quillon.build import circuit_layout
from quillon.build.circuit_layout import build_circuit, read_netlist
from quillon.demo.random_circuit import random_netlist

ROOT = Path(__file__).resolve().parents[1]
TIMED_BUILD = (
    "import sys, time\n"
    "from quillon.build.kit_cache import build_kit_cache\n"
    "t = time.perf_counter(); report = build_kit_cache(sys.argv[1])\n"
    "print(time.perf_counter() - t, len(report.built), len(report.unchanged))\n"
)


def new_project(root: Path) -> Path:
    root.mkdir(parents=True)
    (root / "pyproject.toml").write_text('[tool.quillon]\nname = "chips"\npdk = "demo_pdk"\n')
    return root


def kit_cache(repeat: int, workdir: Path) -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), *sys.path]))
    rows: dict[str, list[float]] = {"cold command": [], "cold build": [], "warm command": [], "warm build": []}
    for n in range(repeat):
        project = new_project(workdir / f"kit{n}")
        for state in ("cold", "warm"):
            start = time.perf_counter()
            subprocess.run(
                [sys.executable, "-m", "quillon", "build"], cwd=project, env=env, check=True, capture_output=True
            )
            rows[f"{state} command"].append(time.perf_counter() - start)
        (project / "build" / "gds" / "pdk" / "hashes.json").unlink()
        for state in ("cold", "warm"):
            out = subprocess.run(
                [sys.executable, "-c", TIMED_BUILD, str(project)], env=env, check=True, capture_output=True, text=True
            )
            rows[f"{state} build"].append(float(out.stdout.split()[0]))
    print(f"kit cache of demo_pdk, median of {repeat}:")
    for name, times in rows.items():
        print(f"  {name:14} {statistics.median(times) * 1000:8.1f} ms")


def sized_netlist(instances: int, seed: int = 7) -> dict[str, object]:
    """A random netlist of about `instances` instances (rows of 20 steps)."""
    chains = 1
    while True:
        netlist = random_netlist(seed, chains=chains, length=20)
        if len(netlist["instances"]) >= instances:  # type: ignore[arg-type]
            return netlist
        chains = max(chains + 1, round(chains * instances / len(netlist["instances"])))  # type: ignore[arg-type]


def cpu_timed(action: Any) -> tuple[float, Any]:
    start = time.process_time()
    result = action()
    return time.process_time() - start, result


def unplaced(instances: int, kit: Any) -> dict[str, float]:
    """Per instance, the build of the circuit with no placements and with only its instances."""
    netlist = sized_netlist(instances)
    count = len(netlist["instances"])  # type: ignore[arg-type]
    variants = {"no placements": {**netlist, "placements": {}}, "instances only": {"instances": netlist["instances"]}}
    figures = {}
    for name, variant in variants.items():
        t, cell = cpu_timed(lambda v=variant: build_circuit(v, kit, f"bench_{name.replace(' ', '_')}_{count}"))
        circuit_layout._retire(cell)
        figures[name] = t / count
        print(f"  {name:15} build {t:6.2f} s   {t / count * 1e6:7.1f} µs per instance")
    return figures


def circuit(instances: int, workdir: Path) -> dict[str, float]:
    from quillon.cli import lvs
    from quillon.core.shared import activate_pdk_by_name

    netlist = sized_netlist(instances)
    count = len(netlist["instances"])  # type: ignore[arg-type]
    path = workdir / f"random_{count}.pic.yml"
    path.write_text(yaml.safe_dump(netlist, sort_keys=False))
    kit = activate_pdk_by_name("demo_pdk")
    project = new_project(workdir / f"circuit{count}")

    t_read, read = cpu_timed(lambda: read_netlist(path))
    t_build, cell = cpu_timed(lambda: build_circuit(read, kit, f"bench_{count}"))
    gds = workdir / f"random_{count}.gds"
    t_write, _ = cpu_timed(lambda: cell.write(str(gds)))
    circuit_layout._retire(cell)
    t_again, _ = cpu_timed(lambda: circuit_layout.build_circuit_gds(path, gds, project))
    t_check, status = cpu_timed(
        lambda: lvs.main([str(gds), str(path), "--project-dir", str(project), "-o", str(gds.with_suffix(".lyrdb"))])
    )

    total = t_read + t_build + t_write
    print(f"circuit of {count} instances ({len(netlist['nets'])} nets, {len(netlist['routes'])} bundles):")  # type: ignore[arg-type]
    print(f"  read {t_read * 1000:8.1f} ms   build {t_build * 1000:8.1f} ms   write {t_write * 1000:8.1f} ms")
    print(f"  first build  {total:6.2f} s   {total / count * 1e6:7.1f} µs per instance (kit cells built on the way)")
    print(f"  second build {t_again:6.2f} s   {t_again / count * 1e6:7.1f} µs per instance (kit cells cached)")
    print(
        f"  check        {t_check:6.2f} s   {t_check / count * 1e6:7.1f} µs per instance, exit status {status} (0: no findings)"
    )
    return {
        "first build": total / count,
        "second build": t_again / count,
        "check": t_check / count,
        **unplaced(instances, kit),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--instances", type=int, nargs="+", default=[1000])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench_build_") as tmp:
        workdir = Path(tmp)
        kit_cache(args.repeat, workdir)
        per_instance = {n: circuit(n, workdir) for n in args.instances}
    smallest = min(per_instance)
    print(
        f"per instance, as a multiple of {smallest} instances (processor time; load average {os.getloadavg()[0]:.1f}):"
    )
    for n, figures in per_instance.items():
        print(
            f"  {n:>7}: " + "  ".join(f"{name} x{t / per_instance[smallest][name]:.2f}" for name, t in figures.items())
        )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
