"""Beats on swung, loosely played music: a ride on the beat and on the late
eighth, a walking bass, brushes that swell over each beat, every note a
little off the grid.

The default road must hold its beats on the beats, and the tracker that may
change its period from beat to beat must not slip off them when handed the
double tempo (the eighth-note level a slow swing is often heard at), not
even across a stretch where the band drops out.
"""

import numpy as np
import pytest

from _audio import drum_kit, lay
from korvel.analysis import AnalysisParams, analyze
from korvel.pulsix import spectral_novelty
from korvel.tempo_curve import beat_rate, track_hmm
from korvel.tempo_level import bass_onsets, tracking_curve

FS = 22050
WINDOW = 0.07  # seconds: the tolerance a beat counts within


def swing_combo(bpm, seconds=16.0, seed=0, late=2.0 / 3.0, loose=0.015, brush=0.02, gap=None, pushes_from=None):
    """The audio and its beat times.  Each beat has the ride (louder on
    every other beat) and a bass note of a walking line; the ride's second
    note comes ``late`` of the way to the next beat; each note is placed
    with a random error of standard deviation ``loose`` seconds.  ``gap``:
    (start s, beats) of a stretch turned down to 5 %.  ``pushes_from``:
    from then on, before about three beats in five, a piano chord pushed
    ahead of the beat onto the late eighth."""
    rng = np.random.default_rng(seed)
    out, _, ride = drum_kit(rng, FS, seconds, 0.002, 0.3, (45, 110, 30, 10), 40, 0.35)
    beat = 60.0 / bpm
    position = ((np.arange(len(out)) / FS - 0.31) % beat) / beat
    out += rng.standard_normal(len(out)) * brush * (0.3 + 0.7 * position)
    t = np.arange(int(0.4 * FS)) / FS
    times = np.arange(0.31, seconds - 0.2, beat)
    steps = np.array([0, 2, 4, 5, 7, 9, 11, 12])
    for i, bt in enumerate(times):
        lay(out, ride, bt + rng.normal(0, loose), (1.0 if i % 2 else 0.7) * (0.9 + 0.1 * rng.random()), FS)
        lay(out, ride, bt + late * beat + rng.normal(0, loose), 0.7 * (0.9 + 0.1 * rng.random()), FS)
        note = np.sin(2 * np.pi * 55.0 * 2 ** (rng.choice(steps) / 12) * t) * np.exp(-t * 5)
        lay(out, note, bt + rng.normal(0, loose), 0.6, FS)
    out = out / np.max(np.abs(out)) * 0.9
    if pushes_from is not None:
        rng = np.random.default_rng(seed)
        t = np.arange(int(0.3 * FS)) / FS
        chord = sum(np.sin(2 * np.pi * f * t) for f in (220.0, 277.0, 330.0, 392.0)) * np.exp(-t * 12) * 0.25
        for bt in times[times > pushes_from]:
            if rng.random() < 0.6:
                lay(out, chord, bt - (1.0 - late) * beat + rng.normal(0, 0.01), 1.0, FS)
        out = out / np.max(np.abs(out)) * 0.9
    if gap is not None:
        start, beats = gap
        out[int(start * FS):int((start + beats * beat) * FS)] *= 0.05
    return out, times


def tracked_curve(x):
    """The curve the road tracks its beats on, and its frame rate."""
    p = AnalysisParams().resolved(FS)
    fft_len, hop = p.sizes()
    nov = spectral_novelty(x, fft_len, hop, p.gamma)
    return tracking_curve(nov, bass_onsets(x, FS, fft_len, hop, len(nov), p.gamma)), FS / hop


def share_hit(beats, targets):
    """The share of ``targets`` (away from the ends) with a beat within WINDOW."""
    inner = targets[3:-3]
    if len(beats) == 0:
        return 0.0
    return float(np.mean([np.min(np.abs(beats - t)) < WINDOW for t in inner]))


