"""The netlist difference equals DeepDiff(ref, layout, ignore_order=True).to_dict():
entries, path texts, orders and value types, for the netlists the check meets."""

from __future__ import annotations

import copy
import math
import random
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import pytest
from deepdiff import DeepDiff
from deepdiff.helper import SetOrdered

import quillon.core.lvs as lvs

Netlist = dict[str, Any]


def deepdiff(ref: Any, layout: Any) -> dict[str, Any]:
    """The library's own result, which the check's difference must equal."""
    return DeepDiff(ref, layout, ignore_order=True).to_dict()


def shape(value: Any) -> Any:
    """A comparable form that keeps order and types: DeepDiff's ordered set compares
    without order, a dict compares without order, and NaN never equals itself."""
    if isinstance(value, SetOrdered):
        return ("SetOrdered", [shape(v) for v in value])
    if isinstance(value, dict):
        return (type(value), [(k, shape(v)) for k, v in value.items()])
    if isinstance(value, list):
        return (list, [shape(v) for v in value])
    if isinstance(value, float) and math.isnan(value):
        return (float, "nan")
    return (type(value), value)


def assert_same_as_deepdiff(ref: Any, layout: Any) -> dict[str, Any]:
    ref_before, layout_before = copy.deepcopy(ref), copy.deepcopy(layout)
    result = lvs.get_netlist_diff(ref, layout)
    assert shape(result) == shape(deepdiff(ref, layout))
    assert shape(ref) == shape(ref_before) and shape(layout) == shape(layout_before)
    return result


@contextmanager
def deepdiff_calls() -> Iterator[list[str]]:
    """Records the DeepDiff functions the code under the block runs (a profile hook, so the
    native comparison can be told from a hand-over to the library)."""
    calls: list[str] = []

    def profile(frame: Any, event: str, arg: Any) -> None:
        if event == "call" and frame.f_code.co_filename.endswith("deepdiff/diff.py"):
            calls.append(frame.f_code.co_name)

    previous = sys.getprofile()
    sys.setprofile(profile)
    try:
        yield calls
    finally:
        sys.setprofile(previous)


def netlist(instances: dict[str, str], nets: list[str], ports: Any = None) -> Netlist:
    """A netlist as both producers build it: nets keyed "a,o1:b,o2" and canonical."""
    net_map = {}
    for key in sorted(nets):
        p1, p2 = key.split(":")
        net_map[key] = {"p1": p1, "p2": p2}
    return {
        "instances": {name: {"component": c} for name, c in instances.items()},
        "nets": net_map,
        "ports": {} if ports is None else ports,
    }


INST = {"a": "mmi", "b": "mmi", "c": "wg"}
NETS = ["a,o2:b,o1", "b,o2:c,o1"]

