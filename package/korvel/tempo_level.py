"""Which tempo to hand the beat tracker: the metrical level listeners tap.

A novelty curve is periodic at several related rates at once (bars, beats,
eighth notes), and the two classic tempo views err in opposite directions:

- the Fourier tempogram (what ``estimate_bpm`` averages) sees an onset train
  at rate f at f, 2f, 3f, ...: it favours the *harmonics*, so eighth-note
  hi-hats often outweigh the beat;
- the autocorrelation of the curve is high at the lag T and at 2T, 3T, ...:
  it favours the *subharmonics*, so bars often outweigh the beat.

Their product (the *salience*) is high only where both agree, which cancels
both biases and leaves the pulse itself.  What periodicity alone cannot
settle is the choice between that pulse and its double or half, so those
octave relatives compete on what a listener hears on their beats: the beat
tracker places beats at each tempo, and the mean onset strength there (the
novelty plus the onsets of the bass range, where a kick drum marks the beat
and a hi-hat does not) is weighed with the square root of the salience and
with a perceptual preference, a log-normal weight centred on 113 BPM, the
middle of the 80-160 BPM span in which listeners tap.

Between a level and its double, periodicity cannot tell which one is the
beat when the onsets of the double are all alike (eighth notes as strong as
the beats): the salience then favours the double, whose onsets are the more
regular.  The bass decides it: where a kick or bass note falls on every other
beat of the double, on the beats the slower level would take, and much less
on the others, the double is the subdivision, and the slower level's weight
is multiplied by how many times more bass onset those beats carry
(:func:`bass_group_ratio`).  Where the bass plays on every beat of the double
the ratio is near 1; where it plays mostly on the others the weight is left
as it is (the novelty then puts the slower level on the off-beats: a loud
hi-hat between kicks, the "chick" of a "boom-chick" bass line), and where it
groups the double's beats in threes (6/8) it says nothing about twos.  The
other way round, a kick on every beat of the double, with onsets between
its beats, speaks for the double (:func:`bass_pulse_ratio`): four on the
floor with a snare on every other beat is, to the novelty, even eighth notes
with an accent on every fourth, whose half is the more salient.  And a grid
three times as fast as a level is a pulse only if the onsets fill both of
its points between the level's beats (:func:`thirds_balance`): swung
eighths, late on the off-beat, fill one.  Last, the search range ends where
its limits are and the music's periodicities do not: a level at an end of the
range whose peak lies beyond it is answered by its octave inside the range.

Once the tempo is chosen, the tracker follows the novelty plus the bass
onsets (:func:`tracking_curve`), which keeps its beats on the kick and bass
rather than on the off-beats.  The levels themselves are rated with beats
placed on the novelty alone, so that the bass onsets count once, as evidence,
and do not also pull each candidate's beats towards themselves.

Everything here works on the novelty curve with korvel's own tempogram
functions and NumPy; the constants are few, named, and explained in
``docs/usage.md``.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from .beat_features import bass_group_ratio, bass_pulse_ratio, on_beat_strength, thirds_balance
from .beat_features import level_beats as _level_beats
from .beat_features import phase_strength as _phase_strength
from .beat_features import strength_at as _strength_at
from .pulsix import auto_correlate, make_ac_tempogram
# The tempogram grid is estimate_bpm's; TG_* and _mean_magnitude stay importable from here.
from .tempogram import TG_BINS, TG_BLOCK, TG_FFT_LEN, TG_HOP, TG_WIN, TG_ZP, RowSums, bin_bpm  # noqa: F401
from .tempogram import mean_magnitude as _mean_magnitude

__all__ = [
    "bass_group_ratio", "bass_onsets", "bass_onsets_of_energy", "bass_pulse_ratio", "choose_tempo",
    "meter_evidence", "on_beat_strength", "preference", "salience", "thirds_balance", "tracking_curve",
]

PREFERRED_BPM = 113.0
"""Centre of the tempo preference: the geometric middle of 80 and 160 BPM."""
PREFERENCE_OCTAVES = 0.5
"""Width (one standard deviation, in octaves) of the preference: 80 and 160
BPM lie one standard deviation from its centre."""
RELATIVE_TOLERANCE = 0.04
"""How far (as a fraction of the tempo) the peak of an octave relative may lie
from exactly half or twice the pulse: the usual 4 % tempo tolerance."""
SALIENCE_POWER = 0.5
"""How much the salience counts in the choice between octave relatives,
beside how strong the onsets on their beats are: its square root."""
BASS_HZ = 200.0
"""Upper end of the kick-drum and bass range whose onsets mark the beats."""
MAX_CANDIDATES = 5
"""Tempo candidates reported."""
RELATIONS = ((1, 2), (2, 1), (1, 3), (3, 1), (2, 3), (3, 2))
"""The relatives of the pulse that compete with it, as tempo ratios: the octave
relatives, and those of metres in three."""
METER_TOLERANCE = 0.03
"""How far (as a fraction of the lag) a bar or beat may lie from an exact
multiple of the tatum in :func:`meter_evidence`."""
UNRELATED_WEIGHT = 0.5
"""Prior of a salience peak unrelated to the pulse: it may still win, but only
on clearly more evidence than the pulse's family."""


