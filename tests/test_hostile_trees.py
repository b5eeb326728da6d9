"""Hostile project trees, at start-up and in requests: crafted cache files, links, pipes, deep trees.

Each case makes a project hostile, then runs ``quillon build`` and ``quillon
serve`` on it as users run them. Whatever the tree: nothing outside the project
is read, written or deleted (nor anything of the project outside the cache),
nothing waits on a named pipe, the service starts and answers, and what is
skipped or refused is said in one line, never a traceback.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import httpx
import pytest
from editor_project import PDK_NAME, PROJECT_NAME, make_project, start_server, swapping_for_a_link

from quillon.build.kit_cache import CACHE_FORMAT

LIMIT = 120  # seconds: a command or request that waits on a pipe never ends, so any bound shows it
DEEP = 1000  # levels of directories, far beyond the listing's bound
VICTIM = "kept by its owner\n"


def make_deep_tree(top: Path, bottom_file: str) -> None:
    """`DEEP` nested directories "d" below `top`, made one at a time from handles
    (the whole path is longer than the system takes in one name), with a file at the bottom."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(DEEP):
            os.mkdir("d", dir_fd=fd)
            inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        os.close(os.open(bottom_file, os.O_WRONLY | os.O_CREAT, dir_fd=fd))
    finally:
        os.close(fd)


def hashes(project: Path, components: dict[str, object]) -> None:
    """A ``hashes.json`` of the kit's own format and kit, naming `components`."""
    path = project / "build" / "gds" / "pdk" / "hashes.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    state = {"format": CACHE_FORMAT, "kit": PDK_NAME, "kit_hash": "stale", "components": components, "failed": []}
    path.write_text(json.dumps(state))


def link(at: Path, to: Path) -> None:
    at.parent.mkdir(parents=True, exist_ok=True)
    at.symlink_to(to, target_is_directory=to.is_dir())


def fifo(at: Path) -> None:
    at.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(at)


def victims(*stems: Path) -> None:
    for stem in stems:
        stem.parent.mkdir(parents=True, exist_ok=True)
        for suffix in (".json", ".gds"):
            stem.with_suffix(suffix).write_text(VICTIM)


def climbing_names(p: Path, o: Path) -> None:
    victims(o / "victim", p / PROJECT_NAME / "keep")
    entry = {"source": None, "hash": None}
    hashes(
        p,
        {
            "../../../../outside/victim": entry,
            f"../../../{PROJECT_NAME}/keep": entry,
            "/abs": entry,
            "": entry,
            "..": entry,
            "a\nb": entry,
        },
    )


def ports_linked_into_the_sources(p: Path, o: Path) -> None:
    victims(p / PROJECT_NAME / "keep")
    link(p / "build" / "gds" / "pdk" / "ports", p / PROJECT_NAME)
    hashes(p, {"keep": {"source": None, "hash": None}})


def deep_tree(p: Path, o: Path) -> None:
    make_deep_tree(p / PROJECT_NAME, "bottom.pic.yml")


@dataclass(frozen=True)
class Case:
    setup: Callable[[Path, Path], None]
    build_status: int = 0
    #: a text every line quillon build writes on stderr holds (None: it writes nothing)
    says: str | None = None
    circuits: tuple[str, ...] = (f"{PROJECT_NAME}/top",)
    #: also run `quillon serve` on it (the cases that once deleted, wrote outside, hung or failed it)
    serve: bool = False


