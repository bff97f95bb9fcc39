"""Autocorrelation tempogram, tempo/bin mapping, best bins and sinusoid parameters."""

import contextlib
import math

import numpy as np
import pytest

import korvel.sonix as sonix
from _oracle import FLOAT_DTYPES, REAL_DTYPES, assert_same_outcome, layouts, pair, sprinkle, tempo_range
from _support import named
from korvel.pulsix import (auto_correlate, best_tempogram_bins, bpm_to_k, get_sinusoid_params,
                           make_ac_tempogram)


# ---- auto_correlate -----------------------------------------------------------

@pytest.mark.parametrize("x, want, dtype", [
    (np.array([1, 2, 3]), [14, 8, 3], np.int64),
    ([1, 2, 3], [14, 8, 3], np.int64),
    (np.array([1.0, 2.0, 3.0]), [14.0, 8.0, 3.0], np.float64),
    (np.array([-3.0]), [9.0], np.float64),
    (np.array([1.5], dtype=np.float32), [2.25], np.float32),
])
def test_auto_correlate_values(x, want, dtype):
    got = auto_correlate(x)
    assert type(got) is np.ndarray and got.dtype == dtype
    assert got.tolist() == want


def test_auto_correlate_is_unnormalised_sum_of_lagged_products():
    x = np.random.default_rng(1).standard_normal(50)
    got = auto_correlate(x)
    assert got.shape == (50,)
    for k in (0, 1, 17, 49):
        assert got[k] == pytest.approx(np.dot(x[k:], x[:50 - k]), rel=1e-12)


# ---- make_ac_tempogram --------------------------------------------------------

@pytest.mark.parametrize("n, win_len, hop, cols", [
    (100, 20, 10, 8),   # the frame at 80 would fit but is left out
    (105, 20, 10, 8),   # 8.5 truncated
    (20, 20, 10, 0),    # exactly one window: no column
    (29, 20, 10, 0),
    (11, 20, 10, 0),    # -0.9 truncates to 0
    (31, 20, 5, 2),
    (25, 20, 10.0, 0),  # a float hop is fine where there are no frames
])
def test_ac_tempogram_shape_and_columns(n, win_len, hop, cols):
    x = np.random.default_rng(n).standard_normal(n)
    tg = make_ac_tempogram(x, win_len, hop)
    assert type(tg) is np.ndarray and tg.dtype == np.float64 and tg.shape == (win_len, cols)
    for c in range(cols):
        frame = x[c * hop:c * hop + win_len]
        assert tg[:, c].tolist() == auto_correlate(frame).tolist()
        assert tg[0, c] == pytest.approx(np.sum(frame ** 2), rel=1e-12)


# ---- bpm_to_k -----------------------------------------------------------------

@pytest.mark.parametrize("bpm, fft_len, ff, want", [
    (90, 4096, 128, 48),
    (75, 4096, 2048, 2),      # 2.5: exact halves go to the even bin
    (105, 4096, 2048, 4),     # 3.5
    (60, 4096, 100, 41),      # 40.96
    (200, 4096, 100, 137),    # 136.53
    (75, 4096, 64, 80),
    (0, 4096, 100, 0),
    (-90, 4096, 128, -48),
    (np.float32(90), 4096, 128.0, 48),
    (np.array(90.0), 4096, 128, 48),
])
def test_bpm_to_k(bpm, fft_len, ff, want):
    got = bpm_to_k(bpm, fft_len, ff)
    assert type(got) is int and got == want


@pytest.mark.parametrize("ff, exc, message, warns", [
    (0, ZeroDivisionError, "float division by zero", False),
    (np.float64(0), OverflowError, "cannot convert float infinity to integer", True),
    (np.nan, ValueError, "cannot convert float NaN to integer", False),
])
def test_bpm_to_k_non_finite(ff, exc, message, warns):
    with pytest.warns(RuntimeWarning, match="divide by zero") if warns else contextlib.nullcontext():
        with pytest.raises(exc, match=message):
            bpm_to_k(90, 4096, ff)


# ---- best_tempogram_bins --------------------------------------------------------

