"""The ``korvel`` command: tempo and beats of audio files from the shell.

    korvel beats [AUDIO] [--plot OUT.png] [--clicks OUT.wav] [--json OUT.json]
    korvel tempo AUDIO...

Audio is read with soundfile and plots are drawn with matplotlib; both are
optional extras (``pip install 'korvel[cli]'``) and imported only when needed,
so the core package keeps NumPy as its only dependency.

Every failure ends in one line on stderr and a non-zero exit status (2 for
bad options, 1 for everything else).  Output files are written to a temporary
file beside their destination and renamed into place only once all of them
are complete, so a failed run leaves nothing behind.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import json
import math
import os
import sys
import tempfile
import textwrap
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any, Callable, Iterator, NoReturn, Sequence

import numpy as np
import numpy.typing as npt

from . import __version__
from .analysis import AnalysisError, AnalysisParams, BeatAnalysis, analyze, fourier_tempogram, tempo
from .demo import demo_clip
from .pulsix import make_clicks

PROG = "korvel"
INSTALL_HINT = "pip install 'korvel[cli]'"


class CliError(Exception):
    """A failure to report as one line; ``code`` is the exit status."""

    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(message)
        self.code = code


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before its error; one line with a
    # pointer to --help is easier to read in a terminal and in logs.
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _need(module: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError(f"{purpose} needs the '{module}' package; install it with: {INSTALL_HINT}")


# ---------------------------------------------------------------- input


@dataclass
class AudioInput:
    """An audio signal as read, plus a description for reports and JSON."""

    frames: npt.NDArray[np.floating[Any]]
    """[num_frames, channels]"""
    sample_rate: int
    path: str | None
    description: dict[str, Any] = field(default_factory=dict)

    @property
    def label(self) -> str:
        return self.path if self.path is not None else "demo clip"

    @property
    def duration(self) -> float:
        return len(self.frames) / self.sample_rate


@contextlib.contextmanager
def _quiet_native_stderr() -> Iterator[None]:
    """Silence file descriptor 2 for a while: some decoders behind libsndfile
    print notes about damaged data straight to it, around our own message."""
    try:
        fd = sys.stderr.fileno()
    except (AttributeError, OSError, ValueError):
        yield
        return
    sys.stderr.flush()
    saved = os.dup(fd)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), fd)
        yield
    finally:
        os.dup2(saved, fd)
        os.close(saved)


def load_audio(path: str) -> AudioInput:
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not an audio file")
    sf = _need("soundfile", "reading audio files")
    try:
        with _quiet_native_stderr():
            info = sf.info(path)
            # float32 holds 16- and 24-bit samples exactly at half the memory;
            # the mono mix for the analysis is made in float64.
            data, fs = sf.read(path, dtype="float32", always_2d=True)
    except Exception as exc:  # libsndfile reports every kind of bad file its own way
        reason = getattr(exc, "error_string", None) or str(exc) or type(exc).__name__
        if "does not exist" in reason:
            # What libsndfile says when no decoder accepts the bytes of a file
            # that plainly does exist.
            reason = "format not recognised, or the file is damaged"
        raise CliError(f"{path}: cannot read as audio ({reason.rstrip('.')})") from None
    desc = {
        "path": path,
        "format": info.format,
        "subtype": info.subtype,
        "sample_rate": int(fs),
        "channels": int(data.shape[1]),
        "frames": int(data.shape[0]),
        "duration": data.shape[0] / fs,
    }
    return AudioInput(frames=data, sample_rate=int(fs), path=path, description=desc)


def demo_input() -> AudioInput:
    clip = demo_clip()
    desc = {
        "path": None,
        "demo": {"bpm": clip.bpm, "beat_times": [round(float(t), 6) for t in clip.beat_times]},
        "description": clip.describe(),
        "sample_rate": clip.sample_rate,
        "channels": 1,
        "frames": len(clip.samples),
        "duration": clip.duration,
    }
    return AudioInput(frames=clip.samples[:, None], sample_rate=clip.sample_rate, path=None, description=desc)


# ---------------------------------------------------------------- output


class OutputSet:
    """Stage output files next to their destinations; rename all or none."""

    def __init__(self) -> None:
        self._staged: list[tuple[str, str]] = []

    def stage(self, dest: str, write: Callable[[str], None]) -> None:
        directory = os.path.dirname(os.path.abspath(dest))
        fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(dest)}.", suffix=".part", dir=directory)
        os.close(fd)
        self._staged.append((tmp, dest))
        write(tmp)
        # mkstemp creates the file private; give it the permissions a plain
        # open() would have.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)

    def commit(self) -> None:
        for tmp, dest in self._staged:
            os.replace(tmp, dest)
        self._staged = []

    def discard(self) -> None:
        for tmp, _ in self._staged:
            try:
                os.unlink(tmp)
            except OSError:
                pass
        self._staged = []


def _check_destination(path: str, option: str) -> None:
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise CliError(f"{option} {path}: is a directory", 2)
    if not os.path.isdir(directory):
        raise CliError(f"{option} {path}: directory {directory} does not exist", 2)
    if not os.access(directory, os.W_OK):
        raise CliError(f"{option} {path}: directory {directory} is not writable", 2)


def _extension(path: str) -> str:
    return os.path.splitext(path)[1].lstrip(".").lower()


def _audio_format(path: str) -> str:
    sf = _need("soundfile", "--clicks")
    ext = _extension(path)
    fmt = ext.upper()
    if fmt not in sf.available_formats():
        raise CliError(f"--clicks {path}: cannot write audio as '.{ext}' (use .wav, .flac or .ogg)", 2)
    return fmt


def _plot_format(path: str) -> str:
    _need("matplotlib", "--plot")
    from matplotlib.figure import Figure

    ext = _extension(path)
    if ext not in Figure().canvas.get_supported_filetypes():
        raise CliError(f"--plot {path}: cannot draw a '.{ext}' file (use .png, .svg or .pdf)", 2)
    return ext


# ---------------------------------------------------------------- clicks


def click_sound(sample_rate: int) -> npt.NDArray[np.float64]:
    """A 25 ms, 1.5 kHz ping: short and bright, easy to hear over most music."""
    t = np.arange(int(0.025 * sample_rate)) / sample_rate
    return np.sin(2 * np.pi * 1500.0 * t) * np.exp(-t / 0.006)


def mix_clicks(audio: AudioInput, result: BeatAnalysis) -> npt.NDArray[np.float64]:
    """The input, every channel, with a click on each beat; peak at most 0.99."""
    frames = audio.frames
    n = len(frames)
    ref = float(np.max(np.abs(frames))) if frames.size else 0.0
    ref = ref if ref > 0 else 0.5
    if result.has_beats:
        track = make_clicks(result.beat_samples, n, click_sound(audio.sample_rate))
    else:
        track = np.zeros(n)
    mixed = frames + (0.8 * ref) * track[:, None]
    peak = float(np.max(np.abs(mixed))) if mixed.size else 0.0
    if peak > 0.99:
        mixed *= 0.99 / peak
    return mixed


def _write_audio(path: str, data: npt.NDArray[np.float64], sample_rate: int, fmt: str) -> None:
    sf = _need("soundfile", "--clicks")
    sf.write(path, data, sample_rate, format=fmt)


# ---------------------------------------------------------------- plot


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


# ---------------------------------------------------------------- commands


def whole_number(text: str, rule: str = "must be a positive number of samples") -> int:
    """An argparse type: an integer of at least 1 (`rule` says what it is)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got '{text}'") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{rule}, got {value}")
    return value


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got '{text}'")
    return value


