"""Reference and memory leaks: many calls on success and on error paths.

Every case is called 10**4 times (after a warm-up) with the same argument
objects.  Afterwards the reference count of every argument must be what it
was, and neither the memory traced by tracemalloc (which sees NumPy's data
buffers too) nor the resident set size may have grown by more than a small
bound: one leaked float per call would already be 240 kB.
"""

import contextlib
import gc
import os
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

import korvel.pulsix as pulsix
import korvel.sonix as sonix
from _catalogue import CATALOGUE, NOV, SIG, f, i

CALLS = 10_000
TRACED_BOUND = 64 * 1024
RSS_BOUND = 4 * 1024 * 1024
SANITIZED = os.environ.get("KORVEL_SANITIZED") == "1"

S, P = sonix, pulsix
# (id, function, args builder, kwargs builder, expected exception or None):
# the catalogue's typical and failing call of every function, then variants.
CATALOGUED = [(fn.call_id(call), fn.fn, call.make, call.kwargs, call.raises)
              for fn in CATALOGUE for call in (fn.typical, fn.failing)]
VARIANTS = [
    ("freq_to_pitch-array", S.freq_to_pitch, lambda: (SIG.copy(),), dict, None),
    ("freq_to_pitch-float", S.freq_to_pitch, lambda: (f("261.5"),), dict, None),
    ("stft-window-zp", S.stft, lambda: (SIG.astype(np.float32), 16, 12, 2, np.hanning(12), False), dict, None),
    ("stft-object-x", S.stft, lambda: (np.array([None] * 40), 16, 8), dict, TypeError),
    ("make_clicks-float-click", P.make_clicks,
     lambda: (np.array([0.0, 3.5, 9.0]), i("400"), np.linspace(1, 0, 7)), dict, None),
    ("make_clicks-unsorted", P.make_clicks, lambda: (np.array([0, 90, 20]), 0, np.ones(30)), dict, ValueError),
    ("bind-too-many", S.freq_to_pitch, lambda: (f("1.5"), f("2.5")), dict, TypeError),
    ("bind-missing", P.create_dp_beats, lambda: (NOV.copy(),), lambda: {"lmbda": f("1.5")}, TypeError),
    ("bind-unexpected", S.stft_mag, lambda: (SIG.copy(), 16, 8), lambda: {"foo": f("1.5")}, TypeError),
    ("bind-twice", S.freq_to_pitch, lambda: (f("440.5"),), lambda: {"f": f("1.5")}, TypeError),
]
CASES = CATALOGUED + VARIANTS


from _oracle import reference_only  # noqa: E402


def path(which):
    return contextlib.nullcontext() if which == "native" else reference_only()


def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * 4096


def call_many(fn, args, kwargs, expected, count):
    for _ in range(count):
        try:
            fn(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - checked below
            if expected is None or not isinstance(exc, expected):
                raise
        else:
            assert expected is None, f"expected {expected.__name__}"


# The step-by-step path runs for every case whose inputs a native path
# declines anyway; forcing it matters where a native path would be taken:
# every typical call, and the variants below.
FORCED = {fn.call_id(fn.typical) for fn in CATALOGUE} | {"freq_to_pitch-array", "stft-window-zp",
                                                        "make_clicks-float-click"}
PARAMS = [pytest.param(c, "native", id=c[0]) for c in CASES] + \
         [pytest.param(c, "reference", id=c[0] + "-reference") for c in CASES if c[0] in FORCED]


def owned(value):
    """Whether the reference count of `value` is ours to watch (not a shared singleton)."""
    return not (value is None or isinstance(value, bool) or type(value) is int and -5 <= value <= 256)


@pytest.mark.parametrize(("case", "which"), PARAMS)
def test_many_calls_leak_nothing(case, which):
    _, fn, make_args, make_kwargs, expected = case
    args, kwargs = make_args(), make_kwargs()
    with path(which), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        call_many(fn, args, kwargs, expected, 200)  # warm caches and interned names
        gc.collect()
        watched = [a for a in (*args, *kwargs.values()) if owned(a)]
        counts = [sys.getrefcount(a) for a in watched]
        tracemalloc.start()
        try:
            rss_before = rss()
            traced_before = tracemalloc.get_traced_memory()[0]
            call_many(fn, args, kwargs, expected, CALLS)
            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
            rss_growth = rss() - rss_before
        finally:
            tracemalloc.stop()
    after = [sys.getrefcount(a) for a in watched]
    print(f"{case[0]}/{which}: {CALLS} calls, traced {traced_growth:+d} B, rss {rss_growth:+d} B")
    assert after == counts
    assert traced_growth < TRACED_BOUND
    if not SANITIZED:  # ASan's quarantine holds freed memory on purpose
        assert rss_growth < RSS_BOUND


# ---- regression: the binder must own what it takes from the keyword dict ---

class CollidingKey(str):
    """A keyword name that hashes like "win_len" and meets it during lookup.

    Its ``trap_at``-th comparison deletes the "x" entry of every dict holding
    the array, which leaves the binder as the only holder -- if it holds it at
    all -- and records whether the array died.  Then it raises, so the call
    fails before anything could use a dead array.  How many comparisons the
    interpreter makes while building and copying the keyword dict depends on
    the string hash seed, so the test counts them first with the trap off.
    """

    comparisons = 0
    trap_at = None
    died = None

    def __hash__(self):
        return hash("win_len")

    def __eq__(self, other):
        cls = type(self)
        cls.comparisons += 1
        if cls.comparisons == cls.trap_at:
            for d in gc.get_referrers(cls.target()):
                if isinstance(d, dict) and d.get("x") is cls.target():
                    del d["x"]
            cls.died = cls.target() is None
            raise LookupError("stop here")
        return False


class Traced(np.ndarray):
    """An ndarray subclass, so that it can be weakly referenced."""


def _colliding_kwargs(a):
    return {"x": a, CollidingKey("zz"): 1, "win_len": 4, "hop_size": 2}


def test_binder_keeps_keyword_values_alive_during_lookup():
    import weakref

    # Dry run: the binder's own lookup of "win_len" is the last comparison of
    # the call (unknown keywords are then matched without __eq__).
    CollidingKey.trap_at = None
    CollidingKey.comparisons = 0
    kwargs = _colliding_kwargs(np.arange(5.0).view(Traced))
    built = CollidingKey.comparisons
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        sonix.stft_mag(**kwargs)
    assert CollidingKey.comparisons > built
    trap = CollidingKey.comparisons

    a = np.arange(5.0).view(Traced)
    CollidingKey.target = weakref.ref(a)
    CollidingKey.comparisons = 0
    CollidingKey.trap_at = trap
    kwargs = _colliding_kwargs(a)
    del a
    with pytest.raises(LookupError):
        sonix.stft_mag(**kwargs)
    assert CollidingKey.comparisons == trap
    assert CollidingKey.died is False, "a bound argument was freed while the binder still used it"
