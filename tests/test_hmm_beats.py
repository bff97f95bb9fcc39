"""Beat tracking that follows tempo changes: create_hmm_beats."""

import numpy as np
import pytest

from _oracle import assert_bits_equal
from _support import Alarm, alarm_after, check_strictly, needs_numpy2_stubs
from korvel.pulsix import _hmm_beats_upsampled, create_dp_beats, create_hmm_beats, spectral_novelty
from reference.hmm_beats import hmm_beats as plain_viterbi


def _reference(*args):
    # The plain decoder lets huge transition weights overflow to -inf, as
    # the native one does, without NumPy's warnings.
    with np.errstate(all="ignore"):
        return plain_viterbi(*args)


# ---- the same bits as a plain Viterbi decoder --------------------------------

def _random_case(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 160))
    kind = ("uniform", "ties", "spikes", "signed", "constant", "tiny")[seed % 6]
    if kind == "uniform":
        curve = rng.random(n) * 10.0 ** rng.integers(-3, 4)
    elif kind == "ties":  # few distinct values: equal sums everywhere
        curve = rng.integers(0, 3, n).astype(float)
    elif kind == "spikes":  # a pulse with a wandering period and gaps
        curve = np.zeros(n)
        pos = int(rng.integers(0, 6))
        while pos < n:
            curve[pos] = rng.uniform(0.3, 1.0)
            pos += int(rng.integers(3, 12))
        curve[rng.random(n) < 0.2] = 0.0
    elif kind == "signed":  # negative values count as silence
        curve = rng.standard_normal(n)
    elif kind == "constant":
        curve = np.full(n, float(rng.integers(1, 5)))
    else:  # subnormal and huge values: the scaling must not overflow
        curve = rng.random(n) * rng.choice([5e-324, 1e-310, 1e300])
    lo = int(rng.integers(1, 16))
    hi = lo + int(rng.integers(0, 14))
    lam = float(rng.choice([1e-3, 0.5, 5.0, 100.0, 1e4, 1e300]))
    obs = float(rng.choice([1.0 + 2.0 ** -52, 1.5, 4.0, 16.0, 1e3, 1e308]))
    return curve, lo, hi, lam, obs


@pytest.mark.parametrize("seed", range(72))
def test_matches_plain_viterbi_on_random_curves(seed):
    args = _random_case(seed)
    assert_bits_equal(create_hmm_beats(*args), _reference(*args))


@pytest.mark.parametrize("curve, lo, hi, lam, obs", [
    # one period only: every choice of successor is the same period
    (np.random.default_rng(1).random(50), 7, 7, 100.0, 16.0),
    # period 1: a beat on every frame
    (np.random.default_rng(2).random(20), 1, 1, 100.0, 16.0),
    # one frame: the best single state
    (np.array([0.0, 3.0])[1:], 2, 6, 100.0, 16.0),
    # periods longer than the curve
    (np.random.default_rng(3).random(30), 40, 50, 100.0, 16.0),
    # the largest number of periods whose transitions are kept in a table,
    # and the smallest whose transitions are formed as needed
    (np.random.default_rng(4).random(6), 100, 1123, 100.0, 16.0),
    (np.random.default_rng(5).random(6), 100, 1124, 0.01, 2.0),
])
def test_matches_plain_viterbi_at_the_edges(curve, lo, hi, lam, obs):
    assert_bits_equal(create_hmm_beats(curve, lo, hi, lam, obs), _reference(curve, lo, hi, lam, obs))


def test_equal_final_states_go_to_the_first():
    # One frame: every beat start scores the same, the shortest period's first.
    beats, periods = create_hmm_beats([2.0], 5, 9)
    assert beats.tolist() == [0] and periods.tolist() == [5.0]


# ---- the same beats decoded in blocks ------------------------------------------

def _upsampled(curve, up):
    n = len(curve)
    return np.interp(np.arange(up * (n - 1) + 1) / up, np.arange(n), curve)


