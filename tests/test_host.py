"""Host services: kit activation, cell source paths, function defaults, cached ports, logger, command line."""

from __future__ import annotations

import functools
import importlib
import json
import logging
import re
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from quillon.cli.tree import CachedPortsError, _ports_from_cached_path, get_function_args, write_cached_ports
from quillon.core.shared import PdkNotFoundError, activate_pdk_by_name, get_cell_path

# --------------------------------------------------------------------------- packages on disk


@pytest.fixture
def packages(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Any]:
    """Write real modules below tmp_path, importable for the test, forgotten afterwards."""
    root = tmp_path / "site"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    written: list[str] = []

    def write(dotted: str, source: str) -> Path:
        parts = dotted.split(".")
        directory = root.joinpath(*parts[:-1])
        directory.mkdir(parents=True, exist_ok=True)
        for depth in range(1, len(parts)):
            init = root.joinpath(*parts[:depth], "__init__.py")
            init.touch()
        path = directory / f"{parts[-1]}.py"
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        written.append(parts[0])
        importlib.invalidate_caches()
        return path

    yield write
    for name in list(sys.modules):
        if name.split(".")[0] in written:
            del sys.modules[name]


KIT = """
class Kit:
    def __init__(self, name):
        self.name = name
        self.activations = 0

    def activate(self):
        self.activations += 1

PDK = Kit(__name__)
"""


def test_activate_pdk_by_name_activates_and_returns_the_kit(packages: Any) -> None:
    packages("kit_one.__init__", KIT)
    packages("vendor.kits.si220.__init__", KIT)
    kit = activate_pdk_by_name("kit_one")
    assert (kit.name, kit.activations) == ("kit_one", 1)
    assert activate_pdk_by_name("kit_one") is kit and kit.activations == 2
    assert activate_pdk_by_name("vendor.kits.si220").name == "vendor.kits.si220"


@pytest.mark.parametrize(
    ("name", "modules", "fragment"),
    [
        ("no_such_kit_x", {}, "unknown process design kit 'no_such_kit_x'"),
        ("no_such_parent.kit", {}, "unknown process design kit 'no_such_parent.kit'"),
        ("kit_two.missing", {"kit_two.__init__": KIT}, "unknown process design kit 'kit_two.missing'"),
        ("not_a_kit", {"not_a_kit.__init__": "VALUE = 1\n"}, "has no 'PDK' attribute"),
        ("inert_kit", {"inert_kit.__init__": "PDK = object()\n"}, "has no activate() method"),
        ("", {}, "kit name is empty"),
    ],
)
def test_activate_pdk_by_name_rejects_non_kits(
    packages: Any, name: str, modules: dict[str, str], fragment: str
) -> None:
    for dotted, source in modules.items():
        packages(dotted, source)
    with pytest.raises(PdkNotFoundError, match=re.escape(fragment)) as info:
        activate_pdk_by_name(name)
    assert isinstance(info.value, ValueError)
    if "unknown" in fragment:
        assert isinstance(info.value.__cause__, ModuleNotFoundError)


def test_activate_pdk_by_name_keeps_a_kit_s_own_import_errors(packages: Any) -> None:
    packages("broken_kit.__init__", "import dependency_nobody_has_x\n")
    with pytest.raises(ModuleNotFoundError) as info:
        activate_pdk_by_name("broken_kit")
    assert info.value.name == "dependency_nobody_has_x"
    with pytest.raises(TypeError):
        activate_pdk_by_name(3)  # type: ignore[arg-type]


def test_activate_demo_kit() -> None:
    pytest.importorskip("demo_pdk")
    mw = pytest.importorskip("maskwright")
    kit = activate_pdk_by_name("demo_pdk")
    assert mw.get_active_pdk() is kit
    assert kit.name == "demo_pdk"


# --------------------------------------------------------------------------- cell source paths

CELLS = """
import functools
from deco import cached

def straight(length: float = 10.0):
    return length

@cached
def bend(radius: float = 5.0):
    return radius

def from_netlist():
    return None

def missing_netlist():
    return None

from_netlist.__source_path__ = NETLIST
missing_netlist.__source_path__ = NETLIST + ".gone"
straight_20 = functools.partial(straight, length=20.0)
netlist_partial = functools.partial(from_netlist)
lambda_cell = eval("lambda: None", {})
"""