@pytest.mark.parametrize("bpm", [60, 72, 84, 140])
@pytest.mark.parametrize("seed", [0, 1])
def test_the_road_holds_the_beats_of_loose_swing(bpm, seed):
    x, times = swing_combo(float(bpm), seed=seed)
    res = analyze(x, FS, AnalysisParams())
    assert res.tempo == pytest.approx(bpm, rel=0.02)
    beats = np.asarray(res.beat_times)
    assert share_hit(beats, times) >= 0.9
    # Neither the straight nor the swung off-beat takes the beats' place.
    late = times[:-1] + (2.0 / 3.0) * np.diff(times)
    assert share_hit(beats, late) <= 0.1


@pytest.mark.parametrize("bpm", [60, 66, 78, 90])
@pytest.mark.parametrize("gap", [None, (8.0, 3)])
@pytest.mark.parametrize("off", [0.985, 1.015])
def test_tracked_at_the_double_every_other_beat_stays_on_a_beat(bpm, gap, off):
    # The tracker is handed twice the tempo, a little off (as a tempogram
    # bin is): the late eighths cannot share a steady grid with the beats, so
    # half its beats fall between; the other half must keep to the beats,
    # without drifting while the band is quiet.
    x, times = swing_combo(float(bpm), seconds=20.0, seed=bpm, gap=gap)
    curve, ff = tracked_curve(x)
    frames = track_hmm(curve, 60.0 * ff / (2 * bpm) * off)
    assert frames is not None
    assert beat_rate(frames, ff) == pytest.approx(2 * bpm, rel=0.01)
    assert share_hit(frames / ff, times) >= 0.9


def accelerando(start_bpm, end_bpm, seconds=20.0, seed=0):
    """A kick on every beat (louder on every other) and a hat half-way to the
    next, the tempo moving evenly from ``start_bpm`` to ``end_bpm``."""
    rng = np.random.default_rng(seed)
    out, kick, hat = drum_kit(rng, FS, seconds, 0.002, 0.3, (50, 120, 30, 12), 40, 0.3)
    t, i = 0.3, 0
    while t < seconds - 0.3:
        bpm = start_bpm + (end_bpm - start_bpm) * t / seconds
        lay(out, kick, t, 1.0 if i % 2 == 0 else 0.7, FS)
        lay(out, hat, t + 30.0 / bpm, 0.5, FS)
        t, i = t + 60.0 / bpm, i + 1
    return out / np.max(np.abs(out)) * 0.9


@pytest.mark.parametrize("bpm, seed, off", [(66, 1, 0.97), (66, 1, 1.0)])
@pytest.mark.parametrize("gap", [None, (7.0, 6)])
def test_a_double_held_at_its_limit_gives_way_to_the_beat(bpm, seed, off, gap):
    # Chords pushed ahead of the beat pull the tracker at the double to the
    # shortest period it may take, off the beats; given room for the slower
    # octave, it answers that level, whose beats hold.
    x, times = swing_combo(float(bpm), seconds=20.0, seed=seed, pushes_from=8.0, gap=gap)
    curve, ff = tracked_curve(x)
    period = 60.0 * ff / (2 * bpm) * off
    held = track_hmm(curve, period)
    assert held is not None and share_hit(held / ff, times) < 0.5
    for slowest, halved in [(None, False), (1.9 * period, False), (2.0 * period, True), (60.0 * ff / 40, True)]:
        frames = track_hmm(curve, period, slowest)
        assert frames is not None
        if halved:
            assert beat_rate(frames, ff) == pytest.approx(bpm, rel=0.01)
            assert share_hit(frames / ff, times) >= 0.9
        else:
            np.testing.assert_array_equal(frames, held)


@pytest.mark.parametrize("start, end", [(100, 140), (130, 170), (170, 130)])
def test_a_tempo_running_past_the_range_keeps_its_level(start, end):
    # The tracker is held at its limit here too, but so is the slower
    # octave: the tempo itself moves further than the periods allowed.
    curve, ff = tracked_curve(accelerando(float(start), float(end)))
    period = 60.0 * ff * 2.0 / (start + end)
    frames = track_hmm(curve, period, 60.0 * ff / 40)
    assert frames is not None
    np.testing.assert_array_equal(frames, track_hmm(curve, period))
    assert beat_rate(frames, ff) == pytest.approx((start + end) / 2.0, rel=0.05)
