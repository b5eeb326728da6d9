"""The whole check on generated layouts: the time of each stage, and the native
netlist difference against DeepDiff on the same pair.

    PYTHONPATH=python python bench/bench_check.py [--sizes 1000 10000 100000]

Per N (devices; about 2N named and 4N unnamed instances) it builds the layout of
`generate_layout.generate`, writes its reference netlist with a handful of
deliberate differences (an instance the layout lacks, one the reference lacks,
a re-pointed link, a dropped metal net), and prints:

* load, extract, diff and findings: the stages of `optical_lvs`;
* the KLayout work the check cannot avoid on the same layout (the cell
  library's port connectivity plus KLayout's netlist extraction) and the ratio
  of the check without the reference load to it (target: at most 1.5);
* the native difference against DeepDiff on the same pair (target: at least 50
  times faster at N = 10^5) and whether both give the same result.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path
from typing import Any

import yaml

sys.path.insert(0, str(Path(__file__).parent))
from bench_extraction import klayout_extract, timed  # noqa: E402
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


def measure(n: int, workdir: Path, deepdiff: bool) -> None:
    top = generate(n)
    reference = workdir / f"bench_{n}.pic.yml"
    dumper = getattr(yaml, "CSafeDumper", yaml.SafeDumper)
    reference.write_text(yaml.dump(with_differences(reference_netlist(n)), Dumper=dumper, sort_keys=False))
    connectivity = demo_pdk.PDK.connectivity

    t_load, ref_netlist = timed(lambda: lvs.load_ref_netlist(str(reference), top))
    t_extract, lvs_netlist = timed(lambda: lvs.extract_lvs_netlist(top, connectivity))
    t_diff, diff = timed(lambda: lvs.get_netlist_diff(ref_netlist, lvs_netlist))

    def findings() -> Any:
        db = rdb_module.ReportDatabase("bench")
        lvs.find_unknown_connections(db, top, diff, lvs_netlist)
        lvs.find_missing_connections(db, top, diff, ref_netlist)
        lvs.find_missing_instances(db, top, diff)
        lvs.find_unknown_instances(db, top, diff)
        lvs.find_mismatched_instances(db, top, diff)
        lvs.find_mismatched_ports(db, top, diff, ref_netlist, lvs_netlist)
        return db

    t_findings, db = timed(findings)
    t_l2n, _ = timed(lambda: top.l2n(port_types=("optical",)).netlist())
    t_klayout, _ = timed(lambda: klayout_extract(top, list(connectivity)))
    t_check, _ = timed(lambda: lvs.optical_lvs(top, str(reference)))

    unavoidable = t_l2n + t_klayout
    without_load = t_extract + t_diff + t_findings
    print(
        f"N={n:>6}  load={t_load:6.2f}s  extract={t_extract:6.2f}s  diff={t_diff:6.3f}s  "
        f"findings={t_findings:6.3f}s ({db.num_items()} items)  optical_lvs={t_check:6.2f}s",
        flush=True,
    )
    print(
        f"          KLayout work it cannot avoid={unavoidable:6.2f}s (l2n {t_l2n:.2f}s + "
        f"extract_netlist {t_klayout:.2f}s)  check without load / that = {without_load / unavoidable:4.2f}",
        flush=True,
    )
    if deepdiff:
        t_deep, reference_diff = timed(lambda: DeepDiff(ref_netlist, lvs_netlist, ignore_order=True).to_dict())
        same = plain(reference_diff) == plain(diff)
        print(
            f"          diff: native {t_diff * 1e3:8.1f} ms  DeepDiff {t_deep:7.2f}s  "
            f"x{t_deep / t_diff:6.0f}  same result: {same}",
            flush=True,
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 100_000])
    parser.add_argument("--no-deepdiff", action="store_true", help="skip the (slow) DeepDiff comparison")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        (workdir / "pyproject.toml").write_text('[tool.quillon]\nname = "bench"\npdk = "demo_pdk"\n')
        os.environ["QUILLON_PROJECT_DIR"] = tmp
        for n in args.sizes:
            measure(n, workdir, deepdiff=not args.no_deepdiff)


if __name__ == "__main__":
    main()
