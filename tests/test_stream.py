"""Files analysed as a stream give the bits of the whole decoded signal.

The streaming road computes the novelty and bass-onset curves block by
block; these tests feed the same signal both ways, at block sizes chosen to
put every kind of boundary between blocks (one frame, one hop, just below and
above a frame, odd sizes, a sample at a time), and compare bit for bit.
"""

import itertools
import json
import os
import threading

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")

from korvel import stream  # noqa: E402
from korvel.analysis import AnalysisError, AnalysisParams, analyze, min_samples, tempo_estimate  # noqa: E402
from korvel.audio_io import AudioError, load_audio  # noqa: E402
from korvel.cli import main  # noqa: E402
from korvel.cli.clicks import clicks_between, mix_clicks, write_streamed_clicks  # noqa: E402
from korvel.cli.plot import FileWaveform, _pooled_columns, envelope, pooled_tempogram  # noqa: E402
from korvel import steadiness as steadiness_module, tempo_level  # noqa: E402
from korvel.novelty_blocks import Values, bass_onsets_in_place  # noqa: E402
from korvel.pulsix import _hmm_beats_upsampled, create_dp_beats, estimate_bpm, make_ac_tempogram, make_clicks, spectral_novelty  # noqa: E402
from korvel.sonix import stft  # noqa: E402
from korvel.tempo_level import TG_HOP, TG_WIN, TG_ZP, _mean_magnitude, bass_onsets, bass_onsets_of_energy  # noqa: E402
from korvel.tempogram import TG_FFT_LEN, RowSums, tempo_bins  # noqa: E402

from _audio import pulse_train  # noqa: E402
from _blocks import traced_peak  # noqa: E402
from _oracle import assert_outcomes_equal, outcome, reference_only  # noqa: E402

FS = 22050


def _signal(n, seed=0):
    """Bursts over a quiet noise floor: onsets in every block, and values whose
    sums round differently in another order."""
    rng = np.random.default_rng(seed)
    x = 0.01 * rng.standard_normal(n)
    for start in range(100, n, 4000):
        seg = slice(start, min(n, start + 600))
        x[seg] += rng.uniform(-1, 1, seg.stop - seg.start)
    return x


def _spans(n, sizes):
    """Consecutive slices that cover range(n), their sizes cycling through ``sizes``."""
    at = 0
    for size in itertools.cycle(sizes):
        if at >= n:
            return
        yield slice(at, at + size)
        at += size


def _fed(x, fft_len, hop, sizes, gamma=100.0, fs=FS):
    nb = stream.NoveltyBlocks(fs, fft_len, hop, gamma)
    for span in _spans(len(x), sizes):
        nb.feed(x[span])
    nb.finish()
    return nb


# fft_len, hop, signal length, block sizes (cycled): boundaries at one frame,
# one hop, a frame +-1, odd sizes, single samples; signals just long enough,
# ending on and off a hop; an odd window; a hop longer than half the window.
BOUNDARY_CASES = [
    (1024, 512, 40000, [1024]),              # one frame
    (1024, 512, 40000, [512]),               # one hop
    (1024, 512, 40000, [1023]),              # just below a frame
    (1024, 512, 40000, [1025]),              # just above a frame
    (1024, 512, 40000, [1, 7, 513, 4099]),   # odd sizes, single samples
    (1024, 512, 40000, [40000]),             # the whole signal at once
    (1024, 512, 40960, [511, 1537]),         # ends exactly on a hop
    (1024, 512, 5121, [3]),                  # the shortest signal analysed
    (1025, 300, 33333, [999, 1001]),         # odd window
    (2048, 1024, 120001, [65536]),           # the command's read size
    (64, 1, 3000, [17, 64, 65]),             # many dropped frames per call
    (256, 200, 20000, [199, 201]),           # hop longer than half the window
    (256, 300, 20000, [299, 301, 256]),      # hop longer than the window
]


