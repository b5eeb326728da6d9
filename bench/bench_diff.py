"""Benchmark: the check's netlist difference against DeepDiff, and reading a large reference.

Run by hand from the repository root:

    PYTHONPATH=python python bench/bench_diff.py [--sizes 1000 10000 100000] [--yaml-size 100000]

For each size N it builds a reference netlist of N instances and about N nets and a layout
netlist that differs from it in a handful of places (added, removed and re-pointed instances
and nets, a changed port), times get_netlist_diff and DeepDiff(ignore_order=True).to_dict()
on the pair, checks that both give the same result, and prints the times and their ratio.
Then it writes a reference YAML file of --yaml-size instances and times parsing it with
PyYAML's C safe loader and its pure-Python safe loader, and the whole load_ref_netlist.
"""

from __future__ import annotations

import argparse
import copy
import gc
import random
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import yaml
from deepdiff import DeepDiff
from deepdiff.helper import SetOrdered

import cellgrid as cg
import quillon.core.lvs as lvs

COMPONENTS = ["mmi1x2", "mmi2x2", "straight", "bend_euler", "grating_coupler", "pad"]


def reference_netlist(n: int, rng: random.Random) -> dict[str, Any]:
    """N instances in a chain of optical nets, every tenth instance also wired electrically."""
    names = [f"i{k}" for k in range(n)]
    instances = {name: {"component": rng.choice(COMPONENTS)} for name in names}
    nets = {}
    for k in range(n - 1):
        p1, p2 = sorted((f"{names[k]},o2", f"{names[k + 1]},o1"))
        nets[f"{p1}:{p2}"] = {"p1": p1, "p2": p2}
    for k in range(0, n - 10, 10):
        p1, p2 = sorted((f"{names[k]},e1", f"{names[k + 10]},e2"))
        nets[f"{p1}:{p2}"] = {"p1": p1, "p2": p2}
    ports = {"o1": f"{names[0]},o1", "o2": f"{names[-1]},o2"}
    return {"instances": instances, "nets": dict(sorted(nets.items())), "ports": ports}


def layout_netlist(ref: dict[str, Any], rng: random.Random) -> dict[str, Any]:
    """The reference with a handful of deliberate differences, built as new objects (as the
    extraction builds them)."""
    out = copy.deepcopy(ref)
    instances, nets = out["instances"], out["nets"]
    names = list(instances)
    for k in range(3):
        instances[f"extra{k}"] = {"component": "straight"}
    for name in rng.sample(names, 2):
        del instances[name]
    instances[rng.choice(list(instances))]["component"] = "taper"
    keys = list(nets)
    for key in rng.sample(keys, 2):
        del nets[key]
    for _ in range(3):
        p1, p2 = sorted((f"{rng.choice(names)},o3", "ERROR_NO_CONNECTION"))
        nets[f"{p1}:{p2}"] = {"p1": p1, "p2": p2}
    out["nets"] = dict(sorted(nets.items()))
    out["ports"]["o2"] = f"{names[-2]},o2"
    return out


def shape(value: Any) -> Any:
    """Order- and type-keeping comparable form (DeepDiff's ordered set compares unordered)."""
    if isinstance(value, SetOrdered):
        return ("SetOrdered", [shape(v) for v in value])
    if isinstance(value, dict):
        return (type(value), [(k, shape(v)) for k, v in value.items()])
    return (type(value), value)


def timed(call: Callable[[], Any], repeat: int) -> tuple[float, Any]:
    """Best wall time of `repeat` runs, with the collector off as timeit does."""
    best, result = float("inf"), None
    for _ in range(repeat):
        gc.disable()
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
        gc.enable()
    return best, result


def bench_diff(sizes: list[int]) -> None:
    print(f"{'N':>8} {'native s':>10} {'DeepDiff s':>11} {'ratio':>8}  equal  entries")
    for n in sizes:
        rng = random.Random(n)
        ref = reference_netlist(n, rng)
        layout = layout_netlist(ref, rng)
        native_s, native = timed(lambda: lvs.get_netlist_diff(ref, layout), 5)
        library_s, library = timed(lambda: DeepDiff(ref, layout, ignore_order=True).to_dict(), 1)
        equal = shape(native) == shape(library)
        entries = {k: len(v) for k, v in native.items()}
        print(f"{n:>8} {native_s:>10.4f} {library_s:>11.3f} {library_s / native_s:>8.0f}  {equal!s:5}  {entries}")


def reference_yaml(n: int, rng: random.Random) -> str:
    """A reference file in the editor's block style: instances with settings, connections,
    one route bundle, electrical nets and ports."""
    lines = ["instances:"]
    for k in range(n):
        lines += [
            f"  i{k}:",
            f"    component: {rng.choice(COMPONENTS)}",
            f"    settings: {{length: {rng.randint(1, 500)}.5}}",
        ]
    lines.append("connections:")
    lines += [f"  i{k},o2: i{k + 1},o1" for k in range(0, n - 1, 2)]
    lines += ["routes:", "  bundle0:", "    links:"]
    lines += [f"      i{k},o2: i{k + 1},o1" for k in range(1, n - 1, 2)]
    lines += ["    settings:", "      cross_section: strip", "nets:"]
    for k in range(0, n - 10, 10):
        lines += [f"  - p1: i{k},e1", f"    p2: i{k + 10},e2"]
    lines += ["ports:", "  o1: i0,o1", f"  o2: i{n - 1},o2", ""]
    return "\n".join(lines)


def bench_reference(n: int) -> None:
    text = reference_yaml(n, random.Random(1))
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "ref.pic.yml"
        path.write_text(text)
        size_mb = path.stat().st_size / 1e6
        print(f"\nreference YAML: {n} instances, {size_mb:.1f} MB")
        loaders = [("C safe loader", getattr(yaml, "CSafeLoader", None)), ("pure safe loader", yaml.SafeLoader)]
        parsed = []
        for label, loader in loaders:
            if loader is None:
                print(f"  {label:<18} not available")
                continue
            seconds, data = timed(lambda: yaml.load(path.read_text(), Loader=loader), 1)
            parsed.append(data)
            print(f"  {label:<18} {seconds:8.2f} s")
        if len(parsed) == 2:
            print(f"  same values: {parsed[0] == parsed[1]}")
        empty = cg.KCLayout("bench_ref").dkcell("empty")
        seconds, netlist = timed(lambda: lvs.load_ref_netlist(str(path), empty), 1)
        print(
            f"  load_ref_netlist   {seconds:8.2f} s  ({len(netlist['instances'])} instances, "
            f"{len(netlist['nets'])} nets; layout cell without instances)"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    parser.add_argument("--yaml-size", type=int, default=100000)
    args = parser.parse_args()
    bench_diff(args.sizes)
    bench_reference(args.yaml_size)


if __name__ == "__main__":
    main()
