"""Reading and saving a circuit's netlist and schematic files through the editor's HTTP routes."""

from __future__ import annotations

import contextlib
import os
import resource
import signal
import stat
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType
from typing import Any

import orjson
import pytest
import yaml
from editor_project import PROJECT_NAME, test_client, tree
from fastapi.testclient import TestClient

HEADER = "# yaml-language-server: $schema="
REFUSAL = "Refused to save empty netlist."
URL = "/assets/netlists/{}.json"
OLD = 1_000_000_000  # a modification time long past, to see whether a file is rewritten


def rel(project: Path, path: Path) -> str:
    return str(path.relative_to(project))


def save(client: TestClient, path: str, document: Any, content_type: str = "text/plain") -> Any:
    return client.post(URL.format(path), content=orjson.dumps(document), headers={"content-type": content_type})


def expected_netlist_file(schema: str, netlist: Any) -> str:
    return (HEADER + schema + "\n" + yaml.safe_dump(netlist, sort_keys=False)).strip()


# --------------------------------------------------------------------------- reading


def test_get_without_files_gives_empty_mappings_and_creates_nothing(
    client: TestClient, project: Path, circuit_dir: Path
) -> None:
    path = rel(project, circuit_dir / "new" / "deeper" / "ring")
    response = client.get(URL.format(path))
    assert response.status_code == 200
    assert response.headers["content-type"] == "application/json"
    assert response.json() == {"netlist": {}, "schematic": {}}
    assert not list(circuit_dir.iterdir())


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("", {}),
        ("- a\n- b\n", {}),
        ("just text\n", {}),
        ("42\n", {}),
        ("~\n", {}),
        ("b: 1\na: [x, y]\n", {"b": 1, "a": ["x", "y"]}),
    ],
    ids=["empty", "list", "string", "number", "null", "mapping"],
)
def test_get_keeps_only_mappings(
    client: TestClient, project: Path, circuit_dir: Path, text: str, expected: Any
) -> None:
    (circuit_dir / "c.pic.yml").write_text(text, encoding="utf-8")
    (circuit_dir / "c.scm.yml").write_text(text, encoding="utf-8")
    document = client.get(URL.format(rel(project, circuit_dir / "c"))).json()
    assert document == {"netlist": expected, "schematic": expected}
    assert list(document["netlist"]) == list(expected)  # key order kept


def test_get_reads_both_files_independently(client: TestClient, project: Path, circuit_dir: Path) -> None:
    (circuit_dir / "c.scm.yml").write_text("instances: {a: {x: 1}}\n", encoding="utf-8")
    document = client.get(URL.format(rel(project, circuit_dir / "c"))).json()
    assert document == {"netlist": {}, "schematic": {"instances": {"a": {"x": 1}}}}
    assert not (circuit_dir / "c.pic.yml").exists()


# --------------------------------------------------------------------------- refusals


@pytest.mark.parametrize("body", [b"{}", b"[]", b"null", b'""', b" "])
@pytest.mark.parametrize("content_type", ["text/plain", "application/json"])
def test_empty_saves_are_refused_and_touch_nothing(
    client: TestClient, project: Path, circuit_dir: Path, body: bytes, content_type: str
) -> None:
    before = tree(project)
    path = rel(project, circuit_dir / "sub" / "c")
    response = client.post(URL.format(path), content=body, headers={"content-type": content_type})
    assert (response.status_code, response.text) == (422, REFUSAL)
    assert response.headers["content-type"].startswith("text/plain")
    assert tree(project) == before


@pytest.mark.parametrize(
    ("body", "refusal"),
    [
        ("", REFUSAL),
        ("{}", REFUSAL),
        ("null", REFUSAL),
        ("\udcff", "Refused to save: the body is not valid UTF-8 text"),
        ('{"schematic": {}}', 'Refused to save: the document has no "netlist"'),
    ],
)
def test_direct_call_refuses_unusable_documents(
    schematic: ModuleType, project: Path, circuit_dir: Path, body: str, refusal: str
) -> None:
    before = tree(project)
    response = schematic.post_netlist(body, path=rel(project, circuit_dir / "c"))
    assert response.status_code == 422 and response.body.decode().startswith(refusal)
    assert tree(project) == before


