"""Block-by-block native loops at their block boundaries.

The STFT, the novelty curve and the tempo estimate work through their
frames (or bins) a block at a time.  Each size below puts the last block
just short of, exactly at, or one past a block boundary -- a one-frame
block included -- and the result must equal the step-by-step path's and
the plain NumPy transcription's bit for bit.
"""

import numpy as np
import pytest

import korvel.framix
import korvel.pulsix as pulsix
import korvel.sonix as sonix
from _blocks import all_agree, around, signal_for_frames, traced_peak
from _oracle import assert_bits_equal, assert_paths_agree, reference_only
from _support import Recorder

# Block sizes of the native loops, as the sizes below rely on them: frames of
# about 1 MB per STFT block but at most a sixteenth of the frames; frames
# of about 256 KB per novelty block, at least 8; about 32768 magnitudes per
# row block of the tempogram.
STFT_BLOCK_BYTES = 1 << 20
NOVELTY_BLOCK_BYTES = 256 << 10
TEMPOGRAM_BLOCK_VALUES = 32768


# ---- stft: blocks of frames, transposed in strips of bins ------------------

# win 64, hop 1: 2048-frame blocks once there are 16 * 2048 frames
CACHE_BLOCK = STFT_BLOCK_BYTES // (8 * 64)


@pytest.mark.parametrize("num_frames", around(CACHE_BLOCK, (16, 17)) + [16 * 7 - 1, 16 * 7, 16 * 7 + 1, 15, 16, 17])
def test_stft_frame_blocks(num_frames):
    rng = np.random.default_rng(num_frames)
    x = rng.standard_normal(signal_for_frames(num_frames, 64, 1))
    spec = all_agree(sonix.stft, x, 64, 1)[1]
    assert spec.shape == (33, num_frames)


# Bins per transposed strip: two cache lines of complex (8) or of float (16)
# values; window lengths give bin counts around those strips.
@pytest.mark.parametrize("win_len", [12, 14, 16, 28, 30, 32, 34, 62, 64])
@pytest.mark.parametrize("zp", [1, 2])
def test_stft_bin_strips(win_len, zp):
    rng = np.random.default_rng(win_len * zp)
    for num_frames in (1, 2, 33):
        x = rng.standard_normal(signal_for_frames(num_frames, win_len, 3))
        assert_paths_agree(sonix.stft, x, win_len, 3, zp)
        assert_paths_agree(sonix.stft_mag, x, win_len, 3, zp)


# Each output row gets a run of the block's frames; the whole cache lines of
# the run are streamed, the partial ones at either end stored normally.
# Blocks of 5 to 12 frames against rows of every alignment (odd frame
# counts shift each row's start), bin counts around the 8-row groups.
@pytest.mark.parametrize("win_len", [14, 16, 18])
def test_stft_rows_streamed_in_whole_lines(win_len):
    for num_frames in list(range(16 * 5, 16 * 5 + 9)) + [16 * 8 + 3, 16 * 12, 16 * 12 + 7]:
        x = np.random.default_rng(num_frames).standard_normal(signal_for_frames(num_frames, win_len, 2))
        assert_paths_agree(sonix.stft, x, win_len, 2)
        assert_paths_agree(sonix.stft_mag, x, win_len, 2)
        assert_paths_agree(sonix.stft, x, win_len, 2, 1, None, False)


@pytest.mark.parametrize("dtype", [np.float32, np.int16, np.int64])
def test_stft_blocks_of_other_signal_dtypes_and_strides(dtype):
    rng = np.random.default_rng(7)
    n = signal_for_frames(16 * 9 + 1, 32, 2)
    x = (rng.standard_normal(2 * n) * 1000).astype(dtype)[::2]
    assert_paths_agree(sonix.stft, x, 32, 2)
    assert_paths_agree(sonix.stft, x, 32, 2, 1, None, False)


def test_stft_non_finite_values_in_a_later_block():
    # A NaN window weight meeting a NaN sample is left to NumPy: the whole
    # call must come out as the step-by-step one, though early blocks were fine.
    rng = np.random.default_rng(11)
    x = rng.standard_normal(signal_for_frames(16 * 40, 16, 4))
    x[-50] = np.nan
    window = np.hanning(16)
    window[3] = np.nan
    assert_paths_agree(sonix.stft, x, 16, 4, 1, window)
    assert_paths_agree(sonix.stft, x, 16, 4, 2, window, False)


def test_tempogram_stft_short_novelty():
    # Few frames: one-frame blocks throughout.
    rng = np.random.default_rng(3)
    for n in (256, 288, 300, 760, 1000):
        nov = rng.random(n)
        assert_paths_agree(sonix.stft, nov, 256, 32, 16, None, False)


# ---- spectral_novelty: frames in blocks, flux carried across them ----------

NOVELTY_BLOCK = NOVELTY_BLOCK_BYTES // (8 * 1024)  # 32 frames of 1024


