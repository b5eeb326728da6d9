"""Benchmark: reading a reference netlist with the native YAML reader against PyYAML.

Run by hand from the repository root:

    PYTHONPATH=python python bench/bench_yaml.py [--sizes 10000 100000] [--rounds 3]

For each size N it writes two reference files of N instances: the editor's hand-written block
style with flow-style settings (`bench_diff.reference_yaml`) and what `yaml.safe_dump` writes
for the reference of N generated devices (`generate_layout.reference_netlist`, 2N instances:
devices and their pads). Each text is read by PyYAML's C safe loader, by the bounded loader
(the same plus the alias measure) and by the native reader (`quillon.core.lvs._safe_load`),
with the collector paused as the check reads it; the fastest of --rounds counts. It checks
that the values are the same, and prints the times, the ratio to the C loader and the peak of
memory allocated during one read (tracemalloc; the reader's own C++ state is a few hundred
kilobytes and not traced).
"""

from __future__ import annotations

import argparse
import gc
import random
import time
import tracemalloc
from collections.abc import Callable
from typing import Any

import yaml

import quillon.core.lvs as lvs
from bench_diff import reference_yaml, shape
from generate_layout import reference_netlist
from quillon import yaml_bounded


def fastest(read: Callable[[], Any], rounds: int) -> tuple[float, Any]:
    """Best wall time over `rounds`, with the cyclic collector paused."""
    best, value = float("inf"), None
    for _ in range(rounds):
        value = None
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            value = read()
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best, value


def peak_mb(read: Callable[[], Any]) -> float:
    """Peak of memory allocated while `read` runs, above what was allocated before."""
    gc.collect()
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        value = read()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del value
    return (peak - before) / 1e6


def texts(n: int) -> list[tuple[str, str]]:
    dumped = yaml.dump(reference_netlist(n), Dumper=getattr(yaml, "CSafeDumper", yaml.SafeDumper), sort_keys=False)
    return [
        (f"hand-written, {n} instances", reference_yaml(n, random.Random(1))),
        (f"safe_dump, {2 * n} instances", dumped),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    c_loader = getattr(yaml, "CSafeLoader", None)
    if c_loader is None:
        raise SystemExit("PyYAML without its C loader: nothing to compare against")
    readers: list[tuple[str, Callable[[str], Any]]] = [
        ("PyYAML C loader", lambda text: yaml.load(text, Loader=c_loader)),
        ("bounded loader", yaml_bounded.safe_load),
        ("native reader", lvs._safe_load),
    ]
    print(f"{'reference':<30} {'MB':>5}  {'reader':<16} {'seconds':>8} {'vs C':>7} {'peak MB':>8}")
    for n in args.sizes:
        for label, text in texts(n):
            covered, _ = lvs._safe_load_native(text)
            size_mb = len(text.encode()) / 1e6
            seconds: dict[str, float] = {}
            values = []
            for name, read in readers:
                seconds[name], value = fastest(lambda: read(text), args.rounds)
                values.append(shape(value))
                del value
                peak = peak_mb(lambda: read(text))
                ratio = seconds["PyYAML C loader"] / seconds[name]
                print(f"{label:<30} {size_mb:>5.1f}  {name:<16} {seconds[name]:>8.3f} {ratio:>6.1f}x {peak:>8.1f}")
            same = all(v == values[0] for v in values)
            print(f"{'':<30} {'':>5}  same values: {same}; read natively: {covered}")


if __name__ == "__main__":
    main()
