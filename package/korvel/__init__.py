"""korvel: exact, fast rhythm analysis (STFT, novelty, tempo, local pulse, beats)."""

__version__ = "0.1.0"
