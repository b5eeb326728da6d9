"""Tests of kits, cross-sections, layer maps and cached cell functions."""

from __future__ import annotations

import inspect
import itertools

import cellgrid as cg
import maskwright as mw
import maskwright.pdk
import pytest

kdb = mw.kdb
LAYER = mw.LayerMap(WG=(1, 0), M1=(41, 0), VIA1=(44, 0), M2=(45, 0))
_ids = itertools.count()


def make_kit(lib: cg.KCLayout) -> tuple[mw.Pdk, list[dict[str, object]]]:
    """A tiny kit whose one cell function builds into `lib` and logs each real build."""
    strip = mw.CrossSection("strip", 0.5, LAYER.WG)
    wide = mw.CrossSection("wide", 2.0, LAYER.WG, radius=50)
    builds: list[dict[str, object]] = []

    @mw.cell(kcl=lib)
    def straight(
        length: float = 10.0, cross_section: mw.typings.CrossSectionSpec = "strip", size: tuple[float, float] = (1, 2)
    ) -> mw.Component:
        builds.append({"length": length, "cross_section": cross_section})
        xs = (
            cross_section
            if isinstance(cross_section, mw.CrossSection)
            else {"strip": strip, "wide": wide}[cross_section]
        )
        c = lib.dkcell()
        c.shapes(xs.layer).insert(kdb.DBox(0, -xs.width / 2, length, xs.width / 2))
        c.create_port("o1", kdb.Trans(2, False, 0, 0), xs.width, xs.layer)
        return c

    kit = mw.Pdk(
        name=f"kit{next(_ids)}",
        cells={"straight": straight},
        cross_sections={"strip": strip, "wide": wide, "cross_section": strip},
        connectivity=[("M1", "VIA1", "M2")],
        routing_strategies={},
        layers=LAYER,
    )
    return kit, builds


@pytest.fixture
def kit() -> tuple[mw.Pdk, list[dict[str, object]], cg.KCLayout]:
    lib = cg.KCLayout("mw")
    k, builds = make_kit(lib)
    k.activate()
    return k, builds, lib


def test_cells_are_built_once_per_settings_and_named_after_them(kit: tuple[mw.Pdk, list, cg.KCLayout]) -> None:
    pdk, builds, lib = kit
    f = pdk.cells["straight"]
    a, b = f(), pdk.get_component("straight")
    assert a == b and a.name == "straight" and len(builds) == 1
    assert f(length=10) == a  # an int equal to the default is the default
    assert f(cross_section=pdk.cross_sections["strip"]) == a  # the kit's own cross-section, by value
    c = f(length=20.5, cross_section="wide")
    assert c.name == "straight_length20p5_cross_sectionwide"
    assert f(20.5, "wide") == c and len(builds) == 2
    assert f(size=[3, 4]).name == "straight_size3x4"  # lists freeze into tuples
    assert f(size=(3, 4)) == f(size=[3, 4])
    assert c.settings["length"] == 20.5 and c.function_name == "straight"
    assert c.kcl is lib and "straight_length20p5_cross_sectionwide" in lib.dkcells


def test_cached_cells_are_locked(kit: tuple[mw.Pdk, list, cg.KCLayout]) -> None:
    pdk, _, lib = kit
    c = pdk.get_component("straight")
    assert c.locked
    with pytest.raises(RuntimeError, match="locked"):
        c.create_port("o2", kdb.Trans(), 0.5, LAYER.WG)
    with pytest.raises(RuntimeError, match="locked"):
        c.shapes(LAYER.WG).insert(kdb.DBox(0, 0, 1, 1))
    top = lib.dkcell()
    top.create_inst(c, name="s1")  # placing a locked cell is fine
    assert len(top.insts) == 1


def test_cell_names_stay_unique_when_taken(kit: tuple[mw.Pdk, list, cg.KCLayout]) -> None:
    pdk, _, lib = kit
    other_lib_cell = lib.dkcell("straight_length7")
    c = pdk.get_component("straight", length=7)
    assert c != other_lib_cell and c.name.startswith("straight_length7_")


def test_cell_function_keeps_its_signature() -> None:
    lib = cg.KCLayout("sig")
    pdk, _ = make_kit(lib)
    sig = inspect.signature(pdk.cells["straight"])
    assert list(sig.parameters) == ["length", "cross_section", "size"]
    assert "CrossSection" in str(sig.parameters["cross_section"].annotation)
    assert sig.parameters["length"].default == 10.0


