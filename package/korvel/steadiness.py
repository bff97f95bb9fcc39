"""Whether the onsets hold a steady beat at all, and how far the tempo candidates can be trusted.

A tempo estimate always finds *some* strongest periodicity, in pink noise,
applause or speech as in music; what sets music with a beat apart is that its
onsets repeat at one period throughout.  :func:`steadiness` measures that: the
autocorrelation of the onsets (the curve spread over the timing of a played
beat, its local mean removed), divided by its value at lag 0, averaged over a
lag and its multiples (up to REPEATS of them, as far as the curve allows), at
the lag among the beat periods where that is largest.  A periodic train
repeats at every multiple of its period; onsets at random times line up at a
lag, or at a lag and its double, by chance, but seldom at the third and fourth
multiple as well; a steady beat repeats (0.1-0.8 on the annotated songs of
``benchmarks/accuracy.py``, the lowest expressive jazz and classical music;
0.3-0.9 on played patterns with their sounds alternating from beat to beat,
the tempo swaying and the notes off the grid).

How far chance reaches depends on how much of the curve the correlation rests
on: its spread shrinks as one over the square root of the number of
independent values, which is the number of frames divided by the stretch over
which neighbouring frames of the curve move together (the onsets' own width).
On 20-30 s of noise, random hits, speech or applause chance gives 0.05-0.15,
on 5-10 s 0.1-0.3, as much as the weakest songs.  A correlation measured on
fewer independent values than EVIDENCE is therefore scaled down by the ratio
of the chance spreads, so that one threshold holds for curves of any length:
on long curves the measure is the correlation itself.  The weakest songs are
hardly more periodic than chance over 15-20 s, so the scaling starts only
below about that much music, and the threshold cannot rise further there.

The same number tempers the confidence of the tempo candidates: a share of the
evidence means less when the onsets are barely periodic, or when too little of
them was heard to tell.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

__all__ = ["EVIDENCE", "NO_STEADY_BEAT", "STEADINESS_FULL", "STEADINESS_MIN", "confidence_scale",
           "evidence_factor", "lag_products", "onset_deviation", "onset_span", "steadiness", "too_short"]

NO_STEADY_BEAT = "no steady beat"
"""The warning of a signal whose onsets hold no tempo."""
STEADINESS_MIN = 0.08
"""Below this steadiness the road reports no tempo and no beats."""
STEADINESS_FULL = 0.3
"""Steadiness from which the candidates' confidences are their full share of
the evidence; below it they shrink in proportion."""
BEAT_SPAN = (60.0, 200.0)
"""Tempi (BPM) at which :func:`steadiness` always looks for a beat, beside the
range searched: where nearly all annotated beats of music lie.  Faster lags
would count the decay of a single sound and the vibrato of a held note as
periodicity."""
REPEAT_BEATS = 2.0
"""Periods of the slowest beat up to which :func:`steadiness` looks for the
curve to repeat: a pattern whose beats alternate two sounds repeats exactly
only every two beats."""
REPEATS = 4
"""Multiples of a lag (the lag itself, its double, ...) over which
:func:`steadiness` averages the correlation: a steady beat repeats at every
one of them, onsets at random times line up at one or two only by chance."""
STRAY = 0.025
"""Seconds by which each further repeat of a beat may stray from the multiple
of the lag: the lag is a whole number of frames (up to half a frame off the
true period, which adds up over the repeats) and a played tempo sways."""
TIMING = 0.05
"""Seconds to either side over which :func:`onset_deviation` spreads each
onset: how far the onsets of a played beat stray from a strict grid (and the
frame grid from the true period) without losing their correlation."""
LOCAL_MEAN = 2.5
"""Seconds over which :func:`onset_deviation` takes the local mean it removes:
longer than two beats at 60 BPM, so that it keeps the beat."""
FLAT = 1e-9
"""A curve whose values span less than this fraction of its largest magnitude
is constant."""
MIN_PERIODS = 2.0
"""A beat needs at least this many periods of the slowest tempo searched to be
heard as one: shorter audio, or onsets all within a shorter stretch of it,
hold no steady beat."""
ONSET_FRACTION = 0.1
"""Values of the curve from this fraction of its largest on count as onsets
when :func:`onset_span` measures the stretch the onsets cover."""
EVIDENCE = 240.0
"""Independent values of the curve from which :func:`steadiness` counts a
correlation in full: about 14-15 s of music (the shortest clips STEADINESS_MIN
was set on are 15 s; at 43 frames a second the onsets of played patterns move
together over 2.5 frames, those of songs over 2.3).
On fewer the chance correlation is larger, and the measure is scaled down by
``sqrt(independent values / EVIDENCE)``: in effect the threshold rises as the
spread of chance does."""


def steadiness(nov: npt.NDArray[np.float64], ff: float, bpm_min: float, bpm_max: float) -> float:
    """How strongly the curve repeats at its best beat period: the normalised
    autocorrelation of :func:`onset_deviation` at a lag and at its multiples,
    averaged, at the lag among the beat periods (those of BEAT_SPAN and of
    ``bpm_min`` .. ``bpm_max``, up to REPEAT_BEATS periods of the slowest, whole
    frames) where that is largest.  1 for a curve that repeats exactly (less
    the biased estimate's shrinking at long lags), about 0 for one without
    periodicity; 0 for a constant curve.

    A periodic onset train repeats at its period and at every multiple of it,
    so onsets at random times rarely line up at a lag and at all its
    multiples too.  The lag and its double always count (a double past the
    end of the curve counts the lag twice, as on the shortest curves); the
    third to REPEATS-th multiples count where the curve still overlaps itself
    over half its length (near its end a lag rests on the products of a few
    frames at its two ends), each taken as the largest correlation within
    STRAY seconds per repeat after the first of the multiple: the lag is a
    whole number of frames, the true period is not, and a played tempo
    sways.  Beats whose sounds alternate (a bass note on the beat, a chord on
    the next) repeat exactly only every two beats, which the lags reach.  Whether
    the onsets hold a beat does not depend on where the caller looks for its
    tempo, so the usual span of beats always counts: clicks at 70 BPM searched
    in 40-60 BPM still have a steady beat (the tempo step then says that its
    answer sits on the limit of the range).  The autocorrelation is the biased
    one (every lag divided by the same sum of squares), computed through the
    FFT in O(n log n) by :func:`lag_products`.

    The correlation is then scaled by :func:`evidence_factor`: on a curve too
    short to tell a beat from chance (fewer than EVIDENCE independent values)
    it counts for less, by as much as its chance spread is larger.
    """
    n = len(nov)
    # A constant curve holds no onsets at all (its deviations would be rounding).
    if n == 0 or not float(np.max(nov)) - float(np.min(nov)) > FLAT * float(np.max(np.abs(nov))):
        return 0.0
    x = onset_deviation(nov, ff)
    lo = max(1, int(math.floor(60.0 * ff / max(bpm_max, BEAT_SPAN[1]))))
    hi = min(n - 1, int(math.ceil(REPEAT_BEATS * 60.0 * ff / min(bpm_min, BEAT_SPAN[0]))))
    if hi < lo:
        return 0.0
    # The lag and its double always count (a double past the end of the curve
    # counts the lag twice); further multiples only where the curve still
    # overlaps itself over half its length: near its end a lag rests on the few
    # products of its first and last frames.
    reach = min(n // 2, REPEATS * hi + _stray(REPEATS, ff))
    top = min(n - 1, max(2 * hi, reach))
    ac = lag_products(x, top)
    if not ac[0] > 0:
        return 0.0
    lags = np.arange(lo, hi + 1)
    comb = ac[lags] + ac[np.minimum(2 * lags, top)]
    count = np.full(len(lags), 2)
    for k in range(3, REPEATS + 1):
        side = _stray(k, ff)
        fits = k * lags + side <= reach
        comb[fits] += _nearby_max(ac, side)[k * lags[fits]]
        count[fits] += 1
    return float(np.max(comb / count) / ac[0]) * evidence_factor(ac[:lo] / ac[0], n)


def _stray(k: int, ff: float) -> int:
    """Frames to either side of ``k`` times a lag within which the k-th repeat
    of a beat is looked for: STRAY seconds for each repeat after the first."""
    return int(round((k - 1) * STRAY * ff))


def _nearby_max(ac: npt.NDArray[np.float64], side: int) -> npt.NDArray[np.float64]:
    """The largest of ``ac`` within ``side`` values to either side of each (fewer at the ends)."""
    out = ac.copy()
    for d in range(1, min(side, len(ac) - 1) + 1):
        np.maximum(out[:-d], ac[d:], out=out[:-d])
        np.maximum(out[d:], ac[:-d], out=out[d:])
    return out


def evidence_factor(short_lags: npt.NDArray[np.float64], n: float) -> float:
    """``min(1, sqrt(n / width / EVIDENCE))``: how much of a correlation over
    ``n`` frames of a curve counts, given its normalised autocorrelation at lag
    0 and the short lags below the fastest beat (``short_lags``).

    At lags where the curve does not repeat, its autocorrelation is a sum of
    ``n`` products that are independent once further apart than the curve's
    own correlation, so by chance it spreads as ``sqrt(width / n)``, where
    ``width = sum(rho_j^2)`` over the lags from minus to plus the width of an
    onset (the standard large-sample variance of an autocorrelation at lags
    where the true one is 0): ``n / width`` independent values.  The lags of
    the first lobe, up to the first one whose correlation is not positive and
    below the fastest beat, hold the shape of a single onset, not a beat, so
    they measure the width without counting a beat (or a faster pulse) as
    chance.  Wide onsets (syllables, decaying kicks) make fewer independent
    values of the same frames than sharp ones, and the number does not change
    with the frame rate (more frames, each onset as many frames wider).
    ``n`` below 0 or NaN is refused with a ValueError.
    """
    if not n >= 0:
        raise ValueError(f"n must be a number of frames, 0 or more, got {n!r}")
    rho = np.asarray(short_lags, dtype=np.float64)[1:]
    # The onset's own lobe ends where the correlation first stops being
    # positive; beyond it a fast periodicity (hi-hats on the sixteenths)
    # would count as width.
    lobe = rho[:int(np.argmax(rho <= 0))] if np.any(rho <= 0) else rho
    width = 1.0 + 2.0 * float(np.sum(lobe ** 2))
    return min(1.0, math.sqrt(n / width / EVIDENCE))


def onset_deviation(nov: npt.NDArray[np.float64], ff: float) -> npt.NDArray[np.float64]:
    """The curve spread over the timing a played beat allows (a Hann window
    TIMING seconds to either side), less its mean over LOCAL_MEAN seconds
    around each frame (fewer at the ends): the onsets, without the slow rise
    and fall of the loudness, which would otherwise correlate at every lag.
    Computed a block of LAG_BLOCK values at a time, into one new array."""
    v = np.asarray(nov, dtype=np.float64)
    n = len(v)
    side = max(1, int(round(TIMING * ff)))
    window = np.hanning(2 * side + 3)[1:-1]
    window /= window.sum()
    half = max(1, int(round(0.5 * LOCAL_MEAN * ff)))
    out = np.empty(n)
    for a in range(0, n, LAG_BLOCK):
        b = min(n, a + LAG_BLOCK)
        # The block, the frames its local means reach, and those the smoothing of these reaches.
        s0, s1 = max(0, a - half - side), min(n, b + half + side)
        smooth = np.convolve(v[s0:s1], window)[side:side + s1 - s0]
        m0, m1 = max(0, a - half), min(n, b + half)
        sums = np.concatenate(([0.0], np.cumsum(smooth[m0 - s0:m1 - s0])))
        i = np.arange(a, b)
        left, right = np.maximum(i - half, 0), np.minimum(i + half + 1, n)
        out[a:b] = smooth[a - s0:b - s0] - (sums[right - m0] - sums[left - m0]) / (right - left)
    return out


LAG_BLOCK = 1 << 14
"""Values of the curve correlated at a time by :func:`lag_products`."""


def lag_products(x: npt.NDArray[np.float64], max_lag: int) -> npt.NDArray[np.float64]:
    """``sum(x[i] * x[i + k])`` over the curve for every lag ``k`` from 0 to
    ``max_lag``: the autocorrelation's first lags, through the FFT a block of
    the curve at a time (each block of LAG_BLOCK values against itself and
    the ``max_lag`` values after it), so that its working memory does not
    grow with the curve."""
    n = len(x)
    block = max(LAG_BLOCK, max_lag + 1)
    # Long enough that no product of a block wraps around into the lags kept.
    size = 1 << (2 * block + max_lag - 1).bit_length()
    ac = np.zeros(max_lag + 1)
    for start in range(0, n, block):
        head = np.fft.rfft(x[start:start + block], size)
        np.conjugate(head, out=head)
        head *= np.fft.rfft(x[start:start + block + max_lag], size)
        ac += np.fft.irfft(head, size)[:max_lag + 1]
    return ac


def onset_span(nov: npt.NDArray[np.float64]) -> int:
    """Frames from the first onset of the curve to its last, both counted
    (values from ONSET_FRACTION of the largest on); 0 without onsets.

    A single hit in silence has a few frames of onsets: however its decay
    happens to correlate, two beats cannot fit in it.  Music that plays
    throughout covers (nearly) the whole curve.
    """
    v = np.asarray(nov, dtype=np.float64)
    peak = float(np.max(v)) if len(v) else 0.0
    if not peak > 0:
        return 0
    onsets = v >= ONSET_FRACTION * peak
    return int(len(v) - np.argmax(onsets[::-1]) - np.argmax(onsets))


def too_short(n_frames: int, ff: float, bpm_min: float) -> bool:
    """True when ``n_frames`` of the curve hold fewer than MIN_PERIODS periods
    of the slowest tempo searched."""
    return n_frames < MIN_PERIODS * 60.0 * ff / bpm_min


def confidence_scale(value: float) -> float:
    """The factor on the candidates' shares: steadiness / STEADINESS_FULL, at most 1."""
    return min(1.0, max(0.0, value) / STEADINESS_FULL)
