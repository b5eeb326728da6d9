"""Latency and requests per second of the editor's component routes through the real server.

Starts the service on 127.0.0.1 for a throw-away project on a socket bound as
``quillon serve`` binds it, caches one generated symbol, and measures

- a cached symbol: GET /assets/svg/<component>.svg (kit and package miss, cache hit);
- the settings route: GET /assets/settings/<component>.json;
- a static file of the same bytes, served by the same server through a static
  mount (the baseline).

For each: the latency of one kept-alive connection (p50, p99 of ``--latency-requests``
requests in a row), and the rate on ``--connections`` connections, with ``wrk``
(Debian package ``wrk``) or a bounded keep-alive Python client when wrk is not
installed. Then the server's resident memory over ``--memory-requests`` requests
of the cached symbol on those connections. Prints the figures, their ratios to
the static file, the server's CPU time per request (which, unlike the rates,
does not depend on what else the machine runs) and the targets (p50 under 2 ms for the cached symbol, at least
1000 requests/s for settings and the cached symbol, memory flat). Run by hand:

    PYTHONPATH=python python bench/bench_editor.py [--seconds 5] [--connections 16]
"""

from __future__ import annotations

import argparse
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

COMPONENT = "straight_heater_metal"
STATIC_PREFIX = "/bench-static"


P50_TARGET_MS = 2.0
RATE_TARGET = 1000.0
#: Memory growth over the memory run that still counts as flat.
FLAT_MEMORY_KB = 5 * 1024


def serve(port: int, static_dir: str) -> None:
    """Server process: the service app plus a static mount of ``static_dir``, on
    a socket bound as ``quillon serve`` binds it and with its server settings."""
    from fastapi.staticfiles import StaticFiles

    import quillon.serve.schematic  # noqa: F401  (registers the routes)
    from quillon.cli.serve import _listen, server
    from quillon.serve.app import app

    app.mount(STATIC_PREFIX, StaticFiles(directory=static_dir), name="bench-static")
    sock = _listen(port)
    server(app, port, log_level="warning", access_log=False).run(sockets=[sock])


@contextmanager
def running_server(workdir: Path) -> Iterator[tuple[Path, Path, int, subprocess.Popen[bytes]]]:
    """The service for a throw-away project below `workdir`, with a static
    mount of an empty directory: (project, static directory, port, process)."""
    project, static = workdir / "project", workdir / "static"
    (project / "bench").mkdir(parents=True)
    (project / "pyproject.toml").write_text('[tool.quillon]\nname = "bench"\npdk = "demo_pdk"\n')
    static.mkdir()
    port = free_port()
    env = dict(os.environ, QUILLON_PROJECT_DIR=str(project))
    server = subprocess.Popen([sys.executable, __file__, "--serve", str(port), str(static)], env=env)
    try:
        wait_until_up(f"http://127.0.0.1:{port}")
        yield project, static, port, server
    finally:
        server.terminate()
        server.wait(timeout=30)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def wait_until_up(base: str, timeout: float = 60.0) -> None:
    deadline = time.monotonic() + timeout
    while True:
        try:
            with urllib.request.urlopen(base + "/assets/_svg/_empty.svg", timeout=2):
                return
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError("the server did not come up") from None
            time.sleep(0.2)


def fetch(base: str, path: str) -> bytes:
    with urllib.request.urlopen(base + path, timeout=30) as response:
        if response.status != 200:
            raise RuntimeError(f"{path}: status {response.status}")
        return response.read()


def rate_with_wrk(url: str, seconds: int, connections: int) -> tuple[float, int]:
    """(requests per second, requests answered)."""
    out = subprocess.run(
        ["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "10s", url],
        check=True,
        capture_output=True,
        text=True,
        timeout=seconds + 60,
    ).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError(f"errors while measuring {url}:\n{out}")
    match = re.search(r"Requests/sec:\s*([\d.]+)", out)
    answered = re.search(r"(\d+) requests in", out)
    if match is None or answered is None:
        raise RuntimeError(f"no rate in wrk's output:\n{out}")
    return float(match.group(1)), int(answered.group(1))


def rate_with_python(host: str, port: int, path: str, seconds: int, connections: int) -> tuple[float, int]:
    """Keep-alive GETs from ``connections`` threads for ``seconds``, at most 200000 in all:
    (requests per second, requests answered)."""
    stop = time.monotonic() + seconds
    counts = [0] * connections
    budget = 200_000 // connections

    def worker(k: int) -> None:
        conn = http.client.HTTPConnection(host, port, timeout=10)
        while time.monotonic() < stop and counts[k] < budget:
            conn.request("GET", path)
            response = conn.getresponse()
            response.read()
            if response.status != 200:
                raise RuntimeError(f"{path}: status {response.status}")
            counts[k] += 1
        conn.close()

    started = time.monotonic()
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(counts) / (time.monotonic() - started), sum(counts)


def latencies_ms(host: str, port: int, path: str, requests: int) -> list[float]:
    """Milliseconds of each of ``requests`` GETs in a row on one kept-alive connection, sorted."""
    conn = http.client.HTTPConnection(host, port, timeout=10)
    times = []
    try:
        for _ in range(requests):
            started = time.perf_counter()
            conn.request("GET", path)
            response = conn.getresponse()
            response.read()
            times.append((time.perf_counter() - started) * 1000)
            if response.status != 200:
                raise RuntimeError(f"{path}: status {response.status}")
    finally:
        conn.close()
    return sorted(times)


def percentile(sorted_values: list[float], fraction: float) -> float:
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def cpu_seconds(pid: int) -> float:
    """User plus system CPU time of process ``pid`` so far (Linux)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kb(pid: int) -> int:
    """The resident memory of process ``pid`` (Linux)."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc")


