"""The native YAML reader gives exactly PyYAML's safe-loader values: types, key order, shared
aliased objects; what it does not cover, errors included, is read by PyYAML itself."""

from __future__ import annotations

import math
import random
import subprocess
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon.core.lvs as lvs
from quillon import yaml_bounded
from test_yaml_bounded import _bomb

ROOT = Path(__file__).resolve().parent.parent


def shape(value: Any, seen: dict[int, int] | None = None) -> Any:
    """A comparable form that keeps types, key order, float signs and which containers are
    one shared object."""
    seen = {} if seen is None else seen
    if isinstance(value, (dict, list)):
        if id(value) in seen:
            return ("shared", seen[id(value)])
        seen[id(value)] = len(seen)
        if isinstance(value, dict):
            return ("dict", [(shape(k, seen), shape(v, seen)) for k, v in value.items()])
        return ("list", [shape(v, seen) for v in value])
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else repr(value))
    return (type(value).__name__, value)


def outcome(load: Callable[[Any], Any], text: str | bytes) -> Any:
    try:
        return shape(load(text))
    except Exception as error:  # noqa: BLE001 - the error kind is what is compared
        return ("error", type(error))


def assert_native_equal(text: str) -> None:
    covered, value = lvs._safe_load_native(text)
    assert covered, text
    assert shape(value) == shape(yaml.safe_load(text))


# Hand-written forms and YAML 1.1 typing, all read natively.
NATIVE = [
    "instances:\n  mmi: {component: mmi1x2, settings: {length: 10.5}}\n",
    "# netlist\nnets:\n- p1: a,o1   # first\n  p2: b,o2\n-   p1: c,o1\n    p2: d,o2\n",
    "a:\n  - 1\n  - - x\n    - y\n  - k: v\n    l: w\n",
    "--- # start\nx: {a: 1, b: [1, 2, {c: d}], 'q': \"r\", e: , f: }\n",
    "ints: [0, -0, +7, 1_000, 0x_1F, 0b1_01, 017, 0_7, 190:20:30, -1:30, 08, 0o17, 12345678901234567890123]\n",
    "floats: [1., .5, -1.5e+3, 1_0.2_5, 190:20:30.15, .inf, -.Inf, +.INF, .nan, .NaN, 1e5, 1.5e3, -.5, -0.0]\n",
    "words: [yes, No, ON, off, True, FALSE, y, n, ~, null, Null, NULL, nul, '', \"\", -, ., =x, <<<]\n",
    "keys:\n  1: int\n  1.0: float replaces int's value\n  true: bool too\n  ~: none\n  '1': str\n  =: value key\n",
    "dup: 1\nother: 2\ndup: 3\n",
    "dates: [2001-12-14, 2024-02-29, '2001-12-14', 20011-12-14]\n",
    "a: &s text\nb: *s\n*s : key from alias\n&k c: anchored key\nd: &e\ne: *e\n",
    "s1: 'it''s # not a comment'\ns2: \"tab\\there \\x41\\u00e9\\U0001F600 \\\\ \\\" \\/ \\N \\_ \\L \\P \\0 \\e\"\n",
    "long: 'a single quoted\n  scalar folded\n\n  over lines'\nd: \"double \\\n  \\ escaped break\n  next\"\n",
    "plain: a plain scalar\n  folded over\n\n  lines, with:colon parts\nnext: x#y a:b\n",
    "é: ünïcode ✓\n'ключ': 'значение'\nemoji: 😀\n",
    "[a, b, {c: d, 'e': [f, g]}, [], {}, [[]], 'x', \"y\",]\n",
    "- &a [1, 2]\n- *a\n- {k: *a}\n",
    "t: [!!str 1, !!int '7', !!float \"1.5\", !!bool 'YES', !!null 'x', &t !!str 2, !!str &u 3, *t]\n!!str 4: key\n",
    "a: |\n  literal\n   block\n\n  text\nb: >-\n  folded\n  text\n\n   kept\n  more\n\nc: |+\n  keep\n\n"
    "d: >2 # c\n    indented\n   by two\n",
    "- |\n  x\n- >\n\n\n  y\n- |-\n- &b |1\n  z\n- *b\n- !!str >\n a\n b\n",
    "plain scalar document\n",
    "1.5\n...\n",
    "\ufeffwindows: 'lines\r\n  folded'\r\nb: [1,\r\n  2]\r\n",
    "a: b\n... # end\n",
    "? complex\n: key\n",
    "m:\n  ? "
    + "k" * 200
    + "\n  : component: pad\n    settings: {length: 1}\n  ? 'quoted\n    key'\n  : x\n  simple: 1\n",
    "- ? a\n  : b\n- ? c # note\n  :\n    - 1\n",
    "? d\n: - 2\n  - 3\n? e\n: f: 4\n  g: 5\n",
    "",
    "# only a comment\n",
    "---\n",
    _bomb(3),
]

