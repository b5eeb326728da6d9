"""Project settings read from real pyproject.toml files."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import FrozenInstanceError
from pathlib import Path

import pytest

from quillon.settings import (
    DEFAULT_PDK,
    PdkSettings,
    Settings,
    SettingsError,
    get_settings,
    project_dir,
)


def _project(tmp_path: Path, toml: str | None, dirname: str = "ringproj") -> Path:
    root = tmp_path / dirname
    root.mkdir()
    if toml is not None:
        (root / "pyproject.toml").write_text(toml, encoding="utf-8")
    return root


@pytest.mark.parametrize(
    ("toml", "expected"),
    [
        (None, Settings("ringproj", PdkSettings(DEFAULT_PDK))),
        ('[project]\nname = "x"\n', Settings("ringproj", PdkSettings(DEFAULT_PDK))),
        ("[tool.other]\na = 1\n", Settings("ringproj", PdkSettings(DEFAULT_PDK))),
        ("[tool.quillon]\n", Settings("ringproj", PdkSettings(DEFAULT_PDK))),
        ('[tool.quillon]\nname = "demo"\n', Settings("demo", PdkSettings(DEFAULT_PDK))),
        (
            '[tool.quillon]\nname = "demo"\n[tool.quillon.pdk]\nname = "acme_kit"\n',
            Settings("demo", PdkSettings("acme_kit")),
        ),
        ('[tool.quillon]\npdk = "acme.kits.si220"\n', Settings("ringproj", PdkSettings("acme.kits.si220"))),
        ("[tool.quillon.pdk]\n", Settings("ringproj", PdkSettings(DEFAULT_PDK))),
    ],
    ids=["no-file", "no-tool", "other-tool", "empty-table", "name-only", "full", "pdk-shorthand", "empty-pdk"],
)
def test_settings_and_defaults(tmp_path: Path, toml: str | None, expected: Settings) -> None:
    assert get_settings(_project(tmp_path, toml)) == expected


@pytest.mark.parametrize(
    ("toml", "fragment"),
    [
        ("[tool.quillon\n", "not valid TOML"),
        ("[tool.quillon]\nx = " + "[" * 100_000 + "\n", "not valid TOML: values nested too deep"),
        ('tool = "x"\n', "'tool' must be a table"),
        ("[tool]\nquillon = 3\n", "'tool.quillon' must be a table"),
        ("[tool.quillon]\nname = 3\n", "'tool.quillon.name' must be a non-empty string"),
        ('[tool.quillon]\nname = ""\n', "'tool.quillon.name' must be a non-empty string"),
        ('[tool.quillon]\nname = "a/b"\n', "directly below the project"),
        ('[tool.quillon]\nname = ".."\n', "directly below the project"),
        ("[tool.quillon]\npdk = 1\n", "must be a table or a string"),
        ('[tool.quillon.pdk]\nname = "my-kit"\n', "importable package name"),
        ("[tool.quillon.pdk]\nname = []\n", "importable package name"),
        ('[tool.quillon]\npdk_name = "x"\n', "unknown key(s) in 'tool.quillon': pdk_name"),
        ('[tool.quillon.pdk]\nname = "x"\nversion = 2\n', "unknown key(s) in 'tool.quillon.pdk': version"),
    ],
)
def test_malformed_settings_name_the_file(tmp_path: Path, toml: str, fragment: str) -> None:
    root = _project(tmp_path, toml)
    with pytest.raises(SettingsError) as info:
        get_settings(root)
    message = str(info.value)
    assert str(root / "pyproject.toml") in message
    assert fragment in message
    assert isinstance(info.value, ValueError)


@pytest.mark.parametrize(
    ("make", "fragment"),
    [
        (lambda path: path.write_bytes(b'[tool.quillon]\nname = "\xff"\n'), "not valid TOML"),
        (os.mkfifo, "cannot be read: not a regular file"),  # refused, never waited on
        (os.mkdir, "cannot be read: not a regular file"),
    ],
    ids=["undecodable", "named pipe", "directory"],
)
def test_unusable_file_is_a_settings_error(tmp_path: Path, make: Callable[[Path], object], fragment: str) -> None:
    root = _project(tmp_path, None)
    make(root / "pyproject.toml")
    with pytest.raises(SettingsError, match=fragment):
        get_settings(root)


def test_project_dir_from_environment_else_cwd(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    env_root = _project(tmp_path, '[tool.quillon]\nname = "fromenv"\n', "envproj")
    cwd_root = _project(tmp_path, '[tool.quillon]\nname = "fromcwd"\n', "cwdproj")
    monkeypatch.chdir(cwd_root)

    monkeypatch.delenv("QUILLON_PROJECT_DIR", raising=False)
    assert project_dir() == cwd_root
    assert get_settings().name == "fromcwd"

    monkeypatch.setenv("QUILLON_PROJECT_DIR", "")  # empty counts as unset
    assert project_dir() == cwd_root

    monkeypatch.setenv("QUILLON_PROJECT_DIR", "../envproj")  # relative to the cwd, made absolute
    assert project_dir() == env_root
    assert project_dir().is_absolute()
    assert get_settings().name == "fromenv"


def test_settings_are_read_afresh_and_frozen(tmp_path: Path) -> None:
    root = _project(tmp_path, '[tool.quillon.pdk]\nname = "kit_a"\n')
    first = get_settings(root)
    (root / "pyproject.toml").write_text('[tool.quillon.pdk]\nname = "kit_b"\n', encoding="utf-8")
    assert get_settings(root).pdk.name == "kit_b"
    with pytest.raises(FrozenInstanceError):
        first.pdk.name = "other"  # type: ignore[misc]