def test_request_without_body_fails_the_frameworks_validation(
    client: TestClient, project: Path, circuit_dir: Path
) -> None:
    response = client.post(URL.format(rel(project, circuit_dir / "c")))
    assert response.status_code == 422
    assert response.json()["detail"][0]["type"] == "missing"
    assert not list(circuit_dir.iterdir())


# --------------------------------------------------------------------------- saving


@pytest.mark.parametrize(
    "content_type",
    [
        "text/plain",
        "text/plain; charset=utf-8",
        "application/json",
        "application/vnd.api+json",
        None,
        "application/octet-stream",
        "application/x-www-form-urlencoded",
    ],
)
def test_save_takes_the_body_as_text_whatever_the_content_type(
    client: TestClient, project: Path, circuit_dir: Path, content_type: str | None
) -> None:
    path = rel(project, circuit_dir / "c")
    document = {"netlist": {"instances": {"a": {"component": "mmi1x2"}}}, "schematic": {"x": 1}}
    headers = {"content-type": content_type} if content_type else {}
    response = client.post(URL.format(path), content=orjson.dumps(document), headers=headers)
    assert (response.status_code, response.text) == (200, f"netlist saved to {path}.pic.yml.")
    assert client.get(URL.format(path)).json() == document


def test_saved_files_are_what_the_yaml_dumper_writes(client: TestClient, project: Path, circuit_dir: Path) -> None:
    netlist = {
        "name": "ring",
        "instances": {
            "z_last": {"component": "mmi1x2", "settings": {"length": 10.5, "gap": 0.2}},
            "a_first": {"component": "straight", "settings": {"length": 1e-3, "on": True, "n": None}},
        },
        "placements": {"z_last": {"x": -3, "y": 12345678901234567890, "rotation": 90}},
        "nets": [{"p1": "a_first,o2", "p2": "z_last,o1"}],
        "ports": {"o1": "a_first,o1"},
        "notes": "unicode: \u00e9\u4e2d\U0001f600, quotes ' \" and colon: yes",
        "tricky": ["yes", "no", "null", "1.0", "0x10", "", " lead", "trail ", "multi\nline\n", "#hash"],
        "long": "word " * 40,
        "empty": {"list": [], "map": {}},
    }
    schematic = {"instances": {"z_last": {"x": 1.25, "y": -2}, "a_first": {"x": 0, "y": 0}}, "version": 2}
    path = rel(project, circuit_dir / "ring")
    assert save(client, path, {"netlist": netlist, "schematic": schematic}).status_code == 200

    schema = f"../build/schemas/{circuit_dir.name}/ring.json"
    assert (circuit_dir / "ring.pic.yml").read_bytes() == expected_netlist_file(schema, netlist).encode()
    assert (circuit_dir / "ring.scm.yml").read_bytes() == yaml.safe_dump(schematic, sort_keys=False).encode()
    assert client.get(URL.format(path)).json() == {"netlist": netlist, "schematic": schematic}


def test_document_without_schematic_saves_an_empty_one(client: TestClient, project: Path, circuit_dir: Path) -> None:
    path = rel(project, circuit_dir / "c")
    assert save(client, path, {"netlist": {}, "other": [1, 2]}).status_code == 200
    assert (circuit_dir / "c.pic.yml").read_text() == f"{HEADER}../build/schemas/{circuit_dir.name}/c.json\n{{}}"
    assert (circuit_dir / "c.scm.yml").read_text() == "{}\n"


def test_second_identical_save_rewrites_only_the_schematic(
    client: TestClient, project: Path, circuit_dir: Path
) -> None:
    path = rel(project, circuit_dir / "c")
    document = {"netlist": {"a": 1}, "schematic": {"b": 2}}
    first = save(client, path, document)
    for name in ("c.pic.yml", "c.scm.yml"):
        os.utime(circuit_dir / name, (OLD, OLD))
    netlist_before = os.stat(circuit_dir / "c.pic.yml")

    second = save(client, path, document)
    assert first.text == second.text == f"netlist saved to {path}.pic.yml."
    netlist_after = os.stat(circuit_dir / "c.pic.yml")
    assert (netlist_after.st_ino, netlist_after.st_mtime_ns) == (netlist_before.st_ino, netlist_before.st_mtime_ns)
    assert os.stat(circuit_dir / "c.scm.yml").st_mtime != OLD


