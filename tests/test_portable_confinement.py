"""The confined file walk built without Linux's O_PATH keeps its guarantees.

The POSIX sources of ``src/files`` are compiled alone with strict POSIX flags
(no GNU extensions: the portable directory handles, and entry types read from
each entry's status), linked with a small driver
(``tests/native/confined_walk.cpp``) and run on real directories, links and a
named pipe. :mod:`quillon.files`, built for this machine, must answer alike.
"""

from __future__ import annotations

import errno
import os
import shutil
import subprocess
from collections.abc import Callable
from pathlib import Path

import pytest

from quillon import files

REPO = Path(__file__).resolve().parents[1]
POSIX_SOURCES = [
    REPO / "src" / "files" / name for name in ("confined_files.cpp", "confined_tree.cpp", "atomic_write.cpp")
]
STRICT_POSIX = ["-std=c++17", "-pedantic", "-U_GNU_SOURCE", "-D_XOPEN_SOURCE=700", "-Wall", "-Wextra", "-Werror"]

OUTSIDE = "leads outside the project directory"
NOT_REGULAR = "is not a regular file"


@pytest.fixture(scope="module")
def portable_walk(tmp_path_factory: pytest.TempPathFactory) -> Path:
    if not (REPO / "CMakeLists.txt").is_file():
        pytest.skip("needs the C++ sources (a clone, not an installed package)")
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("needs a C++ compiler")
    fcntl_macros = subprocess.run(
        [compiler, *STRICT_POSIX, "-dM", "-E", "-x", "c++", "-"],
        input="#include <fcntl.h>\n",
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert "#define O_PATH " not in fcntl_macros  # the fallback is what gets compiled
    walk = tmp_path_factory.mktemp("posix") / "confined_walk"
    driver = REPO / "tests" / "native" / "confined_walk.cpp"
    build = subprocess.run(
        [compiler, *STRICT_POSIX, f"-I{REPO / 'include'}", *map(str, POSIX_SOURCES), str(driver), "-o", str(walk)],
        capture_output=True,
        text=True,
    )
    assert build.returncode == 0, build.stderr
    return walk


@pytest.fixture
def root(tmp_path: Path) -> Path:
    """A project with a file, a directory, links in and out, a pipe and a link loop."""
    project, outside, sibling = tmp_path / "project", tmp_path / "outside", tmp_path / "project-evil"
    for directory in (project / "sub", outside, sibling):
        directory.mkdir(parents=True)
    (project / "file").write_bytes(b"inside\n")
    (project / "sub" / "file").write_bytes(b"below\n")
    (project / "sub" / "deeper").mkdir()
    (project / "sub" / "deeper" / "a.pic.yml").write_bytes(b"a\n")
    (project / "b.pic.yml").write_bytes(b"b\n")
    (project / "link.pic.yml").symlink_to("b.pic.yml")
    (outside / "secret").write_bytes(b"secret\n")
    (sibling / "secret").write_bytes(b"secret\n")
    links = {
        "link_inside": "sub/file",
        "dir_link_inside": "sub",
        "absolute_link_inside": str(project / "sub"),
        "file_link_out": "../outside/secret",
        "dir_link_out": "../outside",
        "absolute_link_out": str(outside),
        "link_up": "..",
        "loop": "loop",
    }
    for name, target in links.items():
        (project / name).symlink_to(target)
    os.mkfifo(project / "fifo")
    return project


Path_ = Callable[[Path], str]
CASES: dict[str, tuple[Path_, bytes | str]] = {
    "a file": (lambda r: "file", b"inside\n"),
    "a file below": (lambda r: "sub/file", b"below\n"),
    "dot segments inside": (lambda r: "./sub/../sub/./file", b"below\n"),
    "absolute inside": (lambda r: str(r / "sub" / "file"), b"below\n"),
    "link to a file inside": (lambda r: "link_inside", b"below\n"),
    "link to a directory inside": (lambda r: "dir_link_inside/file", b"below\n"),
    "absolute link inside": (lambda r: "absolute_link_inside/file", b"below\n"),
    "dot-dot out": (lambda r: "../outside/secret", OUTSIDE),
    "dot-dot out below": (lambda r: "sub/../../outside/secret", OUTSIDE),
    "absolute outside": (lambda r: str(r.parent / "outside" / "secret"), OUTSIDE),
    "sibling with the root as prefix": (lambda r: f"{r}-evil/secret", OUTSIDE),
    "link to a file outside": (lambda r: "file_link_out", OUTSIDE),
    "link to a directory outside": (lambda r: "dir_link_out/secret", OUTSIDE),
    "absolute link outside": (lambda r: "absolute_link_out/secret", OUTSIDE),
    "link to the parent": (lambda r: "link_up/outside/secret", OUTSIDE),
    "named pipe": (lambda r: "fifo", NOT_REGULAR),
    "directory": (lambda r: "sub", NOT_REGULAR),
    "link loop": (lambda r: "loop", os.strerror(errno.ELOOP)),
    "file as a directory": (lambda r: "file/x", os.strerror(errno.ENOTDIR)),
    "missing": (lambda r: "sub/missing", os.strerror(errno.ENOENT)),
}


def portable(walk: Path, *args: str) -> bytes | str:
    done = subprocess.run([str(walk), *args], capture_output=True, timeout=60)
    return done.stdout if done.returncode == 0 else done.stdout.decode().strip()


def built_outcome(root: Path, path: str) -> bytes | str:
    try:
        content = files.read_file(root, path)
    except OSError as exc:  # errno errors carry strerror; the walk's own refusals say it after the path
        return exc.strerror or str(exc).rsplit(": ", 1)[-1]
    return os.strerror(errno.ENOENT) if content is None else content


@pytest.mark.parametrize(("path", "expected"), CASES.values(), ids=CASES.keys())
def test_portable_walk_reads_and_refuses_as_the_built_one(
    portable_walk: Path, root: Path, path: Path_, expected: bytes | str
) -> None:
    given = path(root)
    assert portable(portable_walk, "read", str(root), given) == expected
    assert built_outcome(root, given) == expected


@pytest.mark.parametrize(
    ("links", "expected"),
    [(False, ["b.pic.yml", "sub/deeper/a.pic.yml"]), (True, ["b.pic.yml", "link.pic.yml", "sub/deeper/a.pic.yml"])],
)
def test_portable_listing_enters_no_link_as_the_built_one(
    portable_walk: Path, root: Path, links: bool, expected: list[str]
) -> None:
    listed = portable(portable_walk, "list", str(root), ".pic.yml", "1" if links else "0")
    assert isinstance(listed, bytes)
    assert sorted(listed.decode().splitlines()) == expected
    assert sorted(files.list_files(root, "", ".pic.yml", include_links=links).files) == expected