@pytest.mark.parametrize("fft_len,hop,n,sizes", BOUNDARY_CASES)
def test_curves_fed_in_blocks_are_the_whole_signals_bits(fft_len, hop, n, sizes):
    x = _signal(n)
    nb = _fed(x, fft_len, hop, sizes)
    nov = nb.novelty()
    ref = spectral_novelty(x, fft_len, hop, 100.0)
    assert nov.shape == ref.shape and nov.tobytes() == ref.tobytes()
    bass = nb.bass(len(nov))
    ref_bass = bass_onsets(x, FS, fft_len, hop, len(ref), 100.0)
    assert bass.shape == ref_bass.shape and bass.tobytes() == ref_bass.tobytes()
    # What is kept between blocks stays a few frames and a block, whatever the length.
    assert len(nb._buf) <= max(sizes) + (4 * nb._per_call + nb.lead) * hop + fft_len
    assert len(nb._energy) <= (max(sizes) + 2 * fft_len) // nb._block + 4


def test_shortest_signal_in_blocks():
    p = AnalysisParams().resolved(FS)
    n = min_samples(p, FS)
    x = _signal(n, seed=2)
    nov = _fed(x, p.fft_len, p.hop, [5]).novelty()
    assert nov.tobytes() == spectral_novelty(x, p.fft_len, p.hop, p.gamma).tobytes()


@pytest.mark.parametrize("n", [300, 8192, 8192 + 255, 40000])
def test_tempogram_strength_and_pooled_drawing_without_the_whole_tempogram(n):
    nov = np.random.default_rng(n).random(n) ** 4
    mag = np.abs(stft(nov, TG_WIN, TG_HOP, TG_ZP, centered=False))
    assert _mean_magnitude(nov, 12, 80).tobytes() == np.mean(mag, axis=1)[12:80].tobytes()
    for limit in (1000, 7):
        want, group = _pooled_columns(mag[30:300], limit)
        got, got_group, frames = pooled_tempogram(nov, 30, 300, limit)
        assert (got_group, frames) == (group, mag.shape[1])
        assert got.tobytes() == want.tobytes()


# ------------------------------------------- whole-curve steps a block at a time

# rows, columns, widths of the blocks fed (cycled): NumPy's pairwise sum adds
# runs of up to 128 values, so blocks cut them at every kind of place; fewer
# than 8 columns, exactly one run, one run and a value, several tree levels,
# a row per tempogram bin of the search range, no rows at all.
ROW_SUM_CASES = [
    (3, 1, [1]), (3, 7, [3]), (2, 8, [8]), (5, 128, [1]), (5, 129, [128]), (4, 300, [7, 100]),
    (330, 1000, [256]), (2, 4845, [256, 1]), (1, 20000, [4096, 3]), (0, 50, [10]),
]


@pytest.mark.parametrize("rows,n,widths", ROW_SUM_CASES)
def test_row_sums_fed_in_blocks_are_numpys_row_sums(rows, n, widths):
    rng = np.random.default_rng(n)
    # Magnitudes far apart, so that another order of addition rounds differently.
    m = rng.standard_normal((rows, n)) * 10.0 ** rng.integers(-8, 8, (rows, n))
    sums = RowSums(rows, n)
    for span in _spans(n, widths):
        sums.feed(m[:, span])
    assert sums.total().tobytes() == np.add.reduce(m, axis=1).tobytes()
    assert (sums.total() / n).tobytes() == np.mean(m, axis=1).tobytes()


@pytest.mark.parametrize("bufsize,run", [(1024, None), (8192, None), (8192, 0)])
def test_row_sums_follow_numpys_buffer_and_its_fallback(bufsize, run):
    """Before NumPy 2.3 a row is summed a buffer at a time; a RowSums told
    nothing of the splitting (run 0) keeps the columns and sums them whole."""
    m = np.random.default_rng(9).standard_normal((3, 9000)) * 10.0 ** (np.arange(9000) % 13 - 6)
    old = np.setbufsize(bufsize)
    try:
        sums = RowSums(3, 9000, run=run)
        for span in _spans(9000, [700]):
            sums.feed(m[:, span])
        assert sums.total().tobytes() == np.add.reduce(m, axis=1).tobytes()
    finally:
        np.setbufsize(old)


