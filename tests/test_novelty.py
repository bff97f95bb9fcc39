"""Spectral novelty: log-compressed rectified spectral flux, adaptively thresholded."""

import numpy as np
import pytest

import korvel.pulsix as pulsix
import korvel.sonix as sonix
from korvel.framix import calc_num_frames
from _oracle import REAL_DTYPES, assert_same_outcome, base, layouts, pair, sprinkle, trials
from korvel.pulsix import spectral_novelty


def num_frames(n, fft_len, hop):
    # Centred frames: half a window of zeros goes in front of the signal.
    return calc_num_frames(n + fft_len // 2, fft_len, hop)


def length_for_frames(frames, fft_len, hop):
    """The shortest signal length whose spectrogram has `frames` frames."""
    if frames == 1:
        return 1
    n = fft_len - fft_len // 2 + (frames - 2) * hop + 1
    assert num_frames(n, fft_len, hop) == frames and num_frames(n - 1, fft_len, hop) < frames
    assert sonix.stft_mag(np.zeros(n), fft_len, hop).shape[1] == frames
    return n


def flux_magnitudes(flux):
    """Magnitudes whose rectified log-power flux is exactly `flux` (0s and 1s), gamma 1.

    Two bins hold magnitude 3 (power 9, log10(1 + 9) == 1) by turns while the
    other is silent; a step where they swap adds exactly 1 in the bin that
    lights up, and the falling bin is rectified away.
    """
    frames = len(flux) + 1
    mag = np.zeros((2, frames))
    lit = 0
    mag[lit, 0] = 3.0
    for k, v in enumerate(flux):
        mag[:, k + 1] = mag[:, k]
        if v:
            mag[lit, k + 1] = 0.0
            lit = 1 - lit
            mag[lit, k + 1] = 3.0
    return mag


@pytest.fixture
def fake_spectrogram(monkeypatch):
    """Rebind the module's stft_mag so a test chooses the flux directly."""
    def install(flux):
        mag = flux_magnitudes(flux)
        calls = []

        def stft_mag(*args, **kwargs):
            calls.append((args, kwargs))
            return mag.copy()
        monkeypatch.setattr(pulsix, "stft_mag", stft_mag)
        monkeypatch.setattr(base, "stft_mag", stft_mag)
        return calls
    return install


def test_constant_flux_thresholds(fake_spectrogram):
    calls = fake_spectrogram([1] * 12)
    got = spectral_novelty("signal", 512, 128, 1)
    # Three positional arguments, zp_factor left at its default.
    assert calls == [(("signal", 512, 128), {})]
    # The local average counts missing neighbours as 0: thresholds at the
    # ends are 0.6375, 0.8552 and 0.9827 of the value, 1.02 elsewhere.
    ratios = 1.02 * np.cumsum(np.hanning(9) / 4)[4:7]
    np.testing.assert_allclose(ratios, [0.6375, 0.8552, 0.9827], atol=1e-4)
    edge = (1 - ratios) / (1 - ratios[0])
    want = np.concatenate([edge, np.zeros(6), edge[::-1]])
    np.testing.assert_allclose(got, want, atol=1e-7)
    assert got[0] == got[-1] == 1.0
    assert got[1] == pytest.approx(0.3996, abs=1e-4) and got[2] == pytest.approx(0.0478, abs=1e-4)
    assert not got[3:9].any()
    assert_same_outcome(spectral_novelty, base.spectral_novelty, "signal", 512, 128, 1)


def test_isolated_onset_survives_threshold(fake_spectrogram):
    flux = [0] * 21
    flux[10] = 1
    fake_spectrogram(flux)
    got = spectral_novelty(None, 512, 128, 1)
    want = np.zeros(21)
    want[10] = 1.0  # 1 - 0.255 of itself, then scaled to the maximum
    assert got.tolist() == want.tolist()


@pytest.mark.parametrize("frames", [10, 11, 37])
def test_length_range_and_peak(frames):
    rng = np.random.default_rng(frames)
    n = length_for_frames(frames, 256, 64)
    x = rng.standard_normal(n) * np.repeat(rng.random(n // 50 + 1), 50)[:n]
    got = spectral_novelty(x, 256, 64, 100)
    assert type(got) is np.ndarray and got.dtype == np.float64
    assert got.shape == (frames - 1,)
    assert got.min() >= 0.0 and got.max() == 1.0


def test_onsets_are_where_the_clicks_are():
    fs, hop = 8000, 80
    x = np.random.default_rng(0).standard_normal(fs * 2) * 1e-3
    starts = np.arange(2000, 15000, 2500)
    for s in starts:
        x[s:s + 400] += np.random.default_rng(int(s)).standard_normal(400) * np.exp(-np.arange(400) / 80)
    nov = spectral_novelty(x, 256, hop, 100)
    peaks = np.flatnonzero(nov > 0.3)
    # Entry k is the change from frame k to frame k + 1 (frame j centred at j * hop).
    near = [np.min(np.abs((peaks + 1) * hop - s)) for s in starts]
    assert max(near) <= 2 * hop


@pytest.mark.parametrize("x, gamma", [
    (np.zeros(3000), 1000),             # all frames equal
    ("random", 0),                      # no compression leaves log10(1) == 0
])
def test_no_flux_gives_nan_with_warning(x, gamma):
    if isinstance(x, str):
        x = np.random.default_rng(3).standard_normal(3000)
    with pytest.warns(RuntimeWarning, match="invalid value encountered in divide"):
        got = spectral_novelty(x, 256, 64, gamma)
    assert got.shape == (num_frames(3000, 256, 64) - 1,) and np.isnan(got).all()
    with np.errstate(invalid="raise"), pytest.raises(FloatingPointError, match="invalid value"):
        spectral_novelty(x, 256, 64, gamma)
    with np.errstate(all="ignore"):
        assert np.isnan(spectral_novelty(x, 256, 64, gamma)).all()


@pytest.mark.parametrize("frames", range(1, 10))
def test_short_curves_cannot_be_thresholded(frames):
    # 1 to 8 values against a 9-value local average; a single frame, an empty curve.
    x = np.random.default_rng(frames).standard_normal(length_for_frames(frames, 128, 32))
    with pytest.raises(ValueError, match="cannot be empty" if frames == 1 else "broadcast"):
        spectral_novelty(x, 128, 32, 10)


# ---- against the transcription -------------------------------------------------

@pytest.mark.parametrize("seed", range(20))
def test_matches_transcription(seed):
    for rng, ours, theirs in trials("spectral_novelty", 3000 + seed, 4):
        fft_len, hop = [(256, 64), (128, 128), (512, 100), (64, 17), (255, 31)][int(rng.integers(5))]
        frames = int(rng.integers(1, 40))
        n = max(1, length_for_frames(frames, fft_len, hop) + int(rng.integers(-2, 3)))
        dtype = REAL_DTYPES[int(rng.integers(len(REAL_DTYPES)))]
        x = rng.standard_normal(n) * 100
        x = x.astype(dtype) if np.dtype(dtype).kind == "f" else np.abs(x).astype(dtype)
        if rng.random() < 0.25:
            x = sprinkle(rng, x)
        gamma = [1, 10, 100.0, 1e6, 0, -0.5, np.float32(3)][int(rng.integers(7))]
        with np.errstate(all="warn"):
            assert_same_outcome(ours, theirs, x, fft_len, hop, gamma)


def test_matches_transcription_in_odd_layouts_and_errors():
    ours, theirs = pair("spectral_novelty")
    x = np.random.default_rng(9).standard_normal(4000)
    for variant in layouts(x).values():
        assert_same_outcome(ours, theirs, variant, 256, 64, 100)
    for args in [(x, 256, 0, 1), (x, 0, 64, 1), (x, 256.0, 64, 1), (x[:5], 256, 64, 1),
                 (list(x[:2000]), 256, 64, 1), (x, 256, 64, "g"), (x.reshape(2, -1), 256, 64, 1)]:
        assert_same_outcome(ours, theirs, *args)
    for errstate in ["raise", "ignore"]:
        with np.errstate(all=errstate):
            assert_same_outcome(ours, theirs, np.zeros(3000), 256, 64, 1)
            assert_same_outcome(ours, theirs, x, 256, 64, -1)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("fft_len, hop", [(1024, 512), (2048, 441), (512, 128)])
def test_long_audio_matches_transcription(dtype, fft_len, hop):
    rng = np.random.default_rng(fft_len + hop)
    x = (rng.standard_normal(5 * 22050) * np.repeat(rng.random(5 * 20 + 1), 1103)[:5 * 22050]).astype(dtype)
    for gamma in (100, 1):
        assert_same_outcome(*pair("spectral_novelty"), x, fft_len, hop, gamma)
