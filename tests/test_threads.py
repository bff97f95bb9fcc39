"""Many threads calling korvel at once get what one thread gets.

The native loops release the GIL, so eight threads really do run them at
the same time; the shared inputs are read-only, and every result must be
bit-identical to the one computed serially beforehand.
"""

import sys
import threading

import numpy as np
import pytest

import korvel.pulsix as pulsix
import korvel.sonix as sonix
from _catalogue import typical_calls
from _support import run_threads

THREADS = 8
ROUNDS = 100


def readonly(a):
    a = np.ascontiguousarray(a)
    a.flags.writeable = False
    return a


RNG = np.random.default_rng(77)
AUDIO = readonly(RNG.standard_normal(12000))
AUDIO32 = readonly(AUDIO.astype(np.float32))
NOV = readonly(RNG.random(1500))
TG = readonly(RNG.standard_normal((129, 40)) + 1j * RNG.standard_normal((129, 40)))
BINS = readonly(RNG.integers(0, 129, 40))
FRAMES = readonly(np.sort(RNG.integers(0, 5000, 30)))

WORK = [
    ("stft", sonix.stft, (AUDIO, 512, 128)),
    ("stft-f32-window", sonix.stft, (AUDIO32, 256, 100, 2, readonly(np.hanning(256)), False)),
    ("stft_mag", sonix.stft_mag, (AUDIO, 256, 64)),
    ("freq_to_pitch", sonix.freq_to_pitch, (readonly(np.abs(AUDIO) + 20.0),)),
    ("spectral_novelty", pulsix.spectral_novelty, (AUDIO, 256, 64, 10.0)),
    ("make_clicks", pulsix.make_clicks, (FRAMES, 6000)),
    ("make_ac_tempogram", pulsix.make_ac_tempogram, (NOV, 64, 16)),
    ("get_sinusoid_params", pulsix.get_sinusoid_params, (TG, 100.0, BINS)),
    ("best_tempogram_bins", pulsix.best_tempogram_bins, (TG, 100.0, 60.0, 200.0)),
    ("make_local_pulse", pulsix.make_local_pulse, (NOV, 100.0, 60.0, 200.0)),
    ("estimate_bpm", pulsix.estimate_bpm, (NOV, 100.0, 60.0, 200.0)),
    ("beats_score", pulsix.beats_score, (NOV, readonly(np.arange(0, 1500, 37)), 37.0)),
    ("create_dp_beats", pulsix.create_dp_beats, (NOV, 40.0, 10.0)),
]
# ...and the catalogue's typical call of every function, on read-only inputs.
WORK += [(f"catalogue-{fn.call_id(call)}", fn.fn,
          tuple(readonly(a) if isinstance(a, np.ndarray) else a for a in call.make()))
         for fn, call in typical_calls()]


def same_bits(a, b):
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))
    a, b = np.asarray(a), np.asarray(b)
    return (a.dtype, a.shape) == (b.dtype, b.shape) and a.tobytes() == b.tobytes()


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def test_threads_agree_with_serial_calls(fast_switching):
    before = {name: [a.tobytes() if isinstance(a, np.ndarray) else a for a in args]
              for name, _, args in WORK}
    expected = {name: fn(*args) for name, fn, args in WORK}
    start = threading.Barrier(THREADS)
    errors, calls = [], [0] * THREADS

    def worker(t):
        try:
            start.wait()
            for r in range(ROUNDS):
                # Each thread walks the mix from a different place.
                for k in range(len(WORK)):
                    name, fn, args = WORK[(k + 3 * t + r) % len(WORK)]
                    got = fn(*args)
                    calls[t] += 1
                    if not same_bits(got, expected[name]):
                        errors.append(f"thread {t}, round {r}: {name} differs")
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(f"thread {t}: {exc!r}")

    run_threads(worker, [(t,) for t in range(THREADS)])
    print(f"{THREADS} threads, {sum(calls)} calls")
    assert not errors, errors[:5]
    assert sum(calls) == THREADS * ROUNDS * len(WORK)
    for name, _, args in WORK:
        assert [a.tobytes() if isinstance(a, np.ndarray) else a for a in args] == before[name]


def test_threads_with_writable_inputs_they_do_not_write(fast_switching):
    # The same signal, writable and shared: the native loops that read the
    # caller's array directly must not need it to be private.
    audio = np.array(AUDIO)
    nov = np.array(NOV)
    want = (sonix.stft(audio, 128, 32, 1, None, False), pulsix.create_dp_beats(nov, 40.0, 10.0))
    results = []

    def worker():
        for _ in range(4):
            results.append((sonix.stft(audio, 128, 32, 1, None, False),
                            pulsix.create_dp_beats(nov, 40.0, 10.0)))

    run_threads(worker, [()] * THREADS)
    assert len(results) == THREADS * 4
    assert all(same_bits(r[0], want[0]) and same_bits(r[1], want[1]) for r in results)