@pytest.mark.parametrize("feed,error", [
    ([np.zeros((2, 5))], "5 of 6 columns"),          # total() before every column is in
    ([np.zeros((2, 4)), np.zeros((2, 3))], "at most 2 more columns"),
    ([np.zeros((3, 6))], "of 2 rows"),
])
def test_row_sums_refuse_columns_that_do_not_fit(feed, error):
    sums = RowSums(2, 6)
    with pytest.raises(ValueError, match=error):
        for block in feed:
            sums.feed(block)
        sums.total()


# curve length, window, autocorrelation frames per block: one frame, a few,
# all at once; a window longer than the tempogram's (slow tempi).
AC_CASES = [(300, 256, 1), (1000, 256, 3), (1000, 300, 1000), (40000, 256, 64), (40000, 290, 1)]


@pytest.mark.parametrize("n,win,frames", AC_CASES)
def test_mean_autocorrelation_a_block_at_a_time_is_the_whole_matrixs(monkeypatch, n, win, frames):
    monkeypatch.setattr(tempo_level, "AC_BLOCK_BYTES", 8 * win * frames)
    nov = np.random.default_rng(n).random(n) ** 4
    x = nov - np.mean(nov)
    want = np.mean(make_ac_tempogram(x, win, TG_HOP), axis=1)
    assert tempo_level._mean_ac_tempogram(x, win).tobytes() == want.tobytes()


# curve length, frame rate, tempo range: tempograms of fewer frames than a
# pairwise run, of several runs, a narrow range of one or two bins.
@pytest.mark.parametrize("n,ff,bpm_min,bpm_max", [
    (300, 43.07, 40.0, 250.0), (257 * 32, 43.07, 40.0, 250.0), (40000, 86.13, 30.0, 300.0),
    (40000, 43.07, 100.0, 101.0),
])
def test_estimate_bpm_is_the_strongest_row_mean_of_the_whole_tempogram(n, ff, bpm_min, bpm_max):
    nov = np.random.default_rng(n).random(n) ** 4
    ave = np.mean(np.abs(stft(nov, TG_WIN, TG_HOP, TG_ZP, centered=False)), axis=1)
    k_min, k_max = tempo_bins(bpm_min, bpm_max, ff)
    want = 60 * (k_min + int(np.argmax(ave[k_min:k_max]))) * (ff / TG_FFT_LEN)
    assert estimate_bpm(nov, ff, bpm_min, bpm_max) == want
    assert _mean_magnitude(nov, k_min, k_max).tobytes() == ave[k_min:k_max].tobytes()


# curve length, largest lag, values per block: blocks shorter than the lags
# (then a block holds max_lag + 1 values), many blocks, one block.
@pytest.mark.parametrize("n,max_lag,block", [(10, 9, 4), (1000, 43, 64), (1000, 43, 1 << 14), (5000, 700, 100),
                                             (70000, 50, 1 << 14)])
def test_lag_products_are_the_curves_autocorrelation(monkeypatch, n, max_lag, block):
    monkeypatch.setattr(steadiness_module, "LAG_BLOCK", block)
    x = np.random.default_rng(n).random(n) - 0.5
    want = np.correlate(x, x, "full")[n - 1:n + max_lag]
    got = steadiness_module.lag_products(x, max_lag)
    assert got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * want[0])


@pytest.mark.parametrize("share", [0.0, 1.0, 0.5, 2.0], ids=["unknown", "exact", "short", "long"])
def test_values_appended_in_blocks_are_one_array_of_them(share):
    """The length a file declares sizes the curve; a wrong one only costs a
    copy (too short) or a trimmed tail (too long)."""
    parts = [np.random.default_rng(k).random(k * 37 % 1000) for k in range(1, 11)]
    whole = np.concatenate(parts)
    values = Values(int(share * len(whole)))
    for part in parts:
        values.append(part)
    got = values.take()
    assert got.tobytes() == whole.tobytes() and got.flags.owndata
    assert values.take().shape == (0,)  # handed over


