"""The routes only the editor page needs, over the wire of a real ``quillon serve``."""

from __future__ import annotations

import json
import os
from collections.abc import Iterator
from pathlib import Path

import httpx
import pytest
import yaml
from editor_project import make_project, tree
from test_serve_real_server import Server, raw_request

from quillon import demo
from quillon.build.circuit_layout import build_circuit_gds


@pytest.fixture(scope="module")
def served(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[Server, Path]]:
    root = tmp_path_factory.mktemp("routes")
    project = make_project(root / "proj", name="src")
    for path in ("src/top.pic.yml", "src/sub/ring.pic.yml", "src/notes.yml", "build/src/old.pic.yml"):
        (project / path).parent.mkdir(parents=True, exist_ok=True)
        (project / path).write_text("instances: {}\n")
    (root / "outside.pic.yml").write_text("instances: {}\n")
    os.symlink(root / "outside.pic.yml", project / "src" / "leak.pic.yml")
    server = Server(project, root / "server.log")
    yield server, project
    server.stop()


def test_the_page_and_its_modules_are_served(served: tuple[Server, Path]) -> None:
    server, _ = served
    with httpx.Client(base_url=server.url) as client:
        page = client.get("/")
        assert page.headers["content-type"].startswith("text/html") and 'src="/editor/main.js"' in page.text
        assert "javascript" in client.get("/editor/model.js").headers["content-type"]


def test_circuits_are_the_netlist_files_below_the_source_directory(served: tuple[Server, Path]) -> None:
    server, _ = served
    listed = httpx.get(server.url + "api/circuits.json").json()
    assert listed == {"source_dir": "src", "circuits": ["src/sub/ring", "src/top"]}  # no link, no file elsewhere
    kit = httpx.get(server.url + "api/kit.json").json()
    assert kit["pdk"] == "demo_pdk" and "mmi1x2" in kit["components"] and "cross_section" not in kit["cross_sections"]
    assert kit["descriptions"]["mmi1x2"].startswith("1x2 MMI splitter") and set(kit["descriptions"]) == set(
        kit["components"]
    )


@pytest.mark.parametrize(
    "target",
    ["/api/check/..%2Foutside.json", "/api/check/src/leak.json", "/api/check/src/missing.json", "/api/check/src.json"],
)
def test_check_refuses_what_is_not_a_circuit_file_of_the_project(served: tuple[Server, Path], target: str) -> None:
    server, project = served
    status, text = raw_request(server.port, "POST", target)
    assert status == 404 and text.startswith('{"error":"Cannot check: ')
    assert not (project / "build" / "check").exists()


def test_check_writes_into_the_project_only(served: tuple[Server, Path], tmp_path: Path) -> None:
    server, project = served
    (project / "src" / "pair.pic.yml").write_text(
        "instances: {a: {component: straight}, b: {component: straight}}\n"
        "connections: {'a,o2': 'b,o1'}\nroutes: {}\nnets: []\nports: {}\n"
    )
    checked = httpx.post(server.url + "api/check/src/pair.json", timeout=120)
    assert checked.status_code == 200 and checked.json()["report"] == "build/check/src__pair.lyrdb"
    # the two ends of the pair are open: the findings say so by their kind
    assert [finding["kind"] for finding in checked.json()["findings"]] == ["open_port", "open_port"]
    import klayout.rdb as rdb

    report = rdb.ReportDatabase("")
    report.load(str(project / "build" / "check" / "src__pair.lyrdb"))
    assert report.original_file == str(project.resolve() / "build" / "check" / "src__pair.gds")

    # a directory swapped for a link outside: the check answers, nothing lands there
    os.rename(project / "build" / "check", tmp_path / "was")
    os.symlink(tmp_path, project / "build" / "check")
    try:
        refused = httpx.post(server.url + "api/check/src/pair.json", timeout=120)
    finally:
        os.unlink(project / "build" / "check")
        os.rename(tmp_path / "was", project / "build" / "check")
    assert refused.status_code == 500 and list(tmp_path.iterdir()) == []


