"""The --plot figure: readable and light at any length of track."""

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from korvel.analysis import AnalysisParams, analyze  # noqa: E402
from korvel.audio_io import AudioInput  # noqa: E402
from korvel.cli import plot  # noqa: E402

from _audio import pulse_train  # noqa: E402
from _blocks import traced_peak  # noqa: E402

FS = 11025


def _audio(seconds, bpm=126.0):
    x = pulse_train(bpm, FS, seconds, seed=4)
    return AudioInput(mono=x, sample_rate=FS, path=f"/music/{seconds:g}s.wav", channels=1)


@pytest.fixture(scope="module")
def tracks():
    out = {}
    for seconds in (12.0, 420.0):
        audio = _audio(seconds)
        out[seconds] = audio, analyze(audio.mono, FS, AnalysisParams(tempo_level="raw"))
    return out


def drawn(fig):
    """Points in lines and filled areas, and cells of images, over all panels."""
    points = cells = 0
    for ax in fig.axes:
        points += sum(len(line.get_xdata()) for line in ax.lines)
        for coll in ax.collections:
            points += sum(len(path.vertices) for path in coll.get_paths())
        cells += sum(image.get_array().size for image in ax.images)
    return points, cells


def test_drawn_points_do_not_grow_with_the_track(tracks):
    (a_short, r_short), (a_long, r_long) = tracks[12.0], tracks[420.0]
    short_points, _ = drawn(plot.build_figure(a_short, r_short))
    fig = plot.build_figure(a_long, r_long)
    long_points, long_cells = drawn(fig)
    # Two waveform envelopes, an excerpt's novelty and pulse, its beats:
    # bounded by the figure, not by the 4.6 million samples.
    assert long_points < 6 * plot.ENVELOPE_COLUMNS + 4000
    assert long_points < 2 * short_points + 2000
    image = fig.axes[1].images[0].get_array()
    assert image.shape[1] <= plot.TEMPOGRAM_COLUMNS and long_cells == image.size


def test_overview_spans_the_track_and_the_excerpt_shows_its_beats(tracks):
    audio, result = tracks[420.0]
    fig = plot.build_figure(audio, result)
    overview, tempogram, wave, novelty = fig.axes[:4]
    assert overview.get_xlim() == (0.0, audio.duration) == tempogram.get_xlim()
    t0, t1 = wave.get_xlim()
    assert 10.0 <= t1 - t0 <= 20.0 and novelty.get_xlim() == (t0, t1)
    inside = result.beat_times[(result.beat_times >= t0) & (result.beat_times <= t1)]
    assert len(inside) >= 15  # single beats, a few bars of them
    beat_dots = [line for line in novelty.lines if line.get_label() == "beats"][0]
    assert np.array_equal(beat_dots.get_xdata(), inside)
    # The waveform outline holds the true extremes of the signal.
    times, lo, hi = plot.envelope(audio.mono, 0, len(audio.mono), plot.ENVELOPE_COLUMNS, FS)
    assert lo.min() == audio.mono.min() and hi.max() == audio.mono.max()
    assert len(times) == plot.ENVELOPE_COLUMNS and np.all(np.diff(times) > 0)


@pytest.mark.parametrize("n, columns", [(10, 4), (10, 10), (10, 50), (1001, 7)])
def test_envelope_groups_cover_every_sample_once(n, columns):
    x = np.random.default_rng(n).standard_normal(n)
    times, lo, hi = plot.envelope(x, 0, n, columns, 1.0)
    k = min(n, columns)
    edges = (np.arange(k + 1) * n) // k
    assert len(lo) == k
    for i in range(k):
        part = x[edges[i]:edges[i + 1]]
        assert lo[i] == part.min() and hi[i] == part.max()
        assert edges[i] <= times[i] <= edges[i + 1]


def test_plotting_a_long_track_allocates_less_than_the_signal(tracks, tmp_path):
    audio, result = tracks[420.0]
    # matplotlib's one-off costs (its font cache, the backend's first draw)
    # are no part of the figure's: pay them before measuring.
    plot.draw_plot(str(tmp_path / "warm-up.png"), "png", *tracks[12.0])
    peak = traced_peak(plot.draw_plot, str(tmp_path / "long.png"), "png", audio, result)
    # No time axis or copy of the samples (each as large as the signal): what
    # the figure allocates is mostly the tempogram, whose size follows the
    # novelty rate, not the sample rate; at 11 kHz it is still below one
    # copy of the signal, at 44.1 kHz a quarter of that.
    assert peak < audio.mono.nbytes, peak
    assert (tmp_path / "long.png").stat().st_size > 50_000


@pytest.mark.parametrize("duration, start, excerpt", [
    (5.0, None, (0.0, 5.0)), (15.0, None, (0.0, 15.0)), (100.0, None, (42.5, 57.5)),  # the middle of the track
    (100.0, 10.0, (10.0, 25.0)), (100.0, 0.0, (0.0, 15.0)),
    (100.0, 95.0, (85.0, 100.0)),  # moved back to fit in the track
    (5.0, 3.0, (0.0, 5.0)),        # a clip shorter than an excerpt is shown whole
])
def test_excerpt_starts_where_asked_or_in_the_middle(duration, start, excerpt):
    assert plot.excerpt_range(duration, **({} if start is None else {"start": start})) == excerpt


@pytest.mark.parametrize("seconds, start", [(12.0, None), (420.0, None), (420.0, 100.0)])
def test_overview_shades_the_excerpt_and_the_tempogram_spans_the_track(tracks, seconds, start):
    audio, result = tracks[seconds]
    fig = plot.build_figure(audio, result, start)
    overview, tempogram, wave = fig.axes[:3]
    t0, t1 = wave.get_xlim()
    if start is not None:
        assert (t0, t1) == (start, start + plot.EXCERPT_SECONDS)
    # The shading is there even when the excerpt is the whole clip.
    assert len(overview.patches) == 1
    shade = overview.patches[0]
    xs = overview.transData.inverted().transform(
        shade.get_transform().transform(shade.get_path().vertices))[:, 0]
    assert (xs.min(), xs.max()) == pytest.approx((t0, t1))
    # A short clip's few tempogram frames reach both ends of the track.
    left, right = tempogram.images[0].get_extent()[:2]
    assert (left, right) == (0.0, pytest.approx(audio.duration))
