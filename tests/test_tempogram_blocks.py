"""estimate_bpm and make_local_pulse without their tempogram.

Both reduce the tempogram of the novelty curve (row means over the tempo
range; the best bin of each frame and its value), so their native paths
take it a block of frames at a time and never hold the matrix.  Results,
warnings and errors must be the step-by-step path's and the plain NumPy
transcription's, at the block boundaries, for every kind of tempo range,
and for values that make NumPy report something in rows the range leaves
out.
"""

import numpy as np
import pytest

import korvel.framix
import korvel.pulsix as pulsix
from _blocks import all_agree, around, signal_for_frames, traced_peak
from _oracle import assert_paths_agree, reference_only

FF = 86.1328125
# (win_len, hop) of the two tempograms; the FFT is 16 windows long.
ESTIMATE = (256, 32)
PULSE = (256, 64)
# Frames per block: about 1 MB of 4096-sample frames, at most a sixteenth
# of the frames, at least one.
BLOCK = (1 << 20) // (8 * 4096)


def novelty(num_frames, tempogram, seed=0):
    return np.random.default_rng(seed).random(signal_for_frames(num_frames, *tempogram, centered=False))


def agree_warned_and_raising(nov):
    """Both functions' paths agree on ``nov`` whether NumPy warns or raises."""
    for state in ("warn", "raise"):
        with np.errstate(all=state):
            assert_paths_agree(pulsix.estimate_bpm, nov, FF, 60, 200)
            assert_paths_agree(pulsix.make_local_pulse, nov, FF, 60, 200)


@pytest.mark.parametrize("num_frames", [1, 2, 15, 16, 17] + around(BLOCK, (16, 17)))
def test_frame_blocks(num_frames):
    # Under 32 frames every block is a single frame; from 16 * BLOCK frames
    # on, blocks are BLOCK frames and the last is one short, whole or one.
    for fn, tempogram in ((pulsix.estimate_bpm, ESTIMATE), (pulsix.make_local_pulse, PULSE)):
        assert all_agree(fn, novelty(num_frames, tempogram, num_frames), FF, 60, 200)[0] == "ok"


@pytest.mark.parametrize("bpms", [(60, 200), (0, 30), (0.5, 1e6), (1e5, 1e6), (-400, 200), (-400, -50),
                                  (200, 60), (120, 120)])
def test_tempo_ranges(bpms):
    # Inside, from bin 0, past the last bin, starting past it, negative
    # (counted from the end), reversed and empty: the range is a slice of
    # the tempogram's rows whatever it is.
    for fn, tempogram in ((pulsix.estimate_bpm, ESTIMATE), (pulsix.make_local_pulse, PULSE)):
        all_agree(fn, novelty(40, tempogram, 3), FF, *bpms)


@pytest.mark.parametrize("ff", [FF, np.float64(FF), 86, 1e-300, 0, 0.0, -FF, np.inf, np.nan, 1e300])
def test_frame_rates(ff):
    for fn, tempogram in ((pulsix.estimate_bpm, ESTIMATE), (pulsix.make_local_pulse, PULSE)):
        assert_paths_agree(fn, novelty(40, tempogram, 4), ff, 60, 200)


@pytest.mark.parametrize("scale", [1e-310, 1e-300, 1e300, 6e303, 1e305, 1e306])
def test_magnitudes_whose_means_need_a_report(scale):
    # Row sums that overflow, or means that come out subnormal, in rows
    # outside the range: NumPy's mean of all rows reports them.
    agree_warned_and_raising(novelty(600, ESTIMATE, 5) * scale)


@pytest.mark.parametrize("value", [np.nan, np.inf, 1e308])
@pytest.mark.parametrize("where", ["first block", "last block"])
def test_values_needing_a_report(value, where):
    nov = novelty(600, ESTIMATE, 6)
    nov[100 if where == "first block" else -100] = value
    agree_warned_and_raising(nov)


def test_ties_and_flat_frames_pick_the_first_bin():
    # Silence and a pure step: every magnitude of a frame in the range ties.
    for nov in (np.zeros(5000), np.ones(5000), np.r_[np.zeros(2500), np.ones(2500)]):
        all_agree(pulsix.make_local_pulse, nov, FF, 60, 200)
        all_agree(pulsix.estimate_bpm, nov, FF, 60, 200)


@pytest.mark.parametrize("dtype", [np.float32, np.int16, np.int64])
def test_novelty_of_other_dtypes_and_strides(dtype):
    nov = (novelty(300, ESTIMATE, 7) * 1000).astype(dtype)
    for fn in (pulsix.estimate_bpm, pulsix.make_local_pulse):
        all_agree(fn, nov, FF, 60, 200)
        all_agree(fn, np.repeat(nov, 2)[::2], FF, 60, 200)


@pytest.mark.parametrize("tempogram", [(100, 10, 1), (255, 30, 3), (64, 64, 2)])
def test_other_tempogram_shapes(tempogram):
    # Odd FFT lengths imply a one-shorter FFT for the bins; zero-padding off.
    nov = novelty(200, tempogram[:2], 8)
    all_agree(pulsix.make_local_pulse, nov, FF, 60, 200, *tempogram)


def test_replaced_stages_are_called(monkeypatch):
    nov = novelty(300, PULSE, 9)
    calls = []

    def recorded(name):
        genuine = getattr(pulsix, name)

        def stage(*args, **kwargs):
            calls.append(name)
            return genuine(*args, **kwargs)
        return stage

    for name in ("stft", "best_tempogram_bins", "get_sinusoid_params"):
        calls.clear()
        with monkeypatch.context() as m:
            m.setattr(pulsix, name, recorded(name))
            assert_paths_agree(pulsix.make_local_pulse, nov, FF, 60, 200)
            assert calls == [name] * 2
    calls.clear()
    with monkeypatch.context() as m:
        m.setattr(pulsix, "stft", recorded("stft"))
        assert_paths_agree(pulsix.estimate_bpm, nov, FF, 60, 200)
        assert calls == ["stft"] * 2


def test_memory_is_blocks_not_the_tempogram():
    nov = np.random.default_rng(21).random(40000)
    for fn, (win, hop) in ((pulsix.estimate_bpm, ESTIMATE), (pulsix.make_local_pulse, PULSE)):
        tempogram = 2049 * korvel.framix.calc_num_frames(len(nov), win, hop) * 16
        assert traced_peak(fn, nov, FF, 60, 200) < 0.2 * tempogram
        with reference_only():
            assert traced_peak(fn, nov, FF, 60, 200) > tempogram