MZI = yaml.safe_load(demo.MZI.read_text())


@pytest.mark.parametrize(
    ("body", "status", "answer"),
    [
        pytest.param(json.dumps(MZI), 200, "", id="the demo Mach-Zehnder"),
        pytest.param("{not json", 422, "Cannot place the instances: the netlist is not JSON", id="not JSON"),
        pytest.param("[1, 2]", 422, "Cannot place the instances: the netlist is not a mapping.", id="a list"),
        pytest.param(
            json.dumps({"instances": {"a": {"component": "mmi3x3"}}}),
            422,
            "Cannot place the instances as the layout does: instance 'a': unknown component 'mmi3x3'",
            id="unknown component",
        ),
        pytest.param(
            json.dumps({"instances": {f"i{k}": {"component": "pad"} for k in range(20001)}}),
            413,
            "Cannot place the instances: 20001 is more than 20000.",
            id="too many instances",
        ),
    ],
)
def test_placements_answer_where_the_layout_puts_each_instance(
    served: tuple[Server, Path], body: str, status: int, answer: str
) -> None:
    server, project = served
    before = tree(project)
    response = httpx.post(server.url + "api/placements.json", content=body, timeout=120)
    assert response.status_code == status
    if status != 200:
        assert response.json()["error"].startswith(answer)
    else:
        placed = response.json()["instances"]
        assert list(placed) == list(MZI["instances"])
        assert placed["combiner"] == {
            "x": 240.0,
            "y": 0.0,
            "rotation": 180.0,
            "mirror": False,
            "box": [224.5, -1.25, 250.0, 1.25],
        }
        assert (placed["gc_in"]["x"], placed["gc_in"]["rotation"]) == (-10.0, 180.0)  # joined to the splitter's input
    assert tree(project) == before  # nothing read or written in the project


def test_layouts_are_the_gds_and_oasis_files_of_the_project(served: tuple[Server, Path]) -> None:
    server, project = served
    for path in (
        "layouts/chip.gds",
        "layouts/old/chip.OAS",
        "build/gds/pdk/straight.gds",
        ".hidden/x.gds",
        "layouts/notes.txt",
    ):
        (project / path).parent.mkdir(parents=True, exist_ok=True)
        (project / path).write_bytes(b"")
    os.symlink(project.parent / "outside.pic.yml", project / "layouts" / "leak.gds")
    listed = httpx.get(server.url + "api/layouts.json").json()["layouts"]
    assert [p for p in listed if p.startswith(("layouts/", "build/gds", ".hidden"))] == [
        "layouts/chip.gds",
        "layouts/old/chip.OAS",
    ]


TWIN = "instances: {a: {component: straight}, b: {component: straight}}\nplacements: {a: {x: 0, y: 0}}\nroutes: {}\nnets: []\nports: {in: 'a,o1', out: 'b,o2'}\n"


def check_layout(server: Server, circuit: str, body: object) -> httpx.Response:
    text = body if isinstance(body, str) else json.dumps(body)
    return httpx.post(f"{server.url}api/check-layout/{circuit}.json", content=text, timeout=120)


