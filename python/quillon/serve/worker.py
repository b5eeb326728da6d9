"""Work a request starts, run in a worker process of its own, bounded in time and size.

Building and checking a circuit, or reading a netlist file of many megabytes,
can take long and hold the interpreter (native readers and KLayout keep its
lock while they work), so that every other request would wait. Such work runs
in a process of its own (:func:`run_bounded`), which the service waits for
without holding a thread:

- it is killed when it runs longer than :attr:`Limits.seconds` (default 60 s,
  ``quillon serve --check-seconds``), and may allocate at most
  :attr:`Limits.memory_bytes` beyond what it starts with and write files of at
  most that size (default 4096 MiB, ``quillon serve --check-memory-mb``);
  ``quillon serve`` hands both to the application as ``QUILLON_CHECK_SECONDS``
  and ``QUILLON_CHECK_MEMORY_MB``;
- whatever stops it (the limits, an error of its own, a crash) ends in a
  :class:`WorkerFailure` whose message is one line for the page;
- work given a ``key`` (a circuit, a layout) runs at most once at a time per
  key: a second request meanwhile gets :class:`WorkerBusy`;
- at most :data:`MAX_WORKERS` run at once; later ones wait their turn without
  holding a thread.

Workers are forked from a server process started once (multiprocessing's
"forkserver"), which has imported the check, the build and the kit already, so
that a worker starts in a few tens of milliseconds, never inherits the
service's sockets or threads, and dies with the service.

:func:`in_worker_when_large` serves a route from a worker when the files it
reads are large, and from a thread as before when they are small; no save of
the service runs meanwhile.
"""

from __future__ import annotations

import asyncio
import contextlib
import errno
import importlib
import math
import multiprocessing
import os
import pickle
import shutil
import signal
import sys
import tempfile
from collections.abc import Callable, Coroutine, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

__all__ = [
    "CHECK_MEMORY_ENV",
    "CHECK_SECONDS_ENV",
    "DEFAULT_MEMORY_MB",
    "DEFAULT_SECONDS",
    "LARGE_FILE_BYTES",
    "MAX_WORKERS",
    "Limits",
    "WorkerBusy",
    "WorkerFailure",
    "call_handler",
    "in_worker_when_large",
    "run_bounded",
    "start_fork_server",
]

T = TypeVar("T")

CHECK_SECONDS_ENV = "QUILLON_CHECK_SECONDS"
CHECK_MEMORY_ENV = "QUILLON_CHECK_MEMORY_MB"
DEFAULT_SECONDS = 60.0
DEFAULT_MEMORY_MB = 4096
#: Workers running at once; more wait.
MAX_WORKERS = 2
#: Files read by a route above this size are read in a worker (a quarter of a megabyte of
#: YAML takes some tens of milliseconds to read).
LARGE_FILE_BYTES = 256 << 10
#: Seconds of processor time a worker may use beyond its time limit before
#: the system stops it, should the service be gone and unable to.
_CPU_GRACE = 10


@dataclass(frozen=True)
class Limits:
    """What a worker may take: wall-clock seconds, and bytes of memory and of each file it writes."""

    seconds: float = DEFAULT_SECONDS
    memory_bytes: int = DEFAULT_MEMORY_MB << 20

    @classmethod
    def from_environment(cls) -> Limits:
        """The limits ``quillon serve`` set (:data:`CHECK_SECONDS_ENV`, :data:`CHECK_MEMORY_ENV`), else the defaults."""
        seconds = _positive(os.environ.get(CHECK_SECONDS_ENV), float) or DEFAULT_SECONDS
        megabytes = _positive(os.environ.get(CHECK_MEMORY_ENV), int) or DEFAULT_MEMORY_MB
        return cls(seconds, megabytes << 20)


def _positive(text: str | None, kind: Callable[[str], float]) -> Any:
    try:
        value = kind(text) if text else None
    except ValueError:
        return None
    return value if value is not None and math.isfinite(value) and value > 0 else None


class WorkerFailure(Exception):
    """The work did not finish; the message is one line saying why."""


class WorkerBusy(WorkerFailure):
    """The same work (same key) is running already."""


_running: set[str] = set()
_slots: dict[int, asyncio.Semaphore] = {}  # per event loop


async def run_bounded(
    job: Callable[..., T], *args: Any, key: str | None = None, what: str = "the check", limits: Limits | None = None
) -> T:
    """``job(*args)`` run in a worker process; what it returns (it must pickle), or
    :class:`WorkerFailure` with one line that names `what` and says what stopped it.

    `job` must be a module-level function of a module that has no side effects
    when imported. Its exceptions come back as :class:`WorkerFailure` (type and
    first line); a job that has refusals of its own returns them instead.
    """
    limits = limits or Limits.from_environment()
    if key is not None:
        if key in _running:
            raise WorkerBusy(f"{what} is running already; wait for it to end")
        _running.add(key)
    try:
        async with _slot():
            return await _run_once(job, args, what, limits)
    finally:
        if key is not None:
            _running.discard(key)


