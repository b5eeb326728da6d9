"""Large layouts for benchmarks, built with the demo kit, and their reference netlists.

    from generate_layout import generate
    top = generate(10_000, reference="build/bench_10000.pic.yml")

`generate(n)` places n named thermal phase shifters ("d0", "d1", ...; the kit's
`straight_heater_metal`) on a grid, row after row, every other row running
backwards, and chains them into one optical path:

* within a row, the output o2 of one device meets the input o1 of the next
  through a waveguide of `segments` unnamed straights;
* from the end of a row to the start of the next, a routed U-turn of unnamed
  straights and bends (`demo_pdk.route_single`);
* the path's ends are the cell's external ports "in" (d0,o1) and "out".

Every device has a named pad ("p0", "p1", ...) beside it, and metal paths on M2
make two-pin electrical nets: for i % 3 == 0 the heater's e1 is wired to its
pad; for i % 3 == 1 the pad is wired to the pad of the next device, when that
is in the same row.

With `reference`, the same circuit is written as a reference netlist (YAML with
"instances", "connections", "routes", "nets" and "ports"); `reference_netlist`
returns it as a mapping. The layout extracted from the cell and the loaded
reference describe one circuit, so an LVS check of the pair is clean.

Run as a script to write a layout and its reference:

    PYTHONPATH=python python bench/generate_layout.py 1000 --gds build/bench.gds --reference build/bench.pic.yml
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path
from typing import Any

import yaml

import cellgrid as cg
import demo_pdk

kdb = cg.kdb

DEVICE = "straight_heater_metal"
PAD = "pad"
PITCH_X = 130.0  # µm between device origins in a row (devices are 100 µm long)
PITCH_Y = 300.0  # µm between rows: pads 80 µm tall above or below each device
PAD_OFFSET = 80.0  # µm from a device's axis to its pad's centre
WIRE = 4.0  # µm, width of the metal paths


def _columns(n: int, columns: int | None) -> int:
    if columns is None:
        return max(1, math.ceil(math.sqrt(n)))
    if columns < 1:
        raise ValueError(f"columns must be positive, got {columns}")
    return columns


def _place(top: cg.DKCell, cell: cg.DKCell, name: str | None, x: float, y: float, rot: float) -> cg.DInstance:
    return top.create_inst(cell, kdb.DCplxTrans(1, rot, False, x, y), name=name)


def generate(
    n: int,
    *,
    columns: int | None = None,
    segments: int = 3,
    name: str | None = None,
    reference: str | Path | None = None,
    prefix: str = "",
) -> cg.DKCell:
    """Build the layout of n chained devices (see the module documentation).

    `columns` devices per row (default about the square root of n); `segments`
    unnamed straights between neighbours in a row; `name` of the new top cell
    (default "bench_<n>", made unique); `reference`, when given, is the path of
    the reference netlist YAML to write for the same circuit; `prefix` starts
    every instance name (for long names).
    """
    if n < 1:
        raise ValueError(f"n must be at least 1, got {n}")
    if segments < 1:
        raise ValueError(f"segments must be at least 1, got {segments}")
    cols = _columns(n, columns)
    pdk = demo_pdk.PDK.activate()
    device = pdk.get_component(DEVICE)
    pad = pdk.get_component(PAD)
    # read once: a bounding box query re-sorts a cell that was changed since
    length = device.dbbox().width()
    gap = PITCH_X - length
    piece = pdk.get_component("straight", length=round(gap / segments, 3))
    top = cg.DKCell(cg.kcl.layout.unique_cell_name(name or f"bench_{n}"))
    m2 = pdk.layers["M2"]
    metal = top.shapes(m2)

    devices: list[cg.DInstance] = []
    pads: list[kdb.DPoint] = []
    for i in range(n):
        row, k = divmod(i, cols)
        forward = row % 2 == 0
        col = k if forward else cols - 1 - k
        x, y = col * PITCH_X, row * PITCH_Y
        d = _place(top, device, f"{prefix}d{i}", x if forward else x + length, y, 0 if forward else 180)
        side = 1 if forward else -1
        centre = kdb.DPoint(x + length / 2, y + side * PAD_OFFSET)
        _place(top, pad, f"{prefix}p{i}", centre.x, centre.y, 0)
        pads.append(centre)
        if i % 3 == 0:
            e1 = d["e1"].center
            # from inside the via stack's top metal, out and up to the pad's centre
            points = [(e1[0], e1[1] - side * 2), (e1[0], centre.y), (centre.x, centre.y)]
            metal.insert(kdb.DPath([kdb.DPoint(px, py) for px, py in points], WIRE))
        if devices:
            previous = devices[-1]
            if k == 0:
                demo_pdk.route_single(top, previous["o2"], d["o1"])
            else:
                step = gap / segments
                start = previous["o2"].center
                for s in range(segments):
                    sx = start[0] + (s * step if forward else -s * step)
                    _place(top, piece, None, sx, start[1], 0 if forward else 180)
        if i % 3 == 2 and k > 0:
            a, b = pads[i - 1], pads[i]
            metal.insert(kdb.DPath([a, b], WIRE))
        devices.append(d)

    top.add_port(devices[0]["o1"], "in")
    top.add_port(devices[-1]["o2"], "out")
    if reference is not None:
        write_reference(reference, n, columns=cols, prefix=prefix)
    return top


def reference_netlist(n: int, *, columns: int | None = None, prefix: str = "") -> dict[str, Any]:
    """The reference netlist of `generate(n, columns=columns, prefix=prefix)` as a mapping."""
    cols = _columns(n, columns)
    d, p = f"{prefix}d", f"{prefix}p"
    instances: dict[str, Any] = {}
    for i in range(n):
        instances[f"{d}{i}"] = {"component": DEVICE}
        instances[f"{p}{i}"] = {"component": PAD}
    links = {f"{d}{i},o2": f"{d}{i + 1},o1" for i in range(n - 1)}
    nets = []
    for i in range(n):
        if i % 3 == 0:
            nets.append({"p1": f"{d}{i},e1", "p2": f"{p}{i},e1"})
        if i % 3 == 2 and i % cols > 0:
            nets.append({"p1": f"{p}{i - 1},e3", "p2": f"{p}{i},e1"})
    return {
        "instances": instances,
        "connections": {},
        "routes": {"optical": {"links": links}},
        "nets": nets,
        "ports": {"in": f"{d}0,o1", "out": f"{d}{n - 1},o2"},
    }


def write_reference(path: str | Path, n: int, *, columns: int | None = None, prefix: str = "") -> None:
    """Write the reference netlist of `generate(n, columns=columns, prefix=prefix)` as YAML to `path`."""
    dumper = getattr(yaml, "CSafeDumper", yaml.SafeDumper)
    text = yaml.dump(reference_netlist(n, columns=columns, prefix=prefix), Dumper=dumper, sort_keys=False)
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(text)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("n", type=int, help="number of devices")
    parser.add_argument("--columns", type=int, default=None)
    parser.add_argument("--segments", type=int, default=3)
    parser.add_argument("--gds", type=Path, help="write the layout library here (GDS or OASIS)")
    parser.add_argument("--reference", type=Path, help="write the reference netlist YAML here")
    args = parser.parse_args()
    top = generate(args.n, columns=args.columns, segments=args.segments, reference=args.reference)
    if args.gds:
        args.gds.parent.mkdir(parents=True, exist_ok=True)
        top.write(str(args.gds))
    print(f"{top.name}: {len(top.insts)} instances")


if __name__ == "__main__":
    main()
