"""The usual road from audio to tempo and beats, as one reusable function.

``analyze(x, fs)`` runs spectral novelty -> tempo estimate -> dynamic-programming
beat tracking and the predominant local pulse, and returns everything in a
small dataclass.  It prints nothing and knows nothing about files or command
lines, so batch jobs and notebooks can call it as well as the ``korvel`` tool.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from .beat_fit import beat_fit, fit_factor
from .framix import calc_num_frames
# The parameters and the tempogram grid live in modules of their own; their
# names stay importable from here, where the road's users have found them.
from .params import (AUTO_LEVEL, OPTION_NAMES, TEMPO_LEVELS, AnalysisError, AnalysisParams, check_params,
                     default_hop, min_samples, usable_hops)
from .pulsix import create_dp_beats, estimate_bpm, make_local_pulse, spectral_novelty
from .steadiness import NO_STEADY_BEAT, STEADINESS_MIN, confidence_scale, onset_span, steadiness, too_short
from .tempo_curve import beat_rate, tempo_curve, track_hmm
from .tempo_level import bass_onsets, choose_tempo, tracking_curve
from .tempogram import (TG_BINS, Tempogram, bin_bpm, fourier_tempogram, nearest_bin, pooled_columns,
                        pooled_tempogram, tempo_bins)

Curve = npt.NDArray[np.float64]

__all__ = [
    "AnalysisError",
    "NO_STEADY_BEAT",
    "AnalysisParams",
    "BeatAnalysis",
    "TempoCandidate",
    "TempoEstimate",
    "Tempogram",
    "analyze",
    "analyze_curves",
    "check_params",
    "check_signal",
    "check_tempo_range",
    "default_hop",
    "estimate_from_curves",
    "fourier_tempogram",
    "pooled_columns",
    "pooled_tempogram",
    "min_samples",
    "mix_to_mono",
    "tempo",
    "tempo_estimate",
    "usable_hops",
]

__all__ += ["AUTO_LEVEL", "OPTION_NAMES", "TEMPO_LEVELS"]  # re-exported from .params

@dataclass(frozen=True)
class TempoCandidate:
    """One tempo the road considered, with how strongly the music supports it."""

    bpm: float
    confidence: float
    """Share of the evidence in [0, 1]; the candidates' confidences add up to at most 1."""


@dataclass(frozen=True)
class TempoEstimate:
    """The tempo step of the road on its own."""

    tempo: float | None
    """The chosen tempo: on the hmm level the rate of the beats tracked from
    the chosen level (:func:`korvel.tempo_curve.beat_rate`), elsewhere the one
    handed to the beat tracker; ``None`` when there are no onsets."""
    raw_tempo: float | None
    """The strongest bin of the averaged Fourier tempogram (``tempo_level="raw"``)."""
    candidates: tuple[TempoCandidate, ...]
    """Best first; the chosen tempo is the first."""
    warning: str | None
    """Set when the chosen tempo sits on a limit of the search range, or to
    "no steady beat" when the onsets hold no tempo (``tempo`` is then None)."""
    steadiness: float | None = None
    """How periodic the onsets are (:func:`korvel.steadiness.steadiness`);
    None on the raw level and for silence."""


