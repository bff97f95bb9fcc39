"""Beat score and dynamic-programming beat tracking."""

import math

import numpy as np
import pytest

from _oracle import FLOAT_DTYPES, assert_same_outcome, layouts, pair, sprinkle, trials
from _support import named
from korvel.pulsix import beats_score, create_dp_beats

NOV = np.array([1, 0, 0, 1, 0, 0, 1], dtype=float)


# ---- beats_score ------------------------------------------------------------

@pytest.mark.parametrize("beats, lmbda, want", [
    ([0, 3, 6], 1, 3.0),
    ([0, 3, 6], None, 3.0),          # default weight 10; intervals equal the period
    ([0, 2, 6], None, -3.144372),    # novelty 2, intervals 2 and 4
    ([0, 2, 6], 1, 1.485562),
    ([3], None, 1.0),                # single beat: no interval, penalty 0.0
    ([1], None, 0.0),
])
def test_beats_score_examples(beats, lmbda, want):
    args = (NOV, np.array(beats), 3) + (() if lmbda is None else (lmbda,))
    got = beats_score(*args)
    assert type(got) is np.float64
    assert got == pytest.approx(want, abs=1e-6)


def test_beats_score_penalty_is_symmetric_in_log_ratio():
    # Half and double the period cost the same: one lmbda each.
    nov = np.zeros(20)
    assert beats_score(nov, np.array([0, 4]), 8, 1) == -1.0
    assert beats_score(nov, np.array([0, 16]), 8, 1) == -1.0
    assert beats_score(nov, np.array([0, 2]), 8, 1) == -4.0


@pytest.mark.parametrize("period", [3, 3.0, np.float32(3), "3"])
def test_beats_score_period_goes_through_float(period):
    assert beats_score(NOV, np.array([0, 2, 6]), period) == beats_score(NOV, np.array([0, 2, 6]), 3.0)


def test_beats_score_equals_best_total_of_dp_beats():
    rng = np.random.default_rng(5)
    nov = rng.random(120) ** 4
    for period, lmbda in [(7, 1), (10.5, 10), (4, 100)]:
        beats, D = create_dp_beats(nov, period, lmbda)
        assert beats_score(nov, beats, period, lmbda) == pytest.approx(np.max(D), rel=1e-12)


@pytest.mark.parametrize("beats, lmbda, want, warning", [
    ([0, 3, 3, 6], 10, -np.inf, "divide by zero encountered in log2"),
    ([0, 3, 3, 6], 0, np.nan, "divide by zero encountered in log2"),
    ([6, 3, 0], 10, np.nan, "invalid value encountered in log2"),
])
def test_beats_score_degenerate_intervals_warn(beats, lmbda, want, warning):
    with pytest.warns(RuntimeWarning) as record:
        got = beats_score(NOV, np.array(beats), 3, lmbda)
    assert warning in [str(w.message) for w in record]
    np.testing.assert_equal(got, want)
    with np.errstate(all="raise"), pytest.raises(FloatingPointError, match=warning):
        beats_score(NOV, np.array(beats), 3, lmbda)
    with np.errstate(all="ignore"):
        np.testing.assert_equal(beats_score(NOV, np.array(beats), 3, lmbda), want)


def test_beats_score_zero_period_gives_minus_infinity():
    with pytest.warns(RuntimeWarning, match="divide by zero encountered in divide"):
        assert beats_score(NOV, np.array([0, 3, 6]), 0) == -np.inf


@pytest.mark.parametrize("fn, args, exc, message", [
    # The empty float array that create_dp_beats returns when it finds no beat.
    (beats_score, (NOV, np.array([]), 3), IndexError, "arrays used as indices must be of integer"),
    (beats_score, (NOV, np.array([0.0, 3.0]), 3), IndexError, "arrays used as indices must be of integer"),
    (beats_score, (NOV, [0, 3, 6], 3), TypeError, "unsupported operand type(s) for -: 'list' and 'list'"),
    (beats_score, (NOV, np.array([0, 3]), "x"), ValueError, "could not convert string to float: 'x'"),
    (beats_score, (NOV, np.array([0, 3]), None), TypeError, "float() argument must be a string or a real number"),
    (beats_score, (NOV, np.array([0, 9]), 3), IndexError, "index 9 is out of bounds"),
    (create_dp_beats, (np.array([]), 3, 1), IndexError, "index 1 is out of bounds for axis 0 with size 1"),
], ids=named)
def test_errors_of_the_beat_functions(fn, args, exc, message):
    with pytest.raises(exc) as info:
        fn(*args)
    assert message in str(info.value)


def test_beats_score_unsliceable_beats():
    # An integer index passes the gather and then fails at the slicing.
    with pytest.raises(TypeError) as info:
        beats_score(NOV, 3, 3)
    assert str(info.value) == "'int' object is unsliceable"


# ---- create_dp_beats ----------------------------------------------------------