def test_check_layout_finds_what_the_circuit_lost(served: tuple[Server, Path]) -> None:
    server, project = served
    netlist = project / "src" / "twin.pic.yml"
    netlist.write_text(TWIN + "connections: {'a,o2': 'b,o1'}\n")
    (project / "layouts").mkdir(exist_ok=True)
    assert build_circuit_gds(netlist, project / "layouts" / "twin.gds", project) == "twin"
    clean = check_layout(server, "src/twin", {"layout": "layouts/twin.gds"})
    assert clean.status_code == 200 and clean.json()["findings"] == [] and clean.json()["cell"] == "twin", clean.text

    netlist.write_text(TWIN + "connections: {}\n")  # the designer deleted the link
    checked = check_layout(server, "src/twin", {"layout": "layouts/twin.gds", "cell": "twin"}).json()
    assert checked["report"] == "build/check/src__twin__twin.lyrdb" and checked["layout"] == "layouts/twin.gds"
    assert [(f["category"], f["instances"], f["connections"]) for f in checked["findings"]] == [
        ("Unknown Connections", ["a", "b"], [["a,o2", "b,o1"]])
    ]
    assert checked["findings"][0]["texts"] == ["Unknown Connection from 'a,o2' to 'b,o1'"]
    import klayout.rdb as rdb

    report = rdb.ReportDatabase("")
    report.load(str(project / checked["report"]))
    assert report.original_file == str(project.resolve() / "layouts" / "twin.gds")

    # ports the circuit does not name are open in the layout: said without the check's placeholder
    lone = project / "src" / "lone.pic.yml"
    lone.write_text(
        TWIN.replace("ports: {in: 'a,o1', out: 'b,o2'}", "ports: {}").replace(", b: {component: straight}", "")
        + "connections: {}\n"
    )
    build_circuit_gds(lone, project / "layouts" / "lone.gds", project)
    opened = check_layout(server, "src/lone", {"layout": "layouts/lone.gds"}).json()["findings"]
    assert [f["texts"][0] for f in opened] == [
        "Unknown Connection at 'a,o1', which connects to nothing at its other end",
        "Unknown Connection at 'a,o2', which connects to nothing at its other end",
    ]


@pytest.mark.parametrize(
    ("circuit", "body", "status", "message"),
    [
        ("src/twin", "not json", 422, 'Cannot check: the body must be {"layout": "PATH", "cell": "NAME"}'),
        ("src/twin", {"layout": 3}, 422, "Cannot check: the body must be"),
        ("src/twin", {"layout": "layouts/twin.gds", "cell": 1}, 422, "Cannot check: the body must be"),
        (
            "src/twin",
            {"layout": "layouts/notes.txt"},
            422,
            "Cannot check 'layouts/notes.txt': a layout is a GDS or OASIS file",
        ),
        ("src/twin", {"layout": "../outside.gds"}, 404, "Cannot check: '../outside.gds' is "),
        ("src/twin", {"layout": "layouts/leak.gds"}, 404, "Cannot check: 'layouts/leak.gds' is "),
        (
            "src/twin",
            {"layout": "layouts/missing.gds"},
            404,
            "Cannot check: 'layouts/missing.gds' is not a file of the project",
        ),
        (
            "src/missing",
            {"layout": "layouts/twin.gds"},
            404,
            "Cannot check: 'src/missing.pic.yml' is not a file of the project",
        ),
        (
            "src/twin",
            {"layout": "layouts/pipe.gds"},
            422,
            "Cannot check: 'layouts/pipe.gds' cannot be read: it is not a regular file.",
        ),
        ("src/twin", {"layout": "layouts/chip.gds"}, 422, "Cannot check layouts/chip.gds: "),
        ("src/twin", {"layout": "layouts/twin.gds", "cell": "nope"}, 422, "Cannot check layouts/twin.gds: "),
    ],
)
def test_check_layout_refuses_with_one_line(
    served: tuple[Server, Path], circuit: str, body: object, status: int, message: str
) -> None:
    server, project = served
    if not (project / "layouts" / "twin.gds").exists():
        test_check_layout_finds_what_the_circuit_lost(served)
    if not (project / "layouts" / "pipe.gds").is_fifo():
        os.mkfifo(project / "layouts" / "pipe.gds")  # refused, never waited on
    answer = check_layout(server, circuit, body)
    assert answer.status_code == status and answer.json()["error"].startswith(message), answer.text
    assert "\n" not in answer.json()["error"] and "/tmp/" not in answer.json()["error"]