def _params(args: argparse.Namespace, parser: argparse.ArgumentParser) -> AnalysisParams:
    params = AnalysisParams(
        fft_len=args.fft_len,
        hop=args.hop,
        gamma=args.gamma,
        bpm_min=args.bpm_min,
        bpm_max=args.bpm_max,
        lmbda=getattr(args, "lmbda", AnalysisParams.lmbda),
    )
    try:
        params.validate()
    except AnalysisError as exc:
        parser.error(str(exc))
    return params


def _write_beats_outputs(args: argparse.Namespace, audio: AudioInput, result: BeatAnalysis,
                         plot_fmt: str | None, audio_fmt: str | None) -> list[str]:
    outputs = OutputSet()
    written: list[str] = []
    try:
        if args.json:
            doc = beats_document(audio, result)
            outputs.stage(args.json, lambda tmp: _write_text(tmp, json.dumps(doc, indent=2) + "\n"))
            written.append(f"wrote {args.json} (JSON)")
        if args.plot:
            assert plot_fmt is not None
            outputs.stage(args.plot, lambda tmp: draw_plot(tmp, plot_fmt, audio, result))
            written.append(f"wrote {args.plot} (plot)")
        if args.clicks:
            assert audio_fmt is not None
            mixed = mix_clicks(audio, result)
            outputs.stage(args.clicks, lambda tmp: _write_audio(tmp, mixed, audio.sample_rate, audio_fmt))
            written.append(f"wrote {args.clicks} (input with clicks on the beats)")
        outputs.commit()
    except BaseException:
        outputs.discard()
        raise
    return written


def _write_text(path: str, text: str) -> None:
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(text)


def beats_document(audio: AudioInput, result: BeatAnalysis) -> dict[str, Any]:
    return {
        "korvel_version": __version__,
        "input": audio.description,
        "tempo": result.tempo,
        "beat_times": [round(float(t), 6) for t in result.beat_times],
        "feature_rate": result.feature_rate,
        "beat_period_frames": result.beat_period,
        "parameters": result.params.as_dict(),
    }


