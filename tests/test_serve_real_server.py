"""The editor service as users run it: ``quillon serve`` on a real socket, real HTTP clients."""

from __future__ import annotations

import argparse
import asyncio
import http.client
import socket
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import httpx
import pytest
import yaml
from editor_project import STARTUP_LIMIT, Server, make_project, start_server

from quillon.cli import serve


@pytest.fixture(scope="module")
def served(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[Server, Path]]:
    root = tmp_path_factory.mktemp("served")
    project = make_project(root / "chips", name="chips", pdk=None)  # no kit named: the demo kit
    server = start_server(project, root / "server.log", "--max-body-mb", "1")
    yield server, project
    server.stop()


def raw_request(
    port: int, method: str, target: str, headers: dict[str, str] | None = None, body: bytes | None = None
) -> tuple[int, str]:
    """A request sent exactly as written (no client-side normalisation of the path)."""
    connection = http.client.HTTPConnection("127.0.0.1", port)
    try:
        connection.request(method, target, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()


def test_banner_names_the_project_the_default_kit_and_the_url(served: tuple[Server, Path]) -> None:
    server, project = served
    assert server.banner.startswith(f"quillon: serving {project} (kit demo_pdk) at http://127.0.0.1:")
    assert server.url == f"http://127.0.0.1:{server.port}/"


def test_save_and_read_back(served: tuple[Server, Path]) -> None:
    server, project = served
    document = {
        "netlist": {"instances": {"m": {"component": "mmi1x2"}}, "ports": {"o1": "m,o1"}},
        "schematic": {"instances": {"m": {"x": 10, "y": -5}}},
    }
    with httpx.Client(base_url=server.url) as client:
        response = client.post("assets/netlists/chips/top.json", json=document)
        assert (response.status_code, response.text) == (200, "netlist saved to chips/top.pic.yml.")
        assert client.get("assets/netlists/chips/top.json").json() == document
        assert client.get("assets/_svg/_empty.svg").headers["content-type"] == "image/svg+xml"
    text = (project / "chips" / "top.pic.yml").read_text()
    assert text.startswith("# yaml-language-server: $schema=../build/schemas/top.json\n")


@pytest.mark.parametrize(
    "target",
    [
        "/assets/netlists/../../escaped.json",
        "/assets/netlists/chips/../../../escaped.json",
        "/assets/netlists/%2e%2e/escaped.json",
        "/assets/netlists/..%2F..%2Fescaped.json",
    ],
)
def test_escapes_over_the_wire_are_refused(served: tuple[Server, Path], target: str) -> None:
    server, project = served
    for method in ("GET", "POST"):
        status, text = raw_request(server.port, method, target, body=b'{"netlist": {}}')
        assert status == 404 and "outside the project directory" in text
    assert not (project.parent / "escaped.pic.yml").exists()
    assert not (project.parent.parent / "escaped.pic.yml").exists()


@pytest.mark.parametrize(
    ("headers", "status"),
    [({"Host": "evil.example"}, 400), ({"Origin": "http://evil.example"}, 403), ({"Host": "localhost"}, 200)],
)
def test_host_and_origin_guards_over_the_wire(
    served: tuple[Server, Path], headers: dict[str, str], status: int
) -> None:
    server, project = served
    got, _ = raw_request(server.port, "POST", "/assets/netlists/chips/guarded.json", headers, b'{"netlist": {}}')
    assert got == status
    assert (project / "chips" / "guarded.pic.yml").exists() == (status == 200)


@pytest.mark.parametrize("chunked", [False, True], ids=["declared", "chunked"])
def test_body_over_the_limit_is_refused_early(served: tuple[Server, Path], chunked: bool) -> None:
    server, project = served
    body = b'{"netlist": {"pad": "' + b"x" * (1 << 20) + b'"}}'
    content = iter([body[i : i + 65536] for i in range(0, len(body), 65536)]) if chunked else body
    with httpx.Client(base_url=server.url) as client:
        response = client.post("assets/netlists/chips/large.json", content=content)
        assert response.status_code == 413
        assert response.text.startswith("Refused: the request body") and "limit of 1048576 bytes" in response.text
        assert client.post("assets/netlists/chips/large.json", content=body[: 1 << 19] + b'"}}').status_code == 200
    assert (project / "chips" / "large.pic.yml").stat().st_size > 1 << 19


# --------------------------------------------------------------------------- concurrency

WORKERS = 6
ROUNDS = 5


def netlist_of(writer: int, version: int) -> dict[str, Any]:
    """A netlist large enough that a torn write would show; its tag names who wrote it."""
    return {
        "tag": [writer, version],
        "instances": {f"i{k}": {"component": "mmi1x2", "settings": {"length": k + version / 10}} for k in range(150)},
        "nets": [{"p1": f"i{k},o2", "p2": f"i{k + 1},o1"} for k in range(149)],
    }


def schematic_of(writer: int, version: int) -> dict[str, Any]:
    return {"tag": [writer, version], "instances": {f"i{k}": {"x": k, "y": writer} for k in range(150)}}


def assert_complete(document: dict[str, Any]) -> None:
    """Both files of a document are whole and come from one save."""
    netlist, schematic = document["netlist"], document["schematic"]
    assert netlist == netlist_of(*netlist["tag"])
    assert schematic == schematic_of(*netlist["tag"])


def test_concurrent_saves_and_reads_always_see_one_save(served: tuple[Server, Path]) -> None:
    server, project = served
    shared = "chips/busy/shared"
    with httpx.Client(base_url=server.url) as client:
        client.post(
            f"assets/netlists/{shared}.json", json={"netlist": netlist_of(0, 0), "schematic": schematic_of(0, 0)}
        )

    def work(writer: int) -> int:
        answered = 0
        own = f"chips/busy/own{writer}"
        with httpx.Client(base_url=server.url, timeout=STARTUP_LIMIT) as client:
            for version in range(1, ROUNDS + 1):
                document = {"netlist": netlist_of(writer, version), "schematic": schematic_of(writer, version)}
                for path in (shared, own):
                    response = client.post(f"assets/netlists/{path}.json", json=document)
                    assert response.status_code == 200, response.text
                    answered += 1
                read = client.get(f"assets/netlists/{shared}.json")
                assert read.status_code == 200
                assert_complete(read.json())
                assert client.get(f"assets/netlists/{own}.json").json() == document
                answered += 2
                on_disk = yaml.safe_load((project / f"{shared}.pic.yml").read_text())
                assert on_disk == netlist_of(*on_disk["tag"])
        return answered

    with ThreadPoolExecutor(WORKERS) as pool:
        answered = list(pool.map(work, range(1, WORKERS + 1)))
    assert answered == [4 * ROUNDS] * WORKERS
    netlist = yaml.safe_load((project / f"{shared}.pic.yml").read_text())
    assert yaml.safe_load((project / f"{shared}.scm.yml").read_text()) == schematic_of(*netlist["tag"])
    names = {p.name for p in (project / "chips" / "busy").iterdir()}
    assert names == {
        f"{stem}.{kind}.yml"
        for stem in ["shared", *(f"own{w}" for w in range(1, WORKERS + 1))]
        for kind in ("pic", "scm")
    }


# --------------------------------------------------------------------------- the socket


def test_accepted_connections_send_without_delay() -> None:
    """The event loop turns Nagle's delay off on connections of the listening socket
    (else each answer on a kept-alive connection waits some 40 ms)."""

    async def nodelay_of_accepted_connection() -> int:
        accepted: asyncio.Future[int] = asyncio.get_running_loop().create_future()

        def on_connect(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
            accepted.set_result(writer.get_extra_info("socket").getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
            writer.close()

        with serve._listen(0) as listening:
            server = await asyncio.start_server(on_connect, sock=listening)
            _, writer = await asyncio.open_connection(*listening.getsockname())
            value = await accepted
            writer.close()
            server.close()
            await server.wait_closed()
        return value

    assert asyncio.run(nodelay_of_accepted_connection()) != 0


# --------------------------------------------------------------------------- command-line errors


def run_serve(*argv: str) -> int:
    parser = argparse.ArgumentParser(prog="quillon serve")
    serve.add_arguments(parser)
    return serve.run(parser.parse_args(argv))


def test_missing_project_directory_is_an_error(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    assert run_serve("--project-dir", str(tmp_path / "nowhere")) == 2
    assert "does not exist" in capsys.readouterr().err


def test_port_in_use_is_an_error(project: Path, capsys: pytest.CaptureFixture[str]) -> None:
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        assert run_serve("--project-dir", str(project), "--port", str(port)) == 2
    assert f"cannot listen on 127.0.0.1:{port}" in capsys.readouterr().err


@pytest.mark.parametrize(
    ("option", "value", "error"),
    [
        ("--port", "-1", "invalid port"),
        ("--port", "0", "invalid port"),
        ("--port", "65536", "invalid port"),
        ("--port", "http", "invalid port"),
        ("--max-body-mb", "0", "invalid size"),
        ("--max-body-mb", "-5", "invalid size"),
        ("--max-body-mb", "1.5", "invalid size"),
        ("--max-body-mb", "1048577", "invalid size"),
    ],
)
def test_bad_option_values_are_refused_by_the_parser(
    option: str, value: str, error: str, capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(SystemExit) as info:
        run_serve(option, value)
    assert info.value.code == 2
    assert error in capsys.readouterr().err
