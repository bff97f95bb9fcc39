"""Predominant local pulse and average tempo estimation."""

import numpy as np
import pytest

import korvel.pulsix as pulsix
from _oracle import FLOAT_DTYPES, assert_same_outcome, layouts, pair, sprinkle, tempo_range, trials
from _support import named, returning
from korvel.pulsix import estimate_bpm, make_local_pulse


def cosine_curve(bpm, ff, n, phase=0.0):
    """A novelty curve pulsing at `bpm`: a raised cosine sampled at `ff`."""
    return 1 + np.cos(2 * np.pi * bpm / 60 * np.arange(n) / ff + phase)


def impulses(period, n, first=0):
    nov = np.zeros(n)
    nov[first::period] = 1.0
    return nov


# ---- estimate_bpm -------------------------------------------------------------

@pytest.fixture
def fake_tempogram(monkeypatch):
    """Rebind the module's stft so a test chooses the tempogram magnitudes."""
    def install(ave):
        stft = returning(np.repeat(ave[:, None], 3, axis=1).astype(complex) * (1 + 0j))
        monkeypatch.setattr(pulsix, "stft", stft)
        return stft.calls
    return install


@pytest.mark.parametrize("peaks, want_bin", [
    ({40: 9.0, 41: 1.0, 137: 9.0}, 41),
    ({40: 9.0, 136: 1.0, 137: 9.0}, 136),
    ({41: 2.0, 90: 2.0, 136: 2.0}, 41),      # ties: the lowest bin
    ({}, 41),                                # all zero: the first bin of the range
])
def test_estimate_bpm_searches_bins_41_to_136_at_ff_100(fake_tempogram, peaks, want_bin):
    ave = np.zeros(2049)
    for k, v in peaks.items():
        ave[k] = v
    calls = fake_tempogram(ave)
    nov = np.ones(10)
    got = estimate_bpm(nov, 100, 60, 200)
    assert calls == [((nov, 256, 32, 16), {"centered": False})]
    assert type(got) is np.float64
    assert got == 60 * np.int64(want_bin) * (100 / 4096)


@pytest.mark.parametrize("bpm, ff, n, lo, hi, want", [
    (60.05859375, 100, 3000, 60, 200, 60.05859375),   # exactly bin 41
    (58.59375, 100, 3000, 60, 200, 60.05859375),      # bin 40 is outside; its leakage peaks at 41
    (199.21875, 100, 3000, 60, 200, 199.21875),       # bin 136
    (200.68359375, 100, 3000, 60, 200, 199.21875),    # bin 137 is outside
    (75, 64, 4000, 75, 100, 75.0),      # a lower limit exactly on bin 80 includes it
    (75, 64, 4000, 60, 75, 74.0625),    # an upper limit exactly on bin 80 excludes it: bin 79
])
def test_estimate_bpm_range_edges_on_real_curves(bpm, ff, n, lo, hi, want):
    got = estimate_bpm(cosine_curve(bpm, ff, n), ff, lo, hi)
    assert type(got) is np.float64 and got == want


@pytest.mark.parametrize("true_bpm, ff", [(97.0, 100), (128.0, 86.1328125), (143.0, 50)])
def test_estimate_bpm_of_impulse_train_within_one_bin(true_bpm, ff):
    t = np.arange(0, 60, 60 / true_bpm)
    nov = np.zeros(int(60 * ff) + 1)
    nov[np.round(t * ff).astype(int)] = 1.0
    got = estimate_bpm(nov, ff, 70, 180)
    resolution = 60 * ff / 4096
    assert abs(got - true_bpm) <= resolution
    assert (got / resolution) == pytest.approx(round(got / resolution), abs=1e-9)


def test_estimate_bpm_upper_limit_beyond_last_bin():
    # The last bin is 30 * ff BPM; searching past it simply stops there.
    got = estimate_bpm(cosine_curve(290, 10, 2000), 10, 200, 10000)
    assert got == pytest.approx(290, abs=60 * 10 / 4096)


def test_estimate_bpm_without_frames_is_the_first_bin_with_warnings():
    with pytest.warns(RuntimeWarning) as record:
        got = estimate_bpm(np.array([]), 100, 60, 200)
    assert got == 60.05859375
    # NumPy's own words, which end in a full stop before NumPy 2
    assert any(str(w.message).startswith("Mean of empty slice") for w in record)
    with np.errstate(invalid="raise"), pytest.raises(FloatingPointError):
        with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
            estimate_bpm(np.array([]), 100, 60, 200)


