"""Mutation run of the check: many seeded random circuits, every kind of fault in each.

Each seed's random circuit of the demo kit is built with ``quillon build`` and
checked clean; then every fault of ``tests/mutations.py`` is put into a copy
of it, one at a time, and the check's findings are judged against what the
fault must give. Printed per kind of fault: how many were put in, found,
missed (the check is clean) and misleading (another kind or category, a text
naming the wrong thing, a marker away from the fault, or a finding about
something the fault did not touch), then per harmless edit how many stayed
clean and how many gave findings, then one reason per kind that was not
found, and the time taken.

    PYTHONPATH=python python bench/mutation_check.py [--seeds 20] [--first 1] [--chains 3] [--length 6] [--reasons 3]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from collections import Counter, defaultdict
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import mutations  # noqa: E402

FAULT_OUTCOMES = ("found", "missed", "misleading")
HARMLESS_OUTCOMES = ("clean", "false")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=20, help="number of random circuits")
    parser.add_argument("--first", type=int, default=1, help="first seed")
    parser.add_argument("--chains", type=int, default=mutations.CHAINS, help="rows of each circuit")
    parser.add_argument("--length", type=int, default=mutations.LENGTH, help="components per row")
    parser.add_argument("--reasons", type=int, default=3, help="reasons shown per kind not found")
    args = parser.parse_args()

    counts: dict[str, Counter[str]] = defaultdict(Counter)
    reasons: dict[str, list[str]] = defaultdict(list)
    kinds = [*mutations.FAULTS.values(), *mutations.HARMLESS.values()]
    started = time.perf_counter()
    checks = 0
    with tempfile.TemporaryDirectory(prefix="mutation-") as scratch:
        for seed in range(args.first, args.first + args.seeds):
            circuit = mutations.build_circuit(seed, Path(scratch), args.chains, args.length)
            clean = mutations.check(circuit, circuit.gds, circuit.netlist_file)
            if not clean.clean:
                counts["(the built circuit)"]["false"] += 1
                reasons["(the built circuit)"].append(f"seed {seed}: {mutations.describe(clean.findings[0])}")
            for kind in kinds:
                try:
                    _, verdict = mutations.run(circuit, kind)
                except Exception as exc:  # a crash of the check or of the mutation is reported, not hidden
                    verdict = mutations.Verdict("misleading", f"raised {type(exc).__name__}: {exc}")
                checks += verdict.outcome != "not applicable"
                counts[kind.name][verdict.outcome] += 1
                if verdict.outcome not in ("found", "clean", "not applicable"):
                    reasons[kind.name].append(f"seed {seed}: {verdict.outcome}: {verdict.reason}")
    elapsed = time.perf_counter() - started
    report(kinds, counts, reasons, args.reasons)
    print(f"\n{args.seeds} seeds ({args.chains} rows of {args.length}), {checks} checks in {elapsed:.1f} s")
    return 0


def report(
    kinds: list[mutations.Kind], counts: dict[str, Counter[str]], reasons: dict[str, list[str]], shown: int
) -> None:
    faults = [k for k in kinds if not k.harmless]
    harmless = [k for k in kinds if k.harmless]
    width = max(len(k.name) for k in kinds) + 2
    print(f"{'fault':{width}}{'family':11}{'put in':>7}" + "".join(f"{o:>11}" for o in FAULT_OUTCOMES))
    total: Counter[str] = Counter()
    for kind in faults:
        c = counts[kind.name]
        put_in = sum(c[o] for o in FAULT_OUTCOMES)
        total.update({o: c[o] for o in FAULT_OUTCOMES})
        print(f"{kind.name:{width}}{kind.family:11}{put_in:>7}" + "".join(f"{c[o]:>11}" for o in FAULT_OUTCOMES))
    print(f"{'all faults':{width}}{'':11}{sum(total.values()):>7}" + "".join(f"{total[o]:>11}" for o in FAULT_OUTCOMES))
    print(f"\n{'harmless edit':{width}}{'family':11}{'made':>7}" + "".join(f"{o:>11}" for o in HARMLESS_OUTCOMES))
    for kind in harmless:
        c = counts[kind.name]
        print(
            f"{kind.name:{width}}{kind.family:11}{c['clean'] + c['false']:>7}"
            + "".join(f"{c[o]:>11}" for o in HARMLESS_OUTCOMES)
        )
    if counts["(the built circuit)"]:
        print(f"built circuits that were not clean: {counts['(the built circuit)']['false']}")
    if any(reasons.values()):
        print("\nwhy (first of each kind):")
        for name, lines in reasons.items():
            for line in lines[:shown]:
                print(f"  {name}: {line[:400]}")


if __name__ == "__main__":
    raise SystemExit(main())