def requests_in_all(host: str, port: int, path: str, total: int, connections: int) -> None:
    """Exactly ``total`` keep-alive GETs shared out over ``connections`` threads."""

    def worker(count: int) -> None:
        conn = http.client.HTTPConnection(host, port, timeout=10)
        for _ in range(count):
            conn.request("GET", path)
            response = conn.getresponse()
            response.read()
            if response.status != 200:
                raise RuntimeError(f"{path}: status {response.status}")
        conn.close()

    shares = [total // connections + (k < total % connections) for k in range(connections)]
    threads = [threading.Thread(target=worker, args=(share,)) for share in shares]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=5, help="per measurement (default 5)")
    parser.add_argument("--connections", type=int, default=16, help="concurrent connections (default 16)")
    parser.add_argument("--latency-requests", type=int, default=2000, help="requests in a row per route (default 2000)")
    parser.add_argument(
        "--memory-requests", type=int, default=100_000, help="requests of the memory run (default 100000; 0 skips it)"
    )
    parser.add_argument("--rounds", type=int, default=2, help="measurements per route; the best counts")
    parser.add_argument("--serve", nargs=2, metavar=("PORT", "STATIC_DIR"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(int(args.serve[0]), args.serve[1])
        return

    with (
        tempfile.TemporaryDirectory(prefix="bench-editor-") as tmp,
        running_server(Path(tmp)) as (project, static, port, server),
    ):
        base = f"http://127.0.0.1:{port}"
        symbol = fetch(base, f"/assets/svg/{COMPONENT}.svg")  # generates and caches it
        cached = project / "build" / "svg" / f"{COMPONENT}.svg"
        assert cached.read_bytes() == symbol
        shutil.copyfile(cached, static / f"{COMPONENT}.svg")
        paths = {
            "static file": f"{STATIC_PREFIX}/{COMPONENT}.svg",
            "cached symbol": f"/assets/svg/{COMPONENT}.svg",
            "settings": f"/assets/settings/{COMPONENT}.json",
        }
        for path in paths.values():
            fetch(base, path)
        tool = "wrk" if shutil.which("wrk") else "python client"
        print(
            f"{len(symbol)}-byte symbol; latency over {args.latency_requests} requests on one connection; "
            f"rates on {args.connections} connections, {args.seconds} s x {args.rounds} rounds, load from {tool}"
        )
        latency = {name: latencies_ms("127.0.0.1", port, path, args.latency_requests) for name, path in paths.items()}
        rates = {name: 0.0 for name in paths}
        # Server CPU per request does not depend on what else the machine runs.
        cpu_ms = {name: float("inf") for name in paths}
        for _ in range(args.rounds):
            for name, path in paths.items():
                cpu_before = cpu_seconds(server.pid)
                if tool == "wrk":
                    rate, answered = rate_with_wrk(base + path, args.seconds, args.connections)
                else:
                    rate, answered = rate_with_python("127.0.0.1", port, path, args.seconds, args.connections)
                rates[name] = max(rates[name], rate)
                cpu_ms[name] = min(cpu_ms[name], 1000 * (cpu_seconds(server.pid) - cpu_before) / answered)
        for name in paths:
            p50, p99 = percentile(latency[name], 0.5), percentile(latency[name], 0.99)
            ratio = rates[name] / rates["static file"]
            print(
                f"{name:>14}: p50 {p50:6.2f} ms  p99 {p99:6.2f} ms  {rates[name]:8.0f} req/s  "
                f"({ratio:.0%} of the static file's rate); server CPU {cpu_ms[name]:.2f} ms per request "
                f"(at most {1000 / cpu_ms[name]:.0f} req/s on one core)"
            )
        p50 = percentile(latency["cached symbol"], 0.5)
        print(f"cached symbol p50 {'meets' if p50 < P50_TARGET_MS else 'MISSES'} the target of {P50_TARGET_MS} ms")
        for name in ("cached symbol", "settings"):
            verdict = "meets" if rates[name] >= RATE_TARGET else "MISSES"
            print(f"{name} {verdict} the target of {RATE_TARGET:.0f} req/s on {args.connections} connections")
        if args.memory_requests:
            warm_up = args.memory_requests // 10
            requests_in_all("127.0.0.1", port, paths["cached symbol"], warm_up, args.connections)
            before = resident_kb(server.pid)
            requests_in_all("127.0.0.1", port, paths["cached symbol"], args.memory_requests, args.connections)
            after = resident_kb(server.pid)
            verdict = "flat" if after - before <= FLAT_MEMORY_KB else "NOT FLAT"
            print(
                f"server memory after {warm_up} warm-up requests {before / 1024:.1f} MiB, after "
                f"{args.memory_requests} more {after / 1024:.1f} MiB ({after - before:+d} KiB): {verdict}"
            )


if __name__ == "__main__":
    main()