def tempogram(rows, cols, rng=None):
    rng = rng or np.random.default_rng(0)
    return (rng.random((rows, cols)) + 1j * rng.random((rows, cols))) * 0.01


def test_best_bins_range_60_to_200_at_ff_100():
    # Rows 41 .. 136 are searched: 40 and 137 lose even when they are larger.
    tg = tempogram(2049, 4)
    tg[40, 0], tg[41, 0] = 9.0, 1.0
    tg[137, 1], tg[136, 1] = 9.0, 1.0
    tg[:41, 2] = 9.0
    tg[80, 2] = -1.0 - 1j   # magnitude counts, not the real part
    tg[137:, 3] = 9.0
    got = best_tempogram_bins(tg, 100, 60, 200)
    assert got.dtype == np.dtype(int) and got.tolist() == [41, 136, 80, np.argmax(np.abs(tg[41:137, 3])) + 41]


def test_best_bins_results_stay_in_range():
    tg = tempogram(2049, 50, np.random.default_rng(3))
    got = best_tempogram_bins(tg, 100, 60, 200)
    assert got.shape == (50,) and got.min() >= 41 and got.max() <= 136


@pytest.mark.parametrize("bpm_min, bpm_max, want", [
    (75, 100, 80),    # a lower bound exactly on row 80 includes it
    (60, 75, 79),     # an upper bound exactly on row 80 excludes it
])
def test_best_bins_limits_on_a_bin(bpm_min, bpm_max, want):
    tg = np.zeros((2049, 1))
    tg[75:85, 0] = np.arange(10)[::-1] if want == 79 else np.arange(10)
    tg[80, 0] = 100
    tg[79, 0] = 50
    assert best_tempogram_bins(tg, 64, bpm_min, bpm_max).tolist() == [want]


def test_best_bins_ties_and_nan():
    tg = np.zeros((2049, 3))
    tg[50, 0] = tg[60, 0] = 2.0           # tie: the lower row
    tg[70, 2] = np.nan                    # NaN counts as largest
    tg[90, 2] = 5.0
    assert best_tempogram_bins(tg, 100, 60, 200).tolist() == [50, 41, 70]


def test_best_bins_zero_columns_and_odd_dft():
    got = best_tempogram_bins(np.zeros((2049, 0)), 100, 60, 200)
    assert got.shape == (0,) and got.dtype == np.dtype(int)
    # 2048 rows come from a DFT of 4095, treated as 4094: 60 BPM at 100 is 40.94 -> 41.
    tg = np.zeros((2048, 1))
    tg[40, 0], tg[41, 0] = 5.0, 1.0
    assert best_tempogram_bins(tg, 100, 60, 200).tolist() == [41]


# ---- get_sinusoid_params ------------------------------------------------------

def test_sinusoid_params_frequencies():
    spec = np.ones((257, 3), dtype=complex)
    result = get_sinusoid_params(spec, 100, np.array([0, 5, 10]))
    assert type(result) is tuple and len(result) == 2
    freqs, phases = result
    assert freqs.dtype == np.float64 and freqs.tolist() == [0.0, 0.9765625, 1.953125]
    assert phases.dtype == np.float64 and phases.tolist() == [0.0, 0.0, 0.0]


def test_sinusoid_params_phases_read_bin_row_and_position_column():
    spec = np.zeros((5, 4), dtype=complex)
    spec[3, 0] = 1 + 1j
    spec[1, 1] = -1 + 0j
    spec[4, 2] = -1j
    spec[0, 3] = 99  # beyond len(bins): ignored
    freqs, phases = get_sinusoid_params(spec, 8.0, np.array([3, 1, 4]))
    assert freqs.tolist() == [3.0, 1.0, 4.0]
    assert phases.tolist() == [math.pi / 4, math.pi, -math.pi / 2]


def test_sinusoid_params_empty_bins():
    freqs, phases = get_sinusoid_params(np.ones((9, 4), dtype=complex), 10, np.array([], dtype=int))
    assert freqs.shape == phases.shape == (0,)
    assert freqs.dtype == phases.dtype == np.float64


