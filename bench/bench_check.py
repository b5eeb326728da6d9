"""The whole check on generated layouts: the time of each stage, and the native
netlist difference against DeepDiff on the same pair.

    PYTHONPATH=python python bench/bench_check.py [--sizes 1000 10000 100000]
        [--no-deepdiff] [--rounds 3] [--repeats 20] [--repeat-size 10000] [--cpu-time]

Per N (devices; about 2N named and 4N unnamed instances) it builds the layout of
`generate_layout.generate`, writes its reference netlist with a handful of
deliberate differences (an instance the layout lacks, one the reference lacks,
a re-pointed link, a dropped metal net), and prints:

* load, extract, diff and findings: the stages of `optical_lvs`;
* the findings stage as `optical_lvs` runs it (its passes sharing one table
  of the layout's instances), read from the stage marks the check reports;
* the whole `optical_lvs`, with the peak of the resident set during it and
  what it still holds after it (the growth over before, after a collection);
* KLayout's `extract_netlist` over the kit's metal on the same layout, whole,
  as a plain script runs it, and the check as a multiple of it, both timed
  in turn `--rounds` times with the fastest of each counting (and the range
  of the rounds' own ratios): whole,
  without its reference stage (reading and checking the file, from the stage
  marks), and without reading the reference file (timed alone, with the
  check's own YAML reader);
* the growth of the whole check from 10^4 to 10^5, beside the growth of
  KLayout's extraction alone over the same step, and the check of 10^4
  again once the library also holds the layout of 10^5 (the check's copy
  keeps only what the checked cell places: past copying the library, the
  larger layout should cost it nothing);
* `optical_lvs` with 0, 1% and 10% more instances in the reference than the
  layout places (a half-placed layout), the fastest of `--rounds` checks
  each, against none missing;
* the native difference against DeepDiff on the same pair and whether both
  give the same result (unless --no-deepdiff).

Every timing, the KLayout baseline included, runs with the cyclic garbage
collector paused, as the check runs itself. Last, in a fresh process, it runs
`--repeats` checks of one layout (`--repeat-size` devices) and prints the
resident set before the first, its peak during the first, and the resident
set after the first and after the last.
"""

from __future__ import annotations

import argparse
import gc
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, NamedTuple

import yaml

sys.path.insert(0, str(Path(__file__).parent))
import bench_extraction  # noqa: E402
from bench_extraction import PeakMemory, klayout_extract, rss, timed, use_cpu_time  # noqa: E402
from generate_layout import generate, reference_netlist  # noqa: E402

import klayout.rdb as rdb_module  # noqa: E402
from deepdiff import DeepDiff  # noqa: E402

import demo_pdk  # noqa: E402
import quillon.core.lvs as lvs  # noqa: E402


def with_differences(reference: dict[str, Any]) -> dict[str, Any]:
    """The reference with one finding of every category against the layout."""
    instances = dict(reference["instances"])
    del instances["p2"]  # the layout's p2 becomes an unknown instance
    instances["ghost"] = {"component": "pad"}  # a missing instance
    links = dict(reference["routes"]["optical"]["links"])
    links["d3,o2"] = "d5,o1"  # a missing and an unknown connection
    nets = [net for net in reference["nets"] if net != {"p1": "d0,e1", "p2": "p0,e1"}]
    return {**reference, "instances": instances, "routes": {"optical": {"links": links}}, "nets": nets}


def plain(diff: dict[str, Any]) -> dict[str, Any]:
    """A difference with its ordered path collections as lists, for comparison."""
    return {kind: list(v) if not isinstance(v, dict) else v for kind, v in diff.items()}


def with_missing(reference: dict[str, Any], fraction: float) -> dict[str, Any]:
    """The reference with `fraction` more instances, which the layout lacks."""
    instances = dict(reference["instances"])
    for i in range(round(fraction * len(instances))):
        instances[f"unplaced{i}"] = {"component": "pad"}
    return {**reference, "instances": instances}


def write(path: Path, netlist: dict[str, Any]) -> str:
    dumper = getattr(yaml, "CSafeDumper", yaml.SafeDumper)
    path.write_text(yaml.dump(netlist, Dumper=dumper, sort_keys=False))
    return str(path)


def paused(action: Any) -> tuple[float, Any]:
    return timed(action, collector_paused=True)


