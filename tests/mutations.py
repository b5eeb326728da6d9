"""Mutation testing of the check: one fault at a time in real built circuits.

A seeded random circuit of the demo kit (``quillon.demo.random_circuit``) is
built with ``quillon build`` and checked clean. Then each fault of
:data:`FAULTS` is put into a copy of it, one at a time: a plain KLayout edit
of the built GDS (an instance moved, turned, renamed, deleted or swapped for
another kit cell, a stub, a bridge of metal, a cut wire, a via chain with a
via left out, the file saved without its context information...) or an edit
of the reference netlist file (a setting, a component, a connection, a port).
Each fault says what the check must report (:class:`Expect`: the kind, the
place of its marker, the names its text must hold) and :func:`judge` compares
that with what the check found:

- "found": every expected finding is there and every other finding is about
  the fault (a marker near it, or a text naming what it changed);
- "missed": the check is clean;
- "misleading": findings, but not the expected ones (another kind or
  category, a text naming the wrong thing, a marker away from the fault), or
  findings about something the fault did not touch.

Harmless edits (:data:`HARMLESS`: the GDS saved again, as OASIS, a label
moved, the reference written another way...) must stay clean.

``tests/test_mutations.py`` runs every fault on a few seeds;
``bench/mutation_check.py`` runs many seeds and prints the counts per fault.
"""

from __future__ import annotations

import copy
import itertools
import math
import os
import random
import re
import subprocess
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import yaml

import cellgrid as cg
import maskwright as mw
import quillon
from demo_pdk.layers import LAYER
from quillon.demo.random_circuit import random_netlist

kdb = cg.kdb

Box = tuple[float, float, float, float]
"""left, bottom, right, top in µm."""

#: Circuit size: rows and components per row (about 60 instances).
CHAINS, LENGTH = 3, 6

#: The categories each kind is reported in.
CATEGORIES: dict[str, set[str]] = {
    "unknown_instance": {"Unknown Instances"},
    "missing_instance": {"Missing Instances"},
    "unknown_connection": {"Unknown Connections"},
    "open_port": {"Unknown Connections"},
    "open_end": {"Unknown Connections"},
    "branch": {"Unknown Connections"},
    "short": {"Unknown Connections"},
    "gap": {"Missing Connections", "Unknown Connections"},
    "width_mismatch": {"Missing Connections", "Unknown Connections"},
    "layer_mismatch": {"Missing Connections", "Unknown Connections"},
    "facing_mismatch": {"Missing Connections", "Unknown Connections"},
    "missing_connection": {"Missing Connections"},
    "open": {"Missing Connections"},
    "unchecked_connections": {"Missing Connections"},
    "mismatched_instance": {"Mismatched Instances"},
    "shared_name": {"Mismatched Instances"},
    "missing_port": {"Mismatched Ports"},
    "unattached_port": {"Mismatched Ports"},
    "unknown_port": {"Mismatched Ports"},
    "moved_port": {"Mismatched Ports"},
    "ports_mismatch": {"Mismatched Ports"},
    "unchecked_ports": {"Mismatched Ports"},
    "settings_mismatch": {"Mismatched Settings"},
}

NARROW = mw.CrossSection("narrow", width=0.45, layer=LAYER.WG, radius=10.0)
"""A waveguide 0.45 µm wide, where the kit's are 0.5 µm."""
ON_SLAB = mw.CrossSection("on_slab", width=0.5, layer=LAYER.SLAB, radius=10.0)
"""A waveguide of the kit's width drawn on the slab layer."""


# --- a built circuit and what is where in it --------------------------------------------


@dataclass(frozen=True)
class PortAt:
    """A port where the layout has it: centre (µm), facing (degrees), width (µm), layer, type."""

    x: float
    y: float
    angle: float
    width: float
    layer: tuple[int, int]
    port_type: str

    def box(self, margin: float = 0.0) -> Box:
        return (self.x - margin, self.y - margin, self.x + margin, self.y + margin)

    def ahead(self, distance: float) -> tuple[float, float]:
        """The point `distance` µm out of the port, along its facing."""
        a = math.radians(self.angle)
        return (self.x + distance * math.cos(a), self.y + distance * math.sin(a))


@dataclass(frozen=True)
class Placed:
    """A named instance of the built circuit."""

    name: str
    component: str  # as the netlist gives it
    cell: str
    box: Box
    ports: dict[str, PortAt]


@dataclass(frozen=True)
class Wire:
    """A metal path of the circuit's cell and the instance ports at its two ends."""

    index: int  # among the paths on M2, in the order KLayout reads them
    points: tuple[tuple[float, float], ...]
    width: float
    ends: tuple[str, str]  # "instance,port"
    box: Box


@dataclass
class Circuit:
    """A random circuit built with ``quillon build``, its netlist and its layout's places."""

    seed: int
    project: Path
    netlist: dict[str, Any]
    netlist_file: Path
    gds: Path
    name: str
    placed: dict[str, Placed]
    top_ports: dict[str, PortAt]
    wires: list[Wire]
    box: Box
    wiring: list[tuple[Box, tuple[PortAt, ...]]] = field(default_factory=list)
    serial: Iterator[int] = field(default_factory=itertools.count)

    def endpoint(self, text: str) -> PortAt:
        name, port = text.rsplit(",", 1)
        return self.placed[name].ports[port]

    def wired_to(self, box: Box) -> set[str]:
        """The named instances that the unnamed wiring through the piece at `box` reaches."""

        def key(port: PortAt) -> tuple[int, int]:
            return (round(port.x * 1000), round(port.y * 1000))

        pieces: dict[tuple[int, int], list[int]] = {}
        for index, (_, ports) in enumerate(self.wiring):
            for port in ports:
                pieces.setdefault(key(port), []).append(index)
        named = {key(port): name for name, placed in self.placed.items() for port in placed.ports.values()}
        start = next(i for i, (b, _) in enumerate(self.wiring) if b == box)
        seen, pending, reached = {start}, [start], set()
        while pending:
            for port in self.wiring[pending.pop()][1]:
                if key(port) in named:
                    reached.add(named[key(port)])
                for other in pieces.get(key(port), []):
                    if other not in seen:
                        seen.add(other)
                        pending.append(other)
        return reached

    def scratch(self, stem: str, suffix: str) -> Path:
        """A new file name of this circuit's."""
        safe = re.sub(r"[^A-Za-z0-9_]+", "_", stem)
        return self.project / "mutants" / f"s{self.seed}_{next(self.serial)}_{safe}{suffix}"


def build_circuit(seed: int, directory: Path, chains: int = CHAINS, length: int = LENGTH) -> Circuit:
    """The random circuit of `seed`, built with ``quillon build`` in a project below `directory`."""
    project = directory / f"seed{seed}"
    (project / "chips").mkdir(parents=True, exist_ok=True)
    (project / "mutants").mkdir(exist_ok=True)
    (project / "pyproject.toml").write_text('[tool.quillon]\nname = "chips"\npdk = "demo_pdk"\n')
    netlist = random_netlist(seed, chains, length)
    netlist_file = project / "chips" / f"random{seed}.pic.yml"
    write_reference(netlist_file, netlist)
    gds = project / f"random{seed}.gds"
    # in a process of its own, as a user runs it: the kit's cells it builds stay there
    command = [
        sys.executable,
        "-m",
        "quillon",
        "build",
        str(netlist_file),
        "-o",
        str(gds),
        "--project-dir",
        str(project),
    ]
    built = subprocess.run(command, capture_output=True, text=True, env=_environment())
    if built.returncode != 0:
        raise RuntimeError(f"quillon build of seed {seed} exited with {built.returncode}: {built.stderr.strip()}")
    return _read_places(seed, project, netlist, netlist_file, gds)


def _environment() -> dict[str, str]:
    """This environment, with the directories this process imports quillon from first."""
    here = str(Path(quillon.__file__).resolve().parent.parent)
    return dict(os.environ, PYTHONPATH=os.pathsep.join([here, os.environ.get("PYTHONPATH", "")]).rstrip(os.pathsep))


def write_reference(path: Path, netlist: dict[str, Any]) -> Path:
    path.write_text(yaml.safe_dump(netlist, sort_keys=False, allow_unicode=True), encoding="utf-8")
    return path


def _port_at(port: Any) -> PortAt:
    info = port.layer_info
    return PortAt(port.x, port.y, port.orientation % 360, port.width, (info.layer, info.datatype), port.port_type)


def _box(box: Any) -> Box:
    return (box.left, box.bottom, box.right, box.top)


def _read_places(seed: int, project: Path, netlist: dict[str, Any], netlist_file: Path, gds: Path) -> Circuit:
    kcl = cg.KCLayout(f"mutations:{gds}")
    [top] = kcl.read(gds)
    placed = {
        inst.name: Placed(
            inst.name,
            netlist["instances"][inst.name]["component"],
            inst.cell.name,
            _box(inst.dbbox()),
            {port.name: _port_at(port) for port in inst.ports},
        )
        for inst in top.insts
        if inst.name
    }
    circuit = Circuit(
        seed,
        project,
        netlist,
        netlist_file,
        gds,
        top.name,
        placed,
        {port.name: _port_at(port) for port in top.ports},
        [],
        _box(top.dbbox()),
    )
    circuit.wires = _wires(circuit, top.kdb_cell, kcl.layout)
    circuit.wiring = [
        (_box(inst.dbbox()), tuple(_port_at(p) for p in inst.ports)) for inst in top.insts if not inst.name
    ]
    return circuit


