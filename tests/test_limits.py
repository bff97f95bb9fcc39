"""Huge and hostile sizes.

A window, hop, zero-padding factor, position or output length that would
need more memory than any machine has must end in MemoryError or NumPy's
ValueError -- never an abort, a wrapped-around size or a read outside an
array.  Sizes right at the limits of the native paths' guards must give
exactly what the step-by-step path gives.
"""

import contextlib

import numpy as np
import pytest

import korvel.pulsix as P
import korvel.sonix as S
from _oracle import assert_paths_agree, korvel_function, reference_only

X = np.random.default_rng(3).random(64)
# 2**40 samples that take no memory: every element is the same one.
VAST = np.broadcast_to(np.float64(0.5), (2 ** 40,))

TOO_BIG = [
    ("stft-win-2**40", S.stft, (X, 2 ** 40, 1)),
    ("stft-win-2**62", S.stft, (X, 2 ** 62, 1)),
    ("stft-win-2**70", S.stft, (X, 2 ** 70, 1)),
    ("stft-zp-2**40", S.stft, (X, 16, 4, 2 ** 40)),
    ("stft-zp-2**60-window", S.stft, (X, 16, 4, 2 ** 60, np.hanning(16))),
    ("stft_mag-zp-2**59", S.stft_mag, (X, 16, 4, 2 ** 59)),
    ("stft-vast-signal", S.stft, (VAST, 16, 2 ** 30)),
    ("stft_mag-vast-signal", S.stft_mag, (VAST, 16, 2 ** 30)),
    ("spectral_novelty-vast-signal", P.spectral_novelty, (VAST, 16, 2 ** 30, 1.0)),
    ("make_clicks-position-2**40", P.make_clicks, (np.array([0, 2 ** 40]),)),
    ("make_clicks-position-2**62", P.make_clicks, (np.array([0, 2 ** 62]),)),
    ("make_clicks-position-int64-max", P.make_clicks, (np.array([0, 2 ** 63 - 1]),)),
    ("make_clicks-out_len-2**40", P.make_clicks, (np.array([0, 5]), 2 ** 40)),
    ("make_clicks-out_len-2**62", P.make_clicks, (np.array([0, 5]), 2 ** 62)),
    ("make_clicks-vast-frames", P.make_clicks, (np.broadcast_to(np.int64(3), (2 ** 40,)),)),
    ("auto_correlate-vast", P.auto_correlate, (VAST,)),
    ("make_ac_tempogram-win-2**40", P.make_ac_tempogram, (X, 2 ** 40, 1)),
    ("make_ac_tempogram-hop-1e-300", P.make_ac_tempogram, (X, 1, 1e-300)),
    ("make_ac_tempogram-hop-1e-12", P.make_ac_tempogram, (X, 4, 1e-12)),
    ("make_local_pulse-hop-2**40", P.make_local_pulse, (X, 50.0, 60.0, 200.0, 16, 2 ** 40, 1)),
    ("make_local_pulse-hop-2**62", P.make_local_pulse, (X, 50.0, 60.0, 200.0, 16, 2 ** 62, 1)),
    ("make_local_pulse-zp-2**50", P.make_local_pulse, (X, 50.0, 60.0, 200.0, 16, 8, 2 ** 50)),
    ("make_local_pulse-win-2**45", P.make_local_pulse, (X, 50.0, 60.0, 200.0, 2 ** 45, 8, 1)),
    ("estimate_bpm-vast", P.estimate_bpm, (VAST, 100.0, 60.0, 200.0)),
    ("create_dp_beats-vast", P.create_dp_beats, (VAST, 10.0, 1.0)),
]


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
@pytest.mark.parametrize("forced", [False, True], ids=["native", "reference"])
@pytest.mark.parametrize(("fn", "args"), [c[1:] for c in TOO_BIG], ids=[c[0] for c in TOO_BIG])
def test_impossible_sizes_raise_memory_or_value_error(fn, args, forced):
    with reference_only() if forced else contextlib.nullcontext(), pytest.raises((MemoryError, ValueError)):
        fn(*args)


# Sizes at and just past the native paths' limits (2**40 for sizes and
# positions, int64 for everything), and a vast read-only signal read in
# place: same outcome as the step-by-step path, bit for bit.
EDGES = [
    ("stft", (X, 16, 2 ** 40)),
    ("stft", (X, 16, 2 ** 40 + 1)),
    ("stft", (X, 16, 2 ** 63 - 1)),
    ("stft", (X, 16, 2 ** 63)),
    ("stft", (X, 16, 2 ** 64 + 1, 1, None, False)),
    ("stft", (X, 16, -(2 ** 63))),
    ("stft", (VAST, 16, 2 ** 30, 1, None, False)),
    ("stft", (VAST[: 2 ** 33], 64, 2 ** 25, 2, None, False)),
    ("stft_mag", (X, 16, 2 ** 62, 3)),
    ("make_clicks", (np.array([-(2 ** 40), 5]),)),
    ("make_clicks", (np.array([-(2 ** 40) - 1, 5]),)),
    ("make_clicks", (np.array([-(2 ** 63), 5]),)),
    ("make_clicks", (np.array([2 ** 40 - 60, 2 ** 40 - 51]) - 2 ** 40 + 60, 7, np.ones(1))),
    ("make_clicks", (np.array([0.0, 1e300]),)),
    ("make_clicks", (np.array([0, 5]), -(2 ** 63))),
    ("make_ac_tempogram", (X, 8, 2 ** 40)),
    ("make_ac_tempogram", (X, 8, 2 ** 63)),
    ("make_ac_tempogram", (X, 2 ** 63, 1)),
    ("make_local_pulse", (X, 50.0, 60.0, 200.0, 16, 0, 1)),
    ("make_local_pulse", (X, 50.0, 60.0, 200.0, 16, 2 ** 20, 2)),
    ("get_sinusoid_params", (np.ones((5, 3)) * 1j, 10.0, np.array([-(2 ** 63), 0, 1]))),
    ("get_sinusoid_params", (np.ones((5, 3)) * 1j, 10.0, np.array([2 ** 63 - 1, 0, 1]))),
    ("get_sinusoid_params", (np.ones((5, 3)) * 1j, 10.0, np.array([-5, 4, -1]))),
    ("beats_score", (X, np.array([0, 2 ** 62]), 10.0)),
    ("create_dp_beats", (X, 5e-324, 1e308)),
    ("create_dp_beats", (X, 1e308, 1e308)),
    ("create_dp_beats", (X, 2 ** 62, 10)),
    ("bpm_to_k", (1e308, 2 ** 70, 1e-308)),
    ("best_tempogram_bins", (np.ones((9, 4)), 1e-300, 60.0, 2 ** 70)),
]


@pytest.mark.parametrize(("name", "args"), EDGES, ids=[f"{n}-{k}" for k, (n, _) in enumerate(EDGES)])
def test_sizes_at_native_limits_agree_with_reference(name, args):
    assert_paths_agree(korvel_function(name), *args)
