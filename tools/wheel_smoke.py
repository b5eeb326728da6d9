"""Smoke test of an installed quillon, run by tools/check-wheel in a fresh venv.

Run from an empty directory, so that nothing of the source tree is imported:
the demo check, a circuit built and checked clean, a new project's editor
service answering over HTTP, and the typed face of the compiled modules.
"""

from __future__ import annotations

import inspect
import shutil
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

TIMEOUT = 300  # seconds: only guards against a command that hangs


def run(*argv: str, expect: int = 0) -> str:
    """The output of ``quillon ARGV``, which must exit with `expect`."""
    done = subprocess.run(["quillon", *argv], capture_output=True, text=True, timeout=TIMEOUT)
    if done.returncode != expect:
        sys.exit(f"smoke: quillon {' '.join(argv)} exited with {done.returncode}, not {expect}:\n{done.stderr}")
    return done.stdout


def check(what: str, ok: bool) -> None:
    if not ok:
        sys.exit(f"smoke: failed: {what}")
    print(f"smoke: ok: {what}")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def served(project: Path, path: str) -> tuple[int, bytes]:
    """Start ``quillon serve`` for the project, GET `path`, stop it."""
    port = free_port()
    server = subprocess.Popen(
        ["quillon", "serve", "--project-dir", str(project), "--port", str(port)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    try:
        deadline = time.monotonic() + TIMEOUT
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=30) as response:
                    return response.status, response.read()
            except OSError:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
    finally:
        server.terminate()
        server.wait(timeout=TIMEOUT)


def main() -> None:
    import klayout.rdb as rdb

    import quillon
    from quillon.core import lvs

    check("no compiler on PATH", not [c for c in ("cc", "c++", "gcc", "g++", "clang", "clang++") if shutil.which(c)])
    check("quillon is the installed package", "site-packages" in Path(quillon.__file__).parts)
    check("quillon --version", run("--version").strip() == f"quillon {quillon.__version__}")

    run("lvs", expect=1)  # the demo holds a fault of every kind
    report = rdb.ReportDatabase()
    report.load("demo_splitter.lyrdb")
    check("the demo check writes its findings", report.num_items() > 0)

    run("init", "chip")
    run("build", "--project-dir", "chip")
    circuit, layout = "chip/chip/demo_mzi.pic.yml", "chip/build/demo_mzi.gds"
    run("build", circuit, "-o", layout, "--project-dir", "chip")
    check("a built circuit checks clean", "no findings" in run("lvs", layout, circuit, "--project-dir", "chip"))
    status, body = served(Path("chip").resolve(), "/assets/netlists/chip/demo_mzi.json")
    check("the editor service serves the new project", status == 200 and b"splitter" in body)

    check("compiled operations have signatures", "ref" in inspect.signature(lvs.optical_lvs).parameters)
    check(
        "stubs and py.typed are installed",
        Path(lvs.__file__).with_name("lvs.pyi").is_file() and Path(quillon.__file__).with_name("py.typed").is_file(),
    )


if __name__ == "__main__":
    main()
