"""Helpers of the block-boundary tests: frame counts at block edges, exact
agreement of every path, and the peak memory of a call."""

import tracemalloc

import korvel.framix
from _oracle import assert_paths_agree, assert_same_outcome, base


def all_agree(fn, *args):
    """Native, step-by-step and transcription outcomes all the same; returns
    ("ok", result) or ("raised", type, message)."""
    result, _ = assert_paths_agree(fn, *args)
    assert_same_outcome(fn, getattr(base, fn.__name__), *args)
    return result


def signal_for_frames(num_frames, win_len, hop, centered=True):
    """A signal length that gives exactly `num_frames` frames."""
    front = win_len // 2 if centered else 0
    n = max((num_frames - 1) * hop + win_len - front - hop, 0)
    while korvel.framix.calc_num_frames(front + n, win_len, hop) < num_frames:
        n += 1
    assert korvel.framix.calc_num_frames(front + n, win_len, hop) == num_frames
    return n


def around(block, blocks=(1, 2)):
    """Frame counts just below, at and one past multiples of `block`."""
    return sorted({k * block + d for k in blocks for d in (-1, 0, 1) if k * block + d >= 1})


def traced_peak(fn, *args):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base_mem = tracemalloc.get_traced_memory()[0]
        fn(*args)
        return tracemalloc.get_traced_memory()[1] - base_mem
    finally:
        tracemalloc.stop()
