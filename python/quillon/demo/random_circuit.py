"""Seeded random circuits of the demo kit, as netlists for ``quillon build``.

Each circuit is a stack of chains, one per row. A row starts at a mirrored
splitter on the left (1x2 or 2x2; row k turned by 90 * (k mod 4) degrees),
fed by an input grating joined to it; one of its outputs is routed to the
head of the chain, placed at x = 0, and its spare ports are exposed as ports
of the cell, the spare output through a joined straight. The chain runs east
through components joined by connections: straights, 1x2 splitters, pairs of
Euler bends (which lift the chain), and heaters whose two contacts are wired
to pads by electrical nets (the pads get no placement: the build puts each
facing its contact; a straight after each heater keeps the pads of the next
one clear). A heater may share its first contact's net with the last contact
of the heater before it in the row: a net of three pins (two contacts and
that one's pad) or of four (and its own pad), listed as a star or a chain,
either way round. The end of every chain and the spare output of every
splitter are routed, one bundle per row, to output gratings placed in a
column on the right, some of them mirrored; now and then a spare output is
exposed as a port of the cell instead.

Some instance names hold quotes, a backslash, a space or non-ASCII letters.

    python -m quillon.demo.random_circuit SEED [CHAINS] [LENGTH] > circuit.pic.yml
"""

from __future__ import annotations

import random
import sys
from collections.abc import Callable
from typing import Any

import yaml

__all__ = ["random_netlist"]

ROW = 400.0
OUT_PITCH = 40.0
MAX_SOURCES_PER_ROW = 7
#: Length of the straight after a heater: pads are 80 µm wide, centred on the contacts.
PAD_CLEARANCE = 100
#: x of the mirrored splitter that starts each row; the chain's head is at x = 0.
ISLAND_X = -250.0
#: Endings of some instance names: quotes of both kinds, a space, a backslash, non-ASCII letters.
ODD_ENDINGS = ("'", '"', " b", "é", "\\", "ø'\"x", "日")


def random_netlist(seed: int, chains: int = 4, length: int = 6) -> dict[str, Any]:
    """A random netlist: `chains` rows of about `length` components each."""
    rng = random.Random(seed)

    def named(base: str) -> str:
        return base + rng.choice(ODD_ENDINGS) if rng.random() < 0.25 else base

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
        head = named(f"c{k}_head")
        instances[head] = {"component": "straight", "settings": {"length": 10}}
        placements[head] = {"x": 0, "y": y}
        _island(rng, named, k, f"{head},o1", instances, placements, connections, routes, ports)
        current, x, lifts, sources = f"{head},o2", 10.0, 0, []
        last_pad: str | None = None  # of the last heater's e2
        for i in range(length):
            name = named(f"c{k}_{i}")
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
                    if contact == "e1" and last_pad is not None and rng.random() < 0.6:
                        # The last net listed is the one of the heater before's e2.
                        nets += _shared_net(rng, nets.pop(), last_pad, f"{name},e1", pad, instances)
                        continue
                    instances[pad] = {"component": "pad"}
                    nets.append(_either_way(rng, f"{name},{contact}", f"{pad},e1"))
                last_pad = f"{name}_e2_pad"
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
            if rng.random() < 0.3:
                placements[out]["mirror"] = True
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


def _island(
    rng: random.Random,
    named: Callable[[str], str],
    k: int,
    head: str,
    instances: dict[str, Any],
    placements: dict[str, Any],
    connections: dict[str, str],
    routes: dict[str, Any],
    ports: dict[str, str],
) -> None:
    """The mirrored splitter that feeds row `k` through its chain's `head` port."""
    island, grating, tap = named(f"c{k}_src"), named(f"c{k}_in"), named(f"c{k}_tap")
    component = rng.choice(["mmi1x2", "mmi2x2"])
    inputs, outputs = (["o1"], ["o2", "o3"]) if component == "mmi1x2" else (["o1", "o2"], ["o3", "o4"])
    rng.shuffle(inputs)
    rng.shuffle(outputs)
    instances[island] = {"component": component}
    placements[island] = {"x": ISLAND_X, "y": k * ROW, "rotation": 90 * (k % 4), "mirror": True}
    instances[grating] = {"component": "grating_coupler"}
    connections[f"{island},{inputs[0]}"] = f"{grating},o1"
    instances[tap] = {"component": "straight", "settings": {"length": rng.randrange(5, 30)}}
    connections[f"{island},{outputs[1]}"] = f"{tap},o1"
    ports[f"tap_{k}"] = f"{tap},o2"
    if len(inputs) > 1:
        ports[f"spare_{k}"] = f"{island},{inputs[1]}"
    routes[f"feed{k}"] = {
        "routing_strategy": rng.choice(["route_single", "route_bundle"]),
        "links": {f"{island},{outputs[0]}": head},
    }


def _either_way(rng: random.Random, a: str, b: str) -> dict[str, str]:
    """A two-pin net from `a` to `b` or from `b` to `a`."""
    return {"p1": a, "p2": b} if rng.random() < 0.5 else {"p1": b, "p2": a}


def _shared_net(
    rng: random.Random, before: dict[str, str], before_pad: str, contact: str, pad: str, instances: dict[str, Any]
) -> list[dict[str, str]]:
    """The nets of `contact` joined to the net `before` (the heater before's e2 and its pad).

    Each wire leaves a contact or a pad that the build has placed by then:
    `before_pad` faces the heater before, `contact` reaches that pad's east
    side (an L) or its contact side (a Z), and, for four pins, `pad` faces
    `contact`.
    """
    nets = [before, _either_way(rng, contact, f"{before_pad},{rng.choice(['e1', 'e4'])}")]
    if rng.random() < 0.5:
        instances[pad] = {"component": "pad"}
        nets.append(_either_way(rng, contact, f"{pad},e1"))
    rng.shuffle(nets)
    return nets


def main(argv: list[str] | None = None) -> int:
    """Print a random netlist as YAML."""
    args = [int(a) for a in (sys.argv[1:] if argv is None else argv)]
    print(yaml.safe_dump(random_netlist(*args), sort_keys=False), end="")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
