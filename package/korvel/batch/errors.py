"""The errors of a batch run, and its optional dependencies."""

from __future__ import annotations

from types import ModuleType

from .._errors import KorvelError, need


class BatchError(KorvelError):
    """A run that cannot start or go on: bad inputs, an unusable results file,
    an unreachable cluster.  A bad track is no error: it is a row of results."""


def need_extra(module: str) -> ModuleType:
    """A module of the ``batch`` extra, or an error saying how to install it."""
    return need(module, "korvel batch", "batch")
