"""Benchmark: the layout netlist extraction on large generated layouts.

Run by hand from the repository root:

    PYTHONPATH=python python bench/bench_extraction.py [--sizes 1000 10000 100000]
        [--repeats 20] [--repeat-size 10000]

For each size N it generates a layout of N named devices chained by waveguides
of unnamed pieces, with a pad per device and two-pin metal nets
(bench/generate_layout.py; not timed), and measures in the same run:

* the work the extraction cannot avoid: the cell library's port connectivity
  (`cell.l2n(port_types=("optical",))`) and KLayout's `extract_netlist` over the
  kit's metal layers of the same layout;
* `extract_lvs_netlist(cell, kit connectivity)`: time and peak memory (resident
  set growth during the call, sampled every millisecond).

It prints the extraction's own work (its total less the two unavoidable parts)
and its share of the total, and the growth of the total from 10^4 to 10^5.
Last, it extracts one layout `--repeats` times and prints the resident memory
after the first extraction and after the last.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import cellgrid as cg
import quillon.core.lvs as lvs

sys.path.insert(0, str(Path(__file__).resolve().parent))
from generate_layout import generate  # noqa: E402

kdb = cg.kdb
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    """Resident set size of this process, in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class PeakMemory:
    """Samples the resident set while a block runs; `peak` is its growth, in bytes."""

    def __enter__(self) -> PeakMemory:
        gc.collect()
        self.start = self.peak_rss = rss()
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()
        return self

    def _sample(self) -> None:
        while not self._done.wait(0.001):
            self.peak_rss = max(self.peak_rss, rss())

    def __exit__(self, *exc: object) -> None:
        self._done.set()
        self._thread.join()
        self.peak_rss = max(self.peak_rss, rss())

    @property
    def peak(self) -> int:
        return self.peak_rss - self.start


def timed(action: Callable[[], Any]) -> tuple[float, Any]:
    gc.collect()
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def klayout_extract(cell: cg.DKCell, layer_sets: list[tuple[str, ...]]) -> kdb.Netlist:
    """KLayout's netlist extraction over the kit's layer sets, as the extraction sets it up."""
    kcl = cell.kcl
    indexes = sorted({kcl.layer(name) for layer_set in layer_sets for name in layer_set})
    l2n = kdb.LayoutToNetlist(kdb.RecursiveShapeIterator(kcl.layout, cell.kdb_cell, indexes))
    made: dict[str, Any] = {}
    for layer_set in layer_sets:
        last = None
        for name in layer_set:
            if name not in made:
                made[name] = l2n.make_layer(kcl.find_layer(name))
                l2n.connect(made[name])
            if last is not None:
                l2n.connect(made[name], last)
            last = made[name]
    l2n.extract_netlist()
    return l2n.netlist()


def measure(n: int, layer_sets: list[tuple[str, ...]]) -> dict[str, float]:
    top = generate(n)
    t_l2n, _ = timed(lambda: top.l2n(port_types=("optical",)).netlist())
    t_klayout, _ = timed(lambda: klayout_extract(top, layer_sets))
    with PeakMemory() as memory:
        t_total, netlist = timed(lambda: lvs.extract_lvs_netlist(top, layer_sets))
    own = t_total - t_l2n - t_klayout
    figures = {
        "n": n,
        "instances": len(top.insts),
        "nets": len(netlist["nets"]),
        "total": t_total,
        "l2n": t_l2n,
        "extract_netlist": t_klayout,
        "own": own,
        "share": own / t_total,
        "peak_mb": memory.peak / 2**20,
    }
    print(
        f"N={n:>7}  instances={figures['instances']:>7}  nets={figures['nets']:>7}  "
        f"total={t_total:7.2f}s  l2n={t_l2n:6.2f}s  extract_netlist={t_klayout:6.2f}s  "
        f"own={own:6.2f}s ({100 * figures['share']:4.1f}%)  peak memory +{figures['peak_mb']:.0f} MB",
        flush=True,
    )
    return figures


def repeated(n: int, repeats: int, layer_sets: list[tuple[str, ...]]) -> None:
    top = generate(n, name=f"bench_repeat_{n}")
    lvs.extract_lvs_netlist(top, layer_sets)
    gc.collect()
    first = rss()
    for _ in range(repeats - 1):
        lvs.extract_lvs_netlist(top, layer_sets)
    gc.collect()
    last = rss()
    print(
        f"N={n}: resident memory after 1 extraction {first / 2**20:.0f} MB, after {repeats} "
        f"{last / 2**20:.0f} MB ({100 * (last - first) / first:+.1f}%); "
        f"memo entries {len(lvs._elec_port_groups_memo)}",
        flush=True,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 100_000])
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--repeat-size", type=int, default=10_000)
    args = parser.parse_args()

    import demo_pdk

    layer_sets = list(demo_pdk.PDK.activate().connectivity)
    results = {f["n"]: f for f in (measure(n, layer_sets) for n in args.sizes)}
    if 10_000 in results and 100_000 in results:
        factor = results[100_000]["total"] / results[10_000]["total"]
        print(f"growth of the total from N=10^4 to N=10^5: x{factor:.1f} (linear: x10)")
    if args.repeats > 0:
        repeated(args.repeat_size, args.repeats, layer_sets)


if __name__ == "__main__":
    main()