@dataclass(frozen=True)
class BeatAnalysis:
    """What the road found.  Times are in seconds from the start of the signal.

    Fields:

    - ``tempo``: estimated average tempo in BPM; ``None`` when the signal has
      no onsets (silence, or sound that never gets louder).
    - ``beat_times``: beat times in seconds, ascending (float64).
    - ``beat_frames``: the same beats as indices into ``novelty`` (int64);
      ``beat_times == (beat_frames + 1) / feature_rate``.
    - ``novelty``: spectral novelty, how much new sound starts at each
      frame, 0..1, one value per hop; value k belongs to time
      ``(k + 1) / feature_rate``.
    - ``local_pulse``: predominant local pulse, at the same rate as
      ``novelty``: peaks where the locally strongest periodicity puts beats.
    - ``feature_rate``: novelty values per second, ``sample_rate / hop``.
    - ``sample_rate``: samples per second of the analysed signal.
    - ``num_samples``: length of the analysed (mono) signal in samples.
    - ``params``: the :class:`AnalysisParams` actually used, ``fft_len`` and
      ``hop`` resolved.
    - ``beat_period``: ``tempo`` as a period in novelty frames: the one given
      to ``create_dp_beats``, on the hmm level the beats' average period
      (``None`` without onsets).
    - ``raw_tempo``: the plain Fourier-tempogram estimate, before the
      metrical-level step.
    - ``tempo_candidates``: the tempi considered (:class:`TempoCandidate`,
      BPM and confidence), best first; the chosen tempo first.
    - ``tempo_warning``: a note when the chosen tempo sits on a limit of the
      search range, "no steady beat" when the onsets hold no tempo (then
      ``tempo`` is ``None`` and there are no beats), else ``None``.
    - ``steadiness``: how periodic the onsets are, 0..1 (:mod:`korvel.steadiness`);
      ``None`` on the raw level and for silence.
    - ``tempo_curve_times``, ``tempo_curve_bpm``: the local tempo of the beats
      (median of three beat intervals) and the times it describes, the middles
      of the beat intervals; empty with fewer than two beats.
    """

    tempo: float | None
    """Estimated average tempo in BPM; ``None`` when the signal has no onsets."""
    beat_times: npt.NDArray[np.float64]
    beat_frames: npt.NDArray[np.int64]
    """Beat positions as indices into ``novelty``."""
    novelty: npt.NDArray[np.float64]
    local_pulse: npt.NDArray[np.float64]
    feature_rate: float
    """Novelty values per second: sample_rate / hop."""
    sample_rate: float
    num_samples: int
    params: AnalysisParams
    """The parameters actually used (``fft_len`` and ``hop`` resolved)."""
    beat_period: float | None = field(default=None)
    """Beat period in novelty frames that the beat tracker was given."""
    raw_tempo: float | None = None
    """The plain tempogram estimate, before the metrical-level step."""
    tempo_candidates: tuple[TempoCandidate, ...] = ()
    """Tempi considered, best first; the chosen tempo first."""
    tempo_warning: str | None = None
    """Set when the chosen tempo sits on a limit of the search range, or to
    "no steady beat" when the onsets hold no tempo (no beats then)."""
    steadiness: float | None = None
    """How periodic the onsets are; None on the raw level and for silence."""
    tempo_curve_times: npt.NDArray[np.float64] = field(default_factory=lambda: np.zeros(0))
    """Times (s) of the local tempo values: the middles of the beat intervals."""
    tempo_curve_bpm: npt.NDArray[np.float64] = field(default_factory=lambda: np.zeros(0))
    """Local tempo of the beats (:func:`korvel.tempo_curve.tempo_curve`); empty
    with fewer than two beats."""

    @property
    def has_beats(self) -> bool:
        return len(self.beat_frames) > 0

    @property
    def beat_samples(self) -> npt.NDArray[np.int64]:
        """Beat positions as sample indices of the analysed signal."""
        _, hop = self.params.sizes()
        return (self.beat_frames + 1) * hop

    def frame_times(self, n: int) -> npt.NDArray[np.float64]:
        """Times of the first ``n`` novelty-rate values (novelty, local pulse)."""
        return np.asarray((np.arange(n) + 1) / self.feature_rate, dtype=np.float64)


def mix_to_mono(audio: npt.ArrayLike, out: npt.NDArray[np.float64] | None = None,
                scratch: npt.NDArray[np.float64] | None = None) -> npt.NDArray[np.float64]:
    """Average the channels of a [frames, channels] array (1-D passes through).

    With ``out`` (float64, one value per frame) the mix is written there and
    ``out`` is returned, the same bits; ``scratch``, a float64 array of at
    least [frames, 2], spares a two-channel mix its temporary.  A reader that
    mixes block after block into one buffer uses these.
    """
    a = np.asarray(audio)
    if a.ndim not in (1, 2):
        raise AnalysisError(f"expected a 1-D signal or a [frames, channels] array, got shape {a.shape}")
    if out is not None:
        return _mix_into(out, a, scratch)
    if a.ndim == 1:
        return np.asarray(a, dtype=np.float64)
    if a.shape[1] == 1:
        # The mean of one value is that value: a float64 copy of the column.
        return np.array(a[:, 0], dtype=np.float64)
    if a.shape[1] == 2:
        # A mean over the short axis steps through every row on its own;
        # adding the two columns as whole vectors gives the same bits
        # (two values are summed in the one order there is), much faster.
        mono = np.array(a[:, 0], dtype=np.float64)
        mono += a[:, 1]
        mono /= 2
        return mono
    return np.asarray(a.mean(axis=1, dtype=np.float64), dtype=np.float64)


