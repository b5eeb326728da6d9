"""The whole check on generated layouts and on built circuits: the time of each
stage, the check against its floor, from process start, and the native
netlist difference against DeepDiff on the same pair.

    PYTHONPATH=python python bench/bench_check.py [--sizes 1000 10000 100000 1000000]
        [--circuits 1000 10000 100000] [--no-deepdiff] [--rounds 3] [--repeats 20]
        [--repeat-size 10000] [--long-names 8000] [--cpu-time]

Per N (devices; about 2N named and 4N unnamed instances) it builds the layout of
`generate_layout.generate`, writes its reference netlist with a handful of
deliberate differences (an instance the layout lacks, one the reference lacks,
a re-pointed link, a dropped metal net), and prints:

* load, extract, diff and findings: the public stages, each on its own (up to
  10^5), and the stages as `optical_lvs` runs them, from the stage marks the
  check reports;
* the whole `optical_lvs` against its floor (`check_floor.py`: reading the
  instances, KLayout's extraction of the cells with metal, reading the
  reference), and against KLayout's `extract_netlist` over the kit's metal on
  the whole layout as a plain script runs it: the check, the floor parts and
  KLayout timed in turn `--rounds` times, the fastest of each counting (and
  the range of the rounds' own ratios to the floor);
* the peak of the resident set during one check and what it still holds after
  it (the growth over before, after a collection);
* in a fresh process, the first check of the layout read from a GDS file
  against the floor measured in that process, and the same on two cores (the
  electrical stage in a process of its own): its wall time against the one-core
  check and the floor, its processor time in both processes and their peak
  resident sets; and `quillon lvs` of that file on one and on two cores, from
  process start, against a plain script reading the GDS and running KLayout's
  extraction, from process start (wall and processor time, from the kernel);
* up to 10^5: `optical_lvs` with 0, 1% and 10% more instances in the
  reference than the layout places (a half-placed layout), the fastest of
  `--rounds` checks each; and the native difference against DeepDiff on the
  same pair and whether both give the same result (unless --no-deepdiff);
* the growth of the whole check from each size to the next, beside that of its
  floor and of KLayout's extraction alone over the same step, and the check of
  10^4 again once the library also holds the layout of 10^5 (the check's copy
  keeps only what the checked cell places);
* the clean check of `--long-names` devices with instance names of 200
  characters against the same with short names;
* per `--circuits` size, a random circuit of the demo kit built with
  `quillon build` (`quillon.demo.random_circuit`, rows of 20 steps): `quillon
  lvs` of it from process start, per instance and against reading the GDS and
  KLayout's extraction, and the time per instance as a multiple of the
  smallest circuit's.

Every timing in the process, the baselines included, runs with the cyclic
garbage collector paused, as the check runs itself. Last, in a fresh process,
it runs `--repeats` checks of one layout (`--repeat-size` devices) and prints
the resident set before the first, its peak during the first, and the
resident set after the first and after the last. 10^6 devices peak at several
GB: run one such benchmark at a time.
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

import cellgrid as cg

sys.path.insert(0, str(Path(__file__).parent))
import bench_extraction  # noqa: E402
from bench_build import sized_netlist  # noqa: E402
from bench_extraction import PeakMemory, klayout_extract, rss, timed, use_cpu_time  # noqa: E402
from check_floor import floor_parts, fresh, from_start, plain_from_start  # noqa: E402
from generate_layout import generate, reference_netlist  # noqa: E402

import klayout.rdb as rdb_module  # noqa: E402
from deepdiff import DeepDiff  # noqa: E402

import demo_pdk  # noqa: E402
import quillon.core.lvs as lvs  # noqa: E402
from quillon.build.circuit_layout import build_circuit_gds  # noqa: E402

#: The whole check may take at most this many times its floor; so may the
#: command against reading the GDS and KLayout's extraction.
FLOOR_TARGET = 1.5


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
    floor: float  #: the sum of the floor parts, each the fastest of the same rounds
    top: Any
    reference: str


#: Above this size only the whole check, its floor and its memory are measured.
DETAILED_UP_TO = 100_000


def public_stages(top: Any, reference: str) -> str:
    """The public stages of the check, each timed on its own."""
    connectivity = demo_pdk.PDK.connectivity
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
    return (
        f"load={t_load:6.2f}s  extract={t_extract:6.2f}s  diff={t_diff:6.3f}s  "
        f"findings={t_findings:6.3f}s ({db.num_items()} items)"
    )


def measure(n: int, workdir: Path, deepdiff: bool, rounds: int, cpu_time: bool) -> Checked:
    """Prints the figures of size n; returns the time of the whole check and its inputs."""
    top = generate(n)
    reference = write(workdir / f"bench_{n}.pic.yml", with_differences(reference_netlist(n)))
    connectivity = demo_pdk.PDK.connectivity
    layer_sets = [tuple(s) for s in connectivity]
    detailed = n <= DETAILED_UP_TO
    # first, while the layout is as generated: nothing looked up in it yet
    stages = stage_times(lambda: lvs.optical_lvs(top, reference))
    # the rest runs without the public stages' netlists: held, they would slow every later check
    public = public_stages(top, reference) if detailed else "public stages not timed above 10^5"

    gc.collect()
    before = rss()
    with PeakMemory() as memory:
        paused(lambda: lvs.optical_lvs(top, reference))
    gc.collect()
    retained = rss() - before

    # The check, KLayout's extraction and the floor parts in turn, `rounds`
    # times; the fastest of each counts, so that a slow spell of the machine
    # weighs on none of them.
    t_check = t_klayout = float("inf")
    floor = dict.fromkeys(("instances", "klayout", "reference"), float("inf"))
    ratios = []
    for _ in range(rounds):
        k = paused(lambda: klayout_extract(top, list(connectivity)))[0]
        parts = floor_parts(top, reference, layer_sets)
        c = paused(lambda: lvs.optical_lvs(top, reference))[0]
        t_klayout, t_check = min(t_klayout, k), min(t_check, c)
        floor = {name: min(floor[name], parts[name]) for name in floor}
        ratios.append(c / sum(parts.values()))
    t_floor = sum(floor.values())

    print(f"N={n:>7}  {public}  optical_lvs={t_check:6.2f}s  (load average {os.getloadavg()[0]:.1f})", flush=True)
    print(
        "          stages as optical_lvs runs them: " + "  ".join(f"{s}={t:.3f}s" for s, t in stages.items()),
        flush=True,
    )
    print(
        f"          floor={t_floor:6.2f}s (instances {floor['instances']:.2f}s + KLayout on the cells with metal "
        f"{floor['klayout']:.2f}s + reference read {floor['reference']:.2f}s)  optical_lvs / floor = "
        f"{t_check / t_floor:4.2f} (target {FLOOR_TARGET}; rounds {min(ratios):.2f} to {max(ratios):.2f})",
        flush=True,
    )
    print(
        f"          KLayout extract_netlist of the whole layout={t_klayout:6.2f}s  optical_lvs / that = "
        f"{t_check / t_klayout:4.2f}  without its reference stage = {(t_check - stages['reference']) / t_klayout:4.2f}",
        flush=True,
    )
    print(
        f"          memory: before {before / 2**20:.0f} MB, peak +{memory.peak / 2**20:.0f} MB "
        f"({memory.peak_rss / 2**20:.0f} MB), retained after +{retained / 2**20:.0f} MB",
        flush=True,
    )
    gds = workdir / f"bench_{n}.gds"
    top.write(str(gds))
    first = fresh(gds, reference, cpu_time)
    first_floor = first["instances"] + first["klayout"] + first["reference"]
    print(
        f"          in a fresh process: the first optical_lvs={first['check']:6.2f}s, floor={first_floor:6.2f}s, "
        f"ratio {first['check'] / first_floor:4.2f}; peak resident set {first['peak'] / 2**20:.0f} MB",
        flush=True,
    )
    both = fresh(gds, reference, cpu_time, threads=2)
    both_floor = both["instances"] + both["klayout"] + both["reference"]
    print(
        f"          the same on two cores: wall {both['check_wall']:6.2f}s against {first['check_wall']:6.2f}s on one "
        f"(x{first['check_wall'] / both['check_wall']:.2f}), wall / floor = {both['check_wall'] / both_floor:4.2f} "
        f"(target {FLOOR_TARGET}); processor time {both['check'] + both['check_children']:6.2f}s "
        f"({both['check']:.2f}s here, {both['check_children']:.2f}s in the electrical stage's process); "
        f"peak resident sets {both['peak'] / 2**20:.0f} MB here, {both['peak_children'] / 2**20:.0f} MB there",
        flush=True,
    )
    lvs_command = [sys.executable, "-m", "quillon", "lvs", str(gds), reference, "-o", str(gds.with_suffix(".lyrdb"))]
    plain = plain_from_start(gds)
    for threads in (1, 2):
        command = from_start([*lvs_command, "--threads", str(threads)])
        print(
            f"          from process start, on {threads} core{'s' if threads > 1 else ''}: quillon lvs wall "
            f"{command[0]:6.2f}s, processor {command[1]:6.2f}s (exit {command[2]}); reading the GDS and KLayout's "
            f"extraction wall {plain[0]:6.2f}s, processor {plain[1]:6.2f}s; ratio of wall times "
            f"{command[0] / plain[0]:4.2f}, of processor times {command[1] / plain[1]:4.2f} (target {FLOOR_TARGET})",
            flush=True,
        )
    if not detailed:
        return Checked(t_check, t_klayout, t_floor, top, reference)

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
        t_diff, diff = timed(lambda: lvs.get_netlist_diff(ref_netlist, lvs_netlist))
        t_deep, reference_diff = timed(lambda: DeepDiff(ref_netlist, lvs_netlist, ignore_order=True).to_dict())
        same = plain(reference_diff) == plain(diff)
        print(
            f"          diff: native {t_diff * 1e3:8.1f} ms  DeepDiff {t_deep:7.2f}s  "
            f"x{t_deep / t_diff:6.0f}  same result: {same}",
            flush=True,
        )
    return Checked(t_check, t_klayout, t_floor, top, reference)


#: Makes instance names of 200 characters, as some generators write them.
LONG_PREFIX = "x" * 195 + "_"


def long_names(n: int, workdir: Path, rounds: int) -> None:
    """The clean check of the same layout with short and with 200-character instance names."""
    cases = {}
    for label, prefix in (("short", ""), ("200-character", LONG_PREFIX)):
        reference = write(workdir / f"names_{label}_{n}.pic.yml", reference_netlist(n, prefix=prefix))
        cases[label] = (generate(n, prefix=prefix), reference)
    # in turn, both in the library throughout: each the fastest of its rounds
    times = dict.fromkeys(cases, float("inf"))
    for _ in range(rounds):
        for label, (top, reference) in cases.items():
            times[label] = min(times[label], paused(lambda: lvs.optical_lvs(top, reference))[0])
    print(
        f"N={n} ({5 * n} instances) with 200-character instance names: {times['200-character']:.2f}s against "
        f"{times['short']:.2f}s with short ones ({100 * (times['200-character'] / times['short'] - 1):+.0f}%)",
        flush=True,
    )


def built_circuits(sizes: list[int], workdir: Path) -> None:
    """`quillon lvs` of circuits built with `quillon build`, from process start, per instance."""
    per_instance = {}
    for n in sizes:
        netlist = sized_netlist(n)
        count = len(netlist["instances"])
        path = workdir / f"built_{count}.pic.yml"
        write(path, netlist)
        gds = workdir / f"built_{count}.gds"
        build_circuit_gds(path, gds, workdir)
        command = from_start(
            [sys.executable, "-m", "quillon", "lvs", str(gds), str(path), "-o", str(gds.with_suffix(".lyrdb"))]
        )
        plain = plain_from_start(gds)
        kcl = cg.KCLayout(f"built_{count}")
        (top,) = kcl.read(str(gds))
        check = min(paused(lambda: lvs.optical_lvs(top, str(path)))[0] for _ in range(2))
        kcl.layout._destroy()
        per_instance[count] = (command[1] / count, check / count)
        print(
            f"built circuit of {count:>7} instances: quillon lvs from process start {command[1]:6.2f}s "
            f"(exit {command[2]}), {command[1] / count * 1e6:6.1f} µs per instance; reading the GDS and KLayout's "
            f"extraction {plain[1]:6.2f}s, ratio {command[1] / plain[1]:4.2f}; optical_lvs in this process "
            f"{check:6.2f}s, {check / count * 1e6:6.1f} µs per instance",
            flush=True,
        )
    first = per_instance[min(per_instance)]
    print(
        "          per instance, as a multiple of the smallest (quillon lvs, optical_lvs): "
        + "  ".join(f"{n}: x{c / first[0]:.2f}, x{t / first[1]:.2f}" for n, (c, t) in per_instance.items())
        + f" (target at 10^5: x{FLOOR_TARGET})",
        flush=True,
    )


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
    parser.add_argument("--sizes", type=int, nargs="*", default=[1_000, 10_000, 100_000], help="up to 10^6")
    parser.add_argument("--circuits", type=int, nargs="*", default=[1_000, 10_000], help="built circuits' sizes")
    parser.add_argument("--no-deepdiff", action="store_true", help="skip the (slow) DeepDiff comparison")
    parser.add_argument("--repeats", type=int, default=20, help="checks in the memory series; 0 skips it")
    parser.add_argument("--repeat-size", type=int, default=10_000)
    parser.add_argument("--cpu-time", action="store_true", help="time by processor time, not the wall clock")
    parser.add_argument(
        "--rounds", type=int, default=3, help="timings of the check against its baseline; the fastest count"
    )
    parser.add_argument("--long-names", type=int, default=8_000, help="devices of the long-names check; 0 skips it")
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
        checks = {n: measure(n, workdir, not args.no_deepdiff, args.rounds, args.cpu_time) for n in args.sizes}
        for small, large in zip(args.sizes, args.sizes[1:]):
            print(
                f"growth of optical_lvs from N={small} to N={large}: x{checks[large].time / checks[small].time:.1f} "
                f"(linear: x{large / small:g}; its floor x{checks[large].floor / checks[small].floor:.1f}; "
                f"KLayout's whole extract_netlist x{checks[large].klayout / checks[small].klayout:.1f})",
                flush=True,
            )
        if 10_000 in checks and 100_000 in checks:
            small = checks[10_000]
            # the library now holds the larger layout too: a check should not notice
            beside = min(paused(lambda: lvs.optical_lvs(small.top, small.reference))[0] for _ in range(args.rounds))
            print(
                f"N=10^4 checked again with the N=10^5 layout in the same library: {beside:.2f}s "
                f"({100 * (beside / small.time - 1):+.0f}% against before)",
                flush=True,
            )
        if args.long_names:
            long_names(args.long_names, workdir, args.rounds)
        if args.circuits:
            built_circuits(args.circuits, workdir)
        if args.repeats > 0:
            repeated(args.repeat_size, args.repeats)


if __name__ == "__main__":
    main()
