"""Argument errors of the check's operations read exactly as the tool's other
compiled modules word them: arity first, then keywords, then types."""

from pathlib import PurePosixPath

import pytest

import quillon.core.lvs as lvs


class S(str):
    """A string subclass: rejected, since str parameters are checked by exact type."""


P = PurePosixPath("r.yml")

# (operation, positional arguments, keyword arguments, expected TypeError text)
CASES = [
    ("optical_lvs", (), {}, "optical_lvs() takes exactly 2 positional arguments (0 given)"),
    ("optical_lvs", (1,), {}, "optical_lvs() takes exactly 2 positional arguments (1 given)"),
    ("optical_lvs", (1, "r", 3), {}, "optical_lvs() takes exactly 2 positional arguments (3 given)"),
    ("optical_lvs", (1, P), {}, "Argument 'ref' has incorrect type (expected str, got PurePosixPath)"),
    ("optical_lvs", (1, None), {}, "Argument 'ref' has incorrect type (expected str, got NoneType)"),
    ("optical_lvs", (1, S("r")), {}, "Argument 'ref' has incorrect type (expected str, got S)"),
    ("optical_lvs", (1,), {"ref": b"r"}, "Argument 'ref' has incorrect type (expected str, got bytes)"),
    ("optical_lvs", (), {"cell": 1}, "optical_lvs() takes exactly 2 positional arguments (1 given)"),
    ("optical_lvs", (), {"ref": "r"}, "optical_lvs() takes exactly 2 positional arguments (0 given)"),
    ("optical_lvs", (1, "r"), {"foo": 1}, "optical_lvs() got an unexpected keyword argument 'foo'"),
    ("optical_lvs", (1,), {"cell": 2}, "optical_lvs() got multiple values for keyword argument 'cell'"),
    ("optical_lvs", (1, "r"), {"cell": 1, "foo": 2}, "optical_lvs() got multiple values for keyword argument 'cell'"),
    ("optical_lvs", (), {"foo": 2}, "optical_lvs() got an unexpected keyword argument 'foo'"),
    ("optical_lvs", (1, 2, 3), {"foo": 2}, "optical_lvs() takes exactly 2 positional arguments (3 given)"),
    ("load_ref_netlist", (), {}, "load_ref_netlist() takes at least 2 positional arguments (0 given)"),
    ("load_ref_netlist", ("r",), {}, "load_ref_netlist() takes at least 2 positional arguments (1 given)"),
    ("load_ref_netlist", ("r", 1, None, 4), {}, "load_ref_netlist() takes at most 3 positional arguments (4 given)"),
    (
        "load_ref_netlist",
        ("r",),
        {"electrical_layers": None},
        "load_ref_netlist() takes at least 2 positional arguments (1 given)",
    ),
    ("load_ref_netlist", (P, 1), {}, "Argument 'ref' has incorrect type (expected str, got PurePosixPath)"),
    ("load_ref_netlist", (1,), {"cell": 2}, "Argument 'ref' has incorrect type (expected str, got int)"),
    (
        "load_ref_netlist",
        ("r", 1, None),
        {"electrical_layers": 2},
        "load_ref_netlist() got multiple values for keyword argument 'electrical_layers'",
    ),
    ("_order_net", (), {}, "_order_net() takes exactly 1 positional argument (0 given)"),
    ("_order_net", (1, 2), {}, "_order_net() takes exactly 1 positional argument (2 given)"),
    ("_order_net", (), {"x": 1}, "_order_net() got an unexpected keyword argument 'x'"),
    ("_order_net", (1,), {"net": 2}, "_order_net() got multiple values for keyword argument 'net'"),
    ("_net_str", (), {}, "_net_str() takes exactly 1 positional argument (0 given)"),
    ("_net_str", ({}, {}), {}, "_net_str() takes exactly 1 positional argument (2 given)"),
    ("_net_str", (), {"nett": {}}, "_net_str() got an unexpected keyword argument 'nett'"),
    ("extract_lvs_netlist", (), {}, "extract_lvs_netlist() takes at least 1 positional argument (0 given)"),
    ("extract_lvs_netlist", (1, 2, 3), {}, "extract_lvs_netlist() takes at most 2 positional arguments (3 given)"),
    (
        "extract_lvs_netlist",
        (),
        {"electrical_layers": None},
        "extract_lvs_netlist() takes at least 1 positional argument (0 given)",
    ),
    (
        "find_connected_elec_ports",
        (1,),
        {},
        "find_connected_elec_ports() takes exactly 2 positional arguments (1 given)",
    ),
    (
        "find_connected_elec_ports",
        (1, 2),
        {"c": 1},
        "find_connected_elec_ports() got multiple values for keyword argument 'c'",
    ),
    ("get_netlist_diff", ({},), {}, "get_netlist_diff() takes exactly 2 positional arguments (1 given)"),
    ("get_netlist_diff", (), {"lvs_netlist": {}}, "get_netlist_diff() takes exactly 2 positional arguments (0 given)"),
    ("find_unknown_instances", (1, 2), {}, "find_unknown_instances() takes exactly 3 positional arguments (2 given)"),
    (
        "find_missing_connections",
        (1, 2, 3),
        {},
        "find_missing_connections() takes exactly 4 positional arguments (3 given)",
    ),
    (
        "find_missing_connections",
        (1, 2, 3, 4, 5),
        {},
        "find_missing_connections() takes exactly 4 positional arguments (5 given)",
    ),
]


@pytest.mark.parametrize(("operation", "args", "kwargs", "message"), CASES)
def test_argument_errors(operation, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        getattr(lvs, operation)(*args, **kwargs)
    assert str(error.value) == message


def test_ref_is_checked_before_any_work(tmp_path, monkeypatch):
    """A path object for `ref` fails before the settings are even read."""
    monkeypatch.setenv("QUILLON_PROJECT_DIR", str(tmp_path / "does-not-exist"))
    with pytest.raises(TypeError, match="got PosixPath"):
        lvs.optical_lvs(object(), tmp_path / "ref.yml")
