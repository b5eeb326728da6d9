"""What the editor feels while the service does bounded work: a real ``quillon serve``.

    PYTHONPATH=python python bench/bench_bounded.py [--scalar-mb 100] [--keys 1000000] [--half-open 1000]

Starts ``quillon serve`` as users run it, limited to 1024 open files (as many
systems start processes), for a throw-away project holding a netlist file
with one scalar of ``--scalar-mb`` MB and one with ``--keys`` keys, and prints:

- per file, the time to read it through GET /assets/netlists/... and, while
  it is read, the latency of a small request (GET /api/kit.json every 10 ms
  on a kept-alive connection): median and worst, beside the same figures
  with nothing else going on;
- with ``--half-open`` connections open that sent only part of their headers,
  the time of a request on a new connection (connect, request, answer):
  median and worst of 20, beside the same with none open;
- "Build and check" of the demo Mach-Zehnder circuit: the first (the worker
  server starts) and the next ones (a worker forked from it).
"""

from __future__ import annotations

import argparse
import http.client
import os
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def start(project: Path, port: int) -> subprocess.Popen[str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), *sys.path]))
    env.pop("QUILLON_PROJECT_DIR", None)

    def few_files() -> None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))

    server = subprocess.Popen(
        [sys.executable, "-m", "quillon", "serve", "--project-dir", str(project), "--port", str(port)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
        preexec_fn=few_files,
    )
    assert server.stdout is not None
    if not server.stdout.readline():
        raise SystemExit("the server did not start")
    # its access log follows on stdout: read it away, or the server waits on a full pipe
    threading.Thread(target=server.stdout.read, daemon=True).start()
    return server


def request(port: int, method: str, target: str, connection: http.client.HTTPConnection | None = None) -> bytes:
    own = connection is None
    connection = connection or http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    try:
        connection.request(method, target)
        response = connection.getresponse()
        body = response.read()
        if response.status != 200:
            raise SystemExit(f"{method} {target}: {response.status} {body[:200]!r}")
        return body
    finally:
        if own:
            connection.close()


def probe_while(port: int, busy: threading.Event) -> list[float]:
    """Latencies of GET /api/kit.json every 10 ms while `busy` is set."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    latencies = []
    while busy.is_set():
        started = time.perf_counter()
        request(port, "GET", "/api/kit.json", connection)
        latencies.append(time.perf_counter() - started)
        time.sleep(0.01)
    connection.close()
    return latencies


def during(port: int, work: float | str) -> tuple[float, list[float]]:
    """(seconds of the work, probe latencies meanwhile); `work` is a target to GET or seconds to idle."""
    busy = threading.Event()
    busy.set()
    found: list[list[float] | BaseException] = []

    def probing() -> None:
        try:
            found.append(probe_while(port, busy))
        except BaseException as exc:  # reported by the caller
            found.append(exc)

    prober = threading.Thread(target=probing)
    prober.start()
    time.sleep(0.2)
    started = time.perf_counter()
    if isinstance(work, str):
        request(port, "GET", work)
    else:
        time.sleep(work)
    seconds = time.perf_counter() - started
    busy.clear()
    prober.join()
    if isinstance(found[0], BaseException):
        raise SystemExit(f"the small requests failed: {found[0]!r}")
    return seconds, found[0]


def ms(values: list[float]) -> str:
    return f"median {1000 * statistics.median(values):7.1f} ms, worst {1000 * max(values):7.1f} ms"


def fresh_requests(port: int, count: int = 20) -> list[float]:
    times = []
    for _ in range(count):
        started = time.perf_counter()
        request(port, "GET", "/api/kit.json")
        times.append(time.perf_counter() - started)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scalar-mb", type=int, default=100)
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--half-open", type=int, default=1000)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, args.half_open + 200)), hard))
    with tempfile.TemporaryDirectory(prefix="bench-bounded-") as scratch:
        project = Path(scratch) / "project"
        (project / "chips").mkdir(parents=True)
        (project / "pyproject.toml").write_text('[tool.quillon]\nname = "chips"\npdk = "demo_pdk"\n')
        chips = project / "chips"
        (chips / "scalar.pic.yml").write_text(
            'instances:\n  a:\n    component: "' + "x" * (args.scalar_mb * 10**6) + '"\n'
        )
        (chips / "keys.pic.yml").write_text("instances:\n" + "".join(f"  k{i}: {i}\n" for i in range(args.keys)))
        (chips / "mzi.pic.yml").write_text((ROOT / "python" / "quillon" / "demo" / "demo_mzi.pic.yml").read_text())
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        server = start(project, port)
        try:
            request(port, "GET", "/api/kit.json")
            for name, label in (("scalar", f"a scalar of {args.scalar_mb} MB"), ("keys", f"{args.keys} keys")):
                seconds, busy = during(port, f"/assets/netlists/chips/{name}.json")
                _, idle = during(port, seconds)
                print(f"reading {label}: {seconds:.2f} s")
                print(f"  a small request meanwhile: {ms(busy)}")
                print(f"  with nothing going on:     {ms(idle)}")
            alone = fresh_requests(port)
            opened = []
            for _ in range(args.half_open):
                connection = socket.create_connection(("127.0.0.1", port))
                connection.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Partial: ")
                opened.append(connection)
            crowded = fresh_requests(port)
            for connection in opened:
                connection.close()
            print(f"a request on a new connection, {args.half_open} half-open connections open: {ms(crowded)}")
            print(f"  with none open:                                            {ms(alone)}")
            checks = []
            for _ in range(4):
                started = time.perf_counter()
                request(port, "POST", "/api/check/chips/mzi.json")
                checks.append(time.perf_counter() - started)
            print(f"build and check of the demo MZI: first {checks[0]:.2f} s, then {ms(checks[1:])}")
        finally:
            server.terminate()
            server.wait(60)


if __name__ == "__main__":
    main()