def _autocorrelation(nov: npt.NDArray[np.float64], max_lag: float) -> npt.NDArray[np.float64]:
    """Mean autocorrelation of the curve over windows of TG_WIN frames (longer
    when the slowest tempo's period needs more lags), one value per lag from 0,
    each divided by the number of products it sums (so that long lags are not
    penalised for their shorter overlap)."""
    win = max(TG_WIN, int(math.ceil(max_lag)) + 2)
    x = nov - np.mean(nov)
    if len(x) >= win + TG_HOP:
        ac = _mean_ac_tempogram(x, win)
        return np.asarray(ac / (win - np.arange(win)), dtype=np.float64)
    # Shorter than one window and a hop: the whole curve is the one window.
    ac = np.asarray(auto_correlate(x), dtype=np.float64) / (len(x) - np.arange(len(x)))
    return np.concatenate([ac, np.zeros(max(0, win - len(ac)))])


AC_BLOCK_BYTES = 2 << 20
"""Size of the block of autocorrelation frames made at a time."""


def _mean_ac_tempogram(x: npt.NDArray[np.float64], win: int) -> npt.NDArray[np.float64]:
    """``np.mean(make_ac_tempogram(x, win, TG_HOP), axis=1)``, the same bits,
    a block of frames at a time: each frame is its own window's
    autocorrelation, and :class:`~korvel.tempogram.RowSums` adds the rows as
    NumPy's mean does, so that a long curve's [win, frames] matrix is never
    made whole."""
    frames = int((len(x) - win) / TG_HOP)  # as make_ac_tempogram counts them
    step = max(1, AC_BLOCK_BYTES // (8 * win))
    sums = RowSums(win, frames)
    for h0 in range(0, frames, step):
        h1 = min(frames, h0 + step)
        # Exactly h1 - h0 frames: the segment spans their windows and no more hops.
        sums.feed(make_ac_tempogram(x[h0 * TG_HOP:h1 * TG_HOP + win], win, TG_HOP))
    return np.asarray(sums.total() / frames, dtype=np.float64)


def _salience(
    nov: npt.NDArray[np.float64], ff: float, k_min: int, k_max: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64],
           npt.NDArray[np.float64]]:
    """:func:`salience`, and the autocorrelation it used (one value per lag,
    long enough for four periods of the slowest tempo)."""
    fourier = _mean_magnitude(nov, k_min, k_max)
    bins = np.arange(k_min, k_max)
    bpm = np.asarray(bin_bpm(bins, ff), dtype=np.float64)
    lags = 60.0 * ff / bpm
    ac = _autocorrelation(nov, float(lags[0]) if len(lags) else 0.0)
    corr = np.interp(lags, np.arange(len(ac)), ac, right=0.0)
    np.maximum(corr, 0.0, out=corr)
    return bpm, np.asarray(fourier, dtype=np.float64), np.asarray(fourier * corr, dtype=np.float64), ac


