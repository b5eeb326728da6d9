"""quillon: a photonic integrated-circuit design tool.

The package root stays light on purpose: importing ``quillon`` loads no
extension module, no web framework and no process design kit. The pieces live
in submodules:

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

# The one place the version is written: the package metadata reads it from here.
__version__ = "0.1.0"