# (case, reference, layout, expected result)
CASES: list[tuple[str, Netlist, Netlist, dict[str, Any]]] = [
    ("equal", netlist(INST, NETS), netlist(INST, NETS), {}),
    (
        "one unknown instance",
        netlist(INST, NETS),
        netlist({**INST, "d": "wg"}, NETS),
        {"dictionary_item_added": ["root['instances']['d']"]},
    ),
    (
        "one missing instance",
        netlist(INST, NETS),
        netlist({"a": "mmi", "b": "mmi"}, NETS),
        {"dictionary_item_removed": ["root['instances']['c']"]},
    ),
    (
        "component changed",
        netlist(INST, NETS),
        netlist({**INST, "b": "ring"}, NETS),
        {"values_changed": {"root['instances']['b']['component']": {"new_value": "ring", "old_value": "mmi"}}},
    ),
    (
        "nets share nothing: whole mapping",
        netlist(INST, ["a,o1:b,o1"]),
        netlist(INST, ["a,o2:b,o2"]),
        {
            "values_changed": {
                "root['nets']": {
                    "new_value": {"a,o2:b,o2": {"p1": "a,o2", "p2": "b,o2"}},
                    "old_value": {"a,o1:b,o1": {"p1": "a,o1", "p2": "b,o1"}},
                }
            }
        },
    ),
    (
        "empty reference nets, two layout nets: whole mapping",
        netlist(INST, []),
        netlist(INST, NETS),
        {"values_changed": {"root['nets']": {"new_value": netlist(INST, NETS)["nets"], "old_value": {}}}},
    ),
    (
        "empty reference nets, one layout net: added path",
        netlist(INST, []),
        netlist(INST, NETS[:1]),
        {"dictionary_item_added": ["root['nets']['a,o2:b,o1']"]},
    ),
    (
        "one shared key of three: key by key",
        netlist(INST, ["a,o1:b,o1", "x,o1:y,o1"]),
        netlist(INST, ["a,o1:b,o1", "z,o1:w,o1"]),
        {
            "dictionary_item_added": ["root['nets']['z,o1:w,o1']"],
            "dictionary_item_removed": ["root['nets']['x,o1:y,o1']"],
        },
    ),
    (
        "one shared key of four: whole mapping",
        netlist({"a": "m", "b": "m"}, NETS),
        netlist({"a": "m", "c": "m", "d": "m"}, NETS),
        {
            "values_changed": {
                "root['instances']": {
                    "new_value": {"a": {"component": "m"}, "c": {"component": "m"}, "d": {"component": "m"}},
                    "old_value": {"a": {"component": "m"}, "b": {"component": "m"}},
                }
            }
        },
    ),
    (
        "ports only",
        netlist(INST, NETS, {"o1": "a,o1", "o2": "c,o2"}),
        netlist(INST, NETS, {"o1": "a,o1", "o2": "c,o3", "o3": "o1"}),
        {
            "dictionary_item_added": ["root['ports']['o3']"],
            "values_changed": {"root['ports']['o2']": {"new_value": "c,o3", "old_value": "c,o2"}},
        },
    ),
    (
        "keys quoted as DeepDiff writes them, nothing escaped",
        netlist({"a": "m", "b": "m", "c": "m"}, []),
        netlist({"a": "m", "b": "m", "c": "m", "q'1": "m", 'q"2': "m", "q'\"3": "m", "b\\s": "m", "é中😀": "m"}, []),
        {
            "dictionary_item_added": [
                "root['instances'][\"q'1\"]",
                "root['instances']['q\"2']",
                "root['instances'][\"q'\"3\"]",
                "root['instances']['b\\s']",
                "root['instances']['é中😀']",
            ]
        },
    ),
    (
        "reference without ports: type change",
        netlist(INST, NETS, None) | {"ports": None},
        netlist(INST, NETS, {"o1": "a,o1"}),
        {
            "type_changes": {
                "root['ports']": {
                    "old_type": type(None),
                    "new_type": dict,
                    "old_value": None,
                    "new_value": {"o1": "a,o1"},
                }
            }
        },
    ),
]