def _onsets(n):
    x = np.random.default_rng(n).random(n) ** 4
    x[::20] += 1.0
    return x / np.max(x)


FF = 44100 / 1024
K_MIN, K_MAX = tempo_bins(40.0, 250.0, FF)

# step, numpy buffer size, curve-sized copies (float64) its working memory may
# grow by: the whole-curve steps of the tempo estimate hold their blocks and
# at most a copy of the curve, create_dp_beats its scores, 32-bit
# back-pointers and penalties; the beat tracker of the hmm level, decoding in
# blocks, neither the interpolated curve nor anything per frame.
GROWTH_CASES = [
    ("estimate_bpm", lambda x: estimate_bpm(x, FF, 40.0, 250.0), 8192, 0.5),
    ("estimate_bpm, small buffer", lambda x: estimate_bpm(x, FF, 40.0, 250.0), 1024, 0.5),
    ("tempogram strength", lambda x: _mean_magnitude(x, K_MIN, K_MAX), 8192, 0.5),
    ("autocorrelation", lambda x: tempo_level._autocorrelation(x, 60.0 * FF / 40.0), 8192, 1.5),
    ("steadiness", lambda x: steadiness_module.steadiness(x, FF, 40.0, 250.0), 8192, 1.5),
    ("create_dp_beats", lambda x: create_dp_beats(x, 25.0, 10.0), 8192, 2.75),
    ("hmm beats in blocks", lambda x: _hmm_beats_upsampled(x, 2, 40, 44, 200.0, 32.0, 8192), 8192, 0.25),
]


@pytest.mark.parametrize("step,bufsize,copies", [c[1:] for c in GROWTH_CASES], ids=[c[0] for c in GROWTH_CASES])
def test_whole_curve_steps_hold_no_curve_sized_matrix(step, bufsize, copies):
    short, long = _onsets(100_000), _onsets(300_000)  # 9375 tempogram frames: longer than the buffer
    old = np.setbufsize(bufsize)
    try:
        growth = traced_peak(step, long) - traced_peak(step, short)
    finally:
        np.setbufsize(old)
    assert growth <= copies * 8 * (len(long) - len(short))


def _dp_curve(n, seed=4):
    x = np.random.default_rng(seed).random(n) ** 4
    x[::7] += 1.0
    return x


# curve, period, weight: float and int period and weight (a weight of int 0
# makes penalties of +0.0), a period of 0 (infinite ratios: NumPy warns) and
# a negative one (NaN penalties), a curve of two values, a NaN in the curve
# (the native recursion declines, the steps run on a padded copy), a curve
# NumPy would have to widen first (float32: the step-by-step path).
DP_CASES = [
    ("floats", _dp_curve(3000), 21.5, 10.0),
    ("ints", _dp_curve(3000), 21, 0),
    ("zero period", _dp_curve(300), 0.0, 10.0),
    ("negative period", _dp_curve(300), -5.0, 10.0),
    ("two values", np.array([0.5, 1.0]), 3.0, 10.0),
    ("nan", np.where(np.arange(400) == 200, np.nan, _dp_curve(400)), 9.0, 10.0),
    ("float32", _dp_curve(500).astype(np.float32), 9.0, 10.0),
]


@pytest.mark.parametrize("nov,period,lmbda", [c[1:] for c in DP_CASES], ids=[c[0] for c in DP_CASES])
def test_create_dp_beats_without_the_padded_copy_is_the_step_by_step_result(nov, period, lmbda):
    with np.errstate(all="warn"):
        fast = outcome(create_dp_beats, nov, period, lmbda)
        with reference_only():
            slow = outcome(create_dp_beats, nov, period, lmbda)
    assert_outcomes_equal(fast, slow, ("native", "step by step"))