def _mix_into(out: npt.NDArray[np.float64], a: npt.NDArray[Any],
              scratch: npt.NDArray[np.float64] | None) -> npt.NDArray[np.float64]:
    if a.ndim == 1 or a.shape[1] == 1:
        out[:] = a if a.ndim == 1 else a[:, 0]
    elif a.shape[1] == 2:
        # Widen the block in one contiguous pass (exact), then add the columns
        # in float64: the same sum, without casting loops over strided
        # columns, which cost several times as much.
        wide = scratch[: len(a)] if scratch is not None else np.empty((len(a), 2))
        np.copyto(wide, a)
        np.add(wide[:, 0], wide[:, 1], out=out)
        out /= 2
    else:
        out[:] = a.mean(axis=1, dtype=np.float64)
    return out


def _tempo_bins(params: AnalysisParams, ff: float) -> tuple[int, int]:
    return tempo_bins(params.bpm_min, params.bpm_max, ff)


def _prepare(
    x: npt.ArrayLike, sample_rate: float, params: AnalysisParams
) -> tuple[npt.NDArray[np.float64], AnalysisParams, float]:
    # Parameters made some other way than by their constructor are refused
    # here; resolved() makes a new AnalysisParams, which checks itself.
    params.validate()
    p = params.resolved(sample_rate)
    sig = mix_to_mono(x)
    # min and max carry any NaN or infinity through, without a mask the size of the audio.
    finite = not len(sig) or (math.isfinite(float(np.min(sig))) and math.isfinite(float(np.max(sig))))
    return sig, p, check_signal(len(sig), finite, sample_rate, p)


def check_signal(num_samples: int, finite: bool, sample_rate: float, p: AnalysisParams) -> float:
    """Raise :class:`AnalysisError` for a signal the road cannot analyse with
    the resolved parameters ``p`` (not finite, too short, no tempogram bin in
    the tempo range); return the feature rate."""
    fft_len, hop = p.sizes()
    if not finite:
        raise AnalysisError("the audio contains NaN or infinite samples")
    need = min_samples(p, sample_rate)
    if num_samples < need:
        raise AnalysisError(
            f"audio too short: {num_samples} samples ({num_samples / sample_rate:.3f} s), "
            f"the analysis needs at least {need} ({need / sample_rate:.3f} s) "
            f"with fft-len {fft_len} and hop {hop}"
        )
    return check_tempo_range(p, sample_rate)


def check_tempo_range(p: AnalysisParams, sample_rate: float) -> float:
    """Raise :class:`AnalysisError` when the tempo range of the resolved
    parameters ``p`` holds no tempogram bin; return the feature rate."""
    _, hop = p.sizes()
    ff = sample_rate / hop
    k_min, k_max = _tempo_bins(p, ff)
    if k_min >= k_max:
        spacing = bin_bpm(1, ff)
        raise AnalysisError(
            f"the tempo range {p.bpm_min:g}-{p.bpm_max:g} BPM holds no tempogram bin at "
            f"{ff:.3f} frames per second (bins are {spacing:.3f} BPM apart, the highest "
            f"is {bin_bpm(TG_BINS - 1, ff):.1f} BPM)"
        )
    return ff


def _novelty(sig: npt.NDArray[np.float64], p: AnalysisParams) -> npt.NDArray[np.float64] | None:
    """The novelty curve, or None when nothing in the signal ever gets louder."""
    fft_len, hop = p.sizes()
    # The signal has at least min_samples samples (see _prepare), so the curve
    # has the 9 values its local average needs.
    nov = spectral_novelty(sig, fft_len, hop, p.gamma)
    # A curve with no onsets is normalised by its maximum 0 and comes back NaN.
    if not np.all(np.isfinite(nov)):
        return None
    return nov


def _range_warning(bpm: float, k: int, ff: float, p: AnalysisParams) -> str | None:
    """A note when ``bpm``, tempogram bin ``k``, is the first or last bin the
    search allows: the music may well lie beyond that limit."""
    k_min, k_max = _tempo_bins(p, ff)
    limits = f"({p.bpm_min:g}-{p.bpm_max:g} BPM)"
    if k <= k_min:
        return f"tempo {bpm:.2f} BPM is at the lower limit of the search range {limits}"
    if k >= k_max - 1:
        return f"tempo {bpm:.2f} BPM is at the upper limit of the search range {limits}"
    return None


def _bass(sig: npt.NDArray[np.float64], sample_rate: float, p: AnalysisParams,
          n: int) -> npt.NDArray[np.float64] | None:
    """The bass onsets the level step weighs and the tracker follows; None on
    the raw level, which uses the novelty alone."""
    if p.tempo_level == "raw":
        return None
    fft_len, hop = p.sizes()
    return bass_onsets(sig, sample_rate, fft_len, hop, n, p.gamma)


def _estimate(nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None, ff: float,
              p: AnalysisParams) -> TempoEstimate:
    """The tempo step on the novelty and the bass onsets (None on the raw level)."""
    return _tempo_step(nov, bass, ff, p)[0]


