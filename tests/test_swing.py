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


def swing_combo(bpm, seconds=16.0, seed=0, late=2.0 / 3.0, loose=0.015, brush=0.02, gap=None):
    """The audio and its beat times.  Each beat has the ride (louder on
    every other beat) and a bass note of a walking line; the ride's second
    note comes ``late`` of the way to the next beat; each note is placed
    with a random error of standard deviation ``loose`` seconds.  ``gap``:
    (start s, beats) of a stretch turned down to 5 %."""
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
    if gap is not None:
        start, beats = gap
        out[int(start * FS):int((start + beats * beat) * FS)] *= 0.05
    return out / np.max(np.abs(out)) * 0.9, times


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
    p = AnalysisParams().resolved(FS)
    fft_len, hop = p.sizes()
    nov = spectral_novelty(x, fft_len, hop, p.gamma)
    ff = FS / hop
    curve = tracking_curve(nov, bass_onsets(x, FS, fft_len, hop, len(nov), p.gamma))
    frames = track_hmm(curve, 60.0 * ff / (2 * bpm) * off)
    assert frames is not None
    assert beat_rate(frames, ff) == pytest.approx(2 * bpm, rel=0.01)
    assert share_hit(frames / ff, times) >= 0.9