@pytest.mark.parametrize("frame", [
    np.random.default_rng(1).random(500) ** 6,  # energies over many orders of magnitude
    np.zeros(50),                               # silence: no peak
    np.full(50, 3.0),                           # no rise anywhere
    np.array([0.0, 1.0, np.nan, 2.0]),
], ids=["energies", "silence", "constant", "nan"])
def test_bass_onsets_compressed_in_place_are_the_same_bits(frame):
    n = len(frame) - 1
    want = bass_onsets_of_energy(frame.copy(), n, 100.0)
    got = bass_onsets_in_place(frame.copy(), n, 100.0)
    assert got.shape == want.shape and got.tobytes() == want.tobytes()


# ---------------------------------------------------------------- files


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A stereo FLAC, a mono and a 3-channel WAV (float, so that decoding is exact)."""
    d = tmp_path_factory.mktemp("stream")
    out = {}
    for name, channels, subtype, fmt in (("stereo.flac", 2, "PCM_16", "FLAC"),
                                         ("mono.wav", 1, "FLOAT", "WAV"),
                                         ("three.wav", 3, "DOUBLE", "WAV")):
        x = pulse_train(118, FS, 14.0, channels=channels, seed=channels)
        path = str(d / name)
        sf.write(path, 0.9 * x / np.max(np.abs(x)), FS, subtype=subtype, format=fmt)
        out[name] = path
    return out


def _same_result(a, b):
    assert a.tempo == b.tempo and a.raw_tempo == b.raw_tempo
    assert a.tempo_candidates == b.tempo_candidates and a.tempo_warning == b.tempo_warning
    assert a.beat_frames.tobytes() == b.beat_frames.tobytes()
    assert a.beat_times.tobytes() == b.beat_times.tobytes()
    assert a.novelty.tobytes() == b.novelty.tobytes() and a.local_pulse.tobytes() == b.local_pulse.tobytes()
    assert (a.num_samples, a.feature_rate, a.params, a.beat_period) == \
        (b.num_samples, b.feature_rate, b.params, b.beat_period)


@pytest.mark.parametrize("name", ["stereo.flac", "mono.wav", "three.wav"])
@pytest.mark.parametrize("params,block", [
    (AnalysisParams(), 4096),
    (AnalysisParams(tempo_level="raw"), 777),
    (AnalysisParams(fft_len=1000, hop=333, gamma=10.0), 65536),
])
def test_file_stream_gives_the_in_memory_result(files, name, params, block):
    audio = load_audio(files[name])
    whole = analyze(audio.mono, audio.sample_rate, params)
    fa = stream.analyze_file(files[name], params, block=block)
    _same_result(fa.result(), whole)
    assert fa.tempo() == tempo_estimate(audio.mono, audio.sample_rate, params)
    assert fa.description == audio.description


def test_silence_streams_to_no_beats(tmp_path):
    path = str(tmp_path / "silent.wav")
    sf.write(path, np.zeros((FS * 3, 2)), FS)
    whole = analyze(np.zeros(FS * 3), FS)
    fa = stream.analyze_file(path)
    assert fa.novelty is None and fa.tempo().tempo is None
    _same_result(fa.result(), whole)


@pytest.mark.parametrize("content,error,message", [
    (None, AudioError, "no such file"),
    (b"not audio at all" * 10, AudioError, "cannot read as audio"),
    ("short", stream.FileAnalysisError, "audio too short"),
    ("nan", stream.FileAnalysisError, "NaN or infinite"),
    ("range", stream.FileAnalysisError, "holds no tempogram bin"),
])
def test_file_errors_say_what_the_in_memory_road_says(tmp_path, content, error, message):
    path = str(tmp_path / "x.wav")
    params = AnalysisParams(bpm_min=3000, bpm_max=3001) if content == "range" else AnalysisParams()
    if isinstance(content, bytes):
        with open(path, "wb") as fh:
            fh.write(content)
    elif content is not None:
        x = _signal(1000 if content == "short" else FS * 3)
        if content == "nan":
            x[FS * 2] = np.nan
        sf.write(path, x, FS, subtype="DOUBLE")
    with pytest.raises(error, match=message) as info:
        stream.analyze_file(path, params, block=1000)
    if error is stream.FileAnalysisError:
        audio = load_audio(path)
        with pytest.raises(AnalysisError) as whole:
            analyze(audio.mono, audio.sample_rate, params)
        assert str(info.value) == str(whole.value)
        assert info.value.info.sample_rate == FS and info.value.params.hop == 512


@pytest.mark.parametrize("opted_in", [True, False])
@pytest.mark.parametrize("step", ["tempo", "result"])
def test_a_command_process_maps_curve_sized_arrays_in_the_whole_curve_steps(files, monkeypatch, opted_in, step):
    # The stream's blocks (and the outputs' after the analysis) reuse freed
    # memory; the steps on the whole curves hand theirs back.  Only where
    # the process asked for it.
    calls = []
    monkeypatch.setattr(stream, "_mallopt", (lambda *args: calls.append(args) or 1) if opted_in else None)
    fa = stream.analyze_file(files["stereo.flac"])
    monkeypatch.setattr(stream, "estimate_from_curves", _noting(stream.estimate_from_curves, calls))
    monkeypatch.setattr(stream, "analyze_curves", _noting(stream.analyze_curves, calls))
    getattr(fa, step)()
    mapping = stream._M_MMAP_THRESHOLD
    want = [(mapping, stream.CURVE_MAPPING), "steps", (mapping, stream.STREAM_MAPPING)]
    assert calls == (want if opted_in else ["steps"])


def _noting(fn, calls):
    def noted(*args, **kwargs):
        calls.append("steps")
        return fn(*args, **kwargs)
    return noted


def test_decoder_thread_ends_with_the_stream():
    """An error on either side stops the other: the consumer gets the
    producer's error, and a consumer that stops early frees the producer."""
    def failing():
        yield 1
        raise OSError("disk gone")

    with pytest.raises(OSError, match="disk gone"):
        list(stream._ahead(failing()))
    before = threading.active_count()
    endless = stream._ahead(iter(range(10**9)), depth=2)
    assert next(endless) == 0
    endless.close()
    assert threading.active_count() == before


