"""The editor's save of a large circuit through the real server, against its least work.

    PYTHONPATH=python python bench/bench_save.py [--instances 10000] [--rounds 5]

Starts the service for a throw-away project (as `bench_editor.py` does) and
saves a random circuit of the demo kit (`quillon.demo.random_circuit`) as the
editor sends it: its netlist and a schematic holding every instance's
position. Each save moves one instance, so that both files are written. The
figure of a save runs from the client: the POST until its answer.

The least work, timed in this process: reading the body (`orjson.loads`),
writing both documents as YAML with PyYAML's C dumper and writing the two
files; beside it, the same with PyYAML's pure-Python dumper. Saves and least
work alternate over `--rounds`; the fastest of each counts, and the ratio of
the save to its least work is printed (the load average beside it).
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import orjson
import yaml

sys.path.insert(0, str(Path(__file__).parent))
from bench_build import sized_netlist  # noqa: E402
from bench_editor import running_server  # noqa: E402

#: The save's own cost may be at most this many times its least work.
TARGET = 1.5


def document(instances: int) -> dict[str, Any]:
    """What the editor posts for a random circuit of about `instances` instances."""
    netlist = sized_netlist(instances)
    schematic = {name: {"x": 10.0 * (k % 300), "y": 10.0 * (k // 300)} for k, name in enumerate(netlist["instances"])}
    return {"netlist": netlist, "schematic": {"instances": schematic}}


def moved(doc: dict[str, Any], step: int) -> bytes:
    """The body of `doc` with its first placed instance moved by `step`."""
    netlist = doc["netlist"]
    first = next(iter(netlist["placements"]))
    placements = {**netlist["placements"], first: {**netlist["placements"][first], "x": float(step)}}
    return json.dumps({**doc, "netlist": {**netlist, "placements": placements}}).encode()


def save(port: int, body: bytes) -> float:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    try:
        started = time.perf_counter()
        conn.request("POST", "/assets/netlists/bench/circuit.json", body, {"Content-Type": "application/json"})
        response = conn.getresponse()
        answer = response.read()
        elapsed = time.perf_counter() - started
    finally:
        conn.close()
    if response.status != 200:
        raise RuntimeError(f"save: status {response.status}: {answer[:200]!r}")
    return elapsed


def least_work(body: bytes, workdir: Path, dumper: Any = yaml.CSafeDumper) -> float:
    started = time.perf_counter()
    doc = orjson.loads(body)
    for name in ("netlist", "schematic"):
        text = yaml.dump(doc[name], Dumper=dumper, sort_keys=False)
        (workdir / f"least.{name}.yml").write_text(text)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--instances", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    doc = document(args.instances)
    count = len(doc["netlist"]["instances"])
    with tempfile.TemporaryDirectory(prefix="bench-save-") as tmp, running_server(Path(tmp)) as (_, _, port, _):
        save(port, moved(doc, -1))  # the first save also writes the circuit's schema
        saves = least = python_dumper = float("inf")
        for k in range(args.rounds):
            body = moved(doc, k)
            saves = min(saves, save(port, body))
            least = min(least, least_work(body, Path(tmp)))
            python_dumper = min(python_dumper, least_work(body, Path(tmp), yaml.SafeDumper))
        size = len(moved(doc, 0))
        print(
            f"save of {count} instances ({size / 2**20:.1f} MB of JSON), fastest of {args.rounds}, "
            f"load average {os.getloadavg()[0]:.1f}:"
        )
        print(f"  save through the server {saves * 1000:8.1f} ms")
        print(f"  least work              {least * 1000:8.1f} ms (orjson.loads, C dumper, both files written)")
        print(f"  the same with PyYAML's Python dumper {python_dumper * 1000:8.1f} ms")
        verdict = "meets" if saves <= TARGET * least else "MISSES"
        print(f"  ratio {saves / least:.2f}: {verdict} the target of {TARGET}")


if __name__ == "__main__":
    main()