def test_sinusoid_params_of_a_real_stft_are_its_frame_sinusoids():
    # A cosine exactly on bin 8 of a 64-point frame: frequency and phase come back.
    fs, n = 64.0, np.arange(64)
    x = np.cos(2 * np.pi * 8 * n / 64 + 0.7)
    spec = sonix.stft(x, 64, 64, 1, np.ones(64), False)
    freqs, phases = get_sinusoid_params(spec, fs, np.array([8]))
    assert freqs.tolist() == [8.0]
    assert phases[0] == pytest.approx(0.7, abs=1e-12)


@pytest.mark.parametrize("fn, args, exc, message", [
    (auto_correlate, (np.array([]),), ValueError, "empty"),
    (make_ac_tempogram, (np.ones(10), 20, 10), ValueError, "negative dimensions"),
    (make_ac_tempogram, (np.ones(100), 20, 0), ZeroDivisionError, "division by zero"),
    (make_ac_tempogram, (np.ones(100), 20.0, 10), TypeError, None),
    (make_ac_tempogram, (np.ones(100), 20, 10.0), TypeError, "slice indices must be integers"),
    (best_tempogram_bins, (np.zeros((2049, 2)), 100, 90, 90), ValueError, "attempt to get argmax of an empty sequence"),
    (best_tempogram_bins, (np.zeros((2049, 0)), 100, 90, 90), ValueError, "attempt to get argmax of an empty sequence"),
    (best_tempogram_bins, (np.zeros((2049, 2)), 100, 4000, 5000), ValueError, "empty sequence"),
    (best_tempogram_bins, (np.zeros((2049, 2)), 0, 60, 200), ZeroDivisionError, "float division by zero"),
    (best_tempogram_bins, ([[0.0]], 100, 60, 200), AttributeError, "'list' object has no attribute 'shape'"),
    (best_tempogram_bins, (np.float64(1.0), 100, 60, 200), IndexError, "tuple index out of range"),
    (best_tempogram_bins, (np.zeros(2049), 100, 60, 200), IndexError, "too many indices"),
    (get_sinusoid_params, (np.ones((9, 2)), 10, [1, 2]), TypeError, "can't multiply sequence"),
    (get_sinusoid_params, (np.ones((9, 2)), "ten", np.array([1])), ValueError, "could not convert string to float"),
    (get_sinusoid_params, (np.ones((9, 2)), None, np.array([1])), TypeError, "float\\(\\) argument"),
    (get_sinusoid_params, (np.ones((9, 2)), 10, np.array([1, 2, 3])), IndexError, "out of bounds"),
    (get_sinusoid_params, (np.ones((9, 2)), 10, np.array([9])), IndexError, "out of bounds"),
    (get_sinusoid_params, (np.ones((9, 2)), 10, np.array([1.0])), IndexError, "only integers"),
], ids=named)
def test_errors_of_the_tempogram_functions(fn, args, exc, message):
    with pytest.raises(exc, match=message):
        fn(*args)


def test_sinusoid_params_single_row_warns():
    with pytest.warns(RuntimeWarning):
        freqs, phases = get_sinusoid_params(np.ones((1, 2)), 10, np.array([0, 0]))
    assert np.isnan(freqs).all() and phases.tolist() == [0.0, 0.0]


# ---- against the transcription -------------------------------------------------

@pytest.mark.parametrize("seed", range(10))
def test_auto_correlate_and_ac_tempogram_match_transcription(seed):
    rng = np.random.default_rng(5000 + seed)
    for _ in range(6):
        n = int(rng.integers(0, 300))
        dtype = REAL_DTYPES[int(rng.integers(len(REAL_DTYPES)))]
        x = (rng.standard_normal(n) * 50).astype(dtype)
        if rng.random() < 0.25:
            x = sprinkle(rng, x)
        if rng.random() < 0.1:
            x = x + 1j * rng.standard_normal(n)
        with np.errstate(all="warn"):
            assert_same_outcome(*pair("auto_correlate"), x)
            win_len = int(rng.integers(1, 80))
            hop = [int(rng.integers(1, 40)), 0, -3, 2.0][int(rng.choice(4, p=[0.85, 0.05, 0.05, 0.05]))]
            assert_same_outcome(*pair("make_ac_tempogram"), x, win_len, hop)


