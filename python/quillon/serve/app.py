"""The HTTP application of the local schematic editor service.

Module values, computed once at import from the project settings:

- ``PROJECT_DIR``: the absolute project directory (``QUILLON_PROJECT_DIR`` or the cwd);
- ``SETTINGS``: the project's :class:`~quillon.settings.Settings`;
- ``PDK``: the name of the project's process design kit;
- ``MAX_BODY_BYTES``: the largest request body accepted (``QUILLON_MAX_BODY_BYTES``,
  default 64 MiB);
- ``app``: the FastAPI application; routes are added by ``quillon.serve.schematic``.

The service is meant for the local machine only and edits files of the project,
so every request, whichever route answers it (routes added later included),
passes :class:`LocalOnlyMiddleware`:

- the ``Host`` header must name a loopback host (``localhost``, an address in
  127.0.0.0/8 or ``::1``, with an optional port), which defeats DNS rebinding:
  a page on a foreign name that resolves to 127.0.0.1 still sends its own name;
  other requests get 400;
- a request that a browser marks as coming from a page of another origin gets
  403: one with ``Sec-Fetch-Site: cross-site`` (an ``<img>`` or a form of a
  foreign page) or ``same-site`` (a page of another local server), or with an
  ``Origin`` header other than the request's own origin (same host and port),
  whatever its method, WebSocket handshakes included. Requests without these
  headers come from non-browser clients and pass;
- a body larger than ``MAX_BODY_BYTES`` gets 413: at once when its declared
  length is larger, else as soon as the bytes received pass the limit.

Every route is a :class:`TextBodyRoute`: a handler whose only body parameter is a
plain ``str`` receives the request body as text whatever the content type the
client declares (the editor sends ``text/plain``; a JSON content type would
otherwise be parsed by the framework and refused with 422 for a ``str``), and
decodes it itself. Bytes that are not UTF-8 reach it as lone surrogates
(``surrogateescape``), which a JSON decoder rejects like any other bad text.
"""

from __future__ import annotations

import functools
import ipaddress
import os
from urllib.parse import urlsplit

from collections.abc import Callable, Coroutine
from typing import Any

from fastapi import FastAPI
from fastapi.routing import APIRoute
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import PlainTextResponse, Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from quillon.settings import get_settings, project_dir

__all__ = [
    "MAX_BODY_BYTES",
    "MAX_BODY_ENV",
    "PDK",
    "PROJECT_DIR",
    "SETTINGS",
    "LocalOnlyMiddleware",
    "TextBodyRoute",
    "app",
    "max_body_bytes",
    "on_event_loop",
    "on_event_loop_when_found",
]

#: ``Sec-Fetch-Site`` values of requests made by pages of another origin: another
#: site, or another port of this host (a different local server).
FOREIGN_FETCH_SITES = frozenset({"cross-site", "same-site"})
MAX_BODY_ENV = "QUILLON_MAX_BODY_BYTES"
DEFAULT_MAX_BODY_BYTES = 64 << 20
_DEFAULT_PORTS = {"http": 80, "ws": 80, "https": 443, "wss": 443}


