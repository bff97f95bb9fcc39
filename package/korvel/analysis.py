"""The usual road from audio to tempo and beats, as one reusable function.

``analyze(x, fs)`` runs spectral novelty -> tempo estimate -> dynamic-programming
beat tracking and the predominant local pulse, and returns everything in a
small dataclass.  It prints nothing and knows nothing about files or command
lines, so batch jobs and notebooks can call it as well as the ``korvel`` tool.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, field, replace
from dataclasses import fields as dataclass_fields
from typing import Any, Mapping

import numpy as np
import numpy.typing as npt

from .framix import calc_num_frames
from .pulsix import create_dp_beats, estimate_bpm, make_local_pulse, spectral_novelty
from .sonix import stft
# The tempogram settings that estimate_bpm uses internally: _tempo_bins counts
# the searched bins on the same grid, and fourier_tempogram draws the same
# tempogram, so that its peak is the raw estimate.
from .tempo_level import TG_BLOCK, TG_FFT_LEN, TG_HOP, TG_WIN, TG_ZP, bass_onsets, choose_tempo, tracking_curve
from .steadiness import NO_STEADY_BEAT, STEADINESS_MIN, confidence_scale, steadiness, too_short
from .tempo_curve import tempo_curve, track_hmm

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
]

TEMPO_LEVELS = ("auto", "dp", "hmm", "raw")
"""``"auto"`` is the road that scores best on annotated music: today ``"hmm"``."""
AUTO_LEVEL = "hmm"


class AnalysisError(ValueError):
    """The input or the parameters cannot be analysed; the message says why."""


def default_hop(sample_rate: float) -> int:
    """Hop size of about 23 ms, rounded to a power of two (512 at 22.05 kHz,
    1024 at 44.1 or 48 kHz).

    Tying the hop to time rather than samples keeps the feature rate between
    about 30 and 60 values per second at any sample rate, which is where the
    256-frame tempogram window spans a few seconds of music.
    """
    if not sample_rate > 0:
        raise AnalysisError(f"sample rate must be positive, got {sample_rate}")
    return int(2 ** max(0, round(math.log2(sample_rate * 0.0232))))


def _given(value: object) -> str:
    """A value of the wrong type as the caller gave it (512.0 stays 512.0)."""
    if isinstance(value, numbers.Real) and not isinstance(value, (bool, numbers.Integral)):
        return repr(float(value))
    return repr(value)


def _shown(value: object) -> str:
    """A number out of range in its shortest exact form: 180.0 shows as 180
    (as options are typed), 1014.3 as 1014.3, 1e-300 as 1e-300."""
    if isinstance(value, numbers.Integral):
        return str(int(value))
    text = repr(float(value))  # type: ignore[arg-type]
    return text[:-2] if text.endswith(".0") else text


def _is_whole(value: object) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _is_number(value: object) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


OPTION_NAMES = {"fft_len": "fft-len", "hop": "hop", "gamma": "gamma", "bpm_min": "bpm-min",
                "bpm_max": "bpm-max", "lmbda": "lmbda", "tempo_level": "tempo-level"}
"""The fields as the ``korvel`` command spells its options, for its messages."""


def check_params(values: Mapping[str, Any], names: Mapping[str, str] | None = None) -> None:
    """Raise :class:`AnalysisError` for parameter values the road cannot use.

    ``values`` maps the fields of :class:`AnalysisParams` (at least those
    checked here) to values.  Every message names the parameter, as ``names`` spells it (its
    Python name by default), and shows the value as it was given.
    """
    def name(field_name: str) -> str:
        return names.get(field_name, field_name) if names is not None else field_name

    for key in ("fft_len", "hop"):
        value = values[key]
        if value is None:
            continue
        if not _is_whole(value):
            raise AnalysisError(f"{name(key)} must be a whole number of samples, got {_given(value)}")
    fft_len, hop = values["fft_len"], values["hop"]
    if fft_len is not None and fft_len < 2:
        raise AnalysisError(f"{name('fft_len')} must be at least 2, got {_shown(fft_len)}")
    if hop is not None and hop < 1:
        raise AnalysisError(f"{name('hop')} must be a positive number of samples, got {_shown(hop)}")
    for key in ("gamma", "bpm_min", "bpm_max", "lmbda"):
        if not _is_number(values[key]):
            raise AnalysisError(f"{name(key)} must be a number, got {_given(values[key])}")
    gamma, bpm_min, bpm_max, lmbda = (values[k] for k in ("gamma", "bpm_min", "bpm_max", "lmbda"))
    if not (math.isfinite(gamma) and gamma > 0):
        raise AnalysisError(f"{name('gamma')} must be a positive number, got {_shown(gamma)}")
    if not (math.isfinite(bpm_min) and bpm_min > 0):
        raise AnalysisError(f"{name('bpm_min')} must be a positive number, got {_shown(bpm_min)}")
    if not math.isfinite(bpm_max):
        raise AnalysisError(f"{name('bpm_max')} must be a finite number, got {_shown(bpm_max)}")
    if bpm_min >= bpm_max:
        raise AnalysisError(f"{name('bpm_min')} ({_shown(bpm_min)}) must be below "
                            f"{name('bpm_max')} ({_shown(bpm_max)})")
    if not math.isfinite(lmbda) or not lmbda >= 0:
        raise AnalysisError(f"{name('lmbda')} must be zero or positive, got {_shown(lmbda)}")
    level = values["tempo_level"]
    if not (isinstance(level, str) and level in TEMPO_LEVELS):
        raise AnalysisError(
            f"{name('tempo_level')} must be one of {', '.join(repr(v) for v in TEMPO_LEVELS)}, "
            f"got {_given(level)}"
        )


@dataclass(frozen=True)
class AnalysisParams:
    """Parameters of the road.  ``None`` for ``fft_len``/``hop`` means: derive
    from the sample rate (see :func:`default_hop`, but at most half a given
    ``fft_len``; ``fft_len`` = 2 * hop).

    ``tempo_level`` picks the road after the novelty curve: ``"dp"`` weighs
    the candidate metrical levels (see :mod:`korvel.tempo_level`), gives no
    tempo where the onsets hold no steady beat (:mod:`korvel.steadiness`) and
    tracks the beats with one period (``create_dp_beats``); ``"hmm"`` chooses
    the tempo the same way and tracks beats whose period may drift
    (``create_hmm_beats``, :mod:`korvel.tempo_curve`); ``"auto"`` is the one of
    these two that scores best on annotated music; ``"raw"`` takes the
    strongest bin of the Fourier tempogram as it is and tracks on the novelty.

    Fields: ``fft_len`` (spectrogram window and FFT length, at least 2),
    ``hop`` (spectrogram hop in samples, at least 1), ``gamma`` (logarithmic
    compression, > 0), ``bpm_min`` and ``bpm_max`` (the tempo range searched,
    ``bpm_max`` excluded), ``lmbda`` (how strongly beat intervals are held to
    the tempo, >= 0) and ``tempo_level`` (``"auto"``, ``"dp"``, ``"hmm"`` or
    ``"raw"``).  They are checked when the object is made: a bad value raises
    :class:`AnalysisError` naming the field and the value as given.
    """

    fft_len: int | None = None
    hop: int | None = None
    gamma: float = 100.0
    bpm_min: float = 60.0
    bpm_max: float = 200.0
    lmbda: float = 10.0
    tempo_level: str = "auto"

    def __post_init__(self) -> None:
        # A bad value is refused where it was written, not deep in a later run.
        check_params(self.fields())

    def fields(self) -> dict[str, Any]:
        """Every field by name, as given."""
        return {f.name: getattr(self, f.name) for f in dataclass_fields(self)}

    def validate(self, names: Mapping[str, str] | None = None) -> None:
        """Raise :class:`AnalysisError` for values the road cannot use (see
        :func:`check_params`; ``names`` spells the fields in the messages)."""
        check_params(self.fields(), names)

    def resolved(self, sample_rate: float) -> AnalysisParams:
        """The same parameters with ``fft_len`` and ``hop`` filled in."""
        hop = self.hop
        if hop is None:
            hop = default_hop(sample_rate)
            if self.fft_len is not None:
                # Frames must still overlap when only a short window was asked for.
                hop = min(hop, max(1, self.fft_len // 2))
        fft_len = self.fft_len if self.fft_len is not None else 2 * hop
        return replace(self, fft_len=fft_len, hop=hop)

    def sizes(self) -> tuple[int, int]:
        """``(fft_len, hop)`` of resolved parameters."""
        if self.fft_len is None or self.hop is None:
            raise ValueError("fft_len and hop are not resolved yet; call resolved(sample_rate)")
        return self.fft_len, self.hop

    def as_dict(self) -> dict[str, Any]:
        """The numeric settings of the road (the ``parameters`` object of the
        tool's JSON); ``tempo_level`` is a separate attribute."""
        return {k: getattr(self, k) for k in ("fft_len", "hop", "gamma", "bpm_min", "bpm_max", "lmbda")}


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
    """The tempo handed to the beat tracker; ``None`` when there are no onsets."""
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
    - ``beat_period``: beat period in novelty frames given to the beat
      tracker (``None`` without onsets).
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


def mix_to_mono(audio: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Average the channels of a [frames, channels] array (1-D passes through)."""
    a = np.asarray(audio)
    if a.ndim == 1:
        return np.asarray(a, dtype=np.float64)
    if a.ndim == 2:
        if a.shape[1] == 1:
            # The mean of one value is that value: a float64 copy of the column.
            return np.array(a[:, 0], dtype=np.float64)
        if a.shape[1] == 2:
            # A mean over the short axis steps through every row on its own;
            # adding the two columns as whole vectors gives the same bits
            # (two values are summed in the one order there is), much faster.
            out = np.array(a[:, 0], dtype=np.float64)
            out += a[:, 1]
            out /= 2
            return out
        return np.asarray(a.mean(axis=1, dtype=np.float64), dtype=np.float64)
    raise AnalysisError(f"expected a 1-D signal or a [frames, channels] array, got shape {a.shape}")


def min_samples(params: AnalysisParams, sample_rate: float) -> int:
    """The fewest samples the novelty step can work with for these parameters.

    The novelty curve has one value fewer than the spectrogram has frames, and
    its local-average threshold needs at least 9 values.
    """
    fft_len, hop = params.resolved(sample_rate).sizes()
    # The spectrogram of n samples (centred: fft_len // 2 zeros in front) has
    # 1 + ceil((n + fft_len // 2 - fft_len) / hop) frames; it needs 10.
    return fft_len - fft_len // 2 + 8 * hop + 1


def _tempo_bins(params: AnalysisParams, ff: float) -> tuple[int, int]:
    # The bin range estimate_bpm searches: both limits round up.
    k_min = int(math.ceil(params.bpm_min / 60.0 * TG_FFT_LEN / ff))
    k_max = int(math.ceil(params.bpm_max / 60.0 * TG_FFT_LEN / ff))
    return k_min, min(k_max, TG_FFT_LEN // 2 + 1)


def _prepare(
    x: npt.ArrayLike, sample_rate: float, params: AnalysisParams
) -> tuple[npt.NDArray[np.float64], AnalysisParams, float]:
    params.validate()
    p = params.resolved(sample_rate)
    p.validate()
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
        spacing = 60.0 * ff / TG_FFT_LEN
        raise AnalysisError(
            f"the tempo range {p.bpm_min:g}-{p.bpm_max:g} BPM holds no tempogram bin at "
            f"{ff:.3f} frames per second (bins are {spacing:.3f} BPM apart, the highest "
            f"is {60.0 * ff / 2:.1f} BPM)"
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
    raw = float(estimate_bpm(nov, ff, p.bpm_min, p.bpm_max))
    k = int(round(raw / 60.0 * TG_FFT_LEN / ff))  # the bin estimate_bpm picked
    if p.tempo_level == "raw":
        return TempoEstimate(raw, raw, (TempoCandidate(raw, 1.0),), _range_warning(raw, k, ff, p))
    chosen = raw
    cands: list[tuple[float, float]] = [(raw, 1.0)]
    k_min, k_max = _tempo_bins(p, ff)
    level = choose_tempo(nov, ff, k_min, k_max, p.lmbda, bass)
    if level is not None:
        k, cands = level
        chosen = 60.0 * k * (ff / TG_FFT_LEN)
    steady = steadiness(nov, ff, p.bpm_min, p.bpm_max)
    short = too_short(len(nov), ff, p.bpm_min)
    # Audio too short to hold two slow beats supports no tempo, however
    # regular its few onsets look.
    scale = 0.0 if short else confidence_scale(steady)
    candidates = tuple(TempoCandidate(b, c * scale) for b, c in cands)
    if short or steady < STEADINESS_MIN:
        return TempoEstimate(None, raw, candidates, NO_STEADY_BEAT, steady)
    return TempoEstimate(chosen, raw, candidates, _range_warning(chosen, k, ff, p), steady)


_NO_TEMPO = TempoEstimate(None, None, (), None)


def _road_after_novelty(nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None,
                        ff: float, p: AnalysisParams) -> dict[str, Any]:
    """Everything the road finds once it has the novelty (and, off the raw
    level, the bass onsets): the fields of :class:`BeatAnalysis` that depend
    on them.  ``p`` is resolved; the curves are finite and not all zero."""
    est = _estimate(nov, bass, ff, p)
    pulse = make_local_pulse(nov, ff, p.bpm_min, p.bpm_max)
    fields: dict[str, Any] = dict(
        novelty=nov, local_pulse=pulse, raw_tempo=est.raw_tempo, tempo_candidates=est.candidates,
        tempo_warning=est.warning, steadiness=est.steadiness)
    if est.tempo is None:
        # No steady beat: no tempo and no beats, the candidates stay to be seen.
        return dict(fields, tempo=None, beat_frames=np.zeros(0, dtype=np.int64), beat_period=None)
    bpm = est.tempo
    period = 60.0 * ff / bpm
    track = nov if bass is None else tracking_curve(nov, bass)
    level = AUTO_LEVEL if p.tempo_level == "auto" else p.tempo_level
    hmm_frames = track_hmm(track, period) if level == "hmm" else None
    if hmm_frames is not None:
        beat_frames = hmm_frames
    else:
        frames, _ = create_dp_beats(track, period, p.lmbda)
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
        if nov is None:
            return BeatAnalysis(
                tempo=None,
                beat_times=np.zeros(0),
                beat_frames=np.zeros(0, dtype=np.int64),
                novelty=np.zeros(calc_num_frames(num_samples + fft_len // 2, fft_len, hop) - 1),
                local_pulse=np.zeros(0),
                feature_rate=ff,
                sample_rate=float(sample_rate),
                num_samples=num_samples,
                params=p,
            )
        fields = _road_after_novelty(nov, bass, ff, p)
    beat_frames = fields.pop("beat_frames")
    # nov[k] is the change into STFT frame k + 1, which is centred on sample
    # (k + 1) * hop: that is where the onset is heard.
    return BeatAnalysis(
        beat_times=(beat_frames + 1) / ff,
        beat_frames=beat_frames,
        feature_rate=ff,
        sample_rate=float(sample_rate),
        num_samples=num_samples,
        params=p,
        **fields,
    )


@dataclass(frozen=True)
class Tempogram:
    """Magnitude Fourier tempogram of a novelty curve, with its axes."""

    magnitude: npt.NDArray[np.float64]
    """[bins, frames]; row k is the tempo 60 * k * ff / 4096 BPM."""
    bpm: npt.NDArray[np.float64]
    times: npt.NDArray[np.float64]
    """Centre of each tempogram frame, in seconds (same clock as beat_times)."""


def fourier_tempogram(nov: npt.NDArray[np.float64], feature_rate: float) -> Tempogram:
    """The tempogram that the tempo estimate averages (window 256 novelty frames,
    hop 32, zero-padding 16)."""
    mag = np.abs(stft(nov, TG_WIN, TG_HOP, TG_ZP, centered=False))
    bpm = 60.0 * np.arange(mag.shape[0]) * feature_rate / TG_FFT_LEN
    times = np.asarray((np.arange(mag.shape[1]) * TG_HOP + TG_WIN / 2 + 1) / feature_rate, dtype=np.float64)
    return Tempogram(magnitude=mag, bpm=bpm, times=times)


def usable_hops(params: AnalysisParams, sample_rate: float, num_samples: int) -> tuple[int, int]:
    """The hops (lowest, highest) that give a meaningful tempo for a signal
    of ``num_samples`` samples; the range is empty when lowest > highest.

    The tempogram window of 256 novelty frames must last at least one beat
    period of ``bpm_min``, or it cannot tell tempi in the range apart; the
    novelty rate must stay above twice ``bpm_max`` (in beats per second), or
    the range lies above what the curve can show; and the signal must give
    the novelty frames the analysis needs (see :func:`min_samples`).
    """
    lowest = max(1, math.ceil(60.0 * sample_rate / (params.bpm_min * TG_WIN)))
    # ff / 2 > bpm_max / 60, with ff = sample_rate / hop.
    highest = math.ceil(30.0 * sample_rate / params.bpm_max) - 1
    if params.fft_len is None:
        # fft_len = 2 * hop: the analysis needs 9 * hop + 1 samples.
        by_length = (num_samples - 1) // 9
    else:
        by_length = (num_samples - 1 - (params.fft_len - params.fft_len // 2)) // 8
    return lowest, min(highest, by_length)


def pooled_columns(mag: npt.NDArray[np.float64], limit: int) -> tuple[npt.NDArray[np.float64], int]:
    """At most ``limit`` columns, each the maximum of ``group`` neighbours."""
    frames = mag.shape[1]
    group = -(-frames // limit)
    if group <= 1:
        return mag, 1
    pad = (-frames) % group
    if pad:
        mag = np.concatenate((mag, np.zeros((mag.shape[0], pad))), axis=1)
    return mag.reshape(mag.shape[0], -1, group).max(axis=2), group



def pooled_tempogram(nov: npt.NDArray[np.float64], k_min: int, k_max: int, limit: int
                     ) -> tuple[npt.NDArray[np.float64], int, int]:
    """Rows k_min .. k_max - 1 of the magnitude of :func:`fourier_tempogram`
    pooled by :func:`pooled_columns` to at most ``limit`` columns, with the
    group size and the number of tempogram frames; computed a few groups at a
    time, so that the tempogram of a long track never exists whole."""
    frames = calc_num_frames(len(nov), TG_WIN, TG_HOP)
    group = max(1, -(-frames // limit))
    step = group * max(1, TG_BLOCK // group)
    pooled = []
    for h0 in range(0, frames, step):
        h1 = min(frames, h0 + step)
        part = nov[h0 * TG_HOP:] if h1 == frames else nov[h0 * TG_HOP:(h1 - 1) * TG_HOP + TG_WIN]
        mag = np.abs(stft(part, TG_WIN, TG_HOP, TG_ZP, centered=False)[k_min:k_max])
        if group > 1:
            # The last group of the track is padded with zeros, as pooled_columns pads it.
            pad = (-(h1 - h0)) % group
            if pad:
                mag = np.concatenate((mag, np.zeros((mag.shape[0], pad))), axis=1)
            mag = mag.reshape(mag.shape[0], -1, group).max(axis=2)
        pooled.append(mag)
    out = np.concatenate(pooled, axis=1) if pooled else np.zeros((k_max - k_min, 0))
    return out, group, frames
