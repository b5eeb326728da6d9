"""The check's shared vocabulary: canonical nets and their keys, property ids,
category titles and the cell classes it binds."""

import os
import subprocess
import sys
import textwrap

import pytest

import quillon.core.lvs as lvs

ORDERED = [
    # (p1, p2, canonical p1, canonical p2, key)
    ("b,o1", "a,o2", "a,o2", "b,o1", "a,o2:b,o1"),
    ("a,o2", "b,o1", "a,o2", "b,o1", "a,o2:b,o1"),
    ("a,o1", "a,o1", "a,o1", "a,o1", "a,o1:a,o1"),
    # code-point order, not natural order
    ("a,o1", "B,o1", "B,o1", "a,o1", "B,o1:a,o1"),
    ("mmi2,o1", "mmi10,o1", "mmi10,o1", "mmi2,o1", "mmi10,o1:mmi2,o1"),
    # the placeholder of an unconnected optical port sorts like any text
    ("mmi1,o2", "ERROR_NO_CONNECTION", "ERROR_NO_CONNECTION", "mmi1,o2", "ERROR_NO_CONNECTION:mmi1,o2"),
    ("A1,o1", "ERROR_NO_CONNECTION", "A1,o1", "ERROR_NO_CONNECTION", "A1,o1:ERROR_NO_CONNECTION"),
    ("é,o1", "z,o1", "z,o1", "é,o1", "z,o1:é,o1"),
]


@pytest.mark.parametrize(("p1", "p2", "first", "second", "key"), ORDERED)
def test_canonical_net_and_key(p1, p2, first, second, key):
    net = {"p1": p1, "p2": p2}
    ordered = lvs._order_net(net)
    assert list(ordered.items()) == [("p1", first), ("p2", second)]
    assert lvs._net_str(net) == key
    assert net == {"p1": p1, "p2": p2}, "the argument is not changed"


def test_extra_entries_are_dropped_and_keywords_work():
    net = {"x": 1, "p2": "a,o1", "p1": "b,o1", "y": 2}
    assert lvs._order_net(net=net) == {"p1": "a,o1", "p2": "b,o1"}
    assert lvs._net_str(net=net) == "a,o1:b,o1"


@pytest.mark.parametrize(("net", "missing"), [({}, "p1"), ({"p2": "a"}, "p1"), ({"p1": "a"}, "p2")])
def test_missing_endpoint_is_a_key_error_naming_it(net, missing):
    for operation in (lvs._order_net, lvs._net_str):
        with pytest.raises(KeyError) as error:
            operation(net)
        assert error.value.args == (missing,)


def test_key_of_non_string_endpoints_uses_their_text_form():
    assert lvs._net_str({"p1": 2, "p2": 1}) == "1:2"


def test_module_surface():
    assert lvs.__doc__ == "Layout v Schematic."
    assert lvs.__all__ == ["lvs_categories", "optical_lvs"]
    assert (lvs.PROPID.NAME, lvs.PROPID.PURPOSE) == (0, 1)
    assert lvs.PROPID.__doc__ == "Mapping for GDS properties."
    assert list(vars(lvs.lvs_categories).items()) == [
        ("unknown_instances", "Unknown Instances"),
        ("missing_instances", "Missing Instances"),
        ("missing_connections", "Missing Connections"),
        ("unknown_connections", "Unknown Connections"),
        ("mismatched_instances", "Mismatched Instances"),
        ("mismatched_ports", "Mismatched Ports"),
        ("mismatched_settings", "Mismatched Settings"),
    ]
    assert lvs.optical_lvs.__doc__.endswith("Perform optical lvs on a cell.")


def test_cell_classes_are_the_micrometre_ones():
    import cellgrid

    assert lvs.Cell is cellgrid.DKCell
    assert lvs.Instance is cellgrid.DInstance


def test_falls_back_to_integer_unit_classes_without_them():
    """Loading still succeeds against a cell library without DKCell/DInstance."""
    script = textwrap.dedent(
        """
        import cellgrid
        import maskwright  # the kit library itself names DKCell
        del cellgrid.DKCell, cellgrid.DInstance
        import quillon.core.lvs as lvs
        assert lvs.Cell is cellgrid.KCell, lvs.Cell
        assert lvs.Instance is cellgrid.Instance, lvs.Instance
        print("ok")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=os.environ.copy())
    assert result.stdout.strip() == "ok", result.stderr


def test_module_imports_and_exits_cleanly():
    """No crash at exit and no leaked-object report from the bindings."""
    result = subprocess.run([sys.executable, "-c", "import quillon.core.lvs"], capture_output=True, text=True)
    assert result.returncode == 0
    assert result.stderr == ""
