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
from typing import Any, Callable

import numpy as np
import numpy.typing as npt

from .framix import calc_num_frames
from .pulsix import create_dp_beats, estimate_bpm, make_local_pulse, spectral_novelty
from .sonix import stft
# The tempogram settings that estimate_bpm uses internally: _tempo_bins counts
# the searched bins on the same grid, and fourier_tempogram draws the same
# tempogram, so that its peak is the raw estimate.
from .tempo_level import TG_FFT_LEN, TG_HOP, TG_WIN, TG_ZP, bass_onsets, choose_tempo, tracking_curve

Curve = npt.NDArray[np.float64]

__all__ = [
    "AnalysisError",
    "AnalysisParams",
    "BeatAnalysis",
    "TempoCandidate",
    "TempoEstimate",
    "Tempogram",
    "analyze",
    "analyze_curves",
    "check_signal",
    "check_tempo_range",
    "default_hop",
    "estimate_from_curves",
    "fourier_tempogram",
    "min_samples",
    "mix_to_mono",
    "tempo",
    "tempo_estimate",
]

TEMPO_LEVELS = ("auto", "raw")


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


@dataclass(frozen=True)
class AnalysisParams:
    """Parameters of the road.  ``None`` for ``fft_len``/``hop`` means: derive
    from the sample rate (see :func:`default_hop`, but at most half a given
    ``fft_len``; ``fft_len`` = 2 * hop).

    ``tempo_level`` picks how the tempo handed to the beat tracker is found:
    ``"auto"`` weighs the candidate metrical levels (see
    :mod:`korvel.tempo_level`), ``"raw"`` takes the strongest bin of the
    Fourier tempogram as it is.
    """

    fft_len: int | None = None
    hop: int | None = None
    gamma: float = 100.0
    bpm_min: float = 60.0
    bpm_max: float = 200.0
    lmbda: float = 10.0
    tempo_level: str = "auto"

    def validate(self) -> None:
        """Raise :class:`AnalysisError` for values the road cannot use.

        Every message names the parameter and shows the value as it was given.
        """
        for name, label in (("fft_len", "fft-len"), ("hop", "hop")):
            value = getattr(self, name)
            if value is None:
                continue
            if not _is_whole(value):
                raise AnalysisError(f"{label} must be a whole number of samples, got {_given(value)}")
        if self.fft_len is not None and self.fft_len < 2:
            raise AnalysisError(f"fft-len must be at least 2, got {_shown(self.fft_len)}")
        if self.hop is not None and self.hop < 1:
            raise AnalysisError(f"hop must be a positive number of samples, got {_shown(self.hop)}")
        for name, label in (("gamma", "gamma"), ("bpm_min", "bpm-min"), ("bpm_max", "bpm-max"),
                            ("lmbda", "lmbda")):
            value = getattr(self, name)
            if not _is_number(value):
                raise AnalysisError(f"{label} must be a number, got {_given(value)}")
        if not (math.isfinite(self.gamma) and self.gamma > 0):
            raise AnalysisError(f"gamma must be a positive number, got {_shown(self.gamma)}")
        if not (math.isfinite(self.bpm_min) and self.bpm_min > 0):
            raise AnalysisError(f"bpm-min must be a positive number, got {_shown(self.bpm_min)}")
        if not math.isfinite(self.bpm_max):
            raise AnalysisError(f"bpm-max must be a finite number, got {_shown(self.bpm_max)}")
        if self.bpm_min >= self.bpm_max:
            raise AnalysisError(
                f"bpm-min ({_shown(self.bpm_min)}) must be below bpm-max ({_shown(self.bpm_max)})"
            )
        if not (math.isfinite(self.lmbda) and self.lmbda >= 0):
            raise AnalysisError(f"lmbda must be zero or positive, got {_shown(self.lmbda)}")
        if not (isinstance(self.tempo_level, str) and self.tempo_level in TEMPO_LEVELS):
            raise AnalysisError(
                f"tempo-level must be one of {', '.join(repr(v) for v in TEMPO_LEVELS)}, "
                f"got {_given(self.tempo_level)}"
            )

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
    """Set when the chosen tempo sits on a limit of the search range."""


@dataclass(frozen=True)
class BeatAnalysis:
    """What the road found.  Times are in seconds from the start of the signal."""

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
    """Set when the chosen tempo sits on a limit of the search range."""

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


