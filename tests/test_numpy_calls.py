"""Every NumPy routine a caller replaces is called as the step-by-step path calls it.

Each callable of the `numpy` and `numpy.fft` namespaces (taken from dir(),
not picked by hand) is replaced, one at a time, by a wrapper that records
its calls: the argument types, dtypes and shapes, and the calls of its
callable attributes (np.sum reaches np.add.reduce, for instance).  A typical
call of every function must then make exactly the calls the forced
step-by-step path makes.  NumPy's own Python-level routines look their
helpers up as np.<name> at call time, so this also covers what a skipped
NumPy call would have called in turn.
"""

import collections
import sys

import numpy as np
import pytest

import korvel.pulsix as pulsix
import korvel.sonix as sonix
from _catalogue import typical_calls
from _oracle import reference_only

RNG = np.random.default_rng(5)
AUDIO = RNG.standard_normal(700)
NOV = RNG.random(700) ** 4
NOV[::37] += 1.0
TG = RNG.standard_normal((65, 12)) + 1j * RNG.standard_normal((65, 12))
WINDOW = RNG.random(48)

# (label, function, arguments): zero-padding 1 and > 1, given window,
# centred or not, a DP curve long enough for the pruned recursion.
CASES = [
    ("pitch array", sonix.freq_to_pitch, (np.array([110.0, 440.0, 1000.0]),)),
    ("pitch scalar", sonix.freq_to_pitch, (440.0,)),
    ("stft", sonix.stft, (AUDIO, 64, 16)),
    ("stft zp3", sonix.stft, (AUDIO, 64, 16, 3)),
    ("stft window zp2 uncentred", sonix.stft, (AUDIO, 64, 16, 2, WINDOW, False)),
    ("stft window uncentred", sonix.stft, (AUDIO[:-7], 64, 20, 1, WINDOW, False)),
    ("stft int16", sonix.stft, ((AUDIO * 1000).astype(np.int16), 32, 8)),
    ("stft_mag", sonix.stft_mag, (AUDIO, 64, 16)),
    ("stft_mag zp2", sonix.stft_mag, (AUDIO, 64, 16, 2)),
    ("spectral_novelty", pulsix.spectral_novelty, (AUDIO, 64, 16, 100)),
    ("make_clicks", pulsix.make_clicks, (np.array([3, 50, 400]), 600)),
    ("make_clicks click", pulsix.make_clicks, (np.array([3.0, 90.5]), 0, np.linspace(1, 0, 20))),
    ("auto_correlate", pulsix.auto_correlate, (NOV[:100],)),
    ("make_ac_tempogram", pulsix.make_ac_tempogram, (NOV, 64, 16)),
    ("bpm_to_k", pulsix.bpm_to_k, (120.0, 1024, 86.1328125)),
    ("best_tempogram_bins", pulsix.best_tempogram_bins, (TG, 20.0, 60, 200)),
    ("get_sinusoid_params", pulsix.get_sinusoid_params, (TG, 20.0, np.arange(12) % 5)),
    ("make_local_pulse", pulsix.make_local_pulse, (NOV, 86.1328125, 60, 200)),
    ("make_local_pulse zp1", pulsix.make_local_pulse, (NOV, 86.1328125, 60, 200, 64, 16, 1)),
    ("estimate_bpm", pulsix.estimate_bpm, (NOV, 86.1328125, 60, 200)),
    ("beats_score", pulsix.beats_score, (NOV, np.array([3, 40, 80, 121]), 40.0, 10)),
    ("create_dp_beats", pulsix.create_dp_beats, (NOV, 20.0, 10)),
]
# ...and the catalogue's typical call of every function.
CASES += [(f"catalogue {fn.call_id(call)}", fn.fn, call.make()) for fn, call in typical_calls()]


def describe(value):
    """What a call receives, down to types, dtypes and shapes, never values."""
    if isinstance(value, np.ndarray):
        return (type(value).__name__, str(value.dtype), value.shape)
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, tuple(describe(v) for v in value))
    return type(value).__name__


class Recorder:
    """Stands in for one NumPy callable and records every call made through it."""

    def __init__(self, target, calls, label=""):
        self._target = target
        self._calls = calls
        self._label = label

    def __call__(self, *args, **kwargs):
        self._calls.append((self._label, tuple(describe(a) for a in args),
                            tuple(sorted((k, describe(v)) for k, v in kwargs.items()))))
        return self._target(*args, **kwargs)

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if callable(value) and not isinstance(value, type):
            return Recorder(value, self._calls, f"{self._label}.{name}")
        return value


def replaceable():
    """(namespace, name) of every public non-class callable of numpy and numpy.fft."""
    names = []
    for space in (np, np.fft):
        for name in dir(space):
            obj = getattr(space, name)
            if callable(obj) and not isinstance(obj, type) and not name.startswith("_"):
                names.append((space, name))
    return names


REPLACEABLE = replaceable()


def run(fn, args, calls):
    calls.clear()
    try:
        fn(*args)
        status = "ok"
    except Exception as exc:  # noqa: BLE001 - a failure must fail alike on both paths
        status = type(exc).__name__
    return status, list(calls)


def run_both_paths(fn, args, calls):
    """run() on the native paths, then on the forced step-by-step path."""
    fast = run(fn, args, calls)
    with reference_only():
        return fast, run(fn, args, calls)


def test_enumeration_is_complete():
    # The two namespaces have hundreds of callables; a filter that lost them
    # would make the comparison below vacuous.
    assert len(REPLACEABLE) > 300
    assert (np, "pad") in REPLACEABLE and (np.fft, "rfft") in REPLACEABLE