CASES: dict[str, Case] = {
    "stale names that climb out of the cache": Case(climbing_names, serve=True),
    "stale name through a link of the cache into the sources": Case(
        ports_linked_into_the_sources, says="was left in place: it leads outside the cache directory"
    ),
    "build linked outside": Case(
        lambda p, o: link(p / "build", o), 2, "leads outside the project directory", serve=True
    ),
    "symbol cache linked outside": Case(
        lambda p, o: link(p / "build" / "svg", o), 1, "leads outside the project directory"
    ),
    "schemas linked outside": Case(
        lambda p, o: link(p / "build" / "schemas", o), 2, "leads outside the project directory"
    ),
    "hashes.json is a named pipe": Case(lambda p, o: fifo(p / "build" / "gds" / "pdk" / "hashes.json"), serve=True),
    "a cached ports file is a named pipe": Case(
        lambda p, o: fifo(p / "build" / "gds" / "pdk" / "ports" / "straight.json")
    ),
    "a source named in hashes.json is a named pipe": Case(
        lambda p, o: (fifo(o / "pipe.py"), hashes(p, {"straight": {"source": str(o / "pipe.py"), "hash": "x"}}))
    ),
    "hashes.json nested too deep": Case(
        lambda p, o: (hashes(p, {}), (p / "build" / "gds" / "pdk" / "hashes.json").write_text("[" * 100_000))
    ),
    "schema stamp is a named pipe": Case(lambda p, o: fifo(p / "build" / "schemas" / ".kit")),
    "1000 levels of directories": Case(deep_tree, says="directories more than 32 levels deep are skipped", serve=True),
    "a netlist file nested 100,000 deep": Case(
        lambda p, o: (p / PROJECT_NAME / "nested.pic.yml").write_text("instances: " + "[" * 100_000),
        circuits=(f"{PROJECT_NAME}/nested", f"{PROJECT_NAME}/top"),
        serve=True,
    ),
    "source directory linked outside": Case(lambda p, o: link(p / PROJECT_NAME / "linked", o), serve=True),
    "the whole source directory linked outside": Case(
        lambda p, o: (os.rename(p / PROJECT_NAME, o / "sources"), link(p / PROJECT_NAME, o / "sources")),
        circuits=(),
        serve=True,
    ),
}


def listing(root: Path) -> dict[str, str]:
    """Every entry below `root` with its kind and content, links not followed (nor deep trees walked)."""
    found: dict[str, str] = {}
    for here, dirs, files in os.walk(root):
        for name in dirs + files:
            path = Path(here) / name
            kind = "link" if path.is_symlink() else "fifo" if path.is_fifo() else "dir" if path.is_dir() else "file"
            found[str(path.relative_to(root))] = path.read_text() if kind == "file" else kind
        dirs[:] = [d for d in dirs if d != "d"]  # the deep tree: its top stands for it
    return found


@pytest.fixture
def hostile(tmp_path: Path, request: pytest.FixtureRequest) -> Iterator[tuple[Path, Path, Case]]:
    """A project with a circuit, made hostile by the case; the directory outside it."""
    case: Case = CASES[request.param]
    project = make_project(tmp_path / "project")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.pic.yml").write_text("instances: {}\n")
    (project / PROJECT_NAME / "top.pic.yml").write_text("instances: {}\n")
    case.setup(project, outside)
    yield project, outside, case
    # a tree too deep for a recursive removal, taken down by the system's own tool
    subprocess.run(["rm", "-rf", str(tmp_path)], check=False)


