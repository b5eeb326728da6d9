"""The server's connections, bounded in number and in the time to send a request's headers.

A connection that opens and then sends its request's headers slowly or never
(a "half-open" one) would otherwise hold a file descriptor for as long as its
client likes; a thousand of them exhaust the process's descriptors and nobody
else gets in. :func:`bounded_http_protocol` makes the server's HTTP protocol:

- a connection must send the headers of each request within
  ``header_seconds`` of opening, or of its previous answer, or it is closed;
- at most ``max_connections`` are open at once: a new connection beyond that
  closes the one that has waited longest for its request's headers (idle
  kept-alive connections included), or, when every connection has a request
  in progress, is closed itself at once.

So however many half-open connections there are, a normal request gets in and
is answered.
"""

from __future__ import annotations

import resource
from collections import OrderedDict
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

__all__ = ["DEFAULT_HEADER_SECONDS", "DEFAULT_MAX_CONNECTIONS", "bounded_http_protocol", "connection_limit"]

DEFAULT_HEADER_SECONDS = 10.0
DEFAULT_MAX_CONNECTIONS = 1000
#: File descriptors kept for everything but connections (files, workers, the loop).
RESERVED_DESCRIPTORS = 100


def connection_limit(wanted: int = DEFAULT_MAX_CONNECTIONS) -> int:
    """`wanted`, or fewer when the process may not open that many descriptors.

    Raises the process's soft limit on open files towards its hard limit first
    (many systems start processes at 1024).
    """
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    needed = wanted + RESERVED_DESCRIPTORS
    if soft != resource.RLIM_INFINITY and soft < needed:
        raised = needed if hard == resource.RLIM_INFINITY else min(needed, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
            soft = raised
        except (ValueError, OSError):
            pass
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(1, min(wanted, soft - RESERVED_DESCRIPTORS))


def bounded_http_protocol(header_seconds: float, max_connections: int) -> type[HttpToolsProtocol]:
    """The HTTP protocol class of a server with these bounds (see the module documentation)."""
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

    waiting: OrderedDict[BoundedHttpProtocol, None] = OrderedDict()  # oldest first

    class BoundedHttpProtocol(HttpToolsProtocol):
        _header_timer: Any = None

        def connection_made(self, transport: Any) -> None:  # type: ignore[override]
            super().connection_made(transport)
            self._await_headers()
            if len(self.connections) > max_connections:
                oldest = next((p for p in waiting if p is not self), None)
                (oldest or self).transport.close()

        def connection_lost(self, exc: Exception | None) -> None:
            self._stop_waiting()
            super().connection_lost(exc)

        def on_headers_complete(self) -> None:
            self._stop_waiting()
            super().on_headers_complete()

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if not self.transport.is_closing() and not self.pipeline:
                self._await_headers()

        def _await_headers(self) -> None:
            self._stop_waiting()
            waiting[self] = None
            self._header_timer = self.loop.call_later(header_seconds, self._headers_too_late)

        def _stop_waiting(self) -> None:
            waiting.pop(self, None)
            if self._header_timer is not None:
                self._header_timer.cancel()
                self._header_timer = None

        def _headers_too_late(self) -> None:
            self._header_timer = None
            if self in waiting and not self.transport.is_closing():
                self.transport.close()

    return BoundedHttpProtocol