# Outside the reader: PyYAML reads these (values, or its own errors).
FALLBACK = [
    "a: !!float 2\n",
    "a: !!binary aGVsbG8=\nb: !!set {x}\n",
    "a: !local x\n",
    "a: !!map {b: 1}\n",
    "? a\n? b\n",
    "? [a]\n: 1\n",
    "? a: b\n: c\n",
    "t: 2001-12-14 21:59:43.10 -5\n",
    "d: 2001-02-30\n",
    "a: 'x\ty'\n",
    "a: b\rc: d\r",
    "%YAML 1.1\n---\na: b\n",
    "a: b: c\n",
    "[1, 2\n",
    "a: *undefined\n",
    "a: &x 1\nb: &x 2\n",
    "- a\nb: 1\n",
    "a: 'unclosed\n",
    "a: 1\n---\nb: 2\n",
    "[a]: 1\n",
    "0b_: 1\n",
    "a: !!python/object:os.system x\n",
    "x: \x00\n",
    'a: "\\q"\n',
    "k: {<<: 1}\n",
    # merge keys: installed releases order merged keys differently
    "base: &b {x: [1], y: 2}\nmore: &m {z: 3}\nk: {<<: *b, y: 5}\nl: {w: 0, <<: [*m, *b]}\nm: [*b, *b]\n",
    "nested: &n\n  inner: &i {a: 1}\n  <<: {c: 3}\nuse:\n  <<: *n\n  i: *i\n",
    "seq: [a: 1]\n",
    b"bytes: 1\n",
]


@pytest.mark.parametrize("text", NATIVE)
def test_native_values_equal_safe_load(text: str) -> None:
    assert_native_equal(text)


@pytest.mark.parametrize("text", FALLBACK)
def test_uncovered_text_read_by_pyyaml(text: str | bytes) -> None:
    assert lvs._safe_load_native(text) == (False, None)
    assert outcome(lvs._safe_load, text) == outcome(yaml.safe_load, text)


@pytest.mark.parametrize("text", [_bomb(9), "&a [*a]", "a: &a {b: *a}"])
def test_alias_bound_refuses_as_the_bounded_loader(text: str) -> None:
    with pytest.raises(yaml_bounded.YamlExpansionError) as bounded:
        yaml_bounded.safe_load(text, "bomb.yml")
    with pytest.raises(yaml_bounded.YamlExpansionError) as native:
        lvs._safe_load(text, "bomb.yml")
    assert str(native.value) == str(bounded.value)


@pytest.mark.parametrize(("allowance", "refused"), [(6, False), (5, True)])
def test_alias_bound_counts_as_the_bounded_loader(monkeypatch, allowance: int, refused: bool) -> None:
    """12 distinct nodes expand to 18 (keys count): the bound, read from the bounded
    loader's settings, decides alike at its edge."""
    text = "a: &a [1, 2]\nb: {c: {x: *a}, y: [*a]}\n"
    monkeypatch.setattr(yaml_bounded, "ALIAS_EXPANSION_FACTOR", 1)
    monkeypatch.setattr(yaml_bounded, "ALIAS_EXPANSION_ALLOWANCE", allowance)
    assert lvs._safe_load_native(text)[0] is not refused
    assert outcome(lvs._safe_load, text) == outcome(yaml_bounded.safe_load, text)
    assert (outcome(lvs._safe_load, text)[0] == "error") is refused


def test_shipped_yaml_files() -> None:
    listed = subprocess.run(
        ["git", "ls-files", "*.yml", "*.yaml"], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout.split()
    assert listed
    for name in listed:
        assert_native_equal((ROOT / name).read_text())


def _random_netlist(rng: random.Random) -> dict[str, Any]:
    names = [rng.choice(["i", "mmi_", "Straight-", "é"]) + str(k) for k in range(rng.randint(1, 30))]
    settings_values = [
        1,
        -2.5,
        1e-9,
        0.0,
        True,
        None,
        "strip",
        "1.0",
        "yes",
        "0x1F",
        "a: b",
        "#x",
        "it's",
        'say "hi"',
        "two\nlines",
        "  padded ",
        "long " * 30,
        "~",
        "",
    ]
    instances = {
        n: {
            "component": rng.choice(["mmi1x2", "straight", "pad"]),
            "settings": {f"s{k}": rng.choice(settings_values) for k in range(rng.randint(0, 4))},
        }
        for n in names
    }

    def pair() -> tuple[str, str]:
        return f"{rng.choice(names)},o{rng.randint(1, 4)}", f"{rng.choice(names)},o{rng.randint(1, 4)}"

    return {
        "instances": instances,
        "connections": dict(pair() for _ in range(rng.randint(0, 10))),
        "routes": {"bundle": {"links": dict(pair() for _ in range(3)), "settings": {"radius": 5}}},
        "nets": [dict(zip(("p1", "p2"), pair())) for _ in range(rng.randint(0, 10))],
        "ports": {"o1": f"{names[0]},o1", "in 2": [1, 2]},
        "placements": {
            n: {"x": rng.uniform(-1e3, 1e3), "y": rng.randint(-9, 9), "mirror": rng.random() < 0.5} for n in names[:5]
        },
    }


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("flow", [False, None, True])
def test_dumped_netlists(seed: int, flow: bool | None) -> None:
    text = yaml.safe_dump(_random_netlist(random.Random(seed)), sort_keys=False, default_flow_style=flow)
    assert_native_equal(text)


@pytest.mark.parametrize("flow", [False, None])
@pytest.mark.parametrize("width", [40, 80])
def test_long_keys_as_pyyaml_writes_them(flow: bool | None, width: int) -> None:
    """Keys over 128 characters are written as explicit keys ("? key"), instance names as
    a generator makes them: read natively all the same."""
    netlist = _random_netlist(random.Random(7))
    long = {("x" * 150 + " y" * 20 + f"_{name}"): value for name, value in netlist["instances"].items()}
    text = yaml.safe_dump(
        {"instances": long, "nets": netlist["nets"]}, sort_keys=False, default_flow_style=flow, width=width
    )
    assert "? " in text
    assert_native_equal(text)


_texts = st.text(st.sampled_from(list("ab -:#'\"\\,[]{}&*!|>%@`?=<~._0189eExbyYnN\né\u2028\t")), max_size=10)
_scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), _texts)
_keys = st.one_of(_texts, st.integers(), st.booleans())
_values = st.recursive(
    _scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(_keys, inner, max_size=4),
        inner.map(lambda shared: {"a": shared, "b": [shared]}),
    ),
    max_leaves=12,
)


