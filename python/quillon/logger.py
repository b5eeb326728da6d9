"""The package logger, ``logging.getLogger("quillon")``.

Records go to standard error with a short ``quillon LEVEL: message`` prefix as
long as the application has not configured the root logger. Once the root
logger has handlers (``logging.basicConfig``, a server's logging setup, pytest's
log capture), records only propagate to them, so nothing is printed twice.
Importing or reloading this module installs the stderr handler at most once.
"""

from __future__ import annotations

import logging
import sys

__all__ = ["logger"]

logger = logging.getLogger("quillon")


class _StderrHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """Write to whatever ``sys.stderr`` is at the time of the record."""

    def __init__(self) -> None:
        super().__init__()

    @property  # type: ignore[override]
    def stream(self):  # noqa: ANN201
        return sys.stderr

    @stream.setter
    def stream(self, _value: object) -> None:
        pass


class _UnlessRootConfigured(logging.Filter):
    """Let a record through only while the root logger has no handlers."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not logging.getLogger().handlers


def _install() -> None:
    if any(getattr(h, "_quillon_default", False) for h in logger.handlers):
        return
    handler = _StderrHandler()
    handler.setFormatter(logging.Formatter("quillon %(levelname)s: %(message)s"))
    handler.addFilter(_UnlessRootConfigured())
    handler._quillon_default = True  # type: ignore[attr-defined]
    logger.addHandler(handler)
    if logger.level == logging.NOTSET:
        logger.setLevel(logging.INFO)


_install()
