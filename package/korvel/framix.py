"""Frame counting for framed signal analysis."""

from __future__ import annotations

import operator

__all__ = ["calc_num_frames"]


def _as_int(value: object, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{name} must be an integer, not {type(value).__name__}"
        ) from None


def calc_num_frames(x_len: int, win_len: int, hop_size: int) -> int:
    """Return the number of frames needed to cover ``x_len`` samples.

    Frames are ``win_len`` samples long and start ``hop_size`` samples apart,
    the first at sample 0.  The count is the smallest number of frames such
    that every sample lies in at least one frame; the last frame may run past
    the end of the signal.

    :param x_len: number of samples, >= 0
    :param win_len: frame length in samples, >= 1
    :param hop_size: distance between frame starts in samples, >= 1
    :returns: the number of frames (0 for an empty signal)
    """
    n = _as_int(x_len, "x_len")
    w = _as_int(win_len, "win_len")
    h = _as_int(hop_size, "hop_size")
    if n < 0:
        raise ValueError(f"x_len must be >= 0, got {n}")
    if w < 1:
        raise ValueError(f"win_len must be >= 1, got {w}")
    if h < 1:
        raise ValueError(f"hop_size must be >= 1, got {h}")
    if n == 0:
        return 0
    if n <= w:
        return 1
    return 1 + -(-(n - w) // h)
