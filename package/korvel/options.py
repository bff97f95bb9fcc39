"""Option types and analysis options shared by the ``korvel`` commands.

Kept apart from the command-line entry point so that a subcommand (and its
library) can use them without importing the rest of the command.
"""

from __future__ import annotations

import argparse
import math

from .analysis import OPTION_NAMES, TEMPO_LEVELS, AnalysisError, AnalysisParams, check_params

PROG = "korvel"


def whole_number(text: str, rule: str = "must be a positive number of samples") -> int:
    """An argparse type: an integer of at least 1 (`rule` says what it is)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got '{text}'") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{rule}, got {value}")
    return value


def _float(text: str, what: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected {what}, got '{text}'") from None


def number(text: str) -> float:
    """An argparse type: any finite number."""
    value = _float(text, "a number")
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got '{text}'")
    return value


def seconds(text: str) -> float:
    """An argparse type: a duration in seconds, zero or more."""
    value = _float(text, "a number of seconds")
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be zero or more seconds, got '{text}'")
    return value


def add_analysis_options(p: argparse.ArgumentParser, with_lmbda: bool) -> None:
    d = AnalysisParams()
    g = p.add_argument_group("analysis")
    g.add_argument("--fft-len", type=whole_number, default=None, metavar="N",
                   help="spectrogram window and FFT length in samples (default: 2 * hop)")
    g.add_argument("--hop", type=whole_number, default=None, metavar="N",
                   help="spectrogram hop in samples (default: about 23 ms as a power of two, "
                        "512 at 22.05 kHz, 1024 at 44.1/48 kHz)")
    g.add_argument("--gamma", type=number, default=d.gamma,
                   help=f"logarithmic compression of the spectrogram (default: {d.gamma:g})")
    g.add_argument("--bpm-min", type=number, default=d.bpm_min, metavar="BPM",
                   help=f"lowest tempo considered (default: {d.bpm_min:g})")
    g.add_argument("--bpm-max", type=number, default=d.bpm_max, metavar="BPM",
                   help=f"tempo limit, exclusive (default: {d.bpm_max:g})")
    g.add_argument("--tempo-level", choices=TEMPO_LEVELS, default=d.tempo_level,
                   help="the road after the onset curve: dp weighs the metrical levels the "
                        "music suggests (the beat, half, double or a third of it, ...), gives no "
                        "tempo where the onsets hold no steady beat and tracks one period; hmm "
                        "chooses the tempo the same way and tracks beats whose tempo may move; "
                        "auto is the better of the two on annotated music (hmm); raw takes the "
                        f"strongest tempogram peak as it is (default: {d.tempo_level})")
    if with_lmbda:
        g.add_argument("--lmbda", type=number, default=d.lmbda, metavar="W",
                       help="how strongly beat intervals are held to the tempo "
                            f"(default: {d.lmbda:g})")


def analysis_params(args: argparse.Namespace, parser: argparse.ArgumentParser) -> AnalysisParams:
    """The parameters the analysis options ask for; inconsistent ones end the
    command as a usage error."""
    values = dict(
        fft_len=args.fft_len,
        hop=args.hop,
        gamma=args.gamma,
        bpm_min=args.bpm_min,
        bpm_max=args.bpm_max,
        lmbda=getattr(args, "lmbda", AnalysisParams.lmbda),
        tempo_level=args.tempo_level,
    )
    # Checked before the parameters are made, so that the message spells the
    # options as they are typed (--bpm-min), not as Python names them.
    try:
        check_params(values, OPTION_NAMES)
    except AnalysisError as exc:
        parser.error(str(exc))
    return AnalysisParams(**values)
