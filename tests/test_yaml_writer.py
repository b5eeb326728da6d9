"""Saved YAML is exactly the text of PyYAML's `safe_dump`; the C emitter writes it only where
it is known to write the same text, and the documents it is given prove it."""

from __future__ import annotations

import random
from typing import Any

import pytest
import yaml

import quillon.serve.schematic as schematic
from quillon.demo.random_circuit import random_netlist

ASCII = [chr(c) for c in range(0x20, 0x7F)]
ODD = list("\t\n\r é日ø\x85\u2028\u2029\ufeff\x00\x07\x7f\x9f\xa0\U0001f600\ud800")


def deep(levels: int) -> Any:
    value: Any = "leaf"
    for _ in range(levels):
        value = {"k": [value]}
    return value


#: (case, document, whether the C emitter writes it)
DOCUMENTS = [
    ("random circuit", random_netlist(3, chains=3, length=6), True),
    ("empty", {}, True),
    ("plain values", {"a": [1, -2.5, 1e300, 10**30, True, None, {}, []], "b": "x: y # z"}, True),
    ("long plain text", {"text": " ".join(["word"] * 60)}, True),
    ("short escaped text", {"name": "c1_2日\t'\"\\"}, True),
    ("escaped text to column 77", {"k": "日" * 12}, True),
    ("escaped text nested to column 74", {"a": {"bb": "日" * 11}}, True),
    ("escaped text in a list to column 76", {"k": ["日" * 12]}, True),
    ("escaped text past the line", {"k": "日" * 13}, False),
    ("escaped key", {"日é\t": 1}, True),
    ("key of 122 bytes", {"k" * 122: 1}, True),
    ("key of 123 bytes", {"k" * 123: 1}, False),
    ("key of 41 three-byte characters", {"日" * 41: 1}, False),
    ("empty key", {"": 1}, False),
    ("key over two lines", {"a\nb": 1}, False),
    ("lone surrogate", {"a": "\ud800"}, False),
    ("a tuple", {"a": (1, 2)}, False),
    ("a key that is no text", {1: "a"}, False),
    ("too deep", deep(70), False),
]


@pytest.mark.parametrize(("document", "native"), [pytest.param(d, n, id=c) for c, d, n in DOCUMENTS])
def test_saved_text_is_that_of_safe_dump(document: Any, native: bool) -> None:
    assert schematic._safe_dump_native(document) is native
    try:
        expected: Any = yaml.safe_dump(document, sort_keys=False)
    except Exception as exc:  # noqa: BLE001 - the same failure is expected
        with pytest.raises(type(exc)):
            schematic._safe_dump(document)
        return
    assert schematic._safe_dump(document) == expected


def _text(rng: random.Random) -> str:
    size = rng.choice([0, 1, 4, 15, 30, 70, 79, 80, 81, 121, 122, 123, 200])
    odd = rng.choice([0.0, 0.02, 0.1, 0.5])
    return "".join(
        rng.choice(ODD) if rng.random() < odd else rng.choice(ASCII)
        for _ in range(rng.randrange(max(0, size - 3), size + 1))
    )


def _value(rng: random.Random, depth: int) -> Any:
    pick = rng.random()
    if depth > 4 or pick < 0.4:
        return rng.choice(
            [_text(rng), _text(rng), rng.randrange(-(10**6), 10**6), rng.uniform(-1e6, 1e6), True, None, {}, []]
        )
    if pick < 0.7:
        return {_text(rng): _value(rng, depth + 1) for _ in range(rng.randrange(4))}
    return [_value(rng, depth + 1) for _ in range(rng.randrange(4))]


@pytest.mark.parametrize("seed", range(3))
def test_the_c_emitter_is_given_only_what_it_writes_alike(seed: int) -> None:
    rng = random.Random(seed)
    given = 0
    for _ in range(1500):
        document = {_text(rng): _value(rng, 0) for _ in range(rng.randrange(1, 4))}
        if schematic._safe_dump_native(document):
            given += 1
            assert yaml.dump(document, Dumper=yaml.CSafeDumper, sort_keys=False) == yaml.safe_dump(
                document, sort_keys=False
            )
    assert given > 150  # the table reaches the limits from both sides