def test_ac_functions_match_transcription_in_odd_layouts():
    x = np.random.default_rng(8).standard_normal(200)
    for variant in layouts(x).values():
        assert_same_outcome(*pair("auto_correlate"), variant)
        assert_same_outcome(*pair("make_ac_tempogram"), variant, 40, 13)
    assert_same_outcome(*pair("make_ac_tempogram"), list(x), 40, 13)
    assert_same_outcome(*pair("auto_correlate"), [])


@pytest.mark.parametrize("seed", range(10))
def test_bin_functions_match_transcription(seed):
    rng = np.random.default_rng(6000 + seed)
    for _ in range(15):
        bpm = float(rng.uniform(-50, 400)) if rng.random() < 0.8 else [np.inf, np.nan, 75, 105][
            int(rng.integers(4))]
        fft_len = [4096, 4094, 512, 1000, 0][int(rng.integers(5))]
        ff = [100, 86.1328125, 64, float(rng.uniform(1, 200)), 0, np.float64(0.0),
              np.float32(43.0)][int(rng.integers(7))]
        with np.errstate(all="warn"):
            assert_same_outcome(*pair("bpm_to_k"), bpm, fft_len, ff)
    for _ in range(6):
        rows, cols = int(rng.choice([2049, 2048, 257, 2, 1])), int(rng.integers(0, 12))
        tg = tempogram(rows, cols, rng)
        if rng.random() < 0.5:
            tg = np.abs(tg).astype(FLOAT_DTYPES[int(rng.integers(2))])
        if rng.random() < 0.3:
            tg = sprinkle(rng, tg)
        if rng.random() < 0.3:
            tg = np.round(tg, 1)  # many ties
        ff = [100, 43.06640625, 10, float(rng.uniform(1, 200)), 0][int(rng.integers(5))]
        lo, hi = tempo_range(rng, -100, 400, 0.2)
        with np.errstate(all="warn"):
            assert_same_outcome(*pair("best_tempogram_bins"), tg, ff, lo, hi)
            bins = rng.integers(0, rows + (rng.random() < 0.1), size=max(0, cols - int(rng.integers(0, 2))))
            fs = [100, 22050.0, "44.5", np.float32(7), 0][int(rng.integers(5))]
            assert_same_outcome(*pair("get_sinusoid_params"), tg, fs, bins)


def test_bin_functions_match_transcription_in_odd_layouts():
    rng = np.random.default_rng(11)
    tg = tempogram(257, 6, rng)
    for variant in (np.asfortranarray(tg), tg[:, ::-1], np.abs(tg)[:, ::2],
                    np.abs(tg).astype(">f8"), tg.astype(np.complex64)):
        assert_same_outcome(*pair("best_tempogram_bins"), variant, 10, 60, 300)
        assert_same_outcome(*pair("get_sinusoid_params"), variant, 10, np.arange(variant.shape[1]))
    for variant in layouts(rng.integers(0, 257, 6)).values():
        assert_same_outcome(*pair("get_sinusoid_params"), tg, 10, variant)


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
def test_long_inputs_match_transcription(dtype):
    rng = np.random.default_rng(17)
    x = (rng.standard_normal(3000) * 20).astype(dtype)
    assert_same_outcome(*pair("auto_correlate"), x)
    assert_same_outcome(*pair("make_ac_tempogram"), x, 256, 16)
    assert_same_outcome(*pair("make_ac_tempogram"), x, 500, 333)
    tg = tempogram(2049, 400, rng)
    tg[rng.integers(0, 2049, 30), rng.integers(0, 400, 30)] = np.nan
    assert_same_outcome(*pair("best_tempogram_bins"), tg, 86.1328125, 30, 300)
    bins = rng.integers(0, 2049, 400)
    assert_same_outcome(*pair("get_sinusoid_params"), tg, 86.1328125, bins)
    assert_same_outcome(*pair("get_sinusoid_params"), tg.astype(np.complex64), 86.1328125, bins)
    assert_same_outcome(*pair("get_sinusoid_params"), np.abs(tg), 86.1328125, bins.astype(np.int32))
