"""``korvel.analyze``: the road from a file name or an array, in one call.

The array forms met in practice are read as they are meant: integer PCM is
scaled to [-1, 1) the way soundfile scales it when it reads a file as
floats, so an int16 and a float reading of one recording give the same
result; and a [channels, frames] array, as some libraries return stereo, is
taken as channels rather than as a two-sample signal of many channels.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import os
from typing import Any

import numpy as np
import numpy.typing as npt

from .analysis import AnalysisError, AnalysisParams, BeatAnalysis
from .analysis import analyze as analyze_signal

MAX_CHANNELS = 8
"""Most rows a channels-first array may have: more are no longer a plausible channel layout."""


def pcm_to_float(x: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Integer PCM as floats in [-1, 1): signed ``n``-bit samples divided by
    2**(n-1), unsigned ones centred first (uint8: (x - 128) / 128), as
    soundfile reads such files.  Floats pass through unchanged."""
    kind = x.dtype.kind
    if kind == "f":
        return x
    if kind in "iu":
        bits = 8 * x.dtype.itemsize
        scale = float(2 ** (bits - 1))  # a power of two: the division is exact
        out = x.astype(np.float64)
        if kind == "u":
            out -= scale
        out /= scale
        return out
    raise AnalysisError(f"audio samples must be integers or floats, got dtype {x.dtype}")


def as_frames(x: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """A 1-D signal, or a [frames, channels] array; a 2-D array with fewer
    rows than columns is read as [channels, frames]."""
    if x.ndim == 1:
        return x
    if x.ndim != 2:
        raise AnalysisError(f"audio must be a 1-D signal or a 2-D array of channels, got shape {x.shape}")
    rows, cols = x.shape
    if rows >= cols:
        return x
    if rows <= MAX_CHANNELS:
        return x.T
    raise AnalysisError(
        f"cannot tell channels from frames in an array of shape {x.shape}: a 2-D array is read "
        f"as [frames, channels], or as [channels, frames] with at most {MAX_CHANNELS} channels "
        "(fewer rows than columns)")


def _sample_rate(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise AnalysisError(f"sample_rate must be a number, got {value!r}")
    rate = float(value)
    if not (math.isfinite(rate) and rate > 0):
        raise AnalysisError(f"sample_rate must be a positive number, got {value!r}")
    return rate


def analyze(source: str | os.PathLike[str] | npt.ArrayLike, sample_rate: float | None = None,
            **params: Any) -> BeatAnalysis:
    """Tempo, beats, novelty and local pulse of a recording.

    :param source: an audio file name (WAV, FLAC, OGG, MP3, ...; read and
        mixed to mono as ``korvel beats`` reads it, which needs soundfile), or
        the samples: 1-D, [frames, channels] or [channels, frames] (at most 8
        channels); a NumPy array of floats in [-1, 1] or of integer PCM
        (scaled as soundfile does), or a sequence of sample values
    :param sample_rate: samples per second of an array; read from a file
    :param params: fields of :class:`~korvel.analysis.AnalysisParams`
        (``hop``, ``fft_len``, ``gamma``, ``bpm_min``, ``bpm_max``, ``lmbda``,
        ``tempo_level``)
    :raises AnalysisError: bad parameters or samples, audio too short
    :raises korvel.audio_io.AudioError: a file that cannot be read

    ``help()`` on the result lists its fields (:class:`~korvel.analysis.BeatAnalysis`).
    """
    known = [f.name for f in dataclasses.fields(AnalysisParams)]
    unknown = sorted(set(params) - set(known))
    if unknown:
        raise TypeError(f"analyze() got an unexpected keyword argument {unknown[0]!r} "
                        f"(the analysis parameters are {', '.join(known)})")
    settings = AnalysisParams(**params)
    if isinstance(source, (str, os.PathLike)):
        if sample_rate is not None:
            raise AnalysisError("sample_rate is read from the file; give it only with an array")
        from .audio_io import load_audio  # soundfile only when a file is read

        audio = load_audio(os.fspath(source))
        return analyze_signal(audio.mono, audio.sample_rate, settings)
    if sample_rate is None:
        raise AnalysisError("sample_rate is needed with an array of samples")
    rate = _sample_rate(sample_rate)
    if isinstance(source, np.ndarray):
        x = pcm_to_float(source)
    else:
        # A list of numbers holds sample values, not PCM codes: taken as they are.
        try:
            x = np.asarray(source, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise AnalysisError(f"audio must be an array of numbers or a file name, got "
                                f"{type(source).__name__} ({exc})") from None
        if x.ndim == 0:
            raise AnalysisError(f"audio must be an array of numbers or a file name, got "
                                f"{type(source).__name__}")
    return analyze_signal(as_frames(x), rate, settings)