def test_dp_beats_example_lmbda_1():
    beats, D = create_dp_beats(NOV, 3, 1)
    assert beats.tolist() == [0, 3, 6]
    assert beats.dtype == np.dtype(int) and D.dtype == np.float64
    # D[n] = nov[n] + best predecessor total plus penalty of the interval:
    # penalty -0.342181 for 2 frames, -0.172256 for 4, 0 for 3.
    np.testing.assert_allclose(
        D, [0, 1, 0, 0.6578188, 2, 0.8277439, 1.6578188, 3], atol=5e-7)
    assert D[0] == 0.0 and D[1] == 1.0 and D[4] == 2.0 and D[7] == 3.0
    # The exact penalty values: D[3] = 1 + penalty[2], D[5] = 1 + penalty[4].
    assert D[3] == 1 - math.log2(2 / 3) ** 2
    assert D[5] == 1 - math.log2(4 / 3) ** 2


@pytest.mark.parametrize("nov, period, lmbda, want_beats, want_D", [
    # Every frame whose best predecessor total is not positive starts afresh.
    (NOV, 3, 10, [0, 3, 6], [0, 1, 0, 0, 2, 0, 0, 3]),
    ([1, 0, 0, 1, 0, 0, 1], 3, 10, [0, 3, 6], [0, 1, 0, 0, 2, 0, 0, 3]),  # a list
    # Without penalty, frames 0 and 1 tie as predecessors of frame 2; the
    # earlier one wins, so frame 1 is skipped.
    (np.array([2.0, 0.0, 2.0, 1.0]), 1, 0, [0, 2, 3], [0, 2, 2, 4, 5]),
    # The predecessor total 1e-20 is positive but does not change 1.0 in
    # float64, so frame 1 counts as a start and frame 0 is not a beat.
    (np.array([1e-20, 1.0]), 1, 1, [1], [0, 1e-20, 1.0]),
], ids=["lmbda-10", "list", "equal-candidates-take-the-earliest", "negligible-predecessor-starts-anew"])
def test_dp_beats_examples(nov, period, lmbda, want_beats, want_D):
    beats, D = create_dp_beats(nov, period, lmbda)
    assert beats.tolist() == want_beats and D.tolist() == want_D


@pytest.mark.parametrize("value, want_beats", [(0.5, [0]), (0.0, []), (-1.0, [])])
def test_dp_beats_single_frame(value, want_beats):
    beats, D = create_dp_beats(np.array([value]), 3, 1)
    assert beats.tolist() == want_beats
    assert beats.dtype == (np.dtype(int) if want_beats else np.float64)
    assert D.tolist() == [0.0, value]


@pytest.mark.parametrize("length", [1, 2, 7, 40])
def test_dp_beats_all_zero_curve_has_no_beats(length):
    beats, D = create_dp_beats(np.zeros(length), 4, 10)
    assert type(beats) is np.ndarray and beats.dtype == np.float64 and beats.shape == (0,)
    assert D.shape == (length + 1,) and not D.any()


def test_dp_beats_equal_totals_end_at_the_earliest():
    # A huge weight makes every predecessor useless; frames 0 and 8 tie.
    nov = np.zeros(9)
    nov[0] = nov[8] = 1.0
    beats, D = create_dp_beats(nov, 100, 1e6)
    assert beats.tolist() == [0]
    assert D[1] == D[9] == 1.0


def test_dp_beats_follows_the_period():
    nov = np.zeros(60)
    nov[5::9] = 1.0
    nov[7::9] = 0.6  # a competing, weaker grid at the same period
    beats, _ = create_dp_beats(nov, 9, 10)
    assert beats.tolist() == list(range(5, 60, 9))


def test_dp_beats_last_beat_is_best_total_not_last_frame():
    nov = np.array([1.0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0])
    beats, D = create_dp_beats(nov, 3, 10)
    assert beats[-1] == 6 and np.argmax(D) == 7


@pytest.mark.parametrize("period", [0, -2.5])
def test_dp_beats_bad_period_warns_and_runs(period):
    with pytest.warns(RuntimeWarning):
        beats, D = create_dp_beats(NOV, period, 1)
    assert D.shape == (8,)
    with np.errstate(all="raise"), pytest.raises(FloatingPointError):
        create_dp_beats(NOV, period, 1)


# ---- against the transcription -------------------------------------------------

def _curves(rng):
    """Curves with plateaus, ties, zeros, negatives and non-finite values."""
    for _ in range(6):
        n = int(rng.integers(1, 160))
        dtype = FLOAT_DTYPES[int(rng.integers(2))]
        kind = rng.integers(6)
        if kind == 0:
            nov = rng.random(n)
        elif kind == 1:  # few distinct values: many exact ties
            nov = rng.integers(0, 3, n).astype(float)
        elif kind == 2:  # spikes on a grid with plateaus
            nov = np.zeros(n)
            nov[int(rng.integers(0, 5))::int(rng.integers(2, 12))] = 1.0
        elif kind == 3:
            nov = rng.standard_normal(n)
        elif kind == 4:
            nov = sprinkle(rng, rng.random(n))
        else:
            nov = rng.integers(-2, 5, n)
            yield nov
            continue
        yield nov.astype(dtype)


