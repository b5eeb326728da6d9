"""``quillon build``: what a project derives from its kit and its netlist files.

- :mod:`quillon.build.kit_cache`: per component of the kit, its GDS, its cached
  ports file (the sides the editor draws its ports on) and its symbol, rebuilt
  only when the component or the kit changed;
- :mod:`quillon.build.hashes`: the hashes that tell it what changed (the
  schemas ask for the kit's too);
- :mod:`quillon.build.circuit_layout`: a circuit's layout from its ``.pic.yml``
  netlist file (:func:`~quillon.build.circuit_layout.build_circuit_gds`);
- :mod:`quillon.build.schemas`: the JSON Schema of the kit's netlist files,
  written where the header line of each netlist file points;
- :mod:`quillon.build.setting_types`: the type of every setting of a cell or
  routing function, as the editor's settings route describes it.

Importing this package loads nothing heavy; each module imports the component
libraries itself.
"""
