"""Click track synthesis."""

import numpy as np
import pytest

from _oracle import assert_same_outcome, layouts, pair, trials
from korvel.pulsix import make_clicks


def runs(out):
    """(value, length) of the consecutive runs of equal samples."""
    edges = np.flatnonzero(np.diff(out)) + 1
    starts = np.concatenate([[0], edges])
    ends = np.concatenate([edges, [len(out)]])
    return [(float(out[s]), int(e - s)) for s, e in zip(starts, ends)]


@pytest.mark.parametrize("frames, kwargs, want", [
    ([0, 100], {}, [(0.5, 50), (0.0, 50), (0.5, 50)]),
    ([0, 100], {"out_len": 120}, [(0.5, 50), (0.0, 50), (0.5, 20)]),
    ([0, 100], {"out_len": 200}, [(0.5, 50), (0.0, 50), (0.5, 50), (0.0, 50)]),
    ([0, 100], {"out_len": 0}, [(0.5, 50), (0.0, 50), (0.5, 50)]),
    ([0, 100], {"out_len": None}, [(0.5, 50), (0.0, 50), (0.5, 50)]),
    ([0, 25], {}, [(0.5, 25), (1.0, 25), (0.5, 25)]),       # overlapping clicks add up
    ([10.9], {}, [(0.0, 10), (0.5, 50)]),                    # truncated toward zero
    ([3, 3], {}, [(0.0, 3), (1.0, 50)]),
    ([-0.9, 4], {}, [(0.5, 4), (1.0, 46), (0.5, 4)]),        # -0.9 truncates to 0
])
def test_layouts(frames, kwargs, want):
    out = make_clicks(np.array(frames), **kwargs)
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.ndim == 1
    assert runs(out) == want


def test_last_position_sets_the_length_not_the_largest():
    # A later position below an earlier one is fine as long as it fits.
    out = make_clicks(np.array([60, 0, 70]))
    assert len(out) == 120 and out[0] == 0.5 and out[65] == 0.5 and out[75] == 1.0


def test_own_click_sound():
    click = np.array([1.0, -2.0, 0.25])
    out = make_clicks(np.array([0, 2, 10]), click_snd=click)
    want = np.zeros(13)
    for f in (0, 2, 10):
        want[f:f + 3] += click
    assert out.tolist() == want.tolist()
    assert click.tolist() == [1.0, -2.0, 0.25]
    # Any sequence with a length works; an int click keeps float64 output.
    assert make_clicks(np.array([1, 2]), 0, [1, 1]).tolist() == [0.0, 1.0, 2.0, 1.0]
    assert make_clicks(np.array([1]), 0, np.array([3], dtype=np.int16)).dtype == np.float64


def test_out_len_can_be_passed_positionally_or_by_keyword():
    a = make_clicks(np.array([0, 100]), 120)
    b = make_clicks(frames=np.array([0, 100]), out_len=120, click_snd=None)
    assert a.tolist() == b.tolist() and len(a) == 120


def test_click_keyword_is_not_a_parameter():
    with pytest.raises(TypeError, match="make_clicks\\(\\) got an unexpected keyword argument 'click'"):
        make_clicks(np.array([0]), click=np.ones(3))


@pytest.mark.parametrize("frames, kwargs, exc, message", [
    ([0, 100], {}, AttributeError, "'list' object has no attribute 'astype'"),
    (np.array([], dtype=int), {}, IndexError, "index -1 is out of bounds"),
    (np.array([0, 100, 20]), {}, ValueError, "could not be broadcast"),
    (np.array([0, 100]), {"out_len": 12.5}, TypeError, None),
    (np.array([0, 100]), {"out_len": -5}, ValueError, "negative"),
])
def test_errors(frames, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        make_clicks(frames, **kwargs)


def test_single_sample_click_past_the_end_is_dropped():
    out = make_clicks(np.array([0, 9, 4]), click_snd=np.array([1.0]))
    assert out.tolist() == [1.0, 0, 0, 0, 1.0]


# ---- against the transcription -------------------------------------------------

@pytest.mark.parametrize("seed", range(15))
def test_matches_transcription(seed):
    for rng, ours, theirs in trials("make_clicks", 4000 + seed, 8):
        k = int(rng.integers(1, 12))
        frames = np.sort(rng.uniform(-3, 400, k))
        kind = rng.integers(5)
        if kind == 0:
            frames = frames.astype(np.int64)
        elif kind == 1:
            frames = frames.astype(np.float32)
        elif kind == 2:
            frames = rng.permutation(frames)          # unsorted: may fail to fit
        elif kind == 3 and k > 1:
            frames[int(rng.integers(k))] = np.nan     # invalid cast warning
        out_len = [0, None, int(rng.integers(1, 500)), False, True, np.int64(77), -1, 3.0][
            int(rng.integers(8))]
        click = [None, None, rng.standard_normal(int(rng.integers(1, 80))), [0.5, -0.5],
                 np.arange(4, dtype=np.int32), np.ones(1, dtype=np.float32)][int(rng.integers(6))]
        args = [frames]
        if out_len != 0 or click is not None or rng.random() < 0.5:
            args.append(out_len)
        if click is not None:
            args.append(click)
        with np.errstate(all="warn"):
            assert_same_outcome(ours, theirs, *args)


def test_matches_transcription_in_odd_layouts():
    ours, theirs = pair("make_clicks")
    frames = np.array([0.0, 10.5, 30.0, 42.0])
    click = np.linspace(1, 0, 20)
    for name, variant in layouts(frames).items():
        assert_same_outcome(ours, theirs, variant, 100, layouts(click)[name])
    assert_same_outcome(ours, theirs, np.array([5]), 0, [])
    assert_same_outcome(ours, theirs, np.array([[0, 5]]), 0, None)


@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.float32, np.int32])
@pytest.mark.parametrize("click_len", [None, 1, 7, 333])
def test_many_clicks_match_transcription(dtype, click_len):
    rng = np.random.default_rng(click_len or 0)
    frames = np.sort(rng.uniform(0, 20000, 600)).astype(dtype)
    click = None if click_len is None else rng.standard_normal(click_len)
    for out_len in (0, 5000, 30000):
        assert_same_outcome(*pair("make_clicks"), frames, out_len, click)
