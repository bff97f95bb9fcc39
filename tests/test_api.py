"""korvel.analyze: one call from a file name or any usual array form, with
the same result for every form of the same recording."""

import numpy as np
import pytest

import korvel
from korvel.analysis import AnalysisError, AnalysisParams, BeatAnalysis
from korvel.analysis import analyze as analyze_signal
from _audio import pulse_train

FS = 22050


def same(a, b):
    assert a.tempo == b.tempo
    assert a.beat_times.tobytes() == b.beat_times.tobytes()
    assert a.novelty.tobytes() == b.novelty.tobytes()


@pytest.fixture(scope="module")
def stereo():
    """Six seconds of a 100 BPM pulse as 16-bit stereo [frames, 2]."""
    x = pulse_train(100.0, FS, 6.0, channels=2)
    return np.clip(np.round(x * 20000), -32768, 32767).astype(np.int16)


@pytest.mark.parametrize("dtype, lo, hi", [
    (np.int8, -128, 127), (np.int16, -32768, 32767), (np.int32, -2**31, 2**31 - 1),
    (np.uint8, 0, 255), (np.uint16, 0, 65535),
])
def test_integer_pcm_is_scaled_to_the_unit_range(dtype, lo, hi):
    from korvel.api import pcm_to_float

    got = pcm_to_float(np.array([lo, hi], dtype=dtype))
    assert got[0] == -1.0
    assert 1.0 - 2.0 ** -(8 * np.dtype(dtype).itemsize - 1) == got[1]


def test_int16_and_float_readings_of_one_file_agree_bit_for_bit(tmp_path, stereo):
    sf = pytest.importorskip("soundfile")
    path = tmp_path / "pulse.wav"
    sf.write(path, stereo, FS, subtype="PCM_16")
    by_path = korvel.analyze(str(path))
    for dtype in ("int16", "int32", "float32", "float64"):
        data, fs = sf.read(path, dtype=dtype)
        same(korvel.analyze(data, fs), by_path)
        same(korvel.analyze(data.T, fs), by_path)  # channels first
    same(korvel.analyze(path), by_path)  # a pathlib.Path
    # The lower-level road takes the floats as they are.
    same(analyze_signal(stereo / 32768.0, FS), by_path)


@pytest.mark.parametrize("shape, ok", [
    ((2, 30000), True), ((8, 30000), True), ((30000, 9), True), ((9, 30000), False), ((2, 3, 30000), False),
])
def test_channels_first_arrays_are_read_as_channels_or_refused(shape, ok):
    rng = np.random.default_rng(0)
    x = rng.standard_normal(shape) * 0.1
    if ok:
        got = korvel.analyze(x, FS)
        frames_first = x if shape[0] > shape[1] else x.T
        same(got, analyze_signal(frames_first, FS))
        assert got.num_samples == max(shape)
    else:
        with pytest.raises(AnalysisError, match="shape"):
            korvel.analyze(x, FS)


@pytest.mark.parametrize("call, error, words", [
    (lambda x: korvel.analyze(x), AnalysisError, ["sample_rate is needed"]),
    (lambda x: korvel.analyze(x, 0), AnalysisError, ["sample_rate", "positive"]),
    (lambda x: korvel.analyze(x, True), AnalysisError, ["sample_rate", "number"]),
    (lambda x: korvel.analyze(x, float("nan")), AnalysisError, ["sample_rate", "positive"]),
    (lambda x: korvel.analyze(x.astype(complex), FS), AnalysisError, ["dtype complex"]),
    (lambda x: korvel.analyze(x, FS, hop=-1), AnalysisError, ["hop must be", "-1"]),
    (lambda x: korvel.analyze(x, FS, tempo_level="fast"), AnalysisError, ["tempo_level", "'fast'"]),
    (lambda x: korvel.analyze(x, FS, bmp_min=60), TypeError, ["'bmp_min'", "bpm_min"]),
    (lambda x: korvel.analyze("/no/such/file.wav", FS), AnalysisError, ["read from the file"]),
    (lambda x: korvel.analyze(x[:100], FS), AnalysisError, ["too short"]),
    (lambda x: korvel.analyze(None, FS), AnalysisError, ["array of numbers", "NoneType"]),
    (lambda x: korvel.analyze(["a", "b"], FS), AnalysisError, ["array of numbers", "list"]),
    (lambda x: korvel.analyze(x > 0, FS), AnalysisError, ["dtype bool"]),
    (lambda x: korvel.analyze(np.array(x[0]), FS), AnalysisError, ["shape ()"]),
    (lambda x: korvel.analyze(x.astype("U8"), FS), AnalysisError, ["dtype <U8"]),
])
def test_bad_calls_say_what_is_wrong(call, error, words):
    x = pulse_train(100.0, FS, 3.0)
    with pytest.raises(error) as info:
        call(x)
    for word in words:
        assert word in str(info.value)


def test_a_missing_file_is_an_audio_error():
    pytest.importorskip("soundfile")
    from korvel.audio_io import AudioError

    with pytest.raises(AudioError, match="no such file"):
        korvel.analyze("/no/such/file.wav")


def test_a_list_holds_sample_values_not_pcm_codes():
    x = pulse_train(100.0, FS, 6.0)
    coded = np.round(x * 1000).astype(np.int64)
    # As a list the numbers are taken as they are; as an int64 array they are PCM.
    same(korvel.analyze(coded.tolist(), FS), analyze_signal(coded.astype(float), FS))
    same(korvel.analyze(coded, FS), analyze_signal(coded / 2.0**63, FS))


def test_parameters_reach_the_road():
    x = pulse_train(100.0, FS, 6.0)
    got = korvel.analyze(x, FS, hop=256, bpm_min=50, tempo_level="raw")
    assert got.params == AnalysisParams(hop=256, bpm_min=50, tempo_level="raw").resolved(FS)
    same(got, analyze_signal(x, FS, AnalysisParams(hop=256, bpm_min=50, tempo_level="raw")))


def test_help_on_the_result_describes_every_field():
    import dataclasses
    import pydoc

    for cls in (BeatAnalysis, AnalysisParams):
        text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        for f in dataclasses.fields(cls):
            assert f"``{f.name}``" in text, f"{cls.__name__}.{f.name} is not described"


def test_the_top_level_names_are_the_road_s_own():
    from korvel import analysis

    assert korvel.AnalysisParams is analysis.AnalysisParams
    assert korvel.BeatAnalysis is analysis.BeatAnalysis
    assert korvel.AnalysisError is analysis.AnalysisError
    with pytest.raises(AttributeError):
        korvel.no_such_name  # noqa: B018