def test_cell_function_must_return_a_cell() -> None:
    @mw.cell
    def broken() -> mw.Component:
        return "not a cell"  # type: ignore[return-value]

    with pytest.raises(TypeError, match="not a cell"):
        broken()


def limited(lib: cg.KCLayout) -> object:
    @mw.cell(kcl=lib, limits={"length": {"minimum": 0, "exclusive_maximum": 100}, "size": {"exclusive_minimum": 0}})
    def piece(length: float = 10.0, size: tuple[float, float] = (1, 2), name: str = "x") -> mw.Component:
        return lib.dkcell()

    return piece


@pytest.mark.parametrize(
    ("settings", "problem"),
    [
        ({}, None),
        ({"length": 0}, None),
        ({"length": 99.5, "size": (0.1, 3)}, None),
        ({"length": -0.5}, "length must be at least 0, got -0.5"),
        ({"length": 100}, "length must be less than 100, got 100"),
        ({"size": (1, 0)}, "size must be more than 0, got (1, 0)"),
        ({"length": True}, None),  # not a number to bound: the function decides
    ],
)
def test_declared_limits_refuse_a_call_before_it_builds(settings: dict[str, object], problem: str | None) -> None:
    piece = limited(cg.KCLayout(f"lim{next(_ids)}"))
    assert piece.setting_limits == {
        "length": {"minimum": 0, "exclusive_maximum": 100},
        "size": {"exclusive_minimum": 0},
    }
    if problem is None:
        piece(**settings)
    else:
        with pytest.raises(ValueError) as refused:
            piece(**settings)
        assert str(refused.value) == problem


@pytest.mark.parametrize(
    ("limits", "match"),
    [
        ({"width": {"minimum": 0}}, "has no setting 'width'"),
        ({"length": {"least": 0}}, "must be numbers named minimum"),
        ({"length": {"minimum": "0"}}, "must be numbers named minimum"),
    ],
)
def test_declared_limits_must_name_settings_and_known_limits(limits: dict[str, dict[str, object]], match: str) -> None:
    with pytest.raises(TypeError, match=match):

        @mw.cell(limits=limits)  # type: ignore[arg-type]
        def piece(length: float = 1.0) -> mw.Component:
            raise AssertionError("never built")


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda k: k.get_component("nope"), ValueError, "no component 'nope'"),
        (lambda k: k.get_component(42), TypeError, "component"),
        (lambda k: k.get_component("straight", colour="red"), TypeError, "colour"),
        (lambda k: k.get_cross_section("nope"), ValueError, "no cross-section"),
        (lambda k: k.get_layer("NOPE"), ValueError, "no layer"),
    ],
)
def test_kit_lookups_fail_clearly(kit: tuple[mw.Pdk, list, cg.KCLayout], call, error, match) -> None:  # noqa: ANN001
    with pytest.raises(error, match=match):
        call(kit[0])


def test_kit_lookups(kit: tuple[mw.Pdk, list, cg.KCLayout]) -> None:
    pdk = kit[0]
    built = pdk.get_component("straight")
    assert pdk.get_component(built) == built
    assert pdk.get_component(pdk.cells["straight"], length=3).name == "straight_length3"
    assert pdk.get_cross_section("cross_section") is pdk.cross_sections["strip"]
    assert pdk.get_layer("M2") == kdb.LayerInfo(45, 0, "M2")
    assert pdk.connectivity == [("M1", "VIA1", "M2")]
    assert pdk.cells.get("nope") is None and list(pdk.cells) == ["straight"]


