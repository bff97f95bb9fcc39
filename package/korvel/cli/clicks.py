"""The click track: the input with a click on every beat, to listen to the result."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ..analysis import BeatAnalysis
from ..audio_io import AudioInput
from ..pulsix import make_clicks


def click_sound(sample_rate: int) -> npt.NDArray[np.float64]:
    """A 25 ms, 1.5 kHz ping: short and bright, easy to hear over most music."""
    t = np.arange(int(0.025 * sample_rate)) / sample_rate
    return np.sin(2 * np.pi * 1500.0 * t) * np.exp(-t / 0.006)


def mix_clicks(audio: AudioInput, result: BeatAnalysis) -> npt.NDArray[np.float64]:
    """The input, every channel, with a click on each beat; peak at most 0.99."""
    frames = audio.frames
    assert frames is not None, "read the audio with keep_channels=True for a click track"
    n = len(frames)
    ref = float(np.max(np.abs(frames))) if frames.size else 0.0
    ref = ref if ref > 0 else 0.5
    if result.has_beats:
        track = make_clicks(result.beat_samples, n, click_sound(audio.sample_rate))
    else:
        track = np.zeros(n)
    mixed = frames + (0.8 * ref) * track[:, None]
    peak = float(np.max(np.abs(mixed))) if mixed.size else 0.0
    if peak > 0.99:
        mixed *= 0.99 / peak
    return mixed
