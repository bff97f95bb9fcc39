"""The ``--plot`` figure of ``korvel beats``; matplotlib is imported only here."""

from __future__ import annotations

import os

import numpy as np

from .._errors import need
from ..analysis import BeatAnalysis, fourier_tempogram
from ..audio_io import AudioInput, OutputError, extension


def plot_format(path: str) -> str:
    """The matplotlib format that the extension of ``path`` names."""
    need("matplotlib", "--plot", "cli")
    from matplotlib.figure import Figure

    ext = extension(path)
    if ext not in Figure().canvas.get_supported_filetypes():
        raise OutputError(f"--plot {path}: cannot draw a '.{ext}' file (use .png, .svg or .pdf)")
    return ext


def draw_plot(path: str, fmt: str, audio: AudioInput, result: BeatAnalysis) -> None:
    """Waveform with beats; novelty with beats and local pulse; tempogram."""
    from matplotlib.figure import Figure

    mono = audio.frames.mean(axis=1, dtype=np.float64)
    duration = audio.duration
    fig = Figure(figsize=(11, 8.5), dpi=100, layout="constrained")
    ax_wave, ax_nov, ax_tg = fig.subplots(3, 1, sharex=True)

    if result.tempo is not None:
        headline = f"{result.tempo:.2f} BPM, {len(result.beat_times)} beats"
    else:
        headline = "no onsets found"
    fig.suptitle(f"korvel beats: {os.path.basename(audio.label)} ({headline})")

    t = np.arange(len(mono)) / audio.sample_rate
    ax_wave.plot(t, mono, color="0.35", linewidth=0.5)
    for bt in result.beat_times:
        ax_wave.axvline(bt, color="tab:red", linewidth=0.9, alpha=0.7)
    ax_wave.set_title("Waveform (mono mix) with beats")
    ax_wave.set_ylabel("amplitude")

    nov_t = result.frame_times(len(result.novelty))
    ax_nov.plot(nov_t, result.novelty, color="tab:blue", linewidth=0.8, label="novelty")
    if len(result.local_pulse):
        # The pulse is a sum of overlapping windows; scale it to the novelty's 0..1.
        pulse = result.local_pulse
        top = float(np.max(pulse))
        scaled = pulse / top if top > 0 else pulse
        ax_nov.plot(result.frame_times(len(pulse)), scaled, color="tab:green",
                    linewidth=0.9, alpha=0.8, label="local pulse (scaled)")
    if result.has_beats:
        ax_nov.plot(result.beat_times, result.novelty[result.beat_frames], "o",
                    color="tab:red", markersize=4, label="beats")
    ax_nov.set_title("Spectral novelty, predominant local pulse and beats")
    ax_nov.set_ylabel("novelty")
    ax_nov.legend(loc="upper right", fontsize="small")

    ax_tg.set_title("Fourier tempogram (dotted: tempo range searched)")
    ax_tg.set_ylabel("tempo (BPM)")
    ax_tg.set_xlabel("time (s)")
    if result.tempo is not None:
        tg = fourier_tempogram(result.novelty, result.feature_rate)
        # Below ~30 BPM sits the curve's mean (row 0) and its slow drift, which
        # would swamp the colour scale; the top shows the first harmonics.
        top_bpm = min(float(tg.bpm[-1]), max(300.0, 1.25 * result.params.bpm_max))
        rows = (tg.bpm >= 30.0) & (tg.bpm <= top_bpm)
        # Each tempogram frame is drawn from halfway to its neighbours; the
        # outer ones reach the ends of the clip.
        mid = (tg.times[1:] + tg.times[:-1]) / 2
        x_edges = np.concatenate(([0.0], mid, [max(duration, float(tg.times[-1]))]))
        bpm = tg.bpm[rows]
        step = float(bpm[1] - bpm[0]) if len(bpm) > 1 else 1.0
        y_edges = np.concatenate((bpm - step / 2, [bpm[-1] + step / 2]))
        ax_tg.pcolormesh(x_edges, y_edges, tg.magnitude[rows], cmap="magma", shading="flat",
                         rasterized=True)
        ax_tg.axhline(result.tempo, color="cyan", linestyle="--", linewidth=1.2,
                      label=f"estimated tempo {result.tempo:.2f} BPM")
        for limit in (result.params.bpm_min, result.params.bpm_max):
            ax_tg.axhline(limit, color="white", linestyle=":", linewidth=0.8, alpha=0.7)
        ax_tg.set_ylim(float(y_edges[0]), float(y_edges[-1]))
        ax_tg.legend(loc="upper right", fontsize="small")
    else:
        ax_tg.text(0.5, 0.5, "no onsets found", transform=ax_tg.transAxes, ha="center", va="center")
    ax_tg.set_xlim(0, duration)
    fig.savefig(path, format=fmt)
