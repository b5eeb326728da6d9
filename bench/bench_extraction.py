"""Benchmark: the layout netlist extraction on large generated layouts.

Run by hand from the repository root:

    PYTHONPATH=python python bench/bench_extraction.py [--sizes 1000 10000 100000]
        [--rounds 3] [--repeats 20] [--repeat-size 10000] [--cpu-time]

(`--sizes` with no value skips the timings; `--repeats 0` skips the memory series.)

For each size N it generates a layout of N named devices chained by waveguides
of unnamed pieces, with a pad per device and two-pin metal nets
(bench/generate_layout.py; not timed), and measures in the same run:

* KLayout's `extract_netlist` over the kit's metal layers of the same layout,
  whole, as a plain script runs it (the extraction leaves out the cells with
  no metal);
* the cell library's port connectivity (`cell.l2n(port_types=("optical",))`,
  its tables, as the extraction reads them; the KLayout netlist is built only
  when asked for);
* `extract_lvs_netlist(cell, kit connectivity)`: time and peak memory (resident
  set growth during the call, sampled every millisecond);
* the plain Python peer (bench/python_peer.py: a port matcher over the cell
  library's public API plus KLayout's metal extraction), and whether it gives
  the same netlist.

Every part runs with the cyclic garbage collector paused, as the extraction
runs itself. The parts are timed in turn, `--rounds` times, and each one's
fastest time counts: one run of each on a machine that is doing other things
varies by a fifth.

It prints the extraction's total as a multiple of KLayout's `extract_netlist`,
the peer's time as a multiple of the extraction's, and the growth of the total
from 10^4 to 10^5.
Last, in a fresh process, it extracts one layout `--repeats` times and prints
the memory after the first extraction and after the last: the resident set,
and the bytes the C allocator has handed out (which leaves out memory it keeps
after a free); and, for comparison, the resident set over as many runs of the
cell library's l2n alone, also in a fresh process.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import subprocess
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
from python_peer import extract_in_python, metal_extraction  # noqa: E402

kdb = cg.kdb
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    """Resident set size of this process, in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def malloc_in_use() -> int | None:
    """Bytes the C allocator has handed out and not got back (glibc), or None elsewhere.

    Unlike the resident set, this does not count memory the allocator keeps
    after it was freed, so it shows whether anything is kept alive.
    """
    try:
        libc = ctypes.CDLL("libc.so.6")
        libc.mallinfo2.restype = _MallInfo2
    except (OSError, AttributeError):
        return None
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def _high_water_mark() -> int | None:
    """The peak resident set of this process since the mark was last reset, in
    bytes, or None where the kernel does not offer a reset (`/proc/self/clear_refs`)."""
    try:
        with open("/proc/self/status") as f:
            line = next(line for line in f if line.startswith("VmHWM:"))
    except (OSError, StopIteration):
        return None
    return int(line.split()[1]) * 1024


def _reset_high_water_mark() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return _high_water_mark() is not None


class PeakMemory:
    """The peak of the resident set while a block runs; `peak` is its growth, in bytes.

    Read from the kernel's high-water mark, reset on entry, so that measuring
    costs the block nothing; where that cannot be reset, a thread samples the
    resident set every millisecond (which takes the interpreter's lock from
    the block now and then, so time such a block apart).
    """

    def __enter__(self) -> PeakMemory:
        gc.collect()
        self.start = self.peak_rss = rss()
        self._kernel = _reset_high_water_mark()
        if not self._kernel:
            self._done = threading.Event()
            self._thread = threading.Thread(target=self._sample, daemon=True)
            self._thread.start()
        return self

    def _sample(self) -> None:
        while not self._done.wait(0.001):
            self.peak_rss = max(self.peak_rss, rss())

    def __exit__(self, *exc: object) -> None:
        if self._kernel:
            self.peak_rss = max(self.peak_rss, _high_water_mark() or 0)
        else:
            self._done.set()
            self._thread.join()
        self.peak_rss = max(self.peak_rss, rss())

    @property
    def peak(self) -> int:
        return self.peak_rss - self.start


_clock: Callable[[], float] = time.perf_counter


def use_cpu_time() -> None:
    """Time by the processor time of the calling thread instead of the wall
    clock: on a machine shared with other jobs the wall clock measures their
    load as much as the work (the memory sampler's thread is not counted)."""
    global _clock
    _clock = time.thread_time


def timed(action: Callable[[], Any], *, collector_paused: bool = False) -> tuple[float, Any]:
    """Time of `action`; with the cyclic collector paused, as the extraction runs."""
    gc.collect()
    was_enabled = gc.isenabled()
    if collector_paused:
        gc.disable()
    try:
        start = _clock()
        result = action()
        return _clock() - start, result
    finally:
        if was_enabled:
            gc.enable()


def klayout_extract(cell: cg.DKCell, layer_sets: list[tuple[str, ...]]) -> kdb.Netlist:
    """KLayout's netlist extraction over the kit's layer sets, as the extraction sets it up."""
    return metal_extraction(cell, layer_sets).netlist()