def quillon(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    env.pop("QUILLON_PROJECT_DIR", None)
    return subprocess.run(
        [sys.executable, "-m", "quillon", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=LIMIT,
        check=False,
    )


def assert_one_line_each(stderr: str, says: str | None) -> None:
    assert "Traceback" not in stderr
    lines = stderr.splitlines()
    if says is None:
        assert lines == []
    else:
        assert lines and all(says in line for line in lines), stderr


def assert_untouched(project: Path, outside: Path, before: dict[str, str]) -> None:
    assert listing(outside) == before
    for stem in (project / PROJECT_NAME / "keep", outside / "victim"):
        for suffix in (".json", ".gds"):
            if stem.with_suffix(suffix).exists() or stem.with_suffix(suffix).is_symlink():
                assert stem.with_suffix(suffix).read_text() == VICTIM


@pytest.mark.parametrize("hostile", CASES, indirect=True)
def test_quillon_build_on_a_hostile_tree(hostile: tuple[Path, Path, Case]) -> None:
    project, outside, case = hostile
    before = listing(outside)
    done = quillon("build", "--project-dir", str(project), cwd=project.parent)
    assert done.returncode == case.build_status, done.stderr
    assert_one_line_each(done.stderr, case.says)
    assert_untouched(project, outside, before)
    if case.build_status == 0:
        assert (project / "build" / "gds" / "pdk" / "ports" / "straight.json").is_file()
        assert (project / "build" / "schemas" / "top.json").is_file() == bool(case.circuits)


@pytest.mark.parametrize("hostile", [name for name, case in CASES.items() if case.serve], indirect=True)
def test_quillon_serve_on_a_hostile_tree(hostile: tuple[Path, Path, Case], tmp_path: Path) -> None:
    project, outside, case = hostile
    before = listing(outside)
    server = start_server(project, tmp_path / "server.log")
    try:
        with httpx.Client(base_url=server.url, timeout=LIMIT) as client:
            assert client.get("/").status_code == 200
            answer = client.get("api/circuits.json")
            assert answer.status_code == 200
            assert answer.json()["circuits"] == list(case.circuits)
            for circuit in case.circuits:  # each read, or refused in one line
                read = client.get(f"assets/netlists/{circuit}.json")
                assert read.status_code in (200, 422) and "\n" not in read.text.strip(), read.text
            assert client.get("assets/ports/straight.json").status_code == 200
            # a read of a path 1000 levels deep creates nothing
            assert client.get(f"assets/netlists/{PROJECT_NAME}/{'n/' * DEEP}x.json").status_code in (200, 404)
            assert not (project / PROJECT_NAME / "n").exists()
    finally:
        server.stop()
    log = (tmp_path / "server.log").read_text()
    assert "Traceback" not in log and "secret" not in log
    assert_untouched(project, outside, before)


@pytest.mark.parametrize(
    ("bound", "says"),
    [
        ({"max_entries": 5}, "listed only the first 5 entries; the rest of the tree is skipped"),
        ({"max_depth": 2}, "directories more than 2 levels deep are skipped (first: a/b/c)"),
    ],
    ids=["entries", "depth"],
)
def test_a_listing_stops_at_its_bound_and_says_so(tmp_path: Path, bound: dict[str, int], says: str) -> None:
    """The service's bounds are these, at 200,000 entries and 32 levels."""
    from quillon import files

    for number in range(10):
        (tmp_path / f"c{number}.pic.yml").write_text("")
    (tmp_path / "a" / "b" / "c").mkdir(parents=True)
    (tmp_path / "a" / "b" / "c" / "deep.pic.yml").write_text("")
    listing = files.list_files(tmp_path, "", ".pic.yml", **bound)
    assert listing.skipped == f"{tmp_path}: {says}"
    assert len(listing.files) == (5 if "max_entries" in bound else 10)


def test_a_schema_directory_swapped_for_a_link_during_saves_never_writes_outside(tmp_path: Path) -> None:
    project = make_project(tmp_path / "project")
    outside = tmp_path / "outside"
    outside.mkdir()
    server = start_server(project, tmp_path / "server.log")
    schemas = project / "build" / "schemas"
    schemas.mkdir(parents=True, exist_ok=True)
    try:
        with swapping_for_a_link(schemas, outside), httpx.Client(base_url=server.url, timeout=LIMIT) as client:
            for number in range(40):  # each a new circuit, which gets its schema written
                response = client.post(f"assets/netlists/{PROJECT_NAME}/c{number}.json", json={"netlist": {}})
                assert response.status_code == 200, response.text
    finally:
        server.stop()
    assert os.listdir(outside) == []


@pytest.mark.parametrize(
    ("command", "refusal"),
    [
        ("lvs", "cannot read reference netlist {pipe!r}: not a regular file"),
        ("lvs layout", "layout {pipe!r} is not a regular file"),
        ("build", "netlist file {pipe!r} is not a regular file"),
    ],
)
def test_a_named_pipe_given_to_a_command_is_refused(tmp_path: Path, command: str, refusal: str) -> None:
    from quillon import demo

    pipe = str(tmp_path / "ref.pic.yml")
    os.mkfifo(pipe)
    arguments = {
        "lvs": [str(demo.LAYOUT), pipe, "-o", str(tmp_path / "r.lyrdb")],
        "lvs layout": [pipe, str(demo.REFERENCE), "-o", str(tmp_path / "r.lyrdb")],
        "build": [pipe],
    }[command]
    command = command.split()[0]
    done = quillon(command, *arguments, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (2, f"quillon {command}: error: {refusal.format(pipe=pipe)}\n")
