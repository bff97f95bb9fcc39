"""The plain NumPy transcription as an oracle for korvel.pulsix.

Every differential test goes through `assert_same_outcome`, which calls a
korvel function and its transcription with the same arguments and demands
the same outcome bit for bit: result types, dtypes, shapes, strides and
bytes (NaN payloads and signed zeros included), or the same exception type
and message; plus the same warnings, and arguments left untouched.  It
only looks at what a caller can observe, so it stays valid whichever path
korvel takes inside.
"""

import contextlib
import importlib.util
import pathlib
import types
import warnings

import numpy as np

import korvel.framix
import korvel.pulsix as pulsix
import korvel.sonix as sonix

_BASELINE = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "baseline.py"


def _load_baseline():
    # A private copy of the module: other tests patch the shared one.
    found = importlib.util.spec_from_file_location("_pulsix_oracle_baseline", _BASELINE)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    # The transcription's own frame counter does not validate; korvel's
    # does, so with the real one the error cases are comparable too.
    mod.calc_num_frames = korvel.framix.calc_num_frames
    return mod


base = _load_baseline()


def pair(name):
    """(korvel function, transcription) of the same name."""
    return getattr(pulsix, name), getattr(base, name)


class NumpyStandIn(types.ModuleType):
    """Forwards every attribute to numpy, but is not numpy: the native fast
    paths decline and the step-by-step path runs."""

    def __init__(self, name="numpy"):
        super().__init__(name)

    def __getattr__(self, name):
        return getattr(np, name)


@contextlib.contextmanager
def reference_only():
    """Binds a numpy stand-in as `np` in both modules for the duration."""
    saved = sonix.np, pulsix.np
    sonix.np = pulsix.np = NumpyStandIn()
    try:
        yield
    finally:
        sonix.np, pulsix.np = saved


def outcome(fn, *args, **kwargs):
    """("ok", result) or ("raised", type, message), and the warnings issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("ok", fn(*args, **kwargs))
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome
            result = ("raised", type(exc), str(exc))
    return result, [(w.category, str(w.message)) for w in caught]


def assert_bits_equal(got, want, where="result"):
    """Same structure, types, dtypes, shapes, strides and bytes."""
    assert type(got) is type(want), f"{where}: type {type(got)} != {type(want)}"
    if isinstance(want, (tuple, list)):
        assert len(got) == len(want), f"{where}: length {len(got)} != {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            assert_bits_equal(g, w, f"{where}[{i}]")
    elif isinstance(want, np.ndarray):
        assert got.dtype == want.dtype, f"{where}: dtype {got.dtype} != {want.dtype}"
        assert got.shape == want.shape, f"{where}: shape {got.shape} != {want.shape}"
        assert got.strides == want.strides, f"{where}: strides {got.strides} != {want.strides}"
        if got.tobytes() != want.tobytes():
            g = got.reshape(-1).view(np.uint8).reshape(got.size, -1) if got.size else got
            w = want.reshape(-1).view(np.uint8).reshape(want.size, -1) if want.size else want
            bad = np.flatnonzero((g != w).any(axis=1))
            g4, w4 = got.reshape(-1)[bad[:4]], want.reshape(-1)[bad[:4]]
            raise AssertionError(
                f"{where}: {len(bad)} elements differ, first at {bad[:8]}: "
                f"got {g4!r} (bytes {g4.tobytes().hex()}), want {w4!r} (bytes {w4.tobytes().hex()})")
    elif isinstance(want, np.generic):
        assert got.dtype == want.dtype, f"{where}: dtype {got.dtype} != {want.dtype}"
        assert got.tobytes() == want.tobytes(), f"{where}: {got!r} != {want!r}"
    elif isinstance(want, float):
        assert np.float64(got).tobytes() == np.float64(want).tobytes(), f"{where}: {got!r} != {want!r}"
    else:
        assert got == want, f"{where}: {got!r} != {want!r}"


def snapshot(value):
    if isinstance(value, np.ndarray):
        return ("array", type(value), value.dtype, value.shape, value.strides,
                value.tobytes(), value.flags.writeable)
    if isinstance(value, (list, tuple)):
        return (type(value), [snapshot(v) for v in value])
    return ("object", id(value))


def assert_same_outcome(fn_korvel, fn_base, *args, **kwargs):
    """Run both functions on the same arguments and compare what comes out.

    Returns korvel's outcome, so callers can add assertions of their own.
    """
    before = snapshot([args, sorted(kwargs.items())])
    want = outcome(fn_base, *args, **kwargs)
    got = outcome(fn_korvel, *args, **kwargs)
    assert snapshot([args, sorted(kwargs.items())]) == before, "an argument was modified"
    (g, g_warn), (w, w_warn) = got, want
    assert g[0] == w[0], f"got {g}, want {w}"
    if w[0] == "ok":
        assert_bits_equal(g[1], w[1])
    else:
        assert g[1:] == w[1:], f"got {g[1:]}, want {w[1:]}"
    assert g_warn == w_warn, f"warnings: got {g_warn}, want {w_warn}"
    return got


# ---- random inputs --------------------------------------------------------

FLOAT_DTYPES = [np.float64, np.float32]
REAL_DTYPES = [np.float64, np.float32, np.int64, np.int16, np.uint8]


def sprinkle(rng, a, count=None):
    """A float copy of `a` with a few NaN, +inf and -inf at random places."""
    a = np.array(a, dtype=a.dtype if a.dtype.kind in "fc" else np.float64)
    if a.size:
        count = count if count is not None else int(rng.integers(1, 4))
        idx = rng.integers(0, a.size, size=count)
        a.reshape(-1)[idx] = rng.choice([np.nan, np.inf, -np.inf], size=count)
    return a


class SubArray(np.ndarray):
    """An ndarray subclass: results of NumPy calls on it keep the subclass."""


def layouts(a):
    """The same values of a 1-D array in memory layouts a fast path may not expect."""
    strided = np.repeat(a, 2)[::2]
    reversed_ = a[::-1].copy()[::-1]
    swapped = a.astype(a.dtype.newbyteorder(">" if a.dtype.byteorder != ">" else "<"))
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    unaligned = raw[1:].view(a.dtype)
    unaligned[...] = a
    return {"strided": strided, "reversed": reversed_, "byteswapped": swapped,
            "unaligned": unaligned, "readonly": _readonly(a), "subclass": a.copy().view(SubArray)}


def _readonly(a):
    r = a.copy()
    r.flags.writeable = False
    return r
