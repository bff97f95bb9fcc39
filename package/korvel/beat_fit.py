"""How well tracked beats fit the onsets of the curve they were tracked on.

A tracker puts beats somewhere on any curve; whether they follow the music
shows in how many of them sit on an onset, compared with a grid dropped at
random.  :func:`beat_fit` gives that as a z-score: the share ``f`` of the
``N`` beats that have an onset within TIMING of them, less the share ``p`` of
all frames of the beats' span that have one, in units of the chance spread
of the share of ``N`` random frames, ``(f - p) / sqrt(p (1 - p) / N)``.
Under chance it is about normal with mean 0 and deviation 1, whatever the
length, tempo or density of onsets, so one scale serves every clip.

Beats that land on onsets no more often than chance say that the tempo they
were tracked at is not the music's, or that the music barely marks its beat:
either way the tempo is less certain.  :func:`fit_factor` turns the z-score
into the factor on the candidates' confidences: 0 at chance or below, rising
in proportion to full at FIT_FULL deviations.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from .steadiness import TIMING

__all__ = ["FIT_FULL", "beat_fit", "fit_factor", "onset_frames"]

FIT_FULL = 3.0
"""z-score of the beats' fit from which the confidences count in full: three
chance deviations, which a random grid passes about once in 740 tries (at two
it does once in 44, common in a collection)."""


def onset_frames(curve: npt.NDArray[np.float64], ff: float) -> npt.NDArray[np.bool_]:
    """Frames of ``curve`` (``ff`` frames a second) with an onset within
    TIMING: the curve's largest value within that distance lies more than one
    standard deviation above its mean."""
    c = np.asarray(curve, dtype=np.float64)
    if len(c) == 0:
        return np.zeros(0, dtype=bool)
    side = max(0, int(round(TIMING * ff)))
    padded = np.pad(c, side, mode="edge")
    near = np.lib.stride_tricks.sliding_window_view(padded, 2 * side + 1).max(axis=1)
    return np.asarray(near > c.mean() + c.std(), dtype=bool)


def beat_fit(curve: npt.NDArray[np.float64], frames: npt.NDArray[np.int64], ff: float) -> float:
    """The z-score of the share of ``frames`` (beats, indices into ``curve``)
    on an onset over the share of all frames from the first beat to the last
    that are on one (:func:`onset_frames`).

    0 without beats, or when every frame of that span or none is on an onset:
    a random grid would then do exactly as well, and there is nothing to tell.
    """
    f = np.asarray(frames, dtype=np.int64)
    onset = onset_frames(curve, ff)
    if len(f) == 0:
        return 0.0
    first, last = int(f.min()), int(f.max())
    if first < 0 or last >= len(onset):
        raise ValueError(f"beat frames must lie within the curve's {len(onset)} frames")
    p = float(onset[first:last + 1].mean())
    if not 0.0 < p < 1.0:
        return 0.0
    share = float(onset[f].mean())
    return (share - p) / math.sqrt(p * (1.0 - p) / len(f))


def fit_factor(z: float) -> float:
    """The factor in [0, 1] on the candidates' confidences for beats whose
    fit is ``z``: ``z / FIT_FULL``, at least 0 and at most 1."""
    return min(1.0, max(0.0, z) / FIT_FULL)