def test_activation_and_layer_names(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(maskwright.pdk, "_active", None)
    with pytest.raises(RuntimeError, match="no process design kit is active"):
        mw.get_active_pdk()
    a, _ = make_kit(cg.KCLayout("a"))
    b, _ = make_kit(cg.KCLayout("b"))
    assert a.activate() is a and mw.get_active_pdk() is a
    b.activate()
    assert mw.get_active_pdk() is b
    idx = cg.kcl.layer("VIA1")  # activation teaches the default library the kit's layer names
    assert cg.kcl.get_info(idx) == kdb.LayerInfo(44, 0, "VIA1")


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        (dict(name="", width=0.5, layer=LAYER.WG), ValueError),
        (dict(name="x", width=0, layer=LAYER.WG), ValueError),
        (dict(name="x", width=0.5, layer="WG"), TypeError),
        (dict(name="x", width=0.5, layer=LAYER.WG, radius=-1), ValueError),
        (dict(name="x", width=0.5, layer=LAYER.WG, port_names=("a", "a")), ValueError),
        (dict(name="x", width=0.5, layer=LAYER.WG, sections=(mw.Section(LAYER.M1, 3.0),)), None),
    ],
)
def test_cross_section_validation(kwargs: dict[str, object], error: type | None) -> None:
    if error is None:
        xs = mw.CrossSection(**kwargs)  # type: ignore[arg-type]
        assert xs.total_width == 3.0 and hash(xs) == hash(mw.CrossSection(**kwargs))  # type: ignore[arg-type]
    else:
        with pytest.raises(error):
            mw.CrossSection(**kwargs)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        (dict(cells={"s": 3}, cross_sections={}), TypeError),
        (dict(cells={}, cross_sections={"x": "strip"}), TypeError),
        (dict(cells={}, cross_sections={}, connectivity=[("M1", "M9")], layers=LAYER), ValueError),
        (dict(cells={}, cross_sections={}, connectivity=[()], layers=LAYER), ValueError),
    ],
)
def test_kit_validation(kwargs: dict[str, object], error: type) -> None:
    with pytest.raises(error):
        mw.Pdk("bad", **kwargs)  # type: ignore[arg-type]


def test_layer_map() -> None:
    assert LAYER.WG == kdb.LayerInfo(1, 0, "WG") and LAYER["M2"].name == "M2"
    assert list(LAYER) == ["WG", "M1", "VIA1", "M2"]
    with pytest.raises(AttributeError):
        LAYER.NOPE  # noqa: B018
    with pytest.raises(ValueError, match="share"):
        mw.LayerMap(A=(1, 0), B=(1, 0))
    with pytest.raises(TypeError):
        mw.LayerMap(A="1/0")  # type: ignore[arg-type]


def test_typings_are_usable_at_runtime() -> None:
    spec: object = mw.typings.ConnectivitySpec | None
    assert spec is not None
    assert mw.kdb is cg.kdb and mw.typings.Component is cg.DKCell


@pytest.mark.parametrize(
    ("changed", "name"),
    [
        ({}, "f"),
        ({"length": 12.5}, "f_length12p5"),
        ({"length": -0.25}, "f_lengthm0p25"),
        ({"length": 1 / 3}, "f_length0p333333"),
        ({"n": 3, "flag": True}, "f_n3_flagT"),
        ({"size": (80.0, 40)}, "f_size80x40"),
        ({"layer": kdb.LayerInfo(45, 0, "M2"), "other": kdb.LayerInfo(3, 1)}, "f_layerM2_other3_1"),
        ({"cross_section": mw.CrossSection("rib 2", 0.5, LAYER.WG)}, "f_cross_sectionrib2"),
        ({"text": "a/b.c"}, "f_textabc"),
    ],
)
def test_cell_names_from_settings(changed: dict[str, object], name: str) -> None:
    assert mw.cell_name("f", changed) == name


def _named(
    length: float = 10.0,
    n: int = 1,
    flag: bool = False,
    size: tuple[float, float] = (1.0, 1.0),
    cross_section: str = "strip",
    section_width: float = 1.0,
) -> None:
    """A cell function's parameters, for reading its cell names back."""


@pytest.mark.parametrize(
    ("changed", "readings"),
    [
        ({}, 1),
        ({"length": 12.5}, 1),
        ({"length": -0.25, "n": 3}, 1),
        ({"flag": True, "size": (80.0, 40.0)}, 1),
        ({"cross_section": "rib"}, 1),
        # a text with underscores may end before a later setting's name, or hold it
        ({"cross_section": "metal_routing", "section_width": 2.0}, 2),
    ],
)
def test_cell_names_read_back_into_their_settings(changed: dict[str, object], readings: int) -> None:
    name = mw.cell_name("_named", changed)
    found = mw.settings_from_name(_named, name)
    assert changed in found and len(found) == readings
    assert all(mw.cell_name("_named", reading) == name for reading in found)


@pytest.mark.parametrize("name", ["_namedx", "other_length2", "_named_length2p", "_named_sizex3", "_named_nothing3"])
def test_names_no_settings_read_into_give_none(name: str) -> None:
    assert mw.settings_from_name(_named, name) == []