def _pulse(n, period, seed):
    rng = np.random.default_rng(seed)
    curve = 0.1 * rng.random(n)
    curve[int(rng.integers(0, period))::period] += 1.0
    return curve


# (curve, upsample, min_period, max_period, blocks): the interpolated length
# M = upsample * (n - 1) + 1 is set against each block size, so blocks end
# just before, on and just after beats and the track's end.
BLOCK_CASES = [
    (_pulse(100, 9, 1), 4, 30, 42, [1, 2, 36, 37, 99, 396, 397, 0]),     # M = 397
    (_pulse(64, 11, 2), 3, 28, 38, [1, 27, 63, 94, 95, 189, 190, 0]),    # thirds round
    (_pulse(81, 7, 3), 1, 5, 9, [4, 8, 9, 10, 20, 27, 40, 81, 1000]),
    (np.random.default_rng(4).integers(0, 3, 120).astype(float), 2, 5, 14, [3, 17, 119, 238, 239]),  # ties
    (np.random.default_rng(5).standard_normal(90), 4, 9, 31, [5, 64, 89, 178, 357]),  # silent stretches
    (_pulse(12, 5, 6), 4, 30, 340, [1, 6, 44, 45]),                    # 311 periods: 16-bit backpointers
    (np.array([0.0, 2.0]), 4, 1, 3, [1, 2, 5]),
    (np.array([3.0]), 4, 2, 6, [1, 2]),
]


@pytest.mark.parametrize("curve, up, lo, hi, blocks", BLOCK_CASES)
def test_blocks_give_the_beats_of_the_whole_curve(curve, up, lo, hi, blocks):
    fine = _upsampled(curve, up)
    want = create_hmm_beats(fine, lo, hi, 200.0, 32.0)[0]
    assert_bits_equal(want, _reference(fine, lo, hi, 200.0, 32.0)[0])
    for block in blocks:
        assert_bits_equal(_hmm_beats_upsampled(curve, up, lo, hi, 200.0, 32.0, block), want)