@pytest.mark.parametrize("num_frames", [3, 4] + around(NOVELTY_BLOCK, (1, 2, 3)))
def test_novelty_frame_blocks(num_frames):
    rng = np.random.default_rng(100 + num_frames)
    x = rng.standard_normal(signal_for_frames(num_frames, 1024, 256))
    result = all_agree(pulsix.spectral_novelty, x, 1024, 256, 100)
    # Under 10 frames the smoothing window is longer than the curve: an error.
    assert result[0] == ("ok" if num_frames >= 10 else "raised")
    assert num_frames < 10 or result[1].shape == (num_frames - 1,)


@pytest.mark.parametrize("fft_len, hop", [(2, 1), (5, 2), (64, 16), (65536, 30000)])
def test_novelty_block_sizes_at_the_extremes(fft_len, hop):
    # Tiny frames make blocks of thousands of frames; huge ones the minimum of 8.
    rng = np.random.default_rng(fft_len)
    block = min(max(NOVELTY_BLOCK_BYTES // (8 * fft_len), 8), 4096)
    for num_frames in (block - 1, block, block + 1):
        if num_frames < 3 or num_frames * hop > 400000:
            continue
        x = rng.standard_normal(signal_for_frames(num_frames, fft_len, hop))
        assert_paths_agree(pulsix.spectral_novelty, x, fft_len, hop, 10)


@pytest.mark.parametrize("where", ["first", "boundary", "last"])
@pytest.mark.parametrize("value", [np.nan, np.inf, 1e200])
def test_novelty_values_needing_a_report_in_any_block(where, value):
    # Whichever block meets the value, the call declines as a whole.
    rng = np.random.default_rng(5)
    x = rng.standard_normal(signal_for_frames(3 * NOVELTY_BLOCK + 1, 1024, 256))
    at = {"first": 10, "boundary": NOVELTY_BLOCK * 256, "last": len(x) - 3}[where]
    x[at] = value
    assert_paths_agree(pulsix.spectral_novelty, x, 1024, 256, 100)
    with np.errstate(all="raise"):
        assert_paths_agree(pulsix.spectral_novelty, x, 1024, 256, 100)


@pytest.mark.parametrize("gamma", [0, -1, 1e300, 2.5, np.float64(7), np.float32(7), True])
def test_novelty_blocks_with_any_gamma(gamma):
    rng = np.random.default_rng(9)
    x = rng.standard_normal(signal_for_frames(NOVELTY_BLOCK + 1, 1024, 256))
    assert_paths_agree(pulsix.spectral_novelty, x, 1024, 256, gamma)


def test_novelty_follows_a_replaced_stft_mag(monkeypatch):
    # The blocks stand for stft_mag's result; a replaced one is called instead.
    x = np.random.default_rng(1).standard_normal(20000)
    plain = pulsix.spectral_novelty(x, 1024, 256, 100)
    doubled = Recorder(sonix.stft_mag, lambda mag: 2.0 * mag)
    monkeypatch.setattr(pulsix, "stft_mag", doubled)
    (_, got), _ = assert_paths_agree(pulsix.spectral_novelty, x, 1024, 256, 100)
    assert [(args[1:], kwargs) for args, kwargs in doubled.calls] == [((1024, 256), {})] * 2
    assert got.tobytes() != plain.tobytes()


def test_novelty_follows_sonix_namespace(monkeypatch):
    # stft_mag's own path depends on sonix's namespace; a change there counts.
    x = np.random.default_rng(2).standard_normal(30000)
    want = pulsix.spectral_novelty(x, 512, 128, 10)
    counting_rfft = Recorder(np.fft.rfft)
    seen = counting_rfft.calls

    class Fft:
        rfft = staticmethod(counting_rfft)

    class Np:
        def __getattr__(self, name):
            return Fft if name == "fft" else getattr(np, name)

    monkeypatch.setattr(sonix, "np", Np())
    got = pulsix.spectral_novelty(x, 512, 128, 10)
    assert seen, "sonix's numpy stand-in was bypassed"
    assert_bits_equal(got, want)


# ---- estimate_bpm: tempogram magnitudes in row blocks ------------------------

# A range counted from the end (a negative tempo) is left to the whole
# tempogram, whose magnitudes are then taken in row blocks.
FROM_THE_END = (-20, 1e6)


@pytest.mark.parametrize("hops", [1, 2, 15, 16, 17, 31, 32, 33, 100])
def test_tempo_row_blocks(hops):
    # 2049 bins in blocks of 32768 // hops rows: 16 hops leave a one-row block.
    rng = np.random.default_rng(hops)
    nov = rng.random(signal_for_frames(hops, 256, 32, centered=False))
    rows = min(TEMPOGRAM_BLOCK_VALUES // hops, 2049)
    assert hops != 16 or 2049 % rows == 1
    all_agree(pulsix.estimate_bpm, nov, 86.1328125, *FROM_THE_END)


@pytest.mark.parametrize("value", [np.nan, np.inf, 1e308])
def test_tempo_row_blocks_declining(value):
    nov = np.random.default_rng(4).random(2000)
    nov[1234] = value
    assert_paths_agree(pulsix.estimate_bpm, nov, 86.1328125, *FROM_THE_END)
    with np.errstate(all="raise"):
        assert_paths_agree(pulsix.estimate_bpm, nov, 86.1328125, *FROM_THE_END)


# ---- best_tempogram_bins: magnitudes in row blocks, the slice kept ----------

@pytest.mark.parametrize("cols", [1, 15, 16, 17, 100])
@pytest.mark.parametrize("bpms", [(60, 200), (0.5, 1e6), (-400, -50), (-400, 200), (200, 60), (3000, 4000)])
def test_tempogram_bins_slice_across_row_blocks(cols, bpms):
    # 2049 rows in blocks of 32768 // cols; the bpm pairs give slices inside,
    # covering, negative (counted from the end), reversed and past the end.
    tg = np.random.default_rng(cols).standard_normal((2049, cols, 2)) @ np.array([1, 1j])
    all_agree(pulsix.best_tempogram_bins, tg, 86.1328125, *bpms)


@pytest.mark.parametrize("row", [10, 1000, 2048])
@pytest.mark.parametrize("value", [1e308 + 1e308j, complex(np.nan, 1), complex(np.inf, 0)])
def test_tempogram_bins_reports_from_rows_outside_the_slice(row, value):
    # abs overflowing in a row the slice leaves out still warns, as NumPy's
    # abs of the whole tempogram does.
    tg = np.random.default_rng(row).standard_normal((2049, 40, 2)) @ np.array([1, 1j])
    tg[row, 7] = value
    assert_paths_agree(pulsix.best_tempogram_bins, tg, 86.1328125, 60, 200)


# ---- beats_score ------------------------------------------------------------

BEATS_CASES = {
    "plain": (np.arange(10, dtype=np.int64) * 43 + 20, 43),
    "negative index": (np.array([-5, 3, 50], dtype=np.int64), 20.0),
    "out of range": (np.array([3, 900], dtype=np.int64), 20.0),
    "repeated beat": (np.array([3, 3, 50], dtype=np.int64), 20.0),
    "descending": (np.array([50, 10], dtype=np.int64), 20.0),
    "zero period": (np.array([3, 50], dtype=np.int64), 0),
    "negative period": (np.array([3, 50], dtype=np.int64), -4.0),
    "nan period": (np.array([3, 50], dtype=np.int64), np.nan),
    "huge period": (np.array([3, 50], dtype=np.int64), 1e308),
    "tiny period": (np.array([3, 50], dtype=np.int64), 1e-320),
    "int period": (np.array([3, 50, 91], dtype=np.int64), 2 ** 60),
    "one beat": (np.array([7], dtype=np.int64), 20.0),
    "no beats": (np.array([], dtype=np.int64), 20.0),
    "int32 beats": (np.array([3, 50], dtype=np.int32), 20.0),
    "strided beats": (np.arange(0, 800, 37, dtype=np.int64)[::2], 74.0),
    "extreme beats": (np.array([-(2 ** 63), 2 ** 63 - 1], dtype=np.int64), 20.0),
}


@pytest.mark.parametrize("case", sorted(BEATS_CASES))
@pytest.mark.parametrize("lmbda", [10, 0.5, np.float32(2)])
def test_beats_score_cases(case, lmbda):
    beats, period = BEATS_CASES[case]
    nov = np.random.default_rng(6).uniform(0.0, 1.0, 900)
    all_agree(pulsix.beats_score, nov, beats, period, lmbda)


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 1e308, -1e308])
def test_beats_score_novelty_values_needing_a_report(value):
    nov = np.random.default_rng(8).uniform(0.0, 1.0, 300)
    beats = np.arange(5, dtype=np.int64) * 40 + 1
    nov[beats[2]] = value
    nov[beats[3]] = abs(value) if value == value else value
    assert_paths_agree(pulsix.beats_score, nov, beats, 40.0, 10)
    with np.errstate(all="raise"):
        assert_paths_agree(pulsix.beats_score, nov, beats, 40.0, 10)


def test_beats_score_strided_novelty_and_many_beats():
    rng = np.random.default_rng(12)
    nov = rng.standard_normal(20000)[::3]
    beats = np.sort(rng.integers(-len(nov), len(nov), 500)).astype(np.int64)
    assert_paths_agree(pulsix.beats_score, nov, beats, 13.5, 10)


# ---- memory: no matrix of the whole signal beyond the result -----------------

def test_novelty_memory_is_a_block_not_the_spectrogram():
    x = np.random.default_rng(20).standard_normal(600000)
    magnitudes = 513 * korvel.framix.calc_num_frames(512 + len(x), 1024, 256) * 8
    assert traced_peak(pulsix.spectral_novelty, x, 1024, 256, 100) < magnitudes / 4
    with reference_only():
        assert traced_peak(pulsix.spectral_novelty, x, 1024, 256, 100) > magnitudes


def test_tempo_memory_is_the_tempogram_and_a_block():
    nov = np.random.default_rng(21).random(40000)
    tempogram = 2049 * korvel.framix.calc_num_frames(len(nov), 256, 32) * 16
    assert traced_peak(pulsix.estimate_bpm, nov, 86.1328125, *FROM_THE_END) < 1.25 * tempogram
    with reference_only():
        assert traced_peak(pulsix.estimate_bpm, nov, 86.1328125, *FROM_THE_END) > 1.4 * tempogram