@pytest.mark.parametrize("chunk", range(4))
def test_calls_of_every_replaced_numpy_routine_match_step_by_step(monkeypatch, chunk):
    mismatches = []
    exercised = set()
    for space, name in REPLACEABLE[chunk::4]:
        calls = []
        with monkeypatch.context() as m:
            m.setattr(space, name, Recorder(getattr(space, name), calls))
            for label, fn, args in CASES:
                fast, slow = run_both_paths(fn, args, calls)
                if slow[1]:
                    exercised.add(name)
                if fast != slow:
                    mismatches.append(f"np.{'fft.' if space is np.fft else ''}{name} in {label}: "
                                      f"fast {fast[0]} {len(fast[1])} calls, "
                                      f"step by step {slow[0]} {len(slow[1])} calls")
    assert not mismatches, "\n".join(mismatches)
    # The cases do reach NumPy through the namespace on this share of names.
    assert exercised


def test_replaced_pad_is_called_once_per_zero_padded_frame(monkeypatch):
    calls = []
    monkeypatch.setattr(np, "pad", Recorder(np.pad, calls))
    x = RNG.standard_normal(2000)
    frames = sonix.stft(x, 256, 64).shape[1]
    assert not calls
    spec = sonix.stft(x, 256, 64, 3)
    assert len(calls) == spec.shape[1] == frames > 1
    for fn, args in [(sonix.stft_mag, (x, 256, 64, 2)),
                     (sonix.stft, (x, 256, 64, 2, np.hanning(200), False)),
                     (pulsix.estimate_bpm, (NOV, 86.1328125, 60, 200)),
                     (pulsix.make_local_pulse, (NOV, 86.1328125, 60, 200))]:
        calls.clear()
        fn(*args)
        assert calls, fn.__name__


@pytest.mark.parametrize("name", ["asarray", "array", "round"])
def test_routines_numpy_pad_calls_in_turn_are_seen(monkeypatch, name):
    calls = []
    monkeypatch.setattr(np, name, Recorder(getattr(np, name), calls))
    x = RNG.standard_normal(1000)
    fast, slow = run_both_paths(sonix.stft, (x, 128, 32, 2), calls)
    assert fast == slow and len(slow[1]) >= 1


def python_calls(fn, *args):
    """How often each Python-level function ran during fn(*args), by name."""
    counts = collections.Counter()

    def profile(frame, event, arg):
        # NumPy 1.24 wraps each public routine in a Python function of the
        # same name, which then calls the routine: one call, counted once.
        if event == "call" and (frame.f_back is None
                                or frame.f_back.f_code.co_name != frame.f_code.co_name):
            counts[frame.f_code.co_name] += 1

    sys.setprofile(profile)
    try:
        fn(*args)
    finally:
        sys.setprofile(None)
    return counts


@pytest.mark.parametrize("fn, args, routine", [
    (sonix.stft, (AUDIO, 64, 16, 3), "pad"),
    (sonix.stft, (AUDIO, 64, 16, 2, WINDOW, False), "pad"),
    (sonix.stft_mag, (AUDIO, 64, 16, 2), "pad"),
    (pulsix.estimate_bpm, (NOV, 86.1328125, 60, 200), "pad"),
    (pulsix.make_local_pulse, (NOV, 86.1328125, 60, 200), "pad"),
    (pulsix.create_dp_beats, (NOV, 20.0, 10), "argmax"),
], ids=["stft zp3", "stft window", "stft_mag zp2", "estimate_bpm", "make_local_pulse", "dp"])
def test_genuine_numpy_keeps_the_native_paths(fn, args, routine):
    # The guards must not be stricter than they need be: with nothing
    # replaced, the per-frame NumPy calls are left to the native loop.
    fast = python_calls(fn, *args)
    with reference_only():
        slow = python_calls(fn, *args)
    assert slow[routine] > 5
    assert fast[routine] <= 1


@pytest.mark.parametrize("fn, args, native, steps", [
    (pulsix.beats_score, (NOV, np.arange(3, len(NOV), 37), 40.0, 10), 0, 2),
    (pulsix.spectral_novelty, (AUDIO, 64, 16, 100), 1, 2),
], ids=["beats_score", "spectral_novelty"])
def test_genuine_numpy_keeps_the_native_sums(fn, args, native, steps):
    # np.sum is Python-level: the native paths leave only the smoothing
    # window's sum (spectral_novelty) to it.
    assert python_calls(fn, *args)["sum"] == native
    with reference_only():
        assert python_calls(fn, *args)["sum"] == steps


@pytest.mark.parametrize("module, fn, args", [
    ("korvel.sonix", sonix.stft, (RNG.standard_normal(2000), 256, 64)),
    ("korvel.pulsix", pulsix.spectral_novelty, (RNG.standard_normal(2000), 256, 64, 100)),
], ids=["sonix", "pulsix"])
def test_a_second_module_object_keeps_the_first_ones_captures(monkeypatch, module, fn, args):
    # Each module object captures numpy's routines at its own initialisation.
    # One made while np.fft.rfft is replaced captures the replacement; the
    # first one must still see the replacement as foreign and call it as the
    # step-by-step path does (once per frame, not once per block).
    import importlib.util
    calls = []
    monkeypatch.setattr(np.fft, "rfft", Recorder(np.fft.rfft, calls))
    spec = importlib.util.find_spec(module)
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not sys.modules[module]
    fast, slow = run_both_paths(fn, args, calls)
    assert fast == slow and len(slow[1]) > 5