@pytest.mark.parametrize("ref, layout, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_cases(ref: Netlist, layout: Netlist, expected: dict[str, Any]) -> None:
    result = assert_same_as_deepdiff(ref, layout)
    assert {k: list(v) if isinstance(v, SetOrdered) else v for k, v in result.items()} == expected
    assert type(result) is dict
    for kind in ("dictionary_item_added", "dictionary_item_removed"):
        if kind in result:
            assert type(result[kind]) is SetOrdered


def test_whole_mapping_values_are_the_netlists_own() -> None:
    ref, layout = netlist(INST, ["a,o1:b,o1"]), netlist(INST, ["a,o2:b,o2"])
    change = lvs.get_netlist_diff(ref, layout)["values_changed"]["root['nets']"]
    assert change["old_value"] is ref["nets"] and change["new_value"] is layout["nets"]


# Pairs holding values the native comparison hands to the library, next to plain ones.
SCALARS = [
    ("multi-line texts carry a unified diff", {"p": {"o1": "x\ny"}}, {"p": {"o1": "x\nz"}}),
    ("text against multi-line text", {"p": {"o1": "x"}}, {"p": {"o1": "x\n"}}),
    ("numbers", {"i": {"a": 1, "b": 2.5, "c": True}}, {"i": {"a": 2, "b": 2.5, "c": False}}),
    ("number types", {"i": {"a": 1, "b": 1}}, {"i": {"a": 1.0, "b": True}}),
    ("NaN differs from NaN", {"i": {"a": 1, "b": float("nan")}}, {"i": {"a": 1, "b": float("nan")}}),
    ("component not a string", {"i": {"a": {"component": 3}}}, {"i": {"a": {"component": "3"}}}),
    ("root not a mapping", "a", {"a": 1}),
    (
        "extra entries of an instance",
        {"i": {"a": {"component": "m", "settings": {"w": 1}}}},
        {"i": {"a": {"component": "m", "settings": {"w": 2}, "x": 1}}},
    ),
]
FALLBACK = [
    ("lists in ports", {"ports": {"o1": ["a,o1", "b,o1"]}}, {"ports": {"o1": ["b,o1", "a,o2"]}}),
    ("non-string keys", {"ports": {1: "a,o1", 2: "b"}}, {"ports": {1: "a,o2", 3: "b"}}),
    ("sets", {"ports": {1, 2}}, {"ports": {2, 3}}),
    ("dates", {"d": __import__("datetime").date(2024, 1, 1)}, {"d": __import__("datetime").date(2024, 1, 2)}),
]


@pytest.mark.parametrize(
    "ref, layout, native",
    [pytest.param(*c[1:], True, id=f"native: {c[0]}") for c in SCALARS]
    + [pytest.param(*c[1:], False, id=f"handed to DeepDiff: {c[0]}") for c in FALLBACK],
)
def test_values_compared_natively_or_handed_to_deepdiff(ref: Any, layout: Any, native: bool) -> None:
    with deepdiff_calls() as calls:
        lvs.get_netlist_diff(ref, layout)
    assert (calls == []) is native
    assert_same_as_deepdiff(ref, layout)


def test_identical_objects_are_not_looked_into() -> None:
    shared = {"o1": ["a,o1"], "o2": {3: "x"}}
    with deepdiff_calls() as calls:
        assert lvs.get_netlist_diff({"ports": shared, "i": {}}, {"ports": shared, "i": {}}) == {}
    assert calls == []


@pytest.mark.parametrize("nested", [False, True])
def test_recursive_reference_mapping(nested: bool) -> None:
    """A mapping that holds itself (YAML anchors can build one) is not descended into again."""
    ports: dict[str, Any] = {"a": "x"}
    ports["self"] = ports
    ref = {"ports": ports} if nested else ports
    layout_ports = {"a": "y", "self": {"a": "z", "self": 1}}
    layout = {"ports": layout_ports} if nested else layout_ports
    result = lvs.get_netlist_diff(ref, layout)
    assert result == deepdiff(ref, layout)
    assert list(result) == ["values_changed"] and len(result["values_changed"]) == 1


# --- differential test ---------------------------------------------------------------

NAME_PARTS = ["mmi", "wg", "ring", "b", "x1", "10", "2", "q'", 'q"', "s\\b", "é", "中", "😀", "\u2028", " ", ""]
PORTS = ["o1", "o2", "e1", "e2"]


def random_name(rng: random.Random) -> str:
    return "".join(rng.choice(NAME_PARTS) for _ in range(rng.randint(1, 3)))


def random_netlist(rng: random.Random) -> Netlist:
    names = list(dict.fromkeys(random_name(rng) for _ in range(rng.randint(0, 8))))
    instances = {n: {"component": rng.choice(["mmi", "wg", "ring"])} for n in names}
    nets = {}
    for _ in range(rng.randint(0, 8)) if names else ():
        p1 = f"{rng.choice(names)},{rng.choice(PORTS)}"
        p2 = f"{rng.choice(names)},{rng.choice(PORTS)}"
        p1, p2 = sorted((p1, p2))
        nets[f"{p1}:{p2}"] = {"p1": p1, "p2": p2}
    nets = dict(sorted(nets.items()))
    ports = {f"o{i}": f"{rng.choice(names)},o1" for i in range(rng.randint(0, 3))} if names else {}
    return {"instances": instances, "nets": nets, "ports": ports}


def mutate(rng: random.Random, ref: Netlist) -> Netlist:
    """The layout side: the reference with instances and nets added, removed, renamed and
    re-pointed; a random number of edits so that both sides of the whole-mapping threshold
    are met."""
    out = copy.deepcopy(ref)
    instances, nets, ports = out["instances"], out["nets"], out["ports"]
    for _ in range(rng.randint(0, 6)):
        edit = rng.randrange(9)
        if edit == 0:
            instances[random_name(rng)] = {"component": "wg"}
        elif edit == 1 and instances:
            del instances[rng.choice(list(instances))]
        elif edit == 2 and instances:
            old = rng.choice(list(instances))
            instances[old + "_r"] = instances.pop(old)
        elif edit == 3 and instances:
            instances[rng.choice(list(instances))]["component"] = rng.choice(["mmi", "wg", "ring", "mmi2"])
        elif edit == 4 and nets:
            del nets[rng.choice(list(nets))]
        elif edit == 5 and instances:
            p1, p2 = sorted(f"{rng.choice(list(instances))},{rng.choice(PORTS)}" for _ in range(2))
            nets[f"{p1}:{p2}"] = {"p1": p1, "p2": p2}
        elif edit == 6 and nets:
            key = rng.choice(list(nets))
            p1, p2 = sorted((nets.pop(key)["p1"], f"ERROR_NO_CONNECTION{rng.choice(['', ',o9'])}"))
            nets[f"{p1}:{p2}"] = {"p1": p1, "p2": p2}
        elif edit == 7:
            if ports and rng.random() < 0.5:
                ports[rng.choice(list(ports))] = rng.choice(["o1", "a,o2", "x\ny"])
            else:
                ports[random_name(rng)] = "a,o1"
        elif edit == 8:
            out[rng.choice(["instances", "nets"])] = {}
    if rng.random() < 0.5:
        out["nets"] = dict(sorted(nets.items()))
    if rng.random() < 0.2:
        rng.shuffle(keys := list(instances))
        out["instances"] = {k: instances[k] for k in keys}
    return out


def odd_values(rng: random.Random, ref: Netlist, layout: Netlist) -> None:
    """Now and then values the native comparison hands to the library (lists, non-string
    keys) or compares in its own way (numbers, None, nested mappings), on one side or on
    both."""
    choice = rng.randrange(6)
    for side in rng.choice([[ref], [layout], [ref, layout]]):
        if choice == 0:
            side["ports"] = None
        elif choice == 1:
            side["ports"] = {"o1": rng.sample(["a,o1", "b,o2", "c,o3"], 2), "o2": "c,o1"}
        elif choice == 2 and side["instances"]:
            side["instances"][next(iter(side["instances"]))]["component"] = rng.choice([1, 2.0, None, True])
        elif choice == 3:
            side["ports"] = {rng.choice([1, 2]): "a,o1", "o2": "b,o1"}
        elif choice == 4 and side["instances"]:
            side["instances"][next(iter(side["instances"]))]["settings"] = {"w": rng.choice([1, 2])}
        elif choice == 5:
            side["extra"] = rng.choice(["x", {"k": "v"}])


@pytest.mark.parametrize("seed", range(8))
def test_differential(seed: int) -> None:
    rng = random.Random(seed)
    kinds: set[str] = set()
    for _ in range(400):
        ref = random_netlist(rng)
        layout = mutate(rng, ref)
        if rng.random() < 0.15:
            odd_values(rng, ref, layout)
        if rng.random() < 0.5:
            ref, layout = layout, ref
        kinds |= assert_same_as_deepdiff(ref, layout).keys()
    assert {"dictionary_item_added", "dictionary_item_removed", "values_changed"} <= kinds


def test_differential_covers_threshold_boundaries() -> None:
    """Key sets sharing exactly one of three, one of four and none of two keys, at every
    nesting level the netlists have."""
    rng = random.Random(99)
    for shared, only_ref, only_layout in [(1, 1, 1), (1, 2, 1), (0, 1, 1), (2, 2, 2), (1, 0, 2), (0, 0, 2)]:
        keys = [random_name(rng) + str(i) for i in range(shared + only_ref + only_layout)]
        ref_keys = keys[: shared + only_ref]
        layout_keys = keys[:shared] + keys[shared + only_ref :]
        make: list[Callable[[list[str]], Any]] = [
            lambda ks: {"instances": {k: {"component": "m"} for k in ks}, "nets": {}, "ports": {}},
            lambda ks: {"instances": {}, "nets": {k: {"p1": k, "p2": k} for k in ks}, "ports": {}},
            lambda ks: {"instances": {}, "nets": {}, "ports": {k: "a,o1" for k in ks}},
            lambda ks: {"instances": {"a": {k: "m" for k in ks}}, "nets": {}, "ports": {}},
            lambda ks: {k: {} for k in ks},
        ]
        for build in make:
            assert_same_as_deepdiff(build(ref_keys), build(layout_keys))
