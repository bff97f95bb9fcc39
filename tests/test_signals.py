"""An exception raised by a signal handler during a long call comes out of that call.

A SIGALRM handler that raises fires shortly after a call with a long loop
has started.  The exception must leave the call itself -- not be swallowed
and the work redone, and not surface only after the call has returned --
on the native path and on the forced step-by-step path alike.
"""

import contextlib
import signal
import time
import traceback

import numpy as np
import pytest

import korvel.pulsix as pulsix
import korvel.sonix as sonix
from _oracle import reference_only
from _support import Alarm, alarm_after, raise_alarm

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")


# The alarm fires at a fifth of the call's measured run time, so the call is
# well under way and far from done on a faster machine and a slower one
# alike.  Measuring stops at PROBE_CAP: whatever runs longer is long enough.
PROBE_CAP = 0.1
MIN_DELAY = 0.001


def alarm_delay(fn, args):
    """A fifth of how long fn(*args) runs, measured up to PROBE_CAP."""
    start = time.perf_counter()
    with contextlib.suppress(Alarm), alarm_after(PROBE_CAP):
        fn(*args)
    elapsed = min(time.perf_counter() - start, PROBE_CAP)
    assert elapsed >= 5 * MIN_DELAY, f"a {elapsed * 1e3:.1f} ms call is too short to interrupt surely"
    return elapsed / 5


def interrupted(fn, args):
    """True if the alarm's exception came out of fn(*args) while it ran.

    The interpreter also runs a pending handler right after a call returns;
    an exception raised there carries no traceback entry of the function."""
    with alarm_after(alarm_delay(fn, args)):
        try:
            fn(*args)
        except Alarm as exc:
            entries = [e.name for e in traceback.extract_tb(exc.__traceback__)]
            return any(name.startswith("korvel.") for name in entries)
    return False


RNG = np.random.default_rng(9)
AUDIO = RNG.standard_normal(1_000_000)         # about 23 s at 44.1 kHz
NOV = RNG.random(300_000) ** 4

# Each runs for a tenth of a second or more natively on a modest machine
# (seconds to minutes step by step), and well past the first signal check.
LONG_CALLS = {
    "stft": (sonix.stft, (AUDIO, 2048, 256)),
    "stft zero-padded": (sonix.stft, (AUDIO[:400_000], 1024, 128, 2)),
    "stft_mag": (sonix.stft_mag, (AUDIO, 2048, 128)),
    "spectral_novelty": (pulsix.spectral_novelty, (AUDIO, 2048, 128, 100)),
    "make_clicks": (pulsix.make_clicks, (np.tile(np.arange(1000), 3000), 0, np.ones(400))),
    "make_ac_tempogram": (pulsix.make_ac_tempogram, (NOV[:80_000], 512, 8)),
    "make_local_pulse": (pulsix.make_local_pulse, (NOV[:200_000], 100.0, 60, 200)),
    "estimate_bpm": (pulsix.estimate_bpm, (NOV[:100_000], 100.0, 60, 200)),
    "create_dp_beats": (pulsix.create_dp_beats, (NOV[:100_000], 2e5, 10)),
    "beats_score": (pulsix.beats_score, (np.tile(NOV, 20), np.arange(6_000_000), 7.5, 10)),
}
# The native gather is a single pass over the bins with no loop to speak
# of; step by step it is one Python-level item at a time.
STEP_ONLY = {
    "get_sinusoid_params": (pulsix.get_sinusoid_params,
                            (np.ones((3, 400_000), complex), 100.0, np.arange(400_000) % 3)),
}


@pytest.mark.parametrize("path, name", [("native", n) for n in sorted(LONG_CALLS)]
                         + [("step-by-step", n) for n in sorted(LONG_CALLS) + sorted(STEP_ONLY)])
def test_the_handlers_exception_leaves_the_call(path, name):
    fn, args = {**LONG_CALLS, **STEP_ONLY}[name]
    with reference_only() if path == "step-by-step" else contextlib.nullcontext():
        assert interrupted(fn, args)


def test_nothing_is_left_behind_by_an_interrupted_call():
    # NumPy's error state and the functions' results are as before.
    small = AUDIO[:5000]
    want = sonix.stft_mag(small, 256, 64, 2)
    before = np.geterr()
    with contextlib.suppress(Alarm):
        assert interrupted(sonix.stft_mag, (AUDIO, 2048, 128))
    assert np.geterr() == before
    assert sonix.stft_mag(small, 256, 64, 2).tobytes() == want.tobytes()


@pytest.mark.parametrize("name", ["stft_mag", "make_local_pulse"])
def test_error_state_survives_a_signal_at_any_point(name):
    # A signal that arrives while native code runs is handled at the next
    # bytecode, which may be the one that would restore NumPy's error state
    # after the native path's own.  Alarms spread over the end of the call,
    # where that happens, must leave the state as it was.
    fn, args = LONG_CALLS[name]
    start = time.perf_counter()
    fn(*args)
    took = time.perf_counter() - start
    before = np.geterr(), np.geterrcall()
    # The handler stays in place across all thirty calls.
    previous = signal.signal(signal.SIGALRM, raise_alarm)
    try:
        for step in range(30):
            # The alarm is one-shot; it may also come after the call.
            with contextlib.suppress(Alarm):
                try:
                    signal.setitimer(signal.ITIMER_REAL, took * (0.6 + step * 0.02))
                    fn(*args)
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
            assert (np.geterr(), np.geterrcall()) == before, f"alarm {step}"
    finally:
        signal.signal(signal.SIGALRM, previous)