DECO = """
import functools

def cached(func):
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        return func(*args, **kwargs)
    return wrapper
"""


@pytest.fixture
def cells(packages: Any, tmp_path: Path) -> tuple[Any, Path, Path]:
    netlist = tmp_path / "proj" / "ring.pic.yml"
    netlist.parent.mkdir()
    netlist.write_text("instances: {}\n", encoding="utf-8")
    packages("deco", DECO)
    source = packages("my_cells", f"NETLIST = {str(netlist)!r}\n" + CELLS)
    return importlib.import_module("my_cells"), source, netlist


@pytest.mark.parametrize(
    ("attr", "expected"),
    [
        ("straight", "source"),
        ("straight_20", "source"),
        ("bend", "source"),  # defined in my_cells, decorated by a function of deco.py
        ("from_netlist", "netlist"),
        ("netlist_partial", "netlist"),
        ("missing_netlist", None),
        ("lambda_cell", None),
        (None, None),
    ],
)
def test_get_cell_path(cells: tuple[Any, Path, Path], attr: str | None, expected: str | None) -> None:
    module, source, netlist = cells
    func = getattr(module, attr) if attr else None
    want = {"source": str(source), "netlist": str(netlist), None: None}[expected]
    assert get_cell_path(func) == want
    if want is None:
        with pytest.raises(FileNotFoundError):
            get_cell_path(func, error_on_not_found=True)
    else:
        assert get_cell_path(func, error_on_not_found=True) == want


def test_get_cell_path_of_builtins() -> None:
    assert get_cell_path(len) is None
    with pytest.raises(FileNotFoundError, match="'len'"):
        get_cell_path(len, error_on_not_found=True)


# --------------------------------------------------------------------------- function defaults


def _cell(width: float, length: float = 10.0, *args: Any, layer: str = "WG", name: Any = None, **kwargs: Any) -> None:
    """A cell function with every kind of parameter."""


def _decorated(func: Any) -> Any:
    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        return func(*args, **kwargs)

    return wrapper


@pytest.mark.parametrize(
    ("function", "expected"),
    [
        (_cell, {"length": 10.0, "layer": "WG", "name": None}),
        (functools.partial(_cell, 0.5), {"length": 10.0, "layer": "WG", "name": None}),
        (functools.partial(_cell, width=0.5, layer="M1"), {"width": 0.5, "length": 10.0, "layer": "M1", "name": None}),
        (functools.partial(_cell, extra=3), {"length": 10.0, "layer": "WG", "name": None, "extra": 3}),
        (
            functools.partial(functools.partial(_cell, layer="M1", extra=1), layer="M2", extra=2),
            {"length": 10.0, "layer": "M2", "name": None, "extra": 2},
        ),
        (_decorated(_cell), {"length": 10.0, "layer": "WG", "name": None}),
        (lambda a, b=(1, 2): None, {"b": (1, 2)}),
        (lambda *args, **kwargs: None, {}),
    ],
    ids=[
        "plain",
        "positional-partial",
        "keyword-partial",
        "partial-into-kwargs",
        "nested-partials",
        "decorated",
        "lambda",
        "variadic-only",
    ],
)
def test_get_function_args(function: Any, expected: dict[str, Any]) -> None:
    args = get_function_args(function)
    assert args == expected
    assert list(args)[: len(expected)] == list(expected)


# --------------------------------------------------------------------------- cached ports files


def test_cached_ports_round_trip(tmp_path: Path) -> None:
    path = tmp_path / "build" / "gds" / "pdk" / "ports" / "cells.py"
    assert _ports_from_cached_path(path, "mmi") == {}  # no file yet
    write_cached_ports(path, "mmi", {"o2": "e", "o1": "w", "o3": "e"})
    write_cached_ports(path, "ring", {"in": "w", "add": "n"})
    write_cached_ports(path, "mmi", {"o1": "w", "o2": "e", "o3": "s"})  # replaces only mmi
    mmi = _ports_from_cached_path(str(path), "mmi")
    assert mmi == {"o1": "w", "o2": "e", "o3": "s"}
    assert _ports_from_cached_path(path, "ring") == {"in": "w", "add": "n"}
    assert list(_ports_from_cached_path(path, "ring")) == ["in", "add"]
    assert _ports_from_cached_path(path, "taper") == {}
    assert [p.name for p in path.parent.iterdir()] == ["cells.py"]  # no temporary file left


