"""korvel: exact, fast rhythm analysis (STFT, novelty, tempo, local pulse, beats).

``korvel.analyze(path_or_array, sample_rate=None, **params)`` is the one-call
entry; the extension modules load only when it (or they) are first used.
"""

from typing import Any

__version__ = "0.1.0"

__all__ = ["AnalysisError", "AnalysisParams", "BeatAnalysis", "analyze"]


def __getattr__(name: str) -> Any:
    # Importing korvel stays cheap: the road and its native modules load on first use.
    if name == "analyze":
        from .api import analyze

        return analyze
    if name in ("AnalysisError", "AnalysisParams", "BeatAnalysis"):
        from . import analysis

        return getattr(analysis, name)
    raise AttributeError(f"module 'korvel' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
