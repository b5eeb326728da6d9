"""The Python packages are layered: no module imports, directly or through others,
a module that imports it back, nor the package it belongs to. Every import
counts, those inside functions and under `TYPE_CHECKING` too; read from the
sources, nothing is imported."""

from __future__ import annotations

import ast
import re
from pathlib import Path

SOURCES = Path(__file__).resolve().parents[1] / "python"


def _name(path: Path) -> str:
    parts = path.relative_to(SOURCES).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _compiled() -> set[str]:
    """The compiled modules, as CMakeLists.txt lists them for their stubs: built in
    place or only installed, they are there whether or not `python/` holds them."""
    text = (SOURCES.parent / "CMakeLists.txt").read_text(encoding="utf-8")

    def listed(variable: str) -> list[str]:
        found = re.search(rf"set\({variable} ([^)]*)\)", text)
        assert found, f"CMakeLists.txt no longer sets {variable}"
        return found.group(1).split()

    return {
        f"{package.replace('/', '.')}.{target}"
        for target, package in zip(listed("STUB_TARGETS"), listed("STUB_PACKAGES"), strict=True)
    }


def import_graph() -> dict[str, set[str]]:
    """Each Python module of `python/` with the modules of `python/` it imports.

    `from a import b` imports the module `a.b` when there is one (compiled ones
    included), else `a` itself; `import a.b` imports `a.b`."""
    sources = {_name(path): path for path in SOURCES.rglob("*.py")}
    known = set(sources) | _compiled()
    graph: dict[str, set[str]] = {}
    for name, path in sources.items():
        package = name if path.name == "__init__.py" else name.rpartition(".")[0]
        imported: set[str] = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                imported.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    parts = package.split(".")
                    base = ".".join([*parts[: len(parts) - node.level + 1], *filter(None, [node.module])])
                for alias in node.names:
                    imported.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in known else base)
        graph[name] = {module for module in imported if module in sources and module != name}
    return graph


def circle(graph: dict[str, set[str]]) -> list[str] | None:
    """A circle of imports (its first module repeated at the end), or None."""
    done: set[str] = set()
    path: list[str] = []

    def visit(module: str) -> list[str] | None:
        if module in path:
            return [*path[path.index(module) :], module]
        if module in done:
            return None
        path.append(module)
        found = next(filter(None, (visit(other) for other in sorted(graph[module]))), None)
        path.pop()
        done.add(module)
        return found

    return next(filter(None, (visit(module) for module in sorted(graph))), None)


def test_the_graph_is_read_as_python_resolves_imports() -> None:
    graph = import_graph()
    assert {"cellgrid.port", "cellgrid.conf"} <= graph["cellgrid"]  # relative, and `from . import conf`
    assert "quillon" not in graph["quillon.files"]  # `from quillon import _files`: the compiled module
    assert "quillon.build.schemas" in graph["quillon.build.kit_cache"]  # inside a function


def test_no_module_imports_one_that_imports_it_back() -> None:
    found = circle(import_graph())
    assert found is None, "import circle: " + " -> ".join(found or [])


def test_no_module_imports_the_package_it_belongs_to() -> None:
    graph = import_graph()
    upward = [
        (module, other) for module, imported in graph.items() for other in imported if module.startswith(f"{other}.")
    ]
    assert not upward, upward
