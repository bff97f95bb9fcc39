"""Frame counting: korvel.framix.calc_num_frames."""

import fractions
import itertools
import math

import numpy as np
import pytest

from korvel.framix import calc_num_frames
from reference import transcription


def covering_count(x_len, win_len, hop_size):
    """Smallest number of frames, counted one by one, reaching the last sample."""
    n = 0
    while x_len > 0 and (n == 0 or (n - 1) * hop_size + win_len < x_len):
        n += 1
    return n


@pytest.mark.parametrize("x_len,win_len,hop_size,want", [
    (0, 1, 1, 0), (0, 256, 64, 0),
    (1, 1, 1, 1), (1, 256, 64, 1), (256, 256, 64, 1),
    (257, 256, 64, 2), (320, 256, 64, 2), (321, 256, 64, 3),
    (10, 3, 3, 4), (9, 3, 3, 3), (5, 2, 7, 2),
    # A hop larger than the window leaves gaps; the frames still reach the end.
    (100, 4, 10, 11),
])
def test_known_counts(x_len, win_len, hop_size, want):
    got = calc_num_frames(x_len, win_len, hop_size)
    assert got == want and type(got) is int


def test_smallest_cover_over_a_grid():
    for x_len, win_len, hop_size in itertools.product(range(0, 40), range(1, 12), range(1, 12)):
        got = calc_num_frames(x_len, win_len, hop_size)
        assert got == covering_count(x_len, win_len, hop_size), (x_len, win_len, hop_size)
        if hop_size <= win_len:
            covered = set()
            for k in range(got):
                covered.update(range(k * hop_size, k * hop_size + win_len))
            assert covered.issuperset(range(x_len))


def test_agrees_with_baseline_counter():
    plain = transcription.calc_num_frames  # the transcription's own counter, not korvel's
    for args in itertools.product(range(0, 30), range(1, 9), range(1, 9)):
        assert calc_num_frames(*args) == plain(*args)


def test_exact_for_huge_integers():
    x_len, win_len, hop_size = 10**40 + 7, 3, 10**20 + 1
    want = 1 + math.ceil(fractions.Fraction(x_len - win_len, hop_size))
    assert calc_num_frames(x_len, win_len, hop_size) == want


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("args", [
    (np.int64(300), np.int32(256), np.uint8(64)),
    (Index(300), Index(256), Index(64)),
])
def test_accepts_anything_index_accepts(args):
    got = calc_num_frames(*args)
    assert got == 2 and type(got) is int


@pytest.mark.parametrize("pos,name", [(0, "x_len"), (1, "win_len"), (2, "hop_size")])
@pytest.mark.parametrize("bad", [True, False, 3.0, np.float64(3.0), "3", None, 3 + 0j])
def test_non_integers_rejected_naming_the_parameter(pos, name, bad):
    args = [300, 256, 64]
    args[pos] = bad
    with pytest.raises(TypeError, match=name):
        calc_num_frames(*args)


@pytest.mark.parametrize("args,name,value", [
    ((-1, 256, 64), "x_len", "-1"),
    ((10, 0, 64), "win_len", "0"),
    ((10, -5, 64), "win_len", "-5"),
    ((10, 256, 0), "hop_size", "0"),
    ((10, 256, -64), "hop_size", "-64"),
    ((0, 256, 0), "hop_size", "0"),
])
def test_out_of_range_rejected_naming_parameter_and_value(args, name, value):
    with pytest.raises(ValueError) as info:
        calc_num_frames(*args)
    message = str(info.value)
    assert name in message and value in message


def test_stft_reports_a_zero_hop_clearly():
    import korvel.sonix as s

    with pytest.raises(ValueError, match=r"hop_size.*\b0\b"):
        s.stft(np.ones(1000), 256, 0)
