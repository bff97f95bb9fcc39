"""Numbers of korvel.sonix: freq_to_pitch, stft and stft_mag.

Results are compared bit for bit with the plain NumPy transcription in
tests/reference/, including dtypes, warnings and exceptions.
"""

import warnings

import numpy as np
import pytest

import korvel.sonix as s
from _oracle import assert_bits_equal, assert_same_outcome, base
from _support import Sized, returning, run_threads

# ---------------------------------------------------------------- freq_to_pitch


@pytest.mark.parametrize("f,want", [
    (440.0, 69.0), (440, 69.0), (880, 81.0), (220.0, 57.0), (27.5, 21.0), (3520, 105.0),
])
def test_pitch_of_known_frequencies(f, want):
    got = s.freq_to_pitch(f)
    assert got == want
    assert type(got) is np.float64 and isinstance(got, float)


def test_pitch_of_array_keeps_shape():
    f = np.array([[440.0, 880.0], [220.0, 27.5]])
    got = s.freq_to_pitch(f)
    assert got.shape == (2, 2) and got.dtype == np.float64
    assert got.tolist() == [[69.0, 81.0], [57.0, 21.0]]


def _pitch_inputs():
    rng = np.random.default_rng(20240611)
    yield "py-int", 1000
    yield "py-float", 261.6255653005986
    yield "py-bool", True
    yield "np-float32", np.float32(123.4)
    yield "np-float16", np.float16(50.0)
    yield "np-int16", np.int16(-7)
    yield "np-uint8", np.uint8(200)
    yield "np-longdouble", np.longdouble(440.0)
    yield "0-d", np.array(330.0)
    yield "empty", np.array([])
    yield "empty-2d", np.zeros((0, 3), dtype=np.float32)
    yield "complex", np.array([440.0 + 1j, -1j])
    yield "bool-array", np.array([True, False])
    yield "special", np.array([0.0, -0.0, -440.0, np.inf, -np.inf, np.nan, 1e-320, 1e308])
    for dtype in (np.float64, np.float32, np.float16, np.int16, np.int64, np.uint8):
        for trial in range(3):
            values = rng.uniform(-50, 20000, size=rng.integers(1, 40))
            yield f"{np.dtype(dtype).name}-{trial}", values.astype(dtype)
    yield "strided", rng.uniform(1, 5000, size=(6, 8))[::2, ::-3]
    yield "fortran", np.asfortranarray(rng.uniform(1, 5000, size=(5, 4)))
    yield "masked", np.ma.masked_array([440.0, 0.0, -1.0], mask=[0, 1, 0])


PITCH_INPUTS = list(_pitch_inputs())


@pytest.mark.parametrize("f", [v for _, v in PITCH_INPUTS], ids=[k for k, _ in PITCH_INPUTS])
def test_pitch_matches_baseline(f):
    assert_same_outcome(s.freq_to_pitch, base.freq_to_pitch, f)


@pytest.mark.parametrize("f", [[440.0], "440", None, (1, 2), {}, object()])
def test_pitch_of_unsupported_types_raises_like_python(f):
    got = assert_same_outcome(s.freq_to_pitch, base.freq_to_pitch, f)
    assert got[0][0] == "raised" and got[0][1] is TypeError


@pytest.mark.parametrize("f,want,message", [
    (0.0, -np.inf, "divide by zero encountered in log2"),
    (0, -np.inf, "divide by zero encountered in log2"),
    (-440.0, np.nan, "invalid value encountered in log2"),
])
def test_pitch_warnings(f, want, message):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = s.freq_to_pitch(f)
    np.testing.assert_equal(got, want)
    assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, message)]


def test_pitch_follows_callers_error_state():
    with np.errstate(all="raise"):
        with pytest.raises(FloatingPointError, match="divide by zero"):
            s.freq_to_pitch(0.0)
        with pytest.raises(FloatingPointError, match="invalid value"):
            s.freq_to_pitch(np.array([1.0, -1.0]))
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isnan(s.freq_to_pitch(-1.0))


def test_pitch_returns_a_new_array():
    f = np.array([440.0, 880.0])
    got = s.freq_to_pitch(f)
    assert not np.shares_memory(got, f)
    assert f.tolist() == [440.0, 880.0]


# ------------------------------------------------------------------------- stft