@pytest.mark.parametrize("padding", [("", "\n"), ("\n\n", "  \n\n"), ("  ", "\t")])
def test_netlist_differing_only_in_outer_white_space_is_kept(
    client: TestClient, project: Path, circuit_dir: Path, padding: tuple[str, str]
) -> None:
    path = rel(project, circuit_dir / "c")
    netlist = {"instances": {"a": {"component": "x"}}}
    text = padding[0] + expected_netlist_file(f"../build/schemas/{circuit_dir.name}/c.json", netlist) + padding[1]
    (circuit_dir / "c.pic.yml").write_text(text)
    os.utime(circuit_dir / "c.pic.yml", (OLD, OLD))
    assert save(client, path, {"netlist": netlist}).status_code == 200
    assert (circuit_dir / "c.pic.yml").read_text() == text
    assert os.stat(circuit_dir / "c.pic.yml").st_mtime == OLD


def test_changed_netlist_is_rewritten(client: TestClient, project: Path, circuit_dir: Path) -> None:
    path = rel(project, circuit_dir / "c")
    save(client, path, {"netlist": {"a": 1}})
    save(client, path, {"netlist": {"a": 2}})
    assert yaml.safe_load((circuit_dir / "c.pic.yml").read_text()) == {"a": 2}


@pytest.mark.parametrize(
    ("below_source", "schema"),
    [
        ("ring", "../build/schemas/ring.json"),
        ("sub/ring", "../build/schemas/sub/ring.json"),
        ("a/b/c/ring", "../build/schemas/a/b/c/ring.json"),
    ],
)
@pytest.mark.parametrize("absolute", [False, True], ids=["relative", "absolute"])
def test_header_points_at_the_schema_from_the_source_directory(
    client: TestClient, project: Path, below_source: str, schema: str, absolute: bool
) -> None:
    target = project / PROJECT_NAME / "headers" / below_source
    path = str(target) if absolute else rel(project, target)
    schema = schema.replace("schemas/", "schemas/headers/")
    response = save(client, path, {"netlist": {"x": 1}})
    assert response.text == f"netlist saved to {path}.pic.yml."
    first_line = Path(f"{target}.pic.yml").read_text().splitlines()[0]
    assert first_line == HEADER + schema


def test_header_of_a_path_ending_in_a_separator(client: TestClient, project: Path, circuit_dir: Path) -> None:
    path = rel(project, circuit_dir) + "/"
    assert save(client, path, {"netlist": {}}).text == f"netlist saved to {path}.pic.yml."
    header = (circuit_dir / ".pic.yml").read_text().splitlines()[0]
    assert header == f"{HEADER}../build/schemas/{circuit_dir.name}/.json"


def test_header_of_a_circuit_outside_the_source_directory(client: TestClient, project: Path) -> None:
    assert save(client, "elsewhere/x", {"netlist": {}}).status_code == 200
    assert (project / "elsewhere" / "x.pic.yml").read_text() == HEADER + "../build/elsewhere/x.json\n{}"


def test_relative_paths_are_relative_to_the_project_not_the_working_directory(
    client: TestClient, project: Path, circuit_dir: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)
    path = rel(project, circuit_dir / "c")
    assert save(client, path, {"netlist": {"a": 1}}).status_code == 200
    assert (circuit_dir / "c.pic.yml").is_file()
    assert not (tmp_path / path).parent.exists()


# --------------------------------------------------------------------------- files on disk


def test_saves_leave_no_temporary_files(client: TestClient, project: Path, circuit_dir: Path) -> None:
    path = rel(project, circuit_dir / "c")
    for value in range(3):
        save(client, path, {"netlist": {"v": value}, "schematic": {"v": value}})
    assert sorted(p.name for p in circuit_dir.iterdir()) == ["c.pic.yml", "c.scm.yml"]


