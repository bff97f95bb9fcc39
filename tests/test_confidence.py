"""The confidence of the tempo: how well the tracked beats sit on the onsets
tempers the candidates' shares on the hmm level, and on that level only."""

import math

import numpy as np
import pytest

from korvel import analysis
from korvel.analysis import AnalysisParams, tempo_estimate
from korvel.beat_fit import FIT_FULL, beat_fit, fit_factor
from _beatless import FS, applause_like, pink_noise, played, random_hits, six_eight, speech_like, swell, waltz

FF = 22050 / 512  # frames a second of the road's default hop at FS


def _spikes(n, period, first=0):
    curve = np.zeros(n)
    curve[first::period] = 1.0
    return curve


# name, curve, beats, lowest and highest z-score
FITS = [
    ("beats on every onset", _spikes(600, 20), np.arange(0, 600, 20), 5.0, math.inf),
    ("beats on every other onset", _spikes(600, 20), np.arange(0, 600, 40), 3.0, math.inf),
    ("beats halfway between the onsets", _spikes(600, 20), np.arange(10, 600, 20), -math.inf, -2.0),
    ("no beats", _spikes(600, 20), np.zeros(0, dtype=np.int64), 0.0, 0.0),
    ("a flat curve: nothing to tell", np.ones(600), np.arange(0, 600, 20), 0.0, 0.0),
]


@pytest.mark.parametrize("name, curve, beats, low, high", FITS, ids=[f[0] for f in FITS])
def test_the_fit_says_how_far_beats_beat_a_random_grid(name, curve, beats, low, high):
    z = beat_fit(curve, beats, FF)
    assert low <= z <= high
    assert fit_factor(z) == (1.0 if z >= FIT_FULL else 0.0 if z <= 0 else pytest.approx(z / FIT_FULL))


def test_the_fit_of_random_beats_is_on_the_chance_scale():
    # Frames drawn at random from onsets at random times score about N(0, 1),
    # whatever the number of beats: the scale the factor is read on.
    rng = np.random.default_rng(5)
    curve = rng.exponential(size=900) ** 3
    for n in (10, 40):
        z = np.array([beat_fit(curve, np.sort(rng.choice(900, n, replace=False)), FF) for _ in range(1500)])
        assert abs(z.mean()) < 0.1 and 0.85 < z.std() < 1.15


def test_beat_frames_outside_the_curve_are_refused():
    with pytest.raises(ValueError, match="within the curve"):
        beat_fit(np.ones(100), np.array([5, 100]), FF)


# Steady music: beats on the onsets, the confidences as the steadiness and
# the level step left them (the dp level does not temper them).
STEADY = [
    ("kick and snare", lambda: played("kick and snare", 110.0, 14.0, drift=0.03, jitter=0.02)),
    ("boom-chick", lambda: played("boom-chick", 72.0, 14.0, seed=1)),
    ("walking bass", lambda: played("walking bass", 150.0, 10.0)),
    ("waltz", lambda: waltz(150.0, seed=3)),
    ("six-eight", lambda: six_eight(66.0, seed=0)),
]


@pytest.mark.parametrize("make", [s[1] for s in STEADY], ids=[s[0] for s in STEADY])
def test_steady_music_keeps_its_full_confidence(make):
    x = make()
    hmm = tempo_estimate(x, FS, AnalysisParams(tempo_level="hmm"))
    dp = tempo_estimate(x, FS, AnalysisParams(tempo_level="dp"))
    assert hmm.tempo is not None
    assert [c.confidence for c in hmm.candidates] == [c.confidence for c in dp.candidates]


# Audio without a beat, given a tempo whatever its steadiness: the tracker
# finds chance onsets (or, among random kicks, some), and the confidences shrink.
BEATLESS = [(applause_like, 10.0, 4), (applause_like, 10.0, 7), (swell, 30.0, 6), (pink_noise, 10.0, 6),
            (random_hits, 10.0, 7), (speech_like, 20.0, 6)]


def test_beats_on_chance_onsets_lose_confidence(monkeypatch):
    monkeypatch.setattr(analysis, "STEADINESS_MIN", 0.0)
    pairs = []
    for make, seconds, seed in BEATLESS:
        x = make(seed, seconds)
        hmm = tempo_estimate(x, FS, AnalysisParams(tempo_level="hmm"))
        dp = tempo_estimate(x, FS, AnalysisParams(tempo_level="dp"))
        assert hmm.tempo is not None and 0 < dp.candidates[0].confidence
        pairs.append((hmm.candidates[0].confidence, dp.candidates[0].confidence))
    assert all(h < d for h, d in pairs)
    assert sum(h for h, _ in pairs) <= 0.5 * sum(d for _, d in pairs)


def test_beats_between_the_onsets_lose_the_confidence_but_nothing_else(monkeypatch):
    x = played("kick and snare", 110.0, 14.0)
    before = tempo_estimate(x, FS)
    track = analysis.track_hmm

    def off_the_beat(curve, period, slowest=None):
        # The same beats half a period late: the same rate, every one between two onsets.
        frames = track(curve, period, slowest) + int(round(period / 2))
        return frames[frames < len(curve)]

    monkeypatch.setattr(analysis, "track_hmm", off_the_beat)
    after = tempo_estimate(x, FS)
    assert before.candidates[0].confidence > 0.5
    assert all(c.confidence == 0.0 for c in after.candidates)
    assert after.tempo == pytest.approx(before.tempo, rel=0.01) and after.warning == before.warning
    assert [c.bpm for c in after.candidates[1:]] == [c.bpm for c in before.candidates[1:]]


SIGNALS = [lambda: played("off-beat chords", 120.0, 5.0, seed=1, floor=0.02, drift=0.03, jitter=0.02),
           lambda: random_hits(2, 10.0), lambda: swell(4, 30.0), lambda: waltz(180.0, seed=1)]


@pytest.mark.parametrize("make", SIGNALS)
def test_candidates_stay_in_order_and_the_fit_is_read_on_the_hmm_level_alone(monkeypatch, make):
    x = make()
    for level in ("raw", "dp", "hmm"):
        est = tempo_estimate(x, FS, AnalysisParams(tempo_level=level))
        conf = [c.confidence for c in est.candidates]
        assert conf == sorted(conf, reverse=True) and sum(conf) <= 1.0 + 1e-12 and min(conf) >= 0.0
        if est.tempo is not None:
            assert est.candidates[0].bpm == est.tempo

    def refused(*args):
        raise AssertionError("the fit was read")

    monkeypatch.setattr(analysis, "beat_fit", refused)
    raw = tempo_estimate(x, FS, AnalysisParams(tempo_level="raw"))
    assert raw.candidates == (analysis.TempoCandidate(raw.tempo, 1.0),)
    tempo_estimate(x, FS, AnalysisParams(tempo_level="dp"))