def _wires(circuit: Circuit, cell: kdb.Cell, layout: kdb.Layout) -> list[Wire]:
    electrical = [
        (f"{name},{p}", at)
        for name, placed in circuit.placed.items()
        for p, at in placed.ports.items()
        if at.port_type == "electrical"
    ]

    def end(x: float, y: float) -> str:
        return min(electrical, key=lambda item: math.hypot(item[1].x - x, item[1].y - y))[0]

    wires = []
    paths = [shape for shape in cell.shapes(layout.layer(LAYER.M2)).each() if shape.is_path()]
    for index, shape in enumerate(paths):
        path = shape.dpath
        points = tuple((p.x, p.y) for p in path.each_point())
        wires.append(Wire(index, points, path.width, (end(*points[0]), end(*points[-1])), _box(shape.dbbox())))
    return wires


def check(circuit: Circuit, layout: Path, reference: Path) -> quillon.CheckResult:
    """The check of `layout` (the circuit's cell) against `reference`, as ``quillon lvs`` runs it."""
    return quillon.check(layout, reference, cell=circuit.name, kit="demo_pdk")


# --- editing a copy of the layout and of the reference ------------------------------------


class Mutant:
    """A copy of a built circuit to put a fault into: its layout read by plain KLayout,
    its reference netlist as a mapping."""

    def __init__(self, circuit: Circuit) -> None:
        self.circuit = circuit
        self.layout = kdb.Layout()
        self.layout.read(str(circuit.gds))
        self.top = self.layout.cell(circuit.name)
        self.reference = copy.deepcopy(circuit.netlist)
        self.options = kdb.SaveLayoutOptions()
        self.suffix = ".gds"

    def instance(self, name: str) -> kdb.Instance:
        """The instance the name property `name` names."""
        return next(inst for inst in self.top.each_inst() if inst.property(cg.conf.PROPID.NAME) == name)

    def kit_cell(self, component: str, **settings: Any) -> int:
        """The index of the kit's cell `component` built with `settings`, read into this layout
        from a file of its own (the one of that name when the layout has it)."""
        import demo_pdk

        built = demo_pdk.PDK.activate().get_component(component, **settings)
        if self.layout.has_cell(built.name):
            return self.layout.cell(built.name).cell_index()
        path = self.circuit.scratch(built.name, ".gds")
        built.write(str(path))
        options = kdb.LoadLayoutOptions()
        options.cell_conflict_resolution = kdb.LoadLayoutOptions.CellConflictResolution.RenameCell
        self.layout.read(str(path), options)
        return self.layout.cell(built.name).cell_index()

    def insert(self, cell_index: int, trans: kdb.DCplxTrans, name: str | None = None) -> kdb.Instance:
        """A new instance of the cell in the circuit, named `name` (unnamed when None)."""
        inst = self.top.insert(kdb.DCellInstArray(cell_index, trans))
        if name is not None:
            inst.set_property(cg.conf.PROPID.NAME, name)
        return inst

    def port_trans(self, cell_index: int, port: str) -> kdb.DCplxTrans:
        """Where the port `port` of a cell of the layout sits in the cell (µm)."""
        ports = self.layout.cell(cell_index).meta_info_value(cg.conf.META_PORTS)
        if ports is None:  # a root of its file: its first child carries them
            cell = self.layout.cell(cell_index)
            ports = next(
                self.layout.cell(c).meta_info_value(f"{cg.conf.META_PORTS}@{cell.name}") for c in cell.each_child_cell()
            )
        data = next(p for p in ports if p["name"] == port)
        return kdb.DCplxTrans(kdb.Trans.from_s(data["trans"]).to_dtype(self.layout.dbu))

    def onto(self, cell_index: int, port: str, at: PortAt) -> kdb.DCplxTrans:
        """The placement of a cell that puts its port `port` on `at`, facing it."""
        target = kdb.DCplxTrans(1, at.angle, False, at.x, at.y)
        return target * kdb.DCplxTrans(1, 180, False, 0, 0) * self.port_trans(cell_index, port).inverted()

    def port_of(self, inst: kdb.Instance, port: str) -> kdb.DCplxTrans:
        """Where the port `port` of a placed instance sits in the circuit (µm)."""
        return inst.dcplx_trans * self.port_trans(inst.cell_index, port)

    def metal(self, layer: kdb.LayerInfo) -> kdb.Shapes:
        return self.top.shapes(self.layout.layer(layer))

    def wire_shape(self, wire: Wire) -> kdb.Shape:
        paths = [shape for shape in self.metal(LAYER.M2).each() if shape.is_path()]
        return paths[wire.index]

    def write(self, stem: str) -> tuple[Path, Path]:
        """The mutant's layout and reference files."""
        layout = self.circuit.scratch(stem, self.suffix)
        self.layout.write(str(layout), self.options)
        reference = write_reference(self.circuit.scratch(stem, ".pic.yml"), self.reference)
        return layout, reference


# --- what a fault must give, and the verdict ---------------------------------------------


@dataclass(frozen=True)
class Expect:
    """A finding the check must give: its kind; each box of `at` holds one of its markers
    (within `margin` µm); its texts name each of `names` (as the check quotes them) and
    hold each of `words`; a gap measures `distance` µm."""

    kind: str
    at: tuple[Box, ...] = ()
    names: tuple[str, ...] = ()
    distance: float | None = None
    margin: float = 1.0
    words: tuple[str, ...] = ()


@dataclass(frozen=True)
class Fault:
    """A mutant and what its check must find (`expect`: none for a harmless edit).

    Findings besides the expected ones are about the fault when their markers lie
    near `sites` or near instances of `touched` (and what they connect to), or,
    without markers, when their texts name one of `touched`; a short or an open
    besides the expected findings only when `allowed` has its kind. `notes`: texts
    the check's notes must hold."""

    layout: Path
    reference: Path
    expect: tuple[Expect, ...] = ()
    touched: tuple[str, ...] = ()
    sites: tuple[Box, ...] = ()
    notes: tuple[str, ...] = ()
    allowed: tuple[str, ...] = ()


#: Kinds that claim more than where the fault is: besides the expected findings, only in
#: `Fault.allowed`.
STRONG = ("short", "open")


@dataclass(frozen=True)
class Verdict:
    """found, missed or misleading for a fault; clean or false for a harmless edit."""

    outcome: str
    reason: str = ""


#: µm around the sites and touched instances within which other findings are about the fault.
NEAR = 5.0


def judge(circuit: Circuit, fault: Fault, result: quillon.CheckResult) -> Verdict:
    """What the check of the mutant found, against what the fault must give."""
    findings = list(result.findings)
    missing_notes = [note for note in fault.notes if not any(note in given for given in result.notes)]
    if not fault.expect:
        if findings:
            return Verdict("false", describe(findings[0]))
        return Verdict("false", f"no note {missing_notes[0]!r}") if missing_notes else Verdict("clean")
    if not findings:
        return Verdict("missed")
    for expect in fault.expect:
        match = next((f for f in findings if fits(expect, f)), None)
        if match is None:
            return Verdict("misleading", why_not(expect, findings))
        findings.remove(match)
    near = neighbourhood(circuit, fault)
    for finding in findings:
        if finding.kind in STRONG and finding.kind not in fault.allowed:
            return Verdict("misleading", f"a {finding.kind} the fault does not make: {describe(finding)}")
        if not about(finding, near, fault.touched):
            return Verdict("misleading", f"a finding away from the fault: {describe(finding)}")
    if missing_notes:
        return Verdict("misleading", f"no note {missing_notes[0]!r} (notes: {list(result.notes)})")
    return Verdict("found")


def describe(finding: quillon.Finding) -> str:
    markers = ", ".join(f"({b[0]:g}, {b[1]:g}, {b[2]:g}, {b[3]:g})" for b in finding.markers[:8])
    return f"{finding.kind} [{finding.category}] {' | '.join(finding.texts)[:300]!r} at {markers or 'no place'}"


def within(box: Box, site: Box, margin: float) -> bool:
    """Whether `box` lies inside `site` grown by `margin` µm on every side."""
    return (
        box[0] >= site[0] - margin
        and box[1] >= site[1] - margin
        and box[2] <= site[2] + margin
        and box[3] <= site[3] + margin
    )


def fits(expect: Expect, finding: quillon.Finding) -> bool:
    return not _misfit(expect, finding)


def _misfit(expect: Expect, finding: quillon.Finding) -> str:
    """Why `finding` is not the finding `expect` wants ("" when it is)."""
    if finding.kind != expect.kind:
        return f"kind {finding.kind}"
    if finding.category not in CATEGORIES[expect.kind]:
        return f"category {finding.category!r}"
    text = " | ".join(finding.texts)
    unnamed = [name for name in expect.names if repr(name) not in text]
    if unnamed:
        return f"text does not name {unnamed[0]!r}: {text[:300]!r}"
    unsaid = [word for word in expect.words if word not in text]
    if unsaid:
        return f"text does not say {unsaid[0]!r}: {text[:300]!r}"
    for site in expect.at:
        if not any(within(marker, site, expect.margin) for marker in finding.markers):
            return f"no marker at {site} (markers {list(finding.markers)[:4]})"
    if expect.distance is not None and (finding.distance is None or abs(finding.distance - expect.distance) > 1e-3):
        return f"distance {finding.distance} instead of {expect.distance}"
    return ""


def why_not(expect: Expect, findings: list[quillon.Finding]) -> str:
    same = [f for f in findings if f.kind == expect.kind]
    if not same:
        return f"no {expect.kind}; found {', '.join(sorted({str(f.kind) for f in findings}))}: {describe(findings[0])}"
    return f"{expect.kind} off: {_misfit(expect, same[0])}"


