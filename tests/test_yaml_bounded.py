"""Bounded YAML reading: same values as PyYAML's safe loader, alias bombs refused."""

import pytest
import yaml

from quillon import yaml_bounded


def _bomb(levels: int) -> str:
    names = [chr(ord("a") + k) for k in range(levels + 1)]
    lines = [f'{names[0]}: &{names[0]} ["x","x","x","x","x","x","x","x","x"]']
    lines += [f"{n}: &{n} [{', '.join([f'*{p}'] * 9)}]" for p, n in zip(names, names[1:])]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize(
    "text",
    [
        "",
        "5",
        "instances: {a: {component: mmi1x2}}\nnets: []\n",
        "base: &b {x: 1}\nk: {<<: *b, y: 2}\nl: [*b, *b]\n",
        "key: 'a*b'\nother: \"*\"\n",
        _bomb(3),
    ],
)
def test_values_equal_safe_load(text):
    assert yaml_bounded.safe_load(text) == yaml.safe_load(text)


@pytest.mark.parametrize("text", [_bomb(9), "&a [*a]", "a: &a {b: *a}"])
def test_expansion_refused_with_source(text):
    with pytest.raises(yaml_bounded.YamlExpansionError, match="^bomb.yml: YAML aliases"):
        yaml_bounded.safe_load(text, "bomb.yml")


@pytest.mark.parametrize(
    "text",
    ["a: " + "[" * 100_000, "- " * 100_000 + "x", "{a: " * 100_000, "".join(" " * i + "k:\n" for i in range(600))],
    ids=["flow sequences", "block sequences", "flow mappings", "block mappings"],
)
def test_nesting_beyond_the_bound_is_refused_not_composed(text):
    # composed, the first three overflow the stack of PyYAML's C composer and kill the process
    with pytest.raises(yaml_bounded.YamlDepthError, match="^deep.yml: YAML collections nest more than 500 levels"):
        yaml_bounded.safe_load(text, "deep.yml")


def test_nesting_up_to_the_bound_is_read():
    text = "[" * 499 + "{a: 1}" + "]" * 499
    assert yaml_bounded.safe_load(text) == yaml.load(text, Loader=yaml.CSafeLoader)