def stage_times(action: Any) -> dict[str, float]:
    """The time of each stage of the check that `action` runs, from the marks
    the check gives its `_progress` callable; the last stage ends with it."""
    marks: list[tuple[str, float]] = []
    lvs._progress = lambda stage: marks.append((stage, bench_extraction._clock()))
    try:
        paused(action)
        end = bench_extraction._clock()
    finally:
        lvs._progress = None
    ends = [t for _, t in marks[1:]] + [end]
    return {stage: stop - start for (stage, start), stop in zip(marks, ends)}


class Checked(NamedTuple):
    time: float  #: of the whole check, the fastest of the rounds
    klayout: float  #: of KLayout's extraction alone, the fastest of the same rounds
    top: Any
    reference: str


def measure(n: int, workdir: Path, deepdiff: bool, rounds: int) -> Checked:
    """Prints the figures of size n; returns the time of the whole check and its inputs."""
    top = generate(n)
    reference = write(workdir / f"bench_{n}.pic.yml", with_differences(reference_netlist(n)))
    connectivity = demo_pdk.PDK.connectivity
    # first, while the layout is as generated: nothing looked up in it yet
    stages = stage_times(lambda: lvs.optical_lvs(top, reference))

    t_load, ref_netlist = paused(lambda: lvs.load_ref_netlist(reference, top))
    t_extract, lvs_netlist = paused(lambda: lvs.extract_lvs_netlist(top, connectivity))
    t_diff, diff = paused(lambda: lvs.get_netlist_diff(ref_netlist, lvs_netlist))

    def findings() -> Any:
        db = rdb_module.ReportDatabase("bench")
        lvs.find_unknown_connections(db, top, diff, lvs_netlist)
        lvs.find_missing_connections(db, top, diff, ref_netlist)
        lvs.find_missing_instances(db, top, diff)
        lvs.find_unknown_instances(db, top, diff)
        lvs.find_mismatched_instances(db, top, diff)
        lvs.find_mismatched_ports(db, top, diff, ref_netlist, lvs_netlist)
        return db

    t_findings, db = paused(findings)
    items = db.num_items()
    # the rest runs without these: held, they would slow every later check
    del db, diff, ref_netlist, lvs_netlist
    # what the reference load spends in reading and parsing the file, with the reader it uses
    t_parse, _ = paused(lambda: lvs._safe_load(Path(reference).read_text(), reference))

    gc.collect()
    before = rss()
    with PeakMemory() as memory:
        paused(lambda: lvs.optical_lvs(top, reference))
    gc.collect()
    retained = rss() - before

    # The check and KLayout's extraction in turn, `rounds` times; the fastest
    # of each counts, so that a slow spell of the machine weighs on neither.
    t_check = t_klayout = float("inf")
    ratios = []
    for _ in range(rounds):
        k = paused(lambda: klayout_extract(top, list(connectivity)))[0]
        c = paused(lambda: lvs.optical_lvs(top, reference))[0]
        t_klayout, t_check = min(t_klayout, k), min(t_check, c)
        ratios.append(c / k)

    print(
        f"N={n:>6}  load={t_load:6.2f}s  extract={t_extract:6.2f}s  diff={t_diff:6.3f}s  "
        f"findings={t_findings:6.3f}s ({items} items)  optical_lvs={t_check:6.2f}s",
        flush=True,
    )
    print(
        "          stages as optical_lvs runs them: " + "  ".join(f"{s}={t:.3f}s" for s, t in stages.items()),
        flush=True,
    )
    print(
        f"          KLayout extract_netlist={t_klayout:6.2f}s  optical_lvs / that = {t_check / t_klayout:4.2f} "
        f"(rounds {min(ratios):.2f} to {max(ratios):.2f})  "
        f"without its reference stage = {(t_check - stages['reference']) / t_klayout:4.2f}  "
        f"without reading the file ({t_parse:.2f}s) = {(t_check - t_parse) / t_klayout:4.2f}",
        flush=True,
    )
    print(
        f"          memory: before {before / 2**20:.0f} MB, peak +{memory.peak / 2**20:.0f} MB "
        f"({memory.peak_rss / 2**20:.0f} MB), retained after +{retained / 2**20:.0f} MB",
        flush=True,
    )

    # the fastest of `rounds` checks per case, the cases in turn
    paths = {
        fraction: write(workdir / f"bench_{n}_missing_{fraction}.pic.yml", with_missing(reference_netlist(n), fraction))
        for fraction in (0.0, 0.01, 0.1)
    }
    times = dict.fromkeys(paths, float("inf"))
    for _ in range(rounds):
        for fraction, path in paths.items():
            times[fraction] = min(times[fraction], paused(lambda: lvs.optical_lvs(top, path))[0])
    print(
        "          reference instances missing from the layout: "
        + "  ".join(f"{100 * f:.0f}%: {t:.2f}s ({100 * (t / times[0.0] - 1):+.0f}%)" for f, t in times.items()),
        flush=True,
    )

    if deepdiff:
        ref_netlist = lvs.load_ref_netlist(reference, top)
        lvs_netlist = lvs.extract_lvs_netlist(top, connectivity)
        diff = lvs.get_netlist_diff(ref_netlist, lvs_netlist)
        t_deep, reference_diff = timed(lambda: DeepDiff(ref_netlist, lvs_netlist, ignore_order=True).to_dict())
        same = plain(reference_diff) == plain(diff)
        print(
            f"          diff: native {t_diff * 1e3:8.1f} ms  DeepDiff {t_deep:7.2f}s  "
            f"x{t_deep / t_diff:6.0f}  same result: {same}",
            flush=True,
        )
    return Checked(t_check, t_klayout, top, reference)