@pytest.mark.parametrize("fn, args, exc, message", [
    (estimate_bpm, (np.ones(600), 100, 90, 90), ValueError, "attempt to get argmax of an empty sequence"),
    (estimate_bpm, (np.ones(600), 100, 150, 90), ValueError, "attempt to get argmax of an empty sequence"),
    (estimate_bpm, (np.ones(600), 100, 4000, 5000), ValueError, "empty sequence"),
    (estimate_bpm, (np.ones(600), 0, 60, 200), ZeroDivisionError, "float division by zero"),
    (estimate_bpm, (np.ones(600), 100, np.nan, 200), ValueError, "cannot convert float NaN to integer"),
    (estimate_bpm, (np.ones(600), 100, 60, np.inf), OverflowError, "cannot convert float infinity to integer"),
    (estimate_bpm, (None, 100, 90, 90), TypeError, None),  # the stft's error comes before the limits'
    (make_local_pulse, (np.ones(600), 100, 90, 90), ValueError, "attempt to get argmax of an empty sequence"),
    (make_local_pulse, (np.ones(600), 0, 60, 200), ZeroDivisionError, "float division by zero"),
    (make_local_pulse, (np.ones(600), 100, 60, 200, 256, 0), ValueError, "hop_size must be >= 1"),
], ids=named)
def test_errors_of_the_tempo_and_the_pulse(fn, args, exc, message):
    with pytest.raises(exc, match=message):
        fn(*args)


# ---- make_local_pulse ---------------------------------------------------------

def test_local_pulse_length_and_silent_tail():
    nov = cosine_curve(120, 100, 832)  # 10 tempogram frames of 256 with hop 64
    est = make_local_pulse(nov, 100, 60, 200)
    assert type(est) is np.ndarray and est.dtype == np.float64
    assert est.shape == (10 * 64 + 256,)
    assert not est[832:].any() and est[0] == 0.0 and est.min() >= 0.0
    assert est.max() > 0.5


def test_local_pulse_without_frames_is_a_window_of_zeros():
    est = make_local_pulse(np.array([]), 100, 60, 200)
    assert est.shape == (256,) and not est.any()
    est = make_local_pulse(np.array([]), 100, 60, 200, 100, 10, 2)
    assert est.shape == (100,) and not est.any()


def test_local_pulse_peaks_on_the_impulses():
    # The phase is added, not subtracted: the maxima fall on the onsets.
    nov = impulses(50, 3000, first=17)
    est = make_local_pulse(nov, 100, 60, 200)
    inner = np.arange(300, 2600)
    peaks = inner[(est[inner] > est[inner - 1]) & (est[inner] >= est[inner + 1]) & (est[inner] > 0.2)]
    assert len(peaks) >= 40
    offsets = (peaks - 17 + 25) % 50 - 25
    assert np.abs(offsets).max() <= 2


def test_local_pulse_without_overlap_is_one_rectified_cosine_per_frame():
    nov = np.random.default_rng(4).random(1000)
    est = make_local_pulse(nov, 100, 60, 200, 128, 128, 8)
    tg = pulsix.stft(nov, 128, 128, 8, centered=False)
    bins = pulsix.best_tempogram_bins(tg, 100, 60, 200)
    freqs, phases = pulsix.get_sinusoid_params(tg, 100, bins)
    n = np.arange(128)
    for m in range(tg.shape[1]):
        want = np.hanning(128) * np.cos(2 * np.pi * freqs[m] * n / 100 + phases[m])
        assert est[m * 128:(m + 1) * 128].tolist() == np.maximum(want, 0).tolist()
    assert not est[-128:].any()


def test_local_pulse_integer_and_float_rates_agree():
    nov = np.random.default_rng(5).random(700)
    a = make_local_pulse(nov, 100, 60, 200)
    b = make_local_pulse(nov, 100.0, 60, 200)
    assert a.tobytes() == b.tobytes()


# ---- against the transcription -------------------------------------------------

def _curve(rng, n):
    kind = rng.integers(4)
    if kind == 0:
        nov = rng.random(n)
    elif kind == 1:
        nov = cosine_curve(rng.uniform(50, 220), 100, n, rng.uniform(0, 6))
    elif kind == 2:
        nov = impulses(int(rng.integers(20, 80)), n, int(rng.integers(0, 20)))
    else:
        nov = sprinkle(rng, rng.random(n))
    return nov.astype(FLOAT_DTYPES[int(rng.integers(2))])


