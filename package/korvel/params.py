"""The parameters of the road: their fields, their checks, and the sizes they admit.

An :class:`AnalysisParams` is checked when it is made, so a bad value is
refused where it was written; :meth:`AnalysisParams.resolved` fills in the
window and hop a sample rate calls for.  The command line and the batch
runner spell the fields as options (:data:`OPTION_NAMES`) in the messages.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, replace
from dataclasses import fields as dataclass_fields
from typing import Any, Mapping

from .tempogram import TG_WIN

__all__ = [
    "AUTO_LEVEL", "AnalysisError", "AnalysisParams", "OPTION_NAMES", "TEMPO_LEVELS", "check_params",
    "default_hop", "min_samples", "usable_hops",
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



def min_samples(params: AnalysisParams, sample_rate: float) -> int:
    """The fewest samples the novelty step can work with for these parameters.

    The novelty curve has one value fewer than the spectrogram has frames, and
    its local-average threshold needs at least 9 values.
    """
    fft_len, hop = params.resolved(sample_rate).sizes()
    # The spectrogram of n samples (centred: fft_len // 2 zeros in front) has
    # 1 + ceil((n + fft_len // 2 - fft_len) / hop) frames; it needs 10.
    return fft_len - fft_len // 2 + 8 * hop + 1


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
