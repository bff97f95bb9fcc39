"""Parameters of the road: each one checked by type and range, with a message
that names it and shows the value as it was given."""

import re

import numpy as np
import pytest

from korvel.analysis import (
    OPTION_NAMES, AnalysisError, AnalysisParams, analyze, check_params, mix_to_mono, tempo_estimate)
from _audio import click_train

FS = 22050


def clicks(seconds=4.0, bpm=120.0):
    return click_train(bpm, FS, seconds, 0.25, 64)


# Each bad value, and the words its message holds as Python names the fields
# (raised when the parameters are made) and as the command spells its options.
BAD = [
    ({"hop": 1014.3}, ["hop", "1014.3"], ["hop", "1014.3"]),
    ({"hop": 512.0}, ["hop", "512.0"], ["hop", "512.0"]),
    ({"hop": "512"}, ["hop", "'512'"], ["hop", "'512'"]),
    ({"hop": True}, ["hop", "True"], ["hop", "True"]),
    ({"hop": 0}, ["hop", "0"], ["hop", "0"]),
    ({"fft_len": 1}, ["fft_len", "1"], ["fft-len", "1"]),
    ({"fft_len": 2048.5}, ["fft_len", "2048.5"], ["fft-len", "2048.5"]),
    ({"gamma": "loud"}, ["gamma", "'loud'"], ["gamma", "'loud'"]),
    ({"gamma": float("nan")}, ["gamma", "nan"], ["gamma", "nan"]),
    ({"gamma": -1e-300}, ["gamma", "-1e-300"], ["gamma", "-1e-300"]),
    ({"bpm_min": None}, ["bpm_min", "None"], ["bpm-min", "None"]),
    ({"bpm_min": -10}, ["bpm_min", "-10"], ["bpm-min", "-10"]),
    ({"bpm_max": float("inf")}, ["bpm_max", "inf"], ["bpm-max", "inf"]),
    ({"bpm_min": 180.25, "bpm_max": 90}, ["bpm_min (180.25)", "bpm_max (90)"],
     ["bpm-min (180.25)", "bpm-max (90)"]),
    ({"lmbda": -0.5}, ["lmbda", "-0.5"], ["lmbda", "-0.5"]),
    ({"lmbda": [10]}, ["lmbda", "[10]"], ["lmbda", "[10]"]),
    ({"tempo_level": "double"}, ["tempo_level", "'double'", "'auto'", "'raw'"],
     ["tempo-level", "'double'", "'auto'", "'raw'"]),
    ({"tempo_level": None}, ["tempo_level", "None"], ["tempo-level", "None"]),
]


@pytest.mark.parametrize("given, words, option_words", BAD)
def test_bad_parameter_is_named_with_its_value(given, words, option_words):
    with pytest.raises(AnalysisError) as info:
        AnalysisParams(**given)
    message = str(info.value)
    for word in words:
        assert word in message
    assert not any(f"{name.replace('_', '-')} " in message for name in given if "_" in name)
    # Spelled as options, for the command's messages.
    values = {**AnalysisParams().fields(), **given}
    with pytest.raises(AnalysisError) as spelled:
        check_params(values, OPTION_NAMES)
    for word in option_words:
        assert word in str(spelled.value)
    # Parameters made some other way are refused by the road before it touches the audio.
    params = AnalysisParams()
    for key, value in given.items():
        object.__setattr__(params, key, value)
    for run in (analyze, tempo_estimate):
        with pytest.raises(AnalysisError, match=f"^{re.escape(message)}$"):
            run(clicks(), FS, params)


@pytest.mark.parametrize("given", [
    {"hop": np.int32(256), "fft_len": np.int64(512)},
    {"gamma": np.float32(10), "bpm_min": 40, "bpm_max": np.float64(240.5), "lmbda": 0},
    {"tempo_level": "raw"},
])
def test_numpy_scalars_and_plain_numbers_are_accepted(given):
    AnalysisParams(**given).validate()
    assert analyze(clicks(), FS, AnalysisParams(**given)).tempo is not None


def test_resolving_keeps_every_other_field():
    p = AnalysisParams(gamma=3.0, bpm_min=50, bpm_max=150, lmbda=2, tempo_level="raw").resolved(FS)
    assert p == AnalysisParams(1024, 512, 3.0, 50, 150, 2, "raw")


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int16])
@pytest.mark.parametrize("channels", [1, 2, 3])
def test_mixing_to_mono_is_the_mean_of_the_channels_bit_for_bit(dtype, channels):
    rng = np.random.default_rng(channels)
    a = (rng.standard_normal((1001, channels)) * 3000).astype(dtype)
    for frames in (a, np.asfortranarray(a), a[::2]):
        got = mix_to_mono(frames)
        want = frames.mean(axis=1, dtype=np.float64)
        assert got.dtype == np.float64 and got.shape == (len(frames),)
        assert got.tobytes() == want.tobytes()
        assert not np.shares_memory(got, frames)


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int16])
@pytest.mark.parametrize("channels", [0, 1, 2, 3])
@pytest.mark.parametrize("with_scratch", [False, True])
def test_mixing_into_a_buffer_gives_the_same_bits(dtype, channels, with_scratch):
    # channels 0 stands for a 1-D signal.
    rng = np.random.default_rng(channels)
    shape = (1001, channels) if channels else (1001,)
    a = (rng.standard_normal(shape) * 3000).astype(dtype)
    for frames in (a, np.asfortranarray(a), a[::2]):
        buffer = np.full(len(frames) + 3, 7.0)
        out = buffer[1:1 + len(frames)]
        scratch = np.full((len(frames) + 5, 2), np.nan) if with_scratch else None
        got = mix_to_mono(frames, out=out, scratch=scratch)
        assert got is out
        assert out.tobytes() == mix_to_mono(frames).tobytes()
        assert buffer[0] == 7.0 and (buffer[-2:] == 7.0).all()  # nothing written beyond ``out``


@pytest.mark.parametrize("shape", [(), (3, 2, 2)])
def test_mixing_refuses_other_shapes_with_or_without_a_buffer(shape):
    for out in (None, np.empty(3)):
        with pytest.raises(AnalysisError, match=r"1-D signal or a \[frames, channels\] array"):
            mix_to_mono(np.zeros(shape), out=out)


def test_non_finite_audio_is_refused_wherever_it_hides():
    for bad in (np.nan, np.inf, -np.inf):
        for where in (0, 5000, -1):
            x = clicks()
            x[where] = bad
            with pytest.raises(AnalysisError, match="NaN or infinite"):
                analyze(x, FS)
