"""The click track: the input with a click on every beat, to listen to the result."""

from __future__ import annotations

from typing import Any, Iterator

import numpy as np
import numpy.typing as npt

from .._errors import need
from ..analysis import BeatAnalysis
from ..audio_io import AudioInput
from ..pulsix import make_clicks


def click_sound(sample_rate: int) -> npt.NDArray[np.float64]:
    """A 25 ms, 1.5 kHz ping: short and bright, easy to hear over most music."""
    t = np.arange(int(0.025 * sample_rate)) / sample_rate
    return np.sin(2 * np.pi * 1500.0 * t) * np.exp(-t / 0.006)


def _reference(peak: float) -> float:
    """The click's level follows the input's peak; silence gets a fixed one."""
    return peak if peak > 0 else 0.5


def mix_clicks(audio: AudioInput, result: BeatAnalysis) -> npt.NDArray[np.float64]:
    """The input, every channel, with a click on each beat; peak at most 0.99."""
    frames = audio.frames
    assert frames is not None, "read the audio with keep_channels=True for a click track"
    n = len(frames)
    ref = _reference(float(np.max(np.abs(frames))) if frames.size else 0.0)
    if result.has_beats:
        track = make_clicks(result.beat_samples, n, click_sound(audio.sample_rate))
    else:
        track = np.zeros(n)
    mixed = frames + (0.8 * ref) * track[:, None]
    peak = float(np.max(np.abs(mixed))) if mixed.size else 0.0
    if peak > 0.99:
        mixed *= 0.99 / peak
    return mixed


def clicks_between(starts: npt.NDArray[np.int64], click: npt.NDArray[np.float64], a: int, b: int
                   ) -> npt.NDArray[np.float64]:
    """Samples ``a`` to ``b`` of ``make_clicks(starts, ..., click)``: the
    clicks that reach into the span, added in the same order."""
    out = np.zeros(b - a)
    n = len(click)
    first, last = np.searchsorted(starts, [a - n + 1, b])
    for f in starts[first:last].tolist():
        lo, hi = max(f, a), min(f + n, b)
        out[lo - a:hi - a] += click[lo - f:hi - f]
    return out


def _mixed_blocks(blocks: Iterator[Any], starts: npt.NDArray[np.int64], click: npt.NDArray[np.float64],
                  level: float) -> Iterator[npt.NDArray[np.float64]]:
    pos = 0
    for _, frames in blocks:
        k = len(frames)
        yield frames + level * clicks_between(starts, click, pos, pos + k)[:, None]
        pos += k


def write_streamed_clicks(dest: str, fmt: str, path: str, result: BeatAnalysis, peak: float) -> None:
    """:func:`mix_clicks` of the file ``path``, written to ``dest`` without
    holding it in memory: one reading finds the mix's peak, a second writes
    it, scaled, block by block.  ``peak`` is the input's largest absolute
    sample."""
    from ..stream import read_blocks

    sf = need("soundfile", "writing audio files", "cli")
    fs = int(result.sample_rate)
    starts = result.beat_samples if result.has_beats else np.zeros(0, dtype=np.int64)
    click = click_sound(fs)
    level = 0.8 * _reference(peak)
    top = 0.0
    info, blocks = read_blocks(path, with_frames=True)
    for mixed in _mixed_blocks(blocks, starts, click, level):
        top = max(top, float(np.max(np.abs(mixed))))
    scale = 0.99 / top if top > 0.99 else None
    info, blocks = read_blocks(path, with_frames=True)
    with sf.SoundFile(dest, "w", fs, info.channels, format=fmt) as out:
        for mixed in _mixed_blocks(blocks, starts, click, level):
            if scale is not None:
                mixed *= scale
            out.write(mixed)