def _tempo_step(nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None, ff: float,
                p: AnalysisParams) -> tuple[TempoEstimate, npt.NDArray[np.int64] | None]:
    """The tempo step, and the beats it tracked (None when it tracked none).

    On the hmm level the tempo is placed by the beats that follow the music
    from the chosen level: their average rate (:func:`beat_rate`), kept within
    the search range, replaces the chosen bin's tempo, as the first candidate
    too.  The tempogram's bin sits up to a few percent off a tempo that sways;
    the beats are the music's own.  How well they sit on the onsets
    (:func:`korvel.beat_fit.beat_fit`) tempers the candidates' confidences.
    """
    raw = float(estimate_bpm(nov, ff, p.bpm_min, p.bpm_max))
    k = nearest_bin(raw, ff)  # the bin estimate_bpm picked
    if p.tempo_level == "raw":
        return TempoEstimate(raw, raw, (TempoCandidate(raw, 1.0),), _range_warning(raw, k, ff, p)), None
    chosen = raw
    cands: list[tuple[float, float]] = [(raw, 1.0)]
    k_min, k_max = _tempo_bins(p, ff)
    level = choose_tempo(nov, ff, k_min, k_max, p.lmbda, bass)
    if level is not None:
        k, cands = level
        chosen = bin_bpm(k, ff)
    steady = steadiness(nov, ff, p.bpm_min, p.bpm_max)
    short = too_short(onset_span(nov), ff, p.bpm_min)
    # Audio, or a stretch of onsets in it, too short to hold two slow beats
    # supports no tempo, however regular its few onsets look.
    scale = 0.0 if short else confidence_scale(steady)
    candidates = tuple(TempoCandidate(b, c * scale) for b, c in cands)
    if short or steady < STEADINESS_MIN:
        return TempoEstimate(None, raw, candidates, NO_STEADY_BEAT, steady), None
    tracker = AUTO_LEVEL if p.tempo_level == "auto" else p.tempo_level
    followed = None
    if tracker == "hmm":
        curve = _tracked(nov, bass)
        followed = track_hmm(curve, 60.0 * ff / chosen, 60.0 * ff / p.bpm_min)
    if followed is not None:
        rate = beat_rate(followed, ff)
        if rate is not None:
            chosen = min(max(rate, p.bpm_min), p.bpm_max)
            candidates = (TempoCandidate(chosen, candidates[0].confidence),) + candidates[1:]
        # Beats that sit on onsets no more often than a grid dropped at random
        # do not bear the tempo out: every share shrinks by the same factor,
        # so the order stays and the sum does not grow.
        fit = fit_factor(beat_fit(curve, followed, ff))
        candidates = tuple(TempoCandidate(c.bpm, c.confidence * fit) for c in candidates)
    return TempoEstimate(chosen, raw, candidates, _range_warning(chosen, k, ff, p), steady), followed


def _tracked(nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None) -> npt.NDArray[np.float64]:
    """The curve the beats are tracked on: the novelty, with the bass onsets off the raw level."""
    return nov if bass is None else tracking_curve(nov, bass)


_NO_TEMPO = TempoEstimate(None, None, (), None)


def _road_after_novelty(nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None,
                        ff: float, p: AnalysisParams) -> dict[str, Any]:
    """Everything the road finds once it has the novelty (and, off the raw
    level, the bass onsets): the fields of :class:`BeatAnalysis` that depend
    on them.  ``p`` is resolved; the curves are finite and not all zero."""
    est, followed = _tempo_step(nov, bass, ff, p)
    pulse = make_local_pulse(nov, ff, p.bpm_min, p.bpm_max)
    fields: dict[str, Any] = dict(
        novelty=nov, local_pulse=pulse, raw_tempo=est.raw_tempo, tempo_candidates=est.candidates,
        tempo_warning=est.warning, steadiness=est.steadiness)
    if est.tempo is None:
        # No steady beat: no tempo and no beats, the candidates stay to be seen.
        return dict(fields, tempo=None, beat_frames=np.zeros(0, dtype=np.int64), beat_period=None)
    bpm = est.tempo
    period = 60.0 * ff / bpm
    if followed is not None:
        beat_frames = followed
    else:
        frames, _ = create_dp_beats(_tracked(nov, bass), period, p.lmbda)
        # create_dp_beats gives an empty float array when it finds nothing.
        beat_frames = np.asarray(frames).astype(np.int64)
    fields.update(tempo=bpm, beat_frames=beat_frames, beat_period=period)
    if p.tempo_level != "raw":
        # nov[k] is heard at (k + 1) / ff (see analyze).
        fields["tempo_curve_times"], fields["tempo_curve_bpm"] = tempo_curve((beat_frames + 1) / ff)
    return fields


