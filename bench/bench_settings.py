"""Bench: the instance settings comparison inside the check.

    PYTHONPATH=python python bench/bench_settings.py [N ...]   (default 10000 100000)

For each size, a clean generated layout (``generate_layout``: n heaters and n
pads, named) is checked three ways, the fastest of three rounds counting:
with a reference that states no settings, one that states every instance's
settings (all equal to the layout's), and one where every heater is 1 µm too
long (n/1 items). Printed per way: the whole check, its findings stage (on a
clean difference that stage is the settings comparison, the other passes
finding nothing to do), and that stage's share of the check.
"""

from __future__ import annotations

import copy
import os
import sys
import tempfile
from pathlib import Path
from typing import Any

import yaml

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_check  # noqa: E402
from generate_layout import generate, reference_netlist  # noqa: E402
from quillon.core import lvs  # noqa: E402

ROUNDS = 3


def stating(reference: dict[str, Any], heater_length: float) -> dict[str, Any]:
    stated = copy.deepcopy(reference)
    for instance in stated["instances"].values():
        if instance["component"] == "straight_heater_metal":
            instance["settings"] = {"length": heater_length, "cross_section": "strip", "heater_width": 2.5}
        else:
            instance["settings"] = {"size": [80, 80], "layer": "M2"}
    return stated


def main(sizes: list[int]) -> None:
    with tempfile.TemporaryDirectory(prefix="settings-bench-") as work:
        (Path(work) / "pyproject.toml").write_text('[tool.quillon]\nname = "bench"\npdk = "demo_pdk"\n')
        os.environ["QUILLON_PROJECT_DIR"] = work
        for n in sizes:
            top = generate(n)
            reference = reference_netlist(n)
            cases = {
                "no settings stated": reference,
                "all stated": stating(reference, 100.0),
                "all heaters 1 um long": stating(reference, 101.0),
            }
            for label, netlist in cases.items():
                path = Path(work) / f"{n}_{len(label)}.pic.yml"
                path.write_text(yaml.safe_dump(netlist, sort_keys=False))
                best: dict[str, float] = {}
                items = 0
                for _ in range(ROUNDS):
                    stages = bench_check.stage_times(lambda: lvs.optical_lvs(top, str(path)))
                    total = sum(stages.values())
                    if not best or total < best["total"]:
                        best = {"total": total, "findings": stages["findings"]}
                items = lvs.optical_lvs(top, str(path)).num_items()
                print(
                    f"N={n:>6}  {label:<22} check={best['total']:6.2f}s  findings stage={best['findings']:6.3f}s "
                    f"({100 * best['findings'] / best['total']:4.1f}% of the check, {items} items)",
                    flush=True,
                )


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [10_000, 100_000])
