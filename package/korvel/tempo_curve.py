"""Beats that may follow a moving tempo, and the local tempo of any beats.

The dynamic-programming tracker (``create_dp_beats``) keeps one period for
the whole track; when the music speeds up or slows down a little its beats
drift off and back.  :func:`track_hmm` hands the tracked curve to
``create_hmm_beats``, whose period may move from beat to beat, with the
periods it may take restricted to HMM_WIDTH around the chosen tempo's: the
tempo step has already settled the metrical level, and a wider span lets the
tracker slip to a neighbouring level.  The curve is interpolated to
HMM_UPSAMPLE times its rate first, because the tracker's periods are whole
frames: at 43 frames per second, whole-frame periods near 120 BPM lie 5 %
apart, too coarse to follow a tempo that moves by a few percent.  A tracker
held at a limit of those periods has lost the level's beat; where the caller
allows, the slower octave is tracked instead (PIN_SHARE).

:func:`tempo_curve` reads the local tempo off the beats, whichever tracker
placed them.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from . import pulsix

__all__ = ["EDGE_FRACTION", "HMM_MAX_PERIOD", "HMM_OBS_LAMBDA", "HMM_TRANSITION_LAMBDA", "HMM_UPSAMPLE",
           "HMM_WIDTH", "PIN_SHARE", "RATE_INTERVALS", "beat_rate", "tempo_curve", "track_hmm"]

HMM_WIDTH = 0.1
"""Periods the tracker may take: within this fraction of the chosen period."""
HMM_UPSAMPLE = 4
"""The tracked curve is linearly interpolated to this many values per frame."""
HMM_TRANSITION_LAMBDA = 200.0
"""How sharply a change of period between beats is penalised (probability
proportional to exp(-lambda * |relative change|)): a 1 % change costs a factor
e at lambda 100."""
HMM_MAX_PERIOD = 512
"""Longest period (in values of the interpolated curve) the model is given.
Its cost grows with the square of the period; 512 holds periods of the
slowest default tempo (60 BPM) at four values per frame with hops down to about
5 ms.  Finer hops make the road track with one period instead."""
EDGE_FRACTION = 0.1
"""Beats at the ends of the track whose onset is below this fraction of the
median onset of the beats are dropped: they fall in silence."""
HMM_OBS_LAMBDA = 32.0
"""The beat region is 1/HMM_OBS_LAMBDA of the period (half before, half after
the beat); outside it an onset counts against a beat."""
PIN_SHARE = 0.05
"""More than this share of the intervals between tracked beats at a limit of
the periods allowed says the tracker is not holding the level's beat
(:func:`track_hmm`).  Where it holds, the beats keep inside the limits (18
of 20 annotated songs and 168 generated patterns put no interval there);
where it does not, a tenth or more of them end up there."""
RATE_INTERVALS = 8
"""Intervals between tracked beats from which :func:`beat_rate` gives their
rate: each beat lies on a whole frame, so the rate over n intervals is good to
a frame in n periods (under 0.6 % at 120 BPM and 43 frames a second from 8 on)."""


def track_hmm(curve: npt.NDArray[np.float64], period: float,
              slowest: float | None = None) -> npt.NDArray[np.int64] | None:
    """Beat frames of ``curve`` (indices into it) with periods near ``period``
    frames, which may change from beat to beat; None when the period is longer
    than HMM_MAX_PERIOD frames (the caller then tracks with one period).

    The curve is interpolated less finely where HMM_UPSAMPLE times the
    period would pass HMM_MAX_PERIOD.

    ``slowest``: the longest period (frames) the caller accepts, or None to
    keep to ``period``'s level.  Given, and when more than PIN_SHARE of the
    intervals between the beats sit at a limit of the periods allowed, the
    beats are those of twice the period instead, if that is at most
    ``slowest`` and its own beats keep off those limits.  A tracker held at
    the limit is not following the level's beat but something that moves
    against it; on a level that subdivides the beat that is its off-beats,
    the notes players shape (swung, pushed ahead of the beat, or gone in a
    quiet stretch), while the slower level's beat region leaves them out.
    Where the tempo itself runs beyond the range, the slower level is held
    at its limit too, and the beats stay.
    """
    first = _track(curve, period)
    if first is None:
        return None
    frames, pinned = first
    if slowest is not None and pinned > PIN_SHARE and 2.0 * period <= slowest:
        half = _track(curve, 2.0 * period)
        if half is not None and half[1] <= PIN_SHARE:
            frames = half[0]
    return _trim_silent_ends(frames, curve)


def _track(curve: npt.NDArray[np.float64], period: float) -> tuple[npt.NDArray[np.int64], float] | None:
    """The beat frames of :func:`track_hmm` before the ends are trimmed, and
    the share of the intervals between them at either limit of the periods
    allowed; None past HMM_MAX_PERIOD."""
    longest = period * (1.0 + HMM_WIDTH)
    if longest > HMM_MAX_PERIOD:
        return None
    up = max(1, min(HMM_UPSAMPLE, int(HMM_MAX_PERIOD // longest)))
    lo = max(1, int(math.floor(period * up * (1.0 - HMM_WIDTH))))
    hi = max(lo, int(math.ceil(period * up * (1.0 + HMM_WIDTH))))
    # The beats of create_hmm_beats on np.interp's finer curve, decoded
    # without forming that curve or a backpointer per value: memory does not
    # grow with the track.
    beats = np.asarray(pulsix._hmm_beats_upsampled(curve, up, lo, hi, HMM_TRANSITION_LAMBDA, HMM_OBS_LAMBDA),
                       dtype=np.int64)
    # Each interval between beats is the period the beat took.
    spans = np.diff(beats)
    pinned = float(np.mean((spans <= lo) | (spans >= hi))) if len(spans) else 0.0
    # Back to whole frames, halves rounded up: the beat lies within half a frame.
    return np.asarray((beats + up // 2) // up, dtype=np.int64), pinned


def _trim_silent_ends(frames: npt.NDArray[np.int64], curve: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    """Without the beats before the music starts and after it stops.

    The model's position runs on through silence, so it places beats there
    too; a beat at either end whose onset (the curve's largest value within a
    frame of it) is below EDGE_FRACTION of the median onset of all beats is
    dropped, and the next one is looked at.
    """
    if len(frames) == 0:
        return frames
    padded = np.concatenate([curve[:1], curve, curve[-1:]])
    onset = np.maximum(np.maximum(padded[frames], padded[frames + 1]), padded[frames + 2])
    quiet = onset < EDGE_FRACTION * float(np.median(onset))
    first = int(np.argmin(quiet)) if not quiet.all() else len(frames)
    last = len(frames) - int(np.argmin(quiet[::-1])) if not quiet.all() else len(frames)
    return frames[first:last]


def tempo_curve(beat_times: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The local tempo of the beats: at the middle of each interval between
    neighbouring beats, 60 / the median of that interval and its two
    neighbours (one at either end), in BPM.

    The median of three keeps a single late or early beat (which shortens one
    interval and lengthens the next) from showing as a jump of tempo.  Fewer
    than two beats: empty arrays.
    """
    t = np.asarray(beat_times, dtype=np.float64)
    if len(t) < 2:
        return np.zeros(0), np.zeros(0)
    ibi = np.diff(t)
    padded = np.concatenate([ibi[:1], ibi, ibi[-1:]])
    smooth = np.median(np.stack([padded[:-2], padded[1:-1], padded[2:]]), axis=0)
    return np.asarray((t[:-1] + t[1:]) / 2, dtype=np.float64), np.asarray(60.0 / smooth, dtype=np.float64)


def beat_rate(frames: npt.NDArray[np.int64], ff: float) -> float | None:
    """The average tempo (BPM) of beats tracked one period after another, at
    ``frames`` of a curve of ``ff`` frames per second: 60 * ``ff`` over the
    slope of the least-squares line through the beats against their count.
    None with fewer than RATE_INTERVALS intervals, too few to place the rate
    more finely than the tempogram does.

    The tempogram's strongest bin is smeared by its window over a tempo that
    sways and over the onsets off the beat (on played music it lies 0-3.4 %
    from the annotated tempo, mostly above); the beats of a tracker that
    follows the music keep the music's own rate.  The line weighs every beat,
    so the half frame by which each is rounded averages out (over n beats to
    about a frame in n ** 1.5 periods), where the first and last beat alone
    would leave a frame in n.
    """
    f = np.asarray(frames, dtype=np.float64)
    n = len(f)
    if n <= RATE_INTERVALS:
        return None
    i = np.arange(n, dtype=np.float64) - 0.5 * (n - 1)
    slope = float(np.dot(i, f - f.mean()) / np.dot(i, i))
    return 60.0 * ff / slope if slope > 0 else None