@pytest.mark.parametrize("period", [21.5, 150.0, 200.0, 300.0])  # four, three, two and one value per frame
def test_the_road_tracks_the_whole_interpolated_curve(period):
    from korvel.tempo_curve import (HMM_MAX_PERIOD, HMM_OBS_LAMBDA, HMM_TRANSITION_LAMBDA, HMM_UPSAMPLE,
                                    HMM_WIDTH, _trim_silent_ends, track_hmm)
    curve = _pulse(900, int(period), 7)
    up = max(1, min(HMM_UPSAMPLE, int(HMM_MAX_PERIOD // (period * (1 + HMM_WIDTH)))))
    lo, hi = int(np.floor(period * up * (1 - HMM_WIDTH))), int(np.ceil(period * up * (1 + HMM_WIDTH)))
    beats = create_hmm_beats(_upsampled(curve, up), lo, hi, HMM_TRANSITION_LAMBDA, HMM_OBS_LAMBDA)[0]
    assert_bits_equal(track_hmm(curve, period), _trim_silent_ends((beats + up // 2) // up, curve))


@pytest.mark.parametrize("curve, up", [
    (np.zeros(30), 4),                          # no onset: no beats
    (-np.ones(5), 2),
    (np.array([], dtype=float), 4),
    (np.array([1e308, -1e308, 1e308]), 3),      # the interpolated values overflow
    (np.array([1.0, np.nan]), 2),
])
def test_blocks_agree_on_silence_and_bad_curves(curve, up):
    try:
        want = create_hmm_beats(_upsampled(curve, up) if len(curve) else curve, 2, 6)[0]
    except ValueError:
        with pytest.raises(ValueError, match="curve must be finite"):
            _hmm_beats_upsampled(curve, up, 2, 6, 100.0, 16.0, 3)
    else:
        assert_bits_equal(_hmm_beats_upsampled(curve, up, 2, 6, 100.0, 16.0, 3), want)


CURVE_OF_8 = np.ones(8)


@pytest.mark.parametrize("args, error, match", [
    ((CURVE_OF_8, 0, 2, 6, 100.0, 16.0), ValueError, "upsample must be between 1 and"),
    ((CURVE_OF_8, 65, 2, 6, 100.0, 16.0), ValueError, "upsample must be between 1 and 64, got 65"),
    ((CURVE_OF_8, 2.0, 2, 6, 100.0, 16.0), TypeError, "upsample must be an integer"),
    ((CURVE_OF_8, 2, 2, 6, 100.0, 16.0, -1), ValueError, "block must be an integer of at least 0, got -1"),
    ((CURVE_OF_8, 2, 2, 6, 100.0, 16.0, 2 ** 70), ValueError, "block must be an integer of at least 0"),
    ((CURVE_OF_8, 2, 2, 6, 100.0, 16.0, 1.5), TypeError, "block must be an integer, not float"),
    ((CURVE_OF_8, 2, 6, 2, 100.0, 16.0), ValueError, r"min_period \(6\) must not exceed"),
])
def test_blocks_bad_arguments(args, error, match):
    with pytest.raises(error, match=match):
        _hmm_beats_upsampled(*args)


# ---- following the beat -------------------------------------------------------

FS, HOP = 22050, 512
FF = FS / HOP  # about 43 frames per second
SECONDS = 30.0


def _accelerando():
    """Beat times of a tempo rising linearly from 100 to 120 BPM over SECONDS."""
    # beats elapsed by time t: (100 t + 10 t^2 / SECONDS) / 60
    a, b = 10.0 / SECONDS / 60.0, 100.0 / 60.0
    i = np.arange(int(b * SECONDS + a * SECONDS ** 2) + 1)
    times = (-b + np.sqrt(b * b + 4.0 * a * i)) / (2.0 * a)
    return times[times < SECONDS - 0.1]


def _curve_of(times, rng):
    """An onset curve with a peak at every beat, split between the two
    nearest frames, on a low noise floor; nov[k] is taken at k / FF."""
    curve = 0.05 * rng.random(int(SECONDS * FF))
    pos = times * FF
    k = np.floor(pos).astype(int)
    np.add.at(curve, k, 1.0 - (pos - k))
    inside = k + 1 < len(curve)
    np.add.at(curve, k[inside] + 1, (pos - k)[inside])
    return curve


def _novelty_of(times, rng):
    """spectral_novelty of noise bursts on the beats; its nov[k] belongs to
    frame k + 1, so it is shifted by one frame to be read at k / FF."""
    x = 0.01 * rng.standard_normal(int(SECONDS * FS))
    burst = rng.standard_normal(256) * np.exp(-np.arange(256) / 40.0)
    for t in times:
        s = int(round(t * FS))
        x[s:s + 256] += burst[:len(x) - s]
    nov = spectral_novelty(x, 1024, HOP, 100.0)
    return np.concatenate([[0.0], nov])


def _misses(beats, times, tolerance=0.07):
    """True beats after the first two seconds with no tracked beat within
    `tolerance` seconds."""
    found = np.asarray(beats, dtype=float) / FF
    due = times[(times >= 2.0) & (times <= SECONDS - 0.5)]
    if len(found) == 0:
        return due
    return due[np.min(np.abs(found[None, :] - due[:, None]), axis=1) > tolerance]


@pytest.mark.parametrize("make", [_curve_of, _novelty_of], ids=["curve", "audio"])
def test_follows_an_accelerando(make):
    times = _accelerando()
    curve = make(times, np.random.default_rng(7))
    beats, periods = create_hmm_beats(curve, 13, 43)  # 60..199 BPM at 43 Hz
    assert len(_misses(beats, times)) == 0
    # The decoded tempo rises with the music: about 25.8 frames per beat at
    # the start, 21.5 at the end.
    assert 24.5 <= np.median(periods[2 * int(FF):5 * int(FF)]) <= 27
    assert 20.5 <= np.median(periods[-5 * int(FF):-int(FF)]) <= 22.5
    # One period for the whole track, held firmly enough to keep a steady
    # beat through noise, cannot: it drifts off the true beats.
    fixed, _ = create_dp_beats(curve, 60.0 * FF / 110.0, 100)
    assert len(_misses(fixed, times)) > 5


def test_steady_clicks_are_found_exactly():
    curve = np.zeros(500)
    curve[7::20] = 1.0
    beats, periods = create_hmm_beats(curve, 13, 43)
    assert beats.tolist() == list(range(7, 500, 20))
    assert np.all(periods == 20.0)


# ---- inputs and results -----------------------------------------------------------

CURVE = np.abs(np.sin(np.arange(200) / 3.0)) ** 8


QUIET = np.where(CURVE < 0.01, 0.0, CURVE)


@pytest.mark.parametrize("form, same_as", [
    (CURVE.tolist(), CURVE),
    (CURVE.astype(np.float32), CURVE.astype(np.float32).astype(np.float64)),
    ((CURVE * 100).astype(np.int64), (CURVE * 100).astype(np.int64).astype(np.float64)),
    (np.repeat(CURVE, 2)[::2], CURVE),
    (CURVE.astype(">f8"), CURVE),
    (np.frombuffer(b"\0" + CURVE.tobytes(), dtype=np.float64, count=200, offset=1), CURVE),
    (CURVE * 2.0 ** 40, CURVE),  # scaling by a power of two changes nothing
    (np.where(CURVE < 0.01, -CURVE, CURVE), QUIET),  # negative values are silence
], ids=["list", "float32", "int64", "strided", "byteswapped", "unaligned", "scaled", "signed"])
def test_any_real_sequence_is_taken_as_float64(form, same_as):
    assert_bits_equal(create_hmm_beats(form, 13, 43), create_hmm_beats(same_as, 13, 43))


@pytest.mark.parametrize("curve, n", [
    ([], 0),
    (np.zeros(0, dtype=np.float32), 0),
    (np.zeros(10), 10),
    (-np.ones(4), 4),
])
def test_no_onset_no_beats(curve, n):
    beats, periods = create_hmm_beats(curve, 13, 43)
    assert beats.dtype == np.int64 and beats.shape == (0,)
    assert periods.dtype == np.float64 and periods.shape == (n,)
    assert np.isnan(periods).all()


def test_parameters_accept_numpy_scalars_and_keywords():
    want = create_hmm_beats(CURVE, 13, 43, 100.0, 16.0)
    assert_bits_equal(create_hmm_beats(CURVE, 13, 43), want)
    assert_bits_equal(create_hmm_beats(curve=CURVE, min_period=np.int16(13), max_period=np.int64(43),
                                       transition_lambda=np.float32(100), obs_lambda=16), want)


@pytest.mark.parametrize("args, error, match", [
    # the curve
    (([[1.0, 2.0]], 1, 2), ValueError, "curve must be one-dimensional, not 2-dimensional"),
    ((3.0, 1, 2), ValueError, "curve must be one-dimensional, not 0-dimensional"),
    ((None, 1, 2), ValueError, "one-dimensional"),
    (([1.0, np.nan], 1, 2), ValueError, r"curve must be finite, but frame 1 is nan"),
    (([np.inf, 1.0], 1, 2), ValueError, r"frame 0 is inf"),
    (([1.0, -np.inf], 1, 2), ValueError, r"frame 1 is -inf"),
    ((np.ones(3, dtype=complex), 1, 2), TypeError, "real numbers"),
    (([1 + 2j], 1, 2), TypeError, "complex"),
    ((["a"], 1, 2), ValueError, "could not convert"),
    (({}, 1, 2), TypeError, "dict"),
    # the periods
    ((CURVE, 0, 5), ValueError, "min_period must be between 1 and 65536 frames, got 0"),
    ((CURVE, -3, 5), ValueError, "min_period must be between 1 and 65536 frames, got -3"),
    ((CURVE, 2, 2 ** 16 + 1), ValueError, "max_period must be between 1 and 65536 frames, got 65537"),
    ((CURVE, 2, 2 ** 80), ValueError, "max_period must be between"),
    ((CURVE, 13.0, 43), TypeError, "min_period must be an integer, not float"),
    ((CURVE, 13, "43"), TypeError, "max_period must be an integer, not str"),
    ((CURVE, True, 43), TypeError, "min_period must be an integer, not bool"),
    ((CURVE, 13, np.bool_(True)), TypeError, "max_period must be an integer"),
    ((CURVE, 13, None), TypeError, "max_period must be an integer, not NoneType"),
    ((CURVE, 44, 43), ValueError, r"min_period \(44\) must not exceed max_period \(43\)"),
    ((CURVE, 1, 2 ** 16), ValueError, "states"),
    # the weights
    ((CURVE, 13, 43, 0), ValueError, "transition_lambda must be finite and above 0, got 0"),
    ((CURVE, 13, 43, -1.0), ValueError, "transition_lambda must be finite and above 0"),
    ((CURVE, 13, 43, np.nan), ValueError, "transition_lambda must be finite and above 0, got nan"),
    ((CURVE, 13, 43, np.inf), ValueError, "transition_lambda must be finite"),
    ((CURVE, 13, 43, "1"), TypeError, "transition_lambda must be a real number, not str"),
    ((CURVE, 13, 43, 1j), TypeError, "transition_lambda must be a real number, not complex"),
    ((CURVE, 13, 43, 10 ** 400), OverflowError, "too large"),
    ((CURVE, 13, 43, 100, 1), ValueError, "obs_lambda must be finite and above 1, got 1"),
    ((CURVE, 13, 43, 100, 0.5), ValueError, "obs_lambda must be finite and above 1"),
    ((CURVE, 13, 43, 100, -np.inf), ValueError, "obs_lambda must be finite"),
    ((CURVE, 13, 43, 100, None), TypeError, "obs_lambda must be a real number, not NoneType"),
    ((CURVE, 13, 43, 100, np.complex128(2)), TypeError, "obs_lambda must be a real number"),
    # the parameters before the curve, so a bad period is reported for any curve
    ((np.ones((2, 2)), 0, 5), ValueError, "min_period"),
])
def test_bad_arguments(args, error, match):
    with pytest.raises(error, match=match):
        create_hmm_beats(*args)


@pytest.mark.parametrize("decode", [
    lambda curve: create_hmm_beats(curve, 1000, 1400),
    lambda curve: _hmm_beats_upsampled(curve, 1, 1000, 1400, 100.0, 16.0, 5000),
], ids=["whole", "blocks"])
def test_a_signal_handler_can_end_a_long_call(decode):
    # Decoding runs without the GIL in pieces, checking for signals in
    # between: the handler's exception ends the call, and the next call works.
    with alarm_after(0.2), pytest.raises(Alarm):  # about 3e10 operations: minutes of work
        decode(np.random.default_rng(0).random(50_000))
    assert create_hmm_beats(CURVE, 13, 43)[0].size > 0


USAGE = '''
from typing import assert_type

import numpy as np
import numpy.typing as npt

from korvel.pulsix import create_hmm_beats

beats, periods = create_hmm_beats([0.0, 1.0, 0.0], 13, 43)
assert_type(beats, npt.NDArray[np.int64])
assert_type(periods, npt.NDArray[np.float64])
create_hmm_beats(np.zeros(9, np.float32), np.int64(2), 4, transition_lambda=np.float32(50), obs_lambda=8)
create_hmm_beats([1.0], 13.0, 43)  # type: ignore[arg-type]
create_hmm_beats([1.0], 13, 43, 100.0, 16.0, 0)  # type: ignore[call-arg]
'''


@needs_numpy2_stubs
def test_stub_accepts_usage_and_rejects_a_float_period(tmp_path):
    check_strictly(tmp_path, USAGE)