def salience(
    nov: npt.NDArray[np.float64], ff: float, k_min: int, k_max: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Tempo, Fourier strength and salience of the tempogram bins k_min .. k_max - 1.

    The Fourier strength is the time-averaged magnitude that ``estimate_bpm``
    maximises; the salience multiplies it by the curve's autocorrelation at
    the lag of the bin's tempo (the larger of the two whole lags around it;
    negative correlation counts as none).
    """
    return _salience(nov, ff, k_min, k_max)[:3]


def _peaks(values: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
    """Indices of the local maxima (plateaus count once, at their start; the
    ends count when they are higher than their one neighbour)."""
    if len(values) == 1:
        return np.zeros(1, dtype=np.intp)
    left = np.concatenate([[True], values[1:] > values[:-1]])
    right = np.concatenate([values[:-1] >= values[1:], [True]])
    return np.flatnonzero(left & right & (values > 0))


def preference(bpm: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The perceptual weight of a tempo: 1 at PREFERRED_BPM, e^-1/2 an octave
    width (PREFERENCE_OCTAVES) away."""
    octaves = np.log2(np.asarray(bpm, dtype=np.float64) / PREFERRED_BPM) / PREFERENCE_OCTAVES
    return np.asarray(np.exp(-0.5 * octaves**2), dtype=np.float64)


