"""Requests per second of the editor's component routes through the real server.

Starts the service with uvicorn on 127.0.0.1 for a throw-away project, caches
one generated symbol, and measures with ``wrk`` (Debian package ``wrk``), or a
bounded keep-alive Python client when wrk is not installed:

- a cached symbol: GET /assets/svg/<component>.svg (kit and package miss, cache hit);
- the settings route: GET /assets/settings/<component>.json;
- a static file of the same bytes, served by the same server through a static
  mount (the baseline).

Prints the rates and their ratios to the static file's rate. Run by hand:

    PYTHONPATH=python python bench/bench_editor.py [--seconds 5] [--connections 8]
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
from pathlib import Path

COMPONENT = "straight_heater_metal"
STATIC_PREFIX = "/bench-static"


def serve(port: int, static_dir: str) -> None:
    """Server process: the service app plus a static mount of ``static_dir``."""
    import uvicorn
    from fastapi.staticfiles import StaticFiles

    import quillon.serve.schematic  # noqa: F401  (registers the routes)
    from quillon.serve.app import app

    app.mount(STATIC_PREFIX, StaticFiles(directory=static_dir), name="bench-static")
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning", access_log=False)


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


def rate_with_wrk(url: str, seconds: int, connections: int) -> float:
    out = subprocess.run(
        ["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "10s", url],
        check=True, capture_output=True, text=True, timeout=seconds + 60,
    ).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError(f"errors while measuring {url}:\n{out}")
    match = re.search(r"Requests/sec:\s*([\d.]+)", out)
    if match is None:
        raise RuntimeError(f"no rate in wrk's output:\n{out}")
    return float(match.group(1))


def rate_with_python(host: str, port: int, path: str, seconds: int, connections: int) -> float:
    """Keep-alive GETs from ``connections`` threads for ``seconds``, at most 200000 in all."""
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
    return sum(counts) / (time.monotonic() - started)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=5, help="per measurement (default 5)")
    parser.add_argument("--connections", type=int, default=8, help="concurrent connections (default 8)")
    parser.add_argument("--rounds", type=int, default=2, help="measurements per route; the best counts")
    parser.add_argument("--serve", nargs=2, metavar=("PORT", "STATIC_DIR"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(int(args.serve[0]), args.serve[1])
        return

    with tempfile.TemporaryDirectory(prefix="bench-editor-") as tmp:
        project, static = Path(tmp) / "project", Path(tmp) / "static"
        (project / "bench").mkdir(parents=True)
        (project / "pyproject.toml").write_text('[tool.quillon]\nname = "bench"\npdk = "demo_pdk"\n')
        static.mkdir()
        port = free_port()
        env = dict(os.environ, QUILLON_PROJECT_DIR=str(project))
        server = subprocess.Popen([sys.executable, __file__, "--serve", str(port), str(static)], env=env)
        try:
            base = f"http://127.0.0.1:{port}"
            wait_until_up(base)
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
            print(f"{len(symbol)}-byte symbol, {args.connections} connections, "
                  f"{args.seconds} s x {args.rounds} rounds, load from {tool}")
            rates = {name: 0.0 for name in paths}
            for _ in range(args.rounds):
                for name, path in paths.items():
                    if tool == "wrk":
                        rate = rate_with_wrk(base + path, args.seconds, args.connections)
                    else:
                        rate = rate_with_python("127.0.0.1", port, path, args.seconds, args.connections)
                    rates[name] = max(rates[name], rate)
            for name, rate in rates.items():
                ratio = rate / rates["static file"]
                print(f"{name:>14}: {rate:8.0f} req/s  ({ratio:.0%} of the static file)")
            verdict = "meets" if rates["cached symbol"] >= 0.7 * rates["static file"] else "MISSES"
            print(f"cached symbol {verdict} the target of 70% of the static file's rate")
        finally:
            server.terminate()
            server.wait(timeout=30)


if __name__ == "__main__":
    main()