def _length(rng, win, hop):
    # Around the boundaries where the frame count changes.
    return max(0, win + hop * int(rng.integers(0, 30)) + int(rng.integers(-2, 3)))


@pytest.mark.parametrize("seed", range(15))
def test_estimate_bpm_matches_transcription(seed):
    for rng, ours, theirs in trials("estimate_bpm", 7000 + seed, 6):
        nov = _curve(rng, _length(rng, 256, 32))
        ff = [100, 86.1328125, 43, np.float64(50.0), np.float32(100), float(rng.uniform(5, 200))][
            int(rng.integers(6))]
        lo, hi = tempo_range(rng, -20, 400, 0.15)
        with np.errstate(all="warn"):
            assert_same_outcome(ours, theirs, nov, ff, lo, hi)


@pytest.mark.parametrize("seed", range(15))
def test_local_pulse_matches_transcription(seed):
    for rng, ours, theirs in trials("make_local_pulse", 8000 + seed, 4):
        win, hop, zp = [(256, 64, 16), (128, 32, 8), (255, 50, 3), (64, 64, 1), (100, 7, 5)][
            int(rng.integers(5))]
        nov = _curve(rng, _length(rng, win, hop))
        ff = [100, 86.1328125, 43, float(rng.uniform(20, 200))][int(rng.integers(4))]
        lo, hi = sorted(rng.uniform(20, 300, 2))
        args = [nov, ff, lo, hi]
        if (win, hop, zp) != (256, 64, 16) or rng.random() < 0.5:
            args += [win, hop, zp]
        with np.errstate(all="warn"):
            assert_same_outcome(ours, theirs, *args)


@pytest.mark.parametrize("errstate", ["ignore", "warn"])
def test_local_pulse_overlapping_nans_of_both_signs(errstate):
    nov = np.random.default_rng(0).random(600)
    nov[100] = np.inf  # its frames get NaN phases of one sign ...
    nov[300] = np.nan  # ... overlapping frames with NaN phases of the other
    with np.errstate(all=errstate):
        assert_same_outcome(*pair("make_local_pulse"), nov, 100, 60, 200)


def test_pulse_and_tempo_match_transcription_in_odd_layouts_and_errors():
    nov = np.random.default_rng(12).random(700)
    for variant in layouts(nov).values():
        assert_same_outcome(*pair("estimate_bpm"), variant, 100, 60, 200)
        assert_same_outcome(*pair("make_local_pulse"), variant, 100, 60, 200)
    assert_same_outcome(*pair("estimate_bpm"), list(nov), 100, 60, 200)
    for args in [(np.array([]), 100, 60, 200), (nov, 100, 90, 90), (nov, 0, 60, 200),
                 (nov, np.float64(0), 60, 200), (nov, 100, np.nan, 200), (nov.reshape(7, -1), 100, 60, 200)]:
        for errstate in ["warn", "raise", "ignore"]:
            with np.errstate(all=errstate):
                assert_same_outcome(*pair("estimate_bpm"), *args)
                assert_same_outcome(*pair("make_local_pulse"), *args)


@pytest.mark.parametrize("length, params", [
    (64 * 70 + 256, ()),                # more frames than fit in one synthesis block
    (7 * 300 + 64, (64, 7, 1)),
    (5 * 400 + 100, (100, 5, 2)),
    (3 * 200 + 255, (255, 3, 1)),
])
@pytest.mark.parametrize("errstate", ["warn", "raise"])
def test_long_curves_match_transcription(length, params, errstate):
    rng = np.random.default_rng(length)
    nov = rng.random(length) ** 2
    with np.errstate(all=errstate):
        assert_same_outcome(*pair("make_local_pulse"), nov, 86.1328125, 60, 200, *params)
        assert_same_outcome(*pair("estimate_bpm"), nov, 86.1328125, 60, 200)


@pytest.mark.parametrize("errstate", ["warn", "raise", "ignore"])
def test_local_pulse_non_finite_curves_follow_errstate(errstate):
    base_nov = np.random.default_rng(31).random(1500)
    for pos, value in [(40, np.nan), (700, np.inf), (1400, -np.inf)]:
        nov = base_nov.copy()
        nov[pos] = value
        with np.errstate(all=errstate):
            assert_same_outcome(*pair("make_local_pulse"), nov, 100, 60, 200)
            assert_same_outcome(*pair("make_local_pulse"), nov, 100, 60, 200, 128, 16, 4)