# ---------------------------------------------------------------- outputs


def test_clicks_between_is_make_clicks_cut_into_spans():
    starts = np.array([0, 5, 6, 40, 99, 120])
    click = np.linspace(1.0, 0.1, 10)
    whole = make_clicks(starts, 130, click)
    for bounds in ([0, 130], [0, 1, 5, 6, 7, 41, 99, 100, 130], list(range(0, 131, 9)) + [130]):
        parts = [clicks_between(starts, click, a, b) for a, b in zip(bounds[:-1], bounds[1:])]
        assert np.concatenate(parts).tobytes() == whole.tobytes()


@pytest.mark.parametrize("gain", [0.5, 1.0])  # 1.0: the mix must be scaled down
def test_streamed_click_track_is_the_in_memory_one(files, tmp_path, gain):
    path = str(tmp_path / "loud.wav")
    x, fs = sf.read(files["stereo.flac"], dtype="float32")
    sf.write(path, gain * x / np.max(np.abs(x)), fs, subtype="FLOAT")
    audio = load_audio(path, keep_channels=True)
    result = analyze(audio.mono, audio.sample_rate)
    fa = stream.analyze_file(path, envelope=True, block=1000)
    out = str(tmp_path / "clicks.wav")
    write_streamed_clicks(out, "WAV", path, fa.result(), fa.summary.peak)
    got, _ = sf.read(out, dtype="float64", always_2d=True)
    want = mix_clicks(audio, result)
    # WAV's default subtype keeps 16 bits: compare as written.
    ref = str(tmp_path / "ref.wav")
    sf.write(ref, want, fs, format="WAV")
    assert np.array_equal(got, sf.read(ref, dtype="float64", always_2d=True)[0])
    assert np.max(np.abs(want)) <= 0.99


