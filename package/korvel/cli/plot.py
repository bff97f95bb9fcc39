"""The ``--plot`` figure of ``korvel beats``; matplotlib is imported only here.

The figure reads the same for a 10-second clip and an hour-long recording:
the top two panels show the whole track (waveform envelope, tempogram), the
bottom two a zoomed excerpt where single beats can be seen.  Whatever the
length, the number of points drawn is bounded: waveforms are drawn as min/max
envelopes over a fixed number of columns, the tempogram as an image of at
most a fixed number of columns, and beats only inside the excerpt.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Protocol, Union

import numpy as np
import numpy.typing as npt

from .._errors import need
from ..analysis import NO_STEADY_BEAT, BeatAnalysis
from ..audio_io import AudioInput, OutputError, extension
from ..report.html import WholeTrackTempograms, track_tempograms
# pooled_tempogram and _pooled_columns stay importable from here.
from ..tempogram import display_rows, pooled_tempogram  # noqa: F401
from ..tempogram import pooled_columns as _pooled_columns  # noqa: F401

if TYPE_CHECKING:
    from ..stream import FileAnalysis

ENVELOPE_COLUMNS = 2000
"""Columns of a waveform envelope: about two per pixel of the panel's width."""
TEMPOGRAM_COLUMNS = 1000
"""Most tempogram frames drawn; longer tracks are pooled (keeping each group's maximum)."""
EXCERPT_SECONDS = 15.0
"""Length of the zoomed excerpt: a few bars at any usual tempo."""


def plot_format(path: str) -> str:
    """The matplotlib format that the extension of ``path`` names."""
    need("matplotlib", "--plot", "cli")
    from matplotlib.figure import Figure

    ext = extension(path)
    if ext not in Figure().canvas.get_supported_filetypes():
        raise OutputError(f"--plot {path}: cannot draw a '.{ext}' file (use .png, .svg or .pdf)")
    return ext


def envelope(x: npt.NDArray[np.floating[Any]], start: int, stop: int, columns: int,
             sample_rate: float, offset: int = 0
             ) -> tuple[npt.NDArray[np.float64], npt.NDArray[Any], npt.NDArray[Any]]:
    """Times, minima and maxima of ``x[start:stop]`` in at most ``columns``
    equal groups of samples: the outline a waveform drawing shows, without a
    copy of the signal.  ``x[0]`` is sample ``offset`` of the track."""
    seg = x[start:stop]
    n = len(seg)
    cols = max(1, min(columns, n))
    edges = (np.arange(cols + 1) * n) // cols
    lo = np.minimum.reduceat(seg, edges[:-1]) if n else np.zeros(1)
    hi = np.maximum.reduceat(seg, edges[:-1]) if n else np.zeros(1)
    times = (offset + start + (edges[:-1] + edges[1:]) / 2) / sample_rate
    return times, lo, hi


def excerpt_range(duration: float, length: float = EXCERPT_SECONDS,
                  start: float | None = None) -> tuple[float, float]:
    """The zoomed excerpt: ``length`` seconds from ``start`` (moved back to
    fit in the track), or from the middle of the track."""
    if duration <= length:
        return 0.0, duration
    if start is None:
        start = duration / 2 - length / 2
    start = min(max(0.0, start), duration - length)
    return start, start + length


Outline = tuple[npt.NDArray[np.float64], npt.NDArray[Any], npt.NDArray[Any]]


class Waveform(Protocol):
    """What the figure needs of the audio: its name, length and outline."""

    label: str
    sample_rate: int
    duration: float

    def outline(self, start: int, stop: int, columns: int) -> Outline:
        """:func:`envelope` of the mono mix from sample ``start`` to ``stop``."""


class _SourceWaveform:
    """A waveform named, rated and timed as its source (a signal read or a
    file analysed) says."""

    def __init__(self, source: AudioInput | FileAnalysis) -> None:
        self.source = source
        self.label, self.sample_rate, self.duration = source.label, source.sample_rate, source.duration


class SignalWaveform(_SourceWaveform):
    """The waveform of a signal in memory."""

    source: AudioInput

    def outline(self, start: int, stop: int, columns: int) -> Outline:
        return envelope(self.source.mono, start, stop, columns, self.sample_rate)


EXACT_SECONDS = 60.0
"""Spans up to this long are outlined from their samples, read again."""


