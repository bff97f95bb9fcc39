"""The comparison every differential test relies on must see every
difference a caller could observe -- a lenient oracle passes broken code."""

import warnings

import numpy as np
import pytest

import korvel.framix
import korvel.pulsix as pulsix
import korvel.sonix as sonix
from _oracle import (NAN_BITS_ARE_NUMPYS_CHOICE, assert_bits_equal, assert_paths_agree,
                     assert_same_outcome, base, korvel_function, pair, reference_only, trials)
from reference import transcription

NAN2 = np.frombuffer(np.uint64(0x7FF8000000000001).tobytes(), dtype=np.float64)[0]


def _masked(mask):
    return np.ma.masked_array([1.0, 2.0], mask=mask)


DIFFERENT = {
    "signed-zero-float": (0.0, -0.0),
    "signed-zero-scalar": (np.float64(0.0), np.float64(-0.0)),
    "signed-zero-array": (np.zeros(3), np.array([0.0, -0.0, 0.0])),
    "signed-zero-imaginary": (complex(1, 0.0), complex(1, -0.0)),
    "nan-payload": (np.array([np.nan]), np.array([NAN2])),
    "dtype": (np.zeros(3), np.zeros(3, dtype=np.float32)),
    "scalar-dtype": (np.float64(1), np.float32(1)),
    "scalar-vs-float": (np.float64(1.0), 1.0),
    "shape": (np.zeros((2, 3)), np.zeros((3, 2))),
    "strides": (np.zeros((3, 2)), np.asfortranarray(np.zeros((3, 2)))),
    "subclass": (np.zeros(2).view(np.ma.MaskedArray), np.zeros(2)),
    "mask": (_masked([0, 1]), _masked([1, 0])),
    "tuple-vs-list": ((1, 2), [1, 2]),
    "length": ((np.zeros(1),), (np.zeros(1), np.zeros(1))),
    "nested": ((np.zeros(1), 0.0), (np.zeros(1), -0.0)),
    "object-elements": (np.array([1.0, None], dtype=object), np.array([-0.0, None], dtype=object)),
    "bool-vs-int": (True, 1),
}


@pytest.mark.parametrize("got,want", DIFFERENT.values(), ids=DIFFERENT.keys())
def test_every_observable_difference_fails(got, want):
    if NAN_BITS_ARE_NUMPYS_CHOICE and got is DIFFERENT["nan-payload"][0]:
        pytest.skip("this NumPy's own float add picks NaN bits by alignment")
    with pytest.raises(AssertionError):
        assert_bits_equal(got, want)
    with pytest.raises(AssertionError):
        assert_bits_equal(want, got)


def test_nan_bits_count_unless_numpy_itself_varies_them():
    # NumPy 2 adds NaNs alike at any alignment: there every NaN bit counts.
    if np.lib.NumpyVersion(np.__version__) >= "2.0.0":
        assert not NAN_BITS_ARE_NUMPYS_CHOICE
    # NaN against a number, or a NaN where the other has none, always fails.
    for got, want in [(np.array([np.nan, 1.0]), np.array([np.nan, 2.0])),
                      (np.array([np.nan]), np.array([1.0])),
                      (np.array([complex(np.nan, 1)]), np.array([complex(np.nan, 2)])),
                      (np.float64(np.nan), np.float64(0.0))]:
        with pytest.raises(AssertionError):
            assert_bits_equal(got, want)


@pytest.mark.parametrize("value", [
    np.array([np.nan, -0.0, np.inf]), np.array([NAN2]), -0.0, complex(0, -0.0), np.float32(-0.0),
    (np.arange(3)[::2], [1, "a"]), np.array([0.5, None], dtype=object), _masked([0, 1]), None,
], ids=lambda v: type(v).__name__)
def test_equal_copies_pass(value):
    copy = value.copy() if isinstance(value, np.ndarray) else value
    assert_bits_equal(copy, value)


def test_same_outcome_sees_messages_warnings_and_modified_arguments():
    def raises(msg):
        def fn(x):
            raise ValueError(msg)
        return fn

    with pytest.raises(AssertionError):
        assert_same_outcome(raises("a"), raises("b"), 1)

    def warns(x):
        warnings.warn("careful", RuntimeWarning)
        return x

    with pytest.raises(AssertionError, match="warnings"):
        assert_same_outcome(warns, lambda x: x, 1)

    def scribbles(x):
        x[0] = 9.0
        return 0

    with pytest.raises(AssertionError, match="modified"):
        assert_same_outcome(scribbles, lambda x: 0, np.zeros(2))
    got = assert_same_outcome(lambda x: -x, lambda x: -x, np.zeros(2))
    assert got[0][0] == "ok" and np.signbit(got[0][1]).all()


def test_reference_only_swaps_numpy_out_and_back_even_on_error():
    with pytest.raises(KeyError):
        with reference_only():
            assert sonix.np is not np and pulsix.np is not np
            assert sonix.np.zeros is np.zeros  # still numpy's functions
            raise KeyError
    assert sonix.np is np and pulsix.np is np


def test_paths_agree_runs_both_paths():
    seen = []

    def fn(x):
        seen.append(sonix.np is np)
        return x * 2

    assert_paths_agree(fn, np.ones(2))
    assert seen == [True, False]

    def differs(x):
        return np.float64(1.0 if sonix.np is np else -1.0)

    with pytest.raises(AssertionError, match="step-by-step"):
        assert_paths_agree(differs, 0)


def test_oracle_functions():
    assert korvel_function("stft") is sonix.stft
    assert korvel_function("spectral_novelty") is pulsix.spectral_novelty
    assert pair("stft_mag") == (sonix.stft_mag, base.stft_mag)
    # The oracle validates frame counts like korvel; the shared transcription
    # keeps its own counter for the benchmarks.
    assert base.calc_num_frames is korvel.framix.calc_num_frames
    assert transcription.calc_num_frames is not korvel.framix.calc_num_frames
    assert base is not transcription


def test_trials_draw_from_one_stream():
    # Re-seeding per trial would repeat one case `count` times.
    drawn = [(rng.random(), ours, theirs) for rng, ours, theirs in trials("beats_score", 11, 4)]
    assert [d[0] for d in drawn] == np.random.default_rng(11).random(4).tolist()
    assert all(d[1:] == pair("beats_score") for d in drawn)
