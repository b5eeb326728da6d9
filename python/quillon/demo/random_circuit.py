"""Seeded random circuits of the demo kit, as netlists for ``quillon build``.

Each circuit is a stack of chains, one per row. A chain starts at an input
grating placed at the left and runs east through components joined by
connections: straights, 1x2 splitters, pairs of Euler bends (which lift the
chain), and heaters whose two contacts are wired to pads by electrical nets
(the pads get no placement: the build puts each facing its contact; a
straight after each heater keeps the pads of the next one clear). The end
of every chain and the spare output of every splitter are routed, one bundle
per row, to output gratings placed in a column on the right; now and then a
spare output is exposed as a port of the cell instead.

Every net joins exactly two ports, and nothing is mirrored.

    python -m quillon.demo.random_circuit SEED [CHAINS] [LENGTH] > circuit.pic.yml
"""

from __future__ import annotations

import random
import sys
from typing import Any

import yaml

__all__ = ["random_netlist"]

ROW = 400.0
OUT_PITCH = 40.0
MAX_SOURCES_PER_ROW = 7
#: Length of the straight after a heater: pads are 80 µm wide, centred on the contacts.
PAD_CLEARANCE = 100


def random_netlist(seed: int, chains: int = 4, length: int = 6) -> dict[str, Any]:
    """A random netlist: `chains` rows of about `length` components each."""
    rng = random.Random(seed)
    instances: dict[str, Any] = {}
    placements: dict[str, Any] = {}
    connections: dict[str, str] = {}
    routes: dict[str, Any] = {}
    nets: list[dict[str, str]] = []
    ports: dict[str, str] = {}
    rows: list[list[str]] = []
    far = 0.0

    for k in range(chains):
        y = k * ROW
        start = f"c{k}_in"
        instances[start] = {"component": "grating_coupler"}
        placements[start] = {"x": 0, "y": y, "rotation": 180}
        current, x, lifts, sources = f"{start},o1", 0.0, 0, []
        for i in range(length):
            name = f"c{k}_{i}"
            kind = rng.choice(["straight", "straight", "mmi1x2", "heater", "bends"])
            if kind == "bends" and lifts >= 2:
                kind = "straight"
            if kind == "mmi1x2" and len(sources) >= MAX_SOURCES_PER_ROW - 1:
                kind = "straight"
            if kind == "straight":
                size = rng.randrange(5, 60)
                instances[name] = {"component": "straight", "settings": {"length": size}}
                connections[current] = f"{name},o1"
                current, x = f"{name},o2", x + size
            elif kind == "mmi1x2":
                instances[name] = {"component": "mmi1x2"}
                connections[current] = f"{name},o1"
                current, x = f"{name},o2", x + 25.5
                if rng.random() < 0.2:
                    ports[f"out_{k}_{i}"] = f"{name},o3"
                else:
                    sources.append(f"{name},o3")
            elif kind == "heater":
                size = rng.choice([100, 120, 150])
                instances[name] = {"component": "straight_heater_metal", "settings": {"length": size}}
                connections[current] = f"{name},o1"
                current, x = f"{name},o2", x + size
                for contact in ("e1", "e2"):
                    pad = f"{name}_{contact}_pad"
                    instances[pad] = {"component": "pad"}
                    nets.append({"p1": f"{name},{contact}", "p2": f"{pad},e1"})
                # The next heater's pads keep clear of these.
                spacer = f"{name}_spacer"
                instances[spacer] = {"component": "straight", "settings": {"length": PAD_CLEARANCE}}
                connections[current] = f"{spacer},o1"
                current, x = f"{spacer},o2", x + PAD_CLEARANCE
            else:
                radius = rng.choice([10, 15])
                up, down = f"{name}_up", f"{name}_down"
                for bend in (up, down):
                    instances[bend] = {"component": "bend_euler", "settings": {"radius": radius}}
                connections[current] = f"{up},o1"
                connections[f"{up},o2"] = f"{down},o2"
                current, x, lifts = f"{down},o1", x + 2 * radius, lifts + 1
        sources.append(current)
        rows.append(sources)
        far = max(far, x)

    column = far + 300.0
    for k, sources in enumerate(rows):
        links = {}
        for j, source in enumerate(sources):
            out = f"c{k}_out{j}"
            instances[out] = {"component": "grating_coupler"}
            placements[out] = {"x": column, "y": k * ROW - 100 + OUT_PITCH * j}
            links[source] = f"{out},o1"
        if rng.random() < 0.25:
            routes[f"row{k}"] = {"routing_strategy": "route_single", "links": links}
        else:
            routes[f"row{k}"] = {
                "routing_strategy": "route_bundle",
                "settings": {"separation": rng.choice([3.0, 5.0])},
                "links": links,
            }
    return {
        "instances": instances,
        "placements": placements,
        "connections": connections,
        "routes": routes,
        "nets": nets,
        "ports": ports,
    }


def main(argv: list[str] | None = None) -> int:
    """Print a random netlist as YAML."""
    args = [int(a) for a in (sys.argv[1:] if argv is None else argv)]
    print(yaml.safe_dump(random_netlist(*args), sort_keys=False), end="")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
