"""A plain NumPy Viterbi decoder of the beat-pointer model.

The slow, obvious counterpart of ``korvel.pulsix.create_hmm_beats``: every
state (T, phi) is an entry of one score vector, the model's tables are built
whole, and each frame is one step of the textbook recursion.  It forms each
number with the same IEEE operations in the same order as the native code,
so the two agree bit for bit.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

FLOOR = 1e-6  # observations are clipped to [FLOOR, 1 - FLOOR]
EXP_FLOOR = -700.0  # exponents are raised to this before np.exp


def transition_table(periods: npt.NDArray[np.float64], lam: float) -> npt.NDArray[np.float64]:
    """log P(T_k | T_j) at [j, k]: exp(-lam * |T_k / T_j - 1|) normalised over k."""
    change = -lam * np.abs(periods[None, :] / periods[:, None] - 1.0)
    norm = np.empty(len(periods))
    for j in range(len(periods)):
        total = 0.0
        for term in np.exp(np.maximum(change[j], EXP_FLOOR)):
            total += float(term)  # in order, one term at a time
        norm[j] = total
    return change - np.log(norm)[:, None]


def hmm_beats(
    curve: npt.ArrayLike,
    min_period: int,
    max_period: int,
    transition_lambda: float = 100.0,
    obs_lambda: float = 16.0,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    x = np.asarray(curve, dtype=np.float64)
    n_frames = len(x)
    lam, obs = float(transition_lambda), float(obs_lambda)
    if n_frames == 0 or not x.max() > 0:
        return np.zeros(0, np.int64), np.full(n_frames, np.nan)

    c = np.clip(x / x.max(), FLOOR, 1.0 - FLOOR)
    beat_ll = np.log(c)
    rest_ll = np.log(1.0 - c) - np.log(np.array([obs - 1.0]))[0]

    periods = np.arange(min_period, max_period + 1)
    trans = transition_table(periods.astype(np.float64), lam)
    # The states, period by period, position by position.
    period_of = np.concatenate([np.full(t, k) for k, t in enumerate(periods)])
    phase = np.concatenate([np.arange(t) for t in periods])
    t_of = periods[period_of]
    in_region = np.minimum(phase, t_of - phase) <= t_of / (2.0 * obs)
    starts = phase == 0
    before = np.arange(len(phase)) - 1  # (T, phi - 1) for phi > 0
    last = np.flatnonzero(phase == t_of - 1)  # (T, T - 1), period by period

    def observe(n: int) -> npt.NDArray[np.float64]:
        return np.where(in_region, beat_ll[n], rest_ll[n])

    score = np.zeros(len(phase)) + observe(0)
    back = np.zeros((n_frames, len(periods)), dtype=np.int64)
    for n in range(1, n_frames):
        arrive = score[last][:, None] + trans  # [from, to]
        best = np.argmax(arrive, axis=0)  # first maximum: the smallest period
        back[n] = best
        entered = arrive[best, np.arange(len(periods))]
        carried = np.where(starts, entered[period_of], score[np.maximum(before, 0)])
        score = carried + observe(n)

    state = int(np.argmax(score))
    k, phi = int(period_of[state]), int(phase[state])
    decoded = np.empty(n_frames)
    beats = []
    for n in range(n_frames - 1, -1, -1):
        decoded[n] = periods[k]
        if phi == 0:
            beats.append(n)
            if n > 0:
                k = int(back[n, k])
                phi = int(periods[k]) - 1
        else:
            phi -= 1
    return np.array(beats[::-1], dtype=np.int64), decoded