@pytest.mark.parametrize(
    ("text", "fragment"),
    [
        ("{not json", "not valid JSON"),
        ("[1, 2]", "expected a JSON object of components, got list"),
        ('{"mmi": ["o1"]}', "component 'mmi': expected a mapping"),
        ('{"mmi": {"o1": "x"}}', "port 'o1' has side 'x'"),
        ('{"mmi": {"o1": "we"}}', "port 'o1' has side 'we'"),
        ('{"mmi": {"o1": 1}}', "port 'o1' has side 1"),
        ('{"mmi": {"": "w"}}', "port names must be non-empty strings"),
        (b'{"mmi": {"o1": "\xff"}}', "not valid JSON"),  # not UTF-8
    ],
)
def test_malformed_cached_ports_files(tmp_path: Path, text: str | bytes, fragment: str) -> None:
    path = tmp_path / "ports.json"
    content = text if isinstance(text, bytes) else text.encode()
    path.write_bytes(content)
    with pytest.raises(CachedPortsError, match=fragment):
        _ports_from_cached_path(path, "mmi")
    if "JSON" in fragment:  # a file that is not a JSON object is never overwritten
        with pytest.raises(CachedPortsError):
            write_cached_ports(path, "mmi", {"o1": "w"})
        assert path.read_bytes() == content
    else:  # an invalid entry is replaced by a valid one
        write_cached_ports(path, "mmi", {"o1": "w"})
        assert _ports_from_cached_path(path, "mmi") == {"o1": "w"}


@pytest.mark.parametrize(
    ("component", "ports"),
    [("", {"o1": "w"}), ("mmi", {"o1": "north"}), ("mmi", ["o1"]), ("mmi", {3: "w"})],
)
def test_write_cached_ports_rejects_bad_entries(tmp_path: Path, component: str, ports: Any) -> None:
    path = tmp_path / "ports.json"
    write_cached_ports(path, "kept", {"a": "w"})
    before = path.read_text(encoding="utf-8")
    with pytest.raises(CachedPortsError):
        write_cached_ports(path, component, ports)
    assert path.read_text(encoding="utf-8") == before
    assert json.loads(before) == {"kept": {"a": "w"}}


# --------------------------------------------------------------------------- logger


def test_logger_records_and_prints_once(
    caplog: pytest.LogCaptureFixture, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    import quillon.logger as module

    module = importlib.reload(importlib.reload(module))
    logger = module.logger
    assert logger is logging.getLogger("quillon")
    assert len(logger.handlers) == 1

    with caplog.at_level(logging.ERROR, logger="quillon"):
        logger.error("cannot build %s", "mmi")
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.ERROR, "cannot build mmi")]
    assert capsys.readouterr().err == ""  # the root logger is configured (by pytest): no second copy

    monkeypatch.setattr(logging.getLogger(), "handlers", [])
    logger.error("shown on stderr")
    assert capsys.readouterr().err == "quillon ERROR: shown on stderr\n"


# --------------------------------------------------------------------------- command line


def test_command_line_lists_available_subcommands() -> None:
    import importlib.util

    from quillon.cli.main import build_parser

    commands = build_parser()._subparsers._group_actions[0].choices  # type: ignore[union-attr]
    assert "serve" in commands
    assert ("lvs" in commands) == (importlib.util.find_spec("quillon.cli.lvs") is not None)


@pytest.mark.parametrize(
    ("argv", "toml", "fragment"),
    [
        (["serve", "--port", "0"], None, "invalid port '0'"),
        (["serve", "--port", "http"], None, "invalid port 'http'"),
        (["serve", "--project-dir", "{root}/missing"], None, "does not exist"),
        (["serve", "--project-dir", "{root}"], "[tool.quillon]\nname = 1\n", "'tool.quillon.name'"),
        (["frobnicate"], None, "invalid choice"),
    ],
)
def test_serve_refuses_bad_input_before_starting(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str], toml: str | None, fragment: str
) -> None:
    from quillon.cli.main import main

    if toml is not None:
        (tmp_path / "pyproject.toml").write_text(toml, encoding="utf-8")
    argv = [a.replace("{root}", str(tmp_path)) for a in argv]
    try:
        status = main(argv)
    except SystemExit as exc:  # argparse's own usage errors
        status = exc.code
    assert status == 2
    err = capsys.readouterr().err
    assert fragment in err