def repeat_series(n: int, repeats: int, workdir: Path) -> None:
    """`repeats` checks of one layout: the resident set before the first, its
    peak during the first, and the resident set after each."""
    top = generate(n, name=f"bench_repeat_{n}")
    reference = write(workdir / f"bench_repeat_{n}.pic.yml", with_differences(reference_netlist(n)))
    gc.collect()
    before = rss()
    for k in range(repeats):
        with PeakMemory() as memory:
            lvs.optical_lvs(top, reference)
        gc.collect()
        if k == 0:
            print(before, memory.peak_rss, flush=True)
        print(rss(), flush=True)


def repeated(n: int, repeats: int) -> None:
    command = [sys.executable, __file__, "--series", "--repeats", str(repeats), "--repeat-size", str(n)]
    lines = subprocess.run(command, check=True, capture_output=True, text=True).stdout.splitlines()
    before, peak = (int(v) for v in lines[0].split())
    after = [int(line) for line in lines[1:]]
    mb = 2**20
    print(
        f"N={n}, {repeats} checks of one layout in a fresh process: resident set before the first "
        f"{before / mb:.0f} MB, peak during it {peak / mb:.0f} MB (+{(peak - before) / mb:.0f} MB), "
        f"after it {after[0] / mb:.0f} MB (+{(after[0] - before) / mb:.0f} MB), after the last "
        f"{after[-1] / mb:.0f} MB ({100 * (after[-1] - after[0]) / after[0]:+.1f}% against after the first)",
        flush=True,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--sizes", type=int, nargs="*", default=[1_000, 10_000, 100_000])
    parser.add_argument("--no-deepdiff", action="store_true", help="skip the (slow) DeepDiff comparison")
    parser.add_argument("--repeats", type=int, default=20, help="checks in the memory series; 0 skips it")
    parser.add_argument("--repeat-size", type=int, default=10_000)
    parser.add_argument("--cpu-time", action="store_true", help="time by processor time, not the wall clock")
    parser.add_argument("--rounds", type=int, default=3, help="timings of the check against its baseline; the fastest count")
    parser.add_argument("--series", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.cpu_time:
        use_cpu_time()
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        (workdir / "pyproject.toml").write_text('[tool.quillon]\nname = "bench"\npdk = "demo_pdk"\n')
        os.environ["QUILLON_PROJECT_DIR"] = tmp
        if args.series:
            repeat_series(args.repeat_size, args.repeats, workdir)
            return
        checks = {n: measure(n, workdir, not args.no_deepdiff, args.rounds) for n in args.sizes}
        if 10_000 in checks and 100_000 in checks:
            small, large = checks[10_000], checks[100_000]
            print(
                f"growth of optical_lvs from N=10^4 to N=10^5: x{large.time / small.time:.1f} (linear: x10; "
                f"KLayout's extract_netlist alone: x{large.klayout / small.klayout:.1f})"
            )
            # the library now holds the larger layout too: a check should not notice
            beside = min(paused(lambda: lvs.optical_lvs(small.top, small.reference))[0] for _ in range(args.rounds))
            print(
                f"N=10^4 checked again with the N=10^5 layout in the same library: {beside:.2f}s "
                f"({100 * (beside / small.time - 1):+.0f}% against before)",
                flush=True,
            )
        if args.repeats > 0:
            repeated(args.repeat_size, args.repeats)


if __name__ == "__main__":
    main()
