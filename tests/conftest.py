"""Session-wide test setup.

The editor service's app reads its project once, at import. The plugin
``editor_project`` (tests/editor_project.py) points it at a temporary project
when pytest starts, before any test module imports it, and provides the
editor fixtures (``project``, ``schematic``, ``client``, ``circuit_dir``,
``outside``).
"""

pytest_plugins = ["editor_project"]