def _slot() -> asyncio.Semaphore:
    loop = asyncio.get_running_loop()
    slot = _slots.get(id(loop))
    if slot is None:
        slot = _slots[id(loop)] = asyncio.Semaphore(MAX_WORKERS)
    return slot


async def _run_once(job: Callable[..., T], args: tuple[Any, ...], what: str, limits: Limits) -> T:
    from starlette.concurrency import run_in_threadpool

    with _scratch() as scratch:
        result = scratch / "result.pickle"
        process = _context().Process(target=_work, args=(job, args, limits, str(result)), daemon=True)
        await run_in_threadpool(process.start)  # the first one starts the fork server
        try:
            finished = await _exited(process, limits.seconds)
        except BaseException:  # cancelled: the client left or the service stops
            _kill(process)
            raise
        if not finished:
            _kill(process)
            raise WorkerFailure(
                f"{what} took longer than its limit of {limits.seconds:g} s (quillon serve --check-seconds) and was stopped"
            )
        process.join()
        outcome = await run_in_threadpool(_read_outcome, result)  # a large answer is read off the loop
        return _outcome(process.exitcode, outcome, what, limits)


async def _exited(process: multiprocessing.process.BaseProcess, seconds: float) -> bool:
    """Whether `process` ended within `seconds`; waits on the event loop, not in a thread."""
    loop = asyncio.get_running_loop()
    ended = loop.create_future()
    sentinel = process.sentinel
    loop.add_reader(sentinel, lambda: ended.done() or ended.set_result(None))
    try:
        await asyncio.wait_for(ended, seconds)
        return True
    except TimeoutError:
        return False
    finally:
        loop.remove_reader(sentinel)


def _kill(process: multiprocessing.process.BaseProcess) -> None:
    with contextlib.suppress(OSError, ValueError, AttributeError):
        process.kill()
        process.join(5)


_MEMORY_OPTION = " (quillon serve --check-memory-mb)"


def _read_outcome(result: Path) -> tuple[Any, ...]:
    """What the worker left in `result`: ("returned", value), ("memory",), ("file size",),
    ("raised", type, line), or () when it left nothing."""
    try:
        return tuple(pickle.loads(result.read_bytes()))
    except (OSError, EOFError, pickle.UnpicklingError, ValueError):
        return ()


def _outcome(exitcode: int | None, outcome: tuple[Any, ...], what: str, limits: Limits) -> Any:
    kind, *rest = outcome or (None,)
    if kind == "returned":
        return rest[0]
    if kind == "memory":
        raise WorkerFailure(
            f"{what} needed more memory than its limit of {limits.memory_bytes >> 20} MiB{_MEMORY_OPTION}"
        )
    if kind == "file size":
        raise WorkerFailure(
            f"{what} wrote a file larger than its limit of {limits.memory_bytes >> 20} MiB{_MEMORY_OPTION}"
        )
    if kind == "raised":
        raise WorkerFailure(f"{what} failed: {rest[0]}: {rest[1]}")
    if exitcode is not None and exitcode < 0:
        name = signal.Signals(-exitcode).name if -exitcode in signal.valid_signals() else str(-exitcode)
        raise WorkerFailure(
            f"{what} stopped unexpectedly ({name}); it may have needed more than its {limits.memory_bytes >> 20} MiB{_MEMORY_OPTION}"
        )
    raise WorkerFailure(f"{what} stopped unexpectedly (exit status {exitcode})")


@contextlib.contextmanager
def _scratch() -> Iterator[Path]:
    directory = Path(tempfile.mkdtemp(prefix="quillon-worker-"))
    try:
        yield directory
    finally:
        shutil.rmtree(directory, ignore_errors=True)


_forkserver: multiprocessing.context.BaseContext | None = None


def _context() -> multiprocessing.context.BaseContext:
    """The fork server context, with the modules of the work imported once in the server."""
    global _forkserver
    if _forkserver is None:
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(_preloaded())
        _forkserver = context
    return _forkserver


def start_fork_server() -> None:
    """Start the fork server now, in the background, rather than on the first request that
    needs a worker (the first circuit opened without a drawing, the first check), which
    would otherwise wait a second for it to import the modules of the work. A server that
    cannot start now is started, or its failure reported, on that request as before."""
    from multiprocessing import forkserver

    _context()
    with contextlib.suppress(OSError, ValueError):
        forkserver.ensure_running()


def _preloaded() -> list[str]:
    modules = ["quillon.checking", "quillon.build.circuit_layout", "quillon.core.lvs", "quillon.serve.check_job"]
    app = sys.modules.get("quillon.serve.app")
    if app is not None:  # the kit of the service, and the routes a large read runs
        modules += [app.PDK, "quillon.serve.schematic"]
    return modules


