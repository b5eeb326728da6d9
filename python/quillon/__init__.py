"""quillon: a photonic integrated-circuit design tool.

``quillon.check(layout, reference)`` checks a layout cell against its
reference netlist and returns a :class:`~quillon.checking.CheckResult`
(see :mod:`quillon.checking`).

The package root stays light on purpose: importing ``quillon`` loads no
extension module, no web framework and no process design kit (``check`` is
loaded when first used). The pieces live in submodules:

- ``quillon.checking``: ``check``, its result and its findings;
- ``quillon.settings``: project settings read from ``pyproject.toml``;
- ``quillon.core.shared``: kit activation and cell source lookup;
- ``quillon.cli``: the ``quillon`` command line and the component tree helpers;
- ``quillon.build``: the kit's build cache, netlist schemas and circuit layouts
  built from netlist files (``quillon build``);
- ``quillon.generate_svg``: schematic symbols drawn from a component's layout;
- ``quillon.logger``: the package logger;
- ``quillon.serve.app``: the local HTTP application of the schematic editor;
- ``quillon.core.lvs`` and ``quillon.serve.schematic``: compiled extensions.
"""

from typing import TYPE_CHECKING, Any

from quillon.version import __version__ as __version__

if TYPE_CHECKING:
    from quillon.checking import CheckError as CheckError
    from quillon.checking import CheckResult as CheckResult
    from quillon.checking import check as check

#: The names the package root lends from :mod:`quillon.checking`.
_CHECKING = ("check", "CheckError", "CheckResult")


def __getattr__(name: str) -> Any:
    if name in _CHECKING:
        from quillon import checking

        return getattr(checking, name)
    raise AttributeError(f"module 'quillon' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *_CHECKING])