def bass_onsets(
    sig: npt.NDArray[np.float64], sample_rate: float, fft_len: int, hop: int, n: int, gamma: float
) -> npt.NDArray[np.float64]:
    """Onset strength of the lowest frequencies (kick drum, bass), one value per
    novelty frame: ``out[k]`` is the rise of low-frequency energy from STFT
    frame k to k + 1, scaled to [0, 1].

    The spectral novelty compresses every frequency bin on its own, so a loud
    kick and a quiet hi-hat make onsets of about the same size; this curve
    keeps what the kick has and the hat lacks.  Averaging blocks of
    ``sample_rate / (2 * BASS_HZ)`` samples low-passes and decimates the
    signal in one step (the first null of the average lies at 2 * BASS_HZ);
    the energy of each STFT frame is then compressed like the novelty
    (``log10(1 + gamma * energy)``, energy relative to the loudest frame) and
    its rises kept.
    """
    block = max(1, int(round(sample_rate / (2.0 * BASS_HZ))))
    m = len(sig) // block
    low = np.mean(sig[: m * block].reshape(m, block), axis=1)
    energy = np.concatenate([[0.0], np.cumsum(low * low)])
    # STFT frame h is centred on sample h * hop and spans fft_len samples.
    starts = (np.arange(n + 1) * hop - fft_len // 2) / block
    lo = np.clip(np.round(starts).astype(np.intp), 0, m)
    hi = np.clip(np.round(starts + fft_len / block).astype(np.intp), 0, m)
    return bass_onsets_of_energy(energy[hi] - energy[lo], n, gamma)


def bass_onsets_of_energy(frame: npt.NDArray[np.float64], n: int, gamma: float) -> npt.NDArray[np.float64]:
    """:func:`bass_onsets` from the low-frequency energy of each of the n + 1
    STFT frames (for signals analysed block by block)."""
    peak = float(np.max(frame))
    if not peak > 0:
        return np.zeros(n)
    rise = np.maximum(np.diff(np.log10(1.0 + gamma * (frame / peak))), 0.0)
    top = float(np.max(rise))
    return np.asarray(rise / top if top > 0 else rise, dtype=np.float64)


def tracking_curve(
    nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    """The curve the beat tracker follows once the tempo is chosen: the novelty
    plus the bass onsets, both scaled to a maximum of 1.

    The novelty alone weighs a hi-hat or a piano's inner voice as much as the
    kick or the bass note that marks the beat, so the tracker, which only
    knows where onsets are and how regular its beats must be, may settle on
    the off-beats or slip between the two for a few bars.  Adding the bass
    onsets, the same evidence that rates the metrical levels, tips the phase
    to where the low instruments play.  Both parts peak at 1, so neither
    drowns the other; the tracker's regularity penalty is unchanged.
    """
    return np.asarray(nov + bass, dtype=np.float64)


def _lag_strength(ac: npt.NDArray[np.float64], lag: float) -> float:
    """The largest autocorrelation within METER_TOLERANCE of ``lag`` (a beat
    or bar a few percent off the exact multiple still counts)."""
    lo = int(math.floor(lag * (1.0 - METER_TOLERANCE)))
    hi = int(math.ceil(lag * (1.0 + METER_TOLERANCE)))
    if lo >= len(ac) or lo < 1:
        return 0.0
    return float(np.max(ac[lo:min(hi, len(ac) - 1) + 1]))


def meter_evidence(ac: npt.NDArray[np.float64], tatum: float, group: int = 3) -> float:
    """How strongly the onsets group in threes (``group`` 3) or in twos
    (``group`` 2) at the level ``tatum`` (a lag in frames): the
    autocorrelation at three tatums over the larger of that at two and at
    four, or the inverse, limited to [0, 1].

    In duple metre the curve repeats after two and four tatums more than after
    three; in triple metre (a waltz's bar of three beats, 6/8's beat of three
    eighths) after three.  1 means "at least as much in threes as in twos"
    (or the other way round).
    """
    if group not in (2, 3):
        raise ValueError(f"group must be 2 or 3, not {group!r}")
    three = _lag_strength(ac, 3.0 * tatum)
    two = max(_lag_strength(ac, 2.0 * tatum), _lag_strength(ac, 4.0 * tatum))
    mine, other = (three, two) if group == 3 else (two, three)
    if not mine > 0:
        return 0.0
    if not other > 0:
        return 1.0
    return min(1.0, mine / other)


def choose_tempo(
    nov: npt.NDArray[np.float64], ff: float, k_min: int, k_max: int, lmbda: float = 10.0,
    bass: npt.NDArray[np.float64] | None = None,
) -> tuple[int, list[tuple[float, float]]] | None:
    """The tempogram bin of the chosen tempo and the candidates considered.

    :param nov: novelty curve (finite)
    :param ff: its feature rate
    :param k_min, k_max: the tempogram bins searched (``k_max`` excluded), as
        ``estimate_bpm`` computes them from the tempo limits
    :param lmbda: the beat tracker's penalty weight
    :param bass: :func:`bass_onsets` of the audio, or None to rate beats by the
        novelty alone
    :returns: ``(bin, [(bpm, share), ...])``: the chosen tempo first, the
        others by decreasing share (the chosen tempo has the largest); ``None``
        when the curve has no periodicity in the range at all (the caller keeps
        the plain estimate)

    Steps: the strongest salience peak is the pulse.  Its relatives (the
    strongest salience peaks within RELATIVE_TOLERANCE of 1/2, 2, 1/3, 3, 2/3
    and 3/2 times its tempo, when in range) and the next strongest other peaks
    compete on their *level weight*: on-beat strength x salience **
    SALIENCE_POWER x preference x a prior: 1 for the pulse and its octave
    relatives, :func:`meter_evidence` for the relatives in three, and
    UNRELATED_WEIGHT for peaks unrelated to the pulse.  With the bass onsets
    given, the slower of each octave pair (half the pulse and the pulse, the
    pulse and its double) has its weight multiplied by
    :func:`bass_group_ratio` in twos at the faster level's beats, when that
    is above 1 and at least the ratio in threes (bass that marks threes, as
    in 6/8, says nothing about twos), and the faster one's weight, rated at the
    better of its trial beats and the points between them, by
    :func:`bass_pulse_ratio` at its beats when that is above 1.  Of the pulse
    and a relative three times as fast, the faster one's weight is multiplied
    by :func:`thirds_balance` at the slower one's beats.  A level whose
    Fourier peak lies beyond the range (the strength still rising two bins
    past its end) hands its weight to its octave relative inside the range,
    which stands for it; without one it stays, at the end bin.  The largest
    weight wins; a candidate's share is its part of the summed weights.
    """
    bpm, fourier, sal, ac, beyond = _salience_in_range(nov, ff, k_min, k_max)
    peaks = _peaks(sal)
    if len(peaks) == 0:
        return None
    by_salience = [int(i) for i in peaks[np.argsort(-sal[peaks], kind="stable")]]
    # The relatives of a peak beyond the range are those of its own tempo.
    heard = bpm.copy()
    for end, peak_bpm in beyond.items():
        heard[end] = peak_bpm
    prior, octaves, thirds = _family(heard, by_salience, ac, ff)
    beats = {i: _level_beats(nov, ff, float(bpm[i]), lmbda) for i in prior}
    weight = _level_weights(nov, bass, bpm, sal, prior, beats, octaves, thirds)
    for slow, fast in octaves:
        # A level whose peak lies beyond the range is answered by its octave
        # inside it: the two are one answer an octave apart.
        for out, stays in ((fast, slow), (slow, fast)):
            if out in weight and stays in weight and _place(bpm, fourier, out, ff) in beyond:
                weight[stays] += weight.pop(out)
    total = sum(weight.values())
    if not (total > 0 and math.isfinite(total)):
        return None
    # Dictionary order puts the pulse first: on equal weights the pulse stays.
    ranked = sorted(weight, key=lambda i: -weight[i])
    choice = ranked[0]
    exact = _place(bpm, fourier, choice, ff)
    cands = [(float(bpm[exact]), weight[choice] / total)]
    cands += [(float(bpm[i]), weight[i] / total) for i in ranked[1:MAX_CANDIDATES] if i != exact]
    return k_min + exact, cands


Pairs = list[tuple[int, int]]


def _salience_in_range(
    nov: npt.NDArray[np.float64], ff: float, k_min: int, k_max: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64],
           npt.NDArray[np.float64], dict[int, float]]:
    """:func:`_salience` of the bins k_min .. k_max - 1, and the ends of that
    range (indices 0 or k_max - k_min - 1) whose Fourier peak lies beyond it,
    each with the tempo of that peak.

    The Fourier strength is read past each end of the range (where the
    tempogram goes on), RELATIVE_TOLERANCE of the tempo there or at least two
    bins: where it still rises over the first two, the music's periodicity
    peaks outside the range, and the end bin is only the flank of that peak,
    which lies at the strongest bin read (or further).  One bin is not enough
    to say so, as the bins round the tempo limits up: the first bin outside
    may still hold a tempo at the limit itself.
    """
    below = max(2, int(math.ceil(RELATIVE_TOLERANCE * k_min)))
    above = max(2, int(math.ceil(RELATIVE_TOLERANCE * k_max)))
    lo = max(1, k_min - below)
    hi = min(k_max + above, TG_BINS)
    bpm, fourier, sal, ac = _salience(nov, ff, lo, hi)
    first, last = k_min - lo, k_max - lo - 1
    beyond = {}
    if k_min - lo >= 2 and fourier[first - 2] > fourier[first - 1] > fourier[first]:
        beyond[0] = float(bpm[int(np.argmax(fourier[:first]))])
    if hi - k_max >= 2 and fourier[last + 2] > fourier[last + 1] > fourier[last]:
        beyond[last - first] = float(bpm[last + 1 + int(np.argmax(fourier[last + 1:]))])
    inside = slice(first, last + 1)
    return bpm[inside], fourier[inside], sal[inside], ac, beyond


def _family(
    bpm: npt.NDArray[np.float64], by_salience: list[int], ac: npt.NDArray[np.float64], ff: float
) -> tuple[dict[int, float], Pairs, Pairs]:
    """The candidates and their priors (the pulse first, then its relatives,
    then unrelated peaks), the octave pairs of the pulse's family and its
    pairs with a relative three times as fast, each pair (slower, faster)."""
    pulse = by_salience[0]
    lag = 60.0 * ff / float(bpm[pulse])
    prior = {pulse: 1.0}
    octaves: Pairs = []
    thirds: Pairs = []
    for num, den in RELATIONS:
        target = bpm[pulse] * num / den
        near = [i for i in by_salience if abs(bpm[i] - target) <= RELATIVE_TOLERANCE * target]
        if not near or near[0] in prior:
            continue
        # The tatum both levels are whole multiples of: the pulse's lag over the
        # numerator (3/2 of the pulse: a third of its period; 1/3: its period).
        # A relative three tatums long, or one tatum of a pulse three long, is a
        # level of the metre where the tatums group in threes; one two tatums
        # long beside a pulse three long (3/2) is where they group in twos, the
        # pulse then being the cross-rhythm.
        group = 2 if (num, den) == (3, 2) else 3
        prior[near[0]] = 1.0 if 3 not in (num, den) else meter_evidence(ac, lag / num, group)
        pair = (near[0], pulse) if num < den else (pulse, near[0])
        if min(num, den) == 1:  # whole multiples: octaves, or three to one
            (octaves if max(num, den) == 2 else thirds).append(pair)
    others = [i for i in by_salience if i not in prior]
    for i in others[: max(0, MAX_CANDIDATES - len(prior))]:
        prior[i] = UNRELATED_WEIGHT
    return prior, octaves, thirds


def _level_weights(
    nov: npt.NDArray[np.float64], bass: npt.NDArray[np.float64] | None, bpm: npt.NDArray[np.float64],
    sal: npt.NDArray[np.float64], prior: dict[int, float], beats: dict[int, npt.NDArray[np.intp]],
    octaves: Pairs, thirds: Pairs,
) -> dict[int, float]:
    """Each candidate's level weight (see :func:`choose_tempo`), in the order of ``prior``."""
    # The faster of an octave pair is rated at its better phase; the slower
    # one's points between are the faster one's other beats, and which of
    # those two halves carries the beat is what the octave comparison weighs.
    faster = {fast for _, fast in octaves}
    weight = {i: (_phase_strength if i in faster else _strength_at)(nov, bass, beats[i])
              * float(sal[i]) ** SALIENCE_POWER
              * float(preference(bpm[i])) * p for i, p in prior.items()}
    for slow, fast in thirds:
        # Three beats to one of the slower level only make a pulse if the
        # onsets fill both thirds of its beat; swung eighths fill one.
        weight[fast] *= thirds_balance(nov, beats[slow])
    if bass is not None:
        for slow, fast in octaves:
            # Bass on every other beat of the faster level speaks for the
            # slower one unless it marks every third beat better (6/8's
            # eighths, whose half is no level of the metre).  Bass on the
            # other beats is no evidence against the slower level: the
            # novelty may put it on the off-beats.
            twos = bass_group_ratio(bass, nov, beats[fast])
            threes = bass_group_ratio(bass, nov, beats[fast], 3)
            if twos >= threes:
                weight[slow] *= max(1.0, twos)
            # A kick on every beat of the faster level speaks for it: the
            # novelty alone may hear its beats as even eighth notes with an
            # accent (a snare) on every other one, which makes the slower
            # level the more salient.
            weight[fast] *= max(1.0, bass_pulse_ratio(bass, nov, beats[fast]))
    return weight


def _place(bpm: npt.NDArray[np.float64], fourier: npt.NDArray[np.float64], i: int, ff: float) -> int:
    """The bin of the Fourier peak within half a lag of bin ``i``.

    The autocorrelation is known at whole lags only (at 180 BPM and 43 frames
    per second, lags 14 and 15 are 12 BPM apart), which pulls the salience
    peak towards whole lags; the Fourier strength, sampled 16 times more
    finely, places the tempo within that span.
    """
    lag = 60.0 * ff / bpm
    span = np.flatnonzero(np.abs(lag - lag[i]) <= 0.5)
    return int(span[np.argmax(fourier[span])])
