"""What the report writers of ``quillon lvs`` (the ``--html`` index, ``--junit``) read
of the checks of one run.

Written as protocols, which the command's own ``Job`` and ``Outcome`` satisfy:
the writers need not import the command that calls them.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Protocol

if TYPE_CHECKING:
    from quillon.checking import CheckResult

__all__ = ["CheckOutcome", "CheckedJob"]


class CheckedJob(Protocol):
    """What one check of the run was given."""

    @property
    def layout(self) -> Path: ...

    @property
    def reference(self) -> Path: ...

    @property
    def cell(self) -> str | None: ...

    @property
    def html(self) -> Path | None: ...


class CheckOutcome(Protocol):
    """How one check of the run ended: its result, or the line that says why it has none."""

    @property
    def job(self) -> CheckedJob: ...

    @property
    def status(self) -> int: ...

    @property
    def seconds(self) -> float: ...

    @property
    def result(self) -> CheckResult | None: ...

    @property
    def error(self) -> str | None: ...
