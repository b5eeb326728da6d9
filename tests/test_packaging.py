"""What a user installing the package sees of it: its version and its licence."""

from __future__ import annotations

import importlib.metadata
import tomllib
from pathlib import Path

import pytest

import quillon
from quillon.cli.main import main

REPO = Path(__file__).resolve().parents[1]


def test_version_option_prints_the_package_version(capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as exited:
        main(["--version"])
    assert exited.value.code == 0
    assert capsys.readouterr().out == f"quillon {quillon.__version__}\n"


def test_version_and_licence_are_declared_once() -> None:
    try:
        installed = importlib.metadata.distribution("quillon")
    except importlib.metadata.PackageNotFoundError:
        installed = None
    if installed is not None and Path(str(installed.locate_file("quillon/__init__.py"))) == Path(quillon.__file__):
        assert installed.version == quillon.__version__
        assert installed.metadata["License-Expression"] == "Apache-2.0"
        assert any(path.name == "LICENSE" for path in installed.files or [])
    if not (REPO / "pyproject.toml").is_file():
        return
    project = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    assert "version" not in project and "version" in project["dynamic"]  # read from quillon/version.py
    assert project["license"] == "Apache-2.0"
    assert "Apache License" in (REPO / "LICENSE").read_text(encoding="utf-8").splitlines()[1]
