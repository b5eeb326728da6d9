"""Saves under faults: a full disk, a kill in the middle of saves, what a killed
save leaves behind, a directory swapped for a link while saves run.

After any of them each circuit holds the netlist and the schematic of one save,
and nothing outside the project was written.
"""

from __future__ import annotations

import os
import resource
import signal
import struct
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest
import yaml
from editor_project import Server, make_project, start_server, swapping_for_a_link, tree
from fastapi.testclient import TestClient

FILE_SIZE_LIMIT = 64 << 10


def tagged(tag: int, pad: int = 0, schematic_pad: int = 0) -> dict[str, Any]:
    """A document whose two parts name the save they belong to."""
    return {"netlist": {"tag": tag, "pad": "n" * pad}, "schematic": {"tag": tag, "pad": "s" * schematic_pad}}


def on_disk(stem: Path) -> tuple[Any, Any]:
    netlist = yaml.safe_load(stem.with_name(stem.name + ".pic.yml").read_text())
    schematic = yaml.safe_load(stem.with_name(stem.name + ".scm.yml").read_text())
    return netlist["tag"], schematic["tag"]


def temporaries(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if p.name.startswith(".q"))


# --------------------------------------------------------------------------- a full disk


def small_file_size_limit() -> None:
    """In the server process: writes past FILE_SIZE_LIMIT fail with EFBIG, as on a full disk."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))


@pytest.fixture(scope="module")
def full_disk_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[Server, Path]]:
    root = tmp_path_factory.mktemp("full-disk")
    project = make_project(root / "chips", name="chips", pdk=None)
    server = start_server(project, root / "server.log", preexec=small_file_size_limit)
    yield server, project
    server.stop()


@pytest.mark.parametrize(
    "too_large",
    [tagged(2, pad=2 * FILE_SIZE_LIMIT), tagged(2, schematic_pad=2 * FILE_SIZE_LIMIT)],
    ids=["netlist", "schematic"],
)
def test_a_save_that_does_not_fit_changes_neither_file(
    full_disk_server: tuple[Server, Path], too_large: dict[str, Any]
) -> None:
    server, project = full_disk_server
    with httpx.Client(base_url=server.url) as client:
        assert client.post("assets/netlists/chips/full.json", json=tagged(1)).status_code == 200
        response = client.post("assets/netlists/chips/full.json", json=too_large)
        assert (response.status_code, response.text) == (500, "could not save: File too large; nothing was changed")
        assert client.get("assets/netlists/chips/full.json").json() == tagged(1)
    assert on_disk(project / "chips" / "full") == (1, 1)
    assert temporaries(project / "chips") == []


# --------------------------------------------------------------------------- a kill during saves

CIRCUITS = 4
SAVES_BEFORE_THE_KILL = 60


def test_a_kill_during_a_stream_of_saves_leaves_each_circuit_from_one_save(tmp_path: Path) -> None:
    project = make_project(tmp_path / "chips", name="chips", pdk=None)
    server = start_server(project, tmp_path / "killed.log")
    saved = threading.Semaphore(0)
    stop = threading.Event()

    def stream(circuit: int) -> None:
        with httpx.Client(base_url=server.url) as client:
            for version in range(1, 1_000_000):
                if stop.is_set():
                    return
                try:
                    client.post(f"assets/netlists/chips/k{circuit}.json", json=tagged(version, pad=20_000))
                except httpx.HTTPError:
                    return  # the server is gone
                saved.release()

    writers = [threading.Thread(target=stream, args=(c,)) for c in range(CIRCUITS)]
    for writer in writers:
        writer.start()
    for _ in range(SAVES_BEFORE_THE_KILL):
        saved.acquire()
    server.stop(kill=True)
    stop.set()
    for writer in writers:
        writer.join()

    restarted = start_server(project, tmp_path / "restarted.log")
    try:
        with httpx.Client(base_url=restarted.url) as client:
            for circuit in range(CIRCUITS):
                document = client.get(f"assets/netlists/chips/k{circuit}.json").json()
                assert document["netlist"]["tag"] == document["schematic"]["tag"]
                assert on_disk(project / "chips" / f"k{circuit}") == (document["netlist"]["tag"],) * 2
    finally:
        restarted.stop()
    assert temporaries(project / "chips") == []


# --------------------------------------------------------------------------- what a killed save leaves


def temporary(netlist: Path, stage: int) -> Path:
    """The temporary file of a save's stage (1 the schematic, 2 the netlist): a
    short name derived from the netlist's directory and name."""
    status = os.stat(netlist.parent)
    key = 0xCBF29CE484222325
    for byte in struct.pack("=QQ", status.st_dev, status.st_ino) + netlist.name.encode():
        key = ((key ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return netlist.parent / f".q{key & 0xFFFFFFFFFFFF:012x}.{stage}"


def netlist_text(client: TestClient, url: str, document: dict[str, Any], stem: Path) -> str:
    """The netlist file a save of ``document`` writes (saved once to learn it, then the old save restored)."""
    old = client.get(url).json()
    assert client.post(url, json=document).status_code == 200
    text = stem.with_name(stem.name + ".pic.yml").read_text()
    assert client.post(url, json=old).status_code == 200
    return text


# Each case plants what a save of tag 2 killed at some point leaves beside the
# files of save 1, and gives the tag a read sees afterwards.
Leftovers = Callable[[Path, str], None]
KILLED_SAVES: dict[str, tuple[Leftovers, int]] = {
    "while writing the schematic": (
        lambda stem, netlist: temporary(stem.with_name("c.pic.yml"), 1).write_text("tag: 2\npa"),
        1,
    ),
    "while writing the netlist": (
        lambda stem, netlist: (
            temporary(stem.with_name("c.pic.yml"), 1).write_text(yaml.safe_dump(tagged(2)["schematic"])),
            temporary(stem.with_name("c.pic.yml"), 2).write_text(netlist[:10]),
        ),
        1,
    ),
    "before the first rename": (
        lambda stem, netlist: (
            temporary(stem.with_name("c.pic.yml"), 1).write_text(yaml.safe_dump(tagged(2)["schematic"])),
            temporary(stem.with_name("c.pic.yml"), 2).write_text(netlist),
        ),
        1,
    ),
    "between the renames": (
        lambda stem, netlist: (
            stem.with_name("c.scm.yml").write_text(yaml.safe_dump(tagged(2)["schematic"])),
            temporary(stem.with_name("c.pic.yml"), 2).write_text(netlist),
        ),
        2,
    ),
}


@pytest.mark.parametrize("case", KILLED_SAVES.values(), ids=KILLED_SAVES.keys())
@pytest.mark.parametrize("next_access", ["read", "save"])
def test_the_next_access_finishes_or_undoes_a_killed_save(
    client: TestClient, project: Path, circuit_dir: Path, case: tuple[Leftovers, int], next_access: str
) -> None:
    leftovers, expected = case
    stem = circuit_dir / "c"
    url = f"/assets/netlists/{stem.relative_to(project)}.json"
    assert client.post(url, json=tagged(1)).status_code == 200
    leftovers(stem, netlist_text(client, url, tagged(2), stem))
    if next_access == "read":
        assert client.get(url).json() == tagged(expected)
    else:
        assert client.post(url, json=tagged(3)).status_code == 200
        expected = 3
    assert on_disk(stem) == (expected, expected)
    assert temporaries(circuit_dir) == []


# --------------------------------------------------------------------------- a directory swapped for a link


def test_a_directory_swapped_for_a_link_during_saves_never_sends_a_save_outside(
    client: TestClient, project: Path, circuit_dir: Path, outside: Path
) -> None:
    target = circuit_dir / "swap"
    target.mkdir()
    statuses = set()
    with swapping_for_a_link(target, outside):
        for version in range(40):
            response = client.post(
                f"/assets/netlists/{target.relative_to(project)}/c.json", json=tagged(version, pad=100_000)
            )
            assert response.text and "\n" not in response.text.strip()
            statuses.add(response.status_code)
    assert statuses <= {200, 404, 409, 500}
    assert tree(outside) == {"secret.pic.yml"}