class FileWaveform(_SourceWaveform):
    """The waveform of a file analysed as a stream: a whole track is outlined
    from the minima and maxima kept on the way (chunks of at most 1/16 of a
    column), a short span such as the excerpt from its samples, read again."""

    source: FileAnalysis

    def outline(self, start: int, stop: int, columns: int) -> Outline:
        from ..stream import read_blocks

        fs = self.sample_rate
        if stop - start <= EXACT_SECONDS * fs:
            _, blocks = read_blocks(self.source.path, start=start, stop=stop)
            parts = list(blocks)
            seg = np.concatenate(parts) if parts else np.zeros(0)
            return envelope(seg, 0, len(seg), columns, fs, offset=start)
        summary = self.source.summary
        c = summary.chunk
        lo_all = np.concatenate(summary.env_lo) if summary.env_lo else np.zeros(1)
        hi_all = np.concatenate(summary.env_hi) if summary.env_hi else np.zeros(1)
        # The columns of envelope(), each widened to the chunks that hold its samples.
        n = stop - start
        cols = max(1, min(columns, n))
        edges = start + (np.arange(cols + 1) * n) // cols
        first = np.minimum(edges[:-1] // c, len(lo_all) - 1)
        last = np.maximum(first + 1, np.minimum(-(-edges[1:] // c), len(lo_all)))
        lo = np.array([lo_all[a:b].min() for a, b in zip(first.tolist(), last.tolist())])
        hi = np.array([hi_all[a:b].max() for a, b in zip(first.tolist(), last.tolist())])
        return (edges[:-1] + edges[1:]) / 2 / fs, lo, hi


Audio = Union[AudioInput, Waveform]


def _waveform(audio: Audio) -> Waveform:
    return SignalWaveform(audio) if isinstance(audio, AudioInput) else audio


def _draw_waveform(ax: Any, audio: Waveform, t0: float, t1: float) -> None:
    fs = audio.sample_rate
    times, lo, hi = audio.outline(int(t0 * fs), int(np.ceil(t1 * fs)), ENVELOPE_COLUMNS)
    ax.fill_between(times, lo, hi, color="0.35", linewidth=0.3, edgecolor="0.35")
    ax.set_ylabel("amplitude")
    ax.set_xlim(t0, t1)


def _draw_tempogram(ax: Any, result: BeatAnalysis, duration: float,
                    tempograms: WholeTrackTempograms | None) -> None:
    ax.set_title("Fourier tempogram of the whole track (dotted: tempo range searched)")
    ax.set_ylabel("tempo (BPM)")
    if result.tempo is None and result.tempo_warning != NO_STEADY_BEAT:
        ax.text(0.5, 0.5, "no onsets found", transform=ax.transAxes, ha="center", va="center")
        return
    ff = result.feature_rate
    rows, bpm = display_rows(ff, result.params.bpm_max)
    mag = track_tempograms(result, tempograms).get(int(rows[0]), int(rows[-1]) + 1, duration)
    step = float(bpm[1] - bpm[0]) if len(bpm) > 1 else 1.0
    ax.imshow(mag, origin="lower", aspect="auto", cmap="magma", interpolation="nearest",
              extent=(0.0, duration, float(bpm[0]) - step / 2, float(bpm[-1]) + step / 2))
    if result.tempo is not None:
        ax.axhline(result.tempo, color="cyan", linestyle="--", linewidth=1.2,
                   label=f"chosen tempo {result.tempo:.2f} BPM")
    if len(result.tempo_curve_bpm):
        # One point in `every` at most TEMPOGRAM_COLUMNS points, like the image beneath.
        every = -(-len(result.tempo_curve_bpm) // TEMPOGRAM_COLUMNS)
        ax.plot(result.tempo_curve_times[::every], result.tempo_curve_bpm[::every], color="white",
                linewidth=1.2, label="local tempo of the beats")
    if result.raw_tempo is not None and result.raw_tempo != result.tempo:
        ax.axhline(result.raw_tempo, color="lime", linestyle="-.", linewidth=1.0,
                   label=f"raw tempogram peak {result.raw_tempo:.2f} BPM")
    for limit in (result.params.bpm_min, result.params.bpm_max):
        ax.axhline(limit, color="white", linestyle=":", linewidth=0.8, alpha=0.7)
    ax.set_ylim(float(bpm[0]) - step / 2, float(bpm[-1]) + step / 2)
    ax.legend(loc="upper right", fontsize="small")


def _draw_novelty(ax: Any, result: BeatAnalysis, t0: float, t1: float) -> None:
    ff = result.feature_rate
    # Novelty value k belongs to time (k + 1) / ff; one frame of margin each side.
    lo = max(0, int(np.floor(t0 * ff)) - 2)
    hi = min(len(result.novelty), int(np.ceil(t1 * ff)) + 1)
    frames = np.arange(lo, hi)
    ax.plot((frames + 1) / ff, result.novelty[lo:hi], color="tab:blue", linewidth=0.8, label="novelty")
    pulse = result.local_pulse
    if len(pulse):
        # The pulse is a sum of overlapping windows; scale it to the novelty's 0..1.
        top = float(np.max(pulse))
        p_hi = min(len(pulse), hi)
        if p_hi > lo:
            part = pulse[lo:p_hi] / top if top > 0 else pulse[lo:p_hi]
            ax.plot((np.arange(lo, p_hi) + 1) / ff, part, color="tab:green",
                    linewidth=0.9, alpha=0.8, label="local pulse (scaled)")
    inside = (result.beat_times >= t0) & (result.beat_times <= t1)
    if np.any(inside):
        ax.plot(result.beat_times[inside], result.novelty[result.beat_frames[inside]], "o",
                color="tab:red", markersize=4, label="beats")
    ax.set_ylabel("novelty")
    ax.set_xlabel("time (s)")
    ax.set_xlim(t0, t1)
    ax.legend(loc="upper right", fontsize="small")


def build_figure(audio: Audio, result: BeatAnalysis, excerpt_start: float | None = None,
                 tempograms: WholeTrackTempograms | None = None) -> Any:
    """The whole track on top (waveform envelope, tempogram), a zoomed
    excerpt below (waveform with beats; novelty, local pulse and beats),
    from ``excerpt_start`` seconds or from the middle of the track.
    ``tempograms``: the result's whole-track tempograms, where the report
    page shares them."""
    from matplotlib.figure import Figure

    audio = _waveform(audio)
    duration = audio.duration
    t0, t1 = excerpt_range(duration, start=excerpt_start)
    fig = Figure(figsize=(11, 10), dpi=100, layout="constrained")
    ax_all, ax_tg, ax_wave, ax_nov = fig.subplots(4, 1, height_ratios=(1, 1.4, 1, 1.2))

    if result.tempo is not None:
        headline = f"{result.tempo:.2f} BPM, {len(result.beat_times)} beats"
    elif result.tempo_warning == NO_STEADY_BEAT:
        headline = NO_STEADY_BEAT
    else:
        headline = "no onsets found"
    title = f"korvel beats: {os.path.basename(audio.label)} ({headline})"
    if result.tempo_warning and result.tempo_warning != NO_STEADY_BEAT:  # the headline says that
        title += f"\nwarning: {result.tempo_warning}"
    fig.suptitle(title)

    _draw_waveform(ax_all, audio, 0.0, duration)
    whole = " (here the whole track)" if t1 - t0 >= duration else ""
    ax_all.set_title(f"Whole track ({duration:.1f} s); shaded: the excerpt below{whole}")
    ax_all.axvspan(t0, t1, color="gold", alpha=0.35, linewidth=0)

    _draw_tempogram(ax_tg, result, duration, tempograms)
    ax_tg.set_xlim(0, duration)
    ax_tg.set_xlabel("time (s)")

    _draw_waveform(ax_wave, audio, t0, t1)
    beats = result.beat_times[(result.beat_times >= t0) & (result.beat_times <= t1)]
    if len(beats):
        ax_wave.vlines(beats, 0, 1, transform=ax_wave.get_xaxis_transform(), color="tab:red",
                       linewidth=0.9, alpha=0.7)
    ax_wave.set_title(f"Excerpt {t0:.1f}-{t1:.1f} s: waveform with beats")

    _draw_novelty(ax_nov, result, t0, t1)
    ax_nov.set_title("Excerpt: spectral novelty, predominant local pulse and beats")
    return fig


def draw_plot(path: str, fmt: str, audio: Audio, result: BeatAnalysis,
              excerpt_start: float | None = None, tempograms: WholeTrackTempograms | None = None) -> None:
    build_figure(audio, result, excerpt_start, tempograms).savefig(path, format=fmt)