def _window(kind, win_len, rng):
    if kind is None:
        return None
    if kind == "random":
        return rng.uniform(0.0, 1.0, size=win_len)
    if kind == "float32-hann":
        return np.hanning(win_len + 1).astype(np.float32)  # length differs from win_len
    if kind == "ones-short":
        return np.ones(max(1, win_len - 3))
    if kind == "list":
        return list(rng.uniform(size=win_len))
    raise AssertionError(kind)


def _signal(dtype, n, rng):
    if dtype == "int16":
        return rng.integers(-32768, 32767, size=n, endpoint=True, dtype=np.int16)
    return (rng.standard_normal(n) * 1000).astype(dtype)


WIN, HOP = 16, 5
# Lengths around frame boundaries: empty, shorter than a window, exactly
# filling k frames, one sample more or less.
LENGTHS = sorted({0, 1, 2, WIN // 2, WIN - 1, WIN, WIN + 1}
                 | {WIN + k * HOP + d for k in (1, 2, 5) for d in (-1, 0, 1)}
                 | {WIN // 2 + k * HOP + d for k in (3,) for d in (-1, 0, 1)})


WINDOWS = [None, "random", "float32-hann", "ones-short", "list"]


@pytest.mark.parametrize("centered", [True, False])
@pytest.mark.parametrize("window", WINDOWS)
@pytest.mark.parametrize("dtype", ["float64", "float32", "int16"])
def test_stft_matches_baseline(dtype, window, centered):
    # Seeded by the window's place in the list: the same draws in every run.
    rng = np.random.default_rng([7, len(dtype), WINDOWS.index(window), centered])
    for n in LENGTHS:
        x = _signal(dtype, n, rng)
        for zp in (1, 2, 3, 4):
            w = _window(window, WIN, rng)
            x_before, w_before = x.copy(), (None if w is None else np.array(w))
            got = s.stft(x, WIN, HOP, zp, w, centered)
            want = base.stft(x, WIN, HOP, zp, w, centered)
            assert_bits_equal(got, want)
            assert got.flags.c_contiguous
            assert x.tobytes() == x_before.tobytes()
            if w is not None:
                assert np.array_equal(np.asarray(w), w_before)


@pytest.mark.parametrize("win_len,hop_size", [(1, 1), (2, 1), (5, 5), (7, 3), (64, 16), (33, 40)])
@pytest.mark.parametrize("zp", [1, 2, 4])
def test_stft_mag_matches_baseline(win_len, hop_size, zp):
    rng = np.random.default_rng([win_len, hop_size, zp])
    for n in (0, 1, win_len, win_len + 1, 3 * win_len + hop_size):
        x = rng.standard_normal(n)
        got = s.stft_mag(x, win_len, hop_size, zp)
        assert_bits_equal(got, base.stft_mag(x, win_len, hop_size, zp))
        assert_bits_equal(got, np.abs(s.stft(x, win_len, hop_size, zp)))


@pytest.mark.parametrize("x", [
    [0.5, -1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    (1, 2, 3, 4, 5, 6, 7, 8, 9),
    np.arange(9, dtype=np.uint8),
    np.arange(24.0)[::3],
    np.ma.masked_array(np.arange(10.0), mask=[1, 0] * 5),
], ids=["list", "tuple", "uint8", "strided", "masked"])
@pytest.mark.parametrize("centered", [True, False])
def test_stft_of_other_sequences(x, centered):
    assert_same_outcome(s.stft, base.stft, x, 4, 3, 2, None, centered)


@pytest.mark.parametrize("special", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("centered", [True, False])
def test_stft_non_finite_samples(special, centered):
    x = np.random.default_rng(3).standard_normal(40)
    x[[0, 17, 39]] = special
    for fn in ("stft", "stft_mag"):
        args = (x, 8, 3, 2) + ((None, centered) if fn == "stft" else ())
        assert_same_outcome(getattr(s, fn), getattr(base, fn), *args)


# Explicit values for the shapes and framing rules, independent of the oracle.

@pytest.mark.parametrize("win_len,zp,bins", [(256, 1, 129), (256, 2, 257), (5, 1, 3), (5, 3, 8),
                                             (1, 1, 1), (2, 1, 2)])
def test_stft_bin_count(win_len, zp, bins):
    got = s.stft(np.ones(600), win_len, 64, zp)
    assert got.shape[0] == bins and got.dtype == np.complex128


def test_given_window_replaces_win_len():
    x = np.random.default_rng(4).standard_normal(1000)
    w = np.hanning(100)
    got = s.stft(x, 256, 10, window=w)
    # 51 bins; 50 zeros in front make 1050 samples, covered by 96 frames.
    assert got.shape == (51, 96)
    # The win_len argument is never used once a window is given.
    assert_bits_equal(s.stft(x, "not a length", 10, window=w), got)
    # Frame 5 starts 50 samples early: input samples 0..49 under window points 50..99.
    want = np.fft.rfft(np.concatenate((np.zeros(50), x))[50:150] * w)
    assert_bits_equal(np.ascontiguousarray(got[:, 5]), want)  # the values of one frame


@pytest.mark.parametrize("n, win, hop, shape, end_zeros", [
    # An odd window puts two zeros in front: 11 samples + 2 = 13, covered by
    # 9 frames of 5, so no end padding; column h sums samples h-2 .. h+2.
    (11, 5, 1, (3, 9), 0),
    # 10 samples + 2 front zeros = 12; frames of 4 every 3 need 13 samples:
    # the end is padded only as far as the last frame, with 1 zero.
    (10, 4, 3, (3, 4), 1),
])
def test_centring_and_end_padding(n, win, hop, shape, end_zeros):
    x = np.arange(1.0, n + 1)
    got = s.stft(x, win, hop, window=np.ones(win))
    framed = np.concatenate((np.zeros(2), x, np.zeros(end_zeros)))
    assert got.shape == shape
    np.testing.assert_array_equal(got[0].real, [framed[hop * h:hop * h + win].sum() for h in range(shape[1])])


def test_no_frames_no_fft(monkeypatch):
    def forbidden(*args, **kwargs):
        raise AssertionError("rfft called without frames")

    monkeypatch.setattr(np.fft, "rfft", forbidden)
    for x in (np.array([]), [], np.zeros(0, dtype=np.int16)):
        got = s.stft(x, 16, 4, 3, None, False)
        assert got.shape == (25, 0) and got.dtype == np.complex128
    # A one-point window has no centring zeros, so an empty signal has no frames either.
    assert s.stft(np.array([]), 1, 1).shape == (1, 0)
    assert s.stft_mag(np.array([]), 1, 1).shape == (1, 0)


def test_uncentred_exact_fit_uses_the_signal_as_given(monkeypatch):
    """No centring and no end extension: the caller's object is sliced directly."""
    real_np = s.np

    class NoCopies:
        def __getattr__(self, name):
            if name in ("concatenate", "zeros"):
                raise AssertionError(f"np.{name} used for an exactly fitting signal")
            return getattr(real_np, name)

    monkeypatch.setattr(s, "np", NoCopies())
    x = np.arange(4 * 5 + 8, dtype=np.float32)  # 5 hops of 4 after a first frame of 8
    got = s.stft(x, 8, 4, 1, np.ones(8), False)
    assert got.shape == (5, 6)
    np.testing.assert_array_equal(got[0].real, [x[4 * h:4 * h + 8].sum() for h in range(6)])


def test_ones_give_a_pure_dc_spectrum():
    got = s.stft(np.ones(100), 16, 4, 1, np.ones(16), False)
    np.testing.assert_allclose(got[0], 16.0)
    np.testing.assert_allclose(got[1:], 0.0, atol=1e-12)


@pytest.mark.parametrize("window", [None, np.ones(8)])
def test_unsliceable_signal(window):
    with pytest.raises(TypeError) as info:
        s.stft(Sized(), 8, 1, 1, window, 0 if window is not None else False)
    assert str(info.value) == "'Sized' object is unsliceable"


# Failures propagate exactly as NumPy / Python raise them.
FAILING_CALLS = {
    "window-without-len": ((np.ones(20), 4, 2, 1, 5, True), {}),
    "centered-ambiguous": ((np.ones(20), 4, 2, 1, None, np.array([1, 2])), {}),
    "centered-raises": ((np.ones(20), 4, 2, 1, None, np.array([])), {}),
    "float-win-len": ((np.ones(20), 4.5, 2), {}),
    "str-win-len": ((np.ones(20), "4", 2), {}),
    "zero-hop": ((np.ones(20), 4, 0), {}),
    "float-hop": ((np.ones(20), 4, 2.0), {}),
    "zp-zero": ((np.ones(20), 4, 2, 0), {}),
    "zp-negative": ((np.ones(20), 4, 2, -1), {}),
    "zp-float": ((np.ones(20), 4, 2, 1.5), {}),
    "signal-none": ((None, 4, 2), {}),
    "signal-int-uncentred": ((5, 4, 2, 1, None, False), {}),
    "signal-2d": ((np.ones((3, 20)), 4, 2), {}),
    "window-2d": ((np.ones(20), 4, 2, 1, np.ones((2, 2))), {}),
    "complex-signal": ((np.ones(20, dtype=complex), 4, 2), {}),
    "bool-hop": ((np.ones(20), 4, True), {}),
    # Two faults at once: the earlier step decides which error the caller sees.
    "no-len-window-and-bad-zp": ((np.ones(20), 4, 2, "z", 5, True), {}),
    "bad-zp-and-ambiguous-centered": ((np.ones(20), 4, 2, "z", None, np.ones(2)), {}),
    "ambiguous-centered-and-zero-hop": ((np.ones(20), 4, 0, 1, None, np.ones(2)), {}),
    "zero-hop-and-negative-zp": ((np.ones(20), 4, 0, -1), {}),
    "negative-zp-and-bad-signal": ((Sized(), 8, 1, -1, None, False), {}),
}


@pytest.mark.parametrize("name", list(FAILING_CALLS))
def test_stft_failures_match_baseline(name):
    args, kwargs = FAILING_CALLS[name]
    assert_same_outcome(s.stft, base.stft, *args, **kwargs)
    if len(args) <= 4:
        assert_same_outcome(s.stft_mag, base.stft_mag, *args)


def test_numpy_integer_parameters():
    x = np.random.default_rng(11).standard_normal(57).astype(np.float32)
    args = (x, np.int32(16), np.int64(5), np.int16(3))
    assert_bits_equal(s.stft(*args), base.stft(*args))
    assert_bits_equal(s.stft(*args, np.hanning(9), np.bool_(False)),
                      base.stft(*args, np.hanning(9), np.bool_(False)))
    assert_bits_equal(s.stft_mag(*args), base.stft_mag(*args))


def test_concurrent_calls_agree():
    x = np.random.default_rng(12).standard_normal(5000)
    want = s.stft_mag(x, 128, 32, 2).tobytes()
    agree = []

    def work():
        for _ in range(5):
            agree.append(s.stft_mag(x, 128, 32, 2).tobytes() == want)

    run_threads(work, [()] * 4)
    assert agree == [True] * 20


@pytest.mark.parametrize("count", [0, 1, 3, 50, -1, 2.0, 2.5, np.int64(3), np.float64(2.0), True,
                                   "3", None, 10**20],
                         ids=lambda c: f"{type(c).__name__}-{c}")
@pytest.mark.parametrize("centered", [True, False])
def test_frame_count_is_used_as_returned(monkeypatch, count, centered):
    """Whatever the frame counter returns drives allocation, extension and the loop."""
    monkeypatch.setattr(s, "calc_num_frames", lambda *a: count)
    monkeypatch.setattr(base, "calc_num_frames", lambda *a: count)
    x = np.random.default_rng(13).standard_normal(30)
    for zp in (1, 2):
        assert_same_outcome(s.stft, base.stft, x, 8, 3, zp, None, centered)


def test_stft_mag_calls_stft_with_four_positional_arguments(monkeypatch):
    fake_stft = returning(np.array([[3 + 4j, -1j]]))
    calls = fake_stft.calls
    x = np.ones(4)
    monkeypatch.setattr(s, "stft", fake_stft)
    got = s.stft_mag(x, 2, 1)
    assert calls == [((x, 2, 1, 1), {})]
    np.testing.assert_array_equal(got, [[5.0, 1.0]])
    assert s.stft_mag(x, 2, 1, zp_factor="zp") is not None
    assert calls[-1] == ((x, 2, 1, "zp"), {})


def test_read_only_inputs_are_fine_and_untouched():
    x = np.random.default_rng(9).standard_normal(77)
    w = np.hanning(12)
    x.setflags(write=False)
    w.setflags(write=False)
    x0, w0 = x.copy(), w.copy()
    for centered in (True, False):
        got = s.stft(x, 99, 7, 2, w, centered)
        assert got.flags.writeable and not np.shares_memory(got, x)
    s.stft_mag(x, 12, 7, 3)
    assert np.array_equal(x, x0) and np.array_equal(w, w0)