def split_host(host: str) -> tuple[str, int | None] | None:
    """Split a Host header value into (lower-case host name, port or None).

    IPv6 addresses come in brackets (``[::1]:8787``); a bare ``::1`` is
    accepted too. Returns None for a value that is not a host[:port].
    """
    host = host.strip()
    port_text: str | None = None
    if host.startswith("["):
        name, bracket, rest = host[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            return None
        port_text = rest[1:] if rest else None
    elif host.count(":") == 1:
        name, _, port_text = host.partition(":")
    else:  # no port, or a bare IPv6 address
        name = host
    if port_text is not None and not (port_text.isdigit() and 0 < len(port_text) <= 5):
        return None
    port = int(port_text) if port_text is not None else None
    if port is not None and port > 65535 or not name:
        return None
    return name.lower().rstrip("."), port


def is_loopback(name: str) -> bool:
    """Whether a host name (as returned by :func:`split_host`) is a loopback host."""
    if name == "localhost":
        return True
    try:
        address = ipaddress.ip_address(name)
    except ValueError:
        return False
    mapped = getattr(address, "ipv4_mapped", None)
    return address.is_loopback or (mapped is not None and mapped.is_loopback)


def max_body_bytes() -> int:
    """The body size limit from ``QUILLON_MAX_BODY_BYTES``; the default when unset or not a positive integer."""
    text = os.environ.get(MAX_BODY_ENV, "")
    return int(text) if text.isdigit() and int(text) > 0 else DEFAULT_MAX_BODY_BYTES


class _BodyTooLarge(Exception):
    """Raised into the app once a body passes the limit; the 413 is already sent."""


class LocalOnlyMiddleware:
    """ASGI middleware refusing foreign hosts (400), cross-site requests (403) and large bodies (413)."""

    def __init__(self, app: ASGIApp, max_body: int | None = None) -> None:
        self.app = app
        self.max_body = max_body if max_body is not None else MAX_BODY_BYTES

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        refusal = self._refusal(scope)
        if refusal is None and scope["type"] == "http":
            await self._limit_body(scope, receive, send)
        elif refusal is None:
            await self.app(scope, receive, send)
        elif scope["type"] == "websocket":
            await send({"type": "websocket.close", "code": 1008, "reason": refusal[1]})
        else:
            await _refuse(refusal, scope, receive, send)

    async def _limit_body(self, scope: Scope, receive: Receive, send: Send) -> None:
        """Runs the app, answering 413 as soon as the body received passes the limit."""
        received = 0
        refused = False

        async def counting_receive() -> Message:
            nonlocal received, refused
            message = await receive()
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > self.max_body and not refused:
                    refused = True
                    await _refuse(self._too_large(), scope, receive, send)
                    raise _BodyTooLarge
            return message

        async def guarded_send(message: Message) -> None:
            if not refused:  # after the 413, whatever the app answers is dropped
                await send(message)

        try:
            await self.app(scope, counting_receive, guarded_send)
        except _BodyTooLarge:
            pass
        except Exception:
            if not refused:
                raise

    def _too_large(self, declared: int | None = None) -> tuple[int, str]:
        size = f" of {declared} bytes" if declared is not None else ""
        return 413, f"Refused: the request body{size} is larger than the limit of {self.max_body} bytes."

    def _refusal(self, scope: Scope) -> tuple[int, str] | None:
        """(status, reason) when the request must be refused, else None."""
        hosts = [v.decode("latin-1") for k, v in scope["headers"] if k == b"host"]
        if len(hosts) != 1:
            return 400, "Refused: the request must carry exactly one Host header."
        host = split_host(hosts[0])
        if host is None or not is_loopback(host[0]):
            return 400, f"Refused: host {hosts[0]!r} is not a loopback host; this service is local only."
        fetch_sites = {v.decode("latin-1").strip().lower() for k, v in scope["headers"] if k == b"sec-fetch-site"}
        if fetch_sites & FOREIGN_FETCH_SITES:
            return 403, "Refused: cross-site request; this service answers pages of its own origin only."
        origins = [v.decode("latin-1") for k, v in scope["headers"] if k == b"origin"]
        if origins:
            scheme = scope.get("scheme", "http")
            own = (host[0], host[1] or _DEFAULT_PORTS.get(scheme))
            if len(origins) > 1 or _origin_host(origins[0]) != own:
                return 403, f"Refused: cross-origin request from {origins[0]!r}."
        lengths = [v for k, v in scope["headers"] if k == b"content-length"]
        if lengths and lengths[0].strip().isdigit() and int(lengths[0]) > self.max_body:
            return self._too_large(int(lengths[0]))
        return None


async def _refuse(refusal: tuple[int, str], scope: Scope, receive: Receive, send: Send) -> None:
    # After a refused body the connection is closed: its unread rest must not
    # be taken for the next request.
    headers = {"connection": "close"} if refusal[0] == 413 else None
    response = PlainTextResponse(refusal[1] + "\n", status_code=refusal[0], headers=headers)
    await response(scope, receive, send)


def _origin_host(origin: str) -> tuple[str, int | None] | None:
    """(host name, port) of an Origin header value, None when it has none ("null")."""
    try:
        parts = urlsplit(origin.strip())
        port = parts.port
    except ValueError:
        return None
    if not parts.hostname or parts.scheme not in _DEFAULT_PORTS:
        return None
    return parts.hostname.lower().rstrip("."), port or _DEFAULT_PORTS[parts.scheme]


class _TextBodyRequest(Request):
    """A request whose body reads as text, for handlers that take it as ``str``.

    The framework reads ``body()`` and, for a JSON content type, ``json()``;
    both give the same text here, so the body parameter gets it unchanged.
    """

    async def text(self) -> str:
        """The body decoded as UTF-8; undecodable bytes become lone surrogates."""
        return (await super().body()).decode("utf-8", "surrogateescape")

    async def body(self) -> str:  # type: ignore[override]
        return await self.text()

    async def json(self) -> str:
        return await self.text()


class TextBodyRoute(APIRoute):
    """A route whose single ``str`` body parameter receives the raw body as text."""

    def get_route_handler(self) -> Callable[[Request], Coroutine[Any, Any, Response]]:
        handler = super().get_route_handler()
        body_params = self.dependant.body_params
        if len(body_params) != 1 or self.body_field is None or self.body_field.field_info.annotation is not str:
            return handler

        async def text_body_handler(request: Request) -> Response:
            return await handler(_TextBodyRequest(request.scope, request.receive))

        return text_body_handler


def on_event_loop(handler: Callable[..., Any]) -> Callable[..., Coroutine[Any, Any, Any]]:
    """``handler`` as a coroutine function, so that the framework calls it on the
    event loop rather than handing each request to a worker thread and back
    (twice: once for the call, once to validate what it returns).

    Only for handlers that answer at once: anything slow here stalls every
    connection. ``__wrapped__`` and ``__signature__`` keep the handler's own
    parameters and identity visible to the framework and to callers.
    """

    async def endpoint(*args: Any, **kwargs: Any) -> Any:
        return handler(*args, **kwargs)

    return _standing_for(handler, endpoint)


def on_event_loop_when_found(
    find: Callable[..., Any], handler: Callable[..., Any]
) -> Callable[..., Coroutine[Any, Any, Any]]:
    """``handler`` with a quick first step: ``find`` (same parameters) answers on
    the event loop when it can, with anything but None; only the rest go to a
    worker thread, to ``handler``. For routes that are mostly answered from a
    cache and slow only on a miss."""

    async def endpoint(*args: Any, **kwargs: Any) -> Any:
        found = find(*args, **kwargs)
        if found is not None:
            return found
        return await run_in_threadpool(handler, *args, **kwargs)

    return _standing_for(handler, endpoint)


def _standing_for(handler: Callable[..., Any], endpoint: Callable[..., Any]) -> Callable[..., Any]:
    """`endpoint` with the name, documentation and parameters of `handler`, and
    `handler` as its ``__wrapped__``."""
    functools.update_wrapper(endpoint, handler, updated=())
    endpoint.__signature__ = handler.__signature__  # type: ignore[attr-defined]
    return endpoint


PROJECT_DIR: str = str(project_dir())
SETTINGS = get_settings(PROJECT_DIR)
PDK: str = SETTINGS.pdk.name
MAX_BODY_BYTES: int = max_body_bytes()

app = FastAPI(title="quillon")
app.router.route_class = TextBodyRoute
app.add_middleware(LocalOnlyMiddleware, max_body=MAX_BODY_BYTES)