@pytest.mark.parametrize("seed", range(20))
def test_dp_beats_matches_transcription(seed):
    rng = np.random.default_rng(1000 + seed)
    ours, theirs = pair("create_dp_beats")
    periods = [3, 7.25, float(rng.uniform(1, 40)), 0, -3, 1e-300, np.float32(5)]
    lmbdas = [0, 1, 10, 1e-12, 1e12, 2.5, -1]
    with np.errstate(all="warn"):
        for nov in _curves(rng):
            period = periods[int(rng.integers(len(periods)))]
            lmbda = lmbdas[int(rng.integers(len(lmbdas)))]
            assert_same_outcome(ours, theirs, nov, period, lmbda)


def test_dp_beats_matches_transcription_in_odd_layouts():
    rng = np.random.default_rng(77)
    ours, theirs = pair("create_dp_beats")
    nov = rng.integers(0, 3, 50).astype(float)
    for name, variant in layouts(nov).items():
        assert_same_outcome(ours, theirs, variant, 6, 10)
    assert_same_outcome(ours, theirs, list(nov), 6, 10)
    assert_same_outcome(ours, theirs, np.array([]), 6, 10)


@pytest.mark.parametrize("seed", range(8))
def test_beats_score_matches_transcription(seed):
    for rng, ours, theirs in trials("beats_score", 2000 + seed, 10):
        n = int(rng.integers(1, 200))
        nov = rng.random(n).astype(FLOAT_DTYPES[int(rng.integers(2))])
        if rng.random() < 0.3:
            nov = sprinkle(rng, nov)
        k = int(rng.integers(0, 12))
        beats = np.sort(rng.integers(0, n, k))  # may repeat: zero intervals
        if rng.random() < 0.2:
            beats = beats[::-1]
        period = [3, 2.5, 0, -4, float(rng.uniform(1, 30)), "7", np.float32(3)][int(rng.integers(7))]
        args = [nov, beats, period]
        if rng.random() < 0.7:
            args.append([10, 0, 1.5, -1, np.float32(2), 1e300][int(rng.integers(6))])
        with np.errstate(all="warn"):
            assert_same_outcome(ours, theirs, *args)


@pytest.mark.parametrize("errstate", ["raise", "ignore", "warn"])
def test_beats_score_and_dp_beats_follow_errstate_like_transcription(errstate):
    for name, args in [("beats_score", (NOV, np.array([0, 3, 3, 6]), 3, 0)),
                       ("beats_score", (NOV, np.array([6, 0]), 0)),
                       ("create_dp_beats", (NOV, 0, 1)),
                       ("create_dp_beats", (NOV, -3, 0))]:
        with np.errstate(all=errstate):
            assert_same_outcome(*pair(name), *args)


def _dp_case(name, n=400, seed=0):
    rng = np.random.default_rng(seed)
    nov = rng.random(n) ** 3
    if name == "huge":          # totals overflow to inf
        nov[::5] = 1e308
    elif name == "infinities":
        nov[50], nov[200] = np.inf, -np.inf
    elif name == "early nan":   # a NaN far behind every later frame
        nov[3] = np.nan
    elif name == "late nan":
        nov[n - 20] = np.nan
    elif name == "negative":
        nov -= 0.5
    elif name == "integers":    # plateaus and exact ties everywhere
        nov = rng.integers(0, 3, n).astype(float)
    elif name == "grid":
        nov = np.zeros(n)
        nov[7::11] = 1.0
        nov[9::11] = 0.99
    elif name == "subnormal":
        with np.errstate(under="ignore"):
            nov = nov * 1e-310
    return nov


@pytest.mark.parametrize("case", ["random", "huge", "infinities", "early nan", "late nan", "negative",
                                  "integers", "grid", "subnormal"])
@pytest.mark.parametrize("period, lmbda", [
    (11, 10), (11, 0), (11, -1), (2.5, 100), (1e-3, 1), (399, 1), (5000, 1), (11, 1e-300), (11, 1e300),
])
def test_dp_beats_long_curves_match_transcription(case, period, lmbda):
    # Long enough that the search over predecessors far behind a frame
    # matters: the periods leave most of them well outside a few periods.
    with np.errstate(all="warn"):
        assert_same_outcome(*pair("create_dp_beats"), _dp_case(case), period, lmbda)


@pytest.mark.parametrize("errstate", ["raise", "ignore"])
@pytest.mark.parametrize("case", ["huge", "subnormal", "early nan"])
def test_dp_beats_long_curves_follow_errstate(errstate, case):
    with np.errstate(all=errstate):
        assert_same_outcome(*pair("create_dp_beats"), _dp_case(case, 200), 7, 10)


def test_long_beat_sequences_score_like_transcription():
    rng = np.random.default_rng(41)
    nov = rng.random(5000)
    beats = np.sort(rng.choice(5000, 900, replace=False))
    for args in [(nov, beats, 5.5), (nov, beats, 5.5, 0.1), (nov.astype(np.float32), beats, 5),
                 (nov, beats.astype(np.int32), 5), (nov, np.sort(rng.integers(0, 5000, 900)), 5)]:
        with np.errstate(all="warn"):
            assert_same_outcome(*pair("beats_score"), *args)
