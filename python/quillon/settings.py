"""Project settings, read from the ``[tool.quillon]`` table of ``pyproject.toml``.

The project directory is the value of the environment variable
``QUILLON_PROJECT_DIR`` when it is set and not empty, else the current working
directory. Its ``pyproject.toml`` may hold::

    [tool.quillon]
    name = "demo"  # source directory of the project, below the project dir

    [tool.quillon.pdk]
    name = "demo_pdk"  # importable package name of the process design kit

``pdk = "demo_pdk"`` is accepted as a short form of the ``pdk`` table.

Defaults: without the file, without the table or without one of the keys, the
name is the base name of the project directory (a project kept in ``~/work/ring``
has its sources in ``~/work/ring/ring``) and the kit is :data:`DEFAULT_PDK`
(``PdkSettings.named`` then tells that no file named it).

The file is read afresh on every call, so edits take effect without a restart.
Unreadable TOML, values of the wrong type and unknown keys raise
:class:`SettingsError`, which names the file.
"""

from __future__ import annotations

import os
import re
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

__all__ = [
    "DEFAULT_PDK",
    "PROJECT_DIR_ENV",
    "PdkSettings",
    "Settings",
    "SettingsError",
    "get_settings",
    "project_dir",
]

PROJECT_DIR_ENV = "QUILLON_PROJECT_DIR"
DEFAULT_PDK = "demo_pdk"

# A kit name must be importable: dotted Python identifiers.
_MODULE_NAME = re.compile(r"[A-Za-z_]\w*(\.[A-Za-z_]\w*)*\Z")


class SettingsError(ValueError):
    """The project's settings file cannot be used."""


@dataclass(frozen=True)
class PdkSettings:
    """Which process design kit the project uses; `named` is false when no
    settings file names one and the name is :data:`DEFAULT_PDK` by default."""

    name: str = DEFAULT_PDK
    named: bool = field(default=False, compare=False)


@dataclass(frozen=True)
class Settings:
    """Settings of one project."""

    name: str
    pdk: PdkSettings = field(default_factory=PdkSettings)


def project_dir() -> Path:
    """Return the absolute project directory (``QUILLON_PROJECT_DIR`` or the cwd)."""
    configured = os.environ.get(PROJECT_DIR_ENV, "")
    return Path(os.path.abspath(configured or os.getcwd()))


def get_settings(directory: str | os.PathLike[str] | None = None) -> Settings:
    """Return the settings of the project in ``directory`` (default :func:`project_dir`)."""
    root = Path(os.path.abspath(directory)) if directory is not None else project_dir()
    path = root / "pyproject.toml"
    table = _read_table(path)
    default_name = root.name or "src"  # the file system root has no base name
    return _parse(table, path, default_name)


def _read_table(path: Path) -> dict[str, Any]:
    """Return the ``[tool.quillon]`` table of ``path``; empty when it has none."""
    from quillon.files import read_regular

    try:
        # only a regular file: a named pipe in its place would hold every command
        data = tomllib.loads(read_regular(path).decode("utf-8"))
    except FileNotFoundError:
        return {}
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as exc:
        raise SettingsError(f"{path}: not valid TOML: {exc}") from exc
    except RecursionError:  # the reader recurses per level of nested arrays and tables
        raise SettingsError(f"{path}: not valid TOML: values nested too deep") from None
    except OSError as exc:
        raise SettingsError(f"{path}: cannot be read: {exc.strerror or 'not a regular file'}") from exc
    tool = data.get("tool", {})
    if not isinstance(tool, dict):
        raise SettingsError(f"{path}: 'tool' must be a table")
    table = tool.get("quillon", {})
    if not isinstance(table, dict):
        raise SettingsError(f"{path}: 'tool.quillon' must be a table")
    return table


def _parse(table: dict[str, Any], path: Path, default_name: str) -> Settings:
    _reject_unknown(table, {"name", "pdk"}, "tool.quillon", path)
    name = table.get("name", default_name)
    if not isinstance(name, str) or not name.strip():
        raise SettingsError(f"{path}: 'tool.quillon.name' must be a non-empty string, got {name!r}")
    if name in (".", "..") or "/" in name or "\\" in name:
        raise SettingsError(
            f"{path}: 'tool.quillon.name' must name a directory directly below the project, got {name!r}"
        )

    pdk = table.get("pdk", {})
    if isinstance(pdk, str):
        pdk = {"name": pdk}
    if not isinstance(pdk, dict):
        raise SettingsError(f"{path}: 'tool.quillon.pdk' must be a table or a string, got {pdk!r}")
    _reject_unknown(pdk, {"name"}, "tool.quillon.pdk", path)
    named = "name" in pdk
    pdk_name = pdk.get("name", DEFAULT_PDK)
    if not isinstance(pdk_name, str) or not _MODULE_NAME.match(pdk_name):
        raise SettingsError(f"{path}: 'tool.quillon.pdk.name' must be an importable package name, got {pdk_name!r}")
    return Settings(name=name, pdk=PdkSettings(name=pdk_name, named=named))


def _reject_unknown(table: dict[str, Any], known: set[str], where: str, path: Path) -> None:
    unknown = sorted(set(table) - known)
    if unknown:
        raise SettingsError(
            f"{path}: unknown key(s) in '{where}': {', '.join(unknown)} (known: {', '.join(sorted(known))})"
        )
