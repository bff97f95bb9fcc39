"""The .pyi stubs of the extension modules: in step with the runtime, and
strict enough that mypy catches a wrong call."""

import ast
import importlib
import inspect
import pathlib
import textwrap

import pytest

import korvel
from _support import check_strictly, needs_numpy2_stubs

PACKAGE = pathlib.Path(korvel.__file__).resolve().parent
MODULES = ["sonix", "pulsix"]


def stub_functions(module):
    """{name: [(param, default or inspect._empty)]} from the module's .pyi."""
    tree = ast.parse((PACKAGE / f"{module}.pyi").read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), node.name
            defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults))
            defaults += [ast.literal_eval(d) for d in args.defaults]
            found[node.name] = [(a.arg, d) for a, d in zip(args.args, defaults)]
    return found


@pytest.mark.parametrize("module", MODULES)
def test_stub_signatures_match_the_runtime(module):
    mod = importlib.import_module(f"korvel.{module}")
    stubs = stub_functions(module)
    runtime = {
        name: fn
        for name, fn in vars(mod).items()
        if callable(fn) and getattr(fn, "__module__", None) == f"korvel.{module}"
    }
    assert set(stubs) == set(runtime)
    for name, fn in runtime.items():
        params = [(p.name, p.default) for p in inspect.signature(fn).parameters.values()]
        assert stubs[name] == params, name


def test_py_typed_marker_ships_with_the_package():
    assert (PACKAGE / "py.typed").is_file()


USAGE = '''
from typing import assert_type

import numpy as np
import numpy.typing as npt

from korvel import pulsix, sonix
from korvel.pulsix import (
    auto_correlate, beats_score, best_tempogram_bins, bpm_to_k, create_dp_beats,
    estimate_bpm, get_sinusoid_params, make_ac_tempogram, make_clicks,
    make_local_pulse, spectral_novelty,
)
from korvel.sonix import freq_to_pitch, stft, stft_mag

x: npt.NDArray[np.float64] = np.zeros(22050)
fs = 22050
hop = 512
ff = fs / hop

assert_type(freq_to_pitch(440.0), np.float64)
spec = stft(x, 1024, hop, 2, window=np.hanning(1024), centered=False)
assert_type(spec, npt.NDArray[np.complex128])
assert_type(stft_mag(x, 1024, hop), npt.NDArray[np.float64])
assert pulsix.stft is sonix.stft

nov = spectral_novelty(x, 1024, hop, 100.0)
assert_type(nov, npt.NDArray[np.float64])
bpm = estimate_bpm(nov, ff, 60, 200)
assert_type(bpm, np.float64)
beats, D = create_dp_beats(nov, 60 * ff / bpm, 10)
assert_type(D, npt.NDArray[np.float64])
frames = beats.astype(np.int64)
score: float = beats_score(nov, frames, 60 * ff / bpm)
pulse = make_local_pulse(nov, ff, 60, 200, hop_tg=32)
assert_type(pulse, npt.NDArray[np.float64])
clicks = make_clicks(frames * hop, out_len=len(x))
assert_type(clicks, npt.NDArray[np.float64])
tg = stft(nov, 256, 32, 16, centered=False)
bins = best_tempogram_bins(tg, ff, 60, 200)
freqs, phases = get_sinusoid_params(tg, ff, bins)
assert_type(freqs, npt.NDArray[np.float64])
k: int = bpm_to_k(120, 4096, ff)
ac = auto_correlate(x)
act = make_ac_tempogram(nov, 64, 8)
# NumPy scalars stand for Python numbers (a period computed in float32, say).
create_dp_beats(nov, np.float32(60 * ff / 120), np.int64(10))
assert_type(estimate_bpm(nov, np.float32(ff), 60, 200), np.float64)
assert_type(stft_mag(x, np.int64(1024), np.int32(256)), npt.NDArray[np.float64])

# Calls the stubs must reject; if the stubs were missing or too loose, these
# ignores would be unused, which --strict reports as an error.
estimate_bpm(nov, ff)  # type: ignore[call-arg]
create_dp_beats(nov, 21.5, 10, 0)  # type: ignore[call-arg]
make_clicks(frames, click=None)  # type: ignore[call-arg]
n: int = estimate_bpm(nov, ff, 60, 200)  # type: ignore[assignment]
estimate_bpm(nov, "fast", 60, 200)  # type: ignore[arg-type]
stft_mag(x, 1024.0, 256)  # type: ignore[arg-type]
'''


@needs_numpy2_stubs
def test_mypy_strict_accepts_usage_and_rejects_misuse(tmp_path):
    check_strictly(tmp_path, textwrap.dedent(USAGE))
