"""The tempogram grid as korvel.tempogram states it agrees with the native
functions that use it, bit for bit: the tempo a result reports is the tempo of
its bin on every axis that shows it."""

import numpy as np
import pytest

from korvel.analysis import AnalysisParams, analyze
from korvel.pulsix import bpm_to_k, estimate_bpm, spectral_novelty
from korvel.tempogram import (TG_BINS, TG_FFT_LEN, bin_bpm, display_rows, fourier_tempogram,
                              nearest_bin, pooled_tempogram, tempo_bins)

from _audio import click_train

# Feature rates of usual and odd sample rates and hops.
RATES = [22050 / 512, 44100 / 1024, 48000 / 512, 8000 / 87, 16000 / 333, 96000 / 2048]


@pytest.mark.parametrize("ff", RATES)
def test_nearest_bin_is_the_native_rounding(ff):
    for bpm in np.linspace(20.0, 400.0, 997):
        assert nearest_bin(float(bpm), ff) == bpm_to_k(float(bpm), TG_FFT_LEN, ff)


@pytest.mark.parametrize("ff", RATES)
@pytest.mark.parametrize("bpm_min, bpm_max", [(60.0, 200.0), (40.0, 90.0), (100.0, 101.0), (30.0, 1e6)])
def test_the_searched_bins_hold_the_native_estimate_and_its_tempo_exactly(ff, bpm_min, bpm_max):
    rng = np.random.default_rng(int(ff))
    nov = rng.random(2000)
    k_min, k_max = tempo_bins(bpm_min, bpm_max, ff)
    if k_min >= k_max:  # a range narrower than a bin may hold none
        with pytest.raises(ValueError):
            estimate_bpm(nov, ff, bpm_min, bpm_max)
        return
    assert 0 <= k_min < k_max <= TG_BINS
    raw = float(estimate_bpm(nov, ff, bpm_min, bpm_max))
    k = nearest_bin(raw, ff)
    assert k_min <= k < k_max
    # The same bits as the estimate, as the conversion gives them and as the
    # tempogram's axis and the pictures' axis show them.
    assert bin_bpm(k, ff) == raw
    assert fourier_tempogram(nov, ff).bpm[k] == raw
    rows, bpm = display_rows(ff, bpm_max)
    if k in rows:
        assert bpm[list(rows).index(k)] == raw


@pytest.mark.parametrize("tempo_level", ["raw", "dp"])
def test_a_result_s_tempo_is_on_its_tempogram_s_axis(tempo_level):
    fs = 22050
    x = click_train(123.0, fs, 12.0, 0.25, 64)
    result = analyze(x, fs, AnalysisParams(tempo_level=tempo_level))
    assert result.tempo is not None
    ff = result.feature_rate
    axis = fourier_tempogram(result.novelty, ff).bpm
    for bpm in (result.tempo, result.raw_tempo):
        assert axis[nearest_bin(bpm, ff)] == bpm


@pytest.mark.parametrize("limit", [1, 3, 7, 1000])
def test_pooled_tempogram_is_the_whole_pooled(limit):
    nov = spectral_novelty(click_train(97.0, 16000, 40.0, 0.25, 64), 1024, 256, 100.0)
    whole = np.abs(fourier_tempogram(nov, 16000 / 256).magnitude[20:200])
    got, group, frames = pooled_tempogram(nov, 20, 200, limit)
    assert frames == whole.shape[1] and got.shape[1] <= limit
    assert group == -(-frames // limit)
    for c in range(got.shape[1]):
        assert got[:, c].tobytes() == whole[:, c * group:(c + 1) * group].max(axis=1).tobytes()