def neighbourhood(circuit: Circuit, fault: Fault) -> list[Box]:
    """The places findings about the fault may be: its sites, the instances it touched
    and those the reference connects them with, and the metal of their nets."""
    names = set(fault.touched)
    for a, b in reference_links(circuit.netlist):
        if a in fault.touched or b in fault.touched:
            names |= {a, b}
    boxes = list(fault.sites) + [circuit.placed[name].box for name in names if name in circuit.placed]
    boxes += [wire.box for wire in circuit.wires if any(end.rsplit(",", 1)[0] in names for end in wire.ends)]
    return [(b[0] - NEAR, b[1] - NEAR, b[2] + NEAR, b[3] + NEAR) for b in boxes]


def about(finding: quillon.Finding, near: list[Box], touched: tuple[str, ...]) -> bool:
    """Whether each marker of the finding lies near the fault, or across two places
    near it (an outline across the two ports of a connection); without markers,
    whether its text names what the fault touched."""
    if finding.markers:
        return all(any(within(marker, _joined(a, b), 0) for a in near for b in near) for marker in finding.markers)
    text = " | ".join(finding.texts)
    return any(repr(name) in text or repr(name)[1:-1] in text for name in touched)


def _joined(a: Box, b: Box) -> Box:
    return (min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3]))


def reference_links(netlist: dict[str, Any]) -> Iterator[tuple[str, str]]:
    """Pairs of instance names that the netlist joins: connections, route links, nets."""
    pairs = list(netlist.get("connections", {}).items())
    pairs += [link for route in netlist.get("routes", {}).values() for link in route["links"].items()]
    pairs += [(net["p1"], net["p2"]) for net in netlist.get("nets", [])]
    for a, b in pairs:
        yield a.rsplit(",", 1)[0], b.rsplit(",", 1)[0]


# --- what the random circuits hold -------------------------------------------------------

Mutation = Callable[[Circuit, random.Random], Fault | None]


@dataclass(frozen=True)
class Kind:
    """A kind of fault (or of harmless edit): its family, name and how to put it in."""

    family: str
    name: str
    mutate: Mutation
    harmless: bool = False


FAULTS: dict[str, Kind] = {}
HARMLESS: dict[str, Kind] = {}


def fault(family: str, name: str, harmless: bool = False) -> Callable[[Mutation], Mutation]:
    def register(mutate: Mutation) -> Mutation:
        (HARMLESS if harmless else FAULTS)[name] = Kind(family, name, mutate, harmless)
        return mutate

    return register


def of(circuit: Circuit, component: str) -> list[str]:
    return sorted(name for name, placed in circuit.placed.items() if placed.component == component)


def joints(circuit: Circuit) -> list[tuple[str, str]]:
    """The connections of the reference between two instances of the chains (end to end)."""
    return [
        (a, b) for a, b in circuit.netlist["connections"].items() if re.match(r"c\d+_\d", a) and re.match(r"c\d+_\d", b)
    ]


def chain_straights(circuit: Circuit) -> list[str]:
    """Straights of the chains joined end to end on both sides."""
    ends = set(circuit.netlist["connections"]) | set(circuit.netlist["connections"].values())
    return [name for name in of(circuit, "straight") if f"{name},o1" in ends and f"{name},o2" in ends]


def gratings_out(circuit: Circuit) -> list[str]:
    """The output gratings, each at the end of a route."""
    return [name for name in of(circuit, "grating_coupler") if re.fullmatch(r"c\d+_out\d+", name)]


def heaters_with_pads(circuit: Circuit) -> list[str]:
    """Heaters whose two contacts have a pad of their own."""
    return [
        h
        for h in of(circuit, "straight_heater_metal")
        if f"{h}_e1_pad" in circuit.placed and f"{h}_e2_pad" in circuit.placed
    ]


def pins_of_net(circuit: Circuit, endpoint: str) -> int:
    """How many ports the reference net of `endpoint` joins (a pad's sides count once)."""

    def key(text: str) -> str:
        name = text.rsplit(",", 1)[0]
        return name if circuit.netlist["instances"][name]["component"] == "pad" else text

    groups: dict[str, set[str]] = {}
    for net in circuit.netlist["nets"]:
        a, b = key(net["p1"]), key(net["p2"])
        joined = groups.get(a, {a}) | groups.get(b, {b})
        groups.update(dict.fromkeys(joined, joined))
    return len(groups.get(key(endpoint), {key(endpoint)}))


def _sharing(circuit: Circuit, endpoint: str) -> list[str]:
    """The instances whose ports the reference puts on the net of `endpoint`."""
    names, grown_ = {endpoint.rsplit(",", 1)[0]}, True
    while grown_:
        grown_ = False
        for net in circuit.netlist["nets"]:
            ends = {e.rsplit(",", 1)[0] for e in net.values()}
            if ends & names and not ends <= names:
                names |= ends
                grown_ = True
    return sorted(names)


def grown(box: Box, margin: float) -> Box:
    return (box[0] - margin, box[1] - margin, box[2] + margin, box[3] + margin)


def spanning(*points: tuple[float, float]) -> Box:
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return (min(xs), min(ys), max(xs), max(ys))


def pick(rng: random.Random, items: list[Any]) -> Any:
    return rng.choice(items) if items else None


def empty_spot(circuit: Circuit) -> tuple[float, float]:
    """A place 200 µm below the circuit."""
    return (circuit.box[0] + 100, circuit.box[1] - 200)


def box_of(inst: kdb.Instance) -> Box:
    return _box(inst.dbbox())


def rename_everywhere(netlist: dict[str, Any], names: dict[str, str]) -> None:
    """Instances renamed in every entry of the netlist."""

    def endpoint(text: str) -> str:
        name, _, port = text.rpartition(",")
        return f"{names.get(name, name)},{port}"

    netlist["instances"] = {names.get(n, n): v for n, v in netlist["instances"].items()}
    netlist["placements"] = {names.get(n, n): v for n, v in netlist.get("placements", {}).items()}
    netlist["connections"] = {endpoint(a): endpoint(b) for a, b in netlist["connections"].items()}
    for route in netlist["routes"].values():
        route["links"] = {endpoint(a): endpoint(b) for a, b in route["links"].items()}
    netlist["nets"] = [{k: endpoint(v) for k, v in net.items()} for net in netlist["nets"]]
    netlist["ports"] = {p: endpoint(e) for p, e in netlist["ports"].items()}


def route_link_of(netlist: dict[str, Any], endpoint: str) -> tuple[str, str]:
    """The route and the source of the link that ends at `endpoint`."""
    return next(
        (name, source)
        for name, route in netlist["routes"].items()
        for source, end in route["links"].items()
        if end == endpoint
    )


# --- instances ---------------------------------------------------------------------------


@fault("instances", "instance deleted from the layout")
def _deleted(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, chain_straights(circuit))
    if name is None:
        return None
    m = Mutant(circuit)
    m.instance(name).delete()
    return Fault(*m.write("deleted"), (Expect("missing_instance", names=(name,)),), (name,))


