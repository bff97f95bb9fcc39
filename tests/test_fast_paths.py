"""Native fast paths against the step-by-step path, bit for bit.

Binding a stand-in for numpy as a module's `np` makes every guard fail, so
the same call then runs the step-by-step path.  Both runs must agree on
everything a caller can observe: result types, dtypes, shapes, strides and
bytes (NaN positions and signed zeros included), or exception type and
message, and the warnings issued -- also under np.errstate(all="raise").
"""

import numpy as np
import pytest

import korvel.pulsix as pulsix
import korvel.sonix as sonix
from _oracle import assert_paths_agree


@pytest.fixture
def agree():
    """agree(fn, *args): the fast and the step-by-step outcome are identical."""

    def check(fn, *args, errstate=None):
        with np.errstate(**(errstate or {})):
            return assert_paths_agree(fn, *args)[0]

    return check


def sprinkle(rng, x, values=(np.nan, np.inf, -np.inf)):
    if x.size:
        x[rng.integers(0, x.size, 3)] = rng.choice(values, 3)
    return x


RAISE = {"all": "raise"}


# ---- spectral module ----------------------------------------------------

SIGNAL_DTYPES = [np.float64, np.float32, np.int16, np.int32, np.int64]


@pytest.mark.parametrize("seed", range(40))
def test_stft_random(agree, seed):
    rng = np.random.default_rng(seed)
    win = int(rng.integers(1, 200))
    hop = int(rng.integers(1, 120))
    zp = int(rng.integers(1, 5))
    # lengths at and around frame boundaries
    length = int(rng.choice([0, 1, win - 1, win, win + 1, win + hop, 3 * hop + win, rng.integers(0, 2000)]))
    dtype = SIGNAL_DTYPES[seed % len(SIGNAL_DTYPES)]
    x = (rng.standard_normal(max(length, 0) * 2) * 300).astype(dtype)
    x = x[::2] if seed % 3 == 0 else x[: max(length, 0)]
    window = None if seed % 4 else rng.standard_normal(int(rng.integers(1, 150)))
    centered = bool(seed % 2)
    agree(sonix.stft, x, win, hop, zp, window, centered)
    agree(sonix.stft_mag, x, win, hop, zp)


@pytest.mark.parametrize("seed", range(12))
def test_stft_non_finite(agree, seed):
    rng = np.random.default_rng(100 + seed)
    x = sprinkle(rng, rng.standard_normal(int(rng.integers(1, 900))))
    window = rng.standard_normal(64)
    if seed % 2:
        window[5] = np.inf  # zero padding times inf: invalid value
    agree(sonix.stft, x, 64, 16, 1 + seed % 3, window, True)
    agree(sonix.stft, x, 64, 16, 1 + seed % 3, window, True, errstate=RAISE)
    agree(sonix.stft_mag, x * 1e300, 32, 8, 2, errstate=RAISE)


def test_stft_read_only_and_reversed_views(agree):
    x = np.random.default_rng(3).standard_normal(1000)
    x.flags.writeable = False
    agree(sonix.stft, x, 128, 32)
    agree(sonix.stft, x[::-1], 128, 32, 2, None, False)
    agree(sonix.stft, x[::3], 100, 7, 3, np.hanning(50), False)


# ---- rhythm module ------------------------------------------------------

def novelty_like(rng, n):
    nov = rng.random(n) ** 4
    nov[:: max(1, int(rng.integers(20, 60)))] += 1.0
    return nov


def seeded_novelty(seed, longest):
    """A generator seeded with `seed`, and a novelty-like curve of fewer than
    `longest` values drawn from it first."""
    rng = np.random.default_rng(seed)
    return rng, novelty_like(rng, int(rng.integers(0, longest)))


@pytest.mark.parametrize("seed", range(16))
def test_spectral_novelty(agree, seed):
    rng = np.random.default_rng(200 + seed)
    x = rng.standard_normal(int(rng.integers(0, 6000))) * rng.choice([1.0, 1e-3, 1e160])
    if seed % 4 == 0:
        sprinkle(rng, x)
    gamma = [100, 1, 0, -1, -0.5, 1e300, 7.5, np.float64(3)][seed % 8]
    fft_len = int(rng.integers(2, 600))
    hop = int(rng.integers(1, 300))
    agree(pulsix.spectral_novelty, x, fft_len, hop, gamma)
    if seed % 4 == 0:
        agree(pulsix.spectral_novelty, x, fft_len, hop, gamma, errstate=RAISE)


