"""The whole road: drum audio at a known tempo -> novelty -> tempo -> beats -> clicks."""

import numpy as np
import pytest

from _oracle import assert_same_outcome, base
from _audio import drum_kit, lay
from korvel.pulsix import (beats_score, create_dp_beats, estimate_bpm, make_clicks,
                           make_local_pulse, spectral_novelty)

FS = 22050
FFT_LEN, HOP = 1024, 512
FF = FS / HOP
LMBDA = 100


def drum_audio(bpm, seconds, seed, lead_in=0.37):
    """A kick and a hi-hat on every beat, a softer hi-hat between, a little noise."""
    rng = np.random.default_rng(seed)
    out, kick, hat = drum_kit(rng, FS, seconds, 0.003, 0.3, (50, 100, 35, 12), 120, 0.3)
    beat_times = np.arange(lead_in, seconds - 0.3, 60.0 / bpm)
    for bt in beat_times:
        lay(out, kick, bt, 0.85 + 0.15 * rng.random(), FS)
        lay(out, hat, bt, 0.8 + 0.2 * rng.random(), FS)
        lay(out, hat, bt + 30.0 / bpm, 0.3 + 0.1 * rng.random(), FS)
    return out / np.max(np.abs(out)) * 0.9, beat_times


@pytest.fixture(scope="module", params=[(112.0, 0), (93.5, 1), (137.0, 4)], ids=["112bpm", "93.5bpm", "137bpm"])
def road(request):
    bpm, seed = request.param
    x, truth = drum_audio(bpm, 30.0, seed)
    nov = spectral_novelty(x, FFT_LEN, HOP, 100)
    tempo = estimate_bpm(nov, FF, 70, 160)
    period = 60 * FF / tempo
    beats, D = create_dp_beats(nov, period, LMBDA)
    return dict(bpm=bpm, x=x, truth=truth, nov=nov, tempo=tempo, period=period, beats=beats, D=D)


def frame_times(frames):
    # Entry k of the curve is the change into spectrogram frame k + 1,
    # whose centre lies at (k + 1) * HOP samples.
    return (np.asarray(frames) + 1) * HOP / FS


def test_tempo_within_one_tempogram_bin(road):
    assert type(road["tempo"]) is np.float64
    assert abs(road["tempo"] - road["bpm"]) <= 60 * FF / 4096


def test_beats_fall_on_the_true_beats(road):
    beats, truth = road["beats"], road["truth"]
    assert beats.dtype == np.dtype(int) and np.all(np.diff(beats) > 0)
    times = frame_times(beats)
    error = np.min(np.abs(times[:, None] - truth[None, :]), axis=1)
    assert np.mean(error <= 0.070) >= 0.9
    # And the beats cover the piece instead of a short stretch of it.
    assert len(beats) >= 0.9 * len(truth)


def test_beat_score_is_the_best_total(road):
    got = beats_score(road["nov"], road["beats"], road["period"], LMBDA)
    assert type(got) is np.float64
    assert got == pytest.approx(np.max(road["D"]), rel=1e-9)
    # Any shifted grid scores worse.
    shifted = road["beats"][1:-1] + 3
    assert beats_score(road["nov"], shifted, road["period"], LMBDA) < got


def test_click_track_of_the_beats(road):
    x, beats = road["x"], road["beats"]
    positions = frame_times(beats) * FS
    clicks = make_clicks(positions, len(x))
    assert clicks.shape == x.shape and clicks.dtype == np.float64
    starts = np.flatnonzero(np.diff(np.concatenate([[0.0], clicks])) > 0)
    assert starts.tolist() == positions.astype(int).tolist()
    assert np.count_nonzero(clicks) == 50 * len(beats)


def test_local_pulse_peaks_on_the_beats(road):
    nov, truth = road["nov"], road["truth"]
    pulse = make_local_pulse(nov, FF, 70, 160)
    assert pulse.min() >= 0 and len(pulse) >= len(nov)
    inner = np.arange(1, len(nov) - 1)
    peaks = inner[(pulse[inner] > pulse[inner - 1]) & (pulse[inner] >= pulse[inner + 1])
                  & (pulse[inner] > 0.3 * pulse.max())]
    times = frame_times(peaks)
    error = np.min(np.abs(times[:, None] - truth[None, :]), axis=1)
    assert len(peaks) >= 0.8 * len(truth)
    assert np.mean(error <= 0.070) >= 0.9


def test_whole_road_matches_transcription():
    # One long curve through the quadratic beat tracker.
    x, _ = drum_audio(121.0, 20.0, 7)
    nov = assert_same_outcome(spectral_novelty, base.spectral_novelty, x, FFT_LEN, HOP, 100)[0][1]
    tempo = assert_same_outcome(estimate_bpm, base.estimate_bpm, nov, FF, 70, 160)[0][1]
    period = 60 * FF / tempo
    beats, D = assert_same_outcome(create_dp_beats, base.create_dp_beats, nov, period, LMBDA)[0][1]
    assert_same_outcome(beats_score, base.beats_score, nov, beats, period, LMBDA)
    assert_same_outcome(make_clicks, base.make_clicks, frame_times(beats) * FS, len(x))
    assert_same_outcome(make_local_pulse, base.make_local_pulse, nov, FF, 70, 160)
