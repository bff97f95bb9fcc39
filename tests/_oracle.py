"""Comparing korvel with its reference, and its two paths with each other.

Every differential test goes through one strict comparison: the same
outcome bit for bit -- result types, dtypes, shapes, strides and bytes
(NaN payloads and signed zeros included), or the same exception type and
message -- plus the same warnings, and arguments left untouched.  It only
looks at what a caller can observe, so it stays valid whichever path korvel
takes inside.  Two pairings use it:

  assert_same_outcome(korvel_fn, transcription_fn, ...)   korvel against the
      plain NumPy transcription in tests/reference/ (`base`, `pair`);
  assert_paths_agree(fn, ...)   a korvel function's native fast paths against
      its step-by-step path, forced by `reference_only`.
"""

import contextlib
import importlib.util
import types
import warnings

import numpy as np

import korvel.framix
import korvel.pulsix as pulsix
import korvel.sonix as sonix
from reference import transcription


def _private_transcription():
    # A copy of its own, so that a test patching the oracle (its frame
    # counter, say) leaves the shared module alone.
    spec = transcription.__spec__
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    # The transcription's own frame counter does not validate; korvel's
    # does, so with the real one the error cases are comparable too.
    mod.calc_num_frames = korvel.framix.calc_num_frames
    return mod


base = _private_transcription()


def korvel_function(name):
    """The extension function of that name, from whichever module exports it."""
    return getattr(sonix if hasattr(sonix, name) else pulsix, name)


def pair(name):
    """(korvel function, transcription) of the same name."""
    return korvel_function(name), getattr(base, name)


def trials(name, seed, count):
    """`count` random trials of `name` against its transcription: yields
    (rng, korvel function, transcription), drawing every trial from the one
    generator seeded with `seed`."""
    rng = np.random.default_rng(seed)
    ours, theirs = pair(name)
    for _ in range(count):
        yield rng, ours, theirs


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


# ---- the comparison ---------------------------------------------------------