@pytest.mark.parametrize("seed", range(12))
def test_tempo_and_local_pulse(agree, seed):
    rng, nov = seeded_novelty(300 + seed, 3000)
    if seed % 3 == 0:
        sprinkle(rng, nov)
    ff = [86.1328125, 100, 50.0, np.float64(43.06640625), 0, 0.0][seed % 6]
    agree(pulsix.estimate_bpm, nov, ff, 60, 200)
    win, hop, zp = int(rng.integers(1, 300)), int(rng.integers(1, 100)), int(rng.integers(1, 5))
    agree(pulsix.make_local_pulse, nov, ff, 60, 200, win, hop, zp)
    agree(pulsix.make_local_pulse, nov, ff, 60, 200)
    if seed % 3 == 0:
        agree(pulsix.make_local_pulse, nov, ff, 60, 200, errstate=RAISE)


def dp_curve(rng, kind, n):
    if kind == "plateau":
        return np.repeat(rng.integers(0, 3, max(1, n // 7)).astype(float), 7)[:n]
    if kind == "ties":
        return rng.integers(0, 2, n).astype(float)
    if kind == "negative":
        return rng.standard_normal(n)
    if kind == "nan":
        return sprinkle(rng, rng.random(n), (np.nan,))
    if kind == "inf":
        return sprinkle(rng, rng.random(n), (np.inf, -np.inf))
    if kind == "huge":
        return rng.random(n) * 1e308
    if kind == "zeros":
        return np.zeros(n)
    return novelty_like(rng, n)


DP_KINDS = ["plateau", "ties", "negative", "nan", "inf", "huge", "zeros", "novelty"]
DP_PERIODS = [3, 7.5, 43, 0, -2, 1, 0.5, 1e-300, np.nan, np.inf, np.float64(12.0)]
DP_WEIGHTS = [10, 1, 0, 1e-12, 1e12, -1, np.inf, 0.3]


@pytest.mark.parametrize("kind", DP_KINDS)
def test_dp_beats_adversarial(agree, kind):
    rng = np.random.default_rng(DP_KINDS.index(kind))
    for trial in range(14):
        n = int(rng.choice([0, 1, 2, 3, 10, rng.integers(4, 400)]))
        nov = dp_curve(rng, kind, n)
        period = DP_PERIODS[trial % len(DP_PERIODS)]
        lmbda = DP_WEIGHTS[(trial * 3 + len(kind)) % len(DP_WEIGHTS)]
        agree(pulsix.create_dp_beats, nov, period, lmbda)
    agree(pulsix.create_dp_beats, dp_curve(rng, kind, 300), 20, 10, errstate=RAISE)


def test_dp_beats_long_curve_prunes_exactly(agree):
    # Long enough that most frames are decided by the near window alone.
    rng = np.random.default_rng(11)
    nov = novelty_like(rng, 3000)
    for period, lmbda in [(43.1, 10), (21.5, 1), (60, 0.01), (43.1, 1e-9)]:
        agree(pulsix.create_dp_beats, nov, period, lmbda)


@pytest.mark.parametrize("seed", range(10))
def test_sinusoid_params_gather(agree, seed):
    rng = np.random.default_rng(400 + seed)
    rows, cols = int(rng.integers(1, 40)), int(rng.integers(0, 40))
    spec = rng.standard_normal((rows, cols)) + 1j * rng.standard_normal((rows, cols))
    if seed % 3 == 1:
        spec = spec.real.copy()
    if seed % 3 == 2:
        spec = np.asfortranarray(spec)[:, ::-1]
    bins = rng.integers(-rows - 1, rows + 1, int(rng.integers(0, cols + 2)))
    if seed % 2:
        bins = np.clip(bins, -rows, rows - 1)[: cols]
    agree(pulsix.get_sinusoid_params, spec, 100, bins)
    agree(pulsix.get_sinusoid_params, spec, 100, bins[::-1])


@pytest.mark.parametrize("seed", range(10))
def test_make_clicks(agree, seed):
    rng = np.random.default_rng(500 + seed)
    frames = np.sort(rng.integers(-5, 400, int(rng.integers(1, 30))))
    frames = frames.astype([np.int64, np.float64, np.int32][seed % 3])
    click = [None, rng.random(3), rng.random(1), np.zeros(0), rng.random(60) * 1e308][seed % 5]
    for out_len in [0, None, 120, 1000]:
        agree(pulsix.make_clicks, frames, out_len, click)
    agree(pulsix.make_clicks, frames, 0, click, errstate=RAISE)


@pytest.mark.parametrize("seed", range(6))
def test_ac_tempogram(agree, seed):
    rng, x = seeded_novelty(600 + seed, 1500)
    win, hop = int(rng.integers(1, 200)), int(rng.integers(1, 60))
    agree(pulsix.make_ac_tempogram, x, win, hop)
    agree(pulsix.make_ac_tempogram, x[::2], win, hop)