# --- in the worker ---------------------------------------------------------------------------


def _work(job: Callable[..., Any], args: tuple[Any, ...], limits: Limits, result: str) -> None:
    """The worker's life: limits first, then the job; its outcome pickled into `result`."""
    _limit_self(limits)
    try:
        outcome: tuple[Any, ...] = ("returned", job(*args))
    except MemoryError:
        outcome = ("memory",)
    except Exception as exc:
        too_large = getattr(exc, "errno", None) == errno.EFBIG or f"(errno={errno.EFBIG})" in str(exc)  # KLayout's text
        outcome = ("file size",) if too_large else ("raised", type(exc).__name__, _first_line(exc))
    try:
        data = pickle.dumps(outcome, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as exc:  # a job's value that does not pickle
        data = pickle.dumps(("raised", type(exc).__name__, _first_line(exc)))
    with open(result, "wb") as file:
        file.write(data)


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else ""


def _limit_self(limits: Limits) -> None:
    import resource

    # Die with the fork server, which dies with the service: nobody else would stop this.
    with contextlib.suppress(OSError, AttributeError):
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    size = _address_space()
    resource.setrlimit(resource.RLIMIT_AS, (size + limits.memory_bytes,) * 2)
    # A file that grows past the limit fails to be written (EFBIG) instead of killing the worker.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limits.memory_bytes,) * 2)
    cpu = math.ceil(limits.seconds) + _CPU_GRACE
    resource.setrlimit(resource.RLIMIT_CPU, (cpu, cpu + _CPU_GRACE))


def _address_space() -> int:
    """The bytes of address space this process holds now."""
    with contextlib.suppress(OSError, ValueError, IndexError):
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    return 0


# --- routes whose reads may be large --------------------------------------------------------


def call_handler(module: str, name: str, args: tuple[Any, ...], body: str) -> tuple[int, str | None]:
    """In a worker: the response of the route handler `module.name` to `args`; its body is
    written to the file `body`, its status and media type returned."""
    response = getattr(importlib.import_module(module), name)(*args)
    with open(body, "wb") as file:
        file.write(response.body)
    return response.status_code, response.media_type


def in_worker_when_large(handler: Callable[..., Any]) -> Callable[..., Coroutine[Any, Any, Any]]:
    """`handler` (of a circuit ``path``, as the netlist routes take it) as a coroutine function
    that reads large circuits in a worker: when the netlist or schematic file of ``path``
    is larger than :data:`LARGE_FILE_BYTES`, the handler runs there and its answer is sent
    from the file the worker wrote, a piece at a time; otherwise it runs on a worker thread
    as before."""
    import functools

    from fastapi.responses import FileResponse, PlainTextResponse
    from starlette.background import BackgroundTask
    from starlette.concurrency import run_in_threadpool

    async def endpoint(path: str) -> Any:
        if not _large_circuit(path):
            return await run_in_threadpool(handler, path)
        directory = tempfile.mkdtemp(prefix="quillon-read-")
        body = os.path.join(directory, "body")
        held: list[Any] = []  # filled as they are taken: released however this ends
        try:
            await run_in_threadpool(_hold_save_locks, held)
            status, media_type = await run_bounded(
                call_handler, handler.__module__, handler.__name__, (path,), body, what="the read"
            )
        except BaseException as exc:
            shutil.rmtree(directory, ignore_errors=True)
            if isinstance(exc, WorkerFailure):
                return PlainTextResponse(f"could not read {path}: {exc}", status_code=503)
            raise
        finally:
            for lock in held:
                lock.release()
        removal = BackgroundTask(shutil.rmtree, directory, ignore_errors=True)
        return FileResponse(body, status_code=status, media_type=media_type, background=removal)

    functools.update_wrapper(endpoint, handler, updated=())
    endpoint.__signature__ = handler.__signature__  # type: ignore[attr-defined]
    return endpoint


def _hold_save_locks(held: list[Any]) -> None:
    """Takes the service's save locks, all of them, into `held` (in order; a save holds one at a time).

    The service serialises the saves and reads of a circuit with locks of its
    own process, and a read completes or undoes a save it finds interrupted: a
    read in a worker must not find one in progress. Saves wait meanwhile; the
    read is bounded in time.
    """
    from quillon import _files

    for lock in _files._save_locks:
        lock.acquire()
        held.append(lock)


def _large_circuit(path: str) -> bool:
    """Whether a file of the circuit `path` is large; looked at without opening it (what it
    is and where it leads is the handler's to judge)."""
    from quillon.serve.app import PROJECT_DIR

    for suffix in (".pic.yml", ".scm.yml"):
        try:
            if os.stat(os.path.join(PROJECT_DIR, path + suffix)).st_size > LARGE_FILE_BYTES:
                return True
        except (OSError, ValueError):
            continue
    return False
