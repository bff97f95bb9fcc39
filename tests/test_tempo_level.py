"""The tempo step of the road: the plain ("raw") composition kept bit for bit,
and the metrical level chosen on synthetic music with a known beat."""

import numpy as np
import pytest

from korvel.analysis import AnalysisParams, TempoCandidate, analyze, tempo, tempo_estimate
from korvel.pulsix import create_dp_beats, estimate_bpm, make_local_pulse, spectral_novelty

FS = 22050


def drums(bpm, seconds=12.0, seed=0, hats=True, accents=None):
    """A kick on every beat (louder where ``accents`` says), hi-hats on the eighths."""
    rng = np.random.default_rng(seed)
    n = int(seconds * FS)
    out = 0.002 * rng.standard_normal(n)
    t = np.arange(int(0.25 * FS)) / FS
    kick = np.sin(2 * np.pi * np.cumsum(45 + 110 * np.exp(-t * 30)) / FS) * np.exp(-t * 10)
    hat = np.diff(rng.standard_normal(len(t) + 1)) * np.exp(-t * 90) * 0.35

    def add(sound, when, gain):
        s = int(round(when * FS))
        if s < n:
            out[s:s + len(sound)] += sound[:n - s] * gain

    beat = 60.0 / bpm
    for i, bt in enumerate(np.arange(0.31, seconds - 0.2, beat)):
        gain = 1.0 if accents is None else accents[i % len(accents)]
        add(kick, bt, gain * (0.9 + 0.1 * rng.random()))
        if hats:
            add(hat, bt, 0.7 + 0.1 * rng.random())
            add(hat, bt + beat / 2, 0.7 + 0.1 * rng.random())
    return out / np.max(np.abs(out)) * 0.9


def plain_road(x, fs, p):
    """Today's composition, step by step, as a user would write it."""
    mono = x if x.ndim == 1 else x.mean(axis=1)
    hop = 512 if fs == 22050 else 1024
    ff = fs / hop
    nov = spectral_novelty(mono, 2 * hop, hop, p.gamma)
    bpm = estimate_bpm(nov, ff, p.bpm_min, p.bpm_max)
    beats, _ = create_dp_beats(nov, 60.0 * ff / bpm, p.lmbda)
    pulse = make_local_pulse(nov, ff, p.bpm_min, p.bpm_max)
    return nov, bpm, beats, pulse


@pytest.mark.parametrize("bpm, fs, channels, params", [
    (120.0, 22050, 1, AnalysisParams(tempo_level="raw")),
    (97.0, 44100, 2, AnalysisParams(tempo_level="raw", bpm_min=70, bpm_max=150, lmbda=3.5, gamma=10)),
    (143.0, 22050, 2, AnalysisParams(tempo_level="raw", bpm_min=40, bpm_max=300)),
])
def test_raw_level_is_the_plain_composition_bit_for_bit(bpm, fs, channels, params):
    x = drums(bpm, 10.0, seed=int(bpm))
    if fs != FS:
        x = np.repeat(x, 2)
    if channels == 2:
        x = np.stack([x, 0.5 * x[::-1]], axis=1)
    nov, want_bpm, beats, pulse = plain_road(x, fs, params)
    got = analyze(x, fs, params)
    assert got.novelty.tobytes() == nov.tobytes()
    assert got.tempo == got.raw_tempo == want_bpm
    assert got.beat_frames.tobytes() == beats.astype(np.int64).tobytes()
    assert got.local_pulse.tobytes() == pulse.tobytes()
    assert got.beat_period == 60.0 * got.feature_rate / want_bpm
    assert tempo(x, fs, params) == want_bpm
    est = tempo_estimate(x, fs, params)
    assert est.tempo == est.raw_tempo == want_bpm
    assert est.candidates[0].bpm == want_bpm


def test_results_carry_the_raw_estimate_and_sorted_candidates():
    x = drums(110.0, seed=3)
    for level in ("auto", "raw"):
        res = analyze(x, FS, AnalysisParams(tempo_level=level))
        assert res.raw_tempo == tempo(x, FS, AnalysisParams(tempo_level="raw"))
        cands = res.tempo_candidates
        assert cands and all(isinstance(c, TempoCandidate) for c in cands)
        assert cands[0].bpm == res.tempo
        conf = [c.confidence for c in cands]
        assert all(0.0 <= c <= 1.0 for c in conf)
        assert conf == sorted(conf, reverse=True)
        assert len({round(c.bpm, 6) for c in cands}) == len(cands)


def test_silence_has_no_tempo_and_no_candidates():
    est = tempo_estimate(np.zeros(FS * 3), FS)
    assert est.tempo is None and est.raw_tempo is None and est.candidates == () and est.warning is None
    res = analyze(np.zeros(FS * 3), FS)
    assert res.tempo is None and res.raw_tempo is None and res.tempo_candidates == ()


def pulse(bpm, seconds=10.0):
    x = np.zeros(int(seconds * FS))
    for t in np.arange(0.2, seconds - 0.1, 60.0 / bpm):
        x[int(t * FS):int(t * FS) + 32] = 1.0
    return x


@pytest.mark.parametrize("level", ["raw", "auto"])
def test_a_tempo_on_the_edge_of_the_range_is_flagged(level):
    # 120 BPM clicks have no peak inside 60-110 or 130-200 (the harmonics are
    # 240, 360, ...): the search ends on the edge nearest to 120.
    est = tempo_estimate(pulse(120.0), FS, AnalysisParams(bpm_min=60, bpm_max=110, tempo_level=level))
    assert est.warning == (f"tempo {est.tempo:.2f} BPM is at the upper limit of the search range "
                           "(60-110 BPM)")
    est = tempo_estimate(pulse(120.0), FS, AnalysisParams(bpm_min=130, bpm_max=200, tempo_level=level))
    assert est.warning == (f"tempo {est.tempo:.2f} BPM is at the lower limit of the search range "
                           "(130-200 BPM)")
    assert analyze(pulse(120.0), FS, AnalysisParams(bpm_min=130, bpm_max=200,
                                                    tempo_level=level)).tempo_warning == est.warning
    # Well inside the range: no warning.
    assert tempo_estimate(pulse(120.0), FS, AnalysisParams(tempo_level=level)).warning is None
