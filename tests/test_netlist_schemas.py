"""The JSON Schema of the kit's netlist files: a valid schema, met by every netlist we ship or write."""

from __future__ import annotations

from pathlib import Path

import orjson
import pytest
import yaml
from fastapi.testclient import TestClient
from jsonschema import Draft202012Validator
from test_circuit_layout import BAD, GOOD

import demo_pdk
import quillon
from quillon.build.schemas import netlist_schema, write_project_schemas
from quillon.demo.random_circuit import random_netlist

HEADER = "# yaml-language-server: $schema="
#: Netlist files that ship with the package.
SHIPPED = sorted(Path(quillon.__file__).resolve().parent.rglob("*.pic.yml"))
#: The bad netlists of the build's table that a schema can tell from good ones.
SCHEMA_CATCHES = {
    "unknown entry",
    "unknown component",
    "unknown setting",
    "bad setting type",
    "setting below the kit's limit",
    "unknown routing strategy",
    "bad routing setting",
    "not a mapping",
}


@pytest.fixture(scope="module")
def validator() -> Draft202012Validator:
    schema = netlist_schema(demo_pdk.PDK)
    Draft202012Validator.check_schema(schema)
    return Draft202012Validator(schema)


def problems(validator: Draft202012Validator, netlist: object) -> list[str]:
    return [f"{list(error.absolute_path)}: {error.message}" for error in validator.iter_errors(netlist)]


@pytest.mark.parametrize("path", SHIPPED, ids=[path.name for path in SHIPPED])
def test_every_shipped_netlist_meets_the_schema(validator: Draft202012Validator, path: Path) -> None:
    assert problems(validator, yaml.safe_load(path.read_text())) == []


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_random_netlists_meet_the_schema(validator: Draft202012Validator, seed: int) -> None:
    assert problems(validator, random_netlist(seed, chains=4, length=8)) == []


@pytest.mark.parametrize(
    ("replace", "by"), [pytest.param(case[1], case[2], id=case[0]) for case in BAD if case[0] in SCHEMA_CATCHES]
)
def test_bad_netlists_fail_the_schema(validator: Draft202012Validator, replace: str, by: str) -> None:
    assert problems(validator, yaml.safe_load(GOOD)) == []
    assert problems(validator, yaml.safe_load(GOOD.replace(replace, by, 1)))


@pytest.mark.parametrize("circuit", ["ring", "deep/ring", "deep/"])
def test_saving_a_new_circuit_writes_the_schema_its_header_names(
    client: TestClient, project: Path, circuit_dir: Path, circuit: str
) -> None:
    netlist = yaml.safe_load(GOOD)
    path = f"{circuit_dir.relative_to(project)}/{circuit}"
    answer = client.post(f"/assets/netlists/{path}.json", content=orjson.dumps({"netlist": netlist, "schematic": {}}))
    assert answer.status_code == 200
    header, _, body = (project / f"{path}.pic.yml").read_text().partition("\n")
    assert header.startswith(HEADER)
    # The header is relative to the project's source directory (the editor's rule).
    schema_file = (project / "demo" / header.removeprefix(HEADER)).resolve()
    schema = orjson.loads(schema_file.read_bytes())  # written by the save, the circuit having none
    assert problems(Draft202012Validator(schema), yaml.safe_load(body)) == []
    assert schema_file in write_project_schemas(project)
