"""The top level of a reference read from parser events agrees with the bounded loader."""

from __future__ import annotations

import pytest
import yaml

from quillon.cli.yaml_top_level import top_level
from quillon.yaml_bounded import YamlExpansionError, safe_load

#: (text, whether the events alone answer it)
DOCUMENTS = [
    pytest.param("", False, id="empty"),
    pytest.param("# only a comment\n", False, id="comment"),
    pytest.param("netlist\n", False, id="scalar"),
    pytest.param("- a\n- {b: c}\n", False, id="sequence"),
    pytest.param("instances: {a: {component: x}}\nnets: [{p1: 'a,o1', p2: 'b,o1'}]\nports: {}\n", True, id="flow values"),
    pytest.param("---\ninstances:\n  a:\n    component: x\nroutes:\n  r: {links: {}}\nnets: []\n...\n", True, id="block values, markers"),
    pytest.param("'instances': 1\n\"nets\": 2\n? ports\n: |\n  text\n", True, id="quoted and explicit keys"),
    pytest.param("a: &x {b: 1}\nc: *x\n", False, id="alias"),
    pytest.param("a: !!str 1\n", False, id="tag"),
    pytest.param("? [a, b]\n: c\n", False, id="collection as key"),
    pytest.param("a: 1\n---\nb: 2\n", False, id="two documents"),
    pytest.param("a: [1, 2\n", False, id="unclosed"),
    pytest.param("a: b: c\n", False, id="bad mapping"),
    pytest.param("a: *missing\n", False, id="undefined alias"),
    pytest.param("a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n" + "".join(f"a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 10)}]\n" for i in range(1, 9)), False, id="alias bomb"),
]


def outline(read: object) -> object:
    """What the check looks at: the keys of a mapping, the type of anything else."""
    return list(read) if isinstance(read, dict) else type(read).__name__ if read is not None else None


@pytest.mark.parametrize("text, walked", DOCUMENTS)
def test_top_level_agrees_with_the_bounded_loader(text: str, walked: bool) -> None:
    """`walked`: a plain tree, answered from the events alone (the values are not built)."""
    try:
        expected: object = outline(safe_load(text, "f.yml"))
    except (yaml.YAMLError, YamlExpansionError) as exc:
        with pytest.raises(type(exc), match=None) as raised:
            top_level(text, "f.yml")
        assert str(raised.value) == str(exc)
        return
    read = top_level(text, "f.yml")
    assert outline(read) == expected
    assert (isinstance(read, dict) and all(value is None for value in read.values())) == walked