@settings(max_examples=300, deadline=None, derandomize=True, database=None)
@given(
    value=_values,
    flow=st.sampled_from([False, True, None]),
    width=st.sampled_from([12, 80]),
    unicode=st.booleans(),
    style=st.sampled_from([None, '"', "'"]),
)
def test_dumped_values_read_back(value: Any, flow: bool | None, width: int, unicode: bool, style: str | None) -> None:
    text = yaml.safe_dump(
        value, default_flow_style=flow, width=width, allow_unicode=unicode, default_style=style, sort_keys=False
    )
    assert outcome(lvs._safe_load, text) == outcome(yaml.safe_load, text)


EXPLICIT = "(explicit key)"
_inline = st.sampled_from(
    [
        "1",
        "-2.5e+3",
        "0x1F",
        "1:20",
        ".inf",
        "yes",
        "~",
        "",
        "plain words",
        "'it''s'",
        '"esc \\u00e9\\n"',
        "[1, {x: y}]",
        "{a: 1, 'b': [2, c]}",
        "{}",
        "[]",
        "*k",
        "&k anchored",
        "!!str 5",
        "a # comment",
        "'folded\n  quote'",
        "plain\n  continued",
        "|\n  literal\n\n   text",
        ">-\n  folded\n  text\n\n  more",
        "|+\n  kept\n",
        "x: y",
        "- z",
        "[a, b",
        "2001-12-14",
        "|2-",
        ">",
    ]
)
_keys = st.sampled_from(["a", "b", "'c'", '"d"', "1", "<<", "=", "&k e", "*k", "f g", "on", "~", "? h", EXPLICIT])


def _block_document(leaves: st.SearchStrategy[str]) -> st.SearchStrategy[list[str]]:
    """Block documents as lines, mostly well indented: mappings, sequences (indented, indentless
    and compact), flow and scalar leaves, anchors, aliases and merge keys."""

    def indented(lines: list[str], by: int) -> list[str]:
        return [" " * by + line for line in lines]

    def mapping(entries: list[tuple[str, tuple[str, list[str]], bool]]) -> tuple[str, list[str]]:
        lines = []
        for key, (kind, value), indentless in entries:
            if key == EXPLICIT:  # "? i", then the value after ':' on the next line, compact
                first, *rest = value[0].split("\n") + value[1:] if kind == "inline" else value
                lines += ["? i", f": {first}"] + indented(rest, 2)
            elif kind == "inline":
                lines += f"{key}: {value[0]}".split("\n")
            else:
                lines += [f"{key}:"] + (value if kind == "seq" and indentless else indented(value, 2))
        return ("map", lines)

    def sequence(entries: list[tuple[str, list[str]]]) -> tuple[str, list[str]]:
        lines = []
        for kind, value in entries:
            first, *rest = value[0].split("\n") + value[1:] if kind == "inline" else value
            lines += [f"- {first}"] + indented(rest, 2)
        return ("seq", lines)

    nodes = st.recursive(
        leaves.map(lambda text: ("inline", [text])),
        lambda inner: st.one_of(
            st.lists(st.tuples(_keys, inner, st.booleans()), min_size=1, max_size=4).map(mapping),
            st.lists(inner, min_size=1, max_size=4).map(sequence),
        ),
        max_leaves=10,
    )
    return nodes.map(lambda node: node[1][0].split("\n") if node[0] == "inline" else node[1])


@settings(
    max_examples=300, deadline=None, derandomize=True, database=None, suppress_health_check=[HealthCheck.too_slow]
)
@given(_block_document(_inline))
def test_generated_documents(lines: list[str]) -> None:
    text = "\n".join(lines) + "\n"
    covered, value = lvs._safe_load_native(text)
    if covered:
        assert shape(value) == outcome(yaml.safe_load, text)
