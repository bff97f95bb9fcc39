"""``korvel beats`` and ``korvel tempo``."""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from typing import Any, Sequence, Union

from .. import __version__, audio_io
from .._errors import KorvelError
from ..analysis import AnalysisError, BeatAnalysis, TempoCandidate, analyze
from ..audio_io import STDOUT, AudioInput, OutputSet, check_destination, demo_input
from ..options import PROG, add_analysis_options, analysis_params
from ..stream import FileAnalysis, analyze_file, keep_freed_memory, tempo_of_file
from .clicks import mix_clicks, write_streamed_clicks
from .plot import FileWaveform, draw_plot, plot_format

# A file is analysed as a stream (its samples never held whole); the demo clip in memory.
Source = Union[AudioInput, FileAnalysis]


class CliError(KorvelError):
    """A failure of a command itself, reported as one line."""


def warn(label: str, message: str | None) -> None:
    """A warning about one input, as one line on stderr."""
    if message:
        sys.stdout.flush()
        print(f"{PROG}: warning: {label}: {message}", file=sys.stderr, flush=True)


def tempo_fields(raw_tempo: float | None, candidates: Sequence[TempoCandidate],
                 warning: str | None) -> dict[str, Any]:
    """The tempo step's findings as JSON: the plain estimate, the candidates
    (best first) and the warnings."""
    return {
        "raw_tempo": raw_tempo,
        "tempo_candidates": [{"bpm": c.bpm, "confidence": c.confidence} for c in candidates],
        "warnings": [warning] if warning else [],
    }


def beats_document(audio: Source, result: BeatAnalysis) -> dict[str, Any]:
    return {
        "korvel_version": __version__,
        "input": audio.description,
        "tempo": result.tempo,
        **tempo_fields(result.raw_tempo, result.tempo_candidates, result.tempo_warning),
        "tempo_level": result.params.tempo_level,
        "beat_times": [round(float(t), 6) for t in result.beat_times],
        "feature_rate": result.feature_rate,
        "beat_period_frames": result.beat_period,
        "parameters": result.params.as_dict(),
    }


def _write_beats_outputs(args: argparse.Namespace, audio: Source, result: BeatAnalysis,
                         plot_fmt: str | None, audio_fmt: str | None) -> list[str]:
    written: list[str] = []
    with OutputSet() as outputs:
        if args.json:
            doc = beats_document(audio, result)
            outputs.stage(args.json, lambda tmp: audio_io.write_json(tmp, doc))
            if args.json != STDOUT:
                written.append(f"wrote {args.json} (JSON)")
        if args.plot:
            assert plot_fmt is not None
            shown = FileWaveform(audio) if isinstance(audio, FileAnalysis) else audio
            outputs.stage(args.plot, lambda tmp: draw_plot(tmp, plot_fmt, shown, result))
            written.append(f"wrote {args.plot} (plot)")
        if args.clicks:
            assert audio_fmt is not None
            if isinstance(audio, FileAnalysis):
                peak, path = audio.summary.peak, audio.path
                outputs.stage(args.clicks,
                              lambda tmp: write_streamed_clicks(tmp, audio_fmt, path, result, peak))
            else:
                mixed = mix_clicks(audio, result)
                outputs.stage(args.clicks,
                              lambda tmp: audio_io.write_audio(tmp, mixed, audio.sample_rate, audio_fmt))
            written.append(f"wrote {args.clicks} (input with clicks on the beats)")
    return written


def _same_file(a: str, b: str) -> bool:
    return os.path.exists(a) and os.path.exists(b) and os.path.samefile(a, b)


