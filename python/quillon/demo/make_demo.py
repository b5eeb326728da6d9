"""Build the bundled LVS demo: a 1x2 splitter fanning out to grating couplers.

The circuit: an input grating ``gc_in`` feeds the splitter ``splitter``; each
output turns through two Euler bends (``bend_top``/``bend_top2`` and
``bend_bot``/``bend_bot2``) to an output grating (``gc_top``, ``gc_bot``).

:func:`build_splitter` places it; with ``faulty=True`` the layout departs from
the reference netlist in five ways that a layout-versus-schematic check finds:

- ``gc_top`` sits 2 µm too far right, so it does not meet ``bend_top2``
  (a missing connection, and an open port: an unknown connection);
- the lower output grating is named ``gc_out`` instead of ``gc_bot``
  (an unknown and a missing instance, an unknown and a missing connection);
- ``bend_top`` is a circular bend where the reference has an Euler bend
  (a mismatched instance);
- ``gc_in`` is a grating of period 0.63 µm where the reference has the
  default grating of 0.66 µm (mismatched settings);
- the cell exposes the open end of ``bend_top2`` as its port ``monitor``,
  which the reference does not have (a mismatched port).

Run ``python -m quillon.demo.make_demo [DIRECTORY]`` to write the layout and
the reference netlist (default: this package's directory).
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any

import yaml

__all__ = ["CONNECTIONS", "INSTANCES", "build_splitter", "reference_netlist", "write_demo"]

#: Instance name -> component of the reference circuit.
INSTANCES: dict[str, str] = {
    "gc_in": "grating_coupler",
    "splitter": "mmi1x2",
    "bend_top": "bend_euler",
    "bend_top2": "bend_euler",
    "gc_top": "grating_coupler",
    "bend_bot": "bend_euler",
    "bend_bot2": "bend_euler",
    "gc_bot": "grating_coupler",
}

#: Optical connections of the reference circuit.
CONNECTIONS: dict[str, str] = {
    "gc_in,o1": "splitter,o1",
    "splitter,o3": "bend_top,o1",
    "bend_top,o2": "bend_top2,o2",
    "bend_top2,o1": "gc_top,o1",
    "splitter,o2": "bend_bot,o2",
    "bend_bot,o1": "bend_bot2,o1",
    "bend_bot2,o2": "gc_bot,o1",
}


def reference_netlist() -> dict[str, Any]:
    """The reference netlist of the splitter, as its YAML file holds it."""
    return {
        "instances": {name: {"component": component} for name, component in INSTANCES.items()},
        "connections": dict(CONNECTIONS),
        "routes": {},
        "nets": [],
        "ports": {},
    }


def build_splitter(name: str, faulty: bool = True) -> Any:
    """Place the splitter circuit in a new cell `name` of the shared library.

    Activates the demo kit. With `faulty` the layout carries the departures
    listed in the module docstring; without it, it matches the reference.
    """
    import cellgrid as cg
    import demo_pdk

    demo_pdk.PDK.activate()
    kdb = cg.kdb
    cell = cg.kcl.dkcell(name)

    def place(inst_name: str, x: float, y: float, angle: float = 0) -> Any:
        spec = INSTANCES.get(inst_name, "grating_coupler")
        settings = {}
        if faulty and inst_name == "bend_top":
            spec = "bend_circular"  # ends where the Euler bend ends
        if faulty and inst_name == "gc_in":
            settings = {"period": 0.63}  # its port stays where it was
        component = demo_pdk.PDK.get_component(spec, **settings)
        return cell.create_inst(component, kdb.DCplxTrans(1, angle, False, x, y), name=inst_name)

    # A bend turns left from o1 to o2; run from o2 to o1 it turns right.
    place("splitter", 0, 0)  # o1 (-10, 0) west; o2 (15.5, -0.625), o3 (15.5, 0.625) east
    place("gc_in", -10, 0, 180)
    place("bend_top", 15.5, 0.625)  # o1 west, o2 (25.5, 10.625) north
    bend_top2 = place("bend_top2", 35.5, 20.625, 180)  # o2 (25.5, 10.625) south, o1 (35.5, 20.625) east
    place("gc_top", 37.5 if faulty else 35.5, 20.625)
    place("bend_bot", 25.5, -10.625, 90)  # o2 (15.5, -0.625) west, o1 (25.5, -10.625) south
    place("bend_bot2", 25.5, -10.625, 270)  # o1 north, o2 (35.5, -20.625) east
    place("gc_out" if faulty else "gc_bot", 35.5, -20.625)
    if faulty:
        cell.add_port(bend_top2["o1"], "monitor")
    return cell


def write_demo(directory: Path, cell_name: str = "demo_splitter", faulty: bool = True) -> tuple[Path, Path]:
    """Write `<cell_name>.gds` and `<cell_name>.pic.yml` into `directory`; return both paths."""
    directory.mkdir(parents=True, exist_ok=True)
    layout = directory / f"{cell_name}.gds"
    reference = directory / f"{cell_name}.pic.yml"
    build_splitter(cell_name, faulty).write(str(layout))
    reference.write_text(yaml.safe_dump(reference_netlist(), sort_keys=False))
    return layout, reference


def main(argv: list[str] | None = None) -> int:
    """Write the demo files; the directory defaults to this package's."""
    args = sys.argv[1:] if argv is None else argv
    directory = Path(args[0]) if args else Path(__file__).resolve().parent
    for path in write_demo(directory):
        print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
