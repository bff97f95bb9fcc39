"""Errors whose message is meant for the person at the shell, and the lookup
of optional dependencies."""

from __future__ import annotations

import importlib
from types import ModuleType


class KorvelError(Exception):
    """A failure whose message is one complete line for the user.

    ``code`` is the exit status a command ends with when it stops on this
    error: 2 when what was asked for cannot work (a bad option or destination),
    1 for everything else.
    """

    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(message)
        self.code = code


class MissingExtra(KorvelError):
    """An optional dependency is not installed."""


def need(module: str, purpose: str, extra: str) -> ModuleType:
    """Import ``module`` from an optional extra, or say how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        raise MissingExtra(f"{purpose} needs the '{top}' package; "
                           f"install it with: pip install 'korvel[{extra}]'") from None
