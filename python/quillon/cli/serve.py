"""``quillon serve``: run the schematic editor service on the local machine.

The service listens on 127.0.0.1 only, for the project directory given with
``--project-dir`` (default ``$QUILLON_PROJECT_DIR`` or the current directory);
a project whose settings name no kit gets the demo kit. The project directory
is handed to the application through ``QUILLON_PROJECT_DIR`` before the
application module is imported, since it reads the project settings once at
import.

The listening socket is bound before the server starts, so that a port in use
is reported plainly before anything else happens, and clients that connect
early wait in the socket's queue instead of being refused. It is made with the
TCP protocol number, by which the event loop recognises a TCP socket and turns
off Nagle's delay on each connection it accepts (else every answer on a kept-
alive connection waits for the client's delayed acknowledgement, some 40 ms).

The server parses HTTP with the compiled parser and runs on the libuv event
loop, which take less processor time per request than the pure-Python parser
and the selector loop. Before serving, everything loaded so far (the kit, the
layout library, the web framework) is moved out of the garbage collector's
reach: it lives as long as the process, and otherwise each full collection
walks all of it again while requests wait.

``--max-body-mb`` sets the largest request body accepted (default 64 MiB);
larger ones are refused with 413. ``--check-seconds`` and ``--check-memory-mb``
bound what a request may start in a worker process ("Build and check", the
reading of a large circuit; :mod:`quillon.serve.worker`): default 60 s and
4096 MiB. ``--header-timeout`` bounds the time a connection may take to send a
request's headers (default 10 s), and at most 1000 connections are open at
once (fewer when the process may not open that many files), the longest
waiting for its headers closed first (:mod:`quillon.serve.connections`).
"""

from __future__ import annotations

import argparse
import gc
import importlib
import os
import socket
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import uvicorn

from quillon.serve import connections, worker
from quillon.settings import PROJECT_DIR_ENV, SettingsError, get_settings

MAX_BODY_ENV = "QUILLON_MAX_BODY_BYTES"  # read by quillon.serve.app
DEFAULT_MAX_BODY_MB = 64

__all__ = ["DEFAULT_PORT", "HELP", "HOST", "add_arguments", "run", "server"]

HELP = "Serve the schematic editor for a project on http://127.0.0.1."
HOST = "127.0.0.1"
DEFAULT_PORT = 8787


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 1 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"invalid port {text!r}: expected an integer from 1 to 65535")
    return port


def _megabytes(text: str) -> int:
    if not text.isdigit() or not 0 < int(text) <= 1 << 20:
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: expected a whole number of MiB from 1 to 1048576")
    return int(text)


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 < seconds <= 86400:
        raise argparse.ArgumentTypeError(f"invalid time {text!r}: expected a number of seconds above 0, at most 86400")
    return seconds


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Declare the subcommand's options."""
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT, help=f"TCP port (default {DEFAULT_PORT})")
    parser.add_argument(
        "--project-dir", metavar="DIR", help=f"project directory (default ${PROJECT_DIR_ENV} or the current directory)"
    )
    parser.add_argument(
        "--max-body-mb",
        metavar="MIB",
        type=_megabytes,
        default=DEFAULT_MAX_BODY_MB,
        help=f"largest request body accepted, in MiB (default {DEFAULT_MAX_BODY_MB})",
    )
    parser.add_argument(
        "--check-seconds",
        metavar="S",
        type=_seconds,
        default=worker.DEFAULT_SECONDS,
        help=f"time a check (or another request's work in a worker) may take before it is stopped (default {worker.DEFAULT_SECONDS:g})",
    )
    parser.add_argument(
        "--check-memory-mb",
        metavar="MIB",
        type=_megabytes,
        default=worker.DEFAULT_MEMORY_MB,
        help=f"memory, and size of each file written, a check may take, in MiB (default {worker.DEFAULT_MEMORY_MB})",
    )
    parser.add_argument(
        "--header-timeout",
        metavar="S",
        type=_seconds,
        default=connections.DEFAULT_HEADER_SECONDS,
        help=f"time a connection may take to send a request's headers (default {connections.DEFAULT_HEADER_SECONDS:g})",
    )


def _fail(message: str) -> int:
    print(f"quillon serve: error: {message}", file=sys.stderr)
    return 2


def _listen(port: int) -> socket.socket:
    """A listening TCP socket on HOST:port (raises OSError when the port is taken)."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((HOST, port))
        sock.listen(128)
    except OSError:
        sock.close()
        raise
    return sock


def server(
    app: Any, port: int, header_seconds: float = connections.DEFAULT_HEADER_SECONDS, **options: Any
) -> uvicorn.Server:
    """The server for ``app`` on HOST:port, ready to run on a socket bound by :func:`_listen`.

    Call it once the application and its routes are loaded: what exists by
    then is frozen out of the garbage collector (see the module docstring).
    Connections are bounded in number and in the time to send a request's
    headers (`header_seconds`). ``options`` go to :class:`uvicorn.Config` as
    they are.
    """
    import uvicorn

    gc.collect()
    gc.freeze()
    protocol = connections.bounded_http_protocol(header_seconds, connections.connection_limit())
    config = uvicorn.Config(app, host=HOST, port=port, http=protocol, loop="uvloop", **options)
    return uvicorn.Server(config)


def run(args: argparse.Namespace) -> int:
    """Serve the editor until interrupted; returns the exit status."""
    project = Path(os.path.abspath(args.project_dir or os.environ.get(PROJECT_DIR_ENV) or os.getcwd()))
    if not project.is_dir():
        return _fail(f"project directory {str(project)!r} does not exist")
    try:
        settings = get_settings(project)
    except SettingsError as exc:
        return _fail(str(exc))
    # The editor finds every component's ports in the kit cache.
    from quillon.build.kit_cache import build_quietly

    build_quietly(project)

    loaded = sys.modules.get("quillon.serve.app")
    if loaded is not None and getattr(loaded, "PROJECT_DIR", None) != str(project):
        return _fail(f"the application was already loaded for {loaded.PROJECT_DIR!r}")
    os.environ[PROJECT_DIR_ENV] = str(project)
    os.environ[MAX_BODY_ENV] = str(args.max_body_mb << 20)
    os.environ[worker.CHECK_SECONDS_ENV] = repr(args.check_seconds)
    os.environ[worker.CHECK_MEMORY_ENV] = str(args.check_memory_mb)
    try:
        importlib.import_module("quillon.serve.editor_routes")  # before the schematic routes' "/assets" mount
        importlib.import_module("quillon.serve.schematic")
    except ImportError as exc:
        return _fail(f"cannot load the schematic editor routes (quillon.serve.schematic): {exc}")

    from quillon.serve.app import app

    worker.start_fork_server()
    try:
        sock = _listen(args.port)
    except OSError as exc:
        return _fail(f"cannot listen on {HOST}:{args.port}: {exc.strerror or exc}")
    print(f"quillon: serving {project} (kit {settings.pdk.name}) at http://{HOST}:{args.port}/", flush=True)
    with sock:
        server(app, args.port, args.header_timeout).run(sockets=[sock])
    return 0
