"""``korvel beats`` and ``korvel tempo``."""

from __future__ import annotations

import argparse
import math
import os
import sys
import textwrap
from typing import Any, Sequence, TextIO, Union

from .. import __version__, audio_io
from .._errors import KorvelError, need
from ..analysis import NO_STEADY_BEAT, AnalysisError, AnalysisParams, BeatAnalysis, TempoCandidate, analyze, usable_hops
from ..audio_io import STDOUT, AudioInput, OutputError, OutputSet, check_destination, demo_input, extension
from ..audio_io import _quiet_native_stderr as quiet_native_stderr
from ..options import PROG, add_analysis_options, analysis_params, seconds
from ..report.html import WholeTrackTempograms
from ..stream import FileAnalysis, analyze_file, keep_freed_memory, tempo_of_file
from .clicks import mix_clicks, write_streamed_clicks
from .plot import FileWaveform, draw_plot, plot_format

# A file is analysed as a stream (its samples never held whole); the demo clip in memory.
Source = Union[AudioInput, FileAnalysis]


class CliError(KorvelError):
    """A failure of a command itself, reported as one line."""


def print_error(message: str, flush_stdout: bool = True) -> None:
    """A failure, as the one line ``korvel: error: ...`` on stderr, after
    what the command printed before it (``flush_stdout``; not when stdout
    itself is what failed)."""
    if flush_stdout:
        sys.stdout.flush()
    print(f"{PROG}: error: {message}", file=sys.stderr)


