"""Real HTTP requests through the application: local-only hosts and same-origin writes."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import warnings
from pathlib import Path

import pytest
from fastapi import Body
from starlette.exceptions import StarletteDeprecationWarning
from starlette.websockets import WebSocket, WebSocketDisconnect

with warnings.catch_warnings():
    # The test client warns at import when it runs on plain httpx.
    warnings.simplefilter("ignore", StarletteDeprecationWarning)
    from fastapi.testclient import TestClient

from quillon.serve.app import app, is_loopback, split_host

PROBE = "/__probe"


@app.get(PROBE)
def _probe_get() -> dict[str, str]:
    return {"ok": "get"}


@app.post(PROBE)
def _probe_post(body: str = Body("")) -> dict[str, str]:
    return {"ok": "post", "body": body}


@app.websocket(PROBE + "/ws")
async def _probe_ws(websocket: WebSocket) -> None:
    await websocket.accept()
    await websocket.send_text("hello")
    await websocket.close()


@pytest.fixture(scope="module")
def client() -> TestClient:
    return TestClient(app, base_url="http://127.0.0.1:8787")


@pytest.mark.parametrize(
    "host",
    [
        "localhost",
        "LOCALHOST:8787",
        "localhost.",
        "127.0.0.1",
        "127.0.0.1:8787",
        "127.3.4.5:1",
        "[::1]",
        "[::1]:8787",
        "::1",
        "[::ffff:127.0.0.1]:80",
    ],
)
def test_loopback_hosts_are_served(client: TestClient, host: str) -> None:
    response = client.get(PROBE, headers={"host": host})
    assert response.status_code == 200
    assert response.json() == {"ok": "get"}


@pytest.mark.parametrize(
    "host",
    [
        "testserver",
        "example.com",
        "localhost.example.com",
        "127.0.0.1.nip.io",
        "10.0.0.1",
        "0.0.0.0",
        "[::2]",
        "::",
        "localhost:notaport",
        "localhost:99999",
        "localhost:",
        "[::1",
        "[::1]x",
        "",
        "127.0.0.1:80:80",
    ],
)
def test_foreign_hosts_are_refused(client: TestClient, host: str) -> None:
    for method in ("GET", "POST"):
        response = client.request(method, PROBE, headers={"host": host})
        assert response.status_code == 400
        assert response.headers["content-type"].startswith("text/plain")
        assert response.text.count("\n") == 1 and "loopback" in response.text


def test_default_test_client_host_is_refused() -> None:
    response = TestClient(app).get(PROBE)  # sends Host: testserver
    assert response.status_code == 400


@pytest.mark.parametrize(
    ("method", "origin", "status"),
    [
        ("POST", None, 200),
        ("POST", "http://127.0.0.1:8787", 200),
        ("POST", "HTTP://127.0.0.1:8787/", 200),
        ("POST", "http://localhost:8787", 403),  # another host name is another origin
        ("POST", "http://127.0.0.1:9999", 403),
        ("POST", "http://127.0.0.1", 403),
        ("POST", "https://127.0.0.1:8787", 200),  # scheme is not part of the comparison
        ("POST", "http://evil.example", 403),
        ("POST", "null", 403),
        ("POST", "garbage", 403),
        ("PUT", "http://evil.example", 403),
        ("PATCH", "http://evil.example", 403),
        ("DELETE", "http://evil.example", 403),
        ("GET", "http://evil.example", 403),  # reads too: an <img> or a fetch of a foreign page
    ],
)
def test_cross_origin_writes_are_refused(client: TestClient, method: str, origin: str | None, status: int) -> None:
    headers = {"origin": origin} if origin is not None else {}
    response = client.request(method, PROBE, headers=headers, content=b"payload")
    if status == 200 and method in ("GET", "POST"):
        assert response.status_code == 200
        assert response.json()["ok"] == method.lower()
    elif status == 200:
        assert response.status_code == 405  # passed the guard, no such route
    else:
        assert response.status_code == 403
        assert response.text.count("\n") == 1 and "cross-origin" in response.text


def test_origin_without_port_matches_host_without_port() -> None:
    client = TestClient(app, base_url="http://localhost")
    assert client.post(PROBE, headers={"origin": "http://localhost"}, content=b"x").status_code == 200
    assert client.post(PROBE, headers={"origin": "http://localhost:80"}, content=b"x").status_code == 200
    assert client.post(PROBE, headers={"origin": "http://localhost:8080"}, content=b"x").status_code == 403


def test_websocket_handshakes_are_checked(client: TestClient) -> None:
    url = "ws://127.0.0.1:8787" + PROBE + "/ws"
    with client.websocket_connect(url, headers={"origin": "http://127.0.0.1:8787"}) as ws:
        assert ws.receive_text() == "hello"
    for refused in ({"origin": "http://evil.example"}, {"host": "evil.example"}):
        with pytest.raises(WebSocketDisconnect) as info:
            with client.websocket_connect(url, headers=refused):
                pass
        assert info.value.code == 1008


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("localhost", ("localhost", None)),
        ("Localhost:1", ("localhost", 1)),
        ("[::1]:65535", ("::1", 65535)),
        ("::1", ("::1", None)),
        ("a:b", None),
        ("[::1]:0x1", None),
    ],
)
def test_split_host(value: str, expected: tuple[str, int | None] | None) -> None:
    assert split_host(value) == expected
    if expected is not None:
        assert is_loopback(expected[0])


def test_app_module_values_come_from_the_project(tmp_path: Path) -> None:
    root = tmp_path / "chipproj"
    root.mkdir()
    (root / "pyproject.toml").write_text(
        '[tool.quillon]\nname = "chips"\n[tool.quillon.pdk]\nname = "acme_kit"\n', encoding="utf-8"
    )
    script = (
        "import json, sys, quillon.serve.app as a\n"
        "print(json.dumps({'dir': a.PROJECT_DIR, 'name': a.SETTINGS.name, 'pdk': a.PDK,"
        " 'title': a.app.title, 'loaded': sorted(m for m in sys.modules if m.startswith('quillon'))}))\n"
    )
    env = {**os.environ, "QUILLON_PROJECT_DIR": str(root)}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run(
        [sys.executable, "-W", "error", "-c", script],
        env=env,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    values = json.loads(out)
    assert values["dir"] == str(root)
    assert (values["name"], values["pdk"], values["title"]) == ("chips", "acme_kit", "quillon")
    assert "quillon.core.lvs" not in values["loaded"]
    assert "quillon.serve.schematic" not in values["loaded"]