def tempo_estimate(
    x: npt.ArrayLike, sample_rate: float, params: AnalysisParams | None = None
) -> TempoEstimate:
    """The tempo step of the road: the chosen tempo, the plain tempogram
    estimate, the candidates considered and the range warning.

    All fields are empty (``None``, no candidates) when there are no onsets.
    """
    sig, p, ff = _prepare(x, sample_rate, params or AnalysisParams())
    with np.errstate(divide="ignore", invalid="ignore"):
        nov = _novelty(sig, p)
        if nov is None:
            return _NO_TEMPO
        return _estimate(nov, _bass(sig, sample_rate, p, len(nov)), ff, p)


def _given_bass(bass: Curve | None, p: AnalysisParams) -> Curve | None:
    if bass is None and p.tempo_level != "raw":
        raise ValueError(f"the {p.tempo_level} tempo level needs the bass onsets")
    return bass


def estimate_from_curves(novelty: Curve | None, bass: Curve | None, sample_rate: float,
                         params: AnalysisParams) -> TempoEstimate:
    """:func:`tempo_estimate` from the curves of a signal that passed
    :func:`check_signal`: its ``spectral_novelty`` (None when not finite) and,
    off the raw level, its ``tempo_level.bass_onsets``; ``params`` resolved."""
    if novelty is None:
        return _NO_TEMPO
    with np.errstate(divide="ignore", invalid="ignore"):
        return _estimate(novelty, _given_bass(bass, params), sample_rate / params.sizes()[1], params)


def tempo(x: npt.ArrayLike, sample_rate: float, params: AnalysisParams | None = None) -> float | None:
    """Only the tempo (BPM) of the road; ``None`` when there are no onsets."""
    return tempo_estimate(x, sample_rate, params).tempo


def analyze(
    x: npt.ArrayLike, sample_rate: float, params: AnalysisParams | None = None
) -> BeatAnalysis:
    """Tempo, beats and local pulse of an audio signal.

    :param x: mono signal, or [frames, channels] (channels are averaged)
    :param sample_rate: samples per second of ``x``
    :param params: analysis parameters (defaults: :class:`AnalysisParams`)
    :raises AnalysisError: parameters out of range, audio too short or not finite

    Silent audio (or audio that never gets louder) is not an error: the result
    has ``tempo`` None and no beats.
    """
    sig, p, ff = _prepare(x, sample_rate, params or AnalysisParams())
    with np.errstate(divide="ignore", invalid="ignore"):
        nov = _novelty(sig, p)
        bass = _bass(sig, sample_rate, p, len(nov)) if nov is not None else None
    return _from_curves(nov, bass, sample_rate, len(sig), p)


def analyze_curves(novelty: Curve | None, bass: Curve | None, sample_rate: float, num_samples: int,
                   params: AnalysisParams) -> BeatAnalysis:
    """:func:`analyze` from the curves of a signal of ``num_samples`` samples
    that passed :func:`check_signal`: its ``spectral_novelty`` (None when not
    finite) and, off the raw level, its ``tempo_level.bass_onsets``;
    ``params`` resolved.  The road for signals that never exist whole."""
    return _from_curves(novelty, _given_bass(bass, params) if novelty is not None else None,
                        sample_rate, num_samples, params)


def _from_curves(nov: Curve | None, bass: Curve | None, sample_rate: float, num_samples: int,
                 p: AnalysisParams) -> BeatAnalysis:
    fft_len, hop = p.sizes()
    ff = sample_rate / hop
    with np.errstate(divide="ignore", invalid="ignore"):
        common: dict[str, Any] = dict(feature_rate=ff, sample_rate=float(sample_rate),
                                      num_samples=num_samples, params=p)
        if nov is None:
            return BeatAnalysis(
                tempo=None,
                beat_times=np.zeros(0),
                beat_frames=np.zeros(0, dtype=np.int64),
                novelty=np.zeros(calc_num_frames(num_samples + fft_len // 2, fft_len, hop) - 1),
                local_pulse=np.zeros(0),
                **common,
            )
        fields = _road_after_novelty(nov, bass, ff, p)
    beat_frames = fields.pop("beat_frames")
    # nov[k] is the change into STFT frame k + 1, which is centred on sample
    # (k + 1) * hop: that is where the onset is heard.
    return BeatAnalysis(beat_times=(beat_frames + 1) / ff, beat_frames=beat_frames, **common, **fields)