def cmd_beats(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    params = _params(args, parser)
    # Check everything the outputs need before the (possibly long) analysis.
    for option, path in (("--json", args.json), ("--plot", args.plot), ("--clicks", args.clicks)):
        if path:
            _check_destination(path, option)
    plot_fmt = _plot_format(args.plot) if args.plot else None
    audio_fmt = _audio_format(args.clicks) if args.clicks else None
    if args.audio is not None:
        for option, path in (("--json", args.json), ("--plot", args.plot), ("--clicks", args.clicks)):
            if path and os.path.exists(args.audio) and os.path.exists(path) and os.path.samefile(path, args.audio):
                raise CliError(f"{option} {path} would overwrite the input file", 2)
        audio = load_audio(args.audio)
    else:
        audio = demo_input()
        print(f"No AUDIO given: analysing the {audio.description['description']}.")

    try:
        result = analyze(audio.frames, audio.sample_rate, params)
    except AnalysisError as exc:
        raise CliError(f"{audio.label}: {exc}") from None

    print(f"input: {audio.label} ({audio.sample_rate} Hz, {audio.frames.shape[1]} channel"
          f"{'s' if audio.frames.shape[1] != 1 else ''}, {audio.duration:.2f} s)")
    if result.tempo is None:
        print("no beats: the audio has no onsets (silent or never getting louder)")
    else:
        print(f"tempo: {result.tempo:.2f} BPM")
        print(f"beats: {len(result.beat_times)} (times in seconds)")
        times = " ".join(f"{t:.3f}" for t in result.beat_times)
        print(textwrap.fill(times, width=78, initial_indent="  ", subsequent_indent="  "))
    for line in _write_beats_outputs(args, audio, result, plot_fmt, audio_fmt):
        print(line)
    return 0


def cmd_tempo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    params = _params(args, parser)
    status = 0
    for path in args.audio:
        try:
            audio = load_audio(path)
            try:
                bpm = tempo(audio.frames, audio.sample_rate, params)
            except AnalysisError as exc:
                raise CliError(f"{path}: {exc}") from None
        except CliError as exc:
            sys.stdout.flush()
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            status = max(status, exc.code)
            continue
        print(f"{path}: " + (f"{bpm:.2f} BPM" if bpm is not None else "no tempo (no onsets)"))
    return status


def _add_analysis_options(p: argparse.ArgumentParser, with_lmbda: bool) -> None:
    d = AnalysisParams()
    g = p.add_argument_group("analysis")
    g.add_argument("--fft-len", type=whole_number, default=None, metavar="N",
                   help="spectrogram window and FFT length in samples (default: 2 * hop)")
    g.add_argument("--hop", type=whole_number, default=None, metavar="N",
                   help="spectrogram hop in samples (default: about 23 ms as a power of two, "
                        "512 at 22.05 kHz, 1024 at 44.1/48 kHz)")
    g.add_argument("--gamma", type=_number, default=d.gamma,
                   help=f"logarithmic compression of the spectrogram (default: {d.gamma:g})")
    g.add_argument("--bpm-min", type=_number, default=d.bpm_min, metavar="BPM",
                   help=f"lowest tempo considered (default: {d.bpm_min:g})")
    g.add_argument("--bpm-max", type=_number, default=d.bpm_max, metavar="BPM",
                   help=f"tempo limit, exclusive (default: {d.bpm_max:g})")
    if with_lmbda:
        g.add_argument("--lmbda", type=_number, default=d.lmbda, metavar="W",
                       help="how strongly beat intervals are held to the tempo "
                            f"(default: {d.lmbda:g})")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Tempo and beat tracking for audio files.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    beats = sub.add_parser(
        "beats", help="tempo and beat times of one file (or of the built-in demo)",
        description="Estimate the tempo, track the beats and print their times. "
                    "Without AUDIO, a built-in demo clip is analysed.")
    beats.add_argument("audio", nargs="?", metavar="AUDIO",
                       help="audio file (WAV, FLAC, OGG, MP3, ...); stereo is mixed to mono")
    beats.add_argument("--plot", metavar="OUT.png",
                       help="draw waveform, novelty, local pulse and tempogram")
    beats.add_argument("--clicks", metavar="OUT.wav", help="write the input with a click on every beat")
    beats.add_argument("--json", metavar="OUT.json", help="write tempo, beats, parameters and input details")
    _add_analysis_options(beats, with_lmbda=True)
    beats.set_defaults(run=cmd_beats, parser=beats)

    tempo_p = sub.add_parser("tempo", help="estimated tempo of each file, one line each",
                             description="Print the estimated tempo of each file.")
    tempo_p.add_argument("audio", nargs="+", metavar="AUDIO", help="audio files")
    _add_analysis_options(tempo_p, with_lmbda=False)
    tempo_p.set_defaults(run=cmd_tempo, parser=tempo_p)

    from . import batch  # cheap: Dask and pyarrow load only when a batch runs
    batch.register(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.run(args, args.parser)
        sys.stdout.flush()
        return code
    except CliError as exc:
        sys.stdout.flush()
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return exc.code
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `korvel beats | head`); nothing to report.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as exc:
        print(f"{PROG}: error: {exc.filename or ''}{': ' if exc.filename else ''}{exc.strerror or exc}",
              file=sys.stderr)
        return 1
    except Exception as exc:  # a bug of ours: still one line, but say what it was
        print(f"{PROG}: error: unexpected {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
