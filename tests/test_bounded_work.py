"""Work a request starts is bounded, against a real ``quillon serve``.

One table: a check that would never end, a check of a circuit already being
checked, a file too large for the worker's memory, a long scalar and many
keys in files read in a worker, connections that never finish their headers (a thousand of them, in a
server that may open only 1024 files), each with what the service answers
and what it must still answer meanwhile.
"""

from __future__ import annotations

import resource
import socket
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest
from editor_project import Server, make_project, start_server

from quillon import demo

#: Generous: the machine may be loaded; nothing here is a timing assertion.
TIMEOUT = 120
SMALL_SECONDS, SMALL_MEMORY_MB, HEADER_SECONDS = 3, 64, 2
HALF_OPEN = 1010
SCALAR, KEYS = 20_000_000, 200_000
SLOW = "instances:\n  g: {component: grating_coupler, settings: {n_periods: 100000000}}\n"


def _write_circuits(project: Path) -> None:
    chips = project / "chips"
    (chips / "mzi.pic.yml").write_text(demo.MZI.read_text())
    (chips / "slow.pic.yml").write_text(SLOW)
    (chips / "huge.pic.yml").write_text('instances:\n  a:\n    component: "' + "x" * 100_000_000 + '"\n')
    # far above what is read in the service's own process (1 MiB); the bench reads 100 MB and 10^6 keys
    (chips / "scalar.pic.yml").write_text('instances:\n  a:\n    component: "' + "x" * SCALAR + '"\n')
    (chips / "keys.pic.yml").write_text("instances:\n" + "".join(f"  k{i}: {i}\n" for i in range(KEYS)))


@pytest.fixture(scope="module")
def projects(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("bounded")
    _write_circuits(make_project(root / "project", name="chips", pdk=None))
    return root / "project"


@pytest.fixture(scope="module")
def small(projects: Path) -> Iterator[Server]:
    """A server with small limits on its workers and on the time to send headers."""
    server = start_server(
        projects,
        projects.parent / "small.log",
        "--check-seconds",
        str(SMALL_SECONDS),
        "--check-memory-mb",
        str(SMALL_MEMORY_MB),
        "--header-timeout",
        str(HEADER_SECONDS),
    )
    yield server
    server.stop()


def _few_files() -> None:
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))


@pytest.fixture(scope="module")
def plain(projects: Path) -> Iterator[Server]:
    """A server with the default limits that may open only 1024 files, as many systems start processes."""
    server = start_server(projects, projects.parent / "plain.log", preexec=_few_files)
    yield server
    server.stop()


def _post(server: Server, target: str) -> httpx.Response:
    return httpx.post(server.url + target, timeout=TIMEOUT)


def _get(server: Server, target: str) -> httpx.Response:
    return httpx.get(server.url + target, timeout=TIMEOUT)


def _meanwhile(
    server: Server, work: Callable[[], httpx.Response], others: Callable[[], Any]
) -> tuple[httpx.Response, Any]:
    """`work` in a thread and, once it is under way, `others`; both results."""
    answers: list[httpx.Response] = []
    thread = threading.Thread(target=lambda: answers.append(work()))
    thread.start()
    try:
        _get(server, "api/kit.json")  # the work has been sent by now or is about to be
        seen = others()
    finally:
        thread.join(TIMEOUT)
    return answers[0], seen


def _editor_routes_answer(server: Server) -> list[int]:
    return [_get(server, target).status_code for target in ("", "assets/netlists/chips/mzi.json", "api/circuits.json")]


def _half_open(server: Server, count: int) -> list[socket.socket]:
    opened = []
    for _ in range(count):
        connection = socket.create_connection(("127.0.0.1", server.port), timeout=TIMEOUT)
        connection.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Partial: ")
        opened.append(connection)
    return opened


def _closed_by_server(connection: socket.socket) -> bool:
    try:
        return connection.recv(1) == b""
    except ConnectionResetError:
        return True


def case_endless_check(small: Server, plain: Server) -> None:
    answer, meanwhile = _meanwhile(
        small,
        lambda: _post(small, "api/check/chips/slow.json"),
        lambda: (
            _editor_routes_answer(small),
            _post(small, "api/check/chips/slow.json"),
            _post(small, "api/check/chips/mzi.json"),
        ),
    )
    routes, again, other = meanwhile
    assert routes == [200, 200, 200]
    assert (again.status_code, again.json()) == (
        409,
        {"error": "Cannot check: the check of chips/slow.pic.yml is running already; wait for it to end."},
    )
    assert other.status_code == 200 and other.json()["findings"] == []
    assert (answer.status_code, answer.json()) == (
        503,
        {
            "error": f"Cannot check: the check of chips/slow.pic.yml took longer than its limit of {SMALL_SECONDS} s"
            " (quillon serve --check-seconds) and was stopped."
        },
    )
    assert _post(small, "api/check/chips/mzi.json").status_code == 200  # the stopped worker left nothing behind


def case_file_beyond_memory(small: Server, plain: Server) -> None:
    answer = _get(small, "assets/netlists/chips/huge.json")
    assert (answer.status_code, answer.text) == (
        503,
        f"could not read chips/huge: the read needed more memory than its limit of {SMALL_MEMORY_MB} MiB"
        " (quillon serve --check-memory-mb)",
    )


def case_large_files(small: Server, plain: Server) -> None:
    for name, first in (("scalar", "a"), ("keys", "k0")):
        target = f"assets/netlists/chips/{name}.json"
        answer, routes = _meanwhile(
            plain, lambda target=target: _get(plain, target), lambda: _editor_routes_answer(plain)
        )
        assert routes == [200, 200, 200]
        instances = answer.json()["netlist"]["instances"]
        assert answer.status_code == 200 and next(iter(instances)) == first
        assert len(instances) == KEYS if name == "keys" else len(instances["a"]["component"]) == SCALAR


def case_half_open_connections(small: Server, plain: Server) -> None:
    opened = _half_open(plain, HALF_OPEN)
    try:
        assert _editor_routes_answer(plain) == [200, 200, 200]
    finally:
        for connection in opened:
            connection.close()
    [late] = _half_open(small, 1)
    with late:
        assert _closed_by_server(late)  # after HEADER_SECONDS
    assert _editor_routes_answer(small) == [200, 200, 200]


CASES = [case_endless_check, case_file_beyond_memory, case_large_files, case_half_open_connections]


@pytest.fixture(scope="module", autouse=True)
def many_files() -> Iterator[None]:
    """This process opens a thousand connections: let it open as many files as it may."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = HALF_OPEN + 200
    if hard != resource.RLIM_INFINITY and hard < wanted:
        pytest.skip(f"this process may open only {hard} files")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@pytest.mark.parametrize("case", CASES, ids=[case.__name__.removeprefix("case_") for case in CASES])
def test_bounded_work(case: Callable[[Server, Server], None], small: Server, plain: Server) -> None:
    case(small, plain)