@fault("instances", "instance the layout lacks, added to the reference")
def _unplaced(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    name = f"later{rng.randrange(100)}"
    m.reference["instances"][name] = {"component": rng.choice(["pad", "mmi1x2", "grating_coupler"])}
    return Fault(*m.write("unplaced"), (Expect("missing_instance", names=(name,)),), (name,))


@fault("instances", "named instance added to the layout")
def _added(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    x, y = empty_spot(circuit)
    inst = m.insert(
        m.kit_cell(rng.choice(["grating_coupler", "mmi1x2", "pad"])), kdb.DCplxTrans(1, 0, False, x, y), "stray"
    )
    box = box_of(inst)
    return Fault(*m.write("added"), (Expect("unknown_instance", at=(box,), names=("stray",)),), ("stray",), (box,))


@fault("instances", "instance renamed in the layout")
def _renamed(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, sorted(circuit.placed))
    m = Mutant(circuit)
    m.instance(name).set_property(cg.conf.PROPID.NAME, name + "_x")
    box = circuit.placed[name].box
    expect = (Expect("unknown_instance", at=(box,), names=(name + "_x",)), Expect("missing_instance", names=(name,)))
    return Fault(*m.write("renamed"), expect, (name, name + "_x"), (box,))


@fault("instances", "instance left out of the reference")
def _unlisted(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, gratings_out(circuit))
    m = Mutant(circuit)
    del m.reference["instances"][name], m.reference["placements"][name]
    route, source = route_link_of(m.reference, f"{name},o1")
    del m.reference["routes"][route]["links"][source]
    box = circuit.placed[name].box
    return Fault(
        *m.write("unlisted"),
        (Expect("unknown_instance", at=(box,), names=(name,)),),
        (name, source.rsplit(",", 1)[0]),
        (box,),
    )


@fault("instances", "another component in the reference")
def _other_in_reference(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, of(circuit, "mmi1x2"))
    if name is None:
        return None
    m = Mutant(circuit)
    m.reference["instances"][name] = {"component": "mmi2x2"}
    box = circuit.placed[name].box
    return Fault(
        *m.write("other_in_reference"), (Expect("mismatched_instance", at=(box,), names=(name,)),), (name,), (box,)
    )


@fault("instances", "another component in the layout")
def _other_in_layout(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, [n for n in of(circuit, "mmi1x2") if re.match(r"c\d+_\d", n)])
    if name is None:
        return None
    m = Mutant(circuit)
    inst = m.instance(name)
    inst.cell_index = m.kit_cell("mmi2x2")
    box = box_of(inst)
    return Fault(
        *m.write("other_in_layout"),
        (Expect("mismatched_instance", at=(box,), names=(name,)),),
        (name,),
        (box, circuit.placed[name].box),
    )


@fault("instances", "one name given to two instances")
def _shared_name(circuit: Circuit, rng: random.Random) -> Fault | None:
    first, second = rng.sample(gratings_out(circuit), 2)
    m = Mutant(circuit)
    m.instance(second).set_property(cg.conf.PROPID.NAME, first)
    boxes = (circuit.placed[first].box, circuit.placed[second].box)
    return Fault(*m.write("shared_name"), (Expect("shared_name", at=boxes, names=(first,)),), (first, second), boxes)


@fault("instances", "instances listed in another order", harmless=True)
def _reordered(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    items = list(m.reference["instances"].items())
    rng.shuffle(items)
    m.reference["instances"] = dict(items)
    return Fault(*m.write("reordered"))


# --- settings ----------------------------------------------------------------------------


def _settings_fault(m: Mutant, stem: str, name: str, box: Box, word: str, sites: tuple[Box, ...] = ()) -> Fault:
    expect = Expect("settings_mismatch", at=(box,), names=(name,), words=(word,))
    return Fault(*m.write(stem), (expect,), (name,), (box, *sites))


def _restated(component: str, change: Callable[[dict[str, Any]], dict[str, Any]], word: str) -> Mutation:
    """A fault that gives one instance of `component` other settings in the reference
    (`change` of the settings it states there): its settings finding says `word`."""

    def mutate(circuit: Circuit, rng: random.Random) -> Fault | None:
        name = pick(rng, of(circuit, component))
        if name is None:
            return None
        m = Mutant(circuit)
        instance = m.reference["instances"][name]
        instance["settings"] = change(dict(instance.get("settings", {})))
        return _settings_fault(m, word, name, circuit.placed[name].box, word)

    return mutate


def _misspelt(settings: dict[str, Any]) -> dict[str, Any]:
    return {"lenght" if key == "length" else key: value for key, value in settings.items()}


for _name, _component, _change, _word in [
    ("heater longer in the reference", "straight_heater_metal", lambda s: s | {"length": s["length"] + 7}, "length"),
    ("rib for strip in the reference", "straight", lambda s: s | {"cross_section": "rib"}, "cross_section"),
    ("a setting misspelt in the reference", "straight", _misspelt, "lenght"),
    ("bend radius in the reference", "bend_euler", lambda s: s | {"radius": 25 - s["radius"]}, "radius"),
    ("grating periods in the reference", "grating_coupler", lambda s: s | {"n_periods": 31}, "n_periods"),
]:
    fault("settings", _name)(_restated(_component, _change, _word))


@fault("settings", "heater 7 µm longer in the layout")
def _heater_layout(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, of(circuit, "straight_heater_metal"))
    if name is None:
        return None
    m = Mutant(circuit)
    inst = m.instance(name)
    inst.cell_index = m.kit_cell(
        "straight_heater_metal", length=circuit.netlist["instances"][name]["settings"]["length"] + 7
    )
    return _settings_fault(m, "heater_layout", name, box_of(inst), "length")


@fault("settings", "rib for strip in the layout")
def _rib_layout(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, chain_straights(circuit))
    if name is None:
        return None
    m = Mutant(circuit)
    inst = m.instance(name)
    inst.cell_index = m.kit_cell(
        "straight", length=circuit.netlist["instances"][name]["settings"]["length"], cross_section="rib"
    )
    return _settings_fault(m, "rib_layout", name, box_of(inst), "cross_section", sites=(circuit.placed[name].box,))


@fault("settings", "defaults spelled out, numbers as floats", harmless=True)
def _spelled_out(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    defaults = {
        "straight": {"cross_section": "strip"},
        "straight_heater_metal": {"cross_section": "cross_section", "via_stack_size": [10, 10], "heater_width": 2.5},
        "grating_coupler": {"n_periods": 30, "period": 0.66},
        "pad": {"size": [80, 80], "layer": [45, 0]},
        "bend_euler": {"angle": 90},
    }
    for instance in m.reference["instances"].values():
        settings = instance.setdefault("settings", {})
        settings.update(
            {k: float(v) if isinstance(v, int) and k in ("length", "radius") else v for k, v in settings.items()}
        )
        settings.update(defaults.get(instance["component"], {}))
    return Fault(*m.write("spelled_out"))


# --- where ports meet --------------------------------------------------------------------


def _moved(m: Mutant, name: str, dx: float, dy: float, angle: float = 0, about: PortAt | None = None) -> kdb.Instance:
    """The instance moved by (dx, dy) µm, turned by `angle` degrees about the port `about`."""
    inst = m.instance(name)
    turn = kdb.DCplxTrans()
    if about is not None:
        turn = (
            kdb.DCplxTrans(1, 0, False, about.x, about.y)
            * kdb.DCplxTrans(1, angle, False, 0, 0)
            * kdb.DCplxTrans(1, 0, False, -about.x, -about.y)
        )
    inst.dcplx_trans = kdb.DCplxTrans(1, 0, False, dx, dy) * turn * inst.dcplx_trans
    return inst


def _stub(circuit: Circuit, rng: random.Random, name: str | None) -> Fault | None:
    joint = pick(rng, joints(circuit))
    if joint is None:
        return None
    a, b = joint
    at = circuit.endpoint(a)
    m = Mutant(circuit)
    cell = m.kit_cell("straight")
    inst = m.insert(cell, m.onto(cell, "o1", at), name)
    names = (a, b) if name is None else (a, b, f"{name},o1")
    if name is not None:
        m.reference["instances"][name] = {"component": "straight"}
    touched = tuple(e.rsplit(",", 1)[0] for e in (a, b)) + ((name,) if name else ())
    return Fault(*m.write("stub"), (Expect("branch", at=(at.box(),), names=names),), touched, (box_of(inst),))


@fault("joints", "unnamed stub on a joint")
def _unnamed_stub(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _stub(circuit, rng, None)


@fault("joints", "named stub on a joint")
def _named_stub(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _stub(circuit, rng, "stub")


@fault("joints", "second grating on a grating's place")
def _second_grating(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, gratings_out(circuit))
    m = Mutant(circuit)
    original = m.instance(name)
    m.insert(original.cell_index, original.dcplx_trans, "twin")
    m.reference["instances"]["twin"] = {"component": "grating_coupler"}
    at = circuit.endpoint(f"{name},o1")
    expect = Expect("branch", at=(at.box(),), names=(f"{name},o1", "twin,o1"))
    return Fault(*m.write("twin"), (expect,), (name, "twin"), (circuit.placed[name].box,))


def _pulled(circuit: Circuit, rng: random.Random, distance: float) -> tuple[Mutant, str, PortAt, PortAt]:
    """An output grating moved `distance` µm back from its route: the mutant, its name,
    its port before and after."""
    name = pick(rng, gratings_out(circuit))
    before = circuit.endpoint(f"{name},o1")
    dx, dy = before.ahead(-distance)
    m = Mutant(circuit)
    _moved(m, name, dx - before.x, dy - before.y)
    return m, name, before, PortAt(dx, dy, before.angle, before.width, before.layer, before.port_type)


def _gap(circuit: Circuit, rng: random.Random, distance: float) -> Fault:
    m, name, before, after = _pulled(circuit, rng, distance)
    half = before.width / 2
    site = grown(spanning((before.x, before.y), (after.x, after.y)), half)
    expect = Expect("gap", at=(site,), names=(f"{name},o1",), distance=distance, margin=0.01)
    return Fault(*m.write("gap"), (expect,), (name,), (site,))


@fault("joints", "grating 0.1 µm off its route")
def _gap_tenth(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _gap(circuit, rng, 0.1)


@fault("joints", "grating 2 µm off its route")
def _gap_two(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _gap(circuit, rng, 2.0)


@fault("joints", "grating 20 µm off its route")
def _far_off(circuit: Circuit, rng: random.Random) -> Fault | None:
    m, name, before, after = _pulled(circuit, rng, 20.0)
    expect = Expect("open_port", at=(after.box(after.width),), names=(f"{name},o1",))
    return Fault(
        *m.write("far_off"), (expect,), (name,), (grown(spanning((before.x, before.y), (after.x, after.y)), 1),)
    )


@fault("joints", "chain straight shifted 1 µm along itself")
def _shifted(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, chain_straights(circuit))
    if name is None:
        return None
    o1, o2 = circuit.endpoint(f"{name},o1"), circuit.endpoint(f"{name},o2")
    dx, dy = o2.ahead(1.0)
    m = Mutant(circuit)
    _moved(m, name, dx - o2.x, dy - o2.y)
    expect = Expect(
        "gap",
        at=(grown(spanning((o1.x, o1.y), o1.ahead(-1.0)), o1.width / 2),),
        names=(f"{name},o1",),
        distance=1.0,
        margin=0.01,
    )
    return Fault(*m.write("shifted"), (expect,), (name,), (circuit.placed[name].box,))


def _drawn_in(circuit: Circuit, rng: random.Random, cross_section: mw.CrossSection, kind: str) -> Fault | None:
    name = pick(rng, chain_straights(circuit))
    if name is None:
        return None
    m = Mutant(circuit)
    inst = m.instance(name)
    inst.cell_index = m.kit_cell(
        "straight", length=circuit.netlist["instances"][name]["settings"]["length"], cross_section=cross_section
    )
    expect = tuple(
        Expect(kind, at=(circuit.endpoint(f"{name},{p}").box(0.5),), names=(f"{name},{p}",)) for p in ("o1", "o2")
    )
    return Fault(*m.write(cross_section.name), expect, (name,), (circuit.placed[name].box,))


@fault("joints", "0.45 µm straight between 0.5 µm ports")
def _narrow(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _drawn_in(circuit, rng, NARROW, "width_mismatch")


@fault("joints", "straight on another layer")
def _on_slab(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _drawn_in(circuit, rng, ON_SLAB, "layer_mismatch")


@fault("joints", "grating turned on its port")
def _turned(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, gratings_out(circuit))
    at = circuit.endpoint(f"{name},o1")
    m = Mutant(circuit)
    inst = _moved(m, name, 0, 0, rng.choice([90, -90]), at)
    expect = Expect("facing_mismatch", at=(at.box(0.5),), names=(f"{name},o1",))
    return Fault(*m.write("turned"), (expect,), (name,), (box_of(inst),))


def _port_at_of(m: Mutant, inst: kdb.Instance, port: str) -> PortAt:
    """The port of a placed instance, as an optical port of the kit's width."""
    trans = m.port_of(inst, port)
    return PortAt(trans.disp.x, trans.disp.y, trans.angle % 360, 0.5, (1, 0), "optical")


def _unnamed(m: Mutant) -> list[kdb.Instance]:
    return [inst for inst in m.top.each_inst() if inst.property(cg.conf.PROPID.NAME) is None]


@fault("joints", "piece of a route deleted")
def _route_cut(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    inst = pick(
        rng,
        [
            i
            for i in _unnamed(m)
            if i.cell.name.startswith("straight_length") and i.dbbox().width() + i.dbbox().height() > 20
        ],
    )
    box = box_of(inst)
    inst.delete()
    reached = tuple(sorted(circuit.wired_to(box)))
    return Fault(*m.write("route_cut"), (Expect("open_end", at=(grown(box, 0.5),)),), reached, (box,))


@fault("joints", "loose unnamed straight")
def _loose(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    x, y = empty_spot(circuit)
    inst = m.insert(
        m.kit_cell("straight", length=rng.randrange(5, 40)), kdb.DCplxTrans(1, rng.choice([0, 90]), False, x, y)
    )
    box = box_of(inst)
    return Fault(*m.write("loose"), (Expect("open_end", at=(grown(box, 0.5),)),), (), (box,))


@fault("joints", "two gratings swapped")
def _swapped(circuit: Circuit, rng: random.Random) -> Fault | None:
    rows: dict[str, list[str]] = {}
    for name in gratings_out(circuit):
        rows.setdefault(name.split("_")[0], []).append(name)
    row = pick(rng, [names for names in rows.values() if len(names) > 1])
    if row is None:
        return None
    first, second = rng.sample(row, 2)
    m = Mutant(circuit)
    a, b = m.instance(first), m.instance(second)
    a.set_property(cg.conf.PROPID.NAME, second)
    b.set_property(cg.conf.PROPID.NAME, first)
    expect = (
        Expect("unknown_connection", names=(f"{second},o1",)),
        Expect("missing_connection", names=(f"{first},o1",)),
    )
    return Fault(*m.write("swapped"), expect, (first, second), (circuit.placed[first].box, circuit.placed[second].box))


@fault("joints", "connection left out of the reference")
def _unlisted_connection(circuit: Circuit, rng: random.Random) -> Fault | None:
    joint = pick(rng, joints(circuit))
    if joint is None:
        return None
    a, b = joint
    m = Mutant(circuit)
    del m.reference["connections"][a]
    at = circuit.endpoint(a)
    touched = (a.rsplit(",", 1)[0], b.rsplit(",", 1)[0])
    return Fault(
        *m.write("unlisted_connection"), (Expect("unknown_connection", at=(at.box(0.5),), names=(a, b)),), touched
    )


@fault("joints", "splitter outputs swapped in the reference")
def _outputs_swapped(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, [n for n in of(circuit, "mmi1x2") if f"{n},o2" in circuit.netlist["connections"]])
    if name is None:
        return None
    m = Mutant(circuit)
    o2, o3 = f"{name},o2", f"{name},o3"
    swap = {o2: o3, o3: o2}
    m.reference["connections"] = {swap.get(a, a): b for a, b in m.reference["connections"].items()}
    for route in m.reference["routes"].values():
        route["links"] = {swap.get(a, a): b for a, b in route["links"].items()}
    m.reference["ports"] = {p: swap.get(e, e) for p, e in m.reference["ports"].items()}
    after = circuit.netlist["connections"][o2]
    expect = (
        Expect("missing_connection", names=(o3, after)),
        Expect("unknown_connection", at=(circuit.endpoint(o2).box(0.5),), names=(o2, after)),
    )
    return Fault(*m.write("outputs_swapped"), expect, (name, after.rsplit(",", 1)[0]))


@fault("joints", "connections written the other way round", harmless=True)
def _reversed(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    m.reference["connections"] = {b: a for a, b in m.reference["connections"].items()}
    m.reference["nets"] = [{"p1": net["p2"], "p2": net["p1"]} for net in m.reference["nets"]]
    return Fault(*m.write("reversed"))


# --- instance arrays ---------------------------------------------------------------------


def _grating_pair(circuit: Circuit, rng: random.Random) -> tuple[str, str] | None:
    """Two neighbouring output gratings of a row, neither mirrored."""
    placements = circuit.netlist["placements"]
    pairs = []
    for name in gratings_out(circuit):
        row, j = name.rsplit("_out", 1)
        after = f"{row}_out{int(j) + 1}"
        if after in circuit.placed and not placements[name].get("mirror") and not placements[after].get("mirror"):
            pairs.append((name, after))
    return pick(rng, pairs)


def _as_array(m: Mutant, names: list[str], step: tuple[float, float], array: str) -> kdb.Instance:
    """The instances `names` (of one cell) replaced by one array named `array`, `step` µm apart."""
    first = m.instance(names[0])
    cell, trans = first.cell_index, first.dcplx_trans
    for name in names:
        m.instance(name).delete()
    inst = m.top.insert(kdb.DCellInstArray(cell, trans, kdb.DVector(*step), kdb.DVector(0, 0), len(names), 1))
    inst.set_property(cg.conf.PROPID.NAME, array)
    rename_everywhere(m.reference, {name: f"{array}[{i}]" for i, name in enumerate(names)})
    return inst


@fault("arrays", "two gratings as a 1x2 array", harmless=True)
def _grating_array(circuit: Circuit, rng: random.Random) -> Fault | None:
    pair = _grating_pair(circuit, rng)
    if pair is None:
        return None
    m = Mutant(circuit)
    a, b = (circuit.endpoint(f"{name},o1") for name in pair)
    _as_array(m, list(pair), (b.x - a.x, b.y - a.y), "gcs")
    return Fault(*m.write("grating_array"))


@fault("arrays", "second grating of an array 2 µm off its route")
def _grating_array_off(circuit: Circuit, rng: random.Random) -> Fault | None:
    pair = _grating_pair(circuit, rng)
    if pair is None:
        return None
    m = Mutant(circuit)
    a, b = (circuit.endpoint(f"{name},o1") for name in pair)
    _as_array(m, list(pair), (b.x - a.x, b.y - a.y + 2), "gcs")
    site = grown(spanning((b.x, b.y), (b.x, b.y + 2)), b.width / 2)
    expect = Expect("gap", at=(site,), names=("gcs[1],o1",), distance=2.0, margin=0.01)
    return Fault(*m.write("grating_array_off"), (expect,), ("gcs[1]", pair[1]), (site,))


def _pad_pair(circuit: Circuit, rng: random.Random) -> str | None:
    return pick(rng, heaters_with_pads(circuit))


@fault("arrays", "a heater's two pads as a 1x2 array", harmless=True)
def _pad_array(circuit: Circuit, rng: random.Random) -> Fault | None:
    heater = _pad_pair(circuit, rng)
    if heater is None:
        return None
    m = Mutant(circuit)
    pads = [f"{heater}_e1_pad", f"{heater}_e2_pad"]
    a, b = (circuit.placed[p].box for p in pads)
    _as_array(m, pads, (b[0] - a[0], b[1] - a[1]), "pads")
    return Fault(*m.write("pad_array"))


@fault("arrays", "second pad of an array off its wire")
def _pad_array_off(circuit: Circuit, rng: random.Random) -> Fault | None:
    heater = _pad_pair(circuit, rng)
    if heater is None:
        return None
    m = Mutant(circuit)
    pads = [f"{heater}_e1_pad", f"{heater}_e2_pad"]
    a, b = (circuit.placed[p].box for p in pads)
    inst = _as_array(m, pads, (b[0] - a[0], b[1] - a[1] + 100), "pads")
    moved = (b[0], b[1] + 100, b[2], b[3] + 100)
    shared = pins_of_net(circuit, f"{heater},e2") > 2
    expect = Expect("open" if shared else "missing_connection", names=(f"{heater},e2",))
    touched = (heater, pads[1], "pads[1]", *_sharing(circuit, f"{heater},e2"))
    return Fault(*m.write("pad_array_off"), (expect,), touched, (moved, box_of(inst)))


# --- layouts saved without context information ---------------------------------------------

RESTORED = "took them from the cells of the same name the kit builds"


def _without_context(m: Mutant) -> None:
    m.options.write_context_info = False


def _hand_drawn(m: Mutant, name: str) -> str:
    """The instance's cell replaced by a hand-drawn copy: the same shapes and ports, no settings."""
    inst = m.instance(name)
    original = inst.cell
    drawn = m.layout.create_cell("gc_drawn")
    drawn.copy_shapes(original)
    drawn.add_meta_info(
        kdb.LayoutMetaInfo(cg.conf.META_PORTS, original.meta_info_value(cg.conf.META_PORTS), None, True)
    )
    inst.cell_index = drawn.cell_index()
    m.reference["instances"][name] = {"component": "gc_drawn"}
    return "gc_drawn"


def _unchecked_ports(circuit: Circuit) -> Expect:
    return Expect("unchecked_ports", words=(circuit.name,))


@fault("stripped", "saved without context information")
def _stripped(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    _without_context(m)
    return Fault(*m.write("stripped"), (_unchecked_ports(circuit),), notes=(RESTORED,))


@fault("stripped", "hand-drawn cell, saved without context information")
def _stripped_drawn(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, gratings_out(circuit))
    m = Mutant(circuit)
    drawn = _hand_drawn(m, name)
    _without_context(m)
    source = route_link_of(circuit.netlist, f"{name},o1")[1].rsplit(",", 1)[0]
    expect = (Expect("unchecked_connections", names=(name,)), _unchecked_ports(circuit))
    return Fault(
        *m.write("stripped_drawn"),
        expect,
        (name, source),
        notes=(RESTORED, "carries no ports or settings for the cells", drawn),
    )


@fault("stripped", "saved without context information, and a grating 2 µm off")
def _stripped_gap(circuit: Circuit, rng: random.Random) -> Fault | None:
    m, name, before, after = _pulled(circuit, rng, 2.0)
    _without_context(m)
    site = grown(spanning((before.x, before.y), (after.x, after.y)), before.width / 2)
    expect = (Expect("gap", at=(site,), names=(f"{name},o1",), distance=2.0, margin=0.01), _unchecked_ports(circuit))
    return Fault(*m.write("stripped_gap"), expect, (name,), (site,), notes=(RESTORED,))


@fault("stripped", "hand-drawn cell, saved with context information", harmless=True)
def _drawn(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    _hand_drawn(m, pick(rng, gratings_out(circuit)))
    return Fault(*m.write("drawn"), notes=("the settings of 1 instance could not be compared",))


# --- metal ---------------------------------------------------------------------------------


def _contact(wire: Wire) -> str:
    """The heater contact at one end of a wire (the other end may be a pad or a contact)."""
    return next(end for end in wire.ends if not end.rsplit(",", 1)[0].endswith("_pad"))


def _wire(circuit: Circuit, rng: random.Random, shared: bool | None, straight: bool = False) -> Wire | None:
    """A wire whose net joins more than two ports (`shared`), or two (not `shared`), or any (None)."""
    wires = [
        w
        for w in circuit.wires
        if (shared is None or (pins_of_net(circuit, _contact(w)) > 2) == shared)
        and (not straight or len(w.points) == 2)
    ]
    return pick(rng, wires)


def _cut(m: Mutant, wire: Wire, gap: float = 2.0) -> Box | None:
    """The wire cut across one of its sides, `gap` µm wide, where no other metal
    bridges the cut: the gap's box (None where other metal bridges it everywhere)."""
    shape = m.wire_shape(wire)
    dbu = m.layout.dbu
    others = _other_metal(m, wire)
    w = wire.width
    sides = sorted(zip(wire.points, wire.points[1:]), key=lambda s: -math.hypot(s[1][0] - s[0][0], s[1][1] - s[0][1]))
    for (x0, y0), (x1, y1) in sides:
        for f in (0.5, 0.35, 0.65, 0.2, 0.8):
            mx, my = x0 + f * (x1 - x0), y0 + f * (y1 - y0)
            band = (
                kdb.DBox(mx - gap / 2, my - w, mx + gap / 2, my + w)
                if y0 == y1
                else kdb.DBox(mx - w, my - gap / 2, mx + w, my + gap / 2)
            )
            if (others & kdb.Region(band.to_itype(dbu))).is_empty():
                m.metal(LAYER.M2).insert(kdb.Region(shape.polygon) - kdb.Region(band.to_itype(dbu)))
                shape.delete()
                return _box(band & kdb.DBox(*wire.box))
    return None


def _missing_or_open(circuit: Circuit, wire: Wire, at: Box) -> Expect:
    contact = _contact(wire)
    if pins_of_net(circuit, contact) > 2:
        return Expect("open", at=(at,), names=(contact,))
    return Expect("missing_connection", at=(at,), names=(contact,))


def _touched_by(wire: Wire) -> tuple[str, ...]:
    return tuple(end.rsplit(",", 1)[0] for end in wire.ends)


def _bridge(circuit: Circuit, rng: random.Random, side: str | None) -> Fault | None:
    """Metal from a heater's first pad to its second, 60 µm above them; with `side`,
    the reference names the first pad's port `side` (any side of a pad is the pad)."""
    heater = pick(rng, [h for h in heaters_with_pads(circuit) if pins_of_net(circuit, f"{h},e1") == 2])
    if heater is None:
        return None
    a, b = (circuit.placed[f"{heater}_{e}_pad"].box for e in ("e1", "e2"))
    xa, xb, top = (a[0] + a[2]) / 2, (b[0] + b[2]) / 2, max(a[3], b[3])
    points = [(xa, a[3] - 5), (xa, top + 60), (xb, top + 60), (xb, b[3] - 5)]
    m = Mutant(circuit)
    m.metal(LAYER.M2).insert(kdb.DPath([kdb.DPoint(x, y) for x, y in points], 10.0))
    names = [f"{heater},e1", f"{heater},e2"]
    if side is not None:
        pad = f"{heater}_e1_pad"
        for net in m.reference["nets"]:
            for key, end in net.items():
                if end.startswith(f"{pad},"):
                    net[key] = f"{pad},{side}"
        names.append(f"{pad},{side}")
    bridge = (xa - 5, top + 55, xb + 5, top + 65)
    expect = Expect("short", at=(bridge,), names=tuple(names))
    touched = (heater, f"{heater}_e1_pad", f"{heater}_e2_pad")
    return Fault(*m.write("bridge"), (expect,), touched, (grown(spanning(*points), 5),))


@fault("metal", "metal bridge between two nets")
def _bridge_plain(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _bridge(circuit, rng, None)


@fault("metal", "metal bridge, a pad named by another side in the reference")
def _bridge_side(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _bridge(circuit, rng, rng.choice(["e2", "e3", "e4"]))


def _wire_cut(circuit: Circuit, rng: random.Random, shared: bool) -> Fault | None:
    wire = _wire(circuit, rng, shared=shared)
    if wire is None:
        return None
    m = Mutant(circuit)
    gap = _cut(m, wire)
    if gap is None:
        return None
    return Fault(*m.write("cut"), (_missing_or_open(circuit, wire, gap),), _touched_by(wire), (gap,))


@fault("metal", "wire cut (a net of two ports)")
def _cut_two(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _wire_cut(circuit, rng, shared=False)


@fault("metal", "wire cut (a net of three or four ports)")
def _cut_shared(circuit: Circuit, rng: random.Random) -> Fault | None:
    return _wire_cut(circuit, rng, shared=True)


def _other_metal(m: Mutant, wire: Wire, layers: tuple[kdb.LayerInfo, ...] = (LAYER.M2,)) -> kdb.Region:
    """The metal on `layers` of the circuit and all it places, but the wire."""
    own = m.wire_shape(wire)
    region = kdb.Region()
    for layer in layers:
        shapes = m.top.begin_shapes_rec(m.layout.layer(layer))
        while not shapes.at_end():
            if shapes.shape() != own:
                region.insert(shapes.shape().polygon.transformed(shapes.trans()))
            shapes.next()
    return region


def _alone(m: Mutant, wire: Wire) -> bool:
    """Whether no other metal lies along the straight wire but within 10 µm of its
    ends: nothing bridges a via left out of it."""
    (x0, y0), (x1, y1) = wire.points
    length = math.hypot(x1 - x0, y1 - y0)
    ux, uy = (x1 - x0) / length, (y1 - y0) / length
    inner = kdb.DBox(kdb.DPoint(x0 + 10 * ux, y0 + 10 * uy), kdb.DPoint(x1 - 10 * ux, y1 - 10 * uy)).enlarged(
        wire.width, wire.width
    )
    return (_other_metal(m, wire, (LAYER.M1, LAYER.M2)) & kdb.Region(inner.to_itype(m.layout.dbu))).is_empty()


def _via_chain(m: Mutant, wire: Wire, left_out: int | None) -> list[Box]:
    """The straight wire redrawn as five pieces on M2 and M1 in turn, joined by vias
    (the via `left_out` left out): the via sites."""
    (x0, y0), (x1, y1) = wire.points
    length = math.hypot(x1 - x0, y1 - y0)
    ux, uy = (x1 - x0) / length, (y1 - y0) / length
    ext, overlap, count, half = 5.0, 6.0, 5, wire.width / 2
    total = length + 2 * ext
    piece = (total + (count - 1) * overlap) / count

    def box(s0: float, s1: float, across: float) -> kdb.DBox:
        ax, ay = x0 + ux * (s0 - ext), y0 + uy * (s0 - ext)
        bx, by = x0 + ux * (s1 - ext), y0 + uy * (s1 - ext)
        return kdb.DBox(
            min(ax, bx) - abs(uy) * across,
            min(ay, by) - abs(ux) * across,
            max(ax, bx) + abs(uy) * across,
            max(ay, by) + abs(ux) * across,
        )

    m.wire_shape(wire).delete()
    sites = []
    for i in range(count):
        start = i * (piece - overlap)
        m.metal(LAYER.M2 if i % 2 == 0 else LAYER.M1).insert(box(start, start + piece, half))
        if i < count - 1:
            mid = start + piece - overlap / 2
            via = box(mid - 2, mid + 2, 2)
            sites.append(_box(via))
            if i != left_out:
                m.metal(LAYER.VIA1).insert(via)
    return sites


@fault("metal", "wire redrawn as a chain of vias", harmless=True)
def _chain(circuit: Circuit, rng: random.Random) -> Fault | None:
    wire = _wire(circuit, rng, shared=None, straight=True)
    if wire is None:
        return None
    m = Mutant(circuit)
    _via_chain(m, wire, None)
    return Fault(*m.write("chain"))


@fault("metal", "via left out of a chain")
def _chain_open(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    wire = pick(rng, [w for w in circuit.wires if len(w.points) == 2 and _alone(m, w)])
    if wire is None:
        return None
    left_out = rng.randrange(4)
    site = _via_chain(m, wire, left_out)[left_out]
    return Fault(*m.write("chain_open"), (_missing_or_open(circuit, wire, grown(site, 3)),), _touched_by(wire), (site,))


@fault("metal", "pad deleted")
def _pad_deleted(circuit: Circuit, rng: random.Random) -> Fault | None:
    heater = pick(
        rng,
        [
            h
            for h in of(circuit, "straight_heater_metal")
            if f"{h}_e2_pad" in circuit.placed and pins_of_net(circuit, f"{h},e2") == 2
        ],
    )
    if heater is None:
        return None
    pad = f"{heater}_e2_pad"
    m = Mutant(circuit)
    m.instance(pad).delete()
    contact = circuit.endpoint(f"{heater},e2")
    expect = (
        Expect("missing_instance", names=(pad,)),
        Expect("missing_connection", at=(contact.box(contact.width / 2),), names=(f"{heater},e2",)),
    )
    return Fault(*m.write("pad_deleted"), expect, (heater, pad))


@fault("metal", "pad deleted from a net of three or four ports")
def _shared_pad_deleted(circuit: Circuit, rng: random.Random) -> Fault | None:
    pad = pick(rng, [p for p in of(circuit, "pad") if pins_of_net(circuit, f"{p},e1") > 2])
    if pad is None:
        return None
    m = Mutant(circuit)
    m.instance(pad).delete()
    # the wires that met on the pad may part there: an open of what the pad joined
    return Fault(
        *m.write("shared_pad_deleted"),
        (Expect("missing_instance", names=(pad,)),),
        tuple(_sharing(circuit, f"{pad},e1")),
        allowed=("open",),
    )


@fault("metal", "pad renamed in the layout where the reference names two of its sides")
def _hub_renamed(circuit: Circuit, rng: random.Random) -> Fault | None:
    pad = pick(rng, [p for p in of(circuit, "pad") if pins_of_net(circuit, f"{p},e1") > 2])
    if pad is None:
        return None
    m = Mutant(circuit)
    sides = iter(["e1", "e4", "e2", "e3"])
    for net in m.reference["nets"]:
        for key, end in net.items():
            if end.rsplit(",", 1)[0] == pad:
                net[key] = f"{pad},{next(sides)}"
    m.instance(pad).set_property(cg.conf.PROPID.NAME, pad + "_x")
    box = circuit.placed[pad].box
    expect = (Expect("unknown_instance", at=(box,), names=(pad + "_x",)), Expect("missing_instance", names=(pad,)))
    return Fault(*m.write("hub_renamed"), expect, (pad, pad + "_x", *_sharing(circuit, f"{pad},e1")), (box,))


@fault("metal", "net left out of the reference")
def _unlisted_net(circuit: Circuit, rng: random.Random) -> Fault | None:
    wire = _wire(circuit, rng, shared=False)
    if wire is None:
        return None
    m = Mutant(circuit)
    contact = _contact(wire)
    m.reference["nets"] = [net for net in m.reference["nets"] if contact not in net.values()]
    expect = Expect("unknown_connection", at=(grown(wire.box, 5),), names=(contact,))
    return Fault(*m.write("unlisted_net"), (expect,), _touched_by(wire))


@fault("metal", "two nets joined in the reference")
def _joined_nets(circuit: Circuit, rng: random.Random) -> Fault | None:
    heater = pick(rng, heaters_with_pads(circuit))
    if heater is None:
        return None
    m = Mutant(circuit)
    m.reference["nets"].append({"p1": f"{heater},e1", "p2": f"{heater},e2"})
    touched = (heater, f"{heater}_e1_pad", f"{heater}_e2_pad")
    a, b = (circuit.placed[f"{heater}_{e}_pad"].box for e in ("e1", "e2"))
    between = (a[2], max(a[1], b[1]), b[0], min(a[3], b[3]))  # where the two nets come closest
    expect = Expect("open", at=(between,), names=(f"{heater},e1", f"{heater},e2"))
    return Fault(*m.write("joined_nets"), (expect,), touched)


@fault("metal", "another side of a pad named in the reference", harmless=True)
def _pad_side(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    for net in m.reference["nets"]:
        for key, end in net.items():
            name, port = end.rsplit(",", 1)
            if name.endswith("_pad"):
                net[key] = f"{name},{rng.choice(['e1', 'e2', 'e3', 'e4'])}"
    return Fault(*m.write("pad_side"))


# --- external ports ----------------------------------------------------------------------


def _a_port(circuit: Circuit, rng: random.Random) -> str:
    return pick(rng, sorted(circuit.netlist["ports"]))


@fault("joints", "two gratings 1 µm apart that the reference leaves unconnected")
def _facing_gratings(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    cell = m.kit_cell("grating_coupler")
    x, y = empty_spot(circuit)
    first = m.insert(cell, kdb.DCplxTrans(1, rng.choice([0, 90, 180, 270]), False, x, y), "probe1")
    at = _port_at_of(m, first, "o1")
    ahead = at.ahead(1.0)
    second = m.insert(cell, m.onto(cell, "o1", PortAt(*ahead, at.angle, at.width, at.layer, at.port_type)), "probe2")
    for name in ("probe1", "probe2"):
        m.reference["instances"][name] = {"component": "grating_coupler"}
    site = grown(spanning((at.x, at.y), ahead), at.width / 2)
    expect = Expect("gap", at=(site,), names=("probe1,o1", "probe2,o1"), distance=1.0, margin=0.01)
    return Fault(*m.write("facing_gratings"), (expect,), ("probe1", "probe2"), (box_of(first), box_of(second)))


@fault("ports", "port the layout lacks, added to the reference")
def _port_added(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, gratings_out(circuit))
    m = Mutant(circuit)
    m.reference["ports"]["monitor"] = f"{name},o1"
    at = circuit.endpoint(f"{name},o1")
    expect = Expect("missing_port", at=(at.box(at.width / 2),), names=("monitor", f"{name},o1"))
    return Fault(*m.write("port_added"), (expect,), (name,))


@fault("ports", "port left out of the reference")
def _port_unlisted(circuit: Circuit, rng: random.Random) -> Fault | None:
    port = _a_port(circuit, rng)
    m = Mutant(circuit)
    del m.reference["ports"][port]
    at = circuit.top_ports[port]
    return Fault(*m.write("port_unlisted"), (Expect("unknown_port", at=(at.box(at.width / 2),), names=(port,)),))


@fault("ports", "port attached elsewhere in the reference")
def _port_moved(circuit: Circuit, rng: random.Random) -> Fault | None:
    port = _a_port(circuit, rng)
    other = pick(rng, [p for p in circuit.netlist["ports"] if p != port])
    if other is None:
        return None
    m = Mutant(circuit)
    m.reference["ports"][port], m.reference["ports"][other] = m.reference["ports"][other], m.reference["ports"][port]
    at = circuit.top_ports[port]
    return Fault(
        *m.write("port_moved"),
        (Expect("moved_port", at=(at.box(at.width / 2),), names=(port,)),),
        (),
        tuple(p.box(p.width) for p in circuit.top_ports.values()),
    )


@fault("ports", "port moved off its instance in the layout")
def _port_off(circuit: Circuit, rng: random.Random) -> Fault | None:
    port = _a_port(circuit, rng)
    m = Mutant(circuit)
    key = f"{cg.conf.META_PORTS}@{circuit.name}"
    carrier = next(c for c in m.layout.each_cell() if c.meta_info(key) is not None)
    ports = carrier.meta_info_value(key)
    x, y = empty_spot(circuit)
    for data in ports:
        if data["name"] == port:
            trans = kdb.Trans.from_s(data["trans"])
            data["trans"] = str(
                kdb.Trans(trans.rot, trans.is_mirror(), round(x / m.layout.dbu), round(y / m.layout.dbu))
            )
    carrier.add_meta_info(kdb.LayoutMetaInfo(key, ports, None, True))
    attached = circuit.endpoint(circuit.netlist["ports"][port])
    expect = Expect("unattached_port", at=((x - 1, y - 1, x + 1, y + 1),), names=(port,))
    return Fault(
        *m.write("port_off"),
        (expect,),
        (circuit.netlist["ports"][port].rsplit(",", 1)[0],),
        ((x - 1, y - 1, x + 1, y + 1), attached.box(attached.width)),
    )


def _pad_port(circuit: Circuit, rng: random.Random, named: Callable[[str], str]) -> tuple[Mutant, PortAt] | None:
    """A mutant whose cell exposes the side e1 of a heater's first pad as the electrical port
    "bias", which the reference puts at `named(heater)`."""
    heater = pick(rng, heaters_with_pads(circuit))
    if heater is None:
        return None
    m = Mutant(circuit)
    at = circuit.endpoint(f"{heater}_e1_pad,e1")
    key = f"{cg.conf.META_PORTS}@{circuit.name}"
    carrier = next(c for c in m.layout.each_cell() if c.meta_info(key) is not None)
    dbu = m.layout.dbu
    trans = kdb.Trans(round(at.angle / 90) % 4, False, round(at.x / dbu), round(at.y / dbu))
    port = {"dcplx_trans": None, "layer": [*at.layer, "M2"], "name": "bias", "port_type": "electrical"}
    port |= {"trans": str(trans), "width": round(at.width / dbu)}
    carrier.add_meta_info(kdb.LayoutMetaInfo(key, [*carrier.meta_info_value(key), port], None, True))
    m.reference["ports"]["bias"] = named(heater)
    return m, at


@fault("ports", "electrical port on a heater's pad, the other pad in the reference")
def _pad_port_moved(circuit: Circuit, rng: random.Random) -> Fault | None:
    made = _pad_port(circuit, rng, lambda heater: f"{heater}_e2_pad,e1")
    if made is None:
        return None
    m, at = made
    expect = Expect("moved_port", at=(at.box(at.width / 2),), names=("bias",))
    return Fault(*m.write("pad_port_moved"), (expect,), (), (at.box(at.width),))


@fault("ports", "electrical port on a heater's pad, named by the heater's contact", harmless=True)
def _pad_port_by_contact(circuit: Circuit, rng: random.Random) -> Fault | None:
    made = _pad_port(circuit, rng, lambda heater: f"{heater},e1")
    return None if made is None else Fault(*made[0].write("pad_port_by_contact"), ())


@fault("ports", "ports given as a list in the reference")
def _ports_listed(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    m.reference["ports"] = sorted(m.reference["ports"])
    return Fault(*m.write("ports_listed"), (Expect("ports_mismatch"),))


@fault("ports", "ports listed in another order", harmless=True)
def _ports_reordered(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    items = list(m.reference["ports"].items())
    rng.shuffle(items)
    m.reference["ports"] = dict(reversed(items))
    return Fault(*m.write("ports_reordered"))


# --- harmless edits of the whole file ---------------------------------------------------------


@fault("files", "saved again by KLayout", harmless=True)
def _saved_again(circuit: Circuit, rng: random.Random) -> Fault | None:
    return Fault(*Mutant(circuit).write("saved_again"))


@fault("files", "saved as OASIS", harmless=True)
def _oasis(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    m.suffix = ".oas"
    return Fault(*m.write("oasis"))


@fault("files", "labels added and moved", harmless=True)
def _labels(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    x, y = empty_spot(circuit)
    m.metal(LAYER.TEXT).insert(kdb.DText("note", x + rng.uniform(0, 50), y))
    pad = pick(rng, of(circuit, "pad"))
    box = circuit.placed[pad].box
    m.metal(LAYER.M2).insert(kdb.DText("bias", (box[0] + box[2]) / 2 + rng.uniform(-20, 20), (box[1] + box[3]) / 2))
    return Fault(*m.write("labels"))


@fault("files", "placed in a larger layout", harmless=True)
def _placed_inside(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    chip = m.layout.create_cell("chip")
    chip.insert(kdb.DCellInstArray(m.top.cell_index(), kdb.DCplxTrans(1, 90, False, 1000, 2000)))
    return Fault(*m.write("placed_inside"))


@fault("files", "instances of the layout in another order", harmless=True)
def _layout_reordered(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    kept = [(inst.cell_inst, inst.property(cg.conf.PROPID.NAME)) for inst in m.top.each_inst()]
    rng.shuffle(kept)
    for inst in list(m.top.each_inst()):
        inst.delete()
    for array, name in kept:
        inst = m.top.insert(array)
        if name is not None:
            inst.set_property(cg.conf.PROPID.NAME, name)
    return Fault(*m.write("layout_reordered"))


# --- more edits a designer makes in the layout ----------------------------------------------


def _chain_neighbours(circuit: Circuit, name: str) -> tuple[str, str]:
    """The endpoints the reference joins to the instance's o1 and o2."""
    connections = circuit.netlist["connections"]
    before = next(a for a, b in connections.items() if b == f"{name},o1")
    return before, connections[f"{name},o2"]


@fault("joints", "straight turned end for end")
def _end_for_end(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, chain_straights(circuit))
    if name is None:
        return None
    o1, o2 = circuit.endpoint(f"{name},o1"), circuit.endpoint(f"{name},o2")
    m = Mutant(circuit)
    middle = PortAt((o1.x + o2.x) / 2, (o1.y + o2.y) / 2, 0, o1.width, o1.layer, o1.port_type)
    _moved(m, name, 0, 0, 180, middle)
    before, after = _chain_neighbours(circuit, name)
    expect = Expect("unknown_connection", at=(o1.box(0.5),), names=(before, f"{name},o2"))
    touched = (name, before.rsplit(",", 1)[0], after.rsplit(",", 1)[0])
    return Fault(*m.write("end_for_end"), (expect,), touched, (circuit.placed[name].box,))


@fault("joints", "splitter mirrored in the layout")
def _mirrored_splitter(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(
        rng,
        [
            n
            for n in of(circuit, "mmi1x2")
            if f"{n},o2" in circuit.netlist["connections"] and circuit.endpoint(f"{n},o1").angle in (0, 180)
        ],
    )
    if name is None:
        return None
    o1, o2 = circuit.endpoint(f"{name},o1"), circuit.endpoint(f"{name},o2")
    m = Mutant(circuit)
    inst = m.instance(name)
    inst.dcplx_trans = kdb.DCplxTrans(1, 0, True, 0, 2 * o1.y) * inst.dcplx_trans
    after = circuit.netlist["connections"][f"{name},o2"]
    expect = Expect("unknown_connection", at=(o2.box(0.5),), names=(f"{name},o3", after))
    touched = (name, after.rsplit(",", 1)[0], *_wired_from(circuit, f"{name},o3"))
    return Fault(*m.write("mirrored_splitter"), (expect,), touched, (circuit.placed[name].box,))


def _wired_from(circuit: Circuit, endpoint: str) -> list[str]:
    """The named instances that the unnamed wiring from `endpoint` reaches (none without wiring)."""
    at = circuit.endpoint(endpoint)
    for box, ports in circuit.wiring:
        if any(abs(p.x - at.x) < 1e-3 and abs(p.y - at.y) < 1e-3 for p in ports):
            return sorted(circuit.wired_to(box))
    return []


@fault("joints", "piece of a route drawn twice in place", harmless=True)
def _doubled(circuit: Circuit, rng: random.Random) -> Fault | None:
    """The same waveguide twice in one place is the same mask: nothing to find."""
    m = Mutant(circuit)
    inst = pick(rng, [i for i in _unnamed(m) if i.cell.name.startswith("straight_length")])
    m.insert(inst.cell_index, inst.dcplx_trans)
    return Fault(*m.write("doubled"))


@fault("instances", "heater swapped for a straight of its length")
def _heater_for_straight(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, of(circuit, "straight_heater_metal"))
    if name is None:
        return None
    m = Mutant(circuit)
    inst = m.instance(name)
    inst.cell_index = m.kit_cell("straight", length=circuit.netlist["instances"][name]["settings"]["length"])
    box = box_of(inst)
    touched = (name, *_sharing(circuit, f"{name},e1"), *_sharing(circuit, f"{name},e2"))
    return Fault(
        *m.write("heater_for_straight"),
        (Expect("mismatched_instance", at=(box,), names=(name,)),),
        touched,
        (circuit.placed[name].box,),
    )


@fault("instances", "grating flattened into the circuit")
def _flattened(circuit: Circuit, rng: random.Random) -> Fault | None:
    name = pick(rng, gratings_out(circuit))
    m = Mutant(circuit)
    m.instance(name).flatten()
    return Fault(
        *m.write("flattened"), (Expect("missing_instance", names=(name,)),), (name,), (circuit.placed[name].box,)
    )


@fault("metal", "wire reaching 20 µm into its pad", harmless=True)
def _deeper(circuit: Circuit, rng: random.Random) -> Fault | None:
    wire = pick(
        rng,
        [w for w in circuit.wires if len(w.points) == 2 and any(e.rsplit(",", 1)[0].endswith("_pad") for e in w.ends)],
    )
    if wire is None:
        return None
    m = Mutant(circuit)
    shape = m.wire_shape(wire)
    points = list(wire.points)
    at_pad = 0 if wire.ends[0].rsplit(",", 1)[0].endswith("_pad") else 1
    (px, py), (qx, qy) = points[at_pad], points[1 - at_pad]
    length = math.hypot(px - qx, py - qy)
    points[at_pad] = (px + 20 * (px - qx) / length, py + 20 * (py - qy) / length)
    path = shape.dpath
    path.points = [kdb.DPoint(x, y) for x, y in points]
    shape.dpath = path
    return Fault(*m.write("deeper"))


@fault("instances", "components named by their cells, without settings", harmless=True)
def _by_cell_name(circuit: Circuit, rng: random.Random) -> Fault | None:
    m = Mutant(circuit)
    for name in m.reference["instances"]:
        m.reference["instances"][name] = {"component": circuit.placed[name].cell}
    return Fault(*m.write("by_cell_name"))


# --- running them --------------------------------------------------------------------------


def run(circuit: Circuit, kind: Kind, seed: int | None = None) -> tuple[Fault | None, Verdict]:
    """Put the fault `kind` into the circuit (chosen by a generator of `seed`) and judge the check."""
    rng = random.Random(f"{circuit.seed}:{kind.name}:{seed}")
    mutant = kind.mutate(circuit, rng)
    if mutant is None:
        return None, Verdict("not applicable")
    return mutant, judge(circuit, mutant, check(circuit, mutant.layout, mutant.reference))