def cmd_beats(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    params = analysis_params(args, parser)
    outputs = (("--json", args.json), ("--plot", args.plot), ("--clicks", args.clicks))
    # Check everything the outputs need before the (possibly long) analysis.
    for option, path in outputs:
        if path:
            check_destination(path, option, stdout_ok=option == "--json")
    plot_fmt = plot_format(args.plot) if args.plot else None
    audio_fmt = audio_io.audio_format(args.clicks, "--clicks") if args.clicks else None
    # With the JSON on stdout, stdout carries nothing else: the report goes to stderr.
    report = sys.stderr if args.json == STDOUT else sys.stdout
    if args.audio is not None:
        for option, path in outputs:
            if path and path != STDOUT and _same_file(path, args.audio):
                raise CliError(f"{option} {path} would overwrite the input file", 2)
    audio: Source
    keep_freed_memory()
    try:
        if args.audio is not None:
            audio = analyze_file(args.audio, params, envelope=bool(args.plot or args.clicks))
            result = audio.result()
        else:
            audio = demo_input()
            print(f"No AUDIO given: analysing the {audio.description['description']}.", file=report)
            result = analyze(audio.mono, audio.sample_rate, params)
    except AnalysisError as exc:
        raise CliError(f"{args.audio if args.audio is not None else 'demo clip'}: {exc}") from None

    print(f"input: {audio.label} ({audio.sample_rate} Hz, {audio.channels} channel"
          f"{'s' if audio.channels != 1 else ''}, {audio.duration:.2f} s)", file=report)
    if result.tempo is None:
        print("no beats: the audio has no onsets (silent or never getting louder)", file=report)
    else:
        raw = (f" (raw tempogram peak {result.raw_tempo:.2f})"
               if result.raw_tempo is not None and result.raw_tempo != result.tempo else "")
        print(f"tempo: {result.tempo:.2f} BPM{raw}", file=report)
        print(f"beats: {len(result.beat_times)} (times in seconds)", file=report)
        times = " ".join(f"{t:.3f}" for t in result.beat_times)
        print(textwrap.fill(times, width=78, initial_indent="  ", subsequent_indent="  "), file=report)
    warn(audio.label, result.tempo_warning)
    for line in _write_beats_outputs(args, audio, result, plot_fmt, audio_fmt):
        print(line, file=report)
    return 0


def cmd_tempo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    params = analysis_params(args, parser)
    status = 0
    keep_freed_memory()
    for path in args.audio:
        try:
            try:
                est = tempo_of_file(path, params)
            except AnalysisError as exc:
                raise CliError(f"{path}: {exc}") from None
        except KorvelError as exc:
            sys.stdout.flush()
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            status = max(status, exc.code)
            continue
        print(f"{path}: " + (f"{est.tempo:.2f} BPM" if est.tempo is not None else "no tempo (no onsets)"))
        warn(path, est.warning)
    return status


def register(sub: Any) -> None:
    """Add ``beats`` and ``tempo`` to the ``korvel`` command's subparsers."""
    beats = sub.add_parser(
        "beats", help="tempo and beat times of one file (or of the built-in demo)",
        description="Estimate the tempo, track the beats and print their times. "
                    "Without AUDIO, a built-in demo clip is analysed.")
    beats.add_argument("audio", nargs="?", metavar="AUDIO",
                       help="audio file (WAV, FLAC, OGG, MP3, ...); stereo is mixed to mono")
    beats.add_argument("--plot", metavar="OUT.png",
                       help="draw the whole track (waveform, tempogram) and a zoomed excerpt "
                            "(waveform, novelty, local pulse, beats)")
    beats.add_argument("--clicks", metavar="OUT.wav", help="write the input with a click on every beat")
    beats.add_argument("--json", metavar="OUT.json",
                       help="write tempo, tempo candidates, warnings, beats, parameters and input "
                            "details; '-' writes them to stdout (the report then goes to stderr)")
    add_analysis_options(beats, with_lmbda=True)
    beats.set_defaults(run=cmd_beats, parser=beats)

    tempo_p = sub.add_parser("tempo", help="estimated tempo of each file, one line each",
                             description="Print the estimated tempo of each file.")
    tempo_p.add_argument("audio", nargs="+", metavar="AUDIO", help="audio files")
    add_analysis_options(tempo_p, with_lmbda=False)
    tempo_p.set_defaults(run=cmd_tempo, parser=tempo_p)