def silence_stdout() -> None:
    """Point stdout at the null device, once its reader has gone away, so that
    what is still printed (or still buffered) is dropped instead of failing."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


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


def tempo_curve_fields(result: BeatAnalysis) -> dict[str, Any]:
    """The local tempo of the beats and how steady the onsets are, as JSON."""
    return {
        "tempo_curve": {"times": [round(float(t), 6) for t in result.tempo_curve_times],
                        "bpm": [round(float(b), 4) for b in result.tempo_curve_bpm]},
        "steadiness": result.steadiness,
    }


def beats_document(audio: Source, result: BeatAnalysis) -> dict[str, Any]:
    return {
        "korvel_version": __version__,
        "input": audio.description,
        "tempo": result.tempo,
        **tempo_fields(result.raw_tempo, result.tempo_candidates, result.tempo_warning),
        "tempo_level": result.params.tempo_level,
        **tempo_curve_fields(result),
        "beat_times": [round(float(t), 6) for t in result.beat_times],
        "feature_rate": result.feature_rate,
        "beat_period_frames": result.beat_period,
        "parameters": result.params.as_dict(),
    }


def _write_beats_outputs(args: argparse.Namespace, audio: Source, result: BeatAnalysis,
                         plot_fmt: str | None, audio_fmt: str | None) -> list[str]:
    written: list[str] = []
    # The plot and the page draw the same whole-track tempogram: made once for both.
    tempograms = WholeTrackTempograms(result)
    with OutputSet() as outputs:
        if args.json:
            doc = beats_document(audio, result)
            outputs.stage(args.json, lambda tmp: audio_io.write_json(tmp, doc))
            if args.json != STDOUT:
                written.append(f"wrote {args.json} (JSON)")
        if args.plot:
            assert plot_fmt is not None
            shown = FileWaveform(audio) if isinstance(audio, FileAnalysis) else audio
            outputs.stage(args.plot,
                          lambda tmp: draw_plot(tmp, plot_fmt, shown, result, args.excerpt, tempograms))
            written.append(f"wrote {args.plot} (plot)")
        if getattr(args, "html", None):
            outputs.stage(args.html, lambda tmp: write_report(tmp, audio, result, args.excerpt, tempograms))
            written.append(f"wrote {args.html} (report page)")
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


def audio_shape(path: str) -> tuple[int, int] | None:
    """Sample rate and length in frames of an audio file, from its header;
    None when the header cannot be read (reading the file says why)."""
    sf = need("soundfile", "reading audio files", "cli")
    try:
        with quiet_native_stderr():  # decoders' notes about damaged data
            info = sf.info(path)
        return int(info.samplerate), int(info.frames)
    except Exception:  # any failure here is reported by the read itself
        return None


def check_before_analysis(args: argparse.Namespace, params: AnalysisParams, label: str,
                          sample_rate: int, frames: int) -> None:
    """Refuse what this audio shows to be unusable, before the analysis: a
    given ``--hop`` that cannot give a meaningful tempo (the message names
    the hops that can), an ``--excerpt`` past the end."""
    duration = frames / sample_rate
    if args.hop is not None:
        check_hop(args.hop, params, label, sample_rate, frames)
    excerpt = getattr(args, "excerpt", None)
    if excerpt is not None and excerpt >= duration:
        raise CliError(f"--excerpt {excerpt:g}: {label} is only {duration:.2f} s long", 2)


def check_hop(hop: int, params: AnalysisParams, label: str, sample_rate: int, frames: int) -> None:
    lowest, highest = usable_hops(params, sample_rate, frames)
    if lowest <= hop <= highest:
        return
    usable = "no hop can" if lowest > highest else f"usable: --hop {lowest} to {highest}"
    if hop < lowest:
        why = (f"at {sample_rate} Hz its novelty frames are too short for the tempogram "
               f"to resolve {params.bpm_min:g}-{params.bpm_max:g} BPM")
    elif hop > math.ceil(30.0 * sample_rate / params.bpm_max) - 1:
        why = f"at {sample_rate} Hz its novelty rate cannot show tempi up to {params.bpm_max:g} BPM"
    else:
        why = f"it leaves too few novelty frames in {frames / sample_rate:.3f} s of audio"
    raise CliError(f"--hop {hop}: {label}: {why} ({usable})", 2)


def report_format(path: str) -> None:
    """The report page needs soundfile (to compress the audio) and an .html name."""
    need("soundfile", "--html", "cli")
    if extension(path) not in ("html", "htm"):
        raise OutputError(f"--html {path}: the report is an HTML page; name it .html")


def write_report(path: str, audio: Source, result: BeatAnalysis, excerpt: float | None,
                 tempograms: WholeTrackTempograms | None = None) -> None:
    from ..report import write_page

    if audio.path is not None:
        source = (f"{audio.description.get('format', '')} {audio.sample_rate} Hz, {audio.channels} "
                  f"channel{'s' if audio.channels != 1 else ''}").strip()
    else:
        source = audio.description.get("description", "demo clip")
    # A file is read again, block by block: the page needs no copy of its samples.
    write_page(path, audio.path if audio.path is not None else audio.mono, audio.sample_rate, result,
               title=os.path.basename(audio.label), source=source, start=excerpt, tempograms=tempograms)


def _same_file(a: str, b: str) -> bool:
    return os.path.exists(a) and os.path.exists(b) and os.path.samefile(a, b)


def _print_result(args: argparse.Namespace, audio: Source, result: BeatAnalysis, report: TextIO) -> None:
    if not args.quiet:
        print(f"input: {audio.label} ({audio.sample_rate} Hz, {audio.channels} channel"
              f"{'s' if audio.channels != 1 else ''}, {audio.duration:.2f} s)", file=report)
    if result.tempo is None and result.tempo_warning == NO_STEADY_BEAT:
        print(f"no beats: {NO_STEADY_BEAT}", file=report)
    elif result.tempo is None:
        print("no beats: the audio has no onsets (silent or never getting louder)", file=report)
    else:
        raw = (f" (raw tempogram peak {result.raw_tempo:.2f})"
               if result.raw_tempo is not None and result.raw_tempo != result.tempo else "")
        print(f"tempo: {result.tempo:.2f} BPM{raw}", file=report)
        if not args.quiet:
            if len(result.tempo_curve_bpm):
                print(f"local tempo: {float(min(result.tempo_curve_bpm)):.2f}-"
                      f"{float(max(result.tempo_curve_bpm)):.2f} BPM", file=report)
            count = len(result.beat_times)
            print(f"beats: {count} (time{'s' if count != 1 else ''} in seconds)", file=report)
            times = " ".join(f"{t:.3f}" for t in result.beat_times)
            print(textwrap.fill(times, width=78, initial_indent="  ", subsequent_indent="  "),
                  file=report)
    if result.tempo_warning != NO_STEADY_BEAT:  # said above, in the one line
        warn(audio.label, result.tempo_warning)


def cmd_beats(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    params = analysis_params(args, parser)
    outputs = (("--json", args.json), ("--plot", args.plot), ("--clicks", args.clicks),
               ("--html", args.html))
    if args.excerpt is not None and not (args.plot or args.html):
        parser.error("--excerpt places the excerpt of --plot or --html; give one of them")
    # Check everything the outputs need before the (possibly long) analysis.
    for option, path in outputs:
        if path:
            check_destination(path, option, stdout_ok=option == "--json")
    plot_fmt = plot_format(args.plot) if args.plot else None
    audio_fmt = audio_io.audio_format(args.clicks, "--clicks") if args.clicks else None
    if args.html:
        report_format(args.html)
    # With the JSON on stdout, stdout carries nothing else: the report goes to stderr.
    report = sys.stderr if args.json == STDOUT else sys.stdout
    if args.audio is not None:
        for option, path in outputs:
            if path and path != STDOUT and _same_file(path, args.audio):
                raise CliError(f"{option} {path} would overwrite the input file", 2)
        shape = audio_shape(args.audio)
        if shape is not None:
            check_before_analysis(args, params, args.audio, *shape)
    else:
        demo = demo_input()
        if not args.quiet:
            print(f"No AUDIO given: analysing the {demo.description['description']}.", file=report)
        check_before_analysis(args, params, demo.label, demo.sample_rate, len(demo.mono))
    audio: Source
    keep_freed_memory()
    try:
        if args.audio is not None:
            audio = analyze_file(args.audio, params, envelope=bool(args.plot or args.clicks))
            result = audio.result()
        else:
            audio = demo
            result = analyze(audio.mono, audio.sample_rate, params)
    except AnalysisError as exc:
        raise CliError(f"{args.audio if args.audio is not None else 'demo clip'}: {exc}") from None

    try:
        _print_result(args, audio, result, report)
        reader_gone = False
    except BrokenPipeError:
        if report is not sys.stdout:
            raise
        # The reader of the report went away (`korvel beats ... | head`): the
        # files asked for are still written, and the run still ends as a broken pipe.
        silence_stdout()
        reader_gone = True
    for line in _write_beats_outputs(args, audio, result, plot_fmt, audio_fmt):
        if not args.quiet:
            print(line, file=report)
    if reader_gone:
        raise BrokenPipeError
    return 0


def cmd_tempo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    params = analysis_params(args, parser)
    status = 0
    keep_freed_memory()
    for path in args.audio:
        try:
            shape = audio_shape(path)
            if shape is not None:
                check_before_analysis(args, params, path, *shape)
            est = tempo_of_file(path, params)
        except KorvelError as exc:
            print_error(str(exc))
            status = max(status, exc.code)
            continue
        except AnalysisError as exc:
            print_error(f"{path}: {exc}")
            status = max(status, 1)
            continue
        if est.tempo is not None:
            print(f"{path}: {est.tempo:.2f} BPM")
        elif est.warning == NO_STEADY_BEAT:
            print(f"{path}: no tempo ({NO_STEADY_BEAT})")
            continue
        else:
            print(f"{path}: no tempo (no onsets)")
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
    beats.add_argument("--html", metavar="OUT.html",
                       help="write one self-contained page to check the result by ear and eye: the "
                            "music with clicks on the beats, waveform, novelty, local pulse, "
                            "tempogram, candidates and warnings (works offline in a browser)")
    beats.add_argument("--excerpt", type=seconds, default=None, metavar="START",
                       help="start the zoomed excerpt of --plot (and the first view of --html) "
                            "at START seconds (default: the middle of the track)")
    beats.add_argument("-q", "--quiet", action="store_true",
                       help="print only the tempo line (and warnings), not the beat times")
    beats.add_argument("--json", metavar="OUT.json",
                       help="write tempo, tempo candidates, warnings, local tempo, beats, parameters "
                            "and input details; '-' writes them to stdout (the report then goes "
                            "to stderr)")
    add_analysis_options(beats, with_lmbda=True)
    beats.set_defaults(run=cmd_beats, parser=beats)

    tempo_p = sub.add_parser("tempo", help="estimated tempo of each file, one line each",
                             description="Print the estimated tempo of each file.")
    tempo_p.add_argument("audio", nargs="+", metavar="AUDIO", help="audio files")
    add_analysis_options(tempo_p, with_lmbda=False)
    tempo_p.set_defaults(run=cmd_tempo, parser=tempo_p)