def _estimate(nov: npt.NDArray[np.float64], ff: float, p: AnalysisParams, bass_of: Callable[[], Curve]
              ) -> tuple[TempoEstimate, npt.NDArray[np.float64] | None]:
    """The tempo step, and the bass onsets (``bass_of()``) it weighed on the
    auto level (None on the raw level): the beat tracker follows the novelty
    plus those."""
    raw = float(estimate_bpm(nov, ff, p.bpm_min, p.bpm_max))
    chosen = raw
    k = int(round(raw / 60.0 * TG_FFT_LEN / ff))  # the bin estimate_bpm picked
    candidates: tuple[TempoCandidate, ...] = (TempoCandidate(raw, 1.0),)
    bass = None
    if p.tempo_level == "auto":
        k_min, k_max = _tempo_bins(p, ff)
        bass = bass_of()
        level = choose_tempo(nov, ff, k_min, k_max, p.lmbda, bass)
        if level is not None:
            k, cands = level
            chosen = 60.0 * k * (ff / TG_FFT_LEN)
            candidates = tuple(TempoCandidate(b, c) for b, c in cands)
    return TempoEstimate(chosen, raw, candidates, _range_warning(chosen, k, ff, p)), bass


_NO_TEMPO = TempoEstimate(None, None, (), None)


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
        return _estimate(nov, ff, p, _bass_of(sig, sample_rate, p, len(nov)))[0]


def _bass_of(sig: Curve, sample_rate: float, p: AnalysisParams, n: int) -> Callable[[], Curve]:
    fft_len, hop = p.sizes()
    return lambda: bass_onsets(sig, sample_rate, fft_len, hop, n, p.gamma)


def _given_bass(bass: Curve | None) -> Callable[[], Curve]:
    def bass_of() -> Curve:
        if bass is None:
            raise ValueError("the auto tempo level needs the bass onsets")
        return bass
    return bass_of


def estimate_from_curves(novelty: Curve | None, bass: Curve | None, sample_rate: float,
                         params: AnalysisParams) -> TempoEstimate:
    """:func:`tempo_estimate` from the curves of a signal that passed
    :func:`check_signal`: its ``spectral_novelty`` (None when not finite) and,
    on the auto level, its ``tempo_level.bass_onsets``; ``params`` resolved."""
    if novelty is None:
        return _NO_TEMPO
    with np.errstate(divide="ignore", invalid="ignore"):
        return _estimate(novelty, sample_rate / params.sizes()[1], params, _given_bass(bass))[0]


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
    bass_of = _bass_of(sig, sample_rate, p, len(nov)) if nov is not None else _given_bass(None)
    return _from_curves(nov, bass_of, sample_rate, len(sig), p)


def analyze_curves(novelty: Curve | None, bass: Curve | None, sample_rate: float, num_samples: int,
                   params: AnalysisParams) -> BeatAnalysis:
    """:func:`analyze` from the curves of a signal of ``num_samples`` samples
    that passed :func:`check_signal`: its ``spectral_novelty`` (None when not
    finite) and, on the auto level, its ``tempo_level.bass_onsets``;
    ``params`` resolved.  The road for signals that never exist whole."""
    return _from_curves(novelty, _given_bass(bass), sample_rate, num_samples, params)


def _from_curves(nov: Curve | None, bass_of: Callable[[], Curve], sample_rate: float, num_samples: int,
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
        est, bass = _estimate(nov, ff, p, bass_of)
        assert est.tempo is not None
        track = nov if bass is None else tracking_curve(nov, bass)
        bpm = est.tempo
        period = 60.0 * ff / bpm
        frames, _ = create_dp_beats(track, period, p.lmbda)
        pulse = make_local_pulse(nov, ff, p.bpm_min, p.bpm_max)
    # create_dp_beats gives an empty float array when it finds nothing.
    beat_frames = np.asarray(frames).astype(np.int64)
    # nov[k] is the change into STFT frame k + 1, which is centred on sample
    # (k + 1) * hop: that is where the onset is heard.
    return BeatAnalysis(
        tempo=bpm,
        beat_times=(beat_frames + 1) / ff,
        beat_frames=beat_frames,
        novelty=nov,
        local_pulse=pulse,
        feature_rate=ff,
        sample_rate=float(sample_rate),
        num_samples=num_samples,
        params=p,
        beat_period=period,
        raw_tempo=est.raw_tempo,
        tempo_candidates=est.candidates,
        tempo_warning=est.warning,
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