def test_file_outline_is_the_signals_outline(files, monkeypatch):
    import korvel.cli.plot as plot

    fa = stream.analyze_file(files["mono.wav"], envelope=True)
    audio = load_audio(files["mono.wav"])
    wave = FileWaveform(fa)
    # A short span is read again and outlined exactly.
    for got, want in zip(wave.outline(1000, 50000, 300), envelope(audio.mono, 1000, 50000, 300, FS)):
        assert np.array_equal(got, want)
    # A long one comes from the kept chunks: every column's extremes are
    # those of a span that covers its own samples and at most a chunk more.
    monkeypatch.setattr(plot, "EXACT_SECONDS", 0.0)
    times, lo, hi = wave.outline(0, len(audio.mono), 200)
    t_exact, lo_exact, hi_exact = envelope(audio.mono, 0, len(audio.mono), 200, FS)
    assert len(lo) == 200 and np.all(lo <= lo_exact) and np.all(hi >= hi_exact)
    assert lo.min() == audio.mono.min() and hi.max() == audio.mono.max()
    assert np.max(np.abs(times - t_exact)) <= fa.summary.chunk / FS


def test_outline_stays_bounded_when_the_file_is_longer_than_declared(monkeypatch):
    """A length declared too short (or not at all) would mean tiny chunks:
    they pair up as the outline grows, and still cover every sample once."""
    monkeypatch.setattr(stream, "ENVELOPE_VALUES", 10)
    summary = stream.SignalSummary(chunk=1)
    x = _signal(5000, seed=9)
    rest = np.zeros(0)
    for k in range(0, len(x), 37):
        rest = stream._outline(summary, np.concatenate((rest, x[k:k + 37])))
    lo, hi = np.concatenate(summary.env_lo), np.concatenate(summary.env_hi)
    c = summary.chunk
    assert c > 1 and len(lo) <= 4 * 10 + 37 and len(lo) * c + len(rest) == len(x)
    assert np.array_equal(lo, x[: len(lo) * c].reshape(-1, c).min(axis=1))
    assert np.array_equal(hi, x[: len(hi) * c].reshape(-1, c).max(axis=1))


def test_command_json_is_the_in_memory_documents(files, tmp_path, capsys):
    from korvel.cli.commands import beats_document

    out = tmp_path / "beats.json"
    assert main(["beats", files["stereo.flac"], "--json", str(out)]) == 0
    audio = load_audio(files["stereo.flac"])
    want = beats_document(audio, analyze(audio.mono, audio.sample_rate))
    assert json.loads(out.read_text()) == json.loads(json.dumps(want))


def test_curves_road_needs_the_bass_onsets_on_the_auto_level():
    from korvel.analysis import analyze_curves, estimate_from_curves

    p = AnalysisParams().resolved(FS)
    x = _signal(FS * 4)
    nov = spectral_novelty(x, p.fft_len, p.hop, p.gamma)
    with pytest.raises(ValueError, match="needs the bass onsets"):
        analyze_curves(nov, None, FS, len(x), p)
    with pytest.raises(ValueError, match="needs the bass onsets"):
        estimate_from_curves(nov, None, FS, p)
    # The raw level never asks for them.
    raw = AnalysisParams(tempo_level="raw").resolved(FS)
    _same_result(analyze_curves(nov, None, FS, len(x), raw), analyze(x, FS, raw))


def test_click_track_failing_midway_leaves_no_output(files, tmp_path, monkeypatch, capsys):
    """The second reading fails after a block has been written: nothing is left."""
    real = stream.read_blocks
    calls = []

    def failing(path, *args, **kwargs):
        info, blocks = real(path, *args, **kwargs)
        calls.append(path)

        def cut():
            for i, item in enumerate(blocks):
                if len(calls) == 3 and i == 1:  # the analysis, the peak, then the writing
                    raise OSError(28, "No space left on device")
                yield item
        return info, cut()

    monkeypatch.setattr(stream, "read_blocks", failing)
    out = tmp_path / "out"
    out.mkdir()
    code = main(["beats", files["stereo.flac"], "--json", str(out / "j.json"),
                 "--clicks", str(out / "c.flac")])
    assert code == 1 and "No space left on device" in capsys.readouterr().err
    assert len(calls) == 3 and os.listdir(out) == []