def measure(n: int, layer_sets: list[tuple[str, ...]], rounds: int) -> dict[str, float]:
    top = generate(n)
    top.l2n(port_types=("optical",))
    # Each part is timed `rounds` times, the parts in turn, and its fastest
    # time kept, so that the process's state (its heap, the other core's load)
    # weighs alike on all of them. Measured as the extraction runs itself:
    # with the cyclic collector paused.
    t_l2n = t_klayout = t_total = t_peer = float("inf")
    peak = 0
    netlist: dict[str, Any] = {}
    peer: dict[str, Any] = {}
    for _ in range(rounds):
        t_l2n = min(t_l2n, timed(lambda: top.l2n(port_types=("optical",)), collector_paused=True)[0])
        t_klayout = min(t_klayout, timed(lambda: klayout_extract(top, layer_sets), collector_paused=True)[0])
        netlist = peer = {}
        with PeakMemory() as memory:
            t, netlist = timed(lambda: lvs.extract_lvs_netlist(top, layer_sets), collector_paused=True)
        t_total, peak = min(t_total, t), max(peak, memory.peak)
        t, peer = timed(lambda: extract_in_python(top, layer_sets), collector_paused=True)
        t_peer = min(t_peer, t)
    figures = {
        "n": n,
        "instances": len(top.insts),
        "nets": len(netlist["nets"]),
        "total": t_total,
        "l2n": t_l2n,
        "extract_netlist": t_klayout,
        "peer": t_peer,
        "peak_mb": peak / 2**20,
    }
    print(
        f"N={n:>7}  instances={figures['instances']:>7}  nets={figures['nets']:>7}  "
        f"extraction={t_total:7.2f}s (l2n {t_l2n:.2f}s)  KLayout extract_netlist={t_klayout:6.2f}s  "
        f"extraction / extract_netlist = {t_total / t_klayout:4.2f}  peak memory +{figures['peak_mb']:.0f} MB",
        flush=True,
    )
    print(
        f"          plain Python peer={t_peer:7.2f}s  peer / extraction = x{t_peer / t_total:4.2f}  "
        f"same netlist: {peer == netlist}",
        flush=True,
    )
    return figures


def _growth(first: int, last: int) -> str:
    return f"{first / 2**20:.0f} MB -> {last / 2**20:.0f} MB ({100 * (last - first) / first:+.1f}%)"


def repeat_series(what: str, n: int, repeats: int, layer_sets: list[tuple[str, ...]]) -> None:
    """Run `what` ("extract" or "l2n") `repeats` times on one layout; print the memory after each."""
    top = generate(n, name=f"bench_repeat_{n}")
    for _ in range(repeats):
        if what == "extract":
            lvs.extract_lvs_netlist(top, layer_sets)
        else:
            top.l2n(port_types=("optical",))
        gc.collect()
        print(rss(), malloc_in_use() or 0, len(lvs._elec_port_groups_memo), flush=True)


def repeated(n: int, repeats: int) -> None:
    """Memory after the first and the last of `repeats` extractions of one layout,
    each series in a fresh process so that neither inherits the other's heap."""

    def series(what: str) -> list[list[int]]:
        command = [sys.executable, __file__, "--series", what, "--repeats", str(repeats), "--repeat-size", str(n)]
        output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        return [[int(v) for v in line.split()] for line in output.splitlines()]

    runs = series("extract")
    print(f"N={n}, {repeats} extractions of one layout, memory after the first and after the last:")
    print(f"  resident set      {_growth(runs[0][0], runs[-1][0])}")
    if runs[0][1]:
        print(f"  malloc in use     {_growth(runs[0][1], runs[-1][1])}")
    print(f"  process-wide memo entries: {runs[-1][2]}")
    # The cell library's port connectivity alone: the allocator's share of
    # the resident set's drift.
    l2n = series("l2n")
    print(f"  for comparison, {repeats} runs of the cell library's l2n alone:")
    print(f"  resident set      {_growth(l2n[0][0], l2n[-1][0])}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--sizes", type=int, nargs="*", default=[1_000, 10_000, 100_000])
    parser.add_argument("--rounds", type=int, default=3, help="timings per part and size; the fastest counts")
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--repeat-size", type=int, default=10_000)
    parser.add_argument("--cpu-time", action="store_true", help="time by processor time, not the wall clock")
    parser.add_argument("--series", choices=["extract", "l2n"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.cpu_time:
        use_cpu_time()

    import demo_pdk

    layer_sets = list(demo_pdk.PDK.activate().connectivity)
    if args.series:
        repeat_series(args.series, args.repeat_size, args.repeats, layer_sets)
        return
    results = {f["n"]: f for f in (measure(n, layer_sets, args.rounds) for n in args.sizes)}
    if 10_000 in results and 100_000 in results:
        factor = results[100_000]["total"] / results[10_000]["total"]
        print(f"growth of the total from N=10^4 to N=10^5: x{factor:.1f} (linear: x10)")
    if args.repeats > 0:
        repeated(args.repeat_size, args.repeats)


if __name__ == "__main__":
    main()
