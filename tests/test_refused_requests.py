"""Requests the editor service refuses: each answers one clear line and changes nothing."""

from __future__ import annotations

import json
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import yaml
from editor_project import BASE_URL, tree
from fastapi.testclient import TestClient

from quillon.serve.app import LocalOnlyMiddleware, app

SMALL_LIMIT = 16384
BILLION_LAUGHS = "a: &a [x, x, x, x, x, x, x, x, x, x]\n" + "".join(
    f"{c}: &{c} [*{p}, *{p}, *{p}, *{p}, *{p}, *{p}, *{p}, *{p}, *{p}, *{p}]\n" for p, c in zip("abcdefgh", "bcdefghi")
)


def nested(depth: int) -> Any:
    value: Any = {}
    for _ in range(depth):
        value = {"n": value}
    return value


def chunks(total: int) -> Iterator[bytes]:
    """A body sent without a declared length."""
    for _ in range(total // 1024):
        yield b" " * 1024


# Each case: method, URL path below the circuit directory's URL (or an absolute
# URL path when it starts with "/"), headers, body, and the status and text the
# answer starts with.
REFUSED: dict[str, tuple[str, str, dict[str, str], Any, int, str]] = {
    "cross-site symbol": (
        "GET",
        "/assets/svg/straight.svg",
        {"sec-fetch-site": "cross-site"},
        None,
        403,
        "Refused: cross-site request",
    ),
    "cross-site read": ("GET", "c.json", {"sec-fetch-site": "Cross-Site"}, None, 403, "Refused: cross-site"),
    "page of another local server": (
        "GET",
        "c.json",
        {"sec-fetch-site": "same-site"},
        None,
        403,
        "Refused: cross-site",
    ),
    "foreign origin read": (
        "GET",
        "c.json",
        {"origin": "http://evil.example"},
        None,
        403,
        "Refused: cross-origin request",
    ),
    "foreign origin settings": (
        "GET",
        "/assets/settings/straight.json",
        {"origin": "null"},
        None,
        403,
        "Refused: cross-origin request",
    ),
    "declared body too large": (
        "POST",
        "c.json",
        {},
        b"{" + b" " * SMALL_LIMIT + b"}",
        413,
        f"Refused: the request body of {SMALL_LIMIT + 2} bytes is larger than the limit",
    ),
    "streamed body too large": (
        "POST",
        "c.json",
        {},
        lambda: chunks(4 * SMALL_LIMIT),
        413,
        "Refused: the request body is larger than the limit",
    ),
    "carriage return in the path": ("POST", "a%0db.json", {}, b'{"netlist": {}}', 404, "Not found: the path"),
    "next line in the path": ("POST", "a%C2%85b.json", {}, b'{"netlist": {}}', 404, "Not found: the path"),
    "line separator in the path": ("GET", "a%E2%80%A8b.json", {}, None, 404, "Not found: the path"),
    "paragraph separator in the path": ("POST", "a%E2%80%A9b.json", {}, b'{"netlist": {}}', 404, "Not found: the path"),
    "delete character in the path": ("POST", "a%7Fb.json", {}, b'{"netlist": {}}', 404, "Not found: the path"),
    "netlist nested too deep for YAML": (
        "POST",
        "c.json",
        {},
        json.dumps({"netlist": nested(600)}).encode(),
        422,
        "Refused to save: the document cannot be written as YAML",
    ),
    "schematic nested too deep for YAML": (
        "POST",
        "c.json",
        {},
        json.dumps({"netlist": {}, "schematic": nested(600)}).encode(),
        422,
        "Refused to save: the document cannot be written as YAML",
    ),
    # Bodies that would lose the files' content, or that cannot be read: the reason, nothing saved.
    # Where the reason is the JSON reader's own words, only our part of the line is held fixed.
    "no netlist": (
        "POST",
        "c.json",
        {},
        b'{"schematic": {"v": 2}}',
        422,
        'Refused to save: the document has no "netlist"',
    ),
    "only other members": (
        "POST",
        "c.json",
        {},
        b'{"other": 1}',
        422,
        'Refused to save: the document has no "netlist"',
    ),
    "null netlist": (
        "POST",
        "c.json",
        {},
        b'{"netlist": null}',
        422,
        'Refused to save: "netlist" is null, not an object',
    ),
    "string netlist": ("POST", "c.json", {}, b'{"netlist": "x"}', 422, 'Refused to save: "netlist" is a string'),
    "list schematic": (
        "POST",
        "c.json",
        {},
        b'{"netlist": {}, "schematic": [1]}',
        422,
        'Refused to save: "schematic" is an array',
    ),
    "scalar body": ("POST", "c.json", {}, b"1.5", 422, "Refused to save: the body is a number, not an object"),
    "array body": ("POST", "c.json", {}, b"[1, 2]", 422, "Refused to save: the body is an array, not an object"),
    "text that is no JSON": (
        "POST",
        "c.json",
        {},
        b"not json",
        422,
        "Refused to save: the body cannot be read as JSON (",
    ),
    "integer of 10^4 digits": (
        "POST",
        "c.json",
        {},
        b'{"netlist": {"n": 1' + b"0" * 10_000 + b"}}",
        422,
        "Refused to save: the body cannot be read as JSON (",
    ),
    "integer of 400 digits beside 1e400": (
        "POST",
        "c.json",
        {},
        b'{"netlist": {"n": 1' + b"0" * 400 + b', "f": 1e400}}',
        422,
        "Refused to save: the body cannot be read as JSON (the number 1e400 is too large",
    ),
    "1e400": (
        "POST",
        "c.json",
        {},
        b'{"netlist": {"f": 1e400}}',
        422,
        "Refused to save: the body cannot be read as JSON (",
    ),
    "NaN": (
        "POST",
        "c.json",
        {},
        b'{"netlist": {"f": NaN}}',
        422,
        "Refused to save: the body cannot be read as JSON (",
    ),
    "lone surrogate": (
        "POST",
        "c.json",
        {},
        b'{"netlist": {"s": "\\ud800"}}',
        422,
        "Refused to save: the body cannot be read as JSON (",
    ),
    "invalid UTF-8": (
        "POST",
        "c.json",
        {},
        b'{"netlist": {"s": "\xff"}}',
        422,
        "Refused to save: the body is not valid UTF-8",
    ),
}


@pytest.fixture(scope="module")
def limited_client(schematic: Any) -> TestClient:
    """The service app behind the guard with a small body limit (the app's own is 64 MiB)."""
    return TestClient(LocalOnlyMiddleware(app, max_body=SMALL_LIMIT), base_url=BASE_URL)


@pytest.mark.parametrize("case", REFUSED.values(), ids=REFUSED.keys())
def test_refused_requests_change_nothing(
    limited_client: TestClient, project: Path, circuit_dir: Path, case: tuple[str, str, dict[str, str], Any, int, str]
) -> None:
    method, target, headers, body, status, text = case
    circuit = f"/assets/netlists/{circuit_dir.relative_to(project)}/"
    url = target if target.startswith("/") else circuit + target
    assert limited_client.post(circuit + "c.json", json={"netlist": {"v": 1}, "schematic": {"v": 1}}).is_success
    before = {path: path.read_bytes() for path in circuit_dir.rglob("*") if path.is_file()}
    before_tree = tree(project)
    response = limited_client.request(method, url, headers=headers, content=body() if callable(body) else body)
    assert response.status_code == status
    assert response.text.startswith(text), response.text
    assert response.text.strip().count("\n") == 0
    assert tree(project) == before_tree
    assert {path: path.read_bytes() for path in circuit_dir.rglob("*") if path.is_file()} == before


def test_same_origin_and_typed_in_reads_pass(client: TestClient, project: Path, circuit_dir: Path) -> None:
    url = f"/assets/netlists/{circuit_dir.relative_to(project)}/c.json"
    for headers in ({"sec-fetch-site": "same-origin"}, {"sec-fetch-site": "none"}, {"origin": BASE_URL}):
        assert client.get(url, headers=headers).status_code == 200


def test_yaml_bomb_in_a_netlist_file_is_refused_on_one_line(
    client: TestClient, project: Path, circuit_dir: Path
) -> None:
    (circuit_dir / "bomb.pic.yml").write_text(BILLION_LAUGHS)
    path = f"{circuit_dir.relative_to(project)}/bomb"
    response = client.get(f"/assets/netlists/{path}.json")
    assert response.status_code == 422
    assert response.text.startswith(f"could not read {path}.pic.yml: ") and "refused" in response.text
    assert "\n" not in response.text


@pytest.mark.parametrize(
    "number", [2**64, -(2**63) - 1, 10**40, -(10**30), 2**63 - 1], ids=["2^64", "-2^63-1", "10^40", "-10^30", "2^63-1"]
)
def test_integers_beyond_64_bits_are_saved_exactly(
    client: TestClient, project: Path, circuit_dir: Path, number: int
) -> None:
    url = f"/assets/netlists/{circuit_dir.relative_to(project)}/big.json"
    document = {"netlist": {"n": number, "f": 1.5, "s": "12345678901234567890"}, "schematic": {"x": [number]}}
    assert client.post(url, content=json.dumps(document)).status_code == 200
    assert yaml.safe_load((circuit_dir / "big.pic.yml").read_text()) == document["netlist"]
    assert json.loads(client.get(url).text) == document


@pytest.mark.parametrize(
    ("text", "entry"),
    [
        ("instances:\n  a:\n    data: !!binary aGVsbG8=\n", "the entry instances.a.data holds binary data (!!binary)"),
        ("tags: !!set {x, y}\n", "the entry tags holds a set (!!set)"),
        ("log: [1, {at: 2001-12-14t21:59:43.10-05:00}]\n", "the entry log[1].at holds a timestamp (!!timestamp)"),
        ("placements: {a: {x: .nan}}\n", "the entry placements.a.x holds a number JSON cannot carry (nan)"),
        ("? !!binary aGk=\n: 1\n", "the key b'hi' is binary data (!!binary)"),
    ],
    ids=["binary", "set", "timestamp", "nan", "binary key"],
)
def test_values_json_cannot_carry_are_named_on_one_line(
    client: TestClient, project: Path, circuit_dir: Path, text: str, entry: str
) -> None:
    (circuit_dir / "typed.pic.yml").write_text(text)
    path = f"{circuit_dir.relative_to(project)}/typed"
    response = client.get(f"/assets/netlists/{path}.json")
    assert (response.status_code, response.text) == (
        422,
        f"could not read {path}.pic.yml: {entry}, which the editor cannot show",
    )


@pytest.mark.parametrize(
    ("target", "status"),
    [("newdir/sub", 200), ("nx1/ny1/../../../../../outside/secret", 404), ("a/b/c/../../../../../../x", 404)],
    ids=["missing directories", "refused after missing directories", "deeper refusal"],
)
def test_a_read_creates_nothing(client: TestClient, project: Path, circuit_dir: Path, target: str, status: int) -> None:
    before = tree(project)
    response = client.get(f"/assets/netlists/{circuit_dir.relative_to(project)}/{target}.json")
    assert response.status_code == status
    assert tree(project) == before
