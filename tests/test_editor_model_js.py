"""The editor's JavaScript model, unit-tested with node's own test runner (``tests/js``).

The modules tested are the ones the package ships (``quillon.serve.editor_routes.EDITOR_DIR``),
copied beside the tests with a ``package.json`` that marks them as ES modules.
"""

from __future__ import annotations

import json
import shutil
import subprocess
from pathlib import Path

import pytest

from quillon.serve.editor_routes import EDITOR_DIR

NODE = shutil.which("node") or shutil.which("nodejs")
TESTS = Path(__file__).resolve().parent / "js"


@pytest.mark.skipif(NODE is None, reason="node is not installed (Debian: apt-get install nodejs)")
def test_model_js(tmp_path: Path) -> None:
    shutil.copytree(EDITOR_DIR, tmp_path / "editor", ignore=shutil.ignore_patterns("*.html", "*.css"))
    shutil.copytree(TESTS, tmp_path / "tests")
    (tmp_path / "package.json").write_text(json.dumps({"type": "module"}))
    files = sorted(str(p) for p in (tmp_path / "tests").glob("*.test.js"))
    run = subprocess.run([str(NODE), "--test", *files], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]
