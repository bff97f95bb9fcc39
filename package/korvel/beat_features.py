"""What a metrical level's beats hear: the onsets on them and between them.

The level step (:mod:`korvel.tempo_level`) places trial beats at each
candidate tempo with the beat tracker and weighs the candidates on what falls
on those beats: the novelty and the bass onsets on them
(:func:`on_beat_strength`), how the bass groups them in twos or threes
(:func:`bass_group_ratio`), whether the bass marks every one of them with
onsets between (:func:`bass_pulse_ratio`), and whether the onsets between
fill both thirds of the beat (:func:`thirds_balance`).  Every function reads
curves at given frames; none chooses a tempo.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from .pulsix import create_dp_beats

__all__ = [
    "bass_group_ratio", "bass_pulse_ratio", "level_beats", "midpoints", "near_peak", "on_beat_strength",
    "phase_strength", "strength_at", "thirds_balance",
]


def level_beats(nov: npt.NDArray[np.float64], ff: float, bpm: float, lmbda: float) -> npt.NDArray[np.intp]:
    """The frames where the tracker puts the beats of this tempo on the novelty."""
    frames, _ = create_dp_beats(nov, 60.0 * ff / bpm, lmbda)
    return np.asarray(frames).astype(np.intp)


def strength_at(nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None,
                beats: npt.NDArray[np.intp]) -> float:
    """Mean novelty plus mean bass onset (when given) at ``beats``; 0 without beats."""
    if len(beats) == 0:
        return 0.0
    strength = float(np.mean(nov[beats]))
    if bass is not None:
        strength += float(np.mean(bass[beats]))
    return strength


def phase_strength(nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None,
                   beats: npt.NDArray[np.intp]) -> float:
    """The on-beat strength of a level at the better of its trial beats and the
    points half-way between them: on the novelty alone the tracker may put a
    level's beats on off-beats that are as loud to it as the beats (hi-hats
    between kicks), where the bass onsets, which rate the level, are not."""
    strength = strength_at(nov, bass, beats)
    if len(beats) > 1:
        strength = max(strength, strength_at(nov, bass, midpoints(beats)))
    return strength


def midpoints(beats: npt.NDArray[np.intp]) -> npt.NDArray[np.intp]:
    """The frames half-way between consecutive ``beats`` (rounded down)."""
    return np.asarray((beats[:-1] + beats[1:]) // 2, dtype=np.intp)


def on_beat_strength(
    nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None, ff: float, bpm: float,
    lmbda: float,
) -> float:
    """Mean onset strength (novelty plus bass onsets) at the beats the tracker
    places with this tempo."""
    return strength_at(nov, bass, level_beats(nov, ff, bpm, lmbda))


def bass_group_ratio(
    bass: npt.NDArray[np.float64], nov: npt.NDArray[np.float64], beats: npt.ArrayLike, group: int = 2
) -> float:
    """How many times more bass onset one in every ``group`` of the ``beats``
    (frames of a level, ascending) carries than the others: the mean of
    ``bass`` at those beats over its mean at the rest, or over its mean over
    the whole curve where that is larger.

    In twos, the beats counted are those of the phase where the novelty is
    stronger, where beats of the half tempo placed on the novelty fall; a
    large ratio says the bass marks every other beat of the level, which is
    then a subdivision of its half.  In threes, the phase where the ratio is
    largest: whether the bass groups the beats in threes at all.  The beats
    counted and the others are beats of the same level, so neither is
    favoured by where a tracker put them.  The floor at the curve's mean keeps a few
    chance onsets from making a large ratio where the other beats are silent
    but the counted ones carry no more bass than any frame does.  1 with
    fewer than two groups of beats, or a curve without bass onsets.
    """
    b = np.asarray(beats, dtype=np.intp)
    floor = float(np.mean(bass)) if len(bass) else 0.0
    if b.ndim != 1 or group < 2 or len(b) < 2 * group or not floor > 0:
        return 1.0
    on = bass[b]
    if group == 2:
        strong = nov[b]
        phases = [0 if np.mean(strong[0::2]) >= np.mean(strong[1::2]) else 1]
    else:
        phases = list(range(group))
    best = 0.0
    for phase in phases:
        counted = np.zeros(len(b), dtype=bool)
        counted[phase::group] = True
        best = max(best, float(np.mean(on[counted])) / max(float(np.mean(on[~counted])), floor))
    return best


def bass_pulse_ratio(
    bass: npt.NDArray[np.float64], nov: npt.NDArray[np.float64], beats: npt.ArrayLike
) -> float:
    """How clearly the bass marks *every* beat of a level whose off-beats are
    heard (``beats``: frames, ascending): the mean bass onset on the weaker
    half of the beats (every other beat, the phase with less bass) over its
    mean at the points half-way between the beats, or over its mean over the
    whole curve where that is larger, times how strong the novelty is at those
    points between against the beats (at most 1; each read as the largest
    value within a frame, as beats are placed to a frame).

    The beats are those given or the points half-way between them, whichever
    carry more bass (the tracker may have put the level on the off-beats).  A
    kick on every beat with hi-hats between gives a large ratio; bass on every
    other beat gives 0; bass on every point of a grid with nothing between
    (the eighth notes of a bass line, the fastest notes there are) gives
    little: that grid is the music's finest subdivision, not a beat with its
    own off-beats.  1 with fewer than five beats or a curve without bass
    onsets.
    """
    b = np.asarray(beats, dtype=np.intp)
    floor = float(np.mean(bass)) if len(bass) else 0.0
    if b.ndim != 1 or len(b) < 5 or not floor > 0:
        return 1.0
    mids = midpoints(b)
    on = b if np.mean(bass[b]) >= np.mean(bass[mids]) else mids
    between = midpoints(on)
    weak = min(float(np.mean(bass[on[0::2]])), float(np.mean(bass[on[1::2]])))
    ratio = weak / max(float(np.mean(bass[between])), floor)
    heard = float(np.mean(near_peak(nov, on)))
    return ratio * min(1.0, float(np.mean(near_peak(nov, between))) / heard) if heard > 0 else 0.0


def near_peak(curve: npt.NDArray[np.float64], frames: npt.NDArray[np.intp]) -> npt.NDArray[np.float64]:
    """The largest value of ``curve`` within a frame of each of ``frames``."""
    last = len(curve) - 1
    near = np.maximum(curve[np.maximum(frames - 1, 0)], curve[frames])
    return np.asarray(np.maximum(near, curve[np.minimum(frames + 1, last)]), dtype=np.float64)


def thirds_balance(nov: npt.NDArray[np.float64], beats: npt.ArrayLike) -> float:
    """How evenly the onsets between a level's ``beats`` (frames, ascending)
    fill both thirds of the beat: the mean novelty one third of the way from
    each beat to the next over its mean two thirds of the way, or the inverse,
    whichever is at most 1 (each point read as the largest value within a
    frame of it, as beats are placed to a frame).

    Near 1 where the beat divides in three (6/8's eighths, triplets), near 0
    where only one third carries onsets: swung eighths, whose off-beat comes
    late, about two thirds of the way to the next beat, make a grid of three
    per beat that is no pulse, its middle points being empty.  1 with fewer
    than three beats or no onsets at either point.
    """
    b = np.asarray(beats, dtype=np.intp)
    if b.ndim != 1 or len(b) < 3:
        return 1.0
    span = np.diff(b).astype(np.float64)

    def at(fraction: float) -> float:
        return float(np.mean(near_peak(nov, np.round(b[:-1] + fraction * span).astype(np.intp))))

    first, second = at(1.0 / 3.0), at(2.0 / 3.0)
    top = max(first, second)
    return min(first, second) / top if top > 0 else 1.0
