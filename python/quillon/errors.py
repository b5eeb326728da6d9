"""How the commands and the service word an error for a user: one line."""

from __future__ import annotations

__all__ = ["first_line"]


def first_line(exc: BaseException) -> str:
    """The first line of the error's text, or the name of its kind when it has none."""
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