def test_rewritten_files_keep_their_permissions(client: TestClient, project: Path, circuit_dir: Path) -> None:
    path = rel(project, circuit_dir / "c")
    save(client, path, {"netlist": {"v": 1}})
    for name in ("c.pic.yml", "c.scm.yml"):
        os.chmod(circuit_dir / name, 0o640)
    save(client, path, {"netlist": {"v": 2}})
    for name in ("c.pic.yml", "c.scm.yml"):
        assert stat.S_IMODE(os.stat(circuit_dir / name).st_mode) == 0o640


def test_new_files_get_the_usual_permissions(client: TestClient, project: Path, circuit_dir: Path) -> None:
    umask = os.umask(0o022)
    os.umask(umask)
    save(client, rel(project, circuit_dir / "c"), {"netlist": {"v": 1}})
    assert stat.S_IMODE(os.stat(circuit_dir / "c.pic.yml").st_mode) == 0o666 & ~umask


def test_a_link_inside_the_project_is_written_through(client: TestClient, project: Path, circuit_dir: Path) -> None:
    (circuit_dir / "real").mkdir()
    (circuit_dir / "real" / "c.pic.yml").write_text("old: 1\n")
    (circuit_dir / "c.pic.yml").symlink_to(circuit_dir / "real" / "c.pic.yml")
    assert save(client, rel(project, circuit_dir / "c"), {"netlist": {"new": 2}}).status_code == 200
    assert (circuit_dir / "c.pic.yml").is_symlink()
    assert yaml.safe_load((circuit_dir / "real" / "c.pic.yml").read_text()) == {"new": 2}


# --------------------------------------------------------------------------- failures


@pytest.fixture(scope="module")
def failing_client() -> TestClient:
    return test_client(raise_server_exceptions=False)


def test_netlist_path_that_is_a_directory_is_refused_and_nothing_is_written(
    failing_client: TestClient, project: Path, circuit_dir: Path
) -> None:
    (circuit_dir / "c.pic.yml").mkdir()
    path = rel(project, circuit_dir / "c")
    response = failing_client.get(URL.format(path))
    assert (response.status_code, response.text) == (409, f"could not read {path}.pic.yml: not a regular file")
    response = save(failing_client, path, {"netlist": {"a": 1}, "schematic": {"b": 2}})
    assert response.status_code == 409
    assert response.text == f"could not save: {path}.pic.yml: not a regular file; nothing was changed"
    assert sorted(p.name for p in circuit_dir.iterdir()) == ["c.pic.yml"]


def test_unparsable_yaml_fails_the_read_with_one_line(
    failing_client: TestClient, project: Path, circuit_dir: Path
) -> None:
    (circuit_dir / "c.scm.yml").write_text("a: [unclosed\n")
    path = rel(project, circuit_dir / "c")
    response = failing_client.get(URL.format(path))
    assert response.status_code == 422
    assert response.text.startswith(f"could not read {path}.scm.yml: ") and "\n" not in response.text


@contextlib.contextmanager
def writes_fail() -> Iterator[None]:
    """Every file write of this process fails (EFBIG), also for root: the size
    limit for new data is one byte while the block runs."""
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, handler)


def test_failed_write_keeps_the_old_file(failing_client: TestClient, project: Path, circuit_dir: Path) -> None:
    path = rel(project, circuit_dir / "c")
    save(failing_client, path, {"netlist": {"v": 1}, "schematic": {"v": 1}})
    with writes_fail():
        status = save(failing_client, path, {"netlist": {"v": 2}, "schematic": {"v": 2}}).status_code
    assert status == 500
    assert yaml.safe_load((circuit_dir / "c.scm.yml").read_text()) == {"v": 1}
    assert sorted(p.name for p in circuit_dir.iterdir()) == ["c.pic.yml", "c.scm.yml"]


def test_a_circuit_named_near_the_file_name_limit_saves(client: TestClient, project: Path, circuit_dir: Path) -> None:
    stem = circuit_dir / ("c" * (255 - len(".pic.yml")))
    document = {"netlist": {"v": 1}, "schematic": {"v": 2}}
    assert save(client, rel(project, stem), document).status_code == 200
    assert client.get(URL.format(rel(project, stem))).json() == document
    assert len(os.listdir(circuit_dir)) == 2
