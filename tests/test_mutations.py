"""Mutation test of the check: every kind of fault, one at a time, in random built circuits.

The circuits, the faults and the judging are in ``mutations.py``; each fault
kind is put into the circuit of every seed here (``bench/mutation_check.py``
runs many more seeds). A fault must be found (the kind it names, the marker
at the fault, the text naming what changed, nothing about anything else); a
harmless edit, one row per family, must leave the check clean.
"""

from __future__ import annotations

from collections.abc import Callable

import pytest

import mutations
from mutations import Circuit, Expect, Fault, Kind

SEEDS = (1, 2, 3)


@pytest.fixture(scope="module")
def circuits(tmp_path_factory: pytest.TempPathFactory) -> dict[int, Circuit]:
    directory = tmp_path_factory.mktemp("mutations")
    return {seed: mutations.build_circuit(seed, directory) for seed in SEEDS}


def verdicts(circuits: dict[int, Circuit], kind: Kind) -> dict[int, str]:
    """Seed -> the outcome (and why) of the kind put into that seed's circuit, where it applies."""
    outcomes = {}
    for seed, circuit in circuits.items():
        _, verdict = mutations.run(circuit, kind)
        if verdict.outcome != "not applicable":
            outcomes[seed] = f"{verdict.outcome} {verdict.reason}".strip()
    return outcomes


def test_the_built_circuits_are_clean(circuits: dict[int, Circuit]) -> None:
    found = {seed: c.name for seed, c in circuits.items() if not mutations.check(c, c.gds, c.netlist_file).clean}
    assert found == {}


@pytest.mark.parametrize("kind", mutations.FAULTS.values(), ids=lambda k: f"{k.family}: {k.name}")
def test_every_fault_is_found(circuits: dict[int, Circuit], kind: Kind) -> None:
    outcomes = verdicts(circuits, kind)
    assert outcomes and set(outcomes.values()) == {"found"}, outcomes


@pytest.mark.parametrize("kind", mutations.HARMLESS.values(), ids=lambda k: f"{k.family}: {k.name}")
def test_harmless_edits_stay_clean(circuits: dict[int, Circuit], kind: Kind) -> None:
    outcomes = verdicts(circuits, kind)
    assert outcomes and set(outcomes.values()) == {"clean"}, outcomes


def _heater_longer(circuit: Circuit) -> tuple[Fault, Expect]:
    """The fault "heater longer in the reference" and the finding it must give."""
    fault = mutations.FAULTS["heater longer in the reference"].mutate(circuit, mutations.random.Random(0))
    assert fault is not None
    return fault, fault.expect[0]


FAR = (-1e6, -1e6, -1e6 + 1, -1e6 + 1)
JUDGED = [
    pytest.param(lambda e: e, "found", id="as expected"),
    pytest.param(lambda e: Expect("mismatched_instance", e.at, e.names), "misleading", id="another kind"),
    pytest.param(lambda e: Expect(e.kind, (FAR,), e.names), "misleading", id="marker elsewhere"),
    pytest.param(lambda e: Expect(e.kind, e.at, ("elsewhere",)), "misleading", id="text naming another instance"),
    pytest.param(
        lambda e: Expect(e.kind, e.at, e.names, words=("radius",)), "misleading", id="text naming another setting"
    ),
]


@pytest.mark.parametrize("expecting, outcome", JUDGED)
def test_the_judge_tells_a_misleading_finding_from_the_right_one(
    circuits: dict[int, Circuit], expecting: Callable[[Expect], Expect], outcome: str
) -> None:
    circuit = circuits[SEEDS[0]]
    fault, expect = _heater_longer(circuit)
    fault = Fault(fault.layout, fault.reference, (expecting(expect),), fault.touched, fault.sites)
    result = mutations.check(circuit, fault.layout, fault.reference)
    assert mutations.judge(circuit, fault, result).outcome == outcome


def test_a_fault_the_check_is_clean_on_is_missed_and_a_finding_on_a_harmless_edit_is_false(
    circuits: dict[int, Circuit],
) -> None:
    circuit = circuits[SEEDS[0]]
    fault, expect = _heater_longer(circuit)
    clean = mutations.check(circuit, circuit.gds, circuit.netlist_file)
    assert mutations.judge(circuit, fault, clean).outcome == "missed"
    harmless = Fault(fault.layout, fault.reference)
    assert (
        mutations.judge(circuit, harmless, mutations.check(circuit, fault.layout, fault.reference)).outcome == "false"
    )


def test_a_finding_about_something_the_fault_did_not_touch_is_misleading(circuits: dict[int, Circuit]) -> None:
    """Two faults at once, judged as the one: the other's findings are away from it."""
    circuit = circuits[SEEDS[0]]
    fault, _ = _heater_longer(circuit)
    stray = mutations.FAULTS["grating 20 µm off its route"].mutate(circuit, mutations.random.Random(0))
    assert stray is not None
    both = Fault(stray.layout, fault.reference, fault.expect, fault.touched, fault.sites)
    verdict = mutations.judge(circuit, both, mutations.check(circuit, both.layout, both.reference))
    assert (verdict.outcome, verdict.reason.split(":")[0]) == ("misleading", "a finding away from the fault")