def outcome(fn, /, *args, **kwargs):
    """(("ok", result) or ("raised", type, message), the warnings issued)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("ok", fn(*args, **kwargs))
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome
            result = ("raised", type(exc), str(exc))
    return result, [(w.category, str(w.message)) for w in caught]


def _nan_sign_follows_alignment():
    """Whether this NumPy's float add picks which NaN operand to return by
    the arrays' alignment.  NumPy 1.24 does: its peeled scalar loop and its
    SIMD loop order the operands differently, so adding a NaN to a NaN of the
    other sign gives one sign or the other depending on where malloc put the
    arrays, and the same steps give different NaNs from one call to the next."""
    neg = np.frombuffer(np.uint64(0xFFF8000000000000).tobytes(), dtype=np.float64)[0]
    pos = np.full(32, np.nan)
    seen = set()
    for offset in range(4):
        out = np.empty(36)[offset:offset + 32]
        out[:] = neg
        np.add(out, pos, out=out)
        seen.add(np.signbit(out).tobytes())
    return len(seen) > 1


NAN_BITS_ARE_NUMPYS_CHOICE = _nan_sign_follows_alignment()
"""Under such a NumPy two NaNs compare equal whatever their sign and payload:
no path, the step-by-step one included, can promise those bits.  Everywhere
else every bit counts."""


def _equal_up_to_nan_bits(got, want):
    """Same dtype and shape; every element the same bytes or NaN in both."""
    if not NAN_BITS_ARE_NUMPYS_CHOICE or got.dtype != want.dtype or got.dtype.kind not in "fc":
        return False
    g, w = np.ascontiguousarray(got).reshape(-1), np.ascontiguousarray(want).reshape(-1)
    if g.dtype.kind == "c":  # real and imaginary parts one by one
        g, w = g.view(g.real.dtype), w.view(w.real.dtype)
    same = (g.view(np.uint8).reshape(g.size, -1) == w.view(np.uint8).reshape(w.size, -1)).all(axis=1)
    return bool((same | (np.isnan(g) & np.isnan(w))).all())


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
        if isinstance(want, np.ma.MaskedArray):
            assert_bits_equal(np.ma.getmaskarray(got), np.ma.getmaskarray(want), f"{where}.mask")
        if want.dtype == object:  # the bytes would be addresses: compare the elements
            for i, (g, w) in enumerate(zip(got.flat, want.flat)):
                assert_bits_equal(g, w, f"{where}.flat[{i}]")
        else:
            _assert_array_bytes_equal(got.view(np.ndarray), want.view(np.ndarray), where)
    elif isinstance(want, (np.generic, float, complex)):
        g, w = np.asarray(got), np.asarray(want)
        assert ((g.dtype, g.tobytes()) == (w.dtype, w.tobytes())
                or _equal_up_to_nan_bits(g, w)), f"{where}: {got!r} != {want!r}"
    else:
        assert got == want, f"{where}: {got!r} != {want!r}"


def _assert_array_bytes_equal(got, want, where):
    if got.tobytes() == want.tobytes() or _equal_up_to_nan_bits(got, want):
        return
    g = got.reshape(-1).view(np.uint8).reshape(got.size, -1)
    w = want.reshape(-1).view(np.uint8).reshape(want.size, -1)
    bad = np.flatnonzero((g != w).any(axis=1))
    g4, w4 = got.reshape(-1)[bad[:4]], want.reshape(-1)[bad[:4]]
    raise AssertionError(
        f"{where}: {len(bad)} elements differ, first at {bad[:8]}: "
        f"got {g4!r} (bytes {g4.tobytes().hex()}), want {w4!r} (bytes {w4.tobytes().hex()})")


def assert_outcomes_equal(got, want, names=("got", "want")):
    """Two `outcome` results are the same, bit for bit."""
    (g, g_warn), (w, w_warn) = got, want
    assert g[0] == w[0], f"{names[0]} {g}, {names[1]} {w}"
    if w[0] == "ok":
        assert_bits_equal(g[1], w[1], f"result ({names[0]} vs {names[1]})")
    else:
        assert g[1:] == w[1:], f"{names[0]} {g[1:]}, {names[1]} {w[1:]}"
    assert g_warn == w_warn, f"warnings: {names[0]} {g_warn}, {names[1]} {w_warn}"


def snapshot(value):
    """What a caller can observe of an argument, to spot modification."""
    if isinstance(value, np.ndarray):
        # A vast array is a broadcast view of a few values: sample its ends.
        data = value.view(np.ndarray)
        data = data.flat[[0, -1]].tobytes() if value.size > 2 ** 24 else data.tobytes()
        snap = (type(value), value.dtype, value.shape, value.strides, value.flags.writeable, data)
        if isinstance(value, np.ma.MaskedArray):
            snap += (np.ma.getmaskarray(value).tobytes(), value.fill_value.tobytes())
        return snap
    if isinstance(value, (list, tuple)):
        return (type(value), [snapshot(v) for v in value])
    if isinstance(value, dict):
        return (dict, [(k, snapshot(v)) for k, v in value.items()])
    return (type(value), id(value))


def assert_same_outcome(fn_korvel, fn_base, /, *args, **kwargs):
    """korvel's function and the transcription's, on the same arguments.

    Returns korvel's outcome, so callers can add assertions of their own.
    """
    before = snapshot([args, kwargs])
    want = outcome(fn_base, *args, **kwargs)
    got = outcome(fn_korvel, *args, **kwargs)
    assert snapshot([args, kwargs]) == before, "an argument was modified"
    assert_outcomes_equal(got, want)
    return got


def assert_paths_agree(fn, /, *args, **kwargs):
    """A korvel function's fast paths and its step-by-step path, on the same
    arguments; neither may modify them.  Returns the fast paths' outcome."""
    name = getattr(fn, "__name__", fn)
    before = snapshot([args, kwargs])
    fast = outcome(fn, *args, **kwargs)
    assert snapshot([args, kwargs]) == before, f"{name} modified an argument"
    with reference_only():
        step_by_step = outcome(fn, *args, **kwargs)
    assert snapshot([args, kwargs]) == before, f"{name} (step-by-step path) modified an argument"
    assert_outcomes_equal(fast, step_by_step, (f"{name}: fast", "step-by-step"))
    return fast


# ---- random inputs --------------------------------------------------------

FLOAT_DTYPES = [np.float64, np.float32]
REAL_DTYPES = [np.float64, np.float32, np.int64, np.int16, np.uint8]


def tempo_range(rng, low, high, reversed_share):
    """Two tempi drawn from [low, high): in order, or the other way round (an
    empty range) in about ``reversed_share`` of the draws."""
    lo, hi = sorted(rng.uniform(low, high, 2))
    return (hi, lo) if rng.random() < reversed_share else (lo, hi)


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
